// Pictures: JPEG and PNG decoding through core streams, the thumbnail scaler, orientation, the
// JPEG encoder and the import's renditions, with good, damaged and hostile input.
#include "hbimg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "fakestream.h"
#include "logcapture.h"
#include "testutil.h"

using tessel::test::FakeStream;
using tessel::test::LogCapture;
using tessel::test::TempDir;

namespace {

using Paint = std::function<uint32_t(int32_t x, int32_t y)>;  // 0xRRGGBB

HBRef<HBImg> makeImg(int32_t w, int32_t h, const Paint &paint, int32_t bpp = 24) {
  HBRef<HBImg> img;
  EXPECT_EQ(HBImg::create(img.out(), w, h, bpp), 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t c = paint(x, y);
      uint8_t *p = img->row(y) + x * img->bytesPerPixel();
      const int32_t n = img->bytesPerPixel();  // 0xRRGGBB, 0xRRGGBBAA or a gray byte
      for (int32_t i = 0; i < n; ++i) p[i] = uint8_t(c >> (8 * (n - 1 - i)));
    }
  return img;
}

uint32_t px(const HBImg *img, int32_t x, int32_t y) {
  const uint8_t *p = img->row(y) + x * 3;
  return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

// Each channel within `tol` (JPEG is lossy).
bool near(uint32_t a, uint32_t b, int tol = 24) {
  for (int s = 0; s <= 16; s += 8)
    if (std::abs(int((a >> s) & 255) - int((b >> s) & 255)) > tol) return false;
  return true;
}

std::string encode(HBImg *img) {
  auto out = FakeStream::make();
  EXPECT_GT(hbimg__encodeJpeg(img, out.get()), 0);
  return out->output;
}

int32_t decode(const std::string &bytes, HBRef<HBImg> *img, HBImgDecodeOptions opt = {}) {
  auto in = FakeStream::make(bytes);
  return hbimg__decodeStreamWith(img->out(), in.get(), opt);
}

constexpr uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kWhite = 0xFFFFFF,
                   kBlack = 0, kYellow = 0xFFFF00;

// Quadrants: red, green / blue, white.
uint32_t quadrants(int32_t x, int32_t y, int32_t w, int32_t h) {
  return y < h / 2 ? (x < w / 2 ? kRed : kGreen) : (x < w / 2 ? kBlue : kWhite);
}

// A 4000 x 3000 JPEG in quadrants, made once.
const std::string &photo12mp() {
  static const std::string bytes = [] {
    HBRef<HBImg> img =
        makeImg(4000, 3000, [](int32_t x, int32_t y) { return quadrants(x, y, 4000, 3000); });
    return encode(img.get());
  }();
  return bytes;
}

std::string be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string pngChunk(const std::string &type, const std::string &data) {
  const std::string body = type + data;
  return be32(uint32_t(data.size())) + body +
         be32(uint32_t(crc32(0, reinterpret_cast<const Bytef *>(body.data()), uInt(body.size()))));
}

std::string deflate(const std::string &raw) {
  uLongf n = compressBound(uLong(raw.size()));
  std::string out(n, '\0');
  compress(reinterpret_cast<Bytef *>(out.data()), &n, reinterpret_cast<const Bytef *>(raw.data()),
           uLong(raw.size()));
  out.resize(n);
  return out;
}

// A PNG from packed rows; `adam7` interlaces pictures of whole bytes per pixel (`bpp`).
std::string makePng(uint32_t w, uint32_t h, int type, int depth,
                    const std::vector<std::string> &rows, const std::string &before = "",
                    bool adam7 = false, int bpp = 3) {
  std::string raw;
  if (!adam7) {
    for (const std::string &r : rows) raw += '\0' + r;
  } else {
    static const int pass[7][4] = {{0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4},
                                   {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1}};
    for (const auto &p : pass)
      for (uint32_t y = p[0]; y < h; y += p[2]) {
        if (uint32_t(p[1]) >= w) break;
        raw += '\0';
        for (uint32_t x = p[1]; x < w; x += p[3]) raw += rows[y].substr(x * bpp, bpp);
      }
  }
  const std::string ihdr = be32(w) + be32(h) + char(depth) + char(type) + '\0' + '\0' + char(adam7);
  return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + before +
         pngChunk("IDAT", deflate(raw)) + pngChunk("IEND", "");
}

std::string rgbRow(std::initializer_list<uint32_t> colours) {
  std::string r;
  for (uint32_t c : colours) r += {char(c >> 16), char(c >> 8), char(c)};
  return r;
}

// A minimal ICC profile of `size` bytes (header and an empty tag table, then filler).
std::string iccProfile(uint32_t size) {
  std::string p(size, '\0');
  p.replace(0, 4, be32(size));
  p.replace(12, 8, "mntrRGB ");
  p.replace(36, 4, "acsp");
  for (uint32_t i = 132; i < size; ++i) p[i] = char(i * 7);
  return p;
}

std::vector<std::string> tempFiles() {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(getenv("TMPDIR")))
    if (e.path().filename().string().rfind("yto_", 0) == 0) names.push_back(e.path());
  return names;
}

std::string readAll(IHBStream *s) {
  auto sink = FakeStream::make();
  EXPECT_GE(hbstream__sendTo(s, sink.get(), -1), 0);
  return sink->output;
}

}  // namespace

