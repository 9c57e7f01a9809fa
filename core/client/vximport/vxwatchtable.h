// What the folder and network watchers share: a table of 64 slots polled by one thread, and the
// quiet time after which a slot that saw changes reports. A slot has a descriptor of its own, or
// the table has descriptors for all its slots (addShared) whose readers mark the slots.
//
// The quiet time restarts with every change, so a place that never stays quiet (a log written
// every few seconds, a camera feed) would never report: a slot also reports once its oldest
// unreported change is older than the table's longest delay, quiet or not.
//
// A slot belongs to its watcher until the watcher leaves the table; from then on it belongs to
// the thread, which frees it (closing its descriptor) at its next pass: the descriptor may be in
// its poll at that moment. The thread keeps no reference to a watcher: while a slot is due it
// takes, under the table lock, what its delivery needs (the receivers, with references), and
// delivers after the lock. Internal to the watchers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "brerror.h"
#include "brthread.h"
#include "hbobj.h"

#define VXWATCH_SLOTS 64

struct VXWatchSlot {
  int fd = -1;              // -1 for the slots of a table with a shared descriptor
  int32_t index = -1;       // place in the table, -1 outside it
  int64_t lastChange = 0;   // under the table lock; 0 when nothing is pending
  int64_t firstChange = 0;  // under the table lock: the oldest change not reported yet
  virtual ~VXWatchSlot();
  // Thread, without the lock: reads what is ready on fd. True when something changed.
  virtual bool readReady() { return false; }
  // Under the lock, when the slot is due: takes what delivery needs.
  virtual void takeDue() = 0;
  // Thread, without the lock: delivers what takeDue took. True to report again after another
  // quiet time.
  virtual bool deliverDue() = 0;
  // Under the lock, when the thread frees a slot that left the table.
  virtual void logRemoved() = 0;
};

class VXWatchTable {
 public:
  VXWatchTable(const char *threadName, int64_t quietMs, int64_t maxDelayMs)
      : m_name(threadName),
        m_madeQuiet(quietMs),
        m_madeMaxDelay(maxDelayMs),
        m_quiet(quietMs),
        m_maxDelay(maxDelayMs) {}
  VXWatchTable(const VXWatchTable &) = delete;
  VXWatchTable &operator=(const VXWatchTable &) = delete;

  // Starts the thread on first use. 0, or -1.
  HB_NODISCARD int32_t start();
  // Before start: a descriptor for all slots, polled for `events` (POLLIN, or POLLPRI for a
  // mount table); `onReady` (thread, without the lock) reads it and touch()es the slots that
  // changed.
  void addShared(int fd, short events, std::function<void()> onReady);
  // Enters `slot` into the first free place. Its index, or -1 when all 64 are taken.
  int32_t enter(VXWatchSlot *slot);
  // Takes `slot` out of the table and hands it to the thread, which frees it.
  void leave(VXWatchSlot *slot);
  // Marks a change of `slot` now (a slot outside the table is left alone).
  void touch(VXWatchSlot *slot);
  BRMutex &lock() { return m_lock; }
  void wake();

  // Tests shorten the quiet time and the longest delay (0 restores the ones the table was made
  // with).
  void setQuietForTest(int64_t ms) { m_quiet = ms > 0 ? ms : m_madeQuiet; }
  void setMaxDelayForTest(int64_t ms) { m_maxDelay = ms > 0 ? ms : m_madeMaxDelay; }

  int32_t slotsInUse();
  // Wakes the thread and waits (at most 60 s) until it has made `passes` full passes.
  bool waitPasses(int32_t passes);

 private:
  static void threadMain(void *table);
  void run();

  const char *m_name;
  const int64_t m_madeQuiet;
  const int64_t m_madeMaxDelay;
  std::atomic<int64_t> m_quiet;
  std::atomic<int64_t> m_maxDelay;
  BRMutex m_lock;
  VXWatchSlot *m_slots[VXWATCH_SLOTS] = {};
  std::vector<VXWatchSlot *> m_closing;
  int m_wakeFd = -1;
  struct Shared {
    int fd;
    short events;
    std::function<void()> onReady;
  };
  std::vector<Shared> m_shared;
  bool m_started = false;
  uint64_t m_passes = 0;
  BRCond m_passCond;
};

// The receiver list of a watcher: receivers held by reference, copied (with references) to be
// called outside the lock.
template <class Sink>
class VXSinkList {
 public:
  HB_NODISCARD int32_t add(Sink *sink) {
    if (!sink) return BR_EINVAL;
    BRLock hold(m_lock);
    m_sinks.push_back(HBRef<Sink>::retain(sink));
    return BR_OK;
  }
  HB_NODISCARD int32_t remove(Sink *sink) {
    HBRef<Sink> gone;  // released after the lock
    BRLock hold(m_lock);
    for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
      if (it->get() != sink) continue;
      gone = std::move(*it);
      m_sinks.erase(it);
      return BR_OK;
    }
    return BR_ENOENT;
  }
  std::vector<HBRef<Sink>> copy() {
    BRLock hold(m_lock);
    return m_sinks;
  }

 private:
  BRMutex m_lock;
  std::vector<HBRef<Sink>> m_sinks;
};

// Monotonic milliseconds, never 0 (0 marks "nothing pending").
int64_t vxwatch__now();
