// "https" connections against a loopback TLS server with certificates made at test time:
// pinned certificates, host names, untrusted peers, time-outs and pooling over TLS.
#include "brtls.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

#include "brhttp.h"
#include "hbhttpconnpool.h"
#include "hbproperties.h"
#include "hburl.h"
#include "nettest.h"
#include "testutil.h"

namespace {

// A self-signed certificate and its key, written as PEM files.
struct Cert {
  std::string certPath, keyPath;
  X509 *x509 = nullptr;
  EVP_PKEY *key = nullptr;
  Cert(const tessel::test::TempDir &dir, const std::string &name, const std::string &san) {
    key = EVP_EC_gen("P-256");
    x509 = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x509), 3600 * 24);
    X509_set_pubkey(x509, key);
    X509_NAME *n = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(x509, n);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x509, x509, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str());
    X509_add_ext(x509, ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(x509, key, EVP_sha256());
    certPath = dir.file(name + ".pem");
    keyPath = dir.file(name + ".key");
    FILE *f = fopen(certPath.c_str(), "w");
    PEM_write_X509(f, x509);
    fclose(f);
    f = fopen(keyPath.c_str(), "w");
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
  }
  ~Cert() {
    X509_free(x509);
    EVP_PKEY_free(key);
  }
};

enum class Mode { Serve, Silent, NoHandshake };

// A TLS server answering each request with `body` (Content-Length), keeping the connection.
nettest::ScriptServer::Handler tlsServer(const Cert &cert, Mode mode, const std::string &body,
                                         std::string *uploaded = nullptr) {
  return [&cert, mode, body, uploaded](int fd, int) {
    if (mode == Mode::NoHandshake) {
      nettest::readAll(fd, 2000);
      return;
    }
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, cert.x509);
    SSL_CTX_use_PrivateKey(ctx, cert.key);
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      std::string buf;
      char tmp[65536];
      for (;;) {
        size_t end;
        while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
          const int n = SSL_read(ssl, tmp, sizeof(tmp));
          if (n <= 0) goto done;
          buf.append(tmp, static_cast<size_t>(n));
        }
        const std::string header = buf.substr(0, end + 4);
        buf.erase(0, end + 4);
        const std::string clen = nettest::headerValue(header, "Content-Length");
        if (!clen.empty()) {
          const size_t want = std::stoul(clen);
          while (buf.size() < want) {
            const int n = SSL_read(ssl, tmp, sizeof(tmp));
            if (n <= 0) goto done;
            buf.append(tmp, static_cast<size_t>(n));
          }
          if (uploaded) *uploaded = buf.substr(0, want);
          buf.erase(0, want);
        }
        if (mode == Mode::Silent) {
          usleep(1000000);
          goto done;
        }
        const std::string resp = "HTTP/1.1 200 OK\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body;
        if (SSL_write(ssl, resp.data(), static_cast<int>(resp.size())) <= 0) goto done;
      }
    }
  done:
    SSL_shutdown(ssl);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  };
}

int32_t get(BRHTTPConnection *c, std::string *body) {
  BRHTTPRequest *r = nullptr;
  int32_t rc = BRHTTPConnection__newRequest(c, "GET", "/", &r);
  if (rc < 0) return rc;
  const int32_t status = BRHTTPRequest__receiveResponseHeader(r, nullptr, 0);
  rc = status;
  char buf[16384];
  while (rc > 0 && (rc = BRHTTPRequest__receiveResponseBody(r, buf, sizeof(buf))) > 0)
    body->append(buf, static_cast<size_t>(rc));
  BRHTTPRequest__destroy(r);
  return rc < 0 ? rc : status;
}

class BRTLSTest : public ::testing::Test {
 protected:
  void TearDown() override {
    brtls__setPinnedCertFile(nullptr);
    hbproperties__setDefault(nullptr);
  }
  tessel::test::TempDir dir;
  Cert local{dir, "local", "DNS:localhost,IP:127.0.0.1"};
  Cert other{dir, "other", "DNS:other.example"};
};

TEST_F(BRTLSTest, PinnedCertificateByNameAndAddress) {
  nettest::ScriptServer server(tlsServer(local, Mode::Serve, "secure"));
  brtls__setPinnedCertFile(local.certPath.c_str());
  for (const char *host : {"localhost", "127.0.0.1"}) {
    BRHTTPConnection *c = nullptr;
    ASSERT_EQ(BRHTTPConnection__new(&c, "https", host, static_cast<uint32_t>(server.port()), 0,
                                    5000, 5000, 5000),
              0)
        << host;
    EXPECT_TRUE(BRHTTPConnection__isTls(c));
    for (int i = 0; i < 2; ++i) {
      std::string body;
      EXPECT_EQ(get(c, &body), 200);
      EXPECT_EQ(body, "secure");
    }
    BRHTTPConnection__destroy(c);
  }
  // Fully blocking, and blocking connect with timed reads and writes.
  for (const int32_t t : {-1, 5000}) {
    BRHTTPConnection *c = nullptr;
    ASSERT_EQ(BRHTTPConnection__new(&c, "https", "localhost", static_cast<uint32_t>(server.port()),
                                    0, -1, t, t),
              0);
    std::string body;
    EXPECT_EQ(get(c, &body), 200);
    EXPECT_EQ(body, "secure");
    BRHTTPConnection__destroy(c);
  }
}

