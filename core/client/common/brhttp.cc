// HTTP client connections and the sending half of requests.
#include "brhttp.h"

#include <strings.h>

#include <cctype>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "brhttp_int.h"
#include "brlog.h"
#include "brtls.h"

int32_t (*g_brhttp__writev)(brsocket_t s, const brsocket_iovec *vec,
                            int32_t count) = brsocket_writev;

namespace {

std::mutex g_uaMutex;
std::string g_userAgent;
bool g_userAgentSet = false;

int32_t setBlocking(BRHTTPConnection *c, bool blocking) {
  const int32_t v = blocking ? 0 : 1;
  return brsocket_setsockopt(c->socket, BRSOL_SOCKET, BRSO_NONBLOCK, &v, 4);
}

void enableNoDelay(BRHTTPConnection *c) {
  if (brsocket_family(c->socket) != BRSOCK_AF_INET) return;
  const int32_t one = 1;
  (void)brsocket_setsockopt(c->socket, BRSOL_TCP, BRSO_TCP_NODELAY, &one, 4);
}

// Restores non-blocking mode when a read or write switched the socket to blocking.
struct ReblockGuard {
  BRHTTPConnection *c;
  bool switched = false;
  explicit ReblockGuard(BRHTTPConnection *conn) : c(conn) {}
  ~ReblockGuard() {
    if (switched && c->socket) (void)setBlocking(c, false);
  }
};

int32_t rawRecv(BRHTTPConnection *c, void *buf, int32_t size, bool *wantWrite) {
  *wantWrite = false;
  if (c->tls) return brtls__read(c->tls, buf, size, wantWrite);
  return brsocket_recv(c->socket, buf, size, 0);
}

int32_t rawSend(BRHTTPConnection *c, const void *data, int32_t size, bool *wantRead) {
  *wantRead = false;
  if (c->tls) return brtls__write(c->tls, data, size, wantRead);
  return brsocket_send(c->socket, data, size, 0);
}

// Vectored write over TLS: small totals go as one record, larger ones vector by vector,
// stopping at the first short write, as the plain socket layer does.
int32_t tlsWritev(BRHTTPConnection *c, const brsocket_iovec *vec, int32_t count, bool *wantRead) {
  *wantRead = false;
  size_t total = 0;
  for (int32_t i = 0; i < count; ++i) total += vec[i].len;
  if (total <= 16384) {
    char buf[16384];
    size_t off = 0;
    for (int32_t i = 0; i < count; ++i) {
      if (vec[i].len) memcpy(buf + off, vec[i].base, vec[i].len);
      off += vec[i].len;
    }
    return brtls__write(c->tls, buf, static_cast<int32_t>(off), wantRead);
  }
  int64_t sent = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (!vec[i].len) continue;
    const int32_t want = vec[i].len > 0x40000000 ? 0x40000000 : static_cast<int32_t>(vec[i].len);
    const int32_t n = brtls__write(c->tls, vec[i].base, want, wantRead);
    if (n < 0) return sent > 0 ? static_cast<int32_t>(sent) : n;
    sent += n;
    if (n < static_cast<int32_t>(vec[i].len) || sent >= 0x40000000) break;
  }
  return static_cast<int32_t>(sent);
}

int32_t rawWritev(BRHTTPConnection *c, const brsocket_iovec *vec, int32_t count, bool *wantRead) {
  *wantRead = false;
  if (c->tls) return tlsWritev(c, vec, count, wantRead);
  return g_brhttp__writev(c->socket, vec, count);
}

// An interrupted wait that this thread's cancel check gives up: the connection is not used again.
bool abandoned(BRHTTPConnection *c, const char *what) {
  if (!brsocket__cancelled()) return false;
  c->flags |= BRHTTP_CONN_INTERRUPTED;
  brlog(BRHTTP_TAG, BRLOG_VERBOSE, "%s: the wait was given up (interrupted)\n", what);
  return true;
}

int32_t pollOne(BRHTTPConnection *c, uint16_t events, int32_t ms, uint16_t *revents) {
  brpollfd p = {c->socket, events, 0};
  const int32_t rc = brsocket_poll(&p, 1, ms);
  *revents = p.revents;
  return rc;
}

// Sends all of `data` with the write time-out; a would-block result is retried a few times
// only, so a peer that stopped reading cannot hold the caller for ever.
int32_t sendAll(BRHTTPConnection *c, const char *data, int32_t size) {
  int32_t done = 0;
  int tries = 0;
  while (done < size) {
    const int32_t n = BRHTTPConnection__send(c, data + done, size - done);
    if (n == BR_ETIMEDOUT || n == BR_EAGAIN || n == 0) {
      if (++tries >= 3) return BR_ETIMEDOUT;
      continue;
    }
    if (n < 0) return n;
    done += n;
  }
  return done;
}

// snprintf that is expected to cut long texts.
__attribute__((format(printf, 3, 4))) void fitText(char *dst, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(dst, size, fmt, ap);
  va_end(ap);
}

bool nameIs(const char *a, const char *b) { return strcasecmp(a, b) == 0; }

// Up to 20 decimal digits after white space; false when there is no digit or the value does
// not fit a signed 64-bit length.
bool parseLength(const char *v, int64_t *out) {
  while (*v == ' ' || *v == '\t') ++v;
  if (!isdigit(static_cast<unsigned char>(*v))) return false;
  uint64_t n = 0;
  for (int i = 0; i < 20 && isdigit(static_cast<unsigned char>(*v)); ++i, ++v) {
    const uint64_t d = static_cast<uint64_t>(*v - '0');
    if (n > (static_cast<uint64_t>(INT64_MAX) - d) / 10) return false;
    n = n * 10 + d;
  }
  *out = static_cast<int64_t>(n);
  return true;
}

}  // namespace

// ---- User agent ----

void brhttp__setUserAgent(const char *text) {
  std::lock_guard<std::mutex> lock(g_uaMutex);
  g_userAgentSet = text != nullptr;
  g_userAgent = text ? text : "";
}

