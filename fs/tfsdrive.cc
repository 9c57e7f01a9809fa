// The drive helper's file system over the drive's store.
#include "tfsdrive.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "brlog.h"
#include "brsocket.h"
#include "brthread.h"
#include "zvvfsservice.h"

namespace {

constexpr const char *kTag = "TFS";
constexpr size_t kNameMax = 255;
constexpr int64_t kSpaceTtlMs = 30000;
constexpr size_t kCopyPiece = 256 * 1024;

// A name from the service that can be a file name here.
bool safeName(const char *name) {
  if (!name || !*name || !strcmp(name, ".") || !strcmp(name, "..")) return false;
  size_t n = 0;
  for (const char *p = name; *p; ++p, ++n) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '/' || c < 0x20 || c == 0x7f || n >= kNameMax) return false;
  }
  return true;
}

// The k-th entry of one name in a folder: "stem (k).ext" ("name (k)" for a folder), within the
// length of a name (the stem is cut at a character's start).
std::string numberedName(const std::string &name, int k, bool folder) {
  const size_t dot = folder ? std::string::npos : name.rfind('.');
  const bool ext = dot != std::string::npos && dot > 0 && name.size() - dot <= 16;
  std::string stem = ext ? name.substr(0, dot) : name;
  const std::string tail = ext ? name.substr(dot) : std::string();
  const std::string mark = " (" + std::to_string(k) + ")";
  const size_t room = kNameMax - mark.size() - tail.size();
  if (stem.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
    stem.resize(cut);
  }
  return stem + mark + tail;
}

// "/a/b" -> "/a" and "b"; "/a" -> "/" and "a".
void splitPath(const std::string &path, std::string *parent, std::string *name) {
  const size_t slash = path.rfind('/');
  *parent = slash == 0 ? "/" : path.substr(0, slash);
  *name = path.substr(slash + 1);
}

bool isUnder(const std::string &path, const std::string &dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

// A failure to reach the drive (not an answer of the service about the request).
bool unreachable(int32_t rc) {
  switch (rc) {
    case ZVVFS_EOFFLINE:
    case BR_ENOCONN:
    case BR_ETIMEDOUT:
    case BR_EOF:
    case BR_ECONNRESET:
    case BR_ECONNABORTED:
    case BR_EIO:
    case BR_EAGAIN:
      return true;
    default:
      return false;
  }
}

// Answers of this file system that have no result code.
constexpr int32_t kNotDir = -1000;
constexpr int32_t kIsDir = -1001;
constexpr int32_t kNotPermitted = -1002;

int toErrno(int32_t rc) {
  switch (rc) {
    case kNotDir:
      return ENOTDIR;
    case kIsDir:
      return EISDIR;
    case kNotPermitted:
      return EPERM;
    case BR_ENOENT:
    case BR_ENOFILE:
      return ENOENT;
    case BR_ENOTAUTH:
      return EACCES;
    case BR_EEXISTS:
      return EEXIST;
    case BR_ENOSPC:
      return ENOSPC;
    case BR_EROFS:
      return EROFS;
    case BR_EINVAL:
      return EINVAL;
    case BR_ENOTEMPTY:
      return ENOTEMPTY;
    case BR_ENOMEM:
      return ENOMEM;
    case BR_EINTR:
      return EINTR;
    default:
      return EIO;
  }
}

std::string uploadName() {
  unsigned char r[8];
  if (RAND_bytes(r, sizeof r) != 1)
    for (size_t i = 0; i < sizeof r; ++i) r[i] = static_cast<unsigned char>(brtime__ticks() >> i);
  char text[40];
  snprintf(text, sizeof text, ".tfs-upload-%02x%02x%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2],
           r[3], r[4], r[5], r[6], r[7]);
  return text;
}

int64_t fdSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

}  // namespace

// A file being written: its staging file and where it goes.
struct TFSWriter {
  std::mutex lock;
  TFSContentCache *cache = nullptr;
  int fd = -1;
  int64_t mtime = 0;
  bool dirty = false;
  bool unlinked = false;
  int error = 0;   // a write failed (errno): nothing is uploaded
  int failed = 0;  // the last upload of this content failed (-errno): it is not tried again
  int top = -1;
  std::string path;            // where it is now (a rename moves it)
  HBRef<IHBVFSFile> existing;  // the file of the service it replaces (null: a new file)

  ~TFSWriter() {
    if (fd >= 0) close(fd);
  }
  // Room for the staging file to grow to `end` bytes. What is being written is not the read
  // cache's and does not count against its bound (a video larger than drive.cachemb is copied
  // in like any file): only the disk's own room limits it.
  bool room(int64_t end) {
    struct stat st;
    struct statvfs vfs;
    if (fstat(fd, &st) != 0 || end <= st.st_size || fstatvfs(fd, &vfs) != 0) return true;
    return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize) >=
           end - st.st_size;
  }
};

class TFSHandle {
 public:
  enum Kind { Marker, Read, Write };
  Kind kind = Read;
  bool writable = false;
  std::shared_ptr<TFSContent> content;
  HBRef<IHBVFSFile> file;
  std::shared_ptr<TFSWriter> writer;
};

TFSFileSystem::TFSFileSystem(std::unique_ptr<TFSSource> source, TFSContentCache *cache,
                             TFSConfig config)
    : m_source(std::move(source)),
      m_cache(cache),
      m_config(std::move(config)),
      m_started(brtime__nowMs()) {}

