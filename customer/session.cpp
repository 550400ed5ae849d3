#include "session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "fs_module.h"
#include "io_atome.h"
#include "io_module.h"
#include "misc.h"
#include "service.h"

namespace customer_side {
namespace {

using std::chrono::nanoseconds;

// The time limit of one transfer on the line (2.1 s at the standard tick).

// What a peer needs beyond its own time limit to notice a time-out and act on it.
nanoseconds settle_margin() { return time_limit() / 5; }

std::string errno_text(const std::string& call, const std::string& path) {
  return call + "(" + path + "): " + std::strerror(errno);
}

platform::Line& line() { return *ioreq->io_Device; }

// Bytes that no exchange is waiting for belong to an exchange that has ended:
// the late answer to a refusal frame, a repeated block nobody reads any more.
void drop_pending_input() {
  std::uint8_t scrap[kMaxPayload];
  while (line().read_some(scrap, sizeof scrap) > 0) {
  }
}

// After an exchange that went wrong, waits until the service is back in its
// command loop with an empty frame buffer: it repeats unanswered frames within
// its time limit, and a read of its own that has taken up stray bytes ends
// within its time limit too, throwing them away. So once the line has been
// quiet for longer than one time limit, the next command frame arrives whole.
void settle() { drop_input_until_quiet(time_limit() + settle_margin(), 10 * time_limit()); }

// After an upload that stopped part-way: the service waits for the next block
// until its fifth time-out, then answers NAK and goes back to its command loop.
void wait_for_receiver_to_give_up() {
  std::uint8_t answer = 0;
  const nanoseconds deadline = line().now() + (kMaxRetries + 2) * time_limit();
  while (line().now() < deadline && line().read_some(&answer, 1) <= 0) {
    line().wait_ready(platform::Direction::in, deadline - line().now());
  }
  settle();
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
    drop_pending_input();
    const long result = send_data(frame, kCommandFrameBytes);
    if (result == LINK_OK) return LINK_OK;
    if (result != LINK_NOT_ACKED) {
      session.lost = true;
      session.detail = "the service does not answer";
      return LINK_LOST;
    }
    if (attempt == 2) {
      session.detail = "the service refused the command twice";
      return LINK_NOT_ACKED;
    }
    settle();
  }
}

// A line that has failed for good and whose clock races ahead, so that every
// time limit on it runs out at once.
class CutLine final : public platform::Line {
 public:
  long read_some(std::uint8_t*, std::size_t) override { return -1; }
  long write_some(const std::uint8_t*, std::size_t) override { return -1; }
  void wait_ready(platform::Direction, nanoseconds) override {}
  bool apply_settings(const IOExtSer&, std::string& error) override {
    error = "the line is cut";
    return false;
  }
  nanoseconds now() const override { return clock_ += std::chrono::seconds(1); }

 private:
  mutable nanoseconds clock_{};
};

// Passes the progress on to the display, and stops the transfer when the user
// asks for it: the transfer modules know no cancel, so the real line is parked
// and a cut one put in its place, on which the transfer fails at once by its
// own rules. The real line comes back when this object goes.
class StoppableGadget final : public Gadget {
 public:
  StoppableGadget(Gadget* shown, const StopRequested& stop) : shown_(shown), stop_(stop) {}
  StoppableGadget(const StoppableGadget&) = delete;
  StoppableGadget& operator=(const StoppableGadget&) = delete;
  ~StoppableGadget() override { reconnect(); }

  void set_text(const char* text, const TransferProgress& progress) override {
    if (shown_ != nullptr) shown_->set_text(text, progress);
    if (!parked_ && !progress.final && stop_ && stop_()) cut();
  }
  void pause_after_final() override {
    if (shown_ != nullptr) shown_->pause_after_final();
  }
  bool was_cut() const { return was_cut_; }
  void reconnect() {
    if (parked_) ioreq->io_Device = std::move(parked_);
  }

 private:
  void cut() {
    parked_ = std::move(ioreq->io_Device);
    ioreq->io_Device = std::make_unique<CutLine>();
    was_cut_ = true;
  }

  Gadget* shown_;
  const StopRequested& stop_;
  std::unique_ptr<platform::Line> parked_;
  bool was_cut_ = false;
};

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
    session.detail = errno_text("stat", local);
    return LOCAL_NOT_A_FILE;
  }
  if (!S_ISREG(st.st_mode)) {
    session.detail = local + " is not a plain file";
    return LOCAL_NOT_A_FILE;
  }
  const int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    session.detail = errno_text("open", local);
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

