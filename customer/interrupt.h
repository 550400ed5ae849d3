// Ctrl-C, SIGTERM and SIGHUP during a session. They are caught so that the
// program can stop a transfer between two frames and still sign off, which puts
// the service back at 9600 baud for the next customer. A second Ctrl-C while
// the first is still being dealt with ends the program at once.
#pragma once

class Link;

namespace customer_side {

// While it lives, a caught signal also cancels `link`: the transfer in flight
// ends at its next poll.
class InterruptCatcher {
 public:
  explicit InterruptCatcher(Link& link);
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;
  ~InterruptCatcher();  // the previous handlers come back

  // The signal caught since the last clear(), or 0.
  static int caught();
  // Forgets the signal, and takes back the link's cancel.
  static void clear();
};

}  // namespace customer_side
