#include "customer/console.h"

#include "customer/listings.h"
#include "customer/patterns.h"
#include "host/charset.h"
#include "host/file_system.h"
#include "wire/console_status.h"
#include "host/stop_signals.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Error;

namespace {

std::string stayed_in(const Session& session) {
  return session.remote_dir().empty() ? std::string() : " (it stayed in " + session.remote_dir() + ")";
}

std::string wire_failure(const Error& error) {
  switch (error.status) {
    case Status::frame_not_acked:
      return "the service refused the command";
    case Status::timed_out:
      return "the service's answer did not come in time";
    case Status::frame_damaged:
      return "the service's answer arrived damaged";
    default: {
      const std::string sentence = "failed with status " + std::to_string(console_number(error.status));
      return error.reason.empty() ? sentence : sentence + ": " + error.reason;
    }
  }
}

}  // namespace

std::string not_entered(Session& session, Console& console, const std::string& dir) {
  RemoteKind kind = kept_kind(session, console.listings, dir);
  const Entries* entries = nullptr;
  if (kind == RemoteKind::unknown && folder_listing(session, console.listings, folder_part(dir), entries)) {
    kind = kind_in(*entries, dir.substr(folder_part(dir).size()));
  }
  if (kind == RemoteKind::folder) {
    return "the service lists the folder " + quoted(dir) +
           " but does not enter it (it lacks the permission, or the line cannot carry the name)" + stayed_in(session);
  }
  if (kind == RemoteKind::file) return quoted(dir) + " is a file on the service, not a folder" + stayed_in(session);
  return "no directory " + quoted(dir) + " on the service" + stayed_in(session);
}

std::string link_failure(const Error& error, const Session& session) {
  switch (error.kind) {
    case Kind::wire:
      return wire_failure(error);
    case Kind::link_lost:
      return "the service does not answer any more; the session is over";
    case Kind::interrupted:
      return "stopped";
    case Kind::listing_too_long:
      return "the listing goes on past " + std::to_string(session.most_listed()) +
             " entries, the most this program takes; the rest was left out";
    default:
      return error.reason;  // the session's own sentence
  }
}

std::string listing_failure(const Error& error, const Session& session) {
  if (error.is(Status::listing_end_damaged)) return "the listing did not arrive intact";
  if (error.is(Status::listing_no_memory)) return "no memory for the whole listing";
  return link_failure(error, session);
}

std::string get_failure(const Error& error, const std::string& remote, const std::string& target,
                        const Session& session) {
  if (error.kind == Kind::interrupted) return "stopped; nothing was kept";
  if (error.kind != Kind::wire) return link_failure(error, session);
  switch (error.status) {
    case Status::header_damaged:
      return "the service sent no file " + quoted(remote) + " (it has none of that name, or cannot read it)" +
             (has_wildcard(remote) ? "; mget fetches the files that match a pattern" : "");
    case Status::header_bad:
      return "the service's answer for " + quoted(remote) + " was not a file header";
    case Status::no_current_folder:
    case Status::no_memory:
    case Status::no_volume_info:
      return "cannot find out how much room there is for " + target;
    case Status::write_protected:
      return "cannot store " + target + ": the disk is write-protected";
    case Status::no_room:
      return "not enough room for " + target;
    case Status::create_failed:
      if (host::is_temporary_name(target.substr(target.rfind('/') + 1).c_str())) {
        return "cannot store " + target + ": names of that shape are kept for files while they are being stored";
      }
      return "cannot create the local file " + target;
    case Status::too_many_failures:
      return "the transfer of " + quoted(remote) + " broke off after repeated failures on the line; nothing was kept";
    case Status::write_failed:
      return "writing " + target + " failed; nothing was kept";
    default:
      return link_failure(error, session);
  }
}

std::string put_failure(const Error& error, const std::string& local, const std::string& remote,
                        const Session& session) {
  if (error.kind == Kind::interrupted) return "stopped; nothing was kept on the service";
  if (error.kind != Kind::wire) return link_failure(error, session);
  switch (error.status) {
    case Status::header_not_acked:
      return "the service refused to store " + quoted(remote) +
             " (its disk is full or write-protected, or it cannot create a file of that name)";
    case Status::timed_out:
      return error.reason;
    case Status::no_such_object:
    case Status::not_a_plain_file:
    case Status::open_failed:
    case Status::read_failed:
      return "reading " + local + " failed";
    case Status::too_many_failures:
      return "the transfer of " + quoted(remote) + " broke off after repeated failures on the line; nothing was kept on "
             "the service";
    default:
      return link_failure(error, session);
  }
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

// The names a message quotes may come from the service: the message is shown
// as a name is, so that none of them steers the terminal or forges a line.
void say(Console& console, const std::string& command, const std::string& message) {
  console.err << console.where << command << ": " << host::shown_name(message) << '\n';
}

bool stop_requested() { return host::StopSignals::caught() != 0; }

}  // namespace quorvantix::customer
