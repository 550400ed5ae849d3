// What the operations of the session share: this end's files, the names
// of the line's character set, and the command frame. Inside the session's
// room only.
#pragma once

#include <string>

#include "host/charset.h"
#include "session/session.h"
#include "wire/status.h"

namespace quorvantix::session {

// The session's code for the result of a wire operation (the numbers the
// console has always shown), until the session fails in a way of its own.
long status_code(const wire::Result<>& result);
// The converter for session.charset; null, with the cause in detail, when
// there is none.
const host::NameCodec* wire_names(Session& session);
// The wire form of `name`, a name given here for a command frame (`what` says
// what it names). 0, NAME_UNUSABLE when it has no wire form, NAME_TOO_LONG or
// CHARSET_UNKNOWN, with the sentence in detail.
long command_argument(Session& session, const std::string& name, const std::string& what, std::string& wire);
// Why the wire name of a file to store cannot be used, for `result` of check_wire_name.
std::string unusable_wire_name(const Session& session, const std::string& name, const std::string& wire,
                               long result);
// Sends one command frame. A NAK means the service could not read the frame (a
// stray byte from an earlier exchange ran ahead of it); it did not run the
// command, so the frame is sent once more once the line has settled. No answer
// at all means the service is gone.
long send_command(Session& session, wire::UBYTE code, const std::string& argument = "");

}  // namespace quorvantix::session
