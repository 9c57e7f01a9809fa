// The drive helper's content cache.
#include "tfscache.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include "brlog.h"
#include "brsocket.h"

namespace {

constexpr const char *kTag = "TFSCACHE";
constexpr int64_t kFirstWindow = 2 * TFS_CHUNK;
constexpr int64_t kMaxWindow = 64 * TFS_CHUNK;
// A reader this close ahead of a download in progress waits for it rather than starting another.
constexpr int64_t kContinueGap = 2 * TFS_CHUNK;
constexpr int32_t kPiece = 256 * 1024;
// How long the thread reading ahead keeps its connection while it waits for the reader.
constexpr int kIdleKeepMs = 2000;
// Pieces kept between readers (each holds a descriptor).
constexpr size_t kMaxHeldPieces = 32;
constexpr const char *kPartSuffix = ".part";

bool plainKey(const std::string &key) {
  if (key.empty() || key.size() > 200 || key[0] == '.') return false;
  for (char c : key)
    if (!isalnum(static_cast<unsigned char>(c)) && !strchr("-_.~", c)) return false;
  return true;
}

bool endsWith(const std::string &s, const char *suffix) {
  const size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Gives the piece its whole size on disk at once: a disk too full for it is known before the
// first byte is fetched, and the writes that fill it find their blocks already there.
bool allocate(int fd, int64_t size) {
  if (size == 0) return true;
  int rc;
  // A request being interrupted gets signals: they do not make the piece go without its room.
  while ((rc = fallocate(fd, 0, 0, size)) != 0 && errno == EINTR) {
  }
  if (rc == 0) return true;
  // A file system that cannot reserve: a file of that size with holes.
  return (errno == EOPNOTSUPP || errno == ENOSYS) && ftruncate(fd, size) == 0;
}

// The parent's lock file, which also holds the shared total.
constexpr const char *kLockName = ".lock";
// Lists of uploads to take away, kept beside a drive's folder: never cache content.
constexpr const char *kLeftoverSuffix = "-leftovers";

std::string parentOf(const std::string &folder) {
  const size_t slash = folder.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : folder.substr(0, slash);
}

int64_t mtimeNs(const struct stat &st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Removes the file at `path` if no process holds a lock on it (the file still being the one
// opened): true when it is gone.
bool takeAway(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat opened, named;
  const bool gone = flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 &&
                    lstat(path.c_str(), &named) == 0 && opened.st_ino == named.st_ino &&
                    opened.st_dev == named.st_dev && unlink(path.c_str()) == 0;
  close(fd);
  return gone;
}

// The files some process of this user has open (others' cannot be seen, nor do they matter).
std::set<std::pair<dev_t, ino_t>> openFiles() {
  std::set<std::pair<dev_t, ino_t>> files;
  DIR *proc = opendir("/proc");
  if (!proc) return files;
  while (dirent *p = readdir(proc)) {
    if (!isdigit(static_cast<unsigned char>(p->d_name[0]))) continue;
    const std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
    DIR *fds = opendir(fdDir.c_str());
    if (!fds) continue;
    while (dirent *f = readdir(fds)) {
      struct stat st;
      if (f->d_name[0] != '.' && stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 &&
          S_ISREG(st.st_mode))
        files.insert({st.st_dev, st.st_ino});
    }
    closedir(fds);
  }
  closedir(proc);
  return files;
}

}  // namespace

// The total of the folders sharing one bound: a number in the parent's lock file, read and
// changed under an exclusive lock of that file (and, between this process's threads, a mutex;
// a thread holding it may take it again). Every file is counted when it is made (under the lock)
// and taken off when its name goes (under the lock too), so the total is never below what is on
// disk; whatever makes it higher (a helper killed in between, files removed by hand) is mended
// when the folders are counted again: at each start, and when a version does not fit.
class TFSCacheLedger {
 public:
  explicit TFSCacheLedger(std::string parent) : m_parent(std::move(parent)) {}
  ~TFSCacheLedger() {
    if (m_fd >= 0) close(m_fd);
  }
  TFSCacheLedger(const TFSCacheLedger &) = delete;
  TFSCacheLedger &operator=(const TFSCacheLedger &) = delete;

  int open() {
    if (m_fd >= 0) return 0;
    m_fd = ::open((m_parent + "/" + kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                  0600);
    return m_fd < 0 ? -errno : 0;
  }
  const std::string &parent() const { return m_parent; }
  void lock() {
    m_mutex.lock();
    if (m_depth++ == 0)
      while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  void unlock() {
    if (--m_depth == 0) flock(m_fd, LOCK_UN);
    m_mutex.unlock();
  }
  // Locked: the total, or -1 when none is known.
  int64_t total() {
    char buf[32];
    const ssize_t n = pread(m_fd, buf, sizeof buf - 1, 0);
    if (n <= 1 || buf[n - 1] != '\n') return -1;
    buf[n - 1] = '\0';
    char *end = nullptr;
    const long long t = strtoll(buf, &end, 10);
    return end && *end == '\0' && t >= 0 ? t : -1;
  }
  // Locked; -1: unknown.
  void setTotal(int64_t t) {
    char buf[32];
    const int n = t < 0 ? 0 : snprintf(buf, sizeof buf, "%lld\n", static_cast<long long>(t));
    if (ftruncate(m_fd, 0) != 0 || (n > 0 && pwrite(m_fd, buf, static_cast<size_t>(n), 0) != n))
      brlog(kTag, BRLOG_WARNING, "Cannot keep the cache total in '%s': %s\n", m_parent.c_str(),
            strerror(errno));
  }
  void add(int64_t delta) {
    lock();
    const int64_t t = total();
    // Below zero: something was not counted; the folders are counted again at the next need.
    if (t >= 0) setTotal(t + delta >= 0 ? t + delta : -1);
    unlock();
  }
  // Removes the file at `path`, taking `bytes` off the total if its name was there.
  void unlinkCounted(const std::string &path, int64_t bytes) {
    lock();
    if (unlink(path.c_str()) == 0) add(-bytes);
    unlock();
  }

 private:
  const std::string m_parent;
  std::recursive_mutex m_mutex;
  int m_depth = 0;
  int m_fd = -1;
};

namespace {

// Holds a ledger locked (none: nothing).
class LedgerLock {
 public:
  explicit LedgerLock(TFSCacheLedger *ledger) : m_ledger(ledger) {
    if (m_ledger) m_ledger->lock();
  }
  ~LedgerLock() {
    if (m_ledger) m_ledger->unlock();
  }
  LedgerLock(const LedgerLock &) = delete;
  LedgerLock &operator=(const LedgerLock &) = delete;

 private:
  TFSCacheLedger *m_ledger;
};

void unlinkCounted(TFSCacheLedger *ledger, const std::string &path, int64_t bytes) {
  if (ledger)
    ledger->unlinkCounted(path, bytes);
  else
    unlink(path.c_str());
}

}  // namespace

// ---- TFSContent ----

TFSContent::TFSContent(std::string path, std::string key, int64_t size)
    : m_path(std::move(path)), m_key(std::move(key)), m_size(size), m_window(kFirstWindow) {}

TFSContent::~TFSContent() {
  {
    std::unique_lock<std::mutex> lock(m_lock);
    stopAhead(lock);
  }
  endStream();
  if (m_fd >= 0) close(m_fd);
  // A piece nobody will finish goes with its content.
  if (!m_complete && !m_uncached && !m_path.empty())
    unlinkCounted(m_ledger.get(), m_path + kPartSuffix, m_size);
}

bool TFSContent::complete() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_complete;
}

bool TFSContent::uncached() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_uncached;
}

int64_t TFSContent::fetched() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_fetched;
}

void TFSContent::endStream() {
  if (m_stream) {
    (void)m_stream->close();
    m_stream.reset();
  }
  m_streamPos = m_streamEnd = -1;
}

void TFSContent::goUncached(std::unique_lock<std::mutex> &lock) {
  stopAhead(lock);
  brlog(kTag, BRLOG_WARNING, "No room for '%s' (%lld bytes): read from the service\n",
        m_key.c_str(), static_cast<long long>(m_size));
  endStream();
  // The descriptor stays open (a reply may still be taking bytes from it); the piece's name goes.
  if (!m_complete) unlinkCounted(m_ledger.get(), m_path + kPartSuffix, m_size);
  m_uncached = true;
  if (TFSContentCache *cache = m_cache.exchange(nullptr)) cache->dropped(m_key);
}

int32_t TFSContent::startStream(int64_t at, const TFSOpenRange &open) {
  endStream();
  // Reading on where the last download stopped: a longer window each time.
  m_window = at == m_lastEnd ? std::min(m_window * 2, kMaxWindow) : kFirstWindow;
  const int64_t end = std::min(at + m_window, m_size);
  const int32_t rc = open(at, end - 1, &m_stream);
  if (rc < 0) {
    m_stream.reset();
    return rc;
  }
  m_streamPos = at;
  m_streamEnd = end;
  return BR_OK;
}

int32_t TFSContent::fill(int64_t from, int64_t to, const TFSOpenRange &open) {
  std::vector<char> buf;
  const int64_t last = (to - 1) / TFS_CHUNK;
  for (int64_t c = from / TFS_CHUNK; c <= last; ++c) {
    if (m_have[static_cast<size_t>(c)]) continue;
    const int64_t start = c * TFS_CHUNK;
    if (!m_stream || m_streamPos > start || start - m_streamPos > kContinueGap) {
      const int32_t rc = startStream(start, open);
      if (rc < 0) return rc;
    }
    if (buf.empty()) buf.resize(kPiece);
    while (!m_have[static_cast<size_t>(c)]) {
      const int32_t want =
          static_cast<int32_t>(std::min<int64_t>(kPiece, m_streamEnd - m_streamPos));
      const int32_t r = m_stream->read(buf.data(), want);
      if (r <= 0) {
        brlog(kTag, BRLOG_WARNING, "Download of '%s' ended at %lld of %lld: %d\n", m_key.c_str(),
              static_cast<long long>(m_streamPos), static_cast<long long>(m_streamEnd), r);
        endStream();
        return r < 0 ? r : BR_EOF;
      }
      for (int32_t off = 0; off < r;) {
        const ssize_t w =
            pwrite(m_fd, buf.data() + off, static_cast<size_t>(r - off), m_streamPos + off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return BR_ENOSPC;
        off += static_cast<int32_t>(w);
      }
      passed(m_streamPos, m_streamPos + r);
      m_streamPos += r;
      m_fetched += r;
      if (m_streamPos >= m_streamEnd) {
        // The window is done and the connection goes back to the pool.
        m_lastEnd = m_streamEnd;
        endStream();
        if (!m_have[static_cast<size_t>(c)]) {
          const int32_t rc = startStream(m_lastEnd, open);
          if (rc < 0) return rc;
        }
      }
    }
  }
  return BR_OK;
}

void TFSContent::passed(int64_t start, int64_t pos) {
  // Every chunk the download has now passed is whole (downloads start at a chunk's start).
  for (int64_t k = start / TFS_CHUNK; k * TFS_CHUNK < pos; ++k) {
    const int64_t kEnd = std::min((k + 1) * TFS_CHUNK, m_size);
    if (kEnd <= pos && !m_have[static_cast<size_t>(k)]) {
      m_have[static_cast<size_t>(k)] = true;
      --m_missing;
    }
  }
  if (m_missing == 0 && !m_complete &&
      rename((m_path + kPartSuffix).c_str(), m_path.c_str()) == 0) {
    m_complete = true;
    m_completedUntold = true;
  }
}

int64_t TFSContent::firstMissing(int64_t from, int64_t to) {
  for (int64_t c = from / TFS_CHUNK; c * TFS_CHUNK < to; ++c)
    if (!m_have[static_cast<size_t>(c)]) return c * TFS_CHUNK;
  return -1;
}

void TFSContent::startAhead(int64_t from, const TFSOpenRange &open) {
  if (m_ahead.joinable()) m_ahead.join();  // a thread that ended by itself
  m_aheadStop = false;
  m_aheadRunning = true;
  m_aheadPos = from / TFS_CHUNK * TFS_CHUNK;
  m_ahead = std::thread([this, open] { aheadLoop(open); });
}

void TFSContent::stopAhead(std::unique_lock<std::mutex> &lock) {
  if (!m_ahead.joinable()) return;
  m_aheadStop = true;
  m_changed.notify_all();
  std::thread t = std::move(m_ahead);
  lock.unlock();
  t.join();
  lock.lock();
}

// The thread reading ahead. It holds no reference to its content (whose destructor ends it) and
// never tells the cache anything itself, so that the content never dies on this thread.
void TFSContent::aheadLoop(TFSOpenRange open) {
  std::vector<char> buf(kPiece);
  HBRef<IHBStream> s;
  int64_t start = -1, pos = -1, end = -1;
  bool kept = false;  // the connection was kept through a wait
  auto drop = [&] {
    if (s) (void)s->close();
    s.reset();
    start = pos = end = -1;
  };
  std::unique_lock<std::mutex> lock(m_lock);
  while (!m_aheadStop && !m_complete) {
    int64_t c = m_aheadPos / TFS_CHUNK;
    while (c * TFS_CHUNK < m_size && m_have[static_cast<size_t>(c)]) ++c;
    if (c * TFS_CHUNK >= m_size) break;
    const int64_t at = c * TFS_CHUNK;
    // As far ahead as the reader has read in one run, within bounds, or up to what one waits for.
    const int64_t lead = std::clamp(m_readerEnd - m_seqStart, kFirstWindow, kMaxWindow);
    if (at >= std::max(m_readerEnd + lead, m_wanted)) {
      // Far enough ahead: on again as the reader moves on. A reader who stops for a while does
      // not keep the connection.
      m_aheadIdle = true;
      if (!m_aheadStop && s &&
          m_changed.wait_for(lock, std::chrono::milliseconds(kIdleKeepMs)) ==
              std::cv_status::timeout) {
        lock.unlock();
        drop();
        lock.lock();
      } else if (!m_aheadStop && !s) {
        m_changed.wait(lock);
      }
      m_aheadIdle = false;
      kept = s.get() != nullptr;
      continue;
    }
    // The download goes on while it is inside the chunk wanted; else one starts there.
    if (!s || at < start || at > pos) {
      lock.unlock();
      drop();
      const int64_t e = std::min(at + kMaxWindow, m_size);
      const int32_t rc = open(at, e - 1, &s);
      lock.lock();
      if (rc < 0) {
        s.reset();
        m_aheadFailed = true;
        break;
      }
      start = pos = at;
      end = e;
    }
    m_aheadPos = pos;
    lock.unlock();
    const int32_t r =
        s->read(buf.data(), static_cast<int32_t>(std::min<int64_t>(kPiece, end - pos)));
    bool written = r > 0;
    for (int32_t off = 0; written && off < r;) {
      const ssize_t w = pwrite(m_fd, buf.data() + off, static_cast<size_t>(r - off), pos + off);
      if (w < 0 && errno == EINTR) continue;
      written = w > 0;
      off += written ? static_cast<int32_t>(w) : 0;
    }
    lock.lock();
    if (r <= 0 && kept) {
      // The service may let a connection go while it waits: one more try on a new one.
      kept = false;
      lock.unlock();
      drop();
      lock.lock();
      continue;
    }
    kept = false;
    if (!written) {
      // The reader meets the same fault itself and deals with it.
      m_aheadFailed = true;
      break;
    }
    passed(start, pos + r);
    pos += r;
    m_aheadPos = pos;
    m_fetched += r;
    m_changed.notify_all();
    if (pos >= end) {
      lock.unlock();
      drop();
      lock.lock();
    }
  }
  m_aheadRunning = false;
  m_changed.notify_all();
  lock.unlock();
  drop();
}

long TFSContent::readDirect(char *buf, size_t n, int64_t off, const TFSOpenRange &open) {
  HBRef<IHBStream> s;
  const int32_t rc = open(off, off + static_cast<int64_t>(n) - 1, &s);
  if (rc < 0) return rc;
  size_t got = 0;
  while (got < n) {
    const int32_t r = s->read(buf + got, static_cast<int32_t>(std::min<size_t>(n - got, kPiece)));
    if (r < 0) {
      (void)s->close();
      return r;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  (void)s->close();
  std::lock_guard<std::mutex> lock(m_lock);
  m_fetched += static_cast<int64_t>(got);
  return static_cast<long>(got);
}

long TFSContent::read(char *buf, size_t n, int64_t off, const TFSOpenRange &open) {
  int fd = -1;
  const long avail = locate(n, off, open, &fd);
  if (avail <= 0) return avail;
  n = static_cast<size_t>(avail);
  if (fd < 0) return readDirect(buf, n, off, open);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = pread(fd, buf + got, n - got, off + static_cast<int64_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return BR_EIO;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<long>(got);
}

long TFSContent::locate(size_t n, int64_t off, const TFSOpenRange &open, int *fd) {
  *fd = -1;
  if (off < 0) return BR_EINVAL;
  if (off >= m_size || n == 0) return 0;
  n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), m_size - off));
  const int64_t to = off + static_cast<int64_t>(n);
  std::unique_lock<std::mutex> lock(m_lock);
  if (!m_uncached && m_fd < 0) {
    m_fd = ::open((m_complete ? m_path : m_path + kPartSuffix).c_str(),
                  O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    // In use: a helper sharing the bound does not take it away. One that did just before the
    // lock leaves a file nobody counts: not kept.
    struct stat st;
    if (m_fd >= 0 && (flock(m_fd, LOCK_SH) != 0 || fstat(m_fd, &st) != 0 || st.st_nlink == 0)) {
      close(m_fd);
      m_fd = -1;
    }
    if (m_fd < 0) goUncached(lock);
  }
  if (m_uncached) return static_cast<long>(n);
  // The kernel sends a sequential reader's requests several at a time, to several threads, so
  // they may arrive a little out of order: near where the run has got to still goes on with it.
  const bool onward = m_readerEnd >= 0 && off >= m_seqStart && off <= m_readerEnd + kContinueGap;
  if (onward) {
    if (to > m_readerEnd && m_aheadIdle) m_changed.notify_all();
    m_readerEnd = std::max(m_readerEnd, to);
  } else {
    m_seqStart = off;
    m_readerEnd = to;
  }
  if (!m_complete) {
    // The thread reading ahead is about to bring these bytes: wait for them. It does not rest
    // before the furthest byte any reader waits for.
    auto aheadBrings = [&] {
      const int64_t miss = firstMissing(off, to);
      return m_aheadRunning && !m_aheadStop && miss >= 0 &&
             miss >= m_aheadPos / TFS_CHUNK * TFS_CHUNK && miss - m_aheadPos <= kContinueGap;
    };
    if (aheadBrings()) {
      ++m_waiting;
      m_wanted = std::max(m_wanted, to);
      m_changed.notify_all();
      bool interrupted = false;
      while (aheadBrings() && !(interrupted = brsocket__cancelled() != 0))
        m_changed.wait_for(lock, std::chrono::milliseconds(100));
      if (--m_waiting == 0) m_wanted = -1;
      // The caller's request was interrupted: it stops waiting, the thread goes on for others.
      if (interrupted) return BR_EINTR;
    }
    if (firstMissing(off, to) >= 0) {
      stopAhead(lock);
      const int32_t rc = fill(off, to, open);
      if (rc == BR_ENOSPC) {
        goUncached(lock);
        return static_cast<long>(n);
      }
      if (rc < 0) return rc;
    }
    if (onward && !m_complete && !m_aheadRunning && !m_aheadFailed) startAhead(to, open);
  }
  if (m_completedUntold) {
    m_completedUntold = false;
    if (TFSContentCache *cache = m_cache.load()) cache->completed(m_key);
  }
  *fd = m_fd;
  return static_cast<long>(n);
}

// ---- TFSContentCache ----

TFSContentCache::TFSContentCache(std::string folder, int64_t maxBytes, bool sharedParent)
    : m_folder(std::move(folder)),
      m_max(maxBytes),
      m_ledger(sharedParent ? std::make_shared<TFSCacheLedger>(parentOf(m_folder)) : nullptr) {}

TFSContentCache::~TFSContentCache() {
  std::vector<std::shared_ptr<TFSContent>> dying;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto &[key, e] : m_entries) {
      if (auto live = e.live.lock()) live->m_cache = nullptr;
      if (e.held) dying.push_back(std::move(e.held));
    }
    m_entries.clear();
  }
}

int TFSContentCache::init() {
  // Each level made private (the names are the user's files).
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = m_folder.find('/', pos + 1);
    const std::string part = m_folder.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return -errno;
  }
  if (m_ledger) {
    const int rc = m_ledger->open();
    if (rc < 0) return rc;
  }
  DIR *d = opendir(m_folder.c_str());
  if (!d) return -errno;
  struct Found {
    std::string key;
    int64_t bytes;
    int64_t used;
  };
  std::vector<Found> found;
  while (dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = m_folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) || endsWith(name, kPartSuffix) || !plainKey(name)) {
      // Pieces and whatever else does not belong here (never a folder or a link's target).
      if (!S_ISDIR(st.st_mode)) unlink(path.c_str());
      continue;
    }
    found.push_back(
        {name, static_cast<int64_t>(st.st_size),
         static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000});
  }
  closedir(d);
  std::sort(found.begin(), found.end(),
            [](const Found &a, const Found &b) { return a.used < b.used; });
  std::vector<std::shared_ptr<TFSContent>> dying;
  std::lock_guard<std::mutex> lock(m_lock);
  LedgerLock shared(m_ledger.get());
  if (m_ledger) removeOldShared();
  for (const Found &f : found) {
    Entry &e = m_entries[f.key];
    e.bytes = f.bytes;
    e.complete = true;
    m_used += f.bytes;
    m_lru.push_back(f.key);
  }
  (void)reserveLocked(0, &dying);
  if (m_ledger) (void)sharedReserveLocked(0, true);
  brlog(kTag, BRLOG_INFO, "Cache '%s': %zu files, %lld of %lld bytes%s\n", m_folder.c_str(),
        m_entries.size(), static_cast<long long>(m_used), static_cast<long long>(m_max),
        m_ledger ? " (the bound shared with the folders beside it)" : "");
  return 0;
}

