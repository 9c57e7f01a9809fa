// The local folder watcher over inotify (see vxfsevent_posix.h).
//
// One inotify descriptor serves every watcher of the process: the system allows a user only a
// few of them (fs.inotify.max_user_instances), and every desktop program takes some. A folder
// watched by two watchers has one watch descriptor, shared: the map from watch descriptors to
// the slots watching them (and each slot's map to its own path of that folder) is guarded by the
// watch lock. The watch lock is never held while the table lock is taken, so the thread may take
// it under the table lock when it frees a slot.
//
// A watched folder that goes (deleted, moved away, its disk unmounted) loses every watch of its
// tree; its slot then watches the nearest folder above it that exists, walks down as the missing
// folders are made, and watches the tree again once the folder is back, reporting it. A disk
// mounted over the folder or one of the folders above it makes no inotify event there, so the
// mount table (/proc/self/mountinfo, which polls POLLPRI on every change) makes every slot look
// again: a folder that is back is watched, one whose folder is no longer the one watched (or
// whose tree gained a mounted disk) is walked again.
#include "vxfsevent_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "brlog.h"
#include "hbstr.h"
#include "vxclienttask.h"

namespace {

constexpr const char *kTag = "VXFSEV";
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                           IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr size_t kReadBuffer = 64 * 1024;

void *handle(int wd) {
  return reinterpret_cast<void *>(static_cast<intptr_t>(wd));
}

std::string uriText(IHBURI *uri) {
  HBRef<IHBStr> s;
  if (!uri || uri->toString(s.out()) < 0 || !s->getText()) return "?";
  return s->getText();
}

// Folders the import walk does not enter are not watched either.
bool skippedName(const char *name) {
  return std::strncmp(name, "..", 2) == 0 || std::strncmp(name, ".vx", 3) == 0;
}

std::atomic<int32_t> g_watchLimit{0};

struct Slot;

struct Shared {
  BRMutex watchLock;
  int fd = -1;
  std::unordered_map<int, std::vector<Slot *>> owners;  // watch descriptor -> slots
  std::set<Slot *> slots;                               // every slot made and not yet freed
};

Shared &shared() {
  static Shared *s = new Shared;  // lives on with the thread
  return *s;
}

VXWatchTable &table() {
  static VXWatchTable *t = new VXWatchTable("FSEVENT", VXFSEVENT_QUIET_MS, VXFSEVENT_MAX_DELAY_MS);
  return *t;
}

struct Slot final : VXWatchSlot {
  std::string root;
  int rootWd = -1;
  // While the watched folder is there and watched; read without a lock by isAvailable().
  std::atomic<bool> available{false};
  // Under the watch lock: what the watched folder was when it was watched (a disk mounted over
  // it, or over a folder above it, makes the path name another one), and while it is gone, the
  // watch on the nearest folder above it that exists.
  dev_t rootDev = 0;
  ino_t rootIno = 0;
  int parentWd = -1;
  std::string parentPath;
  // The program's own data folder (log, file maps): watching it would make every run, which
  // writes there, set off the next one when a source holds it.
  std::string own;
  // Under the watch lock.
  std::unordered_map<int, std::string> paths;
  // Under the table lock.
  VXFSEventer *owner = nullptr;  // null once the watcher is gone
  std::vector<std::string> unwatched;
  // Taken when due (table lock), used by the thread.
  HBRef<IHBURI> dueURI;
  std::vector<HBRef<IVXFSEventSink>> dueSinks;

