#include "hbmap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "brlog.h"
#include "logcapture.h"
#include "testutil.h"

namespace {

// A plain object whose count the tests can read.
class Probe final : public HBObject<Probe, IHBObj> {
 public:
  static HBRef<Probe> make() { return HBRef<Probe>::adopt(new Probe); }
  int32_t refs() const { return refcount(); }
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
    return BR_ENOENT;
  }

 private:
  friend class HBObject<Probe, IHBObj>;
  Probe() = default;
  ~Probe() override = default;
};

HBRef<HBMap> newMap(int32_t size = 1024, int32_t grow = 1024, uint32_t flags = 0) {
  HBRef<HBMap> m;
  EXPECT_EQ(HBMap::create(nullptr, size, grow, m), BR_OK);
  if (flags) m->setFlags(flags);
  return m;
}

std::vector<std::string> keysOf(IHBMap *map) {
  std::vector<std::string> keys;
  HBRef<IHBIter> it;
  EXPECT_EQ(map->iterate(it.out()), BR_OK);
  hbtype_t t = HBTYPE_TEXT;
  void *k;
  while (it->next(&t, &k) == BR_OK) keys.emplace_back(static_cast<const char *>(k));
  return keys;
}

using tessel::test::captureLog;

using Keys = std::vector<std::string>;

TEST(HBMap, OrderWithAndWithoutInsertionFlag) {
  for (uint32_t flags : {0u, 0x100u}) {
    HBRef<HBMap> m = newMap(1024, 1024, flags);
    for (const char *k : {"b", "a", "c"}) ASSERT_EQ(m->putString(k, "v"), BR_OK);
    EXPECT_EQ(keysOf(m.get()), flags ? Keys({"b", "a", "c"}) : Keys({"a", "b", "c"}));
  }
  // Byte order of UTF-8, case-sensitive.
  HBRef<HBMap> m = newMap();
  for (const char *k : {"\xc3\xa9t\xc3\xa9", "z", "Z", "a", "A"}) ASSERT_EQ(m->putString(k, k), 0);
  EXPECT_EQ(keysOf(m.get()), Keys({"A", "Z", "a", "z", "\xc3\xa9t\xc3\xa9"}));
  EXPECT_EQ(m->count(), 5);
}

TEST(HBMap, ReplacementDropsExactlyOneReference) {
  for (uint32_t flags : {0u, 0x100u}) {
    HBRef<HBMap> m = newMap(1024, 1024, flags);
    HBRef<Probe> first = Probe::make(), second = Probe::make();
    ASSERT_EQ(m->putObject("k", HBIFC_OBJ, first.get()), BR_OK);
    ASSERT_EQ(m->putString("other", "x"), BR_OK);
    EXPECT_EQ(first->refs(), 2);
    ASSERT_EQ(m->putObject("k", HBIFC_OBJ, second.get()), BR_OK);
    EXPECT_EQ(first->refs(), 1);
    EXPECT_EQ(second->refs(), 2);
    EXPECT_EQ(m->count(), 2);
    // The same object again: its count must not move.
    ASSERT_EQ(m->putObject("k", HBIFC_OBJ, second.get()), BR_OK);
    EXPECT_EQ(second->refs(), 2);
    // A replaced key goes to the end of the insertion order.
    EXPECT_EQ(keysOf(m.get()), flags ? Keys({"other", "k"}) : Keys({"k", "other"}));
    EXPECT_EQ(m->remove("k"), BR_OK);
    EXPECT_EQ(second->refs(), 1);
    EXPECT_EQ(m->remove("k"), BR_ENOENT);
    EXPECT_EQ(m->count(), 1);
  }
}