TFSFileSystem::~TFSFileSystem() = default;

IHBVFS2 *TFSFileSystem::storeOf(int top) {
  std::lock_guard<std::mutex> lock(m_lock);
  return top >= 0 && top < static_cast<int>(m_tops.size())
             ? m_tops[static_cast<size_t>(top)].store.get()
             : nullptr;
}

int TFSFileSystem::fail(int32_t rc, const char *what, const std::string &path) {
  const int err = toErrno(rc);
  if (rc != BR_ENOENT && rc > -1000)
    brlog(kTag, BRLOG_WARNING, "%s('%s') failed: %d (%s)\n", what, path.c_str(), rc,
          rc == ZVVFS_EOFFLINE ? "drive offline" : brerror__name(rc));
  if (unreachable(rc) && m_config.unavailable) {
    bool tell;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      const int64_t now = brtime__ticks();
      tell = m_lastNotice < 0 || now - m_lastNotice >= m_config.noticeGapMs;
      if (tell) m_lastNotice = now;
    }
    if (tell) m_config.unavailable();
  }
  return -err;
}

TFSFileSystem::Node TFSFileSystem::nodeOf(int top, IHBVFSFile *f) {
  Node n;
  n.file = HBRef<IHBVFSFile>::retain(f);
  n.top = top;
  n.folder = f->getType() == HBVFS_TYPE_FOLDER;
  n.size = n.folder ? 0 : std::max<int64_t>(0, f->getSize());
  n.mtime = f->getMTime();
  return n;
}

void TFSFileSystem::fillStat(const Node &n, struct stat *st) {
  memset(st, 0, sizeof *st);
  st->st_mode = n.folder ? S_IFDIR | 0755 : S_IFREG | (n.marker ? 0444 : 0644);
  // 1 for folders too: tools that count subfolders from the link count then look for themselves.
  st->st_nlink = 1;
  st->st_uid = m_config.uid;
  st->st_gid = m_config.gid;
  st->st_size = n.size;
  st->st_blksize = 128 * 1024;
  st->st_blocks = (n.size + 511) / 512;
  st->st_mtim.tv_sec = n.mtime / 1000;
  st->st_mtim.tv_nsec = (n.mtime % 1000) * 1000000;
  st->st_ctim = st->st_atim = st->st_mtim;
}

int32_t TFSFileSystem::ensureOpen() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_tops.empty()) return BR_OK;
    const int64_t now = brtime__ticks();
    if (m_lastOpenTry >= 0 && now - m_lastOpenTry < m_config.retryOpenMs) return m_openError;
    m_lastOpenTry = now;
  }
  std::vector<TFSTop> tops;
  int32_t rc = m_source->open(&tops);
  const bool shares = m_source->shares();
  if (rc == 0 && tops.empty() && !shares) rc = BR_ENOENT;
  auto root = std::make_shared<Dir>();
  if (rc == 0 && !shares) {
    root->top = 0;
    rc = tops[0].store->getFileByID(nullptr, "0", 0, root->file.out());
  } else if (rc == 0) {
    // The album roots as folders of the mount's root, named safely and once each.
    for (size_t i = 0; i < tops.size() && rc == 0; ++i) {
      HBRef<IHBVFSFile> top;
      if ((rc = tops[i].store->getFileByID(nullptr, "0", 0, top.out())) < 0) break;
      std::string name = tops[i].name;
      for (char &c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) c = '_';
      if (!safeName(name.c_str())) name = "Album";
      std::string unique = name;
      for (int k = 2; root->children.count(unique) || unique == TFS_MARKER; ++k)
        unique = numberedName(name, k, true);
      Node n = nodeOf(static_cast<int>(i), top.get());
      n.folder = true;
      root->children[unique] = n;
    }
    root->listedAt = INT64_MAX;
  }
  if (shares || rc == 0) {
    Node marker;
    marker.marker = true;
    root->children[TFS_MARKER] = marker;
  }
  std::lock_guard<std::mutex> lock(m_lock);
  if (rc == BR_EINTR) {
    // Only this caller gave up: the next one tries at once.
    m_lastOpenTry = -1;
    return rc;
  }
  m_openError = rc;
  if (rc < 0) return rc;
  m_tops = std::move(tops);
  m_dirs["/"] = root;
  brlog(kTag, BRLOG_INFO, "The drive is reachable (%zu top folder(s))\n", m_tops.size());
  return BR_OK;
}

int32_t TFSFileSystem::fetch(int top, IHBVFSFile *folder, std::map<std::string, Node> *out) {
  HBRef<IHBIter> it;
  int32_t rc = folder->iterateChildren(it.out(), 0, nullptr, nullptr, 0, 0);
  if (rc < 0) return rc;
  std::vector<std::pair<std::string, Node>> again;
  for (;;) {
    hbtype_t type = HBIFC_VFSFILE;
    void *item = nullptr;
    rc = it->next(&type, &item);
    if (rc != 0) break;
    HBRef<IHBVFSFile> f = HBRef<IHBVFSFile>::adopt(static_cast<IHBVFSFile *>(item));
    if (!f) continue;
    const char *name = f->getName();
    if (!safeName(name)) {
      brlog(kTag, BRLOG_WARNING, "Folder '%s': entry '%s' has no usable name, left out\n",
            folder->getFileID(), f->getFileID());
      continue;
    }
    if (out->count(name)) {
      again.emplace_back(name, nodeOf(top, f.get()));
      continue;
    }
    (*out)[name] = nodeOf(top, f.get());
  }
  // The service lets one folder hold several entries of one name: the first has it, the others
  // are numbered, so that every one can be seen and read.
  for (auto &[name, node] : again) {
    std::string shown;
    for (int k = 2; shown.empty() || out->count(shown); ++k)
      shown = numberedName(name, k, node.folder);
    brlog(kTag, BRLOG_WARNING, "Folder '%s': entry '%s' is a second '%s', shown as '%s'\n",
          folder->getFileID(), node.file->getFileID(), name.c_str(), shown.c_str());
    (*out)[shown] = node;
  }
  return rc == BR_ERANGE ? BR_OK : rc;
}

