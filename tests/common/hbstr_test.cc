#include "hbstr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "brlog.h"
#include "logcapture.h"
#include "testutil.h"

namespace {

using tessel::test::captureLog;

TEST(HBStr, HeapStringCopiesAndOffersBothInterfaces) {
  char source[] = "hello";
  HBRef<HBStrHeap> s;
  ASSERT_EQ(HBStrHeap::create(source, s), BR_OK);
  source[0] = 'J';
  EXPECT_STREQ(s->getText(), "hello");

  HBRef<IHBRPCArgumentValue> value;
  ASSERT_EQ(hb_query(s->obj(), value), BR_OK);
  hbtype_t t = HBTYPE_ANY;
  void *out = nullptr;
  ASSERT_EQ(value->getValue(&t, &out), BR_OK);
  EXPECT_EQ(t, HBTYPE_TEXT);
  EXPECT_STREQ(static_cast<const char *>(out), "hello");
  t = HBTYPE_TEXT;
  EXPECT_EQ(value->getValue(&t, &out), BR_OK);
  t = HBIFC_MAP;
  out = nullptr;
  EXPECT_EQ(value->getValue(&t, &out), BR_EINVAL);
  EXPECT_EQ(out, nullptr);

  // Every sub-object answers for the whole object and shares its count.
  HBRef<IHBStr> back;
  ASSERT_EQ(hb_query(static_cast<IHBObj *>(value.get()), back), BR_OK);
  EXPECT_EQ(back.get(), static_cast<IHBStr *>(s.get()));
  EXPECT_EQ(s->upref(), 4);  // s, value, back, this one
  EXPECT_EQ(s->dnref(), 3);

  void *none = reinterpret_cast<void *>(0x1);
  EXPECT_EQ(s->getifc(HBIFC_MAP, &none), BR_ENOENT);
  EXPECT_EQ(none, reinterpret_cast<void *>(0x1));
}

TEST(HBStr, NullTextsAndAdoptedBuffers) {
  HBRef<HBStrHeap> empty;
  ASSERT_EQ(HBStrHeap::create(nullptr, empty), BR_OK);
  EXPECT_EQ(empty->getText(), nullptr);

  char *buf = strdup("composed");
  HBRef<HBStrHeap> adopted;
  ASSERT_EQ(HBStrHeap::adopt(buf, adopted), BR_OK);
  EXPECT_EQ(adopted->getText(), buf);  // not copied; freed with the string (ASan checks)
}

TEST(HBStr, StaticStringIgnoresCounting) {
  static HBStrStatic domain("core.prop");
  EXPECT_EQ(domain.upref(), 1);
  EXPECT_EQ(domain.dnref(), 1);
  EXPECT_EQ(domain.dnref(), 1);
  EXPECT_STREQ(domain.getText(), "core.prop");
  HBRef<IHBRPCArgumentValue> v;
  ASSERT_EQ(hb_query(domain.obj(), v), BR_OK);
  v.reset();
  EXPECT_STREQ(domain.getText(), "core.prop");
}

// An object whose destructor hands itself out again, as a careless listener might.
class Reviving final : public HBObject<Reviving, IHBObj> {
 public:
  int32_t getifc(int32_t, void **) override { return BR_ENOENT; }

