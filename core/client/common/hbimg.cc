// HBImg, the decode-from-stream dispatch, orientation and the import's renditions.
#include "hbimg.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "brlog.h"
#include "hbimg_int.h"
#include "hbstream_int.h"

namespace {

const char kTag[] = "HBIMG";

// The first bytes of a stream, enough to recognise every format we decode.
constexpr int32_t kSniffBytes = 512;

// The import's thumbnail box.
constexpr int32_t kThumbBox = 160;

bool formatOf(int32_t bpp, int32_t *bytes, int32_t *align) {
  switch (bpp) {
    case 8:
      *bytes = 1, *align = 1;
      return true;
    case 15:
    case 16:
      *bytes = 2, *align = 2;
      return true;
    case 24:
      *bytes = 3, *align = 4;
      return true;
    case 32:
      *bytes = 4, *align = 4;
      return true;
    default:
      return false;
  }
}

// Reads until `length` bytes or the end; "not yet" answers are retried within the stream
// layer's budget. The bytes read, or the read error when none could be read.
int32_t readSome(IHBStream *stream, uint8_t *buffer, int32_t length) {
  int32_t got = 0;
  hbstream_detail::RetryBudget retry;
  while (got < length) {
    const int32_t n = stream->read(buffer + got, length - got);
    if (n < 0 && retry.again(n)) continue;
    if (n < 0) return got > 0 ? got : n;
    if (n == 0) break;
    retry.reset();
    got += n;
  }
  return got;
}

}  // namespace

int32_t HBImg::create(HBImg **out, int32_t width, int32_t height, int32_t bitsPerPixel,
                      int32_t minStride) {
  if (!out) return BR_EINVAL;
  int32_t bytes = 0, align = 0;
  if (width <= 0 || height <= 0 || minStride < 0 || !formatOf(bitsPerPixel, &bytes, &align))
    return BR_EINVAL;
  int64_t stride = static_cast<int64_t>(width) * bytes;
  if (stride < minStride) stride = minStride;
  stride = (stride + align - 1) / align * align;
  const int64_t size = stride * height;
  if (size > INT32_MAX) return BR_ENOSPC;
  brlog(kTag, BRLOG_VERBOSE, "Image %d x %d (%d) -- Allocating %d bytes\n", width, height,
        bitsPerPixel, static_cast<int32_t>(size));
  // calloc: large pictures come straight from the kernel as untouched zero pages, so rows a
  // failing decode never reaches cost nothing.
  uint8_t *pixels = static_cast<uint8_t *>(std::calloc(static_cast<size_t>(size), 1));
  if (!pixels) return BR_ENOMEM;
  HBImg *img = new (std::nothrow) HBImg;
  if (!img) {
    std::free(pixels);
    return BR_ENOMEM;
  }
  img->m_width = width;
  img->m_height = height;
  img->m_stride = static_cast<int32_t>(stride);
  img->m_bpp = bitsPerPixel;
  img->m_size = static_cast<int32_t>(size);
  img->m_pixels = pixels;
  *out = img;
  return BR_OK;
}

HBImg::~HBImg() {
  std::free(m_pixels);
  std::free(m_profile);
}

int32_t HBImg::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
  return BR_ENOENT;
}

int32_t HBImg::bytesPerPixel() const {
  int32_t bytes = 0, align = 0;
  return formatOf(m_bpp, &bytes, &align) ? bytes : 0;
}

int32_t HBImg::setProfile(const void *data, int32_t length) {
  uint8_t *copy = nullptr;
  if (data && length > 0) {
    copy = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(length)));
    if (!copy) return BR_ENOMEM;
    std::memcpy(copy, data, static_cast<size_t>(length));
  }
  std::free(m_profile);
  m_profile = copy;
  m_profileLength = copy ? length : 0;
  return BR_OK;
}

