// HBImageDecoderRaw: camera raws (DNG, CR2, CR3, NEF, ARW, ORF, RW2, RAF, ...) through libraw,
// read through a buffered window over seeks of the stream.
//
// The camera's own preview (a JPEG or a bitmap inside the raw) is used when it covers the box:
// it is what the camera showed, and decoding it costs a fraction of developing the raw. Else the
// raw is developed at half size. Either way the rows are as the sensor holds them and the
// raw's orientation goes with the picture for the caller to apply. libraw is told not to turn
// the development, so both paths are turned the same way.
//
// libraw throws C++ exceptions inside itself and catches them at its API; the stream below
// never throws.
#include <libraw/libraw.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "brlog.h"
#include "hbimg.h"
#include "hbimg_int.h"

namespace {

using hbimg_detail::RandomSource;

const char kTag[] = "IMGRAW";

// What libraw may allocate for one raw (its own default is 2 GB).
constexpr unsigned kMaxRawMemoryMb = 640;
constexpr int64_t kWindow = 256 << 10;

// libraw's stream over a RandomSource, with a read window: the parsers read a byte or two at a
// time.
class SourceStream final : public LibRaw_abstract_datastream {
 public:
  explicit SourceStream(RandomSource *source) : m_source(source) {}
  ~SourceStream() override { delete[] m_window; }
  int valid() override { return m_window != nullptr; }
  bool init() {
    m_window = new (std::nothrow) uint8_t[kWindow];
    return m_window != nullptr;
  }

  int read(void *out, size_t size, size_t count) override {
    if (size == 0 || count == 0) return 0;
    const int64_t want = static_cast<int64_t>(size * count);
    int64_t got = 0;
    uint8_t *o = static_cast<uint8_t *>(out);
    while (got < want) {
      if (m_pos >= m_start && m_pos < m_start + m_length) {
        const int64_t n = std::min(want - got, m_start + m_length - m_pos);
        std::memcpy(o + got, m_window + (m_pos - m_start), static_cast<size_t>(n));
        got += n, m_pos += n;
        continue;
      }
      if (want - got >= kWindow) {  // large reads go straight through
        const int64_t n = m_source->readAt(o + got, want - got, m_pos);
        if (n <= 0) break;
        got += n, m_pos += n;
        continue;
      }
      if (!fill()) break;
    }
    return static_cast<int>(got / static_cast<int64_t>(size));
  }

