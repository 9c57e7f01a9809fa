// HBImageDecoderHEIF: HEIC, HEIF and AVIF through libheif, read through seeks of the stream.
//
// libheif applies the primary image's transformations (rotation, mirroring, clean aperture)
// itself, so the picture comes out upright and its orientation is reported as none. The picture
// is taken in the coded colour space (mostly YCbCr 4:2:0, half the bytes of RGB) and converted
// row by row while it is reduced, so no full-size RGB copy is ever made. When the file carries a
// thumbnail that still covers the box, that is decoded instead of the whole picture.
#include <libheif/heif.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_int.h"

namespace {

using hbimg_detail::RandomSource;

const char kTag[] = "IMGHEIF";

struct ReaderState {
  RandomSource *source;
  int64_t position;
};

int64_t readerPosition(void *user) {
  return static_cast<ReaderState *>(user)->position;
}

int readerRead(void *data, size_t size, void *user) {
  ReaderState *s = static_cast<ReaderState *>(user);
  const int64_t n = s->source->readAt(data, static_cast<int64_t>(size), s->position);
  if (n != static_cast<int64_t>(size)) return 1;
  s->position += n;
  return 0;
}

int readerSeek(int64_t position, void *user) {
  ReaderState *s = static_cast<ReaderState *>(user);
  if (position < 0 || position > s->source->size()) return 1;
  s->position = position;
  return 0;
}

heif_reader_grow_status readerWait(int64_t target, void *user) {
  return target <= static_cast<ReaderState *>(user)->source->size()
             ? heif_reader_grow_status_size_reached
             : heif_reader_grow_status_size_beyond_eof;
}

const heif_reader kReader = {1, readerPosition, readerRead, readerSeek, readerWait};

// YCbCr to RGB in 16-bit fixed point for a matrix (Kr, Kb) and range.
struct Matrix {
  int32_t rv, gu, gv, bu;  // R = Y + rv V; G = Y - gu U - gv V; B = Y + bu U
  bool full;
};

Matrix matrixFor(const heif_color_profile_nclx *nclx) {
  double kr = 0.299, kb = 0.114;
  bool full = true;
  if (nclx) {
    full = nclx->full_range_flag != 0;
    switch (nclx->matrix_coefficients) {
      case heif_matrix_coefficients_ITU_R_BT_709_5:
        kr = 0.2126, kb = 0.0722;
        break;
      case heif_matrix_coefficients_ITU_R_BT_2020_2_non_constant_luminance:
      case heif_matrix_coefficients_ITU_R_BT_2020_2_constant_luminance:
        kr = 0.2627, kb = 0.0593;
        break;
      case heif_matrix_coefficients_SMPTE_240M:
        kr = 0.212, kb = 0.087;
        break;
      case heif_matrix_coefficients_US_FCC_T47:
        kr = 0.30, kb = 0.11;
        break;
      default:
        break;
    }
  }
  const double kg = 1 - kr - kb, scale = full ? 1.0 : 255.0 / 224.0, one = 65536;
  Matrix m;
  m.rv = static_cast<int32_t>(2 * (1 - kr) * scale * one + 0.5);
  m.bu = static_cast<int32_t>(2 * (1 - kb) * scale * one + 0.5);
  m.gu = static_cast<int32_t>(2 * kb * (1 - kb) / kg * scale * one + 0.5);
  m.gv = static_cast<int32_t>(2 * kr * (1 - kr) / kg * scale * one + 0.5);
  m.full = full;
  return m;
}

inline uint8_t clamp8(int32_t v) {
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

struct Plane {
  const uint8_t *data = nullptr;
  int stride = 0, width = 0, height = 0, shift = 0;  // shift: bits beyond 8
  bool wide = false;                                  // two bytes a sample
  int32_t at(int32_t x, int32_t y) const {
    x = std::min(x, width - 1);
    y = std::min(y, height - 1);
    const uint8_t *row = data + static_cast<size_t>(y) * stride;
    if (!wide) return row[x];
    uint16_t v;
    std::memcpy(&v, row + x * 2, 2);
    return v >> shift;
  }
};

bool planeOf(const heif_image *img, heif_channel channel, Plane *p) {
  p->data = heif_image_get_plane_readonly(img, channel, &p->stride);
  p->width = heif_image_get_width(img, channel);
  p->height = heif_image_get_height(img, channel);
  const int bits = heif_image_get_bits_per_pixel_range(img, channel);
  if (!p->data || p->width <= 0 || p->height <= 0 || bits < 1 || bits > 16) return false;
  p->wide = bits > 8;
  p->shift = bits > 8 ? bits - 8 : 0;
  return true;
}

struct Released {
  heif_context *ctx = nullptr;
  heif_image_handle *handle = nullptr;
  heif_image *image = nullptr;
  heif_decoding_options *options = nullptr;
  heif_color_profile_nclx *nclx = nullptr;
  ~Released() {
    if (nclx) heif_nclx_color_profile_free(nclx);
    if (image) heif_image_release(image);
    if (options) heif_decoding_options_free(options);
    if (handle) heif_image_handle_release(handle);
    if (ctx) heif_context_free(ctx);
  }
};

class HBImageDecoderHEIF final : public hbimg_detail::DecoderObject<HBImageDecoderHEIF> {
 public:
  int32_t readHeader(const HBImgDecodeOptions &, const uint8_t *head, int32_t headLength,
                     IHBStream *stream, int32_t *width, int32_t *height) override {
    if (m_state.ctx || !stream || headLength < 0 || (!head && headLength > 0)) return BR_EINVAL;
    int32_t rc = m_source.open(head, headLength, stream);
    if (rc < 0) return rc;
    m_reader.source = &m_source;
    m_reader.position = 0;
    m_state.ctx = heif_context_alloc();
    if (!m_state.ctx) return BR_ENOMEM;
    heif_context_set_maximum_image_size_limit(m_state.ctx, 65535);
    heif_error err = heif_context_read_from_reader(m_state.ctx, &kReader, &m_reader, nullptr);
    if (err.code == heif_error_Ok)
      err = heif_context_get_primary_image_handle(m_state.ctx, &m_state.handle);
    if (err.code != heif_error_Ok) {
      brlog(kTag, BRLOG_ERROR, "Error while reading header: %s\n", err.message);
      return m_source.error() < 0 ? m_source.error() : BR_EUNSPEC;
    }
    m_width = heif_image_handle_get_width(m_state.handle);
    m_height = heif_image_handle_get_height(m_state.handle);
    if (m_width <= 0 || m_height <= 0 || int64_t{m_width} * m_height > hbimg_detail::kMaxInputPixels) {
      brlog(kTag, BRLOG_ERROR, "Image too large to decode: %d x %d\n", m_width, m_height);
      return m_width <= 0 || m_height <= 0 ? BR_EUNSPEC : BR_ENOSPC;
    }
    m_headerRead = true;
    if (width) *width = m_width;
    if (height) *height = m_height;
    return BR_OK;
  }

  // The coded planes (4:2:0 at most 3 bytes a pixel with a turned copy), the codec's own
  // pictures, and the result.
  int64_t decodeBytes(const HBImgDecodeOptions &options) override {
    if (!m_headerRead) return 0;
    const int64_t px = int64_t{m_width} * m_height;
    return px * 4 + hbimg_detail::outputBytes(m_width, m_height, options);
  }

  int32_t decode(HBImg **out, const HBImgDecodeOptions &options, IHBStream *stream) override {
    if (!out || !stream) return BR_EINVAL;
    if (!m_headerRead) return BR_EBADSTATE;
    m_headerRead = false;
    m_source.setStream(stream);
    HBRef<HBImg> img;
    int32_t rc = decodeInto(img, options);
    m_source.setStream(nullptr);
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "FAILED DECODING: %d\n", rc);
      return rc;
    }
    *out = img.detach();
    return BR_OK;
  }

