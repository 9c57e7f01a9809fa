// Backups that keep themselves current, measured as a user meets them:
//
//   BM_Find                  find DIR -type f -printf '%T@ %s %p\n' over 100 000 files in 1 000
//                            folders: the yardstick for one pass over the tree;
//   BM_RescanUnchanged       `tesseltool backup run --once` over the same, unchanged tree with a
//                            full file map (a whole auto-import run that finds nothing to do),
//                            with the tool's peak RSS;
//   BM_Rescan/N              one auto-import run over N files in-process, as shipped (the map
//                            read into memory once per run; N = 100 000 is the tree above);
//   BM_RescanSQL/N,
//   BM_RescanSQLNoIndex/N    the same with a statement per lookup, with and without the index
//                            on the map (without it every lookup scans the table: the cost per
//                            file grows with the library);
//   BM_ChangeToUpload        one new photo moved into a watched folder until `backup run` reports
//                            it uploaded to the reference service (30 s of quiet, then the run).
//
// The trees and the service live in a temporary folder; HOME and the XDG folders point there.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "benchrun.h"
#include "benchsvc.h"
#include "hbfile.h"
#include "hbproperties.h"
#include "hburl.h"
#include "hbzvuri.h"
#include "vxclienttaskaimport.h"
#include "vxfilemap.h"
#include "vximport.h"

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 100;

std::string binDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  buf[n > 0 ? n : 0] = 0;
  return (std::filesystem::path(buf).parent_path().parent_path() / "bin").string();
}

// A process with its standard error in `errFile`; its pid.
pid_t spawn(const std::vector<std::string> &args, const std::string &errFile = "/dev/null") {
  return benchrun::start(args, "/dev/null", errFile);
}

// Waits for `pid`; its exit code (-1 for a signal), peak RSS in MB and, added to *cpuS, its CPU
// seconds (user and system: on a shared machine the wall time also holds waits for a processor).
int reap(pid_t pid, double *rssMB = nullptr, double *cpuS = nullptr) {
  int status = 0;
  struct rusage ru {};
  if (wait4(pid, &status, 0, &ru) != pid) return -1;
  if (rssMB) *rssMB = static_cast<double>(ru.ru_maxrss) / 1024.0;
  if (cpuS)
    *cpuS += static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
             static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string slurp(const std::string &path) {
  std::string s;
  FILE *f = std::fopen(path.c_str(), "r");
  if (!f) return s;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

// The temporary home of the benchmark, set before anything reads the environment.
struct Home {
  std::string root;
  Home() {
    const char *t = std::getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/autoimport-bench-XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    root = templ;
    for (const char *sub : {"home", "data", "config", "runtime", "tmp"})
      mkdir((root + "/" + sub).c_str(), 0700);
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    setenv("TMPDIR", (root + "/tmp").c_str(), 1);
    HBRef<HBProperties> store;
    if (hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, store.out()) < 0 ||
        store->setProperty("valtoken", "bench") < 0)
      std::abort();
    hbproperties__setDefault(store.get());
  }
  // BENCH_KEEP_HOME keeps it for a look at the logs and the maps.
  ~Home() {
    if (!std::getenv("BENCH_KEEP_HOME")) std::filesystem::remove_all(root);
  }
};

Home &home() {
  static Home h;
  return h;
}

// `files` small pictures in `folders` folders below `dir`.
void makeTree(const std::string &dir, int folders, int files) {
  char path[512];
  for (int d = 0; d < folders; ++d) {
    std::snprintf(path, sizeof path, "%s/g%02d/f%03d", dir.c_str(), d / 100, d % 100);
    if (hbfile__mkdirs(path) < 0) std::abort();
    for (int f = 0; f < files / folders; ++f) {
      std::snprintf(path, sizeof path, "%s/g%02d/f%03d/IMG_%04d.jpg", dir.c_str(), d / 100, d % 100,
                    f);
      const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || write(fd, path, 64 + f % 64) < 0) std::abort();
      close(fd);
    }
  }
}

