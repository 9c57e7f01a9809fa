// A small HTTP/1.1 server: one listening socket that speaks plain HTTP and TLS (told apart by
// the first byte of each connection), keep-alive, Content-Length and chunked request bodies,
// a thread per connection, and a stop that lets requests in flight finish.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
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
  bool sentContinue = false;

 protected:
  virtual long rawRead(char *buf, size_t n) = 0;
  bool buffered() const { return m_pos < m_buf.size(); }

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
  std::string peer;                                          // numeric address of the other side
  bool loopback = false;                                     // the other side is 127.0.0.0/8 or ::1
  bool tls = false;
  int64_t contentLength = -1;  // -1 with a chunked body
  bool hasBody = false;
  const std::string *header(const std::string &lowerName) const;
};

// The request body, read in pieces by the handler. A handler that leaves part of the body
// unread makes the server close the connection after the answer.
class HttpBody {
 public:
  explicit HttpBody(HttpSource *conn, const HttpRequest &req);
  // Bytes read (> 0), 0 at the end of the body, -1 on a malformed body or a broken connection.
  long read(char *buf, size_t n);
  // Reads the whole body if it has at most `limit` bytes; false otherwise.
  bool readAll(std::string *out, size_t limit);
  bool finished() const { return m_done; }
  bool failed() const { return m_failed; }
  int64_t received() const { return m_received; }

 private:
  bool nextChunk();
  HttpSource *m_conn;
  bool m_chunked;
  bool m_expectContinue;
  int64_t m_left;  // bytes left in the body or in the current chunk
  bool m_chunkCrlf = false;
  bool m_done = false;
  bool m_failed = false;
  int64_t m_received = 0;
};

struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string filePath;  // when set, the body is this file's content
  bool close = false;    // close the connection after the answer
  bool abort = false;    // drop the connection without an answer
  void set(const std::string &name, const std::string &value);
};

using HttpHandler = std::function<void(const HttpRequest &, HttpBody &, HttpResponse &)>;

class HttpServer {
 public:
  HttpServer() = default;
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Binds HOST:PORT (port 0 picks a free one) and loads the certificate for TLS connections.
  bool listen(const std::string &host, int port, const std::string &certFile,
              const std::string &keyFile, std::string *err);
  int port() const { return m_port; }
  // Serves until stop(); then waits for the connections still answering a request.
  void run(HttpHandler handler);
  // Safe from a signal handler.
  void stop();

 private:
  void serveConnection(int fd, std::string peer, bool loopback);
  friend class HttpConn;

  int m_listenFd = -1;
  int m_wakePipe[2] = {-1, -1};
  int m_port = 0;
  SSL_CTX *m_ssl = nullptr;
  HttpHandler m_handler;
  std::atomic<bool> m_stopping{false};
  std::mutex m_lock;
  std::condition_variable m_idle;
  int m_active = 0;
};

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

 private:
  int m_fd;
};

// Percent-decoding; false for a bad escape. `plusSpace` decodes "+" as a blank (forms).
bool svchttp__decode(const std::string &in, std::string *out, bool plusSpace);
// The value of `name` in an a=b&c=d text, decoded; empty when missing.
std::string svchttp__param(const std::string &query, const std::string &name);

}  // namespace tessel::svc
