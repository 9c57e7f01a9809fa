// The task queue and the saved auto-imports and user sources.
#include "vxclienttaskqueue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "brlog.h"
#include "hbfile.h"
#include "hbjson.h"
#include "hbmap.h"
#include "hbstr.h"
#include "vxclienttask_factory.h"
#include "vxclienttaskaimport.h"
#include "vxuserdirs.h"

namespace {

constexpr const char *kTag = "TASKQ";
constexpr const char *kKeyAutoImports = "autoimports";
constexpr const char *kKeyUserSources = "usersources";

std::atomic<const VXClientTaskFactoryTable *> g_testFactory{nullptr};

BRMutex g_globalLock;
VXClientTaskQueue *g_global = nullptr;

// The backups lock of this process: its descriptor and the claims on it.
BRMutex g_ownerLock;
int g_ownerFd = -1;
int32_t g_ownerClaims = 0;

// The objects of the list `key` of a saved text, handed to fn one by one (other items are passed
// over). -6 when the text is not a JSON object.
int32_t forEachSaved(const char *text, const char *key, const std::function<void(IHBMap *)> &fn) {
  if (!text || !*text) return 0;
  HBRef<HBMap> root;
  if (hbjson__parseText(root, text, -1) < 0) return BR_EINVAL;
  HBRef<IHBIter> list;
  if (root->getIter(key, list) < 0) return 0;
  return hbiter__forEachMap(list.get(), [&](IHBMap *m) {
    fn(m);
    return 0;
  });
}

// The store given, or the default one.
int32_t storeOrDefault(HBProperties *store, HBRef<HBProperties> &out) {
  if (store) {
    out = HBRef<HBProperties>::retain(store);
    return BR_OK;
  }
  const int32_t rc = hbproperties__getDefault(out.out());
  if (rc < 0) brlog(kTag, BRLOG_WARNING, "No settings store for the saved tasks\n");
  return rc;
}

int32_t writeSaved(HBProperties *given, const char *key, const std::string &text) {
  HBRef<HBProperties> store;
  int32_t rc = storeOrDefault(given, store);
  if (rc < 0) return rc;
  if ((rc = store->setProperty(key, text.c_str())) < 0)
    brlog(kTag, BRLOG_ERROR, "Could not save '%s' (%zu bytes)\n", key, text.size());
  return rc;
}

// 0 with the text, -3 when nothing is saved, another code when it could not be read.
int32_t readSaved(HBProperties *given, const char *key, std::string *text) {
  HBRef<HBProperties> store;
  const int32_t rc = storeOrDefault(given, store);
  if (rc < 0) return rc;
  return hbproperties__getString(store.get(), key, text);
}

// A saved text that cannot be read is kept beside it ("KEY.unreadable") before the next save
// writes over it, so that it can still be mended by hand.
void keepUnreadable(HBProperties *given, const char *key, const std::string &text) {
  const std::string copy = std::string(key) + ".unreadable";
  brlog(kTag, BRLOG_ERROR, "Saved '%s' is not readable (%zu bytes): kept as '%s'\n", key,
        text.size(), copy.c_str());
  (void)writeSaved(given, copy.c_str(), text);
}

// One saved auto-import entry from its parts.
std::string entryJSON(const char *id, int32_t cls, uint32_t flags, int32_t state,
                      const std::string &src, const std::string &destText, bool first) {
  char numbers[128];
  std::snprintf(numbers, sizeof numbers,
                ",\"taskClass\":\"%d\",\"taskFlags\":\"%d\",\"taskState\":\"%d\",\"taskSrcRef\":",
                cls, static_cast<int32_t>(flags), state);
  std::string s = first ? "{\"taskID\":" : ",{\"taskID\":";
  hbjson__appendQuoted(&s, id, false);
  s += numbers;
  s += src;
  s += ",\"taskDestURI\":";
  hbjson__appendQuoted(&s, destText.c_str(), false);
  s += "}";
  return s;
}

// A saved entry written again as it was read.
std::string savedJSON(const VXSavedAutoImport &e, bool first) {
  std::string src, destText;
  if (!e.source || e.source->toJSON(&src) < 0 || !e.destination) return "";
  hburi__text(e.destination.get(), &destText);
  return entryJSON(e.taskId.c_str(), e.taskClass, e.flags, e.state, src, destText, first);
}

// One saved auto-import entry.
std::string autoImportJSON(VXClientTask *task, bool first) {
  HBRef<VXClientTaskReference> source;
  HBRef<IHBURI> dest;
  std::string src;
  if (task->getTaskSource(source.out()) < 0 || task->getTaskDestination(dest.out()) < 0 ||
      source->toJSON(&src) < 0)
    return "";
  std::string destText;
  hburi__text(dest.get(), &destText);
  // A pause the network made is not the user's: saved as idle, so that the next start does not
  // leave the backup paused for good.
  int32_t state = task->getTaskState();
  HBRef<VXClientAutoImportTask> auto_;
  if ((state == TASK_STATE_CANCELING || state == TASK_STATE_CANCELED) &&
      hb_query(task->obj(), auto_) == 0 && (auto_->offline() || auto_->resumesWhenStopped()))
    state = TASK_STATE_FINISHED;
  return entryJSON(task->getTaskID(), task->getTaskClass(), task->getTaskFlags(), state, src,
                   destText, first);
}

IHBObj *taskObj(const HBRef<VXClientTask> &t) {
  return t->obj();
}

// Hands out a task with one reference.
int32_t handOut(VXClientTask *task, VXClientTask **out) {
  if (out) {
    task->upref();
    *out = task;
  }
  return BR_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Saved texts

int32_t vxclienttaskqueue__parseAutoImports(const char *text, std::vector<VXSavedAutoImport> *out,
                                            int32_t *skipped) {
  int32_t bad = 0;
  int32_t good = 0;
  const int32_t rc = forEachSaved(text, "autoImports", [&](IHBMap *m) {
    VXSavedAutoImport e;
    std::string cls, flags, state, dest;
    HBRef<IHBMap> src;
    if (!hbjson__getText(m, "taskID", &e.taskId) || !hbjson__getText(m, "taskClass", &cls) ||
        m->getAs("taskSrcRef", HBIFC_MAP, src.outv()) < 0 ||
        VXClientTaskReference::fromJSON(src.get(), e.source) < 0) {
      ++bad;
      return;
    }
    if (hbjson__getText(m, "taskDestURI", &dest) && !dest.empty())
      (void)hbzvuri_new(e.destination, dest.c_str());
    if (!e.destination) {
      HBRef<IHBMap> destRef;
      HBRef<VXClientTaskReference> ref;
      HBRef<IHBURI> first;
      HBRef<IHBIter> uris;
      hbtype_t t = HBTYPE_ANY;
      void *item = nullptr;
      if (m->getAs("taskDestRef", HBIFC_MAP, destRef.outv()) == 0 &&
          VXClientTaskReference::fromJSON(destRef.get(), ref) == 0 &&
          ref->iterateURIs(uris.out()) == 0 && uris->next(&t, &item) == 0) {
        first = HBRef<IHBURI>::adopt(static_cast<IHBURI *>(item));
        (void)hb_query(first.get(), e.destination);
      }
    }
    if (!e.destination) {
      ++bad;
      return;
    }
    e.taskClass = brstr__toInt(cls.c_str(), 10);
    if (hbjson__getText(m, "taskFlags", &flags))
      e.flags = static_cast<uint32_t>(brstr__toInt(flags.c_str(), 10));
    if (hbjson__getText(m, "taskState", &state)) e.state = brstr__toInt(state.c_str(), 10);
    ++good;
    if (out) out->push_back(std::move(e));
  });
  if (skipped) *skipped = bad;
  return rc < 0 ? rc : good;
}

int32_t vxclienttaskqueue__parseUserSources(const char *text,
                                            std::vector<HBRef<VXClientTaskReference>> *out,
                                            int32_t *skipped) {
  int32_t bad = 0;
  int32_t good = 0;
  const int32_t rc = forEachSaved(text, "userSources", [&](IHBMap *m) {
    HBRef<VXClientTaskReference> ref;
    if (VXClientTaskReference::fromJSON(m, ref) < 0 || !ref->getRefID()[0]) {
      ++bad;
      return;
    }
    ++good;
    if (out) out->push_back(std::move(ref));
  });
  if (skipped) *skipped = bad;
  return rc < 0 ? rc : good;
}

bool vxclienttaskqueue__backupVideos() {
  std::string v;
  return hbproperties__getDefaultString(VXTASKQ_SETTING_BACKUP_VIDEOS, &v) < 0 || v != "0";
}

int32_t vxclienttaskqueue__claimBackups(int32_t *ownerPid) {
  if (ownerPid) *ownerPid = 0;
  BRLock hold(g_ownerLock);
  if (g_ownerFd >= 0) {
    ++g_ownerClaims;
    return BR_OK;
  }
  const std::string folder = vxclienttask__dataFolder();
  int32_t rc = hbfile__mkdirs(folder.c_str());
  if (rc < 0) return rc;
  const std::string path = folder + "/backups.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return brerror__fromErrno(errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    char text[32] = "";
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n > 0 && ownerPid) *ownerPid = std::atoi(text);
    ::close(fd);
    return err == EWOULDBLOCK ? BR_EBUSY : brerror__fromErrno(err);
  }
  char text[32];
  const int len = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text, static_cast<size_t>(len), 0) != len)
    brlog(kTag, BRLOG_WARNING, "Could not write the pid into %s\n", path.c_str());
  g_ownerFd = fd;
  g_ownerClaims = 1;
  return BR_OK;
}

