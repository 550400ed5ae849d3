#include "mount/remote_files.h"
#include "mount/errno_of.h"
#include "mount/remote_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace quorvantix::mount {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Error;
using session::Result;

namespace {

using session::RemoteEntry;
using session::Session;

// The service's name of a folder below its folder `root`, in its own syntax:
// "/" between names, none after a volume's colon.
std::string joined(const std::string& root, const Folder& folder) {
  std::string whole = root;
  for (const auto& part : folder) {
    if (!whole.empty() && whole.back() != '/' && whole.back() != ':') whole += '/';
    whole += part;
  }
  return whole;
}

// What follows a name that the listing cut, in the name the mount shows for
// it. Whole names of that length end inside the listed part, so none clashes.
constexpr const char* kCutMark = "\u2026";  // HORIZONTAL ELLIPSIS

// The name an entry has in the mount: a cut one with its mark, so that it is
// listed and its stat says why it cannot be had (ENAMETOOLONG).
std::string shown_name(const RemoteEntry& entry) {
  return session::listing_cut(entry) ? entry.name + kCutMark : entry.name;
}

// Names that a folder of this machine can hold, by the rule that get -r
// keeps to: one name in its folder.
bool presentable(const RemoteEntry& entry) { return session::unusable_listed_name(shown_name(entry)).empty(); }

// A folder here holds a name once; a listing may give it more than once.
// Each name stays once: a whole one before a cut one, a folder, which cd
// reaches, before files of its name; files of one name with the size the
// listing gives them all, or none when it gives them different ones (the
// copy fetched tells it then).
std::vector<RemoteEntry> one_per_name(std::vector<RemoteEntry> entries) {
  std::vector<RemoteEntry> kept;
  std::map<std::string, std::size_t> kept_at;
  for (RemoteEntry& entry : entries) {
    const auto [first, fresh] = kept_at.emplace(shown_name(entry), kept.size());
    if (fresh) {
      kept.push_back(std::move(entry));
      continue;
    }
    RemoteEntry& known = kept[first->second];
    if (known.cut != entry.cut) {
      if (known.cut) known = std::move(entry);
    } else if (entry.is_folder() && !known.is_folder()) {
      known = std::move(entry);
    } else if (!entry.is_folder() && !known.is_folder() && entry.size != known.size) {
      known.size = -1;
    }
  }
  return kept;
}

}  // namespace

RemoteFiles::RemoteFiles(SessionSource& source, ScratchDir& scratch, host::Clock& clock, nanoseconds cache_timeout,
                         std::function<void(const std::string&)> note, std::function<bool()> interrupted)
    : source_(source),
      scratch_(scratch),
      clock_(clock),
      cache_timeout_(cache_timeout),
      note_(std::move(note)),
      interrupted_(std::move(interrupted)) {}

RemoteFiles::~RemoteFiles() = default;

bool RemoteFiles::fresh(nanoseconds fetched) const { return clock_.now() - fetched < cache_timeout_; }

// --- The session and the service's current folder ---

Session* RemoteFiles::current() {
  Session* session = source_.session();
  if (session == nullptr) return nullptr;
  if (out_of_step_) {
    out_of_step_ = false;
    if (!session->get_back_in_step()) return line_failure(*session), nullptr;
  }
  watch_for_interrupts(*session);
  return find_position(*session) == 0 ? session : nullptr;
}

// The link asks at each of its waits, and ends the exchange at once when the
// caller has given up.
void RemoteFiles::watch_for_interrupts(Session& session) {
  if (!interrupted_) return;
  session.link().on_wait([interrupted = interrupted_, &link = session.link()](nanoseconds) {
    if (interrupted()) link.cancel();
  });
}

int RemoteFiles::line_failure(Session& session) {
  if (session.link().cancelled() && interrupted_ && interrupted_()) {
    // The caller hears at once; the service may be in the middle of its side.
    session.link().clear_cancel();
    out_of_step_ = true;
    positioned_for_ = nullptr;
    return -EINTR;
  }
  if (session.lost() || session.link().lost()) {
    positioned_for_ = nullptr;
    out_of_step_ = false;
    source_.give_up();
  }
  return -EIO;
}

// A failure of the line, or one that left the link cancelled, is looked into
// further; the others have an errno of their own.
int RemoteFiles::failure(Session& session, const session::Error& error) {
  const int code = errno_of(error);
  return code == -EIO || session.link().cancelled() ? line_failure(session) : code;
}

