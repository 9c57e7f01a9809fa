// RPC call objects against scripted loopback servers: the request on the wire (SOAP and packet),
// the fault rules, result getters, repeated calls and connection use.
#include "hbrpc.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>

#include "brhttp.h"
#include "brlog.h"
#include "brsocket.h"
#include "hbhttpconnpool.h"
#include "hburl.h"
#include "nettest.h"
#include "testutil.h"

using nettest::ScriptServer;

namespace {

std::string g_logPath;

// The log goes to a file in the test's own folder (made by the test main, so not before it
// runs), at the level of the call traces but below the socket layer's byte dumps.
void startLog() {
  if (!g_logPath.empty()) return;
  g_logPath = tessel::test::testRoot() + "/hbrpc_test.log";
  hblogsink__init("test", g_logPath.c_str());
  brlog__setLevel(BRLOG_VERBOSE5);
}

std::string logText() {
  std::ifstream f(g_logPath);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

struct Seen {
  std::string header;
  std::string body;
};

// Serves the canned answers in order on whatever connections come, recording each request.
class Service {
 public:
  explicit Service(std::vector<std::string> answers)
      : m_answers(std::move(answers)), m_server([this](int fd, int) { serve(fd); }) {
    startLog();
  }

  std::string url(const std::string &path) const { return "http://" + m_server.hostPort() + path; }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_seen;
  }
  int accepted() const { return m_server.accepted(); }
  void stop() { m_server.stop(); }

 private:
  void serve(int fd) {
    for (;;) {
      Seen s;
      std::string rest;
      if (!nettest::readHeader(fd, &s.header, &rest)) return;
      if (nettest::headerValue(s.header, "Transfer-Encoding") == "chunked") {
        if (!nettest::readChunked(fd, &rest, &s.body)) return;
      } else {
        const size_t len =
            strtoul(nettest::headerValue(s.header, "Content-Length").c_str(), nullptr, 10);
        if (!nettest::readBytes(fd, &rest, len)) return;
        s.body = rest.substr(0, len);
      }
      std::string answer;
      {
        std::lock_guard<std::mutex> lock(m_lock);
        m_seen.push_back(s);
        if (m_next >= m_answers.size()) return;
        answer = m_answers[m_next++];
      }
      // "!close!" in front: send the answer and hang up.
      const bool close = answer.compare(0, 7, "!close!") == 0;
      if (!nettest::sendAll(fd, close ? answer.substr(7) : answer) || close) return;
    }
  }

  std::mutex m_lock;
  std::vector<Seen> m_seen;
  std::vector<std::string> m_answers;
  size_t m_next = 0;
  ScriptServer m_server;
};

std::string http(int status, const std::string &type, const std::string &body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string xml(int status, const std::string &inner) {
  return http(status, "text/xml",
              "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"x\"><soapenv:Body>" +
                  inner + "</soapenv:Body></soapenv:Envelope>");
}

std::string pktStr(uint32_t field, const std::string &s) {
  std::string out(1, char(field * 8 + 4));
  out += char(s.size());
  return out + s;
}

HBRef<HBRPCGeneric> rpcFor(const std::string &address, IHBHTTPConnPool *pool = nullptr) {
  HBRef<IHBURL> url;
  EXPECT_EQ(0, hburl__parse(url.out(), address.c_str()));
  HBRef<HBRPCGeneric> rpc;
  EXPECT_EQ(0, HBRPCGeneric::create(url.get(), pool, rpc));
  return rpc;
}

TEST(HBRPCSoap, RequestOnTheWireAndPasswordMaskedInTheLog) {
  Service svc({xml(200,
                   "<loginUserResponse><valtoken xsi:type=\"xsd:string\">tok</valtoken>"
                   "<user><name>al</name></user></loginUserResponse>")});
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/api"));
  ASSERT_EQ(0, rpc->call("loginUser", "username", "al", "password", "s3cr&t", nullptr));
  EXPECT_STREQ("tok", rpc->getArgmentByName("valtoken"));
  const std::vector<Seen> seen = svc.seen();
  ASSERT_EQ(1u, seen.size());
  const std::string &h = seen[0].header;
  EXPECT_EQ(0u, h.find("POST /svc/api HTTP/1.1\r\n"));
  const size_t a = h.find("\r\nSoapAction: loginUser\r\n");
  const size_t b = h.find("\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n");
  const size_t c = h.find("\r\nTransfer-Encoding: chunked\r\n");
  ASSERT_NE(std::string::npos, a);
  ASSERT_NE(std::string::npos, b);
  ASSERT_NE(std::string::npos, c);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_NE(std::string::npos,
            seen[0].body.find("<username xsi:type=\"xsd:string\">al</username><password "
                              "xsi:type=\"xsd:string\">s3cr&amp;t</password></loginUser>"));
  const std::string log = logText();
  EXPECT_NE(std::string::npos, log.find("'password' -> 'XXXXXXXXXXXX'"));
  EXPECT_NE(std::string::npos, log.find("'username' -> 'al'"));
  EXPECT_EQ(std::string::npos, log.find("s3cr&t"));
}

TEST(HBRPCSoap, FaultRules) {
  Service svc({xml(500,
                   "<VXError><errorCode>0x1F</errorCode><errorDescription>Bad"
                   "</errorDescription><errorContext>ctx</errorContext></VXError>"),
               http(404, "text/html", "<html>not here</html>"),
               xml(200, "<mResponse><a>1</a><m><x>1</x></m></mResponse>"),
               xml(200, "<VXError><errorCode>808</errorCode></VXError>"),
               http(302, "text/html", ""),
               xml(200, "<mResponse><b>2</b><m><y>2</y></m></mResponse>")});
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/api"));
  char buf[256];

  EXPECT_EQ(BR_EFAULT, rpc->call("m", nullptr));
  EXPECT_TRUE(rpc->isFault());
  EXPECT_EQ(31, rpc->getErrorCode());
  const int32_t n = rpc->getErrorXML(buf);
  EXPECT_EQ(int32_t(strlen(buf)), n);
  EXPECT_STREQ(
      "<VXError><errorCode>31</errorCode><errorDescription>Bad</errorDescription>"
      "<errorContext>ctx</errorContext></VXError>",
      buf);

  EXPECT_EQ(BR_EFAULT, rpc->call("m", nullptr));
  EXPECT_TRUE(rpc->isFault());
  EXPECT_EQ(400, rpc->getErrorCode());
  ASSERT_GT(rpc->getErrorXML(buf), 0);
  EXPECT_STREQ(
      "<VXError><errorCode>400</errorCode><errorDescription>Unknown Error"
      "</errorDescription><errorContext></errorContext></VXError>",
      buf);

  EXPECT_EQ(0, rpc->call("m", nullptr));
  EXPECT_FALSE(rpc->isFault());
  EXPECT_EQ(-1, rpc->getErrorCode());
  EXPECT_EQ(-1, rpc->getErrorXML(buf));
  EXPECT_STREQ("1", rpc->getArgmentByName("a"));
  EXPECT_EQ(nullptr, rpc->getArgmentByName("m"));  // a map, not a text
  EXPECT_EQ(nullptr, rpc->getArgmentByName("absent"));
  EXPECT_EQ(nullptr, rpc->getArgmentIterator("m"));
  HBRef<HBMap> kept = HBRef<HBMap>::adopt(rpc->getArgmentMap("m"));
  ASSERT_TRUE(kept);

  // A fault element inside a 200 answer is a fault too.
  EXPECT_EQ(BR_EFAULT, rpc->call("m", nullptr));
  EXPECT_EQ(808, rpc->getErrorCode());

  EXPECT_EQ(BR_EFAULT, rpc->call("m", nullptr));  // 3xx
  EXPECT_EQ(400, rpc->getErrorCode());

  // The next answer replaces everything, and the map kept from before is still whole.
  EXPECT_EQ(0, rpc->call("m", nullptr));
  EXPECT_EQ(nullptr, rpc->getArgmentByName("a"));
  EXPECT_EQ(nullptr, rpc->getArgmentByName("errorCode"));
  EXPECT_STREQ("2", rpc->getArgmentByName("b"));
  EXPECT_STREQ("1", kept->getString("x"));
  EXPECT_EQ(1, kept->count());
  // All six calls went over one kept-open connection.
  EXPECT_EQ(1, svc.accepted());
}

TEST(HBRPCSoap, LocalFailuresAreNotFaults) {
  HBRef<HBRPCGeneric> rpc =
      rpcFor("http://127.0.0.1:" + std::to_string(tessel::test::freeLoopbackPort()) + "/svc/api");
  const int32_t rc = rpc->call("m", "a", "b", nullptr);
  EXPECT_LT(rc, 0);
  EXPECT_NE(BR_EFAULT, rc);
  EXPECT_FALSE(rpc->isFault());
  EXPECT_EQ(-1, rpc->getErrorCode());

  // An answer that is not XML: no fault element, 200 means success with an empty map.
  Service svc({http(200, "text/plain", "hello"), http(500, "text/plain", "broken")});
  HBRef<HBRPCGeneric> rpc2 = rpcFor(svc.url("/svc/api"));
  EXPECT_EQ(0, rpc2->call("m", nullptr));
  EXPECT_EQ(0, rpc2->getResultMap()->count());
  EXPECT_EQ(BR_EFAULT, rpc2->call("m", nullptr));
  EXPECT_EQ(400, rpc2->getErrorCode());
  // A pair list that starts with a null name sends no arguments.
  EXPECT_NE(std::string::npos, svc.seen()[0].body.find("encoding/\"></m></soapenv:Body>"));
}

TEST(HBRPCSoap, RequestThatFailedAfterSendingGivesFault) {
  // The server takes the request and hangs up without an answer.
  Service svc({"!close!"});
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/api"));
  EXPECT_EQ(BR_EFAULT, rpc->call("m", "a", "b", nullptr));
  EXPECT_FALSE(rpc->isFault());
  EXPECT_EQ(1u, svc.seen().size());
}

TEST(HBRPCSoap, PiecesTooLongForTheBufferAreThrownAway) {
  Service svc(
      {xml(200, "<mResponse><a>1</a><b>" + std::string(10000, 'y') + "</b><c>3</c></mResponse>"),
       xml(200, "<mResponse><after>ok</after></mResponse>")});
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/api"));
  EXPECT_EQ(0, rpc->call("m", nullptr));
  EXPECT_STREQ("1", rpc->getArgmentByName("a"));
  EXPECT_EQ(nullptr, rpc->getArgmentByName("c"));
  EXPECT_NE(std::string::npos, logText().find("+++ No Space to put data -- Throwing it away!"));
  // The connection is still good for the next call.
  EXPECT_EQ(0, rpc->call("m", nullptr));
  EXPECT_STREQ("ok", rpc->getArgmentByName("after"));
}

TEST(HBRPCSoap, AnswerCutShortIsAnIOError) {
  // The server promises more body than it sends and closes.
  const std::string part = "<soapenv:Envelope><soapenv:Body><mResponse><a>1</a>";
  Service svc({"!close!HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + part});
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/api"));
  const int32_t rc = rpc->call("m", nullptr);
  EXPECT_EQ(BR_EIO, rc);
  EXPECT_FALSE(rpc->isFault());

  // A packet answer cut short by the connection fails the same way.
  const std::string pkt = pktStr(0, "map") + pktStr(1, "a") + pktStr(2, "1");
  Service svc2({"!close!HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + pkt});
  HBRef<HBRPCGeneric> rpc2 = rpcFor(svc2.url("/svc/pktm/"));
  EXPECT_EQ(BR_EIO, rpc2->call("m", nullptr));
  EXPECT_FALSE(rpc2->isFault());
  EXPECT_EQ(0, rpc2->getResultMap()->count());

  // A whole answer whose records are malformed: nothing is taken from it, its status decides.
  Service svc3({http(200, "application/octet-stream", pkt + "\x1c\x7f"),
                http(500, "application/octet-stream", pkt + "\x1c\x7f")});
  HBRef<HBRPCGeneric> rpc3 = rpcFor(svc3.url("/svc/pktm/"));
  EXPECT_EQ(0, rpc3->call("m", nullptr));
  EXPECT_EQ(0, rpc3->getResultMap()->count());
  EXPECT_EQ(BR_EFAULT, rpc3->call("m", nullptr));
  EXPECT_EQ(400, rpc3->getErrorCode());
}

TEST(HBRPCSoap, PooledConnectionsGoBack) {
  Service svc(
      {xml(200, "<mResponse><a>1</a></mResponse>"), xml(200, "<mResponse><a>2</a></mResponse>")});
  HBRef<IHBHTTPConnPool> pool;
  ASSERT_EQ(0, hbhttpconnpool__create(pool.out()));
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/api"), pool.get());
  EXPECT_EQ(0, rpc->call("m", nullptr));
  int32_t urls = 0, times = 0;
  hbhttpconnpool__counts(pool.get(), &urls, &times);
  EXPECT_EQ(1, urls);
  EXPECT_EQ(0, rpc->call("m", nullptr));
  EXPECT_STREQ("2", rpc->getArgmentByName("a"));
  EXPECT_EQ(1, svc.accepted());
  pool->closeAll();

  // The registered pool, else the process-wide one.
  HBRef<IHBURL> url;
  ASSERT_EQ(0, hburl__parse(url.out(), svc.url("/svc/api").c_str()));
  EXPECT_EQ(nullptr, hbrpc__getConnPool());
  hbhttpconnpool__setDefault(pool.get());
  HBRef<IHBHTTPConnPool> got = HBRef<IHBHTTPConnPool>::adopt(hbrpc__getConnPool());
  EXPECT_EQ(pool.get(), got.get());
  HBRef<IHBHTTPConnPool> own;
  ASSERT_EQ(0, hbhttpconnpool__create(own.out()));
  hbrpc__setConnPool(own.get());
  got = HBRef<IHBHTTPConnPool>::adopt(hbrpc__getConnPool());
  EXPECT_EQ(own.get(), got.get());
  HBRef<HBRPCGeneric> viaRegistered;
  ASSERT_EQ(0, hbrpc__new(url.get(), viaRegistered.out()));
  hbrpc__setConnPool(nullptr);
  hbhttpconnpool__setDefault(nullptr);
}

// A thread whose cancel check says to give up (a file system's interrupted request): a look that
// does not wait still answers, so the pool's idle connection is used, not thrown away; the call
// gives up with -21 itself, not as a failed call; its connection is closed, never used again;
// and a connection that connects again forgets the wait given up on it.
TEST(HBRPCSoap, AGivenUpCallIsNoFailureAndItsConnectionIsNotUsedAgain) {
  Service svc({xml(200, "<mResponse><a>1</a></mResponse>"),
               xml(200, "<mResponse><a>2</a></mResponse>"), http(200, "text/plain", "ok")});
  HBRef<IHBHTTPConnPool> pool;
  ASSERT_EQ(0, hbhttpconnpool__create(pool.out()));
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/api"), pool.get());
  ASSERT_EQ(0, rpc->call("m", nullptr));
  struct GiveUp {
    static int always(void *) { return 1; }
    GiveUp() { brsocket__setThreadCancel(always, nullptr); }
    ~GiveUp() { brsocket__setThreadCancel(nullptr, nullptr); }
  };
  {
    GiveUp giveUp;
    EXPECT_EQ(BR_EINTR, rpc->call("m", nullptr));
    EXPECT_FALSE(rpc->isFault());
  }
  EXPECT_EQ(1, svc.accepted());
  EXPECT_EQ(0, rpc->call("m", nullptr));
  EXPECT_STREQ("2", rpc->getArgmentByName("a"));
  EXPECT_EQ(2, svc.accepted());

  BRHTTPConnection *c = nullptr;
  ASSERT_EQ(0, pool->getConnectionForText(svc.url("/").c_str(), &c));
  BRHTTPRequest *r = nullptr;
  {
    GiveUp giveUp;
    ASSERT_EQ(0, BRHTTPConnection__newRequest(c, "GET", "/x", &r));
    EXPECT_EQ(BR_EINTR, BRHTTPRequest__receiveResponseHeader(r, nullptr, 0));
    EXPECT_TRUE(BRHTTPConnection__getFlags(c) & BRHTTP_CONN_INTERRUPTED);
    BRHTTPRequest__destroy(r);
    EXPECT_FALSE(BRHTTPConnection__isOpen(c));
  }
  ASSERT_EQ(0, BRHTTPConnection__newRequest(c, "GET", "/x", &r));
  EXPECT_EQ(200, BRHTTPRequest__receiveResponseHeader(r, nullptr, 0));
  char body[16];
  EXPECT_EQ(2, BRHTTPRequest__receiveResponseBody(r, body, sizeof body));
  EXPECT_EQ(0, BRHTTPRequest__receiveResponseBody(r, body, sizeof body));
  BRHTTPRequest__destroy(r);
  EXPECT_FALSE(BRHTTPConnection__getFlags(c) & BRHTTP_CONN_INTERRUPTED);
  EXPECT_TRUE(BRHTTPConnection__isOpen(c));
  EXPECT_EQ(3, svc.accepted());
  BRHTTPConnection__destroy(c);
}

TEST(HBRPCPacket, RequestBytesAndAnswers) {
  const std::string user = pktStr(0, "map") + pktStr(1, "name") + pktStr(2, "al");
  std::string answer = pktStr(0, "map") + pktStr(1, "user");
  answer += char(2 * 8 + 5);
  answer += char(user.size());
  answer += user;
  answer += pktStr(3, "count") + pktStr(4, "");
  const std::string iterRoot = pktStr(0, "iter");
  const std::string fault = pktStr(0, "map") + pktStr(1, "errorCode") + pktStr(2, "804");
  Service svc({http(200, "application/octet-stream", answer),
               http(200, "application/octet-stream", iterRoot),
               http(500, "application/octet-stream", fault)});
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/api/pktm/"));
  ASSERT_EQ(0, rpc->call("m", "valtoken", "t", "deviceid", "d", nullptr));
  HBRef<HBMap> u = HBRef<HBMap>::adopt(rpc->getArgmentMap("user"));
  ASSERT_TRUE(u);
  EXPECT_STREQ("al", u->getString("name"));
  EXPECT_STREQ("", rpc->getArgmentByName("count"));

  EXPECT_EQ(0, rpc->call("m", nullptr));  // refused body, but a 200
  EXPECT_EQ(0, rpc->getResultMap()->count());
  EXPECT_EQ(BR_EFAULT, rpc->call("m", nullptr));
  EXPECT_EQ(804, rpc->getErrorCode());

  const std::vector<Seen> seen = svc.seen();
  ASSERT_EQ(3u, seen.size());
  EXPECT_EQ(0u, seen[0].header.find("POST /svc/api/pktm/m HTTP/1.1\r\n"));
  EXPECT_EQ("application/octet-stream", nettest::headerValue(seen[0].header, "Content-Type"));
  EXPECT_EQ(std::string("\x04\x03map\x0c\x08valtoken\x14\x01t\x1c\x08"
                        "deviceid\x24\x01"
                        "d"),
            seen[0].body);
  EXPECT_EQ(std::string("\x04\x03map"), seen[1].body);
}

TEST(HBRPCPacket, StalledAndHalfConvertedAnswers) {
  // An answer that stops coming ends at the first read time-out, as a failed exchange.
  const std::string pkt = pktStr(0, "map") + pktStr(1, "a") + pktStr(2, "x");
  Service svc({"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + pkt});
  HBRef<IHBHTTPConnPool> pool;
  ASSERT_EQ(0, hbhttpconnpool__create(pool.out()));
  hbhttpconnpool__setTimeout(pool.get(), 50);
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/pktm/"), pool.get());
  EXPECT_EQ(BR_EIO, rpc->call("m", nullptr));
  EXPECT_EQ(0, rpc->getResultMap()->count());
  pool->closeAll();

  // A key without a value fails the conversion; what was converted before it stays.
  Service svc2({http(200, "application/octet-stream", pkt + pktStr(3, "b"))});
  HBRef<HBRPCGeneric> rpc2 = rpcFor(svc2.url("/svc/pktm/"));
  EXPECT_EQ(0, rpc2->call("m", nullptr));
  EXPECT_STREQ("x", rpc2->getArgmentByName("a"));
  EXPECT_EQ(1, rpc2->getResultMap()->count());
}

TEST(HBRPCPacket, PasswordStaysOutOfTheLog) {
  Service svc({http(200, "application/octet-stream", pktStr(0, "map"))});
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url("/svc/pktm/"));
  ASSERT_EQ(0, rpc->call("loginUser", "username", "al", "password", "pkt-s3cret", nullptr));
  EXPECT_NE(std::string::npos, svc.seen()[0].body.find("pkt-s3cret"));
  const std::string log = logText();
  EXPECT_NE(std::string::npos, log.find("XXXXXXXXXXXX"));
  EXPECT_EQ(std::string::npos, log.find("pkt-s3cret"));
}

TEST(HBRPCPacket, PathTooLongSendsNothing) {
  Service svc({});
  const std::string base = "/pktm/" + std::string(100, 'p');  // 106 bytes, and a "/" added
  HBRef<HBRPCGeneric> rpc = rpcFor(svc.url(base));
  EXPECT_EQ(BR_ENOSPC, rpc->call(std::string(19, 'm').c_str(), nullptr));  // 107 + 19 = 126
  EXPECT_FALSE(rpc->isFault());
  rpc.reset();  // closes the connection, so the server's reader ends at once
  svc.stop();
  EXPECT_TRUE(svc.seen().empty());
}

}  // namespace
