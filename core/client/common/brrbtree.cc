#include "brrbtree.h"

#include <cstdlib>
#include <cstring>

namespace {

brrbtree_node *heapAlloc(void *, const void *key, void *value) {
  auto *n = static_cast<brrbtree_node *>(std::malloc(sizeof(brrbtree_node)));
  if (n) {
    n->key = key;
    n->value = value;
  }
  return n;
}

void heapFree(void *, brrbtree_node *node) { std::free(node); }

inline int colorOf(const brrbtree_node *n) { return n ? n->color : BRRBTREE_BLACK; }

brrbtree_node *minimum(brrbtree_node *n) {
  while (n->left) n = n->left;
  return n;
}

brrbtree_node *maximum(brrbtree_node *n) {
  while (n->right) n = n->right;
  return n;
}

void rotateLeft(brrbtree *t, brrbtree_node *x) {
  brrbtree_node *y = x->right;
  x->right = y->left;
  if (y->left) y->left->parent = x;
  y->parent = x->parent;
  if (!x->parent)
    t->root = y;
  else if (x == x->parent->left)
    x->parent->left = y;
  else
    x->parent->right = y;
  y->left = x;
  x->parent = y;
}

void rotateRight(brrbtree *t, brrbtree_node *x) {
  brrbtree_node *y = x->left;
  x->left = y->right;
  if (y->right) y->right->parent = x;
  y->parent = x->parent;
  if (!x->parent)
    t->root = y;
  else if (x == x->parent->right)
    x->parent->right = y;
  else
    x->parent->left = y;
  y->right = x;
  x->parent = y;
}

void insertFixup(brrbtree *t, brrbtree_node *z) {
  while (z->parent && z->parent->color == BRRBTREE_RED) {
    brrbtree_node *p = z->parent;
    brrbtree_node *g = p->parent;  // a red node is never the root
    if (p == g->left) {
      brrbtree_node *u = g->right;
      if (colorOf(u) == BRRBTREE_RED) {
        p->color = u->color = BRRBTREE_BLACK;
        g->color = BRRBTREE_RED;
        z = g;
        continue;
      }
      if (z == p->right) {
        z = p;
        rotateLeft(t, z);
        p = z->parent;
      }
      p->color = BRRBTREE_BLACK;
      g->color = BRRBTREE_RED;
      rotateRight(t, g);
    } else {
      brrbtree_node *u = g->left;
      if (colorOf(u) == BRRBTREE_RED) {
        p->color = u->color = BRRBTREE_BLACK;
        g->color = BRRBTREE_RED;
        z = g;
        continue;
      }
      if (z == p->left) {
        z = p;
        rotateRight(t, z);
        p = z->parent;
      }
      p->color = BRRBTREE_BLACK;
      g->color = BRRBTREE_RED;
      rotateLeft(t, g);
    }
  }
  t->root->color = BRRBTREE_BLACK;
}

void transplant(brrbtree *t, brrbtree_node *u, brrbtree_node *v) {
  if (!u->parent)
    t->root = v;
  else if (u == u->parent->left)
    u->parent->left = v;
  else
    u->parent->right = v;
  if (v) v->parent = u->parent;
}

// `x` may be null (a leaf); `parent` is where it hangs.
void removeFixup(brrbtree *t, brrbtree_node *x, brrbtree_node *parent) {
  while (x != t->root && colorOf(x) == BRRBTREE_BLACK) {
    if (x == parent->left) {
      brrbtree_node *w = parent->right;
      if (colorOf(w) == BRRBTREE_RED) {
        w->color = BRRBTREE_BLACK;
        parent->color = BRRBTREE_RED;
        rotateLeft(t, parent);
        w = parent->right;
      }
      if (colorOf(w->left) == BRRBTREE_BLACK && colorOf(w->right) == BRRBTREE_BLACK) {
        w->color = BRRBTREE_RED;
        x = parent;
        parent = x->parent;
      } else {
        if (colorOf(w->right) == BRRBTREE_BLACK) {
          w->left->color = BRRBTREE_BLACK;
          w->color = BRRBTREE_RED;
          rotateRight(t, w);
          w = parent->right;
        }
        w->color = parent->color;
        parent->color = BRRBTREE_BLACK;
        if (w->right) w->right->color = BRRBTREE_BLACK;
        rotateLeft(t, parent);
        x = t->root;
        parent = nullptr;
      }
    } else {
      brrbtree_node *w = parent->left;
      if (colorOf(w) == BRRBTREE_RED) {
        w->color = BRRBTREE_BLACK;
        parent->color = BRRBTREE_RED;
        rotateRight(t, parent);
        w = parent->left;
      }
      if (colorOf(w->left) == BRRBTREE_BLACK && colorOf(w->right) == BRRBTREE_BLACK) {
        w->color = BRRBTREE_RED;
        x = parent;
        parent = x->parent;
      } else {
        if (colorOf(w->left) == BRRBTREE_BLACK) {
          w->right->color = BRRBTREE_BLACK;
          w->color = BRRBTREE_RED;
          rotateLeft(t, w);
          w = parent->left;
        }
        w->color = parent->color;
        parent->color = BRRBTREE_BLACK;
        if (w->left) w->left->color = BRRBTREE_BLACK;
        rotateRight(t, parent);
        x = t->root;
        parent = nullptr;
      }
    }
  }
  if (x) x->color = BRRBTREE_BLACK;
}

// Recursion depth is bounded by the height, at most twice the log of the count.
void postOrder(brrbtree_node *n, void (*fn)(brrbtree_node *, void *), void *ctx) {
  if (!n) return;
  postOrder(n->left, fn, ctx);
  postOrder(n->right, fn, ctx);
  fn(n, ctx);
}

void freeOne(brrbtree_node *n, void *ctx) {
  auto *t = static_cast<brrbtree *>(ctx);
  t->alloc->freeNode(t->allocctx, n);
}

}  // namespace

