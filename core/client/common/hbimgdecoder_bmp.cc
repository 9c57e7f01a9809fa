// HBImageDecoderBMP: Windows bitmaps, read straight from the stream by a small reader (no
// well-kept library for them is at hand). Uncompressed 1, 4, 8, 16, 24 and 32 bits a pixel
// (16 and 32 with or without bit-field masks), RLE8 and RLE4, bottom-up and top-down; rows are
// reduced as they come, so nothing of full size is held. Every size is checked before use: a
// header is believed only as far as its numbers fit the pixel limits.
#include <algorithm>
#include <cstring>
#include <vector>

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_int.h"
#include "hbstream_int.h"

namespace {

const char kTag[] = "IMGBMP";

enum : uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kAlphaBitfields = 6 };

// The bytes already read, then the stream, in order.
class Reader {
 public:
  void start(const uint8_t *head, int32_t length, IHBStream *stream) {
    m_head.assign(head, head + length);
    m_pos = 0;
    m_stream = stream;
  }
  void setStream(IHBStream *stream) { m_stream = stream; }
  int32_t error() const { return m_error; }
  int64_t offset() const { return m_offset; }
  // Exactly `length` bytes, or false.
  bool read(uint8_t *out, size_t length) {
    while (length > 0 && m_pos < m_head.size()) {
      const size_t n = std::min(length, m_head.size() - m_pos);
      std::memcpy(out, m_head.data() + m_pos, n);
      m_pos += n, out += n, length -= n, m_offset += static_cast<int64_t>(n);
    }
    hbstream_detail::RetryBudget retry;
    while (length > 0) {
      if (!m_stream) return false;
      const int32_t want = static_cast<int32_t>(std::min<size_t>(length, 1 << 20));
      const int32_t n = m_stream->read(out, want);
      if (n < 0 && retry.again(n)) continue;
      if (n < 0) m_error = n;
      if (n <= 0) return false;
      retry.reset();
      out += n, length -= static_cast<size_t>(n), m_offset += n;
    }
    return true;
  }
  bool skip(int64_t length) {
    uint8_t buffer[4096];
    while (length > 0) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(length, sizeof buffer));
      if (!read(buffer, n)) return false;
      length -= static_cast<int64_t>(n);
    }
    return true;
  }

 private:
  std::vector<uint8_t> m_head;
  size_t m_pos = 0;
  IHBStream *m_stream = nullptr;
  int64_t m_offset = 0;
  int32_t m_error = 0;
};

