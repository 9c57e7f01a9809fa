// The service cache: entries built from canned answers (types, space forms, addresses), the
// 45-minute expiry on the runtime's clock, the user-change compensation, answers that fail or
// arrive after the token changed, and the whole path against the reference service on loopback
// (token without sign-in over TLS on the cache thread, injected faults, an offline drive).
#include "vxsvccache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "../common/nettest.h"
#include "../server/svctestserver.h"
#include "brthread.h"
#include "brtls.h"
#include "hbstr.h"
#include "hbsvcendpoint.h"
#include "hburl.h"
#include "logcapture.h"

namespace {

using tessel::test::LogCapture;

// Answers each call with the canned body of its method (SOAP, one request per connection).
class FakeService {
 public:
  FakeService() : m_server([this](int fd, int) { serve(fd); }) {}
  ~FakeService() { m_server.stop(); }

  // `inner`: the elements inside the method's response element.
  void answer(const std::string &method, const std::string &inner) {
    std::lock_guard<std::mutex> l(m_lock);
    m_bodies[method] =
        "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"x\"><soapenv:Body><" + method +
        "Response>" + inner + "</" + method + "Response></soapenv:Body></soapenv:Envelope>";
    m_status[method] = 200;
  }
  void fault(const std::string &method, int code, const char *text) {
    std::lock_guard<std::mutex> l(m_lock);
    m_bodies[method] =
        "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"x\"><soapenv:Body>"
        "<VXError><errorCode>" +
        std::to_string(code) + "</errorCode><errorDescription>" + text +
        "</errorDescription></VXError></soapenv:Body></soapenv:Envelope>";
    m_status[method] = 500;
  }
  // A body that is not XML, or (empty) a connection closed without an answer.
  void raw(const std::string &method, const std::string &body) {
    std::lock_guard<std::mutex> l(m_lock);
    m_bodies[method] = body;
    m_status[method] = body.empty() ? 0 : 200;
  }
  // Runs inside the call, before the answer goes out.
  void during(std::function<void()> fn) {
    std::lock_guard<std::mutex> l(m_lock);
    m_during = std::move(fn);
  }
  std::string url() const { return "http://" + m_server.hostPort() + "/svc/api"; }

  // A "service" element, or with `element` null its fields alone (an album's root).
  static std::string service(const char *type, const char *dev, const char *svc, const char *name,
                             const char *space, const char *apiurl,
                             const char *element = "service") {
    std::string s = (element ? "<" + std::string(element) + ">" : "") + "<type>" + type +
                    "</type><deviceid>" + dev + "</deviceid><serviceid>" + svc +
                    "</serviceid><name>" + name + "</name><version>2.1</version>";
    if (space) s += "<space>" + std::string(space) + "</space>";
    if (apiurl) s += "<apiurl>" + std::string(apiurl) + "</apiurl>";
    return s + (element ? "</" + std::string(element) + ">" : "");
  }

 private:
  void serve(int fd) {
    std::string header, body;
    if (!nettest::readHeader(fd, &header, &body)) return;
    const size_t length = std::stoul("0" + nettest::headerValue(header, "Content-Length"));
    if (!nettest::readBytes(fd, &body, length)) return;
    std::string reply;
    int status = 0;
    std::function<void()> during;
    {
      std::lock_guard<std::mutex> l(m_lock);
      for (const auto &b : m_bodies)
        if (body.find("<" + b.first) != std::string::npos ||
            body.find(":" + b.first) != std::string::npos) {
          reply = b.second;
          status = m_status[b.first];
        }
      during = m_during;
    }
    if (during) during();
    if (status == 0) return;
    nettest::sendAll(fd,
                     "HTTP/1.1 " + std::to_string(status) +
                         " X\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: " +
                         std::to_string(reply.size()) + "\r\n\r\n" + reply);
  }

