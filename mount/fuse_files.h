// The mount's file operations as the FUSE library calls them, over
// RemoteFiles. The library's loop runs them in threads of its own, so that
// one reads the kernel's interrupt of an operation that another is working
// on; they take the line one at a time (Turns), but an attribute or a
// listing that is kept is answered while a transfer runs. What the line cannot do is
// refused at once, without touching it, with EPERM: deleting and renaming
// the service's files (RemoteFiles takes them for files that live only in
// the mount), making folders, nodes and links. The line carries no dates:
// a time not kept for a written file is the moment the mount began.
#pragma once

#include <fuse.h>
#include <sys/types.h>

#include <ctime>

#include "mount/remote_files.h"
#include "mount/turns.h"

namespace quorvantix::mount {

// What the operations reach through the FUSE context.
struct MountedFiles {
  // The operations take turns from here on (before the library's threads start).
  MountedFiles(RemoteFiles& files, std::timespec since, uid_t owner, gid_t group)
      : files(files), since(since), owner(owner), group(group) {
    files.take_turns(turns);
  }
  RemoteFiles& files;
  std::timespec since;  // every time shown
  uid_t owner;
  gid_t group;
  Turns turns{};
};

// The operations; the private data that fuse_new gets is a MountedFiles.
const fuse_operations& mount_operations();
// Stores the files whose grace has passed (all of them with `all`), in turn
// with the operations.
void store_due_files(MountedFiles& mounted, bool all);

}  // namespace quorvantix::mount
