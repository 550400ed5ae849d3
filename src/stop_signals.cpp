#include "stop_signals.h"

#include <signal.h>

#include <csignal>

#include "io_atome.h"

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kStopSignalCount = 3;

volatile std::sig_atomic_t g_caught = 0;
struct sigaction g_previous[kStopSignalCount];
// The link to cancel; a signal handler reaches it only through a global.
Link* g_link = nullptr;

void stop(int number) {
  if (g_caught != 0) {
    signal(number, SIG_DFL);
    raise(number);
    return;
  }
  g_caught = number;
  if (g_link != nullptr) g_link->cancel();
}

}  // namespace

StopSignals::StopSignals(Link& link) {
  g_caught = 0;
  g_link = &link;
  struct sigaction action {};
  action.sa_handler = stop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait on the line ends early and sees the cancel.
  action.sa_flags = 0;
  for (int i = 0; i < kStopSignalCount; ++i) sigaction(kStopSignals[i], &action, &g_previous[i]);
}

StopSignals::~StopSignals() {
  for (int i = 0; i < kStopSignalCount; ++i) sigaction(kStopSignals[i], &g_previous[i], nullptr);
  g_link = nullptr;
}

int StopSignals::caught() { return g_caught; }

const char* stop_signal_name(int number) {
  switch (number) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}
