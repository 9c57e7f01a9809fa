// Child processes on POSIX: posix_spawn with pipes, a polled wait, and group termination.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "brlog.h"
#include "hbfork2.h"

extern char **environ;

namespace {

const char kTag[] = "FORK2";

// A file descriptor closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  Fd(Fd &&o) noexcept : m_fd(o.release()) {}
  Fd &operator=(Fd &&o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return m_fd; }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

bool makePipe(Fd *readEnd, Fd *writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    brlog(kTag, BRLOG_ERROR, "CreatePipe() failed %d\n", errno);
    return false;
  }
  readEnd->reset(fds[0]);
  writeEnd->reset(fds[1]);
  return true;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Writes without the process-wide SIGPIPE: the signal is blocked in this thread for the call and
// a SIGPIPE raised by it is consumed before the mask is restored.
ssize_t writeNoSigpipe(int fd, const void *data, size_t n, int *err) {
  sigset_t pipeSet, oldSet, pending;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE);
  ssize_t r;
  do {
    r = ::write(fd, data, n);
  } while (r < 0 && errno == EINTR);
  *err = r < 0 ? errno : 0;
  if (r < 0 && *err == EPIPE && !wasPending) {
    const struct timespec zero = {0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
  return r;
}

class HBFork2PosixStream : public HBObject<HBFork2PosixStream, IHBStream> {
 public:
  HBFork2PosixStream(int kind, Fd fd, std::shared_ptr<std::atomic<int32_t>> timeout)
      : m_kind(kind), m_fd(std::move(fd)), m_timeout(std::move(timeout)) {}

  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }

  int32_t read(void *buffer, int32_t length) override {
    if (m_kind == HBFORK2_STREAM_IN) {
      brlog(kTag, BRLOG_ERROR, "  +++ {%p}{%p} Tried to read from a writer\n", (void *)this,
            handle());
      return BR_EINVAL;
    }
    if (m_fd.get() < 0) {
      brlog(kTag, BRLOG_ERROR, "  +++ {%p}{%p} Tried to read from an invalid handle\n",
            (void *)this, handle());
      return BR_EINVAL;
    }
    const int ms = m_timeout->load();
    int32_t rc = pollFor(POLLIN, ms);
    if (rc == 0) {
      brlog(kTag, BRLOG_WARNING, "  +++ {%p}{%p} Can't read from STDIN after %dms\n", (void *)this,
            handle(), ms);
      return BR_ETIMEDOUT;
    }
    if (rc < 0) return readError(errno);
    for (;;) {
      const ssize_t n = ::read(m_fd.get(), buffer, size_t(length < 0 ? 0 : length));
      if (n > 0) {
        brlog(kTag, BRLOG_VERBOSE3, "  +++ {%p}{%p} Read %d bytes\n", (void *)this, handle(),
              int(n));
        return int32_t(n);
      }
      if (n == 0 || errno == EPIPE) {
        brlog(kTag, BRLOG_VERBOSE2, "  +++ {%p}{%p} Broken pipe (process exited?)\n", (void *)this,
              handle());
        return 0;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return BR_ETIMEDOUT;
      return readError(errno);
    }
  }

  int32_t write(const void *buffer, int32_t length) override {
    if (m_kind != HBFORK2_STREAM_IN) {
      brlog(kTag, BRLOG_ERROR, "  +++ {%p}{%p} Tried to write to a reader\n", (void *)this,
            handle());
      return BR_EINVAL;
    }
    if (m_fd.get() < 0) {
      brlog(kTag, BRLOG_ERROR, "  +++ {%p}{%p} Tried to read from an invalid handle\n",
            (void *)this, handle());
      return BR_EINVAL;
    }
    const int ms = m_timeout->load();
    const int32_t rc = pollFor(POLLOUT, ms);
    if (rc == 0) {
      brlog(kTag, BRLOG_WARNING, "  +++ {%p}{%p} Can't write to STDIN after! %dms\n", (void *)this,
            handle(), ms);
      return BR_ETIMEDOUT;
    }
    int err = rc < 0 ? errno : 0;
    if (rc > 0) {
      const ssize_t n = writeNoSigpipe(m_fd.get(), buffer, size_t(length < 0 ? 0 : length), &err);
      if (n >= 0) return int32_t(n);
      if (err == EAGAIN) return BR_ETIMEDOUT;
    }
    if (err == EPIPE) return BR_ENOCONN;
    brlog(kTag, BRLOG_ERROR, "  +++ {%p}{%p} Write error: %lu\n", (void *)this, handle(),
          (unsigned long)err);
    return BR_EUNSPEC;
  }

  int64_t seek(int64_t, int32_t) override { return BR_EUNSUPPORTED; }
  int32_t flush() override { return BR_EUNSUPPORTED; }
  int32_t close() override {
    m_fd.reset();
    return 0;
  }

 private:
  ~HBFork2PosixStream() override = default;
  friend class HBObject<HBFork2PosixStream, IHBStream>;

  void *handle() const { return (void *)(intptr_t)m_fd.get(); }

  // 1 when ready (or the far end is gone), 0 on time-out, -1 on failure with errno set.
  int32_t pollFor(short events, int ms) {
    const int64_t deadline = nowMs() + (ms < 0 ? 0 : ms);
    for (;;) {
      struct pollfd p = {m_fd.get(), events, 0};
      const int64_t left = ms < 0 ? -1 : std::max<int64_t>(0, deadline - nowMs());
      const int r = ::poll(&p, 1, int(left));
      if (r > 0) return 1;
      if (r == 0) return 0;
      if (errno != EINTR) return -1;
    }
  }

  int32_t readError(int err) {
    brlog(kTag, BRLOG_ERROR, "  +++ {%p}{%p} Read error: %lu\n", (void *)this, handle(),
          (unsigned long)err);
    return BR_EUNSPEC;
  }

  const int m_kind;
  Fd m_fd;
  std::shared_ptr<std::atomic<int32_t>> m_timeout;
};

class HBFork2Posix : public HBObject<HBFork2Posix, IHBFork2> {
 public:
  explicit HBFork2Posix(uint32_t flags) : m_flags(flags) {}

  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBFork2>(out);
    return BR_ENOENT;
  }

  int32_t start(const char *const *argv) override;
  int32_t kill(int32_t signal) override;
  int32_t setTimeout(int32_t ms) override {
    m_timeout->store(ms);
    return 0;
  }
  int32_t getStream(int32_t id, IHBStream **out) override {
    IHBStream *s = (id >= 1 && id <= 3) ? m_streams[id - 1].get() : nullptr;
    if (!s) {
      brlog(kTag, BRLOG_ERROR, "  +++ [%p] Failed to get stream ID: %d\n", (void *)this, id);
      return BR_ENOENT;
    }
    s->upref();
    *out = s;
    return 0;
  }
  int32_t wait(int32_t ms, int32_t *exitCode) override;
  int32_t reserved() override { return 0; }

  pid_t pid() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_pid;
  }

