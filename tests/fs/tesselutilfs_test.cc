// The drive helper mounted for real against the reference service on loopback, used with the
// tools people use (ls, stat, cat, cp, mkdir, rm, mv, dd): files in and out byte for byte, large
// folders, concurrent readers, a drive that goes offline, away or stalls (and a Ctrl-C on a call
// waiting on it), a full cache, and every way the helper is told to go (1124, SIGTERM, the
// program's end) or dies. Skipped where FUSE cannot be used.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "hbhttpconnpool.h"
#include "hbmap.h"
#include "hbrpc.h"
#include "hbsvcmethods.h"
#include "hburl.h"
#include "tfstest.h"

namespace tessel::test {
namespace {

std::string randomBytes(size_t n) {
  std::string s(n, '\0');
  for (size_t off = 0; off < n; off += 1 << 20)
    RAND_bytes(reinterpret_cast<unsigned char *>(&s[off]),
               static_cast<int>(std::min<size_t>(1 << 20, n - off)));
  return s;
}

bool writeBig(const std::string &path, size_t bytes, std::string *content) {
  *content = randomBytes(bytes);
  return writeFile(path, *content);
}

class MountedDrive : public testing::Test {
 protected:
  void SetUp() override {
    TESSEL_REQUIRE_FUSE();
    ASSERT_TRUE(addSvcUser(m_data.path(), "alice", "pw", {}, &m_user));
    ASSERT_TRUE(m_svc.start(m_data.path()));
    HBRef<HBProperties> server;
    ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()));
    ASSERT_EQ(0,
              server->setProperty("host", ("127.0.0.1:" + std::to_string(m_svc.port())).c_str()));
    HBRef<HBProperties> log;
    ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_LOGFILE, HBPROPERTIES_CREATE, log.out()));
    ASSERT_EQ(0, log->setProperty("ShowLog", "yes"));
    setDriveSetting("drive.mountroot", m_dir.path() + "/Tessel");
    setDriveSetting("drive.cachemb", "");
    m_point = m_dir.path() + "/Tessel/H";
    ASSERT_NO_FATAL_FAILURE(startHelper());
    ASSERT_TRUE(hburl__parse(m_url.out(), (m_svc.url() + "/svc/api").c_str()) == 0);
    ASSERT_EQ(0, hbhttpconnpool__create(m_pool.out()));
  }

  void TearDown() override {
    m_helper.stop();
    if (mounted(m_point) || deadMount(m_point)) runProgram({"fusermount3", "-u", "-z", m_point});
    // The settings opened above leave the default store behind; it must not outlive the test.
    hbproperties__setDefault(nullptr);
  }

  void startHelper(const std::string &letter = "H") {
    ASSERT_TRUE(m_helper.start({"-l", letter, "--valtoken", "-", "--volname", "Photos", "--device",
                                m_user.device, "--service", m_user.service},
                               m_user.token, m_dir.path() + "/helper.err"));
    ASSERT_TRUE(waitFor([&] { return mounted(m_point) || !m_helper.running(); }));
    ASSERT_TRUE(mounted(m_point)) << errText();
  }

  std::string errText() {
    std::string t;
    readFile(m_dir.path() + "/helper.err", &t);
    return t;
  }

  std::string at(const std::string &rel) { return m_point + "/" + rel; }

  // The helper's log file (ShowLog is "yes").
  std::string helperLog() {
    const char *data = getenv("XDG_DATA_HOME");
    std::string t;
    readFile(std::string(data ? data : "") + "/Orvane Tessel Utility/tesselutilfs.log", &t);
    return t;
  }

  RunResult run(const std::vector<std::string> &argv) { return runProgram(argv, "", 300000); }

  // The record of a file or folder on the service by its path, or empty.
  HBRef<HBMap> serviceFile(const std::string &path) {
    HBRef<HBRPCGeneric> rpc;
    EXPECT_EQ(0, HBRPCGeneric::create(m_url.get(), m_pool.get(), rpc));
    if (hbsvc__getFileByName(rpc.get(), m_user.token.c_str(), m_user.device.c_str(),
                             m_user.service.c_str(), "0", path.c_str(), nullptr) < 0)
      return HBRef<HBMap>();
    return HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
  }

  // The names in a folder of the service.
  std::vector<std::string> serviceNames(const std::string &folderId) {
    std::vector<std::string> names;
    HBRef<HBRPCGeneric> rpc;
    EXPECT_EQ(0, HBRPCGeneric::create(m_url.get(), m_pool.get(), rpc));
    for (int page = 0;; ++page) {
      EXPECT_EQ(0, hbsvc__listFiles(rpc.get(), m_user.token.c_str(), m_user.device.c_str(),
                                    m_user.service.c_str(), folderId.c_str(),
                                    std::to_string(page).c_str()));
      HBRef<IHBIter> it = HBRef<IHBIter>::adopt(rpc->getArgmentIterator("files"));
      int n = 0;
      for (; it; ++n) {
        hbtype_t t = HBIFC_MAP;
        void *item = nullptr;
        if (it->next(&t, &item) != 0) break;
        HBRef<IHBMap> f = HBRef<IHBMap>::adopt(static_cast<IHBMap *>(item));
        names.push_back(f->getString("name"));
      }
      if (n < 500) break;
    }
    return names;
  }

  std::string mkFile(const std::string &parent, const std::string &name) {
    HBRef<HBRPCGeneric> rpc;
    EXPECT_EQ(0, HBRPCGeneric::create(m_url.get(), m_pool.get(), rpc));
    const char *fields[] = {"type", "0", "size", "0", nullptr};
    EXPECT_EQ(0, hbsvc__createFile(rpc.get(), m_user.token.c_str(), m_user.device.c_str(),
                                   m_user.service.c_str(), parent.c_str(), name.c_str(), fields));
    HBRef<HBMap> f = HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
    return f ? f->getString("fileid") : "";
  }

  TempDir m_dir, m_data;
  SvcProcess m_svc;
  SvcUser m_user;
  Helper m_helper;
  std::string m_point;
  HBRef<IHBURL> m_url;
  HBRef<IHBHTTPConnPool> m_pool;
};

