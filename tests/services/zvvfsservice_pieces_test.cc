// The drive store's large uploads against tesselsvc: in pieces through a cut (taken up again
// from the service's offset, nothing sent twice), and in one PUT to a service that takes none.
#include <gtest/gtest.h>

#include <string>

#include "../server/svctestserver.h"
#include "drivetree.h"
#include "hbsvcupload.h"
#include "zvvfsservice.h"

namespace {

using namespace tessel::test;

int64_t received(const SvcProcess &svc) {
  RunResult r =
      runProgram({"curl", "-sS", svc.url() + "/admin/received?secret=" + svc.secret()});
  const size_t at = r.out.find("\"bytes\":");
  return at == std::string::npos ? -1 : std::stoll(r.out.substr(at + 8));
}

TEST(ServiceStorePieces, ALargeWriteGoesOnThroughACutAndGoesWholeToAnOldService) {
  TempDir data;
  SvcUser user;
  std::string err;
  ASSERT_TRUE(addSvcUser(data.path(), "alice", "pw", {}, &user, &err)) << err;
  SvcProcess svc;
  ASSERT_TRUE(svc.start(data.path()));
  hbsvcupload__forget(nullptr);
  HBRef<IHBVFS2> store = openDrive(svc.url(), user.token, user.device, user.service);
  ASSERT_TRUE(store);
  HBRef<IHBVFSFile> top, f, back;
  ASSERT_EQ(0, store->getFileByID(nullptr, "0", 0, top.out()));

  // Two pieces, the second cut part way: the writer never notices.
  const std::string big = pattern(40 << 20, 7);
  ASSERT_EQ(0, store->createFile(top.get(), "big.bin", HBVFS_TYPE_FILE, nullptr, f.out()));
  const int64_t before = received(svc);
  ASSERT_TRUE(svc.admin("upload?mode=cut&after=" + std::to_string(36 << 20) + "&across=1"));
  ASSERT_EQ(0, writeResource(f.get(), HBVFS_RES_PRIMARY, big));
  EXPECT_LT(received(svc) - before, 44 << 20);
  ASSERT_EQ(0, store->getFileByID(nullptr, f->getFileID(), 0, back.out()));
  EXPECT_EQ(static_cast<int64_t>(big.size()), back->getSize());
  EXPECT_TRUE(readResource(back.get(), HBVFS_RES_PRIMARY) == big);

  // A service that takes no pieces (once it is asked again) gets the stream in one PUT.
  ASSERT_TRUE(svc.admin("pieces?enabled=0"));
  hbsvcupload__forget(nullptr);
  const std::string mid = pattern(12 << 20, 8);
  ASSERT_EQ(0, store->createFile(top.get(), "mid.bin", HBVFS_TYPE_FILE, nullptr, f.out()));
  ASSERT_EQ(0, writeResource(f.get(), HBVFS_RES_PRIMARY, mid));
  ASSERT_EQ(0, store->getFileByID(nullptr, f->getFileID(), 0, back.out()));
  EXPECT_TRUE(readResource(back.get(), HBVFS_RES_PRIMARY) == mid);
}

}  // namespace
