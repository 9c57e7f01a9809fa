// The file map of an auto-import task (see vxfilemap.h).
#include "vxfilemap.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "brlog.h"
#include "hbfile.h"
#include "hbjson.h"
#include "hbmap.h"
#include "hbstream.h"
#include "vxclienttask.h"

namespace {

constexpr const char *kTag = "AIMPORT";

// The table exactly as every version of the program has made it.
constexpr const char *kCreateTable =
    "CREATE TABLE IF NOT EXISTS filedb (  f_id VARCHAR(255),   f_modTime VARCHAR(255),   "
    "f_fileSize VARCHAR(255),   f_fileID VARCHAR(255) DEFAULT NULL,  f_updateID VARCHAR(255) "
    "DEFAULT NULL)";
constexpr const char *kCreateIndex = "CREATE INDEX IF NOT EXISTS filedb_f_id ON filedb (f_id)";
constexpr const char *kDropIndex = "DROP INDEX IF EXISTS filedb_f_id";

constexpr const char *kLookup =
    "SELECT f_modTime,f_fileSize,f_fileID,f_updateID FROM filedb WHERE f_id = ?1";
constexpr const char *kInsertWithID =
    "INSERT INTO filedb (f_id,f_modTime,f_fileSize,f_fileID) VALUES (?1, ?2, ?3, ?4)";
constexpr const char *kInsert =
    "INSERT INTO filedb (f_id,f_modTime,f_fileSize) VALUES (?1, ?2, ?3)";
constexpr const char *kDelete = "DELETE FROM filedb WHERE f_id=?1";
constexpr const char *kScan =
    "SELECT f_id,f_modTime,f_fileSize,f_fileID,f_updateID FROM filedb ORDER BY rowid";

std::atomic<bool> g_withIndex{true};
std::atomic<bool> g_withCache{true};
std::atomic<bool> g_failWrites{false};

// The task identifier as it appears in file names.
std::string fileSafeID(const char *taskId) {
  std::string id = taskId ? taskId : "";
  for (char &c : id) {
    if (c == '+') c = '_';
    if (c == '/') c = '-';
  }
  return id;
}

int32_t mapPath(const char *taskId, const char *folder, const char *ext, std::string *out) {
  if (!out) return BR_EINVAL;
  std::string p = folder ? std::string(folder) : vxclienttask__dataFolder();
  p += "/ZVFileMap_" + fileSafeID(taskId) + ext;
  if (p.size() > VXFILEMAP_PATH_MAX) return BR_ERANGE;
  *out = std::move(p);
  return BR_OK;
}

// A column's text as a 64-bit number; -1 when the column is empty or NULL.
int64_t columnNumber(sqlite3_stmt *s, int col) {
  const unsigned char *t = sqlite3_column_text(s, col);
  if (!t || !*t) return -1;
  return std::strtoll(reinterpret_cast<const char *>(t), nullptr, 10);
}

std::optional<std::string> columnText(sqlite3_stmt *s, int col) {
  const unsigned char *t = sqlite3_column_text(s, col);
  if (!t) return std::nullopt;
  return std::string(reinterpret_cast<const char *>(t));
}

void bindNumber(sqlite3_stmt *s, int index, int64_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%" PRId64, value);
  sqlite3_bind_text(s, index, buf, -1, SQLITE_TRANSIENT);
}

}  // namespace

void vxfilemap__reportSQLError(sqlite3 *db) {
  if (!db) return;
  const int code = sqlite3_errcode(db);
  brlog(kTag, BRLOG_WARNING, "SQLERR:  %d 0x%x %s\n", code, sqlite3_extended_errcode(db),
        sqlite3_errmsg(db));
  // A file overwritten by something else ("not a database") is as damaged as a corrupt one.
  if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB)
    brlog(kTag, BRLOG_WARNING, "SQLERR:  Database Corruption Detected -- Not Rebuilding!\n");
}

void vxfilemap__setCacheForTest(bool withCache) {
  g_withCache.store(withCache);
}

void vxfilemap__setIndexForTest(bool withIndex) {
  g_withIndex.store(withIndex);
}

void vxfilemap__setFailWritesForTest(bool fail) {
  g_failWrites.store(fail);
}

int32_t VXFileMap::pathFor(const char *taskId, std::string *out, const char *folder) {
  return mapPath(taskId, folder, ".db", out);
}

int32_t VXFileMap::jsonPathFor(const char *taskId, std::string *out, const char *folder) {
  return mapPath(taskId, folder, "", out);
}

void VXFileMap::report() {
  vxfilemap__reportSQLError(m_db);
}

sqlite3_stmt *VXFileMap::prepare(const char *sql) {
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
    report();
    sqlite3_finalize(s);
    return nullptr;
  }
  return s;
}

