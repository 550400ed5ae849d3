#include <thread>

#include "host/fd_wait.h"

namespace quorvantix::host {

int wait_for_fds(pollfd* fds, nfds_t count, std::chrono::nanoseconds limit) {
  if (limit < std::chrono::nanoseconds::zero()) limit = std::chrono::nanoseconds::zero();
  const timespec timeout{static_cast<time_t>(limit.count() / 1'000'000'000),
                         static_cast<long>(limit.count() % 1'000'000'000)};
  return ppoll(fds, count, &timeout, nullptr);
}

short wait_for_fd(int fd, short events, std::chrono::nanoseconds limit) {
  pollfd watched{fd, events, 0};
  return wait_for_fds(&watched, 1, limit) > 0 ? watched.revents : 0;
}

std::chrono::nanoseconds system_now() { return std::chrono::steady_clock::now().time_since_epoch(); }

void sleep_on_system_clock(std::chrono::nanoseconds length) {
  if (length > std::chrono::nanoseconds::zero()) std::this_thread::sleep_for(length);
}

}  // namespace quorvantix::host
