// HBImageDecoderJPEG: libjpeg fed from a core stream, scaled by the library while decoding.
//
// libjpeg reports a fatal error by calling error_exit, which must not return; ours longjmps back
// to the setjmp of the call in progress. C++ must never be unwound that way, so every library
// call is made from one of the phase functions below (jpegHeader, jpegScan, jpegProfile), each
// the only frame between its setjmp and the library, holding nothing but plain values: all the
// state lives in a calloc'd JpegJob that outlives the jump. The stream callbacks never jump;
// they record a read failure and report "no more data", which the phases turn into a result.
#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_int.h"
#include "hbstream_int.h"

namespace {

const char kTag[] = "IMGJPEG";

constexpr int32_t kSourceBuffer = 8192;
// The library's own working memory (the whole-image coefficients of a progressive JPEG): enough
// for a progressive photo of about 80 megapixels. A larger picture (a stitched panorama) gets
// what its coefficients take, up to a ceiling, when the file is big enough to hold such a
// picture: a small file whose header claims gigabytes still fails instead of asking for them.
std::atomic<long> g_libraryMemory{256L << 20};
constexpr long kLibraryCeiling = 1L << 30;
// A photo's coefficients take at most about this many times its file's bytes (a very smooth
// picture compresses that well; real photos take 6-30 times).
constexpr int64_t kCoefficientsPerFileByte = 64;
constexpr int kMaxDivisor = 8;

struct JpegSource {
  jpeg_source_mgr pub;
  IHBStream *stream;  // borrowed for the duration of one call
  int32_t readError;  // the stream's failure, or 0
  bool ended;
  int64_t total;
  JOCTET buffer[kSourceBuffer];
};

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

struct JpegJob {
  jpeg_decompress_struct cinfo;
  JpegError err;
  JpegSource src;
  bool created;
  bool headerRead;
  // The picture data ended (at a marker) with more than the last row of blocks to come.
  bool dataEnded;
  // CMYK or YCCK pictures come out as CMYK into `band` (16 rows) and are turned into RGB;
  // Adobe's files store the inks inverted.
  bool cmyk, inverted;
  uint8_t *band;
  long libraryMemory;  // what the library may allocate for this picture
};

void sourceInit(j_decompress_ptr) {}
void sourceTerm(j_decompress_ptr) {}

boolean sourceFill(j_decompress_ptr cinfo) {
  JpegSource *src = reinterpret_cast<JpegSource *>(cinfo->src);
  if (src->ended || !src->stream) return FALSE;
  hbstream_detail::RetryBudget retry;
  for (;;) {
    const int32_t n = src->stream->read(src->buffer, kSourceBuffer);
    if (n > 0) {
      src->pub.next_input_byte = src->buffer;
      src->pub.bytes_in_buffer = static_cast<size_t>(n);
      src->total += n;
      return TRUE;
    }
    if (n < 0 && retry.again(n)) continue;
    if (n < 0) {
      brlog(kTag, BRLOG_WARNING, "Error while reading: %d\n", n);
      src->readError = n;
    } else {
      brlog(kTag, BRLOG_WARNING, "EOF while reading: %d\n", static_cast<int>(src->total));
    }
    // Returning FALSE suspends the library; the phases treat a suspension as the end.
    src->ended = true;
    return FALSE;
  }
}

void sourceSkip(j_decompress_ptr cinfo, long count) {
  JpegSource *src = reinterpret_cast<JpegSource *>(cinfo->src);
  while (count > 0) {
    if (src->pub.bytes_in_buffer == 0 && !sourceFill(cinfo)) return;
    const size_t n = static_cast<size_t>(count) < src->pub.bytes_in_buffer
                         ? static_cast<size_t>(count)
                         : src->pub.bytes_in_buffer;
    src->pub.next_input_byte += n;
    src->pub.bytes_in_buffer -= n;
    count -= static_cast<long>(n);
  }
}

void errorExit(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  brlog(kTag, BRLOG_VERBOSE, "libjpeg: %s\n", text);
  longjmp(reinterpret_cast<JpegError *>(cinfo->err)->jump, 1);
}

// Warnings (corrupt data that the library works around) go to the debug log, not stderr.
void outputMessage(j_common_ptr cinfo) {
  if (!brlog__enabled(BRLOG_DEBUG)) return;
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  brlog(kTag, BRLOG_DEBUG, "libjpeg: %s\n", text);
}

// When the picture data stops at a marker, the library warns once and fills the rest with grey.
// That is a truncated picture, and a tiny file claiming a huge one would cost seconds of grey:
// only an unfinished last row of blocks (some encoders end a few bits short) is let through.
void emitMessage(j_common_ptr cinfo, int level) {
  if (level < 0 && cinfo->is_decompressor && cinfo->err->msg_code == JWRN_HIT_MARKER) {
    j_decompress_ptr d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_iMCU_row + 1 < d->total_iMCU_rows)
      static_cast<JpegJob *>(cinfo->client_data)->dataEnded = true;
  }
  if (level < 0 && cinfo->err->num_warnings++ > 0) return;
  if (level <= 0) outputMessage(cinfo);
}

