// Pictures of every kind the import meets, made at test time with the formats' own tools (and a
// camera raw written with libtiff): renditions within the box and upright for each orientation,
// a raw's preview or development, and damaged, mislabelled and hostile files.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "hbimg.h"
#include "logcapture.h"
#include "testutil.h"

using tessel::test::LogCapture;
using tessel::test::runProgram;
using tessel::test::TempDir;

namespace {

// The picture every kind is made from: quadrants red, green / blue, white, 1600 x 1200.
constexpr int kW = 1600, kH = 1200;

bool run(const std::vector<std::string> &argv) {
  const auto r = runProgram(argv, "", 120000);
  if (r.exitCode != 0) ADD_FAILURE() << argv[0] << " failed: " << r.err;
  return r.exitCode == 0;
}

// A coarse name for a colour: R, G, B, W (white), K (black) or ? (anything else).
char colourAt(const HBImg *img, int32_t x, int32_t y) {
  const uint8_t *p = img->row(y) + x * 3;
  const bool r = p[0] > 160, g = p[1] > 160, b = p[2] > 160;
  const bool r0 = p[0] < 90, g0 = p[1] < 90, b0 = p[2] < 90;
  if (r && g && b) return 'W';
  if (r && g0 && b0) return 'R';
  if (g && r0 && b0) return 'G';
  if (b && r0 && g0) return 'B';
  if (r0 && g0 && b0) return 'K';
  return '?';
}

// The four corners of a picture as seen, clockwise from the top left.
std::string corners(const HBImg *img) {
  const int32_t w = img->width(), h = img->height(), m = std::min(w, h) / 10;
  return {colourAt(img, m, m), colourAt(img, w - 1 - m, m), colourAt(img, w - 1 - m, h - 1 - m),
          colourAt(img, m, h - 1 - m)};
}

// What the stored quadrants (R G / B W) look like for each EXIF orientation.
const char *const kSeen[9] = {"", "RGWB", "GRBW", "WBRG", "BWGR", "RBWG", "BRGW", "WGRB", "GWBR"};

struct Made {
  int32_t rc = 0;
  bool decodeFailed = false;
  HBRef<HBImg> pv, tn;
};

Made renditions(const std::string &path, int32_t orientation = HBIMG_ORIENT_FROM_PICTURE) {
  Made m;
  HBRef<IHBStream> in;
  EXPECT_EQ(hbstream__openFile(in.out(), path.c_str(), HBFILE_O_READ), 0) << path;
  if (!in) return m;
  HBImgRenditions r;
  m.rc = hbimg__makeRenditions(in.get(), orientation, HBIMG_RENDITION_PV | HBIMG_RENDITION_TN, &r);
  m.decodeFailed = r.decodeFailed;
  if (m.rc < 0) return m;
  EXPECT_EQ(hbimg__decodeStream(m.pv.out(), r.pv.get()), 0);
  EXPECT_EQ(hbimg__decodeStream(m.tn.out(), r.tn.get()), 0);
  return m;
}

// Decodes `path` as the import does; the code.
int32_t decodeFile(const std::string &path, HBRef<HBImg> *img) {
  HBRef<IHBStream> in;
  if (hbstream__openFile(in.out(), path.c_str(), HBFILE_O_READ) != 0) return -999;
  return hbimg__decodeStream(img->out(), in.get());
}

using Paint = std::function<void(int32_t x, int32_t y, uint8_t rgb[3])>;

void quadrants(int32_t x, int32_t y, int32_t w, int32_t h, uint8_t rgb[3]) {
  static const uint8_t kColours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  const uint8_t *c = kColours[(y >= h / 2) * 2 + (x >= w / 2)];
  rgb[0] = c[0], rgb[1] = c[1], rgb[2] = c[2];
}

// A DNG as a camera writes it: with `previewW` > 0 an 8-bit RGB preview in IFD0 painted by
// `preview` and the sensor data (RGGB, 16 bits) in a sub-IFD; else the sensor data in IFD0.
bool writeDng(const std::string &path, int32_t w, int32_t h, int orientation, int32_t previewW,
              int32_t previewH, const Paint &preview) {
  TIFF *t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  static const float kMatrix[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f,
                                   0.0415f, 0.0557f,  -0.2040f, 1.0570f};
  static const float kNeutral[3] = {1, 1, 1};
  auto cameraTags = [&] {
    TIFFSetField(t, TIFFTAG_MAKE, "Tessel");
    TIFFSetField(t, TIFFTAG_MODEL, "Test Camera");
    TIFFSetField(t, TIFFTAG_DNGVERSION, "\1\4\0\0");
    TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, "Tessel Test Camera");
    TIFFSetField(t, TIFFTAG_COLORMATRIX1, 9, kMatrix);
    TIFFSetField(t, TIFFTAG_ASSHOTNEUTRAL, 3, kNeutral);
    TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
  };
  auto sensor = [&](uint32_t subfile) {
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, subfile);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
    static const uint16_t kDim[2] = {2, 2};
    TIFFSetField(t, TIFFTAG_CFAREPEATPATTERNDIM, kDim);
    TIFFSetField(t, TIFFTAG_CFAPATTERN, 4, "\0\1\1\2");
    std::vector<uint16_t> row(static_cast<size_t>(w));
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        uint8_t rgb[3];
        quadrants(x, y, w, h, rgb);
        const int site = (y & 1) * 2 + (x & 1);  // R G / G B
        row[x] = static_cast<uint16_t>(rgb[site == 0 ? 0 : site == 3 ? 2 : 1] * 257);
      }
      if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0) return false;
    }
    return TIFFWriteDirectory(t) != 0;
  };
  bool ok;
  if (previewW > 0) {
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, previewW);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, previewH);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, previewH);
    cameraTags();
    const uint64_t sub[1] = {0};
    TIFFSetField(t, TIFFTAG_SUBIFD, 1, sub);
    std::vector<uint8_t> row(static_cast<size_t>(previewW) * 3);
    for (int32_t y = 0; y < previewH; ++y) {
      for (int32_t x = 0; x < previewW; ++x) preview(x, y, &row[static_cast<size_t>(x) * 3]);
      TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0);
    }
    ok = TIFFWriteDirectory(t) && sensor(0);
  } else {
    cameraTags();
    ok = sensor(0);
  }
  TIFFClose(t);
  return ok;
}

