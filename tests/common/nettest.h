// Loopback peers for the networking tests: a TCP server on 127.0.0.1 that runs a scripted
// handler for each accepted connection in its own thread, and small helpers for the scripts.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

inline bool sendAll(int fd, const void *data, size_t len) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}
inline bool sendAll(int fd, const std::string &s) { return sendAll(fd, s.data(), s.size()); }

// Waits at most `ms` for readability; false on time-out.
inline bool waitReadable(int fd, int ms) {
  pollfd p = {fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

// Reads until the blank line after the request header (at most 10 s); the bytes after it stay
// in *rest.
inline bool readHeader(int fd, std::string *header, std::string *rest = nullptr) {
  std::string buf;
  char tmp[4096];
  for (;;) {
    const size_t end = buf.find("\r\n\r\n");
    if (end != std::string::npos) {
      *header = buf.substr(0, end + 4);
      if (rest) *rest = buf.substr(end + 4);
      return true;
    }
    if (!waitReadable(fd, 10000)) return false;
    const ssize_t n = ::recv(fd, tmp, sizeof(tmp), 0);
    if (n <= 0) return false;
    buf.append(tmp, static_cast<size_t>(n));
  }
}

// Reads until `want` bytes are in *buf or the peer closes (at most 10 s of silence).
inline bool readBytes(int fd, std::string *buf, size_t want) {
  char tmp[65536];
  while (buf->size() < want) {
    if (!waitReadable(fd, 10000)) return false;
    const ssize_t n = ::recv(fd, tmp, sizeof(tmp), 0);
    if (n <= 0) return false;
    buf->append(tmp, static_cast<size_t>(n));
  }
  return true;
}

// Reads until the peer closes or `ms` of silence.
inline std::string readAll(int fd, int ms = 10000) {
  std::string buf;
  char tmp[65536];
  while (waitReadable(fd, ms)) {
    const ssize_t n = ::recv(fd, tmp, sizeof(tmp), 0);
    if (n <= 0) break;
    buf.append(tmp, static_cast<size_t>(n));
  }
  return buf;
}

// Decodes a chunked body that starts at the front of *buf, reading more from `fd` as needed.
// Returns false on a framing error.
inline bool readChunked(int fd, std::string *buf, std::string *body) {
  size_t pos = 0;
  for (;;) {
    size_t eol;
    while ((eol = buf->find("\r\n", pos)) == std::string::npos)
      if (!readBytes(fd, buf, buf->size() + 1)) return false;
    const std::string line = buf->substr(pos, eol - pos);
    char *end = nullptr;
    const unsigned long size = strtoul(line.c_str(), &end, 16);
    if (end == line.c_str()) return false;
    pos = eol + 2;
    if (size == 0) {
      while (buf->find("\r\n", pos) == std::string::npos)
        if (!readBytes(fd, buf, buf->size() + 1)) return false;
      return buf->compare(pos, 2, "\r\n") == 0;
    }
    if (!readBytes(fd, buf, pos + size + 2)) return false;
    body->append(*buf, pos, size);
    if (buf->compare(pos + size, 2, "\r\n") != 0) return false;
    pos += size + 2;
  }
}

inline std::string headerValue(const std::string &header, const std::string &name) {
  std::string lower = header;
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string key = "\r\n" + name + ":";
  for (char &c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  const size_t p = lower.find(key);
  if (p == std::string::npos) return "";
  size_t v = p + key.size();
  while (v < header.size() && header[v] == ' ') ++v;
  return header.substr(v, header.find("\r\n", v) - v);
}

// A loopback TCP server. `handler(fd, index)` runs in a thread of its own for each accepted
// connection (index counts from 0); the connection is closed when it returns. Handlers must end
// by themselves (every wait in them is bounded); stop() joins them.
class ScriptServer {
 public:
  using Handler = std::function<void(int fd, int index)>;

  // `rcvbuf` > 0 sets a small receive buffer on the accepted sockets, to make writers stall.
  explicit ScriptServer(Handler handler, int rcvbuf = 0) : m_handler(std::move(handler)) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (rcvbuf > 0) setsockopt(m_listen, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = 0;
    if (::bind(m_listen, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0) abort();
    socklen_t len = sizeof(sin);
    getsockname(m_listen, reinterpret_cast<sockaddr *>(&sin), &len);
    m_port = ntohs(sin.sin_port);
    ::listen(m_listen, 128);
    m_thread = std::thread([this] { run(); });
  }
  ~ScriptServer() { stop(); }

  void stop() {
    if (m_stopped.exchange(true)) return;
    m_thread.join();
    ::close(m_listen);
  }

  int port() const { return m_port; }
  int accepted() const { return m_accepted.load(); }
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(m_port); }

 private:
  void run() {
    int index = 0;
    while (!m_stopped.load()) {
      pollfd p = {m_listen, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++m_accepted;
      const int i = index++;
      m_workers.emplace_back([this, fd, i] {
        m_handler(fd, i);
        ::close(fd);
      });
    }
    for (std::thread &t : m_workers) t.join();
  }

  Handler m_handler;
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stopped{false};
  std::atomic<int> m_accepted{0};
  std::thread m_thread;
  std::vector<std::thread> m_workers;
};

// nginx serving a folder on loopback, with PUT (its dav methods) allowed, started from a
// configuration in `dir`. ok() is false when nginx is not installed or did not come up.
class Nginx {
 public:
  Nginx(const std::string &dir, int port) : m_port(port) {
    const char *bin = nullptr;
    for (const char *c : {"/usr/sbin/nginx", "/usr/bin/nginx"})
      if (access(c, X_OK) == 0) bin = c;
    if (!bin) return;
    m_root = dir + "/www";
    mkdir(m_root.c_str(), 0700);
    const std::string conf = dir + "/nginx.conf";
    FILE *f = fopen(conf.c_str(), "w");
    if (!f) return;
    fprintf(f,
            "daemon off; master_process off; pid %s/nginx.pid; error_log %s/error.log;\n"
            "events { worker_connections 256; }\n"
            "http { access_log off; sendfile on; keepalive_requests 100000;\n"
            "  client_body_temp_path %s/body; proxy_temp_path %s/proxy;\n"
            "  fastcgi_temp_path %s/fcgi; uwsgi_temp_path %s/uwsgi; scgi_temp_path %s/scgi;\n"
            "  server { listen 127.0.0.1:%d; root %s; client_max_body_size 0;\n"
            "    location / { dav_methods PUT DELETE; create_full_put_path on; } } }\n",
            dir.c_str(), dir.c_str(), dir.c_str(), dir.c_str(), dir.c_str(), dir.c_str(),
            dir.c_str(), port, m_root.c_str());
    fclose(f);
    const std::string errlog = dir + "/error.log";
    m_pid = fork();
    if (m_pid == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      execl(bin, bin, "-p", dir.c_str(), "-c", conf.c_str(), "-e", errlog.c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    // Up when the port accepts a connection (at most 5 s).
    for (int i = 0; i < 500 && m_pid > 0; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sin{};
      sin.sin_family = AF_INET;
      sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sin.sin_port = htons(static_cast<uint16_t>(port));
      const bool up = ::connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) == 0;
      ::close(fd);
      if (up) {
        m_ok = true;
        break;
      }
      int status;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        break;
      }
      usleep(10000);
    }
  }
  ~Nginx() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int status;
      waitpid(m_pid, &status, 0);
    }
  }
  bool ok() const { return m_ok; }
  const std::string &root() const { return m_root; }
  std::string url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
  }

 private:
  int m_port;
  pid_t m_pid = -1;
  bool m_ok = false;
  std::string m_root;
};

}  // namespace nettest
