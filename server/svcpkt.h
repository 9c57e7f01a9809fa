// The service's own codec for packet messages: records keyed by (field number × 8) + type,
// varints, zigzag signed values, nested messages; and the "map"/"iter" value messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "svcvalue.h"

namespace tessel::svc {

enum PktType { kPktUint = 0, kPktSint = 1, kPktFix = 2, kPktFix2 = 3, kPktStr = 4, kPktMsg = 5 };

struct PktMessage;

struct PktRecord {
  uint32_t field = 0;
  int type = kPktUint;
  uint64_t num = 0;  // UINT, FIX (raw little-endian bytes), SINT (zigzag already undone)
  std::string str;
  std::unique_ptr<PktMessage> msg;
};

struct PktMessage {
  std::vector<PktRecord> records;
  // The first record of `field`, or null.
  const PktRecord *first(uint32_t field) const;
  void addStr(uint32_t field, std::string s);
  void addMsg(uint32_t field, PktMessage m);
  void addUint(uint32_t field, uint64_t v);
  void addSint(uint32_t field, int64_t v);
};

constexpr int kPktMaxDepth = 20;
constexpr size_t kPktMaxRecords = 10000;  // in one message, nested ones included

void svcpkt__putVarint(std::string *out, uint64_t v);
// Parses a whole message. Refuses truncated records, unknown types, nesting deeper than
// kPktMaxDepth and more than kPktMaxRecords records; `err` says why.
bool svcpkt__parse(const uint8_t *data, size_t len, PktMessage *out, std::string *err);
std::string svcpkt__encode(const PktMessage &m);

// A request: field 0 "map", then key/value pairs in fields 1/2, 3/4 ... Values that are nested
// messages are not text arguments and are left out.
bool svcpkt__toArgs(const PktMessage &m, SvcArgs *args, std::string *err);
// The "map" message of an answer: texts as STR, maps as nested "map", lists as nested "iter".
PktMessage svcpkt__fromValue(const SvcValue &map);

}  // namespace tessel::svc