 private:
  ~HBFork2Posix() override;
  friend class HBObject<HBFork2Posix, IHBFork2>;

  // Kills the child's process group; the caller holds m_lock.
  void terminateLocked() {
    if (m_pid <= 0) return;
    m_killed = true;
    if (::kill(-m_pid, SIGKILL) != 0) ::kill(m_pid, SIGKILL);
  }

  const uint32_t m_flags;
  std::mutex m_lock;  // guards m_pid and m_killed against a kill from another thread
  pid_t m_pid = 0;
  bool m_started = false;
  bool m_killed = false;
  std::shared_ptr<std::atomic<int32_t>> m_timeout = std::make_shared<std::atomic<int32_t>>(1000);
  HBRef<IHBStream> m_streams[3];
};

int32_t HBFork2Posix::start(const char *const *argv) {
  if (!argv || !argv[0]) return BR_EINVAL;
  if (m_started) return BR_EBADSTATE;
  const bool wantIn = m_flags & HBFORK2_STDIN, wantOut = m_flags & HBFORK2_STDOUT,
             wantErr = m_flags & HBFORK2_STDERR, errToOut = m_flags & HBFORK2_ERR2OUT;
  const bool anyPipe = wantIn || wantOut || wantErr;

  Fd inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (wantIn) {
    brlog(kTag, BRLOG_VERBOSE2, "  +++ Writing to stdin\n");
    if (!makePipe(&inRead, &inWrite)) return BR_EUNSPEC;
  }
  if (wantOut) {
    brlog(kTag, BRLOG_VERBOSE2, "  +++ Reading from stdout\n");
    if (!makePipe(&outRead, &outWrite)) return BR_EUNSPEC;
  }
  if (errToOut && wantOut) {
    brlog(kTag, BRLOG_VERBOSE2, "  +++ Redirecting stderr to NEW stdout\n");
  } else if (errToOut) {
    brlog(kTag, BRLOG_VERBOSE2, "  +++ Redirecting stderr to OLD stdout\n");
  } else if (wantErr) {
    brlog(kTag, BRLOG_VERBOSE2, "  +++ Reading from stderr\n");
    if (!makePipe(&errRead, &errWrite)) return BR_EUNSPEC;
  }

  const std::string cmd = hbfork2__commandLine(argv);
  brlog(kTag, BRLOG_INFO, "  +++ Forking '%.1023s'...\n", cmd.c_str());

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  // The parent's standard output must be copied before descriptor 1 is replaced.
  if (errToOut && !wantOut) posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
  // A stream without a pipe reads or writes nothing rather than sharing the parent's.
  if (wantIn)
    posix_spawn_file_actions_adddup2(&fa, inRead.get(), STDIN_FILENO);
  else if (anyPipe)
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (wantOut)
    posix_spawn_file_actions_adddup2(&fa, outWrite.get(), STDOUT_FILENO);
  else if (anyPipe)
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (wantErr)
    posix_spawn_file_actions_adddup2(&fa, errWrite.get(), STDERR_FILENO);
  else if (errToOut && wantOut)
    posix_spawn_file_actions_adddup2(&fa, outWrite.get(), STDERR_FILENO);
  else if (!errToOut && anyPipe)
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

  // Its own process group, so that a kill reaches the programs it started too; default signal
  // handling and no blocked signals, whatever this process has set up.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  pid_t pid = 0;
  const int err = posix_spawnp(&pid, argv[0], &fa, &attr, const_cast<char *const *>(argv), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  // The child's ends belong to the child alone.
  inRead.reset();
  outWrite.reset();
  errWrite.reset();
  if (err != 0) {
    brlog(kTag, BRLOG_ERROR, "CreateProcess('%.1023s') failed %d\n", cmd.c_str(), err);
    return BR_EUNSPEC;
  }
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_pid = pid;
    m_started = true;
    m_killed = false;
  }
  brlog(kTag, BRLOG_INFO, "  +++ [%lu] Forked child process\n", (unsigned long)pid);
  if (wantIn) {
    // Writes return what fits instead of blocking beyond the time-out.
    ::fcntl(inWrite.get(), F_SETFL, ::fcntl(inWrite.get(), F_GETFL) | O_NONBLOCK);
    brlog(kTag, BRLOG_VERBOSE2, "  +++ [%lu]{%p}{%p} Writing to child process stdin\n",
          (unsigned long)pid, (void *)this, (void *)(intptr_t)inWrite.get());
    m_streams[0] = HBRef<IHBStream>::adopt(
        new HBFork2PosixStream(HBFORK2_STREAM_IN, std::move(inWrite), m_timeout));
  }
  if (wantOut) {
    brlog(kTag, BRLOG_VERBOSE2, "  +++ [%lu]{%p}{%p} Reading from child process stdout\n",
          (unsigned long)pid, (void *)this, (void *)(intptr_t)outRead.get());
    m_streams[1] = HBRef<IHBStream>::adopt(
        new HBFork2PosixStream(HBFORK2_STREAM_OUT, std::move(outRead), m_timeout));
  }
  if (wantErr) {
    brlog(kTag, BRLOG_VERBOSE2, "  +++ [%lu]{%p}{%p} Reading from child process stderr\n",
          (unsigned long)pid, (void *)this, (void *)(intptr_t)errRead.get());
    m_streams[2] = HBRef<IHBStream>::adopt(
        new HBFork2PosixStream(HBFORK2_STREAM_ERR, std::move(errRead), m_timeout));
  }
  return 0;
}

