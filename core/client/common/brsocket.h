// One socket handle over two transports: IPv4 TCP/UDP sockets and local pipes (Unix domain
// stream sockets under $XDG_RUNTIME_DIR that keep the pipe semantics of the original design).
//
// Every operation dispatches on the family stored in the handle, so callers never test it;
// an unknown family gives -4. Results are byte counts or 0 on success, negative result codes
// (brerror.h) on failure. Log tag "BRSOCK".
#pragma once

#include <cstddef>
#include <cstdint>

#include "brerror.h"

enum : uint16_t {
  BRSOCK_AF_LOCAL = 1,  // local pipe
  BRSOCK_AF_INET = 2,   // IPv4
};

enum : int {
  BRSOCK_STREAM = 1,
  BRSOCK_DGRAM = 2,
};

// Poll event bits (the values of POSIX poll).
enum : uint16_t {
  BRPOLL_IN = 0x01,
  BRPOLL_PRI = 0x02,
  BRPOLL_OUT = 0x04,
  BRPOLL_ERR = 0x08,
  BRPOLL_HUP = 0x10,
  BRPOLL_NVAL = 0x20,
};

// Option levels and numbers (the original platform's numbering).
enum : int {
  BRSOL_IP = 0,
  BRSOL_TCP = 6,
  BRSOL_SOCKET = 0xFFFF,
  BRSO_TCP_NODELAY = 1,
  BRSO_REUSEADDR = 4,
  BRSO_SNDBUF = 0x1001,
  BRSO_RCVBUF = 0x1002,
  BRSO_NONBLOCK = 0x1003,
};

// Pipe state flags kept in the handle.
enum : uint16_t {
  BRSOCK_FLAG_BOUND = 0x0001,
  BRSOCK_FLAG_CONNECTED = 0x0002,
  BRSOCK_FLAG_PENDING = 0x0010,
  BRSOCK_FLAG_NONBLOCK = 0x0100,
};

#define BRSOCK_PIPE_NAME_MAX 61
#define BRSOCKADDR_LEN 64
#define BRSOCKADDR_FORMAT_LEN 64

// The family-neutral address: 64 bytes. Ports and addresses are in network byte order. A local
// address keeps its pipe name (NUL-terminated, at most 61 characters) in the 62 bytes after the
// family.
struct brsockaddr {
  uint16_t family;
  uint16_t port;  // IPv4
  uint32_t addr;  // IPv4
  uint8_t rest[56];

  char *name() { return reinterpret_cast<char *>(this) + 2; }
  const char *name() const { return reinterpret_cast<const char *>(this) + 2; }
};
static_assert(sizeof(brsockaddr) == BRSOCKADDR_LEN, "brsockaddr is 64 bytes");

struct brsocket_rec;
typedef brsocket_rec *brsocket_t;
#define BRSOCKET_INVALID ((brsocket_t)(intptr_t)-1)

struct brpollfd {
  brsocket_t socket;
  uint16_t events;
  uint16_t revents;
};

struct brsocket_iovec {
  const void *base;
  size_t len;
};

// Creates a socket of `family` (kind BRSOCK_STREAM or BRSOCK_DGRAM; ignored for pipes). Returns
// the handle, which the caller closes with brsocket_close, or null on failure.
brsocket_t brsocket_create(int family, int kind, int protocol);
// Closes the socket and frees the handle in every state.
int32_t brsocket_close(brsocket_t s);

