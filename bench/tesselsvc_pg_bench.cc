// The drive service's stores compared, against the real tesselsvc:
//
//   BM_SmallCalls/sqlite, /pg, /pg1nginx, /pg2nginx  8 clients on keep-alive connections, each
//       round a createFile, a 4 KiB PUT and a getFile (3 requests), into one drive per client:
//       one instance on meta.db, one on PostgreSQL, one and two on one PostgreSQL behind nginx
//       (the first of those two says what the proxy itself costs on the shared cores). Requests
//       per second.
//   BM_ListFiles100k/sqlite, /pg          a folder of 100 000 entries (written straight into the
//       store before the service starts), listed whole in pages of 1 000 with listFiles.
//
// PostgreSQL is a private cluster made with initdb in a temporary folder (as nobody when run as
// root), on a Unix socket, with fsync on as in production; the service syncs each upload.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <glob.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "benchsvc.h"

namespace {

constexpr int kClients = 8;
constexpr int kRounds = 150;  // per client
constexpr int kEntries = 100000;

std::string binDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  buf[n > 0 ? n : 0] = 0;
  return (std::filesystem::path(buf).parent_path().parent_path() / "bin").string();
}

std::string g_root;  // the benchmark's temporary folder

bool sh(const std::string &cmd) { return std::system(cmd.c_str()) == 0; }

std::string asOwner(const std::string &cmd) {
  return geteuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups -- " + cmd : cmd;
}

// A private PostgreSQL cluster for the whole run.
struct Cluster {
  std::string dir, bin;
  bool up = false;
  bool start() {
    glob_t g{};
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) != 0 || g.gl_pathc == 0) return false;
    bin = std::string(g.gl_pathv[g.gl_pathc - 1]);
    bin.resize(bin.size() - 6);
    globfree(&g);
    char tmpl[] = "/tmp/tessel-pgbench-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    if (geteuid() == 0) {
      passwd *pw = getpwnam("nobody");
      if (!pw || chown(dir.c_str(), pw->pw_uid, pw->pw_gid) != 0) return false;
    }
    up = sh(asOwner(bin + "initdb -D " + dir + "/data -U tessel -A trust -E UTF8 --locale=C >/dev/null")) &&
         sh(asOwner(bin + "pg_ctl -D " + dir + "/data -l " + dir + "/log -w -o \"-k " + dir +
                    " -h '' -c max_connections=200 -c shared_buffers=256MB\" start >/dev/null"));
    return up;
  }
  std::string url(const std::string &db) const {
    std::string host;
    for (char c : dir) host += c == '/' ? std::string("%2F") : std::string(1, c);
    return "postgresql://tessel@" + host + "/" + db;
  }
  std::string newDb() {
    static int n = 0;
    const std::string name = "b" + std::to_string(++n);
    PGconn *c = PQconnectdb(url("postgres").c_str());
    PQclear(PQexec(c, ("CREATE DATABASE " + name).c_str()));
    PQfinish(c);
    return url(name);
  }
  ~Cluster() {
    if (up) sh(asOwner(bin + "pg_ctl -D " + dir + "/data -m fast -w stop >/dev/null"));
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
} g_pg;

// One `tesselsvc serve`, its port read from its first line.
struct Instance {
  pid_t pid = -1;
  int port = 0;
  bool start(const std::string &data, const std::string &db, const std::string &name) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const std::string bin = binDir() + "/tesselsvc";
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      if (db.empty())
        execl(bin.c_str(), bin.c_str(), "serve", "--data", data.c_str(), "--listen", "127.0.0.1:0",
              static_cast<char *>(nullptr));
      else
        execl(bin.c_str(), bin.c_str(), "serve", "--data", data.c_str(), "--listen", "127.0.0.1:0",
              "--db", db.c_str(), "--instance", name.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    return benchsvc::readListeningPort(fds[0], &port);
  }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int st;
      waitpid(pid, &st, 0);
    }
    pid = -1;
  }
  ~Instance() { stop(); }
};

struct User {
  std::string token, device, service;
};

bool addUser(const std::string &data, const std::string &db, const std::string &name, User *u) {
  std::string cmd = binDir() + "/tesselsvc adduser --data " + data +
                    (db.empty() ? "" : " --db '" + db + "'") + " " + name + " pw";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return false;
  char line[1024] = "";
  if (!fgets(line, sizeof line, p)) line[0] = 0;
  pclose(p);
  u->token = benchsvc::jsonField(line, "token");
  u->device = benchsvc::jsonField(line, "deviceid");
  u->service = benchsvc::jsonField(line, "serviceids");
  return !u->token.empty();
}