int32_t TFSFileSystem::lookupDir(const std::string &path, std::shared_ptr<Dir> *out) {
  std::shared_ptr<Dir> d;
  if (path == "/") {
    const int32_t rc = ensureOpen();
    if (rc < 0) return rc;
    std::lock_guard<std::mutex> lock(m_lock);
    d = m_dirs["/"];
  } else {
    Node n;
    const int32_t rc = resolve(path, &n);
    if (rc < 0) return rc;
    if (!n.folder || !n.file) return kNotDir;
    std::lock_guard<std::mutex> lock(m_lock);
    std::shared_ptr<Dir> &slot = m_dirs[path];
    // Another folder under this name now: what was kept belongs to the old one.
    if (!slot || strcmp(slot->file->getFileID(), n.file->getFileID()) != 0) {
      slot = std::make_shared<Dir>();
      slot->top = n.top;
      slot->file = n.file;
    }
    d = slot;
  }
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    const int64_t now = brtime__ticks();
    if (d->top < 0 || (d->listedAt >= 0 && now - d->listedAt < m_config.listTtlMs)) {
      *out = d;
      return BR_OK;
    }
    if (d->loading) {
      // Another request is listing it: waited for, unless this request is interrupted (a
      // signal does not end a wait for a condition, so it is asked every so often).
      if (brsocket__cancelled()) return BR_EINTR;
      m_listed.wait_for(lock, std::chrono::milliseconds(100));
      continue;
    }
    if (now < m_downUntil) {
      // The drive failed to answer a moment ago: what is known is answered at once, without
      // making the caller wait for the service's time-out again.
      if (d->listedAt >= 0) {
        *out = d;
        return BR_OK;
      }
      return m_downError;
    }
    d->loading = true;
    const int top = d->top;
    HBRef<IHBVFSFile> file = d->file;
    lock.unlock();
    std::map<std::string, Node> children;
    const int32_t rc = fetch(top, file.get(), &children);
    lock.lock();
    d->loading = false;
    m_listed.notify_all();
    noteReach(rc);
    if (rc < 0) return rc;
    if (path == "/") {
      Node marker;
      marker.marker = true;
      children[TFS_MARKER] = marker;
    }
    d->children = std::move(children);
    d->listedAt = brtime__ticks();
    *out = d;
    return BR_OK;
  }
}

int32_t TFSFileSystem::resolve(const std::string &path, Node *out) {
  if (path == "/") {
    out->folder = true;
    out->mtime = m_started;
    std::lock_guard<std::mutex> lock(m_lock);
    out->top = m_source->shares() ? -1 : 0;
    return BR_OK;
  }
  std::string parent, name;
  splitPath(path, &parent, &name);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto w = m_writers.find(path);
    if (w != m_writers.end()) {
      *out = Node();
      out->writer = w->second;
      out->top = w->second->top;
      out->size = fdSize(w->second->fd);
      out->mtime = w->second->mtime;
      return BR_OK;
    }
  }
  // The marker is there even while the drive cannot be reached.
  if (parent == "/" && name == TFS_MARKER) {
    *out = Node();
    out->marker = true;
    return BR_OK;
  }
  std::shared_ptr<Dir> d;
  const int32_t rc = lookupDir(parent, &d);
  if (rc < 0) return rc;
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = d->children.find(name);
  if (it == d->children.end()) return BR_ENOENT;
  *out = it->second;
  return BR_OK;
}

void TFSFileSystem::putChild(const std::string &dirPath, const std::string &name,
                             const Node &node) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_dirs.find(dirPath);
  if (it != m_dirs.end() && it->second->listedAt >= 0) it->second->children[name] = node;
}

void TFSFileSystem::dropChild(const std::string &dirPath, const std::string &name) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_dirs.find(dirPath);
  if (it != m_dirs.end()) it->second->children.erase(name);
}

void TFSFileSystem::dropDirsUnder(const std::string &path) {
  std::lock_guard<std::mutex> lock(m_lock);
  for (auto it = m_dirs.begin(); it != m_dirs.end();)
    it = it->first == path || isUnder(it->first, path) ? m_dirs.erase(it) : std::next(it);
}

void TFSFileSystem::forgetListings() {
  std::lock_guard<std::mutex> lock(m_lock);
  for (auto &[path, d] : m_dirs)
    if (d->top >= 0) d->listedAt = -1;
}

std::string TFSFileSystem::contentKey(const Node &n) {
  IHBVFS2 *store = storeOf(n.top);
  char key[512];
  snprintf(key, sizeof key, "%s_%s_%s_%lld_%lld", store ? store->getID1() : "",
           store ? store->getID2() : "", n.file->getFileID(), static_cast<long long>(n.size),
           static_cast<long long>(n.mtime));
  return key;
}

