// The service's HTTP/1.1 server over plain sockets and OpenSSL.
#include "svchttp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace tessel::svc {

namespace {

constexpr size_t kMaxHeaderBytes = 16384;
constexpr size_t kMaxHeaders = 100;
constexpr int kIoTimeoutMs = 30000;
constexpr int kIdleTimeoutMs = 60000;
constexpr int kMaxConnections = 512;

const char *reason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 507:
      return "Insufficient Storage";
    default:
      return "Status";
  }
}

std::string lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

struct SslDeleter {
  void operator()(SSL *s) const { SSL_free(s); }
};

}  // namespace

// One accepted connection: buffered reads with time-outs, over TLS or plain.
class HttpConn final : public HttpSource {
 public:
  HttpConn(HttpServer *server, int fd) : m_server(server), m_fd(fd) {}
  ~HttpConn() {
    if (m_ssl) {
      SSL_shutdown(m_ssl.get());
    }
    close(m_fd);
  }

  bool startTls(SSL_CTX *ctx) {
    m_ssl.reset(SSL_new(ctx));
    if (!m_ssl || SSL_set_fd(m_ssl.get(), m_fd) != 1) return false;
    if (SSL_accept(m_ssl.get()) != 1) {
      ERR_clear_error();
      m_ssl.reset();
      return false;
    }
    return true;
  }
  bool tls() const { return m_ssl != nullptr; }