size_t brhttp__getUserAgent(char *buf, size_t size) {
  std::lock_guard<std::mutex> lock(g_uaMutex);
  if (buf && size) snprintf(buf, size, "%s", g_userAgent.c_str());
  return g_userAgentSet ? g_userAgent.size() : 0;
}

// ---- Connections ----

int32_t BRHTTPConnection__upref(BRHTTPConnection *c) {
  const int32_t ret = c->refs.fetch_add(1, std::memory_order_relaxed) + 1;
  if (!(ret > 0) || ret > 0x7FFFFFFE) {
    brlog("ASSERT", BRLOG_ERROR, "%s\n", "ret > 0");
    brabort("BRHTTPConnection__upref", __LINE__);
  }
  return ret;
}

static void freeConnection(BRHTTPConnection *c) {
  if (c->tls) brtls__free(c->tls);
  if (c->socket) brsocket_close(c->socket);
  c->~BRHTTPConnection();
  free(c);
}

int32_t BRHTTPConnection__dnref(BRHTTPConnection *c) {
  const int32_t ret = c->refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (!(ret >= 0)) {
    brlog("ASSERT", BRLOG_ERROR, "%s\n", "ret >= 0");
    brabort("BRHTTPConnection__dnref", __LINE__);
  }
  if (ret == 0) freeConnection(c);
  return ret;
}

void BRHTTPConnection__setTimeouts(BRHTTPConnection *c, int32_t connectTimeout,
                                   int32_t readTimeout, int32_t writeTimeout) {
  if (writeTimeout == 0)
    brlog(BRHTTP_TAG, BRLOG_WARNING, "Are you really sure you want a zero write timeout!\n");
  c->connectTimeout = connectTimeout;
  c->readTimeout = readTimeout;
  c->writeTimeout = writeTimeout;
}

void BRHTTPConnection__getTimeouts(const BRHTTPConnection *c, int32_t *connectTimeout,
                                   int32_t *readTimeout, int32_t *writeTimeout) {
  if (connectTimeout) *connectTimeout = c->connectTimeout;
  if (readTimeout) *readTimeout = c->readTimeout;
  if (writeTimeout) *writeTimeout = c->writeTimeout;
}

void BRHTTPConnection__close(BRHTTPConnection *c) {
  if (!c) return;
  if (c->tls) {
    brtls__free(c->tls);
    c->tls = nullptr;
  }
  if (c->socket) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "CLOSING SOCKET...\n");
    brsocket_close(c->socket);
    c->socket = nullptr;
  }
}

int32_t BRHTTPConnection__connect(BRHTTPConnection *c) {
  if (c->socket) {
    brlog(BRHTTP_TAG, BRLOG_WARNING, "RECONNECTING %p\n", static_cast<void *>(c));
    BRHTTPConnection__close(c);
  }
  // A new socket owes nothing to a wait given up on the old one.
  c->flags &= ~BRHTTP_CONN_INTERRUPTED;
  c->socket = brsocket_create(c->address.family, BRSOCK_STREAM, 0);
  if (!c->socket) return BR_ENOCONN;
  const bool inet = c->address.family == BRSOCK_AF_INET;
  if (inet) enableNoDelay(c);

  int32_t rc;
  if (c->connectTimeout == -1) {
    rc = brsocket_connect(c->socket, &c->address, BRSOCKADDR_LEN);
    if (rc < 0) return rc;
  } else {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s] Unblocking for %dms connect timeout\n", c->host,
          c->connectTimeout);
    rc = setBlocking(c, false);
    if (rc < 0) return rc;
    rc = brsocket_connect(c->socket, &c->address, BRSOCKADDR_LEN);
    if (rc < 0) return rc;
    rc = brsocket_wait_connect(c->socket, c->connectTimeout);
    if (rc < 0) return rc;
  }
  if (inet) enableNoDelay(c);

  if (c->useTls && inet) {
    rc = brtls__connect(&c->tls, c->socket, c->bareHost, c->connectTimeout);
    if (rc < 0) return rc;
  }

  if (c->connectTimeout == -1 && c->writeTimeout == -1) {
    // stays blocking
  } else if (c->connectTimeout == -1) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s] Unblocking for %dms write timeout\n", c->host,
          c->writeTimeout);
    rc = setBlocking(c, false);
  } else if (c->writeTimeout != -1) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s] Leaving in non-blcoking state\n", c->host);
  } else {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s] Reblocking for %dms connect timeout\n", c->host,
          c->connectTimeout);
    rc = setBlocking(c, true);
  }
  return rc < 0 ? rc : BR_OK;
}

int32_t BRHTTPConnection__new(BRHTTPConnection **out, const char *scheme, const char *host,
                              uint32_t port, uint32_t flags, int32_t connectTimeout,
                              int32_t readTimeout, int32_t writeTimeout) {
  (void)flags;
  if (!out) return BR_EINVAL;
  *out = nullptr;
  brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "BRHTTPConnection__newInternal");
  void *mem = calloc(1, sizeof(BRHTTPConnection));
  if (!mem) {
    brlog(BRHTTP_TAG, BRLOG_ERROR, "malloc failed!\n");
    return BR_ENOMEM;
  }
  BRHTTPConnection *c = new (mem) BRHTTPConnection();
  VERIFY(BRHTTPConnection__upref(c) == 1);
  c->socket = nullptr;
  snprintf(c->scheme, sizeof(c->scheme), "%s", scheme ? scheme : "");
  snprintf(c->bareHost, sizeof(c->bareHost), "%s", host ? host : "");
  c->port = port;
  if (strcmp(c->scheme, "http") == 0 && port == 80)
    snprintf(c->host, sizeof(c->host), "%s", c->bareHost);
  else
    fitText(c->host, sizeof(c->host), "%s:%u", c->bareHost, port);
  c->useTls = strcasecmp(c->scheme, "https") == 0;
  BRHTTPConnection__setTimeouts(c, connectTimeout, readTimeout, writeTimeout);

  brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "Parsing or looking up host: %s\n", c->bareHost);
  int32_t alen = BRSOCKADDR_LEN;
  int32_t rc = brsocket_resolve(c->bareHost, &c->address, &alen);
  if (rc < 0) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "Failed to parse or resolve host '%s'\n", c->bareHost);
  } else if (c->address.family == BRSOCK_AF_INET) {
    if (port > 65535) rc = BR_EINVAL;
    c->address.port = htobe16(static_cast<uint16_t>(port));
  } else if (c->address.family != BRSOCK_AF_LOCAL) {
    rc = BR_EINVAL;
  }
  if (rc >= 0) rc = BRHTTPConnection__connect(c);
  if (rc < 0) {
    BRHTTPConnection__close(c);
    BRHTTPConnection__dnref(c);
    return rc;
  }
  *out = c;
  return BR_OK;
}

