#include "hbproperties.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hbeventbus.h"
#include "hbstr.h"
#include "testutil.h"

namespace {

using tessel::test::TempDir;

class PropertiesTest : public testing::Test {
 protected:
  void SetUp() override {
    m_oldConfig = getenv("XDG_CONFIG_HOME");
    setenv("XDG_CONFIG_HOME", m_dir.path().c_str(), 1);
    hbproperties__setDefault(nullptr);
  }
  void TearDown() override {
    hbproperties__setDefault(nullptr);
    setenv("XDG_CONFIG_HOME", m_oldConfig.c_str(), 1);
  }

  HBRef<HBProperties> open(const char *key = HBPROPERTIES_KEY_BROWSER,
                           uint32_t flags = HBPROPERTIES_CREATE) {
    HBRef<HBProperties> store;
    EXPECT_EQ(0, hbproperties__open(key, flags, store.out()));
    return store;
  }

  // Runs one SQL query on the database with a fresh connection; returns the first column of
  // every row joined by "|".
  std::string query(const std::string &sql) {
    sqlite3 *db = nullptr;
    std::string result;
    if (sqlite3_open_v2(hbproperties__databasePath().c_str(), &db, SQLITE_OPEN_READONLY,
                        nullptr) == SQLITE_OK) {
      sqlite3_stmt *s = nullptr;
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
        while (sqlite3_step(s) == SQLITE_ROW) {
          if (!result.empty()) result += "|";
          const unsigned char *t = sqlite3_column_text(s, 0);
          result += t ? reinterpret_cast<const char *>(t) : "";
        }
      }
      sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return result;
  }

