// Metadata of the service in one SQLite database: users, session tokens, devices, drive
// services with the space they use, files with their properties, and the sizes of stored content
// streams. Every change is one transaction; a change that cannot be stored (a full disk, an I/O
// error) is reported as kSvcNoSpace or kSvcInternal and leaves nothing behind.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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
  int64_t used = 0;  // bytes of content, names and properties: a running total on the drive's row
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
  int64_t size = -1;                    // bytes of the main content, -1 before it was uploaded
  std::vector<std::string> renditions;  // stored streams besides the main content
  SvcArgs props;
  int64_t taken = 0;  // when the picture was taken (camera's clock as UTC ms), else its file time
  int media = 0;      // kSvcMediaNone, kSvcMediaPhoto or kSvcMediaVideo
};

// The record of a file just created, as it was stored.
inline FileRec svc__fileRec(int64_t id, int64_t parentId, const std::string &name, int type,
                            int64_t ctime, int64_t mtime, const SvcArgs &props, int64_t taken,
                            int media) {
  FileRec f;
  f.id = id;
  f.parentId = parentId;
  f.name = name;
  f.type = type;
  f.ctime = ctime;
  f.mtime = mtime;
  f.props = props;
  f.taken = taken;
  f.media = media;
  return f;
}

// What a file is to the photo pages, from its mimetype.
enum : int { kSvcMediaNone = 0, kSvcMediaPhoto = 1, kSvcMediaVideo = 2 };

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

// What the service keeps of its users, sessions, drives and files. Two implementations: one
// SQLite file in the data folder (SvcSqliteStore, one process), and PostgreSQL (SvcPgStore),
// which several service processes share at once. Request handling sees only this interface.
class SvcStore {
 public:
  virtual ~SvcStore() = default;

  // Opens the store: DIR/meta.db for SQLite (created mode 0600; the folder must exist), the
  // database for PostgreSQL (its tables made when missing).
  virtual bool open(const std::string &dir, std::string *err) = 0;
  // How long a session token lives after its last use (default 30 days).
  virtual void setTokenLifetime(int64_t ms) = 0;
  // Whether the store answers now (the load balancers' health check).
  virtual bool healthy() = 0;

  virtual bool addUser(const std::string &name, const std::string &password, int64_t quota,
                       int drives, const std::string &transport, NewUser *out,
                       std::string *err) = 0;
  virtual bool checkPassword(const std::string &name, const std::string &password,
                             int64_t *userId) = 0;
  virtual bool userByName(const std::string &name, int64_t *userId) = 0;
  // A new session for the user; empty when it cannot be stored.
  virtual std::string newToken(int64_t userId) = 0;
  virtual bool userForToken(const std::string &token, UserRec *out) = 0;
  virtual bool revokeToken(const std::string &token) = 0;

  virtual std::vector<ServiceRec> services(int64_t userId) = 0;
  // The user's service; false when it does not exist or belongs to someone else.
  virtual bool service(int64_t userId, const std::string &deviceId, const std::string &serviceId,
                       ServiceRec *out) = 0;
  virtual bool serviceById(const std::string &serviceId, ServiceRec *out) = 0;
  virtual bool setOnline(const std::string &serviceId, bool online) = 0;
  virtual bool setQuota(const std::string &serviceId, int64_t quota) = 0;
  virtual bool setVersion(const std::string &serviceId, const std::string &version) = 0;

