// What the operations of the session share inside its room: the failure of
// a wire operation that reports a code.
#pragma once

#include "session/session.h"

namespace quorvantix::session {

// The failure for the code a wire operation returned (not 0). `listing` reads
// the codes a listing shares with others as the listing's.
host::Failure<Error> wire_failure(long code, bool listing = false);

}  // namespace quorvantix::session
