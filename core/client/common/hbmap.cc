#include "hbmap.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "brlog.h"

namespace {

constexpr const char *kTag = "HBMAP";

// Tree and list nodes of a map come from its string allocator and die with it.
brrbtree_node *saTreeNode(void *ctx, const void *, void *) {
  return static_cast<brrbtree_node *>(
      static_cast<HBStringAllocator *>(ctx)->alloc(sizeof(brrbtree_node)));
}
void saTreeFree(void *, brrbtree_node *) {}
const brrbtree_allocator kTreeAlloc = {saTreeNode, saTreeFree};

brlist_node *saListNode(void *ctx, void *) {
  return static_cast<brlist_node *>(
      static_cast<HBStringAllocator *>(ctx)->alloc(sizeof(brlist_node)));
}
void saListFree(void *, brlist_node *) {}
const brlist_allocator kListAlloc = {saListNode, saListFree};

char *heapCopy(const char *text, bool *failed) {
  *failed = false;
  if (!text) return nullptr;
  char *c = strdup(text);
  if (!c) *failed = true;
  return c;
}

// The nextN shared by the map and list iterators.
int32_t iterNextN(IHBIter *it, hbtype_t *hbtypes, void **outs, int32_t count) {
  if (count <= 0) return BR_ERANGE;
  int32_t i = 0;
  int32_t rc = BR_OK;
  for (; i < count; ++i) {
    rc = it->next(hbtypes ? &hbtypes[i] : nullptr, outs ? &outs[i] : nullptr);
    if (rc != BR_OK) break;
  }
  return i > 0 ? i : rc;
}

}  // namespace

struct HBMap::Entry {
  const char *key;
  hbtype_t hbtype;
  void *value;
  brrbtree_node *node;
  brlist_node *order;
};

// Yields the keys of a map, in insertion order when the map keeps it, else in byte order.
class HBMapIterator final : public HBObject<HBMapIterator, IHBIter> {
 public:
  static int32_t create(HBMap *map, IHBIter **out) {
    auto *it = new (std::nothrow) HBMapIterator;
    if (!it) return BR_ENOMEM;
    map->upref();
    it->m_map = map;
    if (map->m_flags & HBMAP_ORDERED)
      it->m_listNode = map->m_order.first;
    else
      it->m_treeNode = brrbtree__first(&map->m_tree);
    *out = it;
    return BR_OK;
  }

  int32_t next(hbtype_t *hbtype, void **out) override {
    const HBMap::Entry *e;
    if (m_map->m_flags & HBMAP_ORDERED) {
      if (!m_listNode) return BR_ERANGE;
      e = static_cast<const HBMap::Entry *>(m_listNode->data);
      m_listNode = m_listNode->next;
    } else {
      if (!m_treeNode) return BR_ERANGE;
      e = static_cast<const HBMap::Entry *>(m_treeNode->value);
      m_treeNode = brrbtree__next(m_treeNode);
    }
    if (hbtype && *hbtype == HBTYPE_ANY) *hbtype = HBTYPE_TEXT;
    if (!out) return BR_OK;
    if (hbtype && *hbtype == HBTYPE_TEXT) {
      *out = const_cast<char *>(e->key);
      return BR_OK;
    }
    return BR_EUNSUPPORTED;
  }

  int32_t nextN(hbtype_t *hbtypes, void **outs, int32_t count) override {
    return iterNextN(this, hbtypes, outs, count);
  }

  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_ITER) return offer<IHBIter>(out);
    return BR_ENOENT;
  }

 private:
  friend class HBObject<HBMapIterator, IHBIter>;
  HBMapIterator() = default;
  ~HBMapIterator() override {
    if (m_map) m_map->dnref();
  }
  HBMap *m_map = nullptr;
  brrbtree_node *m_treeNode = nullptr;
  brlist_node *m_listNode = nullptr;
};

// ---------------------------------------------------------------------------------------------
// HBMap

HBMap::HBMap() : m_named(this) {
  brrbtree__init(&m_tree, brrbtree__strcmp, &kTreeAlloc, nullptr);
  brlist__init(&m_order, &kListAlloc, nullptr);
}

HBMap::~HBMap() {
  clear();
  std::free(m_name);
  if (m_allocator) m_allocator->dnref();
}