// A keep-alive connection.
class Conn {
 public:
  explicit Conn(int port) {
    m_fd = benchsvc::connectLoopback(port);
  }
  ~Conn() {
    if (m_fd >= 0) close(m_fd);
  }
  // The status; the body in *body.
  int request(const std::string &method, const std::string &path, const std::string &body,
              const std::string &headers, std::string *answer) {
    const std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    if (m_fd < 0 || send(m_fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
      return -1;
    std::string got;
    size_t head = std::string::npos, length = 0;
    char buf[65536];
    for (;;) {
      if (head == std::string::npos && (head = got.find("\r\n\r\n")) != std::string::npos) {
        std::string lower = got.substr(0, head);
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        const size_t cl = lower.find("content-length:");
        length = cl == std::string::npos ? 0 : std::strtoul(lower.c_str() + cl + 15, nullptr, 10);
      }
      if (head != std::string::npos && got.size() >= head + 4 + length) break;
      const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
      if (n <= 0) return -1;
      got.append(buf, static_cast<size_t>(n));
    }
    if (answer) *answer = got.substr(head + 4, length);
    int status = -1;
    std::sscanf(got.c_str(), "HTTP/1.%*d %d", &status);
    return status;
  }

 private:
  int m_fd = -1;
};

std::string driveArgs(const User &u) {
  return "\"valtoken\":\"" + u.token + "\",\"deviceid\":\"" + u.device + "\",\"serviceid\":\"" +
         u.service + "\"";
}

// Rounds of createFile, a 4 KiB PUT and getFile by kClients clients, each on its own drive, at
// `ports` in turn; requests per second, 0 on a failure.
double smallCalls(const std::vector<int> &ports, const std::vector<User> &users) {
  std::atomic<int> failed{0};
  const std::string content(4096, 'c');
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; c++)
    threads.emplace_back([&, c] {
      const User &u = users[static_cast<size_t>(c)];
      Conn conn(ports[static_cast<size_t>(c) % ports.size()]);
      const std::string cookie = "Cookie: valtoken=" + u.token + "\r\n";
      for (int r = 0; r < kRounds && !failed; r++) {
        std::string answer;
        if (conn.request("POST", "/svc/api/json/createFile",
                         "{" + driveArgs(u) + ",\"filename\":\"IMG_" + std::to_string(r) +
                             ".JPG\",\"mimetype\":\"image/jpeg\"}",
                         "", &answer) != 200) {
          failed++;
          break;
        }
        const std::string fid = benchsvc::jsonField(answer, "fileid");
        if (conn.request("PUT", "/svc/files/" + u.device + "/" + u.service + "/" + fid, content,
                         cookie, nullptr) != 200 ||
            conn.request("POST", "/svc/api/json/getFile",
                         "{" + driveArgs(u) + ",\"fileid\":\"" + fid + "\"}", "", nullptr) != 200)
          failed++;
      }
    });
  for (auto &t : threads) t.join();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return failed ? 0 : 3.0 * kClients * kRounds / s;
}

// nginx in front of `ports`, on a free port of its own.
struct Nginx {
  pid_t pid = -1;
  int port = 0;
  bool start(const std::string &dir, const std::vector<int> &ports) {
    port = 20000 + static_cast<int>(getpid() % 20000);
    std::filesystem::create_directories(dir + "/logs");
    std::string conf = "worker_processes 2; pid " + dir + "/nginx.pid; error_log " + dir +
                       "/error.log; events { worker_connections 1024; }\n"
                       "http { access_log off; upstream tessel {";
    for (int p : ports) conf += " server 127.0.0.1:" + std::to_string(p) + ";";
    conf += " keepalive 32; }\n server { listen 127.0.0.1:" + std::to_string(port) +
            "; client_max_body_size 0; proxy_request_buffering off; proxy_buffering off;"
            " location / { proxy_pass http://tessel; proxy_http_version 1.1;"
            " proxy_set_header Connection \"\"; proxy_set_header Host $host; } } }\n";
    FILE *f = std::fopen((dir + "/nginx.conf").c_str(), "w");
    if (!f) return false;
    std::fputs(conf.c_str(), f);
    std::fclose(f);
    pid = fork();
    if (pid == 0) {
      execlp("nginx", "nginx", "-p", dir.c_str(), "-c", (dir + "/nginx.conf").c_str(), "-g",
             "daemon off;", static_cast<char *>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200; i++) {
      Conn c(port);
      if (c.request("GET", "/healthz", "", "", nullptr) == 200) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  ~Nginx() {
    if (pid > 0) {
      kill(pid, SIGQUIT);
      int st;
      waitpid(pid, &st, 0);
    }
  }
};

bool setUp() {
  static int ok = -1;
  if (ok < 0) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/tesselsvc-pg-bench-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    ok = mkdtemp(buf.data()) && g_pg.start();
    g_root = buf.data();
  }
  return ok;
}

void BM_SmallCalls(benchmark::State &state, int mode) {
  if (!setUp()) return state.SkipWithError("PostgreSQL is not installed or did not start");
  static int run = 0;
  const std::string data = g_root + "/small" + std::to_string(++run);
  const std::string db = mode == 0 ? std::string() : g_pg.newDb();
  std::vector<User> users(kClients);
  for (int c = 0; c < kClients; c++)
    if (!addUser(data, db, "u" + std::to_string(c), &users[static_cast<size_t>(c)]))
      return state.SkipWithError("adduser failed");
  Instance a, b;
  if (!a.start(data, db, "a") || (mode == 2 && !b.start(data, db, "b")))
    return state.SkipWithError("tesselsvc did not start");
  Nginx nginx;
  std::vector<int> ports{a.port};
  if (mode >= 2) {
    std::vector<int> behind{a.port};
    if (mode == 2) behind.push_back(b.port);
    if (!nginx.start(data + "/nginx", behind)) return state.SkipWithError("nginx did not start");
    ports = {nginx.port};
  }
  double rate = 0;
  for (auto _ : state) rate = smallCalls(ports, users);
  if (rate == 0) return state.SkipWithError("a request failed");
  state.counters["requests_per_s"] = rate;
}
BENCHMARK_CAPTURE(BM_SmallCalls, sqlite, 0)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SmallCalls, pg, 1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SmallCalls, pg1nginx, 3)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SmallCalls, pg2nginx, 2)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// A folder of kEntries files, written straight into the store.
bool seed(const std::string &data, const std::string &db, const User &u) {
  if (db.empty()) {
    sqlite3 *s = nullptr;
    if (sqlite3_open((data + "/meta.db").c_str(), &s) != SQLITE_OK) return false;
    const std::string sql =
        "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<" +
        std::to_string(kEntries) +
        ") INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta)"
        " SELECT '" + u.service + "', 0, printf('IMG_%06d.JPG', i), 0, 0, 0, 140 FROM n;"
        " INSERT INTO props(fileid, seq, key, value) SELECT id, 0, 'mimetype', 'image/jpeg'"
        " FROM files; COMMIT;";
    const bool ok = sqlite3_exec(s, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(s);
    return ok;
  }
  PGconn *c = PQconnectdb(db.c_str());
  const std::string sql =
      "INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta) SELECT '" +
      u.service + "', 0, 'IMG_' || lpad(i::text, 6, '0') || '.JPG', 0, 0, 0, 140"
      " FROM generate_series(1," + std::to_string(kEntries) + ") i;"
      " INSERT INTO props(fileid, seq, key, value) SELECT id, 0, 'mimetype', 'image/jpeg'"
      " FROM files; ANALYZE;";
  PGresult *r = PQexec(c, sql.c_str());
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  PQfinish(c);
  return ok;
}

void BM_ListFiles100k(benchmark::State &state, int mode) {
  if (!setUp()) return state.SkipWithError("PostgreSQL is not installed or did not start");
  const std::string data = g_root + (mode ? "/listpg" : "/listsqlite");
  const std::string db = mode == 0 ? std::string() : g_pg.newDb();
  User u;
  if (!addUser(data, db, "lister", &u)) return state.SkipWithError("adduser failed");
  Instance a;
  // The tables exist once an instance has opened the store.
  if (!db.empty() && !a.start(data, db, "a")) return state.SkipWithError("tesselsvc did not start");
  a.stop();
  if (!seed(data, db, u)) return state.SkipWithError("cannot seed the folder");
  if (!a.start(data, db, "a")) return state.SkipWithError("tesselsvc did not start");
  Conn conn(a.port);
  double first = 0, last = 0;
  int64_t listed = 0;
  for (auto _ : state) {
    listed = 0;
    for (int page = 0; page < kEntries / 1000; page++) {
      const auto t0 = std::chrono::steady_clock::now();
      std::string answer;
      if (conn.request("POST", "/svc/api/json/listFiles",
                       "{" + driveArgs(u) + ",\"parentid\":\"0\",\"maxcount\":\"1000\","
                       "\"pageoffset\":\"" + std::to_string(page) + "\"}",
                       "", &answer) != 200)
        return state.SkipWithError("listFiles failed");
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      if (page == 0) first = ms;
      last = ms;
      for (size_t p = answer.find("\"fileid\""); p != std::string::npos; p = answer.find("\"fileid\"", p + 1))
        listed++;
    }
  }
  state.counters["entries"] = static_cast<double>(listed);
  state.counters["first_page_ms"] = first;
  state.counters["last_page_ms"] = last;
}
BENCHMARK_CAPTURE(BM_ListFiles100k, sqlite, 0)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ListFiles100k, pg, 1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
