// PostgreSQL metadata of the service, shared by several service processes.
#include "svcpgstore.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

namespace tessel::svc {

namespace {

// The tables; made once by whichever process comes first (under an advisory lock, so that two
// starting together do not trip over each other). Names sort by their bytes, as in SQLite.
const char *kSchema =
    "CREATE TABLE IF NOT EXISTS users(id BIGSERIAL PRIMARY KEY, name TEXT UNIQUE NOT NULL,"
    " email TEXT, salt BYTEA, hash BYTEA, created BIGINT);"
    "CREATE TABLE IF NOT EXISTS sessions(hash BYTEA PRIMARY KEY, userid BIGINT NOT NULL,"
    " created BIGINT, used BIGINT);"
    "CREATE INDEX IF NOT EXISTS sessions_used ON sessions(used);"
    "CREATE INDEX IF NOT EXISTS sessions_user ON sessions(userid, used);"
    "CREATE TABLE IF NOT EXISTS devices(id TEXT PRIMARY KEY, userid BIGINT NOT NULL, name TEXT);"
    "CREATE TABLE IF NOT EXISTS services(seq BIGSERIAL, id TEXT PRIMARY KEY,"
    " deviceid TEXT NOT NULL, userid BIGINT NOT NULL, name TEXT, quota BIGINT,"
    " online INTEGER DEFAULT 1, readonly INTEGER DEFAULT 0, transport TEXT DEFAULT 'soap',"
    " version TEXT, used BIGINT NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS services_user ON services(userid, seq);"
    "CREATE TABLE IF NOT EXISTS files(id BIGSERIAL PRIMARY KEY, serviceid TEXT NOT NULL,"
    " parentid BIGINT NOT NULL, name TEXT COLLATE \"C\" NOT NULL, type INTEGER NOT NULL,"
    " ctime BIGINT, mtime BIGINT, meta BIGINT NOT NULL DEFAULT 0,"
    " taken BIGINT NOT NULL DEFAULT 0, media INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE(serviceid, parentid, name));"
    "CREATE INDEX IF NOT EXISTS files_taken ON files(serviceid, taken DESC, id DESC)"
    " WHERE media>0;"
    "CREATE TABLE IF NOT EXISTS props(fileid BIGINT NOT NULL, seq INTEGER NOT NULL, key TEXT,"
    " value TEXT, PRIMARY KEY(fileid, seq));"
    "CREATE TABLE IF NOT EXISTS streams(fileid BIGINT NOT NULL, stream TEXT COLLATE \"C\" NOT NULL,"
    " serviceid TEXT NOT NULL, size BIGINT NOT NULL, PRIMARY KEY(fileid, stream));"
    "CREATE TABLE IF NOT EXISTS throttle(kind TEXT NOT NULL, key TEXT NOT NULL,"
    " failures INTEGER NOT NULL, wait_until BIGINT NOT NULL DEFAULT 0, last_ms BIGINT NOT NULL,"
    " PRIMARY KEY(kind, key));"
    "CREATE TABLE IF NOT EXISTS uploads(key TEXT PRIMARY KEY, instance TEXT NOT NULL,"
    " serviceid TEXT NOT NULL, bytes BIGINT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS uploads_service ON uploads(serviceid);"
    "CREATE INDEX IF NOT EXISTS uploads_instance ON uploads(instance);"
    "CREATE TABLE IF NOT EXISTS codes(digest TEXT PRIMARY KEY, userid BIGINT NOT NULL,"
    " next TEXT NOT NULL, expires BIGINT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS codes_expires ON codes(expires);"
    // Holding space for an upload in one round trip. Each statement of a function sees what was
    // committed before it ran, so the sum after the drive's lock counts every other hold.
    "CREATE OR REPLACE FUNCTION tessel_hold(p_service TEXT, p_key TEXT, p_instance TEXT,"
    " p_bytes BIGINT, p_room BIGINT) RETURNS BOOLEAN AS $$"
    " DECLARE held BIGINT;"
    " BEGIN"
    "  PERFORM 1 FROM services WHERE id=p_service FOR UPDATE;"
    "  IF NOT FOUND THEN RETURN FALSE; END IF;"
    "  SELECT COALESCE(SUM(bytes),0) INTO held FROM uploads"
    "   WHERE serviceid=p_service AND key<>p_key;"
    "  IF held + p_bytes > p_room THEN RETURN FALSE; END IF;"
    "  INSERT INTO uploads(key, instance, serviceid, bytes)"
    "   VALUES(p_key, p_instance, p_service, p_bytes)"
    "   ON CONFLICT(key) DO UPDATE SET bytes=EXCLUDED.bytes;"
    "  RETURN TRUE;"
    " END $$ LANGUAGE plpgsql;"
    // The room of an upload (the drive's free space plus the stream's old size) and its hold,
    // as tessel_hold, in one round trip; o_room is NULL for a drive that does not exist.
    "CREATE OR REPLACE FUNCTION tessel_hold_room(p_service TEXT, p_file BIGINT, p_stream TEXT,"
    " p_key TEXT, p_instance TEXT, p_bytes BIGINT, OUT o_room BIGINT, OUT o_held BOOLEAN) AS $$"
    " DECLARE held BIGINT;"
    " BEGIN"
    "  o_held := FALSE;"
    "  SELECT COALESCE(quota,0) - used INTO o_room FROM services WHERE id=p_service FOR UPDATE;"
    "  IF NOT FOUND THEN o_room := NULL; RETURN; END IF;"
    "  o_room := o_room + COALESCE((SELECT size FROM streams WHERE fileid=p_file"
    "   AND stream=p_stream), 0);"
    "  SELECT COALESCE(SUM(bytes),0) INTO held FROM uploads"
    "   WHERE serviceid=p_service AND key<>p_key;"
    "  IF held + p_bytes > o_room THEN RETURN; END IF;"
    "  INSERT INTO uploads(key, instance, serviceid, bytes)"
    "   VALUES(p_key, p_instance, p_service, p_bytes)"
    "   ON CONFLICT(key) DO UPDATE SET bytes=EXCLUDED.bytes;"
    "  o_held := TRUE;"
    " END $$ LANGUAGE plpgsql;"
    // A new entry whose name is free, in one round trip: behind the drive's row, the parent
    // checked, the name, the space, the entry with its properties (p_keys[i] = p_values[i], in
    // order) and the drive's running total. The new id, or minus the fault code; -808 when the
    // name is taken (a file then gets its numbered name in a transaction of the caller's).
    "CREATE OR REPLACE FUNCTION tessel_create_file(p_service TEXT, p_parent BIGINT, p_name TEXT,"
    " p_type INTEGER, p_ctime BIGINT, p_mtime BIGINT, p_meta BIGINT, p_taken BIGINT,"
    " p_media INTEGER, p_keys TEXT[], p_values TEXT[]) RETURNS BIGINT AS $$"
    " DECLARE q BIGINT; u BIGINT; t INTEGER; new_id BIGINT;"
    " BEGIN"
    "  SELECT COALESCE(quota,0), used INTO q, u FROM services WHERE id=p_service FOR UPDATE;"
    "  IF NOT FOUND THEN RETURN -803; END IF;"
    "  IF p_parent <> 0 THEN"
    "   SELECT type INTO t FROM files WHERE id=p_parent AND serviceid=p_service;"
    "   IF NOT FOUND THEN RETURN -804; END IF;"
    "   IF t <> 1 THEN RETURN -805; END IF;"
    "  END IF;"
    "  PERFORM 1 FROM files WHERE serviceid=p_service AND parentid=p_parent AND name=p_name;"
    "  IF FOUND THEN RETURN -808; END IF;"
    "  IF u + p_meta > q THEN RETURN -507; END IF;"
    "  INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta, taken, media)"
    "   VALUES(p_service, p_parent, p_name, p_type, p_ctime, p_mtime, p_meta, p_taken, p_media)"
    "   RETURNING id INTO new_id;"
    "  INSERT INTO props(fileid, seq, key, value)"
    "   SELECT new_id, k.n - 1, k.key, p_values[k.n]"
    "   FROM unnest(p_keys) WITH ORDINALITY AS k(key, n);"
    "  UPDATE services SET used=used+p_meta WHERE id=p_service;"
    "  RETURN new_id;"
    " END $$ LANGUAGE plpgsql;"
    // An uploaded stream's record, inside the caller's transaction (which then puts the content
    // in place and commits): behind the drive's row, the file checked, the space, the stream's
    // size and the drive's running total. 1 when it replaces a stored stream, 0 when not, else
    // minus the fault code.
    "CREATE OR REPLACE FUNCTION tessel_commit_stream(p_service TEXT, p_file BIGINT,"
    " p_stream TEXT, p_size BIGINT) RETURNS INTEGER AS $$"
    " DECLARE q BIGINT; u BIGINT; t INTEGER; old BIGINT;"
    " BEGIN"
    "  SELECT COALESCE(quota,0), used INTO q, u FROM services WHERE id=p_service FOR UPDATE;"
    "  IF NOT FOUND THEN RETURN -803; END IF;"
    "  SELECT type INTO t FROM files WHERE id=p_file AND serviceid=p_service;"
    "  IF NOT FOUND OR t <> 0 THEN RETURN -804; END IF;"
    "  SELECT size INTO old FROM streams WHERE fileid=p_file AND stream=p_stream;"
    "  IF u - COALESCE(old, 0) + p_size > q THEN RETURN -507; END IF;"
    "  INSERT INTO streams(fileid, stream, serviceid, size)"
    "   VALUES(p_file, p_stream, p_service, p_size)"
    "   ON CONFLICT(fileid, stream) DO UPDATE SET size=EXCLUDED.size,"
    "   serviceid=EXCLUDED.serviceid;"
    "  UPDATE services SET used=used+p_size-COALESCE(old, 0) WHERE id=p_service;"
    "  RETURN CASE WHEN old IS NULL THEN 0 ELSE 1 END;"
    " END $$ LANGUAGE plpgsql;";

constexpr const char *kFileCols =
    "SELECT id, parentid, name, type, ctime, mtime, taken, media FROM files ";
// A file with its properties and streams (as JSON arrays), from `files f`: one round trip.
constexpr const char *kLoadCols =
    "f.id, f.parentid, f.name, f.type, f.ctime, f.mtime, f.taken, f.media,"
    " (SELECT json_agg(json_build_array(key, value) ORDER BY seq) FROM props"
    " WHERE fileid=f.id),"
    " (SELECT json_agg(json_build_array(stream, size) ORDER BY stream) FROM streams"
    " WHERE fileid=f.id)";
constexpr const char *kServiceCols =
    "SELECT id, deviceid, userid, name, quota, online, readonly, transport,"
    " COALESCE(version, ''), used FROM services ";

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string hexBytea(const std::string &raw) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\\x";
  for (unsigned char c : raw) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string num(int64_t v) { return std::to_string(v); }

// "{1,2,3}": a bigint[] parameter.
std::string idArray(const std::vector<int64_t> &ids) {
  std::string s = "{";
  for (size_t i = 0; i < ids.size(); i++) s += (i ? "," : "") + num(ids[i]);
  return s + "}";
}

// {"a","b\"c"}: a text[] parameter, every element quoted (so that none reads as NULL) with its
// quotes and backslashes escaped.
std::string textArray(const std::vector<std::string> &texts) {
  std::string s = "{";
  for (size_t i = 0; i < texts.size(); i++) {
    s += i ? ",\"" : "\"";
    for (char ch : texts[i]) {
      if (ch == '"' || ch == '\\') s += '\\';
      s += ch;
    }
    s += '"';
  }
  return s + "}";
}

}  // namespace

std::unique_ptr<SvcStore> svcstore__newPg(const std::string &db, const std::string &instance) {
  return std::make_unique<SvcPgStore>(db, instance);
}

std::string PgRows::text(int row, int col) const {
  return std::string(PQgetvalue(m_res, row, col),
                     static_cast<size_t>(PQgetlength(m_res, row, col)));
}

int64_t PgRows::i64(int row, int col) const {
  return PQgetisnull(m_res, row, col) ? 0 : std::strtoll(PQgetvalue(m_res, row, col), nullptr, 10);
}

std::string PgRows::bytes(int row, int col) const {
  const std::string t = text(row, col);
  std::string out;
  if (t.size() < 2 || t[0] != '\\' || t[1] != 'x') return out;
  auto nib = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (size_t i = 2; i + 1 < t.size(); i += 2)
    out += static_cast<char>(nib(t[i]) << 4 | nib(t[i + 1]));
  return out;
}

SvcPgStore::SvcPgStore(std::string url, std::string instance)
    : m_url(std::move(url)), m_instance(std::move(instance)) {}

SvcPgStore::~SvcPgStore() {
  for (PgConn *c : m_idle) {
    PQfinish(c->conn);
    delete c;
  }
}

PgConn *SvcPgStore::acquire(std::string *err) {
  std::unique_lock<std::mutex> g(m_poolLock);
  m_poolFree.wait(g, [&] { return !m_idle.empty() || m_open < kPoolSize; });
  if (!m_idle.empty()) {
    PgConn *c = m_idle.back();
    m_idle.pop_back();
    return c;
  }
  m_open++;
  g.unlock();
  // Texts are UTF-8 on both sides; the service's own calls never wait long on a lock.
  const char *keys[] = {"dbname", "client_encoding", "options", "connect_timeout", nullptr};
  const char *vals[] = {m_url.c_str(), "UTF8", "-c lock_timeout=30000 -c client_min_messages=warning -c synchronous_commit=off", "10", nullptr};
  PGconn *conn = PQconnectdbParams(keys, vals, 1);
  if (conn && PQstatus(conn) == CONNECTION_OK) {
    auto *c = new PgConn;
    c->conn = conn;
    return c;
  }
  *err = conn ? PQerrorMessage(conn) : "out of memory";
  while (!err->empty() && (err->back() == '\n' || err->back() == ' ')) err->pop_back();
  PQfinish(conn);
  g.lock();
  m_open--;
  m_poolFree.notify_one();
  return nullptr;
}

void SvcPgStore::release(PgConn *c) {
  // A connection that broke, or was left inside a transaction, is not handed out again.
  const bool bad = PQstatus(c->conn) != CONNECTION_OK ||
                   PQtransactionStatus(c->conn) != PQTRANS_IDLE ||
                   PQpipelineStatus(c->conn) != PQ_PIPELINE_OFF;
  if (bad) {
    PQfinish(c->conn);
    delete c;
  }
  std::lock_guard<std::mutex> g(m_poolLock);
  if (bad)
    m_open--;
  else
    m_idle.push_back(c);
  m_poolFree.notify_one();
}

bool SvcPgStore::prepare(PgConn *c, const char *what, const std::string &sql, char (&name)[32]) {
  std::snprintf(name, sizeof name, "q%zx", std::hash<std::string>()(sql));
  if (c->prepared.count(name)) return true;
  PGresult *p = PQprepare(c->conn, name, sql.c_str(), 0, nullptr);
  const bool ok = PQresultStatus(p) == PGRES_COMMAND_OK;
  PgRows hold;
  hold.reset(p);
  if (!ok) {
    std::fprintf(stderr, "tesselsvc: database: %s failed: %s", what, PQerrorMessage(c->conn));
    return false;
  }
  c->prepared.insert(name);
  return true;
}

int SvcPgStore::outcome(const char *what, PGresult *r, PgRows *rows) {
  const ExecStatusType st = PQresultStatus(r);
  if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) {
    if (rows)
      rows->reset(r);
    else
      PQclear(r);
    return kSvcOk;
  }
  const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  const std::string code = state ? state : "";
  if (code != "23505")
    std::fprintf(stderr, "tesselsvc: database: %s failed: %s", what,
                 r ? PQresultErrorMessage(r) : "no result\n");
  PQclear(r);
  if (code == "23505") return kSvcExists;
  // 53100: the database's disk is full; 53400 a configured limit of its space.
  return code == "53100" || code == "53400" ? kSvcNoSpace : kSvcInternal;
}