 private:
  friend class HBObject<HBImageDecoderHEIF, IHBImgDecoder>;
  ~HBImageDecoderHEIF() override = default;

  // A thumbnail that still covers the box (with HBIMG_DECODE_FIT), else the primary image.
  heif_image_handle *pick(const HBImgDecodeOptions &options) {
    if (!(options.flags & HBIMG_DECODE_FIT) || options.boxWidth <= 0 || options.boxHeight <= 0)
      return nullptr;
    const int n = heif_image_handle_get_number_of_thumbnails(m_state.handle);
    if (n <= 0 || n > 16) return nullptr;
    std::vector<heif_item_id> ids(static_cast<size_t>(n));
    heif_image_handle_get_list_of_thumbnail_IDs(m_state.handle, ids.data(), n);
    heif_image_handle *best = nullptr;
    int64_t bestPixels = 0;
    for (heif_item_id id : ids) {
      heif_image_handle *t = nullptr;
      if (heif_image_handle_get_thumbnail(m_state.handle, id, &t).code != heif_error_Ok) continue;
      const int64_t tw = heif_image_handle_get_width(t), th = heif_image_handle_get_height(t);
      // Covers the box on the side that limits the fit, with the picture's own shape.
      const bool limitedByWidth = int64_t{m_width} * options.boxHeight >= int64_t{m_height} * options.boxWidth;
      const bool covers = limitedByWidth ? tw >= options.boxWidth : th >= options.boxHeight;
      const bool sameShape = tw > 0 && th > 0 && std::llabs(tw * m_height - th * m_width) <= std::max(tw, th) * std::max(m_width, m_height) / 50;
      if (covers && sameShape && tw < m_width && (!best || tw * th < bestPixels)) {
        if (best) heif_image_handle_release(best);
        best = t;
        bestPixels = tw * th;
      } else {
        heif_image_handle_release(t);
      }
    }
    return best;
  }

