// HBImageDecoderGIF: the first frame of a GIF through giflib, read straight from the stream.
//
// Only records up to the first image are read, so a file of thousands of frames costs no more
// than one. The frame is painted on the logical screen (white where it does not reach and where
// it is transparent) and reduced row by row as it is decoded; only an interlaced frame is held
// whole (one byte a pixel) to put its rows in order.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_int.h"
#include "hbstream_int.h"

namespace {

const char kTag[] = "IMGGIF";

// Extension records before the first image; a file with more is refused.
constexpr int kMaxRecords = 4096;

struct GifInput {
  const uint8_t *head;
  int32_t headLength, headPos;
  IHBStream *stream;
  int32_t readError;
};

int gifRead(GifFileType *gif, GifByteType *data, int length) {
  GifInput *in = static_cast<GifInput *>(gif->UserData);
  int got = 0;
  while (got < length && in->headPos < in->headLength) {
    const int n = std::min(length - got, in->headLength - in->headPos);
    std::memcpy(data + got, in->head + in->headPos, static_cast<size_t>(n));
    in->headPos += n;
    got += n;
  }
  hbstream_detail::RetryBudget retry;
  while (got < length && in->stream) {
    const int32_t n = in->stream->read(data + got, length - got);
    if (n < 0 && retry.again(n)) continue;
    if (n < 0) in->readError = n;
    if (n <= 0) break;
    retry.reset();
    got += n;
  }
  return got;
}

class HBImageDecoderGIF final : public hbimg_detail::DecoderObject<HBImageDecoderGIF> {
 public:
  int32_t readHeader(const HBImgDecodeOptions &, const uint8_t *head, int32_t headLength,
                     IHBStream *stream, int32_t *width, int32_t *height) override {
    if (m_gif || !stream || headLength < 0 || (!head && headLength > 0)) return BR_EINVAL;
    m_head.assign(head, head + headLength);
    m_in = {m_head.data(), headLength, 0, stream, 0};
    int err = 0;
    m_gif = DGifOpen(&m_in, gifRead, &err);
    m_in.stream = nullptr;
    if (!m_gif) {
      brlog(kTag, BRLOG_ERROR, "Error while reading header: %s\n", GifErrorString(err));
      return m_in.readError < 0 ? m_in.readError : BR_EUNSPEC;
    }
    if (int64_t{m_gif->SWidth} * m_gif->SHeight > hbimg_detail::kMaxInputPixels) {
      brlog(kTag, BRLOG_ERROR, "Image too large to decode: %d x %d\n", m_gif->SWidth,
            m_gif->SHeight);
      return BR_ENOSPC;
    }
    m_headerRead = true;
    if (width) *width = m_gif->SWidth;
    if (height) *height = m_gif->SHeight;
    return BR_OK;
  }

  int64_t decodeBytes(const HBImgDecodeOptions &options) override {
    if (!m_headerRead) return 0;
    return hbimg_detail::outputBytes(m_gif->SWidth, m_gif->SHeight, options) +
           int64_t{m_gif->SWidth} * 3;
  }

  int32_t decode(HBImg **out, const HBImgDecodeOptions &options, IHBStream *stream) override {
    if (!out || !stream) return BR_EINVAL;
    if (!m_headerRead) return BR_EBADSTATE;
    m_headerRead = false;
    m_in.stream = stream;
    HBRef<HBImg> img;
    int32_t rc = decodeInto(img, options);
    m_in.stream = nullptr;
    if (rc < 0) {
      if (rc == BR_EUNSPEC && m_in.readError < 0) rc = m_in.readError;
      brlog(kTag, BRLOG_ERROR, "FAILED DECODING: %d\n", rc);
      return rc;
    }
    *out = img.detach();
    return BR_OK;
  }

 private:
  friend class HBObject<HBImageDecoderGIF, IHBImgDecoder>;
  ~HBImageDecoderGIF() override {
    int err = 0;
    if (m_gif) DGifCloseFile(m_gif, &err);
  }

  int32_t libraryError(const char *what) {
    brlog(kTag, BRLOG_ERROR, "Error while %s: %s\n", what, GifErrorString(m_gif->Error));
    return BR_EUNSPEC;
  }

