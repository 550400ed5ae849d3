// A doubly linked list with head and tail, and its nodes.
#pragma once

#include <cstdint>

namespace quorvantix::wire {

struct Node {
  Node* ln_Succ = nullptr;
  Node* ln_Pred = nullptr;
  std::uint8_t ln_Type = 0;
  std::int8_t ln_Pri = 0;
  char* ln_Name = nullptr;
};

struct List {
  Node* lh_Head = nullptr;
  Node* lh_Tail = nullptr;
};

// Makes `list` empty.
void NewList(List* list);
// Appends `node` at the tail of `list`.
void AddTail(List* list, Node* node);

// One directory entry: a node of the caller's list and a row of its list view.
struct Dir_Entry {
  Node node;
  char entry[50];  // the name, left-justified and padded with spaces to 30
};

}  // namespace quorvantix::wire
