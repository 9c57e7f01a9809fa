// What the photo pages read from the store: a drive's photos and videos newest taken first in
// keyset pages along their own index, the entries of a folder by name, and the dates and kinds
// that data folders from before the pages get once when they are opened.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "svcpgcluster.h"
#include "svcstore.h"
#include "svcweb.h"
#include "testutil.h"

namespace tessel::svc {
namespace {

using tessel::test::TempDir;

// Runs SQL on DIR/meta.db through a connection of its own; every row's columns joined by "|".
std::string sql(const std::string &dir, const std::string &text) {
  sqlite3 *db = nullptr;
  std::string out;
  EXPECT_EQ(sqlite3_open((dir + "/meta.db").c_str(), &db), SQLITE_OK);
  auto row = [](void *o, int n, char **cols, char **) {
    auto *s = static_cast<std::string *>(o);
    for (int i = 0; i < n; i++) *s += std::string(cols[i] ? cols[i] : "") + "|";
    *s += "\n";
    return 0;
  };
  EXPECT_EQ(sqlite3_exec(db, text.c_str(), row, &out, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
  return out;
}

// The names of every photo of the drive, read `page` at a time as the pages read them.
std::vector<std::string> allPhotos(SvcStore &store, const ServiceRec &svc, int64_t page) {
  std::vector<std::string> names;
  int64_t taken = 0, id = -1;
  for (int pages = 0; pages < 100; pages++) {
    std::vector<FileRec> got;
    EXPECT_EQ(store.photos(svc, taken, id, page, &got), kSvcOk);
    for (const FileRec &f : got) names.push_back(f.name);
    if (static_cast<int64_t>(got.size()) < page) break;
    taken = got.back().taken;
    id = got.back().id;
  }
  return names;
}

TEST(SvcWebStore, PhotosNewestTakenFirstInKeysetPagesAndOldFoldersGetTheirDates) {
  TempDir dir;
  std::string err;
  NewUser u;
  ServiceRec a, b;
  const std::vector<std::string> expected = {"new.jpg", "tie-2.jpg", "tie-1.jpg", "orig.png",
                                             "clip.mp4", "old.jpg"};
  {
    SvcSqliteStore store;
    ASSERT_TRUE(store.open(dir.path(), &err)) << err;
    ASSERT_TRUE(store.addUser("alice", "pw", 1 << 30, 2, "soap", &u, &err)) << err;
    ASSERT_TRUE(store.serviceById(u.serviceIds[0], &a));
    ASSERT_TRUE(store.serviceById(u.serviceIds[1], &b));
    FileRec f, folder;
    ASSERT_EQ(store.createFile(a, 0, "Holiday", 1, 1, 1, {}, &folder), kSvcOk);
    auto photo = [&](int64_t parent, const std::string &name, int64_t mtime, SvcArgs props) {
      ASSERT_EQ(store.createFile(a, parent, name, 0, mtime, mtime, props, &f), kSvcOk) << name;
    };
    // The camera's date first, then the file's original time, then its modification time; a
    // document is no photo; the same date is ordered by the newer entry first.
    photo(folder.id, "old.jpg", 9000, {{"mimetype", "image/jpeg"}, {"EXIF-DateTimeOriginal", "100"}});
    photo(0, "new.jpg", 1, {{"mimetype", "image/jpeg"}, {"EXIF-DateTimeOriginal", "8000"}});
    photo(0, "orig.png", 9500, {{"mimetype", "image/png"}, {"origtime", "5000"}});
    photo(0, "clip.mp4", 4000, {{"mimetype", "video/mp4"}, {"EXIF-DateTimeOriginal", "bad"}});
    photo(0, "report.pdf", 9999, {{"mimetype", "application/pdf"}});
    photo(folder.id, "tie-1.jpg", 1, {{"mimetype", "image/jpeg"}, {"EXIF-DateTimeOriginal", "6000"}});
    photo(folder.id, "tie-2.jpg", 1, {{"mimetype", "image/jpeg"}, {"EXIF-DateTimeOriginal", "6000"}});
    ASSERT_EQ(store.createFile(b, 0, "elsewhere.jpg", 0, 7000, 7000, {{"mimetype", "image/jpeg"}}, &f),
              kSvcOk);
    for (int64_t page : {1, 2, 4, 100}) EXPECT_EQ(allPhotos(store, a, page), expected) << page;
    EXPECT_EQ(allPhotos(store, b, 10), std::vector<std::string>{"elsewhere.jpg"});

    // A folder's files by name after a name, its folders apart.
    std::vector<FileRec> got;
    ASSERT_EQ(store.children(a, 0, 1, "", 10, &got), kSvcOk);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "Holiday");
    got.clear();
    ASSERT_EQ(store.children(a, 0, 0, "new.jpg", 2, &got), kSvcOk);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, "orig.png");
    EXPECT_EQ(got[1].name, "report.pdf");
    EXPECT_EQ(store.children(a, f.id, 0, "", 2, &got), kSvcNoFile);  // another drive's entry
    EXPECT_EQ(store.children(b, f.id, 0, "", 2, &got), kSvcNotFolder);
  }
  // Every page is one range of the index, never a scan of the drive.
  const std::string plan = sql(dir.path(),
                               "EXPLAIN QUERY PLAN SELECT id FROM files WHERE serviceid='x' AND"
                               " media>0 AND (taken<5 OR (taken=5 AND id<3))"
                               " ORDER BY taken DESC, id DESC LIMIT 60");
  EXPECT_NE(plan.find("files_taken"), std::string::npos) << plan;
  EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;

  // A folder from before the pages: no dates, no kinds, no index. Opening it dates every file
  // from its properties, once.
  sql(dir.path(),
      "DROP INDEX files_taken; ALTER TABLE files DROP COLUMN taken;"
      " ALTER TABLE files DROP COLUMN media;");
  SvcSqliteStore store;
  ASSERT_TRUE(store.open(dir.path(), &err)) << err;
  EXPECT_EQ(allPhotos(store, a, 3), expected);
  EXPECT_EQ(allPhotos(store, b, 3), std::vector<std::string>{"elsewhere.jpg"});
  FileRec f;
  ASSERT_EQ(store.findChild(a, 0, "orig.png", &f), kSvcOk);
  EXPECT_EQ(f.taken, 5000);
  EXPECT_EQ(f.media, kSvcMediaPhoto);
}

// A content request's one look-up on the read connections answers as the calls it replaces
// (session, drive, file) do, for every way the chain can break, and renews a session as they do.
// `dir` is the SQLite store's folder (its sessions are aged there); empty for PostgreSQL.
void contentLookUp(SvcStore &store, const std::string &dir) {
  std::string err;
  NewUser alice, bob;
  ASSERT_TRUE(store.addUser("alice", "pw", 1 << 30, 2, "soap", &alice, &err)) << err;
  ASSERT_TRUE(store.addUser("bob", "pw", 1 << 30, 1, "soap", &bob, &err)) << err;
  ServiceRec a, off, b;
  ASSERT_TRUE(store.serviceById(alice.serviceIds[0], &a));
  ASSERT_TRUE(store.serviceById(alice.serviceIds[1], &off));
  ASSERT_TRUE(store.serviceById(bob.serviceIds[0], &b));
  FileRec photo, bare, folder, other, offFile;
  ASSERT_EQ(store.createFile(a, 0, "IMG 1.jpg", 0, 1, 1,
                             {{"size", "9"}, {"mimetype", "image/jpeg"}, {"mimetype", "text/html"}},
                             &photo),
            kSvcOk);
  ASSERT_EQ(store.createFile(a, 0, "bare.jpg", 0, 1, 1, {}, &bare), kSvcOk);
  ASSERT_EQ(store.createFile(a, 0, "Folder", 1, 1, 1, {}, &folder), kSvcOk);
  ASSERT_EQ(store.createFile(b, 0, "bob.jpg", 0, 1, 1, {{"mimetype", "image/jpeg"}}, &other), kSvcOk);
  ASSERT_EQ(store.createFile(off, 0, "off.jpg", 0, 1, 1, {}, &offFile), kSvcOk);
  for (const char *stream : {"", "tn"})
    ASSERT_EQ(store.commitStream(a.id, photo.id, stream, 3, [](bool) { return kSvcOk; }, [] {}),
              kSvcOk);
  ASSERT_TRUE(store.setOnline(off.id, false));
  int64_t aliceId = 0;
  ASSERT_TRUE(store.userByName("alice", &aliceId));
  const std::string revoked = store.newToken(aliceId);
  ASSERT_TRUE(store.revokeToken(revoked));

  int cases = 0;
  for (const std::string &token : {alice.token, bob.token, revoked, std::string(32, 'a'),
                                   std::string("short")})
    for (const std::string &sid : {a.id, off.id, b.id, std::string("svcnone")})
      for (int64_t id : {photo.id, bare.id, folder.id, other.id, offFile.id, int64_t{0},
                         int64_t{999999}})
        for (const char *stream : {"", "tn", "pv"}) {
          SvcStore::WebContent one, calls;
          ASSERT_EQ(store.webContent(token, sid, id, stream, &one), kSvcOk);
          ASSERT_EQ(store.SvcStore::webContent(token, sid, id, stream, &calls), kSvcOk);
          const std::string what = token + " " + sid + " " + std::to_string(id) + " " + stream;
          EXPECT_EQ(one.found, calls.found) << what;
          EXPECT_EQ(one.userId, calls.userId) << what;
          EXPECT_EQ(one.online, calls.online) << what;
          EXPECT_EQ(one.name, calls.name) << what;
          EXPECT_EQ(one.mimetype, calls.mimetype) << what;
          EXPECT_EQ(one.stored, calls.stored) << what;
          cases++;
        }
  EXPECT_EQ(cases, 5 * 4 * 7 * 3);
  // And what they say, so that both are not wrong alike.
  SvcStore::WebContent w;
  ASSERT_EQ(store.webContent(alice.token, a.id, photo.id, "tn", &w), kSvcOk);
  EXPECT_EQ(w.found, SvcStore::WebContent::kFile);
  EXPECT_TRUE(w.online && w.stored);
  EXPECT_EQ(w.name, "IMG 1.jpg");
  EXPECT_EQ(w.mimetype, "image/jpeg");  // the first of the property, as svcargs__find reads it
  ASSERT_EQ(store.webContent(alice.token, a.id, photo.id, "pv", &w), kSvcOk);
  EXPECT_FALSE(w.stored);
  ASSERT_EQ(store.webContent(alice.token, a.id, bare.id, "", &w), kSvcOk);
  EXPECT_EQ(w.found, SvcStore::WebContent::kFile);
  EXPECT_FALSE(w.stored);
  ASSERT_EQ(store.webContent(bob.token, a.id, photo.id, "", &w), kSvcOk);
  EXPECT_EQ(w.found, SvcStore::WebContent::kNoDrive);
  ASSERT_EQ(store.webContent(alice.token, off.id, offFile.id, "", &w), kSvcOk);
  EXPECT_FALSE(w.online);
  ASSERT_EQ(store.webContent(alice.token, a.id, folder.id, "", &w), kSvcOk);
  EXPECT_EQ(w.found, SvcStore::WebContent::kNoFile);

  if (dir.empty()) return;
  // A session last used two minutes ago is renewed by a thumbnail; one past its lifetime is gone.
  const std::string hex = "x'" + [&] {
    std::string h = svcstore__tokenHash(bob.token), out;
    for (unsigned char c : h) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    return out;
  }() + "'";
  sql(dir, "UPDATE sessions SET used=used-120000 WHERE hash=" + hex);
  const std::string before = sql(dir, "SELECT used FROM sessions WHERE hash=" + hex);
  ASSERT_EQ(store.webContent(bob.token, b.id, other.id, "", &w), kSvcOk);
  EXPECT_EQ(w.found, SvcStore::WebContent::kFile);
  EXPECT_GT(std::stoll(sql(dir, "SELECT used FROM sessions WHERE hash=" + hex)),
            std::stoll(before) + 100000);
  sql(dir, "UPDATE sessions SET used=0 WHERE hash=" + hex);
  ASSERT_EQ(store.webContent(bob.token, b.id, other.id, "", &w), kSvcOk);
  EXPECT_EQ(w.found, SvcStore::WebContent::kNoSession);
}

TEST(SvcWebStore, ContentLookUpAnswersAsTheSeparateCallsDo) {
  TempDir dir;
  std::string err;
  SvcSqliteStore store;
  ASSERT_TRUE(store.open(dir.path(), &err)) << err;
  contentLookUp(store, dir.path());
}

TEST(SvcWebStore, ContentLookUpOnPostgresqlAnswersAsTheSeparateCallsDo) {
  TESSEL_NEED_POSTGRESQL();
  const std::string db = tessel::test::SvcPgCluster::get().newDatabase();
  ASSERT_FALSE(db.empty());
  std::unique_ptr<SvcStore> store = svcstore__new(db, "web-test");
  std::string err;
  ASSERT_TRUE(store && store->open(std::string(), &err)) << err;
  contentLookUp(*store, std::string());
}

// What a browser sends back: the cookie of a session among others (never one whose name only
// ends or starts the same), and the list's cursor as the list hands it out, nothing else.
TEST(SvcWebStore, CookiesAndCursorsAreReadExactly) {
  const std::string jar = "xtesselweb=aaa; tesselweb2=bbb;tesselweb=ccc;  tesselweb=ddd; web_csrf=";
  EXPECT_EQ(svcweb__cookie(&jar, "tesselweb"), "ccc");
  EXPECT_EQ(svcweb__cookie(&jar, "web_csrf"), "");
  EXPECT_EQ(svcweb__cookie(&jar, "csrf"), "");
  EXPECT_EQ(svcweb__cookie(nullptr, "tesselweb"), "");
  int64_t taken = 7, id = 7;
  ASSERT_TRUE(svcweb__cursor("-86400000.42", &taken, &id));
  EXPECT_EQ(taken, -86400000);
  EXPECT_EQ(id, 42);
  ASSERT_TRUE(svcweb__cursor("1718841600000.0", &taken, &id));
  EXPECT_EQ(taken, 1718841600000);
  EXPECT_EQ(id, 0);
  for (const char *bad : {"", "1", "1.", ".1", "-", "-.1", "--1.2", "1.-2", "1.2.3", "1e3.4", " 1.2",
                          "1.2 ", "+1.2", "1234567890123456789.1"}) {
    taken = id = 7;
    EXPECT_FALSE(svcweb__cursor(bad, &taken, &id)) << bad;
    EXPECT_EQ(taken, 7) << bad;
  }
}

}  // namespace
}  // namespace tessel::svc