  ~Slot() override;
  void takeDue() override {
    if (!owner) return;
    dueURI = HBRef<IHBURI>::retain(owner->watchedURI());
    dueSinks = owner->sinks();
  }
  bool deliverDue() override;
  void logRemoved() override {
    if (index < 0) return;  // never in the table (the sixty-fifth)
    brlog(kTag, BRLOG_INFO, "Removed FS listener: '?': %p\n", handle(rootWd));
  }
};

// Drops `slot` from the owners of `wd`; the last owner removes the watch. Watch lock held.
void disown(Slot *slot, int wd) {
  Shared &sh = shared();
  auto it = sh.owners.find(wd);
  if (it == sh.owners.end()) return;
  auto &v = it->second;
  v.erase(std::remove(v.begin(), v.end(), slot), v.end());
  if (!v.empty()) return;
  inotify_rm_watch(sh.fd, wd);
  sh.owners.erase(it);
}

Slot::~Slot() {
  Shared &sh = shared();
  BRLock hold(sh.watchLock);
  for (const auto &p : paths) disown(this, p.first);
  if (parentWd >= 0) disown(this, parentWd);
  sh.slots.erase(this);
}

// Adds the watches of the tree at `path` to `slot` (watch lock held). Folders that cannot be
// watched go to *failed; the first failure's error is kept in *err.
void watchTree(Slot *slot, const std::string &path, std::vector<std::string> *failed, int *err) {
  Shared &sh = shared();
  std::vector<std::string> todo{path};
  while (!todo.empty()) {
    std::string dir = std::move(todo.back());
    todo.pop_back();
    if (dir == slot->own) continue;
    const int32_t limit = g_watchLimit.load();
    int wd = -1;
    if (limit > 0 && static_cast<int32_t>(slot->paths.size()) >= limit)
      errno = ENOSPC;
    else
      wd = inotify_add_watch(sh.fd, dir.c_str(), kMask);
    if (wd < 0) {
      // A folder removed meanwhile, or a file, is nothing to watch.
      if (errno == ENOENT || errno == ENOTDIR) continue;
      failed->push_back(dir);
      if (!*err) *err = errno;
      continue;
    }
    auto it = slot->paths.find(wd);
    if (it != slot->paths.end() && it->second != dir) continue;  // a second link: a loop
    if (it == slot->paths.end()) {
      slot->paths.emplace(wd, dir);
      sh.owners[wd].push_back(slot);
    }
    DIR *d = opendir(dir.c_str());
    if (!d) continue;
    while (struct dirent *e = readdir(d)) {
      const char *n = e->d_name;
      if (!std::strcmp(n, ".") || !std::strcmp(n, "..") || skippedName(n)) continue;
      bool isDir = e->d_type == DT_DIR;
      if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
        struct stat st;
        isDir = fstatat(dirfd(d), n, &st, 0) == 0 && S_ISDIR(st.st_mode);
      }
      if (isDir) todo.push_back(dir + "/" + n);
    }
    closedir(d);
  }
}

// Drops the watches of `slot` on the tree at `path` (moved away). Watch lock held.
void unwatchTree(Slot *slot, const std::string &path) {
  const std::string prefix = path + "/";
  for (auto it = slot->paths.begin(); it != slot->paths.end();) {
    if (it->first != slot->rootWd &&
        (it->second == path || it->second.compare(0, prefix.size(), prefix) == 0)) {
      disown(slot, it->first);
      it = slot->paths.erase(it);
    } else {
      ++it;
    }
  }
}

void logUnwatched(const Slot *slot, const std::vector<std::string> &failed, int err) {
  if (failed.empty()) return;
  if (err == ENOSPC)
    brlog(kTag, BRLOG_ERROR,
          "Out of folder watches (fs.inotify.max_user_watches): %d folders below '%s' are not "
          "watched, first '%s'\n",
          (int)failed.size(), slot->root.c_str(), failed.front().c_str());
  else
    brlog(kTag, BRLOG_ERROR, "Cannot watch %d folders below '%s', first '%s': %d\n",
          (int)failed.size(), slot->root.c_str(), failed.front().c_str(), err);
}

// Records folders that could not be watched (table lock, so never with the watch lock).
void addUnwatched(Slot *slot, const std::vector<std::string> &failed) {
  if (failed.empty()) return;
  BRLock hold(table().lock());
  for (const auto &f : failed)
    if (std::find(slot->unwatched.begin(), slot->unwatched.end(), f) == slot->unwatched.end())
      slot->unwatched.push_back(f);
}

struct Failures {
  std::vector<std::string> folders;
  int err = 0;
};

// ---- Watched folders that go and come back (all under the watch lock) ----

