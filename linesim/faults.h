// Seeded damage to one direction of the cable: bits flipped, bytes dropped,
// bytes inserted, each at a probability per byte.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "linesim/options.h"

namespace quorvantix::linesim {

struct FaultCounts {
  std::uint64_t flipped = 0;
  std::uint64_t dropped = 0;
  std::uint64_t inserted = 0;

  FaultCounts& operator+=(const FaultCounts& other);
};

// SplitMix64: small, fast, and the same numbers on every host and compiler, so
// a seed reproduces a run anywhere.
class SeededRandom {
 public:
  explicit SeededRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // Uniform in (0, 1].
  double unit();

 private:
  std::uint64_t state_;
};

class FaultInjector {
 public:
  // `stream` tells the two directions apart, so that they get unrelated faults
  // from one seed.
  // `flip_from`: the flips that come with the speed.
  FaultInjector(const FaultRates& rates, std::uint64_t seed, unsigned stream, SpeedFlips flip_from = {});

  // Appends `in`, damaged, to `out`. The damage depends only on the seed, the
  // rates and the position of each byte in the stream, not on how the stream
  // is cut into pieces, so a seed reproduces a run whatever the timing.
  // `baud` is the speed the bytes were sent at, for the flips that come with it.
  void pass(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out, long baud = 0);

  // True when some rate is above zero.
  bool active() const;
  const FaultCounts& counts() const { return counts_; }

 private:
  // One kind of fault: the distance to its next occurrence is drawn at once
  // (geometrically), so clean bytes cost nothing but a copy.
  struct Fault {
    Fault(double rate, std::uint64_t seed);
    // Draws how many clean bytes come before the next occurrence.
    void schedule_next();
    double rate;
    SeededRandom random;
    std::uint64_t clean_bytes_left;
  };

  void pass_faults(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);
  std::uint64_t clean_run(std::size_t remaining) const;
  void advance(std::uint64_t bytes);
  void damage_one(std::uint8_t byte, std::vector<std::uint8_t>& out);

  // The flips that come with the speed: a draw for every byte sent at a
  // speed that has them, so that they depend on the byte's position alone.
  void flip_with_speed(std::uint8_t* bytes, std::size_t count, long baud);

  Fault flip_;
  SpeedFlips flip_from_;
  SeededRandom speed_flips_;
  Fault drop_;
  Fault insert_;
  FaultCounts counts_;
};

}  // namespace quorvantix::linesim
