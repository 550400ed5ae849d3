// The directory-listing transfer, both ends.
//
// Listing stream: one 45-byte frame per entry ("FILE" or "DIR ", the name in
// 30 columns, the size in 10), then "END" and 42 spaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/file_system.h"
#include "wire/link.h"
#include "wire/status.h"

namespace quorvantix::wire {

// The most bytes of a name that our service's listing line carries: a name
// longer than the 30 columns of its field pushes the size right, into the
// rest of the frame, and one longer than this is cut here.
constexpr std::size_t kLongestListedName = 35;

// Service side: streams the listing of the tree's current directory (without
// the temporaries of files being stored). Fails with Status::
// listing_end_not_acked, or listing_unreadable (the folder cannot be read, or
// has gone: the end marker alone went out, with a wrong check byte, so that
// the reader reports a listing that failed).
Result<> send_akt_dir(Link& link, const host::FileSystem& tree);
// Customer side: reads a listing stream, appending one entry a line to
// `entries`, `most_lines` at most. An entry's size is -1 when its line gave
// none (none, not digits, or more digits than its 10 columns). A name that
// went on past its 30 columns is taken as far as the frame carries it, and is
// `cut` when it may go on further (it reached kLongestListedName bytes, or the
// frame's end); its size is -1 unless all 10 columns of it came. Fails with Status::listing_end_damaged (also after 5
// consecutive failed frames) or listing_no_memory (a line came past
// `most_lines`: that line is left unanswered, and the sender gives up the
// rest); the entries read so far stay in `entries`.
Result<> receive_akt_dir(Link& link, std::vector<Entry>& entries, std::size_t most_lines = SIZE_MAX);

// Cuts trailing spaces (not tabs); a string of spaces alone becomes empty.
void strip_str(char* str);

}  // namespace quorvantix::wire
