// The auto-import task: runs that take only new and changed pictures, retries, folder and
// network events, a new destination, and file maps that are damaged or cannot record.
#include "vxclienttaskaimport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hbfile.h"
#include "importtest.h"
#include "logcapture.h"
#include "vxclienttaskqueue.h"
#include "vxfilemap.h"
#include "vximport.h"
#include "watchtest.h"

namespace tessel::test {
namespace {

constexpr uint32_t kFlags = TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS;

std::atomic<int32_t> g_metered{0};
int32_t notMetered() {
  return g_metered.load();
}

// The host's network must not pause or resume the tasks of a test.
struct QuietNetwork {
  QuietNetwork() { vxnetevent__setMeteredSource(notMetered); }
  ~QuietNetwork() { vxnetevent__setMeteredSource(nullptr); }
};

HBRef<VXClientTaskReference> sourceOf(const std::string &dir) {
  HBRef<VXClientTaskReference> ref;
  EXPECT_EQ(0, VXClientTaskReference::create("src", "user", "Pics", true, ref));
  HBRef<IHBURL> url;
  EXPECT_EQ(0, hburl__fromPath(url.out(), dir.c_str()));
  EXPECT_EQ(0, ref->addURI(url.get()));
  return ref;
}

HBRef<IHBZVURI> drive(const std::string &text) {
  HBRef<IHBZVURI> d;
  EXPECT_EQ(0, hbzvuri_new(d, text.c_str()));
  return d;
}

HBRef<VXClientAutoImportTask> makeTask(const char *id, const std::string &dir,
                                       const std::string &dest, VXClientTaskQueue *queue) {
  HBRef<VXClientAutoImportTask> t;
  EXPECT_EQ(0, VXClientAutoImportTask::create(id, TASK_CLASS_USER, kFlags, sourceOf(dir).get(),
                                              drive(dest).get(), queue, t.out()));
  return t;
}

// A list holding one folder event for `dir`.
HBRef<IHBIter> folderEvent(const std::string &dir) {
  HBRef<IHBURL> url;
  EXPECT_EQ(0, hburl__fromPath(url.out(), dir.c_str()));
  HBRef<VXFSEvent> e;
  EXPECT_EQ(0, VXFSEvent::create(VXFSEVENT_TYPE_FOLDER, url.get(), 1, e));
  HBRef<HBListIterator> list;
  EXPECT_EQ(0, HBListIterator::create(nullptr, VXIFC_FSEVENT, HBLISTITER_OWN, "events", list));
  EXPECT_EQ(0, list->appendObject(e.get()));
  list->reset();
  return HBRef<IHBIter>(std::move(list));
}

int32_t netEvent(VXClientAutoImportTask *t, int32_t available) {
  HBRef<VXNetEvent> e;
  VXNetEvent::create(VXNETEVENT_TYPE_CHANGE, available, e);
  return t->receiveNetEvent(e.get());
}

bool exists(const std::string &path) {
  return access(path.c_str(), F_OK) == 0;
}

void touchLater(const std::string &path, int seconds) {
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  struct timespec ts[2] = {st.st_atim, st.st_mtim};
  ts[1].tv_sec += seconds;
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), ts, 0));
}

class AutoImport : public ImportService {
 protected:
  // The names in the drive folder that mirrors the source folder "Pics".
  std::vector<std::string> picsNames() {
    HBRef<HBMap> pics = entry("Pics");
    return pics ? names(pics->getString("fileid")) : std::vector<std::string>{};
  }
  static size_t count(const std::vector<std::string> &v, const std::string &name) {
    return static_cast<size_t>(std::count(v.begin(), v.end(), name));
  }
  QuietNetwork m_net;
};

