// POSIX sockets: IPv4 over BSD sockets, local pipes over Unix domain stream sockets in
// $XDG_RUNTIME_DIR (mode 0660). Pipe descriptors stay non-blocking at the OS level; a blocking
// pipe operation waits with poll, which keeps the pipe rules (a 4096-byte read buffer, writes
// always completed, -2 for a non-blocking receive with nothing there) in one place.
#include <arpa/inet.h>
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "brlog.h"
#include "brsocket_int.h"
#include "brthread.h"
#include "hbstr.h"

namespace {

// errno of an IPv4 operation as a result code (the original's Winsock mapping, plus refused
// and unreachable peers as "No Connection").
int32_t mapInetErrno(int e) {
  switch (e) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ETIMEDOUT:
      return BR_ETIMEDOUT;
    case EINTR:
      return BR_EINTR;
    case ECONNABORTED:
      return BR_ECONNABORTED;
    case ECONNRESET:
    case EPIPE:
      return BR_ECONNRESET;
    case ENOTCONN:
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
      return BR_ENOCONN;
    default:
      return BR_EUNSPEC;
  }
}

// errno of a pipe operation, mapped as the original's pipe errors.
int32_t mapPipeErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:  // a socket file with no server behind it: no such pipe
      return BR_ENOENT;
    case EACCES:
    case EPERM:
      return BR_ENOTAUTH;
    case ENOTCONN:
      return BR_ENOCONN;
    case EPIPE:
    case ECONNRESET:
      return BR_ECONNRESET;
    case EAGAIN:
      return BR_EAGAIN;
    case EINTR:
      return BR_EINTR;
    default:
      return BR_EUNSPEC;
  }
}

bool wouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

brsocket_rec *newRecord(uint16_t family) {
  brsocket_rec *s = new (std::nothrow) brsocket_rec;
  if (!s) return nullptr;
  memset(s, 0, sizeof(*s));
  s->family = family;
  s->fd = -1;
  return s;
}

bool setNonBlocking(int fd, bool on) {
  const int fl = fcntl(fd, F_GETFL);
  if (fl < 0) return false;
  return fcntl(fd, F_SETFL, on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK)) == 0;
}

void fillAddrLen(int32_t *len) {
  if (len) *len = BRSOCKADDR_LEN;
}

