// Family dispatch, host-text parsing and address formatting.
#include <endian.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brlog.h"
#include "brsocket_int.h"

int32_t (*g_brsocket__lookup)(const char *name, uint32_t *addr) = brsocket__lookupName;

namespace {

const brsocket_ops *opsFor(brsocket_t s) {
  if (!s || s == BRSOCKET_INVALID) return nullptr;
  switch (s->family) {
    case BRSOCK_AF_INET:
      return &brsocket__inetOps;
    case BRSOCK_AF_LOCAL:
      return &brsocket__pipeOps;
    default:
      return nullptr;
  }
}

// An invalid handle is a caller's mistake but must not crash; an unknown family is -4.
int32_t badHandle(brsocket_t s) {
  if (!s || s == BRSOCKET_INVALID) return BR_EINVAL;
  return BR_ENOTIMPL;
}

bool isHex(char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number of at most `max`; advances *p. False when no digit or too large.
bool readDecimal(const char **p, uint32_t max, uint32_t *out) {
  const char *q = *p;
  if (!isDigit(*q)) return false;
  uint64_t v = 0;
  while (isDigit(*q)) {
    v = v * 10 + static_cast<uint64_t>(*q - '0');
    if (v > max) return false;
    ++q;
  }
  *p = q;
  *out = static_cast<uint32_t>(v);
  return true;
}

// The dotted quad with an optional ":port"; false sends the caller to name resolution.
bool parseDottedQuad(const char *text, brsockaddr *addr) {
  const char *p = text;
  uint32_t parts[4];
  for (int i = 0; i < 4; ++i) {
    if (!readDecimal(&p, 255, &parts[i])) return false;
    if (i < 3) {
      if (*p != '.') return false;
      ++p;
    }
  }
  uint32_t port = 0;
  if (*p == ':') {
    ++p;
    if (!readDecimal(&p, 65535, &port)) return false;
  }
  if (*p != '\0') return false;
  memset(addr, 0, sizeof(*addr));
  addr->family = BRSOCK_AF_INET;
  uint8_t bytes[4] = {static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1]),
                      static_cast<uint8_t>(parts[2]), static_cast<uint8_t>(parts[3])};
  memcpy(&addr->addr, bytes, 4);
  addr->port = htobe16(static_cast<uint16_t>(port));
  return true;
}

int32_t resolveByName(const char *text, brsockaddr *addr) {
  std::string name(text);
  long port = -1;
  const size_t colon = name.rfind(':');
  if (colon != std::string::npos) {
    const char *ps = name.c_str() + colon + 1;
    // Only plain decimal ports count; anything else leaves the port as it was.
    bool digits = *ps != '\0' && strlen(ps) <= 6;
    for (const char *q = ps; *q && digits; ++q) digits = isDigit(*q);
    port = digits ? strtol(ps, nullptr, 10) : 0;
    name.resize(colon);
  }
  uint32_t a = 0;
  const int32_t rc = g_brsocket__lookup(name.c_str(), &a);
  if (rc < 0) return rc;
  const uint16_t keptPort = addr->port;
  memset(addr, 0, sizeof(*addr));
  addr->family = BRSOCK_AF_INET;
  addr->addr = a;
  addr->port = keptPort;
  if (port >= 1 && port <= 65535) addr->port = htobe16(static_cast<uint16_t>(port));
  return BR_OK;
}

}  // namespace

brsocket_t brsocket_create(int family, int kind, int protocol) {
  switch (family) {
    case BRSOCK_AF_INET:
      return brsocket__createInet(kind, protocol);
    case BRSOCK_AF_LOCAL:
      return brsocket__createPipe();
    default:
      return nullptr;
  }
}

int32_t brsocket_close(brsocket_t s) {
  const brsocket_ops *o = opsFor(s);
  return o ? o->close(s) : badHandle(s);
}

int32_t brsocket_bind(brsocket_t s, const brsockaddr *addr, int32_t addrlen) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (!addr) return BR_EINVAL;
  return o->bind(s, addr, addrlen);
}

int32_t brsocket_listen(brsocket_t s, int32_t backlog) {
  const brsocket_ops *o = opsFor(s);
  return o ? o->listen(s, backlog) : badHandle(s);
}

brsocket_t brsocket_accept(brsocket_t s, brsockaddr *addr, int32_t *addrlen) {
  const brsocket_ops *o = opsFor(s);
  return o ? o->accept(s, addr, addrlen) : nullptr;
}

int32_t brsocket_connect(brsocket_t s, const brsockaddr *addr, int32_t addrlen) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (!addr) return BR_EINVAL;
  return o->connect(s, addr, addrlen);
}

int32_t brsocket_wait_connect(brsocket_t s, int32_t ms) {
  const brsocket_ops *o = opsFor(s);
  return o ? o->wait_connect(s, ms) : badHandle(s);
}

int32_t brsocket_send(brsocket_t s, const void *data, int32_t len, int32_t flags) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (len < 0 || (!data && len > 0)) return BR_EINVAL;
  return o->send(s, data, len, flags);
}