TEST_F(MountedDrive, FilesGoInAndOutByteForByte) {
  // The root: the marker and nothing else; the token on no command line.
  RunResult ls = run({"ls", "-a", m_point});
  EXPECT_EQ(".\n..\n.com.orvane.TesselDrive\n", ls.out) << ls.err;
  EXPECT_FALSE(onSomeCommandLine(m_user.token));

  // In: a folder, an empty file, a small one, 200 MB.
  const std::string local = m_dir.path() + "/local";
  ASSERT_EQ(0, mkdir(local.c_str(), 0700));
  std::string big, small = "hello drive\n";
  ASSERT_TRUE(writeBig(local + "/big.bin", 200u << 20, &big));
  ASSERT_TRUE(writeFile(local + "/small.txt", small));
  ASSERT_TRUE(writeFile(local + "/empty", ""));
  EXPECT_EQ(0, run({"mkdir", at("Docs")}).exitCode);
  for (const char *f : {"big.bin", "small.txt", "empty"})
    EXPECT_EQ(0, run({"cp", local + "/" + f, at("Docs/")}).exitCode) << f;
  RunResult st = run({"stat", "-c", "%s %F", at("Docs/big.bin"), at("Docs/empty"), at("Docs")});
  EXPECT_EQ("209715200 regular file\n0 regular empty file\n0 directory\n", st.out) << st.err;
  // The service has each file whole under its name, and nothing half uploaded.
  HBRef<HBMap> rec = serviceFile("Docs/big.bin");
  ASSERT_TRUE(rec);
  EXPECT_STREQ("209715200", rec->getString("size"));
  rec = serviceFile("Docs/empty");
  ASSERT_TRUE(rec);
  EXPECT_STREQ("0", rec->getString("size"));
  const std::string docs = serviceFile("Docs")->getString("fileid");
  std::vector<std::string> names = serviceNames(docs);
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"big.bin", "empty", "small.txt"}), names);

  // Out again, byte for byte (read from the service, then from the cache).
  EXPECT_EQ(small, run({"cat", at("Docs/small.txt")}).out);
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_EQ(0, run({"cp", at("Docs/big.bin"), local + "/back.bin"}).exitCode);
    EXPECT_EQ(0, run({"cmp", local + "/big.bin", local + "/back.bin"}).exitCode) << pass;
  }

  // Renames and moves, replacing a file; what cannot be done says why.
  EXPECT_EQ(0, run({"mv", at("Docs/small.txt"), at("Docs/notes.txt")}).exitCode);
  EXPECT_EQ(0, run({"mkdir", at("Archive")}).exitCode);
  EXPECT_EQ(0, run({"mv", at("Docs/notes.txt"), at("Archive/")}).exitCode);
  ASSERT_TRUE(writeFile(local + "/other.txt", "replaced"));
  EXPECT_EQ(0, run({"cp", local + "/other.txt", at("Archive/x.txt")}).exitCode);
  EXPECT_EQ(0, run({"mv", at("Archive/x.txt"), at("Archive/notes.txt")}).exitCode);
  EXPECT_EQ("replaced", run({"cat", at("Archive/notes.txt")}).out);
  // A replacing move the service refuses loses neither file.
  ASSERT_TRUE(writeFile(local + "/third.txt", "third"));
  EXPECT_EQ(0, run({"cp", local + "/third.txt", at("Archive/y.txt")}).exitCode);
  ASSERT_TRUE(m_svc.admin("fail?count=1&method=moveFile"));
  EXPECT_NE(0, run({"mv", at("Archive/y.txt"), at("Archive/notes.txt")}).exitCode);
  EXPECT_EQ("replaced", run({"cat", at("Archive/notes.txt")}).out);
  EXPECT_EQ("third", run({"cat", at("Archive/y.txt")}).out);
  EXPECT_EQ(0, run({"rm", at("Archive/y.txt")}).exitCode);
  // Writing over an existing file keeps its name and its new content only.
  ASSERT_TRUE(writeFile(local + "/shorter.txt", "new"));
  EXPECT_EQ(0, run({"cp", local + "/shorter.txt", at("Archive/notes.txt")}).exitCode);
  EXPECT_EQ("new", run({"cat", at("Archive/notes.txt")}).out);
  EXPECT_EQ(0, run({"sh", "-c", "echo more >> '" + at("Archive/notes.txt") + "'"}).exitCode);
  EXPECT_EQ("newmore\n", run({"cat", at("Archive/notes.txt")}).out);
  // A save whose upload cannot take the name fails, once (the release does not send it again):
  // the old version keeps its name, and nothing is left under a hidden name.
  ASSERT_TRUE(writeFile(local + "/fourth.txt", "fourth"));
  ASSERT_TRUE(m_svc.admin("fail?count=1&method=moveFile&skip=1"));
  EXPECT_NE(0, run({"cp", local + "/fourth.txt", at("Archive/notes.txt")}).exitCode);
  const std::string archive = serviceFile("Archive")->getString("fileid");
  EXPECT_TRUE(waitFor([&] {
    return serviceNames(archive) == std::vector<std::string>{"notes.txt"} &&
           std::string(serviceFile("Archive/notes.txt")->getString("size")) == "8";
  })) << serviceNames(archive).size();
  EXPECT_EQ(std::vector<std::string>{"notes.txt"},
            serviceNames(serviceFile("Archive")->getString("fileid")));
  RunResult rmdir = run({"rmdir", at("Archive")});
  EXPECT_NE(0, rmdir.exitCode);
  EXPECT_NE(std::string::npos, rmdir.err.find("not empty")) << rmdir.err;
  EXPECT_NE(0, run({"rm", at(".com.orvane.TesselDrive")}).exitCode);
  EXPECT_NE(0, run({"mv", at("Docs"), at("Docs/inside")}).exitCode);

  // Deleting.
  EXPECT_EQ(0, run({"rm", at("Archive/notes.txt"), at("Docs/big.bin")}).exitCode);
  EXPECT_EQ(0, run({"rmdir", at("Archive")}).exitCode);
  EXPECT_FALSE(serviceFile("Archive"));
  EXPECT_FALSE(serviceFile("Docs/big.bin"));
  EXPECT_EQ(".com.orvane.TesselDrive\nDocs\n", run({"ls", "-A", m_point}).out);
}