  // A file (type 0) whose name is taken in the folder is stored as "NAME (2).EXT", "NAME (3).EXT"
  // ... (the name it got is in *out); a folder whose name is taken gives kSvcExists.
  [[nodiscard]] virtual int createFile(const ServiceRec &svc, int64_t parentId,
                                       const std::string &name, int type, int64_t ctime,
                                       int64_t mtime, const SvcArgs &props, FileRec *out) = 0;
  [[nodiscard]] virtual int getFile(const ServiceRec &svc, int64_t id, FileRec *out) = 0;
  [[nodiscard]] virtual int findChild(const ServiceRec &svc, int64_t parentId,
                                      const std::string &name, FileRec *out) = 0;
  [[nodiscard]] virtual int listFiles(const ServiceRec &svc, int64_t parentId, int64_t offset,
                                      int64_t count, std::vector<FileRec> *out) = 0;
  // The drive's photos and videos, newest taken first, the `count` after the one at
  // (`beforeTaken`, `beforeId`) in that order; `beforeId` < 0 starts at the newest. One index
  // range: a page costs the same at the end of 100 000 photos as at their start.
  [[nodiscard]] virtual int photos(const ServiceRec &svc, int64_t beforeTaken, int64_t beforeId,
                                   int64_t count, std::vector<FileRec> *out) = 0;
  // Entries of a folder of one type (1 folders, 0 files) by name, the `count` after `afterName`
  // (empty: from the first).
  [[nodiscard]] virtual int children(const ServiceRec &svc, int64_t parentId, int type,
                                     const std::string &afterName, int64_t count,
                                     std::vector<FileRec> *out) = 0;
  // Removes a file or a folder with everything below it; `removed` gets the ids whose content
  // files the caller deletes, only once the removal is stored.
  [[nodiscard]] virtual int removeFile(const ServiceRec &svc, int64_t id,
                                       std::vector<int64_t> *removed) = 0;
  // Moves a file or folder into the folder `newParentId` under `newName` (a rename when the
  // folder stays). A name taken there gives kSvcExists (nothing is replaced); the root, and a
  // folder into itself or below itself, give kSvcBadRequest.
  [[nodiscard]] virtual int moveFile(const ServiceRec &svc, int64_t id, int64_t newParentId,
                                     const std::string &newName, FileRec *out) = 0;

  virtual int64_t streamSize(int64_t fileId, const std::string &stream) = 0;
  // Bytes an upload of `stream` may take (*out): the drive's free space plus the stream's old
  // size.
  [[nodiscard]] virtual int room(const std::string &serviceId, int64_t fileId,
                                 const std::string &stream, int64_t *out) = 0;
  // Records an uploaded stream if the file still exists and the drive still has room for it.
  // `publish` puts the content in place (told whether it replaces a stored stream) inside the
  // transaction; a result other than kSvcOk from it undoes the record. When the record then
  // cannot be committed, `unpublish` puts back what was there.
  [[nodiscard]] virtual int commitStream(const std::string &serviceId, int64_t fileId,
                                         const std::string &stream, int64_t size,
                                         const std::function<int(bool replacing)> &publish,
                                         const std::function<void()> &unpublish) = 0;

  // Uploads in progress hold bytes against their drive's space. Holds upload `key` at `bytes`
  // (it only grows) when the uploads of the drive, this one at that size, fit in `room`; false
  // otherwise (the hold stays as it was). Kept in this process for SQLite, in the database
  // for PostgreSQL, so that every instance counts the uploads of the others.
  virtual bool holdUpload(const std::string &serviceId, const std::string &key, int64_t bytes,
                          int64_t room);
  virtual void releaseUpload(const std::string &serviceId, const std::string &key);

  // The pages' one-time sign-in codes (generateGoURL), by the digest of the code. Kept in this
  // process for SQLite (at most kMaxCodes: the oldest go first), in the database for PostgreSQL,
  // so that a code one instance made works, once, on any.
  struct SignInCode {
    int64_t userId = 0;
    std::string next;
    int64_t expires = 0;
  };
  static constexpr size_t kMaxCodes = 10000;
  virtual bool putCode(const std::string &digest, const SignInCode &code, int64_t nowMs);
  // Takes the code away (it is used once, whether late or not); false when there is none.
  virtual bool takeCode(const std::string &digest, SignInCode *out);

  // What the pages need to answer a content request, found in one look-up: the session `token`'s
  // user, the drive `serviceId` if it is that user's, and `fileId` on it with the stream
  // `stream` ("" the original). kSvcOk with `found` telling how far the chain went; kSvcInternal
  // when the store could not be read. A session due for renewal is renewed as userForToken does.
  struct WebContent {
    enum Found { kNoSession, kNoDrive, kNoFile, kFile } found = kNoSession;
    int64_t userId = 0;
    bool online = false;   // the drive's, from kNoFile on
    std::string name;      // the file's, with kFile
    std::string mimetype;  // its stored "mimetype" property, as stored
    bool stored = false;   // the stream is stored
  };
  [[nodiscard]] virtual int webContent(const std::string &token, const std::string &serviceId,
                                       int64_t fileId, const std::string &stream,
                                       WebContent *out);
  // The same without waiting for a network or for the writer: `*later` (and nothing found)
  // when the look-up would, for a store on the network or a session due for renewal.
  [[nodiscard]] virtual int webContentAtHand(const std::string &token,
                                             const std::string &serviceId, int64_t fileId,
                                             const std::string &stream, WebContent *out,
                                             bool *later);