TEST(HBMap, ForEachLendsValuesAndStopsAtAFailure) {
  HBRef<HBMap> m = newMap();
  HBRef<Probe> probe = Probe::make();
  ASSERT_EQ(m->putString("a", "1"), BR_OK);
  ASSERT_EQ(m->putObject("b", HBIFC_OBJ, probe.get()), BR_OK);
  ASSERT_EQ(m->putString("c", "3"), BR_OK);
  std::string seen;
  EXPECT_EQ(hbmap__forEach(m.get(), [&](const char *key, hbtype_t t, void *v) -> int32_t {
              seen += key;
              if (t == HBTYPE_TEXT) seen += static_cast<const char *>(v);
              else EXPECT_EQ(v, static_cast<IHBObj *>(probe.get()));
              return BR_OK;
            }),
            BR_OK);
  EXPECT_EQ(seen, "a1bc3");
  EXPECT_EQ(probe->refs(), 2) << "the walk drops the reference it was lent";
  seen.clear();
  EXPECT_EQ(hbmap__forEach(m.get(), [&](const char *key, hbtype_t, void *) -> int32_t {
              seen += key;
              return *key == 'b' ? BR_ENOSPC : BR_OK;
            }),
            BR_ENOSPC);
  EXPECT_EQ(seen, "ab");
  EXPECT_EQ(probe->refs(), 2);
}

TEST(HBMap, LenientAndStrictGetters) {
  HBRef<HBMap> m = newMap();
  ASSERT_EQ(m->putString("t", "text"), BR_OK);
  hbtype_t t = HBTYPE_ANY;
  void *v = nullptr;
  ASSERT_EQ(m->get("t", &t, &v), BR_OK);
  EXPECT_EQ(t, HBTYPE_TEXT);
  EXPECT_STREQ(static_cast<char *>(v), "text");
  t = HBIFC_MAP;
  EXPECT_EQ(m->get("t", &t, &v), BR_EUNSUPPORTED);
  EXPECT_EQ(m->getAs("t", HBIFC_MAP, &v), BR_ENOENT);
  EXPECT_EQ(m->getAs("t", HBTYPE_TEXT, &v), BR_OK);
  EXPECT_EQ(m->get("missing", &t, &v), BR_ENOENT);
  EXPECT_EQ(m->get("t", nullptr, nullptr), BR_OK);  // presence
  t = HBTYPE_ANY;
  EXPECT_EQ(m->get("t", &t, nullptr), BR_OK);
  EXPECT_EQ(t, HBTYPE_TEXT);

  // Object values are queried under the asked interface.
  HBRef<HBStrHeap> s;
  ASSERT_EQ(HBStrHeap::create("boxed", s), BR_OK);
  ASSERT_EQ(m->putObject("s", HBIFC_STR, s->obj()), BR_OK);
  EXPECT_STREQ(m->getString("s"), "boxed");
  EXPECT_STREQ(m->getString("t"), "text");
  EXPECT_EQ(m->getString("missing"), nullptr);
  t = HBIFC_RPCARGUMENTVALUE;
  HBRef<IHBRPCArgumentValue> av;
  ASSERT_EQ(m->get("s", &t, av.outv()), BR_OK);
  t = HBIFC_MAP;
  EXPECT_EQ(m->get("s", &t, &v), BR_ENOENT);
  EXPECT_EQ(m->getAs("s", HBIFC_MAP, nullptr), BR_ENOENT);
  EXPECT_EQ(m->getAs("s", HBIFC_STR, nullptr), BR_OK);

  // Opaque pointers and integers may be null.
  ASSERT_EQ(m->put("p", HBTYPE_PTR, nullptr), BR_OK);
  ASSERT_EQ(m->put("i", HBTYPE_SINT, reinterpret_cast<void *>(intptr_t{-5})), BR_OK);
  EXPECT_EQ(m->getAs("i", HBTYPE_SINT, &v), BR_OK);
  EXPECT_EQ(reinterpret_cast<intptr_t>(v), -5);
  EXPECT_EQ(m->getString("i"), nullptr);
}

