// The single-file import: the order and kind of uploads, the kind filter, the existing-file
// check and the space check against the reference service; older firmware (folders by date,
// no renditions, token in the address); the upload itself against a scripted peer (address
// rule, headers, cancel inside a block, a cut connection); the argument limit.
#include "vximport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "../common/nettest.h"
#include "hbmap.h"
#include "hbproperties.h"
#include "importtest.h"
#include "logcapture.h"
#include "vximport_prefetch.h"

namespace tessel::test {
namespace {

class SingleFile : public ImportService {
 protected:
  int32_t perform(const std::string &path, uint32_t flags) {
    VXImportContext ctx;
    ctx.valtoken = token();
    ctx.deviceId = device();
    ctx.serviceId = service();
    ctx.flags = flags;
    return vximport__perform(&ctx, path.c_str());
  }
  // The "Sending Stream" lines of a log, as "NAME LENGTH" in order.
  static std::vector<std::string> sends(const std::string &log) {
    std::vector<std::string> out;
    for (size_t at = log.find("Sending Stream '"); at != std::string::npos;
         at = log.find("Sending Stream '", at + 1)) {
      const size_t q = log.find('\'', at + 16);
      out.push_back(log.substr(at + 16, q - at - 16));
    }
    return out;
  }
  TempDir m_src;
};

TEST_F(SingleFile, UploadsByKindExistingFilesAndSpace) {
  const std::string photo = m_src.file("p.jpg");
  ASSERT_TRUE(makePhoto(photo, 1600, 1200));
  {
    // Originals kept: preview, thumbnail, then the original.
    LogCapture log(BRLOG_INFO);
    ASSERT_EQ(0, perform(photo, TASK_FLAG_KEEP_ORIGINAL));
    EXPECT_EQ((std::vector<std::string>{"pv", "tn", "(null)"}), sends(log.text()));
  }
  {
    // Without: the re-encoded picture is the main content, and the thumbnail.
    LogCapture log(BRLOG_INFO);
    ASSERT_EQ(0, perform(photo, 0));
    EXPECT_EQ((std::vector<std::string>{"(null)", "tn"}), sends(log.text()));
    EXPECT_EQ(std::make_pair(800, 600),
              downloadedSize(entry("p (2).jpg")->getString("fileid"), ""));
  }
  // A task for pictures alone passes over music without a call.
  const std::string song = m_src.file("s.mp3");
  ASSERT_TRUE(writeFile(song, "ID3"));
  {
    LogCapture log(BRLOG_INFO);
    EXPECT_EQ(0, perform(song, TASK_FLAG_IMAGES));
    EXPECT_TRUE(log.has("Skipping 'audio/mpeg' file: '" + song + "'"));
    EXPECT_FALSE(entry("s.mp3"));
  }
  // The existing-file check finds the identical first upload.
  {
    LogCapture log(BRLOG_VERBOSE2);
    EXPECT_EQ(BR_EEXISTS, perform(photo, TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_CHECK_EXISTING));
    EXPECT_TRUE(log.has("Exact match: '" + photo + "'"));
  }
  // A drive without room for the preview, even after the refresh: nothing is sent and the
  // entry goes again.
  HBRef<HBMap> svc, rec = call("getService", {});
  ASSERT_TRUE(rec && rec->getMap("service", svc) == 0);
  long long freeBytes = 0, total = 0;
  ASSERT_EQ(2, std::sscanf(svc->getString("space"), "%lld/%lld", &freeBytes, &total));
  ASSERT_TRUE(m_svc.admin("quota?serviceid=" + m_user.service +
                          "&bytes=" + std::to_string(total - freeBytes + 1000)));
  {
    // The cache still believes in the old size: the service refuses the preview with 507.
    LogCapture log(BRLOG_INFO);
    EXPECT_EQ(BR_ENOSPC, perform(photo, TASK_FLAG_KEEP_ORIGINAL));
    EXPECT_TRUE(log.has("   -- Stream Response: 507"));
  }
  ASSERT_EQ(0, vxsvccache__update());
  LogCapture log(BRLOG_INFO);
  EXPECT_EQ(BR_ENOSPC, perform(photo, TASK_FLAG_KEEP_ORIGINAL));
  EXPECT_TRUE(log.has("   -- BAIL -- Insufficient free space: "));
  EXPECT_FALSE(log.has("Stream Content-Length"));
  EXPECT_EQ(std::vector<std::string>{"pv"}, sends(log.text()));
  EXPECT_EQ(2u, names("0").size());
  EXPECT_EQ(std::vector<std::string>{}, tempLeftovers(getenv("TMPDIR")));
}

TEST_F(SingleFile, OlderFirmwareFoldersByDateWithoutRenditions) {
  for (const char *v : {"3.2.0.0", "4.0.0.0", "10.0.1.2"}) EXPECT_FALSE(vximport__olderFirmware(v));
  for (const char *v : {"3.1.0.0", "2.9.9.9", "3.1", "x", ""})
    EXPECT_TRUE(vximport__olderFirmware(v));

  ASSERT_TRUE(m_svc.admin("version?serviceid=" + m_user.service + "&version=3.1.0.0"));
  ASSERT_EQ(0, vxsvccache__update());
  const std::string a = m_src.file("a.jpg"), b = m_src.file("b.jpg");
  ASSERT_TRUE(makePhoto(a, 320, 240, {"-DateTimeOriginal=2013:05:31 22:00:00"}));
  ASSERT_TRUE(makePhoto(b, 320, 240, {"-DateTimeOriginal=2013:05:01 08:00:00"}));
  LogCapture log(BRLOG_INFO);
  // With originals only the original goes, with the token in the address of a numeric host.
  ASSERT_EQ(0, perform(a, TASK_FLAG_KEEP_ORIGINAL));
  EXPECT_TRUE(log.has("  -- Older 3.x firmware!"));
  EXPECT_TRUE(log.has("  -- Older firmware -- createDirectory(0, 'Photos')"));
  EXPECT_TRUE(log.has("  -- Older firmware -- skipping transcode..."));
  EXPECT_TRUE(log.has("  -- Older firmware local(127.0.0.1) -- no cookie"));
  EXPECT_TRUE(log.has("/svc/files/" + m_user.token + "/" + m_user.device));
  HBRef<HBMap> got = entry("Photos/2013/05/a.jpg");
  ASSERT_TRUE(got);
  std::string original;
  ASSERT_TRUE(readFile(a, &original));
  EXPECT_TRUE(download(got->getString("fileid")) == original);
  // Without, the preview is the content and there is no thumbnail; the folders exist now.
  ASSERT_EQ(0, perform(b, 0));
  EXPECT_TRUE(log.has("  -- Older firmware -- skipping thumbnail..."));
  EXPECT_EQ((std::vector<std::string>{"(null)", "(null)"}), sends(log.text()));
  EXPECT_EQ(1u, names("0").size());
  ASSERT_TRUE(entry("Photos/2013/05/b.jpg"));
}

TEST_F(SingleFile, VideosGetAThumbnailAndAStreamingCopyOtherFilesGoAsTheyAre) {
  const std::string clip = m_src.file("clip.mp4"), note = m_src.file("note.txt");
  ASSERT_EQ(0, runProgram({"ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                           "testsrc2=size=640x480:rate=10", "-t", "1", "-pix_fmt", "yuv420p", clip})
                   .exitCode);
  ASSERT_TRUE(writeFile(note, "plain text"));
  LogCapture log(BRLOG_INFO);
  ASSERT_EQ(0, perform(clip, TASK_FLAG_KEEP_ORIGINAL)) << log.text();
  ASSERT_EQ(0, perform(note, 0));
  EXPECT_EQ((std::vector<std::string>{"tn", "st", "(null)", "(null)"}), sends(log.text()));
  HBRef<HBMap> video = entry("clip.mp4");
  ASSERT_TRUE(video);
  EXPECT_STREQ("full", video->getString("streamtype"));
  EXPECT_EQ(std::make_pair(160, 160), downloadedSize(video->getString("fileid"), "tn"));
  const std::pair<int, int> st = downloadedSize(video->getString("fileid"), "st");
  EXPECT_TRUE(st.first == 480 || st.second == 480) << st.first << "x" << st.second;
  EXPECT_EQ("plain text", download(entry("note.txt")->getString("fileid")));
  EXPECT_STREQ("10", entry("note.txt")->getString("size"));
  EXPECT_EQ(std::vector<std::string>{}, tempLeftovers(getenv("TMPDIR")));
}

TEST_F(SingleFile, ExistingCheckFindsNumberedCopiesAndRepairsCutOffEntries) {
  const uint32_t keep = TASK_FLAG_KEEP_ORIGINAL, check = keep | TASK_FLAG_CHECK_EXISTING;
  // An edited photo went up beside its first version: the check finds the copy made then.
  const std::string p = m_src.file("p.jpg");
  ASSERT_TRUE(makePhoto(p, 320, 240));
  ASSERT_EQ(0, perform(p, keep));
  ASSERT_TRUE(makePhoto(p, 640, 480));
  ASSERT_EQ(0, perform(p, keep));
  EXPECT_EQ(BR_EEXISTS, perform(p, check));

  // Entries an import cut off left without content, of an older version: this computer's goes
  // and the file takes its name; another computer's is left alone.
  const std::string q = m_src.file("q.jpg"), r = m_src.file("r.jpg");
  ASSERT_TRUE(makePhoto(q, 320, 240) && makePhoto(r, 320, 240));
  auto cutOff = [&](const char *name, const std::string &origin) {
    HBRef<HBMap> a = call("createFile", {"filename", name, "origin", origin, "type", "0", "size",
                                         "99", "mtime", "1", "mimetype", "image/jpeg"});
    HBRef<HBMap> f;
    return a && a->getMap("file", f) == 0 ? std::string(f->getString("fileid")) : std::string();
  };
  const std::string theirs = cutOff("r.jpg", "OTHER-PC");
  ASSERT_FALSE(cutOff("q.jpg", hbproperties__computerName()).empty() || theirs.empty());
  EXPECT_EQ(0, perform(q, check));
  EXPECT_EQ(0, perform(r, check));
  std::vector<std::string> all = names("0");
  std::sort(all.begin(), all.end());
  EXPECT_EQ((std::vector<std::string>{"p (2).jpg", "p.jpg", "q.jpg", "r (2).jpg", "r.jpg"}), all);
  std::string bytes;
  ASSERT_TRUE(readFile(q, &bytes));
  EXPECT_TRUE(download(entry("q.jpg")->getString("fileid")) == bytes);
  EXPECT_EQ(theirs, entry("r.jpg")->getString("fileid"));
  // The names the service gives copies.
  EXPECT_EQ("a.b (3).jpg", vximport__numberedName("a.b.jpg", 3));
  EXPECT_EQ(".e (2)", vximport__numberedName(".e", 2));
}

TEST(ImportArguments, MetadataFillsTheListUpToSixtyFour) {
  HBRef<HBMap> meta;
  ASSERT_EQ(0, HBMap::create("FMTITEMS", 4096, 4096, meta));
  meta->setFlags(HBMAP_ORDERED);
  for (int i = 0; i < 70; ++i)
    ASSERT_EQ(0, meta->putString(("k" + std::to_string(i)).c_str(), "v"));
  VXImportContext ctx;
  ctx.valtoken = "t";
  ctx.deviceId = "d";
  ctx.serviceId = "s";
  VXImportFileInfo info;
  info.safeName = "a.jpg";
  info.mimeType = "image/jpeg";
  info.size = 5;
  info.createdMs = 1;
  info.modifiedMs = 2;
  std::vector<std::string> args;
  LogCapture log(BRLOG_WARNING);
  vximport__createArguments(&ctx, TASK_FLAG_KEEP_ORIGINAL, nullptr, info, meta.get(), &args);
  ASSERT_EQ(128u, args.size());
  EXPECT_EQ((std::vector<std::string>{"valtoken", "t", "deviceid", "d", "serviceid", "s",
                                      "filename", "a.jpg"}),
            std::vector<std::string>(args.begin(), args.begin() + 8));
  EXPECT_EQ("origin", args[8]);
  EXPECT_EQ("type", args[10]);
  EXPECT_EQ("size", args[12]);
  EXPECT_EQ("k53", args[126]);
  size_t tooMany = 0;
  const std::string text = log.text();
  for (size_t at = text.find("TOO-MANY"); at != std::string::npos;
       at = text.find("TOO-MANY", at + 1))
    ++tooMany;
  EXPECT_EQ(16u, tooMany);
  // Room left: "ctime" and "origtime" from the modification time; videos are "full" streams.
  info.mimeType = "video/mp4";
  vximport__createArguments(&ctx, 0, "7", info, nullptr, &args);
  EXPECT_EQ((std::vector<std::string>{"parentid", "7", "filename", "a.jpg", "origin"}),
            std::vector<std::string>(args.begin() + 6, args.begin() + 11));
  EXPECT_EQ(
      (std::vector<std::string>{"type", "0", "ctime", "1", "mtime", "2", "mimetype", "video/mp4",
                                "streamtype", "full", "ctime", "2", "origtime", "2"}),
      std::vector<std::string>(args.begin() + 12, args.end()));
  EXPECT_EQ("Photos/2013/05",
            vximport__oldFirmwarePath("image/jpeg", {"EXIF-DateTimeOriginal", "1367661600000"}, 0));
  EXPECT_EQ("Music/A_B/C",
            vximport__oldFirmwarePath("audio/mpeg",
                                      {"artist", "x", "albumArtist", "A/B", "album", "C"}, 0));
  EXPECT_EQ("Documents/1970/01", vximport__oldFirmwarePath("text/plain", {"mtime", "0"}, 1000));
}

// The upload alone, against a peer that records what arrives.
class SendStream : public ::testing::Test {
 protected:
  SendStream() : m_server([this](int fd, int) { serve(fd); }) {}
  void serve(int fd) {
    std::string header, body;
    if (!nettest::readHeader(fd, &header, &body)) return;
    const size_t cut = m_cutAfter.load();
    if (nettest::headerValue(header, "Transfer-Encoding") == "chunked") {
      std::string raw;
      raw.swap(body);
      if (!nettest::readChunked(fd, &raw, &body)) body = "(bad chunks)";
    } else {
      const size_t want = std::stoul(nettest::headerValue(header, "Content-Length"));
      nettest::readBytes(fd, &body, cut ? cut : want);
    }
    {
      std::lock_guard<std::mutex> l(m_lock);
      m_headers.push_back(header);
      m_bodies.push_back(body);
    }
    if (!cut) nettest::sendAll(fd, "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
  }
  int32_t send(uint32_t flags, const char *stream, IHBStream *data,
               std::function<bool()> canceled = nullptr) {
    HBRef<IHBURL> url;
    EXPECT_EQ(0,
              hburl__parse(url.out(), ("http://" + m_server.hostPort() + "/x/api/json").c_str()));
    VXImportContext ctx;
    ctx.valtoken = "TOK";
    ctx.deviceId = "D";
    ctx.serviceId = "S";
    ctx.uploadURL = url.get();
    ctx.flags = flags;
    ctx.canceled = std::move(canceled);
    std::atomic<int64_t> sent{0};
    ctx.bytesSent = &sent;
    return vximport__sendStream(&ctx, "/nonexistent", "F", stream, data);
  }
  static HBRef<IHBStream> bytes(size_t n) {
    HBRef<IHBMemStream> m;
    EXPECT_EQ(0, hbstream__newMem(m.out(), 4096));
    const std::string data(n, 'x');
    EXPECT_EQ(static_cast<int32_t>(n), m->write(data.data(), static_cast<int32_t>(n)));
    m->seek(0, HBSTREAM_SEEK_SET);
    return HBRef<IHBStream>(std::move(m));
  }
  std::mutex m_lock;
  std::vector<std::string> m_headers, m_bodies;
  std::atomic<size_t> m_cutAfter{0};
  nettest::ScriptServer m_server;
};

TEST_F(SendStream, AddressHeadersCancelAndCutConnections) {
  EXPECT_EQ(0, send(0, nullptr, bytes(1000).get()));
  EXPECT_EQ(0, send(TASK_FLAG_KEEP_ORIGINAL, "pv", bytes(10).get()));
  // Older firmware on a numeric address: no cookie, the token in the address.
  EXPECT_EQ(0, send(IMPORT_FLAG_OLD_FIRMWARE, nullptr, bytes(0).get()));
  ASSERT_EQ(3u, m_headers.size());
  EXPECT_EQ(0u, m_headers[0].find("PUT /x/files/D/S/F HTTP/1.1\r\n")) << m_headers[0];
  EXPECT_EQ("valtoken=TOK", nettest::headerValue(m_headers[0], "Cookie"));
  EXPECT_EQ("TOK", nettest::headerValue(m_headers[0], "X-VXVALTOKEN"));
  EXPECT_EQ("512; purpose=import", nettest::headerValue(m_headers[0], "X-SQClientType"));
  EXPECT_EQ("1000", nettest::headerValue(m_headers[0], "Content-Length"));
  EXPECT_EQ(std::string(1000, 'x'), m_bodies[0]);
  EXPECT_EQ(0u, m_headers[1].find("PUT /x/files/D/S/F/pv HTTP/1.1\r\n"));
  EXPECT_EQ(0u, m_headers[2].find("PUT /x/files/TOK/D/S/F HTTP/1.1\r\n"));
  EXPECT_EQ("", nettest::headerValue(m_headers[2], "Cookie"));
  // A stream that cannot tell its length goes chunked.
  HBRef<IHBBufStream> unsized;
  ASSERT_EQ(0, HBBufStream__new(unsized.out(), bytes(70000).get()));
  EXPECT_EQ(0, send(0, nullptr, unsized.get()));
  EXPECT_EQ("chunked", nettest::headerValue(m_headers[3], "Transfer-Encoding"));
  EXPECT_TRUE(m_bodies[3] == std::string(70000, 'x')) << m_bodies[3].size();

  // Cancel inside a block of a long upload: the copy stops and the connection is dropped.
  int calls = 0;
  EXPECT_EQ(BR_ECANCELED, send(0, nullptr, bytes(8 << 20).get(), [&] { return ++calls > 2; }));
  // A connection cut in the middle: the drive's free space is not known here, so it is an I/O
  // error rather than a time-out or a full drive.
  m_cutAfter = 1000;
  EXPECT_EQ(BR_EIO, send(0, nullptr, bytes(4 << 20).get()));
  m_server.stop();
  std::lock_guard<std::mutex> l(m_lock);
  for (const std::string &b : m_bodies) EXPECT_LT(b.size(), size_t(4 << 20));
}

}  // namespace
}  // namespace tessel::test

namespace tessel::test {
namespace {

TEST(ImportPrefetch, RenditionsMadeAheadOnlyForTheFileAsItIs) {
  TempDir dir;
  const std::string a = dir.file("a.jpg"), b = dir.file("b.jpg");
  ASSERT_TRUE(makePhoto(a, 640, 480, {"-Orientation#=6"}) && makePhoto(b, 320, 240));
  const uint32_t both = HBIMG_RENDITION_PV | HBIMG_RENDITION_TN;
  VXImportPrefetch ahead(2);
  ASSERT_TRUE(ahead.start(a, both) && ahead.start(b, both));
  EXPECT_FALSE(ahead.start(dir.file("c.jpg"), both));  // at capacity
  VXImportFileSignature now;
  ASSERT_EQ(0, vximport__fileSignature(a.c_str(), &now));
  HBImgRenditions r;
  int32_t rc = -1;
  ASSERT_TRUE(ahead.take(a, both, now, &r, &rc));
  EXPECT_EQ(0, rc);
  EXPECT_EQ(480, r.width);  // upright
  EXPECT_TRUE(r.pv && r.tn && r.pvSize > 0 && r.tnSize > 0);
  EXPECT_FALSE(ahead.take(a, both, now, &r, &rc));  // taken once
  // A file that changed after its renditions were made: they are not handed out.
  std::string bytes;
  ASSERT_TRUE(readFile(b, &bytes) && writeFile(b, bytes + "x"));
  ASSERT_EQ(0, vximport__fileSignature(b.c_str(), &now));
  EXPECT_FALSE(ahead.take(b, both, now, &r, &rc));
  // Other renditions than those asked for are not handed out either; jobs never taken go.
  ASSERT_TRUE(ahead.start(b, HBIMG_RENDITION_PV) && ahead.start(a, both));
  EXPECT_FALSE(ahead.take(b, both, now, &r, &rc));
  ahead.clear();
  r = HBImgRenditions();
  EXPECT_EQ(std::vector<std::string>{}, tempLeftovers(getenv("TMPDIR")));
}

}  // namespace
}  // namespace tessel::test
