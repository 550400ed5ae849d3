// Why a descriptor of the mount is being closed, as far as the kernel shows
// it: a program killed by a signal has its descriptors closed as it dies.
#pragma once

#include <sys/types.h>

namespace quorvantix::mount {

// Whether the thread `pid` is ending because a signal killed it (it is
// exiting, and its exit code is a signal's). False when it cannot be told.
bool killed_by_a_signal(pid_t pid);

}  // namespace quorvantix::mount
