#include "brerror.h"

#include <gtest/gtest.h>

#include <climits>

#include "hbobj.h"

TEST(BrError, NamesOfSuccessNamedAndUnnamedCodes) {
  EXPECT_STREQ(brerror__name(0), "No Error");
  EXPECT_STREQ(brerror__name(1), "No Error");
  EXPECT_STREQ(brerror__name(200), "No Error");
  EXPECT_STREQ(brerror__name(-1), "Unspecified Error");
  EXPECT_STREQ(brerror__name(-24), "EOF");
  EXPECT_STREQ(brerror__name(-32), "Skipped");
  EXPECT_STREQ(brerror__name(-36), "Connection Aborted");
  for (int unnamed : {-28, -29, -30, -31, -33, -37, INT_MIN})
    EXPECT_STREQ(brerror__name(unnamed), "Unknown Error") << unnamed;
}

TEST(BrError, Win32Conversion) {
  EXPECT_EQ(brerror__fromWin32(2), BR_ENOENT);
  EXPECT_EQ(brerror__fromWin32(3), BR_ENOENT);
  EXPECT_EQ(brerror__fromWin32(15), BR_ENOENT);
  EXPECT_EQ(brerror__fromWin32(5), BR_ENOTAUTH);
  EXPECT_EQ(brerror__fromWin32(109), BR_ENOCONN);
  EXPECT_EQ(brerror__fromWin32(232), BR_ECONNRESET);
  EXPECT_EQ(brerror__fromWin32(996), BR_EAGAIN);
  EXPECT_EQ(brerror__fromWin32(6), BR_EUNSPEC);
}

TEST(BrErrorDeathTest, AbortStopsTheProcess) {
  EXPECT_DEATH(brabort("HBMap::setFlags", 555), "HBMap::setFlags:555");
}

namespace {
struct IThing : IHBObj {
  static constexpr int32_t kIfc = 0x10000077;
  virtual int value() = 0;
};
class Thing : public HBObject<Thing, IThing> {
 public:
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ || ifc == IThing::kIfc) return offer<IThing>(out);
    return BR_ENOENT;
  }
  int value() override { return 7; }
};
}  // namespace

TEST(HBObj, HolderCountsReferencesAndQueries) {
  int64_t before = hbobj__liveCount();
  {
    HBRef<IThing> a = HBRef<IThing>::adopt(new Thing);
    HBRef<IThing> b = a;
    EXPECT_EQ(a->upref(), 3);
    EXPECT_EQ(a->dnref(), 2);
    HBRef<IThing> q;
    ASSERT_EQ(hb_query(a.get(), q), 0);
    EXPECT_EQ(q->value(), 7);
    void *none = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(a->getifc(0x10000003, &none), BR_ENOENT);
    EXPECT_EQ(none, reinterpret_cast<void *>(0x1));
  }
#if defined(HB_DEBUG_OBJCOUNT)
  EXPECT_EQ(hbobj__liveCount(), before);
#else
  (void)before;
#endif
}
