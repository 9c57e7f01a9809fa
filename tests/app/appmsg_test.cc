#include "appmsg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "hbobj.h"

namespace {

struct Seen {
  std::vector<AppMessage> messages;
  std::vector<std::string> data;
};

void record(const AppMessage &m, void *context) {
  auto *seen = static_cast<Seen *>(context);
  seen->messages.push_back(m);
  seen->data.emplace_back(m.data ? std::string(m.data, m.dataSize) : std::string());
}

class Counted final : public HBObject<Counted, IHBObj> {
 public:
  explicit Counted(std::atomic<int> *alive) : m_alive(alive) { ++*m_alive; }
  int32_t getifc(int32_t, void **) override { return BR_ENOENT; }

 private:
  friend class HBObject<Counted, IHBObj>;
  ~Counted() override { --*m_alive; }
  std::atomic<int> *m_alive;
};

void runUntil(const Seen &seen, size_t count) {
  for (int i = 0; i < 100000 && seen.messages.size() < count; ++i)
    g_main_context_iteration(nullptr, TRUE);
}

TEST(AppMsg, EveryThreadsMessagesArriveInOrder) {
  EXPECT_EQ(BR_EBADSTATE, appmsg__post(MSG_TRAY_COMMAND, 1, 2));
  Seen seen;
  ASSERT_EQ(0, appmsg__init(nullptr, record, &seen));
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) EXPECT_EQ(0, appmsg__post(MSG_SESSION_CHANGED, t, i));
    });
  for (auto &t : threads) t.join();
  ASSERT_EQ(0, appmsg__postData(1, "name::svc::dev", 14));
  runUntil(seen, kThreads * kEach + 1);
  ASSERT_EQ(static_cast<size_t>(kThreads * kEach + 1), seen.messages.size());
  std::vector<intptr_t> next(kThreads, 0);
  for (size_t i = 0; i < kThreads * kEach; ++i) {
    const AppMessage &m = seen.messages[i];
    ASSERT_EQ(MSG_SESSION_CHANGED, m.msg);
    EXPECT_EQ(next[m.wParam]++, m.lParam);
  }
  EXPECT_EQ(MSG_COPYDATA, seen.messages.back().msg);
  EXPECT_EQ("name::svc::dev", seen.data.back());
  appmsg__shutdown();
}

TEST(AppMsg, UrlObjectsAreReleasedDeliveredOrNot) {
  std::atomic<int> alive{0};
  Seen seen;
  ASSERT_EQ(0, appmsg__init(nullptr, record, &seen));
  ASSERT_EQ(0, appmsg__post(MSG_OPEN_URL, reinterpret_cast<uintptr_t>(new Counted(&alive)), 0));
  runUntil(seen, 1);
  EXPECT_EQ(1u, seen.messages.size());
  EXPECT_EQ(0, alive.load());
  // Still queued at shutdown, and posted after it.
  ASSERT_EQ(0, appmsg__post(MSG_OPEN_URL, reinterpret_cast<uintptr_t>(new Counted(&alive)), 0));
  appmsg__shutdown();
  EXPECT_EQ(0, alive.load());
  EXPECT_EQ(BR_EBADSTATE,
            appmsg__post(MSG_OPEN_URL, reinterpret_cast<uintptr_t>(new Counted(&alive)), 0));
  EXPECT_EQ(0, alive.load());
}

}  // namespace
