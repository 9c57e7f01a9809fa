// HBMap against std::map: 10 000 distinct keys put, then each read back, in one run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "hbmap.h"

namespace {

constexpr int kKeys = 10000;

const std::vector<std::string> &keys() {
  static const std::vector<std::string> k = [] {
    std::vector<std::string> v;
    v.reserve(kKeys);
    for (int i = 0; i < kKeys; ++i) {
      char buf[32];
      // Scattered, so neither container sees a sorted stream.
      std::snprintf(buf, sizeof buf, "key-%08x", static_cast<unsigned>(i * 2654435761u));
      v.emplace_back(buf);
    }
    return v;
  }();
  return k;
}

void BM_HBMapPutGet(benchmark::State &state) {
  const auto &k = keys();
  for (auto _ : state) {
    HBRef<HBMap> m;
    if (HBMap::create(nullptr, 4096, 4096, m) < 0) state.SkipWithError("create");
    for (const std::string &key : k)
      if (m->putString(key.c_str(), key.c_str()) < 0) state.SkipWithError("put");
    size_t total = 0;
    for (const std::string &key : k) total += m->getString(key.c_str())[0];
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_HBMapPutGet)->Unit(benchmark::kMillisecond);

void BM_StdMapPutGet(benchmark::State &state) {
  const auto &k = keys();
  for (auto _ : state) {
    std::map<std::string, std::string> m;
    for (const std::string &key : k) m[key] = key;
    size_t total = 0;
    for (const std::string &key : k) total += m.find(key)->second[0];
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_StdMapPutGet)->Unit(benchmark::kMillisecond);

}  // namespace