  int seek(INT64 offset, int whence) override {
    int64_t to = offset;
    if (whence == SEEK_CUR) to += m_pos;
    if (whence == SEEK_END) to += m_source->size();
    if (to < 0) return -1;
    m_pos = std::min<int64_t>(to, m_source->size());
    return 0;
  }
  INT64 tell() override { return m_pos; }
  INT64 size() override { return m_source->size(); }
  int get_char() override {
    uint8_t c;
    return read(&c, 1, 1) == 1 ? c : -1;
  }
  char *gets(char *s, int n) override {
    if (n <= 0) return nullptr;
    int i = 0;
    while (i < n - 1) {
      const int c = get_char();
      if (c < 0) break;
      s[i++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    s[i] = 0;
    return i ? s : nullptr;
  }
  int scanf_one(const char *fmt, void *value) override {
    char text[32];
    int i = 0, c;
    while ((c = get_char()) >= 0 && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
    }
    while (c >= 0 && i < 31 && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != 0) {
      text[i++] = static_cast<char>(c);
      c = get_char();
    }
    text[i] = 0;
    return i ? std::sscanf(text, fmt, value) : 0;
  }
  int eof() override { return m_pos >= m_source->size(); }
  void *make_jas_stream() override { return nullptr; }

 private:
  bool fill() {
    const int64_t n = m_source->readAt(m_window, kWindow, m_pos);
    if (n <= 0) return false;
    m_start = m_pos;
    m_length = n;
    return true;
  }
  RandomSource *m_source;
  uint8_t *m_window = nullptr;
  int64_t m_pos = 0, m_start = 0, m_length = 0;
};

// libraw with a way to let go of the sensor data once a development has taken its copy: a
// half-size development holds the raw (2 bytes a photosite) and its 4-channel picture (another
// 2 bytes a photosite) together only while the one is copied into the other.
class RawLib final : public LibRaw {
 public:
  RawLib() : LibRaw(LIBRAW_OPTIONS_NONE) {}
  void dropRawData() {
    libraw_rawdata_t &r = imgdata.rawdata;
    if (r.raw_alloc) free(r.raw_alloc);
    r.raw_alloc = nullptr;
    r.raw_image = nullptr;
    r.color3_image = nullptr;
    r.color4_image = nullptr;
    r.float_image = nullptr;
    r.float3_image = nullptr;
    r.float4_image = nullptr;
  }
};

// libraw's flip (bit 4 transpose, 2 and 1 mirror) as an EXIF orientation.
int32_t orientationOfFlip(int flip) {
  static const int32_t kExif[8] = {1, 2, 4, 3, 5, 8, 6, 7};
  return flip >= 0 && flip < 8 ? kExif[flip] : 1;
}

class HBImageDecoderRaw final : public hbimg_detail::DecoderObject<HBImageDecoderRaw> {
 public:
  int32_t readHeader(const HBImgDecodeOptions &, const uint8_t *head, int32_t headLength,
                     IHBStream *stream, int32_t *width, int32_t *height) override {
    if (m_raw || !stream || headLength < 0 || (!head && headLength > 0)) return BR_EINVAL;
    const bool tiff = hbimg_detail::sniff(head, headLength) == hbimg_detail::KIND_TIFF;
    int32_t rc = m_source.open(head, headLength, stream);
    if (rc < 0) return rc;
    m_stream.reset(new (std::nothrow) SourceStream(&m_source));
    m_raw.reset(new (std::nothrow) RawLib);
    if (!m_stream || !m_stream->init() || !m_raw) return BR_ENOMEM;
    m_raw->imgdata.params.max_raw_memory_mb = kMaxRawMemoryMb;
    const int err = m_raw->open_datastream(m_stream.get());
    const libraw_iparams_t &id = m_raw->imgdata.idata;
    // A TIFF that is a camera's raw names the camera or is a DNG; any other TIFF is left to the
    // TIFF decoder.
    if (err == LIBRAW_FILE_UNSUPPORTED || (err == LIBRAW_SUCCESS && tiff && !id.dng_version && !id.make[0]))
      return BR_ENOENT;
    if (err != LIBRAW_SUCCESS) {
      brlog(kTag, BRLOG_ERROR, "Error while reading header: %s\n", libraw_strerror(err));
      if (m_source.error() < 0) return m_source.error();
      return err == LIBRAW_TOO_BIG || err == LIBRAW_UNSUFFICIENT_MEMORY ? BR_ENOSPC : BR_EUNSPEC;
    }
    const libraw_image_sizes_t &s = m_raw->imgdata.sizes;
    if (int64_t{s.raw_width} * s.raw_height > hbimg_detail::kMaxInputPixels || s.width == 0 ||
        s.height == 0) {
      brlog(kTag, BRLOG_ERROR, "Image too large to decode: %u x %u\n", s.raw_width, s.raw_height);
      return s.width == 0 || s.height == 0 ? BR_EUNSPEC : BR_ENOSPC;
    }
    m_orientation = orientationOfFlip(s.flip);
    m_headerRead = true;
    if (width) *width = s.width;
    if (height) *height = s.height;
    return BR_OK;
  }

  // A preview that covers the box: itself and its decode. A development: the raw (2 bytes a
  // photosite) and the half-size picture (8 bytes a pixel) while the one is copied into the
  // other; the raw is let go before the 8-bit copy (3 bytes a pixel) is made.
  int64_t decodeBytes(const HBImgDecodeOptions &options) override {
    if (!m_headerRead) return 0;
    const libraw_image_sizes_t &s = m_raw->imgdata.sizes;
    const libraw_thumbnail_t &t = m_raw->imgdata.thumbnail;
    const int64_t out = hbimg_detail::outputBytes(s.width, s.height, options);
    if (t.tlength > 0 && t.twidth && t.theight && covers(t.twidth, t.theight, options))
      return t.tlength + out + (4 << 20);
    const int64_t half = int64_t{s.width / 2 + 1} * (s.height / 2 + 1);
    return int64_t{s.raw_width} * s.raw_height * 2 + half * 8 + out;
  }

  int32_t decode(HBImg **out, const HBImgDecodeOptions &options, IHBStream *stream) override {
    if (!out || !stream) return BR_EINVAL;
    if (!m_headerRead) return BR_EBADSTATE;
    m_headerRead = false;
    m_source.setStream(stream);
    HBRef<HBImg> img;
    int32_t rc = preview(img, options);
    // A failed libraw call leaves it closed: opened again for the development.
    if (rc < 0 && m_reopen) rc = m_stream->seek(0, SEEK_SET) == 0 &&
                                        m_raw->open_datastream(m_stream.get()) == LIBRAW_SUCCESS
                                    ? BR_ENOENT
                                    : BR_EUNSPEC;
    if (rc == BR_ENOENT) rc = develop(img, options);
    m_source.setStream(nullptr);
    if (rc >= 0 && (options.flags & HBIMG_DECODE_ORIENTATION)) img->setExifOrientation(m_orientation);
    if (rc >= 0) rc = hbimg_detail::fitToBox(img, options);
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "FAILED DECODING: %d\n", rc);
      return rc;
    }
    *out = img.detach();
    return BR_OK;
  }

