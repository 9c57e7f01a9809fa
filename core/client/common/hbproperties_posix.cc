// The settings store over the per-user SQLite database.
//
// One connection per process serves every store; its mutex makes each operation one unit, and
// SQLite's file locks with a busy time-out serialise the processes. The database runs in WAL
// mode: a write is one atomic transaction that survives the writer being killed, and readers
// never block writers.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "brlog.h"
#include "hbproperties.h"
#include "hbproperties_int.h"

namespace {

constexpr const char *kTag = "HBPROP";
constexpr int kBusyTimeoutMs = 10000;

const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS keys (path TEXT PRIMARY KEY);"
    "CREATE TABLE IF NOT EXISTS vals (path TEXT NOT NULL, name TEXT NOT NULL,"
    " data TEXT NOT NULL, PRIMARY KEY (path, name));";

struct StmtCloser {
  void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtCloser>;

bool mkdirs(const std::string &path, mode_t mode) {
  std::string part;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    part = path.substr(0, pos);
    if (part.empty()) continue;
    if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The process's connection. Never destroyed: stores may be released by static destructors.
class Registry {
 public:
  static Registry &instance() {
    static Registry *r = new Registry;
    return *r;
  }

  std::mutex &mutex() { return m_mu; }

  // Under mutex(): the connection for the current database path, opened on first use and again
  // after a fork or a change of XDG_CONFIG_HOME.
  sqlite3 *db() {
    const std::string path = hbproperties__databasePath();
    if (m_db && m_pid == getpid() && path == m_path) return m_db;
    if (m_db && m_pid == getpid()) sqlite3_close_v2(m_db);
    // A connection inherited through fork belongs to the parent: it is abandoned, never closed.
    m_db = nullptr;
    m_db = open(path);
    if (m_db) {
      m_path = path;
      m_pid = getpid();
    }
    return m_db;
  }

 private:
  static sqlite3 *open(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !mkdirs(path.substr(0, slash), 0700)) {
      brlog(kTag, BRLOG_ERROR, "Cannot create the folder of %s (errno %d)\n", path.c_str(), errno);
      return nullptr;
    }
    // The database holds the session token: create it private, and keep it so. The file is
    // never opened beside SQLite's own descriptor: closing a second descriptor of it would drop
    // every lock the process holds on it, and the next reader that ends (sqlite3 in a shell)
    // would then take our write-ahead log for its own and delete it, with what we wrote since.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);  // made here; no connection of ours has it yet
    } else if (errno != EEXIST) {
      brlog(kTag, BRLOG_ERROR, "Cannot open %s (errno %d)\n", path.c_str(), errno);
      return nullptr;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) != 0600)
      (void)chmod(path.c_str(), 0600);

    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
      brlog(kTag, BRLOG_ERROR, "sqlite3_open_v2(%s) failed: %s\n", path.c_str(),
            db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
      sqlite3_close_v2(db);
      return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Switching to WAL may meet another opener's lock without the busy handler being asked;
    // retry for a bounded time.
    for (int attempt = 0;; ++attempt) {
      rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK || (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || attempt >= 500) break;
      usleep(10000);
    }
    if (rc == SQLITE_OK)
      rc = sqlite3_exec(db, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      brlog(kTag, BRLOG_ERROR, "Cannot prepare %s: %s\n", path.c_str(), sqlite3_errmsg(db));
      sqlite3_close_v2(db);
      return nullptr;
    }
    return db;
  }

  std::mutex m_mu;
  sqlite3 *m_db = nullptr;
  std::string m_path;
  pid_t m_pid = 0;
};

Stmt prepare(sqlite3 *db, const char *sql) {
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
    brlog(kTag, BRLOG_ERROR, "prepare(%s) failed: %s\n", sql, sqlite3_errmsg(db));
    sqlite3_finalize(s);
    return nullptr;
  }
  return Stmt(s);
}

// Runs a statement without rows with up to two text parameters; returns the SQLite result.
int execText(sqlite3 *db, const char *sql, const char *a, const char *b = nullptr,
             const char *c = nullptr) {
  Stmt s = prepare(db, sql);
  if (!s) return SQLITE_ERROR;
  const char *args[] = {a, b, c};
  for (int i = 0; i < 3 && args[i]; ++i)
    sqlite3_bind_text(s.get(), i + 1, args[i], -1, SQLITE_STATIC);
  const int rc = sqlite3_step(s.get());
  if (rc != SQLITE_DONE) {
    brlog(kTag, BRLOG_ERROR, "%s failed: %s\n", sql, sqlite3_errmsg(db));
    return rc;
  }
  return SQLITE_OK;
}

// Runs `body` inside one write transaction taken at once, so concurrent writers queue on the
// busy time-out instead of failing on a lock upgrade.
template <class Fn>
bool writeTransaction(sqlite3 *db, Fn body) {
  if (sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) != SQLITE_OK) {
    brlog(kTag, BRLOG_ERROR, "BEGIN failed: %s\n", sqlite3_errmsg(db));
    return false;
  }
  if (body() && sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  brlog(kTag, BRLOG_ERROR, "Write transaction failed: %s\n", sqlite3_errmsg(db));
  sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
  return false;
}

}  // namespace