// HEIF boxes are big-endian; these read and write their fields in place.
uint64_t be(const std::string &b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | uint8_t(b[at + i]);
  return v;
}
void putBe(std::string &b, size_t at, int bytes, uint64_t v) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) b[at + i] = char(v & 0xFF);
}
std::string beBytes(int bytes, uint64_t v) {
  std::string s(bytes, '\0');
  putBe(s, 0, bytes, v);
  return s;
}

struct Box {
  std::string type;
  size_t at, size, body;  // body: where the payload starts (past a full box's version and flags)
};
// The boxes in [from, to) of `b`; full boxes named in `full` have their 4 header bytes skipped.
std::vector<Box> boxesIn(const std::string &b, size_t from, size_t to) {
  std::vector<Box> out;
  while (from + 8 <= to) {
    Box x{b.substr(from + 4, 4), from, be(b, from, 4), from + 8};
    if (x.size < 8 || from + x.size > to) break;
    if (x.type == "meta" || x.type == "ipma" || x.type == "iloc" || x.type == "pitm") x.body += 4;
    out.push_back(x);
    from += x.size;
  }
  return out;
}
const Box *findBox(const std::vector<Box> &boxes, const char *type) {
  for (const Box &x : boxes)
    if (x.type == type) return &x;
  return nullptr;
}

