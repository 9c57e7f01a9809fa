// The service's HTTP/1.1 server over plain sockets and OpenSSL.
#include "svchttp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace tessel::svc {

namespace {

constexpr size_t kMaxHeaderBytes = 16384;
constexpr size_t kMaxHeaders = 100;

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
    case 206:
      return "Partial Content";
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
    case 416:
      return "Range Not Satisfiable";
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

int64_t monoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

enum class ConnState { Detect, Handshake, Head, Body, Queued, Busy, Write, Idle, Linger };
enum class After { Keep, Close, Linger };

// One accepted connection. The event loop reads its request head (and a call's body) without
// blocking; a worker that owns it for one request reads and writes with time-outs.
class HttpConn final : public HttpSource {
 public:
  HttpConn(int fd, int ioTimeoutMs) : m_fd(fd), m_ioTimeoutMs(ioTimeoutMs) {}
  ~HttpConn() override {
    if (m_ssl) SSL_shutdown(m_ssl.get());
    close(m_fd);
  }
  int fd() const { return m_fd; }
  bool tls() const { return m_ssl != nullptr; }

  // 1 done, 0 waiting for the peer, -1 failed.
  int handshake(SSL_CTX *ctx) {
    if (!m_ssl) {
      m_ssl.reset(SSL_new(ctx));
      if (!m_ssl || SSL_set_fd(m_ssl.get(), m_fd) != 1) return -1;
    }
    int r = SSL_accept(m_ssl.get());
    if (r == 1) return 1;
    int e = SSL_get_error(m_ssl.get(), r);
    ERR_clear_error();
    m_wantWrite = e == SSL_ERROR_WANT_WRITE;
    return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? 0 : -1;
  }

  // Without blocking: bytes read, 0 at the end, -1 failed, -2 nothing yet.
  long tryRead(char *buf, size_t n) {
    m_wantWrite = false;
    if (m_ssl) {
      int r = SSL_read(m_ssl.get(), buf, static_cast<int>(std::min<size_t>(n, 1 << 30)));
      if (r > 0) return r;
      int e = SSL_get_error(m_ssl.get(), r);
      ERR_clear_error();
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        m_wantWrite = e == SSL_ERROR_WANT_WRITE;
        return -2;
      }
      return e == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    for (;;) {
      ssize_t r = recv(m_fd, buf, n, 0);
      if (r >= 0) return static_cast<long>(r);
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
    }
  }

  // Without blocking: bytes written, -1 failed, -2 not now.
  long tryWrite(const char *p, size_t n) {
    m_wantWrite = false;
    if (m_ssl) {
      int w = SSL_write(m_ssl.get(), p, static_cast<int>(std::min<size_t>(n, 1 << 20)));
      if (w > 0) return w;
      int e = SSL_get_error(m_ssl.get(), w);
      ERR_clear_error();
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        m_wantWrite = e == SSL_ERROR_WANT_WRITE;
        return -2;
      }
      return -1;
    }
    for (;;) {
      ssize_t w = send(m_fd, p, n, MSG_NOSIGNAL);
      if (w >= 0) return static_cast<long>(w);
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
    }
  }
  bool wantWrite() const { return m_wantWrite; }
  // Bytes already received that epoll cannot see: decrypted inside TLS, or buffered here too.
  bool tlsPending() const { return m_ssl && SSL_pending(m_ssl.get()) > 0; }
  bool pending() const { return buffered() > 0 || tlsPending(); }

  // The loop's read: appends what has arrived, up to `limit` bytes held. 1 something or
  // nothing new, 0 the peer closed, -1 failed.
  int fill(size_t limit) {
    char tmp[16384];
    while (buffered() < limit) {
      const size_t want = std::min(sizeof tmp, limit - buffered());
      long r = tryRead(tmp, want);
      if (r == -2) return 1;
      if (r <= 0) return static_cast<int>(r);
      append(tmp, static_cast<size_t>(r));
      // A short read took all the socket had: asking again would only be told so.
      if (!m_ssl && static_cast<size_t>(r) < want) return 1;
    }
    return 1;
  }

