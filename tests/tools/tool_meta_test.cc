// tesseltool meta: the item map of real files as JSON.
#include <gtest/gtest.h>

#include <string>

#include "testutil.h"

using tessel::test::binPath;
using tessel::test::runProgram;
using tessel::test::TempDir;

TEST(ToolMeta, PrintsItemsOfJpegAndM4aAsJson) {
  TempDir dir;
  const std::string jpg = dir.file("photo.jpg"), cover = dir.file("cover.jpg"),
                    m4a = dir.file("song.m4a");
  ASSERT_EQ(runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=red:s=64x48",
                        "-frames:v", "1", jpg})
                .exitCode,
            0);
  ASSERT_EQ(runProgram({"exiftool", "-q", "-overwrite_original", "-Make=Canon",
                        "-Model=Say \"cheese\"\tnow", "-DateTimeOriginal=2013:07:04 12:30:00", jpg})
                .exitCode,
            0);
  auto r = runProgram({binPath("tesseltool"), "meta", jpg});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\n"
            "  \"EXIF-DateTimeOriginal\": \"1372941000000\",\n"
            "  \"EXIF-Make\": \"Canon\",\n"
            "  \"EXIF-Model\": \"Say \\\"cheese\\\"\\tnow\"\n"
            "}\n");

  ASSERT_EQ(runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=blue:s=32x24",
                        "-frames:v", "1", cover})
                .exitCode,
            0);
  std::string coverBytes;
  ASSERT_TRUE(tessel::test::readFile(cover, &coverBytes));
  ASSERT_EQ(runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.2", "-i", cover,
                        "-map", "0", "-map", "1", "-c:a", "aac", "-c:v", "copy", "-disposition:v",
                        "attached_pic", "-metadata", "title=Song", "-metadata", "track=2/5", m4a})
                .exitCode,
            0);
  r = runProgram({binPath("tesseltool"), "meta", m4a});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "{\n"
                   "  \"originalTrackNumber\": \"2/5\",\n"
                   "  \"title\": \"Song\",\n"
                   "  \"yto-tn\": {\"mimetype\": \"image/jpeg\", \"bytes\": " +
                       std::to_string(coverBytes.size()) + "}\n}\n");
}

TEST(ToolMeta, NothingFoundMissingFileAndUsage) {
  TempDir dir;
  ASSERT_TRUE(tessel::test::writeFile(dir.file("notes.txt"), "just some text\n"));
  auto r = runProgram({binPath("tesseltool"), "meta", dir.file("notes.txt")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "{}\n");
  ASSERT_TRUE(tessel::test::writeFile(dir.file("empty.mp3"), ""));
  r = runProgram({binPath("tesseltool"), "meta", dir.file("empty.mp3")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "{}\n");
  r = runProgram({binPath("tesseltool"), "meta", dir.file("missing.jpg")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("missing.jpg"), std::string::npos);
  EXPECT_EQ(runProgram({binPath("tesseltool"), "meta"}).exitCode, 64);
}
