// Threads, thread-local slots, clocks and condition variables over pthreads.
#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"
#include "brthread.h"

struct BRThread {
  pthread_t handle{};
  uint64_t tid = 0;
  std::atomic<bool> joinable{false};
  // Set by a new thread once its id and name are in place; its creator waits for it.
  std::atomic<bool> started{false};
  bool coreThread = false;
  // Detach and thread end each add one; whoever comes second frees the record.
  std::atomic<int> releases{0};
  brthread_func function = nullptr;
  void *argument = nullptr;
  char name[BRTHREAD_NAME_MAX + 1] = {};
  const void *stackMark = nullptr;
  size_t stackSize = 0;
  void *slots[BRTHREAD_SLOTS] = {};
};

namespace {

// The real stack reservation. Windows reserves a megabyte and commits the requested 64 KiB as
// the thread grows; a pthread stack is fixed, so reserve the same megabyte (committed lazily).
constexpr size_t kStackReserve = 1024 * 1024;

thread_local BRThread *t_self = nullptr;

struct KeyTable {
  BRMutex lock;
  std::atomic<int32_t> count{0};
  std::atomic<brthread_keydtor> dtors[BRTHREAD_SLOTS];
};

KeyTable &keys() {
  static KeyTable *k = new KeyTable;  // never destroyed: threads may end after main
  return *k;
}

uint64_t currentTid() {
  return static_cast<uint64_t>(syscall(SYS_gettid));
}

void setDefaultName(BRThread *t) {
  snprintf(t->name, sizeof t->name, "%lu", (unsigned long)t->tid);
}

// The kernel keeps 15 characters of a thread's name; debuggers and `top` show them.
void setOsName(const char *name) {
  char osName[16];
  memcpy(osName, name, sizeof osName - 1);
  osName[sizeof osName - 1] = '\0';
  pthread_setname_np(pthread_self(), osName);
}

// Runs the destructor of every key whose slot holds a value; a destructor may store new values,
// so repeat a few rounds as pthreads does.
void runSlotDestructors(BRThread *t) {
  KeyTable &k = keys();
  for (int round = 0; round < 4; ++round) {
    bool any = false;
    const int32_t n = k.count.load(std::memory_order_acquire);
    for (int32_t key = 1; key <= n; ++key) {
      void *v = t->slots[key];
      if (!v) continue;
      t->slots[key] = nullptr;
      brthread_keydtor d = k.dtors[key].load(std::memory_order_acquire);
      if (d) {
        d(v);
        any = true;
      }
    }
    if (!any) break;
  }
}

// Records made by brthread__self for foreign threads are freed when those threads end.
pthread_key_t g_foreignKey;
pthread_once_t g_foreignOnce = PTHREAD_ONCE_INIT;

void foreignThreadEnd(void *p) {
  BRThread *t = static_cast<BRThread *>(p);
  runSlotDestructors(t);
  t_self = nullptr;
  delete t;
}

void makeForeignKey() {
  pthread_key_create(&g_foreignKey, foreignThreadEnd);
}

void *threadStart(void *p) {
  BRThread *t = static_cast<BRThread *>(p);
  t->tid = currentTid();
  if (!t->name[0]) setDefaultName(t);
  t->started.store(true, std::memory_order_release);
  t->started.notify_one();
  t->stackMark = &t;
  t_self = t;
  setOsName(t->name);

  t->function(t->argument);

  runSlotDestructors(t);
  t_self = nullptr;
  t->joinable.store(false, std::memory_order_release);
  if (t->releases.fetch_add(1, std::memory_order_acq_rel) == 1) delete t;
  return nullptr;
}

}  // namespace

int32_t brthread__create(BRThread **out, brthread_func function, void *argument, const char *name) {
  if (!out || !function) return BR_EUNSPEC;
  *out = nullptr;
  BRThread *t = new (std::nothrow) BRThread;
  if (!t) return BR_EUNSPEC;
  t->function = function;
  t->argument = argument;
  t->coreThread = true;
  t->stackSize = BRTHREAD_STACK_SIZE;
  if (name && *name) snprintf(t->name, sizeof t->name, "%s", name);
  t->joinable.store(true, std::memory_order_relaxed);

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete t;
    return BR_EUNSPEC;
  }
  pthread_attr_setstacksize(&attr, kStackReserve);
  const int rc = pthread_create(&t->handle, &attr, threadStart, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t;
    return BR_EUNSPEC;
  }
  // The kernel's id exists only once the thread runs: wait until it has recorded it (and the
  // default name made from it), so the creator reads both at once without a race.
  t->started.wait(false, std::memory_order_acquire);
  *out = t;
  return BR_OK;
}

int32_t brthread__join(BRThread *thread) {
  if (!thread || !thread->coreThread || thread == t_self) return BR_EINVAL;
  const int rc = pthread_join(thread->handle, nullptr);
  if (rc != 0) return BR_EUNSPEC;
  delete thread;
  return BR_OK;
}

void brthread__detach(BRThread *thread) {
  if (!thread || !thread->coreThread) return;
  pthread_detach(thread->handle);
  if (thread->releases.fetch_add(1, std::memory_order_acq_rel) == 1) delete thread;
}

BRThread *brthread__self() {
  if (t_self) return t_self;
  BRThread *t = new (std::nothrow) BRThread;
  if (!t) {
    // No memory for a record: a shared stand-in keeps the log writing.
    static BRThread fallback;
    return &fallback;
  }
  t->handle = pthread_self();
  t->tid = currentTid();
  t->joinable.store(true, std::memory_order_relaxed);
  t->stackMark = &t;
  setDefaultName(t);
  pthread_once(&g_foreignOnce, makeForeignKey);
  pthread_setspecific(g_foreignKey, t);
  t_self = t;
  return t;
}

