#include "mount/remote_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "mount/errno_of.h"
#include "mount/remote_paths.h"

namespace quorvantix::mount {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Result;

namespace {

std::timespec now_on_this_machine() {
  std::timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

}  // namespace

KeptAttributes RemoteFiles::kept_of(const std::string& path) const {
  const auto kept = kept_.find(path);
  return kept == kept_.end() ? KeptAttributes{} : kept->second;
}

// --- Reading ---

int RemoteFiles::fetch(const std::string& path, const Copy*& out) {
  if (const auto kept = copies_.find(path); kept != copies_.end() && fresh(kept->second.fetched)) {
    out = &kept->second;
    return 0;
  }
  drop_stale_copies();
  Session* session = current();
  if (session == nullptr) return -EIO;
  const Folder parts = parts_of(path);
  if (const int result = enter(*session, parent_of(parts)); result != 0) return result;
  const std::string file = scratch_.fresh_name("copy");
  const Result<> got = [&] {
    const Turns::StateAway away(turns_);
    return session->remote_get(parts.back(), file, nullptr);
  }();
  if (!got) return failure(*session, got.error());
  forget_copy(path);
  out = &(copies_[path] = Copy{file, clock_.now()});
  return 0;
}

// A listing past the timeout is fetched anew when asked for: memory keeps
// the fresh ones alone, however many folders a walk through the mount visits.
void RemoteFiles::drop_stale_listings() {
  std::erase_if(listings_, [this](const auto& kept) { return !fresh(kept.second.fetched); });
}

// A copy past the timeout serves no open that comes (one that is open reads
// it on): the scratch disk keeps the fresh ones alone.
void RemoteFiles::drop_stale_copies() {
  for (auto copy = copies_.begin(); copy != copies_.end();) {
    if (fresh(copy->second.fetched)) {
      ++copy;
      continue;
    }
    ::unlink(copy->second.file.c_str());
    copy = copies_.erase(copy);
  }
}

void RemoteFiles::forget_copy(const std::string& path) {
  const auto kept = copies_.find(path);
  if (kept == copies_.end()) return;
  ::unlink(kept->second.file.c_str());
  copies_.erase(kept);
}

int RemoteFiles::open(const std::string& path, int flags, std::uint64_t& handle) {
  const std::string key = key_of(parts_of(path));
  const bool reading = (flags & O_ACCMODE) == O_RDONLY;
  if (Draft* draft = draft_of(key)) return open_on_draft(key, *draft, flags, handle);
  Attributes found;
  if (const int result = look_up(key, found); result != 0) return result;
  if (found.is_dir) return -EISDIR;
  const Copy* copy = nullptr;
  if (reading || (flags & O_TRUNC) == 0) {
    if (const int result = fetch(key, copy); result != 0) return result;
  }
  if (!reading) return open_for_writing(key, copy, false, handle);
  host::UniqueFd fd(::open(copy->file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -errno;
  handle = next_handle_++;
  open_files_[handle] = OpenFile{key, std::move(fd), false, false};
  return 0;
}

// --- Writing ---

// A temporary as mkstemp, editors and rsync make them: a name that begins
// with '.', or no access for group and others.
namespace {

bool looks_temporary(const std::string& name, mode_t mode) { return name.front() == '.' || (mode & 077) == 0; }

}  // namespace

int RemoteFiles::create(const std::string& path, std::uint64_t& handle, mode_t mode) {
  const Folder parts = parts_of(path);
  if (parts.empty()) return -EEXIST;
  if (const Result<> fits = session::check_wire_name(parts.back(), 0); !fits) return errno_of(fits.error());
  Attributes folder;
  if (const int result = look_up(key_of(parent_of(parts)), folder); result != 0) return result;
  if (!folder.is_dir) return -ENOTDIR;
  const std::string key = key_of(parts);
  if (Draft* draft = draft_of(key)) return open_on_draft(key, *draft, O_RDWR | O_TRUNC, handle);
  // A name the service has is written over, as an open with O_TRUNC does.
  Attributes existing;
  const int known = look_up(key, existing);
  if (known == 0 && existing.is_dir) return -EISDIR;
  if (known != 0 && known != -ENOENT) return known;
  const bool new_here = known == -ENOENT;
  const int result = open_for_writing(key, nullptr, new_here && looks_temporary(parts.back(), mode), handle);
  if (result == 0) drafts_.at(key).new_here = new_here;
  return result;
}

int RemoteFiles::open_for_writing(const std::string& path, const Copy* start, bool local_only, std::uint64_t& handle) {
  const std::string file = scratch_.fresh_name("write");
  if (start != nullptr) {
    std::error_code error;
    if (!std::filesystem::copy_file(start->file, file, error)) return -(error.value() != 0 ? error.value() : EIO);
  }
  host::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return -errno;
  Draft& draft = drafts_[path] = Draft{file, std::move(fd)};
  draft.changed = start == nullptr;
  draft.as_stored = start != nullptr;
  draft.local_only = local_only;
  return open_on_draft(path, draft, O_RDWR, handle);
}

// Every open of a file being written reads and writes its one draft. An
// O_TRUNC empties it, but is stored only with what is written after it, or
// at the last release: the shell's redirect closes a duplicate first.
int RemoteFiles::open_on_draft(const std::string& path, Draft& draft, int flags, std::uint64_t& handle) {
  const bool writable = (flags & O_ACCMODE) != O_RDONLY;
  if (writable && (flags & O_TRUNC) != 0 && size_of_file(draft.fd.get()) != 0) {
    if (ftruncate(draft.fd.get(), 0) != 0) return -errno;
    draft.changed = true;
    draft.as_stored = false;
  }
  ++draft.opens;
  handle = next_handle_++;
  open_files_[handle] = OpenFile{path, host::UniqueFd(), writable, false};
  return 0;
}

RemoteFiles::Draft* RemoteFiles::draft_of(const std::string& path) {
  const auto found = drafts_.find(path);
  return found == drafts_.end() || found->second.dropped ? nullptr : &found->second;
}

RemoteFiles::OpenFile* RemoteFiles::find(std::uint64_t handle) {
  const auto found = open_files_.find(handle);
  return found == open_files_.end() ? nullptr : &found->second;
}

// A reader's own copy, or the file's draft.
int RemoteFiles::fd_of(const OpenFile& file) {
  if (file.fd) return file.fd.get();
  const auto draft = drafts_.find(file.path);
  return draft == drafts_.end() ? -1 : draft->second.fd.get();
}

int RemoteFiles::read(std::uint64_t handle, char* into, std::size_t size, off_t offset) {
  OpenFile* file = find(handle);
  if (file == nullptr) return -EBADF;
  const ssize_t got = pread(fd_of(*file), into, size, offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

int RemoteFiles::write(std::uint64_t handle, const char* from, std::size_t size, off_t offset) {
  OpenFile* file = find(handle);
  if (file == nullptr || !file->writable) return -EBADF;
  Draft& draft = drafts_.at(file->path);
  const ssize_t put = pwrite(draft.fd.get(), from, size, offset);
  if (put < 0) return -errno;
  file->wrote = draft.changed = draft.written_since_times = true;
  draft.as_stored = false;
  return static_cast<int>(put);
}

int RemoteFiles::attributes(std::uint64_t handle, Attributes& out) {
  OpenFile* file = find(handle);
  if (file == nullptr) return -EBADF;
  out = {false, size_of_file(fd_of(*file)), kept_of(file->path)};
  return 0;
}

int RemoteFiles::truncate(std::uint64_t handle, off_t size) {
  OpenFile* file = find(handle);
  if (file == nullptr || !file->writable) return -EBADF;
  Draft& draft = drafts_.at(file->path);
  if (ftruncate(draft.fd.get(), size) != 0) return -errno;
  file->wrote = draft.changed = draft.written_since_times = true;
  draft.as_stored = false;
  return 0;
}

int RemoteFiles::truncate(const std::string& path, off_t size) {
  std::uint64_t handle = 0;
  int result = open(path, O_WRONLY | (size == 0 ? O_TRUNC : 0), handle);
  if (result != 0) return result;
  result = truncate(handle, size);
  if (result == 0) result = flush(handle);
  release(handle);
  return result;
}

int RemoteFiles::flush(std::uint64_t handle, Closing how) {
  OpenFile* file = find(handle);
  if (file == nullptr) return -EBADF;
  if (!file->writable) return 0;
  Draft& draft = drafts_.at(file->path);
  // A killed program may have shared the descriptor with one that lives on
  // (a child killed by timeout, its shell writing on): a later close decides.
  file->killed = how == Closing::by_a_killed_writer;
  if (file->killed) return 0;
  // A close that wrote nothing stores only a file new on the service, or one
  // whose store failed: the shell's redirect closes its duplicate first.
  const bool written = file->wrote || draft.new_here || draft.store_failed;
  if (!written || draft.opens > 1 || draft.local_only || draft.dropped || !draft.changed) return 0;
  const int result = store(file->path, draft);
  if (result == 0) file->wrote = false;
  return result;
}

int RemoteFiles::fsync(std::uint64_t handle) {
  OpenFile* file = find(handle);
  if (file == nullptr) return -EBADF;
  Draft* draft = draft_of(file->path);
  // A file that lives only in the mount stays there: vim syncs its swap file.
  if (draft == nullptr || !draft->changed || draft->local_only) return 0;
  file->wrote = false;
  return store(file->path, *draft);
}

int RemoteFiles::store(const std::string& path, Draft& draft) {
  const int result = store_as(path, draft, path);
  if (result == 0) {
    draft.local_only = false;
    if (draft.written_since_times) kept_[path].modified = now_on_this_machine();
  }
  return result;
}

// Stores the draft under `name`: the service takes it whole or keeps what it had.
int RemoteFiles::store_as(const std::string& path, Draft& draft, const std::string& name) {
  draft.as_stored = false;
  draft.store_failed = true;
  Session* session = current();
  if (session == nullptr) return -EIO;
  const Folder parts = parts_of(name);
  if (const int result = enter(*session, parent_of(parts)); result != 0) return result;
  const Result<> put = [&] {
    const Turns::StateAway away(turns_);
    return session->remote_put(draft.file, parts.back(), nullptr);
  }();
  listings_.erase(key_of(parent_of(parts)));
  forget_copy(name);
  if (!put) return failure(*session, put.error());
  draft.as_stored = path == name;
  draft.store_failed = draft.changed = draft.new_here = false;
  return 0;
}

void RemoteFiles::note_failure(const std::string& what, const std::string& path, int error) {
  if (error != 0 && note_) note_(what + " " + path + " failed: " + std::strerror(-error));
}

int RemoteFiles::release(std::uint64_t handle) {
  OpenFile* file = find(handle);
  if (file == nullptr) return -EBADF;
  const std::string path = file->path;
  const bool on_draft = !file->fd, killed = file->killed;
  open_files_.erase(handle);
  const auto draft = drafts_.find(path);
  if (!on_draft || draft == drafts_.end() || --draft->second.opens > 0) return 0;
  if (killed) {
    drop(path);  // the service keeps what it had
    return 0;
  }
  int result = 0;
  Draft& last = draft->second;
  // A store that failed at a close was told to its caller, and is not tried again.
  if (!last.dropped && !last.local_only && last.changed && !last.store_failed) {
    result = store(path, last);
    note_failure("storing", path, result);
  }
  if (last.local_only && !last.dropped) {
    last.closed = clock_.now();
    return result;
  }
  close_draft(path);
  return result;
}

// The draft of a file no longer open: what the service holds becomes the
// copy that the next open reads; anything else goes.
void RemoteFiles::close_draft(const std::string& path) {
  const auto draft = drafts_.find(path);
  if (draft == drafts_.end()) return;
  if (draft->second.as_stored && !draft->second.dropped) {
    forget_copy(path);
    copies_[path] = Copy{draft->second.file, clock_.now()};
  } else {
    ::unlink(draft->second.file.c_str());
  }
  drafts_.erase(draft);
}

void RemoteFiles::store_due(bool all) {
  for (auto draft = drafts_.begin(); draft != drafts_.end();) {
    const std::string path = (draft++)->first;
    Draft& due = drafts_.at(path);
    const bool waiting = due.local_only && due.opens == 0 && !due.store_failed && path[path.rfind('/') + 1] != '.';
    if (!(waiting && clock_.now() - due.closed >= kGraceAfterClose) && !(all && (due.changed || due.local_only))) {
      continue;
    }
    const int result = store(path, due);
    note_failure("storing", path, result);
    if (due.opens == 0 && result == 0) close_draft(path);
  }
}

// --- Names and attributes of files written here ---

int RemoteFiles::rename(const std::string& from, const std::string& to, bool no_replace) {
  const std::string source = key_of(parts_of(from)), target = key_of(parts_of(to));
  Draft* draft = draft_of(source);
  if (draft == nullptr || !draft->local_only) {
    Attributes found;
    const int result = look_up(source, found);
    return result != 0 ? result : -EPERM;
  }
  if (source == target) return 0;
  const Folder parts = parts_of(target);
  if (parts.empty()) return -EBUSY;
  if (const Result<> fits = session::check_wire_name(parts.back(), 0); !fits) return errno_of(fits.error());
  if (const Draft* there = draft_of(target); there != nullptr && there->opens > 0) return -EBUSY;
  Attributes existing;
  const int known = look_up(target, existing);
  if (known == 0 && (no_replace || existing.is_dir)) return no_replace ? -EEXIST : -EISDIR;
  if (known != 0 && known != -ENOENT) return known;
  if (const int result = store_as(source, *draft, target); result != 0) return result;
  // The new name is the service's file now, with what was set on the old one.
  if (drafts_.count(target) != 0) close_draft(target);
  draft->local_only = false;
  draft->as_stored = true;
  rekey(source, target);
  kept_[target] = kept_[source];
  kept_.erase(source);
  if (!kept_[target].modified) kept_[target].modified = now_on_this_machine();
  if (drafts_.at(target).opens == 0) close_draft(target);
  return 0;
}

int RemoteFiles::unlink(const std::string& path) {
  const std::string key = key_of(parts_of(path));
  Draft* draft = draft_of(key);
  if (draft == nullptr || !draft->local_only) {
    Attributes found;
    const int result = look_up(key, found);
    return result != 0 ? result : -EPERM;
  }
  kept_.erase(key);
  drop(key);
  return 0;
}

// The draft leaves its name at once, so that a new file can take it, and
// goes with its last release (at once when it is not open), never stored.
void RemoteFiles::drop(const std::string& path) {
  const std::string hidden = std::string(1, '\0') + scratch_.fresh_name("dropped");
  rekey(path, hidden);
  Draft& draft = drafts_.at(hidden);
  draft.dropped = true;
  if (draft.opens == 0) close_draft(hidden);
}

// The draft and its opens go by the name `to` from now on.
void RemoteFiles::rekey(const std::string& from, const std::string& to) {
  auto node = drafts_.extract(from);
  node.key() = to;
  drafts_.insert(std::move(node));
  for (auto& [handle, open] : open_files_) {
    if (open.path == from) open.path = to;
  }
}

// Kept for a file written through the mount (it has a draft, or was stored
// from one); else `refusal`, or nothing with quiet_attrs.
int RemoteFiles::keep_attribute(const std::string& path, int refusal,
                                const std::function<void(KeptAttributes&)>& set) {
  const std::string key = key_of(parts_of(path));
  if (draft_of(key) != nullptr || kept_.count(key) != 0) {
    set(kept_[key]);
    return 0;
  }
  Attributes found;
  if (const int result = look_up(key, found); result != 0) return result;
  return quiet_attrs_ ? 0 : refusal;
}

int RemoteFiles::set_mode(const std::string& path, mode_t mode) {
  return keep_attribute(path, -EPERM, [mode](KeptAttributes& kept) { kept.mode = mode & 07777; });
}

int RemoteFiles::set_owner(const std::string& path, uid_t owner, gid_t group) {
  return keep_attribute(path, -EPERM, [owner, group](KeptAttributes& kept) {
    if (owner != static_cast<uid_t>(-1)) kept.owner = owner;
    if (group != static_cast<gid_t>(-1)) kept.group = group;
  });
}

int RemoteFiles::set_times(const std::string& path, const std::timespec& modified) {
  const int result = keep_attribute(path, 0, [modified](KeptAttributes& kept) { kept.modified = modified; });
  if (Draft* draft = draft_of(key_of(parts_of(path)))) draft->written_since_times = false;
  return result;
}

}  // namespace quorvantix::mount
