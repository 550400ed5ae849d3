#include "listings.h"

namespace customer_side {
namespace {

long know_current_folder(Session& session) {
  return session.remote_dir.empty() ? remote_pwd(session) : LINK_OK;
}

// Back to `start` after a listing elsewhere.
long come_back(Session& session, const std::string& start) {
  const std::string away = session.remote_dir;
  const long status = remote_cd(session, start);
  if (status == LINK_OK || status == LINK_LOST || status == INTERRUPTED) return status;
  session.detail = "could not go back to " + start + "; the service is in " + session.remote_dir;
  return REMOTE_DIR_UNCHANGED;
}

}  // namespace

std::string folder_part(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const Entries* kept_listing(const Session& session, const RemoteListings& listings, const std::string& folder) {
  if (session.remote_dir.empty() || session.remote_dir_cut) return nullptr;
  const auto kept = listings.folders.find(service_path(session.remote_dir, folder.empty() ? "." : folder));
  return kept == listings.folders.end() ? nullptr : &kept->second;
}

long current_listing(Session& session, RemoteListings& listings, const Entries*& entries, bool fresh) {
  if (const long known = know_current_folder(session); known != LINK_OK) return known;
  const std::string key = session.remote_dir_cut ? std::string() : session.remote_dir;
  const auto kept = listings.folders.find(key);
  if (kept != listings.folders.end() && !fresh && !key.empty()) {
    entries = &kept->second;
    return LINK_OK;
  }
  Entries listed;
  const long status = remote_list(session, listed);
  if (status != DIR_OK) return status;
  entries = &(listings.folders[key] = std::move(listed));
  return LINK_OK;
}

long folder_listing(Session& session, RemoteListings& listings, const std::string& folder, const Entries*& entries,
                    bool fresh) {
  if (const long known = know_current_folder(session); known != LINK_OK) return known;
  const std::string start = session.remote_dir;
  const std::string key = service_path(start, folder.empty() ? "." : folder);
  if (folder.empty() || (!session.remote_dir_cut && key == start)) {
    return current_listing(session, listings, entries, fresh);
  }
  if (session.remote_dir_cut) {
    session.detail = "the name of the service's folder is too long to come back to";
    return REMOTE_DIR_UNCONFIRMED;
  }
  const auto kept = listings.folders.find(key);
  if (kept != listings.folders.end() && !fresh) {
    entries = &kept->second;
    return LINK_OK;
  }
  const long entered = remote_cd(session, folder);
  if (entered != LINK_OK) {
    // Names too long to tell where it went: no listing to trust.
    if (entered == REMOTE_DIR_UNCONFIRMED) come_back(session, start);
    return entered == REMOTE_DIR_UNCONFIRMED ? REMOTE_DIR_UNCHANGED : entered;
  }
  Entries listed;
  const long status = remote_list(session, listed);
  const long back = come_back(session, start);
  if (status != DIR_OK) return status;
  entries = &(listings.folders[key] = std::move(listed));
  return back;
}

RemoteKind kept_kind(const Session& session, const RemoteListings& listings, const std::string& path) {
  const std::string folder = folder_part(path), name = path.substr(folder.size());
  if (name.empty() || name == "." || name == "..") return path.empty() ? RemoteKind::unknown : RemoteKind::folder;
  const Entries* entries = kept_listing(session, listings, folder);
  if (entries == nullptr) return RemoteKind::unknown;
  bool maybe_cut = false;
  for (const RemoteEntry& entry : *entries) {
    if (!entry.cut && entry.name == name) return entry.is_dir ? RemoteKind::folder : RemoteKind::file;
    maybe_cut = maybe_cut || (entry.cut && name.size() > entry.name.size() && name.starts_with(entry.name));
  }
  return maybe_cut ? RemoteKind::unknown : RemoteKind::absent;
}

}  // namespace customer_side