TEST(HBImgTest, JpegIsScaledWhileDecodingAndKeepsItsColours) {
  LogCapture log;
  HBRef<HBImg> img;
  // The import's decode: 1/4 fits 4000 x 3000 into the 1024 box.
  ASSERT_EQ(hbimg__decodeStream(img.out(), FakeStream::make(photo12mp()).get()), 0);
  EXPECT_EQ(img->width(), 1000);
  EXPECT_EQ(img->height(), 750);
  EXPECT_TRUE(log.has("Image 1000 x 750 (24) -- Allocating 2250000 bytes"));
  EXPECT_TRUE(log.has("Decoded 750 of 750 scanlines"));
  // Channel order and row order: each quadrant keeps its colour.
  EXPECT_TRUE(near(px(img.get(), 100, 100), kRed));
  EXPECT_TRUE(near(px(img.get(), 900, 100), kGreen));
  EXPECT_TRUE(near(px(img.get(), 100, 700), kBlue));
  EXPECT_TRUE(near(px(img.get(), 900, 700), kWhite));

  // Without 0x20 the result stays just above the box: 1/2.
  EXPECT_EQ(decode(photo12mp(), &img, {1024, 1024, 0}), 0);
  EXPECT_EQ(img->width(), 2000);
  EXPECT_EQ(img->height(), 1500);

  // Dribbling reads with "not yet" answers decode the same.
  auto slow = FakeStream::make(photo12mp());
  slow->maxRead = 700;
  slow->readScript = {BR_EAGAIN, 3, BR_ETIMEDOUT, 1, BR_EAGAIN};
  ASSERT_EQ(hbimg__decodeStream(img.out(), slow.get()), 0);
  EXPECT_EQ(img->width(), 1000);
  EXPECT_TRUE(near(px(img.get(), 900, 700), kWhite));
}

