#include "hbstream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <cstring>
#include <string>
#include <vector>

#include "brlog.h"
#include "fakestream.h"
#include "hbfile.h"
#include "logcapture.h"
#include "testutil.h"

using tessel::test::FakeStream;
using tessel::test::readFile;
using tessel::test::TempDir;
using tessel::test::writeFile;

namespace {

using tessel::test::LogCapture;

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

HBRef<IHBMemStream> newMem(uint32_t flags, void *buf, int32_t cap, IHBStream *down = nullptr) {
  HBRef<IHBMemStream> m;
  EXPECT_EQ(HBMemStream__new(m.out(), flags, buf, cap, down), 0);
  return m;
}

std::string contents(IHBMemStream *m) {
  void *p = nullptr;
  int32_t n = 0;
  EXPECT_EQ(m->getBuffer(&p, &n), 0);
  return std::string(static_cast<char *>(p), static_cast<size_t>(n));
}

// ---- Memory stream ----

TEST(MemStream, GrowsByWriteLengthPlusStep) {
  HBRef<IHBMemStream> m;
  ASSERT_EQ(hbstream__newMem(m.out(), 16), 0);
  const std::string data = pattern(20);
  EXPECT_EQ(m->write(data.data(), 20), 20);
  char out[64];
  EXPECT_EQ(m->read(out, sizeof out), 20);
  EXPECT_EQ(std::string(out, 20), data);
  EXPECT_EQ(m->read(out, sizeof out), 0);
  // Many small writes stay whole.
  const std::string big = pattern(100000);
  for (size_t i = 0; i < big.size(); i += 100) ASSERT_EQ(m->write(big.data() + i, 100), 100);
  EXPECT_EQ(contents(m.get()), data + big);
}

TEST(MemStream, AccessFlagsAreEnforced) {
  char buf[8] = "abcdefg";
  auto ro = newMem(HBMEM_READ, buf, 7);
  char out[16];
  EXPECT_EQ(ro->write("x", 1), BR_EINVAL);
  EXPECT_EQ(ro->read(out, sizeof out), 7);  // read-only: the data is the whole capacity
  EXPECT_EQ(std::string(out, 7), "abcdefg");

  auto wo = newMem(HBMEM_WRITE, buf, 7);
  EXPECT_EQ(wo->read(out, 1), BR_EINVAL);
  EXPECT_EQ(wo->readAt(out, 1, 0), BR_EINVAL);

  auto none = newMem(0, buf, 7);
  EXPECT_EQ(none->seek(0, HBSTREAM_SEEK_SET), BR_EINVAL);

  IHBMemStream *raw = nullptr;
  EXPECT_EQ(HBMemStream__new(&raw, HBMEM_READ, nullptr, 8, nullptr), BR_EINVAL);
  EXPECT_EQ(HBMemStream__new(&raw, HBMEM_WRITE | HBMEM_PASSTHROUGH, buf, 8, nullptr), BR_EINVAL);
  EXPECT_EQ(HBMemStream__new(&raw, HBMEM_READ, buf, -1, nullptr), BR_EINVAL);
}

TEST(MemStream, FixedBufferStopsAtCapacity) {
  char buf[8] = {};
  auto m = newMem(HBMEM_READ | HBMEM_WRITE, buf, 8);
  EXPECT_EQ(m->write("0123456789", 10), 8);
  EXPECT_EQ(m->write("x", 1), 0);
  EXPECT_EQ(std::string(buf, 8), "01234567");

  // Positions past the capacity are refused: the data must never pass the buffer, or reads,
  // getBuffer and the flush below would read beyond it.
  struct {
    char buf[8] = {};
    char guard[56] = {};
  } fixed;
  std::memset(fixed.guard, 'G', sizeof fixed.guard);
  auto rw = newMem(HBMEM_READ | HBMEM_WRITE, fixed.buf, 8);
  EXPECT_EQ(rw->writeAt("x", 1, 20), BR_EINVAL);
  EXPECT_EQ(contents(rw.get()), "");
  char out[64];
  EXPECT_EQ(rw->readAt(out, 64, 0), 0);
  auto down = FakeStream::make();
  auto wo = newMem(HBMEM_WRITE | HBMEM_PASSTHROUGH, fixed.buf, 8, down.get());
  ASSERT_EQ(wo->write("abc", 3), 3);
  EXPECT_EQ(wo->seek(40, HBSTREAM_SEEK_SET), BR_EINVAL);
  EXPECT_EQ(wo->seek(8, HBSTREAM_SEEK_SET), 8);  // up to the capacity is fine
  EXPECT_EQ(contents(wo.get()).size(), 8u);
  EXPECT_EQ(wo->flush(), 0);
  EXPECT_EQ(down->output.size(), 8u);
}

TEST(MemStream, CallersBufferIsCopiedOnFirstGrowth) {
  char buf[8] = {};
  auto m = newMem(HBMEM_READ | HBMEM_WRITE | HBMEM_GROWABLE | HBMEM_CALLERBUF, buf, 8);
  EXPECT_EQ(m->write("abcd", 4), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");  // still the caller's memory
  EXPECT_EQ(m->write("efghijkl", 8), 8);
  void *p = nullptr;
  int32_t n = 0;
  ASSERT_EQ(m->getBuffer(&p, &n), 0);
  EXPECT_NE(p, static_cast<void *>(buf));
  EXPECT_EQ(std::string(static_cast<char *>(p), static_cast<size_t>(n)), "abcdefghijkl");
  // The copy took what there was; the caller's memory is never written again.
  EXPECT_EQ(std::string(buf, 8), std::string("abcd\0\0\0\0", 8));
  EXPECT_EQ(m->write("zz", 2), 2);
  EXPECT_EQ(std::string(buf, 8), std::string("abcd\0\0\0\0", 8));
}

TEST(MemStream, AllocatedBufferStartsZeroed) {
  auto m = newMem(HBMEM_READ | HBMEM_ALLOC, nullptr, 4);
  char out[8] = {1, 1, 1, 1};
  EXPECT_EQ(m->read(out, 8), 4);
  EXPECT_EQ(std::string(out, 4), std::string(4, '\0'));
}

TEST(MemStream, PassThroughFlushesThenPassesLargeWrites) {
  auto down = FakeStream::make();
  {
    auto m = newMem(HBMEM_WRITE | HBMEM_ALLOC | HBMEM_PASSTHROUGH, nullptr, 4096, down.get());
    const std::string small = pattern(100), big = pattern(10000);
    EXPECT_EQ(m->write(small.data(), 100), 100);
    EXPECT_TRUE(down->output.empty());
    EXPECT_EQ(m->write(big.data(), 10000), 10000);
    EXPECT_EQ(down->output, small + big);
    EXPECT_EQ(m->write("tail", 4), 4);
    EXPECT_EQ(down->output.size(), 10100u);
    // A zero-length write pushes out what is buffered.
    EXPECT_EQ(m->write("", 0), 0);
    EXPECT_EQ(down->output, small + big + "tail");
    EXPECT_EQ(m->write("more", 4), 4);
    EXPECT_EQ(m->flush(), 0);
    EXPECT_EQ(down->flushes, 1);
    EXPECT_EQ(m->write("last", 4), 4);
  }
  // Destruction flushes the rest and lets the downstream stream go.
  EXPECT_EQ(down->output, pattern(100) + pattern(10000) + "tailmorelast");
}

TEST(MemStream, PassThroughRetriesNotYetAndStopsOnFailure) {
  auto down = FakeStream::make();
  down->writeScript = {BR_EAGAIN, 10, BR_ETIMEDOUT, 0, 7};
  auto m = newMem(HBMEM_WRITE | HBMEM_ALLOC | HBMEM_PASSTHROUGH, nullptr, 64, down.get());
  const std::string a = pattern(50), b = pattern(200);
  EXPECT_EQ(m->write(a.data(), 50), 50);
  EXPECT_EQ(m->write(b.data(), 200), 200);
  EXPECT_EQ(down->output, a + b);

  down->writeScript = {BR_EIO};
  EXPECT_EQ(m->write(a.data(), 50), 50);
  EXPECT_EQ(m->write(b.data(), 200), BR_EIO);
  // What could not be written stays buffered and goes out on the next flush.
  EXPECT_EQ(m->flush(), 0);
  EXPECT_EQ(down->output, a + b + a);
  down->failWritesAfter = 0;
  down->failCode = BR_ENOSPC;
  EXPECT_EQ(m->write("x", 1), 1);
  EXPECT_EQ(m->flush(), BR_ENOSPC);  // a lost flush is not reported as success
  down->failWritesAfter = -1;
}

TEST(MemStream, SeekMovesTheRightPointer) {
  LogCapture log;
  HBRef<IHBMemStream> rw;
  ASSERT_EQ(hbstream__newMem(rw.out(), 16), 0);
  ASSERT_EQ(rw->write("0123456789", 10), 10);
  EXPECT_EQ(rw->seek(4, HBSTREAM_SEEK_SET), 4);
  EXPECT_TRUE(log.has("Stream is read/write -- just seeking read pointer from 0 to 4 at 1 = 4"));
  char c[4];
  EXPECT_EQ(rw->read(c, 2), 2);
  EXPECT_EQ(std::string(c, 2), "45");
  EXPECT_EQ(rw->seek(1, HBSTREAM_SEEK_CUR), 7);
  EXPECT_EQ(rw->seek(-1, HBSTREAM_SEEK_END), 9);  // the end of the data, not the capacity
  EXPECT_EQ(rw->write("AB", 2), 2);               // writes still append
  EXPECT_EQ(contents(rw.get()), "0123456789AB");
  EXPECT_EQ(rw->seek(3, 9), 3);
  EXPECT_TRUE(log.has("Invalid whence: 9 -- Setting to SEEK_SET"));
  EXPECT_LT(rw->seek(-20, HBSTREAM_SEEK_CUR), 0);

  char buf[16] = {};
  auto wo = newMem(HBMEM_WRITE, buf, 16);
  ASSERT_EQ(wo->write("abcdef", 6), 6);
  EXPECT_EQ(wo->seek(-2, HBSTREAM_SEEK_CUR), 4);
  EXPECT_EQ(wo->write("XY", 2), 2);
  EXPECT_EQ(std::string(buf, 6), "abcdXY");
}

TEST(MemStream, ReadAtAndWriteAtKeepPositionsAndData) {
  HBRef<IHBMemStream> m;
  ASSERT_EQ(hbstream__newMem(m.out(), 8), 0);
  ASSERT_EQ(m->write("hello world", 11), 11);
  char c[8];
  ASSERT_EQ(m->read(c, 2), 2);
  EXPECT_EQ(m->readAt(c, 5, 6), 5);
  EXPECT_EQ(std::string(c, 5), "world");
  EXPECT_EQ(m->read(c, 3), 3);
  EXPECT_EQ(std::string(c, 3), "llo");  // the read position did not move
  EXPECT_EQ(m->writeAt("W", 1, 6), 1);
  EXPECT_EQ(m->writeAt("!!", 2, 11), 2);  // past the end extends the data
  EXPECT_EQ(contents(m.get()), "hello World!!");
  EXPECT_EQ(m->readAt(c, 1, -1), BR_EINVAL);
}

TEST(MemStream, FormattedWrites) {
  HBRef<IHBMemStream> m;
  ASSERT_EQ(hbstream__newMem(m.out(), 4), 0);
  EXPECT_EQ(m->writeULongLong(18446744073709551615ull), 20);
  EXPECT_EQ(m->writeLongLong(-9223372036854775807ll - 1), 20);
  EXPECT_EQ(m->writeUInt(4294967295u), 10);
  EXPECT_EQ(m->writeInt(-5), 2);
  EXPECT_EQ(m->writeString(nullptr), 6);
  EXPECT_EQ(m->writeString("ok"), 2);
  EXPECT_EQ(contents(m.get()),
            "18446744073709551615-92233720368547758084294967295-5(null)ok");
}

TEST(MemStream, InterfacesOfOneObject) {
  HBRef<IHBMemStream> m;
  ASSERT_EQ(hbstream__newMem(m.out(), 4), 0);
  HBRef<IHBStream> s;
  ASSERT_EQ(hb_query<IHBStream>(m.get(), s), 0);
  HBRef<IHBMemStream> again;
  ASSERT_EQ(hb_query<IHBMemStream>(s.get(), again), 0);
  EXPECT_EQ(again.get(), m.get());
  HBRef<IHBObjWithMimeType> none;
  EXPECT_EQ(hb_query<IHBObjWithMimeType>(m.get(), none), BR_ENOENT);
}

// ---- sendTo ----

TEST(SendTo, CopiesIn128KiBReadsUpToTheSize) {
  LogCapture log;
  auto src = FakeStream::make(pattern(400000));
  HBRef<IHBMemStream> dst;
  ASSERT_EQ(hbstream__newMem(dst.out(), 1024), 0);
  EXPECT_EQ(src->sendTo(dst.get(), 300000), 300000);
  EXPECT_EQ(src->readRequests, (std::vector<int32_t>{131072, 131072, 37856}));
  EXPECT_EQ(contents(dst.get()), pattern(300000));
  const std::string t = log.text();
  EXPECT_NE(t.find("USING read/write loop to send 300000 bytes"), std::string::npos);
  EXPECT_NE(t.find("read/write loop sent 300000 bytes in"), std::string::npos);
  EXPECT_NE(t.find("    nreads:    3\n"), std::string::npos);
  EXPECT_NE(t.find("    totwrite:  300000\n"), std::string::npos);
  EXPECT_NE(t.find("    avgreads:  100000\n"), std::string::npos);
}

TEST(SendTo, ZeroSizeDoesNothing) {
  auto src = FakeStream::make("abc");
  auto dst = FakeStream::make();
  EXPECT_EQ(hbstream__sendTo(src.get(), dst.get(), 0), 0);
  EXPECT_EQ(src->reads, 0);
}

TEST(SendTo, SurvivesShortTransfersAndNotYetAnswers) {
  const std::string data = pattern(300001);
  auto src = FakeStream::make(data);
  auto dst = FakeStream::make();
  src->readScript = {7, BR_EAGAIN, BR_ETIMEDOUT, 1, BR_EAGAIN, 65536};
  src->maxRead = 50000;
  dst->writeScript = {3, 0, BR_EAGAIN, 0, BR_ETIMEDOUT, 1};
  dst->maxWrite = 9999;
  EXPECT_EQ(hbstream__sendTo(src.get(), dst.get(), -1), 300001);
  EXPECT_EQ(dst->output, data);
}

int stopAfter(int64_t sent, void *user) {
  auto *calls = static_cast<std::vector<int64_t> *>(user);
  calls->push_back(sent);
  return sent >= 250 ? 1 : 0;
}

TEST(SendTo, ProgressSeesTotalsAndCanStop) {
  LogCapture log;
  auto src = FakeStream::make(pattern(1000));
  auto dst = FakeStream::make();
  dst->maxWrite = 100;
  std::vector<int64_t> calls;
  EXPECT_EQ(hbstream__sendTo(src.get(), dst.get(), -1, stopAfter, &calls), 300);
  EXPECT_EQ(calls, (std::vector<int64_t>{100, 200, 300}));
  EXPECT_TRUE(log.has("read/write loop break!"));
}

TEST(SendTo, FailuresReturnCodeOrBytesSent) {
  LogCapture log;
  {
    auto src = FakeStream::make(pattern(100));
    auto dst = FakeStream::make();
    src->readScript = {BR_EIO};
    EXPECT_EQ(hbstream__sendTo(src.get(), dst.get(), -1), BR_EIO);
    EXPECT_TRUE(log.has("Failed to read src @ 0 in "));
    EXPECT_TRUE(log.has(": -8 I/O Error"));
  }
  {
    auto src = FakeStream::make(pattern(1000));
    auto dst = FakeStream::make();
    src->maxRead = 400;
    dst->failWritesAfter = 600;
    dst->failCode = BR_ENOSPC;
    EXPECT_EQ(hbstream__sendTo(src.get(), dst.get(), -1), 600);
    EXPECT_TRUE(log.has("Failed to write dst @ 600 in "));
  }
  {
    auto src = FakeStream::make(pattern(10));
    auto dst = FakeStream::make();
    dst->failWritesAfter = 0;
    dst->failCode = BR_ECONNRESET;
    EXPECT_EQ(hbstream__sendTo(src.get(), dst.get(), 10), BR_ECONNRESET);
  }
  {
    // A destination that never takes a byte cannot hold the loop forever.
    auto src = FakeStream::make("x");
    auto dst = FakeStream::make();
    dst->maxWrite = 0;
    EXPECT_EQ(hbstream__sendTo(src.get(), dst.get(), -1), BR_EIO);
  }
  {
    // A source that stays "not yet" gives up with its code.
    auto src = FakeStream::make("x");
    src->readScript.assign(100, BR_EAGAIN);
    auto dst = FakeStream::make();
    EXPECT_EQ(hbstream__sendTo(src.get(), dst.get(), -1), BR_EAGAIN);
  }
}

// ---- writev ----

TEST(Writev, SmallSetsAreCollatedIntoOneWrite) {
  auto s = FakeStream::make();
  struct iovec v[3] = {{const_cast<char *>("ab"), 2}, {nullptr, 0}, {const_cast<char *>("cde"), 3}};
  EXPECT_EQ(hbstream__writev(s.get(), v, 3), 5);
  EXPECT_EQ(s->writes, 1);
  EXPECT_EQ(s->output, "abcde");
  s->writeScript = {BR_ECONNRESET};
  EXPECT_EQ(hbstream__writev(s.get(), v, 3), BR_ECONNRESET);
  EXPECT_EQ(hbstream__writev(s.get(), v, 0), 0);
}

TEST(Writev, LargeSetsGoVectorByVector) {
  const std::string a = pattern(3000), b = pattern(2000), c = pattern(500);
  struct iovec v[3] = {{const_cast<char *>(a.data()), a.size()},
                       {const_cast<char *>(b.data()), b.size()},
                       {const_cast<char *>(c.data()), c.size()}};
  auto s = FakeStream::make();
  EXPECT_EQ(hbstream__writev(s.get(), v, 3), 5500);
  EXPECT_EQ(s->writeRequests, (std::vector<int32_t>{3000, 2000, 500}));
  EXPECT_EQ(s->output, a + b + c);

  auto shortw = FakeStream::make();
  shortw->writeScript = {3000, 100};
  EXPECT_EQ(hbstream__writev(shortw.get(), v, 3), 3100);
  EXPECT_EQ(shortw->writes, 2);

  auto fail = FakeStream::make();
  fail->writeScript = {3000, BR_EIO};
  EXPECT_EQ(hbstream__writev(fail.get(), v, 3), 3000);
  fail->writeScript = {BR_EIO};
  EXPECT_EQ(hbstream__writev(fail.get(), v, 3), BR_EIO);
}

// ---- HBBufStream ----

std::vector<std::string> allLines(IHBBufStream *b, int32_t size) {
  std::vector<std::string> lines;
  std::vector<char> buf(static_cast<size_t>(size));
  for (;;) {
    const int32_t n = b->readLine(buf.data(), size);
    EXPECT_GE(n, 0);
    if (n <= 0) break;
    EXPECT_EQ(std::strlen(buf.data()), static_cast<size_t>(n));
    lines.emplace_back(buf.data(), static_cast<size_t>(n));
  }
  return lines;
}

TEST(BufStream, LinesAcrossBufferBoundaries) {
  auto inner = FakeStream::make("one\ntwo\r\n\nthree is longer\nlast");
  inner->maxRead = 3;
  HBRef<IHBBufStream> b;
  ASSERT_EQ(HBBufStream__new(b.out(), inner.get(), 8), 0);
  EXPECT_EQ(allLines(b.get(), 64),
            (std::vector<std::string>{"one\n", "two\r\n", "\n", "three is longer\n", "last"}));
}

TEST(BufStream, OverlongLinesAreCutAndTheirRestDropped) {
  const std::string longLine(10000, 'x');
  auto inner = FakeStream::make("ab\n" + longLine + "\nnext\n12345\n");
  HBRef<IHBBufStream> b;
  ASSERT_EQ(HBBufStream__new(b.out(), inner.get()), 0);
  EXPECT_EQ(allLines(b.get(), 6), (std::vector<std::string>{"ab\n", "xxxxx", "next\n", "12345"}));
}

TEST(BufStream, NotYetKeepsBufferedBytes) {
  auto inner = FakeStream::make("partial line\nrest\n");
  inner->readScript = {4, BR_EAGAIN};
  HBRef<IHBBufStream> b;
  ASSERT_EQ(HBBufStream__new(b.out(), inner.get()), 0);
  char buf[64];
  EXPECT_EQ(b->readLine(buf, sizeof buf), BR_EAGAIN);
  EXPECT_EQ(b->readLine(buf, sizeof buf), 13);
  EXPECT_STREQ(buf, "partial line\n");
  // Plain reads take buffered bytes first.
  EXPECT_EQ(b->read(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "rest\n");
}

TEST(BufStream, WriteAndSeekAreRefusedCloseReachesInner) {
  LogCapture log;
  auto inner = FakeStream::make("x");
  HBRef<IHBBufStream> b;
  ASSERT_EQ(HBBufStream__new(b.out(), inner.get()), 0);
  EXPECT_EQ(b->write("a", 1), BR_EINVAL);
  EXPECT_EQ(b->seek(0, HBSTREAM_SEEK_SET), BR_EINVAL);
  EXPECT_TRUE(log.has("SEEKING NOT IMPLEMENTED!"));
  EXPECT_EQ(b->close(), 0);
  EXPECT_EQ(inner->closes, 1);
  char tiny[1];
  EXPECT_EQ(b->readLine(tiny, 1), BR_EINVAL);
}

// ---- HBStreamWithMimeType ----

TEST(MimeTypeStream, ForwardsAndOwnsItsInnerStream) {
  auto inner = FakeStream::make("data");
  HBRef<IHBStream> s;
  ASSERT_EQ(HBStreamWithMimeType__new(s.out(), inner.get(), "image/jpeg"), 0);
  HBRef<IHBObjWithMimeType> mt;
  ASSERT_EQ(hb_query<IHBObjWithMimeType>(s.get(), mt), 0);
  EXPECT_STREQ(mt->getMimeType(), "image/jpeg");
  char buf[8];
  EXPECT_EQ(s->read(buf, 8), 4);
  EXPECT_EQ(s->write("xy", 2), 2);
  EXPECT_EQ(inner->output, "xy");
  EXPECT_EQ(s->seek(1, HBSTREAM_SEEK_SET), 1);
  auto dst = FakeStream::make();
  EXPECT_EQ(s->sendTo(dst.get(), -1), 3);
  EXPECT_EQ(s->close(), BR_EHANDLED);
  EXPECT_EQ(inner->closes, 1);
  EXPECT_EQ(s->read(buf, 8), BR_EBADSTATE);
}

// ---- File streams ----

TEST(FileStream, OpenFlagRules) {
  LogCapture log;
  TempDir dir;
  const std::string f = dir.file("a.txt");
  HBRef<IHBStream> s;
  EXPECT_EQ(hbstream__openFile(s.out(), f.c_str(), 0x1000 | 0x2000 | 0x4000 | 1), BR_EUNSPEC);
  EXPECT_TRUE(log.has("  -- Can't combine CREAT, TRUNC and EXCL!"));
  EXPECT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_CREAT), BR_EUNSPEC);
  EXPECT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_READ), BR_ENOENT);
  EXPECT_TRUE(log.has("  -- Failed to open file: 0x2"));
  EXPECT_EQ(hbstream__openFile(s.out(), dir.file("no/such/x").c_str(), HBFILE_O_READ), BR_ENOENT);
  EXPECT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_WRITE | HBFILE_O_TRUNC), BR_ENOENT);

  ASSERT_TRUE(writeFile(f, "original"));
  EXPECT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_RDWR | HBFILE_O_CREAT | HBFILE_O_EXCL),
            BR_EUNSPEC);
  ASSERT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_WRITE | HBFILE_O_CREAT), 0);
  ASSERT_EQ(s->write("O", 1), 1);  // opened in place, not emptied
  s.reset();
  std::string got;
  ASSERT_TRUE(readFile(f, &got));
  EXPECT_EQ(got, "Original");
  // Truncating needs write access: a reader never empties the file.
  EXPECT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_READ | HBFILE_O_TRUNC), BR_EUNSPEC);
  ASSERT_TRUE(readFile(f, &got));
  EXPECT_EQ(got, "Original");
  ASSERT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_WRITE | HBFILE_O_TRUNC), 0);
  s.reset();
  ASSERT_TRUE(readFile(f, &got));
  EXPECT_EQ(got, "");
  ASSERT_EQ(hbstream__openFile(s.out(), dir.file("new").c_str(),
                               HBFILE_O_WRITE | HBFILE_O_CREAT | HBFILE_O_EXCL | HBFILE_O_HIDDEN),
            0);
  // A folder is no file.
  EXPECT_EQ(hbstream__openFile(s.out(), dir.path().c_str(), HBFILE_O_READ), BR_ENOTAUTH);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(f.c_str(), 0), 0);
    EXPECT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_READ), BR_ENOTAUTH);
  }
}

