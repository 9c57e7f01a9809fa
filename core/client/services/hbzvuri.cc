// Drive URIs.
#include "hbzvuri.h"

#include <cstring>
#include <string>

#include "brlog.h"
#include "hbstr.h"

namespace {

constexpr const char *kTag = "ZVURI";
// The longest file-access address, terminator excluded.
constexpr size_t kFileURLMax = 1023;

class HBZVURI final : public HBObject<HBZVURI, IHBZVURI> {
 public:
  HBZVURI() = default;

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_URI || ifc == HBIFC_ZVURI) return offer<IHBZVURI>(out);
    return BR_ENOENT;
  }

  HB_NODISCARD int32_t toString(IHBStr **out) override {
    if (!out) return BR_EINVAL;
    HBStrHeap *s = nullptr;
    const int32_t rc = HBStrHeap::create(compose().c_str(), &s);
    *out = s;
    return rc;
  }

  const char *getScheme() override { return HBZVURI_SCHEME; }
  const char *getDeviceID() override { return text(0); }
  const char *getServiceID() override { return text(1); }
  const char *getFileID() override { return text(2); }
  const char *getFourthID() override { return text(3); }
  const char *getPath() override { return m_hasPath ? m_path.c_str() : nullptr; }

  HB_NODISCARD int32_t getFileURL(IHBURL *base, IHBURL **out) override {
    if (!out) return BR_EINVAL;
    *out = nullptr;
    if (!base) return BR_EINVAL;
    char buf[kFileURLMax + 1];
    if (base->format(buf, sizeof buf) > static_cast<int32_t>(kFileURLMax)) return BR_ERANGE;
    std::string url = buf;
    const size_t api = url.find("/api");
    if (api != std::string::npos) url.replace(api, 4, "/files");
    const int last = m_has[3] ? 3 : 2;
    for (int i = 0; i <= last; ++i) url += "/" + m_field[i];
    if (m_hasPath) {
      if (m_path[0] != '/') url += "/";
      url += m_path;
    }
    // A cut address would name another file: refuse it instead.
    if (url.size() > kFileURLMax) return BR_ERANGE;
    return hburl__parse(out, url.c_str());
  }

  void setField(int i, const char *b, size_t n) {
    m_field[i].assign(b, n);
    m_has[i] = true;
  }
  void setPath(const char *b, size_t n) {
    m_path.assign(b, n);
    m_hasPath = true;
  }

 private:
  ~HBZVURI() override = default;

  const char *text(int i) const { return m_has[i] ? m_field[i].c_str() : nullptr; }

  std::string compose() const {
    std::string s = "ytozv://";
    if (!m_has[0]) return s;
    s += m_field[0];
    int i = 1;
    for (; i < 4 && m_has[i]; ++i) s += ":" + m_field[i];
    if (i == 4 && m_hasPath) {
      if (m_path[0] != '/') s += ":";
      s += m_path;
    }
    return s;
  }

  std::string m_field[4];
  bool m_has[4] = {false, false, false, false};
  std::string m_path;
  bool m_hasPath = false;
};

}  // namespace

int32_t hbzvuri_new(IHBZVURI **out, const char *text) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  const char *p = nullptr;
  if (text && strncmp(text, "ytozv://", 8) == 0)
    p = text + 8;
  else if (text && strncmp(text, "zv://", 5) == 0)
    p = text + 5;
  if (!p) {
    brlog(kTag, BRLOG_WARNING, "Invalid URI: '%s'\n", text ? text : "");
    return BR_EINVAL;
  }
  HBZVURI *u = new HBZVURI;
  int closed = 0;
  // A ":" after the first "/" belongs to the path, not to the fields.
  for (const char *colon; closed < 4 && (colon = strpbrk(p, ":/")) != nullptr && *colon == ':';
       p = colon + 1)
    u->setField(closed++, p, static_cast<size_t>(colon - p));
  if (closed < 4) {
    const char *slash = strchr(p, '/');
    const size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    // "ytozv://" alone names nothing; any other text gives one more field.
    if (closed > 0 || n > 0 || slash) u->setField(closed, p, n);
    if (slash) u->setPath(slash, strlen(slash));
  } else if (*p) {
    u->setPath(p, strlen(p));
  }
  *out = u;
  return BR_OK;
}

int32_t hbzvuri_new(HBRef<IHBZVURI> &out, const char *text) {
  return hbzvuri_new(out.out(), text);
}

int32_t hbzvuri__create(IHBZVURI **out, const char *deviceId, const char *serviceId,
                        const char *fileId, const char *fourthId, const char *path) {
  if (!out) return BR_EINVAL;
  HBZVURI *u = new HBZVURI;
  const char *fields[4] = {deviceId, serviceId, fileId, fourthId};
  for (int i = 0; i < 4; ++i)
    if (fields[i]) u->setField(i, fields[i], strlen(fields[i]));
  if (path) u->setPath(path, strlen(path));
  *out = u;
  return BR_OK;
}

bool hburi__text(IHBURI *uri, std::string *out) {
  if (!uri || !out) return false;
  HBRef<IHBStr> s;
  if (uri->toString(s.out()) < 0 || !s || !s->getText()) return false;
  *out = s->getText();
  return true;
}
