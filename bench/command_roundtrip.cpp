// Command round trips per second: plays a customer over a pty pair against the
// real service binary, identifies, then sends command frames with an unassigned
// code, each of which draws ACK and NAK. The figure is bounded by how quickly
// the service notices a frame has arrived; a service that slept between polls
// would manage about five per second.
//
//   build/bench/command_roundtrip [ROUND_TRIPS] [SERVICE_BINARY]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/unique_fd.h"
#include "wire/link.h"

using namespace quorvantix;
using namespace quorvantix::wire;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using host::UniqueFd;

constexpr int kWarmUpRoundTrips = 200;
constexpr int kDefaultRoundTrips = 20000;
constexpr int kReplyLimitMs = 5000;
constexpr std::uint8_t kUnassignedCode = 0x27;

Bytes frame(const Bytes& payload) {
  Bytes out{STX};
  out.insert(out.end(), payload.begin(), payload.end());
  out.push_back(calc_LPC(payload.data(), static_cast<long>(payload.size())));
  out.push_back(ETX);
  return out;
}

bool write_all(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads exactly `count` bytes, or fails after kReplyLimitMs without one.
bool read_exactly(int fd, std::uint8_t* into, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    pollfd in{fd, POLLIN, 0};
    if (poll(&in, 1, kReplyLimitMs) <= 0) return false;
    const ssize_t n = read(fd, into + done, count - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool wait_for_text(int fd, const std::string& text) {
  std::string seen;
  char chunk[256];
  while (seen.find(text) == std::string::npos) {
    pollfd in{fd, POLLIN, 0};
    if (poll(&in, 1, kReplyLimitMs) <= 0) return false;
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    seen.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

struct Service {
  pid_t pid = -1;
  UniqueFd console;  // the service's standard output
};

Service start_service(const char* binary, const std::string& line_path) {
  int console[2];
  if (pipe2(console, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(console[1], STDOUT_FILENO);
    execl(binary, binary, line_path.c_str(), "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(console[1]);
  return {pid, UniqueFd(console[0])};
}

bool round_trip(int line, const Bytes& command) {
  std::uint8_t answer[2];
  return write_all(line, command) && read_exactly(line, answer, 2) && answer[0] == ACK && answer[1] == NAK;
}

int fail(const char* what, pid_t service) {
  std::fprintf(stderr, "command_roundtrip: %s\n", what);
  if (service > 0) kill(service, SIGKILL);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int round_trips = argc > 1 ? std::atoi(argv[1]) : kDefaultRoundTrips;
  const char* binary = argc > 2 ? argv[2] : QUORVANTIX_SERVICE_BINARY;
  if (round_trips < 1) return fail("the number of round trips must be positive", -1);

  int master_fd = -1;
  int slave_fd = -1;
  char slave_path[256] = {};
  if (openpty(&master_fd, &slave_fd, slave_path, nullptr, nullptr) != 0) return fail("openpty failed", -1);
  UniqueFd master(master_fd);
  UniqueFd slave(slave_fd);
  fcntl(master.get(), F_SETFD, FD_CLOEXEC);
  fcntl(slave.get(), F_SETFD, FD_CLOEXEC);
  termios raw{};
  tcgetattr(master.get(), &raw);
  cfmakeraw(&raw);
  tcsetattr(master.get(), TCSANOW, &raw);

  Service service = start_service(binary, slave_path);
  if (service.pid <= 0) return fail("cannot start the service", -1);
  if (!wait_for_text(service.console.get(), "Service is ready\n")) return fail("the service did not get ready", service.pid);

  // Identify as a customer on AmigaOS 4.1 with a PPC7400.
  std::uint8_t answer[7];
  if (!write_all(master.get(), frame({0x1F, 0x2B, 0x41})) || !read_exactly(master.get(), answer, 7) ||
      answer[0] != ACK || !write_all(master.get(), {ACK})) {
    return fail("identification failed", service.pid);
  }

  Bytes payload(60, 0);
  payload[0] = kUnassignedCode;
  const Bytes command = frame(payload);
  for (int i = 0; i < kWarmUpRoundTrips; ++i) {
    if (!round_trip(master.get(), command)) return fail("no ACK and NAK during warm-up", service.pid);
  }
  const auto start = Clock::now();
  for (int i = 0; i < round_trips; ++i) {
    if (!round_trip(master.get(), command)) return fail("no ACK and NAK", service.pid);
  }
  const std::chrono::duration<double> took = Clock::now() - start;

  Bytes terminate(60, 0);
  terminate[0] = 0x25;
  std::uint8_t ack = 0;
  if (!write_all(master.get(), frame(terminate)) || !read_exactly(master.get(), &ack, 1) || ack != ACK) {
    return fail("terminate not acknowledged", service.pid);
  }
  int status = 0;
  waitpid(service.pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fail("the service did not end with status 0", -1);

  std::printf("%d command round trips (63-byte frame, ACK and NAK back) in %.3f s\n", round_trips, took.count());
  std::printf("%.0f round trips/s, %.1f us per round trip\n", round_trips / took.count(),
              1e6 * took.count() / round_trips);
  return 0;
}