void TFSContentCache::removeOldShared() {
  // Content left directly in the parent, from when every helper used that one folder: pieces and
  // versions, never the lists of uploads to take away kept there, nor the lock.
  const std::string &parent = m_ledger->parent();
  DIR *d = opendir(parent.c_str());
  if (!d) return;
  std::vector<std::pair<std::string, struct stat>> old;
  while (dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    struct stat st;
    const std::string path = parent + "/" + name;
    if ((endsWith(name, kPartSuffix) || (plainKey(name) && !endsWith(name, kLeftoverSuffix))) &&
        lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      old.emplace_back(path, st);
  }
  closedir(d);
  if (old.empty()) return;
  // A helper of that time may still be reading them (it takes no locks).
  const std::set<std::pair<dev_t, ino_t>> inUse = openFiles();
  int64_t freed = 0, kept = 0;
  for (const auto &[path, st] : old) {
    if (inUse.count({st.st_dev, st.st_ino}) != 0)
      ++kept;
    else if (unlink(path.c_str()) == 0)
      freed += static_cast<int64_t>(st.st_size);
  }
  brlog(kTag, BRLOG_INFO,
        "Old shared cache in '%s': %lld bytes removed, %lld file(s) in use kept\n", parent.c_str(),
        static_cast<long long>(freed), static_cast<long long>(kept));
}

bool TFSContentCache::sharedReserveLocked(int64_t bytes, bool recount) {
  if (!recount) {
    const int64_t t = m_ledger->total();
    if (t >= 0 && t + bytes <= m_max) {
      m_ledger->setTotal(t + bytes);
      return true;
    }
  }
  // Every drive's folder counted again.
  struct OnDisk {
    std::string folder, name;
    int64_t bytes, mtime;
  };
  std::vector<OnDisk> files;
  int64_t total = 0;
  const std::string &parent = m_ledger->parent();
  if (DIR *d = opendir(parent.c_str())) {
    while (dirent *e = readdir(d)) {
      struct stat st;
      const std::string folder = parent + "/" + e->d_name;
      if (e->d_name[0] == '.' || lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
      DIR *sub = opendir(folder.c_str());
      if (!sub) continue;
      while (dirent *f = readdir(sub)) {
        if (lstat((folder + "/" + f->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        files.push_back({folder, f->d_name, static_cast<int64_t>(st.st_size), mtimeNs(st)});
        total += static_cast<int64_t>(st.st_size);
      }
      closedir(sub);
    }
    closedir(d);
  }
  if (total + bytes > m_max) {
    // The least recently used first, whichever drive's; what a process holds stays.
    std::sort(files.begin(), files.end(),
              [](const OnDisk &a, const OnDisk &b) { return a.mtime < b.mtime; });
    std::vector<std::shared_ptr<TFSContent>> dying;
    for (const OnDisk &f : files) {
      if (total + bytes <= m_max) break;
      const bool own = f.folder == m_folder;
      if (own) {
        // This helper's: its own rule (pieces are always in use here).
        if (endsWith(f.name, kPartSuffix)) continue;
        auto it = m_entries.find(f.name);
        if (it != m_entries.end() && (it->second.held || it->second.live.use_count() > 0)) continue;
      }
      if (!takeAway(f.folder + "/" + f.name)) continue;
      total -= f.bytes;
      brlog(kTag, BRLOG_VERBOSE, "Evicting '%s' of '%s' (%lld bytes)\n", f.name.c_str(),
            f.folder.c_str(), static_cast<long long>(f.bytes));
      if (own) eraseLocked(f.name, &dying);
    }
  }
  const bool fits = total + bytes <= m_max;
  m_ledger->setTotal(total + (fits ? bytes : 0));
  return fits;
}

void TFSContentCache::touchLocked(const std::string &key) {
  m_lru.remove(key);
  m_lru.push_back(key);
}

void TFSContentCache::eraseLocked(const std::string &key,
                                  std::vector<std::shared_ptr<TFSContent>> *dying) {
  auto it = m_entries.find(key);
  if (it == m_entries.end()) return;
  m_used -= it->second.bytes;
  if (it->second.held) dying->push_back(std::move(it->second.held));
  if (auto live = it->second.live.lock()) live->m_cache = nullptr;
  m_entries.erase(it);
  m_lru.remove(key);
}

bool TFSContentCache::reserveLocked(int64_t bytes,
                                    std::vector<std::shared_ptr<TFSContent>> *dying) {
  size_t held = 0;
  for (auto &[key, e] : m_entries) held += e.held ? 1 : 0;
  for (auto it = m_lru.begin(); it != m_lru.end();) {
    const bool overBytes = m_used + bytes > m_max, overHeld = held > kMaxHeldPieces;
    if (!overBytes && !overHeld) break;
    Entry &e = m_entries[*it];
    // In use: a reader holds it besides the cache. Too many pieces: only pieces go.
    const long users = e.live.use_count() - (e.held ? 1 : 0);
    if (users > 0 || (!overBytes && !e.held)) {
      ++it;
      continue;
    }
    const std::string key = *it++;
    if (e.held) --held;
    if (e.complete) unlinkCounted(m_ledger.get(), m_folder + "/" + key, e.bytes);
    brlog(kTag, BRLOG_VERBOSE, "Evicting '%s' (%lld bytes)\n", key.c_str(),
          static_cast<long long>(e.bytes));
    eraseLocked(key, dying);
  }
  if (m_used + bytes > m_max) return false;
  m_used += bytes;
  return true;
}

bool TFSContentCache::reserve(int64_t bytes) {
  std::vector<std::shared_ptr<TFSContent>> dying;
  std::lock_guard<std::mutex> lock(m_lock);
  return reserveLocked(bytes, &dying);
}

void TFSContentCache::release(int64_t bytes) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_used -= bytes;
}

int64_t TFSContentCache::used() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_used;
}

std::shared_ptr<TFSContent> TFSContentCache::content(const std::string &key, int64_t size) {
  std::vector<std::shared_ptr<TFSContent>> dying;
  std::lock_guard<std::mutex> lock(m_lock);
  const std::string path = m_folder + "/" + key;
  auto it = m_entries.find(key);
  if (it != m_entries.end()) {
    if (auto live = it->second.live.lock()) {
      touchLocked(key);
      return live;
    }
  }
  std::shared_ptr<TFSContent> c(new TFSContent(path, key, size < 0 ? 0 : size));
  c->m_have.assign(static_cast<size_t>((c->m_size + TFS_CHUNK - 1) / TFS_CHUNK), false);
  c->m_missing = static_cast<int64_t>(c->m_have.size());
  if (it != m_entries.end() && it->second.complete) {
    c->m_complete = true;
    c->m_have.assign(c->m_have.size(), true);
    c->m_missing = 0;
  } else if (!plainKey(key) || !reserveLocked(c->m_size, &dying)) {
    c->m_uncached = true;
    return c;
  } else {
    // Shared: counted in the total and made under one lock, so that a count of the folders
    // between the two never misses it.
    LedgerLock shared(m_ledger.get());
    if (m_ledger && !sharedReserveLocked(c->m_size, false)) {
      m_used -= c->m_size;
      c->m_uncached = true;
      return c;
    }
    const int fd = ::open((path + kPartSuffix).c_str(),
                          O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    // In use from the start: no helper sharing the bound takes it away.
    if (fd < 0 || flock(fd, LOCK_SH) != 0 || !allocate(fd, c->m_size)) {
      // Whatever was reserved goes back to the disk.
      if (fd >= 0) {
        close(fd);
        unlink((path + kPartSuffix).c_str());
      }
      m_used -= c->m_size;
      if (m_ledger) m_ledger->add(-c->m_size);
      c->m_uncached = true;
      return c;
    }
    c->m_fd = fd;
    Entry &e = m_entries[key];
    e.bytes = c->m_size;
    e.held = c;
  }
  c->m_cache = this;
  c->m_ledger = m_ledger;
  m_entries[key].live = c;
  touchLocked(key);
  if (c->m_complete) {
    // Its last use, for the order of eviction across runs.
    utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
  }
  return c;
}

void TFSContentCache::completed(const std::string &key) {
  std::vector<std::shared_ptr<TFSContent>> dying;
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_entries.find(key);
  if (it == m_entries.end()) return;
  it->second.complete = true;
  // Complete versions are found again on disk.
  if (it->second.held) dying.push_back(std::move(it->second.held));
}

void TFSContentCache::dropped(const std::string &key) {
  std::vector<std::shared_ptr<TFSContent>> dying;
  std::lock_guard<std::mutex> lock(m_lock);
  eraseLocked(key, &dying);
}

int TFSContentCache::openStaging() {
  int fd = ::open(m_folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    return fd < 0 ? -errno : fd;
  // No unnamed files here: a named one, gone at once.
  char path[4096];
  snprintf(path, sizeof path, "%s/.staging-XXXXXX", m_folder.c_str());
  fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) return -errno;
  unlink(path);
  return fd;
}