int32_t HBMap::create(const char *name, int32_t initialSize, int32_t growSize, HBMap **out) {
  auto *m = new (std::nothrow) HBMap;
  if (!m) return BR_ENOMEM;
  bool failed;
  m->m_name = heapCopy(name, &failed);
  if (failed || HBStringAllocator::create(initialSize, growSize, &m->m_allocator) < 0) {
    m->dnref();
    return BR_ENOMEM;
  }
  m->m_tree.allocctx = m->m_order.allocctx = m->m_allocator;
  m->m_flags = HBMAP_OWNS_ALLOCATOR;
  *out = m;
  return BR_OK;
}

int32_t HBMap::create(const char *name, int32_t initialSize, int32_t growSize,
                      HBRef<HBMap> &out) {
  return create(name, initialSize, growSize, out.out());
}

int32_t HBMap::newChild(const char *name, HBMap **out) {
  auto *m = new (std::nothrow) HBMap;
  if (!m) return BR_ENOMEM;
  bool failed;
  m->m_name = heapCopy(name, &failed);
  if (failed) {
    m->dnref();
    return BR_ENOMEM;
  }
  m_allocator->upref();
  m->m_allocator = m_allocator;
  m->m_tree.allocctx = m->m_order.allocctx = m_allocator;
  m->m_flags = m_flags & HBMAP_SETTABLE;
  *out = m;
  return BR_OK;
}

int32_t HBMap::newChild(const char *name, HBRef<HBMap> &out) { return newChild(name, out.out()); }

void HBMap::setFlags(uint32_t flags) {
  if (((flags ^ m_flags) & HBMAP_ORDERED) && m_tree.count > 0) brabort(__PRETTY_FUNCTION__, 555);
  m_flags = (m_flags & ~HBMAP_SETTABLE) | (flags & HBMAP_SETTABLE);
}

HBMap::Entry *HBMap::find(const char *key) const {
  if (!key) return nullptr;
  brrbtree_node *n = brrbtree__find(&m_tree, key);
  return n ? static_cast<Entry *>(n->value) : nullptr;
}

void HBMap::releaseValue(hbtype_t hbtype, void *value) {
  if (!hbtype__isRaw(hbtype) && value) static_cast<IHBObj *>(value)->dnref();
}

void HBMap::dropEntry(Entry *e) {
  brrbtree__remove(&m_tree, e->node);
  if (e->order) brlist__removeNode(&m_order, e->order);
  releaseValue(e->hbtype, e->value);
}

int32_t HBMap::put(const char *key, hbtype_t hbtype, const void *value, uint32_t flags) {
  if (!key || hbtype == HBTYPE_ANY) return BR_EINVAL;
  if (!value && hbtype != HBTYPE_PTR && hbtype < HBTYPE_INT) return BR_ENULLVALUE;
  Entry *old = find(key);
  if (old && (flags & HBMAP_PUT_NOREPLACE)) {
    brlog(kTag, BRLOG_ERROR, "Collision in Map: '%s'\n", key);
    return BR_EEXISTS;
  }
  // Everything the new entry needs is had before the old one goes, so a failure leaves the map
  // as it was.
  auto oom = [key] {
    brlog(kTag, BRLOG_ERROR, "OOM in Map allocator: '%s'\n", key);
    return BR_ENOMEM;
  };
  auto *e = static_cast<Entry *>(m_allocator->alloc(sizeof(Entry)));
  if (!e) return oom();
  e->key = (flags & HBMAP_PUT_NOCOPY) ? key : m_allocator->copyText(key, -1);
  if (!e->key) return oom();
  e->hbtype = hbtype;
  e->value = const_cast<void *>(value);
  e->node = nullptr;
  e->order = nullptr;
  if (hbtype == HBTYPE_TEXT && !(flags & HBMAP_PUT_NOCOPY)) {
    e->value = m_allocator->copyText(static_cast<const char *>(value), -1);
    if (!e->value) return oom();
  }
  if (brrbtree__insert(&m_tree, e->key, e, &e->node) < 0) return oom();
  if ((m_flags & HBMAP_ORDERED) && brlist__append(&m_order, e, &e->order) < 0) {
    brrbtree__remove(&m_tree, e->node);
    return oom();
  }
  if (!hbtype__isRaw(hbtype)) static_cast<IHBObj *>(e->value)->upref();
  if (old) dropEntry(old);
  return BR_OK;
}

int32_t HBMap::putString(const char *key, const char *text, uint32_t flags) {
  return put(key, HBTYPE_TEXT, text, flags);
}

