// Waiting on one descriptor with a time limit, for the host's lines.
#pragma once

#include <poll.h>

#include <chrono>

namespace quorvantix::host {

// Waits at most `limit` for the events each of `fds` asks for; their revents
// tell what came. The number of descriptors with events (0 when the limit
// ran out, -1 when a signal ended the wait).
int wait_for_fds(pollfd* fds, nfds_t count, std::chrono::nanoseconds limit);

// Waits at most `limit` for `events` (POLLIN, POLLOUT) on `fd`. Returns the
// events that came (0 when the limit ran out or a signal ended the wait).
short wait_for_fd(int fd, short events, std::chrono::nanoseconds limit);

// The system's monotonic clock, for the lines' own waits.
std::chrono::nanoseconds system_now();

// Sleeps `length` on the system clock; nothing for a length of 0 or less.
void sleep_on_system_clock(std::chrono::nanoseconds length);

}  // namespace quorvantix::host
