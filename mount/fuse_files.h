// The mount's file operations as the FUSE library calls them, over
// RemoteFiles. They run one at a time (a single-threaded loop), so a listing
// asked for while a transfer runs waits its turn. What the line cannot do is
// refused at once, without touching it, with EPERM: deleting, renaming,
// making folders, nodes and links, changing mode or owner. Setting times is
// taken and has no effect: the line carries no dates, and every time is the
// moment the mount began.
#pragma once

#include <fuse.h>
#include <sys/types.h>

#include <ctime>

#include "remote_files.h"

namespace mount_side {

// What the operations reach through the FUSE context.
struct MountedFiles {
  RemoteFiles& files;
  std::timespec since;  // every time shown
  uid_t owner;
  gid_t group;
};

// The operations; the private data that fuse_new gets is a MountedFiles.
const fuse_operations& mount_operations();

}  // namespace mount_side
