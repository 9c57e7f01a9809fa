// TLS sessions over OpenSSL's libssl for the HTTP client.
#include "brtls.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "brlog.h"
#include "brthread.h"
#include "hbproperties.h"

#define BRTLS_TAG "BRTLS"

struct brtls {
  SSL *ssl;
  int fd;
  bool dontWait;  // the next socket calls must not block (idle test, shutdown)
  bool broken;    // a fatal error happened: no close_notify
};

namespace {

std::mutex g_mutex;
std::string g_pinnedOverride;
bool g_overrideSet = false;
SSL_CTX *g_ctx = nullptr;
std::string g_ctxPinned;  // the pinned file g_ctx was made for ("" = system store)

// ---- A socket BIO that never raises SIGPIPE and can be told not to wait ----

BIO_METHOD *g_bioMethod = nullptr;

int bioWrite(BIO *b, const char *data, int len) {
  brtls *t = static_cast<brtls *>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  ssize_t n;
  do {
    n = ::send(t->fd, data, static_cast<size_t>(len),
               MSG_NOSIGNAL | (t->dontWait ? MSG_DONTWAIT : 0));
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(b);
  return static_cast<int>(n);
}

int bioRead(BIO *b, char *buf, int len) {
  brtls *t = static_cast<brtls *>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  ssize_t n;
  do {
    n = ::recv(t->fd, buf, static_cast<size_t>(len), t->dontWait ? MSG_DONTWAIT : 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(b);
  return static_cast<int>(n);
}

long bioCtrl(BIO *, int cmd, long, void *) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }
int bioCreate(BIO *b) {
  BIO_set_init(b, 1);
  return 1;
}
int bioDestroy(BIO *) { return 1; }

BIO_METHOD *bioMethod() {
  if (!g_bioMethod) {
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "brtls socket");
    if (!m) return nullptr;
    BIO_meth_set_write(m, bioWrite);
    BIO_meth_set_read(m, bioRead);
    BIO_meth_set_ctrl(m, bioCtrl);
    BIO_meth_set_create(m, bioCreate);
    BIO_meth_set_destroy(m, bioDestroy);
    g_bioMethod = m;
  }
  return g_bioMethod;
}

void logErrors(const char *what) {
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof(buf));
    brlog(BRTLS_TAG, BRLOG_ERROR, "%s: %s\n", what, buf);
  }
}

// The context for the pinned file in effect, with one reference for the caller.
SSL_CTX *contextFor(const std::string &pinned) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_ctx && g_ctxPinned == pinned) {
    SSL_CTX_up_ref(g_ctx);
    return g_ctx;
  }
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  bool ok;
  if (pinned.empty()) {
    ok = SSL_CTX_set_default_verify_paths(ctx) == 1;
  } else {
    // The pinned file is the only trust anchor; a pinned server certificate need not be a CA.
    ok = SSL_CTX_load_verify_locations(ctx, pinned.c_str(), nullptr) == 1;
    X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ctx), X509_V_FLAG_PARTIAL_CHAIN);
  }
  if (!ok) {
    brlog(BRTLS_TAG, BRLOG_ERROR, "Failed to load trust anchors '%s'\n",
          pinned.empty() ? "(system)" : pinned.c_str());
    logErrors("trust anchors");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  if (g_ctx) SSL_CTX_free(g_ctx);
  g_ctx = ctx;
  g_ctxPinned = pinned;
  SSL_CTX_up_ref(ctx);
  return ctx;
}

bool isIpLiteral(const char *host) {
  unsigned a, b, c, d;
  char tail;
  return sscanf(host, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) == 4;
}

int waitFor(int fd, bool write, int64_t deadline) {
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      const int64_t left = deadline - brtime__ticks();
      if (left <= 0) return 0;
      wait = static_cast<int>(left);
    }
    struct pollfd p = {fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    const int rc = ::poll(&p, 1, wait);
    if (rc > 0) return 1;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

int32_t mapIoError(brtls *t, int ret, bool *wantOther, bool isWrite) {
  const int err = SSL_get_error(t->ssl, ret);
  switch (err) {
    case SSL_ERROR_WANT_READ:
      if (isWrite) *wantOther = true;
      return BR_ETIMEDOUT;
    case SSL_ERROR_WANT_WRITE:
      if (!isWrite) *wantOther = true;
      return BR_ETIMEDOUT;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_SYSCALL: {
      const int e = errno;
      t->broken = true;
      ERR_clear_error();
      if (e == EPIPE || e == ECONNRESET || e == 0) return BR_ECONNRESET;
      if (e == ECONNABORTED) return BR_ECONNABORTED;
      return BR_EUNSPEC;
    }
    default:
      t->broken = true;
      logErrors(isWrite ? "TLS write" : "TLS read");
      // An end of stream without close_notify could be a truncation: never a clean end.
      return BR_ECONNRESET;
  }
}

}  // namespace

void brtls__setPinnedCertFile(const char *path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_overrideSet = path != nullptr;
  g_pinnedOverride = path ? path : "";
}