// The HEIF file `heif` with the item properties `props` (whole boxes, e.g. irot and imir) added
// to its primary image, in that order, after the properties it has: the property container and
// its associations grow, and every item offset that points past the meta box moves with it.
std::string withPrimaryProperties(const std::string &heif, const std::vector<std::string> &props) {
  const std::vector<Box> top = boxesIn(heif, 0, heif.size());
  const Box *meta = findBox(top, "meta");
  if (!meta) return "";
  const std::vector<Box> inMeta = boxesIn(heif, meta->body, meta->at + meta->size);
  const Box *pitm = findBox(inMeta, "pitm"), *iprp = findBox(inMeta, "iprp");
  if (!pitm || !iprp) return "";
  const uint32_t primary = be(heif, pitm->body, heif[pitm->at + 8] == 0 ? 2 : 4);
  const std::vector<Box> inIprp = boxesIn(heif, iprp->body, iprp->at + iprp->size);
  const Box *ipco = findBox(inIprp, "ipco"), *ipma = findBox(inIprp, "ipma");
  if (!ipco || !ipma) return "";
  const size_t known = boxesIn(heif, ipco->body, ipco->at + ipco->size).size();
  std::string newIpco = heif.substr(ipco->at, ipco->size);
  for (const std::string &p : props) newIpco += p;
  putBe(newIpco, 0, 4, newIpco.size());
  // ipma: entries of an item id (2 or 4 bytes), a count, and 1- or 2-byte associations.
  const int idBytes = heif[ipma->at + 8] ? 4 : 2, assocBytes = heif[ipma->at + 11] & 1 ? 2 : 1;
  std::string newIpma = heif.substr(ipma->at, ipma->body + 4 - ipma->at);
  size_t at = ipma->body + 4;
  for (uint32_t e = 0, n = be(heif, ipma->body, 4); e < n; ++e) {
    const uint32_t item = be(heif, at, idBytes);
    uint32_t count = uint8_t(heif[at + idBytes]);
    std::string assoc = heif.substr(at + idBytes + 1, count * assocBytes);
    at += idBytes + 1 + count * assocBytes;
    if (item == primary)
      for (size_t i = 0; i < props.size(); ++i, ++count)  // essential, 1-based
        assoc += beBytes(assocBytes, (assocBytes == 2 ? 0x8000 : 0x80) | (known + 1 + i));
    newIpma += beBytes(idBytes, item) + char(count) + assoc;
  }
  putBe(newIpma, 0, 4, newIpma.size());
  std::string newIprp = heif.substr(iprp->at, 8);
  for (const Box &x : inIprp)
    newIprp += x.type == "ipco" ? newIpco : x.type == "ipma" ? newIpma : heif.substr(x.at, x.size);
  putBe(newIprp, 0, 4, newIprp.size());
  std::string newMeta = heif.substr(meta->at, meta->body - meta->at);
  for (const Box &x : inMeta) newMeta += x.type == "iprp" ? newIprp : heif.substr(x.at, x.size);
  putBe(newMeta, 0, 4, newMeta.size());
  const size_t grown = newMeta.size() - meta->size, metaEnd = meta->at + meta->size;
  // iloc: offsets into the file (construction method 0) beyond the meta box move by `grown`.
  for (const Box &x : boxesIn(newMeta, 12, newMeta.size())) {
    if (x.type != "iloc") continue;
    const int version = newMeta[x.at + 8];
    const int offBytes = uint8_t(newMeta[x.body]) >> 4, lenBytes = newMeta[x.body] & 15,
              baseBytes = uint8_t(newMeta[x.body + 1]) >> 4,
              indexBytes = version ? newMeta[x.body + 1] & 15 : 0;
    size_t p = x.body + 2;
    const uint32_t items = be(newMeta, p, version < 2 ? 2 : 4);
    p += version < 2 ? 2 : 4;
    for (uint32_t i = 0; i < items; ++i) {
      p += version < 2 ? 2 : 4;
      const int method = version ? be(newMeta, p, 2) & 15 : 0;
      p += version ? 2 : 0;
      p += 2;  // data reference index
      const uint64_t base = baseBytes ? be(newMeta, p, baseBytes) : 0;
      if (method == 0 && baseBytes && base >= metaEnd) putBe(newMeta, p, baseBytes, base + grown);
      p += baseBytes;
      const uint32_t extents = be(newMeta, p, 2);
      p += 2;
      for (uint32_t e = 0; e < extents; ++e) {
        p += indexBytes;
        const uint64_t off = offBytes ? be(newMeta, p, offBytes) : 0;
        if (method == 0 && !baseBytes && off >= metaEnd) putBe(newMeta, p, offBytes, off + grown);
        p += offBytes + lenBytes;
      }
    }
  }
  return heif.substr(0, meta->at) + newMeta + heif.substr(metaEnd);
}
// A rotation by `quarters` x 90 degrees anticlockwise; a mirroring that exchanges top and
// bottom (0) or left and right (1), as cameras write it and libheif reads it.
std::string irot(int quarters) { return beBytes(4, 9) + "irot" + char(quarters); }
std::string imir(int axis) { return beBytes(4, 9) + "imir" + char(axis); }