// Waits for `events` on `fd`; `ms` < 0 waits for ever. Returns poll's revents, 0 on time-out, -1
// on failure.
// A wait the thread's cancel check gives up fails with errno EINTR (a look without waiting, `ms`
// 0, does not ask it).
int waitFd(int fd, short events, int32_t ms) {
  const int64_t deadline = ms < 0 ? 0 : brtime__ticks() + ms;
  for (;;) {
    if (ms != 0 && brsocket__cancelled()) {
      errno = EINTR;
      return -1;
    }
    struct pollfd p = {fd, events, 0};
    int wait = ms < 0 ? -1 : static_cast<int>(deadline - brtime__ticks());
    if (ms >= 0 && wait < 0) wait = 0;
    const int rc = ::poll(&p, 1, wait);
    if (rc > 0) return p.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// ---------------------------------------------------------------------------------------------
// IPv4

int32_t inetClose(brsocket_t s) {
  brlog(BRSOCK_TAG, BRLOG_VERBOSE4, "CLOSING SOCKET %p\n", static_cast<void *>(s));
  if (s->fd >= 0) ::close(s->fd);
  delete s;
  return BR_OK;
}

int32_t inetBind(brsocket_t s, const brsockaddr *addr, int32_t) {
  sockaddr_in sin;
  int32_t len = 0;
  if (addr->family != BRSOCK_AF_INET) return BR_EINVAL;
  brsocket_brsockaddr_to_nsa(addr, &sin, &len);
  if (::bind(s->fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0) {
    const int e = errno;
    const int32_t rc = mapInetErrno(e);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to bind: %lu %d!\n", (unsigned long)e, rc);
    return rc;
  }
  return BR_OK;
}

int32_t inetListen(brsocket_t s, int32_t backlog) {
  if (::listen(s->fd, backlog) != 0) {
    const int e = errno;
    const int32_t rc = mapInetErrno(e);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to listen: %lu %d!\n", (unsigned long)e, rc);
    return rc;
  }
  return BR_OK;
}

brsocket_t inetAccept(brsocket_t s, brsockaddr *addr, int32_t *addrlen) {
  sockaddr_in sin;
  socklen_t len = sizeof(sin);
  int fd;
  do {
    fd = ::accept4(s->fd, reinterpret_cast<sockaddr *>(&sin), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int e = errno;
    if (!wouldBlock(e))
      brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to accept: %lu %d!\n", (unsigned long)e,
            mapInetErrno(e));
    return nullptr;
  }
  brsocket_rec *n = newRecord(BRSOCK_AF_INET);
  if (!n) {
    ::close(fd);
    return nullptr;
  }
  n->fd = fd;
  if (addr) {
    if (brsocket_sockaddr_to_brsockaddr(reinterpret_cast<sockaddr *>(&sin), addr) < 0)
      memset(addr, 0, sizeof(*addr));
  }
  fillAddrLen(addrlen);
  return n;
}

int32_t inetConnect(brsocket_t s, const brsockaddr *addr, int32_t) {
  if (addr->family != BRSOCK_AF_INET) return BR_EINVAL;
  sockaddr_in sin;
  int32_t len = 0;
  brsocket_brsockaddr_to_nsa(addr, &sin, &len);
  int rc;
  do {
    rc = ::connect(s->fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int e = errno;
    if (e == EINPROGRESS || wouldBlock(e)) return BR_OK;
    const int32_t mapped = mapInetErrno(e);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to connect: %lu %d!\n", (unsigned long)e, mapped);
    return mapped;
  }
  return BR_OK;
}

int32_t inetWaitConnect(brsocket_t s, int32_t ms) {
  if (ms < 0) return BR_OK;
  const int ev = waitFd(s->fd, POLLOUT, ms);
  if (ev == 0) return BR_ETIMEDOUT;
  if (ev < 0) return mapInetErrno(errno);
  // A refused or unreachable connect also makes the socket writable: report its failure.
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) {
    const int32_t mapped = mapInetErrno(err);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to connect: %lu %d!\n", (unsigned long)err, mapped);
    return mapped;
  }
  return BR_OK;
}

int nativeFlags(int32_t flags) { return (flags & (MSG_OOB | MSG_PEEK)) | MSG_NOSIGNAL; }

int32_t inetSend(brsocket_t s, const void *data, int32_t len, int32_t flags) {
  ssize_t n;
  do {
    n = ::send(s->fd, data, static_cast<size_t>(len), nativeFlags(flags));
  } while (n < 0 && errno == EINTR && !brsocket__cancelled());
  if (n < 0) {
    const int e = errno;
    const int32_t rc = mapInetErrno(e);
    if (!wouldBlock(e))
      brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to send(%u,%u,0x%x): %lu %d\n", (unsigned)s->fd,
            (unsigned)len, (unsigned)flags, (unsigned long)e, rc);
    return rc;
  }
  return static_cast<int32_t>(n);
}

int32_t inetSendto(brsocket_t s, const void *data, int32_t len, int32_t flags,
                   const brsockaddr *to, int32_t) {
  sockaddr_in sin;
  const sockaddr *dst = nullptr;
  socklen_t dlen = 0;
  if (to && to->family == BRSOCK_AF_INET) {
    int32_t l = 0;
    brsocket_brsockaddr_to_nsa(to, &sin, &l);
    dst = reinterpret_cast<sockaddr *>(&sin);
    dlen = sizeof(sin);
  }
  ssize_t n;
  do {
    n = ::sendto(s->fd, data, static_cast<size_t>(len), nativeFlags(flags), dst, dlen);
  } while (n < 0 && errno == EINTR && !brsocket__cancelled());
  if (n < 0) {
    const int e = errno;
    const int32_t rc = mapInetErrno(e);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to sendto: %lu %d!\n", (unsigned long)e, rc);
    return rc;
  }
  return static_cast<int32_t>(n);
}

int32_t inetRecv(brsocket_t s, void *buf, int32_t len, int32_t flags) {
  ssize_t n;
  do {
    n = ::recv(s->fd, buf, static_cast<size_t>(len), flags & (MSG_OOB | MSG_PEEK));
  } while (n < 0 && errno == EINTR && !brsocket__cancelled());
  if (n < 0) {
    const int e = errno;
    const int32_t rc = mapInetErrno(e);
    if (!wouldBlock(e))
      brlog(BRSOCK_TAG, BRLOG_WARNING, "Failed to recv(%u,%u,0x%x): %lu %d\n", (unsigned)s->fd,
            (unsigned)len, (unsigned)flags, (unsigned long)e, rc);
    return rc;
  }
  return static_cast<int32_t>(n);
}

int32_t inetRecvfrom(brsocket_t s, void *buf, int32_t len, int32_t flags, brsockaddr *from,
                     int32_t *fromlen) {
  sockaddr_in sin;
  socklen_t slen = sizeof(sin);
  memset(&sin, 0, sizeof(sin));
  ssize_t n;
  do {
    n = ::recvfrom(s->fd, buf, static_cast<size_t>(len), flags & (MSG_OOB | MSG_PEEK),
                   reinterpret_cast<sockaddr *>(&sin), &slen);
  } while (n < 0 && errno == EINTR && !brsocket__cancelled());
  if (n < 0) {
    const int e = errno;
    const int32_t rc = mapInetErrno(e);
    if (!wouldBlock(e))
      brlog(BRSOCK_TAG, BRLOG_WARNING, "Failed to recvfrom: %lu %d!\n", (unsigned long)e, rc);
    return rc;
  }
  if (from) {
    if (sin.sin_family != AF_INET ||
        brsocket_sockaddr_to_brsockaddr(reinterpret_cast<sockaddr *>(&sin), from) < 0)
      memset(from, 0, sizeof(*from));
  }
  fillAddrLen(fromlen);
  return static_cast<int32_t>(n);
}

void dumpVectors(const brsocket_iovec *vec, int32_t count) {
  if (!brlog__enabled(BRLOG_DEBUG3)) return;
  for (int32_t i = 0; i < count; ++i)
    brstr__hexdump("WRITEV", BRLOG_DEBUG3, vec[i].base, static_cast<int32_t>(vec[i].len));
}

int32_t inetWritev(brsocket_t s, const brsocket_iovec *vec, int32_t count) {
  brlog("WRITEV", BRLOG_DEBUG3, "Entering brsocket_write with %d vectors (mode %d):\n", count,
        (fcntl(s->fd, F_GETFL) & O_NONBLOCK) ? 1 : 0);
  dumpVectors(vec, count);
  uint64_t total = 0;
  for (int32_t i = 0; i < count; ++i) total += vec[i].len;
  int32_t result = 0;
  if (total <= 4096) {
    char buf[4096];
    size_t off = 0;
    for (int32_t i = 0; i < count; ++i) {
      if (vec[i].len) memcpy(buf + off, vec[i].base, vec[i].len);
      off += vec[i].len;
    }
    if (brlog__enabled(BRLOG_DEBUG3)) brstr__hexdump("WRITEV", BRLOG_DEBUG3, buf, (int32_t)off);
    ssize_t n;
    do {
      n = ::send(s->fd, buf, off, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR && !brsocket__cancelled());
    if (n < 0) {
      const int e = errno;
      result = mapInetErrno(e);
      brlog(BRSOCK_TAG, BRLOG_ERROR, "Send failed: %lu %d!\n", (unsigned long)e, result);
    } else {
      result = static_cast<int32_t>(n);
    }
  } else {
    int64_t sent = 0;
    for (int32_t i = 0; i < count; ++i) {
      if (vec[i].len == 0) continue;
      // A single vector above 2 GB would not fit the result; send at most that much of it.
      const size_t want = vec[i].len > 0x7FFFFFFFu - static_cast<size_t>(sent)
                              ? 0x7FFFFFFFu - static_cast<size_t>(sent)
                              : vec[i].len;
      ssize_t n;
      do {
        n = ::send(s->fd, vec[i].base, want, MSG_NOSIGNAL);
      } while (n < 0 && errno == EINTR && !brsocket__cancelled());
      if (n < 0) {
        const int e = errno;
        if (sent > 0) {
          brlog(BRSOCK_TAG, BRLOG_VERBOSE2, "Send failed, partial write: %ld\n", (long)sent);
          break;
        }
        if (wouldBlock(e)) {
          brlog(BRSOCK_TAG, BRLOG_ERROR, "Send failed, would've blocked: %ld\n", (long)sent);
          result = BR_ETIMEDOUT;
        } else {
          result = mapInetErrno(e);
          brlog(BRSOCK_TAG, BRLOG_ERROR, "Send failed: %lu %d\n", (unsigned long)e, result);
        }
        sent = -1;
        break;
      }
      sent += n;
      if (static_cast<size_t>(n) < vec[i].len) {
        brlog(BRSOCK_TAG, BRLOG_VERBOSE, "Short write in simulated writev (%d): %ld != %ld\n", i,
              (long)n, (long)vec[i].len);
        break;
      }
      if (sent >= 0x7FFFFFFF) break;
    }
    if (sent >= 0) result = static_cast<int32_t>(sent);
  }
  brlog("WRITEV", BRLOG_DEBUG3, "Leaving brsocket_write with %d bytes\n", result);
  return result;
}

// getsockname or getpeername (`what` names it in the failure line).
int32_t inetName(brsocket_t s, int (*query)(int, sockaddr *, socklen_t *), const char *what,
                 brsockaddr *addr, int32_t *addrlen) {
  sockaddr_in sin;
  socklen_t len = sizeof(sin);
  if (query(s->fd, reinterpret_cast<sockaddr *>(&sin), &len) != 0) {
    const int e = errno;
    const int32_t rc = mapInetErrno(e);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to %s: %lu %d!\n", what, (unsigned long)e, rc);
    return rc;
  }
  fillAddrLen(addrlen);
  return brsocket_sockaddr_to_brsockaddr(reinterpret_cast<sockaddr *>(&sin), addr);
}

int32_t inetGetsockname(brsocket_t s, brsockaddr *addr, int32_t *addrlen) {
  return inetName(s, ::getsockname, "getsockname", addr, addrlen);
}

int32_t inetGetpeername(brsocket_t s, brsockaddr *addr, int32_t *addrlen) {
  return inetName(s, ::getpeername, "getpeername", addr, addrlen);
}

// The accepted option table, translated to native levels and names; false outside it.
bool nativeOption(int32_t level, int32_t option, int *nlevel, int *nopt) {
  switch (level) {
    case BRSOL_IP:
      *nlevel = IPPROTO_IP;
      switch (option) {
        case 9: *nopt = IP_MULTICAST_IF; return true;
        case 10: *nopt = IP_MULTICAST_TTL; return true;
        case 11: *nopt = IP_MULTICAST_LOOP; return true;
        case 12: *nopt = IP_ADD_MEMBERSHIP; return true;
        case 13: *nopt = IP_DROP_MEMBERSHIP; return true;
        // Receiving the interface (24) and the destination address (25) both come with the
        // packet information here.
        case 19:
        case 24:
        case 25: *nopt = IP_PKTINFO; return true;
        default: return false;
      }
    case BRSOL_TCP:
      *nlevel = IPPROTO_TCP;
      if (option == BRSO_TCP_NODELAY) {
        *nopt = TCP_NODELAY;
        return true;
      }
      return false;
    case BRSOL_SOCKET:
      *nlevel = SOL_SOCKET;
      switch (option) {
        case BRSO_REUSEADDR: *nopt = SO_REUSEADDR; return true;
        case BRSO_SNDBUF: *nopt = SO_SNDBUF; return true;
        case BRSO_RCVBUF: *nopt = SO_RCVBUF; return true;
        default: return false;
      }
    default:
      return false;
  }
}

int32_t inetGetsockopt(brsocket_t s, int32_t level, int32_t option, void *value,
                       int32_t *optlen) {
  int nlevel = 0, nopt = 0;
  if (!nativeOption(level, option, &nlevel, &nopt) || *optlen < 0) return BR_ENOENT;
  socklen_t len = static_cast<socklen_t>(*optlen);
  if (::getsockopt(s->fd, nlevel, nopt, value, &len) != 0) {
    const int e = errno;
    const int32_t rc = mapInetErrno(e);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to getsockopt(0x%x, 0x%x): %lu %d!\n",
          (unsigned)level, (unsigned)option, (unsigned long)e, rc);
    return rc;
  }
  *optlen = static_cast<int32_t>(len);
  return BR_OK;
}

int32_t inetSetsockopt(brsocket_t s, int32_t level, int32_t option, const void *value,
                       int32_t optlen) {
  if (level == BRSOL_SOCKET && option == BRSO_NONBLOCK) {
    if (optlen < 4) return BR_EINVAL;
    int32_t on;
    memcpy(&on, value, 4);
    if (!setNonBlocking(s->fd, on != 0)) {
      const int e = errno;
      const int32_t rc = mapInetErrno(e);
      brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to ioctlsocket(FIONBIO, 0x%x): %lu %d!\n",
            (unsigned)on, (unsigned long)e, rc);
      return rc;
    }
    return BR_OK;
  }
  int nlevel = 0, nopt = 0;
  if (!nativeOption(level, option, &nlevel, &nopt)) return BR_ENOENT;
  if (::setsockopt(s->fd, nlevel, nopt, value, static_cast<socklen_t>(optlen)) != 0) {
    const int e = errno;
    const int32_t rc = mapInetErrno(e);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to setsockopt(0x%x, 0x%x): %lu %d!\n",
          (unsigned)level, (unsigned)option, (unsigned long)e, rc);
    return rc;
  }
  return BR_OK;
}

