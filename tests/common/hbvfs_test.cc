// Virtual file systems: what the base classes refuse and how they say so, the file record, the
// copy engine between two stores (renditions, overwrite, failures, cancel, hostile trees, a
// thread pool), and the manager slot with the adapters of its older revision.
#include "hbvfs.h"

#include <gtest/gtest.h>

#include "brthreadpool.h"
#include "logcapture.h"
#include "memvfs.h"

namespace {

using memvfs::MemFile;
using memvfs::MemStore;
using tessel::test::LogCapture;

// A store and a file that implement nothing of their own.
class BareStore final : public HBVFSBase {
 public:
  BareStore() : HBVFSBase("d", "s", "first", 7) {}
  int32_t getFileByID(IHBVFSFile *, const char *, int32_t, IHBVFSFile **) override {
    return BR_ENOENT;
  }
};
class BareFile final : public HBVFSBaseFile {
 public:
  BareFile() : HBVFSBaseFile("f1", "p1", "Photo.JPG", HBVFS_TYPE_FILE, 5, 6) {}
};

TEST(VFSBase, UnimplementedOperationsSayWhichAndAnswerMinus4) {
  LogCapture log;
  HBRef<BareStore> store = HBRef<BareStore>::adopt(new BareStore);
  HBRef<IHBMap> map;
  HBRef<IHBVFSFile> f;
  HBRef<IHBIter> it;
  EXPECT_EQ(BR_ENOTIMPL, store->getVFSProperties(map.out()));
  EXPECT_EQ(BR_ENOTIMPL, store->moveFile(nullptr, nullptr, "x", f.out()));
  EXPECT_EQ(BR_ENOTIMPL, store->createFile(nullptr, "x", 0, nullptr, f.out()));
  EXPECT_EQ(BR_ENOTIMPL, store->searchFiles(it.out(), 0, "a", "b", 0, 0));
  EXPECT_EQ(BR_ENOTIMPL, store->getMetaVersion());
  EXPECT_EQ(BR_ENOTIMPL, store->reserved2());
  void *p = nullptr;
  EXPECT_EQ(BR_ENOENT, store->getifc(0x12345, &p));
  EXPECT_TRUE(
      log.has("[VFSBAS][02] Base class doesn't implement 'virtual int32_t "
              "HBVFSBase::getVFSProperties(IHBMap**)'"));
  EXPECT_TRUE(log.has("VFSBase doesn't implement 'virtual int64_t HBVFSBase::getMetaVersion()'"));
  EXPECT_TRUE(log.has("*** Asked for interface 0x12345 that we don't support!"));

  // A name handed out stays readable after it is replaced.
  const char *old = store->getName();
  store->setName("second");
  EXPECT_STREQ("first", old);
  EXPECT_STREQ("second", store->getName());
  EXPECT_EQ(7u, store->getFlags());

  HBRef<BareFile> file = HBRef<BareFile>::adopt(new BareFile);
  HBRef<IHBVFSResource> r;
  EXPECT_EQ(BR_ENOTIMPL, file->getProperties(map.out()));
  EXPECT_EQ(BR_ENOTIMPL, file->setProperty("a", "b"));
  EXPECT_EQ(BR_ENOTIMPL, file->deleteFile(0));
  EXPECT_EQ(BR_ENOTIMPL, file->createResource(1, r.out()));
  // Looking a child up needs the children: the listing's refusal comes back.
  EXPECT_EQ(BR_ENOTIMPL, file->getChildByName("x", f.out()));
  EXPECT_EQ(BR_ENOENT, file->getResource(0, r.out()));
  EXPECT_EQ(BR_ENOENT, file->getResource(6, r.out()));
  EXPECT_TRUE(
      log.has("[VFSBFI][02] VFSBaseFile doesn't implement 'virtual int32_t "
              "HBVFSBaseFile::getProperties(IHBMap**)'"));
  EXPECT_STREQ("image/jpeg", file->getMimeType());
  EXPECT_EQ(0, file->getSize());
}

TEST(VFSBase, FileRecord) {
  MemStore store("Drive");
  HBRef<HBMap> props;
  ASSERT_EQ(0, HBMap::create("p", 256, 256, props));
  ASSERT_EQ(0, props->putString("mime", "video/mp4"));
  ASSERT_EQ(0, props->putString("tnstamp", "77"));
  MemFile *f = store.add(store.root.get(), "clip.bin", HBVFS_TYPE_FILE, props.get());
  f->put(HBVFS_RES_PRIMARY, std::string(1234, 'x'));
  f->put(HBVFS_RES_TN, "t");
  HBRef<IHBRPCSerializable> ser;
  ASSERT_EQ(0, hb_query<IHBRPCSerializable>(f->obj(), ser));
  EXPECT_STREQ("file", ser->getTypeName());
  std::map<std::string, std::string> rec;
  const HBRPCPropertyEntry *table = ser->getPropertyTable();
  int32_t i = 0;
  for (; table[i].name; ++i) {
    char buf[64];
    if (table[i].hbtype == HBTYPE_TEXT) {
      ASSERT_GE(ser->getPropertyText(i, buf, sizeof buf), 0);
      rec[table[i].name] = buf;
    }
  }
  EXPECT_EQ(22, i);
  EXPECT_EQ(BR_ENOENT, ser->getPropertyText(i, nullptr, 0));
  EXPECT_EQ("1", rec["fileid"]);
  EXPECT_EQ("0", rec["type"]);
  EXPECT_EQ("clip.bin", rec["filename"]);
  EXPECT_EQ("video/mp4", rec["mimetype"]);
  EXPECT_EQ("video", rec["mediatype"]);
  EXPECT_EQ("1234", rec["size"]);
  EXPECT_EQ("77", rec["tnstamp"]);
  EXPECT_EQ("full", rec["streamtype"]);
  EXPECT_EQ("1/tn", rec["thumbnail"]);
  EXPECT_EQ("", rec["preview"]);
  // A cut text still tells its full length.
  char small[3];
  EXPECT_EQ(8, ser->getPropertyText(2, small, sizeof small));
  EXPECT_STREQ("cl", small);
  hbtype_t t = 0;
  void *obj = nullptr;
  ASSERT_EQ(0, ser->getPropertyObject(18, &t, &obj));
  HBRef<IHBMap> copy = HBRef<IHBMap>::adopt(static_cast<IHBMap *>(obj));
  EXPECT_EQ(HBIFC_MAP, t);
  EXPECT_STREQ("video/mp4", copy->getString("mime"));
}

// A tree on `store`: Album/a.jpg (original, "tn", "pv"), Album/Sub/b.jpg, and a.jpg's bytes.
std::string fillSource(MemStore &store) {
  std::string big;
  for (int i = 0; i < 300000; ++i) big += char('a' + i % 23);
  MemFile *album = store.add(store.root.get(), "Album", HBVFS_TYPE_FOLDER);
  MemFile *a = store.add(album, "a.jpg", HBVFS_TYPE_FILE);
  a->put(HBVFS_RES_PRIMARY, big);
  a->put(HBVFS_RES_TN, "thumb");
  a->put(HBVFS_RES_PV, "preview!");
  MemFile *sub = store.add(album, "Sub", HBVFS_TYPE_FOLDER);
  store.add(sub, "b.jpg", HBVFS_TYPE_FILE)->put(HBVFS_RES_PRIMARY, "bee");
  return big;
}

HBRef<HBFileCopyTracker> newTracker() {
  HBRef<HBFileCopyTracker> t;
  EXPECT_EQ(0, HBFileCopyTracker::create(t.out()));
  return t;
}

TEST(VFSCopy, TreeWithRenditionsThenOverwrite) {
  MemStore src("Source Drive"), dst("Other");
  const std::string big = fillSource(src);
  HBRef<HBFileCopyTracker> tracker = newTracker();
  HBRef<HBVFS2Copy> copier;
  ASSERT_EQ(0, HBVFS2Copy::create(tracker.get(), copier.out()));
  LogCapture log;
  ASSERT_EQ(0, copier->copy(nullptr, "tok", &src, src.root.get(), &dst, nullptr));
  // The top of a drive is named after the drive.
  MemFile *a = dst.at("Source Drive/Album/a.jpg");
  ASSERT_NE(nullptr, a);
  HBRef<IHBVFSResource> r;
  ASSERT_EQ(0, a->getResource(HBVFS_RES_PRIMARY, r.out()));
  EXPECT_EQ(big, static_cast<memvfs::MemResource *>(r.get())->data);
  EXPECT_EQ("purpose=import", static_cast<memvfs::MemResource *>(r.get())->lastOptions);
  ASSERT_EQ(0, a->getResource(HBVFS_RES_PV, r.out()));
  EXPECT_EQ("preview!", static_cast<memvfs::MemResource *>(r.get())->data);
  EXPECT_EQ(BR_ENOENT, a->getResource(HBVFS_RES_ST, r.out()));
  ASSERT_NE(nullptr, dst.at("Source Drive/Album/Sub/b.jpg"));
  EXPECT_EQ(2, tracker->files());
  EXPECT_EQ(int64_t(big.size() + 5 + 8 + 3), tracker->totalBytes());
  EXPECT_EQ(tracker->totalBytes(), copier->copiedBytes());
  EXPECT_TRUE(tracker->finished());
  EXPECT_TRUE(log.has("Copied 300000 bytes!"));

  // Again: the files exist, so the copy asks the store to write over them.
  ASSERT_EQ(0, copier->copy(nullptr, "tok", &src, src.at("Album"), &dst, dst.at("Source Drive")));
  EXPECT_EQ("1", dst.lastOverwrite);
  EXPECT_EQ(1u, dst.at("Source Drive")->children.size());
}

TEST(VFSCopy, FailuresStopTheFileAndLeaveNothingHalfMade) {
  MemStore src("S"), dst("D");
  fillSource(src);
  MemFile *a = src.at("Album/a.jpg");
  HBRef<IHBVFSResource> tn;
  ASSERT_EQ(0, a->getResource(HBVFS_RES_TN, tn.out()));
  // The thumbnail reads short; the preview after it would copy fine but must not hide that.
  static_cast<memvfs::MemResource *>(tn.get())->readShortBy = 2;
  HBRef<HBFileCopyTracker> tracker = newTracker();
  HBRef<HBVFS2Copy> copier;
  ASSERT_EQ(0, HBVFS2Copy::create(tracker.get(), copier.out()));
  LogCapture log;
  EXPECT_EQ(BR_ENOCONN, copier->copy(nullptr, nullptr, &src, src.at("Album"), &dst, nullptr));
  EXPECT_TRUE(log.has("Attempted inter-vfs copy of 5 bytes, but only copied 3 bytes"));
  EXPECT_EQ(nullptr, dst.at("Album/a.jpg"));  // made by the copy, then removed
  EXPECT_EQ(1, tracker->failedFiles());

  dst.failCreate = BR_ENOSPC;
  EXPECT_EQ(BR_ENOSPC,
            copier->copy(nullptr, nullptr, &src, src.at("Album/Sub/b.jpg"), &dst, nullptr));
  EXPECT_TRUE(log.has("Failed to create dest file: [-12] b.jpg"));
  dst.failCreate = 0;

  // Cancelled: nothing more is copied.
  tracker->cancel();
  EXPECT_EQ(BR_ECANCELED, copier->copy(nullptr, nullptr, &src, src.root.get(), &dst, nullptr));
}

TEST(VFSCopy, HostileTreesEndAndPoolsReport) {
  MemStore src("S"), dst("D");
  // A folder that lists itself, and a chain deeper than the copy enters.
  MemFile *loop = src.add(src.root.get(), "Loop", HBVFS_TYPE_FOLDER);
  loop->children.push_back(HBRef<IHBVFSFile>::retain(loop));
  MemFile *deep = src.root.get();
  for (int i = 0; i < 70; ++i) deep = src.add(deep, "d", HBVFS_TYPE_FOLDER);
  HBRef<HBFileCopyTracker> tracker = newTracker();
  HBRef<HBVFS2Copy> copier;
  ASSERT_EQ(0, HBVFS2Copy::create(tracker.get(), copier.out()));
  LogCapture log;
  ASSERT_EQ(0, copier->copy(nullptr, nullptr, &src, src.root.get(), &dst, nullptr));
  EXPECT_TRUE(log.has("too deep or its own ancestor"));
  std::string path = "S";
  for (int i = 1; i < HBVFS_MAX_DEPTH; ++i) path += "/d";
  EXPECT_NE(nullptr, dst.at(path));
  EXPECT_EQ(nullptr, dst.at(path + "/d"));
  ASSERT_NE(nullptr, dst.at("S/Loop"));
  EXPECT_EQ(nullptr, dst.at("S/Loop/Loop"));
  // Into itself on the same store: refused.
  EXPECT_EQ(BR_EINVAL, copier->copy(nullptr, nullptr, &src, loop, &src, loop));
  // Leaks would show here: the self-listing folder keeps itself alive otherwise.
  loop->children.clear();

  BRThreadPool *pool = nullptr;
  ASSERT_EQ(0, brtp__new(&pool, "VFSCP", 1, 4));
  HBRef<HBFileCopyTracker> t2 = newTracker();
  HBRef<HBVFS2Copy> c2;
  ASSERT_EQ(0, HBVFS2Copy::create(t2.get(), c2.out()));
  MemStore dst2("D2");
  fillSource(src);
  ASSERT_EQ(0, c2->copy(pool, nullptr, &src, src.at("Album"), &dst2, nullptr));
  EXPECT_EQ(0, t2->waitFinished(30000));
  brtp__shutdown(pool);
  EXPECT_NE(nullptr, dst2.at("Album/Sub/b.jpg"));
}

// ---- The manager and its older revision ----

class OldStream final : public HBObject<OldStream, IHBVFSStream1> {
 public:
  int32_t read(void *b, int32_t n) override {
    if (m_done || n < 3) return 0;
    std::memcpy(b, "old", 3);
    m_done = true;
    return 3;
  }
  int32_t write(const void *, int32_t n) override { return n; }
  int64_t seek(int64_t, int32_t) override { return 0; }
  int32_t close() override { return 0; }
  int32_t getifc(int32_t, void **) override { return BR_ENOENT; }

