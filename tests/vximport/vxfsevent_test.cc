// The folder watchers: one report per watched folder after 30 s of quiet (or 3 minutes after
// the first of changes that never stop), trees that grow and move, watched folders that go and
// come back, receivers that are busy, the watch limit and the table of 64.
#include "vxfsevent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "hbfile.h"
#include "hbzvuri.h"
#include "logcapture.h"
#include "testutil.h"
#include "vxfsevent_posix.h"
#include "watchtest.h"

using namespace tessel::test;

namespace {

HBRef<IHBURL> fileURL(const std::string &path) {
  HBRef<IHBURL> u;
  EXPECT_EQ(0, hburl__fromPath(u.out(), path.c_str()));
  return u;
}

struct Watched {
  HBRef<IVXFSEventer> watcher;
  HBRef<RecordingFSSink> sink = RecordingFSSink::make();
  std::string uri;
};

Watched watch(const std::string &path) {
  Watched w;
  HBRef<IHBURL> url = fileURL(path);
  w.uri = uriString(url.get());
  EXPECT_EQ(0, vxfsevent__makeFolderWatcher(w.watcher.out(), url.get()));
  if (w.watcher) {
    EXPECT_EQ(0, w.watcher->addSink(w.sink.get(), 0));
  }
  return w;
}

void unwatch(Watched &w) {
  if (w.watcher) {
    EXPECT_EQ(0, w.watcher->removeSink(w.sink.get()));
  }
  w.watcher.reset();
}

// Lets the thread read what happened, then moves the clock by `ms` and lets it report.
void settle(FakeClock &clock, int64_t ms = VXFSEVENT_QUIET_MS + 1) {
  ASSERT_TRUE(vxfsevent__waitPassesForTest(2));
  clock.advance(ms);
  ASSERT_TRUE(vxfsevent__waitPassesForTest(2));
}

void save(const std::string &path) {
  ASSERT_TRUE(writeFile(path, "picture"));
}

// A mount namespace of the test process's own, private so that nothing mounted here is seen
// outside, made before any test starts the watcher thread (which then shares it). Where the
// machine does not allow it, the cases with disks are passed over.
class PrivateMounts : public testing::Environment {
 public:
  void SetUp() override {
    s_ok = unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!s_ok) s_why = std::strerror(errno);
  }
  static inline bool s_ok = false;
  static inline std::string s_why;
};
[[maybe_unused]] testing::Environment *const g_mounts =
    testing::AddGlobalTestEnvironment(new PrivateMounts);

// A disk mounted at a folder until destruction.
struct Mounted {
  std::string at;
  bool mount(const char *source, const std::string &point, const char *type, unsigned long flags) {
    if (::mount(source, point.c_str(), type, flags, nullptr) != 0) return false;
    at = point;
    return true;
  }
  bool unmount() {
    const bool ok = !at.empty() && umount2(at.c_str(), 0) == 0;
    if (ok) at.clear();
    return ok;
  }
  ~Mounted() {
    if (!at.empty()) umount2(at.c_str(), MNT_DETACH);
  }
};

}  // namespace

TEST(FolderWatcher, BurstsGiveOneReportThirtySecondsAfterTheLastChange) {
  FakeClock clock;
  TempDir root;
  ASSERT_EQ(0, hbfile__mkdirs(root.file("a/b/c").c_str()));
  Watched w = watch(root.path());
  ASSERT_TRUE(w.watcher);

  // Ten saves a few hundred milliseconds apart, deep in the tree and at the top.
  for (int i = 0; i < 10; ++i) {
    save(root.file((i % 2 ? "a/b/c/p" : "p") + std::to_string(i) + ".jpg"));
    settle(clock, 300);
  }
  settle(clock, VXFSEVENT_QUIET_MS - 3000);
  EXPECT_TRUE(w.sink->seen().empty()) << "reported before 30 s of quiet";
  settle(clock, 3000);
  EXPECT_EQ(std::vector<std::string>{w.uri}, w.sink->seen()) << "one report naming the folder";
  settle(clock, 2 * VXFSEVENT_QUIET_MS);
  EXPECT_EQ(1u, w.sink->seen().size());

  // Hundreds of thousands of events at once (possibly beyond the kernel's queue) are one more.
  const std::string pic = root.file("a/b/c/p1.jpg");
  for (int i = 0; i < 200000; ++i) utimensat(AT_FDCWD, pic.c_str(), nullptr, 0);
  settle(clock);
  EXPECT_EQ(2u, w.sink->seen().size());

  // A receiver in the middle of a run answers Inprogress: the report comes again later.
  w.sink->setResult(BR_EINPROGRESS);
  save(root.file("late.jpg"));
  settle(clock);
  EXPECT_EQ(3u, w.sink->seen().size());
  w.sink->setResult(0);
  settle(clock);
  EXPECT_EQ(4u, w.sink->seen().size());
  settle(clock);
  EXPECT_EQ(4u, w.sink->seen().size());
  unwatch(w);
}