void BRHTTPConnection__destroy(BRHTTPConnection *c) {
  if (!c) return;
  if (c->indestroy != 0) {
    brlog("ASSERT", BRLOG_ERROR, "%s\n",
          "(c->indestroy == 0) && \"Would a nested BRHTTPConnection__destroy(...) ever be valid?\"");
    brabort("BRHTTPConnection__destroy", __LINE__);
  }
  c->indestroy = 1;
  BRHTTPConnection__close(c);
  c->indestroy = 0;
  BRHTTPConnection__dnref(c);
}

bool BRHTTPConnection__isOpen(const BRHTTPConnection *c) { return c && c->socket != nullptr; }
uint32_t BRHTTPConnection__getFlags(const BRHTTPConnection *c) { return c->flags; }
const char *BRHTTPConnection__getScheme(const BRHTTPConnection *c) { return c->scheme; }
const char *BRHTTPConnection__getHost(const BRHTTPConnection *c) { return c->host; }
uint32_t BRHTTPConnection__getPort(const BRHTTPConnection *c) { return c->port; }
bool BRHTTPConnection__isTls(const BRHTTPConnection *c) { return c->tls != nullptr; }

void BRHTTPConnection__getPollCounts(const BRHTTPConnection *c, int32_t *recv, int32_t *send,
                                     int32_t *writev) {
  if (recv) *recv = c->nrecvpoll;
  if (send) *send = c->nsendpoll;
  if (writev) *writev = c->nwritevpoll;
}

int32_t BRHTTPConnection__pollIdle(BRHTTPConnection *c, uint16_t *revents) {
  uint16_t ev = 0;
  if (revents) *revents = 0;
  if (!c->socket) return BR_ENOCONN;
  if (c->tls && brtls__pending(c->tls) > 0) {
    if (revents) *revents = BRPOLL_IN;
    return 1;
  }
  int32_t rc = pollOne(c, BRPOLL_IN | BRPOLL_PRI | BRPOLL_ERR | BRPOLL_HUP, 0, &ev);
  if (rc > 0 && c->tls && brtls__idleCheck(c->tls) == 0) {
    // Only protocol records (session tickets) were waiting; look again.
    rc = pollOne(c, BRPOLL_IN | BRPOLL_PRI | BRPOLL_ERR | BRPOLL_HUP, 0, &ev);
    if (rc > 0 && brtls__idleCheck(c->tls) == 0) rc = 0, ev = 0;
  }
  if (revents) *revents = ev;
  return rc;
}

int32_t BRHTTPConnection__read(BRHTTPConnection *c, void *buf, int32_t size) {
  c->flags &= ~BRHTTP_CONN_READ_TIMEDOUT;
  if (size <= 0) return 0;
  if (!c->socket) return BR_ENOCONN;
  bool wantWrite = false;
  if (c->readTimeout == -1) {
    for (;;) {
      const int32_t n = rawRecv(c, buf, size, &wantWrite);
      // A TLS read can stop after a record that carried no data: wait for more, without limit.
      if (n == BR_ETIMEDOUT && c->tls) {
        uint16_t rev = 0;
        if (pollOne(c, wantWrite ? BRPOLL_OUT : BRPOLL_IN, -1, &rev) < 0) return n;
        continue;
      }
      return n;
    }
  }
  ReblockGuard guard(c);
  int32_t polls = 0;
  for (;;) {
    uint16_t rev = 0;
    int32_t prc = 1;
    if (!(c->tls && brtls__pending(c->tls) > 0)) {
      ++c->nrecvpoll;
      ++polls;
      const uint16_t want = wantWrite ? BRPOLL_OUT
                                      : (BRPOLL_IN | BRPOLL_ERR | BRPOLL_HUP | BRPOLL_NVAL);
      prc = pollOne(c, want, c->readTimeout, &rev);
    }
    if (prc > 0) {
      brlog(BRHTTP_TAG, BRLOG_DEBUG, "READ: Socket readable...\n");
      const int32_t n = rawRecv(c, buf, size, &wantWrite);
      if (n >= 0) {
        brlog(BRHTTP_TAG, BRLOG_DEBUG, "READ:    -- READ %d bytes...\n", n);
        return n;
      }
      if (n == BR_ETIMEDOUT && c->tls) {
        // Part of a record, or a record without data: wait again within the time-out.
        if (polls <= 1000) continue;
      }
      if (n == BR_ETIMEDOUT && polls <= 4 && !c->tls) {
        brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "READ: brsocket_recv failed: %d %s!\n", n,
              brerror__name(n));
        brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "READ: TIMEOUT when it should have worked!\n");
        if (setBlocking(c, true) >= 0) guard.switched = true;
        continue;
      }
      brlog(BRHTTP_TAG, BRLOG_ERROR, "READ: brsocket_recv failed: %d %s!\n", n, brerror__name(n));
      return n;
    }
    if (prc == 0) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE, "READ: Timeout (%d) waiting for data on connection...\n",
            c->readTimeout);
      c->flags |= BRHTTP_CONN_READ_TIMEDOUT;
      return BR_ETIMEDOUT;
    }
    if (prc == BR_EINTR && abandoned(c, "READ")) return BR_EINTR;
    if (prc == BR_EINTR) {
      brlog(BRHTTP_TAG, BRLOG_DEBUG, "READ: Poll was interrupted, trying again...\n");
      continue;
    }
    brlog(BRHTTP_TAG, BRLOG_ERROR, "READ: brsocket_poll failed: %d!\n", prc);
    return prc;
  }
}