TEST_F(MountedDrive, LargeFoldersAndConcurrentReaders) {
  // More entries than one listing page.
  ASSERT_EQ(0, run({"mkdir", at("Many")}).exitCode);
  const std::string many = serviceFile("Many")->getString("fileid");
  for (int i = 0; i < 1100; ++i) ASSERT_FALSE(mkFile(many, "f" + std::to_string(i)).empty());
  RunResult ls = run({"sh", "-c", "ls '" + at("Many") + "' | wc -l"});
  EXPECT_EQ("1100\n", ls.out) << ls.err;

  // Readers at once, at scattered places of one file and of several.
  std::string data;
  const std::string local = m_dir.path() + "/r.bin";
  ASSERT_TRUE(writeBig(local, 24u << 20, &data));
  for (const char *name : {"a.bin", "b.bin"}) ASSERT_EQ(0, run({"cp", local, at(name)}).exitCode);
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 6; ++t) {
    readers.emplace_back([&, t] {
      const int fd = open(at(t % 2 ? "a.bin" : "b.bin").c_str(), O_RDONLY);
      std::vector<char> buf(300000);
      for (int i = 0; i < 40; ++i) {
        const off_t off = static_cast<off_t>((static_cast<uint64_t>(t) * 7919 + i * 104729) * 4099 %
                                             (data.size() - buf.size()));
        const ssize_t n = pread(fd, buf.data(), buf.size(), off);
        if (n != static_cast<ssize_t>(buf.size()) ||
            memcmp(buf.data(), data.data() + off, buf.size()))
          ++bad;
      }
      close(fd);
    });
  }
  for (std::thread &r : readers) r.join();
  EXPECT_EQ(0, bad.load());
  EXPECT_EQ(0, run({"cmp", local, at("a.bin")}).exitCode);
}

