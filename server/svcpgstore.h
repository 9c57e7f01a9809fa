// The service's store in PostgreSQL, shared by several service processes at once: a pool of
// connections, prepared statements, and transactions that take the drive's row first, so that
// every change of one drive (names in its folders, its used space, the uploads it holds) is made
// one at a time across all processes. The unique (drive, folder, name) key is the last word on
// names.
#pragma once

#include <libpq-fe.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "svcguard.h"
#include "svcstore.h"

namespace tessel::svc {

class SvcPgStore;

// One query's rows, text form.
class PgRows {
 public:
  PgRows() = default;
  ~PgRows() { PQclear(m_res); }
  PgRows(const PgRows &) = delete;
  PgRows &operator=(const PgRows &) = delete;
  void reset(PGresult *r) {
    PQclear(m_res);
    m_res = r;
  }
  int rows() const { return m_res ? PQntuples(m_res) : 0; }
  const PGresult *result() const { return m_res; }
  std::string text(int row, int col) const;
  int64_t i64(int row, int col) const;
  // A bytea column (hex output) as its bytes.
  std::string bytes(int row, int col) const;

 private:
  PGresult *m_res = nullptr;
};

// One pooled connection with the statements prepared on it.
struct PgConn {
  PGconn *conn = nullptr;
  std::unordered_set<std::string> prepared;
};

class SvcPgStore : public SvcStore, public SvcThrottleShared {
 public:
  // `url` is a libpq connection address; `instance` names this process (its uploads' holds).
  SvcPgStore(std::string url, std::string instance);
  ~SvcPgStore() override;
  SvcPgStore(const SvcPgStore &) = delete;
  SvcPgStore &operator=(const SvcPgStore &) = delete;

  // Connects, makes the tables when missing, and drops the holds this instance left behind
  // (uploads a crash cut off). `dir` is not used: the content folder is the caller's.
  bool open(const std::string &dir, std::string *err) override;
  void setTokenLifetime(int64_t ms) override { m_tokenLifetimeMs = ms; }
  bool healthy() override;

  bool addUser(const std::string &name, const std::string &password, int64_t quota, int drives,
               const std::string &transport, NewUser *out, std::string *err) override;
  bool checkPassword(const std::string &name, const std::string &password,
                     int64_t *userId) override;
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
  [[nodiscard]] int removeFile(const ServiceRec &svc, int64_t id,
                               std::vector<int64_t> *removed) override;
  [[nodiscard]] int moveFile(const ServiceRec &svc, int64_t id, int64_t newParentId,
                             const std::string &newName, FileRec *out) override;

  int64_t streamSize(int64_t fileId, const std::string &stream) override;
  [[nodiscard]] int room(const std::string &serviceId, int64_t fileId, const std::string &stream,
                         int64_t *out) override;
  [[nodiscard]] int commitStream(const std::string &serviceId, int64_t fileId,
                                 const std::string &stream, int64_t size,
                                 const std::function<int(bool replacing)> &publish,
                                 const std::function<void()> &unpublish) override;
  bool holdUpload(const std::string &serviceId, const std::string &key, int64_t bytes,
                  int64_t room) override;
  void releaseUpload(const std::string &serviceId, const std::string &key) override;
  bool putCode(const std::string &digest, const SignInCode &code, int64_t nowMs) override;
  bool takeCode(const std::string &digest, SignInCode *out) override;
  // One round trip each: session, drive (and file) in one query; room and hold in one function.
  SessionFound sessionDrive(const std::string &token, const std::string &deviceId,
                            const std::string &serviceId, UserRec *user,
                            ServiceRec *svc) override;
  SessionFound sessionDriveFile(const std::string &token, const std::string &deviceId,
                                const std::string &serviceId, int64_t fileId, UserRec *user,
                                ServiceRec *svc, FileRec *file, int *fileRc) override;
  [[nodiscard]] int roomAndHold(const std::string &serviceId, int64_t fileId,
                                const std::string &stream, const std::string &key, int64_t bytes,
                                int64_t *room, bool *held) override;
  // One round trip: session, drive and file in one query.
  [[nodiscard]] int webContent(const std::string &token, const std::string &serviceId,
                               int64_t fileId, const std::string &stream,
                               WebContent *out) override;

  // Sign-in failures, in the database.
  int64_t until(const char *kind, const std::string &key) override;
  int fail(const char *kind, const std::string &key, int64_t nowMs) override;
  void setUntil(const char *kind, const std::string &key, int64_t untilMs) override;
  void forget(const char *kind, const std::string &key) override;

