// The EXIF reader: hand-built TIFF structures, and JPEGs written by exiftool compared with what
// exiftool reads back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "hbfmt_testutil.h"
#include "testutil.h"

using namespace hbfmt_test;
using tessel::test::runProgram;
using tessel::test::TempDir;

namespace {

struct Entry {
  Entry(uint16_t t, uint16_t ty, uint32_t c, uint32_t v = 0) : tag(t), type(ty), count(c), value(v) {}
  uint16_t tag, type;
  uint32_t count;
  uint32_t value;    // inline value (left-aligned bytes for strings)
  std::string data;  // stored after the IFD, its offset in the value field
  int link = -1;     // index of a sub-IFD whose offset is the value
};
using Ifd = std::vector<Entry>;

Entry ascii(uint16_t tag, const std::string &text) {  // text without its NUL
  Entry e{tag, 2, (uint32_t)text.size() + 1};
  if (e.count <= 4) {
    for (size_t i = 0; i < text.size(); ++i) e.value |= (uint32_t)(uint8_t)text[i] << (8 * i);
  } else {
    e.data = text + '\0';
  }
  return e;
}
Entry rationals(bool big, uint16_t tag, std::vector<int32_t> parts) {
  Entry e{tag, 5, (uint32_t)parts.size() / 2};
  for (int32_t p : parts) put32(e.data, (uint32_t)p, big);
  return e;
}
Entry link(uint16_t tag, int ifd) {
  Entry e{tag, 4, 1};
  e.link = ifd;
  return e;
}

// A TIFF structure: IFD0 and its sub-IFDs laid out in order, each followed by its data.
std::string tiff(bool big, const std::vector<Ifd> &ifds) {
  std::vector<uint32_t> at(ifds.size());
  uint32_t cur = 8;
  for (size_t i = 0; i < ifds.size(); ++i) {
    at[i] = cur;
    cur += 2 + 12 * (uint32_t)ifds[i].size() + 4;
    for (const Entry &e : ifds[i]) cur += (uint32_t)((e.data.size() + 1) & ~1u);
  }
  std::string s = big ? "MM" : "II";
  put16(s, 42, big);
  put32(s, 8, big);
  for (size_t i = 0; i < ifds.size(); ++i) {
    put16(s, (uint16_t)ifds[i].size(), big);
    uint32_t data = at[i] + 2 + 12 * (uint32_t)ifds[i].size() + 4;
    std::string blobs;
    for (const Entry &e : ifds[i]) {
      put16(s, e.tag, big);
      put16(s, e.type, big);
      put32(s, e.count, big);
      if (e.link >= 0) {
        put32(s, at[e.link], big);
      } else if (!e.data.empty()) {
        put32(s, data, big);
        std::string d = e.data;
        if (d.size() & 1) d += '\0';
        blobs += d;
        data += (uint32_t)d.size();
      } else if (e.type == 2) {
        for (int b = 0; b < 4; ++b) s += (char)(e.value >> (8 * b));
      } else {
        put32(s, e.value, big);
      }
    }
    put32(s, 0, big);
    s += blobs;
  }
  return s;
}

std::string jpeg(const std::string &tiffBytes) {
  std::string s = "\xFF\xD8\xFF\xE0";
  put16(s, 16);
  s += std::string("JFIF\0\1\2\0\0\1\0\1\0\0", 14);
  s += "\xFF\xE1";
  put16(s, (uint16_t)(tiffBytes.size() + 8));
  s += std::string("Exif\0\0", 6);
  s += tiffBytes;
  s += "\xFF\xDB";
  s += std::string(6000, '\x11');  // stands in for the image data
  s += "\xFF\xD9";
  return s;
}

const std::vector<std::vector<int>> kBlockPlans = {{}, {1}, {7, 1, 300}, {13}, {4096, 5}};

}  // namespace

