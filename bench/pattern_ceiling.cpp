// The fastest stop and wait can go on a line whose receiving ends get their
// bytes as a kind of port hands them over (linesim/delivery.h), with ends that
// take no time at all: a 1024-byte block in its 1027-byte frame crosses at the
// line's speed, its last byte is handed over as the port does, the one-byte
// answer goes back at once and is handed over as the port does, and the next
// frame leaves at that moment.
//
//   build/bench/pattern_ceiling PATTERN BAUD [BLOCKS [LATENCY_MS]]
//
// PATTERN as quorvantix-linesim --delivery takes it; LATENCY_MS holds every
// byte that long on its way, as its --latency-ms does. Prints one line:
//   pattern_ceiling: usb:32,16 at 115200 baud: 8652 bytes/s of payload, 75.1 % of the line rate
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "linesim/delivery.h"
#include "linesim/pacer.h"

using namespace quorvantix;

namespace {

using std::chrono::nanoseconds;

constexpr std::uint64_t kFrameBytes = 1027;
constexpr double kPayloadBytes = 1024;
constexpr long kDefaultBlocks = 200;

// Hands `count` bytes to `port`, the first starting at `start` and each right
// behind the other, as one write; when the port has handed the last one over.
nanoseconds cross(linesim::Delivery& port, std::uint64_t& handed, nanoseconds start, std::uint64_t count, long baud,
                  nanoseconds latency) {
  const nanoseconds byte_time = linesim::Pacer::line_time(baud, 1);
  for (std::uint64_t i = 1; i <= count; ++i) {
    port.arrive(start + latency + linesim::Pacer::line_time(baud, i), byte_time, i == count);
  }
  const std::uint64_t wanted = handed + count;
  nanoseconds at = start;
  while (handed < wanted) {
    at = *port.next_hand_over();
    handed = port.handed_over_by(at);
  }
  return at;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: pattern_ceiling PATTERN BAUD [BLOCKS [LATENCY_MS]]\n");
    return 2;
  }
  std::string error;
  const auto pattern = linesim::parse_delivery(argv[1], error);
  const long baud = std::strtol(argv[2], nullptr, 10);
  const long blocks = argc >= 4 ? std::strtol(argv[3], nullptr, 10) : kDefaultBlocks;
  const long latency_ms = argc == 5 ? std::strtol(argv[4], nullptr, 10) : 0;
  if (!pattern || baud < 1 || blocks < 1 || latency_ms < 0) {
    std::fprintf(stderr, "pattern_ceiling: %s\n",
                 pattern ? "BAUD and BLOCKS must be 1 or more, LATENCY_MS 0 or more" : error.c_str());
    return 2;
  }
  const nanoseconds latency = std::chrono::milliseconds(latency_ms);
  linesim::Delivery to_receiver(*pattern), to_sender(*pattern);
  std::uint64_t handed_to_receiver = 0, handed_to_sender = 0;
  // The first block settles a pattern's phase; the rest are counted.
  nanoseconds first{}, leaves{};
  for (long block = 0; block <= blocks; ++block) {
    if (block == 1) first = leaves;
    const nanoseconds whole = cross(to_receiver, handed_to_receiver, leaves, kFrameBytes, baud, latency);
    leaves = cross(to_sender, handed_to_sender, whole, 1, baud, latency);
  }
  const double rate = static_cast<double>(blocks) * kPayloadBytes / std::chrono::duration<double>(leaves - first).count();
  std::printf("pattern_ceiling: %s at %ld baud: %.0f bytes/s of payload, %.1f %% of the line rate\n",
              linesim::delivery_name(*pattern).c_str(), baud, rate, 100 * rate / (static_cast<double>(baud) / 10));
  return 0;
}
