// The host file system as the directory and transfer modules need it: locks
// that name objects, examination, directory scans, files to read, files that
// replace others only when complete, and the free room of a volume.
//
// Every type here owns what it took and gives it back in its destructor, so
// that no way out of an operation leaves a descriptor, a scan or a temporary
// file behind. Names resolve against the process's current directory; the
// empty name is the current directory itself.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

// A full path name has at most 249 characters and its NUL.
constexpr std::size_t kFullNameBytes = 250;

// The kinds of object, numbered as the protocol's entry types.
enum class ObjectType { plain_file = 1, directory = 2, other = 3 };

// What examining an object or a directory entry yields. Symbolic links are
// followed; a link that leads nowhere is of type `other`.
struct ExamineData {
  ObjectType type = ObjectType::other;
  std::int64_t file_size = 0;  // bytes
  std::uint64_t device = 0;    // with `inode`, tells whether two names lead to one object
  std::uint64_t inode = 0;
  char name[256] = {};  // the entry's own name (scans only)
};

// What the room check needs of a volume.
struct VolumeInfo {
  bool write_protected = false;  // mounted read-only
  std::int64_t bytes_free = 0;   // free for this user, not for the superuser
};

// True when this process may read the object `name` names. A lock alone does
// not tell: it needs no read access.
bool may_read(const char* name);

// Writes the full name of the current directory into `name` (kFullNameBytes),
// or the empty string when the host cannot produce it or it does not fit.
void current_dir_name(char* name);

// A read lock on a file-system object: it names the object without opening
// its contents, and several may coexist on one object.
class FsLock {
 public:
  FsLock() = default;
  // Locks `name`; an unlocked FsLock when the object does not exist or cannot
  // be reached.
  static FsLock obtain(const char* name);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }

  // Fills `data` (not its name); false when the object cannot be examined.
  bool examine(ExamineData& data) const;
  // Makes the locked object the process's current directory; false when it is
  // no directory or cannot be entered.
  bool make_current() const;
  // The volume that holds the locked object; false when the host cannot tell.
  bool volume_info(VolumeInfo& info) const;

 private:
  explicit FsLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// A scan of a locked directory, entry by entry, without "." and "..".
class DirScan {
 public:
  // Starts a scan of the directory `dir` locks; an unstarted scan (false) when
  // it is no directory or cannot be read.
  static DirScan start(const FsLock& dir);

  explicit operator bool() const { return static_cast<bool>(dir_); }
  // The next entry, in the order the host delivers them; false at the end of
  // the directory and on a read error, which ends a scan the same way.
  bool next(ExamineData& entry);

 private:
  struct CloseDir {
    void operator()(DIR* dir) const { closedir(dir); }
  };
  std::unique_ptr<DIR, CloseDir> dir_;
};

// A file opened for reading.
class ReadFile {
 public:
  ReadFile() = default;
  // Opens `name`, but only if it is still the plain file that `examined`
  // describes: an object swapped in since (a FIFO, say) is not opened, and
  // opening never blocks.
  static ReadFile open(const char* name, const ExamineData& examined);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  // Reads up to `count` bytes, fewer only at the end of the file. The number
  // read, or -1 on an error.
  long read(void* into, std::size_t count);

 private:
  explicit ReadFile(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// A file that takes the place of `target` only when it is complete. The data
// goes into a temporary file beside the target; commit() flushes it to disk and
// renames it over the target. Until then the target, if it exists, is left
// exactly as it was, and a ReplacementFile that is destroyed uncommitted
// removes its temporary file.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  // Creates the temporary file. Fails (false) where creating `target` itself
  // would fail: its directory is missing or not writable, or the target is a
  // directory, no plain file, or not writable. A target reached through a
  // symbolic link is replaced where the link leads, and an existing target's
  // permissions carry over.
  static ReplacementFile create(const char* target);

  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&& other) noexcept;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  explicit operator bool() const { return static_cast<bool>(fd_); }
  // Appends `count` bytes and starts their way to the disk; false unless all
  // of them were stored.
  bool write(const void* from, std::size_t count);
  // Flushes the data to disk and renames the temporary over the target.
  // False, with the temporary removed and the target untouched, on failure.
  bool commit();

 private:
  void discard() noexcept;
  void write_back(std::size_t count);

  UniqueFd fd_;
  std::string temporary_path_;
  std::string target_path_;
  std::uint64_t written_ = 0;         // bytes written so far
  std::uint64_t previous_write_ = 0;  // where the last write began
};

}  // namespace platform
