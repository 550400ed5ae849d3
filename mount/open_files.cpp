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
    unlink(copy->second.file.c_str());
    copy = copies_.erase(copy);
  }
}

void RemoteFiles::forget_copy(const std::string& path) {
  const auto kept = copies_.find(path);
  if (kept == copies_.end()) return;
  unlink(kept->second.file.c_str());
  copies_.erase(kept);
}

int RemoteFiles::open(const std::string& path, int flags, std::uint64_t& handle) {
  const std::string key = key_of(parts_of(path));
  Attributes found;
  if (const int result = look_up(key, found); result != 0) return result;
  if (found.is_dir) return -EISDIR;
  const bool reading = (flags & O_ACCMODE) == O_RDONLY;
  const Copy* copy = nullptr;
  if (reading || (flags & O_TRUNC) == 0) {
    if (const int result = fetch(key, copy); result != 0) return result;
  }
  if (!reading) return open_for_writing(key, copy, handle);
  host::UniqueFd fd(::open(copy->file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -errno;
  handle = next_handle_++;
  open_files_[handle] = OpenFile{key, std::move(fd), false, false, false, {}};
  return 0;
}

// --- Writing ---

int RemoteFiles::create(const std::string& path, std::uint64_t& handle) {
  const Folder parts = parts_of(path);
  if (parts.empty()) return -EEXIST;
  if (const Result<> fits = session::check_wire_name(parts.back(), 0); !fits) return errno_of(fits.error());
  Attributes folder;
  if (const int result = look_up(key_of(parent_of(parts)), folder); result != 0) return result;
  if (!folder.is_dir) return -ENOTDIR;
  return open_for_writing(key_of(parts), nullptr, handle);
}

int RemoteFiles::open_for_writing(const std::string& path, const Copy* start, std::uint64_t& handle) {
  const std::string file = scratch_.fresh_name("write");
  if (start != nullptr) {
    std::error_code error;
    if (!std::filesystem::copy_file(start->file, file, error)) return -(error.value() != 0 ? error.value() : EIO);
  }
  host::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return -errno;
  handle = next_handle_++;
  open_files_[handle] = OpenFile{path, std::move(fd), true, start == nullptr, false, file};
  return 0;
}

RemoteFiles::OpenFile* RemoteFiles::find(std::uint64_t handle) {
  const auto found = open_files_.find(handle);
  return found == open_files_.end() ? nullptr : &found->second;
}

int RemoteFiles::read(std::uint64_t handle, char* into, std::size_t size, off_t offset) {
  OpenFile* file = find(handle);
  if (file == nullptr) return -EBADF;
  const ssize_t got = pread(file->fd.get(), into, size, offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

int RemoteFiles::write(std::uint64_t handle, const char* from, std::size_t size, off_t offset) {
  OpenFile* file = find(handle);
  if (file == nullptr || !file->writable) return -EBADF;
  const ssize_t put = pwrite(file->fd.get(), from, size, offset);
  if (put < 0) return -errno;
  file->unstored = true;
  return static_cast<int>(put);
}

int RemoteFiles::attributes(std::uint64_t handle, Attributes& out) {
  OpenFile* file = find(handle);
  if (file == nullptr) return -EBADF;
  out = {false, size_of_file(file->fd.get())};
  return 0;
}

int RemoteFiles::truncate(std::uint64_t handle, off_t size) {
  OpenFile* file = find(handle);
  if (file == nullptr || !file->writable) return -EBADF;
  if (ftruncate(file->fd.get(), size) != 0) return -errno;
  file->unstored = true;
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

int RemoteFiles::flush(std::uint64_t handle) {
  OpenFile* file = find(handle);
  if (file == nullptr) return -EBADF;
  return file->writable && file->unstored ? store(*file) : 0;
}

int RemoteFiles::store(OpenFile& file) {
  file.unstored = false;
  file.stored = false;
  Session* session = current();
  if (session == nullptr) return -EIO;
  const Folder parts = parts_of(file.path);
  if (const int result = enter(*session, parent_of(parts)); result != 0) return result;
  const Result<> put = session->remote_put(file.file, parts.back(), nullptr);
  listings_.erase(key_of(parent_of(parts)));
  forget_copy(file.path);
  if (!put) return failure(*session, put.error());
  file.stored = true;
  return 0;
}

int RemoteFiles::release(std::uint64_t handle) {
  OpenFile* file = find(handle);
  if (file == nullptr) return -EBADF;
  int result = 0;
  if (file->writable && file->unstored) {
    result = store(*file);
    if (result != 0 && note_) note_("storing " + file->path + " failed: " + std::strerror(-result));
  }
  if (file->writable && file->stored) {
    // What was stored is what the service holds now: the next open reads it from here.
    forget_copy(file->path);
    copies_[file->path] = Copy{file->file, clock_.now()};
  } else if (file->writable) {
    unlink(file->file.c_str());
  }
  open_files_.erase(handle);
  return result;
}

}  // namespace quorvantix::mount
