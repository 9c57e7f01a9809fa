// Large files against the reference service that takes uploads in pieces: a cut connection, a
// killed client, a restarted service and a file changed between runs, for `tesseltool backup`
// and `tesseltool import`; an old service gets one PUT per stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../vximport/importtest.h"
#include "../vximport/watchtest.h"
#include "hbproperties.h"
#include "hbsvcupload.h"
#include "vxclienttask.h"

namespace tessel::test {
namespace {

constexpr int64_t kMB = 1024 * 1024;

// `mb` MiB of bytes that differ block by block (seeded by `seed`), dated an hour ago.
bool makeLarge(const std::string &path, int64_t mb, uint64_t seed) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::vector<uint64_t> block(kMB / 8);
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  bool ok = true;
  for (int64_t b = 0; ok && b < mb; ++b) {
    for (uint64_t &w : block) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      w = x;
    }
    ok = ::write(fd, block.data(), kMB) == kMB;
  }
  ::close(fd);
  const timespec t[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  return ok && utimensat(AT_FDCWD, path.c_str(), t, 0) == 0;
}

// A program in the background, its standard error in a file.
class Background {
 public:
  Background(const std::vector<std::string> &argv, const std::string &errFile) {
    m_pid = fork();
    if (m_pid == 0) {
      const int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 2);
      const int null = ::open("/dev/null", O_WRONLY);
      dup2(null, 1);
      std::vector<char *> args;
      for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Background() { kill(); }
  void kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }
  // The exit code once it ends by itself (-1 for a signal or after 120 s).
  int wait() {
    int status = 0;
    for (int i = 0; i < 1200 && waitpid(m_pid, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(m_pid, &status, WNOHANG) == 0) {
      kill();
      return -1;
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t m_pid = -1;
};

class UploadPieces : public ImportService {
 protected:
  void SetUp() override {
    ImportService::SetUp();
    HBRef<HBProperties> server;
    ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()));
    ASSERT_EQ(0,
              server->setProperty("host", ("127.0.0.1:" + std::to_string(m_svc.port())).c_str()));
    ASSERT_EQ(0, m_settings.store()->setProperty("valtoken", token()));
    m_log = m_src.file("client.log");
  }

  // All PUT body bytes the service has received since it started.
  int64_t received() {
    RunResult r = runProgram(
        {"curl", "-sS", m_svc.url() + "/admin/received?secret=" + m_svc.secret()});
    const size_t at = r.out.find("\"bytes\":");
    return at == std::string::npos ? -1 : std::stoll(r.out.substr(at + 8));
  }
  // Whether the drive's Pics/NAME is byte for byte the local file.
  bool sameOnDrive(const std::string &name) {
    HBRef<HBMap> folder = entry("Pics");
    HBRef<HBMap> f = folder ? entry(name, folder->getString("fileid")) : HBRef<HBMap>();
    if (!f) return false;
    const std::string local = m_src.file("Pics/" + name);
    return runProgram({"cmp", "-s", local, stored(f->getString("fileid"))}).exitCode == 0;
  }
  std::string log() {
    std::string s;
    readFile(m_log, &s);
    return s;
  }
  size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  std::string dir() { return m_src.file("Pics"); }
  // A companion video (a JPEG of the same name beside it): it goes up as it is.
  bool makeVideo(const std::string &stem, int64_t mb, uint64_t seed) {
    return makePhoto(dir() + "/" + stem + ".jpg", 64, 48) &&
           makeLarge(dir() + "/" + stem + ".mp4", mb, seed);
  }
  // Waits until the service has received `bytes` more than `from`.
  bool receivedAtLeast(int64_t from, int64_t bytes) {
    return eventually([&] { return received() - from >= bytes; }, 60000);
  }
  // Kills the service and starts it again on its port and data.
  void restartService() {
    const int port = m_svc.port();
    ::kill(m_svc.pid(), SIGKILL);
    m_svc.wait(5000);
    ASSERT_TRUE(m_svc.start(m_data.path(), {"--listen", "127.0.0.1:" + std::to_string(port)}));
    ASSERT_EQ(port, m_svc.port());
  }

  TempDir m_src;
  std::string m_log;
};

TEST_F(UploadPieces, ABackupGoesOnThroughACutAKillAndAChangedFile) {
  const std::string tool = binPath("tesseltool");
  ASSERT_TRUE(makeVideo("big", 1024, 1));
  ASSERT_EQ(0, runProgram({tool, "backup", "add", dir(), "--dest", driveURI()}).exitCode);

  // Cut at 60 %: taken up within the run from the service's offset, nothing sent twice.
  int64_t before = received();
  ASSERT_TRUE(m_svc.admin("upload?mode=cut&after=" + std::to_string(614 * kMB) + "&across=1"));
  RunResult r = runProgram({tool, "backup", "run", "--once", "--log", m_log});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("2 imported")) << r.err;
  EXPECT_TRUE(sameOnDrive("big.mp4"));
  EXPECT_LT(received() - before, 1100 * kMB);
  std::string l = log();
  EXPECT_NE(std::string::npos, l.find("Sending Stream '(null)' in pieces from byte 0 of 1073741824"))
      << l;
  EXPECT_NE(std::string::npos, l.find("asking the service again in 1 s (attempt 1 of 5)")) << l;
  EXPECT_EQ(std::string::npos, l.find("deleting it")) << l;

