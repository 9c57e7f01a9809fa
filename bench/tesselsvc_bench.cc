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

namespace {

constexpr int kFiles = 1000;
constexpr int kClients = 8;
constexpr size_t kFileSize = 1 << 20;

std::string g_dir, g_dev, g_sid, g_token;
int g_port = 0;
pid_t g_pid = -1;
std::vector<std::string> g_ids;

std::string tesselsvcPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  buf[n > 0 ? n : 0] = 0;
  return (std::filesystem::path(buf).parent_path().parent_path() / "bin" / "tesselsvc").string();
}

std::string jsonField(const std::string &s, const std::string &name) {
  size_t p = s.find("\"" + name + "\":");
  if (p == std::string::npos) return std::string();
  p = s.find('"', p + name.size() + 3);
  return s.substr(p + 1, s.find('"', p + 1) - p - 1);
}

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
  const char *tmpdir = std::getenv("TMPDIR");
  std::string pattern = std::string(tmpdir ? tmpdir : "/tmp") + "/tesselsvc-bench-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) return false;
  g_dir = buf.data();
  std::string bin = tesselsvcPath();
  std::string cmd = bin + " adduser --data " + g_dir + "/data bench pw --quota 8000000000";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return false;
  char line[1024] = "";
  if (!fgets(line, sizeof line, p)) line[0] = 0;
  pclose(p);
  g_token = jsonField(line, "token");
  g_dev = jsonField(line, "deviceid");
  g_sid = jsonField(line, "serviceids");
  if (g_token.empty()) return false;
  int fds[2];
  if (pipe(fds) != 0) return false;
  g_pid = fork();
  if (g_pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    std::string data = g_dir + "/data";
    execl(bin.c_str(), bin.c_str(), "serve", "--data", data.c_str(), "--listen", "127.0.0.1:0",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string first;
  pollfd pf{fds[0], POLLIN, 0};
  while (first.find('\n') == std::string::npos && poll(&pf, 1, 20000) > 0) {
    char c[256];
    ssize_t r = read(fds[0], c, sizeof c);
    if (r <= 0) break;
    first.append(c, static_cast<size_t>(r));
  }
  close(fds[0]);
  if (std::sscanf(first.c_str(), "tesselsvc: listening on 127.0.0.1:%d", &g_port) != 1)
    return false;
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
  if (g_pid > 0) {
    kill(g_pid, SIGTERM);
    int st;
    waitpid(g_pid, &st, 0);
    g_pid = -1;
  }
  if (!g_dir.empty()) std::filesystem::remove_all(g_dir);
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

}  // namespace
