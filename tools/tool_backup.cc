// tesseltool backup: auto-imports for machines without a desktop (a home server, a NAS).
//
//   backup add DIR --dest ytozv://DEVICE:SERVICE   saves a user source and an auto-import of it
//   backup list                                    the saved auto-imports and their last runs
//   backup run [--once] [--wait]                   the queue with the saved auto-imports and
//                                                  their watchers, until SIGTERM
//
// One program per user runs the backups (the desktop program or one `run`): a second `run`
// says who has them and exits 1, or with --wait waits until they are given up.
//
// `run` keeps the state of each task's last run in "tesseltool-backup.json" in the program's
// data folder, which `list` reads; it picks up auto-imports added meanwhile within seconds.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "brlog.h"
#include "hbfile.h"
#include "hbhttpconnpool.h"
#include "hbjson.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hburl.h"
#include "hbzvuri.h"
#include "tesseltool.h"
#include "vxclienttaskaimport.h"
#include "vxclienttaskqueue.h"
#include "vxfsevent_posix.h"
#include "vxsvccache.h"

namespace {

constexpr uint32_t kDefaultFlags = TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS;
constexpr const char *kStatusFile = "tesseltool-backup.json";
std::atomic<bool> g_stop{false};

void onSignal(int) {
  g_stop = true;
}

int usage(FILE *to, int code) {
  std::fprintf(
      to,
      "usage: tesseltool backup add DIR --dest ytozv://DEVICE:SERVICE [--flags N] [--name NAME]\n"
      "                                [--no-videos]\n"
      "       tesseltool backup list\n"
      "       tesseltool backup run [--once] [--wait] [--token -] [--log FILE] [--verbose]\n"
      "Backs folders up into a drive by themselves, as the desktop program's auto-imports do.\n"
      "  add    saves DIR as a backup source and an auto-import of it into the drive (flags\n"
      "         default 0x%x: originals kept, folders mirrored); it runs at the next `run`.\n"
      "         Videos go too unless --no-videos (or the setting backupvideos is \"0\")\n"
      "  list   the saved auto-imports with their state and their last run, as JSON\n"
      "  run    runs the saved auto-imports in the foreground: each runs at start, again 30 s\n"
      "         after its folders change, and after failures; SIGTERM or SIGINT stops it in\n"
      "         order. --once ends when every auto-import has finished one run. Progress goes\n"
      "         to standard error; exit 1 when a run ended with errors. Only one program\n"
      "         runs the backups of a user: with another one at it, exit 1, or --wait\n"
      "         until it stops\n"
      "  --token -   read the session token from standard input (default: the signed-in\n"
      "              user's token in the settings)\n"
      "  --log FILE  the log (default tesseltool-backup.log in the data folder)\n",
      kDefaultFlags);
  return code;
}

std::string statusPath() {
  return vxclienttask__dataFolder() + "/" + kStatusFile;
}

std::string shortID(const char *id) {
  return std::string(id).substr(0, 8);
}

// Opens the browser key as the default store.
bool openSettings(HBRef<HBProperties> &store) {
  if (hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, store.out()) < 0) {
    std::fprintf(stderr, "tesseltool backup: cannot open the settings %s\n",
                 hbproperties__databasePath().c_str());
    return false;
  }
  hbproperties__setDefault(store.get());
  return true;
}

std::vector<VXSavedAutoImport> savedAutoImports() {
  std::string text;
  std::vector<VXSavedAutoImport> out;
  if (hbproperties__readKeyValue(HBPROPERTIES_KEY_BROWSER, "autoimports", &text) >= 0)
    (void)vxclienttaskqueue__parseAutoImports(text.c_str(), &out, nullptr);
  return out;
}

// A saved auto-import as a task object, for writing the saved list again.
class SavedEntry final : public VXClientTask {
 public:
  SavedEntry(const char *id, int32_t cls, uint32_t flags, int32_t state,
             VXClientTaskReference *source, IHBURI *destination)
      : VXClientTask(id, TASK_TYPE_AUTOIMPORT, cls, flags, source, destination) {
    setTaskState(state);
  }
  int32_t runTask(const char *) override { return 0; }
};

