#include <errno.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "lines/low_latency.h"

namespace quorvantix::lines {
namespace {

// A refusal is no failure: the line works, only with the adapter's own delay,
// which the user should know of once, not at every reopening of the line.
void report_refusal(const std::string& path, int error) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  std::fprintf(stderr,
               "%s: %s refused low latency (%s): each frame and each answer may wait for the adapter's own "
               "latency timer\n",
               program_invocation_short_name, path.c_str(), error != 0 ? std::strerror(error) : "the flag did not stay");
}

}  // namespace

LowLatency::LowLatency(int fd, const std::string& path) : fd_(fd) {
  serial_struct settings{};
  if (ioctl(fd_, TIOCGSERIAL, &settings) != 0) return;
  if (settings.flags & ASYNC_LOW_LATENCY) {
    active_ = true;
    return;
  }
  settings.flags |= ASYNC_LOW_LATENCY;
  const int error = ioctl(fd_, TIOCSSERIAL, &settings) == 0 ? 0 : errno;
  serial_struct applied{};
  changed_ = active_ = error == 0 && ioctl(fd_, TIOCGSERIAL, &applied) == 0 && (applied.flags & ASYNC_LOW_LATENCY);
  if (!active_) report_refusal(path, error);
}

LowLatency::~LowLatency() {
  if (!changed_) return;
  serial_struct settings{};
  if (ioctl(fd_, TIOCGSERIAL, &settings) != 0) return;  // the adapter is gone
  settings.flags &= ~ASYNC_LOW_LATENCY;
  ioctl(fd_, TIOCSSERIAL, &settings);
}

}  // namespace quorvantix::lines
