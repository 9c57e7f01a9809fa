// Metadata of every kind of picture: files made by ImageMagick, libheif and libtiff, tagged by
// exiftool, must give the same items as a JPEG with the same EXIF; hand-built containers and
// hostile inputs end safely; every text leaves as valid UTF-8.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "hbfmt_testutil.h"
#include "hbstr.h"
#include "testutil.h"

using namespace hbfmt_test;
using tessel::test::readFile;
using tessel::test::runProgram;
using tessel::test::TempDir;
using tessel::test::writeFile;

namespace {

// Pictures kept with the project's shared test data; the parts that use them are left out on a
// machine without it.
const std::string kShared = tessel::test::sourcePath("../shared/testdata/images/heif");

Items parseFile(const std::string &path) {
  HBRef<IHBMap> map;
  if (hbfmtparser__parseFile(path.c_str(), map.out()) != 0) return {};
  return collect(map.get());
}

bool validUtf8(const std::string &s) { return hbstr__validUTF8(s) == s; }

// A little-endian TIFF: header, then IFDs as given (each a list of raw 12-byte entries and an
// offset of its own), then `tail` at the end. Offsets are the caller's.
std::string entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
  std::string e;
  put16(e, tag, false);
  put16(e, type, false);
  put32(e, count, false);
  put32(e, value, false);
  return e;
}
std::string ifd(const std::vector<std::string> &entries, uint16_t count = 0) {
  std::string s;
  put16(s, count ? count : (uint16_t)entries.size(), false);
  for (const std::string &e : entries) s += e;
  put32(s, 0, false);
  return s;
}

std::string box(const std::string &type, const std::string &body) {
  std::string s;
  put32(s, (uint32_t)(body.size() + 8));
  return s + type + body;
}
std::string fullBox(const std::string &type, uint8_t version, const std::string &body) {
  return box(type, std::string(1, (char)version) + std::string(3, '\0') + body);
}

// A HEIF whose item 1 is "Exif" at the given construction method and place.
std::string heif(const std::string &exifItem, bool inIdat, bool mdatFirst = false) {
  std::string infe = fullBox("infe", 2, std::string("\0\1\0\0Exif", 8));
  std::string iinf = fullBox("iinf", 0, std::string("\0\1", 2) + infe);
  const std::string ftyp = box("ftyp", "heic" + std::string(4, '\0') + "mif1heic");
  auto build = [&](uint32_t offset) {
    std::string il;
    il += (char)0x44;  // offset and length 4 bytes
    il += (char)0x00;  // no base offset, no index
    put16(il, 1);
    put16(il, 1);                    // item 1
    put16(il, inIdat ? 1 : 0);       // construction method
    put16(il, 0);                    // data reference
    put16(il, 1);                    // one extent
    put32(il, offset);
    put32(il, (uint32_t)exifItem.size());
    std::string meta = fullBox("hdlr", 0, std::string(4, '\0') + "pict" + std::string(13, '\0')) +
                       iinf + fullBox("iloc", 1, il);
    if (inIdat) meta += box("idat", exifItem);
    return fullBox("meta", 0, meta);
  };
  const std::string big = box("free", std::string(20000, '\x55'));
  if (mdatFirst) {
    const std::string mdat = box("mdat", exifItem);
    return ftyp + mdat + build((uint32_t)(ftyp.size() + 8)) + big;
  }
  const size_t metaSize = build(0).size();
  const uint32_t at = (uint32_t)(ftyp.size() + metaSize + big.size() + 8);
  return ftyp + build(inIdat ? 0 : at) + big + box("mdat", inIdat ? "" : exifItem);
}

const char *const kTags[] = {"-Make=Canon",
                             "-Model=EOS 5D Mark III",
                             "-DateTimeOriginal=2013:07:04 12:30:00",
                             "-GPSLatitude=40.44615",
                             "-GPSLatitudeRef=N",
                             "-GPSLongitude=79.982283",
                             "-GPSLongitudeRef=W",
                             "-Orientation#=6"};

}  // namespace