// ---------------------------------------------------------------------------------------------
// Local pipes

bool pipePending(brsocket_t s) {
  if (s->fd < 0) return false;
  if (s->flags & BRSOCK_FLAG_BOUND) return true;
  return (s->flags & BRSOCK_FLAG_CONNECTED) && s->available == 0;
}

int32_t pipeClose(brsocket_t s) {
  brlog(BRSOCK_TAG, BRLOG_DEBUG, "NP: Closing Socket -> %p\n", static_cast<void *>(s));
  if (s->fd >= 0) {
    if ((s->flags & BRSOCK_FLAG_BOUND) && s->boundIno) {
      char path[sizeof(sockaddr_un::sun_path)];
      struct stat st;
      // Remove the socket file only while it is still the one this server made.
      if (brsocket_pipePath(s->local.name(), path, sizeof(path)) && stat(path, &st) == 0 &&
          static_cast<uint64_t>(st.st_ino) == s->boundIno)
        unlink(path);
    }
    ::close(s->fd);
  }
  delete s;
  return BR_OK;
}

bool pipeSockaddr(const brsockaddr *addr, sockaddr_un *sun) {
  memset(sun, 0, sizeof(*sun));
  sun->sun_family = AF_UNIX;
  char name[BRSOCK_PIPE_NAME_MAX + 1];
  memcpy(name, addr->name(), BRSOCK_PIPE_NAME_MAX);
  name[BRSOCK_PIPE_NAME_MAX] = '\0';
  return brsocket_pipePath(name, sun->sun_path, sizeof(sun->sun_path));
}

