// brlist: a doubly linked list of data pointers.
//
// The list never touches the data it carries. Nodes come from an allocator table, so a container
// can draw them from its own region (the map takes them from its string allocator and never frees
// them one by one); the default table uses the heap.
#pragma once

#include <cstdint>

#include "brerror.h"

struct brlist_node {
  void *data;
  brlist_node *next;
  brlist_node *prev;
};

// Allocates a node for `data` (null on failure) and frees one; `ctx` is the list's allocctx.
struct brlist_allocator {
  brlist_node *(*allocNode)(void *ctx, void *data);
  void (*freeNode)(void *ctx, brlist_node *node);
};

struct brlist {
  brlist_node *first;
  brlist_node *last;
  int32_t count;
  const brlist_allocator *alloc;
  void *allocctx;
};

// The heap allocator table (24-byte nodes).
extern const brlist_allocator brlist__heapAllocator;

// Prepares a list record the caller embeds; `alloc` null means the heap table.
void brlist__init(brlist *list, const brlist_allocator *alloc, void *allocctx);
// Creates an empty heap list with the default allocator; the caller destroys it. -19 on OOM.
HB_NODISCARD int32_t brlist__create(brlist **out);
// Frees every node, then the record made by brlist__create. The data is not touched.
void brlist__destroy(brlist *list);
// Frees every node of an embedded list and leaves it empty.
void brlist__clear(brlist *list);
// Appends `data` at the end: 0, or -19 when no node could be had. `outNode` may be null.
HB_NODISCARD int32_t brlist__append(brlist *list, void *data, brlist_node **outNode = nullptr);
// Removes the first node and returns its data; null for an empty list.
void *brlist__pop(brlist *list);
// Removes the first node whose data equals `data`: 0, or -3 when there is none.
int32_t brlist__remove(brlist *list, void *data);
// Unlinks and frees `node`, which must belong to `list`.
void brlist__removeNode(brlist *list, brlist_node *node);

inline int32_t brlist__count(const brlist *list) { return list ? list->count : 0; }
inline brlist_node *brlist__first(const brlist *list) { return list ? list->first : nullptr; }
