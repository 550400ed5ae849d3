#include "linesim/lane.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "linesim/cable.h"

namespace quorvantix::linesim {
namespace {

using std::chrono::nanoseconds;

// What one direction may hold while the far end does not read. Past it the
// simulator stops reading the near end, and its writer feels the pty fill up.
constexpr std::size_t kQueueLimitBytes = 1 << 20;
constexpr std::size_t kReadChunkBytes = 64 * 1024;
// What the far end's port holds at most while its program does not read:
// bytes stop crossing the line until it has room again.
constexpr std::size_t kArrivedLimitBytes = 64 * 1024;
// Bytes that a UART at the wrong speed reads are taken in at this pace at
// least, and each as its stop bit is sampled once none are left to cross.
constexpr nanoseconds kMisreadPace = std::chrono::microseconds(500);
// A wake-up that would come no later than now comes this much later, so that
// rounding never makes the loop spin.
constexpr nanoseconds kLeastWait{1000};

nanoseconds since_epoch(TimePoint at) { return at.time_since_epoch(); }
TimePoint time_point(nanoseconds since) { return TimePoint(std::chrono::duration_cast<Clock::duration>(since)); }

std::string describe_errno(const std::string& call, const std::string& object) {
  return call + "(" + object + "): " + std::strerror(errno);
}

}  // namespace

Lane::Lane(const CableEnd& from, const CableEnd& to, Pacing pacing, long fixed_baud, DeliveryPattern delivery,
           FaultInjector faults, std::optional<Stall> stall, nanoseconds latency)
    : from_(from),
      to_(to),
      pacing_(pacing),
      fixed_baud_(fixed_baud),
      faults_(std::move(faults)),
      pacer_(0, stall),
      delivery_(delivery),
      latency_(latency),
      scratch_(kReadChunkBytes) {}

bool Lane::has_room() const { return queued_bytes_ < kQueueLimitBytes; }

nanoseconds Lane::receiving_byte_time() const { return Pacer::line_time(receive_baud_, 1); }

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
      queued_total_ += static_cast<std::uint64_t>(count);
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
    faults_.pass(bytes, chunk.bytes, baud);
  } else {
    chunk.bytes.assign(bytes.begin(), bytes.end());
  }
  if (chunk.bytes.empty()) return;
  emptied_at_.reset();
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

void Lane::arrive(TimePoint at, std::uint8_t byte, bool ends_write) {
  arrived_.push_back(byte);
  delivery_.arrive(since_epoch(at), receiving_byte_time(), ends_write);
}

void Lane::pass_through(Chunk& chunk, std::size_t due) {
  const TimePoint start = pacer_.next_start(chunk.eligible);
  const std::size_t left = chunk.bytes.size() - chunk.sent;
  for (std::size_t i = 0; i < due; ++i) {
    arrive(start + Pacer::line_time(chunk.baud, i + 1), chunk.bytes[chunk.sent + i], i + 1 == left);
  }
  pacer_.hand_over(chunk.eligible, due);
  advance(chunk, due);
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

void Lane::take_misread(TimePoint now) {
  misread_.clear();
  misread_at_.clear();
  receiver_.receive(std::min(now, line_known_until()), receive_baud_, misread_, &misread_at_);
  for (std::size_t i = 0; i < misread_.size(); ++i) arrive(misread_at_[i], misread_[i], false);
  if (!receiver_.next_byte_at(receive_baud_)) misreading_ = false;
}

bool Lane::hand_over_delivered(TimePoint now, std::string& error) {
  const std::uint64_t handed = delivery_.handed_over_by(since_epoch(now));
  bool wrote = false;
  while (delivered_ < handed && !far_end_full_) {
    // One write at a time from a buffer in one piece.
    const auto writing = static_cast<std::size_t>(std::min<std::uint64_t>(handed - delivered_, scratch_.size()));
    std::copy_n(arrived_.begin(), writing, scratch_.begin());
    std::size_t written = 0;
    if (!write_out(scratch_.data(), writing, written, error)) return false;
    arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<long>(written));
    wrote = wrote || written > 0;
  }
  if (wrote && arrived_.empty() && queue_.empty() && !misreading_) emptied_at_ = now;
  return true;
}

bool Lane::hand_over_due(TimePoint now, std::string& error) {
  far_end_full_ = false;
  receive_baud_ = receiving_speed();
  while (!queue_.empty() && arrived_.size() < kArrivedLimitBytes) {
    Chunk& chunk = queue_.front();
    const std::size_t room = kArrivedLimitBytes - arrived_.size();
    const std::size_t due = pacer_.bytes_due(now, chunk.eligible, std::min(room, chunk.bytes.size() - chunk.sent));
    if (due == 0) break;
    if (misreading_ || chunk.baud != receive_baud_) {
      feed_receiver(chunk, due);
    } else {
      pass_through(chunk, due);
    }
  }
  if (misreading_) take_misread(now);
  return hand_over_delivered(now, error);
}

// When the far end's port hands bytes on next: from what has crossed, and
// from the bytes of the front chunk as they will cross (a stall aside).
std::optional<TimePoint> Lane::next_delivery() const {
  const bool passing = !queue_.empty() && !misreading_ && queue_.front().baud == receive_baud_;
  if (!passing) {
    const auto next = delivery_.next_hand_over();
    return next ? std::optional(time_point(*next)) : std::nullopt;
  }
  const Chunk& front = queue_.front();
  const TimePoint start = pacer_.next_start(front.eligible);
  const std::size_t left = front.bytes.size() - front.sent;
  Delivery ahead = delivery_;
  for (std::size_t i = 0; i < left; ++i) {
    const TimePoint at = start + Pacer::line_time(front.baud, i + 1);
    if (const auto next = ahead.next_hand_over(); next && *next <= since_epoch(at)) break;
    ahead.arrive(since_epoch(at), receiving_byte_time(), i + 1 == left);
  }
  const auto next = ahead.next_hand_over();
  return next ? std::optional(time_point(*next)) : std::nullopt;
}

// When the far end's port hands bytes on; bytes that a UART at another speed
// reads are taken in as they cross, and each as its stop bit is sampled.
std::optional<TimePoint> Lane::next_wake(TimePoint now) const {
  if (far_end_full_) return std::nullopt;
  std::optional<TimePoint> wake = next_delivery();
  const auto sooner = [&](TimePoint at) { wake = std::min(wake.value_or(TimePoint::max()), at); };
  if (!queue_.empty() && (misreading_ || queue_.front().baud != receive_baud_)) {
    const Chunk& front = queue_.front();
    const TimePoint next = pacer_.next_due(front.eligible);
    const TimePoint all = pacer_.all_due(front.eligible, front.bytes.size() - front.sent);
    sooner(std::min(std::max(next, now + kMisreadPace), std::max(next, all)));
  }
  if (misreading_) {
    const auto read = receiver_.next_byte_at(receive_baud_);
    if (read && *read < line_known_until()) sooner(*read);
  }
  if (wake && *wake <= now) wake = now + kLeastWait;
  return wake;
}

}  // namespace quorvantix::linesim
