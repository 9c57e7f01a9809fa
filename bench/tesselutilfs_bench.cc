// The drive as a folder, measured beside what a user would otherwise do: reading a 200 MB file
// through the drive (cold, from the helper's disk cache, from the kernel's cache) against curl
// fetching it from the service (thrown away, and saved to disk as the cold read's cache copy
// is) and cat reading a local copy; and `ls -lR` of a drive of 10 000
// files in 100 folders, cold and again within the listing time-out, against a local tree.
//
// The real helper is mounted on the reference service on loopback. Where FUSE cannot be used,
// every benchmark is skipped and says why. HOME and the XDG folders point at a temporary folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "benchrun.h"
#include "benchsvc.h"
#include "hbmap.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"

namespace {

constexpr size_t kBig = 200u << 20;
constexpr int kFolders = 100, kFilesPerFolder = 100;

std::string binDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  buf[n > 0 ? n : 0] = 0;
  return (std::filesystem::path(buf).parent_path().parent_path() / "bin").string();
}

bool mounted(const std::string &path) {
  struct stat st, up;
  if (stat(path.c_str(), &st) != 0 || stat((path + "/..").c_str(), &up) != 0 ||
      st.st_dev == up.st_dev)
    return false;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

void setKey(const char *key, const char *name, const std::string &value) {
  HBRef<HBProperties> store;
  if (hbproperties__open(key, HBPROPERTIES_CREATE, store.out()) == 0)
    (void)store->setProperty(name, value.c_str());
}

// The identifier of the file the last call created.
std::string createdId(HBRPCGeneric *rpc) {
  HBRef<HBMap> f = HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
  return std::string(f && f->getString("fileid") ? f->getString("fileid") : "");
}

class World {
 public:
  static World &get() {
    static World w;
    return w;
  }
  bool ok() const { return m_why.empty(); }
  const std::string &why() const { return m_why; }

  // The helper mounted anew; with `coldCache` its content cache is emptied first.
  bool remount(bool coldCache) {
    stopHelper();
    if (coldCache) std::filesystem::remove_all(m_home + "/cache/Orvane Tessel Utility");
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    m_helper = fork();
    if (m_helper == 0) {
      dup2(fds[1], 0);
      const std::string bin = binDir() + "/tesselutilfs";
      execl(bin.c_str(), bin.c_str(), "-l", "H", "--valtoken", "-", "--device", svc.device.c_str(),
            "--service", svc.service.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    m_in = fds[0];
    const std::string line = svc.token + "\n";
    if (write(m_in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
    for (int i = 0; i < 1500 && !mounted(point); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return mounted(point);
  }

  void stopHelper() {
    if (m_helper <= 0) return;
    close(m_in);  // the helper unmounts and ends
    waitpid(m_helper, nullptr, 0);
    m_helper = -1;
  }

  benchsvc::Service svc;
  std::string point, localBig, localTree, bigUrl;

  World() {
    if (access("/dev/fuse", R_OK | W_OK) != 0 || access("/usr/bin/fusermount3", X_OK) != 0) {
      m_why = "FUSE cannot be used here (/dev/fuse or fusermount3 missing): not measured";
      return;
    }
    char tmpl[] = "/tmp/tfsbench-XXXXXX";
    if (!mkdtemp(tmpl)) {
      m_why = "no temporary folder";
      return;
    }
    m_home = tmpl;
    for (const char *sub : {"/config", "/data", "/cache", "/runtime"})
      std::filesystem::create_directories(m_home + sub);
    setenv("HOME", m_home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (m_home + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (m_home + "/data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (m_home + "/cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (m_home + "/runtime").c_str(), 1);
    if (!svc.start("tfsbench")) {
      m_why = "tesselsvc did not start";
      return;
    }
    const std::string host = "127.0.0.1:" + std::to_string(svc.port);
    setKey(HBPROPERTIES_KEY_SERVER, "host", host);
    setKey(HBPROPERTIES_KEY_TESSELUTILFS, "drive.mountroot", m_home + "/Tessel");
    point = m_home + "/Tessel/H";
    if (hbsvc__initServiceURL() < 0 || !fill()) {
      m_why = "the drive could not be filled";
      return;
    }
    if (!remount(true)) m_why = "the helper did not mount";
  }
  ~World() {
    stopHelper();
    if (!m_home.empty()) std::filesystem::remove_all(m_home);
  }

  // The 100 folders of 100 files, on the drive and locally, made when first needed.
  bool ensureTree() {
    if (!m_treeMade) m_treeMade = makeTree() ? 1 : -1;
    return m_treeMade > 0;
  }

 private:
  // A 200 MB file on the drive and locally.
  bool fill() {
    localBig = m_home + "/big.bin";
    if (benchrun::run({"dd", "if=/dev/urandom", "of=" + localBig, "bs=1M", "count=200"}) != 0)
      return false;
    HBRef<HBRPCGeneric> rpc;
    if (hbsvc__newCall(rpc.out()) < 0) return false;
    const char *t = svc.token.c_str(), *d = svc.device.c_str(), *s = svc.service.c_str();
    auto newId = [&] { return createdId(rpc.get()); };
    const std::string size = std::to_string(kBig);
    const char *fields[] = {"type", "0", "size", size.c_str(), nullptr};
    if (hbsvc__createFile(rpc.get(), t, d, s, "0", "big.bin", fields) < 0) return false;
    bigUrl = "http://127.0.0.1:" + std::to_string(svc.port) + "/svc/files/" + svc.device + "/" +
             svc.service + "/" + newId();
    return benchrun::run(
               {"curl", "-sSf", "-T", localBig, "-H", "X-VXVALTOKEN: " + svc.token, bigUrl}) == 0;
  }

  bool makeTree() {
    HBRef<HBRPCGeneric> rpc;
    if (hbsvc__newCall(rpc.out()) < 0) return false;
    const char *t = svc.token.c_str(), *d = svc.device.c_str(), *s = svc.service.c_str();
    auto newId = [&] { return createdId(rpc.get()); };
    localTree = m_home + "/tree";
    const char *empty[] = {"type", "0", "size", "0", nullptr};
    if (hbsvc__createFolder(rpc.get(), t, d, s, "0", "tree", "1") < 0) return false;
    const std::string tree = newId();
    for (int i = 0; i < kFolders; ++i) {
      const std::string name = "folder" + std::to_string(i);
      if (hbsvc__createFolder(rpc.get(), t, d, s, tree.c_str(), name.c_str(), "1") < 0)
        return false;
      const std::string folder = newId();
      std::filesystem::create_directories(localTree + "/" + name);
      for (int j = 0; j < kFilesPerFolder; ++j) {
        const std::string file = "file" + std::to_string(j) + ".jpg";
        if (hbsvc__createFile(rpc.get(), t, d, s, folder.c_str(), file.c_str(), empty) < 0)
          return false;
        FILE *f = fopen((localTree + "/" + name + "/" + file).c_str(), "w");
        if (f) fclose(f);
      }
    }
    return true;
  }

  std::string m_why, m_home;
  int m_treeMade = 0;
  pid_t m_helper = -1;
  int m_in = -1;
};

#define NEED_WORLD(state)                 \
  World &w = World::get();                \
  if (!w.ok()) {                          \
    state.SkipWithError(w.why().c_str()); \
    return;                               \
  }
#define NEED_TREE(state)                                  \
  NEED_WORLD(state);                                      \
  if (!w.ensureTree()) {                                  \
    state.SkipWithError("the folders could not be made"); \
    return;                                               \
  }

void run(benchmark::State &state, const std::vector<std::string> &argv) {
  if (benchrun::run(argv) != 0) state.SkipWithError(("failed: " + argv[0]).c_str());
}

void BM_Read200MB_Curl(benchmark::State &state) {
  NEED_WORLD(state);
  for (auto _ : state)
    run(state, {"curl", "-sSf", "-o", "/dev/null", "-H", "X-VXVALTOKEN: " + w.svc.token, w.bigUrl});
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBig);
}

// What a user copying the file out would do: curl saving it to local disk.
void BM_Read200MB_CurlToFile(benchmark::State &state) {
  NEED_WORLD(state);
  const std::string out = w.localBig + ".curl";
  for (auto _ : state)
    run(state, {"curl", "-sSf", "-o", out, "-H", "X-VXVALTOKEN: " + w.svc.token, w.bigUrl});
  unlink(out.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBig);
}

void BM_Read200MB_DriveCold(benchmark::State &state) {
  NEED_WORLD(state);
  for (auto _ : state) {
    state.PauseTiming();
    if (!w.remount(true)) state.SkipWithError("no mount");
    state.ResumeTiming();
    run(state, {"cat", w.point + "/big.bin"});
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBig);
}

// From the helper's disk cache: the kernel's copy is dropped before each read.
void BM_Read200MB_DriveDiskCache(benchmark::State &state) {
  NEED_WORLD(state);
  run(state, {"cat", w.point + "/big.bin"});
  for (auto _ : state) {
    state.PauseTiming();
    const int fd = open((w.point + "/big.bin").c_str(), O_RDONLY);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
    state.ResumeTiming();
    run(state, {"cat", w.point + "/big.bin"});
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBig);
}

void BM_Read200MB_DriveCached(benchmark::State &state) {
  NEED_WORLD(state);
  run(state, {"cat", w.point + "/big.bin"});
  for (auto _ : state) run(state, {"cat", w.point + "/big.bin"});
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBig);
}

void BM_Read200MB_LocalCat(benchmark::State &state) {
  NEED_WORLD(state);
  run(state, {"cat", w.localBig});
  for (auto _ : state) run(state, {"cat", w.localBig});
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBig);
}

void BM_ListTree10k_DriveCold(benchmark::State &state) {
  NEED_TREE(state);
  for (auto _ : state) {
    state.PauseTiming();
    if (!w.remount(false)) state.SkipWithError("no mount");
    state.ResumeTiming();
    run(state, {"ls", "-lR", w.point + "/tree"});
  }
}

// Again within the listing time-out: a listing just made, then the one measured.
void BM_ListTree10k_DriveCached(benchmark::State &state) {
  NEED_TREE(state);
  for (auto _ : state) {
    state.PauseTiming();
    if (!w.remount(false)) state.SkipWithError("no mount");
    run(state, {"ls", "-lR", w.point + "/tree"});
    state.ResumeTiming();
    run(state, {"ls", "-lR", w.point + "/tree"});
  }
}

void BM_ListTree10k_Local(benchmark::State &state) {
  NEED_TREE(state);
  for (auto _ : state) run(state, {"ls", "-lR", w.localTree});
}

}  // namespace

BENCHMARK(BM_Read200MB_Curl)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read200MB_CurlToFile)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read200MB_DriveCold)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read200MB_DriveDiskCache)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read200MB_DriveCached)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read200MB_LocalCat)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListTree10k_DriveCold)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListTree10k_DriveCached)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListTree10k_Local)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
