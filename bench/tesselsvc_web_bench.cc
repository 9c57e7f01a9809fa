// The photo pages of the reference drive service, against the real tesselsvc holding a drive of
// 100 000 photos written straight into meta.db before it starts (each with a real JPEG thumbnail,
// hard links to a few made by ImageMagick's `convert`), and nginx serving the same files:
//
//   BM_WebThumbnails/0  thumbnails (GET /web/file/SID/ID/tn with the session cookie) served by
//                       tesselsvc to 8 clients over keep-alive connections, ids spread over the
//                       whole drive;
//   BM_WebThumbnails/1  the same thumbnails from nginx (its own worker per core, sendfile, no
//                       access log) over keep-alive connections; `svc_share` is tesselsvc's rate
//                       over nginx's, measured in the same run;
//   BM_WebThumbnails/2  the pages' icon (compiled in, no session) from tesselsvc: its HTTP
//                       loop alone, without the store or a file;
//   BM_WebPhotoList     the whole photo list walked as the grid scrolls it: 120 a page along the
//                       cursor from the newest to the oldest.
//
// Run by hand (needs convert and nginx; TMPDIR on a tmpfs keeps the disk out of the figures):
//   flock build/.make.lock cmake --build build -j 2 --target tesselsvc tesselsvc_web_bench
//   build/bench/tesselsvc_web_bench
// The first screen in Chromium and the service's memory under 20 scrolling pages are measured by
// bench/web_first_screen.js.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "benchsvc.h"

namespace {

constexpr int kPhotos = 100000;
constexpr int kThumbKinds = 16;
constexpr int kClients = 8;
constexpr int kRequests = 40000;
constexpr int64_t kFirstTaken = 1262304000000LL;  // 2010-01-01, then one photo every 30 min

// A keep-alive HTTP/1.1 connection to a loopback port.
class Client {
 public:
  explicit Client(int port) {
    m_fd = benchsvc::connectLoopback(port);
  }
  ~Client() {
    if (m_fd >= 0) close(m_fd);
  }
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  // Sends a GET and returns the status (-1 on failure), the body in `out`; the connection
  // stays open unless the answer says otherwise.
  int get(const std::string &head, std::string *out) {
    if (m_fd < 0 || !sendAll(head.data(), head.size())) return -1;
    size_t end;
    while ((end = m_buf.find("\r\n\r\n")) == std::string::npos)
      if (!recvMore()) return -1;
    const int status = std::atoi(m_buf.c_str() + 9);
    std::string lowHead = m_buf.substr(0, end);
    for (char &c : lowHead) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t clPos = lowHead.find("\r\ncontent-length:");
    if (clPos == std::string::npos) return -1;
    const size_t cl = std::strtoul(lowHead.c_str() + clPos + 17, nullptr, 10);
    while (m_buf.size() < end + 4 + cl)
      if (!recvMore()) return -1;
    out->assign(m_buf, end + 4, cl);
    m_buf.erase(0, end + 4 + cl);
    if (lowHead.find("\r\nconnection: close") != std::string::npos) {
      close(m_fd);
      m_fd = -1;
    }
    return status;
  }

