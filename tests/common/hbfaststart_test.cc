#include "hbfaststart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testutil.h"

using tessel::test::readFile;
using tessel::test::runProgram;
using tessel::test::TempDir;
using tessel::test::writeFile;

namespace {

std::string be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string be64(uint64_t v) {
  return be32(uint32_t(v >> 32)) + be32(uint32_t(v));
}
uint32_t rd32(const std::string &s, size_t at) {
  return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
         (uint32_t(uint8_t(s[at + 2])) << 8) | uint32_t(uint8_t(s[at + 3]));
}
uint64_t rd64(const std::string &s, size_t at) {
  return (uint64_t(rd32(s, at)) << 32) | rd32(s, at + 4);
}

std::string atom(const char *type, const std::string &body) {
  return be32(uint32_t(8 + body.size())) + type + body;
}
std::string atom64(const char *type, const std::string &body) {
  return be32(1) + type + be64(16 + body.size()) + body;
}
std::string stco(const std::vector<uint32_t> &entries) {
  std::string b = be32(0) + be32(uint32_t(entries.size()));
  for (uint32_t e : entries) b += be32(e);
  return atom("stco", b);
}
std::string co64(const std::vector<uint64_t> &entries) {
  std::string b = be32(0) + be32(uint32_t(entries.size()));
  for (uint64_t e : entries) b += be64(e);
  return atom("co64", b);
}
std::string moovWith(const std::string &tables) {
  return atom("moov", atom("mvhd", std::string(100, '\0')) +
                          atom("trak", atom("mdia", atom("minf", atom("stbl", tables)))));
}
std::string payload(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(i * 7 + 3);
  return s;
}

struct Rewrite {
  int rc = -1;
  bool written = false;
  std::string out;
  bool outExists = false;
};

Rewrite rewrite(const TempDir &dir, const std::string &input) {
  Rewrite r;
  const std::string in = dir.file("in.mp4"), out = dir.file("out.mp4");
  ::unlink(out.c_str());
  EXPECT_TRUE(writeFile(in, input));
  r.rc = hbfaststart__rewrite(in.c_str(), out.c_str(), &r.written);
  r.outExists = readFile(out, &r.out);
  std::string after;
  EXPECT_TRUE(readFile(in, &after));
  EXPECT_EQ(after, input) << "input modified";
  return r;
}

TEST(HBFastStart, MovesIndexFirstAndPatchesEveryOffset) {
  TempDir dir;
  const std::string ftyp = atom("ftyp", "isom" + be32(512) + "isomiso2avc1mp41");
  const std::string mdat = atom("mdat", payload(3000));
  const uint32_t base = uint32_t(ftyp.size() + 8);
  const std::vector<uint32_t> offs = {base, base + 100, base + 2999, 0xFFFFFFF0u};
  const std::vector<uint64_t> offs64 = {base, base + 1000, 0x100000000ull};
  const std::string moov = moovWith(stco(offs) + co64(offs64));
  auto r = rewrite(dir, ftyp + mdat + moov);
  ASSERT_EQ(r.rc, 0);
  EXPECT_TRUE(r.written);
  ASSERT_EQ(r.out.size(), ftyp.size() + moov.size() + mdat.size());
  EXPECT_EQ(r.out.substr(0, ftyp.size()), ftyp);
  EXPECT_EQ(r.out.substr(ftyp.size() + moov.size()), mdat);
  const std::string newMoov = r.out.substr(ftyp.size(), moov.size());
  const size_t st = newMoov.find("stco"), c6 = newMoov.find("co64");
  ASSERT_NE(st, std::string::npos);
  ASSERT_NE(c6, std::string::npos);
  ASSERT_EQ(rd32(newMoov, st + 8), offs.size());
  for (size_t i = 0; i < offs.size(); ++i)
    EXPECT_EQ(rd32(newMoov, st + 12 + 4 * i), uint32_t(offs[i] + moov.size())) << i;
  for (size_t i = 0; i < offs64.size(); ++i)
    EXPECT_EQ(rd64(newMoov, c6 + 12 + 8 * i), offs64[i] + moov.size()) << i;
  // Everything but the tables is unchanged.
  EXPECT_EQ(newMoov.substr(0, st), moov.substr(0, st));
}

TEST(HBFastStart, NothingToDoWritesNothing) {
  TempDir dir;
  const std::string ftyp = atom("ftyp", "isom" + be32(0));
  const std::string moov = moovWith(stco({100}));
  // Index already first.
  auto r = rewrite(dir, ftyp + moov + atom("mdat", payload(50)));
  EXPECT_EQ(r.rc, 0);
  EXPECT_FALSE(r.written);
  EXPECT_FALSE(r.outExists);
  // Not QuickTime at all.
  r = rewrite(dir, std::string("\x00\x00\x00\x10RIFFabcdefgh", 16) + moov);
  EXPECT_EQ(r.rc, 0);
  EXPECT_FALSE(r.outExists);
  // Empty input.
  r = rewrite(dir, "");
  EXPECT_EQ(r.rc, 0);
  EXPECT_FALSE(r.outExists);
}

TEST(HBFastStart, SixtyFourBitMediaSizeAndNoFtyp) {
  TempDir dir;
  const std::string mdat = atom64("mdat", payload(700));
  const std::string moov = moovWith(stco({16, 500}));
  auto r = rewrite(dir, mdat + moov);
  ASSERT_EQ(r.rc, 0);
  EXPECT_TRUE(r.written);
  ASSERT_EQ(r.out.size(), moov.size() + mdat.size());
  EXPECT_EQ(r.out.substr(4, 4), "moov");
  EXPECT_EQ(r.out.substr(moov.size()), mdat);
  const size_t st = r.out.find("stco");
  EXPECT_EQ(rd32(r.out, st + 12), 16 + moov.size());
  EXPECT_EQ(rd32(r.out, st + 16), 500 + moov.size());
}

TEST(HBFastStart, FtypThatIsNotFirstStaysWithTheMediaSoOffsetsHold) {
  TempDir dir;
  const std::string lead = atom("free", "xxxx");
  const std::string ftyp = atom("ftyp", "isom" + be32(0));
  const std::string mdat = atom("mdat", payload(300));
  const uint32_t media = uint32_t(lead.size() + ftyp.size() + 8);
  const std::string moov = moovWith(stco({media}));
  auto r = rewrite(dir, lead + ftyp + mdat + moov);
  ASSERT_EQ(r.rc, 0);
  ASSERT_EQ(r.out.size(), moov.size() + lead.size() + ftyp.size() + mdat.size());
  const size_t st = r.out.find("stco");
  const uint32_t patched = rd32(r.out, st + 12);
  EXPECT_EQ(r.out.substr(patched, 300), payload(300));
}

TEST(HBFastStart, RefusalsLeaveNoOutput) {
  TempDir dir;
  const std::string ftyp = atom("ftyp", "isom" + be32(0));
  const std::string mdat = atom("mdat", payload(64));
  struct Case {
    const char *what;
    std::string file;
  } cases[] = {
      {"compressed index", ftyp + mdat + atom("moov", atom("cmov", payload(40)))},
      {"zero size", ftyp + be32(0) + "mdat" + payload(20)},
      {"size below header", ftyp + be32(4) + "mdat" + payload(20)},
      {"stco count beyond atom",
       ftyp + mdat + atom("moov", be32(16 + 4) + "stco" + be32(0) + be32(1000) + be32(1))},
      {"stco beyond index", ftyp + mdat + atom("moov", be32(4000) + "stco" + be32(0) + be32(0))},
      {"truncated index", ftyp + mdat + (be32(5000) + "moov" + payload(100))},
      {"truncated ftyp", be32(9000) + "ftyp" + payload(10)},
  };
  for (const auto &c : cases) {
    auto r = rewrite(dir, c.file);
    EXPECT_EQ(r.rc, 1) << c.what;
    EXPECT_FALSE(r.written) << c.what;
    EXPECT_FALSE(r.outExists) << c.what;
  }
}

TEST(HBFastStart, FileErrors) {
  TempDir dir;
  bool written = true;
  EXPECT_EQ(hbfaststart__rewrite(dir.file("missing").c_str(), dir.file("out").c_str(), &written),
            1);
  EXPECT_FALSE(written);
  const std::string in = dir.file("in.mp4");
  ASSERT_TRUE(writeFile(in, atom("ftyp", "isom") + atom("mdat", "x") + moovWith(stco({1}))));
  EXPECT_EQ(hbfaststart__run(in.c_str(), dir.file("no/such/dir/out").c_str()), 1);
}

TEST(HBFastStart, RealEncoderOutputDecodesIdentically) {
  TempDir dir;
  const std::string in = dir.file("in.mp4"), out = dir.file("out.mp4");
  auto made = runProgram(
      {"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=duration=1:size=160x120:rate=10",
       "-f", "lavfi", "-i", "sine=duration=1", "-c:v", "libx264", "-c:a", "aac", "-shortest", in},
      "", 60000);
  if (made.exitCode != 0) GTEST_SKIP() << "ffmpeg unavailable: " << made.err;
  std::string before;
  ASSERT_TRUE(readFile(in, &before));
  ASSERT_LT(before.find("mdat"), before.find("moov"));
  bool written = false;
  ASSERT_EQ(hbfaststart__rewrite(in.c_str(), out.c_str(), &written), 0);
  ASSERT_TRUE(written);
  std::string after;
  ASSERT_TRUE(readFile(out, &after));
  EXPECT_EQ(after.size(), before.size());
  EXPECT_LT(after.find("moov"), after.find("mdat"));
  auto md5 = [](const std::string &path) {
    return runProgram({"ffmpeg", "-v", "error", "-i", path, "-f", "framemd5", "-"}, "", 60000);
  };
  auto a = md5(in), b = md5(out);
  ASSERT_EQ(a.exitCode, 0) << a.err;
  ASSERT_EQ(b.exitCode, 0) << b.err;
  EXPECT_FALSE(a.out.empty());
  EXPECT_EQ(a.out, b.out);
}

}  // namespace
