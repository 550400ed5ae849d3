#include "service/operator_log.h"

#include <cstdio>
#include <utility>

#include "host/log_stream.h"
#include "wire/console_status.h"

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
