// Packet messages: the compact binary form of RPC calls and answers.
//
// A message is a set of records keyed by field number; a field may repeat. The wire form is each
// record's key (varint of field * 8 + type) and value, back to back, with no header: a top-level
// message ends with its HTTP body, a nested one after the length written in front of it. Core
// values travel as value messages whose field 0 names their kind ("map" or "iter").
//
// Records live in a region allocator shared by a top-level message and everything nested in it.
// A message belongs to one thread at a time. Log tags "HBPKT", "PKTM", "PCONV".
#pragma once

#include <cstdint>

#include "brerror.h"
#include "hbobj.h"
#include "hbstr.h"

struct IHBStream;
class HBMap;

// Record types (3 bits on the wire).
enum : int32_t {
  HBPKT_UINT = 0,
  HBPKT_SINT = 1,
  HBPKT_FIX = 2,
  HBPKT_FIX2 = 3,
  HBPKT_STR = 4,
  HBPKT_MSG = 5,
};

// Record ownership flags.
enum : uint32_t {
  HBPKT_OWNED = 0x1,
  HBPKT_OWNED_FREE = 0x2,   // with 0x1: a heap buffer released with free
  HBPKT_OWNED_DNREF = 0x4,  // with 0x1: an object released through dnref
};

// Guards of the reader against hostile bodies: a message nests at most this deep, and a
// top-level read consumes at most this many bytes.
#define HBPKT_MAX_DEPTH 32
#define HBPKT_MAX_BODY (64 * 1024 * 1024)
// A STR longer than this is refused (its bytes are skipped).
#define HBPKT_MAX_STR 4096

// A typed argument of an RPC call: a text (hbtype 0 or 0x40000001), a map (0x10000001, an
// IHBMap*) or an iterator (0x10000002, an IHBIter*). Other types are sent as empty values by
// SOAP and skipped by packet messages.
struct HBRPCArgument {
  const char *name;
  const void *value;
  hbtype_t hbtype;
};

class HBPKTMessage final : public HBObject<HBPKTMessage, IHBObj> {
 public:
  // An empty message; a nested one shares `parent`'s allocator (the parent is not referenced).
  // One reference for the caller; -19 when memory is short.
  HB_NODISCARD static int32_t create(HBPKTMessage *parent, HBPKTMessage **out);
  HB_NODISCARD static int32_t create(HBPKTMessage *parent, HBRef<HBPKTMessage> &out);

  // Adds a record (a repeated field gets one more). A SINT value is the signed value itself
  // (the zigzag form exists only on the wire). With HBPKT_OWNED|HBPKT_OWNED_DNREF the message
  // takes over the caller's reference on the object in `value`, also on failure.
  HB_NODISCARD int32_t addRecord(uint32_t field, int32_t type, int32_t size, uint64_t value,
                                 uint32_t flags);
  // Removes every record of `field`, then adds this one.
  HB_NODISCARD int32_t setRecord(uint32_t field, int32_t type, int32_t size, uint64_t value,
                                 uint32_t flags);
  // A STR record holding a copy of `text` (a null text gives a record without value).
  HB_NODISCARD int32_t setText(uint32_t field, const char *text);
  HB_NODISCARD int32_t addText(uint32_t field, const char *text, int32_t length);
  // Adds a MSG record holding `child` (the message takes its own reference).
  HB_NODISCARD int32_t addMessage(uint32_t field, HBPKTMessage *child);

  // The first record of `field`: its type, size and value. -3 when there is none.
  HB_NODISCARD int32_t getRecord(uint32_t field, int32_t index, int32_t *type, int32_t *size,
                                 uint64_t *value) const;
  // Records of `field`.
  int32_t recordCount(uint32_t field) const;
  // The text of field 0 when it is a STR, copied into `buffer` (at most 31 bytes); -3 otherwise.
  HB_NODISCARD int32_t getKind(char *buffer, int32_t size) const;

  // Writes the encoding; the bytes written, or the first failure's code.
  HB_NODISCARD int64_t write(IHBStream *stream);
  int64_t encodedSize();

  // Parses records from `stream` (borrowed): a top-level message with limit -1, a nested one
  // with its length. The bytes consumed, or a negative code when the stream failed before
  // anything was read or the data is malformed past repair.
  HB_NODISCARD int64_t read(IHBStream *stream, int64_t limit, uint32_t flags);
  // The same over a memory block.
  HB_NODISCARD int64_t readBytes(const void *data, int64_t length);

  // Fills `map` from a "map" message (see the conversion rules). -6 for a malformed message;
  // the entries converted before the failure stay.
  HB_NODISCARD int32_t toMap(HBMap *map);
  // Builds a "map" request: field 0 "map", then name and value of each argument. The pair form
  // takes a list name, value, name, value, ... ended by a null name.
  HB_NODISCARD int32_t fromArguments(int32_t count, const HBRPCArgument *args);
  HB_NODISCARD int32_t fromPairs(const char *const *pairs);
  // Appends a core value (a text of hbtype 0x40000001 or an object) as the record `field`.
  HB_NODISCARD int32_t addValue(uint32_t field, hbtype_t hbtype, const void *value);

  // Logs the records under `tag` at `level`; -12 when nesting passes 20.
  int32_t dump(const char *tag, int level) { return dumpAt(tag, level, 0); }

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;
  HBStringAllocator *allocator() const { return m_alloc; }

 private:
  friend class HBObject<HBPKTMessage, IHBObj>;
  struct Record;
  struct Field;
  struct Reader;
  HBPKTMessage() = default;
  ~HBPKTMessage() override;
  Field *findField(uint32_t field) const;
  int64_t parse(Reader &reader, int64_t limit, int depth);
  int32_t dumpAt(const char *tag, int level, int depth);
  int32_t toMapAt(HBMap *map, int depth);
  int32_t addValueAt(uint32_t field, hbtype_t hbtype, const void *value, int depth);
  int32_t fromMap(IHBObj *map, int depth);
  static void releaseRecord(Record *r);
  int64_t sizeAt(int depth);

  HBStringAllocator *m_alloc = nullptr;
  Field *m_buckets[32] = {};
  bool m_nested = false;
};

// Encodes `v` as a varint into `out` (at least 10 bytes); returns the bytes used.
int32_t hbpkt__putVarint(uint8_t *out, uint64_t v);
inline uint64_t hbpkt__zigzag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t hbpkt__unzigzag(uint64_t u) {
  return static_cast<int64_t>(u >> 1) ^ -static_cast<int64_t>(u & 1);
}
