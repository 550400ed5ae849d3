#include <linux/serial.h>
#include <sys/ioctl.h>

#include "platform/low_latency.h"

namespace platform {

LowLatency::LowLatency(int fd) : fd_(fd) {
  serial_struct settings{};
  if (ioctl(fd_, TIOCGSERIAL, &settings) != 0) return;
  if (settings.flags & ASYNC_LOW_LATENCY) {
    active_ = true;
    return;
  }
  settings.flags |= ASYNC_LOW_LATENCY;
  // A refusal is no failure: the line works, only with the adapter's own delay.
  changed_ = active_ = ioctl(fd_, TIOCSSERIAL, &settings) == 0;
}

LowLatency::~LowLatency() {
  if (!changed_) return;
  serial_struct settings{};
  if (ioctl(fd_, TIOCGSERIAL, &settings) != 0) return;  // the adapter is gone
  settings.flags &= ~ASYNC_LOW_LATENCY;
  ioctl(fd_, TIOCSSERIAL, &settings);
}

}  // namespace platform
