// The timing of one direction of the cable: a line rate, and a one-off stall.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quorvantix::linesim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

struct Stall {
  std::uint64_t after_bytes = 0;   // the line stands still once this many bytes have crossed
  std::chrono::nanoseconds length{0};
};

// Decides when bytes have crossed the line. A byte crosses in ten bit-times
// (8N1) once the line is free and the byte may leave; the far end gets it
// whole, as from a UART, when its stop bit is through.
class Pacer {
 public:
  // `baud` 0 means no pacing: bytes cross the moment they may leave.
  Pacer(long baud, std::optional<Stall> stall);

  // The rate for the bytes asked about from now on; those that have crossed
  // keep the time they took.
  void set_baud(long baud) { baud_ = baud; }

  // When the next of the bytes that may leave from `eligible` starts to cross.
  TimePoint next_start(TimePoint eligible) const;

  // How many of `available` bytes, which may leave from `eligible` on, have
  // crossed by `now`. When the bytes crossed so far reach the stall point,
  // the stall starts here.
  std::size_t bytes_due(TimePoint now, TimePoint eligible, std::size_t available);

  // When the next of those bytes will have crossed.
  TimePoint next_due(TimePoint eligible) const;
  // When `count` of those bytes will all have crossed (a stall aside).
  TimePoint all_due(TimePoint eligible, std::size_t count) const;

  // Records that `count` bytes, eligible from `eligible`, were handed to the
  // far end; no more than bytes_due() said.
  void hand_over(TimePoint eligible, std::size_t count);

  std::uint64_t stalls() const { return stalled_ ? 1 : 0; }

  // The time `bytes` bytes take on the line at `baud`, rounded up to whole
  // nanoseconds; zero when `baud` is 0.
  static std::chrono::nanoseconds line_time(long baud, std::uint64_t bytes);

 private:
  bool stall_pending() const { return stall_.has_value() && !stalled_; }

  long baud_;
  std::optional<Stall> stall_;
  bool stalled_ = false;
  TimePoint line_free_at_{};
  std::uint64_t handed_over_ = 0;
};

}  // namespace quorvantix::linesim
