// The Debian package as `make package` makes it: built from this build with CPack into a
// temporary folder, its fields and files checked, installed with dpkg into an empty root, and
// the installed programs run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using tessel::test::binPath;
using tessel::test::readFile;
using tessel::test::runProgram;
using tessel::test::RunResult;
using tessel::test::TempDir;

// The width and height in a PNG file's header, or 0 and 0.
std::pair<int, int> pngSize(const std::string &path) {
  std::string data;
  if (!readFile(path, &data) || data.size() < 24 || data.compare(1, 3, "PNG") != 0) return {0, 0};
  auto be32 = [&](size_t at) {
    int v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(data[at + i]);
    return v;
  };
  return {be32(16), be32(20)};
}

bool installed(const std::string &package) {
  RunResult r = runProgram({"dpkg-query", "-W", "-f=${Status}", package});
  return r.exitCode == 0 && r.out.find("install ok installed") != std::string::npos;
}

TEST(PackageTest, BuildsInstallsIntoAnEmptyRootAndRuns) {
  TempDir dir;
  const std::string out = dir.path() + "/out";
  RunResult made = runProgram({"cpack", "-G", "DEB", "--config", binPath("../CPackConfig.cmake"),
                               "-B", dir.path() + "/work", "-D", "CPACK_OUTPUT_FILE_PREFIX=" + out},
                              "", 300000);
  ASSERT_EQ(0, made.exitCode) << made.out << made.err;
  const std::string deb = out + "/tessel-utility_" TESSEL_VERSION "_amd64.deb";
  struct stat st;
  ASSERT_EQ(0, stat(deb.c_str(), &st)) << made.out;
  std::cout << "[   NOTE   ] package size " << st.st_size << " bytes\n";

  // The fields; every dependency is a package of this system (which runs the programs).
  RunResult fields = runProgram({"dpkg-deb", "-f", deb, "Package", "Version", "Depends"});
  ASSERT_EQ(0, fields.exitCode) << fields.err;
  EXPECT_NE(std::string::npos, fields.out.find("Package: tessel-utility\n"));
  EXPECT_NE(std::string::npos, fields.out.find("Version: " TESSEL_VERSION "\n"));
  const std::string depends = fields.out.substr(fields.out.find("Depends: ") + 9);
  for (const char *need : {"fuse3", "ffmpeg", "libwebkit2gtk-4.1-0", "libayatana-appindicator3-1",
                           "libgtk-3-0", "libsqlite3-0", "libssl3"})
    EXPECT_NE(std::string::npos, depends.find(need)) << need << " in " << depends;
  std::istringstream list(depends);
  std::string item;
  while (std::getline(list, item, ',')) {
    std::istringstream words(item);
    std::string name;
    words >> name;
    if (!name.empty()) {
      EXPECT_TRUE(installed(name)) << name << " is no package of this system";
    }
  }

  // Installed with dpkg into an empty root of its own.
  const std::string root = dir.path() + "/root";
  for (const char *sub :
       {"", "/var", "/var/lib", "/var/lib/dpkg", "/var/lib/dpkg/info", "/var/lib/dpkg/updates"})
    ASSERT_EQ(0, mkdir((root + sub).c_str(), 0755));
  ASSERT_TRUE(tessel::test::writeFile(root + "/var/lib/dpkg/status", ""));
  RunResult inst = runProgram({"dpkg", "--root=" + root, "--force-depends", "--force-not-root",
                               "--log=/dev/null", "-i", deb},
                              "", 120000);
  if (inst.exitCode != 0 && geteuid() != 0) {
    // Without root dpkg cannot give the files their owner: the package's files, unpacked.
    std::cout << "[   NOTE   ] not root: unpacked with dpkg-deb instead (" << inst.err << ")\n";
    inst = runProgram({"dpkg-deb", "-x", deb, root});
  }
  ASSERT_EQ(0, inst.exitCode) << inst.out << inst.err;

  // The drive helper is started by the program, with options only it gives: it is there.
  if (access(binPath("tesselutilfs").c_str(), X_OK) == 0) {
    EXPECT_EQ(0, access((root + "/usr/bin/tesselutilfs").c_str(), X_OK));
  }
  for (const std::string p : {"tesselsvc", "tesseltool"}) {
    RunResult v = runProgram({root + "/usr/bin/" + p, "--version"});
    EXPECT_EQ(0, v.exitCode) << p << v.err;
    EXPECT_EQ(p + " " TESSEL_VERSION "\n", v.out);
  }
  // Without a display the desktop program prints its version instead of showing it.
  unsetenv("DISPLAY");
  RunResult v = runProgram({root + "/usr/bin/tesselutilbrowser", "--version"});
  EXPECT_EQ(0, v.exitCode) << v.err;
  EXPECT_NE(std::string::npos, v.out.find("[" TESSEL_VERSION "]")) << v.out;

  // The menu entry names an installed program and icon, drawn at every size it is asked for.
  std::string entry;
  ASSERT_TRUE(readFile(root + "/usr/share/applications/tesselutilbrowser.desktop", &entry));
  EXPECT_NE(std::string::npos, entry.find("\nExec=tesselutilbrowser\n"));
  EXPECT_EQ(0, access((root + "/usr/bin/tesselutilbrowser").c_str(), X_OK));
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const std::string s = std::to_string(size);
    EXPECT_EQ(std::make_pair(size, size), pngSize(root + "/usr/share/icons/hicolor/" + s + "x" + s +
                                                  "/apps/tesselutilbrowser.png"))
        << size;
  }
  EXPECT_EQ(0,
            access((root + "/usr/share/icons/hicolor/scalable/apps/tesselutilbrowser.svg").c_str(),
                   R_OK));
  std::string unit;
  ASSERT_TRUE(readFile(root + "/usr/lib/systemd/user/tesselsvc.service", &unit));
  EXPECT_NE(std::string::npos, unit.find("\nExecStart=/usr/bin/tesselsvc serve --data "));
  EXPECT_EQ(0, access((root + "/usr/share/doc/tessel-utility/copyright").c_str(), R_OK));
  // Manual pages that man can read: gzip data starting with the page's title line.
  for (const char *page : {"tesseltool", "tesselsvc", "tesselutilfs"}) {
    RunResult text =
        runProgram({"gzip", "-dc", root + "/usr/share/man/man1/" + std::string(page) + ".1.gz"});
    EXPECT_EQ(0, text.exitCode) << page;
    EXPECT_EQ(0u, text.out.find(".TH ")) << page;
  }
}

}  // namespace