// Drops every watch of the tree of `slot` (its folder is gone, or is no longer the one watched).
void dropTree(Slot *slot) {
  for (const auto &p : slot->paths) disown(slot, p.first);
  slot->paths.clear();
  slot->rootWd = -1;
  slot->available = false;
}

void dropParent(Slot *slot) {
  if (slot->parentWd >= 0) disown(slot, slot->parentWd);
  slot->parentWd = -1;
  slot->parentPath.clear();
}

// Watches the folder of `slot` that `st` describes with the root watch `wd`, and its tree.
void armRoot(Slot *slot, int wd, const struct stat &st, Failures *f) {
  Shared &sh = shared();
  slot->rootWd = wd;
  if (!slot->paths.count(wd)) {
    slot->paths.emplace(wd, slot->root);
    sh.owners[wd].push_back(slot);
  }
  slot->rootDev = st.st_dev;
  slot->rootIno = st.st_ino;
  if (S_ISDIR(st.st_mode)) watchTree(slot, slot->root, &f->folders, &f->err);
  slot->available = true;
}

// The nearest folder above `path` that exists ("/" at the latest).
std::string existingParent(const std::string &path) {
  std::string dir = path;
  for (;;) {
    const size_t cut = dir.rfind('/');
    if (cut == std::string::npos || cut == 0) return "/";
    dir.resize(cut);
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return dir;
  }
}

