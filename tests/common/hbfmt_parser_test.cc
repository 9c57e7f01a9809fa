// The format parser framework, driven by a scripted format reader.
#include <gtest/gtest.h>

#include <functional>

#include "brlog.h"
#include "hbfmt_testutil.h"
#include "hbfmtparser.h"
#include "hbfmtparser_int.h"
#include "logcapture.h"
#include "testutil.h"

using namespace hbfmt_test;

namespace {

struct Call {
  uint64_t offset;
  uint32_t avail;
  std::string head;  // the first bytes offered
};

// The test's reader: `script` decides each call; every call is recorded.
std::function<int32_t(HBFormatImplInfo_t *, int)> g_script;
std::vector<Call> g_calls;
IHBFormatImplSink *g_sink = nullptr;

class ScriptImpl final : public HBObject<ScriptImpl, IHBFormatImpl> {
 public:
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBFormatImpl>(out);
    return BR_ENOENT;
  }
  int32_t parseSlice(HBFormatImplInfo_t *info) override {
    g_sink = info->sink;
    g_calls.push_back({info->offset, info->avail,
                       std::string((const char *)info->data, std::min<uint32_t>(info->avail, 16))});
    return g_script(info, (int)g_calls.size() - 1);
  }
};

class ScriptFact final : public IHBFormatImplFact {
 public:
  const char *getName() const override { return "FAKE"; }
  int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const override {
    if (info->avail < 4 || memcmp(info->data, "FAKE", 4) != 0) return BR_EINVAL;
    *out = new ScriptImpl();
    return 0;
  }
};
const ScriptFact g_fact;
const IHBFormatImplFact *const g_facts[] = {&g_fact};

std::string fakeFile(size_t size) {
  std::string s = "FAKE";
  while (s.size() < size) s += (char)('a' + s.size() % 26);
  return s;
}

struct ScriptRun {
  HBRef<ChunkStream> src;
  HBRef<IHBFormatParser> parser;
  int32_t rc = 0;
};

ScriptRun runScript(const std::string &data, std::function<int32_t(HBFormatImplInfo_t *, int)> script,
              std::vector<int> blocks = {}) {
  g_script = std::move(script);
  g_calls.clear();
  ScriptRun r;
  r.src = ChunkStream::make(data, std::move(blocks));
  EXPECT_EQ(hbfmtparser__newWith(r.parser.out(), r.src.get(), g_facts, 1), 0);
  r.rc = r.parser->parseAll();
  return r;
}

Items itemsOf(IHBFormatParser *p) {
  HBRef<IHBMap> map;
  EXPECT_EQ(p->getItems(map.out()), 0);
  return map ? collect(map.get()) : Items{};
}

}  // namespace

TEST(HBFmtParser, NoReaderForTheFormatFailsAfterTheFirstRead) {
  auto src = ChunkStream::make(std::string(10000, 'x'));
  HBRef<IHBFormatParser> p;
  ASSERT_EQ(hbfmtparser__new(p.out(), src.get()), 0);
  EXPECT_EQ(p->getState(), HBFMT_STATE_PARSING);
  EXPECT_EQ(p->parseAll(), 0);
  EXPECT_EQ(p->getState(), HBFMT_STATE_FAILED);
  EXPECT_EQ(src->reads, 1);
  EXPECT_TRUE(itemsOf(p.get()).values.empty());
  EXPECT_EQ(p->close(), 0);
  EXPECT_TRUE(src->closed);
}

TEST(HBFmtParser, InterfacesAndPassThrough) {
  const std::string data = fakeFile(9000);
  g_script = [](HBFormatImplInfo_t *, int) { return BR_EIO; };  // fails at once
  g_calls.clear();
  auto src = ChunkStream::make(data, {1000, 3000});
  HBRef<IHBFormatParser> p;
  ASSERT_EQ(hbfmtparser__newWith(p.out(), src.get(), g_facts, 1), 0);
  std::string seen;
  char buf[4096];
  for (int32_t n; (n = p->read(buf, sizeof(buf))) > 0;) seen.append(buf, (size_t)n);
  EXPECT_EQ(seen, data) << "a failed parse must not disturb the bytes";
  EXPECT_EQ(p->getState(), HBFMT_STATE_FAILED);
  EXPECT_EQ(g_calls.size(), 1u);

  HBRef<IHBMap> viaIfc, viaGet;
  ASSERT_EQ(p->getifc(HBIFC_MAP, viaIfc.outv()), 0);
  ASSERT_EQ(p->getItems(viaGet.out()), 0);
  EXPECT_EQ(viaIfc.get(), viaGet.get());
  HBRef<IHBStream> asStream;
  EXPECT_EQ(p->getifc(HBIFC_STREAM, asStream.outv()), 0);
  EXPECT_EQ(p->getifc(HBIFC_OBJ, asStream.outv()), 0);
  void *none = nullptr;
  EXPECT_EQ(p->getifc(HBIFC_MEMSTREAM, &none), BR_ENOENT);
  EXPECT_EQ(none, nullptr);
}

