// The task model: serialised forms and interface numbers, the cancel rules, the error limit,
// the progress formulas, the timestamp, destinations, and source references with their saved
// JSON form and the mounted-drive refusal.
#include "vxclienttask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hbjson.h"
#include "hbproperties.h"
#include "hbzvuri.h"
#include "logcapture.h"
#include "testtask.h"
#include "testutil.h"

namespace {

using tessel::test::LogCapture;
using tessel::test::makeTestTask;
using tessel::test::TempDir;
using tessel::test::TestTask;

class TaskModel : public testing::Test {
 protected:
  void TearDown() override { vxclienttask__setVolumeRootForTest(nullptr); }

  static std::string prop(IHBRPCSerializable *s, const char *name) {
    const HBRPCPropertyEntry *t = s->getPropertyTable();
    for (int32_t i = 0; t[i].name; ++i) {
      if (strcmp(t[i].name, name) != 0) continue;
      char buf[512];
      EXPECT_GE(s->getPropertyText(i, buf, sizeof buf), 0) << name;
      return buf;
    }
    ADD_FAILURE() << "no property " << name;
    return "";
  }
  // The texts of a list property.
  static std::vector<std::string> listProp(IHBRPCSerializable *s, int32_t index) {
    hbtype_t t = HBTYPE_ANY;
    void *o = nullptr;
    std::vector<std::string> out;
    if (s->getPropertyObject(index, &t, &o) < 0) return out;
    EXPECT_EQ(HBIFC_ITER, t);
    HBRef<IHBIter> it = HBRef<IHBIter>::adopt(static_cast<IHBIter *>(o));
    void *item;
    for (hbtype_t it_t = HBIFC_STR; it->next(&it_t, &item) == 0; it_t = HBIFC_STR) {
      HBRef<IHBStr> str = HBRef<IHBStr>::adopt(static_cast<IHBStr *>(item));
      out.push_back(str->getText());
    }
    return out;
  }
  static HBRef<VXClientTaskReference> source(const char *id = "src1") {
    HBRef<VXClientTaskReference> ref;
    EXPECT_EQ(0, VXClientTaskReference::create(id, "photo", "Pics", true, ref));
    HBRef<IHBURL> url;
    EXPECT_EQ(0, hburl__fromPath(url.out(), "/home/u/Pics"));
    EXPECT_EQ(0, ref->addURI(url.get()));
    return ref;
  }
  static HBRef<IHBZVURI> zv(const char *text) {
    HBRef<IHBZVURI> u;
    EXPECT_EQ(0, hbzvuri_new(u, text));
    return u;
  }

