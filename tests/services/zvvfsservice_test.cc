// The store over the service, against tesselsvc: opening, files and folders, content with its
// renditions, names that exist, listings across pages, uploads that are cut or short, an
// offline drive, readers on many threads, and a drive-to-drive copy through HBVFS2Copy.
#include "zvvfsservice.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "../server/svctestserver.h"
#include "drivetree.h"
#include "hbjson.h"

namespace {

using namespace tessel::test;

class ServiceStore : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_data = new TempDir;
    SvcUser user;
    std::string err;
    ASSERT_TRUE(addSvcUser(s_data->path(), "alice", "pw", {"--drives", "2"}, &user, &err)) << err;
    s_user = user;
    // The second drive: the second quoted text of "serviceids".
    const size_t list = user.line.find("\"serviceids\"");
    const size_t second = user.line.find(",\"", list);
    ASSERT_NE(std::string::npos, second);
    s_second = user.line.substr(second + 2, user.line.find('"', second + 2) - second - 2);
    s_svc = new SvcProcess;
    ASSERT_TRUE(s_svc->start(s_data->path()));
  }
  static void TearDownTestSuite() {
    delete s_svc;
    delete s_data;
  }
  HBRef<IHBVFS2> open(const std::string &service = s_user.service, int32_t *rc = nullptr) {
    return openDrive(s_svc->url(), s_user.token, s_user.device, service, rc);
  }
  static TempDir *s_data;
  static SvcProcess *s_svc;
  static SvcUser s_user;
  static std::string s_second;
};
TempDir *ServiceStore::s_data;
SvcProcess *ServiceStore::s_svc;
SvcUser ServiceStore::s_user;
std::string ServiceStore::s_second;

TEST_F(ServiceStore, FilesFoldersAndContent) {
  int32_t rc = 0;
  openDrive(s_svc->url(), "00000000000000000000000000000000", s_user.device, s_user.service, &rc);
  EXPECT_EQ(BR_ENOTAUTH, rc);
  open("svc0000", &rc);
  EXPECT_EQ(BR_ENOENT, rc);
  HBRef<IHBVFS2> store = open();
  ASSERT_TRUE(store);
  EXPECT_STREQ("Drive 1", store->getName());
  HBRef<IHBVFSFile> top, album, again, f;
  ASSERT_EQ(0, store->getFileByID(nullptr, "0", 0, top.out()));
  EXPECT_EQ(BR_EINVAL, store->getFileByID(nullptr, "../1", 0, f.out()));
  album = putFolder(store.get(), top.get(), "Album");
  // An existing folder is reused.
  ASSERT_EQ(0, store->createFile(top.get(), "Album", HBVFS_TYPE_FOLDER, nullptr, again.out()));
  EXPECT_STREQ(album->getFileID(), again->getFileID());

  HBRef<HBMap> props;
  ASSERT_EQ(0, HBMap::create("p", 256, 256, props));
  ASSERT_EQ(0, props->putString("EXIF-Make", "Cam"));
  ASSERT_EQ(0, props->putString("mtime", "1600000000000"));
  ASSERT_EQ(0, store->createFile(album.get(), "a.jpg", HBVFS_TYPE_FILE, props.get(), f.out()));
  const std::string body = pattern(200000, 1), thumb = pattern(3000, 2);
  ASSERT_EQ(0, writeResource(f.get(), HBVFS_RES_PRIMARY, body));
  ASSERT_EQ(0, writeResource(f.get(), HBVFS_RES_TN, thumb, false));  // chunked
  EXPECT_EQ(BR_EUNSUPPORTED, writeResource(f.get(), HBVFS_RES_HD, "x"));

  HBRef<IHBVFSFile> back;
  ASSERT_EQ(0, album->getChildByName("a.jpg", back.out()));
  EXPECT_EQ(200000, back->getSize());
  EXPECT_EQ(1600000000000, back->getMTime());
  EXPECT_STREQ("image/jpeg", back->getMimeType());
  HBRef<IHBMap> got;
  ASSERT_EQ(0, back->getProperties(got.out()));
  EXPECT_STREQ("Cam", got->getString("EXIF-Make"));
  EXPECT_EQ(body, readResource(back.get(), HBVFS_RES_PRIMARY));
  EXPECT_EQ(thumb, readResource(back.get(), HBVFS_RES_TN));
  HBRef<IHBVFSResource> none;
  EXPECT_EQ(BR_ENOENT, back->getResource(HBVFS_RES_PV, none.out()));
  // The service compares names exactly, and a name is never a path.
  EXPECT_EQ(BR_ENOENT, album->getChildByName("A.JPG", again.out()));
  EXPECT_EQ(BR_ENOENT, top->getChildByName("Album/a.jpg", again.out()));

  // A name that exists: a second file beside it, or the same file when asked to write over it.
  ASSERT_EQ(0, store->createFile(album.get(), "a.jpg", 0, nullptr, again.out()));
  EXPECT_STREQ("a (2).jpg", again->getName());
  ASSERT_EQ(0, props->putString("overwrite", "1"));
  ASSERT_EQ(0, store->createFile(album.get(), "a.jpg", 0, props.get(), again.out()));
  EXPECT_STREQ(f->getFileID(), again->getFileID());
  HBRef<IHBVFSFile> bad;
  EXPECT_EQ(BR_EINVAL, store->createFile(album.get(), "..", 0, nullptr, bad.out()));

  // An upload short of its length, or cut by the service, stores nothing.
  {
    HBRef<IHBVFSResource> res;
    ASSERT_EQ(0, again->createResource(HBVFS_RES_PRIMARY, res.out()));
    res->setSize(10);
    HBRef<IHBStream> s;
    ASSERT_EQ(0, res->openStream(s.out(), HBVFS_OPEN_WRITE, nullptr));
    EXPECT_EQ(4, s->write("abcd", 4));
    EXPECT_EQ(BR_ECONNABORTED, s->close());
  }
  // The service may still be reading the short upload above when the fault is set, and that
  // upload may take the first cut; the second is ours, and what is left over is cleared.
  ASSERT_TRUE(s_svc->admin("upload?mode=cut&after=1000&count=2"));
  EXPECT_LT(writeResource(again.get(), HBVFS_RES_PRIMARY, pattern(50000, 3)), 0);
  ASSERT_TRUE(s_svc->admin("upload?mode=cut&count=0"));
  ASSERT_EQ(0, store->getFileByID(nullptr, f->getFileID(), 0, back.out()));
  EXPECT_EQ(body, readResource(back.get(), HBVFS_RES_PRIMARY));

  ASSERT_EQ(0, back->deleteFile(0));
  EXPECT_EQ(BR_ENOENT, store->getFileByID(nullptr, f->getFileID(), 0, again.out()));
  EXPECT_EQ("", readResource(f.get(), HBVFS_RES_PRIMARY, &rc));
  EXPECT_EQ(BR_ENOENT, rc);

  ASSERT_TRUE(s_svc->admin("offline?serviceid=" + s_user.service));
  EXPECT_EQ(ZVVFS_EOFFLINE, store->getFileByID(nullptr, album->getFileID(), 0, again.out()));
  ASSERT_TRUE(s_svc->admin("online?serviceid=" + s_user.service));
}

