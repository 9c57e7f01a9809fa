// What the picture decoders share: recognising a format, reducing rows while reading, fitting the
// box, random access to a stream, and the EXIF orientation of a TIFF-structured block.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hbimg_int.h"
#include "hbstream_int.h"

namespace hbimg_detail {

namespace {

bool isBrand(const uint8_t *p, const char *const *brands) {
  for (const char *const *b = brands; *b; ++b)
    if (std::memcmp(p, *b, 4) == 0) return true;
  return false;
}

}  // namespace

Kind sniff(const uint8_t *h, int32_t n) {
  auto at = [&](int32_t off, const char *text, int32_t len) {
    return n >= off + len && std::memcmp(h + off, text, static_cast<size_t>(len)) == 0;
  };
  if (n >= 2 && h[0] == 0xFF && h[1] == 0xD8) return KIND_JPEG;
  if (n >= 4 && std::memcmp(h + 1, "PNG", 3) == 0) return KIND_PNG;
  if (at(0, "GIF87a", 6) || at(0, "GIF89a", 6)) return KIND_GIF;
  if (at(0, "RIFF", 4) && at(8, "WEBP", 4)) return KIND_WEBP;
  if (at(4, "ftyp", 4) && n >= 16) {
    static const char *const kRaw[] = {"crx ", nullptr};
    static const char *const kHeif[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1",
                                        "msf1", "avif", "avis", "heif", "mif2", nullptr};
    if (isBrand(h + 8, kRaw)) return KIND_RAW;
    // The major brand, then the compatible brands in the box (as far as the head holds them).
    const uint32_t box = uint32_t(h[0]) << 24 | uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
    const int32_t end = static_cast<int32_t>(std::min<uint32_t>(box, static_cast<uint32_t>(n)));
    if (isBrand(h + 8, kHeif)) return KIND_HEIF;
    for (int32_t i = 16; i + 4 <= end; i += 4)
      if (isBrand(h + i, kHeif)) return KIND_HEIF;
    return KIND_UNKNOWN;
  }
  if (at(0, "II*\0", 4) || at(0, "MM\0*", 4) || at(0, "II+\0", 4) || at(0, "MM\0+", 4))
    return KIND_TIFF;
  if (at(0, "IIRO", 4) || at(0, "IIRS", 4) || at(0, "MMOR", 4) || at(0, "IIU\0", 4) ||
      at(0, "FUJIFILM", 8) || at(0, "\0MRM", 4) || at(0, "FOVb", 4) || at(6, "HEAPCCDR", 8))
    return KIND_RAW;
  if (at(0, "BM", 2) && n >= 18) {
    const uint32_t dib = h[14] | uint32_t(h[15]) << 8 | uint32_t(h[16]) << 16 | uint32_t(h[17]) << 24;
    if (dib == 12 || dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 || dib == 124)
      return KIND_BMP;
  }
  return KIND_UNKNOWN;
}

int32_t exifOrientation(const uint8_t *tiff, size_t size) {
  if (!tiff || size < 8) return 0;
  const bool le = tiff[0] == 'I' && tiff[1] == 'I';
  if (!le && !(tiff[0] == 'M' && tiff[1] == 'M')) return 0;
  auto u16 = [&](size_t at) -> uint32_t {
    return le ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1];
  };
  auto u32 = [&](size_t at) { return le ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2); };
  const size_t ifd = u32(4);
  if (ifd > size - 2) return 0;
  const size_t count = u16(ifd);
  for (size_t i = 0; i < count && ifd + 2 + i * 12 + 12 <= size; ++i) {
    const size_t e = ifd + 2 + i * 12;
    if (u16(e) == 0x0112 && u16(e + 2) == 3) {
      const uint32_t v = u16(e + 8);
      return v >= 1 && v <= 8 ? static_cast<int32_t>(v) : 0;
    }
  }
  return 0;
}