TEST(FileStream, ReadWriteSeekAndLinks) {
  TempDir dir;
  const std::string f = dir.file("data.bin");
  HBRef<IHBStream> s;
  ASSERT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_RDWR | HBFILE_O_CREAT), 0);
  EXPECT_EQ(s->write("0123456789", 10), 10);
  EXPECT_EQ(s->seek(2, HBSTREAM_SEEK_SET), 2);
  char buf[16];
  EXPECT_EQ(s->read(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "234");
  EXPECT_EQ(s->seek(1, HBSTREAM_SEEK_CUR), 6);
  EXPECT_EQ(s->seek(-1, HBSTREAM_SEEK_END), 9);
  EXPECT_EQ(s->read(buf, 16), 1);
  EXPECT_EQ(s->read(buf, 16), 0);
  EXPECT_LT(s->seek(0, 0), 0);
  EXPECT_EQ(s->flush(), 0);
  EXPECT_EQ(s->close(), 0);
  EXPECT_EQ(s->close(), 0);
  EXPECT_LT(s->read(buf, 1), 0);

  // A symbolic link opens its target.
  ASSERT_EQ(symlink(f.c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(hbstream__openFile(s.out(), dir.file("link").c_str(), HBFILE_O_READ), 0);
  EXPECT_EQ(s->read(buf, 16), 10);
}

void onSignal(int) {}

TEST(FileStream, InterruptedReadsAreResumed) {
  // Without SA_RESTART a signal makes a blocked read fail with EINTR.
  struct sigaction sa {}, old{};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  // A reader that gave up must fail the test, not end the process.
  void (*oldPipe)(int) = signal(SIGPIPE, SIG_IGN);
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<int32_t> got{-100};
  std::atomic<bool> opened{false};
  char buf[16] = {};
  std::thread reader([&] {
    HBRef<IHBStream> s;
    if (hbstream__openFile(s.out(), fifo.c_str(), HBFILE_O_READ) != 0) return;
    opened = true;
    got = s->read(buf, sizeof buf);
  });
  const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  while (!opened) std::this_thread::yield();
  for (int i = 0; i < 5; ++i) {
    pthread_kill(reader.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(write(fd, "hello", 5), 5);
  close(fd);
  reader.join();
  sigaction(SIGUSR1, &old, nullptr);
  signal(SIGPIPE, oldPipe);
  EXPECT_EQ(got.load(), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST(FileStream, DiskFullReturnsItsCode) {
  HBRef<IHBStream> s;
  if (hbstream__openFile(s.out(), "/dev/full", HBFILE_O_WRITE) != 0) GTEST_SKIP();
  EXPECT_EQ(s->write("x", 1), BR_ENOSPC);
}

TEST(FileStream, SetSizeKeepsThePosition) {
  TempDir dir;
  const std::string f = dir.file("s");
  HBRef<IHBStream> s;
  ASSERT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_RDWR | HBFILE_O_CREAT), 0);
  HBRef<IHBStreamSpaceAlloc> sa;
  ASSERT_EQ(hb_query<IHBStreamSpaceAlloc>(s.get(), sa), 0);
  ASSERT_EQ(s->write("abc", 3), 3);
  EXPECT_EQ(sa->setSize(1000), 0);
  EXPECT_EQ(s->seek(0, HBSTREAM_SEEK_CUR), 3);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1000);
  EXPECT_EQ(sa->setSize(2), 0);
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 2);
  EXPECT_EQ(sa->setSize(-1), BR_EIO);
}

TEST(FileStream, InterfacesAndPath) {
  TempDir dir;
  const std::string f = dir.file("\xc3\xbc\xf0\x9f\x98\x80.txt");  // "ü😀.txt": 7 UTF-16 units
  HBRef<IHBStream> s;
  ASSERT_EQ(hbstream__openFile(s.out(), f.c_str(), HBFILE_O_WRITE | HBFILE_O_CREAT), 0);
  HBRef<IHBStream> again;
  EXPECT_EQ(hb_query<IHBStream>(s.get(), again), 0);
  HBRef<IHBMemStream> mem;
  EXPECT_EQ(hb_query<IHBMemStream>(s.get(), mem), BR_ENOENT);
  char buf[4096];
  const int32_t dirUnits = static_cast<int32_t>(dir.path().size()) + 1;
  EXPECT_EQ(hbstream__getPath(s.get(), buf, sizeof buf), dirUnits + 7);
  EXPECT_EQ(std::string(buf), f);
  // Cutting never leaves half a character.
  const int32_t cut = static_cast<int32_t>(dir.path().size()) + 4;
  EXPECT_EQ(hbstream__getPath(s.get(), buf, cut), dirUnits + 7);
  EXPECT_EQ(std::string(buf), dir.path() + "/\xc3\xbc");
  // A stray continuation byte is one unit, as the settings store counts it.
  HBRef<IHBStream> odd;
  ASSERT_EQ(hbstream__openFile(odd.out(), dir.file("a\x80z.txt").c_str(),
                               HBFILE_O_WRITE | HBFILE_O_CREAT),
            0);
  EXPECT_EQ(hbstream__getPath(odd.get(), buf, sizeof buf), dirUnits + 7);
  HBRef<IHBMemStream> m;
  ASSERT_EQ(hbstream__newMem(m.out(), 4), 0);
  EXPECT_EQ(hbstream__getPath(m.get(), buf, sizeof buf), BR_ENOENT);
}

TEST(TempStream, CreatedPrivateAndRemovedOnClose) {
  TempDir dir;
  HBRef<IHBStream> t;
  ASSERT_EQ(hbstream__openTemp(t.out(), dir.path().c_str()), 0);
  char path[4096];
  ASSERT_GT(hbstream__getPath(t.get(), path, sizeof path), 0);
  const std::string p = path;
  EXPECT_EQ(p.rfind(dir.path() + "/yto_", 0), 0u);
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(t->write("temp", 4), 4);
  ASSERT_EQ(t->seek(0, HBSTREAM_SEEK_SET), 0);
  char buf[8];
  EXPECT_EQ(t->read(buf, 8), 4);
  EXPECT_EQ(t->close(), 0);
  EXPECT_NE(stat(p.c_str(), &st), 0);

  // Dropping the last reference removes it too; the default folder is TMPDIR.
  ASSERT_EQ(hbstream__openTemp(t.out(), nullptr), 0);
  ASSERT_GT(hbstream__getPath(t.get(), path, sizeof path), 0);
  const std::string p2 = path;
  EXPECT_EQ(p2.rfind(std::string(getenv("TMPDIR")) + "/yto_", 0), 0u);
  t.reset();
  EXPECT_NE(stat(p2.c_str(), &st), 0);

  LogCapture log;
  EXPECT_EQ(hbstream__openTemp(t.out(), dir.file("missing").c_str()), BR_EUNSPEC);
  EXPECT_FALSE(t);
  EXPECT_TRUE(log.has("  -- Failed to open temp file: 0x2"));
}

TEST(FileStream, SendToBetweenFiles) {
  TempDir dir;
  const std::string data = pattern(1 << 20 | 12345);
  ASSERT_TRUE(writeFile(dir.file("in"), data));
  HBRef<IHBStream> in, out;
  ASSERT_EQ(hbfile__openRead(in.out(), dir.file("in").c_str(), "test"), 0);
  ASSERT_EQ(hbstream__openFile(out.out(), dir.file("out").c_str(),
                               HBFILE_O_WRITE | HBFILE_O_CREAT | HBFILE_O_TRUNC),
            0);
  EXPECT_EQ(in->sendTo(out.get(), -1), static_cast<int64_t>(data.size()));
  out.reset();
  std::string got;
  ASSERT_TRUE(readFile(dir.file("out"), &got));
  EXPECT_EQ(got, data);
}

}  // namespace
