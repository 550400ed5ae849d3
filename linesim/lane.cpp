#include "linesim/lane.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "linesim/cable.h"

namespace linesim {
namespace {

using std::chrono::nanoseconds;

// What one direction may hold while the far end does not read. Past it the
// simulator stops reading the near end, and its writer feels the pty fill up.
constexpr std::size_t kQueueLimitBytes = 1 << 20;
constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Waking the poll loop for every byte at high rates would cost more than it
// shows; below this, bytes leave in small bursts, as from a UART's FIFO.
constexpr nanoseconds kShortestWait = std::chrono::microseconds(500);

std::string describe_errno(const std::string& call, const std::string& object) {
  return call + "(" + object + "): " + std::strerror(errno);
}

}  // namespace

Lane::Lane(const CableEnd& from, const CableEnd& to, Pacing pacing, long fixed_baud, FaultInjector faults,
           std::optional<Stall> stall, nanoseconds latency)
    : from_(from),
      to_(to),
      pacing_(pacing),
      fixed_baud_(fixed_baud),
      faults_(std::move(faults)),
      pacer_(0, stall),
      latency_(latency),
      scratch_(kReadChunkBytes) {}

bool Lane::has_room() const { return queued_bytes_ < kQueueLimitBytes; }

long Lane::sending_speed() const {
  switch (pacing_) {
    case Pacing::follow:
      return from_.speeds().send;
    case Pacing::fixed:
      return fixed_baud_;
    case Pacing::unthrottled:
      break;
  }
  return 0;
}

long Lane::receiving_speed() const {
  switch (pacing_) {
    case Pacing::follow:
      return to_.speeds().receive;
    case Pacing::fixed:
      return fixed_baud_;
    case Pacing::unthrottled:
      break;
  }
  return 0;
}

bool Lane::take_in(TimePoint now, std::string& error) {
  // A program writes, and changes its speed only after that: the speed read
  // now is the one its waiting bytes were written at.
  const long baud = sending_speed();
  while (has_room()) {
    const std::size_t room = std::min(scratch_.size(), kQueueLimitBytes - queued_bytes_);
    const ssize_t count = ::read(from_.master(), scratch_.data(), room);
    if (count > 0) {
      enqueue(now, baud, std::span<const std::uint8_t>(scratch_.data(), static_cast<std::size_t>(count)));
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count == 0 || errno == EAGAIN) return true;
    error = describe_errno("read", from_.slave_name());
    return false;
  }
  return true;
}

void Lane::enqueue(TimePoint now, long baud, std::span<const std::uint8_t> bytes) {
  Chunk chunk{now + latency_, baud, {}, 0};
  if (faults_.active()) {
    chunk.bytes.reserve(bytes.size() + bytes.size() / 8 + 16);
    faults_.pass(bytes, chunk.bytes);
  } else {
    chunk.bytes.assign(bytes.begin(), bytes.end());
  }
  if (chunk.bytes.empty()) return;
  queued_bytes_ += chunk.bytes.size();
  queue_.push_back(std::move(chunk));
  if (queue_.size() == 1) pacer_.set_baud(baud);
}

// The pacer always runs at the speed of the chunk in front.
void Lane::advance(Chunk& chunk, std::size_t count) {
  chunk.sent += count;
  queued_bytes_ -= count;
  if (chunk.sent < chunk.bytes.size()) return;
  queue_.pop_front();
  if (!queue_.empty()) pacer_.set_baud(queue_.front().baud);
}

bool Lane::write_out(const std::uint8_t* bytes, std::size_t count, std::size_t& written, std::string& error) {
  written = 0;
  while (count > 0) {
    const ssize_t result = ::write(to_.master(), bytes, count);
    if (result >= 0) {
      written = static_cast<std::size_t>(result);
      delivered_ += written;
      far_end_full_ = written < count;
      return true;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      far_end_full_ = true;
      return true;
    }
    error = describe_errno("write", to_.slave_name());
    return false;
  }
  return true;
}

bool Lane::pass_through(Chunk& chunk, std::size_t due, std::string& error) {
  std::size_t written = 0;
  if (!write_out(chunk.bytes.data() + chunk.sent, due, written, error)) return false;
  if (written == 0) return true;
  pacer_.hand_over(chunk.eligible, written);
  advance(chunk, written);
  return true;
}

void Lane::feed_receiver(Chunk& chunk, std::size_t due) {
  const TimePoint start = pacer_.next_start(chunk.eligible);
  for (std::size_t i = 0; i < due; ++i) {
    receiver_.transmit(start + Pacer::line_time(chunk.baud, i), chunk.baud, chunk.bytes[chunk.sent + i]);
  }
  if (chunk.baud != receive_baud_) sent_at_other_speed_ += due;
  misreading_ = true;
  pacer_.hand_over(chunk.eligible, due);
  advance(chunk, due);
}

// Bytes still queued start no earlier than the front one; a byte read later
// becomes eligible after the moment its read began, so with nothing queued
// the line stays idle at least until now.
TimePoint Lane::line_known_until() const {
  return queue_.empty() ? TimePoint::max() : pacer_.next_start(queue_.front().eligible);
}

bool Lane::flush_misread(std::string& error) {
  std::size_t written = 0;
  if (!write_out(misread_.data() + misread_written_, misread_.size() - misread_written_, written, error)) return false;
  misread_written_ += written;
  if (misread_written_ == misread_.size()) {
    misread_.clear();
    misread_written_ = 0;
  }
  return true;
}

bool Lane::hand_over_due(TimePoint now, std::string& error) {
  far_end_full_ = false;
  // What the far end's UART has read goes first, before any byte after it.
  if (!flush_misread(error)) return false;
  if (far_end_full_ || (queue_.empty() && !misreading_)) return true;
  receive_baud_ = receiving_speed();
  while (!queue_.empty() && !far_end_full_) {
    Chunk& chunk = queue_.front();
    const std::size_t due = pacer_.bytes_due(now, chunk.eligible, chunk.bytes.size() - chunk.sent);
    if (due == 0) break;
    if (misreading_ || chunk.baud != receive_baud_) {
      feed_receiver(chunk, due);
    } else if (!pass_through(chunk, due, error)) {
      return false;
    }
  }
  if (!misreading_) return true;
  receiver_.receive(std::min(now, line_known_until()), receive_baud_, misread_);
  if (!receiver_.next_byte_at(receive_baud_)) misreading_ = false;
  return flush_misread(error);
}

// Once a burst of kShortestWait has crossed, or as soon as the last waiting
// byte has, whichever comes first, so that the end of a frame and a lone
// answer byte arrive one byte time after their stop bit, as from a UART, and
// not up to a burst later. A byte that the far end's UART is reading comes
// when its stop bit is sampled, unless bytes still to cross decide it.
std::optional<TimePoint> Lane::next_wake(TimePoint now) const {
  if (far_end_full_) return std::nullopt;
  std::optional<TimePoint> wake;
  if (!queue_.empty()) {
    const Chunk& front = queue_.front();
    const TimePoint next = pacer_.next_due(front.eligible);
    const TimePoint all = pacer_.all_due(front.eligible, front.bytes.size() - front.sent);
    wake = std::min(std::max(next, now + kShortestWait), std::max(next, all));
  }
  if (misreading_) {
    const auto read = receiver_.next_byte_at(receive_baud_);
    if (read && *read < line_known_until()) wake = std::min(wake.value_or(TimePoint::max()), std::max(*read, now));
  }
  return wake;
}

}  // namespace linesim