HB_NODISCARD int32_t brsocket_bind(brsocket_t s, const brsockaddr *addr, int32_t addrlen);
HB_NODISCARD int32_t brsocket_listen(brsocket_t s, int32_t backlog);
// Returns a new connected handle (the caller closes it) or null; a pipe server re-arms itself.
brsocket_t brsocket_accept(brsocket_t s, brsockaddr *addr, int32_t *addrlen);
// A connect that would block counts as success; finish it with brsocket_wait_connect.
HB_NODISCARD int32_t brsocket_connect(brsocket_t s, const brsockaddr *addr, int32_t addrlen);
// Waits until a connect in progress completes: 0, -11 after `ms`, or the connect's failure.
HB_NODISCARD int32_t brsocket_wait_connect(brsocket_t s, int32_t ms);
HB_NODISCARD int32_t brsocket_send(brsocket_t s, const void *data, int32_t len, int32_t flags);
HB_NODISCARD int32_t brsocket_sendto(brsocket_t s, const void *data, int32_t len, int32_t flags,
                                     const brsockaddr *to, int32_t tolen);
HB_NODISCARD int32_t brsocket_recv(brsocket_t s, void *buf, int32_t len, int32_t flags);
HB_NODISCARD int32_t brsocket_recvfrom(brsocket_t s, void *buf, int32_t len, int32_t flags,
                                       brsockaddr *from, int32_t *fromlen);
// Writes the vectors; IPv4: one send when they total at most 4096 bytes, else one per vector,
// stopping at the first short write. Returns the bytes written.
HB_NODISCARD int32_t brsocket_writev(brsocket_t s, const brsocket_iovec *vec, int32_t count);
HB_NODISCARD int32_t brsocket_getsockname(brsocket_t s, brsockaddr *addr, int32_t *addrlen);
HB_NODISCARD int32_t brsocket_getpeername(brsocket_t s, brsockaddr *addr, int32_t *addrlen);
HB_NODISCARD int32_t brsocket_getsockopt(brsocket_t s, int32_t level, int32_t option, void *value,
                                         int32_t *optlen);
HB_NODISCARD int32_t brsocket_setsockopt(brsocket_t s, int32_t level, int32_t option,
                                         const void *value, int32_t optlen);
// Polls any mix of sockets and pipes; the caller clears revents. A negative `ms` waits for
// ever. Returns the number of entries with events, 0 on time-out, or a result code.
HB_NODISCARD int32_t brsocket_poll(brpollfd *fds, int32_t count, int32_t ms);

// Abandoning this thread's waits. The blocking calls of a thread with a cancel check ask it before
// each wait and whenever a signal interrupts one: when it answers nonzero they give up with
// BR_EINTR instead of waiting (on). Without one (the default) an interrupted wait goes on. The
// check is the caller's: a file system can tie it to its request being interrupted.
typedef int (*brsocket_cancel_check)(void *arg);
void brsocket__setThreadCancel(brsocket_cancel_check check, void *arg);
// Whether this thread's check says to give up (0 without one).
int brsocket__cancelled(void);

// Parses a host text ("10.0.0.1:8080", "name:port", "ytolNAME", "http://..." prefix skipped)
// into *addr; *addrlen is set to 64.
HB_NODISCARD int32_t brsocket_resolve(const char *text, brsockaddr *addr, int32_t *addrlen);
// Writes "a.b.c.d:port" (or without ":port" when the port is 0) into `buf` (64 bytes).
void brsockaddr_format(const brsockaddr *addr, char *buf);

struct sockaddr;
struct sockaddr_in;
// Native conversions, IPv4 only. A local address is a programming error.
int32_t brsocket_brsockaddr_to_nsa(const brsockaddr *addr, sockaddr_in *out, int32_t *outlen);
HB_NODISCARD int32_t brsocket_sockaddr_to_brsockaddr(const sockaddr *in, brsockaddr *out);

// Platform details for layers that sit on a socket (TLS): the native descriptor, or -1.
int brsocket_native(brsocket_t s);
uint16_t brsocket_family(brsocket_t s);
// Bytes a pipe holds in its read buffer (0 for IPv4 sockets).
uint32_t brsocket_buffered(brsocket_t s);
// The filesystem path of a local pipe name under $XDG_RUNTIME_DIR (or /tmp); false when it does
// not fit `size`.
bool brsocket_pipePath(const char *name, char *out, size_t size);