TEST(HBFmtKinds, EveryKindGivesTheItemsOfAJpegWithTheSameExif) {
  TempDir dir;
  auto f = [&](const std::string &n) { return dir.file(n); };
  ASSERT_EQ(runProgram({"convert", "-size", "64x48", "gradient:red-blue", f("base.png")}).exitCode, 0);
  for (const char *out : {"x.jpg", "x.tif", "x.webp"})
    ASSERT_EQ(runProgram({"convert", f("base.png"), f(out)}).exitCode, 0) << out;
  ASSERT_EQ(runProgram({"tiffcp", "-B", f("x.tif"), f("be.tif")}).exitCode, 0);
  ASSERT_EQ(runProgram({"heif-enc", "-q", "50", f("base.png"), "-o", f("x.heic")}).exitCode, 0);
  std::string bytes;
  std::vector<std::string> kinds = {"x.tif", "be.tif", "x.webp", "x.heic", "x.dng"};
  const bool shared = readFile(kShared + "/example.heic", &bytes);
  if (shared) {
    for (const char *name : {"example.heic", "example.avif"}) {
      ASSERT_TRUE(readFile(kShared + "/" + name, &bytes));
      ASSERT_TRUE(writeFile(f(std::string("shared-") + name), bytes));
      kinds.push_back(std::string("shared-") + name);
    }
  }
  ASSERT_TRUE(readFile(f("x.tif"), &bytes));
  ASSERT_TRUE(writeFile(f("x.dng"), bytes));
  std::vector<std::string> tag = {"exiftool", "-q", "-overwrite_original"};
  tag.insert(tag.end(), std::begin(kTags), std::end(kTags));
  tag.push_back(f("x.jpg"));
  for (const std::string &k : kinds) tag.push_back(f(k));
  auto r = runProgram(tag);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(runProgram({"exiftool", "-q", "-overwrite_original", "-DNGVersion=1.4.0.0", f("x.dng")})
                .exitCode,
            0);

  const Items jpeg = parseFile(f("x.jpg"));
  EXPECT_EQ(jpeg.values, (std::map<std::string, std::string>{
                             {"EXIF-Make", "Canon"},
                             {"EXIF-Model", "EOS 5D Mark III"},
                             {"EXIF-DateTimeOriginal", "1372941000000"},
                             {"EXIF-GPSCoordinates", "40.446150,-79.982283"},
                             {"EXIF-Orientation", "6"}}));
  for (const std::string &k : kinds) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(readFile(f(k), &bytes));
    EXPECT_EQ(parseFile(f(k)).values, jpeg.values);
    // The same through short and odd reads, and read straight through without seeks.
    EXPECT_EQ(parseBytes(bytes, {5, 64, 1}).values, jpeg.values);
    EXPECT_EQ(parseBytes(bytes, {}, 1000).values, jpeg.values);
  }
  // The image data of the large HEIF is skipped by seeking, not read.
  if (shared) {
    ASSERT_TRUE(readFile(f("shared-example.heic"), &bytes));
    auto src = ChunkStream::make(bytes);
    HBRef<IHBFormatParser> p;
    ASSERT_EQ(hbfmtparser__new(p.out(), src.get()), 0);
    EXPECT_EQ(p->parseAll(), 0);
    EXPECT_EQ(p->getState(), HBFMT_STATE_DONE);
    EXPECT_LT(src->bytesRead, 64 * 1024) << bytes.size();
    (void)p->close();
  }

  // A JPEG under a HEIF name is read by what it is; raws with their own TIFF magic numbers
  // (Olympus "IIRO", Panasonic "IIU\0") are read like TIFF.
  ASSERT_TRUE(readFile(f("x.jpg"), &bytes));
  EXPECT_EQ(parseBytes(bytes).values, jpeg.values);
  ASSERT_TRUE(readFile(f("x.tif"), &bytes));
  for (const std::string &magic : {std::string("IIRO"), std::string("IIRS"), std::string("IIU\0", 4)}) {
    std::string raw = bytes;
    raw.replace(0, 4, magic);
    EXPECT_EQ(parseBytes(raw).values, jpeg.values) << magic;
  }

  // The EXIF block of the JPEG in the other containers, built by hand: a HEIF item in idat, in a
  // mdat after meta (skipping a large box) or before it (not read: the walk goes forward only),
  // a WebP chunk with the JPEG identifier, a RAF's preview and CR3 CMT boxes.
  ASSERT_TRUE(readFile(f("x.jpg"), &bytes));
  const size_t app1 = bytes.find("Exif\0\0", 0, 6);
  ASSERT_NE(app1, std::string::npos);
  const uint16_t segLen = (uint16_t)(((uint8_t)bytes[app1 - 2] << 8) | (uint8_t)bytes[app1 - 1]);
  const std::string tiffBlock = bytes.substr(app1 + 6, segLen - 8);
  const std::string item = std::string("\0\0\0\6Exif\0\0", 10) + tiffBlock;
  EXPECT_EQ(parseBytes(heif(item, true)).values, jpeg.values);
  EXPECT_EQ(parseBytes(heif(item, false), {100, 3}).values, jpeg.values);
  EXPECT_TRUE(parseBytes(heif(item, false, true)).values.empty());
  std::string webp = std::string("RIFF\0\0\0\0WEBPVP8X\x0a\0\0\0\x08", 21) +
                     std::string(9, '\0') + std::string("EXIF\0\0\0\0Exif\0\0", 14) + tiffBlock;
  auto le = [](size_t v) { std::string s; put32(s, (uint32_t)v, false); return s; };
  webp.replace(4, 4, le(webp.size() - 8));
  webp.replace(34, 4, le(webp.size() - 38));
  EXPECT_EQ(parseBytes(webp).values, jpeg.values);
  std::string raf = "FUJIFILMCCD-RAW 0201FF383501" + std::string(56, ' ');
  put32(raf, 0x100);
  put32(raf, (uint32_t)bytes.size());
  raf.resize(0x100, '\0');
  EXPECT_EQ(parseBytes(raf + bytes + std::string(50000, 'r'), {77}).values, jpeg.values);

  // CR3: IFD0 in CMT1, the Exif sub-IFD in CMT2 and the GPS sub-IFD in CMT4, each its own TIFF.
  const std::string hdr = std::string("II*\0\x08\0\0\0", 8);
  const std::string cmt1 = hdr + ifd({entry(0x010F, 2, 4, 0x00584E43 /* "CNX" */),
                                      entry(0x0110, 2, 8, 50), entry(0x0112, 3, 1, 8)}) +
                           std::string("EOS R5\0\0", 8);
  const std::string cmt2 = hdr + ifd({entry(0x9003, 2, 20, 26)}) +
                           std::string("2021:03:04 05:06:07\0", 20);
  std::string gpsData;
  for (uint32_t v : {10u, 1u, 30u, 1u, 0u, 1u, 20u, 1u, 15u, 1u, 0u, 1u}) put32(gpsData, v, false);
  const std::string cmt4 = hdr + ifd({entry(1, 2, 2, 'S'), entry(2, 5, 3, 62), entry(3, 2, 2, 'E'),
                                      entry(4, 5, 3, 86)}) + gpsData;
  const std::string canon =
      box("uuid", fromHex("85c0b687820f11e08111f4ce462b6a48") + box("CNCV", "CanonCR3_001/00.09.00") +
                      box("CMT1", cmt1) + box("CMT2", cmt2) + box("CMT3", std::string(40, 'm')) +
                      box("CMT4", cmt4));
  const std::string cr3 = box("ftyp", "crx " + std::string("\0\0\0\1crx isom", 12)) +
                          box("moov", box("uuid", std::string(16, 'x') + "other") + canon +
                                          box("trak", std::string(300, 't'))) +
                          box("mdat", std::string(30000, 'd'));
  EXPECT_EQ(parseBytes(cr3, {33}).values, (std::map<std::string, std::string>{
                                              {"EXIF-Make", "CNX"},
                                              {"EXIF-Model", "EOS R5"},
                                              {"EXIF-Orientation", "8"},
                                              {"EXIF-DateTimeOriginal", "1614834367000"},
                                              {"EXIF-GPSCoordinates", "-10.500000,20.250000"}}));
}

