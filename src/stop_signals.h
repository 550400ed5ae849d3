// SIGTERM (what `systemctl stop` sends), SIGINT and SIGHUP while the service
// runs. A caught one cancels the service's link: the transfer in flight ends
// at its next poll with its failure status (a file being received leaves
// nothing behind), the command loop, the wait for an identification and the
// wait for a lost line see the cancel and return, and the service closes its
// line (its settings and the adapter's latency go back) and ends with 0. A
// second signal while it stops ends it at once.
#pragma once

class Link;

class StopSignals {
 public:
  explicit StopSignals(Link& link);
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();  // the previous handlers come back

  // The signal caught, or 0.
  static int caught();
};

// "SIGTERM", "SIGINT", "SIGHUP", or "a signal" for any other number.
const char* stop_signal_name(int number);
