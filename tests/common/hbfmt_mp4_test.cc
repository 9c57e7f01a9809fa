// The MP4 metadata reader: hand-built box trees, files written by ffmpeg compared with ffprobe,
// and files written by mutagen (with padding inside "meta") compared with mutagen.
#include <gtest/gtest.h>

#include <ctime>
#include <sstream>

#include "hbfmt_testutil.h"
#include "testutil.h"

using namespace hbfmt_test;
using tessel::test::runProgram;
using tessel::test::TempDir;

namespace {

std::string box(const std::string &type, const std::string &body) {
  std::string s;
  put32(s, (uint32_t)(8 + body.size()));
  return s + type + body;
}
std::string data(uint32_t cls, const std::string &payload) {
  std::string s;
  put32(s, cls);
  put32(s, 0);
  return box("data", s + payload);
}
const std::string kFtyp = box("ftyp", "M4A " + std::string(4, '\0') + "M4A isom");
std::string mvhd0(uint32_t created) {
  std::string s(4, '\0');
  put32(s, created);
  put32(s, created + 10);
  return box("mvhd", s + std::string(88, '\0'));
}
// ftyp, then moov/udta/meta/ilst holding `items`, with `before` ahead of moov.
std::string m4a(const std::string &items, const std::string &moovExtra = "",
                const std::string &before = "") {
  const std::string meta = box("meta", std::string(4, '\0') + box("hdlr", std::string(25, '\0')) +
                                           box("ilst", items) + box("free", std::string(40, '\0')));
  return kFtyp + before + box("moov", moovExtra + box("udta", meta)) + box("free", "tail");
}
std::string u16(uint16_t a) {
  std::string s;
  put16(s, a);
  return s;
}
const std::string kNam = "\xA9nam", kArt = "\xA9" "ART", kAlb = "\xA9" "alb", kGen = "\xA9gen";

}  // namespace

TEST(HBFmtMp4, ItemsOfTheIlst) {
  const std::string png = "\x89PNG\r\n\x1A\n" + std::string(500, 'p');
  const std::string file =
      m4a(box(kNam, data(1, "Title")) + box(kArt, data(1, "Artist")) + box(kAlb, data(1, "Album")) +
              box("gnre", data(0, u16(18))) + box("trkn", data(0, std::string("\0\0\0\3\0\x0C\0\0", 8))) +
              box("covr", data(14, png) + data(13, "\xFF\xD8\xFF\xE0" "second")) +
              box("plID", data(21, std::string("\x11\x22\x33\x44\x55\x66\x77\x88", 8))) +
              box("cprt", data(1, "Not reported")),
          mvhd0(3471292800u));
  for (const auto &plan : std::vector<std::vector<int>>{{}, {1}, {9, 100}, {255}}) {
    Items it = parseBytes(file, plan);
    EXPECT_EQ(it["EXIF-DateTimeOriginal"], "1388448000000");
    EXPECT_EQ(it["title"], "Title");
    EXPECT_EQ(it["artist"], "Artist");
    EXPECT_EQ(it["album"], "Album");
    EXPECT_EQ(it["genre"], "Rock");
    EXPECT_EQ(it["originalTrackNumber"], "3/12");
    EXPECT_EQ(it["yto-tn"], "image/png:" + std::to_string(png.size()));
    EXPECT_EQ(it.pictures["yto-tn"], png);
    EXPECT_EQ(it["yto-UniqueAlbumID"], hbfmt__albumIdentity("1122334455667788", 16));
    EXPECT_EQ(it.values.size(), 8u);
    EXPECT_EQ(it.state, HBFMT_STATE_DONE);
  }
}