// ---- Reading ----

int TFSFileSystem::getattr(const char *path, struct stat *st) {
  Node n;
  const int32_t rc = resolve(path, &n);
  if (rc < 0) return fail(rc, "getattr", path);
  fillStat(n, st);
  return 0;
}

int TFSFileSystem::readdir(const char *path,
                           std::vector<std::pair<std::string, struct stat>> *out) {
  std::shared_ptr<Dir> d;
  const int32_t rc = lookupDir(path, &d);
  if (rc < 0) return fail(rc, "readdir", path);
  std::map<std::string, Node> children;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    children = d->children;
    // Files being written are there before the service has them.
    for (auto &[p, w] : m_writers) {
      std::string parent, name;
      splitPath(p, &parent, &name);
      if (parent != path) continue;
      Node n;
      n.writer = w;
      n.size = fdSize(w->fd);
      n.mtime = w->mtime;
      children[name] = n;
    }
  }
  out->clear();
  out->reserve(children.size());
  for (const auto &[name, n] : children) {
    struct stat st;
    fillStat(n, &st);
    out->emplace_back(name, st);
  }
  return 0;
}

int TFSFileSystem::open(const char *path, int flags, TFSHandle **out, bool *keepCache) {
  *keepCache = false;
  Node n;
  const int32_t rc = resolve(path, &n);
  if (rc < 0) return fail(rc, "open", path);
  if (n.folder) return -EISDIR;
  const bool writing = (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC);
  auto h = std::make_unique<TFSHandle>();
  if (n.marker) {
    if (writing) return -EACCES;
    h->kind = TFSHandle::Marker;
  } else if (writing || n.writer) {
    h->kind = TFSHandle::Write;
    h->writable = writing;
    if (n.writer) {
      h->writer = n.writer;
      if (flags & O_TRUNC) {
        std::lock_guard<std::mutex> lock(h->writer->lock);
        if (ftruncate(h->writer->fd, 0) == 0) {
          h->writer->dirty = true;
          h->writer->failed = 0;
        }
      }
    } else {
      const int err = openWriter(path, &n, (flags & O_TRUNC) != 0, &h->writer);
      if (err < 0) return err;
    }
  } else {
    h->kind = TFSHandle::Read;
    h->file = n.file;
    h->content = m_cache->content(contentKey(n), n.size);
    *keepCache = h->content->complete();
  }
  *out = h.release();
  return 0;
}

namespace {

// Ranged downloads of a file's content.
TFSOpenRange rangeOpener(const HBRef<IHBVFSFile> &file) {
  return [file](int64_t first, int64_t last, HBRef<IHBStream> *s) {
    HBRef<IHBVFSResource> res;
    int32_t rc = file->getResource(HBVFS_RES_PRIMARY, res.out());
    if (rc < 0) return rc;
    char range[64];
    snprintf(range, sizeof range, "range=%lld-%lld", static_cast<long long>(first),
             static_cast<long long>(last));
    return res->openStream(s->out(), HBVFS_OPEN_READ, range);
  };
}

}  // namespace

void TFSFileSystem::noteReach(int32_t rc) {
  if (rc >= 0) {
    m_downUntil = -1;
  } else if (unreachable(rc) && rc != BR_EIO && rc != ZVVFS_EOFFLINE) {
    // Only a drive that did not answer: an answer, even "offline", comes at once anyway.
    m_downUntil = brtime__ticks() + m_config.downMemoryMs;
    m_downError = rc;
  }
}

TFSOpenRange TFSFileSystem::opener(const HBRef<IHBVFSFile> &file) {
  TFSOpenRange open = rangeOpener(file);
  return [this, open](int64_t first, int64_t last, HBRef<IHBStream> *s) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (brtime__ticks() < m_downUntil) return m_downError;
    }
    const int32_t rc = open(first, last, s);
    std::lock_guard<std::mutex> lock(m_lock);
    noteReach(rc);
    return rc;
  };
}

long TFSFileSystem::read(TFSHandle *h, char *buf, size_t size, off_t off) {
  if (off < 0) return -EINVAL;
  switch (h->kind) {
    case TFSHandle::Marker:
      return 0;
    case TFSHandle::Write: {
      const ssize_t r = pread(h->writer->fd, buf, size, off);
      return r < 0 ? -errno : r;
    }
    case TFSHandle::Read:
      break;
  }
  const long r = h->content->read(buf, size, off, opener(h->file));
  return r < 0 ? readFailure(static_cast<int32_t>(r), h->file.get()) : r;
}

int TFSFileSystem::readFailure(int32_t rc, IHBVFSFile *file) {
  if (rc == BR_ENOENT) {
    // The file is listed, so "no such file" would be a lie to the reader: the drive has no
    // content for it.
    brlog(kTag, BRLOG_ERROR,
          "read('%s', %s): the drive lists the file but has no content for it\n",
          file->getName() ? file->getName() : "", file->getFileID());
    return -EIO;
  }
  return fail(rc, "read", file->getFileID());
}

long TFSFileSystem::locate(TFSHandle *h, size_t size, off_t off, int *fd) {
  *fd = -1;
  if (off < 0) return -EINVAL;
  if (h->kind != TFSHandle::Read) return static_cast<long>(size);
  const long r = h->content->locate(size, off, opener(h->file), fd);
  return r < 0 ? readFailure(static_cast<int32_t>(r), h->file.get()) : r;
}