TEST(HBFmtExif, LittleEndianMakeAndDateFromOffsets) {
  const std::string file = jpeg(tiff(false, {{ascii(0x010F, "Canon"), link(0x8769, 1)},
                                             {ascii(0x9003, "2013:07:04 12:30:00")}}));
  for (const auto &plan : kBlockPlans) {
    Items it = parseBytes(file, plan);
    EXPECT_EQ(it["EXIF-Make"], "Canon");
    EXPECT_EQ(it["EXIF-DateTimeOriginal"], "1372941000000");
    EXPECT_EQ(it.values.size(), 2u);
    EXPECT_EQ(it.state, HBFMT_STATE_DONE) << "blocks " << plan.size();
  }
}

TEST(HBFmtExif, BigEndianInlineStringsAndGps) {
  const bool be = true;
  Entry latRef = ascii(1, "N"), lonRef = ascii(3, "W");
  const std::string file = jpeg(tiff(
      be, {{ascii(0x010F, "LG"), ascii(0x0110, "G7 ThinQ"), link(0x8825, 1)},
           {latRef, rationals(be, 2, {40, 1, 26, 1, 4614, 100}), lonRef,
            rationals(be, 4, {79, 1, 58, 1, 5622, 100})}}));
  for (const auto &plan : kBlockPlans) {
    Items it = parseBytes(file, plan);
    EXPECT_EQ(it["EXIF-Make"], "LG");
    EXPECT_EQ(it["EXIF-Model"], "G7 ThinQ");
    EXPECT_EQ(it["EXIF-GPSCoordinates"], "40.446150,-79.982283");
  }
}

TEST(HBFmtExif, GpsWithoutReferencesAndDivisionByZero) {
  Items noRefs = parseBytes(jpeg(tiff(false, {{link(0x8825, 1)},
                                              {rationals(false, 2, {10, 1, 0, 1, 0, 1}),
                                               rationals(false, 4, {20, 1, 30, 1, 0, 1})}})));
  EXPECT_EQ(noRefs["EXIF-GPSCoordinates"], "0.000000,0.000000");

  Items zero = parseBytes(jpeg(tiff(false, {{link(0x8825, 1)},
                                            {ascii(1, "S"), rationals(false, 2, {10, 0, 0, 1, 0, 1}),
                                             ascii(3, "E"), rationals(false, 4, {20, 1, 0, 1, 0, 1})}})));
  EXPECT_FALSE(zero.has("EXIF-GPSCoordinates")) << zero["EXIF-GPSCoordinates"];
}

TEST(HBFmtExif, LongStringsAreCutAndWrongTypesIgnored) {
  const std::string longModel(300, 'M');
  Entry badMake{0x010F, 3, 1, 7};  // SHORT instead of ASCII
  Items it = parseBytes(jpeg(tiff(false, {{badMake, ascii(0x0110, longModel)}})), {4096});
  EXPECT_FALSE(it.has("EXIF-Make"));
  EXPECT_EQ(it["EXIF-Model"], std::string(99, 'M'));
  // Split across blocks the long string still yields its first 99 characters.
  Items split = parseBytes(jpeg(tiff(false, {{badMake, ascii(0x0110, longModel)}})), {60, 200});
  EXPECT_EQ(split["EXIF-Model"], std::string(99, 'M'));
}

TEST(HBFmtExif, ValuesBehindThePositionAreNotRead) {
  // The Make string sits before IFD0: a forward-only reader skips it by design.
  std::string t = "II";
  put16(t, 42, false);
  put32(t, 16, false);
  t += std::string("Canon\0\0\0", 8);
  put16(t, 1, false);
  put16(t, 0x010F, false);
  put16(t, 2, false);
  put32(t, 6, false);
  put32(t, 8, false);
  put32(t, 0, false);
  Items it = parseBytes(jpeg(t));
  EXPECT_TRUE(it.values.empty());
  EXPECT_EQ(it.state, HBFMT_STATE_DONE);
}

