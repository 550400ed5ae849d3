// One direction of the cable: what one end writes, paced, damaged, read by
// the other end as a UART at its own speed would read it, and handed to the
// other end's program as its port hands bytes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "linesim/delivery.h"
#include "linesim/faults.h"
#include "linesim/options.h"
#include "linesim/pacer.h"
#include "linesim/uart.h"

namespace quorvantix::linesim {

class CableEnd;

class Lane {
 public:
  // `pacing`, `fixed_baud` and `delivery` as in Options.
  Lane(const CableEnd& from, const CableEnd& to, Pacing pacing, long fixed_baud, DeliveryPattern delivery,
       FaultInjector faults, std::optional<Stall> stall, std::chrono::nanoseconds latency);

  bool has_room() const;
  bool waits_for_room() const { return far_end_full_; }
  std::uint64_t delivered() const { return delivered_; }
  // Every byte ever taken in from the near end.
  std::uint64_t queued_total() const { return queued_total_; }
  std::uint64_t sent_at_other_speed() const { return sent_at_other_speed_; }
  const FaultCounts& fault_counts() const { return faults_.counts(); }
  std::uint64_t stalls() const { return pacer_.stalls(); }

  // Reads what the near end has written, as far as there is room; the bytes
  // go at the speed the near end has set now.
  bool take_in(TimePoint now, std::string& error);

  // Takes in every byte that has crossed the line by `now`: the bytes
  // themselves when the far end's speed is theirs, else what a UART at its
  // speed reads from them. Hands the far end those its port has passed on by
  // then, as far as its pty takes them.
  bool hand_over_due(TimePoint now, std::string& error);

  // When to hand bytes over next; nothing when no bytes wait, or when they
  // wait for room at the far end rather than for time.
  std::optional<TimePoint> next_wake(TimePoint now) const;

  // When the far end was handed the last byte sent to it, while nothing has
  // been sent to it since; nothing otherwise. And the bytes it was handed
  // since forget_emptied(), which the far end calls as it writes.
  std::optional<TimePoint> emptied_at() const { return emptied_at_; }
  std::uint64_t handed_since_forgotten() const { return delivered_ - delivered_when_forgotten_; }
  void forget_emptied() { emptied_at_.reset(), delivered_when_forgotten_ = delivered_; }

 private:
  struct Chunk {
    TimePoint eligible;
    long baud;  // the sender's speed
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
  };

  long sending_speed() const;
  long receiving_speed() const;
  void enqueue(TimePoint now, long baud, std::span<const std::uint8_t> bytes);
  void advance(Chunk& chunk, std::size_t count);
  // Writes as much to the far end as its pty takes, `written` bytes; a full
  // pty sets far_end_full_. False, with `error` filled, when the pty fails.
  bool write_out(const std::uint8_t* bytes, std::size_t count, std::size_t& written, std::string& error);
  void arrive(TimePoint at, std::uint8_t byte, bool ends_write);
  void pass_through(Chunk& chunk, std::size_t due);
  void feed_receiver(Chunk& chunk, std::size_t due);
  void take_misread(TimePoint now);
  TimePoint line_known_until() const;
  bool hand_over_delivered(TimePoint now, std::string& error);
  std::optional<TimePoint> next_delivery() const;
  std::chrono::nanoseconds receiving_byte_time() const;

  const CableEnd& from_;
  const CableEnd& to_;
  Pacing pacing_;
  long fixed_baud_;
  FaultInjector faults_;
  Pacer pacer_;
  // The far end's port: the bytes that have crossed wait in `arrived_` until
  // it hands them on.
  Delivery delivery_;
  std::deque<std::uint8_t> arrived_;
  std::optional<TimePoint> emptied_at_;
  std::chrono::nanoseconds latency_;
  std::vector<std::uint8_t> scratch_;
  std::deque<Chunk> queue_;
  std::size_t queued_bytes_ = 0;
  std::uint64_t delivered_ = 0;
  std::uint64_t queued_total_ = 0;
  std::uint64_t delivered_when_forgotten_ = 0;
  std::uint64_t sent_at_other_speed_ = 0;
  bool far_end_full_ = false;
  // While the far end's UART makes its own bytes of the stream, every byte
  // goes through `receiver_` until it hunts on an idle line again.
  UartReceiver receiver_;
  bool misreading_ = false;
  long receive_baud_ = 0;
  std::vector<std::uint8_t> misread_;   // read by the far end's UART just now
  std::vector<TimePoint> misread_at_;  // when each of them was
};

}  // namespace quorvantix::linesim