int32_t BRHTTPConnection__send(BRHTTPConnection *c, const void *data, int32_t size) {
  if (size <= 0) return 0;
  if (!c->socket) return BR_ENOCONN;
  bool wantRead = false;
  if (c->writeTimeout == -1) {
    for (;;) {
      const int32_t n = rawSend(c, data, size, &wantRead);
      if (n == BR_ETIMEDOUT && c->tls) {
        uint16_t rev = 0;
        if (pollOne(c, wantRead ? BRPOLL_IN : BRPOLL_OUT, -1, &rev) < 0) return n;
        continue;
      }
      if (n < 0)
        brlog(BRHTTP_TAG, BRLOG_ERROR, "WRITE: send(%d) failed: %d (%d)\n", size, n, n);
      return n;
    }
  }
  ReblockGuard guard(c);
  int32_t polls = 0;
  for (;;) {
    ++c->nsendpoll;
    ++polls;
    uint16_t rev = 0;
    const uint16_t want = wantRead ? BRPOLL_IN : BRPOLL_OUT;
    const int32_t prc = pollOne(c, want, c->writeTimeout, &rev);
    if (prc == 0) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE, "WRITE: Timeout (%d) waiting to write on connection...\n",
            c->writeTimeout);
      return BR_ETIMEDOUT;
    }
    if (prc == BR_EINTR && abandoned(c, "WRITE")) return BR_EINTR;
    if (prc == BR_EINTR) continue;
    if (prc < 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "WRITE: brsocket_poll failed: %d!\n", prc);
      return prc;
    }
    if (!(rev & want)) return (rev & BRPOLL_HUP) ? BR_ECONNRESET : BR_EUNSPEC;
    brlog(BRHTTP_TAG, BRLOG_DEBUG, "WRITE: Socket writable...\n");
    const int32_t n = rawSend(c, data, size, &wantRead);
    if (n >= 0) {
      brlog(BRHTTP_TAG, BRLOG_DEBUG, "WRITE:    -- WROTE %d bytes...\n", n);
      return n;
    }
    if (n == BR_ETIMEDOUT && c->tls && polls <= 1000) continue;
    if (n == BR_ETIMEDOUT && polls <= 4 && !c->tls) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "WRITE: send(%d) failed: %d %s!\n", size, n,
            brerror__name(n));
      brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "WRITE: Putting socket into blocking mode!\n");
      if (setBlocking(c, true) >= 0) guard.switched = true;
      continue;
    }
    brlog(BRHTTP_TAG, BRLOG_ERROR, "WRITE: send(%d) failed: %d %s!\n", size, n, brerror__name(n));
    return n;
  }
}

int32_t BRHTTPConnection__writev(BRHTTPConnection *c, const brsocket_iovec *vec, int32_t count) {
  static std::atomic<long long> s_seq{0};
  const long long seq = ++s_seq;
  brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%lld] WRITEV [%d]:\n", seq, count);
  if (brlog__enabled(BRLOG_VERBOSE5)) {
    for (int32_t i = 0; i < count; ++i) {
      const int len = static_cast<int>(vec[i].len);
      brlog("BHRTTP", BRLOG_VERBOSE5, "[%lld] WRITEV       {%5d '%-.*s'}\n", seq, len,
            len < 32 ? len : 32, static_cast<const char *>(vec[i].base));
    }
  }
  int32_t result;
  bool wantRead = false;
  if (count <= 0) {
    result = 0;
  } else if (!c->socket) {
    result = BR_ENOCONN;
  } else if (c->writeTimeout == -1) {
    for (;;) {
      result = rawWritev(c, vec, count, &wantRead);
      if (result == BR_ETIMEDOUT && c->tls) {
        uint16_t rev = 0;
        if (pollOne(c, wantRead ? BRPOLL_IN : BRPOLL_OUT, -1, &rev) < 0) break;
        continue;
      }
      break;
    }
    if (result < 0)
      brlog(BRHTTP_TAG, BRLOG_ERROR, "WRITEV: brsocket_writev(%d) failed: %d %s!\n", count,
            result, brerror__name(result));
  } else {
    ReblockGuard guard(c);
    int32_t polls = 0;
    for (;;) {
      ++c->nwritevpoll;
      ++polls;
      uint16_t rev = 0;
      const uint16_t want = wantRead ? BRPOLL_IN : BRPOLL_OUT;
      const int32_t prc = pollOne(c, want, c->writeTimeout, &rev);
      if (prc == 0) {
        brlog(BRHTTP_TAG, BRLOG_VERBOSE,
              "WRITEV: Timeout (%d) waiting to write on connection...\n", c->writeTimeout);
        result = BR_ETIMEDOUT;
        break;
      }
      if (prc == BR_EINTR && abandoned(c, "WRITEV")) {
        result = BR_EINTR;
        break;
      }
      if (prc == BR_EINTR) continue;
      if (prc < 0) {
        brlog(BRHTTP_TAG, BRLOG_ERROR, "WRITEV: brsocket_poll failed: %d!\n", prc);
        result = prc;
        break;
      }
      if (!(rev & want)) {
        result = (rev & BRPOLL_HUP) ? BR_ECONNRESET : BR_EUNSPEC;
        break;
      }
      brlog(BRHTTP_TAG, BRLOG_DEBUG, "WRITEV: Socket writable...\n");
      const int32_t n = rawWritev(c, vec, count, &wantRead);
      if (n >= 0) {
        brlog(BRHTTP_TAG, BRLOG_DEBUG, "WRITEV:    -- WROTE %d bytes...\n", n);
        result = n;
        break;
      }
      if (n == BR_ETIMEDOUT && c->tls && polls <= 1000) continue;
      if (n == BR_ETIMEDOUT && polls < 50 && !c->tls) {
        brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "WRITEV: brsocket_writev failed: %d %s!\n", n,
              brerror__name(n));
        brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "WRITEV: Retrying in 20ms...\n");
        if (setBlocking(c, true) >= 0) guard.switched = true;
        continue;
      }
      brlog(BRHTTP_TAG, BRLOG_ERROR, "WRITEV: brsocket_writev failed: %d %s!\n", n,
            brerror__name(n));
      result = n;
      break;
    }
  }
  brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%lld] WRITEV RETURNING: %d\n", seq, result);
  return result;
}

