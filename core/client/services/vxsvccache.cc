// The service cache.
#include "vxsvccache.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "brlog.h"
#include "brthread.h"
#include "hbmap.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbstr.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "hburl.h"

namespace {

constexpr const char *kTag = "SVCCACHE";
constexpr int32_t kMailbox = 20;
constexpr int64_t kWakeMs = 1000;

// One cached service or album root.
struct VXSVCCacheNode {
  HBRef<IHBURL> url;  // none when the service's address did not parse
  HBRef<IHBStr> name;
  HBRef<IHBStr> version;
  int64_t space = VXSVCCACHE_SPACE_UNLIMITED;
  int64_t lastRefresh = 0;
};

using Key = std::pair<std::string, std::string>;  // (device, service): byte order, device first
using Removed = std::vector<VXSVCCacheNode>;

struct Cache {
  BRMutex lock;
  std::map<Key, VXSVCCacheNode> entries;
  bool hasToken = false;
  std::string token;
  int64_t lastListing = 0;

  BRQueue *mailbox = nullptr;
  BRMutex threadLock;  // the thread record; never held with `lock`
  BRThread *thread = nullptr;
};

// Lives for the process: the thread is never stopped at exit, so nothing here is destroyed.
Cache &cache() {
  static Cache *c = [] {
    Cache *n = new Cache;
    if (brqueue__create(&n->mailbox, kMailbox) < 0) n->mailbox = nullptr;
    return n;
  }();
  return *c;
}

bool threadRunning() {
  Cache &c = cache();
  BRLock hold(c.threadLock);
  return c.thread != nullptr;
}

// Waits for room only while the thread runs to make it; otherwise a full mailbox drops the
// message instead of blocking the caller for good.
void post(int64_t message) {
  Cache &c = cache();
  if (!c.mailbox) return;
  if (brqueue__put(c.mailbox, message, nullptr, threadRunning()) < 0)
    brlog(kTag, BRLOG_VERBOSE, "Mailbox full, message %lld dropped\n", (long long)message);
}

// Empties the map into *out (released by the caller after the lock).
void takeAll(Cache &c, Removed *out) {
  for (auto &e : c.entries) out->push_back(std::move(e.second));
  c.entries.clear();
}

bool tokenCopy(std::string *out) {
  Cache &c = cache();
  BRLock hold(c.lock);
  if (!c.hasToken) return false;
  *out = c.token;
  return true;
}

std::string urlText(IHBURL *url) {
  if (!url) return "(null)";
  char buf[1024];
  url->format(buf, sizeof buf);
  return buf;
}

int32_t copyDefaultURL(IHBURL **out) {
  HBRef<IHBURL> def;
  const int32_t rc = hbsvc__getServiceURL(def.out());
  if (rc < 0) return rc;
  return hburl__create(out, def.get());
}

HBRef<IHBStr> textObject(const char *text) {
  HBRef<IHBStr> s;
  if (text && *text) {
    HBStrHeap *h = nullptr;
    if (HBStrHeap::create(text, &h) == 0) s = HBRef<IHBStr>::adopt(h);
  }
  return s;
}

// A node built from a service map, with the texts its log line prints.
struct Built {
  Key key;
  VXSVCCacheNode node;
  std::string type, name, address, space;
};

// False for a map without both identifiers: garbage from the service is passed over.
bool buildNode(IHBMap *map, Built *b) {
  const char *device = map->getString("deviceid");
  const char *service = map->getString("serviceid");
  if (!device || !service) return false;
  b->key = Key(device, service);
  const char *type = map->getString("type");
  b->type = type ? type : "";
  const char *apiurl = map->getString("apiurl");
  if (apiurl && *apiurl) {
    if (hburl__parse(b->node.url.out(), apiurl) < 0) b->node.url.reset();
  } else if (copyDefaultURL(b->node.url.out()) < 0) {
    b->node.url.reset();
  }
  const char *name = map->getString("name");
  b->name = name ? name : "";
  b->node.name = textObject(name);
  b->node.version = textObject(map->getString("version"));
  const char *space = map->getString("space");
  b->space = space ? space : "";
  if (!space) {
    b->node.space = VXSVCCACHE_SPACE_UNLIMITED;
  } else {
    long long freeBytes = 0, total = 0;
    b->node.space = std::sscanf(space, "%lld/%lld", &freeBytes, &total) == 2 ? freeBytes : -1;
  }
  b->address = urlText(b->node.url.get());
  return true;
}

// Applies built nodes while `token` is still the token held (a sign-out or another user's
// sign-in during the call discards the answer). Returns false when discarded; *fresh tells
// which nodes were new.
bool applyNodes(std::vector<Built> &built, const std::string &token, bool listing,
                std::vector<bool> *fresh) {
  Cache &c = cache();
  Removed replaced;
  {
    BRLock hold(c.lock);
    if (!c.hasToken || c.token != token) return false;
    const int64_t now = brtime__ticks();
    for (Built &b : built) {
      b.node.lastRefresh = now;
      auto it = c.entries.find(b.key);
      fresh->push_back(it == c.entries.end());
      if (it == c.entries.end()) {
        c.entries.emplace(b.key, std::move(b.node));
      } else {
        replaced.push_back(std::move(it->second));
        it->second = std::move(b.node);
      }
    }
    if (listing) c.lastListing = now;
  }
  return true;
}

void logFailure(const char *method, HBRPCGeneric *rpc, int32_t rc) {
  if (rpc && rpc->isFault() && rpc->getErrorCode() >= 0) {
    const char *desc =
        rpc->getResultMap() ? rpc->getResultMap()->getString("errorDescription") : nullptr;
    brlog(kTag, BRLOG_INFO, "FAILED %s RPC: %d %s\n", method, rpc->getErrorCode(),
          desc ? desc : "");
  } else {
    brlog(kTag, BRLOG_INFO, "FAILED %s RPC Client Error: %d %s\n", method, rc, brerror__name(rc));
  }
}

// Builds the nodes of the maps of `iter` (for albums, of each item's "root").
std::vector<Built> buildAll(IHBIter *iter, bool albums) {
  std::vector<Built> built;
  (void)hbiter__forEachMap(iter, [&](IHBMap *item) {
    HBRef<IHBMap> map = HBRef<IHBMap>::retain(item);
    if (albums) {
      HBRef<IHBMap> root;
      if (item->getAs("root", HBIFC_MAP, root.outv()) < 0 || !root) return 0;
      map = root;
    }
    Built b;
    if (!buildNode(map.get(), &b)) return 0;
    if (albums || b.type.compare(0, 10, "yto:plugfs") == 0) built.push_back(std::move(b));
    return 0;
  });
  return built;
}

void logNew(const std::vector<Built> &built, const std::vector<bool> &fresh, bool albums) {
  for (size_t i = 0; i < built.size() && i < fresh.size(); ++i) {
    if (!fresh[i]) continue;
    const Built &b = built[i];
    if (albums)
      brlog(kTag, BRLOG_INFO, "  -- NEW ALBUM ROOT: [%s:%s] '%s' @ %s [%s]\n", b.key.first.c_str(),
            b.key.second.c_str(), b.name.c_str(), b.address.c_str(), b.space.c_str());
    else
      brlog(kTag, BRLOG_INFO, "  -- NEW SERVICE: [%s:%s] [%s] '%s' @ %s [%s]\n",
            b.key.first.c_str(), b.key.second.c_str(), b.type.c_str(), b.name.c_str(),
            b.address.c_str(), b.space.c_str());
  }
}

// One listing call and its application; `albums` selects listAlbums.
int32_t refreshList(const std::string &token, bool albums) {
  const char *method = albums ? "listAlbums" : "listServices";
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = hbsvc__newCall(rpc.out());
  if (rc == 0)
    rc = albums ? hbsvc__listAlbums(rpc.get(), token.c_str())
                : hbsvc__listServices(rpc.get(), token.c_str());
  if (rc < 0) {
    logFailure(method, rpc.get(), rc);
    return rc;
  }
  HBRef<IHBIter> list =
      HBRef<IHBIter>::adopt(rpc->getArgmentIterator(albums ? "albums" : "services"));
  std::vector<Built> built = buildAll(list.get(), albums);
  std::vector<bool> fresh;
  if (applyNodes(built, token, !albums, &fresh)) logNew(built, fresh, albums);
  return BR_OK;
}

void threadMain(void *) {
  Cache &c = cache();
  brlog(kTag, BRLOG_INFO, "Thread Starting\n");
  for (;;) {
    int64_t message = -1;
    void *item = nullptr;
    const int32_t rc = brqueue__take(c.mailbox, &message, &item, kWakeMs);
    if (rc == 0) {
      if (message == VXSVCCACHE_MSG_STOP) {
        brlog(kTag, BRLOG_INFO, "Thread Exiting\n");
        return;
      }
      if (message == VXSVCCACHE_MSG_REFRESH) {
        if (vxsvccache__hasToken()) (void)vxsvccache__update();
      } else if (message == VXSVCCACHE_MSG_TOKEN) {
        if (vxsvccache__hasToken()) continue;
        const int32_t r = vxsvccache__retrieveValtoken();
        if (r != -801 && r != BR_EAGAIN) {
          if (vxsvccache__hasToken()) {
            (void)vxsvccache__update();
          } else {
            for (int i = 0; i < 3; ++i)
              brlog(kTag, BRLOG_ERROR,
                    "vxsvccache__retrieveValtoken() returned %d -- THIS WILL NEVER RECOVER!!!\n",
                    r);
          }
        } else {
          // No local device node exists to come online: a sign-in ends the wait.
          brlog(kTag, BRLOG_WARNING, "Waiting for plug to go online...\n");
        }
      } else {
        brlog(kTag, BRLOG_INFO, "Unexpected message: %p\n", item);
      }
    } else if (rc == BR_EAGAIN) {
      int64_t last;
      {
        BRLock hold(c.lock);
        if (!c.hasToken) continue;
        last = c.lastListing;
      }
      if (brtime__ticks() - last > VXSVCCACHE_REFRESH_MS) (void)vxsvccache__update();
    } else {
      brlog(kTag, BRLOG_INFO, "Unexpected error: %d\n", rc);
    }
  }
}

// Finds the entry of a key under the lock and calls fn(node); false without an entry.
template <class Fn>
bool withEntry(const char *deviceId, const char *serviceId, Fn fn) {
  if (!deviceId || !serviceId) return false;
  Cache &c = cache();
  BRLock hold(c.lock);
  auto it = c.entries.find(Key(deviceId, serviceId));
  if (it == c.entries.end()) return false;
  fn(it->second);
  return true;
}

int32_t handOut(const HBRef<IHBStr> &s, IHBStr **out) {
  if (!s) return BR_ENOENT;
  s->upref();
  *out = s.get();
  return BR_OK;
}

}  // namespace