// The kinds made from the quadrant picture, with the preview each gives.
struct Variant {
  const char *name;
  std::vector<std::string> make;  // "IN", "JPG" and "OUT": the PNG, the JPEG, the result
  int32_t width = 1024, height = 768;  // JPEG keeps the library's divisor: 1/2
  const char *seen = "RGWB";
};
const std::vector<Variant> &variants() {
  static const std::vector<Variant> kVariants = {
      {"plain.jpg", {"true"}, 800, 600},
      {"cmyk.jpg", {"convert", "IN", "-colorspace", "CMYK", "OUT"}, 800, 600},
      {"progressive.jpg", {"convert", "IN", "-interlace", "JPEG", "OUT"}, 800, 600},
      {"interlaced.png", {"convert", "IN", "-interlace", "PNG", "OUT"}},
      {"gray-alpha.png", {"convert", "IN", "-alpha", "on", "-type", "GrayscaleAlpha", "OUT"},
       1024, 768, "KWWK"},
      {"palette4.png", {"convert", "IN", "-colors", "4", "PNG8:OUT"}},
      {"lossy.webp", {"cwebp", "-quiet", "-q", "90", "IN", "-o", "OUT"}},
      {"lossless.webp", {"cwebp", "-quiet", "-lossless", "IN", "-o", "OUT"}},
      {"animated.webp", {"img2webp", "-lossless", "IN", "IN", "-o", "OUT"}},
      {"lzw.tif", {"convert", "IN", "-compress", "LZW", "OUT"}},
      {"zip16.tif", {"convert", "IN", "-depth", "16", "-compress", "Zip", "OUT"}},
      {"jpeg.tif", {"convert", "IN", "-compress", "JPEG", "OUT"}},
      {"tiled.tif",
       {"convert", "IN", "-type", "TrueColor", "-define", "tiff:tile-geometry=256x256", "OUT"}},
      {"cmyk.tif", {"convert", "IN", "-colorspace", "CMYK", "OUT"}},
      {"palette.tif", {"convert", "IN", "-type", "Palette", "OUT"}},
      {"plain.gif", {"convert", "IN", "OUT"}},
      {"interlaced.gif", {"convert", "IN", "-interlace", "GIF", "OUT"}},
      {"rgb24.bmp", {"convert", "IN", "-type", "TrueColor", "BMP3:OUT"}},
      {"rgb32.bmp", {"convert", "IN", "-alpha", "on", "BMP:OUT"}},
      {"palette8.bmp", {"convert", "IN", "-type", "Palette", "BMP3:OUT"}},
      {"rle8.bmp", {"convert", "IN", "-type", "Palette", "-compress", "RLE", "BMP3:OUT"}},
      {"q.heic", {"heif-enc", "-q", "90", "JPG", "-o", "OUT"}},
      {"q.avif", {"heif-enc", "-A", "-q", "90", "JPG", "-o", "OUT"}},
  };
  return kVariants;
}

