#include "fs_module.h"

#include <cstdio>

#include "platform/fs.h"

namespace {

constexpr int kEntryNameColumns = 30;
constexpr int kLongestEntryName = sizeof(Dir_Entry::entry) - 1;

const char* type_word(platform::ObjectType type) {
  return type == platform::ObjectType::directory ? "DIR" : "FILE";
}

// Appends one scanned entry as a row; false when no row can be had.
bool append_entry(List* list, const platform::ExamineData& found, RowMaker make_row) {
  Dir_Entry* row = make_row(found.name, type_word(found.type));
  if (row == nullptr) return false;
  set_list_row_size(row, found.file_size);
  // Padded to 30 columns; a longer name is cut where `entry` ends.
  std::snprintf(row->entry, sizeof row->entry, "%-*.*s", kEntryNameColumns, kLongestEntryName, found.name);
  add_list_row(list, row, found.type == platform::ObjectType::directory);
  return true;
}

}  // namespace

void get_akt_dir(const platform::Tree& tree, char* name) {
  name[0] = '\0';
  tree.current_dir_name(name);
}

long set_akt_dir(platform::Tree& tree, const char* dir) {
  const platform::FsLock lock = platform::FsLock::obtain(tree, dir);
  if (!lock) return 0;
  // A plain file locks as well as a directory, but cannot become current.
  return tree.set_current(lock) ? 1 : 0;
}

long read_akt_dir(const platform::Tree& tree, List* list, RowMaker make_row) {
  const platform::FsLock lock = platform::FsLock::obtain(tree, "");
  if (!lock) return DIR_OK;
  platform::DirScan scan = platform::DirScan::start(tree, lock);
  if (!scan) return DIR_OK;
  platform::ExamineData found;
  while (scan.next(found)) {
    if (!append_entry(list, found, make_row)) return DIR_NO_MEMORY;
  }
  return DIR_OK;
}
