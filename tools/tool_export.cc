// tesseltool export: a restore without the desktop program. The export task copies a drive
// folder (or the whole drive, or one file) into a local folder, with progress on standard error
// and a summary as JSON on standard output.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "brlog.h"
#include "hbfile.h"
#include "hbhttpconnpool.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbzvuri.h"
#include "tesseltool.h"
#include "vxclienttaskexport.h"
#include "vxsvccache.h"

namespace {

std::atomic<bool> g_interrupted{false};

void onSignal(int) {
  g_interrupted.store(true);
}

int usage(FILE *to, int code) {
  std::fprintf(to,
               "usage: tesseltool export ytozv://DEVICE:SERVICE[:FILEID] DIR [--log FILE]\n"
               "  Copies the file or folder FILEID of the drive (without it: the whole drive)\n"
               "  into the local folder DIR, which is made when missing. Files already in DIR\n"
               "  are left as they are. The session token is the signed-in user's (settings),\n"
               "  or the environment variable TESSEL_VALTOKEN; the service host is the one of\n"
               "  the settings. Progress goes to standard error, a summary as JSON to standard\n"
               "  output; --log writes the program's log lines into FILE. Exit 0: every file\n"
               "  restored; 1: some file failed; 64: bad usage.\n");
  return code;
}

std::string megabytes(int64_t bytes) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f MB", double(bytes) / 1e6);
  return b;
}

int runExport(int argc, char **argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")))
    return usage(stdout, 0);
  const char *logFile = nullptr;
  if (argc == 5 && !std::strcmp(argv[3], "--log")) {
    logFile = argv[4];
    argc = 3;
  }
  if (argc != 3) return usage(stderr, 64);
  if (logFile) {
    hblogsink__init("tesseltool", logFile);
    brlog__setLevel(BRLOG_VERBOSE3);
  }
  HBRef<IHBZVURI> source;
  if (hbzvuri_new(source, argv[1]) < 0 || !source->getDeviceID() || !source->getServiceID()) {
    std::fprintf(stderr, "tesseltool export: '%s' is not a drive URI\n", argv[1]);
    return 64;
  }
  char full[4096];
  HBRef<IHBURL> dest;
  if (hbfile__fullPath(argv[2], full, sizeof full) < 0 || hburl__fromPath(dest.out(), full) < 0) {
    std::fprintf(stderr, "tesseltool export: '%s' is not a usable folder name\n", argv[2]);
    return 64;
  }

  HBRef<HBProperties> settings;
  if (hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, settings.out()) == 0)
    hbproperties__setDefault(settings.get());
  std::string token;
  if (const char *env = std::getenv("TESSEL_VALTOKEN"); env && *env)
    token = env;
  else if (hbsvc__getValtoken(&token) < 0)
    token.clear();
  if (token.empty()) {
    std::fprintf(stderr,
                 "tesseltool export: not signed in (no session token in the settings or in "
                 "TESSEL_VALTOKEN)\n");
    return 1;
  }
  if (hbsvc__initServiceURL() < 0) {
    std::fprintf(stderr, "tesseltool export: the service host of the settings is not usable\n");
    return 1;
  }
  HBRef<IHBHTTPConnPool> pool;
  if (hbhttpconnpool__create(pool.out()) < 0) return 1;
  hbhttpconnpool__setDefault(pool.get());
  hbrpc__setConnPool(pool.get());
  // The drive's address, name and version, as the desktop program's cache would know them.
  if (vxsvccache__init(token.c_str(), false) < 0) return 1;
  (void)vxsvccache__getService(source->getDeviceID(), source->getServiceID());

  HBRef<VXClientTaskReference> ref;
  std::string id;
  if (vxclienttask__newID(&id) < 0 ||
      VXClientTaskReference::create(id.c_str(), "user", "export", false, ref) < 0 ||
      ref->addURI(source.get()) < 0)
    return 1;
  HBRef<VXClientExportTask> task;
  if (VXClientExportTask::create(task.out(), id.c_str(), ref.get(), dest.get()) < 0) return 1;

  struct sigaction sa = {};
  sa.sa_handler = onSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    (void)task->runTask(token.c_str());
    done.store(true);
  });
  const bool tty = isatty(2);
  int64_t lastShown = -1;
  for (int tick = 0; !done.load(); ++tick) {
    if (g_interrupted.load()) (void)task->cancelTask();
    if (tick % 10 == 0) {
      const int32_t index = task->filesHandled();
      if (tty || index != lastShown) {
        std::fprintf(stderr, "%sexport: %d/%d files, %s of %s%s", tty ? "\r" : "", index,
                     task->getTotalFiles(),
                     megabytes(task->bytesDone() + task->currentFileReceived()).c_str(),
                     megabytes(task->totalBytes()).c_str(), tty ? "   " : "\n");
        lastShown = index;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  worker.join();
  if (tty) std::fputc('\n', stderr);

  // What failed, by its path on the drive (the identifiers mean nothing to a person).
  for (const VXExportFailure &f : task->failures())
    std::fprintf(stderr, "export: failed: %s (%s, error bits 0x%02x)\n", f.path.c_str(),
                 brerror__name(f.result), f.bits);
  const int32_t restored = task->filesDone();
  const int32_t failed = task->filesFailed();
  const int32_t folders = task->getErrorCount() - failed;
  const bool canceled = task->getTaskState() == TASK_STATE_CANCELED;
  std::fprintf(stderr, "export: %d of %d files restored into %s, %d failed%s (error mask 0x%02x)%s\n",
               restored, task->getTotalFiles(), full, failed,
               folders > 0 ? (", " + std::to_string(folders) + " folder(s) not restored").c_str()
                           : "",
               task->getErrorMask(), canceled ? ", canceled" : "");
  std::printf(
      "{\"files\": %d, \"done\": %d, \"failed\": %d, \"folders_failed\": %d, \"skipped\": %d, "
      "\"errormask\": %u, \"bytes\": %lld, \"state\": \"%s\"}\n",
      task->getTotalFiles(), restored, failed, folders, task->getSkippedFiles(), task->getErrorMask(),
      (long long)task->bytesDone(), vxclienttask__stateName(task->getTaskState()));
  hbrpc__setConnPool(nullptr);
  hbhttpconnpool__setDefault(nullptr);
  hbproperties__setDefault(nullptr);
  return failed > 0 || folders > 0 || canceled ? 1 : 0;
}

}  // namespace

TESSEL_TOOL_COMMAND(export, "export ytozv://DEVICE:SERVICE[:FILEID] DIR [--log FILE]",
                    "restore a drive folder into a local folder (the export task)", runExport);
