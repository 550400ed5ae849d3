// The mark that tells the temporaries of files being stored (fs.h) from other
// files whose names merely have their shape: only a file that carries it is
// ever swept away. The mark is an extended attribute where the file system
// takes one; elsewhere the mode kTemporaryMode, which no stored file is given
// while it is being written and which the files people make do not have (the
// sticky bit on a plain file, read and write for the owner alone).
#pragma once

#include <sys/types.h>

namespace quorvantix::host {

constexpr char kTemporaryAttribute[] = "user.quorvantix.temporary";
constexpr mode_t kTemporaryMode = 01600;

enum class TemporaryMark { none, attribute, mode };

// Marks the open file `fd` as our temporary: the attribute, or the mode where
// the file system takes no attribute. `none` when neither could be set.
TemporaryMark mark_temporary(int fd);
// True when the open file `fd` carries either mark.
bool carries_temporary_mark(int fd);
// Takes the attribute off a file that has its own name now; a file marked by
// its mode gets its own mode back from its owner (ReplacementFile).
void unmark_temporary(int fd, TemporaryMark mark);

}  // namespace quorvantix::host