int32_t VXFileMap::exec(const char *sql) {
  if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return BR_OK;
  report();
  return BR_EUNSPEC;
}

int32_t VXFileMap::load(const char *path, const char *taskId) {
  if (m_db || !m_path.empty() || !path || !*path) return BR_EINVAL;
  const char *id = taskId ? taskId : "";
  brlog(kTag, BRLOG_INFO, "[%s]*** loadFileMap {\n", id);
  int32_t rc = BR_OK;
  std::string folder = path;
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    folder.resize(slash);
    if (hbfile__mkdirs(folder.c_str()) < 0) {
      brlog(kTag, BRLOG_WARNING, "DB Open [%s] Failed\n", path);
      brlog(kTag, BRLOG_INFO, "[%s]*** }\n", id);
      return BR_EUNSPEC;
    }
  }
  struct stat st;
  // An empty file is a new database to SQLite, and as new to us.
  const bool existed = ::stat(path, &st) == 0 && st.st_size > 0;
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    brlog(kTag, BRLOG_WARNING, "DB Open [%s] Failed\n", path);
    vxfilemap__reportSQLError(db);
    sqlite3_close_v2(db);
    brlog(kTag, BRLOG_INFO, "[%s]*** }\n", id);
    return BR_EUNSPEC;
  }
  m_db = db;
  sqlite3_busy_timeout(m_db, VXFILEMAP_BUSY_TIMEOUT_MS);
  // One record per imported file: in the default journal mode each would wait for the disk
  // several times. With the write-ahead log a record survives the process being killed; only a
  // power cut may lose the last few, which the next run imports again.
  sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(m_db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (exec(kCreateTable) < 0 || exec(g_withIndex.load() ? kCreateIndex : kDropIndex) < 0) {
    rc = BR_EUNSPEC;
  } else if (sqlite3_db_readonly(m_db, "main") == 1) {
    // SQLite quietly opens a file it may not write for reading only; every record would then
    // fail and each run would import the same pictures again.
    brlog(kTag, BRLOG_WARNING, "DB Open [%s] Failed\n", path);
    brlog(kTag, BRLOG_WARNING, "SQLERR:  %d 0x%x %s\n", SQLITE_READONLY, SQLITE_READONLY,
          "the file map can only be read");
    rc = BR_EROFS;
  } else {
    m_lookup = prepare(kLookup);
    m_insert = prepare(kInsert);
    m_insertWithID = prepare(kInsertWithID);
    m_delete = prepare(kDelete);
    if (!m_lookup || !m_insert || !m_insertWithID || !m_delete) rc = BR_EUNSPEC;
    // The uploads in pieces to continue: a table that older maps get when they are opened.
    else if (m_uploads.attach(m_db) < 0)
      rc = BR_EUNSPEC;
  }
  if (rc < 0) {
    close();
  } else {
    m_path = path;
    m_created = !existed;
  }
  brlog(kTag, BRLOG_INFO, "[%s]*** }\n", id);
  return rc;
}

void VXFileMap::dropCache() {
  std::vector<Cached>().swap(m_rows);
  std::vector<uint64_t>().swap(m_slots);
  m_cached = false;
}

VXFileMap::Cached *VXFileMap::findCached(std::string_view key) {
  if (m_slots.empty()) return nullptr;
  const uint64_t hash = std::hash<std::string_view>()(key);
  const size_t mask = m_slots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint64_t slot = m_slots[i];
    if (slot == 0) return nullptr;
    if ((slot >> 32) != (hash >> 32)) continue;
    Cached &row = m_rows[(slot & 0xffffffffu) - 1];
    if (!row.removed && row.key == key) return &row;
  }
}

void VXFileMap::sizeCache(size_t rows) {
  size_t n = 1024;
  while (n < rows * 2) n *= 2;
  if (n <= m_slots.size()) return;
  // At most half full, so probes stay short; the rows are placed again.
  std::vector<uint64_t>(n).swap(m_slots);
  const size_t mask = n - 1;
  for (size_t r = 0; r < m_rows.size(); ++r) {
    if (m_rows[r].removed) continue;
    const uint64_t hash = std::hash<std::string_view>()(m_rows[r].key);
    size_t i = hash & mask;
    while (m_slots[i] != 0) i = (i + 1) & mask;
    m_slots[i] = (hash >> 32 << 32) | (r + 1);
  }
}

bool VXFileMap::addCached(Cached &&row) {
  sizeCache(m_rows.size() + 1);
  const uint64_t hash = std::hash<std::string_view>()(row.key);
  const size_t mask = m_slots.size() - 1;
  size_t i = hash & mask;
  for (; m_slots[i] != 0; i = (i + 1) & mask) {
    const Cached &other = m_rows[(m_slots[i] & 0xffffffffu) - 1];
    if ((m_slots[i] >> 32) == (hash >> 32) && !other.removed && other.key == row.key) return false;
  }
  m_rows.push_back(std::move(row));
  m_slots[i] = (hash >> 32 << 32) | m_rows.size();
  return true;
}