  int32_t decodeInto(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    m_state.options = heif_decoding_options_alloc();
    if (!m_state.options) return BR_ENOMEM;
    m_state.options->ignore_transformations = 0;
    m_state.options->convert_hdr_to_8bit = 1;
    const heif_image_handle *source = m_state.handle;
    Released thumb;
    if (heif_image_handle *t = pick(options)) {
      thumb.handle = t;
      source = t;
      brlog(kTag, BRLOG_VERBOSE, "Using the embedded %d x %d thumbnail\n",
            heif_image_handle_get_width(t), heif_image_handle_get_height(t));
    }
    heif_error err = heif_decode_image(source, &m_state.image, heif_colorspace_undefined,
                                       heif_chroma_undefined, m_state.options);
    if (err.code != heif_error_Ok) {
      brlog(kTag, BRLOG_ERROR, "Error while decoding: %s\n", err.message);
      return m_source.error() < 0 ? m_source.error() : BR_EUNSPEC;
    }
    const heif_colorspace space = heif_image_get_colorspace(m_state.image);
    const heif_chroma chroma = heif_image_get_chroma_format(m_state.image);
    if (space != heif_colorspace_YCbCr && space != heif_colorspace_monochrome &&
        !(space == heif_colorspace_RGB && chroma == heif_chroma_444)) {
      // Anything else (interleaved or high bit depth RGB) is asked for as 8-bit RGB.
      heif_image_release(m_state.image);
      m_state.image = nullptr;
      err = heif_decode_image(source, &m_state.image, heif_colorspace_RGB,
                              heif_chroma_interleaved_RGB, m_state.options);
      if (err.code != heif_error_Ok) {
        brlog(kTag, BRLOG_ERROR, "Error while decoding: %s\n", err.message);
        return BR_EUNSPEC;
      }
    }
    int32_t rc = convert(img, options);
    if (rc < 0) return rc;
    if (options.flags & HBIMG_DECODE_KEEP_PROFILE) {
      const size_t n = heif_image_handle_get_raw_color_profile_size(m_state.handle);
      if (n > 0 && n < (size_t{64} << 20)) {
        std::vector<uint8_t> icc(n);
        if (heif_image_handle_get_raw_color_profile(m_state.handle, icc.data()).code ==
                heif_error_Ok &&
            img->setProfile(icc.data(), static_cast<int32_t>(n)) < 0)
          return BR_ENOMEM;
      }
    }
    // The transformations are applied: nothing is left to turn.
    img->setExifOrientation(0);
    return hbimg_detail::fitToBox(img, options);
  }

