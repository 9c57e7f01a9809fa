// A private PostgreSQL cluster for the service's tests: made with initdb in a temporary folder
// on first use (as "nobody" when the tests run as root, since the server refuses root),
// listening only on a Unix socket in that folder, stopped when the test program ends. One
// database per test.
#pragma once

#include <glob.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testutil.h"

namespace tessel::test {

class SvcPgCluster {
 public:
  static SvcPgCluster &get() {
    static SvcPgCluster cluster;
    return cluster;
  }
  ~SvcPgCluster() { stop(); }

  // Starts the cluster once; false with the reason when PostgreSQL is missing or does not start.
  bool ready(std::string *why, bool *missing) {
    if (!m_tried) {
      m_tried = true;
      m_up = start();
    }
    *why = m_why;
    *missing = m_missing;
    return m_up;
  }

  // A new empty database, as an address for --db; empty when it cannot be made.
  std::string newDatabase() {
    const std::string name = "t" + std::to_string(getpid()) + "_" + std::to_string(++m_next);
    PGconn *c = PQconnectdb(url("postgres").c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (ok) {
      PGresult *r = PQexec(c, ("CREATE DATABASE " + name + " ENCODING 'UTF8'").c_str());
      ok = PQresultStatus(r) == PGRES_COMMAND_OK;
      PQclear(r);
    }
    PQfinish(c);
    return ok ? url(name) : std::string();
  }

  // The address of database `name`, on the cluster's socket.
  std::string url(const std::string &name) const {
    std::string host;
    for (char ch : m_dir) host += ch == '/' ? std::string("%2F") : std::string(1, ch);
    return "postgresql://tessel@" + host + "/" + name;
  }
  const std::string &socketDir() const { return m_dir; }

 private:
  SvcPgCluster() = default;

  // As the cluster's owner: "nobody" for root.
  std::vector<std::string> asOwner(std::vector<std::string> argv) const {
    if (geteuid() != 0) return argv;
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
    return argv;
  }

  bool start() {
    glob_t g{};
    std::string bin;
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0 && g.gl_pathc > 0) {
      std::vector<std::string> found(g.gl_pathv, g.gl_pathv + g.gl_pathc);
      std::sort(found.begin(), found.end());
      bin = found.back().substr(0, found.back().size() - 6);
    }
    globfree(&g);
    if (bin.empty()) {
      m_missing = true;
      m_why = "PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb; "
              "apt-get install postgresql)";
      return false;
    }
    // Under /tmp, not the test root: the owner must be able to reach it.
    char tmpl[] = "/tmp/tessel-pg-XXXXXX";
    if (!mkdtemp(tmpl)) {
      m_why = "cannot make a folder for the cluster";
      return false;
    }
    m_dir = tmpl;
    if (geteuid() == 0) {
      passwd *pw = getpwnam("nobody");
      if (!pw || chown(m_dir.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        m_why = "cannot give the cluster's folder to nobody";
        return false;
      }
    }
    m_bin = bin;
    RunResult r = runProgram(asOwner({bin + "initdb", "-D", m_dir + "/data", "-U", "tessel", "-A",
                                      "trust", "-E", "UTF8", "--no-sync", "--locale=C"}),
                             "", 120000);
    if (r.exitCode != 0) {
      m_why = "initdb failed: " + r.err;
      return false;
    }
    r = runProgram(asOwner({bin + "pg_ctl", "-D", m_dir + "/data", "-l", m_dir + "/log", "-w",
                            "-t", "60", "-o",
                            "-k " + m_dir + " -h '' -F -c max_connections=200", "start"}),
                   "", 90000);
    if (r.exitCode != 0) {
      m_why = "pg_ctl start failed: " + r.out + r.err;
      return false;
    }
    m_started = true;
    return true;
  }

  void stop() {
    if (m_started)
      runProgram(asOwner({m_bin + "pg_ctl", "-D", m_dir + "/data", "-m", "fast", "-w", "stop"}),
                 "", 60000);
    m_started = false;
    if (!m_dir.empty()) removeTree(m_dir);
    m_dir.clear();
  }

  std::string m_dir, m_bin, m_why;
  bool m_tried = false, m_up = false, m_started = false, m_missing = false;
  int m_next = 0;
};

// The cluster for a test: a skip with the reason where PostgreSQL is not installed, a failure
// where it is but does not start.
#define TESSEL_NEED_POSTGRESQL()                                                 \
  do {                                                                           \
    std::string why_;                                                            \
    bool missing_ = false;                                                       \
    if (!::tessel::test::SvcPgCluster::get().ready(&why_, &missing_)) {          \
      if (missing_) GTEST_SKIP() << why_;                                        \
      FAIL() << why_;                                                            \
    }                                                                            \
  } while (0)

}  // namespace tessel::test