int32_t VXFileMap::loadCache() {
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(m_db, kScan, -1, &s, nullptr) != SQLITE_OK) {
    report();
    sqlite3_finalize(s);
    return BR_EUNSPEC;
  }
  dropCache();
  const int64_t rows = count();
  if (rows > 0) {
    m_rows.reserve(static_cast<size_t>(rows));
    sizeCache(static_cast<size_t>(rows));
  }
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    const unsigned char *key = sqlite3_column_text(s, 0);
    if (!key) continue;
    Cached c;
    c.key = reinterpret_cast<const char *>(key);
    c.modTime = columnNumber(s, 1);
    c.size = columnNumber(s, 2);
    c.fileID = columnText(s, 3);
    c.updateID = columnText(s, 4);
    (void)addCached(std::move(c));  // a lookup finds the first row of a key
  }
  sqlite3_finalize(s);
  if (rc != SQLITE_DONE) {
    report();
    dropCache();
    return BR_EUNSPEC;
  }
  m_cached = true;
  return BR_OK;
}

void VXFileMap::cache(const ZVFileMapNode &node, bool replace) {
  if (!m_cached) return;
  Cached *row = findCached(node.key);
  if (row && !replace) return;  // a row added after others of its key is not read
  Cached c;
  c.key = node.key;
  c.modTime = node.modTime;
  c.size = node.size;
  c.fileID = node.fileID;
  if (row)
    *row = std::move(c);
  else
    (void)addCached(std::move(c));
}

void VXFileMap::close() {
  dropCache();
  m_uploads.close();
  for (sqlite3_stmt **s : {&m_lookup, &m_insert, &m_insertWithID, &m_delete}) {
    sqlite3_finalize(*s);
    *s = nullptr;
  }
  if (m_db) sqlite3_close_v2(m_db);
  m_db = nullptr;
}

int32_t VXFileMap::closeAndDelete() {
  close();
  if (m_path.empty()) return BR_OK;
  int32_t rc = BR_OK;
  if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) rc = BR_EUNSPEC;
  // A log left by an interrupted write would otherwise be rolled into the next map.
  for (const char *ext : {"-wal", "-shm", "-journal"}) ::unlink((m_path + ext).c_str());
  // The map is gone: the next load (a fresh map at that place) must not be refused.
  m_path.clear();
  return rc;
}

int32_t VXFileMap::lookup(const char *key, ZVFileMapNode *out) {
  if (!m_db || !key || !out) return BR_EUNSPEC;
  if (g_withCache.load(std::memory_order_relaxed) && (m_cached || loadCache() == 0)) {
    const Cached *row = findCached(key);
    if (!row) return BR_ENOENT;
    out->key = key;
    out->modTime = row->modTime;
    out->size = row->size;
    out->fileID = row->fileID;
    out->updateID = row->updateID;
    return BR_OK;
  }
  sqlite3_reset(m_lookup);
  sqlite3_bind_text(m_lookup, 1, key, -1, SQLITE_STATIC);
  const int rc = sqlite3_step(m_lookup);
  int32_t result = BR_ENOENT;
  if (rc == SQLITE_ROW) {
    out->key = key;
    out->modTime = columnNumber(m_lookup, 0);
    out->size = columnNumber(m_lookup, 1);
    out->fileID = columnText(m_lookup, 2);
    out->updateID = columnText(m_lookup, 3);
    result = BR_OK;
  } else if (rc != SQLITE_DONE) {
    report();
    result = BR_EUNSPEC;
  }
  sqlite3_reset(m_lookup);
  sqlite3_clear_bindings(m_lookup);
  return result;
}

int32_t VXFileMap::bindStep(sqlite3_stmt *s, const ZVFileMapNode *node, const char *key) {
  if (g_failWrites.load()) {
    brlog(kTag, BRLOG_WARNING, "SQLERR:  %d 0x%x %s\n", SQLITE_FULL, SQLITE_FULL,
          "database or disk is full");
    return BR_ENOSPC;
  }
  sqlite3_reset(s);
  sqlite3_bind_text(s, 1, node ? node->key.c_str() : key, -1, SQLITE_STATIC);
  if (node) {
    bindNumber(s, 2, node->modTime);
    bindNumber(s, 3, node->size);
    if (node->fileID) sqlite3_bind_text(s, 4, node->fileID->c_str(), -1, SQLITE_STATIC);
  }
  const int rc = sqlite3_step(s);
  if (rc != SQLITE_DONE) report();
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  if (rc == SQLITE_FULL) return BR_ENOSPC;
  return rc == SQLITE_DONE ? BR_OK : BR_EUNSPEC;
}