class Kinds : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    png = dir->file("q.png");
    run({"convert", "-size", "800x600", "xc:red", "(", "-size", "800x600", "xc:lime", ")",
         "+append", "(", "-size", "800x600", "xc:blue", "-size", "800x600", "xc:white",
         "+append", ")", "-append", "+repage", "-type", "TrueColor", png});
    jpg = dir->file("plain.jpg");
    run({"convert", png, "-quality", "90", jpg});
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  static std::string file(const std::string &name) { return dir->file(name); }
  // Makes the variant's file with its tool, from the quadrant picture (or its JPEG).
  static bool make(const Variant &v) {
    std::vector<std::string> argv;
    for (const std::string &a : v.make)
      argv.push_back(a == "IN"    ? png
                     : a == "JPG" ? jpg
                     : a.find("OUT") != std::string::npos ? a.substr(0, a.find("OUT")) + file(v.name)
                                                          : a);
    return run(argv);
  }
  static TempDir *dir;
  static std::string png, jpg;
};
TempDir *Kinds::dir = nullptr;
std::string Kinds::png, Kinds::jpg;

std::string sharedHeif(const std::string &name) {
  const std::string p = tessel::test::sourcePath("../shared/testdata/images/heif/" + name);
  return std::filesystem::exists(p) ? p : "";
}

}  // namespace

