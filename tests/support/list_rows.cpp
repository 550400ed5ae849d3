#include "support/list_rows.h"

#include <cstdio>

namespace testsupport {

std::vector<Row> rows_of(const List& list) {
  std::vector<Row> rows;
  for (const Node* node = list.lh_Head; node != nullptr; node = node->ln_Succ) {
    const auto* row = reinterpret_cast<const Dir_Entry*>(node);
    std::string entry = row->entry;
    if (node->ln_Name != row->entry) entry = "<ln_Name is not entry>";
    if (node->ln_Type != 0) entry = "<ln_Type is not 0>";
    rows.push_back({list_row_column(row, 0), list_row_column(row, 1), entry, node->ln_Pri});
  }
  return rows;
}

void append_row(List& list, const std::string& name) {
  Dir_Entry* row = alloc_list_row(name.c_str(), "FILE");
  std::snprintf(row->entry, sizeof row->entry, "%s", name.c_str());
  row->node.ln_Name = row->entry;
  AddTail(&list, &row->node);
}

std::string padded(const std::string& name) { return name + std::string(30 - name.size(), ' '); }

}  // namespace testsupport
