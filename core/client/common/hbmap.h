// The value tree: maps, list iterators, object iterators and the log dump.
//
// A value carries a type tag (hbtype): an interface number for an object held by reference, or
// a raw type with bit 0x40000000 (0x40000001 text, 0x40000000 opaque pointer). An object value
// is stored as the pointer to that interface (for example an IHBMap*, IHBIter* or IHBStr*);
// use putObject so the pointer is always the IHBObj of the interface.
#pragma once

#include <cstdint>
#include <functional>

#include "brerror.h"
#include "brlist.h"
#include "brrbtree.h"
#include "hbobj.h"
#include "hbstr.h"

struct IHBIter;

struct IHBMap : IHBObj {
  static constexpr int32_t kIfc = HBIFC_MAP;
  // The lenient getter. Absent key: -3. Null `hbtype`: 0 (presence test). *hbtype -1 is set to
  // the stored tag; null `out` then gives 0. A raw value needs the same tag (else -16) and is
  // stored borrowed; an object value gives the result of its getifc(*hbtype) with one
  // reference in *out for the caller.
  HB_NODISCARD virtual int32_t get(const char *key, hbtype_t *hbtype, void **out) = 0;
  // The text of a text entry or of a string object entry (borrowed), else null.
  virtual const char *getString(const char *key) = 0;
  // A new iterator over the keys (texts), in insertion order with flag 0x100, else byte order.
  // One reference for the caller.
  HB_NODISCARD virtual int32_t iterate(IHBIter **out) = 0;
  // The strict getter: absent key or a raw value of another tag gives -3; an object value gives
  // the result of getifc(hbtype), with one reference in *out for the caller.
  HB_NODISCARD virtual int32_t getAs(const char *key, hbtype_t hbtype, void **out) = 0;
};

struct IHBIter : IHBObj {
  static constexpr int32_t kIfc = HBIFC_ITER;
  // Fetches the current item and advances; -7 at the end. Objects come with one reference for
  // the caller, texts are borrowed.
  HB_NODISCARD virtual int32_t next(hbtype_t *hbtype, void **out) = 0;
  // Fetches up to `count` items into parallel arrays (either may be null); the number fetched,
  // or the failure of the first next (-7 at the end, and for count <= 0).
  HB_NODISCARD virtual int32_t nextN(hbtype_t *hbtypes, void **outs, int32_t count) = 0;
};

// Insertion flags of put.
enum : uint32_t {
  HBMAP_PUT_NOCOPY = 0x1,     // store key and text pointers as given; they outlive the map
  HBMAP_PUT_NOREPLACE = 0x2,  // an existing key is an error (-23)
};

// Map flags.
enum : uint32_t {
  HBMAP_OWNS_ALLOCATOR = 0x1,
  HBMAP_SETTABLE = 0xff00,
  HBMAP_ORDERED = 0x100,  // iterate in insertion order
};

class HBMapIterator;

// A dictionary of unique keys. Keys, text values and bookkeeping come from one
// HBStringAllocator, shared by a map and all its children; removing an entry gives no memory
// back until the allocator is flushed. Object values hold one reference each. Not locked.
class HBMap final : public HBObject<HBMap, IHBMap> {
 public:
  // A map with its own allocator of those sizes (4096/4096 for RPC results, 1024/1024 for JSON,
  // 256/256 for VFS properties); `name` (may be null) is copied. One reference for the caller;
  // -19 when memory is short.
  HB_NODISCARD static int32_t create(const char *name, int32_t initialSize, int32_t growSize,
                                     HBMap **out);
  HB_NODISCARD static int32_t create(const char *name, int32_t initialSize, int32_t growSize,
                                     HBRef<HBMap> &out);
  // A map sharing this map's allocator and its flags 0xff00. One reference for the caller.
  HB_NODISCARD int32_t newChild(const char *name, HBMap **out);
  HB_NODISCARD int32_t newChild(const char *name, HBRef<HBMap> &out);

  // Replaces the flags 0xff00. Changing 0x100 while entries exist stops the process.
  void setFlags(uint32_t flags);
  uint32_t flags() const { return m_flags; }

