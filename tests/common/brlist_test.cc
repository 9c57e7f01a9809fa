#include "brlist.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int *> items(const brlist *l) {
  std::vector<int *> v;
  for (brlist_node *n = brlist__first(l); n; n = n->next) v.push_back(static_cast<int *>(n->data));
  return v;
}

TEST(BrList, AppendPopRemove) {
  int a = 1, b = 2, c = 3;
  brlist *l;
  ASSERT_EQ(brlist__create(&l), BR_OK);
  EXPECT_EQ(brlist__pop(l), nullptr);
  ASSERT_EQ(brlist__append(l, &a), BR_OK);
  ASSERT_EQ(brlist__append(l, &b), BR_OK);
  ASSERT_EQ(brlist__append(l, &c), BR_OK);
  ASSERT_EQ(brlist__append(l, &b), BR_OK);
  EXPECT_EQ(brlist__count(l), 4);
  EXPECT_EQ(brlist__remove(l, &b), BR_OK);  // the first one only
  EXPECT_EQ(items(l), (std::vector<int *>{&a, &c, &b}));
  EXPECT_EQ(brlist__remove(l, &l), BR_ENOENT);
  EXPECT_EQ(brlist__pop(l), &a);
  brlist__removeNode(l, l->last);
  EXPECT_EQ(items(l), (std::vector<int *>{&c}));
  EXPECT_EQ(l->first, l->last);
  EXPECT_EQ(l->first->prev, nullptr);
  brlist__removeNode(l, l->first);
  EXPECT_EQ(l->first, nullptr);
  EXPECT_EQ(l->last, nullptr);
  EXPECT_EQ(brlist__count(l), 0);
  ASSERT_EQ(brlist__append(l, &a), BR_OK);
  brlist__destroy(l);  // frees the node left (ASan checks)
}

// A node allocator that runs dry, as the map's region allocator does.
struct Pool {
  brlist_node nodes[2];
  int used = 0;
  int freed = 0;
};
brlist_node *poolAlloc(void *ctx, void *) {
  auto *p = static_cast<Pool *>(ctx);
  return p->used < 2 ? &p->nodes[p->used++] : nullptr;
}
void poolFree(void *ctx, brlist_node *) { static_cast<Pool *>(ctx)->freed++; }
const brlist_allocator kPool = {poolAlloc, poolFree};

TEST(BrList, CustomAllocatorAndExhaustion) {
  Pool pool;
  brlist l;
  brlist__init(&l, &kPool, &pool);
  int x;
  brlist_node *node = nullptr;
  ASSERT_EQ(brlist__append(&l, &x, &node), BR_OK);
  EXPECT_EQ(node, &pool.nodes[0]);
  ASSERT_EQ(brlist__append(&l, &x), BR_OK);
  EXPECT_EQ(brlist__append(&l, &x), BR_ENOMEM);
  EXPECT_EQ(brlist__count(&l), 2);
  EXPECT_EQ(l.last, &pool.nodes[1]);
  brlist__clear(&l);
  EXPECT_EQ(pool.freed, 2);
  EXPECT_EQ(brlist__count(&l), 0);
}

}  // namespace
