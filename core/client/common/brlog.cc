// Placeholder writer until the log sink lands: keeps the level and drops every line.
#include "brlog.h"

std::atomic<int> g_brlog__level{BRLOG_INFO};

void brlog__setLevel(int level) { g_brlog__level.store(level, std::memory_order_relaxed); }

void brlog__write(const char *tag, int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  brlog__writev(tag, level, format, args);
  va_end(args);
}

void brlog__writev(const char *, int, const char *, va_list) {}

void hblogsink__init(const char *, const char *) {}