TEST(HBFmtMp4, GenresCoversAndFreeformItems) {
  EXPECT_EQ(parseBytes(m4a(box("gnre", data(0, u16(0)))))["genre"], "Unknown");
  EXPECT_EQ(parseBytes(m4a(box(kGen, data(1, "Chillout"))))["genre"], "Chillout");
  EXPECT_EQ(parseBytes(m4a(box("trkn", data(1, "2 of 9"))))["originalTrackNumber"], "2 of 9");
  EXPECT_TRUE(parseBytes(m4a(box("trkn", data(0, "\0\0\0")))).values.empty());
  EXPECT_FALSE(parseBytes(m4a(box("covr", data(13, "\xFF\xD8\xFF\xE1 exif jpeg")))).has("yto-tn"));
  EXPECT_FALSE(parseBytes(m4a(box("covr", data(13, "\xFF\xD8")))).has("yto-tn"));

  auto freeform = [](const std::string &name) {
    return box("----", box("mean", std::string(4, '\0') + "com.apple.iTunes") +
                           box("name", std::string(4, '\0') + name) + data(1, "12+ABCDEF"));
  };
  EXPECT_EQ(parseBytes(m4a(freeform("iTunes_CDDB_IDs")))["yto-UniqueAlbumID"],
            hbfmt__albumIdentity("12+ABCDEF", 9));
  EXPECT_TRUE(parseBytes(m4a(freeform("iTunes_NORM_XYZ"))).values.empty());
}

TEST(HBFmtMp4, MoovAfterLargeMediaDataIsReachedBySeeking) {
  const std::string mdat = box("mdat", std::string(3u << 20, '\x5A'));
  const std::string file = m4a(box(kNam, data(1, "Late")), mvhd0(3471292800u), mdat);
  auto src = ChunkStream::make(file);
  HBRef<IHBFormatParser> p;
  ASSERT_EQ(hbfmtparser__new(p.out(), src.get()), 0);
  EXPECT_EQ(p->parseAll(), 0);
  EXPECT_EQ(src->seeks, std::vector<int64_t>{(int64_t)(kFtyp.size() + mdat.size())});
  EXPECT_LT(src->bytesRead, 20000) << "media data is skipped, not read";
  HBRef<IHBMap> map;
  ASSERT_EQ(p->getItems(map.out()), 0);
  Items it = collect(map.get());
  EXPECT_EQ(it["title"], "Late");
  EXPECT_EQ(it["EXIF-DateTimeOriginal"], "1388448000000");
  EXPECT_EQ(p->getState(), HBFMT_STATE_DONE);
  (void)p->close();

  // Read straight through without seeking, the reader skips the same box.
  EXPECT_EQ(parseBytes(file, {}, 100000)["title"], "Late");
}

TEST(HBFmtMp4, MovieHeaderVersions) {
  std::string v1(4, '\0');
  v1[0] = 1;
  put32(v1, 0);
  put32(v1, 3471292800u);
  put32(v1, 0);
  put32(v1, 3471292800u);
  EXPECT_EQ(parseBytes(m4a("", box("mvhd", v1 + std::string(96, '\0'))))["EXIF-DateTimeOriginal"],
            "1388448000000");
  std::string v2(4, '\0');
  v2[0] = 2;
  EXPECT_TRUE(parseBytes(m4a("", box("mvhd", v2 + std::string(96, '\0')))).values.empty());
  // An unset creation time is not the year 1904; a 64-bit time beyond the clock is dropped.
  EXPECT_TRUE(parseBytes(m4a("", mvhd0(0))).values.empty());
  std::string huge(4, '\0');
  huge[0] = 1;
  huge += std::string(8, '\xFF') + std::string(104, '\0');
  EXPECT_TRUE(parseBytes(m4a("", box("mvhd", huge))).values.empty());
}

