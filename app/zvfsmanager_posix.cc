// The drive mount manager's system on Linux: drive letters are folders under the mount root, a
// drive helper is a process started with posix_spawn whose standard input carries the session
// token, and its control endpoint is a Unix socket named after "TesselFSChildClass" and its pid.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "appplatform.h"
#include "brlog.h"
#include "hbfork2.h"
#include "hbmap.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "hbuserdirs.h"
#include "zvfsmanager_int.h"

extern char **environ;

namespace {

constexpr const char *kTag = "ZVFSMGR";
constexpr int kUnmountCommandMs = 5000;

// Runs `argv` and waits (bounded) for it; its exit code, or -1.
int runAndWait(const std::vector<const char *> &argv) {
  HBRef<IHBFork2> child;
  if (HBFork2__new(0, child.out()) < 0 || child->start(argv.data()) < 0) return -1;
  int32_t code = -1;
  if (child->wait(kUnmountCommandMs, &code) < 0) {
    (void)child->kill(SIGKILL);
    return -1;
  }
  return code;
}

class ZVFSSystemPosix final : public ZVFSSystem {
 public:
  ~ZVFSSystemPosix() override {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto &[pid, fd] : m_children) close(fd);
  }

  ZVRootState rootState(char letter) override {
    const std::string root = zvfsmanager__mountRoot();
    const std::string path = root + "/" + letter;
    struct stat st, parent;
    if (stat(path.c_str(), &st) != 0)
      return errno == ENOTCONN ? ZVRootState::Dead : ZVRootState::Free;
    if (stat(root.c_str(), &parent) != 0 || st.st_dev == parent.st_dev) return ZVRootState::Free;
    // The kernel answers stat from what it cached; opening the folder asks the helper.
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == ENOTCONN ? ZVRootState::Dead : ZVRootState::Mounted;
    close(fd);
    return ZVRootState::Mounted;
  }

  void clearDeadMount(char letter) override {
    const std::string path = zvfsmanager__mountRoot() + "/" + letter;
    if (runAndWait({"fusermount3", "-u", path.c_str(), nullptr}) == 0) return;
    // Busy (a shell still sits in it): detached now, gone once the last user leaves.
    if (runAndWait({"fusermount3", "-u", "-z", path.c_str(), nullptr}) != 0)
      brlog(kTag, BRLOG_ERROR, "ZVFS: cannot unmount the dead mount point '%s'\n", path.c_str());
  }

  int32_t spawn(const std::vector<std::string> &argv, const std::string &token,
                int64_t *pid) override {
    // A socket pair rather than a pipe: writing to a helper that died raises no SIGPIPE.
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return errno;
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const std::string folder = argv[0].substr(0, argv[0].rfind('/') + 1);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&fa, folder.c_str());
    // Its own process group (a terminal's signals are for the program; the helper quits when
    // told, or when its standard input closes), default signal handling, nothing blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t child = 0;
    const int err = posix_spawn(&child, args[0], &fa, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (err != 0) {
      close(fds[0]);
      return err;
    }
    const std::string line = token + "\n";
    size_t off = 0;
    while (off < line.size()) {
      const ssize_t n = send(fds[0], line.data() + off, line.size() - off, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the helper is gone already; the slot is freed when it is looked at
      off += static_cast<size_t>(n);
    }
    // Kept open while the helper runs: its end of file tells the helper the program is gone.
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_children[child] = fds[0];
    }
    *pid = child;
    return 0;
  }

  bool alive(int64_t pid) override {
    int status;
    const pid_t r = waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
    if (r == static_cast<pid_t>(pid)) {
      forgetChild(pid);
      return false;
    }
    if (r == 0) return true;
    // Not a child of ours (or already reaped).
    return kill(static_cast<pid_t>(pid), 0) == 0;
  }

  int32_t sendQuit(int64_t pid) override {
    const std::string name = std::string(ZVFS_HELPER_CLASS) + "-" + std::to_string(pid);
    const int32_t rc = appplatform__send(name.c_str(), ZVFS_MSG_MOUNT_QUIT, 0, 0);
    return rc == 0 ? 0 : BR_ENOENT;
  }

  // The helper may still be ending (it unmounts before it exits); a thread of its own waits
  // for it, so that no helper the manager let go of is left a zombie.
  void release(int64_t pid) override {
    if (!forgetChild(pid)) return;  // reaped already: its pid may be another child's by now
    std::thread([child = static_cast<pid_t>(pid)] {
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }

  void sleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  int32_t openFolder(char letter) override {
    return appplatform__openURL((zvfsmanager__mountRoot() + "/" + letter).c_str());
  }

  std::string helperPath() override {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/') + 1);
    return (dir.empty() ? std::string("./") : dir) + ZVFS_HELPER_PROGRAM;
  }

  int32_t listServices(const std::string &token, std::vector<ZVServiceInfo> *out) override {
    out->clear();
    HBRef<HBRPCGeneric> rpc;
    int32_t rc = hbsvc__newCall(rpc.out());
    if (rc < 0) return rc;
    rc = hbsvc__listServices(rpc.get(), token.c_str());
    if (rc < 0) return rc;
    HBRef<IHBIter> services = HBRef<IHBIter>::adopt(rpc->getArgmentIterator("services"));
    if (!services) return BR_OK;
    hbtype_t type = HBTYPE_ANY;
    void *item;
    while ((type = HBTYPE_ANY, services->next(&type, &item) == 0)) {
      if (hbtype__isRaw(type)) continue;  // a borrowed text, not a service
      HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
      HBRef<IHBMap> map;
      if (hb_query<IHBMap>(obj.get(), map) < 0) continue;
      auto text = [&](const char *name) {
        const char *v = map->getString(name);
        return std::string(v ? v : "");
      };
      out->push_back(
          {text("deviceid"), text("serviceid"), text("name"), text("type"), text("online")});
    }
    return BR_OK;
  }

 private:
  // Whether `pid` was a running helper of ours.
  bool forgetChild(int64_t pid) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_children.find(static_cast<pid_t>(pid));
    if (it == m_children.end()) return false;
    close(it->second);
    m_children.erase(it);
    return true;
  }

  std::mutex m_lock;
  std::map<pid_t, int> m_children;  // running helpers and their standard input
};

}  // namespace

std::unique_ptr<ZVFSSystem> zvfssystem__posix() {
  return std::make_unique<ZVFSSystemPosix>();
}

std::string zvfsmanager__mountRoot() {
  return hbuserdirs__driveMountRoot();
}
