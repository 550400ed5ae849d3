// The service's folders as files on this machine: what each file operation of
// the mount does on the line. Every operation returns 0 (or a byte count) on
// success and a negative errno on failure, as the kernel wants them.
//
// - A folder is listed with cd and the listing; listings are kept for the
//   cache timeout and dropped when a file is stored into the folder.
// - Attributes come from the listing: type and size.
// - A file is fetched whole into a copy in the scratch directory on its first
//   open, and reads are served from the copy; an open within the cache
//   timeout of the fetch uses it again.
// - Every open of a file for writing shares one private copy of it in the
//   scratch directory (a draft), so that writers of one file see each
//   other's bytes. A draft is stored whole with one put: at fsync, at the
//   close of a descriptor that wrote, when no other open of the file is
//   left, or else at the last release. A close of a descriptor that did not
//   write (the original a shell closes after duplicating it) stores nothing,
//   unless the file is new on the service.
//   A draft whose last descriptor went with a program killed by a signal
//   is dropped, never stored.
//   A store that fails leaves the service's file as it was.
// - A temporary created here (see create) lives only in the mount until
//   kGraceAfterClose after its last close, one with a name that begins with
//   '.' (swap, lock and rsync's files) until the mount ends; fsync leaves it
//   there. Renaming it is its store under the new name, unlinking it drops
//   it, and its attributes are kept: temporaries renamed or removed at once
//   never reach the service.
// - Mode, owner and times set on a file written through the mount are kept
//   for the life of the mount; on other files `quiet_attrs` takes them
//   without effect, else mode and owner are EPERM and times are ignored.
// - A name that the listing carries whole is listed; one that it cut (our
//   service sends 35 characters of a name, others 30 or more) is listed with
//   a mark after what came, and its attributes fail with ENAMETOOLONG, so
//   that a copy of the folder fails for it rather than leave it out unsaid.
//   Such a file or folder is found by its whole name.
// - While a listing or a file crosses the line, attributes and listings that
//   what is kept can answer are answered at once (cached_attributes,
//   cached_list), if the callers take turns (take_turns).
// - A name shows once (a folder before files of its name), and only one that
//   can be a name in a folder here (session::unusable_listed_name).
//
// - A copy past the cache timeout leaves the scratch directory at the next
//   fetch, a listing past it memory at the next listing; a copy that the
//   scratch disk has no room for is refused (ENOSPC).
//
// Errors: EIO while there is no session or when the line fails under an
// operation (a session that stopped answering, or one that floods the line,
// is given up, and the source seeks a new one); EACCES when the service
// refuses to store a file (its disk is write-protected or full, or it cannot
// create the file: its refusal of the header does not say which) or to send
// one; EPERM for renaming, unlinking, chmod and chown of the service's
// files; ENOENT for a name the service does not have; ENAMETOOLONG and EINVAL for names the line cannot carry; ELOOP for a
// path more than kDeepestFolder folders deep, or a folder whose cd leads back
// to one of the folders above it; EFBIG for a folder whose listing goes on
// past kMostListedEntries entries (kept as such for the cache timeout; not
// EOVERFLOW, on which ls reads on for ever); EINTR
// when the caller gave up on the operation (the `interrupted` of the
// constructor said so): it ends at the next poll of the line, and the next
// operation first waits for the service to finish its side.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/unique_fd.h"
#include "mount/scratch_dir.h"
#include "mount/turns.h"
#include "session/session.h"

