// The command line of quorvantix-linesim.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "linesim/delivery.h"

namespace quorvantix::linesim {

// Which directions of the cable the faults (flips, drops, inserts, the stall) act on.
enum class FaultDirections { both, a_to_b, b_to_a };

// Per-byte probabilities, each in [0, 1].
struct FaultRates {
  double flip = 0;    // one bit of the byte is inverted
  double drop = 0;    // the byte is lost
  double insert = 0;  // a random byte is added after it
};

// Flips that come with the speed: bytes sent at `from_baud` or faster get one
// bit inverted at `rate` (the step with the highest such speed counts), as on
// a long or poor cable, which holds the slow speeds and fails the fast.
struct SpeedFlip {
  long from_baud;
  double rate;
};
using SpeedFlips = std::vector<SpeedFlip>;
// The rate of `steps` for bytes sent at `baud`.
double flip_at(const SpeedFlips& steps, long baud);

// How the cable paces its bytes (8N1, ten bit-times a byte).
enum class Pacing {
  follow,       // each direction at the speed its sending end has set on its pty
  fixed,        // both directions at `baud`, whatever the ends set
  unthrottled,  // bytes pass as fast as they come
};

struct Options {
  std::string path_a;
  std::string path_b;
  Pacing pacing = Pacing::follow;
  long baud = 0;  // with Pacing::fixed
  std::chrono::milliseconds latency{0};
  DeliveryPattern delivery = kPortDelivery;  // how each end's port hands on what it receives
  std::uint64_t seed = 1;
  FaultRates rates;
  SpeedFlips flip_from;
  std::optional<std::uint64_t> stall_after_bytes;  // set together with stall
  std::chrono::milliseconds stall{0};
  FaultDirections fault_directions = FaultDirections::both;
  bool quiet = false;
  // Report how soon each end answered once handed at least this many bytes
  // since it last wrote (0: no report).
  std::uint64_t turnaround_bytes = 0;
  bool help = false;
};

// Parses the arguments after the program name. Returns nothing, with `error`
// naming the offending argument, when they do not make a complete set of
// options; with --help the rest need not be complete.
std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error);

// The --help text.
std::string usage_text();

}  // namespace quorvantix::linesim