TEST_F(MountedDrive, OfflineOrGoneDriveFailsCleanlyAndTellsTheProgram) {
  ProgramSocket program;
  ASSERT_EQ(0, run({"mkdir", at("Fresh")}).exitCode);
  ASSERT_TRUE(writeFile(m_dir.path() + "/t.txt", "text"));
  ASSERT_EQ(0, run({"cp", m_dir.path() + "/t.txt", at("Fresh/t.txt")}).exitCode);
  ASSERT_TRUE(m_svc.admin("offline?serviceid=" + m_user.service));
  // Past the listing's time-out the folder is asked again: I/O error, and the program is told.
  // (A failure met meanwhile may answer from the listing known for a moment: wait for it.)
  RunResult ls;
  EXPECT_TRUE(waitFor([&] {
    ls = run({"ls", at("Fresh")});
    return ls.exitCode != 0;
  }));
  EXPECT_NE(0, ls.exitCode);
  EXPECT_NE(std::string::npos, ls.err.find("Input/output error")) << ls.err;
  EXPECT_EQ("Photos::" + m_user.service + "::" + m_user.device, program.nextNotice(10000));
  // The marker stays, whatever the drive does.
  struct stat st;
  EXPECT_EQ(0, stat(at(".com.orvane.TesselDrive").c_str(), &st));
  ASSERT_TRUE(m_svc.admin("online?serviceid=" + m_user.service));
  // Back online, the file reads again once the failure is no longer remembered.
  EXPECT_TRUE(waitFor([&] { return run({"cat", at("Fresh/t.txt")}).out == "text"; }));

  // The service gone: calls fail at once, nothing hangs, and the mount goes on.
  m_svc.stop();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_NE(0, run({"mkdir", at("Later")}).exitCode);
  EXPECT_NE(0, run({"cp", m_dir.path() + "/t.txt", at("Fresh/new.txt")}).exitCode);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60));
  EXPECT_TRUE(mounted(m_point));
}