// ---- add ----

int runAdd(int argc, char **argv) {
  std::string dir, dest, name;
  uint32_t flags = kDefaultFlags;
  bool noVideos = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--dest" && hasValue) {
      dest = argv[++i];
    } else if (a == "--name" && hasValue) {
      name = argv[++i];
    } else if (a == "--no-videos") {
      noVideos = true;
    } else if (a == "--flags" && hasValue) {
      char *end = nullptr;
      const unsigned long n = std::strtoul(argv[++i], &end, 0);
      if (*end || n > 0xffffffffUL) return usage(stderr, 64);
      flags = static_cast<uint32_t>(n);
    } else if (!a.empty() && a[0] != '-' && dir.empty()) {
      dir = a;
    } else {
      return usage(stderr, 64);
    }
  }
  if (dir.empty() || dest.empty()) return usage(stderr, 64);
  char full[4096];
  HBFileStat st;
  HBRef<IHBURL> url;
  if (hbfile__fullPath(dir.c_str(), full, sizeof full) < 0 || hbfile__stat(full, &st) < 0 ||
      !st.isDir || hburl__fromPath(url.out(), full) < 0) {
    std::fprintf(stderr, "tesseltool backup: not a folder: %s\n", dir.c_str());
    return 1;
  }
  HBRef<IHBZVURI> destination;
  if (hbzvuri_new(destination, dest.c_str()) < 0 || !destination->getDeviceID() ||
      !destination->getServiceID()) {
    std::fprintf(stderr, "tesseltool backup: not a drive: %s\n", dest.c_str());
    return 64;
  }
  std::string urlText, destText;
  hburi__text(url.get(), &urlText);
  hburi__text(destination.get(), &destText);

  HBRef<HBProperties> store;
  if (!openSettings(store)) return 1;
  // The choice is the backup's own from now on.
  if (!noVideos && vxclienttaskqueue__backupVideos())
    flags |= TASK_FLAG_BACKUP_VIDEOS;
  else
    flags &= ~static_cast<uint32_t>(TASK_FLAG_BACKUP_VIDEOS);
  std::vector<VXSavedAutoImport> saved = savedAutoImports();
  for (const VXSavedAutoImport &e : saved) {
    std::string d;
    hburi__text(e.destination.get(), &d);
    for (const std::string &u : e.source->uriTexts()) {
      if (u != urlText || d != destText) continue;
      std::fprintf(stderr, "tesseltool backup: %s already goes to %s (auto-import %s)\n", full,
                   destText.c_str(), e.taskId.c_str());
      hbproperties__setDefault(nullptr);
      return 1;
    }
  }

  int status = 1;
  HBRef<VXClientTaskQueue> queue;
  if (VXClientTaskQueue::create(queue) == 0) {
    HBRef<VXClientTaskReference> ref;
    std::string id;
    const char *slash = std::strrchr(full, '/');
    if (name.empty()) name = slash && slash[1] ? slash + 1 : full;
    int32_t rc = queue->newReference(ref.out(), "user", name.c_str(), nullptr, true);
    if (rc == 0) rc = ref->addURI(url.get());
    if (rc == 0) rc = vxclienttask__newID(&id);
    if (rc == 0) {
      std::vector<HBRef<VXClientTask>> tasks;
      for (const VXSavedAutoImport &e : saved)
        tasks.push_back(HBRef<VXClientTask>::adopt(new SavedEntry(
            e.taskId.c_str(), e.taskClass, e.flags, e.state, e.source.get(), e.destination.get())));
      tasks.push_back(HBRef<VXClientTask>::adopt(new SavedEntry(
          id.c_str(), TASK_CLASS_USER, flags, TASK_STATE_PENDING, ref.get(), destination.get())));
      HBRef<IHBIter> list;
      rc = vxclienttask__newList(list.out(), HBIFC_OBJ, "autoimports", tasks,
                                 [](const HBRef<VXClientTask> &t) { return t->obj(); });
      if (rc == 0) rc = queue->saveAutoImports(nullptr, list.get());
      if (rc == 0) rc = queue->addUserSource(ref->obj(), VXTASKQ_SAVE);
    }
    if (rc == 0) {
      std::printf("{\"taskid\": ");
      tesseltool::printJsonString(id.c_str());
      std::printf(", \"sourceid\": ");
      tesseltool::printJsonString(ref->getRefID());
      std::printf(", \"folder\": ");
      tesseltool::printJsonString(full);
      std::printf(", \"desturi\": ");
      tesseltool::printJsonString(destText.c_str());
      std::printf(", \"videos\": %s}\n", (flags & TASK_FLAG_BACKUP_VIDEOS) ? "true" : "false");
      status = 0;
    } else {
      std::fprintf(stderr, "tesseltool backup: cannot save the auto-import: %d %s\n", rc,
                   brerror__name(rc));
    }
    queue->shutdown();
  }
  hbproperties__setDefault(nullptr);
  return status;
}

