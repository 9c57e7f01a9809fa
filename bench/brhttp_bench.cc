// HTTP client throughput.
//
// BM_PooledKeepAlive*: small requests per second over one pooled keep-alive connection to an
// in-process loopback server. With nginx installed, the same run also measures, against one
// nginx on loopback: upload MB/s of a 200 MB file (this client against `curl -T`), download MB/s
// (against `curl -o`), and small requests per second over one keep-alive connection (against one
// curl process fetching the same URLs). Compare the bytes_per_second and items_per_second
// columns of each pair.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "../tests/common/nettest.h"
#include "brhttp.h"
#include "hbhttpconnpool.h"
#include "hburl.h"

namespace {

// Answers every request on a connection with a small body.
nettest::ScriptServer::Handler smallServer() {
  return [](int fd, int) {
    std::string buf;
    char tmp[16384];
    const std::string resp = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    for (;;) {
      size_t end;
      while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
        if (!nettest::waitReadable(fd, 10000)) return;
        const ssize_t n = recv(fd, tmp, sizeof(tmp), 0);
        if (n <= 0) return;
        buf.append(tmp, static_cast<size_t>(n));
      }
      buf.erase(0, end + 4);
      if (!nettest::sendAll(fd, resp)) return;
    }
  };
}

int32_t request(IHBHTTPConnPool *pool, IHBURL *url, const char *method, const char *data,
                size_t size, int64_t *received) {
  BRHTTPConnection *c = nullptr;
  int32_t rc = pool->getConnection(url, &c);
  if (rc < 0) return rc;
  BRHTTPRequest *r = nullptr;
  rc = BRHTTPConnection__newRequest(c, method, url->getPath(), &r);
  if (rc == 0 && data)
    rc = BRHTTPRequest__addRequestHeader(r, "Content-Length", std::to_string(size).c_str());
  size_t off = 0;
  while (rc >= 0 && data && off < size) {
    const int32_t want = static_cast<int32_t>(std::min<size_t>(1u << 20, size - off));
    rc = BRHTTPRequest__writeRequestBody(r, data + off, want);
    if (rc > 0) off += static_cast<size_t>(rc);
  }
  if (rc >= 0) rc = BRHTTPRequest__receiveResponseHeader(r, nullptr, 0);
  static thread_local std::string buf(1u << 20, '\0');
  const int32_t status = rc;
  while (rc > 0 &&
         (rc = BRHTTPRequest__receiveResponseBody(r, buf.data(), static_cast<int32_t>(buf.size()))) > 0)
    *received += rc;
  if (r) BRHTTPRequest__destroy(r);
  pool->releaseConnection(url, c);
  return rc < 0 ? rc : status;
}

