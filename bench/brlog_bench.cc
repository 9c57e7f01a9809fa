// Cost of a log line: dropped by the level test, and written to a file.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "brlog.h"
#include "brthread.h"

namespace {

int g_formatted = 0;
const char *expensive() {
  ++g_formatted;
  return "formatted";
}

void BM_DroppedLine(benchmark::State &state) {
  brlog__resetForTest();
  brlog__setLevel(BRLOG_INFO);
  g_formatted = 0;
  int i = 0;
  for (auto _ : state) {
    brlog("BENCH", BRLOG_VERBOSE, "dropped %d %s\n", ++i, expensive());
    benchmark::ClobberMemory();
  }
  if (g_formatted != 0) state.SkipWithError("a dropped line evaluated its arguments");
}
BENCHMARK(BM_DroppedLine);

void BM_KeptLineToFile(benchmark::State &state) {
  brlog__resetForTest();
  char dir[] = "/tmp/brlog-bench-XXXXXX";
  if (!mkdtemp(dir)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string path = std::string(dir) + "/bench.log";
  hblogsink__init("bench", path.c_str());
  brlog__setLevel(BRLOG_INFO);
  brthread__setName(brthread__self(), "MAIN");
  int i = 0;
  for (auto _ : state) brlog("BENCH", BRLOG_INFO, "kept line %d with a short message\n", ++i);
  brlog__resetForTest();
  unlink(path.c_str());
  unlink((path + ".toupload").c_str());
  rmdir(dir);
}
BENCHMARK(BM_KeptLineToFile);

}  // namespace