std::string hbproperties__databasePath() {
  const char *config = getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config && *config == '/') {
    base = config;
  } else {
    const char *home = getenv("HOME");
    base = std::string(home && *home ? home : "/tmp") + "/.config";
  }
  return base + "/Orvane Tessel Utility/registry.db";
}

HBPropertiesPosix::HBPropertiesPosix(std::string keyPath, bool writable)
    : m_keyPath(std::move(keyPath)), m_writable(writable) {}

int32_t HBPropertiesPosix::create(const char *keyPath, uint32_t flags, HBProperties **out) {
  if (!keyPath || !out) return BR_EINVAL;
  *out = nullptr;
  const bool writable = (flags & HBPROPERTIES_CREATE) != 0;
  {
    Registry &reg = Registry::instance();
    std::lock_guard<std::mutex> lock(reg.mutex());
    sqlite3 *db = reg.db();
    if (!db) return BR_EIO;
    if (writable) {
      if (execText(db, "INSERT OR IGNORE INTO keys (path) VALUES (?1);", keyPath) != SQLITE_OK)
        return BR_EIO;
    } else {
      Stmt s = prepare(db, "SELECT 1 FROM keys WHERE path = ?1;");
      if (!s) return BR_EIO;
      sqlite3_bind_text(s.get(), 1, keyPath, -1, SQLITE_STATIC);
      const int rc = sqlite3_step(s.get());
      if (rc == SQLITE_DONE) return BR_ENOENT;
      if (rc != SQLITE_ROW) {
        brlog(kTag, BRLOG_ERROR, "Cannot look up key %s: %s\n", keyPath, sqlite3_errmsg(db));
        return BR_EIO;
      }
    }
  }
  HBPropertiesPosix *store = new HBPropertiesPosix(keyPath, writable);
  hbproperties__adoptAsDefaultIfNone(store);
  *out = store;
  return BR_OK;
}

int32_t HBPropertiesPosix::getProperty(const char *name, char *buffer, int32_t size) {
  if (!name) return BR_ENOENT;
  std::string value;
  {
    Registry &reg = Registry::instance();
    std::lock_guard<std::mutex> lock(reg.mutex());
    sqlite3 *db = reg.db();
    // A value that cannot be read (a busy or failing database) is not a missing one: callers
    // would take their defaults and write them over what is stored.
    if (!db) return BR_EIO;
    Stmt s = prepare(db, "SELECT data FROM vals WHERE path = ?1 AND name = ?2;");
    if (!s) return BR_EIO;
    sqlite3_bind_text(s.get(), 1, m_keyPath.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(s.get(), 2, name, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(s.get());
    if (rc != SQLITE_ROW) {
      if (rc == SQLITE_DONE) return BR_ENOENT;
      brlog(kTag, BRLOG_ERROR, "Cannot read %s: %s\n", name, sqlite3_errmsg(db));
      return rc == SQLITE_BUSY || rc == SQLITE_LOCKED ? BR_EBUSY : BR_EIO;
    }
    const unsigned char *text = sqlite3_column_text(s.get(), 0);
    // A text edited in by hand may hold a NUL; the value ends there, as a C string would.
    if (text) value.assign(reinterpret_cast<const char *>(text));
  }
  return hbproperties__deliver(value, buffer, size);
}

int32_t HBPropertiesPosix::setProperty(const char *name, const char *value) {
  if (!name || !m_writable) return BR_EUNSPEC;
  bool ok;
  {
    Registry &reg = Registry::instance();
    std::lock_guard<std::mutex> lock(reg.mutex());
    sqlite3 *db = reg.db();
    if (!db) return BR_EUNSPEC;
    if (value) {
      ok = writeTransaction(db, [&] {
        return execText(db, "INSERT OR IGNORE INTO keys (path) VALUES (?1);",
                        m_keyPath.c_str()) == SQLITE_OK &&
               execText(db, "INSERT OR REPLACE INTO vals (path, name, data) VALUES (?1, ?2, ?3);",
                        m_keyPath.c_str(), name, value) == SQLITE_OK;
      });
    } else {
      // Deleting a value that is not there is refused, as the registry does.
      ok = execText(db, "DELETE FROM vals WHERE path = ?1 AND name = ?2;", m_keyPath.c_str(),
                    name) == SQLITE_OK &&
           sqlite3_changes(db) > 0;
    }
  }
  if (!ok) return BR_EUNSPEC;
  hbproperties__postChanged(this, name);
  return BR_OK;
}

int32_t HBPropertiesPosix::list(std::vector<std::pair<std::string, std::string>> *out) {
  if (!out) return BR_EINVAL;
  out->clear();
  Registry &reg = Registry::instance();
  std::lock_guard<std::mutex> lock(reg.mutex());
  sqlite3 *db = reg.db();
  if (!db) return BR_EIO;
  Stmt s = prepare(db, "SELECT name, data FROM vals WHERE path = ?1 ORDER BY name;");
  if (!s) return BR_EIO;
  sqlite3_bind_text(s.get(), 1, m_keyPath.c_str(), -1, SQLITE_STATIC);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    const unsigned char *n = sqlite3_column_text(s.get(), 0);
    const unsigned char *d = sqlite3_column_text(s.get(), 1);
    out->emplace_back(n ? reinterpret_cast<const char *>(n) : "",
                      d ? reinterpret_cast<const char *>(d) : "");
  }
  return rc == SQLITE_DONE ? BR_OK : BR_EIO;
}