bool SvcPgStore::prepareWith(PgConn *c, const char *what, const std::string &sql,
                             const std::vector<std::string> &params, char (&name)[32],
                             std::vector<const char *> *values) {
  if (!c) {
    std::fprintf(stderr, "tesselsvc: database: %s failed: no connection\n", what);
    return false;
  }
  if (!prepare(c, what, sql, name)) return false;
  values->reserve(params.size());
  for (const std::string &p : params) values->push_back(p.c_str());
  return true;
}

int SvcPgStore::run(PgConn *c, const char *what, const std::string &sql,
                    const std::vector<std::string> &params, PgRows *rows) {
  char name[32];
  std::vector<const char *> values;
  if (!prepareWith(c, what, sql, params, name, &values)) return kSvcInternal;
  PGresult *r = PQexecPrepared(c->conn, name, static_cast<int>(values.size()), values.data(),
                               nullptr, nullptr, 0);
  return outcome(what, r, rows);
}

int SvcPgStore::beginAndRun(PgConn *c, const char *what, const std::string &sql,
                            const std::vector<std::string> &params, bool *begun, PgRows *rows) {
  *begun = false;
  char name[32];
  std::vector<const char *> values;
  if (!prepareWith(c, what, sql, params, name, &values)) return kSvcInternal;
  // BEGIN and the statement go out together and their answers come back together.
  if (PQenterPipelineMode(c->conn) != 1 ||
      PQsendQueryParams(c->conn, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0) != 1 ||
      PQsendQueryPrepared(c->conn, name, static_cast<int>(values.size()), values.data(), nullptr,
                          nullptr, 0) != 1 ||
      PQpipelineSync(c->conn) != 1) {
    std::fprintf(stderr, "tesselsvc: database: %s failed: %s", what, PQerrorMessage(c->conn));
    // Whatever state it is in now, release() closes it.
    return kSvcInternal;
  }
  // Each statement's results end with a null; the sync's own result comes last.
  PGresult *got[2] = {nullptr, nullptr};
  size_t at = 0;
  bool synced = false;
  while (!synced) {
    PGresult *r = PQgetResult(c->conn);
    if (!r) {
      if (++at > 2) break;  // the connection broke
      continue;
    }
    if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
      PQclear(r);
      synced = true;
    } else if (at < 2 && !got[at]) {
      got[at] = r;
    } else {
      PQclear(r);
    }
  }
  if (!synced || PQexitPipelineMode(c->conn) != 1) {
    std::fprintf(stderr, "tesselsvc: database: %s failed: %s", what, PQerrorMessage(c->conn));
    PQclear(got[0]);
    PQclear(got[1]);
    return kSvcInternal;
  }
  *begun = PQresultStatus(got[0]) == PGRES_COMMAND_OK;
  if (!*begun) {
    PQclear(got[1]);
    const int rc = outcome("BEGIN", got[0], nullptr);
    return rc == kSvcOk ? kSvcInternal : rc;
  }
  PQclear(got[0]);
  return outcome(what, got[1], rows);
}