// Whether a process still serves the socket file `path`. The kernel's table of Unix sockets
// answers without connecting, which would leave a stray client in the live server's queue.
bool pipeInUse(const char *path) {
  FILE *f = fopen("/proc/net/unix", "re");
  if (!f) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun;
    memset(&sun, 0, sizeof(sun));
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path);
    const bool live =
        probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) == 0;
    if (probe >= 0) ::close(probe);
    return live;
  }
  char line[512];
  const size_t plen = strlen(path);
  bool live = false;
  while (!live && fgets(line, sizeof(line), f)) {
    size_t n = strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == ' ')) line[--n] = '\0';
    live = n > plen && line[n - plen - 1] == ' ' && strcmp(line + n - plen, path) == 0;
  }
  fclose(f);
  return live;
}

int32_t pipeBind(brsocket_t s, const brsockaddr *addr, int32_t) {
  brlog(BRSOCK_TAG, BRLOG_DEBUG, "NP: Binding Socket %p\n", static_cast<void *>(s));
  if (s->fd >= 0 || (s->flags & (BRSOCK_FLAG_BOUND | BRSOCK_FLAG_CONNECTED)))
    return BR_EBADSTATE;
  if (addr->family != BRSOCK_AF_LOCAL) return BR_EINVAL;
  sockaddr_un sun;
  if (!pipeSockaddr(addr, &sun)) return BR_EINVAL;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    const int e = errno;
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to create pipe server: %d!\n", e);
    return mapPipeErrno(e);
  }
  // A pipe name belongs to its first server: a live server keeps it, a stale file is replaced.
  struct stat st;
  if (lstat(sun.sun_path, &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      ::close(fd);
      brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to create pipe server: %d!\n", EEXIST);
      return BR_ENOTAUTH;
    }
    if (pipeInUse(sun.sun_path)) {
      ::close(fd);
      brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to create pipe server: %d!\n", EADDRINUSE);
      return BR_ENOTAUTH;
    }
    unlink(sun.sun_path);
  }
  if (::bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0 ||
      chmod(sun.sun_path, 0660) != 0 || ::listen(fd, 255) != 0) {
    const int e = errno;
    ::close(fd);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to create pipe server: %d!\n", e);
    return mapPipeErrno(e);
  }
  s->fd = fd;
  s->local = *addr;
  s->local.name()[BRSOCK_PIPE_NAME_MAX] = '\0';
  s->boundIno = stat(sun.sun_path, &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
  s->flags |= BRSOCK_FLAG_BOUND | BRSOCK_FLAG_PENDING;
  return BR_OK;
}