TEST(HBImgTest, ThumbnailSizeRuleAndCentredSquare) {
  // 3000 x 2000: red and blue side bands of 500 around a 2000 square in quadrants.
  const Paint picture = [](int32_t x, int32_t y) {
    if (x < 500) return kRed;
    if (x >= 2500) return kBlue;
    return y < 1000 ? (x < 1500 ? kGreen : kBlack) : (x < 1500 ? kWhite : kYellow);
  };
  HBRef<HBImg> src = makeImg(3000, 2000, picture), thumb;
  ASSERT_EQ(hbimg__thumbnail(thumb.out(), src.get(), 160, 160, 0), 0);
  EXPECT_EQ(thumb->width(), 160);
  EXPECT_EQ(thumb->height(), 106);
  EXPECT_EQ(px(thumb.get(), 0, 50), kRed);

  ASSERT_EQ(hbimg__thumbnail(thumb.out(), src.get(), 160, 160, HBIMG_THUMB_SQUARE), 0);
  ASSERT_EQ(thumb->width(), 160);
  ASSERT_EQ(thumb->height(), 160);
  // Exactly the centred square: uniform areas average to themselves, no band shows.
  for (int32_t i = 0; i < 80; ++i) {
    EXPECT_EQ(px(thumb.get(), i, i), kGreen);
    EXPECT_EQ(px(thumb.get(), 159 - i, i), kBlack);
    EXPECT_EQ(px(thumb.get(), i, 159 - i), kWhite);
    EXPECT_EQ(px(thumb.get(), 159 - i, 159 - i), kYellow);
  }

  HBRef<HBImg> portrait = makeImg(2000, 3000, [](int32_t, int32_t) { return kRed; });
  ASSERT_EQ(hbimg__thumbnail(thumb.out(), portrait.get(), 160, 160, 0), 0);
  EXPECT_EQ(thumb->width(), 106);
  EXPECT_EQ(thumb->height(), 160);

  // Strong enlargement keeps the colour; a 4-byte format averages the fourth channel.
  HBRef<HBImg> dot = makeImg(1, 1, [](int32_t, int32_t) { return 0x336699; });
  ASSERT_EQ(hbimg__thumbnail(thumb.out(), dot.get(), 160, 160, 0), 0);
  EXPECT_EQ(thumb->width(), 160);
  EXPECT_EQ(px(thumb.get(), 159, 159), 0x336699u);
  HBRef<HBImg> argb = makeImg(
      2, 2, [](int32_t x, int32_t) { return x ? 0xC8 : 0; }, 32);
  ASSERT_EQ(hbimg__thumbnail(thumb.out(), argb.get(), 1, 1, 0), 0);
  EXPECT_EQ(thumb->bitsPerPixel(), 32);
  EXPECT_EQ(thumb->row(0)[3], 100);

  EXPECT_EQ(hbimg__thumbnail(thumb.out(), src.get(), 0, 160, 0), BR_EINVAL);
}

TEST(HBImgTest, EveryOrientationComesOutUpright) {
  // Stored as   a b c   with a profile that every turned copy keeps.
  //             d e f
  const char *stored = "abcdef";
  HBRef<HBImg> src =
      makeImg(3, 2, [&](int32_t x, int32_t y) { return uint32_t(stored[y * 3 + x]); });
  ASSERT_EQ(src->setProfile("icc", 3), 0);
  const char *expected[9] = {nullptr,    "abc/def",  "cba/fed",  "fed/cba", "def/abc",
                             "ad/be/cf", "da/eb/fc", "fc/eb/da", "cf/be/ad"};
  for (int o = 0; o <= 9; ++o) {
    HBRef<HBImg> out;
    ASSERT_EQ(hbimg__orient(out.out(), src.get(), o), 0);
    std::string shown;
    for (int32_t y = 0; y < out->height(); ++y) {
      if (y) shown += '/';
      for (int32_t x = 0; x < out->width(); ++x) shown += char(px(out.get(), x, y));
    }
    EXPECT_EQ(shown, (o >= 1 && o <= 8) ? expected[o] : expected[1]) << "orientation " << o;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(out->profile()), 3), "icc");
  }
  EXPECT_EQ(px(src.get(), 0, 0), uint32_t('a'));
}

