#include "brthread.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "brlog.h"
#include "testutil.h"

using tessel::test::readFile;
using tessel::test::TempDir;

namespace {

struct StartInfo {
  std::string name;
  uint64_t id = 0;
  bool joinable = false;
  void *arg = nullptr;
};

void recordStart(void *p) {
  StartInfo *info = static_cast<StartInfo *>(p);
  BRThread *self = brthread__self();
  info->name = brthread__name(self);
  info->id = brthread__id(self);
  info->joinable = brthread__isJoinable(self);
  info->arg = p;
}

TEST(BrThread, CreateRunsTheFunctionUnderItsName) {
  StartInfo info;
  BRThread *t = nullptr;
  ASSERT_EQ(brthread__create(&t, recordStart, &info, "SVCCACHE"), 0);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(brthread__join(t), 0);
  EXPECT_EQ(info.name, "SVCCACHE");
  EXPECT_EQ(info.arg, &info);
  EXPECT_TRUE(info.joinable);
  EXPECT_NE(info.id, brthread__id(brthread__self()));

  // Unnamed: the thread id; too long: cut to 31 characters. The creator may read both at once.
  ASSERT_EQ(brthread__create(&t, recordStart, &info, nullptr), 0);
  const uint64_t id = brthread__id(t);
  const std::string name = brthread__name(t);
  ASSERT_EQ(brthread__join(t), 0);
  EXPECT_EQ(id, info.id);
  EXPECT_EQ(name, std::to_string(info.id));
  EXPECT_EQ(info.name, std::to_string(info.id));
  ASSERT_EQ(brthread__create(&t, recordStart, &info, std::string(40, 'N').c_str()), 0);
  ASSERT_EQ(brthread__join(t), 0);
  EXPECT_EQ(info.name, std::string(31, 'N'));
}

TEST(BrThread, DetachedThreadFreesItsOwnRecord) {
  std::atomic<int> done{0};
  for (int i = 0; i < 8; ++i) {
    BRThread *t = nullptr;
    ASSERT_EQ(
        brthread__create(
            &t, [](void *p) { static_cast<std::atomic<int> *>(p)->fetch_add(1); }, &done, "DET"),
        0);
    brthread__detach(t);
  }
  const int64_t start = brtime__ticks();
  while (done.load() < 8 && brtime__ticks() - start < 10000) std::this_thread::yield();
  EXPECT_EQ(done.load(), 8);
}

TEST(BrThread, SelfForForeignThreadsIsStableAndRenamable) {
  std::thread([] {
    BRThread *a = brthread__self();
    EXPECT_EQ(a, brthread__self());
    EXPECT_EQ(std::string(brthread__name(a)), std::to_string(brthread__id(a)));
    brthread__setName(a, "MAIN");
    EXPECT_STREQ(brthread__name(brthread__self()), "MAIN");
    brthread__setName(a, "");
    EXPECT_EQ(std::string(brthread__name(a)), std::to_string(brthread__id(a)));
  }).join();
}

std::atomic<int> g_destroyed{0};
std::atomic<intptr_t> g_destroyedSum{0};
void countDestroy(void *v) {
  g_destroyed.fetch_add(1);
  g_destroyedSum.fetch_add(reinterpret_cast<intptr_t>(v));
}

class BrThreadKeys : public testing::Test {
 protected:
  void SetUp() override {
    brthread__resetKeysForTest();
    g_destroyed = 0;
    g_destroyedSum = 0;
  }
};

TEST_F(BrThreadKeys, ThirtySecondKeyFails) {
  std::vector<int32_t> keys;
  for (int i = 0; i < 31; ++i) {
    const int32_t k = brthread__keyCreate(nullptr);
    ASSERT_GT(k, 0) << i;
    keys.push_back(k);
  }
  EXPECT_EQ(brthread__keyCreate(nullptr), BR_ETOOMANY);
  // All 31 are usable and distinct.
  for (size_t i = 0; i < keys.size(); ++i)
    ASSERT_EQ(brthread__setSpecific(keys[i], reinterpret_cast<void *>(i + 1)), 0);
  for (size_t i = 0; i < keys.size(); ++i)
    EXPECT_EQ(brthread__getSpecific(keys[i]), reinterpret_cast<void *>(i + 1));
  for (int32_t k : keys) ASSERT_EQ(brthread__setSpecific(k, nullptr), 0);
  EXPECT_EQ(brthread__setSpecific(0, nullptr), BR_EINVAL);
  EXPECT_EQ(brthread__setSpecific(32, nullptr), BR_EINVAL);
}

TEST_F(BrThreadKeys, ValuesArePerThreadAndDestroyed) {
  const int32_t key = brthread__keyCreate(countDestroy);
  ASSERT_GT(key, 0);
  const int32_t plain = brthread__keyCreate(nullptr);
  ASSERT_GT(plain, 0);

  // Replacing runs the destructor on the old value; storing the same value or null does not
  // destroy anything new.
  ASSERT_EQ(brthread__setSpecific(key, reinterpret_cast<void *>(10)), 0);
  ASSERT_EQ(brthread__setSpecific(key, reinterpret_cast<void *>(20)), 0);
  EXPECT_EQ(g_destroyed.load(), 1);
  EXPECT_EQ(g_destroyedSum.load(), 10);
  ASSERT_EQ(brthread__setSpecific(key, reinterpret_cast<void *>(20)), 0);
  EXPECT_EQ(g_destroyed.load(), 1);

  // A core thread sees its own empty slot, and its value is destroyed when it ends.
  struct Ctx {
    int32_t key;
    void *seen;
  } ctx{key, reinterpret_cast<void *>(1)};
  BRThread *t = nullptr;
  ASSERT_EQ(brthread__create(
                &t,
                [](void *p) {
                  Ctx *c = static_cast<Ctx *>(p);
                  c->seen = brthread__getSpecific(c->key);
                  (void)brthread__setSpecific(c->key, reinterpret_cast<void *>(300));
                },
                &ctx, "KEYS"),
            0);
  ASSERT_EQ(brthread__join(t), 0);
  EXPECT_EQ(ctx.seen, nullptr);
  EXPECT_EQ(g_destroyed.load(), 2);
  EXPECT_EQ(g_destroyedSum.load(), 310);

  // So is a value of a thread the core did not start.
  std::thread([key] { (void)brthread__setSpecific(key, reinterpret_cast<void *>(4000)); }).join();
  EXPECT_EQ(g_destroyed.load(), 3);
  EXPECT_EQ(g_destroyedSum.load(), 4310);

  EXPECT_EQ(brthread__getSpecific(key), reinterpret_cast<void *>(20));
  ASSERT_EQ(brthread__setSpecific(key, nullptr), 0);
}

// ---------------------------------------------------------------------------------------------

std::atomic<uint32_t> g_tc32{0};
uint32_t fake32() {
  return g_tc32.load();
}

TEST(BrTime, SystemClocksAreSane) {
  const int64_t a = brtime__ticks();
  const int64_t b = brtime__ticks();
  EXPECT_GE(b, a);
  const int64_t now = brtime__nowMs();
  EXPECT_LE(std::llabs(now - static_cast<int64_t>(time(nullptr)) * 1000), 2000);
}

TEST(BrTime, ThirtyTwoBitTicksAreExtendedAcrossWraps) {
  TempDir dir;
  brlog__resetForTest();
  const std::string path = dir.file("t.log");
  hblogsink__init("p", path.c_str());
  brlog__setRotation(false);  // a wrap jumps the clock by 49 days

  brtime__setTicks32Source(fake32);
  g_tc32 = 4294967290u;
  EXPECT_EQ(brtime__ticks(), 4294967290LL);
  g_tc32 = 5;
  EXPECT_EQ(brtime__ticks(), 4294967301LL);
  EXPECT_EQ(brtime__ticks(), 4294967301LL);
  g_tc32 = 100;
  EXPECT_EQ(brtime__ticks(), 4294967396LL);
  g_tc32 = 1;
  EXPECT_EQ(brtime__ticks(), 2 * 4294967296LL + 1);
  brtime__setTicks32Source(nullptr);

  std::string s;
  ASSERT_TRUE(readFile(path, &s));
  brlog__resetForTest();
  const std::string line = "[GETTIC][02] OVERFLOW: LASTTC: 4294967290 TC: 5 TICKS: 4294967301\n";
  const size_t first = s.find(line);
  ASSERT_NE(first, std::string::npos) << s;
  EXPECT_EQ(s.find(line, first + 1), std::string::npos) << "logged more than once";
  EXPECT_NE(s.find("OVERFLOW: LASTTC: 100 TC: 1 TICKS: 8589934593\n"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------

TEST(BrCond, TimeoutsSignalAndBroadcast) {
  BRMutex m;
  BRCond c;
  ASSERT_EQ(c.create(), 0);
  {
    BRLock g(m);
    EXPECT_EQ(c.wait(m, 0), BR_EAGAIN);
    EXPECT_EQ(c.wait(m, 20), BR_EAGAIN);
  }

  // Signal: a waiter with a predicate is woken.
  bool ready = false;
  std::thread signaller([&] {
    BRLock g(m);
    ready = true;
    c.signal();
  });
  {
    BRLock g(m);
    while (!ready) ASSERT_NE(c.wait(m, 10000), BR_EUNSPEC);
  }
  signaller.join();

  // Broadcast wakes every waiter.
  int waiting = 0, woken = 0;
  bool go = false;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      BRLock g(m);
      ++waiting;
      while (!go)
        if (c.wait(m, -1) != 0) break;
      ++woken;
    });
  for (;;) {
    BRLock g(m);
    if (waiting == 3) {
      go = true;
      c.broadcast();
      break;
    }
  }
  for (auto &w : waiters) w.join();
  EXPECT_EQ(woken, 3);

  BRCond never;
  BRLock g(m);
  EXPECT_EQ(never.wait(m, 0), BR_EUNSPEC) << "a condition that was never created";
}

// ---------------------------------------------------------------------------------------------

TEST(BrQueue, FifoWrapFullAndTimeout) {
  BRQueueHolder q;
  ASSERT_EQ(brqueue__create(q.out(), 3), 0);
  int64_t kind = 0;
  void *item = nullptr;
  EXPECT_EQ(brqueue__take(q.get(), &kind, &item, 0), BR_EAGAIN);
  EXPECT_EQ(brqueue__take(q.get(), &kind, &item, 30), BR_EAGAIN);

  int values[10];
  int next = 0, expect = 0;
  // Several rounds so that both positions wrap around the ring.
  for (int round = 0; round < 3; ++round) {
    while (brqueue__count(q.get()) < 3) {
      ASSERT_EQ(brqueue__put(q.get(), next, &values[next % 10], false), 0);
      ++next;
    }
    EXPECT_EQ(brqueue__put(q.get(), 99, nullptr, false), BR_EUNSPEC);
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(brqueue__take(q.get(), &kind, &item, 0), 0);
      EXPECT_EQ(kind, expect);
      EXPECT_EQ(item, &values[expect % 10]);
      ++expect;
    }
  }
  EXPECT_EQ(brqueue__count(q.get()), 1);
}

TEST(BrQueue, WaitingPutAndTakeAcrossThreads) {
  BRQueueHolder q;
  ASSERT_EQ(brqueue__create(q.out(), 4), 0);
  constexpr int kItems = 20000;
  std::thread producer([&] {
    for (int i = 1; i <= kItems; ++i)
      ASSERT_EQ(brqueue__put(q.get(), i, reinterpret_cast<void *>(static_cast<intptr_t>(i)), true),
                0);
  });
  int64_t expect = 1;
  for (int i = 0; i < kItems; ++i) {
    int64_t kind = 0;
    void *item = nullptr;
    ASSERT_EQ(brqueue__take(q.get(), &kind, &item, 10000), 0);
    ASSERT_EQ(kind, expect);
    ASSERT_EQ(reinterpret_cast<intptr_t>(item), expect);
    ++expect;
  }
  producer.join();
  EXPECT_EQ(brqueue__count(q.get()), 0);
}

TEST(BrQueue, TimedTakeIsWokenByPut) {
  BRQueueHolder q;
  ASSERT_EQ(brqueue__create(q.out(), 2), 0);
  std::thread consumer([&] {
    int64_t kind = 0;
    void *item = nullptr;
    EXPECT_EQ(brqueue__take(q.get(), &kind, &item, 20000), 0);
    EXPECT_EQ(kind, 7);
  });
  ASSERT_EQ(brqueue__put(q.get(), 7, nullptr, false), 0);
  consumer.join();
}

}  // namespace
