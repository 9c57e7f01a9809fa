// Copying an SQLite installation (DIR/meta.db) into PostgreSQL.
#include "svcmigrate.h"

#include <sqlite3.h>

#include <cstdio>
#include <vector>

#include "svcpgstore.h"

namespace tessel::svc {

namespace {

// One table: what is read from SQLite (every column a text, NULLs as defaults), the insert
// that keeps rows already there, and how many columns.
struct Table {
  const char *name;
  const char *select;
  const char *insert;
  int cols;
};

const Table kTables[] = {
    {"users",
     "SELECT id, name, COALESCE(email,''), '\\x' || COALESCE(hex(salt),''),"
     " '\\x' || COALESCE(hex(hash),''), COALESCE(created,0) FROM users ORDER BY id",
     "INSERT INTO users(id, name, email, salt, hash, created) VALUES($1,$2,$3,$4,$5,$6)"
     " ON CONFLICT DO NOTHING",
     6},
    {"sessions",
     "SELECT '\\x' || hex(hash), userid, COALESCE(created,0), COALESCE(used,0) FROM sessions",
     "INSERT INTO sessions(hash, userid, created, used) VALUES($1,$2,$3,$4)"
     " ON CONFLICT DO NOTHING",
     4},
    {"devices", "SELECT id, userid, COALESCE(name,'') FROM devices",
     "INSERT INTO devices(id, userid, name) VALUES($1,$2,$3) ON CONFLICT DO NOTHING", 3},
    {"services",
     "SELECT id, deviceid, userid, COALESCE(name,''), COALESCE(quota,0), COALESCE(online,1),"
     " COALESCE(readonly,0), COALESCE(transport,'soap'), COALESCE(version,''), used"
     " FROM services ORDER BY rowid",
     "INSERT INTO services(id, deviceid, userid, name, quota, online, readonly, transport,"
     " version, used) VALUES($1,$2,$3,$4,$5,$6,$7,$8,NULLIF($9,''),$10) ON CONFLICT DO NOTHING",
     10},
    {"files",
     "SELECT id, serviceid, parentid, name, type, COALESCE(ctime,0), COALESCE(mtime,0), meta,"
     " taken, media FROM files ORDER BY id",
     "INSERT INTO files(id, serviceid, parentid, name, type, ctime, mtime, meta, taken, media)"
     " VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10) ON CONFLICT DO NOTHING",
     10},
    {"props", "SELECT fileid, seq, COALESCE(key,''), COALESCE(value,'') FROM props",
     "INSERT INTO props(fileid, seq, key, value) VALUES($1,$2,$3,$4) ON CONFLICT DO NOTHING", 4},
    {"streams", "SELECT fileid, stream, serviceid, size FROM streams",
     "INSERT INTO streams(fileid, stream, serviceid, size) VALUES($1,$2,$3,$4)"
     " ON CONFLICT DO NOTHING",
     4},
};

constexpr size_t kBatch = 2000;

}  // namespace

bool svcmigrate__run(const std::string &dir, SvcPgStore *pg, std::string *report,
                     std::string *err) {
  // Older folders are brought up to date first, as the service does when it opens them.
  {
    SvcSqliteStore current;
    if (!current.open(dir, err)) return false;
  }
  sqlite3 *db = nullptr;
  const std::string path = dir + "/meta.db";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) !=
      SQLITE_OK) {
    *err = "cannot open " + path;
    sqlite3_close(db);
    return false;
  }
  // One read transaction: the copy is of one moment.
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  bool ok = true;
  for (const Table &t : kTables) {
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, t.select, -1, &st, nullptr) != SQLITE_OK) {
      *err = std::string("cannot read ") + t.name + ": " + sqlite3_errmsg(db);
      ok = false;
      break;
    }
    int64_t rows = 0;
    std::vector<std::vector<std::string>> batch;
    int rc;
    while (ok && (rc = sqlite3_step(st)) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int c = 0; c < t.cols; c++) {
        const void *p = sqlite3_column_blob(st, c);
        row.emplace_back(p ? static_cast<const char *>(p) : "",
                         static_cast<size_t>(sqlite3_column_bytes(st, c)));
      }
      batch.push_back(std::move(row));
      rows++;
      if (batch.size() >= kBatch) {
        ok = pg->insertRows("copying a table", t.insert, batch) == kSvcOk;
        batch.clear();
      }
    }
    if (ok && rc != SQLITE_DONE) {
      *err = std::string("cannot read ") + t.name + ": " + sqlite3_errmsg(db);
      ok = false;
    }
    sqlite3_finalize(st);
    if (ok && !batch.empty()) ok = pg->insertRows("copying a table", t.insert, batch) == kSvcOk;
    if (!ok) {
      if (err->empty()) *err = std::string("cannot copy ") + t.name;
      break;
    }
    // Every row of the installation is now in the database (which may hold more of its own).
    const int64_t there = pg->count(std::string("SELECT count(*) FROM ") + t.name);
    char line[160];
    std::snprintf(line, sizeof line, "%s: %lld in meta.db, %lld in the database\n", t.name,
                  static_cast<long long>(rows), static_cast<long long>(there));
    *report += line;
    if (there < rows) {
      *err = std::string("the copy of ") + t.name + " is short";
      ok = false;
      break;
    }
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  // New rows take numbers after the copied ones.
  if (ok &&
      pg->script("moving the numbering on",
                 "SELECT setval(pg_get_serial_sequence('users','id'),"
                 " GREATEST((SELECT max(id) FROM users), 1));"
                 "SELECT setval(pg_get_serial_sequence('files','id'),"
                 " GREATEST((SELECT max(id) FROM files), 1));") != kSvcOk) {
    *err = "cannot move the numbering on";
    ok = false;
  }
  return ok;
}

}  // namespace tessel::svc
