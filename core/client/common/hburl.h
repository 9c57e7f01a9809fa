// Absolute URLs: parse, change and compose; percent-coding of paths; opening and giving back an
// HTTP connection for a URL (through the registered connection pool when there is one).
//
// The path is held decoded and includes its leading "/". Log tag "HBURL".
#pragma once

#include <cstddef>
#include <cstdint>

#include "brerror.h"
#include "hbobj.h"

struct IHBStr;
struct BRHTTPConnection;

#define HBURL_SCHEME_MAX 31
#define HBURL_ENCODE_BUFSIZE 128

// The URI root: the object's own three operations and its text form.
struct IHBURI : IHBObj {
  static constexpr int32_t kIfc = HBIFC_URI;
  // A new string object holding the composed text; *out holds one reference for the caller.
  HB_NODISCARD virtual int32_t toString(IHBStr **out) = 0;
};

struct IHBURL : IHBURI {
  static constexpr int32_t kIfc = HBIFC_URL;
  virtual const char *getScheme() = 0;
  // Copies at most 31 characters.
  virtual void setScheme(const char *text) = 0;
  virtual const char *getHost() = 0;
  virtual void setHost(const char *text) = 0;
  virtual const char *getPath() = 0;
  virtual void setPath(const char *text) = 0;
  virtual uint16_t getPort() = 0;
  virtual void setPort(uint16_t port) = 0;
  virtual const char *getUser() = 0;
  virtual void setUser(const char *text) = 0;
  virtual const char *getPassword() = 0;
  virtual void setPassword(const char *text) = 0;
  // Composes into `buf` (cut to `size`, always terminated when size > 0); returns the length the
  // full text needs.
  virtual int32_t format(char *buf, size_t size) = 0;
};

// Creates an empty URL, or a copy of `from`; *out holds one reference for the caller.
HB_NODISCARD int32_t hburl__create(IHBURL **out, IHBURL *from = nullptr);

// Parses an absolute URL. 0 and *out with one reference, or -1 when it cannot be parsed (no
// "://", a scheme longer than 31 characters, a bad port).
HB_NODISCARD int32_t hburl__parse(IHBURL **out, const char *text);
// As hburl__parse, but a local path (not starting with "file://") is first made a file URL;
// -6 when that conversion fails.
HB_NODISCARD int32_t hburl__fromPath(IHBURL **out, const char *text);

// Percent-encodes `path` into `out` (128 bytes, always terminated); returns the length of the
// full encoded text even when it was cut.
int32_t hburl__encodePath(const char *path, char *out);
// Decodes `path` into `out` (`size` bytes, terminated when size > 0); returns the decoded length,
// or the negative offset of a "%" not followed by two hexadecimal digits.
int32_t hburl__decodePath(const char *path, char *out, size_t size);

// Compares scheme (bytes), host (without case) and port: the connection pool's key order.
int hburl__compare(IHBURL *a, IHBURL *b);

// An HTTP connection for the URL, from the registered pool or made directly (time-outs 30000 ms).
// *out holds one reference that the caller gives back with hburl__release.
HB_NODISCARD int32_t hburl__connect(IHBURL *url, BRHTTPConnection **out);
// Gives the connection back to the pool, or closes and destroys it without a pool. Takes the
// caller's reference on `conn`.
int32_t hburl__release(IHBURL *url, BRHTTPConnection *conn);