int32_t HBMap::putObject(const char *key, hbtype_t hbtype, IHBObj *obj, uint32_t flags) {
  if (hbtype__isRaw(hbtype)) return BR_EINVAL;
  return put(key, hbtype, obj, flags);
}

int32_t HBMap::remove(const char *key) {
  Entry *e = find(key);
  if (!e) return BR_ENOENT;
  dropEntry(e);
  return BR_OK;
}

int32_t HBMap::clear() {
  // The map is emptied before any value is released, so a destructor that reaches back into
  // this map finds it consistent.
  brrbtree old = m_tree;
  m_tree.root = nullptr;
  m_tree.count = 0;
  m_order.first = m_order.last = nullptr;
  m_order.count = 0;
  brrbtree__walkPostOrder(
      &old,
      [](brrbtree_node *n, void *) {
        auto *e = static_cast<Entry *>(n->value);
        releaseValue(e->hbtype, e->value);
      },
      nullptr);
  return BR_OK;
}

int32_t HBMap::get(const char *key, hbtype_t *hbtype, void **out) {
  Entry *e = find(key);
  if (!e) return BR_ENOENT;
  if (!hbtype) return BR_OK;
  if (*hbtype == HBTYPE_ANY) *hbtype = e->hbtype;
  if (!out) return BR_OK;
  if (hbtype__isRaw(e->hbtype)) {
    if (*hbtype != e->hbtype) return BR_EUNSUPPORTED;
    *out = e->value;
    return BR_OK;
  }
  if (!e->value) {
    *out = nullptr;
    return BR_OK;
  }
  return static_cast<IHBObj *>(e->value)->getifc(*hbtype, out);
}

const char *HBMap::getString(const char *key) {
  Entry *e = find(key);
  if (!e) return nullptr;
  if (e->hbtype == HBTYPE_TEXT) return static_cast<const char *>(e->value);
  if (e->hbtype == HBIFC_STR && e->value)
    return static_cast<IHBStr *>(static_cast<IHBObj *>(e->value))->getText();
  return nullptr;
}

int32_t HBMap::iterate(IHBIter **out) {
  if (!out) return BR_EINVAL;
  return HBMapIterator::create(this, out);
}

int32_t HBMap::iterate(HBRef<IHBIter> &out) { return iterate(out.out()); }

int32_t HBMap::getAs(const char *key, hbtype_t hbtype, void **out) {
  Entry *e = find(key);
  if (!e) return BR_ENOENT;
  if (hbtype__isRaw(e->hbtype)) {
    if (hbtype != e->hbtype) return BR_ENOENT;
    if (out) *out = e->value;
    return BR_OK;
  }
  if (!e->value) {
    if (out) *out = nullptr;
    return BR_OK;
  }
  auto *obj = static_cast<IHBObj *>(e->value);
  if (out) return obj->getifc(hbtype, out);
  void *probe = nullptr;
  const int32_t rc = obj->getifc(hbtype, &probe);
  if (rc == BR_OK && probe) static_cast<IHBObj *>(probe)->dnref();
  return rc;
}

int32_t HBMap::getMap(const char *key, HBRef<HBMap> &out) {
  return getAs(key, HBCLS_MAP, out.outv());
}

int32_t HBMap::getIter(const char *key, HBRef<IHBIter> &out) {
  return getAs(key, HBIFC_ITER, out.outv());
}

int32_t HBMap::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  switch (ifc) {
    case HBIFC_OBJ:
    case HBIFC_MAP:
      return offer<IHBMap>(out);
    case HBCLS_MAP:
      return offer<HBMap>(out);
    case HBIFC_NAMEDARGUMENT:
      if (!m_name) return BR_ENOENT;
      *out = static_cast<IHBNamedArgument *>(&m_named);
      upref();
      return BR_OK;
    default:
      return BR_ENOENT;
  }
}

// ---------------------------------------------------------------------------------------------
// HBListIterator

HBListIterator::HBListIterator() : m_named(this) {}

namespace {
// Releases an own list: one reference per object item, or the heap block of each raw item when
// the iterator frees them.
void releaseOwnList(brlist *list, hbtype_t hbtype, uint32_t flags) {
  for (brlist_node *n = list->first; n; n = n->next) {
    if (!n->data) continue;
    if (!hbtype__isRaw(hbtype))
      static_cast<IHBObj *>(n->data)->dnref();
    else if (flags & HBLISTITER_FREEITEMS)
      std::free(n->data);
  }
  brlist__destroy(list);
}
}  // namespace