// Records every file and folder of `dir` in the map of task `id`, as a run that imported them
// would have (folders with an identifier, so no folder is asked of the service).
int32_t recordAll(const char *callbackPath, const HBFileStat *st, int32_t type, HBFileWalk *w) {
  auto *map = static_cast<VXFileMap *>(w->user);
  ZVFileMapNode n;
  n.key = vximport__fileKey(callbackPath);
  if (type == HBWALK_FILE) {
    n.modTime = st->writeTime * 1000;
    n.size = st->size;
  } else {
    n.modTime = n.size = 0;
    n.fileID = "1";
  }
  return map->insert(n) == 0 ? HBWALK_CONTINUE : HBWALK_STOP;
}

void fillMap(const std::string &taskId, const std::string &dir) {
  std::string path;
  VXFileMap map;
  if (VXFileMap::pathFor(taskId.c_str(), &path) < 0 || map.load(path.c_str(), taskId.c_str()) < 0)
    std::abort();
  if (hbfile__walk(dir.c_str(), recordAll, -1, 0, &map) != 0) std::abort();
}

// The big tree with a saved auto-import of it and a full map.
struct Library {
  std::string dir, taskId;
  Library() {
    dir = home().root + "/Pictures";
    makeTree(dir, kFolders, kFolders * kFilesPerFolder);
    const std::string out = home().root + "/add.out";
    const pid_t pid = benchrun::start(
        {binDir() + "/tesseltool", "backup", "add", dir, "--dest", "ytozv://dev:svc"}, out);
    if (pid < 0 || reap(pid) != 0) std::abort();
    taskId = benchsvc::jsonField(slurp(out), "taskid");
    if (taskId.size() != 32) std::abort();
    fillMap(taskId, dir);
  }
};

Library &library() {
  static Library l;
  return l;
}