 private:
  friend class HBObject<Reviving, IHBObj>;
  ~Reviving() override { (void)upref(); }
};

// A count that reached zero is final: a reference taken then stops the process instead of
// reviving an object that is being freed.
TEST(HBObjDeathTest, UprefAtZeroAborts) {
  EXPECT_DEATH((new Reviving)->dnref(), "upref");
}

TEST(HBStr, AllocatorStringKeepsItsAllocatorAlive) {
  HBRef<HBStringAllocator> sa;
  ASSERT_EQ(HBStringAllocator::create(64, 64, sa), BR_OK);
  HBRef<HBStrSA> whole, part, none;
  ASSERT_EQ(HBStrSA::create(sa.get(), "abcdef", -1, whole), BR_OK);
  ASSERT_EQ(HBStrSA::create(sa.get(), "abcdef", 3, part), BR_OK);
  ASSERT_EQ(HBStrSA::create(sa.get(), nullptr, 3, none), BR_OK);
  EXPECT_EQ(sa->refcount(), 4);
  sa.reset();
  EXPECT_STREQ(whole->getText(), "abcdef");
  EXPECT_STREQ(part->getText(), "abc");
  EXPECT_EQ(none->getText(), nullptr);
}

TEST(HBStringAllocator, AlignmentSlackAndPositions) {
  HBRef<HBStringAllocator> sa;
  ASSERT_EQ(HBStringAllocator::create(16, 0, sa), BR_OK);
  EXPECT_EQ(sa->alloc(0), nullptr);
  EXPECT_EQ(sa->alloc(-5), nullptr);
  char *a = static_cast<char *>(sa->alloc(1));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
  EXPECT_EQ(sa->used(), 8);
  char *b = static_cast<char *>(sa->alloc(1));
  EXPECT_EQ(b - a, 8);
  EXPECT_EQ(sa->used(), 16);
  // Full, and it never grows.
  EXPECT_EQ(sa->alloc(1), nullptr);
  EXPECT_EQ(sa->copyText("x", -1), nullptr);
  EXPECT_EQ(sa->bufferCount(), 1);

  // Odd sizes keep later results aligned.
  HBRef<HBStringAllocator> odd;
  ASSERT_EQ(HBStringAllocator::create(256, 0, odd), BR_OK);
  for (int n : {3, 5, 1, 13, 2}) {
    void *p = odd->alloc(n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u) << n;
  }
}

TEST(HBStringAllocator, GrowsInStepsAndFlushKeepsOneBuffer) {
  HBRef<HBStringAllocator> sa;
  ASSERT_EQ(HBStringAllocator::create(4096, 4096, sa), BR_OK);
  ASSERT_NE(sa->alloc(100), nullptr);
  void *big = sa->alloc(10000);
  ASSERT_NE(big, nullptr);
  std::memset(big, 0xab, 10000);
  EXPECT_EQ(sa->bufferSize(), 12288);
  EXPECT_EQ(sa->bufferCount(), 2);
  EXPECT_EQ(sa->totalAllocated(), 4096 + 12288);
  ASSERT_NE(sa->alloc(2000), nullptr);  // fits beside the big block
  EXPECT_EQ(sa->bufferCount(), 2);
  ASSERT_NE(sa->alloc(4000), nullptr);
  EXPECT_EQ(sa->bufferCount(), 3);
  EXPECT_EQ(sa->bufferSize(), 4096);

  sa->flush();
  EXPECT_EQ(sa->bufferCount(), 1);
  EXPECT_EQ(sa->used(), 0);
  EXPECT_NE(sa->alloc(8), nullptr);
}

TEST(HBStringAllocator, CopyTextAndEmptyStart) {
  HBRef<HBStringAllocator> sa;
  ASSERT_EQ(HBStringAllocator::create(0, 0, sa), BR_OK);
  EXPECT_EQ(sa->copyText("abc", -1), nullptr);  // neither buffer nor growth
  HBRef<HBStringAllocator> grow;
  ASSERT_EQ(HBStringAllocator::create(0, 32, grow), BR_OK);
  char *c = grow->copyText("abcdef", 4);
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(c, "abcd");
  EXPECT_EQ(grow->copyText(nullptr, 4), nullptr);
  EXPECT_EQ(grow->bufferSize(), 32);
}

TEST(HBStringAllocator, FlushOfSharedAllocatorWarns) {
  const std::string log = captureLog([] {
    HBRef<HBStringAllocator> sa;
    ASSERT_EQ(HBStringAllocator::create(64, 64, sa), BR_OK);
    HBRef<HBStringAllocator> second = sa;
    sa->flush();
  });
  EXPECT_NE(log.find("You are flushing a string alocator that is multi-owned: 2"),
            std::string::npos)
      << log;
}

TEST(BrStr, ToInt) {
  struct Case {
    const char *text;
    int base;
    int32_t want;
  } cases[] = {
      {" -0x1F", 0, -31},
      {"0123", 0, 0},
      {"0", 0, 0},
      {"42abc", 0, 42},
      {"+17", 0, 17},
      {"\t\n 99", 10, 99},
      {"12345678901", 10, 1234567890},
      {"-2147483648", 10, INT32_MIN},
      {"0x7fffffff", 16, INT32_MAX},
      {"ffffffff", 16, -1},
      {"123456789", 16, 0x12345678},
      {"0XaBc", 16, 0xabc},
      {"--5", 10, 0},
      {"777", 8, 0},
      {"12", 2, 0},
      {"", 10, 0},
      {"x", 0, 0},
  };
  for (const Case &c : cases) EXPECT_EQ(brstr__toInt(c.text, c.base), c.want) << c.text;
  EXPECT_EQ(brstr__toInt(nullptr, 10), 0);
}

TEST(BrStr, HexdumpLines) {
  unsigned char data[20];
  for (int i = 0; i < 20; ++i) data[i] = static_cast<unsigned char>(0x20 + i);
  data[0] = 0x00;
  data[1] = 0xff;
  data[2] = '%';
  const std::string log = captureLog([&] {
    brstr__hexdump("HEXTST", BRLOG_INFO, data, 20);
    brstr__hexdump("HEXTST", BRLOG_INFO, data, 0);
    brstr__hexdump("HEXTST", BRLOG_DEBUG5 + 1, data, 20);  // never enabled
  });
  EXPECT_NE(log.find("0000: 00 ff 25 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f   ...#$.&'()*+,-./"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("0010: 30 31 32 33 " + std::string(12 * 3, ' ') + "  0123"),
            std::string::npos)
      << log;
  size_t lines = 0;
  for (size_t p = log.find("HEXTST"); p != std::string::npos; p = log.find("HEXTST", p + 1))
    ++lines;
  EXPECT_EQ(lines, 2u);
}

TEST(BrStr, ValidUTF8KeepsGoodTextAndReadsOtherBytesAsLatin1) {
  using namespace std::string_literals;
  // Valid text of every length, including NUL and controls, passes unchanged.
  const std::string good = "Canon EOS \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7 \x01\t"s + '\0' + "x"s;
  EXPECT_EQ(hbstr__validUTF8(good), good);
  EXPECT_EQ(hbstr__validUTF8(""), "");
  // Latin-1 bytes read as what they meant.
  EXPECT_EQ(hbstr__validUTF8("Mus\xE9"), "Mus\xC3\xA9");
  EXPECT_EQ(hbstr__validUTF8("\xFF\x80"), "\xC3\xBF\xC2\x80");
  // Overlong forms, surrogates, values past U+10FFFF, a lead byte cut by the end of the view
  // and a lead byte followed by ASCII: each bad byte alone becomes its Latin-1 character.
  EXPECT_EQ(hbstr__validUTF8("\xC0\xAF"), "\xC3\x80\xC2\xAF");
  EXPECT_EQ(hbstr__validUTF8("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");
  EXPECT_EQ(hbstr__validUTF8("\xF4\x90\x80\x80"), "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80");
  EXPECT_EQ(hbstr__validUTF8(std::string_view("\xE2\x82\xAC", 2)), "\xC3\xA2\xC2\x82");
  EXPECT_EQ(hbstr__validUTF8("\xE2" "A\xC3\xA9"), "\xC3\xA2" "A\xC3\xA9");
  // The result is always valid and the mapping is stable: mapping again changes nothing.
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string once = hbstr__validUTF8(all + all);
  EXPECT_EQ(hbstr__validUTF8(once), once);
  EXPECT_EQ(once.size(), 2u * (128 + 2 * 128));
}

}  // namespace
