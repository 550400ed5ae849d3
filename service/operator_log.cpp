#include "service/operator_log.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "host/log_stream.h"
#include "lines/uart_reading.h"
#include "wire/console_status.h"
#include "wire/identification.h"

namespace quorvantix::service {

using namespace quorvantix::wire;

namespace {

std::string seconds_since(std::chrono::nanoseconds began, std::chrono::nanoseconds now) {
  char text[32];
  std::snprintf(text, sizeof text, "in %.2f s", std::chrono::duration<double>(now - began).count());
  return text;
}

// Refused at the header, before a byte of the file crossed.
bool store_refused(const Result<>& result) {
  if (result) return false;
  const Status status = result.error().status;
  return status == Status::write_protected || status == Status::no_room || status == Status::create_failed;
}

constexpr std::chrono::minutes kBetweenHints{1};
// Enough for a few tries of an identification at any speed.
constexpr std::size_t kRecentBytes = 32;
// A single byte or two fit some speed's reading by chance.
constexpr std::size_t kFewestBytesForASpeed = 3;
// The share of the bytes heard that a speed's reading must explain.
constexpr double kLeastShare = 0.8;

// The service's answer to an identification: ACK and its own frame, which a
// customer sends alike (without the ACK) from a host of the same kind.
std::vector<std::uint8_t> own_answer() {
  UBYTE codes[kIdentificationBytes];
  build_own_frame(codes);
  return {ACK, STX, codes[0], codes[1], codes[2], calc_LPC(codes, kIdentificationBytes), ETX};
}

std::string speeds_named(const std::vector<long>& speeds) {
  std::string named;
  for (std::size_t i = 0; i < speeds.size(); ++i) {
    named += (i == 0 ? "" : i + 1 == speeds.size() ? " or " : ", ") + std::to_string(speeds[i]);
  }
  return named;
}

}  // namespace

OperatorLog::OperatorLog(const host::Clock& clock, Marks marks, Sink sink)
    : clock_(&clock), marks_(marks), sink_(std::move(sink)) {}

OperatorLog OperatorLog::to_stderr(const host::Clock& clock) {
  const Marks marks = host::stderr_is_journal() ? Marks::journal_priority : Marks::time_of_day;
  return OperatorLog(clock, marks, [](const std::string& line) { std::fputs(line.c_str(), stderr); });
}

void OperatorLog::write(Priority priority, const std::string& text) const {
  if (!sink_) return;
  if (marks_ == Marks::journal_priority) {
    sink_("<" + std::to_string(static_cast<int>(priority)) + ">" + text + "\n");
  } else {
    sink_(time_stamp(clock_->time_of_day()) + " quorvantix: " + text + "\n");
  }
}

std::chrono::nanoseconds OperatorLog::now() const { return clock_ != nullptr ? clock_->now() : std::chrono::nanoseconds{}; }

void OperatorLog::identified(const ID& customer, const std::string& peer) const {
  write(Priority::info, std::string("customer ") + customer.os + " " + customer.os_ver + " / " + customer.cpu +
                            " identified" + (peer.empty() ? "" : ", from " + peer));
}

void OperatorLog::command(const std::string& what, std::chrono::nanoseconds began, const Result<>& result) const {
  command(what, began, "status " + std::to_string(console_number(result)));
}

void OperatorLog::command(const std::string& what, std::chrono::nanoseconds began, const std::string& result) const {
  if (!sink_) return;
  write(Priority::info, what + ": " + seconds_since(began, now()) + ", " + result);
}

void OperatorLog::transfer(const std::string& what, std::int64_t done, std::int64_t size,
                           std::chrono::nanoseconds began, const Result<>& result) const {
  if (!sink_) return;
  const bool refused = store_refused(result);
  const std::string bytes =
      size < 0 ? "" : std::to_string(done) + " of " + std::to_string(size) + " bytes ";
  write(refused ? Priority::notice : Priority::info, what + ": " + (refused ? "refused, " : "") + bytes +
                                                         seconds_since(began, now()) + ", status " +
                                                         std::to_string(console_number(result)));
}

LineHints::LineHints(OperatorLog log)
    : log_(std::move(log)),
      own_answer_(own_answer()),
      readings_(lines::readings_from_every_speed(std::span(own_answer_).subspan(1), kStartBaud)) {}

void LineHints::heard(std::span<const std::uint8_t> formless) {
  const auto now = log_.now();
  if (now - heard_at_ >= kBetweenHints) recent_.clear();
  heard_at_ = now;
  recent_.insert(recent_.end(), formless.begin(), formless.end());
  if (recent_.size() > kRecentBytes) recent_.erase(recent_.begin(), recent_.end() - kRecentBytes);
  if (hinted_at_ && now - *hinted_at_ < kBetweenHints) return;
  const std::string text = hint();
  if (text.empty()) return;
  log_.write(OperatorLog::Priority::notice, text);
  hinted_at_ = now;
  recent_.clear();
}

std::string LineHints::hint() const {
  const std::vector<std::uint8_t>& answer = own_answer_;
  // Its ACK and the start of its frame: a customer never sends an ACK before its identification.
  if (std::search(recent_.begin(), recent_.end(), answer.begin(), answer.begin() + 5) != recent_.end()) {
    return "the service hears its own bytes back: a looped line or a loopback plug, or a terminal program "
           "with echo on at the far end";
  }
  if (recent_.size() < kFewestBytesForASpeed) return {};
  const std::vector<long> speeds = lines::likeliest_sending_speeds(recent_, readings_, kLeastShare);
  if (speeds.empty()) return {};
  return "a customer seems to be sending its identification at " + speeds_named(speeds) +
         " baud; the service listens at 9600 until a customer has identified";
}

void TransferWatch::set_file(const char* wire_name, std::int64_t file_size) {
  name = wire_name;
  size = file_size;
}

void TransferWatch::set_text(const char*, const TransferProgress& progress) { done = progress.bytes_done; }

std::string time_stamp(std::chrono::nanoseconds since_epoch) {
  using namespace std::chrono;
  const sys_time<milliseconds> at{duration_cast<milliseconds>(since_epoch)};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss time{at - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

}  // namespace quorvantix::service