long finish_failed_put(Session& session, long result, bool stopped, nanoseconds took) {
  if (stopped) {
    wait_for_receiver_to_give_up();
    return INTERRUPTED;
  }
  switch (result) {
    case FILE_HEADER_NOT_ACKED:
      // A NAK comes at once; silence for a whole time limit may mean the header
      // arrived and only its answer was lost, so the service may be waiting for blocks.
      if (took < time_limit()) return FILE_HEADER_NOT_ACKED;
      wait_for_receiver_to_give_up();
      session.detail = "the service did not answer the file's header";
      return LINK_TIMEOUT;
    case FILE_NO_LOCK:
    case FILE_NO_EXAMINE:
      settle();
      return result;
    default:
      wait_for_receiver_to_give_up();
      return result;
  }
}

}  // namespace

// --- The line ---

long open_line(Session& session, const std::string& device, long unit) {
  const long result = allocport(unit, device.c_str());
  if (result != PORT_OK) {
    session.detail = platform::last_line_error();
    freeport(unit);
    return result;
  }
  session.baud = kStartBaud;
  return PORT_OK;
}

void close_line() { freeport(0); }

// A service whose last customer went away without signing off still waits in
// its command loop, where an identification frame never completes a command
// frame: the sign-off command sends it back to waiting for an identification.
// A service that waits for one already takes the command frame for damaged
// identifications and says nothing.
void send_back_to_identification() {
  settle();
  char frame[kCommandFrameBytes] = {};
  frame[0] = static_cast<char>(cmd_customer_terminate);
  send_data(frame, kCommandFrameBytes);
  settle();
}

long identify_service(Session& session, const StopRequested& stop) {
  for (int attempt = 0; attempt < kIdentifyAttempts && !stop(); ++attempt) {
    drop_pending_input();
    const long result = identify('c');
    if (result == LINK_OK) return LINK_OK;
    // No answer at all, not a damaged one: perhaps a service left in its command loop.
    if (result == LINK_TIMEOUT && attempt + 1 < kIdentifyAttempts && !stop()) send_back_to_identification();
  }
  session.detail = "no answer to the identification after " + std::to_string(kIdentifyAttempts) + " tries";
  return NO_SERVICE;
}

// --- The service ---

long remote_pwd(Session& session) {
  const long sent = send_command(session, cmd_get_akt_dir);
  if (sent != LINK_OK) return sent;
  UBYTE reply[kCommandFrameBytes + 1] = {};
  const long result = receive_data(reply, kCommandFrameBytes);
  if (result != LINK_OK) {
    if (result == LINK_CHECK_ERROR) send_NAK();
    settle();
    session.detail = "the directory name did not arrive intact";
    return result;
  }
  send_ACK();
  const auto* text = reinterpret_cast<const char*>(reply);
  const std::size_t length = strnlen(text, kCommandFrameBytes);
  session.remote_dir.assign(text, length);
  session.remote_dir_cut = length == kCommandFrameBytes;
  return LINK_OK;
}

long remote_cd(Session& session, const std::string& dir) {
  if (dir.size() > kCommandArgumentBytes) {
    session.detail = "a directory name may have at most " + std::to_string(kCommandArgumentBytes) + " characters";
    return NAME_TOO_LONG;
  }
  if (session.remote_dir.empty()) {
    const long result = remote_pwd(session);
    if (result != LINK_OK) return result;
  }
  const std::string before = session.remote_dir;
  const bool before_cut = session.remote_dir_cut;
  long result = send_command(session, cmd_set_akt_dir, dir);
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
  const long sent = send_command(session, cmd_send_akt_dir);
  if (sent != LINK_OK) return sent;
  ListRows rows;
  const long result = receive_akt_dir(&rows.list);
  collect_entries(rows.list, entries);
  if (result != DIR_OK) settle();
  return result;
}