void vxclienttaskqueue__releaseBackups() {
  BRLock hold(g_ownerLock);
  if (g_ownerFd < 0 || --g_ownerClaims > 0) return;
  // The file stays: removing it would let a waiting program lock a file nobody else sees.
  ::close(g_ownerFd);
  g_ownerFd = -1;
  g_ownerClaims = 0;
}

std::string vxclienttaskqueue__otherOwnerText(int32_t pid) {
  return "Backups are being run by another program (pid " +
         (pid > 0 ? std::to_string(pid) : std::string("?")) + ")";
}

void vxclienttaskqueue__setFactoryForTest(const VXClientTaskFactoryTable *table) {
  g_testFactory.store(table);
}

// ---------------------------------------------------------------------------------------------
// The global queue

void vxclienttaskqueue__setGlobal(VXClientTaskQueue *queue) {
  HBRef<VXClientTaskQueue> old;
  if (queue) queue->upref();
  BRLock hold(g_globalLock);
  old = HBRef<VXClientTaskQueue>::adopt(g_global);
  g_global = queue;
}

int32_t vxclienttaskqueue__getGlobal(VXClientTaskQueue **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(g_globalLock);
  if (!g_global) return BR_ENOENT;
  g_global->upref();
  *out = g_global;
  return BR_OK;
}