namespace {

int32_t newDecoder(hbimg_detail::Kind kind, IHBImgDecoder **out) {
  using namespace hbimg_detail;
  switch (kind) {
    case KIND_JPEG:
      return HBImageDecoderJPEG__new(out);
    case KIND_PNG:
      return HBImageDecoderPNG__new(out);
    case KIND_HEIF:
      return HBImageDecoderHEIF__new(out);
    case KIND_WEBP:
      return HBImageDecoderWebP__new(out);
    case KIND_TIFF:
      return HBImageDecoderTIFF__new(out);
    case KIND_GIF:
      return HBImageDecoderGIF__new(out);
    case KIND_BMP:
      return HBImageDecoderBMP__new(out);
    case KIND_RAW:
      return HBImageDecoderRaw__new(out);
    default:
      return BR_ENOENT;
  }
}

// Sniffs the stream and reads the header with the decoder of its format. A TIFF is first offered
// to the raw decoder, which declines (-3) what no camera made; the stream is then put back after
// the head for the TIFF decoder, when it can seek.
int32_t openDecoder(IHBStream *stream, const HBImgDecodeOptions &options,
                    HBRef<IHBImgDecoder> *decoder, int32_t *width, int32_t *height) {
  const int64_t start = stream->seek(0, HBSTREAM_SEEK_CUR);
  uint8_t head[kSniffBytes];
  const int32_t n = readSome(stream, head, kSniffBytes);
  if (n < 0) return n;
  if (n == 0) return BR_EOF;
  const hbimg_detail::Kind kind = hbimg_detail::sniff(head, n);
  if (kind == hbimg_detail::KIND_UNKNOWN) return BR_ENOENT;
  if (kind == hbimg_detail::KIND_TIFF && start >= 0) {
    HBRef<IHBImgDecoder> raw;
    int32_t rc = newDecoder(hbimg_detail::KIND_RAW, raw.out());
    if (rc < 0) return rc;
    rc = raw->readHeader(options, head, n, stream, width, height);
    if (rc != BR_ENOENT) {
      if (rc >= 0) *decoder = std::move(raw);
      return rc;
    }
    if (stream->seek(start + n, HBSTREAM_SEEK_SET) != start + n) return BR_EIO;
  }
  HBRef<IHBImgDecoder> d;
  int32_t rc = newDecoder(kind, d.out());
  if (rc < 0) return rc;
  rc = d->readHeader(options, head, n, stream, width, height);
  if (rc >= 0) *decoder = std::move(d);
  return rc;
}

// A decode holds blocks of every size up to hundreds of MB, often on a thread of the import's
// look-ahead. glibc raises its mmap threshold to the size of each large block freed (up to
// 32 MB); blocks of a few MB then come from the threads' heaps, where they fragment and stay
// resident: a 50-megapixel HEIC decoded after a progressive JPEG took 30 MB more than alone. With
// the threshold fixed, every block of 1 MB or more is mapped on its own and given back when freed.
void keepLargeBlocksMapped() {
#if defined(__GLIBC__)
  static std::once_flag once;
  std::call_once(once, [] { mallopt(M_MMAP_THRESHOLD, 1 << 20); });
#endif
}

}  // namespace

int32_t hbimg__decodeStreamWith(HBImg **out, IHBStream *stream, const HBImgDecodeOptions &options) {
  if (!out || !stream) return BR_EINVAL;
  keepLargeBlocksMapped();
  HBRef<IHBImgDecoder> decoder;
  const int32_t rc = openDecoder(stream, options, &decoder, nullptr, nullptr);
  if (rc < 0) return rc;
  return decoder->decode(out, options, stream);
}

int32_t hbimg__probe(IHBStream *stream, HBImgProbe *out) {
  if (!out || !stream) return BR_EINVAL;
  *out = HBImgProbe{};
  keepLargeBlocksMapped();
  HBRef<IHBImgDecoder> decoder;
  const HBImgDecodeOptions options;
  const int32_t rc = openDecoder(stream, options, &decoder, &out->width, &out->height);
  if (rc < 0) return rc;
  out->decodeBytes = decoder->decodeBytes(options);
  return BR_OK;
}

int32_t hbimg__decodeStream(HBImg **out, IHBStream *stream) {
  return hbimg__decodeStreamWith(out, stream, HBImgDecodeOptions{});
}

