// Sends the log to a file of its own (at the most verbose level unless told) for as long as it lives, so that a
// test can read back the lines the code wrote.
#pragma once

#include <functional>
#include <string>

#include "brlog.h"
#include "testutil.h"

namespace tessel::test {

class LogCapture {
 public:
  explicit LogCapture(int level = BRLOG_DEBUG5) {
    brlog__resetForTest();
    hblogsink__init("test", m_dir.file("t.log").c_str());
    brlog__setLevel(level);
  }
  ~LogCapture() { brlog__resetForTest(); }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  std::string text() const {
    std::string s;
    readFile(m_dir.file("t.log"), &s);
    return s;
  }
  bool has(const std::string &needle) const { return text().find(needle) != std::string::npos; }

 private:
  TempDir m_dir;
};

// Runs `fn` under a capture and returns what it logged.
inline std::string captureLog(const std::function<void()> &fn) {
  LogCapture capture;
  fn();
  return capture.text();
}

}  // namespace tessel::test
