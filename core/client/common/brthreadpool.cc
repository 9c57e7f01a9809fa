// The worker pool: named threads taking jobs from one FIFO under the pool lock.
#include "brthreadpool.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "brlog.h"
#include "brthread.h"

namespace {

constexpr char kTag[] = "BRTP";

struct WorkItem {
  brtp_func function = nullptr;
  brtp_func discard = nullptr;
  void *argument = nullptr;
  int64_t queued = 0;
  int64_t started = 0;
  WorkItem *next = nullptr;
};

struct Worker {
  BRThread *thread = nullptr;
  BRThreadPool *pool = nullptr;
  WorkItem *executing = nullptr;
};

}  // namespace

struct BRThreadPool {
  std::atomic<int32_t> refs{1};
  bool running = false;
  int level = BRLOG_VERBOSE4;
  int32_t threads = 0;
  int32_t limit = 0;
  int32_t idle = 0;
  int32_t pending = 0;
  char name[64] = {};
  BRMutex lock;
  BRCond cond;
  Worker *workers = nullptr;
  int32_t started = 0;
  WorkItem *head = nullptr;
  WorkItem *tail = nullptr;
};

namespace {

int32_t g_poolKey = 0;
std::once_flag g_poolKeyOnce;

BRMutex &defaultLock() {
  static BRMutex *m = new BRMutex;
  return *m;
}
BRThreadPool *g_default = nullptr;  // guarded by defaultLock()

void destroyPool(BRThreadPool *pool) {
  brlog(kTag, pool->level, "Destroying Thread Pool '%s' [%d, %d]\n", pool->name, pool->threads,
        pool->limit);
  for (WorkItem *it = pool->head; it;) {
    WorkItem *next = it->next;
    if (it->discard) it->discard(it->argument);
    delete it;
    it = next;
  }
  delete[] pool->workers;
  delete pool;
}

void release(BRThreadPool *pool) {
  if (pool->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroyPool(pool);
}

void workerMain(void *p) {
  Worker *w = static_cast<Worker *>(p);
  BRThreadPool *pool = w->pool;
  if (g_poolKey > 0) (void)brthread__setSpecific(g_poolKey, w);

  pool->lock.lock();
  for (;;) {
    while (pool->running && !pool->head) {
      brlog(kTag, pool->level, "Thread waiting for work [%d]\n", pool->idle);
      (void)pool->cond.wait(pool->lock, -1);
    }
    if (!pool->running) break;
    WorkItem *item = pool->head;
    pool->head = item->next;
    if (!pool->head) pool->tail = nullptr;
    --pool->pending;
    --pool->idle;
    w->executing = item;
    item->started = brtime__ticks();
    pool->lock.unlock();

    brlog(kTag, pool->level, "+++Thread executing work item [%p(%p)]\n",
          reinterpret_cast<void *>(item->function), item->argument);
    item->function(item->argument);
    brlog(kTag, pool->level, "---Thread work item complete  [%p(%p)]\n",
          reinterpret_cast<void *>(item->function), item->argument);

    pool->lock.lock();
    w->executing = nullptr;
    ++pool->idle;
    pool->lock.unlock();
    delete item;
    pool->lock.lock();
  }
  pool->lock.unlock();
  release(pool);
  if (g_poolKey > 0) (void)brthread__setSpecific(g_poolKey, nullptr);
}

// Stops the workers started so far and drops the creator's reference.
void stopPool(BRThreadPool *pool) {
  brlog(kTag, pool->level, "Shutting Down Thread Pool '%s'\n", pool->name);
  {
    BRLock g(pool->lock);
    pool->running = false;
    pool->cond.broadcast();
  }
  for (int32_t i = 0; i < pool->started; ++i) {
    Worker &w = pool->workers[i];
    brlog(kTag, pool->level, "Waiting for thread '%s'\n", brthread__name(w.thread));
    (void)brthread__join(w.thread);
    w.thread = nullptr;
  }
  brlog(kTag, pool->level, "Shutdown complete\n");
  release(pool);
}

}  // namespace

int32_t brtp__new(BRThreadPool **out, const char *name, int32_t threads, int32_t limit) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  if (!name || threads < 1 || threads > 99 || limit < -1 || limit == 0) return BR_EINVAL;
  std::call_once(g_poolKeyOnce, [] {
    const int32_t key = brthread__keyCreate(nullptr);
    g_poolKey = key > 0 ? key : 0;
  });

