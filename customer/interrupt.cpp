#include "interrupt.h"

#include <signal.h>

#include <csignal>

namespace customer_side {
namespace {

volatile std::sig_atomic_t g_caught = 0;
constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];

void note_signal(int number) {
  if (g_caught == SIGINT && number == SIGINT) {
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
    return;
  }
  g_caught = number;
}

}  // namespace

InterruptCatcher::InterruptCatcher() {
  g_caught = 0;
  struct sigaction action {};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait on the line or the terminal ends early and looks again.
  action.sa_flags = 0;
  for (int i = 0; i < 3; ++i) sigaction(kCaughtSignals[i], &action, &g_previous[i]);
}

InterruptCatcher::~InterruptCatcher() {
  for (int i = 0; i < 3; ++i) sigaction(kCaughtSignals[i], &g_previous[i], nullptr);
}

int InterruptCatcher::caught() { return g_caught; }

void InterruptCatcher::clear() { g_caught = 0; }

}  // namespace customer_side
