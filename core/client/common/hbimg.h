// Pictures: an in-memory picture, decoders reading a core stream (JPEG, PNG, HEIF/AVIF, WebP,
// TIFF, GIF, BMP, camera raws), an area-averaging scaler with an optional square crop, EXIF
// orientation, a JPEG encoder writing a core stream, and the two renditions an imported photo
// gets ("pv", "tn").
//
// Decoders produce 24-bit RGB (bytes R, G, B). Large pictures are reduced while they are decoded
// (JPEG by the library, down to 1/8; the others row by row as they are read), so a full-size
// photo is never held where the format allows it; no decoder makes a picture of more than
// HBIMG_MAX_PIXELS pixels. Library failures never unwind through C++ frames: each library call
// runs in a small C-style function (see the decoder and encoder files).
//
// Log tags: "HBIMG" (pictures), "IMGJPEG" (JPEG coding), "IMGPNG", "IMGHEIF", "IMGWEBP",
// "IMGTIFF", "IMGGIF", "IMGBMP", "IMGRAW" (decoding).
#pragma once

#include <cstddef>
#include <cstdint>

#include "hbobj.h"
#include "hbstream.h"

// The most pixels a decoder will put into one picture (about 200 MB at 24 bits).
constexpr int64_t HBIMG_MAX_PIXELS = 67108864;

// Decode option flags.
enum : uint32_t {
  HBIMG_DECODE_KEEP_PROFILE = 0x10,  // keep the JPEG's ICC colour profile with the picture
  HBIMG_DECODE_FIT = 0x20,           // scale down until the result fits inside the box
  // What the import asks for: 0x08 has no meaning to the decoders and is passed along as is.
  HBIMG_DECODE_IMPORT = 0x38,
  // Report the orientation the picture asks for in HBImg::exifOrientation (a JPEG's or WebP's
  // EXIF data, a TIFF's tag 0x0112, a raw's flip; HEIF pictures come out upright and report 0).
  HBIMG_DECODE_ORIENTATION = 0x40,
};

// For hbimg__makeRenditions: take the orientation from the picture's own EXIF data.
constexpr int32_t HBIMG_ORIENT_FROM_PICTURE = -1;

// Thumbnail flags.
enum : uint32_t {
  HBIMG_THUMB_SQUARE = 0x4,  // the centred square of the source, stretched to the whole box
};

// The box and flags a decoder works to. With HBIMG_DECODE_FIT the JPEG decoder picks the
// library's divisor for the box (the result may stay larger when 1/8 is not enough); the other
// decoders make the result fit inside the box.
struct HBImgDecodeOptions {
  int32_t boxWidth = 1024;
  int32_t boxHeight = 1024;
  uint32_t flags = HBIMG_DECODE_IMPORT;
};

// A picture: rows top to bottom, `stride` bytes apart, and an optional ICC colour profile (the
// profile's own bytes, without JPEG marker headers).
class HBImg final : public HBObject<HBImg, IHBObj> {
 public:
  // Makes a picture of `width` x `height` at `bitsPerPixel` (8, 15, 16, 24 or 32) with zeroed
  // pixels. The stride is the larger of `minStride` and width x bytes per pixel, rounded up to the
  // row alignment (1, 2, 2, 4, 4). Hands one reference to *out. -6 for a bad size or format, -12
  // when the pixels would not fit in 2 GB, -19 without memory.
  HB_NODISCARD static int32_t create(HBImg **out, int32_t width, int32_t height,
                                     int32_t bitsPerPixel, int32_t minStride = 0);

  int32_t getifc(int32_t ifc, void **out) override;

  int32_t width() const { return m_width; }
  int32_t height() const { return m_height; }
  int32_t stride() const { return m_stride; }
  int32_t bitsPerPixel() const { return m_bpp; }
  int32_t bytesPerPixel() const;
  // Bytes allocated for the pixels (at least height x stride).
  int32_t size() const { return m_size; }
  uint8_t *pixels() { return m_pixels; }
  const uint8_t *pixels() const { return m_pixels; }
  uint8_t *row(int32_t y) { return m_pixels + static_cast<size_t>(y) * m_stride; }
  const uint8_t *row(int32_t y) const { return m_pixels + static_cast<size_t>(y) * m_stride; }

  // The colour profile (borrowed, valid until the next setProfile), or null.
  const uint8_t *profile() const { return m_profile; }
  int32_t profileLength() const { return m_profileLength; }
  // Copies `length` bytes as the profile; null or 0 removes it. 0, or -19 without memory.
  HB_NODISCARD int32_t setProfile(const void *data, int32_t length);

