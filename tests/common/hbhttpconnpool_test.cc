// The connection pool against loopback servers: reuse in order, aliveness, the 64-entry limit
// and the URL key.
#include "hbhttpconnpool.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <vector>

#include "brhttp.h"
#include "hbrpc.h"
#include "hburl.h"
#include "nettest.h"
#include "testutil.h"

namespace {

struct PoolHolder {
  IHBHTTPConnPool *p = nullptr;
  PoolHolder() { EXPECT_EQ(hbhttpconnpool__create(&p), 0); }
  ~PoolHolder() { p->dnref(); }
};

// Answers "ok" to each request until the client closes; `closeIdle` closes after one answer.
nettest::ScriptServer::Handler okServer(bool closeIdle = false) {
  return [closeIdle](int fd, int) {
    std::string rest;
    for (;;) {
      std::string header;
      while (rest.find("\r\n\r\n") == std::string::npos)
        if (!nettest::readBytes(fd, &rest, rest.size() + 1)) return;
      rest.erase(0, rest.find("\r\n\r\n") + 4);
      nettest::sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
      if (closeIdle) {
        usleep(200000);  // closes while the client holds the connection idle
        return;
      }
    }
  };
}

std::string urlOf(const nettest::ScriptServer &s, const char *host = "127.0.0.1") {
  return std::string("http://") + host + ":" + std::to_string(s.port()) + "/path";
}

int32_t roundTrip(BRHTTPConnection *c) {
  BRHTTPRequest *r = nullptr;
  int32_t rc = BRHTTPConnection__newRequest(c, "GET", "/", &r);
  if (rc < 0) return rc;
  rc = BRHTTPRequest__receiveResponseHeader(r, nullptr, 0);
  char buf[8];
  while (rc > 0 && BRHTTPRequest__receiveResponseBody(r, buf, sizeof(buf)) > 0) {
  }
  BRHTTPRequest__destroy(r);
  return rc;
}

TEST(HBHTTPConnPoolTest, ReusesReleasedConnectionsInOrder) {
  nettest::ScriptServer server(okServer());
  PoolHolder pool;
  const std::string url = urlOf(server);
  BRHTTPConnection *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &a), 0);
  ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &b), 0);
  EXPECT_EQ(roundTrip(a), 200);
  EXPECT_EQ(roundTrip(b), 200);
  EXPECT_EQ(pool.p->releaseConnectionForText(url.c_str(), a), 0);
  EXPECT_EQ(pool.p->releaseConnectionForText(url.c_str(), b), 0);
  int32_t n1 = 0, n2 = 0;
  hbhttpconnpool__counts(pool.p, &n1, &n2);
  EXPECT_EQ(n1, 2);
  EXPECT_EQ(n2, 2);
  BRHTTPConnection *x = nullptr, *y = nullptr;
  ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &x), 0);
  ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &y), 0);
  EXPECT_EQ(x, a);
  EXPECT_EQ(y, b);
  ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &c), 0);
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  EXPECT_EQ(roundTrip(x), 200);
  // The kernel completes a connect before the server thread's accept returns.
  for (int i = 0; i < 200 && server.accepted() < 3; ++i) usleep(10000);
  EXPECT_EQ(server.accepted(), 3);
  for (BRHTTPConnection *k : {x, y, c}) EXPECT_EQ(pool.p->releaseConnectionForText(url.c_str(), k), 0);
  pool.p->closeAll();
  hbhttpconnpool__counts(pool.p, &n1, &n2);
  EXPECT_EQ(n1 + n2, 0);
}

TEST(HBHTTPConnPoolTest, ConnectionClosedWhileIdleIsReplaced) {
  nettest::ScriptServer server(okServer(true));
  PoolHolder pool;
  const std::string url = urlOf(server);
  BRHTTPConnection *a = nullptr;
  ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &a), 0);
  EXPECT_EQ(roundTrip(a), 200);
  // Released before the server's close arrives, so the pool keeps it.
  EXPECT_EQ(pool.p->releaseConnectionForText(url.c_str(), a), 0);
  usleep(400000);  // the server has closed its end by now
  BRHTTPConnection *b = nullptr;
  ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &b), 0);
  EXPECT_EQ(roundTrip(b), 200);
  EXPECT_EQ(server.accepted(), 2);
  EXPECT_EQ(pool.p->releaseConnectionForText(url.c_str(), b), 0);
}

TEST(HBHTTPConnPoolTest, UnreadBytesRefuseTheReleaseAndClosedOnesAreDropped) {
  nettest::ScriptServer server([](int fd, int) {
    nettest::sendAll(fd, "unexpected");
    nettest::readAll(fd, 2000);
  });
  PoolHolder pool;
  const std::string url = urlOf(server);
  BRHTTPConnection *a = nullptr;
  ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &a), 0);
  for (int i = 0; i < 100; ++i) {
    uint16_t ev = 0;
    if (BRHTTPConnection__pollIdle(a, &ev) > 0) break;
    usleep(5000);
  }
  EXPECT_EQ(pool.p->releaseConnectionForText(url.c_str(), a), BR_EINVAL);
  ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &a), 0);
  BRHTTPConnection__close(a);
  EXPECT_EQ(pool.p->releaseConnectionForText(url.c_str(), a), 0);
  int32_t n1 = -1, n2 = -1;
  hbhttpconnpool__counts(pool.p, &n1, &n2);
  EXPECT_EQ(n1, 0);
  EXPECT_EQ(pool.p->releaseConnectionForText("not a url", nullptr), -1);
}