int32_t pipeListen(brsocket_t, int32_t) { return BR_OK; }

// Reads what the pipe has into the record's buffer, waiting only in blocking mode.
int32_t pipeFill(brsocket_t s) {
  for (;;) {
    const ssize_t n = ::recv(s->fd, s->buffer + s->available,
                             sizeof(s->buffer) - s->available, MSG_DONTWAIT);
    if (n > 0) {
      s->available += static_cast<uint32_t>(n);
      s->flags &= ~BRSOCK_FLAG_PENDING;
      return BR_OK;
    }
    if (n == 0) return BR_ENOCONN;  // the other end closed: a broken pipe
    const int e = errno;
    if (e == EINTR) continue;
    if (wouldBlock(e)) {
      s->flags |= BRSOCK_FLAG_PENDING;
      if (s->flags & BRSOCK_FLAG_NONBLOCK) return BR_EAGAIN;
      if (waitFd(s->fd, POLLIN, -1) < 0) return mapPipeErrno(errno);
      continue;
    }
    if (e != EPIPE && e != ECONNRESET)
      brlog(BRSOCK_TAG, BRLOG_ERROR, "RECV: Failed Completion %p %d\n", static_cast<void *>(s),
            e);
    return e == ECONNRESET ? BR_ENOCONN : mapPipeErrno(e);
  }
}

brsocket_t pipeAccept(brsocket_t s, brsockaddr *addr, int32_t *addrlen) {
  if (s->fd < 0 || !(s->flags & BRSOCK_FLAG_BOUND)) return nullptr;
  int fd;
  for (;;) {
    fd = ::accept4(s->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) break;
    const int e = errno;
    if (e == EINTR) continue;
    if (wouldBlock(e)) {
      if (s->flags & BRSOCK_FLAG_NONBLOCK) return nullptr;
      if (waitFd(s->fd, POLLIN, -1) >= 0) continue;
    }
    brlog(BRSOCK_TAG, BRLOG_ERROR, "ACCEPT: Failed Completion %p %d\n", static_cast<void *>(s),
          e);
    return nullptr;
  }
  brsocket_rec *n = newRecord(BRSOCK_AF_LOCAL);
  if (!n) {
    ::close(fd);
    return nullptr;
  }
  brlog(BRSOCK_TAG, BRLOG_DEBUG, "NP: New Socket -> %p\n", static_cast<void *>(n));
  n->fd = fd;
  n->local = s->local;
  n->flags = BRSOCK_FLAG_CONNECTED | BRSOCK_FLAG_PENDING;
  if (addr) *addr = s->local;
  fillAddrLen(addrlen);
  return n;
}

