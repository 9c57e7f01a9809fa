// The local content folder: DIR/files/SERVICE/FILEID[.STREAM] the stored streams,
// DIR/tmp/PREFIX… the uploads on their way in, DIR/pending/SERVICE/FILEID[.STREAM].part and
// .rec the pending uploads (their bytes and their record), each locked with flock on its .part.
#include "svccontent.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "svcstore.h"

namespace tessel::svc {

namespace {

int64_t wallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int errorCode(int err) {
  return err == ENOSPC || err == EDQUOT ? kSvcNoSpace : kSvcInternal;
}

bool digits(const std::string &s, size_t from, size_t to, int64_t *out) {
  if (to <= from || to - from > 18) return false;
  int64_t v = 0;
  for (size_t i = from; i < to; i++) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

void syncFolder(const std::string &dir) {
  UniqueFd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd.get() >= 0) (void)fsync(dfd.get());
}

bool readSmall(const std::string &path, std::string *out) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return false;
  char buf[256];
  const ssize_t n = read(fd.get(), buf, sizeof buf);
  if (n < 0) return false;
  out->assign(buf, static_cast<size_t>(n));
  return true;
}

bool writeAll(int fd, const char *p, size_t n, int *err) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      *err = errno;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Writes to a descriptor it may own; durable at finish().
class FdUpload : public SvcUpload {
 public:
  FdUpload(int fd, bool owned) : m_fd(fd), m_owned(owned) {}
  ~FdUpload() override {
    if (m_owned && m_fd >= 0) close(m_fd);
  }
  int write(const char *p, size_t n) override {
    int err = 0;
    return writeAll(m_fd, p, n, &err) ? kSvcOk : errorCode(err);
  }
  int finish() override {
    // A file system may tell of a full disk only when the data goes out (fsync, close).
    if (fsync(m_fd) != 0) return errorCode(errno);
    if (m_owned) {
      const int fd = m_fd;
      m_fd = -1;
      if (close(fd) != 0) return errorCode(errno);
    }
    return kSvcOk;
  }

 private:
  int m_fd;
  bool m_owned;
};

// A finished upload at `tmp` taking the place of `final`; a stream it replaces keeps a second
// name until the record is stored.
class RenamePublication : public SvcPublication {
 public:
  RenamePublication(std::string tmp, std::string final, std::string dir)
      : m_tmp(std::move(tmp)), m_final(std::move(final)), m_kept(m_tmp + "-old"),
        m_dir(std::move(dir)) {}
  ~RenamePublication() override {
    if (m_keeping) unlink(m_kept.c_str());
    if (!m_renamed) unlink(m_tmp.c_str());
  }
  int publish(bool replacing) override {
    if (replacing && link(m_final.c_str(), m_kept.c_str()) == 0)
      m_keeping = true;
    else if (replacing && errno != ENOENT)
      return errorCode(errno);
    if (rename(m_tmp.c_str(), m_final.c_str()) == 0) {
      m_renamed = true;
      return kSvcOk;
    }
    const int err = errno;
    if (m_keeping) unlink(m_kept.c_str());
    m_keeping = false;
    return errorCode(err);
  }
  void unpublish() override {
    if (m_keeping ? rename(m_kept.c_str(), m_final.c_str()) != 0 : unlink(m_final.c_str()) != 0)
      std::fprintf(stderr, "tesselsvc: cannot put back %s: %s\n", m_final.c_str(),
                   std::strerror(errno));
    m_keeping = false;
  }
  void done() override {
    if (m_keeping) unlink(m_kept.c_str());
    m_keeping = false;
    // The rename itself is durable once the folder is synced.
    syncFolder(m_dir);
  }