// The folder above `folder` whose service name is `name`, if any.
std::optional<Folder> RemoteFiles::folder_above_named(const std::string& name, const Folder& folder) const {
  if (root_cut_ || name.empty()) return std::nullopt;
  for (std::size_t length = 0; length < folder.size(); ++length) {
    Folder above(folder.begin(), folder.begin() + static_cast<std::ptrdiff_t>(length));
    if (joined(*root_, above) == name) return above;
  }
  return std::nullopt;
}

// A new session (or one whose folder is in doubt) asks the service where it
// is: at the mount's root, where the last session left it, or somewhere else.
int RemoteFiles::find_position(Session& session) {
  if (positioned_for_ == &session) return 0;
  if (!session.remote_pwd()) return line_failure(session);
  positioned_for_ = &session;
  if (!root_) {
    root_ = session.remote_dir();
    root_cut_ = session.remote_dir_cut();
    at_ = Folder{};
  } else if (session.remote_dir() == *root_) {
    at_ = Folder{};
  } else if (session.remote_dir() != at_name_) {
    at_.reset();
  }
  at_name_ = session.remote_dir();
  return 0;
}

int RemoteFiles::change_to(Session& session, const std::string& argument, const Folder& folder) {
  const Result<> cd = session.remote_cd(argument);
  if (!cd && cd.error().kind != Kind::remote_dir_unconfirmed) {
    const int error = failure(session, cd.error());
    if (error == -EIO || error == -EINTR) positioned_for_ = nullptr;  // whether the service moved is not known
    return error;
  }
  at_ = folder;
  at_name_ = session.remote_dir();
  if (session.remote_dir_cut()) return 0;
  // A link on the service's side that leads back up: a tree without end.
  if (const std::optional<Folder> above = folder_above_named(session.remote_dir(), folder)) {
    at_ = *above;
    return -ELOOP;
  }
  return 0;
}

// One cd with the folder's whole name when it fits a command frame; else
// steps from where the service is, up with ".." and down by name, as many
// in one cd as fit.
int RemoteFiles::enter(Session& session, const Folder& folder) {
  if (at_ && *at_ == folder) return 0;
  if (!root_cut_) {
    const std::string whole = joined(*root_, folder);
    if (whole.size() <= session::kCommandArgumentBytes) return change_to(session, whole, folder);
  }
  if (!at_) return -EIO;
  std::size_t common = 0;
  while (common < at_->size() && common < folder.size() && (*at_)[common] == folder[common]) ++common;
  Folder steps(at_->size() - common, "..");
  steps.insert(steps.end(), folder.begin() + static_cast<std::ptrdiff_t>(common), folder.end());
  Folder position = *at_;
  std::string argument;
  for (const auto& step : steps) {
    if (!argument.empty() && argument.size() + 1 + step.size() > session::kCommandArgumentBytes) {
      if (const int result = change_to(session, argument, position); result != 0) return result;
      argument.clear();
    }
    argument += (argument.empty() ? "" : "/") + step;
    if (step == "..") {
      position.pop_back();
    } else {
      position.push_back(step);
    }
  }
  return change_to(session, argument, position);
}

// --- Listings and attributes ---

int RemoteFiles::listing(const std::string& folder, const Listing*& out) {
  if (const auto kept = listings_.find(folder); kept != listings_.end() && fresh(kept->second.fetched)) {
    out = &kept->second;
    return kept->second.too_long ? -EFBIG : 0;
  }
  if (cache_only_) return -EAGAIN;
  const Folder parts = parts_of(folder);
  if (parts.size() > session::kDeepestFolder) return -ELOOP;
  Session* session = current();
  if (session == nullptr) return -EIO;
  if (const int result = enter(*session, parts); result != 0) return result;
  drop_stale_listings();
  Listing fetched{clock_.now(), {}};
  const Result<> listed = [&] {
    const Turns::StateAway away(turns_);
    return session->remote_list(fetched.entries);
  }();
  if (!listed && listed.error().kind == Kind::listing_too_long) {
    if (note_) note_("the listing of " + folder + " goes on past " + std::to_string(session->most_listed()) +
                     " entries, the most the mount takes; it shows none of them");
    listings_[folder] = Listing{fetched.fetched, {}, true};
    return errno_of(listed.error());
  }
  if (!listed) return failure(*session, listed.error());
  fetched.entries = one_per_name(std::move(fetched.entries));
  out = &(listings_[folder] = std::move(fetched));
  return 0;
}