int32_t reduceDivisor(int64_t width, int64_t height, const HBImgDecodeOptions &options) {
  if (width <= 0 || height <= 0) return 1;
  int64_t d = 1;
  if ((options.flags & HBIMG_DECODE_FIT) && options.boxWidth > 0 && options.boxHeight > 0)
    d = std::max<int64_t>(1, std::max(width / options.boxWidth, height / options.boxHeight));
  auto pixels = [&](int64_t div) { return ((width + div - 1) / div) * ((height + div - 1) / div); };
  while (pixels(d) > HBIMG_MAX_PIXELS) ++d;
  return static_cast<int32_t>(std::min<int64_t>(d, INT32_MAX));
}

int64_t outputBytes(int64_t width, int64_t height, const HBImgDecodeOptions &options) {
  const int64_t d = reduceDivisor(width, height, options);
  const int64_t reduced = ((width + d - 1) / d) * ((height + d - 1) / d) * 3;
  return reduced + int64_t{options.boxWidth > 0 ? options.boxWidth : 0} *
                       (options.boxHeight > 0 ? options.boxHeight : 0) * 3;
}

int32_t fitToBox(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
  if (!(options.flags & HBIMG_DECODE_FIT) || options.boxWidth <= 0 || options.boxHeight <= 0)
    return BR_OK;
  if (img->width() <= options.boxWidth && img->height() <= options.boxHeight) return BR_OK;
  // The side that limits the fit takes the box's size, the other its share, rounded.
  const int64_t w = img->width(), h = img->height();
  int64_t rw = options.boxWidth, rh = options.boxHeight;
  if (w * options.boxHeight >= h * options.boxWidth)
    rh = std::max<int64_t>(1, (h * options.boxWidth + w / 2) / w);
  else
    rw = std::max<int64_t>(1, (w * options.boxHeight + h / 2) / h);
  HBRef<HBImg> fitted;
  const int32_t rc = resample(fitted.out(), img.get(), 0, 0, img->width(), img->height(),
                              static_cast<int32_t>(rw), static_cast<int32_t>(rh));
  if (rc < 0) return rc;
  fitted->setExifOrientation(img->exifOrientation());
  if (img->profile() && fitted->setProfile(img->profile(), img->profileLength()) < 0)
    return BR_ENOMEM;
  img = std::move(fitted);
  return BR_OK;
}

RowReducer::~RowReducer() {
  std::free(m_sums);
}

int32_t RowReducer::begin(int32_t width, int32_t height, int32_t divisor) {
  if (width <= 0 || height <= 0 || divisor <= 0) return BR_EINVAL;
  m_width = width;
  m_height = height;
  m_divisor = divisor;
  const int32_t w = static_cast<int32_t>((int64_t{width} + divisor - 1) / divisor);
  const int32_t h = static_cast<int32_t>((int64_t{height} + divisor - 1) / divisor);
  if (int64_t{w} * h > HBIMG_MAX_PIXELS) return BR_ENOSPC;
  int32_t rc = HBImg::create(m_img.out(), w, h, 24);
  if (rc < 0) return rc;
  if (divisor > 1) {
    m_sums = static_cast<uint64_t *>(std::calloc(static_cast<size_t>(w) * 3, sizeof(uint64_t)));
    if (!m_sums) return BR_ENOMEM;
  }
  return BR_OK;
}

void RowReducer::addRow(int32_t y, const uint8_t *rgb) {
  if (!m_img || y < 0 || y >= m_height) return;
  if (m_divisor == 1) {
    std::memcpy(m_img->row(y), rgb, static_cast<size_t>(m_width) * 3);
    return;
  }
  const int32_t band = y / m_divisor;
  if (band != m_band) {
    flush();
    m_band = band;
  }
  uint64_t *s = m_sums;
  for (int32_t x = 0; x < m_width; x += m_divisor, s += 3) {
    const int32_t n = std::min(m_divisor, m_width - x);
    uint64_t r = 0, g = 0, b = 0;
    for (const uint8_t *p = rgb + static_cast<size_t>(x) * 3, *e = p + n * 3; p < e; p += 3)
      r += p[0], g += p[1], b += p[2];
    s[0] += r, s[1] += g, s[2] += b;
  }
  ++m_rows;
}