// ---- Requests: creation and headers ----

int32_t BRHTTPRequest__upref(BRHTTPRequest *r) {
  const int32_t ret = r->refs.fetch_add(1, std::memory_order_relaxed) + 1;
  if (!(ret > 0) || ret > 0x7FFFFFFE) {
    brlog("ASSERT", BRLOG_ERROR, "%s\n", "ret > 0");
    brabort("BRHTTPRequest__upref", __LINE__);
  }
  return ret;
}

void brhttp__freeRequest(BRHTTPRequest *r) {
  free(r->hdr);
  free(r->store);
  r->~BRHTTPRequest();
  free(r);
}

int32_t BRHTTPRequest__dnref(BRHTTPRequest *r) {
  const int32_t ret = r->refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (!(ret >= 0)) {
    brlog("ASSERT", BRLOG_ERROR, "%s\n", "ret >= 0");
    brabort("BRHTTPRequest__dnref", __LINE__);
  }
  if (ret == 0) {
    // A request dropped without destroy still gives back its connection.
    if (r->conn) {
      BRHTTPConnection *c = r->conn;
      r->conn = nullptr;
      BRHTTPConnection__dnref(c);
    }
    brhttp__freeRequest(r);
  }
  return ret;
}

int32_t BRHTTPConnection__newRequest(BRHTTPConnection *c, const char *method, const char *path,
                                     BRHTTPRequest **out) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  if (!c) return BR_EINVAL;
  void *mem = calloc(1, sizeof(BRHTTPRequest));
  char *hdr = static_cast<char *>(malloc(BRHTTP_BUFSIZE));
  char *store = static_cast<char *>(malloc(BRHTTP_BUFSIZE));
  if (!mem || !hdr || !store) {
    free(mem);
    free(hdr);
    free(store);
    brlog(BRHTTP_TAG, BRLOG_ERROR, "malloc failed!\n");
    return BR_ENOMEM;
  }
  BRHTTPRequest *r = new (mem) BRHTTPRequest();
  VERIFY(BRHTTPRequest__upref(r) == 1);
  r->hdr = hdr;
  r->store = store;
  r->respClen = -1;
  r->conn = c;
  BRHTTPConnection__upref(c);
  if (!method || !*method) method = "GET";
  if (!path || !*path) path = "/";
  r->flags = BRHTTP_REQ_HTTP | BRHTTP_REQ_NOT_HTTP10;
  if (strcmp(method, "HEAD") == 0 || strcmp(method, "CONNECT") == 0)
    r->flags |= BRHTTP_REQ_NO_RESP_BODY;
  const int n = snprintf(r->hdr, BRHTTP_BUFSIZE, "%s %s %s\r\n", method, path, "HTTP/1.1");
  if (n < 0 || n >= BRHTTP_BUFSIZE - 2) {
    // A request line that leaves no room for the blank line cannot be sent.
    BRHTTPConnection__dnref(c);
    r->conn = nullptr;
    brhttp__freeRequest(r);
    return BR_ENOSPC;
  }
  r->hdrLen = static_cast<uint32_t>(n);
  r->state = BRHTTP_ST_CREATED;
  *out = r;
  return BR_OK;
}

int32_t BRHTTPRequest__addRequestHeader(BRHTTPRequest *r, const char *name, const char *value) {
  if (!r) return BR_EINVAL;
  if (!name || !*name) return BRHTTPRequest__sendRequest(r);
  if (!value) value = "";
  // Headers that carry the session token are logged without it.
  const bool secret = !strcasecmp(name, "Cookie") || !strcasecmp(name, "X-VXVALTOKEN") ||
                      !strcasecmp(name, "Authorization");
  const char *shown = secret ? "XXXXXXXXXXXX" : value;
  brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "BRHTTPRequest__addRequestHeader(%s,%s)\n", name, shown);
  if (r->state != BRHTTP_ST_CREATED) return BR_EBADSTATE;
  brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "Adding request Header '%s: %s'\n", name, shown);
  // Two bytes stay free for the blank line that ends the header.
  const size_t room = BRHTTP_BUFSIZE - 2 - r->hdrLen;
  const size_t need = strlen(name) + 2 + strlen(value) + 2;
  if (need < room && !strpbrk(name, "\r\n") && !strpbrk(value, "\r\n")) {
    snprintf(r->hdr + r->hdrLen, room + 1, "%s: %s\r\n", name, value);
    r->hdrLen += static_cast<uint32_t>(need);
  } else {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "BUFFER OVERFLOW! YIKES -- Dropping header '%s: %s'\n",
          name, value);
  }
  if (nameIs(name, "content-length")) {
    int64_t len = 0;
    if (parseLength(value, &len)) {
      r->reqClen = len;
      r->flags |= BRHTTP_REQ_CLEN;
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "  -- Content length of request: %llu\n",
            (unsigned long long)len);
    }
  } else if (nameIs(name, "transfer-encoding")) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "  -- Transfer Encoding is '%s'\n", value);
    if (nameIs(value, "chunked")) {
      r->flags |= BRHTTP_REQ_CHUNKED;
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "  -- Request is chunked\n");
    }
  } else if (nameIs(name, "host")) {
    r->flags |= BRHTTP_REQ_HAS_HOST;
  } else if (nameIs(name, "user-agent")) {
    r->flags |= BRHTTP_REQ_HAS_UA;
  }
  return BR_OK;
}

