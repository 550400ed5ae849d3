#include "customer/listings.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Result;

namespace {

// No folder's path: where a listing goes that is not kept.
const std::string kNotKept = "\n";

Result<> know_current_folder(Session& session) {
  return session.remote_dir().empty() ? session.remote_pwd() : Result<>();
}

// Back to `start` after a listing elsewhere.
Result<> come_back(Session& session, const std::string& start) {
  const Result<> back = session.remote_cd(start);
  if (back || back.error().kind == Kind::link_lost || back.error().kind == Kind::interrupted) return back;
  return fail(Kind::remote_dir_unchanged, "could not go back to " + start + "; the service is in " + session.remote_dir());
}

}  // namespace

std::string folder_part(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const Entries* kept_listing(const Session& session, const RemoteListings& listings, const std::string& folder) {
  if (session.remote_dir_cut() || (session.remote_dir().empty() && !folder.empty())) return nullptr;
  const std::string key = folder.empty() ? session.remote_dir() : service_path(session.remote_dir(), folder);
  const auto kept = listings.folders.find(key);
  return kept == listings.folders.end() ? nullptr : &kept->second;
}

Result<> current_listing(Session& session, RemoteListings& listings, const Entries*& entries, bool fresh) {
  // Until the session reads a folder's name, the service is in the folder it
  // serves, kept under "". A folder whose name the line cut is not kept.
  const std::string key = session.remote_dir_cut() ? kNotKept : session.remote_dir();
  const auto kept = listings.folders.find(key);
  if (kept != listings.folders.end() && !fresh && key != kNotKept) {
    entries = &kept->second;
    return {};
  }
  Entries listed;
  const Result<> listing = session.remote_list(listed);
  // What came of a listing that failed is shown, not kept.
  entries = &(listings.folders[listing ? key : kNotKept] = std::move(listed));
  return listing;
}

Result<> folder_listing(Session& session, RemoteListings& listings, const std::string& folder, const Entries*& entries,
                        bool fresh) {
  if (folder.empty()) return current_listing(session, listings, entries, fresh);
  if (const Result<> known = know_current_folder(session); !known) return known;
  const std::string start = session.remote_dir();
  const std::string key = service_path(start, folder);
  if (!session.remote_dir_cut() && key == start) return current_listing(session, listings, entries, fresh);
  if (session.remote_dir_cut()) {
    return fail(Kind::remote_dir_unconfirmed, "the name of the service's folder is too long to come back to");
  }
  const auto kept = listings.folders.find(key);
  if (kept != listings.folders.end() && !fresh) {
    entries = &kept->second;
    return {};
  }
  if (const Result<> entered = session.remote_cd(folder); !entered) {
    if (entered.error().kind != Kind::remote_dir_unconfirmed) return entered;
    // Names too long to tell where it went: no listing to trust.
    const Result<> back = come_back(session, start);
    return fail(Kind::remote_dir_unchanged, back ? std::string() : back.error().reason);
  }
  Entries listed;
  const Result<> listing = session.remote_list(listed);
  const Result<> back = come_back(session, start);
  if (!listing) return listing;
  entries = &(listings.folders[key] = std::move(listed));
  return back;
}

RemoteKind kind_in(const Entries& entries, const std::string& name) {
  if (name == "." || name == "..") return RemoteKind::folder;
  bool maybe_cut = false;
  for (const RemoteEntry& entry : entries) {
    if (!entry.cut && entry.name == name) return entry.is_folder() ? RemoteKind::folder : RemoteKind::file;
    maybe_cut = maybe_cut || (entry.cut && name.size() > entry.name.size() && name.starts_with(entry.name));
  }
  return maybe_cut ? RemoteKind::unknown : RemoteKind::absent;
}

RemoteKind kept_kind(const Session& session, const RemoteListings& listings, const std::string& path) {
  const std::string folder = folder_part(path), name = path.substr(folder.size());
  if (name.empty()) return path.empty() ? RemoteKind::unknown : RemoteKind::folder;
  const Entries* entries = kept_listing(session, listings, folder);
  return entries == nullptr ? RemoteKind::unknown : kind_in(*entries, name);
}

}  // namespace quorvantix::customer
