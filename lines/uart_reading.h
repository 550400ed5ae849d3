// What a receiving UART reads from a sender's bit stream, whatever the two
// ends' speeds: the bytes themselves when they agree, garbage when they do not.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include <chrono>
#include <span>

namespace quorvantix::lines {

using UartTimePoint = std::chrono::steady_clock::time_point;

// The sender's side is a stream of 8N1 frames: a start bit (low), eight data
// bits, least significant first, a stop bit (high), and the line idle (high)
// between frames. The receiver hunts for a falling edge, takes it for the
// start of a byte and samples each of its ten bits in the middle, at its own
// speed. A start bit found high again at its middle was no start; a stop bit
// found low is a framing error, and the byte is delivered as sampled (all
// zeros then: a break), as a Linux port in raw mode delivers it. Time runs in
// whole nanoseconds throughout, so the same stream always reads the same.
class UartReceiver {
 public:
  // The sender puts `byte` on the line from `start` on, at `baud` (above 0).
  // Frames come in order and none starts before the previous one has ended.
  void transmit(UartTimePoint start, long baud, std::uint8_t byte);

  // Samples the line at `baud` (above 0), taking it for known up to `until`:
  // every frame that starts before `until` has been transmitted. Appends each
  // byte whose stop bit is sampled by then, and to `sampled_at`, if given,
  // when its stop bit was sampled.
  void receive(UartTimePoint until, long baud, std::vector<std::uint8_t>& out,
               std::vector<UartTimePoint>* sampled_at = nullptr);

  // When the byte that a falling edge has begun has its stop bit sampled at
  // `baud`; nothing while the receiver hunts on a line that stays idle.
  std::optional<UartTimePoint> next_byte_at(long baud) const;

 private:
  struct Frame {
    UartTimePoint start;
    long baud;
    std::uint8_t byte;

    UartTimePoint end() const;
    // The level of bit `index`, 0 (start) to 9 (stop).
    bool bit(int index) const;
    // When bit `index` begins.
    UartTimePoint boundary(int index) const;
  };

  bool level_at(UartTimePoint at) const;
  std::optional<UartTimePoint> falling_edge_from(UartTimePoint from) const;
  void forget_frames_before(UartTimePoint at);

  std::deque<Frame> frames_;
  UartTimePoint hunting_from_{};
};

// When bit `index` (0 the start bit, 9 the stop bit) of a byte whose start
// bit began at `edge` is sampled at `baud`: the middle of the bit, rounded up
// to a whole nanosecond.
UartTimePoint sample_time(UartTimePoint edge, long baud, int index);

// What a UART at `read_baud` reads of `bytes` sent back to back at
// `sent_baud` onto an idle line: the bytes themselves when the speeds agree.
// Both ends' programs use it to tell the speed of a peer they cannot read.
std::vector<std::uint8_t> uart_reads(std::span<const std::uint8_t> bytes, long sent_baud, long read_baud);

// The speeds a port is likely to be set to, rising; 9600 is where every
// service starts.
inline constexpr long kStandardSpeeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// 1 for equal sequences, 0 for nothing in common: twice their longest common
// subsequence over their lengths. Bytes misread at another speed shift with
// the timing of each byte, so a few of them differ from any one pattern.
double likeness(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

// What a receiver at one speed reads of some bytes sent at another.
struct SpeedReading {
  long sent_baud = 0;
  std::vector<std::uint8_t> read;
};
// `sent` as read at `read_baud` from each other standard speed that leaves
// something to read: computed once for bytes that are compared often.
std::vector<SpeedReading> readings_from_every_speed(std::span<const std::uint8_t> sent, long read_baud);

// The speeds among `readings` from which their bytes, sent again and again,
// read most like `heard`: those under which the largest share of `heard`, at
// least `least_share`, is that reading's bytes in their order, a whole
// reading among them. Empty when none explains as much (or `heard` is empty).
std::vector<long> likeliest_sending_speeds(std::span<const std::uint8_t> heard, std::span<const SpeedReading> readings,
                                           double least_share);

}  // namespace quorvantix::lines