  // The EXIF orientation (1 to 8) found by a decoder asked for it, or 0.
  int32_t exifOrientation() const { return m_orientation; }
  void setExifOrientation(int32_t orientation) { m_orientation = orientation; }

 private:
  friend class HBObject<HBImg, IHBObj>;
  HBImg() = default;
  ~HBImg() override;

  int32_t m_width = 0, m_height = 0, m_stride = 0, m_bpp = 0, m_size = 0;
  uint8_t *m_pixels = nullptr;
  uint8_t *m_profile = nullptr;
  int32_t m_profileLength = 0;
  int32_t m_orientation = 0;
};

// A decoder of one picture. Use one object per picture: readHeader, then decode.
struct IHBImgDecoder : IHBObj {
  // Reads the header. `head` holds the `headLength` bytes already taken from `stream` (borrowed;
  // they are consumed first). Stores the picture's full size in *width and *height (either may
  // be null). 0, or a negative code (the decoder logs why).
  HB_NODISCARD virtual int32_t readHeader(const HBImgDecodeOptions &options, const uint8_t *head,
                                          int32_t headLength, IHBStream *stream, int32_t *width,
                                          int32_t *height) = 0;
  // Decodes the picture after readHeader, reading on from `stream` (borrowed). Hands one
  // reference to *out, or returns a negative code and leaves *out alone.
  HB_NODISCARD virtual int32_t decode(HBImg **out, const HBImgDecodeOptions &options,
                                      IHBStream *stream) = 0;
  // After readHeader: about how many bytes decoding with `options` will hold at its peak, the
  // libraries' own included (0 when unknown).
  virtual int64_t decodeBytes(const HBImgDecodeOptions &options) {
    (void)options;
    return 0;
  }
};

// The JPEG decoder (libjpeg). Options: the box steers the scaling (1/1 to 1/8), flag 0x10 keeps
// the ICC profile, flag 0x20 makes the result fit inside the box unless 1/8 is not enough, flag
// 0x40 reads the EXIF orientation.
// Results: -1 for a bad, truncated or unsupported JPEG, -12 beyond HBIMG_MAX_PIXELS, a read
// error of the stream as it came. Hands one reference to *out.
HB_NODISCARD int32_t HBImageDecoderJPEG__new(IHBImgDecoder **out);
// The working memory a progressive JPEG gets without a file large enough to need more (256 MB);
// tests make it small.
void HBImageDecoderJPEG__setLibraryMemoryForTest(long bytes);

// The PNG decoder (libpng): every picture comes out as 24-bit RGB (palettes of any depth, gray
// with or without alpha, 16-bit channels; alpha dropped), fitted to the box with flag 0x20 (a
// picture that is not interlaced is reduced row by row). Results: -16 when `head` is not a PNG
// signature, -12 beyond HBIMG_MAX_PIXELS or 65535 pixels a side, -1 for anything else. Hands one
// reference to *out.
HB_NODISCARD int32_t HBImageDecoderPNG__new(IHBImgDecoder **out);

// Decoders of the other formats, each fitting the result to the box with flag 0x20: HEIC, HEIF
// and AVIF (libheif; transformations applied, so the orientation reported is 0), WebP (libwebp;
// the first frame of an animation), TIFF (libtiff; the first page), GIF (giflib; the first
// frame), BMP, camera raws (libraw; the embedded preview when it covers the box, else a
// half-size development; readHeader answers -3 for a TIFF that is no camera's raw). Each
// reports -1 for a bad or truncated picture, -16 for a variant it does not handle, -12 beyond
// the pixel limits (268,435,456 declared pixels at most), or the stream's read error. The
// random-access formats (HEIF, TIFF, raw) seek the stream, or hold it whole (up to 256 MB) when
// it cannot seek; WebP is always held whole. Hand one reference to *out.
HB_NODISCARD int32_t HBImageDecoderHEIF__new(IHBImgDecoder **out);
HB_NODISCARD int32_t HBImageDecoderWebP__new(IHBImgDecoder **out);
HB_NODISCARD int32_t HBImageDecoderTIFF__new(IHBImgDecoder **out);
HB_NODISCARD int32_t HBImageDecoderGIF__new(IHBImgDecoder **out);
HB_NODISCARD int32_t HBImageDecoderBMP__new(IHBImgDecoder **out);
HB_NODISCARD int32_t HBImageDecoderRaw__new(IHBImgDecoder **out);