// ---- Writing ----

int TFSFileSystem::openWriter(const std::string &path, const Node *existing, bool truncate,
                              std::shared_ptr<TFSWriter> *out) {
  const int fd = m_cache->openStaging();
  if (fd < 0) return fd;
  auto w = std::make_shared<TFSWriter>();
  w->cache = m_cache;
  w->fd = fd;
  w->path = path;
  w->mtime = brtime__nowMs();
  if (existing && existing->file) {
    w->top = existing->top;
    w->existing = existing->file;
    w->dirty = truncate;
    if (!truncate && existing->size > 0) {
      // Changing a file of the drive: its bytes first.
      if (!w->room(existing->size)) return -ENOSPC;
      Node n = *existing;
      TFSHandle reader;
      reader.kind = TFSHandle::Read;
      reader.file = n.file;
      reader.content = m_cache->content(contentKey(n), n.size);
      std::vector<char> buf(kCopyPiece);
      for (int64_t off = 0; off < n.size;) {
        const long r = read(&reader, buf.data(), buf.size(), off);
        if (r < 0) return static_cast<int>(r);
        if (r == 0) return -EIO;
        if (pwrite(fd, buf.data(), static_cast<size_t>(r), off) != r) return -EIO;
        off += r;
      }
    }
  } else {
    // A new file exists once closed, even when nothing was written to it.
    w->dirty = true;
  }
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_writers.find(path);
  if (it != m_writers.end()) {
    *out = it->second;  // another handle was quicker
  } else {
    m_writers[path] = w;
    *out = w;
  }
  return 0;
}

int TFSFileSystem::create(const char *path, int flags, TFSHandle **out) {
  std::string parent, name;
  splitPath(path, &parent, &name);
  if (name.size() > kNameMax) return -ENAMETOOLONG;
  std::shared_ptr<Dir> d;
  int32_t rc = lookupDir(parent, &d);
  if (rc < 0) return fail(rc, "create", path);
  if (d->top < 0) return -EACCES;  // the root of a shares mount holds only albums
  Node existing;
  rc = resolve(path, &existing);
  if (rc == 0 && (flags & O_EXCL)) return -EEXIST;
  if (rc == 0 && (existing.folder || existing.marker)) return existing.folder ? -EISDIR : -EACCES;
  auto h = std::make_unique<TFSHandle>();
  h->kind = TFSHandle::Write;
  h->writable = true;
  if (rc == 0 && existing.writer) {
    h->writer = existing.writer;
  } else {
    const int err = openWriter(path, rc == 0 ? &existing : nullptr, true, &h->writer);
    if (err < 0) return err;
    h->writer->top = d->top;
  }
  *out = h.release();
  return 0;
}

long TFSFileSystem::write(TFSHandle *h, const char *buf, size_t size, off_t off) {
  if (h->kind != TFSHandle::Write || !h->writable) return -EBADF;
  if (off < 0) return -EINVAL;
  TFSWriter &w = *h->writer;
  std::lock_guard<std::mutex> lock(w.lock);
  if (w.error) return -w.error;
  if (!w.room(off + static_cast<int64_t>(size))) {
    w.error = ENOSPC;
    brlog(kTag, BRLOG_WARNING, "No room on the disk for '%s': the write fails\n", w.path.c_str());
    return -ENOSPC;
  }
  const ssize_t r = pwrite(w.fd, buf, size, off);
  if (r < 0) {
    // A full disk: this file never goes to the service half written.
    w.error = errno;
    return -errno;
  }
  w.dirty = true;
  w.failed = 0;
  w.mtime = brtime__nowMs();
  return r;
}

int TFSFileSystem::upload(TFSWriter &w) {
  if (w.unlinked || !w.dirty) return 0;
  if (w.error) return -w.error;
  // close(2) and the release after it both ask; content that failed once is not sent again.
  if (w.failed) return w.failed;
  const int rc = uploadOnce(w);
  if (rc < 0) w.failed = rc;
  if (rc == 0) cleanLeftovers();
  return rc;
}

void TFSFileSystem::dropUpload(int top, IHBVFSFile *up) {
  if (up->deleteFile(0) >= 0) return;
  // The service cannot take it away now: it is tried again after the next upload and at the
  // next start, so that no hidden upload stays on the drive.
  const char *id = up->getFileID() ? up->getFileID() : "";
  brlog(kTag, BRLOG_WARNING, "The unfinished upload '%s' stays on the drive for now\n", id);
  std::lock_guard<std::mutex> lock(m_leftoverLock);
  m_leftovers.emplace_back(top, id);
  saveLeftovers();
}

void TFSFileSystem::saveLeftovers() {
  if (m_config.leftoverFile.empty()) return;
  std::string text;
  for (const auto &[top, id] : m_leftovers) text += std::to_string(top) + " " + id + "\n";
  if (text.empty()) {
    (void)::unlink(m_config.leftoverFile.c_str());
    return;
  }
  const std::string temp = m_config.leftoverFile + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (ok) (void)::rename(temp.c_str(), m_config.leftoverFile.c_str());
}