TEST(HBFmtParser, UnconsumedTailIsOfferedAgainWithTheNextBlock) {
  const std::string data = fakeFile(8192);
  ScriptRun r = runScript(data, [](HBFormatImplInfo_t *info, int call) -> int32_t {
    if (call == 0) {
      info->used = info->avail - 10;  // leaves 10 bytes of the first block
      return 0;
    }
    if (call == 1) return BR_EAGAIN;
    return BR_ERANGE;
  });
  ASSERT_EQ(g_calls.size(), 3u);
  EXPECT_EQ(g_calls[1].offset, 4086u);
  EXPECT_EQ(g_calls[1].avail, 10u);
  EXPECT_EQ(g_calls[2].offset, 4086u);
  EXPECT_EQ(g_calls[2].avail, 256u) << "10 carried bytes and 246 of the next block";
  EXPECT_EQ(g_calls[2].head, data.substr(4086, 16));
  EXPECT_EQ(r.parser->getState(), HBFMT_STATE_DONE);
}

TEST(HBFmtParser, ReaderNeedingMoreThanTheCarryHoldsFails) {
  ScriptRun r = runScript(fakeFile(8192), [](HBFormatImplInfo_t *, int) { return BR_EAGAIN; });
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.parser->getState(), HBFMT_STATE_FAILED);
  EXPECT_EQ(r.src->reads, 1);

  // 300 bytes left over cannot be carried either.
  ScriptRun r2 = runScript(fakeFile(8192), [](HBFormatImplInfo_t *info, int call) -> int32_t {
    if (call == 0) {
      info->used = info->avail - 300;
      return 0;
    }
    return BR_EAGAIN;
  });
  EXPECT_EQ(r2.parser->getState(), HBFMT_STATE_FAILED);
}

TEST(HBFmtParser, SeekRequestIsFollowedAndParsingResumesThere) {
  std::string data = fakeFile(1000100);
  data[1000000] = '#';
  ScriptRun r = runScript(data, [](HBFormatImplInfo_t *info, int call) -> int32_t {
    if (call == 0) {
      info->used = info->avail;
      info->seekRequest = 1000000;
      return 0;
    }
    info->used = info->avail;
    return 0;
  });
  ASSERT_GE(g_calls.size(), 2u);
  EXPECT_EQ(g_calls[1].offset, 1000000u);
  EXPECT_EQ(g_calls[1].head[0], '#');
  EXPECT_EQ(r.src->seeks, std::vector<int64_t>{1000000});
  EXPECT_LE(r.src->reads, 4) << "the skipped bytes are not read";
  EXPECT_EQ(r.parser->getState(), HBFMT_STATE_PARSING);
}

TEST(HBFmtParser, ExternalSeekResynchronisesWithoutFeedingBytesTwice) {
  const std::string data = fakeFile(12000);
  g_script = [](HBFormatImplInfo_t *info, int) -> int32_t {
    info->used = info->avail < 100 ? info->avail : 100;
    return 0;
  };
  g_calls.clear();
  auto src = ChunkStream::make(data);
  HBRef<IHBFormatParser> p;
  ASSERT_EQ(hbfmtparser__newWith(p.out(), src.get(), g_facts, 1), 0);
  char buf[4096];
  ASSERT_EQ(p->read(buf, 4096), 4096);
  // The caller rewinds (as the import does before uploading) and reads on.
  EXPECT_EQ(p->seek(0, HBSTREAM_SEEK_SET), 0);
  EXPECT_EQ(p->getState(), HBFMT_STATE_SYNCING);
  uint64_t fed = 0, expect = 0;
  for (int32_t n; (n = p->read(buf, 1500)) > 0;) {
  }
  for (const Call &c : g_calls) {
    EXPECT_EQ(c.offset, expect) << "every byte is offered in order, once";
    expect = c.offset + (c.avail < 100 ? c.avail : 100);
    fed += c.avail < 100 ? c.avail : 100;
  }
  EXPECT_EQ(fed, data.size());
  EXPECT_EQ(p->getState(), HBFMT_STATE_PARSING);
}

