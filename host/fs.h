// The host's file system (FileSystem, file_system.h): a Tree that every name
// resolves in, locks that name objects, directory scans, files to read, and
// files that replace others only when complete.
//
// Every type here owns what it took and gives it back in its destructor, so
// that no way out of an operation leaves a descriptor, a scan or a temporary
// file behind. Names resolve in a Tree: against its current directory, or from
// its root when they begin with "/"; the empty name is the current directory
// itself. Converting names between wire and host form is the tree's business
// alone.
//
// Storing rule for symbolic links: a file that is stored is never written
// through a link. When the name of a stored file is a symbolic link, live or
// dangling, the link itself is replaced by the new plain file; the object it
// pointed to stays as it was. Links in the folders on the way to the name are
// followed (inside the tree's root). Reading and listing follow links, inside
// the root as well.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/charset.h"
#include "host/file_system.h"
#include "host/temporary_mark.h"
#include "host/unique_fd.h"

namespace quorvantix::host {

class FsLock;

// An open directory stream, closed with its owner.
struct CloseDir {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, CloseDir>;

// Where names resolve: a root that no name can leave and a current directory
// inside it. Two kinds:
// - the whole file system with the process's current directory (the customer's
//   own side, and a service that serves the directory it was started in):
//   names resolve as the host resolves them, and changing the current
//   directory changes the process's;
// - a tree confined to a directory: every name, "..", and every symbolic link
//   (absolute or relative, anywhere in a path) resolves beneath that
//   directory, as if it were the root of the file system; an absolute name
//   starts at it. The current directory is kept in the tree, as its path
//   inside the root; the process's current directory is never changed.
class Tree final : public FileSystem {
 public:
  // The whole file system, with the process's current directory.
  static Tree whole();
  // A tree confined to the directory `dir`; nothing, with the cause in
  // `error`, when it is no directory that can be entered or the host cannot
  // confine names (it needs openat2 and /proc).
  static std::optional<Tree> confined(const char* dir, std::string& error);

  Tree(Tree&&) noexcept = default;
  Tree& operator=(Tree&&) noexcept = default;
  ~Tree() override = default;

  bool is_confined() const { return static_cast<bool>(root_); }

  // The current directory's name: the full name in the whole file system,
  // the path inside the root ("/" at the root) in a confined tree.
  void current_dir_name(char* name) const override;
  bool set_current(const char* name) override;
  // Makes the locked directory the current directory; false when it is no
  // directory or may not be entered.
  bool set_current(const FsLock& dir);
  // A confined tree's root, or the process's current directory when the
  // whole tree was made.
  void return_to_start() override;
  // The temporaries are left where the file system cannot keep a file
  // unnamed, by a process that was killed or a power cut; a temporary whose
  // process still runs holds a lock on it.
  void sweep_temporaries() const override;

  std::unique_ptr<HeldObject> hold(const char* name) const override;
  std::unique_ptr<HeldObject> hold_folder_of(const char* target, std::string& name) const override;
  std::unique_ptr<EntryScan> scan_current() const override;
  std::unique_ptr<FileReader> open_to_read(const char* name, const ExamineData& examined) const override;
  // `folder` must be an FsLock (one from hold_folder_of).
  std::unique_ptr<FileWriter> replace(const HeldObject& folder, const std::string& name) const override;

  // Opens the wire name `name` with `flags` (O_CLOEXEC is added); an empty
  // UniqueFd when it cannot be reached or is no name in the wire set
  // (EILSEQ). For the types below.
  UniqueFd open(const char* name, int flags) const;

 private:
  friend class FsLock;
  friend class DirScan;

  Tree() = default;
  // Opens a name in host form.
  UniqueFd open_host(const std::string& name, int flags) const;

  UniqueFd root_;        // a confined tree's root; none for the whole file system
  UniqueFd start_;       // the whole tree's first current directory
  std::string current_;  // a confined tree's current directory in host form: "/" or "/a/b"
};

// A read lock on a file-system object: it names the object without opening
// its contents, and several may coexist on one object.
class FsLock final : public HeldObject {
 public:
  FsLock() = default;
  FsLock(FsLock&&) noexcept = default;
  FsLock& operator=(FsLock&&) noexcept = default;
  // Locks `name` in `tree`; an unlocked FsLock when the object does not exist
  // or cannot be reached.
  static FsLock obtain(const Tree& tree, const char* name);
  // Locks the folder that a file named `target` lands in, and gives the
  // target's own name there in host form, for ReplacementFile::create (empty,
  // so that nothing is created, when `target` ends in "/", is empty or is no
  // name in the wire set). Unlocked when the folder does not exist or cannot
  // be reached.
  static FsLock folder_of(const Tree& tree, const char* target, std::string& name);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }

