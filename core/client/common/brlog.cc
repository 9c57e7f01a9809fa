// The process-wide log writer: one file, serialised by a busy flag with a 250 ms wait, rotated
// every 12 hours into "<file>.toupload".
#include "brlog.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "brthread.h"

std::atomic<int> g_brlog__level{BRLOG_INFO};

namespace {

constexpr int64_t kLockBudgetMs = 250;
constexpr int64_t kRotateAfterMs = 43200000;
constexpr long long kOldLogBytes = 1048576;
constexpr char kAppFolder[] = "Orvane Tessel Utility";

struct LogState {
  BRMutex mutex;
  BRCond cond;
  bool condReady = false;
  bool busy = false;

  // Everything below is guarded by the busy flag.
  FILE *file = nullptr;
  char path[PATH_MAX] = {};
  char processName[256] = {};
  bool rotation = false;
  bool flushEachLine = true;
  bool rotationTimeSet = false;
  int64_t lastRotation = 0;
  int initCount = 0;
  char line[4096];
};

// Never destroyed: threads and static destructors may log until the process ends.
LogState &state() {
  static LogState *s = [] {
    LogState *p = new LogState;
    p->condReady = p->cond.create() == BR_OK;
    return p;
  }();
  return *s;
}

// Set once hblogsink__init installed the writer; before that every line is dropped.
std::atomic<bool> g_installed{false};

int64_t monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool takeLock(LogState &s) {
  BRLock g(s.mutex);
  if (!s.busy) {
    s.busy = true;
    return true;
  }
  const int64_t deadline = monotonicMs() + kLockBudgetMs;
  while (s.busy) {
    const int64_t left = deadline - monotonicMs();
    if (left <= 0 || !s.condReady) return false;
    if (s.cond.wait(s.mutex, left) == BR_EUNSPEC) return false;
  }
  s.busy = true;
  return true;
}

void releaseLock(LogState &s) {
  BRLock g(s.mutex);
  s.busy = false;
  s.cond.signal();
}

struct Stamp {
  struct tm tm;
  unsigned ms;
};

Stamp localStamp(int64_t nowMs) {
  Stamp st{};
  int64_t secs = nowMs / 1000;
  int64_t ms = nowMs % 1000;
  if (ms < 0) {
    ms += 1000;
    secs -= 1;
  }
  const time_t t = static_cast<time_t>(secs);
  localtime_r(&t, &st.tm);
  st.ms = static_cast<unsigned>(ms);
  return st;
}

// Log files may hold tokens: only the user reads them.
FILE *openLogFile(const char *path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077)) fchmod(fd, 0600);
  FILE *f = fdopen(fd, "a");
  if (!f) close(fd);
  return f;
}

bool makeDirs(const char *path) {
  char buf[PATH_MAX];
  if (snprintf(buf, sizeof buf, "%s", path) >= static_cast<int>(sizeof buf)) return false;
  for (char *p = buf + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    if (mkdir(buf, 0700) != 0 && errno != EEXIST) return false;
    *p = '/';
  }
  return mkdir(buf, 0700) == 0 || errno == EEXIST;
}

// The user's data folder, else the configuration folder (the roaming one on Windows).
bool appFolder(char *out, size_t size) {
  const char *home = getenv("HOME");
  const char *candidates[2][2] = {{"XDG_DATA_HOME", "/.local/share"},
                                  {"XDG_CONFIG_HOME", "/.config"}};
  for (const auto &c : candidates) {
    const char *base = getenv(c[0]);
    int n;
    if (base && base[0] == '/')
      n = snprintf(out, size, "%s/%s", base, kAppFolder);
    else if (home && home[0] == '/')
      n = snprintf(out, size, "%s%s/%s", home, c[1], kAppFolder);
    else
      continue;
    if (n > 0 && static_cast<size_t>(n) < size && static_cast<size_t>(n) <= 1024 && makeDirs(out))
      return true;
  }
  return false;
}

void rotate(LogState &s, const struct tm &tm, const char *thread) {
  static const char kForm[] = "[%04d%02d%02d-%02d%02d%02d][%-6.6s][%-6.6s][%02x] %s";
  fprintf(s.file, kForm, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
          tm.tm_sec, thread, "LOGROT", BRLOG_INFO, "-------- ROTATING LOG FILE --------\n");
  fclose(s.file);
  s.file = nullptr;

  // Sized for any path: a cut name could replace an unrelated file.
  char upload[PATH_MAX + 16];
  snprintf(upload, sizeof upload, "%s.toupload", s.path);
  unlink(upload);
  // When the rename fails the new file simply continues the old one.
  (void)rename(s.path, upload);

  s.file = openLogFile(s.path);
  if (!s.file) return;
  fprintf(s.file, kForm, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
          tm.tm_sec, thread, "LOGROT", BRLOG_INFO, "-------- LOG FILE ROTATED --------\n");
}

}  // namespace