HBListIterator::~HBListIterator() {
  if (m_list && (m_flags & HBLISTITER_OWN)) releaseOwnList(m_list, m_hbtype, m_flags);
  std::free(m_name);
}

int32_t HBListIterator::create(brlist *list, hbtype_t hbtype, uint32_t flags, const char *name,
                               HBListIterator **out) {
  if ((flags & HBLISTITER_COPY) && hbtype__isRaw(hbtype)) brabort(__PRETTY_FUNCTION__, 31);
  auto *it = new (std::nothrow) HBListIterator;
  const bool takesOver = list && (flags & HBLISTITER_OWN) && !(flags & HBLISTITER_COPY);
  if (!it) {
    if (takesOver) releaseOwnList(list, hbtype, flags);
    return BR_ENOMEM;
  }
  it->m_hbtype = hbtype;
  if (takesOver) {
    it->m_list = list;
    it->m_flags = flags;
  }
  bool failed;
  it->m_name = heapCopy(name, &failed);
  if (failed) {
    it->dnref();
    return BR_ENOMEM;
  }
  if (!takesOver) {
    if (list && !(flags & HBLISTITER_COPY)) {
      it->m_list = list;
      it->m_flags = flags;
    } else {
      if (brlist__create(&it->m_list) < 0) {
        it->dnref();
        return BR_ENOMEM;
      }
      it->m_flags = (flags & ~HBLISTITER_COPY) | HBLISTITER_OWN;
      for (brlist_node *n = list ? list->first : nullptr; n; n = n->next) {
        if (brlist__append(it->m_list, n->data) < 0) {
          it->dnref();
          return BR_ENOMEM;
        }
        if (n->data) static_cast<IHBObj *>(n->data)->upref();
      }
    }
  }
  it->m_cur = it->m_list->first;
  *out = it;
  return BR_OK;
}

int32_t HBListIterator::create(brlist *list, hbtype_t hbtype, uint32_t flags, const char *name,
                               HBRef<HBListIterator> &out) {
  return create(list, hbtype, flags, name, out.out());
}

int32_t HBListIterator::next(hbtype_t *hbtype, void **out) {
  if (!m_cur) return BR_ERANGE;
  void *item = m_cur->data;
  m_cur = m_cur->next;
  if (!hbtype) return BR_OK;
  const bool raw = hbtype__isRaw(m_hbtype);
  if (*hbtype == HBTYPE_ANY) {
    if (out) {
      *out = item;
      if (!raw && item) static_cast<IHBObj *>(item)->upref();
    }
    *hbtype = m_hbtype;
    return BR_OK;
  }
  if (raw) {
    if (*hbtype != m_hbtype) return BR_EINVAL;
    if (out) *out = item;
    return BR_OK;
  }
  if (!item) {
    if (out) *out = nullptr;
    return BR_OK;
  }
  if (!out) return BR_OK;
  return static_cast<IHBObj *>(item)->getifc(*hbtype, out);
}

int32_t HBListIterator::nextN(hbtype_t *hbtypes, void **outs, int32_t count) {
  return iterNextN(this, hbtypes, outs, count);
}

void HBListIterator::reset() { m_cur = m_list ? m_list->first : nullptr; }

int32_t HBListIterator::append(void *item) {
  if (!m_list || !(m_flags & HBLISTITER_OWN)) return BR_EINVAL;
  brlist_node *node;
  if (brlist__append(m_list, item, &node) < 0) return BR_ENOMEM;
  if (!hbtype__isRaw(m_hbtype) && item) static_cast<IHBObj *>(item)->upref();
  // An empty or exhausted iterator picks up the new item.
  if (!m_cur) m_cur = node;
  return BR_OK;
}

int32_t HBListIterator::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  switch (ifc) {
    case HBIFC_OBJ:
    case HBIFC_ITER:
      return offer<IHBIter>(out);
    case HBCLS_LISTITERATOR:
      return offer<HBListIterator>(out);
    case HBIFC_NAMEDARGUMENT:
      if (!m_name) return BR_ENOENT;
      *out = static_cast<IHBNamedArgument *>(&m_named);
      upref();
      return BR_OK;
    default:
      return BR_ENOENT;
  }
}

// ---------------------------------------------------------------------------------------------
// HBObjIter