 private:
  std::string m_tmp, m_final, m_kept, m_dir;
  bool m_keeping = false;
  bool m_renamed = false;
};

class LocalContent;

class LocalPending : public SvcPending {
 public:
  LocalPending(LocalContent &owner, std::string base, int fd, SvcPendingState st, bool recorded,
               std::string serviceId, int64_t fileId, std::string stream)
      : m_owner(owner), m_base(std::move(base)), m_fd(fd), m_state(st), m_recorded(recorded),
        m_serviceId(std::move(serviceId)), m_fileId(fileId), m_stream(std::move(stream)) {}
  ~LocalPending() override {
    // A pending upload begun and never recorded leaves nothing.
    if (!m_recorded && m_fd.get() >= 0) unlink(part().c_str());
  }
  const SvcPendingState &state() const override { return m_state; }
  int restart(int64_t total) override {
    if (ftruncate(m_fd.get(), 0) != 0) return errorCode(errno);
    SvcPendingState s{total, 0, wallMs()};
    return record(s);
  }
  int append(std::unique_ptr<SvcUpload> *out) override {
    // Bytes past those held (a piece that was never recorded) are written over.
    if (ftruncate(m_fd.get(), m_state.held) != 0 ||
        lseek(m_fd.get(), m_state.held, SEEK_SET) != m_state.held)
      return errorCode(errno);
    *out = std::make_unique<FdUpload>(m_fd.get(), false);
    return kSvcOk;
  }
  int advance(int64_t held) override {
    SvcPendingState s{m_state.total, held, wallMs()};
    return record(s);
  }
  int publication(std::unique_ptr<SvcPublication> *out) override;
  void drop() override {
    unlink(rec().c_str());
    unlink(part().c_str());
    m_recorded = false;
    m_state = SvcPendingState();
    // The lock goes with it: a pending upload begun by another caller now has a file of its own.
    (void)m_fd.reset();
  }

 private:
  std::string part() const { return m_base + ".part"; }
  std::string rec() const { return m_base + ".rec"; }
  std::string folder() const { return m_base.substr(0, m_base.rfind('/')); }
  int record(const SvcPendingState &s) {
    // Only the lock's holder writes it: one name for the new record will do.
    const std::string next = m_base + ".rec.new", text = svccontent__record(s);
    UniqueFd fd(open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    int err = 0;
    if (fd.get() < 0) return errorCode(errno);
    if (!writeAll(fd.get(), text.data(), text.size(), &err) || fsync(fd.get()) != 0 ||
        fd.reset() != 0 || rename(next.c_str(), rec().c_str()) != 0) {
      if (!err) err = errno;
      unlink(next.c_str());
      return errorCode(err);
    }
    syncFolder(folder());
    m_state = s;
    m_recorded = true;
    return kSvcOk;
  }

  LocalContent &m_owner;
  std::string m_base;
  UniqueFd m_fd;  // the .part, locked
  SvcPendingState m_state;
  bool m_recorded;
  std::string m_serviceId;
  int64_t m_fileId;
  std::string m_stream;
};

class LocalContent : public SvcContent {
 public:
  LocalContent(std::string dir, std::string prefix)
      : m_dir(std::move(dir)), m_prefix(std::move(prefix)) {}

