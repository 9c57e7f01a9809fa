// The folder watchers: one report per watched folder after 30 s of quiet, trees that grow and
// move, receivers that are busy, the watch limit and the table of 64.
#include "vxfsevent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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
  EXPECT_EQ(BR_ENOENT, vxfsevent__makeFolderWatcher(w.out(), fileURL("/no/such/folder").get()));

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
