// The directory-listing transfer, both ends.
//
// Listing stream: one 45-byte frame per entry ("FILE" or "DIR ", the name in
// 30 columns, the size in 10), then "END" and 42 spaces.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/file_system.h"
#include "wire/display.h"
#include "wire/link.h"
#include "wire/list.h"
#include "wire/status.h"

namespace quorvantix::wire {

// Service side: streams the listing of the tree's current directory (without
// the temporaries of files being stored). DIR_OK, DIR_END_NOT_ACKED or
// DIR_NO_SCAN (the folder cannot be read, or has gone: the end marker alone
// went out, with a wrong check byte, so that the reader reports a listing
// that failed).
long send_akt_dir(Link& link, const host::FileSystem& tree);
// What a row's size (list_row_size) is when its listing line gave none:
// kNoListedSize when the size field holds no size (none, not digits, or more
// digits than its 10 columns), kNameBeyondField when the name went on past
// its 30 columns and pushed the size out of the frame: the row holds only
// the start of a longer name.
constexpr std::int64_t kNoListedSize = -1;
constexpr std::int64_t kNameBeyondField = -2;
// Customer side: reads a listing stream into `list`, one row from `make_row`
// a line, `most_lines` rows at most. DIR_OK, DIR_END_DAMAGED (also after 5
// consecutive failed frames) or DIR_NO_MEMORY (no row could be had, or a line
// came past `most_lines`: that line is left unanswered, and the sender gives
// up the rest).
long receive_akt_dir(Link& link, List* list, RowMaker make_row = alloc_list_row,
                     std::size_t most_lines = SIZE_MAX);


// Cuts trailing spaces (not tabs); a string of spaces alone becomes empty.
void strip_str(char* str);

}  // namespace quorvantix::wire