int32_t pipeConnect(brsocket_t s, const brsockaddr *addr, int32_t) {
  if (s->fd >= 0 || (s->flags & (BRSOCK_FLAG_BOUND | BRSOCK_FLAG_CONNECTED)))
    return BR_EBADSTATE;
  if (addr->family != BRSOCK_AF_LOCAL) return BR_EINVAL;
  sockaddr_un sun;
  if (!pipeSockaddr(addr, &sun)) return BR_EINVAL;
  s->flags |= BRSOCK_FLAG_CONNECTED;
  s->local = *addr;
  s->local.name()[BRSOCK_PIPE_NAME_MAX] = '\0';
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int rc = fd < 0 ? -1 : 0;
  if (rc == 0) {
    do {
      rc = ::connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun));
    } while (rc != 0 && errno == EINTR);
  }
  if (rc != 0 || !setNonBlocking(fd, true)) {
    const int e = errno;
    if (fd >= 0) ::close(fd);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to create pipe client: %d\n", e);
    return e == EAGAIN ? BR_EUNSPEC : mapPipeErrno(e);
  }
  s->fd = fd;
  s->flags |= BRSOCK_FLAG_PENDING;
  return BR_OK;
}

int32_t pipeWaitConnect(brsocket_t, int32_t) { return BR_OK; }

int32_t pipeSend(brsocket_t s, const void *data, int32_t len, int32_t) {
  if (s->fd < 0 || !(s->flags & BRSOCK_FLAG_CONNECTED)) return BR_ENOCONN;
  const char *p = static_cast<const char *>(data);
  int32_t done = 0;
  while (done < len) {
    const ssize_t n = ::send(s->fd, p + done, static_cast<size_t>(len - done), MSG_NOSIGNAL);
    if (n >= 0) {
      done += static_cast<int32_t>(n);
      continue;
    }
    const int e = errno;
    if (e == EINTR) continue;
    if (wouldBlock(e)) {
      if (waitFd(s->fd, POLLOUT, -1) >= 0) continue;
      brlog(BRSOCK_TAG, BRLOG_ERROR, "SEND: Failed Completion %p %d\n", static_cast<void *>(s),
            errno);
      return mapPipeErrno(errno);
    }
    brlog(BRSOCK_TAG, BRLOG_ERROR, "SEND: failed to write to named pipe: %d\n", e);
    return mapPipeErrno(e);
  }
  return done;
}

int32_t pipeSendto(brsocket_t s, const void *data, int32_t len, int32_t flags, const brsockaddr *,
                   int32_t) {
  return pipeSend(s, data, len, flags);
}

int32_t pipeRecv(brsocket_t s, void *buf, int32_t len, int32_t) {
  if (s->fd < 0 || !(s->flags & BRSOCK_FLAG_CONNECTED)) return BR_ENOCONN;
  if (len == 0) return 0;
  if (s->available == 0) {
    const int32_t rc = pipeFill(s);
    if (rc < 0) return rc;
  }
  const uint32_t n = s->available < static_cast<uint32_t>(len) ? s->available
                                                                 : static_cast<uint32_t>(len);
  memcpy(buf, s->buffer, n);
  memmove(s->buffer, s->buffer + n, s->available - n);
  s->available -= n;
  if (s->available == 0) s->flags |= BRSOCK_FLAG_PENDING;
  return static_cast<int32_t>(n);
}

int32_t pipeRecvfrom(brsocket_t s, void *buf, int32_t len, int32_t flags, brsockaddr *from,
                     int32_t *fromlen) {
  const int32_t rc = pipeRecv(s, buf, len, flags);
  if (rc >= 0 && from) *from = s->local;
  if (rc >= 0) fillAddrLen(fromlen);
  return rc;
}

int32_t pipeWritev(brsocket_t s, const brsocket_iovec *vec, int32_t count) {
  int64_t total = 0;
  for (int32_t i = 0; i < count; ++i) {
    const char *p = static_cast<const char *>(vec[i].base);
    size_t left = vec[i].len;
    while (left > 0) {
      const int32_t chunk = left > 0x40000000 ? 0x40000000 : static_cast<int32_t>(left);
      const int32_t rc = pipeSend(s, p, chunk, 0);
      if (rc < 0) return total > 0 ? static_cast<int32_t>(total) : rc;
      total += rc;
      p += rc;
      left -= static_cast<size_t>(rc);
      if (total >= 0x7FFFFFFF) return 0x7FFFFFFF;
    }
  }
  return static_cast<int32_t>(total);
}

int32_t pipeGetname(brsocket_t s, brsockaddr *addr, int32_t *addrlen) {
  *addr = s->local;
  fillAddrLen(addrlen);
  return BR_OK;
}

int32_t pipeGetsockopt(brsocket_t s, int32_t level, int32_t option, void *value,
                       int32_t *optlen) {
  if (level == BRSOL_SOCKET && option == BRSO_NONBLOCK) {
    if (*optlen != 4) {
      brlog("ASSERT", BRLOG_ERROR, "%s\n", "*optlen==4");
      brabort("np_brsocket_getsockopt", __LINE__);
    }
    const int32_t v = (s->flags & BRSOCK_FLAG_NONBLOCK) ? 1 : 0;
    memcpy(value, &v, 4);
  }
  return BR_OK;
}