TEST(HBMap, BadInsertions) {
  HBRef<HBMap> m = newMap();
  EXPECT_EQ(m->putString("k", nullptr), BR_ENULLVALUE);
  EXPECT_EQ(m->put("k", HBIFC_MAP, nullptr), BR_ENULLVALUE);
  EXPECT_EQ(m->put("k", HBTYPE_ANY, "x"), BR_EINVAL);
  EXPECT_EQ(m->putString(nullptr, "x"), BR_EINVAL);
  EXPECT_EQ(m->count(), 0);
  ASSERT_EQ(m->putString("k", "1"), BR_OK);
  std::string log = captureLog([&] {
    EXPECT_EQ(m->putString("k", "2", HBMAP_PUT_NOREPLACE), BR_EEXISTS);
  });
  EXPECT_NE(log.find("Collision in Map: 'k'"), std::string::npos) << log;
  EXPECT_STREQ(m->getString("k"), "1");
}

TEST(HBMap, NoCopyStoresCallerPointers) {
  static const char key[] = "static-key";
  static const char text[] = "static-text";
  HBRef<HBMap> m = newMap();
  ASSERT_EQ(m->putString(key, text, HBMAP_PUT_NOCOPY), BR_OK);
  EXPECT_EQ(m->getString("static-key"), text);
  char local[] = "copied";
  ASSERT_EQ(m->putString("c", local), BR_OK);
  local[0] = 'X';
  EXPECT_STREQ(m->getString("c"), "copied");
}

TEST(HBMap, ClearAndDestructionReleaseObjects) {
  HBRef<Probe> p = Probe::make();
  {
    HBRef<HBMap> m = newMap(1024, 1024, 0x100);
    ASSERT_EQ(m->putObject("a", HBIFC_OBJ, p.get()), BR_OK);
    ASSERT_EQ(m->putObject("b", HBIFC_OBJ, p.get()), BR_OK);
    EXPECT_EQ(p->refs(), 3);
    EXPECT_EQ(m->clear(), BR_OK);
    EXPECT_EQ(p->refs(), 1);
    EXPECT_EQ(m->count(), 0);
    EXPECT_TRUE(keysOf(m.get()).empty());
    // Still usable, and the order flag can change again now that it is empty.
    m->setFlags(0);
    ASSERT_EQ(m->putObject("z", HBIFC_OBJ, p.get()), BR_OK);
    ASSERT_EQ(m->putObject("y", HBIFC_OBJ, p.get()), BR_OK);
    EXPECT_EQ(keysOf(m.get()), Keys({"y", "z"}));
    EXPECT_EQ(m->clear(), BR_OK);
    m->allocator()->flush();  // what the RPC layer does after clear
    EXPECT_EQ(m->putObject("x", HBIFC_OBJ, p.get()), BR_OK);
    EXPECT_EQ(p->refs(), 2);
  }
  EXPECT_EQ(p->refs(), 1);
}

TEST(HBMap, ChildMapsShareAllocatorAndOrderFlag) {
  HBRef<HBMap> child, plainChild, grandChild;
  {
    HBRef<HBMap> root;
    ASSERT_EQ(HBMap::create("root", 256, 256, root), BR_OK);
    EXPECT_EQ(root->flags(), HBMAP_OWNS_ALLOCATOR);
    ASSERT_EQ(root->newChild(nullptr, plainChild), BR_OK);
    EXPECT_EQ(plainChild->flags(), 0u);
    root->setFlags(0x100);
    ASSERT_EQ(root->newChild("kid", child), BR_OK);
    EXPECT_EQ(child->flags(), 0x100u);
    EXPECT_EQ(child->allocator(), root->allocator());
    ASSERT_EQ(child->newChild(nullptr, grandChild), BR_OK);
    ASSERT_EQ(grandChild->putString("deep", "value"), BR_OK);
    ASSERT_EQ(child->putObject("g", HBIFC_MAP, grandChild.get()), BR_OK);
    ASSERT_EQ(root->putObject("c", HBIFC_MAP, child.get()), BR_OK);

    HBRef<HBMap> back;
    ASSERT_EQ(root->getMap("c", back), BR_OK);
    EXPECT_EQ(back.get(), child.get());
    HBRef<IHBNamedArgument> named;
    ASSERT_EQ(hb_query(child->obj(), named), BR_OK);
    EXPECT_STREQ(named->getName(), "kid");
    void *none = nullptr;
    EXPECT_EQ(grandChild->getifc(HBIFC_NAMEDARGUMENT, &none), BR_ENOENT);
  }
  // The shared allocator outlives the root.
  HBRef<HBMap> g;
  ASSERT_EQ(child->getMap("g", g), BR_OK);
  EXPECT_STREQ(g->getString("deep"), "value");
}