 private:
  bool sendAll(const char *p, size_t n) {
    while (n > 0) {
      const ssize_t w = send(m_fd, p, n, MSG_NOSIGNAL);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  bool recvMore() {
    char tmp[65536];
    const ssize_t r = recv(m_fd, tmp, sizeof tmp, 0);
    if (r <= 0) return false;
    m_buf.append(tmp, static_cast<size_t>(r));
    return true;
  }
  int m_fd = -1;
  std::string m_buf;
};

bool run(const std::string &cmd) {
  return std::system(cmd.c_str()) == 0;
}

// kPhotos photos of one folder "Camera" with their thumbnails, in one transaction; each
// thumbnail file is a hard link to one of kThumbKinds real JPEGs.
bool seedPhotos(const std::string &data, const std::string &service, int64_t *firstId) {
  const std::string files = data + "/files/" + service;
  std::filesystem::create_directories(files);
  for (int k = 0; k < kThumbKinds; k++) {
    if (!run("convert -size 256x192 -seed " + std::to_string(k + 1) +
             " plasma:fractal -quality 80 " + data + "/thumb" + std::to_string(k) + ".jpg"))
      return false;
  }
  sqlite3 *db = nullptr;
  if (sqlite3_open((data + "/meta.db").c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return false;
  }
  const std::string sid = "'" + service + "'";
  const std::string n = std::to_string(kPhotos);
  const std::string sql =
      "BEGIN;"
      "INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta) VALUES(" +
      sid +
      ", 0, 'Camera', 1, 0, 0, 140);"
      "CREATE TEMP TABLE seq(i INTEGER PRIMARY KEY);"
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<" +
      n + "-1) INSERT INTO seq SELECT i FROM n;" +
      "INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta, taken, media)"
      " SELECT " +
      sid + ", last_insert_rowid(), printf('IMG_%06d.JPG', i), 0, " +
      std::to_string(kFirstTaken) + "+i*1800000, " + std::to_string(kFirstTaken) +
      "+i*1800000, 220, " + std::to_string(kFirstTaken) +
      "+i*1800000, 1 FROM seq ORDER BY i;"
      "INSERT INTO props(fileid, seq, key, value) SELECT id, 0, 'mimetype', 'image/jpeg'"
      " FROM files WHERE type=0 AND serviceid=" +
      sid +
      ";"
      "INSERT INTO props(fileid, seq, key, value) SELECT id, 1, 'size', '3000000'"
      " FROM files WHERE type=0 AND serviceid=" +
      sid +
      ";"
      "INSERT INTO streams(fileid, stream, serviceid, size) SELECT id, 'tn', serviceid, 12000"
      " FROM files WHERE type=0 AND serviceid=" +
      sid + ";" + "UPDATE services SET used=used+" + std::to_string(kPhotos * 12220LL) +
      " WHERE id=" + sid + ";COMMIT;";
  char *err = nullptr;
  bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) == SQLITE_OK;
  if (!ok) std::fprintf(stderr, "seed: %s\n", err ? err : "?");
  sqlite3_free(err);
  sqlite3_stmt *first = nullptr;
  ok = ok && sqlite3_prepare_v2(db, "SELECT min(id) FROM files WHERE type=0", -1, &first,
                                nullptr) == SQLITE_OK &&
       sqlite3_step(first) == SQLITE_ROW;
  if (ok) *firstId = sqlite3_column_int64(first, 0);
  sqlite3_finalize(first);
  sqlite3_close(db);
  for (int i = 0; ok && i < kPhotos; i++) {
    const std::string to = files + "/" + std::to_string(*firstId + i) + ".tn";
    const std::string from = data + "/thumb" + std::to_string(i % kThumbKinds) + ".jpg";
    ok = link(from.c_str(), to.c_str()) == 0;
  }
  return ok;
}

int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// nginx serving `root` on a free loopback port, from a configuration in `dir`.
class Nginx {
 public:
  bool start(const std::string &dir, const std::string &root) {
    const char *bin = access("/usr/sbin/nginx", X_OK) == 0 ? "/usr/sbin/nginx" : "/usr/bin/nginx";
    port = freePort();
    const std::string conf = dir + "/nginx.conf";
    FILE *f = fopen(conf.c_str(), "w");
    if (!f || port == 0) return false;
    fprintf(f,
            "daemon off; %s worker_processes auto; pid %s/nginx.pid; error_log %s/error.log;\n"
            "events { worker_connections 1024; }\n"
            "http { access_log off; sendfile on; tcp_nopush on; keepalive_requests 1000000;\n"
            "  client_body_temp_path %s/body; proxy_temp_path %s/proxy;\n"
            "  fastcgi_temp_path %s/fcgi; uwsgi_temp_path %s/uwsgi; scgi_temp_path %s/scgi;\n"
            "  types { image/jpeg tn; }\n"
            "  server { listen 127.0.0.1:%d; root %s; } }\n",
            // Its workers read the service's own (private) files as the same user.
            getuid() == 0 ? "user root;" : "", dir.c_str(), dir.c_str(), dir.c_str(), dir.c_str(),
            dir.c_str(), dir.c_str(), dir.c_str(), port, root.c_str());
    fclose(f);
    m_pid = fork();
    if (m_pid == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      execl(bin, bin, "-p", dir.c_str(), "-c", conf.c_str(), "-e", (dir + "/error.log").c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    // Up when it answers (at most 10 s).
    for (int i = 0; i < 1000; i++) {
      Client c(port);
      std::string out;
      if (c.get("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", &out) > 0) return true;
      if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
      }
      usleep(10000);
    }
    return false;
  }
  ~Nginx() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
  }
  int port = 0;

 private:
  pid_t m_pid = -1;
};

struct Setup {
  benchsvc::Service svc;
  Nginx nginx;
  int64_t firstId = 0;
  bool ok = false;
  Setup() {
    ok = svc.start("tesselsvc-web", {"--quota", "100000000000"}, [this](const std::string &data) {
      return seedPhotos(data, svc.service, &firstId);
    });
    ok = ok && nginx.start(svc.dir, svc.dir + "/data/files/" + svc.service);
  }
};

Setup &setup() {
  static Setup s;
  return s;
}

void BM_WebThumbnails(benchmark::State &state) {
  Setup &s = setup();
  if (!s.ok) {
    state.SkipWithError("tesselsvc or nginx did not start (are convert and nginx installed?)");
    return;
  }
  const bool nginx = state.range(0) == 1, asset = state.range(0) == 2;
  const int port = nginx ? s.nginx.port : s.svc.port;
  std::atomic<int> failures{0};
  std::atomic<int64_t> bytes{0};
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; t++) {
      threads.emplace_back([&, t] {
        auto c = std::make_unique<Client>(port);
        std::string out;
        uint32_t x = 2463534242u + static_cast<uint32_t>(t);
        for (int i = t; i < kRequests; i += kClients) {
          x ^= x << 13;
          x ^= x >> 17;
          x ^= x << 5;
          const std::string id = std::to_string(s.firstId + x % kPhotos);
          const std::string head =
              nginx ? "GET /" + id + ".tn HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
              : asset
                  ? "GET /web/static/mark.svg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                  : "GET /web/file/" + s.svc.service + "/" + id +
                        "/tn HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: tesselweb=" + s.svc.token +
                        "\r\n\r\n";
          const int status = c->get(head, &out);
          if (status != 200 || out.size() < 4 ||
              (!asset && (static_cast<unsigned char>(out[0]) != 0xff ||
                          static_cast<unsigned char>(out[1]) != 0xd8))) {
            if (failures++ == 0)
              std::fprintf(stderr, "%s: status %d for %s\n", nginx ? "nginx" : "tesselsvc",
                           status, head.substr(0, head.find('\r')).c_str());
            c = std::make_unique<Client>(port);
            continue;
          }
          bytes += static_cast<int64_t>(out.size());
        }
      });
    }
    for (auto &t : threads) t.join();
  }
  if (failures.load() > 0) state.SkipWithError("some thumbnails were not served");
  const double n = static_cast<double>(kRequests) * static_cast<double>(state.iterations());
  state.counters["thumbs_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["MB_per_s"] =
      benchmark::Counter(static_cast<double>(bytes.load()) / 1e6, benchmark::Counter::kIsRate);
  state.SetLabel(nginx ? "nginx" : asset ? "tesselsvc, a page's icon" : "tesselsvc");
}

// tesselsvc's rate over nginx's, beside nginx's figures (the counters are rates by now).
class ShareReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    std::vector<Run> out = runs;
    for (Run &r : out) {
      auto it = r.counters.find("thumbs_per_s");
      if (it == r.counters.end()) continue;
      const double rate = it->second.value;
      if (r.report_label == "tesselsvc") m_svc = rate;
      if (r.report_label == "nginx" && m_svc > 0) r.counters["svc_share"] = m_svc / rate;
    }
    ConsoleReporter::ReportRuns(out);
  }

