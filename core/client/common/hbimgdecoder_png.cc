// HBImageDecoderPNG: libpng fed from a core stream, every picture converted to 24-bit RGB.
//
// libpng ends a failed call by longjmp to png_jmpbuf. As for JPEG, every library call is made
// from a phase function (pngHeader, pngSetup, pngScan) that is the only frame between its setjmp
// and the library and holds nothing but plain values; the state lives in a PngJob that outlives
// the jump. The read callback raises png_error only after its own reading helper has returned,
// so a jump never leaves through a frame with anything to destroy.
#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

// clang-format off
#include <png.h>
// clang-format on

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_int.h"
#include "hbstream_int.h"

namespace {

const char kTag[] = "IMGPNG";

// No side may exceed what a JPEG can hold; libpng's row buffers grow with the width.
constexpr uint32_t kMaxSide = 65535;

struct PngJob {
  png_structp png;
  png_infop info;
  IHBStream *stream;  // borrowed for the duration of one call
  uint8_t *head;      // a copy of the bytes read before the header, consumed first
  int32_t headLength, headPos;
  int32_t readError;  // the stream's failure, or 0
  bool headerRead;
  int passes;
};

void pngError(png_structp png, png_const_charp message) {
  brlog(kTag, BRLOG_ERROR, "PNG ERROR: %s\n", message);
  png_longjmp(png, 1);
}

void pngWarning(png_structp png, png_const_charp message) {
  brlog(kTag, BRLOG_WARNING, "PNG WARN: %s\n", message);
  // A damaged colour profile is refused rather than dropped.
  if (std::strstr(message, "iCCP: CRC error")) png_error(png, message);
}

// Fills `data` with exactly `length` bytes: the saved head first, then the stream. False at the
// end of the stream or on a read error (kept in the job).
bool fill(PngJob *job, uint8_t *data, size_t length) {
  while (length > 0 && job->headPos < job->headLength) {
    const size_t n = std::min(length, static_cast<size_t>(job->headLength - job->headPos));
    std::memcpy(data, job->head + job->headPos, n);
    job->headPos += static_cast<int32_t>(n);
    data += n;
    length -= n;
  }
  hbstream_detail::RetryBudget retry;
  while (length > 0) {
    if (!job->stream) return false;
    const int32_t want = length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
    const int32_t n = job->stream->read(data, want);
    if (n < 0 && retry.again(n)) continue;
    if (n < 0) job->readError = n;
    if (n <= 0) return false;
    retry.reset();
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void pngRead(png_structp png, png_bytep data, size_t length) {
  PngJob *job = static_cast<PngJob *>(png_get_io_ptr(png));
  if (!fill(job, data, length))
    png_error(png, job->readError < 0 ? "Read error" : "Unexpected end of data");
}

int32_t failure(const PngJob *job) {
  return job->readError < 0 ? job->readError : BR_EUNSPEC;
}

// Phase 1: reads the chunks up to the image data.
int32_t pngHeader(PngJob *job, uint32_t *width, uint32_t *height) {
  if (setjmp(png_jmpbuf(job->png))) return failure(job);
  // Text and palette suggestion chunks may repeat and decompress; nothing here needs them.
  static const png_byte kIgnored[] = "tEXt\0zTXt\0iTXt\0sPLT";
  png_set_keep_unknown_chunks(job->png, PNG_HANDLE_CHUNK_NEVER, kIgnored, 4);
  png_set_read_fn(job->png, job, pngRead);
  png_read_info(job->png, job->info);
  *width = png_get_image_width(job->png, job->info);
  *height = png_get_image_height(job->png, job->info);
  return BR_OK;
}

// Phase 2: asks for 8-bit RGB and tells the resulting bits per pixel.
int32_t pngSetup(PngJob *job, int *bits) {
  if (setjmp(png_jmpbuf(job->png))) return failure(job);
  png_structp png = job->png;
  png_infop info = job->info;
  const int type = png_get_color_type(png, info);
  const int depth = png_get_bit_depth(png, info);
  // Palettes of any depth to RGB, gray (with or without alpha) to RGB, 16 bits to 8.
  if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  if (depth == 16) png_set_scale_16(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  png_set_strip_alpha(png);
  job->passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  *bits = png_get_channels(png, info) * png_get_bit_depth(png, info);
  return BR_OK;
}

// Phase 3b: reads the rows of a picture that is not interlaced one at a time into `row`, each
// handed to `reducer`.
int32_t pngRows(PngJob *job, uint8_t *row, int32_t rows, hbimg_detail::RowReducer *reducer) {
  if (setjmp(png_jmpbuf(job->png))) return failure(job);
  for (int32_t y = 0; y < rows; ++y) {
    png_read_row(job->png, row, nullptr);
    reducer->addRow(y, row);
  }
  return BR_OK;
}

// Phase 3: reads every pass of every row into `pixels`.
int32_t pngScan(PngJob *job, uint8_t *pixels, int32_t stride, int32_t rows) {
  if (setjmp(png_jmpbuf(job->png))) return failure(job);
  for (int pass = 0; pass < job->passes; ++pass) {
    for (int32_t y = 0; y < rows; ++y)
      png_read_row(job->png, pixels + static_cast<size_t>(y) * stride, nullptr);
  }
  return BR_OK;
}

class HBImageDecoderPNG final : public hbimg_detail::DecoderObject<HBImageDecoderPNG> {
 public:
  int32_t readHeader(const HBImgDecodeOptions &, const uint8_t *head, int32_t headLength,
                     IHBStream *stream, int32_t *width, int32_t *height) override {
    if (m_job.png || !stream || headLength < 0 || (!head && headLength > 0)) return BR_EINVAL;
    const size_t sigLength = headLength < 8 ? static_cast<size_t>(headLength) : 8;
    if (sigLength > 0 && png_sig_cmp(head, 0, sigLength) != 0) return BR_EUNSUPPORTED;
    if (headLength > 0) {
      m_job.head = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(headLength)));
      if (!m_job.head) return BR_ENOMEM;
      std::memcpy(m_job.head, head, static_cast<size_t>(headLength));
      m_job.headLength = headLength;
    }
    m_job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &m_job, pngError, pngWarning);
    if (m_job.png) m_job.info = png_create_info_struct(m_job.png);
    if (!m_job.info) return BR_ENOMEM;
    m_job.stream = stream;
    uint32_t w = 0, h = 0;
    int32_t rc = pngHeader(&m_job, &w, &h);
    m_job.stream = nullptr;
    if (rc >= 0 && (w > kMaxSide || h > kMaxSide || int64_t{w} * h > HBIMG_MAX_PIXELS)) {
      brlog(kTag, BRLOG_ERROR, "Image too large to decode: %d x %d (scaled %d x %d)\n",
            static_cast<int>(w), static_cast<int>(h), static_cast<int>(w), static_cast<int>(h));
      rc = BR_ENOSPC;
    }
    if (rc < 0) {
      if (rc != BR_ENOSPC) brlog(kTag, BRLOG_ERROR, "Failed decoding PNG!\n");
      return rc;
    }
    m_job.headerRead = true;
    if (width) *width = static_cast<int32_t>(w);
    if (height) *height = static_cast<int32_t>(h);
    return BR_OK;
  }

  int64_t decodeBytes(const HBImgDecodeOptions &options) override {
    if (!m_job.headerRead) return 0;
    const int64_t w = png_get_image_width(m_job.png, m_job.info);
    const int64_t h = png_get_image_height(m_job.png, m_job.info);
    if (png_get_interlace_type(m_job.png, m_job.info) != PNG_INTERLACE_NONE)
      return w * h * 3 + hbimg_detail::outputBytes(w, h, options);
    return hbimg_detail::outputBytes(w, h, options) + w * 8;
  }

  int32_t decode(HBImg **out, const HBImgDecodeOptions &options, IHBStream *stream) override {
    if (!out || !stream) return BR_EINVAL;
    if (!m_job.headerRead) return BR_EBADSTATE;
    m_job.headerRead = false;  // one decode per header
    m_job.stream = stream;
    HBRef<HBImg> img;
    const int32_t rc = decodeInto(img, options);
    m_job.stream = nullptr;
    if (rc < 0) return rc;
    *out = img.detach();
    return BR_OK;
  }

 private:
  friend class HBObject<HBImageDecoderPNG, IHBImgDecoder>;
  ~HBImageDecoderPNG() override {
    if (m_job.png) png_destroy_read_struct(&m_job.png, m_job.info ? &m_job.info : nullptr, nullptr);
    std::free(m_job.head);
  }

  int32_t decodeInto(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    int bits = 0;
    int32_t rc = pngSetup(&m_job, &bits);
    if (rc >= 0 && bits != 24) {
      brlog(kTag, BRLOG_ERROR, "Unsupported bit depth: %d\n", bits);
      return BR_EUNSPEC;
    }
    const int32_t w = static_cast<int32_t>(png_get_image_width(m_job.png, m_job.info));
    const int32_t h = static_cast<int32_t>(png_get_image_height(m_job.png, m_job.info));
    if (rc >= 0 && m_job.passes == 1) {
      // Reduced row by row: a large picture is never held whole.
      hbimg_detail::RowReducer reducer;
      rc = reducer.begin(w, h, hbimg_detail::reduceDivisor(w, h, options));
      uint8_t *row = rc >= 0 ? static_cast<uint8_t *>(std::malloc(static_cast<size_t>(w) * 3)) : nullptr;
      if (rc >= 0 && !row) rc = BR_ENOMEM;
      if (rc >= 0) rc = pngRows(&m_job, row, h, &reducer);
      std::free(row);
      if (rc >= 0) rc = reducer.finish(&img);
    } else if (rc >= 0) {
      rc = HBImg::create(img.out(), w, h, 24);
      if (rc < 0) return rc;
      rc = pngScan(&m_job, img->pixels(), img->stride(), img->height());
    }
    if (rc >= 0) rc = hbimg_detail::fitToBox(img, options);
    if (rc < 0) brlog(kTag, BRLOG_ERROR, "Failed decoding PNG!\n");
    return rc;
  }

  PngJob m_job{};
};

}  // namespace

int32_t HBImageDecoderPNG__new(IHBImgDecoder **out) {
  return hbimg_detail::newDecoder<HBImageDecoderPNG>(out);
}
