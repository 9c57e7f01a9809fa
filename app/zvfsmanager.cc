// The drive mount manager: the drive settings, the session token, which drives are mounted on
// which letters, and the drive helper processes that mount them.
#include "zvfsmanager.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "appplatform.h"
#include "brlog.h"
#include "brthread.h"
#include "hbproperties.h"
#include "zvfsmanager_int.h"

namespace {

constexpr const char *kTag = "ZVFSMGR";
constexpr const char *kSpawnTag = "ZVFS";
constexpr int kSlots = 64;
constexpr int kSlotSingle = 0;
constexpr int kSlotShares = 1;
constexpr int kFirstDriveSlot = 2;
constexpr size_t kIdMax = 255;
// The helper's command line as logged, in characters.
constexpr size_t kCommandMax = 2048;
constexpr int kMountWaitMs = 500;
constexpr int kUnmountTests = 25;
constexpr int kUnmountPauseMs = 200;
// Beyond those: while the helper lives, 11 minutes (it waits up to 10 for files being written).
constexpr int kFinishTests = 11 * 60 * 1000 / kUnmountPauseMs;

struct Slot {
  int64_t pid = 0;  // 0: free
  char letter = 0;
  std::string device, service;
};

bool onlineTrue(const std::string &v) {
  return !v.empty() && strchr("1TYty", v[0]) != nullptr;
}

// An argument as the logged command line shows it: in double quotes.
std::string quoted(const std::string &s) {
  return "\"" + s + "\"";
}

// The manager's state and its rules; the manager runs its mounting and unmounting on its own
// thread, so this is shared with that thread.
class Engine {
 public:
  Engine(std::unique_ptr<ZVFSSystem> system, HBProperties *settings) : m_sys(std::move(system)) {
    if (settings) {
      m_settings = HBRef<HBProperties>::retain(settings);
    } else if (hbproperties__open(HBPROPERTIES_KEY_TESSELUTILFS, HBPROPERTIES_CREATE,
                                  m_settings.out()) < 0) {
      appplatform__messageBox("Failed to read registry entries!", "Failed to working!", true);
      (void)hbproperties__getDefault(m_settings.out());
    }
  }

  bool hasSettings() { return static_cast<bool>(m_settings); }

  // Keeps the token; false when it is the one held already.
  bool setToken(const char *token) {
    std::lock_guard<std::mutex> lock(m_tokenLock);
    const std::string next = token ? token : "";
    if (m_hasToken && token && next == m_token) return false;
    m_token = next;
    m_hasToken = token != nullptr;
    return true;
  }

  bool hasToken() {
    std::string token;
    return currentToken(&token);
  }

  bool driveOn() { return boolSetting(ZVFS_SETTING_SHOWDRIVE, true); }
  bool multiDrive() { return boolSetting(ZVFS_SETTING_MULTIDRIVE, true); }
  bool sharedFiles() { return boolSetting(ZVFS_SETTING_SHARED, false); }

  char driveLetter() {
    std::string value;
    if (!m_settings || hbproperties__getString(m_settings.get(), ZVFS_SETTING_LETTER, &value) < 0 ||
        value.empty())
      return 'H';
    return value[0];
  }

  void writeSetting(const char *name, const char *value) {
    if (m_settings) (void)m_settings->setProperty(name, value);
  }

  int32_t mountAll() {
    std::string token;
    if (!currentToken(&token)) return BR_ENOTAUTH;
    std::lock_guard<std::mutex> lock(m_mountLock);
    if (!multiDrive()) {
      unmountSlotLocked(kSlotSingle);
      (void)mountSlotLocked(nullptr, kSlotSingle, false);
      return BR_OK;
    }
    if (sharedFiles()) {
      unmountSlotLocked(kSlotShares);
      (void)mountSlotLocked(nullptr, kSlotShares, true);
    }
    std::vector<ZVServiceInfo> services;
    const int32_t rc = m_sys->listServices(token, &services);
    if (rc < 0) {
      brlog(kTag, BRLOG_WARNING, "ZVFS: listServices failed: %d\n", rc);
      return BR_OK;
    }
    for (const ZVServiceInfo *s : wantedDrives(services)) {
      const int slot = freeDriveSlot();
      if (slot < 0) {
        brlog(kTag, BRLOG_WARNING, "ZVFS: no free slot for [%s][%s]\n", s->device.c_str(),
              s->service.c_str());
        continue;
      }
      m_slots[slot] = Slot();
      (void)mountSlotLocked(s, slot, false);
    }
    return BR_OK;
  }

