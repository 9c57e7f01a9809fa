// tesselutilfs: one drive of the service as a folder, <drive.mountroot>/LETTER, until told to
// quit (message 1124 on its control endpoint, SIGTERM, or the end of its standard input when the
// desktop program that started it is gone).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "brhttp.h"
#include "brlog.h"
#include "brthread.h"
#include "hbfork2.h"
#include "hbhttpconnpool.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbuserdirs.h"
#include "tfscache.h"
#include "tfsctl.h"
#include "tfsdrive.h"
#include "tfsfuse.h"
#include "tfsoptions.h"
#include "tfssource.h"

// Leak-checking builds: FUSE keeps its handle of a folder still open when the drive is unmounted
// (a file manager showing it as the helper quits) and never frees it; that one is not ours.
extern "C" const char *__lsan_default_suppressions() {
  return "leak:libfuse3.so\n";
}

namespace {

constexpr const char *kTag = "TFSMAIN";
constexpr int64_t kDefaultCacheMb = 2048;
// How long a helper asked to quit waits for the files being written into the drive.
constexpr int64_t kQuitWaitMs = 10 * 60 * 1000;

std::string setting(const char *name) {
  std::string value;
  if (hbproperties__readKeyValue(HBPROPERTIES_KEY_TESSELUTILFS, name, &value) < 0) value.clear();
  return value;
}

std::string cacheFolder() {
  const char *x = getenv("XDG_CACHE_HOME");
  const std::string base = x && *x == '/' ? x : hbuserdirs__home() + "/.cache";
  return base + "/Orvane Tessel Utility/tesselutilfs";
}

// The first line of standard input, read a byte at a time (the rest of it tells when the program
// that started us is gone).
bool readTokenLine(std::string *token) {
  char c;
  while (token->size() < 4096) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    *token += c;
  }
  while (!token->empty() && (token->back() == '\r' || token->back() == ' ')) token->pop_back();
  return !token->empty();
}

