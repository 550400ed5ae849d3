// The current directory and the local listing, in a tree of names
// (host::FileSystem: the host's, whole or confined to a directory, or another).
#pragma once

#include <vector>

#include "host/file_system.h"
#include "wire/status.h"

namespace quorvantix::wire {

constexpr int kDirNameBytes = 250;

// Writes the name of `tree`'s current directory into `name` (at least 250
// bytes): the full name, or in a confined tree the path inside its root ("/"
// at the root); the empty string when it cannot be produced or does not fit.
void get_akt_dir(const host::FileSystem& tree, char* name);
// Makes `dir` (relative names resolve against the current directory, absolute
// ones from the tree's root) `tree`'s current directory. Fails with
// Status::no_such_folder when `dir` could not be locked or is no directory;
// the current directory is then unchanged. The empty name is the current directory itself. A confined
// tree's root is as far up as ".." leads.
Result<> set_akt_dir(host::FileSystem& tree, const char* dir);
// The current directory's entries ("." and ".." left out, and the
// temporaries of files being stored) in the order of the scan, with their
// whole names and sizes: a folder, or a file (every kind but a folder). None
// when the directory cannot be read.
std::vector<Entry> read_akt_dir(const host::FileSystem& tree);

}  // namespace quorvantix::wire