// One transaction on a leased connection; rolled back unless committed.
class PgTx {
 public:
  PgTx(SvcPgStore *s, PgConn *c) : m_store(s), m_conn(c) {}
  ~PgTx() {
    if (m_open) PQclear(PQexec(m_conn->conn, "ROLLBACK"));
  }
  PgTx(const PgTx &) = delete;
  PgTx &operator=(const PgTx &) = delete;
  // Opens the transaction and runs `sql` in it, in one round trip.
  [[nodiscard]] int beginAndRun(const char *what, const std::string &sql,
                                const std::vector<std::string> &params, PgRows *rows) {
    return m_store->beginAndRun(m_conn, what, sql, params, &m_open, rows);
  }
  [[nodiscard]] int begin() {
    if (!m_conn) return kSvcInternal;
    PGresult *r = PQexec(m_conn->conn, "BEGIN");
    m_open = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!m_open) std::fprintf(stderr, "tesselsvc: database: BEGIN failed: %s", PQerrorMessage(m_conn->conn));
    return m_open ? kSvcOk : kSvcInternal;
  }
  [[nodiscard]] int commit(const char *what) {
    PGresult *r = PQexec(m_conn->conn, "COMMIT");
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    const bool full = state && (std::strcmp(state, "53100") == 0 || std::strcmp(state, "53400") == 0);
    PQclear(r);
    m_open = false;
    if (ok) return kSvcOk;
    std::fprintf(stderr, "tesselsvc: database: %s failed: %s", what, PQerrorMessage(m_conn->conn));
    return full ? kSvcNoSpace : kSvcInternal;
  }

 private:
  SvcPgStore *m_store;
  PgConn *m_conn;
  bool m_open = false;
};

bool SvcPgStore::open(const std::string &, std::string *err) {
  PgLease l(this);
  if (!l.get()) {
    *err = "cannot connect to the database: " + l.error();
    return false;
  }
  std::string sql = std::string("SELECT pg_advisory_lock(74657373); ") + kSchema +
                    "SELECT pg_advisory_unlock(74657373);";
  PGresult *r = PQexec(l.get()->conn, sql.c_str());
  const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  if (!ok) {
    *err = std::string("cannot make the tables: ") + PQerrorMessage(l.get()->conn);
    PQclear(PQexec(l.get()->conn, "SELECT pg_advisory_unlock_all()"));
    return false;
  }
  // Uploads this instance had in progress when it stopped hold nothing any more.
  if (run(l.get(), "releasing old uploads", "DELETE FROM uploads WHERE instance=$1",
          {m_instance}) != kSvcOk) {
    *err = "cannot release the uploads of an earlier run";
    return false;
  }
  return true;
}

bool SvcPgStore::healthy() {
  PgLease l(this);
  PgRows r;
  return l.get() && run(l.get(), "checking the database", "SELECT 1", {}, &r) == kSvcOk &&
         r.rows() == 1;
}

int SvcPgStore::script(const char *what, const std::string &sql) {
  PgLease l(this);
  if (!l.get()) return kSvcInternal;
  PGresult *r = PQexec(l.get()->conn, sql.c_str());
  const ExecStatusType st = PQresultStatus(r);
  PQclear(r);
  if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) return kSvcOk;
  std::fprintf(stderr, "tesselsvc: database: %s failed: %s", what, PQerrorMessage(l.get()->conn));
  return kSvcInternal;
}

int SvcPgStore::insertRows(const char *what, const std::string &sql,
                           const std::vector<std::vector<std::string>> &rows) {
  PgLease l(this);
  PgTx tx(this, l.get());
  int rc = tx.begin();
  for (size_t i = 0; rc == kSvcOk && i < rows.size(); i++) rc = run(l.get(), what, sql, rows[i]);
  return rc == kSvcOk ? tx.commit(what) : rc;
}

int64_t SvcPgStore::count(const std::string &sql) {
  PgLease l(this);
  PgRows r;
  if (run(l.get(), "counting", sql, {}, &r) != kSvcOk || r.rows() != 1) return -1;
  return r.i64(0, 0);
}