  // What starts every call on a drive: the session `token`'s user and its drive
  // (`deviceId`, `serviceId`), in one look-up where the store can. A session due for renewal is
  // renewed as userForToken does. Nothing is kept between calls: a revoked session or a changed
  // drive is seen at once.
  enum SessionFound { kNoSession, kSessionOnly, kSessionAndDrive };
  virtual SessionFound sessionDrive(const std::string &token, const std::string &deviceId,
                                    const std::string &serviceId, UserRec *user,
                                    ServiceRec *svc);
  // sessionDrive and then, with kSessionAndDrive, getFile(`fileId`) on that drive (its result in
  // *fileRc), in one look-up where the store can.
  virtual SessionFound sessionDriveFile(const std::string &token, const std::string &deviceId,
                                        const std::string &serviceId, int64_t fileId,
                                        UserRec *user, ServiceRec *svc, FileRec *file,
                                        int *fileRc);
  // room() and then holdUpload() of `bytes` against it, in one round trip where the store can:
  // kSvcOk with *held telling whether the hold fits.
  [[nodiscard]] virtual int roomAndHold(const std::string &serviceId, int64_t fileId,
                                        const std::string &stream, const std::string &key,
                                        int64_t bytes, int64_t *room, bool *held);

 private:
  std::mutex m_codeLock;
  std::map<std::string, SignInCode> m_codes;
  std::mutex m_holdLock;
  std::map<std::string, std::map<std::string, int64_t>> m_holds;  // drive -> upload -> bytes
};

// The embedded store: DIR/meta.db, one process.
class SvcSqliteStore : public SvcStore {
 public:
  SvcSqliteStore() = default;
  ~SvcSqliteStore() override;
  SvcSqliteStore(const SvcSqliteStore &) = delete;
  SvcSqliteStore &operator=(const SvcSqliteStore &) = delete;
  bool open(const std::string &dir, std::string *err) override;
  bool healthy() override { return true; }
  void setTokenLifetime(int64_t ms) override { m_tokenLifetimeMs = ms; }

  bool addUser(const std::string &name, const std::string &password, int64_t quota, int drives,
               const std::string &transport, NewUser *out, std::string *err) override;
  bool checkPassword(const std::string &name, const std::string &password, int64_t *userId) override;
  bool userByName(const std::string &name, int64_t *userId) override;
  std::string newToken(int64_t userId) override;
  bool userForToken(const std::string &token, UserRec *out) override;
  bool revokeToken(const std::string &token) override;

  std::vector<ServiceRec> services(int64_t userId) override;
  bool service(int64_t userId, const std::string &deviceId, const std::string &serviceId,
               ServiceRec *out) override;
  bool serviceById(const std::string &serviceId, ServiceRec *out) override;
  bool setOnline(const std::string &serviceId, bool online) override;
  bool setQuota(const std::string &serviceId, int64_t quota) override;
  bool setVersion(const std::string &serviceId, const std::string &version) override;

  [[nodiscard]] int createFile(const ServiceRec &svc, int64_t parentId, const std::string &name,
                               int type, int64_t ctime, int64_t mtime, const SvcArgs &props,
                               FileRec *out) override;
  [[nodiscard]] int getFile(const ServiceRec &svc, int64_t id, FileRec *out) override;
  [[nodiscard]] int findChild(const ServiceRec &svc, int64_t parentId, const std::string &name,
                              FileRec *out) override;
  [[nodiscard]] int listFiles(const ServiceRec &svc, int64_t parentId, int64_t offset,
                              int64_t count, std::vector<FileRec> *out) override;
  [[nodiscard]] int photos(const ServiceRec &svc, int64_t beforeTaken, int64_t beforeId,
                           int64_t count, std::vector<FileRec> *out) override;
  [[nodiscard]] int children(const ServiceRec &svc, int64_t parentId, int type,
                             const std::string &afterName, int64_t count,
                             std::vector<FileRec> *out) override;
  [[nodiscard]] int removeFile(const ServiceRec &svc, int64_t id, std::vector<int64_t> *removed) override;