TEST(HBImgTest, PngIsConvertedToRgbOrRefused) {
  LogCapture log;
  HBRef<HBImg> img;
  // A header claiming 100000 x 100000 is refused before anything is allocated.
  EXPECT_EQ(decode(makePng(100000, 100000, 2, 8, {}), &img), BR_ENOSPC);
  EXPECT_TRUE(log.has("Image too large to decode: 100000 x 100000 (scaled 100000 x 100000)"));
  EXPECT_FALSE(log.has("Allocating"));

  const std::vector<std::string> rgb = {rgbRow({kRed, kGreen, kBlue}),
                                        rgbRow({kWhite, kBlack, kYellow})};
  auto expectRgb = [&](const std::string &png, const char *what) {
    ASSERT_EQ(decode(png, &img), 0) << what;
    ASSERT_EQ(img->width(), 3) << what;
    EXPECT_EQ(px(img.get(), 0, 0), kRed) << what;
    EXPECT_EQ(px(img.get(), 2, 0), kBlue) << what;
    EXPECT_EQ(px(img.get(), 1, 1), kBlack) << what;
    EXPECT_EQ(px(img.get(), 2, 1), kYellow) << what;
  };
  expectRgb(makePng(3, 2, 2, 8, rgb), "rgb");
  expectRgb(makePng(3, 2, 2, 8, rgb, "", true), "interlaced");
  // Rows rewritten `every` bytes at a time: 16-bit samples, an alpha byte per pixel.
  auto widen = [&](size_t every, const std::function<std::string(std::string)> &fn) {
    std::vector<std::string> rows;
    for (const std::string &r : rgb) {
      rows.emplace_back();
      for (size_t i = 0; i < r.size(); i += every) rows.back() += fn(r.substr(i, every));
    }
    return rows;
  };
  expectRgb(makePng(3, 2, 2, 16, widen(1, [](std::string c) { return c + c; })), "16-bit");
  expectRgb(makePng(3, 2, 6, 8, widen(3, [](std::string c) { return c + '\x40'; })), "rgba");
  // Palette with transparency: the palette colours.
  const std::string plte =
      pngChunk("PLTE", rgbRow({kRed, kGreen, kBlue, kWhite, kBlack, kYellow})) +
      pngChunk("tRNS", std::string("\0", 1));
  expectRgb(makePng(3, 2, 3, 8, {std::string("\0\1\2", 3), "\3\4\5"}, plte), "palette");
  // 1-bit gray: 0 black, 1 white.
  ASSERT_EQ(decode(makePng(3, 1, 0, 1, {"\xA0"}), &img), 0);
  EXPECT_EQ(px(img.get(), 0, 0), kWhite);
  EXPECT_EQ(px(img.get(), 1, 0), kBlack);
  EXPECT_EQ(px(img.get(), 2, 0), kWhite);

  // Gray with alpha and a 4-bit palette are expanded to RGB (the alpha dropped).
  ASSERT_EQ(decode(makePng(1, 1, 4, 8, {"\x80\x10"}), &img), 0);
  EXPECT_EQ(px(img.get(), 0, 0), 0x808080u);
  ASSERT_EQ(decode(makePng(2, 1, 3, 4, {"\x05"}, plte), &img), 0);
  EXPECT_EQ(px(img.get(), 0, 0), kRed);
  EXPECT_EQ(px(img.get(), 1, 0), kYellow);
  EXPECT_FALSE(log.has("Unsupported bit depth"));

  // A damaged colour profile fails the picture.
  std::string iccp = pngChunk("iCCP", std::string("sRGB\0\0", 6) + deflate(iccProfile(200)));
  iccp[iccp.size() - 1] ^= 1;
  EXPECT_EQ(decode(makePng(3, 2, 2, 8, rgb, iccp), &img), BR_EUNSPEC);
  EXPECT_TRUE(log.has("PNG WARN: iCCP: CRC error"));
  EXPECT_TRUE(log.has("PNG ERROR: iCCP: CRC error"));
  EXPECT_TRUE(log.has("Failed decoding PNG!"));
}

TEST(HBImgTest, IccProfileSurvivesDecodeAndEncode) {
  TempDir dir;
  LogCapture log;
  HBRef<HBImg> img;
  // A profile too large for one APP2 marker, written by exiftool, read whole and written back.
  const std::string icc = iccProfile(150000), iccPath = dir.file("p.icc"), in = dir.file("in.jpg");
  ASSERT_TRUE(tessel::test::writeFile(iccPath, icc));
  HBRef<HBImg> pic = makeImg(64, 48, [](int32_t x, int32_t y) { return quadrants(x, y, 64, 48); });
  ASSERT_TRUE(tessel::test::writeFile(in, encode(pic.get())));
  ASSERT_EQ(tessel::test::runProgram(
                {"exiftool", "-q", "-overwrite_original", "-ICC_Profile<=" + iccPath, in})
                .exitCode,
            0);
  std::string withIcc;
  ASSERT_TRUE(tessel::test::readFile(in, &withIcc));

  ASSERT_EQ(decode(withIcc, &img), 0);
  ASSERT_EQ(img->profileLength(), int32_t(icc.size()));
  EXPECT_EQ(std::memcmp(img->profile(), icc.data(), icc.size()), 0);
  EXPECT_TRUE(log.has("Image has ICC data of length 150000"));
  const std::string out = dir.file("out.jpg");
  ASSERT_TRUE(tessel::test::writeFile(out, encode(img.get())));
  const auto back = tessel::test::runProgram({"exiftool", "-b", "-ICC_Profile", out});
  EXPECT_TRUE(back.out == icc) << back.out.size() << " bytes back";

  // Without 0x10 the profile is not kept.
  ASSERT_EQ(decode(withIcc, &img, {1024, 1024, HBIMG_DECODE_FIT}), 0);
  EXPECT_EQ(img->profile(), nullptr);
}

