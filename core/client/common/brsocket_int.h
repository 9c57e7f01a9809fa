// Internals of brsocket shared by the family-neutral part and the platform part.
#pragma once

#include <cstdint>

#include "brsocket.h"

#define BRSOCK_TAG "BRSOCK"
#define BRSOCK_PIPE_BUFSIZE 4096

// One record per socket, the same for both families.
struct brsocket_rec {
  uint16_t family;
  uint16_t flags;
  int fd;              // native descriptor, -1 when none
  brsockaddr local;    // pipes: the address given to bind or connect
  uint64_t boundIno;   // pipes: the socket file this record created (removed at close)
  uint32_t available;  // pipes: bytes waiting in `buffer`
  char buffer[BRSOCK_PIPE_BUFSIZE];
};

// The operations of one family.
struct brsocket_ops {
  int32_t (*close)(brsocket_t s);
  int32_t (*bind)(brsocket_t s, const brsockaddr *addr, int32_t addrlen);
  int32_t (*listen)(brsocket_t s, int32_t backlog);
  brsocket_t (*accept)(brsocket_t s, brsockaddr *addr, int32_t *addrlen);
  int32_t (*connect)(brsocket_t s, const brsockaddr *addr, int32_t addrlen);
  int32_t (*wait_connect)(brsocket_t s, int32_t ms);
  int32_t (*send)(brsocket_t s, const void *data, int32_t len, int32_t flags);
  int32_t (*sendto)(brsocket_t s, const void *data, int32_t len, int32_t flags,
                    const brsockaddr *to, int32_t tolen);
  int32_t (*recv)(brsocket_t s, void *buf, int32_t len, int32_t flags);
  int32_t (*recvfrom)(brsocket_t s, void *buf, int32_t len, int32_t flags, brsockaddr *from,
                      int32_t *fromlen);
  int32_t (*writev)(brsocket_t s, const brsocket_iovec *vec, int32_t count);
  int32_t (*getsockname)(brsocket_t s, brsockaddr *addr, int32_t *addrlen);
  int32_t (*getpeername)(brsocket_t s, brsockaddr *addr, int32_t *addrlen);
  int32_t (*getsockopt)(brsocket_t s, int32_t level, int32_t option, void *value,
                        int32_t *optlen);
  int32_t (*setsockopt)(brsocket_t s, int32_t level, int32_t option, const void *value,
                        int32_t optlen);
};

extern const brsocket_ops brsocket__inetOps;
extern const brsocket_ops brsocket__pipeOps;

// Platform parts used by the family-neutral code.
brsocket_t brsocket__createInet(int kind, int protocol);
brsocket_t brsocket__createPipe();
// Looks `name` up (IPv4); stores the address (network order) in *addr. Result code on failure.
int32_t brsocket__lookupName(const char *name, uint32_t *addr);
// The lookup brsocket_resolve uses; tests and fuzzers replace it to stay off the network.
extern int32_t (*g_brsocket__lookup)(const char *name, uint32_t *addr);
int32_t brsocket__pollPlatform(brpollfd *fds, int32_t count, int32_t ms);
