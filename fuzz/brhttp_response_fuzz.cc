// The HTTP response reader on arbitrary server bytes. A loopback peer sends the input in pieces
// (split points taken from the input's first byte) and closes; the client reads the header and
// the body and destroys the request, which drains or closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <thread>

#include "brhttp.h"

namespace {

int listener(uint16_t *port) {
  static int fd = -1;
  static uint16_t p = 0;
  if (fd < 0) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0) return -1;
    socklen_t len = sizeof(sin);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    listen(fd, 16);
    p = ntohs(sin.sin_port);
  }
  *port = p;
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  uint16_t port = 0;
  const int lfd = listener(&port);
  if (lfd < 0) return 0;
  BRHTTPConnection *c = nullptr;
  if (BRHTTPConnection__new(&c, "http", "127.0.0.1", port, 0, 2000, 2000, 2000) < 0) return 0;
  const int sfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  if (sfd < 0) {
    BRHTTPConnection__destroy(c);
    return 0;
  }
  const unsigned seed = data[0];
  std::thread peer([&] {
    size_t off = 1;
    unsigned step = seed | 1;
    while (off < size) {
      step = step * 1103515245u + 12345u;
      size_t n = 1 + (step >> 16) % 97;
      if (n > size - off) n = size - off;
      if (send(sfd, data + off, n, MSG_NOSIGNAL) <= 0) break;
      off += n;
      if ((step >> 8) & 1) usleep(50);
    }
    shutdown(sfd, SHUT_WR);
  });
  BRHTTPRequest *r = nullptr;
  if (BRHTTPConnection__newRequest(c, (seed & 0x80) ? "HEAD" : "GET", "/", &r) == 0) {
    char reason[32];
    if (BRHTTPRequest__receiveResponseHeader(r, reason, sizeof(reason)) > 0) {
      (void)BRHTTPRequest__getResponseHeader(r, "Content-Type");
      char buf[777];
      // Leave some of the body for destroy to drain now and then.
      for (int i = 0; i < ((seed & 0x40) ? 3 : 1000); ++i)
        if (BRHTTPRequest__receiveResponseBody(r, buf, sizeof(buf)) <= 0) break;
    }
    BRHTTPRequest__destroy(r);
  }
  peer.join();
  close(sfd);
  BRHTTPConnection__destroy(c);
  return 0;
}
