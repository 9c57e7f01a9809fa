// The import task end to end against the reference service: a tree of real photos goes up
// mirrored and reads back (originals, renditions, EXIF), runs again onto the same folders,
// flattens its top folder; faults stop the walk or not as they should; bad pictures and files
// that change during their upload are counted, never sent half, and leave nothing behind.
#include "vxclienttaskimport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

#include "../common/nettest.h"
#include "hbzvuri.h"
#include "importtest.h"
#include "logcapture.h"
#include "vxclienttask_factory.h"
#include "vximport.h"

namespace tessel::test {
namespace {

// Sets a file's modification time an hour back: a file written long ago.
bool makeOld(const std::string &path) {
  const struct timespec t[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  return utimensat(AT_FDCWD, path.c_str(), t, 0) == 0;
}

class ImportTask : public ImportService {
 protected:
  // A task of the queue's factory importing `folders` into `dest` (the drive by default).
  HBRef<VXClientTask> newTask(const std::vector<std::string> &folders, uint32_t flags,
                              const std::string &dest = "") {
    HBRef<VXClientTaskReference> src;
    EXPECT_EQ(0, VXClientTaskReference::create("src", nullptr, "Pictures", false, src));
    for (const std::string &f : folders) {
      HBRef<IHBURL> url;
      EXPECT_EQ(0, hburl__fromPath(url.out(), f.c_str()));
      EXPECT_EQ(0, src->addURI(url.get()));
    }
    HBRef<IHBZVURI> to;
    EXPECT_EQ(0, hbzvuri_new(to, (dest.empty() ? driveURI() : dest).c_str()));
    HBRef<VXClientTask> task;
    EXPECT_EQ(0, vxclienttask__newImportTask(task.out(), "t1", TASK_CLASS_USER, flags, src.get(),
                                             to.get()));
    return task;
  }
  // The identifier of the entry `path` below the root ("" when missing).
  std::string id(const std::string &path) {
    HBRef<HBMap> e = entry(path);
    const char *i = e ? e->getString("fileid") : nullptr;
    return i ? i : "";
  }
  static std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
  std::vector<std::string> errorPaths(VXClientTask *task) {
    std::vector<std::string> out;
    HBRef<IHBIter> list;
    if (task->iterateErrors(list.out()) < 0) return out;
    hbtype_t type = HBTYPE_ANY;
    void *item;
    for (; list->next(&type, &item) >= 0; type = HBTYPE_ANY) {
      HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
      HBRef<IHBURI> uri;
      std::string text;
      if (VXClientTaskError::from(obj.get())->getErrorURI(uri.out()) >= 0)
        hburi__text(uri.get(), &text);
      out.push_back(text.substr(text.rfind('/') + 1) + " " +
                    std::to_string(VXClientTaskError::from(obj.get())->getErrorBits()));
    }
    return sorted(out);
  }
  TempDir m_src;
};

TEST_F(ImportTask, PhotoTreeGoesUpMirroredReadsBackAndRunsAgain) {
  const std::string trip = m_src.file("Trip");
  for (const char *d : {"/sub/deep", "/..old", "/.vxdata"})
    ASSERT_TRUE(hbfile__mkdirs((trip + d).c_str()) == 0);
  ASSERT_TRUE(makePhoto(trip + "/a.jpg", 4000, 3000,
                        {"-Make=Cam", "-Model=X1", "-DateTimeOriginal=2013:05:04 10:00:00"}));
  ASSERT_TRUE(makePhoto(trip + "/sub/f.jpg", 3000, 2000, {"-Orientation#=6"}));
  ASSERT_TRUE(makePhoto(trip + "/.e.jpg", 640, 480));
  ASSERT_TRUE(makePhoto(trip + "/sub/deep/g:1.jpg", 320, 240));
  ASSERT_TRUE(makePhoto(trip + "/..old/x.jpg", 64, 48));
  ASSERT_TRUE(makePhoto(trip + "/.vxdata/y.jpg", 64, 48));
  ASSERT_EQ(0, runProgram({"ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                           "testsrc2=size=64x48", "-frames:v", "1", trip + "/b.png"})
                   .exitCode);
  ASSERT_TRUE(hbfile__mkdirs(trip.c_str()) == 0);
  ASSERT_TRUE(writeFile(trip + "/c.mp4", "not a movie") && writeFile(trip + "/d.txt", "text"));
  ASSERT_EQ(0, vxclienttask__writeTimestamp(1));

  LogCapture log(BRLOG_INFO);
  HBRef<VXClientTask> task = newTask({trip}, TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS);
  EXPECT_EQ(0, task->runTask(token()));
  // Pictures are counted (jpg, png), other kinds skipped (mp4, txt); ".." and ".vx" folders are
  // never entered, a name with one leading dot is taken.
  EXPECT_EQ(5, task->getTotalFiles());
  EXPECT_EQ(2, task->getSkippedFiles());
  EXPECT_EQ(0, task->getErrorCount()) << log.text();
  EXPECT_EQ(TASK_STATE_FINISHED, task->getTaskState());
  EXPECT_GT(vxclienttask__readTimestamp(), 1);
  EXPECT_TRUE(log.has("[PRE] " + trip));

  // Folders mirrored; names made safe.
  EXPECT_EQ(std::vector<std::string>{"Trip"}, names("0"));
  EXPECT_EQ(sorted({".e.jpg", "a.jpg", "b.png", "sub"}), sorted(names(id("Trip"))));
  EXPECT_EQ(sorted({"deep", "f.jpg"}), sorted(names(id("Trip/sub"))));
  EXPECT_EQ(std::vector<std::string>{"g_1.jpg"}, names(id("Trip/sub/deep")));

  // The original byte for byte, "pv" within the 1024 box (4000 x 3000 decoded at 1/4), "tn" the
  // 160 x 160 square, the EXIF fields among the properties.
  HBRef<HBMap> a = entry("Trip/a.jpg");
  ASSERT_TRUE(a);
  std::string original;
  ASSERT_TRUE(readFile(trip + "/a.jpg", &original));
  EXPECT_TRUE(download(a->getString("fileid")) == original);
  EXPECT_EQ(std::make_pair(1000, 750), downloadedSize(a->getString("fileid"), "pv"));
  EXPECT_EQ(std::make_pair(160, 160), downloadedSize(a->getString("fileid"), "tn"));
  EXPECT_STREQ("Cam", a->getString("EXIF-Make"));
  EXPECT_STREQ("X1", a->getString("EXIF-Model"));
  EXPECT_STREQ("1367661600000", a->getString("EXIF-DateTimeOriginal"));
  EXPECT_STREQ("image/jpeg", a->getString("mimetype"));
  EXPECT_EQ(std::to_string(original.size()), a->getString("size"));
  // A photo stored sideways comes back upright in its preview.
  const std::pair<int, int> f = downloadedSize(id("Trip/sub/f.jpg"), "pv");
  EXPECT_TRUE(f.first < f.second && f.second <= 1024 && f.second * 2 == f.first * 3)
      << f.first << "x" << f.second;
  EXPECT_EQ(std::make_pair(64, 48), downloadedSize(id("Trip/b.png"), "pv"));
  EXPECT_EQ(std::vector<std::string>{}, tempLeftovers(getenv("TMPDIR")));

  // A second run finds the folders again (808) and adds the photos beside the first ones.
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_TRUE(log.has("File Exists, looking up: 'Trip'"));
  EXPECT_EQ(std::vector<std::string>{"Trip"}, names("0"));
  EXPECT_EQ(sorted({".e (2).jpg", ".e.jpg", "a (2).jpg", "a.jpg", "b (2).png", "b.png", "sub"}),
            sorted(names(id("Trip"))));

  // With 0x100 the top folder itself is not made: its contents go straight into the
  // destination folder.
  HBRef<HBMap> flat = call("createFile", {"parentid", "0", "filename", "Flat", "type", "1"});
  HBRef<HBMap> flatFile;
  ASSERT_TRUE(flat && flat->getMap("file", flatFile) == 0);
  const std::string flatId = flatFile->getString("fileid");
  task = newTask({trip}, TASK_FLAG_MIRROR_FOLDERS | TASK_FLAG_FLAT_ROOT, driveURI() + ":" + flatId);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(sorted({".e.jpg", "a.jpg", "b.png", "sub"}), sorted(names(flatId)));
  EXPECT_EQ(sorted({"deep", "f.jpg"}), sorted(names(id("Flat/sub"))));

  // Nothing to import: the run is skipped and the backup time stays.
  const int64_t stamp = vxclienttask__readTimestamp();
  const std::string empty = m_src.file("Empty");
  ASSERT_TRUE(hbfile__mkdirs(empty.c_str()) == 0 && writeFile(empty + "/n.txt", "x"));
  task = newTask({empty}, TASK_FLAG_MIRROR_FOLDERS);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getTotalFiles());
  EXPECT_EQ(stamp, vxclienttask__readTimestamp());
}

TEST_F(ImportTask, FaultsStopTheWalkOrNotAsTheyShould) {
  const std::string dir = m_src.file("F");
  for (const char *n : {"/1.jpg", "/2.jpg", "/3.jpg"}) ASSERT_TRUE(makePhoto(dir + n, 800, 600));
  HBRef<VXClientTask> task = newTask({dir}, TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS);

  // An upload cut by the service: that file is removed again and counted; the walk goes on.
  ASSERT_TRUE(m_svc.admin("upload?mode=cut&after=1000&count=1"));
  LogCapture log(BRLOG_INFO);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(1, task->getErrorCount());
  EXPECT_EQ(TASK_ERROR_GENERAL, task->getErrorMask());
  EXPECT_EQ(2u, names(id("F")).size());
  EXPECT_TRUE(log.has("Failed to send some data to file"));

  // An offline drive stops the walk at once (0x08), a revoked token too (0x10).
  ASSERT_TRUE(m_svc.admin("offline?serviceid=" + m_user.service));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(1, task->getErrorCount());
  EXPECT_TRUE(task->getErrorMask() & TASK_ERROR_OFFLINE);
  ASSERT_TRUE(m_svc.admin("online?serviceid=" + m_user.service));
  ASSERT_TRUE(m_svc.admin("revoke?token=" + m_user.token));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(1, task->getErrorCount());
  EXPECT_TRUE(task->getErrorMask() & TASK_ERROR_NOT_AUTHORIZED);
  EXPECT_EQ(TASK_STATE_FINISHED, task->getTaskState());
}

TEST_F(ImportTask, BadPicturesAreCountedAndFilesThatChangeAreNeverSentHalf) {
  const std::string bad = m_src.file("Bad");
  ASSERT_TRUE(makePhoto(bad + "/good.jpg", 640, 480));
  ASSERT_EQ(0,
            runProgram({"ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc2=size=64x48",
                        "-frames:v", "1", "-f", "image2", "-vcodec", "png", bad + "/png.jpg"})
                .exitCode);
  std::string jpeg;
  ASSERT_TRUE(readFile(bad + "/good.jpg", &jpeg));
  // A PNG whose header claims 10000 x 10000 pixels, beyond the decoders' bound.
  const unsigned char huge[] = {0x89, 'P',  'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a, 0,    0,    0,
                                13,   'I',  'H', 'D', 'R',  0,    0,    0x27, 0x10, 0,    0,
                                0x27, 0x10, 8,   2,   0,    0,    0,    0x35, 0x2c, 0xf5, 0x70};
  ASSERT_TRUE(
      writeFile(bad + "/truncated.jpg", jpeg.substr(0, jpeg.size() / 2)) &&
      writeFile(bad + "/corrupt.jpg", "\xff\xd8\xff\xe0" + std::string(3000, 'z')) &&
      writeFile(bad + "/empty.jpg", "") && writeFile(bad + "/text.jpg", "hello") &&
      writeFile(bad + "/huge.png", std::string(reinterpret_cast<const char *>(huge), sizeof huge)));
  // Bad for good, not on their way in: written long ago.
  for (const char *n : {"truncated.jpg", "corrupt.jpg", "empty.jpg", "text.jpg", "huge.png"})
    ASSERT_TRUE(makeOld(bad + "/" + n));

  // Without originals a picture that cannot be read is a counted failure, removed again; the
  // picture's size is never taken for a full drive.
  HBRef<VXClientTask> task = newTask({bad}, TASK_FLAG_MIRROR_FOLDERS);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(5, task->getErrorCount());
  EXPECT_EQ(TASK_ERROR_GENERAL, task->getErrorMask());
  EXPECT_EQ(sorted({"corrupt.jpg 1", "empty.jpg 1", "huge.png 1", "text.jpg 1", "truncated.jpg 1"}),
            errorPaths(task.get()));
  EXPECT_EQ(sorted({"good.jpg", "png.jpg"}), sorted(names(id("Bad"))));
  // With originals they go up alone.
  task = newTask({bad}, TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_EQ("", download(id("Bad/empty.jpg")));
  EXPECT_EQ(std::vector<std::string>{}, tempLeftovers(getenv("TMPDIR")));

  // A file that changes or vanishes while its original is on the way is reported and removed
  // from the drive. The service holds each original once 200000 bytes arrived, long enough
  // for the test to change the file.
  const std::string live = m_src.file("Live");
  ASSERT_TRUE(makePhoto(live + "/grow.jpg", 4000, 3000) &&
              makePhoto(live + "/gone.jpg", 4000, 3000));
  ASSERT_TRUE(m_svc.admin("upload?mode=stall&after=200000&ms=1500&count=6"));
  task = newTask({live}, TASK_FLAG_KEEP_ORIGINAL);
  std::thread run([&] { (void)task->runTask(token()); });
  std::vector<std::string> done;
  for (int i = 0; i < 3000 && done.size() < 2 && task->getTaskState() != TASK_STATE_FINISHED; ++i) {
    HBRef<VXClientTaskProgress> p;
    HBRef<IHBURI> file;
    std::string path;
    if (task->getProgress(p.out()) == 0 &&
        p->getProgressState() == TASK_PROGRESS_SENDING_ORIGINAL &&
        p->getCurrentFile(file.out()) == 0 && hburi__text(file.get(), &path) &&
        std::find(done.begin(), done.end(), path) == done.end()) {
      done.push_back(path);
      path = path.substr(7);
      if (path.find("grow") != std::string::npos)
        EXPECT_TRUE(writeFile(path, jpeg + "more"));
      else
        EXPECT_EQ(0, std::remove(path.c_str()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.join();
  EXPECT_EQ(2u, done.size());
  EXPECT_EQ(sorted({"gone.jpg 32", "grow.jpg 1"}), errorPaths(task.get()));
  EXPECT_EQ(std::vector<std::string>{"Bad"}, names("0"));
}

TEST_F(ImportTask, FilesStillBeingWrittenWaitForALaterRunAndThenGoUpOnceWhole) {
  const std::string dir = m_src.file("W");
  ASSERT_TRUE(makePhoto(dir + "/half.jpg", 1600, 1200) && makePhoto(dir + "/grow.jpg", 1600, 1200));
  std::string half, grow;
  ASSERT_TRUE(readFile(dir + "/half.jpg", &half) && readFile(dir + "/grow.jpg", &grow));
  // A copy that paused half-way a moment ago, and one still going on during the run.
  ASSERT_TRUE(writeFile(dir + "/half.jpg", half.substr(0, half.size() / 2)));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (size_t n = 1000; !stop; n = n * 2 < grow.size() ? n * 2 : 1000) {
      (void)writeFile(dir + "/grow.jpg", grow.substr(0, n));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  HBRef<VXClientTask> task = newTask({dir}, TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS);
  auto *import = static_cast<VXClientImportTask *>(task.get());
  EXPECT_EQ(0, task->runTask(token()));
  stop = true;
  writer.join();
  // Neither failed nor recorded, nothing of them on the drive; the task knows to run again.
  EXPECT_EQ(0, task->getErrorCount()) << ::testing::PrintToString(errorPaths(task.get()));
  EXPECT_EQ(2, import->waitingFiles());
  EXPECT_EQ(0, import->filesImported());
  EXPECT_EQ(std::vector<std::string>{}, names(id("W")));

  // Written whole, the next run takes each once, under its own name.
  ASSERT_TRUE(writeFile(dir + "/half.jpg", half) && writeFile(dir + "/grow.jpg", grow));
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_EQ(0, import->waitingFiles());
  EXPECT_EQ(sorted({"grow.jpg", "half.jpg"}), sorted(names(id("W"))));
  EXPECT_TRUE(download(id("W/half.jpg")) == half);
  EXPECT_TRUE(download(id("W/grow.jpg")) == grow);
}

TEST_F(ImportTask, NamesFromOtherSystemsGoUpUnderTheSameValidNamesEveryRun) {
  // Latin-1 bytes (an old camera's card) and a control character in names.
  const std::string dir = m_src.file("Caf\xe9");
  ASSERT_TRUE(makePhoto(dir + "/\xe9t\xe9.jpg", 64, 48) &&
              makePhoto(dir + "/d\xfcr/\xfc.jpg", 64, 48) && makePhoto(dir + "/a\tb.jpg", 64, 48));
  const uint32_t flags = TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_MIRROR_FOLDERS;
  HBRef<VXClientTask> task = newTask({dir}, flags);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_EQ(std::vector<std::string>{"Caf\u00e9"}, names("0"));
  const std::vector<std::string> top = sorted({"a_b.jpg", "d\u00fcr", "\u00e9t\u00e9.jpg"});
  EXPECT_EQ(top, sorted(names(id("Caf\u00e9"))));
  EXPECT_EQ(std::vector<std::string>{"\u00fc.jpg"}, names(id("Caf\u00e9/d\u00fcr")));
  // The same names the next time: the existing-file check finds every one, nothing is doubled.
  task = newTask({dir}, flags | TASK_FLAG_CHECK_EXISTING);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_EQ(3, static_cast<VXClientImportTask *>(task.get())->filesImported());
  EXPECT_EQ(top, sorted(names(id("Caf\u00e9"))));
}

// An import that takes every file the walk meets, as a backup of pictures and videos does.
class EveryFileTask : public VXClientImportTask {
 public:
  EveryFileTask(uint32_t flags, VXClientTaskReference *source, IHBURI *destination)
      : VXClientImportTask("t2", TASK_TYPE_IMPORT, TASK_CLASS_USER, flags, source, destination) {}
  int32_t wantFile(int32_t, const char *, const char *, int64_t, int64_t) override { return 1; }
};

TEST_F(ImportTask, VideosGetTheirRenditionsCompanionsGoUpAsTheyAre) {
  const std::string dir = m_src.file("Cam");
  auto video = [&](const std::string &name) {
    return runProgram({"ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                       "testsrc2=size=640x360:rate=10", "-t", "1", "-pix_fmt", "yuv420p",
                       dir + "/" + name})
               .exitCode == 0;
  };
  ASSERT_TRUE(makePhoto(dir + "/IMG_1.JPG", 320, 240) && makePhoto(dir + "/p.jpg", 320, 240));
  ASSERT_TRUE(video("clip.mp4") && video("clip.mov") && video("IMG_1.MOV"));
  ASSERT_TRUE(writeFile(dir + "/p.xmp", "<x:xmpmeta/>") && writeFile(dir + "/p.aae", "<plist/>") &&
              writeFile(dir + "/p.thm", "thumb"));
  HBRef<VXClientTaskReference> src;
  ASSERT_EQ(0, VXClientTaskReference::create("src", nullptr, "Cam", false, src));
  HBRef<IHBURL> url;
  ASSERT_EQ(0, hburl__fromPath(url.out(), dir.c_str()));
  ASSERT_EQ(0, src->addURI(url.get()));
  HBRef<IHBZVURI> to;
  ASSERT_EQ(0, hbzvuri_new(to, driveURI().c_str()));
  // Pictures and videos only, as a photo source asks: companions still go with their pictures.
  HBRef<EveryFileTask> task = HBRef<EveryFileTask>::adopt(new EveryFileTask(
      TASK_FLAG_KEEP_ORIGINAL | TASK_FLAG_IMAGES | TASK_FLAG_VIDEO, src.get(), to.get()));
  LogCapture log(BRLOG_INFO);
  EXPECT_EQ(0, task->runTask(token()));
  EXPECT_EQ(0, task->getErrorCount()) << log.text();
  EXPECT_EQ(8, task->filesImported());
  for (const char *n : {"clip.mp4", "clip.mov"}) {
    HBRef<HBMap> v = entry(n);
    ASSERT_TRUE(v) << n;
    EXPECT_STREQ("full", v->getString("streamtype")) << n;
    EXPECT_EQ(std::make_pair(160, 160), downloadedSize(v->getString("fileid"), "tn")) << n;
    const std::pair<int, int> st = downloadedSize(v->getString("fileid"), "st");
    EXPECT_TRUE(st.first == 480 || st.second == 480) << n << " " << st.first << "x" << st.second;
  }
  // The live photo's video and the sidecars: the original alone, its size declared.
  for (const char *n : {"IMG_1.MOV", "p.xmp", "p.aae", "p.thm"}) {
    HBRef<HBMap> f = entry(n);
    ASSERT_TRUE(f) << n;
    std::string local;
    ASSERT_TRUE(readFile(dir + "/" + n, &local));
    EXPECT_TRUE(download(f->getString("fileid")) == local) << n;
    EXPECT_EQ(std::to_string(local.size()), f->getString("size")) << n;
    EXPECT_FALSE(f->getString("thumbnail") || f->getString("stream") || f->getString("streamtype"))
        << n;
  }
  EXPECT_TRUE(entry("IMG_1.JPG")->getString("thumbnail"));
  EXPECT_EQ(std::vector<std::string>{}, tempLeftovers(getenv("TMPDIR")));
}

// A drive whose answers name no file: "createFile" and "getFile" give `id` ("0", the root, or
// nothing) as the new or found file's identifier. Every request is noted.
class RootAnswers {
 public:
  RootAnswers() : m_server([this](int fd, int) { serve(fd); }) {}
  std::string base() const { return "http://" + m_server.hostPort(); }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> l(m_lock);
    return std::exchange(m_calls, {});
  }
  std::string id;
  std::string fault;  // an error code createFile answers with, when set

 private:
  void serve(int fd) {
    std::string header, body;
    if (!nettest::readHeader(fd, &header, &body)) return;
    const size_t length = std::stoul("0" + nettest::headerValue(header, "Content-Length"));
    if (!nettest::readBytes(fd, &body, length)) return;
    std::string method = header.substr(0, header.find(' '));
    for (const char *m : {"getFile", "createFile", "removeFile", "getService"})
      if (body.find(std::string("<") + m) != std::string::npos) method = m;
    std::string reply =
        "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"x\"><soapenv:Body><" + method +
        "Response><file><fileid>" + id +
        "</fileid><type>0</type><name>x</name><size>5</size><mtime>1</mtime></file></" + method +
        "Response></soapenv:Body></soapenv:Envelope>";
    if (!fault.empty() && method == "createFile")
      reply = "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"x\"><soapenv:Body>"
              "<VXError><errorCode>" + fault + "</errorCode><errorDescription>full"
              "</errorDescription></VXError></soapenv:Body></soapenv:Envelope>";
    {
      std::lock_guard<std::mutex> l(m_lock);
      m_calls.push_back(method);
    }
    nettest::sendAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                             std::to_string(reply.size()) + "\r\n\r\n" + reply);
  }
  std::mutex m_lock;
  std::vector<std::string> m_calls;
  nettest::ScriptServer m_server;
};

TEST(ImportTaskAnswers, IdentifiersNamingNoFileAreRefusedAndNothingIsRemoved) {
  TempSettings settings;
  TempDir src;
  RootAnswers drive;
  HBRef<IHBURL> api;
  ASSERT_EQ(0, hburl__parse(api.out(), (drive.base() + "/svc/api").c_str()));
  hbsvc__setServiceURL(api.get());
  HBRef<IHBHTTPConnPool> pool;
  ASSERT_EQ(0, hbhttpconnpool__create(pool.out()));
  hbrpc__setConnPool(pool.get());
  const std::string dir = src.file("F");
  ASSERT_TRUE(makePhoto(dir + "/p.jpg", 64, 48) && makeOld(dir + "/p.jpg"));
  auto run = [&](uint32_t flags) {
    HBRef<VXClientTaskReference> ref;
    EXPECT_EQ(0, VXClientTaskReference::create("src", nullptr, "F", false, ref));
    HBRef<IHBURL> url;
    EXPECT_EQ(0, hburl__fromPath(url.out(), dir.c_str()));
    EXPECT_EQ(0, ref->addURI(url.get()));
    HBRef<IHBZVURI> to;
    EXPECT_EQ(0, hbzvuri_new(to, "ytozv://D:S"));
    HBRef<VXClientTask> task;
    EXPECT_EQ(0, vxclienttask__newImportTask(task.out(), "t", TASK_CLASS_USER,
                                             TASK_FLAG_KEEP_ORIGINAL | flags, ref.get(), to.get()));
    EXPECT_EQ(0, task->runTask("TOK"));
    EXPECT_EQ(1, task->getErrorCount());
    EXPECT_EQ(TASK_ERROR_GENERAL, task->getErrorMask());
    return drive.calls();
  };
  // A mirrored folder answered with the root: its photos are not put at the top of the drive.
  drive.id = "0";
  EXPECT_EQ(std::vector<std::string>{"createFile"}, run(TASK_FLAG_MIRROR_FOLDERS));
  // A photo found and made as nothing: no upload, and never a removal of the root.
  drive.id = "";
  EXPECT_EQ((std::vector<std::string>{"getFile", "createFile"}), run(TASK_FLAG_CHECK_EXISTING));
  drive.id = "0";
  EXPECT_EQ((std::vector<std::string>{"getFile", "createFile"}), run(TASK_FLAG_CHECK_EXISTING));
  // A service that cannot store the file (507) is out of space, not a failure of this photo.
  drive.fault = "507";
  {
    HBRef<VXClientTaskReference> ref;
    ASSERT_EQ(0, VXClientTaskReference::create("src", nullptr, "F", false, ref));
    HBRef<IHBURL> url;
    ASSERT_EQ(0, hburl__fromPath(url.out(), dir.c_str()));
    ASSERT_EQ(0, ref->addURI(url.get()));
    HBRef<IHBZVURI> to;
    ASSERT_EQ(0, hbzvuri_new(to, "ytozv://D:S"));
    HBRef<VXClientTask> task;
    ASSERT_EQ(0, vxclienttask__newImportTask(task.out(), "t", TASK_CLASS_USER,
                                             TASK_FLAG_KEEP_ORIGINAL, ref.get(), to.get()));
    EXPECT_EQ(0, task->runTask("TOK"));
    EXPECT_EQ(TASK_ERROR_NO_SPACE, task->getErrorMask());
  }
  hbrpc__setConnPool(nullptr);
  hbsvc__setServiceURL(nullptr);
}

TEST(ImportTaskRules, LimitsClassesAndKeys) {
  TempSettings settings;
  // The defaults: the first No Space on a 5 MB file stops; on 50 MB files the walk goes on
  // while 10 MB are free, until the tenth.
  HBRef<VXClientImportTask> task;
  ASSERT_EQ(0, VXClientImportTask::create("t", 0, 0x70, nullptr, nullptr, task.out()));
  const VXImportSpaceLimits def = task->spaceLimits();
  EXPECT_TRUE(vxclienttaskimport__outOfSpaceStops(def, 1, 5 << 20, INT64_C(1) << 40));
  EXPECT_FALSE(vxclienttaskimport__outOfSpaceStops(def, 9, 50 << 20, 10 << 20));
  EXPECT_TRUE(vxclienttaskimport__outOfSpaceStops(def, 9, 50 << 20, (10 << 20) - 1));
  EXPECT_TRUE(vxclienttaskimport__outOfSpaceStops(def, 10, 50 << 20, INT64_C(1) << 40));
  EXPECT_TRUE(vxclienttaskimport__outOfSpaceStops(def, 1, 50 << 20, -1));
  // Settings: base 0 for the count; "0x" hexadecimal or decimal for the sizes, "0" followed by
  // a digit reads 0; the free-space limit is a 32-bit number.
  ASSERT_EQ(0, hbproperties__setDefaultString(VXIMPORT_SETTING_MAX_OUT_OF_SPACE, "0x3"));
  ASSERT_EQ(0, hbproperties__setDefaultString(VXIMPORT_SETTING_MIN_RETRY_FILE_SIZE, " 010"));
  ASSERT_EQ(0,
            hbproperties__setDefaultString(VXIMPORT_SETTING_MIN_RETRY_FREE_SPACE, "0x1234567890"));
  HBRef<VXClientTaskReference> photos;
  ASSERT_EQ(0, VXClientTaskReference::create("p", "photo", "Pictures", false, photos));
  ASSERT_EQ(0, VXClientImportTask::create("t", 2, 0x75, photos.get(), nullptr, task.out()));
  EXPECT_EQ(3, task->spaceLimits().maxErrors);
  EXPECT_EQ(0, task->spaceLimits().minFileSize);
  EXPECT_EQ(0x12345678, task->spaceLimits().minFreeSpace);
  int64_t v;
  EXPECT_TRUE(vxclienttaskimport__parseLimit("-0x10", 16, 20, &v) && v == -16);
  EXPECT_TRUE(vxclienttaskimport__parseLimit("+0123", 16, 20, &v) && v == 0);
  EXPECT_FALSE(vxclienttaskimport__parseLimit("x", 16, 20, &v));
  // A photo source with every kind bit never mirrors folders; a music source takes sound.
  EXPECT_EQ(0x71u, task->getTaskFlags());
  EXPECT_EQ(0, VXClientTaskReference::create("m", "music", "Music", false, photos));
  ASSERT_EQ(0, VXClientImportTask::create("t", 1, 0x75, photos.get(), nullptr, task.out()));
  EXPECT_EQ(0x15u, task->getTaskFlags());

  // File keys: unpadded base64 of the SHA-1 of the path; safe names.
  EXPECT_EQ("2jmj7l5rSw0yVb/vlWAYkK/YBwk", vximport__fileKey(""));
  EXPECT_EQ(27u, vximport__fileKey("/home/a/Pictures/IMG_0001.JPG").size());
  EXPECT_EQ("a_b_c_d_e_f_g_h_i_ é.jpg", vximport__safeName("a\"b*c/d:e<f>g?h\\i| é.jpg"));
  // Too long once mapped: cut at a character's start, the extension kept.
  const std::string longName = vximport__safeName((std::string(200, '\xe9') + ".jpeg").c_str());
  EXPECT_EQ(255u, longName.size());
  EXPECT_EQ("\u00e9.jpeg", longName.substr(248));
}

}  // namespace
}  // namespace tessel::test