  // Runs `sql` (several statements, no parameters) on one connection: for the copy of an
  // installation.
  [[nodiscard]] int script(const char *what, const std::string &sql);
  // Runs the prepared `sql` once for each row of parameters, in one transaction.
  [[nodiscard]] int insertRows(const char *what, const std::string &sql,
                               const std::vector<std::vector<std::string>> &rows);
  // One number from `sql`, -1 when it fails.
  int64_t count(const std::string &sql);

 private:
  friend class PgLease;
  friend class PgTx;
  static constexpr int kMaxSessions = 100;
  static constexpr size_t kPoolSize = 8;

  PgConn *acquire(std::string *err);
  void release(PgConn *c);
  // Runs a prepared statement. kSvcOk, kSvcExists for a unique key already taken (not logged),
  // else the failure logged for `what` (kSvcNoSpace for a full disk).
  [[nodiscard]] int run(PgConn *c, const char *what, const std::string &sql,
                        const std::vector<std::string> &params, PgRows *rows = nullptr);
  // BEGIN and then the prepared `sql`, sent together (one round trip); *begun tells whether the
  // transaction is open. The statement's outcome as run() gives it.
  [[nodiscard]] int beginAndRun(PgConn *c, const char *what, const std::string &sql,
                                const std::vector<std::string> &params, bool *begun,
                                PgRows *rows);
  // `sql` prepared on `c` once, under the name in `name`; false (logged) when it cannot be.
  bool prepare(PgConn *c, const char *what, const std::string &sql, char (&name)[32]);
  // The user of a session row (id, name, email, last use), whose lifetime its use renews now
  // and then.
  void useSession(PgConn *c, const PgRows &r, const std::string &hash, int64_t now,
                  UserRec *out);
  // prepare() on a connection there is, with `values` pointing into `params`.
  bool prepareWith(PgConn *c, const char *what, const std::string &sql,
                   const std::vector<std::string> &params, char (&name)[32],
                   std::vector<const char *> *values);
  // A statement's result as run() reports it; `r` is taken.
  int outcome(const char *what, PGresult *r, PgRows *rows);
  [[nodiscard]] int spaceForUpdate(PgConn *c, const std::string &serviceId, int64_t *quota,
                                   int64_t *used);
  [[nodiscard]] int loadFile(PgConn *c, const std::string &serviceId, int64_t id, FileRec *out);
  // Props and streams of `files` (their other fields set), in two queries.
  [[nodiscard]] int fillFiles(PgConn *c, std::vector<FileRec> *files);
  // Files from rows of kFileCols.
  [[nodiscard]] int filesFrom(PgConn *c, const PgRows &r, std::vector<FileRec> *out);
  [[nodiscard]] int freeName(PgConn *c, const std::string &serviceId, int64_t parentId,
                             const std::string &name, std::string *out);
  [[nodiscard]] int childExists(PgConn *c, const std::string &serviceId, int64_t parentId,
                                const std::string &name, bool *exists);
  std::string insertToken(PgConn *c, int64_t userId);
  bool readService(const std::string &sql, const std::vector<std::string> &params,
                   std::vector<ServiceRec> *out);
  // sessionDrive, and with `fileId` > 0 sessionDriveFile, as one query.
  SessionFound lookUp(const std::string &token, const std::string &deviceId,
                      const std::string &serviceId, int64_t fileId, UserRec *user,
                      ServiceRec *svc, FileRec *file, int *fileRc);
  // createFile in one transaction of several statements: the way of a file whose name is taken.
  [[nodiscard]] int createNumbered(const ServiceRec &svc, int64_t parentId,
                                   const std::string &name, int type, int64_t ctime,
                                   int64_t mtime, const SvcArgs &props, FileRec *out);

  std::string m_url, m_instance;
  int64_t m_tokenLifetimeMs = 30LL * 24 * 3600 * 1000;
  std::mutex m_poolLock;
  std::condition_variable m_poolFree;
  std::vector<PgConn *> m_idle;
  size_t m_open = 0;
};

// A connection of the pool for one scope.
class PgLease {
 public:
  explicit PgLease(SvcPgStore *s) : m_store(s), m_conn(s->acquire(&m_err)) {}
  ~PgLease() {
    if (m_conn) m_store->release(m_conn);
  }
  PgLease(const PgLease &) = delete;
  PgLease &operator=(const PgLease &) = delete;
  PgConn *get() const { return m_conn; }
  const std::string &error() const { return m_err; }

 private:
  SvcPgStore *m_store;
  std::string m_err;
  PgConn *m_conn;
};

}  // namespace tessel::svc