bool SvcPgStore::addUser(const std::string &name, const std::string &password, int64_t quota,
                         int drives, const std::string &transport, NewUser *out,
                         std::string *err) {
  if (name.empty() || name.size() > 128) {
    *err = "bad user name";
    return false;
  }
  PgLease l(this);
  if (!l.get()) {
    *err = "cannot connect to the database: " + l.error();
    return false;
  }
  PgConn *c = l.get();
  PgTx tx(this, c);
  const std::string salt = svcstore__randomBytes(16);
  const std::string email = name.find('@') != std::string::npos ? name : name + "@localhost";
  PgRows u;
  int rc = tx.begin();
  if (rc == kSvcOk)
    rc = run(c, "adding a user",
             "INSERT INTO users(name, email, salt, hash, created) VALUES($1,$2,$3,$4,$5)"
             " RETURNING id",
             {name, email, hexBytea(salt), hexBytea(svcstore__passwordHash(password, salt)),
              num(nowMs())},
             &u);
  if (rc != kSvcOk) {
    *err = rc == kSvcExists ? "cannot add user: the name is taken" : "cannot add user";
    return false;
  }
  const int64_t uid = u.i64(0, 0);
  out->user = name;
  out->deviceId = "dev" + svc__randomHex(8);
  rc = run(c, "adding a device", "INSERT INTO devices(id, userid, name) VALUES($1,$2,$3)",
           {out->deviceId, num(uid), name + "'s drive"});
  for (int i = 0; rc == kSvcOk && i < drives; i++) {
    std::string sid = "svc" + svc__randomHex(8);
    rc = run(c, "adding a drive",
             "INSERT INTO services(id, deviceid, userid, name, quota, transport)"
             " VALUES($1,$2,$3,$4,$5,$6)",
             {sid, out->deviceId, num(uid),
              drives == 1 ? std::string("Drive") : "Drive " + std::to_string(i + 1), num(quota),
              transport});
    out->serviceIds.push_back(sid);
  }
  if (rc == kSvcOk) rc = tx.commit("adding a user");
  if (rc != kSvcOk) {
    *err = "cannot add drives";
    return false;
  }
  out->token = insertToken(c, uid);
  if (out->token.empty()) {
    *err = "cannot make a session token";
    return false;
  }
  return true;
}

bool SvcPgStore::checkPassword(const std::string &name, const std::string &password,
                               int64_t *userId) {
  std::string salt, hash;
  {
    PgLease l(this);
    PgRows r;
    if (run(l.get(), "reading a user", "SELECT id, salt, hash FROM users WHERE name=$1", {name},
            &r) == kSvcOk &&
        r.rows() == 1) {
      *userId = r.i64(0, 0);
      salt = r.bytes(0, 1);
      hash = r.bytes(0, 2);
    }
  }
  if (hash.empty()) {
    // The same cost whether or not the name exists.
    svcstore__passwordHash(password, "dummy-salt-value");
    return false;
  }
  const std::string h = svcstore__passwordHash(password, salt);
  return h.size() == hash.size() && CRYPTO_memcmp(h.data(), hash.data(), h.size()) == 0;
}

bool SvcPgStore::userByName(const std::string &name, int64_t *userId) {
  PgLease l(this);
  PgRows r;
  if (run(l.get(), "reading a user", "SELECT id FROM users WHERE name=$1", {name}, &r) !=
          kSvcOk ||
      r.rows() != 1)
    return false;
  *userId = r.i64(0, 0);
  return true;
}

std::string SvcPgStore::insertToken(PgConn *c, int64_t userId) {
  const std::string token = svc__randomHex(16);
  const int64_t now = nowMs();
  if (run(c, "storing a session",
          "INSERT INTO sessions(hash, userid, created, used) VALUES($1,$2,$3,$3)",
          {hexBytea(svcstore__tokenHash(token)), num(userId), num(now)}) != kSvcOk)
    return std::string();
  // Expired sessions go, and a user keeps at most kMaxSessions of the newest. Several
  // instances may clear at once: a clearing that fails is done by the next sign-in.
  (void)run(c, "clearing sessions", "DELETE FROM sessions WHERE used < $1",
            {num(now - m_tokenLifetimeMs)});
  (void)run(c, "clearing sessions",
            "DELETE FROM sessions WHERE userid=$1 AND hash NOT IN"
            " (SELECT hash FROM sessions WHERE userid=$1 ORDER BY used DESC LIMIT $2)",
            {num(userId), num(kMaxSessions)});
  return token;
}

std::string SvcPgStore::newToken(int64_t userId) {
  PgLease l(this);
  return l.get() ? insertToken(l.get(), userId) : std::string();
}

bool SvcPgStore::userForToken(const std::string &token, UserRec *out) {
  if (token.size() != 32) return false;
  const int64_t now = nowMs();
  const std::string hash = hexBytea(svcstore__tokenHash(token));
  PgLease l(this);
  PgRows r;
  if (run(l.get(), "reading a session",
          "SELECT u.id, u.name, u.email, t.used FROM sessions t JOIN users u ON u.id=t.userid"
          " WHERE t.hash=$1 AND t.used>=$2",
          {hash, num(now - m_tokenLifetimeMs)}, &r) != kSvcOk ||
      r.rows() != 1)
    return false;
  useSession(l.get(), r, hash, now, out);
  return true;
}

void SvcPgStore::useSession(PgConn *c, const PgRows &r, const std::string &hash, int64_t now,
                            UserRec *out) {
  out->id = r.i64(0, 0);
  out->name = r.text(0, 1);
  out->email = r.text(0, 2);
  // Use renews the lifetime, now and then; best effort, as with SQLite.
  if (now - r.i64(0, 3) > std::min<int64_t>(60000, m_tokenLifetimeMs / 10))
    (void)run(c, "renewing a session", "UPDATE sessions SET used=$1 WHERE hash=$2",
              {num(now), hash});
}

// A file from the columns of kLoadCols at `c0` of row 0.
static void fileFromRow(const PgRows &r, int c0, FileRec *out) {
  *out = FileRec();
  out->id = r.i64(0, c0);
  out->parentId = r.i64(0, c0 + 1);
  out->name = r.text(0, c0 + 2);
  out->type = static_cast<int>(r.i64(0, c0 + 3));
  out->ctime = r.i64(0, c0 + 4);
  out->mtime = r.i64(0, c0 + 5);
  out->taken = r.i64(0, c0 + 6);
  out->media = static_cast<int>(r.i64(0, c0 + 7));
  const nlohmann::json props = nlohmann::json::parse(r.text(0, c0 + 8), nullptr, false);
  const nlohmann::json streams = nlohmann::json::parse(r.text(0, c0 + 9), nullptr, false);
  if (props.is_array())
    for (const auto &kv : props)
      if (kv.size() == 2 && kv[0].is_string() && kv[1].is_string())
        out->props.emplace_back(kv[0].get<std::string>(), kv[1].get<std::string>());
  if (streams.is_array())
    for (const auto &st : streams) {
      if (st.size() != 2 || !st[0].is_string() || !st[1].is_number_integer()) continue;
      if (st[0].get<std::string>().empty())
        out->size = st[1].get<int64_t>();
      else
        out->renditions.push_back(st[0].get<std::string>());
    }
}

SvcStore::SessionFound SvcPgStore::sessionDrive(const std::string &token,
                                                 const std::string &deviceId,
                                                 const std::string &serviceId, UserRec *user,
                                                 ServiceRec *svc) {
  return lookUp(token, deviceId, serviceId, -1, user, svc, nullptr, nullptr);
}

SvcStore::SessionFound SvcPgStore::sessionDriveFile(const std::string &token,
                                                     const std::string &deviceId,
                                                     const std::string &serviceId, int64_t fileId,
                                                     UserRec *user, ServiceRec *svc,
                                                     FileRec *file, int *fileRc) {
  if (fileId <= 0) return SvcStore::sessionDriveFile(token, deviceId, serviceId, fileId, user,
                                                     svc, file, fileRc);
  return lookUp(token, deviceId, serviceId, fileId, user, svc, file, fileRc);
}