// At the debug level the helper logs its calls, their arguments and headers, but never the
// session token. A file the drive lists but has no content for is an I/O error, logged with its
// reason, not "No such file" for a file that ls shows.
TEST_F(MountedDrive, TheDebugLogKeepsTheTokenOutAndSaysWhyAReadFails) {
  m_helper.stop();
  ASSERT_TRUE(waitFor([&] { return !mounted(m_point); }));
  ASSERT_TRUE(m_helper.start({"-d", "-l", "H", "--valtoken", "-", "--device", m_user.device,
                              "--service", m_user.service},
                             m_user.token, m_dir.path() + "/helper.err"));
  ASSERT_TRUE(waitFor([&] { return mounted(m_point) || !m_helper.running(); }));
  ASSERT_TRUE(mounted(m_point)) << errText();
  ASSERT_TRUE(writeFile(m_dir.path() + "/t.txt", "text"));
  ASSERT_EQ(0, run({"cp", m_dir.path() + "/t.txt", at("t.txt")}).exitCode);
  EXPECT_EQ("text", run({"cat", at("t.txt")}).out);
  EXPECT_EQ(0, run({"ls", "-l", m_point}).exitCode);
  {
    HBRef<HBRPCGeneric> rpc;
    ASSERT_EQ(0, HBRPCGeneric::create(m_url.get(), m_pool.get(), rpc));
    const char *fields[] = {"type", "0", "size", "1234", nullptr};
    ASSERT_EQ(0, hbsvc__createFile(rpc.get(), m_user.token.c_str(), m_user.device.c_str(),
                                   m_user.service.c_str(), "0", "hollow.jpg", fields));
  }
  ASSERT_TRUE(waitFor([&] {
    struct stat st;
    return stat(at("hollow.jpg").c_str(), &st) == 0 && st.st_size == 1234;
  }));
  RunResult cat = run({"cat", at("hollow.jpg")});
  EXPECT_NE(0, cat.exitCode);
  EXPECT_NE(std::string::npos, cat.err.find("Input/output error")) << cat.err;
  const std::string text = helperLog();
  EXPECT_NE(std::string::npos, text.find("lists the file but has no content for it")) << text;
  EXPECT_NE(std::string::npos, text.find("'valtoken' -> 'XXXXXXXXXXXX'")) << text;
  EXPECT_EQ(std::string::npos, text.find(m_user.token)) << text;
}

// An upload the service cuts off: close(2) says so, the content is sent once (the release after
// the close does not send it again), and the hidden upload the service could not take away
// then is gone after the next start.
TEST_F(MountedDrive, AFailedUploadIsSentOnceAndLeavesNothingBehind) {
  ASSERT_TRUE(writeFile(m_dir.path() + "/u.bin", std::string(64 << 10, 'u')));
  ASSERT_TRUE(m_svc.admin("upload?mode=cut&after=1000&count=1"));
  ASSERT_TRUE(m_svc.admin("fail?method=removeFile&count=1"));
  RunResult cp = run({"cp", m_dir.path() + "/u.bin", at("u.bin")});
  EXPECT_NE(0, cp.exitCode);
  EXPECT_FALSE(serviceFile("u.bin")) << "sent again after the failed close";
  auto hidden = [&] {
    int n = 0;
    for (const std::string &name : serviceNames("0")) n += name.rfind(".tfs-upload-", 0) == 0;
    return n;
  };
  EXPECT_EQ(1, hidden());
  // The next start takes it away.
  m_helper.stop();
  ASSERT_TRUE(waitFor([&] { return !mounted(m_point); }));
  ASSERT_NO_FATAL_FAILURE(startHelper());
  EXPECT_EQ(0, hidden());
  EXPECT_EQ(0, run({"cp", m_dir.path() + "/u.bin", at("u.bin")}).exitCode);
  EXPECT_TRUE(serviceFile("u.bin"));
}