// ---- list ----

int runList() {
  HBRef<HBProperties> store;
  if (!openSettings(store)) return 1;
  HBRef<HBMap> status;
  HBRef<IHBStream> in;
  if (hbfile__openRead(in.out(), statusPath().c_str(), "backup status") >= 0)
    (void)hbjson__parseStream(status, in.get());
  HBRef<HBMap> runs;
  if (status) (void)status->getAs("tasks", HBIFC_MAP, runs.outv());
  const std::vector<VXSavedAutoImport> saved = savedAutoImports();
  std::printf("{\"autoImports\": [");
  for (size_t i = 0; i < saved.size(); ++i) {
    const VXSavedAutoImport &e = saved[i];
    std::string dest, map;
    hburi__text(e.destination.get(), &dest);
    (void)VXFileMap::pathFor(e.taskId.c_str(), &map);
    std::printf(i ? ",\n  " : "\n  ");
    std::printf("{\"taskid\": ");
    tesseltool::printJsonString(e.taskId.c_str());
    std::printf(
        ", \"state\": \"%s\", \"taskclass\": \"%s\", \"flags\": %u, \"videos\": %s, "
        "\"desturi\": ",
        vxclienttask__stateName(e.state), vxclienttask__className(e.taskClass), e.flags,
        (e.flags & TASK_FLAG_BACKUP_VIDEOS) ? "true" : "false");
    tesseltool::printJsonString(dest.c_str());
    std::printf(", \"filemap\": ");
    tesseltool::printJsonString(map.c_str());
    std::printf(", \"source\": ");
    tesseltool::printReference(e.source.get());
    std::printf(", \"lastRun\": ");
    HBRef<HBMap> run;
    if (runs && runs->getAs(e.taskId.c_str(), HBIFC_MAP, run.outv()) == 0)
      tesseltool::printJsonValue(run->obj());
    else
      std::printf("null");
    std::printf("}");
  }
  std::printf(saved.empty() ? "]}\n" : "\n]}\n");
  hbproperties__setDefault(nullptr);
  return 0;
}

// ---- run ----

struct Watch {
  int32_t runs = 0;
  std::string line;
  int64_t lastPrint = 0;
};