SvcStore::SessionFound SvcPgStore::lookUp(const std::string &token, const std::string &deviceId,
                                          const std::string &serviceId, int64_t fileId,
                                          UserRec *user, ServiceRec *svc, FileRec *file,
                                          int *fileRc) {
  if (token.size() != 32) return kNoSession;
  const int64_t now = nowMs();
  const std::string hash = hexBytea(svcstore__tokenHash(token));
  const bool withFile = fileId > 0;
  std::vector<std::string> params{hash, serviceId, deviceId, num(now - m_tokenLifetimeMs)};
  if (withFile) params.push_back(num(fileId));
  PgLease l(this);
  PgRows r;
  if (run(l.get(), "reading a session",
          std::string("SELECT u.id, u.name, u.email, t.used, s.id, s.deviceid, s.userid, s.name,"
                      " s.quota, s.online, s.readonly, s.transport, COALESCE(s.version, ''),"
                      " s.used") +
              (withFile ? std::string(", ") + kLoadCols : std::string()) +
              " FROM sessions t JOIN users u ON u.id=t.userid"
              " LEFT JOIN services s ON s.id=$2 AND s.deviceid=$3 AND s.userid=t.userid" +
              (withFile ? " LEFT JOIN files f ON f.id=$5 AND f.serviceid=s.id" : "") +
              " WHERE t.hash=$1 AND t.used>=$4",
          params, &r) != kSvcOk ||
      r.rows() != 1)
    return kNoSession;
  useSession(l.get(), r, hash, now, user);
  if (PQgetisnull(r.result(), 0, 4)) return kSessionOnly;
  svc->id = r.text(0, 4);
  svc->deviceId = r.text(0, 5);
  svc->userId = r.i64(0, 6);
  svc->name = r.text(0, 7);
  svc->quota = r.i64(0, 8);
  svc->online = r.i64(0, 9) != 0;
  svc->readOnly = r.i64(0, 10) != 0;
  svc->transport = r.text(0, 11);
  svc->version = r.text(0, 12);
  svc->used = r.i64(0, 13);
  if (withFile) {
    *fileRc = PQgetisnull(r.result(), 0, 14) ? kSvcNoFile : kSvcOk;
    if (*fileRc == kSvcOk) fileFromRow(r, 14, file);
  }
  return kSessionAndDrive;
}

bool SvcPgStore::revokeToken(const std::string &token) {
  PgLease l(this);
  PgRows r;
  return run(l.get(), "revoking a session", "DELETE FROM sessions WHERE hash=$1 RETURNING userid",
             {hexBytea(svcstore__tokenHash(token))}, &r) == kSvcOk &&
         r.rows() > 0;
}

bool SvcPgStore::readService(const std::string &sql, const std::vector<std::string> &params,
                             std::vector<ServiceRec> *out) {
  PgLease l(this);
  PgRows r;
  if (run(l.get(), "reading drives", sql, params, &r) != kSvcOk) return false;
  for (int i = 0; i < r.rows(); i++) {
    ServiceRec s;
    s.id = r.text(i, 0);
    s.deviceId = r.text(i, 1);
    s.userId = r.i64(i, 2);
    s.name = r.text(i, 3);
    s.quota = r.i64(i, 4);
    s.online = r.i64(i, 5) != 0;
    s.readOnly = r.i64(i, 6) != 0;
    s.transport = r.text(i, 7);
    s.version = r.text(i, 8);
    s.used = r.i64(i, 9);
    out->push_back(std::move(s));
  }
  return true;
}

std::vector<ServiceRec> SvcPgStore::services(int64_t userId) {
  std::vector<ServiceRec> out;
  readService(std::string(kServiceCols) + "WHERE userid=$1 ORDER BY seq", {num(userId)}, &out);
  return out;
}

bool SvcPgStore::service(int64_t userId, const std::string &deviceId,
                         const std::string &serviceId, ServiceRec *out) {
  std::vector<ServiceRec> v;
  if (!readService(std::string(kServiceCols) + "WHERE id=$1 AND deviceid=$2 AND userid=$3",
                   {serviceId, deviceId, num(userId)}, &v) ||
      v.empty())
    return false;
  *out = v[0];
  return true;
}

bool SvcPgStore::serviceById(const std::string &serviceId, ServiceRec *out) {
  std::vector<ServiceRec> v;
  if (!readService(std::string(kServiceCols) + "WHERE id=$1", {serviceId}, &v) || v.empty())
    return false;
  *out = v[0];
  return true;
}

bool SvcPgStore::setOnline(const std::string &serviceId, bool online) {
  PgLease l(this);
  PgRows r;
  return run(l.get(), "switching a drive", "UPDATE services SET online=$1 WHERE id=$2 RETURNING id",
             {online ? "1" : "0", serviceId}, &r) == kSvcOk &&
         r.rows() > 0;
}

bool SvcPgStore::setQuota(const std::string &serviceId, int64_t quota) {
  PgLease l(this);
  PgRows r;
  return run(l.get(), "setting a quota", "UPDATE services SET quota=$1 WHERE id=$2 RETURNING id",
             {num(quota), serviceId}, &r) == kSvcOk &&
         r.rows() > 0;
}

bool SvcPgStore::setVersion(const std::string &serviceId, const std::string &version) {
  PgLease l(this);
  PgRows r;
  return run(l.get(), "setting a version",
             "UPDATE services SET version=$1 WHERE id=$2 RETURNING id", {version, serviceId},
             &r) == kSvcOk &&
         r.rows() > 0;
}

int SvcPgStore::spaceForUpdate(PgConn *c, const std::string &serviceId, int64_t *quota,
                               int64_t *used) {
  // The drive's row, locked until the transaction ends: every change of the drive waits here.
  PgRows r;
  int rc = run(c, "reading a drive", "SELECT quota, used FROM services WHERE id=$1 FOR UPDATE",
               {serviceId}, &r);
  if (rc != kSvcOk) return rc;
  if (r.rows() != 1) return kSvcNoService;
  *quota = r.i64(0, 0);
  *used = r.i64(0, 1);
  return kSvcOk;
}

int SvcPgStore::fillFiles(PgConn *c, std::vector<FileRec> *files) {
  if (files->empty()) return kSvcOk;
  std::map<int64_t, FileRec *> byId;
  std::vector<int64_t> ids;
  for (FileRec &f : *files) {
    f.props.clear();
    f.renditions.clear();
    f.size = -1;
    byId[f.id] = &f;
    ids.push_back(f.id);
  }
  const std::string arr = idArray(ids);
  PgRows p, z;
  int rc = run(c, "reading a file",
               "SELECT fileid, key, value FROM props WHERE fileid = ANY($1::bigint[])"
               " ORDER BY fileid, seq",
               {arr}, &p);
  if (rc == kSvcOk)
    rc = run(c, "reading a file",
             "SELECT fileid, stream, size FROM streams WHERE fileid = ANY($1::bigint[])"
             " ORDER BY fileid, stream",
             {arr}, &z);
  if (rc != kSvcOk) return rc;
  for (int i = 0; i < p.rows(); i++)
    byId[p.i64(i, 0)]->props.emplace_back(p.text(i, 1), p.text(i, 2));
  for (int i = 0; i < z.rows(); i++) {
    FileRec *f = byId[z.i64(i, 0)];
    if (z.text(i, 1).empty())
      f->size = z.i64(i, 2);
    else
      f->renditions.push_back(z.text(i, 1));
  }
  return kSvcOk;
}

int SvcPgStore::filesFrom(PgConn *c, const PgRows &r, std::vector<FileRec> *out) {
  std::vector<FileRec> got(static_cast<size_t>(r.rows()));
  for (int i = 0; i < r.rows(); i++) {
    FileRec &f = got[static_cast<size_t>(i)];
    f.id = r.i64(i, 0);
    f.parentId = r.i64(i, 1);
    f.name = r.text(i, 2);
    f.type = static_cast<int>(r.i64(i, 3));
    f.ctime = r.i64(i, 4);
    f.mtime = r.i64(i, 5);
    f.taken = r.i64(i, 6);
    f.media = static_cast<int>(r.i64(i, 7));
  }
  if (int rc = fillFiles(c, &got); rc != kSvcOk) return rc;
  for (FileRec &f : got) out->push_back(std::move(f));
  return kSvcOk;
}

