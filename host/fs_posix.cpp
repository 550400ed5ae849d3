#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
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

// A resolution beneath a root is tried again when a rename elsewhere raced it.
constexpr int kResolveAttempts = 8;

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

// Opens `path` beneath `root`, as if `root` were the root of the file system.
UniqueFd open_in_root(int root, const std::string& path, int flags) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < kResolveAttempts; ++attempt) {
    const long fd = syscall(SYS_openat2, root, path.c_str(), &how, sizeof how);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    if (errno != EAGAIN) break;
  }
  return UniqueFd();
}

// The name the host gives the object of `fd`: a path from the file system's root.
std::optional<std::string> host_name_of(int fd) {
  const std::string link = proc_link(fd);
  char target[PATH_MAX + 1];
  const ssize_t length = readlink(link.c_str(), target, PATH_MAX);
  if (length <= 0 || target[0] != '/') return std::nullopt;
  return std::string(target, static_cast<std::size_t>(length));
}

// Whether the host lets this process do `mode` (R_OK, W_OK, X_OK) to the object of `fd`.
bool allowed(int fd, int mode) { return faccessat(fd, "", mode, AT_EACCESS | AT_EMPTY_PATH) == 0; }

// "/" joined with a name inside a confined tree.
std::string joined(const std::string& directory, const char* name) {
  if (name[0] == '\0') return directory;
  return directory == "/" ? "/" + std::string(name) : directory + "/" + name;
}

// Removes the temporary `name` in `folder` if it is ours (it carries the
// mark: a file of somebody else's that merely has the shape of name stays)
// and no live process holds it: each one holds its temporary locked until it
// is done with it, and a lock dies with its process, however that ends.
void sweep_if_orphaned(int folder, const char* name) {
  UniqueFd file(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened {};
  if (!file || fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return;
  if (!carries_temporary_mark(file.get())) return;
  if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) return;
  struct stat named {};
  if (fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) unlinkat(folder, name, 0);
}

// A stream of the entries of the directory `folder` names; null when it
// cannot be read.
DirStream open_entries(int folder) {
  UniqueFd fd(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return nullptr;
  DirStream dir(fdopendir(fd.get()));
  if (dir) fd.release();  // the stream owns it now
  return dir;
}

}  // namespace

bool is_dot_or_dot_dot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

std::string proc_link(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void sweep_folder(int folder) {
  const DirStream dir = open_entries(folder);
  if (!dir) return;
  while (const dirent* found = readdir(dir.get())) {
    if (is_temporary_name(found->d_name)) sweep_if_orphaned(dirfd(dir.get()), found->d_name);
  }
}

// --- Tree ---

std::unique_ptr<FileSystem> whole_host_file_system() { return std::make_unique<Tree>(Tree::whole()); }

Tree Tree::whole() {
  Tree tree;
  tree.start_ = UniqueFd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  return tree;
}

std::optional<Tree> Tree::confined(const char* dir, std::string& error) {
  Tree tree;
  tree.root_ = UniqueFd(::open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!tree.root_) {
    error = std::string(dir) + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!allowed(tree.root_.get(), X_OK)) {
    error = std::string(dir) + ": " + std::strerror(errno);
    return std::nullopt;
  }
  tree.current_ = "/";
  if (!tree.open("", O_PATH | O_DIRECTORY)) {
    error = std::string("this system cannot confine names beneath a directory (openat2): ") + std::strerror(errno);
    return std::nullopt;
  }
  if (!host_name_of(tree.root_.get())) {
    error = "this system cannot name directories through /proc/self/fd";
    return std::nullopt;
  }
  return tree;
}

UniqueFd Tree::open(const char* name, int flags) const {
  std::string host;
  if (!names_.to_host(name, host)) {
    errno = EILSEQ;
    return UniqueFd();
  }
  return open_host(host, flags);
}

UniqueFd Tree::open_host(const std::string& name, int flags) const {
  UniqueFd fd = root_ ? open_in_root(root_.get(), name[0] == '/' ? name : joined(current_, name.c_str()), flags)
                      : UniqueFd(::openat(AT_FDCWD, name.empty() ? "." : name.c_str(), flags | O_CLOEXEC));
  // A current directory that has been removed can still be opened, and reads
  // as empty; it is no folder any more.
  struct stat st {};
  if (fd && fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_nlink == 0) {
    errno = ENOENT;
    return UniqueFd();
  }
  return fd;
}

void Tree::current_dir_name(char* name) const {
  name[0] = '\0';
  std::string host = current_;
  if (!root_) {
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) == nullptr) return;
    host = here;
  }
  const std::string wire = wire_form(host);
  if (wire.size() < kFullNameBytes) std::memcpy(name, wire.c_str(), wire.size() + 1);
}

bool Tree::set_current(const FsLock& dir) {
  ExamineData examined;
  if (!dir || !dir.examine(examined) || examined.type != ObjectType::directory) return false;
  if (!root_) return fchdir(dir.fd()) == 0;
  if (!allowed(dir.fd(), X_OK)) return false;
  // The directory's path inside the root, links resolved: the path the host
  // gives it, less the root's.
  const std::optional<std::string> root = host_name_of(root_.get());
  const std::optional<std::string> inside = host_name_of(dir.fd());
  if (!root || !inside) return false;
  const std::string prefix = *root == "/" ? "" : *root;
  if (inside->compare(0, prefix.size(), prefix) != 0) return false;
  std::string path = inside->substr(prefix.size());
  if (path.empty()) path = "/";
  if (path[0] != '/') return false;  // a sibling that begins with the root's name
  current_ = std::move(path);
  return true;
}

