// tesseltool transcode and faststart with the installed ffmpeg.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace {

using tessel::test::binPath;
using tessel::test::readFile;
using tessel::test::runProgram;
using tessel::test::RunResult;
using tessel::test::TempDir;

RunResult tool(std::vector<std::string> args) {
  args.insert(args.begin(), binPath("tesseltool"));
  return runProgram(args, "", 60000);
}

class ToolTranscodeTest : public testing::Test {
 protected:
  void SetUp() override {
    if (runProgram({"ffmpeg", "-version"}).exitCode != 0) GTEST_SKIP() << "no ffmpeg";
    auto r = runProgram(
        {"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=duration=1:size=320x240:rate=10",
         "-c:v", "libx264", m_dir.file("clip.mp4")},
        "", 60000);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  TempDir m_dir;
};

TEST_F(ToolTranscodeTest, ThumbnailAndStreamableCopy) {
  RunResult r = tool({"transcode", m_dir.file("clip.mp4"), m_dir.file("tn.jpg"), "--mime",
                      "image/jpeg", "--size", "160x160", "--crop", "--quality", "medium"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("path: " + m_dir.file("tn.jpg") + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("width: 160\nheight: 160\n"), std::string::npos) << r.out;
  std::string jpeg;
  ASSERT_TRUE(readFile(m_dir.file("tn.jpg"), &jpeg));
  ASSERT_GT(jpeg.size(), 2u);
  EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");

  r = tool({"xcode", m_dir.file("clip.mp4"), m_dir.file("out.mp4"), "--mime", "video/mp4",
            "--limit", "1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("progress: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("width: 320\nheight: 240\n"), std::string::npos) << r.out;
  std::string mp4;
  ASSERT_TRUE(readFile(m_dir.file("out.mp4"), &mp4));
  EXPECT_NE(r.out.find("size: " + std::to_string(mp4.size()) + "\n"), std::string::npos);
  EXPECT_LT(mp4.find("moov"), mp4.find("mdat"));
}

TEST_F(ToolTranscodeTest, FastStartRewritesOrCopies) {
  RunResult r = tool({"faststart", m_dir.file("clip.mp4"), m_dir.file("fs.mp4")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "rewritten: " + m_dir.file("fs.mp4") + "\n");
  std::string fs;
  ASSERT_TRUE(readFile(m_dir.file("fs.mp4"), &fs));
  EXPECT_LT(fs.find("moov"), fs.find("mdat"));
  // Already streamable: copied as it is.
  r = tool({"faststart", m_dir.file("fs.mp4"), m_dir.file("again.mp4")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "copied: " + m_dir.file("again.mp4") + "\n");
  std::string again;
  ASSERT_TRUE(readFile(m_dir.file("again.mp4"), &again));
  EXPECT_EQ(again, fs);
}

TEST_F(ToolTranscodeTest, BadUsageAndBadInput) {
  EXPECT_EQ(tool({"transcode", m_dir.file("clip.mp4")}).exitCode, 64);
  EXPECT_EQ(tool({"transcode", "a", "b", "--mime", "text/plain"}).exitCode, 64);
  EXPECT_EQ(tool({"faststart", "only-one"}).exitCode, 64);
  RunResult r =
      tool({"transcode", m_dir.file("missing.mp4"), m_dir.file("x.mp4"), "--mime", "video/mp4"});
  EXPECT_EQ(r.exitCode, 1);
  std::string none;
  EXPECT_FALSE(readFile(m_dir.file("x.mp4"), &none));
  EXPECT_EQ(tool({"faststart", m_dir.file("missing.mp4"), m_dir.file("y.mp4")}).exitCode, 1);
}

}  // namespace
