#include "brrbtree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

int cmpInt(const void *a, const void *b) {
  const intptr_t x = reinterpret_cast<intptr_t>(a), y = reinterpret_cast<intptr_t>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

const void *K(intptr_t k) { return reinterpret_cast<const void *>(k); }
void *V(intptr_t v) { return reinterpret_cast<void *>(v); }

// Checks the red-black rules, the parent links and the order below `n`; returns the black
// height, or -1 after a failure.
int checkNode(const brrbtree *t, const brrbtree_node *n, int *count) {
  if (!n) return 1;
  ++*count;
  if (n->left && n->left->parent != n) return ADD_FAILURE() << "bad parent link", -1;
  if (n->right && n->right->parent != n) return ADD_FAILURE() << "bad parent link", -1;
  if (n->left && t->cmp(n->left->key, n->key) > 0) return ADD_FAILURE() << "order", -1;
  if (n->right && t->cmp(n->right->key, n->key) < 0) return ADD_FAILURE() << "order", -1;
  if (n->color == BRRBTREE_RED &&
      ((n->left && n->left->color == BRRBTREE_RED) || (n->right && n->right->color == BRRBTREE_RED)))
    return ADD_FAILURE() << "red node with a red child", -1;
  const int l = checkNode(t, n->left, count), r = checkNode(t, n->right, count);
  if (l < 0 || r < 0) return -1;
  if (l != r) return ADD_FAILURE() << "black heights differ", -1;
  return l + (n->color == BRRBTREE_BLACK ? 1 : 0);
}

void checkTree(const brrbtree *t) {
  if (t->root) {
    EXPECT_EQ(t->root->color, BRRBTREE_BLACK);
    EXPECT_EQ(t->root->parent, nullptr);
  }
  int count = 0;
  EXPECT_GE(checkNode(t, t->root, &count), 0);
  EXPECT_EQ(count, t->count);
}

TEST(BrRbTree, RandomizedAgainstMultimap) {
  std::mt19937 rng(20261209);
  brrbtree *t;
  ASSERT_EQ(brrbtree__create(cmpInt, nullptr, nullptr, &t), BR_OK);
  std::multimap<intptr_t, intptr_t> ref;
  intptr_t serial = 0;
  for (int round = 0; round < 20000; ++round) {
    const intptr_t key = rng() % 500;
    if (rng() % 5 < 3) {
      ++serial;
      ASSERT_EQ(brrbtree__insert(t, K(key), V(serial)), BR_OK);
      ref.emplace(key, serial);  // multimap also keeps equal keys in insertion order
    } else {
      brrbtree_node *n = brrbtree__find(t, K(key));
      auto it = ref.find(key);
      ASSERT_EQ(n == nullptr, it == ref.end());
      if (!n) continue;
      // The oldest equal key is found first.
      ASSERT_EQ(n->value, V(it->second));
      if (rng() % 2) {
        // Remove a middle one of the equal keys, found by its value.
        auto range = ref.equal_range(key);
        auto pick = range.first;
        std::advance(pick, rng() % std::distance(range.first, range.second));
        n = brrbtree__findValue(t, K(key), V(pick->second));
        ASSERT_NE(n, nullptr);
        it = pick;
      }
      brrbtree__remove(t, n);
      ref.erase(it);
    }
    if (round % 500 == 0) checkTree(t);
  }
  checkTree(t);
  ASSERT_EQ(brrbtree__count(t), static_cast<int32_t>(ref.size()));
  std::vector<std::pair<intptr_t, intptr_t>> got, want(ref.begin(), ref.end());
  for (brrbtree_node *n = brrbtree__first(t); n; n = brrbtree__next(n))
    got.emplace_back(reinterpret_cast<intptr_t>(n->key), reinterpret_cast<intptr_t>(n->value));
  EXPECT_EQ(got, want);
  std::vector<std::pair<intptr_t, intptr_t>> backwards;
  for (brrbtree_node *n = brrbtree__last(t); n; n = brrbtree__prev(n))
    backwards.emplace_back(reinterpret_cast<intptr_t>(n->key),
                           reinterpret_cast<intptr_t>(n->value));
  const std::vector<std::pair<intptr_t, intptr_t>> reversed(want.rbegin(), want.rend());
  EXPECT_EQ(backwards, reversed);
  brrbtree__destroy(t);
}

TEST(BrRbTree, SequentialInsertStaysBalancedAndDrains) {
  brrbtree t;
  brrbtree__init(&t, cmpInt, nullptr, nullptr);
  brrbtree_node *nodes[4096];
  for (intptr_t i = 0; i < 4096; ++i) ASSERT_EQ(brrbtree__insert(&t, K(i), V(i), &nodes[i]), 0);
  checkTree(&t);
  int height = 0;
  for (brrbtree_node *n = brrbtree__first(&t); n; n = n->parent) ++height;
  EXPECT_LE(height, 2 * 12 + 1);
  // Removal relinks nodes, so the other handles stay valid.
  for (int i = 0; i < 4096; i += 2) brrbtree__remove(&t, nodes[i]);
  checkTree(&t);
  for (int i = 1; i < 4096; i += 2) {
    ASSERT_EQ(brrbtree__find(&t, K(i)), nodes[i]);
    EXPECT_EQ(nodes[i]->value, V(i));
  }
  EXPECT_EQ(brrbtree__lowerBound(&t, K(10))->key, K(11));
  EXPECT_EQ(brrbtree__lowerBound(&t, K(11))->key, K(11));
  EXPECT_EQ(brrbtree__lowerBound(&t, K(5000)), nullptr);
  brrbtree__clear(&t);
  EXPECT_EQ(t.root, nullptr);
  EXPECT_EQ(brrbtree__first(&t), nullptr);
}

TEST(BrRbTree, StringOrderAndWalks) {
  EXPECT_LT(brrbtree__strcmp("z", "\xc3"), 0);  // unsigned bytes
  EXPECT_LT(brrbtree__strcmp("A", "a"), 0);
  EXPECT_LT(brrbtree__strcmp("ab", "abc"), 0);
  EXPECT_EQ(brrbtree__strcmp("same", "same"), 0);

  brrbtree *t;
  ASSERT_EQ(brrbtree__create(brrbtree__strcmp, nullptr, nullptr, &t), BR_OK);
  for (const char *k : {"m", "c", "x", "a", "e"}) ASSERT_EQ(brrbtree__insert(t, k, nullptr), 0);
  std::string inOrder, postOrder;
  brrbtree__walkInOrder(
      t, [](brrbtree_node *n, void *ctx) { *static_cast<std::string *>(ctx) += *(const char *)n->key; },
      &inOrder);
  brrbtree__walkPostOrder(
      t, [](brrbtree_node *n, void *ctx) { *static_cast<std::string *>(ctx) += *(const char *)n->key; },
      &postOrder);
  EXPECT_EQ(inOrder, "acemx");
  ASSERT_EQ(postOrder.size(), 5u);
  EXPECT_EQ(postOrder.back(), *static_cast<const char *>(t->root->key));
  EXPECT_EQ(brrbtree__findValue(t, "c", V(1)), nullptr);
  EXPECT_EQ(brrbtree__find(t, "q"), nullptr);
  brrbtree__destroy(t);
}

}  // namespace