// The last run of every task, as `list` shows it.
class StatusFile {
 public:
  void update(VXClientAutoImportTask *t) {
    VXTaskOutcome o;
    t->getOutcome(&o);
    std::string e = "{\"ended\": \"" + std::to_string(brtime__nowMs()) + "\", \"state\": \"" +
                    vxclienttask__stateName(t->getTaskState()) + "\", \"runs\": \"" +
                    std::to_string(t->completedRuns()) + "\", \"totfiles\": \"" +
                    std::to_string(t->getTotalFiles()) + "\", \"imported\": \"" +
                    std::to_string(t->filesImported()) + "\", \"skipped\": \"" +
                    std::to_string(t->getSkippedFiles()) + "\", \"errors\": \"" +
                    std::to_string(t->getErrorCount()) + "\", \"errormask\": \"" +
                    std::to_string(t->getErrorMask()) + "\", \"offline\": \"" +
                    (t->offline() ? "1" : "0") + "\", \"leftout\": \"" + std::to_string(o.leftOut) +
                    "\", \"leftoutkinds\": ";
    hbjson__appendQuoted(&e, o.leftOutKinds.c_str(), false);
    e += ", \"waiting\": \"" + std::to_string(o.waiting) + "\", \"problem\": \"" + o.problem +
         "\", \"problemtext\": ";
    hbjson__appendQuoted(&e, o.problemText.c_str(), false);
    e += ", \"nextretry\": \"" + std::to_string(o.nextRetryMs) + "\", \"errorList\": [";
    bool first = true;
    HBRef<IHBIter> list;
    if (t->iterateErrors(list.out()) >= 0) {
      (void)hbiter__forEachObject(list.get(), [&](IHBObj *o) {
        VXClientTaskError *err = VXClientTaskError::from(o);
        HBRef<IHBURI> uri;
        std::string text = "?";
        if (err && err->getErrorURI(uri.out()) >= 0) hburi__text(uri.get(), &text);
        e += first ? "" : ", ";
        e += "{\"uri\": ";
        hbjson__appendQuoted(&e, text.c_str(), false);
        e += ", \"errormask\": \"" + std::to_string(err ? err->getErrorBits() : 0) + "\"}";
        first = false;
        return 0;
      });
    }
    m_entries[t->getTaskID()] = e + "]}";
    write();
  }

 private:
  void write() {
    std::string text = "{\"tasks\": {";
    bool first = true;
    for (const auto &kv : m_entries) {
      text += first ? "\n" : ",\n";
      hbjson__appendQuoted(&text, kv.first.c_str(), false);
      text += ": " + kv.second;
      first = false;
    }
    text += "\n}}\n";
    const std::string path = statusPath(), tmp = path + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f) return;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) == 0 && ok) std::rename(tmp.c_str(), path.c_str());
  }
  std::map<std::string, std::string> m_entries;
};

std::vector<HBRef<VXClientAutoImportTask>> autoImports(VXClientTaskQueue *queue) {
  std::vector<HBRef<VXClientAutoImportTask>> out;
  HBRef<IHBIter> list;
  if (queue->iterateTasks(TASK_TYPE_AUTOIMPORT, list.out()) < 0) return out;
  (void)hbiter__forEachObject(list.get(), [&](IHBObj *o) {
    HBRef<VXClientAutoImportTask> t;
    if (hb_query(o, t) == 0) out.push_back(std::move(t));
    return 0;
  });
  return out;
}

std::string progressLine(VXClientAutoImportTask *t) {
  HBRef<VXClientTaskProgress> p;
  std::string current;
  if (t->getProgress(p.out()) >= 0) {
    HBRef<IHBURI> file;
    if (p->getCurrentFile(file.out()) >= 0) hburi__text(file.get(), &current);
  }
  if (current.compare(0, 7, "file://") == 0) current.erase(0, 7);
  char buf[128];
  std::snprintf(buf, sizeof buf, "[%s] %s %d/%d", shortID(t->getTaskID()).c_str(),
                vxclienttask__stateName(t->getTaskState()), t->filesDone(), t->getTotalFiles());
  // The bytes of the run: what the service held already of a continued upload counts.
  std::string sent;
  if (!current.empty() && t->bytesToSend() > 0)
    sent = " " + std::to_string(std::min<int64_t>(100, t->bytesSent() * 100 / t->bytesToSend())) +
           "% sent";
  return std::string(buf) + (current.empty() ? "" : " " + current) + sent +
         (t->offline() ? " (waiting for a network)" : "");
}

