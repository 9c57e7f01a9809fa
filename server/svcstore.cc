// SQLite metadata of the service.
#include "svcstore.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>

namespace tessel::svc {

namespace {

constexpr int kPbkdfRounds = 20000;

const char *kSchema =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "PRAGMA foreign_keys=ON;"
    "CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL,"
    " email TEXT, salt BLOB, hash BLOB, created INTEGER);"
    "CREATE TABLE IF NOT EXISTS sessions(hash BLOB PRIMARY KEY, userid INTEGER NOT NULL,"
    " created INTEGER, used INTEGER);"
    "CREATE INDEX IF NOT EXISTS sessions_used ON sessions(used);"
    "CREATE INDEX IF NOT EXISTS sessions_user ON sessions(userid, used);"
    "CREATE TABLE IF NOT EXISTS devices(id TEXT PRIMARY KEY, userid INTEGER NOT NULL, name TEXT);"
    "CREATE TABLE IF NOT EXISTS services(id TEXT PRIMARY KEY, deviceid TEXT NOT NULL,"
    " userid INTEGER NOT NULL, name TEXT, quota INTEGER, online INTEGER DEFAULT 1,"
    " readonly INTEGER DEFAULT 0, transport TEXT DEFAULT 'soap', version TEXT,"
    " used INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS files(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " serviceid TEXT NOT NULL, parentid INTEGER NOT NULL, name TEXT NOT NULL,"
    " type INTEGER NOT NULL, ctime INTEGER, mtime INTEGER, meta INTEGER NOT NULL DEFAULT 0,"
    " taken INTEGER NOT NULL DEFAULT 0, media INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE(serviceid, parentid, name));"
    "CREATE TABLE IF NOT EXISTS props(fileid INTEGER NOT NULL, seq INTEGER NOT NULL, key TEXT,"
    " value TEXT, PRIMARY KEY(fileid, seq));"
    "CREATE TABLE IF NOT EXISTS streams(fileid INTEGER NOT NULL, stream TEXT NOT NULL,"
    " serviceid TEXT NOT NULL, size INTEGER NOT NULL, PRIMARY KEY(fileid, stream));";

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// One prepared statement, finalized on scope exit.
class Stmt {
 public:
  Stmt(sqlite3 *db, const char *sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &m_st, nullptr) != SQLITE_OK) {
      m_err = sqlite3_extended_errcode(db);
      m_st = nullptr;
    }
  }
  ~Stmt() { sqlite3_finalize(m_st); }
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  bool ok() const { return m_st != nullptr; }
  Stmt &bind(int i, const std::string &s) {
    sqlite3_bind_text(m_st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt &bind(int i, int64_t v) {
    sqlite3_bind_int64(m_st, i, v);
    return *this;
  }
  Stmt &bindBlob(int i, const std::string &s) {
    sqlite3_bind_blob(m_st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int step() {
    m_rc = m_st ? sqlite3_step(m_st) : SQLITE_ERROR;
    if (m_st && failed()) m_err = sqlite3_extended_errcode(sqlite3_db_handle(m_st));
    return m_rc;
  }
  bool run() { return step() == SQLITE_DONE; }
  // The last step (or the preparation) failed: an error, not the end of the rows.
  bool failed() const { return !m_st || (m_rc != SQLITE_ROW && m_rc != SQLITE_DONE && m_rc != 0); }
  // The extended code of that failure.
  int error() const { return m_err; }
  int64_t i64(int c) { return sqlite3_column_int64(m_st, c); }
  std::string text(int c) {
    const void *p = sqlite3_column_blob(m_st, c);
    int n = sqlite3_column_bytes(m_st, c);
    return p ? std::string(static_cast<const char *>(p), static_cast<size_t>(n)) : std::string();
  }

 private:
  sqlite3_stmt *m_st = nullptr;
  int m_rc = 0;
  int m_err = SQLITE_ERROR;
};

std::string hashPassword(const std::string &password, const std::string &salt) {
  unsigned char out[32];
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char *>(salt.data()),
                    static_cast<int>(salt.size()), kPbkdfRounds, EVP_sha256(), sizeof out, out);
  return std::string(reinterpret_cast<char *>(out), sizeof out);
}

// Only a digest of each session token is stored: a copy of the database signs no one in.
std::string tokenHash(const std::string &token) {
  unsigned char md[32];
  unsigned int len = 0;
  EVP_Digest(token.data(), token.size(), md, &len, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char *>(md), len);
}

std::string randomBytes(size_t n) {
  std::string s(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char *>(s.data()), static_cast<int>(n)) != 1) abort();
  return s;
}

// A property's leading digits as a number of milliseconds; 0 when it has none.
int64_t propMs(const SvcArgs &props, const char *key) {
  const std::string *v = svcargs__find(props, key);
  if (!v || v->empty() || v->size() > 18 || v->find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::stoll(*v);
}

}  // namespace

void svcstore__dating(const SvcArgs &props, int64_t mtime, int64_t *taken, int *media) {
  *taken = propMs(props, "EXIF-DateTimeOriginal");
  if (*taken <= 0) *taken = propMs(props, "origtime");
  if (*taken <= 0) *taken = mtime;
  const std::string *m = svcargs__find(props, "mimetype");
  *media = !m                                 ? kSvcMediaNone
           : m->compare(0, 6, "image/") == 0 ? kSvcMediaPhoto
           : m->compare(0, 6, "video/") == 0 ? kSvcMediaVideo
                                             : kSvcMediaNone;
}

std::string svcstore__passwordHash(const std::string &password, const std::string &salt) {
  return hashPassword(password, salt);
}

std::string svcstore__tokenHash(const std::string &token) { return tokenHash(token); }

std::string svcstore__randomBytes(size_t n) { return randomBytes(n); }

int64_t svcstore__metaSize(const std::string &name, const SvcArgs &props) {
  int64_t n = 128 + static_cast<int64_t>(name.size());
  for (const auto &[k, v] : props) n += static_cast<int64_t>(k.size() + v.size());
  return n;
}

std::string svc__randomHex(size_t bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string raw = randomBytes(bytes), out;
  for (unsigned char c : raw) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

SvcSqliteStore::~SvcSqliteStore() {
  for (Reader &r : m_readers) {
    sqlite3_finalize(r.content);
    if (r.db) sqlite3_close(r.db);
  }
  if (m_db) sqlite3_close(m_db);
}

bool SvcSqliteStore::exec(const char *sql) {
  return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

int SvcSqliteStore::failure(const char *what) {
  return failure(what, sqlite3_extended_errcode(m_db));
}

int SvcSqliteStore::failure(const char *what, int code) {
  // The system's error of a failed write, which tells a full disk quota from other I/O errors.
  const int sys = (code & 0xff) == SQLITE_IOERR ? sqlite3_system_errno(m_db) : 0;
  std::fprintf(stderr, "tesselsvc: meta.db: %s failed: %s%s%s\n", what, sqlite3_errstr(code),
               sys ? ": " : "", sys ? std::strerror(sys) : "");
  // A full disk (or quota) is the drive's lack of space to the client; anything else an error.
  return (code & 0xff) == SQLITE_FULL || sys == ENOSPC || sys == EDQUOT ? kSvcNoSpace
                                                                        : kSvcInternal;
}

int SvcSqliteStore::begin() {
  return exec("BEGIN IMMEDIATE") ? kSvcOk : failure("BEGIN");
}

void SvcSqliteStore::rollback() {
  // A failed statement or COMMIT may already have ended the transaction.
  if (!sqlite3_get_autocommit(m_db)) exec("ROLLBACK");
}

int SvcSqliteStore::commit(const char *what) {
  if (exec("COMMIT")) return kSvcOk;
  const int rc = failure(what);
  rollback();
  return rc;
}

int SvcSqliteStore::spaceLocked(const std::string &serviceId, int64_t *quota, int64_t *used) {
  Stmt q(m_db, "SELECT quota, used FROM services WHERE id=?");
  q.bind(1, serviceId);
  if (q.step() != SQLITE_ROW) return q.failed() ? failure("reading a drive") : kSvcNoService;
  *quota = q.i64(0);
  *used = q.i64(1);
  return kSvcOk;
}

int SvcSqliteStore::addUsed(const std::string &serviceId, int64_t delta) {
  Stmt u(m_db, "UPDATE services SET used=used+? WHERE id=?");
  return u.bind(1, delta).bind(2, serviceId).run() ? kSvcOk : failure("counting used space");
}

bool SvcSqliteStore::open(const std::string &dir, std::string *err) {
  std::string path = dir + "/meta.db";
  // The database holds session tokens: create it private before SQLite opens it.
  // Never through a link: the service would write its users and tokens wherever it points.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      fchmod(fd, 0600) != 0) {
    *err = "cannot use " + path + ": " +
           (fd < 0 ? std::strerror(errno) : "not a private file of this user");
    if (fd >= 0) close(fd);
    return false;
  }
  close(fd);
  mode_t old = umask(077);  // the WAL and shared-memory files too
  int rc = sqlite3_open_v2(
      path.c_str(), &m_db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
      nullptr);
  if (rc == SQLITE_OK) sqlite3_busy_timeout(m_db, 10000);
  bool ok = rc == SQLITE_OK && exec(kSchema) && migrate();
  umask(old);
  if (!ok) {
    *err = "cannot open " + path + ": " + (m_db ? sqlite3_errmsg(m_db) : "out of memory");
    return false;
  }
  // Without them the same answers come from the main connection, only more slowly.
  if (!openReaders(path)) std::fprintf(stderr, "tesselsvc: meta.db: no read connections\n");
  return true;
}

namespace {

// The session's user, its last use, the drive's owner and state, the file's kind, name and
// mimetype, and whether the stream is stored: one row, or none without a live session.
const char kWebContentSql[] =
    "SELECT t.userid, t.used, s.userid, s.online, f.type, f.name,"
    " (SELECT value FROM props WHERE fileid=f.id AND key='mimetype' ORDER BY seq LIMIT 1),"
    " EXISTS(SELECT 1 FROM streams WHERE fileid=f.id AND stream=?3)"
    " FROM sessions t JOIN users u ON u.id=t.userid"
    " LEFT JOIN services s ON s.id=?2"
    " LEFT JOIN files f ON f.id=?4 AND f.serviceid=?2"
    " WHERE t.hash=?1 AND t.used>=?5";

}  // namespace

bool SvcSqliteStore::openReaders(const std::string &path) {
  for (Reader &r : m_readers) {
    const bool ok =
        sqlite3_open_v2(path.c_str(), &r.db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                        nullptr) == SQLITE_OK &&
        sqlite3_busy_timeout(r.db, 10000) == SQLITE_OK &&
        // Pages are read from a mapping, not copied in by a call each.
        sqlite3_exec(r.db, "PRAGMA query_only=1; PRAGMA mmap_size=268435456;", nullptr, nullptr,
                     nullptr) == SQLITE_OK &&
        sqlite3_prepare_v3(r.db, kWebContentSql, -1, SQLITE_PREPARE_PERSISTENT, &r.content,
                           nullptr) == SQLITE_OK;
    if (!ok) {
      for (Reader &c : m_readers) {
        sqlite3_finalize(c.content);
        sqlite3_close(c.db);
        c.content = nullptr;
        c.db = nullptr;
      }
      return false;
    }
  }
  return true;
}

SvcSqliteStore::Reader *SvcSqliteStore::reader() {
  if (!m_readers[0].db) return nullptr;
  // A free one if there is one, else wait for the next in turn.
  const unsigned start = m_nextReader.fetch_add(1, std::memory_order_relaxed);
  for (unsigned i = 0; i < kReaders; i++) {
    Reader &r = m_readers[(start + i) % kReaders];
    if (r.lock.try_lock()) return &r;
  }
  Reader &r = m_readers[start % kReaders];
  r.lock.lock();
  return &r;
}

int SvcSqliteStore::webContent(const std::string &token, const std::string &serviceId,
                               int64_t fileId, const std::string &stream, WebContent *out) {
  return contentLookUp(token, serviceId, fileId, stream, out, nullptr);
}

int SvcSqliteStore::webContentAtHand(const std::string &token, const std::string &serviceId,
                                     int64_t fileId, const std::string &stream, WebContent *out,
                                     bool *later) {
  *later = false;
  return contentLookUp(token, serviceId, fileId, stream, out, later);
}

// With `later`, nothing that waits for the main connection: the caller asks again without.
int SvcSqliteStore::contentLookUp(const std::string &token, const std::string &serviceId,
                                  int64_t fileId, const std::string &stream, WebContent *out,
                                  bool *later) {
  *out = WebContent();
  if (token.size() != 32) return kSvcOk;
  Reader *r = reader();
  if (!r && later) {
    *later = true;
    return kSvcOk;
  }
  if (!r) return SvcStore::webContent(token, serviceId, fileId, stream, out);
  const int64_t now = nowMs();
  const std::string hash = tokenHash(token);
  int64_t used = 0;
  int rc = SQLITE_OK;
  {
    std::lock_guard<std::mutex> g(r->lock, std::adopt_lock);
    sqlite3_stmt *st = r->content;
    sqlite3_bind_blob(st, 1, hash.data(), static_cast<int>(hash.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 2, serviceId.data(), static_cast<int>(serviceId.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 3, stream.data(), static_cast<int>(stream.size()), SQLITE_STATIC);
    sqlite3_bind_int64(st, 4, fileId);
    sqlite3_bind_int64(st, 5, now - m_tokenLifetimeMs);
    rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
      out->userId = sqlite3_column_int64(st, 0);
      used = sqlite3_column_int64(st, 1);
      out->found = WebContent::kNoDrive;
      if (sqlite3_column_type(st, 2) != SQLITE_NULL && sqlite3_column_int64(st, 2) == out->userId) {
        out->found = WebContent::kNoFile;
        out->online = sqlite3_column_int64(st, 3) != 0;
        if (sqlite3_column_type(st, 4) != SQLITE_NULL && sqlite3_column_int64(st, 4) == 0) {
          out->found = WebContent::kFile;
          auto text = [st](int c) {
            const void *p = sqlite3_column_blob(st, c);
            return p ? std::string(static_cast<const char *>(p),
                                   static_cast<size_t>(sqlite3_column_bytes(st, c)))
                     : std::string();
          };
          out->name = text(5);
          out->mimetype = text(6);
          out->stored = sqlite3_column_int64(st, 7) != 0;
        }
      }
    } else if (rc != SQLITE_DONE) {
      rc = sqlite3_extended_errcode(r->db);
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    *out = WebContent();
    return failure("reading a file for the pages", rc);
  }
  // Use renews the session now and then, on the main connection, as userForToken does.
  UserRec user;
  if (rc == SQLITE_ROW && now - used > std::min<int64_t>(60000, m_tokenLifetimeMs / 10)) {
    if (later) {
      *out = WebContent();
      *later = true;
      return kSvcOk;
    }
    (void)userForToken(token, &user);
  }
  return kSvcOk;
}

bool SvcSqliteStore::migrate() {
  // Older folders: a files table without the metadata size, drives without a version or a
  // running total of their used space, tokens kept in clear.
  bool hasMeta = false, hasVersion = false, hasUsed = false, hasTokens = false, hasTaken = false;
  {
    Stmt c(m_db, "SELECT name FROM pragma_table_info('files')");
    while (c.step() == SQLITE_ROW) {
      hasMeta = hasMeta || c.text(0) == "meta";
      hasTaken = hasTaken || c.text(0) == "taken";
    }
    Stmt v(m_db, "SELECT name FROM pragma_table_info('services')");
    while (v.step() == SQLITE_ROW) {
      hasVersion = hasVersion || v.text(0) == "version";
      hasUsed = hasUsed || v.text(0) == "used";
    }
    Stmt t(m_db, "SELECT name FROM sqlite_master WHERE type='table' AND name='tokens'");
    hasTokens = t.step() == SQLITE_ROW;
    if (c.failed() || v.failed() || t.failed()) return false;
  }
  if (!hasMeta && !exec("ALTER TABLE files ADD COLUMN meta INTEGER NOT NULL DEFAULT 0"))
    return false;
  if (!hasVersion && !exec("ALTER TABLE services ADD COLUMN version TEXT")) return false;
  if (!hasTaken && !datePhotos()) return false;
  // The photo pages' list, newest first; folder listings use the unique (parent, name) index.
  if (!exec("CREATE INDEX IF NOT EXISTS files_taken ON files(serviceid, taken DESC, id DESC)"
            " WHERE media>0"))
    return false;
  if (!hasUsed) {
    // The used space was summed over every stream at each upload; it is a running total now,
    // counted once from what the drive holds.
    bool ok = exec("BEGIN IMMEDIATE") &&
              exec("ALTER TABLE services ADD COLUMN used INTEGER NOT NULL DEFAULT 0") &&
              exec(
                  "UPDATE services SET used ="
                  " (SELECT COALESCE(SUM(size),0) FROM streams WHERE serviceid=services.id)"
                  " + (SELECT COALESCE(SUM(meta),0) FROM files WHERE serviceid=services.id)") &&
              exec("COMMIT");
    if (!ok) {
      rollback();
      return false;
    }
  }
  if (!hasTokens) return true;
  if (!exec("BEGIN IMMEDIATE")) return false;
  bool ok = true;
  {
    Stmt t(m_db, "SELECT token, userid, created FROM tokens");
    while (ok && t.step() == SQLITE_ROW) {
      Stmt i(m_db, "INSERT OR IGNORE INTO sessions(hash, userid, created, used) VALUES(?,?,?,?)");
      ok = i.bindBlob(1, tokenHash(t.text(0)))
               .bind(2, t.i64(1))
               .bind(3, t.i64(2))
               .bind(4, nowMs())
               .run();
    }
    ok = ok && !t.failed();
  }
  ok = ok && exec("DROP TABLE tokens") && exec("COMMIT");
  if (!ok) rollback();
  return ok;
}

bool SvcSqliteStore::datePhotos() {
  // Files stored before the photo pages get their date and kind once, from their properties.
  if (!exec("BEGIN IMMEDIATE")) return false;
  bool ok = exec("ALTER TABLE files ADD COLUMN taken INTEGER NOT NULL DEFAULT 0") &&
            exec("ALTER TABLE files ADD COLUMN media INTEGER NOT NULL DEFAULT 0");
  {
    Stmt f(m_db, "SELECT id, mtime FROM files WHERE type=0");
    while (ok && f.step() == SQLITE_ROW) {
      SvcArgs props;
      Stmt p(m_db, "SELECT key, value FROM props WHERE fileid=? ORDER BY seq");
      p.bind(1, f.i64(0));
      while (p.step() == SQLITE_ROW) props.emplace_back(p.text(0), p.text(1));
      int64_t taken = 0;
      int media = 0;
      svcstore__dating(props, f.i64(1), &taken, &media);
      Stmt u(m_db, "UPDATE files SET taken=?, media=? WHERE id=?");
      ok = !p.failed() && u.bind(1, taken).bind(2, int64_t{media}).bind(3, f.i64(0)).run();
    }
    ok = ok && !f.failed();
  }
  ok = ok && exec("COMMIT");
  if (!ok) rollback();
  return ok;
}

bool SvcSqliteStore::addUser(const std::string &name, const std::string &password, int64_t quota,
                       int drives, const std::string &transport, NewUser *out, std::string *err) {
  std::lock_guard<std::mutex> g(m_lock);
  if (name.empty() || name.size() > 128) {
    *err = "bad user name";
    return false;
  }
  if (begin() != kSvcOk) {
    *err = std::string("cannot add user: ") + sqlite3_errmsg(m_db);
    return false;
  }
  std::string salt = randomBytes(16);
  Stmt u(m_db, "INSERT INTO users(name, email, salt, hash, created) VALUES(?,?,?,?,?)");
  std::string email = name.find('@') != std::string::npos ? name : name + "@localhost";
  if (!u.bind(1, name)
           .bind(2, email)
           .bindBlob(3, salt)
           .bindBlob(4, hashPassword(password, salt))
           .bind(5, nowMs())
           .run()) {
    *err = std::string("cannot add user: ") + sqlite3_errmsg(m_db);
    rollback();
    return false;
  }
  int64_t uid = sqlite3_last_insert_rowid(m_db);
  out->user = name;
  out->deviceId = "dev" + svc__randomHex(8);
  Stmt d(m_db, "INSERT INTO devices(id, userid, name) VALUES(?,?,?)");
  bool ok = d.bind(1, out->deviceId).bind(2, uid).bind(3, name + "'s drive").run();
  for (int i = 0; ok && i < drives; i++) {
    std::string sid = "svc" + svc__randomHex(8);
    Stmt s(m_db,
           "INSERT INTO services(id, deviceid, userid, name, quota, transport)"
           " VALUES(?,?,?,?,?,?)");
    ok = s.bind(1, sid)
             .bind(2, out->deviceId)
             .bind(3, uid)
             .bind(4, drives == 1 ? std::string("Drive") : "Drive " + std::to_string(i + 1))
             .bind(5, quota)
             .bind(6, transport)
             .run();
    out->serviceIds.push_back(sid);
  }
  if (!ok) {
    *err = std::string("cannot add drives: ") + sqlite3_errmsg(m_db);
    rollback();
    return false;
  }
  if (commit("adding a user") != kSvcOk) {
    *err = std::string("cannot add user: ") + sqlite3_errmsg(m_db);
    return false;
  }
  out->token = insertToken(uid);
  if (out->token.empty()) {
    *err = std::string("cannot make a session token: ") + sqlite3_errmsg(m_db);
    return false;
  }
  return true;
}

bool SvcSqliteStore::checkPassword(const std::string &name, const std::string &password,
                             int64_t *userId) {
  std::string salt, hash;
  {
    std::lock_guard<std::mutex> g(m_lock);
    Stmt s(m_db, "SELECT id, salt, hash FROM users WHERE name=?");
    s.bind(1, name);
    if (s.step() == SQLITE_ROW) {
      *userId = s.i64(0);
      salt = s.text(1);
      hash = s.text(2);
    }
  }
  if (hash.empty()) {
    // The same cost whether or not the name exists, outside the lock that every call takes.
    hashPassword(password, "dummy-salt-value");
    return false;
  }
  std::string h = hashPassword(password, salt);
  return h.size() == hash.size() && CRYPTO_memcmp(h.data(), hash.data(), h.size()) == 0;
}

bool SvcSqliteStore::userByName(const std::string &name, int64_t *userId) {
  std::lock_guard<std::mutex> g(m_lock);
  Stmt s(m_db, "SELECT id FROM users WHERE name=?");
  s.bind(1, name);
  if (s.step() != SQLITE_ROW) return false;
  *userId = s.i64(0);
  return true;
}

std::string SvcSqliteStore::insertToken(int64_t userId) {
  std::string token = svc__randomHex(16);
  int64_t now = nowMs();
  if (begin() != kSvcOk) return std::string();
  Stmt t(m_db, "INSERT INTO sessions(hash, userid, created, used) VALUES(?,?,?,?)");
  // Expired sessions go, and a user keeps at most kMaxSessions of the newest.
  Stmt e(m_db, "DELETE FROM sessions WHERE used < ?");
  Stmt k(m_db,
         "DELETE FROM sessions WHERE userid=? AND hash NOT IN"
         " (SELECT hash FROM sessions WHERE userid=? ORDER BY used DESC LIMIT ?)");
  Stmt *failed = nullptr;
  if (!t.bindBlob(1, tokenHash(token)).bind(2, userId).bind(3, now).bind(4, now).run())
    failed = &t;
  else if (!e.bind(1, now - m_tokenLifetimeMs).run())
    failed = &e;
  else if (!k.bind(1, userId).bind(2, userId).bind(3, int64_t{kMaxSessions}).run())
    failed = &k;
  if (failed) {
    failure("storing a session", failed->error());
    rollback();
    return std::string();
  }
  return commit("storing a session") == kSvcOk ? token : std::string();
}

std::string SvcSqliteStore::newToken(int64_t userId) {
  std::lock_guard<std::mutex> g(m_lock);
  return insertToken(userId);
}

bool SvcSqliteStore::userForToken(const std::string &token, UserRec *out) {
  if (token.size() != 32) return false;
  std::lock_guard<std::mutex> g(m_lock);
  int64_t now = nowMs();
  std::string hash = tokenHash(token);
  Stmt s(m_db,
         "SELECT u.id, u.name, u.email, t.used FROM sessions t JOIN users u ON u.id=t.userid"
         " WHERE t.hash=? AND t.used>=?");
  s.bindBlob(1, hash).bind(2, now - m_tokenLifetimeMs);
  if (s.step() != SQLITE_ROW) return false;
  out->id = s.i64(0);
  out->name = s.text(1);
  out->email = s.text(2);
  // Use renews the lifetime; the row is written again only now and then. A renewal that cannot
  // be stored (a full disk) only leaves the session its older time: the call still goes on,
  // so that a user can free space.
  if (now - s.i64(3) > std::min<int64_t>(60000, m_tokenLifetimeMs / 10)) {
    Stmt u(m_db, "UPDATE sessions SET used=? WHERE hash=?");
    if (!u.bind(1, now).bindBlob(2, hash).run()) failure("renewing a session");
  }
  return true;
}

bool SvcSqliteStore::revokeToken(const std::string &token) {
  std::lock_guard<std::mutex> g(m_lock);
  Stmt s(m_db, "DELETE FROM sessions WHERE hash=?");
  return s.bindBlob(1, tokenHash(token)).run() && sqlite3_changes(m_db) > 0;
}

static const char *kServiceCols =
    "SELECT id, deviceid, userid, name, quota, online, readonly, transport, version, used"
    " FROM services ";

static void readService(Stmt &s, ServiceRec *r) {
  r->id = s.text(0);
  r->deviceId = s.text(1);
  r->userId = s.i64(2);
  r->name = s.text(3);
  r->quota = s.i64(4);
  r->online = s.i64(5) != 0;
  r->readOnly = s.i64(6) != 0;
  r->transport = s.text(7);
  r->version = s.text(8);
  r->used = s.i64(9);
}

std::vector<ServiceRec> SvcSqliteStore::services(int64_t userId) {
  std::lock_guard<std::mutex> g(m_lock);
  std::vector<ServiceRec> out;
  Stmt s(m_db, (std::string(kServiceCols) + "WHERE userid=? ORDER BY rowid").c_str());
  s.bind(1, userId);
  while (s.step() == SQLITE_ROW) {
    out.emplace_back();
    readService(s, &out.back());
  }
  return out;
}

bool SvcSqliteStore::service(int64_t userId, const std::string &deviceId, const std::string &serviceId,
                       ServiceRec *out) {
  std::lock_guard<std::mutex> g(m_lock);
  Stmt s(m_db, (std::string(kServiceCols) + "WHERE id=? AND deviceid=? AND userid=?").c_str());
  s.bind(1, serviceId).bind(2, deviceId).bind(3, userId);
  if (s.step() != SQLITE_ROW) return false;
  readService(s, out);
  return true;
}

bool SvcSqliteStore::serviceById(const std::string &serviceId, ServiceRec *out) {
  std::lock_guard<std::mutex> g(m_lock);
  Stmt s(m_db, (std::string(kServiceCols) + "WHERE id=?").c_str());
  s.bind(1, serviceId);
  if (s.step() != SQLITE_ROW) return false;
  readService(s, out);
  return true;
}

bool SvcSqliteStore::setOnline(const std::string &serviceId, bool online) {
  std::lock_guard<std::mutex> g(m_lock);
  Stmt s(m_db, "UPDATE services SET online=? WHERE id=?");
  return s.bind(1, online ? 1 : 0).bind(2, serviceId).run() && sqlite3_changes(m_db) > 0;
}

bool SvcSqliteStore::setQuota(const std::string &serviceId, int64_t quota) {
  std::lock_guard<std::mutex> g(m_lock);
  Stmt s(m_db, "UPDATE services SET quota=? WHERE id=?");
  return s.bind(1, quota).bind(2, serviceId).run() && sqlite3_changes(m_db) > 0;
}

bool SvcSqliteStore::setVersion(const std::string &serviceId, const std::string &version) {
  std::lock_guard<std::mutex> g(m_lock);
  Stmt s(m_db, "UPDATE services SET version=? WHERE id=?");
  return s.bind(1, version).bind(2, serviceId).run() && sqlite3_changes(m_db) > 0;
}

int SvcSqliteStore::loadFile(const std::string &serviceId, int64_t id, FileRec *out) {
  if (id == 0) {
    *out = FileRec();
    out->name = ".";
    out->type = 1;
    out->id = 0;
    return kSvcOk;
  }
  Stmt s(m_db,
         "SELECT parentid, name, type, ctime, mtime, taken, media FROM files"
         " WHERE id=? AND serviceid=?");
  s.bind(1, id).bind(2, serviceId);
  if (s.step() != SQLITE_ROW) return s.failed() ? failure("reading a file") : kSvcNoFile;
  out->id = id;
  out->parentId = s.i64(0);
  out->name = s.text(1);
  out->type = static_cast<int>(s.i64(2));
  out->ctime = s.i64(3);
  out->mtime = s.i64(4);
  out->taken = s.i64(5);
  out->media = static_cast<int>(s.i64(6));
  out->props.clear();
  Stmt p(m_db, "SELECT key, value FROM props WHERE fileid=? ORDER BY seq");
  p.bind(1, id);
  while (p.step() == SQLITE_ROW) out->props.emplace_back(p.text(0), p.text(1));
  out->size = -1;
  out->renditions.clear();
  Stmt z(m_db, "SELECT stream, size FROM streams WHERE fileid=? ORDER BY stream");
  z.bind(1, id);
  while (z.step() == SQLITE_ROW) {
    if (z.text(0).empty())
      out->size = z.i64(1);
    else
      out->renditions.push_back(z.text(0));
  }
  if (p.failed() || z.failed()) return failure("reading a file", (p.failed() ? p : z).error());
  return kSvcOk;
}

int SvcSqliteStore::createFile(const ServiceRec &svc, int64_t parentId, const std::string &name, int type,
                         int64_t ctime, int64_t mtime, const SvcArgs &props, FileRec *out) {
  std::lock_guard<std::mutex> g(m_lock);
  FileRec parent;
  int rc = loadFile(svc.id, parentId, &parent);
  if (rc != kSvcOk) return rc;
  if (parent.type != 1) return kSvcNotFolder;
  std::string stored = name;
  bool taken = false;
  if ((rc = childExists(svc.id, parentId, name, &taken)) != kSvcOk) return rc;
  if (taken) {
    // Folders are found again by name. A file never replaces another: two cameras both make
    // IMG_0001.JPG, and a changed photo must be able to go up beside its old version.
    if (type == 1) return kSvcExists;
    if ((rc = freeName(svc.id, parentId, name, &stored)) != kSvcOk) return rc;
  }
  // Names and properties take room on the drive like content does.
  int64_t meta = svcstore__metaSize(stored, props), quota = 0, used = 0;
  if ((rc = spaceLocked(svc.id, &quota, &used)) != kSvcOk) return rc;
  if (used + meta > quota) return kSvcNoSpace;
  int64_t takenMs = 0;
  int media = kSvcMediaNone;
  if (type == 0) svcstore__dating(props, mtime, &takenMs, &media);
  if ((rc = begin()) != kSvcOk) return rc;
  Stmt s(m_db,
         "INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta, taken, media)"
         " VALUES(?,?,?,?,?,?,?,?,?)");
  if (!s.bind(1, svc.id)
           .bind(2, parentId)
           .bind(3, stored)
           .bind(4, int64_t{type})
           .bind(5, ctime)
           .bind(6, mtime)
           .bind(7, meta)
           .bind(8, takenMs)
           .bind(9, int64_t{media})
           .run()) {
    rc = sqlite3_extended_errcode(m_db) == SQLITE_CONSTRAINT_UNIQUE ? kSvcExists
                                                                    : failure("creating a file");
    rollback();
    return rc;
  }
  const int64_t id = sqlite3_last_insert_rowid(m_db);
  int64_t seq = 0;
  for (const auto &[k, v] : props) {
    Stmt p(m_db, "INSERT INTO props(fileid, seq, key, value) VALUES(?,?,?,?)");
    if (!p.bind(1, id).bind(2, seq++).bind(3, k).bind(4, v).run()) {
      rc = failure("storing a property");
      rollback();
      return rc;
    }
  }
  if ((rc = addUsed(svc.id, meta)) != kSvcOk) {
    rollback();
    return rc;
  }
  if ((rc = commit("creating a file")) != kSvcOk) return rc;
  // The answer is what was stored, not read back: nothing after the commit can fail.
  *out = svc__fileRec(id, parentId, stored, type, ctime, mtime, props, takenMs, media);
  return kSvcOk;
}

int SvcSqliteStore::childExists(const std::string &serviceId, int64_t parentId, const std::string &name,
                          bool *exists) {
  Stmt e(m_db, "SELECT id FROM files WHERE serviceid=? AND parentid=? AND name=?");
  e.bind(1, serviceId).bind(2, parentId).bind(3, name);
  *exists = e.step() == SQLITE_ROW;
  return e.failed() ? failure("looking up a name") : kSvcOk;
}

int SvcSqliteStore::freeName(const std::string &serviceId, int64_t parentId, const std::string &name,
                       std::string *out) {
  // "NAME.EXT" becomes "NAME (N).EXT" with the smallest free N from 2; a name without an
  // extension (or only a leading dot) gets " (N)" at its end.
  size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string::npos) dot = name.size();
  const std::string stem = name.substr(0, dot), ext = name.substr(dot);
  // The numbers taken, in one range scan of the folder's names that start with "STEM (".
  const std::string prefix = stem + " (";
  std::string upper = prefix;
  upper.back() = '(' + 1;
  std::set<int64_t> taken;
  Stmt r(m_db, "SELECT name FROM files WHERE serviceid=? AND parentid=? AND name>=? AND name<?");
  r.bind(1, serviceId).bind(2, parentId).bind(3, prefix).bind(4, upper);
  while (r.step() == SQLITE_ROW) {
    const std::string n = r.text(0);
    if (n.size() <= prefix.size() + ext.size() + 1) continue;
    const size_t close = n.size() - ext.size() - 1;
    if (n[close] != ')' || n.compare(close + 1, ext.size(), ext) != 0) continue;
    const std::string digits = n.substr(prefix.size(), close - prefix.size());
    if (digits.size() < 10 && digits[0] != '0' &&
        digits.find_first_not_of("0123456789") == std::string::npos)
      taken.insert(std::stoll(digits));
  }
  if (r.failed()) return failure("looking up names");
  int64_t n = 2;
  for (int tries = 0; tries < 1000; ++tries, ++n) {
    while (taken.count(n)) ++n;
    const std::string tail = " (" + std::to_string(n) + ")" + ext;
    if (tail.size() >= kSvcMaxName) return kSvcExists;
    // A long name loses the end of its stem (never half a character) to keep the limit.
    size_t keep = std::min(stem.size(), kSvcMaxName - tail.size());
    while (keep > 0 && keep < stem.size() &&
           (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80)
      --keep;
    const std::string candidate = stem.substr(0, keep) + tail;
    bool exists = false;
    if (int rc = childExists(serviceId, parentId, candidate, &exists); rc != kSvcOk) return rc;
    if (!exists) {
      *out = candidate;
      return kSvcOk;
    }
  }
  return kSvcExists;
}

int SvcSqliteStore::getFile(const ServiceRec &svc, int64_t id, FileRec *out) {
  std::lock_guard<std::mutex> g(m_lock);
  return loadFile(svc.id, id, out);
}

int SvcSqliteStore::findChild(const ServiceRec &svc, int64_t parentId, const std::string &name,
                        FileRec *out) {
  std::lock_guard<std::mutex> g(m_lock);
  Stmt e(m_db, "SELECT id FROM files WHERE serviceid=? AND parentid=? AND name=?");
  e.bind(1, svc.id).bind(2, parentId).bind(3, name);
  if (e.step() != SQLITE_ROW) return e.failed() ? failure("looking up a name") : kSvcNoFile;
  return loadFile(svc.id, e.i64(0), out);
}

int SvcSqliteStore::listFiles(const ServiceRec &svc, int64_t parentId, int64_t offset, int64_t count,
                        std::vector<FileRec> *out) {
  std::lock_guard<std::mutex> g(m_lock);
  FileRec parent;
  int rc = loadFile(svc.id, parentId, &parent);
  if (rc != kSvcOk) return rc;
  if (parent.type != 1) return kSvcNotFolder;
  std::vector<int64_t> ids;
  {
    Stmt s(m_db,
           "SELECT id FROM files WHERE serviceid=? AND parentid=? ORDER BY name, id"
           " LIMIT ? OFFSET ?");
    s.bind(1, svc.id).bind(2, parentId).bind(3, count).bind(4, offset);
    while (s.step() == SQLITE_ROW) ids.push_back(s.i64(0));
    if (s.failed()) return failure("listing a folder");
  }
  for (int64_t id : ids) {
    out->emplace_back();
    if ((rc = loadFile(svc.id, id, &out->back())) != kSvcOk) return rc;
  }
  return kSvcOk;
}

int SvcSqliteStore::photos(const ServiceRec &svc, int64_t beforeTaken, int64_t beforeId, int64_t count,
                     std::vector<FileRec> *out) {
  std::lock_guard<std::mutex> g(m_lock);
  std::vector<int64_t> ids;
  {
    // Keyset paging along files_taken: no OFFSET, so that no page walks the ones before it.
    Stmt s(m_db,
           beforeId < 0
               ? "SELECT id FROM files WHERE serviceid=?1 AND media>0"
                 " ORDER BY taken DESC, id DESC LIMIT ?4"
               : "SELECT id FROM files WHERE serviceid=?1 AND media>0"
                 " AND (taken<?2 OR (taken=?2 AND id<?3)) ORDER BY taken DESC, id DESC LIMIT ?4");
    s.bind(1, svc.id).bind(2, beforeTaken).bind(3, beforeId).bind(4, count);
    while (s.step() == SQLITE_ROW) ids.push_back(s.i64(0));
    if (s.failed()) return failure("listing photos");
  }
  for (int64_t id : ids) {
    out->emplace_back();
    if (int rc = loadFile(svc.id, id, &out->back()); rc != kSvcOk) return rc;
  }
  return kSvcOk;
}

int SvcSqliteStore::children(const ServiceRec &svc, int64_t parentId, int type,
                       const std::string &afterName, int64_t count, std::vector<FileRec> *out) {
  std::lock_guard<std::mutex> g(m_lock);
  FileRec parent;
  int rc = loadFile(svc.id, parentId, &parent);
  if (rc != kSvcOk) return rc;
  if (parent.type != 1) return kSvcNotFolder;
  std::vector<int64_t> ids;
  {
    Stmt s(m_db,
           "SELECT id FROM files WHERE serviceid=? AND parentid=? AND name>? AND type=?"
           " ORDER BY name LIMIT ?");
    s.bind(1, svc.id).bind(2, parentId).bind(3, afterName).bind(4, int64_t{type}).bind(5, count);
    while (s.step() == SQLITE_ROW) ids.push_back(s.i64(0));
    if (s.failed()) return failure("listing a folder");
  }
  for (int64_t id : ids) {
    out->emplace_back();
    if ((rc = loadFile(svc.id, id, &out->back())) != kSvcOk) return rc;
  }
  return kSvcOk;
}

int SvcSqliteStore::moveFile(const ServiceRec &svc, int64_t id, int64_t newParentId,
                       const std::string &newName, FileRec *out) {
  std::lock_guard<std::mutex> g(m_lock);
  FileRec f, parent;
  if (id == 0) return kSvcBadRequest;
  int rc = loadFile(svc.id, id, &f);
  if (rc == kSvcOk) rc = loadFile(svc.id, newParentId, &parent);
  if (rc != kSvcOk) return rc;
  if (parent.type != 1) return kSvcNotFolder;
  if (f.parentId == newParentId && f.name == newName) {
    *out = f;
    return kSvcOk;
  }
  // A folder cannot go inside itself: walk up from the new parent to the root.
  for (int64_t up = newParentId, steps = 0; up != 0; ++steps) {
    if (up == id || steps > 1000000) return kSvcBadRequest;
    Stmt u(m_db, "SELECT parentid FROM files WHERE serviceid=? AND id=?");
    u.bind(1, svc.id).bind(2, up);
    if (u.step() != SQLITE_ROW) return u.failed() ? failure("reading a folder") : kSvcNoFile;
    up = u.i64(0);
  }
  bool taken = false;
  if ((rc = childExists(svc.id, newParentId, newName, &taken)) != kSvcOk) return rc;
  if (taken) return kSvcExists;
  // The name is part of what the entry counts against the drive's space.
  Stmt m(m_db, "SELECT meta FROM files WHERE id=?");
  m.bind(1, id);
  if (m.step() != SQLITE_ROW) return failure("reading a file");
  const int64_t oldMeta = m.i64(0);
  const int64_t meta =
      oldMeta + static_cast<int64_t>(newName.size()) - static_cast<int64_t>(f.name.size());
  int64_t quota = 0, used = 0;
  if ((rc = spaceLocked(svc.id, &quota, &used)) != kSvcOk) return rc;
  if (meta > oldMeta && used + meta - oldMeta > quota) return kSvcNoSpace;
  if ((rc = begin()) != kSvcOk) return rc;
  Stmt s(m_db, "UPDATE files SET parentid=?, name=?, meta=? WHERE id=?");
  if (!s.bind(1, newParentId).bind(2, newName).bind(3, meta).bind(4, id).run()) {
    rc = sqlite3_extended_errcode(m_db) == SQLITE_CONSTRAINT_UNIQUE ? kSvcExists
                                                                    : failure("moving a file");
    rollback();
    return rc;
  }
  if ((rc = addUsed(svc.id, meta - oldMeta)) != kSvcOk) {
    rollback();
    return rc;
  }
  if ((rc = commit("moving a file")) != kSvcOk) return rc;
  f.parentId = newParentId;
  f.name = newName;
  *out = f;
  return kSvcOk;
}

int SvcSqliteStore::removeFile(const ServiceRec &svc, int64_t id, std::vector<int64_t> *removed) {
  std::lock_guard<std::mutex> g(m_lock);
  FileRec f;
  if (id == 0) return kSvcBadRequest;
  int rc = loadFile(svc.id, id, &f);
  if (rc != kSvcOk) return rc;
  std::vector<int64_t> all, todo{id};
  while (!todo.empty()) {
    int64_t cur = todo.back();
    todo.pop_back();
    all.push_back(cur);
    Stmt s(m_db, "SELECT id FROM files WHERE serviceid=? AND parentid=?");
    s.bind(1, svc.id).bind(2, cur);
    while (s.step() == SQLITE_ROW) todo.push_back(s.i64(0));
    if (s.failed()) return failure("listing a folder");
  }
  if ((rc = begin()) != kSvcOk) return rc;
  // What the entries and their content counted against the drive goes with them.
  int64_t freed = 0;
  for (int64_t r : all) {
    Stmt n(m_db,
           "SELECT (SELECT COALESCE(SUM(meta),0) FROM files WHERE id=?1)"
           " + (SELECT COALESCE(SUM(size),0) FROM streams WHERE fileid=?1)");
    Stmt a(m_db, "DELETE FROM files WHERE id=?");
    Stmt b(m_db, "DELETE FROM props WHERE fileid=?");
    Stmt c(m_db, "DELETE FROM streams WHERE fileid=?");
    Stmt *failed = n.bind(1, r).step() != SQLITE_ROW ? &n
                   : !a.bind(1, r).run()             ? &a
                   : !b.bind(1, r).run()             ? &b
                   : !c.bind(1, r).run()             ? &c
                                                     : nullptr;
    if (failed) {
      rc = failure("removing a file", failed->error());
      rollback();
      return rc;
    }
    freed += n.i64(0);
  }
  if ((rc = addUsed(svc.id, -freed)) != kSvcOk) {
    rollback();
    return rc;
  }
  if ((rc = commit("removing a file")) != kSvcOk) return rc;
  // Only now may the caller delete content: a removal that was not stored keeps its files.
  *removed = std::move(all);
  return kSvcOk;
}

int64_t SvcSqliteStore::streamSize(int64_t fileId, const std::string &stream) {
  std::lock_guard<std::mutex> g(m_lock);
  Stmt z(m_db, "SELECT size FROM streams WHERE fileid=? AND stream=?");
  z.bind(1, fileId).bind(2, stream);
  return z.step() == SQLITE_ROW ? z.i64(0) : -1;
}

int SvcSqliteStore::room(const std::string &serviceId, int64_t fileId, const std::string &stream,
                   int64_t *out) {
  std::lock_guard<std::mutex> g(m_lock);
  int64_t quota = 0, used = 0;
  int rc = spaceLocked(serviceId, &quota, &used);
  if (rc != kSvcOk) return rc;
  Stmt z(m_db, "SELECT size FROM streams WHERE fileid=? AND stream=?");
  z.bind(1, fileId).bind(2, stream);
  int64_t old = z.step() == SQLITE_ROW ? z.i64(0) : 0;
  if (z.failed()) return failure("reading a stream");
  *out = quota - used + old;
  return kSvcOk;
}

int SvcSqliteStore::commitStream(const std::string &serviceId, int64_t fileId, const std::string &stream,
                           int64_t size, const std::function<int(bool replacing)> &publish,
                           const std::function<void()> &unpublish) {
  std::lock_guard<std::mutex> g(m_lock);
  FileRec f;
  int rc = loadFile(serviceId, fileId, &f);
  if (rc != kSvcOk) return rc;
  if (f.type != 0) return kSvcNoFile;
  int64_t quota = 0, used = 0, old = 0;
  if ((rc = spaceLocked(serviceId, &quota, &used)) != kSvcOk) return rc;
  bool replacing = false;
  {
    Stmt z(m_db, "SELECT size FROM streams WHERE fileid=? AND stream=?");
    z.bind(1, fileId).bind(2, stream);
    if (z.step() == SQLITE_ROW) {
      old = z.i64(0);
      replacing = true;
    }
    if (z.failed()) return failure("reading a stream");
  }
  if (used - old + size > quota) return kSvcNoSpace;
  if ((rc = begin()) != kSvcOk) return rc;
  Stmt s(m_db, "INSERT OR REPLACE INTO streams(fileid, stream, serviceid, size) VALUES(?,?,?,?)");
  if (!s.bind(1, fileId).bind(2, stream).bind(3, serviceId).bind(4, size).run()) {
    rc = failure("recording an upload");
    rollback();
    return rc;
  }
  if ((rc = addUsed(serviceId, size - old)) != kSvcOk) {
    rollback();
    return rc;
  }
  // The content takes its place inside the transaction, and gives it back when the record
  // cannot be stored: record and content always agree.
  if ((rc = publish(replacing)) != kSvcOk) {
    rollback();
    return rc;
  }
  if ((rc = commit("recording an upload")) != kSvcOk) unpublish();
  return rc;
}

bool SvcStore::holdUpload(const std::string &serviceId, const std::string &key, int64_t bytes,
                          int64_t room) {
  std::lock_guard<std::mutex> g(m_holdLock);
  std::map<std::string, int64_t> &drive = m_holds[serviceId];
  int64_t others = 0;
  for (const auto &[k, n] : drive)
    if (k != key) others += n;
  if (others + bytes > room) {
    if (drive.empty()) m_holds.erase(serviceId);
    return false;
  }
  drive[key] = bytes;
  return true;
}

SvcStore::SessionFound SvcStore::sessionDrive(const std::string &token,
                                               const std::string &deviceId,
                                               const std::string &serviceId, UserRec *user,
                                               ServiceRec *svc) {
  if (!userForToken(token, user)) return kNoSession;
  return service(user->id, deviceId, serviceId, svc) ? kSessionAndDrive : kSessionOnly;
}

SvcStore::SessionFound SvcStore::sessionDriveFile(const std::string &token,
                                                   const std::string &deviceId,
                                                   const std::string &serviceId, int64_t fileId,
                                                   UserRec *user, ServiceRec *svc,
                                                   FileRec *file, int *fileRc) {
  const SessionFound found = sessionDrive(token, deviceId, serviceId, user, svc);
  if (found == kSessionAndDrive) *fileRc = getFile(*svc, fileId, file);
  return found;
}

int SvcStore::roomAndHold(const std::string &serviceId, int64_t fileId, const std::string &stream,
                          const std::string &key, int64_t bytes, int64_t *room, bool *held) {
  int rc = this->room(serviceId, fileId, stream, room);
  if (rc != kSvcOk) return rc;
  *held = holdUpload(serviceId, key, bytes, *room);
  return kSvcOk;
}

void SvcStore::releaseUpload(const std::string &serviceId, const std::string &key) {
  std::lock_guard<std::mutex> g(m_holdLock);
  auto d = m_holds.find(serviceId);
  if (d == m_holds.end()) return;
  d->second.erase(key);
  if (d->second.empty()) m_holds.erase(d);
}

bool SvcStore::putCode(const std::string &digest, const SignInCode &code, int64_t nowMs) {
  std::lock_guard<std::mutex> g(m_codeLock);
  for (auto it = m_codes.begin(); it != m_codes.end();)
    it = it->second.expires < nowMs ? m_codes.erase(it) : std::next(it);
  // Many unused codes at once: the oldest go first (a caller asking again gets a fresh one).
  while (m_codes.size() >= kMaxCodes) {
    auto oldest = std::min_element(m_codes.begin(), m_codes.end(), [](auto &a, auto &b) {
      return a.second.expires < b.second.expires;
    });
    m_codes.erase(oldest);
  }
  m_codes[digest] = code;
  return true;
}

bool SvcStore::takeCode(const std::string &digest, SignInCode *out) {
  std::lock_guard<std::mutex> g(m_codeLock);
  auto it = m_codes.find(digest);
  if (it == m_codes.end()) return false;
  *out = it->second;
  m_codes.erase(it);
  return true;
}

int SvcStore::webContent(const std::string &token, const std::string &serviceId, int64_t fileId,
                         const std::string &stream, WebContent *out) {
  *out = WebContent();
  UserRec user;
  if (!userForToken(token, &user)) return kSvcOk;
  out->userId = user.id;
  out->found = WebContent::kNoDrive;
  ServiceRec svc;
  if (!serviceById(serviceId, &svc) || svc.userId != user.id) return kSvcOk;
  out->found = WebContent::kNoFile;
  out->online = svc.online;
  FileRec f;
  const int rc = getFile(svc, fileId, &f);
  if (rc == kSvcNoFile || rc == kSvcNotFolder || (rc == kSvcOk && f.type != 0)) return kSvcOk;
  if (rc != kSvcOk) return rc;
  out->found = WebContent::kFile;
  out->name = f.name;
  const std::string *m = svcargs__find(f.props, "mimetype");
  out->mimetype = m ? *m : std::string();
  out->stored = stream.empty() ? f.size >= 0
                               : std::find(f.renditions.begin(), f.renditions.end(), stream) !=
                                     f.renditions.end();
  return kSvcOk;
}

int SvcStore::webContentAtHand(const std::string &, const std::string &, int64_t,
                               const std::string &, WebContent *out, bool *later) {
  *out = WebContent();
  *later = true;
  return kSvcOk;
}

std::unique_ptr<SvcStore> svcstore__newPg(const std::string &db, const std::string &instance);

std::unique_ptr<SvcStore> svcstore__new(const std::string &db, const std::string &instance) {
  if (db.empty()) return std::make_unique<SvcSqliteStore>();
  if (db.compare(0, 13, "postgresql://") == 0 || db.compare(0, 11, "postgres://") == 0)
    return svcstore__newPg(db, instance);
  return nullptr;
}

}  // namespace tessel::svc