int32_t vxclienttaskqueue__getGlobal(HBRef<VXClientTaskQueue> &out) {
  return vxclienttaskqueue__getGlobal(out.out());
}

// ---------------------------------------------------------------------------------------------
// VXClientTaskQueue

int32_t VXClientTaskQueue::create(HBRef<VXClientTaskQueue> &out) {
  HBRef<VXClientTaskQueue> q = HBRef<VXClientTaskQueue>::adopt(new VXClientTaskQueue);
  std::string text;
  if (readSaved(nullptr, kKeyUserSources, &text) == 0) {
    std::vector<HBRef<VXClientTaskReference>> refs;
    int32_t skipped = 0;
    if (vxclienttaskqueue__parseUserSources(text.c_str(), &refs, &skipped) < 0)
      keepUnreadable(nullptr, kKeyUserSources, text);
    if (skipped) brlog(kTag, BRLOG_WARNING, "%d saved user sources passed over\n", skipped);
    for (auto &r : refs) q->m_sources.emplace(r->getRefID(), std::move(r));
  }
  if (brqueue__create(&q->m_mailbox, VXTASKQ_MAILBOX) < 0) return BR_ENOMEM;
  // The thread's reference, given back by shutdown().
  q->upref();
  if (brthread__create(&q->m_thread, threadMain, q.get(), "TQUEUE") < 0) {
    q->m_thread = nullptr;
    q->dnref();
    return BR_EUNSPEC;
  }
  out = std::move(q);
  return BR_OK;
}

VXClientTaskQueue::~VXClientTaskQueue() {
  shutdown();
  if (m_mailbox) brqueue__destroy(m_mailbox);
}

int32_t VXClientTaskQueue::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
  return BR_ENOENT;
}

void VXClientTaskQueue::threadMain(void *queue) {
  static_cast<VXClientTaskQueue *>(queue)->run();
}

void VXClientTaskQueue::run() {
  brlog(kTag, BRLOG_INFO, "Thread Starting\n");
  int64_t window = VXTASKQ_TICK_MS;
  for (;;) {
    const int64_t start = brtime__ticks();
    int64_t code = -1;
    void *item = nullptr;
    if (brqueue__take(m_mailbox, &code, &item, std::min<int64_t>(window, VXTASKQ_TICK_MS)) == 0) {
      if (code == VXTASKQ_MSG_EXIT) {
        brlog(kTag, BRLOG_INFO, "Thread Exiting\n");
        return;
      }
      if (code == VXTASKQ_MSG_RUN && item) {
        HBRef<VXClientTask> task = HBRef<VXClientTask>::adopt(static_cast<VXClientTask *>(item));
        bool hasToken;
        std::string token;
        {
          BRLock hold(m_lock);
          hasToken = m_hasToken;
          token = m_token;
        }
        (void)task->runTask(hasToken ? token.c_str() : nullptr);
      }
    }
    drainBacklog();
    const int64_t spent = brtime__ticks() - start;
    if (spent >= window) {
      tick();
      window = VXTASKQ_TICK_MS;
    } else {
      window -= spent;
    }
  }
}