void runEnded(VXClientAutoImportTask *t) {
  VXTaskOutcome o;
  t->getOutcome(&o);
  std::string line = "[" + shortID(t->getTaskID()) + "] run " + std::to_string(t->completedRuns()) +
                     " ended " + vxclienttask__stateName(t->getTaskState()) + ": " +
                     std::to_string(t->filesImported()) + " imported";
  // What the backup does not take is said, kind by kind: nobody should think it went up.
  if (o.leftOut > 0)
    line += ", " + std::to_string(o.leftOut) + " left out: " + o.leftOutKinds + ";";
  else
    line += ",";
  line += " " + std::to_string(std::max(0, t->getSkippedFiles() - o.leftOut)) +
          " unchanged or skipped, " +
          std::to_string(std::max(0, t->getErrorCount() - t->getWaitFailures())) + " failed";
  if (o.waiting > 0) line += ", " + std::to_string(o.waiting) + " waiting";
  if (!o.problemText.empty()) line += ". " + o.problemText;
  if (o.nextRetryMs > 0)
    line += " (next try in " +
            std::to_string(std::max<int64_t>(0, o.nextRetryMs - brtime__nowMs()) / 1000) + " s)";
  std::fprintf(stderr, "%s", line.c_str());
  if (t->getErrorMask()) std::fprintf(stderr, " (error mask 0x%x)", t->getErrorMask());
  std::fprintf(stderr, "\n");
  HBRef<IHBIter> list;
  if (t->iterateErrors(list.out()) < 0) return;
  (void)hbiter__forEachObject(list.get(), [&](IHBObj *o) {
    VXClientTaskError *err = VXClientTaskError::from(o);
    HBRef<IHBURI> uri;
    std::string text = "?";
    if (err && err->getErrorURI(uri.out()) >= 0) hburi__text(uri.get(), &text);
    std::fprintf(stderr, "  failed: %s (0x%x)\n", text.c_str(), err ? err->getErrorBits() : 0);
    return 0;
  });
}

