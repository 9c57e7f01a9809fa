// hbfile__walk over 100 000 files in 1 000 folders against find -printf over the same tree, in
// one run. Each callback formats the line find would print and writes it to /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hbfile.h"

extern char **environ;

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 100;

struct Tree {
  std::string root;
  Tree() {
    const char *t = std::getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/hbfile-bench-XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    root = templ;
    char path[512];
    for (int d = 0; d < kFolders; ++d) {
      // Ten top folders of a hundred each: the picture check has depth to cover.
      std::snprintf(path, sizeof path, "%s/g%02d/f%03d", root.c_str(), d / 100, d % 100);
      if (hbfile__mkdirs(path) < 0) std::abort();
      for (int f = 0; f < kFilesPerFolder; ++f) {
        // Pictures come last in each folder, so a folder's check reads most of it.
        std::snprintf(path, sizeof path, "%s/g%02d/f%03d/file%03d.%s", root.c_str(), d / 100,
                      d % 100, f, f == kFilesPerFolder - 1 ? "jpg" : "mp3");
        const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, path, static_cast<size_t>(f % 64)) < 0) std::abort();
        close(fd);
      }
    }
  }
  ~Tree() { (void)hbfile__unlink((root + "/*").c_str()), rmdir(root.c_str()); }
};

Tree &tree() {
  static Tree t;
  return t;
}

int32_t printLine(const char *path, const HBFileStat *st, int32_t, HBFileWalk *w) {
  std::fprintf(static_cast<FILE *>(w->user), "%lld %s\n", static_cast<long long>(st->size), path);
  return 0;
}

void BM_Walk(benchmark::State &state) {
  const std::string &root = tree().root;
  FILE *out = std::fopen("/dev/null", "w");
  for (auto _ : state)
    if (hbfile__walk(root.c_str(), printLine, -1, 0, out) != 0) state.SkipWithError("walk");
  std::fclose(out);
  state.SetItemsProcessed(state.iterations() * kFolders * kFilesPerFolder);
}
BENCHMARK(BM_Walk)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Find(benchmark::State &state) {
  std::string root = tree().root;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    std::vector<char *> argv = {const_cast<char *>("find"), root.data(),
                                const_cast<char *>("-printf"), const_cast<char *>("%s %p\n"),
                                nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "find", &fa, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("find");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&fa);
  state.SetItemsProcessed(state.iterations() * kFolders * kFilesPerFolder);
}
BENCHMARK(BM_Find)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
