// The log lines of the networking modules, as other tools and people read them: each scenario
// runs with the log at its most verbose and the expected texts are looked up in the file.
#include <gtest/gtest.h>

#include <string>

#include "brhttp.h"
#include "brlog.h"
#include "hbhttpconnpool.h"
#include "hburl.h"
#include "nettest.h"
#include "testutil.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new tessel::test::TempDir();
    s_path = s_dir->file("net.log");
    hblogsink__init("nettest", s_path.c_str());
    brlog__setLevel(BRLOG_DEBUG5);
  }
  static void TearDownTestSuite() {
    brlog__setLevel(BRLOG_INFO);
    delete s_dir;
  }
  // The log written since the last call.
  std::string take() {
    std::string all;
    tessel::test::readFile(s_path, &all);
    std::string fresh = all.substr(std::min(m_seen, all.size()));
    m_seen = all.size();
    return fresh;
  }
  static bool has(const std::string &log, const std::string &text) {
    return log.find(text) != std::string::npos;
  }
  // The first whole line holding `text`, or an empty text.
  static std::string lineWith(const std::string &log, const std::string &text) {
    const size_t at = log.find(text);
    if (at == std::string::npos) return {};
    const size_t begin = log.rfind('\n', at);
    const size_t end = log.find('\n', at);
    const size_t from = begin == std::string::npos ? 0 : begin + 1;
    return log.substr(from, end == std::string::npos ? std::string::npos : end + 1 - from);
  }

  static tessel::test::TempDir *s_dir;
  static std::string s_path;
  size_t m_seen = 0;
};
tessel::test::TempDir *LogTest::s_dir = nullptr;
std::string LogTest::s_path;

TEST_F(LogTest, RequestLifecycleAndStatistics) {
  nettest::ScriptServer server([](int fd, int) {
    std::string h;
    if (nettest::readHeader(fd, &h))
      nettest::sendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + std::string(3000, 'x'));
    nettest::readAll(fd, 500);
  });
  take();
  BRHTTPConnection *c = nullptr;
  ASSERT_EQ(BRHTTPConnection__new(&c, "http", "127.0.0.1", static_cast<uint32_t>(server.port()), 0,
                                  5000, 5000, 5000),
            0);
  BRHTTPRequest *r = nullptr;
  ASSERT_EQ(BRHTTPConnection__newRequest(c, "GET", "/log", &r), 0);
  ASSERT_EQ(BRHTTPRequest__receiveResponseHeader(r, nullptr, 0), 200);
  BRHTTPRequest__destroy(r);
  BRHTTPConnection__destroy(c);
  const std::string log = take();
  const std::string host = "[" + server.hostPort() + "]";
  EXPECT_TRUE(has(log, "[BRHTTP][13] Parsing or looking up host: 127.0.0.1\n"));
  EXPECT_TRUE(has(log, host + " Leaving in non-blcoking state\n"));
  EXPECT_TRUE(has(log, "Adding request Header 'Host: " + server.hostPort() + "'\n"));
  EXPECT_TRUE(has(log, "[BHRTTP][14] [")) << "the vector lines keep their tag";
  EXPECT_TRUE(has(log, "receiveResponseHeader -- Response status 'HTTP/1.0 200 OK'!\n"));
  EXPECT_TRUE(has(log, "  -- Closing connection after response\n"));
  EXPECT_TRUE(has(log, "  -- Content length of response: 3000\n"));
  EXPECT_TRUE(has(log, host + " -- Request response still has pending 3000 bytes, consuming...\n"));
  EXPECT_TRUE(has(log, "Closing connection at server's request\n"));
  EXPECT_TRUE(has(log, host + " REQ DESTROY STATS ("));
  EXPECT_TRUE(has(log, host + "    ctimeout:    5000\n"));
  EXPECT_TRUE(has(log, host + "    nrecvpoll:   "));
  EXPECT_TRUE(has(log, host + "    nwritevpoll: "));
  EXPECT_TRUE(has(log, host + " FREEING REQUEST ("));
  EXPECT_TRUE(has(log, "[WRITEV][22] Entering brsocket_write with 1 vectors (mode 1):\n"));
}

TEST_F(LogTest, FaultsAreLoggedWhereTheyAreMet) {
  nettest::ScriptServer server([](int fd, int i) {
    std::string h;
    if (!nettest::readHeader(fd, &h)) return;
    if (i == 0) nettest::sendAll(fd, "HTTP/1.1 200 OK\r\nX: " + std::string(5000, 'y'));
    if (i == 1) nettest::readAll(fd, 1000);
  });
  take();
  BRHTTPConnection *c = nullptr;
  ASSERT_EQ(BRHTTPConnection__new(&c, "http", "127.0.0.1", static_cast<uint32_t>(server.port()), 0,
                                  5000, 200, 5000),
            0);
  BRHTTPRequest *r = nullptr;
  ASSERT_EQ(BRHTTPConnection__newRequest(c, "GET", "/", &r), 0);
  EXPECT_EQ(BRHTTPRequest__receiveResponseHeader(r, nullptr, 0), BR_ENOSPC);
  BRHTTPRequest__destroy(r);
  ASSERT_EQ(BRHTTPConnection__newRequest(c, "GET", "/", &r), 0);
  EXPECT_EQ(BRHTTPRequest__receiveResponseHeader(r, nullptr, 0), BR_ETIMEDOUT);
  BRHTTPRequest__destroy(r);
  BRHTTPConnection__destroy(c);
  const std::string log = take();
  EXPECT_TRUE(has(log, "[BRHTTP][01] receiveResponseHeader -- header buffer overflow!\n"));
  EXPECT_TRUE(has(log, "DISCONNECTING "));
  EXPECT_TRUE(has(log, "[BRHTTP][10] Implicitly reconnecting to support non-keep alive...\n"));
  EXPECT_TRUE(has(log, "[BRHTTP][10] READ: Timeout (200) waiting for data on connection...\n"));
  EXPECT_TRUE(has(log, "receiveResponseHeader -- timed out recving header!\n"));
}

