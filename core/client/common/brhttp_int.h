// Internals of the HTTP client: the two records, shared by the request and response halves.
#pragma once

#include <atomic>
#include <cstdint>

#include "brhttp.h"

struct brtls;

#define BRHTTP_TAG "BRHTTP"

struct BRHTTPConnection {
  brsocket_t socket;
  uint32_t port;
  brsockaddr address;
  char scheme[32];
  char host[256];     // Host header text and log prefix
  char bareHost[256]; // the caller's host, for TLS name checks
  uint32_t flags;
  int32_t connectTimeout;
  int32_t readTimeout;
  int32_t writeTimeout;
  int32_t indestroy;
  int32_t nrecvpoll;
  int32_t nsendpoll;
  int32_t nwritevpoll;
  std::atomic<int32_t> refs;
  bool useTls;
  brtls *tls;
};

struct BRHTTPRequest {
  BRHTTPConnection *conn;
  uint32_t flags;
  uint32_t savedFlags;
  int32_t state;
  int64_t reqClen;
  int32_t owedChunk;
  int32_t hdrTerminated;
  char *hdr;  // 4096 bytes: request header, then response header and pending body bytes
  uint32_t hdrLen;
  // Response.
  int32_t status;
  uint32_t bodyStart;  // offsets into hdr
  uint32_t cursor;
  uint32_t pending;
  int64_t respClen;  // also the current chunk's remaining bytes (-1 between chunks)
  bool chunkSepExpected;
  bool sawEof;
  bool badLength;
  char *store;  // 4096 bytes of "name\0value\0" pairs
  uint32_t storeLen;
  int32_t indestroy;
  std::atomic<int32_t> refs;
};

// The vectored write of plain (not TLS) connections; tests replace it to cut writes short at
// chosen bytes.
extern int32_t (*g_brhttp__writev)(brsocket_t s, const brsocket_iovec *vec, int32_t count);

// Shared between the request and response halves.
int32_t brhttp__sendReqInternal(BRHTTPRequest *r, const char *data, int32_t size,
                                int32_t *reported);
int32_t brhttp__sendLastChunk(BRHTTPRequest *r);
bool brhttp__nameIs(const char *a, const char *b);
bool brhttp__parseLength(const char *v, int64_t *out);
void brhttp__freeRequest(BRHTTPRequest *r);
// The connection's reference count, for consistency checks: 1 means no request holds it.
inline int32_t brhttp__connRefs(const BRHTTPConnection *c) {
  return c->refs.load(std::memory_order_acquire);
}
