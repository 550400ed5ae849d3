#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/fs.h"

namespace platform {
namespace {

// Keeps a temporary name within the host's name length whatever the target's.
constexpr std::size_t kMaxBaseInTemporaryName = 200;
constexpr int kTemporaryNameAttempts = 100;

ObjectType type_of(mode_t mode) {
  if (S_ISREG(mode)) return ObjectType::plain_file;
  if (S_ISDIR(mode)) return ObjectType::directory;
  return ObjectType::other;
}

void fill_from(const struct stat& st, ExamineData& data) {
  data.type = type_of(st.st_mode);
  data.file_size = static_cast<std::int64_t>(st.st_size);
  data.device = static_cast<std::uint64_t>(st.st_dev);
  data.inode = static_cast<std::uint64_t>(st.st_ino);
}

bool is_dot_or_dot_dot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Examines one directory entry. A link is followed; one that leads nowhere is
// reported as itself. False when the entry has vanished meanwhile.
bool examine_entry(int dir_fd, const char* name, ExamineData& entry) {
  struct stat st {};
  if (fstatat(dir_fd, name, &st, 0) != 0 && fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  fill_from(st, entry);
  if (S_ISLNK(st.st_mode)) entry.type = ObjectType::other;
  return true;
}

std::string directory_part(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string last_component(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where a write to `target` would land: a link to a file is followed, as
// opening it for writing would.
std::string resolved_target(const char* target) {
  struct stat st {};
  if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return target;
  char* real = realpath(target, nullptr);
  if (real == nullptr) return target;
  std::string resolved = real;
  std::free(real);
  return resolved;
}

// May `target` be created or overwritten by this process? `existing` receives
// the target's state when it exists (st_nlink 0 otherwise).
bool target_writable(const char* target, struct stat& existing) {
  existing = {};
  if (stat(target, &existing) != 0) {
    existing.st_nlink = 0;
    return errno == ENOENT;
  }
  if (!S_ISREG(existing.st_mode)) return false;
  return faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) == 0;
}

UniqueFd create_exclusive(const std::string& path, mode_t mode) {
  return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
}

std::string temporary_name(const std::string& directory, const std::string& base, int attempt) {
  static unsigned counter = 0;
  return directory + "/." + base.substr(0, kMaxBaseInTemporaryName) + ".part-" + std::to_string(getpid()) + "-" +
         std::to_string(++counter) + "-" + std::to_string(attempt);
}

// Makes the rename itself durable; the replacement has happened either way.
void sync_directory(const std::string& directory) {
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());
}

}  // namespace

bool may_read(const char* name) { return faccessat(AT_FDCWD, name, R_OK, AT_EACCESS) == 0; }

void current_dir_name(char* name) {
  if (getcwd(name, kFullNameBytes) == nullptr) name[0] = '\0';
}

// --- FsLock ---

FsLock FsLock::obtain(const char* name) {
  // O_PATH names the object without opening its contents: no read access is
  // needed, and a FIFO does not block.
  const char* path = name[0] == '\0' ? "." : name;
  return FsLock(UniqueFd(::open(path, O_PATH | O_CLOEXEC)));
}

bool FsLock::examine(ExamineData& data) const {
  struct stat st {};
  if (fstat(fd_.get(), &st) != 0) return false;
  fill_from(st, data);
  return true;
}

bool FsLock::make_current() const { return fchdir(fd_.get()) == 0; }

bool FsLock::volume_info(VolumeInfo& info) const {
  struct statvfs vfs {};
  if (fstatvfs(fd_.get(), &vfs) != 0) return false;
  info.write_protected = (vfs.f_flag & ST_RDONLY) != 0;
  const unsigned long long bytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
  info.bytes_free = bytes > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(bytes);
  return true;
}

// --- DirScan ---

DirScan DirScan::start(const FsLock& dir) {
  DirScan scan;
  const int fd = openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return scan;
  scan.dir_.reset(fdopendir(fd));
  if (!scan.dir_) ::close(fd);
  return scan;
}

bool DirScan::next(ExamineData& entry) {
  for (;;) {
    const dirent* found = readdir(dir_.get());
    if (found == nullptr) return false;
    if (is_dot_or_dot_dot(found->d_name)) continue;
    entry = {};
    if (!examine_entry(dirfd(dir_.get()), found->d_name, entry)) continue;
    std::snprintf(entry.name, sizeof entry.name, "%s", found->d_name);
    return true;
  }
}

// --- ReadFile ---

ReadFile ReadFile::open(const char* name, const ExamineData& examined) {
  UniqueFd fd(::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return {};
  ExamineData opened;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return {};
  fill_from(st, opened);
  const bool same_file = opened.type == ObjectType::plain_file && opened.device == examined.device &&
                         opened.inode == examined.inode;
  return same_file ? ReadFile(std::move(fd)) : ReadFile();
}

long ReadFile::read(void* into, std::size_t count) {
  auto* bytes = static_cast<char*>(into);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::read(fd_.get(), bytes + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<long>(done);
}

// --- ReplacementFile ---

ReplacementFile ReplacementFile::create(const char* target) {
  struct stat existing {};
  if (!target_writable(target, existing)) return {};
  ReplacementFile file;
  file.target_path_ = resolved_target(target);
  const std::string base = last_component(file.target_path_);
  if (base.empty()) return {};
  const std::string directory = directory_part(file.target_path_);
  const bool replaces = existing.st_nlink != 0;
  // A new file gets what the umask leaves of 0666, as if created directly.
  const mode_t mode = replaces ? S_IRUSR | S_IWUSR : 0666;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && !file.fd_; ++attempt) {
    std::string path = temporary_name(directory, base, attempt);
    file.fd_ = create_exclusive(path, mode);
    if (file.fd_) file.temporary_path_ = std::move(path);
    else if (errno != EEXIST) return {};
  }
  if (!file.fd_) return {};
  if (replaces && fchmod(file.fd_.get(), existing.st_mode & 07777) != 0) return {};
  return file;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      temporary_path_(std::exchange(other.temporary_path_, {})),
      target_path_(std::exchange(other.target_path_, {})),
      written_(other.written_),
      previous_write_(other.previous_write_) {}

ReplacementFile& ReplacementFile::operator=(ReplacementFile&& other) noexcept {
  if (this != &other) {
    discard();
    fd_ = std::move(other.fd_);
    temporary_path_ = std::exchange(other.temporary_path_, {});
    target_path_ = std::exchange(other.target_path_, {});
    written_ = other.written_;
    previous_write_ = other.previous_write_;
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
  write_back(count);
  return true;
}

// Sends each write to the disk at once and waits for the one before it, so
// that the flush in commit() has at most the last two writes left to do,
// however large the file: the answer that waits for it stays within the
// peer's time limit even on slow storage. Errors show in that flush.
void ReplacementFile::write_back(std::size_t count) {
  sync_file_range(fd_.get(), static_cast<off64_t>(written_), static_cast<off64_t>(count), SYNC_FILE_RANGE_WRITE);
  if (written_ > 0) {
    sync_file_range(fd_.get(), static_cast<off64_t>(previous_write_), static_cast<off64_t>(written_ - previous_write_),
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  }
  previous_write_ = written_;
  written_ += count;
}

bool ReplacementFile::commit() {
  if (!fd_ || fsync(fd_.get()) != 0 || ::close(fd_.release()) != 0 ||
      rename(temporary_path_.c_str(), target_path_.c_str()) != 0) {
    discard();
    return false;
  }
  temporary_path_.clear();
  sync_directory(directory_part(target_path_));
  return true;
}

void ReplacementFile::discard() noexcept {
  fd_.reset();
  if (!temporary_path_.empty()) unlink(temporary_path_.c_str());
  temporary_path_.clear();
}

}  // namespace platform
