// File helpers over POSIX: folders, deletion, attributes, status, free space, volumes and the
// folder tree walk.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <strings.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "brlog.h"
#include "hbfile.h"
#include "hbstream_int.h"

namespace {

std::string slashes(const char *path) {
  std::string p(path);
  for (char &c : p)
    if (c == '\\') c = '/';
  return p;
}

// What the walk needs beside the record: the kind and the identity of the file.
struct FileInfo {
  bool isDir = false;
  bool isReg = false;
  dev_t dev = 0;
  ino_t ino = 0;
};

// One status query (links followed) fills the record, creation time included. 0 or errno.
int statRecord(int dirfd, const char *path, HBFileStat *out, FileInfo *info) {
  struct statx sx;
  if (::statx(dirfd, path, 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return errno;
  const bool isDir = S_ISDIR(sx.stx_mode);
  out->isDir = isDir ? 1 : 0;
  out->size = isDir ? 0 : static_cast<int64_t>(sx.stx_size);
  out->blocks = (out->size + 4095) / 4096;
  out->blockSize = 4096;
  int64_t created = sx.stx_ctime.tv_sec < sx.stx_mtime.tv_sec ? sx.stx_ctime.tv_sec : sx.stx_mtime.tv_sec;
  if (sx.stx_mask & STATX_BTIME) created = sx.stx_btime.tv_sec;
  out->createTime = created;
  out->writeTime = sx.stx_mtime.tv_sec;
  out->writeTimeMs =
      static_cast<int64_t>(sx.stx_mtime.tv_sec) * 1000 + sx.stx_mtime.tv_nsec / 1000000;
  if (info) {
    info->isDir = isDir;
    info->isReg = S_ISREG(sx.stx_mode);
    info->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    info->ino = static_cast<ino_t>(sx.stx_ino);
  }
  return 0;
}

// "*" and "?" as the platform's listing understands them; every other byte stands for itself.
bool wildcardMatch(const char *pat, const char *name) {
  const char *star = nullptr, *resume = nullptr;
  while (*name) {
    if (*pat == '?' || *pat == *name) {
      ++pat;
      ++name;
    } else if (*pat == '*') {
      star = pat++;
      resume = name;
    } else if (star) {
      pat = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pat == '*') ++pat;
  return *pat == '\0';
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  return ::remove(path) == 0 ? 0 : -1;
}

// Removes a file, or a folder with everything in it; links are removed, never followed.
int removeTree(const char *path) {
  struct stat st;
  if (::lstat(path, &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path) == 0 || errno == ENOENT ? 0 : -1;
  return ::nftw(path, removeEntry, 16, FTW_DEPTH | FTW_PHYS) == 0 ? 0 : -1;
}

}  // namespace

int32_t hbfile__mkdirs(const char *path) {
  if (!path || !*path) return BR_EUNSPEC;
  const std::string p = slashes(path);
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i < p.size() && p[i] != '/') continue;
    if (p[i - 1] == '/') continue;  // repeated separators
    const std::string part = p.substr(0, i);
    if (::mkdir(part.c_str(), 0777) == 0) continue;
    int err = errno;
    if (err == EEXIST) {
      struct stat st;
      if (::stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      err = ENOTDIR;
    }
    brlog("HBFILE", BRLOG_ERROR, "Failed to create dir: %lu '%s'\n",
          static_cast<unsigned long>(err), part.c_str());
    return BR_EUNSPEC;
  }
  return BR_OK;
}

int32_t hbfile__unlink(const char *path) {
  if (!path || !*path) return BR_EUNSPEC;
  const std::string p = slashes(path);
  int rc = 0;
  if (p.find('*') != std::string::npos) {
    // Wildcards ("*", "?") in the last component, as the platform's delete operation takes them.
    const size_t slash = p.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    const std::string pattern = slash == std::string::npos ? p : p.substr(slash + 1);
    std::vector<std::string> matches;
    if (DIR *d = ::opendir(dir.c_str())) {
      while (struct dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        if (wildcardMatch(pattern.c_str(), e->d_name)) matches.push_back(dir + "/" + e->d_name);
      }
      ::closedir(d);
    } else if (errno != ENOENT && errno != ENOTDIR) {
      rc = errno;
    }
    for (const std::string &m : matches)
      if (removeTree(m.c_str()) != 0 && rc == 0) rc = errno ? errno : EIO;
  } else if (::unlink(p.c_str()) != 0) {
    rc = errno;
  }
  if (rc != 0) {
    brlog("HBFILE", BRLOG_INFO, "      - UNLINKING ERROR: %d!\n", rc);
    return BR_EUNSPEC;
  }
  return BR_OK;
}

int32_t hbfile__isHidden(const char *path) {
  if (!path || !*path) return BR_EINVAL;
  struct stat st;
  if (::stat(path, &st) != 0) return brerror__fromErrno(errno);
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  const std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
  if (base.size() > 1 && base[0] == '.' && base != "..") return HBFILE_HIDDEN;
  return 0;
}

int32_t hbfile__rename(const char *from, const char *to) {
  if (!from || !to) return BR_EINVAL;
  if (::rename(from, to) == 0) return BR_OK;
  if (errno != EXDEV) return brerror__fromErrno(errno);
  // Another file system: copy to a new name beside the destination and put it in place only
  // once the copy is complete, then remove the original. A failed move leaves both as they were.
  struct stat st;
  if (::stat(from, &st) != 0) return brerror__fromErrno(errno);
  HBRef<IHBStream> src, dst;
  int32_t rc = hbstream__openFile(src.out(), from, HBFILE_O_READ);
  if (rc < 0) return rc;
  const std::string target(to);
  const size_t slash = target.rfind('/');
  std::string temp = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  // The name's start is enough to recognise it; a full long name would not fit with the rest.
  temp += ".~" + target.substr(slash == std::string::npos ? 0 : slash + 1, 200) + ".XXXXXX";
  int fd;
  do {
    fd = ::mkostemp(temp.data(), O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return brerror__fromErrno(errno);
  ::close(fd);
  rc = hbstream__openFile(dst.out(), temp.c_str(), HBFILE_O_WRITE | HBFILE_O_TRUNC);
  int64_t sent = rc < 0 ? rc : src->sendTo(dst.get(), -1);
  if (dst && dst->close() < 0 && sent >= 0) sent = BR_EIO;
  if (sent >= 0 && sent != st.st_size) sent = BR_EIO;
  if (sent >= 0) (void)::chmod(temp.c_str(), st.st_mode & 07777);  // some file systems refuse
  if (sent >= 0 && ::rename(temp.c_str(), to) != 0) sent = brerror__fromErrno(errno);
  if (sent < 0) {
    ::unlink(temp.c_str());
    return static_cast<int32_t>(sent);
  }
  ::unlink(from);
  return BR_OK;
}

int32_t hbfile__fullPath(const char *path, char *out, size_t outSize) {
  if (!path || !*path || !out || outSize == 0) return BR_EINVAL;
  std::string in;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return BR_EINVAL;
    in = cwd;
    in += '/';
  }
  in += path;
  // Lexical, as the platform's own full-path call: "." and ".." fold, links stay as they are.
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < in.size()) {
    size_t j = in.find('/', i);
    if (j == std::string::npos) j = in.size();
    const std::string comp = in.substr(i, j - i);
    if (comp == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!comp.empty() && comp != ".") {
      parts.push_back(comp);
    }
    i = j + 1;
  }
  std::string res;
  for (const std::string &c : parts) res += "/" + c;
  if (res.empty()) res.push_back('/');
  if (res.size() + 1 > outSize) return BR_EINVAL;
  std::memcpy(out, res.c_str(), res.size() + 1);
  return BR_OK;
}

int32_t hbfile__stat(const char *path, HBFileStat *out) {
  if (!path || !out) return BR_EINVAL;
  std::string p(path);
  if (!p.empty() && (p.back() == '/' || p.back() == '\\')) {
    if (p.back() == '\\') p.back() = '/';
    p += '.';
  }
  const int err = statRecord(AT_FDCWD, p.c_str(), out, nullptr);
  return err ? brerror__fromErrno(err) : BR_OK;
}

int32_t hbfile__statFind(const char *path, HBFileStat *out) {
  if (!path || !*path || !out) return BR_EINVAL;
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
  const std::string pattern = slash == std::string::npos ? p : p.substr(slash + 1);
  int err = ENOENT;
  if (DIR *d = ::opendir(dir.c_str())) {
    err = ENOENT;
    while (struct dirent *e = ::readdir(d)) {
      const bool dots = std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0;
      if (dots ? pattern != e->d_name : !wildcardMatch(pattern.c_str(), e->d_name)) continue;
      const int serr = statRecord(::dirfd(d), e->d_name, out, nullptr);
      if (serr != 0) {
        err = serr;
        continue;
      }
      ::closedir(d);
      return BR_OK;
    }
    ::closedir(d);
  } else {
    err = errno;
  }
  brlog("HBFileWin32", BRLOG_VERBOSE4, "FindFirstFile('%s') failed: %d\n", path, err);
  struct stat st;
  if (::stat(path, &st) != 0) {
    const int aerr = errno;
    brlog("HBFileWin32", BRLOG_VERBOSE4, "GetFileAttributes('%s') failed: %d\n", path, aerr);
    return brerror__fromErrno(aerr);
  }
  std::memset(out, 0, sizeof *out);
  out->isDir = S_ISDIR(st.st_mode) ? 1 : 0;
  out->blockSize = 4096;
  return BR_OK;
}

int32_t hbfile__diskFree(const char *path, HBDiskFree *out) {
  if (!path || !out) return BR_EIO;
  struct statvfs vs;
  int rc;
  do {
    rc = ::statvfs(path, &vs);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return BR_EIO;
  const unsigned long long unit = vs.f_frsize ? vs.f_frsize : vs.f_bsize;
  std::memset(out, 0, sizeof *out);
  out->unit = 1024;
  out->total = static_cast<int64_t>(vs.f_blocks * unit / 1024);
  out->totalFree = static_cast<int64_t>(vs.f_bfree * unit / 1024);
  out->userFree = static_cast<int64_t>(vs.f_bavail * unit / 1024);
  return BR_OK;
}

int32_t hbfile__volume(const char *path, char *root, size_t rootSize, char *label,
                       size_t labelSize) {
  if (!path) return BR_EINVAL;
  char *real = ::realpath(path, nullptr);
  if (!real) return brerror__fromErrno(errno);
  std::string p(real);
  std::free(real);
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) return brerror__fromErrno(errno);
  const dev_t dev = st.st_dev;
  // Climb while the parent is on the same file system.
  while (p != "/") {
    const size_t slash = p.rfind('/');
    const std::string parent = slash == 0 ? "/" : p.substr(0, slash);
    struct stat pst;
    if (::stat(parent.c_str(), &pst) != 0 || pst.st_dev != dev) break;
    p = parent;
  }
  std::string name;
  if (DIR *d = ::opendir("/dev/disk/by-label")) {
    while (struct dirent *e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      struct stat lst;
      if (::fstatat(::dirfd(d), e->d_name, &lst, 0) != 0 || !S_ISBLK(lst.st_mode)) continue;
      if (lst.st_rdev != dev) continue;
      // udev escapes unusual bytes as \xHH.
      const char *s = e->d_name;
      while (*s) {
        unsigned v;
        if (s[0] == '\\' && s[1] == 'x' && std::sscanf(s + 2, "%2x", &v) == 1) {
          name += static_cast<char>(v);
          s += 4;
        } else {
          name += *s++;
        }
      }
      break;
    }
    ::closedir(d);
  }
  if (root && rootSize) hbstream_detail::copyCut(root, static_cast<int32_t>(rootSize), p.c_str());
  if (label && labelSize)
    hbstream_detail::copyCut(label, static_cast<int32_t>(labelSize), name.c_str());
  return BR_OK;
}

// ---- Folder tree walk ----

namespace {

// Pictures and videos: a folder holding neither is passed over.
bool isImageName(const char *name) {
  const char *type = hbfile__mimeType(name);
  return std::strncmp(type, "image", 5) == 0 || std::strncmp(type, "video/", 6) == 0;
}

struct DirEntry {
  std::string name;
  unsigned char type;
};

// Reads a folder's entries (without "." and "..") and closes it, so that a deep tree does not
// hold a descriptor per level.
bool listDir(const char *path, std::vector<DirEntry> *out) {
  DIR *d = ::opendir(path);
  if (!d) return false;
  while (struct dirent *e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    out->push_back({e->d_name, e->d_type});
  }
  ::closedir(d);
  return true;
}

class Walker {
 public:
  explicit Walker(HBFileWalk *w) : m_w(w) {}

  // Processes the path in the buffer: 0 go on, 1 stop, 3 stop listing the current folder. The
  // entry is looked up as `name` in the folder open as `dirFd` (AT_FDCWD: the whole path), which
  // spares the kernel a walk of the whole path for each file of a big library.
  int32_t process(size_t len, int dirFd = AT_FDCWD, const char *name = nullptr) {
    HBFileStat fs;
    FileInfo info;
    if (statRecord(dirFd, dirFd == AT_FDCWD ? m_w->path : name, &fs, &info) != 0) {
      brlog("FTW", BRLOG_WARNING, "%2d +++ RSTAT FAIL: %s\n", m_w->depth, m_w->path);
      return 0;
    }
    if (!info.isDir) {
      if (!m_passed) return settle(call(&fs, HBWALK_FILE));
      return info.isReg ? settle(call(&fs, HBWALK_FILE_PASSED)) : 0;
    }

    const Key key{info.dev, info.ino};
    for (const Key &a : m_ancestors)
      if (a == key) {
        brlog("FTW", BRLOG_WARNING, "%2d +++ LOOP, NOT RECURSING: %s\n", m_w->depth, m_w->path);
        return 0;
      }
    std::vector<DirEntry> entries;
    if (!listDir(m_w->path, &entries)) return m_passed ? 0 : settle(call(&fs, HBWALK_DIR_ERR));
    if (m_passed || !hasImages(m_w->path, key, entries)) {
      if (!(m_w->flags & HBWALK_PASSED_FILES)) return 0;
      // Nothing below is a picture or a video: only its files are told, as passed over.
      std::erase_if(entries, [](const DirEntry &e) { return e.name[0] == '.'; });
      const bool outer = !m_passed;
      m_passed = true;
      int32_t rc = 0;
      if (m_w->maxDepth < 0 || m_w->depth < m_w->maxDepth) rc = descend(len, key, entries);
      if (outer) m_passed = false;
      return rc == 1 ? 1 : 0;
    }

    const bool post = m_w->flags & HBWALK_DEPTH_FIRST;
    const bool pre = !post || (m_w->flags & HBWALK_PRE_TOO);
    bool skip = false;
    if (pre) {
      const int32_t rc = call(&fs, HBWALK_DIR);
      if (rc == HBWALK_STOP) return 1;
      if (rc == HBWALK_SKIP_REST) return 3;
      skip = rc == HBWALK_SKIP;
    }
    if (!skip) {
      if (m_w->maxDepth >= 0 && m_w->depth >= m_w->maxDepth) {
        brlog("FTW", BRLOG_VERBOSE,
              "%2d +++ DEPTH SPECIFIED BY NOPENFD EXCEEDED - NOT RECURSING (%s)!\n", m_w->depth,
              m_w->path);
      } else if (descend(len, key, entries) == 1) {
        return 1;
      }
    }
    if (post) return settle(call(&fs, HBWALK_DIR));
    return 0;
  }

 private:
  struct Key {
    dev_t dev;
    ino_t ino;
    bool operator==(const Key &o) const { return dev == o.dev && ino == o.ino; }
    bool operator<(const Key &o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
  };

  int32_t call(const HBFileStat *fs, int32_t type) {
    return m_w->callback(m_w->path, fs, type, m_w);
  }
  static int32_t settle(int32_t rc) { return rc == HBWALK_STOP ? 1 : rc == HBWALK_SKIP_REST ? 3 : 0; }

  int32_t descend(size_t len, const Key &key, const std::vector<DirEntry> &entries) {
    // The folder stays open while its entries are looked up, down to a depth that keeps a deep
    // tree well within the descriptor limit; deeper folders use whole paths.
    const int dirFd =
        m_w->depth < kOpenLevels ? ::open(m_w->path, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    m_ancestors.push_back(key);
    ++m_w->depth;
    int32_t result = 0;
    const bool needSlash = len == 0 || m_w->path[len - 1] != '/';
    for (const DirEntry &e : entries) {
      const size_t add = (needSlash ? 1 : 0) + e.name.size();
      if (len + add + 1 > sizeof m_w->path) {
        // A cut name would be another file's path: leave it out rather than stat the wrong one.
        brlog("FTW", BRLOG_WARNING, "%2d +++ PATH TOO LONG: %s/%s\n", m_w->depth, m_w->path,
              e.name.c_str());
        continue;
      }
      size_t n = len;
      if (needSlash) m_w->path[n++] = '/';
      std::memcpy(m_w->path + n, e.name.c_str(), e.name.size() + 1);
      const int32_t rc = dirFd >= 0 ? process(n + e.name.size(), dirFd, e.name.c_str())
                                    : process(n + e.name.size());
      m_w->path[len] = '\0';
      if (rc == 1) {
        result = 1;
        break;
      }
      if (rc == 3) break;
    }
    if (dirFd >= 0) ::close(dirFd);
    --m_w->depth;
    m_ancestors.pop_back();
    return result;
  }

  // Whether a picture lies in the folder or below it. Each folder is scanned at most once per
  // walk, however deep it sits; a folder still being scanned (a link loop) counts as empty.
  bool hasImages(const std::string &path, const Key &key, const std::vector<DirEntry> &entries) {
    auto it = m_images.find(key);
    if (it != m_images.end()) return it->second == 1;
    m_images[key] = -1;
    bool found = false;
    std::vector<std::string> subdirs;
    const std::string prefix = path + (path.back() == '/' ? "" : "/");
    for (const DirEntry &e : entries) {
      unsigned char type = e.type;
      if (type == DT_UNKNOWN || type == DT_LNK) {
        struct stat st;
        if (::stat((prefix + e.name).c_str(), &st) != 0) continue;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
      }
      if (type == DT_DIR) {
        subdirs.push_back(prefix + e.name);
      } else if (type == DT_REG && isImageName(e.name.c_str())) {
        found = true;
        break;
      }
    }
    for (size_t i = 0; !found && i < subdirs.size(); ++i) {
      struct stat st;
      if (::stat(subdirs[i].c_str(), &st) != 0) continue;
      const Key sub{st.st_dev, st.st_ino};
      auto sit = m_images.find(sub);
      if (sit != m_images.end()) {
        found = sit->second == 1;
        continue;
      }
      std::vector<DirEntry> subEntries;
      if (!listDir(subdirs[i].c_str(), &subEntries)) {
        m_images[sub] = 0;
        continue;
      }
      found = hasImages(subdirs[i], sub, subEntries);
    }
    m_images[key] = found ? 1 : 0;
    return found;
  }

  static constexpr int32_t kOpenLevels = 64;

  HBFileWalk *m_w;
  std::vector<Key> m_ancestors;
  std::map<Key, int8_t> m_images;
  bool m_passed = false;  // inside a folder passed over (HBWALK_PASSED_FILES)
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path of a "file:" URL ("file://host/p" gives "//host/p"), percent escapes decoded; false
// for anything else.
bool fileUrlPath(const char *text, std::string *out) {
  if (strncasecmp(text, "file:", 5) != 0) return false;
  const char *p = text + 5;
  std::string raw;
  if (p[0] == '/' && p[1] == '/') {
    const char *hostEnd = std::strchr(p + 2, '/');
    const std::string host(p + 2, hostEnd ? hostEnd : p + std::strlen(p));
    if (!host.empty() && strcasecmp(host.c_str(), "localhost") != 0) raw = "//" + host;
    raw += hostEnd ? hostEnd : "/";
  } else {
    raw = p;
  }
  out->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    int hi, lo;
    if (raw[i] == '%' && i + 2 < raw.size() &&
        (hi = hexValue(raw[i + 1])) >= 0 && (lo = hexValue(raw[i + 2])) >= 0) {
      *out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      *out += raw[i] == '\\' ? '/' : raw[i];
    }
  }
  return true;
}

}  // namespace

int32_t hbfile__walk(const char *root, HBFileWalkFn callback, int32_t maxDepth, int32_t flags,
                     void *user) {
  if (!root || !*root || !callback) return BR_EINVAL;
  std::string start;
  if (!fileUrlPath(root, &start)) start = root;
  HBFileWalk *w = new (std::nothrow) HBFileWalk;
  if (!w) return BR_ENOMEM;
  std::unique_ptr<HBFileWalk> hold(w);
  if (start.compare(0, 2, "//") == 0) {
    if (start.size() + 1 > sizeof w->path) return BR_EINVAL;
    std::memcpy(w->path, start.c_str(), start.size() + 1);
  } else if (hbfile__fullPath(start.c_str(), w->path, sizeof w->path) < 0) {
    return BR_EINVAL;
  }
  w->depth = 0;
  w->maxDepth = maxDepth;
  w->flags = flags;
  w->callback = callback;
  w->user = user;
  struct stat st;
  if (::stat(w->path, &st) != 0) {
    const int err = errno;
    brlog("FTW", BRLOG_WARNING, "%2d +++ RSTAT FAIL: %s\n", 0, w->path);
    return brerror__fromErrno(err);
  }
  Walker walker(w);
  return walker.process(std::strlen(w->path)) == 1 ? 1 : 0;
}
