// The current directory and the local listing.
#pragma once

#include "transfer_ext.h"

constexpr int kDirNameBytes = 250;

// Writes the full name of the current directory into `name` (at least 250
// bytes); the empty string when it cannot be produced or does not fit.
void get_akt_dir(char* name);
// Makes `dir` (relative names resolve against the current directory) the
// current directory. 1 when changed, 0 when `dir` could not be locked. The empty
// name is the current directory itself.
long set_akt_dir(const char* dir);
// Appends the current directory's entries to `list` as Dir_Entry rows (column 0
// the name, column 1 "DIR" or "FILE"). DIR_OK, or DIR_NO_MEMORY with the rows
// appended so far left in the list.
long read_akt_dir(List* list);
