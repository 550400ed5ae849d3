// What the operations of the session share inside its room: the failure of
// a wire operation as one of the session's.
#pragma once

#include "session/session.h"

namespace quorvantix::session {

// The session's failure for the wire's: its status, without the wire's
// reason (the callers word a failure of the wire by its status).
host::Failure<Error> wire_failure(const wire::Error& error);

}  // namespace quorvantix::session
