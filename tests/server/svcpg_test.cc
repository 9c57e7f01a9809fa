// The service on PostgreSQL: two instances on one database and one content folder, and an
// SQLite installation moved into the database.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "svcpgcluster.h"
#include "svctestserver.h"
#include "testutil.h"

namespace tessel::test {
namespace {

using nlohmann::json;

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

std::string readAll(int fd) {
  std::string out;
  char buf[8192];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<size_t>(n));
  return out;
}

// One request on its own connection: the status and the body of the answer. A large body
// waits for "100 Continue", so that an early refusal (507) is read, not cut off by a reset.
int http(int port, const std::string &method, const std::string &path, const std::string &body,
         std::string *answer = nullptr, const std::string &headers = "") {
  const int fd = connectTo(port);
  if (fd < 0) return -1;
  const bool expect = body.size() > 65536;
  const std::string head = method + " " + path +
                           " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers +
                           (expect ? "Expect: 100-continue\r\n" : "") +
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  std::string got;
  if (expect) {
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    char buf[4096];
    while (got.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    if (got.compare(0, 12, "HTTP/1.1 100") == 0) {
      got.erase(0, got.find("\r\n\r\n") + 4);
      ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
    }
  } else {
    const std::string req = head + body;
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  }
  got += readAll(fd);
  ::close(fd);
  int status = -1;
  if (std::sscanf(got.c_str(), "HTTP/1.%*d %d", &status) != 1) return -1;
  if (answer) {
    const size_t b = got.find("\r\n\r\n");
    *answer = b == std::string::npos ? std::string() : got.substr(b + 4);
  }
  return status;
}

// The drive's arguments with `more`.
nlohmann::json with(nlohmann::json base, const nlohmann::json &more) {
  base.update(more);
  return base;
}

// A call of the pages' JSON API; the answer as JSON (a fault is {"HB-EXCEPTION":...}).
json call(int port, const std::string &method, const json &args) {
  std::string body;
  http(port, "POST", "/svc/api/json/" + method, args.dump(), &body);
  return json::parse(body, nullptr, false);
}

int faultOf(const json &j) {
  return j.contains("HB-EXCEPTION") ? j["HB-EXCEPTION"].value("ecode", -1) : 0;
}

class SvcPg : public ::testing::Test {
 protected:
  void SetUp() override {
    TESSEL_NEED_POSTGRESQL();
    m_db = SvcPgCluster::get().newDatabase();
    ASSERT_FALSE(m_db.empty());
    m_data = m_dir.path() + "/data";
  }
  void TearDown() override { svcTestDb().clear(); }

  // Starts instance `name` on the shared database and data folder.
  void startInstance(SvcProcess *p, const std::string &name) {
    ASSERT_TRUE(p->start(m_data, {"--db", m_db, "--instance", name})) << name;
  }
  json drive(const SvcUser &u) const {
    return {{"valtoken", u.token}, {"deviceid", u.device}, {"serviceid", u.service}};
  }
  std::string filesPath(const SvcUser &u, const std::string &fid) const {
    return "/svc/files/" + u.device + "/" + u.service + "/" + fid;
  }
  std::vector<std::string> tmpFiles() const {
    std::vector<std::string> out;
    if (DIR *d = opendir((m_data + "/tmp").c_str())) {
      while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') out.push_back(e->d_name);
      closedir(d);
    }
    return out;
  }

  TempDir m_dir;
  std::string m_db, m_data;
};

// Waits for `pred`, at most 30 s.
template <typename Pred>
bool waitFor(Pred pred) {
  for (int i = 0; i < 1500; i++) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST_F(SvcPg, TwoInstancesShareRecordsSessionsNamesThrottlingAndSpace) {
  svcTestDb() = m_db;
  SvcUser alice;
  ASSERT_TRUE(addSvcUser(m_data, "alice", "pw", {"--quota", "1000000"}, &alice));
  SvcProcess a, b;
  startInstance(&a, "a");
  startInstance(&b, "b");
  const int pa = a.port(), pb = b.port();
  EXPECT_EQ(http(pa, "GET", "/healthz", ""), 200);

  // A file made and uploaded through one instance is read through the other.
  json f = call(pa, "createFile", with(drive(alice), {{"filename", "a.txt"}}));
  const std::string fid = f["file"].value("fileid", "");
  ASSERT_FALSE(fid.empty()) << f.dump();
  const std::string cookie = "Cookie: valtoken=" + alice.token + "\r\n";
  ASSERT_EQ(http(pa, "PUT", filesPath(alice, fid), "hello from a", nullptr, cookie), 200);
  std::string got;
  EXPECT_EQ(http(pb, "GET", filesPath(alice, fid), "", &got, cookie), 200);
  EXPECT_EQ(got, "hello from a");
  EXPECT_EQ(call(pb, "getFile", with(drive(alice), {{"fileid", fid}}))["file"]["size"], json("12"));

  // A session made on one is valid on the other, and revoked on one it ends on both.
  json login = call(pb, "loginUser", {{"username", "alice"}, {"password", "pw"}});
  const std::string token = login.value("valtoken", "");
  ASSERT_EQ(token.size(), 32u) << login.dump();
  EXPECT_EQ(call(pa, "getUser", {{"valtoken", token}})["user"].value("username", ""), "alice");
  ASSERT_TRUE(b.admin("revoke?token=" + token));
  EXPECT_EQ(faultOf(call(pa, "getUser", {{"valtoken", token}})), 606);

  // A one-time sign-in code of the pages made on one works once on the other.
  json go = call(pa, "generateGoURL", {{"valtoken", alice.token}, {"path", "/web/"}});
  const std::string gourl = go.value("gourl", "");
  ASSERT_NE(gourl.find("/svc/go?code="), std::string::npos) << go.dump();
  const std::string goPath = gourl.substr(gourl.find("/svc/go"));
  // Its page (on either) only posts it; the post redeems it.
  std::string page;
  EXPECT_EQ(http(pa, "GET", goPath, "", &page), 200);
  const size_t at = page.find("name=\"csrf\" value=\"");
  ASSERT_NE(at, std::string::npos) << page;
  const std::string csrf = page.substr(at + 20, 32);
  const std::string form = "csrf=" + csrf + "&code=" + goPath.substr(goPath.find('=') + 1);
  const std::string formHeaders =
      "Cookie: web_go=" + csrf + "\r\nContent-Type: application/x-www-form-urlencoded\r\n";
  EXPECT_EQ(http(pb, "POST", "/svc/go", form, nullptr, formHeaders), 303);
  EXPECT_EQ(http(pa, "POST", "/svc/go", form, nullptr, formHeaders), 200);  // used already

  // 50 creations of one name at once through both: one file and 49 numbered copies.
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < 50; i++)
    threads.emplace_back([&, i] {
      json r = call(i % 2 ? pa : pb, "createFile",
                    with(drive(alice), {{"parentid", "0"}, {"filename", "IMG_0001.JPG"}}));
      if (!r.contains("file")) failures++;
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  json list = call(pa, "listFiles", with(drive(alice), {{"parentid", "0"}, {"maxcount", "100"}}));
  std::set<std::string> names;
  for (const json &e : list["files"]) names.insert(e.value("name", ""));
  EXPECT_EQ(names.size(), 51u);
  EXPECT_TRUE(names.count("IMG_0001.JPG"));
  for (int n = 2; n <= 50; n++)
    EXPECT_TRUE(names.count("IMG_0001 (" + std::to_string(n) + ").JPG")) << n;

  // Failed sign-ins count across both: the wait starts within 8 failures alternating between
  // them, fewer than either alone lets go free.
  bool waited = false;
  for (int i = 0; i < 8 && !waited; i++) {
    json r = call(i % 2 ? pa : pb, "loginUser", {{"username", "alice"}, {"password", "no"}});
    EXPECT_EQ(faultOf(r), 606);
    waited = r.dump().find("Too many") != std::string::npos;
  }
  EXPECT_TRUE(waited);

  // The drive's space is one running total, and uploads in progress on one instance hold
  // theirs against the other's: a 600 000-byte upload under way on A leaves no room on B.
  json g = call(pa, "createFile", with(drive(alice), {{"filename", "big.bin"}}));
  json h = call(pb, "createFile", with(drive(alice), {{"filename", "other.bin"}}));
  const std::string gid = g["file"].value("fileid", ""), hid = h["file"].value("fileid", "");
  const int slow = connectTo(pa);
  ASSERT_GE(slow, 0);
  const std::string head = "PUT " + filesPath(alice, gid) + " HTTP/1.1\r\nHost: x\r\n" + cookie +
                           "Content-Length: 600000\r\n\r\n" + std::string(2000, 'g');
  ASSERT_EQ(::send(slow, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
  ASSERT_TRUE(waitFor([&] { return !tmpFiles().empty(); }));
  EXPECT_EQ(tmpFiles()[0].rfind("up-a-", 0), 0u) << tmpFiles()[0];
  const std::string big(500000, 'h');
  EXPECT_EQ(http(pb, "PUT", filesPath(alice, hid), big, nullptr, cookie), 507);

  // A killed instance's holds and temporary files stay until it comes back under its name,
  // and then go; the other instance's uploads are not touched.
  kill(a.pid(), SIGKILL);
  EXPECT_EQ(a.wait(10000), -1);
  ::close(slow);
  EXPECT_EQ(http(pb, "PUT", filesPath(alice, hid), big, nullptr, cookie), 507);
  const int other = connectTo(pb);
  const std::string head2 = "PUT " + filesPath(alice, hid) + " HTTP/1.1\r\nHost: x\r\n" + cookie +
                            "Content-Length: 1000\r\n\r\n" + std::string(100, 'o');
  ASSERT_EQ(::send(other, head2.data(), head2.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(head2.size()));
  ASSERT_TRUE(waitFor([&] { return tmpFiles().size() == 2; })) << readAll(other);
  SvcProcess again;
  startInstance(&again, "a");
  std::vector<std::string> left = tmpFiles();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("up-b-", 0), 0u) << left[0];
  ::close(other);
  ASSERT_TRUE(waitFor([&] { return tmpFiles().empty(); }));
  EXPECT_EQ(http(again.port(), "PUT", filesPath(alice, hid), big, nullptr, cookie), 200);
  // Now the drive holds 500 000 + 12 bytes and the entries: another 500 000 do not fit on A.
  EXPECT_EQ(http(again.port(), "PUT", filesPath(alice, gid), big, nullptr, cookie), 507);
  json svc = call(pb, "getService", drive(alice));
  EXPECT_EQ(svc["service"].value("space", "").substr(svc["service"].value("space", "").find('/')),
            "/1000000");

  // Without its database an instance says so to the load balancer.
  SvcProcess lost;
  ASSERT_TRUE(lost.start(m_data, {"--db", m_db, "--instance", "c"}));
  PGconn *c = PQconnectdb(SvcPgCluster::get().url("postgres").c_str());
  PQclear(PQexec(c, ("ALTER DATABASE " + m_db.substr(m_db.rfind('/') + 1) +
                     " ALLOW_CONNECTIONS false").c_str()));
  PQclear(PQexec(c, ("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname='" +
                     m_db.substr(m_db.rfind('/') + 1) + "'")
                        .c_str()));
  EXPECT_EQ(http(lost.port(), "GET", "/healthz", ""), 503);
  PQclear(PQexec(c, ("ALTER DATABASE " + m_db.substr(m_db.rfind('/') + 1) +
                     " ALLOW_CONNECTIONS true").c_str()));
  PQfinish(c);
  EXPECT_EQ(http(lost.port(), "GET", "/healthz", ""), 200);
}

// Every row of one table, each column as text (blobs in hex), in a fixed order.
std::vector<std::string> sqliteRows(sqlite3 *db, const std::string &sql) {
  std::vector<std::string> out;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return {"bad: " + sql};
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::string row;
    for (int c = 0; c < sqlite3_column_count(st); c++) {
      const unsigned char *t = sqlite3_column_text(st, c);
      row += std::string(t ? reinterpret_cast<const char *>(t) : "") + "|";
    }
    out.push_back(row);
  }
  sqlite3_finalize(st);
  return out;
}

std::vector<std::string> pgRows(PGconn *c, const std::string &sql) {
  std::vector<std::string> out;
  PGresult *r = PQexec(c, sql.c_str());
  if (PQresultStatus(r) != PGRES_TUPLES_OK) out.push_back("bad: " + sql + PQerrorMessage(c));
  for (int i = 0; i < PQntuples(r); i++) {
    std::string row;
    for (int col = 0; col < PQnfields(r); col++) row += std::string(PQgetvalue(r, i, col)) + "|";
    out.push_back(row);
  }
  PQclear(r);
  return out;
}

TEST_F(SvcPg, MigrationCopiesAnInstallationRecordByRecordAndRunsAgain) {
  // A populated SQLite installation: two users, folders, files with properties, content and a
  // rendition, a rename and a removal (so that ids have gaps).
  SvcUser alice, bob;
  ASSERT_TRUE(addSvcUser(m_data, "alice", "pw", {"--drives", "2"}, &alice));
  ASSERT_TRUE(addSvcUser(m_data, "bob", "pw2", {}, &bob));
  std::string fid, last;
  {
    SvcProcess s;
    ASSERT_TRUE(s.start(m_data));
    const int p = s.port();
    json folder = call(p, "createFile",
                       with(drive(alice), {{"filename", "Photos"}, {"type", "1"}}));
    const std::string dir = folder["file"].value("fileid", "");
    for (const char *n : {"a.jpg", "a.jpg", "gone.jpg", "b.jpg"}) {
      json r = call(p, "createFile",
                    with(drive(alice), {{"parentid", dir}, {"filename", n},
                                               {"mimetype", "image/jpeg"},
                                               {"EXIF-DateTimeOriginal", "1600000000000"}}));
      if (fid.empty()) fid = r["file"].value("fileid", "");
      last = r["file"].value("fileid", "");
      if (std::string(n) == "gone.jpg")
        call(p, "removeFile", with(drive(alice), {{"fileid", r["file"].value("fileid", "")}}));
    }
    const std::string cookie = "Cookie: valtoken=" + alice.token + "\r\n";
    ASSERT_EQ(http(p, "PUT", filesPath(alice, fid), "picture", nullptr, cookie), 200);
    ASSERT_EQ(http(p, "PUT", filesPath(alice, fid) + "/tn", "thumb", nullptr, cookie), 200);
    call(p, "moveFile", with(drive(alice), {{"fileid", fid}, {"filename", "renamed.jpg"}}));
    ASSERT_EQ(s.stop(), 0);
  }
  const std::vector<std::string> argv = {binPath("tesselsvc"), "migrate", "--data", m_data, "--db",
                                         m_db};
  RunResult r = runProgram(argv);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("files: 4 in meta.db, 4 in the database"), std::string::npos) << r.out;

  // Record by record.
  sqlite3 *lite = nullptr;
  ASSERT_EQ(sqlite3_open_v2((m_data + "/meta.db").c_str(), &lite, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  PGconn *pg = PQconnectdb(m_db.c_str());
  ASSERT_EQ(PQstatus(pg), CONNECTION_OK);
  const std::pair<const char *, const char *> tables[] = {
      {"SELECT id, name, email, lower(hex(salt)), lower(hex(hash)), created FROM users ORDER BY id",
       "SELECT id, name, email, encode(salt,'hex'), encode(hash,'hex'), created FROM users ORDER BY id"},
      {"SELECT lower(hex(hash)), userid, created, used FROM sessions ORDER BY 1",
       "SELECT encode(hash,'hex'), userid, created, used FROM sessions ORDER BY 1"},
      {"SELECT id, userid, name FROM devices ORDER BY id",
       "SELECT id, userid, name FROM devices ORDER BY id"},
      {"SELECT id, deviceid, userid, name, quota, online, readonly, transport, used FROM services"
       " ORDER BY rowid",
       "SELECT id, deviceid, userid, name, quota, online, readonly, transport, used FROM services"
       " ORDER BY seq"},
      {"SELECT id, serviceid, parentid, name, type, ctime, mtime, meta, taken, media FROM files"
       " ORDER BY id",
       "SELECT id, serviceid, parentid, name, type, ctime, mtime, meta, taken, media FROM files"
       " ORDER BY id"},
      {"SELECT fileid, seq, key, value FROM props ORDER BY 1, 2",
       "SELECT fileid, seq, key, value FROM props ORDER BY 1, 2"},
      {"SELECT fileid, stream, serviceid, size FROM streams ORDER BY 1, 2",
       "SELECT fileid, stream, serviceid, size FROM streams ORDER BY 1, 2"},
  };
  for (const auto &[l, p] : tables) {
    const std::vector<std::string> want = sqliteRows(lite, l);
    EXPECT_FALSE(want.empty()) << l;
    EXPECT_EQ(pgRows(pg, p), want) << l;
  }
  sqlite3_close(lite);

  // Again: nothing doubles.
  r = runProgram(argv);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(pgRows(pg, "SELECT count(*) FROM files")[0], "4|");
  PQfinish(pg);

  // The installation serves from the database: the old token, the content, new ids after the
  // copied ones.
  SvcProcess s;
  startInstance(&s, "moved");
  std::string got;
  EXPECT_EQ(http(s.port(), "GET", filesPath(alice, fid), "", &got,
                 "Cookie: valtoken=" + alice.token + "\r\n"),
            200);
  EXPECT_EQ(got, "picture");
  json f = call(s.port(), "createFile", with(drive(alice), {{"filename", "new.jpg"}}));
  EXPECT_GT(std::stoll(f["file"].value("fileid", "0")), std::stoll(last)) << f.dump();
  EXPECT_EQ(call(s.port(), "loginUser", {{"username", "bob"}, {"password", "pw2"}})
                .value("valtoken", "")
                .size(),
            32u);
}

}  // namespace
}  // namespace tessel::test
