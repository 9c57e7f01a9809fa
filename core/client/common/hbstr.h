// Text objects, the small value interfaces and the region allocator behind maps and messages.
//
// Four string kinds differ only in who owns the bytes: HBStrHeap (its own heap copy), HBStrSA
// (bytes in an HBStringAllocator, on which it holds a reference), HBStrStatic (a constant that is
// never destroyed) and the common base HBStr. Each offers IHBStr and IHBRPCArgumentValue. Texts
// handed out are borrowed: valid while the caller holds a reference to their owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "brerror.h"
#include "brlist.h"
#include "hbobj.h"

struct IHBStr : IHBObj {
  static constexpr int32_t kIfc = HBIFC_STR;
  // The text (UTF-8, NUL-terminated, possibly null), borrowed.
  virtual const char *getText() = 0;
};

struct IHBRPCArgumentValue : IHBObj {
  static constexpr int32_t kIfc = HBIFC_RPCARGUMENTVALUE;
  // *hbtype -1 is set to 0x40000001 and the text stored in *out; 0x40000001 stores the text; any
  // other tag returns -6. The text is borrowed.
  HB_NODISCARD virtual int32_t getValue(hbtype_t *hbtype, void **out) = 0;
};

struct IHBNamedArgument : IHBObj {
  static constexpr int32_t kIfc = HBIFC_NAMEDARGUMENT;
  // The name given at creation (borrowed).
  virtual const char *getName() = 0;
};

// One property of a serializable record; a table ends with an entry whose name is null.
struct HBRPCPropertyEntry {
  const char *name;
  hbtype_t hbtype;  // 0x40000001 for a text, else the interface number of an object
};

struct IHBRPCSerializable : IHBObj {
  static constexpr int32_t kIfc = HBIFC_RPCSERIALIZABLE;
  // A constant such as "task", "reference", "error" or "file".
  virtual const char *getTypeName() = 0;
  // A constant table ending with a null name.
  virtual const HBRPCPropertyEntry *getPropertyTable() = 0;
  // For an object property: a referenced object in *out (the caller releases it) and its tag in
  // *hbtype. Other properties: -3 or -6.
  HB_NODISCARD virtual int32_t getPropertyObject(int32_t index, hbtype_t *hbtype, void **out) = 0;
  // For a text property: writes it into `buffer` (cut to size - 1 bytes plus terminator) and
  // returns its full length; numbers are written "%d". An index out of the table: -3.
  HB_NODISCARD virtual int32_t getPropertyText(int32_t index, char *buffer, int32_t size) = 0;
};

// A region allocator for many small byte strings that die together. Reference counted (no
// getifc); everything handed out stays valid until flush() or destruction. Not locked: one
// thread at a time.
class HBStringAllocator {
 public:
  // A new allocator with one reference for the caller; the first buffer of `initialSize` bytes
  // is allocated when above zero; `growSize` 0 means it never grows. -19 when memory is short.
  HB_NODISCARD static int32_t create(int32_t initialSize, int32_t growSize,
                                     HBStringAllocator **out);
  HB_NODISCARD static int32_t create(int32_t initialSize, int32_t growSize,
                                     HBRef<HBStringAllocator> &out);

  int32_t upref();
  int32_t dnref();

  // `n` bytes aligned to 8, or null for n <= 0, when the buffer is full and growSize is 0, or
  // when memory is short.
  void *alloc(int32_t n);
  // A terminated copy of `length` bytes of `text` (negative: up to the terminator); null for a
  // null text or when nothing can be allocated.
  char *copyText(const char *text, int32_t length);
  // Frees every retired buffer and rewinds the current one.
  void flush();

  int32_t bufferCount() const { return m_buffers; }
  int64_t totalAllocated() const { return m_total; }
  int32_t bufferSize() const { return m_size; }
  // Bytes used in the current buffer.
  int32_t used() const { return m_buffer ? static_cast<int32_t>(m_pos - m_buffer) : 0; }
  int32_t growSize() const { return growsize; }
  int32_t refcount() const { return m_refs.load(std::memory_order_relaxed); }

 private:
  HBStringAllocator(int32_t growSize);
  ~HBStringAllocator();
  HBStringAllocator(const HBStringAllocator &) = delete;
  HBStringAllocator &operator=(const HBStringAllocator &) = delete;

  std::atomic<int32_t> m_refs{1};
  char *m_buffer = nullptr;
  char *m_pos = nullptr;
  int32_t m_size = 0;
  int32_t growsize = 0;
  brlist m_list;
  int32_t m_buffers = 0;
  int64_t m_total = 0;
};

