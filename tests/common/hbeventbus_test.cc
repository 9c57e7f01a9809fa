#include "hbeventbus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "brlog.h"
#include "brthread.h"
#include "hbstr.h"
#include "testutil.h"

using tessel::test::readFile;
using tessel::test::TempDir;

namespace {

HBRef<IHBStr> heapStr(const char *text) {
  HBRef<HBStrHeap> s;
  EXPECT_EQ(HBStrHeap::create(text, s.out()), 0);
  return HBRef<IHBStr>(std::move(s));
}

// Records what it receives; optionally blocks on permits, or unsubscribes itself.
class Listener final : public HBObject<Listener, IHBEventListener> {
 public:
  static HBRef<Listener> make() { return HBRef<Listener>::adopt(new Listener); }
  using HBObject::refcount;

  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == IHBObj::kIfc) return offer<IHBObj>(out);
    return BR_ENOENT;
  }

  int32_t onEvent(uint32_t flags, IHBStr *domain, IHBObj *value, IHBObj *sender) override {
    std::unique_lock<std::mutex> l(m);
    domains.push_back(domain ? domain->getText() : "(none)");
    threads.push_back(brthread__name(brthread__self()));
    lastFlags = flags;
    lastValue = value;
    lastSender = sender;
    ++entered;
    cv.notify_all();
    if (blocking) {
      cv.wait_for(l, std::chrono::seconds(20), [&] { return permits > 0; });
      --permits;
    }
    if (unsubscribeBus) {
      l.unlock();
      EXPECT_EQ(hbeventbus__unsubscribe(unsubscribeBus, unsubscribeList, unsubscribeDomain, this),
                0);
      l.lock();
    }
    ++calls;
    cv.notify_all();
    return 0;
  }

  bool waitCalls(int n) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, std::chrono::seconds(20), [&] { return calls >= n; });
  }
  bool waitEntered(int n) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, std::chrono::seconds(20), [&] { return entered >= n; });
  }
  void open(int n) {
    std::lock_guard<std::mutex> g(m);
    permits += n;
    cv.notify_all();
  }
  int count() {
    std::lock_guard<std::mutex> g(m);
    return calls;
  }

  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> domains, threads;
  uint32_t lastFlags = 99;
  IHBObj *lastValue = nullptr, *lastSender = nullptr;
  int calls = 0, entered = 0, permits = 0;
  bool blocking = false;
  HBEventBus *unsubscribeBus = nullptr;
  HBEventList unsubscribeList = HBEVENT_QUEUED;
  IHBStr *unsubscribeDomain = nullptr;

 private:
  Listener() = default;
  ~Listener() override = default;
  friend class HBObject<Listener, IHBEventListener>;
};

class HBEventBusTest : public testing::Test {
 protected:
  void SetUp() override {
    brlog__resetForTest();
    logPath = dir.file("bus.log");
    hblogsink__init("p", logPath.c_str());
    ASSERT_EQ(hbeventbus__new(&bus), 0);
  }
  void TearDown() override {
    hbeventbus__destroy(bus);
    brlog__resetForTest();
  }
  std::string log() {
    std::string s;
    readFile(logPath, &s);
    return s;
  }
  IHBStr *changed() { return hbevent__domain(HBEVENT_CORE_PROPERTY_CHANGED); }

  TempDir dir;
  std::string logPath;
  HBEventBus *bus = nullptr;
};

