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

// After the service has taken us for a new customer (back at 9600 baud, in
// the folder it serves): the line speed and the folder we had, as far as they
// can be had again.
void resume_session(Session& session, long rate, const std::string& folder) {
  session.remote_dir.clear();
  if (rate != session.baud) remote_set_baud(session, rate);
  if (!folder.empty()) remote_cd(session, folder);
}

}  // namespace

// --- The service ---

long remote_pwd(Session& session) {
  const host::NameCodec* names = wire_names(session);
  if (names == nullptr) return CHARSET_UNKNOWN;
  const long sent = send_command(session, cmd_get_akt_dir);
  if (sent != LINK_OK) return sent;
  UBYTE reply[kCommandFrameBytes + 1] = {};
  const long result = status_code(receive_data(session.link, reply, kCommandFrameBytes));  // see status_code
  if (result != LINK_OK) {
    if (result == LINK_CHECK_ERROR) send_NAK(session.link);
    if (!get_back_in_step(session)) return LINE_FLOODED;
    session.detail = "the directory name did not arrive intact";
    return result;
  }
  send_ACK(session.link);
  const auto* text = reinterpret_cast<const char*>(reply);
  const std::size_t length = strnlen(text, kCommandFrameBytes);
  session.remote_dir_cut = length == kCommandFrameBytes;
  session.remote_dir = host_name_of(*names, std::string(text, length), session.remote_dir_cut);
  return LINK_OK;
}

long remote_cd(Session& session, const std::string& dir) {
  std::string wire;
  const long usable = command_argument(session, dir, "a directory name", wire);
  if (usable != 0) return usable;
  if (session.remote_dir.empty()) {
    const long result = remote_pwd(session);
    if (result != LINK_OK) return result;
  }
  const std::string before = session.remote_dir;
  const bool before_cut = session.remote_dir_cut;
  long result = send_command(session, cmd_set_akt_dir, wire);
  if (result != LINK_OK) return result;
  result = remote_pwd(session);
  if (result != LINK_OK) return result;
  if (session.remote_dir != before || stays_in_place(before, dir)) return LINK_OK;
  // Two names cut at 60 characters may differ beyond the cut.
  if (before_cut || session.remote_dir_cut) return REMOTE_DIR_UNCONFIRMED;
  session.detail = "it stayed in " + before;
  return REMOTE_DIR_UNCHANGED;
}

long remote_list(Session& session, std::vector<RemoteEntry>& entries) {
  const host::NameCodec* names = wire_names(session);
  if (names == nullptr) return CHARSET_UNKNOWN;
  const long sent = send_command(session, cmd_send_akt_dir);
  if (sent != LINK_OK) return sent;
  const std::size_t before = entries.size();
  // The session's codes until it fails in a way of its own (status_code).
  const long result = status_code(receive_akt_dir(session.link, entries, session.most_listed));
  for (std::size_t at = before; at < entries.size(); ++at) {
    entries[at].name = host_name_of(*names, entries[at].name, entries[at].cut);
  }
  if (result == DIR_OK) return DIR_OK;
  if (session.link.cancelled()) return INTERRUPTED;
  if (!get_back_in_step(session)) return LINE_FLOODED;
  return result == DIR_NO_MEMORY ? LISTING_TOO_LONG : result;
}

long remote_set_baud(Session& session, long rate) {
  Link& link = session.link;
  const long old_rate = session.baud;
  const std::string rate_text = std::to_string(rate);
  // Ask our own port first: once the service has switched, there is no way back.
  if (const Result<> refused = set_baud_rate(link, rate); !refused) {
    session.detail = refused.error().reason;
    (void)set_baud_rate(link, old_rate);
    return RATE_REFUSED;
  }
  (void)set_baud_rate(link, old_rate);
  const long sent = send_command(session, cmd_set_baud_rate, rate_text);
  if (sent != LINK_OK) return sent;
  wait_for_the_service_to_switch(link);
  (void)set_baud_rate(link, rate);
  session.baud = rate;
  if (remote_pwd(session) == LINK_OK) return LINK_OK;
  (void)set_baud_rate(link, old_rate);
  session.baud = old_rate;
  session.lost = false;
  settle(link);
  if (remote_pwd(session) == LINK_OK) {
    session.detail = "the service did not answer at " + rate_text + " baud; the line stays at " +
                     std::to_string(old_rate) + " baud";
    return RATE_NOT_TAKEN;
  }
  session.lost = true;
  session.detail = "the service answers neither at " + rate_text + " nor at " + std::to_string(old_rate) + " baud";
  return LINK_LOST;
}

