// The progress of a get or put on a terminal: one line on standard error,
// redrawn in place, with percent, bytes, rate and time left, and a last line
// with the throughput.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

#include "transfer_ext.h"

namespace customer_side {

// "512 B", "12.5 KiB", "16.0 MiB", "2.00 GiB".
std::string format_bytes(std::int64_t bytes);
// "0:07", "12:34", "1:02:03".
std::string format_duration(std::chrono::seconds length);
// "get big.bin  45%  7.2 MiB of 16.0 MiB  1.3 MiB/s  0:05 left"; the rate and
// the time left appear once some time has passed.
std::string progress_line(const std::string& label, std::int64_t done, std::int64_t total,
                          std::chrono::duration<double> elapsed);
// "get big.bin: 16.0 MiB in 3.2 s, 5.0 MiB/s (5242880 Bytes/s)".
std::string summary_line(const std::string& label, std::int64_t total, std::chrono::duration<double> elapsed);

// A Gadget that draws the progress line. Lines are drawn only when `live` (a
// terminal, and not -q); otherwise it keeps quiet.
class TerminalProgress final : public Gadget {
 public:
  TerminalProgress(std::ostream& err, std::string label, bool live);
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;
  ~TerminalProgress() override;

  void set_text(const char* text, const TransferProgress& progress) override;
  // Ends a line left half drawn by a transfer that failed, before its message.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  void draw(const std::string& text);

  std::ostream& err_;
  std::string label_;
  bool live_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_draw_{};
  bool line_open_ = false;
};

}  // namespace customer_side