  tessel::test::TempSettings m_settings;
  HBProperties *m_store = m_settings.store();
};

TEST_F(TaskModel, NewTaskSerialisesAndAnswersItsInterfaces) {
  HBRef<VXClientTaskReference> src = source();
  HBRef<IHBZVURI> dest = zv("ytozv://D1:S1");
  HBRef<TestTask> task =
      makeTestTask("0123456789abcdef0123456789abcdef", TASK_TYPE_IMPORT, src.get(), dest.get());
  HBRef<IHBRPCSerializable> ser;
  ASSERT_EQ(0, hb_query(task->obj(), ser));
  EXPECT_STREQ("task", ser->getTypeName());
  EXPECT_EQ("0123456789abcdef0123456789abcdef", prop(ser.get(), "taskid"));
  for (const char *zero : {"finished", "running", "cancelled", "totfiles", "errors", "skipped"})
    EXPECT_EQ("0", prop(ser.get(), zero)) << zero;
  EXPECT_EQ("pending", prop(ser.get(), "state"));
  EXPECT_EQ("import", prop(ser.get(), "type"));
  EXPECT_EQ("photo", prop(ser.get(), "taskclass"));
  EXPECT_EQ("37", prop(ser.get(), "flags"));
  EXPECT_EQ("src1", prop(ser.get(), "sourceid"));
  EXPECT_EQ("ytozv://D1:S1", prop(ser.get(), "desturi"));
  EXPECT_EQ("", prop(ser.get(), "currentfile"));
  EXPECT_EQ("sending_original", prop(ser.get(), "progressstate"));
  EXPECT_EQ(std::vector<std::string>{"file:///home/u/Pics"}, listProp(ser.get(), 17));
  char small[4];
  EXPECT_EQ(32, ser->getPropertyText(0, small, sizeof small));  // full length, cut copy
  EXPECT_STREQ("012", small);
  // What the last run left undone comes after the older properties, in this order.
  const HBRPCPropertyEntry *table = ser->getPropertyTable();
  const char *const added[] = {"leftout",     "leftoutkinds", "waiting", "problem",
                               "problemtext", "nextretry",    "videos"};
  for (int32_t i = 0; i < 7; ++i) EXPECT_STREQ(added[i], table[20 + i].name) << i;
  EXPECT_EQ(nullptr, table[27].name);
  for (const char *zero : {"leftout", "waiting", "nextretry", "videos"})
    EXPECT_EQ("0", prop(ser.get(), zero)) << zero;
  for (const char *empty : {"leftoutkinds", "problem", "problemtext"})
    EXPECT_EQ("", prop(ser.get(), empty)) << empty;
  EXPECT_EQ(BR_ENOENT, ser->getPropertyText(27, small, sizeof small));
  EXPECT_EQ(BR_EINVAL, ser->getPropertyText(17, small, sizeof small));

  // Interface numbers of the four objects; any other gives No Entry.
  auto answers = [](IHBObj *o, std::vector<int32_t> yes) {
    for (int32_t n : {0x10000000, 0x10000011, 0x30020100, 0x30020101, 0x30020102, 0x30020103,
                      0x30020104, 0x30020105, 0x10000028}) {
      void *p = nullptr;
      const bool expected = std::find(yes.begin(), yes.end(), n) != yes.end();
      const int32_t rc = o->getifc(n, &p);
      EXPECT_EQ(expected ? 0 : BR_ENOENT, rc) << std::hex << n;
      if (rc == 0) static_cast<IHBObj *>(p)->dnref();
    }
  };
  answers(task->obj(), {0x10000000, 0x10000011, 0x30020101, 0x30020102});
  answers(src->obj(), {0x10000000, 0x10000011, 0x30020100, 0x30020103, 0x30020104});
  task->recordError(nullptr, TASK_ERROR_GENERAL);
  HBRef<IHBIter> errors;
  ASSERT_EQ(0, task->iterateErrors(errors.out()));
  hbtype_t t = HBTYPE_ANY;
  void *item = nullptr;
  ASSERT_EQ(0, errors->next(&t, &item));
  HBRef<IHBObj> error = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
  answers(error.get(), {0x10000000, 0x10000011});
  HBRef<VXClientTaskProgress> progress;
  ASSERT_EQ(0, task->getProgress(progress.out()));
  answers(progress.get(), {0x10000000});
}

TEST_F(TaskModel, CancelFromEachState) {
  HBRef<TestTask> task = makeTestTask("t", TASK_TYPE_EXPORT, nullptr, nullptr);
  struct Case {
    int32_t from, to, rc;
    bool flag;
  } cases[] = {{0, 5, 0, true},
               {6, 5, 0, true},
               {1, 4, 0, true},
               {2, 4, 0, true},
               {4, 4, 0, false},
               {5, 5, 0, false},
               {3, 3, BR_EBADSTATE, false},
               {7, 7, BR_EBADSTATE, false}};
  for (const Case &c : cases) {
    task->setTaskState(c.from);
    task->setCancel(false);
    EXPECT_EQ(c.rc, task->cancelTask()) << c.from;
    EXPECT_EQ(c.to, task->getTaskState()) << c.from;
    EXPECT_EQ(c.flag, task->isCanceled()) << c.from;
  }
  // A run that moves on after a cancel does not overwrite it.
  task->setTaskState(TASK_STATE_PREPARING);
  EXPECT_EQ(0, task->setPaused(1));
  EXPECT_FALSE(task->transitionState(TASK_STATE_PREPARING, TASK_STATE_RUNNING));
  EXPECT_EQ(TASK_STATE_CANCELING, task->getTaskState());
  EXPECT_EQ(BR_EUNSUPPORTED, task->VXClientTask::setPaused(0));
}

TEST_F(TaskModel, ErrorLimitKeepsRecordsButCountsAll) {
  ASSERT_EQ(0, m_store->setProperty("errorlimit", "0x2"));
  HBRef<TestTask> task = makeTestTask("t", TASK_TYPE_IMPORT, nullptr, nullptr);
  EXPECT_EQ(2, task->errorLimit());
  const uint32_t bits[] = {TASK_ERROR_SKIPPED, TASK_ERROR_NO_SPACE, TASK_ERROR_GENERAL,
                           TASK_ERROR_OFFLINE, TASK_ERROR_GENERAL};
  for (int i = 0; i < 5; ++i)
    task->recordErrorPath(("/home/u/p \"" + std::to_string(i) + "\".jpg").c_str(), bits[i]);
  HBRef<IHBRPCSerializable> ser;
  ASSERT_EQ(0, hb_query(task->obj(), ser));
  EXPECT_EQ("5", prop(ser.get(), "errors"));
  EXPECT_EQ("43", prop(ser.get(), "errormask"));  // 0x20 | 0x02 | 0x01 | 0x08
  HBRef<IHBIter> errors;
  ASSERT_EQ(0, task->iterateErrors(errors.out()));
  std::vector<std::string> kept;
  hbtype_t t = HBTYPE_ANY;
  void *item;
  while ((t = HBTYPE_ANY, errors->next(&t, &item)) == 0) {
    HBRef<IHBObj> o = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
    VXClientTaskError *e = VXClientTaskError::from(o.get());
    ASSERT_NE(nullptr, e);
    EXPECT_STREQ("error", e->getTypeName());
    kept.push_back(prop(e, "uri") + " " + prop(e, "errormask"));
  }
  EXPECT_EQ(
      (std::vector<std::string>{"file:///home/u/p \"0\".jpg 32", "file:///home/u/p \"1\".jpg 2"}),
      kept);
}

TEST_F(TaskModel, ProgressFormulasAndTheirLogLines) {
  LogCapture log;
  HBRef<TestTask> task = makeTestTask("pt", TASK_TYPE_IMPORT, nullptr, nullptr);
  HBRef<VXClientTaskProgress> p;
  // No counted files and an empty current file: both 0, no division.
  ASSERT_EQ(0, task->getProgress(p.out()));
  EXPECT_EQ(0, p->getFilePercent());
  EXPECT_EQ(0, p->getTotalPercent());
  EXPECT_TRUE(log.has("--- Task[pt] -- Progress Retrieved: [1] 0/0 (0.00%/0.00%)"));

  task->setCounts(1, 4, 3000, 10000);
  task->fileSize = 1000;
  task->fileSent = 250;
  HBRef<IHBURL> file;
  ASSERT_EQ(0, hburl__fromPath(file.out(), "/home/u/a.jpg"));
  task->setProgressFile(file.get());
  ASSERT_EQ(0, task->getProgress(p.out()));
  EXPECT_EQ(25, p->getFilePercent());
  EXPECT_EQ(37, p->getTotalPercent());  // (250 + 2 * 1024 + 3000) * 100 / (4 * 1024 + 10000)
  EXPECT_EQ(TASK_PROGRESS_SENDING_ORIGINAL, p->getProgressState());
  EXPECT_TRUE(log.has("Progress Retrieved: [1] 250/1000 (25.00%/37.59%)"));
  HBRef<IHBRPCSerializable> ser;
  ASSERT_EQ(0, hb_query(task->obj(), ser));
  EXPECT_EQ("file:///home/u/a.jpg", prop(ser.get(), "currentfile"));
  EXPECT_EQ("25", prop(ser.get(), "currentfileprogress"));

  task->m_progressTag = "EXPORT";
  ASSERT_EQ(0, task->getProgress(p.out()));
  EXPECT_TRUE(log.has("EXPORT") &&
              log.has("--- Task[pt] -- Progress Retrieved: 250/1000 (25.00%/37.59%)"));
}

TEST_F(TaskModel, TimestampIsSixtyFourBitsAndShared) {
  HBRef<TestTask> task = makeTestTask("ts", TASK_TYPE_IMPORT, nullptr, nullptr);
  EXPECT_EQ(0, vxclienttask__readTimestamp());
  const int64_t before = brtime__nowMs();
  task->stampTimestamp();
  const int64_t stamp = vxclienttask__readTimestamp();
  EXPECT_GE(stamp, before);  // well past 2^31: a 32-bit reading would be wrong
  HBRef<IHBRPCSerializable> ser;
  ASSERT_EQ(0, hb_query(task->obj(), ser));
  EXPECT_EQ(std::to_string(stamp), prop(ser.get(), "timestamp"));
  std::string stored;
  ASSERT_EQ(0, hbproperties__getString(m_store, "timestamp", &stored));
  EXPECT_EQ(std::to_string(stamp), stored);
}

TEST_F(TaskModel, SetTaskDestinationChecks) {
  HBRef<IHBZVURI> dest = zv("ytozv://D1:S1");
  HBRef<TestTask> task = makeTestTask("d", TASK_TYPE_IMPORT, nullptr, dest.get());
  HBRef<TestTask> bare = makeTestTask("b", TASK_TYPE_IMPORT, nullptr, nullptr);
  HBRef<IHBZVURI> same = zv("zv://D1:S1");
  HBRef<IHBZVURI> other = zv("ytozv://D1:S2");
  LogCapture log;
  EXPECT_EQ(BR_EHANDLED, task->setTaskDestination(same.get()));
  EXPECT_EQ(BR_EHANDLED, task->setTaskDestination(dest.get()));
  EXPECT_FALSE(log.has("VERIFY"));
  EXPECT_EQ(BR_EUNSUPPORTED, task->setTaskDestination(other.get()));
  EXPECT_EQ(BR_EINVAL, task->setTaskDestination(nullptr));
  EXPECT_TRUE(log.has("VERIFY(dest!=((brptrint_t)0)) failed!"));
  EXPECT_EQ(BR_EUNSUPPORTED, bare->setTaskDestination(other.get()));
  EXPECT_TRUE(log.has("VERIFY(getTaskDestination(&myDest)!=0) failed!"));
}

TEST_F(TaskModel, ReferenceJSONRoundTripsAnyText) {
  const std::string name = "My \"best\" photos \\ 'quoted'\t\x01 \xe2\x82\xac \xff";
  HBRef<VXClientTaskReference> ref;
  ASSERT_EQ(0, VXClientTaskReference::create("id-1", "photo", name.c_str(), true, ref));
  HBRef<IHBURL> url;
  ASSERT_EQ(0, hburl__fromPath(url.out(), "/home/u/My \"best\" photos\\"));
  ASSERT_EQ(0, ref->addURI(url.get()));
  HBRef<IHBZVURI> drive = zv("ytozv://D1:S1:F1:X:/a\"b");
  ASSERT_EQ(0, ref->addURI(drive.get()));
  std::string json;
  ASSERT_EQ(0, ref->toJSON(&json));
  HBRef<HBMap> parsed;
  ASSERT_GE(hbjson__parseText(parsed, json.c_str(), -1), 0) << json;
  HBRef<VXClientTaskReference> back;
  ASSERT_EQ(0, VXClientTaskReference::fromJSON(parsed.get(), back));
  EXPECT_STREQ("id-1", back->getRefID());
  EXPECT_STREQ("photo", back->refClassText());
  EXPECT_EQ(name, back->refNameText());
  EXPECT_TRUE(back->persist());
  EXPECT_EQ(ref->uriTexts(), back->uriTexts());
  EXPECT_EQ(2, back->getURICount());
  HBRef<IHBURI> single;
  EXPECT_EQ(BR_ENOENT, back->getSingleURI(single.out()));

  // The serialised form of the reference.
  EXPECT_STREQ("reference", back->getTypeName());
  EXPECT_EQ("id-1", prop(back.get(), "sourceid"));
  EXPECT_EQ(name, prop(back.get(), "name"));
  EXPECT_EQ(ref->uriTexts(), listProp(back.get(), 3));

  // A text saved the old way (nothing escaped) still loads; unparseable URIs are passed over;
  // a reference without an identifier cannot be written.
  const char *old =
      "{\"taskRefID\":\"old\",\"taskRefName\":\"Holiday 2009\",\"taskRefURIs\":"
      "[\"file:///home/u/Holiday 2009\",\"not a uri\",\"zv://D:S\"]}";
  ASSERT_GE(hbjson__parseText(parsed, old, -1), 0);
  ASSERT_EQ(0, VXClientTaskReference::fromJSON(parsed.get(), back));
  EXPECT_EQ("Holiday 2009", std::string(back->refNameText()));
  EXPECT_EQ(nullptr, back->refClassText());
  EXPECT_EQ((std::vector<std::string>{"file:///home/u/Holiday 2009", "ytozv://D:S"}),
            back->uriTexts());
  ASSERT_EQ(0, VXClientTaskReference::create(nullptr, nullptr, nullptr, false, back));
  EXPECT_EQ(BR_EINVAL, back->toJSON(&json));
}

TEST_F(TaskModel, FoldersOnAMountedDriveAreRefused) {
  static TempDir *drive = new TempDir;  // the mount point of the pretend drive
  ASSERT_TRUE(tessel::test::writeFile(drive->file(VXCLIENTTASK_DRIVE_MARKER), ""));
  vxclienttask__setVolumeRootForTest([](const char *path, char *root, size_t size) -> int32_t {
    const std::string p = path;
    const std::string r = p.compare(0, 7, "/drive/") == 0 ? drive->path() : "/";
    snprintf(root, size, "%s", r.c_str());
    return 0;
  });
  HBRef<VXClientTaskReference> ref;
  ASSERT_EQ(0, VXClientTaskReference::create("r", nullptr, nullptr, true, ref));
  HBRef<IHBURL> onDrive, local;
  ASSERT_EQ(0, hburl__fromPath(onDrive.out(), "/drive/Photos"));
  ASSERT_EQ(0, hburl__fromPath(local.out(), "/home/u/Photos"));
  LogCapture log;
  EXPECT_EQ(BR_EINVAL, ref->addURI(onDrive.get()));
  EXPECT_TRUE(log.has("Not allowing autoimporting Zevrin Drive path"));
  EXPECT_EQ(0, ref->addURI(local.get()));
  EXPECT_EQ(std::vector<std::string>{"file:///home/u/Photos"}, ref->uriTexts());
  // The real lookup: a folder of the test's own file system has no marker at its mount point.
  vxclienttask__setVolumeRootForTest(nullptr);
  HBRef<IHBURL> real;
  ASSERT_EQ(0, hburl__fromPath(real.out(), m_settings.dir().path().c_str()));
  EXPECT_EQ(0, ref->addURI(real.get()));
  delete drive;
}

}  // namespace
