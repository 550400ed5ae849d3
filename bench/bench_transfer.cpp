// Measures how fast a file moves through the service over a pty pair: this
// program is the customer (on the master), the real service binary serves the
// slave. Reports bytes per second for sending to the service and for
// receiving from it.
//
//   bench_transfer [--size BYTES] [--runs N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io_atome.h"
#include "io_module.h"
#include "misc.h"
#include "service.h"
#include "support/link_end.h"
#include "support/pty_pair.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

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

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void report(const char* direction, std::size_t size, const std::vector<double>& seconds) {
  const double typical = median(seconds);
  std::printf("%-8s %zu bytes  median %.3f s  %.0f bytes/s  (best %.0f bytes/s, %zu runs)\n", direction, size,
              typical, size / typical, size / *std::min_element(seconds.begin(), seconds.end()), seconds.size());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fprintf(stderr, "usage: bench_transfer [--size BYTES] [--runs N]\n");
    return 2;
  }
  TempDir service_dir;
  TempDir customer_dir;
  CurrentDirectory inside(customer_dir.path());
  write_file("payload.bin", pattern_bytes(options.size));
  PtyPair pty;
  auto service = ServiceProcess::binary({pty.slave_path(), "0"}, service_dir.path());
  if (!service.wait_for_output("Service is ready\n")) {
    std::fprintf(stderr, "bench_transfer: the service did not start:\n%s", service.output().c_str());
    return 1;
  }
  LinkEnd link(pty, LinkEnd::Side::master);
  if (identify('c') != LINK_OK) {
    std::fprintf(stderr, "bench_transfer: no identification from the service\n");
    return 1;
  }

  std::vector<double> sending;
  std::vector<double> receiving;
  for (int run = 0; run < options.runs; ++run) {
    auto start = Clock::now();
    if (send_command(cmd_receive_file) != LINK_OK || send_file_as("payload.bin", "payload.bin", nullptr) != FILE_OK) {
      std::fprintf(stderr, "bench_transfer: sending failed\n");
      return 1;
    }
    sending.push_back(seconds_since(start));
    start = Clock::now();
    if (send_command(cmd_send_file, "payload.bin") != LINK_OK || receive_file_to(nullptr, "back.bin") != FILE_OK) {
      std::fprintf(stderr, "bench_transfer: receiving failed\n");
      return 1;
    }
    receiving.push_back(seconds_since(start));
  }
  send_command(cmd_terminate);
  service.wait_exit();
  if (read_file("back.bin") != read_file("payload.bin")) {
    std::fprintf(stderr, "bench_transfer: the file came back changed\n");
    return 1;
  }
  report("send", options.size, sending);
  report("receive", options.size, receiving);
  return 0;
}