int32_t vxsvccache__init(const char *token, bool startThread) {
  if (token && !*token) token = nullptr;
  Cache &c = cache();
  Removed removed;
  bool askToken = false;
  {
    BRLock hold(c.lock);
    if (!c.hasToken) {
      if (token) {
        c.token = token;
        c.hasToken = true;
      } else {
        askToken = true;
      }
    } else if (token && c.token != token) {
      brlog(kTag, BRLOG_WARNING, "USER CHANGE WITHOUT FLUSH!  Compensating\n");
      takeAll(c, &removed);
      c.token = token;
      c.lastListing = 0;
    } else if (!token) {
      c.hasToken = false;
      c.token.clear();
      askToken = true;
    }
  }
  removed.clear();
  if (askToken) post(VXSVCCACHE_MSG_TOKEN);
  int32_t rc = BR_OK;
  if (startThread) {
    BRLock hold(c.threadLock);
    if (!c.thread && c.mailbox &&
        brthread__create(&c.thread, threadMain, nullptr, "SVCCACHE") < 0) {
      c.thread = nullptr;
      brlog(kTag, BRLOG_ERROR, "Cannot start the cache thread\n");
      rc = BR_EUNSPEC;
    }
  }
  post(VXSVCCACHE_MSG_REFRESH);
  return rc;
}

