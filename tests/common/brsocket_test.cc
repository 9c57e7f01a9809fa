// Sockets and local pipes: host texts, options, the vectored write and polling over any mix.
#include "brsocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include <sys/un.h>

#include "brsocket_int.h"
#include "nettest.h"
#include "testutil.h"

namespace {

std::string fmt(const brsockaddr &a) {
  char buf[BRSOCKADDR_FORMAT_LEN];
  brsockaddr_format(&a, buf);
  return buf;
}

TEST(BRSocketResolveTest, HostTexts) {
  brsockaddr a;
  int32_t len = 0;
  ASSERT_EQ(brsocket_resolve("10.0.0.1:8080", &a, &len), 0);
  EXPECT_EQ(len, 64);
  EXPECT_EQ(a.family, BRSOCK_AF_INET);
  EXPECT_EQ(fmt(a), "10.0.0.1:8080");
  ASSERT_EQ(brsocket_resolve("http://192.168.1.20", &a, &len), 0);
  EXPECT_EQ(fmt(a), "192.168.1.20");
  EXPECT_EQ(brsocket_resolve("0.1.2.3", &a, &len), BR_EINVAL);
  EXPECT_EQ(brsocket_resolve("1st-host", &a, &len), BR_EINVAL);
  EXPECT_EQ(brsocket_resolve("12345", &a, &len), BR_EINVAL);
  EXPECT_NE(brsocket_resolve("fe80::1", &a, &len), 0);
  EXPECT_NE(brsocket_resolve("1:2::3", &a, &len), 0);
  ASSERT_EQ(brsocket_resolve("", &a, &len), 0);
  EXPECT_EQ(a.family, 0);

  // Not a dotted quad after all: looked up by name, with the whole text.
  static std::string looked;
  g_brsocket__lookup = [](const char *name, uint32_t *addr) -> int32_t {
    looked = name;
    *addr = htonl(0x01020304);
    return 0;
  };
  EXPECT_EQ(brsocket_resolve("256.1.1.1", &a, &len), 0);
  EXPECT_EQ(looked, "256.1.1.1");
  EXPECT_EQ(brsocket_resolve("some.host:8081", &a, &len), 0);
  EXPECT_EQ(looked, "some.host");
  EXPECT_EQ(fmt(a), "1.2.3.4:8081");
  g_brsocket__lookup = brsocket__lookupName;

  ASSERT_EQ(brsocket_resolve("localhost:8480", &a, &len), 0);
  EXPECT_EQ(fmt(a), "127.0.0.1:8480");
  a.port = htons(99);
  ASSERT_EQ(brsocket_resolve("localhost", &a, &len), 0);
  EXPECT_EQ(ntohs(a.port), 99);  // no port in the text: the field is kept

  const std::string longName = "ytol" + std::string(70, 'n');
  ASSERT_EQ(brsocket_resolve(longName.c_str(), &a, &len), 0);
  EXPECT_EQ(a.family, BRSOCK_AF_LOCAL);
  EXPECT_EQ(std::string(a.name()), std::string(61, 'n'));
}

TEST(BRSocketTest, OptionTableAndUnknownFamilies) {
  brsocket_t s = brsocket_create(BRSOCK_AF_INET, BRSOCK_STREAM, 0);
  ASSERT_NE(s, nullptr);
  int32_t v = 1, len = 4;
  EXPECT_EQ(brsocket_setsockopt(s, BRSOL_TCP, BRSO_TCP_NODELAY, &v, 4), 0);
  EXPECT_EQ(brsocket_getsockopt(s, BRSOL_TCP, BRSO_TCP_NODELAY, &v, &len), 0);
  EXPECT_NE(v, 0);
  EXPECT_EQ(brsocket_setsockopt(s, BRSOL_TCP, 2, &v, 4), BR_ENOENT);
  EXPECT_EQ(brsocket_getsockopt(s, BRSOL_SOCKET, BRSO_NONBLOCK, &v, &len), BR_ENOENT);
  EXPECT_EQ(brsocket_setsockopt(s, BRSOL_SOCKET, BRSO_NONBLOCK, &v, 4), 0);
  EXPECT_EQ(brsocket_create(7, BRSOCK_STREAM, 0), nullptr);
  brsocket_close(s);
  EXPECT_EQ(brsocket_send(BRSOCKET_INVALID, "x", 1, 0), BR_EINVAL);
  brpollfd p = {BRSOCKET_INVALID, BRPOLL_IN, 0};
  EXPECT_EQ(brsocket_poll(&p, 1, 1000), 1);
  EXPECT_EQ(p.revents, BRPOLL_NVAL);
}

// A connected pair over loopback TCP.
struct TcpPair {
  brsocket_t client = nullptr;
  int server = -1;
  TcpPair() {
    listenFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listenFd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
    socklen_t sl = sizeof(sin);
    getsockname(listenFd, reinterpret_cast<sockaddr *>(&sin), &sl);
    listen(listenFd, 4);
    client = brsocket_create(BRSOCK_AF_INET, BRSOCK_STREAM, 0);
    brsockaddr a;
    int32_t len = 0;
    const std::string text = "127.0.0.1:" + std::to_string(ntohs(sin.sin_port));
    EXPECT_EQ(brsocket_resolve(text.c_str(), &a, &len), 0);
    EXPECT_EQ(brsocket_connect(client, &a, len), 0);
    server = accept(listenFd, nullptr, nullptr);
  }
  ~TcpPair() {
    brsocket_close(client);
    if (server >= 0) close(server);
    close(listenFd);
  }
  int listenFd = -1;
};

TEST(BRSocketTest, VectoredWriteCollatesSmallWrites) {
  TcpPair p;
  const std::string a(1000, 'a'), b(3000, 'b'), c(96, 'c');
  brsocket_iovec v[3] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), c.size()}};
  EXPECT_EQ(brsocket_writev(p.client, v, 3), 4096);
  std::string got;
  ASSERT_TRUE(nettest::readBytes(p.server, &got, 4096));
  EXPECT_EQ(got, a + b + c);
  const std::string d(97, 'd');
  v[2] = {d.data(), d.size()};
  EXPECT_EQ(brsocket_writev(p.client, v, 3), 4097);
  got.clear();
  ASSERT_TRUE(nettest::readBytes(p.server, &got, 4097));
  EXPECT_EQ(got, a + b + d);

  brsockaddr peer, self;
  int32_t len = 0;
  EXPECT_EQ(brsocket_getpeername(p.client, &peer, &len), 0);
  EXPECT_EQ(len, 64);
  EXPECT_EQ(brsocket_getsockname(p.client, &self, &len), 0);
  EXPECT_EQ(fmt(peer).rfind("127.0.0.1:", 0), 0u);
}