  // Waits for input; false on time-out, or when idle and the server is stopping.
  bool waitReadable(int timeoutMs, bool idle) {
    if (buffered()) return true;
    if (m_ssl && SSL_pending(m_ssl.get()) > 0) return true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (idle && m_server->m_stopping.load()) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      pollfd p{m_fd, POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(std::min<long>(left, idle ? 200 : left)));
      if (r > 0) return true;
      if (r < 0 && errno != EINTR) return false;
    }
  }

  long rawRead(char *buf, size_t n) override {
    if (!waitReadable(kIoTimeoutMs, false)) return -1;
    if (m_ssl) {
      int r = SSL_read(m_ssl.get(), buf, static_cast<int>(std::min<size_t>(n, 1 << 30)));
      if (r > 0) return r;
      int e = SSL_get_error(m_ssl.get(), r);
      ERR_clear_error();
      return e == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    for (;;) {
      ssize_t r = recv(m_fd, buf, n, 0);
      if (r >= 0) return static_cast<long>(r);
      if (errno != EINTR) return -1;
    }
  }

  using HttpSource::writeAll;
  bool writeAll(const char *p, size_t n) override {
    while (n > 0) {
      long w;
      if (m_ssl) {
        w = SSL_write(m_ssl.get(), p, static_cast<int>(std::min<size_t>(n, 1 << 20)));
        if (w <= 0) {
          ERR_clear_error();
          return false;
        }
      } else {
        w = send(m_fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
          if (errno == EINTR) continue;
          return false;
        }
      }
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  // After an answer that leaves part of a request body unread: stop sending and swallow what
  // the client still sends for a moment, so that a reset does not destroy the answer.
  void lingerClose() {
    if (m_ssl) {
      SSL_shutdown(m_ssl.get());
      m_ssl.reset();
    }
    shutdown(m_fd, SHUT_WR);
    char tmp[16384];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    size_t total = 0;
    while (std::chrono::steady_clock::now() < deadline && total < (64u << 20)) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t r = recv(m_fd, tmp, sizeof tmp, 0);
      if (r <= 0) break;
      total += static_cast<size_t>(r);
    }
  }

 private:
  HttpServer *m_server;
  int m_fd;
  std::unique_ptr<SSL, SslDeleter> m_ssl;
};

long HttpSource::read(char *buf, size_t n) {
  if (m_pos < m_buf.size()) {
    size_t k = std::min(n, m_buf.size() - m_pos);
    std::memcpy(buf, m_buf.data() + m_pos, k);
    m_pos += k;
    return static_cast<long>(k);
  }
  return rawRead(buf, n);
}

int HttpSource::readLine(std::string *line, size_t limit) {
  line->clear();
  for (;;) {
    size_t nl = m_buf.find('\n', m_pos);
    if (nl != std::string::npos) {
      if (nl - m_pos > limit) return -2;
      line->assign(m_buf, m_pos, nl - m_pos);
      m_pos = nl + 1;
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return 0;
    }
    if (m_buf.size() - m_pos > limit) return -2;
    if (m_pos > 0) {
      m_buf.erase(0, m_pos);
      m_pos = 0;
    }
    char tmp[8192];
    long r = rawRead(tmp, sizeof tmp);
    if (r <= 0) return -1;
    m_buf.append(tmp, static_cast<size_t>(r));
  }
}

const std::string *HttpRequest::header(const std::string &lowerName) const {
  for (const auto &h : headers)
    if (h.first == lowerName) return &h.second;
  return nullptr;
}

void HttpResponse::set(const std::string &name, const std::string &value) {
  for (auto &h : headers) {
    if (lower(h.first) == lower(name)) {
      h.second = value;
      return;
    }
  }
  headers.emplace_back(name, value);
}

int svchttp__readHead(HttpSource *src, HttpRequest *req) {
  std::string line;
  int lr = src->readLine(&line, 8192);
  if (lr == -1) return -1;
  if (lr == -2) return 431;
  size_t headerBytes = line.size();
  size_t s1 = line.find(' '), s2 = line.rfind(' ');
  if (s1 == std::string::npos || s2 == s1) return 400;
  req->method = line.substr(0, s1);
  req->target = line.substr(s1 + 1, s2 - s1 - 1);
  std::string version = line.substr(s2 + 1);
  if (version == "HTTP/1.0")
    req->http10 = true;
  else if (version != "HTTP/1.1")
    return 400;
  if (req->method.empty() || req->target.empty() || req->target.size() > 4096 ||
      req->target.find_first_of(" \t") != std::string::npos)
    return 400;
  for (;;) {
    int hr = src->readLine(&line, kMaxHeaderBytes);
    if (hr == -1) return 400;
    headerBytes += line.size() + 2;
    if (hr == -2 || headerBytes > kMaxHeaderBytes || req->headers.size() >= kMaxHeaders) return 431;
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || line.find_first_of(" \t") < colon) return 400;
    req->headers.emplace_back(lower(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
  const std::string *te = req->header("transfer-encoding");
  const std::string *cl = req->header("content-length");
  int clCount = 0;
  for (const auto &h : req->headers) clCount += h.first == "content-length";
  if (te) {
    // Both framings at once is how requests get smuggled: refuse it.
    if (lower(*te) != "chunked" || cl) return 400;
    req->hasBody = true;
    req->contentLength = -1;
  } else if (cl) {
    if (clCount > 1 || cl->empty() || cl->size() > 18 ||
        cl->find_first_not_of("0123456789") != std::string::npos)
      return 400;
    req->contentLength = std::stoll(*cl);
    req->hasBody = req->contentLength > 0;
  } else {
    req->contentLength = 0;
  }
  size_t q = req->target.find('?');
  req->path = req->target.substr(0, q);
  if (q != std::string::npos) req->query = req->target.substr(q + 1);
  return 0;
}

HttpBody::HttpBody(HttpSource *conn, const HttpRequest &req)
    : m_conn(conn),
      m_chunked(req.hasBody && req.contentLength < 0),
      m_left(req.hasBody ? (req.contentLength < 0 ? 0 : req.contentLength) : 0) {
  const std::string *e = req.header("expect");
  m_expectContinue = e && lower(*e) == "100-continue" && !req.http10;
  m_done = !req.hasBody || (!m_chunked && m_left == 0);
}

bool HttpBody::nextChunk() {
  std::string line;
  if (m_chunkCrlf) {
    // The CR LF after the previous chunk's data.
    if (m_conn->readLine(&line, 2) != 0 || !line.empty()) return false;
    m_chunkCrlf = false;
  }
  if (m_conn->readLine(&line, 1024) != 0) return false;
  size_t semi = line.find(';');
  std::string hex = trim(line.substr(0, semi));
  if (hex.empty() || hex.size() > 15) return false;
  int64_t size = 0;
  for (char c : hex) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    size = size * 16 + d;
  }
  if (size == 0) {
    // Trailer fields up to the empty line.
    for (int i = 0; i < 64; i++) {
      if (m_conn->readLine(&line, 8192) != 0) return false;
      if (line.empty()) {
        m_done = true;
        return true;
      }
    }
    return false;
  }
  m_left = size;
  m_chunkCrlf = true;
  return true;
}

long HttpBody::read(char *buf, size_t n) {
  if (m_failed) return -1;
  if (m_done) return 0;
  if (m_expectContinue && !m_conn->sentContinue) {
    m_conn->sentContinue = true;
    if (!m_conn->writeAll("HTTP/1.1 100 Continue\r\n\r\n")) {
      m_failed = true;
      return -1;
    }
  }
  if (m_chunked && m_left == 0) {
    if (!nextChunk()) {
      m_failed = true;
      return -1;
    }
    if (m_done) return 0;
  }
  long r =
      m_conn->read(buf, static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), m_left)));
  if (r <= 0) {
    m_failed = true;
    return -1;
  }
  m_left -= r;
  m_received += r;
  if (!m_chunked && m_left == 0) m_done = true;
  return r;
}

