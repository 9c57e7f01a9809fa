// HBImageDecoderWebP: still and animated WebP through libwebp (the first frame of an animation,
// found with WebPDemux), scaled by the library while decoding. The orientation comes from the
// EXIF chunk, when there is one.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_int.h"

namespace {

using hbimg_detail::RandomSource;

const char kTag[] = "IMGWEBP";

// WebP's own bound on a side.
constexpr int kMaxSide = 16383;

class HBImageDecoderWebP final : public hbimg_detail::DecoderObject<HBImageDecoderWebP> {
 public:
  int32_t readHeader(const HBImgDecodeOptions &, const uint8_t *head, int32_t headLength,
                     IHBStream *stream, int32_t *width, int32_t *height) override {
    if (m_demux || !stream || headLength < 0 || (!head && headLength > 0)) return BR_EINVAL;
    int32_t rc = m_source.open(head, headLength, stream);
    if (rc < 0) return rc;
    const uint8_t *data = m_source.all(&rc);
    if (!data) return rc;
    WebPData whole = {data, static_cast<size_t>(m_source.size())};
    m_demux = WebPDemux(&whole);
    if (!m_demux) {
      brlog(kTag, BRLOG_ERROR, "Error while reading header!\n");
      return BR_EUNSPEC;
    }
    m_width = static_cast<int>(WebPDemuxGetI(m_demux, WEBP_FF_CANVAS_WIDTH));
    m_height = static_cast<int>(WebPDemuxGetI(m_demux, WEBP_FF_CANVAS_HEIGHT));
    if (m_width <= 0 || m_height <= 0 || m_width > kMaxSide || m_height > kMaxSide) {
      brlog(kTag, BRLOG_ERROR, "Image too large to decode: %d x %d\n", m_width, m_height);
      return BR_ENOSPC;
    }
    m_headerRead = true;
    if (width) *width = m_width;
    if (height) *height = m_height;
    return BR_OK;
  }

  // The file, held whole, and the result (the whole canvas for a frame smaller than it).
  int64_t decodeBytes(const HBImgDecodeOptions &options) override {
    if (!m_headerRead) return 0;
    return m_source.size() + int64_t{m_width} * m_height * 3 / 4 +
           hbimg_detail::outputBytes(m_width, m_height, options);
  }

  int32_t decode(HBImg **out, const HBImgDecodeOptions &options, IHBStream *stream) override {
    if (!out || !stream) return BR_EINVAL;
    if (!m_headerRead) return BR_EBADSTATE;
    m_headerRead = false;
    HBRef<HBImg> img;
    const int32_t rc = decodeInto(img, options);
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "FAILED DECODING: %d\n", rc);
      return rc;
    }
    *out = img.detach();
    return BR_OK;
  }

 private:
  friend class HBObject<HBImageDecoderWebP, IHBImgDecoder>;
  ~HBImageDecoderWebP() override {
    if (m_demux) WebPDemuxDelete(m_demux);
  }

  int32_t orientation() {
    WebPChunkIterator chunk;
    int32_t o = 0;
    if (WebPDemuxGetChunk(m_demux, "EXIF", 1, &chunk)) {
      const uint8_t *p = chunk.chunk.bytes;
      size_t n = chunk.chunk.size;
      if (n >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) p += 6, n -= 6;
      o = hbimg_detail::exifOrientation(p, n);
      WebPDemuxReleaseChunkIterator(&chunk);
    }
    return o;
  }

  int32_t decodeInto(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    WebPIterator frame;
    if (!WebPDemuxGetFrame(m_demux, 1, &frame)) return BR_EUNSPEC;
    struct Release {
      WebPIterator *it;
      ~Release() { WebPDemuxReleaseIterator(it); }
    } release{&frame};
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return BR_EUNSPEC;
    if (WebPGetFeatures(frame.fragment.bytes, frame.fragment.size, &config.input) != VP8_STATUS_OK)
      return BR_EUNSPEC;
    const int fw = config.input.width, fh = config.input.height;
    const bool whole = fw == m_width && fh == m_height && frame.x_offset == 0 && frame.y_offset == 0;
    // Scaled by the library straight to the box when the frame is the whole canvas.
    int tw = fw, th = fh;
    if (whole && (options.flags & HBIMG_DECODE_FIT) && options.boxWidth > 0 &&
        options.boxHeight > 0 && (fw > options.boxWidth || fh > options.boxHeight)) {
      if (int64_t{fw} * options.boxHeight >= int64_t{fh} * options.boxWidth) {
        tw = options.boxWidth;
        th = static_cast<int>(std::max<int64_t>(1, int64_t{fh} * options.boxWidth / fw));
      } else {
        th = options.boxHeight;
        tw = static_cast<int>(std::max<int64_t>(1, int64_t{fw} * options.boxHeight / fh));
      }
    } else if (int64_t{fw} * fh > HBIMG_MAX_PIXELS) {
      const int32_t d = hbimg_detail::reduceDivisor(fw, fh, HBImgDecodeOptions{0, 0, 0});
      if (!whole) return BR_ENOSPC;
      tw = (fw + d - 1) / d, th = (fh + d - 1) / d;
    }
    HBRef<HBImg> pic;
    int32_t rc = HBImg::create(pic.out(), tw, th, 24);
    if (rc < 0) return rc;
    if (tw != fw || th != fh) {
      config.options.use_scaling = 1;
      config.options.scaled_width = tw;
      config.options.scaled_height = th;
    }
    config.output.colorspace = MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = pic->pixels();
    config.output.u.RGBA.stride = pic->stride();
    config.output.u.RGBA.size = static_cast<size_t>(pic->size());
    const VP8StatusCode status = WebPDecode(frame.fragment.bytes, frame.fragment.size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) {
      brlog(kTag, BRLOG_ERROR, "Error while decoding WebP: %d\n", static_cast<int>(status));
      return status == VP8_STATUS_UNSUPPORTED_FEATURE ? BR_EUNSUPPORTED : BR_EUNSPEC;
    }
    if (!whole) {
      // A first frame smaller than the canvas: placed on white at its offset.
      if (int64_t{m_width} * m_height > HBIMG_MAX_PIXELS) return BR_ENOSPC;
      HBRef<HBImg> canvas;
      rc = HBImg::create(canvas.out(), m_width, m_height, 24);
      if (rc < 0) return rc;
      std::memset(canvas->pixels(), 0xFF, static_cast<size_t>(canvas->size()));
      for (int y = 0; y < fh && y + frame.y_offset < m_height; ++y) {
        const int n = std::min(fw, m_width - frame.x_offset);
        if (n > 0)
          std::memcpy(canvas->row(y + frame.y_offset) + frame.x_offset * 3, pic->row(y),
                      static_cast<size_t>(n) * 3);
      }
      pic = std::move(canvas);
    }
    if (options.flags & HBIMG_DECODE_ORIENTATION) pic->setExifOrientation(orientation());
    img = std::move(pic);
    return hbimg_detail::fitToBox(img, options);
  }

  RandomSource m_source;
  WebPDemuxer *m_demux = nullptr;
  int m_width = 0, m_height = 0;
  bool m_headerRead = false;
};

}  // namespace

int32_t HBImageDecoderWebP__new(IHBImgDecoder **out) {
  return hbimg_detail::newDecoder<HBImageDecoderWebP>(out);
}
