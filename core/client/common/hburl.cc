// URLs: parsing, composing, percent-coding of paths, and connections for a URL.
#include "hburl.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brhttp.h"
#include "brlog.h"
#include "hbhttpconnpool.h"
#include "hbrpc.h"
#include "hbstr.h"

#define HBURL_TAG "HBURL"

namespace {

char *dupText(const char *t) { return t ? strdup(t) : nullptr; }

bool keepInPath(unsigned char c) {
  return c == '-' || c == '.' || c == '/' || c == ':' || c == '_' || c == '~' ||
         (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class HBURL final : public HBObject<HBURL, IHBURL> {
 public:
  static HBURL *make() { return new HBURL(); }

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_URI || ifc == HBIFC_URL) return offer<IHBURL>(out);
    return BR_ENOENT;
  }

  HB_NODISCARD int32_t toString(IHBStr **out) override {
    if (!out) return BR_EINVAL;
    *out = nullptr;
    const int32_t need = format(nullptr, 0);
    char *buf = static_cast<char *>(malloc(static_cast<size_t>(need) + 1));
    if (!buf) return BR_ENOMEM;
    format(buf, static_cast<size_t>(need) + 1);
    HBStrHeap *s = nullptr;
    const int32_t rc = HBStrHeap::adopt(buf, &s);
    if (rc < 0) return rc;
    *out = s;
    return BR_OK;
  }

  const char *getScheme() override { return m_scheme; }
  void setScheme(const char *text) override {
    m_scheme[0] = '\0';
    if (text) snprintf(m_scheme, sizeof(m_scheme), "%s", text);
  }
  const char *getHost() override { return m_host; }
  void setHost(const char *text) override { replace(&m_host, text); }
  const char *getPath() override { return m_path; }
  void setPath(const char *text) override { replace(&m_path, text); }
  uint16_t getPort() override { return m_port; }
  void setPort(uint16_t port) override { m_port = port; }
  const char *getUser() override { return m_user; }
  void setUser(const char *text) override { replace(&m_user, text); }
  const char *getPassword() override { return m_password; }
  void setPassword(const char *text) override { replace(&m_password, text); }

  int32_t format(char *buf, size_t size) override {
    const bool user = m_user != nullptr;
    const bool pw = user && m_password;
    bool writePort = false;
    if (m_host && m_port != 0) {
      if (strcasecmp(m_scheme, "file") == 0)
        writePort = true;
      else if (strcasecmp(m_scheme, "http") == 0)
        writePort = m_port != 80;
      else if (strcasecmp(m_scheme, "https") == 0)
        writePort = m_port != 443;
    }
    char port[8] = "";
    if (writePort) snprintf(port, sizeof(port), "%u", static_cast<unsigned>(m_port));
    const int n = snprintf(buf, buf ? size : 0, "%s://%s%s%s%s%s%s%s%s", m_scheme,
                           user ? m_user : "", pw ? ":" : "", pw ? m_password : "",
                           user ? "@" : "", m_host ? m_host : "", writePort ? ":" : "",
                           writePort ? port : "", m_path ? m_path : "/");
    return n < 0 ? 0 : n;
  }

  void clear() {
    m_scheme[0] = '\0';
    replace(&m_host, nullptr);
    replace(&m_path, nullptr);
    replace(&m_user, nullptr);
    replace(&m_password, nullptr);
    m_port = 0;
  }

  // Takes over heap texts.
  void adoptHost(char *t) { free(m_host), m_host = t; }
  void adoptPath(char *t) { free(m_path), m_path = t; }
  void adoptUser(char *t) { free(m_user), m_user = t; }
  void adoptPassword(char *t) { free(m_password), m_password = t; }

 private:
  friend class HBObject<HBURL, IHBURL>;
  HBURL() = default;
  ~HBURL() override { clear(); }

  static void replace(char **slot, const char *text) {
    char *n = dupText(text);
    free(*slot);
    *slot = n;
  }

  char m_scheme[HBURL_SCHEME_MAX + 1] = "";
  char *m_host = nullptr;
  char *m_path = nullptr;
  char *m_user = nullptr;
  char *m_password = nullptr;
  uint16_t m_port = 0;
};

char *dupRange(const char *b, const char *e) {
  const size_t n = static_cast<size_t>(e - b);
  char *p = static_cast<char *>(malloc(n + 1));
  if (!p) return nullptr;
  memcpy(p, b, n);
  p[n] = '\0';
  return p;
}

int32_t fail(const char *text) {
  brlog(HBURL_TAG, BRLOG_ERROR, "Unable to parse url '%s'\n", text);
  return BR_EUNSPEC;
}

}  // namespace

int32_t hburl__create(IHBURL **out, IHBURL *from) {
  if (!out) return BR_EINVAL;
  HBURL *u = HBURL::make();
  if (from) {
    u->setScheme(from->getScheme());
    u->setHost(from->getHost());
    u->setPath(from->getPath());
    u->setPort(from->getPort());
    u->setUser(from->getUser());
    u->setPassword(from->getPassword());
  }
  *out = u;
  return BR_OK;
}