TEST(HBHTTPConnPoolTest, KeepsAtMost64AndKeysOnSchemeHostPort) {
  std::atomic<int> open{0};
  nettest::ScriptServer server([&](int fd, int) {
    ++open;
    nettest::readAll(fd, 20000);
    --open;
  });
  PoolHolder pool;
  const std::string url = urlOf(server);
  std::vector<BRHTTPConnection *> conns(65);
  for (auto &c : conns) ASSERT_EQ(pool.p->getConnectionForText(url.c_str(), &c), 0);
  for (auto *c : conns) EXPECT_EQ(pool.p->releaseConnectionForText(url.c_str(), c), 0);
  int32_t n1 = 0, n2 = 0;
  hbhttpconnpool__counts(pool.p, &n1, &n2);
  EXPECT_EQ(n1, 64);
  EXPECT_EQ(n2, 64);
  // The oldest went: the first connection handed out now is the second one released.
  BRHTTPConnection *c = nullptr;
  const std::string upper = urlOf(server, "127.0.0.1");
  ASSERT_EQ(pool.p->getConnectionForText(upper.c_str(), &c), 0);
  EXPECT_EQ(c, conns[1]);
  EXPECT_EQ(pool.p->releaseConnectionForText(url.c_str(), c), 0);

  // Host names match without case, schemes exactly.
  HBRef<IHBURL> mixed;
  ASSERT_EQ(hburl__parse(mixed.out(), ("http://LOCALHOST:" + std::to_string(server.port()) + "/").c_str()), 0);
  HBRef<IHBURL> lower;
  ASSERT_EQ(hburl__parse(lower.out(), ("http://localhost:" + std::to_string(server.port()) + "/").c_str()), 0);
  ASSERT_EQ(pool.p->getConnection(mixed.get(), &c), 0);
  EXPECT_EQ(pool.p->releaseConnection(mixed.get(), c), 0);
  BRHTTPConnection *d = nullptr;
  ASSERT_EQ(pool.p->getConnection(lower.get(), &d), 0);
  EXPECT_EQ(d, c);
  HBRef<IHBURL> upperScheme;
  ASSERT_EQ(hburl__create(upperScheme.out(), lower.get()), 0);
  upperScheme->setScheme("HTTP");
  EXPECT_EQ(pool.p->releaseConnection(lower.get(), d), 0);
  BRHTTPConnection *e = nullptr;
  ASSERT_EQ(pool.p->getConnection(upperScheme.get(), &e), 0);
  EXPECT_NE(e, d);
  EXPECT_EQ(pool.p->releaseConnection(upperScheme.get(), e), 0);
  pool.p->closeAll();
}

TEST(HBHTTPConnPoolTest, DefaultPoolServesUrlHelpers) {
  nettest::ScriptServer server(okServer());
  PoolHolder pool;
  hbhttpconnpool__setDefault(pool.p);
  HBRef<IHBURL> u;
  ASSERT_EQ(hburl__parse(u.out(), urlOf(server).c_str()), 0);
  BRHTTPConnection *a = nullptr, *b = nullptr;
  ASSERT_EQ(hburl__connect(u.get(), &a), 0);
  EXPECT_EQ(roundTrip(a), 200);
  EXPECT_EQ(hburl__release(u.get(), a), 0);
  ASSERT_EQ(hburl__connect(u.get(), &b), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(roundTrip(b), 200);
  EXPECT_EQ(hburl__release(u.get(), b), 0);
  EXPECT_EQ(server.accepted(), 1);
  hbhttpconnpool__setDefault(nullptr);
  HBRef<IHBHTTPConnPool> none = HBRef<IHBHTTPConnPool>::adopt(hbhttpconnpool__getDefault());
  EXPECT_FALSE(none);
}

TEST(HBHTTPConnPoolTest, UrlHelpersUseThePoolOfTheServiceCalls) {
  nettest::ScriptServer server(okServer());
  PoolHolder pool;
  hbrpc__setConnPool(pool.p);
  HBRef<IHBURL> u;
  ASSERT_EQ(hburl__parse(u.out(), urlOf(server).c_str()), 0);
  BRHTTPConnection *a = nullptr;
  ASSERT_EQ(hburl__connect(u.get(), &a), 0);
  EXPECT_EQ(hburl__release(u.get(), a), 0);
  int32_t n1 = 0, n2 = 0;
  hbhttpconnpool__counts(pool.p, &n1, &n2);
  EXPECT_EQ(n1, 1);
  hbrpc__setConnPool(nullptr);
}

TEST(HBHTTPConnPoolTest, FailedConnectIsReported) {
  PoolHolder pool;
  hbhttpconnpool__setTimeout(pool.p, 1000);
  BRHTTPConnection *c = nullptr;
  const std::string url =
      "http://127.0.0.1:" + std::to_string(tessel::test::freeLoopbackPort()) + "/";
  EXPECT_EQ(pool.p->getConnectionForText(url.c_str(), &c), BR_ENOCONN);
  EXPECT_EQ(c, nullptr);
}

}  // namespace
