// The service address and session token, and every service method end to end against tesselsvc
// over SOAP and packet messages, with the faults the callers act on.
#include <gtest/gtest.h>

#include <string>

#include "../server/svctestserver.h"
#include "hbmap.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbstr.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "hburl.h"
#include "testutil.h"

namespace {

using tessel::test::binPath;
using tessel::test::runProgram;

class EndpointTest : public testing::Test {
 protected:
  void TearDown() override {
    hbsvc__setServiceURL(nullptr);
    {
      HBRef<HBProperties> server;
      if (hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()) == 0)
        (void)server->setProperty("host", nullptr);
    }
    // The first store opened becomes the default one.
    hbproperties__setDefault(nullptr);
  }
  void setHost(const char *host) {
    HBRef<HBProperties> server;
    ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_SERVER, HBPROPERTIES_CREATE, server.out()));
    ASSERT_EQ(0, server->setProperty("host", host));
  }
};

TEST_F(EndpointTest, HostFromSettingsOrDefault) {
  EXPECT_EQ("127.0.0.1:8480", hbsvc__readHost());
  ASSERT_EQ(0, hbsvc__initServiceURL());
  EXPECT_EQ("http://127.0.0.1:8480/svc/api", hbsvc__getServiceURLText());

  setHost("drive.example.test:81");
  ASSERT_EQ(0, hbsvc__initServiceURL());
  EXPECT_EQ("http://drive.example.test:81/svc/api", hbsvc__getServiceURLText());
  HBRef<IHBURL> url;
  ASSERT_EQ(0, hbsvc__getServiceURL(url.out()));
  EXPECT_EQ(81, url->getPort());
  EXPECT_STREQ("/svc/api", url->getPath());

  setHost("");
  EXPECT_EQ("127.0.0.1:8480", hbsvc__readHost());
  setHost(std::string(300, 'h').c_str());
  EXPECT_EQ(255u, hbsvc__readHost().size());
}

TEST_F(EndpointTest, UnusableHostIsAClearError) {
  for (const char *bad : {"two words", "host/path", "h:notaport"}) {
    setHost(bad);
    EXPECT_EQ(BR_EINVAL, hbsvc__initServiceURL()) << bad;
    EXPECT_EQ("", hbsvc__getServiceURLText());
    HBRef<IHBURL> url;
    EXPECT_EQ(BR_EBADSTATE, hbsvc__getServiceURL(url.out()));
    HBRef<HBRPCGeneric> rpc;
    EXPECT_EQ(BR_EBADSTATE, hbsvc__newCall(rpc.out()));
  }
}

TEST_F(EndpointTest, SessionToken) {
  std::string token;
  EXPECT_EQ(BR_ENOENT, hbsvc__getValtoken(&token));
  HBRef<HBProperties> store;
  ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, store.out()));
  hbproperties__setDefault(store.get());
  EXPECT_FALSE(hbsvc__isSignedIn());
  ASSERT_EQ(0, hbsvc__setValtoken("abc123"));
  EXPECT_TRUE(hbsvc__isSignedIn());
  ASSERT_EQ(0, hbsvc__getValtoken(&token));
  EXPECT_EQ("abc123", token);
  ASSERT_EQ(0, hbsvc__setValtoken(nullptr));
  EXPECT_FALSE(hbsvc__isSignedIn());
  EXPECT_EQ(BR_ENOENT, hbsvc__getValtoken(&token));
  EXPECT_EQ(0, hbsvc__setValtoken(""));  // signing out twice is fine
  ASSERT_EQ(0, store->setProperty("valtoken", ""));
  EXPECT_FALSE(hbsvc__isSignedIn());
}

// ---- End to end ----