int32_t hburl__parse(IHBURL **out, const char *text) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  if (!text) return fail("(null)");
  const char *sep = strstr(text, "://");
  if (!sep) return fail(text);
  // A scheme that does not fit its field is refused rather than cut.
  if (sep - text > HBURL_SCHEME_MAX) return fail(text);
  HBRef<HBURL> u = HBRef<HBURL>::adopt(HBURL::make());
  char scheme[HBURL_SCHEME_MAX + 1];
  memcpy(scheme, text, static_cast<size_t>(sep - text));
  scheme[sep - text] = '\0';
  u->setScheme(scheme);
  const bool isFile = strcasecmp(scheme, "file") == 0;

  const char *rest = sep + 3;
  // "file:///C:/..." names a drive: the path starts at the drive letter. A local path of this
  // platform ("file:///home/...") keeps its leading "/".
  const bool drivePath = isFile && rest[0] == '/' && isalpha(static_cast<unsigned char>(rest[1])) &&
                         rest[2] == ':';
  if (drivePath) rest += 1;

  const char *end = rest + strlen(rest);
  const char *path = strchr(rest, '/');
  const char *hostEnd = path ? path : end;
  const char *at = static_cast<const char *>(memchr(rest, '@', static_cast<size_t>(hostEnd - rest)));
  const char *hostStart = rest;
  if (at) {
    const char *colon = static_cast<const char *>(memchr(rest, ':', static_cast<size_t>(at - rest)));
    if (colon) {
      u->adoptUser(dupRange(rest, colon));
      if (at > colon + 1) u->adoptPassword(dupRange(colon + 1, at));
    } else {
      u->adoptUser(dupRange(rest, at));
    }
    hostStart = at + 1;
  }

  if (isFile && isalpha(static_cast<unsigned char>(hostStart[0])) && hostStart[1] == ':') {
    path = hostStart;  // a drive: no host
  } else {
    const char *colon =
        static_cast<const char *>(memchr(hostStart, ':', static_cast<size_t>(hostEnd - hostStart)));
    const char *hEnd = colon ? colon : hostEnd;
    if (colon) {
      uint32_t port = 0;
      for (const char *p = colon + 1; p < hostEnd; ++p) {
        if (*p < '0' || *p > '9') return fail(text);
        port = port * 10 + static_cast<uint32_t>(*p - '0');
        if (port > 65535) return fail(text);
      }
      u->setPort(static_cast<uint16_t>(port));
    }
    if (hEnd > hostStart) u->adoptHost(dupRange(hostStart, hEnd));
  }

  if (path && *path) {
    const size_t n = strlen(path);
    char *decoded = static_cast<char *>(malloc(n + 1));
    if (!decoded) return BR_ENOMEM;
    if (hburl__decodePath(path, decoded, n + 1) < 0) {
      // A stray "%" stays as written instead of cutting the path short.
      memcpy(decoded, path, n + 1);
    }
    u->adoptPath(decoded);
  }
  if (u->getPort() == 0) {
    if (strcmp(scheme, "http") == 0) u->setPort(80);
    if (strcmp(scheme, "https") == 0) u->setPort(443);
  }
  brlog(HBURL_TAG, BRLOG_VERBOSE3,
        "Parsed url '%s' -> scheme '%s' host '%s' port '%u' path '%s' user '%s' pw '%s'\n", text,
        u->getScheme(), u->getHost() ? u->getHost() : "", (unsigned)u->getPort(),
        u->getPath() ? u->getPath() : "", u->getUser() ? u->getUser() : "",
        u->getPassword() ? u->getPassword() : "");
  *out = u.detach();
  return BR_OK;
}

int32_t hburl__fromPath(IHBURL **out, const char *text) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  if (!text) return BR_EINVAL;
  if (strncmp(text, "file://", 7) == 0) return hburl__parse(out, text);
  // Only absolute local paths have a file URL.
  const size_t n = strlen(text);
  if (text[0] != '/' || n > 2048) return BR_EINVAL;
  std::string url = "file://";
  char hex[4];
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (keepInPath(c)) {
      url += static_cast<char>(c);
    } else {
      snprintf(hex, sizeof(hex), "%%%02x", c);
      url += hex;
    }
  }
  const int32_t rc = hburl__parse(out, url.c_str());
  return rc < 0 ? BR_EINVAL : rc;
}