 private:
  friend class HBObject<HBImageDecoderRaw, IHBImgDecoder>;
  ~HBImageDecoderRaw() override {
    if (m_raw) m_raw->recycle();
  }

  // Covers the box on its limiting side (a preview of unknown size is tried).
  static bool covers(int32_t w, int32_t h, const HBImgDecodeOptions &o) {
    if (o.boxWidth <= 0 || o.boxHeight <= 0) return true;
    return int64_t{w} * o.boxHeight >= int64_t{h} * o.boxWidth ? w >= o.boxWidth : h >= o.boxHeight;
  }

  // The embedded preview, when it is at least as large as the box asks. 0, or -3 to develop.
  int32_t preview(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    const libraw_thumbnail_t &t = m_raw->imgdata.thumbnail;
    if (t.tlength == 0 || (t.twidth && t.theight && !covers(t.twidth, t.theight, options)))
      return BR_ENOENT;
    const int err = m_raw->unpack_thumb();
    if (err != LIBRAW_SUCCESS || !t.thumb || t.tlength == 0) {
      brlog(kTag, BRLOG_WARNING, "No usable preview: %s\n", libraw_strerror(err));
      m_reopen = err != LIBRAW_SUCCESS;
      return BR_ENOENT;
    }
    brlog(kTag, BRLOG_VERBOSE, "Preview of format %d, %u x %u\n", static_cast<int>(t.tformat),
          t.twidth, t.theight);
    if (t.tformat == LIBRAW_THUMBNAIL_JPEG) {
      if (t.tlength > INT32_MAX) return BR_ENOENT;
      HBRef<IHBMemStream> mem;
      if (HBMemStream__new(mem.out(), HBMEM_READ, t.thumb, static_cast<int32_t>(t.tlength),
                           nullptr) != 0)
        return BR_ENOMEM;
      HBImgDecodeOptions o = options;
      o.flags &= ~HBIMG_DECODE_ORIENTATION;
      HBRef<IHBImgDecoder> jpeg;
      uint8_t head[2] = {};
      int32_t w = 0, h = 0;
      if (mem->read(head, 2) != 2 || HBImageDecoderJPEG__new(jpeg.out()) < 0 ||
          jpeg->readHeader(o, head, 2, mem.get(), &w, &h) < 0 || !covers(w, h, options) ||
          jpeg->decode(img.out(), o, mem.get()) < 0)
        return BR_ENOENT;
      brlog(kTag, BRLOG_VERBOSE, "Using the embedded %d x %d preview\n", w, h);
      return BR_OK;
    }
    if (t.tformat == LIBRAW_THUMBNAIL_BITMAP && t.tcolors == 3 && t.twidth && t.theight &&
        int64_t{t.twidth} * t.theight * 3 <= t.tlength) {
      HBImgDecodeOptions o = options;
      hbimg_detail::RowReducer reducer;
      if (reducer.begin(t.twidth, t.theight, hbimg_detail::reduceDivisor(t.twidth, t.theight, o)) < 0)
        return BR_ENOENT;
      for (int32_t y = 0; y < t.theight; ++y)
        reducer.addRow(y, reinterpret_cast<const uint8_t *>(t.thumb) + static_cast<size_t>(y) * t.twidth * 3);
      return reducer.finish(&img) < 0 ? BR_ENOENT : BR_OK;
    }
    return BR_ENOENT;
  }