// Sends the request line, the headers and, when given, the first body bytes in one vectored
// write. *reported receives the body data bytes that went out.
static int32_t sendReqInternal(BRHTTPRequest *r, const char *data, int32_t size,
                               int32_t *reported) {
  BRHTTPConnection *c = r->conn;
  *reported = 0;
  if ((r->flags & (BRHTTP_REQ_HTTP | BRHTTP_REQ_NOT_HTTP10)) ==
          (BRHTTP_REQ_HTTP | BRHTTP_REQ_NOT_HTTP10) &&
      !(r->flags & BRHTTP_REQ_HAS_HOST))
    (void)BRHTTPRequest__addRequestHeader(r, "Host", c->host);
  if (!(r->flags & BRHTTP_REQ_HAS_UA)) {
    char ua[128];
    char client[128];
    const size_t n = brhttp__getUserAgent(client, sizeof(client));
    fitText(ua, sizeof(ua), "%s%s", BRHTTP_USER_AGENT_PREFIX, n ? client : "");
    (void)BRHTTPRequest__addRequestHeader(r, "User-Agent", ua);
  }
  if (!r->hdrTerminated) {
    if (r->hdrLen > BRHTTP_BUFSIZE - 3) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "BUFFER OVERFLOW!\n");
      r->state = BRHTTP_ST_FAILED;
      return BR_ENOSPC;
    }
    memcpy(r->hdr + r->hdrLen, "\r\n", 2);
    r->hdrLen += 2;
    r->hdrTerminated = 1;
  }
  if (!c->socket) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE, "Implicitly reconnecting to support non-keep alive...\n");
    const int32_t rc = BRHTTPConnection__connect(c);
    if (rc < 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "Failed to reconnect to server: %d\n", rc);
      return rc;
    }
  }
  if (!data) size = 0;
  if (r->flags & BRHTTP_REQ_CLEN) {
    brlog(BRHTTP_TAG, BRLOG_DEBUG3, "Asked to send %u bytes from remaining content length %llu\n",
          (unsigned)size, (unsigned long long)r->reqClen);
    if (size > r->reqClen) size = static_cast<int32_t>(r->reqClen);
  }
  const bool chunked = (r->flags & BRHTTP_REQ_CHUNKED) != 0;
  char line[24];
  int32_t L = 0;
  brsocket_iovec vec[4];
  int32_t nvec = 0;
  vec[nvec++] = {r->hdr, r->hdrLen};
  if (size > 0) {
    if (chunked) {
      L = snprintf(line, sizeof(line), "%x\r\n", static_cast<unsigned>(size));
      brlog(BRHTTP_TAG, BRLOG_VERBOSE5,
            "### CHUNK-WRITE_REQ(%d) HEAD(%d) '%s'(%d) DATA(%d) CRLF(%d)\n", size + L + 2, L,
            line, L, size, 2);
      vec[nvec++] = {line, static_cast<size_t>(L)};
      vec[nvec++] = {data, static_cast<size_t>(size)};
      vec[nvec++] = {"\r\n", 2};
    } else {
      vec[nvec++] = {data, static_cast<size_t>(size)};
    }
  }
  int64_t total = 0;
  for (int32_t i = 0; i < nvec; ++i) total += static_cast<int64_t>(vec[i].len);
  brlog(BRHTTP_TAG, BRLOG_DEBUG3, "Writing %u bytes...\n", static_cast<unsigned>(total));
  const int32_t rc = BRHTTPConnection__writev(c, vec, nvec);
  if (rc < 0) {
    brlog(BRHTTP_TAG, BRLOG_ERROR, "Failed to send: %s %d\n", brerror__name(rc), rc);
    r->state = BRHTTP_ST_FAILED;
    return rc;
  }
  const int32_t H = static_cast<int32_t>(r->hdrLen);
  if (rc < H) {
    // Part of the header went out: the request cannot be completed on this connection.
    brlog(BRHTTP_TAG, BRLOG_ERROR, "Failed to send: %s %d\n", brerror__name(BR_EIO), rc);
    r->state = BRHTTP_ST_FAILED;
    return BR_EIO;
  }
  const int32_t B = rc - H;
  if (!chunked) {
    *reported = B;
    if (r->flags & BRHTTP_REQ_CLEN) r->reqClen -= B;
  } else if (size > 0) {
    if (B < L) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE5,
            "### CHUNK-WRITE_REQ-WROTE(%d)   -- NOT EVEN CHUNK-HEADER SENT -- RETRYING\n", rc);
      brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "###    -- CHUNK-HEADER DID'T FULLY MAKE IT -- RETRYING %d\n",
            L - B);
      const int32_t s = sendAll(c, line + B, L - B);
      if (s < 0) {
        r->state = BRHTTP_ST_FAILED;
        return s;
      }
      *reported = 0;
    } else if (B >= L + size + 2) {
      *reported = size;
    } else if (B < L + size) {
      *reported = B - L;
    } else {
      const int32_t crlfDone = B - L - size;
      brlog(BRHTTP_TAG, BRLOG_VERBOSE5,
            "###    -- CHUNK-HEADER AND DATA WENT BUT NOT CRLF -- RETRYING %d\n", 2 - crlfDone);
      const int32_t s = sendAll(c, &"\r\n"[crlfDone], 2 - crlfDone);
      if (s < 0) {
        r->state = BRHTTP_ST_FAILED;
        return s;
      }
      *reported = size;
    }
    if (r->flags & BRHTTP_REQ_CLEN) r->reqClen -= *reported;
  }
  const bool hasBody = (r->flags & (BRHTTP_REQ_CLEN | BRHTTP_REQ_CHUNKED)) != 0;
  if (!hasBody || (!chunked && r->reqClen <= 0))
    r->state = BRHTTP_ST_WAIT_RESPONSE;
  else
    r->state = BRHTTP_ST_BODY;
  return *reported;
}

