#include "host/clock.h"
#include "host/fd_wait.h"

namespace quorvantix::host {

std::chrono::nanoseconds SteadyClock::now() const { return system_now(); }

std::chrono::nanoseconds SteadyClock::time_of_day() const {
  return std::chrono::system_clock::now().time_since_epoch();
}

void SteadyClock::sleep_for(std::chrono::nanoseconds length) { sleep_on_system_clock(length); }

}  // namespace quorvantix::host