// The name in the parent folder watched for `slot` that leads towards its folder.
std::string nextName(const Slot *slot) {
  const size_t from = slot->parentPath == "/" ? 1 : slot->parentPath.size() + 1;
  if (slot->root.size() <= from) return "";
  const size_t end = slot->root.find('/', from);
  return slot->root.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// True while the path of `slot` still names the folder it watches.
bool rootStillThere(const Slot *slot) {
  struct stat st;
  return stat(slot->root.c_str(), &st) == 0 && st.st_dev == slot->rootDev &&
         st.st_ino == slot->rootIno;
}

// Watches the folder of a slot whose folder is gone, if it is back; otherwise watches the
// nearest folder above it that exists. True when the folder is watched again.
bool resolve(Slot *slot, Failures *f) {
  Shared &sh = shared();
  // A folder made between looking and watching makes no event: look again after each watch.
  for (int round = 0; round < 64; ++round) {
    struct stat st;
    bool unwatchable = false;
    if (stat(slot->root.c_str(), &st) == 0) {
      const int wd = inotify_add_watch(sh.fd, slot->root.c_str(), kMask & ~IN_ONLYDIR);
      if (wd >= 0) {
        dropParent(slot);
        armRoot(slot, wd, st, f);
        return true;
      }
      unwatchable = errno != ENOENT && errno != ENOTDIR;
      if (unwatchable)
        brlog(kTag, BRLOG_ERROR, "Failed to add FS listener: '%s': %d\n", slot->root.c_str(),
              errno);
    }
    const std::string dir = existingParent(slot->root);
    const int wd = inotify_add_watch(sh.fd, dir.c_str(), kMask);
    if (wd < 0) {
      // Only the mount table tells of this one now.
      dropParent(slot);
      slot->parentPath = dir;
      return false;
    }
    if (wd != slot->parentWd) {
      dropParent(slot);
      slot->parentWd = wd;
      sh.owners[wd].push_back(slot);
    }
    slot->parentPath = dir;
    if (unwatchable) return false;
    if (existingParent(slot->root) == dir && stat(slot->root.c_str(), &st) != 0) return false;
  }
  return false;
}

// What a look at the watches found, acted on after the watch lock.
struct Outcome {
  std::set<Slot *> changed;
  std::set<Slot *> gone;     // their folders were dropped: so are their unwatched folders
  std::set<Slot *> waiting;  // folders that are gone, to look for again
  std::unordered_map<Slot *, Failures> failures;

  // Drops the trees of the slots whose folders went and looks for the ones that are gone.
  // Watch lock held.
  void settle() {
    for (Slot *s : gone) {
      if (!s->available) continue;
      brlog(kTag, BRLOG_WARNING, "Watched folder is gone: '%s'\n", s->root.c_str());
      dropTree(s);
      waiting.insert(s);
      // So that a run tells that it cannot be read, however the folder went.
      changed.insert(s);
    }
    for (Slot *s : waiting) {
      if (s->available) continue;
      if (!resolve(s, &failures[s])) continue;
      brlog(kTag, BRLOG_INFO, "Watched folder is back: '%s'\n", s->root.c_str());
      changed.insert(s);
    }
  }
  // After the watch lock: records what could not be watched and marks the changes.
  void finish();
};

void Outcome::finish() {
  if (!gone.empty()) {
    BRLock hold(table().lock());
    for (Slot *s : gone) s->unwatched.clear();
  }
  for (auto &f : failures) {
    logUnwatched(f.first, f.second.folders, f.second.err);
    addUnwatched(f.first, f.second.folders);
  }
  for (Slot *s : changed) table().touch(s);
}

// The thread's reader of the shared descriptor.
void readShared() {
  alignas(struct inotify_event) static char buf[kReadBuffer];  // only the thread reads
  Shared &sh = shared();
  Outcome o;
  std::set<Slot *> rescan;
  {
    BRLock hold(sh.watchLock);
    for (;;) {
      const ssize_t n = read(sh.fd, buf, kReadBuffer);
      if (n <= 0) break;
      for (char *p = buf; p < buf + n;) {
        const auto *ev = reinterpret_cast<const struct inotify_event *>(p);
        p += sizeof(struct inotify_event) + ev->len;
        if (ev->mask & IN_Q_OVERFLOW) {
          brlog(kTag, BRLOG_WARNING,
                "Too many changes at once: walking every watched tree again\n");
          o.changed.insert(sh.slots.begin(), sh.slots.end());
          rescan.insert(sh.slots.begin(), sh.slots.end());
          continue;
        }
        auto it = sh.owners.find(ev->wd);
        if (it == sh.owners.end()) continue;
        const std::vector<Slot *> owners = it->second;
        for (Slot *s : owners) {
          if (ev->wd == s->parentWd && !s->paths.count(ev->wd)) {
            // The folder above one that is gone: only the way down to it counts.
            if (ev->mask & IN_IGNORED) s->parentWd = -1;
            if ((ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) ||
                ((ev->mask & (IN_CREATE | IN_MOVED_TO)) && ev->len && nextName(s) == ev->name))
              o.waiting.insert(s);
            continue;
          }
          if (ev->mask & IN_IGNORED) {
            if (ev->wd == s->rootWd) o.gone.insert(s);
            s->paths.erase(ev->wd);
            continue;
          }
          // Moved away, the folder is no longer at the path that is backed up.
          if (ev->wd == s->rootWd && (ev->mask & IN_MOVE_SELF)) o.gone.insert(s);
          o.changed.insert(s);
          if (!(ev->mask & IN_ISDIR) || !ev->len || skippedName(ev->name)) continue;
          auto pit = s->paths.find(ev->wd);
          if (pit == s->paths.end()) continue;
          const std::string child = pit->second + "/" + ev->name;
          if (ev->mask & IN_MOVED_FROM) unwatchTree(s, child);
          Failures &f = o.failures[s];
          if (ev->mask & (IN_CREATE | IN_MOVED_TO)) watchTree(s, child, &f.folders, &f.err);
        }
        if (ev->mask & IN_IGNORED) sh.owners.erase(ev->wd);
      }
    }
    // Folders made (or watched folders gone) while the queue was lost were never announced.
    for (Slot *s : rescan) {
      if (!s->available) {
        o.waiting.insert(s);
      } else if (!rootStillThere(s)) {
        o.gone.insert(s);
      } else {
        Failures &f = o.failures[s];
        watchTree(s, s->root, &f.folders, &f.err);
      }
    }
    o.settle();
  }
  o.finish();
}

// The thread's reader of the mount table: a disk came or went somewhere.
void readMounts() {
  Shared &sh = shared();
  Outcome o;
  {
    BRLock hold(sh.watchLock);
    for (Slot *s : sh.slots) {
      if (!s->available) {
        o.waiting.insert(s);
      } else if (!rootStillThere(s)) {
        o.gone.insert(s);
      } else {
        // A disk mounted inside the tree: its folders are new.
        const size_t before = s->paths.size();
        Failures &f = o.failures[s];
        watchTree(s, s->root, &f.folders, &f.err);
        if (s->paths.size() > before) o.changed.insert(s);
      }
    }
    o.settle();
  }
  o.finish();
}

bool Slot::deliverDue() {
  HBRef<IHBURI> uri = std::move(dueURI);
  std::vector<HBRef<IVXFSEventSink>> sinks = std::move(dueSinks);
  bool again = false;
  HBRef<VXFSEvent> event;
  if (uri && VXFSEvent::create(VXFSEVENT_TYPE_FOLDER, uri.get(), 1, event) == 0) {
    const std::string text = uriText(uri.get());
    brlog(kTag, BRLOG_INFO, "Notify FS Event Sinks: '%s'\n", text.c_str());
    // A receiver busy with a run would otherwise miss a change made behind its walk.
    if (VXFSEventer::deliver(sinks, event.get()) == BR_EINPROGRESS) {
      brlog(kTag, BRLOG_INFO,
            "Sink wasn't ready for events of '%s', keeping them for another %dms...\n",
            text.c_str(), VXFSEVENT_QUIET_MS);
      again = true;
    }
  }
  // A folder above the watched one renamed or replaced says nothing to the watches below it.
  {
    Outcome o;
    {
      BRLock hold(shared().watchLock);
      if (available && !rootStillThere(this)) o.gone.insert(this);
      o.settle();
    }
    o.finish();
  }
  // Folders the system refused earlier may have room now.
  std::vector<std::string> todo;
  {
    BRLock hold(table().lock());
    todo.swap(unwatched);
  }
  if (todo.empty()) return again;
  Failures f;
  {
    BRLock hold(shared().watchLock);
    if (available)
      for (const auto &dir : todo) watchTree(this, dir, &f.folders, &f.err);
  }
  if (f.folders.size() < todo.size())
    brlog(kTag, BRLOG_INFO, "Watching %d more folders below '%s'\n",
          (int)(todo.size() - f.folders.size()), root.c_str());
  addUnwatched(this, f.folders);
  return again;
}

int32_t startShared() {
  static BRMutex startLock;
  static bool started = false;
  BRLock once(startLock);
  if (started) return BR_OK;
  Shared &sh = shared();
  {
    BRLock hold(sh.watchLock);
    if (sh.fd < 0) sh.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (sh.fd < 0) return BR_EUNSPEC;
  }
  // Before the thread starts, which then reads them without the lock.
  static bool added = false;
  if (!added) {
    table().addShared(sh.fd, POLLIN, readShared);
    const int mounts = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mounts >= 0)
      table().addShared(mounts, POLLPRI, readMounts);
    else
      brlog(kTag, BRLOG_WARNING, "No mount table (%d): disks plugged in again go unnoticed\n",
            errno);
    added = true;
  }
  started = table().start() == 0;
  return started ? BR_OK : BR_EUNSPEC;
}