TEST(HBFmtExif, ThumbnailIfdIsNotFollowed) {
  // IFD0 links to IFD1 (the thumbnail's IFD), which carries a Make: by design not read.
  std::string t = tiff(false, {{ascii(0x0110, "Model A")}, {ascii(0x010F, "Thumb Maker")}});
  const uint32_t ifd1 = 8 + 2 + 12 + 4 + 8;
  for (int i = 0; i < 4; ++i) t[8 + 2 + 12 + i] = (char)(ifd1 >> (8 * i));
  Items it = parseBytes(jpeg(t));
  EXPECT_EQ(it["EXIF-Model"], "Model A");
  EXPECT_FALSE(it.has("EXIF-Make"));
}

TEST(HBFmtExif, BadDatesReportNothing) {
  for (const char *d : {"2013:13:04 12:30:00", "2013:07", "    :  :     :  :  ",
                        "99999999999:01:01 00:00:00"}) {
    Items it = parseBytes(jpeg(tiff(false, {{link(0x8769, 1)}, {ascii(0x9003, d)}})));
    EXPECT_FALSE(it.has("EXIF-DateTimeOriginal")) << d;
  }
}

TEST(HBFmtExif, MalformedSegmentsAndHeaders) {
  // First APP1 is XMP: not ours.
  std::string xmp = "\xFF\xD8\xFF\xE1";
  put16(xmp, 40);
  xmp += "http://ns.adobe.com/xap/1.0/" + std::string(3000, ' ');
  EXPECT_EQ(parseBytes(xmp).state, HBFMT_STATE_FAILED);

  std::string bad = tiff(false, {{ascii(0x010F, "Canon")}});
  bad[0] = 'X';
  Items it = parseBytes(jpeg(bad));
  EXPECT_EQ(it.state, HBFMT_STATE_FAILED);
  bad = tiff(false, {{ascii(0x010F, "Canon")}});
  bad[2] = 43;
  EXPECT_EQ(parseBytes(jpeg(bad)).state, HBFMT_STATE_FAILED);

  // Offsets pointing far past the end, and an IFD0 "behind" its own header.
  std::string far = tiff(false, {{ascii(0x010F, "Canon"), link(0x8769, 1)}, {}});
  far[8 + 2 + 12 + 8] = '\x7f';
  far[8 + 2 + 12 + 11] = '\x7f';
  EXPECT_NE(parseBytes(jpeg(far)).state, 0);
  std::string behind = tiff(false, {{ascii(0x010F, "Canon")}});
  behind[4] = 2;
  EXPECT_TRUE(parseBytes(jpeg(behind)).values.empty());

  // Truncated inside IFD0.
  const std::string whole = jpeg(tiff(false, {{ascii(0x010F, "Canon"), link(0x8769, 1)},
                                              {ascii(0x9003, "2013:07:04 12:30:00")}}));
  for (size_t cut = 0; cut < 120; cut += 7) (void)parseBytes(whole.substr(0, cut), {3});
}