int32_t failure(const JpegJob *job) {
  return job->src.readError < 0 ? job->src.readError : BR_EUNSPEC;
}

// Phase 1: creates the decompressor and reads the header.
int32_t jpegHeader(JpegJob *job, uint32_t flags) {
  job->cinfo.err = jpeg_std_error(&job->err.pub);
  job->err.pub.error_exit = errorExit;
  job->err.pub.output_message = outputMessage;
  job->err.pub.emit_message = emitMessage;
  job->cinfo.client_data = job;
  if (setjmp(job->err.jump)) return failure(job);
  job->created = true;
  jpeg_create_decompress(&job->cinfo);
  job->libraryMemory = g_libraryMemory.load();
  job->cinfo.mem->max_memory_to_use = job->libraryMemory;
  job->src.pub.init_source = sourceInit;
  job->src.pub.fill_input_buffer = sourceFill;
  job->src.pub.skip_input_data = sourceSkip;
  job->src.pub.resync_to_restart = jpeg_resync_to_restart;
  job->src.pub.term_source = sourceTerm;
  job->cinfo.src = &job->src.pub;
  if (flags & HBIMG_DECODE_KEEP_PROFILE) jpeg_save_markers(&job->cinfo, JPEG_APP0 + 2, 0xFFFF);
  if (flags & HBIMG_DECODE_ORIENTATION) jpeg_save_markers(&job->cinfo, JPEG_APP0 + 1, 0xFFFF);
  if (jpeg_read_header(&job->cinfo, TRUE) != JPEG_HEADER_OK) return failure(job);
  job->cmyk = job->cinfo.jpeg_color_space == JCS_CMYK || job->cinfo.jpeg_color_space == JCS_YCCK;
  job->inverted = job->cinfo.saw_Adobe_marker;
  job->cinfo.out_color_space = job->cmyk ? JCS_CMYK : JCS_RGB;
  job->cinfo.dct_method = JDCT_IFAST;
  job->cinfo.do_fancy_upsampling = FALSE;
  return BR_OK;
}

// Phase 2: the output size for `divisor`.
int32_t jpegScale(JpegJob *job, int divisor) {
  if (setjmp(job->err.jump)) return failure(job);
  job->cinfo.scale_num = 1;
  job->cinfo.scale_denom = static_cast<unsigned int>(divisor);
  jpeg_calc_output_dimensions(&job->cinfo);
  return BR_OK;
}

// Phase 3: the ICC profile assembled from its APP2 markers (malloc'd by the library), if any.
int32_t jpegProfile(JpegJob *job, JOCTET **data, unsigned int *length) {
  *data = nullptr;
  *length = 0;
  if (setjmp(job->err.jump)) return failure(job);
  if (!jpeg_read_icc_profile(&job->cinfo, data, length)) *length = 0;
  return BR_OK;
}