  TempDir m_dir;
  std::string m_oldConfig;
};

TEST_F(PropertiesTest, LengthsAreUtf16UnitsWithTerminator) {
  auto store = open();
  char buf[64];
  EXPECT_EQ(-3, store->getProperty("missing", buf, sizeof buf));
  EXPECT_EQ(-3, store->getProperty("missing", nullptr, 0));

  ASSERT_EQ(0, store->setProperty("empty", ""));
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(1, store->getProperty("empty", buf, sizeof buf));
  EXPECT_STREQ("", buf);

  // "é" is one unit, the emoji a surrogate pair: 1 + 1 + 2 + terminator.
  ASSERT_EQ(0, store->setProperty("mixed", "a\xC3\xA9\xF0\x9F\x98\x80"));
  EXPECT_EQ(5, store->getProperty("mixed", nullptr, 0));
  EXPECT_EQ(5, store->getProperty("mixed", buf, sizeof buf));
  EXPECT_STREQ("a\xC3\xA9\xF0\x9F\x98\x80", buf);

  // Bytes that are not UTF-8 come back as stored, one unit each.
  ASSERT_EQ(0, store->setProperty("raw", "\xFF\xFE" "a"));
  EXPECT_EQ(4, store->getProperty("raw", buf, sizeof buf));
  EXPECT_STREQ("\xFF\xFE" "a", buf);
}

TEST_F(PropertiesTest, ShortBuffersAreTerminatedAndLongValuesNeedTheirSize) {
  auto store = open();
  ASSERT_EQ(0, store->setProperty("v", "ab\xC3\xA9z"));
  char buf[4];
  memset(buf, 'x', sizeof buf);
  // Room for three bytes: "ab" and not half of the "é".
  EXPECT_EQ(5, store->getProperty("v", buf, sizeof buf));
  EXPECT_STREQ("ab", buf);

  const std::string big(600, 'q');
  ASSERT_EQ(0, store->setProperty("big", big.c_str()));
  char small[100];
  EXPECT_EQ(-3, store->getProperty("big", small, sizeof small));
  EXPECT_EQ(601, store->getProperty("big", nullptr, 0));
  std::string out;
  ASSERT_EQ(0, hbproperties__getString(store.get(), "big", &out));
  EXPECT_EQ(big, out);

  // A non-ASCII value sized in UTF-16 units still reads whole.
  std::string wide;
  for (int i = 0; i < 400; ++i) wide += "\xE2\x82\xAC";
  ASSERT_EQ(0, store->setProperty("wide", wide.c_str()));
  ASSERT_EQ(0, hbproperties__getString(store.get(), "wide", &out));
  EXPECT_EQ(wide, out);
}

TEST_F(PropertiesTest, NullDeletesAndMissingDeleteIsRefused) {
  auto store = open();
  ASSERT_EQ(0, store->setProperty("token", "abc"));
  ASSERT_EQ(0, store->setProperty("token", "def"));
  std::string out;
  ASSERT_EQ(0, hbproperties__getString(store.get(), "token", &out));
  EXPECT_EQ("def", out);
  EXPECT_EQ(0, store->setProperty("token", nullptr));
  EXPECT_EQ(-3, store->getProperty("token", nullptr, 0));
  EXPECT_EQ(-1, store->setProperty("token", nullptr));
}

TEST_F(PropertiesTest, IntegerForms) {
  auto store = open();
  int64_t v64 = 99;
  int32_t v32 = 99;
  EXPECT_EQ(-3, store->getInt64Property("none", &v64));
  EXPECT_EQ(-3, store->getIntProperty("none", &v32));
  EXPECT_EQ(99, v64);

  struct Case {
    const char *text;
    int64_t as64;
    int32_t as32;
  } cases[] = {
      {"0x1F", 31, 31},      {"012", 0, 10},           {"  42", 42, 42},
      {"-5", 0, -5},         {"0", 0, 0},              {"0XfF", 255, 255},
      {"12abc", 12, 12},     {"abc", 0, 0},            {"4294967296", 4294967296LL, INT32_MAX},
      {"0x7fffffffffffffff1", INT64_MAX, INT32_MAX},
      {"9223372036854775807", INT64_MAX, INT32_MAX},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(0, store->setProperty("n", c.text));
    ASSERT_EQ(0, store->getInt64Property("n", &v64)) << c.text;
    EXPECT_EQ(c.as64, v64) << c.text;
    ASSERT_EQ(0, store->getIntProperty("n", &v32)) << c.text;
    EXPECT_EQ(c.as32, v32) << c.text;
  }

  ASSERT_EQ(0, store->setIntProperty("i", -17));
  std::string out;
  ASSERT_EQ(0, hbproperties__getString(store.get(), "i", &out));
  EXPECT_EQ("-17", out);
  ASSERT_EQ(0, store->setInt64Property("t", 1700000000123LL));
  ASSERT_EQ(0, store->getInt64Property("t", &v64));
  EXPECT_EQ(1700000000123LL, v64);
}

TEST_F(PropertiesTest, Booleans) {
  auto store = open(HBPROPERTIES_KEY_TESSELUTILFS);
  EXPECT_TRUE(hbproperties__getBool(store.get(), "multidrive", true));
  EXPECT_FALSE(hbproperties__getBool(store.get(), "show.filessharedwithme", false));
  for (const char *t : {"yes", "Yes", "1", "true", "T"}) {
    ASSERT_EQ(0, store->setProperty("showdrive", t));
    EXPECT_TRUE(hbproperties__getBool(store.get(), "showdrive", false)) << t;
  }
  for (const char *f : {"no", "0", "", "false", " yes"}) {
    ASSERT_EQ(0, store->setProperty("showdrive", f));
    EXPECT_FALSE(hbproperties__getBool(store.get(), "showdrive", true)) << f;
  }
}

TEST_F(PropertiesTest, KeysAndDatabaseFile) {
  HBRef<HBProperties> ro;
  EXPECT_EQ(-3, hbproperties__open(HBPROPERTIES_KEY_LOGFILE, HBPROPERTIES_READONLY, ro.out()));
  EXPECT_FALSE(ro);
  std::string value;
  EXPECT_EQ(-3, hbproperties__readKeyValue(HBPROPERTIES_KEY_LOGFILE, "ShowLog", &value));
  EXPECT_EQ("", query("SELECT path FROM keys"));

  auto app = open();
  EXPECT_EQ("SOFTWARE\\Orvane Tessel Utility\\browser", query("SELECT path FROM keys"));

  // A key made by someone else (here by hand, as a person with sqlite3 would) becomes readable.
  {
    sqlite3 *db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(hbproperties__databasePath().c_str(), &db));
    ASSERT_EQ(SQLITE_OK,
              sqlite3_exec(db,
                           "INSERT INTO keys VALUES ('SOFTWARE\\Orvane Tessel Utility\\LogFile');"
                           "INSERT INTO vals VALUES ('SOFTWARE\\Orvane Tessel Utility\\LogFile',"
                           " 'ShowLog', 'yes');",
                           nullptr, nullptr, nullptr));
    sqlite3_close(db);
  }
  ASSERT_EQ(0, hbproperties__readKeyValue(HBPROPERTIES_KEY_LOGFILE, "ShowLog", &value));
  EXPECT_EQ("yes", value);
  ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_LOGFILE, HBPROPERTIES_READONLY, ro.out()));
  EXPECT_EQ(-1, ro->setProperty("ShowLog", "no"));
  EXPECT_EQ(-1, ro->setProperty("ShowLog", nullptr));

  // Values of one key are not visible through another.
  ASSERT_EQ(0, app->setProperty("ShowLog", "app"));
  ASSERT_EQ(0, hbproperties__getString(ro.get(), "ShowLog", &value));
  EXPECT_EQ("yes", value);

  EXPECT_EQ(
      "CREATE TABLE keys (path TEXT PRIMARY KEY)|"
      "CREATE TABLE vals (path TEXT NOT NULL, name TEXT NOT NULL, data TEXT NOT NULL, "
      "PRIMARY KEY (path, name))",
      query("SELECT sql FROM sqlite_master WHERE type = 'table' ORDER BY name"));

  struct stat st;
  ASSERT_EQ(0, stat(hbproperties__databasePath().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  ASSERT_EQ(0, stat((m_dir.path() + "/Orvane Tessel Utility").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
}

TEST_F(PropertiesTest, AnExistingDatabaseIsMadePrivate) {
  const std::string dir = m_dir.path() + "/Orvane Tessel Utility";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  ASSERT_TRUE(tessel::test::writeFile(dir + "/registry.db", ""));
  ASSERT_EQ(0, chmod((dir + "/registry.db").c_str(), 0644));
  auto store = open();
  ASSERT_EQ(0, store->setProperty("valtoken", "secret"));
  struct stat st;
  ASSERT_EQ(0, stat((dir + "/registry.db").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(PropertiesTest, DefaultStoreRule) {
  HBRef<HBProperties> def;
  EXPECT_EQ(-3, hbproperties__getDefault(def.out()));
  std::string out;
  EXPECT_EQ(-3, hbproperties__getDefaultString("x", &out));

  // The first store created becomes the default; later ones do not.
  auto first = open(HBPROPERTIES_KEY_TESSELUTILFS);
  auto second = open(HBPROPERTIES_KEY_BROWSER);
  ASSERT_EQ(0, hbproperties__getDefault(def.out()));
  EXPECT_EQ(first.get(), def.get());

  // Start-up installs the application store over whatever was there.
  hbproperties__setDefault(second.get());
  ASSERT_EQ(0, hbproperties__getDefault(def.out()));
  EXPECT_EQ(second.get(), def.get());
  ASSERT_EQ(0, hbproperties__setDefaultString("x", "1"));
  ASSERT_EQ(0, hbproperties__getString(second.get(), "x", &out));
  EXPECT_EQ("1", out);

  // The default keeps its own reference.
  def.reset();
  second.reset();
  ASSERT_EQ(0, hbproperties__getDefaultString("x", &out));
  EXPECT_EQ("1", out);
}

TEST_F(PropertiesTest, UserProperties) {
  std::string out;
  EXPECT_EQ(-3, hbproperties__setUserProperty("hivedest", "d:s"));
  auto store = open();

  ASSERT_EQ(0, hbproperties__setUserProperty("hivedest", "dev:svc"));
  ASSERT_EQ(0, hbproperties__getString(store.get(), "ui.hivedest", &out));
  EXPECT_EQ("dev:svc", out);
  ASSERT_EQ(0, hbproperties__getUserProperty("hivedest", &out));
  EXPECT_EQ("dev:svc", out);
  EXPECT_EQ(-3, hbproperties__getUserProperty("logmore", &out));
  ASSERT_EQ(0, hbproperties__setUserProperty("logmore", ""));
  out = "x";
  ASSERT_EQ(0, hbproperties__getUserProperty("logmore", &out));
  EXPECT_EQ("", out);
  ASSERT_EQ(0, hbproperties__setUserProperty("logmore", nullptr));
  EXPECT_EQ(-3, hbproperties__getUserProperty("logmore", &out));

  // Names are cut to 60 bytes, values to 511, never inside a character.
  const std::string longName(59, 'n');
  ASSERT_EQ(0, hbproperties__setUserProperty((longName + "\xC3\xA9" "tail").c_str(), "v"));
  ASSERT_EQ(0, hbproperties__getString(store.get(), ("ui." + longName).c_str(), &out));
  EXPECT_EQ("v", out);
  const std::string longValue = std::string(510, 'v') + "\xC3\xA9" "more";
  ASSERT_EQ(0, hbproperties__setUserProperty("big", longValue.c_str()));
  ASSERT_EQ(0, hbproperties__getUserProperty("big", &out));
  EXPECT_EQ(std::string(510, 'v'), out);

  ASSERT_EQ(0, store->setProperty("ui.yto.computername", "stored"));
  ASSERT_EQ(0, hbproperties__getUserProperty("yto.computername", &out));
  EXPECT_EQ(hbproperties__computerName(), out);
  EXPECT_NE("stored", out);
  EXPECT_LE(out.size(), 15u);
}

TEST_F(PropertiesTest, ThreadsShareTheStore) {
  auto store = open();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 100; ++i) {
        const std::string name = "t" + std::to_string(t) + "." + std::to_string(i);
        EXPECT_EQ(0, store->setIntProperty(name.c_str(), i));
        int32_t v = -1;
        EXPECT_EQ(0, store->getIntProperty(name.c_str(), &v));
        EXPECT_EQ(i, v);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ("400", query("SELECT count(*) FROM vals"));
}

// Each child writes `count` values of its own through a fresh store; 0 when all succeeded.
int writeInChild(const char *prefix, int count, int ackFd) {
  HBProperties *store = nullptr;
  if (hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, &store) != 0) return 1;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    const std::string name = std::string(prefix) + std::to_string(i);
    if (store->setIntProperty(name.c_str(), i) != 0) {
      ++failures;
    } else if (ackFd >= 0) {
      const char c = 1;
      if (write(ackFd, &c, 1) != 1) return 1;
    }
  }
  return failures == 0 ? 0 : 1;
}

TEST_F(PropertiesTest, TwoProcessesLoseNoWrite) {
  // The parent already holds a connection; the children must not use it.
  auto store = open();
  ASSERT_EQ(0, store->setProperty("before", "1"));
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    kids[k] = fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] == 0) _exit(writeInChild(k == 0 ? "a." : "b.", 1000, -1));
  }
  for (pid_t kid : kids) {
    int status = 0;
    ASSERT_EQ(kid, waitpid(kid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
  }
  EXPECT_EQ("1000", query("SELECT count(*) FROM vals WHERE name LIKE 'a.%'"));
  EXPECT_EQ("1000", query("SELECT count(*) FROM vals WHERE name LIKE 'b.%'"));
  int32_t v = 0;
  ASSERT_EQ(0, store->getIntProperty("b.999", &v));
  EXPECT_EQ(999, v);
  ASSERT_EQ(0, store->setProperty("after", "1"));
}

TEST_F(PropertiesTest, AKilledWriterLeavesEveryCompletedWrite) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const pid_t kid = fork();
  ASSERT_GE(kid, 0);
  if (kid == 0) {
    close(fds[0]);
    _exit(writeInChild("k.", 1000000, fds[1]));
  }
  close(fds[1]);
  int acked = 0;
  char buf[64];
  while (acked < 300) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    ASSERT_GT(n, 0);
    acked += static_cast<int>(n);
  }
  kill(kid, SIGKILL);
  int status = 0;
  ASSERT_EQ(kid, waitpid(kid, &status, 0));
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) acked += static_cast<int>(n);
  close(fds[0]);

  EXPECT_EQ("ok", query("PRAGMA integrity_check"));
  auto store = open();
  for (int i = 0; i < acked; ++i) {
    int32_t v = -1;
    const std::string name = "k." + std::to_string(i);
    ASSERT_EQ(0, store->getIntProperty(name.c_str(), &v)) << name;
    EXPECT_EQ(i, v);
  }
  ASSERT_EQ(0, store->setProperty("afterkill", "1"));
}