void BM_PooledKeepAliveSmallRequests(benchmark::State &state) {
  nettest::ScriptServer server(smallServer());
  IHBHTTPConnPool *pool = nullptr;
  (void)hbhttpconnpool__create(&pool);
  HBRef<IHBURL> url;
  (void)hburl__parse(url.out(), ("http://127.0.0.1:" + std::to_string(server.port()) + "/s").c_str());
  int64_t got = 0;
  for (auto _ : state) {
    if (request(pool, url.get(), "GET", nullptr, 0, &got) != 200) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  pool->closeAll();
  pool->dnref();
}
BENCHMARK(BM_PooledKeepAliveSmallRequests)->UseRealTime();

// ---- Against nginx and curl ----

struct NginxSetup {
  std::string dir;
  std::unique_ptr<nettest::Nginx> nginx;
  std::string bigPath;
  std::string big;
  int port = 0;

  NginxSetup() {
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/brhttp-bench-XXXXXX";
    if (!mkdtemp(templ.data())) return;
    dir = templ;
    // A port that was free a moment ago.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
    socklen_t len = sizeof(sin);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    port = ntohs(sin.sin_port);
    close(fd);
    nginx = std::make_unique<nettest::Nginx>(dir, port);
    if (!nginx->ok()) return;
    big.assign(200u << 20, '\0');
    for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i >> 12);
    bigPath = dir + "/big.bin";
    FILE *f = fopen(bigPath.c_str(), "wb");
    fwrite(big.data(), 1, big.size(), f);
    fclose(f);
    f = fopen((nginx->root() + "/small.txt").c_str(), "wb");
    fputs("hello", f);
    fclose(f);
    f = fopen((nginx->root() + "/big.bin").c_str(), "wb");
    fwrite(big.data(), 1, big.size(), f);
    fclose(f);
  }
  ~NginxSetup() {
    nginx.reset();
    if (!dir.empty()) {
      const std::string cmd = "rm -rf '" + dir + "'";
      if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
  }
  bool ok() const { return nginx && nginx->ok(); }
};

NginxSetup &setup() {
  static NginxSetup s;
  return s;
}

bool runCurl(const std::string &args) {
  const std::string cmd = "curl -s -f " + args + " > /dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

void BM_NginxUpload200MB(benchmark::State &state) {
  NginxSetup &s = setup();
  if (!s.ok()) return state.SkipWithError("nginx not installed");
  IHBHTTPConnPool *pool = nullptr;
  (void)hbhttpconnpool__create(&pool);
  HBRef<IHBURL> url;
  (void)hburl__parse(url.out(), s.nginx->url("/up/client.bin").c_str());
  int64_t got = 0;
  for (auto _ : state) {
    const int32_t rc = request(pool, url.get(), "PUT", s.big.data(), s.big.size(), &got);
    if (rc != 201 && rc != 204) {
      state.SkipWithError("upload failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.big.size()));
  pool->closeAll();
  pool->dnref();
}
BENCHMARK(BM_NginxUpload200MB)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CurlUpload200MB(benchmark::State &state) {
  NginxSetup &s = setup();
  if (!s.ok()) return state.SkipWithError("nginx not installed");
  for (auto _ : state)
    if (!runCurl("-T '" + s.bigPath + "' " + s.nginx->url("/up/curl.bin"))) {
      state.SkipWithError("curl failed");
      break;
    }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.big.size()));
}
BENCHMARK(BM_CurlUpload200MB)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_NginxDownload200MB(benchmark::State &state) {
  NginxSetup &s = setup();
  if (!s.ok()) return state.SkipWithError("nginx not installed");
  IHBHTTPConnPool *pool = nullptr;
  (void)hbhttpconnpool__create(&pool);
  HBRef<IHBURL> url;
  (void)hburl__parse(url.out(), s.nginx->url("/big.bin").c_str());
  int64_t got = 0;
  for (auto _ : state)
    if (request(pool, url.get(), "GET", nullptr, 0, &got) != 200) {
      state.SkipWithError("download failed");
      break;
    }
  state.SetBytesProcessed(got);
  pool->closeAll();
  pool->dnref();
}
BENCHMARK(BM_NginxDownload200MB)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CurlDownload200MB(benchmark::State &state) {
  NginxSetup &s = setup();
  if (!s.ok()) return state.SkipWithError("nginx not installed");
  for (auto _ : state)
    if (!runCurl("-o /dev/null " + s.nginx->url("/big.bin"))) {
      state.SkipWithError("curl failed");
      break;
    }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.big.size()));
}
BENCHMARK(BM_CurlDownload200MB)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

constexpr int kSmallBatch = 2000;

void BM_NginxSmallRequests(benchmark::State &state) {
  NginxSetup &s = setup();
  if (!s.ok()) return state.SkipWithError("nginx not installed");
  IHBHTTPConnPool *pool = nullptr;
  (void)hbhttpconnpool__create(&pool);
  HBRef<IHBURL> url;
  (void)hburl__parse(url.out(), s.nginx->url("/small.txt").c_str());
  int64_t got = 0;
  for (auto _ : state)
    for (int i = 0; i < kSmallBatch; ++i)
      if (request(pool, url.get(), "GET", nullptr, 0, &got) != 200) {
        state.SkipWithError("request failed");
        break;
      }
  state.SetItemsProcessed(state.iterations() * kSmallBatch);
  pool->closeAll();
  pool->dnref();
}
BENCHMARK(BM_NginxSmallRequests)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CurlSmallRequests(benchmark::State &state) {
  NginxSetup &s = setup();
  if (!s.ok()) return state.SkipWithError("nginx not installed");
  // One curl process, one keep-alive connection, the same number of requests.
  const std::string conf = s.dir + "/curl.conf";
  FILE *f = fopen(conf.c_str(), "w");
  for (int i = 0; i < kSmallBatch; ++i)
    fprintf(f, "url = \"%s\"\noutput = \"/dev/null\"\n", s.nginx->url("/small.txt").c_str());
  fclose(f);
  for (auto _ : state)
    if (!runCurl("-K '" + conf + "'")) {
      state.SkipWithError("curl failed");
      break;
    }
  state.SetItemsProcessed(state.iterations() * kSmallBatch);
}
BENCHMARK(BM_CurlSmallRequests)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
