// Upload throughput of the reference drive service, against the real tesselsvc with a temporary
// data folder:
//
//   BM_TesselsvcPut1000x1MB  1 000 files of 1 MB PUT by 8 concurrent clients over keep-alive
//                            connections;
//   BM_TesselsvcPhotos/N     5 000 small photos sent one after another as the import sends them
//                            (createFile with a photo's fields, the picture, its thumbnail) into a
//                            drive already holding N entries (0 or 100 000, written straight into
//                            meta.db before the service starts): what a full drive costs a backup.
//                            Each upload is synced to disk; with TMPDIR on a tmpfs the figures
//                            show the service's own work rather than the disk's.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
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

constexpr int kFiles = 1000;
constexpr int kClients = 8;
constexpr size_t kFileSize = 1 << 20;

std::string g_dev, g_sid, g_token;
int g_port = 0;
std::vector<std::string> g_ids;

benchsvc::Service g_svc;

// A keep-alive HTTP/1.1 connection to the service.
class Client {
 public:
  Client() {
    m_fd = benchsvc::connectLoopback(g_port);
  }
  ~Client() {
    if (m_fd >= 0) close(m_fd);
  }
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  // Sends one request and returns the status (-1 on failure); the answer's body goes to `out`.
  int exchange(const std::string &head, const char *body, size_t len, std::string *out) {
    if (m_fd < 0 || !sendAll(head.data(), head.size()) || !sendAll(body, len)) return -1;
    std::string buf;
    size_t end;
    while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
      if (!recvMore(&buf)) return -1;
    }
    int status = std::atoi(buf.c_str() + 9);
    size_t clPos = buf.find("Content-Length: ");
    size_t cl = clPos < end ? std::strtoul(buf.c_str() + clPos + 16, nullptr, 10) : 0;
    while (buf.size() < end + 4 + cl)
      if (!recvMore(&buf)) return -1;
    *out = buf.substr(end + 4, cl);
    return status;
  }

 private:
  bool sendAll(const char *p, size_t n) {
    while (n > 0) {
      ssize_t w = send(m_fd, p, n, MSG_NOSIGNAL);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  bool recvMore(std::string *buf) {
    char tmp[16384];
    ssize_t r = recv(m_fd, tmp, sizeof tmp, 0);
    if (r <= 0) return false;
    buf->append(tmp, static_cast<size_t>(r));
    return true;
  }
  int m_fd = -1;
};

std::string soap(const std::string &method, const std::string &args) {
  std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><soapenv:Envelope "
      "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body><" +
      method + ">" + args + "</" + method + "></soapenv:Body></soapenv:Envelope>";
  return "POST /svc/api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nSoapAction: " +
         method + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool startService() {
  if (!g_svc.start("tesselsvc-bench", {"--quota", "8000000000"})) return false;
  g_token = g_svc.token;
  g_dev = g_svc.device;
  g_sid = g_svc.service;
  g_port = g_svc.port;
  Client c;
  std::string out;
  std::string drive = "<valtoken>" + g_token + "</valtoken><deviceid>" + g_dev +
                      "</deviceid><serviceid>" + g_sid + "</serviceid>";
  for (int i = 0; i < kFiles; i++) {
    std::string head = soap("createFile", drive + "<filename>f" + std::to_string(i) +
                                              ".bin</filename><size>1048576</size>");
    if (c.exchange(head, nullptr, 0, &out) != 200) return false;
    size_t f = out.find("<fileid");
    f = out.find('>', f);
    g_ids.push_back(out.substr(f + 1, out.find('<', f) - f - 1));
  }
  return true;
}

void stopService() {
  g_svc.stop();
}

void BM_TesselsvcPut1000x1MB(benchmark::State &state) {
  if (!startService()) {
    stopService();
    state.SkipWithError("tesselsvc did not start");
    return;
  }
  std::string payload(kFileSize, '\0');
  for (size_t i = 0; i < payload.size(); i++)
    payload[i] = static_cast<char>((i * 2654435761u) >> 13);
  std::atomic<int> failures{0};
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; t++) {
      threads.emplace_back([&, t] {
        Client c;
        std::string out;
        for (int i = t; i < kFiles; i += kClients) {
          std::string head = "PUT /svc/files/" + g_dev + "/" + g_sid + "/" + g_ids[i] +
                             " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: valtoken=" + g_token +
                             "\r\nX-VXVALTOKEN: " + g_token +
                             "\r\nContent-Length: " + std::to_string(payload.size()) + "\r\n\r\n";
          if (c.exchange(head, payload.data(), payload.size(), &out) != 200) failures++;
        }
      });
    }
    for (auto &t : threads) t.join();
  }
  stopService();
  if (failures.load() > 0) state.SkipWithError("some uploads failed");
  double n = static_cast<double>(kFiles) * static_cast<double>(state.iterations());
  state.counters["files_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["MB_per_s"] =
      benchmark::Counter(n * static_cast<double>(kFileSize) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TesselsvcPut1000x1MB)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The text of the first element `name` in a SOAP answer.
std::string soapField(const std::string &xml, const std::string &name) {
  size_t f = xml.find("<" + name);
  if (f == std::string::npos) return std::string();
  f = xml.find('>', f);
  return xml.substr(f + 1, xml.find('<', f) - f - 1);
}

// `entries` files and folders (100 folders of files, each file with its content and thumbnail
// recorded) written into the drive's meta.db in one transaction, with the drive's used space.
bool seedDrive(const std::string &data, const std::string &service, int entries) {
  sqlite3 *db = nullptr;
  if (sqlite3_open((data + "/meta.db").c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return false;
  }
  bool ok = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt *file = nullptr, *stream = nullptr;
  ok =
      ok &&
      sqlite3_prepare_v2(db,
                         "INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta)"
                         " VALUES(?,?,?,?,?,?,?)",
                         -1, &file, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "INSERT INTO streams(fileid, stream, serviceid, size) VALUES(?,?,?,?)",
                         -1, &stream, nullptr) == SQLITE_OK;
  const int folders = 100;
  int64_t used = 0, parent = 0;
  for (int i = 0; ok && i < entries; i++) {
    const bool folder = i % (entries / folders) == 0;
    const std::string name =
        folder ? "Folder " + std::to_string(i) : "IMG_" + std::to_string(i) + ".JPG";
    const int64_t meta = 128 + static_cast<int64_t>(name.size()) + 40;
    sqlite3_reset(file);
    sqlite3_bind_text(file, 1, service.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(file, 2, folder ? 0 : parent);
    sqlite3_bind_text(file, 3, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(file, 4, folder ? 1 : 0);
    sqlite3_bind_int64(file, 5, 1500000000000LL + i);
    sqlite3_bind_int64(file, 6, 1500000000000LL + i);
    sqlite3_bind_int64(file, 7, meta);
    ok = sqlite3_step(file) == SQLITE_DONE;
    used += meta;
    const int64_t id = sqlite3_last_insert_rowid(db);
    if (folder) {
      parent = id;
      continue;
    }
    for (const char *s : {"", "tn"}) {
      const int64_t size = *s ? 3000 : 20000;
      sqlite3_reset(stream);
      sqlite3_bind_int64(stream, 1, id);
      sqlite3_bind_text(stream, 2, s, -1, SQLITE_STATIC);
      sqlite3_bind_text(stream, 3, service.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(stream, 4, size);
      ok = ok && sqlite3_step(stream) == SQLITE_DONE;
      used += size;
    }
  }
  sqlite3_finalize(file);
  sqlite3_finalize(stream);
  // Folders of a service that keeps its used space on the drive's row get it there.
  sqlite3_stmt *col = nullptr;
  bool hasUsed = false;
  if (sqlite3_prepare_v2(db, "SELECT 1 FROM pragma_table_info('services') WHERE name='used'", -1,
                         &col, nullptr) == SQLITE_OK)
    hasUsed = sqlite3_step(col) == SQLITE_ROW;
  sqlite3_finalize(col);
  if (ok && hasUsed) {
    const std::string sql = "UPDATE services SET used=used+" + std::to_string(used);
    ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ok = sqlite3_exec(db, ok ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
  sqlite3_close(db);
  return ok;
}

void BM_TesselsvcPhotos(benchmark::State &state) {
  constexpr int kPhotos = 5000;
  const int entries = static_cast<int>(state.range(0));
  benchsvc::Service svc;
  if (!svc.start("tesselsvc-photos", {"--quota", "100000000000"}, [&](const std::string &data) {
        return entries == 0 || seedDrive(data, svc.service, entries);
      })) {
    state.SkipWithError("tesselsvc did not start");
    return;
  }
  g_port = svc.port;
  const std::string drive = "<valtoken>" + svc.token + "</valtoken><deviceid>" + svc.device +
                            "</deviceid><serviceid>" + svc.service + "</serviceid>";
  std::string picture(16000, '\0'), thumb(3000, '\0');
  for (size_t i = 0; i < picture.size(); i++)
    picture[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (size_t i = 0; i < thumb.size(); i++) thumb[i] = static_cast<char>(i * 7);
  int failures = 0, run = 0;
  Client c;
  for (auto _ : state) {
    std::string out;
    if (c.exchange(soap("createFile", drive + "<filename>Backup " + std::to_string(run++) +
                                          "</filename><type>1</type><ctime>1500000000000</ctime>"),
                   nullptr, 0, &out) != 200) {
      failures++;
      break;
    }
    const std::string folder = soapField(out, "fileid");
    for (int i = 0; i < kPhotos; i++) {
      const std::string ms = std::to_string(1600000000000LL + i * 1000);
      std::string head =
          soap("createFile",
               drive + "<parentid>" + folder + "</parentid><filename>IMG_" + std::to_string(i) +
                   ".JPG</filename><origin>BENCH</origin><type>0</type><ctime>" + ms +
                   "</ctime><mtime>" + ms +
                   "</mtime><mimetype>image/jpeg</mimetype><EXIF-Make>Camera</EXIF-Make>"
                   "<EXIF-Model>One</EXIF-Model><origtime>" +
                   ms + "</origtime>");
      if (c.exchange(head, nullptr, 0, &out) != 200) {
        failures++;
        continue;
      }
      const std::string fid = soapField(out, "fileid");
      for (const std::string *body : {&picture, &thumb}) {
        head = "PUT /svc/files/" + svc.device + "/" + svc.service + "/" + fid +
               (body == &thumb ? "/tn" : "") +
               " HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: valtoken=" + svc.token +
               "\r\nX-VXVALTOKEN: " + svc.token +
               "\r\nContent-Length: " + std::to_string(body->size()) + "\r\n\r\n";
        if (c.exchange(head, body->data(), body->size(), &out) != 200) failures++;
      }
    }
  }
  svc.stop();
  if (failures > 0) state.SkipWithError("some calls or uploads failed");
  state.counters["photos_per_s"] =
      benchmark::Counter(static_cast<double>(kPhotos) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TesselsvcPhotos)
    ->Arg(0)
    ->Arg(100000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
