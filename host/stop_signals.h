// SIGTERM (what `systemctl stop` sends), SIGINT (Ctrl-C) and SIGHUP while a
// program of the project runs. A caught one is noted and handed on at once to
// a function the program gives, which cancels its link: the transfer in
// flight ends at its next poll, and the program's loops see the cancel and
// wind down, so that every owner gives back what it took (a file being
// received leaves nothing, the line gets its settings back). A second signal
// before the first is cleared ends the program at once.
#pragma once

#include <signal.h>

namespace quorvantix::host {

class StopSignals {
 public:
  // `on_signal(context)` runs inside the signal handler: it may only do what
  // is safe there (Link::cancel is).
  StopSignals(void (*on_signal)(void* context), void* context);
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();  // the previous handlers come back

  // The signal caught since the last clear(), or 0.
  static int caught();
  static void clear();
  // "SIGTERM", "SIGINT", "SIGHUP", or "a signal" for any other number.
  static const char* name(int number);
};

// SIGPIPE ignored while it lives: a write to a pipe or socket whose reader
// has gone fails (EPIPE) instead of ending the program. A service whose
// console goes into `| head -1`, or whose standard error is closed, keeps
// serving, and still gives back its line and its lock file when it ends.
class BrokenPipesIgnored {
 public:
  BrokenPipesIgnored();
  BrokenPipesIgnored(const BrokenPipesIgnored&) = delete;
  BrokenPipesIgnored& operator=(const BrokenPipesIgnored&) = delete;
  ~BrokenPipesIgnored();  // the previous disposition comes back

 private:
  struct sigaction previous_ {};
};

}  // namespace quorvantix::host