// A service that takes connections and answers nothing: the first call waits for its time-out,
// the calls after it answer at once for a moment, and once the service answers again the drive
// is back.
TEST_F(MountedDrive, AStalledServiceIsWaitedForOnce) {
  for (const char *folder : {"A", "B", "C"}) ASSERT_EQ(0, run({"mkdir", at(folder)}).exitCode);
  m_helper.stop();
  ASSERT_TRUE(waitFor([&] { return !mounted(m_point); }));
  setDriveSetting("drive.timeoutms", "1500");
  ASSERT_NO_FATAL_FAILURE(startHelper());
  ASSERT_EQ(0, kill(m_svc.pid(), SIGSTOP));
  auto timed = [&](const char *folder, double *seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    RunResult ls = run({"ls", at(folder)});
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return ls;
  };
  double first = 0, second = 0;
  RunResult ls = timed("A", &first);
  EXPECT_NE(0, ls.exitCode);
  EXPECT_NE(std::string::npos, ls.err.find("Input/output error")) << ls.err;
  ls = timed("B", &second);
  EXPECT_NE(0, ls.exitCode);
  EXPECT_GE(first, 1.0);
  EXPECT_LT(second, 1.0) << "the second call waited again";
  ASSERT_EQ(0, kill(m_svc.pid(), SIGCONT));
  EXPECT_TRUE(waitFor([&] { return run({"ls", at("C")}).exitCode == 0; }));
  setDriveSetting("drive.timeoutms", "");
}

// A program started as from a terminal (SIGINT at its default action, nothing blocked), its
// output thrown away.
pid_t spawnQuiet(const std::vector<std::string> &args) {
  std::vector<std::string> copy = args;
  std::vector<char *> argv;
  for (std::string &a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, deflt;
  sigemptyset(&none);
  sigemptyset(&deflt);
  sigaddset(&deflt, SIGINT);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &deflt);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  return pid;
}

// The process sleeps in a call to a FUSE file system, waiting for its answer. A kernel that hides
// where processes sleep ("0") leaves only their state to go by: asleep.
bool waitsOnFuse(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::string wchan, stat;
  readFile(proc + "/wchan", &wchan);
  if (wchan.find("fuse") != std::string::npos ||
      wchan.find("request_wait_answer") != std::string::npos)
    return true;
  if (!wchan.empty() && wchan != "0") return false;
  readFile(proc + "/stat", &stat);
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() &&
         (stat[paren + 2] == 'S' || stat[paren + 2] == 'D');
}

