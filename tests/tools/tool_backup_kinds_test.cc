// tesseltool backup against the reference service with a folder of every kind a camera or a
// phone leaves: the pictures, the videos, a sidecar and a live photo go up and come back byte
// for byte through `tesseltool export`, the pictures with their renditions; the documents are
// left out, and the summary line and `backup list` say so.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../vximport/importtest.h"
#include "hbproperties.h"

namespace tessel::test {
namespace {

class ToolBackupKinds : public ImportService {
 protected:
  void SetUp() override {
    ImportService::SetUp();
    HBRef<HBProperties> server;
    ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()));
    ASSERT_EQ(0,
              server->setProperty("host", ("127.0.0.1:" + std::to_string(m_svc.port())).c_str()));
    ASSERT_EQ(0, m_settings.store()->setProperty("valtoken", token()));
  }
  RunResult tool(std::vector<std::string> args) {
    args.insert(args.begin(), binPath("tesseltool"));
    return runProgram(args);
  }
  // Runs a program that makes a test file; false (with its output) when it fails.
  static bool make(const std::vector<std::string> &args) {
    RunResult r = runProgram(args);
    EXPECT_EQ(0, r.exitCode) << args[0] << ": " << r.err;
    return r.exitCode == 0;
  }
};

TEST_F(ToolBackupKinds, EveryKindGoesUpAndComesBackAndDocumentsAreLeftOut) {
  TempDir src, out;
  const std::string dir = src.file("Pics");
  ASSERT_TRUE(makePhoto(dir + "/base.jpg", 800, 600));
  const std::string base = dir + "/base.jpg";
  const std::string png = src.file("base.png");
  ASSERT_TRUE(make({"convert", base, png}));
  ASSERT_TRUE(make({"convert", base, dir + "/p.png"}));
  ASSERT_TRUE(make({"convert", base, "-colorspace", "CMYK", dir + "/cmyk.jpg"}));
  ASSERT_TRUE(make({"heif-enc", "-q", "80", base, "-o", dir + "/h.heic"}));
  ASSERT_TRUE(make({"heif-enc", "-A", "-q", "80", base, "-o", dir + "/a.avif"}));
  ASSERT_TRUE(make({"cwebp", "-quiet", "-q", "80", png, "-o", dir + "/w.webp"}));
  ASSERT_TRUE(make({"convert", base, "-compress", "LZW", dir + "/t.tif"}));
  ASSERT_TRUE(make({"convert", base, dir + "/g.gif"}));
  ASSERT_TRUE(make({"convert", base, "-type", "TrueColor", "BMP3:" + dir + "/b.bmp"}));
  for (const char *v : {"/clip.mp4", "/clip2.mov"})
    ASSERT_TRUE(make({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                      "testsrc=duration=1:size=320x240:rate=10", "-pix_fmt", "yuv420p", dir + v}));
  // A live photo: the picture and its short video under one name.
  ASSERT_TRUE(make({"heif-enc", "-q", "80", base, "-o", dir + "/IMG_7.heic"}));
  ASSERT_TRUE(
      make({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
            "testsrc=duration=1:size=160x120:rate=10", "-pix_fmt", "yuv420p", dir + "/IMG_7.mov"}));
  ASSERT_TRUE(writeFile(dir + "/base.xmp", "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>"));
  ASSERT_TRUE(writeFile(dir + "/notes.txt", "a list"));
  ASSERT_TRUE(writeFile(dir + "/doc.pdf", "%PDF-1.4\n%%EOF\n"));
  const std::vector<std::string> pictures = {"base.jpg", "p.png",     "cmyk.jpg", "h.heic",
                                             "a.avif",   "w.webp",    "t.tif",    "g.gif",
                                             "b.bmp",    "IMG_7.heic"};
  std::vector<std::string> taken = pictures;
  for (const char *n : {"clip.mp4", "clip2.mov", "IMG_7.mov", "base.xmp"}) taken.push_back(n);

  RunResult r = tool({"backup", "add", dir, "--dest", driveURI()});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("\"videos\": true")) << r.out;
  r = tool({"backup", "run", "--once"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos,
            r.err.find("run 1 ended finished: " + std::to_string(taken.size()) +
                       " imported, 2 left out: .pdf \u00d71, .txt \u00d71; 0 unchanged or "
                       "skipped, 0 failed"))
      << r.err;
  r = tool({"backup", "list"});
  EXPECT_NE(std::string::npos, r.out.find("\"leftout\":\"2\"")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\"leftoutkinds\":\".pdf \u00d71, .txt \u00d71\""));

  // On the drive: every picture with its renditions, nothing of the documents.
  HBRef<HBMap> folder = entry("Pics");
  ASSERT_TRUE(folder);
  std::vector<std::string> names = this->names(folder->getString("fileid"));
  std::sort(names.begin(), names.end());
  std::vector<std::string> want = taken;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(want, names);
  for (const std::string &n : pictures) {
    HBRef<HBMap> f = entry(n, folder->getString("fileid"));
    ASSERT_TRUE(f) << n;
    const auto pv = downloadedSize(f->getString("fileid"), "pv");
    const auto tn = downloadedSize(f->getString("fileid"), "tn");
    EXPECT_TRUE(pv.first > 0 && pv.first <= 1024 && pv.second > 0 && pv.second <= 1024)
        << n << " pv " << pv.first << "x" << pv.second;
    EXPECT_EQ(std::make_pair(160, 160), tn) << n;
  }

  // Restored: every file taken, byte for byte.
  r = tool({"export", driveURI(), out.path()});
  ASSERT_EQ(0, r.exitCode) << r.err;
  for (const std::string &n : taken) {
    std::string a, b;
    ASSERT_TRUE(readFile(dir + "/" + n, &a));
    ASSERT_TRUE(readFile(out.path() + "/Drive/Pics/" + n, &b)) << n;
    EXPECT_TRUE(a == b) << n;
  }
}

}  // namespace
}  // namespace tessel::test