  // Blocking use by a worker: waits up to the I/O time-out for each step.
  bool waitIo(bool write) {
    pollfd p{m_fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    for (;;) {
      int r = poll(&p, 1, m_ioTimeoutMs);
      if (r > 0) return true;
      if (r == 0 || errno != EINTR) return false;
    }
  }
  long rawRead(char *buf, size_t n) override {
    // A collected body is all in the buffer: the worker never waits on such a peer.
    if (!socketReads) return -1;
    for (;;) {
      long r = tryRead(buf, n);
      if (r != -2) return r;
      if (!waitIo(m_wantWrite)) return -1;
    }
  }
  using HttpSource::writeAll;
  bool writeAll(const char *p, size_t n) override {
    while (n > 0) {
      long w = tryWrite(p, n);
      if (w == -1) return false;
      if (w == -2) {
        if (!waitIo(!m_ssl || m_wantWrite)) return false;
        continue;
      }
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  // The loop's write of `out`: true when all of it went.  False with `failed` on an error.
  bool flush(bool *failed) {
    while (outPos < out.size()) {
      long w = tryWrite(out.data() + outPos, out.size() - outPos);
      if (w == -1) {
        *failed = true;
        return false;
      }
      if (w == -2) return false;
      outPos += static_cast<size_t>(w);
    }
    out.clear();
    outPos = 0;
    return true;
  }
  // Stops sending: after an answer that leaves part of a request unread the connection lingers
  // reading, so that a reset does not destroy the answer.
  void shutdownWrite() {
    if (m_ssl) {
      SSL_shutdown(m_ssl.get());
      ERR_clear_error();
      m_ssl.reset();
    }
    shutdown(m_fd, SHUT_WR);
  }
  void releaseBuffer() { append(nullptr, 0); }

  // Kept by the loop that serves the connection.
  HttpLoop *loop = nullptr;
  ConnState state = ConnState::Detect;
  int64_t deadline = 0;
  uint32_t events = 0;
  bool registered = false;
  std::string peer, local;
  bool loopback = false;
  HttpRequest req;
  long bodyLimit = 0;
  HttpBodyScan scan;
  int64_t budget = 0;  // bytes of the body budget this connection holds
  bool parked = false;
  bool streamed = false;
  size_t headScanned = 0;
  int64_t lingered = 0;
  // Set by the worker for the loop.
  bool socketReads = false;
  std::string out;
  size_t outPos = 0;
  After after = After::Keep;
  // Content the loop's handler answered with, left for a worker to send.
  std::unique_ptr<HttpResponse> prepared;
  bool preparedKeep = false;

 private:
  int m_fd;
  int m_ioTimeoutMs;
  bool m_wantWrite = false;
  std::unique_ptr<SSL, SslDeleter> m_ssl;
};

void HttpSource::append(const char *p, size_t n) {
  if (m_pos > 0 && (m_pos == m_buf.size() || m_pos > 65536)) {
    m_buf.erase(0, m_pos);
    m_pos = 0;
  }
  if (n > 0) m_buf.append(p, n);
  // Memory of a large collected body goes back once it has been read.
  if (m_buf.empty() && m_buf.capacity() > 65536) std::string().swap(m_buf);
}

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
    char tmp[8192];
    long r = rawRead(tmp, sizeof tmp);
    if (r <= 0) return -1;
    append(tmp, static_cast<size_t>(r));
  }
}

const std::string *HttpRequest::header(const std::string &lowerName) const {
  for (const auto &h : headers)
    if (h.first == lowerName) return &h.second;
  return nullptr;
}

void HttpResponse::set(const std::string &name, const std::string &value) {
  for (auto &h : headers) {
    if (h.first.size() == name.size() &&
        strncasecmp(h.first.data(), name.data(), name.size()) == 0) {
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
      m_tooLarge(req.bodyTooLarge),
      m_left(req.hasBody ? (req.contentLength < 0 ? 0 : req.contentLength) : 0) {
  const std::string *e = req.header("expect");
  m_expectContinue = e && lower(*e) == "100-continue" && !req.http10 && !req.continueSent;
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
  if (m_failed || m_tooLarge) return -1;
  if (m_done) return 0;
  if (m_expectContinue) {
    m_expectContinue = false;
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
    if (out->size() + static_cast<size_t>(r) > limit) {
      m_tooLarge = true;
      return false;
    }
    out->append(tmp, static_cast<size_t>(r));
  }
}

int svchttp__scanBody(const HttpRequest &req, const char *data, size_t n, int64_t limit,
                      HttpBodyScan *s) {
  if (!req.hasBody) return 1;
  if (req.contentLength >= 0) {
    if (req.contentLength > limit) return 2;
    return static_cast<int64_t>(n) >= req.contentLength ? 1 : 0;
  }
  for (;;) {
    if (s->state == 1) {
      size_t take =
          static_cast<size_t>(std::min<int64_t>(s->left, static_cast<int64_t>(n - s->at)));
      s->at += take;
      s->left -= static_cast<int64_t>(take);
      if (s->left > 0) return 0;
      s->state = 2;
      continue;
    }
    const char *nl = static_cast<const char *>(std::memchr(data + s->at, '\n', n - s->at));
    // Lines as long as the decoder reads them (HttpBody::nextChunk).
    size_t most = s->state == 3 ? 8192 : s->state == 2 ? 2 : 1024;
    if (!nl) return n - s->at > most ? -1 : 0;
    if (static_cast<size_t>(nl - (data + s->at)) > most) return -1;
    std::string line(data + s->at, nl);
    s->at = static_cast<size_t>(nl - data) + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (s->state == 2) {
      if (!line.empty()) return -1;
      s->state = 0;
    } else if (s->state == 3) {
      if (line.empty()) return 1;
      if (++s->trailers >= 64) return -1;
    } else {
      std::string hex = trim(line.substr(0, line.find(';')));
      if (hex.empty() || hex.size() > 15 ||
          hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return -1;
      int64_t size = std::stoll(hex, nullptr, 16);
      if (size == 0) {
        s->state = 3;
        continue;
      }
      s->decoded += size;
      if (s->decoded > limit) return 2;
      s->left = size;
      s->state = 1;
    }
  }
}

std::string svchttp__addressText(const void *storage, std::string *host, bool *loopback) {
  const auto *ss = static_cast<const sockaddr_storage *>(storage);
  char text[INET6_ADDRSTRLEN] = "";
  int port = 0;
  *loopback = false;
  if (ss->ss_family == AF_INET) {
    const auto *a = reinterpret_cast<const sockaddr_in *>(ss);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    *loopback = (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    port = ntohs(a->sin_port);
  } else if (ss->ss_family == AF_INET6) {
    const auto *a = reinterpret_cast<const sockaddr_in6 *>(ss);
    port = ntohs(a->sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {
      // A dual-stack socket shows IPv4 peers as ::ffff:a.b.c.d; they are IPv4 peers.
      in_addr v4;
      std::memcpy(&v4, a->sin6_addr.s6_addr + 12, 4);
      inet_ntop(AF_INET, &v4, text, sizeof text);
      *loopback = (ntohl(v4.s_addr) >> 24) == 127;
    } else {
      inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
      *loopback = IN6_IS_ADDR_LOOPBACK(&a->sin6_addr);
      *host = text;
      return "[" + std::string(text) + "]:" + std::to_string(port);
    }
  }
  *host = text;
  return std::string(text) + ":" + std::to_string(port);
}

namespace {

std::string headOf(int status, const std::vector<std::pair<std::string, std::string>> &headers,
                   int64_t length, bool keep) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
  for (const auto &h : headers) head += h.first + ": " + h.second + "\r\n";
  head += "Content-Length: " + std::to_string(length) + "\r\n";
  head += keep ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  return head;
}

// A header field made of bytes that would end it early or split the answer is never sent.
bool safeHeaders(const HttpResponse &resp) {
  for (const auto &h : resp.headers) {
    if (h.first.empty() || h.first.find_first_of(": \t") != std::string::npos) return false;
    for (const std::string *t : {&h.first, &h.second})
      for (unsigned char c : *t)
        if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  }
  return true;
}

std::string plainAnswer(int status, const std::string &text, bool keep,
                        const char *extra = nullptr) {
  std::vector<std::pair<std::string, std::string>> h = {{"Content-Type", "text/plain"}};
  if (extra) h.emplace_back("Retry-After", extra);
  return headOf(status, h, static_cast<int64_t>(text.size()), keep) + text;
}

}  // namespace

// The event loops and the workers. Several loops, one per core, each hold their own
// connections from accept to close; the first one accepts and deals them out in turn. What
// holds for the whole server (the open connections and those of each peer, the streamed
// transfers, the body budget, the workers) is shared by every loop.
class HttpLoop;

class HttpLoops {
 public:
  HttpLoops(HttpServer *server, HttpHandler handler, HttpBodyPolicy policy)
      : server(server),
        lim(server->m_limits),
        handler(std::move(handler)),
        policy(std::move(policy)),
        loopPolicy(server->m_loopPolicy) {}
  ~HttpLoops();

  bool run(std::string *err);
  void pause(int ms) {
    std::unique_lock<std::mutex> g(lock);
    hardCv.wait_for(g, std::chrono::milliseconds(ms), [this] { return hardStop.load(); });
  }
  // Wakes the loops, other than `self`, whose transfers wait for a streaming worker.
  void wakeQueued(const HttpLoop *self);

  HttpServer *const server;
  HttpLimits lim;
  const HttpHandler handler;
  const HttpBodyPolicy policy;
  const HttpLoopPolicy loopPolicy;
  std::vector<std::unique_ptr<HttpLoop>> loops;  // fixed once the loops run
  size_t running = 1;                            // of these, the first ones, which run

  std::atomic<int64_t> budgetUsed{0};
  std::atomic<int> streaming{0};
  std::atomic<int> busy{0};
  std::atomic<bool> trimWanted{false};
  std::atomic<bool> hardStop{false};

  std::mutex peerLock;  // live and perPeer
  int live = 0;
  std::map<std::string, int> perPeer;

  std::mutex lock;  // work, closing, and hardStop's changes (for hardCv)
  std::condition_variable workCv, hardCv;
  std::deque<HttpConn *> work;
  bool closing = false;
  std::vector<std::thread> workers;

 private:
  void worker();
};

class HttpLoop {
 public:
  HttpLoop(HttpLoops *shared, int index)
      : m_sh(*shared),
        m_server(shared->server),
        m_lim(shared->lim),
        m_handler(shared->handler),
        m_policy(shared->policy),
        m_loopPolicy(shared->loopPolicy),
        m_index(index) {}
  ~HttpLoop();

  bool open(std::string *err);
  void run();
  // Takes a connection accepted by the first loop.
  void adopt(HttpConn *c);
  void wake();
  // A worker's end of one request: the connection comes back to this loop.
  void returned(HttpConn *c);
  void serve(HttpConn *c);
  bool hasQueued() const { return m_queuedCount.load() > 0; }
  // Takes the connections handed over since the last turn; a stopping loop (or one that has
  // ended) closes them, the counts kept.
  void takeInbox(bool stopped);

 private:
  void serveOnLoop(HttpConn *c);
  bool respond(HttpConn *c, const HttpBody &body, HttpResponse &resp, bool onLoop);
  bool sendContent(HttpConn *c, HttpResponse &resp, std::shared_ptr<HttpContent> content, bool keep,
                   bool onLoop);
  void beginWrite(HttpConn *c);
  void accept();
  void take(HttpConn *c);
  void onEvent(HttpConn *c, uint32_t ev);
  void progress(HttpConn *c);
  void dispatch(HttpConn *c, bool socketReads);
  void enqueue(HttpConn *c);
  void unqueue(HttpConn *c);
  void startQueued();
  void afterAnswer(HttpConn *c);
  void answer(HttpConn *c, const std::string &bytes, After after);
  void write(HttpConn *c);
  void setState(HttpConn *c, ConnState st, int timeoutMs);
  void watch(HttpConn *c);
  void unwatch(HttpConn *c);
  void release(HttpConn *c);
  void closeConn(HttpConn *c);
  void reject(int fd, const std::string &peer);
  void sweep(int64_t now);
  void takeReturned();

  HttpLoops &m_sh;
  HttpServer *const m_server;
  const HttpLimits &m_lim;
  const HttpHandler &m_handler;
  const HttpBodyPolicy &m_policy;
  const HttpLoopPolicy &m_loopPolicy;
  const int m_index;
  int m_ep = -1;
  int m_wakeFd = -1;  // an eventfd: workers' answers, hand-overs, a freed streaming worker
  // Requests kept alive behind one just answered on the loop: read this deep at once, then
  // after the others' events (a pipelining peer must not hold the loop, nor its stack grow).
  int m_depth = 0;
  std::vector<HttpConn *> m_again;
  // The first loop's: the listening socket and whom the next connection goes to.
  bool m_listening = false;
  int64_t m_acceptPausedUntil = 0;
  size_t m_nextLoop = 0;
  std::vector<std::pair<int, int64_t>> m_rejected;  // answered 503, closing at the time
  int64_t m_lastLog = 0;

  std::set<HttpConn *> m_conns;
  std::deque<HttpConn *> m_queued;  // content transfers waiting for a worker
  std::atomic<size_t> m_queuedCount{0};
  std::atomic<bool> m_wakePending{false};  // a worker has woken the loop

  std::mutex m_returnLock;  // m_returned only: answered connections do not wait for the queue
  std::deque<HttpConn *> m_returned;
  std::mutex m_inboxLock;
  std::vector<HttpConn *> m_inbox;
};

HttpLoop::~HttpLoop() {
  if (m_ep >= 0) close(m_ep);
  if (m_wakeFd >= 0) close(m_wakeFd);
}

HttpLoops::~HttpLoops() = default;

bool HttpLoop::open(std::string *err) {
  m_ep = epoll_create1(EPOLL_CLOEXEC);
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_ep < 0 || m_wakeFd < 0) {
    *err = std::string("cannot start an event loop: ") + std::strerror(errno);
    return false;
  }
  epoll_event we{EPOLLIN, {}};
  we.data.ptr = &m_wakeFd;
  epoll_ctl(m_ep, EPOLL_CTL_ADD, m_wakeFd, &we);
  if (m_index == 0) {
    epoll_event le{EPOLLIN, {}};
    le.data.ptr = nullptr;
    epoll_ctl(m_ep, EPOLL_CTL_ADD, m_server->m_listenFd, &le);
    m_listening = true;
    epoll_event se{EPOLLIN, {}};
    se.data.ptr = &m_ep;
    epoll_ctl(m_ep, EPOLL_CTL_ADD, m_server->m_wakePipe[0], &se);
  }
  return true;
}

void HttpLoop::wake() {
  const uint64_t one = 1;
  ssize_t w = ::write(m_wakeFd, &one, sizeof one);
  (void)w;
}

bool HttpLoops::run(std::string *err) {
  for (int i = 0; i < std::max(1, lim.workers); i++) {
    // A thread that cannot be made (a process or memory limit) leaves fewer workers.
    try {
      workers.emplace_back([this] { worker(); });
    } catch (const std::system_error &) {
      break;
    }
  }
  if (workers.empty()) {
    *err = "cannot start a worker thread";
    return false;
  }
  if (static_cast<int>(workers.size()) < lim.workers)
    std::fprintf(stderr, "tesselsvc: started %zu of %d workers\n", workers.size(), lim.workers);
  lim.streamWorkers =
      std::max(1, std::min(lim.streamWorkers, static_cast<int>(workers.size()) - 1));
  int wanted = lim.loops;
  if (wanted <= 0)
    wanted = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
  // A loop that cannot be made leaves fewer; without the first, nothing is served.
  for (int i = 0; i < wanted; i++) {
    auto loop = std::make_unique<HttpLoop>(this, i);
    std::string why;
    if (!loop->open(&why)) {
      if (i == 0) *err = why;
      break;
    }
    loops.push_back(std::move(loop));
  }
  const bool served = !loops.empty();
  std::vector<std::thread> threads;
  if (served) {
    for (size_t i = 1; i < loops.size(); i++) {
      try {
        threads.emplace_back([this, i] { loops[i]->run(); });
      } catch (const std::system_error &) {
        break;
      }
    }
    // The first loop deals connections only to loops that run.
    running = threads.size() + 1;
    loops[0]->run();
  }
  for (auto &t : threads) t.join();
  for (auto &l : loops) l->takeInbox(true);
  {
    std::lock_guard<std::mutex> g(lock);
    closing = true;
    workCv.notify_all();
  }
  for (auto &t : workers) t.join();
  return served;
}

void HttpLoop::run() {
  int64_t drainEnd = 0, lastSweep = 0;
  bool stopped = false, cutOff = false;
  for (;;) {
    int64_t now = monoMs();
    if (m_server->stopping() && !stopped) {
      // Stop: no new connections; idle ones and unfinished heads go now.
      stopped = true;
      drainEnd = now + m_lim.drainMs;
      if (m_index == 0) {
        if (m_listening) epoll_ctl(m_ep, EPOLL_CTL_DEL, m_server->m_listenFd, nullptr);
        m_listening = false;
        close(m_server->m_listenFd);
        m_server->m_listenFd = -1;
        for (size_t i = 1; i < m_sh.loops.size(); i++) m_sh.loops[i]->wake();
      }
      for (HttpConn *c : std::vector<HttpConn *>(m_conns.begin(), m_conns.end()))
        if (c->state != ConnState::Busy && c->state != ConnState::Write &&
            c->state != ConnState::Body)
          closeConn(c);
    }
    if (stopped && now >= drainEnd && !cutOff) {
      // The drain time is over: what is still in flight is cut off.
      cutOff = true;
      {
        std::lock_guard<std::mutex> g(m_sh.lock);
        m_sh.hardStop = true;
        m_sh.hardCv.notify_all();
      }
      for (HttpConn *c : m_conns)
        if (c->state == ConnState::Busy) shutdown(c->fd(), SHUT_RDWR);
    }
    takeInbox(stopped);
    takeReturned();
    if (cutOff)
      for (HttpConn *c : std::vector<HttpConn *>(m_conns.begin(), m_conns.end()))
        if (c->state != ConnState::Busy) closeConn(c);
    if (stopped && m_conns.empty()) break;
    if (!m_listening && !stopped && m_acceptPausedUntil && now >= m_acceptPausedUntil) {
      epoll_event le{EPOLLIN, {}};
      le.data.ptr = nullptr;
      epoll_ctl(m_ep, EPOLL_CTL_ADD, m_server->m_listenFd, &le);
      m_listening = true;
      m_acceptPausedUntil = 0;
    }
    if (!m_again.empty()) {
      std::vector<HttpConn *> again;
      again.swap(m_again);
      for (HttpConn *c : again)
        if (m_conns.count(c) && c->state == ConnState::Head) progress(c);
    }
    epoll_event evs[128];
    int n = epoll_wait(m_ep, evs, 128, m_again.empty() ? 100 : 0);
    for (int i = 0; i < n; i++) {
      if (evs[i].data.ptr == nullptr) {
        accept();
      } else if (evs[i].data.ptr == &m_wakeFd) {
        uint64_t count;
        ssize_t r = ::read(m_wakeFd, &count, sizeof count);
        (void)r;
      } else if (evs[i].data.ptr == &m_ep) {
        char tmp[256];
        while (::read(m_server->m_wakePipe[0], tmp, sizeof tmp) > 0) {
        }
      } else {
        auto *c = static_cast<HttpConn *>(evs[i].data.ptr);
        if (m_conns.count(c) && c->state != ConnState::Busy) onEvent(c, evs[i].events);
      }
    }
    // Deadlines only after what arrived in time has been read: a busy loop must not mistake a
    // prompt client for a slow one.
    now = monoMs();
    if (now - lastSweep >= 100) {
      sweep(now);
      lastSweep = now;
    }
  }
  for (auto &[fd, when] : m_rejected) close(fd);
  m_rejected.clear();
}

void HttpLoop::accept() {
  for (int i = 0; i < 256; i++) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = accept4(m_server->m_listenFd, reinterpret_cast<sockaddr *>(&ss), &len,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: stop accepting for a moment rather than spin, and keep serving
        // the connections that are open.
        int64_t now = monoMs();
        if (now - m_lastLog > 10000) {
          std::fprintf(stderr, "tesselsvc: cannot accept connections: %s\n", std::strerror(errno));
          m_lastLog = now;
        }
        epoll_ctl(m_ep, EPOLL_CTL_DEL, m_server->m_listenFd, nullptr);
        m_listening = false;
        m_acceptPausedUntil = now + 250;
      }
      return;
    }
    std::string host;
    bool loopback = false;
    svchttp__addressText(&ss, &host, &loopback);
    bool over = false;
    {
      std::lock_guard<std::mutex> g(m_sh.peerLock);
      auto it = m_sh.perPeer.find(host);
      const int mine = it == m_sh.perPeer.end() ? 0 : it->second;
      over = m_sh.live >= m_lim.maxConnections || mine >= m_lim.maxPerPeer;
      if (!over) {
        m_sh.live++;
        m_sh.perPeer[host]++;
      }
    }
    if (over) {
      reject(fd, host);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto *c = new HttpConn(fd, m_lim.bodyTimeoutMs);
    c->peer = host;
    c->loopback = loopback;
    sockaddr_storage ls{};
    socklen_t llen = sizeof ls;
    std::string localHost;
    bool localLoop;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ls), &llen) == 0)
      c->local = svchttp__addressText(&ls, &localHost, &localLoop);
    // In turn to every loop: each then serves the connection to its end.
    HttpLoop *to = m_sh.loops[m_nextLoop++ % m_sh.running].get();
    if (to == this)
      take(c);
    else
      to->adopt(c);
  }
}

void HttpLoop::take(HttpConn *c) {
  c->loop = this;
  m_conns.insert(c);
  setState(c, ConnState::Detect, m_lim.headerTimeoutMs);
}

void HttpLoop::adopt(HttpConn *c) {
  {
    std::lock_guard<std::mutex> g(m_inboxLock);
    m_inbox.push_back(c);
  }
  wake();
}

void HttpLoop::takeInbox(bool stopped) {
  std::vector<HttpConn *> in;
  {
    std::lock_guard<std::mutex> g(m_inboxLock);
    in.swap(m_inbox);
  }
  for (HttpConn *c : in) {
    take(c);
    // A stopping server serves no new connection.
    if (stopped) closeConn(c);
  }
}

void HttpLoop::reject(int fd, const std::string &peer) {
  // Over the limits: a short answer instead of a reset, then the connection goes.
  std::string a = plainAnswer(503, "too many connections\n", false, "1");
  ssize_t w = send(fd, a.data(), a.size(), MSG_NOSIGNAL);
  (void)w;
  shutdown(fd, SHUT_WR);
  int64_t now = monoMs();
  if (now - m_lastLog > 10000) {
    std::fprintf(stderr, "tesselsvc: connection limit reached; refusing %s\n", peer.c_str());
    m_lastLog = now;
  }
  if (m_rejected.size() >= 1024) {
    close(fd);
    return;
  }
  m_rejected.emplace_back(fd, now + 500);
}

void HttpLoop::setState(HttpConn *c, ConnState st, int timeoutMs) {
  c->state = st;
  c->deadline = timeoutMs > 0 ? monoMs() + timeoutMs : 0;
  watch(c);
}

void HttpLoop::watch(HttpConn *c) {
  uint32_t want = 0;
  switch (c->state) {
    case ConnState::Busy:
      unwatch(c);
      return;
    case ConnState::Write:
      want = static_cast<uint32_t>(EPOLLOUT);
      break;
    case ConnState::Queued:
      want = 0;
      break;
    default:
      want = c->parked ? 0u : static_cast<uint32_t>(EPOLLIN);
      if (!c->out.empty()) want |= EPOLLOUT;
  }
  if (c->wantWrite()) want |= EPOLLOUT;
  if (c->registered && want == c->events) return;
  epoll_event e{want, {}};
  e.data.ptr = c;
  if (epoll_ctl(m_ep, c->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c->fd(), &e) == 0) {
    c->registered = true;
    c->events = want;
  }
}

void HttpLoop::unwatch(HttpConn *c) {
  if (c->registered) epoll_ctl(m_ep, EPOLL_CTL_DEL, c->fd(), nullptr);
  c->registered = false;
}

void HttpLoop::release(HttpConn *c) {
  m_sh.budgetUsed -= c->budget;
  c->budget = 0;
  c->parked = false;
}

void HttpLoop::closeConn(HttpConn *c) {
  if (c->state == ConnState::Queued) unqueue(c);
  unwatch(c);
  release(c);
  {
    std::lock_guard<std::mutex> g(m_sh.peerLock);
    m_sh.live--;
    auto it = m_sh.perPeer.find(c->peer);
    if (it != m_sh.perPeer.end() && --it->second <= 0) m_sh.perPeer.erase(it);
  }
  m_conns.erase(c);
  delete c;
}

void HttpLoop::sweep(int64_t now) {
  if (m_index == 0 && m_sh.busy == 0 && m_sh.trimWanted.exchange(false)) malloc_trim(0);
  for (HttpConn *c : std::vector<HttpConn *>(m_conns.begin(), m_conns.end())) {
    if (c->state == ConnState::Busy) continue;
    if (c->deadline && now >= c->deadline) {
      if (c->state != ConnState::Queued) {
        closeConn(c);
        continue;
      }
      unqueue(c);
      c->prepared.reset();
      answer(c, plainAnswer(503, "busy, try again\n", false, "1"), After::Linger);
      continue;
    }
    if (c->parked && m_sh.budgetUsed < m_lim.bodyBudget) {
      c->parked = false;
      watch(c);
      progress(c);
    }
  }
  size_t keep = 0;
  for (auto &r : m_rejected) {
    char tmp[4096];
    while (recv(r.first, tmp, sizeof tmp, 0) > 0) {
    }
    if (now >= r.second)
      close(r.first);
    else
      m_rejected[keep++] = r;
  }
  m_rejected.resize(keep);
}

void HttpLoop::onEvent(HttpConn *c, uint32_t ev) {
  switch (c->state) {
    case ConnState::Detect: {
      unsigned char first = 0;
      ssize_t r = recv(c->fd(), &first, 1, MSG_PEEK);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return closeConn(c);
      if (r < 0) return;
      // The first byte of a TLS connection is a handshake record (22).
      if (first != 0x16) {
        c->state = ConnState::Head;
        return progress(c);
      }
      c->state = ConnState::Handshake;
      [[fallthrough]];
    }
    case ConnState::Handshake: {
      int h = c->handshake(m_server->m_ssl);
      if (h < 0) return closeConn(c);
      if (h == 0) return watch(c);
      c->state = ConnState::Head;
      return progress(c);
    }
    case ConnState::Idle:
      setState(c, ConnState::Head, m_lim.headerTimeoutMs);
      return progress(c);
    case ConnState::Head:
    case ConnState::Body:
      if (ev & EPOLLOUT && !c->out.empty()) {
        bool failed = false;
        c->flush(&failed);
        if (failed) return closeConn(c);
      }
      return progress(c);
    case ConnState::Write:
      return write(c);
    case ConnState::Linger: {
      char tmp[16384];
      for (;;) {
        long r = c->tryRead(tmp, sizeof tmp);
        if (r == -2) return;
        c->lingered += r;
        if (r <= 0 || c->lingered > (64 << 20)) return closeConn(c);
      }
    }
    case ConnState::Queued:
      if (ev & (EPOLLHUP | EPOLLERR)) closeConn(c);
      return;
    case ConnState::Busy:
      return;
  }
}

void HttpLoop::progress(HttpConn *c) {
  constexpr size_t kHeadLimit = 8192 + kMaxHeaderBytes + 4;
  if (c->state == ConnState::Head) {
    int f = c->fill(kHeadLimit + 1);
    if (f < 0) return closeConn(c);
    size_t n = c->buffered();
    const char *p = c->bufferedData();
    bool complete = false;
    for (size_t i = c->headScanned; i < n && !complete; i++)
      complete = p[i] == '\n' &&
                 ((i >= 1 && p[i - 1] == '\n') || (i >= 2 && p[i - 1] == '\r' && p[i - 2] == '\n'));
    c->headScanned = n;
    if (!complete && n <= kHeadLimit) {
      // A peer that closes before a whole head gets no answer.
      if (f == 0) return closeConn(c);
      return watch(c);
    }
    c->headScanned = 0;
    c->req = HttpRequest();
    c->req.peer = c->peer;
    c->req.local = c->local;
    c->req.loopback = c->loopback;
    c->req.tls = c->tls();
    c->socketReads = false;
    int r = svchttp__readHead(c, &c->req);
    if (r < 0) return closeConn(c);
    if (r == 400) return answer(c, plainAnswer(400, "malformed request\n", false), After::Linger);
    if (r == 431)
      return answer(c, plainAnswer(431, "request header too large\n", false), After::Linger);
    c->bodyLimit = m_policy(c->req);
    if (c->bodyLimit == kHttpStreamBody) {
      // Content transfers beyond the workers kept for them wait their turn, unread.
      enqueue(c);
      return startQueued();
    }
    c->scan = HttpBodyScan();
    c->state = ConnState::Body;
    c->deadline = monoMs() + m_lim.bodyTimeoutMs;
    const std::string *e = c->req.header("expect");
    if (e && lower(*e) == "100-continue" && !c->req.http10 && c->req.hasBody &&
        !(c->req.contentLength > c->bodyLimit)) {
      c->out = "HTTP/1.1 100 Continue\r\n\r\n";
      c->req.continueSent = true;
      bool failed = false;
      c->flush(&failed);
      if (failed) return closeConn(c);
    }
  }
  // The body of a call: collected here, within the shared budget, so that a worker never waits
  // for a slow peer.
  int s = 0;
  for (int round = 0;; round++) {
    s = svchttp__scanBody(c->req, c->bufferedData(), c->buffered(), c->bodyLimit, &c->scan);
    if (s != 0) break;
    if (m_sh.budgetUsed >= m_lim.bodyBudget) {
      c->parked = true;
      return watch(c);
    }
    // A fair share per turn: a fast sender must not keep the loop from everyone else.
    if (round >= 4 && !c->tlsPending()) return watch(c);
    size_t before = c->buffered();
    size_t want = before + 65536;
    if (c->req.contentLength >= 0) want = std::min(want, static_cast<size_t>(c->req.contentLength));
    int f = c->fill(std::max(want, before + 1));
    int64_t got = static_cast<int64_t>(c->buffered()) - c->budget;
    if (got > 0) {
      c->budget += got;
      m_sh.budgetUsed += got;
    }
    if (f < 0 || (f == 0 && c->buffered() == before)) return closeConn(c);
    if (c->buffered() == before) return watch(c);
  }
  c->req.bodyTooLarge = s == 2;
  if (m_loopPolicy && m_loopPolicy(c->req)) return serveOnLoop(c);
  dispatch(c, false);
}

void HttpLoop::enqueue(HttpConn *c) {
  setState(c, ConnState::Queued, m_lim.bodyTimeoutMs);
  m_queued.push_back(c);
  m_queuedCount = m_queued.size();
}

void HttpLoop::unqueue(HttpConn *c) {
  m_queued.erase(std::remove(m_queued.begin(), m_queued.end(), c), m_queued.end());
  m_queuedCount = m_queued.size();
}

void HttpLoop::startQueued() {
  while (!m_queued.empty()) {
    // The streaming workers are the whole server's: a place is taken before a transfer goes.
    int busy = m_sh.streaming.load();
    do {
      if (busy >= m_lim.streamWorkers) return;
    } while (!m_sh.streaming.compare_exchange_weak(busy, busy + 1));
    HttpConn *c = m_queued.front();
    m_queued.pop_front();
    m_queuedCount = m_queued.size();
    c->streamed = true;
    dispatch(c, true);
  }
}

void HttpLoop::dispatch(HttpConn *c, bool socketReads) {
  c->state = ConnState::Busy;
  c->socketReads = socketReads;
  c->out.clear();
  c->outPos = 0;
  unwatch(c);
  m_sh.busy++;
  {
    std::lock_guard<std::mutex> g(m_sh.lock);
    m_sh.work.push_back(c);
  }
  // Woken outside the lock: the worker does not wake only to wait for it.
  m_sh.workCv.notify_one();
}

void HttpLoops::worker() {
  for (;;) {
    HttpConn *c;
    {
      std::unique_lock<std::mutex> g(lock);
      workCv.wait(g, [this] { return closing || !work.empty(); });
      if (work.empty()) return;
      c = work.front();
      work.pop_front();
    }
    c->loop->serve(c);
    c->loop->returned(c);
  }
}

void HttpLoop::returned(HttpConn *c) {
  {
    std::lock_guard<std::mutex> g(m_returnLock);
    m_returned.push_back(c);
  }
  // One wake-up until the loop takes what came back: the others' answers go with it.
  if (!m_wakePending.exchange(true)) wake();
}

void HttpLoops::wakeQueued(const HttpLoop *self) {
  for (auto &l : loops)
    if (l.get() != self && l->hasQueued()) l->wake();
}

void HttpLoop::serve(HttpConn *c) {
  if (c->prepared) {
    // Content the loop's handler answered with.
    std::unique_ptr<HttpResponse> resp = std::move(c->prepared);
    std::shared_ptr<HttpContent> content = std::move(resp->content);
    (void)sendContent(c, *resp, std::move(content), c->preparedKeep, false);
    return;
  }
  HttpBody body(c, c->req);
  HttpResponse resp;
  m_handler(c->req, body, resp);
  (void)respond(c, body, resp, false);
}

void HttpLoop::serveOnLoop(HttpConn *c) {
  c->socketReads = false;
  c->out.clear();
  c->outPos = 0;
  HttpResponse resp;
  HttpBody body(c, c->req);
  c->req.onLoop = true;
  m_handler(c->req, body, resp);
  c->req.onLoop = false;
  if (resp.toWorker) return dispatch(c, false);
  if (!respond(c, body, resp, true)) {
    // Large content goes out from a worker, in turn with the other transfers.
    enqueue(c);
    return startQueued();
  }
  release(c);
  c->releaseBuffer();
  if (c->after == After::Close && c->out.empty()) return closeConn(c);
  beginWrite(c);
}

// The answer of a handler that has run: in `out` for the loop to send, or written by the
// worker. False, on the loop, for content that a worker must send (in `prepared`).
bool HttpLoop::respond(HttpConn *c, const HttpBody &body, HttpResponse &resp, bool onLoop) {
  const HttpRequest &req = c->req;
  // A large call leaves many small blocks behind; they go back to the system once the workers
  // are idle (trimming takes the allocator's locks, which would stall everyone in a burst).
  if (!c->streamed && (req.contentLength > (256 << 10) || c->scan.decoded > (256 << 10)))
    m_sh.trimWanted.store(true);
  if (resp.abort) {
    c->after = After::Close;
    return true;
  }
  if (!safeHeaders(resp)) {
    std::fprintf(stderr, "tesselsvc: an answer to %s had a malformed header field\n",
                 req.method.c_str());
    resp = HttpResponse();
    resp.status = 500;
    resp.set("Content-Type", "text/plain");
    resp.body = "internal error\n";
  }
  const std::string *connHdr = req.header("connection");
  bool keep = !resp.close && !body.failed() && body.finished() &&
              !(connHdr && lower(*connHdr) == "close") &&
              !(req.http10 && !(connHdr && lower(*connHdr) == "keep-alive")) &&
              !m_server->stopping();
  c->after = keep ? After::Keep : body.finished() ? After::Close : After::Linger;
  std::shared_ptr<HttpContent> content = resp.content;
  if (!content && !resp.filePath.empty()) {
    content = svchttp__openFile(resp.filePath);
    if (!content) {
      c->out = plainAnswer(404, "no content\n", keep);
      return true;
    }
  }
  if (!content) {
    c->out = headOf(resp.status, resp.headers, static_cast<int64_t>(resp.body.size()), keep);
    if (req.method != "HEAD") c->out += resp.body;
    return true;
  }
  return sendContent(c, resp, std::move(content), keep, onLoop);
}

bool HttpLoop::sendContent(HttpConn *c, HttpResponse &resp, std::shared_ptr<HttpContent> content,
                           bool keep, bool onLoop) {
  const HttpRequest &req = c->req;
  const bool head = req.method == "HEAD";
  const int64_t size = content->size();
  // A viewer reading the start of a large video, or a file system reading a piece of a file,
  // asks for one byte range.
  int64_t first = 0, last = 0, length = size;
  const bool ranges = resp.ranges && resp.status == 200;
  const int range = ranges ? svchttp__parseRange(req.header("range"), size, &first, &last) : 0;
  if (range < 0) {
    resp.headers = {{"Content-Type", "text/plain"},
                    {"Content-Range", "bytes */" + std::to_string(size)}};
    c->out = headOf(416, resp.headers, 0, keep);
    return true;
  }
  if (range > 0) length = last - first + 1;
  constexpr int64_t kSmall = 65536;
  int64_t send = head ? 0 : length;
  if (resp.cutAfter >= 0 && resp.cutAfter < send) send = resp.cutAfter;
  // The loop reads no more than a thumbnail's worth: a large file may wait for the disk.
  if (onLoop && send > kSmall) {
    resp.content = std::move(content);
    resp.filePath.clear();
    c->prepared = std::make_unique<HttpResponse>(std::move(resp));
    c->preparedKeep = keep;
    return false;
  }
  if (ranges) {
    resp.set("Accept-Ranges", "bytes");
    if (range > 0) {
      resp.status = 206;
      resp.set("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                    "/" + std::to_string(size));
    }
  }
  std::string start = headOf(resp.status, resp.headers, length, keep);
  int64_t at = first;
  // Small content (a thumbnail) goes out with its head in one write, as one segment.
  if (onLoop || (send > 0 && send <= kSmall)) {
    const size_t headSize = start.size();
    start.resize(headSize + static_cast<size_t>(send));
    int64_t got = 0;
    while (got < send) {
      const long r =
          content->readAt(start.data() + headSize + got, static_cast<size_t>(send - got), at + got);
      if (r <= 0) break;
      got += r;
    }
    // A file that shrank under us: what was read goes out, then the connection ends.
    if (got < send) start.resize(headSize + static_cast<size_t>(got));
    if (got < send || send < (head ? 0 : length)) c->after = After::Close;
    if (onLoop) {
      c->out = std::move(start);
      return true;
    }
    if (!c->writeAll(start)) c->after = After::Close;
    return true;
  }
  char tmp[65536];
  bool ok = c->writeAll(start);
  for (int64_t left = send; ok && left > 0;) {
    long r = content->readAt(tmp, sizeof tmp, at);
    if (r <= 0) {
      ok = false;
      break;
    }
    r = static_cast<long>(std::min<int64_t>(r, left));
    ok = c->writeAll(tmp, static_cast<size_t>(r));
    left -= r;
    at += r;
  }
  if (!ok || send < (head ? 0 : length)) c->after = After::Close;
  return true;
}

void HttpLoop::takeReturned() {
  std::deque<HttpConn *> back;
  // Cleared before the take: a worker returning after it wakes the loop again.
  m_wakePending.store(false);
  {
    std::lock_guard<std::mutex> g(m_returnLock);
    back.swap(m_returned);
  }
  bool freed = false;
  for (HttpConn *c : back) {
    m_sh.busy--;
    if (c->streamed) {
      m_sh.streaming--;
      freed = true;
    }
    c->streamed = false;
    release(c);
    c->releaseBuffer();
    if (c->after == After::Close && c->out.empty()) {
      closeConn(c);
      continue;
    }
    beginWrite(c);
  }
  startQueued();
  if (freed) m_sh.wakeQueued(this);
}

void HttpLoop::beginWrite(HttpConn *c) {
  // Watched for room only when the answer does not go at once.
  c->state = ConnState::Write;
  c->deadline = monoMs() + m_lim.bodyTimeoutMs;
  write(c);
}

void HttpLoop::answer(HttpConn *c, const std::string &bytes, After after) {
  c->out = bytes;
  c->outPos = 0;
  c->after = after;
  setState(c, ConnState::Write, m_lim.bodyTimeoutMs);
  write(c);
}

void HttpLoop::write(HttpConn *c) {
  bool failed = false;
  if (!c->flush(&failed)) {
    if (failed) return closeConn(c);
    return watch(c);
  }
  afterAnswer(c);
}

void HttpLoop::afterAnswer(HttpConn *c) {
  if (c->after == After::Close || (c->after == After::Keep && m_server->stopping()))
    return closeConn(c);
  if (c->after == After::Linger) {
    c->shutdownWrite();
    c->lingered = 0;
    return setState(c, ConnState::Linger, 2000);
  }
  // Kept alive: a request that already arrived behind this one is read at once.
  if (c->pending()) {
    setState(c, ConnState::Head, m_lim.headerTimeoutMs);
    if (m_depth >= 8) return m_again.push_back(c);
    m_depth++;
    progress(c);
    m_depth--;
    return;
  }
  setState(c, ConnState::Idle, m_lim.idleTimeoutMs);
}

HttpServer::HttpServer() = default;

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
  SSL_CTX_set_mode(m_ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  std::string portText = std::to_string(port);
  if (getaddrinfo(host.c_str(), portText.c_str(), &hints, &res) != 0 || !res) {
    *err = "cannot resolve " + host;
    return false;
  }
  m_listenFd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (m_listenFd < 0 || bind(m_listenFd, res->ai_addr, res->ai_addrlen) != 0 ||
      ::listen(m_listenFd, 1024) != 0) {
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

bool HttpServer::run(HttpHandler handler, HttpBodyPolicy policy, std::string *err) {
  m_loops = std::make_unique<HttpLoops>(this, std::move(handler), std::move(policy));
  return m_loops->run(err);
}

void HttpServer::pause(int ms) {
  if (m_loops)
    m_loops->pause(ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {

class FileContent : public HttpContent {
 public:
  FileContent(int fd, int64_t size) : m_fd(fd), m_size(size) {}
  int64_t size() const override { return m_size; }
  long readAt(char *buf, size_t n, int64_t offset) override {
    for (;;) {
      const ssize_t r = ::pread(m_fd.get(), buf, n, offset);
      if (r < 0 && errno == EINTR) continue;
      return static_cast<long>(r);
    }
  }

 private:
  UniqueFd m_fd;
  int64_t m_size;
};

}  // namespace

std::shared_ptr<HttpContent> svchttp__openFile(const std::string &path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  auto out = std::make_shared<FileContent>(fd.get(), static_cast<int64_t>(st.st_size));
  (void)fd.release();
  return out;
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

namespace tessel::svc {

namespace {

// Decimal digits from `*p` (at least one), saturating at the largest int64.
bool rangeNumber(const char **p, const char *end, int64_t *out) {
  const char *s = *p;
  int64_t v = 0;
  while (*p < end && **p >= '0' && **p <= '9') {
    const int d = **p - '0';
    v = v > (INT64_MAX - d) / 10 ? INT64_MAX : v * 10 + d;
    ++*p;
  }
  *out = v;
  return *p > s;
}

}  // namespace

int svchttp__parseRange(const std::string *header, int64_t size, int64_t *first, int64_t *last) {
  if (!header) return 0;
  const char *p = header->data(), *end = p + header->size();
  auto blanks = [&] {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
  };
  blanks();
  if (end - p < 6 || strncasecmp(p, "bytes", 5) != 0) return 0;
  p += 5;
  blanks();
  if (p == end || *p != '=') return 0;
  ++p;
  blanks();
  int64_t a = -1, b = -1;
  if (p < end && *p == '-') {
    ++p;
    if (!rangeNumber(&p, end, &b)) return 0;
  } else {
    if (!rangeNumber(&p, end, &a)) return 0;
    blanks();
    if (p == end || *p != '-') return 0;
    ++p;
    blanks();
    if (p < end && *p >= '0' && *p <= '9') (void)rangeNumber(&p, end, &b);
  }
  blanks();
  if (p != end) return 0;  // several ranges or trailing bytes: the whole body
  if (a < 0) {
    // The last b bytes.
    if (b == 0 || size == 0) return -1;
    *first = b >= size ? 0 : size - b;
    *last = size - 1;
    return 1;
  }
  if (b >= 0 && b < a) return 0;
  if (a >= size) return -1;
  *first = a;
  *last = b < 0 || b >= size ? size - 1 : b;
  return 1;
}

}  // namespace tessel::svc
