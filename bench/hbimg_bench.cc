// Making the import's preview ("pv", within 1024 x 1024) and square thumbnail ("tn", 160 x 160)
// of a 12-megapixel JPEG, against vipsthumbnail making the same two sizes from the same file in
// the same run (one process per size, as a user would run it). The photo is made once by ffmpeg.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "benchrun.h"
#include "hbimg.h"

namespace {

using benchrun::run;

struct Fixture {
  std::string dir, photo;
  bool ok = false;
  Fixture() {
    const char *t = std::getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/hbimg-bench-XXXXXX";
    if (!mkdtemp(templ.data())) return;
    dir = templ;
    photo = dir + "/photo.jpg";
    ok = run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=4000x3000", "-frames:v",
              "1", "-q:v", "4", photo}) == 0;
  }
  ~Fixture() {
    if (!dir.empty()) run({"rm", "-rf", dir});
  }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

void ours(benchmark::State &state, uint32_t which) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  for (auto _ : state) {
    HBRef<IHBStream> in;
    HBImgRenditions r;
    if (hbstream__openFile(in.out(), fixture().photo.c_str(), HBFILE_O_READ) != 0 ||
        hbimg__makeRenditions(in.get(), 1, which, &r) != 0)
      return state.SkipWithError("renditions failed");
  }
}

double childCpuMs() {
  rusage u;
  getrusage(RUSAGE_CHILDREN, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

void vips(benchmark::State &state, bool thumbnail) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  const std::string &in = fixture().photo, &dir = fixture().dir;
  // The programs' own CPU time, which the parent's CPU column cannot show.
  const double before = childCpuMs();
  for (auto _ : state) {
    if (run({"vipsthumbnail", in, "--size", "1024x1024", "-o", dir + "/pv.jpg[Q=80]"}) != 0 ||
        (thumbnail && run({"vipsthumbnail", in, "--size", "160x160", "--smartcrop", "centre", "-o",
                           dir + "/tn.jpg[Q=80]"}) != 0))
      return state.SkipWithError("could not run vipsthumbnail");
  }
  state.counters["child_cpu_ms"] = (childCpuMs() - before) / double(state.iterations());
}

void BM_PvAndTn_HBImg(benchmark::State &state) {
  ours(state, HBIMG_RENDITION_PV | HBIMG_RENDITION_TN);
}
void BM_PvAndTn_Vipsthumbnail(benchmark::State &state) {
  vips(state, true);
}
void BM_PvOnly_HBImg(benchmark::State &state) {
  ours(state, HBIMG_RENDITION_PV);
}
void BM_PvOnly_Vipsthumbnail(benchmark::State &state) {
  vips(state, false);
}

}  // namespace

BENCHMARK(BM_PvAndTn_HBImg)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_PvAndTn_Vipsthumbnail)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_PvOnly_HBImg)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_PvOnly_Vipsthumbnail)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