  // The drives of a listing to mount: online "yto:plugfs" services, consecutive services of one
  // device being one drive.
  static std::vector<const ZVServiceInfo *> wantedDrives(
      const std::vector<ZVServiceInfo> &services) {
    std::vector<const ZVServiceInfo *> wanted;
    const ZVServiceInfo *previous = nullptr;
    for (const ZVServiceInfo &s : services) {
      const bool sameDevice = previous && previous->device == s.device;
      previous = &s;
      if (sameDevice) continue;
      if (s.type.compare(0, 10, "yto:plugfs") != 0 || !onlineTrue(s.online)) continue;
      wanted.push_back(&s);
    }
    return wanted;
  }

  int freeDriveSlot() const {
    for (int i = kFirstDriveSlot; i < kSlots; ++i)
      if (m_slots[i].pid == 0) return i;
    return -1;
  }

  void unmountAll() {
    std::lock_guard<std::mutex> lock(m_mountLock);
    for (int i = 0; i < kSlots; ++i) unmountSlotLocked(i);
  }

  // Brings the helpers to what the token and the settings want, touching only what differs: a
  // drive a live helper has mounted stays mounted. Ending a helper ends every copy into its
  // drive, so nothing is unmounted only to be mounted again.
  void sync() {
    syncLocked();
    brlog(kTag, BRLOG_INFO, "ZVFS: drives in step, %d helper(s)\n", m_helpers.load());
  }

  void syncLocked() {
    std::string token;
    const bool on = currentToken(&token) && driveOn();
    std::lock_guard<std::mutex> lock(m_mountLock);
    for (int i = 0; i < kSlots; ++i)
      if (!on || (m_slots[i].pid && !m_sys->alive(m_slots[i].pid))) unmountSlotLocked(i);
    if (!on) return;
    if (!multiDrive()) {
      for (int i = kSlotSingle + 1; i < kSlots; ++i) unmountSlotLocked(i);
      if (!m_slots[kSlotSingle].pid) (void)mountSlotLocked(nullptr, kSlotSingle, false);
      return;
    }
    unmountSlotLocked(kSlotSingle);
    if (!sharedFiles())
      unmountSlotLocked(kSlotShares);
    else if (!m_slots[kSlotShares].pid)
      (void)mountSlotLocked(nullptr, kSlotShares, true);
    std::vector<ZVServiceInfo> services;
    const int32_t rc = m_sys->listServices(token, &services);
    if (rc < 0) {
      // What is mounted stays: a failed listing says nothing about the drives.
      brlog(kTag, BRLOG_WARNING, "ZVFS: listServices failed: %d\n", rc);
      return;
    }
    const std::vector<const ZVServiceInfo *> wanted = wantedDrives(services);
    for (int i = kFirstDriveSlot; i < kSlots; ++i) {
      if (!m_slots[i].pid) continue;
      bool keep = false;
      for (const ZVServiceInfo *s : wanted)
        keep = keep || (s->device == m_slots[i].device && s->service == m_slots[i].service);
      if (!keep) unmountSlotLocked(i);
    }
    for (const ZVServiceInfo *s : wanted) {
      if (inMounted(s->device, s->service)) continue;
      const int slot = freeDriveSlot();
      if (slot < 0) {
        brlog(kTag, BRLOG_WARNING, "ZVFS: no free slot for [%s][%s]\n", s->device.c_str(),
              s->service.c_str());
        continue;
      }
      (void)mountSlotLocked(s, slot, false);
    }
  }

