// Sign-in throttling, allowed origins and text checks of the service.
#include "svcguard.h"

#include <cstdio>
#include <fstream>
#include <tuple>

#include "svchttp.h"

namespace tessel::svc {

int64_t SvcThrottle::delayAfter(int failures, int free) {
  if (failures < free) return 0;
  int shift = std::min(failures - free, 20);
  return std::min<int64_t>(int64_t{1000} << shift, kMaxDelayMs);
}

void SvcThrottle::logDelay(int failures, const char *what, const std::string &key,
                           int64_t delay) {
  std::fprintf(stderr, "tesselsvc: %d failed sign-ins for %s %s; next attempt in %lld s\n",
               failures, what, svctext__logSafe(key).c_str(), static_cast<long long>(delay / 1000));
}

int64_t SvcThrottle::wait(const std::string &account, const std::string &address, int64_t nowMs) {
  if (m_shared) {
    const int64_t until =
        std::max(m_shared->until("account", account), m_shared->until("address", address));
    return until > nowMs ? until - nowMs : 0;
  }
  std::lock_guard<std::mutex> g(m_lock);
  int64_t w = 0;
  for (auto [t, key] : {std::pair{&m_accounts, &account}, std::pair{&m_addresses, &address}}) {
    auto it = t->find(*key);
    if (it != t->end() && it->second.until > nowMs) w = std::max(w, it->second.until - nowMs);
  }
  return w;
}

void SvcThrottle::note(Table *t, const std::string &key, int free, const char *what,
                       int64_t nowMs) {
  if (t->size() > 100000) forgetOld(t, nowMs);
  Entry &e = (*t)[key];
  e.failures++;
  e.last = nowMs;
  if (e.failures < free) return;
  const int64_t delay = delayAfter(e.failures, free);
  e.until = nowMs + delay;
  logDelay(e.failures, what, key, delay);
}

void SvcThrottle::forgetOld(Table *t, int64_t nowMs) {
  for (auto it = t->begin(); it != t->end();) {
    if (it->second.until < nowMs && nowMs - it->second.last > 3600 * 1000)
      it = t->erase(it);
    else
      ++it;
  }
}

void SvcThrottle::failed(const std::string &account, const std::string &address, int64_t nowMs) {
  if (m_shared) {
    for (auto [kind, key, free] : {std::tuple{"account", &account, kFreeAccountFailures},
                                   std::tuple{"address", &address, kFreeAddressFailures}}) {
      const int n = m_shared->fail(kind, *key, nowMs);
      if (const int64_t delay = n > 0 ? delayAfter(n, free) : 0) {
        m_shared->setUntil(kind, *key, nowMs + delay);
        logDelay(n, kind, *key, delay);
      }
    }
    return;
  }
  std::lock_guard<std::mutex> g(m_lock);
  note(&m_accounts, account, kFreeAccountFailures, "account", nowMs);
  note(&m_addresses, address, kFreeAddressFailures, "address", nowMs);
}

void SvcThrottle::succeeded(const std::string &account) {
  // The address keeps its count: one's own account must not wash away guesses at others.
  if (m_shared) return m_shared->forget("account", account);
  std::lock_guard<std::mutex> g(m_lock);
  m_accounts.erase(account);
}

void SvcOrigins::add(const std::string &origin) {
  std::string o = origin;
  while (!o.empty() && (o.back() == '/' || o.back() == ' ' || o.back() == '\r')) o.pop_back();
  if (!o.empty()) m_list.push_back(o);
}

bool SvcOrigins::addFile(const std::string &path, std::string *err) {
  std::ifstream in(path);
  if (!in) return true;
  std::string line;
  while (std::getline(in, line)) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos) continue;
    line = line.substr(b);
    if (line.find("://") == std::string::npos) {
      *err = path + ": not an origin: " + line;
      return false;
    }
    add(line);
  }
  return true;
}

bool SvcOrigins::allowed(const std::string &origin, const std::vector<std::string> &self) const {
  for (const std::string &s : self)
    if (origin == "http://" + s || origin == "https://" + s) return true;
  for (const std::string &o : m_list) {
    if (o == origin) return true;
    if (o.size() > 2 && o.compare(o.size() - 2, 2, ":*") == 0) {
      std::string prefix = o.substr(0, o.size() - 1);  // "http://127.0.0.1:"
      if (origin.compare(0, prefix.size(), prefix) == 0 && origin.size() > prefix.size() &&
          origin.size() <= prefix.size() + 5 &&
          origin.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
        return true;
    }
  }
  return false;
}

bool svctext__utf8(const std::string &s) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  size_t n = s.size();
  for (size_t i = 0; i < n;) {
    unsigned c = p[i];
    if (c < 0x80) {
      i++;
      continue;
    }
    int len;
    unsigned cp;
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
      cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<size_t>(len) > n) return false;
    for (int k = 1; k < len; k++) {
      if ((p[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3f);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff))
      return false;
    i += static_cast<size_t>(len);
  }
  return true;
}

std::string svctext__logSafe(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string svctext__maskTokens(const std::string &path) {
  std::string out;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    std::string seg =
        path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    std::string decoded;
    if (!svchttp__decode(seg, &decoded, false)) decoded = seg;
    bool token = decoded.size() == 32 &&
                 decoded.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    out += token ? "TOKEN" : seg;
    if (slash == std::string::npos) break;
    out += '/';
    pos = slash + 1;
  }
  return svctext__logSafe(out);
}

}  // namespace tessel::svc
