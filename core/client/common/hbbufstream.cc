// HBBufStream: buffered reading of text lines from an inner stream.
#include <cstring>
#include <new>
#include <vector>

#include "brlog.h"
#include "hbstream.h"

namespace {

class HBBufStream final : public HBObject<HBBufStream, IHBBufStream> {
 public:
  HBBufStream(IHBStream *inner, int32_t size)
      : m_inner(HBRef<IHBStream>::retain(inner)), m_buf(static_cast<size_t>(size)) {}

  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }

  int32_t read(void *buffer, int32_t length) override {
    if (length < 0 || (!buffer && length > 0)) return BR_EINVAL;
    if (m_start < m_end) {
      const size_t n = std::min(static_cast<size_t>(length), m_end - m_start);
      std::memcpy(buffer, m_buf.data() + m_start, n);
      m_start += n;
      return static_cast<int32_t>(n);
    }
    return m_inner ? m_inner->read(buffer, length) : BR_EBADSTATE;
  }
  int32_t write(const void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t, int32_t) override {
    brlog("BUFSTR", BRLOG_WARNING, "SEEKING NOT IMPLEMENTED!\n");
    return BR_EINVAL;
  }
  int32_t flush() override { return 0; }
  int32_t close() override { return m_inner ? m_inner->close() : 0; }

  int32_t readLine(char *buffer, int32_t size) override {
    if (!buffer || size < 2) return BR_EINVAL;
    const size_t limit = static_cast<size_t>(size - 1);
    // The tail of a line that was cut last time is dropped first.
    while (m_discarding) {
      const char *nl = findNewline();
      if (nl) {
        m_start = static_cast<size_t>(nl - m_buf.data()) + 1;
        m_discarding = false;
        break;
      }
      m_start = m_end = 0;
      const int32_t rc = fill();
      if (rc < 0) return rc;
      if (rc == 0) {
        m_discarding = false;
        buffer[0] = '\0';
        return 0;
      }
    }
    for (;;) {
      const char *nl = findNewline();
      if (nl) {
        const size_t len = static_cast<size_t>(nl - (m_buf.data() + m_start)) + 1;
        if (len > limit) return takeCut(buffer, limit);
        return take(buffer, len);
      }
      if (m_end - m_start >= limit) return takeCut(buffer, limit);
      if (m_start > 0) {
        std::memmove(m_buf.data(), m_buf.data() + m_start, m_end - m_start);
        m_end -= m_start;
        m_start = 0;
      }
      // A line may be as long as the caller's buffer allows, even past our default size.
      if (m_end == m_buf.size()) m_buf.resize(std::min(m_buf.size() * 2, limit + 1));
      const int32_t rc = fill();
      if (rc < 0) return rc;
      if (rc == 0) return take(buffer, m_end - m_start);  // last line without an end
    }
  }

 private:
  const char *findNewline() const {
    if (m_start >= m_end) return nullptr;
    return static_cast<const char *>(std::memchr(m_buf.data() + m_start, '\n', m_end - m_start));
  }

  // Reads more into the free end of the buffer: bytes read, 0 at the end, or a negative code.
  int32_t fill() {
    if (!m_inner) return BR_EBADSTATE;
    const size_t room = m_buf.size() - m_end;
    const int32_t rc = m_inner->read(m_buf.data() + m_end,
                                     room > INT32_MAX ? INT32_MAX : static_cast<int32_t>(room));
    if (rc > 0) m_end += static_cast<size_t>(rc > static_cast<int32_t>(room) ? room : rc);
    return rc;
  }

  int32_t take(char *buffer, size_t len) {
    std::memcpy(buffer, m_buf.data() + m_start, len);
    buffer[len] = '\0';
    m_start += len;
    return static_cast<int32_t>(len);
  }

  int32_t takeCut(char *buffer, size_t limit) {
    m_discarding = true;
    const int32_t n = take(buffer, limit);
    // The end of the line may already sit right here.
    if (m_start < m_end && m_buf[m_start] == '\n') {
      ++m_start;
      m_discarding = false;
    }
    return n;
  }

  HBRef<IHBStream> m_inner;
  std::vector<char> m_buf;
  size_t m_start = 0;
  size_t m_end = 0;
  bool m_discarding = false;
};

}  // namespace

int32_t HBBufStream__new(IHBBufStream **out, IHBStream *inner, int32_t bufferSize) {
  if (!out || !inner || bufferSize < 0) return BR_EINVAL;
  if (bufferSize == 0) bufferSize = 4096;
  *out = new (std::nothrow) HBBufStream(inner, bufferSize);
  return *out ? BR_OK : BR_ENOMEM;
}