int32_t hbimg__orient(HBImg **out, HBImg *src, int32_t orientation) {
  if (!out || !src) return BR_EINVAL;
  if (orientation < 2 || orientation > 8) {
    src->upref();
    *out = src;
    return BR_OK;
  }
  const int32_t w = src->width(), h = src->height(), bpp = src->bytesPerPixel();
  if (bpp == 0) return BR_EUNSUPPORTED;
  const bool turned = orientation >= 5;
  HBRef<HBImg> dst;
  int32_t rc = HBImg::create(dst.out(), turned ? h : w, turned ? w : h, src->bitsPerPixel());
  if (rc < 0) return rc;
  rc = dst->setProfile(src->profile(), src->profileLength());
  if (rc < 0) return rc;
  // For each displayed pixel (x, y), the stored pixel it shows: the walk starts at a corner of
  // the stored picture, a step along a displayed row moves by (dx, dy) in it, a step down a
  // displayed column by (rx, ry).
  struct Walk {
    bool right, bottom;
    int32_t dx, dy, rx, ry;
  };
  static const Walk kWalks[9] = {{},
                                 {},
                                 {true, false, -1, 0, 0, 1},
                                 {true, true, -1, 0, 0, -1},
                                 {false, true, 1, 0, 0, -1},
                                 {false, false, 0, 1, 1, 0},
                                 {false, true, 0, -1, 1, 0},
                                 {true, true, 0, -1, -1, 0},
                                 {true, false, 0, 1, -1, 0}};
  const Walk &k = kWalks[orientation];
  const int32_t x0 = k.right ? w - 1 : 0, y0 = k.bottom ? h - 1 : 0;
  // Offsets from the first pixel: stepping with them never forms a pointer outside the rows.
  const int64_t step = static_cast<int64_t>(k.dy) * src->stride() + k.dx * bpp;
  const int64_t down = static_cast<int64_t>(k.ry) * src->stride() + k.rx * bpp;
  const uint8_t *base = src->pixels();
  int64_t first = static_cast<int64_t>(y0) * src->stride() + static_cast<int64_t>(x0) * bpp;
  for (int32_t y = 0; y < dst->height(); ++y, first += down) {
    uint8_t *d = dst->row(y);
    int64_t s = first;
    if (bpp == 3) {
      for (int32_t x = 0; x < dst->width(); ++x, d += 3, s += step) {
        d[0] = base[s], d[1] = base[s + 1], d[2] = base[s + 2];
      }
    } else {
      for (int32_t x = 0; x < dst->width(); ++x, d += bpp, s += step)
        std::memcpy(d, base + s, static_cast<size_t>(bpp));
    }
  }
  *out = dst.detach();
  return BR_OK;
}

namespace {

// Encodes `img` into a new temporary file, left positioned at its start.
int32_t encodeToTemp(HBImg *img, HBRef<IHBStream> *file, int64_t *size) {
  HBRef<IHBStream> tmp;
  int32_t rc = hbstream__openTemp(tmp.out(), nullptr);
  if (rc < 0) return rc;
  rc = hbimg__encodeJpeg(img, tmp.get());
  if (rc < 0) return rc;
  if (tmp->seek(0, HBSTREAM_SEEK_SET) != 0) return BR_EIO;
  *size = rc;
  *file = std::move(tmp);
  return BR_OK;
}

}  // namespace

int32_t hbimg__makeRenditions(IHBStream *picture, int32_t orientation, uint32_t which,
                              HBImgRenditions *out) {
  if (!out) return BR_EINVAL;
  *out = HBImgRenditions{};
  if (!picture) return BR_EINVAL;
  HBRef<HBImg> decoded, upright;
  HBImgDecodeOptions options;
  if (orientation == HBIMG_ORIENT_FROM_PICTURE) options.flags |= HBIMG_DECODE_ORIENTATION;
  int32_t rc = hbimg__decodeStreamWith(decoded.out(), picture, options);
  if (rc < 0) {
    out->decodeFailed = true;
    return rc;
  }
  if (orientation == HBIMG_ORIENT_FROM_PICTURE) orientation = decoded->exifOrientation();
  // A JPEG too large for the library's 1/8 still comes out over the box.
  rc = hbimg_detail::fitToBox(decoded, options);
  if (rc >= 0) rc = hbimg__orient(upright.out(), decoded.get(), orientation);
  decoded.reset();
  HBImgRenditions made;
  if (rc >= 0) {
    made.width = upright->width();
    made.height = upright->height();
  }
  if (rc >= 0 && (which & HBIMG_RENDITION_PV))
    rc = encodeToTemp(upright.get(), &made.pv, &made.pvSize);
  if (rc >= 0 && (which & HBIMG_RENDITION_TN)) {
    HBRef<HBImg> thumb;
    rc = hbimg__thumbnail(thumb.out(), upright.get(), kThumbBox, kThumbBox, HBIMG_THUMB_SQUARE);
    if (rc >= 0) rc = encodeToTemp(thumb.get(), &made.tn, &made.tnSize);
  }
  if (rc < 0) return rc;
  *out = std::move(made);
  return BR_OK;
}
