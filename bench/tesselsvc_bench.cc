// Upload throughput of the reference drive service: 1 000 files of 1 MB PUT by 8 concurrent
// clients over keep-alive connections, against the real tesselsvc with a temporary data folder.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
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
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(g_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      close(m_fd);
      m_fd = -1;
    }
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

void stopService() { g_svc.stop(); }

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

}  // namespace
