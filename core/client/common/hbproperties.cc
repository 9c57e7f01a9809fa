// The settings store's platform-neutral part: the default store, the integer forms, the
// UTF-16 length rule, user properties and the change event.
#include "hbproperties.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "brlog.h"
#include "hbeventbus.h"
#include "hbproperties_int.h"
#include "hbstr.h"

namespace {

HBSharedRef<HBProperties> g_default;

}  // namespace

int32_t HBProperties::getifc(int32_t, void **) { return BR_EUNSPEC; }

int32_t HBProperties::getIntProperty(const char *name, int32_t *out) {
  char buf[32];
  const int32_t rc = getProperty(name, buf, sizeof buf);
  if (rc < 0) return rc;
  buf[sizeof buf - 1] = 0;
  // The stored form was written for a 32-bit long: out-of-range texts clamp as they did there.
  long v = strtol(buf, nullptr, 0);
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  if (out) *out = static_cast<int32_t>(v);
  return BR_OK;
}

int32_t HBProperties::setIntProperty(const char *name, int32_t value) {
  char buf[32];
  snprintf(buf, sizeof buf, "%d", value);
  return setProperty(name, buf);
}

int32_t HBProperties::getInt64Property(const char *name, int64_t *out) {
  char buf[32];
  const int32_t rc = getProperty(name, buf, sizeof buf);
  if (rc < 0) return rc;
  buf[sizeof buf - 1] = 0;
  const char *p = buf;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  uint64_t v = 0;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
    for (int i = 0; i < 16; ++i, ++p) {
      int d;
      if (*p >= '0' && *p <= '9') d = *p - '0';
      else if (*p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
      else if (*p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
      else break;
      v = (v << 4) | static_cast<uint64_t>(d);
    }
  } else if (p[0] == '0' && p[1] >= '0' && p[1] <= '9') {
    v = 0;
  } else {
    for (int i = 0; i < 20 && *p >= '0' && *p <= '9'; ++i, ++p)
      v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (out) *out = static_cast<int64_t>(v);
  return BR_OK;
}

int32_t HBProperties::setInt64Property(const char *name, int64_t value) {
  char buf[32];
  snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
  return setProperty(name, buf);
}

int32_t hbproperties__deliver(const std::string &value, char *buffer, int32_t size) {
  const int32_t units = brstr__utf16Length(value.c_str()) + 1;
  if (!buffer) return units;
  const int32_t area = size <= 512 ? 512 : size;
  if (units > area) return BR_ENOENT;
  if (size > 0) {
    // Always terminated, and never cut inside a character.
    const size_t n = brstr__cutUtf8(value.c_str(), static_cast<size_t>(size) - 1);
    memcpy(buffer, value.data(), n);
    buffer[n] = 0;
  }
  return units;
}

void hbproperties__adoptAsDefaultIfNone(HBProperties *store) {
  (void)g_default.setIfEmpty(store);
}

void hbproperties__setDefault(HBProperties *store) {
  g_default.set(store);
}

int32_t hbproperties__getDefault(HBProperties **out) {
  if (!out) return BR_EINVAL;
  *out = g_default.get();
  return *out ? BR_OK : BR_ENOENT;
}

int32_t hbproperties__open(const char *keyPath, uint32_t flags, HBProperties **out) {
  return HBPropertiesPosix::create(keyPath, flags, out);
}

int32_t hbproperties__getString(HBProperties *store, const char *name, std::string *out) {
  if (!store || !out) return BR_EINVAL;
  // The length comes in UTF-16 units; one unit never needs more than three UTF-8 bytes. A value
  // that grows between the two reads is read again.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const int32_t units = store->getProperty(name, nullptr, 0);
    if (units < 0) return units;
    std::string buf(static_cast<size_t>(units) * 3 + 1, '\0');
    const int32_t rc = store->getProperty(name, buf.data(), static_cast<int32_t>(buf.size()));
    if (rc < 0) return rc;
    if (rc <= units) {
      buf.resize(strlen(buf.c_str()));
      *out = std::move(buf);
      return BR_OK;
    }
  }
  return BR_EAGAIN;
}

bool hbproperties__getBool(HBProperties *store, const char *name, bool defaultValue) {
  char buf[8];
  if (!store || store->getProperty(name, buf, sizeof buf) < 0) return defaultValue;
  return buf[0] != 0 && strchr("1TYty", buf[0]) != nullptr;
}

int32_t hbproperties__readKeyValue(const char *keyPath, const char *name, std::string *out) {
  HBRef<HBProperties> store;
  const int32_t rc = hbproperties__open(keyPath, HBPROPERTIES_READONLY, store.out());
  if (rc < 0) return rc == BR_ENOENT ? BR_ENOENT : rc;
  return hbproperties__getString(store.get(), name, out);
}

int32_t hbproperties__getDefaultString(const char *name, std::string *out) {
  HBRef<HBProperties> store;
  if (hbproperties__getDefault(store.out()) < 0) return BR_ENOENT;
  return hbproperties__getString(store.get(), name, out);
}

int32_t hbproperties__setDefaultString(const char *name, const char *value) {
  HBRef<HBProperties> store;
  if (hbproperties__getDefault(store.out()) < 0) return BR_ENOENT;
  return store->setProperty(name, value);
}

std::string hbproperties__computerName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return std::string();
  return std::string(host, brstr__cutUtf8(host, 15));
}

namespace {
std::string userKey(const char *name) {
  return std::string("ui.") + std::string(name, brstr__cutUtf8(name, 60));
}
}  // namespace

int32_t hbproperties__getUserProperty(const char *name, std::string *out) {
  if (!name || !out) return BR_EINVAL;
  if (strcmp(name, "yto.computername") == 0) {
    *out = hbproperties__computerName();
    return BR_OK;
  }
  return hbproperties__getDefaultString(userKey(name).c_str(), out);
}

int32_t hbproperties__setUserProperty(const char *name, const char *value) {
  if (!name) return BR_EINVAL;
  if (!value) return hbproperties__setDefaultString(userKey(name).c_str(), nullptr);
  const std::string cut(value, brstr__cutUtf8(value, 511));
  return hbproperties__setDefaultString(userKey(name).c_str(), cut.c_str());
}

void hbproperties__postChanged(HBProperties *store, const char *name) {
  HBRef<HBStrHeap> value;
  if (HBStrHeap::create(name, value) < 0) return;
  // Without a bus (tools, early start-up) this is a no-op; a full queue is not our failure.
  (void)hbevent__post(hbevent__domain(HBEVENT_CORE_PROPERTY_CHANGED),
                      static_cast<IHBStr *>(value.get()), store);
}
