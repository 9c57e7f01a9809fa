// Starts the reference drive service for a benchmark: a temporary data folder, one user made
// with "tesselsvc adduser", and "tesselsvc serve" on a free loopback port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace benchsvc {

// A TCP connection to a loopback port, without Nagle's delay: the descriptor, or -1.
inline int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// Reads the first line a starting tesselsvc prints on `fd` (closed afterwards) and the port it
// listens on from it.
inline bool readListeningPort(int fd, int *port) {
  std::string first;
  pollfd pf{fd, POLLIN, 0};
  while (first.find('\n') == std::string::npos && poll(&pf, 1, 20000) > 0) {
    char c[256];
    const ssize_t r = read(fd, c, sizeof c);
    if (r <= 0) break;
    first.append(c, static_cast<size_t>(r));
  }
  close(fd);
  return std::sscanf(first.c_str(), "tesselsvc: listening on 127.0.0.1:%d", port) == 1;
}

// The first quoted text after "name": in a line of JSON.
inline std::string jsonField(const std::string &s, const std::string &name) {
  size_t p = s.find("\"" + name + "\":");
  if (p == std::string::npos) return std::string();
  p = s.find('"', p + name.size() + 3);
  if (p == std::string::npos) return std::string();
  return s.substr(p + 1, s.find('"', p + 1) - p - 1);
}

class Service {
 public:
  ~Service() { stop(); }

  // `tag` names the temporary folder; `adduserExtra` are further adduser options; `seed`, when
  // given, works on the data folder (its path) after adduser and before serve.
  bool start(const std::string &tag, const std::vector<std::string> &adduserExtra = {},
             const std::function<bool(const std::string &)> &seed = nullptr) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return false;
    dir = buf.data();
    const std::string data = dir + "/data";
    const std::string bin = binPath();
    std::string cmd = bin + " adduser --data " + data + " bench pw";
    for (const std::string &a : adduserExtra) cmd += " " + a;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return false;
    char line[1024] = "";
    if (!fgets(line, sizeof line, p)) line[0] = 0;
    pclose(p);
    token = jsonField(line, "token");
    device = jsonField(line, "deviceid");
    service = jsonField(line, "serviceids");
    int fds[2];
    if (token.empty() || (seed && !seed(data)) || pipe(fds) != 0) return false;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      execl(bin.c_str(), bin.c_str(), "serve", "--data", data.c_str(), "--listen", "127.0.0.1:0",
            static_cast<char *>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    return readListeningPort(fds[0], &port);
  }

  void stop() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int st;
      waitpid(m_pid, &st, 0);
      m_pid = -1;
    }
    if (!dir.empty()) std::filesystem::remove_all(dir);
    dir.clear();
  }

  std::string dir, token, device, service;
  int port = 0;

 private:
  // build/bin/tesselsvc, beside the benchmark's own folder.
  static std::string binPath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    buf[n > 0 ? n : 0] = 0;
    return (std::filesystem::path(buf).parent_path().parent_path() / "bin" / "tesselsvc")
        .string();
  }

  pid_t m_pid = -1;
};

}  // namespace benchsvc
