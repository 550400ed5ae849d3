// How a port hands the bytes its UART has received to the program reading
// it: one at a time, from a FIFO, in USB packets, once a video frame, or in
// bursts. The same model paces the simulator's ends and the tests' cable.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace quorvantix::linesim {

struct DeliveryPattern {
  enum class Kind {
    byte,   // each byte as its stop bit ends: a UART without a FIFO
    fifo,   // `bytes` at a time (the trigger level), the rest after 4 character times of quiet
    usb,    // packets of at most `bytes`, sent when full or `wait` after their first byte came
    tick,   // everything that came in each `wait`, at once, at the end of it
    burst,  // what came in each half millisecond, and the end of a write as it comes
  };
  Kind kind = Kind::byte;
  std::size_t bytes = 1;
  std::chrono::nanoseconds wait{};

  bool operator==(const DeliveryPattern&) const = default;
};

// A PC's serial port: a 16550A, which Linux sets to interrupt at 8 bytes.
inline constexpr DeliveryPattern kPortDelivery{DeliveryPattern::Kind::fifo, 8, {}};

// "byte", "fifo:N", "usb:N,MS", "tick:MS" or "burst"; nothing, with `error`
// filled, for any other text.
std::optional<DeliveryPattern> parse_delivery(std::string_view text, std::string& error);
// The pattern as parse_delivery() takes it ("usb:62,16").
std::string delivery_name(const DeliveryPattern& pattern);

// One receiving end's port. Bytes arrive in order, each when its stop bit is
// through; the port hands them on as its pattern says, always every byte it
// holds at once. Times are durations since any fixed moment (a tick pattern
// counts its periods from there). A byte's hand-over depends only on the
// bytes that arrived before it, so arrivals may be given ahead of time.
class Delivery {
 public:
  explicit Delivery(DeliveryPattern pattern) : pattern_(pattern) {}

  // A byte arrives at `at` (no earlier than the one before); `byte_time` is
  // its wire time at the receiving speed, `ends_write` whether it is the last
  // of what its sender wrote at once.
  void arrive(std::chrono::nanoseconds at, std::chrono::nanoseconds byte_time, bool ends_write);

  // How many bytes, counted from the first, the port has handed over by
  // `now`. Every byte arriving by `now` must have been given to arrive().
  std::uint64_t handed_over_by(std::chrono::nanoseconds now);

  // When the port hands bytes over next, if no other byte arrives before;
  // nothing while it holds none.
  std::optional<std::chrono::nanoseconds> next_hand_over() const;

  // When the port last handed bytes over, as far as handed_over_by() has looked.
  std::optional<std::chrono::nanoseconds> last_hand_over() const { return last_hand_over_; }

 private:
  struct Release {
    std::chrono::nanoseconds at;
    std::uint64_t through;  // bytes handed over with it, counted from the first
  };
  // When the bytes held go without another byte arriving; nothing when none are held.
  std::optional<std::chrono::nanoseconds> held_until() const;
  void release(std::chrono::nanoseconds at);

  DeliveryPattern pattern_;
  std::uint64_t arrived_ = 0;
  std::uint64_t handed_ = 0;
  std::deque<Release> releases_;  // decided, in order of time, not yet past
  std::optional<std::chrono::nanoseconds> last_hand_over_;
  std::size_t held_ = 0;          // arrived, not yet in a release
  std::chrono::nanoseconds first_held_at_{};
  std::chrono::nanoseconds first_held_started_{};
  std::chrono::nanoseconds last_held_at_{};
  std::chrono::nanoseconds last_byte_time_{};
};

}  // namespace quorvantix::linesim