TEST(HBFmtMp4, BadBoxesEndTheParseSafely) {
  // Not an MP4.
  EXPECT_EQ(parseBytes(std::string("\0\0\0\x10" "free", 8) + std::string(5000, 'x')).state,
            HBFMT_STATE_FAILED);
  // A zero size ends the reader; a size smaller than the header or beyond the parent fails.
  std::string zero = kFtyp + std::string("\0\0\0\0moov", 8) + std::string(100, '\0');
  EXPECT_EQ(parseBytes(zero).state, HBFMT_STATE_DONE);
  std::string tiny = kFtyp + std::string("\0\0\0\x04moov", 8) + std::string(100, '\0');
  EXPECT_EQ(parseBytes(tiny).state, HBFMT_STATE_FAILED);
  EXPECT_EQ(parseBytes(kFtyp + box("moov", std::string("\0\0\x10\0udta", 8))).state,
            HBFMT_STATE_DONE);
  // A 64-bit size near the top of the range asks for an offset no seek can reach.
  std::string huge = kFtyp + std::string("\0\0\0\1mdat", 8) + std::string(8, '\x7F') + "x";
  EXPECT_NE(parseBytes(huge).state, 0);
  // Text that does not end with its item, and nesting beyond nine levels.
  Items wrong = parseBytes(m4a(box(kNam, data(1, "Short") + box("junk", "")) + box(kArt, data(1, "A"))));
  EXPECT_EQ(wrong["title"], "Short");
  EXPECT_EQ(wrong["artist"], "A");
  std::string nest = data(1, "Deep");
  for (int i = 0; i < 8; ++i) nest = box(kNam, nest);
  EXPECT_FALSE(parseBytes(m4a(nest)).has("title"));
  // Truncations of a full file.
  const std::string full = m4a(box(kNam, data(1, "Title")) + box("covr", data(13, "\xFF\xD8\xFF\xE0" "jpeg")),
                               mvhd0(3471292800u));
  for (size_t cut = 0; cut < full.size(); cut += 3) (void)parseBytes(full.substr(0, cut), {11});
}

// M4A files written by ffmpeg (moov after mdat, and with +faststart before it), compared with
// ffprobe; a file retagged by mutagen, whose "meta" carries "free" padding, compared with mutagen.
TEST(HBFmtMp4Oracle, MatchesFfprobeAndMutagen) {
  TempDir dir;
  ASSERT_EQ(runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=yellow:s=32x24",
                        "-frames:v", "1", dir.file("cover.jpg")})
                .exitCode,
            0);
  std::string cover;
  ASSERT_TRUE(tessel::test::readFile(dir.file("cover.jpg"), &cover));
  for (const char *flags : {"", "+faststart"}) {
    SCOPED_TRACE(flags);
    const std::string out = dir.file(std::string("ff") + (*flags ? "fast" : "") + ".m4a");
    std::vector<std::string> argv = {
        "ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.3", "-i", dir.file("cover.jpg"),
        "-map", "0", "-map", "1", "-c:a", "aac", "-c:v", "copy", "-disposition:v", "attached_pic",
        "-metadata", "title=T\xC3\xAFtle", "-metadata", "artist=The Artist", "-metadata",
        "album=An Album", "-metadata", "genre=Rock", "-metadata", "track=3/12", "-metadata",
        "creation_time=2013-12-31T10:20:30Z"};
    if (*flags) argv.insert(argv.end(), {"-movflags", flags});
    argv.push_back(out);
    auto made = runProgram(argv);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    auto probe = runProgram({"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of",
                             "default=nw=1", out});
    ASSERT_EQ(probe.exitCode, 0);
    std::map<std::string, std::string> tags;
    std::istringstream lines(probe.out);
    for (std::string line; std::getline(lines, line);) {
      const size_t eq = line.find('=');
      if (line.rfind("TAG:", 0) == 0 && eq != std::string::npos) tags[line.substr(4, eq - 4)] = line.substr(eq + 1);
    }
    std::string bytes;
    ASSERT_TRUE(tessel::test::readFile(out, &bytes));
    Items it = parseBytes(bytes);
    EXPECT_EQ(it["title"], tags["title"]);
    EXPECT_EQ(it["artist"], tags["artist"]);
    EXPECT_EQ(it["album"], tags["album"]);
    EXPECT_EQ(it["genre"], tags["genre"]);
    EXPECT_EQ(it["originalTrackNumber"], tags["track"]);
    struct tm tm = {};
    ASSERT_TRUE(strptime(tags["creation_time"].c_str(), "%Y-%m-%dT%H:%M:%S", &tm));
    EXPECT_EQ(it["EXIF-DateTimeOriginal"], std::to_string((long long)timegm(&tm) * 1000));
    EXPECT_EQ(it["yto-tn"], "image/jpeg:" + std::to_string(cover.size()));
    EXPECT_EQ(it.pictures["yto-tn"], cover);
    EXPECT_EQ(it.values.size(), 7u);
  }

  // A QuickTime movie keeps its title as user data straight inside "udta", which the reader
  // deliberately does not read: it reports the creation time and nothing wrong.
  const std::string mov = dir.file("clip.mov");
  ASSERT_EQ(runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.2", "-c:a", "aac",
                        "-metadata", "title=Movie Title", "-metadata",
                        "creation_time=2013-12-31T00:00:00Z", mov})
                .exitCode,
            0);
  auto movProbe = runProgram({"ffprobe", "-v", "error", "-show_entries", "format_tags=title",
                              "-of", "default=nw=1", mov});
  EXPECT_NE(movProbe.out.find("Movie Title"), std::string::npos);
  std::string movBytes;
  ASSERT_TRUE(tessel::test::readFile(mov, &movBytes));
  Items movItems = parseBytes(movBytes);
  EXPECT_FALSE(movItems.has("title"));
  EXPECT_EQ(movItems["EXIF-DateTimeOriginal"], "1388448000000");
  EXPECT_EQ(movItems.values.size(), 1u);

  const std::string script = R"PY(