TEST(HBMapDeathTest, OrderFlagChangeWithEntriesAborts) {
  HBRef<HBMap> m = newMap();
  ASSERT_EQ(m->putString("k", "v"), BR_OK);
  m->setFlags(0x200);  // other settable bits may change
  EXPECT_EQ(m->flags(), 0x201u);
  m->setFlags(0x200);
  EXPECT_DEATH(m->setFlags(0x100), "setFlags.*:555");
}

TEST(HBMap, AllocatorExhaustionLeavesMapIntact) {
  HBRef<HBMap> m;
  ASSERT_EQ(HBMap::create(nullptr, 512, 0, m), BR_OK);
  m->setFlags(0x100);
  HBRef<Probe> p = Probe::make();
  ASSERT_EQ(m->putObject("obj", HBIFC_OBJ, p.get()), BR_OK);
  int32_t rc = BR_OK;
  int n = 0;
  std::string log = captureLog([&] {
    for (; n < 1000 && rc == BR_OK; ++n) rc = m->putString(("key" + std::to_string(n)).c_str(), "v");
  });
  EXPECT_EQ(rc, BR_ENOMEM);
  EXPECT_NE(log.find("OOM in Map allocator: 'key"), std::string::npos) << log;
  EXPECT_EQ(m->count(), n);  // n - 1 keys and "obj"
  // A failed replacement keeps the old value and its reference.
  EXPECT_EQ(m->putString("obj", "a text long enough not to fit any more"), BR_ENOMEM);
  EXPECT_EQ(p->refs(), 2);
  hbtype_t t = HBTYPE_ANY;
  EXPECT_EQ(m->get("obj", &t, nullptr), BR_OK);
  EXPECT_EQ(t, HBIFC_OBJ);
  EXPECT_EQ(static_cast<int>(keysOf(m.get()).size()), m->count());
}

TEST(HBMap, RandomOperationsMatchStdMap) {
  std::mt19937 rng(1234);
  for (uint32_t flags : {0u, 0x100u}) {
    HBRef<HBMap> m = newMap(128, 128, flags);
    std::map<std::string, std::string> ref;
    for (int i = 0; i < 4000; ++i) {
      const std::string key = "k" + std::to_string(rng() % 300);
      if (rng() % 3 == 0) {
        EXPECT_EQ(m->remove(key.c_str()), ref.erase(key) ? BR_OK : BR_ENOENT);
      } else {
        const std::string value = std::to_string(i);
        ASSERT_EQ(m->putString(key.c_str(), value.c_str()), BR_OK);
        ref[key] = value;
      }
    }
    ASSERT_EQ(m->count(), static_cast<int32_t>(ref.size()));
    Keys keys = keysOf(m.get());
    if (flags) std::sort(keys.begin(), keys.end());
    Keys want;
    for (const auto &[k, v] : ref) {
      want.push_back(k);
      EXPECT_STREQ(m->getString(k.c_str()), v.c_str());
    }
    EXPECT_EQ(keys, want);
  }
}

