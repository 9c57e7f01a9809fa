// Feeds untrusted bytes to the picture decoders through a core memory stream, as the import does
// (EXIF orientation included), then turns, thumbnails and encodes whatever decodes.
#include <cstddef>
#include <cstdint>

#include "hbimg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > INT32_MAX) return 0;
  HBRef<IHBMemStream> in;
  if (HBMemStream__new(in.out(), HBMEM_READ, const_cast<uint8_t *>(data),
                       static_cast<int32_t>(size), nullptr) != 0)
    return 0;
  HBRef<HBImg> img, upright, thumb;
  HBImgDecodeOptions options;
  options.flags |= HBIMG_DECODE_ORIENTATION;
  if (hbimg__decodeStreamWith(img.out(), in.get(), options) != 0) return 0;
  if (hbimg__orient(upright.out(), img.get(), img->exifOrientation()) != 0) return 0;
  if (hbimg__thumbnail(thumb.out(), upright.get(), 160, 160, HBIMG_THUMB_SQUARE) != 0) return 0;
  HBRef<IHBMemStream> out;
  if (hbstream__newMem(out.out(), 65536) != 0) return 0;
  (void)hbimg__encodeJpeg(thumb.get(), out.get());
  return 0;
}