void VXClientTaskQueue::tick() {
  std::vector<HBRef<VXClientTask>> tasks;
  bool load;
  {
    BRLock hold(m_lock);
    load = m_hasToken && (m_waitsForOwner || m_loadPending);
  }
  // Another program gave the backups up, or the saved text can be read again.
  if (load) loadAutoImports(nullptr, nullptr);
  {
    BRLock hold(m_lock);
    for (auto *list : {&m_imports, &m_autoImports, &m_exports})
      tasks.insert(tasks.end(), list->begin(), list->end());
  }
  for (auto &t : tasks) t->notifyTask(TASK_NOTIFY_TICK);
}

std::vector<HBRef<VXClientTask>> *VXClientTaskQueue::listOf(int32_t type) {
  switch (type) {
    case TASK_TYPE_IMPORT:
      return &m_imports;
    case TASK_TYPE_EXPORT:
      return &m_exports;
    case TASK_TYPE_AUTOIMPORT:
      return &m_autoImports;
    default:
      return nullptr;
  }
}

// Puts a run message; the caller holds m_lock, so no shutdown frees the mailbox meanwhile.
int32_t VXClientTaskQueue::put(VXClientTask *task) {
  if (m_stopping || !m_mailbox) return BR_EBADSTATE;
  task->upref();
  if (brqueue__put(m_mailbox, VXTASKQ_MSG_RUN, task, false) < 0) {
    brlog(kTag, BRLOG_WARNING, "    Task[%s] -- No root in queue for task...\n", task->getTaskID());
    task->dnref();
    return BR_EUNSPEC;
  }
  return BR_OK;
}

int32_t VXClientTaskQueue::putOrKeep(VXClientTask *task, bool backlog) {
  if (!backlog || m_stopping || !m_mailbox) return put(task);
  // Runs already waiting go first, in their order.
  if (m_backlog.empty()) {
    task->upref();
    if (brqueue__put(m_mailbox, VXTASKQ_MSG_RUN, task, false) == 0) return BR_OK;
    task->dnref();
  }
  brlog(kTag, BRLOG_VERBOSE, "    Task[%s] -- run kept until the queue has room\n",
        task->getTaskID());
  m_backlog.push_back(HBRef<VXClientTask>::retain(task));
  return BR_OK;
}

void VXClientTaskQueue::drainBacklog() {
  BRLock hold(m_lock);
  while (!m_backlog.empty() && !m_stopping && m_mailbox) {
    VXClientTask *task = m_backlog.front().get();
    task->upref();
    if (brqueue__put(m_mailbox, VXTASKQ_MSG_RUN, task, false) < 0) {
      task->dnref();
      return;
    }
    m_backlog.pop_front();
  }
}

int32_t VXClientTaskQueue::queueTask(VXClientTask *task) {
  return queueTask(task, false);
}

int32_t VXClientTaskQueue::queueTask(VXClientTask *task, bool backlog) {
  if (!task) return BR_EINVAL;
  BRLock hold(m_lock);
  const int32_t rc = putOrKeep(task, backlog);
  if (rc < 0) return rc;
  if (auto *list = listOf(task->getTaskType())) list->push_back(HBRef<VXClientTask>::retain(task));
  return BR_OK;
}

int32_t VXClientTaskQueue::requeueTask(VXClientTask *task) {
  if (!task) return BR_EINVAL;
  BRLock hold(m_lock);
  return putOrKeep(task, true);
}

bool VXClientTaskQueue::ownsBackups() {
  BRLock hold(m_lock);
  return m_ownsBackups;
}

bool VXClientTaskQueue::claimOwner() {
  {
    BRLock hold(m_lock);
    if (m_ownsBackups) return true;
  }
  int32_t pid = 0;
  const int32_t rc = vxclienttaskqueue__claimBackups(&pid);
  BRLock hold(m_lock);
  if (rc == 0) {
    if (m_ownsBackups) vxclienttaskqueue__releaseBackups();  // claimed twice at once
    m_ownsBackups = true;
    m_waitsForOwner = false;
    return true;
  }
  if (!m_waitsForOwner)
    brlog(kTag, BRLOG_WARNING, "%s\n",
          rc == BR_EBUSY ? vxclienttaskqueue__otherOwnerText(pid).c_str()
                         : "Backups cannot be run: no lock file in the data folder");
  m_waitsForOwner = true;
  return false;
}

bool VXClientTaskQueue::signedIn() {
  BRLock hold(m_lock);
  return m_hasToken;
}