int32_t HBFork2Posix::kill(int32_t) {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_pid <= 0) return 0;
  brlog(kTag, BRLOG_INFO, "  +++ [%d] (KILL) Terminating child process with code: 255\n",
        int(m_pid));
  terminateLocked();
  return 0;
}

int32_t HBFork2Posix::wait(int32_t ms, int32_t *exitCode) {
  const int64_t start = nowMs();
  for (;;) {
    std::unique_lock<std::mutex> g(m_lock);
    if (m_pid <= 0) return BR_EHANDLED;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      const int err = errno;
      const pid_t pid = m_pid;
      m_pid = 0;
      brlog(kTag, BRLOG_ERROR, "  +++ [%d] (WAIT) waitpid failed %lu\n", int(pid),
            (unsigned long)err);
      return BR_EUNSPEC;
    }
    if (r == m_pid) {
      int32_t code;
      if (WIFEXITED(status))
        code = WEXITSTATUS(status);
      else if (m_killed)
        code = 255;
      else
        code = 128 + WTERMSIG(status);
      const pid_t pid = m_pid;
      m_pid = 0;
      g.unlock();
      brlog(kTag, BRLOG_ERROR, "  +++ [%d] (WAIT) Child process exited: %d\n", int(pid), code);
      if (exitCode) *exitCode = code;
      return 0;
    }
    const pid_t pid = m_pid;
    g.unlock();
    const int64_t waited = nowMs() - start;
    if (ms == 0 || (ms > 0 && waited >= ms)) {
      brlog(kTag, BRLOG_VERBOSE4, "  +++ [%d] (WAIT) waitpid timed out %lu\n", int(pid),
            (unsigned long)ms);
      return BR_ETIMEDOUT;
    }
    const int64_t nap = ms < 0 ? 50 : std::min<int64_t>(50, ms - waited);
    std::this_thread::sleep_for(std::chrono::milliseconds(nap));
  }
}