void TFSFileSystem::cleanLeftovers() {
  std::vector<std::pair<int, std::string>> todo;
  {
    std::lock_guard<std::mutex> lock(m_leftoverLock);
    if (!m_leftoversRead && !m_config.leftoverFile.empty()) {
      m_leftoversRead = true;
      FILE *f = fopen(m_config.leftoverFile.c_str(), "re");
      char line[256];
      while (f && fgets(line, sizeof line, f)) {
        int top = -1;
        char id[200];
        if (sscanf(line, "%d %199s", &top, id) == 2) m_leftovers.emplace_back(top, id);
      }
      if (f) fclose(f);
    }
    todo = m_leftovers;
  }
  if (todo.empty()) return;
  std::vector<std::pair<int, std::string>> kept;
  for (const auto &[top, id] : todo) {
    IHBVFS2 *store = storeOf(top);
    HBRef<IHBVFSFile> file;
    int32_t rc = store ? store->getFileByID(nullptr, id.c_str(), 0, file.out()) : BR_EIO;
    // Only hidden uploads are ever taken away, whatever the list says.
    if (rc == 0 && (!file->getName() || strncmp(file->getName(), ".tfs-upload-", 12) != 0))
      rc = BR_ENOENT;
    else if (rc == 0)
      rc = file->deleteFile(0);
    if (rc == 0) brlog(kTag, BRLOG_INFO, "Took away the unfinished upload '%s'\n", id.c_str());
    if (rc < 0 && rc != BR_ENOENT) kept.emplace_back(top, id);
  }
  std::lock_guard<std::mutex> lock(m_leftoverLock);
  // Entries added meanwhile stay.
  for (size_t i = todo.size(); i < m_leftovers.size(); ++i) kept.push_back(m_leftovers[i]);
  m_leftovers = std::move(kept);
  saveLeftovers();
}

int TFSFileSystem::uploadOnce(TFSWriter &w) {
  std::string parentPath, name;
  splitPath(w.path, &parentPath, &name);
  std::shared_ptr<Dir> parent;
  int32_t rc = lookupDir(parentPath, &parent);
  if (rc < 0) return fail(rc, "upload", w.path);
  if (parent->top < 0) return -EACCES;
  IHBVFS2 *store = storeOf(parent->top);
  if (!store) return -EIO;
  const int64_t size = fdSize(w.fd);

  // Under a hidden name until the whole content is there.
  HBRef<HBMap> props;
  rc = HBMap::create("properties", 64, 64, props);
  if (rc == 0) rc = props->putString("size", std::to_string(size).c_str());
  if (rc == 0) rc = props->putString("mtime", std::to_string(w.mtime).c_str());
  const std::string temp = uploadName();
  HBRef<IHBVFSFile> up;
  if (rc == 0)
    rc =
        store->createFile(parent->file.get(), temp.c_str(), HBVFS_TYPE_FILE, props.get(), up.out());
  if (rc < 0) return fail(rc, "upload", w.path);
  HBRef<IHBVFSResource> res;
  HBRef<IHBStream> s;
  rc = up->createResource(HBVFS_RES_PRIMARY, res.out());
  if (rc == 0) {
    res->setSize(size);
    rc = res->openStream(s.out(), HBVFS_OPEN_WRITE, nullptr);
  }
  std::vector<char> buf(kCopyPiece);
  for (int64_t off = 0; rc == 0 && off < size;) {
    const ssize_t r = pread(w.fd, buf.data(), buf.size(), off);
    if (r <= 0) {
      rc = BR_EIO;
      break;
    }
    for (ssize_t done = 0; rc == 0 && done < r;) {
      const int32_t n = s->write(buf.data() + done, static_cast<int32_t>(r - done));
      if (n <= 0)
        rc = n < 0 ? n : BR_EIO;
      else
        done += n;
    }
    off += r;
  }
  if (s) {
    const int32_t closed = s->close();
    if (rc == 0) rc = closed;
  }
  if (rc < 0) {
    dropUpload(parent->top, up.get());
    return fail(rc, "upload", w.path);
  }
  // In place: the file it replaces steps aside under a hidden name, the upload takes its name,
  // and only then does the old one go. Until then the name always holds a whole version.
  HBRef<IHBVFSFile> aside;
  const std::string asideName = uploadName();
  if (w.existing) {
    rc = store->moveFile(w.existing.get(), parent->file.get(), asideName.c_str(), aside.out());
    if (rc < 0 && rc != BR_ENOENT) {
      dropUpload(parent->top, up.get());
      return fail(rc, "upload", w.path);
    }
    w.existing.reset();
  }
  HBRef<IHBVFSFile> moved;
  rc = store->moveFile(up.get(), parent->file.get(), name.c_str(), moved.out());
  if (rc < 0) {
    HBRef<IHBVFSFile> back;
    if (!aside || store->moveFile(aside.get(), parent->file.get(), name.c_str(), back.out()) == 0) {
      // The old version has its name again; the new one is uploaded anew on the next try.
      w.existing = back;
      dropUpload(parent->top, up.get());
    } else {
      // Neither could take the name: both stay on the drive under their hidden names.
      brlog(kTag, BRLOG_ERROR, "'%s' stays on the drive as '%s', its old version as '%s': %d\n",
            w.path.c_str(), temp.c_str(), asideName.c_str(), rc);
    }
    return fail(rc, "upload", w.path);
  }
  if (aside) (void)aside->deleteFile(0);
  w.existing = moved;
  w.dirty = false;
  Node n = nodeOf(parent->top, moved.get());
  n.size = size;
  putChild(parentPath, name, n);
  brlog(kTag, BRLOG_VERBOSE, "Uploaded '%s' (%lld bytes)\n", w.path.c_str(),
        static_cast<long long>(size));
  return 0;
}

