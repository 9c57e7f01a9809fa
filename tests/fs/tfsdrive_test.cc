// The drive helper's parts called directly, without a mount: what a hostile or absent drive
// looks like, what the content cache fetches and keeps, and the helper's control endpoint,
// notice and command line.
#include "tfsdrive.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/rand.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tfscache.h"
#include "tfsctl.h"
#include "tfsoptions.h"
#include "tfstest.h"
#include "zvvfsservice.h"

namespace tessel::test {
namespace {

// A stream over a slice of a string.
class Slice final : public HBObject<Slice, IHBStream> {
 public:
  Slice(const std::string *data, int64_t first, int64_t end, int pauseUs = 0)
      : m_data(data), m_pos(first), m_end(end), m_pauseUs(pauseUs) {}
  int32_t read(void *buffer, int32_t length) override {
    if (m_pauseUs) std::this_thread::sleep_for(std::chrono::microseconds(m_pauseUs));
    const int64_t n = std::min<int64_t>(length, m_end - m_pos);
    memcpy(buffer, m_data->data() + m_pos, static_cast<size_t>(n));
    m_pos += n;
    return static_cast<int32_t>(n);
  }
  int32_t write(const void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t, int32_t) override { return BR_ENOTIMPL; }
  int32_t close() override { return 0; }
  int32_t getifc(int32_t ifc, void **out) override {
    return ifc == HBIFC_STREAM ? offer<IHBStream>(out) : BR_ENOENT;
  }

 private:
  ~Slice() override = default;
  friend class HBObject<Slice, IHBStream>;
  const std::string *m_data;
  int64_t m_pos, m_end;
  int m_pauseUs;
};

// A file or folder of a hand-made store; folders list exactly what they are given.
class HandFile final : public HBVFSBaseFile {
 public:
  HandFile(const char *id, const char *name, int32_t type,
           std::vector<HBRef<IHBVFSFile>> children = {})
      : HBVFSBaseFile(id, "0", name, type, 0, 1700000000000), m_children(std::move(children)) {}
  int32_t iterateChildren(IHBIter **out, int32_t, const char *, const char *, int32_t,
                          int32_t) override {
    return hbvfs__fileList(out, m_children);
  }

 private:
  std::vector<HBRef<IHBVFSFile>> m_children;
};

class HandStore final : public HBVFSBase {
 public:
  explicit HandStore(HBRef<IHBVFSFile> root) : HBVFSBase("dev", "svc", "Hand", 0), m_root(root) {}
  int32_t getFileByID(IHBVFSFile *, const char *, int32_t, IHBVFSFile **out) override {
    if (failWith) return failWith;
    *out = HBRef<IHBVFSFile>(m_root).detach();
    return 0;
  }
  int32_t failWith = 0;

 private:
  HBRef<IHBVFSFile> m_root;
};

class HandSource final : public TFSSource {
 public:
  explicit HandSource(HandStore *store) : m_store(HBRef<IHBVFS2>::retain(store)) {}
  int32_t open(std::vector<TFSTop> *out) override {
    ++opens;
    if (albums.empty()) out->push_back({"", m_store});
    for (const std::string &name : albums) out->push_back({name, m_store});
    return 0;
  }
  // Given: the roots of albums of these names, each over the store.
  std::vector<std::string> albums;
  bool shares() override { return !albums.empty(); }
  int32_t space(int64_t *, int64_t *) override { return BR_ENOTIMPL; }
  int opens = 0;

