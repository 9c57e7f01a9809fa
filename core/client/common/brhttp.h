// The core's synchronous HTTP/1.1 client.
//
// A BRHTTPConnection is one socket to one scheme, host and port with connect, read and write
// time-outs (milliseconds, -1 = block for ever). A BRHTTPRequest is one exchange on a connection:
// create it, add headers, send the body (directly or through HBBRHTTPReqStrm), read the response
// header and body, destroy it. Destroy drains small leftovers so the connection can be reused,
// or closes the socket; a closed connection reconnects when the next request is sent.
// URLs of scheme "https" speak TLS (see brtls.h); every behaviour below is the same over it.
//
// A connection and its requests are used by one thread at a time. Log tag "BRHTTP".
#pragma once

#include <cstddef>
#include <cstdint>

#include "brerror.h"
#include "brsocket.h"
#include "hbstream.h"

struct BRHTTPConnection;
struct BRHTTPRequest;

// Connection flag: the last read on this connection timed out.
enum : uint32_t { BRHTTP_CONN_READ_TIMEDOUT = 0x01000000 };
// Connection flag: a wait on it was abandoned (the thread's cancel check, brsocket.h); what it
// was in the middle of is lost, so it is closed, never used again.
enum : uint32_t { BRHTTP_CONN_INTERRUPTED = 0x02000000 };

// Request and response flags.
enum : uint32_t {
  BRHTTP_REQ_HTTP = 0x0001,
  BRHTTP_REQ_NOT_HTTP10 = 0x0002,
  BRHTTP_REQ_HAS_HOST = 0x0100,
  BRHTTP_REQ_CLEN = 0x0200,
  BRHTTP_REQ_CHUNKED = 0x0400,
  BRHTTP_REQ_NO_RESP_BODY = 0x0800,
  BRHTTP_REQ_HAS_UA = 0x2000,
  BRHTTP_RESP_HTTP = 0x10000,
  BRHTTP_RESP_NOT_HTTP10 = 0x20000,
  BRHTTP_RESP_CLEN = 0x40000,
  BRHTTP_RESP_CHUNKED = 0x80000,
  BRHTTP_RESP_CLOSE = 0x100000,
};

// Request states.
enum : int32_t {
  BRHTTP_ST_FAILED = -1,
  BRHTTP_ST_DESTROYED = 0,
  BRHTTP_ST_CREATED = 2,
  BRHTTP_ST_BODY = 4,
  BRHTTP_ST_WAIT_RESPONSE = 5,
  BRHTTP_ST_RESP_BODY = 7,
  BRHTTP_ST_TRAILER = 8,
  BRHTTP_ST_COMPLETE = 9,
};

#define BRHTTP_BUFSIZE 4096
#define BRHTTP_USER_AGENT_PREFIX "VXHTTP/4.5.5.14"

// The client text appended to the User-Agent of every request (set once at start-up; null
// clears it).
void brhttp__setUserAgent(const char *text);
// Copies the client text into `buf` (cut to `size`); returns its full length, 0 when unset.
size_t brhttp__getUserAgent(char *buf, size_t size);

// ---- Connections ----

// Creates, resolves and connects. On success *out holds one reference, which the caller gives
// up with BRHTTPConnection__destroy (or hands to the pool). Returns 0 or a result code.
HB_NODISCARD int32_t BRHTTPConnection__new(BRHTTPConnection **out, const char *scheme,
                                           const char *host, uint32_t port, uint32_t flags,
                                           int32_t connectTimeout, int32_t readTimeout,
                                           int32_t writeTimeout);
int32_t BRHTTPConnection__upref(BRHTTPConnection *c);
int32_t BRHTTPConnection__dnref(BRHTTPConnection *c);
void BRHTTPConnection__setTimeouts(BRHTTPConnection *c, int32_t connectTimeout,
                                   int32_t readTimeout, int32_t writeTimeout);
// The three time-outs (any pointer may be null), so that a caller can restore them.
void BRHTTPConnection__getTimeouts(const BRHTTPConnection *c, int32_t *connectTimeout,
                                   int32_t *readTimeout, int32_t *writeTimeout);
// (Re)opens the socket to the stored address.
HB_NODISCARD int32_t BRHTTPConnection__connect(BRHTTPConnection *c);
// Closes the socket if open; the record stays usable and reconnects on the next request.
void BRHTTPConnection__close(BRHTTPConnection *c);
// Closes the socket and drops the caller's reference.
void BRHTTPConnection__destroy(BRHTTPConnection *c);

