#include "session/exchange.h"

#include <algorithm>
#include <cstring>

#include "wire/link.h"
#include "wire/wire.h"

namespace quorvantix::session {

using namespace quorvantix::wire;

namespace {

// How the messages name the line's character set.
std::string in_line_set(const Session& session) {
  return session.charset == host::kRawCharset ? "" : " in " + session.charset + ", the line's character set";
}

}  // namespace

const host::NameCodec* wire_names(Session& session) {
  if (session.names && session.names->charset() == session.charset) return &*session.names;
  session.names = host::NameCodec::open(session.charset, session.detail);
  return session.names ? &*session.names : nullptr;
}

long command_argument(Session& session, const std::string& name, const std::string& what, std::string& wire) {
  const host::NameCodec* names = wire_names(session);
  if (names == nullptr) return CHARSET_UNKNOWN;
  if (!names->to_wire(name, wire)) {
    session.detail = "'" + name + "' cannot be named on the line: it has characters that " + session.charset +
                     ", the line's character set, lacks (--charset chooses another)";
    return NAME_UNUSABLE;
  }
  if (wire.size() <= kCommandArgumentBytes) return 0;
  session.detail =
      what + " may have at most " + std::to_string(kCommandArgumentBytes) + " bytes" + in_line_set(session);
  return NAME_TOO_LONG;
}

std::string unusable_wire_name(const Session& session, const std::string& name, const std::string& wire,
                               long result) {
  if (result == NAME_TOO_LONG) {
    return "'" + name + "' is too long: the name and the size must fit the 60 bytes of the file header" +
           in_line_set(session);
  }
  if (wire.find(static_cast<char>(kSpaceSubstitute)) != std::string::npos && session.charset != host::kRawCharset) {
    return "'" + name + "' cannot be stored under that name: one of its characters is written with byte 0xAE in " +
           session.charset + ", and on the line that byte stands for a space in the name of a file stored";
  }
  return "'" + name + "' cannot be a name on the line (empty, '.', '..', or a tab, line break or byte 0xAE in it)";
}

long status_code(const Result<>& result) {
  if (result) return LINK_OK;
  switch (result.error().status) {
    case Status::port_params_failed: return PORT_PARAMS_FAILED;
    case Status::listing_end_not_acked: return DIR_END_NOT_ACKED;
    case Status::listing_end_damaged: return DIR_END_DAMAGED;
    case Status::frame_damaged: return LINK_CHECK_ERROR;
    case Status::frame_not_acked: return LINK_NOT_ACKED;
    case Status::port_open_failed: return PORT_OPEN_FAILED;
    case Status::header_damaged: return FILE_HEADER_DAMAGED;
    case Status::no_current_folder:
    case Status::no_such_folder: return FILE_NO_DIR_LOCK;
    case Status::no_memory: return FILE_NO_MEMORY;
    case Status::listing_no_memory: return DIR_NO_MEMORY;
    case Status::no_volume_info: return FILE_NO_INFO;
    case Status::write_protected: return FILE_WRITE_PROTECTED;
    case Status::no_room: return FILE_NO_ROOM;
    case Status::create_failed: return FILE_CREATE_FAILED;
    case Status::too_many_failures: return FILE_TOO_MANY_FAILURES;
    case Status::write_failed: return FILE_WRITE_FAILED;
    case Status::no_such_object: return FILE_NO_LOCK;
    case Status::not_a_plain_file: return FILE_NO_EXAMINE;
    case Status::listing_unreadable: return DIR_NO_SCAN;
    case Status::header_not_acked: return FILE_HEADER_NOT_ACKED;
    case Status::open_failed: return FILE_OPEN_FAILED;
    case Status::read_failed: return FILE_READ_FAILED;
    case Status::header_bad: return FILE_HEADER_BAD;
    case Status::send_timed_out: return LINK_SEND_TIMEOUT;
    case Status::timed_out: return LINK_TIMEOUT;
  }
  return LINK_TIMEOUT;  // not reached: every Status has its code above
}

long send_command(Session& session, UBYTE code, const std::string& argument) {
  if (session.lost) return LINK_LOST;
  char frame[kCommandFrameBytes] = {};
  frame[0] = static_cast<char>(code);
  std::memcpy(frame + 1, argument.data(), std::min(argument.size(), kCommandArgumentBytes));
  for (int attempt = 1;; ++attempt) {
    session.link.drop_pending_input();
    // The session's codes until it fails in a way of its own.
    const long result = status_code(send_data(session.link, frame, kCommandFrameBytes));
    if (result == LINK_OK) return LINK_OK;
    if (session.link.cancelled()) return INTERRUPTED;
    if (result != LINK_NOT_ACKED) {
      session.lost = true;
      session.detail = "the service does not answer";
      return LINK_LOST;
    }
    if (attempt == 2) {
      session.detail = "the service refused the command twice";
      return LINK_NOT_ACKED;
    }
    if (!get_back_in_step(session)) return LINE_FLOODED;
  }
}

}  // namespace quorvantix::session
