// Packet messages: exact bytes, record order, the map conversion and hostile bodies.
#include "hbpktmessage.h"

#include <gtest/gtest.h>

#include <string>

#include "brlog.h"
#include "hbmap.h"
#include "hbstream.h"
#include "logcapture.h"

namespace {

std::string bytes(HBPKTMessage *msg) {
  HBRef<IHBMemStream> mem;
  EXPECT_EQ(0, hbstream__newMem(mem.out(), 64));
  const int64_t n = msg->write(mem.get());
  void *buf = nullptr;
  int32_t len = 0;
  (void)mem->getBuffer(&buf, &len);
  EXPECT_EQ(n, len);
  EXPECT_EQ(n, msg->encodedSize());
  return std::string(static_cast<const char *>(buf), size_t(len));
}

HBRef<HBPKTMessage> readMsg(const std::string &data, int64_t *consumed = nullptr) {
  HBRef<HBPKTMessage> msg;
  EXPECT_EQ(0, HBPKTMessage::create(nullptr, msg));
  const int64_t n = msg->readBytes(data.data(), int64_t(data.size()));
  if (consumed) *consumed = n;
  return msg;
}

std::string str(uint32_t field, const std::string &s) {
  std::string out;
  uint8_t tmp[10];
  out.append(reinterpret_cast<char *>(tmp), size_t(hbpkt__putVarint(tmp, field * 8 + 4)));
  out.append(reinterpret_cast<char *>(tmp), size_t(hbpkt__putVarint(tmp, s.size())));
  return out + s;
}

std::string msgRec(uint32_t field, const std::string &body) {
  std::string out;
  uint8_t tmp[10];
  out.append(reinterpret_cast<char *>(tmp), size_t(hbpkt__putVarint(tmp, field * 8 + 5)));
  out.append(reinterpret_cast<char *>(tmp), size_t(hbpkt__putVarint(tmp, body.size())));
  return out + body;
}

TEST(HBPKTMessage, RequestBytesAndNumbers) {
  HBRef<HBPKTMessage> msg;
  ASSERT_EQ(0, HBPKTMessage::create(nullptr, msg));
  const char *pairs[] = {"valtoken", "t", "deviceid", "d", nullptr};
  ASSERT_EQ(0, msg->fromPairs(pairs));
  EXPECT_EQ(std::string("\x04\x03map\x0c\x08valtoken\x14\x01t\x1c\x08"
                        "deviceid\x24\x01"
                        "d"),
            bytes(msg.get()));

  HBRef<HBPKTMessage> nums;
  ASSERT_EQ(0, HBPKTMessage::create(nullptr, nums));
  // SINT records hold the signed value; only the wire has the zigzag form.
  ASSERT_EQ(0, nums->addRecord(1, HBPKT_SINT, 8, uint64_t(int64_t(-1)), 0));
  ASSERT_EQ(0, nums->addRecord(1, HBPKT_SINT, 8, 1, 0));
  ASSERT_EQ(0, nums->addRecord(2, HBPKT_UINT, 8, 300, 0));
  ASSERT_EQ(0, nums->addRecord(3, HBPKT_FIX, 8, 0x0102030405060708ull, 0));
  ASSERT_EQ(0, nums->addValue(4, HBTYPE_SINT, reinterpret_cast<void *>(intptr_t{1})));
  EXPECT_EQ(
      std::string("\x09\x01\x09\x02\x10\xac\x02\x1a\x08\x07\x06\x05\x04\x03\x02\x01\x21\x02", 18),
      bytes(nums.get()));
  const std::string dump = tessel::test::captureLog([&] { (void)nums->dump("T", BRLOG_ERROR); });
  EXPECT_NE(std::string::npos, dump.find("  1    0  SINT     8     -1\n")) << dump;
  EXPECT_NE(std::string::npos, dump.find("  4    0  SINT     8      1\n")) << dump;
  HBRef<HBPKTMessage> back = readMsg(bytes(nums.get()));
  int32_t type, size;
  uint64_t v;
  ASSERT_EQ(0, back->getRecord(1, 0, &type, &size, &v));
  EXPECT_EQ(-1, int64_t(v));
  ASSERT_EQ(0, back->getRecord(1, 1, &type, &size, &v));
  EXPECT_EQ(1, int64_t(v));
  ASSERT_EQ(0, back->getRecord(2, 0, &type, &size, &v));
  EXPECT_EQ(300u, v);
  ASSERT_EQ(0, back->getRecord(3, 0, &type, &size, &v));
  EXPECT_EQ(0x0102030405060708ull, v);
  // A parsed message encodes as the one it was parsed from.
  EXPECT_EQ(bytes(nums.get()), bytes(back.get()));
  EXPECT_EQ(INT64_MIN, hbpkt__unzigzag(hbpkt__zigzag(INT64_MIN)));
  EXPECT_EQ(INT64_MAX, hbpkt__unzigzag(hbpkt__zigzag(INT64_MAX)));
}

TEST(HBPKTMessage, ManyEntriesUseHighFieldsInBucketOrder) {
  HBRef<HBMap> map;
  ASSERT_EQ(0, HBMap::create(nullptr, 1024, 1024, map));
  map->setFlags(HBMAP_ORDERED);
  for (int i = 0; i < 20; ++i) {
    char k[8], v[8];
    snprintf(k, sizeof k, "k%02d", i);
    snprintf(v, sizeof v, "v%d", i);
    ASSERT_EQ(0, map->putString(k, v));
  }
  HBRPCArgument arg = {"m", static_cast<IHBMap *>(map.get()), HBIFC_MAP};
  HBRef<HBPKTMessage> msg;
  ASSERT_EQ(0, HBPKTMessage::create(nullptr, msg));
  ASSERT_EQ(0, msg->fromArguments(1, &arg));
  int32_t type, size;
  uint64_t value;
  ASSERT_EQ(0, msg->getRecord(2, 0, &type, &size, &value));
  ASSERT_EQ(HBPKT_MSG, type);
  auto *inner = reinterpret_cast<HBPKTMessage *>(uintptr_t(value));
  // Entry 16 has its key in field 33: same bucket as field 1, added later, so written first.
  const std::string wire = bytes(inner);
  const size_t f33 = wire.find(str(33, "k16"));
  const size_t f1 = wire.find(str(1, "k00"));
  ASSERT_NE(std::string::npos, f33);
  ASSERT_NE(std::string::npos, f1);
  EXPECT_LT(f33, f1);

  HBRef<HBPKTMessage> back = readMsg(wire);
  HBRef<HBMap> out;
  ASSERT_EQ(0, HBMap::create(nullptr, 1024, 1024, out));
  ASSERT_EQ(0, back->toMap(out.get()));
  EXPECT_EQ(20, out->count());
  EXPECT_STREQ("v16", out->getString("k16"));
  EXPECT_STREQ("v0", out->getString("k00"));
}

TEST(HBPKTMessage, AnswerConversion) {
  // A map answer with a nested map, a list of two maps, an empty text and a repeated field
  // (only the first record counts).
  const std::string file1 = str(0, "map") + str(1, "id") + str(2, "1");
  const std::string file2 = str(0, "map") + str(1, "id") + str(2, "2");
  const std::string iter = str(0, "iter") + msgRec(1, file1) + msgRec(2, file2);
  const std::string body = str(0, "map") + str(1, "user") + msgRec(2, file1) + str(3, "files") +
                           msgRec(4, iter) + str(5, "empty") + str(6, "") + str(7, "rep") +
                           str(8, "first") + str(8, "second");
  HBRef<HBPKTMessage> msg = readMsg(body);
  EXPECT_EQ(2, msg->recordCount(8));
  HBRef<HBMap> map;
  ASSERT_EQ(0, HBMap::create(nullptr, 4096, 4096, map));
  ASSERT_EQ(0, msg->toMap(map.get()));
  HBRef<HBMap> user;
  ASSERT_EQ(0, map->getMap("user", user));
  EXPECT_STREQ("1", user->getString("id"));
  HBRef<IHBIter> files;
  ASSERT_EQ(0, map->getIter("files", files));
  int n = 0;
  for (;; ++n) {
    hbtype_t t = HBIFC_MAP;
    void *item = nullptr;
    if (files->next(&t, &item) < 0) break;
    HBRef<IHBMap> m = HBRef<IHBMap>::adopt(static_cast<IHBMap *>(item));
    EXPECT_STREQ(n == 0 ? "1" : "2", m->getString("id"));
  }
  EXPECT_EQ(2, n);
  EXPECT_STREQ("", map->getString("empty"));
  EXPECT_STREQ("first", map->getString("rep"));

  // An "iter" root, a key without a value, a value of a numeric type: refused.
  HBRef<HBMap> other;
  ASSERT_EQ(0, HBMap::create(nullptr, 4096, 4096, other));
  EXPECT_EQ(BR_EINVAL, readMsg(iter)->toMap(other.get()));
  EXPECT_EQ(0, other->count());
  EXPECT_EQ(BR_EINVAL,
            readMsg(str(0, "map") + str(1, "a") + str(2, "x") + str(3, "b"))->toMap(other.get()));
  EXPECT_STREQ("x", other->getString("a"));  // converted before the failure
  EXPECT_EQ(BR_EINVAL, readMsg(str(0, "map") + str(1, "a") + "\x10\x05")->toMap(other.get()));
  EXPECT_EQ(BR_EINVAL, readMsg(str(0, "mapx"))->toMap(other.get()));
}

TEST(HBPKTMessage, HostileBodies) {
  int64_t used = 0;
  HBRef<HBMap> map;
  ASSERT_EQ(0, HBMap::create(nullptr, 4096, 4096, map));

  // A STR longer than 4096 is refused and skipped; the records after it still parse.
  HBRef<HBPKTMessage> big = readMsg(
      str(0, "map") + str(1, "a") + str(2, std::string(5000, 'x')) + str(3, "b") + str(4, "ok"),
      &used);
  EXPECT_GT(used, 5000);
  EXPECT_EQ(BR_EINVAL, big->toMap(map.get()));  // the entry needing it fails
  int32_t type, size;
  uint64_t v;
  ASSERT_EQ(0, big->getRecord(4, 0, &type, &size, &v));
  EXPECT_STREQ("ok", reinterpret_cast<const char *>(uintptr_t(v)));

  // Lengths past the end, a nested length past its parent, truncated records, endless
  // varints: refused as malformed, not taken as a shorter message.
  readMsg(std::string("\x04\xff\xff\xff\xff\x0f", 6), &used);
  EXPECT_EQ(BR_EINVAL, used);
  readMsg(msgRec(1, str(0, "map")).substr(0, 3) + std::string("\x7f", 1), &used);
  EXPECT_EQ(BR_EINVAL, used);
  readMsg(std::string("\x0d\x05\x0d\x09\x04\x01x", 7), &used);
  EXPECT_EQ(BR_EINVAL, used);
  readMsg(std::string(12, '\xff'), &used);
  EXPECT_EQ(BR_EINVAL, used);
  readMsg(str(0, "map") + str(1, "abc").substr(0, 4), &used);
  EXPECT_EQ(BR_EINVAL, used);
  readMsg("", &used);
  EXPECT_EQ(0, used);

  // Unknown types are logged and skipped.
  HBRef<HBPKTMessage> odd = readMsg(std::string("\x06\x07", 2) + str(0, "map"), &used);
  char kind[32];
  EXPECT_EQ(3, odd->getKind(kind, sizeof kind));
  EXPECT_STREQ("map", kind);

  // Endless nesting is refused.
  std::string nest = str(0, "map");
  for (int i = 0; i < 200; ++i) nest = msgRec(1, nest);
  readMsg(nest, &used);
  EXPECT_LT(used, 0);
}

TEST(HBPKTMessage, DumpStopsAtTwentyLevels) {
  HBRef<HBPKTMessage> top;
  ASSERT_EQ(0, HBPKTMessage::create(nullptr, top));
  HBPKTMessage *cur = top.get();
  for (int i = 0; i < 25; ++i) {
    HBRef<HBPKTMessage> child;
    ASSERT_EQ(0, HBPKTMessage::create(cur, child));
    ASSERT_EQ(0, child->setText(0, "map\n\x01"));
    ASSERT_EQ(0, cur->addMessage(1, child.get()));
    cur = child.get();
  }
  EXPECT_EQ(BR_ENOSPC, top->dump("T", BRLOG_ERROR));
}

}  // namespace
