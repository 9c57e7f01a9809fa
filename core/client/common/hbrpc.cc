// RPC call objects and the fault rules.
#include "hbrpc.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <vector>

#include "brlog.h"
#include "hbhttpconnpool.h"
#include "hburl.h"

namespace {

const char kTag[] = "HBRPC";

HBSharedRef<IHBHTTPConnPool> g_pool;

}  // namespace

void hbrpc__setConnPool(IHBHTTPConnPool *pool) {
  g_pool.set(pool);
}

IHBHTTPConnPool *hbrpc__getConnPool() {
  if (IHBHTTPConnPool *own = g_pool.get()) return own;
  // Without a pool of its own the RPC layer shares the process-wide one of the URL helpers.
  return hbhttpconnpool__getDefault();
}

int32_t hbrpc__new(IHBURL *url, HBRPCGeneric **out) {
  HBRef<IHBHTTPConnPool> pool = HBRef<IHBHTTPConnPool>::adopt(hbrpc__getConnPool());
  if (!pool) brlog(kTag, BRLOG_WARNING, "No Connection Pool Implementation Registered!\n");
  return HBRPCGeneric::create(url, pool.get(), out);
}

int32_t HBRPCGeneric::create(IHBURL *url, IHBHTTPConnPool *pool, HBRPCGeneric **out) {
  if (!out) return BR_EINVAL;
  auto *r = new (std::nothrow) HBRPCGeneric;
  if (!r) return BR_ENOMEM;
  const int32_t rc = url ? r->setURL(url, pool) : r->newResultMap();
  if (rc < 0) {
    r->dnref();
    return rc;
  }
  *out = r;
  return BR_OK;
}

int32_t HBRPCGeneric::create(IHBURL *url, IHBHTTPConnPool *pool, HBRef<HBRPCGeneric> &out) {
  return create(url, pool, out.out());
}

HBRPCGeneric::~HBRPCGeneric() {
  if (m_soap) m_soap->dnref();
  if (m_pool) m_pool->dnref();
  if (m_url) m_url->dnref();
  if (m_result) m_result->dnref();
}

int32_t HBRPCGeneric::getifc(int32_t, void **) {
  return -1;
}

int32_t HBRPCGeneric::newResultMap() {
  // A fresh map (and allocator) per call: maps and iterators a caller still holds from the last
  // answer keep their keys and texts.
  HBMap *map = nullptr;
  const int32_t rc = HBMap::create(nullptr, 4096, 4096, &map);
  if (rc < 0) return rc;
  map->setFlags(HBMAP_ORDERED);
  if (m_result) m_result->dnref();
  m_result = map;
  return BR_OK;
}

int32_t HBRPCGeneric::setURL(IHBURL *url, IHBHTTPConnPool *pool) {
  if (!url) return BR_EINVAL;
  if (!m_result) HB_RETURN_IF_FAILED(kTag, newResultMap());
  HBSoap *soap = nullptr;
  HB_RETURN_IF_FAILED(kTag, HBSoap::create(url, pool, &soap));
  soap->setListTypes(m_types);
  url->upref();
  if (pool) pool->upref();
  if (m_soap) m_soap->dnref();
  if (m_url) m_url->dnref();
  if (m_pool) m_pool->dnref();
  m_soap = soap;
  m_url = url;
  m_pool = pool;
  return BR_OK;
}

void HBRPCGeneric::setListTypes(const HBSoapListType *table) {
  m_types = table;
  if (m_soap) m_soap->setListTypes(table);
}

int32_t HBRPCGeneric::call(const char *method, ...) {
  std::vector<const char *> pairs;
  va_list ap;
  va_start(ap, method);
  for (;;) {
    const char *name = va_arg(ap, const char *);
    if (!name) break;
    pairs.push_back(name);
    pairs.push_back(va_arg(ap, const char *));
  }
  va_end(ap);
  pairs.push_back(nullptr);
  return callArgs(method, 0, nullptr, pairs.data());
}

