// How long the receiver takes to answer the last frame of a file, which it
// answers only once the whole file is on disk: the time from that frame's
// arrival to its ACK, next to the typical time of the other frames. The
// transfer runs unthrottled over TCP on loopback between two threads, and the
// received file goes to DIR (default: the current directory) on its disk.
//
//   build/bench/last_ack [--dir DIR] MIB...      e.g. build/bench/last_ack 16 256
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/fs.h"
#include "wire/file_stream.h"
#include "wire/link.h"

using namespace quorvantix;
using namespace quorvantix::wire;

namespace {

namespace fs = std::filesystem;
using std::chrono::duration;
using std::chrono::nanoseconds;

// Notes when each block's ACK came in: the sender shows progress right after it.
class AckTimes final : public Gadget {
 public:
  explicit AckTimes(host::Clock& clock) : clock_(clock) {}
  void set_text(const char*, const TransferProgress& progress) override {
    if (!progress.final) times.push_back(clock_.now());
  }
  std::vector<nanoseconds> times;

 private:
  host::Clock& clock_;
};

void write_file(const fs::path& path, std::size_t bytes) {
  std::vector<char> run(1 << 20);
  for (std::size_t i = 0; i < run.size(); ++i) run[i] = static_cast<char>(i * 7 + i / 1024);
  std::ofstream out(path, std::ios::binary);
  for (std::size_t done = 0; done < bytes; done += run.size()) out.write(run.data(), static_cast<long>(run.size()));
}

double milliseconds(nanoseconds length) { return duration<double, std::milli>(length).count(); }

bool measure(const fs::path& dir, std::size_t mib, int port) {
  const fs::path source = fs::temp_directory_path() / ("last_ack." + std::to_string(getpid()));
  const fs::path target = dir / ("last_ack.received." + std::to_string(getpid()));
  write_file(source, mib << 20);
  host::SteadyClock clock;
  const std::string where = "127.0.0.1:" + std::to_string(port);
  Result<> received = fail(Status::timed_out, "not received");
  Result<> sent = fail(Status::timed_out, "not sent");
  AckTimes acks(clock);
  // Both lines stay open until both ends are done: a peer that closes
  // at once drops what it has not read, the last ACK among it.
  Link receiving(clock);
  Link sending(clock);
  std::thread receiver([&] {
    if (!allocport(receiving, 0, ("tcp-listen:" + where).c_str())) return;
    received = receive_file_to(receiving, host::Tree::whole(), nullptr, target.c_str());
  });
  std::thread sender([&] {
    while (!allocport(sending, 0, ("tcp:" + where).c_str())) sending.delay_ticks(1);
    sent = send_file_as(sending, host::Tree::whole(), source.c_str(), "payload", &acks);
  });
  sender.join();
  receiver.join();
  fs::remove(source);
  fs::remove(target);
  if (!sent || !received || acks.times.size() < 3) {
    const std::string why = !sent ? sent.error().reason : !received ? received.error().reason : "too few answers";
    std::fprintf(stderr, "last_ack: the transfer failed (%s)\n", why.c_str());
    return false;
  }
  std::vector<nanoseconds> gaps;
  for (std::size_t i = 1; i + 1 < acks.times.size(); ++i) gaps.push_back(acks.times[i] - acks.times[i - 1]);
  const nanoseconds last = acks.times.back() - acks.times[acks.times.size() - 2];
  std::sort(gaps.begin(), gaps.end());
  std::printf("%5zu MiB: last frame to its ACK %8.2f ms; other frames median %.3f ms, slowest %.2f ms\n", mib,
              milliseconds(last), milliseconds(gaps[gaps.size() / 2]), milliseconds(gaps.back()));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path dir = fs::current_path();
  std::vector<std::size_t> sizes;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      dir = argv[++i];
    } else if (std::atol(argv[i]) > 0) {
      sizes.push_back(static_cast<std::size_t>(std::atol(argv[i])));
    } else {
      std::fprintf(stderr, "usage: last_ack [--dir DIR] MIB...\n");
      return 2;
    }
  }
  if (sizes.empty()) sizes = {16, 256};
  int port = 42000 + getpid() % 1000;
  for (const std::size_t mib : sizes) {
    if (!measure(dir, mib, port++)) return 1;
  }
  return 0;
}