long remote_get(Session& session, const std::string& remote, const std::string& local, Gadget* gad,
                const StopRequested& stop) {
  if (remote.empty()) {
    session.detail = "name the file to fetch";
    return NAME_UNUSABLE;
  }
  if (remote.size() > kCommandArgumentBytes) {
    session.detail = "a file name on the service may have at most " + std::to_string(kCommandArgumentBytes) +
                     " characters";
    return NAME_TOO_LONG;
  }
  const std::string target = get_target(session, remote, local);
  if (target.empty()) return NAME_UNUSABLE;
  const long sent = send_command(session, cmd_send_file, remote);
  if (sent != LINK_OK) return sent;
  // The file is written under `target` alone, whatever name the service's
  // header gives, and only put in place once it is complete.
  StoppableGadget gadget(gad, stop);
  const long result = receive_file_to(&gadget, target.c_str());
  gadget.reconnect();
  if (result == FILE_OK) return FILE_OK;
  if (!refused_by_this_end(result)) settle();
  return gadget.was_cut() ? INTERRUPTED : result;
}

long remote_put(Session& session, const std::string& local, const std::string& remote, Gadget* gad,
                const StopRequested& stop) {
  std::int64_t size = 0;
  const long checked = check_local_file(session, local, size);
  if (checked != FILE_OK) return checked;
  const std::string wire_name = remote.empty() ? last_component(local) : remote;
  const long name_fits = check_wire_name(wire_name, size);
  if (name_fits == NAME_TOO_LONG) {
    session.detail = "'" + wire_name + "' is too long: the name and the size must fit the 60 bytes of the file header";
    return name_fits;
  }
  if (name_fits != 0) {
    session.detail = "'" + wire_name + "' cannot be a name on the line (empty, '.', '..', or a tab, line break or byte 0xAE in it)";
    return name_fits;
  }
  const long sent = send_command(session, cmd_receive_file);
  if (sent != LINK_OK) return sent;
  StoppableGadget gadget(gad, stop);
  const nanoseconds start = line().now();
  const long result = send_file_as(local.c_str(), wire_name.c_str(), &gadget);
  gadget.reconnect();
  if (result == FILE_OK) return FILE_OK;
  return finish_failed_put(session, result, gadget.was_cut(), line().now() - start);
}

long remote_set_baud(Session& session, long rate) {
  const long old_rate = session.baud;
  const std::string rate_text = std::to_string(rate);
  // Ask our own port first: once the service has switched, there is no way back.
  if (set_baud_rate(rate_text.c_str()) != PORT_OK) {
    session.detail = platform::last_line_error();
    set_baud_rate(std::to_string(old_rate).c_str());
    return RATE_REFUSED;
  }
  set_baud_rate(std::to_string(old_rate).c_str());
  const long sent = send_command(session, cmd_set_baud_rate, rate_text);
  if (sent != LINK_OK) return sent;
  // The service switches just after its ACK has left; switching later than it
  // does keeps our next frame from arriving at the old speed.
  delay_ticks(2 * kTicksBeforeParamChange);
  set_baud_rate(rate_text.c_str());
  session.baud = rate;
  if (remote_pwd(session) == LINK_OK) return LINK_OK;
  set_baud_rate(std::to_string(old_rate).c_str());
  session.baud = old_rate;
  session.lost = false;
  settle();
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

long shutdown_service(Session& session) {
  const long result = send_command(session, cmd_terminate);
  session.lost = true;
  return result;
}

// --- This end ---

long local_pwd(std::string& dir) {
  char name[kDirNameBytes + 1] = {};
  get_akt_dir(name);
  dir = name;
  return dir.empty() ? LOCAL_NO_DIRECTORY : DIR_OK;
}

long local_cd(Session& session, const std::string& dir) {
  if (!is_directory(dir)) {
    session.detail = "no directory " + dir + " here";
    return LOCAL_NO_DIRECTORY;
  }
  if (set_akt_dir(dir.c_str()) == 0) {
    session.detail = "cannot enter " + dir;
    return LOCAL_NO_DIRECTORY;
  }
  return DIR_OK;
}

long local_list(std::vector<RemoteEntry>& entries) {
  ListRows rows;
  const long result = read_akt_dir(&rows.list);
  collect_entries(rows.list, entries);
  return result;
}

// --- Names ---

std::string last_component(const std::string& path) {
  const std::size_t cut = path.find_last_of("/:");
  const std::string last = cut == std::string::npos ? path : path.substr(cut + 1);
  return last == "." || last == ".." ? std::string() : last;
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

}  // namespace customer_side