bool HttpBody::readAll(std::string *out, size_t limit) {
  out->clear();
  char tmp[16384];
  for (;;) {
    long r = read(tmp, sizeof tmp);
    if (r < 0) return false;
    if (r == 0) return true;
    if (out->size() + static_cast<size_t>(r) > limit) return false;
    out->append(tmp, static_cast<size_t>(r));
  }
}

HttpServer::~HttpServer() {
  if (m_listenFd >= 0) close(m_listenFd);
  for (int fd : m_wakePipe)
    if (fd >= 0) close(fd);
  if (m_ssl) SSL_CTX_free(m_ssl);
}

bool HttpServer::listen(const std::string &host, int port, const std::string &certFile,
                        const std::string &keyFile, std::string *err) {
  m_ssl = SSL_CTX_new(TLS_server_method());
  if (!m_ssl || SSL_CTX_set_min_proto_version(m_ssl, TLS1_2_VERSION) != 1 ||
      SSL_CTX_use_certificate_chain_file(m_ssl, certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(m_ssl, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    *err = "cannot load the TLS certificate " + certFile;
    ERR_clear_error();
    return false;
  }
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  std::string portText = std::to_string(port);
  if (getaddrinfo(host.c_str(), portText.c_str(), &hints, &res) != 0 || !res) {
    *err = "cannot resolve " + host;
    return false;
  }
  m_listenFd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (m_listenFd < 0 || bind(m_listenFd, res->ai_addr, res->ai_addrlen) != 0 ||
      ::listen(m_listenFd, 128) != 0) {
    *err = "cannot listen on " + host + ":" + portText + ": " + std::strerror(errno);
    freeaddrinfo(res);
    return false;
  }
  freeaddrinfo(res);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&ss), &len);
  m_port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                          : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
  if (pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *err = "cannot make a pipe";
    return false;
  }
  return true;
}

void HttpServer::stop() {
  m_stopping.store(true);
  if (m_wakePipe[1] >= 0) {
    char c = 1;
    ssize_t r = write(m_wakePipe[1], &c, 1);
    (void)r;
  }
}