 private:
  double m_svc = 0;
};

BENCHMARK(BM_WebThumbnails)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WebPhotoList(benchmark::State &state) {
  Setup &s = setup();
  if (!s.ok) {
    state.SkipWithError("tesselsvc did not start");
    return;
  }
  int pages = 0, items = 0, failures = 0;
  for (auto _ : state) {
    Client c(s.svc.port);
    std::string cursor, out;
    for (;;) {
      const std::string head = "GET /web/api/photos?d=" + s.svc.service + "&n=120" +
                               (cursor.empty() ? "" : "&before=" + cursor) +
                               " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: tesselweb=" +
                               s.svc.token + "\r\n\r\n";
      if (c.get(head, &out) != 200) {
        failures++;
        break;
      }
      pages++;
      for (size_t p = 0; (p = out.find("\"kind\":", p)) != std::string::npos; p++) items++;
      const size_t next = out.rfind("\"next\":\"");
      if (next == std::string::npos) break;
      cursor = out.substr(next + 8, out.find('"', next + 8) - next - 8);
    }
  }
  if (failures > 0 || items != kPhotos * static_cast<int>(state.iterations()))
    state.SkipWithError("the walk did not see every photo once");
  state.counters["pages_per_s"] =
      benchmark::Counter(static_cast<double>(pages), benchmark::Counter::kIsRate);
  state.counters["photos_per_s"] =
      benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WebPhotoList)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  ShareReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