std::vector<std::string> TFSFileSystem::writesInProgress() {
  std::vector<std::string> paths;
  std::lock_guard<std::mutex> lock(m_lock);
  for (const auto &[path, w] : m_writers) paths.push_back(path);
  return paths;
}

int TFSFileSystem::flush(TFSHandle *h) {
  if (h->kind != TFSHandle::Write || !h->writable) return 0;
  std::lock_guard<std::mutex> lock(h->writer->lock);
  return upload(*h->writer);
}

int TFSFileSystem::release(TFSHandle *h) {
  int rc = 0;
  if (h->kind == TFSHandle::Write && h->writable) rc = flush(h);
  std::shared_ptr<TFSWriter> w = std::move(h->writer);
  delete h;
  if (w) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_writers.find(w->path);
    // Only the list holds it (and this function): no handle is open on it any more.
    if (it != m_writers.end() && it->second == w && w.use_count() == 2) m_writers.erase(it);
  }
  return rc;
}

int TFSFileSystem::truncate(const char *path, off_t size, TFSHandle *h) {
  if (size < 0) return -EINVAL;
  std::shared_ptr<TFSWriter> w = h && h->kind == TFSHandle::Write ? h->writer : nullptr;
  TFSHandle *own = nullptr;
  if (!w) {
    Node n;
    const int32_t rc = resolve(path, &n);
    if (rc < 0) return fail(rc, "truncate", path);
    if (n.folder) return -EISDIR;
    if (n.marker) return -EACCES;
    if (n.writer) {
      w = n.writer;
    } else {
      if (n.size == size) return 0;
      bool keep;
      const int err = open(path, size == 0 ? O_WRONLY | O_TRUNC : O_WRONLY, &own, &keep);
      if (err < 0) return err;
      w = own->writer;
    }
  }
  {
    std::lock_guard<std::mutex> lock(w->lock);
    if (!w->room(size)) return -ENOSPC;
    if (ftruncate(w->fd, size) != 0) return -errno;
    w->dirty = true;
    w->failed = 0;
    w->mtime = brtime__nowMs();
  }
  return own ? release(own) : 0;
}

// ---- Folders, deleting and renaming ----

int TFSFileSystem::mkdir(const char *path) {
  std::string parent, name;
  splitPath(path, &parent, &name);
  if (name.size() > kNameMax) return -ENAMETOOLONG;
  std::shared_ptr<Dir> d;
  int32_t rc = lookupDir(parent, &d);
  if (rc < 0) return fail(rc, "mkdir", path);
  if (d->top < 0) return -EACCES;
  Node n;
  if (resolve(path, &n) == 0) return -EEXIST;
  IHBVFS2 *store = storeOf(d->top);
  HBRef<IHBVFSFile> f;
  rc = store ? store->createFile(d->file.get(), name.c_str(), HBVFS_TYPE_FOLDER, nullptr, f.out())
             : BR_EIO;
  if (rc < 0) return fail(rc, "mkdir", path);
  putChild(parent, name, nodeOf(d->top, f.get()));
  return 0;
}

int TFSFileSystem::unlink(const char *path) {
  std::string parent, name;
  splitPath(path, &parent, &name);
  Node n;
  int32_t rc = resolve(path, &n);
  if (rc < 0) return fail(rc, "unlink", path);
  if (n.marker) return -EPERM;
  if (n.folder) return -EISDIR;
  if (n.writer) {
    HBRef<IHBVFSFile> existing;
    {
      std::lock_guard<std::mutex> lock(n.writer->lock);
      n.writer->unlinked = true;
      existing = std::move(n.writer->existing);
    }
    {
      std::lock_guard<std::mutex> lock(m_lock);
      auto it = m_writers.find(path);
      if (it != m_writers.end() && it->second == n.writer) m_writers.erase(it);
    }
    if (existing && (rc = existing->deleteFile(0)) < 0 && rc != BR_ENOENT)
      return fail(rc, "unlink", path);
    dropChild(parent, name);
    return 0;
  }
  rc = n.file->deleteFile(0);
  if (rc < 0 && rc != BR_ENOENT) return fail(rc, "unlink", path);
  dropChild(parent, name);
  return 0;
}

int TFSFileSystem::rmdir(const char *path) {
  const std::string p = path;
  if (p == "/") return -EBUSY;
  std::string parent, name;
  splitPath(p, &parent, &name);
  Node n;
  int32_t rc = resolve(p, &n);
  if (rc < 0) return fail(rc, "rmdir", p);
  if (!n.folder) return -ENOTDIR;
  std::shared_ptr<Dir> up;
  if ((rc = lookupDir(parent, &up)) < 0) return fail(rc, "rmdir", p);
  if (up->top < 0) return -EACCES;  // an album of a shares mount
  // Only an empty folder goes: asked of the service now, not of what was kept.
  std::map<std::string, Node> children;
  if ((rc = fetch(n.top, n.file.get(), &children)) < 0) return fail(rc, "rmdir", p);
  bool empty = children.empty();
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto &[wp, w] : m_writers) empty = empty && !isUnder(wp, p);
  }
  if (!empty) return -ENOTEMPTY;
  rc = n.file->deleteFile(0);
  if (rc < 0 && rc != BR_ENOENT) return fail(rc, "rmdir", p);
  dropChild(parent, name);
  dropDirsUnder(p);
  return 0;
}

