// The service's metadata store in-process: the used space of a drive is a running total that
// must always equal what its entries and stored streams add up to, through every change and
// across the upgrade of a data folder made before the total was kept.
#include "svcstore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace tessel::svc {
namespace {

using tessel::test::TempDir;

// Runs SQL on DIR/meta.db through a connection of its own; the first column of the last row.
int64_t sql(const std::string &dir, const std::string &text) {
  sqlite3 *db = nullptr;
  int64_t v = -1;
  EXPECT_EQ(sqlite3_open((dir + "/meta.db").c_str(), &db), SQLITE_OK);
  auto row = [](void *out, int, char **cols, char **) {
    *static_cast<int64_t *>(out) = cols[0] ? std::stoll(cols[0]) : -1;
    return 0;
  };
  EXPECT_EQ(sqlite3_exec(db, text.c_str(), row, &v, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
  return v;
}

// What the drive holds, summed from its rows.
int64_t summed(const std::string &dir, const std::string &sid) {
  return sql(dir, "SELECT (SELECT COALESCE(SUM(size),0) FROM streams WHERE serviceid='" + sid +
                      "') + (SELECT COALESCE(SUM(meta),0) FROM files WHERE serviceid='" + sid +
                      "')");
}

int64_t total(SvcStore &store, const std::string &sid) {
  ServiceRec s;
  EXPECT_TRUE(store.serviceById(sid, &s));
  return s.used;
}

int stored(SvcStore &store, const std::string &sid, int64_t file, const std::string &stream,
           int64_t size) {
  return store.commitStream(
      sid, file, stream, size, [](bool) { return int{kSvcOk}; }, [] {});
}

TEST(SvcStore, UsedSpaceIsARunningTotalOfEveryChange) {
  TempDir dir;
  SvcSqliteStore store;
  std::string err;
  ASSERT_TRUE(store.open(dir.path(), &err)) << err;
  NewUser u;
  ASSERT_TRUE(store.addUser("alice", "pw", 1000000, 2, "soap", &u, &err)) << err;
  const std::string sid = u.serviceIds[0], other = u.serviceIds[1];
  ServiceRec svc, svc2;
  ASSERT_TRUE(store.serviceById(sid, &svc));
  ASSERT_TRUE(store.serviceById(other, &svc2));
  auto agrees = [&](const char *after) {
    EXPECT_EQ(total(store, sid), summed(dir.path(), sid)) << after;
    EXPECT_EQ(total(store, other), summed(dir.path(), other)) << after;
  };
  FileRec photos, sub, a, b, c, dup, elsewhere;
  const SvcArgs props = {{"mimetype", "image/jpeg"}, {"origin", "HOST"}};
  ASSERT_EQ(store.createFile(svc, 0, "Photos", 1, 1, 1, {}, &photos), kSvcOk);
  ASSERT_EQ(store.createFile(svc, photos.id, "2013", 1, 1, 1, {}, &sub), kSvcOk);
  ASSERT_EQ(store.createFile(svc, photos.id, "a.jpg", 0, 1, 1, props, &a), kSvcOk);
  ASSERT_EQ(store.createFile(svc, sub.id, "b.jpg", 0, 1, 1, props, &b), kSvcOk);
  ASSERT_EQ(store.createFile(svc, sub.id, "c.jpg", 0, 1, 1, {}, &c), kSvcOk);
  ASSERT_EQ(store.createFile(svc, photos.id, "a.jpg", 0, 1, 1, props, &dup), kSvcOk);
  EXPECT_EQ(dup.name, "a (2).jpg");
  ASSERT_EQ(store.createFile(svc2, 0, "x.bin", 0, 1, 1, {}, &elsewhere), kSvcOk);
  EXPECT_EQ(total(store, sid), 6 * 128 + 6 + 4 + 5 + 5 + 5 + 9 + 3 * 28);
  agrees("creating");

  ASSERT_EQ(stored(store, sid, a.id, "", 10000), kSvcOk);
  ASSERT_EQ(stored(store, sid, a.id, "tn", 900), kSvcOk);
  ASSERT_EQ(stored(store, sid, a.id, "", 4000), kSvcOk);  // replaced: the old size goes
  ASSERT_EQ(stored(store, sid, b.id, "pv", 3000), kSvcOk);
  ASSERT_EQ(stored(store, sid, c.id, "", 7000), kSvcOk);
  ASSERT_EQ(stored(store, other, elsewhere.id, "", 50000), kSvcOk);
  agrees("uploading");
  // Refusals change nothing: a folder, a drive too small, content that could not be put in place
  // (the record is undone), and one whose record could not be stored.
  const int64_t before = total(store, sid);
  EXPECT_EQ(stored(store, sid, sub.id, "", 10), kSvcNoFile);
  EXPECT_EQ(stored(store, sid, c.id, "", 2000000), kSvcNoSpace);
  bool unpublished = false;
  EXPECT_EQ(store.commitStream(
                sid, c.id, "", 1, [](bool replacing) { return replacing ? kSvcInternal : kSvcOk; },
                [&] { unpublished = true; }),
            kSvcInternal);
  EXPECT_FALSE(unpublished);
  EXPECT_EQ(store.streamSize(c.id, ""), 7000);
  EXPECT_EQ(total(store, sid), before);
  agrees("refusals");

  FileRec moved;
  ASSERT_EQ(store.moveFile(svc, b.id, 0, "b-renamed-longer.jpg", &moved), kSvcOk);
  ASSERT_EQ(store.moveFile(svc, c.id, sub.id, "c.jpg", &moved), kSvcOk);  // stays: no change
  EXPECT_EQ(store.moveFile(svc, photos.id, sub.id, "P", &moved), kSvcBadRequest);
  agrees("moving");

  // A folder goes with everything below it; the root never goes.
  std::vector<int64_t> removed;
  EXPECT_EQ(store.removeFile(svc, 0, &removed), kSvcBadRequest);
  EXPECT_TRUE(removed.empty());
  ASSERT_EQ(store.removeFile(svc, photos.id, &removed), kSvcOk);
  EXPECT_EQ(removed.size(), 5u);  // Photos, 2013, a.jpg, a (2).jpg, c.jpg
  agrees("removing a folder");
  EXPECT_EQ(store.streamSize(c.id, ""), -1);
  EXPECT_EQ(stored(store, sid, a.id, "", 10), kSvcNoFile);
  EXPECT_EQ(total(store, sid), summed(dir.path(), sid));

  // The total is kept on the drive's row, as it is after a restart.
  const int64_t kept = total(store, sid);
  SvcSqliteStore again;
  ASSERT_TRUE(again.open(dir.path(), &err)) << err;
  EXPECT_EQ(total(again, sid), kept);
  EXPECT_EQ(total(again, other), 50000 + 128 + 5);
}

// Data folders of older versions, made from a current one by taking away what they lacked: the
// previous one summed the used space at every upload; the oldest had no size for names and
// properties, no drive versions, and its tokens in clear.
TEST(SvcStore, OldDataFoldersGetTheirTotalOnceAndKeepWorking) {
  const std::string clearToken = "0123456789abcdef0123456789abcdef";
  for (bool oldest : {false, true}) {
    SCOPED_TRACE(oldest ? "oldest" : "previous");
    TempDir dir;
    std::string err;
    NewUser u;
    FileRec f, g, h;
    {
      SvcSqliteStore store;
      ASSERT_TRUE(store.open(dir.path(), &err)) << err;
      ASSERT_TRUE(store.addUser("alice", "pw", 1000000, 2, "soap", &u, &err)) << err;
      ServiceRec a, b;
      ASSERT_TRUE(store.serviceById(u.serviceIds[0], &a));
      ASSERT_TRUE(store.serviceById(u.serviceIds[1], &b));
      ASSERT_EQ(store.createFile(a, 0, "f.jpg", 0, 1, 1, {}, &f), kSvcOk);
      ASSERT_EQ(store.createFile(a, 0, "g.jpg", 0, 1, 1, {}, &g), kSvcOk);
      ASSERT_EQ(store.createFile(b, 0, "h.jpg", 0, 1, 1, {}, &h), kSvcOk);
      ASSERT_EQ(stored(store, a.id, f.id, "", 1000), kSvcOk);
      ASSERT_EQ(stored(store, a.id, f.id, "tn", 200), kSvcOk);
      ASSERT_EQ(stored(store, a.id, g.id, "", 30), kSvcOk);
      ASSERT_EQ(stored(store, b.id, h.id, "", 5), kSvcOk);
    }
    std::string strip = "UPDATE services SET used = 0; ALTER TABLE services DROP COLUMN used;";
    if (oldest)
      strip +=
          "ALTER TABLE files DROP COLUMN meta; ALTER TABLE services DROP COLUMN version;"
          "CREATE TABLE tokens(token TEXT PRIMARY KEY, userid INTEGER NOT NULL, created INTEGER);"
          "INSERT INTO tokens VALUES('" +
          clearToken + "', 1, 1);";
    sql(dir.path(), strip);
    const int64_t meta = oldest ? 0 : 128 + 5;  // what each entry of the old folder counts
    const std::string sa = u.serviceIds[0], sb = u.serviceIds[1];
    {
      SvcSqliteStore store;
      ASSERT_TRUE(store.open(dir.path(), &err)) << err;
      EXPECT_EQ(total(store, sa), 1230 + 2 * meta);
      EXPECT_EQ(total(store, sb), 5 + meta);
      // The old drive goes on from its total.
      ServiceRec a;
      ASSERT_TRUE(store.serviceById(sa, &a));
      std::vector<int64_t> removed;
      ASSERT_EQ(store.removeFile(a, g.id, &removed), kSvcOk);
      FileRec n;
      ASSERT_EQ(store.createFile(a, 0, "new.jpg", 0, 1, 1, {}, &n), kSvcOk);
      ASSERT_EQ(stored(store, sa, f.id, "", 400), kSvcOk);
      EXPECT_EQ(total(store, sa), summed(dir.path(), sa));
      EXPECT_EQ(total(store, sa), 600 + meta + 128 + 7);
      UserRec user;
      EXPECT_EQ(store.userForToken(clearToken, &user), oldest);
    }
    // Counted at the first open only: a total changed behind the store's back stays as it is.
    sql(dir.path(), "UPDATE services SET used = used + 1000000 WHERE id='" + sb + "'");
    SvcSqliteStore store;
    ASSERT_TRUE(store.open(dir.path(), &err)) << err;
    EXPECT_EQ(total(store, sa), 600 + meta + 128 + 7);
    EXPECT_EQ(total(store, sb), 1000000 + 5 + meta);
  }
}

}  // namespace
}  // namespace tessel::svc
