// tesseltool json, mime and walk, run as a person would run them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "testutil.h"

using tessel::test::binPath;
using tessel::test::runProgram;
using tessel::test::TempDir;
using tessel::test::writeFile;

namespace {

tessel::test::RunResult tool(std::vector<std::string> args) {
  args.insert(args.begin(), binPath("tesseltool"));
  return runProgram(args);
}

TEST(ToolJson, PrintsEveryScalarAsTextAndRefusesBrokenFiles) {
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("ok.json"),
                        "{\"name\": \"x\\\"y\", \"n\": 12, \"list\": [1, {\"t\": true}],"
                        " \"m\": {\"e\": null}}"));
  auto r = tool({"json", dir.file("ok.json")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // Parsed documents keep their keys in document order.
  EXPECT_EQ(r.out, "{\"name\":\"x\\\"y\",\"n\":\"12\",\"list\":[\"1\",{\"t\":\"true\"}],"
                   "\"m\":{\"e\":\"null\"}}\n");

  ASSERT_TRUE(writeFile(dir.file("cut.json"), "{\"a\": [1, 2"));
  r = tool({"json", dir.file("cut.json")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("Try Again"), std::string::npos) << r.err;

  r = tool({"json", dir.file("missing.json")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(tool({"json"}).exitCode, 64);
}

TEST(ToolJson, OutputStaysValidJsonForBytesThatAreNotUtf8) {
  TempDir dir;
  // A stray byte, a cut sequence, an encoded surrogate, then proper two- and four-byte ones.
  ASSERT_TRUE(writeFile(dir.file("bytes.json"),
                        "{\"a\": \"x\xffy\", \"b\": \"\xc3\", \"c\": \"\xed\xa0\x80\","
                        " \"d\": \"\xc3\xa9\xf0\x9f\x93\xb7\"}"));
  auto r = tool({"json", dir.file("bytes.json")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "{\"a\":\"x\\ufffdy\",\"b\":\"\\ufffd\",\"c\":\"\\ufffd\\ufffd\\ufffd\","
                   "\"d\":\"\xc3\xa9\xf0\x9f\x93\xb7\"}\n");
}

TEST(ToolMime, NamesTypesByExtension) {
  auto r = tool({"mime", "/some/Photo.JPG"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "image/jpeg\n");
  r = tool({"mime", "noextension"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "application/octet-stream\n");
}

TEST(ToolWalk, ListsFoldersWithPicturesAndHonoursDepth) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("a").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir.file("a/b").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir.file("empty").c_str(), 0700), 0);
  ASSERT_TRUE(writeFile(dir.file("a/b/p.jpg"), std::string(10, 'x')));
  auto r = tool({"walk", dir.path()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("0 3 10 " + dir.file("a/b/p.jpg") + "\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("empty"), std::string::npos) << "folders without pictures are passed over";

  r = tool({"walk", dir.path(), "--depth", "1"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.find("p.jpg"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(dir.file("a") + "\n"), std::string::npos) << r.out;

  EXPECT_EQ(tool({"walk", dir.file("nothing-here")}).exitCode, 1);
  EXPECT_EQ(tool({"walk", dir.path(), "--depth", "x"}).exitCode, 64);
}

}  // namespace