int32_t HBRPCGeneric::callArgs(const char *method, int32_t count, const HBRPCArgument *args,
                               const char *const *pairs) {
  m_fault = false;
  m_last = 0;
  if (m_soap) m_soap->resetParser();
  HB_RETURN_IF_FAILED(kTag, newResultMap());
  if (!m_soap) {
    brlog(kTag, BRLOG_ERROR, "No service address for '%s'\n", method ? method : "(null)");
    return m_last = BR_EBADSTATE;
  }
  static const char *const kNone[] = {nullptr};
  const int32_t rc = m_soap->exchange(method, m_result, count, args, pairs ? pairs : kNone);
  m_last = rc;
  if (rc < 0) return rc;
  const char *m = method ? method : "(null)";
  if (m_result->get("errorCode", nullptr, nullptr) == 0) {
    m_fault = true;
    brlog(kTag, BRLOG_VERBOSE, "Soap Fault on '%s':\n", m);
    brlog(kTag, BRLOG_VERBOSE, "   errorCode:        %s\n", m_result->getString("errorCode"));
    brlog(kTag, BRLOG_VERBOSE, "   errorDescription: %s\n",
          m_result->getString("errorDescription"));
    brlog(kTag, BRLOG_VERBOSE, "   errorContext: %s\n", m_result->getString("errorContext"));
    brlog(kTag, BRLOG_VERBOSE, "   URL: %s://%s:%u%s\n", m_url->getScheme(), m_url->getHost(),
          unsigned(m_url->getPort()), m_url->getPath());
    return BR_EFAULT;
  }
  if (rc >= 200 && rc <= 299) return BR_OK;
  brlog(kTag, BRLOG_VERBOSE, "Soap Fault on '%s':\n", m);
  brlog(kTag, BRLOG_VERBOSE, "   URL: %s://%s:%u%s\n", m_url->getScheme(), m_url->getHost(),
        unsigned(m_url->getPort()), m_url->getPath());
  m_fault = true;
  return BR_EFAULT;
}

const char *HBRPCGeneric::getArgmentByName(const char *name) {
  hbtype_t t = HBTYPE_ANY;
  void *v = nullptr;
  if (!m_result || m_result->get(name, &t, &v) < 0) return nullptr;
  if (t != HBTYPE_TEXT) {
    if (!hbtype__isRaw(t) && v) static_cast<IHBObj *>(v)->dnref();
    brlog(kTag, BRLOG_VERBOSE2, "RPC::getArgmentByName('%s') wasn't a string: 0x%x!\n", name,
          unsigned(t));
    return nullptr;
  }
  return static_cast<const char *>(v);
}

IHBIter *HBRPCGeneric::getArgmentIterator(const char *name) {
  hbtype_t t = HBTYPE_ANY;
  if (!m_result || m_result->get(name, &t, nullptr) < 0) return nullptr;
  IHBIter *it = nullptr;
  if (t != HBIFC_ITER || m_result->getAs(name, HBIFC_ITER, reinterpret_cast<void **>(&it)) < 0) {
    brlog(kTag, BRLOG_VERBOSE2, "RPC::getArgmentIterator('%s') wasn't an iterator: 0x%x!\n", name,
          unsigned(t));
    return nullptr;
  }
  return it;
}

HBMap *HBRPCGeneric::getArgmentMap(const char *name) {
  hbtype_t t = HBTYPE_ANY;
  if (!m_result || m_result->get(name, &t, nullptr) < 0) return nullptr;
  HBRef<HBMap> map;
  if (t != HBIFC_MAP || m_result->getMap(name, map) < 0) {
    brlog(kTag, BRLOG_VERBOSE2, "RPC::getArgmentMap('%s') wasn't a map: 0x%x!\n", name,
          unsigned(t));
    return nullptr;
  }
  return map.detach();
}

int32_t HBRPCGeneric::getErrorCode() {
  if (!m_fault) return -1;
  const char *code = m_result ? m_result->getString("errorCode") : nullptr;
  if (!code) return 400;
  return brstr__toInt(code, 0);
}

int32_t HBRPCGeneric::getErrorXML(char *buffer) {
  if (!m_fault) return -1;
  const char *desc = m_result ? m_result->getString("errorDescription") : nullptr;
  const char *ctx = m_result ? m_result->getString("errorContext") : nullptr;
  const int n = std::snprintf(
      buffer, 256,
      "<VXError><errorCode>%d</errorCode><errorDescription>%s</errorDescription><errorContext>%s%s"
      "</errorContext></VXError>",
      int(getErrorCode()), desc ? desc : "Unknown Error", ctx ? ctx : "", "");
  return n < 0 ? 0 : (n > 255 ? 255 : n);
}
