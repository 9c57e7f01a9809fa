// A person's whole journey as one test: a fresh home; `make run`'s script starting the service
// (with a demo account on first use) and the program under Xvfb; the sign-in through the pages;
// a folder of photos chosen and backed up; the folder taken away and given back (as a disk
// unplugged and plugged in again); the network taken away and given back; a second start
// while it runs; the program stopped and started again with the service's port taken by another
// program; the drive as a folder; a restore into an empty folder; Exit. The test runs in a network
// of its own (a namespace with the loopback and a pair of virtual interfaces), so that it can take
// the network away without touching the machine's. Where FUSE or such a network cannot be had,
// that step says so and is passed over.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "desktoptest.h"
#include "hbproperties.h"

extern char **environ;

namespace {

using tessel::test::Automation;
using tessel::test::json;
using tessel::test::readFile;
using tessel::test::sourcePath;
using tessel::test::storedFiles;
using tessel::test::waitUntil;

void note(const std::string &text) {
  std::cout << "[   NOTE   ] " << text << "\n";
}

// scripts/run.sh (what `make run` runs after building) in a process group of its own, its output
// in a file; the whole group is killed if the test leaves it running.
class RunScript {
 public:
  RunScript(const std::string &outPath, const std::vector<std::string> &programOptions)
      : m_out(outPath) {
    std::vector<std::string> args{"/bin/bash", sourcePath("scripts/run.sh"),
                                  tessel::test::binPath("")};
    args.insert(args.end(), programOptions.begin(), programOptions.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    if (posix_spawn(&m_pid, argv[0], &actions, &attr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~RunScript() {
    if (m_pid > 0) {
      kill(-m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  RunScript(const RunScript &) = delete;
  RunScript &operator=(const RunScript &) = delete;

  std::string output() const {
    std::string text;
    readFile(m_out, &text);
    return text;
  }
  // Waits (bounded) for `text` in the output.
  bool waitFor(const std::string &text) {
    return waitUntil([&] { return output().find(text) != std::string::npos; }, 60000);
  }
  void signal(int sig) { kill(m_pid, sig); }
  // Waits (bounded) for the script to end; its exit code, or -1.
  int waitExit() {
    int status = 0;
    const bool ended = waitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, 60000);
    if (!ended) return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string m_out;
  pid_t m_pid = -1;
};

// The photos (IMG_*.JPG) anywhere below `dir`, by name.
std::map<std::string, std::string> photosUnder(const std::string &dir) {
  std::map<std::string, std::string> found;
  tessel::test::RunResult r = tessel::test::runProgram({"find", dir, "-name", "IMG_*.JPG"});
  std::istringstream lines(r.out);
  for (std::string path; std::getline(lines, path);) found[path.substr(path.rfind('/') + 1)] = path;
  return found;
}

bool sameFile(const std::string &a, const std::string &b) {
  std::string x, y;
  return readFile(a, &x) && readFile(b, &y) && x == y;
}

bool answers(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool up = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  close(fd);
  return up;
}

// A network namespace of the test's thread and of the processes it starts: the loopback, and a
// virtual interface with an address whose link can be taken down and brought up again.
class OwnNetwork {
 public:
  ~OwnNetwork() { leave(); }
  // Enters it; false (and why) when this machine does not allow it.
  bool enter(std::string *why) {
    m_home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (m_home < 0 || unshare(CLONE_NEWNET) != 0) {
      *why = std::string("no network namespace can be made here (") + strerror(errno) + ")";
      if (m_home >= 0) close(m_home);
      m_home = -1;
      return false;
    }
    if (!ip({"link", "set", "lo", "up"}) ||
        !ip({"link", "add", "tj0", "type", "veth", "peer", "name", "tj1"}) ||
        !ip({"addr", "add", "10.213.0.1/24", "dev", "tj0"}) || !ip({"link", "set", "tj1", "up"}) ||
        !link(true)) {
      *why = "the test's network could not be set up: " + m_error;
      leave();
      return false;
    }
    return true;
  }
  bool link(bool up) { return ip({"link", "set", "tj0", up ? "up" : "down"}); }

 private:
  bool ip(std::vector<std::string> args) {
    for (const char *path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
      if (access(path, X_OK) != 0) continue;
      args.insert(args.begin(), path);
      tessel::test::RunResult r = tessel::test::runProgram(args, "", 10000);
      m_error = r.err;
      return r.exitCode == 0;
    }
    m_error = "ip (Debian package iproute2) is not installed";
    return false;
  }
  void leave() {
    if (m_home < 0) return;
    setns(m_home, CLONE_NEWNET);  // the namespace goes with its last process
    close(m_home);
    m_home = -1;
  }

  int m_home = -1;
  std::string m_error;
};

class JourneyTest : public tessel::test::DesktopFixture {
 protected:
  void SetUp() override {
    m_network = m_net.enter(&m_networkWhy);
    ASSERT_NO_FATAL_FAILURE(DesktopFixture::SetUp());
    if (IsSkipped()) return;
    m_port = tessel::test::freeLoopbackPort();
    setenv("TESSEL_PORT", std::to_string(m_port).c_str(), 1);
    m_socket = m_runtime.path() + "/automation";
  }
  void TearDown() override {
    unsetenv("TESSEL_PORT");
    DesktopFixture::TearDown();
  }

  // Starts the script with the program's automation socket, and connects to it.
  void start() {
    m_ui.reset();
    m_run = std::make_unique<RunScript>(m_dir.path() + "/run-" + std::to_string(++m_runs) + ".out",
                                        std::vector<std::string>{"--automation=" + m_socket});
    m_ui = std::make_unique<Automation>(m_socket);
    ASSERT_TRUE(m_ui->connect()) << m_run->output();
  }
  // The password the script printed for the demo account.
  std::string demoPassword() {
    const std::string marker = "sign in with the name \"demo\" and the password \"";
    EXPECT_TRUE(m_run->waitFor(marker)) << m_run->output();
    const std::string out = m_run->output();
    const size_t at = out.find(marker);
    if (at == std::string::npos) return "";
    const size_t from = at + marker.size();
    return out.substr(from, out.find('"', from) - from);
  }
  bool signedIn() { return m_ui->state().value("signedIn", false); }
  // Stored content of the drive the program chose ("DEVICE:SERVICE" in ui.hivedest).
  int onDrive(const std::string &stream = "") {
    const std::string dest = get(HBPROPERTIES_KEY_BROWSER, "ui.hivedest");
    return storedFiles(m_dir.path() + "/data/tesselsvc", dest.substr(dest.find(':') + 1), stream);
  }
  void addPhotos(const std::string &folder, int first, int count) {
    for (int i = first; i < first + count; ++i) {
      char name[32];
      snprintf(name, sizeof name, "/IMG_%04d.JPG", i);
      ASSERT_NO_FATAL_FAILURE(tessel::test::writePhoto(folder + name, static_cast<uint8_t>(i)));
    }
  }

  OwnNetwork m_net;
  bool m_network = false;
  std::string m_networkWhy;
  int m_port = 0;
  int m_runs = 0;
  std::string m_socket;
  std::unique_ptr<RunScript> m_run;
  std::unique_ptr<Automation> m_ui;
};

TEST_F(JourneyTest, FromMakeRunToExit) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the whole journey runs in the release and address-checked builds";
#endif
  // No display: one clear line, no hang, nothing started.
  {
    const std::string display = getenv("DISPLAY");
    unsetenv("DISPLAY");
    tessel::test::RunResult r = tessel::test::runProgram(
        {"/bin/bash", sourcePath("scripts/run.sh"), tessel::test::binPath("")}, "", 30000);
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("tessel: no display")) << r.err;
    EXPECT_FALSE(answers(m_port));
  }
  const std::string tool = tessel::test::binPath("tesseltool");
  const std::string photos = m_dir.path() + "/Pictures/Holiday";
  ASSERT_EQ(0, mkdir((m_dir.path() + "/Pictures").c_str(), 0700));
  ASSERT_EQ(0, mkdir(photos.c_str(), 0700));
  ASSERT_NO_FATAL_FAILURE(addPhotos(photos, 1, 50));

  // First start: the service on its port with a demo account, the program pointed at it and
  // trusting its certificate, the tour.
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string password = demoPassword();
  ASSERT_EQ(18u, password.size()) << m_run->output();
  EXPECT_NE(std::string::npos,
            m_run->output().find("tessel: drive service on 127.0.0.1:" + std::to_string(m_port)));
  EXPECT_EQ("127.0.0.1:" + std::to_string(m_port), get(HBPROPERTIES_KEY_SERVER, "host"));
  EXPECT_EQ(m_dir.path() + "/data/tesselsvc/tls.crt", get(HBPROPERTIES_KEY_SERVER, "certfile"));
  struct stat st;
  ASSERT_EQ(0, stat((m_dir.path() + "/data/tesselsvc/demo-account").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  ASSERT_TRUE(m_ui->waitPage("login", "signin.html"));
  ASSERT_TRUE(m_ui->waitFor("login", "!document.getElementById('tour').hidden"));
  m_ui->screenshot("login", "journey-login");

  // Sign-in through the pages with the demo account; the main page finds the drive.
  ASSERT_TRUE(m_ui->click("login", "#start"));
  ASSERT_NO_FATAL_FAILURE(m_ui->signInOnTheForm("demo", password, "service-signin"));
  ASSERT_TRUE(m_ui->waitFor("main", "document.getElementById('drive').dataset.state === 'ready'"));
  m_ui->screenshot("main", "main-empty");

  // The folder of photos chosen in the preferences, and its backup.
  json notice;
  ASSERT_NO_FATAL_FAILURE(notice =
                              m_ui->addFolderThroughPreferences(photos, "journey-preferences"));
  ASSERT_EQ(json(""), notice);
  const std::string drive = "ytozv://" + get(HBPROPERTIES_KEY_BROWSER, "ui.hivedest");
  // Every photo with its preview and thumbnail; ten more arrive within a minute.
  EXPECT_TRUE(waitUntil([&] { return onDrive() == 50; }, 120000)) << onDrive();
  EXPECT_TRUE(m_ui->waitFor("main", "document.querySelector('.task').dataset.kind === 'uptodate'"));
  m_ui->screenshot("main", "journey-backup");
  auto logged = [&](const std::string &text) {
    return waitUntil([&] { return log().find(text) != std::string::npos; }, 60000);
  };
  // The folder taken away and given back while the program runs, as a disk unplugged and
  // plugged in again: it is watched again, so ten more photos arrive within a minute.
  const std::string away = m_dir.path() + "/Pictures/Holiday (unplugged)";
  ASSERT_EQ(0, rename(photos.c_str(), away.c_str()));
  EXPECT_TRUE(logged("Watched folder is gone: '" + photos + "'")) << log();
  ASSERT_EQ(0, rename(away.c_str(), photos.c_str()));
  EXPECT_TRUE(logged("Watched folder is back: '" + photos + "'")) << log();
  ASSERT_NO_FATAL_FAILURE(addPhotos(photos, 51, 10));
  int photoCount = 60;
  EXPECT_TRUE(waitUntil([&] { return onDrive() == 60; }, 60000)) << onDrive();

  // The network taken away: the backup pauses and the main page says it waits for a network;
  // photos added meanwhile wait. Given back, the backup resumes and they arrive.
  if (!m_network) {
    note(m_networkWhy + ": the network is not taken away");
  } else {
    ASSERT_TRUE(m_net.link(false));
    EXPECT_TRUE(logged("Network unavailable, pausing task...")) << log();
    EXPECT_TRUE(
        m_ui->waitFor("main", "document.querySelector('.task').dataset.kind === 'offline'"));
    m_ui->screenshot("main", "journey-offline");
    ASSERT_NO_FATAL_FAILURE(addPhotos(photos, 61, 5));
    EXPECT_TRUE(logged("NOT READY TO RECEIVE FS EVENTS")) << log();
    EXPECT_EQ(60, onDrive());
    ASSERT_TRUE(m_net.link(true));
    EXPECT_TRUE(logged("Network available, unpausing task...")) << log();
    photoCount = 65;
    EXPECT_TRUE(waitUntil([&] { return onDrive() == photoCount; }, 60000)) << onDrive();
    EXPECT_TRUE(
        m_ui->waitFor("main", "document.querySelector('.task').dataset.kind === 'uptodate'"));
  }
  EXPECT_EQ(photoCount, onDrive("pv"));
  EXPECT_EQ(photoCount, onDrive("tn"));

  // A second start while it runs: it says so and ends; the first runs on.
  {
    tessel::test::RunResult second = tessel::test::runProgram(
        {"/bin/bash", sourcePath("scripts/run.sh"), tessel::test::binPath("")}, "", 60000);
    EXPECT_EQ(0, second.exitCode) << second.out << second.err;
    EXPECT_NE(std::string::npos, second.out.find("using the drive service already answering"));
    EXPECT_NE(std::string::npos, second.out.find("the program is already running"));
    EXPECT_TRUE(signedIn());
  }

  // Stopped (as at the end of the session): the program ends in order, and so does the service.
  m_run->signal(SIGTERM);
  EXPECT_EQ(0, m_run->waitExit()) << m_run->output();
  EXPECT_FALSE(answers(m_port));

  // Started again while another program holds the port: the service moves to a free port and the
  // program follows it, still signed in, with nothing sent again.
  const int squatter = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(squatter, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(m_port));
  ASSERT_EQ(0, bind(squatter, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(squatter, 8));
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_EQ(password, demoPassword());
  EXPECT_NE(std::string::npos, m_run->output().find("is taken by another program"));
  EXPECT_NE("127.0.0.1:" + std::to_string(m_port), get(HBPROPERTIES_KEY_SERVER, "host"));
  EXPECT_TRUE(waitUntil([&] { return signedIn(); }));
  ASSERT_TRUE(m_ui->waitPage("main", "browser.html"));
  EXPECT_TRUE(m_ui->waitFor("main", "document.getElementById('drive').dataset.state === 'ready'"));
  EXPECT_TRUE(m_ui->waitFor("main", "document.querySelector('.task').dataset.kind === 'uptodate'"));
  EXPECT_EQ(photoCount, onDrive());

  // The drive as a folder, a photo read through it.
  if (access(tessel::test::binPath("tesselutilfs").c_str(), X_OK) != 0) {
    note("this program has no drive helper yet: the drive is not mounted");
  } else if (access("/dev/fuse", R_OK | W_OK) != 0) {
    note("/dev/fuse cannot be used here: the drive is not mounted");
  } else {
    const std::string point = std::string(getenv("HOME")) + "/Tessel/H";
    ASSERT_TRUE(waitUntil([&] {
      return access((point + "/.com.orvane.TesselDrive").c_str(), F_OK) == 0;
    })) << log();
    const std::map<std::string, std::string> seen = photosUnder(point);
    ASSERT_EQ(1u, seen.count("IMG_0007.JPG"));
    EXPECT_TRUE(sameFile(photos + "/IMG_0007.JPG", seen.at("IMG_0007.JPG")));
  }

  // A restore of the drive into an empty folder gives every photo back as it was.
  {
    const std::string restored = m_dir.path() + "/Restored";
    tessel::test::RunResult r =
        tessel::test::runProgram({tool, "export", drive, restored}, "", 120000);
    EXPECT_EQ(0, r.exitCode) << r.err;
    const std::map<std::string, std::string> back = photosUnder(restored);
    EXPECT_EQ(static_cast<size_t>(photoCount), back.size());
    for (const auto &[name, path] : back) EXPECT_TRUE(sameFile(photos + "/" + name, path)) << name;
  }

  // Exit from the tray menu: the program, the script and the service end.
  ASSERT_TRUE(m_ui->request({{"cmd", "tray"}, {"item", 125}}).value("ok", false));
  EXPECT_EQ(0, m_run->waitExit()) << m_run->output();
  close(squatter);
  EXPECT_NE(std::string::npos, log().find("Application Gracefully exiting (0)...\n"));
}

}  // namespace