 private:
  HBRef<IHBVFS2> m_store;
};

HBRef<IHBVFSFile> hand(const char *id, const std::string &name, int32_t type = HBVFS_TYPE_FILE) {
  return HBRef<IHBVFSFile>::adopt(new HandFile(id, name.c_str(), type));
}

std::vector<std::string> names(TFSFileSystem &fs, const char *path, int *rc) {
  std::vector<std::pair<std::string, struct stat>> entries;
  *rc = fs.readdir(path, &entries);
  std::vector<std::string> out;
  for (auto &e : entries) out.push_back(e.first);
  return out;
}

TEST(TFSDrive, HostileNamesAreLeftOutAndAnUnreachableDriveSaysSo) {
  TempDir dir;
  TFSContentCache cache(dir.path() + "/cache", 1 << 20);
  ASSERT_EQ(0, cache.init());
  std::vector<HBRef<IHBVFSFile>> kids = {hand("1", ".."),
                                         hand("2", "."),
                                         hand("3", "a/b"),
                                         hand("4", "bell\x07"),
                                         hand("5", std::string(256, 'x')),
                                         hand("6", "ok", HBVFS_TYPE_FOLDER),
                                         hand("7", "ok"),
                                         hand("8", std::string(255, 'y')),
                                         hand("9", TFS_MARKER),
                                         hand("10", std::string(255, 'y')),
                                         hand("11", "ok (2)"),
                                         hand("12", "pics.2024", HBVFS_TYPE_FOLDER),
                                         hand("13", "pics.2024", HBVFS_TYPE_FOLDER)};
  HBRef<HandStore> store = HBRef<HandStore>::adopt(
      new HandStore(HBRef<IHBVFSFile>::adopt(new HandFile("0", ".", HBVFS_TYPE_FOLDER, kids))));
  int told = 0;
  TFSConfig config;
  config.retryOpenMs = 0;
  config.unavailable = [&] { ++told; };
  auto source = std::make_unique<HandSource>(store.get());
  TFSFileSystem fs(std::move(source), &cache, config);
  int rc;
  // Entries of one name: the first has it, the others are numbered past the names there are.
  EXPECT_EQ(
      (std::vector<std::string>{TFS_MARKER, "ok", "ok (2)", "ok (3)", "pics.2024", "pics.2024 (2)",
                                std::string(251, 'y') + " (2)", std::string(255, 'y')}),
      names(fs, "/", &rc));
  EXPECT_EQ(0, rc);
  struct stat st;
  EXPECT_EQ(0, fs.getattr("/ok", &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0, fs.getattr("/ok (3)", &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(-ENOENT, fs.getattr("/bell\x07", &st));
  EXPECT_EQ(0, fs.getattr("/" TFS_MARKER, &st));
  EXPECT_EQ(0444u, st.st_mode & 0777);
  EXPECT_EQ(-EPERM, fs.unlink("/" TFS_MARKER));
  EXPECT_EQ(-EPERM, fs.rename("/" TFS_MARKER, "/m", 0));
  EXPECT_EQ(-EPERM, fs.rename("/ok", "/" TFS_MARKER, 0));
  TFSHandle *h = nullptr;
  bool keep;
  EXPECT_EQ(-EACCES, fs.open("/" TFS_MARKER, O_WRONLY, &h, &keep));
  EXPECT_EQ(-ENAMETOOLONG, fs.mkdir(("/" + std::string(256, 'z')).c_str()));
  EXPECT_EQ(0, told);

  // Album roots of one name are numbered as folders, a long name cut at a character's start.
  const std::string accents = [] {
    std::string a;
    for (int i = 0; i < 127; ++i) a += "\xc3\xa9";
    return a;
  }();
  auto albums = std::make_unique<HandSource>(store.get());
  albums->albums = {"Trip.2024", "Trip.2024", accents, accents, TFS_MARKER, "a/b"};
  TFSContentCache cache3(dir.path() + "/cache3", 1 << 20);
  ASSERT_EQ(0, cache3.init());
  TFSFileSystem shared(std::move(albums), &cache3, config);
  EXPECT_EQ((std::vector<std::string>{TFS_MARKER, TFS_MARKER " (2)", "Trip.2024", "Trip.2024 (2)",
                                      "a_b", accents.substr(0, 250) + " (2)", accents}),
            names(shared, "/", &rc));

  // A drive that cannot be reached: I/O errors, one notice, the marker still there.
  TFSContentCache cache2(dir.path() + "/cache2", 1 << 20);
  ASSERT_EQ(0, cache2.init());
  store->failWith = ZVVFS_EOFFLINE;
  TFSFileSystem offline(std::make_unique<HandSource>(store.get()), &cache2, config);
  names(offline, "/", &rc);
  EXPECT_EQ(-EIO, rc);
  EXPECT_EQ(-EIO, offline.getattr("/ok", &st));
  EXPECT_EQ(0, offline.getattr("/" TFS_MARKER, &st));
  EXPECT_EQ(0, offline.getattr("/", &st));
  EXPECT_EQ(1, told);
  // Once it answers again, it is used.
  store->failWith = 0;
  EXPECT_EQ(8u, names(offline, "/", &rc).size());
}

TEST(TFSContentCache, FetchesWhatIsReadKeepsItAndKeepsItsBound) {
  TempDir dir;
  std::string data(20u << 20, '\0');
  RAND_bytes(reinterpret_cast<unsigned char *>(data.data()), static_cast<int>(data.size()));
  std::mutex askedLock;  // the thread reading ahead asks too
  std::vector<std::pair<int64_t, int64_t>> asked;
  const TFSOpenRange open = [&](int64_t first, int64_t last, HBRef<IHBStream> *out) {
    std::lock_guard<std::mutex> lock(askedLock);
    asked.emplace_back(first, last);
    *out = HBRef<IHBStream>::adopt(new Slice(&data, first, last + 1));
    return 0;
  };
  const std::string folder = dir.path() + "/c";
  {
    TFSContentCache cache(folder, 32u << 20);
    ASSERT_EQ(0, cache.init());
    std::shared_ptr<TFSContent> c = cache.content("v1", static_cast<int64_t>(data.size()));
    // The start of a large file costs its first chunk, not the file.
    std::vector<char> buf(4096);
    ASSERT_EQ(4096, c->read(buf.data(), buf.size(), 0, open));
    EXPECT_EQ(0, memcmp(buf.data(), data.data(), buf.size()));
    EXPECT_EQ(TFS_CHUNK, c->fetched());
    // A seek far away: a chunk there.
    ASSERT_EQ(100, c->read(buf.data(), 100, 15 * TFS_CHUNK + 7, open));
    EXPECT_EQ(0, memcmp(buf.data(), data.data() + 15 * TFS_CHUNK + 7, 100));
    EXPECT_EQ(2 * TFS_CHUNK, c->fetched());
    // Reading on from there: growing windows; what is there already is not fetched again.
    std::vector<char> all(data.size());
    for (size_t off = 0; off < all.size(); off += 128 * 1024)
      ASSERT_EQ(128 * 1024, c->read(all.data() + off, 128 * 1024, static_cast<int64_t>(off), open));
    EXPECT_EQ(0, memcmp(all.data(), data.data(), data.size()));
    EXPECT_TRUE(c->complete());
    EXPECT_LE(c->fetched(), static_cast<int64_t>(data.size()) + 4 * TFS_CHUNK);
    EXPECT_EQ(0, c->read(buf.data(), 10, static_cast<int64_t>(data.size()), open));
    // A second version that does not fit beside the first, while the first is read: straight
    // from the service.
    std::shared_ptr<TFSContent> big = cache.content("v2", 20u << 20);
    EXPECT_TRUE(big->uncached());
    ASSERT_EQ(10, big->read(buf.data(), 10, 5, open));
    EXPECT_EQ(0, memcmp(buf.data(), data.data() + 5, 10));
    {
      std::lock_guard<std::mutex> lock(askedLock);
      EXPECT_EQ(asked.back(), std::make_pair(int64_t{5}, int64_t{14}));
    }
    EXPECT_EQ(static_cast<int64_t>(data.size()), cache.used());
    // Once the first is not read, it makes room; the staging of writes counts too.
    c.reset();
    big.reset();
    EXPECT_TRUE(cache.reserve(30u << 20));
    EXPECT_EQ(30 << 20, cache.used());
    EXPECT_FALSE(cache.reserve(3u << 20));
    cache.release(30u << 20);
  }
  // A version fetched whole is found again by the next run; pieces are not.
  {
    TFSContentCache cache(folder, 64u << 20);
    ASSERT_EQ(0, cache.init());
    std::shared_ptr<TFSContent> c = cache.content("v3", static_cast<int64_t>(data.size()));
    std::vector<char> buf(10);
    ASSERT_EQ(10, c->read(buf.data(), 10, 0, open));
  }
  TFSContentCache cache(folder, 64u << 20);
  ASSERT_EQ(0, cache.init());
  EXPECT_EQ(0, cache.used());
  struct stat st;
  EXPECT_NE(0, stat((folder + "/v3.part").c_str(), &st));

  // A sequential reader as the kernel sends it: several requests at once on several threads,
  // arriving out of order, some a little behind. Every one gets its bytes (none waits forever
  // on the thread reading ahead), from the cache file where it is kept: after a seek and at the
  // end too.
  std::shared_ptr<TFSContent> c = cache.content("v4", static_cast<int64_t>(data.size()));
  const TFSOpenRange slowOpen = [&](int64_t first, int64_t last, HBRef<IHBStream> *out) {
    *out = HBRef<IHBStream>::adopt(new Slice(&data, first, last + 1, 300));
    return 0;
  };
  constexpr int64_t kReq = 256 * 1024;
  std::atomic<int64_t> next{0};
  std::atomic<int> wrong{0};
  auto reader = [&] {
    std::vector<char> got(kReq);
    for (int64_t i; (i = next.fetch_add(1)) * kReq < static_cast<int64_t>(data.size());) {
      const int64_t off = (i % 5 == 4 && i >= 12 ? i - 12 : i) * kReq;
      int fd = -1;
      if (c->locate(kReq, off, slowOpen, &fd) != kReq || fd < 0 ||
          pread(fd, got.data(), kReq, off) != kReq ||
          memcmp(got.data(), data.data() + off, kReq) != 0)
        ++wrong;
    }
  };
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) readers.emplace_back(reader);
  for (std::thread &t : readers) t.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_TRUE(c->complete());
  int fd = -1;
  const int64_t size = static_cast<int64_t>(data.size());
  ASSERT_EQ(10, c->locate(4096, size - 10, open, &fd));
  std::vector<char> tail(10);
  ASSERT_EQ(10, pread(fd, tail.data(), 10, size - 10));
  EXPECT_EQ(0, memcmp(tail.data(), data.data() + size - 10, 10));
  EXPECT_EQ(0, c->locate(4096, size, open, &fd));
  EXPECT_EQ(BR_EINVAL, c->locate(10, -1, open, &fd));

  // A disk too full for a version, whatever the bound: known before a byte is fetched, and the
  // version is read straight from the service. (A small file system of its own, where this
  // process may mount one.)
  const std::string small = dir.path() + "/small";
  ASSERT_EQ(0, mkdir(small.c_str(), 0700));
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) {
    std::cout << "[   NOTE   ] no file system could be mounted here: the full disk is not tried\n";
    return;
  }
  {
    TFSContentCache full(small + "/c", 64u << 20);
    ASSERT_EQ(0, full.init());
    std::shared_ptr<TFSContent> v = full.content("v5", 3u << 20);
    EXPECT_TRUE(v->uncached());
    EXPECT_EQ(0, full.used());
    std::vector<char> buf(10);
    ASSERT_EQ(10, v->read(buf.data(), 10, 2u << 20, open));
    EXPECT_EQ(0, memcmp(buf.data(), data.data() + (2u << 20), 10));
    EXPECT_NE(0, stat((small + "/c/v5.part").c_str(), &st));
  }
  EXPECT_EQ(0, umount2(small.c_str(), MNT_DETACH));
}

// Two helpers (this process and a child of its own) on two drive folders under one parent share
// one bound: filling drive B takes A's least recently used version, never one A has open (A's
// reads of it stay exact), until A is killed. What was left directly in the parent, from when
// every helper used that one folder, goes at start unless some process has it open.
TEST(TFSContentCache, DriveFoldersInOneParentShareOneBound) {
  TempDir dir;
  constexpr int64_t kMiB = 1 << 20, kMax = 10 * kMiB;
  std::string data(16 * kMiB, '\0');
  RAND_bytes(reinterpret_cast<unsigned char *>(data.data()), static_cast<int>(data.size()));
  // Version k holds the bytes of `data` from k MiB.
  auto from = [&](int64_t k) {
    return TFSOpenRange([&data, k](int64_t first, int64_t last, HBRef<IHBStream> *out) {
      *out = HBRef<IHBStream>::adopt(new Slice(&data, k * kMiB + first, k * kMiB + last + 1));
      return 0;
    });
  };
  // Reads [off, off + n) of a version and compares it with what the service has.
  auto exact = [&](TFSContent &c, int64_t k, int64_t off, int64_t n) {
    std::vector<char> buf(static_cast<size_t>(n));
    for (int64_t at = 0; at < n;) {
      const long r = c.read(buf.data() + at, static_cast<size_t>(n - at), off + at, from(k));
      if (r <= 0) return false;
      at += r;
    }
    return memcmp(buf.data(), data.data() + k * kMiB + off, static_cast<size_t>(n)) == 0;
  };
  const std::string parent = dir.path() + "/tfs", a = parent + "/DA-SA", b = parent + "/DB-SB";
  ASSERT_EQ(0, mkdir(parent.c_str(), 0700));
  ASSERT_TRUE(writeFile(parent + "/DA_SA_f1_3145728_1", std::string(3 * kMiB, 'o')));
  ASSERT_TRUE(writeFile(parent + "/DA_SA_f2_9_1.part", "half done"));
  ASSERT_TRUE(writeFile(parent + "/DA_SA_f3_4_1", "open"));
  ASSERT_TRUE(writeFile(parent + "/DA-SA-leftovers", ".tfs-upload-1\n"));
  const int oldOpen = open((parent + "/DA_SA_f3_4_1").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(oldOpen, 0);
  auto exists = [](const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  };
  auto onDisk = [&] {
    int64_t total = 0;
    for (const std::string &folder : {a, b}) {
      if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d)) {
          struct stat st;
          if (lstat((folder + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            total += st.st_size;
        }
        closedir(d);
      }
    }
    return total;
  };

  // Drive A's helper: a1 and a2 read whole and let go, a2 opened again and kept open, a3 half
  // read and kept open; on each byte from the test it answers 'y' when a2 and the rest of a3 read
  // exact.
  int toChild[2], toTest[2];
  ASSERT_EQ(0, pipe2(toChild, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(toTest, O_CLOEXEC));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TFSContentCache cache(a, kMax, true);
    bool ok = cache.init() == 0;
    ok = ok && exact(*cache.content("a1", 2 * kMiB), 1, 0, 2 * kMiB);
    ok = ok && exact(*cache.content("a2", 2 * kMiB), 2, 0, 2 * kMiB);
    // Opened again once complete, and a piece.
    std::shared_ptr<TFSContent> a2 = cache.content("a2", 2 * kMiB);
    std::shared_ptr<TFSContent> a3 = cache.content("a3", 2 * kMiB);
    ok = ok && a2->complete() && exact(*a2, 2, 0, 2 * kMiB) && exact(*a3, 3, 0, kMiB);
    for (char c = ok ? 'y' : 'n'; write(toTest[1], &c, 1) == 1 && read(toChild[0], &c, 1) == 1;)
      c = exact(*a2, 2, 0, 2 * kMiB) && exact(*a3, 3, kMiB, kMiB) ? 'y' : 'n';
    _exit(0);
  }
  close(toChild[0]);
  close(toTest[1]);
  auto askChild = [&] {
    char c = 'n';
    return write(toChild[1], "?", 1) == 1 && read(toTest[0], &c, 1) == 1 && c == 'y';
  };
  char ready = 'n';
  ASSERT_EQ(1, read(toTest[0], &ready, 1));
  ASSERT_EQ('y', ready);
  // The old shared content went with A's start, but for the file still open; the list of
  // uploads to take away stays.
  EXPECT_FALSE(exists(parent + "/DA_SA_f1_3145728_1"));
  EXPECT_FALSE(exists(parent + "/DA_SA_f2_9_1.part"));
  EXPECT_TRUE(exists(parent + "/DA_SA_f3_4_1"));
  EXPECT_TRUE(exists(parent + "/DA-SA-leftovers"));
  close(oldOpen);
  // a1 was last used an hour ago, a2 and a3 half an hour ago.
  auto usedAgo = [](const std::string &path, time_t s) {
    const struct timespec t[2] = {{time(nullptr) - s, 0}, {time(nullptr) - s, 0}};
    return utimensat(AT_FDCWD, path.c_str(), t, 0) == 0;
  };
  ASSERT_TRUE(usedAgo(a + "/a1", 3600));
  ASSERT_TRUE(usedAgo(a + "/a2", 1800));
  ASSERT_TRUE(usedAgo(a + "/a3.part", 1800));
  EXPECT_EQ(6 * kMiB, onDisk());

  {
    TFSContentCache cache(b, kMax, true);
    ASSERT_EQ(0, cache.init());
    auto fill = [&](const char *key, int64_t k, int64_t size) {
      std::shared_ptr<TFSContent> c = cache.content(key, size);
      return !c->uncached() && exact(*c, k, 0, size) && c->complete();
    };
    EXPECT_TRUE(fill("b1", 4, 2 * kMiB));
    EXPECT_EQ(8 * kMiB, onDisk());
    // Room for b2 (4 MiB): the oldest unused version, A's a1.
    EXPECT_TRUE(fill("b2", 6, 4 * kMiB));
    EXPECT_FALSE(exists(a + "/a1"));
    EXPECT_TRUE(exists(b + "/b1"));
    EXPECT_EQ(kMax, onDisk());
    // Room for b3: A's a2 and a3 are older than b1, but A has them open: b1 goes.
    EXPECT_TRUE(fill("b3", 10, 2 * kMiB));
    EXPECT_FALSE(exists(b + "/b1"));
    EXPECT_TRUE(exists(a + "/a2"));
    EXPECT_TRUE(exists(a + "/a3.part"));
    EXPECT_EQ(kMax, onDisk());
    EXPECT_TRUE(askChild());
    EXPECT_TRUE(exists(a + "/a3"));
    // A version that does not fit beside what A has open is read straight from the service.
    std::shared_ptr<TFSContent> big = cache.content("b4", 7 * kMiB);
    EXPECT_TRUE(big->uncached());
    EXPECT_TRUE(exact(*big, 8, kMiB, 100));
    big.reset();
    EXPECT_TRUE(exists(a + "/a2"));
    EXPECT_TRUE(exists(a + "/a3"));
    EXPECT_LE(onDisk(), kMax);
    EXPECT_TRUE(askChild());
    // A killed: what it held can go, the oldest first.
    ASSERT_EQ(0, kill(child, SIGKILL));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    close(toChild[1]);
    close(toTest[0]);
    EXPECT_TRUE(fill("b5", 2, 8 * kMiB));
    EXPECT_FALSE(exists(a + "/a2"));
    EXPECT_TRUE(exists(a + "/a3"));
    EXPECT_EQ(kMax, onDisk());
  }
  // Kept from one run to the next, within the bound.
  TFSContentCache again(b, kMax, true);
  ASSERT_EQ(0, again.init());
  EXPECT_TRUE(exact(*again.content("b5", 8 * kMiB), 2, 0, 8 * kMiB));
  EXPECT_EQ(kMax, onDisk());
}

TEST(TFSHelper, CommandLineControlEndpointAndNotice) {
  TFSOptions o;
  std::string err;
  ASSERT_TRUE(tfsoptions__parse({"-d", "-l", "h", "--valtoken", "-", "--volname", "My Photos",
                                 "--device=D1", "--service", "S1"},
                                &o, &err))
      << err;
  EXPECT_TRUE(o.debug && o.tokenFromStdin && o.token.empty());
  EXPECT_EQ('H', o.letter);
  EXPECT_EQ("My Photos", o.volname);
  EXPECT_EQ("D1", o.device);
  ASSERT_TRUE(tfsoptions__parse({"-l", "K", "--valtoken", "tok", "--justshares"}, &o, &err));
  EXPECT_EQ("tok", o.token);
  EXPECT_TRUE(o.justShares);
  for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
           {"--valtoken", "-"},
           {"-l", "HH", "--valtoken", "-"},
           {"-l", "H"},
           {"-l", "H", "--valtoken", ""},
           {"-l", "H", "--valtoken", "-", "--device", "D"},
           {"-l", "H", "--valtoken", "-", "--justshares", "--device", "D", "--service", "S"},
           {"-l", "H", "--valtoken", "-", "--bogus"},
           {"-l", "H", "--valtoken"}})
    EXPECT_FALSE(tfsoptions__parse(bad, &o, &err)) << bad.back();

  // Messages as the program's control socket has them, whole or in pieces.
  TFSMessage quit;
  quit.msg = TFS_MSG_MOUNT_QUIT;
  TFSMessage notice;
  notice.msg = TFS_MSG_COPYDATA;
  notice.wParam = 1;
  notice.data = "a::b::c";
  const std::string wire = tfsctl__encode(quit) + tfsctl__encode(notice);
  TFSMessage m;
  EXPECT_EQ(0, tfsctl__parse(wire.data(), 23, &m));
  EXPECT_EQ(24, tfsctl__parse(wire.data(), wire.size(), &m));
  EXPECT_EQ(TFS_MSG_MOUNT_QUIT, m.msg);
  EXPECT_EQ(0, tfsctl__parse(wire.data() + 24, wire.size() - 25, &m));
  EXPECT_EQ(31, tfsctl__parse(wire.data() + 24, wire.size() - 24, &m));
  EXPECT_EQ("a::b::c", m.data);
  std::string huge = tfsctl__encode(quit);
  const uint32_t tooBig = TFS_MAX_DATA + 1;
  memcpy(&huge[4], &tooBig, 4);
  EXPECT_EQ(-1, tfsctl__parse(huge.data(), huge.size(), &m));

  // The endpoint: other messages and garbage are ignored, 1124 tells it once.
  std::atomic<int> quits{0};
  TFSControl control([&](const char *) { ++quits; });
  ASSERT_EQ(0, control.start(false));
  struct stat st;
  ASSERT_EQ(0, stat(control.path().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  auto sendRaw = [&](const std::string &bytes) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", control.path().c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()),
              send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    close(fd);
  };
  sendRaw(tfsctl__encode(notice));
  sendRaw(huge);
  sendRaw("xy");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(0, quits.load());
  sendRaw(tfsctl__encode(notice) + tfsctl__encode(quit) + tfsctl__encode(quit));
  EXPECT_TRUE(waitFor([&] { return quits.load() == 1; }, 5000));
  control.stop();
  EXPECT_NE(0, stat(control.path().c_str(), &st));

  // The notice reaches the program, "name::service::device".
  EXPECT_EQ(BR_ENOENT, tfsctl__notifyUnavailable("Photos", "S1", "D1"));
  ProgramSocket program;
  EXPECT_EQ(0, tfsctl__notifyUnavailable("Photos", "S1", "D1"));
  EXPECT_EQ("Photos::S1::D1", program.nextNotice(5000));
}

}  // namespace
}  // namespace tessel::test