void RowReducer::flush() {
  if (m_band < 0 || m_rows == 0) return;
  uint64_t *s = m_sums;
  uint8_t *out = m_img->row(m_band);
  for (int32_t x = 0; x < m_width; x += m_divisor, s += 3, out += 3) {
    const uint64_t count = uint64_t(std::min(m_divisor, m_width - x)) * uint64_t(m_rows);
    for (int c = 0; c < 3; ++c) {
      out[c] = static_cast<uint8_t>((s[c] + count / 2) / count);
      s[c] = 0;
    }
  }
  m_rows = 0;
  m_band = -1;
}

int32_t RowReducer::finish(HBRef<HBImg> *out) {
  if (!m_img) return BR_EBADSTATE;
  if (m_divisor > 1) flush();
  *out = std::move(m_img);
  return BR_OK;
}

RandomSource::~RandomSource() {
  std::free(m_held);
}

int32_t RandomSource::open(const uint8_t *head, int32_t headLength, IHBStream *stream) {
  m_stream = stream;
  const int64_t pos = stream->seek(0, HBSTREAM_SEEK_CUR);
  if (pos >= headLength) {
    const int64_t end = stream->seek(0, HBSTREAM_SEEK_END);
    if (end >= pos) {
      m_base = pos - headLength;
      m_size = end - m_base;
      return BR_OK;
    }
    if (stream->seek(pos, HBSTREAM_SEEK_SET) != pos) return BR_EIO;
  }
  // No seeking: the head and the rest of the stream, held.
  int64_t capacity = std::max<int64_t>(headLength, 65536);
  m_held = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(capacity)));
  if (!m_held) return BR_ENOMEM;
  if (headLength > 0) std::memcpy(m_held, head, static_cast<size_t>(headLength));
  m_size = headLength;
  hbstream_detail::RetryBudget retry;
  for (;;) {
    if (m_size == capacity) {
      if (capacity >= kMaxHeldBytes) return BR_ENOSPC;
      capacity = std::min(capacity * 2, kMaxHeldBytes);
      uint8_t *grown = static_cast<uint8_t *>(std::realloc(m_held, static_cast<size_t>(capacity)));
      if (!grown) return BR_ENOMEM;
      m_held = grown;
    }
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(capacity - m_size, 1 << 20));
    const int32_t n = stream->read(m_held + m_size, want);
    if (n < 0 && retry.again(n)) continue;
    if (n < 0) return n;
    if (n == 0) break;
    retry.reset();
    m_size += n;
  }
  return BR_OK;
}

int64_t RandomSource::readAt(void *buffer, int64_t length, int64_t position) {
  if (position < 0 || length < 0) return -1;
  if (position >= m_size) return 0;
  length = std::min(length, m_size - position);
  // Libraries ask for nothing, sometimes into no buffer at all.
  if (length == 0) return 0;
  if (!buffer) return -1;
  if (m_held) {
    std::memcpy(buffer, m_held + position, static_cast<size_t>(length));
    return length;
  }
  if (!m_stream || m_stream->seek(m_base + position, HBSTREAM_SEEK_SET) != m_base + position)
    return -1;
  int64_t got = 0;
  hbstream_detail::RetryBudget retry;
  while (got < length) {
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(length - got, 1 << 30));
    const int32_t n = m_stream->read(static_cast<uint8_t *>(buffer) + got, want);
    if (n < 0 && retry.again(n)) continue;
    if (n < 0) {
      m_error = n;
      return -1;
    }
    if (n == 0) break;
    retry.reset();
    got += n;
  }
  return got;
}

const uint8_t *RandomSource::all(int32_t *rc) {
  *rc = BR_OK;
  if (m_held) return m_held;
  if (m_size > kMaxHeldBytes) {
    *rc = BR_ENOSPC;
    return nullptr;
  }
  uint8_t *data = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(std::max<int64_t>(m_size, 1))));
  if (!data) {
    *rc = BR_ENOMEM;
    return nullptr;
  }
  if (readAt(data, m_size, 0) != m_size) {
    std::free(data);
    *rc = m_error < 0 ? m_error : BR_EUNSPEC;
    return nullptr;
  }
  m_held = data;
  return m_held;
}

}  // namespace hbimg_detail
