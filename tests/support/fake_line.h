// A scripted line for what a pty cannot provoke: exact time-out counting, a
// device that takes a frame in pieces, a line that fails, settings refused.
//
// Its clock moves only when the code under test waits, so a 2.1 s time limit
// runs out instantly and always after exactly the same number of waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/serial_line.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

class FakeLine final : public platform::Line {
 public:
  // --- Script ---
  // `bytes` can be read from fake time `at` on.
  void arrive(const Bytes& bytes, std::chrono::nanoseconds at = std::chrono::nanoseconds::zero());
  // Each write takes at most this many bytes.
  void take_at_most(std::size_t bytes_per_write) { bytes_per_write_ = bytes_per_write; }
  // Writes move nothing: the output is stuck.
  void block_output() { output_blocked_ = true; }
  // Reads and writes report a failed line (-1), as after a hang-up.
  void fail() { failed_ = true; }
  // apply_settings refuses whatever it is given.
  void refuse_settings() { refuse_settings_ = true; }

  // --- What happened ---
  const Bytes& written() const { return written_; }
  int waits() const { return waits_; }
  std::chrono::nanoseconds clock() const { return clock_; }
  // The settings of every apply_settings call, accepted or not.
  struct Settings {
    long baud;
    std::uint8_t read_len, write_len, stop_bits, ser_flags;
    std::uint32_t rbuf_len, ext_flags;
  };
  const std::vector<Settings>& settings_applied() const { return settings_; }

  // --- platform::Line ---
  long read_some(std::uint8_t* into, std::size_t count) override;
  long write_some(const std::uint8_t* from, std::size_t count) override;
  void wait_ready(platform::Direction direction, std::chrono::nanoseconds limit) override;
  bool apply_settings(const IOExtSer& settings, std::string& error) override;
  std::chrono::nanoseconds now() const override { return clock_; }

 private:
  struct Arrival {
    std::chrono::nanoseconds at;
    std::uint8_t byte;
  };
  bool byte_ready() const { return !incoming_.empty() && incoming_.front().at <= clock_; }

  std::deque<Arrival> incoming_;
  std::size_t bytes_per_write_ = SIZE_MAX;
  bool output_blocked_ = false;
  bool failed_ = false;
  bool refuse_settings_ = false;
  Bytes written_;
  int waits_ = 0;
  std::chrono::nanoseconds clock_{0};
  std::vector<Settings> settings_;
};

}  // namespace testsupport