  void openDrive() {
    if (!driveOn() || multiDrive()) return;
    char letter;
    {
      std::lock_guard<std::mutex> lock(m_mountLock);
      letter = m_slots[kSlotSingle].letter;
    }
    if (letter && m_sys->rootState(letter) == ZVRootState::Mounted) (void)m_sys->openFolder(letter);
  }

  int32_t listDrives(std::vector<ZVDriveRecord> *out) {
    out->clear();
    std::string token;
    if (!currentToken(&token)) return BR_OK;
    std::vector<ZVServiceInfo> services;
    const int32_t rc = m_sys->listServices(token, &services);
    if (rc < 0) return rc;
    for (const ZVServiceInfo &s : services) {
      // The first service of each device stands for it.
      bool seen = false;
      for (const ZVDriveRecord &d : *out) seen = seen || d.device == s.device;
      if (!seen) out->push_back({s.device, s.service, s.name});
    }
    return BR_OK;
  }

  int32_t mountSlot(const ZVServiceInfo *service, int slot, bool shares) {
    if (slot < 0 || slot >= kSlots) return BR_EINVAL;
    std::lock_guard<std::mutex> lock(m_mountLock);
    return mountSlotLocked(service, slot, shares);
  }

  void inspect(std::vector<ZVFSSlotView> *slots, std::vector<ZVDriveRecord> *mounted) {
    std::lock_guard<std::mutex> lock(m_mountLock);
    slots->clear();
    for (int i = 0; i < kSlots; ++i)
      if (m_slots[i].pid)
        slots->push_back(
            {i, m_slots[i].pid, m_slots[i].letter, m_slots[i].device, m_slots[i].service});
    *mounted = m_mounted;
  }

  int helpers() const { return m_helpers.load(); }

  ~Engine() {
    // Helpers still running are told to quit when their standard input closes.
    for (Slot &s : m_slots)
      if (s.pid) m_sys->release(s.pid);
  }

 private:
  bool boolSetting(const char *name, bool defaultValue) {
    return m_settings ? hbproperties__getBool(m_settings.get(), name, defaultValue) : defaultValue;
  }

  bool currentToken(std::string *out) {
    std::lock_guard<std::mutex> lock(m_tokenLock);
    *out = m_token;
    return m_hasToken;
  }

  // A letter is free when no drive is mounted there and no live helper of ours holds it. A
  // dead mount point of none of our helpers is cleared so that the letter can be used again.
  bool letterFree(char letter) {
    for (const Slot &s : m_slots)
      if (s.pid && s.letter == letter && m_sys->alive(s.pid)) return false;
    switch (m_sys->rootState(letter)) {
      case ZVRootState::Free:
        return true;
      case ZVRootState::Mounted:
        return false;
      case ZVRootState::Dead:
        brlog(kTag, BRLOG_WARNING, "ZVFS: clearing the dead mount point of %c\n", letter);
        m_sys->clearDeadMount(letter);
        return m_sys->rootState(letter) == ZVRootState::Free;
    }
    return false;
  }

  // From the configured letter up to "Z", then from "E" on; the search ends once every letter
  // from "E" to "Z" and the configured one were tried. 0 when none is free.
  char chooseLetter() {
    char first = static_cast<char>(toupper(static_cast<unsigned char>(driveLetter())));
    if (first < 'A' || first > 'Z') first = 'H';
    for (char c = first;;) {
      if (letterFree(c)) return c;
      if (c == 'Z') {
        if (first < 'E') return 0;
        c = 'E';
      } else {
        ++c;
      }
      if (c == first) return 0;
    }
  }

  bool inMounted(const std::string &device, const std::string &service) {
    for (const ZVDriveRecord &r : m_mounted)
      if (r.device == device && r.service == service) return true;
    return false;
  }

  void forget(const std::string &device, const std::string &service) {
    for (auto it = m_mounted.begin(); it != m_mounted.end(); ++it)
      if (it->device == device && it->service == service) {
        m_mounted.erase(it);
        return;
      }
  }

