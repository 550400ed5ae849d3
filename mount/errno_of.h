// The errno, negative as the file system's callbacks return it, that a
// failure of the session gives the mount's callers.
#pragma once

#include "session/session.h"

namespace quorvantix::mount {

// -EIO for a failure of the line or the exchange, which the caller looks
// into further (a lost line, an interrupted call); the errno of its own for
// every other failure.
int errno_of(const session::Error& error);

}  // namespace quorvantix::mount
