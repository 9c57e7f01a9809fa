#include "brlog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "brthread.h"
#include "testutil.h"

using tessel::test::readFile;
using tessel::test::TempDir;
using tessel::test::writeFile;

namespace {

// 2023-11-14 22:13:20.123 UTC
constexpr int64_t kNow = 1700000000123;
std::atomic<int64_t> g_ticks{1000};
std::atomic<int64_t> g_now{kNow};
int64_t fakeTicks() {
  return g_ticks.load();
}
int64_t fakeNow() {
  return g_now.load();
}

class BrLog : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    brlog__resetForTest();
    g_ticks = 1000;
    g_now = kNow;
    brtime__setTicks64Source(fakeTicks);
    brtime__setClockSource(fakeNow);
    brthread__setName(brthread__self(), "MAIN");
  }
  void TearDown() override {
    brlog__resetForTest();
    brtime__setTicks64Source(nullptr);
    brtime__setClockSource(nullptr);
  }
  std::string contents(const std::string &path) {
    std::string s;
    readFile(path, &s);
    return s;
  }
  TempDir dir;
};

// Sends fd 2 into a file for its lifetime.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string &path) : m_path(path) {
    fflush(stderr);
    m_saved = dup(2);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { restore(); }
  void restore() {
    if (m_saved < 0) return;
    fflush(stderr);
    dup2(m_saved, 2);
    close(m_saved);
    m_saved = -1;
  }

 private:
  std::string m_path;
  int m_saved = -1;
};

int g_evaluated = 0;
int sideEffect() {
  return ++g_evaluated;
}

TEST_F(BrLog, NothingIsWrittenBeforeInitialisation) {
  brlog("EARLY", BRLOG_ERROR, "lost %d\n", 1);
  const std::string path = dir.file("t.log");
  hblogsink__init("tesselutilbrowser", path.c_str());
  brlog("LATE", BRLOG_ERROR, "kept\n");
  const std::string s = contents(path);
  EXPECT_EQ(s.find("lost"), std::string::npos);
  EXPECT_NE(s.find("kept"), std::string::npos);
}

