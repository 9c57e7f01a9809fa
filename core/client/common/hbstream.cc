// The copy loop, vector writes and the media-type wrapper shared by every stream.
#include "hbstream.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "brlog.h"
#include "brthread.h"
#include "hbstr.h"
#include "hbstream_int.h"

namespace hbstream_detail {

bool RetryBudget::again(int32_t rc) {
  if (rc != 0 && !isRetryable(rc)) return false;
  if (m_count >= kMaxRetries) return false;
  // The first retries are immediate: most "not yet" answers clear at once.
  if (m_count >= 2) {
    const int ms = m_count >= 6 ? 16 : 1 << (m_count - 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  ++m_count;
  return true;
}

void copyCut(char *buffer, int32_t size, const char *text) {
  if (!buffer || size <= 0) return;
  // Never half a character.
  const size_t n = brstr__cutUtf8(text, static_cast<size_t>(size - 1));
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
}

}  // namespace hbstream_detail

using hbstream_detail::RetryBudget;

namespace {

constexpr int32_t kSendBuffer = 128 * 1024;

}  // namespace

int64_t hbstream__sendTo(IHBStream *src, IHBStream *dst, int64_t size, HBStreamProgressFn progress,
                         void *user) {
  if (size == 0) return 0;
  if (!src || !dst) return BR_EINVAL;
  brlog("SENDTO", BRLOG_VERBOSE, "USING read/write loop to send %lld bytes\n",
        static_cast<long long>(size));
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kSendBuffer]);
  if (!buffer) return BR_ENOMEM;

  const int64_t start = brtime__ticks();
  int64_t sent = 0, totread = 0, readMs = 0, writeMs = 0;
  int32_t nreads = 0, nwrites = 0, failure = 0;
  RetryBudget readRetry, writeRetry;
  bool done = false;
  while (!done) {
    const int32_t want = (size < 0 || size - sent > kSendBuffer)
                             ? kSendBuffer
                             : static_cast<int32_t>(size - sent);
    int64_t t0 = brtime__ticks();
    int32_t got = src->read(buffer.get(), want);
    int64_t took = brtime__ticks() - t0;
    readMs += took;
    if (got == 0) break;
    if (got < 0 && readRetry.again(got)) continue;
    if (got > want) got = BR_ERANGE;  // a source that overruns our buffer cannot be trusted
    if (got < 0) {
      brlog("SENDTO", BRLOG_ERROR, "Failed to read src @ %lld in %lldms: %d %s\n",
            static_cast<long long>(sent), static_cast<long long>(took), got, brerror__name(got));
      failure = got;
      break;
    }
    readRetry.reset();
    ++nreads;
    totread += got;

    int32_t off = 0;
    while (off < got) {
      t0 = brtime__ticks();
      const int32_t put = dst->write(buffer.get() + off, got - off);
      took = brtime__ticks() - t0;
      writeMs += took;
      if (put <= 0 && writeRetry.again(put)) continue;
      if (put < 0 || put > got - off) {
        const int32_t rc = put < 0 ? put : BR_ERANGE;
        brlog("SENDTO", BRLOG_ERROR, "Failed to write dst @ %lld in %lldms: %d %s\n",
              static_cast<long long>(sent), static_cast<long long>(took), rc, brerror__name(rc));
        failure = rc;
        done = true;
        break;
      }
      if (put == 0) {
        // The destination made no progress for the whole retry budget.
        brlog("SENDTO", BRLOG_ERROR, "Failed to write dst @ %lld in %lldms: %d %s\n",
              static_cast<long long>(sent), static_cast<long long>(took), BR_EIO,
              brerror__name(BR_EIO));
        failure = BR_EIO;
        done = true;
        break;
      }
      writeRetry.reset();
      ++nwrites;
      off += put;
      sent += put;
      if (progress && progress(sent, user) != 0) {
        brlog("SENDTO", BRLOG_WARNING, "read/write loop break!\n");
        done = true;
        break;
      }
      if (size > 0 && sent >= size) {
        done = true;
        break;
      }
    }
  }

  if (brlog__enabled(BRLOG_VERBOSE)) {
    brlog("SENDTO", BRLOG_VERBOSE,
          "read/write loop sent %lld bytes in %lldms (%lldms reading, %lldms writing)\n",
          static_cast<long long>(sent), static_cast<long long>(brtime__ticks() - start),
          static_cast<long long>(readMs), static_cast<long long>(writeMs));
    brlog("SENDTO", BRLOG_VERBOSE, "    nreads:    %d\n", nreads);
    brlog("SENDTO", BRLOG_VERBOSE, "    nwrites:   %d\n", nwrites);
    brlog("SENDTO", BRLOG_VERBOSE, "    totread:   %lld\n", static_cast<long long>(totread));
    brlog("SENDTO", BRLOG_VERBOSE, "    totwrite:  %lld\n", static_cast<long long>(sent));
    if (nreads > 0 || nwrites > 0) {
      brlog("SENDTO", BRLOG_VERBOSE, "    avgreads:  %lld\n",
            static_cast<long long>(nreads ? totread / nreads : 0));
      brlog("SENDTO", BRLOG_VERBOSE, "    avgwrites: %lld\n",
            static_cast<long long>(nwrites ? sent / nwrites : 0));
    }
  }
  if (failure < 0 && sent == 0) return failure;
  return sent;
}

