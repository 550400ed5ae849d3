#include "lines/uart_reading.h"

#include <algorithm>

namespace quorvantix::lines {
namespace {

using std::chrono::nanoseconds;

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr int kStartBit = 0;
constexpr int kStopBit = 9;
constexpr int kBitsPerFrame = 10;

std::size_t longest_common_subsequence(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  std::vector<std::size_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
  for (const std::uint8_t x : a) {
    for (std::size_t j = 0; j < b.size(); ++j) next[j + 1] = x == b[j] ? row[j] + 1 : std::max(next[j], row[j + 1]);
    std::swap(row, next);
  }
  return row.back();
}

std::int64_t divide_rounding_up(std::int64_t dividend, std::int64_t divisor) {
  return (dividend + divisor - 1) / divisor;
}

}  // namespace

UartTimePoint sample_time(UartTimePoint edge, long baud, int index) {
  return edge + nanoseconds(divide_rounding_up((2 * index + 1) * kNanosecondsPerSecond, 2 * std::int64_t{baud}));
}

UartTimePoint UartReceiver::Frame::boundary(int index) const {
  return start + nanoseconds(divide_rounding_up(index * kNanosecondsPerSecond, baud));
}

UartTimePoint UartReceiver::Frame::end() const { return boundary(kBitsPerFrame); }

bool UartReceiver::Frame::bit(int index) const {
  if (index == kStartBit) return false;
  if (index == kStopBit) return true;
  return ((byte >> (index - 1)) & 1) != 0;
}

void UartReceiver::transmit(UartTimePoint start, long baud, std::uint8_t byte) {
  frames_.push_back(Frame{start, baud, byte});
}

// Bit k covers [boundary(k), boundary(k + 1)); with boundaries rounded up to
// whole nanoseconds, the bit under offset d is floor(d * baud / 1e9).
bool UartReceiver::level_at(UartTimePoint at) const {
  for (const Frame& frame : frames_) {
    if (at < frame.start) break;
    if (at >= frame.end()) continue;
    const std::int64_t offset = nanoseconds(at - frame.start).count();
    return frame.bit(static_cast<int>(offset * frame.baud / kNanosecondsPerSecond));
  }
  return true;  // idle
}

// A frame's start is always a falling edge: before it the line was idle or
// in the previous frame's stop bit.
std::optional<UartTimePoint> UartReceiver::falling_edge_from(UartTimePoint from) const {
  for (const Frame& frame : frames_) {
    if (frame.end() <= from) continue;
    for (int index = kStartBit; index < kStopBit; ++index) {
      const UartTimePoint at = frame.boundary(index);
      if (at < from) continue;
      if (index == kStartBit || (frame.bit(index - 1) && !frame.bit(index))) return at;
    }
  }
  return std::nullopt;
}

void UartReceiver::forget_frames_before(UartTimePoint at) {
  while (!frames_.empty() && frames_.front().end() <= at) frames_.pop_front();
}

void UartReceiver::receive(UartTimePoint until, long baud, std::vector<std::uint8_t>& out,
                           std::vector<UartTimePoint>* sampled_at) {
  while (const auto edge = falling_edge_from(hunting_from_)) {
    forget_frames_before(*edge);
    const UartTimePoint start_sample = sample_time(*edge, baud, kStartBit);
    if (start_sample >= until) return;
    if (level_at(start_sample)) {
      hunting_from_ = start_sample + nanoseconds(1);
      continue;
    }
    const UartTimePoint stop_sample = sample_time(*edge, baud, kStopBit);
    if (stop_sample >= until) return;
    std::uint8_t byte = 0;
    for (int index = kStartBit + 1; index < kStopBit; ++index) {
      if (level_at(sample_time(*edge, baud, index))) byte |= static_cast<std::uint8_t>(1U << (index - 1));
    }
    out.push_back(byte);
    if (sampled_at) sampled_at->push_back(stop_sample);
    // The next byte needs a falling edge after this stop bit: a line that
    // stays low (a break) gives one byte, not a byte every frame time.
    hunting_from_ = stop_sample + nanoseconds(1);
  }
  forget_frames_before(hunting_from_);
}

std::optional<UartTimePoint> UartReceiver::next_byte_at(long baud) const {
  const auto edge = falling_edge_from(hunting_from_);
  if (!edge) return std::nullopt;
  return sample_time(*edge, baud, kStopBit);
}

std::vector<std::uint8_t> uart_reads(std::span<const std::uint8_t> bytes, long sent_baud, long read_baud) {
  UartReceiver receiver;
  UartTimePoint at{};
  for (const std::uint8_t byte : bytes) {
    receiver.transmit(at, sent_baud, byte);
    at += nanoseconds(divide_rounding_up(kBitsPerFrame * kNanosecondsPerSecond, sent_baud));
  }
  std::vector<std::uint8_t> read;
  // Long enough for the last byte's stop bit at the slowest of the two speeds.
  receiver.receive(at + nanoseconds(2 * kBitsPerFrame * kNanosecondsPerSecond / std::min(sent_baud, read_baud)),
                   read_baud, read);
  return read;
}

double likeness(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  if (a.empty() || b.empty()) return 0;
  return 2.0 * static_cast<double>(longest_common_subsequence(a, b)) / static_cast<double>(a.size() + b.size());
}

std::vector<SpeedReading> readings_from_every_speed(std::span<const std::uint8_t> sent, long read_baud) {
  std::vector<SpeedReading> readings;
  for (const long speed : kStandardSpeeds) {
    if (speed == read_baud) continue;
    std::vector<std::uint8_t> read = uart_reads(sent, speed, read_baud);
    if (!read.empty()) readings.push_back({speed, std::move(read)});
  }
  return readings;
}

std::vector<long> likeliest_sending_speeds(std::span<const std::uint8_t> heard, std::span<const SpeedReading> readings,
                                           double least_share) {
  std::vector<long> likeliest;
  double best = least_share;
  if (heard.empty()) return likeliest;
  for (const auto& [speed, once] : readings) {
    // Repeated tries, enough to cover `heard` even where some of them were
    // read whole and some in part.
    std::vector<std::uint8_t> repeated;
    while (repeated.size() < 2 * heard.size()) repeated.insert(repeated.end(), once.begin(), once.end());
    // One whole reading at least: a few bytes of a long one (a break's
    // zeros, say) are no sign of its speed.
    if (longest_common_subsequence(heard, once) < once.size()) continue;
    const double share =
        static_cast<double>(longest_common_subsequence(heard, repeated)) / static_cast<double>(heard.size());
    if (share > best) {
      likeliest.clear();
      best = share;
    }
    if (share >= best) likeliest.push_back(speed);
  }
  return likeliest;
}

}  // namespace quorvantix::lines