TEST(FolderWatcher, FoldersMadeMovedInOrLinkedAreWatchedAndLoopsEnd) {
  FakeClock clock;
  TempDir root, outside;
  ASSERT_EQ(0, hbfile__mkdirs(root.file(".vxdata").c_str()));
  ASSERT_EQ(0, hbfile__mkdirs(outside.file("linked").c_str()));
  ASSERT_EQ(0, hbfile__mkdirs(outside.file("tree/d1/d2").c_str()));
  ASSERT_EQ(0, symlink(root.path().c_str(), root.file("loop").c_str()));
  ASSERT_EQ(0, symlink(outside.file("linked").c_str(), root.file("link").c_str()));
  LogCapture log;
  Watched w = watch(root.path());
  ASSERT_TRUE(w.watcher);
  size_t reports = 0;
  auto reported = [&] {
    const size_t n = w.sink->seen().size();
    const bool more = n > reports;
    reports = n;
    return more;
  };

  ASSERT_EQ(0, mkdir(root.file("new").c_str(), 0755));
  settle(clock);
  EXPECT_TRUE(reported());
  save(root.file("new/x.jpg"));
  settle(clock);
  EXPECT_TRUE(reported()) << "a folder made after the watch began";

  ASSERT_EQ(0, rename(outside.file("tree").c_str(), root.file("tree").c_str()));
  settle(clock);
  EXPECT_TRUE(reported());
  save(root.file("tree/d1/d2/y.jpg"));
  settle(clock);
  EXPECT_TRUE(reported()) << "a tree moved in";

  save(outside.file("linked/z.jpg"));
  settle(clock);
  EXPECT_TRUE(reported()) << "a folder reached through a link";

  save(root.file(".vxdata/skip"));
  settle(clock);
  EXPECT_FALSE(reported()) << "the walk's own folders are not watched";

  ASSERT_EQ(0, rename(root.file("new").c_str(), outside.file("gone").c_str()));
  settle(clock);
  EXPECT_TRUE(reported());
  save(outside.file("gone/q.jpg"));
  settle(clock);
  EXPECT_FALSE(reported()) << "a folder moved away";

  for (const std::string &s : w.sink->seen()) EXPECT_EQ(w.uri, s);
  unwatch(w);
  ASSERT_TRUE(vxfsevent__waitPassesForTest(2));
  EXPECT_TRUE(log.has("Removing FS listener: '" + root.path() + "'"));
  EXPECT_TRUE(log.has("Removed FS listener: '?'"));
}

TEST(FolderWatcher, OutOfWatchesIsLoggedListedAndTriedAgain) {
  FakeClock clock;
  TempDir root;
  for (const char *d : {"a", "b", "c/d", "c/e"}) ASSERT_EQ(0, hbfile__mkdirs(root.file(d).c_str()));
  LogCapture log;
  vxfsevent__setWatchLimitForTest(3);
  Watched w = watch(root.path());
  ASSERT_TRUE(w.watcher);
  std::vector<std::string> unwatched;
  EXPECT_LE(1, w.watcher->unwatchedFolders(&unwatched));
  EXPECT_TRUE(log.has("Out of folder watches (fs.inotify.max_user_watches)"));
  // What is watched stays watched.
  save(root.file("top.jpg"));
  settle(clock);
  EXPECT_EQ(1u, w.sink->seen().size());

  // Once there is room again, the next report brings the rest in.
  vxfsevent__setWatchLimitForTest(0);
  save(root.file("top2.jpg"));
  settle(clock);
  EXPECT_EQ(2u, w.sink->seen().size());
  EXPECT_EQ(0, w.watcher->unwatchedFolders(&unwatched));
  EXPECT_TRUE(log.has("more folders below"));
  for (const char *d : {"a", "b", "c/d", "c/e"}) {
    save(root.file(std::string(d) + "/p.jpg"));
    settle(clock);
  }
  EXPECT_EQ(6u, w.sink->seen().size());
  unwatch(w);
}

