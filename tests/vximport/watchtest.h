// Helpers of the watcher and auto-import tests: a clock the test moves, and receivers that
// record what the watchers report.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "brthread.h"
#include "hbstr.h"
#include "vxfsevent.h"
#include "vxnetevent.h"

namespace tessel::test {

// The runtime's tick source held at a value the test moves, for as long as it lives.
class FakeClock {
 public:
  FakeClock() {
    s_ticks.store(5000000);
    brtime__setTicks64Source([] { return s_ticks.load(); });
  }
  ~FakeClock() { brtime__setTicks64Source(nullptr); }
  FakeClock(const FakeClock &) = delete;
  FakeClock &operator=(const FakeClock &) = delete;
  void advance(int64_t ms) { s_ticks += ms; }
  int64_t now() const { return s_ticks.load(); }

 private:
  static inline std::atomic<int64_t> s_ticks{5000000};
};

inline std::string uriString(IHBURI *uri) {
  HBRef<IHBStr> s;
  if (!uri || uri->toString(s.out()) < 0 || !s->getText()) return "";
  return s->getText();
}

// Records the URI of every folder event it gets and answers `result`.
class RecordingFSSink final : public HBObject<RecordingFSSink, IVXFSEventSink> {
 public:
  static HBRef<RecordingFSSink> make() {
    return HBRef<RecordingFSSink>::adopt(new RecordingFSSink);
  }
  int32_t receiveFSEvents(IHBIter *events) override {
    std::lock_guard<std::mutex> l(m_lock);
    hbtype_t t = HBTYPE_ANY;
    void *item = nullptr;
    while (events->next(&t, &item) == 0) {
      HBRef<IVXFSEvent> e = HBRef<IVXFSEvent>::adopt(static_cast<IVXFSEvent *>(item));
      HBRef<IHBURI> uri;
      if (e->getEventURI(uri.out()) == 0) m_seen.push_back(uriString(uri.get()));
    }
    return m_result;
  }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_seen;
  }
  void setResult(int32_t rc) {
    std::lock_guard<std::mutex> l(m_lock);
    m_result = rc;
  }
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
    return BR_ENOENT;
  }

 private:
  friend class HBObject<RecordingFSSink, IVXFSEventSink>;
  RecordingFSSink() = default;
  std::mutex m_lock;
  std::vector<std::string> m_seen;
  int32_t m_result = 0;
};

// Records the availability of every network event it gets.
class RecordingNetSink final : public HBObject<RecordingNetSink, IVXNetEventSink> {
 public:
  static HBRef<RecordingNetSink> make() {
    return HBRef<RecordingNetSink>::adopt(new RecordingNetSink);
  }
  int32_t receiveNetEvent(IVXNetEvent *event) override {
    std::lock_guard<std::mutex> l(m_lock);
    m_seen.push_back(event->isAvailable());
    return 0;
  }
  std::vector<int32_t> seen() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_seen;
  }
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
    return BR_ENOENT;
  }

 private:
  friend class HBObject<RecordingNetSink, IVXNetEventSink>;
  RecordingNetSink() = default;
  std::mutex m_lock;
  std::vector<int32_t> m_seen;
};

// Polls `pred` every 10 ms for at most `ms` (long enough for a busy machine: only a failing
// test waits that long).
template <class Pred>
bool eventually(Pred pred, int ms = 30000) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

}  // namespace tessel::test