class ServiceMethods : public testing::TestWithParam<bool> {
 protected:
  static void SetUpTestSuite() {
    s_data = new tessel::test::TempDir;
    tessel::test::SvcUser user;
    std::string err;
    ASSERT_TRUE(tessel::test::addSvcUser(s_data->path(), "alice", "pw", {}, &user, &err)) << err;
    s_token = user.token;
    s_device = user.device;
    s_service = user.service;
    s_svc = new tessel::test::SvcProcess;
    ASSERT_TRUE(s_svc->start(s_data->path(), {"--owner", "alice"}));
  }
  static void TearDownTestSuite() {
    delete s_svc;
    delete s_data;
  }
  void SetUp() override {
    const std::string address = s_svc->url() + (GetParam() ? "/svc/pktm/" : "/svc/api");
    HBRef<IHBURL> url;
    ASSERT_EQ(0, hburl__parse(url.out(), address.c_str()));
    ASSERT_EQ(0, HBRPCGeneric::create(url.get(), nullptr, m_rpc));
  }
  void admin(const std::string &command) { EXPECT_TRUE(s_svc->admin(command)) << command; }
  // The file map of the last answer.
  std::string fileid() {
    HBRef<HBMap> file = HBRef<HBMap>::adopt(m_rpc->getArgmentMap("file"));
    if (!file) return "";
    const char *id = file->getString("fileid");
    return id ? id : "";
  }
  void expectFault(int32_t rc, int32_t code) {
    EXPECT_EQ(BR_EFAULT, rc);
    EXPECT_TRUE(m_rpc->isFault());
    EXPECT_EQ(code, m_rpc->getErrorCode());
  }

  HBRef<HBRPCGeneric> m_rpc;
  static tessel::test::TempDir *s_data;
  static tessel::test::SvcProcess *s_svc;
  static std::string s_token, s_device, s_service;
};

tessel::test::TempDir *ServiceMethods::s_data;
tessel::test::SvcProcess *ServiceMethods::s_svc;
std::string ServiceMethods::s_token, ServiceMethods::s_device, ServiceMethods::s_service;

TEST_P(ServiceMethods, AccountAndDrives) {
  const char *t = s_token.c_str();
  ASSERT_EQ(0, hbsvc__getOwnerAuth(m_rpc.get()));
  EXPECT_EQ(32u, strlen(m_rpc->getArgmentByName("valtoken")));

  ASSERT_EQ(0, hbsvc__getUser(m_rpc.get(), t));
  HBRef<HBMap> user = HBRef<HBMap>::adopt(m_rpc->getArgmentMap("user"));
  ASSERT_TRUE(user);
  EXPECT_STREQ("alice", user->getString("username"));

  ASSERT_EQ(0, hbsvc__generateGoURL(m_rpc.get(), t, "/photos"));
  ASSERT_TRUE(m_rpc->getArgmentByName("gourl"));
  EXPECT_NE(nullptr, strstr(m_rpc->getArgmentByName("gourl"), "/svc/go"));

  ASSERT_EQ(0, hbsvc__listServices(m_rpc.get(), t));
  HBRef<IHBIter> services = HBRef<IHBIter>::adopt(m_rpc->getArgmentIterator("services"));
  ASSERT_TRUE(services);  // a list even for one drive
  hbtype_t type = HBIFC_MAP;
  void *item = nullptr;
  ASSERT_EQ(0, services->next(&type, &item));
  HBRef<IHBMap> drive = HBRef<IHBMap>::adopt(static_cast<IHBMap *>(item));
  EXPECT_EQ(s_service, drive->getString("serviceid"));
  EXPECT_EQ(s_device, drive->getString("deviceid"));
  for (const char *k : {"type", "apiurl", "name", "version", "space"})
    EXPECT_TRUE(drive->getString(k)) << k;
  EXPECT_EQ(BR_ERANGE, services->next(&type, &item));

  EXPECT_EQ(0, hbsvc__listAlbums(m_rpc.get(), t));

  ASSERT_EQ(0, hbsvc__getService(m_rpc.get(), t, s_device.c_str(), s_service.c_str()));
  HBRef<HBMap> service = HBRef<HBMap>::adopt(m_rpc->getArgmentMap("service"));
  ASSERT_TRUE(service);
  EXPECT_EQ(s_service, service->getString("serviceid"));

  expectFault(hbsvc__getUser(m_rpc.get(), "0123456789abcdef0123456789abcdef"), 606);
  char xml[256];
  ASSERT_GT(m_rpc->getErrorXML(xml), 0);
  EXPECT_EQ(0, strncmp(xml, "<VXError><errorCode>606</errorCode>", 35));
}