TEST(HBMapIterator, ExhaustionWrongTagAndNextN) {
  HBRef<HBMap> m = newMap();
  ASSERT_EQ(m->putString("a", "1"), BR_OK);
  ASSERT_EQ(m->putString("b", "2"), BR_OK);
  ASSERT_EQ(m->putString("c", "3"), BR_OK);
  HBRef<IHBIter> it;
  ASSERT_EQ(m->iterate(it), BR_OK);
  hbtype_t t = HBIFC_MAP;
  void *v = nullptr;
  EXPECT_EQ(it->next(&t, &v), BR_EUNSUPPORTED);  // "a" is consumed anyway
  t = HBTYPE_ANY;
  ASSERT_EQ(it->next(&t, &v), BR_OK);
  EXPECT_EQ(t, HBTYPE_TEXT);
  EXPECT_STREQ(static_cast<char *>(v), "b");
  hbtype_t types[3] = {HBTYPE_TEXT, HBTYPE_TEXT, HBTYPE_TEXT};
  void *outs[3] = {};
  EXPECT_EQ(it->nextN(types, outs, 3), 1);
  EXPECT_STREQ(static_cast<char *>(outs[0]), "c");
  EXPECT_EQ(it->nextN(types, outs, 3), BR_ERANGE);
  EXPECT_EQ(it->next(&t, &v), BR_ERANGE);

  HBRef<IHBIter> again;
  ASSERT_EQ(m->iterate(again), BR_OK);
  EXPECT_EQ(again->nextN(nullptr, nullptr, 0), BR_ERANGE);
  EXPECT_EQ(again->nextN(nullptr, nullptr, 2), 2);
  EXPECT_EQ(again->nextN(nullptr, nullptr, 2), 1);
  // The iterator keeps the map alive.
  HBRef<IHBIter> last;
  ASSERT_EQ(m->iterate(last), BR_OK);
  m.reset();
  t = HBTYPE_TEXT;
  ASSERT_EQ(last->next(&t, &v), BR_OK);
  EXPECT_STREQ(static_cast<char *>(v), "a");
}

TEST(HBListIterator, BorrowedOwnAndAppend) {
  brlist *borrowed;
  ASSERT_EQ(brlist__create(&borrowed), BR_OK);
  {
    HBRef<HBListIterator> it;
    ASSERT_EQ(HBListIterator::create(borrowed, HBTYPE_TEXT, 0, nullptr, it), BR_OK);
    hbtype_t t = HBTYPE_ANY;
    void *v;
    EXPECT_EQ(it->next(&t, &v), BR_ERANGE);
    EXPECT_EQ(it->append(const_cast<char *>("x")), BR_EINVAL);
    static char one[] = "one", two[] = "two";
    ASSERT_EQ(brlist__append(borrowed, one), BR_OK);
    ASSERT_EQ(brlist__append(borrowed, two), BR_OK);
    it->reset();
    t = HBIFC_STR;
    EXPECT_EQ(it->next(&t, &v), BR_EINVAL);  // raw list, other tag; still advances
    t = HBTYPE_TEXT;
    ASSERT_EQ(it->next(&t, &v), BR_OK);
    EXPECT_EQ(v, two);
  }
  brlist__destroy(borrowed);

  HBRef<Probe> a = Probe::make(), b = Probe::make();
  HBRef<HBListIterator> own;
  ASSERT_EQ(HBListIterator::create(nullptr, HBIFC_OBJ, 0, "items", own), BR_OK);
  hbtype_t t = HBTYPE_ANY;
  void *v;
  EXPECT_EQ(own->next(&t, &v), BR_ERANGE);
  ASSERT_EQ(own->appendObject(a.get()), BR_OK);
  EXPECT_EQ(a->refs(), 2);
  t = HBTYPE_ANY;
  ASSERT_EQ(own->next(&t, &v), BR_OK);  // reset to the first item by the append
  EXPECT_EQ(t, HBIFC_OBJ);
  EXPECT_EQ(v, a.get());
  EXPECT_EQ(a->refs(), 3);
  static_cast<IHBObj *>(v)->dnref();
  EXPECT_EQ(own->next(&t, &v), BR_ERANGE);
  ASSERT_EQ(own->appendObject(b.get()), BR_OK);  // an exhausted iterator picks it up
  t = HBIFC_OBJ;
  ASSERT_EQ(own->next(&t, &v), BR_OK);
  EXPECT_EQ(v, b.get());
  static_cast<IHBObj *>(v)->dnref();
  own->reset();
  EXPECT_EQ(own->nextN(nullptr, nullptr, 5), 2);
  EXPECT_EQ(own->nextN(nullptr, nullptr, 5), BR_ERANGE);
  HBRef<IHBNamedArgument> named;
  ASSERT_EQ(hb_query(own->obj(), named), BR_OK);
  EXPECT_STREQ(named->getName(), "items");
  named.reset();
  own.reset();
  EXPECT_EQ(a->refs(), 1);
  EXPECT_EQ(b->refs(), 1);
}

