// Reference-counted objects with numbered interfaces.
//
// Every shared object implements IHBObj: upref, dnref and getifc(number, out). A factory or an
// out-parameter hands over one reference that the receiver releases with dnref; nothing deletes
// an object directly. HBRef<T> keeps call sites leak-free; HBObject<Derived, Ifcs...> supplies the
// one atomic reference count that all interface sub-objects of a class share.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <type_traits>
#include <utility>

#include "brerror.h"

// A type tag (hbtype): an interface number for object values, or a raw type with bit 0x40000000.
typedef int32_t hbtype_t;

// Interface numbers.
enum : int32_t {
  HBIFC_OBJ = 0x10000000,
  HBIFC_MAP = 0x10000001,
  HBIFC_ITER = 0x10000002,
  HBIFC_STREAM = 0x10000003,
  HBIFC_STR = 0x10000008,
  HBIFC_HTTPCONNPOOL = 0x1000000a,
  HBIFC_MEMSTREAM = 0x1000000d,
  HBIFC_NAMEDARGUMENT = 0x1000000e,
  HBIFC_OBJWITHMIMETYPE = 0x1000000f,
  HBIFC_RPCSERIALIZABLE = 0x10000011,
  HBIFC_RPCARGUMENTVALUE = 0x10000018,
  HBIFC_URI = 0x10000028,
  HBIFC_URL = 0x10000029,
  HBIFC_ZVURI = 0x1000002b,
  HBIFC_XCODE = 0x10000030,
  HBIFC_XCODE2 = 0x10000032,
  HBIFC_VFS2 = 0x10000200,
  HBIFC_VFSFILE = 0x10000201,
  HBIFC_VFSRESOURCE = 0x10000202,
  HBIFC_STREAMSPACEALLOC = 0x30000005,
  HBCLS_MAP = 0x38000002,
  HBCLS_LISTITERATOR = 0x38000003,
};

// Raw value types (bit 0x40000000 set): never objects.
enum : int32_t {
  HBTYPE_ANY = -1,
  HBTYPE_PTR = 0x40000000,
  HBTYPE_TEXT = 0x40000001,
  HBTYPE_BIN16 = 0x40000002,
  HBTYPE_INT = 0x40008000,
  HBTYPE_SINT = 0x4000c000,
};

inline bool hbtype__isRaw(hbtype_t t) { return (t & 0x40000000) != 0; }

struct IHBObj {
  static constexpr int32_t kIfc = HBIFC_OBJ;
  // Adds one reference; returns the new count.
  virtual int32_t upref() = 0;
  // Drops one reference; returns the new count. At zero the object destroys itself.
  virtual int32_t dnref() = 0;
  // Stores a referenced pointer to interface `ifc` in *out and returns 0, or returns -3 and
  // leaves *out alone when the object does not offer it.
  HB_NODISCARD virtual int32_t getifc(int32_t ifc, void **out) = 0;

 protected:
  virtual ~IHBObj() = default;
};

// Live-object accounting for debug builds: a count per class, checked by the tests at exit.
int64_t hbobj__liveCount();
// Logs every class with live objects; returns how many objects are alive.
int64_t hbobj__reportLeaks();
namespace hb_detail {
void objcount_add(const char *cls, int delta);

// The two steps of an atomic reference count. A count already at zero belongs to an object
// being freed: taking a reference then would revive it and free it twice, so it stops the
// process, as a count falling below zero does. `where` names the caller in that message.
inline int32_t refUp(std::atomic<int32_t> &refs, const char *where) {
  const int32_t old = refs.fetch_add(1, std::memory_order_relaxed);
  if (old <= 0) brabort(where, __LINE__);
  return old + 1;
}
// The new count; the caller frees the object at 0. acq_rel rather than release plus a fence:
// the same ordering, and one that ThreadSanitizer can follow.
inline int32_t refDown(std::atomic<int32_t> &refs, const char *where) {
  const int32_t n = refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (n < 0) brabort(where, __LINE__);
  return n;
}
}  // namespace hb_detail

// The shared reference count of a class implementing one or more interfaces.
template <class Derived, class... Ifcs>
class HBObject : public Ifcs... {
 public:
  int32_t upref() override { return hb_detail::refUp(m_refs, __PRETTY_FUNCTION__); }