TEST(HBEventMatch, WholeDottedParts) {
  const char *d = "core.property.changed";
  EXPECT_TRUE(hbevent__matchesText("core", d));
  EXPECT_TRUE(hbevent__matchesText("core.property", d));
  EXPECT_TRUE(hbevent__matchesText("core.property.changed", d));
  EXPECT_TRUE(hbevent__matchesText(nullptr, d));
  EXPECT_FALSE(hbevent__matchesText("core.prop", d));
  EXPECT_FALSE(hbevent__matchesText("core.property.changed.more", d));
  EXPECT_FALSE(hbevent__matchesText("core.property.changes", d));
  EXPECT_FALSE(hbevent__matchesText("vfs", d));
  EXPECT_FALSE(hbevent__matchesText("", d));
  EXPECT_FALSE(hbevent__matchesText("core", nullptr));
  EXPECT_FALSE(hbevent__matchesText(nullptr, nullptr));

  // The very same object matches; a null domain matches nobody.
  HBRef<IHBStr> same = heapStr("anything");
  EXPECT_TRUE(hbevent__matches(same.get(), same.get()));
  EXPECT_TRUE(hbevent__matches(nullptr, same.get()));
  EXPECT_FALSE(hbevent__matches(nullptr, nullptr));
  HBRef<IHBStr> other = heapStr("anything.else");
  EXPECT_TRUE(hbevent__matches(same.get(), other.get()));
  EXPECT_FALSE(hbevent__matches(other.get(), same.get()));
}

TEST_F(HBEventBusTest, NoRecipientsQueuesNothing) {
  brlog__setLevel(BRLOG_VERBOSE3);
  HBRef<IHBStr> value = heapStr("ShowLog");
  EXPECT_EQ(hbeventbus__post(bus, changed(), value.get(), nullptr), 0);
  EXPECT_EQ(hbeventbus__queued(bus), 0);
  const std::string s = log();
  EXPECT_NE(s.find("[HBEVT ][12] >>> EVENT-POST Ignoring (no recipients)...\n"), std::string::npos)
      << s;
  EXPECT_NE(s.find("[HBEVT ][12] >>> EVENT-POST     domain: core.property.changed\n"),
            std::string::npos);
  EXPECT_NE(s.find("[HBEVT ][12] >>> EVENT-POST     value: \n"), std::string::npos);
  EXPECT_NE(s.find("ShowLog"), std::string::npos) << "the value dump";
}

TEST_F(HBEventBusTest, QueuedDeliveryFollowsTheMatchingRule) {
  HBRef<Listener> core = Listener::make(), prop = Listener::make(), longer = Listener::make(),
                  all = Listener::make();
  HBRef<IHBStr> sCore = heapStr("core"), sProp = heapStr("core.prop"),
                sLonger = heapStr("core.property.changed.extra");
  ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_QUEUED, sCore.get(), core.get()), 0);
  ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_QUEUED, sProp.get(), prop.get()), 0);
  ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_QUEUED, sLonger.get(), longer.get()), 0);
  ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_QUEUED, nullptr, all.get()), 0);

  HBRef<IHBStr> value = heapStr("valtoken");
  HBRef<Listener> sender = Listener::make();
  ASSERT_EQ(hbeventbus__post(bus, changed(), value.get(), sender.get()), 0);
  HBRef<IHBStr> vfs = heapStr("vfs.file.created");
  ASSERT_EQ(hbeventbus__post(bus, vfs.get(), nullptr, nullptr), 0);
  // The catch-all is last in the list, so once it has both events every dispatch is over.
  ASSERT_TRUE(all->waitCalls(2));
  EXPECT_EQ(all->domains, (std::vector<std::string>{"core.property.changed", "vfs.file.created"}));
  EXPECT_EQ(all->threads[0], "EVT");
  EXPECT_EQ(core->domains, (std::vector<std::string>{"core.property.changed"}));
  EXPECT_EQ(core->lastValue, value.get());
  EXPECT_EQ(core->lastSender, static_cast<IHBObj *>(sender.get()));
  EXPECT_EQ(core->lastFlags, 0u);
  EXPECT_EQ(prop->count(), 0);
  EXPECT_EQ(longer->count(), 0);

  ASSERT_EQ(hbeventbus__unsubscribe(bus, HBEVENT_QUEUED, sCore.get(), core.get()), 0);
  EXPECT_EQ(hbeventbus__unsubscribe(bus, HBEVENT_QUEUED, sCore.get(), core.get()), BR_ENOENT);
  // Unsubscribing compares texts, not only objects.
  HBRef<IHBStr> propAgain = heapStr("core.prop");
  EXPECT_EQ(hbeventbus__unsubscribe(bus, HBEVENT_QUEUED, propAgain.get(), prop.get()), 0);
}

