// The reference drive service end to end: the real program, talked to by an independent client
// (tests/server/svcclient.py, Python standard library only) and by curl.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "svcpgcluster.h"
#include "svctestserver.h"
#include "testutil.h"

namespace tessel::test {
namespace {

// A small tmpfs of its own at `path` (which must exist), for a disk that fills up; unmounted when
// it goes. Needs the right to mount (root in the usual test machines).
class SmallFs {
 public:
  SmallFs(const std::string &path, const std::string &size) : m_path(path) {
    const std::string opts = "size=" + size + ",mode=0700";
    m_mounted =
        mount("tesselsvc-test", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, opts.c_str()) == 0;
    if (!m_mounted) m_error = std::strerror(errno);
  }
  ~SmallFs() {
    if (m_mounted) umount2(m_path.c_str(), MNT_DETACH);
  }
  SmallFs(const SmallFs &) = delete;
  SmallFs &operator=(const SmallFs &) = delete;
  bool mounted() const { return m_mounted; }
  const std::string &error() const { return m_error; }

 private:
  std::string m_path, m_error;
  bool m_mounted = false;
};

// With TESSEL_SVC_STORE=postgresql (a second run of this program) every case keeps its records
// in a database of its own on a private PostgreSQL cluster instead of DIR/meta.db.
bool onPostgres() {
  const char *store = getenv("TESSEL_SVC_STORE");
  return store && std::string(store) == "postgresql";
}

class TesselSvc : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!onPostgres()) return;
    TESSEL_NEED_POSTGRESQL();
    svcTestDb() = SvcPgCluster::get().newDatabase();
    ASSERT_FALSE(svcTestDb().empty()) << "cannot make a database";
  }
  void TearDown() override {
    m_svc.stop();
    svcTestDb().clear();
  }

  // Adds the user "alice" (password "pw") with `extra` adduser options and starts the service.
  void startWith(const std::vector<std::string> &extra = {},
                 const std::vector<std::string> &serveExtra = {}) {
    std::string err;
    ASSERT_TRUE(addSvcUser(data(), "alice", "pw", extra, &m_user, &err)) << err;
    ASSERT_TRUE(m_svc.start(data(), serveExtra)) << "tesselsvc did not start";
  }

  std::string data() const { return m_data.empty() ? m_dir.path() + "/data" : m_data; }

  // Runs one case of the Python client (or of the hostile clients) against the running service.
  void runCase(const std::string &name, const char *script = "svcclient.py") {
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     sourcePath(std::string("tests/server/") + script),
                                     name,
                                     "--url",
                                     m_svc.url(),
                                     "--secret",
                                     m_svc.secret(),
                                     "--data",
                                     data(),
                                     "--bin",
                                     binPath("tesselsvc"),
                                     "--user",
                                     m_user.line,
                                     "--pid",
                                     std::to_string(m_svc.pid())};
    if (!svcTestDb().empty()) argv.insert(argv.end(), {"--db", svcTestDb()});
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    argv.push_back("--sanitized");
#endif
    RunResult r = runProgram(argv, "", 120000);
    EXPECT_EQ(r.exitCode, 0) << name << "\n" << r.out << r.err;
  }

  RunResult curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"curl", "-sS", "--max-time", "20"});
    return runProgram(args);
  }

  std::string token() const {
    return m_user.token;
  }

  TempDir m_dir;
  std::string m_data;             // the data folder, when not the default one
  std::unique_ptr<SmallFs> m_fs;  // goes after the service has stopped
  SvcProcess m_svc;
  SvcUser m_user;
};

TEST_F(TesselSvc, MethodsOverEveryTransport) {
  startWith();
  runCase("methods_soap");
  runCase("methods_pktm");
  runCase("methods_json");
}

TEST_F(TesselSvc, ListingPages) {
  startWith();
  runCase("paging");
}

TEST_F(TesselSvc, SameNamesAndDriveVersions) {
  startWith();
  runCase("names");
}

TEST_F(TesselSvc, InjectedFaultsOfflineDrivesAndRevokedTokens) {
  startWith();
  runCase("faults");
}

TEST_F(TesselSvc, UploadsAndDownloads) {
  startWith();
  runCase("uploads");
}

TEST_F(TesselSvc, ByteRangesAndMoves) {
  startWith();
  runCase("ranges_moves");
}