// Last: it starts the process's bus thread, which the fork tests above should not inherit.
// Records every change event on the posting thread.
class ChangeListener final : public HBObject<ChangeListener, IHBEventListener> {
 public:
  int32_t getifc(int32_t, void **) override { return BR_ENOENT; }
  int32_t onEvent(uint32_t, IHBStr *domain, IHBObj *value, IHBObj *sender) override {
    HBRef<IHBStr> name;
    if (value && hb_query<IHBStr>(value, name) == 0) names.push_back(name->getText());
    domains.push_back(domain ? domain->getText() : "");
    senders.push_back(sender);
    return 0;
  }
  std::vector<std::string> names, domains;
  std::vector<IHBObj *> senders;

 private:
  friend class HBObject<ChangeListener, IHBEventListener>;
  ~ChangeListener() override = default;
};

TEST_F(PropertiesTest, EveryWriteAndDeleteIsAnnounced) {
  const int32_t created = hbevent__create();
  ASSERT_TRUE(created == 0 || created == BR_EBADSTATE);
  auto store = open();
  HBRef<ChangeListener> listener = HBRef<ChangeListener>::adopt(new ChangeListener);
  IHBStr *domain = hbevent__domain(HBEVENT_CORE_PROPERTY_CHANGED);
  ASSERT_EQ(0, hbevent__subscribe(HBEVENT_IMMEDIATE, domain, listener.get()));

  ASSERT_EQ(0, store->setProperty("valtoken", "t"));
  ASSERT_EQ(0, store->setIntProperty("errorlimit", 5));
  ASSERT_EQ(0, store->setInt64Property("timestamp", 5));
  ASSERT_EQ(0, store->setProperty("valtoken", nullptr));
  ASSERT_EQ(0, hbproperties__setUserProperty("hivedest", "a:b"));
  // Refused writes announce nothing.
  EXPECT_EQ(-1, store->setProperty("valtoken", nullptr));
  HBRef<HBProperties> ro;
  ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_READONLY, ro.out()));
  EXPECT_EQ(-1, ro->setProperty("x", "y"));

  ASSERT_EQ(0, hbevent__unsubscribe(HBEVENT_IMMEDIATE, domain, listener.get()));
  EXPECT_EQ((std::vector<std::string>{"valtoken", "errorlimit", "timestamp", "valtoken",
                                      "ui.hivedest"}),
            listener->names);
  for (const std::string &d : listener->domains) EXPECT_EQ("core.property.changed", d);
  for (IHBObj *sender : listener->senders) EXPECT_EQ(static_cast<IHBObj *>(store.get()), sender);
}

}  // namespace