TEST_F(Kinds, EveryKindComesOutWithinTheBoxAndUprightForEachOrientation) {
  // Without an orientation: every kind and variant decodes to the fitted 1024 x 768 preview and
  // the 160 x 160 square thumbnail, colours and corners in place.
  for (const Variant &v : variants()) {
    const std::string out = file(v.name);
    ASSERT_TRUE(make(v)) << v.name;
    Made m = renditions(out);
    ASSERT_EQ(m.rc, 0) << v.name;
    EXPECT_EQ(m.pv->width(), v.width) << v.name;
    EXPECT_EQ(m.pv->height(), v.height) << v.name;
    EXPECT_EQ(m.tn->width(), 160) << v.name;
    EXPECT_EQ(m.tn->height(), 160) << v.name;
    EXPECT_EQ(corners(m.pv.get()), v.seen) << v.name;
    EXPECT_EQ(corners(m.tn.get()), v.seen) << v.name;
  }
  // The 24-bit bitmap rewritten top-down (rows reversed, height negative) is seen the same.
  std::string bmp;
  ASSERT_TRUE(tessel::test::readFile(file("rgb24.bmp"), &bmp));
  const uint32_t at = uint8_t(bmp[10]) | uint8_t(bmp[11]) << 8, stride = (kW * 3 + 3) & ~3u;
  std::string flipped = bmp.substr(0, at);
  for (int y = kH - 1; y >= 0; --y) flipped += bmp.substr(at + size_t(y) * stride, stride);
  const int32_t negative = -kH;
  std::memcpy(&flipped[22], &negative, 4);
  ASSERT_TRUE(tessel::test::writeFile(file("topdown.bmp"), flipped));
  Made top = renditions(file("topdown.bmp"));
  ASSERT_EQ(top.rc, 0);
  EXPECT_EQ(corners(top.pv.get()), "RGWB");

  // Orientations 1 to 8 from the picture's own data: a JPEG's and a WebP's EXIF, a TIFF's tag,
  // a raw's flip. A HEIC keeps its EXIF orientation as information only (its own
  // transformations are libheif's to apply), so it is never turned a second time.
  for (int o = 1; o <= 8; ++o) {
    const std::string n = std::to_string(o);
    const std::string oj = file("o" + n + ".jpg"), ow = file("o" + n + ".webp"),
                      ot = file("o" + n + ".tif"), oh = file("o" + n + ".heic"),
                      od = file("o" + n + ".dng");
    ASSERT_TRUE(run({"cp", jpg, oj}));
    ASSERT_TRUE(run({"exiftool", "-q", "-overwrite_original", "-Orientation#=" + n, oj}));
    ASSERT_TRUE(run({"cwebp", "-quiet", "-metadata", "exif", oj, "-o", ow}));
    ASSERT_TRUE(run({"tiffcp", "-c", "lzw", file("lzw.tif"), ot}));
    ASSERT_TRUE(run({"tiffset", "-s", "274", n, ot}));
    ASSERT_TRUE(run({"heif-enc", "-q", "90", oj, "-o", oh}));
    ASSERT_TRUE(writeDng(od, kW, kH, o, 0, 0, nullptr));
    for (const std::string &f : {oj, ow, ot, od}) {
      Made m = renditions(f);
      ASSERT_EQ(m.rc, 0) << f;
      const bool turned = o >= 5;
      EXPECT_LE(std::max(m.pv->width(), m.pv->height()), 1024) << f;
      EXPECT_EQ(m.pv->width() < m.pv->height(), turned) << f;
      EXPECT_EQ(corners(m.pv.get()), kSeen[o]) << f;
      EXPECT_EQ(corners(m.tn.get()), kSeen[o]) << f;
    }
    Made h = renditions(oh);
    ASSERT_EQ(h.rc, 0);
    EXPECT_EQ(corners(h.pv.get()), "RGWB") << "heic " << o;
    // The orientation the caller gives still wins.
    Made given = renditions(ot, 1);
    ASSERT_EQ(given.rc, 0);
    EXPECT_EQ(corners(given.pv.get()), "RGWB");
  }

  // A HEIF's own rotation (irot, quarter turns anticlockwise) and mirroring (imir) are applied
  // once, in the order the file gives them, and an EXIF orientation inside it (6) is not
  // applied on top: the preview's shape and corners follow the transformations alone.
  struct Transformed {
    const char *from;
    std::vector<std::string> props;
    int o;  // the EXIF orientation that shows the same
  };
  const Transformed transformed[] = {
      {"q.heic", {irot(2)}, 3},         {"q.heic", {imir(0)}, 4},
      {"q.heic", {imir(1)}, 2},         {"q.heic", {irot(1), imir(0)}, 5},
      {"o6.heic", {irot(1)}, 8},        {"o6.heic", {irot(3)}, 6},
      {"o6.heic", {imir(0), irot(1)}, 7},
  };
  for (const Transformed &t : transformed) {
    std::string heif;
    ASSERT_TRUE(tessel::test::readFile(file(t.from), &heif));
    const std::string edited = withPrimaryProperties(heif, t.props);
    ASSERT_FALSE(edited.empty());
    ASSERT_TRUE(tessel::test::writeFile(file("t.heic"), edited));
    Made m = renditions(file("t.heic"));
    ASSERT_EQ(m.rc, 0) << t.from << " as " << t.o;
    const bool turned = t.o >= 5;
    EXPECT_EQ(m.pv->width(), turned ? 768 : 1024) << t.from << " as " << t.o;
    EXPECT_EQ(m.pv->height(), turned ? 1024 : 768) << t.from << " as " << t.o;
    EXPECT_EQ(corners(m.pv.get()), kSeen[t.o]) << t.from << " as " << t.o;
    EXPECT_EQ(corners(m.tn.get()), kSeen[t.o]) << t.from << " as " << t.o;
  }

  // A ".heic" that is a JPEG decodes as the JPEG it is; a ".jpg" that is a HEIC as a HEIC.
  ASSERT_TRUE(run({"cp", jpg, file("really-jpeg.heic")}));
  ASSERT_TRUE(run({"cp", file("q.heic"), file("really-heic.jpg")}));
  for (const char *name : {"really-jpeg.heic", "really-heic.jpg"}) {
    Made m = renditions(file(name));
    ASSERT_EQ(m.rc, 0) << name;
    EXPECT_EQ(corners(m.pv.get()), "RGWB") << name;
  }

  // The shared HEIF samples.
  for (const char *name : {"example.heic", "example.avif"}) {
    const std::string p = sharedHeif(name);
    if (p.empty()) {
      GTEST_LOG_(INFO) << "no shared sample " << name << ", not checked";
      continue;
    }
    Made m = renditions(p);
    ASSERT_EQ(m.rc, 0) << name;
    EXPECT_LE(std::max(m.pv->width(), m.pv->height()), 1024) << name;
    EXPECT_EQ(m.tn->width(), 160);
  }
}

