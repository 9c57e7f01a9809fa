// The file map: its file and table as every version made them, the index older files gain,
// values with quotes, damaged and read-only files, and the old JSON map read once.
#include "vxfilemap.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "logcapture.h"
#include "testutil.h"
#include "vxclienttask.h"

using namespace tessel::test;

namespace {

// The SQL of every table and index of the database at `path`, one per line.
std::string schemaOf(const std::string &path) {
  sqlite3 *db = nullptr;
  std::string out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master ORDER BY type DESC", -1, &s, nullptr);
    while (s && sqlite3_step(s) == SQLITE_ROW)
      out += std::string(reinterpret_cast<const char *>(sqlite3_column_text(s, 0))) + "\n";
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return out;
}

void execSQL(const std::string &path, const char *sql) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
  sqlite3_close(db);
}

ZVFileMapNode node(const std::string &key, int64_t t, int64_t size) {
  ZVFileMapNode n;
  n.key = key;
  n.modTime = t;
  n.size = size;
  return n;
}

}  // namespace

TEST(FileMap, FileNamesTableIndexAndRecords) {
  std::string path;
  ASSERT_EQ(0, VXFileMap::pathFor("a+b/c", &path));
  EXPECT_EQ(vxclienttask__dataFolder() + "/ZVFileMap_a_b-c.db", path);
  ASSERT_EQ(0, VXFileMap::jsonPathFor("a+b/c", &path));
  EXPECT_EQ(vxclienttask__dataFolder() + "/ZVFileMap_a_b-c", path);
  EXPECT_EQ(BR_ERANGE, VXFileMap::pathFor(std::string(1100, 'x').c_str(), &path));

  TempDir dir;
  const std::string db = dir.file("sub/ZVFileMap_t.db");
  LogCapture log;
  {
    VXFileMap map;
    ASSERT_EQ(0, map.load(db.c_str(), "t"));
    EXPECT_TRUE(map.created());
    EXPECT_EQ(BR_EINVAL, map.load(db.c_str(), "t"));
    ZVFileMapNode n;
    EXPECT_EQ(BR_ENOENT, map.lookup("k", &n));
    // A folder identifier from the service may hold anything, quotes included.
    ZVFileMapNode folder = node("f\"); DROP TABLE filedb; --", 0, 0);
    folder.fileID = "id \"quoted\" ';";
    ASSERT_EQ(0, map.insert(folder));
    ASSERT_EQ(0, map.insert(node("k", 1700000000123LL, 4096)));
    ASSERT_EQ(0, map.insert(node("k", 5, 5)));  // a duplicate row: the first one is read
    ASSERT_EQ(0, map.lookup("k", &n));
    EXPECT_EQ(1700000000123LL, n.modTime);
    EXPECT_EQ(4096, n.size);
    EXPECT_FALSE(n.fileID);
    ASSERT_EQ(0, map.lookup(folder.key.c_str(), &n));
    EXPECT_EQ(folder.fileID, n.fileID);
    // An update replaces every row of the key and keeps what it is given.
    ZVFileMapNode changed = node("k", 9, 10);
    ASSERT_EQ(0, map.update(changed));
    ASSERT_EQ(0, map.lookup("k", &n));
    EXPECT_EQ(9, n.modTime);
    EXPECT_EQ(2, map.count());
    ASSERT_EQ(0, map.remove("k"));
    EXPECT_EQ(BR_ENOENT, map.lookup("k", &n));
  }
  EXPECT_TRUE(log.has("[t]*** loadFileMap {"));
  EXPECT_TRUE(log.has("[t]*** }"));
  EXPECT_EQ(
      "CREATE TABLE filedb (  f_id VARCHAR(255),   f_modTime VARCHAR(255),   f_fileSize "
      "VARCHAR(255),   f_fileID VARCHAR(255) DEFAULT NULL,  f_updateID VARCHAR(255) DEFAULT "
      "NULL)\nCREATE TABLE uploaddb (u_key TEXT PRIMARY KEY, u_deviceID TEXT, u_serviceID TEXT, "
      "u_fileID TEXT, u_total INTEGER, u_fileSize INTEGER, u_modTime INTEGER, u_sent INTEGER, "
      "u_digest TEXT, u_updated INTEGER) WITHOUT ROWID\nCREATE INDEX filedb_f_id ON filedb "
      "(f_id)\n",
      schemaOf(db));

  // A map of an earlier version, without the index and the uploads under way, gains both;
  // rows without time or size read as -1, and the update identifier (never written here) is
  // read.
  execSQL(db,
          "DROP INDEX filedb_f_id; DROP TABLE uploaddb; "
          "INSERT INTO filedb (f_id, f_updateID) VALUES ('old', 'u')");
  VXFileMap map;
  ASSERT_EQ(0, map.load(db.c_str(), "t"));
  EXPECT_FALSE(map.created());
  EXPECT_NE(std::string::npos, schemaOf(db).find("CREATE INDEX filedb_f_id"));
  {
    // The record of an upload under way: replaced by key, kept across a reopen, removed.
    ASSERT_TRUE(map.uploads());
    const int64_t files = map.count();
    VXUploadRecord r, got;
    r.deviceId = "d", r.serviceId = "s", r.fileId = "f1", r.total = 1LL << 40;
    r.fileSize = r.total, r.modifiedNs = 1234567890123456789LL, r.sent = 5, r.digest = "ab";
    ASSERT_EQ(0, map.uploads()->save("old", r));
    r.fileId = "f2";
    ASSERT_EQ(0, map.uploads()->save("old", r));
    map.close();
    map.forgetPath();
    ASSERT_EQ(0, map.load(db.c_str(), "t"));
    ASSERT_EQ(0, map.uploads()->find("old", &got));
    EXPECT_EQ("f2", got.fileId);
    EXPECT_EQ(r.total, got.total);
    EXPECT_EQ(r.modifiedNs, got.modifiedNs);
    EXPECT_EQ("ab", got.digest);
    EXPECT_EQ(files, map.count());  // the file records alone
    ASSERT_EQ(0, map.uploads()->remove("old"));
    EXPECT_EQ(BR_ENOENT, map.uploads()->find("old", &got));
  }
  ZVFileMapNode n;
  ASSERT_EQ(0, map.lookup("old", &n));
  EXPECT_EQ(-1, n.modTime);
  EXPECT_EQ(-1, n.size);
  EXPECT_EQ(std::optional<std::string>("u"), n.updateID);

  // A run reads the map into memory once: thousands of records written after that, updated or
  // removed, read the same from memory, as statements and after the copy is read again.
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(0, map.insert(node("n" + std::to_string(i), i, i)));
  ASSERT_EQ(0, map.update(node("n5", 55, 55)));
  ASSERT_EQ(0, map.remove("n7"));
  for (int pass = 0; pass < 3; ++pass) {
    vxfilemap__setCacheForTest(pass != 1);
    if (pass == 2) map.dropCache();
    for (int i : {0, 1023, 2999}) {
      ASSERT_EQ(0, map.lookup(("n" + std::to_string(i)).c_str(), &n)) << pass;
      EXPECT_EQ(i, n.size);
    }
    ASSERT_EQ(0, map.lookup("n5", &n));
    EXPECT_EQ(55, n.modTime) << pass;
    EXPECT_EQ(BR_ENOENT, map.lookup("n7", &n)) << pass;
    EXPECT_EQ(0, map.lookup("old", &n)) << pass;
  }
  ASSERT_EQ(0, map.closeAndDelete());
  EXPECT_NE(0, access(db.c_str(), F_OK));
}