TEST_F(LogTest, PoolAndUrlLines) {
  nettest::ScriptServer server([](int fd, int) { nettest::readAll(fd, 3000); });
  IHBHTTPConnPool *pool = nullptr;
  ASSERT_EQ(hbhttpconnpool__create(&pool), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
  const std::string key = ">>> [http://127.0.0.1:" + std::to_string(server.port()) + "]";
  take();
  BRHTTPConnection *c = nullptr;
  ASSERT_EQ(pool->getConnectionForText(url.c_str(), &c), 0);
  EXPECT_EQ(pool->releaseConnectionForText(url.c_str(), c), 0);
  ASSERT_EQ(pool->getConnectionForText(url.c_str(), &c), 0);
  EXPECT_EQ(pool->releaseConnectionForText(url.c_str(), c), 0);
  pool->dnref();
  HBRef<IHBURL> u;
  EXPECT_EQ(hburl__parse(u.out(), "nothing"), -1);
  char out[HBURL_ENCODE_BUFSIZE];
  hburl__encodePath("a b", out);
  const std::string log = take();
  EXPECT_TRUE(has(log, key + " New Connection Starting (30000,30000,30000)\n"));
  EXPECT_TRUE(has(log, key + " [RELEASE] Testing Connection alive: "));
  EXPECT_TRUE(has(log, key + " RELEASED CONNECTION (TREE LEN: 1,1)\n"));
  EXPECT_TRUE(has(log, key + " [GET] Testing Connection alive: "));
  EXPECT_TRUE(has(log, key + " Reusing Connection (TREE LEN: 0,0)\n"));
  EXPECT_TRUE(has(log, "[CONNPO][12] Destroying Connection Pool (Length: 1)\n"));
  EXPECT_TRUE(has(log, "[CONNPO][12] removeFromPool ["));
  EXPECT_TRUE(has(log, "[HBURL ][01] Unable to parse url 'nothing'\n"));
  EXPECT_TRUE(has(log, "Parsed url 'http://127.0.0.1:"));
  EXPECT_TRUE(has(log, "    CHARACTER CONVERSION: 0x20 '' --> '%20'\n"));
  EXPECT_TRUE(has(log, "   -- ENCODE RESULT: 'a%20b'\n"));
  EXPECT_TRUE(has(log, "[BRSOCK][13] CLOSING SOCKET "));
}

// Misuse that a caller can commit through the public calls is logged with its source line, and
// the operation goes on.
TEST_F(LogTest, ConsistencyChecksLogAndGoOn) {
  nettest::ScriptServer server([](int fd, int) { nettest::readAll(fd, 3000); });
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
  take();

  // A connection handed back while a request is still open on it.
  IHBHTTPConnPool *pool = nullptr;
  ASSERT_EQ(hbhttpconnpool__create(&pool), 0);
  BRHTTPConnection *c = nullptr;
  ASSERT_EQ(pool->getConnectionForText(url.c_str(), &c), 0);
  BRHTTPRequest *r = nullptr;
  ASSERT_EQ(BRHTTPConnection__newRequest(c, "GET", "/", &r), 0);
  EXPECT_EQ(pool->releaseConnectionForText(url.c_str(), c), 0);
  std::string log = take();
  std::string line = lineWith(log, " VERIFY(brhttp__connRefs(c) == 1) failed!\n");
  EXPECT_TRUE(has(line, "[VERIFY][01] ")) << log;
  EXPECT_TRUE(has(line, "] ../../core/client/common/hbhttpconnpool.cc:"))
      << line << "the path is written relative to the build tree";
  pool->dnref();
  EXPECT_EQ(BRHTTPRequest__getState(r), BRHTTP_ST_CREATED);
  BRHTTPRequest__destroy(r);  // the request's reference is the last one on the connection

  // A request destroyed twice by a caller that took an extra reference.
  ASSERT_EQ(BRHTTPConnection__new(&c, "http", "127.0.0.1", static_cast<uint32_t>(server.port()), 0,
                                  5000, 5000, 5000),
            0);
  ASSERT_EQ(BRHTTPConnection__newRequest(c, "GET", "/", &r), 0);
  EXPECT_EQ(BRHTTPRequest__upref(r), 2);
  BRHTTPRequest__destroy(r);
  EXPECT_EQ(BRHTTPRequest__getState(r), BRHTTP_ST_DESTROYED);
  EXPECT_FALSE(has(take(), "VERIFY"));
  BRHTTPRequest__destroy(r);
  log = take();
  line = lineWith(log, " VERIFY(r->conn != nullptr) failed!\n");
  EXPECT_TRUE(has(line, "[VERIFY][01] ")) << log;
  EXPECT_TRUE(has(line, "] ../../core/client/common/brhttp_resp.cc:")) << line;
  BRHTTPConnection__destroy(c);
  EXPECT_FALSE(has(take(), "VERIFY"));
}

}  // namespace
