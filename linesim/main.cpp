// quorvantix-linesim: a null-modem cable in software. See usage_text().
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/options.h"
#include "host/unique_fd.h"
#include "linesim/cable.h"
#include "linesim/options.h"

namespace quorvantix::linesim {
namespace {

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;

// The signals that end the simulator arrive as a readable descriptor, so the
// poll loop notices them between two moves and the links are removed on the way out.
host::UniqueFd stop_signals(std::string& error) {
  sigset_t stopping;
  sigemptyset(&stopping);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopping, signal_number);
  if (sigprocmask(SIG_BLOCK, &stopping, nullptr) != 0) {
    error = std::string("sigprocmask: ") + std::strerror(errno);
    return {};
  }
  host::UniqueFd fd(signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd) error = std::string("signalfd: ") + std::strerror(errno);
  return fd;
}

std::string pace_description(const Options& options) {
  std::string text = "following each end's speed";
  if (options.pacing == linesim::Pacing::fixed) text = std::to_string(options.baud) + " baud";
  if (options.pacing == linesim::Pacing::unthrottled) text = "unthrottled";
  if (options.latency.count() > 0) text += ", latency " + std::to_string(options.latency.count()) + " ms";
  if (options.delivery != linesim::kPortDelivery) text += ", delivery " + linesim::delivery_name(options.delivery);
  return text;
}

}  // namespace
}  // namespace quorvantix::linesim

using namespace quorvantix;
using namespace quorvantix::linesim;

int main(int argc, char** argv) {
  std::string error;
  const auto options = linesim::parse_options(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) return host::refuse_command_line({"quorvantix-linesim", " (see --help)\n"}, error);
  if (options->help) return host::answer_help(linesim::usage_text());
  // Bytes are due at exact times; the kernel's default slack of 50 us on each
  // timed wake would show as latency on every frame and every answer.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  const host::UniqueFd stop = stop_signals(error);
  auto cable = stop ? linesim::Cable::open(*options, error) : nullptr;
  if (!cable) {
    std::fprintf(stderr, "quorvantix-linesim: %s\n", error.c_str());
    return kExitFailed;
  }
  if (!options->quiet) {
    std::printf("linesim: %s -> %s, %s -> %s, %s\n", cable->end_a().link_path().c_str(),
                cable->end_a().slave_name().c_str(), cable->end_b().link_path().c_str(),
                cable->end_b().slave_name().c_str(), pace_description(*options).c_str());
    std::fflush(stdout);
  }
  const bool stopped = cable->run(stop.get(), error);
  const std::string summary = linesim::summary_line(cable->counts());
  if (options->turnaround_bytes > 0) {
    std::printf("%s\n%s\n", linesim::turnaround_line("A", cable->turnarounds(true)).c_str(),
                linesim::turnaround_line("B", cable->turnarounds(false)).c_str());
  }
  cable.reset();
  if (!stopped) std::fprintf(stderr, "quorvantix-linesim: %s\n", error.c_str());
  std::printf("%s\n", summary.c_str());
  return stopped ? kExitStopped : kExitFailed;
}