TEST(FileMap, DamagedAndReadOnlyFilesAreReportedNeverRebuilt) {
  TempDir dir;
  const std::string db = dir.file("ZVFileMap_bad.db");
  const std::string garbage(8192, 'x');
  ASSERT_TRUE(writeFile(db, garbage));
  {
    LogCapture log;
    VXFileMap map;
    EXPECT_EQ(BR_EUNSPEC, map.load(db.c_str(), "bad"));
    EXPECT_FALSE(map.isOpen());
    EXPECT_TRUE(log.has("SQLERR:  26 0x1a file is not a database"));
    EXPECT_TRUE(log.has("SQLERR:  Database Corruption Detected -- Not Rebuilding!"));
  }
  std::string kept;
  ASSERT_TRUE(readFile(db, &kept));
  EXPECT_EQ(garbage, kept) << "the damaged file is left as it was";

  // A real database whose pages were damaged.
  const std::string db2 = dir.file("ZVFileMap_torn.db");
  {
    VXFileMap map;
    ASSERT_EQ(0, map.load(db2.c_str(), "torn"));
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(0, map.insert(node("key" + std::to_string(i), i, i)));
  }
  std::string bytes;
  ASSERT_TRUE(readFile(db2, &bytes));
  for (size_t i = 4096 + 100; i < bytes.size(); i += 4096) bytes.replace(i, 64, 64, '\xff');
  ASSERT_TRUE(writeFile(db2, bytes));
  {
    LogCapture log;
    VXFileMap map;
    ZVFileMapNode n;
    if (map.load(db2.c_str(), "torn") == 0) {
      EXPECT_GT(0, map.lookup("key1500", &n));
    }
    EXPECT_TRUE(log.has("Database Corruption Detected -- Not Rebuilding!"));
  }

  // A map that may only be read would fail every record and so import everything again.
  const std::string ro = dir.file("ZVFileMap_ro.db");
  {
    VXFileMap map;
    ASSERT_EQ(0, map.load(ro.c_str(), "ro"));
  }
  ASSERT_EQ(0, chmod(ro.c_str(), 0444));
  if (geteuid() == 0) GTEST_SKIP() << "root writes read-only files";
  LogCapture log;
  VXFileMap map;
  EXPECT_EQ(BR_EROFS, map.load(ro.c_str(), "ro"));
  EXPECT_TRUE(log.has("DB Open [" + ro + "] Failed"));
}