TEST_P(ServiceMethods, FilesAndFaults) {
  const char *t = s_token.c_str(), *d = s_device.c_str(), *s = s_service.c_str();
  const std::string folderName = GetParam() ? "pkt" : "soap";
  ASSERT_EQ(0, hbsvc__createFolder(m_rpc.get(), t, d, s, "0", folderName.c_str(), "1700000000000"));
  const std::string folder = fileid();
  ASSERT_FALSE(folder.empty());
  expectFault(hbsvc__createFolder(m_rpc.get(), t, d, s, "0", folderName.c_str(), "1"), 808);

  const char *fields[] = {"origin", "host",  "type", "0",        "size",       "5",    "ctime",
                          "1",      "mtime", "2",    "mimetype", "image/jpeg", nullptr};
  ASSERT_EQ(0, hbsvc__createFile(m_rpc.get(), t, d, s, folder.c_str(), "a b.jpg", fields));
  const std::string file = fileid();
  ASSERT_FALSE(file.empty());

  ASSERT_EQ(0, hbsvc__getFile(m_rpc.get(), t, d, s, file.c_str()));
  HBRef<HBMap> rec = HBRef<HBMap>::adopt(m_rpc->getArgmentMap("file"));
  ASSERT_TRUE(rec);
  EXPECT_STREQ("a b.jpg", rec->getString("name"));
  EXPECT_STREQ("5", rec->getString("size"));
  EXPECT_STREQ("2", rec->getString("mtime"));
  EXPECT_STREQ("0", rec->getString("type"));

  ASSERT_EQ(0, hbsvc__getFileByName(m_rpc.get(), t, d, s, "0", folderName.c_str(), "1"));
  EXPECT_EQ(folder, fileid());

  ASSERT_EQ(0, hbsvc__listFiles(m_rpc.get(), t, d, s, folder.c_str(), "0"));
  EXPECT_STREQ("1", m_rpc->getArgmentByName("count"));
  HBRef<IHBIter> files = HBRef<IHBIter>::adopt(m_rpc->getArgmentIterator("files"));
  ASSERT_TRUE(files);
  hbtype_t type = HBIFC_MAP;
  void *item = nullptr;
  ASSERT_EQ(0, files->next(&type, &item));
  HBRef<IHBMap> entry = HBRef<IHBMap>::adopt(static_cast<IHBMap *>(item));
  EXPECT_EQ(file, entry->getString("fileid"));

  // Renamed in place, then moved to the top keeping its new name; a taken name is refused.
  ASSERT_EQ(0, hbsvc__moveFile(m_rpc.get(), t, d, s, file.c_str(), nullptr, "c d.jpg"));
  rec = HBRef<HBMap>::adopt(m_rpc->getArgmentMap("file"));
  ASSERT_TRUE(rec);
  EXPECT_STREQ("c d.jpg", rec->getString("name"));
  EXPECT_EQ(folder, rec->getString("parentid"));
  ASSERT_EQ(0, hbsvc__moveFile(m_rpc.get(), t, d, s, file.c_str(), "0", nullptr));
  ASSERT_EQ(0, hbsvc__getFileByName(m_rpc.get(), t, d, s, "0", "c d.jpg", "0"));
  EXPECT_EQ(file, fileid());
  expectFault(hbsvc__moveFile(m_rpc.get(), t, d, s, file.c_str(), "0", folderName.c_str()), 808);

  ASSERT_EQ(0, hbsvc__removeFile(m_rpc.get(), t, d, s, file.c_str()));
  expectFault(hbsvc__getFile(m_rpc.get(), t, d, s, file.c_str()), 804);

  admin("offline?serviceid=" + s_service);
  expectFault(hbsvc__listFiles(m_rpc.get(), t, d, s, "0", "0"), 802);
  admin("online?serviceid=" + s_service);
  EXPECT_EQ(0, hbsvc__listFiles(m_rpc.get(), t, d, s, "0", "0"));
}

