// The files the service serves and the customer's own side works on, as the
// folder, listing and transfer operations need them: a current directory
// that names resolve against, examination, a scan of the current directory,
// files to read, files that replace others only when complete, and the free
// room of a volume. The service and the session are handed a FileSystem;
// the host's is Tree (fs.h), and MemoryFileSystem (memory_file_system.h)
// keeps everything in memory, for tests.
//
// Names resolve against the current directory, or from the root when they
// begin with "/"; the empty name is the current directory itself. Every name
// a file system takes from its callers, and every name it gives them, is in
// wire form (see set_wire_names), so that the callers count and send wire
// bytes. Every object it hands out owns what it took and gives it back when
// destroyed, so that no way out of an operation leaves anything behind.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/charset.h"

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

// Told of a host name that has no wire form, with the host form of what the
// peer gets in its place.
using NameReport = std::function<void(const std::string& host_name, const std::string& sent_as)>;

// An object that a name led to, held without its contents being opened while
// an operation works on it; several may hold one object.
class HeldObject {
 public:
  virtual ~HeldObject() = default;
  // Fills `data` (not its name); false when the object cannot be examined.
  virtual bool examine(ExamineData& data) const = 0;
  // True when this process may read the object.
  virtual bool may_read() const = 0;
  // The volume that holds the object; false when it cannot be told.
  virtual bool volume_info(VolumeInfo& info) const = 0;
};

// The entries of a directory, one by one, without "." and "..", and without
// the temporaries of files being stored (is_temporary_name).
class EntryScan {
 public:
  virtual ~EntryScan() = default;
  // The next entry, its name in wire form; false at the end of the directory
  // and on a read error, which ends a scan the same way.
  virtual bool next(ExamineData& entry) = 0;
};

// A file opened for reading.
class FileReader {
 public:
  virtual ~FileReader() = default;
  // Reads up to `count` bytes, fewer only at the end of the file. The number
  // read, or -1 on an error.
  virtual long read(void* into, std::size_t count) = 0;
};

// A file that takes the place of its target only when it is complete: until
// commit() the target, if it exists, is left exactly as it was, and one that
// is destroyed uncommitted leaves nothing behind.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  // Appends `count` bytes; false unless all of them were stored.
  virtual bool write(const void* from, std::size_t count) = 0;
  // Puts the file in the target's place, durably. False, with the target
  // untouched and nothing left behind, on failure.
  virtual bool commit() = 0;
};

class FileSystem {
 public:
  FileSystem() = default;
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;
  virtual ~FileSystem() = default;

  // A read-only file system refuses every file that would be stored in it,
  // as a write-protected volume does, and sweeps nothing.
  void set_read_only(bool read_only) { read_only_ = read_only; }
  bool read_only() const { return read_only_; }
  // From now on names cross to the callers in `names`'s wire set (a new file
  // system passes them as they are). A name from the wire that is no name in
  // that set reaches nothing. A host name without a wire form is given with
  // kStandIn for each character that has none, and told to `report`.
  void set_wire_names(NameCodec names, NameReport report = {});
  const NameCodec& wire_names() const { return names_; }

  // Writes the name of the current directory into `name` (kFullNameBytes), in
  // wire form. The empty string when it cannot be produced or its wire form
  // does not fit.
  virtual void current_dir_name(char* name) const = 0;
  // Makes the directory `name` current; false when it is no directory or may
  // not be entered.
  virtual bool set_current(const char* name) = 0;
  // Makes the folder the file system started in current again.
  virtual void return_to_start() = 0;
  // Removes the temporaries that stored files left behind in the current
  // directory when their process ended before it had finished. Only those
  // that carry our mark (temporary_mark.h) go, and only when no live
  // process holds them. A read-only file system sweeps nothing.
  virtual void sweep_temporaries() const = 0;

  // Holds the object `name`; null when it does not exist or cannot be reached.
  virtual std::unique_ptr<HeldObject> hold(const char* name) const = 0;
  // Holds the folder that a file named `target` lands in, and gives the
  // target's own name there in host form, for replace() (empty, so that
  // nothing is created, when `target` ends in "/", is empty or is no name in
  // the wire set). Null when the folder does not exist or cannot be reached.
  virtual std::unique_ptr<HeldObject> hold_folder_of(const char* target, std::string& name) const = 0;
  // A scan of the current directory; null when it is gone or cannot be read.
  virtual std::unique_ptr<EntryScan> scan_current() const = 0;
  // Opens `name` for reading, but only if it is still the plain file that
  // `examined` describes: an object swapped in since is not opened, and
  // opening never blocks. Null otherwise.
  virtual std::unique_ptr<FileReader> open_to_read(const char* name, const ExamineData& examined) const = 0;
  // A file that is to replace `name` (host form, from hold_folder_of) in
  // `folder`, held by this file system. Null where storing under `name`
  // would fail: the folder is not writable, the name is empty, "." or "..",
  // or has the shape of our temporaries, or it names a directory or another
  // object that is neither a plain file nor a link, or a plain file that is
  // not writable. A replaced file's mode carries over (see
  // replacement_mode), and its owner and group where the process may set
  // them; a new file gets what the umask leaves of 0666.
  virtual std::unique_ptr<FileWriter> replace(const HeldObject& folder, const std::string& name) const = 0;

 protected:
  FileSystem(FileSystem&&) noexcept = default;
  FileSystem& operator=(FileSystem&&) noexcept = default;
  // The wire form of a host name; one without is reported.
  std::string wire_form(const std::string& host_name) const;

  bool read_only_ = false;
  NameCodec names_;
  NameReport report_;
};

// The host's whole file system, from the process's current directory
// (Tree::whole, fs.h).
std::unique_ptr<FileSystem> whole_host_file_system();

// True when `name` has the form of the temporary files that stored files go
// through before they have their own name. Such names are never listed.
bool is_temporary_name(const char* name);

// The mode a file that replaces one of mode `old_mode` gets: its permissions,
// sticky bit included, but setuid and setgid only when the replacement has
// kept both the old file's owner and its group (as the kernel clears them when
// another user writes to such a file).
mode_t replacement_mode(mode_t old_mode, bool owner_and_group_kept);

}  // namespace quorvantix::host