  int32_t mountSlotLocked(const ZVServiceInfo *info, int slot, bool shares) {
    std::string token;
    if (!currentToken(&token)) return BR_ENOTAUTH;
    const std::string name = info ? info->name : "", device = info ? info->device : "",
                      service = info ? info->service : "";
    if (device.size() > kIdMax || service.size() > kIdMax) {
      brlog(kTag, BRLOG_WARNING, "ZVFS: identifiers of [%.64s] too long, not mounted\n",
            device.c_str());
      return BR_EINVAL;
    }
    const char letter = chooseLetter();
    if (!device.empty() && inMounted(device, service)) return BR_EFAULT;
    if (!letter) {
      brlog(kTag, BRLOG_WARNING, "ZVFS: no free drive letter for [%s][%s]\n", device.c_str(),
            service.c_str());
      return BR_OK;
    }
    brlog(kTag, BRLOG_INFO, "ZVFS: GOING TO MOUNT [%s][%s] ON %c:\n", device.c_str(),
          service.c_str(), letter);

    // The token goes to the helper's standard input: a command line is visible to every user.
    const char letterText[2] = {letter, 0};
    std::vector<std::string> argv = {m_sys->helperPath()};
    std::string shown = ZVFS_HELPER_PROGRAM;
    auto add = [&](const char *option, const std::string *value, bool quote) {
      argv.push_back(option);
      shown += std::string(" ") + option;
      if (!value) return;
      argv.push_back(*value);
      shown += " " + (quote ? quoted(*value) : *value);
    };
    if (brlog__getLevel() >= BRLOG_DEBUG) add("-d", nullptr, false);
    const std::string letterArg = letterText, stdinToken = "-";
    add("-l", &letterArg, false);
    add("--valtoken", &stdinToken, false);
    if (shares) add("--justshares", nullptr, false);
    if (!name.empty()) add("--volname", &name, true);
    if (!device.empty()) add("--device", &device, true);
    if (!service.empty()) add("--service", &service, true);
    if (shown.size() > kCommandMax) {
      brlog(kSpawnTag, BRLOG_ERROR, "ZVFS: command line too long, not mounted\n");
      return BR_ERANGE;
    }

    brlog(kSpawnTag, BRLOG_INFO, "ZVFS: SPAWNING '%s'\n", shown.c_str());
    int64_t pid = 0;
    const int32_t err = m_sys->spawn(argv, token, &pid);
    if (err != 0) {
      brlog(kSpawnTag, BRLOG_ERROR, "ZVFS: FAILED TO SPAWN '%s': %d\n", shown.c_str(), err);
      return BR_OK;
    }
    if (!device.empty()) m_mounted.push_back({device, service, name.substr(0, kIdMax)});
    brlog(kSpawnTag, BRLOG_INFO, "ZVFS: NEW PID=%lu\n", static_cast<unsigned long>(pid));
    m_slots[slot].pid = pid;
    ++m_helpers;
    m_sys->sleepMs(kMountWaitMs);
    m_slots[slot].letter = letter;
    m_slots[slot].device = device;
    m_slots[slot].service = service;
    return BR_OK;
  }

  void unmountSlotLocked(int index) {
    Slot &slot = m_slots[index];
    if (slot.pid) {
      brlog(kTag, BRLOG_INFO, "ZVFS: LOOKING FOR PID: %d\n", static_cast<int>(slot.pid));
      if (m_sys->sendQuit(slot.pid) == 0) {
        brlog(kTag, BRLOG_INFO, "ZVFS: TELLING PID %d TO QUIT FOR MOUNT @ %c:\n",
              static_cast<int>(slot.pid), slot.letter ? slot.letter : '?');
        bool gone = false;
        for (int test = 0; test < kUnmountTests && !gone; ++test) {
          if (test > 0) m_sys->sleepMs(kUnmountPauseMs);
          gone = !slot.letter || m_sys->rootState(slot.letter) != ZVRootState::Mounted;
        }
        // A helper that was told still runs: it is finishing the files being copied into its
        // drive (or a call of the service holds it). It is waited for while it lives, so that
        // its letter is free again for the next mount of the drive.
        if (!gone && m_sys->alive(slot.pid)) {
          brlog(kTag, BRLOG_INFO, "ZVFS: PID %d is still finishing @ %c, waiting for it\n",
                static_cast<int>(slot.pid), slot.letter);
          for (int test = 0; test < kFinishTests && !gone && m_sys->alive(slot.pid); ++test) {
            m_sys->sleepMs(kUnmountPauseMs);
            gone = m_sys->rootState(slot.letter) != ZVRootState::Mounted;
          }
        }
        if (!gone)
          brlog(kTag, BRLOG_ERROR, "ZVFS: FAILED TO UNMOUNT @ %c\n",
                slot.letter ? slot.letter : '?');
      }
      // Also when the helper is gone: its drive must be mountable again.
      forget(slot.device, slot.service);
      m_sys->release(slot.pid);
    }
    if (slot.pid) --m_helpers;
    slot = Slot();
  }

