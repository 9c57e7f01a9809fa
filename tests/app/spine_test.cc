// The desktop program's start-up and quit paths, run as a real process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "appmsg.h"
#include "appplatform.h"
#include "desktoptest.h"
#include "hbproperties.h"
#include "testutil.h"
#include "zvbrowser.h"

namespace {

using tessel::test::binPath;
using tessel::test::Instance;
using tessel::test::readFile;
using tessel::test::runProgram;
using tessel::test::RunResult;
using tessel::test::TempDir;

RunResult browser(const std::vector<std::string> &options) {
  std::vector<std::string> argv{binPath("tesselutilbrowser")};
  argv.insert(argv.end(), options.begin(), options.end());
  return runProgram(argv, "", 30000);
}

class SpineTest : public tessel::test::DesktopFixture {
 protected:
  void SetUp() override {
    DesktopFixture::SetUp();
    setenv("LANG", "de_DE.UTF-8", 1);
  }
};

const char *const kStars = "**********************************************\n";

TEST_F(SpineTest, SecondStartExits123AndShutdownStopsTheFirst) {
  Instance first;
  ASSERT_TRUE(first.waitReady());

  RunResult second = browser({});
  EXPECT_EQ(ZVBROWSER_EXIT_RUNNING, second.exitCode);
  // Options that only look like the shut-down option are ignored, so these start up too.
  EXPECT_EQ(ZVBROWSER_EXIT_RUNNING, browser({"--shutdownx"}).exitCode);
  EXPECT_EQ(ZVBROWSER_EXIT_RUNNING, browser({"--SHUTDOWN", "-shutdown", "shutdown"}).exitCode);
  EXPECT_TRUE(first.running());

  RunResult stop = browser({"--shutdown"});
  EXPECT_EQ(0, stop.exitCode);
  EXPECT_EQ(0, first.waitExit());

  const std::string text = log();
  const std::string startBanner = std::string("[MAIN  ][ZVBROW][08] ") + kStars + "[";
  EXPECT_NE(std::string::npos, text.find(startBanner)) << text;
  EXPECT_NE(std::string::npos,
            text.find("[MAIN  ][ZVBROW][08] Application Started [VERSION '01.01.11.0' "
                      "'WIN64 GENERIC - 4.5.5.14']\n"));
  EXPECT_NE(std::string::npos, text.find("[MAIN  ][ZVBROW][08] Locale ID: 0x407\n"));
  // With no Server key the calls go to the local reference service.
  EXPECT_NE(std::string::npos,
            text.find("[SVCEP ][08] Service address: http://127.0.0.1:8480/svc/api\n"))
      << text;
  const size_t exit = text.find("[MAIN  ][ZVBROW][08] Application Gracefully exiting (0)...\n");
  ASSERT_NE(std::string::npos, exit) << text;
  // Two lines of stars, then two empty lines, and nothing after.
  size_t pos = exit;
  for (const char *line : {kStars, kStars, "\n", "\n"}) {
    pos = text.find("[ZVBROW][08] ", text.find('\n', pos) + 1);
    ASSERT_NE(std::string::npos, pos);
    EXPECT_EQ(line, text.substr(pos + 13, strlen(line)));
  }
  EXPECT_EQ(text.size(), pos + 14);
  // Only one instance ever wrote a banner.
  EXPECT_EQ(text.find("Application Started"), text.rfind("Application Started"));

  // The window state was saved by the shut-down command; the socket is gone.
  EXPECT_EQ("false", get(HBPROPERTIES_KEY_BROWSER, "IsHidden"));
  struct stat st;
  EXPECT_NE(0, stat(appplatform__controlPath(ZVBROWSER_CLASS_MAIN).c_str(), &st));
}

TEST_F(SpineTest, ShutdownWithNoneRunning) {
  for (const char *option : {"--shutdown", "--stop"}) {
    RunResult r = browser({"--runnonelevated-not", option, "--ignored"});
    EXPECT_EQ(0, r.exitCode) << option;
    EXPECT_EQ("", r.out);
  }
  // Nothing started, so nothing was logged.
  EXPECT_EQ("", log());
}

TEST_F(SpineTest, VersionIsPrintedWithoutADisplay) {
  const std::string display = getenv("DISPLAY");
  unsetenv("DISPLAY");
  RunResult r = browser({"--version", "--shutdown"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ("Version: 01.01.11.0 [4.5.5.14]\n", r.out);
  r = browser({"--ver", "--ver", "--stop"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ("Version: 01.01.11.0 [4.5.5.14]\nVersion: 01.01.11.0 [4.5.5.14]\n", r.out);
  // Without a display the windows cannot be made: the program says so and ends with 0.
  r = browser({});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("no display to show the windows on")) << r.err;
  // The version does not stop start-up: with an instance running, this one meets the lock.
  setenv("DISPLAY", display.c_str(), 1);
  Instance first;
  ASSERT_TRUE(first.waitReady());
  unsetenv("DISPLAY");
  r = browser({"--version"});
  setenv("DISPLAY", display.c_str(), 1);
  EXPECT_EQ(ZVBROWSER_EXIT_RUNNING, r.exitCode);
  EXPECT_EQ("Version: 01.01.11.0 [4.5.5.14]\n", r.out);
}

TEST_F(SpineTest, SessionEndOnSigterm) {
  ASSERT_EQ(0, set(HBPROPERTIES_KEY_BROWSER, "IsHidden", "true"));
  ASSERT_EQ(0, set(HBPROPERTIES_KEY_BROWSER, "valtoken", "tok"));
  Instance first;
  ASSERT_TRUE(first.waitReady());
  kill(first.pid(), SIGTERM);
  EXPECT_EQ(0, first.waitExit());
  const std::string text = log();
  EXPECT_NE(std::string::npos,
            text.find("Login->Navigate('res://tesselutilbrowser.exe/ui\\signin.html?verify=1')"));
  EXPECT_NE(std::string::npos, text.find("Application Gracefully exiting (0)...\n"));
  // A hidden start stays hidden.
  EXPECT_EQ("true", get(HBPROPERTIES_KEY_BROWSER, "IsHidden"));
  // Start-up registered the autostart entry.
  EXPECT_EQ(std::string(appplatform__installBinDir()) + "/tesselutilbrowser",
            get(HBPROPERTIES_KEY_RUN, "Orvane Tessel Hard Drive Utility"));
  struct stat st;
  EXPECT_EQ(0, stat((m_dir.path() + "/config/autostart/tesselutilbrowser.desktop").c_str(), &st));
}

TEST_F(SpineTest, ExitCommandUnregistersAutostart) {
  Instance first;
  ASSERT_TRUE(first.waitReady());
  // A message carrying a pointer must never be taken from outside.
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_OPEN_URL, 0xdeadbeef, 0));
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_COPYDATA, 1, 0, "n::s::d", 7));
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_TRAY_COMMAND, ZVCMD_EXIT,
                                 ZVBROWSER_LPARAM_COMMAND));
  EXPECT_EQ(0, first.waitExit());
  EXPECT_NE(std::string::npos, log().find("message 1027 refused"));
  EXPECT_EQ("", get(HBPROPERTIES_KEY_RUN, "Orvane Tessel Hard Drive Utility"));
  struct stat st;
  EXPECT_NE(0, stat((m_dir.path() + "/config/autostart/tesselutilbrowser.desktop").c_str(), &st));
}