TEST_F(BRTLSTest, WrongHostAndUntrustedCertificatesAreRefused) {
  nettest::ScriptServer server(tlsServer(other, Mode::Serve, "x"));
  BRHTTPConnection *c = nullptr;
  // Trusted (pinned) but for another name.
  brtls__setPinnedCertFile(other.certPath.c_str());
  EXPECT_EQ(BRHTTPConnection__new(&c, "https", "localhost", static_cast<uint32_t>(server.port()), 0,
                                  5000, 5000, 5000),
            BR_ENOTAUTH);
  EXPECT_EQ(c, nullptr);
  // A certificate nobody vouches for: the system store does not know it.
  nettest::ScriptServer server2(tlsServer(local, Mode::Serve, "x"));
  brtls__setPinnedCertFile(nullptr);
  EXPECT_EQ(BRHTTPConnection__new(&c, "https", "localhost", static_cast<uint32_t>(server2.port()),
                                  0, 5000, 5000, 5000),
            BR_ENOTAUTH);
  // Pinned to a different certificate.
  brtls__setPinnedCertFile(other.certPath.c_str());
  EXPECT_EQ(BRHTTPConnection__new(&c, "https", "localhost", static_cast<uint32_t>(server2.port()),
                                  0, 5000, 5000, 5000),
            BR_ENOTAUTH);
  // Plain http to the TLS server is no TLS at all.
  ASSERT_EQ(BRHTTPConnection__new(&c, "http", "localhost", static_cast<uint32_t>(server2.port()), 0,
                                  5000, 1000, 1000),
            0);
  EXPECT_FALSE(BRHTTPConnection__isTls(c));
  BRHTTPConnection__destroy(c);
}

TEST_F(BRTLSTest, PinnedFileFromTheServerSettings) {
  nettest::ScriptServer server(tlsServer(local, Mode::Serve, "from settings"));
  HBProperties *props = nullptr;
  ASSERT_EQ(hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, &props), 0);
  ASSERT_EQ(props->setProperty(BRTLS_CERTFILE_VALUE, local.certPath.c_str()), 0);
  BRHTTPConnection *c = nullptr;
  ASSERT_EQ(BRHTTPConnection__new(&c, "https", "localhost", static_cast<uint32_t>(server.port()), 0,
                                  5000, 5000, 5000),
            0);
  std::string body;
  EXPECT_EQ(get(c, &body), 200);
  EXPECT_EQ(body, "from settings");
  BRHTTPConnection__destroy(c);
  ASSERT_EQ(props->setProperty(BRTLS_CERTFILE_VALUE, nullptr), 0);
  props->dnref();
}

TEST_F(BRTLSTest, TimeOutsOverTls) {
  brtls__setPinnedCertFile(local.certPath.c_str());
  {
    nettest::ScriptServer server(tlsServer(local, Mode::NoHandshake, ""));
    BRHTTPConnection *c = nullptr;
    EXPECT_EQ(BRHTTPConnection__new(&c, "https", "localhost", static_cast<uint32_t>(server.port()),
                                    0, 300, 300, 300),
              BR_ETIMEDOUT);
  }
  nettest::ScriptServer server(tlsServer(local, Mode::Silent, ""));
  BRHTTPConnection *c = nullptr;
  ASSERT_EQ(BRHTTPConnection__new(&c, "https", "localhost", static_cast<uint32_t>(server.port()), 0,
                                  5000, 300, 300),
            0);
  std::string body;
  EXPECT_EQ(get(c, &body), BR_ETIMEDOUT);
  EXPECT_TRUE(BRHTTPConnection__getFlags(c) & BRHTTP_CONN_READ_TIMEDOUT);
  EXPECT_FALSE(BRHTTPConnection__isOpen(c));
  BRHTTPConnection__destroy(c);
}

TEST_F(BRTLSTest, LargeBodiesAndPoolReuse) {
  std::string uploaded;
  const std::string big(3u << 20, 'z');
  nettest::ScriptServer server(tlsServer(local, Mode::Serve, big, &uploaded));
  brtls__setPinnedCertFile(local.certPath.c_str());
  IHBHTTPConnPool *pool = nullptr;
  ASSERT_EQ(hbhttpconnpool__create(&pool), 0);
  const std::string url = "https://localhost:" + std::to_string(server.port()) + "/";
  for (int round = 0; round < 3; ++round) {
    BRHTTPConnection *c = nullptr;
    ASSERT_EQ(pool->getConnectionForText(url.c_str(), &c), 0);
    BRHTTPRequest *r = nullptr;
    ASSERT_EQ(BRHTTPConnection__newRequest(c, "PUT", "/up", &r), 0);
    ASSERT_EQ(BRHTTPRequest__addRequestHeader(r, "Content-Length", std::to_string(big.size()).c_str()), 0);
    size_t off = 0;
    while (off < big.size()) {
      const int32_t n = BRHTTPRequest__writeRequestBody(r, big.data() + off,
                                                        static_cast<int32_t>(big.size() - off));
      ASSERT_GT(n, 0);
      off += static_cast<size_t>(n);
    }
    ASSERT_EQ(BRHTTPRequest__receiveResponseHeader(r, nullptr, 0), 200);
    std::string body;
    char buf[65536];
    int32_t n;
    while ((n = BRHTTPRequest__receiveResponseBody(r, buf, sizeof(buf))) > 0)
      body.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(body == big);
    BRHTTPRequest__destroy(r);
    EXPECT_EQ(pool->releaseConnectionForText(url.c_str(), c), 0);
  }
  EXPECT_TRUE(uploaded == big);
  // Session tickets sent after the handshake do not make an idle TLS connection look dead.
  EXPECT_EQ(server.accepted(), 1);
  pool->closeAll();
  pool->dnref();
}

}  // namespace
