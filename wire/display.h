// Display hooks of the transfers and listings: a progress text, and list rows
// of a two-column list view. The service shows nothing; the customer program
// puts a display of its own behind them.
#pragma once

#include <cstdint>

namespace quorvantix::wire {

struct Dir_Entry;
struct List;

// How far a transfer has come, for displays that show more than the text.
struct TransferProgress {
  std::int64_t bytes_done = 0;
  std::int64_t bytes_total = 0;
  bool final = false;  // the transfer is complete; the text is its throughput
};

// A text gadget that shows the progress of one transfer.
class Gadget {
 public:
  virtual ~Gadget() = default;
  // The file of the transfer, before its progress: its name as its header
  // gives it (in wire form) and its size in bytes.
  virtual void set_file(const char* /*wire_name*/, std::int64_t /*size*/) {}
  // Shows `text` ("%5d/%5d" blocks done and in all, or "%d Bytes/s" at the end).
  virtual void set_text(const char* text, const TransferProgress& progress) = 0;
  // Called after the final text; a window gadget pauses here so that it can be read.
  virtual void pause_after_final() {}
};

// Allocates one list row holding a whole Dir_Entry and its own copies of the
// two column texts; null when memory is short.
Dir_Entry* alloc_list_row(const char* column0, const char* column1);
// What the listings make their rows with (alloc_list_row, or a test's own).
using RowMaker = Dir_Entry* (*)(const char* column0, const char* column1);
// The text of column 0 or 1 of a row made by alloc_list_row.
const char* list_row_column(const Dir_Entry* row, int column);
// The size in bytes of the entry behind a row, as its listing gave it; -1
// (the start value) when it did not give one.
void set_list_row_size(Dir_Entry* row, std::int64_t size);
std::int64_t list_row_size(const Dir_Entry* row);
// Puts a row, its entry text filled in, at the tail of `list`, named by that
// text; a directory's row gets priority 1, a file's 0.
void add_list_row(List* list, Dir_Entry* row, bool directory);
// Frees every row of `list` (made by alloc_list_row) and makes it empty.
void free_list_rows(List* list);

}  // namespace quorvantix::wire