TEST_F(HBEventBusTest, ImmediateListenersRunOnThePostingThread) {
  HBRef<Listener> now = Listener::make();
  ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_IMMEDIATE, hbevent__domain(HBEVENT_VFS_FILE_CREATED),
                                  now.get()),
            0);
  brthread__setName(brthread__self(), "POSTER");
  HBRef<IHBStr> other = heapStr("vfs.file");
  ASSERT_EQ(hbeventbus__post(bus, other.get(), nullptr, nullptr), 0);
  EXPECT_EQ(now->count(), 0);
  ASSERT_EQ(hbeventbus__post(bus, hbevent__domain(HBEVENT_VFS_FILE_CREATED), nullptr, nullptr), 0);
  EXPECT_EQ(now->count(), 1) << "delivered before the post returned";
  EXPECT_EQ(now->threads[0], "POSTER");
  EXPECT_EQ(hbeventbus__queued(bus), 0);
  EXPECT_EQ(hbeventbus__post(bus, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(now->count(), 1) << "an event without a domain reaches nobody";
}

TEST_F(HBEventBusTest, QueueOverflowAndRecovery) {
  HBRef<Listener> slow = Listener::make();
  slow->blocking = true;
  ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_QUEUED, nullptr, slow.get()), 0);
  HBRef<IHBStr> value = heapStr("v");

  ASSERT_EQ(hbeventbus__post(bus, changed(), value.get(), nullptr), 0);
  ASSERT_TRUE(slow->waitEntered(1));  // the thread is held in the listener
  for (int i = 0; i < 128; ++i)
    ASSERT_EQ(hbeventbus__post(bus, changed(), value.get(), nullptr), 0) << i;
  EXPECT_EQ(hbeventbus__queued(bus), 128);
  EXPECT_EQ(hbeventbus__post(bus, changed(), value.get(), nullptr), BR_EUNSPEC);
  EXPECT_NE(log().find("[HBEVEN][02] --- EVENT QUEUE OVERFLOW! ---\n"), std::string::npos);

  slow->open(1);  // the thread takes one more message and blocks again
  ASSERT_TRUE(slow->waitEntered(2));
  EXPECT_EQ(hbeventbus__post(bus, changed(), value.get(), nullptr), 0);
  EXPECT_EQ(hbeventbus__post(bus, changed(), value.get(), nullptr), BR_EUNSPEC);

  slow->open(1000);
  ASSERT_TRUE(slow->waitCalls(130));
}

std::atomic<bool> g_takeFails{false};
std::atomic<int> g_failedTakes{0};
int32_t failingTake(BRQueue *q, int64_t *kind, void **item, int64_t timeoutMs) {
  if (g_takeFails) return ++g_failedTakes, BR_EUNSPEC;
  return brqueue__take(q, kind, item, timeoutMs);
}

// A take that fails is logged and retried after a pause, not in a busy loop, and the thread
// goes on delivering once the queue works again.
TEST_F(HBEventBusTest, FailingTakeIsLoggedAndBackedOff) {
  hbeventbus__destroy(bus);
  g_takeFails = true;
  hbeventbus__setTakeForTest(failingTake);
  ASSERT_EQ(hbeventbus__new(&bus), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  g_takeFails = false;
  const int failed = g_failedTakes;
  EXPECT_GE(failed, 1);
  EXPECT_LT(failed, 50);
  HBRef<Listener> l = Listener::make();
  ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_QUEUED, changed(), l.get()), 0);
  EXPECT_EQ(hbeventbus__post(bus, changed(), nullptr, nullptr), 0);
  EXPECT_TRUE(l->waitCalls(1));
  hbeventbus__setTakeForTest(nullptr);
  EXPECT_NE(log().find("Waiting for events failed: -1"), std::string::npos) << log();
}

