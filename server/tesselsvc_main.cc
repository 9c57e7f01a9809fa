// Entry point of the reference drive service: "serve", "adduser" and "migrate".
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "svcmigrate.h"
#include "svcpgstore.h"
#include "svcserver.h"

#ifndef TESSEL_VERSION
#define TESSEL_VERSION "unknown"
#endif

namespace {

tessel::svc::SvcService *g_service = nullptr;

void onSignal(int) {
  if (g_service) g_service->stop();
}

const char kUsage[] =
    "usage: tesselsvc serve --data DIR [options]\n"
    "       tesselsvc adduser --data DIR [--db URL] NAME PASSWORD|- [--quota BYTES] [--drives N]"
    " [--transport soap|pktm]\n"
    "       tesselsvc migrate --data DIR --db URL\n"
    "       tesselsvc --version\n"
    "adduser: \"-\" reads the password from the first line of standard input\n"
    "serve options:\n"
    "  --listen HOST:PORT        address to listen on (default 127.0.0.1:8480; port 0 picks one)\n"
    "  --public-url URL          address clients reach the service at, as handed out in apiurl\n"
    "                            (default: the address the connection came in on)\n"
    "  --owner NAME              hand this user's token to local callers (getOwnerAuth)\n"
    "  --allow-origin ORIGIN     a further origin whose pages may call the JSON API, such as\n"
    "                            http://127.0.0.1:8000 or http://127.0.0.1:* (repeatable; also\n"
    "                            one a line in DIR/allowed-origins)\n"
    "  --token-lifetime SECONDS  how long an unused session token lives (default 2592000)\n"
    "  --workers N               threads answering requests (default 16)\n"
    "  --loops N                 threads holding the connections (default one per core, at\n"
    "                            most 8)\n"
    "  --max-connections N       open connections at once (default 4096)\n"
    "  --max-per-peer N          open connections from one address (default 64)\n"
    "  --header-timeout SECONDS  time for a whole request line and header fields (default 10)\n"
    "  --verbose                 one line per request on standard error\n"
    "  --db URL                  keep the metadata in PostgreSQL (postgresql://...) instead of\n"
    "                            DIR/meta.db; several instances may share it and DIR\n"
    "  --instance NAME           this instance among those sharing the database (default\n"
    "                            HOSTNAME-PORT)\n"
    "migrate: copies DIR/meta.db into the PostgreSQL database URL (again: only what is new)\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// "http://host:port", "https://host" or "host:port": the host and port part.
bool publicHost(const std::string &url, std::string *out) {
  std::string h = url;
  size_t scheme = h.find("://");
  if (scheme != std::string::npos) {
    std::string s = h.substr(0, scheme);
    if (s != "http" && s != "https") return false;
    h = h.substr(scheme + 3);
  }
  while (!h.empty() && h.back() == '/') h.pop_back();
  if (h.empty() || h.size() > 255 ||
      h.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]") !=
          std::string::npos)
    return false;
  *out = h;
  return true;
}

std::string jsonText(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool parseCount(const char *s, long long *out) {
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(s, &end, 10);
  if (errno || !end || *end || v < 0) return false;
  *out = v;
  return true;
}

int serve(int argc, char **argv) {
  tessel::svc::SvcOptions opt;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--data" && i + 1 < argc) {
      opt.dataDir = argv[++i];
    } else if (a == "--listen" && i + 1 < argc) {
      std::string l = argv[++i];
      size_t colon = l.rfind(':');
      long long port;
      if (colon == std::string::npos || !parseCount(l.c_str() + colon + 1, &port) || port > 65535)
        return usage();
      opt.host = l.substr(0, colon);
      if (opt.host.size() > 2 && opt.host.front() == '[' && opt.host.back() == ']')
        opt.host = opt.host.substr(1, opt.host.size() - 2);
      opt.port = static_cast<int>(port);
    } else if (a == "--owner" && i + 1 < argc) {
      opt.owner = argv[++i];
    } else if (a == "--verbose") {
      opt.verbose = true;
    } else if (a == "--db" && i + 1 < argc) {
      opt.db = argv[++i];
    } else if (a == "--instance" && i + 1 < argc) {
      opt.instance = argv[++i];
      // It names files: letters, digits, ".", "_" and "-" only.
      if (opt.instance.empty() || opt.instance.size() > 64 ||
          opt.instance.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                         "0123456789._-") != std::string::npos)
        return usage();
    } else if (a == "--public-url" && i + 1 < argc) {
      if (!publicHost(argv[++i], &opt.publicHost)) return usage();
    } else if (a == "--allow-origin" && i + 1 < argc) {
      opt.allowOrigins.push_back(argv[++i]);
    } else if (a == "--token-lifetime" && i + 1 < argc) {
      long long v;
      if (!parseCount(argv[++i], &v) || v < 1) return usage();
      opt.tokenLifetimeSec = v;
    } else if (a == "--header-timeout" && i + 1 < argc) {
      long long v;
      if (!parseCount(argv[++i], &v) || v < 1 || v > 3600) return usage();
      opt.limits.headerTimeoutMs = static_cast<int>(v * 1000);
    } else if (a == "--loops" && i + 1 < argc) {
      long long v;
      if (!parseCount(argv[++i], &v) || v < 1 || v > 64) return usage();
      opt.limits.loops = static_cast<int>(v);
    } else if ((a == "--workers" || a == "--max-connections" || a == "--max-per-peer") &&
               i + 1 < argc) {
      long long v;
      if (!parseCount(argv[++i], &v) || v < 1 || v > 1000000) return usage();
      int n = static_cast<int>(v);
      if (a == "--workers") {
        opt.limits.workers = n;
        opt.limits.streamWorkers = std::max(1, n - 4);
      } else if (a == "--max-connections") {
        opt.limits.maxConnections = n;
      } else {
        opt.limits.maxPerPeer = n;
      }
    } else {
      return usage();
    }
  }
  if (opt.dataDir.empty()) return usage();
  if (!opt.db.empty() && opt.instance.empty()) {
    // A restarted instance finds the uploads it left behind under the same name; a port picked
    // at random has no such next time.
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    for (char *p = host; *p; p++)
      if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '.' && *p != '-') *p = '_';
    opt.instance = std::string(host) + "-" +
                   (opt.port ? std::to_string(opt.port) : tessel::svc::svc__randomHex(4));
  }
  signal(SIGPIPE, SIG_IGN);
  // Few malloc arenas, and large blocks straight from the system, so that memory a burst of
  // large calls took goes back when they end.
  mallopt(M_ARENA_MAX, 4);
  mallopt(M_MMAP_THRESHOLD, 256 << 10);
  // Every open connection is a descriptor.
  rlimit nofile;
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);
  }
  tessel::svc::SvcService service(opt);
  std::string err;
  if (!service.init(&err)) {
    std::fprintf(stderr, "tesselsvc: %s\n", err.c_str());
    return 1;
  }
  g_service = &service;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::printf("tesselsvc: listening on %s:%d admin-secret %s\n", opt.host.c_str(), service.port(),
              service.adminSecret().c_str());
  std::fflush(stdout);
  bool served = service.run(&err);
  g_service = nullptr;
  if (!served) {
    std::fprintf(stderr, "tesselsvc: %s\n", err.c_str());
    return 1;
  }
  std::printf("tesselsvc: stopped\n");
  return 0;
}