  // Killed at half way through a second video: the next run continues the same entry from
  // the service's offset, and its progress starts from what the service holds.
  ASSERT_TRUE(makeVideo("mid", 256, 2));
  before = received();
  ASSERT_TRUE(m_svc.admin("upload?mode=stall&ms=4000&after=" + std::to_string(128 * kMB) +
                          "&across=1"));
  {
    Background run({tool, "backup", "run", "--once", "--log", m_log}, m_src.file("run.err"));
    ASSERT_TRUE(receivedAtLeast(before, 128 * kMB));
    run.kill();
  }
  r = runProgram({tool, "backup", "run", "--once", "--log", m_log});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(sameOnDrive("mid.mp4"));
  EXPECT_LT(received() - before, 300 * kMB);
  l = log();
  EXPECT_NE(std::string::npos, l.find("Continuing the upload of '" + dir() + "/mid.mp4'")) << l;
  EXPECT_NE(std::string::npos, l.find("Resuming Stream '(null)' from an earlier run")) << l;
  {
    // The first share above 0 % is what the service held, not a count from the start.
    int first = 0;
    for (size_t at = r.err.find("mid.mp4 "); at != std::string::npos && first == 0;
         at = r.err.find("mid.mp4 ", at + 1))
      first = std::atoi(r.err.c_str() + at + 8);
    EXPECT_GE(first, 40) << r.err;
  }
  HBRef<HBMap> folder = entry("Pics");
  ASSERT_TRUE(folder);
  EXPECT_EQ(4u, names(folder->getString("fileid")).size());  // nothing twice

  // Killed again, then the file changed where it had already been sent (same size and time):
  // the digest tells, and the upload starts over with the new content.
  ASSERT_TRUE(makeVideo("edit", 64, 3));
  before = received();
  ASSERT_TRUE(
      m_svc.admin("upload?mode=stall&ms=4000&after=" + std::to_string(40 * kMB) + "&across=1"));
  {
    Background run({tool, "backup", "run", "--once", "--log", m_log}, m_src.file("run.err"));
    ASSERT_TRUE(receivedAtLeast(before, 40 * kMB));
    run.kill();
  }
  const std::string edit = dir() + "/edit.mp4";
  struct stat st;
  ASSERT_EQ(0, ::stat(edit.c_str(), &st));
  {
    const int fd = ::open(edit.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, pwrite(fd, "EDITS", 5, 1000));
    ::close(fd);
    const timespec t[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(0, utimensat(AT_FDCWD, edit.c_str(), t, 0));
  }
  r = runProgram({tool, "backup", "run", "--once", "--log", m_log});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(sameOnDrive("edit.mp4"));
  l = log();
  EXPECT_NE(std::string::npos, l.find("starts over at byte 0 of 67108864: the file changed since "
                                      "its first piece"))
      << l;

  // An old service: one PUT, and the file still arrives.
  ASSERT_TRUE(m_svc.admin("pieces?enabled=0"));
  ASSERT_TRUE(makeVideo("old", 16, 4));
  const size_t piecesBefore = count(log(), "in pieces from byte");
  r = runProgram({tool, "backup", "run", "--once", "--log", m_log});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(sameOnDrive("old.mp4"));
  l = log();
  EXPECT_EQ(piecesBefore, count(l, "in pieces from byte"));
  EXPECT_NE(std::string::npos, l.find("   -- Stream Content-Length: 16777216")) << l;
}

TEST_F(UploadPieces, AnImportGoesOnThroughARestartedServiceAndAKill) {
  const std::string tool = binPath("tesseltool");
  const std::string flags = std::to_string(TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS |
                                           TASK_FLAG_CHECK_EXISTING);
  const std::vector<std::string> import = {tool,    "import", dir(), "--dest", driveURI(),
                                           "--flags", flags,   "--log", m_log};
  ASSERT_TRUE(makeVideo("a", 96, 5));

  // The service killed while it holds half the file, and started again: the import waits,
  // asks, and goes on from what the restarted service kept.
  int64_t before = received();
  ASSERT_TRUE(
      m_svc.admin("upload?mode=stall&ms=20000&after=" + std::to_string(48 * kMB) + "&across=1"));
  {
    Background run(import, m_src.file("import.err"));
    ASSERT_TRUE(receivedAtLeast(before, 48 * kMB));
    restartService();
    EXPECT_EQ(0, run.wait());
  }
  EXPECT_TRUE(sameOnDrive("a.mp4"));
  // Counted since the restart: what the killed service had not made durable, not all of it.
  EXPECT_LT(received(), 80 * kMB);
  std::string l = log();
  EXPECT_NE(std::string::npos, l.find("asking the service again in")) << l;

  // Killed while sending: the next import (its records in the data folder) continues it.
  ASSERT_TRUE(makeVideo("b", 96, 6));
  before = received();
  ASSERT_TRUE(
      m_svc.admin("upload?mode=stall&ms=4000&after=" + std::to_string(48 * kMB) + "&across=1"));
  {
    Background run(import, m_src.file("import.err"));
    ASSERT_TRUE(receivedAtLeast(before, 48 * kMB));
    run.kill();
  }
  struct stat st;
  EXPECT_EQ(0, ::stat((vxclienttask__dataFolder() + "/ZVUploads_import.db").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  RunResult r = runProgram(import);
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(sameOnDrive("b.mp4"));
  EXPECT_LT(received() - before, 150 * kMB);
  l = log();
  EXPECT_NE(std::string::npos, l.find("Continuing the upload of '" + dir() + "/b.mp4'")) << l;
  HBRef<HBMap> folder = entry("Pics");
  ASSERT_TRUE(folder);
  EXPECT_EQ(4u, names(folder->getString("fileid")).size());
}

}  // namespace
}  // namespace tessel::test