long sign_off(Session& session) {
  const long result = send_command(session, cmd_customer_terminate);
  session.lost = true;  // the service waits for a new identification now
  return result;
}

bool get_back_in_step(Session& session) {
  Link& link = session.link;
  const nanoseconds pause = share_of_limit(link, kPauseOfAPeer);
  // Room for a whole pause however the wait falls between a peer's frames.
  const nanoseconds window = wire_time(link, frame_bytes(kMaxPayload)) + 2 * time_limit(link);
  const nanoseconds deadline = link.now() + share_of_limit(link, timing::kSettleCap);
  for (nanoseconds left; (left = deadline - link.now()) > nanoseconds::zero();) {
    if (!link.drop_input_until_quiet(pause, std::min(window, left))) {
      if (link.cancelled() || link.lost() || left < window) return true;
      session.lost = true;
      session.detail = "the service sends without pause and answers nothing; the session is given up";
      return false;
    }
    // Quiet for a pause: settled once the rest of settle()'s quiet follows.
    if (!link.first_byte_within(settle_quiet(link) - pause)) return true;
  }
  return true;
}

long shutdown_service(Session& session) {
  Link& link = session.link;
  const long result = send_command(session, cmd_terminate);
  if (result != LINK_OK) return result;
  // A service that ends says nothing more. One that refuses takes the
  // command for our sign-off: it goes back to 9600 baud and answers the next
  // identification.
  const long rate = session.baud;
  const std::string folder = session.remote_dir;
  wait_for_the_service_to_switch(link);
  (void)set_baud_rate(link, kStartBaud);
  session.baud = kStartBaud;
  if (!identify(link, Side::customer, session.ids)) {
    session.lost = true;
    return LINK_OK;
  }
  resume_session(session, rate, folder);
  session.detail = "the service does not take shutdown (it runs with --no-shutdown); it goes on serving";
  return SHUTDOWN_REFUSED;
}

// --- This end ---

long local_pwd(const Session& session, std::string& dir) {
  char name[kDirNameBytes + 1] = {};
  get_akt_dir(*session.local_files, name);
  dir = name;
  return dir.empty() ? LOCAL_NO_DIRECTORY : DIR_OK;
}

long local_cd(Session& session, const std::string& dir) {
  if (!is_directory(dir)) {
    session.detail = "no directory " + dir + " here";
    return LOCAL_NO_DIRECTORY;
  }
  if (!set_akt_dir(*session.local_files, dir.c_str())) {
    session.detail = "cannot enter " + dir;
    return LOCAL_NO_DIRECTORY;
  }
  return DIR_OK;
}

long local_list(const Session& session, std::vector<RemoteEntry>& entries) {
  std::vector<RemoteEntry> listed = read_akt_dir(*session.local_files);
  entries.insert(entries.end(), listed.begin(), listed.end());
  return DIR_OK;
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

std::string get_target(Session& session, const std::string& remote, const std::string& local) {
  const std::string remote_name = last_component(remote);
  if (local.empty()) {
    if (remote_name.empty()) {
      session.detail = "'" + remote + "' ends in no file name; give the local name";
      return {};
    }
    if (is_directory(remote_name)) {
      session.detail = "a directory " + remote_name + " is in the way; give the local name";
      return {};
    }
    return remote_name;
  }
  if (!is_directory(local)) return local;
  if (remote_name.empty()) {
    session.detail = "'" + remote + "' ends in no file name; give the local file's name";
    return {};
  }
  const std::string inside = (local.back() == '/' ? local : local + "/") + remote_name;
  if (is_directory(inside)) {
    session.detail = "a directory " + inside + " is in the way";
    return {};
  }
  return inside;
}

std::string service_path(const std::string& current, const std::string& path) {
  return normalized(!path.empty() && path[0] == '/' ? path : current + "/" + path);
}

long check_wire_name(const std::string& wire_name, std::int64_t size) {
  if (wire_name.empty() || wire_name == "." || wire_name == "..") return NAME_UNUSABLE;
  for (const char c : wire_name) {
    // The header's name field ends at white space; spaces travel as 0xAE.
    const bool breaks_field = c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    if (breaks_field || static_cast<UBYTE>(c) == kSpaceSubstitute) return NAME_UNUSABLE;
  }
  const std::string header =
      wire_name + " " + std::to_string(size / kBlockBytes) + " " + std::to_string(size % kBlockBytes);
  return header.size() > static_cast<std::size_t>(kHeaderBytes) ? NAME_TOO_LONG : 0;
}

}  // namespace quorvantix::session