TEST(HBFmtParser, BackwardSeekRequestAndStuckReaderEndTheParse) {
  ScriptRun back = runScript(fakeFile(20000), [](HBFormatImplInfo_t *info, int) -> int32_t {
    info->used = info->avail;
    info->seekRequest = 10;
    return 0;
  });
  EXPECT_EQ(back.parser->getState(), HBFMT_STATE_FAILED);
  EXPECT_TRUE(back.src->seeks.empty());

  ScriptRun stuck = runScript(fakeFile(20000), [](HBFormatImplInfo_t *, int) -> int32_t { return 0; });
  EXPECT_EQ(stuck.parser->getState(), HBFMT_STATE_FAILED);
  EXPECT_LT(g_calls.size(), 100u);

  ScriptRun greedy = runScript(fakeFile(5000), [](HBFormatImplInfo_t *info, int) -> int32_t {
    info->used = info->avail + 1;
    return 0;
  });
  EXPECT_EQ(greedy.parser->getState(), HBFMT_STATE_FAILED);
}

TEST(HBFmtParser, ShortReadsAreGatheredBeforeTheFormatIsJudged) {
  const std::string data = fakeFile(3000);
  ScriptRun r = runScript(
      data,
      [](HBFormatImplInfo_t *info, int) -> int32_t {
        if (info->avail < 7) return BR_EAGAIN;
        info->used = 7;
        return 0;
      },
      {1, 2, 3, 5});
  uint64_t expect = 0;
  for (const Call &c : g_calls) {
    if (c.avail < 7) continue;
    EXPECT_EQ(c.offset, expect);
    EXPECT_EQ(c.head.substr(0, 7), data.substr(c.offset, 7));
    expect += 7;
  }
  EXPECT_EQ(expect, data.size() - data.size() % 7);
  EXPECT_EQ(r.parser->getState(), HBFMT_STATE_PARSING);
}

TEST(HBFmtParser, ItemsAreTrimmedAndEmptyTextsDropped) {
  ScriptRun r = runScript(fakeFile(100), [](HBFormatImplInfo_t *info, int) -> int32_t {
    IHBFormatImplSink *s = info->sink;
    (void)s->notifyItemFound("title", HBTYPE_TEXT, "  ");
    (void)s->notifyItemFound("EXIF-Make", HBTYPE_TEXT, "");
    (void)s->notifyItemFound("artist", HBTYPE_TEXT, "  Band\t");
    (void)s->notifyItemFound("album", HBTYPE_TEXT, "First");
    (void)s->notifyItemFound("album", HBTYPE_TEXT, "Second");
    (void)s->notifyItemFound("genre", HBTYPE_TEXT, "\t Jazz Funk ");
    return BR_ERANGE;
  });
  Items items = itemsOf(r.parser.get());
  EXPECT_FALSE(items.has("title"));
  EXPECT_FALSE(items.has("EXIF-Make"));
  EXPECT_EQ(items["artist"], "Band");
  EXPECT_EQ(items["album"], "Second");
  EXPECT_EQ(items["genre"], "Jazz Funk");
  EXPECT_EQ(items.values.size(), 3u);
}

TEST(HBFmtParser, NothingIsStoredAfterClose) {
  ScriptRun r = runScript(fakeFile(100), [](HBFormatImplInfo_t *info, int) -> int32_t {
    (void)info->sink->notifyItemFound("title", HBTYPE_TEXT, "Kept");
    return BR_ERANGE;
  });
  HBRef<IHBMap> map;
  ASSERT_EQ(r.parser->getItems(map.out()), 0);
  (void)r.parser->releaseSource();
  EXPECT_EQ(r.parser->close(), 0);
  EXPECT_FALSE(r.src->closed) << "a released source is not closed";
  EXPECT_LT(g_sink->notifyItemFound("title", HBTYPE_TEXT, "Late"), 0);
  EXPECT_STREQ(map->getString("title"), "Kept");
  HBRef<IHBMap> none;
  EXPECT_LT(r.parser->getItems(none.out()), 0);
  char b[16];
  EXPECT_LT(r.parser->read(b, sizeof(b)), 0);
}