TEST(HBImgTest, BadInputFailsCleanlyWithItsCode) {
  LogCapture log;
  HBRef<HBImg> img;
  const std::string &jpg = photo12mp();
  EXPECT_EQ(decode("", &img), BR_EOF);
  EXPECT_EQ(decode("GIF89a\x01\x00\x01\x00", &img), BR_EUNSPEC);  // a GIF cut short
  // An MP4 is an ISO file too, of no picture's brand.
  EXPECT_EQ(decode(std::string("\0\0\0\x18" "ftypisom\0\0\0\0isommp41", 24), &img), BR_ENOENT);
  EXPECT_EQ(decode("just some text, named photo.jpg", &img), BR_ENOENT);
  EXPECT_EQ(decode("\xFF\xD8", &img), BR_EUNSPEC);
  EXPECT_TRUE(log.has("Error while reading header!"));
  EXPECT_EQ(decode(std::string("\xFF\xD8") + std::string(5000, '\x5A'), &img), BR_EUNSPEC);
  EXPECT_EQ(decode(jpg.substr(0, 400), &img), BR_EUNSPEC);
  // Cut in the middle of the picture data: a failure, never a half-grey picture.
  EXPECT_EQ(decode(jpg.substr(0, jpg.size() / 2), &img), BR_EUNSPEC);
  EXPECT_TRUE(log.has("EOF while reading: "));
  EXPECT_TRUE(log.has("FAILED TO READ SCANLINE!"));
  EXPECT_TRUE(log.has("FAILED DECODING: -1"));
  // Data that stops at a marker likewise, unless only the last row of blocks is short.
  EXPECT_EQ(decode(jpg.substr(0, jpg.size() / 2) + "\xFF\xD9", &img), BR_EUNSPEC);
  EXPECT_EQ(decode(jpg.substr(0, jpg.size() - 4) + "\xFF\xD9", &img), 0);
  // A stream failing mid-way reports the stream's code.
  auto failing = FakeStream::make(jpg);
  failing->failReadsAfter = 20000;
  EXPECT_EQ(hbimg__decodeStream(img.out(), failing.get()), BR_EIO);
  EXPECT_TRUE(log.has("Error while reading: -8"));
  EXPECT_FALSE(img);

  // A progressive header claiming 65500 x 65500 would need gigabytes of coefficients: refused.
  std::string progressive;
  ASSERT_TRUE(tessel::test::readFile(tessel::test::sourcePath("fuzz/corpus/hbimg/progressive.jpg"),
                                     &progressive));
  std::string huge = progressive;
  const size_t sof = huge.find("\xFF\xC2");
  ASSERT_NE(sof, std::string::npos);
  huge.replace(sof + 5, 4, "\xFF\xDC\xFF\xDC");
  EXPECT_LT(decode(huge, &img), 0);
  // A sound progressive picture decodes.
  ASSERT_EQ(decode(progressive, &img), 0);
  EXPECT_EQ(img->width(), 24);

  // PNG cut short.
  const std::string png = makePng(2, 1, 2, 8, {rgbRow({kRed, kGreen})});
  EXPECT_EQ(decode(png.substr(0, png.size() - 14), &img), BR_EUNSPEC);
  EXPECT_EQ(decode(png.substr(0, 20), &img), BR_EUNSPEC);

  // Encoding: "not yet" answers are retried, a failing stream ends it with its code.
  HBRef<HBImg> pic = makeImg(300, 200, [](int32_t x, int32_t y) { return uint32_t(x * y); });
  auto slow = FakeStream::make();
  slow->writeScript = {BR_EAGAIN, 100, BR_ETIMEDOUT};
  const int32_t size = hbimg__encodeJpeg(pic.get(), slow.get());
  EXPECT_EQ(size, int32_t(slow->output.size()));
  EXPECT_EQ(slow->writeRequests[0], 8192);
  EXPECT_EQ(decode(slow->output, &img), 0);
  auto full = FakeStream::make();
  full->failWritesAfter = 10000;
  EXPECT_EQ(hbimg__encodeJpeg(pic.get(), full.get()), BR_EIO);
  EXPECT_TRUE(log.has("Failed writing to stream: -8 I/O Error"));
  HBRef<HBImg> gray = makeImg(
      4, 4, [](int32_t, int32_t) { return 0u; }, 8);
  EXPECT_EQ(hbimg__encodeJpeg(gray.get(), full.get()), BR_EINVAL);
}

