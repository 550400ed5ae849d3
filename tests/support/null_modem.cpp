#include "support/null_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace testsupport {
namespace {

// Bytes read from one master and not yet written to the other.
struct Direction {
  int from;
  int to;
  std::vector<std::uint8_t> pending;

  void read_in() {
    std::uint8_t chunk[4096];
    const ssize_t n = ::read(from, chunk, sizeof chunk);
    if (n > 0) pending.insert(pending.end(), chunk, chunk + n);
  }
  void write_out() {
    const ssize_t n = ::write(to, pending.data(), pending.size());
    if (n > 0) pending.erase(pending.begin(), pending.begin() + n);
  }
};

void make_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

NullModem::NullModem() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  stop_read_.reset(ends[0]);
  stop_write_.reset(ends[1]);
  make_nonblocking(a_.master());
  make_nonblocking(b_.master());
  relay_ = std::thread([this] { relay(); });
}

NullModem::~NullModem() {
  const char stop = 1;
  [[maybe_unused]] const ssize_t n = ::write(stop_write_.get(), &stop, 1);
  relay_.join();
}

long NullModem::a_baud() const {
  // A pty master reports the settings of its slave.
  termios settings{};
  tcgetattr(a_.master(), &settings);
  switch (cfgetospeed(&settings)) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return -1;
  }
}

void NullModem::relay() {
  Direction a_to_b{a_.master(), b_.master(), {}};
  Direction b_to_a{b_.master(), a_.master(), {}};
  for (;;) {
    pollfd watched[5] = {
        {stop_read_.get(), POLLIN, 0},
        {a_.master(), POLLIN, 0},
        {b_.master(), POLLIN, 0},
        {b_.master(), static_cast<short>(a_to_b.pending.empty() ? 0 : POLLOUT), 0},
        {a_.master(), static_cast<short>(b_to_a.pending.empty() ? 0 : POLLOUT), 0},
    };
    if (poll(watched, 5, -1) < 0) continue;
    if (watched[0].revents != 0) return;
    if (watched[1].revents & POLLIN) a_to_b.read_in();
    if (watched[2].revents & POLLIN) b_to_a.read_in();
    if (!a_to_b.pending.empty()) a_to_b.write_out();
    if (!b_to_a.pending.empty()) b_to_a.write_out();
  }
}

}  // namespace testsupport