uint32_t le32(const uint8_t *p) {
  return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint32_t le16(const uint8_t *p) {
  return p[0] | uint32_t(p[1]) << 8;
}

// One channel of a bit-field pixel: its mask's position and width, scaled to 8 bits.
struct Field {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t max = 0;
  void set(uint32_t m) {
    mask = m;
    shift = 0;
    max = 0;
    if (!m) return;
    while (!(m & 1)) m >>= 1, ++shift;
    max = m;
  }
  uint8_t of(uint32_t px) const {
    if (!max) return 0;
    return static_cast<uint8_t>(uint64_t((px & mask) >> shift) * 255 / max);
  }
};

class HBImageDecoderBMP final : public hbimg_detail::DecoderObject<HBImageDecoderBMP> {
 public:
  int32_t readHeader(const HBImgDecodeOptions &, const uint8_t *head, int32_t headLength,
                     IHBStream *stream, int32_t *width, int32_t *height) override {
    if (m_headerRead || !stream || headLength < 0 || (!head && headLength > 0)) return BR_EINVAL;
    m_in.start(head, headLength, stream);
    const int32_t rc = parse();
    m_in.setStream(nullptr);
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "Bad bitmap header\n");
      return rc;
    }
    m_headerRead = true;
    if (width) *width = m_width;
    if (height) *height = m_height;
    return BR_OK;
  }

  int64_t decodeBytes(const HBImgDecodeOptions &options) override {
    if (!m_headerRead) return 0;
    return hbimg_detail::outputBytes(m_width, m_height, options) + int64_t{m_width} * 8;
  }

  int32_t decode(HBImg **out, const HBImgDecodeOptions &options, IHBStream *stream) override {
    if (!out || !stream) return BR_EINVAL;
    if (!m_headerRead) return BR_EBADSTATE;
    m_headerRead = false;
    m_in.setStream(stream);
    HBRef<HBImg> img;
    int32_t rc = decodeInto(img, options);
    m_in.setStream(nullptr);
    if (rc < 0) {
      if (rc == BR_EUNSPEC && m_in.error() < 0) rc = m_in.error();
      brlog(kTag, BRLOG_ERROR, "FAILED DECODING: %d\n", rc);
      return rc;
    }
    *out = img.detach();
    return BR_OK;
  }

 private:
  friend class HBObject<HBImageDecoderBMP, IHBImgDecoder>;
  ~HBImageDecoderBMP() override = default;

  int32_t failure() const { return m_in.error() < 0 ? m_in.error() : BR_EUNSPEC; }

  int32_t parse() {
    uint8_t h[14 + 124 + 12];
    if (!m_in.read(h, 18)) return failure();
    const uint32_t dataAt = le32(h + 10), dib = le32(h + 14);
    if (dib < 12 || dib > 124 || !m_in.read(h + 18, dib - 4)) return failure();
    const uint8_t *d = h + 14;
    int64_t w, hh;
    uint32_t clrUsed = 0;
    if (dib == 12) {
      w = le16(d + 4), hh = le16(d + 6), m_bpp = le16(d + 10), m_compression = kRgb;
    } else {
      if (dib < 40) return BR_EUNSPEC;
      w = static_cast<int32_t>(le32(d + 4)), hh = static_cast<int32_t>(le32(d + 8));
      m_bpp = le16(d + 14), m_compression = le32(d + 16), clrUsed = le32(d + 32);
    }
    m_topDown = hh < 0;
    if (hh < 0) hh = -hh;
    if (w <= 0 || hh <= 0) return BR_EUNSPEC;
    if (w * hh > hbimg_detail::kMaxInputPixels) {
      brlog(kTag, BRLOG_ERROR, "Image too large to decode: %lld x %lld\n",
            static_cast<long long>(w), static_cast<long long>(hh));
      return BR_ENOSPC;
    }
    m_width = static_cast<int32_t>(w), m_height = static_cast<int32_t>(hh);
    const bool rle = m_compression == kRle8 || m_compression == kRle4;
    const bool fields = m_compression == kBitfields || m_compression == kAlphaBitfields;
    if ((m_compression == kRle8 && m_bpp != 8) || (m_compression == kRle4 && m_bpp != 4) ||
        (rle && m_topDown) || (fields && m_bpp != 16 && m_bpp != 32) ||
        (!rle && !fields && m_compression != kRgb) ||
        (m_bpp != 1 && m_bpp != 4 && m_bpp != 8 && m_bpp != 16 && m_bpp != 24 && m_bpp != 32)) {
      brlog(kTag, BRLOG_ERROR, "Unsupported bitmap: %u bits, compression %u\n", m_bpp,
            m_compression);
      return BR_EUNSUPPORTED;
    }
    // Masks: in the header from version 2 on, else just after a 40-byte header.
    uint32_t masks[3] = {0, 0, 0};
    if (fields) {
      if (dib == 40) {
        if (!m_in.read(h + 14 + 40, 12)) return failure();
        d = h + 14;
      }
      masks[0] = le32(d + 40), masks[1] = le32(d + 44), masks[2] = le32(d + 48);
    } else if (m_bpp == 16) {
      masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else if (m_bpp == 32) {
      masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    }
    for (int i = 0; i < 3; ++i) m_fields[i].set(masks[i]);
    if (m_bpp <= 8) {
      const uint32_t entries = clrUsed && clrUsed < (1u << m_bpp) ? clrUsed : 1u << m_bpp;
      const size_t each = dib == 12 ? 3 : 4;
      // The palette may be cut short by where the pixels begin.
      const int64_t room = static_cast<int64_t>(dataAt) - m_in.offset();
      const uint32_t n = static_cast<uint32_t>(
          std::clamp<int64_t>(room / static_cast<int64_t>(each), 0, entries));
      std::vector<uint8_t> raw(n * each);
      if (n && !m_in.read(raw.data(), raw.size())) return failure();
      std::memset(m_palette, 0, sizeof m_palette);
      for (uint32_t i = 0; i < n; ++i) {
        m_palette[i * 3] = raw[i * each + 2];
        m_palette[i * 3 + 1] = raw[i * each + 1];
        m_palette[i * 3 + 2] = raw[i * each];
      }
    }
    if (dataAt < m_in.offset()) return BR_EUNSPEC;
    if (!m_in.skip(dataAt - m_in.offset())) return failure();
    return BR_OK;
  }

  int32_t decodeInto(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    hbimg_detail::RowReducer reducer;
    int32_t rc =
        reducer.begin(m_width, m_height, hbimg_detail::reduceDivisor(m_width, m_height, options));
    if (rc < 0) return rc;
    const int32_t w = m_width, h = m_height;
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * 3);
    auto rowAt = [&](int32_t i) { return m_topDown ? i : h - 1 - i; };
    if (m_compression == kRle8 || m_compression == kRle4) {
      rc = rle(reducer, rgb);
      if (rc < 0) return rc;
    } else {
      const size_t stride = ((static_cast<size_t>(w) * m_bpp + 31) / 32) * 4;
      std::vector<uint8_t> line(stride);
      for (int32_t i = 0; i < h; ++i) {
        if (!m_in.read(line.data(), stride)) {
          brlog(kTag, BRLOG_ERROR, "Bitmap cut short at row %d of %d\n", i, h);
          return failure();
        }
        uint8_t *o = rgb.data();
        const uint8_t *p = line.data();
        for (int32_t x = 0; x < w; ++x, o += 3) {
          uint32_t v;
          switch (m_bpp) {
            case 24:
              o[0] = p[x * 3 + 2], o[1] = p[x * 3 + 1], o[2] = p[x * 3];
              continue;
            case 32:
              v = le32(p + x * 4);
              break;
            case 16:
              v = le16(p + x * 2);
              break;
            default: {
              const int per = 8 / m_bpp, shift = 8 - m_bpp * (x % per + 1);
              const uint32_t index = (p[x / per] >> shift) & ((1u << m_bpp) - 1);
              std::memcpy(o, &m_palette[index * 3], 3);
              continue;
            }
          }
          o[0] = m_fields[0].of(v), o[1] = m_fields[1].of(v), o[2] = m_fields[2].of(v);
        }
        reducer.addRow(rowAt(i), rgb.data());
      }
    }
    rc = reducer.finish(&img);
    if (rc < 0) return rc;
    return hbimg_detail::fitToBox(img, options);
  }

  // Run-length coded rows, bottom-up; pixels the codes skip stay black.
  int32_t rle(hbimg_detail::RowReducer &reducer, std::vector<uint8_t> &rgb) {
    const int32_t w = m_width, h = m_height;
    const bool four = m_compression == kRle4;
    int32_t x = 0, y = 0;
    std::fill(rgb.begin(), rgb.end(), 0);
    auto put = [&](uint32_t index) {
      if (x < w) std::memcpy(&rgb[static_cast<size_t>(x) * 3], &m_palette[index * 3], 3);
      ++x;
    };
    auto endRow = [&]() {
      if (y < h) reducer.addRow(h - 1 - y, rgb.data());
      std::fill(rgb.begin(), rgb.end(), 0);
      ++y;
    };
    uint8_t pair[2], data[256];
    while (y < h) {
      if (!m_in.read(pair, 2)) {
        brlog(kTag, BRLOG_ERROR, "Bitmap cut short at row %d of %d\n", y, h);
        return failure();
      }
      if (pair[0] > 0) {
        for (int i = 0; i < pair[0]; ++i) put(four ? (i & 1 ? pair[1] & 15 : pair[1] >> 4) : pair[1]);
      } else if (pair[1] == 0) {
        endRow();
        x = 0;
      } else if (pair[1] == 1) {
        break;
      } else if (pair[1] == 2) {
        if (!m_in.read(data, 2)) return failure();
        x += data[0];
        for (int i = 0; i < data[1] && y < h; ++i) endRow();
      } else {
        const int n = pair[1];
        const size_t bytes = four ? (n + 1) / 2 : n;
        if (!m_in.read(data, bytes + (bytes & 1))) return failure();
        for (int i = 0; i < n; ++i) put(four ? (i & 1 ? data[i / 2] & 15 : data[i / 2] >> 4) : data[i]);
      }
    }
    while (y < h) endRow();  // what the end code leaves out stays black
    return BR_OK;
  }

  Reader m_in;
  int32_t m_width = 0, m_height = 0;
  uint32_t m_bpp = 0, m_compression = 0;
  bool m_topDown = false, m_headerRead = false;
  Field m_fields[3];
  uint8_t m_palette[256 * 3] = {};
};

}  // namespace

int32_t HBImageDecoderBMP__new(IHBImgDecoder **out) {
  return hbimg_detail::newDecoder<HBImageDecoderBMP>(out);
}
