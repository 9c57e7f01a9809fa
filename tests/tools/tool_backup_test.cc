// tesseltool backup against the reference service: a folder kept on the drive through runs,
// restarts, a lost or damaged file map, new photos while it runs and a service that dies.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../vximport/importtest.h"
#include "../vximport/watchtest.h"
#include "hbproperties.h"
#include "vxfilemap.h"

namespace tessel::test {
namespace {

// `tesseltool backup run` in the background, its standard error in a file.
class BackgroundRun {
 public:
  BackgroundRun(const std::string &errFile, const std::vector<std::string> &env,
                const std::vector<std::string> &args = {})
      : m_errFile(errFile) {
    const std::string tool = binPath("tesseltool");
    std::vector<const char *> argv = {tool.c_str(), "backup", "run"};
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
      const int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 2);
      for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
      execv(tool.c_str(), const_cast<char **>(argv.data()));
      _exit(127);
    }
  }
  pid_t pid() const { return m_pid; }
  ~BackgroundRun() {
    if (m_pid > 0) stop();
  }
  std::string err() const {
    std::string s;
    readFile(m_errFile, &s);
    return s;
  }
  // Waits for `text` to appear in standard error after `from` bytes; its end, or npos.
  size_t waitFor(const std::string &text, size_t from = 0, int ms = 30000) {
    size_t at = std::string::npos;
    eventually(
        [&] {
          const std::string s = err();
          at = s.size() > from ? s.find(text, from) : std::string::npos;
          return at != std::string::npos;
        },
        ms);
    return at == std::string::npos ? at : at + text.size();
  }
  // SIGTERM; the exit code (-1 for a signal or a hang).
  int stop() {
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300 && waitpid(m_pid, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(m_pid, &status, WNOHANG) == 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &status, 0);
      status = -1;
    }
    m_pid = -1;
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string m_errFile;
  pid_t m_pid = -1;
};

// The text of "NAME": "VALUE" in a line of JSON.
std::string jsonField(const std::string &s, const std::string &name) {
  const size_t p = s.find("\"" + name + "\": \"");
  if (p == std::string::npos) return "";
  const size_t from = p + name.size() + 5;
  return s.substr(from, s.find('"', from) - from);
}

class ToolBackup : public ImportService {
 protected:
  void SetUp() override {
    ImportService::SetUp();
    HBRef<HBProperties> server;
    ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()));
    ASSERT_EQ(0,
              server->setProperty("host", ("127.0.0.1:" + std::to_string(m_svc.port())).c_str()));
    ASSERT_EQ(0, m_settings.store()->setProperty("valtoken", token()));
  }

  RunResult backup(std::vector<std::string> args) {
    args.insert(args.begin(), {binPath("tesseltool"), "backup"});
    return runProgram(args);
  }
  // The sorted names in the drive folder "Pics".
  std::vector<std::string> pics() {
    HBRef<HBMap> folder = entry("Pics");
    std::vector<std::string> n =
        folder ? names(folder->getString("fileid")) : std::vector<std::string>{};
    std::sort(n.begin(), n.end());
    return n;
  }
  // Whether the drive's copy of Pics/NAME holds the local file's bytes.
  bool sameOnDrive(const std::string &dir, const std::string &name) {
    HBRef<HBMap> folder = entry("Pics");
    HBRef<HBMap> f = folder ? entry(name, folder->getString("fileid")) : HBRef<HBMap>();
    std::string local;
    return f && readFile(dir + "/" + name, &local) && download(f->getString("fileid")) == local;
  }
};

