// Ctrl-C, SIGTERM and SIGHUP during a session. They are caught so that the
// program can stop a transfer between two frames and still sign off, which puts
// the service back at 9600 baud for the next customer. A second Ctrl-C while
// the first is still being dealt with ends the program at once.
#pragma once

namespace customer_side {

class InterruptCatcher {
 public:
  InterruptCatcher();
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;
  ~InterruptCatcher();  // the previous handlers come back

  // The signal caught since the last clear(), or 0.
  static int caught();
  static void clear();
};

}  // namespace customer_side