// Ink to light: each of C, M, Y removes its colour, scaled by the black. Plain CMYK stores ink
// amounts, Adobe's files their inverse.
void cmykToRgb(const JpegJob *job, JSAMPROW *lines, unsigned int rows, uint8_t *out, int32_t stride) {
  const unsigned int w = job->cinfo.output_width;
  for (unsigned int r = 0; r < rows; ++r, out += stride) {
    const JSAMPLE *p = lines[r];
    uint8_t *o = out;
    for (unsigned int x = 0; x < w; ++x, p += 4, o += 3) {
      unsigned int c = p[0], m = p[1], y = p[2], k = p[3];
      if (!job->inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
      o[0] = static_cast<uint8_t>((c * k + 127) / 255);
      o[1] = static_cast<uint8_t>((m * k + 127) / 255);
      o[2] = static_cast<uint8_t>((y * k + 127) / 255);
    }
  }
}

// Phase 4: decodes every scan line into `pixels`; *rows tells how many arrived.
int32_t jpegScan(JpegJob *job, uint8_t *pixels, int32_t stride, int32_t *rows) {
  jpeg_decompress_struct *cinfo = &job->cinfo;
  *rows = 0;
  if (setjmp(job->err.jump)) {
    brlog(kTag, BRLOG_ERROR, "Error while decoding JPEG: scan %d of %d\n",
          static_cast<int>(cinfo->output_scanline), static_cast<int>(cinfo->output_height));
    *rows = static_cast<int32_t>(cinfo->output_scanline);
    return failure(job);
  }
  // A progressive JPEG is read whole here; running out of data suspends before any line.
  bool ok = jpeg_start_decompress(cinfo) && !job->dataEnded;
  while (ok && cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW lines[16];
    const unsigned int first = cinfo->output_scanline;
    unsigned int n = cinfo->output_height - first;
    if (n > 16) n = 16;
    for (unsigned int i = 0; i < n; ++i)
      lines[i] = job->cmyk ? job->band + static_cast<size_t>(i) * cinfo->output_width * 4
                           : pixels + static_cast<size_t>(first + i) * stride;
    const unsigned int got = jpeg_read_scanlines(cinfo, lines, n);
    if (got == 0 || job->dataEnded) ok = false;
    if (job->cmyk) cmykToRgb(job, lines, got, pixels + static_cast<size_t>(first) * stride, stride);
  }
  if (!ok) brlog(kTag, BRLOG_ERROR, "FAILED TO READ SCANLINE!\n");
  *rows = static_cast<int32_t>(cinfo->output_scanline);
  brlog(kTag, BRLOG_VERBOSE, "Decoded %d of %d scanlines\n", *rows,
        static_cast<int>(cinfo->output_height));
  // A picture with missing lines is a failure, not a picture: the rest would be blank.
  return ok ? BR_OK : failure(job);
}

// The orientation tag (0x0112) of IFD0 in an APP1 "Exif" marker, or 0.
int32_t exifOrientation(const jpeg_saved_marker_ptr markers) {
  for (jpeg_saved_marker_ptr m = markers; m; m = m->next) {
    if (m->marker != JPEG_APP0 + 1 || m->data_length < 14 ||
        std::memcmp(m->data, "Exif\0\0", 6) != 0)
      continue;
    const int32_t o = hbimg_detail::exifOrientation(m->data + 6, m->data_length - 6);
    if (o) return o;
  }
  return 0;
}

int64_t scaled(uint32_t size, int divisor) {
  return (static_cast<int64_t>(size) + divisor - 1) / divisor;
}

// The library's divisor (1, 2, 4 or 8) for the box, then for the pixel bound.
int chooseDivisor(uint32_t w, uint32_t h, const HBImgDecodeOptions &options) {
  const int64_t bw = options.boxWidth, bh = options.boxHeight;
  int d = 1;
  if (options.flags & HBIMG_DECODE_FIT) {
    while (d < kMaxDivisor && (scaled(w, d) > bw || scaled(h, d) > bh)) d *= 2;
  } else {
    while (d < kMaxDivisor && (scaled(w, d * 2) > bw || scaled(h, d * 2) > bh)) d *= 2;
  }
  while (d < kMaxDivisor && scaled(w, d) * scaled(h, d) > HBIMG_MAX_PIXELS) d *= 2;
  return d;
}

class HBImageDecoderJPEG final : public hbimg_detail::DecoderObject<HBImageDecoderJPEG> {
 public:
  int32_t readHeader(const HBImgDecodeOptions &options, const uint8_t *head, int32_t headLength,
                     IHBStream *stream, int32_t *width, int32_t *height) override {
    if (m_job || !stream || headLength < 0 || headLength > kSourceBuffer ||
        (!head && headLength > 0))
      return BR_EINVAL;
    m_job = static_cast<JpegJob *>(std::calloc(1, sizeof(JpegJob)));
    if (!m_job) return BR_ENOMEM;
    // The bytes already read are the first buffer the library sees.
    if (headLength > 0) std::memcpy(m_job->src.buffer, head, static_cast<size_t>(headLength));
    m_job->src.pub.next_input_byte = m_job->src.buffer;
    m_job->src.pub.bytes_in_buffer = static_cast<size_t>(headLength);
    m_job->src.total = headLength;
    m_job->src.stream = stream;
    const int32_t rc = jpegHeader(m_job, options.flags);
    m_job->src.stream = nullptr;
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "Error while reading header!\n");
      return rc;
    }
    allowCoefficients(stream);
    m_job->headerRead = true;
    if (width) *width = static_cast<int32_t>(m_job->cinfo.image_width);
    if (height) *height = static_cast<int32_t>(m_job->cinfo.image_height);
    return BR_OK;
  }

  int64_t decodeBytes(const HBImgDecodeOptions &options) override {
    if (!m_job || !m_job->headerRead) return 0;
    const jpeg_decompress_struct &c = m_job->cinfo;
    const int d = chooseDivisor(c.image_width, c.image_height, options);
    int64_t bytes = scaled(c.image_width, d) * scaled(c.image_height, d) * 3 + (1 << 20);
    // A progressive picture is held as coefficients of every block (64 of 2 bytes).
    if (c.progressive_mode || c.buffered_image)
      for (int i = 0; i < c.num_components; ++i)
        bytes += int64_t{c.comp_info[i].width_in_blocks} * c.comp_info[i].height_in_blocks * 128;
    return std::min<int64_t>(bytes, m_job->libraryMemory + bytes / 4);
  }

  // A progressive picture whose coefficients need more than the usual working memory gets it
  // when its file is large enough to be such a picture and the machine has the memory.
  void allowCoefficients(IHBStream *stream) {
    const jpeg_decompress_struct &c = m_job->cinfo;
    if (!c.progressive_mode && !c.buffered_image) return;
    int64_t need = 16 << 20;  // the library's other tables and buffers
    for (int i = 0; i < c.num_components; ++i)
      need += int64_t{c.comp_info[i].width_in_blocks} * c.comp_info[i].height_in_blocks * 128;
    if (need <= m_job->libraryMemory) return;
    const int64_t at = stream->seek(0, HBSTREAM_SEEK_CUR);
    const int64_t end = at >= 0 ? stream->seek(0, HBSTREAM_SEEK_END) : -1;
    if (at < 0 || stream->seek(at, HBSTREAM_SEEK_SET) != at || end < 0) return;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const int64_t machine = pages > 0 && pageSize > 0 ? int64_t{pages} * pageSize / 4 : 0;
    const int64_t limit = std::min({int64_t{kLibraryCeiling}, end * kCoefficientsPerFileByte, machine});
    if (need > limit) {
      brlog(kTag, BRLOG_WARNING, "A progressive picture of %ux%u needs %lld MB to decode: refused\n",
            c.image_width, c.image_height, static_cast<long long>(need >> 20));
      return;
    }
    m_job->libraryMemory = static_cast<long>(need);
    m_job->cinfo.mem->max_memory_to_use = m_job->libraryMemory;
  }

  int32_t decode(HBImg **out, const HBImgDecodeOptions &options, IHBStream *stream) override {
    if (!out || !stream) return BR_EINVAL;
    if (!m_job || !m_job->headerRead) return BR_EBADSTATE;
    m_job->headerRead = false;  // one decode per header
    m_job->src.stream = stream;
    HBRef<HBImg> img;
    const int32_t rc = decodeInto(img, options);
    m_job->src.stream = nullptr;
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "FAILED DECODING: %d\n", rc);
      return rc;
    }
    *out = img.detach();
    return BR_OK;
  }

 private:
  friend class HBObject<HBImageDecoderJPEG, IHBImgDecoder>;
  ~HBImageDecoderJPEG() override {
    if (!m_job) return;
    if (m_job->created) jpeg_destroy_decompress(&m_job->cinfo);
    std::free(m_job->band);
    std::free(m_job);
  }

  int32_t decodeInto(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    jpeg_decompress_struct &cinfo = m_job->cinfo;
    const int divisor = chooseDivisor(cinfo.image_width, cinfo.image_height, options);
    int32_t rc = jpegScale(m_job, divisor);
    if (rc < 0) return rc;
    const int64_t pixels = int64_t{cinfo.output_width} * cinfo.output_height;
    if (pixels > HBIMG_MAX_PIXELS || cinfo.output_width > INT32_MAX ||
        cinfo.output_height > INT32_MAX) {
      brlog(kTag, BRLOG_ERROR, "Image too large to decode: %d x %d (scaled %d x %d)\n",
            static_cast<int>(cinfo.image_width), static_cast<int>(cinfo.image_height),
            static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height));
      return BR_ENOSPC;
    }
    rc = HBImg::create(img.out(), static_cast<int32_t>(cinfo.output_width),
                       static_cast<int32_t>(cinfo.output_height), 24);
    if (rc < 0) return rc;
    if (m_job->cmyk) {
      m_job->band = static_cast<uint8_t *>(std::malloc(size_t{cinfo.output_width} * 4 * 16));
      if (!m_job->band) return BR_ENOMEM;
    }
    if (options.flags & HBIMG_DECODE_ORIENTATION)
      img->setExifOrientation(exifOrientation(cinfo.marker_list));
    if (options.flags & HBIMG_DECODE_KEEP_PROFILE) {
      JOCTET *icc = nullptr;
      unsigned int iccLength = 0;
      rc = jpegProfile(m_job, &icc, &iccLength);
      if (rc >= 0 && iccLength > 0 && iccLength <= INT32_MAX) {
        brlog(kTag, BRLOG_VERBOSE, "Image has ICC data of length %u\n", iccLength);
        rc = img->setProfile(icc, static_cast<int32_t>(iccLength));
      }
      std::free(icc);
      if (rc < 0) return rc;
    }
    int32_t rows = 0;
    return jpegScan(m_job, img->pixels(), img->stride(), &rows);
  }

  JpegJob *m_job = nullptr;
};

}  // namespace

int32_t HBImageDecoderJPEG__new(IHBImgDecoder **out) {
  return hbimg_detail::newDecoder<HBImageDecoderJPEG>(out);
}

void HBImageDecoderJPEG__setLibraryMemoryForTest(long bytes) {
  g_libraryMemory.store(bytes > 0 ? bytes : 256L << 20);
}
