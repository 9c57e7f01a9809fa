// The service address and the session token.
#include "hbsvcendpoint.h"

#include <cstdio>

#include "brlog.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hburl.h"

namespace {

const char kTag[] = "SVCEP";

HBSharedRef<IHBURL> g_serviceURL;

}  // namespace

std::string hbsvc__readHost() {
  std::string host;
  if (hbproperties__readKeyValue(HBPROPERTIES_KEY_SERVER, "host", &host) < 0 || host.empty())
    return HBSVC_DEFAULT_HOST;
  if (host.size() > HBSVC_HOST_MAX) host.resize(HBSVC_HOST_MAX);
  return host;
}

std::string hbsvc__formatServiceURL(const char *host) {
  char buf[HBSVC_HOST_MAX + 32];
  std::snprintf(buf, sizeof buf, HBSVC_SERVICE_URL_FORMAT, host ? host : "");
  return buf;
}

void hbsvc__setServiceURL(IHBURL *url) {
  g_serviceURL.set(url);
}

int32_t hbsvc__initServiceURL() {
  const std::string host = hbsvc__readHost();
  const std::string text = hbsvc__formatServiceURL(host.c_str());
  IHBURL *url = nullptr;
  // A host with blanks, slashes or other bytes that cannot be in an address is refused here
  // rather than producing a request line the service cannot read.
  bool clean = true;
  for (unsigned char c : host)
    if (c <= ' ' || c == '/' || c == '?' || c == '#' || c == '@' || c >= 0x7f) clean = false;
  if (!clean || hburl__parse(&url, text.c_str()) < 0 || !url->getHost() || !*url->getHost()) {
    if (url) url->dnref();
    brlog(kTag, BRLOG_ERROR, "The service address '%s' does not parse: no service calls\n",
          text.c_str());
    hbsvc__setServiceURL(nullptr);
    return BR_EINVAL;
  }
  hbsvc__setServiceURL(url);
  url->dnref();
  brlog(kTag, BRLOG_INFO, "Service address: %s\n", text.c_str());
  return BR_OK;
}

int32_t hbsvc__getServiceURL(IHBURL **out) {
  IHBURL *url = g_serviceURL.get();
  if (!url) {
    brlog(kTag, BRLOG_ERROR, "No service address: the configured host did not form one\n");
    return BR_EBADSTATE;
  }
  *out = url;
  return BR_OK;
}

std::string hbsvc__getServiceURLText() {
  HBRef<IHBURL> url = HBRef<IHBURL>::adopt(g_serviceURL.get());
  if (!url) return "";
  char buf[512];
  const int32_t n = url->format(buf, sizeof buf);
  if (n < 0) return "";
  return buf;
}

int32_t hbsvc__newCall(HBRPCGeneric **out) {
  HBRef<IHBURL> url;
  HB_RETURN_IF_FAILED(kTag, hbsvc__getServiceURL(url.out()));
  return hbrpc__new(url.get(), out);
}

int32_t hbsvc__getValtoken(std::string *out) {
  std::string token;
  if (hbproperties__getDefaultString("valtoken", &token) < 0 || token.empty()) return BR_ENOENT;
  *out = token;
  return BR_OK;
}

int32_t hbsvc__setValtoken(const char *token) {
  HBRef<HBProperties> store;
  if (hbproperties__getDefault(store.out()) < 0) return BR_ENOENT;
  if (!token || !*token) {
    std::string old;
    if (hbproperties__getString(store.get(), "valtoken", &old) < 0) return BR_OK;
    return store->setProperty("valtoken", nullptr);
  }
  return store->setProperty("valtoken", token);
}

bool hbsvc__isSignedIn() {
  std::string token;
  return hbsvc__getValtoken(&token) == 0;
}