TEST(HBListIterator, CopyReferencesAndFreeItems) {
  HBRef<Probe> a = Probe::make();
  brlist *src;
  ASSERT_EQ(brlist__create(&src), BR_OK);
  ASSERT_EQ(brlist__append(src, a.get()), BR_OK);
  ASSERT_EQ(brlist__append(src, a.get()), BR_OK);
  {
    HBRef<HBListIterator> copy;
    ASSERT_EQ(HBListIterator::create(src, HBIFC_OBJ, HBLISTITER_COPY, nullptr, copy), BR_OK);
    brlist__destroy(src);
    EXPECT_EQ(a->refs(), 3);
    EXPECT_EQ(copy->count(), 2);
    void *none = nullptr;
    EXPECT_EQ(copy->getifc(HBIFC_NAMEDARGUMENT, &none), BR_ENOENT);
    // A map's object value can be a list, and a list's item a map.
    HBRef<HBMap> m = newMap();
    ASSERT_EQ(m->putObject("list", HBIFC_ITER, copy->obj()), BR_OK);
    ASSERT_EQ(copy->appendObject(m->obj()), BR_OK);
    EXPECT_EQ(m->remove("list"), BR_OK);  // breaks the cycle
  }
  EXPECT_EQ(a->refs(), 1);

  brlist *blocks;
  ASSERT_EQ(brlist__create(&blocks), BR_OK);
  ASSERT_EQ(brlist__append(blocks, strdup("heap1")), BR_OK);
  ASSERT_EQ(brlist__append(blocks, strdup("heap2")), BR_OK);
  HBRef<HBListIterator> freeing;
  ASSERT_EQ(HBListIterator::create(blocks, HBTYPE_TEXT, HBLISTITER_OWN | HBLISTITER_FREEITEMS,
                                   nullptr, freeing),
            BR_OK);
  EXPECT_EQ(freeing->count(), 2);  // freed with the iterator; ASan reports a leak otherwise
}

TEST(HBListIteratorDeathTest, CopyOfRawItemsAborts) {
  EXPECT_DEATH(
      {
        HBListIterator *it;
        (void)HBListIterator::create(nullptr, HBTYPE_TEXT, HBLISTITER_COPY, nullptr, &it);
      },
      "HBListIterator.*:31");
}

