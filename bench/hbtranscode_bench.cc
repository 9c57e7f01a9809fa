// The transcoder's overhead: a 1080p clip to the 480 MP4 ("st") and to its 160 x 160 thumbnail,
// and a 12-megapixel photo to the thumbnail, each through the transcoder and as the same ffmpeg
// command run directly; "child_cpu_s" is the CPU time of the ffmpeg runs. The clip lasts 10 s,
// or TESSEL_BENCH_CLIP_SECONDS (60 for the one-minute figures). Needs ffmpeg on PATH.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hbtranscode_ffmpeg.h"

extern char **environ;

namespace {

// Runs `args` with its output streams on /dev/null; returns its exit code or -1.
int run(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int err = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (err != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Sources {
  std::string dir, clip, photo;
  bool ok = false;
  Sources() {
    const char *tmp = getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/hbxc_bench_XXXXXX";
    if (!mkdtemp(t.data())) return;
    dir = t;
    clip = dir + "/clip.mp4";
    photo = dir + "/photo.jpg";
    const char *env = getenv("TESSEL_BENCH_CLIP_SECONDS");
    const std::string secs = std::to_string(env && atoi(env) > 0 ? atoi(env) : 10);
    ok = run({"ffmpeg", "-y", "-f", "lavfi", "-i",
              "testsrc=duration=" + secs + ":size=1920x1080:rate=30", "-f", "lavfi", "-i",
              "sine=duration=" + secs + ":sample_rate=48000", "-c:v", "libx264",
              "-preset", "ultrafast", "-shortest", clip}) == 0 &&
         run({"ffmpeg", "-y", "-f", "lavfi", "-i", "testsrc=size=4000x3000", "-frames:v", "1",
              photo}) == 0;
  }
  ~Sources() {
    if (!dir.empty()) run({"rm", "-rf", dir});
  }
};

const Sources &sources() {
  static Sources s;
  return s;
}

HBRef<HBXCodeFFMPEG> make(const char *mime, int size, int crop, const std::string &in) {
  HBXCodeFFMPEGParams p;
  p.mimeType = mime;
  p.width = p.height = size;
  p.crop = crop;
  p.quality = "medium";
  p.inputPath = in.c_str();
  p.workDir = sources().dir.c_str();
  HBRef<IHBTranscode> xc;
  if (HBXCodeFFMPEG__new(&p, nullptr, xc.out()) != 0) return {};
  return HBRef<HBXCodeFFMPEG>::adopt(static_cast<HBXCodeFFMPEG *>(xc.detach()));
}

// CPU seconds (user and system) of the child processes waited for so far.
double childCpu() {
  struct rusage ru {};
  getrusage(RUSAGE_CHILDREN, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void countCpu(benchmark::State &state, double before) {
  state.counters["child_cpu_s"] =
      benchmark::Counter(childCpu() - before, benchmark::Counter::kAvgIterations);
}

void throughTranscoder(benchmark::State &state, const char *mime, int size, int crop,
                       const std::string &in) {
  if (!sources().ok) return state.SkipWithError("no ffmpeg");
  const double before = childCpu();
  for (auto _ : state) {
    auto xc = make(mime, size, crop, in);
    if (!xc || xc->transcode(nullptr, nullptr) != 0) return state.SkipWithError("transcode failed");
    (void)xc->close();
  }
  countCpu(state, before);
}

// The same command the transcoder runs, started directly after the same preparation.
void direct(benchmark::State &state, const char *mime, int size, int crop, const std::string &in) {
  if (!sources().ok) return state.SkipWithError("no ffmpeg");
  auto xc = make(mime, size, crop, in);
  if (!xc || xc->prepare() != 0) return state.SkipWithError("prepare failed");
  std::vector<std::string> designed, args;
  xc->transcodeArguments(&designed);
  HBXCodeTranslateContext ctx;
  ctx.videoCodec = xc->source().videoCodec;
  ctx.outWidth = xc->outputWidth();
  ctx.outHeight = xc->outputHeight();
  hbxcode__translateArguments(designed, ctx, &args);
  const double before = childCpu();
  for (auto _ : state) {
    if (run(args) != 0) return state.SkipWithError("ffmpeg failed");
  }
  countCpu(state, before);
  (void)xc->close();
}

void BM_Mp4_Transcoder(benchmark::State &s) {
  throughTranscoder(s, "video/mp4", 480, 0, sources().clip);
}
void BM_Mp4_Direct(benchmark::State &s) {
  direct(s, "video/mp4", 480, 0, sources().clip);
}
void BM_VideoThumbnail_Transcoder(benchmark::State &s) {
  throughTranscoder(s, "image/jpeg", 160, 1, sources().clip);
}
void BM_VideoThumbnail_Direct(benchmark::State &s) {
  direct(s, "image/jpeg", 160, 1, sources().clip);
}
void BM_Thumbnail_Transcoder(benchmark::State &s) {
  throughTranscoder(s, "image/jpeg", 160, 1, sources().photo);
}
void BM_Thumbnail_Direct(benchmark::State &s) {
  direct(s, "image/jpeg", 160, 1, sources().photo);
}

BENCHMARK(BM_Mp4_Transcoder)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Mp4_Direct)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_VideoThumbnail_Transcoder)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_VideoThumbnail_Direct)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Thumbnail_Transcoder)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Thumbnail_Direct)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
