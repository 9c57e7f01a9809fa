// Helpers shared by the tests: temporary folders, files and our own programs.
#pragma once

#include <string>
#include <vector>

namespace tessel::test {

// The temporary root that the test main created; HOME, XDG_* and TMPDIR point into it.
const std::string &testRoot();

// A fresh folder under the test root, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return m_path; }
  std::string file(const std::string &name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

void removeTree(const std::string &path);
bool writeFile(const std::string &path, const std::string &data);
bool readFile(const std::string &path, std::string *data);

// Path of a program built into build/bin.
std::string binPath(const std::string &name);
// Path of a file under the source tree.
std::string sourcePath(const std::string &relative);

struct RunResult {
  int exitCode = -1;  // -1 when the program could not be run or was killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};
// Runs `argv` (no shell) with an optional standard input, waiting at most `timeoutMs`; a program
// still running then is killed.
RunResult runProgram(const std::vector<std::string> &argv, const std::string &input = "",
                     int timeoutMs = 60000);

// A loopback TCP port that was free a moment ago.
int freeLoopbackPort();

}  // namespace tessel::test
