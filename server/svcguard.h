// The service's defences that do not belong to one transport: sign-in throttling, the origins
// whose pages may call the JSON API, and checks of texts from requests.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tessel::svc {

// Failed sign-ins kept where every service process sharing one database sees them. `kind` is
// "account" or "address".
class SvcThrottleShared {
 public:
  virtual ~SvcThrottleShared() = default;
  // Until when attempts for `key` wait (ms since 1970); 0 when they need not.
  virtual int64_t until(const char *kind, const std::string &key) = 0;
  // Counts one more failure at `nowMs`; the count it reached (0 when it could not be counted).
  virtual int fail(const char *kind, const std::string &key, int64_t nowMs) = 0;
  virtual void setUntil(const char *kind, const std::string &key, int64_t untilMs) = 0;
  virtual void forget(const char *kind, const std::string &key) = 0;
};

// Failed sign-ins per account name and per peer address. A few failures are free; after that
// each failure makes the next attempt wait twice as long as the last (up to kMaxDelayMs), and
// attempts during the wait are refused without checking the password.
class SvcThrottle {
 public:
  static constexpr int kFreeAccountFailures = 5;
  static constexpr int kFreeAddressFailures = 20;
  static constexpr int64_t kMaxDelayMs = 15 * 60 * 1000;

  // 0 when an attempt may go ahead, otherwise the milliseconds left to wait.
  int64_t wait(const std::string &account, const std::string &address, int64_t nowMs);
  void failed(const std::string &account, const std::string &address, int64_t nowMs);
  void succeeded(const std::string &account);
  // Counts in `shared` from now on instead of this process (null: back in this process).
  void share(SvcThrottleShared *shared) { m_shared = shared; }

 private:
  struct Entry {
    int failures = 0;
    int64_t until = 0;
    int64_t last = 0;
  };
  using Table = std::unordered_map<std::string, Entry>;
  void note(Table *t, const std::string &key, int free, const char *what, int64_t nowMs);
  void forgetOld(Table *t, int64_t nowMs);

  // The wait that the `failures`-th failure starts, with `free` failures free; 0 for none.
  static int64_t delayAfter(int failures, int free);
  static void logDelay(int failures, const char *what, const std::string &key, int64_t delay);

  std::mutex m_lock;
  Table m_accounts, m_addresses;
  SvcThrottleShared *m_shared = nullptr;
};

// Origins whose pages may call the JSON API: exact "scheme://host[:port]" texts, or a pattern
// ending in ":*" for any port of that scheme and host.
class SvcOrigins {
 public:
  void add(const std::string &origin);
  // Reads one origin a line ('#' starts a comment); a missing file adds nothing.
  bool addFile(const std::string &path, std::string *err);
  // `self` are the service's own addresses ("host:port"), allowed with http and https.
  bool allowed(const std::string &origin, const std::vector<std::string> &self) const;

 private:
  std::vector<std::string> m_list;
};

// Whether `s` is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool svctext__utf8(const std::string &s);
// A text as it may go into one log line: control bytes and backslashes written as \xNN.
std::string svctext__logSafe(const std::string &s);
// A request path for the log: any segment that is, or decodes to, a session token is masked.
std::string svctext__maskTokens(const std::string &path);

}  // namespace tessel::svc
