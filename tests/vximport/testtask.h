// A small task for the task model and queue tests: it records its runs and notifications, can
// hold the queue thread until released, and pauses and resumes the way auto-imports do.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "hbproperties.h"
#include "testutil.h"
#include "vxclienttask.h"
#include "vxclienttaskqueue.h"

namespace tessel::test {

// A settings database of its own for one test: XDG_CONFIG_HOME points at a fresh folder and the
// browser key is the default store, until destruction.
class TempSettings {
 public:
  TempSettings() {
    const char *old = getenv("XDG_CONFIG_HOME");
    m_oldConfig = old ? old : "";
    setenv("XDG_CONFIG_HOME", m_dir.path().c_str(), 1);
    if (hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, m_store.out()) == 0)
      hbproperties__setDefault(m_store.get());
  }
  ~TempSettings() {
    hbproperties__setDefault(nullptr);
    m_store.reset();
    setenv("XDG_CONFIG_HOME", m_oldConfig.c_str(), 1);
  }
  HBProperties *store() const { return m_store.get(); }
  const TempDir &dir() const { return m_dir; }

 private:
  TempDir m_dir;
  std::string m_oldConfig;
  HBRef<HBProperties> m_store;
};

// Runs of every TestTask, in order, and a gate that holds them.
struct TaskLog {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> runs;  // "id token", as each run starts
  size_t done = 0;                // runs that have ended
  bool gateClosed = false;
  bool insideGate = false;

  static TaskLog &get() {
    static TaskLog log;
    return log;
  }
  void reset() {
    std::lock_guard<std::mutex> l(m);
    runs.clear();
    done = 0;
    gateClosed = false;
    insideGate = false;
  }
  void closeGate() {
    std::lock_guard<std::mutex> l(m);
    gateClosed = true;
  }
  void openGate() {
    std::lock_guard<std::mutex> l(m);
    gateClosed = false;
    cv.notify_all();
  }
  // Waits (at most 30 s) until `pred` holds.
  template <class Pred>
  bool waitFor(Pred pred) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, std::chrono::seconds(30), pred);
  }
  // Waits for `n` runs to have ended.
  bool ended(size_t n) {
    return waitFor([&] { return done >= n; });
  }
};

class TestTask : public VXClientTask {
 public:
  TestTask(const char *id, int32_t type, int32_t cls, uint32_t flags, VXClientTaskReference *src,
           IHBURI *dest, VXClientTaskQueue *queue)
      : VXClientTask(id, type, cls, flags, src, dest), m_queue(queue) {}

  int32_t runTask(const char *token) override {
    TaskLog &log = TaskLog::get();
    {
      std::unique_lock<std::mutex> l(log.m);
      log.runs.push_back(std::string(getTaskID()) + " " + (token ? token : "-"));
      log.insideGate = true;
      log.cv.notify_all();
      log.cv.wait_for(l, std::chrono::seconds(30), [&] { return !log.gateClosed; });
      log.insideGate = false;
    }
    run();
    std::lock_guard<std::mutex> l(log.m);
    ++log.done;
    log.cv.notify_all();
    return 0;
  }

  void notifyTask(int32_t code) override {
    std::lock_guard<std::mutex> l(m_notesLock);
    m_notes.push_back(code);
  }
  std::vector<int32_t> notes() {
    std::lock_guard<std::mutex> l(m_notesLock);
    return m_notes;
  }

  // As the auto-import: resuming works only from 5 and queues a run.
  int32_t setPaused(int32_t paused) override {
    if (paused) return cancelTask();
    if (getTaskState() != TASK_STATE_CANCELED) return BR_EBADSTATE;
    setCancel(false);
    setTaskState(TASK_STATE_PENDING);
    return m_queue ? m_queue->requeueTask(this) : BR_EBADSTATE;
  }

  // An import's progress: the file being sent and its step.
  int32_t getProgress(VXClientTaskProgress **out) override {
    refreshProgress(m_progressTag, fileSize, fileSent, TASK_PROGRESS_SENDING_ORIGINAL);
    return VXClientTask::getProgress(out);
  }

  // What the tests drive directly.
  using VXClientTask::recordError;
  using VXClientTask::recordErrorPath;
  using VXClientTask::setCancel;
  using VXClientTask::setProgressFile;
  using VXClientTask::stampTimestamp;
  void setCounts(int32_t index, int32_t total, int64_t done, int64_t totalBytes) {
    m_currentFileIndex = index;
    m_totalFiles = total;
    m_bytesDone = done;
    m_totalBytes = totalBytes;
  }
  int64_t fileSize = 0;
  int64_t fileSent = 0;
  const char *m_progressTag = "IMPORT";

 private:
  // A run as the import does it: 4 or 5 end as 5, 3 is not run, the rest go 1 -> 2 -> 6.
  void run() {
    const int32_t s = getTaskState();
    if (s == TASK_STATE_CANCELING || s == TASK_STATE_CANCELED) {
      setTaskState(TASK_STATE_CANCELED);
      return;
    }
    if (s == TASK_STATE_UNKNOWN) return;
    setTaskState(TASK_STATE_PREPARING);
    if (!transitionState(TASK_STATE_PREPARING, TASK_STATE_RUNNING) ||
        !transitionState(TASK_STATE_RUNNING, TASK_STATE_FINISHED))
      setTaskState(TASK_STATE_CANCELED);
  }

  VXClientTaskQueue *m_queue;  // not referenced: the queue outlives its tasks in the tests
  std::mutex m_notesLock;
  std::vector<int32_t> m_notes;
};

inline HBRef<TestTask> makeTestTask(const char *id, int32_t type, VXClientTaskReference *src,
                                    IHBURI *dest, VXClientTaskQueue *queue = nullptr,
                                    int32_t cls = TASK_CLASS_PHOTO, uint32_t flags = 0x25) {
  return HBRef<TestTask>::adopt(new TestTask(id, type, cls, flags, src, dest, queue));
}

// Factories that build TestTasks, for vxclienttaskqueue__setFactoryForTest.
inline const VXClientTaskFactoryTable *testFactories() {
  static const VXClientTaskFactoryTable table = {
      [](VXClientTask **out, const char *id, int32_t cls, uint32_t flags,
         VXClientTaskReference *src, IHBURI *dest) {
        *out = makeTestTask(id, TASK_TYPE_IMPORT, src, dest, nullptr, cls, flags).detach();
        return 0;
      },
      [](VXClientTask **out, const char *id, VXClientTaskReference *src, IHBURI *dest) {
        *out = makeTestTask(id, TASK_TYPE_EXPORT, src, dest, nullptr, 0, 0).detach();
        return 0;
      },
      [](VXClientTask **out, const char *id, int32_t cls, uint32_t flags,
         VXClientTaskReference *src, IHBURI *dest, VXClientTaskQueue *queue) {
        HBRef<TestTask> t = makeTestTask(id, TASK_TYPE_AUTOIMPORT, src, dest, queue, cls, flags);
        t->setTaskState(TASK_STATE_CANCELED);
        *out = t.detach();
        return 0;
      }};
  return &table;
}

}  // namespace tessel::test
