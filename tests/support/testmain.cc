// Test main: every test binary runs with HOME, the XDG folders and TMPDIR inside one temporary
// folder, so no test touches the real home, and checks at exit that no core object leaked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "brlog.h"
#include "hbobj.h"
#include "testutil.h"

namespace tessel::test {
extern std::string g_testRoot;
}

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  const char *base = getenv("TESSEL_TEST_TMP");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/tessel-test-XXXXXX";
  if (!mkdtemp(templ.data())) {
    perror("mkdtemp");
    return 2;
  }
  const std::string root = templ;
  tessel::test::g_testRoot = root;
  for (const char *sub : {"/home", "/data", "/config", "/runtime", "/tmp", "/cache"})
    mkdir((root + sub).c_str(), 0700);
  setenv("HOME", (root + "/home").c_str(), 1);
  setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
  setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
  setenv("TMPDIR", (root + "/tmp").c_str(), 1);

  int rc = RUN_ALL_TESTS();

  {
#if defined(HB_DEBUG_OBJCOUNT)
    if (rc == 0 && !getenv("TESSEL_ALLOW_LEAKS")) {
      int64_t live = hbobj__liveCount();
      if (live != 0) {
        hbobj__reportLeaks();
        fprintf(stderr, "%lld core objects still alive at exit\n", (long long)live);
        rc = 1;
      }
    }
#endif
    if (!getenv("TESSEL_KEEP_TEST_TMP")) tessel::test::removeTree(root);
  }
  return rc;
}