int SvcPgStore::loadFile(PgConn *c, const std::string &serviceId, int64_t id, FileRec *out) {
  if (id == 0) {
    *out = FileRec();
    out->name = ".";
    out->type = 1;
    return kSvcOk;
  }
  // One round trip: the properties and streams come along as JSON arrays.
  PgRows r;
  int rc = run(c, "reading a file",
               std::string("SELECT ") + kLoadCols + " FROM files f WHERE id=$1 AND serviceid=$2",
               {num(id), serviceId}, &r);
  if (rc != kSvcOk) return rc;
  if (r.rows() != 1) return kSvcNoFile;
  fileFromRow(r, 0, out);
  return kSvcOk;
}

int SvcPgStore::childExists(PgConn *c, const std::string &serviceId, int64_t parentId,
                            const std::string &name, bool *exists) {
  PgRows r;
  int rc = run(c, "looking up a name",
               "SELECT id FROM files WHERE serviceid=$1 AND parentid=$2 AND name=$3",
               {serviceId, num(parentId), name}, &r);
  *exists = r.rows() > 0;
  return rc;
}

int SvcPgStore::freeName(PgConn *c, const std::string &serviceId, int64_t parentId,
                         const std::string &name, std::string *out) {
  // As in SQLite: "NAME (N).EXT" with the smallest free N from 2, found in one range scan of
  // the names that start with "STEM (".
  size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string::npos) dot = name.size();
  const std::string stem = name.substr(0, dot), ext = name.substr(dot);
  const std::string prefix = stem + " (";
  std::string upper = prefix;
  upper.back() = '(' + 1;
  PgRows r;
  int rc = run(c, "looking up names",
               "SELECT name FROM files WHERE serviceid=$1 AND parentid=$2 AND name>=$3"
               " AND name<$4",
               {serviceId, num(parentId), prefix, upper}, &r);
  if (rc != kSvcOk) return rc;
  std::set<int64_t> taken;
  for (int i = 0; i < r.rows(); i++) {
    const std::string n = r.text(i, 0);
    if (n.size() <= prefix.size() + ext.size() + 1) continue;
    const size_t close = n.size() - ext.size() - 1;
    if (n[close] != ')' || n.compare(close + 1, ext.size(), ext) != 0) continue;
    const std::string digits = n.substr(prefix.size(), close - prefix.size());
    if (digits.size() < 10 && digits[0] != '0' &&
        digits.find_first_not_of("0123456789") == std::string::npos)
      taken.insert(std::stoll(digits));
  }
  int64_t n = 2;
  for (int tries = 0; tries < 1000; ++tries, ++n) {
    while (taken.count(n)) ++n;
    const std::string tail = " (" + std::to_string(n) + ")" + ext;
    if (tail.size() >= kSvcMaxName) return kSvcExists;
    size_t keep = std::min(stem.size(), kSvcMaxName - tail.size());
    while (keep > 0 && keep < stem.size() &&
           (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80)
      --keep;
    const std::string candidate = stem.substr(0, keep) + tail;
    bool exists = false;
    if ((rc = childExists(c, serviceId, parentId, candidate, &exists)) != kSvcOk) return rc;
    if (!exists) {
      *out = candidate;
      return kSvcOk;
    }
  }
  return kSvcExists;
}

int SvcPgStore::createFile(const ServiceRec &svc, int64_t parentId, const std::string &name,
                           int type, int64_t ctime, int64_t mtime, const SvcArgs &props,
                           FileRec *out) {
  // A free name (the common case) is one round trip; a taken one goes the long way.
  const int64_t meta = svcstore__metaSize(name, props);
  int64_t takenMs = 0;
  int media = kSvcMediaNone;
  if (type == 0) svcstore__dating(props, mtime, &takenMs, &media);
  std::vector<std::string> keys, values;
  for (const auto &[k, v] : props) {
    keys.push_back(k);
    values.push_back(v);
  }
  int64_t id = 0;
  {
    PgLease l(this);
    PgRows r;
    const int rc = run(l.get(), "creating a file",
                       "SELECT tessel_create_file($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11)",
                       {svc.id, num(parentId), name, num(type), num(ctime), num(mtime), num(meta),
                        num(takenMs), num(media), textArray(keys), textArray(values)},
                       &r);
    if (rc != kSvcOk) return rc;
    if (r.rows() != 1) return kSvcInternal;
    id = r.i64(0, 0);
  }
  if (id == -kSvcExists && type == 0)
    return createNumbered(svc, parentId, name, type, ctime, mtime, props, out);
  if (id < 0) return static_cast<int>(-id);
  *out = svc__fileRec(id, parentId, name, type, ctime, mtime, props, takenMs, media);
  return kSvcOk;
}

int SvcPgStore::createNumbered(const ServiceRec &svc, int64_t parentId, const std::string &name,
                               int type, int64_t ctime, int64_t mtime, const SvcArgs &props,
                               FileRec *out) {
  PgLease l(this);
  PgConn *c = l.get();
  PgTx tx(this, c);
  int rc = tx.begin();
  int64_t quota = 0, used = 0;
  // The drive's row first: creations in one drive, from any instance, go one at a time, so
  // that the free name found below is still free at the insert.
  if (rc == kSvcOk) rc = spaceForUpdate(c, svc.id, &quota, &used);
  FileRec parent;
  if (rc == kSvcOk) rc = loadFile(c, svc.id, parentId, &parent);
  if (rc != kSvcOk) return rc;
  if (parent.type != 1) return kSvcNotFolder;
  std::string stored = name;
  bool taken = false;
  if ((rc = childExists(c, svc.id, parentId, name, &taken)) != kSvcOk) return rc;
  if (taken) {
    if (type == 1) return kSvcExists;
    if ((rc = freeName(c, svc.id, parentId, name, &stored)) != kSvcOk) return rc;
  }
  const int64_t meta = svcstore__metaSize(stored, props);
  if (used + meta > quota) return kSvcNoSpace;
  int64_t takenMs = 0;
  int media = kSvcMediaNone;
  if (type == 0) svcstore__dating(props, mtime, &takenMs, &media);
  PgRows ins;
  rc = run(c, "creating a file",
           "INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta, taken, media)"
           " VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9) RETURNING id",
           {svc.id, num(parentId), stored, num(type), num(ctime), num(mtime), num(meta),
            num(takenMs), num(media)},
           &ins);
  if (rc != kSvcOk) return rc;
  const int64_t id = ins.i64(0, 0);
  int64_t seq = 0;
  for (const auto &[k, v] : props)
    if ((rc = run(c, "storing a property",
                  "INSERT INTO props(fileid, seq, key, value) VALUES($1,$2,$3,$4)",
                  {num(id), num(seq++), k, v})) != kSvcOk)
      return rc;
  if ((rc = run(c, "counting used space", "UPDATE services SET used=used+$1 WHERE id=$2",
                {num(meta), svc.id})) != kSvcOk)
    return rc;
  if ((rc = tx.commit("creating a file")) != kSvcOk) return rc;
  *out = svc__fileRec(id, parentId, stored, type, ctime, mtime, props, takenMs, media);
  return kSvcOk;
}

int SvcPgStore::webContent(const std::string &token, const std::string &serviceId,
                           int64_t fileId, const std::string &stream, WebContent *out) {
  *out = WebContent();
  if (token.size() != 32) return kSvcOk;
  const int64_t now = nowMs();
  const std::string hash = hexBytea(svcstore__tokenHash(token));
  PgLease l(this);
  PgRows r;
  const int rc = run(
      l.get(), "reading a file for the pages",
      "SELECT t.userid, t.used, COALESCE(s.userid, -1), COALESCE(s.online, 0),"
      " COALESCE(f.type, -1), COALESCE(f.name, ''),"
      " COALESCE((SELECT value FROM props WHERE fileid=f.id AND key='mimetype'"
      " ORDER BY seq LIMIT 1), ''),"
      " CASE WHEN EXISTS(SELECT 1 FROM streams WHERE fileid=f.id AND stream=$3) THEN 1 ELSE 0 END"
      " FROM sessions t JOIN users u ON u.id=t.userid"
      " LEFT JOIN services s ON s.id=$2"
      " LEFT JOIN files f ON f.id=$4 AND f.serviceid=$2"
      " WHERE t.hash=$1 AND t.used>=$5",
      {hash, serviceId, stream, num(fileId), num(now - m_tokenLifetimeMs)}, &r);
  if (rc != kSvcOk) return rc;
  if (r.rows() != 1) return kSvcOk;
  out->userId = r.i64(0, 0);
  out->found = WebContent::kNoDrive;
  if (r.i64(0, 2) == out->userId) {
    out->found = WebContent::kNoFile;
    out->online = r.i64(0, 3) != 0;
    if (r.i64(0, 4) == 0) {
      out->found = WebContent::kFile;
      out->name = r.text(0, 5);
      out->mimetype = r.text(0, 6);
      out->stored = r.i64(0, 7) != 0;
    }
  }
  // Use renews the session now and then, as userForToken does.
  if (now - r.i64(0, 1) > std::min<int64_t>(60000, m_tokenLifetimeMs / 10))
    (void)run(l.get(), "renewing a session", "UPDATE sessions SET used=$1 WHERE hash=$2",
              {num(now), hash});
  return kSvcOk;
}

