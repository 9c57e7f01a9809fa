// The HTTP client and `tesseltool http` against a real server: nginx on loopback, serving large
// files and taking PUT bodies with a Content-Length and chunked.
#include <gtest/gtest.h>

#include <string>

#include "../common/nettest.h"
#include "brhttp.h"
#include "hbhttpconnpool.h"
#include "hburl.h"
#include "testutil.h"

using tessel::test::TempDir;

namespace {

std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

class NginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nginx = std::make_unique<nettest::Nginx>(dir.path(), tessel::test::freeLoopbackPort());
    if (!nginx->ok()) GTEST_SKIP() << "nginx is not installed (Debian package nginx-light)";
    ASSERT_EQ(hbhttpconnpool__create(&pool), 0);
  }
  void TearDown() override {
    if (pool) {
      pool->closeAll();
      pool->dnref();
    }
  }
  TempDir dir;
  std::unique_ptr<nettest::Nginx> nginx;
  IHBHTTPConnPool *pool = nullptr;
};

int32_t put(IHBHTTPConnPool *pool, const std::string &url, const std::string &data, bool chunked) {
  BRHTTPConnection *c = nullptr;
  int32_t rc = pool->getConnectionForText(url.c_str(), &c);
  if (rc < 0) return rc;
  HBRef<IHBURL> u;
  if ((rc = hburl__parse(u.out(), url.c_str())) < 0) return rc;
  BRHTTPRequest *r = nullptr;
  rc = BRHTTPConnection__newRequest(c, "PUT", u->getPath(), &r);
  if (rc == 0)
    rc = chunked ? BRHTTPRequest__addRequestHeader(r, "Transfer-Encoding", "chunked")
                 : BRHTTPRequest__addRequestHeader(r, "Content-Length", std::to_string(data.size()).c_str());
  size_t off = 0;
  while (rc >= 0 && off < data.size()) {
    const int32_t want = static_cast<int32_t>(std::min<size_t>(300000, data.size() - off));
    rc = BRHTTPRequest__writeRequestBody(r, data.data() + off, want);
    if (rc > 0) off += static_cast<size_t>(rc);
  }
  if (rc >= 0) rc = BRHTTPRequest__receiveResponseHeader(r, nullptr, 0);
  if (r) BRHTTPRequest__destroy(r);
  pool->releaseConnectionForText(url.c_str(), c);
  return rc;
}

int32_t get(IHBHTTPConnPool *pool, const std::string &url, std::string *body) {
  BRHTTPConnection *c = nullptr;
  int32_t rc = pool->getConnectionForText(url.c_str(), &c);
  if (rc < 0) return rc;
  HBRef<IHBURL> u;
  if ((rc = hburl__parse(u.out(), url.c_str())) < 0) return rc;
  BRHTTPRequest *r = nullptr;
  rc = BRHTTPConnection__newRequest(c, "GET", u->getPath(), &r);
  int32_t status = rc < 0 ? rc : BRHTTPRequest__receiveResponseHeader(r, nullptr, 0);
  rc = status;
  std::string buf(1u << 16, '\0');
  while (rc > 0 && (rc = BRHTTPRequest__receiveResponseBody(r, buf.data(), static_cast<int32_t>(buf.size()))) > 0)
    body->append(buf.data(), static_cast<size_t>(rc));
  if (r) BRHTTPRequest__destroy(r);
  pool->releaseConnectionForText(url.c_str(), c);
  return rc < 0 ? rc : status;
}

TEST_F(NginxTest, PutAndGetLargeBodies) {
  const std::string a = pattern(20u << 20, 1), b = pattern((7u << 20) + 13, 2);
  EXPECT_EQ(put(pool, nginx->url("/up/a.bin"), a, false), 201);
  EXPECT_EQ(put(pool, nginx->url("/up/b.bin"), b, true), 201);
  std::string onDisk;
  ASSERT_TRUE(tessel::test::readFile(nginx->root() + "/up/a.bin", &onDisk));
  EXPECT_TRUE(onDisk == a);
  ASSERT_TRUE(tessel::test::readFile(nginx->root() + "/up/b.bin", &onDisk));
  EXPECT_TRUE(onDisk == b);
  std::string got;
  EXPECT_EQ(get(pool, nginx->url("/up/a.bin"), &got), 200);
  EXPECT_TRUE(got == a);
  got.clear();
  EXPECT_EQ(get(pool, nginx->url("/up/b.bin"), &got), 200);
  EXPECT_TRUE(got == b);
  got.clear();
  EXPECT_EQ(get(pool, nginx->url("/missing"), &got), 404);
  int32_t n1 = 0, n2 = 0;
  hbhttpconnpool__counts(pool, &n1, &n2);
  EXPECT_EQ(n1, 1);  // one keep-alive connection served all of it
}

TEST_F(NginxTest, ToolSendsAndFetches) {
  const std::string data = pattern((3u << 20) + 5, 3);
  const std::string in = dir.file("in.bin"), out = dir.file("out.bin");
  ASSERT_TRUE(tessel::test::writeFile(in, data));
  const std::string tool = tessel::test::binPath("tesseltool");
  auto r = tessel::test::runProgram({tool, "http", "PUT", nginx->url("/t/x.bin"), "--data", in});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("HTTP 201"), std::string::npos) << r.err;
  r = tessel::test::runProgram({tool, "http", "PUT", nginx->url("/t/y.bin"), "--data", "-",
                                "--header", "X-Test: 1"},
                               data);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  r = tessel::test::runProgram({tool, "http", "GET", nginx->url("/t/x.bin"), "--out", out});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string got;
  ASSERT_TRUE(tessel::test::readFile(out, &got));
  EXPECT_TRUE(got == data);
  r = tessel::test::runProgram({tool, "http", "GET", nginx->url("/t/y.bin")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out == data);
  r = tessel::test::runProgram({tool, "http", "GET", nginx->url("/t/none")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("HTTP 404"), std::string::npos) << r.err;
  r = tessel::test::runProgram({tool, "http", "GET"});
  EXPECT_EQ(r.exitCode, 64);
}

}  // namespace