TEST_F(BrLog, LongFormFieldsAndLevelFilter) {
  const std::string path = dir.file("t.log");
  hblogsink__init("tesselutilbrowser", path.c_str());
  g_evaluated = 0;
  brlog("ZVBROWSER", BRLOG_INFO, "started %s\n", "ok");
  brlog("ZVBROWSER", BRLOG_VERBOSE, "dropped %d\n", sideEffect());
  EXPECT_EQ(g_evaluated, 0) << "a dropped line evaluated its arguments";
  brlog("BHOST", BRLOG_ERROR, "short tag\n");
  brlog__setLevel(BRLOG_DEBUG5);
  brlog("SVCCACHE", BRLOG_VERBOSE, "hex level\n");
  g_now = kNow + 877;
  brlog("X", BRLOG_DEBUG5, "no line feed added");
  EXPECT_EQ(contents(path),
            "[20231114-221320.123][MAIN  ][ZVBROW][08] started ok\n"
            "[20231114-221320.123][MAIN  ][BHOST ][01] short tag\n"
            "[20231114-221320.123][MAIN  ][SVCCAC][10] hex level\n"
            "[20231114-221321.000][MAIN  ][X     ][24] no line feed added");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(BrLog, ThreadNamesLongAndUnnamed) {
  const std::string path = dir.file("t.log");
  hblogsink__init("p", path.c_str());
  std::thread([] {
    brthread__setName(brthread__self(), "SVCCACHE");
    brlog("T", BRLOG_INFO, "named\n");
  }).join();
  uint64_t tid = 0;
  std::thread([&] {
    tid = brthread__id(brthread__self());
    brlog("T", BRLOG_INFO, "unnamed\n");
  }).join();
  const std::string s = contents(path);
  EXPECT_NE(s.find("[SVCCAC][T     ][08] named\n"), std::string::npos) << s;
  char field[16];
  snprintf(field, sizeof field, "[%-6.6s]", std::to_string(tid).c_str());
  EXPECT_NE(s.find(std::string(field) + "[T     ][08] unnamed\n"), std::string::npos) << s;
}

TEST_F(BrLog, LongMessagesAreCutAt4095Characters) {
  const std::string path = dir.file("t.log");
  hblogsink__init("p", path.c_str());
  const std::string longText(5000, 'x');
  brlog("CUT", BRLOG_INFO, "%s\n", longText.c_str());
  brlog("CUT", BRLOG_INFO, "%s\n", std::string(4094, 'y').c_str());
  const std::string s = contents(path);
  const std::string prefix = "[20231114-221320.123][MAIN  ][CUT   ][08] ";
  ASSERT_EQ(s.compare(0, prefix.size(), prefix), 0);
  EXPECT_EQ(s.substr(prefix.size(), 4095), std::string(4095, 'x'));
  // The cut message lost its line feed, so the next line follows directly; one that fits keeps it.
  EXPECT_EQ(s.substr(prefix.size() + 4095), prefix + std::string(4094, 'y') + "\n");
}

TEST_F(BrLog, BareFileNameGoesIntoTheDataFolder) {
  hblogsink__init("tesselutilbrowser", "tesselutilbrowser.log");
  const std::string expected =
      std::string(getenv("XDG_DATA_HOME")) + "/Orvane Tessel Utility/tesselutilbrowser.log";
  ASSERT_NE(brlog__filePath(), nullptr);
  EXPECT_EQ(std::string(brlog__filePath()), expected);
  brlog("ZVBROWSER", BRLOG_INFO, "here\n");
  EXPECT_NE(contents(expected).find("here"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(expected.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Later calls keep the first file.
  hblogsink__init("other", dir.file("other.log").c_str());
  EXPECT_EQ(std::string(brlog__filePath()), expected);
  unlink(expected.c_str());
}

TEST_F(BrLog, UnopenableFileLeavesTheLogWithoutOutput) {
  hblogsink__init("p", dir.file("missing/dir/t.log").c_str());
  brlog("T", BRLOG_ERROR, "nowhere\n");  // must not crash
  EXPECT_NE(access(dir.file("missing/dir/t.log").c_str(), F_OK), 0);
}

TEST_F(BrLog, OldLargeLogIsReportedAtInitialisation) {
  const std::string path = dir.file("big.log");
  ASSERT_TRUE(writeFile(path, std::string(1048577, '.')));
  hblogsink__init("p", path.c_str());
  const std::string s = contents(path);
  EXPECT_EQ(s.substr(1048577),
            "[20231114-221320.123][MAIN  ][HBSRVC][08] Uploading Old Log in hblogsink__init...\n");
}

TEST_F(BrLog, RotatesAfterTwelveHoursReplacingTheUploadFile) {
  const std::string path = dir.file("t.log");
  const std::string upload = path + ".toupload";
  ASSERT_TRUE(writeFile(upload, "stale upload\n"));
  ASSERT_TRUE(writeFile(path, "from an earlier run\n"));
  hblogsink__init("p", path.c_str());

  g_ticks = 5000000000;  // the first line only notes the time, however old the file is
  brlog("A", BRLOG_INFO, "first\n");
  g_ticks += 43200000;
  brlog("A", BRLOG_INFO, "exactly twelve hours\n");
  EXPECT_EQ(contents(upload), "stale upload\n");

  g_ticks += 1;
  g_now = kNow + 43200001;  // 2023-11-15 10:13:20.124
  brlog("A", BRLOG_INFO, "after rotation\n");
  const std::string rotated = contents(upload);
  EXPECT_EQ(rotated.find("stale"), std::string::npos);
  EXPECT_EQ(rotated.find("from an earlier run\n"), 0u);
  EXPECT_NE(rotated.find("[MAIN  ][A     ][08] exactly twelve hours\n"), std::string::npos);
  const std::string rotLine =
      "[20231115-101320][MAIN  ][LOGROT][08] -------- ROTATING LOG FILE --------\n";
  EXPECT_EQ(rotated.substr(rotated.size() - rotLine.size()), rotLine);
  EXPECT_EQ(contents(path),
            "[20231115-101320][MAIN  ][LOGROT][08] -------- LOG FILE ROTATED --------\n"
            "[20231115-101320.124][MAIN  ][A     ][08] after rotation\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The next rotation counts from this one and replaces the upload file again.
  g_ticks += 43200000;
  brlog("A", BRLOG_INFO, "not yet\n");
  g_ticks += 1;
  brlog("A", BRLOG_INFO, "second generation\n");
  EXPECT_NE(contents(upload).find("not yet\n"), std::string::npos);
  EXPECT_EQ(contents(upload).find("from an earlier run"), std::string::npos);

  brlog__setRotation(false);
  g_ticks += 100000000;
  brlog("A", BRLOG_INFO, "no rotation\n");
  EXPECT_EQ(contents(upload).find("no rotation"), std::string::npos);
}

TEST_F(BrLog, HeldLockSendsTheShortFormToStandardError) {
  const std::string path = dir.file("t.log");
  const std::string errPath = dir.file("stderr.txt");
  hblogsink__init("p", path.c_str());
  ASSERT_TRUE(brlog__lockForTest());
  {
    StderrCapture capture(errPath);
    brlog("ZVBROWSER", BRLOG_WARNING, "fallback %d\n", 7);  // waits out the 250 ms budget
  }
  brlog__unlockForTest();
  EXPECT_EQ(contents(errPath), "[221320.123][MAIN  ][ZVBROW][02] fallback 7\n");
  EXPECT_EQ(contents(path).find("fallback"), std::string::npos);

  // A writer that waits while the lock is released in time gets into the file.
  ASSERT_TRUE(brlog__lockForTest());
  std::atomic<bool> started{false};
  std::thread writer([&] {
    started = true;
    brlog("W", BRLOG_INFO, "after wait\n");
  });
  while (!started) std::this_thread::yield();
  brlog__unlockForTest();
  writer.join();
  const std::string s = contents(path);
  EXPECT_NE(s.find("after wait\n"), std::string::npos);
}

TEST_F(BrLog, ConcurrentWritersKeepLinesWhole) {
  const std::string path = dir.file("t.log");
  hblogsink__init("p", path.c_str());
  g_now = kNow;
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      char name[8];
      snprintf(name, sizeof name, "W%d", t);
      brthread__setName(brthread__self(), name);
      for (int i = 0; i < kLines; ++i) brlog("CONC", BRLOG_INFO, "thread %d line %d\n", t, i);
    });
  for (auto &th : threads) th.join();
  const std::string s = contents(path);
  int count = 0;
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t nl = s.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    const std::string one = s.substr(pos, nl - pos);
    int writer = -1, thread = -2, index = -1, used = 0;
    ASSERT_EQ(sscanf(one.c_str(), "[20231114-221320.123][W%d    ][CONC  ][08] thread %d line %d%n",
                     &writer, &thread, &index, &used),
              3)
        << one;
    EXPECT_EQ(static_cast<size_t>(used), one.size()) << one;
    EXPECT_EQ(writer, thread) << one;
    ++count;
    pos = nl + 1;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(BrLog, VerifyLogsAndGoesOn) {
  const std::string path = dir.file("t.log");
  hblogsink__init("p", path.c_str());
  int x = 1;
  VERIFY(x == 2);
  VERIFY(x == 1);
  const std::string s = contents(path);
  const std::string head =
      "[20231114-221320.123][MAIN  ][VERIFY][01] ../../tests/common/brlog_test.cc:";
  ASSERT_EQ(s.compare(0, head.size(), head), 0) << s;
  const size_t colon = s.find(' ', head.size());
  ASSERT_NE(colon, std::string::npos);
  EXPECT_GT(atoi(s.c_str() + head.size()), 0);
  EXPECT_EQ(s.substr(colon), " VERIFY(x == 2) failed!\n");
}

int32_t failing() {
  return BR_ETIMEDOUT;
}
int32_t passing() {
  return 3;
}
int32_t chain(bool fail) {
  HB_RETURN_IF_FAILED("CHAIN", passing());
  if (fail) HB_RETURN_IF_FAILED("CHAIN", failing());
  return 0;
}

TEST_F(BrLog, ReturnIfFailedLogsCodeAndName) {
  const std::string path = dir.file("t.log");
  hblogsink__init("p", path.c_str());
  EXPECT_EQ(chain(false), 0);
  EXPECT_EQ(chain(true), BR_ETIMEDOUT);
  EXPECT_EQ(contents(path),
            "[20231114-221320.123][MAIN  ][CHAIN ][01] failing() failed (-11: Timed Out)\n");
}

TEST_F(BrLog, AssertLogsAndStops) {
  const std::string path = dir.file("t.log");
  EXPECT_DEATH(
      {
        hblogsink__init("p", path.c_str());
        ASSERT(1 + 1 == 3 && "arithmetic still works");
      },
      "BRABRT");
  const std::string s = contents(path);
  EXPECT_NE(s.find("[ASSERT][01] 1 + 1 == 3 && \"arithmetic still works\"\n"), std::string::npos)
      << s;
  EXPECT_NE(s.find("[BRABRT][01]"), std::string::npos) << s;
}

}  // namespace
