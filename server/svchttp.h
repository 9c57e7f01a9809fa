// A small HTTP/1.1 server: one listening socket that speaks plain HTTP and TLS (told apart by
// the first byte of each connection), keep-alive, Content-Length and chunked request bodies.
// Event-loop threads (one per core) hold the connections while they are idle, send their
// request heads or calls' bodies, or read their answers; each connection stays with one loop from
// accept to close. A fixed pool of workers runs the handlers. Requests that the loop policy names
// (small answers from memory or the page cache) are answered by the loop itself, without a
// hand-over. A stop lets the requests in flight finish for a bounded time.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tessel::svc {

class HttpConn;

// Buffered source of request bytes: a connection, or memory for tests and fuzzing.
class HttpSource {
 public:
  virtual ~HttpSource() = default;
  // Buffered read of up to n bytes: > 0, 0 at the end, -1 on failure.
  long read(char *buf, size_t n);
  // A line ending in LF (CR LF accepted), without its end. 0 ok, -1 failure or end, -2 longer
  // than `limit`.
  int readLine(std::string *line, size_t limit);
  virtual bool writeAll(const char *p, size_t n) = 0;
  bool writeAll(const std::string &s) { return writeAll(s.data(), s.size()); }
  // Bytes received and not read yet.
  size_t buffered() const { return m_buf.size() - m_pos; }
  const char *bufferedData() const { return m_buf.data() + m_pos; }

 protected:
  virtual long rawRead(char *buf, size_t n) = 0;
  // Adds received bytes behind those not read yet.
  void append(const char *p, size_t n);

 private:
  std::string m_buf;
  size_t m_pos = 0;
};

struct HttpRequest {
  std::string method;
  std::string target;  // as sent
  std::string path;    // target without the query, not decoded
  std::string query;
  bool http10 = false;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string peer;   // numeric address of the other side (IPv4-mapped addresses as IPv4)
  std::string local;  // this side's address and port as in a URL: "127.0.0.1:8480", "[::1]:8480"
  bool loopback = false;  // the other side is 127.0.0.0/8 or ::1
  bool tls = false;
  int64_t contentLength = -1;  // -1 with a chunked body
  bool hasBody = false;
  bool bodyTooLarge = false;  // longer than the server reads for this kind of request
  bool continueSent = false;  // "100 Continue" already went out
  // The handler runs on the event loop: it must not wait (for a network, a writer's lock, a
  // peer), and sets HttpResponse::toWorker, before reading the body, for a worker to run it.
  bool onLoop = false;
  const std::string *header(const std::string &lowerName) const;
};

// The request body, read in pieces by the handler. A handler that leaves part of the body
// unread makes the server close the connection after the answer.
class HttpBody {
 public:
  explicit HttpBody(HttpSource *conn, const HttpRequest &req);
  // Bytes read (> 0), 0 at the end of the body, -1 on a malformed body, a broken connection or
  // a body over the server's limit (tooLarge()).
  long read(char *buf, size_t n);
  // Reads the whole body if it has at most `limit` bytes; false otherwise (failed() tells a
  // malformed body from one that is too large).
  bool readAll(std::string *out, size_t limit);
  bool tooLarge() const { return m_tooLarge; }
  bool finished() const { return m_done; }
  bool failed() const { return m_failed; }
  int64_t received() const { return m_received; }

 private:
  bool nextChunk();
  HttpSource *m_conn;
  bool m_chunked;
  bool m_expectContinue;
  bool m_tooLarge;
  int64_t m_left;  // bytes left in the body or in the current chunk
  bool m_chunkCrlf = false;
  bool m_done = false;
  bool m_failed = false;
  int64_t m_received = 0;
};

// Content an answer sends: a stored stream of a known size, read from any offset.
class HttpContent {
 public:
  virtual ~HttpContent() = default;
  virtual int64_t size() const = 0;
  // Up to n bytes from `offset`: > 0, 0 at the end, -1 on failure.
  virtual long readAt(char *buf, size_t n, int64_t offset) = 0;
};
// A regular file as content (opened without following a link); null when it cannot be opened
// or is not a regular file.
std::shared_ptr<HttpContent> svchttp__openFile(const std::string &path);

struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string filePath;                  // when set, the body is this file's content
  std::shared_ptr<HttpContent> content;  // or, when set, this content
  bool ranges = false;    // with content: a single byte range of the request is honoured
  int64_t cutAfter = -1;  // with content: drop the connection after this many body bytes
  bool close = false;     // close the connection after the answer
  bool abort = false;     // drop the connection without an answer
  bool toWorker = false;  // from a handler on the loop: run the request again on a worker
  void set(const std::string &name, const std::string &value);
};

using HttpHandler = std::function<void(const HttpRequest &, HttpBody &, HttpResponse &)>;

