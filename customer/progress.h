// The progress of a get or put on a terminal: one line on standard error,
// redrawn in place, with percent, bytes, rate and time left, and a last line
// with the throughput. No line is wider than the terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "wire/display.h"
#include "wire/status.h"

namespace quorvantix::customer {

// "512 B", "12.5 KiB", "16.0 MiB", "2.00 GiB".
std::string format_bytes(std::int64_t bytes);
// "0:07", "12:34", "1:02:03".
std::string format_duration(std::chrono::seconds length);
// "1.3 MiB/s".
std::string format_rate(std::int64_t bytes, std::chrono::duration<double> elapsed);
// "get big.bin  45%  7.2 MiB of 16.0 MiB  1.3 MiB/s  0:05 left"; the rate and
// the time left appear once some time has passed. Within `columns` columns
// less one (0: no limit): the time left goes first, then the rate, then the
// label is cut.
std::string progress_line(const std::string& label, std::int64_t done, std::int64_t total,
                          std::chrono::duration<double> elapsed, std::size_t columns = 0);
// "get big.bin: 16.0 MiB in 3.20 s, 5.0 MiB/s", within `columns` as above.
std::string summary_line(const std::string& label, std::int64_t total, std::chrono::duration<double> elapsed,
                         std::size_t columns = 0);

// The columns of the terminal on `fd`, read anew at every call (so a resized
// window counts at once); 0 when `fd` is no terminal.
std::size_t terminal_columns(int fd);

// A Gadget that draws the progress line. Lines are drawn only when `live` (a
// terminal, and not -q); otherwise it keeps quiet.
class TerminalProgress final : public wire::Gadget {
 public:
  using Now = std::function<std::chrono::nanoseconds()>;
  using Columns = std::function<std::size_t()>;
  // `now` is the clock of the transfer (the steady clock when not given);
  // `columns` the width to keep within (standard error's terminal when not given).
  TerminalProgress(std::ostream& err, std::string label, bool live, Now now = {}, Columns columns = {});
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;
  ~TerminalProgress() override;

  void set_text(const char* text, const wire::TransferProgress& progress) override;
  // Ends a line left half drawn by a transfer that failed, before its message.
  void finish();

 private:
  void draw(const std::string& text);

  std::ostream& err_;
  std::string label_;
  bool live_;
  Now now_;
  Columns columns_;
  std::chrono::nanoseconds start_;
  std::chrono::nanoseconds last_draw_{};
  bool line_open_ = false;
};

}  // namespace quorvantix::customer
