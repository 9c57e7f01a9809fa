// Internals shared by the picture decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "hbimg.h"

namespace hbimg_detail {

// The object plumbing of a decoder class: it answers only as IHBObj.
template <class Derived>
class DecoderObject : public HBObject<Derived, IHBImgDecoder> {
 public:
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ) return this->template offer<IHBObj>(out);
    return BR_ENOENT;
  }
};

// Makes a decoder of class `Derived`; hands one reference to *out.
template <class Derived>
int32_t newDecoder(IHBImgDecoder **out) {
  if (!out) return BR_EINVAL;
  IHBImgDecoder *d = new (std::nothrow) Derived;
  if (!d) return BR_ENOMEM;
  *out = d;
  return BR_OK;
}

// The most pixels a picture may declare before anything is allocated for it (about 268
// megapixels). Decoders that reduce while reading may take more than HBIMG_MAX_PIXELS in, but
// never more than this: a few hundred bytes claiming 65535 x 65535 would otherwise cost minutes.
constexpr int64_t kMaxInputPixels = int64_t{1} << 28;
// The most bytes of a picture file held in memory when its decoder needs all of it at once (or
// the stream cannot seek).
constexpr int64_t kMaxHeldBytes = int64_t{256} << 20;

// The divisor a decoder reduces by while reading rows (area averaging): with HBIMG_DECODE_FIT the
// largest whose result still covers the box (the result is then fitted exactly by fitToBox);
// then as large as needed to stay within HBIMG_MAX_PIXELS.
int32_t reduceDivisor(int64_t width, int64_t height, const HBImgDecodeOptions &options);

// About the bytes of a picture of `width` x `height` reduced for `options`, and fitted.
int64_t outputBytes(int64_t width, int64_t height, const HBImgDecodeOptions &options);

// Area-averages the region (x0, y0, w, h) of `src` (8, 24 or 32 bits) into a new picture of
// rw x rh. Hands one reference to *out.
int32_t resample(HBImg **out, HBImg *src, int32_t x0, int32_t y0, int32_t w, int32_t h,
                 int32_t rw, int32_t rh);

// With HBIMG_DECODE_FIT, replaces a picture larger than the box by one fitted inside it (area
// averaging, aspect kept). 0 or a negative code.
int32_t fitToBox(HBRef<HBImg> &img, const HBImgDecodeOptions &options);

// Reduces rows of 24-bit RGB by `divisor` in both directions into a picture, averaging each
// divisor x divisor block (partial blocks at the edges average what they hold). Rows may come top
// to bottom or bottom to top (each row once); rows never given stay black.
class RowReducer {
 public:
  RowReducer() = default;
  ~RowReducer();
  RowReducer(const RowReducer &) = delete;
  RowReducer &operator=(const RowReducer &) = delete;
  // Makes the picture (ceil(width / divisor) x ceil(height / divisor)). 0 or a negative code.
  int32_t begin(int32_t width, int32_t height, int32_t divisor);
  // Adds source row `y` (width x 3 bytes).
  void addRow(int32_t y, const uint8_t *rgb);
  // Finishes the last block row and hands the picture over. 0 or a negative code.
  int32_t finish(HBRef<HBImg> *out);
  int32_t divisor() const { return m_divisor; }

 private:
  void flush();
  HBRef<HBImg> m_img;
  uint64_t *m_sums = nullptr;
  int32_t m_width = 0, m_height = 0, m_divisor = 1, m_band = -1, m_rows = 0;
};

// The picture formats told apart by their first bytes.
enum Kind : int32_t {
  KIND_UNKNOWN = 0,
  KIND_JPEG,
  KIND_PNG,
  KIND_HEIF,  // HEIC, HEIF, AVIF
  KIND_WEBP,
  KIND_TIFF,  // TIFF, and raws built on it (told apart by the raw decoder)
  KIND_GIF,
  KIND_BMP,
  KIND_RAW,  // camera raws that are not TIFF files
};
Kind sniff(const uint8_t *head, int32_t length);

// The orientation (tag 0x0112 of IFD0, 1 to 8) in a TIFF-structured EXIF block, or 0.
int32_t exifOrientation(const uint8_t *tiff, size_t size);

// Random access to a picture whose first bytes were already read from a stream: through seeks
// of the stream when it can, else by holding the whole rest of it (up to kMaxHeldBytes).
class RandomSource {
 public:
  RandomSource() = default;
  ~RandomSource();
  RandomSource(const RandomSource &) = delete;
  RandomSource &operator=(const RandomSource &) = delete;
  // 0, -12 when the picture is too large to hold, or the stream's read error.
  int32_t open(const uint8_t *head, int32_t headLength, IHBStream *stream);
  // The stream to read from on (borrowed; changes between readHeader and decode).
  void setStream(IHBStream *stream) { m_stream = stream; }
  int64_t size() const { return m_size; }
  // Reads up to `length` bytes at `position`: the count read (short only at the end) or -1.
  int64_t readAt(void *buffer, int64_t length, int64_t position);
  // The whole picture in memory (read into it if needed), or null (-12 or read error in *rc).
  const uint8_t *all(int32_t *rc);
  // The stream's failure met by a read, or 0.
  int32_t error() const { return m_error; }

 private:
  IHBStream *m_stream = nullptr;
  int64_t m_base = 0, m_size = 0;
  uint8_t *m_held = nullptr;  // the whole picture, when held
  int32_t m_error = 0;
};

}  // namespace hbimg_detail

