// Uploads in pieces on two instances sharing one PostgreSQL database and one content folder:
// a stream's pieces alternate between them, and a piece arriving at one while the other is
// writing the same pending upload waits for it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>

#include "svcpgcluster.h"
#include "svctestserver.h"
#include "testutil.h"

namespace tessel::test {
namespace {

using nlohmann::json;

struct Answer {
  int status = -1;
  std::string head, body;
  std::string header(const std::string &name) const {
    const std::string key = "\r\n" + name + ": ";
    const size_t at = head.find(key);
    if (at == std::string::npos) return "";
    const size_t from = at + key.size();
    return head.substr(from, head.find("\r\n", from) - from);
  }
};

// One request on its own connection; the first `sendBody` bytes of the body are sent (all when
// negative), then the answer is read to its end.
Answer http(int port, const std::string &method, const std::string &path, const std::string &body,
            const std::string &headers = "", long sendBody = -1) {
  Answer a;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
    if (fd >= 0) ::close(fd);
    return a;
  }
  const std::string req = method + " " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                          body.substr(0, sendBody < 0 ? body.size() : size_t(sendBody));
  ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  if (sendBody >= 0) ::shutdown(fd, SHUT_WR);
  std::string got;
  char buf[8192];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (std::sscanf(got.c_str(), "HTTP/1.%*d %d", &a.status) != 1) a.status = -1;
  const size_t b = got.find("\r\n\r\n");
  a.head = got.substr(0, b);
  if (b != std::string::npos) a.body = got.substr(b + 4);
  return a;
}

TEST(SvcPieces, PiecesAlternateBetweenTwoInstances) {
  TESSEL_NEED_POSTGRESQL();
  TempDir dir;
  const std::string data = dir.path() + "/data";
  svcTestDb() = SvcPgCluster::get().newDatabase();
  ASSERT_FALSE(svcTestDb().empty());
  SvcUser alice;
  ASSERT_TRUE(addSvcUser(data, "alice", "pw", {"--quota", "1000000"}, &alice));
  SvcProcess a, b;
  ASSERT_TRUE(a.start(data, {"--instance", "a"}));
  ASSERT_TRUE(b.start(data, {"--instance", "b"}));
  const int port[2] = {a.port(), b.port()};
  const std::string cookie = "Cookie: valtoken=" + alice.token + "\r\n";
  const json args = {{"valtoken", alice.token},
                     {"deviceid", alice.device},
                     {"serviceid", alice.service},
                     {"filename", "p.bin"}};
  const json made = json::parse(http(port[0], "POST", "/svc/api/json/createFile", args.dump()).body,
                                nullptr, false);
  const std::string fid = made.is_object() && made.contains("file")
                              ? made["file"].value("fileid", "")
                              : std::string();
  ASSERT_FALSE(fid.empty()) << made.dump();
  const std::string path = "/svc/files/" + alice.device + "/" + alice.service + "/" + fid;

  std::string content(600000, '\0');
  std::mt19937 gen(7);
  for (char &c : content) c = static_cast<char>(gen());
  auto piece = [&](int on, int64_t first, int64_t last, long sendBody = -1) {
    return http(port[on], "PUT", path, content.substr(first, last - first + 1),
                cookie + "Content-Range: bytes " + std::to_string(first) + "-" +
                    std::to_string(last) + "/600000\r\n",
                sendBody);
  };
  auto held = [&](int on) {
    Answer r = http(port[on], "PUT", path, "", cookie + "Content-Range: bytes */600000\r\n");
    EXPECT_EQ(r.status, 202);
    return r.header("X-Upload-Offset");
  };

  // Pieces alternate; each instance sees what the other held.
  Answer r = piece(0, 0, 149999);
  EXPECT_EQ(r.status, 202);
  EXPECT_EQ(r.header("X-Upload-Offset"), "150000");
  EXPECT_EQ(held(1), "150000");
  // A piece the client breaks off on B keeps what arrived.
  r = piece(1, 150000, 299999, 50000);
  EXPECT_EQ(held(0), "200000");
  // The held space counts on both instances: 600 000 are held, 500 000 more do not fit.
  json otherArgs = args;
  otherArgs["filename"] = "o.bin";
  const json other = json::parse(
      http(port[1], "POST", "/svc/api/json/createFile", otherArgs.dump()).body, nullptr, false);
  ASSERT_TRUE(other.contains("file")) << other.dump();
  const std::string otherPath = "/svc/files/" + alice.device + "/" + alice.service + "/" +
                                other["file"].value("fileid", "");
  EXPECT_EQ(http(port[0], "PUT", otherPath, std::string(500000, 'o'), cookie).status, 507);
  // A piece that does not follow what is held is refused on either, with the offset.
  r = piece(1, 150000, 299999);
  EXPECT_EQ(r.status, 409);
  EXPECT_EQ(r.header("X-Upload-Offset"), "200000");
  EXPECT_EQ(r.header("X-Upload-Total"), "600000");
  EXPECT_EQ(piece(1, 200000, 399999).status, 202);
  EXPECT_EQ(http(port[1], "GET", path, "", cookie).status, 404) << "visible before the end";
  r = piece(0, 400000, 599999);
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.header("X-Upload-Offset"), "600000");
  Answer got = http(port[1], "GET", path, "", cookie);
  EXPECT_EQ(got.status, 200);
  EXPECT_TRUE(got.body == content) << "content in pieces differs";
  EXPECT_EQ(held(1), "0");
  // The pending upload's hold went with it: once the stream is replaced by a small one, the
  // other file fits.
  EXPECT_EQ(http(port[1], "PUT", path, "small", cookie).status, 200);
  EXPECT_EQ(http(port[0], "PUT", otherPath, std::string(500000, 'o'), cookie).status, 200);
  svcTestDb().clear();
}

}  // namespace
}  // namespace tessel::test
