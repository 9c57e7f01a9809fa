// The file map of an auto-import task: a small SQLite database that records every file already
// imported with its modification time and size, so that the next run skips it.
//
// One file per task, "$XDG_DATA_HOME/Orvane Tessel Utility/ZVFileMap_<id>.db" (in the task
// identifier "+" becomes "_" and "/" becomes "-"), holding the table
//
//   filedb (f_id, f_modTime, f_fileSize, f_fileID, f_updateID)
//
// keyed by the file key (unpadded base64 of the SHA-1 of the walk path), times in milliseconds
// since 1970 and sizes as decimal text, and, for destination folders, the service's file
// identifier. Besides the table the map carries an index on f_id (added to older files when
// they are opened): without it every lookup scans the table, and a rescan of a large library
// becomes quadratic. A second table, uploaddb, holds the uploads in pieces still on their way
// (vxuploadrecords.h); it too is added to older files. Values are bound as statement parameters, never formatted into the SQL.
//
// A map that cannot be opened or read is reported with the SQL error report ("SQLERR: ...", and
// "Database Corruption Detected -- Not Rebuilding!" for a damaged file) and is never repaired:
// the caller lives without a map. A map file that can only be read counts as not loaded, since
// nothing could be recorded in it. Log tag "AIMPORT".
//
// Not thread-safe: the auto-import task uses it under its task lock.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brerror.h"
#include "vxuploadrecords.h"

// One record of the map.
struct ZVFileMapNode {
  std::string key;
  int64_t modTime = -1;  // milliseconds since 1970; -1 when the row has none
  int64_t size = -1;     // bytes; -1 when the row has none
  std::optional<std::string> fileID;
  std::optional<std::string> updateID;
};

// The longest file map path kept.
#define VXFILEMAP_PATH_MAX 1023
// The busy time-out for other connections to the same file.
#define VXFILEMAP_BUSY_TIMEOUT_MS 60000

class VXFileMap {
 public:
  VXFileMap() = default;
  ~VXFileMap() { close(); }
  VXFileMap(const VXFileMap &) = delete;
  VXFileMap &operator=(const VXFileMap &) = delete;

  // The map file of task `taskId` in `folder` (the per-user data folder when null). -7 when the
  // path would exceed 1023 bytes.
  HB_NODISCARD static int32_t pathFor(const char *taskId, std::string *out,
                                      const char *folder = nullptr);
  // The old JSON map of the task (same folder and name, without the ".db").
  HB_NODISCARD static int32_t jsonPathFor(const char *taskId, std::string *out,
                                          const char *folder = nullptr);

  // Opens (creating when missing) the map at `path` for the task `taskId` (used in the log
  // lines): the data folder is made, the busy time-out set to 60 s, the table and its index
  // created. 0; -6 when a map is already open; -1 after a failing open or statement (logged);
  // -27 for a file that opens only for reading.
  HB_NODISCARD int32_t load(const char *path, const char *taskId);
  bool isOpen() const { return m_db != nullptr; }
  const std::string &path() const { return m_path; }
  // True when load() made the file (there was no map before): nothing is known of what the
  // drive already holds.
  bool created() const { return m_created; }

  // The first record of `key`: 0 with *out filled, -3 when there is none, -1 when the lookup
  // fails (reported).
  HB_NODISCARD int32_t lookup(const char *key, ZVFileMapNode *out);
  // Adds a record (the folder identifier only when present). 0, -12 when the disk is full, or
  // -1 (reported).
  HB_NODISCARD int32_t insert(const ZVFileMapNode &node);
  // Replaces every record of the node's key by the node, in one transaction: a failure leaves
  // the old records. 0, -12 when the disk is full, or -1 (reported).
  HB_NODISCARD int32_t update(const ZVFileMapNode &node);
  // Deletes every record of `key`. 0, or -1 (reported).
  HB_NODISCARD int32_t remove(const char *key);

  // Reads the old JSON map {"files":[{"id","modTime","fileSize","fileID"}...]} at `jsonPath` into
  // the map. A file that is missing gives -3 and nothing is logged. After a migration in which
  // every usable entry was recorded, the file is renamed to "<jsonPath>.migrated" so it is read
  // only once. Returns the number of records added, or a negative code (a file that does not
  // parse: -6, and it stays in place).
  HB_NODISCARD int32_t migrateJSON(const char *jsonPath, const char *taskId);

  // A rescan asks for every file of a library: the first lookup reads the whole map into memory
  // (the first row of each key, as a lookup would find it), writes keep that copy current, and
  // this call drops it (the next lookup reads the map again, with what others wrote meanwhile).
  void dropCache();

  // Closes the database (the path is kept).
  void close();
  // Closes the database, deletes its file and forgets the path (a new map may be loaded at
  // once). 0, or -1 when the file could not be deleted.
  HB_NODISCARD int32_t closeAndDelete();
  // Forgets the path (after close).
  void forgetPath() { m_path.clear(); }

  // The records of uploads in pieces the next run continues (the table "uploaddb" of the same
  // file), while the map is open; the same locking rule as the map's.
  IVXUploadRecords *uploads() { return m_uploads.isOpen() ? &m_uploads : nullptr; }

  // Number of records (for tests and benchmarks); -1 when it cannot be counted.
  int64_t count();

 private:
  struct Stmts;
  sqlite3_stmt *prepare(const char *sql);
  void report();
  int32_t bindStep(sqlite3_stmt *s, const ZVFileMapNode *node, const char *key);
  int32_t exec(const char *sql);

  // The copy in memory: rows in the map's order (a rescan asks in nearly that order) and an open
  // addressing table of (upper hash bits << 32 | row + 1) for them; removed rows stay, marked.
  struct Cached {
    std::string key;
    int64_t modTime = -1, size = -1;
    std::optional<std::string> fileID, updateID;
    bool removed = false;
  };
  int32_t loadCache();
  Cached *findCached(std::string_view key);
  void sizeCache(size_t rows);
  // Adds the row unless its key is there; whether it was added.
  bool addCached(Cached &&row);
  void cache(const ZVFileMapNode &node, bool replace);

  sqlite3 *m_db = nullptr;
  std::vector<Cached> m_rows;
  std::vector<uint64_t> m_slots;
  bool m_cached = false;
  std::string m_path;
  bool m_created = false;
  sqlite3_stmt *m_lookup = nullptr;
  sqlite3_stmt *m_insert = nullptr;
  sqlite3_stmt *m_insertWithID = nullptr;
  sqlite3_stmt *m_delete = nullptr;
  VXUploadRecords m_uploads;
};

// The SQL error report of a failing database call: "SQLERR:  %d 0x%x %s" (level 2) and, for a
// damaged or foreign file, "SQLERR:  Database Corruption Detected -- Not Rebuilding!".
void vxfilemap__reportSQLError(sqlite3 *db);

// Test and benchmark hook: maps loaded afterwards get (true) or lose (false) the index on f_id.
void vxfilemap__setIndexForTest(bool withIndex);
// Benchmark hook: while false, every lookup runs as a statement, without the copy in memory.
void vxfilemap__setCacheForTest(bool withCache);
// Test hook: while set, every write fails as on a full disk (SQLite's code 13, -12).
void vxfilemap__setFailWritesForTest(bool fail);
