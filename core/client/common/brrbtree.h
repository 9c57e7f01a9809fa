// brrbtree: a red-black tree of (key, value) pointers with a caller-given comparison.
//
// Equal keys are kept, the newer one to the right of the older, so lookups find the oldest first.
// Nodes come from an allocator table (the map draws them from its string allocator); the default
// table uses the heap. Removal relinks nodes instead of swapping their contents, so a pointer to
// any other node stays valid across a removal.
#pragma once

#include <cstdint>

#include "brerror.h"

enum : int32_t { BRRBTREE_BLACK = 0, BRRBTREE_RED = 1 };

struct brrbtree_node {
  const void *key;
  void *value;
  brrbtree_node *left;
  brrbtree_node *right;
  brrbtree_node *parent;
  int32_t color;
};

// Negative, zero or positive as `a` sorts before, with or after `b`.
typedef int (*brrbtree_cmp)(const void *a, const void *b);

struct brrbtree_allocator {
  brrbtree_node *(*allocNode)(void *ctx, const void *key, void *value);
  void (*freeNode)(void *ctx, brrbtree_node *node);
};

struct brrbtree {
  brrbtree_node *root;
  brrbtree_cmp cmp;
  int32_t count;
  const brrbtree_allocator *alloc;
  void *allocctx;
};

// The heap allocator table.
extern const brrbtree_allocator brrbtree__heapAllocator;

// Byte-wise comparison of NUL-terminated keys, bytes taken as unsigned (the map's order).
int brrbtree__strcmp(const void *a, const void *b);

// Prepares a tree record the caller embeds; `alloc` null means the heap table.
void brrbtree__init(brrbtree *tree, brrbtree_cmp cmp, const brrbtree_allocator *alloc,
                    void *allocctx);
// Creates an empty heap-allocated tree; the caller destroys it. -19 on OOM.
HB_NODISCARD int32_t brrbtree__create(brrbtree_cmp cmp, const brrbtree_allocator *alloc,
                                      void *allocctx, brrbtree **out);
// Frees every node (post-order), then the record made by brrbtree__create.
void brrbtree__destroy(brrbtree *tree);
// Frees every node of an embedded tree and leaves it empty. Keys and values are not touched.
void brrbtree__clear(brrbtree *tree);

// Inserts (key, value): 0, or -19 when no node could be had. `outNode` may be null.
HB_NODISCARD int32_t brrbtree__insert(brrbtree *tree, const void *key, void *value,
                                      brrbtree_node **outNode = nullptr);
// The leftmost (oldest) node whose key equals `key`, or null.
brrbtree_node *brrbtree__find(const brrbtree *tree, const void *key);
// Among the nodes with a key equal to `key`, the first whose value is `value`, or null.
brrbtree_node *brrbtree__findValue(const brrbtree *tree, const void *key, const void *value);
// The first node whose key is not below `key`, or null.
brrbtree_node *brrbtree__lowerBound(const brrbtree *tree, const void *key);
// Unlinks `node` (which must belong to `tree`), rebalances and frees it through the table.
void brrbtree__remove(brrbtree *tree, brrbtree_node *node);

brrbtree_node *brrbtree__first(const brrbtree *tree);
brrbtree_node *brrbtree__last(const brrbtree *tree);
brrbtree_node *brrbtree__next(const brrbtree_node *node);
brrbtree_node *brrbtree__prev(const brrbtree_node *node);

// Calls `fn` for every node, in key order or children first. `fn` must not change the tree,
// except that a post-order walk may free the node it is given.
void brrbtree__walkInOrder(const brrbtree *tree, void (*fn)(brrbtree_node *, void *), void *ctx);
void brrbtree__walkPostOrder(const brrbtree *tree, void (*fn)(brrbtree_node *, void *), void *ctx);

inline int32_t brrbtree__count(const brrbtree *tree) { return tree ? tree->count : 0; }