TEST(FolderWatcher, KindsOfURIAndTheSixtyFifthWatcher) {
  FakeClock clock;
  HBRef<IVXFSEventer> w;
  HBRef<IHBZVURI> drive;
  ASSERT_EQ(0, hbzvuri_new(drive, "ytozv://dev:svc"));
  EXPECT_EQ(BR_ENOENT, vxfsevent__makeFolderWatcher(w.out(), drive.get()));
  HBRef<IHBURL> http;
  ASSERT_EQ(0, hburl__parse(http.out(), "http://host/x"));
  EXPECT_EQ(BR_EUNSUPPORTED, vxfsevent__makeFolderWatcher(w.out(), http.get()));
  // A folder not there (yet) is waited for.
  ASSERT_EQ(0, vxfsevent__makeFolderWatcher(w.out(), fileURL("/no/such/folder").get()));
  EXPECT_EQ(0, w->isAvailable());
  w.reset();

  ASSERT_EQ(0, vxfsevent__slotsInUseForTest());
  TempDir base;
  std::vector<Watched> all;
  LogCapture log;
  for (int i = 0; i < 65; ++i) {
    ASSERT_EQ(0, mkdir(base.file(std::to_string(i)).c_str(), 0755));
    all.push_back(watch(base.file(std::to_string(i))));
    ASSERT_TRUE(all.back().watcher);
  }
  EXPECT_EQ(64, vxfsevent__slotsInUseForTest());
  EXPECT_TRUE(log.has("No room for FS listener: '" + all[64].uri + "'"));
  save(base.file("0/p.jpg"));
  save(base.file("64/p.jpg"));
  settle(clock);
  EXPECT_EQ(1u, all[0].sink->seen().size());
  EXPECT_TRUE(all[64].sink->seen().empty()) << "the sixty-fifth never reports";
  for (Watched &x : all) unwatch(x);
  EXPECT_EQ(0, vxfsevent__slotsInUseForTest());
}

TEST(FolderWatcher, ATreeThatNeverStaysQuietReportsWithinTheLongestDelay) {
  FakeClock clock;
  TempDir root;
  Watched w = watch(root.path());
  ASSERT_TRUE(w.watcher);
  static_assert(VXFSEVENT_MAX_DELAY_MS % 20000 == 0);
  // A log written every 20 s never leaves 30 s of quiet; it is reported all the same, once the
  // first change has waited for the longest delay, and every longest delay after that.
  for (int round = 0; round < 2; ++round) {
    for (int64_t waited = 20000; waited <= VXFSEVENT_MAX_DELAY_MS; waited += 20000) {
      save(root.file("app.log"));
      settle(clock, 20000);
      EXPECT_EQ(static_cast<size_t>(round + (waited == VXFSEVENT_MAX_DELAY_MS ? 1 : 0)),
                w.sink->seen().size())
          << waited << " ms after the first change";
    }
  }
  // Quiet again: the 30 s rule as ever.
  save(root.file("app.log"));
  settle(clock, 20000);
  EXPECT_EQ(2u, w.sink->seen().size());
  settle(clock, VXFSEVENT_QUIET_MS - 20000 + 1);
  EXPECT_EQ(3u, w.sink->seen().size());
  unwatch(w);
}