  BRThreadPool *pool = new (std::nothrow) BRThreadPool;
  if (!pool) return BR_ENOMEM;
  pool->workers = new (std::nothrow) Worker[threads];
  const int32_t rc = !pool->workers ? BR_ENOMEM : pool->cond.create();
  if (rc < 0) {
    delete[] pool->workers;
    delete pool;
    return rc;
  }
  pool->running = true;
  pool->threads = threads;
  pool->limit = limit;
  snprintf(pool->name, sizeof pool->name, "%s", name);
  brlog(kTag, pool->level, "Creating Thread Pool '%s' [%d, %d]\n", pool->name, pool->threads,
        pool->limit);

  for (int32_t i = 0; i < threads; ++i) {
    Worker &w = pool->workers[i];
    w.pool = pool;
    char workerName[48];
    snprintf(workerName, sizeof workerName, "%.28s%02d", pool->name, static_cast<int>(i));
    pool->refs.fetch_add(1, std::memory_order_relaxed);
    {
      BRLock g(pool->lock);
      ++pool->idle;
    }
    if (brthread__create(&w.thread, workerMain, &w, workerName) < 0) {
      pool->refs.fetch_sub(1, std::memory_order_relaxed);
      {
        BRLock g(pool->lock);
        --pool->idle;
      }
      stopPool(pool);
      return BR_EUNSPEC;
    }
    pool->started = i + 1;
  }
  *out = pool;
  return BR_OK;
}

int32_t brtp__create() {
  BRLock g(defaultLock());
  if (g_default) return BR_EBADSTATE;
  BRThreadPool *pool = nullptr;
  const int32_t rc = brtp__new(&pool, "MTP", 4, 16);
  if (rc < 0) return BR_EUNSPEC;
  g_default = pool;
  return BR_OK;
}

BRThreadPool *brtp__default() {
  BRLock g(defaultLock());
  return g_default;
}

int32_t brtp__post(brtp_func function, void *argument) {
  BRThreadPool *pool;
  {
    BRLock g(defaultLock());
    pool = g_default;
    if (!pool) return BR_EBADSTATE;
    pool->refs.fetch_add(1, std::memory_order_relaxed);
  }
  const int32_t rc = brtp__postTo(pool, function, nullptr, argument);
  release(pool);
  return rc;
}

int32_t brtp__postTo(BRThreadPool *pool, brtp_func function, brtp_func discard, void *argument) {
  if (!pool || !function) return BR_EINVAL;
  BRLock g(pool->lock);
  if (!pool->running) return BR_EBADSTATE;
  if (pool->limit != -1 && pool->pending + (pool->threads - pool->idle) >= pool->limit) {
    brlog(kTag, pool->level, "No Room in Queue: [%d, %d, %d, %d]\n", pool->limit, pool->idle,
          pool->pending, pool->threads);
    return BR_ENOSPC;
  }
  WorkItem *item = new (std::nothrow) WorkItem;
  if (!item) return BR_ENOMEM;
  item->function = function;
  item->discard = discard;
  item->argument = argument;
  item->queued = brtime__ticks();
  if (pool->idle == 0)
    brlog(kTag, pool->level, "+++ PENDING WORK ITEM (inqueue, no threads available) [%p(%p)]\n",
          reinterpret_cast<void *>(function), argument);
  if (pool->tail)
    pool->tail->next = item;
  else
    pool->head = item;
  pool->tail = item;
  ++pool->pending;
  pool->cond.signal();
  return BR_OK;
}

void brtp__shutdown(BRThreadPool *pool) {
  if (!pool) return;
  {
    BRLock g(defaultLock());
    if (g_default == pool) g_default = nullptr;
  }
  stopPool(pool);
}

void brtp__stats(BRThreadPool *pool, BRThreadPoolStats *out) {
  BRLock g(pool->lock);
  out->threads = pool->threads;
  out->idle = pool->idle;
  out->pending = pool->pending;
  out->limit = pool->limit;
}
