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

// Runs SQL on DIR/meta.db through a connection of its own; the first column of the first row.
int64_t sqlValue(const std::string &dir, const std::string &sql) {
  sqlite3 *db = nullptr;
  int64_t v = -1;
  EXPECT_EQ(sqlite3_open((dir + "/meta.db").c_str(), &db), SQLITE_OK);
  sqlite3_stmt *st = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
  if (sqlite3_step(st) == SQLITE_ROW) v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(db);
  return v;
}

// What the drive holds, summed from its rows.
int64_t summed(const std::string &dir, const std::string &sid) {
  return sqlValue(dir, "SELECT (SELECT COALESCE(SUM(size),0) FROM streams WHERE serviceid='" + sid +
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
  SvcStore store;
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
  SvcStore again;
  ASSERT_TRUE(again.open(dir.path(), &err)) << err;
  EXPECT_EQ(total(again, sid), kept);
  EXPECT_EQ(total(again, other), 50000 + 128 + 5);
}

// Data folders of two older versions: one that summed the used space at every upload, and the
// oldest (no size for names and properties, no drive versions, tokens kept in clear).
TEST(SvcStore, OldDataFoldersGetTheirTotalOnceAndKeepWorking) {
  const char *previous =
      "CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL, email TEXT,"
      " salt BLOB, hash BLOB, created INTEGER);"
      "CREATE TABLE sessions(hash BLOB PRIMARY KEY, userid INTEGER NOT NULL, created INTEGER,"
      " used INTEGER);"
      "CREATE TABLE devices(id TEXT PRIMARY KEY, userid INTEGER NOT NULL, name TEXT);"
      "CREATE TABLE services(id TEXT PRIMARY KEY, deviceid TEXT NOT NULL, userid INTEGER NOT NULL,"
      " name TEXT, quota INTEGER, online INTEGER DEFAULT 1, readonly INTEGER DEFAULT 0,"
      " transport TEXT DEFAULT 'soap', version TEXT);"
      "CREATE TABLE files(id INTEGER PRIMARY KEY AUTOINCREMENT, serviceid TEXT NOT NULL,"
      " parentid INTEGER NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL, ctime INTEGER,"
      " mtime INTEGER, meta INTEGER NOT NULL DEFAULT 0, UNIQUE(serviceid, parentid, name));"
      "CREATE TABLE props(fileid INTEGER NOT NULL, seq INTEGER NOT NULL, key TEXT, value TEXT,"
      " PRIMARY KEY(fileid, seq));"
      "CREATE TABLE streams(fileid INTEGER NOT NULL, stream TEXT NOT NULL,"
      " serviceid TEXT NOT NULL, size INTEGER NOT NULL, PRIMARY KEY(fileid, stream));"
      "INSERT INTO users(id, name) VALUES(1, 'alice');"
      "INSERT INTO devices VALUES('dev1', 1, 'd');"
      "INSERT INTO services(id, deviceid, userid, name, quota) VALUES('svcA', 'dev1', 1, 'A', 1e9);"
      "INSERT INTO services(id, deviceid, userid, name, quota) VALUES('svcB', 'dev1', 1, 'B', 1e9);"
      "INSERT INTO files VALUES(1, 'svcA', 0, 'f.jpg', 0, 1, 1, 133);"
      "INSERT INTO files VALUES(2, 'svcA', 0, 'g.jpg', 0, 1, 1, 133);"
      "INSERT INTO files VALUES(3, 'svcB', 0, 'h.jpg', 0, 1, 1, 133);"
      "INSERT INTO streams VALUES(1, '', 'svcA', 1000), (1, 'tn', 'svcA', 200),"
      " (2, '', 'svcA', 30), (3, '', 'svcB', 5);";
  const char *oldest =
      "CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL, email TEXT,"
      " salt BLOB, hash BLOB, created INTEGER);"
      "CREATE TABLE tokens(token TEXT PRIMARY KEY, userid INTEGER NOT NULL, created INTEGER);"
      "CREATE TABLE devices(id TEXT PRIMARY KEY, userid INTEGER NOT NULL, name TEXT);"
      "CREATE TABLE services(id TEXT PRIMARY KEY, deviceid TEXT NOT NULL, userid INTEGER NOT NULL,"
      " name TEXT, quota INTEGER, online INTEGER DEFAULT 1, readonly INTEGER DEFAULT 0,"
      " transport TEXT DEFAULT 'soap');"
      "CREATE TABLE files(id INTEGER PRIMARY KEY AUTOINCREMENT, serviceid TEXT NOT NULL,"
      " parentid INTEGER NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL, ctime INTEGER,"
      " mtime INTEGER, UNIQUE(serviceid, parentid, name));"
      "CREATE TABLE props(fileid INTEGER NOT NULL, seq INTEGER NOT NULL, key TEXT, value TEXT,"
      " PRIMARY KEY(fileid, seq));"
      "CREATE TABLE streams(fileid INTEGER NOT NULL, stream TEXT NOT NULL,"
      " serviceid TEXT NOT NULL, size INTEGER NOT NULL, PRIMARY KEY(fileid, stream));"
      "INSERT INTO users(id, name) VALUES(1, 'alice');"
      "INSERT INTO tokens VALUES('0123456789abcdef0123456789abcdef', 1, 1);"
      "INSERT INTO devices VALUES('dev1', 1, 'd');"
      "INSERT INTO services(id, deviceid, userid, name, quota) VALUES('svcA', 'dev1', 1, 'A', 1e9);"
      "INSERT INTO services(id, deviceid, userid, name, quota) VALUES('svcB', 'dev1', 1, 'B', 1e9);"
      "INSERT INTO files VALUES(1, 'svcA', 0, 'f.jpg', 0, 1, 1);"
      "INSERT INTO files VALUES(2, 'svcA', 0, 'g.jpg', 0, 1, 1);"
      "INSERT INTO files VALUES(3, 'svcB', 0, 'h.jpg', 0, 1, 1);"
      "INSERT INTO streams VALUES(1, '', 'svcA', 1000), (1, 'tn', 'svcA', 200),"
      " (2, '', 'svcA', 30), (3, '', 'svcB', 5);";
  for (const char *schema : {previous, oldest}) {
    SCOPED_TRACE(schema == oldest ? "oldest" : "previous");
    TempDir dir;
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() + "/meta.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, schema, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    const int64_t meta = schema == oldest ? 0 : 133;
    {
      SvcStore store;
      std::string err;
      ASSERT_TRUE(store.open(dir.path(), &err)) << err;
      EXPECT_EQ(total(store, "svcA"), 1230 + 2 * meta);
      EXPECT_EQ(total(store, "svcB"), 5 + meta);
      // The old drive goes on from its total.
      ServiceRec a;
      ASSERT_TRUE(store.serviceById("svcA", &a));
      std::vector<int64_t> removed;
      ASSERT_EQ(store.removeFile(a, 2, &removed), kSvcOk);
      FileRec f;
      ASSERT_EQ(store.createFile(a, 0, "new.jpg", 0, 1, 1, {}, &f), kSvcOk);
      ASSERT_EQ(stored(store, "svcA", 1, "", 400), kSvcOk);
      EXPECT_EQ(total(store, "svcA"), summed(dir.path(), "svcA"));
      EXPECT_EQ(total(store, "svcA"), 600 + meta + 128 + 7);
    }
    // Counted at the first open only: a total changed behind the store's back stays as it is.
    sqlValue(dir.path(), "UPDATE services SET used = used + 1000000 WHERE id='svcB'");
    SvcStore store;
    std::string err;
    ASSERT_TRUE(store.open(dir.path(), &err)) << err;
    EXPECT_EQ(total(store, "svcA"), 600 + meta + 128 + 7);
    EXPECT_EQ(total(store, "svcB"), 1000000 + 5 + meta);
    if (schema == oldest) {
      UserRec u;
      EXPECT_TRUE(store.userForToken("0123456789abcdef0123456789abcdef", &u));
    }
  }
}

}  // namespace
}  // namespace tessel::svc