// The folder of the letter, made private; a mount point left by a helper that died is freed.
bool prepareMountPoint(const std::string &root, const std::string &point) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = root.find('/', pos + 1);
    if (mkdir(root.substr(0, pos).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st, parent;
  // Dead: stat fails, or (answered from the kernel's cache) opening the folder does.
  bool dead = stat(point.c_str(), &st) != 0 && errno == ENOTCONN;
  if (!dead && stat(root.c_str(), &parent) == 0 && st.st_dev != parent.st_dev) {
    const int fd = open(point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    dead = fd < 0 && errno == ENOTCONN;
    if (fd >= 0) close(fd);
  }
  if (dead) {
    HBRef<IHBFork2> child;
    const char *argv[] = {"fusermount3", "-u", "-z", point.c_str(), nullptr};
    int32_t code = -1;
    if (HBFork2__new(0, child.out()) == 0 && child->start(argv) == 0)
      (void)child->wait(5000, &code);
    brlog(kTag, BRLOG_WARNING, "Freed the dead mount point '%s' (%d)\n", point.c_str(), code);
  }
  if (mkdir(point.c_str(), 0700) != 0 && errno != EEXIST) return false;
  if (stat(point.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || stat(root.c_str(), &parent) != 0)
    return false;
  if (st.st_dev != parent.st_dev) {
    fprintf(stderr, "tesselutilfs: a drive is already mounted on %s\n", point.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  TFSOptions o;
  std::string error;
  if (!tfsoptions__parse(std::vector<std::string>(argv + 1, argv + argc), &o, &error)) {
    fprintf(stderr, "tesselutilfs: %s\n%s", error.c_str(), tfsoptions__usage());
    return 2;
  }
  if (o.tokenFromStdin && !readTokenLine(&o.token)) {
    fprintf(stderr, "tesselutilfs: no session token on standard input\n");
    return 2;
  }

  std::string showLog;
  if (hbproperties__readKeyValue(HBPROPERTIES_KEY_LOGFILE, "ShowLog", &showLog) == 0 &&
      showLog == "yes")
    hblogsink__init("tesselutilfs", "tesselutilfs.log");
  brlog__setLevel(o.debug ? BRLOG_DEBUG : BRLOG_INFO);
  brthread__setName(brthread__self(), "TFSMAIN");
  brlog(kTag, BRLOG_INFO, "tesselutilfs started for %c: [%s][%s]%s\n", o.letter, o.device.c_str(),
        o.service.c_str(), o.justShares ? " (shared files)" : "");

  HBRef<IHBHTTPConnPool> pool;
  if (hbhttpconnpool__create(pool.out()) == 0) {
    // How long a call waits for the service (tests shorten it); the pool's default otherwise.
    const std::string timeout = setting("drive.timeoutms");
    if (!timeout.empty() && atoi(timeout.c_str()) > 0)
      hbhttpconnpool__setTimeout(pool.get(), atoi(timeout.c_str()));
    hbhttpconnpool__setDefault(pool.get());
    hbrpc__setConnPool(pool.get());
  }
  (void)hbsvc__initServiceURL();
  brhttp__setUserAgent("Orvane Tessel Utility FS/1.1");

  const std::string root = hbuserdirs__driveMountRoot();
  const std::string point = root + "/" + o.letter;
  if (!prepareMountPoint(root, point)) {
    brlog(kTag, BRLOG_ERROR, "Cannot use the mount point '%s'\n", point.c_str());
    return 1;
  }

  int64_t cacheMb = kDefaultCacheMb;
  const std::string cacheSetting = setting("drive.cachemb");
  if (!cacheSetting.empty() && atoll(cacheSetting.c_str()) > 0)
    cacheMb = atoll(cacheSetting.c_str());
  // Each drive has a cache folder of its own: a helper's start clears the pieces in its folder,
  // which must never be those another helper (another drive) is filling. drive.cachemb bounds
  // them all together: every drive's folder is in one parent, whose helpers share the bound.
  std::string drive = o.justShares ? "shares" : o.device + "-" + o.service;
  for (char &c : drive)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
  if (drive == "-") drive = "drive";
  TFSContentCache cache(cacheFolder() + "/" + drive, cacheMb << 20, true);
  if (cache.init() < 0) {
    brlog(kTag, BRLOG_ERROR, "Cannot use the cache folder '%s'\n", cache.folder().c_str());
    return 1;
  }

  auto source = std::make_unique<TFSServiceSource>(o.token, o.device, o.service, o.justShares);
  TFSServiceSource *src = source.get();
  TFSConfig config;
  config.uid = getuid();
  config.gid = getgid();
  const std::string volname = o.volname;
  config.unavailable = [src, volname] {
    std::string device, service, name;
    src->drive(&device, &service, &name);
    (void)tfsctl__notifyUnavailable(volname.empty() ? name : volname, service, device);
  };
  // Beside the drive's cache folder, whose start takes away what is no cache content.
  config.leftoverFile = cache.folder() + "-leftovers";
  TFSFileSystem fs(std::move(source), &cache, config);
  // Reaching the drive now tells the program at once when it cannot be reached.
  std::vector<std::pair<std::string, struct stat>> top;
  if (fs.readdir("/", &top) == -EACCES) {
    brlog(kTag, BRLOG_ERROR, "The session token was refused: not mounting\n");
    rmdir(point.c_str());
    return 3;
  }

  // Asked to quit (1124, or the program is gone): what is being copied into the drive is
  // uploaded first, as its writers close it; ending the mount now would lose it.
  std::atomic<bool> ended{false};
  TFSFileSystem *filesystem = &fs;
  fs.cleanLeftovers();
  TFSControl control([filesystem, &ended](const char *why) {
    // Whoever started the helper by hand learns why it goes.
    fprintf(stderr, "tesselutilfs: quitting: %s\n", why ? why : "asked to");
    brlog(kTag, BRLOG_INFO, "Quitting: %s\n", why ? why : "asked to");
    const int64_t until = brtime__ticks() + kQuitWaitMs;
    std::vector<std::string> open = filesystem->writesInProgress();
    if (!open.empty())
      brlog(kTag, BRLOG_INFO, "Asked to quit: first %zu file(s) being written\n", open.size());
    while (!open.empty() && !ended && brtime__ticks() < until) {
      usleep(100 * 1000);
      open = filesystem->writesInProgress();
    }
    for (const std::string &path : open)
      brlog(kTag, BRLOG_ERROR, "Quitting: '%s' was still being written and is not uploaded\n",
            path.c_str());
    tfsfuse__quit();
  });
  if (control.start(o.tokenFromStdin) < 0)
    brlog(kTag, BRLOG_ERROR, "No control endpoint: only SIGTERM ends this helper\n");
  TFSMountOptions mount;
  mount.mountpoint = point;
  std::string device, service, name;
  src->drive(&device, &service, &name);
  mount.volname = !o.volname.empty() ? o.volname : !name.empty() ? name : "Tessel";
  const int rc = tfsfuse__run(&fs, mount);
  ended = true;
  control.stop();
  rmdir(point.c_str());
  hbrpc__setConnPool(nullptr);
  hbhttpconnpool__setDefault(nullptr);
  return rc;
}