  std::unique_ptr<ZVFSSystem> m_sys;
  HBRef<HBProperties> m_settings;
  std::mutex m_tokenLock;
  std::string m_token;
  bool m_hasToken = false;
  std::mutex m_mountLock;  // the slots and the mounted list
  Slot m_slots[kSlots];
  std::vector<ZVDriveRecord> m_mounted;
  std::atomic<int> m_helpers{0};  // slots with a helper, read without the lock
};

// The manager the program calls. Settings and the token change at once; mounting and unmounting
// (service calls, waits for the helpers) run in order on the manager's thread "ZVFSMGR", so that
// the windows never wait for them. Without a thread (tests) they run on the caller's.
class ZVFSManager final : public HBObject<ZVFSManager, IZVFSManager> {
 public:
  ZVFSManager(std::shared_ptr<Engine> engine, bool threaded) : m_engine(std::move(engine)) {
    if (threaded) {
      m_queue = std::make_shared<Queue>();
      std::shared_ptr<Queue> q = m_queue;
      m_thread = std::thread([q] { run(q); });
    }
  }

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ) return offer<IZVFSManager>(out);
    return BR_ENOENT;
  }

  bool hasSettings() override { return m_engine->hasSettings(); }

  void setSessionToken(const char *token) override {
    if (!m_engine->setToken(token)) return;
    const bool mount = token != nullptr;
    post([mount](Engine &e) {
      e.unmountAll();
      if (mount && e.driveOn()) (void)e.mountAll();
    });
  }

  void dropSessionToken() override { (void)m_engine->setToken(nullptr); }

  bool driveOn() override { return m_engine->driveOn(); }
  bool multiDrive() override { return m_engine->multiDrive(); }
  bool sharedFiles() override { return m_engine->sharedFiles(); }
  char driveLetter() override { return m_engine->driveLetter(); }

  void setDriveOn(bool on) override {
    if (driveOn() == on) return;
    applyDriveSetting(on ? "1" : "0");
  }

  void applyDriveSetting(const char *value) override {
    m_engine->writeSetting(ZVFS_SETTING_SHOWDRIVE, value);
    post([](Engine &e) { e.sync(); });
  }

  void setDriveLetter(char letter) override {
    const char upper = static_cast<char>(toupper(static_cast<unsigned char>(letter)));
    if (upper == toupper(static_cast<unsigned char>(driveLetter()))) return;
    char text[2];
    snprintf(text, sizeof text, "%c", upper);
    m_engine->writeSetting(ZVFS_SETTING_LETTER, text);
    remount();
  }

  int32_t mountAll() override {
    if (!m_engine->hasToken()) return BR_ENOTAUTH;
    post([](Engine &e) { (void)e.mountAll(); });
    return BR_OK;
  }

  void unmountAll() override {
    post([](Engine &e) { e.unmountAll(); });
  }

  void openDrive() override {
    post([](Engine &e) { e.openDrive(); });
  }

  void remountForSelected(const char *device) override {
    if (!device || !*device) return;
    post([](Engine &e) { e.sync(); });
  }

  int32_t listDrives(std::vector<ZVDriveRecord> *out) override { return m_engine->listDrives(out); }

  Engine &engine() { return *m_engine; }

 private:
  friend class HBObject<ZVFSManager, IZVFSManager>;
  using Job = std::function<void(Engine &)>;
  struct Queue {
    std::mutex lock;
    std::condition_variable wake, idle;
    std::deque<std::pair<std::shared_ptr<Engine>, Job>> jobs;
    bool stop = false, done = false;
  };

  ~ZVFSManager() override {
    if (!m_queue) return;
    {
      std::lock_guard<std::mutex> lock(m_queue->lock);
      m_queue->stop = true;
    }
    m_queue->wake.notify_all();
    // The queued unmounts are done first, so that each helper unmounts when told. The thread
    // is not waited for beyond that (it may be inside a service call that hangs): it keeps what
    // it uses, and helpers quit anyway when the program ends and their standard input closes.
    const auto wait = std::chrono::milliseconds(m_engine->helpers() > 0 ? 6000 : 500);
    std::unique_lock<std::mutex> lock(m_queue->lock);
    if (m_queue->idle.wait_for(lock, wait, [&] { return m_queue->done; })) {
      lock.unlock();
      m_thread.join();
    } else {
      brlog(kTag, BRLOG_WARNING, "ZVFS: the manager's thread is still busy; not waiting\n");
      lock.unlock();
      m_thread.detach();
    }
  }

  void remount() {
    post([](Engine &e) {
      e.unmountAll();
      if (e.driveOn()) (void)e.mountAll();
    });
  }

  void post(Job job) {
    if (!m_queue) {
      job(*m_engine);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(m_queue->lock);
      m_queue->jobs.emplace_back(m_engine, std::move(job));
    }
    m_queue->wake.notify_one();
  }

  static void run(std::shared_ptr<Queue> q) {
    brthread__setName(brthread__self(), "ZVFSMGR");
    std::unique_lock<std::mutex> lock(q->lock);
    for (;;) {
      q->wake.wait(lock, [&] { return q->stop || !q->jobs.empty(); });
      if (q->jobs.empty()) break;
      auto [engine, job] = std::move(q->jobs.front());
      q->jobs.pop_front();
      lock.unlock();
      job(*engine);
      engine.reset();
      lock.lock();
    }
    q->done = true;
    q->idle.notify_all();
  }

  std::shared_ptr<Engine> m_engine;
  std::shared_ptr<Queue> m_queue;
  std::thread m_thread;
};

