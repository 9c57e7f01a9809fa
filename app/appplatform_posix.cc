// The desktop program's platform layer on Linux: flock for the single instance, a Unix socket in
// place of finding the main window, GLib signal sources for the session end.
#include <fcntl.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <glib.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "appmsg.h"
#include "appplatform.h"
#include "brlog.h"
#include "hbuserdirs.h"

extern char **environ;

#ifndef TESSEL_INSTALL_BINDIR
#define TESSEL_INSTALL_BINDIR "/usr/local/bin"
#endif

namespace {

constexpr const char *kTag = "ZVBROWSER";

// One message on the control socket: this header, then dataSize bytes. Sender and receiver are
// the same user on the same machine, so the layout is the host's.
struct WireHeader {
  uint32_t msg;
  uint32_t dataSize;
  uint64_t wParam;
  int64_t lParam;
};
constexpr uint32_t kMaxData = 64 * 1024;

class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return m_fd; }
  int release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd;
};

bool fillAddress(const std::string &path, sockaddr_un *addr) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  memcpy(addr->sun_path, path.c_str(), path.size());
  return true;
}

// ---- Listener ----------------------------------------------------------------------------

struct Client {
  int fd;
  guint source;
  std::string buffer;
};

struct Listener {
  int fd = -1;
  guint source = 0;
  std::string path;
  std::map<int, std::unique_ptr<Client>> clients;
};

Listener &listener() {
  static Listener *l = new Listener;
  return *l;
}

void dropClient(int fd) {
  Listener &l = listener();
  auto it = l.clients.find(fd);
  if (it == l.clients.end()) return;
  g_source_remove(it->second->source);
  close(fd);
  l.clients.erase(it);
}

// Only messages made of plain numbers and bytes may come from outside: a message whose wParam
// is a pointer (MSG_OPEN_URL) would hand another process our address space.
void deliver(const WireHeader &h, const char *data) {
  if (h.msg == MSG_TRAY_COMMAND) {
    (void)appmsg__post(h.msg, static_cast<uintptr_t>(h.wParam), static_cast<intptr_t>(h.lParam));
  } else if (h.msg == MSG_COPYDATA) {
    (void)appmsg__postData(static_cast<uintptr_t>(h.wParam), data, h.dataSize);
  } else {
    brlog(kTag, BRLOG_WARNING, "Control socket: message %u refused\n", h.msg);
  }
}

gboolean onClient(gint fd, GIOCondition, gpointer) {
  Listener &l = listener();
  auto it = l.clients.find(fd);
  if (it == l.clients.end()) return G_SOURCE_REMOVE;
  Client &c = *it->second;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      c.buffer.append(buf, static_cast<size_t>(n));
      while (c.buffer.size() >= sizeof(WireHeader)) {
        WireHeader h;
        memcpy(&h, c.buffer.data(), sizeof h);
        if (h.dataSize > kMaxData) {
          brlog(kTag, BRLOG_WARNING, "Control socket: oversized message refused\n");
          l.clients.erase(it);
          close(fd);
          return G_SOURCE_REMOVE;
        }
        if (c.buffer.size() < sizeof h + h.dataSize) break;
        deliver(h, c.buffer.data() + sizeof h);
        c.buffer.erase(0, sizeof h + h.dataSize);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return G_SOURCE_CONTINUE;
    // End of stream or error: the sender is done.
    l.clients.erase(it);
    close(fd);
    return G_SOURCE_REMOVE;
  }
}

gboolean onAccept(gint fd, GIOCondition, gpointer) {
  Listener &l = listener();
  for (;;) {
    const int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) {
      if (errno == EINTR) continue;
      return G_SOURCE_CONTINUE;
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != getuid()) {
      brlog(kTag, BRLOG_WARNING, "Control socket: peer of another user refused\n");
      close(c);
      continue;
    }
    // A peer that never finishes its message is cut off when the set of peers grows large.
    if (l.clients.size() >= 16) dropClient(l.clients.begin()->first);
    auto client = std::make_unique<Client>();
    client->fd = c;
    client->source = g_unix_fd_add(c, G_IO_IN, onClient, nullptr);
    l.clients[c] = std::move(client);
  }
}

// ---- Session end --------------------------------------------------------------------------

struct SessionWatch {
  appplatform_sessionend_fn fn = nullptr;
  void *context = nullptr;
  guint sources[3] = {};
  bool ended = false;  // the session ends once; later signals are only logged
};

SessionWatch &sessionWatch() {
  static SessionWatch *w = new SessionWatch;
  return *w;
}