// Decodes the picture `stream` holds (borrowed; read from its position): reads up to 512 bytes,
// picks the decoder from them (never from a file name): 0xFF 0xD8 JPEG; "PNG" in bytes 1 to 3
// PNG; an ISO "ftyp" box of a HEIF or AVIF brand; "RIFF"...."WEBP"; "GIF87a"/"GIF89a"; "BM"
// with a known header size; "II*"/"MM*" TIFF, tried first as a camera raw; the other raws by
// their own marks. Decodes with `options`. Hands one reference to *out. -24 when the stream
// holds nothing, -3 for an unknown format, else the decoder's result or the stream's read error.
HB_NODISCARD int32_t hbimg__decodeStreamWith(HBImg **out, IHBStream *stream,
                                             const HBImgDecodeOptions &options);
// The same with the import's options: the box 1024 x 1024 and flags 0x38.
HB_NODISCARD int32_t hbimg__decodeStream(HBImg **out, IHBStream *stream);

// What decoding a picture with the import's options will cost, from its header alone.
struct HBImgProbe {
  int32_t width = 0, height = 0;  // the picture's full size
  int64_t decodeBytes = 0;        // about the most memory the decode holds at once
};
// Reads the header of the picture `stream` holds (borrowed; read from its position, left
// anywhere). 0 with *out filled, or the code hbimg__decodeStream would give for the header.
HB_NODISCARD int32_t hbimg__probe(IHBStream *stream, HBImgProbe *out);

// Makes a new picture of `src`'s pixel format (8, 24 or 32 bits) that fits `boxWidth` x
// `boxHeight`, by area averaging. Without HBIMG_THUMB_SQUARE the aspect ratio is kept and a side
// within 2 pixels of the box is stretched to it (3000 x 2000 into 160 x 160 gives 160 x 106);
// with it the result is the whole box, made from the centred square of the source. The profile
// is not copied. Hands one reference to *out; -6 for a bad box, -16 for 15/16-bit pictures.
HB_NODISCARD int32_t hbimg__thumbnail(HBImg **out, HBImg *src, int32_t boxWidth, int32_t boxHeight,
                                      uint32_t flags);

// Turns `src` upright for an EXIF orientation: 1 as stored, 2 mirrored, 3 turned half round, 4
// flipped, 5 transposed, 6 turned a quarter clockwise, 7 transversed, 8 turned a quarter
// anticlockwise. 1 and values outside 1 to 8 hand back `src` itself with a new reference; others
// a new picture with the profile copied. `src` is never changed. Hands one reference to *out.
HB_NODISCARD int32_t hbimg__orient(HBImg **out, HBImg *src, int32_t orientation);

// Encodes a 24-bit picture as a JPEG of quality 80 into `stream` (borrowed), with its colour
// profile as APP2 markers. Writes go out in pieces of 8192 bytes; -2 and -11 are retried. Returns
// the bytes written, or -1 for a library error, -6 for a picture that is not 24-bit, or the
// stream's write error (the output is then incomplete).
HB_NODISCARD int32_t hbimg__encodeJpeg(HBImg *img, IHBStream *stream);

// ---- The renditions of an imported picture ----

enum : uint32_t {
  HBIMG_RENDITION_PV = 0x1,  // the re-encoded picture, within the decode box
  HBIMG_RENDITION_TN = 0x2,  // the 160 x 160 square thumbnail
};

struct HBImgRenditions {
  // Temporary files (mode 0600 in the temporary folder) positioned at their start. Each file
  // is deleted when its stream is closed or released, so dropping this record cleans up.
  HBRef<IHBStream> pv, tn;
  int64_t pvSize = 0, tnSize = 0;
  // The picture after turning it upright (what "pv" shows).
  int32_t width = 0, height = 0;
  // True when the failure came from reading or decoding the picture (the import then goes on
  // with the original alone); false for a failure while making a rendition.
  bool decodeFailed = false;
};

// Makes the renditions `which` (HBIMG_RENDITION_*) of the picture in `picture` (borrowed, read
// from its position as far as the decoder needs): decodes with the import's options
// (hbimg__decodeStream), turns the result upright for `orientation` (EXIF 1 to 8;
// HBIMG_ORIENT_FROM_PICTURE: the picture's own, as HBIMG_DECODE_ORIENTATION reports it; anything
// else leaves it as stored), fits it to 1024 x 1024 if the decoder could not, encodes it as
// "pv", and makes "tn" as the 160 x 160 square thumbnail of the upright picture.
// Returns 0 with the files in *out, or a negative code with *out reset (no file left behind) and
// out->decodeFailed telling where it failed.
HB_NODISCARD int32_t hbimg__makeRenditions(IHBStream *picture, int32_t orientation, uint32_t which,
                                           HBImgRenditions *out);
