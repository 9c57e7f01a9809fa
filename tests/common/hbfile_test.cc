#include "hbfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <string>
#include <vector>

#include "brlog.h"
#include "logcapture.h"
#include "testutil.h"

using tessel::test::readFile;
using tessel::test::TempDir;
using tessel::test::writeFile;

namespace {

using tessel::test::LogCapture;

bool exists(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

// Makes the files (and their folders) named relative to `root`.
void makeTree(const std::string &root, const std::vector<std::string> &files) {
  for (const std::string &f : files) {
    const std::string p = root + "/" + f;
    ASSERT_EQ(hbfile__mkdirs(p.substr(0, p.rfind('/')).c_str()), 0);
    if (p.back() != '/') {
      ASSERT_TRUE(writeFile(p, "data:" + f));
    }
  }
}

// ---- Media types ----

TEST(MimeType, FirstRowWinsWithoutRegardToCase) {
  // Extensions with a second row, and the neighbours of the short ones.
  const std::map<std::string, std::string> expected = {
      {"mp3", "audio/mpeg"}, {"AAC", "audio/mp4a-latm"}, {"Jpg", "image/jpeg"},
      {"JPEG", "image/jpeg"}, {"ts", "video/MP2T"}, {"m2ts", "video/mpeg"},
      {"3gp", "video/mp4"}, {"m3u8", "application/vnd.apple.mpegurl"}, {"ico", "image/x-icon"},
      {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
  };
  for (const auto &[ext, type] : expected)
    EXPECT_STREQ(hbfile__mimeType(("dir/name." + ext).c_str()), type.c_str()) << ext;
}

TEST(MimeType, DefaultsAndOddNames) {
  EXPECT_STREQ(hbfile__mimeType("/a/PHOTO.JPG"), "image/jpeg");
  EXPECT_STREQ(hbfile__mimeType("noext"), "application/octet-stream");
  EXPECT_STREQ(hbfile__mimeType("a.b.mp3"), "audio/mpeg");
  EXPECT_STREQ(hbfile__mimeType("dir.jpg/file"), "application/octet-stream");
  EXPECT_STREQ(hbfile__mimeType("trailing."), "application/octet-stream");
  EXPECT_STREQ(hbfile__mimeType("x.jpgx"), "application/octet-stream");
  EXPECT_STREQ(hbfile__mimeType(nullptr), "application/octet-stream");
}

TEST(MimeType, PicturesAndVideosOfPhonesAndCameras) {
  // The import takes exactly the "image/" types: every picture kind must be one, in any case.
  for (const char *ext : {"heic", "HEIF", "hif", "avif", "WebP", "tif", "TIFF", "jfif", "jpe",
                          "psd", "DNG", "cr2", "CR3", "crw", "nef", "nrw", "ARW", "srf", "sr2",
                          "raf", "ORF", "rw2", "raw", "pef", "srw", "x3f", "3FR", "iiq", "erf",
                          "mrw", "kdc", "dcr"})
    EXPECT_EQ(std::string(hbfile__mimeType((std::string("a.") + ext).c_str())).rfind("image/", 0),
              0u)
        << ext;
  // New rows, and rows that were there first keeping their answers; no decoder for JPEG XL.
  for (const auto &[name, type] : std::map<std::string, std::string>{
           {"x.HEIC", "image/heic"}, {"x.hif", "image/heif"}, {"x.Rw2", "image/x-panasonic-rw2"},
           {"x.3g2", "video/3gpp2"}, {"x.WEBM", "video/webm"}, {"x.MOD", "video/mpeg"},
           {"x.mts", "video/mpeg"}, {"x.m4v", "video/mp4"}, {"x.3gp", "video/mp4"},
           {"x.mkv", "video/x-matroska"}, {"x.mov", "video/quicktime"}, {"x.avi", "video/avi"},
           {"x.wmv", "video/x-ms-wmv"}, {"x.jxl", "application/octet-stream"}})
    EXPECT_STREQ(hbfile__mimeType(name.c_str()), type.c_str()) << name;
}

// ---- Folders, deletion, attributes ----

TEST(FileHelpers, MkdirsCreatesAlongBothSeparators) {
  LogCapture log;
  TempDir dir;
  const std::string p = dir.path() + "/a\\b//c/";
  EXPECT_EQ(hbfile__mkdirs(p.c_str()), 0);
  struct stat st;
  ASSERT_EQ(stat((dir.path() + "/a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(hbfile__mkdirs(p.c_str()), 0);  // already there
  ASSERT_TRUE(writeFile(dir.file("file"), "x"));
  EXPECT_EQ(hbfile__mkdirs(dir.file("file").c_str()), BR_EUNSPEC);
  EXPECT_EQ(hbfile__mkdirs(dir.file("file/sub").c_str()), BR_EUNSPEC);
  EXPECT_TRUE(log.has("Failed to create dir: 20 '" + dir.file("file")));
}

TEST(FileHelpers, UnlinkOneOrByPattern) {
  LogCapture log;
  TempDir dir;
  makeTree(dir.path(), {"a.tmp", "b.tmp", "keep.txt", ".hidden.tmp", "sub/x.tmp", "sub/deep/y"});
  EXPECT_EQ(hbfile__unlink(dir.file("keep.txt").c_str()), 0);
  EXPECT_FALSE(exists(dir.file("keep.txt")));
  EXPECT_EQ(hbfile__unlink(dir.file("keep.txt").c_str()), BR_EUNSPEC);
  EXPECT_TRUE(log.has("      - UNLINKING ERROR: 2!"));
  EXPECT_EQ(hbfile__unlink(dir.file("sub").c_str()), BR_EUNSPEC);  // one file, not a folder

  EXPECT_EQ(hbfile__unlink((dir.path() + "\\*.tmp").c_str()), 0);
  EXPECT_FALSE(exists(dir.file("a.tmp")));
  EXPECT_FALSE(exists(dir.file(".hidden.tmp")));
  EXPECT_TRUE(exists(dir.file("sub/x.tmp")));
  EXPECT_EQ(hbfile__unlink((dir.path() + "/*.none").c_str()), 0);  // nothing to delete
  EXPECT_EQ(hbfile__unlink((dir.path() + "/nodir/*").c_str()), 0);
  // Brackets are plain characters.
  ASSERT_TRUE(writeFile(dir.file("p[1].jpg"), "x"));
  ASSERT_TRUE(writeFile(dir.file("p1.jpg"), "x"));
  EXPECT_EQ(hbfile__unlink((dir.path() + "/p[1]*").c_str()), 0);
  EXPECT_FALSE(exists(dir.file("p[1].jpg")));
  EXPECT_TRUE(exists(dir.file("p1.jpg")));

  // A link inside is removed, its target left alone.
  TempDir other;
  ASSERT_TRUE(writeFile(other.file("target"), "t"));
  ASSERT_EQ(symlink(other.path().c_str(), dir.file("sub/link").c_str()), 0);
  EXPECT_EQ(hbfile__unlink((dir.path() + "/*").c_str()), 0);
  EXPECT_FALSE(exists(dir.file("sub")));
  EXPECT_TRUE(exists(dir.path()));
  EXPECT_TRUE(exists(other.file("target")));
}

TEST(FileHelpers, HiddenMeansALeadingDot) {
  TempDir dir;
  makeTree(dir.path(), {".conf", "plain", ".d/inner"});
  EXPECT_EQ(hbfile__isHidden(dir.file(".conf").c_str()), HBFILE_HIDDEN);
  EXPECT_EQ(hbfile__isHidden(dir.file(".d/").c_str()), HBFILE_HIDDEN);
  EXPECT_EQ(hbfile__isHidden(dir.file(".d/inner").c_str()), 0);
  EXPECT_EQ(hbfile__isHidden(dir.file("plain").c_str()), 0);
  EXPECT_EQ(hbfile__isHidden(dir.file(".d/..").c_str()), 0);
  EXPECT_EQ(hbfile__isHidden(dir.file("missing").c_str()), BR_ENOENT);
  EXPECT_EQ(hbfile__isHidden(dir.file("plain/x").c_str()), BR_ENOENT);
}

TEST(FileHelpers, RenameReportsWhatHappened) {
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("a"), "A"));
  EXPECT_EQ(hbfile__rename(dir.file("a").c_str(), dir.file("b").c_str()), 0);
  std::string got;
  ASSERT_TRUE(readFile(dir.file("b"), &got));
  EXPECT_EQ(got, "A");
  EXPECT_FALSE(exists(dir.file("a")));
  EXPECT_EQ(hbfile__rename(dir.file("a").c_str(), dir.file("c").c_str()), BR_ENOENT);
  EXPECT_FALSE(exists(dir.file("c")));
}

// A move to another file system copies beside the destination and replaces it only when the
// copy is whole: a failed move leaves an existing destination as it was.
TEST(FileHelpers, MoveAcrossFileSystemsReplacesOnlyWhenComplete) {
  TempDir dir;
  char other[] = "/dev/shm/hbfile_XXXXXX";
  struct stat here, there;
  if (::stat(dir.path().c_str(), &here) != 0 || !::mkdtemp(other)) GTEST_SKIP() << "no /dev/shm";
  const std::string src = std::string(other) + "/src";
  ASSERT_TRUE(writeFile(src, "NEW CONTENT"));
  ASSERT_EQ(::chmod(src.c_str(), 0640), 0);
  ASSERT_EQ(::stat(other, &there), 0);
  if (here.st_dev == there.st_dev) {
    ::unlink(src.c_str());
    ::rmdir(other);
    GTEST_SKIP() << "/dev/shm is on the same file system";
  }
  const std::string dst = dir.file("dst");
  ASSERT_TRUE(writeFile(dst, "OLD"));
  // A source whose size changes under the copy (procfs reports 0) fails the move.
  EXPECT_LT(hbfile__rename("/proc/self/status", dst.c_str()), 0);
  std::string got;
  ASSERT_TRUE(readFile(dst, &got));
  EXPECT_EQ(got, "OLD");
  EXPECT_EQ(hbfile__rename(src.c_str(), dst.c_str()), 0);
  ASSERT_TRUE(readFile(dst, &got));
  EXPECT_EQ(got, "NEW CONTENT");
  EXPECT_FALSE(exists(src));
  struct stat st;
  ASSERT_EQ(::stat(dst.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ::rmdir(other);
  // Nothing but the destination is left beside it.
  auto ls = tessel::test::runProgram({"/bin/ls", "-A", dir.path()});
  EXPECT_EQ(ls.out, "dst\n");
}

TEST(FileHelpers, FullPathFoldsDotsLexically) {
  char out[4096];
  ASSERT_EQ(hbfile__fullPath("/a/./b/../c//d/", out), 0);
  EXPECT_STREQ(out, "/a/c/d");
  ASSERT_EQ(hbfile__fullPath("/..", out), 0);
  EXPECT_STREQ(out, "/");
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(hbfile__fullPath("x/y", out), 0);
  EXPECT_EQ(std::string(out), std::string(cwd == std::string("/") ? "" : cwd) + "/x/y");
  char small[4];
  EXPECT_EQ(hbfile__fullPath("/abcd", small, sizeof small), BR_EINVAL);
  EXPECT_EQ(hbfile__fullPath("", out), BR_EINVAL);
}

TEST(FileHelpers, StatRecords) {
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("f"), std::string(4097, 'x')));
  struct timeval tv[2] = {{1600000000, 0}, {1600000123, 0}};
  ASSERT_EQ(utimes(dir.file("f").c_str(), tv), 0);
  HBFileStat st{};
  ASSERT_EQ(hbfile__stat(dir.file("f").c_str(), &st), 0);
  EXPECT_EQ(st.isDir, 0);
  EXPECT_EQ(st.size, 4097);
  EXPECT_EQ(st.blocks, 2);
  EXPECT_EQ(st.blockSize, 4096);
  EXPECT_EQ(st.writeTime, 1600000123);
  EXPECT_GT(st.createTime, 0);
  ASSERT_EQ(hbfile__stat((dir.path() + "/").c_str(), &st), 0);
  EXPECT_EQ(st.isDir, 1);
  ASSERT_EQ(hbfile__stat((dir.path() + "\\").c_str(), &st), 0);
  EXPECT_EQ(st.isDir, 1);
  EXPECT_EQ(hbfile__stat(dir.file("none").c_str(), &st), BR_ENOENT);

  HBFileStat sf{};
  ASSERT_EQ(hbfile__statFind(dir.file("f").c_str(), &sf), 0);
  EXPECT_EQ(sf.size, 4097);
  EXPECT_EQ(sf.writeTime, 1600000123);
  ASSERT_EQ(hbfile__statFind(dir.file("?").c_str(), &sf), 0);
  EXPECT_EQ(sf.size, 4097);
  ASSERT_TRUE(writeFile(dir.file("a[1].jpg"), "12"));
  ASSERT_EQ(hbfile__statFind(dir.file("a[1].jpg").c_str(), &sf), 0);
  EXPECT_EQ(sf.size, 2);
  ASSERT_EQ(hbfile__statFind(dir.file("*].j?g").c_str(), &sf), 0);
  EXPECT_EQ(sf.size, 2);
  EXPECT_EQ(hbfile__statFind(dir.file("none").c_str(), &sf), BR_ENOENT);
}

TEST(FileHelpers, DiskFreeAndVolume) {
  TempDir dir;
  HBDiskFree df{};
  ASSERT_EQ(hbfile__diskFree(dir.path().c_str(), &df), 0);
  EXPECT_EQ(df.unit, 1024);
  EXPECT_GT(df.total, 0);
  EXPECT_LE(df.userFree, df.totalFree);
  EXPECT_LE(df.totalFree, df.total);
  EXPECT_EQ(df.zero[0] | df.zero[1] | df.zero[2], 0);
  EXPECT_EQ(hbfile__diskFree(dir.file("missing").c_str(), &df), BR_EIO);

  char root[4096], label[256];
  ASSERT_EQ(hbfile__volume(dir.path().c_str(), root, sizeof root, label, sizeof label), 0);
  char *real = realpath(dir.path().c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  const std::string r = root;
  EXPECT_EQ(std::string(real).rfind(r, 0), 0u) << r;
  free(real);
  EXPECT_EQ(hbfile__volume(dir.file("missing").c_str(), root, sizeof root, nullptr, 0), BR_ENOENT);
}

TEST(FileHelpers, OpenReadLogsWhat) {
  LogCapture log;
  HBRef<IHBStream> s;
  EXPECT_EQ(hbfile__openRead(s.out(), "/nonexistent/zz", "thumbnail"), BR_ENOENT);
  EXPECT_TRUE(log.has("  -- Failed to open file 'thumbnail' @ '/nonexistent/zz'"));
}

// ---- Tree walk ----

struct Visit {
  std::string path;  // relative to the root, "" for the root
  int32_t type;
  int32_t depth;
  int64_t size;
};

struct Recorder {
  std::string root;
  std::vector<Visit> visits;
  // Result to give for a relative path (default 0).
  std::map<std::string, int32_t> results;
};

int32_t record(const char *path, const HBFileStat *st, int32_t type, HBFileWalk *w) {
  auto *r = static_cast<Recorder *>(w->user);
  std::string rel = path;
  rel = rel.size() > r->root.size() ? rel.substr(r->root.size() + 1) : "";
  r->visits.push_back({rel, type, w->depth, st->size});
  auto it = r->results.find(rel);
  return it == r->results.end() ? 0 : it->second;
}

std::vector<std::string> paths(const Recorder &r) {
  std::vector<std::string> p;
  for (const Visit &v : r.visits) p.push_back(v.path);
  std::sort(p.begin(), p.end());
  return p;
}

size_t indexOf(const Recorder &r, const std::string &path, size_t from = 0) {
  for (size_t i = from; i < r.visits.size(); ++i)
    if (r.visits[i].path == path) return i;
  return SIZE_MAX;
}

class Walk : public testing::Test {
 protected:
  int32_t walk(Recorder *r, int32_t maxDepth = -1, int32_t flags = 0, std::string root = "") {
    r->root = dir.path();
    return hbfile__walk(root.empty() ? dir.path().c_str() : root.c_str(), record, maxDepth, flags,
                        r);
  }
  TempDir dir;
};

TEST_F(Walk, FoldersWithoutPicturesArePassedOver) {
  makeTree(dir.path(), {"a.mp3", "b/c.mp3", "d.jpg/e.txt"});
  Recorder r;
  EXPECT_EQ(walk(&r), 0);
  EXPECT_TRUE(r.visits.empty());

  // Asked for, the files of the folders passed over are told as such (never a folder, nor
  // anything hidden), beside the ordinary visits of a folder with a picture; a stop still stops.
  makeTree(dir.path(), {"pics/p.jpg", "pics/notes.txt", "b/.hidden/x.txt", "b/.y.txt"});
  Recorder passed;
  EXPECT_EQ(walk(&passed, -1, HBWALK_PASSED_FILES), 0);
  std::vector<std::string> told;
  for (const Visit &v : passed.visits)
    if (v.type == HBWALK_FILE_PASSED) told.push_back(v.path + "@" + std::to_string(v.depth));
  std::sort(told.begin(), told.end());
  EXPECT_EQ(told, (std::vector<std::string>{"b/c.mp3@2", "d.jpg/e.txt@2"}));
  EXPECT_EQ(passed.visits[indexOf(passed, "a.mp3")].type, HBWALK_FILE);
  EXPECT_EQ(paths(passed), (std::vector<std::string>{"", "a.mp3", "b/c.mp3", "d.jpg/e.txt",
                                                     "pics", "pics/notes.txt", "pics/p.jpg"}));
  Recorder stop;
  stop.results["b/c.mp3"] = HBWALK_STOP;
  EXPECT_EQ(walk(&stop, -1, HBWALK_PASSED_FILES), 1);
}

TEST_F(Walk, ReportsEverythingInFoldersWithPictures) {
  makeTree(dir.path(), {"notes.txt", "sub/photo.JPG", "sub/song.mp3", "music/x.mp3", ".h/y.png",
                        "empty/"});
  Recorder r;
  EXPECT_EQ(walk(&r), 0);
  EXPECT_EQ(paths(r), (std::vector<std::string>{"", ".h", ".h/y.png", "notes.txt", "sub",
                                                "sub/photo.JPG", "sub/song.mp3"}));
  // Folders come before their contents; depths count from the root.
  EXPECT_EQ(r.visits[0].path, "");
  EXPECT_EQ(r.visits[0].type, HBWALK_DIR);
  EXPECT_EQ(r.visits[0].depth, 0);
  EXPECT_LT(indexOf(r, "sub"), indexOf(r, "sub/photo.JPG"));
  const Visit &photo = r.visits[indexOf(r, "sub/photo.JPG")];
  EXPECT_EQ(photo.type, HBWALK_FILE);
  EXPECT_EQ(photo.depth, 2);
  EXPECT_EQ(photo.size, static_cast<int64_t>(std::string("data:sub/photo.JPG").size()));
  EXPECT_EQ(hbfile__isHidden(dir.file(".h").c_str()), HBFILE_HIDDEN);
}

TEST_F(Walk, ChildrenFirstAndBothOrders) {
  makeTree(dir.path(), {"sub/p.gif", "q.bmp"});
  Recorder post;
  EXPECT_EQ(walk(&post, -1, HBWALK_DEPTH_FIRST), 0);
  ASSERT_EQ(post.visits.size(), 4u);
  EXPECT_EQ(post.visits.back().path, "");
  EXPECT_LT(indexOf(post, "sub/p.gif"), indexOf(post, "sub"));

  Recorder both;
  EXPECT_EQ(walk(&both, -1, HBWALK_DEPTH_FIRST | HBWALK_PRE_TOO), 0);
  ASSERT_EQ(both.visits.size(), 6u);
  const size_t first = indexOf(both, "sub"), second = indexOf(both, "sub", first + 1);
  ASSERT_NE(second, SIZE_MAX);
  EXPECT_LT(first, indexOf(both, "sub/p.gif"));
  EXPECT_GT(second, indexOf(both, "sub/p.gif"));
  EXPECT_EQ(both.visits.front().path, "");
  EXPECT_EQ(both.visits.back().path, "");

  // A skip before descending still reports the folder afterwards, without its contents.
  Recorder skip;
  skip.results[""] = HBWALK_SKIP;
  EXPECT_EQ(walk(&skip, -1, HBWALK_DEPTH_FIRST | HBWALK_PRE_TOO), 0);
  EXPECT_EQ(paths(skip), (std::vector<std::string>{"", ""}));
}

TEST_F(Walk, CallbackResults) {
  makeTree(dir.path(), {"a/1.jpg", "a/2.jpg", "a/3.jpg", "b/4.jpg", "c.jpg"});
  Recorder stop;
  stop.results["a"] = HBWALK_STOP;
  EXPECT_EQ(walk(&stop), 1);
  EXPECT_EQ(stop.visits.back().path, "a");

  Recorder skip;
  skip.results["a"] = HBWALK_SKIP;
  EXPECT_EQ(walk(&skip), 0);
  EXPECT_EQ(paths(skip), (std::vector<std::string>{"", "a", "b", "b/4.jpg", "c.jpg"}));

  // 3 on any entry of "a" ends the listing of "a" only.
  Recorder rest;
  for (const char *f : {"a/1.jpg", "a/2.jpg", "a/3.jpg"}) rest.results[f] = HBWALK_SKIP_REST;
  EXPECT_EQ(walk(&rest), 0);
  std::vector<std::string> got = paths(rest);
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const std::string &p) { return p.rfind("a/", 0) == 0; }), 1);
  EXPECT_NE(indexOf(rest, "b/4.jpg"), SIZE_MAX);
  EXPECT_NE(indexOf(rest, "c.jpg"), SIZE_MAX);

  // A stop given after the contents stops too.
  Recorder post;
  post.results["a"] = HBWALK_STOP;
  EXPECT_EQ(walk(&post, -1, HBWALK_DEPTH_FIRST), 1);
  EXPECT_EQ(post.visits.back().path, "a");
}

TEST_F(Walk, MaxDepthListsButDoesNotDescend) {
  LogCapture log;
  makeTree(dir.path(), {"top.jpg", "sub/deep.jpg", "sub/more/x.jpg"});
  Recorder one;
  EXPECT_EQ(walk(&one, 1), 0);
  EXPECT_EQ(paths(one), (std::vector<std::string>{"", "sub", "top.jpg"}));
  EXPECT_TRUE(log.has(" 1 +++ DEPTH SPECIFIED BY NOPENFD EXCEEDED - NOT RECURSING (" +
                      dir.file("sub") + ")!"));
  Recorder zero;
  EXPECT_EQ(walk(&zero, 0), 0);
  EXPECT_EQ(paths(zero), (std::vector<std::string>{""}));
  Recorder two;
  EXPECT_EQ(walk(&two, 2), 0);
  EXPECT_EQ(paths(two), (std::vector<std::string>{"", "sub", "sub/deep.jpg", "sub/more", "top.jpg"}));
}

TEST_F(Walk, LinksAreFollowedButLoopsAreNotEntered) {
  makeTree(dir.path(), {"real/p.png"});
  ASSERT_EQ(symlink("..", dir.file("real/up").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("real").c_str(), dir.file("alias").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("real/p.png").c_str(), dir.file("pic.jpg").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling.jpg").c_str()), 0);
  Recorder r;
  EXPECT_EQ(walk(&r), 0);
  const std::vector<std::string> got = paths(r);
  EXPECT_EQ(got, (std::vector<std::string>{"", "alias", "alias/p.png", "pic.jpg", "real",
                                           "real/p.png"}));
}

TEST_F(Walk, RootFormsAndFailures) {
  makeTree(dir.path(), {"with space/a.jpg"});
  Recorder url;
  url.root = dir.path();
  std::string enc = "file://" + dir.path() + "/with%20space";
  EXPECT_EQ(hbfile__walk(enc.c_str(), record, -1, 0, &url), 0);
  EXPECT_EQ(paths(url), (std::vector<std::string>{"with space", "with space/a.jpg"}));

  Recorder file;
  file.root = dir.path();
  EXPECT_EQ(hbfile__walk(dir.file("with space/a.jpg").c_str(), record, -1, 0, &file), 0);
  ASSERT_EQ(file.visits.size(), 1u);
  EXPECT_EQ(file.visits[0].type, HBWALK_FILE);

  LogCapture log;
  Recorder missing;
  EXPECT_EQ(hbfile__walk(dir.file("nope").c_str(), record, -1, 0, &missing), BR_ENOENT);
  EXPECT_TRUE(log.has(" 0 +++ RSTAT FAIL: " + dir.file("nope")));
  EXPECT_EQ(hbfile__walk(nullptr, record, -1, 0, nullptr), BR_EINVAL);
}

TEST_F(Walk, UnlistableFolderIsTypeTwo) {
  if (geteuid() == 0) GTEST_SKIP() << "root lists every folder";
  makeTree(dir.path(), {"ok.jpg", "locked/x.jpg"});
  ASSERT_EQ(chmod(dir.file("locked").c_str(), 0), 0);
  Recorder r;
  EXPECT_EQ(walk(&r), 0);
  chmod(dir.file("locked").c_str(), 0755);
  ASSERT_NE(indexOf(r, "locked"), SIZE_MAX);
  EXPECT_EQ(r.visits[indexOf(r, "locked")].type, HBWALK_DIR_ERR);
}

TEST_F(Walk, OverlongPathsAreLeftOut) {
  // Nest folders until the path nears the 4096-byte buffer, then add a long name.
  std::string p = dir.path();
  const std::string seg(200, 'd');
  while (p.size() + 201 < 4000) {
    p += "/" + seg;
    ASSERT_EQ(mkdir(p.c_str(), 0755), 0);
  }
  ASSERT_TRUE(writeFile(p + "/in.jpg", "x"));
  const std::string name = std::string(250, 'n') + ".jpg";
  ASSERT_TRUE(writeFile(dir.file("short.jpg"), "x"));
  // The long name is written relative to its folder, as the full path is too long for open.
  ASSERT_EQ(chdir(p.c_str()), 0);
  ASSERT_TRUE(writeFile(name, "x"));
  ASSERT_EQ(chdir("/"), 0);
  LogCapture log;
  Recorder r;
  EXPECT_EQ(walk(&r), 0);
  EXPECT_NE(indexOf(r, "short.jpg"), SIZE_MAX);
  for (const Visit &v : r.visits) EXPECT_EQ(v.path.find(std::string(250, 'n')), std::string::npos);
  EXPECT_TRUE(log.has("+++ PATH TOO LONG"));
}

}  // namespace