import base64, hashlib, shutil, sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
d = sys.argv[1]
shutil.copy(d + '/ff.m4a', d + '/mut.m4a')
f = MP4(d + '/mut.m4a')
f.tags.clear()
f['\xa9nam'] = ['Mutagen \u00e9 Title']
f['\xa9ART'] = ['Someone']
f['trkn'] = [(4, 10)]
f['----:com.apple.iTunes:iTunes_CDDB_IDs'] = [MP4FreeForm(b'12+ABCDEF+77')]
f['covr'] = [MP4Cover(b'\x89PNG\r\n\x1a\n' + b'x' * 300, imageformat=MP4Cover.FORMAT_PNG)]
f.save()
t = MP4(d + '/mut.m4a').tags
def out(k, v): print('%s\t%s' % (k, v.encode('utf-8').hex()))
out('title', t['\xa9nam'][0])
out('artist', t['\xa9ART'][0])
out('originalTrackNumber', '%d/%d' % t['trkn'][0])
ff = bytes(t['----:com.apple.iTunes:iTunes_CDDB_IDs'][0])
out('yto-UniqueAlbumID', base64.b64encode(hashlib.sha1(ff).digest(), altchars=b'_-').decode())
out('yto-tn', 'image/png:%d' % len(t['covr'][0]))
data = open(d + '/mut.m4a', 'rb').read()
i = data.find(b'ilst')
print('padding\t' + ('1' if data.find(b'free', i) > 0 else '0'))
)PY";
  auto r = runProgram({"/usr/bin/python3", "-c", script, dir.path()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::map<std::string, std::string> want;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const size_t tab = line.find('\t');
    want[line.substr(0, tab)] = line.substr(tab + 1);
  }
  EXPECT_EQ(want["padding"], "1");
  want.erase("padding");
  for (auto &[k, v] : want) v = fromHex(v);
  std::string bytes;
  ASSERT_TRUE(tessel::test::readFile(dir.file("mut.m4a"), &bytes));
  Items it = parseBytes(bytes);
  it.values.erase("EXIF-DateTimeOriginal");  // mutagen leaves the movie header as ffmpeg wrote it
  EXPECT_EQ(it.values, want);
}
