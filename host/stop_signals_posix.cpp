#include <signal.h>

#include <csignal>
#include <iterator>

#include "host/stop_signals.h"

namespace quorvantix::host {
namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kStopSignalCount = static_cast<int>(std::size(kStopSignals));

volatile std::sig_atomic_t g_caught = 0;
struct sigaction g_previous[kStopSignalCount];
// A signal handler reaches the program only through globals.
void (*g_on_signal)(void*) = nullptr;
void* g_context = nullptr;

void note(int number) {
  if (g_caught != 0) {
    signal(number, SIG_DFL);
    raise(number);
    return;
  }
  g_caught = number;
  if (g_on_signal != nullptr) g_on_signal(g_context);
}

}  // namespace

StopSignals::StopSignals(void (*on_signal)(void*), void* context) {
  g_caught = 0;
  g_on_signal = on_signal;
  g_context = context;
  struct sigaction action {};
  action.sa_handler = note;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait on the line or the terminal ends early and looks again.
  action.sa_flags = 0;
  for (int i = 0; i < kStopSignalCount; ++i) sigaction(kStopSignals[i], &action, &g_previous[i]);
}

StopSignals::~StopSignals() {
  for (int i = 0; i < kStopSignalCount; ++i) sigaction(kStopSignals[i], &g_previous[i], nullptr);
  g_on_signal = nullptr;
  g_context = nullptr;
}

int StopSignals::caught() { return g_caught; }

void StopSignals::clear() { g_caught = 0; }

const char* StopSignals::name(int number) {
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

BrokenPipesIgnored::BrokenPipesIgnored() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &previous_);
}

BrokenPipesIgnored::~BrokenPipesIgnored() { sigaction(SIGPIPE, &previous_, nullptr); }

}  // namespace quorvantix::host