TEST(HBFmtKinds, HostileInputsEndSafely) {
  // Cyclic IFDs: the Exif pointer names IFD0 itself and the GPS IFD names the Exif IFD; an
  // entry count of 65535 over a short file; values and IFDs far beyond the end.
  const std::string hdr = std::string("II*\0\x08\0\0\0", 8);
  const std::vector<std::string> tiffs = {
      hdr + ifd({entry(0x8769, 4, 1, 8), entry(0x8825, 4, 1, 8), entry(0x010F, 2, 3, 'A')}),
      hdr + ifd({entry(0x8769, 4, 1, 38), entry(0x010F, 2, 3, 'B')}) +
          ifd({entry(0x8825, 4, 1, 38), entry(0x9003, 2, 20, 8)}),
      hdr + ifd({entry(0x010F, 2, 3, 'C')}, 65535),
      hdr + ifd({entry(0x010F, 2, 0xFFFFFFF0, 0xFFFFFF00), entry(0x8769, 4, 1, 0xFFFFFFF0),
                 entry(0x0112, 3, 1, 0x77)}),
  };
  for (const std::string &t : tiffs) {
    Items it = parseBytes(t);
    EXPECT_LE(it.values.size(), 1u);
    // The same blocks inside the other containers.
    const std::string item = std::string("\0\0\0\0", 4) + t;
    EXPECT_LE(parseBytes(heif(item, true)).values.size(), 1u);
    EXPECT_LE(parseBytes(heif(item, false)).values.size(), 1u);
  }
  EXPECT_EQ(parseBytes(tiffs[2])["EXIF-Make"], "C");
  EXPECT_FALSE(parseBytes(tiffs[3]).has("EXIF-Orientation"));

  // Containers whose sizes and counts lie: a meta box of 4 GB, an iloc extent far beyond the
  // file or of 0 bytes, an item whose TIFF offset points past it, a WebP EXIF chunk larger than
  // the file, a RAF preview beyond the end, a 64-bit box size that wraps.
  std::string tiff = hdr + ifd({entry(0x010F, 2, 3, 'D')});
  std::string lying = heif(std::string("\0\0\0\0", 4) + tiff, false);
  std::vector<std::string> inputs;
  std::string m = lying;
  const size_t meta = m.find("meta") - 4;
  m.replace(meta, 4, "\xFF\xFF\xFF\xF0");
  inputs.push_back(m);
  for (uint32_t bad : {0xFFFFFF00u, 0u}) {
    m = lying;
    const size_t iloc = m.find("iloc");
    std::string v;
    put32(v, bad);
    m.replace(iloc + 4 + 4 + 2 + 2 + 2 + 2 + 2 + 2 + 4, 4, v);  // the extent length
    inputs.push_back(m);
  }
  inputs.push_back(heif(std::string("\x7F\0\0\0", 4) + tiff, true));
  std::string riff = "RIFF";
  put32(riff, 100, false);
  inputs.push_back(riff + "WEBPEXIF\xF0\xFF\xFF\x7F" + tiff);
  std::string raf = "FUJIFILMCCD-RAW " + std::string(68, ' ');
  put32(raf, 0x7FFFFFF0);
  put32(raf, 0x7FFFFFF0);
  inputs.push_back(raf + std::string(100, '\xFF'));
  inputs.push_back(std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic\0\0\0\1meta", 32) +
                   std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xF0", 8) + std::string(64, 'x'));
  for (const std::string &in : inputs) {
    Items it = parseBytes(in, {3, 50});
    EXPECT_TRUE(it.values.empty()) << in.size();
  }

  // Every cut of real files, and the hostile HEIF files we keep: no crash, no hang.
  TempDir dir;
  ASSERT_EQ(runProgram({"convert", "-size", "32x24", "xc:green", dir.file("c.webp")}).exitCode, 0);
  ASSERT_EQ(runProgram({"convert", "-size", "32x24", "xc:green", dir.file("c.tif")}).exitCode, 0);
  std::vector<std::string> tagArgs = {"exiftool", "-q", "-overwrite_original"};
  tagArgs.insert(tagArgs.end(), std::begin(kTags), std::end(kTags));
  tagArgs.push_back(dir.file("c.webp"));
  tagArgs.push_back(dir.file("c.tif"));
  ASSERT_EQ(runProgram(tagArgs).exitCode, 0);
  for (const char *name : {"c.webp", "c.tif"}) {
    std::string whole;
    ASSERT_TRUE(readFile(dir.file(name), &whole));
    for (size_t cut = 0; cut < whole.size(); cut += 7) {
      Items it = parseBytes(whole.substr(0, cut), {11});
      for (const auto &[k, v] : it.values) EXPECT_TRUE(validUtf8(v)) << k;
    }
  }
  const std::string hostile = kShared + "/hostile";
  DIR *d = opendir(hostile.c_str());
  if (!d) return;
  int files = 0;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string bytes;
    if (!readFile(hostile + "/" + e->d_name, &bytes)) continue;
    ++files;
    Items it = parseBytes(bytes, {1000, 7});
    for (const auto &[k, v] : it.values) EXPECT_TRUE(validUtf8(v)) << e->d_name << " " << k;
  }
  closedir(d);
  EXPECT_GT(files, 10);
}

