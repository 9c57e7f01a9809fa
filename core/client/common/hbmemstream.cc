// HBMemStream: a stream over a memory buffer, optionally growing or passing full buffers on to a
// downstream stream.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbstream.h"
#include "hbstream_int.h"

namespace {

using hbstream_detail::RetryBudget;

class HBMemStream final : public HBObject<HBMemStream, IHBMemStream> {
 public:
  HBMemStream(uint32_t flags, char *buffer, int32_t capacity, IHBStream *downstream)
      : m_flags(flags),
        m_buf(buffer),
        m_cap(capacity),
        m_growth(capacity),
        m_down(HBRef<IHBStream>::retain(downstream)) {}

  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    if (ifc == HBIFC_MEMSTREAM) return offer<IHBMemStream>(out);
    return BR_ENOENT;
  }

  int32_t read(void *buffer, int32_t length) override {
    if (!(m_flags & HBMEM_READ) || length < 0 || (!buffer && length > 0)) return BR_EINVAL;
    const int32_t avail = dataEnd() - m_rpos;
    if (avail <= 0) return 0;
    const int32_t n = length < avail ? length : avail;
    std::memcpy(buffer, m_buf + m_rpos, static_cast<size_t>(n));
    m_rpos += n;
    return n;
  }

  int32_t write(const void *buffer, int32_t length) override {
    if (!(m_flags & HBMEM_WRITE) || length < 0 || (!buffer && length > 0)) return BR_EINVAL;
    const char *data = static_cast<const char *>(buffer);
    if ((m_flags & HBMEM_PASSTHROUGH) && m_down &&
        (length == 0 || static_cast<int64_t>(m_wlen) + length > m_cap)) {
      const int32_t rc = flushBuffered();
      if (rc < 0) return rc;
      if (length > m_cap) {
        // Too big to buffer: straight through, with the same retry rule.
        int32_t off = 0;
        RetryBudget retry;
        while (off < length) {
          const int32_t n = m_down->write(data + off, length - off);
          if (n <= 0 && retry.again(n)) continue;
          if (n <= 0 || n > length - off) return off > 0 ? off : (n < 0 ? n : BR_EIO);
          retry.reset();
          off += n;
        }
        return length;
      }
    }
    if (static_cast<int64_t>(m_wlen) + length > m_cap && (m_flags & HBMEM_GROWABLE)) {
      const int32_t rc = grow(length);
      if (rc < 0) return rc;
    }
    const int32_t room = m_cap - m_wlen;
    if (room <= 0) return 0;
    const int32_t n = length < room ? length : room;
    std::memcpy(m_buf + m_wlen, data, static_cast<size_t>(n));
    m_wlen += n;
    return n;
  }

  int64_t seek(int64_t offset, int32_t whence) override {
    const bool rd = m_flags & HBMEM_READ, wr = m_flags & HBMEM_WRITE;
    if (!rd && !wr) return BR_EINVAL;
    int64_t base;
    switch (whence) {
      case HBSTREAM_SEEK_SET:
        base = 0;
        break;
      case HBSTREAM_SEEK_CUR:
        base = (wr && !rd) ? m_wlen : m_rpos;
        break;
      case HBSTREAM_SEEK_END:
        base = dataEnd();
        break;
      default:
        brlog("HBSTRM", BRLOG_WARNING, "Invalid whence: %d -- Setting to SEEK_SET\n", whence);
        base = 0;
        break;
    }
    const int64_t target = base + offset;
    if (target < 0 || target > INT32_MAX) return BR_EINVAL;
    if (rd && wr) {
      brlog("HBSTRM", BRLOG_VERBOSE,
            "Stream is read/write -- just seeking read pointer from %u to %lld at %d = %lld\n",
            static_cast<unsigned>(m_rpos), static_cast<long long>(offset), whence,
            static_cast<long long>(target));
      m_rpos = static_cast<int32_t>(target);
    } else if (wr) {
      if (reach(target) < 0) return BR_EINVAL;
      m_wlen = static_cast<int32_t>(target);
    } else {
      m_rpos = static_cast<int32_t>(target);
    }
    return target;
  }

  int32_t flush() override {
    if (!m_down) return 0;
    const int32_t rc = flushBuffered();
    const int32_t frc = m_down->flush();
    return rc < 0 ? rc : (frc < 0 ? frc : 0);
  }

  int32_t close() override { return 0; }

  int32_t readAt(void *buffer, int32_t length, int64_t position) override {
    if (!(m_flags & HBMEM_READ)) return BR_EINVAL;
    if (position < 0 || position > INT32_MAX) return BR_EINVAL;
    const int32_t saved = m_rpos;
    m_rpos = static_cast<int32_t>(position);
    const int32_t rc = read(buffer, length);
    m_rpos = saved;
    return rc;
  }

  // Writes at `position` itself and keeps every byte written: moving only the read pointer (a
  // read/write stream's seek) or seeking the write length back afterwards would drop data.
  int32_t writeAt(const void *buffer, int32_t length, int64_t position) override {
    if (!(m_flags & HBMEM_WRITE) || (m_flags & HBMEM_PASSTHROUGH)) return BR_EINVAL;
    if (position < 0 || position > INT32_MAX || reach(position) < 0) return BR_EINVAL;
    const int32_t saved = m_wlen;
    m_wlen = static_cast<int32_t>(position);
    const int32_t rc = write(buffer, length);
    m_wlen = m_wlen > saved ? m_wlen : saved;
    return rc;
  }