void HBObjIter::freeItems(hbtype_t hbtype, brlist *list) {
  if (!list) return;
  for (brlist_node *n = list->first; n; n = n->next) {
    if (!hbtype__isRaw(hbtype)) {
      if (n->data) static_cast<IHBObj *>(n->data)->dnref();
    } else if (hbtype == HBTYPE_TEXT) {
      std::free(n->data);
    } else {
      brlog("OBJITR", BRLOG_ERROR, "Unsupported object-iterator hbtype: %d\n", hbtype);
    }
  }
  brlist__destroy(list);
}

HBObjIter::~HBObjIter() { freeItems(m_hbtype, m_list); }

int32_t HBObjIter::create(hbtype_t hbtype, brlist *list, HBObjIter **out) {
  auto *it = new (std::nothrow) HBObjIter;
  if (!it) {
    freeItems(hbtype, list);
    return BR_ENOMEM;
  }
  it->m_hbtype = hbtype;
  it->m_list = list;
  if (!list && brlist__create(&it->m_list) < 0) {
    it->dnref();
    return BR_ENOMEM;
  }
  it->m_cur = it->m_list->first;
  *out = it;
  return BR_OK;
}

int32_t HBObjIter::create(hbtype_t hbtype, brlist *list, HBRef<HBObjIter> &out) {
  return create(hbtype, list, out.out());
}

int32_t HBObjIter::next(hbtype_t *hbtype, void **out) {
  if (!m_cur) return BR_ERANGE;
  if (hbtype) {
    if (*hbtype == HBTYPE_ANY) {
      *hbtype = m_hbtype;
    } else if (*hbtype != m_hbtype) {
      brlog("OBJITR", BRLOG_WARNING, "Asked for invalid type %d!=%d\n", *hbtype, m_hbtype);
      return BR_EINVAL;
    }
  }
  void *item = m_cur->data;
  m_cur = m_cur->next;
  if (!out) return BR_ERANGE;
  if (hbtype__isRaw(m_hbtype)) {
    *out = item;
    return BR_OK;
  }
  if (!item) {
    *out = nullptr;
    return BR_OK;
  }
  return static_cast<IHBObj *>(item)->getifc(m_hbtype, out);
}

int32_t HBObjIter::nextN(hbtype_t *hbtypes, void **outs, int32_t count) {
  if (count <= 0) return -1;
  return next(hbtypes, outs) == BR_OK ? 1 : -1;
}

int32_t HBObjIter::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ || ifc == HBIFC_ITER) return offer<IHBIter>(out);
  return BR_ENOENT;
}

// ---------------------------------------------------------------------------------------------
// Dump

namespace {

void dumpMap(const char *tag, int level, int depth, const std::string &pre, IHBMap *map) {
  HBRef<IHBIter> keys;
  if (map->iterate(keys.out()) < 0) return;
  for (;;) {
    hbtype_t kt = HBTYPE_TEXT;
    void *kv = nullptr;
    const int32_t rc = keys->next(&kt, &kv);
    if (rc == BR_ERANGE) break;
    if (rc < 0 || !kv) continue;
    const char *key = static_cast<const char *>(kv);
    hbtype_t t = HBTYPE_ANY;
    void *v = nullptr;
    if (map->get(key, &t, &v) < 0) {
      brlog(tag, level, "%s  -- [%s] -> NULL\n", pre.c_str(), key);
      continue;
    }
    if (t == HBTYPE_TEXT) {
      brlog(tag, level, "%s  -- [%s] -> [%s]\n", pre.c_str(), key,
            v ? static_cast<const char *>(v) : "(null)");
    } else if (t == HBTYPE_SINT) {
      brlog(tag, level, "%s  -- [%s] -> [%d]\n", pre.c_str(), key,
            static_cast<int>(reinterpret_cast<intptr_t>(v)));
    } else {
      brlog(tag, level, "%s  -- [%s] -> {0x%x} %p\n", pre.c_str(), key, static_cast<unsigned>(t),
            v);
      if (!hbtype__isRaw(t) && v) {
        auto *obj = static_cast<IHBObj *>(v);
        hbvalue__dump(tag, level, depth + 1, nullptr, obj);
        obj->dnref();
      }
    }
  }
}

void dumpList(const char *tag, int level, int depth, const std::string &pre,
              HBListIterator *list) {
  const char *name = list->name();
  int32_t index = 0;
  for (brlist_node *n = brlist__first(list->list()); n; n = n->next, ++index) {
    const hbtype_t t = list->hbtype();
    if (t == HBTYPE_TEXT) {
      const char *text = n->data ? static_cast<const char *>(n->data) : "(null)";
      if (name)
        brlog(tag, level, "%s  -- Str(%s) -> [%s]\n", pre.c_str(), name, text);
      else
        brlog(tag, level, "%s  -- Str -> [%s]\n", pre.c_str(), text);
      continue;
    }
    if (name)
      brlog(tag, level, "%s  -- (%s)[%d] -> {0x%x} %p\n", pre.c_str(), name, index,
            static_cast<unsigned>(t), n->data);
    else
      brlog(tag, level, "%s  -- [%d] -> {0x%x} %p\n", pre.c_str(), index,
            static_cast<unsigned>(t), n->data);
    if (!hbtype__isRaw(t) && n->data)
      hbvalue__dump(tag, level, depth + 1, nullptr, static_cast<IHBObj *>(n->data));
  }
}

}  // namespace