  // The decoded image, row by row to RGB, reduced while converting.
  int32_t convert(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    const heif_image *im = m_state.image;
    const heif_colorspace space = heif_image_get_colorspace(im);
    const heif_chroma chroma = heif_image_get_chroma_format(im);
    Plane y, u, v;
    int32_t w, h;
    if (chroma == heif_chroma_interleaved_RGB) {
      if (!planeOf(im, heif_channel_interleaved, &y)) return BR_EUNSPEC;
      w = y.width, h = y.height;
    } else if (space == heif_colorspace_RGB) {
      if (!planeOf(im, heif_channel_R, &y) || !planeOf(im, heif_channel_G, &u) ||
          !planeOf(im, heif_channel_B, &v))
        return BR_EUNSPEC;
      w = y.width, h = y.height;
    } else {
      if (!planeOf(im, heif_channel_Y, &y)) return BR_EUNSPEC;
      w = y.width, h = y.height;
      if (space == heif_colorspace_YCbCr &&
          (!planeOf(im, heif_channel_Cb, &u) || !planeOf(im, heif_channel_Cr, &v)))
        return BR_EUNSPEC;
    }
    if (int64_t{w} * h > hbimg_detail::kMaxInputPixels) return BR_ENOSPC;
    (void)heif_image_get_nclx_color_profile(im, &m_state.nclx);
    const Matrix m = matrixFor(m_state.nclx);
    hbimg_detail::RowReducer reducer;
    int32_t rc = reducer.begin(w, h, hbimg_detail::reduceDivisor(w, h, options));
    if (rc < 0) return rc;
    std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
    const int sx = space == heif_colorspace_YCbCr && u.width < w ? 1 : 0;
    const int sy = space == heif_colorspace_YCbCr && u.height < h ? 1 : 0;
    for (int32_t r = 0; r < h; ++r) {
      uint8_t *o = row.data();
      if (chroma == heif_chroma_interleaved_RGB) {
        std::memcpy(o, y.data + static_cast<size_t>(r) * y.stride, static_cast<size_t>(w) * 3);
      } else if (space == heif_colorspace_RGB) {
        for (int32_t x = 0; x < w; ++x, o += 3)
          o[0] = clamp8(y.at(x, r)), o[1] = clamp8(u.at(x, r)), o[2] = clamp8(v.at(x, r));
      } else if (space != heif_colorspace_YCbCr) {
        for (int32_t x = 0; x < w; ++x, o += 3) {
          int32_t l = y.at(x, r);
          if (!m.full) l = (l - 16) * 255 / 219;
          o[0] = o[1] = o[2] = clamp8(l);
        }
      } else {
        for (int32_t x = 0; x < w; ++x, o += 3) {
          int32_t l = y.at(x, r);
          const int32_t cb = u.at(x >> sx, r >> sy) - 128, cr = v.at(x >> sx, r >> sy) - 128;
          if (!m.full) l = (l - 16) * 76309 >> 16;  // 255 / 219
          const int32_t base = l * 65536 + 32768;
          o[0] = clamp8((base + m.rv * cr) >> 16);
          o[1] = clamp8((base - m.gu * cb - m.gv * cr) >> 16);
          o[2] = clamp8((base + m.bu * cb) >> 16);
        }
      }
      reducer.addRow(r, row.data());
    }
    return reducer.finish(&img);
  }

  RandomSource m_source;
  ReaderState m_reader{};
  Released m_state;
  int32_t m_width = 0, m_height = 0;
  bool m_headerRead = false;
};

}  // namespace

int32_t HBImageDecoderHEIF__new(IHBImgDecoder **out) {
  return hbimg_detail::newDecoder<HBImageDecoderHEIF>(out);
}