void Tree::return_to_start() {
  if (root_) {
    current_ = "/";
    return;
  }
  // Where the start folder cannot be entered again, the process stays where it is.
  if (start_ && fchdir(start_.get()) != 0) return;
}

void Tree::sweep_temporaries() const {
  if (read_only_) return;  // a read-only service changes nothing on disk
  const UniqueFd here = open("", O_PATH | O_DIRECTORY);
  if (here) sweep_folder(here.get());
}

bool Tree::set_current(const char* name) {
  const FsLock lock = FsLock::obtain(*this, name);
  // A plain file locks as well as a directory, but cannot become current.
  return lock && set_current(lock);
}

std::unique_ptr<HeldObject> Tree::hold(const char* name) const {
  FsLock lock = FsLock::obtain(*this, name);
  return lock ? std::make_unique<FsLock>(std::move(lock)) : nullptr;
}

std::unique_ptr<HeldObject> Tree::hold_folder_of(const char* target, std::string& name) const {
  FsLock lock = FsLock::folder_of(*this, target, name);
  return lock ? std::make_unique<FsLock>(std::move(lock)) : nullptr;
}

std::unique_ptr<EntryScan> Tree::scan_current() const {
  const FsLock lock = FsLock::obtain(*this, "");
  if (!lock) return nullptr;
  DirScan scan = DirScan::start(*this, lock);
  return scan ? std::make_unique<DirScan>(std::move(scan)) : nullptr;
}

std::unique_ptr<FileReader> Tree::open_to_read(const char* name, const ExamineData& examined) const {
  ReadFile file = ReadFile::open(*this, name, examined);
  return file ? std::make_unique<ReadFile>(std::move(file)) : nullptr;
}

std::unique_ptr<FileWriter> Tree::replace(const HeldObject& folder, const std::string& name) const {
  const auto* lock = dynamic_cast<const FsLock*>(&folder);
  if (lock == nullptr) return nullptr;
  ReplacementFile file = ReplacementFile::create(*lock, name);
  return file ? std::make_unique<ReplacementFile>(std::move(file)) : nullptr;
}

// --- FsLock ---

FsLock FsLock::obtain(const Tree& tree, const char* name) {
  // O_PATH names the object without opening its contents: no read access is
  // needed, and a FIFO does not block.
  return FsLock(tree.open(name, O_PATH));
}

FsLock FsLock::folder_of(const Tree& tree, const char* target, std::string& name) {
  constexpr int kFlags = O_PATH | O_DIRECTORY;
  std::string path;
  // A target that is no name in the wire set cannot be created, but its
  // folder is still locked (in wire form), so that the caller learns that it
  // was the name.
  const bool named = tree.names_.to_host(target, path);
  if (!named) path = target;
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : slash == 0 ? "/" : path.substr(0, slash);
  name = !named ? "" : slash == std::string::npos ? path : path.substr(slash + 1);
  return FsLock(named ? tree.open_host(folder, kFlags) : tree.open(folder.c_str(), kFlags));
}

bool FsLock::examine(ExamineData& data) const {
  struct stat st {};
  if (fstat(fd_.get(), &st) != 0) return false;
  fill_from(st, data);
  return true;
}

bool FsLock::may_read() const { return fd_ && allowed(fd_.get(), R_OK); }

bool FsLock::volume_info(VolumeInfo& info) const {
  struct statvfs vfs {};
  if (fstatvfs(fd_.get(), &vfs) != 0) return false;
  info.write_protected = (vfs.f_flag & ST_RDONLY) != 0;
  const unsigned long long bytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
  info.bytes_free = bytes > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(bytes);
  return true;
}

// --- DirScan ---

DirScan DirScan::start(const Tree& tree, const FsLock& dir) {
  DirScan scan;
  scan.dir_ = open_entries(dir.fd());
  if (!scan.dir_) return scan;
  scan.tree_ = &tree;
  if (tree.is_confined()) {
    // Entries can be named in the tree from its current directory, when that
    // is the directory scanned, as it is for every listing; elsewhere links
    // are not followed.
    const UniqueFd current = tree.open("", O_PATH | O_DIRECTORY);
    struct stat here {}, scanned {};
    const bool same = current && fstat(current.get(), &here) == 0 && fstat(dir.fd(), &scanned) == 0 &&
                      here.st_dev == scanned.st_dev && here.st_ino == scanned.st_ino;
    scan.links_ = same ? Links::in_tree : Links::unfollowed;
  }
  return scan;
}

bool DirScan::next(ExamineData& entry) {
  const int dir_fd = dirfd(dir_.get());
  for (;;) {
    const dirent* found = readdir(dir_.get());
    if (found == nullptr) return false;
    if (is_dot_or_dot_dot(found->d_name) || is_temporary_name(found->d_name)) continue;
    struct stat st {};
    if (fstatat(dir_fd, found->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished meanwhile
    struct stat target {};
    if (S_ISLNK(st.st_mode)) {
      // A link that leads nowhere is reported as itself.
      if (links_ == Links::host && fstatat(dir_fd, found->d_name, &target, 0) == 0) st = target;
      if (links_ == Links::in_tree) {
        const UniqueFd reached = tree_->open_host(found->d_name, O_PATH);
        if (reached && fstat(reached.get(), &target) == 0) st = target;
      }
    }
    entry = {};
    fill_from(st, entry);
    std::snprintf(entry.name, sizeof entry.name, "%s", tree_->wire_form(found->d_name).c_str());
    return true;
  }
}

// --- ReadFile ---

ReadFile ReadFile::open(const Tree& tree, const char* name, const ExamineData& examined) {
  UniqueFd fd = tree.open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
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

}  // namespace quorvantix::host
