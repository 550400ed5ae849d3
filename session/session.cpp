#include "session/session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "session/exchange.h"
#include "wire/file_stream.h"
#include "wire/folder.h"
#include "wire/identification.h"
#include "wire/listing_stream.h"
#include "wire/wire.h"

namespace quorvantix::session {

using namespace quorvantix::wire;

namespace {

using std::chrono::nanoseconds;

// The host form of a name from the service. One that the line cut (`cut`)
// may end in part of a character, which is left out.
std::string host_name_of(const host::NameCodec& names, const std::string& wire, bool cut) {
  std::string host;
  for (std::size_t drop = 0; cut && drop < 4 && drop < wire.size(); ++drop) {
    if (names.to_host(std::string_view(wire).substr(0, wire.size() - drop), host)) return host;
  }
  names.to_host(wire, host);
  return host;
}

// A path with "." and ".." worked out, for names in the service's "/" syntax.
std::string normalized(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

// Whether `cd dir` from `current` is meant to stay where it is. Beyond "" and
// ".", this can only be worked out for names in "/" syntax.
bool stays_in_place(const std::string& current, const std::string& dir) {
  if (dir.empty() || dir == "." || dir == "./") return true;
  if (current.empty() || current[0] != '/') return false;
  const std::string target = dir[0] == '/' ? dir : current + "/" + dir;
  return normalized(target) == normalized(current);
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Every peer of this line waits a time limit for the answer to each frame
// it sends: a line that never pauses for most of that long is flooded.
constexpr LimitShare kPauseOfAPeer{3, 4};

// A service switches its speed once it has seen its ACK leave, which it
// notices at its next poll, and a tick after that: our next frame must not
// come sooner, or it arrives at the old speed. (Switching our end later than
// the service does costs nothing: nothing comes from it meanwhile.)
void wait_for_the_service_to_switch(Link& link) { link.delay_ticks(kTicksBetweenPolls + kTicksBeforeParamChange); }

}  // namespace

// --- The service ---

Result<> Session::remote_pwd() {
  const Result<const host::NameCodec*> names = wire_names();
  if (!names) return host::Failure<Error>{names.error()};
  if (const Result<> sent = send_command(cmd_get_akt_dir); !sent) return sent;
  UBYTE reply[kCommandFrameBytes + 1] = {};
  if (const wire::Result<> received = receive_data(link_, reply, kCommandFrameBytes); !received) {
    if (received.error().status == Status::frame_damaged) send_NAK(link_);
    if (const Result<> back = get_back_in_step(); !back) return back;
    host::Failure<Error> failure = wire_failure(received.error());
    failure.error.reason = "the directory name did not arrive intact";
    return failure;
  }
  send_ACK(link_);
  const auto* text = reinterpret_cast<const char*>(reply);
  const std::size_t length = strnlen(text, kCommandFrameBytes);
  remote_dir_cut_ = length == kCommandFrameBytes;
  remote_dir_ = host_name_of(**names, std::string(text, length), remote_dir_cut_);
  return {};
}

Result<> Session::remote_cd(const std::string& dir) {
  const Result<std::string> wire = command_argument(dir, "a directory name");
  if (!wire) return host::Failure<Error>{wire.error()};
  if (remote_dir_.empty()) {
    if (const Result<> known = remote_pwd(); !known) return known;
  }
  const std::string before = remote_dir_;
  const bool before_cut = remote_dir_cut_;
  if (const Result<> sent = send_command(cmd_set_akt_dir, *wire); !sent) return sent;
  if (const Result<> read = remote_pwd(); !read) return read;
  if (remote_dir_ != before || stays_in_place(before, dir)) return {};
  // Two names cut at 60 characters may differ beyond the cut.
  if (before_cut || remote_dir_cut_) return fail(Kind::remote_dir_unconfirmed);
  return fail(Kind::remote_dir_unchanged, "it stayed in " + before);
}

Result<> Session::remote_list(std::vector<RemoteEntry>& entries) {
  const Result<const host::NameCodec*> names = wire_names();
  if (!names) return host::Failure<Error>{names.error()};
  if (const Result<> sent = send_command(cmd_send_akt_dir); !sent) return sent;
  const std::size_t before = entries.size();
  const wire::Result<> listed = receive_akt_dir(link_, entries, most_listed_);
  for (std::size_t at = before; at < entries.size(); ++at) {
    entries[at].name = host_name_of(**names, entries[at].name, entries[at].cut);
  }
  if (listed) return {};
  if (link_.cancelled()) return fail(Kind::interrupted);
  if (const Result<> back = get_back_in_step(); !back) return back;
  if (listed.error().status == Status::listing_no_memory) return fail(Kind::listing_too_long);
  return wire_failure(listed.error());
}

Result<> Session::remote_set_baud(long rate) {
  const long old_rate = baud_;
  const std::string rate_text = std::to_string(rate);
  // Ask our own port first: once the service has switched, there is no way back.
  if (const wire::Result<> ours = set_baud_rate(link_, rate); !ours) {
    (void)set_baud_rate(link_, old_rate);
    return fail(Kind::rate_refused, ours.error().reason);
  }
  (void)set_baud_rate(link_, old_rate);
  if (const Result<> sent = send_command(cmd_set_baud_rate, rate_text); !sent) return sent;
  wait_for_the_service_to_switch(link_);
  (void)set_baud_rate(link_, rate);
  baud_ = rate;
  if (remote_pwd()) return {};
  (void)set_baud_rate(link_, old_rate);
  baud_ = old_rate;
  lost_ = false;
  settle(link_);
  if (remote_pwd()) {
    return fail(Kind::rate_not_taken, "the service did not answer at " + rate_text + " baud; the line stays at " +
                                          std::to_string(old_rate) + " baud");
  }
  lost_ = true;
  return fail(Kind::link_lost,
              "the service answers neither at " + rate_text + " nor at " + std::to_string(old_rate) + " baud");
}

Result<> Session::sign_off() {
  const Result<> result = send_command(cmd_customer_terminate);
  lost_ = true;  // the service waits for a new identification now
  return result;
}

Result<> Session::get_back_in_step() {
  const nanoseconds pause = share_of_limit(link_, kPauseOfAPeer);
  // Room for a whole pause however the wait falls between a peer's frames.
  const nanoseconds window = wire_time(link_, frame_bytes(kMaxPayload)) + 2 * time_limit(link_);
  const nanoseconds deadline = link_.now() + share_of_limit(link_, timing::kSettleCap);
  for (nanoseconds left; (left = deadline - link_.now()) > nanoseconds::zero();) {
    if (!link_.drop_input_until_quiet(pause, std::min(window, left))) {
      if (link_.cancelled() || link_.lost() || left < window) return {};
      lost_ = true;
      return fail(Kind::line_flooded, "the service sends without pause and answers nothing; the session is given up");
    }
    // Quiet for a pause: settled once the rest of settle()'s quiet follows.
    if (!link_.first_byte_within(settle_quiet(link_) - pause)) return {};
  }
  return {};
}

void Session::resume(long rate, const std::string& folder) {
  remote_dir_.clear();
  if (rate != baud_) (void)remote_set_baud(rate);
  if (!folder.empty()) (void)remote_cd(folder);
}

Result<> Session::shutdown_service() {
  if (const Result<> sent = send_command(cmd_terminate); !sent) return sent;
  // A service that ends says nothing more. One that refuses takes the
  // command for our sign-off: it goes back to 9600 baud and answers the next
  // identification.
  const long rate = baud_;
  const std::string folder = remote_dir_;
  wait_for_the_service_to_switch(link_);
  (void)set_baud_rate(link_, kStartBaud);
  baud_ = kStartBaud;
  if (!identify(link_, Side::customer, ids_)) {
    lost_ = true;
    return {};
  }
  resume(rate, folder);
  return fail(Kind::shutdown_refused,
              "the service does not take shutdown (it runs with --no-shutdown); it goes on serving");
}

// --- This end ---

Result<std::string> Session::local_pwd() const {
  char name[kDirNameBytes + 1] = {};
  get_akt_dir(*local_files_, name);
  if (name[0] == '\0') return fail(Kind::local_no_directory);
  return std::string(name);
}

Result<> Session::local_cd(const std::string& dir) {
  if (!is_directory(dir)) return fail(Kind::local_no_directory, "no directory " + dir + " here");
  if (!set_akt_dir(*local_files_, dir.c_str())) return fail(Kind::local_no_directory, "cannot enter " + dir);
  return {};
}

Result<std::string> Session::get_target(const std::string& remote, const std::string& local) const {
  const std::string remote_name = last_component(remote);
  if (local.empty()) {
    if (remote_name.empty()) {
      return fail(Kind::name_unusable, "'" + remote + "' ends in no file name; give the local name");
    }
    if (is_directory(remote_name)) {
      return fail(Kind::name_unusable, "a directory " + remote_name + " is in the way; give the local name");
    }
    return remote_name;
  }
  if (!is_directory(local)) return local;
  if (remote_name.empty()) {
    return fail(Kind::name_unusable, "'" + remote + "' ends in no file name; give the local file's name");
  }
  const std::string inside = (local.back() == '/' ? local : local + "/") + remote_name;
  if (is_directory(inside)) return fail(Kind::name_unusable, "a directory " + inside + " is in the way");
  return inside;
}

// --- Names ---

bool listing_cut(const RemoteEntry& entry) { return entry.cut; }

std::string last_component(const std::string& path) {
  const std::size_t cut = path.find_last_of("/:");
  const std::string last = cut == std::string::npos ? path : path.substr(cut + 1);
  return last == "." || last == ".." ? std::string() : last;
}

std::string unusable_listed_name(const std::string& name) {
  if (name.empty()) return "it is empty";
  if (name == "." || name == "..") return "it names a folder itself, not a name in it";
  if (name.find('/') != std::string::npos) return "it holds '/'";
  if (name.find('\0') != std::string::npos) return "it holds a NUL byte";
  return {};
}

std::string service_path(const std::string& current, const std::string& path) {
  return normalized(!path.empty() && path[0] == '/' ? path : current + "/" + path);
}

Result<> check_wire_name(const std::string& wire_name, std::int64_t size) {
  if (wire_name.empty() || wire_name == "." || wire_name == "..") return fail(Kind::name_unusable);
  for (const char c : wire_name) {
    // The header's name field ends at white space; spaces travel as 0xAE.
    const bool breaks_field = c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    if (breaks_field || static_cast<UBYTE>(c) == kSpaceSubstitute) return fail(Kind::name_unusable);
  }
  const std::string header =
      wire_name + " " + std::to_string(size / kBlockBytes) + " " + std::to_string(size % kBlockBytes);
  if (header.size() > static_cast<std::size_t>(kHeaderBytes)) return fail(Kind::name_too_long);
  return {};
}

}  // namespace quorvantix::session