HBFork2Posix::~HBFork2Posix() {
  for (auto &s : m_streams) {
    if (s) s->close();
    s.reset();
  }
  pid_t pid = this->pid();
  if (pid <= 0) return;
  brlog(kTag, BRLOG_INFO, "  +++ [%d] (DESTROY) Waiting for child process...\n", int(pid));
  if (wait(100 * 50, nullptr) != BR_ETIMEDOUT) return;
  brlog(kTag, BRLOG_INFO, "  +++ [%d] (DESTROY) Signaling child process [%d]...\n", int(pid),
        int(pid));
  {
    std::lock_guard<std::mutex> g(m_lock);
    terminateLocked();
  }
  while (wait(-1, nullptr) == BR_ETIMEDOUT) {
  }
}

}  // namespace

int32_t HBFork2__new(uint32_t flags, IHBFork2 **out) {
  if ((flags & HBFORK2_ERR2OUT) && (flags & HBFORK2_STDERR)) {
    brlog("ASSERT", BRLOG_ERROR, "%s\n", "!((flags & 0x0100) && (flags & 0x0004))");
    brabort(__PRETTY_FUNCTION__, __LINE__);
  }
  *out = new HBFork2Posix(flags);
  return 0;
}

std::string hbfork2__commandLine(const char *const *argv) {
  std::string cmd;
  for (const char *const *a = argv; a && *a; ++a) {
    if (a != argv) cmd += ' ';
    const bool quote = std::strchr(*a, ' ') != nullptr;
    if (quote) cmd += '"';
    cmd += *a;
    if (quote) cmd += '"';
  }
  return cmd;
}

int32_t hbfork2__pid(IHBFork2 *child) {
  auto *impl = dynamic_cast<HBFork2Posix *>(child);
  return impl ? int32_t(impl->pid()) : 0;
}
