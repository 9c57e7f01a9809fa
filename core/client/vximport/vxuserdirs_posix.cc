// The XDG user directories, read the way xdg-user-dir reads them.
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "vxuserdirs.h"

namespace {

std::string home() {
  const char *h = std::getenv("HOME");
  return h ? h : "";
}

std::string configFile() {
  const char *c = std::getenv("XDG_CONFIG_HOME");
  return (c && *c == '/' ? std::string(c) : home() + "/.config") + "/user-dirs.dirs";
}

// The value of XDG_<kind>_DIR: a quoted "$HOME/..." or absolute path. Empty when absent.
std::string configured(const std::string &kind) {
  std::ifstream in(configFile());
  const std::string key = "XDG_" + kind + "_DIR=";
  std::string line, found;
  while (std::getline(in, line)) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#' || line.compare(i, key.size(), key) != 0) continue;
    std::string v = line.substr(i + key.size());
    if (v.size() < 2 || v.front() != '"' || v.find('"', 1) == std::string::npos) continue;
    v = v.substr(1, v.find('"', 1) - 1);
    if (v.compare(0, 5, "$HOME") == 0)
      v = home() + v.substr(5);
    else if (v.empty() || v[0] != '/')
      continue;
    found = v;  // the last entry wins, as when the file is sourced
  }
  while (found.size() > 1 && found.back() == '/') found.pop_back();
  // A folder set to the home itself means "none": the usual default applies.
  return found == home() ? "" : found;
}

}  // namespace

int32_t vxuserdirs__get(const char *kind, std::string *path, std::string *displayName) {
  if (!kind || !path || !displayName) return BR_EINVAL;
  std::string p = configured(kind);
  if (p.empty()) {
    if (std::strcmp(kind, "PICTURES") == 0)
      p = home() + "/Pictures";
    else if (std::strcmp(kind, "DOCUMENTS") == 0)
      p = home() + "/Documents";
    else
      return BR_ENOENT;
  }
  if (p.size() < 2 || p[0] != '/') return BR_ENOENT;
  *path = p;
  *displayName = p.substr(p.rfind('/') + 1);
  return BR_OK;
}