const brrbtree_allocator brrbtree__heapAllocator = {heapAlloc, heapFree};

// strcmp compares bytes as unsigned char, which is the order wanted.
int brrbtree__strcmp(const void *a, const void *b) {
  return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

void brrbtree__init(brrbtree *tree, brrbtree_cmp cmp, const brrbtree_allocator *alloc,
                    void *allocctx) {
  tree->root = nullptr;
  tree->cmp = cmp ? cmp : brrbtree__strcmp;
  tree->count = 0;
  tree->alloc = alloc ? alloc : &brrbtree__heapAllocator;
  tree->allocctx = allocctx;
}

int32_t brrbtree__create(brrbtree_cmp cmp, const brrbtree_allocator *alloc, void *allocctx,
                         brrbtree **out) {
  auto *t = static_cast<brrbtree *>(std::malloc(sizeof(brrbtree)));
  if (!t) return BR_ENOMEM;
  brrbtree__init(t, cmp, alloc, allocctx);
  *out = t;
  return BR_OK;
}

void brrbtree__clear(brrbtree *tree) {
  postOrder(tree->root, freeOne, tree);
  tree->root = nullptr;
  tree->count = 0;
}

void brrbtree__destroy(brrbtree *tree) {
  if (!tree) return;
  brrbtree__clear(tree);
  std::free(tree);
}

int32_t brrbtree__insert(brrbtree *tree, const void *key, void *value, brrbtree_node **outNode) {
  brrbtree_node *z = tree->alloc->allocNode(tree->allocctx, key, value);
  if (!z) return BR_ENOMEM;
  z->key = key;
  z->value = value;
  z->left = z->right = nullptr;
  z->color = BRRBTREE_RED;
  brrbtree_node *parent = nullptr;
  brrbtree_node *n = tree->root;
  bool left = false;
  while (n) {
    parent = n;
    left = tree->cmp(key, n->key) < 0;
    n = left ? n->left : n->right;
  }
  z->parent = parent;
  if (!parent)
    tree->root = z;
  else if (left)
    parent->left = z;
  else
    parent->right = z;
  tree->count++;
  insertFixup(tree, z);
  if (outNode) *outNode = z;
  return BR_OK;
}

brrbtree_node *brrbtree__find(const brrbtree *tree, const void *key) {
  brrbtree_node *found = nullptr;
  brrbtree_node *n = tree->root;
  while (n) {
    const int c = tree->cmp(key, n->key);
    if (c == 0) {
      found = n;
      n = n->left;
    } else {
      n = c < 0 ? n->left : n->right;
    }
  }
  return found;
}

brrbtree_node *brrbtree__lowerBound(const brrbtree *tree, const void *key) {
  brrbtree_node *found = nullptr;
  brrbtree_node *n = tree->root;
  while (n) {
    if (tree->cmp(key, n->key) <= 0) {
      found = n;
      n = n->left;
    } else {
      n = n->right;
    }
  }
  return found;
}

brrbtree_node *brrbtree__findValue(const brrbtree *tree, const void *key, const void *value) {
  for (brrbtree_node *n = brrbtree__find(tree, key); n && tree->cmp(key, n->key) == 0;
       n = brrbtree__next(n))
    if (n->value == value) return n;
  return nullptr;
}

void brrbtree__remove(brrbtree *tree, brrbtree_node *z) {
  brrbtree_node *x;
  brrbtree_node *xParent;
  int removedColor = z->color;
  if (!z->left) {
    x = z->right;
    xParent = z->parent;
    transplant(tree, z, z->right);
  } else if (!z->right) {
    x = z->left;
    xParent = z->parent;
    transplant(tree, z, z->left);
  } else {
    brrbtree_node *y = minimum(z->right);
    removedColor = y->color;
    x = y->right;
    if (y->parent == z) {
      xParent = y;
    } else {
      xParent = y->parent;
      transplant(tree, y, y->right);
      y->right = z->right;
      y->right->parent = y;
    }
    transplant(tree, z, y);
    y->left = z->left;
    y->left->parent = y;
    y->color = z->color;
  }
  if (removedColor == BRRBTREE_BLACK) removeFixup(tree, x, xParent);
  tree->count--;
  tree->alloc->freeNode(tree->allocctx, z);
}

brrbtree_node *brrbtree__first(const brrbtree *tree) {
  return tree->root ? minimum(tree->root) : nullptr;
}

brrbtree_node *brrbtree__last(const brrbtree *tree) {
  return tree->root ? maximum(tree->root) : nullptr;
}

brrbtree_node *brrbtree__next(const brrbtree_node *node) {
  if (node->right) return minimum(node->right);
  const brrbtree_node *n = node;
  brrbtree_node *p = n->parent;
  while (p && n == p->right) {
    n = p;
    p = p->parent;
  }
  return p;
}

brrbtree_node *brrbtree__prev(const brrbtree_node *node) {
  if (node->left) return maximum(node->left);
  const brrbtree_node *n = node;
  brrbtree_node *p = n->parent;
  while (p && n == p->left) {
    n = p;
    p = p->parent;
  }
  return p;
}

void brrbtree__walkInOrder(const brrbtree *tree, void (*fn)(brrbtree_node *, void *), void *ctx) {
  for (brrbtree_node *n = brrbtree__first(tree); n; n = brrbtree__next(n)) fn(n, ctx);
}

void brrbtree__walkPostOrder(const brrbtree *tree, void (*fn)(brrbtree_node *, void *),
                             void *ctx) {
  postOrder(tree->root, fn, ctx);
}