int32_t VXClientTaskQueue::shutdown() {
  {
    BRLock one(m_shutdownLock);
    BRThread *thread;
    {
      BRLock hold(m_lock);
      thread = m_thread;
    }
    if (!thread) return BR_OK;
    if (signedIn()) saveAutoImports(nullptr, nullptr);
    saveUserSources();
    std::vector<HBRef<VXClientTask>> tasks;
    {
      BRLock hold(m_lock);
      for (auto *list : {&m_imports, &m_autoImports, &m_exports}) {
        tasks.insert(tasks.end(), list->begin(), list->end());
        list->clear();
      }
      m_stopping = true;
      for (auto &t : m_backlog) tasks.push_back(t);
      m_backlog.clear();
    }
    if (!tasks.empty()) brlog(kTag, BRLOG_INFO, "*** Canceling and removing all tasks!\n");
    for (auto &t : tasks) {
      (void)t->cancelTask();
      t->notifyTask(TASK_NOTIFY_REMOVED);
    }
    tasks.clear();
    // Only an empty folder goes; file maps and the log keep it.
    (void)::rmdir(vxclienttask__dataFolder().c_str());

    brlog(kTag, BRLOG_INFO, "*** Shutting down now!\n");
    (void)brqueue__put(m_mailbox, VXTASKQ_MSG_EXIT, nullptr, true);
    (void)brthread__join(thread);
    {
      BRLock hold(m_lock);
      m_thread = nullptr;
      if (m_ownsBackups) vxclienttaskqueue__releaseBackups();
      m_ownsBackups = false;
    }
    // Runs queued behind the exit message never happen: give their references back.
    int64_t code;
    void *item;
    while (brqueue__take(m_mailbox, &code, &item, 0) == 0)
      if (code == VXTASKQ_MSG_RUN && item) static_cast<VXClientTask *>(item)->dnref();
  }
  // The thread's reference, last: the destructor may follow at once.
  dnref();
  return BR_OK;
}

void VXClientTaskQueue::dropAutoImports() {
  std::vector<HBRef<VXClientTask>> tasks;
  {
    BRLock hold(m_lock);
    tasks.swap(m_autoImports);
  }
  for (auto &t : tasks) {
    (void)t->cancelTask();
    t->notifyTask(TASK_NOTIFY_REMOVED);
  }
}

int32_t VXClientTaskQueue::setSessionToken(const char *token) {
  if (token && !*token) token = nullptr;
  bool held;
  {
    BRLock hold(m_lock);
    if (m_hasToken && token && m_token == token) return BR_OK;
    held = m_hasToken;
  }
  if (held) {
    saveAutoImports(nullptr, nullptr);
    saveUserSources();
    // The saved text now holds them; the next sign-in brings them back.
    dropAutoImports();
    BRLock hold(m_lock);
    m_hasToken = false;
    m_token.clear();
    // Signed out, another program (or user) may run the backups.
    if (m_ownsBackups) vxclienttaskqueue__releaseBackups();
    m_ownsBackups = false;
    m_waitsForOwner = false;
    m_loadPending = false;
  }
  if (token) {
    {
      BRLock hold(m_lock);
      m_hasToken = true;
      m_token = token;
    }
    loadAutoImports(nullptr, nullptr);
  }
  return BR_OK;
}

int32_t VXClientTaskQueue::findTask(VXClientTask **out, const char *id) {
  if (!out || !id) return BR_EINVAL;
  BRLock hold(m_lock);
  for (auto *list : {&m_imports, &m_exports, &m_autoImports})
    for (auto &t : *list)
      if (std::strcmp(t->getTaskID(), id) == 0) return handOut(t.get(), out);
  return BR_ENOENT;
}

int32_t VXClientTaskQueue::iterateTasks(int32_t kind, IHBIter **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(m_lock);
  auto *list = listOf(kind);
  if (!list) return BR_ENOENT;
  return vxclienttask__newList(out, HBIFC_OBJ, "tasks", *list, taskObj);
}

int32_t VXClientTaskQueue::removeTask(IVXClientTask *task, uint32_t flags) {
  if (!task) return BR_EINVAL;
  HBRef<VXClientTask> t;
  if (hb_query(task, t) < 0) return BR_ENOENT;
  if (flags & VXTASKQ_CANCEL) (void)t->cancelTask();
  t->notifyTask((flags & VXTASKQ_DELETE_DATA) ? TASK_NOTIFY_REMOVED_DELETE : TASK_NOTIFY_REMOVED);
  HBRef<VXClientTask> removed;
  {
    BRLock hold(m_lock);
    auto *list = listOf(t->getTaskType());
    if (!list) return BR_ENOENT;
    auto it = std::find_if(list->begin(), list->end(),
                           [&](const HBRef<VXClientTask> &e) { return e.get() == t.get(); });
    if (it == list->end()) return BR_ENOENT;
    removed = std::move(*it);
    list->erase(it);
    if (t->getTaskType() == TASK_TYPE_AUTOIMPORT) m_removedIDs.insert(t->getTaskID());
  }
  saveAutoImports(nullptr, nullptr);
  saveUserSources();
  return BR_OK;
}

