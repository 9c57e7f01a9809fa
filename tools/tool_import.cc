// tesseltool import: one import task run headless, as the queue would run it, against the
// configured service.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "brlog.h"
#include "hbfile.h"
#include "hbhttpconnpool.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hburl.h"
#include "hbzvuri.h"
#include "tesseltool.h"
#include "vxclienttaskimport.h"
#include "vxuploadrecords.h"
#include "vxsvccache.h"

namespace {

constexpr uint32_t kDefaultFlags = TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS;
std::atomic<bool> g_interrupted{false};

void onInterrupt(int) {
  g_interrupted = true;
}

int usage(FILE *to, int code) {
  std::fprintf(
      to,
      "usage: tesseltool import DIR... --dest ytozv://DEVICE:SERVICE[:FOLDERID] [--flags N]\n"
      "                         [--token T|-] [--log FILE] [--verbose]\n"
      "Imports the pictures of each DIR into the drive, as an import task does.\n"
      "  --flags N   task flags (default 0x%x: originals kept, folders mirrored)\n"
      "  --token T   the session token; \"-\" reads it from standard input (default: the\n"
      "              signed-in user's token from the settings)\n"
      "  --log FILE  write the import's log lines to FILE (--verbose: more of them)\n"
      "Exit 0 when every file went up, 1 when any failed (each failure is listed).\n",
      kDefaultFlags);
  return code;
}

std::string human(int64_t bytes) {
  char buf[32];
  if (bytes >= 10LL * 1024 * 1024)
    std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  else
    std::snprintf(buf, sizeof buf, "%.1f kB", static_cast<double>(bytes) / 1024.0);
  return buf;
}

// One progress line: files, bytes, the current file.
std::string progressLine(VXClientImportTask *task) {
  HBRef<VXClientTaskProgress> p;
  std::string current;
  if (task->getProgress(p.out()) >= 0) {
    HBRef<IHBURI> file;
    if (p->getCurrentFile(file.out()) >= 0) hburi__text(file.get(), &current);
  }
  if (current.compare(0, 7, "file://") == 0) current.erase(0, 7);
  const int32_t total = task->getTotalFiles();
  const int32_t done = task->filesDone();
  char buf[256];
  std::snprintf(buf, sizeof buf, "[%d/%d] %s of %s", current.empty() ? done : done + 1, total,
                human(task->bytesSent()).c_str(), human(task->bytesToSend()).c_str());
  return std::string(buf) + (current.empty() ? "" : " " + current);
}

int run(int argc, char **argv) {
  std::vector<std::string> dirs;
  std::string dest, token, logFile;
  bool haveToken = false, verbose = false;
  uint32_t flags = kDefaultFlags;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") return usage(stdout, 0);
    if (a == "--dest") {
      if (!value(&dest)) return usage(stderr, 64);
    } else if (a == "--flags") {
      char *end = nullptr;
      if (!value(&v)) return usage(stderr, 64);
      const unsigned long n = std::strtoul(v.c_str(), &end, 0);
      if (v.empty() || *end || n > 0xffffffffUL) return usage(stderr, 64);
      flags = static_cast<uint32_t>(n);
    } else if (a == "--token") {
      if (!value(&token)) return usage(stderr, 64);
      haveToken = true;
    } else if (a == "--log") {
      if (!value(&logFile)) return usage(stderr, 64);
    } else if (a == "--verbose") {
      verbose = true;
    } else if (!a.empty() && a[0] == '-') {
      return usage(stderr, 64);
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.empty() || dest.empty()) return usage(stderr, 64);
  if (haveToken && token == "-" && !std::getline(std::cin, token)) token.clear();

  if (!logFile.empty()) {
    // A name without a folder would go into the program's data folder: keep it here.
    if (logFile.find('/') == std::string::npos) logFile = "./" + logFile;
    hblogsink__init("tesseltool", logFile.c_str());
    brlog__setRotation(false);
    brlog__setLevel(verbose ? BRLOG_VERBOSE2 : BRLOG_INFO);
  }
  HBRef<HBProperties> store;
  if (hbproperties__open(HBPROPERTIES_KEY_BROWSER, 0, store.out()) >= 0)
    hbproperties__setDefault(store.get());
  if (!haveToken && hbsvc__getValtoken(&token) < 0) token.clear();
  if (token.empty()) {
    std::fprintf(stderr,
                 "tesseltool import: not signed in (no token in the settings %s); use "
                 "--token\n",
                 hbproperties__databasePath().c_str());
    return 1;
  }
  HBRef<IHBZVURI> destination;
  if (hbzvuri_new(destination, dest.c_str()) < 0 || !destination->getDeviceID() ||
      !destination->getServiceID()) {
    std::fprintf(stderr, "tesseltool import: not a drive: %s\n", dest.c_str());
    return 64;
  }
  HBRef<VXClientTaskReference> source;
  if (VXClientTaskReference::create("tesseltool", nullptr, "import", false, source) < 0) return 1;
  for (const std::string &d : dirs) {
    HBRef<IHBURL> url;
    char full[4096];
    if (hbfile__fullPath(d.c_str(), full, sizeof full) < 0 ||
        hburl__fromPath(url.out(), full) < 0 || source->addURI(url.get()) < 0) {
      std::fprintf(stderr, "tesseltool import: cannot import from %s\n", d.c_str());
      return 1;
    }
  }

  // The service: its address, a connection pool, and the cache of the user's drives.
  if (hbsvc__initServiceURL() < 0) {
    std::fprintf(stderr, "tesseltool import: the service address is not valid\n");
    return 1;
  }
  HBRef<IHBHTTPConnPool> pool;
  if (hbhttpconnpool__create(pool.out()) < 0) return 1;
  hbhttpconnpool__setDefault(pool.get());
  hbrpc__setConnPool(pool.get());
  int status = 1;
  {
    (void)vxsvccache__init(token.c_str(), false);
    int32_t rc = vxsvccache__update();
    if (rc < 0)
      std::fprintf(stderr, "tesseltool import: cannot list the drives at %s: %d %s\n",
                   hbsvc__getServiceURLText().c_str(), rc, brerror__name(rc));
    HBRef<IHBStr> name;
    if (rc >= 0 && vxsvccache__getServiceName(destination->getDeviceID(),
                                              destination->getServiceID(), name.out()) < 0) {
      std::fprintf(stderr, "tesseltool import: no drive %s:%s for this user\n",
                   destination->getDeviceID(), destination->getServiceID());
      rc = BR_ENOENT;
    }
    VXUploadRecords uploads;  // outlives the task
    std::string id;
    HBRef<VXClientImportTask> task;
    if (rc >= 0 && (rc = vxclienttask__newID(&id)) >= 0)
      rc = VXClientImportTask::create(id.c_str(), TASK_CLASS_USER, flags, source.get(),
                                      destination.get(), task.out());
    // Uploads in pieces cut off by a kill or a failure are continued by the next import of the
    // same file, from a record in the data folder.
    if (rc >= 0 && uploads.open(VXUploadRecords::importPath().c_str()) >= 0)
      task->setUploadRecords(&uploads);
    if (rc >= 0) {
      struct sigaction sa {};
      sa.sa_handler = onInterrupt;
      sigaction(SIGINT, &sa, nullptr);
      sigaction(SIGTERM, &sa, nullptr);
      const auto start = std::chrono::steady_clock::now();
      std::atomic<bool> done{false};
      std::thread worker([&] {
        (void)task->runTask(token.c_str());
        done = true;
      });
      const bool tty = isatty(2);
      std::string last;
      bool canceled = false;
      while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (g_interrupted && !canceled) {
          canceled = true;
          (void)task->cancelTask();
          std::fprintf(stderr, "%sinterrupted: stopping after the current block\n",
                       tty ? "\n" : "");
        }
        const std::string line = progressLine(task.get());
        if (line == last) continue;
        last = line;
        if (tty)
          std::fprintf(stderr, "\r%s\033[K", line.c_str());
        else
          std::fprintf(stderr, "%s\n", line.c_str());
      }
      worker.join();
      const std::string line = progressLine(task.get());
      if (!tty && line != last) std::fprintf(stderr, "%s\n", line.c_str());
      const double secs =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (tty) std::fprintf(stderr, "\r\033[K");
      const int32_t errors = task->getErrorCount();
      const int32_t total = task->getTotalFiles();
      std::fprintf(
          stderr, "imported %d of %d files in %.1f s, %d skipped, %d failed (error mask 0x%x)%s\n",
          task->filesImported(), total, secs, task->getSkippedFiles(), errors, task->getErrorMask(),
          task->getTaskState() == TASK_STATE_CANCELED ? ", canceled" : "");
      HBRef<IHBIter> list;
      if (task->iterateErrors(list.out()) >= 0) {
        hbtype_t type = HBTYPE_ANY;
        void *item;
        for (; list->next(&type, &item) >= 0; type = HBTYPE_ANY) {
          HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
          VXClientTaskError *e = VXClientTaskError::from(obj.get());
          HBRef<IHBURI> uri;
          std::string text = "?";
          if (e && e->getErrorURI(uri.out()) >= 0) hburi__text(uri.get(), &text);
          std::fprintf(stderr, "  failed: %s (0x%x)\n", text.c_str(), e ? e->getErrorBits() : 0);
        }
      }
      status = errors == 0 && task->getTaskState() == TASK_STATE_FINISHED ? 0 : 1;
    } else if (rc != BR_ENOENT) {
      std::fprintf(stderr, "tesseltool import: %d %s\n", rc, brerror__name(rc));
    }
  }
  vxsvccache__flush();
  hbrpc__setConnPool(nullptr);
  hbhttpconnpool__setDefault(nullptr);
  hbproperties__setDefault(nullptr);
  return status;
}

}  // namespace

TESSEL_TOOL_COMMAND(import, "import DIR... --dest ytozv://DEVICE:SERVICE",
                    "import the pictures of folders into a drive", run);
