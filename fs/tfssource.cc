// Where the drive helper's drive comes from.
#include "tfssource.h"

#include <cstdlib>
#include <cstring>

#include "brlog.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "zvvfsservice.h"

namespace {

constexpr const char *kTag = "TFS";

// The service's fault mapped as the store maps them (the drive offline stays recognisable).
int32_t callFailure(HBRPCGeneric *rpc, int32_t rc) {
  return rpc && rpc->isFault() ? zvvfsservice__mapFault(rpc->getErrorCode()) : rc;
}

// Each map of list `name` of the answer in `rpc`.
template <class Fn>
void eachMap(HBRPCGeneric *rpc, const char *name, Fn fn) {
  HBRef<IHBIter> it = HBRef<IHBIter>::adopt(rpc->getArgmentIterator(name));
  for (; it;) {
    hbtype_t type = HBTYPE_ANY;
    void *item = nullptr;
    if (it->next(&type, &item) != 0) break;
    if (hbtype__isRaw(type)) continue;
    HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
    HBRef<IHBMap> map;
    if (hb_query<IHBMap>(obj.get(), map) == 0) fn(map.get());
  }
}

}  // namespace

TFSServiceSource::TFSServiceSource(std::string token, std::string device, std::string service,
                                   bool shares)
    : m_token(std::move(token)),
      m_shares(shares),
      m_device(std::move(device)),
      m_service(std::move(service)) {}

void TFSServiceSource::drive(std::string *device, std::string *service, std::string *name) {
  std::lock_guard<std::mutex> lock(m_lock);
  *device = m_device;
  *service = m_service;
  *name = m_name;
}

int32_t TFSServiceSource::open(std::vector<TFSTop> *out) {
  out->clear();
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = hbsvc__newCall(rpc.out());
  if (rc < 0) return rc;
  if (m_shares) {
    // The roots of the albums shared with the user, each a drive of its own.
    if ((rc = hbsvc__listAlbums(rpc.get(), m_token.c_str())) < 0) return callFailure(rpc.get(), rc);
    std::vector<std::pair<std::string, std::string>> roots;
    std::vector<std::string> names;
    eachMap(rpc.get(), "albums", [&](IHBMap *album) {
      HBRef<IHBMap> root;
      if (album->getAs("root", HBIFC_MAP, root.outv()) < 0) return;
      const char *d = root->getString("deviceid"), *s = root->getString("serviceid");
      const char *n = root->getString("name");
      if (!zvvfsservice__isPlainID(d) || !zvvfsservice__isPlainID(s)) return;
      roots.emplace_back(d, s);
      names.push_back(n && *n ? n : s);
    });
    for (size_t i = 0; i < roots.size(); ++i) {
      TFSTop top;
      top.name = names[i];
      if ((rc = zvvfsservice__open(top.store.out(), m_token.c_str(), roots[i].first.c_str(),
                                   roots[i].second.c_str(), nullptr, nullptr)) < 0) {
        brlog(kTag, BRLOG_WARNING, "Album root [%s][%s] left out: %d\n", roots[i].first.c_str(),
              roots[i].second.c_str(), rc);
        continue;
      }
      out->push_back(std::move(top));
    }
    return BR_OK;
  }
  std::string device, service;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    device = m_device;
    service = m_service;
  }
  if (device.empty()) {
    // Single-drive mode: the user's first drive.
    if ((rc = hbsvc__listServices(rpc.get(), m_token.c_str())) < 0)
      return callFailure(rpc.get(), rc);
    eachMap(rpc.get(), "services", [&](IHBMap *s) {
      const char *type = s->getString("type");
      if (!device.empty() || !type || strncmp(type, "yto:plugfs", 10) != 0) return;
      const char *d = s->getString("deviceid"), *v = s->getString("serviceid");
      device = d ? d : "";
      service = v ? v : "";
    });
    if (device.empty()) {
      brlog(kTag, BRLOG_WARNING, "The user has no drive\n");
      return BR_ENOENT;
    }
  }
  TFSTop top;
  if ((rc = zvvfsservice__open(top.store.out(), m_token.c_str(), device.c_str(), service.c_str(),
                               nullptr, nullptr)) < 0)
    return rc;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_device = device;
    m_service = service;
    m_name = top.store->getName();
  }
  out->push_back(std::move(top));
  return BR_OK;
}

int32_t TFSServiceSource::space(int64_t *free, int64_t *total) {
  std::string device, service, name;
  drive(&device, &service, &name);
  if (m_shares || device.empty()) return BR_ENOENT;
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = hbsvc__newCall(rpc.out());
  if (rc == 0) rc = hbsvc__getService(rpc.get(), m_token.c_str(), device.c_str(), service.c_str());
  if (rc < 0) return callFailure(rpc.get(), rc);
  HBRef<HBMap> svc = HBRef<HBMap>::adopt(rpc->getArgmentMap("service"));
  const char *space = svc ? svc->getString("space") : nullptr;
  // "free/total" in bytes.
  const char *slash = space ? strchr(space, '/') : nullptr;
  if (!slash) return BR_ENOENT;
  *free = strtoll(space, nullptr, 10);
  *total = strtoll(slash + 1, nullptr, 10);
  return BR_OK;
}