TEST_F(ServiceStore, ListingsAcrossPagesAndManyReaders) {
  HBRef<IHBVFS2> store = open();
  HBRef<IHBVFSFile> top, many;
  ASSERT_EQ(0, store->getFileByID(nullptr, "0", 0, top.out()));
  many = putFolder(store.get(), top.get(), "Many");
  for (int i = 0; i < 510; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%04d", i);
    HBRef<IHBVFSFile> f;
    ASSERT_EQ(0, store->createFile(many.get(), name, i % 2 ? HBVFS_TYPE_FILE : HBVFS_TYPE_FOLDER,
                                   nullptr, f.out()));
  }
  auto names = [&](int32_t offset, int32_t count) {
    HBRef<IHBIter> it;
    std::vector<std::string> out;
    EXPECT_EQ(0, many->iterateChildren(it.out(), 0, nullptr, nullptr, offset, count));
    for (;;) {
      hbtype_t t = HBIFC_VFSFILE;
      void *item = nullptr;
      const int32_t rc = it->next(&t, &item);
      if (rc < 0) {
        EXPECT_EQ(BR_ERANGE, rc);
        break;
      }
      HBRef<IHBVFSFile> f = HBRef<IHBVFSFile>::adopt(static_cast<IHBVFSFile *>(item));
      out.push_back(f->getName());
    }
    return out;
  };
  EXPECT_EQ(510u, names(0, 0).size());
  EXPECT_EQ((std::vector<std::string>{"f0499", "f0500", "f0501"}), names(499, 3));
  EXPECT_EQ((std::vector<std::string>{"f0509"}), names(509, 10));

  // Readers on many threads share one store.
  HBRef<IHBVFSFile> photo = putFile(store.get(), top.get(), "shared.jpg", pattern(70000, 9));
  std::vector<std::thread> readers;
  std::atomic<int> good{0};
  for (int t = 0; t < 6; ++t)
    readers.emplace_back([&] {
      for (int i = 0; i < 4; ++i) {
        HBRef<IHBVFSFile> f;
        if (store->getFileByID(nullptr, photo->getFileID(), 0, f.out()) == 0 &&
            readResource(f.get(), HBVFS_RES_PRIMARY) == pattern(70000, 9) &&
            names(505, 0).size() == 5)
          ++good;
      }
    });
  for (auto &r : readers) r.join();
  EXPECT_EQ(24, good.load());
}