void HttpServer::run(HttpHandler handler) {
  m_handler = std::move(handler);
  while (!m_stopping.load()) {
    pollfd p[2] = {{m_listenFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    int r = poll(p, 2, 1000);
    if (r <= 0) continue;
    if (!(p[0].revents & POLLIN)) continue;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = accept4(m_listenFd, reinterpret_cast<sockaddr *>(&ss), &len, SOCK_CLOEXEC);
    if (fd < 0) continue;
    char host[INET6_ADDRSTRLEN] = "";
    bool loopback = false;
    if (ss.ss_family == AF_INET) {
      auto *a = reinterpret_cast<sockaddr_in *>(&ss);
      inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
      loopback = (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    } else if (ss.ss_family == AF_INET6) {
      auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
      inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
      loopback = IN6_IS_ADDR_LOOPBACK(&a->sin6_addr);
    }
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_active >= kMaxConnections) {
        close(fd);
        continue;
      }
      m_active++;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{kIoTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::thread([this, fd, peer = std::string(host), loopback] {
      serveConnection(fd, peer, loopback);
      std::lock_guard<std::mutex> g(m_lock);
      if (--m_active == 0) m_idle.notify_all();
    }).detach();
  }
  close(m_listenFd);
  m_listenFd = -1;
  std::unique_lock<std::mutex> g(m_lock);
  m_idle.wait_for(g, std::chrono::seconds(120), [this] { return m_active == 0; });
}

void HttpServer::serveConnection(int fd, std::string peer, bool loopback) {
  HttpConn conn(this, fd);
  // The first byte of a TLS connection is a handshake record (22).
  {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kIoTimeoutMs) <= 0) return;
    unsigned char first = 0;
    if (recv(fd, &first, 1, MSG_PEEK) != 1) return;
    if (first == 0x16 && !conn.startTls(m_ssl)) return;
  }
  for (;;) {
    if (!conn.waitReadable(kIdleTimeoutMs, true)) return;
    HttpRequest req;
    req.peer = peer;
    req.loopback = loopback;
    req.tls = conn.tls();
    HttpResponse resp;
    int headResult = svchttp__readHead(&conn, &req);
    if (headResult < 0) return;
    bool bad = headResult == 400;
    if (headResult == 431) resp.status = 431;
    HttpBody body(&conn, req);
    if (bad || resp.status != 200) {
      if (bad) resp.status = 400;
      resp.set("Content-Type", "text/plain");
      resp.body = bad ? "malformed request\n" : "request header too large\n";
      resp.close = true;
    } else {
      m_handler(req, body, resp);
    }
    if (resp.abort) return;
    const std::string *connHdr = req.header("connection");
    bool keep = !resp.close && !body.failed() && body.finished() &&
                !(connHdr && lower(*connHdr) == "close") &&
                !(req.http10 && !(connHdr && lower(*connHdr) == "keep-alive")) &&
                !m_stopping.load();
    std::string head =
        "HTTP/1.1 " + std::to_string(resp.status) + " " + reason(resp.status) + "\r\n";
    int64_t length = static_cast<int64_t>(resp.body.size());
    UniqueFd file;
    if (!resp.filePath.empty()) {
      file.adopt(open(resp.filePath.c_str(), O_RDONLY | O_CLOEXEC));
      struct stat st;
      if (file.get() < 0 || fstat(file.get(), &st) != 0) {
        file.reset();
        resp.status = 404;
        head = "HTTP/1.1 404 Not Found\r\n";
        resp.body = "no content\n";
        length = static_cast<int64_t>(resp.body.size());
      } else {
        length = st.st_size;
      }
    }
    for (const auto &h : resp.headers) head += h.first + ": " + h.second + "\r\n";
    head += "Content-Length: " + std::to_string(length) + "\r\n";
    head += keep ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    bool ok = conn.writeAll(head);
    if (ok && req.method != "HEAD") {
      if (file.get() >= 0) {
        char tmp[65536];
        int64_t left = length;
        while (ok && left > 0) {
          ssize_t r = ::read(file.get(), tmp, sizeof tmp);
          if (r <= 0) {
            ok = false;
            break;
          }
          r = std::min<ssize_t>(r, static_cast<ssize_t>(left));
          ok = conn.writeAll(tmp, static_cast<size_t>(r));
          left -= r;
        }
      } else {
        ok = conn.writeAll(resp.body);
      }
    }
    if (!ok) return;
    if (!keep) {
      if (!body.finished() || bad || resp.status == 431) conn.lingerClose();
      return;
    }
  }
}

int UniqueFd::reset() {
  int rc = m_fd >= 0 ? close(m_fd) : 0;
  m_fd = -1;
  return rc;
}

bool svchttp__decode(const std::string &in, std::string *out, bool plusSpace) {
  out->clear();
  for (size_t i = 0; i < in.size(); i++) {
    char c = in[i];
    if (c == '%') {
      auto hex = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        if (h >= 'A' && h <= 'F') return h - 'A' + 10;
        return -1;
      };
      if (i + 2 >= in.size()) return false;
      int a = hex(in[i + 1]), b = hex(in[i + 2]);
      if (a < 0 || b < 0) return false;
      out->push_back(static_cast<char>(a * 16 + b));
      i += 2;
    } else if (c == '+' && plusSpace) {
      out->push_back(' ');
    } else {
      out->push_back(c);
    }
  }
  return true;
}

std::string svchttp__param(const std::string &query, const std::string &name) {
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    std::string part = query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    size_t eq = part.find('=');
    std::string key, value;
    if (svchttp__decode(part.substr(0, eq), &key, true) && key == name) {
      if (eq == std::string::npos) return std::string();
      if (svchttp__decode(part.substr(eq + 1), &value, true)) return value;
      return std::string();
    }
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return std::string();
}

}  // namespace tessel::svc
