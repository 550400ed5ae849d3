// Lists of Dir_Entry rows as tests see them.
#pragma once

#include <string>
#include <vector>

#include "transfer_ext.h"

namespace testsupport {

// A list that frees its rows however the test ends.
struct OwnedList : List {
  OwnedList() { NewList(this); }
  ~OwnedList() { free_list_rows(this); }
  OwnedList(const OwnedList&) = delete;
  OwnedList& operator=(const OwnedList&) = delete;
};

// One row: both column texts, the text the node is named by, its priority.
struct Row {
  std::string column0;
  std::string column1;
  std::string entry;
  int pri;
  bool operator==(const Row&) const = default;
};

// The rows of `list` in list order. A node whose ln_Name is not its own
// `entry`, or whose ln_Type is not 0, shows as such in `entry`.
std::vector<Row> rows_of(const List& list);
// Appends a row named `name` to `list`, as a caller's earlier contents.
void append_row(List& list, const std::string& name);
// `name` padded with spaces to 30 characters.
std::string padded(const std::string& name);

}  // namespace testsupport