TEST(HBObjIter, TypeChecksAndSingleFetch) {
  HBRef<Probe> a = Probe::make();
  brlist *items;
  ASSERT_EQ(brlist__create(&items), BR_OK);
  a->upref();  // the list's reference, handed to the iterator
  ASSERT_EQ(brlist__append(items, a.get()), BR_OK);
  a->upref();
  ASSERT_EQ(brlist__append(items, a.get()), BR_OK);
  {
    HBRef<HBObjIter> it;
    ASSERT_EQ(HBObjIter::create(HBIFC_OBJ, items, it), BR_OK);
    hbtype_t t = HBIFC_STR;
    void *v = nullptr;
    std::string log = captureLog([&] { EXPECT_EQ(it->next(&t, &v), BR_EINVAL); });
    EXPECT_NE(log.find("Asked for invalid type 268435464!=268435456"), std::string::npos) << log;
    hbtype_t types[4] = {HBTYPE_ANY, HBTYPE_ANY};
    void *outs[4] = {};
    EXPECT_EQ(it->nextN(types, outs, 4), 1);  // never more than one
    EXPECT_EQ(types[0], HBIFC_OBJ);
    EXPECT_EQ(outs[0], a.get());
    static_cast<IHBObj *>(outs[0])->dnref();
    t = HBIFC_OBJ;
    EXPECT_EQ(it->next(&t, nullptr), BR_ERANGE);  // skipped
    EXPECT_EQ(it->next(&t, &v), BR_ERANGE);
    EXPECT_EQ(it->nextN(types, outs, 4), -1);
    EXPECT_EQ(a->refs(), 3);
  }
  EXPECT_EQ(a->refs(), 1);

  brlist *texts;
  ASSERT_EQ(brlist__create(&texts), BR_OK);
  ASSERT_EQ(brlist__append(texts, strdup("t1")), BR_OK);
  HBRef<HBObjIter> textIter;
  ASSERT_EQ(HBObjIter::create(HBTYPE_TEXT, texts, textIter), BR_OK);
  hbtype_t t = HBTYPE_ANY;
  void *v = nullptr;
  ASSERT_EQ(textIter->next(&t, &v), BR_OK);
  EXPECT_STREQ(static_cast<char *>(v), "t1");
}

TEST(HBValueDump, LinesForMapsListsAndStrings) {
  HBRef<HBMap> root = newMap(1024, 1024, 0x100);
  HBRef<HBMap> child;
  ASSERT_EQ(root->newChild(nullptr, child), BR_OK);
  ASSERT_EQ(child->putString("inner", "deep"), BR_OK);
  HBRef<HBListIterator> list;
  ASSERT_EQ(HBListIterator::create(nullptr, HBIFC_OBJ, 0, "photos", list), BR_OK);
  HBRef<HBStrHeap> s;
  ASSERT_EQ(HBStrHeap::create("item", s), BR_OK);
  ASSERT_EQ(list->appendObject(s->obj()), BR_OK);
  ASSERT_EQ(root->putString("name", "value"), BR_OK);
  ASSERT_EQ(root->put("n", HBTYPE_SINT, reinterpret_cast<void *>(intptr_t{-7})), BR_OK);
  ASSERT_EQ(root->putObject("child", HBIFC_MAP, child->obj()), BR_OK);
  ASSERT_EQ(root->putObject("list", HBIFC_ITER, list->obj()), BR_OK);
  HBRef<Probe> p = Probe::make();

  const std::string log = captureLog([&] {
    hbvalue__dump("DUMPT", BRLOG_INFO, 0, nullptr, root->obj());
    hbvalue__dump("DUMPT", BRLOG_INFO, 1, ">", p.get());
    hbvalue__dump("DUMPT", BRLOG_DEBUG5 + 1, 0, nullptr, root->obj());
  });
  const std::vector<std::string> wanted = {
      "  -- [name] -> [value]\n",
      "  -- [n] -> [-7]\n",
      "  -- [child] -> {0x10000001} 0x",
      "     -- [inner] -> [deep]\n",
      "  -- [list] -> {0x10000002} 0x",
      "     -- (photos)[0] -> {0x10000000} 0x",
      "        -- Str -> [item]\n",
      ">     ---> {UNKNOWN-IHBOBJ} 0x",
  };
  size_t from = 0;
  for (const std::string &w : wanted) {
    const size_t at = log.find(w, from);
    EXPECT_NE(at, std::string::npos) << "missing or out of order: " << w << "\n" << log;
    if (at != std::string::npos) from = at;
  }
  EXPECT_EQ(log.find("[name] -> [value]", log.find("[name] -> [value]") + 1), std::string::npos);
}

}  // namespace