void BM_Find(benchmark::State &state) {
  const std::string dir = library().dir;
  double cpu = 0;
  for (auto _ : state) {
    const pid_t pid = spawn({"find", dir, "-type", "f", "-printf", "%T@ %s %p\n"});
    if (pid < 0 || reap(pid, nullptr, &cpu) != 0) state.SkipWithError("find");
  }
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * kFolders * kFilesPerFolder);
}
BENCHMARK(BM_Find)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_RescanUnchanged(benchmark::State &state) {
  const std::string err = home().root + "/rescan.err";
  (void)library();
  double rss = 0, cpu = 0;
  for (auto _ : state) {
    const pid_t pid = spawn({binDir() + "/tesseltool", "backup", "run", "--once"}, err);
    if (pid < 0 || reap(pid, &rss, &cpu) != 0) state.SkipWithError("backup run");
  }
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
  if (slurp(err).find(" 0 imported, 100000 unchanged") == std::string::npos)
    state.SkipWithError(("not a full unchanged rescan: " + slurp(err)).c_str());
  state.counters["peak_rss_MB"] = rss;
  state.SetItemsProcessed(state.iterations() * kFolders * kFilesPerFolder);
}
BENCHMARK(BM_RescanUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// One run in-process over a tree of state.range(0) files with a full map.
void rescan(benchmark::State &state, bool withCache, bool withIndex) {
  const int files = static_cast<int>(state.range(0));
  const bool big = files == kFolders * kFilesPerFolder;
  const std::string dir = big ? library().dir : home().root + "/small" + std::to_string(files);
  const std::string id = "bench" + std::to_string(files) + (withIndex ? "i" : "n");
  if (access(dir.c_str(), F_OK) != 0) makeTree(dir, files / 100, files);
  vxfilemap__setIndexForTest(withIndex);
  vxfilemap__setCacheForTest(withCache);
  fillMap(id, dir);
  HBRef<VXClientTaskReference> ref;
  HBRef<IHBURL> url;
  HBRef<IHBZVURI> dest;
  if (VXClientTaskReference::create("src", "user", "small", true, ref) < 0 ||
      hburl__fromPath(url.out(), dir.c_str()) < 0 || ref->addURI(url.get()) < 0 ||
      hbzvuri_new(dest, "ytozv://dev:svc") < 0)
    std::abort();
  HBRef<VXClientAutoImportTask> task;
  if (VXClientAutoImportTask::create(id.c_str(), TASK_CLASS_USER,
                                     TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS, ref.get(),
                                     dest.get(), nullptr, task.out()) < 0 ||
      task->setPaused(0) < 0)
    std::abort();
  for (auto _ : state) {
    (void)task->runTask("bench");
    if (task->getTotalFiles() != 0 || task->getSkippedFiles() != files)
      state.SkipWithError("not an unchanged rescan");
  }
  task->notifyTask(TASK_NOTIFY_REMOVED_DELETE);
  vxfilemap__setIndexForTest(true);
  vxfilemap__setCacheForTest(true);
  state.SetItemsProcessed(state.iterations() * files);
}
void BM_Rescan(benchmark::State &state) {
  rescan(state, true, true);
}
void BM_RescanSQL(benchmark::State &state) {
  rescan(state, false, true);
}
void BM_RescanSQLNoIndex(benchmark::State &state) {
  rescan(state, false, false);
}
BENCHMARK(BM_Rescan)->Arg(5000)->Arg(20000)->Arg(100000)->Iterations(3)->UseRealTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_RescanSQL)
    ->Arg(5000)
    ->Arg(20000)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RescanSQLNoIndex)
    ->Arg(5000)
    ->Arg(20000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_ChangeToUpload(benchmark::State &state) {
  benchsvc::Service svc;
  if (!svc.start("autoimport-latency")) {
    state.SkipWithError("tesselsvc");
    return;
  }
  HBRef<HBProperties> server;
  if (hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()) < 0 ||
      server->setProperty("host", ("127.0.0.1:" + std::to_string(svc.port)).c_str()) < 0) {
    state.SkipWithError("settings");
    return;
  }
  HBRef<HBProperties> store;
  if (hbproperties__getDefault(store.out()) < 0 ||
      store->setProperty("valtoken", svc.token.c_str()) < 0) {
    state.SkipWithError("settings");
    return;
  }
  // A separate settings key would mix with the library's auto-import: use a fresh folder only.
  const std::string dir = home().root + "/Watched", staging = home().root + "/staging.jpg";
  const std::string err = home().root + "/latency.err";
  if (hbfile__mkdirs(dir.c_str()) < 0) std::abort();
  std::vector<std::string> args = {"ffmpeg",    "-loglevel", "error", "-y",
                                   "-f",        "lavfi",     "-i",    "testsrc2=size=1280x960",
                                   "-frames:v", "1",         staging};
  if (reap(spawn(args)) != 0) {
    state.SkipWithError("ffmpeg");
    return;
  }
  const std::string dest = "ytozv://" + svc.device + ":" + svc.service;
  (void)store->setProperty("autoimports", "");
  if (reap(spawn({binDir() + "/tesseltool", "backup", "add", dir, "--dest", dest})) != 0) {
    state.SkipWithError("backup add");
    return;
  }
  const pid_t run = spawn({binDir() + "/tesseltool", "backup", "run"}, err);
  auto waitFor = [&](const std::string &text, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
      if (slurp(err).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  };
  int n = 0;
  double total = 0;
  if (!waitFor("run 1 ended", 60)) state.SkipWithError("first run");
  for (auto _ : state) {
    const std::string name = dir + "/new" + std::to_string(n) + ".jpg";
    std::filesystem::copy_file(staging, home().root + "/next.jpg",
                               std::filesystem::copy_options::overwrite_existing);
    const auto start = std::chrono::steady_clock::now();
    if (rename((home().root + "/next.jpg").c_str(), name.c_str()) != 0) std::abort();
    if (!waitFor("run " + std::to_string(n + 2) + " ended finished: 1 imported", 90)) {
      state.SkipWithError("no upload");
      break;
    }
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++n;
  }
  kill(run, SIGTERM);
  reap(run);
  (void)store->setProperty("autoimports", "");
  state.counters["change_to_upload_s"] = n ? total / n : 0;
}
BENCHMARK(BM_ChangeToUpload)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
