#include "support/tty_end.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {

using namespace std::chrono;

namespace {

int milliseconds_left(steady_clock::time_point deadline) {
  return static_cast<int>(std::max<long long>(0, duration_cast<milliseconds>(deadline - steady_clock::now()).count()));
}

}  // namespace

TtyEnd::TtyEnd(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  if (!fd_) throw std::runtime_error("open(" + path + "): " + std::strerror(errno));
  termios raw{};
  if (tcgetattr(fd_.get(), &raw) != 0) throw std::runtime_error(path + " is not a terminal");
  cfmakeraw(&raw);
  if (tcsetattr(fd_.get(), TCSANOW, &raw) != 0) throw std::runtime_error("tcsetattr(" + path + ") failed");
}

void TtyEnd::send(const Bytes& bytes, milliseconds limit) const {
  const auto deadline = steady_clock::now() + limit;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("write failed");
    if (steady_clock::now() >= deadline) throw std::runtime_error("no room to write");
    pollfd out{fd_.get(), POLLOUT, 0};
    poll(&out, 1, std::min(10, milliseconds_left(deadline)));
  }
}

Bytes TtyEnd::receive(std::size_t count, milliseconds limit) const {
  Bytes got;
  const auto deadline = steady_clock::now() + limit;
  std::uint8_t chunk[4096];
  while (got.size() < count) {
    const ssize_t n = ::read(fd_.get(), chunk, std::min(sizeof chunk, count - got.size()));
    if (n > 0) {
      got.insert(got.end(), chunk, chunk + n);
      continue;
    }
    const int left = milliseconds_left(deadline);
    if (left == 0) break;
    pollfd in{fd_.get(), POLLIN, 0};
    poll(&in, 1, left);
  }
  return got;
}

}  // namespace testsupport
