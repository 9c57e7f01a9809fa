// Metadata extraction, files per second: our parser over 1 000 12-megapixel JPEGs and 1 000
// MP3s, against exiv2 and exiftool -fast over the same files in the same run. The files are
// hard links to one generated JPEG (EXIF by exiftool) and one generated MP3 (ID3v2.3 with a
// cover, by ffmpeg), so every reader sees the same warm page cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hbfmtparser.h"

extern char **environ;

namespace {

constexpr int kFiles = 1000;

// Runs argv with its output thrown away; the exit status, or -1.
int run(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

struct Fixture {
  std::string dir;
  std::vector<std::string> jpegs, mp3s;
  bool ok = false;
  Fixture() {
    const char *t = std::getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/hbfmt-bench-XXXXXX";
    if (!mkdtemp(templ.data())) return;
    dir = templ;
    const std::string jpg = dir + "/photo.jpg", cover = dir + "/cover.jpg", mp3 = dir + "/song.mp3";
    if (run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=4000x3000", "-frames:v",
             "1", "-q:v", "4", jpg}) != 0 ||
        run({"exiftool", "-q", "-overwrite_original", "-Make=Canon", "-Model=Canon EOS 5D Mark III",
             "-DateTimeOriginal=2013:07:04 12:30:00", "-GPSLatitude=40.44615",
             "-GPSLatitudeRef=N", "-GPSLongitude=79.982283", "-GPSLongitudeRef=W", jpg}) != 0 ||
        run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=300x300", "-frames:v", "1",
             cover}) != 0 ||
        run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=30", "-i", cover, "-map", "0",
             "-map", "1", "-c:a", "libmp3lame", "-c:v", "copy", "-id3v2_version", "3",
             "-metadata", "title=Song", "-metadata", "artist=Band", "-metadata", "album=Album",
             "-metadata", "genre=Rock", "-metadata", "track=3/12", mp3}) != 0)
      return;
    for (int i = 0; i < kFiles; ++i) {
      jpegs.push_back(dir + "/p" + std::to_string(i) + ".jpg");
      mp3s.push_back(dir + "/s" + std::to_string(i) + ".mp3");
      if (link(jpg.c_str(), jpegs.back().c_str()) != 0 || link(mp3.c_str(), mp3s.back().c_str()) != 0)
        return;
    }
    ok = true;
  }
  ~Fixture() {
    if (!dir.empty()) run({"rm", "-rf", dir});
  }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

void ours(benchmark::State &state, const std::vector<std::string> &files, const char *key) {
  for (auto _ : state) {
    for (const std::string &f : files) {
      HBRef<IHBMap> items;
      if (hbfmtparser__parseFile(f.c_str(), items.out()) != 0 || !items->getString(key)) {
        state.SkipWithError("metadata not found");
        return;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)files.size());
}

void external(benchmark::State &state, std::vector<std::string> args,
              const std::vector<std::string> &files) {
  args.insert(args.end(), files.begin(), files.end());
  for (auto _ : state) {
    if (run(args) < 0) {
      state.SkipWithError("could not run the program");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)files.size());
}

void BM_Jpeg_HBFmtParser(benchmark::State &state) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  ours(state, fixture().jpegs, "EXIF-Make");
}
void BM_Jpeg_Exiv2(benchmark::State &state) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  external(state,
           {"exiv2", "-q", "-Pkv", "-g", "Exif.Image.Make", "-g", "Exif.Image.Model", "-g",
            "Exif.Photo.DateTimeOriginal", "-g", "Exif.GPSInfo.GPSLatitude", "-g",
            "Exif.GPSInfo.GPSLongitude", "pr"},
           fixture().jpegs);
}
void BM_Jpeg_ExiftoolFast(benchmark::State &state) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  external(state,
           {"exiftool", "-fast", "-j", "-n", "-Make", "-Model", "-DateTimeOriginal",
            "-GPSLatitude", "-GPSLongitude"},
           fixture().jpegs);
}
void BM_Mp3_HBFmtParser(benchmark::State &state) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  ours(state, fixture().mp3s, "title");
}
void BM_Mp3_ExiftoolFast(benchmark::State &state) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  external(state,
           {"exiftool", "-fast", "-j", "-Title", "-Artist", "-Album", "-Genre", "-Track",
            "-Picture"},
           fixture().mp3s);
}

}  // namespace

BENCHMARK(BM_Jpeg_HBFmtParser)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Jpeg_Exiv2)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Jpeg_ExiftoolFast)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Mp3_HBFmtParser)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Mp3_ExiftoolFast)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
