// tesseltool export against tesselsvc: usage, a restore and its rerun, and a file larger than a
// small file system's free space refused with the no-space bit (in a mount namespace of its
// own, skipped where mounting is not permitted).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "../server/svctestserver.h"
#include "../services/drivetree.h"
#include "../vximport/importtest.h"
#include "hbproperties.h"

namespace {

using namespace tessel::test;

class ToolExport : public testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(addSvcUser(m_data.path(), "carol", "pw", {}, &m_user, &err)) << err;
    ASSERT_TRUE(m_svc.start(m_data.path()));
    HBRef<IHBVFS2> store = openDrive(m_svc.url(), m_user.token, m_user.device, m_user.service);
    ASSERT_TRUE(store);
    HBRef<IHBVFSFile> top, pics;
    ASSERT_EQ(0, store->getFileByID(nullptr, "0", 0, top.out()));
    pics = putFolder(store.get(), top.get(), "Pics");
    putFile(store.get(), pics.get(), "one.jpg", pattern(2000, 1));
    putFile(store.get(), pics.get(), "big.jpg", pattern(1 << 20, 2));
    m_uri = "ytozv://" + m_user.device + ":" + m_user.service + ":" + pics->getFileID();
    // The child programs read the same settings: the service host, and the token from the
    // environment.
    HBRef<HBProperties> server;
    ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()));
    ASSERT_EQ(0,
              server->setProperty("host", ("127.0.0.1:" + std::to_string(m_svc.port())).c_str()));
    setenv("TESSEL_VALTOKEN", m_user.token.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TESSEL_VALTOKEN");
    hbproperties__setDefault(nullptr);  // the first store opened became the default
  }

  TempDir m_data;
  SvcUser m_user;
  SvcProcess m_svc;
  std::string m_uri;
};

TEST_F(ToolExport, RestoresAndRerunsAndRefusesWhatDoesNotFit) {
  const std::string tool = binPath("tesseltool");
  EXPECT_EQ(64, runProgram({tool, "export", m_uri}).exitCode);
  EXPECT_EQ(64, runProgram({tool, "export", "http://x/y", "out"}).exitCode);

  TempDir out;
  RunResult r = runProgram({tool, "export", m_uri, out.path()});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("\"files\": 2, \"done\": 2, \"failed\": 0")) << r.out;
  std::string got;
  ASSERT_TRUE(readFile(out.file("Pics/big.jpg"), &got));
  EXPECT_EQ(pattern(1 << 20, 2), got);
  // Again: everything is there already, which is no failure.
  r = runProgram({tool, "export", m_uri, out.path()});
  EXPECT_EQ(0, r.exitCode) << r.err;

  unsetenv("TESSEL_VALTOKEN");
  r = runProgram({tool, "export", m_uri, out.path()});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("not signed in"));
  setenv("TESSEL_VALTOKEN", m_user.token.c_str(), 1);

  // 512 KiB of room: the small file fits, the 1 MiB one is refused before anything is written.
  TempDir small;
  r = runProgram({"unshare", "-rm", "sh", "-c",
                  "mount -t tmpfs -o size=512k tmpfs \"$1\" || { echo NOMOUNT >&2; exit 99; }; "
                  "\"$2\" export \"$3\" \"$1\"; code=$?; ls -a \"$1/Pics\"; exit $code",
                  "sh", small.path(), tool, m_uri});
  if (r.exitCode == 99 || r.err.compare(0, 8, "unshare:") == 0 || r.exitCode < 0)
    GTEST_SKIP() << "mounting a small file system is not permitted here: " << r.err;
  EXPECT_EQ(1, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("error bits 0x02)")) << r.err;
  // The failure is named by the file's path on the drive; done and failed add up.
  EXPECT_NE(std::string::npos, r.err.find("export: failed: Pics/big.jpg (No Space")) << r.err;
  EXPECT_NE(std::string::npos,
            r.out.find("\"files\": 2, \"done\": 1, \"failed\": 1, \"folders_failed\": 0, "
                       "\"skipped\": 0, \"errormask\": 2"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("one.jpg"));
  EXPECT_EQ(std::string::npos, r.out.find("big.jpg"));
  EXPECT_EQ(std::string::npos, r.out.find(".yto_"));
}

// A backup is only as good as its restore: what the import put up comes back byte for byte.
TEST_F(ToolExport, ImportThenExportGivesTheOriginalsBack) {
  TempDir src, out;
  const std::string dir = src.file("Holiday");
  for (const char *n : {"/a.jpg", "/day 2/c.jpg"}) ASSERT_TRUE(makePhoto(dir + n, 320, 240));
  const std::string tool = binPath("tesseltool");
  const std::string drive = "ytozv://" + m_user.device + ":" + m_user.service;
  RunResult r = runProgram({tool, "import", dir, "--dest", drive, "--token", "-"}, m_user.token);
  ASSERT_EQ(0, r.exitCode) << r.err;
  r = runProgram({tool, "export", drive, out.path()});
  ASSERT_EQ(0, r.exitCode) << r.err;
  for (const char *n : {"/a.jpg", "/day 2/c.jpg"}) {
    std::string want, got;
    ASSERT_TRUE(readFile(dir + n, &want));
    ASSERT_TRUE(readFile(out.path() + "/Drive/Holiday" + n, &got)) << n;
    EXPECT_EQ(want, got) << n;
  }
}

}  // namespace
