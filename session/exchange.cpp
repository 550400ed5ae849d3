#include "session/exchange.h"

#include <algorithm>
#include <cstring>

#include "wire/link.h"
#include "wire/wire.h"

namespace quorvantix::session {

using namespace quorvantix::wire;

host::Failure<Error> wire_failure(const wire::Error& error) {
  return host::Failure<Error>{Error{Kind::wire, {}, error.status}};
}

Result<const host::NameCodec*> Session::wire_names() {
  if (names_ && names_->charset() == charset_) return &*names_;
  std::string error;
  names_ = host::NameCodec::open(charset_, error);
  if (!names_) return fail(Kind::charset_unknown, error);
  return &*names_;
}

void Session::use_charset(std::string charset, std::optional<host::NameCodec> names) {
  charset_ = std::move(charset);
  names_ = std::move(names);
}

std::string Session::in_line_set() const {
  return charset_ == host::kRawCharset ? "" : " in " + charset_ + ", the line's character set";
}

Result<std::string> Session::command_argument(const std::string& name, const std::string& what) {
  const Result<const host::NameCodec*> names = wire_names();
  if (!names) return host::Failure<Error>{names.error()};
  std::string wire;
  if (!(*names)->to_wire(name, wire)) {
    return fail(Kind::name_unusable, "'" + name + "' cannot be named on the line: it has characters that " + charset_ +
                                         ", the line's character set, lacks (--charset chooses another)");
  }
  if (wire.size() <= kCommandArgumentBytes) return wire;
  return fail(Kind::name_too_long,
              what + " may have at most " + std::to_string(kCommandArgumentBytes) + " bytes" + in_line_set());
}

std::string Session::unusable_wire_name(const std::string& name, const std::string& wire, Kind kind) const {
  if (kind == Kind::name_too_long) {
    return "'" + name + "' is too long: the name and the size must fit the 60 bytes of the file header" +
           in_line_set();
  }
  if (wire.find(static_cast<char>(kSpaceSubstitute)) != std::string::npos && charset_ != host::kRawCharset) {
    return "'" + name + "' cannot be stored under that name: one of its characters is written with byte 0xAE in " +
           charset_ + ", and on the line that byte stands for a space in the name of a file stored";
  }
  return "'" + name + "' cannot be a name on the line (empty, '.', '..', or a tab, line break or byte 0xAE in it)";
}

Result<> Session::send_command(UBYTE code, const std::string& argument) {
  if (lost_) return fail(Kind::link_lost);
  char frame[kCommandFrameBytes] = {};
  frame[0] = static_cast<char>(code);
  std::memcpy(frame + 1, argument.data(), std::min(argument.size(), kCommandArgumentBytes));
  for (int attempt = 1;; ++attempt) {
    link_.drop_pending_input();
    const wire::Result<> sent = send_data(link_, frame, kCommandFrameBytes);
    if (sent) return {};
    if (link_.cancelled()) return fail(Kind::interrupted);
    if (sent.error().status != Status::frame_not_acked) {
      lost_ = true;
      return fail(Kind::link_lost, "the service does not answer");
    }
    if (attempt == 2) return host::Failure<Error>{Error{Kind::wire, "the service refused the command twice", Status::frame_not_acked}};
    if (const Result<> back = get_back_in_step(); !back) return back;
  }
}

}  // namespace quorvantix::session
