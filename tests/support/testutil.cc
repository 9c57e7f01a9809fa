#include "testutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace tessel::test {

std::string g_testRoot;  // set by the test main

const std::string &testRoot() { return g_testRoot; }

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::string base = g_testRoot.empty() ? std::string("/tmp") : g_testRoot + "/tmp";
  std::string templ = base + "/t" + std::to_string(counter++) + "_XXXXXX";
  char *made = mkdtemp(templ.data());
  m_path = made ? made : templ;
}

TempDir::~TempDir() { removeTree(m_path); }

void removeTree(const std::string &path) {
  std::error_code ec;
  // Make read-only folders removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path, ec);
}

bool writeFile(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(data.data(), (std::streamsize)data.size());
  return bool(out);
}

bool readFile(const std::string &path, std::string *data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *data = ss.str();
  return true;
}

std::string binPath(const std::string &name) { return std::string(TESSEL_BIN_DIR) + "/" + name; }

std::string sourcePath(const std::string &relative) {
  return std::string(TESSEL_SOURCE_DIR) + "/" + relative;
}

RunResult runProgram(const std::vector<std::string> &argv, const std::string &input,
                     int timeoutMs) {
  RunResult r;
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    r.err = "spawn failed";
    return r;
  }
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (input.empty()) {
    close(inPipe[1]);
    inPipe[1] = -1;
  } else {
    fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool outOpen = true, errOpen = true;
  char buf[65536];
  while (outOpen || errOpen) {
    pollfd fds[3];
    int n = 0;
    if (outOpen) fds[n++] = {outPipe[0], POLLIN, 0};
    if (errOpen) fds[n++] = {errPipe[0], POLLIN, 0};
    if (inPipe[1] >= 0) fds[n++] = {inPipe[1], POLLOUT, 0};
    int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now())
                   .count();
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, n, left) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == inPipe[1]) {
        ssize_t w = write(inPipe[1], input.data() + written, input.size() - written);
        if (w > 0) written += (size_t)w;
        if (w < 0 || written == input.size()) {
          close(inPipe[1]);
          inPipe[1] = -1;
        }
        continue;
      }
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got <= 0) {
        if (fds[i].fd == outPipe[0]) outOpen = false;
        else errOpen = false;
      } else if (fds[i].fd == outPipe[0]) {
        r.out.append(buf, (size_t)got);
      } else {
        r.err.append(buf, (size_t)got);
      }
    }
  }
  if (inPipe[1] >= 0) close(inPipe[1]);
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

int freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, (sockaddr *)&a, sizeof a) == 0 && getsockname(fd, (sockaddr *)&a, &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

}  // namespace tessel::test
