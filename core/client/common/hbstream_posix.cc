// HBStreamPosix: the local file stream, and HBStreamPosixTemp, its self-deleting variant.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "brlog.h"
#include "hbstr.h"
#include "hbstream.h"
#include "hbstream_int.h"

namespace {

int32_t openErrorCode(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return BR_ENOENT;
    case EACCES:
    case EPERM:
    case EISDIR:
      return BR_ENOTAUTH;
    default:
      return BR_EUNSPEC;
  }
}

class HBStreamPosix : public HBObject<HBStreamPosix, IHBStream, IHBStreamSpaceAlloc, IHBFileStream> {
 public:
  HBStreamPosix(int fd, int32_t flags, std::string path, bool hasPath)
      : m_fd(fd), m_flags(flags), m_path(std::move(path)), m_hasPath(hasPath) {}

  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    // The stream number is answered too: asking a file stream for its stream must work.
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    if (ifc == HBIFC_STREAMSPACEALLOC) return offer<IHBStreamSpaceAlloc>(out);
    return BR_ENOENT;
  }

  int32_t read(void *buffer, int32_t length) override {
    if (length < 0 || (!buffer && length > 0)) return BR_EINVAL;
    if (m_fd < 0) return BR_EUNSPEC;
    for (;;) {
      const ssize_t n = ::read(m_fd, buffer, static_cast<size_t>(length));
      if (n >= 0) return static_cast<int32_t>(n);
      if (errno == EINTR) continue;
      return (errno == EAGAIN || errno == EWOULDBLOCK) ? BR_EAGAIN : BR_EUNSPEC;
    }
  }

  int32_t write(const void *buffer, int32_t length) override {
    if (length < 0 || (!buffer && length > 0)) return BR_EINVAL;
    if (m_fd < 0) return BR_EUNSPEC;
    const char *p = static_cast<const char *>(buffer);
    int32_t off = 0;
    while (off < length) {
      const ssize_t n = ::write(m_fd, p + off, static_cast<size_t>(length - off));
      if (n > 0) {
        off += static_cast<int32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (off > 0) break;  // the caller learns of the failure on its next write
      if (n == 0) return 0;
      // A full disk keeps its own code so that callers can tell it from other failures.
      return (errno == ENOSPC || errno == EDQUOT) ? BR_ENOSPC : BR_EUNSPEC;
    }
    return off;
  }

  int64_t seek(int64_t offset, int32_t whence) override {
    if (m_fd < 0) return BR_EUNSPEC;
    int w;
    switch (whence) {
      case HBSTREAM_SEEK_SET:
        w = SEEK_SET;
        break;
      case HBSTREAM_SEEK_CUR:
        w = SEEK_CUR;
        break;
      case HBSTREAM_SEEK_END:
        w = SEEK_END;
        break;
      default:
        return BR_EINVAL;
    }
    const off_t pos = ::lseek(m_fd, static_cast<off_t>(offset), w);
    return pos < 0 ? int64_t{BR_EUNSPEC} : static_cast<int64_t>(pos);
  }

  int32_t close() override {
    if (m_fd >= 0) {
      ::close(m_fd);  // not retried on EINTR: the descriptor is gone either way on Linux
      m_fd = -1;
      closed();
    }
    return 0;
  }

  int32_t setSize(int64_t size) override {
    if (m_fd < 0 || size < 0 || ::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
      std::fprintf(stderr, " -- Failed to set file pointer: %d\n", m_fd < 0 ? EBADF : size < 0 ? EINVAL : errno);
      return BR_EIO;
    }
    return 0;
  }

  int32_t getPath(char *buffer, int32_t size) override {
    if (!m_hasPath) return BR_ENOENT;
    hbstream_detail::copyCut(buffer, size, m_path.c_str());
    return brstr__utf16Length(m_path.c_str());
  }

 protected:
  ~HBStreamPosix() override { (void)close(); }
  virtual void closed() {}

  int m_fd;
  int32_t m_flags;
  std::string m_path;
  bool m_hasPath;
};

class HBStreamPosixTemp final : public HBStreamPosix {
 public:
  HBStreamPosixTemp(int fd, std::string path) : HBStreamPosix(fd, HBFILE_O_RDWR, std::move(path), true) {}

 protected:
  ~HBStreamPosixTemp() override { (void)HBStreamPosix::close(); }
  void closed() override { ::unlink(m_path.c_str()); }
};

}  // namespace

int32_t hbstream__openFile(IHBStream **out, const char *path, int32_t flags) {
  if (!out || !path) return BR_EUNSPEC;
  const int32_t access = flags & 0x3;
  if (access == 0) return BR_EUNSPEC;
  int oflags = O_CLOEXEC | (access == 1 ? O_RDONLY : access == 2 ? O_WRONLY : O_RDWR);
  const bool creat = flags & HBFILE_O_CREAT, trunc = flags & HBFILE_O_TRUNC,
             excl = flags & HBFILE_O_EXCL;
  if (creat && trunc && excl) {
    brlog("HBSTREAM", BRLOG_ERROR, "  -- Can't combine CREAT, TRUNC and EXCL!\n");
    return BR_EUNSPEC;
  }
  if (creat) oflags |= O_CREAT;
  if (creat && excl) oflags |= O_EXCL;
  if (trunc) {
    // Truncation needs write access; a read-only open must never empty the file.
    if (!(access & 2)) {
      brlog("HBSTREAM", BRLOG_ERROR, "  -- Failed to open file: 0x%x\n", EINVAL);
      return BR_EUNSPEC;
    }
    oflags |= O_TRUNC;
  }
  int fd;
  do {
    fd = ::open(path, oflags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    // A folder opens on Linux, but it is no file: refuse it as an access failure.
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      fd = -1;
      errno = EISDIR;
    }
  }
  if (fd < 0) {
    const int err = errno;
    brlog("HBSTREAM", BRLOG_ERROR, "  -- Failed to open file: 0x%x\n", err);
    return openErrorCode(err);
  }
  HBStreamPosix *s = new (std::nothrow) HBStreamPosix(fd, flags, path, true);
  if (!s) {
    ::close(fd);
    return BR_ENOMEM;
  }
  *out = s;
  return BR_OK;
}

int32_t hbstream__openTemp(IHBStream **out, const char *directory) {
  if (!out) return BR_EUNSPEC;
  std::string dir;
  if (directory && *directory) {
    dir = directory;
  } else {
    const char *t = std::getenv("TMPDIR");
    dir = (t && *t) ? t : "/tmp";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::string name = dir + "/yto_XXXXXX";
  int fd;
  do {
    fd = ::mkostemp(name.data(), O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    brlog("HBSTREAM", BRLOG_ERROR, "  -- Failed to open temp file: 0x%x\n", errno);
    return BR_EUNSPEC;
  }
  HBStreamPosixTemp *s = new (std::nothrow) HBStreamPosixTemp(fd, name);
  if (!s) {
    ::close(fd);
    ::unlink(name.c_str());
    return BR_EUNSPEC;
  }
  *out = s;
  return BR_OK;
}