bool brtls__getPinnedCertFile(char *buf, size_t size) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_overrideSet) path = g_pinnedOverride;
  }
  if (path.empty()) {
    std::string v;
    if (hbproperties__readKeyValue(HBPROPERTIES_KEY_SERVER, BRTLS_CERTFILE_VALUE, &v) == 0)
      path = v;
  }
  if (buf && size) snprintf(buf, size, "%s", path.c_str());
  return !path.empty();
}

int32_t brtls__connect(brtls **out, brsocket_t s, const char *host, int32_t timeoutMs) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  const int fd = brsocket_native(s);
  if (fd < 0 || !host) return BR_EINVAL;
  char pinned[4096];
  if (!brtls__getPinnedCertFile(pinned, sizeof(pinned))) pinned[0] = '\0';
  SSL_CTX *ctx = contextFor(pinned);
  if (!ctx) return BR_ENOTAUTH;

  brtls *t = new brtls{nullptr, fd, false, false};
  t->ssl = SSL_new(ctx);
  SSL_CTX_free(ctx);
  BIO *bio = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    BIO_METHOD *m = bioMethod();
    bio = m ? BIO_new(m) : nullptr;
  }
  if (!t->ssl || !bio) {
    if (bio) BIO_free(bio);
    if (t->ssl) SSL_free(t->ssl);
    delete t;
    return BR_ENOMEM;
  }
  BIO_set_data(bio, t);
  SSL_set_bio(t->ssl, bio, bio);
  if (isIpLiteral(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(t->ssl), host);
  } else {
    SSL_set_tlsext_host_name(t->ssl, host);
    SSL_set1_host(t->ssl, host);
  }

  const int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  const int64_t deadline = timeoutMs < 0 ? -1 : brtime__ticks() + timeoutMs;
  int32_t rc = BR_OK;
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(t->ssl);
    if (r == 1) break;
    const int err = SSL_get_error(t->ssl, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      const int w = waitFor(fd, err == SSL_ERROR_WANT_WRITE, deadline);
      if (w > 0) continue;
      rc = w == 0 ? BR_ETIMEDOUT : BR_EUNSPEC;
      if (w == 0) brlog(BRTLS_TAG, BRLOG_VERBOSE, "[%s] TLS handshake timed out\n", host);
      break;
    }
    const long vr = SSL_get_verify_result(t->ssl);
    if (vr != X509_V_OK) {
      brlog(BRTLS_TAG, BRLOG_ERROR, "[%s] TLS certificate refused: %s\n", host,
            X509_verify_cert_error_string(vr));
      rc = BR_ENOTAUTH;
    } else {
      brlog(BRTLS_TAG, BRLOG_ERROR, "[%s] TLS handshake failed (%d)\n", host, err);
      logErrors("TLS handshake");
      rc = err == SSL_ERROR_SYSCALL ? BR_ECONNRESET : BR_ENOCONN;
    }
    break;
  }
  ERR_clear_error();
  if (fl >= 0) fcntl(fd, F_SETFL, fl);
  if (rc < 0) {
    t->broken = true;
    brtls__free(t);
    return rc;
  }
  brlog(BRTLS_TAG, BRLOG_VERBOSE3, "[%s] TLS session %s %s\n", host, SSL_get_version(t->ssl),
        SSL_get_cipher_name(t->ssl));
  *out = t;
  return BR_OK;
}

void brtls__free(brtls *t) {
  if (!t) return;
  if (t->ssl) {
    if (!t->broken && SSL_is_init_finished(t->ssl)) {
      t->dontWait = true;
      (void)SSL_shutdown(t->ssl);
    }
    SSL_free(t->ssl);
  }
  ERR_clear_error();
  delete t;
}

int32_t brtls__read(brtls *t, void *buf, int32_t size, bool *wantWrite) {
  if (wantWrite) *wantWrite = false;
  if (size <= 0) return 0;
  ERR_clear_error();
  const int n = SSL_read(t->ssl, buf, size);
  if (n > 0) return n;
  bool other = false;
  const int32_t rc = mapIoError(t, n, &other, false);
  if (wantWrite) *wantWrite = other;
  return rc;
}

int32_t brtls__write(brtls *t, const void *data, int32_t size, bool *wantRead) {
  if (wantRead) *wantRead = false;
  if (size <= 0) return 0;
  ERR_clear_error();
  const int n = SSL_write(t->ssl, data, size);
  if (n > 0) return n;
  bool other = false;
  int32_t rc = mapIoError(t, n, &other, true);
  if (rc == 0) rc = BR_ECONNRESET;  // the peer closed: nothing more can be written
  if (wantRead) *wantRead = other;
  return rc;
}

int32_t brtls__pending(brtls *t) { return t ? SSL_pending(t->ssl) : 0; }

int32_t brtls__idleCheck(brtls *t) {
  char b;
  t->dontWait = true;
  ERR_clear_error();
  const int n = SSL_peek(t->ssl, &b, 1);
  t->dontWait = false;
  if (n > 0) return 1;
  const int err = SSL_get_error(t->ssl, n);
  ERR_clear_error();
  return err == SSL_ERROR_WANT_READ ? 0 : 1;
}