int SvcPgStore::getFile(const ServiceRec &svc, int64_t id, FileRec *out) {
  PgLease l(this);
  return loadFile(l.get(), svc.id, id, out);
}

int SvcPgStore::findChild(const ServiceRec &svc, int64_t parentId, const std::string &name,
                          FileRec *out) {
  PgLease l(this);
  PgRows r;
  int rc = run(l.get(), "looking up a name",
               std::string(kFileCols) + "WHERE serviceid=$1 AND parentid=$2 AND name=$3",
               {svc.id, num(parentId), name}, &r);
  if (rc != kSvcOk) return rc;
  if (r.rows() != 1) return kSvcNoFile;
  std::vector<FileRec> v;
  if ((rc = filesFrom(l.get(), r, &v)) != kSvcOk) return rc;
  *out = std::move(v[0]);
  return kSvcOk;
}

int SvcPgStore::listFiles(const ServiceRec &svc, int64_t parentId, int64_t offset, int64_t count,
                          std::vector<FileRec> *out) {
  PgLease l(this);
  FileRec parent;
  int rc = loadFile(l.get(), svc.id, parentId, &parent);
  if (rc != kSvcOk) return rc;
  if (parent.type != 1) return kSvcNotFolder;
  PgRows r;
  rc = run(l.get(), "listing a folder",
           std::string(kFileCols) +
               "WHERE serviceid=$1 AND parentid=$2 ORDER BY name, id LIMIT $3 OFFSET $4",
           {svc.id, num(parentId), num(count), num(offset)}, &r);
  return rc == kSvcOk ? filesFrom(l.get(), r, out) : rc;
}

int SvcPgStore::photos(const ServiceRec &svc, int64_t beforeTaken, int64_t beforeId,
                       int64_t count, std::vector<FileRec> *out) {
  PgLease l(this);
  PgRows r;
  int rc = beforeId < 0
               ? run(l.get(), "listing photos",
                     std::string(kFileCols) +
                         "WHERE serviceid=$1 AND media>0 ORDER BY taken DESC, id DESC LIMIT $2",
                     {svc.id, num(count)}, &r)
               : run(l.get(), "listing photos",
                     std::string(kFileCols) +
                         "WHERE serviceid=$1 AND media>0 AND (taken, id) < ($2, $3)"
                         " ORDER BY taken DESC, id DESC LIMIT $4",
                     {svc.id, num(beforeTaken), num(beforeId), num(count)}, &r);
  return rc == kSvcOk ? filesFrom(l.get(), r, out) : rc;
}

int SvcPgStore::children(const ServiceRec &svc, int64_t parentId, int type,
                         const std::string &afterName, int64_t count, std::vector<FileRec> *out) {
  PgLease l(this);
  FileRec parent;
  int rc = loadFile(l.get(), svc.id, parentId, &parent);
  if (rc != kSvcOk) return rc;
  if (parent.type != 1) return kSvcNotFolder;
  PgRows r;
  rc = run(l.get(), "listing a folder",
           std::string(kFileCols) +
               "WHERE serviceid=$1 AND parentid=$2 AND name>$3 AND type=$4 ORDER BY name"
               " LIMIT $5",
           {svc.id, num(parentId), afterName, num(type), num(count)}, &r);
  return rc == kSvcOk ? filesFrom(l.get(), r, out) : rc;
}

int SvcPgStore::moveFile(const ServiceRec &svc, int64_t id, int64_t newParentId,
                         const std::string &newName, FileRec *out) {
  if (id == 0) return kSvcBadRequest;
  PgLease l(this);
  PgConn *c = l.get();
  PgTx tx(this, c);
  int64_t quota = 0, used = 0;
  int rc = tx.begin();
  if (rc == kSvcOk) rc = spaceForUpdate(c, svc.id, &quota, &used);
  FileRec f, parent;
  if (rc == kSvcOk) rc = loadFile(c, svc.id, id, &f);
  if (rc == kSvcOk) rc = loadFile(c, svc.id, newParentId, &parent);
  if (rc != kSvcOk) return rc;
  if (parent.type != 1) return kSvcNotFolder;
  if (f.parentId == newParentId && f.name == newName) {
    *out = f;
    return kSvcOk;
  }
  // A folder cannot go inside itself: the new parent's chain up to the root, in one query.
  PgRows up;
  rc = run(c, "reading a folder",
           "WITH RECURSIVE up(id, parentid, depth) AS ("
           " SELECT id, parentid, 0 FROM files WHERE serviceid=$1 AND id=$2"
           " UNION ALL SELECT f.id, f.parentid, up.depth+1 FROM files f JOIN up ON f.id=up.parentid"
           " WHERE f.serviceid=$1 AND up.depth < 1000000)"
           " SELECT count(*) FILTER (WHERE id=$3) FROM up",
           {svc.id, num(newParentId), num(id)}, &up);
  if (rc != kSvcOk) return rc;
  if (up.i64(0, 0) > 0) return kSvcBadRequest;
  bool taken = false;
  if ((rc = childExists(c, svc.id, newParentId, newName, &taken)) != kSvcOk) return rc;
  if (taken) return kSvcExists;
  PgRows m;
  if ((rc = run(c, "reading a file", "SELECT meta FROM files WHERE id=$1", {num(id)}, &m)) !=
      kSvcOk)
    return rc;
  const int64_t oldMeta = m.i64(0, 0);
  const int64_t meta =
      oldMeta + static_cast<int64_t>(newName.size()) - static_cast<int64_t>(f.name.size());
  if (meta > oldMeta && used + meta - oldMeta > quota) return kSvcNoSpace;
  if ((rc = run(c, "moving a file", "UPDATE files SET parentid=$1, name=$2, meta=$3 WHERE id=$4",
                {num(newParentId), newName, num(meta), num(id)})) != kSvcOk)
    return rc;
  if ((rc = run(c, "counting used space", "UPDATE services SET used=used+$1 WHERE id=$2",
                {num(meta - oldMeta), svc.id})) != kSvcOk)
    return rc;
  if ((rc = tx.commit("moving a file")) != kSvcOk) return rc;
  f.parentId = newParentId;
  f.name = newName;
  *out = f;
  return kSvcOk;
}

