#include "brlist.h"

#include <cstdlib>
#include <new>

namespace {

brlist_node *heapAlloc(void *, void *data) {
  auto *n = static_cast<brlist_node *>(std::malloc(sizeof(brlist_node)));
  if (n) n->data = data;
  return n;
}

void heapFree(void *, brlist_node *node) { std::free(node); }

}  // namespace

const brlist_allocator brlist__heapAllocator = {heapAlloc, heapFree};

void brlist__init(brlist *list, const brlist_allocator *alloc, void *allocctx) {
  list->first = list->last = nullptr;
  list->count = 0;
  list->alloc = alloc ? alloc : &brlist__heapAllocator;
  list->allocctx = allocctx;
}

int32_t brlist__create(brlist **out) {
  auto *l = static_cast<brlist *>(std::malloc(sizeof(brlist)));
  if (!l) return BR_ENOMEM;
  brlist__init(l, nullptr, nullptr);
  *out = l;
  return BR_OK;
}

void brlist__clear(brlist *list) {
  brlist_node *n = list->first;
  while (n) {
    brlist_node *next = n->next;
    list->alloc->freeNode(list->allocctx, n);
    n = next;
  }
  list->first = list->last = nullptr;
  list->count = 0;
}

void brlist__destroy(brlist *list) {
  if (!list) return;
  brlist__clear(list);
  std::free(list);
}

int32_t brlist__append(brlist *list, void *data, brlist_node **outNode) {
  brlist_node *n = list->alloc->allocNode(list->allocctx, data);
  if (!n) return BR_ENOMEM;
  n->data = data;
  n->next = nullptr;
  n->prev = list->last;
  if (list->last)
    list->last->next = n;
  else
    list->first = n;
  list->last = n;
  list->count++;
  if (outNode) *outNode = n;
  return BR_OK;
}

void brlist__removeNode(brlist *list, brlist_node *node) {
  if (node->prev)
    node->prev->next = node->next;
  else
    list->first = node->next;
  if (node->next)
    node->next->prev = node->prev;
  else
    list->last = node->prev;
  list->count--;
  list->alloc->freeNode(list->allocctx, node);
}

void *brlist__pop(brlist *list) {
  brlist_node *n = list->first;
  if (!n) return nullptr;
  void *data = n->data;
  brlist__removeNode(list, n);
  return data;
}

int32_t brlist__remove(brlist *list, void *data) {
  for (brlist_node *n = list->first; n; n = n->next)
    if (n->data == data) {
      brlist__removeNode(list, n);
      return BR_OK;
    }
  return BR_ENOENT;
}
