// The blocking queue: a ring of messages under one lock with two conditions.
#include "brthread.h"

#include <time.h>

#include <new>

namespace {

// Waits are timed on the system clock, never on the replaceable tick source of the tests.
int64_t monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Entry {
  int64_t kind;
  void *item;
};
}  // namespace

struct BRQueue {
  BRMutex lock;
  BRCond notEmpty;
  BRCond notFull;
  Entry *ring = nullptr;
  int32_t capacity = 0;
  int32_t count = 0;
  int32_t putPos = 0;
  int32_t takePos = 0;
  ~BRQueue() { delete[] ring; }
};

int32_t brqueue__create(BRQueue **out, int32_t capacity) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  if (capacity < 1) return BR_EINVAL;
  BRQueue *q = new (std::nothrow) BRQueue;
  if (!q) return BR_EUNSPEC;
  q->ring = new (std::nothrow) Entry[capacity]();
  if (!q->ring || q->notEmpty.create() < 0 || q->notFull.create() < 0) {
    delete q;
    return BR_EUNSPEC;
  }
  q->capacity = capacity;
  *out = q;
  return BR_OK;
}

void brqueue__destroy(BRQueue *queue) {
  delete queue;
}

int32_t brqueue__put(BRQueue *q, int64_t kind, void *item, bool wait) {
  BRLock g(q->lock);
  while (q->count == q->capacity) {
    if (!wait) return BR_EUNSPEC;
    if (q->notFull.wait(q->lock, -1) == BR_EUNSPEC) return BR_EUNSPEC;
  }
  q->ring[q->putPos] = Entry{kind, item};
  if (++q->putPos == q->capacity) q->putPos = 0;
  ++q->count;
  q->notEmpty.signal();
  return BR_OK;
}

int32_t brqueue__take(BRQueue *q, int64_t *kind, void **item, int64_t timeoutMs) {
  BRLock g(q->lock);
  if (q->count == 0 && timeoutMs >= 0) {
    // A deadline, so that spurious wake-ups do not stretch the wait.
    const int64_t deadline = monotonicMs() + timeoutMs;
    while (q->count == 0) {
      const int64_t left = deadline - monotonicMs();
      if (left <= 0) return BR_EAGAIN;
      if (q->notEmpty.wait(q->lock, left) == BR_EUNSPEC) return BR_EUNSPEC;
    }
  }
  while (q->count == 0)
    if (q->notEmpty.wait(q->lock, -1) == BR_EUNSPEC) return BR_EUNSPEC;
  Entry &e = q->ring[q->takePos];
  if (kind) *kind = e.kind;
  if (item) *item = e.item;
  e = Entry{0, nullptr};
  if (++q->takePos == q->capacity) q->takePos = 0;
  --q->count;
  q->notFull.signal();
  return BR_OK;
}

int32_t brqueue__count(BRQueue *q) {
  BRLock g(q->lock);
  return q->count;
}
