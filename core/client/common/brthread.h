// Threads, thread-local slots, the millisecond clocks, locks and the blocking queue.
//
// Every core thread is started through brthread__create and carries a record with its name; any
// other thread gets a record on first call to brthread__self. The name is what the log prints.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "brerror.h"

// ---------------------------------------------------------------------------------------------
// Threads

// The longest thread name kept (longer names are cut).
enum : int { BRTHREAD_NAME_MAX = 31, BRTHREAD_SLOTS = 32, BRTHREAD_MAX_KEYS = 31 };

// The stack size every core thread is created with.
enum : int { BRTHREAD_STACK_SIZE = 64 * 1024 };

typedef void (*brthread_func)(void *argument);
typedef void (*brthread_keydtor)(void *value);

struct BRThread;

// Starts `function(argument)` on a new thread named `name` (null: the thread id). On success
// stores the thread's record in *out and returns 0; the caller later hands the record back with
// exactly one of brthread__join or brthread__detach. Returns -1 when the thread cannot be
// created, with nothing left behind.
HB_NODISCARD int32_t brthread__create(BRThread **out, brthread_func function, void *argument,
                                      const char *name);

// Waits for the thread to end and frees its record. Never call it on the calling thread's own
// record.
HB_NODISCARD int32_t brthread__join(BRThread *thread);

// Lets the thread run on alone; it frees its record when it ends.
void brthread__detach(BRThread *thread);

// The calling thread's record (borrowed; valid while the thread runs). Made on first use for
// threads the core did not start, named after the thread id.
BRThread *brthread__self();

// The name (at most 31 characters, borrowed from the record). Only the thread itself renames
// its record, so reading one's own name needs no lock.
const char *brthread__name(const BRThread *thread);
// Renames the record; call it for the calling thread's own record, or before the thread starts
// logging. A null or empty name gives the thread id.
void brthread__setName(BRThread *thread, const char *name);

// The kernel thread id.
uint64_t brthread__id(const BRThread *thread);
// True while the thread's start function runs (always true for a record made by brthread__self).
bool brthread__isJoinable(const BRThread *thread);

// Thread-local keys: at most 31 per process, never freed. Returns the key (1 to 31), or -14
// (Too Many) once 31 exist. The destructor, when given, runs on a slot's value at thread end and
// when brthread__setSpecific replaces a value.
HB_NODISCARD int32_t brthread__keyCreate(brthread_keydtor destructor);
// Stores `value` in the calling thread's slot for `key`; returns 0, or -6 for an unknown key.
HB_NODISCARD int32_t brthread__setSpecific(int32_t key, void *value);
// The calling thread's value for `key`, or null.
void *brthread__getSpecific(int32_t key);

// ---------------------------------------------------------------------------------------------
// Time

// Milliseconds since an arbitrary start; 64-bit, never wraps.
int64_t brtime__ticks();
// Wall-clock milliseconds since 1970 (seconds times 1000 plus milliseconds).
int64_t brtime__nowMs();

// Replaceable clock sources, for tests. A null function restores the system source.
typedef int64_t (*brtime_ticks64_fn)();
typedef uint32_t (*brtime_ticks32_fn)();
typedef int64_t (*brtime_now_fn)();
// A 64-bit tick source used as it is.
void brtime__setTicks64Source(brtime_ticks64_fn source);
// A 32-bit tick source, extended to 64 bits by counting wraps (logged under "GETTICKS").
// Setting one restarts the wrap count.
void brtime__setTicks32Source(brtime_ticks32_fn source);
void brtime__setClockSource(brtime_now_fn source);

// ---------------------------------------------------------------------------------------------
// Locks

class BRCond;

// A non-recursive mutex.
class BRMutex {
 public:
  BRMutex() { pthread_mutex_init(&m_mutex, nullptr); }
  ~BRMutex() { pthread_mutex_destroy(&m_mutex); }
  BRMutex(const BRMutex &) = delete;
  BRMutex &operator=(const BRMutex &) = delete;

  void lock() { pthread_mutex_lock(&m_mutex); }
  void unlock() { pthread_mutex_unlock(&m_mutex); }
  bool tryLock() { return pthread_mutex_trylock(&m_mutex) == 0; }

 private:
  friend class BRCond;
  pthread_mutex_t m_mutex;
};

// Holds a BRMutex for its scope.
class BRLock {
 public:
  explicit BRLock(BRMutex &m) : m_m(m) { m_m.lock(); }
  ~BRLock() { m_m.unlock(); }
  BRLock(const BRLock &) = delete;
  BRLock &operator=(const BRLock &) = delete;

 private:
  BRMutex &m_m;
};

// A condition variable used with an outer BRMutex that the caller holds around wait.
class BRCond {
 public:
  BRCond() = default;
  ~BRCond() { destroy(); }
  BRCond(const BRCond &) = delete;
  BRCond &operator=(const BRCond &) = delete;

  // Returns 0, or -1 when the condition cannot be made.
  HB_NODISCARD int32_t create();
  // Releases `lock` while waiting and holds it again on return. `timeoutMs` -1 waits without
  // limit. Returns 0 when woken, -2 when the time ran out, -1 when the wait failed. Waiters may
  // wake without a signal and must recheck their predicate.
  HB_NODISCARD int32_t wait(BRMutex &lock, int64_t timeoutMs);
  void signal();
  void broadcast();
  void destroy();

 private:
  pthread_cond_t m_cond;
  bool m_created = false;
};

// ---------------------------------------------------------------------------------------------
// Blocking queue: a bounded ring of (kind, item) messages, the mailbox of the core's threads.

struct BRQueue;

// Makes a queue with room for `capacity` messages (at least 1) in *out; the caller frees it with
// brqueue__destroy. Returns 0, -6 for a capacity below 1, or -1 when out of memory.
HB_NODISCARD int32_t brqueue__create(BRQueue **out, int32_t capacity);
// Frees the queue; items still queued are not touched. No thread may be using it.
void brqueue__destroy(BRQueue *queue);
// Appends a message. Returns 0; when the queue is full returns -1 without `wait`, and with
// `wait` waits for room without limit.
HB_NODISCARD int32_t brqueue__put(BRQueue *queue, int64_t kind, void *item, bool wait);
// Takes the oldest message, waiting up to `timeoutMs` (-1: without limit). Returns 0 with the
// message in *kind and *item, or -2 when the time ran out.
HB_NODISCARD int32_t brqueue__take(BRQueue *queue, int64_t *kind, void **item, int64_t timeoutMs);
// Messages waiting at this moment.
int32_t brqueue__count(BRQueue *queue);

// Owns a BRQueue.
class BRQueueHolder {
 public:
  BRQueueHolder() = default;
  ~BRQueueHolder() { reset(); }
  BRQueueHolder(const BRQueueHolder &) = delete;
  BRQueueHolder &operator=(const BRQueueHolder &) = delete;
  void reset() {
    if (m_q) brqueue__destroy(m_q);
    m_q = nullptr;
  }
  BRQueue **out() {
    reset();
    return &m_q;
  }
  BRQueue *get() const { return m_q; }

 private:
  BRQueue *m_q = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Test hooks

// Forgets every thread-local key so that a test can count them again. Only for tests that own
// the whole process; values still stored under old keys are not destroyed.
void brthread__resetKeysForTest();