int32_t VXFileMap::insert(const ZVFileMapNode &node) {
  if (!m_db) return BR_EUNSPEC;
  const int32_t rc = bindStep(node.fileID ? m_insertWithID : m_insert, &node, nullptr);
  if (rc == 0) cache(node, false);
  return rc;
}

int32_t VXFileMap::remove(const char *key) {
  if (!m_db || !key) return BR_EUNSPEC;
  const int32_t rc = bindStep(m_delete, nullptr, key);
  if (rc == 0 && m_cached)
    while (Cached *row = findCached(key)) row->removed = true;
  return rc;
}

int32_t VXFileMap::update(const ZVFileMapNode &node) {
  if (!m_db) return BR_EUNSPEC;
  if (exec("BEGIN IMMEDIATE") < 0) return BR_EUNSPEC;
  int32_t rc = bindStep(m_delete, nullptr, node.key.c_str());
  if (rc == 0) rc = bindStep(node.fileID ? m_insertWithID : m_insert, &node, nullptr);
  if (rc == 0 && exec("COMMIT") == 0) {
    cache(node, true);
    return BR_OK;
  }
  sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  return rc == BR_ENOSPC ? rc : BR_EUNSPEC;
}

int64_t VXFileMap::count() {
  if (!m_db) return -1;
  sqlite3_stmt *s = nullptr;
  int64_t n = -1;
  if (sqlite3_prepare_v2(m_db, "SELECT COUNT(*) FROM filedb", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    n = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  return n;
}

int32_t VXFileMap::migrateJSON(const char *jsonPath, const char *taskId) {
  if (!m_db || !jsonPath) return BR_EUNSPEC;
  struct stat st;
  if (::stat(jsonPath, &st) != 0 || !S_ISREG(st.st_mode)) return BR_ENOENT;
  HBRef<IHBStream> in;
  if (hbfile__openRead(in.out(), jsonPath, "file map") < 0) return BR_ENOENT;
  const char *id = taskId ? taskId : "";
  brlog(kTag, BRLOG_INFO, "[%s]*** migrateJSONFileMap {\n", id);
  HBRef<HBMap> root;
  int32_t rc = hbjson__parseStream(root, in.get());
  in.reset();
  HBRef<IHBIter> files;
  if (rc < 0 || root->getIter("files", files) < 0) {
    brlog(kTag, BRLOG_WARNING, "[%s]Old file map does not parse: %s\n", id, jsonPath);
    brlog(kTag, BRLOG_INFO, "[%s]*** }\n", id);
    return BR_EINVAL;
  }
  int32_t added = 0;
  bool failed = exec("BEGIN IMMEDIATE") < 0;
  rc = hbiter__forEachMap(files.get(), [&](IHBMap *m) {
    std::string fid, mod, size, fileID;
    const bool hasID = hbjson__getText(m, "id", &fid);
    const bool hasMod = hbjson__getText(m, "modTime", &mod);
    const bool hasSize = hbjson__getText(m, "fileSize", &size);
    const bool hasFileID = hbjson__getText(m, "fileID", &fileID);
    brlog(kTag, BRLOG_VERBOSE2, "[%s]*** [%s] [%s] [%s] [%s]\n", id, hasID ? fid.c_str() : "NULL",
          hasMod ? mod.c_str() : "NULL", hasSize ? size.c_str() : "NULL",
          hasFileID ? fileID.c_str() : "NULL");
    if (failed || !hasID || !hasMod || !hasSize) return 0;
    ZVFileMapNode node;
    // Entries an earlier migration already brought in are not added twice.
    const int32_t found = lookup(fid.c_str(), &node);
    if (found == 0) return 0;
    node.key = fid;
    node.modTime = std::strtoll(mod.c_str(), nullptr, 10);
    node.size = std::strtoll(size.c_str(), nullptr, 10);
    if (hasFileID) node.fileID = fileID;
    if (found != BR_ENOENT || insert(node) < 0) {
      failed = true;
    } else {
      ++added;
    }
    return 0;
  });
  if (!failed && exec("COMMIT") < 0) failed = true;
  if (failed) {
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    dropCache();  // it holds what was rolled back
  }
  brlog(kTag, BRLOG_INFO, "[%s]*** }\n", id);
  if (failed || rc < 0) return BR_EUNSPEC;
  const std::string done = std::string(jsonPath) + ".migrated";
  if (::rename(jsonPath, done.c_str()) != 0)
    brlog(kTag, BRLOG_WARNING, "[%s]Cannot rename the old file map %s: %s\n", id, jsonPath,
          std::strerror(errno));
  return added;
}
