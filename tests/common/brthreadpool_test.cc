#include "brthreadpool.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "brlog.h"
#include "brthread.h"
#include "testutil.h"

using tessel::test::readFile;
using tessel::test::TempDir;

namespace {

// Jobs that block until the test opens the gate, counting starts and finishes.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  int permits = 0;
  int started = 0;
  int finished = 0;
  std::vector<std::string> names;
  std::vector<int> order;

  void open(int n) {
    std::lock_guard<std::mutex> g(m);
    permits += n;
    cv.notify_all();
  }
  // Bounded waits: a broken pool fails the test instead of hanging it.
  bool waitStarted(int n) {
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, std::chrono::seconds(20), [&] { return started >= n; });
  }
  bool waitFinished(int n) {
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, std::chrono::seconds(20), [&] { return finished >= n; });
  }
};

struct Job {
  Gate *gate;
  int index;
};

void blockingJob(void *p) {
  Job *job = static_cast<Job *>(p);
  Gate &g = *job->gate;
  std::unique_lock<std::mutex> l(g.m);
  ++g.started;
  g.names.push_back(brthread__name(brthread__self()));
  g.order.push_back(job->index);
  g.cv.notify_all();
  g.cv.wait_for(l, std::chrono::seconds(20), [&] { return g.permits > 0; });
  --g.permits;
  ++g.finished;
  g.cv.notify_all();
}

class BrThreadPool : public testing::Test {
 protected:
  void SetUp() override {
    brlog__resetForTest();
    logPath = dir.file("pool.log");
    hblogsink__init("p", logPath.c_str());
    brlog__setLevel(BRLOG_VERBOSE4);
  }
  void TearDown() override { brlog__resetForTest(); }
  std::string log() {
    std::string s;
    readFile(logPath, &s);
    return s;
  }
  TempDir dir;
  std::string logPath;
};

TEST_F(BrThreadPool, DefaultPoolHasFourNamedWorkers) {
  EXPECT_EQ(brtp__post(blockingJob, nullptr), BR_EBADSTATE) << "no pool yet";
  ASSERT_EQ(brtp__create(), 0);
  EXPECT_EQ(brtp__create(), BR_EBADSTATE);
  BRThreadPool *pool = brtp__default();
  ASSERT_NE(pool, nullptr);

  Gate gate;
  Job jobs[4];
  for (int i = 0; i < 4; ++i) {
    jobs[i] = {&gate, i};
    ASSERT_EQ(brtp__post(blockingJob, &jobs[i]), 0);
  }
  // Each job holds its worker until all four run, so every worker took one.
  ASSERT_TRUE(gate.waitStarted(4));
  gate.open(4);
  ASSERT_TRUE(gate.waitFinished(4));
  EXPECT_EQ(std::set<std::string>(gate.names.begin(), gate.names.end()),
            (std::set<std::string>{"MTP00", "MTP01", "MTP02", "MTP03"}));

  brtp__shutdown(pool);
  EXPECT_EQ(brtp__default(), nullptr);
  EXPECT_EQ(brtp__post(blockingJob, nullptr), BR_EBADSTATE);
  const std::string s = log();
  EXPECT_NE(s.find("[BRTP  ][13] Creating Thread Pool 'MTP' [4, 16]\n"), std::string::npos);
  EXPECT_NE(s.find("Shutting Down Thread Pool 'MTP'\n"), std::string::npos);
  EXPECT_NE(s.find("Waiting for thread 'MTP03'\n"), std::string::npos);
  EXPECT_NE(s.find("Shutdown complete\n"), std::string::npos);
  EXPECT_NE(s.find("Destroying Thread Pool 'MTP' [4, 16]\n"), std::string::npos);
}

