// tesseltool import against the reference service: the signed-in user's token or one read from
// standard input, progress and summary on standard error, exit 1 with the failures listed.
#include <gtest/gtest.h>

#include <string>

#include "../server/svctestserver.h"
#include "../vximport/importtest.h"
#include "hbproperties.h"

namespace tessel::test {
namespace {

TEST(ToolImport, ImportsReportsAndFails) {
  TempSettings settings;
  TempDir data, src;
  SvcUser user;
  SvcProcess svc;
  ASSERT_TRUE(addSvcUser(data.path(), "alice", "pw", {}, &user));
  ASSERT_TRUE(svc.start(data.path()));
  HBRef<HBProperties> server;
  ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()));
  ASSERT_EQ(0, server->setProperty("host", ("127.0.0.1:" + std::to_string(svc.port())).c_str()));
  const std::string dir = src.file("Holiday");
  for (const char *n : {"/a.jpg", "/b.jpg", "/day 2/c.jpg"})
    ASSERT_TRUE(makePhoto(dir + n, 320, 240));
  const std::string dest = "ytozv://" + user.device + ":" + user.service;
  const std::string tool = binPath("tesseltool");

  // Not signed in: refused. The token on standard input instead.
  RunResult r = runProgram({tool, "import", dir, "--dest", dest});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("not signed in")) << r.err;
  r = runProgram({tool, "import", dir, "--dest", dest, "--token", "-", "--log", src.file("l")},
                 user.token + "\n");
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("imported 3 of 3 files")) << r.err;
  std::string log;
  ASSERT_TRUE(readFile(src.file("l"), &log));
  EXPECT_NE(std::string::npos, log.find("Creating Folder @ 1: 'day 2'"));

  // The signed-in user's token; a cut upload fails that file, listed, and the exit is 1.
  ASSERT_EQ(0, settings.store()->setProperty("valtoken", user.token.c_str()));
  ASSERT_TRUE(svc.admin("upload?mode=cut&after=100&count=1"));
  r = runProgram({tool, "import", dir, "--dest", dest});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("imported 2 of 3 files")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("  failed: file://" + dir + "/")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("[3/3]")) << r.err;

  EXPECT_EQ(1, runProgram({tool, "import", dir, "--dest", "ytozv://nodev:nosvc"}).exitCode);
  EXPECT_EQ(64, runProgram({tool, "import", dir}).exitCode);
  EXPECT_EQ(64, runProgram({tool, "import", "--dest", dest}).exitCode);
}

}  // namespace
}  // namespace tessel::test
