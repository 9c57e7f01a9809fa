// The drive helper's control endpoint, its watch on standard input, and its notice to the program.
#include "tfsctl.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "brlog.h"
#include "hbuserdirs.h"

namespace {

constexpr const char *kTag = "TFSCTL";
constexpr size_t kHeader = 24;
// A peer silent for this long is dropped.
constexpr int kPeerTimeoutMs = 2000;

struct Header {
  uint32_t msg;
  uint32_t dataSize;
  uint64_t wParam;
  int64_t lParam;
};
static_assert(sizeof(Header) == kHeader, "the program's header is 24 bytes");

bool fillAddress(const std::string &path, sockaddr_un *addr) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool writeAll(int fd, const std::string &bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

long tfsctl__parse(const char *buf, size_t len, TFSMessage *out) {
  if (len < kHeader) return 0;
  Header h;
  memcpy(&h, buf, kHeader);
  if (h.dataSize > TFS_MAX_DATA) return -1;
  if (len - kHeader < h.dataSize) return 0;
  out->msg = h.msg;
  out->wParam = h.wParam;
  out->lParam = h.lParam;
  out->data.assign(buf + kHeader, h.dataSize);
  return static_cast<long>(kHeader + h.dataSize);
}

std::string tfsctl__encode(const TFSMessage &m) {
  const Header h{m.msg, static_cast<uint32_t>(m.data.size()), m.wParam, m.lParam};
  std::string out(kHeader, '\0');
  memcpy(out.data(), &h, kHeader);
  return out + m.data;
}

std::string tfsctl__runtimeDir() {
  return hbuserdirs__runtimeDir();
}

int32_t tfsctl__notifyUnavailable(const std::string &name, const std::string &service,
                                  const std::string &device) {
  const std::string dir = tfsctl__runtimeDir();
  sockaddr_un addr;
  if (dir.empty() || !fillAddress(dir + "/" TFS_PROGRAM_CLASS, &addr)) return BR_ENOENT;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return BR_EIO;
  int32_t rc = BR_OK;
  while (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    if (errno == EINTR) continue;
    rc = errno == ENOENT || errno == ECONNREFUSED ? BR_ENOENT : BR_EIO;
    break;
  }
  TFSMessage m;
  m.msg = TFS_MSG_COPYDATA;
  m.wParam = 1;
  m.data = name + "::" + service + "::" + device;
  if (m.data.size() > TFS_MAX_DATA) m.data.resize(TFS_MAX_DATA);
  if (rc == 0 && !writeAll(fd, tfsctl__encode(m))) rc = BR_EIO;
  close(fd);
  brlog(kTag, rc == 0 ? BRLOG_INFO : BRLOG_WARNING, "Drive-not-available notice for [%s][%s]: %d\n",
        device.c_str(), service.c_str(), rc);
  return rc;
}

int32_t TFSControl::start(bool watchStdin) {
  const std::string dir = tfsctl__runtimeDir();
  m_path = dir + "/" TFS_CONTROL_CLASS "-" + std::to_string(getpid());
  sockaddr_un addr;
  if (dir.empty() || !fillAddress(m_path, &addr)) return BR_EIO;
  m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_listen < 0 || pipe2(m_wake, O_CLOEXEC) != 0) return BR_EIO;
  unlink(m_path.c_str());
  // Made private before anyone can connect.
  const mode_t old = umask(0177);
  const int bound = bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  umask(old);
  if (bound != 0 || listen(m_listen, 8) != 0) {
    brlog(kTag, BRLOG_ERROR, "Cannot listen on %s (errno %d)\n", m_path.c_str(), errno);
    return BR_EIO;
  }
  // The thread takes no signals: they belong to the file system's loop.
  sigset_t all, old_mask;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old_mask);
  m_thread = std::thread([this, watchStdin] { run(watchStdin); });
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return BR_OK;
}

void TFSControl::stop() {
  if (m_thread.joinable()) {
    const char b = 1;
    if (write(m_wake[1], &b, 1) < 0) {
    }
    m_thread.join();
  }
  if (m_listen >= 0) {
    close(m_listen);
    m_listen = -1;
    unlink(m_path.c_str());
  }
  for (int &fd : m_wake)
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
}

void TFSControl::fire(const char *why) {
  if (m_fired) return;
  m_fired = true;
  brlog(kTag, BRLOG_INFO, "Told to unmount: %s\n", why);
  m_quit(why);
}

void TFSControl::run(bool watchStdin) {
  struct Peer {
    int fd;
    std::string buf;
    int idleMs;
  };
  std::vector<Peer> peers;
  bool stdinOpen = watchStdin;
  for (;;) {
    std::vector<pollfd> fds = {{m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
    if (stdinOpen) fds.push_back({STDIN_FILENO, POLLIN, 0});
    const size_t firstPeer = fds.size();
    for (const Peer &p : peers) fds.push_back({p.fd, POLLIN, 0});
    // Peers accepted below wait for the next poll.
    const size_t polled = peers.size();
    const int n = poll(fds.data(), fds.size(), 250);
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      const int c = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      ucred cred{};
      socklen_t len = sizeof cred;
      if (c >= 0 &&
          (getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != getuid())) {
        brlog(kTag, BRLOG_WARNING, "Refused a control connection of user %u\n", cred.uid);
        close(c);
      } else if (c >= 0 && peers.size() >= 16) {
        close(c);
      } else if (c >= 0) {
        peers.push_back({c, std::string(), 0});
      }
    }
    if (stdinOpen && fds[2].revents) {
      char b[256];
      const ssize_t r = read(STDIN_FILENO, b, sizeof b);
      if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) {
        stdinOpen = false;
        fire("its standard input ended (the program that started it is gone)");
      }
    }
    for (size_t i = polled; i-- > 0;) {
      Peer &p = peers[i];
      bool drop = false;
      if (fds[firstPeer + i].revents) {
        char b[4096];
        const ssize_t r = read(p.fd, b, sizeof b);
        if (r > 0) {
          p.buf.append(b, static_cast<size_t>(r));
          p.idleMs = 0;
        } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
          drop = true;
        }
        TFSMessage m;
        long used;
        while ((used = tfsctl__parse(p.buf.data(), p.buf.size(), &m)) > 0) {
          p.buf.erase(0, static_cast<size_t>(used));
          if (m.msg == TFS_MSG_MOUNT_QUIT)
            fire("message 1124");
          else
            brlog(kTag, BRLOG_VERBOSE, "Control message %u ignored\n", m.msg);
        }
        if (used < 0) drop = true;
      } else if ((p.idleMs += 250) > kPeerTimeoutMs) {
        drop = true;
      }
      if (drop) {
        close(p.fd);
        peers.erase(peers.begin() + static_cast<long>(i));
      }
    }
  }
  for (const Peer &p : peers) close(p.fd);
}
