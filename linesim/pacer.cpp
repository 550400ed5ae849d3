#include "linesim/pacer.h"

#include <algorithm>
#include <cmath>

namespace quorvantix::linesim {
namespace {

constexpr double kBitsPerByte = 10;  // start bit, eight data bits, stop bit
constexpr double kNanosecondsPerSecond = 1e9;

}  // namespace

Pacer::Pacer(long baud, std::optional<Stall> stall) : baud_(baud), stall_(stall) {}

std::chrono::nanoseconds Pacer::line_time(long baud, std::uint64_t bytes) {
  if (baud <= 0) return std::chrono::nanoseconds::zero();
  const double nanoseconds = static_cast<double>(bytes) * kBitsPerByte * kNanosecondsPerSecond / static_cast<double>(baud);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(std::ceil(nanoseconds)));
}

TimePoint Pacer::next_start(TimePoint eligible) const { return std::max(line_free_at_, eligible); }

std::size_t Pacer::bytes_due(TimePoint now, TimePoint eligible, std::size_t available) {
  if (stall_pending() && handed_over_ == stall_->after_bytes) {
    line_free_at_ = std::max(line_free_at_, now) + stall_->length;
    stalled_ = true;
  }
  std::size_t limit = available;
  if (stall_pending()) limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, stall_->after_bytes - handed_over_));
  const TimePoint start = next_start(eligible);
  if (now < start) return 0;
  if (baud_ <= 0) return limit;
  const double elapsed = static_cast<double>(std::chrono::nanoseconds(now - start).count());
  const double crossed = std::floor(elapsed * static_cast<double>(baud_) / (kBitsPerByte * kNanosecondsPerSecond));
  return crossed >= static_cast<double>(limit) ? limit : static_cast<std::size_t>(crossed);
}

TimePoint Pacer::next_due(TimePoint eligible) const { return next_start(eligible) + line_time(baud_, 1); }

TimePoint Pacer::all_due(TimePoint eligible, std::size_t count) const {
  return next_start(eligible) + line_time(baud_, count);
}

void Pacer::hand_over(TimePoint eligible, std::size_t count) {
  line_free_at_ = next_start(eligible) + line_time(baud_, count);
  handed_over_ += count;
}

}  // namespace quorvantix::linesim