TEST_F(Kinds, CameraRawUsesItsPreviewWhenLargeEnoughElseIsDeveloped) {
  LogCapture log;
  // A preview painted in other colours (yellow everywhere) shows which path was taken.
  const Paint yellow = [](int32_t, int32_t, uint8_t rgb[3]) { rgb[0] = rgb[1] = 255, rgb[2] = 0; };
  const std::string big = file("big-preview.dng"), small = file("small-preview.dng");
  ASSERT_TRUE(writeDng(big, kW, kH, 6, 1200, 900, yellow));
  ASSERT_TRUE(writeDng(small, kW, kH, 6, 256, 192, yellow));
  Made m = renditions(big);
  ASSERT_EQ(m.rc, 0) << log.text();
  EXPECT_EQ(m.pv->width(), 768);  // 1200 x 900, turned and fitted
  EXPECT_EQ(m.pv->height(), 1024);
  const uint8_t *p = m.pv->row(500) + 300 * 3;
  EXPECT_TRUE(p[0] > 200 && p[1] > 200 && p[2] < 60) << "the preview is used";
  // A preview smaller than the box: the sensor data developed at half size, turned by its flip.
  m = renditions(small);
  ASSERT_EQ(m.rc, 0);
  EXPECT_EQ(m.pv->width(), 600);  // half of 1600 x 1200, turned
  EXPECT_EQ(m.pv->height(), 800);
  EXPECT_EQ(corners(m.pv.get()), kSeen[6]);
  // A truncated raw fails as a decode failure; the original still goes up.
  std::string bytes;
  ASSERT_TRUE(tessel::test::readFile(small, &bytes));
  ASSERT_TRUE(tessel::test::writeFile(file("cut.dng"), bytes.substr(0, bytes.size() / 3)));
  m = renditions(file("cut.dng"));
  if (m.rc < 0) {
    EXPECT_TRUE(m.decodeFailed);
  }
}

