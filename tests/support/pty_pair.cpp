#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "io_atome.h"

namespace testsupport {

using namespace std::chrono;

PtyPair::PtyPair() {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  // A service started from the test must not inherit the far end: closing the
  // master here has to look like a dead line to it.
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  master_.reset(master);
  slave_.reset(slave);
  slave_path_ = name;
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
}

void PtyPair::send(const Bytes& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      pollfd out{master_.get(), POLLOUT, 0};
      poll(&out, 1, 100);
      continue;
    }
    done += static_cast<std::size_t>(written);
  }
}

Bytes PtyPair::receive(std::size_t count, milliseconds limit) const {
  Bytes got;
  const auto deadline = steady_clock::now() + limit;
  while (got.size() < count) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) break;
    pollfd in{master_.get(), POLLIN, 0};
    if (poll(&in, 1, static_cast<int>(left)) <= 0) continue;
    std::uint8_t chunk[4096];
    const std::size_t want = std::min(sizeof chunk, count - got.size());
    const ssize_t n = ::read(master_.get(), chunk, want);
    if (n > 0) got.insert(got.end(), chunk, chunk + n);
  }
  return got;
}

bool PtyPair::quiet_for(milliseconds limit) const {
  pollfd in{master_.get(), POLLIN, 0};
  return poll(&in, 1, static_cast<int>(limit.count())) == 0;
}

void PtyPair::hang_up() {
  master_.reset();
  slave_.reset();
}

Bytes frame(const Bytes& payload) {
  Bytes out;
  out.reserve(payload.size() + 3);
  out.push_back(STX);
  for (auto byte : payload) out.push_back(byte);
  out.push_back(calc_LPC(payload.data(), static_cast<long>(payload.size())));
  out.push_back(ETX);
  return out;
}

Bytes command_frame(std::uint8_t code, const std::string& argument) {
  Bytes payload(60, 0);
  payload[0] = code;
  for (std::size_t i = 0; i < argument.size() && i + 1 < payload.size(); ++i) {
    payload[i + 1] = static_cast<std::uint8_t>(argument[i]);
  }
  return frame(payload);
}

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string hex(const Bytes& bytes) {
  std::string out;
  char digits[4];
  for (auto byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02x ", byte);
    out += digits;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

}  // namespace testsupport
