#include "wire/list.h"

namespace quorvantix::wire {

void NewList(List* list) {
  list->lh_Head = nullptr;
  list->lh_Tail = nullptr;
}

void AddTail(List* list, Node* node) {
  node->ln_Succ = nullptr;
  node->ln_Pred = list->lh_Tail;
  if (list->lh_Tail != nullptr) {
    list->lh_Tail->ln_Succ = node;
  } else {
    list->lh_Head = node;
  }
  list->lh_Tail = node;
}

}  // namespace quorvantix::wire
