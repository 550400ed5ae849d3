#include "interrupt.h"

#include <signal.h>

#include <csignal>

#include "io_atome.h"

namespace customer_side {
namespace {

volatile std::sig_atomic_t g_caught = 0;
constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];
// The link to cancel; a signal handler reaches it only through a global.
Link* g_link = nullptr;

void note_signal(int number) {
  if (g_caught == SIGINT && number == SIGINT) {
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
    return;
  }
  g_caught = number;
  if (g_link != nullptr) g_link->cancel();
}

}  // namespace

InterruptCatcher::InterruptCatcher(Link& link) {
  g_caught = 0;
  g_link = &link;
  struct sigaction action {};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait on the line or the terminal ends early and looks again.
  action.sa_flags = 0;
  for (int i = 0; i < 3; ++i) sigaction(kCaughtSignals[i], &action, &g_previous[i]);
}

InterruptCatcher::~InterruptCatcher() {
  for (int i = 0; i < 3; ++i) sigaction(kCaughtSignals[i], &g_previous[i], nullptr);
  g_link = nullptr;
}

int InterruptCatcher::caught() { return g_caught; }

void InterruptCatcher::clear() {
  g_caught = 0;
  if (g_link != nullptr) g_link->clear_cancel();
}

}  // namespace customer_side
