// How fast a plain copy goes through quorvantix-linesim, next to the same copy
// through one bare pseudo-terminal.
//
//   build/bench/linesim_throughput [MIB] [--ends-at BAUD] [LINESIM_OPTION...]
//
// MIB (default 64) is copied from end A to end B: one thread writes, the other
// reads and compares. With --ends-at, both ends set BAUD on their ptys and the
// simulator follows it; without it, and without --baud, the simulator runs
// --unthrottled. Further arguments go to the simulator (a rate, faults); a
// copy that faults leave short ends after a second without bytes.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

constexpr std::size_t kPatternBytes = 1 << 20;
constexpr std::size_t kWriteChunkBytes = 64 * 1024;
constexpr int kQuietEndMs = 1000;

std::vector<std::uint8_t> make_pattern() {
  std::vector<std::uint8_t> pattern(kPatternBytes);
  std::uint32_t state = 12345;
  for (auto& byte : pattern) {
    state = state * 1103515245 + 12345;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return pattern;
}

void make_raw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  cfmakeraw(&settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr failed");
}

// Stops early, without a word, when the far end goes away.
void write_all(int fd, const std::vector<std::uint8_t>& pattern, std::size_t total) {
  std::size_t done = 0;
  while (done < total) {
    const std::size_t offset = done % kPatternBytes;
    const std::size_t want = std::min<std::size_t>({kWriteChunkBytes, kPatternBytes - offset, total - done});
    const ssize_t written = ::write(fd, pattern.data() + offset, want);
    if (written < 0) return;
    done += static_cast<std::size_t>(written);
  }
}

struct CopyResult {
  std::size_t bytes = 0;
  std::size_t damaged_chunks = 0;  // reads whose bytes differ from what was sent
  double seconds = 0;              // from the first write to the last byte read
};

// Reads up to `total` bytes, or until nothing comes for kQuietEnd (faults that
// drop bytes leave the copy short).
CopyResult read_and_compare(int fd, const std::vector<std::uint8_t>& pattern, std::size_t total,
                            Clock::time_point start) {
  std::vector<std::uint8_t> chunk(kWriteChunkBytes);
  CopyResult result;
  auto last_byte = start;
  while (result.bytes < total) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, kQuietEndMs) <= 0) break;
    const std::size_t offset = result.bytes % kPatternBytes;
    const std::size_t want = std::min<std::size_t>({chunk.size(), kPatternBytes - offset, total - result.bytes});
    const ssize_t got = ::read(fd, chunk.data(), want);
    if (got <= 0) throw std::runtime_error(std::string("read: ") + std::strerror(errno));
    last_byte = Clock::now();
    if (std::memcmp(chunk.data(), pattern.data() + offset, static_cast<std::size_t>(got)) != 0) {
      ++result.damaged_chunks;
    }
    result.bytes += static_cast<std::size_t>(got);
  }
  result.seconds = std::chrono::duration<double>(last_byte - start).count();
  return result;
}

CopyResult copy(int writer_fd, int reader_fd, std::size_t total) {
  const auto pattern = make_pattern();
  const auto start = Clock::now();
  std::thread writer([&] { write_all(writer_fd, pattern, total); });
  CopyResult result;
  try {
    result = read_and_compare(reader_fd, pattern, total, start);
  } catch (...) {
    writer.detach();
    throw;
  }
  writer.join();
  return result;
}

CopyResult bare_pty_copy(std::size_t total) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  UniqueFd master_fd(master);
  UniqueFd slave_fd(slave);
  make_raw(master);
  make_raw(slave);
  return copy(slave, master, total);
}

class Simulator {
 public:
  Simulator(const std::filesystem::path& directory, const std::vector<std::string>& extra) {
    std::vector<std::string> args{QUORVANTIX_LINESIM_BINARY, "--a", (directory / "A").string(),
                                  "--b", (directory / "B").string(), "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Simulator() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

UniqueFd open_when_there(const std::filesystem::path& path) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (fd) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("the simulator did not make " + path.string());
}

void set_speed(int fd, long baud) {
  std::string error;
  if (!lines::set_arbitrary_speed(fd, baud, error)) throw std::runtime_error(error);
}

// `ends_at` 0: the ends leave their speeds alone.
CopyResult linesim_copy(std::size_t total, long ends_at, const std::vector<std::string>& extra) {
  char name[] = "/tmp/linesim-bench-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::filesystem::path directory(name);
  CopyResult result;
  {
    Simulator simulator(directory, extra);
    UniqueFd a = open_when_there(directory / "A");
    UniqueFd b = open_when_there(directory / "B");
    if (ends_at > 0) {
      set_speed(a.get(), ends_at);
      set_speed(b.get(), ends_at);
    }
    result = copy(a.get(), b.get(), total);
  }
  std::filesystem::remove_all(directory);
  return result;
}

void report(const char* what, const CopyResult& result) {
  const double mib = static_cast<double>(result.bytes) / (1 << 20);
  std::printf("%-28s %8.1f MiB in %6.2f s = %8.1f MiB/s = %10.0f bytes/s", what, mib, result.seconds,
              mib / result.seconds, static_cast<double>(result.bytes) / result.seconds);
  if (result.damaged_chunks > 0) std::printf(", %zu reads damaged", result.damaged_chunks);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  std::vector<std::string> extra(argv + std::min(argc, 2), argv + argc);
  long ends_at = 0;
  if (extra.size() >= 2 && extra[0] == "--ends-at") {
    ends_at = std::strtol(extra[1].c_str(), nullptr, 10);
    extra.erase(extra.begin(), extra.begin() + 2);
  }
  const bool paced = std::any_of(extra.begin(), extra.end(), [](const std::string& word) {
    return word.starts_with("--baud") || word == "--unthrottled";
  });
  if (ends_at == 0 && !paced) extra.push_back("--unthrottled");
  const std::size_t total = mib << 20;
  try {
    report("bare pty (one hop)", bare_pty_copy(total));
    report("through quorvantix-linesim", linesim_copy(total, ends_at, extra));
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "linesim_throughput: %s\n", failure.what());
    return 1;
  }
  return 0;
}