int32_t VXClientTaskQueue::iterateUserSources(IHBIter **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(m_lock);
  return vxclienttask__newList(
      out, HBIFC_OBJ, "sources", m_sources,
      [](const std::pair<const std::string, HBRef<VXClientTaskReference>> &e) {
        return e.second->obj();
      });
}

int32_t VXClientTaskQueue::findUserSource(VXClientTaskReference **out, const char *id) {
  if (!out || !id) return BR_EINVAL;
  BRLock hold(m_lock);
  auto it = m_sources.find(id);
  if (it == m_sources.end()) return BR_ENOENT;
  it->second->upref();
  *out = it->second.get();
  return BR_OK;
}

int32_t VXClientTaskQueue::addUserSource(IHBObj *ref, uint32_t flags) {
  HBRef<VXClientTaskReference> r;
  const int32_t rc = hb_query(ref, r);
  if (rc < 0) return rc;
  {
    BRLock hold(m_lock);
    m_sources.emplace(r->getRefID(), r);
  }
  if (flags & VXTASKQ_SAVE) saveUserSources();
  return BR_OK;
}

int32_t VXClientTaskQueue::removeUserSource(IHBObj *ref) {
  HBRef<VXClientTaskReference> r;
  if (hb_query(ref, r) < 0) return BR_ENOENT;
  HBRef<VXClientTaskReference> removed;
  BRLock hold(m_lock);
  auto range = m_sources.equal_range(r->getRefID());
  if (range.first == range.second) return BR_ENOENT;
  auto victim = range.first;
  for (auto it = range.first; it != range.second; ++it)
    if (it->second.get() == r.get()) victim = it;
  removed = std::move(victim->second);  // released after the lock: declared before it
  m_sources.erase(victim);
  return BR_OK;
}

int32_t VXClientTaskQueue::newReference(VXClientTaskReference **out, const char *cls,
                                        const char *name, const char *id, bool persist) {
  if (!out) return BR_EINVAL;
  std::string fresh;
  if (!id || !*id) {
    HB_RETURN_IF_FAILED(kTag, vxclienttask__newID(&fresh));
    id = fresh.c_str();
  }
  return VXClientTaskReference::create(id, cls, name, persist, out);
}

int32_t VXClientTaskQueue::newTask(VXClientTask **out, int32_t type, IHBObj *source,
                                   IHBURI *destination, int32_t cls, uint32_t flags) {
  if (out) *out = nullptr;
  HBRef<VXClientTaskReference> src;
  int32_t rc = hb_query(source, src);
  if (rc < 0) return type == TASK_TYPE_EXPORT ? rc : BR_OK;
  std::string id;
  HB_RETURN_IF_FAILED(kTag, vxclienttask__newID(&id));
  // A new backup takes videos as the preferences say at its creation; it keeps that choice.
  if (type == TASK_TYPE_AUTOIMPORT) {
    if (vxclienttaskqueue__backupVideos())
      flags |= TASK_FLAG_BACKUP_VIDEOS;
    else
      flags &= ~static_cast<uint32_t>(TASK_FLAG_BACKUP_VIDEOS);
  }
  const VXClientTaskFactoryTable *test = g_testFactory.load();
  HBRef<VXClientTask> task;
  if (type == TASK_TYPE_IMPORT)
    rc = test ? test->newImport(task.out(), id.c_str(), cls, flags, src.get(), destination)
              : vxclienttask__newImportTask(task.out(), id.c_str(), cls, flags, src.get(),
                                            destination);
  else if (type == TASK_TYPE_EXPORT)
    rc = test ? test->newExport(task.out(), id.c_str(), src.get(), destination)
              : vxclienttask__newExportTask(task.out(), id.c_str(), src.get(), destination);
  else
    rc = test
             ? test->newAutoImport(task.out(), id.c_str(), cls, flags, src.get(), destination, this)
             : vxclienttask__newAutoImportTask(task.out(), id.c_str(), cls, flags, src.get(),
                                               destination, this);
  if (rc < 0) return rc;
  if (!task) return BR_EUNSPEC;
  rc = queueTask(task.get());
  if (rc < 0) {
    // A task that never got in is removed at once: it lets go of its watchers and file map.
    task->notifyTask(TASK_NOTIFY_REMOVED_DELETE);
    return type == TASK_TYPE_EXPORT ? rc : BR_OK;
  }
  if (type == TASK_TYPE_AUTOIMPORT) {
    saveAutoImports(nullptr, nullptr);
    saveUserSources();
  }
  return handOut(task.get(), out);
}

