#include "linesim/delivery.h"

#include <charconv>

namespace quorvantix::linesim {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A 16550's receive timeout: this many character times without a byte.
constexpr long kFifoQuietBytes = 4;
constexpr nanoseconds kBurstLength = std::chrono::microseconds(500);
constexpr unsigned long kMostBytes = 65536;
constexpr unsigned long kMostMilliseconds = 60'000;

bool parse_number(std::string_view text, unsigned long least, unsigned long most, unsigned long& value) {
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  return problem == std::errc() && end == text.data() + text.size() && value >= least && value <= most;
}

std::optional<DeliveryPattern> parse_arguments(DeliveryPattern::Kind kind, std::string_view arguments) {
  unsigned long bytes = 1;
  unsigned long wait_ms = 0;
  switch (kind) {
    case DeliveryPattern::Kind::byte:
    case DeliveryPattern::Kind::burst:
      if (!arguments.empty()) return std::nullopt;
      break;
    case DeliveryPattern::Kind::fifo:
      if (!parse_number(arguments, 1, kMostBytes, bytes)) return std::nullopt;
      break;
    case DeliveryPattern::Kind::usb: {
      const auto comma = arguments.find(',');
      if (comma == std::string_view::npos || !parse_number(arguments.substr(0, comma), 1, kMostBytes, bytes) ||
          !parse_number(arguments.substr(comma + 1), 1, kMostMilliseconds, wait_ms)) {
        return std::nullopt;
      }
      break;
    }
    case DeliveryPattern::Kind::tick:
      if (!parse_number(arguments, 1, kMostMilliseconds, wait_ms)) return std::nullopt;
      break;
  }
  return DeliveryPattern{kind, bytes, milliseconds(wait_ms)};
}

}  // namespace

std::optional<DeliveryPattern> parse_delivery(std::string_view text, std::string& error) {
  static constexpr std::pair<std::string_view, DeliveryPattern::Kind> kKinds[] = {
      {"byte", DeliveryPattern::Kind::byte}, {"fifo", DeliveryPattern::Kind::fifo},
      {"usb", DeliveryPattern::Kind::usb},   {"tick", DeliveryPattern::Kind::tick},
      {"burst", DeliveryPattern::Kind::burst}};
  const auto colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  const std::string_view arguments = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
  for (const auto& [known, kind] : kKinds) {
    if (name != known) continue;
    if (colon != std::string_view::npos && arguments.empty()) break;
    if (auto pattern = parse_arguments(kind, arguments)) return pattern;
    break;
  }
  error = "'" + std::string(text) + "' is no delivery: byte, fifo:N, usb:N,MS, tick:MS or burst";
  return std::nullopt;
}

std::string delivery_name(const DeliveryPattern& pattern) {
  const auto ms = std::to_string(std::chrono::duration_cast<milliseconds>(pattern.wait).count());
  switch (pattern.kind) {
    case DeliveryPattern::Kind::byte:
      return "byte";
    case DeliveryPattern::Kind::fifo:
      return "fifo:" + std::to_string(pattern.bytes);
    case DeliveryPattern::Kind::usb:
      return "usb:" + std::to_string(pattern.bytes) + "," + ms;
    case DeliveryPattern::Kind::tick:
      return "tick:" + ms;
    case DeliveryPattern::Kind::burst:
      return "burst";
  }
  return "byte";
}

// --- Delivery ---

std::optional<nanoseconds> Delivery::held_until() const {
  if (held_ == 0) return std::nullopt;
  switch (pattern_.kind) {
    case DeliveryPattern::Kind::byte:
      return last_held_at_;
    case DeliveryPattern::Kind::fifo:
      return last_held_at_ + kFifoQuietBytes * last_byte_time_;
    case DeliveryPattern::Kind::usb:
      return first_held_at_ + pattern_.wait;
    case DeliveryPattern::Kind::tick: {
      // The end of the period the first held byte came in (a byte at its very end goes with it).
      const nanoseconds period = pattern_.wait;
      const auto periods = (first_held_at_.count() + period.count() - 1) / period.count();
      return nanoseconds(periods * period.count());
    }
    case DeliveryPattern::Kind::burst:
      return std::max(first_held_at_, first_held_started_ + kBurstLength);
  }
  return last_held_at_;
}

void Delivery::release(nanoseconds at) {
  releases_.push_back(Release{at, arrived_});
  held_ = 0;
}

void Delivery::arrive(nanoseconds at, nanoseconds byte_time, bool ends_write) {
  // What the port would have handed over before this byte came, it has.
  if (const auto until = held_until(); until && *until < at) release(*until);
  if (held_ == 0) first_held_at_ = at, first_held_started_ = at - byte_time;
  ++held_;
  ++arrived_;
  last_held_at_ = at;
  last_byte_time_ = byte_time;
  switch (pattern_.kind) {
    case DeliveryPattern::Kind::byte:
      return release(at);
    case DeliveryPattern::Kind::fifo:
    case DeliveryPattern::Kind::usb:
      if (held_ >= pattern_.bytes) release(at);
      return;
    case DeliveryPattern::Kind::tick:
      return;
    case DeliveryPattern::Kind::burst:
      if (ends_write) release(at);
      return;
  }
}

std::uint64_t Delivery::handed_over_by(nanoseconds now) {
  if (const auto until = held_until(); until && *until <= now) release(*until);
  while (!releases_.empty() && releases_.front().at <= now) {
    handed_ = releases_.front().through;
    last_hand_over_ = releases_.front().at;
    releases_.pop_front();
  }
  return handed_;
}

std::optional<nanoseconds> Delivery::next_hand_over() const {
  if (!releases_.empty()) return releases_.front().at;
  return held_until();
}

}  // namespace quorvantix::linesim