namespace quorvantix::mount {

using std::chrono::nanoseconds;

// The session that the files travel over. The mount's operations run one at
// a time and ask for it each time.
class SessionSource {
 public:
  virtual ~SessionSource() = default;
  // The session to use, or null while the line is away.
  virtual session::Session* session() = 0;
  // The session stopped answering or its line went: the source takes it back
  // and seeks a new one. The pointer that session() gave is not used again.
  virtual void give_up() = 0;
};

// A file that lives only in the mount is stored this long after its last close.
constexpr nanoseconds kGraceAfterClose = std::chrono::seconds(2);

// What was set on a file written through the mount, kept for the mount's life.
struct KeptAttributes {
  std::optional<std::timespec> modified;
  std::optional<mode_t> mode;  // permission bits
  std::optional<uid_t> owner;
  std::optional<gid_t> group;
};

// One entry as the mount shows it.
struct Attributes {
  bool is_dir = false;
  std::int64_t size = 0;  // bytes
  KeptAttributes kept;
};

// Why a descriptor of a file is being closed.
enum class Closing {
  by_its_program,      // close(), exit
  by_a_killed_writer,  // its program was killed by a signal: what it wrote is dropped
};

using FolderEntries = std::vector<std::pair<std::string, Attributes>>;

class RemoteFiles {
 public:
  // `scratch` and `clock` must outlive it. `note` hears of what no caller
  // sees (a store at release that failed, a listing cut off). `interrupted`
  // tells, while an operation waits on the line, whether its caller has
  // given up on it (it is asked from the session's link, which keeps a copy).
  RemoteFiles(SessionSource& source, ScratchDir& scratch, host::Clock& clock, nanoseconds cache_timeout,
              std::function<void(const std::string&)> note = {}, std::function<bool()> interrupted = {});
  ~RemoteFiles();
  RemoteFiles(const RemoteFiles&) = delete;
  RemoteFiles& operator=(const RemoteFiles&) = delete;

  // `path` is absolute within the mount ("/", "/docs/a.txt").
  int attributes(const std::string& path, Attributes& out);
  // The folder's entries, without "." and "..": the listing, and files being
  // written into it that the service does not have yet.
  int list(const std::string& path, FolderEntries& out);
  // The same from what is kept alone, never touching the line: -EAGAIN where
  // the answer needs it.
  int cached_attributes(const std::string& path, Attributes& out);
  int cached_list(const std::string& path, FolderEntries& out);
  // From now on every caller holds `turns`: a Turns::Whole, or for the
  // cached answers its state alone. The state is let go while a listing or a
  // file crosses the line, so that the cached answers come meanwhile.
  void take_turns(Turns& turns) { turns_ = &turns; }

  // Opens an existing file; `flags` as open(2) has them. Reading fetches the
  // file (unless a fresh copy is there); writing starts from the file's
  // contents, or from nothing with O_TRUNC. `handle` names the open file.
  int open(const std::string& path, int flags, std::uint64_t& handle);
  // Opens a new, empty file for writing (`mode` as creat(2) has it); it is
  // stored even if nothing is written, at its first close. A temporary (a
  // name that begins with '.', or `mode` without access for group and
  // others) lives only in the mount instead.
  int create(const std::string& path, std::uint64_t& handle, mode_t mode = 0644);
  // Bytes read or written, or a negative errno.
  int read(std::uint64_t handle, char* into, std::size_t size, off_t offset);
  int write(std::uint64_t handle, const char* from, std::size_t size, off_t offset);
  int attributes(std::uint64_t handle, Attributes& out);
  int truncate(std::uint64_t handle, off_t size);
  // A file that is not open: its contents (none, for size 0) cut or extended
  // to `size`, and stored.
  int truncate(const std::string& path, off_t size);
  // A descriptor of the open file closes. Stores the draft when this
  // descriptor wrote and no other open of the file is left; its result is
  // that of close(): a refusal is EACCES.
  int flush(std::uint64_t handle, Closing how = Closing::by_its_program);
  // Stores the file's draft at once, unless it lives only in the mount.
  int fsync(std::uint64_t handle);
  // Forgets the handle; the last release of a file stores what no close
  // stored (a failure is only noted), or starts the grace of a new file.
  int release(std::uint64_t handle);

  // A file that lives only in the mount: stored as `to` (replacing the
  // service's file once the new one has arrived whole), its result that of
  // the store. Any other file: EPERM, the line cannot rename.
  int rename(const std::string& from, const std::string& to, bool no_replace);
  // A file that lives only in the mount is dropped; any other: EPERM.
  int unlink(const std::string& path);
  // Kept for a file written through the mount; else taken without effect
  // with `quiet_attrs`, or EPERM (times: always taken).
  int set_mode(const std::string& path, mode_t mode);
  int set_owner(const std::string& path, uid_t owner, gid_t group);
  int set_times(const std::string& path, const std::timespec& modified);
  // Stores the files whose grace has passed; with `all`, every draft that
  // is not stored yet (at unmount). Failures are noted.
  void store_due(bool all = false);
  // chmod, chown and utimens succeed without effect on every file.
  void set_quiet_attrs(bool quiet) { quiet_attrs_ = quiet; }

