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

#include "lines/rfc2217_line.h"
#include "lines/tcp_line.h"
#include "wire/file_stream.h"
#include "wire/folder.h"
#include "wire/identification.h"
#include "wire/wire.h"

namespace quorvantix::session {

using namespace quorvantix::wire;
namespace {

using std::chrono::nanoseconds;

// This end's files: the whole file system, from the process's current directory.
host::Tree local_files() { return host::Tree::whole(); }

std::string cannot_read(const std::string& path) { return "cannot read " + path + ": " + std::strerror(errno); }

// The converter for session.charset; null, with the cause in detail, when
// there is none.
const host::NameCodec* wire_names(Session& session) {
  if (session.names && session.names->charset() == session.charset) return &*session.names;
  session.names = host::NameCodec::open(session.charset, session.detail);
  return session.names ? &*session.names : nullptr;
}

// How the messages name the line's character set.
std::string in_line_set(const Session& session) {
  return session.charset == host::kRawCharset ? "" : " in " + session.charset + ", the line's character set";
}

// The wire form of `name`, a name given here for a command frame (`what` says
// what it names). 0, NAME_UNUSABLE when it has no wire form, NAME_TOO_LONG or
// CHARSET_UNKNOWN, with the sentence in detail.
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

// Why the wire name of a file to store cannot be used, for `result` of check_wire_name.
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

// Sends one command frame. A NAK means the service could not read the frame (a
// stray byte from an earlier exchange ran ahead of it); it did not run the
// command, so the frame is sent once more once the line has settled. No answer
// at all means the service is gone.
long send_command(Session& session, UBYTE code, const std::string& argument = "") {
  if (session.lost) return LINK_LOST;
  char frame[kCommandFrameBytes] = {};
  frame[0] = static_cast<char>(code);
  std::memcpy(frame + 1, argument.data(), std::min(argument.size(), kCommandArgumentBytes));
  for (int attempt = 1;; ++attempt) {
    session.link.drop_pending_input();
    const long result = send_data(session.link, frame, kCommandFrameBytes);
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

// The rows of a list view, freed with the list.
struct ListRows {
  List list{};
  ListRows() { NewList(&list); }
  ListRows(const ListRows&) = delete;
  ListRows& operator=(const ListRows&) = delete;
  ~ListRows() { free_list_rows(&list); }
};

std::string without_trailing_spaces(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

void collect_entries(const List& list, std::vector<RemoteEntry>& entries) {
  for (const Node* node = list.lh_Head; node != nullptr; node = node->ln_Succ) {
    const auto* row = reinterpret_cast<const Dir_Entry*>(node);
    entries.push_back(RemoteEntry{without_trailing_spaces(list_row_column(row, 0)),
                                  std::strcmp(list_row_column(row, 1), "DIR") == 0, list_row_size(row)});
  }
}

// The rows of the service's listing, in host form. A row's name is the 30
// bytes of the line's name field, padded with spaces; one whose name went on
// beyond them (kNameBeyondField) holds the start of a longer name, spaces
// and all, whatever its last byte.
void collect_listed_entries(const host::NameCodec& names, const List& list, std::vector<RemoteEntry>& entries) {
  for (const Node* node = list.lh_Head; node != nullptr; node = node->ln_Succ) {
    const auto* row = reinterpret_cast<const Dir_Entry*>(node);
    const std::string field = list_row_column(row, 0);
    RemoteEntry entry{"", std::strcmp(list_row_column(row, 1), "DIR") == 0, list_row_size(row)};
    entry.cut = entry.size == kNameBeyondField && field.size() == kListedNameBytes;
    entry.size = std::max<std::int64_t>(entry.size, -1);
    entry.name = host_name_of(names, entry.cut ? field : without_trailing_spaces(field), entry.cut);
    entries.push_back(std::move(entry));
  }
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

// The failures of a get after which the service has had its answer (a NAK to
// its header) and is back in its command loop.
bool refused_by_this_end(long result) {
  switch (result) {
    case FILE_NO_DIR_LOCK:
    case FILE_NO_MEMORY:
    case FILE_NO_INFO:
    case FILE_WRITE_PROTECTED:
    case FILE_NO_ROOM:
    case FILE_CREATE_FAILED:
      return true;
    default:
      return false;
  }
}

long check_local_file(Session& session, const std::string& local, std::int64_t& size) {
  struct stat st {};
  if (stat(local.c_str(), &st) != 0) {
    session.detail = errno == ENOENT ? "there is no file " + local : cannot_read(local);
    return LOCAL_NOT_A_FILE;
  }
  if (!S_ISREG(st.st_mode)) {
    session.detail = S_ISDIR(st.st_mode) ? local + " is a folder (put -r stores a folder)" : local + " is not a plain file";
    return LOCAL_NOT_A_FILE;
  }
  const int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    session.detail = cannot_read(local);
    return LOCAL_NOT_A_FILE;
  }
  close(fd);
  size = st.st_size;
  if (size / kBlockBytes > INT32_MAX) {
    session.detail = local + " is larger than the line can announce";
    return LOCAL_TOO_LARGE;
  }
  return FILE_OK;
}

// Takes back a cancel that stopped a transfer, so that the ends can get back
// in step and sign off. True when there was one.
bool take_back_stop(Session& session) {
  if (!session.link.cancelled()) return false;
  session.link.clear_cancel();
  if (session.on_stop) session.on_stop();
  return true;
}

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

long finish_failed_put(Session& session, long result, nanoseconds took) {
  Link& link = session.link;
  if (take_back_stop(session)) {
    wait_for_receiver_to_give_up(link);
    return INTERRUPTED;
  }
  switch (result) {
    case FILE_HEADER_NOT_ACKED:
      // A NAK comes at once; silence for a whole time limit may mean the header
      // arrived and only its answer was lost, so the service may be waiting for blocks.
      if (took < time_limit(link)) return FILE_HEADER_NOT_ACKED;
      wait_for_receiver_to_give_up(link);
      session.detail = "the service did not answer the file's header";
      return LINK_TIMEOUT;
    case FILE_NO_LOCK:
    case FILE_NO_EXAMINE:
      settle(link);
      return result;
    default:
      wait_for_receiver_to_give_up(link);
      return result;
  }
}

}  // namespace

// --- The line ---

long open_line(Session& session, const std::string& device, long unit) {
  const long result = allocport(session.link, unit, device.c_str());
  if (result != PORT_OK) {
    session.detail = session.link.last_error();
    freeport(session.link, unit);
    return result;
  }
  session.baud = kStartBaud;
  session.device = device;
  session.unit = unit;
  return PORT_OK;
}

void close_line(Session& session) { freeport(session.link, 0); }

namespace {

nanoseconds identification_time(const Link& link) {
  return wire_time(link, frame_bytes(kIdentificationBytes)) + time_limit(link);
}

nanoseconds sign_off_time(const Link& link) {
  return wire_time(link, frame_bytes(kCommandFrameBytes)) + time_limit(link) + frame_gap(link);
}

// How long bytes must come to be taken for a frame under way.
nanoseconds frame_under_way_look(const Link& link) {
  return std::max<nanoseconds>(wire_time(link, kBytesOfAFrameUnderWay), std::chrono::milliseconds(1));
}

// reach_service keeps to the time its message announces: on a line that
// never goes quiet (a peer that floods it), each wait for quiet gives way to
// the tries still to come, where it would otherwise wait out its own cap.
class ReachBudget {
 public:
  explicit ReachBudget(const Link& link)
      : link_(link), ends_at_(link.now() + frame_under_way_look(link) + longest_wait_for_service(link)) {}

  // The longest the next wait for quiet may last, of its usual `cap`, so
  // that `tries` tries and, when `sign_off_due`, the sign-off still fit.
  nanoseconds quiet_cap(nanoseconds cap, int tries, bool sign_off_due) const {
    const nanoseconds after =
        tries * identification_time(link_) + (sign_off_due ? sign_off_time(link_) : nanoseconds{});
    return std::clamp(ends_at_ - after - link_.now(), nanoseconds::zero(), cap);
  }

 private:
  const Link& link_;
  nanoseconds ends_at_;
};

nanoseconds quiet_wait_cap(const Link& link) { return share_of_limit(link, timing::kQuietWaitCap); }

// A service that is still sending to a customer that has gone must not have
// its frames taken for the answer to our identification: bytes that come
// back to back are a frame under way, and we begin once it has passed.
void begin_on_a_quiet_line(Link& link, nanoseconds cap) {
  link.drop_pending_input();
  if (link.first_byte_within(frame_under_way_look(link))) link.drop_input_until_quiet(frame_gap(link), cap);
}

// A service whose last customer left without signing off sits in its command
// loop, where an identification frame is no command it knows: our sign-off
// sends it back to waiting for one. A service that waits for an
// identification takes the command frame for junk, and is back in step once
// the line has been quiet for a frame gap after our wait for the answer.
void ask_to_sign_off(Link& link, nanoseconds cap) {
  char frame[kCommandFrameBytes] = {static_cast<char>(cmd_customer_terminate)};
  send_data(link, frame, kCommandFrameBytes);
  link.drop_input_until_quiet(frame_gap(link), cap);
}

// What ended a try on a line that was lost: the line's own reason where it
// has one, or the far end's close.
std::string why_lost(const Session& session) {
  const std::string reason = session.link.lost_reason();
  if (!reason.empty()) return reason;
  const bool on_the_network =
      lines::is_tcp_line_name(session.device) || lines::is_rfc2217_line_name(session.device);
  return on_the_network ? "the service closed the connection" : "the line was lost";
}

// The line after a try that lost it, for the next try: a listening line
// takes its next peer, one that open_line opened is opened anew (a service on
// the network that closed the connection is connected to again). False,
// with the cause in detail, when it cannot be had.
bool take_up_line_for_next_try(Session& session) {
  if (session.link.take_next_peer() || session.device.empty()) return true;
  const std::string device = session.device;
  close_line(session);
  return open_line(session, device, session.unit) == PORT_OK;
}

// The tries reach_service made, for its message.
struct ReachTries {
  int made = 0;
  int lost = 0;                // tries that ended with the line lost
  std::string loss;            // why the last of them did
  std::string not_taken_up;    // why the line could not be had again after it, if so
};

std::string no_service_detail(const ReachTries& tries) {
  const std::string made = std::to_string(tries.made);
  if (!tries.not_taken_up.empty()) {
    return tries.loss + " at try " + made + " of " + std::to_string(kIdentifyAttempts) +
           ", and the line could not be had again: " + tries.not_taken_up;
  }
  if (tries.lost == tries.made && tries.made > 0) {
    return tries.loss + (tries.made == 1 ? " at its one try" : " at each of " + made + " tries");
  }
  std::string detail = "no answer to the identification after " + made + (tries.made == 1 ? " try" : " tries");
  if (tries.lost > 0) detail += " (" + tries.loss + " at " + std::to_string(tries.lost) + " of them)";
  return detail;
}

// Between a try that got no answer and the next: the line quiet, and after
// the first a sign-off.
void wait_before_next_try(Link& link, const ReachBudget& budget, int attempt, long result) {
  const int tries_left = kIdentifyAttempts - attempt - 1;
  const bool sign_off_due = attempt == 0;
  if (result == LINK_CHECK_ERROR) {
    // A damaged answer: what is left of the service's frame must not pass
    // for the answer to the next try.
    link.drop_input_until_quiet(frame_gap(link), budget.quiet_cap(quiet_wait_cap(link), tries_left, sign_off_due));
  } else {
    // No answer, or bytes that were none: a service busy with a transfer its
    // last customer left answers once it has given up; one that waits for an
    // identification, or a command, answers once the line has been quiet.
    link.drop_input_until_quiet(settle_quiet(link),
                                budget.quiet_cap(share_of_limit(link, timing::kSettleCap), tries_left, sign_off_due));
  }
  // A service that answered with a frame we could not take has gone on to
  // its commands as well.
  if (sign_off_due) ask_to_sign_off(link, budget.quiet_cap(quiet_wait_cap(link), tries_left, false));
}

}  // namespace

long reach_service(Session& session) {
  Link& link = session.link;
  const ReachBudget budget(link);
  begin_on_a_quiet_line(link, budget.quiet_cap(quiet_wait_cap(link), kIdentifyAttempts, true));
  ReachTries tries;
  for (int attempt = 0; attempt < kIdentifyAttempts && !link.cancelled(); ++attempt) {
    if (attempt > 0 && link.lost() && !take_up_line_for_next_try(session)) {
      tries.not_taken_up = session.detail;
      break;
    }
    link.drop_pending_input();
    ++tries.made;
    const long result = identify(link, 'c', session.ids);
    if (result == LINK_OK) return LINK_OK;
    // No wait for quiet on a line that has gone: the next try takes it up anew.
    const bool last = attempt + 1 == kIdentifyAttempts;
    if (!link.lost() && !last && !link.cancelled()) wait_before_next_try(link, budget, attempt, result);
    if (link.lost()) {
      ++tries.lost;
      tries.loss = why_lost(session);
    }
  }
  session.detail = no_service_detail(tries);
  return NO_SERVICE;
}

std::chrono::nanoseconds longest_wait_for_service(const Link& link) {
  // Each try waits a time limit for the answer once its frame has crossed,
  // and for a quiet line (settle) between them; after the first, the
  // sign-off waits a time limit for its answer and a frame gap of quiet.
  return kIdentifyAttempts * identification_time(link) + (kIdentifyAttempts - 1) * settle_quiet(link) +
         sign_off_time(link);
}

// --- The service ---

long remote_pwd(Session& session) {
  const host::NameCodec* names = wire_names(session);
  if (names == nullptr) return CHARSET_UNKNOWN;
  const long sent = send_command(session, cmd_get_akt_dir);
  if (sent != LINK_OK) return sent;
  UBYTE reply[kCommandFrameBytes + 1] = {};
  const long result = receive_data(session.link, reply, kCommandFrameBytes);
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
  ListRows rows;
  const long result = receive_akt_dir(session.link, &rows.list, alloc_list_row, session.most_listed);
  collect_listed_entries(*names, rows.list, entries);
  if (result == DIR_OK) return DIR_OK;
  if (session.link.cancelled()) return INTERRUPTED;
  if (!get_back_in_step(session)) return LINE_FLOODED;
  return result == DIR_NO_MEMORY && entries.size() == session.most_listed ? LISTING_TOO_LONG : result;
}

long remote_get(Session& session, const std::string& remote, const std::string& local, Gadget* gad) {
  if (remote.empty()) {
    session.detail = "name the file to fetch";
    return NAME_UNUSABLE;
  }
  std::string wire;
  const long usable = command_argument(session, remote, "a file name on the service", wire);
  if (usable != 0) return usable;
  const std::string target = get_target(session, remote, local);
  if (target.empty()) return NAME_UNUSABLE;
  const long sent = send_command(session, cmd_send_file, wire);
  // Stopped with the command under way: the service may have it and send the
  // file until it gives up. The ends are in step once the line is quiet.
  if (sent == INTERRUPTED && take_back_stop(session) && !get_back_in_step(session)) return LINE_FLOODED;
  if (sent != LINK_OK) return sent;
  // The file is written under `target` alone, whatever name the service's
  // header gives, and only put in place once it is complete.
  const long result = receive_file_to(session.link, local_files(), gad, target.c_str());
  if (result == FILE_OK) return FILE_OK;
  const bool stopped = take_back_stop(session);
  if (!refused_by_this_end(result) && !get_back_in_step(session)) return LINE_FLOODED;
  return stopped ? INTERRUPTED : result;
}

long remote_put(Session& session, const std::string& local, const std::string& remote, Gadget* gad) {
  std::int64_t size = 0;
  const long checked = check_local_file(session, local, size);
  if (checked != FILE_OK) return checked;
  const std::string name = remote.empty() ? last_component(local) : remote;
  const host::NameCodec* names = wire_names(session);
  if (names == nullptr) return CHARSET_UNKNOWN;
  std::string wire_name;
  if (!names->to_wire(name, wire_name)) {
    session.detail = "'" + name + "' has no form in " + session.charset +
                     ", the line's character set: store it under another name (put LOCAL REMOTE), or choose the set "
                     "with --charset";
    return NAME_UNUSABLE;
  }
  const long name_fits = check_wire_name(wire_name, size);
  if (name_fits != 0) {
    session.detail = unusable_wire_name(session, name, wire_name, name_fits);
    return name_fits;
  }
  const long sent = send_command(session, cmd_receive_file);
  if (sent == INTERRUPTED && take_back_stop(session)) {
    // Stopped with the command under way: the service may have it and wait
    // for the file's header until it gives up.
    wait_for_receiver_to_give_up(session.link);
  }
  if (sent != LINK_OK) return sent;
  const nanoseconds start = session.link.now();
  const long result = send_file_as(session.link, local_files(), local.c_str(), wire_name.c_str(), gad);
  if (result == FILE_OK) return FILE_OK;
  return finish_failed_put(session, result, session.link.now() - start);
}

long remote_set_baud(Session& session, long rate) {
  Link& link = session.link;
  const long old_rate = session.baud;
  const std::string rate_text = std::to_string(rate);
  // Ask our own port first: once the service has switched, there is no way back.
  if (set_baud_rate(link, rate_text.c_str()) != PORT_OK) {
    session.detail = link.last_error();
    set_baud_rate(link, std::to_string(old_rate).c_str());
    return RATE_REFUSED;
  }
  set_baud_rate(link, std::to_string(old_rate).c_str());
  const long sent = send_command(session, cmd_set_baud_rate, rate_text);
  if (sent != LINK_OK) return sent;
  wait_for_the_service_to_switch(link);
  set_baud_rate(link, rate_text.c_str());
  session.baud = rate;
  if (remote_pwd(session) == LINK_OK) return LINK_OK;
  set_baud_rate(link, std::to_string(old_rate).c_str());
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
  set_baud_rate(link, std::to_string(kStartBaud).c_str());
  session.baud = kStartBaud;
  if (identify(link, 'c', session.ids) != LINK_OK) {
    session.lost = true;
    return LINK_OK;
  }
  resume_session(session, rate, folder);
  session.detail = "the service does not take shutdown (it runs with --no-shutdown); it goes on serving";
  return SHUTDOWN_REFUSED;
}

// --- This end ---

long local_pwd(std::string& dir) {
  char name[kDirNameBytes + 1] = {};
  get_akt_dir(local_files(), name);
  dir = name;
  return dir.empty() ? LOCAL_NO_DIRECTORY : DIR_OK;
}

long local_cd(Session& session, const std::string& dir) {
  if (!is_directory(dir)) {
    session.detail = "no directory " + dir + " here";
    return LOCAL_NO_DIRECTORY;
  }
  host::Tree local = local_files();
  if (set_akt_dir(local, dir.c_str()) == 0) {
    session.detail = "cannot enter " + dir;
    return LOCAL_NO_DIRECTORY;
  }
  return DIR_OK;
}

long local_list(std::vector<RemoteEntry>& entries) {
  ListRows rows;
  const long result = read_akt_dir(local_files(), &rows.list);
  collect_entries(rows.list, entries);
  return result;
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
