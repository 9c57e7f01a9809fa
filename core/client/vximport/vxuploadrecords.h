// What an upload in pieces leaves for the next run: one record per local file whose content
// is on its way to the drive.
//
// A record holds the drive and the file's identifier on it, the length of the stream (TOTAL),
// the local file's size and modification time (nanoseconds) when the first piece went, how
// many bytes the service was known to hold and the SHA-256 (hex) of those bytes as they were
// read from the file. The next run continues the entry only when the file is unchanged by all
// three; otherwise it starts over.
//
// Records live in the table
//
//   uploaddb (u_key PRIMARY KEY, u_deviceID, u_serviceID, u_fileID, u_total, u_fileSize,
//             u_modTime, u_sent, u_digest, u_updated)
//
// of an SQLite database: the backup's file map (the table is added to an older map when it is
// opened; earlier versions never look at it), or a file of its own for `tesseltool import`
// ("ZVUploads_import.db" in the data folder, mode 0600). The key is the file key of the local
// path (vximport__fileKey). Not thread-safe; the owner locks around it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "brerror.h"

struct VXUploadRecord {
  std::string deviceId, serviceId, fileId;
  int64_t total = 0;
  int64_t fileSize = -1;
  int64_t modifiedNs = 0;
  int64_t sent = 0;
  std::string digest;  // SHA-256 of the first `sent` bytes, lower-case hex
};

// The records an import keeps; implemented over a database below and, for the backups, under
// the task's lock.
class IVXUploadRecords {
 public:
  virtual ~IVXUploadRecords() = default;
  // 0 with *out filled, -3 when there is none, -1 when it cannot be read.
  HB_NODISCARD virtual int32_t find(const char *key, VXUploadRecord *out) = 0;
  // Adds or replaces the record of `key`. 0, -12 on a full disk, or -1.
  HB_NODISCARD virtual int32_t save(const char *key, const VXUploadRecord &record) = 0;
  // 0 (also when there was none), or -1.
  HB_NODISCARD virtual int32_t remove(const char *key) = 0;
};

class VXUploadRecords final : public IVXUploadRecords {
 public:
  VXUploadRecords() = default;
  ~VXUploadRecords() override { close(); }
  VXUploadRecords(const VXUploadRecords &) = delete;
  VXUploadRecords &operator=(const VXUploadRecords &) = delete;

  // Uses the table in `db` (borrowed; it must outlive the records or be detached first),
  // creating it when missing. 0 or -1 (reported).
  HB_NODISCARD int32_t attach(sqlite3 *db);
  // Opens (creating, mode 0600) a database of its own at `path`. 0 or -1 (reported).
  HB_NODISCARD int32_t open(const char *path);
  // The path of the records of `tesseltool import` in the data folder (`folder` when given).
  static std::string importPath(const char *folder = nullptr);
  // Lets go of the database (closing it when it is its own).
  void close();
  bool isOpen() const { return m_db != nullptr; }

  int32_t find(const char *key, VXUploadRecord *out) override;
  int32_t save(const char *key, const VXUploadRecord &record) override;
  int32_t remove(const char *key) override;

 private:
  int32_t prepareAll();
  sqlite3 *m_db = nullptr;
  bool m_own = false;
  sqlite3_stmt *m_find = nullptr;
  sqlite3_stmt *m_save = nullptr;
  sqlite3_stmt *m_remove = nullptr;
};
