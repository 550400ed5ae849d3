// The host file system as the directory and transfer modules need it: a tree
// that every name resolves in, locks that name objects, examination, directory
// scans, files to read, files that replace others only when complete, and the
// free room of a volume.
//
// Every type here owns what it took and gives it back in its destructor, so
// that no way out of an operation leaves a descriptor, a scan or a temporary
// file behind. Names resolve in a Tree: against its current directory, or from
// its root when they begin with "/"; the empty name is the current directory
// itself.
//
// Names in a tree that serves a peer are in the peer's character set (see
// Tree::set_wire_names): every name a tree takes from its callers is in wire
// form, and every name it gives them is, so that the callers count and send
// wire bytes. Converting them is the tree's business alone.
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
#include "host/temporary_mark.h"
#include "host/unique_fd.h"

namespace quorvantix::host {

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
  char name[256] = {};  // the entry's own name, in wire form (scans only)
};

// What the room check needs of a volume.
struct VolumeInfo {
  bool write_protected = false;  // mounted read-only
  std::int64_t bytes_free = 0;   // free for this user, not for the superuser
};

class FsLock;

// Told of a host name that has no wire form, with the host form of what the
// peer gets in its place.
using NameReport = std::function<void(const std::string& host_name, const std::string& sent_as)>;

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
class Tree {
 public:
  // The whole file system, with the process's current directory.
  static Tree whole();
  // A tree confined to the directory `dir`; nothing, with the cause in
  // `error`, when it is no directory that can be entered or the host cannot
  // confine names (it needs openat2 and /proc).
  static std::optional<Tree> confined(const char* dir, std::string& error);

  Tree(Tree&&) noexcept = default;
  Tree& operator=(Tree&&) noexcept = default;
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  ~Tree() = default;

  bool is_confined() const { return static_cast<bool>(root_); }
  // A read-only tree refuses every file that would be stored in it, as a
  // write-protected volume does.
  void set_read_only(bool read_only) { read_only_ = read_only; }
  bool read_only() const { return read_only_; }
  // From now on names cross to the tree's callers in `names`'s wire set (a
  // new tree passes them as they are). A name from the wire that is no name
  // in that set reaches nothing. A host name without a wire form is given
  // with kStandIn for each character that has none, and told to `report`.
  void set_wire_names(NameCodec names, NameReport report = {});
  const NameCodec& wire_names() const { return names_; }

  // Writes the name of the current directory into `name` (kFullNameBytes), in
  // wire form: the full name in the whole file system, the path inside the
  // root ("/" at the root) in a confined tree. The empty string when it
  // cannot be produced or its wire form does not fit.
  void current_dir_name(char* name) const;
  // Makes the locked directory the current directory; false when it is no
  // directory or may not be entered.
  bool set_current(const FsLock& dir);
  // Makes the folder the tree started in current again: a confined tree's
  // root, or the process's current directory when the whole tree was made.
  void return_to_start();
  // Removes the temporary files that stored files left behind in the current
  // directory when their process ended before it had finished (killed, or a
  // power cut, where the file system cannot keep a file unnamed). Only files
  // that carry our mark (temporary_mark.h) go; a temporary whose process still
  // runs is left alone. A read-only tree sweeps nothing.
  void sweep_temporaries() const;

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
  // The wire form of a host name; one without is reported.
  std::string wire_form(const std::string& host_name) const;

  UniqueFd root_;        // a confined tree's root; none for the whole file system
  UniqueFd start_;       // the whole tree's first current directory
  std::string current_;  // a confined tree's current directory in host form: "/" or "/a/b"
  bool read_only_ = false;
  NameCodec names_;
  NameReport report_;
};

// True when `name` has the form of the temporary files that stored files go
// through before they have their own name. Such names are never listed.
bool is_temporary_name(const char* name);

// A read lock on a file-system object: it names the object without opening
// its contents, and several may coexist on one object.
class FsLock {
 public:
  FsLock() = default;
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

  // Fills `data` (not its name); false when the object cannot be examined.
  bool examine(ExamineData& data) const;
  // True when this process may read the object. A lock alone does not tell:
  // it needs no read access.
  bool may_read() const;
  // The volume that holds the locked object; false when the host cannot tell.
  bool volume_info(VolumeInfo& info) const;

 private:
  explicit FsLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// A scan of a locked directory, entry by entry, without "." and "..", and
// without the temporary files of stored files that are not complete.
class DirScan {
 public:
  // Starts a scan of the directory `dir` locks, in `tree`; an unstarted scan
  // (false) when it is no directory or cannot be read. The tree must outlive
  // the scan.
  static DirScan start(const Tree& tree, const FsLock& dir);

  explicit operator bool() const { return static_cast<bool>(dir_); }
  // The next entry, in the order the host delivers them, its name in wire
  // form (see Tree::set_wire_names); false at the end of the directory and on
  // a read error, which ends a scan the same way. A link
  // is examined where it leads inside the tree; one that leads nowhere is of
  // type `other`.
  bool next(ExamineData& entry);

 private:
  // How a link among the entries is followed: as the host follows it, inside
  // the confined tree (whose current directory is the one scanned), or not.
  enum class Links { host, in_tree, unfollowed };

  DirStream dir_;
  const Tree* tree_ = nullptr;
  Links links_ = Links::host;
};

// A file opened for reading.
class ReadFile {
 public:
  ReadFile() = default;
  // Opens `name` in `tree`, but only if it is still the plain file that
  // `examined` describes: an object swapped in since (a FIFO, say) is not
  // opened, and opening never blocks.
  static ReadFile open(const Tree& tree, const char* name, const ExamineData& examined);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  // Reads up to `count` bytes, fewer only at the end of the file. The number
  // read, or -1 on an error.
  long read(void* into, std::size_t count);

 private:
  explicit ReadFile(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// The mode a file that replaces one of mode `old_mode` gets: its permissions,
// sticky bit included, but setuid and setgid only when the replacement has
// kept both the old file's owner and its group (as the kernel clears them when
// another user writes to such a file).
mode_t replacement_mode(mode_t old_mode, bool owner_and_group_kept);

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
class ReplacementFile {
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
  ~ReplacementFile();

  explicit operator bool() const { return static_cast<bool>(fd_); }
  // Appends `count` bytes and starts their way to the disk; false unless all
  // of them were stored.
  bool write(const void* from, std::size_t count);
  // Flushes the data to disk and puts the file in the target's place. False,
  // with the temporary removed and the target untouched, on failure.
  bool commit();

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