class VXFSEventerPosix final : public VXFSEventer {
 public:
  VXFSEventerPosix(IHBURI *uri, Slot *slot) : VXFSEventer(uri), m_slot(slot), m_root(slot->root) {}

  int32_t unwatchedFolders(std::vector<std::string> *out) override {
    BRLock hold(table().lock());
    const std::vector<std::string> none;
    const auto &list = m_slot ? m_slot->unwatched : none;
    if (out) *out = list;
    return static_cast<int32_t>(list.size());
  }

  int32_t isAvailable() override {
    if (m_slot) return m_slot->available ? 1 : 0;
    // The sixty-fifth is silent whether its folder is there or not.
    struct stat st;
    return stat(m_root.c_str(), &st) == 0 ? 1 : 0;
  }

  // Enters the slot into the table; false when the table is full (the watcher then forgets
  // the slot and stays silent).
  bool enter() {
    {
      BRLock hold(table().lock());
      m_slot->owner = this;
    }
    if (table().enter(m_slot) >= 0) return true;
    m_slot->owner = nullptr;
    m_slot = nullptr;
    return false;
  }

 private:
  ~VXFSEventerPosix() override {
    if (!m_slot) return;
    int wd;
    {
      BRLock hold(shared().watchLock);  // the thread moves it when the folder goes and comes
      wd = m_slot->rootWd;
    }
    brlog(kTag, BRLOG_INFO, "Removing FS listener: '%s': %p ...\n", m_slot->root.c_str(),
          handle(wd));
    {
      BRLock hold(table().lock());
      m_slot->owner = nullptr;
    }
    table().leave(m_slot);
  }

