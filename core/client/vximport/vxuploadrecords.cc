// The records of uploads in pieces that the next run continues.
#include "vxuploadrecords.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "brlog.h"
#include "brthread.h"
#include "hbfile.h"
#include "vxclienttask.h"
#include "vxfilemap.h"

namespace {

constexpr const char *kTag = "IMPORT";

constexpr const char *kCreate =
    "CREATE TABLE IF NOT EXISTS uploaddb (u_key TEXT PRIMARY KEY, u_deviceID TEXT, "
    "u_serviceID TEXT, u_fileID TEXT, u_total INTEGER, u_fileSize INTEGER, u_modTime INTEGER, "
    "u_sent INTEGER, u_digest TEXT, u_updated INTEGER) WITHOUT ROWID";
constexpr const char *kFind =
    "SELECT u_deviceID,u_serviceID,u_fileID,u_total,u_fileSize,u_modTime,u_sent,u_digest "
    "FROM uploaddb WHERE u_key = ?1";
constexpr const char *kSave =
    "INSERT OR REPLACE INTO uploaddb (u_key,u_deviceID,u_serviceID,u_fileID,u_total,u_fileSize,"
    "u_modTime,u_sent,u_digest,u_updated) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)";
constexpr const char *kRemove = "DELETE FROM uploaddb WHERE u_key = ?1";

std::string text(sqlite3_stmt *s, int col) {
  const unsigned char *t = sqlite3_column_text(s, col);
  return t ? reinterpret_cast<const char *>(t) : "";
}

}  // namespace

std::string VXUploadRecords::importPath(const char *folder) {
  return (folder ? std::string(folder) : vxclienttask__dataFolder()) + "/ZVUploads_import.db";
}

int32_t VXUploadRecords::prepareAll() {
  if (sqlite3_exec(m_db, kCreate, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v3(m_db, kFind, -1, SQLITE_PREPARE_PERSISTENT, &m_find, nullptr) !=
          SQLITE_OK ||
      sqlite3_prepare_v3(m_db, kSave, -1, SQLITE_PREPARE_PERSISTENT, &m_save, nullptr) !=
          SQLITE_OK ||
      sqlite3_prepare_v3(m_db, kRemove, -1, SQLITE_PREPARE_PERSISTENT, &m_remove, nullptr) !=
          SQLITE_OK) {
    vxfilemap__reportSQLError(m_db);
    close();
    return BR_EUNSPEC;
  }
  return BR_OK;
}

int32_t VXUploadRecords::attach(sqlite3 *db) {
  if (m_db || !db) return BR_EINVAL;
  m_db = db;
  m_own = false;
  return prepareAll();
}

int32_t VXUploadRecords::open(const char *path) {
  if (m_db || !path || !*path) return BR_EINVAL;
  std::string folder = path;
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    folder.resize(slash);
    (void)hbfile__mkdirs(folder.c_str());
  }
  // Made 0600 before SQLite opens it: the records name the user's files and drive.
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    brlog(kTag, BRLOG_WARNING, "DB Open [%s] Failed\n", path);
    vxfilemap__reportSQLError(db);
    sqlite3_close_v2(db);
    return BR_EUNSPEC;
  }
  sqlite3_busy_timeout(db, VXFILEMAP_BUSY_TIMEOUT_MS);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  m_db = db;
  m_own = true;
  return prepareAll();
}

void VXUploadRecords::close() {
  for (sqlite3_stmt **s : {&m_find, &m_save, &m_remove}) {
    sqlite3_finalize(*s);
    *s = nullptr;
  }
  if (m_own && m_db) sqlite3_close_v2(m_db);
  m_db = nullptr;
  m_own = false;
}

int32_t VXUploadRecords::find(const char *key, VXUploadRecord *out) {
  if (!m_find || !key || !out) return BR_EINVAL;
  sqlite3_reset(m_find);
  sqlite3_bind_text(m_find, 1, key, -1, SQLITE_TRANSIENT);
  const int step = sqlite3_step(m_find);
  int32_t rc = BR_ENOENT;
  if (step == SQLITE_ROW) {
    out->deviceId = text(m_find, 0);
    out->serviceId = text(m_find, 1);
    out->fileId = text(m_find, 2);
    out->total = sqlite3_column_int64(m_find, 3);
    out->fileSize = sqlite3_column_int64(m_find, 4);
    out->modifiedNs = sqlite3_column_int64(m_find, 5);
    out->sent = sqlite3_column_int64(m_find, 6);
    out->digest = text(m_find, 7);
    rc = BR_OK;
  } else if (step != SQLITE_DONE) {
    vxfilemap__reportSQLError(m_db);
    rc = BR_EUNSPEC;
  }
  sqlite3_reset(m_find);
  return rc;
}

int32_t VXUploadRecords::save(const char *key, const VXUploadRecord &r) {
  if (!m_save || !key) return BR_EINVAL;
  sqlite3_reset(m_save);
  sqlite3_bind_text(m_save, 1, key, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(m_save, 2, r.deviceId.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(m_save, 3, r.serviceId.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(m_save, 4, r.fileId.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(m_save, 5, r.total);
  sqlite3_bind_int64(m_save, 6, r.fileSize);
  sqlite3_bind_int64(m_save, 7, r.modifiedNs);
  sqlite3_bind_int64(m_save, 8, r.sent);
  sqlite3_bind_text(m_save, 9, r.digest.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(m_save, 10, brtime__nowMs());
  const int step = sqlite3_step(m_save);
  sqlite3_reset(m_save);
  if (step == SQLITE_DONE) return BR_OK;
  vxfilemap__reportSQLError(m_db);
  return step == SQLITE_FULL ? BR_ENOSPC : BR_EUNSPEC;
}

int32_t VXUploadRecords::remove(const char *key) {
  if (!m_remove || !key) return BR_EINVAL;
  sqlite3_reset(m_remove);
  sqlite3_bind_text(m_remove, 1, key, -1, SQLITE_TRANSIENT);
  const int step = sqlite3_step(m_remove);
  sqlite3_reset(m_remove);
  if (step == SQLITE_DONE) return BR_OK;
  vxfilemap__reportSQLError(m_db);
  return BR_EUNSPEC;
}
