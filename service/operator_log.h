// The operator's log: one line per event on standard error, beside the
// console lines on standard output (which stay as they are). It tells who
// came (a customer's system, and its peer address on TCP), every command with
// its name, bytes, duration and status, every refusal, the line lost and
// back, a customer taken for gone, hints at why no customer identifies
// (LineHints), and the stop.
//
// A line is marked either with its time of day, in UTC to the millisecond,
// "2026-06-07T12:34:56.789Z quorvantix: get 'a.txt': 20 of 20 bytes in 0.04 s, status 0",
// or, where standard error is the journal's stream, only with its priority
// as syslog numbers it, "<6>get 'a.txt': ...": the journal stamps every line
// itself and names the program. Names in the lines are shown escaped
// (host::shown_name) by the callers.
//
// The log is a value the service is given: copies write to the same place.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/clock.h"
#include "lines/uart_reading.h"
#include "wire/display.h"
#include "wire/status.h"

namespace quorvantix::service {

class OperatorLog {
 public:
  enum class Marks { time_of_day, journal_priority };
  enum class Priority { error = 3, warning = 4, notice = 5, info = 6 };
  // Takes one whole line, its newline included.
  using Sink = std::function<void(const std::string& line)>;

  // A log that writes nothing.
  OperatorLog() = default;
  // Lines to `sink`, their times and durations on `clock` (the clock the
  // link runs on; it must outlive every copy of the log).
  OperatorLog(const host::Clock& clock, Marks marks, Sink sink);
  // Standard error, marked for the journal when it is the journal's stream.
  // A write that fails (a reader that has gone) is dropped.
  static OperatorLog to_stderr(const host::Clock& clock);

  // One line: `text` with its mark.
  void write(Priority priority, const std::string& text) const;
  // The time now on the log's clock, for the `began` of the events below.
  std::chrono::nanoseconds now() const;

  // "customer AmigaOS 3.1 / 68020 identified[, from 192.0.2.7:51234]"; `peer` empty: no address.
  void identified(const wire::ID& customer, const std::string& peer) const;
  // "COMMAND: in 0.02 s, status N", begun at `began`. `what` is the command
  // with its argument ("ls /docs"); N the console number of `result`.
  void command(const std::string& what, std::chrono::nanoseconds began, const wire::Result<>& result) const;
  // "COMMAND: in 0.00 s, RESULT", for a command that has a result but no status.
  void command(const std::string& what, std::chrono::nanoseconds began, const std::string& result) const;
  // "get 'NAME': DONE of SIZE bytes in 0.43 s, status N": `what` the command
  // and its file, `done` the bytes of the file that crossed whole and `size`
  // the file's (-1: the transfer never came to a header). A store refused at
  // its header (write-protected, full, no such name) says "refused".
  void transfer(const std::string& what, std::int64_t done, std::int64_t size, std::chrono::nanoseconds began,
                const wire::Result<>& result) const;

 private:
  const host::Clock* clock_ = nullptr;
  Marks marks_ = Marks::time_of_day;
  Sink sink_;
};

// Hints for the operator from input that forms no frame while the service
// waits for a customer's identification at 9600 baud (Link::on_formless_input):
// a customer that sends its identification at another speed, which it names,
// or the service's own bytes coming back (a looped line, or a terminal with
// echo on). At most one a minute, on the log's clock.
class LineHints {
 public:
  explicit LineHints(OperatorLog log);
  void heard(std::span<const std::uint8_t> formless);

 private:
  std::string hint() const;

  OperatorLog log_;
  std::vector<std::uint8_t> own_answer_;  // ACK and the service's identification frame
  std::vector<lines::SpeedReading> readings_;  // of its frame, from every other speed at 9600
  std::vector<std::uint8_t> recent_;  // the last bytes heard within a minute, oldest first
  std::chrono::nanoseconds heard_at_{};
  std::optional<std::chrono::nanoseconds> hinted_at_;
};

// What the log learns of a file transfer through its display hooks: the name
// its header gave (wire form), the file's size, and the bytes that crossed.
class TransferWatch final : public wire::Gadget {
 public:
  void set_file(const char* wire_name, std::int64_t size) override;
  void set_text(const char* text, const wire::TransferProgress& progress) override;

  std::string name;
  std::int64_t size = -1;  // no header yet
  std::int64_t done = 0;
};

// "2026-06-07T12:34:56.789Z": `since_epoch` in UTC, to the millisecond.
std::string time_stamp(std::chrono::nanoseconds since_epoch);

}  // namespace quorvantix::service
