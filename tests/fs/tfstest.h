// The drive helper in tests: whether FUSE can be used here, the real service with a user and the
// settings pointing at it, the helper running with its token on standard input, and a stand-in
// for the desktop program's control socket that takes the helper's notices.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../server/svctestserver.h"
#include "hbproperties.h"
#include "testutil.h"
#include "tfsctl.h"

extern char **environ;

namespace tessel::test {

// True when FUSE can be used here; otherwise `why` says what is missing.
inline bool fuseUsable(std::string *why) {
  const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *why = "/dev/fuse cannot be opened (" + std::string(strerror(errno)) +
           "): the mounted drive tests need FUSE";
    return false;
  }
  close(fd);
  if (access("/usr/bin/fusermount3", X_OK) != 0 && access("/bin/fusermount3", X_OK) != 0) {
    *why = "fusermount3 is missing (Debian package fuse3): the mounted drive tests need it";
    return false;
  }
  return true;
}

#define TESSEL_REQUIRE_FUSE()                                   \
  do {                                                          \
    std::string why_;                                           \
    if (!tessel::test::fuseUsable(&why_)) GTEST_SKIP() << why_; \
  } while (0)

inline bool waitFor(const std::function<bool()> &done, int ms = 30000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// The folder is an active mount point whose helper answers.
inline bool mounted(const std::string &path) {
  struct stat st, up;
  const std::string parent = path.substr(0, path.rfind('/'));
  if (stat(path.c_str(), &st) != 0 || stat(parent.c_str(), &up) != 0 || st.st_dev == up.st_dev)
    return false;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// A mount point whose helper is gone (stat may still answer from the kernel's cache).
inline bool deadMount(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno == ENOTCONN;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd < 0 && errno == ENOTCONN;
}

// Whether any process's command line holds `text`.
inline bool onSomeCommandLine(const std::string &text) {
  RunResult r = runProgram({"sh", "-c", "cat /proc/[0-9]*/cmdline 2>/dev/null | tr '\\0' ' '"});
  return r.out.find(text) != std::string::npos;
}

// One setting of the drive helper's key.
inline void setDriveSetting(const char *name, const std::string &value) {
  HBRef<HBProperties> store;
  ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_TESSELUTILFS, HBPROPERTIES_CREATE, store.out()));
  // Deleting a value that is not there is fine.
  const int32_t rc = store->setProperty(name, value.empty() ? nullptr : value.c_str());
  ASSERT_TRUE(rc == 0 || value.empty());
}

// tesselutilfs, started as the desktop program starts it: "--valtoken -" and the token on its
// standard input, which stays open until closeStdin.
class Helper {
 public:
  Helper() = default;
  ~Helper() { stop(); }
  Helper(const Helper &) = delete;
  Helper &operator=(const Helper &) = delete;

  bool start(const std::vector<std::string> &options, const std::string &token,
             const std::string &errPath) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    std::vector<std::string> args = {binPath("tesselutilfs")};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 0);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int rc = posix_spawn(&m_pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    m_in = fds[0];
    if (rc != 0) {
      m_pid = -1;
      return false;
    }
    const std::string line = token + "\n";
    return send(m_in, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
  }

  pid_t pid() const { return m_pid; }
  void closeStdin() {
    if (m_in >= 0) close(m_in);
    m_in = -1;
  }
  void signal(int sig) {
    if (m_pid > 0) kill(m_pid, sig);
  }
  bool running() {
    if (m_pid <= 0) return false;
    int status;
    if (waitpid(m_pid, &status, WNOHANG) == 0) return true;
    m_status = status;
    m_pid = -1;
    return false;
  }
  // The exit code once it ended (bounded wait), or -1.
  int waitExit(int ms = 20000) {
    waitFor([&] { return !running(); }, ms);
    if (m_pid > 0) return -1;
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
  }
  // Sends the quit message 1124 to its control endpoint.
  bool quit() {
    const std::string path =
        tfsctl__runtimeDir() + "/" TFS_CONTROL_CLASS "-" + std::to_string(m_pid);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    TFSMessage m;
    m.msg = TFS_MSG_MOUNT_QUIT;
    const std::string bytes = tfsctl__encode(m);
    const bool ok =
        connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok;
  }
  void stop() {
    closeStdin();
    if (m_pid > 0 && waitExit(10000) < 0 && m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
      m_pid = -1;
    }
  }

 private:
  pid_t m_pid = -1;
  int m_status = 0;
  int m_in = -1;
};

// Stands in for the desktop program's control socket and collects the copy-data notices.
class ProgramSocket {
 public:
  ProgramSocket() {
    const std::string path = tfsctl__runtimeDir() + "/" TFS_PROGRAM_CLASS;
    unlink(path.c_str());
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(m_fd, 8) != 0) {
      close(m_fd);
      m_fd = -1;
    }
    m_path = path;
  }
  ~ProgramSocket() {
    if (m_fd >= 0) close(m_fd);
    unlink(m_path.c_str());
  }
  // The next copy-data text within `ms`, "" when none came.
  std::string nextNotice(int ms) {
    pollfd p{m_fd, POLLIN, 0};
    if (m_fd < 0 || poll(&p, 1, ms) <= 0) return "";
    const int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    std::string bytes;
    char buf[512];
    for (ssize_t n; (n = read(c, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
    close(c);
    TFSMessage m;
    if (tfsctl__parse(bytes.data(), bytes.size(), &m) <= 0 || m.msg != TFS_MSG_COPYDATA ||
        m.wParam != 1)
      return "<not a notice>";
    return m.data;
  }

 private:
  int m_fd = -1;
  std::string m_path;
};

}  // namespace tessel::test
