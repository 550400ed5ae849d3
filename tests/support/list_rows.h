// Lists of Dir_Entry rows as tests see them.
#pragma once

#include <string>
#include <vector>

#include "transfer_ext.h"

namespace testsupport {

// A list that frees its rows however the test ends; `first` names a row that
// is in it before the test adds any.
struct OwnedList : List {
  explicit OwnedList(const char* first = nullptr) { if (first) AddTail(this, &alloc_list_row(first, "FILE")->node); }
  ~OwnedList() { free_list_rows(this); }
};

// One row: both column texts, its entry text, its priority.
struct Row { std::string column0, column1, entry; int pri; bool operator==(const Row&) const = default; };

inline std::vector<Row> rows_of(const List& list) {
  std::vector<Row> rows;
  for (const Node* node = list.lh_Head; node != nullptr; node = node->ln_Succ) {
    const auto* row = reinterpret_cast<const Dir_Entry*>(node);
    rows.push_back({list_row_column(row, 0), list_row_column(row, 1), row->entry, node->ln_Pri});
  }
  return rows;
}

// `name` padded with spaces to 30 columns.
inline std::string padded(const std::string& name) { return name + std::string(30 - name.size(), ' '); }

}  // namespace testsupport
