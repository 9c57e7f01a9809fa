// Metadata of the service in one SQLite database: users, session tokens, devices, drive
// services, files with their properties, and the sizes of stored content streams.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "svcvalue.h"

namespace tessel::svc {

struct UserRec {
  int64_t id = 0;
  std::string name;
  std::string email;
};

struct ServiceRec {
  std::string id;
  std::string deviceId;
  int64_t userId = 0;
  std::string name;
  int64_t quota = 0;
  int64_t used = 0;
  bool online = true;
  bool readOnly = false;
  std::string transport;  // "soap" or "pktm": which API address listServices hands out
  std::string version;    // the firmware version the drive reports; empty: the current one
};

struct FileRec {
  int64_t id = 0;  // 0 is the drive's root folder
  int64_t parentId = 0;
  std::string name;
  int type = 0;  // 0 file, 1 folder
  int64_t ctime = 0;
  int64_t mtime = 0;
  int64_t size = -1;  // bytes of the main content, -1 before it was uploaded
  std::vector<std::string> renditions;  // stored streams besides the main content
  SvcArgs props;
};

struct NewUser {
  std::string user;
  std::string token;
  std::string deviceId;
  std::vector<std::string> serviceIds;
};

// The longest file or folder name, in bytes.
constexpr size_t kSvcMaxName = 255;

// Fault codes the store reports; 0 is success.
enum : int {
  kSvcOk = 0,
  kSvcBadRequest = 400,
  kSvcNoService = 803,
  kSvcNoFile = 804,
  kSvcNotFolder = 805,
  kSvcExists = 808,
  kSvcNoSpace = 507,
  kSvcInternal = 500,
};

class SvcStore {
 public:
  SvcStore() = default;
  ~SvcStore();
  SvcStore(const SvcStore &) = delete;
  SvcStore &operator=(const SvcStore &) = delete;

  // Opens (creating) DIR/meta.db, mode 0600. The folder must exist.
  bool open(const std::string &dir, std::string *err);
  // How long a session token lives after its last use (default 30 days).
  void setTokenLifetime(int64_t ms) { m_tokenLifetimeMs = ms; }

  bool addUser(const std::string &name, const std::string &password, int64_t quota, int drives,
               const std::string &transport, NewUser *out, std::string *err);
  bool checkPassword(const std::string &name, const std::string &password, int64_t *userId);
  bool userByName(const std::string &name, int64_t *userId);
  std::string newToken(int64_t userId);
  bool userForToken(const std::string &token, UserRec *out);
  bool revokeToken(const std::string &token);

  std::vector<ServiceRec> services(int64_t userId);
  // The user's service; false when it does not exist or belongs to someone else.
  bool service(int64_t userId, const std::string &deviceId, const std::string &serviceId,
               ServiceRec *out);
  bool serviceById(const std::string &serviceId, ServiceRec *out);
  bool setOnline(const std::string &serviceId, bool online);
  bool setQuota(const std::string &serviceId, int64_t quota);
  bool setVersion(const std::string &serviceId, const std::string &version);

  // A file (type 0) whose name is taken in the folder is stored as "NAME (2).EXT", "NAME (3).EXT"
  // ... (the name it got is in *out); a folder whose name is taken gives kSvcExists.
  int createFile(const ServiceRec &svc, int64_t parentId, const std::string &name, int type,
                 int64_t ctime, int64_t mtime, const SvcArgs &props, FileRec *out);
  int getFile(const ServiceRec &svc, int64_t id, FileRec *out);
  int findChild(const ServiceRec &svc, int64_t parentId, const std::string &name, FileRec *out);
  int listFiles(const ServiceRec &svc, int64_t parentId, int64_t offset, int64_t count,
                std::vector<FileRec> *out);
  // Removes a file or a folder with everything below it; `removed` gets the ids whose content
  // files the caller deletes.
  int removeFile(const ServiceRec &svc, int64_t id, std::vector<int64_t> *removed);

  // Moves a file or folder into the folder `newParentId` under `newName` (a rename when the
  // folder stays). A name taken there gives kSvcExists (nothing is replaced); the root, and a
  // folder into itself or below itself, give kSvcBadRequest.
  int moveFile(const ServiceRec &svc, int64_t id, int64_t newParentId, const std::string &newName,
               FileRec *out);

  int64_t streamSize(int64_t fileId, const std::string &stream);
  // Bytes an upload of `stream` may take: the drive's free space plus the stream's old size.
  int64_t room(const std::string &serviceId, int64_t fileId, const std::string &stream);
  // Records an uploaded stream if the file still exists and the drive still has room for it.
  int commitStream(const std::string &serviceId, int64_t fileId, const std::string &stream,
                   int64_t size);

 private:
  static constexpr int kMaxSessions = 100;
  bool exec(const char *sql);
  bool migrate();
  std::string insertToken(int64_t userId);
  int64_t usedLocked(const std::string &serviceId);
  bool loadFile(const std::string &serviceId, int64_t id, FileRec *out);
  bool childExists(const std::string &serviceId, int64_t parentId, const std::string &name);
  // The next free name for a file whose name is taken in the folder; false when none is left.
  bool freeName(const std::string &serviceId, int64_t parentId, const std::string &name,
                std::string *out);

  std::mutex m_lock;
  sqlite3 *m_db = nullptr;
  int64_t m_tokenLifetimeMs = 30LL * 24 * 3600 * 1000;
};

std::string svc__randomHex(size_t bytes);
// What a file or folder entry counts against its drive's space: its name and properties and a
// fixed share for the entry itself.
int64_t svcstore__metaSize(const std::string &name, const SvcArgs &props);

}  // namespace tessel::svc
