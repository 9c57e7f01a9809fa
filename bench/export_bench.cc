// Restores from tesselsvc on loopback: the export task fetching 1 000 files of 100 KB and 10 files
// of 100 MB into a local folder, against curl fetching the same files in one process over one
// keep-alive connection (`curl --parallel --parallel-max 1` with a URL list), in the same run.
// Compare bytes_per_second of BM_Export* with BM_Curl* (goal: at least 0.9 of curl's).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "benchrun.h"
#include "benchsvc.h"
#include "hbhttpconnpool.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hburl.h"
#include "hbzvuri.h"
#include "vxclienttaskexport.h"
#include "vxsvccache.h"
#include "zvvfsservice.h"

namespace {

struct Folder {
  std::string id;
  std::vector<std::string> fileIds;
  int64_t bytes = 0;
};

struct Setup {
  benchsvc::Service svc;
  Folder small, large;
  HBRef<IHBHTTPConnPool> pool;
  bool ok = false;

  Setup() {
    if (!svc.start("exportbench")) return;
    const std::string base = "http://127.0.0.1:" + std::to_string(svc.port);
    HBRef<IHBURL> url;
    if (hburl__parse(url.out(), (base + "/svc/api").c_str()) < 0) return;
    if (hbhttpconnpool__create(pool.out()) < 0) return;
    hbhttpconnpool__setDefault(pool.get());
    hbrpc__setConnPool(pool.get());
    hbsvc__setServiceURL(url.get());
    if (vxsvccache__init(svc.token.c_str(), false) < 0) return;
    (void)vxsvccache__getService(svc.device.c_str(), svc.service.c_str());
    HBRef<IHBVFS2> store;
    if (zvvfsservice__open(store.out(), svc.token.c_str(), svc.device.c_str(), svc.service.c_str(),
                           url.get(), nullptr) < 0)
      return;
    ok = fill(store.get(), "Small", 1000, 100 * 1000, &small) &&
         fill(store.get(), "Large", 10, 100 * 1000 * 1000, &large);
  }

  static bool fill(IHBVFS2 *store, const char *name, int count, size_t size, Folder *out) {
    HBRef<IHBVFSFile> folder;
    if (store->createFile(nullptr, name, HBVFS_TYPE_FOLDER, nullptr, folder.out()) < 0)
      return false;
    out->id = folder->getFileID();
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7 + 3);
    for (int n = 0; n < count; ++n) {
      char fname[32];
      std::snprintf(fname, sizeof fname, "img%04d.jpg", n);
      HBRef<IHBVFSFile> f;
      HBRef<IHBVFSResource> res;
      HBRef<IHBStream> s;
      if (store->createFile(folder.get(), fname, HBVFS_TYPE_FILE, nullptr, f.out()) < 0 ||
          f->createResource(HBVFS_RES_PRIMARY, res.out()) < 0)
        return false;
      res->setSize(int64_t(size));
      if (res->openStream(s.out(), HBVFS_OPEN_WRITE, nullptr) < 0) return false;
      for (size_t left = size; left > 0;) {
        const size_t n1 = left < block.size() ? left : block.size();
        if (hbstream__writeAll(s.get(), block.data(), int32_t(n1)) < 0) return false;
        left -= n1;
      }
      if (s->close() < 0) return false;
      out->fileIds.push_back(f->getFileID());
      out->bytes += int64_t(size);
    }
    return true;
  }
};

// Destroyed at exit, which stops the service.
Setup &setup() {
  static Setup s;
  return s;
}

std::string outDir(const char *tag) {
  const std::string d = setup().svc.dir + "/" + tag;
  std::filesystem::remove_all(d);
  std::filesystem::create_directories(d);
  return d;
}

void runExport(benchmark::State &state, const Folder &folder) {
  Setup &s = setup();
  if (!s.ok) return state.SkipWithError("service setup failed");
  for (auto _ : state) {
    state.PauseTiming();
    const std::string dir = outDir("export");
    HBRef<VXClientTaskReference> ref;
    HBRef<IHBZVURI> uri;
    HBRef<IHBURL> dest;
    HBRef<VXClientExportTask> task;
    if (VXClientTaskReference::create("b", "user", "bench", false, ref) < 0 ||
        hbzvuri_new(
            uri, ("ytozv://" + s.svc.device + ":" + s.svc.service + ":" + folder.id).c_str()) < 0 ||
        ref->addURI(uri.get()) < 0 || hburl__fromPath(dest.out(), dir.c_str()) < 0 ||
        VXClientExportTask::create(task.out(), "bench", ref.get(), dest.get()) < 0)
      return state.SkipWithError("task setup failed");
    state.ResumeTiming();
    (void)task->runTask(s.svc.token.c_str());
    if (task->getErrorCount() != 0 || task->filesHandled() != int32_t(folder.fileIds.size()))
      return state.SkipWithError("export failed");
  }
  state.SetBytesProcessed(state.iterations() * folder.bytes);
  state.SetItemsProcessed(state.iterations() * int64_t(folder.fileIds.size()));
}

void runCurl(benchmark::State &state, const Folder &folder) {
  Setup &s = setup();
  if (!s.ok) return state.SkipWithError("service setup failed");
  const std::string conf = s.svc.dir + "/curl.conf";
  for (auto _ : state) {
    state.PauseTiming();
    const std::string dir = outDir("curl");
    // The token goes in the configuration file, as the cookie the program sends.
    FILE *f = std::fopen(conf.c_str(), "w");
    std::fprintf(f, "silent\nfail\nheader = \"Cookie: valtoken=%s\"\n", s.svc.token.c_str());
    for (size_t i = 0; i < folder.fileIds.size(); ++i)
      std::fprintf(f, "url = \"http://127.0.0.1:%d/svc/files/%s/%s/%s\"\noutput = \"%s/f%zu\"\n",
                   s.svc.port, s.svc.device.c_str(), s.svc.service.c_str(),
                   folder.fileIds[i].c_str(), dir.c_str(), i);
    std::fclose(f);
    state.ResumeTiming();
    if (benchrun::run({"curl", "--parallel", "--parallel-max", "1", "-K", conf}) != 0)
      return state.SkipWithError("curl failed (is it installed?)");
  }
  state.SetBytesProcessed(state.iterations() * folder.bytes);
  state.SetItemsProcessed(state.iterations() * int64_t(folder.fileIds.size()));
}

void BM_ExportSmallFiles(benchmark::State &state) {
  runExport(state, setup().small);
}
void BM_CurlSmallFiles(benchmark::State &state) {
  runCurl(state, setup().small);
}
void BM_ExportLargeFiles(benchmark::State &state) {
  runExport(state, setup().large);
}
void BM_CurlLargeFiles(benchmark::State &state) {
  runCurl(state, setup().large);
}

BENCHMARK(BM_ExportSmallFiles)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlSmallFiles)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportLargeFiles)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlLargeFiles)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
