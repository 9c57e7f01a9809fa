// Fast-start rewriting: ftyp, then the patched index, then the rest of the file.
#include "hbfaststart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "brlog.h"

namespace {

const char kTag[] = "QTFS";

constexpr uint32_t fourcc(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
         (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

constexpr uint32_t kFtyp = fourcc("ftyp");
constexpr uint32_t kMoov = fourcc("moov");
constexpr uint32_t kCmov = fourcc("cmov");
constexpr uint32_t kStco = fourcc("stco");
constexpr uint32_t kCo64 = fourcc("co64");

bool isTopLevel(uint32_t type) {
  static const uint32_t known[] = {fourcc("ftyp"), fourcc("free"), fourcc("junk"),
                                   fourcc("mdat"), fourcc("moov"), fourcc("pnot"),
                                   fourcc("skip"), fourcc("wide"), fourcc("PICT")};
  for (uint32_t k : known)
    if (k == type) return true;
  return false;
}

uint32_t be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
uint64_t be64(const uint8_t *p) {
  return (uint64_t(be32(p)) << 32) | be32(p + 4);
}
void putBe32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
void putBe64(uint8_t *p, uint64_t v) {
  putBe32(p, uint32_t(v >> 32));
  putBe32(p + 4, uint32_t(v));
}

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

void logIoError(const char *path, FILE *f) {
  const char *what =
      (f && std::feof(f) && !std::ferror(f)) ? "unexpected end of file" : std::strerror(errno);
  brlog(kTag, BRLOG_INFO, "%s: %s\n", path, what);
}

// Reads exactly `n` bytes at the current position.
bool readAll(FILE *f, void *buf, size_t n) {
  return std::fread(buf, 1, n, f) == n;
}

bool allocate(std::vector<uint8_t> *buf, uint64_t size) {
  try {
    buf->resize(size_t(size));
  } catch (const std::bad_alloc &) {
    return false;
  } catch (const std::length_error &) {
    return false;
  }
  return true;
}

// The output file: removed again unless the rewrite finished.
class Output {
 public:
  explicit Output(const char *path) : m_path(path) {}
  ~Output() {
    if (m_file) m_file.reset();
    if (m_opened && !m_done) ::unlink(m_path);
  }
  bool open() {
    m_file.reset(std::fopen(m_path, "wb"));
    m_opened = m_file != nullptr;
    return m_opened;
  }
  bool write(const void *data, size_t n) { return std::fwrite(data, 1, n, m_file.get()) == n; }
  bool finish() {
    FILE *f = m_file.release();
    const bool ok = std::fflush(f) == 0 && !std::ferror(f);
    const bool closed = std::fclose(f) == 0;
    m_done = ok && closed;
    return m_done;
  }
  FILE *get() const { return m_file.get(); }

 private:
  const char *m_path;
  File m_file;
  bool m_opened = false;
  bool m_done = false;
};

}  // namespace

int hbfaststart__patchIndex(uint8_t *moov, uint64_t size, uint64_t delta) {
  for (uint64_t i = 4; size >= 8 && i < size - 4;) {
    const uint32_t type = be32(moov + i);
    if (type != kStco && type != kCo64) {
      ++i;
      continue;
    }
    const bool wide = type == kCo64;
    brlog(kTag, BRLOG_INFO, wide ? " patching co64 atom...\n" : " patching stco atom...\n");
    const uint64_t start = i - 4;
    const uint64_t atomSize = be32(moov + start);
    const uint64_t entrySize = wide ? 8 : 4;
    // Header, version and flags, entry count: 16 bytes before the entries.
    if (atomSize < 16 || atomSize > size - start ||
        uint64_t(be32(moov + start + 12)) > (atomSize - 16) / entrySize) {
      brlog(kTag, BRLOG_INFO, " bad atom size\n");
      return 1;
    }
    const uint32_t count = be32(moov + start + 12);
    uint8_t *entry = moov + start + 16;
    for (uint32_t j = 0; j < count; ++j, entry += entrySize) {
      if (wide)
        putBe64(entry, be64(entry) + delta);
      else
        putBe32(entry, uint32_t(be32(entry) + delta));
    }
    i = start + atomSize;
  }
  return 0;
}

int hbfaststart__rewrite(const char *inPath, const char *outPath, bool *written) {
  if (written) *written = false;
  File in(std::fopen(inPath, "rb"));
  if (!in) {
    logIoError(inPath, nullptr);
    return 1;
  }
  struct stat st;
  if (::fstat(::fileno(in.get()), &st) != 0) {
    logIoError(inPath, nullptr);
    return 1;
  }
  const uint64_t fileSize = uint64_t(st.st_size);

  std::vector<uint8_t> ftyp;
  uint64_t restStart = 0;  // the remaining data begins after a leading ftyp
  uint32_t lastType = 0;
  uint64_t lastPos = 0, lastSize = 0, lastHeader = 8;
  uint64_t pos = 0;
  while (fileSize - pos >= 8) {
    uint8_t hdr[16];
    if (::fseeko(in.get(), off_t(pos), SEEK_SET) != 0 || !readAll(in.get(), hdr, 8)) break;
    uint64_t size = be32(hdr);
    const uint32_t type = be32(hdr + 4);
    if (!isTopLevel(type)) {
      brlog(kTag, BRLOG_INFO, "encountered non-QT top-level atom (is this a Quicktime file?)\n");
      lastType = type;
      break;
    }
    uint64_t header = 8;
    if (size == 1) {
      if (!readAll(in.get(), hdr + 8, 8)) break;
      size = be64(hdr + 8);
      header = 16;
    }
    if (size < header) {
      brlog(kTag, BRLOG_INFO, "INVALID ATOM SIZE: %llu\n", (unsigned long long)size);
      return 1;
    }
    // Only a leading ftyp is moved to the front; one further in stays with the rest, so the
    // media keeps its distance from the index.
    if (type == kFtyp && pos == 0) {
      if (size > fileSize) {
        brlog(kTag, BRLOG_INFO, "%s: %s\n", inPath, "unexpected end of file");
        return 1;
      }
      if (!allocate(&ftyp, size)) {
        brlog(kTag, BRLOG_INFO, "could not allocate 0x%llX byte for ftyp atom\n",
              (unsigned long long)size);
        return 1;
      }
      std::memcpy(ftyp.data(), hdr, size_t(header));
      if (!readAll(in.get(), ftyp.data() + header, size_t(size - header))) {
        logIoError(inPath, in.get());
        return 1;
      }
      restStart = size;
    }
    lastType = type;
    lastPos = pos;
    lastSize = size;
    lastHeader = header;
    if (size > fileSize - pos) break;
    pos += size;
  }

  if (lastType != kMoov) {
    brlog(kTag, BRLOG_INFO, "last atom in file was not a moov atom\n");
    return 0;
  }
  if (lastSize > fileSize - lastPos) {
    brlog(kTag, BRLOG_INFO, "%s: %s\n", inPath, "unexpected end of file");
    return 1;
  }
  std::vector<uint8_t> moov;
  if (!allocate(&moov, lastSize)) {
    brlog(kTag, BRLOG_INFO, "could not allocate 0x%llX byte for moov atom\n",
          (unsigned long long)lastSize);
    return 1;
  }
  if (::fseeko(in.get(), off_t(lastPos), SEEK_SET) != 0 ||
      !readAll(in.get(), moov.data(), moov.size())) {
    logIoError(inPath, in.get());
    return 1;
  }
  if (lastSize >= lastHeader + 8 && be32(moov.data() + lastHeader + 4) == kCmov) {
    brlog(kTag, BRLOG_INFO, "this utility does not support compressed moov atoms yet\n");
    return 1;
  }
  if (hbfaststart__patchIndex(moov.data(), moov.size(), lastSize) != 0) return 1;

  in.reset(std::fopen(inPath, "rb"));
  if (!in || ::fseeko(in.get(), off_t(restStart), SEEK_SET) != 0) {
    logIoError(inPath, in.get());
    return 1;
  }
  Output out(outPath);
  if (!out.open()) {
    logIoError(outPath, nullptr);
    return 1;
  }
  if (!ftyp.empty()) {
    brlog(kTag, BRLOG_INFO, " writing ftyp atom...\n");
    if (!out.write(ftyp.data(), ftyp.size())) {
      logIoError(outPath, nullptr);
      return 1;
    }
  }
  brlog(kTag, BRLOG_INFO, " writing moov atom...\n");
  if (!out.write(moov.data(), moov.size())) {
    logIoError(outPath, nullptr);
    return 1;
  }
  brlog(kTag, BRLOG_INFO, " copying rest of file...\n");
  uint8_t buf[1024];
  for (uint64_t left = lastPos - restStart; left > 0;) {
    const size_t n = left < sizeof buf ? size_t(left) : sizeof buf;
    if (!readAll(in.get(), buf, n)) {
      logIoError(inPath, in.get());
      return 1;
    }
    if (!out.write(buf, n)) {
      logIoError(outPath, nullptr);
      return 1;
    }
    left -= n;
  }
  in.reset();
  if (!out.finish()) {
    logIoError(outPath, nullptr);
    return 1;
  }
  if (written) *written = true;
  return 0;
}
