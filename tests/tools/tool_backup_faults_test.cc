// tesseltool import killed in the middle of an upload, against the reference service: the next
// run with the existing-file check (0x80) replaces what the killed one left, and every photo is
// on the drive once, whole, under its own name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../vximport/importtest.h"
#include "../vximport/watchtest.h"
#include "hbproperties.h"
#include "vxclienttask.h"

namespace tessel::test {
namespace {

class ToolImportKilled : public ImportService {};

TEST_F(ToolImportKilled, TheNextRunReplacesWhatAKilledUploadLeftAndDoublesNothing) {
  HBRef<HBProperties> server;
  ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()));
  ASSERT_EQ(0, server->setProperty("host", ("127.0.0.1:" + std::to_string(m_svc.port())).c_str()));
  ASSERT_EQ(0, m_settings.store()->setProperty("valtoken", token()));
  TempDir src;
  const std::string dir = src.file("Pics");
  ASSERT_TRUE(makePhoto(dir + "/a.jpg", 640, 480) && makePhoto(dir + "/b.jpg", 640, 480));
  const std::string tool = binPath("tesseltool");
  const std::string flags = std::to_string(TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS |
                                           TASK_FLAG_CHECK_EXISTING);

  // The first upload is held by the service, and the tool killed while it waits: an entry
  // without its content stays behind.
  ASSERT_TRUE(m_svc.admin("upload?mode=stall&after=10&ms=3000&count=1"));
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(tool.c_str(), tool.c_str(), "import", dir.c_str(), "--dest", driveURI().c_str(),
          "--flags", flags.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  std::string left;
  const bool cut = eventually([&] {
    HBRef<HBMap> folder = entry("Pics");
    for (const char *n : {"a.jpg", "b.jpg"})
      if (folder && entry(n, folder->getString("fileid"))) left = n;
    return !left.empty();
  });
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(cut);
  // The photo is edited before the next run: what is left is of an older version.
  ASSERT_TRUE(makePhoto(dir + "/" + left, 320, 240));

  RunResult r = runProgram({tool, "import", dir, "--dest", driveURI(), "--flags", flags});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("imported 2 of 2 files")) << r.err;
  const std::string folder = entry("Pics")->getString("fileid");
  std::vector<std::string> got = names(folder);
  std::sort(got.begin(), got.end());
  EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg"}), got);
  for (const char *n : {"a.jpg", "b.jpg"}) {
    std::string local;
    ASSERT_TRUE(readFile(dir + "/" + n, &local));
    HBRef<HBMap> f = entry(n, folder);
    ASSERT_TRUE(f) << n;
    EXPECT_TRUE(download(f->getString("fileid")) == local) << n;
  }
}

}  // namespace
}  // namespace tessel::test