  // Stores `value` under `key`: see HBMAP_PUT_*. Null values give -29 except for the opaque
  // pointer and integer tags. An object value gets one reference of the map's own; without
  // HBMAP_PUT_NOREPLACE an earlier entry of the key is removed first. -23 on collision, -19
  // when memory is short, -6 for the tag -1.
  HB_NODISCARD int32_t put(const char *key, hbtype_t hbtype, const void *value,
                           uint32_t flags = 0);
  HB_NODISCARD int32_t putString(const char *key, const char *text, uint32_t flags = 0);
  // put for an object under interface `hbtype` (the map takes its own reference).
  HB_NODISCARD int32_t putObject(const char *key, hbtype_t hbtype, IHBObj *obj,
                                 uint32_t flags = 0);
  // Removes the entry, dropping the map's reference on an object value: 0, or -3.
  int32_t remove(const char *key);
  // Drops every object value and empties the map (the allocator is not flushed); returns 0.
  int32_t clear();

  HB_NODISCARD int32_t get(const char *key, hbtype_t *hbtype, void **out) override;
  const char *getString(const char *key) override;
  HB_NODISCARD int32_t iterate(IHBIter **out) override;
  HB_NODISCARD int32_t iterate(HBRef<IHBIter> &out);
  HB_NODISCARD int32_t getAs(const char *key, hbtype_t hbtype, void **out) override;
  // Typed forms of getAs: the child map, or the iterator, stored under `key` (one reference).
  HB_NODISCARD int32_t getMap(const char *key, HBRef<HBMap> &out);
  HB_NODISCARD int32_t getIter(const char *key, HBRef<IHBIter> &out);

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

  const char *name() const { return m_name; }
  int32_t count() const { return m_tree.count; }
  // The allocator shared by this map and its children (borrowed).
  HBStringAllocator *allocator() const { return m_allocator; }
  IHBObj *obj() { return this; }

 private:
  friend class HBObject<HBMap, IHBMap>;
  friend class HBMapIterator;
  struct Entry;
  struct Named final : IHBNamedArgument {
    explicit Named(HBMap *owner) : m_owner(owner) {}
    int32_t upref() override { return m_owner->upref(); }
    int32_t dnref() override { return m_owner->dnref(); }
    HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
      return m_owner->getifc(ifc, out);
    }
    const char *getName() override { return m_owner->m_name; }
    HBMap *m_owner;
  };

  HBMap();
  ~HBMap() override;
  Entry *find(const char *key) const;
  void dropEntry(Entry *e);
  static void releaseValue(hbtype_t hbtype, void *value);

  Named m_named;
  char *m_name = nullptr;  // heap copy: survives a flush of the allocator
  uint32_t m_flags = 0;
  HBStringAllocator *m_allocator = nullptr;
  brrbtree m_tree;
  brlist m_order;
};

// Ownership flags of HBListIterator.
enum : uint32_t {
  HBLISTITER_OWN = 0x1,        // the list is the iterator's (destroyed with it, items released)
  HBLISTITER_FREEITEMS = 0x2,  // raw items are heap blocks freed with the iterator
  HBLISTITER_COPY = 0x4,       // build an own list of the same objects, each referenced
};

// An iterator over a brlist whose items share one hbtype. With HBLISTITER_OWN it owns the list
// and, for object types, one reference per item.
class HBListIterator final : public HBObject<HBListIterator, IHBIter> {
 public:
  // Given a list and HBLISTITER_COPY: an own copy of it (raw hbtypes stop the process). Given a
  // list without it: walks that list under `flags` (a borrowed list must outlive the iterator;
  // an own one is taken over). Given no list: an empty own list. `name` (may be null) is copied.
  // One reference for the caller; -19 when memory is short.
  HB_NODISCARD static int32_t create(brlist *list, hbtype_t hbtype, uint32_t flags,
                                     const char *name, HBListIterator **out);
  HB_NODISCARD static int32_t create(brlist *list, hbtype_t hbtype, uint32_t flags,
                                     const char *name, HBRef<HBListIterator> &out);