  int32_t decodeInto(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    int transparent = -1;
    for (int records = 0;; ++records) {
      if (records > kMaxRecords) {
        brlog(kTag, BRLOG_ERROR, "Too many records before the first frame\n");
        return BR_EUNSPEC;
      }
      GifRecordType type;
      if (DGifGetRecordType(m_gif, &type) == GIF_ERROR) return libraryError("reading a record");
      if (type == IMAGE_DESC_RECORD_TYPE) break;
      if (type == TERMINATE_RECORD_TYPE) {
        brlog(kTag, BRLOG_ERROR, "No frame in the GIF\n");
        return BR_EUNSPEC;
      }
      if (type != EXTENSION_RECORD_TYPE) return libraryError("reading a record");
      int code = 0;
      GifByteType *ext = nullptr;
      if (DGifGetExtension(m_gif, &code, &ext) == GIF_ERROR) return libraryError("reading");
      if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4 && (ext[1] & 1))
        transparent = ext[4];
      while (ext) {
        if (DGifGetExtensionNext(m_gif, &ext) == GIF_ERROR) return libraryError("reading");
      }
    }
    if (DGifGetImageDesc(m_gif) == GIF_ERROR) return libraryError("reading the frame");
    const GifImageDesc &f = m_gif->Image;
    const ColorMapObject *map = f.ColorMap ? f.ColorMap : m_gif->SColorMap;
    if (!map || f.Width <= 0 || f.Height <= 0) return libraryError("reading the frame");
    // A screen of no size takes the frame's.
    const int32_t w = m_gif->SWidth > 0 ? m_gif->SWidth : f.Left + f.Width;
    const int32_t h = m_gif->SHeight > 0 ? m_gif->SHeight : f.Top + f.Height;
    if (int64_t{w} * h > hbimg_detail::kMaxInputPixels ||
        (f.Interlace && int64_t{f.Width} * f.Height > HBIMG_MAX_PIXELS))
      return BR_ENOSPC;
    std::vector<uint8_t> palette(256 * 3, 0);
    for (int i = 0; i < map->ColorCount && i < 256; ++i) {
      palette[i * 3] = map->Colors[i].Red;
      palette[i * 3 + 1] = map->Colors[i].Green;
      palette[i * 3 + 2] = map->Colors[i].Blue;
    }
    if (transparent >= 0) std::memset(&palette[transparent * 3], 0xFF, 3);
    std::vector<GifPixelType> line(static_cast<size_t>(f.Width));
    std::vector<GifPixelType> all;
    if (f.Interlace) {
      all.resize(static_cast<size_t>(f.Width) * f.Height);
      static const int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (int y = kStart[pass]; y < f.Height; y += kStep[pass])
          if (DGifGetLine(m_gif, &all[static_cast<size_t>(y) * f.Width], f.Width) == GIF_ERROR)
            return libraryError("decoding");
    }
    hbimg_detail::RowReducer reducer;
    int32_t rc = reducer.begin(w, h, hbimg_detail::reduceDivisor(w, h, options));
    if (rc < 0) return rc;
    std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
    const int32_t x0 = std::min(f.Left, w), x1 = std::min(f.Left + f.Width, w);
    for (int32_t y = 0; y < h; ++y) {
      std::fill(row.begin(), row.end(), 0xFF);
      const int32_t fy = y - f.Top;
      if (fy >= 0 && fy < f.Height) {
        const GifPixelType *src = line.data();
        if (f.Interlace) {
          src = &all[static_cast<size_t>(fy) * f.Width];
        } else if (DGifGetLine(m_gif, line.data(), f.Width) == GIF_ERROR) {
          return libraryError("decoding");
        }
        for (int32_t x = x0; x < x1; ++x)
          std::memcpy(&row[static_cast<size_t>(x) * 3], &palette[src[x - f.Left] * 3], 3);
      }
      reducer.addRow(y, row.data());
    }
    rc = reducer.finish(&img);
    if (rc < 0) return rc;
    return hbimg_detail::fitToBox(img, options);
  }

  std::vector<uint8_t> m_head;
  GifInput m_in{};
  GifFileType *m_gif = nullptr;
  bool m_headerRead = false;
};

}  // namespace

int32_t HBImageDecoderGIF__new(IHBImgDecoder **out) {
  return hbimg_detail::newDecoder<HBImageDecoderGIF>(out);
}