void vxsvccache__flush() {
  Cache &c = cache();
  brlog(kTag, BRLOG_INFO, "Flushing cache...\n");
  Removed removed;
  BRLock hold(c.lock);
  takeAll(c, &removed);
  c.hasToken = false;
  c.token.clear();
  c.lastListing = 0;
  // `removed` goes after the lock: it is declared first.
}

int32_t vxsvccache__getServiceURL(const char *deviceId, const char *serviceId, IHBURL **out) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  HBRef<IHBURL> url;
  if (!withEntry(deviceId, serviceId, [&](VXSVCCacheNode &n) { url = n.url; })) return BR_ENOENT;
  if (url) return hburl__create(out, url.get());
  return copyDefaultURL(out) < 0 ? BR_ENOENT : BR_OK;
}

int32_t vxsvccache__getServiceName(const char *deviceId, const char *serviceId, IHBStr **out) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  HBRef<IHBStr> name;
  if (!deviceId && !serviceId) {
    Cache &c = cache();
    BRLock hold(c.lock);
    if (!c.entries.empty()) name = c.entries.begin()->second.name;
  } else {
    withEntry(deviceId, serviceId, [&](VXSVCCacheNode &n) { name = n.name; });
  }
  return handOut(name, out);
}

int32_t vxsvccache__getServiceVersion(const char *deviceId, const char *serviceId, IHBStr **out) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  HBRef<IHBStr> version;
  withEntry(deviceId, serviceId, [&](VXSVCCacheNode &n) { version = n.version; });
  return handOut(version, out);
}

int64_t vxsvccache__getFreeSpace(const char *deviceId, const char *serviceId) {
  int64_t space = -1;
  withEntry(deviceId, serviceId, [&](VXSVCCacheNode &n) { space = n.space; });
  return space;
}