// Ctrl-C on a program waiting on a stalled service: ls (the listing of its folder), cat (the
// look-up of its file, in a folder not listed yet) and dd with direct reads (a download of the
// content) each end at once, not after the service's time-out. An interrupt is no failure of the
// drive: nothing of it is remembered, the first call once the service answers again goes
// through, and what the drive lists and reads is right (the connections left half-read are
// closed, not used again).
TEST_F(MountedDrive, CtrlCEndsACallWaitingOnAStalledService) {
  std::map<std::string, std::string> content;
  for (const char *name : {"L/l.bin", "C/c.bin", "D/d.bin"}) {
    const std::string folder = std::string(name).substr(0, 1);
    ASSERT_EQ(0, run({"mkdir", at(folder)}).exitCode);
    const std::string local = m_dir.path() + "/" + folder + ".bin";
    ASSERT_TRUE(writeBig(local, 3u << 20, &content[name]));
    ASSERT_EQ(0, run({"cp", local, at(name)}).exitCode);
  }
  // A new helper, whose calls would wait a minute on the stalled service, knows none of the
  // folders' listings but the one of dd's file, so that dd gets as far as reading.
  m_helper.stop();
  ASSERT_TRUE(waitFor([&] { return !mounted(m_point); }));
  setDriveSetting("drive.timeoutms", "60000");
  ASSERT_NO_FATAL_FAILURE(startHelper());
  struct stat st;
  ASSERT_EQ(0, stat(at("D/d.bin").c_str(), &st));
  ASSERT_EQ(0, kill(m_svc.pid(), SIGSTOP));
  std::vector<pid_t> pids = {
      spawnQuiet({"ls", at("L")}), spawnQuiet({"cat", at("C/c.bin")}),
      spawnQuiet({"dd", "if=" + at("D/d.bin"), "of=/dev/null", "bs=64k", "iflag=direct"})};
  // Whatever happens, the service goes on and no program is left behind.
  struct Cleanup {
    std::vector<pid_t> &pids;
    pid_t svc;
    ~Cleanup() {
      kill(svc, SIGCONT);
      for (pid_t &p : pids)
        if (p > 0) kill(p, SIGKILL), waitpid(p, nullptr, 0), p = -1;
      setDriveSetting("drive.timeoutms", "");
    }
  } cleanup{pids, m_svc.pid()};
  const char *what[] = {"ls", "cat", "dd"};
  for (size_t i = 0; i < pids.size(); ++i) {
    ASSERT_GT(pids[i], 0) << what[i];
    ASSERT_TRUE(waitFor([&] { return waitsOnFuse(pids[i]); }, 20000)) << what[i];
  }
  for (size_t i = 0; i < pids.size(); ++i) {
    ASSERT_EQ(0, kill(pids[i], SIGINT));
    int status = 0;
    // Well within the minute the service's stall would hold it.
    const bool ended =
        waitFor([&] { return waitpid(pids[i], &status, WNOHANG) == pids[i]; }, 10000);
    EXPECT_TRUE(ended) << what[i] << " still waits after Ctrl-C";
    if (!ended) continue;
    pids[i] = -1;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << what[i] << " " << status;
  }
  ASSERT_EQ(0, kill(m_svc.pid(), SIGCONT));
  // The first call after it reads the content, on no connection that a given-up call left.
  EXPECT_EQ(0, run({"cmp", m_dir.path() + "/D.bin", at("D/d.bin")}).exitCode);
  RunResult ls = run({"ls", at("L")});
  EXPECT_EQ("l.bin\n", ls.out) << ls.err;
  EXPECT_TRUE(run({"cat", at("C/c.bin")}).out == content["C/c.bin"]);
}

// Each drive keeps its content in a cache folder of its own: a helper starting for one drive
// leaves alone what a helper of another drive is filling.
TEST_F(MountedDrive, EachDriveHasItsOwnCacheFolder) {
  const char *cacheHome = getenv("XDG_CACHE_HOME");
  ASSERT_TRUE(cacheHome);
  const std::string base = std::string(cacheHome) + "/Orvane Tessel Utility/tesselutilfs";
  const std::string other = base + "/Dother-Sother";
  ASSERT_EQ(0, run({"mkdir", "-p", other}).exitCode);
  ASSERT_TRUE(writeFile(other + "/k1.part", "being filled"));
  ASSERT_TRUE(writeFile(m_dir.path() + "/c.txt", "cached"));
  ASSERT_EQ(0, run({"cp", m_dir.path() + "/c.txt", at("c.txt")}).exitCode);
  m_helper.stop();
  ASSERT_TRUE(waitFor([&] { return !mounted(m_point); }));
  ASSERT_NO_FATAL_FAILURE(startHelper());
  EXPECT_EQ("cached", run({"cat", at("c.txt")}).out);
  std::string piece;
  EXPECT_TRUE(readFile(other + "/k1.part", &piece));
  RunResult mine = run({"ls", base + "/" + m_user.device + "-" + m_user.service});
  EXPECT_EQ(0, mine.exitCode) << mine.err;
  EXPECT_NE("", mine.out);
}