int addUser(int argc, char **argv) {
  std::string dir, db, transport = "soap";
  std::vector<std::string> pos;
  long long quota = 10LL << 30, drives = 1;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--data" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--db" && i + 1 < argc)
      db = argv[++i];
    else if (a == "--quota" && i + 1 < argc) {
      if (!parseCount(argv[++i], &quota)) return usage();
    } else if (a == "--drives" && i + 1 < argc) {
      if (!parseCount(argv[++i], &drives) || drives > 64) return usage();
    } else if (a == "--transport" && i + 1 < argc) {
      transport = argv[++i];
      if (transport != "soap" && transport != "pktm") return usage();
    } else if (a.compare(0, 2, "--") == 0) {
      return usage();
    } else {
      pos.push_back(a);
    }
  }
  if (dir.empty() || pos.size() != 2) return usage();
  // A password on a command line is visible to every local user: "-" takes it from standard
  // input instead (its first line, without the line end).
  if (pos[1] == "-") {
    pos[1].clear();
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') pos[1] += static_cast<char>(c);
    if (!pos[1].empty() && pos[1].back() == '\r') pos[1].pop_back();
    if (pos[1].empty()) {
      std::fprintf(stderr, "tesselsvc: no password on standard input\n");
      return 1;
    }
  }
  std::unique_ptr<tessel::svc::SvcStore> store = tessel::svc::svcstore__new(db, "adduser");
  if (!store) return usage();
  std::string err;
  tessel::svc::NewUser u;
  if (!tessel::svc::svc__openData(dir, store.get(), &err) ||
      !store->addUser(pos[0], pos[1], quota, static_cast<int>(drives), transport, &u, &err)) {
    std::fprintf(stderr, "tesselsvc: %s\n", err.c_str());
    return 1;
  }
  std::string ids;
  for (const auto &s : u.serviceIds) ids += (ids.empty() ? "" : ",") + jsonText(s);
  std::printf("{\"user\":%s,\"token\":%s,\"deviceid\":%s,\"serviceids\":[%s]}\n",
              jsonText(u.user).c_str(), jsonText(u.token).c_str(), jsonText(u.deviceId).c_str(),
              ids.c_str());
  return 0;
}

int migrate(int argc, char **argv) {
  std::string dir, db;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--data" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--db" && i + 1 < argc)
      db = argv[++i];
    else
      return usage();
  }
  if (dir.empty() || db.empty()) return usage();
  std::unique_ptr<tessel::svc::SvcStore> store = tessel::svc::svcstore__new(db, "migrate");
  auto *pg = dynamic_cast<tessel::svc::SvcPgStore *>(store.get());
  if (!pg) return usage();
  std::string err, report;
  if (!tessel::svc::svc__openData(dir, store.get(), &err) ||
      !tessel::svc::svcmigrate__run(dir, pg, &report, &err)) {
    std::fputs(report.c_str(), stdout);
    std::fprintf(stderr, "tesselsvc: %s\n", err.c_str());
    return 1;
  }
  std::fputs(report.c_str(), stdout);
  std::printf("tesselsvc: copied %s/meta.db\n", dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "--version") {
    std::printf("tesselsvc %s\n", TESSEL_VERSION);
    return 0;
  }
  if (cmd == "serve") return serve(argc, argv);
  if (cmd == "adduser") return addUser(argc, argv);
  if (cmd == "migrate") return migrate(argc, argv);
  return usage();
}