TEST(FileMap, OldJSONMapIsReadOnceAndThenSetAside) {
  TempDir dir;
  std::string db, json;
  ASSERT_EQ(0, VXFileMap::pathFor("task", &db, dir.path().c_str()));
  ASSERT_EQ(0, VXFileMap::jsonPathFor("task", &json, dir.path().c_str()));
  ASSERT_TRUE(writeFile(json,
                        "{\"files\":[{\"id\":\"k1\",\"modTime\":\"1000\",\"fileSize\":\"10\"},"
                        "{\"id\":\"k2\",\"modTime\":\"2000\",\"fileSize\":\"20\",\"fileID\":\"F\"},"
                        "{\"id\":\"half\",\"modTime\":\"1\"}]}"));
  // The old map reached through a link, as a shortcut was followed.
  const std::string target = dir.file("elsewhere.json");
  ASSERT_EQ(0, rename(json.c_str(), target.c_str()));
  ASSERT_EQ(0, symlink(target.c_str(), json.c_str()));
  LogCapture log;
  VXFileMap map;
  ASSERT_EQ(0, map.load(db.c_str(), "task"));
  EXPECT_EQ(2, map.migrateJSON(json.c_str(), "task"));
  EXPECT_TRUE(log.has("[task]*** migrateJSONFileMap {"));
  EXPECT_TRUE(log.has("[task]*** [k2] [2000] [20] [F]"));
  EXPECT_TRUE(log.has("[task]*** [half] [1] [NULL] [NULL]"));
  ZVFileMapNode n;
  ASSERT_EQ(0, map.lookup("k2", &n));
  EXPECT_EQ(2000, n.modTime);
  EXPECT_EQ(std::optional<std::string>("F"), n.fileID);
  EXPECT_EQ(BR_ENOENT, map.lookup("half", &n));
  EXPECT_NE(0, access(json.c_str(), F_OK));
  EXPECT_EQ(0, access((json + ".migrated").c_str(), F_OK));
  EXPECT_EQ(BR_ENOENT, map.migrateJSON(json.c_str(), "task")) << "read once";

  // Entries already in the map (an earlier version migrated at every start) are not doubled; a
  // file that does not parse stays where it is.
  ASSERT_TRUE(
      writeFile(json, "{\"files\":[{\"id\":\"k1\",\"modTime\":\"1\",\"fileSize\":\"1\"}]}"));
  EXPECT_EQ(0, map.migrateJSON(json.c_str(), "task"));
  EXPECT_EQ(2, map.count());
  ASSERT_TRUE(writeFile(json, "{\"files\":[{\"id\""));
  EXPECT_EQ(BR_EINVAL, map.migrateJSON(json.c_str(), "task"));
  EXPECT_EQ(0, access(json.c_str(), F_OK));
}
