// Both ends of a link in one process: a cable of two fake lines on one fake
// clock. Each end runs in a thread of its own, but only one runs at a time;
// the clock moves only when every end waits, straight to the earliest moment
// one of them can go on. So time limits, repeats and stalls are instant, and
// the same test always makes the same bytes cross at the same fake times.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/clock.h"
#include "lines/serial_line.h"
#include "linesim/delivery.h"
#include "wire/link.h"

namespace quorvantix::testsupport {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::nanoseconds;

constexpr nanoseconds kNever = nanoseconds::max();

class SimClock final : public host::Clock {
 public:
  explicit SimClock(nanoseconds tick = host::kStandardTick) : tick_(tick) {}

  nanoseconds now() const override { return now_; }
  void sleep_for(nanoseconds length) override;
  nanoseconds tick() const override { return tick_; }

  // Blocks the calling end until the clock reaches `deadline`, or the time
  // `ready_at()` gives, if earlier: the moment from which the end can go on
  // (kNever while it cannot). Outside run(), the clock simply jumps there.
  void wait_until(nanoseconds deadline, const std::function<nanoseconds()>& ready_at);

  // Runs `main` and the `background` ends until `main` returns; the
  // background ends (a service that would wait for ever) are then unwound.
  // Throws when every end waits for something that can never come.
  void run(const std::function<void()>& main, const std::vector<std::function<void()>>& background = {});

 private:
  struct End {
    bool waiting = false, done = false;
    nanoseconds deadline{};
    std::function<nanoseconds()> ready_at;
  };
  void hand_over(int from);
  void run_end(int index, const std::function<void()>& body);

  nanoseconds tick_;
  nanoseconds now_{};
  std::mutex mutex_;
  std::condition_variable turn_;
  std::vector<End> ends_;
  int running_ = -1;
  bool over_ = false, stuck_ = false;
};

// The cable: what one end writes, the other reads, at the pace and with the
// faults the test sets.
class SimCable {
 public:
  enum Side { a = 0, b = 1 };

  explicit SimCable(SimClock& clock) : clock_(clock) {}

  // Opens the line at `side` (a fresh line object on the same cable).
  std::unique_ptr<lines::Line> open(Side side, std::string& error);
  lines::LineOpener opener(Side side);

  // Each byte takes ten bit times at `baud` to leave its end (0: no time),
  // both ways, whatever speeds the ends set.
  void pace(long baud) { baud_ = baud; }
  // Each direction paced at the speed its sending end set last (9600 until
  // it sets one). A byte that arrives while the receiving end is set to
  // another speed than it was sent at comes in as a UART at the wrong speed
  // reads it: a framing error, the byte 0x00. pace() overrides this.
  void follow_speeds() { follow_speeds_ = true; }
  // Whether the line at `side` has an output queue (the default): a serial
  // port, whose write ends once its bytes have left it. Without one the line
  // is a pty or a socket in front of a paced UART (a terminal server, an
  // emulator's port over TCP): a write ends as soon as the bytes are handed
  // over, and they still take their wire time on the line.
  void output_queue(Side side, bool present) { directions_[side].output_queue = present; }
  // Every byte arrives this long after it has left.
  void delay(nanoseconds latency) { latency_ = latency; }
  // How each side's port hands on the bytes that arrive, as in the line
  // simulator (linesim/delivery.h); by default each byte as it arrives. Set
  // before any byte is written.
  void deliver(linesim::DeliveryPattern pattern) {
    for (auto& direction : directions_) direction.delivery = linesim::Delivery(pattern);
  }
  // Sees every byte that `from` writes (the index counts them from the
  // start) and returns what goes on the line instead: nothing (the byte is
  // lost), the byte changed, or more bytes (bytes added).
  using Fault = std::function<Bytes(std::size_t index, std::uint8_t byte)>;
  void tamper(Side from, Fault fault) { directions_[from].fault = std::move(fault); }
  // Once `after` bytes from `from` have left, the line stands still for `length`.
  void stall(Side from, std::size_t after, nanoseconds length) {
    directions_[from].stall_after = after, directions_[from].stall_length = length;
  }
  // Puts bytes on the line as if `from` had written them now.
  void inject(Side from, const Bytes& bytes) { carry(from, bytes.data(), bytes.size()); }
  // The lines of both sides fail and cannot be opened until restore().
  void cut() { ++generation_, available_ = false; }
  void restore() { available_ = true; }

  // When the port at `side` last handed bytes on to its line, as far as the
  // line has looked; and how often the line at `side` has waited to move bytes.
  nanoseconds last_hand_over(Side side) const {
    return directions_[1 - side].delivery.last_hand_over().value_or(kNever);
  }
  int waits(Side side) const { return directions_[side].waits; }

  // Everything `side` wrote, as written.
  const Bytes& sent_by(Side side) const { return directions_[side].sent; }
  // The line speeds the ends set, in order.
  const std::vector<long>& speeds(Side side) const { return directions_[side].speeds; }

 private:
  friend class SimLine;
  struct Arrival { nanoseconds at; std::uint8_t byte; long baud; };  // `baud`: the speed it was sent at
  struct Direction {
    Bytes sent;
    std::vector<Arrival> queue;  // what crosses to the other side, arriving at `at`
    linesim::Delivery delivery{linesim::DeliveryPattern{}};  // when the other side's port hands it on
    std::size_t read_at = 0;
    nanoseconds port_free_at{};  // when the last byte written has left its port
    nanoseconds line_free_at{};  // when the last byte on the line arrives
    Fault fault;
    std::size_t stall_after = SIZE_MAX;
    nanoseconds stall_length{};
    std::vector<long> speeds;
    std::vector<std::pair<nanoseconds, long>> speed_changes;  // when each speed took effect on this end
    bool output_queue = true;
    int waits = 0;  // of the line at this side
  };
  void carry(Side from, const std::uint8_t* bytes, std::size_t count);
  long speed_at(Side side, nanoseconds when) const;
  long sending_speed(Side from) const { return baud_ > 0 ? baud_ : follow_speeds_ ? speed_at(from, kNever) : 0; }
  nanoseconds byte_time(Side from) const {
    const long baud = sending_speed(from);
    return baud > 0 ? nanoseconds(10'000'000'000LL / baud) : nanoseconds::zero();
  }

  SimClock& clock_;
  Direction directions_[2];
  long baud_ = 0;
  bool follow_speeds_ = false;
  nanoseconds latency_{};
  int generation_ = 0;
  bool available_ = true;
};

// Raw bytes through a link's request cycle, for peers that break the rules.
// write_raw returns false on a time-out; read_raw returns what came within
// one time limit.
bool write_raw(wire::Link& link, const Bytes& bytes);
Bytes read_raw(wire::Link& link, std::size_t count);

// A link frame as it crosses the wire: STX, payload, check byte, ETX.
Bytes frame_of(const Bytes& payload);
Bytes frame_of(const std::string& payload);

// Two links on a cable, opened at 9600 baud: `service` on side a, `customer`
// on side b.
struct SimPair {
  explicit SimPair(nanoseconds tick = host::kStandardTick);
  SimClock clock;
  SimCable cable{clock};
  wire::Link service{clock, cable.opener(SimCable::a)};
  wire::Link customer{clock, cable.opener(SimCable::b)};
};

}  // namespace quorvantix::testsupport