// How much of a request's body the event loop collects before a worker sees the request:
// N >= 0 bytes at most (a longer body reaches the handler as tooLarge()), or kHttpStreamBody
// for requests whose handler reads (or writes) a body of any size over the connection itself.
constexpr long kHttpStreamBody = -1;
using HttpBodyPolicy = std::function<long(const HttpRequest &)>;
// Whether the event loop runs the handler of a request (with a collected body) itself: true
// only where the handler answers at once (and may run on several loops at once). Content of more
// than 64 KiB still goes out from a worker, counted among the streaming ones.
using HttpLoopPolicy = std::function<bool(const HttpRequest &)>;

struct HttpLimits {
  int loops = 0;                  // event-loop threads; 0: one per core, at most 8
  int workers = 16;               // handler threads
  int streamWorkers = 12;         // of these, at most this many on streamed bodies at once
  int maxConnections = 4096;      // open connections; more are answered 503
  int maxPerPeer = 64;            // open connections from one address; more are answered 503
  int headerTimeoutMs = 10000;    // for a whole request line and header fields
  int bodyTimeoutMs = 30000;      // for a whole collected body, an answer, one read of a stream
  int idleTimeoutMs = 60000;      // between requests of a kept-alive connection
  int drainMs = 5000;             // after stop(), for the requests in flight
  int64_t bodyBudget = 64 << 20;  // bytes of collected bodies held at once
};

class HttpLoop;
class HttpLoops;

class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  void setLimits(const HttpLimits &limits) { m_limits = limits; }
  void setLoopPolicy(HttpLoopPolicy policy) { m_loopPolicy = std::move(policy); }
  // Binds HOST:PORT (port 0 picks a free one) and loads the certificate for TLS connections.
  bool listen(const std::string &host, int port, const std::string &certFile,
              const std::string &keyFile, std::string *err);
  int port() const { return m_port; }
  // Serves until stop(), then lets the requests in flight finish for at most drainMs and ends
  // every thread it started. False (with `err`) when no worker could be started.
  bool run(HttpHandler handler, HttpBodyPolicy policy, std::string *err);
  // Safe from a signal handler.
  void stop();
  bool stopping() const { return m_stopping.load(); }
  // Sleeps for `ms`, or less once the drain time after stop() is over.
  void pause(int ms);

 private:
  friend class HttpLoop;
  friend class HttpLoops;
  HttpLimits m_limits;
  HttpLoopPolicy m_loopPolicy;
  int m_listenFd = -1;
  int m_wakePipe[2] = {-1, -1};
  int m_port = 0;
  SSL_CTX *m_ssl = nullptr;
  std::atomic<bool> m_stopping{false};
  std::unique_ptr<HttpLoops> m_loops;
};

// Where a collected body stands: svchttp__scanBody walks the bytes received so far.
struct HttpBodyScan {
  int state = 0;        // chunked: 0 size line, 1 data, 2 end of data, 3 trailer
  int64_t left = 0;     // data bytes left in the current chunk
  size_t at = 0;        // bytes of the body looked at
  int64_t decoded = 0;  // body bytes announced so far
  int trailers = 0;
};
// 1 when `data` (the bytes after the head) holds the whole body, 0 when more are needed, 2 when
// the body is longer than `limit`, -1 when its framing is malformed.
int svchttp__scanBody(const HttpRequest &req, const char *data, size_t n, int64_t limit,
                      HttpBodyScan *scan);
// "host:port" of a socket address as in a URL, the bare host in `host`, and whether it is a
// loopback address; IPv4-mapped IPv6 addresses count as the IPv4 address they carry.
std::string svchttp__addressText(const void *sockaddrStorage, std::string *host, bool *loopback);

// Reads a request line and header fields into `req` (method, target, path, query, headers and
// body framing): 0, or the status of the refusal (400 malformed, 431 too large), or -1 when
// the input ended before a request began.
int svchttp__readHead(HttpSource *src, HttpRequest *req);

// Makes a self-signed certificate and key for 127.0.0.1 and localhost when the files are
// missing; the key file is created mode 0600.
bool svctls__ensureCertificate(const std::string &certFile, const std::string &keyFile,
                               std::string *err);

// Closes a file descriptor on scope exit.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : m_fd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  int get() const { return m_fd; }
  void adopt(int fd) {
    reset();
    m_fd = fd;
  }
  // Closes now; 0 or the failure of close().
  int reset();
  // Hands the descriptor over to the caller.
  int release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }

 private:
  int m_fd;
};

// Percent-decoding; false for a bad escape. `plusSpace` decodes "+" as a blank (forms).
bool svchttp__decode(const std::string &in, std::string *out, bool plusSpace);
// The value of `name` in an a=b&c=d text, decoded; empty when missing.
std::string svchttp__param(const std::string &query, const std::string &name);

// What a Range header asks of a body of `size` bytes: one range "bytes=A-B", "bytes=A-" or
// "bytes=-N" gives 1 with its first and last byte; a range that starts at or beyond the end (or
// an empty suffix) gives -1 (416). Anything else (no header, other units, several ranges,
// malformed numbers) gives 0: the whole body is sent.
int svchttp__parseRange(const std::string *header, int64_t size, int64_t *first, int64_t *last);

}  // namespace tessel::svc
