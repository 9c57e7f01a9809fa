// Starts the real tesselsvc on a free loopback port with a temporary data folder, for the
// service's tests.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace tessel::test {

// The PostgreSQL database the services of this test keep their records in (--db); empty for
// their data folder's meta.db.
inline std::string &svcTestDb() {
  static std::string db;
  return db;
}

// A user made by "tesselsvc adduser": its JSON line and the fields the tests use.
struct SvcUser {
  std::string line;
  std::string token;
  std::string device;
  std::string service;  // the first drive
};

// Runs "tesselsvc adduser --data DATA NAME PASSWORD EXTRA..." and reads its line. False (with the
// program's error text in *err) when it fails.
inline bool addSvcUser(const std::string &data, const std::string &name,
                       const std::string &password, const std::vector<std::string> &extra,
                       SvcUser *out, std::string *err = nullptr) {
  std::vector<std::string> argv = {binPath("tesselsvc"), "adduser", "--data", data, name, password};
  if (!svcTestDb().empty()) argv.insert(argv.begin() + 4, {"--db", svcTestDb()});
  argv.insert(argv.end(), extra.begin(), extra.end());
  RunResult r = runProgram(argv);
  if (r.exitCode != 0) {
    if (err) *err = r.err;
    return false;
  }
  out->line = r.out.substr(0, r.out.find('\n'));
  // The first quoted text after `key`.
  auto text = [&](const std::string &key) -> std::string {
    size_t k = out->line.find("\"" + key + "\":");
    if (k == std::string::npos) return "";
    size_t v = out->line.find('"', k + key.size() + 3);
    if (v == std::string::npos) return "";
    return out->line.substr(v + 1, out->line.find('"', v + 1) - v - 1);
  };
  out->token = text("token");
  out->device = text("deviceid");
  out->service = text("serviceids");
  return !out->token.empty();
}

class SvcProcess {
 public:
  SvcProcess() = default;
  ~SvcProcess() { stop(); }
  SvcProcess(const SvcProcess &) = delete;
  SvcProcess &operator=(const SvcProcess &) = delete;

  // Starts "tesselsvc serve" and reads its first line for the port and the admin secret.
  bool start(const std::string &dataDir, const std::vector<std::string> &extra = {}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argv = {binPath("tesselsvc"), "serve",      "--data", dataDir,
                                     "--listen",           "127.0.0.1:0"};
    if (!svcTestDb().empty()) argv.insert(argv.end(), {"--db", svcTestDb()});
    argv.insert(argv.end(), extra.begin(), extra.end());
    m_pid = fork();
    if (m_pid == 0) {
      dup2(fds[1], 1);
      std::vector<char *> args;
      for (auto &a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(fds[1]);
    m_out = fds[0];
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{m_out, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[256];
      ssize_t r = read(m_out, buf, sizeof buf);
      if (r <= 0) break;
      line.append(buf, static_cast<size_t>(r));
    }
    char address[256] = "", secret[65] = "";
    if (std::sscanf(line.c_str(), "tesselsvc: listening on %255s admin-secret %64s", address,
                    secret) != 2)
      return false;
    // HOST:PORT, the host possibly an IPv6 address such as "::".
    const char *colon = std::strrchr(address, ':');
    if (!colon || std::sscanf(colon + 1, "%d", &m_port) != 1) return false;
    m_secret = secret;
    return true;
  }

  // SIGTERM, then the exit code (-1 when it had to be killed or died of a signal).
  int stop() {
    if (m_pid <= 0) return m_exit;
    kill(m_pid, SIGTERM);
    m_exit = wait(20000);
    return m_exit;
  }

  // Waits for the process to end on its own.
  int wait(int timeoutMs) {
    if (m_pid <= 0) return m_exit;
    int status = 0;
    for (int waited = 0;; waited += 20) {
      pid_t r = waitpid(m_pid, &status, WNOHANG);
      if (r == m_pid) break;
      if (waited >= timeoutMs) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        status = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_pid = -1;
    if (m_out >= 0) close(m_out);
    m_out = -1;
    m_exit = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m_exit;
  }

  // One fault-injection command ("fail?count=1&code=606", "offline?serviceid=..."): true when
  // the service answered 200.
  bool admin(const std::string &command) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(m_port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    const std::string sep = command.find('?') == std::string::npos ? "?" : "&";
    const std::string request =
        "GET /admin/" + command + sep + "secret=" + m_secret + " HTTP/1.0\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
      char buf[512];
      for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
      }
    }
    ::close(fd);
    return answer.compare(0, 12, "HTTP/1.1 200") == 0 || answer.compare(0, 12, "HTTP/1.0 200") == 0;
  }

  int pid() const { return m_pid; }
  int port() const { return m_port; }
  const std::string &secret() const { return m_secret; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  int m_port = 0;
  int m_exit = -1;
  std::string m_secret;
};

}  // namespace tessel::test