TEST(HBFmtParser, ParseFileReportsOpenFailures) {
  HBRef<IHBMap> items;
  EXPECT_EQ(hbfmtparser__parseFile("/nonexistent/x.jpg", items.out()), BR_ENOENT);
  EXPECT_FALSE(items);
}

TEST(HBFmtHelpers, AlbumIdentityAndTimes) {
  // SHA-1("abc") = a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d
  EXPECT_EQ(hbfmt__albumIdentity("abc", 3), "qZk_NkcGgWq6PiVxeFDCbJzQ2J0=");
  EXPECT_EQ(hbfmt__albumIdentity("", 0).size(), 28u);
  int64_t ms = 0;
  ASSERT_TRUE(hbfmt__utcMs(2013, 7, 4, 12, 30, 0, &ms));
  EXPECT_EQ(ms, 1372941000000LL);
  ASSERT_TRUE(hbfmt__utcMs(2000, 3, 1, 0, 0, 0, &ms));
  EXPECT_EQ(ms, 951868800000LL);
  ASSERT_TRUE(hbfmt__utcMs(1900, 3, 1, 0, 0, 0, &ms));
  EXPECT_EQ(ms, -2203891200000LL);
  EXPECT_FALSE(hbfmt__utcMs(2013, 13, 1, 0, 0, 0, &ms));
  EXPECT_FALSE(hbfmt__utcMs(2013, 0, 1, 0, 0, 0, &ms));
  EXPECT_FALSE(hbfmt__utcMs(99999999, 1, 1, 0, 0, 0, &ms));
  EXPECT_STREQ(hbfmt__genreName(17), "Rock");
  EXPECT_STREQ(hbfmt__genreName(147), "Synthpop");
  EXPECT_STREQ(hbfmt__genreName(148), "Unknown");
  EXPECT_STREQ(hbfmt__genreName(-1), "Unknown");
}

// Every reader at full verbosity: the log lines come out with their arguments, and formatting
// them touches nothing it should not (the sanitizer build checks that).
TEST(HBFmtParserLog, LinesAtFullVerbosity) {
  tessel::test::LogCapture capture;
  ScriptRun r = runScript(fakeFile(5000), [](HBFormatImplInfo_t *info, int) -> int32_t {
    (void)info->sink->notifyItemFound("title", HBTYPE_TEXT, "  ");
    (void)info->sink->notifyItemFound("artist", HBTYPE_TEXT, "Band\t");
    (void)info->sink->notifyItemFound("album", HBTYPE_TEXT, "Album");
    return BR_ERANGE;
  });
  // Samples of each format, from the fuzz seeds.
  for (const char *seed : {"fuzz/corpus/hbfmt_exif/le.jpg", "fuzz/corpus/hbfmt_id3/v23.mp3",
                           "fuzz/corpus/hbfmt_id3/v24.mp3", "fuzz/corpus/hbfmt_mp4/mut.m4a",
                           "fuzz/corpus/hbfmt_mp4/late.m4a"}) {
    std::string bytes;
    ASSERT_TRUE(tessel::test::readFile(tessel::test::sourcePath(seed), &bytes)) << seed;
    EXPECT_FALSE(parseBytes(bytes, {100}).values.empty()) << seed;
  }
  const std::string log = capture.text();
  for (const char *line :
       {"[FMT] Locating parser implementation", "notifyItemFound: 'title':'  '-->'' (EMPTY)",
        "notifyItemFound: 'artist':'Band\t'-->'Band'", "notifyItemFound: 'album':'Album'",
        "FP state change 1 ==> 3", "Exif Tag: [0x0000]0x010f 0x2 6",
        "Exif DateTimeOriginal: '2013:07:04 12:30:00' --> 1372941000000 --> '2013-7-4 12:30:0'",
        "ID3 Hdr: ID3v2.3.0", "ID3 Fld [TIT2]: 'Song'", "ID3 Fld [TCON]: '(17)' --> 'Rock'",
        "ID3 Fld [APIC]: DONE", "ID3 Fld [MCDI]: 0x000102 ==> '", "Box Push: 'moov'",
        "Box 'data' Text ' nam': 'T'", "Box Skip: Ask for offset", "[FMT] Syncing after seek",
        "[FMT] Parser wants offset", "Mac UTC crtime: 3471292800", "[FMT] Done pumping, fpstate=3"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}
