// The current directory and the local listing.
#pragma once

#include "transfer_ext.h"

constexpr int kDirNameBytes = 250;

// Writes the full name of the current directory into `name` (at least 250
// bytes); the empty string when it cannot be produced or does not fit.
void get_akt_dir(char* name);
// Makes `dir` (relative names resolve against the current directory) the
// current directory. 1 when changed, 0 when `dir` could not be locked or is no
// directory; the current directory is then unchanged. The empty name is the
// current directory itself.
long set_akt_dir(const char* dir);
// Appends the current directory's entries ("." and ".." left out) to `list`
// as Dir_Entry rows in the order of the scan: column 0 the bare name, column 1
// "DIR" or "FILE" (every kind but a directory), `entry` the name padded to 30
// columns and cut at 49, ln_Pri 1 for a directory. The rows belong to the
// caller (free_list_rows). DIR_OK, also when the directory cannot be read, or
// DIR_NO_MEMORY with the rows appended so far left in the list.
long read_akt_dir(List* list, RowMaker make_row = alloc_list_row);