  [[nodiscard]] int moveFile(const ServiceRec &svc, int64_t id, int64_t newParentId,
                             const std::string &newName, FileRec *out) override;

  int64_t streamSize(int64_t fileId, const std::string &stream) override;
  [[nodiscard]] int room(const std::string &serviceId, int64_t fileId, const std::string &stream,
                         int64_t *out) override;
  [[nodiscard]] int commitStream(const std::string &serviceId, int64_t fileId,
                                 const std::string &stream, int64_t size,
                                 const std::function<int(bool replacing)> &publish,
                                 const std::function<void()> &unpublish) override;

  // One query on a connection of the read pool, which no write waits behind.
  [[nodiscard]] int webContent(const std::string &token, const std::string &serviceId,
                               int64_t fileId, const std::string &stream,
                               WebContent *out) override;
  [[nodiscard]] int webContentAtHand(const std::string &token, const std::string &serviceId,
                                     int64_t fileId, const std::string &stream, WebContent *out,
                                     bool *later) override;

 private:
  static constexpr int kMaxSessions = 100;
  int contentLookUp(const std::string &token, const std::string &serviceId, int64_t fileId,
                    const std::string &stream, WebContent *out, bool *later);
  // Connections of their own for the hottest reads: meta.db is in WAL, so they read beside the
  // writer and each other, with their statements prepared once.
  struct Reader {
    std::mutex lock;
    sqlite3 *db = nullptr;
    sqlite3_stmt *content = nullptr;
  };
  static constexpr int kReaders = 4;
  bool openReaders(const std::string &path);
  Reader *reader();
  Reader m_readers[kReaders];
  std::atomic<unsigned> m_nextReader{0};
  bool exec(const char *sql);
  bool migrate();
  bool datePhotos();
  // Logs the database's last error (or `code`) for `what`; kSvcNoSpace for a full disk, else
  // kSvcInternal.
  int failure(const char *what);
  int failure(const char *what, int code);
  [[nodiscard]] int begin();
  // Commits, or rolls back and reports why not.
  [[nodiscard]] int commit(const char *what);
  void rollback();
  std::string insertToken(int64_t userId);
  [[nodiscard]] int spaceLocked(const std::string &serviceId, int64_t *quota, int64_t *used);
  [[nodiscard]] int addUsed(const std::string &serviceId, int64_t delta);
  [[nodiscard]] int loadFile(const std::string &serviceId, int64_t id, FileRec *out);
  [[nodiscard]] int childExists(const std::string &serviceId, int64_t parentId,
                                const std::string &name, bool *exists);
  // The next free name for a file whose name is taken in the folder; kSvcExists when none is
  // left.
  [[nodiscard]] int freeName(const std::string &serviceId, int64_t parentId,
                             const std::string &name, std::string *out);

  std::mutex m_lock;
  sqlite3 *m_db = nullptr;
  int64_t m_tokenLifetimeMs = 30LL * 24 * 3600 * 1000;
};

// The store for `db`: empty for DIR/meta.db (SQLite), "postgresql://..." or "postgres://..." for
// PostgreSQL; `instance` names this service process among those sharing the database. Null for
// an address of another kind.
std::unique_ptr<SvcStore> svcstore__new(const std::string &db, const std::string &instance);

std::string svc__randomHex(size_t bytes);
// What both stores keep of a password (PBKDF2 with `salt`) and of a session token (SHA-256).
std::string svcstore__passwordHash(const std::string &password, const std::string &salt);
std::string svcstore__tokenHash(const std::string &token);
std::string svcstore__randomBytes(size_t n);
// What a file or folder entry counts against its drive's space: its name and properties and a
// fixed share for the entry itself.
int64_t svcstore__metaSize(const std::string &name, const SvcArgs &props);
// When a file's picture was taken ("EXIF-DateTimeOriginal", else "origtime", else `mtime`) and
// what it is (its "mimetype"), from the properties it was created with.
void svcstore__dating(const SvcArgs &props, int64_t mtime, int64_t *taken, int *media);

}  // namespace tessel::svc