namespace {

// Appends to a bounded output, counting the full length.
struct Out {
  char *buf;
  size_t size;
  size_t len = 0;
  void put(const char *p, size_t n) {
    if (buf && len < size) {
      const size_t room = size - len;
      memcpy(buf + len, p, n < room ? n : room);
    }
    len += n;
  }
  void finish() {
    if (!buf || size == 0) return;
    if (len < size) {
      brlog(HBURL_TAG, BRLOG_VERBOSE3, "    THERE IS ROOM AT END OF BUFFER - SETTING TERMINATING CHAR\n");
      buf[len] = '\0';
    } else {
      brlog(HBURL_TAG, BRLOG_VERBOSE3, "    BUFFER WAS INSUFFICIENT - SETTING TERMINATING CHAR\n");
      buf[size - 1] = '\0';
    }
  }
};

}  // namespace

int32_t hburl__encodePath(const char *path, char *out) {
  if (!path) path = "";
  brlog(HBURL_TAG, BRLOG_VERBOSE3, "Encoding URL Path '%s'\n", path);
  Out o{out, out ? static_cast<size_t>(HBURL_ENCODE_BUFSIZE) : 0};
  const char *p = path;
  while (*p) {
    const char *run = p;
    while (*p && keepInPath(static_cast<unsigned char>(*p))) ++p;
    if (p > run) {
      const int n = static_cast<int>(p - run);
      brlog(HBURL_TAG, BRLOG_VERBOSE3, "    NON-ESCAPED RANGE: '%-*.*s'\n", n, n, run);
      o.put(run, static_cast<size_t>(n));
    }
    if (!*p) break;
    char hex[4];
    snprintf(hex, sizeof(hex), "%%%02x", static_cast<unsigned char>(*p));
    brlog(HBURL_TAG, BRLOG_VERBOSE3, "    CHARACTER CONVERSION: 0x%x '' --> '%s'\n",
          static_cast<unsigned char>(*p), hex);
    o.put(hex, 3);
    ++p;
  }
  o.finish();
  if (out) brlog(HBURL_TAG, BRLOG_VERBOSE3, "   -- ENCODE RESULT: '%s'\n", out);
  return static_cast<int32_t>(o.len);
}

int32_t hburl__decodePath(const char *path, char *out, size_t size) {
  if (!path) path = "";
  brlog(HBURL_TAG, BRLOG_VERBOSE3, "Decoding URL Path '%s'\n", path);
  Out o{out, size};
  const char *p = path;
  int32_t result = 0;
  while (*p) {
    const char *run = p;
    while (*p && *p != '%' && *p != '+') ++p;
    if (p > run) o.put(run, static_cast<size_t>(p - run));
    if (!*p) break;
    if (*p == '+') {
      o.put(" ", 1);
      ++p;
      continue;
    }
    const int hi = hexValue(p[1]);
    const int lo = hi < 0 ? -1 : hexValue(p[2]);
    if (hi < 0 || lo < 0) {
      const ptrdiff_t off = p - path;
      result = off > 0 ? -static_cast<int32_t>(off) : -1;
      break;
    }
    const char c = static_cast<char>(hi * 16 + lo);
    if (c)
      brlog(HBURL_TAG, BRLOG_VERBOSE3, "    CHARACTER CONVERSION: 0x%x '%c'\n",
            static_cast<unsigned char>(c), c);
    else
      brlog(HBURL_TAG, BRLOG_VERBOSE3, "    CHARACTER CONVERSION: 0x%x ''\n", 0u);
    o.put(&c, 1);
    p += 3;
  }
  o.finish();
  if (out && size) brlog(HBURL_TAG, BRLOG_VERBOSE3, "   -- DECODE RESULT: '%s'\n", out);
  return result < 0 ? result : static_cast<int32_t>(o.len);
}

int hburl__compare(IHBURL *a, IHBURL *b) {
  const char *sa = a->getScheme() ? a->getScheme() : "";
  const char *sb = b->getScheme() ? b->getScheme() : "";
  int c = strcmp(sa, sb);
  if (c) return c;
  const char *ha = a->getHost() ? a->getHost() : "";
  const char *hb = b->getHost() ? b->getHost() : "";
  c = strcasecmp(ha, hb);
  if (c) return c;
  return static_cast<int>(a->getPort()) - static_cast<int>(b->getPort());
}

int32_t hburl__connect(IHBURL *url, BRHTTPConnection **out) {
  if (!url || !out) return BR_EINVAL;
  *out = nullptr;
  HBRef<IHBHTTPConnPool> pool = HBRef<IHBHTTPConnPool>::adopt(hbrpc__getConnPool());
  if (pool) return pool->getConnection(url, out);
  return BRHTTPConnection__new(out, url->getScheme(), url->getHost() ? url->getHost() : "",
                               url->getPort(), 0, 30000, 30000, 30000);
}

int32_t hburl__release(IHBURL *url, BRHTTPConnection *conn) {
  if (!conn) return BR_EINVAL;
  HBRef<IHBHTTPConnPool> pool = HBRef<IHBHTTPConnPool>::adopt(hbrpc__getConnPool());
  if (pool && url) return pool->releaseConnection(url, conn);
  BRHTTPConnection__close(conn);
  BRHTTPConnection__destroy(conn);
  return BR_OK;
}