// The common base of the string kinds: the text pointer and both interfaces. The value
// interface is a sub-object sharing the string's count, so an HBStr converts to IHBObj without
// ambiguity.
class HBStr : public IHBStr {
 public:
  const char *getText() override { return m_text; }
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;
  IHBObj *obj() { return this; }

 protected:
  HBStr() : m_argval(this) {}
  ~HBStr() override = default;

  const char *m_text = nullptr;

 private:
  struct ArgValue final : IHBRPCArgumentValue {
    explicit ArgValue(HBStr *owner) : m_owner(owner) {}
    int32_t upref() override { return m_owner->upref(); }
    int32_t dnref() override { return m_owner->dnref(); }
    HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
      return m_owner->getifc(ifc, out);
    }
    HB_NODISCARD int32_t getValue(hbtype_t *hbtype, void **out) override;
    HBStr *m_owner;
  };
  ArgValue m_argval;
};

// A string with its own heap copy of the text.
class HBStrHeap final : public HBObject<HBStrHeap, HBStr> {
 public:
  // Copies `text` (null gives a null text); one reference for the caller; -19 on OOM.
  HB_NODISCARD static int32_t create(const char *text, HBStrHeap **out);
  HB_NODISCARD static int32_t create(const char *text, HBRef<HBStrHeap> &out);
  // Takes over `buffer` (from malloc) without copying; it is freed with the string, also when
  // creation fails. One reference for the caller; -19 on OOM.
  HB_NODISCARD static int32_t adopt(char *buffer, HBStrHeap **out);
  HB_NODISCARD static int32_t adopt(char *buffer, HBRef<HBStrHeap> &out);

 private:
  friend class HBObject<HBStrHeap, HBStr>;
  HBStrHeap() = default;
  ~HBStrHeap() override;
};

// A string whose bytes live in an HBStringAllocator; it holds one reference on the allocator.
class HBStrSA final : public HBObject<HBStrSA, HBStr> {
 public:
  // Copies `length` bytes of `text` (negative: up to the terminator; null text: null) into
  // `allocator`. One reference for the caller; -19 when memory is short.
  HB_NODISCARD static int32_t create(HBStringAllocator *allocator, const char *text,
                                     int32_t length, HBStrSA **out);
  HB_NODISCARD static int32_t create(HBStringAllocator *allocator, const char *text,
                                     int32_t length, HBRef<HBStrSA> &out);

 private:
  friend class HBObject<HBStrSA, HBStr>;
  HBStrSA() = default;
  ~HBStrSA() override;
  HBStringAllocator *m_allocator = nullptr;
};

// A string over a constant text in static storage. upref and dnref change nothing and return 1;
// declare these at namespace scope, they live for the whole process.
class HBStrStatic final : public HBStr {
 public:
  explicit HBStrStatic(const char *constant) { m_text = constant; }
  ~HBStrStatic() override = default;
  int32_t upref() override { return 1; }
  int32_t dnref() override { return 1; }
};

// Parses a 32-bit integer: leading white space, one "-" or "+", then digits of `base` (16: up
// to 8 after an optional "0x"; 10: up to 10; 0: hex after "0x", decimal unless it starts with
// "0"). Other bases give 0. No overflow check. A null text gives 0.
int32_t brstr__toInt(const char *text, int base);

// Length of the well-formed UTF-8 sequence at `p` (1 to 4), storing its code point in *cp, or 0
// when the bytes there are not one (overlong forms, surrogates and values past U+10FFFF
// included). Reads no further than a byte that is not a continuation, so a terminator stops it.
int brstr__utf8Sequence(const unsigned char *p, uint32_t *cp);
// The length of the longest prefix of `text` of at most `maxBytes` bytes that does not split a
// character.
size_t brstr__cutUtf8(const char *text, size_t maxBytes);
// `in` as valid UTF-8: every well-formed sequence (as brstr__utf8Sequence judges it) is kept as
// it stands, and every other byte becomes the character of the same value in Latin-1 (U+0080 to
// U+00FF, two bytes). So a Latin-1 text comes out as what it meant, the same input always gives
// the same output, and a valid text is unchanged. Nothing is dropped: NUL and control characters
// are valid and kept; callers that show or send the text strip them themselves.
std::string hbstr__validUTF8(std::string_view in);
// Length in UTF-16 units of a UTF-8 text, without terminator (0 for null). A byte that does not
// begin a well-formed sequence (a stray continuation byte among them) counts one unit, as the
// platform's conversion makes it one replacement character.
int32_t brstr__utf16Length(const char *text);

// Logs `data` as lines of 16 bytes (offset, hex, characters) under `tag` at `level`.
void brstr__hexdump(const char *tag, int level, const void *data, int32_t length);
