// JSON parsing throughput of a 10 MB document: our parser against nlohmann::json, same bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "hbjson.h"
#include "hbmap.h"

namespace {

// A document shaped like the service's answers: an object holding a long list of records.
const std::string &document() {
  static const std::string doc = [] {
    std::string s = "{\"files\": [";
    char buf[256];
    for (int i = 0; s.size() < 10 * 1000 * 1000; ++i) {
      std::snprintf(buf, sizeof buf,
                    "%s{\"fileid\": \"%d\", \"filename\": \"IMG_%05d.JPG\", \"size\": %d,"
                    " \"mimetype\": \"image/jpeg\", \"created\": 1700000000%03d,"
                    " \"tags\": [\"a\", \"b\"], \"shared\": false}",
                    i ? ", " : "", i, i, i * 37, i % 1000);
      s += buf;
    }
    s += "], \"count\": \"done\"}";
    return s;
  }();
  return doc;
}

void BM_HBJSONParseText(benchmark::State &state) {
  const std::string &doc = document();
  for (auto _ : state) {
    HBRef<HBMap> map;
    if (hbjson__parseText(map, doc.data(), (int32_t)doc.size()) < 0) {
      state.SkipWithError("parse failed");
      break;
    }
    benchmark::DoNotOptimize(map.get());
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)doc.size());
}
BENCHMARK(BM_HBJSONParseText)->Unit(benchmark::kMillisecond);

void BM_NlohmannParse(benchmark::State &state) {
  const std::string &doc = document();
  for (auto _ : state) {
    auto j = nlohmann::json::parse(doc, nullptr, false);
    if (j.is_discarded()) {
      state.SkipWithError("parse failed");
      break;
    }
    benchmark::DoNotOptimize(j);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)doc.size());
}
BENCHMARK(BM_NlohmannParse)->Unit(benchmark::kMillisecond);

}  // namespace