int32_t brsocket_sendto(brsocket_t s, const void *data, int32_t len, int32_t flags,
                        const brsockaddr *to, int32_t tolen) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (len < 0 || (!data && len > 0)) return BR_EINVAL;
  return o->sendto(s, data, len, flags, to, tolen);
}

int32_t brsocket_recv(brsocket_t s, void *buf, int32_t len, int32_t flags) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (len < 0 || (!buf && len > 0)) return BR_EINVAL;
  return o->recv(s, buf, len, flags);
}

int32_t brsocket_recvfrom(brsocket_t s, void *buf, int32_t len, int32_t flags, brsockaddr *from,
                          int32_t *fromlen) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (len < 0 || (!buf && len > 0)) return BR_EINVAL;
  return o->recvfrom(s, buf, len, flags, from, fromlen);
}

int32_t brsocket_writev(brsocket_t s, const brsocket_iovec *vec, int32_t count) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (count < 0 || (!vec && count > 0)) return BR_EINVAL;
  return o->writev(s, vec, count);
}

int32_t brsocket_getsockname(brsocket_t s, brsockaddr *addr, int32_t *addrlen) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (!addr) return BR_EINVAL;
  return o->getsockname(s, addr, addrlen);
}

int32_t brsocket_getpeername(brsocket_t s, brsockaddr *addr, int32_t *addrlen) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (!addr) return BR_EINVAL;
  return o->getpeername(s, addr, addrlen);
}

int32_t brsocket_getsockopt(brsocket_t s, int32_t level, int32_t option, void *value,
                            int32_t *optlen) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (!value || !optlen) return BR_EINVAL;
  return o->getsockopt(s, level, option, value, optlen);
}

int32_t brsocket_setsockopt(brsocket_t s, int32_t level, int32_t option, const void *value,
                            int32_t optlen) {
  const brsocket_ops *o = opsFor(s);
  if (!o) return badHandle(s);
  if (!value || optlen < 0) return BR_EINVAL;
  return o->setsockopt(s, level, option, value, optlen);
}

namespace {
thread_local brsocket_cancel_check t_cancelCheck = nullptr;
thread_local void *t_cancelArg = nullptr;
}  // namespace

void brsocket__setThreadCancel(brsocket_cancel_check check, void *arg) {
  t_cancelCheck = check;
  t_cancelArg = check ? arg : nullptr;
}

int brsocket__cancelled(void) { return t_cancelCheck ? t_cancelCheck(t_cancelArg) : 0; }

int32_t brsocket_poll(brpollfd *fds, int32_t count, int32_t ms) {
  if (count < 0 || (!fds && count > 0)) return BR_EINVAL;
  return brsocket__pollPlatform(fds, count, ms);
}

int brsocket_native(brsocket_t s) {
  if (!s || s == BRSOCKET_INVALID) return -1;
  return s->fd;
}

uint16_t brsocket_family(brsocket_t s) {
  if (!s || s == BRSOCKET_INVALID) return 0;
  return s->family;
}

uint32_t brsocket_buffered(brsocket_t s) {
  if (!s || s == BRSOCKET_INVALID || s->family != BRSOCK_AF_LOCAL) return 0;
  return s->available;
}

int32_t brsocket_resolve(const char *text, brsockaddr *addr, int32_t *addrlen) {
  if (!addr) return BR_EINVAL;
  if (addrlen) *addrlen = BRSOCKADDR_LEN;
  if (!text || !*text) {
    memset(addr, 0, sizeof(*addr));
    return BR_OK;
  }
  if (const char *sep = strstr(text, "://")) text = sep + 3;

  if (strncmp(text, "ytol", 4) == 0) {
    memset(addr, 0, sizeof(*addr));
    addr->family = BRSOCK_AF_LOCAL;
    strncpy(addr->name(), text + 4, BRSOCK_PIPE_NAME_MAX);
    addr->name()[BRSOCK_PIPE_NAME_MAX] = '\0';
    return BR_OK;
  }
  if (!isDigit(*text)) return resolveByName(text, addr);

  const char *p = text;
  while (isHex(*p)) ++p;
  if (*p == '.') {
    if (text[0] == '0') return BR_EINVAL;
    if (parseDottedQuad(text, addr)) return BR_OK;
    return resolveByName(text, addr);
  }
  // ':' after hexadecimal digits would be an IPv6 literal, which this layer does not carry.
  if (*p == ':') return BR_EUNSUPPORTED;
  return BR_EINVAL;
}

void brsockaddr_format(const brsockaddr *addr, char *buf) {
  if (!buf) return;
  if (!addr) {
    buf[0] = '\0';
    return;
  }
  uint8_t b[4];
  memcpy(b, &addr->addr, 4);
  const unsigned port = be16toh(addr->port);
  if (port)
    snprintf(buf, BRSOCKADDR_FORMAT_LEN, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], port);
  else
    snprintf(buf, BRSOCKADDR_FORMAT_LEN, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}
