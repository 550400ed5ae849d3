#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "host/fs.h"
#include "host/fs_posix.h"
#include "host/temporary_mark.h"

namespace quorvantix::host {
namespace {

// Keeps a temporary name within the host's name length whatever the target's.
constexpr std::size_t kMaxBaseInTemporaryName = 200;
constexpr int kTemporaryNameAttempts = 100;
constexpr char kTemporaryMark[] = ".part-";

std::string temporary_name(const std::string& base, int attempt) {
  static unsigned counter = 0;
  return "." + base.substr(0, kMaxBaseInTemporaryName) + kTemporaryMark + std::to_string(getpid()) + "-" +
         std::to_string(++counter) + "-" + std::to_string(attempt);
}

bool all_digits(const char* from, const char* to) {
  if (from == to) return false;
  for (const char* c = from; c != to; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return true;
}

// Makes the rename itself durable; the replacement has happened either way.
void sync_directory(int folder) {
  UniqueFd dir(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());
}

// Gives the file of `fd` the owner and group of `old` where the host lets us;
// a refusal is no error (the group alone may still be allowed).
void try_to_keep_owner(int fd, const struct stat& old) {
  if (fchown(fd, old.st_uid, old.st_gid) == 0) return;
  if (fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0) return;
}

}  // namespace

bool is_temporary_name(const char* name) {
  // ".BASE.part-PID-COUNTER-ATTEMPT"
  if (name[0] != '.') return false;
  const char* mark = nullptr;
  for (const char* at = std::strstr(name + 1, kTemporaryMark); at != nullptr; at = std::strstr(at + 1, kTemporaryMark)) {
    mark = at;
  }
  if (mark == nullptr || mark == name + 1) return false;
  const char* numbers = mark + sizeof kTemporaryMark - 1;
  const char* first_dash = std::strchr(numbers, '-');
  if (first_dash == nullptr) return false;
  const char* second_dash = std::strchr(first_dash + 1, '-');
  if (second_dash == nullptr) return false;
  const char* end = second_dash + std::strlen(second_dash);
  return all_digits(numbers, first_dash) && all_digits(first_dash + 1, second_dash) &&
         all_digits(second_dash + 1, end);
}

mode_t replacement_mode(mode_t old_mode, bool owner_and_group_kept) {
  const mode_t mode = old_mode & 07777;
  return owner_and_group_kept ? mode : mode & ~static_cast<mode_t>(S_ISUID | S_ISGID);
}

// --- ReplacementFile ---

ReplacementFile ReplacementFile::create(const FsLock& folder, const std::string& name) {
  if (!folder || name.empty() || is_dot_or_dot_dot(name.c_str()) || name.find('/') != std::string::npos) return {};
  // Such a name would be hidden from listings, and taken for a leftover.
  if (is_temporary_name(name.c_str())) return {};
  // What the name holds now: a plain file is replaced and hands on its mode
  // and owner; a link (live or dangling) is replaced as it is, like no file.
  struct stat existing {};
  bool replaces = false;
  if (fstatat(folder.fd(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISREG(existing.st_mode)) {
      if (faccessat(folder.fd(), name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) return {};
      replaces = true;
    } else if (!S_ISLNK(existing.st_mode)) {
      return {};
    }
  } else if (errno != ENOENT) {
    return {};
  }
  ReplacementFile file;
  file.folder_ = UniqueFd(fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0));
  if (!file.folder_) return {};
  file.target_name_ = name;
  sweep_folder(file.folder_.get());
  // A new file gets what the umask leaves of 0666, as if created directly; a
  // replacement gets its mode once its owner is settled.
  const mode_t mode = replaces ? S_IRUSR | S_IWUSR : 0666;
  file.fd_ = UniqueFd(openat(file.folder_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
  if (file.fd_) {
    // Naming it at commit goes through /proc; without it, a named temporary.
    struct stat link {};
    if (fstatat(AT_FDCWD, proc_link(file.fd_.get()).c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0) {
      file.unnamed_ = true;
    } else {
      file.fd_.reset();
    }
  } else if (errno != EOPNOTSUPP && errno != EISDIR) {
    return {};
  }
  for (int attempt = 0; attempt < kTemporaryNameAttempts && !file.fd_; ++attempt) {
    std::string temporary = temporary_name(name, attempt);
    file.fd_ = UniqueFd(
        openat(file.folder_.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file.fd_) file.temporary_name_ = std::move(temporary);
    else if (errno != EEXIST) return {};
  }
  if (!file.fd_) return {};
  // Held until the file is in place: a sweep leaves a locked temporary alone.
  flock(file.fd_.get(), LOCK_EX);
  if (replaces) {
    // The owner and group where the host lets us set them; the mode, whose
    // setuid and setgid bits need both kept, follows at commit (a write by a
    // process without the privilege would clear those bits again).
    try_to_keep_owner(file.fd_.get(), existing);
    struct stat now {};
    if (fstat(file.fd_.get(), &now) != 0) return {};
    const bool kept = now.st_uid == existing.st_uid && now.st_gid == existing.st_gid;
    file.mode_ = replacement_mode(existing.st_mode, kept);
  } else {
    // What the umask left of 0666: given back at commit when the mark was the mode.
    struct stat created {};
    if (fstat(file.fd_.get(), &created) != 0) return {};
    file.mode_ = created.st_mode & 07777;
  }
  // A named temporary is marked from the start; an unnamed one once it gets a name.
  if (!file.unnamed_) file.mark_ = mark_temporary(file.fd_.get());
  return file;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      folder_(std::move(other.folder_)),
      unnamed_(std::exchange(other.unnamed_, false)),
      mark_(std::exchange(other.mark_, TemporaryMark::none)),
      mode_(std::exchange(other.mode_, std::nullopt)),
      temporary_name_(std::exchange(other.temporary_name_, {})),
      target_name_(std::exchange(other.target_name_, {})),
      written_(other.written_),
      handed_(other.handed_),
      previous_(other.previous_) {}

ReplacementFile& ReplacementFile::operator=(ReplacementFile&& other) noexcept {
  if (this != &other) {
    discard();
    fd_ = std::move(other.fd_);
    folder_ = std::move(other.folder_);
    unnamed_ = std::exchange(other.unnamed_, false);
    mark_ = std::exchange(other.mark_, TemporaryMark::none);
    mode_ = std::exchange(other.mode_, std::nullopt);
    temporary_name_ = std::exchange(other.temporary_name_, {});
    target_name_ = std::exchange(other.target_name_, {});
    written_ = other.written_;
    handed_ = other.handed_;
    previous_ = other.previous_;
  }
  return *this;
}

ReplacementFile::~ReplacementFile() { discard(); }

bool ReplacementFile::write(const void* from, std::size_t count) {
  const auto* bytes = static_cast<const char*>(from);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t written = ::write(fd_.get(), bytes + done, count - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  written_ += count;
  write_back();
  return true;
}

// Sends what has been written to the disk a megabyte at a time and waits for
// the megabyte before it, and every few megabytes also for the file system's
// own records of the blocks (what a file without a name needs most), so that
// the flush in commit() has a few megabytes at most left to do, however large
// the file: the answer that waits for it stays within the peer's time limit
// even on slow storage, and the transfer goes no faster than the disk takes
// it. Errors show in that flush.
void ReplacementFile::write_back() {
  constexpr std::uint64_t kWritebackBytes = 1 << 20;
  constexpr std::uint64_t kRecordsEvery = 4 << 20;
  if (written_ - handed_ < kWritebackBytes) return;
  sync_file_range(fd_.get(), static_cast<off64_t>(handed_), static_cast<off64_t>(written_ - handed_),
                  SYNC_FILE_RANGE_WRITE);
  if (handed_ / kRecordsEvery != written_ / kRecordsEvery) {
    fdatasync(fd_.get());
  } else if (handed_ > 0) {
    sync_file_range(fd_.get(), static_cast<off64_t>(previous_), static_cast<off64_t>(handed_ - previous_),
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  }
  previous_ = handed_;
  handed_ = written_;
}

// Gives the unnamed file a hidden temporary name beside the target, from
// which a rename can replace the target in one step (a link cannot).
bool ReplacementFile::give_temporary_name() {
  mark_ = mark_temporary(fd_.get());
  const std::string from = proc_link(fd_.get());
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::string temporary = temporary_name(target_name_, attempt);
    if (linkat(AT_FDCWD, from.c_str(), folder_.get(), temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temporary_name_ = std::move(temporary);
      unnamed_ = false;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// A host that forbids setuid and setgid files refuses the mode with them;
// the file then goes without them.
bool ReplacementFile::set_mode() {
  if (!mode_) return true;
  if (fchmod(fd_.get(), *mode_) == 0) return true;
  return errno == EPERM && fchmod(fd_.get(), *mode_ & ~static_cast<mode_t>(S_ISUID | S_ISGID)) == 0;
}

// The mode comes after the name: a temporary marked by its mode carries the
// mark until just before it takes the target's place.
bool ReplacementFile::commit() {
  if (!fd_ || fsync(fd_.get()) != 0 || (unnamed_ && !give_temporary_name()) || !set_mode() ||
      renameat(folder_.get(), temporary_name_.c_str(), folder_.get(), target_name_.c_str()) != 0) {
    discard();
    return false;
  }
  temporary_name_.clear();
  unmark_temporary(fd_.get(), mark_);
  sync_directory(folder_.get());
  // Closed only now: until the rename, its lock kept sweeps off the temporary.
  fd_.reset();
  folder_.reset();
  return true;
}

void ReplacementFile::discard() noexcept {
  if (!temporary_name_.empty() && folder_) unlinkat(folder_.get(), temporary_name_.c_str(), 0);
  temporary_name_.clear();
  unnamed_ = false;
  fd_.reset();
  folder_.reset();
}

}  // namespace quorvantix::host