  bool examine(ExamineData& data) const override;
  // A lock alone does not tell: it needs no read access.
  bool may_read() const override;
  bool volume_info(VolumeInfo& info) const override;

 private:
  explicit FsLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// A scan of a locked directory, entry by entry, without "." and "..", and
// without the temporary files of stored files that are not complete.
class DirScan final : public EntryScan {
 public:
  // Starts a scan of the directory `dir` locks, in `tree`; an unstarted scan
  // (false) when it is no directory or cannot be read. The tree must outlive
  // the scan.
  static DirScan start(const Tree& tree, const FsLock& dir);

  explicit operator bool() const { return static_cast<bool>(dir_); }
  // The next entry, in the order the host delivers them, its name in wire
  // form (see FileSystem::set_wire_names); false at the end of the directory and on
  // a read error, which ends a scan the same way. A link
  // is examined where it leads inside the tree; one that leads nowhere is of
  // type `other`.
  bool next(ExamineData& entry) override;

 private:
  // How a link among the entries is followed: as the host follows it, inside
  // the confined tree (whose current directory is the one scanned), or not.
  enum class Links { host, in_tree, unfollowed };

  DirStream dir_;
  const Tree* tree_ = nullptr;
  Links links_ = Links::host;
};

// A file opened for reading.
class ReadFile final : public FileReader {
 public:
  ReadFile() = default;
  ReadFile(ReadFile&&) noexcept = default;
  ReadFile& operator=(ReadFile&&) noexcept = default;
  // Opens `name` in `tree`, but only if it is still the plain file that
  // `examined` describes: an object swapped in since (a FIFO, say) is not
  // opened, and opening never blocks.
  static ReadFile open(const Tree& tree, const char* name, const ExamineData& examined);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  long read(void* into, std::size_t count) override;

 private:
  explicit ReadFile(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// A file that takes the place of the file `name` in a folder only when it is
// complete. The data goes into a file without a name in that folder (a
// recognisably named temporary where the file system cannot keep a file
// unnamed); commit() flushes it to disk, names it and renames it over the
// target. Until then the target, if it exists, is left exactly as it was; a
// ReplacementFile that is destroyed uncommitted leaves nothing behind, and one
// whose process is killed leaves nothing either, or a temporary that the
// next file stored in that folder, or the service's start, sweeps away.
// A replaced file's mode carries over (see replacement_mode), and its owner
// and group where the process may set them; a new file gets what the umask
// leaves of 0666. A name that is a symbolic link is replaced, not written
// through (see the storing rule above).
class ReplacementFile final : public FileWriter {
 public:
  ReplacementFile() = default;
  // Creates the unnamed file in the folder `folder` locks. Fails (false)
  // where storing under `name` would fail: the folder is not writable, the
  // name is empty, "." or "..", or has the shape of our temporaries
  // (is_temporary_name), or it names a directory or another object that is
  // neither a plain file nor a link, or a plain file that is not writable.
  static ReplacementFile create(const FsLock& folder, const std::string& name);

  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&& other) noexcept;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile() override;

  explicit operator bool() const { return static_cast<bool>(fd_); }
  // Appends `count` bytes and starts their way to the disk; false unless all
  // of them were stored.
  bool write(const void* from, std::size_t count) override;
  // Flushes the data to disk and puts the file in the target's place. False,
  // with the temporary removed and the target untouched, on failure.
  bool commit() override;

 private:
  void discard() noexcept;
  void write_back();
  bool set_mode();
  bool give_temporary_name();

  UniqueFd fd_;
  UniqueFd folder_;
  bool unnamed_ = false;         // no name yet (an unnamed file)
  TemporaryMark mark_ = TemporaryMark::none;  // how the named temporary shows it is ours
  std::optional<mode_t> mode_;   // the file's own mode, given at commit
  std::string temporary_name_;   // the named temporary in the folder, if any
  std::string target_name_;
  std::uint64_t written_ = 0;   // bytes written so far
  std::uint64_t handed_ = 0;    // bytes sent on their way to the disk
  std::uint64_t previous_ = 0;  // where the last range sent on its way began
};

}  // namespace quorvantix::host