int runRun(int argc, char **argv) {
  bool once = false, verbose = false, tokenFromInput = false, wait = false;
  std::string logFile = "tesseltool-backup.log";
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--once") {
      once = true;
    } else if (a == "--wait") {
      wait = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--token" && i + 1 < argc && std::strcmp(argv[i + 1], "-") == 0) {
      tokenFromInput = true;
      ++i;
    } else if (a == "--log" && i + 1 < argc) {
      logFile = argv[++i];
      // A name without a folder would go into the data folder: keep it here.
      if (logFile.find('/') == std::string::npos) logFile = "./" + logFile;
    } else {
      return usage(stderr, 64);
    }
  }
  hblogsink__init("tesseltool", logFile.c_str());
  brlog__setLevel(verbose ? BRLOG_VERBOSE2 : BRLOG_INFO);
  // Tests shorten the folder watchers' quiet time; a user never needs to.
  if (const char *q = std::getenv("TESSEL_TEST_QUIET_MS"))
    vxfsevent__setQuietMsForTest(std::atoi(q));

  HBRef<HBProperties> store;
  if (!openSettings(store)) return 1;
  std::string token;
  if (tokenFromInput ? !std::getline(std::cin, token) : hbsvc__getValtoken(&token) < 0)
    token.clear();
  if (token.empty()) {
    std::fprintf(stderr,
                 "tesseltool backup: not signed in (no token in the settings %s); use "
                 "--token - with the token on standard input\n",
                 hbproperties__databasePath().c_str());
    hbproperties__setDefault(nullptr);
    return 1;
  }
  if (hbsvc__initServiceURL() < 0) {
    std::fprintf(stderr, "tesseltool backup: the service address is not valid\n");
    hbproperties__setDefault(nullptr);
    return 1;
  }
  HBRef<IHBHTTPConnPool> pool;
  if (hbhttpconnpool__create(pool.out()) < 0) return 1;
  hbhttpconnpool__setDefault(pool.get());
  hbrpc__setConnPool(pool.get());

  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  // Two programs running the same backups would send every photo twice.
  int32_t owner = 0;
  int32_t claimed = vxclienttaskqueue__claimBackups(&owner);
  if (claimed == BR_EBUSY) {
    std::fprintf(stderr, "tesseltool backup: %s%s\n",
                 vxclienttaskqueue__otherOwnerText(owner).c_str(),
                 wait ? "; waiting for it to stop" : "");
    while (wait && !g_stop && claimed == BR_EBUSY) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      claimed = vxclienttaskqueue__claimBackups(&owner);
    }
  }
  if (claimed < 0) {
    if (claimed != BR_EBUSY)
      std::fprintf(stderr, "tesseltool backup: cannot take the backups lock: %d %s\n", claimed,
                   brerror__name(claimed));
    hbrpc__setConnPool(nullptr);
    hbhttpconnpool__setDefault(nullptr);
    hbproperties__setDefault(nullptr);
    return 1;
  }

  int status = 0;
  HBRef<VXClientTaskQueue> queue;
  if (vxsvccache__init(token.c_str(), true) < 0 || VXClientTaskQueue::create(queue) < 0) {
    std::fprintf(stderr, "tesseltool backup: cannot start the service cache and the queue\n");
    status = 1;
  } else {
    vxclienttaskqueue__setGlobal(queue.get());
    (void)queue->setSessionToken(token.c_str());
    std::map<std::string, Watch> seen;
    std::map<std::string, bool> failed;  // by task: whether its last run ended with errors
    StatusFile statusFile;
    auto lastLoad = std::chrono::steady_clock::now();
    bool announced = false;
    while (!g_stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      // Auto-imports added with `backup add` meanwhile join in.
      if (std::chrono::steady_clock::now() - lastLoad > std::chrono::seconds(5)) {
        (void)queue->loadAutoImports(nullptr, nullptr);
        lastLoad = std::chrono::steady_clock::now();
      }
      const auto tasks = autoImports(queue.get());
      if (tasks.empty() && !announced) {
        std::fprintf(stderr, "tesseltool backup: no auto-imports (add one with backup add)\n");
        announced = true;
      }
      bool allDone = true;
      for (const auto &t : tasks) {
        Watch &w = seen[t->getTaskID()];
        const int32_t runs = t->completedRuns();
        if (runs != w.runs) {
          w.runs = runs;
          runEnded(t.get());
          statusFile.update(t.get());
          failed[t->getTaskID()] = t->getErrorCount() > 0;
        }
        const int32_t s = t->getTaskState();
        const bool running =
            s == TASK_STATE_PREPARING || s == TASK_STATE_RUNNING || s == TASK_STATE_CANCELING;
        if (running || (runs == 0 && s != TASK_STATE_CANCELED)) allDone = false;
        const std::string line = progressLine(t.get());
        const int64_t now = brtime__ticks();
        if (line != w.line && (running || now - w.lastPrint > 1000)) {
          std::fprintf(stderr, "%s\n", line.c_str());
          w.line = line;
          w.lastPrint = now;
        }
      }
      if (once && allDone) break;
    }
    if (g_stop) std::fprintf(stderr, "tesseltool backup: stopping\n");
    // Saves the auto-imports, cancels and removes every task, waits for the queue thread.
    queue->shutdown();
    vxclienttaskqueue__setGlobal(nullptr);
    for (const auto &f : failed) status = f.second ? 1 : status;
  }
  queue.reset();
  vxclienttaskqueue__releaseBackups();
  vxsvccache__flush();
  hbrpc__setConnPool(nullptr);
  hbhttpconnpool__setDefault(nullptr);
  hbproperties__setDefault(nullptr);
  return status;
}

int run(int argc, char **argv) {
  if (argc < 2) return usage(stderr, 64);
  const std::string sub = argv[1];
  if (sub == "--help" || sub == "-h") return usage(stdout, 0);
  if (sub == "add") return runAdd(argc, argv);
  if (sub == "list" && argc == 2) return runList();
  if (sub == "run") return runRun(argc, argv);
  return usage(stderr, 64);
}

}  // namespace

TESSEL_TOOL_COMMAND(backup, "backup add DIR --dest URI | list | run [--once]",
                    "back folders up into a drive by themselves (auto-imports)", run);