  int32_t getBuffer(void **buffer, int32_t *length) override {
    if (buffer) *buffer = m_buf;
    if (length) *length = (m_flags & HBMEM_WRITE) ? m_wlen : m_cap;
    return 0;
  }

  int32_t writeULongLong(unsigned long long value) override { return writeFmt("%llu", value); }
  int32_t writeLongLong(long long value) override { return writeFmt("%lld", value); }
  int32_t writeUInt(unsigned int value) override { return writeFmt("%u", value); }
  int32_t writeInt(int value) override { return writeFmt("%d", value); }
  int32_t writeString(const char *text) override {
    if (!text) text = "(null)";
    const size_t n = std::strlen(text);
    if (n > INT32_MAX) return BR_ERANGE;
    return write(text, static_cast<int32_t>(n));
  }

 protected:
  ~HBMemStream() override {
    if (m_down) {
      (void)flush();
      m_down.reset();
    }
    if (m_flags & HBMEM_OWNED) std::free(m_buf);
  }

 private:
  int32_t dataEnd() const { return (m_flags & HBMEM_WRITE) ? m_wlen : m_cap; }

  template <class T>
  int32_t writeFmt(const char *fmt, T value) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, fmt, value);
    return write(text, n);
  }

  // Writes the buffered bytes downstream; what could not be written stays buffered.
  int32_t flushBuffered() {
    int32_t off = 0;
    int32_t rc = 0;
    RetryBudget retry;
    while (off < m_wlen) {
      const int32_t n = m_down->write(m_buf + off, m_wlen - off);
      if (n <= 0 && retry.again(n)) continue;
      if (n <= 0 || n > m_wlen - off) {
        rc = n < 0 ? n : BR_EIO;
        break;
      }
      retry.reset();
      off += n;
    }
    if (off > 0) {
      std::memmove(m_buf, m_buf + off, static_cast<size_t>(m_wlen - off));
      m_wlen -= off;
      m_rpos = m_rpos > off ? m_rpos - off : 0;
    }
    return rc;
  }

  // The write length may move to `target` only inside the buffer: grows it when it may, else
  // -6. Data past the allocation would be read back by read, getBuffer and the flush.
  int32_t reach(int64_t target) {
    if (target <= m_cap) return 0;
    if (!(m_flags & HBMEM_GROWABLE)) return BR_EINVAL;
    return grow(static_cast<int32_t>(target - m_wlen)) < 0 ? BR_EINVAL : 0;
  }

  // Makes room for `length` more bytes at the write length. The step grows with the buffer so
  // that a long run of small writes stays linear.
  int32_t grow(int32_t length) {
    const int64_t step = m_growth > m_cap ? m_growth : m_cap;
    int64_t want = static_cast<int64_t>(m_wlen) + length + step;
    if (want > INT32_MAX) want = INT32_MAX;
    if (want < static_cast<int64_t>(m_wlen) + length) return BR_ENOMEM;
    const size_t newCap = static_cast<size_t>(want);
    char *p;
    if (m_flags & HBMEM_OWNED) {
      p = static_cast<char *>(std::realloc(m_buf, newCap));
      if (!p) return BR_ENOMEM;
    } else {
      // The caller's buffer: copy it into one of our own the first time.
      p = static_cast<char *>(std::malloc(newCap));
      if (!p) return BR_ENOMEM;
      if (m_cap > 0) std::memcpy(p, m_buf, static_cast<size_t>(m_cap));
      m_flags = (m_flags | HBMEM_OWNED) & ~HBMEM_CALLERBUF;
    }
    std::memset(p + m_cap, 0, newCap - static_cast<size_t>(m_cap));
    m_buf = p;
    m_cap = static_cast<int32_t>(want);
    return 0;
  }

  uint32_t m_flags;
  char *m_buf;
  int32_t m_cap;
  int32_t m_growth;
  int32_t m_rpos = 0;
  int32_t m_wlen = 0;
  HBRef<IHBStream> m_down;
};

}  // namespace

int32_t HBMemStream__new(IHBMemStream **out, uint32_t flags, void *buffer, int32_t capacity,
                         IHBStream *downstream) {
  if (!out || capacity < 0) return BR_EINVAL;
  if ((flags & HBMEM_PASSTHROUGH) && !downstream) return BR_EINVAL;
  char *buf = static_cast<char *>(buffer);
  if (flags & HBMEM_ALLOC) {
    buf = static_cast<char *>(std::calloc(capacity > 0 ? static_cast<size_t>(capacity) : 1, 1));
    if (!buf) return BR_ENOMEM;
    flags = (flags | HBMEM_OWNED) & ~HBMEM_CALLERBUF;
  } else if (!buf && capacity > 0) {
    return BR_EINVAL;
  }
  if (flags & HBMEM_CALLERBUF) flags &= ~HBMEM_OWNED;
  HBMemStream *s = new (std::nothrow) HBMemStream(flags, buf, capacity, downstream);
  if (!s) {
    if (flags & HBMEM_ALLOC) std::free(buf);
    return BR_ENOMEM;
  }
  *out = s;
  return BR_OK;
}

int32_t hbstream__newMem(IHBMemStream **out, int32_t capacity) {
  return HBMemStream__new(out, 0x70003, nullptr, capacity, nullptr);
}
