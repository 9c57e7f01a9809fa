// HBImageDecoderTIFF: the first page of a TIFF through libtiff, read through seeks of the stream.
//
// libtiff's RGBA interface does every photometric interpretation, bit depth and compression it
// knows (gray, palette, RGB, CMYK, YCbCr, JPEG, LZW, deflate, ...). The picture is read in bands
// of whole strips or tiles and reduced as it comes, so a large TIFF never exists whole in memory.
// Rows are taken as stored; the orientation tag (0x0112) goes with the picture for the caller to
// apply, as for a JPEG's EXIF orientation.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_int.h"

namespace {

using hbimg_detail::RandomSource;

const char kTag[] = "IMGTIFF";

// The band of rows read at once (more only when one strip is larger), and the most libtiff
// may allocate in one piece.
constexpr int64_t kBandBytes = 4 << 20;
constexpr int64_t kMaxBandBytes = 32 << 20;
constexpr tmsize_t kMaxAlloc = 256 << 20;

struct Handle {
  RandomSource *source;
  int64_t position;
};

tmsize_t tiffRead(thandle_t h, void *buffer, tmsize_t size) {
  Handle *s = static_cast<Handle *>(h);
  const int64_t n = s->source->readAt(buffer, size, s->position);
  if (n < 0) return -1;
  s->position += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t tiffWrite(thandle_t, void *, tmsize_t) {
  return -1;
}

toff_t tiffSeek(thandle_t h, toff_t offset, int whence) {
  Handle *s = static_cast<Handle *>(h);
  int64_t to = static_cast<int64_t>(offset);
  if (whence == SEEK_CUR) to += s->position;
  if (whence == SEEK_END) to += s->source->size();
  if (to < 0) return static_cast<toff_t>(-1);
  s->position = to;
  return static_cast<toff_t>(to);
}

int tiffClose(thandle_t) {
  return 0;
}

toff_t tiffSize(thandle_t h) {
  return static_cast<toff_t>(static_cast<Handle *>(h)->source->size());
}

int tiffMap(thandle_t, void **, toff_t *) {
  return 0;
}

void tiffUnmap(thandle_t, void *, toff_t) {}

int tiffError(TIFF *, void *, const char *module, const char *fmt, va_list ap) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  brlog(kTag, BRLOG_ERROR, "libtiff: %s: %s\n", module ? module : "", text);
  return 1;
}

int tiffWarning(TIFF *, void *, const char *module, const char *fmt, va_list ap) {
  if (!brlog__enabled(BRLOG_DEBUG)) return 1;
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  brlog(kTag, BRLOG_DEBUG, "libtiff: %s: %s\n", module ? module : "", text);
  return 1;
}

class HBImageDecoderTIFF final : public hbimg_detail::DecoderObject<HBImageDecoderTIFF> {
 public:
  int32_t readHeader(const HBImgDecodeOptions &, const uint8_t *head, int32_t headLength,
                     IHBStream *stream, int32_t *width, int32_t *height) override {
    if (m_tif || !stream || headLength < 0 || (!head && headLength > 0)) return BR_EINVAL;
    int32_t rc = m_source.open(head, headLength, stream);
    if (rc < 0) return rc;
    m_handle = {&m_source, 0};
    TIFFOpenOptions *opts = TIFFOpenOptionsAlloc();
    if (!opts) return BR_ENOMEM;
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, kMaxAlloc);
    TIFFOpenOptionsSetErrorHandlerExtR(opts, tiffError, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, tiffWarning, nullptr);
    // "m": no memory mapping.
    m_tif = TIFFClientOpenExt("picture", "rm", &m_handle, tiffRead, tiffWrite, tiffSeek,
                              tiffClose, tiffSize, tiffMap, tiffUnmap, opts);
    TIFFOpenOptionsFree(opts);
    if (!m_tif) {
      brlog(kTag, BRLOG_ERROR, "Error while reading header!\n");
      return m_source.error() < 0 ? m_source.error() : BR_EUNSPEC;
    }
    uint32_t w = 0, h = 0;
    TIFFGetField(m_tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(m_tif, TIFFTAG_IMAGELENGTH, &h);
    if (w == 0 || h == 0) {
      brlog(kTag, BRLOG_ERROR, "Error while reading header!\n");
      return BR_EUNSPEC;
    }
    if (w > INT32_MAX || h > INT32_MAX ||
        int64_t{w} * h > hbimg_detail::kMaxInputPixels) {
      brlog(kTag, BRLOG_ERROR, "Image too large to decode: %u x %u\n", w, h);
      return BR_ENOSPC;
    }
    m_width = static_cast<int32_t>(w);
    m_height = static_cast<int32_t>(h);
    m_headerRead = true;
    if (width) *width = m_width;
    if (height) *height = m_height;
    return BR_OK;
  }