  bool open(std::string *err) override {
    mode_t old = umask(077);
    const bool made = mkdir((m_dir + "/pending").c_str(), 0700) == 0 || errno == EEXIST;
    umask(old);
    struct stat st;
    if (!made || lstat((m_dir + "/pending").c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != geteuid() || (st.st_mode & 022)) {
      *err = "cannot use " + m_dir + "/pending: it must be a folder private to this user";
      return false;
    }
    // Uploads a crash interrupted were never visible; their temporary files go now.
    if (DIR *d = opendir((m_dir + "/tmp").c_str())) {
      while (dirent *e = readdir(d))
        if (std::strncmp(e->d_name, m_prefix.c_str(), m_prefix.size()) == 0)
          unlink((m_dir + "/tmp/" + e->d_name).c_str());
      closedir(d);
    }
    // Pending uploads keep what their records say was durable, nothing after it; leftovers of
    // a record being written or of a pending upload never recorded go.
    walk([&](const std::string &serviceId, const std::string &name) {
      std::string base;
      if (endsWith(name, ".rec.new"))
        base = name.substr(0, name.size() - 8);
      else if (endsWith(name, ".part"))
        base = name.substr(0, name.size() - 5);
      else
        return;
      int64_t fileId;
      std::string stream;
      if (!parseBase(base, &fileId, &stream)) return;
      std::unique_ptr<SvcPending> p;
      SvcPendingState busy;
      (void)lockPending(serviceId, fileId, stream, false, 0, &p, &busy);
    });
    walk([&](const std::string &serviceId, const std::string &name) {
      if (!endsWith(name, ".rec")) return;
      int64_t fileId;
      std::string stream;
      if (!parseBase(name.substr(0, name.size() - 4), &fileId, &stream)) return;
      const std::string base = pendingBase(serviceId, fileId, stream);
      struct stat st;
      if (stat((base + ".part").c_str(), &st) != 0) unlink((base + ".rec").c_str());
    });
    return true;
  }

  int openRead(const std::string &serviceId, int64_t fileId, const std::string &stream,
               std::shared_ptr<HttpContent> *out) override {
    *out = svchttp__openFile(path(serviceId, fileId, stream));
    return *out ? kSvcOk : kSvcNoFile;
  }

  int newUpload(const std::string &serviceId, int64_t fileId, const std::string &stream,
                std::unique_ptr<SvcUpload> *out, std::unique_ptr<SvcPublication> *pub) override {
    const std::string dir = m_dir + "/files/" + serviceId;
    (void)(mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST);
    const std::string tmp = m_dir + "/tmp/" + m_prefix + svc__randomHex(8);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errorCode(errno);
    *out = std::make_unique<FdUpload>(fd, true);
    *pub = std::make_unique<RenamePublication>(tmp, path(serviceId, fileId, stream), dir);
    return kSvcOk;
  }

  std::vector<SvcPendingRef> removeFile(const std::string &serviceId, int64_t fileId) override {
    std::vector<SvcPendingRef> dropped;
    for (const char *s : {"", "pv", "tn", "st"}) {
      unlink(path(serviceId, fileId, s).c_str());
      std::unique_ptr<SvcPending> p;
      SvcPendingState busy;
      if (lockPending(serviceId, fileId, s, false, 0, &p, &busy) != kSvcOk) continue;
      dropped.push_back(SvcPendingRef{serviceId, fileId, s, p->state()});
      p->drop();
    }
    return dropped;
  }

  int lockPending(const std::string &serviceId, int64_t fileId, const std::string &stream,
                  bool create, int waitMs, std::unique_ptr<SvcPending> *out,
                  SvcPendingState *busy) override {
    const std::string base = pendingBase(serviceId, fileId, stream), part = base + ".part";
    if (create) {
      mode_t old = umask(077);
      (void)(mkdir((m_dir + "/pending/" + serviceId).c_str(), 0700) == 0 || errno == EEXIST);
      umask(old);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      UniqueFd fd(::open(part.c_str(),
                         O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600));
      if (fd.get() < 0) return errno == ENOENT ? kSvcNoFile : errorCode(errno);
      if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return kSvcInternal;
        if (std::chrono::steady_clock::now() >= deadline) {
          std::string text;
          *busy = SvcPendingState();
          if (readSmall(base + ".rec", &text)) (void)svccontent__parseRecord(text, busy);
          return kSvcExists;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      // The holder before us may have dropped (or published) the file we locked: then again.
      struct stat a, b;
      if (fstat(fd.get(), &a) != 0 || stat(part.c_str(), &b) != 0 || a.st_ino != b.st_ino ||
          a.st_dev != b.st_dev)
        continue;
      SvcPendingState st;
      std::string text;
      const bool recorded =
          readSmall(base + ".rec", &text) && svccontent__parseRecord(text, &st) && st.total > 0;
      unlink((base + ".rec.new").c_str());
      if (recorded && a.st_size > st.held && ftruncate(fd.get(), st.held) != 0)
        return errorCode(errno);
      if (!recorded) {
        st = SvcPendingState();
        if (!create) {
          unlink(part.c_str());
          unlink((base + ".rec").c_str());
          return kSvcNoFile;
        }
      }
      *out = std::make_unique<LocalPending>(*this, base, fd.release(), st, recorded, serviceId,
                                            fileId, stream);
      return kSvcOk;
    }
  }

  std::vector<SvcPendingRef> pending() override {
    std::vector<SvcPendingRef> out;
    walk([&](const std::string &serviceId, const std::string &name) {
      SvcPendingRef r;
      std::string text;
      if (!endsWith(name, ".rec") ||
          !parseBase(name.substr(0, name.size() - 4), &r.fileId, &r.stream) ||
          !readSmall(m_dir + "/pending/" + serviceId + "/" + name, &text) ||
          !svccontent__parseRecord(text, &r.state))
        return;
      r.serviceId = serviceId;
      out.push_back(std::move(r));
    });
    return out;
  }

  std::vector<SvcPendingRef> sweep(int64_t beforeMs) override {
    std::vector<SvcPendingRef> out;
    for (SvcPendingRef &r : pending()) {
      if (r.state.lastMs >= beforeMs) continue;
      std::unique_ptr<SvcPending> p;
      SvcPendingState busy;
      if (lockPending(r.serviceId, r.fileId, r.stream, false, 0, &p, &busy) != kSvcOk) continue;
      // Another instance may have gone on with it since the listing.
      if (p->state().lastMs >= beforeMs) continue;
      r.state = p->state();
      p->drop();
      out.push_back(std::move(r));
    }
    return out;
  }

  std::string tmpName() const { return m_dir + "/tmp/" + m_prefix + svc__randomHex(8); }
  std::string path(const std::string &serviceId, int64_t fileId, const std::string &stream) const {
    return m_dir + "/files/" + serviceId + "/" + std::to_string(fileId) +
           (stream.empty() ? "" : "." + stream);
  }

 private:
  static bool endsWith(const std::string &s, const char *end) {
    const size_t n = std::strlen(end);
    return s.size() >= n && s.compare(s.size() - n, n, end) == 0;
  }
  // "FILEID" or "FILEID.STREAM".
  static bool parseBase(const std::string &base, int64_t *fileId, std::string *stream) {
    const size_t dot = base.find('.');
    if (!digits(base, 0, dot == std::string::npos ? base.size() : dot, fileId)) return false;
    *stream = dot == std::string::npos ? std::string() : base.substr(dot + 1);
    return stream->empty() || *stream == "pv" || *stream == "tn" || *stream == "st";
  }
  std::string pendingBase(const std::string &serviceId, int64_t fileId,
                          const std::string &stream) const {
    return m_dir + "/pending/" + serviceId + "/" + std::to_string(fileId) +
           (stream.empty() ? "" : "." + stream);
  }
  // Every entry of every drive's folder of pending uploads.
  template <typename Fn>
  void walk(Fn fn) {
    std::vector<std::string> drives;
    if (DIR *d = opendir((m_dir + "/pending").c_str())) {
      while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') drives.push_back(e->d_name);
      closedir(d);
    }
    for (const std::string &drive : drives) {
      std::vector<std::string> names;
      if (DIR *d = opendir((m_dir + "/pending/" + drive).c_str())) {
        while (dirent *e = readdir(d))
          if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
      }
      for (const std::string &n : names) fn(drive, n);
    }
  }

  std::string m_dir, m_prefix;
};

int LocalPending::publication(std::unique_ptr<SvcPublication> *out) {
  // The held bytes get a second name in tmp/, which takes the stream's place: a record that
  // cannot be stored leaves them pending as they were.
  const std::string tmp = m_owner.tmpName();
  if (link(part().c_str(), tmp.c_str()) != 0) return errorCode(errno);
  const std::string final = m_owner.path(m_serviceId, m_fileId, m_stream);
  const std::string dir = final.substr(0, final.rfind('/'));
  (void)(mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST);
  *out = std::make_unique<RenamePublication>(tmp, final, dir);
  return kSvcOk;
}

}  // namespace

std::string SvcPendingRef::key() const {
  return "pending-" + serviceId + "-" + std::to_string(fileId) +
         (stream.empty() ? "" : "." + stream);
}

std::unique_ptr<SvcContent> svccontent__local(const std::string &dir,
                                              const std::string &tmpPrefix) {
  return std::make_unique<LocalContent>(dir, tmpPrefix);
}

bool svccontent__parseContentRange(const std::string &value, int64_t *first, int64_t *last,
                                   int64_t *total) {
  if (value.compare(0, 6, "bytes ") != 0) return false;
  const size_t slash = value.find('/', 6);
  if (slash == std::string::npos || !digits(value, slash + 1, value.size(), total) ||
      *total > kSvcMaxStream)
    return false;
  if (value.compare(6, slash - 6, "*") == 0) {
    *first = *last = -1;
    return true;
  }
  const size_t dash = value.find('-', 6);
  if (dash == std::string::npos || dash > slash || !digits(value, 6, dash, first) ||
      !digits(value, dash + 1, slash, last))
    return false;
  return *first <= *last && *last < *total;
}

bool svccontent__parseRecord(const std::string &text, SvcPendingState *out) {
  static const std::string kHead = "tessel-pending 1 ";
  if (text.compare(0, kHead.size(), kHead) != 0 || text.empty() || text.back() != '\n')
    return false;
  int64_t v[3];
  size_t at = kHead.size();
  for (int i = 0; i < 3; i++) {
    const size_t end = text.find(i < 2 ? ' ' : '\n', at);
    if (end == std::string::npos || !digits(text, at, end, &v[i])) return false;
    at = end + 1;
  }
  if (at != text.size() || v[0] > kSvcMaxStream || v[1] > v[0]) return false;
  *out = SvcPendingState{v[0], v[1], v[2]};
  return true;
}

std::string svccontent__record(const SvcPendingState &s) {
  return "tessel-pending 1 " + std::to_string(s.total) + " " + std::to_string(s.held) + " " +
         std::to_string(s.lastMs) + "\n";
}

}  // namespace tessel::svc