TEST_F(ToolBackup, KeepsAFolderOnTheDriveThroughRestartsLostMapsAndAServiceThatDies) {
  TempDir src;
  const std::string dir = src.file("Pics");
  for (const char *n : {"/a.jpg", "/b.jpg", "/sub/c.jpg"}) ASSERT_TRUE(makePhoto(dir + n, 64, 48));

  // add: a saved source and auto-import; the same folder to the same drive once only.
  RunResult r = backup({"add", dir, "--dest", driveURI()});
  ASSERT_EQ(0, r.exitCode) << r.err;
  const std::string id = jsonField(r.out, "taskid");
  ASSERT_EQ(32u, id.size()) << r.out;
  EXPECT_EQ(1, backup({"add", dir, "--dest", driveURI()}).exitCode);
  EXPECT_EQ(1, backup({"add", dir + "/a.jpg", "--dest", driveURI()}).exitCode);
  EXPECT_EQ(64, backup({"add", dir, "--dest", "http://x"}).exitCode);
  r = backup({"list"});
  EXPECT_NE(std::string::npos, r.out.find("\"taskid\": \"" + id + "\", \"state\": \"pending\""));
  EXPECT_NE(std::string::npos, r.out.find("\"lastRun\": null"));

  // A first run takes everything; a restart takes nothing.
  r = backup({"run", "--once"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("run 1 ended finished: 3 imported")) << r.err;
  EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg", "sub"}), pics());
  r = backup({"run", "--once"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("0 imported, 3 unchanged")) << r.err;

  // The map lost: the drive is checked and nothing goes up twice.
  std::string map;
  ASSERT_EQ(0, VXFileMap::pathFor(id.c_str(), &map));
  ASSERT_EQ(0, unlink(map.c_str()));
  r = backup({"run", "--once"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg", "sub"}), pics());

  // A damaged map: reported, kept as it is, nothing imported, exit 1.
  std::string good;
  ASSERT_TRUE(readFile(map, &good));
  ASSERT_TRUE(writeFile(map, std::string(4096, 'z')));
  ASSERT_TRUE(makePhoto(dir + "/d.jpg", 64, 48));
  r = backup({"run", "--once"});
  EXPECT_EQ(1, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("  failed: file://" + map.substr(0, 5))) << r.err;
  std::string bad;
  ASSERT_TRUE(readFile(map, &bad));
  EXPECT_EQ(std::string(4096, 'z'), bad);
  EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg", "sub"}), pics());
  ASSERT_TRUE(writeFile(map, good));

  // Running: new photos reach the drive soon after the last write (the quiet time shortened
  // from 30 s to 1 s for the test).
  BackgroundRun run(src.file("run.err"), {"TESSEL_TEST_QUIET_MS=1000"});
  size_t at = run.waitFor("run 1 ended finished: 1 imported");
  ASSERT_NE(std::string::npos, at) << run.err();
  // Made beside and moved in, so that they arrive together.
  auto moveIn = [&](std::vector<std::string> names) {
    for (const std::string &n : names) ASSERT_TRUE(makePhoto(src.file("staging/" + n), 64, 48));
    for (const std::string &n : names)
      ASSERT_EQ(0, rename(src.file("staging/" + n).c_str(), (dir + "/" + n).c_str()));
  };
  moveIn({"e.jpg", "f.jpg", "sub/g.jpg"});
  const auto written = std::chrono::steady_clock::now();
  at = run.waitFor("run 2 ended finished: 3 imported", at);
  ASSERT_NE(std::string::npos, at) << run.err();
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - written).count();
  EXPECT_LT(secs, 11.0) << "quiet time 1 s + the run";
  EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg", "d.jpg", "e.jpg", "f.jpg", "sub"}), pics());

  // The service killed in the middle of an upload and started again: after the next run every
  // photo is there once, whole.
  ASSERT_TRUE(m_svc.admin("upload?mode=stall&after=10&ms=20000&count=1"));
  moveIn({"h.jpg", "i.jpg"});
  at = run.waitFor("] running", at);
  ASSERT_NE(std::string::npos, at) << run.err();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(m_svc.pid(), SIGKILL);
  m_svc.wait(5000);
  at = run.waitFor("run 3 ended finished", at);
  ASSERT_NE(std::string::npos, at) << run.err();
  ASSERT_TRUE(
      m_svc.start(m_data.path(), {"--listen", "127.0.0.1:" + std::to_string(m_svc.port())}));
  ASSERT_TRUE(writeFile(dir + "/poke.txt", "a change"));
  at = run.waitFor("run 4 ended finished", at);
  ASSERT_NE(std::string::npos, at) << run.err();
  EXPECT_NE(std::string::npos, run.err().find(" 0 failed", at - 40)) << run.err();
  EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg", "d.jpg", "e.jpg", "f.jpg", "h.jpg", "i.jpg",
                                      "sub"}),
            pics());
  for (const char *n : {"a.jpg", "d.jpg", "h.jpg", "i.jpg"}) EXPECT_TRUE(sameOnDrive(dir, n)) << n;

  // SIGTERM stops it in order: saved, still there for the next start.
  EXPECT_EQ(0, run.stop()) << run.err();
  EXPECT_NE(std::string::npos, run.err().find("tesseltool backup: stopping"));
  r = backup({"list"});
  EXPECT_NE(std::string::npos, r.out.find("\"state\": \"finished\"")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\"runs\":\"4\"")) << r.out;
}

TEST_F(ToolBackup, OneRunnerAtATimeAndWhatABackupLeavesOut) {
  TempDir src;
  const std::string dir = src.file("Pics");
  ASSERT_TRUE(makePhoto(dir + "/a.jpg", 64, 48));
  for (const char *n : {"/notes.txt", "/b.txt", "/doc.pdf", "/.hidden"})
    ASSERT_TRUE(writeFile(dir + n, "not a photo"));
  RunResult r = backup({"add", dir, "--dest", driveURI(), "--no-videos"});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("\"videos\": false")) << r.out;
  r = backup({"list"});
  EXPECT_NE(std::string::npos, r.out.find("\"videos\": false")) << r.out;

  // What is left out is said, kind by kind.
  BackgroundRun first(src.file("first.err"), {});
  size_t at = first.waitFor(
      "run 1 ended finished: 1 imported, 3 left out: .txt \u00d72, .pdf \u00d71; 1 unchanged or "
      "skipped, 0 failed");
  ASSERT_NE(std::string::npos, at) << first.err();

  // A second runner says who has the backups and goes, or waits for them with --wait.
  r = backup({"run", "--once"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("Backups are being run by another program (pid " +
                                          std::to_string(first.pid()) + ")"))
      << r.err;
  BackgroundRun waiter(src.file("waiter.err"), {}, {"--wait"});
  ASSERT_NE(std::string::npos, waiter.waitFor("waiting for it to stop")) << waiter.err();
  EXPECT_EQ(std::string::npos, waiter.err().find("run 1 ended"));
  EXPECT_EQ(0, first.stop()) << first.err();
  ASSERT_NE(std::string::npos, waiter.waitFor("run 1 ended finished: 0 imported, 3 left out"))
      << waiter.err();
  EXPECT_EQ(0, waiter.stop()) << waiter.err();
  EXPECT_EQ((std::vector<std::string>{"a.jpg"}), pics());

  r = backup({"list"});
  EXPECT_NE(std::string::npos, r.out.find("\"leftout\":\"3\"")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(".txt \u00d72, .pdf \u00d71")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\"nextretry\":\"0\"")) << r.out;
}

}  // namespace
}  // namespace tessel::test
