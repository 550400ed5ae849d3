#include "customer/console.h"

#include "customer/listings.h"
#include "host/charset.h"
#include "host/stop_signals.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;

namespace {

std::string with_detail(const std::string& sentence, const Session& session) {
  return session.detail.empty() ? sentence : sentence + ": " + session.detail;
}

std::string stayed_in(const Session& session) {
  return session.remote_dir.empty() ? std::string() : " (it stayed in " + session.remote_dir + ")";
}

}  // namespace

std::string not_entered(Session& session, Console& console, const std::string& dir) {
  RemoteKind kind = kept_kind(session, console.listings, dir);
  const Entries* entries = nullptr;
  if (kind == RemoteKind::unknown && folder_listing(session, console.listings, folder_part(dir), entries) == LINK_OK) {
    kind = kind_in(*entries, dir.substr(folder_part(dir).size()));
  }
  if (kind == RemoteKind::folder) {
    return "the service lists the folder " + quoted(dir) +
           " but does not enter it (it lacks the permission, or the line cannot carry the name)" + stayed_in(session);
  }
  if (kind == RemoteKind::file) return quoted(dir) + " is a file on the service, not a folder" + stayed_in(session);
  return "no directory " + quoted(dir) + " on the service" + stayed_in(session);
}

std::string link_failure(long status, const Session& session) {
  switch (status) {
    case LINK_LOST:
      return "the service does not answer any more; the session is over";
    case LINK_NOT_ACKED:
      return "the service refused the command";
    case LINK_TIMEOUT:
      return "the service's answer did not come in time";
    case LINK_CHECK_ERROR:
      return "the service's answer arrived damaged";
    case LINE_FLOODED:
      return session.detail;
    case LISTING_TOO_LONG:
      return "the listing goes on past " + std::to_string(session.most_listed) +
             " entries, the most this program takes; the rest was left out";
    case NAME_TOO_LONG:
    case NAME_UNUSABLE:
    case LOCAL_NOT_A_FILE:
    case LOCAL_TOO_LARGE:
    case LOCAL_NO_DIRECTORY:
    case RATE_REFUSED:
    case RATE_NOT_TAKEN:
    case CHARSET_UNKNOWN:
    case REMOTE_DIR_UNCHANGED:
    case REMOTE_DIR_UNCONFIRMED:
      return session.detail;
    default:
      return with_detail("failed with status " + std::to_string(status), session);
  }
}

std::string listing_failure(long status, const Session& session) {
  if (status == DIR_END_DAMAGED) return "the listing did not arrive intact";
  if (status == DIR_NO_MEMORY) return "no memory for the whole listing";
  if (status == INTERRUPTED) return "stopped";
  return link_failure(status, session);
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

// The names a message quotes may come from the service: the message is shown
// as a name is, so that none of them steers the terminal or forges a line.
void say(Console& console, const std::string& command, const std::string& message) {
  console.err << console.where << command << ": " << host::shown_name(message) << '\n';
}

bool stop_requested() { return host::StopSignals::caught() != 0; }

}  // namespace quorvantix::customer