int32_t hbstream__writeAll(IHBStream *stream, const void *buffer, int32_t length) {
  if (!stream || length < 0 || (!buffer && length > 0)) return BR_EINVAL;
  const char *p = static_cast<const char *>(buffer);
  int32_t off = 0;
  RetryBudget retry;
  while (off < length) {
    const int32_t n = stream->write(p + off, length - off);
    if (n <= 0 && retry.again(n)) continue;
    if (n < 0) return n;
    if (n == 0 || n > length - off) return BR_EIO;
    retry.reset();
    off += n;
  }
  return length;
}

int32_t hbstream__writev(IHBStream *stream, const struct iovec *vectors, int count) {
  if (!stream || count < 0 || (!vectors && count > 0)) return BR_EINVAL;
  int64_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (vectors[i].iov_len > 0 && !vectors[i].iov_base) return BR_EINVAL;
    total += static_cast<int64_t>(vectors[i].iov_len);
    if (total > INT32_MAX) total = INT32_MAX + int64_t{1};  // only "large" matters from here
  }
  if (total == 0) return 0;

  if (total <= 4096) {
    char buf[4096];
    size_t pos = 0;
    for (int i = 0; i < count; ++i) {
      if (vectors[i].iov_len == 0) continue;
      std::memcpy(buf + pos, vectors[i].iov_base, vectors[i].iov_len);
      pos += vectors[i].iov_len;
    }
    brlog("WRITEV", BRLOG_DEBUG3, "Collating into single buffer to call send on...\n");
    brlog("WRITEV", BRLOG_DEBUG3, "Calling Send on Collated - Length %d:\n", static_cast<int>(pos));
    brstr__hexdump("WRITEV", BRLOG_DEBUG3, buf, static_cast<int32_t>(pos));
    const int32_t rc = stream->write(buf, static_cast<int32_t>(pos));
    if (rc < 0) brlog("BRSOCK", BRLOG_ERROR, "Stream write failed: %d!\n", rc);
    return rc;
  }

  brlog("WRITEV", BRLOG_DEBUG3, "Calling str->write on each individual buffer...\n");
  int32_t written = 0;
  for (int i = 0; i < count; ++i) {
    const size_t len = vectors[i].iov_len;
    if (len == 0) continue;
    if (len > static_cast<size_t>(INT32_MAX - written)) return written;  // result must fit
    const int32_t want = static_cast<int32_t>(len);
    brlog("WRITEV", BRLOG_DEBUG3, "Calling str->write on VECTOR[%d] - Length %d:\n", i, want);
    brstr__hexdump("WRITEV", BRLOG_DEBUG3, vectors[i].iov_base, want);
    const int32_t rc = stream->write(vectors[i].iov_base, want);
    if (rc < 0) {
      brlog("BRSOCK", BRLOG_ERROR, "Stream write failed: %d!\n", rc);
      return written > 0 ? written : rc;
    }
    if (rc != want) {
      brlog("WRITEV", BRLOG_VERBOSE, "Short write in simulated writev (%d): %d != %d\n", i, rc,
            want);
      return written + (rc < want ? rc : want);
    }
    written += rc;
  }
  return written;
}

int32_t hbstream__getPath(IHBStream *stream, char *buffer, int32_t size) {
  IHBFileStream *file = dynamic_cast<IHBFileStream *>(stream);
  if (!file) return BR_ENOENT;
  return file->getPath(buffer, size);
}

// ---- HBStreamWithMimeType ----

namespace {

class HBStreamWithMimeType final
    : public HBObject<HBStreamWithMimeType, IHBStream, IHBObjWithMimeType> {
 public:
  HBStreamWithMimeType(IHBStream *inner, const char *mimeType)
      : m_inner(HBRef<IHBStream>::retain(inner)), m_mimeType(mimeType ? mimeType : "") {}

  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    if (ifc == HBIFC_OBJWITHMIMETYPE) return offer<IHBObjWithMimeType>(out);
    return BR_ENOENT;
  }

  int32_t read(void *buffer, int32_t length) override {
    return m_inner ? m_inner->read(buffer, length) : BR_EBADSTATE;
  }
  int32_t write(const void *buffer, int32_t length) override {
    return m_inner ? m_inner->write(buffer, length) : BR_EBADSTATE;
  }
  int64_t seek(int64_t offset, int32_t whence) override {
    return m_inner ? m_inner->seek(offset, whence) : int64_t{BR_EBADSTATE};
  }
  int32_t flush() override { return m_inner ? m_inner->flush() : 0; }
  int32_t close() override {
    if (m_inner) {
      (void)m_inner->close();
      m_inner.reset();
    }
    return BR_EHANDLED;
  }
  int64_t sendTo(IHBStream *destination, int64_t size) override {
    return m_inner ? m_inner->sendTo(destination, size) : int64_t{BR_EBADSTATE};
  }

  const char *getMimeType() override { return m_mimeType.c_str(); }

 private:
  HBRef<IHBStream> m_inner;
  std::string m_mimeType;
};

}  // namespace

int32_t HBStreamWithMimeType__new(IHBStream **out, IHBStream *inner, const char *mimeType) {
  if (!out || !inner) return BR_EINVAL;
  *out = new (std::nothrow) HBStreamWithMimeType(inner, mimeType);
  return *out ? BR_OK : BR_ENOMEM;
}
