#include "support/link_end.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "io_atome.h"
#include "platform/serial_line.h"
#include "platform/unique_fd.h"

namespace testsupport {
namespace {

// The master of a pty as a line. It has no speed of its own, so every setting
// is taken as it comes.
class MasterLine final : public platform::Line {
 public:
  explicit MasterLine(int master) : fd_(fcntl(master, F_DUPFD_CLOEXEC, 0)) {
    if (!fd_) throw std::runtime_error("cannot duplicate the pty master");
    fcntl(fd_.get(), F_SETFL, fcntl(fd_.get(), F_GETFL) | O_NONBLOCK);
  }

  long read_some(std::uint8_t* into, std::size_t count) override { return moved(::read(fd_.get(), into, count)); }

  long write_some(const std::uint8_t* from, std::size_t count) override {
    return moved(::write(fd_.get(), from, count));
  }

  void wait_ready(platform::Direction direction, std::chrono::nanoseconds limit) override {
    pollfd watched{fd_.get(), static_cast<short>(direction == platform::Direction::in ? POLLIN : POLLOUT), 0};
    if (limit < std::chrono::nanoseconds::zero()) limit = std::chrono::nanoseconds::zero();
    const timespec timeout{static_cast<time_t>(limit.count() / 1'000'000'000),
                           static_cast<long>(limit.count() % 1'000'000'000)};
    const int ready = ppoll(&watched, 1, &timeout, nullptr);
    // With no slave open the master is always "ready" with a hang-up: wait out
    // the limit rather than spin.
    if (ready > 0 && !(watched.revents & watched.events)) nanosleep(&timeout, nullptr);
  }

  bool apply_settings(const IOExtSer&, std::string&) override { return true; }

 private:
  static long moved(ssize_t result) {
    if (result >= 0) return result;
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
  }

  platform::UniqueFd fd_;
};

// Any path does; the installed line is taken instead of opening it.
constexpr char kMasterDeviceName[] = "/pty-master";

}  // namespace

LinkEnd::LinkEnd(const PtyPair& pty, Side side) {
  if (side == Side::master) platform::testing::install_line(std::make_unique<MasterLine>(pty.master()));
  const char* device = side == Side::master ? kMasterDeviceName : pty.slave_path().c_str();
  if (allocport(0, device) != PORT_OK) {
    freeport(0);
    throw std::runtime_error("cannot open the link on " + std::string(device));
  }
}

LinkEnd::~LinkEnd() { freeport(0); }

long send_command(std::uint8_t code, const std::string& argument) {
  char payload[61] = {};
  payload[0] = static_cast<char>(code);
  std::snprintf(payload + 1, 60, "%s", argument.c_str());
  return send_data(payload, 60);
}

}  // namespace testsupport