  // One strip or tile as libtiff holds it, a band of RGBA rows, and the result.
  int64_t decodeBytes(const HBImgDecodeOptions &options) override {
    if (!m_headerRead) return 0;
    const int64_t unit = TIFFIsTiled(m_tif) ? TIFFTileSize64(m_tif) : TIFFStripSize64(m_tif);
    return std::min<int64_t>(unit, kMaxAlloc) + kMaxBandBytes +
           hbimg_detail::outputBytes(m_width, m_height, options);
  }

  int32_t decode(HBImg **out, const HBImgDecodeOptions &options, IHBStream *stream) override {
    if (!out || !stream) return BR_EINVAL;
    if (!m_headerRead) return BR_EBADSTATE;
    m_headerRead = false;
    m_source.setStream(stream);
    HBRef<HBImg> img;
    const int32_t rc = decodeInto(img, options);
    m_source.setStream(nullptr);
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "FAILED DECODING: %d\n", rc);
      return rc;
    }
    *out = img.detach();
    return BR_OK;
  }

 private:
  friend class HBObject<HBImageDecoderTIFF, IHBImgDecoder>;
  ~HBImageDecoderTIFF() override {
    if (m_began) TIFFRGBAImageEnd(&m_rgba);
    if (m_tif) TIFFClose(m_tif);
  }

  int32_t failure() const { return m_source.error() < 0 ? m_source.error() : BR_EUNSPEC; }

  int32_t decodeInto(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    char message[1024] = "";
    if (!TIFFRGBAImageOK(m_tif, message)) {
      brlog(kTag, BRLOG_ERROR, "Unsupported TIFF: %s\n", message);
      return BR_EUNSUPPORTED;
    }
    if (!TIFFRGBAImageBegin(&m_rgba, m_tif, 1, message)) {
      brlog(kTag, BRLOG_ERROR, "Unsupported TIFF: %s\n", message);
      return BR_EUNSUPPORTED;
    }
    m_began = true;
    // Rows as stored: the orientation is the caller's to apply.
    const uint16_t orientation = m_rgba.orientation;
    m_rgba.req_orientation = orientation;
    const int32_t w = m_width, h = m_height;
    // Whole strips or tiles per band, so each is decoded once.
    uint32_t unit = 0;
    if (TIFFIsTiled(m_tif)) {
      TIFFGetField(m_tif, TIFFTAG_TILELENGTH, &unit);
    } else if (!TIFFGetField(m_tif, TIFFTAG_ROWSPERSTRIP, &unit)) {
      unit = static_cast<uint32_t>(h);
    }
    const int64_t rowBytes = int64_t{w} * 4;
    int64_t band = std::clamp<int64_t>(unit, 1, h);
    if (band * rowBytes < kBandBytes) band *= std::max<int64_t>(1, kBandBytes / (band * rowBytes));
    if (band * rowBytes > kMaxBandBytes) band = std::max<int64_t>(1, kMaxBandBytes / rowBytes);
    band = std::min<int64_t>(band, h);
    // Tiles are read one at a time (as libtiff's own tile reader does) into the band.
    uint32_t tileWidth = 0;
    if (TIFFIsTiled(m_tif)) {
      TIFFGetField(m_tif, TIFFTAG_TILEWIDTH, &tileWidth);
      if (tileWidth == 0 || unit == 0) return BR_EUNSPEC;
      band = std::min<int64_t>(unit, h);
    }
    std::vector<uint32_t> raster, tile;
    try {
      if (tileWidth) tile.resize(size_t{tileWidth} * static_cast<size_t>(band));
    } catch (const std::bad_alloc &) {
      return BR_ENOMEM;
    }
    std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
    hbimg_detail::RowReducer reducer;
    try {
      raster.resize(static_cast<size_t>(band * w));
    } catch (const std::bad_alloc &) {
      return BR_ENOMEM;
    }
    int32_t rc = reducer.begin(w, h, hbimg_detail::reduceDivisor(w, h, options));
    if (rc < 0) return rc;
    for (int32_t y = 0; y < h; y += static_cast<int32_t>(band)) {
      const int32_t n = static_cast<int32_t>(std::min<int64_t>(band, h - y));
      if (!readBand(raster.data(), y, n, tileWidth, tile)) {
        brlog(kTag, BRLOG_ERROR, "Error while decoding TIFF: rows %d to %d of %d\n", y, y + n, h);
        return failure();
      }
      for (int32_t i = 0; i < n; ++i) {
        const uint32_t *p = raster.data() + static_cast<size_t>(i) * w;
        uint8_t *o = row.data();
        for (int32_t x = 0; x < w; ++x, o += 3) {
          o[0] = static_cast<uint8_t>(TIFFGetR(p[x]));
          o[1] = static_cast<uint8_t>(TIFFGetG(p[x]));
          o[2] = static_cast<uint8_t>(TIFFGetB(p[x]));
        }
        reducer.addRow(y + i, row.data());
      }
    }
    rc = reducer.finish(&img);
    if (rc < 0) return rc;
    if (options.flags & HBIMG_DECODE_ORIENTATION)
      img->setExifOrientation(orientation >= 1 && orientation <= 8 ? orientation : 0);
    if (options.flags & HBIMG_DECODE_KEEP_PROFILE) {
      uint32_t n = 0;
      void *icc = nullptr;
      if (TIFFGetField(m_tif, TIFFTAG_ICCPROFILE, &n, &icc) && icc && n > 0 && n <= INT32_MAX &&
          img->setProfile(icc, static_cast<int32_t>(n)) < 0)
        return BR_ENOMEM;
    }
    return hbimg_detail::fitToBox(img, options);
  }

  // Rows y to y + n (as stored) into `raster` (the picture's width apart).
  bool readBand(uint32_t *raster, int32_t y, int32_t n, uint32_t tileWidth,
                std::vector<uint32_t> &tile) {
    m_rgba.row_offset = y;
    m_rgba.col_offset = 0;
    if (!tileWidth)
      return TIFFRGBAImageGet(&m_rgba, raster, static_cast<uint32_t>(m_width),
                              static_cast<uint32_t>(n)) != 0;
    for (int32_t x = 0; x < m_width; x += static_cast<int32_t>(tileWidth)) {
      const int32_t tw = std::min<int32_t>(static_cast<int32_t>(tileWidth), m_width - x);
      m_rgba.col_offset = x;
      if (!TIFFRGBAImageGet(&m_rgba, tile.data(), static_cast<uint32_t>(tw),
                            static_cast<uint32_t>(n)))
        return false;
      for (int32_t r = 0; r < n; ++r)
        std::memcpy(raster + static_cast<size_t>(r) * m_width + x,
                    tile.data() + static_cast<size_t>(r) * tw, static_cast<size_t>(tw) * 4);
    }
    return true;
  }

  RandomSource m_source;
  Handle m_handle{};
  TIFF *m_tif = nullptr;
  TIFFRGBAImage m_rgba{};
  bool m_began = false;
  int32_t m_width = 0, m_height = 0;
  bool m_headerRead = false;
};

}  // namespace

int32_t HBImageDecoderTIFF__new(IHBImgDecoder **out) {
  return hbimg_detail::newDecoder<HBImageDecoderTIFF>(out);
}
