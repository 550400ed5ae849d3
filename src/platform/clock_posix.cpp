#include "platform/clock.h"
#include "platform/fd_wait.h"

namespace platform {

std::chrono::nanoseconds SteadyClock::now() const { return system_now(); }

void SteadyClock::sleep_for(std::chrono::nanoseconds length) { sleep_on_system_clock(length); }

}  // namespace platform