// sqlite3 in a shell, as people and scripts read the settings, beside a running program: what
// the program writes afterwards is still in the database for the next start, and its write-ahead
// log is not taken from under it.
TEST_F(PropertiesTest, AShellReaderBesideTheProgramLosesNoLaterWrite) {
  auto store = open();
  ASSERT_EQ(0, store->setProperty("valtoken", "before"));
  const std::string path = hbproperties__databasePath();
  const std::string select = "SELECT data FROM vals WHERE name = 'valtoken';";
  tessel::test::RunResult reader = tessel::test::runProgram({"sqlite3", path, select});
  if (reader.exitCode < 0 || reader.exitCode == 127) GTEST_SKIP() << "sqlite3 cannot be run";
  EXPECT_EQ("before\n", reader.out) << reader.err;

  ASSERT_EQ(0, store->setProperty("valtoken", "after"));
  auto run = open(HBPROPERTIES_KEY_RUN);
  ASSERT_EQ(0, run->setProperty("Orvane Tessel Hard Drive Utility", "/bin/true"));
  struct stat st;
  EXPECT_EQ(0, stat((path + "-wal").c_str(), &st));
  // Another process (the next start) sees every value.
  reader = tessel::test::runProgram(
      {"sqlite3", path, "SELECT name || '=' || data FROM vals ORDER BY name;"});
  EXPECT_EQ("Orvane Tessel Hard Drive Utility=/bin/true\nvaltoken=after\n", reader.out)
      << reader.err;
  // A sign-out after a second reader is kept too.
  ASSERT_EQ(0, store->setProperty("valtoken", nullptr));
  reader = tessel::test::runProgram({"sqlite3", path, select});
  EXPECT_EQ("", reader.out) << reader.err;
  EXPECT_EQ(0600u, st.st_mode & 0777);
}