std::mutex g_managerLock;
IZVFSManager *g_manager = nullptr;

}  // namespace

int32_t zvfsmanager__createWith(std::unique_ptr<ZVFSSystem> system, HBProperties *settings,
                                bool threaded, IZVFSManager **out) {
  if (!system || !out) return BR_EINVAL;
  *out = new ZVFSManager(std::make_shared<Engine>(std::move(system), settings), threaded);
  return BR_OK;
}

int32_t zvfsmanager__create(IZVFSManager **out) {
  return zvfsmanager__createWith(zvfssystem__posix(), nullptr, true, out);
}

void zvfsmanager__inspect(IZVFSManager *manager, std::vector<ZVFSSlotView> *slots,
                          std::vector<ZVDriveRecord> *mounted) {
  if (auto *m = dynamic_cast<ZVFSManager *>(manager)) m->engine().inspect(slots, mounted);
}

int32_t zvfsmanager__mountSlot(IZVFSManager *manager, const ZVServiceInfo *service, int slot,
                               bool shares) {
  auto *m = dynamic_cast<ZVFSManager *>(manager);
  return m ? m->engine().mountSlot(service, slot, shares) : BR_EINVAL;
}

HBRef<IZVFSManager> zvfsmanager__get() {
  std::lock_guard<std::mutex> lock(g_managerLock);
  return HBRef<IZVFSManager>::retain(g_manager);
}

void zvfsmanager__set(IZVFSManager *manager) {
  IZVFSManager *old;
  {
    std::lock_guard<std::mutex> lock(g_managerLock);
    old = g_manager;
    if (manager) manager->upref();
    g_manager = manager;
  }
  if (old) old->dnref();
}
