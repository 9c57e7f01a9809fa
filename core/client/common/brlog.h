// The process-wide log.
//
// `brlog(tag, level, fmt, ...)` keeps a line only when `level` is at or below the global level.
// The level test is made before anything is evaluated or formatted, so a dropped line costs one
// relaxed atomic load.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "brerror.h"

enum : int {
  BRLOG_ERROR = 1,
  BRLOG_WARNING = 2,
  BRLOG_ACCESS = 5,
  BRLOG_MESSAGE = 7,
  BRLOG_INFO = 8,
  BRLOG_VERBOSE = 16,
  BRLOG_VERBOSE2 = 17,
  BRLOG_VERBOSE3 = 18,
  BRLOG_VERBOSE4 = 19,
  BRLOG_VERBOSE5 = 20,
  BRLOG_DEBUG = 32,
  BRLOG_DEBUG2 = 33,
  BRLOG_DEBUG3 = 34,
  BRLOG_DEBUG4 = 35,
  BRLOG_DEBUG5 = 36,
};

extern std::atomic<int> g_brlog__level;

inline int brlog__getLevel() {
  return g_brlog__level.load(std::memory_order_relaxed);
}
void brlog__setLevel(int level);
inline bool brlog__enabled(int level) {
  return level <= brlog__getLevel();
}

// Writes one line (the level was already tested). Use the brlog macro instead.
void brlog__write(const char *tag, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void brlog__writev(const char *tag, int level, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));

#define brlog(tag, level, ...)                                                             \
  do {                                                                                     \
    const int brlog_level_ = (level);                                                      \
    if (brlog_level_ <= brlog__getLevel()) brlog__write((tag), brlog_level_, __VA_ARGS__); \
  } while (0)

// Initialises the outputs: the log file `fileName` (a bare name goes into the user's data
// folder "$XDG_DATA_HOME/Orvane Tessel Utility/"). Without this call no line reaches any output.
// Only the first call opens the file.
void hblogsink__init(const char *processName, const char *fileName);

// The full path of the log file (borrowed, valid until the log is reset), or null.
const char *brlog__filePath();
// Rotation every 12 hours is on after hblogsink__init; this turns it off or on again.
void brlog__setRotation(bool on);
// Flushing after every line is on by default.
void brlog__setFlushEachLine(bool on);

// Test hooks. The log is process-wide: a test resets it to the state before hblogsink__init
// (closing the file, level 8), and may hold the log lock to exercise the fallback to standard
// error. brlog__lockForTest returns false when the lock could not be taken within 250 ms.
void brlog__resetForTest();
bool brlog__lockForTest();
void brlog__unlockForTest();

// Logs and continues when `cond` is false.
#define VERIFY(cond)                                                                         \
  do {                                                                                       \
    if (!(cond))                                                                             \
      brlog("VERIFY", BRLOG_ERROR, "%s:%d VERIFY(%s) failed!\n", __FILE__, __LINE__, #cond); \
  } while (0)

// Logs and stops the process when `cond` is false. Write the condition as
// `test && "explanation"` so that the explanation is part of the logged text.
#define ASSERT(cond)                               \
  do {                                             \
    if (!(cond)) {                                 \
      brlog("ASSERT", BRLOG_ERROR, "%s\n", #cond); \
      brabort(__PRETTY_FUNCTION__, __LINE__);      \
    }                                              \
  } while (0)

// Evaluates `expr`; when it fails, logs it with its code and name under `tag` and returns it.
#define HB_RETURN_IF_FAILED(tag, expr)                                                       \
  do {                                                                                       \
    const int32_t hb_rc_ = (expr);                                                           \
    if (hb_rc_ < 0) {                                                                        \
      brlog(tag, BRLOG_ERROR, "%s failed (%d: %s)\n", #expr, hb_rc_, brerror__name(hb_rc_)); \
      return hb_rc_;                                                                         \
    }                                                                                        \
  } while (0)
