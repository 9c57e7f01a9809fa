// The worker thread pool: a few named threads that run short jobs in the order posted.
//
// Start-up creates one process-wide pool "MTP" (4 workers, at most 16 jobs pending or running)
// with brtp__create; everything else posts to it with brtp__post.
#pragma once

#include <cstdint>

#include "brerror.h"

typedef void (*brtp_func)(void *argument);

struct BRThreadPool;

// Creates the process-wide pool "MTP" (4 threads, limit 16) and makes it the default.
// Returns 0, -1 when a thread cannot be created, or -5 when a default pool already exists.
HB_NODISCARD int32_t brtp__create();

// The default pool (borrowed), or null before brtp__create or after its shutdown.
BRThreadPool *brtp__default();

// Queues `function(argument)` on the default pool. Returns 0, -12 when the pool already has as
// many jobs pending or running as its limit, or -5 when there is no default pool.
HB_NODISCARD int32_t brtp__post(brtp_func function, void *argument);

// A pool of its own: `threads` workers named "%.28s%02d" after `name`, at most `limit` jobs
// pending or running (-1: no limit). Stores the pool in *out; the caller ends it with
// brtp__shutdown. Returns 0, -6 for bad arguments, -19 when out of memory, or -1 when a thread
// cannot be created (then nothing is left behind).
HB_NODISCARD int32_t brtp__new(BRThreadPool **out, const char *name, int32_t threads,
                               int32_t limit);

// Queues a job on `pool`. `discard`, when given, is called with `argument` instead of `function`
// if the pool is destroyed with the job still queued. Returns 0 or -12 as brtp__post does.
HB_NODISCARD int32_t brtp__postTo(BRThreadPool *pool, brtp_func function, brtp_func discard,
                                  void *argument);

// Stops the pool and waits for its threads; jobs still queued are discarded. If it is the
// default pool it stops being the default first. Consumes the creator's reference: the pool
// must not be used afterwards. Call it from outside the pool's own workers.
void brtp__shutdown(BRThreadPool *pool);

// Counters for diagnostics and tests, read under the pool lock.
struct BRThreadPoolStats {
  int32_t threads;
  int32_t idle;
  int32_t pending;
  int32_t limit;
};
void brtp__stats(BRThreadPool *pool, BRThreadPoolStats *out);