TEST_F(AutoImport, RunsTakeNewAndChangedPicturesOnceAndRecordThem) {
  TempDir src;
  const std::string dir = src.file("Pics");
  ASSERT_TRUE(makePhoto(dir + "/a.jpg", 64, 48));
  ASSERT_TRUE(makePhoto(dir + "/sub/b.jpg", 64, 48));
  ASSERT_TRUE(writeFile(dir + "/notes.txt", "not a picture"));
  HBRef<VXClientAutoImportTask> task = makeTask("aimport-runs", dir, driveURI(), nullptr);
  EXPECT_EQ(TASK_STATE_CANCELED, task->getTaskState()) << "made paused";
  EXPECT_TRUE(task->getTaskFlags() & TASK_FLAG_CHECK_EXISTING) << "a new map checks the drive";
  const std::string map = task->fileMapPath();
  EXPECT_TRUE(exists(map));

  ASSERT_EQ(0, task->setPaused(0));
  EXPECT_EQ(TASK_STATE_PENDING, task->getTaskState());
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(TASK_STATE_FINISHED, task->getTaskState());
  EXPECT_EQ(2, task->filesImported());
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_FALSE(task->getTaskFlags() & TASK_FLAG_CHECK_EXISTING) << "cleared after a clean run";

  // Nothing changed: nothing counted, no folder made again.
  {
    LogCapture log;
    EXPECT_EQ(0, task->runTask(token()));
    EXPECT_FALSE(log.has("Creating Folder")) << "folder identifiers come from the map";
  }
  EXPECT_EQ(0, task->getTotalFiles());
  EXPECT_EQ(0, task->filesImported());

  // One picture touched: exactly it again, as a second copy beside the first.
  touchLater(dir + "/a.jpg", 10);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(1, task->getTotalFiles());
  EXPECT_EQ(1, task->filesImported());
  std::vector<std::string> got = picsNames();
  EXPECT_EQ(1u, count(got, "a.jpg"));
  EXPECT_EQ(1u, count(got, "a (2).jpg"));

  // A failed upload is not recorded: the next run takes it, checking the drive first.
  ASSERT_TRUE(makePhoto(dir + "/d.jpg", 64, 48));
  ASSERT_TRUE(m_svc.admin("upload?mode=cut&after=100&count=1"));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->filesImported());
  EXPECT_EQ(1, task->getErrorCount());
  EXPECT_TRUE(task->getTaskFlags() & TASK_FLAG_CHECK_EXISTING);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(1, task->filesImported());
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_EQ(1u, count(picsNames(), "d.jpg"));

  // Removed: 4 keeps the map, 5 deletes it.
  task->notifyTask(TASK_NOTIFY_REMOVED);
  EXPECT_TRUE(exists(map));
  HBRef<VXClientAutoImportTask> again = makeTask("aimport-runs", dir, driveURI(), nullptr);
  EXPECT_FALSE(again->getTaskFlags() & TASK_FLAG_CHECK_EXISTING) << "the map was kept";
  LogCapture log;
  again->notifyTask(TASK_NOTIFY_REMOVED_DELETE);
  EXPECT_FALSE(exists(map));
  EXPECT_TRUE(log.has("[aimport-runs]Deleting file map: " + map));
}