TEST_F(HBEventBusTest, DestroyReleasesUndeliveredEvents) {
  HBRef<Listener> slow = Listener::make();
  slow->blocking = true;
  ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_QUEUED, nullptr, slow.get()), 0);
  HBRef<IHBStr> value = heapStr("v");
  ASSERT_EQ(hbeventbus__post(bus, changed(), value.get(), nullptr), 0);
  ASSERT_TRUE(slow->waitEntered(1));
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(hbeventbus__post(bus, changed(), value.get(), slow.get()), 0);
  slow->open(1000);
  hbeventbus__destroy(bus);  // the leak check at exit proves every reference came back
  bus = nullptr;
  ASSERT_EQ(hbeventbus__new(&bus), 0);
}

TEST_F(HBEventBusTest, UnsubscribingInsideOnEvent) {
  for (HBEventList list : {HBEVENT_QUEUED, HBEVENT_IMMEDIATE}) {
    HBRef<Listener> once = Listener::make(), after = Listener::make();
    HBRef<IHBStr> sub = heapStr("core");
    once->unsubscribeBus = bus;
    once->unsubscribeList = list;
    once->unsubscribeDomain = sub.get();
    ASSERT_EQ(hbeventbus__subscribe(bus, list, sub.get(), once.get()), 0);
    ASSERT_EQ(hbeventbus__subscribe(bus, list, nullptr, after.get()), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(hbeventbus__post(bus, changed(), nullptr, nullptr), 0);
    ASSERT_TRUE(after->waitCalls(3));
    EXPECT_EQ(once->count(), 1) << list;
    ASSERT_EQ(hbeventbus__unsubscribe(bus, list, nullptr, after.get()), 0);
  }
}

TEST_F(HBEventBusTest, ConcurrentPostersAndSubscribers) {
  HBRef<Listener> counter = Listener::make();
  ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_QUEUED, nullptr, counter.get()), 0);
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i)
        if (hbeventbus__post(bus, changed(), nullptr, nullptr) == 0) accepted.fetch_add(1);
    });
  threads.emplace_back([&] {
    for (int i = 0; i < 50; ++i) {
      HBRef<Listener> l = Listener::make();
      ASSERT_EQ(hbeventbus__subscribe(bus, HBEVENT_IMMEDIATE, nullptr, l.get()), 0);
      ASSERT_EQ(hbeventbus__unsubscribe(bus, HBEVENT_IMMEDIATE, nullptr, l.get()), 0);
    }
  });
  for (auto &t : threads) t.join();
  ASSERT_TRUE(counter->waitCalls(accepted.load()));
}

TEST(HBEventDefault, ProcessWideBus) {
  HBRef<Listener> l = Listener::make();
  EXPECT_EQ(hbevent__post(hbevent__domain(HBEVENT_CORE_PROPERTY_CHANGED), nullptr, nullptr),
            BR_EBADSTATE);
  ASSERT_EQ(hbevent__create(), 0);
  EXPECT_EQ(hbevent__create(), BR_EBADSTATE);
  ASSERT_EQ(hbevent__subscribe(HBEVENT_QUEUED, nullptr, l.get()), 0);
  ASSERT_EQ(hbevent__post(hbevent__domain(HBEVENT_CORE_PROPERTY_CHANGED), nullptr, nullptr), 0);
  ASSERT_TRUE(l->waitCalls(1));
  EXPECT_EQ(l->threads[0], "EVT");
  // The bus lives on; its subscription must not outlive the test's leak check.
  ASSERT_EQ(hbevent__unsubscribe(HBEVENT_QUEUED, nullptr, l.get()), 0);
  // "EVT" lets go of the listener only once its call has returned.
  for (int i = 0; i < 5000 && l->refcount() > 1; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(1, l->refcount());
}

}  // namespace
