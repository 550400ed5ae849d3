#include "session/session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "session/exchange.h"
#include "wire/file_stream.h"
#include "wire/wire.h"

namespace quorvantix::session {

using namespace quorvantix::wire;

namespace {

using std::chrono::nanoseconds;

std::string cannot_read(const std::string& path) { return "cannot read " + path + ": " + std::strerror(errno); }

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
  // The session's codes until it fails in a way of its own (status_code).
  const long result = status_code(receive_file_to(session.link, *session.local_files, gad, target.c_str()));
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
  const long result =  // see status_code
      status_code(send_file_as(session.link, *session.local_files, local.c_str(), wire_name.c_str(), gad));
  if (result == FILE_OK) return FILE_OK;
  return finish_failed_put(session, result, session.link.now() - start);
}

}  // namespace quorvantix::session
