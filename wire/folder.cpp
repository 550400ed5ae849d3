#include "wire/folder.h"

#include <cstdio>

#include "host/file_system.h"

namespace quorvantix::wire {

namespace {

constexpr int kEntryNameColumns = 30;
constexpr int kLongestEntryName = sizeof(Dir_Entry::entry) - 1;

const char* type_word(host::ObjectType type) {
  return type == host::ObjectType::directory ? "DIR" : "FILE";
}

// Appends one scanned entry as a row; false when no row can be had.
bool append_entry(List* list, const host::ExamineData& found, RowMaker make_row) {
  Dir_Entry* row = make_row(found.name, type_word(found.type));
  if (row == nullptr) return false;
  set_list_row_size(row, found.file_size);
  // Padded to 30 columns; a longer name is cut where `entry` ends.
  std::snprintf(row->entry, sizeof row->entry, "%-*.*s", kEntryNameColumns, kLongestEntryName, found.name);
  add_list_row(list, row, found.type == host::ObjectType::directory);
  return true;
}

}  // namespace

void get_akt_dir(const host::FileSystem& tree, char* name) {
  name[0] = '\0';
  tree.current_dir_name(name);
}

Result<> set_akt_dir(host::FileSystem& tree, const char* dir) {
  // A plain file, or a name that is not there, cannot become current.
  if (!tree.set_current(dir)) return fail(Status::no_such_folder, std::string("cd ") + dir + ": no such folder");
  return {};
}

long read_akt_dir(const host::FileSystem& tree, List* list, RowMaker make_row) {
  const std::unique_ptr<host::EntryScan> scan = tree.scan_current();
  if (!scan) return DIR_OK;
  host::ExamineData found;
  while (scan->next(found)) {
    if (!append_entry(list, found, make_row)) return DIR_NO_MEMORY;
  }
  return DIR_OK;
}

}  // namespace quorvantix::wire