TEST(FolderWatcher, FoldersThatGoAndComeBackAreWatchedAgainAndReported) {
  FakeClock clock;
  TempDir base;
  LogCapture log;
  size_t reports = 0;
  // After each step: whether the folder is watched, and whether a report went out.
  auto step = [&](Watched &x, int32_t available, bool reported, const char *what) {
    settle(clock);
    EXPECT_EQ(available, x.watcher->isAvailable()) << what;
    const size_t n = x.sink->seen().size();
    EXPECT_EQ(reported, n > reports) << what;
    reports = n;
  };
  auto made = [](const std::string &dir) { ASSERT_EQ(0, hbfile__mkdirs(dir.c_str())) << dir; };
  auto moved = [](const std::string &from, const std::string &to) {
    ASSERT_EQ(0, rename(from.c_str(), to.c_str())) << from;
  };

  // Not there at the start, three folders deep: waited for as the folders above it are made.
  const std::string root = base.file("a/b/Photos");
  Watched w = watch(root);
  ASSERT_TRUE(w.watcher);
  EXPECT_EQ(0, w.watcher->isAvailable());
  EXPECT_TRUE(log.has("Watched folder is not there, waiting for it: '" + root + "'"));
  made(base.file("a/b/other"));
  step(w, 0, false, "folders beside it are none of its business");
  // Made elsewhere with pictures and moved in, as a copy tool does: its arrival is reported.
  made(base.file("stage/sub"));
  moved(base.file("stage"), root);
  step(w, 1, true, "moved in");
  EXPECT_TRUE(log.has("Watched folder is back: '" + root + "'"));
  save(root + "/sub/2.jpg");
  step(w, 1, true, "its tree is watched");
  // Deleted and made again.
  removeTree(root);
  step(w, 0, true, "deleted");
  EXPECT_TRUE(log.has("Watched folder is gone: '" + root + "'"));
  made(root);
  step(w, 1, true, "made again");
  // Moved away, it is no longer what is backed up; moved back, it is again.
  moved(root, base.file("away"));
  step(w, 0, true, "moved away");
  save(base.file("away/4.jpg"));
  step(w, 0, false, "a change in the folder moved away");
  moved(base.file("away"), root);
  step(w, 1, true, "moved back");
  // The folders above it renamed: found out when the next change is reported.
  moved(base.file("a"), base.file("a2"));
  save(base.file("a2/b/Photos/5.jpg"));
  step(w, 0, true, "a folder above it renamed");
  made(root);
  step(w, 1, true, "made again");
  for (const std::string &s : w.sink->seen()) EXPECT_EQ(w.uri, s);

  // A memory card: its folder is on the card, and the card comes and goes.
  if (!PrivateMounts::s_ok) {
    std::cout << "[   NOTE   ] no mount namespace of the test's own (" << PrivateMounts::s_why
              << "): the cases with disks are passed over\n";
    unwatch(w);
    return;
  }
  const std::string card = base.file("media/CARD"), image = base.file("image");
  made(card);
  made(image + "/DCIM");
  Watched c = watch(card + "/DCIM");
  ASSERT_TRUE(c.watcher);
  reports = 0;
  Mounted disk;
  // A new card: the mount point's own folder says nothing of it, the mount table does.
  ASSERT_TRUE(disk.mount("tmpfs", card, "tmpfs", 0)) << std::strerror(errno);
  step(c, 0, false, "an empty card");
  made(card + "/DCIM");
  step(c, 1, true, "its folder made");
  // Unplugged: its watches end with it.
  ASSERT_TRUE(disk.unmount()) << std::strerror(errno);
  step(c, 0, true, "unplugged");
  // Plugged in again with pictures (a bind mount stands in for the card's file system), then
  // unplugged again, when nothing of its file system is unmounted: the mount table tells.
  ASSERT_TRUE(disk.mount(image.c_str(), card, nullptr, MS_BIND)) << std::strerror(errno);
  step(c, 1, true, "plugged in with pictures");
  save(card + "/DCIM/3.jpg");
  step(c, 1, true, "its tree is watched");
  ASSERT_TRUE(disk.unmount()) << std::strerror(errno);
  step(c, 0, true, "unplugged again");
  EXPECT_EQ(1, w.watcher->isAvailable()) << "the other folder stays watched";
  unwatch(c);
  unwatch(w);
}
