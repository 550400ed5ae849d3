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
bool refused_by_this_end(Status status) {
  switch (status) {
    case Status::no_current_folder:
    case Status::no_memory:
    case Status::no_volume_info:
    case Status::write_protected:
    case Status::no_room:
    case Status::create_failed:
      return true;
    default:
      return false;
  }
}

// The size of the local file to store, a readable plain file the header can count.
Result<std::int64_t> local_file_size(const std::string& local) {
  struct stat st {};
  if (stat(local.c_str(), &st) != 0) {
    return fail(Kind::local_not_a_file, errno == ENOENT ? "there is no file " + local : cannot_read(local));
  }
  if (!S_ISREG(st.st_mode)) {
    return fail(Kind::local_not_a_file,
                S_ISDIR(st.st_mode) ? local + " is a folder (put -r stores a folder)" : local + " is not a plain file");
  }
  const int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(Kind::local_not_a_file, cannot_read(local));
  close(fd);
  if (st.st_size / kBlockBytes > INT32_MAX) {
    return fail(Kind::local_too_large, local + " is larger than the line can announce");
  }
  return static_cast<std::int64_t>(st.st_size);
}

}  // namespace

bool Session::take_back_stop() {
  if (!link_.cancelled()) return false;
  link_.clear_cancel();
  if (on_stop_) on_stop_();
  return true;
}

Result<> Session::finish_failed_put(const wire::Error& failure, nanoseconds took) {
  if (take_back_stop()) {
    wait_for_receiver_to_give_up(link_);
    return fail(Kind::interrupted);
  }
  switch (failure.status) {
    case Status::header_not_acked:
      // A NAK comes at once; silence for a whole time limit may mean the header
      // arrived and only its answer was lost, so the service may be waiting for blocks.
      if (took < time_limit(link_)) return wire_failure(failure);
      wait_for_receiver_to_give_up(link_);
      return host::Failure<Error>{Error{Kind::wire, "the service did not answer the file's header", Status::timed_out}};
    case Status::no_such_object:
    case Status::not_a_plain_file:
      settle(link_);
      return wire_failure(failure);
    default:
      wait_for_receiver_to_give_up(link_);
      return wire_failure(failure);
  }
}

Result<> Session::remote_get(const std::string& remote, const std::string& local, Gadget* gad) {
  if (remote.empty()) return fail(Kind::name_unusable, "name the file to fetch");
  const Result<std::string> wire = command_argument(remote, "a file name on the service");
  if (!wire) return host::Failure<Error>{wire.error()};
  const Result<std::string> target = get_target(remote, local);
  if (!target) return host::Failure<Error>{target.error()};
  const Result<> sent = send_command(cmd_send_file, *wire);
  // Stopped with the command under way: the service may have it and send the
  // file until it gives up. The ends are in step once the line is quiet.
  if (!sent && sent.error().kind == Kind::interrupted && take_back_stop()) {
    if (const Result<> back = get_back_in_step(); !back) return back;
  }
  if (!sent) return sent;
  // The file is written under `target` alone, whatever name the service's
  // header gives, and only put in place once it is complete.
  const wire::Result<> got = receive_file_to(link_, *local_files_, gad, target->c_str());
  if (got) return {};
  const bool stopped = take_back_stop();
  if (!refused_by_this_end(got.error().status)) {
    if (const Result<> back = get_back_in_step(); !back) return back;
  }
  if (stopped) return fail(Kind::interrupted);
  return wire_failure(got.error());
}

Result<> Session::remote_put(const std::string& local, const std::string& remote, Gadget* gad) {
  const Result<std::int64_t> size = local_file_size(local);
  if (!size) return host::Failure<Error>{size.error()};
  const std::string name = remote.empty() ? last_component(local) : remote;
  const Result<const host::NameCodec*> names = wire_names();
  if (!names) return host::Failure<Error>{names.error()};
  std::string wire_name;
  if (!(*names)->to_wire(name, wire_name)) {
    return fail(Kind::name_unusable, "'" + name + "' has no form in " + charset_ +
                                         ", the line's character set: store it under another name (put LOCAL "
                                         "REMOTE), or choose the set with --charset");
  }
  if (const Result<> fits = check_wire_name(wire_name, *size); !fits) {
    return fail(fits.error().kind, unusable_wire_name(name, wire_name, fits.error().kind));
  }
  const Result<> sent = send_command(cmd_receive_file);
  if (!sent && sent.error().kind == Kind::interrupted && take_back_stop()) {
    // Stopped with the command under way: the service may have it and wait
    // for the file's header until it gives up.
    wait_for_receiver_to_give_up(link_);
  }
  if (!sent) return sent;
  const nanoseconds start = link_.now();
  const wire::Result<> sent_file = send_file_as(link_, *local_files_, local.c_str(), wire_name.c_str(), gad);
  if (sent_file) return {};
  return finish_failed_put(sent_file.error(), link_.now() - start);
}

}  // namespace quorvantix::session
