#include "wire/display.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "wire/list.h"

namespace quorvantix::wire {

namespace {

// A row begins with the caller's Dir_Entry, so that the row and the node are
// one object; the column texts are the row's own copies.
struct ListRow {
  Dir_Entry entry;
  char* columns[2];
  std::int64_t size;
};
static_assert(std::is_standard_layout_v<ListRow>, "a Dir_Entry* must convert to its row");

char* copy_of(const char* text) {
  const std::size_t length = std::strlen(text);
  char* copy = new (std::nothrow) char[length + 1];
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

void free_row(ListRow* row) {
  delete[] row->columns[0];
  delete[] row->columns[1];
  delete row;
}

}  // namespace

Dir_Entry* alloc_list_row(const char* column0, const char* column1) {
  auto* row = new (std::nothrow) ListRow{};
  if (row == nullptr) return nullptr;
  row->size = -1;
  row->columns[0] = copy_of(column0);
  row->columns[1] = copy_of(column1);
  if (row->columns[0] == nullptr || row->columns[1] == nullptr) {
    free_row(row);
    return nullptr;
  }
  return &row->entry;
}

const char* list_row_column(const Dir_Entry* row, int column) {
  return reinterpret_cast<const ListRow*>(row)->columns[column];
}

void set_list_row_size(Dir_Entry* row, std::int64_t size) { reinterpret_cast<ListRow*>(row)->size = size; }

std::int64_t list_row_size(const Dir_Entry* row) { return reinterpret_cast<const ListRow*>(row)->size; }

void add_list_row(List* list, Dir_Entry* row, bool directory) {
  row->node.ln_Type = 0;
  row->node.ln_Pri = directory ? 1 : 0;
  row->node.ln_Name = row->entry;
  AddTail(list, &row->node);
}

void free_list_rows(List* list) {
  Node* node = list->lh_Head;
  while (node != nullptr) {
    Node* next = node->ln_Succ;
    free_row(reinterpret_cast<ListRow*>(node));
    node = next;
  }
  NewList(list);
}

}  // namespace quorvantix::wire