TEST_F(AutoImport, DamagedMapsLostRecordsAndLostFoldersAreErrorsNeverCopies) {
  TempDir src;
  const std::string dir = src.file("Pics");
  ASSERT_TRUE(makePhoto(dir + "/e.jpg", 64, 48));
  // A map file that is not a database: reported, left alone, nothing imported.
  std::string map;
  ASSERT_EQ(0, VXFileMap::pathFor("aimport-bad", &map));
  ASSERT_EQ(0, hbfile__mkdirs(vxclienttask__dataFolder().c_str()));
  ASSERT_TRUE(writeFile(map, std::string(4096, 'z')));
  {
    LogCapture log;
    HBRef<VXClientAutoImportTask> bad = makeTask("aimport-bad", dir, driveURI(), nullptr);
    EXPECT_TRUE(log.has("[aimport-bad]Error loading file map: -1"));
    EXPECT_TRUE(log.has("Database Corruption Detected -- Not Rebuilding!"));
    ASSERT_EQ(0, bad->setPaused(0));
    EXPECT_EQ(0, bad->runTask(token()));
    EXPECT_EQ(0, bad->filesImported());
    EXPECT_EQ(1, bad->getErrorCount()) << "the unusable map is an error of every run";
    EXPECT_EQ(0, bad->runErrors());
    EXPECT_TRUE(log.has("[aimport-bad]No file DB!"));
    bad->notifyTask(TASK_NOTIFY_REMOVED);
  }
  std::string kept;
  ASSERT_TRUE(readFile(map, &kept));
  EXPECT_EQ(std::string(4096, 'z'), kept);
  EXPECT_TRUE(picsNames().empty());

  // A record that cannot be written (a full disk): the picture went up, so the next run checks
  // the drive before uploading and finds it there.
  HBRef<VXClientAutoImportTask> task = makeTask("aimport-full", dir, driveURI(), nullptr);
  ASSERT_EQ(0, task->setPaused(0));
  {
    LogCapture log;
    vxfilemap__setFailWritesForTest(true);
    EXPECT_EQ(0, task->runTask(token()));
    vxfilemap__setFailWritesForTest(false);
    EXPECT_TRUE(log.has("[aimport-full]File DB node collision"));
  }
  EXPECT_EQ(1, task->filesImported());
  EXPECT_LE(1, task->getErrorCount());
  EXPECT_TRUE(task->getTaskFlags() & TASK_FLAG_CHECK_EXISTING);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_EQ(std::vector<std::string>{"e.jpg"}, picsNames());
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getTotalFiles()) << "recorded by the check";

  // The source folder gone (a disk unplugged): an error of every run rather than a backup that
  // looks current, and no retries for it; back again, nothing is sent twice.
  ASSERT_EQ(0, rename(dir.c_str(), src.file("away").c_str()));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(1, task->getErrorCount());
  EXPECT_EQ(0, task->runErrors());
  ASSERT_EQ(0, rename(src.file("away").c_str(), dir.c_str()));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_EQ(0, task->getTotalFiles());
  task->notifyTask(TASK_NOTIFY_REMOVED_DELETE);
}