  // Half-size development, not turned.
  int32_t develop(HBRef<HBImg> &img, const HBImgDecodeOptions &options) {
    libraw_output_params_t &p = m_raw->imgdata.params;
    p.half_size = 1;
    p.use_camera_wb = 1;
    p.output_bps = 8;
    p.user_flip = 0;
    const char *step = "unpacking";
    int err = m_raw->unpack();
    if (err == LIBRAW_SUCCESS) step = "processing", err = m_raw->dcraw_process();
    libraw_processed_image_t *pic = nullptr;
    // The development has its own copy of the sensor data by now.
    if (err == LIBRAW_SUCCESS) m_raw->dropRawData();
    if (err == LIBRAW_SUCCESS) step = "copying", pic = m_raw->dcraw_make_mem_image(&err);
    if (!pic || err != LIBRAW_SUCCESS) {
      brlog(kTag, BRLOG_ERROR, "Error while developing the raw (%s): %s\n", step,
            libraw_strerror(err));
      if (pic) LibRaw::dcraw_clear_mem(pic);
      if (m_source.error() < 0) return m_source.error();
      return err == LIBRAW_UNSUFFICIENT_MEMORY || err == LIBRAW_TOO_BIG ? BR_ENOSPC : BR_EUNSPEC;
    }
    std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t *)> hold(
        pic, LibRaw::dcraw_clear_mem);
    m_raw->free_image();
    if (pic->type != LIBRAW_IMAGE_BITMAP || pic->colors != 3 || pic->bits != 8 || !pic->width ||
        !pic->height || uint64_t{pic->width} * pic->height * 3 > pic->data_size)
      return BR_EUNSUPPORTED;
    hbimg_detail::RowReducer reducer;
    int32_t rc = reducer.begin(pic->width, pic->height,
                               hbimg_detail::reduceDivisor(pic->width, pic->height, options));
    if (rc < 0) return rc;
    for (int32_t y = 0; y < pic->height; ++y)
      reducer.addRow(y, pic->data + static_cast<size_t>(y) * pic->width * 3);
    return reducer.finish(&img);
  }

  RandomSource m_source;
  std::unique_ptr<SourceStream> m_stream;
  std::unique_ptr<RawLib> m_raw;
  int32_t m_orientation = 1;
  bool m_headerRead = false, m_reopen = false;
};

}  // namespace

int32_t HBImageDecoderRaw__new(IHBImgDecoder **out) {
  return hbimg_detail::newDecoder<HBImageDecoderRaw>(out);
}
