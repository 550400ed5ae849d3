// A null-modem cable between two programs that each open a terminal device:
// two pty pairs whose masters a relay thread joins, byte for byte, both ways.
// One program opens a_path(), the other b_path().
#pragma once

#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "support/pty_pair.h"

namespace testsupport {

class NullModem {
 public:
  NullModem();
  ~NullModem();  // stops the relay and joins it
  NullModem(const NullModem&) = delete;
  NullModem& operator=(const NullModem&) = delete;

  const std::string& a_path() const { return a_.slave_path(); }
  const std::string& b_path() const { return b_.slave_path(); }
  // The line speed that the program on a_path() has set, in baud.
  long a_baud() const;

 private:
  void relay();

  PtyPair a_;
  PtyPair b_;
  platform::UniqueFd stop_read_;
  platform::UniqueFd stop_write_;
  std::thread relay_;
};

}  // namespace testsupport
