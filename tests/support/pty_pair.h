// A pseudo-terminal pair for tests: the program under test opens the slave
// path as its line; the test plays the far end on the master.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

class PtyPair {
 public:
  PtyPair();
  int master() const { return master_.get(); }
  // The test's own descriptor of the line, to read back the settings a program applied.
  int slave() const { return slave_.get(); }
  const std::string& slave_path() const { return slave_path_; }

  // Writes all bytes to the far end.
  void send(const Bytes& bytes) const;
  // Reads exactly `count` bytes, or what arrived when `limit` ran out.
  Bytes receive(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
  // True when no byte arrives within `limit`.
  bool quiet_for(std::chrono::milliseconds limit) const;
  // Closes both of the test's ends: the program's line hangs up, as when a cable is pulled.
  void hang_up();

 private:
  platform::UniqueFd master_;
  platform::UniqueFd slave_;  // held so the master never sees a hang-up between programs
  std::string slave_path_;
};

// A whole link frame for `payload`.
Bytes frame(const Bytes& payload);
// A command frame: code, argument, zero bytes up to 60.
Bytes command_frame(std::uint8_t code, const std::string& argument = "");
Bytes bytes_of(const std::string& text);
std::string hex(const Bytes& bytes);

}  // namespace testsupport