  Slot *m_slot;
  const std::string m_root;
};

}  // namespace

int32_t vxfsevent__newPosixWatcher(IVXFSEventer **out, IHBURL *url) {
  if (!out || !url) return BR_EINVAL;
  *out = nullptr;
  const char *path = url->getPath();
  if (std::strcmp(url->getScheme(), "file") != 0 || !path || !*path) return BR_EINVAL;
  if (startShared() < 0) {
    brlog(kTag, BRLOG_ERROR, "Failed to add FS listener: '%s': %d\n", path, errno);
    return BR_EUNSPEC;
  }
  HBRef<IHBURI> uri;
  if (hb_query<IHBURI>(url, uri) < 0) return BR_EUNSPEC;

  Shared &sh = shared();
  auto slot = std::make_unique<Slot>();
  slot->root = path;
  while (slot->root.size() > 1 && slot->root.back() == '/') slot->root.pop_back();
  slot->own = vxclienttask__dataFolder();
  Failures f;
  int rootWd = -1;
  {
    BRLock hold(sh.watchLock);
    struct stat st;
    if (stat(slot->root.c_str(), &st) == 0) {
      const int wd = inotify_add_watch(sh.fd, slot->root.c_str(), kMask & ~IN_ONLYDIR);
      if (wd < 0) {
        brlog(kTag, BRLOG_ERROR, "Failed to add FS listener: '%s': %d\n", path, errno);
        return BR_EUNSPEC;
      }
      sh.slots.insert(slot.get());
      armRoot(slot.get(), wd, st, &f);
      brlog(kTag, BRLOG_INFO, "New FS listener: '%s': %p\n", path, handle(wd));
    } else {
      // A disk not plugged in yet, a folder still to be made: watched once it is there.
      sh.slots.insert(slot.get());
      brlog(kTag, BRLOG_WARNING, "Watched folder is not there, waiting for it: '%s'\n", path);
      (void)resolve(slot.get(), &f);
    }
    rootWd = slot->rootWd;
  }
  logUnwatched(slot.get(), f.folders, f.err);
  // The thread may be looking at the slot already.
  addUnwatched(slot.get(), f.folders);

  HBRef<VXFSEventerPosix> w =
      HBRef<VXFSEventerPosix>::adopt(new VXFSEventerPosix(uri.get(), slot.get()));
  if (w->enter()) {
    slot.release();  // the table's now
  } else {
    // The watcher stays, silent; its watches go with the slot, which the thread frees (it may
    // be looking at it).
    brlog(kTag, BRLOG_ERROR, "No room for FS listener: '%s': %p\n", uriText(uri.get()).c_str(),
          handle(rootWd));
    table().leave(slot.release());
  }
  *out = w.detach();
  return BR_OK;
}

int32_t vxfsevent__slotsInUseForTest() {
  return table().slotsInUse();
}

bool vxfsevent__waitPassesForTest(int32_t passes) {
  return table().waitPasses(passes);
}

void vxfsevent__setQuietMsForTest(int64_t ms) {
  table().setQuietForTest(ms);
}

void vxfsevent__setMaxDelayMsForTest(int64_t ms) {
  table().setMaxDelayForTest(ms);
}

void vxfsevent__setWatchLimitForTest(int32_t limit) {
  g_watchLimit.store(limit);
}