int SvcPgStore::removeFile(const ServiceRec &svc, int64_t id, std::vector<int64_t> *removed) {
  if (id == 0) return kSvcBadRequest;
  PgLease l(this);
  PgConn *c = l.get();
  PgTx tx(this, c);
  int64_t quota = 0, used = 0;
  int rc = tx.begin();
  if (rc == kSvcOk) rc = spaceForUpdate(c, svc.id, &quota, &used);
  FileRec f;
  if (rc == kSvcOk) rc = loadFile(c, svc.id, id, &f);
  if (rc != kSvcOk) return rc;
  // The entry with everything below it, in one query.
  PgRows all;
  rc = run(c, "listing a folder",
           "WITH RECURSIVE below(id) AS (SELECT $2::bigint UNION ALL"
           " SELECT f.id FROM files f JOIN below b ON f.parentid=b.id WHERE f.serviceid=$1)"
           " SELECT id FROM below",
           {svc.id, num(id)}, &all);
  if (rc != kSvcOk) return rc;
  std::vector<int64_t> ids;
  for (int i = 0; i < all.rows(); i++) ids.push_back(all.i64(i, 0));
  const std::string arr = idArray(ids);
  PgRows freed;
  rc = run(c, "removing a file",
           "SELECT (SELECT COALESCE(SUM(meta),0) FROM files WHERE id = ANY($1::bigint[]))"
           " + (SELECT COALESCE(SUM(size),0) FROM streams WHERE fileid = ANY($1::bigint[]))",
           {arr}, &freed);
  if (rc == kSvcOk)
    rc = run(c, "removing a file", "DELETE FROM props WHERE fileid = ANY($1::bigint[])", {arr});
  if (rc == kSvcOk)
    rc = run(c, "removing a file", "DELETE FROM streams WHERE fileid = ANY($1::bigint[])", {arr});
  if (rc == kSvcOk)
    rc = run(c, "removing a file", "DELETE FROM files WHERE id = ANY($1::bigint[])", {arr});
  if (rc == kSvcOk)
    rc = run(c, "counting used space", "UPDATE services SET used=used-$1 WHERE id=$2",
             {num(freed.i64(0, 0)), svc.id});
  if (rc == kSvcOk) rc = tx.commit("removing a file");
  if (rc != kSvcOk) return rc;
  *removed = std::move(ids);
  return kSvcOk;
}

int64_t SvcPgStore::streamSize(int64_t fileId, const std::string &stream) {
  PgLease l(this);
  PgRows r;
  if (run(l.get(), "reading a stream", "SELECT size FROM streams WHERE fileid=$1 AND stream=$2",
          {num(fileId), stream}, &r) != kSvcOk ||
      r.rows() != 1)
    return -1;
  return r.i64(0, 0);
}

int SvcPgStore::room(const std::string &serviceId, int64_t fileId, const std::string &stream,
                     int64_t *out) {
  PgLease l(this);
  PgRows r;
  int rc = run(l.get(), "reading a drive",
               "SELECT quota - used + COALESCE((SELECT size FROM streams WHERE fileid=$2"
               " AND stream=$3), 0) FROM services WHERE id=$1",
               {serviceId, num(fileId), stream}, &r);
  if (rc != kSvcOk) return rc;
  if (r.rows() != 1) return kSvcNoService;
  *out = r.i64(0, 0);
  return kSvcOk;
}

int SvcPgStore::commitStream(const std::string &serviceId, int64_t fileId,
                             const std::string &stream, int64_t size,
                             const std::function<int(bool replacing)> &publish,
                             const std::function<void()> &unpublish) {
  PgLease l(this);
  PgConn *c = l.get();
  PgTx tx(this, c);
  // The record in the transaction's first round trip, behind the drive's row (held until the
  // commit): a removal from another instance is either all before (the file is gone here) or
  // all after (it removes this content too).
  PgRows r;
  int rc = tx.beginAndRun("recording an upload", "SELECT tessel_commit_stream($1,$2,$3,$4)",
                          {serviceId, num(fileId), stream, num(size)}, &r);
  if (rc != kSvcOk) return rc;
  if (r.rows() != 1) return kSvcInternal;
  const int64_t got = r.i64(0, 0);
  if (got < 0) return static_cast<int>(-got);
  if ((rc = publish(got == 1)) != kSvcOk) return rc;
  if ((rc = tx.commit("recording an upload")) != kSvcOk) unpublish();
  return rc;
}

int SvcPgStore::roomAndHold(const std::string &serviceId, int64_t fileId,
                            const std::string &stream, const std::string &key, int64_t bytes,
                            int64_t *room, bool *held) {
  PgLease l(this);
  PgRows r;
  int rc = run(l.get(), "holding upload space",
               "SELECT o_room, o_held FROM tessel_hold_room($1, $2, $3, $4, $5, $6)",
               {serviceId, num(fileId), stream, key, m_instance, num(bytes)}, &r);
  if (rc != kSvcOk) return rc;
  if (r.rows() != 1) return kSvcInternal;
  if (PQgetisnull(r.result(), 0, 0)) return kSvcNoService;
  *room = r.i64(0, 0);
  *held = r.text(0, 1) == "t";
  return kSvcOk;
}

bool SvcPgStore::holdUpload(const std::string &serviceId, const std::string &key, int64_t bytes,
                            int64_t room) {
  // Holds of one drive change one at a time, behind its row (inside tessel_hold).
  PgLease l(this);
  PgRows r;
  return run(l.get(), "holding upload space", "SELECT tessel_hold($1, $2, $3, $4, $5)",
             {serviceId, key, m_instance, num(bytes), num(room)}, &r) == kSvcOk &&
         r.rows() == 1 && r.text(0, 0) == "t";
}

void SvcPgStore::releaseUpload(const std::string &, const std::string &key) {
  PgLease l(this);
  (void)run(l.get(), "releasing upload space", "DELETE FROM uploads WHERE key=$1", {key});
}

bool SvcPgStore::putCode(const std::string &digest, const SignInCode &code, int64_t nowMs) {
  PgLease l(this);
  (void)run(l.get(), "clearing sign-in codes", "DELETE FROM codes WHERE expires < $1",
            {num(nowMs)});
  return run(l.get(), "storing a sign-in code",
             "INSERT INTO codes(digest, userid, next, expires) VALUES($1,$2,$3,$4)",
             {digest, num(code.userId), code.next, num(code.expires)}) == kSvcOk;
}

bool SvcPgStore::takeCode(const std::string &digest, SignInCode *out) {
  PgLease l(this);
  PgRows r;
  if (run(l.get(), "using a sign-in code",
          "DELETE FROM codes WHERE digest=$1 RETURNING userid, next, expires", {digest}, &r) !=
          kSvcOk ||
      r.rows() != 1)
    return false;
  out->userId = r.i64(0, 0);
  out->next = r.text(0, 1);
  out->expires = r.i64(0, 2);
  return true;
}

int64_t SvcPgStore::until(const char *kind, const std::string &key) {
  PgLease l(this);
  PgRows r;
  if (run(l.get(), "reading sign-in failures",
          "SELECT wait_until FROM throttle WHERE kind=$1 AND key=$2", {kind, key}, &r) != kSvcOk ||
      r.rows() != 1)
    return 0;
  return r.i64(0, 0);
}

int SvcPgStore::fail(const char *kind, const std::string &key, int64_t nowMs) {
  PgLease l(this);
  PgRows r;
  // Counts an hour old start again, as the table in one process forgets them.
  if (run(l.get(), "counting a sign-in failure",
          "INSERT INTO throttle(kind, key, failures, last_ms) VALUES($1,$2,1,$3)"
          " ON CONFLICT(kind, key) DO UPDATE SET last_ms=$3, failures = CASE"
          " WHEN throttle.wait_until < $3 AND $3 - throttle.last_ms > 3600000 THEN 1"
          " ELSE throttle.failures + 1 END RETURNING failures",
          {kind, key, num(nowMs)}, &r) != kSvcOk ||
      r.rows() != 1)
    return 0;
  return static_cast<int>(r.i64(0, 0));
}

void SvcPgStore::setUntil(const char *kind, const std::string &key, int64_t untilMs) {
  PgLease l(this);
  (void)run(l.get(), "counting a sign-in failure",
            "UPDATE throttle SET wait_until=GREATEST(wait_until, $3) WHERE kind=$1 AND key=$2",
            {kind, key, num(untilMs)});
}

void SvcPgStore::forget(const char *kind, const std::string &key) {
  PgLease l(this);
  (void)run(l.get(), "clearing sign-in failures", "DELETE FROM throttle WHERE kind=$1 AND key=$2",
            {kind, key});
}

}  // namespace tessel::svc
