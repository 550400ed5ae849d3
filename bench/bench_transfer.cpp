// Measures how fast a file moves through the service: the real service binary
// serves one end of the line simulator (unthrottled), this program is the
// customer on the other end. Reports bytes per second for sending to the
// service and for receiving from it.
//
//   bench_transfer [--size BYTES] [--runs N]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "session/session.h"
#include "wire/link.h"

using namespace quorvantix;
using namespace quorvantix::wire;

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  std::size_t size = 16u << 20;
  int runs = 3;
};

bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size") == 0) {
      options.size = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--runs") == 0) {
      options.runs = std::atoi(argv[i + 1]);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options.size > 0 && options.runs > 0;
}

// A program of the project, running until this object goes.
class Program {
 public:
  Program(std::vector<std::string> args, const fs::path& directory) {
    const fs::path here = fs::current_path();
    fs::current_path(directory);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ);
    fs::current_path(here);
  }
  ~Program() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

 private:
  pid_t pid_ = -1;
};

void write_random_file(const fs::path& path, std::size_t size) {
  std::vector<char> bytes(size);
  std::mt19937 random(1);
  for (char& byte : bytes) byte = static_cast<char>(random());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool same_file(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(x), {}) == std::string(std::istreambuf_iterator<char>(y), {});
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void report(const char* direction, std::size_t size, std::vector<double> seconds) {
  std::sort(seconds.begin(), seconds.end());
  const double typical = seconds[seconds.size() / 2];
  std::printf("%-8s %zu bytes  median %.3f s  %.0f bytes/s  (best %.0f bytes/s, %zu runs)\n", direction, size,
              typical, size / typical, size / seconds.front(), seconds.size());
}

int fail(const char* what) {
  std::fprintf(stderr, "bench_transfer: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvantix::session;
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fprintf(stderr, "usage: bench_transfer [--size BYTES] [--runs N]\n");
    return 2;
  }
  const fs::path work = fs::temp_directory_path() / ("bench_transfer." + std::to_string(getpid()));
  fs::create_directories(work / "served");
  const std::string a = (work / "A").string();
  const std::string b = (work / "B").string();
  write_random_file(work / "payload.bin", options.size);
  Program cable({QUORVANTIX_LINESIM_BINARY, "--a", a, "--b", b, "--unthrottled", "--quiet"}, work);
  for (int waits = 0; waits < 500 && !(fs::exists(a) && fs::exists(b)); ++waits) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Program service({QUORVANTIX_SERVICE_BINARY, a, "0"}, work / "served");

  host::SteadyClock clock;
  Link link(clock);
  Session session(link);
  if (!session.open_line(b, 0)) return fail("cannot open the line");
  if (!session.reach_service()) return fail("no identification from the service");
  std::vector<double> sending;
  std::vector<double> receiving;
  for (int run = 0; run < options.runs; ++run) {
    auto start = Clock::now();
    if (!session.remote_put((work / "payload.bin").string(), "payload.bin", nullptr)) {
      return fail("sending failed");
    }
    sending.push_back(seconds_since(start));
    start = Clock::now();
    fs::remove(work / "back.bin");
    if (!session.remote_get("payload.bin", (work / "back.bin").string(), nullptr)) {
      return fail("receiving failed");
    }
    receiving.push_back(seconds_since(start));
  }
  (void)session.shutdown_service();
  session.close_line();
  const bool same = same_file(work / "back.bin", work / "payload.bin");
  fs::remove_all(work);
  if (!same) return fail("the file came back changed");
  report("send", options.size, sending);
  report("receive", options.size, receiving);
  return 0;
}
