// The user's own folders.
#include "hbuserdirs.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "brlog.h"
#include "hbproperties.h"

std::string hbuserdirs__home() {
  const char *home = getenv("HOME");
  if (home && *home) return home;
  const passwd *pw = getpwuid(getuid());
  return pw && pw->pw_dir ? pw->pw_dir : "/";
}

std::string hbuserdirs__runtimeDir() {
  const char *runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime == '/') return runtime;
  const std::string dir = "/tmp/orvanetessel-" + std::to_string(getuid());
  mkdir(dir.c_str(), 0700);
  struct stat st;
  // Another user could have made it first, to read our sockets.
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
      (st.st_mode & 077) != 0) {
    brlog("DIRS", BRLOG_ERROR, "%s is not a private folder of this user\n", dir.c_str());
    return std::string();
  }
  return dir;
}

std::string hbuserdirs__driveMountRoot() {
  std::string root;
  if (hbproperties__readKeyValue(HBPROPERTIES_KEY_TESSELUTILFS, "drive.mountroot", &root) < 0 ||
      root.empty())
    return hbuserdirs__home() + "/Tessel";
  if (root == "~") return hbuserdirs__home();
  if (root.compare(0, 2, "~/") == 0) return hbuserdirs__home() + root.substr(1);
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}