TEST_F(SpineTest, AKilledInstanceLeavesNothingInTheWay) {
  {
    Instance first;
    ASSERT_TRUE(first.waitReady());
  }  // SIGKILL: the socket file stays behind, the lock goes with the process
  EXPECT_EQ(0, browser({"--shutdown"}).exitCode);
  Instance next;
  ASSERT_TRUE(next.waitReady());
  EXPECT_EQ(0, browser({"--stop"}).exitCode);
  EXPECT_EQ(0, next.waitExit());
}

TEST_F(SpineTest, UnusableSettingsEndTheStartAfterTheWarning) {
  // The settings folder is a plain file: the database can be neither opened nor created.
  const std::string config = m_dir.path() + "/badconfig";
  ASSERT_EQ(0, mkdir(config.c_str(), 0700));
  ASSERT_TRUE(tessel::test::writeFile(config + "/Orvane Tessel Utility", "not a folder"));
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  // Without a display the warning box is written to standard error.
  const std::string display = getenv("DISPLAY");
  unsetenv("DISPLAY");
  RunResult r = browser({});
  setenv("DISPLAY", display.c_str(), 1);
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("Failed to working!: Failed to read registry entries!"));
  // The lock went with it: a normal start is possible again.
  setenv("XDG_CONFIG_HOME", (m_dir.path() + "/config").c_str(), 1);
  Instance next;
  ASSERT_TRUE(next.waitReady());
  EXPECT_EQ(0, browser({"--shutdown"}).exitCode);
  EXPECT_EQ(0, next.waitExit());
}

TEST_F(SpineTest, NoLogFileUnlessAskedFor) {
  ASSERT_EQ(0, set(HBPROPERTIES_KEY_LOGFILE, "ShowLog", "Yes"));
  Instance first;
  ASSERT_TRUE(first.waitReady());
  EXPECT_EQ(0, browser({"--shutdown"}).exitCode);
  EXPECT_EQ(0, first.waitExit());
  EXPECT_EQ("", log());
}

// Without XDG_RUNTIME_DIR the instance lock is in the user's own data folder: a lock file in a
// folder every user shares (another user's, taken first) neither stops nor fools the start.
TEST_F(SpineTest, WithoutARuntimeFolderTheLockIsTheUsersOwn) {
  const std::string runtime = getenv("XDG_RUNTIME_DIR") ? getenv("XDG_RUNTIME_DIR") : "";
  unsetenv("XDG_RUNTIME_DIR");
  const std::string shared = "/tmp/orvanetesselbrowser-" + std::to_string(getuid()) + ".lock";
  const int squatter = open(shared.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  const bool held = squatter >= 0 && flock(squatter, LOCK_EX | LOCK_NB) == 0;
  {
    Instance first;
    EXPECT_TRUE(first.waitReady()) << first.err();
    const char *data = getenv("XDG_DATA_HOME");
    struct stat st;
    ASSERT_TRUE(data);
    ASSERT_EQ(0, stat((std::string(data) + "/Orvane Tessel Utility/orvanetesselbrowser.lock").c_str(),
                      &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(ZVBROWSER_EXIT_RUNNING, browser({}).exitCode);
    EXPECT_EQ(0, browser({"--shutdown"}).exitCode);
    EXPECT_EQ(0, first.waitExit());
  }
  if (squatter >= 0) {
    if (held) unlink(shared.c_str());
    close(squatter);
  }
  if (!runtime.empty()) setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
}

}  // namespace