TEST_F(MountedDrive, QuitKillAndAFullCache) {
  const std::string socket =
      tfsctl__runtimeDir() + "/" TFS_CONTROL_CLASS "-" + std::to_string(m_helper.pid());
  struct stat st;
  EXPECT_EQ(0, stat(socket.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  // 1124 while a file is being copied in: the helper waits for the copy to end and uploads it
  // before it goes.
  const int copy = open(at("late.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(copy, 0) << strerror(errno);
  const std::string piece(256 << 10, 'q');
  ASSERT_EQ(static_cast<ssize_t>(piece.size()), write(copy, piece.data(), piece.size()));
  ASSERT_TRUE(m_helper.quit());
  ASSERT_TRUE(waitFor([&] { return helperLog().find("Asked to quit") != std::string::npos; }))
      << helperLog();
  EXPECT_EQ(static_cast<ssize_t>(piece.size()), write(copy, piece.data(), piece.size()))
      << strerror(errno);
  EXPECT_EQ(0, close(copy)) << strerror(errno);
  // 1124 on the control endpoint: unmounted, gone, its socket and folder too.
  EXPECT_EQ(0, m_helper.waitExit());
  HBRef<HBMap> late = serviceFile("late.bin");
  ASSERT_TRUE(late);
  EXPECT_STREQ("524288", late->getString("size"));
  EXPECT_FALSE(mounted(m_point));
  EXPECT_NE(0, stat(socket.c_str(), &st));
  EXPECT_NE(0, stat(m_point.c_str(), &st));
  // SIGTERM, and the end of standard input (the program that started it is gone).
  for (int way = 0; way < 2; ++way) {
    ASSERT_NO_FATAL_FAILURE(startHelper());
    if (way == 0)
      m_helper.signal(SIGTERM);
    else
      m_helper.closeStdin();
    EXPECT_EQ(0, m_helper.waitExit()) << way;
    EXPECT_FALSE(mounted(m_point)) << way;
  }
  // The end of standard input is said on standard error, for whoever gave the token by a pipe.
  EXPECT_NE(std::string::npos,
            errText().find("tesselutilfs: quitting: its standard input ended (the program that "
                           "started it is gone)"))
      << errText();
  // Killed: a dead mount point, which the next helper on that letter clears.
  ASSERT_NO_FATAL_FAILURE(startHelper());
  m_helper.signal(SIGKILL);
  m_helper.waitExit();
  EXPECT_TRUE(deadMount(m_point));
  // A cache of 1 MiB: a file on the drive larger than that is read straight from the service,
  // and one of 3 MiB is copied in all the same (what is written is not the read cache's).
  std::string data;
  ASSERT_TRUE(writeBig(m_dir.path() + "/3m.bin", 3u << 20, &data));
  const std::string id = mkFile("0", "big.bin");
  RunResult put = run(
      {"curl", "-sS", "-f", "-T", m_dir.path() + "/3m.bin", "-H", "X-VXVALTOKEN: " + m_user.token,
       m_svc.url() + "/svc/files/" + m_user.device + "/" + m_user.service + "/" + id});
  ASSERT_EQ(0, put.exitCode) << put.err;
  setDriveSetting("drive.cachemb", "1");
  ASSERT_NO_FATAL_FAILURE(startHelper());
  EXPECT_FALSE(deadMount(m_point));
  EXPECT_EQ(0, run({"cmp", m_dir.path() + "/3m.bin", at("big.bin")}).exitCode);
  RunResult cp = run({"cp", m_dir.path() + "/3m.bin", at("3m.bin")});
  EXPECT_EQ(0, cp.exitCode) << cp.err;
  HBRef<HBMap> copied = serviceFile("3m.bin");
  ASSERT_TRUE(copied);
  EXPECT_STREQ(std::to_string(3u << 20).c_str(), copied->getString("size"));
  RunResult back = run({"curl", "-sS", "-f", "-o", m_dir.path() + "/3m.back", "-H",
                        "X-VXVALTOKEN: " + m_user.token,
                        m_svc.url() + "/svc/files/" + m_user.device + "/" + m_user.service + "/" +
                            copied->getString("fileid")});
  ASSERT_EQ(0, back.exitCode) << back.err;
  EXPECT_EQ(0, run({"cmp", m_dir.path() + "/3m.bin", m_dir.path() + "/3m.back"}).exitCode);
  ASSERT_TRUE(writeFile(m_dir.path() + "/s.txt", "small"));
  EXPECT_EQ(0, run({"cp", m_dir.path() + "/s.txt", at("s.txt")}).exitCode);
  std::vector<std::string> names = serviceNames("0");
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"3m.bin", "big.bin", "late.bin", "s.txt"}), names);
}

}  // namespace
}  // namespace tessel::test