  std::mutex m_lock;
  std::map<std::string, std::string> m_bodies;
  std::map<std::string, int> m_status;
  std::function<void()> m_during;
  nettest::ScriptServer m_server;
};

std::atomic<int64_t> g_ticks{50000000};

class ServiceCache : public testing::Test {
 protected:
  void SetUp() override {
    vxsvccache__resetForTest();
    brtime__setTicks64Source([] { return g_ticks.load(); });
  }
  void TearDown() override {
    vxsvccache__resetForTest();
    brtime__setTicks64Source(nullptr);
    hbsvc__setServiceURL(nullptr);
    brtls__setPinnedCertFile(nullptr);
  }
  static void useService(const std::string &url) {
    HBRef<IHBURL> u;
    ASSERT_EQ(0, hburl__parse(u.out(), url.c_str()));
    hbsvc__setServiceURL(u.get());
  }
  static std::string name(const char *dev, const char *svc) {
    HBRef<IHBStr> s;
    if (vxsvccache__getServiceName(dev, svc, s.out()) < 0) return "none";
    return s->getText();
  }
  static std::string address(const char *dev, const char *svc) {
    HBRef<IHBURL> u;
    if (vxsvccache__getServiceURL(dev, svc, u.out()) < 0) return "none";
    char buf[512];
    u->format(buf, sizeof buf);
    return buf;
  }
};

TEST_F(ServiceCache, EntriesFromListingsAndLookups) {
  FakeService fake;
  useService(fake.url());
  fake.answer(
      "listServices",
      "<services>" +
          FakeService::service("yto:plugfs:cloud", "D1", "S1", "Cloud", "1000/5000",
                               "http://10.0.0.1:81/svc/api") +
          FakeService::service("photos", "D1", "S2", "Photos", "1/2", nullptr) +
          FakeService::service("yto:plugfs:drive", "D1", "S3", "Lots", "lots", "") +
          FakeService::service("yto:plugfs:drive", "D2", "S4", "Open", nullptr, "not an address") +
          "</services>");
  fake.answer("listAlbums",
              "<albums><album><root>" +
                  FakeService::service("any", "D3", "S5", "Shared", "5/9", nullptr, nullptr) +
                  "</root></album></albums>");
  LogCapture log;
  EXPECT_EQ(0, vxsvccache__update());
  EXPECT_TRUE(log.has("Skipping Update - Not logged in..."));
  ASSERT_EQ(0, vxsvccache__init("tokA", false));
  EXPECT_EQ(0, vxsvccache__update());
  EXPECT_EQ(4, vxsvccache__count());
  EXPECT_TRUE(
      log.has("  -- NEW SERVICE: [D1:S1] [yto:plugfs:cloud] 'Cloud' @ "
              "http://10.0.0.1:81/svc/api [1000/5000]"))
      << log.text();
  EXPECT_TRUE(log.has("  -- NEW ALBUM ROOT: [D3:S5] 'Shared' @ " + fake.url() + " [5/9]"));

  // The space forms, and consumption after uploads.
  EXPECT_EQ(1000, vxsvccache__getFreeSpace("D1", "S1"));
  EXPECT_EQ(-1, vxsvccache__getFreeSpace("D1", "S3"));
  EXPECT_EQ(VXSVCCACHE_SPACE_UNLIMITED, vxsvccache__getFreeSpace("D2", "S4"));
  EXPECT_EQ(-1, vxsvccache__getFreeSpace("D1", "S2"));  // "photos" is not a drive
  vxsvccache__consumeSpace("D1", "S1", 800);
  EXPECT_EQ(200, vxsvccache__getFreeSpace("D1", "S1"));
  vxsvccache__consumeSpace("D1", "S1", 300);
  EXPECT_EQ(0, vxsvccache__getFreeSpace("D1", "S1"));
  vxsvccache__consumeSpace("D1", "S3", 300);
  EXPECT_EQ(-1, vxsvccache__getFreeSpace("D1", "S3"));

  // Addresses (the default one for an empty or unusable apiurl), names and versions.
  EXPECT_EQ("http://10.0.0.1:81/svc/api", address("D1", "S1"));
  EXPECT_EQ(fake.url(), address("D1", "S3"));
  EXPECT_EQ(fake.url(), address("D2", "S4"));
  EXPECT_EQ("none", address("D9", "S9"));
  EXPECT_EQ("Cloud", name(nullptr, nullptr));  // the first in key order
  EXPECT_EQ("none", name("D1", nullptr));
  EXPECT_EQ("Shared", name("D3", "S5"));
  HBRef<IHBStr> version;
  ASSERT_EQ(0, vxsvccache__getServiceVersion("D2", "S4", version.out()));
  EXPECT_STREQ("2.1", version->getText());

  // getService adds a drive it is asked about, not a service of another type.
  fake.answer("getService",
              FakeService::service("yto:plugfs:drive", "D9", "S9", "Late", "7/8", nullptr));
  EXPECT_EQ(0, vxsvccache__getService("D9", "S9"));
  EXPECT_EQ("Late", name("D9", "S9"));
  fake.answer("getService", FakeService::service("photos", "D8", "S8", "P", "7/8", nullptr));
  EXPECT_EQ(0, vxsvccache__getService("D8", "S8"));
  EXPECT_EQ("none", name("D8", "S8"));

  vxsvccache__flush();
  EXPECT_TRUE(log.has("Flushing cache..."));
  EXPECT_EQ(0, vxsvccache__count());
  EXPECT_FALSE(vxsvccache__hasToken());
}

TEST_F(ServiceCache, ExpiryCompensationAndFailuresLeaveItAsItWas) {
  FakeService fake;
  useService(fake.url());
  const std::string s1 = FakeService::service("yto:plugfs:x", "D1", "S1", "One", "1/2", nullptr);
  const std::string s2 = FakeService::service("yto:plugfs:x", "D1", "S2", "Two", "1/2", nullptr);
  fake.answer("listServices", "<services>" + s1 + s2 + "</services>");
  fake.answer("listAlbums", "");
  ASSERT_EQ(0, vxsvccache__init("tokA", false));
  ASSERT_EQ(0, vxsvccache__update());
  ASSERT_EQ(2, vxsvccache__count());

  // S2 stops being reported: it is still answered until 45 minutes after its last refresh.
  LogCapture log;
  fake.answer("listServices", "<services>" + s1 + "</services>");
  g_ticks += 2000000;
  ASSERT_EQ(0, vxsvccache__update());
  EXPECT_EQ("Two", name("D1", "S2"));
  g_ticks += 700001;
  ASSERT_EQ(0, vxsvccache__update());
  EXPECT_TRUE(log.has("  -- EXPIRING STALE SERVICE: [D1:S2]"));
  EXPECT_FALSE(log.has("EXPIRING STALE SERVICE: [D1:S1]"));
  EXPECT_EQ("none", name("D1", "S2"));
  EXPECT_EQ("One", name("D1", "S1"));

  // Failed calls change nothing: a fault, an answer that is not XML, no answer at all.
  fake.fault("listServices", 606, "not authorized");
  EXPECT_LT(vxsvccache__update(), 0);
  EXPECT_TRUE(log.has("FAILED listServices RPC: 606 not authorized"));
  fake.raw("listServices", "<<<garbage>>> \x01\x02");
  (void)vxsvccache__update();
  fake.raw("listServices", "");
  EXPECT_LT(vxsvccache__update(), 0);
  EXPECT_TRUE(log.has("FAILED listServices RPC Client Error: "));
  fake.fault("getService", 802, "offline");
  EXPECT_EQ(0, vxsvccache__getService("D1", "S1"));
  EXPECT_TRUE(log.has("FAILED getService RPC: 802 offline"));
  EXPECT_EQ(1, vxsvccache__count());
  EXPECT_EQ("One", name("D1", "S1"));

  // Another user's sign-in without a sign-out empties the cache before any refresh.
  ASSERT_EQ(0, vxsvccache__init("tokB", false));
  EXPECT_TRUE(log.has("USER CHANGE WITHOUT FLUSH!  Compensating"));
  EXPECT_EQ(0, vxsvccache__count());

  // An answer that arrives after the token changed belongs to the old user: it is dropped.
  fake.answer("listServices", "<services>" + s1 + s2 + "</services>");
  fake.during([] { (void)vxsvccache__init("tokC", false); });
  EXPECT_EQ(0, vxsvccache__update());
  EXPECT_EQ(0, vxsvccache__count());
  fake.during(nullptr);
  EXPECT_EQ(0, vxsvccache__update());
  EXPECT_EQ(2, vxsvccache__count());
}

TEST_F(ServiceCache, AgainstTheReferenceService) {
  tessel::test::TempDir data;
  tessel::test::SvcUser user;
  std::string err;
  ASSERT_TRUE(tessel::test::addSvcUser(data.path(), "alice", "pw", {"--drives", "2"}, &user, &err))
      << err;
  tessel::test::SvcProcess svc;
  ASSERT_TRUE(svc.start(data.path(), {"--owner", "alice"}));
  useService(svc.url() + "/svc/api");
  brtls__setPinnedCertFile((data.path() + "/tls.crt").c_str());
  brtime__setTicks64Source(nullptr);

  // Started without a token, the thread obtains one over TLS and lists the drives.
  LogCapture log;
  ASSERT_EQ(0, vxsvccache__init(nullptr, true));
  for (int i = 0; i < 600 && vxsvccache__count() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(2, vxsvccache__count()) << log.text();
  EXPECT_TRUE(log.has("Retrieved valtoken from central service: "));
  EXPECT_TRUE(log.has("Thread Starting"));
  EXPECT_EQ(10737418240, vxsvccache__getFreeSpace(user.device.c_str(), user.service.c_str()));
  EXPECT_EQ(svc.url() + "/svc/api", address(user.device.c_str(), user.service.c_str()));

  // An injected 606 and an offline drive are logged; the cache keeps answering.
  // (The thread may still be refreshing: whichever listing meets the fault logs it.)
  ASSERT_TRUE(svc.admin("fail?count=1&code=606&method=listServices"));
  (void)vxsvccache__update();
  for (int i = 0; i < 200 && !log.has("FAILED listServices RPC: 606"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(log.has("FAILED listServices RPC: 606"));
  ASSERT_TRUE(svc.admin("fail?count=1&code=802&method=getService"));
  EXPECT_EQ(0, vxsvccache__getService(user.device.c_str(), user.service.c_str()));
  EXPECT_TRUE(log.has("FAILED getService RPC: 802"));
  // An offline drive is still listed and kept.
  ASSERT_TRUE(svc.admin("offline?serviceid=" + user.service));
  EXPECT_EQ(0, vxsvccache__update());
  EXPECT_EQ(0, vxsvccache__getService(user.device.c_str(), user.service.c_str()));
  EXPECT_EQ(2, vxsvccache__count());
  EXPECT_EQ(10737418240, vxsvccache__getFreeSpace(user.device.c_str(), user.service.c_str()));
}

}  // namespace
