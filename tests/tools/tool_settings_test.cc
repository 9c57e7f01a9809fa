// tesseltool settings, end to end against the database the program itself uses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hbproperties.h"
#include "testutil.h"

namespace {

using tessel::test::binPath;
using tessel::test::RunResult;
using tessel::test::runProgram;

RunResult settings(std::vector<std::string> args) {
  args.insert(args.begin(), {binPath("tesseltool"), "settings"});
  return runProgram(args, "", 30000);
}

class ToolSettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    m_oldConfig = getenv("XDG_CONFIG_HOME");
    setenv("XDG_CONFIG_HOME", m_dir.path().c_str(), 1);
  }
  void TearDown() override {
    hbproperties__setDefault(nullptr);
    setenv("XDG_CONFIG_HOME", m_oldConfig.c_str(), 1);
  }
  tessel::test::TempDir m_dir;
  std::string m_oldConfig;
};

TEST_F(ToolSettingsTest, SetGetDeleteRoundTrip) {
  RunResult r = settings({"get", "browser", "IsHidden"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ("", r.out);

  r = settings({"set", "browser", "IsHidden", "true"});
  ASSERT_EQ(0, r.exitCode) << r.err;
  r = settings({"get", "SOFTWARE\\Orvane Tessel Utility\\browser", "IsHidden"});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ("true\n", r.out);

  r = settings({"set", "browser", "note", "two words \xC3\xA9"});
  ASSERT_EQ(0, r.exitCode);
  r = settings({"get", "browser", "note"});
  EXPECT_EQ("two words \xC3\xA9\n", r.out);

  r = settings({"set", "browser", "empty", ""});
  ASSERT_EQ(0, r.exitCode);
  r = settings({"get", "browser", "empty"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ("\n", r.out);

  EXPECT_EQ(0, settings({"delete", "browser", "IsHidden"}).exitCode);
  EXPECT_EQ(1, settings({"get", "browser", "IsHidden"}).exitCode);
  EXPECT_EQ(1, settings({"delete", "browser", "IsHidden"}).exitCode);
}

TEST_F(ToolSettingsTest, ListAndMissingKeys) {
  // Reading or deleting in a missing key must not create it: its defaults would be lost.
  EXPECT_EQ(1, settings({"list", "LogFile"}).exitCode);
  EXPECT_EQ(1, settings({"delete", "LogFile", "ShowLog"}).exitCode);
  HBRef<HBProperties> store;
  EXPECT_EQ(-3, hbproperties__open(HBPROPERTIES_KEY_LOGFILE, HBPROPERTIES_READONLY, store.out()));

  ASSERT_EQ(0, settings({"set", "Server", "host", "127.0.0.1:8480"}).exitCode);
  ASSERT_EQ(0, settings({"set", "Server", "b\"q", "line\nbreak"}).exitCode);
  RunResult r = settings({"list", "Server"});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ("{\n  \"b\\\"q\": \"line\\nbreak\",\n  \"host\": \"127.0.0.1:8480\"\n}\n", r.out);

  ASSERT_EQ(0, settings({"set", "tesselutilfs", "x", "1"}).exitCode);
  ASSERT_EQ(0, settings({"delete", "tesselutilfs", "x"}).exitCode);
  r = settings({"list", "tesselutilfs"});
  ASSERT_EQ(0, r.exitCode);
  EXPECT_EQ("{}\n", r.out);
}

TEST_F(ToolSettingsTest, SharesTheProgramsDatabase) {
  ASSERT_EQ(0, settings({"set", "browser", "errorlimit", "0x20"}).exitCode);
  HBRef<HBProperties> store;
  ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, store.out()));
  int32_t limit = 0;
  ASSERT_EQ(0, store->getIntProperty("errorlimit", &limit));
  EXPECT_EQ(32, limit);
  ASSERT_EQ(0, store->setProperty("valtoken", "tok"));
  RunResult r = settings({"get", "browser", "valtoken"});
  EXPECT_EQ("tok\n", r.out);
}

TEST_F(ToolSettingsTest, BadUsage) {
  EXPECT_EQ(64, settings({}).exitCode);
  EXPECT_EQ(64, settings({"get", "browser"}).exitCode);
  EXPECT_EQ(64, settings({"set", "browser", "a"}).exitCode);
  EXPECT_EQ(64, settings({"frob", "browser", "a"}).exitCode);
  EXPECT_EQ(0, settings({"--help"}).exitCode);
}

}  // namespace