TEST_F(ServiceStore, DriveToDriveCopyCarriesRenditions) {
  HBRef<IHBVFS2> one = open(), two = open(s_second);
  ASSERT_TRUE(two);
  HBRef<IHBVFSFile> top1, top2, trip;
  ASSERT_EQ(0, one->getFileByID(nullptr, "0", 0, top1.out()));
  ASSERT_EQ(0, two->getFileByID(nullptr, "0", 0, top2.out()));
  trip = putFolder(one.get(), top1.get(), "Trip");
  putFile(one.get(), trip.get(), "beach.jpg", pattern(150000, 4), pattern(2000, 5),
          pattern(40000, 6));
  HBRef<IHBVFSFile> day = putFolder(one.get(), trip.get(), "Day 2");
  putFile(one.get(), day.get(), "hill.jpg", pattern(1000, 7));

  HBRef<HBFileCopyTracker> tracker;
  ASSERT_EQ(0, HBFileCopyTracker::create(tracker.out()));
  HBRef<HBVFS2Copy> copier;
  ASSERT_EQ(0, HBVFS2Copy::create(tracker.get(), copier.out()));
  for (int round = 0; round < 2; ++round) {  // the second writes over the first
    ASSERT_EQ(0, copier->copy(nullptr, s_user.token.c_str(), one.get(), trip.get(), two.get(),
                              top2.get()));
    HBRef<IHBVFSFile> t, beach, d, hill;
    ASSERT_EQ(0, top2->getChildByName("Trip", t.out()));
    ASSERT_EQ(0, t->getChildByName("beach.jpg", beach.out()));
    EXPECT_EQ(pattern(150000, 4), readResource(beach.get(), HBVFS_RES_PRIMARY));
    EXPECT_EQ(pattern(2000, 5), readResource(beach.get(), HBVFS_RES_TN));
    EXPECT_EQ(pattern(40000, 6), readResource(beach.get(), HBVFS_RES_PV));
    ASSERT_EQ(0, t->getChildByName("Day 2", d.out()));
    ASSERT_EQ(0, d->getChildByName("hill.jpg", hill.out()));
    EXPECT_EQ(pattern(1000, 7), readResource(hill.get(), HBVFS_RES_PRIMARY));
  }
  EXPECT_EQ(2 * (150000 + 2000 + 40000 + 1000), copier->copiedBytes());
  EXPECT_EQ(0, tracker->failedFiles());
}

TEST(ServiceRecord, HostileRecordsAreRefused) {
  const char *bad[] = {
      R"({"fileid":"../etc","name":"x","type":"0"})",
      R"({"fileid":"1 2","name":"x"})",
      R"({"fileid":"7","type":"1"})",
      R"({"fileid":"7","name":"x","parentid":"a/b"})",
  };
  for (const char *text : bad) {
    HBRef<HBMap> rec;
    ASSERT_GT(hbjson__parseText(rec, text, -1), 0) << text;
    HBRef<IHBVFSFile> f;
    EXPECT_EQ(BR_EINVAL, zvvfsservice__fileFromRecord(rec.get(), f.out())) << text;
  }
  HBRef<HBMap> rec;
  const char *odd = R"({"fileid":"9","name":"a/b\u0001","type":"0","mtime":"-4",)"
                    R"("size":"99999999999999999999999","thumbnail":"9/tn"})";
  ASSERT_GT(hbjson__parseText(rec, odd, -1), 0);
  HBRef<IHBVFSFile> f;
  ASSERT_EQ(0, zvvfsservice__fileFromRecord(rec.get(), f.out()));
  EXPECT_EQ(-1, f->getSize());
  EXPECT_EQ(0, f->getMTime());
  HBRef<IHBVFSResource> tn;
  HBRef<IHBStream> s;
  ASSERT_EQ(0, f->getResource(HBVFS_RES_TN, tn.out()));
  EXPECT_EQ(BR_EBADSTATE, tn->openStream(s.out(), HBVFS_OPEN_READ, nullptr));
}

}  // namespace