  int32_t dnref() override {
    const int32_t n = hb_detail::refDown(m_refs, __PRETTY_FUNCTION__);
    if (n == 0) delete this;
    return n;
  }

 protected:
  HBObject() {
#if defined(HB_DEBUG_OBJCOUNT)
    hb_detail::objcount_add(typeid_name(), 1);
#endif
  }
  ~HBObject() override {
#if defined(HB_DEBUG_OBJCOUNT)
    hb_detail::objcount_add(typeid_name(), -1);
#endif
  }

  int32_t refcount() const { return m_refs.load(std::memory_order_relaxed); }

  // Hands out this object as interface I: one reference for the caller.
  template <class I>
  int32_t offer(void **out) {
    *out = static_cast<I *>(static_cast<Derived *>(this));
    upref();
    return 0;
  }

 private:
  static const char *typeid_name() { return __PRETTY_FUNCTION__; }
  std::atomic<int32_t> m_refs{1};
};

// An intrusive holder: upref on copy, dnref on destruction.
template <class T>
class HBRef {
 public:
  HBRef() = default;
  HBRef(std::nullptr_t) {}
  HBRef(const HBRef &o) : m_p(o.m_p) {
    if (m_p) m_p->upref();
  }
  HBRef(HBRef &&o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U *, T *>>>
  HBRef(HBRef<U> &&o) noexcept : m_p(o.detach()) {}
  ~HBRef() { reset(); }

  HBRef &operator=(const HBRef &o) {
    if (o.m_p) o.m_p->upref();
    reset();
    m_p = o.m_p;
    return *this;
  }
  HBRef &operator=(HBRef &&o) noexcept {
    if (this != &o) {
      reset();
      m_p = o.m_p;
      o.m_p = nullptr;
    }
    return *this;
  }

  // Takes over a reference handed out by a factory or an out-parameter.
  static HBRef adopt(T *p) {
    HBRef r;
    r.m_p = p;
    return r;
  }
  // Takes a new reference on a borrowed pointer.
  static HBRef retain(T *p) {
    if (p) p->upref();
    return adopt(p);
  }

  void reset() {
    if (m_p) {
      T *p = m_p;
      m_p = nullptr;
      p->dnref();
    }
  }
  // Hands the reference on; the holder is left empty.
  T *detach() {
    T *p = m_p;
    m_p = nullptr;
    return p;
  }
  // Clears the holder and returns its slot for an out-parameter call.
  T **out() {
    reset();
    return &m_p;
  }
  void **outv() { return reinterpret_cast<void **>(out()); }

  T *get() const { return m_p; }
  T *operator->() const { return m_p; }
  T &operator*() const { return *m_p; }
  explicit operator bool() const { return m_p != nullptr; }

 private:
  T *m_p = nullptr;
};

// One object registered process-wide (a default pool, store or address) that any thread may
// replace or take. Never released at exit: late users may still come.
template <class T>
class HBSharedRef {
 public:
  // Holds its own reference on `value` (null clears). The old object is released after the lock
  // is dropped: its destructor may need other locks.
  void set(T *value) {
    if (value) value->upref();
    T *old;
    {
      std::lock_guard<std::mutex> g(m_lock);
      old = m_p;
      m_p = value;
    }
    if (old) old->dnref();
  }
  // Sets `value` only when nothing is held; false when something was.
  bool setIfEmpty(T *value) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_p) return false;
    if (value) value->upref();
    m_p = value;
    return true;
  }
  // The held object with one reference for the caller, or null.
  T *get() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_p) m_p->upref();
    return m_p;
  }

 private:
  std::mutex m_lock;
  T *m_p = nullptr;
};

// Asks `obj` for interface T (which names its number as T::kIfc).
template <class T>
HB_NODISCARD inline int32_t hb_query(IHBObj *obj, T **out) {
  if (!obj) return BR_EINVAL;
  return obj->getifc(T::kIfc, reinterpret_cast<void **>(out));
}
template <class T>
HB_NODISCARD inline int32_t hb_query(IHBObj *obj, HBRef<T> &out) {
  return hb_query<T>(obj, out.out());
}