gboolean onSignal(gpointer data) {
  SessionWatch &w = sessionWatch();
  const int signal = static_cast<int>(reinterpret_cast<intptr_t>(data));
  if (w.ended) {
    brlog(kTag, BRLOG_INFO, "Session already ending: signal %d ignored\n", signal);
  } else if (w.fn) {
    // The sources stay: without them a repeated signal would kill the process mid-way.
    w.ended = true;
    w.fn(signal, w.context);
  }
  return G_SOURCE_CONTINUE;
}

appplatform_msgbox_fn g_messageBox = nullptr;

bool executableOnPath(const char *name) {
  const char *path = getenv("PATH");
  std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  dirs += ":/usr/sbin:/sbin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// A desktop entry's Exec argument: quoted, with the reserved characters escaped, and the
// backslashes of the escaping escaped again for the key file.
std::string desktopExecQuote(const std::string &arg) {
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string out;
  for (char c : quoted) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string configHome() {
  const char *config = getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return config;
  const char *home = getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.config";
}

}  // namespace

std::string appplatform__runtimeDir() {
  return hbuserdirs__runtimeDir();
}

int32_t appplatform__lockInstance() {
  const char *runtime = getenv("XDG_RUNTIME_DIR");
  std::string path;
  if (runtime && *runtime == '/') {
    path = std::string(runtime) + "/orvanetesselbrowser.lock";
  } else {
    // Never a folder other users share: one of them could take the lock first, or hold it.
    const char *data = getenv("XDG_DATA_HOME");
    const std::string base =
        data && *data == '/' ? std::string(data) : hbuserdirs__home() + "/.local/share";
    const std::string dir = base + "/Orvane Tessel Utility";
    for (size_t at = 1; at != std::string::npos;) {
      at = dir.find('/', at + 1);
      (void)mkdir(dir.substr(0, at).c_str(), 0700);
    }
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 022) != 0) {
      brlog(kTag, BRLOG_ERROR, "%s is not a folder only this user can write\n", dir.c_str());
      return BR_EIO;
    }
    path = dir + "/orvanetesselbrowser.lock";
  }
  // Close-on-exec: the drive helper and other children must not keep the lock after we end.
  Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0) {
    brlog(kTag, BRLOG_ERROR, "Cannot open the instance lock %s (errno %d)\n", path.c_str(), errno);
    return BR_EIO;
  }
  while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return BR_EEXISTS;
    brlog(kTag, BRLOG_ERROR, "flock(%s) failed (errno %d)\n", path.c_str(), errno);
    return BR_EIO;
  }
  fd.release();  // held for the life of the process
  return BR_OK;
}

std::string appplatform__controlPath(const char *className) {
  const std::string dir = appplatform__runtimeDir();
  if (dir.empty()) return std::string();
  return dir + "/" + className;
}

int32_t appplatform__listen(const char *className) {
  Listener &l = listener();
  if (l.fd >= 0) return BR_EBADSTATE;
  const std::string path = appplatform__controlPath(className);
  // Bound under a temporary name and renamed once listening, so that a sender never finds a
  // socket that refuses it while we start.
  const std::string temp = path + "." + std::to_string(getpid());
  sockaddr_un addr;
  if (!fillAddress(path, &addr) || !fillAddress(temp, &addr)) {
    brlog(kTag, BRLOG_ERROR, "Control socket path unusable: '%s'\n", path.c_str());
    return BR_EIO;
  }
  Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) return BR_EIO;
  unlink(temp.c_str());
  if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      chmod(temp.c_str(), 0600) != 0 || listen(fd.get(), 16) != 0 ||
      rename(temp.c_str(), path.c_str()) != 0) {
    brlog(kTag, BRLOG_ERROR, "Cannot listen on %s (errno %d)\n", path.c_str(), errno);
    unlink(temp.c_str());
    return BR_EIO;
  }
  l.path = path;
  l.fd = fd.release();
  l.source = g_unix_fd_add(l.fd, G_IO_IN, onAccept, nullptr);
  return BR_OK;
}

void appplatform__closeListener() {
  Listener &l = listener();
  if (l.fd < 0) return;
  while (!l.clients.empty()) dropClient(l.clients.begin()->first);
  g_source_remove(l.source);
  l.source = 0;
  // The name is ours: no other instance can bind it while we hold the instance lock.
  unlink(l.path.c_str());
  close(l.fd);
  l.fd = -1;
}

