// SIGTERM (what `systemctl stop` sends), SIGINT (Ctrl-C) and SIGHUP while a
// program of the project runs. A caught one is noted and handed on at once to
// a function the program gives, which cancels its link: the transfer in
// flight ends at its next poll, and the program's loops see the cancel and
// wind down, so that every owner gives back what it took (a file being
// received leaves nothing, the line gets its settings back). A second signal
// before the first is cleared ends the program at once.
#pragma once

namespace platform {

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

}  // namespace platform
