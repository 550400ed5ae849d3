// The fastest any stop-and-wait protocol with our frame sizes can go on a line:
// end A sends a 1027-byte frame (a 1024-byte block in its frame), end B reads
// it whole and answers one byte, A reads the answer, and so on, with nothing
// else done in between. Each end runs in a process of its own, as the two
// programs of a transfer do, and blocks on its line with the terminal's VMIN
// set to what it still waits for (up to 255 bytes), so that the kernel wakes
// it only once that many have come: on a port that hands over each byte
// alone, a program woken for every byte would fall behind the line.
//
//   build/bench/stop_and_wait_ceiling PATH_A PATH_B [ROUNDS [BAUD [sleep]]]
//
// ROUNDS (default 1024) frames go from A to B; with BAUD, both ends set that
// speed on their lines first (for a line simulator that follows the ends'
// speeds). With `sleep`, B instead sleeps once a frame has begun, as our
// programs do, until the frame's last byte can have crossed (less 1/32 and
// 50 us), and only then waits for the rest: whether a machine charges a
// reader that sleeps more than one that never does. Prints one line:
//   stop_and_wait_ceiling: 1024 rounds in 0.123 s, 8525 bytes/s of payload
// Exit status 1 when a line cannot be opened or an exchange stalls.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/unique_fd.h"
#include "lines/line_speed.h"

using namespace quorvantix;

namespace {

using Clock = std::chrono::steady_clock;
using host::UniqueFd;

constexpr std::size_t kFrameBytes = 1027;
constexpr std::size_t kPayloadBytes = 1024;
constexpr long kDefaultRounds = 1024;
// A frame that has not crossed after this long will not cross: the line is broken.
constexpr int kStallLimitMs = 10'000;

// `baud` 0: the line keeps its speed.
UniqueFd open_raw(const std::string& path, long baud) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!fd) throw std::runtime_error("open(" + path + "): " + std::strerror(errno));
  termios settings{};
  if (tcgetattr(fd.get(), &settings) != 0) throw std::runtime_error(path + " is not a terminal");
  cfmakeraw(&settings);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  if (tcsetattr(fd.get(), TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr(" + path + ") failed");
  std::string error;
  if (baud > 0 && !lines::set_arbitrary_speed(fd.get(), baud, error)) throw std::runtime_error(path + ": " + error);
  // Whatever an earlier program left in the input is not ours.
  tcflush(fd.get(), TCIFLUSH);
  return fd;
}

void write_all(int fd, const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
}

// The most bytes a terminal's VMIN can wait for.
constexpr std::size_t kMostVmin = 255;

// A raw terminal with VTIME 0 is readable, for poll() as for read(), once
// VMIN bytes have come: the kernel waits for them, not the program.
void wake_for(int fd, std::size_t count) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  settings.c_cc[VMIN] = static_cast<cc_t>(std::min(count, kMostVmin));
  if (tcsetattr(fd, TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr failed");
}

// Blocks until `count` bytes are in, as a program waiting for a frame does,
// woken by the kernel only once as many as it can wait for are there.
void read_all(int fd, std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    wake_for(fd, count);
    pollfd readable{fd, POLLIN, 0};
    const int ready = poll(&readable, 1, kStallLimitMs);
    if (ready == 0) throw std::runtime_error("the line stalled");
    if (ready < 0 && errno == EINTR) continue;
    const ssize_t got = ::read(fd, bytes, count);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) throw std::runtime_error("the line failed");
    bytes += got;
    count -= static_cast<std::size_t>(got);
  }
}

// Reads a frame's first hand-over, sleeps until its last byte can have
// crossed at `baud`, then reads the rest.
void read_frame_sleeping(int fd, std::uint8_t* bytes, std::size_t count, long baud) {
  wake_for(fd, 1);
  const ssize_t got = ::read(fd, bytes, count);
  if (got <= 0) throw std::runtime_error("the line failed");
  const auto missing = static_cast<long>(count) - got;
  const std::chrono::nanoseconds crossing((missing - 1) * 10'000'000'000LL / baud);
  if (missing > 2) std::this_thread::sleep_for(crossing - crossing / 32 - std::chrono::microseconds(50));
  read_all(fd, bytes + got, static_cast<std::size_t>(missing));
}

void answer_frames(int fd, long rounds, long sleeping_baud) {
  std::vector<std::uint8_t> frame(kFrameBytes);
  const std::uint8_t ack = 0x06;
  for (long round = 0; round < rounds; ++round) {
    if (sleeping_baud > 0) {
      read_frame_sleeping(fd, frame.data(), frame.size(), sleeping_baud);
    } else {
      read_all(fd, frame.data(), frame.size());
    }
    write_all(fd, &ack, 1);
  }
}

double send_frames(int fd, long rounds) {
  std::vector<std::uint8_t> frame(kFrameBytes);
  std::uint32_t state = 2024;
  for (auto& byte : frame) {
    state = state * 1103515245 + 12345;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  std::uint8_t answer = 0;
  const auto start = Clock::now();
  for (long round = 0; round < rounds; ++round) {
    write_all(fd, frame.data(), frame.size());
    read_all(fd, &answer, 1);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const bool sleeping = argc == 6 && std::strcmp(argv[5], "sleep") == 0;
  if (argc < 3 || argc > 6 || (argc == 6 && !sleeping)) {
    std::fprintf(stderr, "usage: stop_and_wait_ceiling PATH_A PATH_B [ROUNDS [BAUD [sleep]]]\n");
    return 2;
  }
  const long rounds = argc >= 4 ? std::strtol(argv[3], nullptr, 10) : kDefaultRounds;
  const long baud = argc >= 5 ? std::strtol(argv[4], nullptr, 10) : 0;
  if (rounds < 1 || baud < 0 || (sleeping && baud == 0)) {
    std::fprintf(stderr, "stop_and_wait_ceiling: ROUNDS must be 1 or more, BAUD a speed\n");
    return 2;
  }
  try {
    // The answering end opens its line first, so that no frame reaches a line nobody has set up.
    UniqueFd b = open_raw(argv[2], baud);
    std::fflush(nullptr);
    const pid_t answerer = fork();
    if (answerer < 0) throw std::runtime_error("fork failed");
    if (answerer == 0) {
      try {
        answer_frames(b.get(), rounds, sleeping ? baud : 0);
      } catch (const std::exception& failure) {
        std::fprintf(stderr, "stop_and_wait_ceiling: answering end: %s\n", failure.what());
        _exit(1);
      }
      _exit(0);
    }
    b.reset();
    UniqueFd a = open_raw(argv[1], baud);
    double seconds = 0;
    std::string failure;
    try {
      seconds = send_frames(a.get(), rounds);
    } catch (const std::exception& error) {
      failure = error.what();
    }
    int status = 0;
    waitpid(answerer, &status, 0);
    if (!failure.empty()) throw std::runtime_error(failure);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("the answering end failed");
    const double rate = static_cast<double>(rounds) * kPayloadBytes / seconds;
    std::printf("stop_and_wait_ceiling: %ld rounds in %.3f s, %.0f bytes/s of payload\n", rounds, seconds, rate);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "stop_and_wait_ceiling: %s\n", failure.what());
    return 1;
  }
  return 0;
}