int32_t VXClientTaskQueue::newImportTask(VXClientTask **out, IHBObj *source, IHBURI *destination,
                                         int32_t cls, uint32_t flags) {
  return newTask(out, TASK_TYPE_IMPORT, source, destination, cls, flags);
}

int32_t VXClientTaskQueue::newExportTask(VXClientTask **out, IHBObj *source, IHBURI *destination) {
  return newTask(out, TASK_TYPE_EXPORT, source, destination, TASK_CLASS_USER, 0);
}

int32_t VXClientTaskQueue::newAutoImportTask(VXClientTask **out, IHBObj *source,
                                             IHBURI *destination, int32_t cls, uint32_t flags) {
  return newTask(out, TASK_TYPE_AUTOIMPORT, source, destination, cls, flags);
}

int32_t VXClientTaskQueue::saveUserSources() {
  std::vector<HBRef<VXClientTaskReference>> refs;
  {
    BRLock hold(m_lock);
    for (auto &e : m_sources) refs.push_back(e.second);
  }
  std::string text = "{\"userSources\":[";
  bool first = true;
  for (auto &r : refs) {
    std::string json;
    if (!r->persist() || r->toJSON(&json) < 0) continue;
    if (!first) text += ",";
    first = false;
    text += json;
  }
  text += "]}";
  return writeSaved(nullptr, kKeyUserSources, text);
}

int32_t VXClientTaskQueue::saveAutoImports(HBProperties *store, IHBIter *iter) {
  std::vector<HBRef<VXClientTask>> tasks;
  if (iter) {
    (void)hbiter__forEachObject(iter, [&](IHBObj *item) {
      HBRef<VXClientTask> task;
      if (hb_query(item, task) == 0) tasks.push_back(std::move(task));
      return 0;
    });
    std::string text = "{\"autoImports\":[";
    bool first = true;
    for (auto &t : tasks) {
      const std::string entry = autoImportJSON(t.get(), first);
      if (entry.empty()) continue;
      text += entry;
      first = false;
    }
    text += "]}";
    return writeSaved(store, kKeyAutoImports, text);
  }
  std::set<std::string> removed;
  {
    BRLock hold(m_lock);
    // Signed out, or while another program runs the backups, the list does not hold the saved
    // tasks: writing it would lose them.
    if (!m_hasToken) return BR_OK;
  }
  if (!claimOwner()) return BR_OK;
  {
    BRLock hold(m_lock);
    tasks = m_autoImports;
    removed = m_removedIDs;
  }
  // Merged with what is saved now: entries another program saved meanwhile stay.
  std::string old;
  std::vector<VXSavedAutoImport> saved;
  int32_t rc = readSaved(store, kKeyAutoImports, &old);
  if (rc < 0 && rc != BR_ENOENT) {
    brlog(kTag, BRLOG_ERROR, "Saved '%s' cannot be read (%d): not written over\n", kKeyAutoImports,
          rc);
    return rc;
  }
  if (rc == 0 && vxclienttaskqueue__parseAutoImports(old.c_str(), &saved, nullptr) < 0)
    keepUnreadable(store, kKeyAutoImports, old);
  std::string text = "{\"autoImports\":[";
  bool first = true;
  std::set<std::string> written;
  auto add = [&](const std::string &entry) {
    if (entry.empty()) return;
    text += entry;
    first = false;
  };
  auto ours = [&](const std::string &id) -> VXClientTask * {
    for (auto &t : tasks)
      if (id == t->getTaskID()) return t.get();
    return nullptr;
  };
  for (const VXSavedAutoImport &e : saved) {
    if (removed.count(e.taskId) || !written.insert(e.taskId).second) continue;
    VXClientTask *t = ours(e.taskId);
    add(t ? autoImportJSON(t, first) : savedJSON(e, first));
  }
  for (auto &t : tasks)
    if (written.insert(t->getTaskID()).second) add(autoImportJSON(t.get(), first));
  text += "]}";
  return writeSaved(store, kKeyAutoImports, text);
}

