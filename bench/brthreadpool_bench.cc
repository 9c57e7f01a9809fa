// Latency from brtp__post to the start of the job on an idle pool.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "brthreadpool.h"

namespace {

int64_t nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Probe {
  std::atomic<int64_t> started{0};
};

void startJob(void *p) {
  static_cast<Probe *>(p)->started.store(nowNs(), std::memory_order_release);
}

void BM_PostToStart(benchmark::State &state) {
  BRThreadPool *pool = nullptr;
  if (brtp__new(&pool, "BMTP", 4, 16) < 0) {
    state.SkipWithError("no pool");
    return;
  }
  Probe probe;
  int64_t total = 0;
  for (auto _ : state) {
    probe.started.store(0, std::memory_order_relaxed);
    const int64_t posted = nowNs();
    if (brtp__postTo(pool, startJob, nullptr, &probe) != 0) {
      state.SkipWithError("post refused");
      break;
    }
    int64_t started;
    while ((started = probe.started.load(std::memory_order_acquire)) == 0) {
    }
    total += started - posted;
    // Let the worker finish and go idle before the next post.
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    state.ResumeTiming();
  }
  if (state.iterations() > 0)
    state.counters["post_to_start_us"] = static_cast<double>(total) / state.iterations() / 1000.0;
  brtp__shutdown(pool);
}
BENCHMARK(BM_PostToStart)->UseRealTime()->Iterations(2000);

}  // namespace