TEST_F(BrThreadPool, LimitCountsBusyAndPendingJobs) {
  BRThreadPool *pool = nullptr;
  ASSERT_EQ(brtp__new(&pool, "LIM", 4, 16), 0);
  Gate gate;
  Job jobs[18];
  for (int i = 0; i < 4; ++i) {
    jobs[i] = {&gate, i};
    ASSERT_EQ(brtp__postTo(pool, blockingJob, nullptr, &jobs[i]), 0);
  }
  ASSERT_TRUE(gate.waitStarted(4));
  for (int i = 4; i < 16; ++i) {
    jobs[i] = {&gate, i};
    ASSERT_EQ(brtp__postTo(pool, blockingJob, nullptr, &jobs[i]), 0) << i;
  }
  jobs[16] = {&gate, 16};
  EXPECT_EQ(brtp__postTo(pool, blockingJob, nullptr, &jobs[16]), BR_ENOSPC);
  BRThreadPoolStats st;
  brtp__stats(pool, &st);
  EXPECT_EQ(st.idle, 0);
  EXPECT_EQ(st.pending, 12);
  EXPECT_NE(log().find("No Room in Queue: [16, 0, 12, 4]\n"), std::string::npos);
  EXPECT_NE(log().find("+++ PENDING WORK ITEM (inqueue, no threads available)"), std::string::npos);

  // One job ends and its worker takes the next: room for exactly one more.
  gate.open(1);
  ASSERT_TRUE(gate.waitStarted(5));
  EXPECT_EQ(brtp__postTo(pool, blockingJob, nullptr, &jobs[16]), 0);
  jobs[17] = {&gate, 17};
  EXPECT_EQ(brtp__postTo(pool, blockingJob, nullptr, &jobs[17]), BR_ENOSPC);

  gate.open(100);
  ASSERT_TRUE(gate.waitFinished(17));
  brtp__shutdown(pool);
}

TEST_F(BrThreadPool, JobsStartInPostingOrder) {
  BRThreadPool *pool = nullptr;
  ASSERT_EQ(brtp__new(&pool, "ORD", 1, -1), 0);
  Gate gate;
  std::vector<Job> jobs(40);
  for (int i = 0; i < 40; ++i) {
    jobs[i] = {&gate, i};
    ASSERT_EQ(brtp__postTo(pool, blockingJob, nullptr, &jobs[i]), 0);
  }
  gate.open(40);
  ASSERT_TRUE(gate.waitFinished(40));
  std::vector<int> expected(40);
  for (int i = 0; i < 40; ++i) expected[i] = i;
  EXPECT_EQ(gate.order, expected);
  EXPECT_EQ(gate.names.front(), "ORD00");
  brtp__shutdown(pool);
}

TEST_F(BrThreadPool, ShutdownDiscardsQueuedJobsExactlyOnce) {
  BRThreadPool *pool = nullptr;
  ASSERT_EQ(brtp__new(&pool, "DISC", 1, -1), 0);
  Gate gate;
  Job first{&gate, 0};
  ASSERT_EQ(brtp__postTo(pool, blockingJob, nullptr, &first), 0);
  ASSERT_TRUE(gate.waitStarted(1));

  std::atomic<int> ran{0}, discarded{0};
  struct Counted {
    std::atomic<int> *ran, *discarded;
  } counted{&ran, &discarded};
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(brtp__postTo(
                  pool, [](void *p) { static_cast<Counted *>(p)->ran->fetch_add(1); },
                  [](void *p) { static_cast<Counted *>(p)->discarded->fetch_add(1); }, &counted),
              0);
  std::thread stopper([&] { brtp__shutdown(pool); });
  gate.open(1);
  stopper.join();
  // Whichever jobs the worker took before it saw the stop ran; the rest were discarded.
  EXPECT_EQ(ran.load() + discarded.load(), 5);
}

TEST_F(BrThreadPool, ConcurrentPostersShareTheLimit) {
  BRThreadPool *pool = nullptr;
  ASSERT_EQ(brtp__new(&pool, "CONC", 4, 16), 0);
  std::atomic<int> ran{0};
  std::atomic<int> accepted{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&] {
      for (int i = 0; i < 200; ++i)
        if (brtp__postTo(
                pool, [](void *p) { static_cast<std::atomic<int> *>(p)->fetch_add(1); }, nullptr,
                &ran) == 0)
          accepted.fetch_add(1);
        else
          std::this_thread::yield();
    });
  for (auto &p : posters) p.join();
  const int64_t start = brtime__ticks();
  while (ran.load() < accepted.load() && brtime__ticks() - start < 20000) std::this_thread::yield();
  EXPECT_EQ(ran.load(), accepted.load());
  EXPECT_GT(accepted.load(), 0);
  brtp__shutdown(pool);
}

}  // namespace
