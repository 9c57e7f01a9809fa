// tesseltool rpc against tesselsvc: JSON answers over both transports, faults and local
// failures with their exit codes.
#include <gtest/gtest.h>

#include <string>

#include "../server/svctestserver.h"
#include "testutil.h"

namespace {

using tessel::test::binPath;
using tessel::test::runProgram;
using tessel::test::RunResult;

class ToolRpcTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_data = new tessel::test::TempDir;
    tessel::test::SvcUser user;
    std::string err;
    ASSERT_TRUE(tessel::test::addSvcUser(s_data->path(), "bob", "pw", {}, &user, &err)) << err;
    s_token = user.token;
    s_svc = new tessel::test::SvcProcess;
    ASSERT_TRUE(s_svc->start(s_data->path()));
  }
  static void TearDownTestSuite() {
    delete s_svc;
    delete s_data;
  }
  static RunResult rpc(std::vector<std::string> args) {
    args.insert(args.begin(), {binPath("tesseltool"), "rpc"});
    return runProgram(args, "", 30000);
  }
  static tessel::test::TempDir *s_data;
  static tessel::test::SvcProcess *s_svc;
  static std::string s_token;
};

tessel::test::TempDir *ToolRpcTest::s_data;
tessel::test::SvcProcess *ToolRpcTest::s_svc;
std::string ToolRpcTest::s_token;

TEST_F(ToolRpcTest, AnswersAsJson) {
  for (const char *path : {"/svc/api", "/svc/pktm/", "/svc/api/pktm/"}) {
    RunResult r = rpc({s_svc->url() + path, "getUser", "valtoken=" + s_token});
    ASSERT_EQ(0, r.exitCode) << path << r.err;
    EXPECT_EQ(0u, r.out.find("{\"user\":{")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"username\":\"bob\"")) << r.out;
  }
  RunResult r = rpc({s_svc->url() + "/svc/api", "getVersion"});
  ASSERT_EQ(0, r.exitCode);
  EXPECT_NE(std::string::npos, r.out.find("\"name\":\"tesselsvc\"")) << r.out;

  // A single drive: a map over SOAP unless named as a list; always a list over packets.
  r = rpc({s_svc->url() + "/svc/api", "listServices", "valtoken=" + s_token});
  EXPECT_EQ(0u, r.out.find("{\"services\":{\"service\":{")) << r.out;
  r = rpc({s_svc->url() + "/svc/api", "listServices", "valtoken=" + s_token, "--list", "services"});
  EXPECT_EQ(0u, r.out.find("{\"services\":[{")) << r.out;
  r = rpc({s_svc->url() + "/svc/pktm/", "listServices", "valtoken=" + s_token});
  EXPECT_EQ(0u, r.out.find("{\"services\":[{")) << r.out;
}

TEST_F(ToolRpcTest, FaultsAndFailures) {
  RunResult r = rpc({s_svc->url() + "/svc/api", "getUser", "valtoken=nope"});
  EXPECT_EQ(2, r.exitCode);
  EXPECT_EQ(0u, r.out.find("<VXError><errorCode>606</errorCode>")) << r.out;
  r = rpc({s_svc->url() + "/svc/pktm/", "noSuchMethod"});
  EXPECT_EQ(2, r.exitCode);
  EXPECT_EQ(0u, r.out.find("<VXError><errorCode>404</errorCode>")) << r.out;

  const std::string closed =
      "http://127.0.0.1:" + std::to_string(tessel::test::freeLoopbackPort()) + "/svc/api";
  r = rpc({closed, "getUser", "valtoken=x"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.out.find(" No Connection")) << r.out;

  r = rpc({s_svc->url() + "/pktm/" + std::string(130, 'x'), "m"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ("-12 No Space\n", r.out);

  EXPECT_EQ(64, rpc({"not a url", "m"}).exitCode);
  EXPECT_EQ(64, rpc({s_svc->url(), "m", "novalue"}).exitCode);
  EXPECT_EQ(64, rpc({s_svc->url()}).exitCode);
}

}  // namespace
