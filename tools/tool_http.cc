// tesseltool http: one request through the connection pool.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "brhttp.h"
#include "hbhttpconnpool.h"
#include "hburl.h"
#include "tesseltool.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: tesseltool http METHOD URL [--data FILE|-] [--out FILE] "
          "[--header 'Name: value']... [--chunked]\n");
  return 64;
}

bool writeAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string encodeTarget(const std::string &path) {
  static const char kKeep[] = "-._~/:?=&;,@!$'()*+";
  std::string out;
  char hex[4];
  for (unsigned char ch : path) {
    if (isalnum(ch) || (ch && strchr(kKeep, ch))) {
      out += static_cast<char>(ch);
    } else {
      snprintf(hex, sizeof(hex), "%%%02X", ch);
      out += hex;
    }
  }
  return out;
}

// Sends the whole buffer as body, offering the rest again after short writes.
int32_t sendBody(BRHTTPRequest *r, const char *p, size_t n) {
  while (n > 0) {
    const int32_t chunk = n > (1u << 20) ? (1 << 20) : static_cast<int32_t>(n);
    const int32_t w = BRHTTPRequest__writeRequestBody(r, p, chunk);
    if (w < 0) return w;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

int runHttp(int argc, char **argv) {
  if (argc < 3) return usage();
  const char *method = argv[1];
  const char *urlText = argv[2];
  const char *dataPath = nullptr;
  const char *outPath = nullptr;
  bool chunked = false;
  std::vector<std::string> headers;
  for (int i = 3; i < argc; ++i) {
    if (!strcmp(argv[i], "--data") && i + 1 < argc) {
      dataPath = argv[++i];
    } else if (!strcmp(argv[i], "--out") && i + 1 < argc) {
      outPath = argv[++i];
    } else if (!strcmp(argv[i], "--header") && i + 1 < argc) {
      headers.push_back(argv[++i]);
    } else if (!strcmp(argv[i], "--chunked")) {
      chunked = true;
    } else {
      return usage();
    }
  }
  HBRef<IHBURL> url;
  if (hburl__parse(url.out(), urlText) < 0) {
    fprintf(stderr, "bad URL: %s\n", urlText);
    return 1;
  }
  int inFd = -1;
  off_t inSize = -1;
  if (dataPath) {
    inFd = strcmp(dataPath, "-") == 0 ? 0 : open(dataPath, O_RDONLY | O_CLOEXEC);
    if (inFd < 0) {
      perror(dataPath);
      return 1;
    }
    if (inFd != 0) inSize = lseek(inFd, 0, SEEK_END), lseek(inFd, 0, SEEK_SET);
    if (inSize < 0) chunked = true;  // standard input: length unknown
  }
  IHBHTTPConnPool *pool = nullptr;
  if (hbhttpconnpool__create(&pool) < 0) return 1;
  hbhttpconnpool__setDefault(pool);
  int exitCode = 1;
  BRHTTPConnection *conn = nullptr;
  BRHTTPRequest *req = nullptr;
  int outFd = 1;
  int32_t rc = hburl__connect(url.get(), &conn);
  if (rc < 0) {
    fprintf(stderr, "connect failed: %d %s\n", rc, brerror__name(rc));
    goto out;
  }
  {
    // The stored path is decoded: encode it again for the request line, keeping the query.
    const std::string path = encodeTarget(url->getPath() ? url->getPath() : "/");
    rc = BRHTTPConnection__newRequest(conn, method, path.c_str(), &req);
  }
  if (rc < 0) goto out;
  for (const std::string &h : headers) {
    const size_t colon = h.find(':');
    if (colon == std::string::npos) continue;
    std::string value = h.substr(colon + 1);
    while (!value.empty() && value[0] == ' ') value.erase(0, 1);
    rc = BRHTTPRequest__addRequestHeader(req, h.substr(0, colon).c_str(), value.c_str());
    if (rc < 0) goto out;
  }
  if (inFd >= 0) {
    if (chunked) {
      rc = BRHTTPRequest__addRequestHeader(req, "Transfer-Encoding", "chunked");
    } else {
      rc = BRHTTPRequest__addRequestHeader(req, "Content-Length",
                                           std::to_string(static_cast<long long>(inSize)).c_str());
    }
    if (rc < 0) goto out;
    std::vector<char> buf(1u << 20);
    for (;;) {
      const ssize_t n = read(inFd, buf.data(), buf.size());
      if (n < 0) {
        perror("read");
        goto out;
      }
      if (n == 0) break;
      rc = sendBody(req, buf.data(), static_cast<size_t>(n));
      if (rc < 0) goto out;
    }
  }
  {
    char reason[256];
    rc = BRHTTPRequest__receiveResponseHeader(req, reason, sizeof(reason));
    if (rc < 0) goto out;
    fprintf(stderr, "HTTP %d %s\n", rc, reason);
    const int status = rc;
    if (outPath) {
      outFd = open(outPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (outFd < 0) {
        perror(outPath);
        goto out;
      }
    }
    std::vector<char> buf(1u << 20);
    for (;;) {
      rc = BRHTTPRequest__receiveResponseBody(req, buf.data(), static_cast<int32_t>(buf.size()));
      if (rc <= 0) break;
      if (!writeAll(outFd, buf.data(), static_cast<size_t>(rc))) {
        perror("write");
        goto out;
      }
    }
    if (rc == 0) exitCode = (status >= 200 && status < 300) ? 0 : 1;
  }
out:
  if (rc < 0) fprintf(stderr, "request failed: %d %s\n", rc, brerror__name(rc));
  if (req) BRHTTPRequest__destroy(req);
  if (conn) (void)hburl__release(url.get(), conn);
  if (outFd > 1) close(outFd);
  if (inFd > 0) close(inFd);
  hbhttpconnpool__setDefault(nullptr);
  pool->dnref();
  return exitCode;
}

}  // namespace

TESSEL_TOOL_COMMAND(http, "http METHOD URL [--data FILE|-] [--out FILE] [--header 'Name: value']... [--chunked]",
                    "one HTTP request through the connection pool; status on stderr, body on stdout",
                    runHttp);