void vxsvccache__consumeSpace(const char *deviceId, const char *serviceId, int64_t bytes) {
  withEntry(deviceId, serviceId, [&](VXSVCCacheNode &n) {
    if (n.space > 0) n.space = bytes >= n.space ? 0 : n.space - bytes;
  });
}

int32_t vxsvccache__getService(const char *deviceId, const char *serviceId) {
  std::string token;
  if (!tokenCopy(&token)) {
    brlog(kTag, BRLOG_VERBOSE, "Skipping Update - Not logged in...\n");
    return BR_OK;
  }
  brlog(kTag, BRLOG_INFO, "Updating Service Cache...\n");
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = hbsvc__newCall(rpc.out());
  if (rc == 0) rc = hbsvc__getService(rpc.get(), token.c_str(), deviceId, serviceId);
  if (rc < 0) {
    logFailure("getService", rpc.get(), rc);
    return BR_OK;
  }
  HBRef<HBMap> service = HBRef<HBMap>::adopt(rpc->getArgmentMap("service"));
  std::vector<Built> built(1);
  if (!service || !buildNode(service.get(), &built[0]) ||
      built[0].type.compare(0, 10, "yto:plugfs") != 0)
    return BR_OK;
  std::vector<bool> fresh;
  if (applyNodes(built, token, false, &fresh)) logNew(built, fresh, false);
  return BR_OK;
}

int32_t vxsvccache__retrieveValtoken() {
  if (vxsvccache__hasToken()) return BR_OK;
  std::string address;
  if ((hbproperties__getDefaultString("svcurlsecure", &address) < 0 || address.empty()) &&
      (hbproperties__getDefaultString("svcurl", &address) < 0 || address.empty()))
    address = hbsvc__getServiceURLText();
  HBRef<IHBURL> url;
  int32_t rc = hburl__parse(url.out(), address.c_str());
  if (rc < 0) return rc;
  if (strcmp(url->getScheme(), "http") == 0) url->setScheme("https");
  HBRef<HBRPCGeneric> rpc;
  if ((rc = hbrpc__new(url.get(), rpc.out())) < 0) return rc;
  rc = hbsvc__getOwnerAuth(rpc.get());
  if (rc < 0) {
    const int32_t code = rpc->isFault() ? rpc->getErrorCode() : -1;
    return code > 0 ? -code : rc;
  }
  const char *token = rpc->getArgmentByName("valtoken");
  if (!token || !*token) return BR_OK;
  // The token is a secret: the log shows only its start.
  brlog(kTag, BRLOG_INFO, "Retrieved valtoken from central service: %.4s...\n", token);
  Cache &c = cache();
  BRLock hold(c.lock);
  if (!c.hasToken) {
    c.token = token;
    c.hasToken = true;
  }
  return BR_OK;
}

int32_t vxsvccache__update() {
  Cache &c = cache();
  Removed expired;
  std::vector<Key> expiredKeys;
  std::string token;
  bool signedIn;
  {
    BRLock hold(c.lock);
    signedIn = c.hasToken;
    token = c.token;
    const int64_t now = brtime__ticks();
    for (auto it = c.entries.begin(); it != c.entries.end();) {
      if (now - it->second.lastRefresh > VXSVCCACHE_EXPIRY_MS) {
        expiredKeys.push_back(it->first);
        expired.push_back(std::move(it->second));
        it = c.entries.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const Key &k : expiredKeys)
    brlog(kTag, BRLOG_INFO, "  -- EXPIRING STALE SERVICE: [%s:%s]\n", k.first.c_str(),
          k.second.c_str());
  expired.clear();
  if (!signedIn) {
    brlog(kTag, BRLOG_VERBOSE, "Skipping Update - Not logged in...\n");
    return BR_OK;
  }
  brlog(kTag, BRLOG_INFO, "Updating Service Cache...\n");
  const int32_t rc = refreshList(token, false);
  const int32_t rcAlbums = refreshList(token, true);
  return rc < 0 ? rc : rcAlbums;
}

bool vxsvccache__hasToken() {
  std::string ignored;
  return tokenCopy(&ignored);
}

int32_t vxsvccache__count() {
  Cache &c = cache();
  BRLock hold(c.lock);
  return static_cast<int32_t>(c.entries.size());
}

void vxsvccache__resetForTest() {
  Cache &c = cache();
  BRThread *thread;
  {
    BRLock hold(c.threadLock);
    thread = c.thread;
  }
  if (thread) {
    (void)brqueue__put(c.mailbox, VXSVCCACHE_MSG_STOP, nullptr, true);
    (void)brthread__join(thread);
    BRLock hold(c.threadLock);
    c.thread = nullptr;
  }
  int64_t kind;
  void *item;
  while (brqueue__take(c.mailbox, &kind, &item, 0) == 0) {
  }
  vxsvccache__flush();
}
