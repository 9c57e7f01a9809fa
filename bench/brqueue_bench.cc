// Put/take pairs per second through a blocking queue between two threads.
#include <benchmark/benchmark.h>

#include <thread>

#include "brthread.h"

namespace {

void BM_QueuePingPong(benchmark::State &state) {
  BRQueueHolder q;
  if (brqueue__create(q.out(), static_cast<int32_t>(state.range(0))) < 0) {
    state.SkipWithError("no queue");
    return;
  }
  std::thread consumer([&] {
    for (;;) {
      int64_t kind = 0;
      void *item = nullptr;
      if (brqueue__take(q.get(), &kind, &item, -1) == 0 && kind == 0) break;
    }
  });
  for (auto _ : state) (void)brqueue__put(q.get(), 1, nullptr, true);
  (void)brqueue__put(q.get(), 0, nullptr, true);
  consumer.join();
  state.SetItemsProcessed(state.iterations());
}
// The capacities in use: the mailboxes (20) and the event bus (128).
BENCHMARK(BM_QueuePingPong)->Arg(20)->Arg(128)->UseRealTime();

}  // namespace