TEST_F(TesselSvc, QuotaRefusesBeforeTheBody) {
  startWith({"--quota", "100000"});
  runCase("quota");
}

// The data folder alone on an 8 MiB file system, filled: content and records that cannot be
// written are failures (507), never a success with a file 0, and nothing half-stored remains.
TEST_F(TesselSvc, FullDiskFailsEveryStoreAndKeepsWhatWasThere) {
  if (onPostgres()) GTEST_SKIP() << "the records are not in the data folder's file system";
  const std::string mnt = m_dir.path() + "/small";
  ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
  m_fs = std::make_unique<SmallFs>(mnt, "8m");
  if (!m_fs->mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << m_fs->error();
  m_data = mnt + "/data";
  startWith();
  runCase("diskfull");
}

// Uploads in pieces (tests/server/svcpieces.py): pieces with one cut mid-body, hostile pieces,
// the bytes received; then the service restarted with a pending upload held, which goes on;
// removed files, the sweep of old pending uploads and the switch to an old service.
TEST_F(TesselSvc, UploadsInPiecesAcrossARestart) {
  startWith({"--quota", "1000000"});
  runCase("pieces", "svcpieces.py");
  ASSERT_EQ(m_svc.stop(), 0);
  ASSERT_TRUE(m_svc.start(data()));
  runCase("pieces_restarted", "svcpieces.py");
}

TEST_F(TesselSvc, CutUploadsLeaveNothing) {
  startWith();
  runCase("cut");
}

// Three event loops share one streaming worker (of three): the uploads, dealt to every loop,
// go one at a time, and each loop's wait ends when another loop's transfer does.
TEST_F(TesselSvc, ConcurrentUploadsOfDifferentFiles) {
  startWith({}, {"--loops", "3", "--workers", "3"});
  runCase("concurrent");
}

TEST_F(TesselSvc, WebSignInRedirectsWithToken) {
  startWith();
  runCase("signin");
}

TEST_F(TesselSvc, PageContentOnKeptAliveConnections) {
  startWith();
  runCase("web_content");
}

TEST_F(TesselSvc, TlsOnTheSharedPort) {
  startWith();
  runCase("tls");
  // curl as a second, unrelated client of the same port, on both kinds of connection.
  RunResult r =
      curl({"--cacert", data() + "/tls.crt", "-X", "POST", "--data", "{}",
            "https://127.0.0.1:" + std::to_string(m_svc.port()) + "/svc/api/json/getVersion"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"version\""), std::string::npos) << r.out;
  r = curl({"-X", "POST", "--data", "{}", m_svc.url() + "/svc/api/json/getVersion"});
  EXPECT_NE(r.out.find("\"version\""), std::string::npos) << r.out;
}

TEST_F(TesselSvc, CurlChunkedUploadWithExpectContinue) {
  startWith();
  // createFile through the pages' JSON convention, then a chunked PUT from standard input.
  std::string body =
      "<soapenv:Envelope><soapenv:Body><createFile><valtoken>" + token() + "</valtoken>";
  body += "<deviceid>" + m_user.device + "</deviceid><serviceid>" + m_user.service +
          "</serviceid><filename>c.bin</filename></createFile></soapenv:Body></soapenv:Envelope>";
  RunResult r =
      curl({"-X", "POST", "--data-binary", body, m_svc.url() + "/svc/api/json/createFile"});
  size_t f = r.out.find("\"fileid\":\"");
  ASSERT_NE(f, std::string::npos) << r.out;
  std::string fid = r.out.substr(f + 10, r.out.find('"', f + 10) - f - 10);
  std::string content(3 << 20, 'x');
  for (size_t i = 0; i < content.size(); i += 4097) content[i] = static_cast<char>('a' + i % 26);
  std::string path = m_dir.file("in.bin");
  ASSERT_TRUE(writeFile(path, content));
  std::string url = m_svc.url() + "/svc/files/" + m_user.device + "/" + m_user.service + "/" + fid;
  // From standard input curl sends a chunked body; from a file, a Content-Length; both wait for
  // "100 Continue" first.
  std::string back;
  std::string half = content.substr(0, content.size() / 2);
  r = runProgram(
      {"curl", "-sS", "-f", "--max-time", "20", "-T", "-", "-H", "X-VXVALTOKEN: " + token(), url},
      half);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = runProgram({"curl", "-sS", "-f", "--max-time", "20", "-b", "valtoken=" + token(), url});
  EXPECT_TRUE(r.out == half);
  r = runProgram(
      {"curl", "-sS", "-f", "--max-time", "20", "-T", path, "-H", "X-VXVALTOKEN: " + token(), url});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = runProgram({"curl", "-sS", "-f", "--max-time", "20", "-o", m_dir.file("out.bin"), "-b",
                  "valtoken=" + token(), url});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_TRUE(readFile(m_dir.file("out.bin"), &back));
  EXPECT_TRUE(back == content);
}

TEST_F(TesselSvc, MalformedInputGetsCleanErrors) {
  startWith();
  runCase("badinput");
  runCase("cors");
}

TEST_F(TesselSvc, PacketDrivesHandOutPacketAddresses) {
  startWith({"--transport", "pktm"});
  runCase("pktm_drive");
}

TEST_F(TesselSvc, OwnerTokenForLoopbackCallers) {
  startWith({}, {"--owner", "alice"});
  runCase("owner");
}

TEST_F(TesselSvc, SigtermFinishesRequestsInFlight) {
  startWith();
  runCase("sigterm");
  EXPECT_EQ(m_svc.wait(20000), 0);
}

TEST_F(TesselSvc, DataFolderIsPrivate) {
  startWith({"--drives", "3"});
  struct stat st;
  ASSERT_EQ(stat(data().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  if (!onPostgres()) {
    ASSERT_EQ(stat((data() + "/meta.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  } else {
    EXPECT_NE(stat((data() + "/meta.db").c_str(), &st), 0) << "the records went to meta.db";
  }
  ASSERT_EQ(stat((data() + "/tls.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((data() + "/admin.secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // adduser prints the user, a 128-bit token, the device and one id per drive.
  EXPECT_EQ(m_user.line.rfind("{\"user\":\"alice\",\"token\":\"", 0), 0u) << m_user.line;
  EXPECT_EQ(token().find_first_not_of("0123456789abcdef"), std::string::npos);
  size_t drives = 0;
  const std::string &line = m_user.line;
  for (size_t p = line.find("\"svc"); p != std::string::npos; p = line.find("\"svc", p + 1))
    drives++;
  EXPECT_EQ(drives, 3u) << line;
  // A second user of the same name is refused; the service keeps running.
  SvcUser again;
  EXPECT_FALSE(addSvcUser(data(), "alice", "x", {}, &again));
  EXPECT_EQ(m_svc.stop(), 0);
}

// Hostile clients (tests/server/svchostile.py): each attack beside a normal client that must
// keep being answered promptly.
TEST_F(TesselSvc, HostileBodiesSlowClientsAndResourceLimits) {
  // Several loops, whatever the machine: the limits hold for the whole service.
  startWith({}, {"--header-timeout", "2", "--loops", "3"});
  for (const char *c : {"bombs", "slowloris", "limits", "continue"}) runCase(c, "svchostile.py");
}

TEST_F(TesselSvc, HostileSignIns) {
  startWith();
  for (const char *c : {"decoy", "guessing", "signin_form"}) runCase(c, "svchostile.py");
}

TEST_F(TesselSvc, HostilePagesHeadersAndTexts) {
  ASSERT_TRUE(addSvcUser(data(), "alice", "pw", {}, &m_user));
  ASSERT_TRUE(
      writeFile(data() + "/allowed-origins", "# pages under test\nhttp://localhost:5555\n"));
  ASSERT_TRUE(m_svc.start(data(), {"--owner", "alice", "--allow-origin", "http://127.0.0.1:*"}));
  for (const char *c : {"origins", "apiurl", "content", "texts"}) runCase(c, "svchostile.py");
}

TEST_F(TesselSvc, PublicAddressOnADualStackSocket) {
  startWith({}, {"--listen", "[::]:0", "--owner", "alice", "--public-url",
                 "https://drive.example.org:8443"});
  runCase("public", "svchostile.py");
}

TEST_F(TesselSvc, HostileQuotaRaces) {
  startWith({"--quota", "10000000"});
  runCase("quota", "svchostile.py");
}

TEST_F(TesselSvc, TokensExpireAndAreStoredAsDigests) {
  if (onPostgres())
    GTEST_SKIP() << "reads meta.db; the database's sessions are checked in svcpg_test";
  startWith({}, {"--token-lifetime", "3"});
  runCase("tokens", "svchostile.py");
}

TEST_F(TesselSvc, SigtermDoesNotWaitForATricklingClient) {
  startWith();
  runCase("drain", "svchostile.py");
  EXPECT_EQ(m_svc.wait(10000), 0);
}

TEST(TesselSvcDataFolder, RefusesLinksAndFoldersOthersCanWrite) {
  TempDir dir;
  std::string data = dir.path() + "/data", outside = dir.path() + "/outside";
  SvcUser u;
  ASSERT_TRUE(addSvcUser(data, "alice", "pw", {}, &u));
  ASSERT_TRUE(writeFile(outside, "precious"));
  // Links left where the service creates its secret and its key are replaced, not written
  // through; a database behind a link is refused.
  ASSERT_EQ(symlink(outside.c_str(), (data + "/admin.secret").c_str()), 0);
  ASSERT_EQ(symlink((dir.path() + "/made-key").c_str(), (data + "/tls.key").c_str()), 0);
  SvcProcess svc;
  ASSERT_TRUE(svc.start(data));
  EXPECT_EQ(svc.stop(), 0);
  std::string text;
  ASSERT_TRUE(readFile(outside, &text));
  EXPECT_EQ(text, "precious");
  struct stat st;
  EXPECT_NE(stat((dir.path() + "/made-key").c_str(), &st), 0);
  for (const char *f : {"/admin.secret", "/tls.key"}) {
    ASSERT_EQ(lstat((data + f).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << f;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
  }
  ASSERT_EQ(rename((data + "/meta.db").c_str(), (dir.path() + "/real.db").c_str()), 0);
  ASSERT_EQ(symlink((dir.path() + "/real.db").c_str(), (data + "/meta.db").c_str()), 0);
  RunResult r = runProgram(
      {binPath("tesselsvc"), "serve", "--data", data, "--listen", "127.0.0.1:0"}, "", 10000);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.err.find("meta.db"), std::string::npos) << r.err;
  ASSERT_EQ(unlink((data + "/meta.db").c_str()), 0);
  ASSERT_EQ(rename((dir.path() + "/real.db").c_str(), (data + "/meta.db").c_str()), 0);
  // A data folder (or its tmp/) that others may write to is refused by both commands.
  for (const std::string &folder : {data, data + "/tmp"}) {
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    r = runProgram({binPath("tesselsvc"), "serve", "--data", data, "--listen", "127.0.0.1:0"}, "",
                   10000);
    EXPECT_EQ(r.exitCode, 1) << folder;
    EXPECT_NE(r.err.find("not private"), std::string::npos) << r.err;
    r = runProgram({binPath("tesselsvc"), "adduser", "--data", data, "bob", "pw"});
    EXPECT_EQ(r.exitCode, 1) << folder;
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  }
  EXPECT_TRUE(svc.start(data));
}

TEST(TesselSvcCommandLine, RefusesBadUsage) {
  EXPECT_EQ(runProgram({binPath("tesselsvc")}).exitCode, 2);
  EXPECT_EQ(runProgram({binPath("tesselsvc"), "serve"}).exitCode, 2);
  EXPECT_EQ(runProgram({binPath("tesselsvc"), "adduser", "--data", "/tmp/x", "onlyname"}).exitCode,
            2);
  EXPECT_EQ(
      runProgram({binPath("tesselsvc"), "serve", "--data", "/tmp/x", "--listen", "nope"}).exitCode,
      2);
  EXPECT_EQ(
      runProgram({binPath("tesselsvc"), "serve", "--data", "/tmp/x", "--public-url", "ftp://host"})
          .exitCode,
      2);
  EXPECT_EQ(
      runProgram({binPath("tesselsvc"), "serve", "--data", "/tmp/x", "--loops", "0"}).exitCode, 2);
  // Every serve option is listed by --help.
  RunResult help = runProgram({binPath("tesselsvc"), "--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char *opt : {"--public-url", "--allow-origin", "--token-lifetime", "--workers",
                          "--loops", "--max-connections", "--max-per-peer", "--header-timeout"})
    EXPECT_NE(help.out.find(opt), std::string::npos) << opt;
}

}  // namespace
}  // namespace tessel::test
