// Feeds untrusted bytes to the picture decoders through a core memory stream, as the import does
// (EXIF orientation included), then turns, thumbnails and encodes whatever decodes. Every format
// is reached through the content sniffing (JPEG, PNG, HEIF/AVIF, WebP, TIFF, GIF, BMP, raws);
// the header probe the import's look-ahead makes runs first, and the random-access decoders are
// also driven through a stream that cannot seek (the whole picture then held).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hbimg.h"

namespace {

// A read-only stream over a buffer that refuses to seek.
class Unseekable final : public HBObject<Unseekable, IHBStream> {
 public:
  Unseekable(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
    return BR_ENOENT;
  }
  int32_t read(void *buffer, int32_t length) override {
    const size_t n = length < 0 ? 0 : std::min(static_cast<size_t>(length), m_size - m_pos);
    std::memcpy(buffer, m_data + m_pos, n);
    m_pos += n;
    return static_cast<int32_t>(n);
  }
  int32_t write(const void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t, int32_t) override { return BR_EINVAL; }
  int32_t close() override { return 0; }

 private:
  const uint8_t *m_data;
  size_t m_size, m_pos = 0;
};

void renditions(HBImg *img) {
  HBRef<HBImg> upright, thumb;
  if (hbimg__orient(upright.out(), img, img->exifOrientation()) != 0) return;
  if (hbimg__thumbnail(thumb.out(), upright.get(), 160, 160, HBIMG_THUMB_SQUARE) != 0) return;
  HBRef<IHBMemStream> out;
  if (hbstream__newMem(out.out(), 65536) != 0) return;
  (void)hbimg__encodeJpeg(thumb.get(), out.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > INT32_MAX) return 0;
  HBRef<IHBMemStream> in;
  if (HBMemStream__new(in.out(), HBMEM_READ, const_cast<uint8_t *>(data),
                       static_cast<int32_t>(size), nullptr) != 0)
    return 0;
  HBImgProbe probe;
  (void)hbimg__probe(in.get(), &probe);
  if (in->seek(0, HBSTREAM_SEEK_SET) != 0) return 0;
  HBRef<HBImg> img;
  HBImgDecodeOptions options;
  options.flags |= HBIMG_DECODE_ORIENTATION;
  if (hbimg__decodeStreamWith(img.out(), in.get(), options) == 0) renditions(img.get());
  HBRef<IHBStream> once = HBRef<IHBStream>::adopt(new Unseekable(data, size));
  if (hbimg__decodeStreamWith(img.out(), once.get(), options) == 0) renditions(img.get());
  return 0;
}