int32_t brhttp__sendReqInternal(BRHTTPRequest *r, const char *data, int32_t size,
                                int32_t *reported) {
  return sendReqInternal(r, data, size, reported);
}

// Sends the last chunk of a chunked body; the request then waits for its response.
int32_t brhttp__sendLastChunk(BRHTTPRequest *r) {
  if (r->owedChunk > 0) return BR_EBADSTATE;  // the open chunk still owes data bytes
  const int32_t rc = sendAll(r->conn, "0\r\n\r\n", 5);
  if (rc < 0) {
    r->state = BRHTTP_ST_FAILED;
    return rc;
  }
  r->state = BRHTTP_ST_WAIT_RESPONSE;
  return BR_OK;
}

int32_t BRHTTPRequest__sendRequest(BRHTTPRequest *r) {
  if (!r) return BR_EINVAL;
  if (r->state == BRHTTP_ST_CREATED) {
    int32_t reported = 0;
    const int32_t rc = sendReqInternal(r, nullptr, 0, &reported);
    if (rc < 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "sendRequest -- sendReqInternal failed!\n");
      return rc;
    }
    if (r->state != BRHTTP_ST_WAIT_RESPONSE) {
      brlog(BRHTTP_TAG, BRLOG_WARNING, "sendRequest -- sendReqInternal didn't fix state: %d!\n",
            r->state);
      return BR_EBADSTATE;
    }
    return BR_OK;
  }
  if (r->state == BRHTTP_ST_BODY && (r->flags & BRHTTP_REQ_CHUNKED)) {
    const int32_t rc = brhttp__sendLastChunk(r);
    if (rc < 0) brlog(BRHTTP_TAG, BRLOG_ERROR, "sendRequest -- sendBody failed!\n");
    return rc;
  }
  brlog(BRHTTP_TAG, BRLOG_WARNING, "sendRequest -- bad state: %d!\n", r->state);
  return BR_EBADSTATE;
}

// Sends what a short vectored write left of `vec`, from offset `off` of segment `seg` on: the
// rest of a frame (chunk-size line or CRLF) and every vector behind it, so that no chunk-size
// line is left announcing data the caller was told was not sent. "Not yet" answers count as no
// progress and are retried a few times, as in sendAll.
static int32_t pushRest(BRHTTPRequest *r, const brsocket_iovec *vec, int32_t nvec, int32_t seg,
                        size_t off) {
  brsocket_iovec rest[4];
  int32_t count = 0;
  for (int32_t i = seg; i < nvec; ++i) rest[count++] = vec[i];
  rest[0].base = static_cast<const char *>(rest[0].base) + off;
  rest[0].len -= off;
  brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "writeRequestBody - short writev push chunk header: %d, %d\n",
        0, static_cast<int>(rest[0].len));
  int32_t first = 0;
  int tries = 0;
  while (first < count) {
    const int32_t w = BRHTTPConnection__writev(r->conn, rest + first, count - first);
    if (w == BR_ETIMEDOUT || w == BR_EAGAIN || w == 0) {
      if (++tries >= 3) return BR_ETIMEDOUT;
      continue;
    }
    if (w < 0) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE5,
            "writeRequestBody - short writev (chunk header fixup): %d\n", w);
      return w;
    }
    tries = 0;
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5,
          "writeRequestBody - short writev (chunk header fixup): %d -- (%d + %d + 0 + %d)\n", w,
          static_cast<int>(rest[first].len),
          first + 1 < count ? static_cast<int>(rest[first + 1].len) : 0,
          first + 2 < count ? static_cast<int>(rest[first + 2].len) : 0);
    size_t left = static_cast<size_t>(w);
    while (first < count && left >= rest[first].len) left -= rest[first++].len;
    if (first < count) {
      rest[first].base = static_cast<const char *>(rest[first].base) + left;
      rest[first].len -= left;
    }
  }
  return BR_OK;
}

// One chunked write of `S` bytes, given the bytes the open chunk still owes. Returns the data
// bytes written or a result code; updates r->owedChunk.
static int32_t writeChunked(BRHTTPRequest *r, const char *data, int32_t S) {
  const int32_t O = r->owedChunk;
  char text[32];
  brsocket_iovec vec[4];
  int32_t nvec = 0;
  // Segment kinds: data of the owed chunk, frame, data of a new chunk, frame.
  if (O == 0) {
    const int L = snprintf(text, sizeof(text), "%x\r\n", static_cast<unsigned>(S));
    vec[nvec++] = {text, static_cast<size_t>(L)};
    vec[nvec++] = {data, static_cast<size_t>(S)};
    vec[nvec++] = {"\r\n", 2};
  } else if (O < S) {
    brlog(BRHTTP_TAG, BRLOG_DEBUG2, "writeRequestBody - prior short write (%d) then next chunk (%d)\n",
          O, S - O);
    const int M = snprintf(text, sizeof(text), "\r\n%x\r\n", static_cast<unsigned>(S - O));
    vec[nvec++] = {data, static_cast<size_t>(O)};
    vec[nvec++] = {text, static_cast<size_t>(M)};
    vec[nvec++] = {data + O, static_cast<size_t>(S - O)};
    vec[nvec++] = {"\r\n", 2};
  } else {
    brlog(BRHTTP_TAG, BRLOG_DEBUG2, "writeRequestBody - prior short write (%d) filling with (%d)\n",
          O, S);
    vec[nvec++] = {data, static_cast<size_t>(S)};
    if (S == O) vec[nvec++] = {"\r\n", 2};
  }
  const int32_t n = BRHTTPConnection__writev(r->conn, vec, nvec);
  if (n < 0) return n;
  int64_t total = 0;
  for (int32_t i = 0; i < nvec; ++i) total += static_cast<int64_t>(vec[i].len);
  if (n >= total) {
    r->owedChunk = (O > S) ? O - S : 0;
    return S;
  }
  brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "writeRequestBody - short writev: %d -- (%d + %d + %d + %d)\n",
        n, nvec > 0 ? (int)vec[0].len : 0, nvec > 1 ? (int)vec[1].len : 0,
        nvec > 2 ? (int)vec[2].len : 0, nvec > 3 ? (int)vec[3].len : 0);
  if (n == 0) return 0;
  // Find the segment where the write stopped.
  int32_t seg = 0;
  int64_t off = n;
  while (seg < nvec && off >= static_cast<int64_t>(vec[seg].len)) {
    off -= static_cast<int64_t>(vec[seg].len);
    ++seg;
  }
  const bool isFrame = (O == 0)  ? (seg == 0 || seg == 2)
                       : (O < S) ? (seg == 1 || seg == 3)
                                 : seg == 1;
  if (isFrame) {
    if (O == 0 && seg == 0)
      brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "writeRequestBody - short writev in chunk header: %d < %d\n",
            n, (int)vec[0].len);
    // The rest of the frame and everything after it: the call then completes as a full write.
    const int32_t rc = pushRest(r, vec, nvec, seg, static_cast<size_t>(off));
    if (rc < 0) {
      r->state = BRHTTP_ST_FAILED;
      return rc;
    }
    r->owedChunk = (O > S) ? O - S : 0;
    return S;
  }
  // Stopped inside data: the data bytes of the segments before it, and those of its own.
  int32_t written = static_cast<int32_t>(off);
  for (int32_t i = 0; i < seg; ++i)
    if (!((O == 0) ? (i == 0 || i == 2) : (O < S) ? (i == 1 || i == 3) : i == 1))
      written += static_cast<int32_t>(vec[i].len);
  if (O > 0 && seg == 0) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "writeRequestBody - short writev in pending chunk\n");
    r->owedChunk = O - written;
  } else {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "writeRequestBody - short writev in new chunk: %d %d %d\n", n,
          written, S);
    r->owedChunk = S - written;
  }
  return written;
}