int32_t appplatform__send(const char *className, uint32_t msg, uint64_t wParam, int64_t lParam,
                          const void *data, uint32_t dataSize) {
  if (dataSize > kMaxData) return BR_EINVAL;
  const std::string path = appplatform__controlPath(className);
  sockaddr_un addr;
  if (!fillAddress(path, &addr)) return BR_ENOENT;
  Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return BR_EIO;
  while (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    if (errno == EINTR) continue;
    // No socket, or one left behind by an instance that is gone.
    if (errno == ENOENT || errno == ECONNREFUSED) return BR_ENOENT;
    return BR_EIO;
  }
  std::string packet(sizeof(WireHeader), '\0');
  const WireHeader h{msg, dataSize, wParam, lParam};
  memcpy(packet.data(), &h, sizeof h);
  if (data && dataSize) packet.append(static_cast<const char *>(data), dataSize);
  size_t off = 0;
  while (off < packet.size()) {
    const ssize_t n = send(fd.get(), packet.data() + off, packet.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return BR_EIO;
    off += static_cast<size_t>(n);
  }
  return BR_OK;
}

void appplatform__watchSessionEnd(appplatform_sessionend_fn fn, void *context) {
  SessionWatch &w = sessionWatch();
  appplatform__unwatchSessionEnd();
  w.fn = fn;
  w.context = context;
  w.ended = false;
  const int signals[3] = {SIGTERM, SIGHUP, SIGINT};
  for (int i = 0; i < 3; ++i)
    w.sources[i] = g_unix_signal_add(signals[i], onSignal,
                                     reinterpret_cast<gpointer>(static_cast<intptr_t>(signals[i])));
}

void appplatform__unwatchSessionEnd() {
  SessionWatch &w = sessionWatch();
  for (guint &s : w.sources) {
    if (s) g_source_remove(s);
    s = 0;
  }
  w.fn = nullptr;
}

bool appplatform__hasDisplay() {
  const char *x = getenv("DISPLAY");
  const char *wayland = getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

void appplatform__setMessageBox(appplatform_msgbox_fn fn) {
  g_messageBox = fn;
}

bool appplatform__hasMessageBox() {
  return g_messageBox != nullptr;
}

void appplatform__messageBox(const char *text, const char *caption, bool warning) {
  if (g_messageBox) {
    g_messageBox(text, caption, warning);
    return;
  }
  brlog(kTag, warning ? BRLOG_WARNING : BRLOG_INFO, "%s: %s\n", caption, text);
  fprintf(stderr, "%s: %s\n", caption, text);
}

int32_t appplatform__mounterCommand(const char *) {
  if (access("/dev/fuse", R_OK | W_OK) != 0 || !executableOnPath("fusermount3")) return BR_EFAULT;
  return BR_OK;
}

const char *appplatform__installBinDir() {
  return TESSEL_INSTALL_BINDIR;
}

int32_t appplatform__autostartEntry(const char *command) {
  const std::string dir = configHome() + "/autostart";
  const std::string path = dir + "/tesselutilbrowser.desktop";
  if (!command || !*command) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return BR_EIO;
    return BR_OK;
  }
  g_mkdir_with_parents(dir.c_str(), 0700);
  const std::string text = std::string(
                               "[Desktop Entry]\n"
                               "Type=Application\n"
                               "Name=Orvane Tessel Hard Drive Utility\n"
                               "Exec=") +
                           desktopExecQuote(command) +
                           "\n"
                           "Terminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n";
  GError *error = nullptr;
  if (!g_file_set_contents(path.c_str(), text.c_str(), static_cast<gssize>(text.size()), &error)) {
    brlog(kTag, BRLOG_ERROR, "Cannot write %s: %s\n", path.c_str(), error ? error->message : "");
    g_clear_error(&error);
    return BR_EIO;
  }
  return BR_OK;
}

int32_t appplatform__runNonElevated() {
  char self[513];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0 || n >= 512) return BR_EUNSPEC;
  self[n] = 0;

  uid_t uid = 0;
  gid_t gid = 0;
  bool drop = false;
  if (geteuid() == 0) {
    const char *sudoUid = getenv("SUDO_UID");
    const char *pkexecUid = getenv("PKEXEC_UID");
    const char *text = sudoUid && *sudoUid ? sudoUid : pkexecUid;
    if (text && *text) {
      uid = static_cast<uid_t>(strtoul(text, nullptr, 10));
      const passwd *pw = getpwuid(uid);
      const char *sudoGid = getenv("SUDO_GID");
      gid = sudoGid && *sudoGid ? static_cast<gid_t>(strtoul(sudoGid, nullptr, 10))
                                : (pw ? pw->pw_gid : static_cast<gid_t>(uid));
      drop = uid != 0;
    }
  }

  // Two forks, so that the copy is not our child and never lingers as a zombie.
  const pid_t first = fork();
  if (first < 0) return BR_EUNSPEC;
  if (first == 0) {
    if (fork() != 0) _exit(0);
    setsid();
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      if (null > 2) close(null);
    }
    if (drop) {
      const passwd *pw = getpwuid(uid);
      if ((pw && initgroups(pw->pw_name, gid) != 0) || (!pw && setgroups(0, nullptr) != 0) ||
          setgid(gid) != 0 || setuid(uid) != 0)
        _exit(127);
      if (pw) {
        setenv("HOME", pw->pw_dir, 1);
        setenv("USER", pw->pw_name, 1);
        setenv("LOGNAME", pw->pw_name, 1);
      }
      // The folders of the elevated environment belong to root: the copy takes the user's own.
      for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        unsetenv(name);
      const std::string runtime = "/run/user/" + std::to_string(uid);
      if (access(runtime.c_str(), W_OK | X_OK) == 0)
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
      else
        unsetenv("XDG_RUNTIME_DIR");
    }
    char *const argv[] = {self, nullptr};
    execve(self, argv, environ);
    _exit(127);
  }
  int status;
  while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
  }
  return BR_OK;
}