TEST(HBFmtKinds, TextsLeaveAsValidUtf8) {
  // Latin-1 and stray bytes become their Latin-1 letters, controls go, valid UTF-8 stays, and a
  // Model cut at 99 bytes does not end in half a character.
  const std::string hdr = std::string("II*\0\x08\0\0\0", 8);
  std::string make = "M\xFCller \x01\x1B" "Cam\x7F\x85\x9F";
  std::string model = std::string(98, 'a') + "\xC3\xA9" "bc";
  const uint32_t data = 8 + 2 + 3 * 12 + 4;
  std::string t = hdr + ifd({entry(0x010F, 2, (uint32_t)make.size() + 1, data),
                             entry(0x0110, 2, (uint32_t)model.size() + 1,
                                   data + (uint32_t)make.size() + 1),
                             entry(0x0131, 2, 4, 0)}) +
                  make + '\0' + model + '\0';
  std::string jpeg = "\xFF\xD8\xFF\xE1";
  put16(jpeg, (uint16_t)(t.size() + 8));
  jpeg += std::string("Exif\0\0", 6) + t;
  for (const std::string &file : {t, jpeg}) {
    Items it = parseBytes(file);
    EXPECT_EQ(it["EXIF-Make"], "M\xC3\xBCller Cam");
    EXPECT_EQ(it["EXIF-Model"], std::string(98, 'a'));
    for (const auto &[k, v] : it.values) EXPECT_TRUE(validUtf8(v)) << k;
  }
  // A character that ends exactly at the cut is kept.
  std::string whole = t;
  whole.replace(whole.find(model), model.size(), std::string(97, 'a') + "\xC3\xA9" "bcd");
  EXPECT_EQ(parseBytes(whole)["EXIF-Model"], std::string(97, 'a') + "\xC3\xA9");
  EXPECT_EQ(hbfmt__cleanText("Caf\xE9\tOK\r\n\xC2\x85" "\xE2\x82\xAC"), "Caf\xC3\xA9\tOK\r\n\xE2\x82\xAC");
  EXPECT_EQ(hbfmt__cleanText(hbfmt__cleanText("\x80\xFF\xC0")), hbfmt__cleanText("\x80\xFF\xC0"));
}