int32_t VXClientTaskQueue::loadAutoImports(HBProperties *store, IHBIter **out) {
  std::vector<HBRef<VXClientTask>> restored;
  std::string text;
  std::vector<VXSavedAutoImport> entries;
  int32_t skipped = 0;
  // The tasks of a user are run by one program at a time.
  if (!claimOwner()) {
    if (out) return vxclienttask__newList(out, HBIFC_OBJ, "autoimports", restored, taskObj);
    return BR_OK;
  }
  const int32_t read = readSaved(store, kKeyAutoImports, &text);
  {
    BRLock hold(m_lock);
    if (!store) m_loadPending = read < 0 && read != BR_ENOENT;
  }
  if (read < 0 && read != BR_ENOENT)
    brlog(kTag, BRLOG_ERROR, "Saved '%s' cannot be read (%d): tried again later\n", kKeyAutoImports,
          read);
  if (read == 0 && vxclienttaskqueue__parseAutoImports(text.c_str(), &entries, &skipped) < 0)
    keepUnreadable(store, kKeyAutoImports, text);
  if (skipped) brlog(kTag, BRLOG_WARNING, "%d saved auto-imports passed over\n", skipped);
  const VXClientTaskFactoryTable *test = g_testFactory.load();
  for (VXSavedAutoImport &e : entries) {
    HBRef<VXClientTaskReference> source;
    {
      BRLock hold(m_lock);
      bool present = false;
      for (auto &t : m_autoImports) present = present || e.taskId == t->getTaskID();
      if (present) {
        brlog(kTag, BRLOG_WARNING, "    Task[%s] -- already queued, not restored again\n",
              e.taskId.c_str());
        continue;
      }
      auto it = m_sources.find(e.source->getRefID());
      if (it != m_sources.end()) source = it->second;
    }
    if (!source) source = e.source;
    HBRef<VXClientTask> task;
    const int32_t rc =
        test ? test->newAutoImport(task.out(), e.taskId.c_str(), e.taskClass, e.flags, source.get(),
                                   e.destination.get(), this)
             : vxclienttask__newAutoImportTask(task.out(), e.taskId.c_str(), e.taskClass, e.flags,
                                               source.get(), e.destination.get(), this);
    if (rc < 0 || !task) continue;
    task->setTaskState(e.state);
    // More saved tasks than the mailbox holds wait for their first run in the backlog.
    if (queueTask(task.get(), true) == 0) {
      if (e.state == TASK_STATE_PENDING || e.state == TASK_STATE_PREPARING ||
          e.state == TASK_STATE_RUNNING || e.state == TASK_STATE_FINISHED)
        (void)task->setPaused(0);
      else if (e.state == TASK_STATE_CANCELING || e.state == TASK_STATE_CANCELED)
        (void)task->setPaused(1);
    } else {
      task->notifyTask(TASK_NOTIFY_REMOVED);
    }
    restored.push_back(std::move(task));
  }
  if (out) return vxclienttask__newList(out, HBIFC_OBJ, "autoimports", restored, taskObj);
  return BR_OK;
}

int32_t VXClientTaskQueue::findSourceIDByClass(const char *cls, char *buffer, int32_t size,
                                               uint32_t) {
  if (!buffer || size < 1) return BR_EINVAL;
  std::string found;
  std::string text;
  std::vector<VXSavedAutoImport> entries;
  if (cls && readSaved(nullptr, kKeyAutoImports, &text) == 0 &&
      vxclienttaskqueue__parseAutoImports(text.c_str(), &entries, nullptr) > 0) {
    for (auto &e : entries) {
      const char *c = e.source->refClassText();
      if (c && std::strcmp(c, cls) == 0 && e.source->getRefID()[0]) found = e.source->getRefID();
    }
  }
  if (found.empty()) HB_RETURN_IF_FAILED(kTag, vxclienttask__newID(&found));
  if (found.size() >= static_cast<size_t>(size)) return BR_EINVAL;
  std::memcpy(buffer, found.c_str(), found.size() + 1);
  return BR_OK;
}

int32_t vxclienttaskqueue__addDefaultSources(VXClientTaskQueue *queue) {
  if (!queue) return BR_EINVAL;
  static const struct {
    const char *kind;
    const char *cls;
  } kDefaults[] = {{"PICTURES", "photo"}, {"DOCUMENTS", "documents"}};
  int32_t added = 0;
  for (const auto &d : kDefaults) {
    std::string path, name;
    struct stat st;
    if (vxuserdirs__get(d.kind, &path, &name) < 0) continue;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      brlog(kTag, BRLOG_INFO, "No %s folder at '%s'\n", d.cls, path.c_str());
      continue;
    }
    char id[36] = "";
    HBRef<VXClientTaskReference> ref;
    HBRef<IHBURL> url;
    if (queue->findSourceIDByClass(d.cls, id, sizeof id, 0) < 0 ||
        queue->newReference(ref.out(), d.cls, name.c_str(), id, false) < 0 ||
        hburl__fromPath(url.out(), path.c_str()) < 0 || ref->addURI(url.get()) < 0)
      continue;
    if (queue->addUserSource(ref->obj(), VXTASKQ_SAVE) == 0) ++added;
  }
  return added;
}