int32_t appplatform__openURL(const char *url) {
  if (executableOnPath("xdg-open")) {
    const char *argv[] = {"xdg-open", url, nullptr};
    GError *error = nullptr;
    if (g_spawn_async(nullptr, const_cast<char **>(argv), nullptr,
                      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                               G_SPAWN_STDERR_TO_DEV_NULL),
                      nullptr, nullptr, nullptr, &error))
      return BR_OK;
    brlog(kTag, BRLOG_ERROR, "Cannot start xdg-open: %s\n", error ? error->message : "");
    g_clear_error(&error);
  }
  GError *error = nullptr;
  if (g_app_info_launch_default_for_uri(url, nullptr, &error)) return BR_OK;
  brlog(kTag, BRLOG_ERROR, "No handler for the address: %s\n", error ? error->message : "");
  g_clear_error(&error);
  return BR_EIO;
}

uint32_t appplatform__localeId() {
  static const struct {
    const char *name;
    uint32_t lcid;
  } kTable[] = {
      {"ar_SA", 0x401},  {"bg_BG", 0x402},  {"ca_ES", 0x403},  {"zh_TW", 0x404},  {"cs_CZ", 0x405},
      {"da_DK", 0x406},  {"de_DE", 0x407},  {"el_GR", 0x408},  {"en_US", 0x409},  {"fi_FI", 0x40b},
      {"fr_FR", 0x40c},  {"he_IL", 0x40d},  {"hu_HU", 0x40e},  {"is_IS", 0x40f},  {"it_IT", 0x410},
      {"ja_JP", 0x411},  {"ko_KR", 0x412},  {"nl_NL", 0x413},  {"nb_NO", 0x414},  {"pl_PL", 0x415},
      {"pt_BR", 0x416},  {"ro_RO", 0x418},  {"ru_RU", 0x419},  {"hr_HR", 0x41a},  {"sk_SK", 0x41b},
      {"sv_SE", 0x41d},  {"th_TH", 0x41e},  {"tr_TR", 0x41f},  {"id_ID", 0x421},  {"uk_UA", 0x422},
      {"sl_SI", 0x424},  {"et_EE", 0x425},  {"lv_LV", 0x426},  {"lt_LT", 0x427},  {"vi_VN", 0x42a},
      {"zh_CN", 0x804},  {"de_CH", 0x807},  {"en_GB", 0x809},  {"es_MX", 0x80a},  {"fr_BE", 0x80c},
      {"it_CH", 0x810},  {"nl_BE", 0x813},  {"nn_NO", 0x814},  {"pt_PT", 0x816},  {"sv_FI", 0x81d},
      {"de_AT", 0xc07},  {"en_AU", 0xc09},  {"es_ES", 0xc0a},  {"fr_CA", 0xc0c},  {"zh_HK", 0xc04},
      {"de_LU", 0x1007}, {"en_CA", 0x1009}, {"fr_CH", 0x100c}, {"en_NZ", 0x1409}, {"en_IE", 0x1809},
      {"en_ZA", 0x1c09}, {"en_IN", 0x4009}, {"es_AR", 0x2c0a}, {"es_CO", 0x240a}, {"es_CL", 0x340a},
  };
  const char *lang = getenv("LANG");
  if (!lang || strlen(lang) < 5) return 0x409;
  const std::string code(lang, 5);
  for (const auto &e : kTable)
    if (code == e.name) return e.lcid;
  return 0x409;
}