int32_t pipeSetsockopt(brsocket_t s, int32_t level, int32_t option, const void *value,
                       int32_t optlen) {
  if (level == BRSOL_SOCKET && option == BRSO_NONBLOCK && optlen >= 4) {
    int32_t on;
    memcpy(&on, value, 4);
    if (on)
      s->flags |= BRSOCK_FLAG_NONBLOCK;
    else
      s->flags &= ~BRSOCK_FLAG_NONBLOCK;
  }
  return BR_OK;
}

// ---------------------------------------------------------------------------------------------
// Poll

short nativeEvents(uint16_t ev) {
  short n = 0;
  if (ev & (BRPOLL_IN | BRPOLL_PRI | BRPOLL_HUP)) n |= POLLIN | POLLPRI;
  if (ev & BRPOLL_OUT) n |= POLLOUT;
  return n;
}

// Sockets only: a select-style answer for every entry.
int32_t pollSockets(brpollfd *fds, int32_t count, int32_t ms) {
  std::vector<pollfd> p(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    p[i].fd = -1;
    p[i].events = 0;
    p[i].revents = 0;
    if (fds[i].socket->family == BRSOCK_AF_INET) {
      p[i].fd = fds[i].socket->fd;
      p[i].events = nativeEvents(fds[i].events);
      if (fds[i].events & BRPOLL_ERR) p[i].events |= POLLPRI;
    }
  }
  int rc;
  const int64_t deadline = ms < 0 ? 0 : brtime__ticks() + ms;
  for (;;) {
    int wait = ms < 0 ? -1 : static_cast<int>(deadline - brtime__ticks());
    if (ms >= 0 && wait < 0) wait = 0;
    if (ms != 0 && brsocket__cancelled()) return BR_EINTR;
    rc = ::poll(p.data(), static_cast<nfds_t>(count), wait);
    if (rc >= 0 || errno != EINTR) break;
  }
  if (rc == 0) return 0;
  if (rc < 0) {
    const int e = errno;
    const int32_t mapped = mapInetErrno(e);
    brlog(BRSOCK_TAG, BRLOG_ERROR, "select failed: %lu %d!\n", (unsigned long)e, mapped);
    return mapped;
  }
  int32_t n = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (p[i].fd < 0) continue;
    const uint16_t want = fds[i].events;
    const short got = p[i].revents;
    uint16_t r = 0;
    // select reports end of stream and errors as readable (and writable).
    const bool readable = (got & (POLLIN | POLLHUP | POLLERR)) != 0;
    const bool writable = (got & (POLLOUT | POLLERR | POLLHUP)) != 0;
    if ((want & (BRPOLL_IN | BRPOLL_PRI | BRPOLL_HUP)) && readable) r |= BRPOLL_IN | BRPOLL_PRI;
    if ((want & BRPOLL_OUT) && writable) r |= BRPOLL_OUT;
    if ((want & BRPOLL_ERR) && (got & POLLPRI)) r |= BRPOLL_ERR;
    fds[i].revents = r;
    if (r) ++n;
  }
  return n;
}

// Pipes with a pending operation among the entries: the first entry to fire takes all it asked
// for, as a wait on several objects would report it.
int32_t pollMixed(brpollfd *fds, int32_t count, int32_t ms) {
  std::vector<pollfd> p(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    brsocket_t s = fds[i].socket;
    p[i].fd = s->fd;
    p[i].revents = 0;
    p[i].events = s->family == BRSOCK_AF_LOCAL ? POLLIN : nativeEvents(fds[i].events);
    if (s->family == BRSOCK_AF_LOCAL && !pipePending(s)) p[i].fd = -1;
  }
  int rc;
  const int64_t deadline = ms < 0 ? 0 : brtime__ticks() + ms;
  for (;;) {
    int wait = ms < 0 ? -1 : static_cast<int>(deadline - brtime__ticks());
    if (ms >= 0 && wait < 0) wait = 0;
    if (ms != 0 && brsocket__cancelled()) return BR_EINTR;
    rc = ::poll(p.data(), static_cast<nfds_t>(count), wait);
    if (rc >= 0 || errno != EINTR) break;
  }
  if (rc == 0) return 0;
  if (rc < 0) {
    const int e = errno;
    brlog(BRSOCK_TAG, BRLOG_ERROR, "POLL: failed WaitForMultipleObjects: %d!\n", e);
    return mapPipeErrno(e);
  }
  for (int32_t i = 0; i < count; ++i) {
    if (p[i].fd >= 0 && p[i].revents) {
      fds[i].revents = fds[i].events;
      return 1;
    }
  }
  brlog(BRSOCK_TAG, BRLOG_ERROR, "POLL: unexpected WaitForMultipleObjects return: %d!\n", rc);
  return BR_EFAULT;
}

}  // namespace

