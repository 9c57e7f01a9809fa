// sendTo throughput, file to file and memory to file, against cp over the same 64 MiB in one run.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hbfile.h"
#include "hbstream.h"

extern char **environ;

namespace {

constexpr int64_t kBytes = 64 << 20;

struct Fixture {
  std::string dir, src, dst;
  std::vector<char> data;
  Fixture() {
    const char *t = std::getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/hbstream-bench-XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    dir = templ;
    src = dir + "/src.bin";
    dst = dir + "/dst.bin";
    data.resize(kBytes);
    for (int64_t i = 0; i < kBytes; ++i) data[i] = static_cast<char>((i * 131) >> 7);
    HBRef<IHBStream> f;
    if (hbstream__openFile(f.out(), src.c_str(), HBFILE_O_WRITE | HBFILE_O_CREAT | HBFILE_O_TRUNC) < 0 ||
        hbstream__writeAll(f.get(), data.data(), static_cast<int32_t>(kBytes)) != kBytes)
      std::abort();
  }
  ~Fixture() { (void)hbfile__unlink((dir + "/*").c_str()), rmdir(dir.c_str()); }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

HBRef<IHBStream> openDst() {
  HBRef<IHBStream> d;
  if (hbstream__openFile(d.out(), fixture().dst.c_str(),
                         HBFILE_O_WRITE | HBFILE_O_CREAT | HBFILE_O_TRUNC) < 0)
    std::abort();
  return d;
}

void BM_SendToFileToFile(benchmark::State &state) {
  Fixture &fx = fixture();
  for (auto _ : state) {
    HBRef<IHBStream> s;
    if (hbstream__openFile(s.out(), fx.src.c_str(), HBFILE_O_READ) < 0) std::abort();
    HBRef<IHBStream> d = openDst();
    if (s->sendTo(d.get(), -1) != kBytes) state.SkipWithError("short copy");
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_SendToFileToFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SendToMemoryToFile(benchmark::State &state) {
  Fixture &fx = fixture();
  for (auto _ : state) {
    HBRef<IHBMemStream> m;
    if (HBMemStream__new(m.out(), HBMEM_READ, fx.data.data(), static_cast<int32_t>(kBytes),
                         nullptr) < 0)
      std::abort();
    HBRef<IHBStream> d = openDst();
    if (m->sendTo(d.get(), -1) != kBytes) state.SkipWithError("short copy");
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_SendToMemoryToFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CpFileToFile(benchmark::State &state) {
  Fixture &fx = fixture();
  for (auto _ : state) {
    std::vector<char *> argv = {const_cast<char *>("cp"), fx.src.data(), fx.dst.data(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cp");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("cp failed");
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_CpFileToFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
