// The pool of idle HTTP connections, reused per scheme, host and port.
//
// A connection is tested with a zero-time poll before it is handed out again and when it is
// taken back; one on which the server has sent anything is closed. At most 64 idle connections
// stay; the oldest goes when a 65th comes back. Any thread may get and release. Log tags
// "CONNPOOL" and "CONNPO".
#pragma once

#include <cstdint>

#include "brerror.h"
#include "hbobj.h"

struct BRHTTPConnection;
struct IHBURL;

#define HBHTTPCONNPOOL_MAX_IDLE 64
#define HBHTTPCONNPOOL_DEFAULT_TIMEOUT 30000

struct IHBHTTPConnPool : IHBObj {
  static constexpr int32_t kIfc = HBIFC_HTTPCONNPOOL;
  // A live pooled connection for the URL, or a new one. *out holds one reference, which the
  // caller hands back with releaseConnection (or destroys).
  HB_NODISCARD virtual int32_t getConnection(IHBURL *url, BRHTTPConnection **out) = 0;
  HB_NODISCARD virtual int32_t getConnectionForText(const char *url, BRHTTPConnection **out) = 0;
  // Takes the connection back after its request was destroyed. Takes the caller's reference on
  // `conn` in every case (pooled, or closed and destroyed).
  virtual int32_t releaseConnection(IHBURL *url, BRHTTPConnection *conn) = 0;
  virtual int32_t releaseConnectionForText(const char *url, BRHTTPConnection *conn) = 0;
  // Closes and destroys every idle connection.
  virtual void closeAll() = 0;
};

// Creates a pool; *out holds one reference for the caller.
HB_NODISCARD int32_t hbhttpconnpool__create(IHBHTTPConnPool **out);

// Read and write time-out of new connections (-1 = the default 30000 ms).
void hbhttpconnpool__setTimeout(IHBHTTPConnPool *pool, int32_t ms);
// Idle connections held: in the URL tree and in the time tree.
void hbhttpconnpool__counts(IHBHTTPConnPool *pool, int32_t *urlTree, int32_t *timeTree);

// The process-wide pool used by hburl__connect and hburl__release (and the RPC layer). The
// pool takes its own reference; null unregisters.
void hbhttpconnpool__setDefault(IHBHTTPConnPool *pool);
// The registered pool with one reference for the caller, or null.
IHBHTTPConnPool *hbhttpconnpool__getDefault();