bool BRHTTPConnection__isOpen(const BRHTTPConnection *c);
uint32_t BRHTTPConnection__getFlags(const BRHTTPConnection *c);
const char *BRHTTPConnection__getScheme(const BRHTTPConnection *c);
// The host text as sent in the Host header ("name" or "name:port").
const char *BRHTTPConnection__getHost(const BRHTTPConnection *c);
uint32_t BRHTTPConnection__getPort(const BRHTTPConnection *c);
bool BRHTTPConnection__isTls(const BRHTTPConnection *c);
// A zero-time poll for IN, PRI, ERR and HUP on an open connection: returns the poll's result
// (0 = nothing reported, the connection is idle and alive) and the events seen in *revents.
// Over TLS, records that carry no application data (session tickets) do not count.
int32_t BRHTTPConnection__pollIdle(BRHTTPConnection *c, uint16_t *revents);
// Polls made since the last request was destroyed: receive, send, vectored write.
void BRHTTPConnection__getPollCounts(const BRHTTPConnection *c, int32_t *recv, int32_t *send,
                                     int32_t *writev);

// Socket I/O with the connection's time-outs (used by requests; exposed for tests and tools).
HB_NODISCARD int32_t BRHTTPConnection__read(BRHTTPConnection *c, void *buf, int32_t size);
HB_NODISCARD int32_t BRHTTPConnection__send(BRHTTPConnection *c, const void *data, int32_t size);
HB_NODISCARD int32_t BRHTTPConnection__writev(BRHTTPConnection *c, const brsocket_iovec *vec,
                                              int32_t count);

// ---- Requests ----

// Starts a request "METHOD PATH HTTP/1.1" (method "GET" when null). *out holds one reference
// for the caller, given up with BRHTTPRequest__destroy; the request holds its own reference on
// the connection.
HB_NODISCARD int32_t BRHTTPConnection__newRequest(BRHTTPConnection *c, const char *method,
                                                  const char *path, BRHTTPRequest **out);
int32_t BRHTTPRequest__upref(BRHTTPRequest *r);
int32_t BRHTTPRequest__dnref(BRHTTPRequest *r);

// Adds a header; a null or empty name sends the request now.
HB_NODISCARD int32_t BRHTTPRequest__addRequestHeader(BRHTTPRequest *r, const char *name,
                                                     const char *value);
// Sends what is unsent and finishes the request (the last chunk of a chunked body).
HB_NODISCARD int32_t BRHTTPRequest__sendRequest(BRHTTPRequest *r);
// Sends body bytes; returns the bytes accepted (possibly fewer than `size`) or a result code.
HB_NODISCARD int32_t BRHTTPRequest__writeRequestBody(BRHTTPRequest *r, const void *data,
                                                     int32_t size);

// Reads the status line and headers; returns the status code or a result code. `reason`, when
// given, receives the reason text cut to `reasonSize`.
HB_NODISCARD int32_t BRHTTPRequest__receiveResponseHeader(BRHTTPRequest *r, char *reason,
                                                          int32_t reasonSize);
// A stored response header value (borrowed while the request lives), or null.
const char *BRHTTPRequest__getResponseHeader(BRHTTPRequest *r, const char *name);
// Delivers body bytes into `buf` (null discards, at most 4096 per call); 0 when the body is
// complete, or a result code.
HB_NODISCARD int32_t BRHTTPRequest__receiveResponseBody(BRHTTPRequest *r, void *buf,
                                                        int32_t size);
// Finishes the exchange (drains small leftovers or closes the connection), logs the statistics
// and drops the caller's reference. Never fails.
void BRHTTPRequest__destroy(BRHTTPRequest *r);

int32_t BRHTTPRequest__getState(const BRHTTPRequest *r);
uint32_t BRHTTPRequest__getFlags(const BRHTTPRequest *r);
int32_t BRHTTPRequest__getStatus(const BRHTTPRequest *r);
BRHTTPConnection *BRHTTPRequest__getConnection(const BRHTTPRequest *r);
// Bytes of response body still to deliver when a Content-Length is known, else -1.
int64_t BRHTTPRequest__getContentLength(const BRHTTPRequest *r);

// A stream view of one request, for the common stream code: read is receiveResponseBody, write
// is writeRequestBody. It does not own the request and lives on the caller's stack; its
// reference operations do nothing and return 1.
class HBBRHTTPReqStrm final : public IHBStream {
 public:
  explicit HBBRHTTPReqStrm(BRHTTPRequest *request) : m_request(request) {}
  ~HBBRHTTPReqStrm() override = default;
  int32_t upref() override { return 1; }
  int32_t dnref() override { return 1; }
  HB_NODISCARD int32_t getifc(int32_t, void **) override { return BR_EUNSUPPORTED; }
  HB_NODISCARD int32_t read(void *buffer, int32_t length) override {
    return BRHTTPRequest__receiveResponseBody(m_request, buffer, length);
  }
  HB_NODISCARD int32_t write(const void *buffer, int32_t length) override {
    return BRHTTPRequest__writeRequestBody(m_request, buffer, length);
  }
  int64_t seek(int64_t, int32_t) override { return BR_ENOTIMPL; }
  int32_t flush() override { return 0; }
  int32_t close() override { return 0; }

 private:
  BRHTTPRequest *m_request;
};
