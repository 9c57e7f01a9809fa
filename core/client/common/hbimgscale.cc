// The thumbnail scaler: area averaging in 12-bit fixed point, with an optional square crop.
//
// Each result pixel covers a footprint of the source region; every source pixel contributes in
// proportion to the part of its area inside the footprint (horizontal overlap x vertical overlap,
// each in 1/4096 of a pixel). The overlaps are kept at full precision rather than divided down
// first, so a strong enlargement (a tiny picture into a large box) cannot end with a zero total
// weight and a black result. Integer arithmetic only; the work is proportional to the source
// region's area plus the result's.
#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "hbimg.h"
#include "hbimg_int.h"

namespace {

constexpr int kFixedShift = 12;
constexpr int64_t kOne = int64_t{1} << kFixedShift;
constexpr int32_t kMaxBox = 65535;

// The source pixels one result column (or row) covers: `count` of them from `first`, with their
// overlaps at weights[at...], summing to `total`.
struct Span {
  int32_t first = 0, count = 0;
  size_t at = 0;
  int64_t total = 0;
};

// Footprints of `dst` result pixels spread over `n` source pixels starting at `origin`.
void footprints(int32_t origin, int32_t n, int32_t dst, std::vector<Span> *spans,
                std::vector<int32_t> *weights) {
  spans->resize(static_cast<size_t>(dst));
  weights->clear();
  weights->reserve(static_cast<size_t>(n) + static_cast<size_t>(dst) * 2);
  for (int32_t i = 0; i < dst; ++i) {
    const int64_t f0 = i * static_cast<int64_t>(n) * kOne / dst;
    int64_t f1 = (i + 1) * static_cast<int64_t>(n) * kOne / dst;
    if (f1 <= f0) f1 = f0 + 1;  // an enlargement beyond 4096 times still covers something
    Span &s = (*spans)[static_cast<size_t>(i)];
    s.first = static_cast<int32_t>(f0 >> kFixedShift);
    const int32_t last = static_cast<int32_t>(std::min<int64_t>((f1 - 1) >> kFixedShift, n - 1));
    s.at = weights->size();
    s.count = last - s.first + 1;
    s.total = 0;
    for (int32_t p = s.first; p <= last; ++p) {
      const int64_t lo = std::max<int64_t>(f0, int64_t{p} << kFixedShift);
      const int64_t hi = std::min<int64_t>(f1, int64_t{p + 1} << kFixedShift);
      weights->push_back(static_cast<int32_t>(hi - lo));
      s.total += hi - lo;
    }
    s.first += origin;
  }
}

// Averages the region (x0, y0, w, h) of `src` into all of `dst`; `channels` bytes per pixel.
template <int channels>
void average(const HBImg &src, int32_t x0, int32_t y0, int32_t w, int32_t h, HBImg *dst) {
  std::vector<Span> cols, rows;
  std::vector<int32_t> colWeights, rowWeights;
  footprints(x0, w, dst->width(), &cols, &colWeights);
  footprints(y0, h, dst->height(), &rows, &rowWeights);
  std::vector<uint64_t> acc(static_cast<size_t>(dst->width()) * channels);
  for (int32_t y = 0; y < dst->height(); ++y) {
    const Span &rs = rows[static_cast<size_t>(y)];
    std::fill(acc.begin(), acc.end(), 0);
    for (int32_t j = 0; j < rs.count; ++j) {
      const uint64_t wy = static_cast<uint64_t>(rowWeights[rs.at + static_cast<size_t>(j)]);
      const uint8_t *line = src.row(rs.first + j);
      uint64_t *a = acc.data();
      for (const Span &cs : cols) {
        const uint8_t *p = line + static_cast<size_t>(cs.first) * channels;
        const int32_t *wx = colWeights.data() + cs.at;
        uint64_t sum[channels] = {};
        for (int32_t i = 0; i < cs.count; ++i, p += channels) {
          for (int c = 0; c < channels; ++c) sum[c] += static_cast<uint64_t>(wx[i]) * p[c];
        }
        for (int c = 0; c < channels; ++c) a[c] += sum[c] * wy;
        a += channels;
      }
    }
    uint8_t *out = dst->row(y);
    const uint64_t *a = acc.data();
    for (const Span &cs : cols) {
      const uint64_t total = static_cast<uint64_t>(cs.total) * static_cast<uint64_t>(rs.total);
      for (int c = 0; c < channels; ++c) {
        const uint64_t v = (a[c] + total / 2) / total;
        out[c] = static_cast<uint8_t>(v > 255 ? 255 : v);
      }
      a += channels;
      out += channels;
    }
  }
}

}  // namespace

int32_t hbimg__thumbnail(HBImg **out, HBImg *src, int32_t boxWidth, int32_t boxHeight,
                         uint32_t flags) {
  if (!out || !src || boxWidth < 1 || boxHeight < 1 || boxWidth > kMaxBox || boxHeight > kMaxBox)
    return BR_EINVAL;
  const int32_t bpp = src->bytesPerPixel();
  if (bpp != 1 && bpp != 3 && bpp != 4) return BR_EUNSUPPORTED;
  const int32_t width = src->width(), height = src->height();
  int32_t x0 = 0, y0 = 0, w = width, h = height, rw = boxWidth, rh = boxHeight;
  if (flags & HBIMG_THUMB_SQUARE) {
    const int32_t side = std::min(width, height);
    x0 = (width - side) / 2;
    y0 = (height - side) / 2;
    w = h = side;
  } else {
    const int64_t r = std::min(boxWidth * kOne / width, boxHeight * kOne / height);
    const int64_t sw = width * r / kOne, sh = height * r / kOne;
    if (sw + 2 < boxWidth) {
      rw = static_cast<int32_t>(sw);
      rh = sh + 2 < boxHeight ? static_cast<int32_t>(sh) : boxHeight;
    } else {
      rh = static_cast<int32_t>(sh);
    }
    rw = std::max(rw, 1);
    rh = std::max(rh, 1);
  }
  return hbimg_detail::resample(out, src, x0, y0, w, h, rw, rh);
}

int32_t hbimg_detail::resample(HBImg **out, HBImg *src, int32_t x0, int32_t y0, int32_t w,
                               int32_t h, int32_t rw, int32_t rh) {
  const int32_t bpp = src->bytesPerPixel();
  if (bpp != 1 && bpp != 3 && bpp != 4) return BR_EUNSUPPORTED;
  if (rw < 1 || rh < 1 || rw > kMaxBox || rh > kMaxBox) return BR_EINVAL;
  HBRef<HBImg> dst;
  const int32_t rc = HBImg::create(dst.out(), rw, rh, src->bitsPerPixel());
  if (rc < 0) return rc;
  try {
    switch (bpp) {
      case 1:
        average<1>(*src, x0, y0, w, h, dst.get());
        break;
      case 3:
        average<3>(*src, x0, y0, w, h, dst.get());
        break;
      default:
        average<4>(*src, x0, y0, w, h, dst.get());
        break;
    }
  } catch (const std::bad_alloc &) {
    return BR_ENOMEM;
  }
  *out = dst.detach();
  return BR_OK;
}