void hbvalue__dump(const char *tag, int level, int depth, const char *indent, IHBObj *object) {
  if (!object || !brlog__enabled(level)) return;
  std::string pre = indent ? indent : "";
  pre.append(static_cast<size_t>(depth > 0 ? depth : 0) * 3, ' ');
  void *p = nullptr;
  if (object->getifc(HBCLS_MAP, &p) == BR_OK) {
    HBRef<HBMap> map = HBRef<HBMap>::adopt(static_cast<HBMap *>(p));
    dumpMap(tag, level, depth, pre, map.get());
  } else if (object->getifc(HBCLS_LISTITERATOR, &p) == BR_OK) {
    HBRef<HBListIterator> list = HBRef<HBListIterator>::adopt(static_cast<HBListIterator *>(p));
    dumpList(tag, level, depth, pre, list.get());
  } else if (object->getifc(HBIFC_STR, &p) == BR_OK) {
    HBRef<IHBStr> str = HBRef<IHBStr>::adopt(static_cast<IHBStr *>(p));
    const char *text = str->getText();
    brlog(tag, level, "%s  -- Str -> [%s]\n", pre.c_str(), text ? text : "(null)");
  } else if (object->getifc(HBIFC_MAP, &p) == BR_OK) {
    HBRef<IHBMap> map = HBRef<IHBMap>::adopt(static_cast<IHBMap *>(p));
    dumpMap(tag, level, depth, pre, map.get());
  } else {
    brlog(tag, level, "%s  ---> {UNKNOWN-IHBOBJ} %p\n", pre.c_str(), static_cast<void *>(object));
  }
}

int32_t hbmap__forEach(IHBMap *map,
                       const std::function<int32_t(const char *, hbtype_t, void *)> &fn) {
  HBRef<IHBIter> keys;
  const int32_t rc = map->iterate(keys.out());
  if (rc < 0) return rc;
  for (;;) {
    hbtype_t kt = HBTYPE_TEXT;
    void *key = nullptr;
    if (keys->next(&kt, &key) < 0) return BR_OK;
    hbtype_t vt = HBTYPE_ANY;
    void *value = nullptr;
    if (map->get(static_cast<const char *>(key), &vt, &value) < 0) continue;
    HBRef<IHBObj> hold;  // get handed over a reference for an object value
    if (!hbtype__isRaw(vt)) hold = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(value));
    const int32_t r = fn(static_cast<const char *>(key), vt, value);
    if (r < 0) return r;
  }
}

int32_t hbiter__forEachObject(IHBIter *iter, const std::function<int32_t(IHBObj *)> &fn) {
  if (!iter) return BR_OK;
  for (;;) {
    hbtype_t t = HBTYPE_ANY;
    void *item = nullptr;
    if (iter->next(&t, &item) < 0) return BR_OK;
    if (hbtype__isRaw(t) || !item) continue;
    HBRef<IHBObj> hold = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
    const int32_t r = fn(hold.get());
    if (r < 0) return r;
  }
}

int32_t hbiter__forEachMap(IHBIter *iter, const std::function<int32_t(IHBMap *)> &fn) {
  return hbiter__forEachObject(iter, [&](IHBObj *obj) {
    HBRef<IHBMap> map;
    return hb_query(obj, map) < 0 ? 0 : fn(map.get());
  });
}