int RemoteFiles::attributes(const std::string& path, Attributes& out) { return look_up(path, out); }

namespace {

// Marks the answer being made as one from what is kept.
class CacheOnly {
 public:
  explicit CacheOnly(bool& flag) : flag_(flag) { flag_ = true; }
  ~CacheOnly() { flag_ = false; }
  CacheOnly(const CacheOnly&) = delete;
  CacheOnly& operator=(const CacheOnly&) = delete;

 private:
  bool& flag_;
};

}  // namespace

int RemoteFiles::cached_attributes(const std::string& path, Attributes& out) {
  const CacheOnly only(cache_only_);
  return look_up(path, out);
}

int RemoteFiles::cached_list(const std::string& path, FolderEntries& out) {
  const CacheOnly only(cache_only_);
  return list(path, out);
}

int RemoteFiles::look_up(const std::string& path, Attributes& out) {
  const Folder parts = parts_of(path);
  if (parts.empty()) {
    out = {true, 0, {}};
    return 0;
  }
  if (parts.size() > session::kDeepestFolder) return -ELOOP;
  const std::string key = key_of(parts);
  if (const Draft* draft = draft_of(key)) {
    out = {false, size_of_file(draft->fd.get()), kept_of(key)};
    return 0;
  }
  const Listing* folder = nullptr;
  if (const int result = listing(key_of(parent_of(parts)), folder); result != 0) return result;
  const std::string& name = parts.back();
  for (const auto& entry : folder->entries) {
    if (!presentable(entry) || shown_name(entry) != name) continue;
    if (session::listing_cut(entry)) return -ENAMETOOLONG;
    out = {entry.is_folder(), 0, entry.is_folder() ? KeptAttributes{} : kept_of(key)};
    return entry.is_folder() ? 0 : size_of_listed_file(key, entry, out.size);
  }
  for (const auto& entry : folder->entries) {
    if (session::listing_cut(entry) && name.starts_with(entry.name)) {
      return look_up_whole_name(key, entry, out);
    }
  }
  return -ENOENT;
}

// What is read comes from the copy, so while there is one its size is the
// one to show; a listing without a size has the file fetched to learn it.
int RemoteFiles::size_of_listed_file(const std::string& path, const RemoteEntry& entry, std::int64_t& size) {
  const auto copy = copies_.find(path);
  if (copy != copies_.end() && fresh(copy->second.fetched)) {
    size = size_of_file(copy->second.file);
    return 0;
  }
  if (entry.size >= 0) {
    size = entry.size;
    return 0;
  }
  if (cache_only_) return -EAGAIN;
  const Copy* fetched = nullptr;
  if (const int result = fetch(path, fetched); result != 0) return result;
  size = size_of_file(fetched->file);
  return 0;
}

// A name longer than the listing carries: a folder is tried with cd, a file
// by fetching it.
int RemoteFiles::look_up_whole_name(const std::string& path, const RemoteEntry& cut, Attributes& out) {
  if (cache_only_) return -EAGAIN;
  if (cut.is_folder()) {
    Session* session = current();
    if (session == nullptr) return -EIO;
    const int result = enter(*session, parts_of(path));
    if (result == 0) out = {true, 0, {}};
    return result;
  }
  const Copy* copy = nullptr;
  const int result = fetch(path, copy);
  if (result == -EACCES) return -ENOENT;
  if (result == 0) out = {false, size_of_file(copy->file), {}};
  return result;
}

int RemoteFiles::list(const std::string& path, FolderEntries& out) {
  const std::string key = key_of(parts_of(path));
  const Listing* folder = nullptr;
  if (const int result = listing(key, folder); result != 0) return result;
  for (const auto& entry : folder->entries) {
    if (presentable(entry)) out.push_back({shown_name(entry), {entry.is_folder(), std::max<std::int64_t>(entry.size, 0), {}}});
  }
  for (const auto& [file, draft] : drafts_) {
    if (draft.dropped) continue;
    const Folder parts = parts_of(file);
    if (key_of(parent_of(parts)) != key) continue;
    const bool listed = std::any_of(out.begin(), out.end(), [&](const auto& entry) { return entry.first == parts.back(); });
    if (!listed) out.push_back({parts.back(), {false, size_of_file(draft.fd.get()), {}}});
  }
  return 0;
}

}  // namespace quorvantix::mount