 private:
  struct Listing {
    nanoseconds fetched{};
    std::vector<session::RemoteEntry> entries;
    bool too_long = false;  // past kMostListedEntries: none are kept
  };
  struct Copy {
    std::string file;
    nanoseconds fetched{};
  };
  // The one private copy of a file being written, shared by its opens.
  struct Draft {
    std::string file;
    host::UniqueFd fd;
    int opens = 0;
    bool changed = false;      // differs from what the service holds, not stored yet
    bool as_stored = false;    // what the service holds, as far as this mount knows
    bool local_only = false;   // created here and never stored
    bool store_failed = false; // the last store failed
    bool new_here = false;     // created here: the service has no file of its name
    bool dropped = false;      // unlinked or its writer killed: goes at the last release
    bool written_since_times = true;  // a store shows its own time, not the one set
    nanoseconds closed{};      // local_only: when its last open ended
  };
  struct OpenFile {
    std::string path;
    host::UniqueFd fd;          // a reader's copy; none on a draft
    bool writable = false;
    bool wrote = false;         // written or cut through this open since the last store
    bool killed = false;        // its last close was by a program killed by a signal
  };
  using Folder = std::vector<std::string>;

  bool fresh(nanoseconds fetched) const;
  session::Session* current();
  void watch_for_interrupts(session::Session& session);
  int line_failure(session::Session& session);
  int failure(session::Session& session, const session::Error& error);
  std::optional<Folder> folder_above_named(const std::string& name, const Folder& folder) const;
  int find_position(session::Session& session);
  int enter(session::Session& session, const Folder& folder);
  int change_to(session::Session& session, const std::string& argument, const Folder& folder);
  int listing(const std::string& folder, const Listing*& out);
  int look_up(const std::string& path, Attributes& out);
  int size_of_listed_file(const std::string& path, const session::RemoteEntry& entry, std::int64_t& size);
  int look_up_whole_name(const std::string& path, const session::RemoteEntry& cut, Attributes& out);
  int fetch(const std::string& path, const Copy*& out);
  void forget_copy(const std::string& path);
  void drop_stale_copies();
  void drop_stale_listings();
  int open_for_writing(const std::string& path, const Copy* start, bool local_only, std::uint64_t& handle);
  int open_on_draft(const std::string& path, Draft& draft, int flags, std::uint64_t& handle);
  int store(const std::string& path, Draft& draft);
  int store_as(const std::string& path, Draft& draft, const std::string& name);
  void close_draft(const std::string& path);
  void drop(const std::string& path);
  void rekey(const std::string& from, const std::string& to);
  Draft* draft_of(const std::string& path);
  KeptAttributes kept_of(const std::string& path) const;
  int fd_of(const OpenFile& file);
  OpenFile* find(std::uint64_t handle);
  void note_failure(const std::string& what, const std::string& path, int error);
  int keep_attribute(const std::string& path, int refusal, const std::function<void(KeptAttributes&)>& set);

  SessionSource& source_;
  ScratchDir& scratch_;
  host::Clock& clock_;
  nanoseconds cache_timeout_;
  std::function<void(const std::string&)> note_;
  std::function<bool()> interrupted_;
  bool out_of_step_ = false;  // an interrupted operation left the service busy with its side
  Turns* turns_ = nullptr;
  bool cache_only_ = false;  // a cached answer is being made: what needs the line gives -EAGAIN

  std::map<std::string, Listing> listings_;  // by folder path
  std::map<std::string, Copy> copies_;       // by file path
  std::map<std::uint64_t, OpenFile> open_files_;
  std::map<std::string, Draft> drafts_;          // by file path
  std::map<std::string, KeptAttributes> kept_;  // files written through the mount
  bool quiet_attrs_ = false;
  std::uint64_t next_handle_ = 1;

  // Where the service is: its folder when the mount began (`root_`, as its
  // pwd gave it), and the folder of the mount it is in now, when known.
  session::Session* positioned_for_ = nullptr;
  std::optional<std::string> root_;
  bool root_cut_ = false;
  std::optional<Folder> at_;
  std::string at_name_;  // the service's name of at_
};

}  // namespace quorvantix::mount
