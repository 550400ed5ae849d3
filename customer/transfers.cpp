#include "customer/transfers.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "customer/listing_output.h"
#include "customer/patterns.h"
#include "customer/progress.h"
#include "customer/text_width.h"
#include "customer/transfer_steps.h"
#include "host/fs.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Result;

namespace {

using std::chrono::nanoseconds;


}  // namespace

bool get_file(Session& session, Console& console, const std::string& remote, const std::string& local, bool replace) {
  const RemoteKind kind = kept_kind(session, console.listings, remote);
  if (kind == RemoteKind::folder) {
    say(console, "get", quoted(remote) + " is a folder on the service: get -r fetches a folder");
    return false;
  }
  if (kind == RemoteKind::absent && has_wildcard(remote)) {
    say(console, "get", quoted(remote) + " names no file on the service: mget fetches the files that match a pattern");
    return false;
  }
  const Result<std::string> target = session.get_target(remote, local);
  if (!target) {
    say(console, "get", target.error().reason);
    return false;
  }
  return fetch_one(session, console, nullptr, Existing{replace, false, "get"}, remote, *target, remote);
}

bool put_file(Session& session, Console& console, const std::string& local, const std::string& remote) {
  bool into_folder = !remote.empty() && remote.back() == '/';
  const Entries* entries = nullptr;
  // The listing of REMOTE's folder (kept, or fetched now) tells a folder from a file's name.
  if (!remote.empty() && !into_folder &&
      folder_listing(session, console.listings, folder_part(remote), entries)) {
    into_folder = kind_in(*entries, remote.substr(folder_part(remote).size())) == RemoteKind::folder;
  }
  return store_one(session, console, nullptr, "put", local, into_folder ? joined(remote, last_component(local)) : remote);
}

}  // namespace quorvantix::customer
