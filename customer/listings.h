// The service's folders as their listings showed them, kept for the session.
// Completion, `ls` and the hints of get, put and cd read a kept listing
// instead of asking the line again; the commands that act on what a folder
// holds (mget, mput, get -r, ls) list it anew. A listing of a folder other
// than the current one is had by going there (cd), listing it and coming
// back, three exchanges more: hence the keeping.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "session/session.h"

namespace quorvantix::customer {

using Entries = std::vector<session::RemoteEntry>;

struct RemoteListings {
  // By the service's path of the folder; the folder served under "" until
  // the session has read its name. One whose name the line cut (60 bytes or
  // more) is listed anew each time.
  std::map<std::string, Entries> folders;
  // What a file stored on the service changes: every kept listing.
  void forget() { folders.clear(); }
};

// What the kept listings say a path on the service is.
enum class RemoteKind {
  unknown,  // no listing of its folder is kept, or one that cut a name that may be it
  absent,   // its folder's listing does not have it
  file,
  folder,
};

// The listing of the service's current folder: kept, or listed now; `fresh`
// lists it anew in any case. Success with `entries` set, or the failure of
// the listing with `entries` set to what arrived of it, which is not kept.
session::Result<> current_listing(session::Session& session, RemoteListings& listings, const Entries*& entries, bool fresh = false);
// The same for `folder`, relative to the current folder or absolute. One that
// is not kept is listed by going there and back: remote_dir_unchanged when
// there is no such folder (or the service cannot enter it), and when the way
// back fails, saying so (session.remote_dir() says where the service is
// then); remote_dir_unconfirmed when the current folder's name is too long
// to come back to.
session::Result<> folder_listing(session::Session& session, RemoteListings& listings, const std::string& folder,
                                 const Entries*& entries, bool fresh = false);
// What `path` is, by the kept listings alone (nothing is sent): a path that
// ends in '/' is a folder.
RemoteKind kept_kind(const session::Session& session, const RemoteListings& listings, const std::string& path);
// What the listing `entries` says `name` is in its folder.
RemoteKind kind_in(const Entries& entries, const std::string& name);
// The kept listing of `folder` (relative or absolute; "" the current one), or null.
const Entries* kept_listing(const session::Session& session, const RemoteListings& listings,
                            const std::string& folder = "");

// "docs/a.txt" gives "docs/", "a.txt" gives "": the folder part of a path
// on the service, as typed, with its '/'.
std::string folder_part(const std::string& path);

}  // namespace quorvantix::customer