TEST(HBImgTest, RenditionsForTheImportAreUprightTemporaryFiles) {
  HBImgRenditions r;
  // Orientation 6: the stored picture is shown turned a quarter clockwise.
  ASSERT_EQ(hbimg__makeRenditions(FakeStream::make(photo12mp()).get(), 6,
                                  HBIMG_RENDITION_PV | HBIMG_RENDITION_TN, &r),
            0);
  const std::vector<std::string> files = tempFiles();
  ASSERT_EQ(files.size(), 2u);
  for (const std::string &f : files) {
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  HBRef<HBImg> pv, tn;
  const std::string pvBytes = readAll(r.pv.get()), tnBytes = readAll(r.tn.get());
  EXPECT_EQ(int64_t(pvBytes.size()), r.pvSize);
  EXPECT_EQ(int64_t(tnBytes.size()), r.tnSize);
  ASSERT_EQ(decode(pvBytes, &pv), 0);
  EXPECT_EQ(pv->width(), 750);
  EXPECT_EQ(pv->height(), 1000);
  // Upright: the stored bottom-left (blue) is now top-left, the stored top-left (red) top-right.
  EXPECT_TRUE(near(px(pv.get(), 50, 50), kBlue));
  EXPECT_TRUE(near(px(pv.get(), 700, 50), kRed));
  EXPECT_TRUE(near(px(pv.get(), 700, 950), kGreen));
  ASSERT_EQ(decode(tnBytes, &tn), 0);
  EXPECT_EQ(tn->width(), 160);
  EXPECT_EQ(tn->height(), 160);
  EXPECT_TRUE(near(px(tn.get(), 10, 10), kBlue));
  r = HBImgRenditions{};
  EXPECT_TRUE(tempFiles().empty());

  // The orientation from the picture's own EXIF data, in either byte order (6 turns the stored
  // bottom-left to the top-left, 8 the stored top-right).
  TempDir dir;
  HBRef<HBImg> small =
      makeImg(64, 48, [](int32_t x, int32_t y) { return quadrants(x, y, 64, 48); });
  for (const auto &[order, orientation, topLeft] :
       {std::tuple{"MM", "8", kGreen}, std::tuple{"II", "6", kBlue}}) {
    ASSERT_TRUE(tessel::test::writeFile(dir.file("o.jpg"), encode(small.get())));
    ASSERT_EQ(tessel::test::runProgram(
                  {"exiftool", "-q", "-overwrite_original", std::string("-ExifByteOrder=") + order,
                   std::string("-Orientation#=") + orientation, dir.file("o.jpg")})
                  .exitCode,
              0);
    std::string tagged;
    ASSERT_TRUE(tessel::test::readFile(dir.file("o.jpg"), &tagged));
    ASSERT_EQ(hbimg__makeRenditions(FakeStream::make(tagged).get(), HBIMG_ORIENT_FROM_PICTURE,
                                    HBIMG_RENDITION_PV, &r),
              0);
    ASSERT_EQ(decode(readAll(r.pv.get()), &pv), 0);
    EXPECT_EQ(pv->width(), 48);
    EXPECT_TRUE(near(px(pv.get(), 5, 5), topLeft)) << order;
  }

  // Only the preview, from a PNG.
  ASSERT_EQ(
      hbimg__makeRenditions(FakeStream::make(makePng(2, 1, 2, 8, {rgbRow({kRed, kGreen})})).get(),
                            1, HBIMG_RENDITION_PV, &r),
      0);
  EXPECT_TRUE(r.pv && !r.tn);
  r = HBImgRenditions{};

  // Failures leave nothing behind and say where they happened.
  EXPECT_EQ(hbimg__makeRenditions(FakeStream::make().get(), 1, 3, &r), BR_EOF);
  EXPECT_TRUE(r.decodeFailed);
  EXPECT_EQ(hbimg__makeRenditions(FakeStream::make(photo12mp().substr(0, 9000)).get(), 1, 3, &r),
            BR_EUNSPEC);
  EXPECT_TRUE(r.decodeFailed && !r.pv && !r.tn);
  EXPECT_TRUE(tempFiles().empty());
}