// The service keeps only text arguments; a map or an iterator among them must neither become a
// property nor shift the texts that follow it, over either transport.
TEST_P(ServiceMethods, NestedArgumentsLeaveTextsIntact) {
  HBRef<HBMap> props, sub;
  ASSERT_EQ(0, HBMap::create(nullptr, 1024, 1024, props));
  props->setFlags(HBMAP_ORDERED);
  // More than 15 entries, so the nested map uses field numbers above 32.
  for (int i = 0; i < 20; i++)
    ASSERT_EQ(0, props->putString(("k" + std::to_string(i)).c_str(), "v"));
  ASSERT_EQ(0, props->newChild("sub", sub));
  ASSERT_EQ(0, sub->putString("b", "x y"));
  ASSERT_EQ(0, props->putObject("sub", HBIFC_MAP, sub->obj()));
  auto tagList = [&](HBRef<HBListIterator> &list) {
    ASSERT_EQ(0, HBListIterator::create(nullptr, HBIFC_OBJ, 0, "tags", list));
    HBRef<HBStrHeap> one;
    ASSERT_EQ(0, HBStrHeap::create("one", one));
    ASSERT_EQ(0, list->appendObject(one->obj()));
    ASSERT_EQ(0, list->appendObject(sub->obj()));
  };
  HBRef<HBListIterator> tags, options;
  tagList(tags);
  tagList(options);

  const std::string name = std::string("nested-") + (GetParam() ? "pkt" : "soap");
  // Enough texts after the nested ones that the packet form also needs fields above 32.
  HBRPCArgument create[] = {{"valtoken", s_token.c_str(), HBTYPE_TEXT},
                            {"deviceid", s_device.c_str(), HBTYPE_TEXT},
                            {"serviceid", s_service.c_str(), HBTYPE_TEXT},
                            {"props", static_cast<IHBMap *>(props.get()), HBIFC_MAP},
                            {"parentid", "0", HBTYPE_TEXT},
                            {"tags", static_cast<IHBIter *>(tags.get()), HBIFC_ITER},
                            {"filename", name.c_str(), HBTYPE_TEXT},
                            {"type", "0", HBTYPE_TEXT},
                            {"size", "7", HBTYPE_TEXT},
                            {"p1", "a", HBTYPE_TEXT},
                            {"p2", "b", HBTYPE_TEXT},
                            {"p3", "c", HBTYPE_TEXT},
                            {"p4", "d", HBTYPE_TEXT},
                            {"p5", "e", HBTYPE_TEXT},
                            {"p6", "f", HBTYPE_TEXT},
                            {"p7", "g", HBTYPE_TEXT},
                            {"mimetype", "image/png", HBTYPE_TEXT}};
  ASSERT_EQ(0, m_rpc->callArgs("createFile", int32_t(std::size(create)), create, nullptr))
      << m_rpc->getErrorCode();
  const std::string file = fileid();
  ASSERT_FALSE(file.empty());

  ASSERT_EQ(0, hbsvc__getFile(m_rpc.get(), s_token.c_str(), s_device.c_str(), s_service.c_str(),
                              file.c_str()));
  HBRef<HBMap> rec = HBRef<HBMap>::adopt(m_rpc->getArgmentMap("file"));
  ASSERT_TRUE(rec);
  EXPECT_EQ(name, rec->getString("name"));
  EXPECT_STREQ("0", rec->getString("parentid"));
  EXPECT_STREQ("7", rec->getString("size"));
  EXPECT_STREQ("g", rec->getString("p7"));
  EXPECT_STREQ("image/png", rec->getString("mimetype"));
  for (const char *nested : {"props", "tags", "sub", "k0"}) {
    hbtype_t type = -1;
    void *v = nullptr;
    EXPECT_EQ(BR_ENOENT, rec->get(nested, &type, &v)) << nested;
  }

  // listFiles reads its texts around a nested argument too: one entry per page.
  HBRPCArgument list[] = {{"valtoken", s_token.c_str(), HBTYPE_TEXT},
                          {"deviceid", s_device.c_str(), HBTYPE_TEXT},
                          {"serviceid", s_service.c_str(), HBTYPE_TEXT},
                          {"options", static_cast<IHBIter *>(options.get()), HBIFC_ITER},
                          {"parentid", "0", HBTYPE_TEXT},
                          {"filter", static_cast<IHBMap *>(props.get()), HBIFC_MAP},
                          {"maxcount", "1", HBTYPE_TEXT},
                          {"pageoffset", "0", HBTYPE_TEXT}};
  ASSERT_EQ(0, m_rpc->callArgs("listFiles", int32_t(std::size(list)), list, nullptr));
  EXPECT_STREQ("1", m_rpc->getArgmentByName("count"));
}

INSTANTIATE_TEST_SUITE_P(Transports, ServiceMethods, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) {
                           return i.param ? "Packet" : "Soap";
                         });

}  // namespace
