// The renditions made ahead: bounded by the memory their decodes take, not by their count.
#include "vximport_prefetch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"

using tessel::test::TempDir;

namespace {

bool make(const std::vector<std::string> &argv) {
  return tessel::test::runProgram(argv, "", 120000).exitCode == 0;
}

}  // namespace

TEST(ImportPrefetchBudget, PicturesAreDecodedAheadOnlyWhileTheirMemoryFits) {
  TempDir dir;
  // Small JPEGs (a few MB of decode each) and two larger TIFFs and a HEIC (each over 10 MB).
  std::vector<std::string> small, large;
  for (int i = 0; i < 3; ++i) {
    small.push_back(dir.file("s" + std::to_string(i) + ".jpg"));
    ASSERT_TRUE(make({"convert", "-size", "1200x900", "plasma:", small.back()}));
  }
  large.push_back(dir.file("l0.tif"));
  ASSERT_TRUE(make({"convert", "-size", "3000x2000", "gradient:red-blue", "-compress", "None",
                    "-define", "tiff:rows-per-strip=2000", large.back()}));
  large.push_back(dir.file("l1.tif"));
  ASSERT_TRUE(make({"cp", large[0], large.back()}));
  large.push_back(dir.file("l2.heic"));
  ASSERT_TRUE(make({"heif-enc", "-q", "50", small[0], "-o", large.back()}));

  HBImgProbe probe;
  {
    HBRef<IHBStream> in;
    ASSERT_EQ(hbstream__openFile(in.out(), large[0].c_str(), HBFILE_O_READ), 0);
    ASSERT_EQ(hbimg__probe(in.get(), &probe), 0);
    EXPECT_EQ(probe.width, 3000);
    EXPECT_GT(probe.decodeBytes, int64_t{18} << 20);  // the one 18 MB strip at least
  }
  const uint32_t both = HBIMG_RENDITION_PV | HBIMG_RENDITION_TN;
  // A budget below one large picture: each runs alone, never two together; the small ones
  // share what is left.
  VXImportPrefetch ahead(8, probe.decodeBytes / 2);
  std::vector<std::string> all = small;
  all.insert(all.end(), large.begin(), large.end());
  for (const std::string &p : all) ASSERT_TRUE(ahead.start(p, both));
  for (const std::string &p : all) {
    VXImportFileSignature now;
    ASSERT_EQ(vximport__fileSignature(p.c_str(), &now), 0);
    HBImgRenditions r;
    int32_t rc = -999;
    ASSERT_TRUE(ahead.take(p, both, now, &r, &rc)) << p;
    EXPECT_EQ(rc, 0) << p;
    EXPECT_TRUE(r.pv && r.tn) << p;
  }
  EXPECT_LE(ahead.peakBytes(), probe.decodeBytes + (int64_t{4} << 20));
  EXPECT_GE(ahead.peakBytes(), probe.decodeBytes);

  // A picture that does not read is not held back, and fails as a decode failure.
  ASSERT_TRUE(tessel::test::writeFile(dir.file("bad.jpg"), "\xFF\xD8 not really"));
  ASSERT_TRUE(ahead.start(dir.file("bad.jpg"), both));
  VXImportFileSignature now;
  ASSERT_EQ(vximport__fileSignature(dir.file("bad.jpg").c_str(), &now), 0);
  HBImgRenditions r;
  int32_t rc = 0;
  ASSERT_TRUE(ahead.take(dir.file("bad.jpg"), both, now, &r, &rc));
  EXPECT_LT(rc, 0);
  EXPECT_TRUE(r.decodeFailed);
}
