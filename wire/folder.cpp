#include "wire/folder.h"

#include "host/file_system.h"

namespace quorvantix::wire {

namespace {

Entry entry_of(const host::ExamineData& found) {
  const EntryType type = found.type == host::ObjectType::directory ? EntryType::folder : EntryType::file;
  return Entry{type, found.name, found.file_size, false};
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

std::vector<Entry> read_akt_dir(const host::FileSystem& tree) {
  std::vector<Entry> entries;
  const std::unique_ptr<host::EntryScan> scan = tree.scan_current();
  if (!scan) return entries;
  host::ExamineData found;
  while (scan->next(found)) entries.push_back(entry_of(found));
  return entries;
}

}  // namespace quorvantix::wire
