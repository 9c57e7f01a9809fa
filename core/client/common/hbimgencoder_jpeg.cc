// The JPEG encoder: libjpeg writing to a core stream in pieces of 8192 bytes.
//
// As in the decoder, the library is only called from jpegEncode, the sole frame between its
// setjmp and the library, holding plain values; error_exit longjmps back there. A failed write
// does not jump: the destination records it and drops further output, and jpegEncode stops
// after the scan line in progress.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "brlog.h"
#include "hbimg.h"

namespace {

const char kTag[] = "IMGJPEG";
constexpr int32_t kPiece = 8192;
constexpr int kQuality = 80;

struct JpegDest {
  jpeg_destination_mgr pub;
  IHBStream *stream;
  int32_t error;  // the first write failure, or 0
  int64_t written;
  JOCTET buffer[kPiece];
};

struct JpegEncodeError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

struct JpegEncodeJob {
  jpeg_compress_struct cinfo;
  JpegEncodeError err;
  JpegDest dest;
  bool created;
};

void writeOut(JpegDest *dest, size_t length) {
  if (dest->error || length == 0) return;
  const int32_t rc = hbstream__writeAll(dest->stream, dest->buffer, static_cast<int32_t>(length));
  if (rc < 0) {
    brlog(kTag, BRLOG_ERROR, "Failed writing to stream: %d %s\n", rc, brerror__name(rc));
    dest->error = rc;
    return;
  }
  dest->written += static_cast<int64_t>(length);
}

void destInit(j_compress_ptr cinfo) {
  JpegDest *dest = reinterpret_cast<JpegDest *>(cinfo->dest);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kPiece;
}

boolean destEmpty(j_compress_ptr cinfo) {
  JpegDest *dest = reinterpret_cast<JpegDest *>(cinfo->dest);
  writeOut(dest, kPiece);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kPiece;
  return TRUE;
}

void destTerm(j_compress_ptr cinfo) {
  JpegDest *dest = reinterpret_cast<JpegDest *>(cinfo->dest);
  writeOut(dest, kPiece - dest->pub.free_in_buffer);
}

void errorExit(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  brlog(kTag, BRLOG_VERBOSE, "libjpeg: %s\n", text);
  longjmp(reinterpret_cast<JpegEncodeError *>(cinfo->err)->jump, 1);
}

void outputMessage(j_common_ptr) {}

int32_t jpegEncode(JpegEncodeJob *job, const uint8_t *pixels, int32_t stride, int32_t width,
                   int32_t height, const uint8_t *profile, int32_t profileLength) {
  jpeg_compress_struct *cinfo = &job->cinfo;
  cinfo->err = jpeg_std_error(&job->err.pub);
  job->err.pub.error_exit = errorExit;
  job->err.pub.output_message = outputMessage;
  if (setjmp(job->err.jump)) {
    brlog(kTag, BRLOG_ERROR, "Error while encoding JPEG: scanline %d of %d!\n",
          static_cast<int>(cinfo->next_scanline), static_cast<int>(height));
    return BR_EUNSPEC;
  }
  job->created = true;
  jpeg_create_compress(cinfo);
  job->dest.pub.init_destination = destInit;
  job->dest.pub.empty_output_buffer = destEmpty;
  job->dest.pub.term_destination = destTerm;
  cinfo->dest = &job->dest.pub;
  cinfo->image_width = static_cast<JDIMENSION>(width);
  cinfo->image_height = static_cast<JDIMENSION>(height);
  cinfo->input_components = 3;
  cinfo->in_color_space = JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, kQuality, FALSE);
  jpeg_start_compress(cinfo, TRUE);
  if (profile && profileLength > 0)
    jpeg_write_icc_profile(cinfo, profile, static_cast<unsigned int>(profileLength));
  while (cinfo->next_scanline < cinfo->image_height && !job->dest.error) {
    JSAMPROW lines[16];
    const unsigned int first = cinfo->next_scanline;
    unsigned int n = cinfo->image_height - first;
    if (n > 16) n = 16;
    for (unsigned int i = 0; i < n; ++i)
      lines[i] = const_cast<JSAMPROW>(pixels + static_cast<size_t>(first + i) * stride);
    jpeg_write_scanlines(cinfo, lines, n);
  }
  if (!job->dest.error) jpeg_finish_compress(cinfo);
  brlog(kTag, BRLOG_VERBOSE, "Encoded %d of %d scanlines\n", static_cast<int>(cinfo->next_scanline),
        static_cast<int>(height));
  if (job->dest.error) return job->dest.error;
  return job->dest.written > INT32_MAX ? BR_ERANGE : static_cast<int32_t>(job->dest.written);
}

struct JobFree {
  void operator()(JpegEncodeJob *job) const {
    if (job->created) jpeg_destroy_compress(&job->cinfo);
    std::free(job);
  }
};

}  // namespace

int32_t hbimg__encodeJpeg(HBImg *img, IHBStream *stream) {
  if (!img || !stream || img->bitsPerPixel() != 24) return BR_EINVAL;
  std::unique_ptr<JpegEncodeJob, JobFree> job(
      static_cast<JpegEncodeJob *>(std::calloc(1, sizeof(JpegEncodeJob))));
  if (!job) return BR_ENOMEM;
  job->dest.stream = stream;
  return jpegEncode(job.get(), img->pixels(), img->stride(), img->width(), img->height(),
                    img->profile(), img->profileLength());
}