TEST_F(AutoImport, TheNetworkPausesARunningTaskAndResumesIt) {
  TempDir src;
  const std::string dir = src.file("Pics");
  ASSERT_TRUE(makePhoto(dir + "/a.jpg", 64, 48));
  ASSERT_TRUE(makePhoto(dir + "/b.jpg", 64, 48));
  HBRef<VXClientTaskQueue> queue;
  ASSERT_EQ(0, VXClientTaskQueue::create(queue));
  ASSERT_EQ(0, queue->setSessionToken(token()));
  HBRef<VXClientTask> created;
  ASSERT_EQ(0, queue->newAutoImportTask(created.out(), sourceOf(dir)->obj(),
                                        drive(driveURI()).get(), TASK_CLASS_USER, kFlags));
  HBRef<VXClientAutoImportTask> task;
  ASSERT_EQ(0, hb_query(created->obj(), task));
  LogCapture log;
  ASSERT_TRUE(m_svc.admin("upload?mode=stall&after=10&ms=2000&count=1"));
  ASSERT_EQ(0, task->setPaused(0));
  ASSERT_TRUE(eventually([&] { return task->getTaskState() == TASK_STATE_RUNNING; }));

  // Running: folder events are refused, the watcher reports them again later.
  EXPECT_EQ(BR_EINPROGRESS, task->receiveFSEvents(folderEvent(dir).get()));
  EXPECT_TRUE(log.has("NOT READY TO RECEIVE FS EVENTS"));

  // The network goes: canceling, then canceled when the run stops.
  EXPECT_EQ(0, netEvent(task.get(), 0));
  EXPECT_EQ(TASK_STATE_CANCELING, task->getTaskState());
  EXPECT_TRUE(log.has("Network unavailable, pausing task..."));
  ASSERT_TRUE(eventually([&] { return task->completedRuns() == 1; }));
  EXPECT_EQ(TASK_STATE_CANCELED, task->getTaskState());
  EXPECT_TRUE(task->offline());

  // It comes back: resumed and run to the end.
  EXPECT_EQ(0, netEvent(task.get(), 1));
  EXPECT_TRUE(log.has("Network available, unpausing task..."));
  ASSERT_TRUE(eventually([&] { return task->completedRuns() == 2; }, 30000));
  EXPECT_EQ(TASK_STATE_FINISHED, task->getTaskState());
  EXPECT_EQ(0, task->getErrorCount());
  std::vector<std::string> got = picsNames();
  std::sort(got.begin(), got.end());
  EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg"}), got);

  // Idle, the network goes: paused as well, so that a picture added while offline is not tried
  // and given up; the pause is saved as idle (a restart must not leave it paused for good), and
  // the network's return backs the picture up.
  EXPECT_EQ(0, netEvent(task.get(), 0));
  EXPECT_EQ(TASK_STATE_CANCELED, task->getTaskState());
  EXPECT_TRUE(task->offline());
  ASSERT_TRUE(makePhoto(dir + "/c.jpg", 64, 48));
  EXPECT_EQ(BR_EINPROGRESS, task->receiveFSEvents(folderEvent(dir).get()));
  {
    TempSettings settings;
    ASSERT_EQ(0, queue->saveAutoImports(settings.store(), nullptr));
    std::string saved;
    ASSERT_EQ(0, hbproperties__getString(settings.store(), "autoimports", &saved));
    EXPECT_NE(std::string::npos, saved.find("\"taskState\":\"6\"")) << saved;
  }
  EXPECT_EQ(0, netEvent(task.get(), 1));
  ASSERT_TRUE(eventually([&] { return task->completedRuns() == 3; }, 30000));
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_EQ(3u, picsNames().size());

  // A short drop during a run: back before the run has stopped, the task resumes once it has,
  // instead of staying paused for good; gone again meanwhile, it waits for the network.
  for (const char *name : {"d.jpg", "e.jpg"}) {
    const bool dropsTwice = std::string(name) == "e.jpg";
    ASSERT_TRUE(makePhoto(dir + "/" + name, 64, 48));
    ASSERT_TRUE(m_svc.admin("upload?mode=stall&after=10&ms=2000&count=1"));
    const int32_t runs = task->completedRuns();
    ASSERT_EQ(0, task->receiveFSEvents(folderEvent(dir).get()));
    ASSERT_TRUE(eventually([&] { return task->getTaskState() == TASK_STATE_RUNNING; }));
    EXPECT_EQ(0, netEvent(task.get(), 0));
    EXPECT_EQ(0, netEvent(task.get(), 1));
    if (dropsTwice) {
      EXPECT_EQ(0, netEvent(task.get(), 0));
      ASSERT_TRUE(eventually([&] { return task->completedRuns() == runs + 1; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(TASK_STATE_CANCELED, task->getTaskState());
      EXPECT_TRUE(task->offline());
      EXPECT_EQ(0, netEvent(task.get(), 1));
    }
    ASSERT_TRUE(eventually(
        [&] {
          return task->completedRuns() == runs + 2 && task->getTaskState() == TASK_STATE_FINISHED;
        },
        30000))
        << name << " state " << task->getTaskState();
    EXPECT_EQ(1u, count(picsNames(), name));
  }

  const std::string map = task->fileMapPath();
  ASSERT_EQ(0, queue->removeTask(task.get(), VXTASKQ_CANCEL | VXTASKQ_DELETE_DATA));
  EXPECT_FALSE(exists(map));
  queue->shutdown();
}

// The text of a task property by name.
std::string prop(VXClientTask *t, const char *name) {
  const HBRPCPropertyEntry *table = t->getPropertyTable();
  for (int32_t i = 0; table[i].name; ++i) {
    if (std::strcmp(table[i].name, name) != 0) continue;
    char buf[512];
    return t->getPropertyText(i, buf, sizeof buf) >= 0 ? buf : "?";
  }
  return "(no " + std::string(name) + ")";
}

void setMtime(const std::string &path, time_t sec, long nsec) {
  struct timespec ts[2] = {{sec, nsec}, {sec, nsec}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), ts, 0));
}

TEST_F(AutoImport, TakesPicturesCompanionsAndChosenVideosAndSaysWhatItLeftOut) {
  TempDir src;
  const std::string dir = src.file("Pics");
  ASSERT_TRUE(makePhoto(dir + "/a.jpg", 64, 48));
  ASSERT_TRUE(makePhoto(dir + "/IMG_1.jpg", 64, 48));
  ASSERT_EQ(0, hbfile__mkdirs((dir + "/Papers/.git").c_str()));
  for (const char *n : {"/a.xmp", "/IMG_1.mov", "/clip.mp4", "/notes.txt", "/b.TXT", "/doc.pdf",
                        "/README", "/.hidden.txt", "/Papers/tax.pdf", "/Papers/.git/x.txt"})
    ASSERT_TRUE(writeFile(dir + n, "some bytes"));
  auto task = [&](const char *id, uint32_t flags) {
    HBRef<VXClientAutoImportTask> t;
    EXPECT_EQ(0, VXClientAutoImportTask::create(id, TASK_CLASS_USER, flags, sourceOf(dir).get(),
                                                drive(driveURI()).get(), nullptr, t.out()));
    EXPECT_EQ(0, t->setPaused(0));
    EXPECT_EQ(0, t->runTask(token()));
    return t;
  };

  // Videos chosen: pictures, their sidecar and live video, the video; the rest is counted by
  // kind (hidden files are nobody's photos), in a folder without any picture too.
  HBRef<VXClientAutoImportTask> videos = task("kinds-videos", kFlags | TASK_FLAG_BACKUP_VIDEOS);
  EXPECT_EQ(5, videos->getTotalFiles());
  EXPECT_EQ("5", prop(videos.get(), "leftout"));
  EXPECT_EQ(".pdf \u00d72, .txt \u00d72, (no extension) \u00d71",
            prop(videos.get(), "leftoutkinds"));
  EXPECT_EQ("1", prop(videos.get(), "videos"));

  // Without videos the live photo's video still goes with its picture; the clip is left out.
  HBRef<VXClientAutoImportTask> photos = task("kinds-photos", kFlags);
  EXPECT_EQ(4, photos->getTotalFiles());
  EXPECT_EQ(4, photos->filesImported());
  EXPECT_EQ(0, photos->getErrorCount());
  EXPECT_EQ("6", prop(photos.get(), "leftout"));
  EXPECT_NE(std::string::npos, prop(photos.get(), "leftoutkinds").find(".mp4 \u00d71"));
  EXPECT_EQ("0", prop(photos.get(), "videos"));
  EXPECT_EQ("", prop(photos.get(), "problem"));
  EXPECT_EQ("0", prop(photos.get(), "nextretry"));
  for (const char *n : {"a.jpg", "a.xmp", "IMG_1.jpg", "IMG_1.mov"})
    EXPECT_EQ(1u, count(picsNames(), n)) << n;

  // Kind bits without pictures: pictures are left out, not recorded as if they had gone up.
  HBRef<VXClientAutoImportTask> audio = task("kinds-audio", kFlags | TASK_FLAG_AUDIO);
  EXPECT_EQ(0, audio->getTotalFiles());
  EXPECT_NE(std::string::npos, prop(audio.get(), "leftoutkinds").find(".jpg \u00d72"));
  {
    VXFileMap map;
    ASSERT_EQ(0, map.load(audio->fileMapPath().c_str(), "t"));
    ZVFileMapNode node;
    EXPECT_EQ(BR_ENOENT, map.lookup(vximport__fileKey((dir + "/a.jpg").c_str()).c_str(), &node));
  }

  // Modification times in milliseconds: a change within the same second is seen ...
  struct stat st;
  ASSERT_EQ(0, stat((dir + "/a.jpg").c_str(), &st));
  setMtime(dir + "/a.jpg", st.st_mtim.tv_sec,
           st.st_mtim.tv_nsec < 500000000 ? 700000000 : 100000000);
  EXPECT_EQ(0, photos->runTask(token()));
  EXPECT_EQ(1, photos->getTotalFiles());
  // ... while a map of earlier versions, in whole seconds, sends nothing again.
  setMtime(dir + "/IMG_1.jpg", 1700000000, 250000000);
  {
    VXFileMap map;
    ASSERT_EQ(0, map.load(photos->fileMapPath().c_str(), "t"));
    ZVFileMapNode node;
    const std::string key = vximport__fileKey((dir + "/IMG_1.jpg").c_str());
    ASSERT_EQ(0, map.lookup(key.c_str(), &node));
    node.modTime = 1700000000000LL;
    ASSERT_EQ(0, map.update(node));
  }
  EXPECT_EQ(0, photos->runTask(token()));
  EXPECT_EQ(0, photos->getTotalFiles());
  for (auto *t : {videos.get(), photos.get(), audio.get()})
    t->notifyTask(TASK_NOTIFY_REMOVED_DELETE);
}

TEST_F(AutoImport, DeletedDriveFoldersKilledRunsAFullDriveAndANewDestination) {
  TempDir src;
  const std::string dir = src.file("Pics");
  ASSERT_TRUE(makePhoto(dir + "/y.jpg", 64, 48));
  ASSERT_TRUE(makePhoto(dir + "/sub/x.jpg", 64, 48));
  HBRef<VXClientAutoImportTask> task = makeTask("aimport-gone", dir, driveURI(), nullptr);
  ASSERT_EQ(0, task->setPaused(0));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(2, task->filesImported());

  // A folder deleted on the drive is made again, and so is a tree deleted whole.
  HBRef<HBMap> sub = entry("Pics/sub");
  ASSERT_TRUE(sub);
  ASSERT_TRUE(call("removeFile", {"fileid", sub->getString("fileid")}));
  ASSERT_TRUE(makePhoto(dir + "/sub/z.jpg", 64, 48));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_TRUE(entry("Pics/sub/z.jpg"));
  ASSERT_TRUE(call("removeFile", {"fileid", entry("Pics")->getString("fileid")}));
  ASSERT_TRUE(makePhoto(dir + "/sub/w.jpg", 64, 48));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_TRUE(entry("Pics/sub/w.jpg"));
  EXPECT_EQ(0, task->runErrors());

  // A run that never ended leaves its marker: the next start checks the drive.
  const std::string marker = task->runMarkerPath();
  EXPECT_FALSE(exists(marker)) << "cleared at the end of a run";
  ASSERT_TRUE(writeFile(marker, ""));
  {
    HBRef<VXClientAutoImportTask> again = makeTask("aimport-gone", dir, driveURI(), nullptr);
    EXPECT_TRUE(again->getTaskFlags() & TASK_FLAG_CHECK_EXISTING);
    again->notifyTask(TASK_NOTIFY_REMOVED);
  }
  ASSERT_EQ(0, unlink(marker.c_str()));

  // A full drive says so, counts what waits, and tries again later.
  // Room for the entries, not for their content.
  const int64_t big = 100000000000LL;
  ASSERT_TRUE(
      m_svc.admin("quota?serviceid=" + std::string(service()) + "&bytes=" + std::to_string(big)));
  ASSERT_EQ(0, vxsvccache__update());
  const int64_t used = big - vxsvccache__getFreeSpace(device(), service());
  ASSERT_TRUE(m_svc.admin("quota?serviceid=" + std::string(service()) +
                          "&bytes=" + std::to_string(used + 600)));
  ASSERT_EQ(0, vxsvccache__update());
  ASSERT_TRUE(makePhoto(dir + "/f1.jpg", 64, 48));
  ASSERT_TRUE(makePhoto(dir + "/f2.jpg", 64, 48));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ("drivefull", prop(task.get(), "problem"));
  EXPECT_EQ("2", prop(task.get(), "waiting"));
  EXPECT_EQ("The drive is full: 2 photos wait", prop(task.get(), "problemtext"));
  EXPECT_GT(std::stoll(prop(task.get(), "nextretry")), brtime__nowMs());
  ASSERT_TRUE(
      m_svc.admin("quota?serviceid=" + std::string(service()) + "&bytes=" + std::to_string(big)));
  // A revoked sign-in likewise.
  ASSERT_TRUE(m_svc.admin("revoke?token=" + std::string(token())));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ("signin", prop(task.get(), "problem"));
  EXPECT_EQ(0, prop(task.get(), "problemtext").find("Sign in again"))
      << prop(task.get(), "problemtext");

  // A new destination: a fresh map that is open (no "No file DB!") and takes every picture.
  LogCapture log;
  EXPECT_EQ(0, task->setTaskDestination(drive(driveURI() + ":0").get()));
  task->notifyTask(TASK_NOTIFY_TICK);
  EXPECT_EQ(TASK_STATE_PENDING, task->getTaskState());
  EXPECT_EQ(0, task->runTask("no-such-token"));
  EXPECT_FALSE(log.has("No file DB!"));
  EXPECT_EQ(6, task->getTotalFiles());
  task->notifyTask(TASK_NOTIFY_REMOVED_DELETE);
}

// Without a service: every run fails for want of a session token.
TEST(AutoImportAlone, RetriesFolderEventsAndANewDestination) {
  QuietNetwork net;
  TempSettings settings;
  TempDir src;
  const std::string dir = src.file("Pics");
  ASSERT_EQ(0, hbfile__mkdirs(dir.c_str()));
  ASSERT_TRUE(writeFile(dir + "/x.jpg", "not really a picture"));
  FakeClock clock;
  LogCapture log;
  HBRef<VXClientTaskQueue> queue;
  ASSERT_EQ(0, VXClientTaskQueue::create(queue));
  HBRef<VXClientAutoImportTask> task = makeTask("aimport-retry", dir, "ytozv://d:s", queue.get());
  ASSERT_EQ(0, task->setPaused(0));
  ASSERT_TRUE(eventually([&] { return task->completedRuns() == 1; }));
  EXPECT_EQ(1, task->runErrors());
  EXPECT_EQ(TASK_STATE_FINISHED, task->getTaskState());

  // Retries for as long as the runs fail: a minute after the first, then twice as long each
  // time. A tick queues a retry before it returns, so a run too many shows in the count.
  auto tickAndWait = [&](int32_t runs) {
    task->notifyTask(TASK_NOTIFY_TICK);
    return eventually(
        [&] {
          return task->getTaskState() == TASK_STATE_FINISHED && task->completedRuns() == runs;
        },
        3000);
  };
  EXPECT_GT(std::stoll(prop(task.get(), "nextretry")), brtime__nowMs());
  EXPECT_TRUE(tickAndWait(1));
  clock.advance(VXAIMPORT_RETRY_MS - 1);
  EXPECT_TRUE(tickAndWait(1));
  clock.advance(1);
  EXPECT_TRUE(tickAndWait(2));
  EXPECT_TRUE(log.has("[aimport-retry]Retrying import #1..."));
  int32_t runs = 2;
  for (int64_t delay = 2 * VXAIMPORT_RETRY_MS; runs < 12;
       delay = std::min<int64_t>(delay * 2, VXAIMPORT_RETRY_MAX_MS)) {
    clock.advance(delay - 1000);
    EXPECT_TRUE(tickAndWait(runs)) << runs;
    clock.advance(1000);
    EXPECT_TRUE(tickAndWait(++runs)) << runs;
  }
  EXPECT_TRUE(log.has("[aimport-retry]Retrying import #11..."));
  EXPECT_EQ(12, task->retryCount());
  // A resume starts over with a minute.
  ASSERT_EQ(0, task->setPaused(1));
  ASSERT_EQ(0, task->setPaused(0));
  EXPECT_EQ(0, task->retryCount());
  ASSERT_TRUE(eventually([&] { return task->completedRuns() == 13; }));
  EXPECT_EQ(1, task->retryCount());
  clock.advance(VXAIMPORT_RETRY_MS);
  EXPECT_TRUE(tickAndWait(14));

  // Folder events: taken once finished, refused while running.
  task->setTaskState(TASK_STATE_RUNNING);
  EXPECT_EQ(BR_EINPROGRESS, task->receiveFSEvents(folderEvent(dir).get()));
  task->setTaskState(TASK_STATE_FINISHED);
  EXPECT_EQ(0, task->receiveFSEvents(folderEvent(dir).get()));
  ASSERT_TRUE(eventually([&] { return task->completedRuns() == 15; }));
  EXPECT_TRUE(log.has("[aimport-retry] *** RECEIVED FS EVENTS: "));
  EXPECT_TRUE(log.has("[aimport-retry]Always falling back to full import!"));

  // A new destination: the same one is refused; the next run starts on a fresh map.
  EXPECT_EQ(BR_EHANDLED, task->setTaskDestination(drive("ytozv://d:s").get()));
  const std::string map = task->fileMapPath();
  ZVFileMapNode marker{"marker", 1, 1, {}, {}};
  {
    VXFileMap other;
    ASSERT_EQ(0, other.load(map.c_str(), "t"));
    ASSERT_EQ(0, other.insert(marker));
  }
  EXPECT_EQ(0, task->setTaskDestination(drive("ytozv://d2:s2").get()));
  EXPECT_TRUE(log.has("--- Task[aimport-retry] Destination Changed: ytozv://d2:s2"));
  EXPECT_EQ(0, task->receiveFSEvents(folderEvent(dir).get()));
  ASSERT_TRUE(eventually([&] { return task->completedRuns() == 16; }));
  EXPECT_TRUE(task->getTaskFlags() & TASK_FLAG_CHECK_EXISTING);
  VXFileMap fresh;
  ASSERT_EQ(0, fresh.load(map.c_str(), "t"));
  EXPECT_EQ(BR_ENOENT, fresh.lookup("marker", &marker));
  fresh.close();

  task->notifyTask(TASK_NOTIFY_REMOVED);
  EXPECT_TRUE(exists(map));

  // Made while offline (a metered network counts as none): its run fails; the network's return
  // runs it again in full.
  g_metered = 1;
  HBRef<VXClientAutoImportTask> offline =
      makeTask("aimport-offline", dir, "ytozv://d:s", queue.get());
  g_metered = 0;
  EXPECT_TRUE(offline->offline());
  ASSERT_EQ(0, offline->setPaused(0));
  ASSERT_TRUE(eventually([&] { return offline->completedRuns() == 1; }));
  EXPECT_EQ(TASK_STATE_FINISHED, offline->getTaskState());
  EXPECT_EQ(0, netEvent(offline.get(), 1));
  ASSERT_TRUE(eventually([&] { return offline->completedRuns() == 2; }));
  EXPECT_FALSE(offline->offline());
  EXPECT_FALSE(log.has("[aimport-offline]Can't un-cancel"));
  offline->notifyTask(TASK_NOTIFY_REMOVED);
  queue->shutdown();
}

}  // namespace
}  // namespace tessel::test