int TFSFileSystem::rename(const char *fromPath, const char *toPath, unsigned int flags) {
  if (flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) return -EINVAL;
  const std::string from = fromPath, to = toPath;
  if (from == to) return 0;
  if (isUnder(to, from)) return -EINVAL;
  std::string fromParent, fromName, toParent, toName;
  splitPath(from, &fromParent, &fromName);
  splitPath(to, &toParent, &toName);
  if (toName.size() > kNameMax) return -ENAMETOOLONG;
  if (toParent == "/" && toName == TFS_MARKER) return -EPERM;
  Node src, dst;
  int32_t rc = resolve(from, &src);
  if (rc < 0) return fail(rc, "rename", from);
  if (src.marker) return -EPERM;
  const int32_t found = resolve(to, &dst);
  if (found < 0 && found != BR_ENOENT) return fail(found, "rename", to);
  std::shared_ptr<Dir> toDir, fromDir;
  if ((rc = lookupDir(toParent, &toDir)) < 0) return fail(rc, "rename", to);
  if ((rc = lookupDir(fromParent, &fromDir)) < 0) return fail(rc, "rename", from);
  if (toDir->top < 0 || fromDir->top < 0) return -EACCES;
  if (toDir->top != fromDir->top) return -EXDEV;
  IHBVFS2 *store = storeOf(toDir->top);
  if (!store) return -EIO;

  HBRef<IHBVFSFile> aside;
  if (found == 0) {
    if (flags & RENAME_NOREPLACE) return -EEXIST;
    if (dst.folder && !src.folder) return -EISDIR;
    if (!dst.folder && src.folder) return -ENOTDIR;
    // The service never replaces, so what the name held has to make room. A stored file steps
    // aside under a hidden name and is deleted only once the move has taken its place: a move
    // the service refuses puts it back, never losing it. An (empty) folder or a file still being
    // written goes first.
    if (!dst.folder && !dst.writer && dst.file) {
      rc = store->moveFile(dst.file.get(), toDir->file.get(), uploadName().c_str(), aside.out());
      if (rc < 0) return fail(rc, "rename", to);
      dropChild(toParent, toName);
    } else {
      const int err = dst.folder ? rmdir(toPath) : unlink(toPath);
      if (err < 0) return err;
    }
  }
  // The move failed: what stepped aside takes its name back.
  auto restore = [&] {
    if (!aside) return;
    HBRef<IHBVFSFile> back;
    if (store->moveFile(aside.get(), toDir->file.get(), toName.c_str(), back.out()) == 0)
      putChild(toParent, toName, nodeOf(toDir->top, back.get()));
    else
      brlog(kTag, BRLOG_ERROR, "rename: could not give '%s' its name back\n", to.c_str());
  };
  // The move succeeded: what stepped aside is gone for good.
  auto drop = [&] {
    if (aside) (void)aside->deleteFile(0);
  };

  if (src.writer) {
    std::lock_guard<std::mutex> wl(src.writer->lock);
    if (src.writer->existing) {
      HBRef<IHBVFSFile> moved;
      rc = store->moveFile(src.writer->existing.get(), toDir->file.get(), toName.c_str(),
                           moved.out());
      if (rc < 0) {
        restore();
        return fail(rc, "rename", from);
      }
      src.writer->existing = moved;
      dropChild(fromParent, fromName);
      putChild(toParent, toName, nodeOf(toDir->top, moved.get()));
    }
    drop();
    std::lock_guard<std::mutex> lock(m_lock);
    m_writers.erase(from);
    m_writers[to] = src.writer;
    src.writer->path = to;
    return 0;
  }

  HBRef<IHBVFSFile> moved;
  rc = store->moveFile(src.file.get(), toDir->file.get(), toName.c_str(), moved.out());
  if (rc < 0) {
    restore();
    return fail(rc, "rename", from);
  }
  drop();
  dropChild(fromParent, fromName);
  putChild(toParent, toName, nodeOf(toDir->top, moved.get()));
  if (src.folder) {
    dropDirsUnder(from);
    // Files being written inside go along.
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::pair<std::string, std::shared_ptr<TFSWriter>>> inside;
    for (auto &[wp, w] : m_writers)
      if (isUnder(wp, from)) inside.emplace_back(wp, w);
    for (auto &[wp, w] : inside) {
      m_writers.erase(wp);
      const std::string np = to + wp.substr(from.size());
      w->path = np;
      m_writers[np] = w;
    }
  }
  return 0;
}

int TFSFileSystem::statfs(struct statvfs *st) {
  memset(st, 0, sizeof *st);
  bool ask;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    ask = m_spaceAt < 0 || brtime__ticks() - m_spaceAt > kSpaceTtlMs;
  }
  if (ask) {
    int64_t free = 0, total = 0;
    if (m_source->space(&free, &total) == 0) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_free = free;
      m_total = total;
      m_spaceAt = brtime__ticks();
    }
  }
  std::lock_guard<std::mutex> lock(m_lock);
  st->f_bsize = st->f_frsize = 4096;
  st->f_blocks = static_cast<fsblkcnt_t>(m_total / 4096);
  st->f_bfree = st->f_bavail = static_cast<fsblkcnt_t>(m_free / 4096);
  st->f_namemax = kNameMax;
  return 0;
}