TEST_F(Kinds, DamagedAndHostilePicturesFailCleanlyAndQuickly) {
  LogCapture log;
  const auto started = std::chrono::steady_clock::now();
  HBRef<HBImg> img;
  // Empty and cut short, of every kind (each cut at several places).
  ASSERT_TRUE(tessel::test::writeFile(file("empty.heic"), ""));
  EXPECT_EQ(decodeFile(file("empty.heic"), &img), BR_EOF);
  const char *kinds[] = {"q.heic", "q.avif", "lossy.webp", "animated.webp", "lzw.tif",
                         "tiled.tif", "plain.gif", "interlaced.gif", "rgb24.bmp", "rle8.bmp",
                         "cmyk.jpg", "interlaced.png"};
  for (const char *k : kinds) {
    std::string bytes;
    // Each test may run in a process of its own: the kinds are made here when missing.
    for (const Variant &v : variants())
      if (std::string(v.name) == k && !std::filesystem::exists(file(k))) {
        EXPECT_TRUE(make(v)) << k;
      }
    if (!tessel::test::readFile(file(k), &bytes)) {
      ADD_FAILURE() << k << " was not made";
      continue;
    }
    for (size_t cut : {size_t{3}, size_t{40}, bytes.size() / 2, bytes.size() - 9}) {
      ASSERT_TRUE(tessel::test::writeFile(file("cut"), bytes.substr(0, cut)));
      Made m = renditions(file("cut"));
      EXPECT_TRUE(m.rc < 0 ? m.decodeFailed : bool(m.pv)) << k << " cut at " << cut;
    }
  }

  // A TIFF claiming 100000 x 100000 pixels is refused before anything is allocated; one
  // claiming 16000 x 16000 with its data missing fails at its first strip.
  for (uint32_t side : {100000u, 16000u}) {
    const std::string bomb = file("bomb.tif");
    TIFF *t = TIFFOpen(bomb.c_str(), "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, side);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, side);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, side);
    TIFFWriteRawStrip(t, 0, const_cast<char *>("x\x9c\x03\x00"), 4);
    TIFFClose(t);
    EXPECT_EQ(decodeFile(bomb, &img), side == 100000u ? BR_ENOSPC : BR_EUNSPEC) << side;
  }
  EXPECT_TRUE(log.has("Image too large to decode: 100000 x 100000"));

  // A GIF of 5000 frames: only the first is read. One whose screen claims 65535 x 65535: refused.
  std::string gif("GIF89a\x02\x00\x02\x00\x80\x00\x00\xFF\x00\x00\x00\x00\xFF", 19);
  // Each frame: a graphic control block, then one pixel of colour 0 at the top left.
  const std::string frame("\x21\xF9\x04\x00\x01\x00\x00\x00\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x00"
                          "\x02\x02\x44\x01\x00", 23);
  for (int i = 0; i < 5000; ++i) gif += frame;
  ASSERT_TRUE(tessel::test::writeFile(file("many.gif"), gif + ";"));
  ASSERT_EQ(decodeFile(file("many.gif"), &img), 0);
  EXPECT_EQ(img->width(), 2);
  EXPECT_EQ(colourAt(img.get(), 0, 0), 'R');
  gif.replace(6, 4, "\xFF\xFF\xFF\xFF");
  ASSERT_TRUE(tessel::test::writeFile(file("huge.gif"), gif.substr(0, 19 + 23) + ";"));
  EXPECT_EQ(decodeFile(file("huge.gif"), &img), BR_ENOSPC);

  // A bitmap claiming 60000 x 60000, and one whose palette runs past its data.
  std::string bmp("BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x60\xEA\0\0\x60\xEA\0\0\1\0\x18\0", 30);
  bmp += std::string(24, '\0');
  ASSERT_TRUE(tessel::test::writeFile(file("huge.bmp"), bmp));
  EXPECT_EQ(decodeFile(file("huge.bmp"), &img), BR_ENOSPC);

  // The hostile HEIF files: never a crash, a hang or a picture out of bounds.
  const std::string hostile = sharedHeif("hostile");
  if (hostile.empty()) {
    GTEST_LOG_(INFO) << "no shared hostile HEIF files, not checked";
  } else {
    int decoded = 0, refused = 0;
    for (const auto &e : std::filesystem::directory_iterator(hostile)) {
      Made m = renditions(e.path().string());
      if (m.rc == 0) {
        ++decoded;
        EXPECT_LE(std::max(m.pv->width(), m.pv->height()), 1024) << e.path();
      } else {
        ++refused;
        EXPECT_TRUE(m.decodeFailed) << e.path();
      }
    }
    EXPECT_GT(refused, 0);
    GTEST_LOG_(INFO) << decoded << " hostile HEIF files decoded, " << refused << " refused";
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(120));
}

TEST_F(Kinds, ProgressivePanoramasGetTheMemoryTheirFileCanHold) {
  // Progressive coefficients of 1600 x 1600 without subsampling take 15 MB: with a working
  // memory of 8 MB the picture decodes because its file can hold such a picture; the same
  // header on a file cut to 40 kB is refused before the library asks for the memory.
  const std::string pano = file("pano.jpg");
  ASSERT_TRUE(run({"convert", "-size", "1600x1600", "xc:gray", "+noise", "Random",
                   "-type", "TrueColor", "-sampling-factor", "1x1", "-interlace", "JPEG", "-quality", "90",
                   pano}));
  HBImageDecoderJPEG__setLibraryMemoryForTest(8L << 20);
  LogCapture log;
  HBRef<HBImg> img;
  EXPECT_EQ(decodeFile(pano, &img), 0);
  EXPECT_GT(img ? img->width() : 0, 0);
  std::string bytes;
  ASSERT_TRUE(tessel::test::readFile(pano, &bytes));
  ASSERT_TRUE(tessel::test::writeFile(file("claims.jpg"), bytes.substr(0, 40000)));
  EXPECT_LT(decodeFile(file("claims.jpg"), &img), 0);
  EXPECT_TRUE(log.has("A progressive picture of 1600x1600 needs 30 MB to decode: refused"))
      << log.text();
  HBImageDecoderJPEG__setLibraryMemoryForTest(0);
}
