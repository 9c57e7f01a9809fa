// Transport security for "https" connections, over OpenSSL's libssl.
//
// The server's certificate chain and host name (or IP address) are verified against the
// system's trust store, or, when a pinned certificate file is configured (the Server key's value
// "certfile"), against the certificates of that file alone. The session sits on a socket of
// brsocket.h whose blocking mode the caller controls; reads and writes report would-block so
// that the HTTP layer keeps its own time-out loops. Log tag "BRTLS".
#pragma once

#include <cstddef>
#include <cstdint>

#include "brerror.h"
#include "brsocket.h"

struct brtls;

// Name of the settings value that pins the service's certificate.
#define BRTLS_CERTFILE_VALUE "certfile"

// Sets the pinned certificate file (PEM, one or more certificates) for new sessions; null or
// empty returns to the system trust store. Overrides the settings value.
void brtls__setPinnedCertFile(const char *path);
// The pinned file in effect (set above, else the settings value), copied into `buf`; false when
// none.
bool brtls__getPinnedCertFile(char *buf, size_t size);

// Runs the client handshake on the connected socket `s` for `host` (a name or an IPv4 literal,
// without port) within `timeoutMs` (-1: no limit). On success *out is a session the caller frees
// with brtls__free (which does not close the socket). Certificate failures return -17.
HB_NODISCARD int32_t brtls__connect(brtls **out, brsocket_t s, const char *host, int32_t timeoutMs);
// Sends close_notify when the session is healthy, then frees it.
void brtls__free(brtls *t);

// Reads decrypted bytes: the count, 0 when the peer closed, -11 when it would block (wait for
// the socket's readability, or writability when *wantWrite is set), or a result code.
HB_NODISCARD int32_t brtls__read(brtls *t, void *buf, int32_t size, bool *wantWrite);
// Writes bytes (partial writes allowed): the count, -11 when it would block (wait as above),
// or a result code. After -11 the same bytes must be offered again.
HB_NODISCARD int32_t brtls__write(brtls *t, const void *data, int32_t size, bool *wantRead);
// Decrypted bytes already buffered in the session.
int32_t brtls__pending(brtls *t);
// For the idle test: processes what the socket holds without blocking. Returns 0 when only
// protocol records (session tickets) arrived, 1 when application data, end of stream or an
// error arrived.
int32_t brtls__idleCheck(brtls *t);