 private:
  bool m_done = false;
};

class OldResource final : public HBObject<OldResource, IHBVFSResource1> {
 public:
  int32_t getIndex() override { return 0; }
  const char *getMimeType() override { return "image/png"; }
  int64_t getSize() override { return 3; }
  void setMimeType(const char *) override {}
  void setSize(int64_t) override {}
  int32_t openStream(IHBVFSStream1 **out, int32_t, const char *options) override {
    opened.push_back(options);
    *out = new OldStream;
    return 0;
  }
  int32_t getifc(int32_t, void **) override { return BR_ENOENT; }
  std::vector<std::string> opened;
};

class OldFile final : public HBObject<OldFile, IHBVFSFile1> {
 public:
  OldFile(const char *id, int32_t type) : m_id(id), m_type(type) {}
  const char *getFileID() override { return m_id; }
  const char *getParentID() override { return "0"; }
  const char *getName() override { return m_type ? "Folder" : "pic.png"; }
  int32_t getType() override { return m_type; }
  int64_t getCTime() override { return 1; }
  int64_t getMTime() override { return 2; }
  int32_t getProperties(IHBMap **) override { return BR_ENOENT; }
  int32_t getResource(int32_t index, IHBVFSResource1 **out) override {
    if (index != 0 || m_type) return BR_ENOENT;
    res.get()->upref();
    *out = res.get();
    return 0;
  }
  int32_t iterateChildren(IHBIter **out) override {
    HBRef<HBListIterator> list;
    int32_t rc = HBListIterator::create(nullptr, HBIFC_VFSFILE1, HBLISTITER_OWN, "c", list);
    if (rc == 0) rc = list->append(static_cast<IHBVFSFile1 *>(child.get()));
    list->reset();
    *out = list.detach();
    return rc;
  }
  int32_t createResource(int32_t, IHBVFSResource1 **) override { return BR_EUNSUPPORTED; }
  int32_t getifc(int32_t ifc, void **out) override {
    return ifc == HBIFC_VFSFILE1 ? offer<IHBVFSFile1>(out) : BR_ENOENT;
  }
  HBRef<OldResource> res = HBRef<OldResource>::adopt(new OldResource);
  HBRef<OldFile> child;

