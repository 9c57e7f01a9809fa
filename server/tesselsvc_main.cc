// Entry point of the reference drive service: "serve" and "adduser".
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "svcserver.h"

namespace {

tessel::svc::SvcService *g_service = nullptr;

void onSignal(int) {
  if (g_service) g_service->stop();
}

int usage() {
  std::fprintf(stderr,
               "usage: tesselsvc serve --data DIR [--listen HOST:PORT] [--owner NAME] [--verbose]\n"
               "       tesselsvc adduser --data DIR NAME PASSWORD [--quota BYTES] [--drives N]"
               " [--transport soap|pktm]\n");
  return 2;
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
    } else {
      return usage();
    }
  }
  if (opt.dataDir.empty()) return usage();
  signal(SIGPIPE, SIG_IGN);
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
  std::string dir, transport = "soap";
  std::vector<std::string> pos;
  long long quota = 10LL << 30, drives = 1;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--data" && i + 1 < argc)
      dir = argv[++i];
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
  tessel::svc::SvcStore store;
  std::string err;
  tessel::svc::NewUser u;
  if (!tessel::svc::svc__openData(dir, &store, &err) ||
      !store.addUser(pos[0], pos[1], quota, static_cast<int>(drives), transport, &u, &err)) {
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

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "serve") return serve(argc, argv);
  if (cmd == "adduser") return addUser(argc, argv);
  return usage();
}