  HB_NODISCARD int32_t next(hbtype_t *hbtype, void **out) override;
  HB_NODISCARD int32_t nextN(hbtype_t *hbtypes, void **outs, int32_t count) override;
  // Back to the first item.
  void reset();
  // Appends `item` to an own list (else -6), taking a reference on an object item; -19 when
  // memory is short.
  HB_NODISCARD int32_t append(void *item);
  HB_NODISCARD int32_t appendObject(IHBObj *obj) { return append(obj); }

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

  hbtype_t hbtype() const { return m_hbtype; }
  const char *name() const { return m_name; }
  int32_t count() const { return brlist__count(m_list); }
  // The list walked (borrowed).
  brlist *list() const { return m_list; }
  IHBObj *obj() { return this; }

 private:
  friend class HBObject<HBListIterator, IHBIter>;
  struct Named final : IHBNamedArgument {
    explicit Named(HBListIterator *owner) : m_owner(owner) {}
    int32_t upref() override { return m_owner->upref(); }
    int32_t dnref() override { return m_owner->dnref(); }
    HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
      return m_owner->getifc(ifc, out);
    }
    const char *getName() override { return m_owner->m_name; }
    HBListIterator *m_owner;
  };
  HBListIterator();
  ~HBListIterator() override;

  Named m_named;
  brlist *m_list = nullptr;
  brlist_node *m_cur = nullptr;  // null once run off the end
  hbtype_t m_hbtype = HBIFC_OBJ;
  uint32_t m_flags = 0;
  char *m_name = nullptr;
};

// An iterator over a list it owns, of items of one hbtype (0x10000000 for objects of mixed
// kinds). Its nextN fetches at most one item. On destruction object items lose their
// reference and text items (0x40000001, heap blocks) are freed.
class HBObjIter final : public HBObject<HBObjIter, IHBIter> {
 public:
  // Takes over `list` (may be null: empty) and its items, also when creation fails. One
  // reference for the caller; -19 when memory is short.
  HB_NODISCARD static int32_t create(hbtype_t hbtype, brlist *list, HBObjIter **out);
  HB_NODISCARD static int32_t create(hbtype_t hbtype, brlist *list, HBRef<HBObjIter> &out);

  HB_NODISCARD int32_t next(hbtype_t *hbtype, void **out) override;
  // 1 when one item was fetched, -1 otherwise.
  HB_NODISCARD int32_t nextN(hbtype_t *hbtypes, void **outs, int32_t count) override;
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;
  IHBObj *obj() { return this; }

 private:
  friend class HBObject<HBObjIter, IHBIter>;
  HBObjIter() = default;
  ~HBObjIter() override;
  static void freeItems(hbtype_t hbtype, brlist *list);

  hbtype_t m_hbtype = HBIFC_OBJ;
  brlist *m_list = nullptr;
  brlist_node *m_cur = nullptr;
};

// Logs `object` and everything below it, one line per value under `tag` at `level`, each line
// starting with `indent` (may be null) and three blanks per `depth`.
void hbvalue__dump(const char *tag, int level, int depth, const char *indent, IHBObj *object);

// Calls `fn(key, hbtype, value)` for each entry of `map` in iteration order. Object values are
// borrowed for the call (held by the walk meanwhile); entries that cannot be read back are
// passed over. Stops at, and returns, the first negative result of `fn`; returns the failure of
// `iterate` when the keys cannot be walked, else 0.
HB_NODISCARD int32_t hbmap__forEach(IHBMap *map,
                                    const std::function<int32_t(const char *, hbtype_t, void *)> &fn);

// Calls `fn(object)` for each object item of `iter` (consumed), held by the walk for the call;
// raw and null items are passed over. Stops at, and returns, the first negative result of `fn`;
// else 0. A null iterator walks nothing.
HB_NODISCARD int32_t hbiter__forEachObject(IHBIter *iter,
                                           const std::function<int32_t(IHBObj *)> &fn);
// Calls `fn(map)` for each item of `iter` (consumed) that is a map, held by the walk for the
// call; other items are passed over. Stops at, and returns, the first negative result of `fn`;
// else 0. A null iterator walks nothing.
HB_NODISCARD int32_t hbiter__forEachMap(IHBIter *iter, const std::function<int32_t(IHBMap *)> &fn);