TEST(BRSocketTest, NonBlockingShortWritesAndClosedPeers) {
  TcpPair p;
  const int32_t one = 1;
  ASSERT_EQ(brsocket_setsockopt(p.client, BRSOL_SOCKET, BRSO_NONBLOCK, &one, 4), 0);
  char buf[16];
  EXPECT_EQ(brsocket_recv(p.client, buf, sizeof(buf), 0), BR_ETIMEDOUT);
  // Nobody reads: the write stops short, then would block.
  const std::string big(8u << 20, 'x');
  brsocket_iovec v[2] = {{big.data(), big.size()}, {big.data(), big.size()}};
  const int32_t n = brsocket_writev(p.client, v, 2);
  EXPECT_GT(n, 0);
  EXPECT_LT(n, static_cast<int32_t>(big.size()));
  EXPECT_EQ(brsocket_writev(p.client, v, 2), BR_ETIMEDOUT);
  brpollfd pf = {p.client, BRPOLL_OUT, 0};
  EXPECT_EQ(brsocket_poll(&pf, 1, 0), 0);
  // A reset from the peer is reported as such.
  linger l = {1, 0};
  setsockopt(p.server, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  close(p.server);
  p.server = -1;
  pf = {p.client, BRPOLL_IN, 0};
  EXPECT_EQ(brsocket_poll(&pf, 1, 2000), 1);
  EXPECT_TRUE(pf.revents & BRPOLL_IN);
  EXPECT_EQ(brsocket_recv(p.client, buf, sizeof(buf), 0), BR_ECONNRESET);
}

TEST(BRSocketTest, WaitConnectReportsTimeOutAndRefusal) {
  brsocket_t s = brsocket_create(BRSOCK_AF_INET, BRSOCK_STREAM, 0);
  const int32_t one = 1;
  ASSERT_EQ(brsocket_setsockopt(s, BRSOL_SOCKET, BRSO_NONBLOCK, &one, 4), 0);
  brsockaddr a;
  int32_t len = 0;
  const std::string text = "127.0.0.1:" + std::to_string(tessel::test::freeLoopbackPort());
  ASSERT_EQ(brsocket_resolve(text.c_str(), &a, &len), 0);
  const int32_t rc = brsocket_connect(s, &a, len);
  if (rc == 0) EXPECT_EQ(brsocket_wait_connect(s, 2000), BR_ENOCONN);
  else EXPECT_EQ(rc, BR_ENOCONN);
  EXPECT_EQ(brsocket_wait_connect(s, -1), 0);
  brsocket_close(s);
}

// A local pipe server and a client connected to it.
struct PipePair {
  brsocket_t server = nullptr, client = nullptr, conn = nullptr;
  explicit PipePair(const char *name) {
    brsockaddr a;
    int32_t len = 0;
    EXPECT_EQ(brsocket_resolve((std::string("ytol") + name).c_str(), &a, &len), 0);
    server = brsocket_create(BRSOCK_AF_LOCAL, 0, 0);
    EXPECT_EQ(brsocket_bind(server, &a, len), 0);
    EXPECT_EQ(brsocket_listen(server, 5), 0);
    client = brsocket_create(BRSOCK_AF_LOCAL, 0, 0);
    EXPECT_EQ(brsocket_connect(client, &a, len), 0);
    brsockaddr peer;
    conn = brsocket_accept(server, &peer, &len);
    EXPECT_NE(conn, nullptr);
    EXPECT_STREQ(peer.name(), name);
  }
  ~PipePair() {
    if (conn) brsocket_close(conn);
    if (client) brsocket_close(client);
    brsocket_close(server);
  }
};

TEST(BRSocketPipeTest, ServerClientAndPermissions) {
  PipePair p("pipetest");
  char path[256];
  ASSERT_TRUE(brsocket_pipePath("pipetest", path, sizeof(path)));
  struct stat st;
  ASSERT_EQ(stat(path, &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);

  EXPECT_EQ(brsocket_send(p.client, "hello", 5, 0), 5);
  char buf[3];
  EXPECT_EQ(brsocket_recv(p.conn, buf, 3, 0), 3);
  EXPECT_EQ(std::string(buf, 3), "hel");
  EXPECT_EQ(brsocket_buffered(p.conn), 2u);
  // Buffered bytes answer a poll for IN at once; a pipe is always writable.
  brpollfd pf = {p.conn, BRPOLL_IN, 0};
  EXPECT_EQ(brsocket_poll(&pf, 1, -1), 1);
  EXPECT_EQ(pf.revents, BRPOLL_IN);
  pf = {p.client, BRPOLL_OUT, 0};
  EXPECT_EQ(brsocket_poll(&pf, 1, -1), 1);
  EXPECT_EQ(pf.revents, BRPOLL_OUT);
  EXPECT_EQ(brsocket_recv(p.conn, buf, 3, 0), 2);

  int32_t v = 1, len = 4;
  ASSERT_EQ(brsocket_setsockopt(p.conn, BRSOL_SOCKET, BRSO_NONBLOCK, &v, 4), 0);
  v = 0;
  EXPECT_EQ(brsocket_getsockopt(p.conn, BRSOL_SOCKET, BRSO_NONBLOCK, &v, &len), 0);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(brsocket_recv(p.conn, buf, 3, 0), BR_EAGAIN);
  EXPECT_EQ(brsocket_setsockopt(p.conn, BRSOL_IP, 9, &v, 4), 0);  // ignored on pipes

  // Bind and connect need a fresh record; a second server for the same name is refused.
  brsockaddr a;
  int32_t alen = 0;
  ASSERT_EQ(brsocket_resolve("ytolpipetest", &a, &alen), 0);
  EXPECT_EQ(brsocket_connect(p.client, &a, alen), BR_EBADSTATE);
  EXPECT_EQ(brsocket_bind(p.server, &a, alen), BR_EBADSTATE);
  brsocket_t second = brsocket_create(BRSOCK_AF_LOCAL, 0, 0);
  EXPECT_EQ(brsocket_bind(second, &a, alen), BR_ENOTAUTH);
  brsocket_close(second);

  // The server re-arms: a second client is accepted too.
  brsocket_t c2 = brsocket_create(BRSOCK_AF_LOCAL, 0, 0);
  ASSERT_EQ(brsocket_connect(c2, &a, alen), 0);
  brsocket_t conn2 = brsocket_accept(p.server, nullptr, nullptr);
  ASSERT_NE(conn2, nullptr);
  EXPECT_EQ(brsocket_send(conn2, "x", 1, 0), 1);
  EXPECT_EQ(brsocket_recv(c2, buf, 1, 0), 1);
  brsocket_close(conn2);
  // The other end closed: a broken pipe.
  EXPECT_EQ(brsocket_recv(c2, buf, 1, 0), BR_ENOCONN);
  brsocket_close(c2);
}

TEST(BRSocketPipeTest, MissingPipesAndStaleFiles) {
  brsockaddr a;
  int32_t len = 0;
  ASSERT_EQ(brsocket_resolve("ytolnobody", &a, &len), 0);
  brsocket_t c = brsocket_create(BRSOCK_AF_LOCAL, 0, 0);
  EXPECT_EQ(brsocket_connect(c, &a, len), BR_ENOENT);
  brsocket_close(c);
  ASSERT_EQ(brsocket_resolve("ytolbad/name", &a, &len), 0);
  c = brsocket_create(BRSOCK_AF_LOCAL, 0, 0);
  EXPECT_EQ(brsocket_bind(c, &a, len), BR_EINVAL);
  brsocket_close(c);
  // A socket file left behind by a dead server is replaced.
  {
    PipePair p("stale");
    p.conn = (brsocket_close(p.conn), nullptr);
  }
  char path[256];
  ASSERT_TRUE(brsocket_pipePath("stale", path, sizeof(path)));
  struct stat st;
  EXPECT_NE(stat(path, &st), 0);  // removed at close
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  strcpy(sun.sun_path, path);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);
  close(fd);
  PipePair again("stale");
  EXPECT_NE(again.conn, nullptr);
}

TEST(BRSocketPipeTest, PollOverAMixOfPipesAndSockets) {
  PipePair p("mixed");
  TcpPair t;
  brpollfd pf[2] = {{p.conn, BRPOLL_IN, 0}, {t.client, BRPOLL_IN | BRPOLL_ERR, 0}};
  EXPECT_EQ(brsocket_poll(pf, 2, 50), 0);
  std::thread writer([&] {
    usleep(50000);
    nettest::sendAll(t.server, "x");
  });
  pf[0].revents = pf[1].revents = 0;
  EXPECT_EQ(brsocket_poll(pf, 2, 5000), 1);
  writer.join();
  EXPECT_EQ(pf[0].revents, 0);
  EXPECT_EQ(pf[1].revents, BRPOLL_IN | BRPOLL_ERR);
  // Now the pipe: data arrives, the pipe entry fires.
  EXPECT_EQ(brsocket_send(p.client, "y", 1, 0), 1);
  char c;
  EXPECT_EQ(brsocket_recv(t.client, &c, 1, 0), 1);
  pf[0].revents = pf[1].revents = 0;
  EXPECT_EQ(brsocket_poll(pf, 2, 5000), 1);
  EXPECT_EQ(pf[0].revents, BRPOLL_IN);
}

}  // namespace