const char *brthread__name(const BRThread *thread) {
  return thread ? thread->name : "";
}

void brthread__setName(BRThread *thread, const char *name) {
  if (!thread) return;
  if (name && *name)
    snprintf(thread->name, sizeof thread->name, "%s", name);
  else
    setDefaultName(thread);
  if (thread == t_self) setOsName(thread->name);
}

uint64_t brthread__id(const BRThread *thread) {
  return thread ? thread->tid : 0;
}

bool brthread__isJoinable(const BRThread *thread) {
  return thread && thread->joinable.load(std::memory_order_acquire);
}

int32_t brthread__keyCreate(brthread_keydtor destructor) {
  KeyTable &k = keys();
  BRLock g(k.lock);
  const int32_t n = k.count.load(std::memory_order_relaxed);
  if (n >= BRTHREAD_MAX_KEYS) return BR_ETOOMANY;
  const int32_t key = n + 1;  // slot 0 stays unused, as the record itself lives there on Windows
  k.dtors[key].store(destructor, std::memory_order_relaxed);
  k.count.store(key, std::memory_order_release);
  return key;
}

int32_t brthread__setSpecific(int32_t key, void *value) {
  KeyTable &k = keys();
  if (key < 1 || key > k.count.load(std::memory_order_acquire)) return BR_EINVAL;
  BRThread *t = brthread__self();
  void *old = t->slots[key];
  t->slots[key] = value;
  brthread_keydtor d = k.dtors[key].load(std::memory_order_acquire);
  if (old && value != old && d) d(old);
  return BR_OK;
}

void *brthread__getSpecific(int32_t key) {
  if (key < 1 || key > keys().count.load(std::memory_order_acquire)) return nullptr;
  return brthread__self()->slots[key];
}

void brthread__resetKeysForTest() {
  KeyTable &k = keys();
  BRLock g(k.lock);
  for (auto &d : k.dtors) d.store(nullptr, std::memory_order_relaxed);
  k.count.store(0, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Time

namespace {

std::atomic<brtime_ticks64_fn> g_ticks64{nullptr};
std::atomic<brtime_ticks32_fn> g_ticks32{nullptr};
std::atomic<brtime_now_fn> g_now{nullptr};

struct TickExtension {
  BRMutex lock;
  uint32_t last = 0;
  int64_t wraps = 0;
};

TickExtension &tickExtension() {
  static TickExtension *t = new TickExtension;
  return *t;
}

int64_t extendTicks(brtime_ticks32_fn source) {
  TickExtension &x = tickExtension();
  uint32_t last, tc;
  int64_t ticks;
  bool wrapped;
  {
    BRLock g(x.lock);
    tc = source();
    last = x.last;
    wrapped = tc < last;
    if (wrapped) ++x.wraps;
    x.last = tc;
    ticks = (x.wraps << 32) | tc;
  }
  // Logged outside the lock: the log reads the clock itself.
  if (wrapped)
    brlog("GETTICKS", BRLOG_WARNING, "OVERFLOW: LASTTC: %u TC: %u TICKS: %lld\n", last, tc,
          (long long)ticks);
  return ticks;
}

}  // namespace

int64_t brtime__ticks() {
  if (brtime_ticks64_fn f = g_ticks64.load(std::memory_order_acquire)) return f();
  if (brtime_ticks32_fn f = g_ticks32.load(std::memory_order_acquire)) return extendTicks(f);
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t brtime__nowMs() {
  if (brtime_now_fn f = g_now.load(std::memory_order_acquire)) return f();
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void brtime__setTicks64Source(brtime_ticks64_fn source) {
  g_ticks64.store(source, std::memory_order_release);
}

void brtime__setTicks32Source(brtime_ticks32_fn source) {
  TickExtension &x = tickExtension();
  BRLock g(x.lock);
  x.last = 0;
  x.wraps = 0;
  g_ticks32.store(source, std::memory_order_release);
}

void brtime__setClockSource(brtime_now_fn source) {
  g_now.store(source, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Condition variable

int32_t BRCond::create() {
  if (m_created) return BR_OK;
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) return BR_EUNSPEC;
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  const int rc = pthread_cond_init(&m_cond, &attr);
  pthread_condattr_destroy(&attr);
  if (rc != 0) return BR_EUNSPEC;
  m_created = true;
  return BR_OK;
}

int32_t BRCond::wait(BRMutex &lock, int64_t timeoutMs) {
  if (!m_created) return BR_EUNSPEC;
  if (timeoutMs < 0) return pthread_cond_wait(&m_cond, &lock.m_mutex) == 0 ? BR_OK : BR_EUNSPEC;
  if (timeoutMs == 0) return BR_EAGAIN;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += timeoutMs / 1000;
  ts.tv_nsec += (timeoutMs % 1000) * 1000000;
  if (ts.tv_nsec >= 1000000000) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000;
  }
  const int rc = pthread_cond_timedwait(&m_cond, &lock.m_mutex, &ts);
  if (rc == 0) return BR_OK;
  if (rc == ETIMEDOUT) return BR_EAGAIN;
  return BR_EUNSPEC;
}

void BRCond::signal() {
  if (m_created) pthread_cond_signal(&m_cond);
}

void BRCond::broadcast() {
  if (m_created) pthread_cond_broadcast(&m_cond);
}

void BRCond::destroy() {
  if (!m_created) return;
  pthread_cond_destroy(&m_cond);
  m_created = false;
}
