#include "hbfork2.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "brlog.h"
#include "logcapture.h"
#include "testutil.h"

namespace {

HBRef<IHBFork2> startChild(uint32_t flags, std::initializer_list<const char *> args) {
  HBRef<IHBFork2> child;
  EXPECT_EQ(HBFork2__new(flags, child.out()), 0);
  std::vector<const char *> argv(args);
  argv.push_back(nullptr);
  EXPECT_EQ(child->start(argv.data()), 0);
  return child;
}

HBRef<IHBStream> stream(IHBFork2 *child, int id) {
  HBRef<IHBStream> s;
  EXPECT_EQ(child->getStream(id, s.out()), 0) << id;
  return s;
}

// Everything the stream yields until its end (time-outs retried).
std::string drain(IHBStream *s) {
  std::string all;
  char buf[256];
  for (int i = 0; i < 200; ++i) {
    const int32_t n = s->read(buf, sizeof buf);
    if (n == 0) break;
    if (n == BR_ETIMEDOUT) continue;
    if (n < 0) {
      ADD_FAILURE() << "read failed " << n;
      break;
    }
    all.append(buf, size_t(n));
  }
  return all;
}

// True when `pid` is gone entirely (neither running nor a zombie of ours).
bool reaped(pid_t pid) {
  return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

TEST(HBFork2, SeparateOutputAndErrorPipesAndExitCode) {
  auto child = startChild(HBFORK2_STDOUT | HBFORK2_STDERR,
                          {"/bin/sh", "-c", "echo out; echo err >&2; exit 3"});
  const pid_t pid = hbfork2__pid(child.get());
  EXPECT_GT(pid, 0);
  EXPECT_EQ(drain(stream(child.get(), 2).get()), "out\n");
  EXPECT_EQ(drain(stream(child.get(), 3).get()), "err\n");
  // Drained after the exit: still the end of the stream.
  char c;
  EXPECT_EQ(stream(child.get(), 3)->read(&c, 1), 0);
  int32_t code = -1;
  EXPECT_EQ(child->wait(5000, &code), 0);
  EXPECT_EQ(code, 3);
  EXPECT_EQ(child->wait(0, &code), BR_EHANDLED);
  EXPECT_EQ(child->wait(-1, nullptr), BR_EHANDLED);
  EXPECT_TRUE(reaped(pid));
  HBRef<IHBStream> none;
  EXPECT_EQ(child->getStream(1, none.out()), BR_ENOENT);
}

TEST(HBFork2, ErrorIntoOutputGivesOneStream) {
  auto child =
      startChild(HBFORK2_STDOUT | HBFORK2_ERR2OUT, {"/bin/sh", "-c", "echo one; echo two >&2"});
  HBRef<IHBStream> err;
  EXPECT_EQ(child->getStream(3, err.out()), BR_ENOENT);
  EXPECT_EQ(drain(stream(child.get(), 2).get()), "one\ntwo\n");
  EXPECT_EQ(child->wait(5000, nullptr), 0);
}

TEST(HBFork2, ArgumentsReachTheChildUnchangedAndAreQuotedOnlyInTheLog) {
  const char *argv[] = {"/usr/bin/printf", "[%s]", "a b", "q\"x", "$HOME", "*", nullptr};
  EXPECT_EQ(hbfork2__commandLine(argv), "/usr/bin/printf [%s] \"a b\" q\"x $HOME *");
  auto child = startChild(HBFORK2_STDOUT, {"/usr/bin/printf", "[%s]", "a b", "q\"x", "$HOME", "*"});
  EXPECT_EQ(drain(stream(child.get(), 2).get()), "[a b][q\"x][$HOME][*]");
  EXPECT_EQ(child->wait(5000, nullptr), 0);
}

TEST(HBFork2, StandardInputRoundTripAndDirectionChecks) {
  auto child = startChild(HBFORK2_STDIN | HBFORK2_STDOUT, {"cat"});
  auto in = stream(child.get(), 1);
  auto out = stream(child.get(), 2);
  char c = 0;
  EXPECT_EQ(in->read(&c, 1), BR_EINVAL);
  EXPECT_EQ(out->write("x", 1), BR_EINVAL);
  EXPECT_EQ(in->seek(0, HBSTREAM_SEEK_SET), BR_EUNSUPPORTED);
  EXPECT_EQ(in->write("hello", 5), 5);
  EXPECT_EQ(in->close(), 0);
  EXPECT_EQ(in->write("x", 1), BR_EINVAL);  // closed handle
  EXPECT_EQ(drain(out.get()), "hello");
  int32_t code = -1;
  EXPECT_EQ(child->wait(5000, &code), 0);
  EXPECT_EQ(code, 0);
}

TEST(HBFork2, WriteToAnExitedChildIsNoConnection) {
  auto child = startChild(HBFORK2_STDIN, {"true"});
  EXPECT_EQ(child->wait(5000, nullptr), 0);
  auto in = stream(child.get(), 1);
  // The read end is gone: no SIGPIPE for this process, just the code.
  EXPECT_EQ(in->write("data", 4), BR_ENOCONN);
}

TEST(HBFork2, ReadTimesOutThenKillReportsExitCode255) {
  auto child = startChild(HBFORK2_STDOUT, {"sleep", "30"});
  EXPECT_EQ(child->setTimeout(100), 0);
  char buf[8];
  EXPECT_EQ(stream(child.get(), 2)->read(buf, sizeof buf), BR_ETIMEDOUT);
  EXPECT_EQ(child->wait(0, nullptr), BR_ETIMEDOUT);
  EXPECT_EQ(child->wait(120, nullptr), BR_ETIMEDOUT);
  const pid_t pid = hbfork2__pid(child.get());
  EXPECT_EQ(child->kill(2), 0);
  int32_t code = 0;
  EXPECT_EQ(child->wait(5000, &code), 0);
  EXPECT_EQ(code, 255);
  EXPECT_TRUE(reaped(pid));
  EXPECT_EQ(child->kill(2), 0);  // nothing left to kill
}

TEST(HBFork2, ProgramThatCannotStart) {
  HBRef<IHBFork2> child;
  ASSERT_EQ(HBFork2__new(HBFORK2_STDOUT | HBFORK2_STDERR, child.out()), 0);
  const char *argv[] = {"/nonexistent/program", "x", nullptr};
  EXPECT_EQ(child->start(argv), BR_EUNSPEC);
  EXPECT_EQ(child->wait(0, nullptr), BR_EHANDLED);
  HBRef<IHBStream> s;
  EXPECT_EQ(child->getStream(2, s.out()), BR_ENOENT);
}

TEST(HBFork2, ParentPipeEndsDoNotLeakIntoOtherChildren) {
  auto cat = startChild(HBFORK2_STDIN | HBFORK2_STDOUT, {"cat"});
  // A second child that outlives the test's reads: if it inherited cat's input pipe, cat would
  // never see the end of its input.
  auto sleeper = startChild(HBFORK2_STDOUT, {"sleep", "30"});
  stream(cat.get(), 1)->close();
  EXPECT_EQ(cat->setTimeout(3000), 0);
  char c;
  EXPECT_EQ(stream(cat.get(), 2)->read(&c, 1), 0);
  EXPECT_EQ(cat->wait(5000, nullptr), 0);
  EXPECT_EQ(sleeper->kill(2), 0);
}

TEST(HBFork2, KillReachesGrandchildrenAndReleaseReaps) {
  // The shell's own child keeps the pipe open unless the whole group is terminated.
  auto child = startChild(HBFORK2_STDOUT, {"/bin/sh", "-c", "sleep 30; echo never"});
  EXPECT_EQ(child->kill(9), 0);
  EXPECT_EQ(child->setTimeout(3000), 0);
  char c;
  EXPECT_EQ(stream(child.get(), 2)->read(&c, 1), 0);
  const pid_t pid = hbfork2__pid(child.get());
  child.reset();  // released before wait: destruction reaps it
  EXPECT_TRUE(reaped(pid));
}

TEST(HBFork2, ReleaseWaitsForAChildThatEndsSoon) {
  auto child = startChild(0, {"sleep", "0.2"});
  const pid_t pid = hbfork2__pid(child.get());
  child.reset();
  EXPECT_TRUE(reaped(pid));
}

TEST(HBFork2, LogShowsTheQuotedCommandLineAndTheExit) {
  tessel::test::LogCapture capture(BRLOG_INFO);
  {
    auto child = startChild(0, {"/bin/sh", "-c", "exit 7"});
    int32_t code = 0;
    EXPECT_EQ(child->wait(5000, &code), 0);
    EXPECT_EQ(code, 7);
  }
  const std::string text = capture.text();
  EXPECT_NE(text.find("  +++ Forking '/bin/sh -c \"exit 7\"'..."), std::string::npos) << text;
  EXPECT_NE(text.find("] Forked child process"), std::string::npos) << text;
  EXPECT_NE(text.find("(WAIT) Child process exited: 7"), std::string::npos) << text;
}

TEST(HBFork2DeathTest, ErrorToOutputWithSeparateErrorPipeStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  IHBFork2 *child = nullptr;
  EXPECT_DEATH((void)HBFork2__new(HBFORK2_STDERR | HBFORK2_ERR2OUT, &child), "");
}

}  // namespace