 private:
  const char *m_id;
  int32_t m_type;
};

class OldStore final : public HBObject<OldStore, IHBVFS1, IHBVFSOpener> {
 public:
  const char *getID1() override { return "dev"; }
  const char *getID2() override { return "svc"; }
  const char *getName() override { return ""; }
  void setName(const char *) override {}
  int32_t getFileByID(IHBVFSFile1 *, const char *id, IHBVFSFile1 **out) override {
    if (std::strcmp(id, "0")) return BR_ENOENT;
    top->upref();
    *out = top.get();
    return 0;
  }
  int32_t createFile(IHBVFSFile1 *, const char *, int32_t, IHBMap *, IHBVFSFile1 **) override {
    return BR_EROFS;
  }
  int32_t open(IHBVFS1 **out, const char *, const char *, const char *) override {
    upref();
    *out = this;
    return 0;
  }
  int32_t getifc(int32_t ifc, void **out) override {
    return ifc == HBIFC_VFSOPENER ? offer<IHBVFSOpener>(out) : BR_ENOENT;
  }
  HBRef<OldFile> top = HBRef<OldFile>::adopt(new OldFile("0", 1));
};

TEST(VFSManager, NoneRegisteredThenAdaptedOlderStores) {
  HBRef<IHBVFS2> vfs;
  EXPECT_EQ(BR_ENOENT, hbvfs__open(vfs.out(), "tok", "dev", "svc"));

  HBRef<OldStore> old = HBRef<OldStore>::adopt(new OldStore);
  old->top->child = HBRef<OldFile>::adopt(new OldFile("5", 0));
  hbvfs__setManager(static_cast<IHBVFS1 *>(old.get()));
  ASSERT_EQ(0, hbvfs__open(vfs.out(), "tok", "dev", "svc"));
  hbvfs__setManager(nullptr);
  EXPECT_STREQ("UNKNOWN", vfs->getName());
  EXPECT_STREQ("svc", vfs->getID2());
  HBRef<IHBVFSFile> top, made;
  ASSERT_EQ(0, vfs->getFileByID(nullptr, "0", 0, top.out()));
  EXPECT_EQ(BR_EROFS, vfs->createFile(top.get(), "x", 0, nullptr, made.out()));
  HBRef<IHBVFSFile> child;
  ASSERT_EQ(0, top->getChildByName("PIC.PNG", child.out()));
  EXPECT_EQ(3, child->getSize());
  HBRef<IHBVFSResource> res;
  ASSERT_EQ(0, child->getResource(0, res.out()));
  HBRef<IHBStream> s;
  ASSERT_EQ(0, res->openStream(s.out(), HBVFS_OPEN_READ, "purpose=import"));
  char buf[8];
  EXPECT_EQ(3, s->read(buf, sizeof buf));
  ASSERT_EQ(0, res->openStream(s.out(), HBVFS_OPEN_READ, "a=1;fsize=9"));
  EXPECT_EQ((std::vector<std::string>{"purpose=import;fsize=3", "a=1;fsize=9"}),
            old->top->child->res->opened);
  EXPECT_EQ("fsize=3", hbvfs__withFsize(nullptr, 3));

  LogCapture log;
  void *p = nullptr;
  EXPECT_EQ(BR_ENOENT, res->getifc(0x777, &p));
  EXPECT_TRUE(log.has("[BRADAP][02] *** Asked for interface 0x777"));
  HBRef<IHBIter> it;
  ASSERT_EQ(0, top->iterateChildren(it.out(), 0, nullptr, nullptr, 0, 0));
  EXPECT_EQ(BR_ENOENT, it->getifc(0x778, &p));
  EXPECT_TRUE(log.has("[BIADAP][02] *** Asked for interface 0x778"));
}

}  // namespace
