#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "host/unique_fd.h"
#include "lines/line_lock.h"

namespace quorvantix::lines {
namespace {

constexpr std::size_t kLargestLockFile = 64;

// What stands at a lock file's name, as far as taking the line goes.
enum class Found { lock, no_lock, absent, unreadable };

// Opens what stands at `file` without ever blocking (a FIFO there must not
// hold the service at its start) and without following a link.
Found open_lock_file(const std::string& file, host::UniqueFd& fd) {
  fd = host::UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    if (errno == ENOENT) return Found::absent;
    return errno == ELOOP ? Found::no_lock : Found::unreadable;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return Found::unreadable;
  return S_ISREG(st.st_mode) ? Found::lock : Found::no_lock;
}

// The process id the lock file `fd` names; 0 when it names none that can be read.
pid_t holder_of(const host::UniqueFd& fd) {
  if (!fd) return 0;
  char content[kLargestLockFile + 1] = {};
  const ssize_t length = ::read(fd.get(), content, kLargestLockFile);
  if (length == static_cast<ssize_t>(sizeof(int))) {
    int binary = 0;
    std::memcpy(&binary, content, sizeof binary);
    return binary;
  }
  if (length <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(content, &end, 10);
  if (end == content || pid <= 0 || pid > INT_MAX) return 0;
  return static_cast<pid_t>(pid);
}

// kill(pid, 0): EPERM means a process of another user, alive.
bool alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

bool held_by_another_open(pid_t pid) { return pid == getpid(); }

bool write_own_pid(int fd) {
  char content[16];
  const int length = std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(getpid()));
  return ::write(fd, content, static_cast<std::size_t>(length)) == length;
}

}  // namespace

std::string line_lock_file_name(const std::string& directory, const std::string& path) {
  char resolved[PATH_MAX];
  const std::string device = ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
  return directory + "/LCK.." + device.substr(device.rfind('/') + 1);
}

LineLockFile LineLockFile::take(const std::string& directory, const std::string& path, Outcome& outcome) {
  // No device there: nothing to lock, and opening it says why.
  if (::access(path.c_str(), F_OK) != 0) {
    outcome = Outcome::none;
    return {};
  }
  const std::string file = line_lock_file_name(directory, path);
  // Twice at most: once more after a stale lock has been cleared away.
  for (int attempt = 0; attempt < 2; ++attempt) {
    host::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd) {
      if (write_own_pid(fd.get())) {
        outcome = Outcome::taken;
        return LineLockFile(file);
      }
      ::unlink(file.c_str());
      outcome = Outcome::none;
      return {};
    }
    const bool exists = errno == EEXIST;
    host::UniqueFd existing;
    const Found found = open_lock_file(file, existing);
    // A FIFO, a device, a folder or a link where the lock file goes is no
    // lock of anybody's, and not ours to remove: someone put it there.
    if (exists && found == Found::no_lock) {
      outcome = Outcome::refused;
      return {};
    }
    const pid_t holder = found == Found::lock ? holder_of(existing) : 0;
    if (alive(holder) || held_by_another_open(holder)) {
      outcome = Outcome::busy;
      return {};
    }
    // No lock can be made here (no directory, or not ours to write), or a
    // stale one cannot be cleared: the line's flock still keeps others out.
    if (!exists || (::unlink(file.c_str()) != 0 && errno != ENOENT)) {
      outcome = Outcome::none;
      return {};
    }
  }
  // Another program made it anew between our two tries.
  outcome = Outcome::busy;
  return {};
}

LineLockFile::LineLockFile(LineLockFile&& other) noexcept : file_(std::exchange(other.file_, {})) {}

LineLockFile& LineLockFile::operator=(LineLockFile&& other) noexcept {
  if (this != &other) {
    if (!file_.empty()) ::unlink(file_.c_str());
    file_ = std::exchange(other.file_, {});
  }
  return *this;
}

LineLockFile::~LineLockFile() {
  if (!file_.empty()) ::unlink(file_.c_str());
}

}  // namespace quorvantix::lines