// JPEGs written by exiftool, read back by exiftool -j -n.
TEST(HBFmtExifOracle, MatchesExiftool) {
  TempDir dir;
  ASSERT_EQ(runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=red:s=64x48",
                        "-frames:v", "1", dir.file("base.jpg")})
                .exitCode,
            0);
  std::string base;
  ASSERT_TRUE(tessel::test::readFile(dir.file("base.jpg"), &base));
  struct Case {
    const char *order;
    const char *make, *model, *date;
    double lat, lon;
  };
  const std::string longMake = "Manufacturer Of Very Long Camera Names " + std::string(80, 'x');
  const Case cases[] = {
      {"Little-endian", "Canon", "Canon EOS 5D Mark III", "2013:07:04 12:30:00", 40.44615, -79.982283},
      {"Big-endian", "LG", "Nex", "1999:12:31 23:59:59", -33.8688, 151.2093},
      {"Little-endian", longMake.c_str(), "X", "2000:02:29 00:00:01", -12.5, -77.25},
      {"Big-endian", "NIKON CORPORATION", "NIKON D750", "2020:01:01 08:00:00", 51.5, 0.125},
  };
  std::string args;
  std::vector<std::string> files;
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    files.push_back(dir.file("c" + std::to_string(i) + ".jpg"));
    ASSERT_TRUE(tessel::test::writeFile(files.back(), base));
    char gps[256];
    snprintf(gps, sizeof(gps),
             "-GPSLatitude=%.6f\n-GPSLatitudeRef=%s\n-GPSLongitude=%.6f\n-GPSLongitudeRef=%s\n",
             std::fabs(c.lat), c.lat < 0 ? "S" : "N", std::fabs(c.lon), c.lon < 0 ? "W" : "E");
    args += std::string("-ExifByteOrder=") + c.order + "\n-Make=" + c.make + "\n-Model=" +
            c.model + "\n-DateTimeOriginal=" + c.date + "\n" + gps + "-overwrite_original\n" +
            files.back() + "\n-execute\n";
  }
  ASSERT_TRUE(tessel::test::writeFile(dir.file("args"), args));
  ASSERT_EQ(runProgram({"exiftool", "-q", "-@", dir.file("args")}).exitCode, 0);

  // exiftool -j -n, flattened by Python's json module into "index<TAB>key<TAB>value" lines.
  std::vector<std::string> read = {"exiftool", "-j", "-n", "-Make", "-Model", "-DateTimeOriginal",
                                   "-GPSLatitude", "-GPSLongitude"};
  read.insert(read.end(), files.begin(), files.end());
  auto json = runProgram(read);
  ASSERT_EQ(json.exitCode, 0) << json.err;
  auto flat = runProgram({"/usr/bin/python3", "-c",
                          "import json,sys\n"
                          "for i,d in enumerate(json.load(sys.stdin)):\n"
                          "  for k,v in d.items(): print('%d\\t%s\\t%s' % (i,k,v))\n"},
                         json.out);
  ASSERT_EQ(flat.exitCode, 0) << flat.err;
  std::map<std::pair<int, std::string>, std::string> oracle;
  std::istringstream lines(flat.out);
  for (std::string line; std::getline(lines, line);) {
    const size_t a = line.find('\t'), b = line.find('\t', a + 1);
    oracle[{std::stoi(line.substr(0, a)), line.substr(a + 1, b - a - 1)}] = line.substr(b + 1);
  }

  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    std::string bytes;
    ASSERT_TRUE(tessel::test::readFile(files[i], &bytes));
    Items it = parseBytes(bytes);
    auto want = [&](const char *key) { return oracle[{(int)i, key}]; };
    EXPECT_EQ(it["EXIF-Make"], want("Make").substr(0, 99));
    EXPECT_EQ(it["EXIF-Model"], want("Model").substr(0, 99));
    struct tm tm = {};
    ASSERT_TRUE(strptime(want("DateTimeOriginal").c_str(), "%Y:%m:%d %H:%M:%S", &tm));
    EXPECT_EQ(it["EXIF-DateTimeOriginal"], std::to_string((long long)timegm(&tm) * 1000));
    double lat = 0, lon = 0;
    ASSERT_EQ(sscanf(it["EXIF-GPSCoordinates"].c_str(), "%lf,%lf", &lat, &lon), 2)
        << it["EXIF-GPSCoordinates"];
    EXPECT_NEAR(lat, std::stod(want("GPSLatitude")), 1e-6);
    EXPECT_NEAR(lon, std::stod(want("GPSLongitude")), 1e-6);
    // The same answers through the tool, block by block.
    Items small = parseBytes(bytes, {5, 64, 1});
    EXPECT_EQ(small.values, it.values);
  }
}