void brlog__setLevel(int level) {
  g_brlog__level.store(level, std::memory_order_relaxed);
}

void brlog__write(const char *tag, int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  brlog__writev(tag, level, format, args);
  va_end(args);
}

void brlog__writev(const char *tag, int level, const char *format, va_list args) {
  if (level > brlog__getLevel()) return;
  if (!g_installed.load(std::memory_order_acquire)) return;
  if (!tag) tag = "";
  LogState &s = state();

  const int64_t ticks = brtime__ticks();
  const Stamp st = localStamp(brtime__nowMs());
  const struct tm &tm = st.tm;
  const char *thread = brthread__name(brthread__self());
  const unsigned lv = static_cast<unsigned>(level);

  if (!takeLock(s)) {
    char buf[2048];
    vsnprintf(buf, sizeof buf, format, args);
    fprintf(stderr, "[%02d%02d%02d.%03u][%-6.6s][%-6.6s][%02x] %s", tm.tm_hour, tm.tm_min,
            tm.tm_sec, st.ms, thread, tag, lv, buf);
    return;
  }

  vsnprintf(s.line, sizeof s.line, format, args);

  if (s.file && s.rotation) {
    if (!s.rotationTimeSet) {
      s.rotationTimeSet = true;
      s.lastRotation = ticks;
    } else if (ticks - s.lastRotation > kRotateAfterMs) {
      rotate(s, tm, thread);
      s.lastRotation = ticks;
    }
  }

  if (s.file) {
    fprintf(s.file, "[%04d%02d%02d-%02d%02d%02d.%03u][%-6.6s][%-6.6s][%02x] %s", tm.tm_year + 1900,
            tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, st.ms, thread, tag, lv,
            s.line);
    if (s.flushEachLine) fflush(s.file);
  }
  releaseLock(s);
}

void hblogsink__init(const char *processName, const char *fileName) {
  LogState &s = state();
  if (!takeLock(s)) return;
  if (s.initCount == 0) {
    snprintf(s.processName, sizeof s.processName, "%s", processName ? processName : "");
    s.path[0] = '\0';
    if (fileName && *fileName) {
      char folder[PATH_MAX];
      int n = -1;
      if (!strchr(fileName, '/') && !strchr(fileName, '\\') && appFolder(folder, sizeof folder))
        n = snprintf(s.path, sizeof s.path, "%s/%s", folder, fileName);
      if (n < 0 || n > 1023) snprintf(s.path, sizeof s.path, "%s", fileName);
      s.file = openLogFile(s.path);
    }
    s.rotation = true;
    s.flushEachLine = true;
    g_installed.store(true, std::memory_order_release);
  }
  ++s.initCount;
  const bool hasPath = s.path[0] != '\0';
  struct stat st;
  const bool old = hasPath && stat(s.path, &st) == 0 && st.st_size > kOldLogBytes;
  releaseLock(s);
  if (old) brlog("HBSRVC", BRLOG_INFO, "Uploading Old Log in hblogsink__init...\n");
}

const char *brlog__filePath() {
  LogState &s = state();
  return s.path[0] ? s.path : nullptr;
}

void brlog__setRotation(bool on) {
  LogState &s = state();
  if (!takeLock(s)) return;
  s.rotation = on;
  releaseLock(s);
}

void brlog__setFlushEachLine(bool on) {
  LogState &s = state();
  if (!takeLock(s)) return;
  s.flushEachLine = on;
  if (on && s.file) fflush(s.file);
  releaseLock(s);
}

void brlog__resetForTest() {
  LogState &s = state();
  // Waits for any writer, however long: a test must not leave a half-reset log behind.
  while (!takeLock(s)) {
  }
  g_installed.store(false, std::memory_order_release);
  if (s.file) fclose(s.file);
  s.file = nullptr;
  s.path[0] = '\0';
  s.processName[0] = '\0';
  s.rotation = false;
  s.flushEachLine = true;
  s.rotationTimeSet = false;
  s.lastRotation = 0;
  s.initCount = 0;
  g_brlog__level.store(BRLOG_INFO, std::memory_order_relaxed);
  releaseLock(s);
}

bool brlog__lockForTest() {
  return takeLock(state());
}

void brlog__unlockForTest() {
  releaseLock(state());
}