const brsocket_ops brsocket__inetOps = {
    inetClose,   inetBind,        inetListen,      inetAccept,     inetConnect,
    inetWaitConnect, inetSend,    inetSendto,      inetRecv,       inetRecvfrom,
    inetWritev,  inetGetsockname, inetGetpeername, inetGetsockopt, inetSetsockopt,
};

const brsocket_ops brsocket__pipeOps = {
    pipeClose,   pipeBind,    pipeListen,  pipeAccept,     pipeConnect,
    pipeWaitConnect, pipeSend, pipeSendto, pipeRecv,       pipeRecvfrom,
    pipeWritev,  pipeGetname, pipeGetname, pipeGetsockopt, pipeSetsockopt,
};

brsocket_t brsocket__createInet(int kind, int protocol) {
  const int type = kind == BRSOCK_DGRAM ? SOCK_DGRAM : SOCK_STREAM;
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    const int e = errno;
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to create socket: %lu %d!\n", (unsigned long)e,
          mapInetErrno(e));
    return nullptr;
  }
  brsocket_rec *s = newRecord(BRSOCK_AF_INET);
  if (!s) {
    ::close(fd);
    return nullptr;
  }
  s->fd = fd;
  return s;
}

brsocket_t brsocket__createPipe() {
  brsocket_rec *s = newRecord(BRSOCK_AF_LOCAL);
  if (s) brlog(BRSOCK_TAG, BRLOG_DEBUG, "NP: New Socket -> %p\n", static_cast<void *>(s));
  return s;
}

int32_t brsocket__lookupName(const char *name, uint32_t *addr) {
  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *res = nullptr;
  const int rc = getaddrinfo(name, nullptr, &hints, &res);
  if (rc != 0) {
    const int32_t mapped = rc == EAI_AGAIN ? BR_ETIMEDOUT : BR_EUNSPEC;
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to gethostbyname: %lu %d!\n", (unsigned long)rc,
          mapped);
    return mapped;
  }
  int32_t result = BR_EUNSUPPORTED;
  for (addrinfo *a = res; a; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      *addr = reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr.s_addr;
      result = BR_OK;
      break;
    }
  }
  freeaddrinfo(res);
  return result;
}

int32_t brsocket__pollPlatform(brpollfd *fds, int32_t count, int32_t ms) {
  int32_t pendingPipes = 0;
  for (int32_t i = 0; i < count; ++i) {
    brsocket_t s = fds[i].socket;
    if (!s || s == BRSOCKET_INVALID ||
        (s->family != BRSOCK_AF_INET && s->family != BRSOCK_AF_LOCAL)) {
      brlog(BRSOCK_TAG, BRLOG_WARNING, "POLL: Invalid socket! %p\n", static_cast<void *>(s));
      fds[i].revents = BRPOLL_NVAL;
      return 1;
    }
    if (s->family != BRSOCK_AF_LOCAL) continue;
    if ((fds[i].events & BRPOLL_IN) && s->available > 0) {
      fds[i].revents = BRPOLL_IN;
      return 1;
    }
    if ((fds[i].events & BRPOLL_OUT) && !(fds[i].events & BRPOLL_IN)) {
      fds[i].revents = BRPOLL_OUT;
      return 1;
    }
    if (pipePending(s)) ++pendingPipes;
  }
  if (pendingPipes == 0) return pollSockets(fds, count, ms);
  return pollMixed(fds, count, ms);
}

int32_t brsocket_brsockaddr_to_nsa(const brsockaddr *addr, sockaddr_in *out, int32_t *outlen) {
  if (addr->family == BRSOCK_AF_LOCAL) brabort("brsocket_brsockaddr_to_nsa", __LINE__);
  memset(out, 0, sizeof(*out));
  out->sin_family = AF_INET;
  out->sin_port = addr->port;
  out->sin_addr.s_addr = addr->addr;
  if (outlen) *outlen = 16;
  return BR_OK;
}

int32_t brsocket_sockaddr_to_brsockaddr(const sockaddr *in, brsockaddr *out) {
  if (in->sa_family != AF_INET) {
    brlog(BRSOCK_TAG, BRLOG_ERROR, "Failed to convert sockaddr family %d!\n", in->sa_family);
    return BR_EUNSPEC;
  }
  sockaddr_in sin;
  memcpy(&sin, in, sizeof(sin));
  memset(out, 0, sizeof(*out));
  out->family = BRSOCK_AF_INET;
  out->port = sin.sin_port;
  out->addr = sin.sin_addr.s_addr;
  return BR_OK;
}

bool brsocket_pipePath(const char *name, char *out, size_t size) {
  if (!name || !*name || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
    return false;
  const char *dir = getenv("XDG_RUNTIME_DIR");
  if (!dir || !*dir) dir = "/tmp";
  const int n = snprintf(out, size, "%s/%s", dir, name);
  return n > 0 && static_cast<size_t>(n) < size;
}