int32_t BRHTTPRequest__writeRequestBody(BRHTTPRequest *r, const void *data, int32_t size) {
  if (!r) return BR_EINVAL;
  if (r->state != BRHTTP_ST_CREATED && r->state != BRHTTP_ST_BODY) {
    brlog(BRHTTP_TAG, BRLOG_WARNING, "writeRequestBody -- bad state: %d!\n", r->state);
    return BR_EBADSTATE;
  }
  if (size < 0 || (!data && size > 0)) return BR_EINVAL;
  const char *p = static_cast<const char *>(data);
  int32_t left = size;
  int32_t total = 0;
  const bool chunked = (r->flags & BRHTTP_REQ_CHUNKED) != 0;

  if (r->state == BRHTTP_ST_CREATED) {
    int32_t reported = 0;
    const int32_t rc = sendReqInternal(r, p, left, &reported);
    if (rc < 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "Failed to send request header\n");
      return rc;
    }
    if (chunked && left > 0 && reported < left) {
      r->owedChunk = left - reported;
      brlog(BRHTTP_TAG, BRLOG_VERBOSE5,
            "writeRequestBody - short writev in sendReqInternal: %d -- (%d + %d + %d)\n", reported,
            (int)r->hdrLen, left, 2);
    }
    total = reported;
    if (reported == left || r->state != BRHTTP_ST_BODY) return total;
    p += reported;
    left -= reported;
  }
  if (left == 0) return total;

  if (r->flags & BRHTTP_REQ_CLEN) {
    brlog(BRHTTP_TAG, BRLOG_DEBUG3, "Asked to send %u bytes from remaining content length %llu\n",
          (unsigned)left, (unsigned long long)r->reqClen);
    if (r->reqClen <= 0 && !chunked) {
      r->state = BRHTTP_ST_WAIT_RESPONSE;
      return total;
    }
    if (!chunked && left > r->reqClen) left = static_cast<int32_t>(r->reqClen);
  }

  int32_t written;
  if (!chunked) {
    written = BRHTTPConnection__send(r->conn, p, left);
    if (written >= 0 && written < left)
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "writeRequestBody - short write: %d of %d\n", written,
            left);
  } else {
    written = writeChunked(r, p, left);
  }
  if (written < 0) {
    if (written == BR_ECONNABORTED) {
      brlog(BRHTTP_TAG, BRLOG_WARNING, "writeRequestBody -- failed to send: CONNABORTED\n");
    } else if (written == BR_ECONNRESET) {
      brlog(BRHTTP_TAG, BRLOG_WARNING, "writeRequestBody -- failed to send: CONNRESET\n");
    } else if (written == BR_ETIMEDOUT || written == BR_EAGAIN) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE2, "writeRequestBody -- failed to send: TIMEOUT\n");
      // Bytes that already went out in this call must not be offered twice.
      if (total > 0) return total;
    } else {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "writeRequestBody -- failed to send: %d\n", written);
      r->state = BRHTTP_ST_FAILED;
    }
    return written;
  }
  if ((r->flags & BRHTTP_REQ_CLEN) && !chunked) {
    r->reqClen -= written;
    if (r->reqClen <= 0) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "All request body data sent!\n");
      r->state = BRHTTP_ST_WAIT_RESPONSE;
    }
  }
  return total + written;
}

int32_t BRHTTPRequest__getState(const BRHTTPRequest *r) { return r->state; }
uint32_t BRHTTPRequest__getFlags(const BRHTTPRequest *r) { return r->flags; }
int32_t BRHTTPRequest__getStatus(const BRHTTPRequest *r) { return r->status; }
BRHTTPConnection *BRHTTPRequest__getConnection(const BRHTTPRequest *r) { return r->conn; }
int64_t BRHTTPRequest__getContentLength(const BRHTTPRequest *r) {
  return (r->flags & BRHTTP_RESP_CLEN) ? r->respClen : -1;
}

bool brhttp__nameIs(const char *a, const char *b) { return nameIs(a, b); }
bool brhttp__parseLength(const char *v, int64_t *out) { return parseLength(v, out); }
