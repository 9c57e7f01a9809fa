// The pool of idle HTTP connections: one tree in URL order for lookups, one in return-time
// order for reaping the oldest.
#include "hbhttpconnpool.h"

#include <atomic>
#include <cinttypes>
#include <mutex>

#include "brhttp.h"
#include "brhttp_int.h"
#include "brlog.h"
#include "brrbtree.h"
#include "brthread.h"
#include "hburl.h"

#define CONNPOOL_TAG "CONNPOOL"
#define CONNPO_TAG "CONNPO"

namespace {

struct PoolEntry {
  bool removed = false;
  HBRef<IHBURL> url;  // a private copy: callers may change their URL objects afterwards
  int64_t time = 0;
  BRHTTPConnection *conn = nullptr;
};

int compareUrl(const void *a, const void *b) {
  return hburl__compare(static_cast<IHBURL *>(const_cast<void *>(a)),
                        static_cast<IHBURL *>(const_cast<void *>(b)));
}

int compareTime(const void *a, const void *b) {
  const int64_t x = *static_cast<const int64_t *>(a);
  const int64_t y = *static_cast<const int64_t *>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

const char *hostOf(IHBURL *u) { return u->getHost() ? u->getHost() : ""; }

void dropConnection(BRHTTPConnection *c) {
  BRHTTPConnection__close(c);
  BRHTTPConnection__destroy(c);
}

class HBHTTPConnPool final : public HBObject<HBHTTPConnPool, IHBHTTPConnPool> {
 public:
  static HBHTTPConnPool *make() { return new HBHTTPConnPool(); }

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_HTTPCONNPOOL) return offer<IHBHTTPConnPool>(out);
    return BR_ENOENT;
  }

  HB_NODISCARD int32_t getConnection(IHBURL *url, BRHTTPConnection **out) override {
    if (!url || !out) return BR_EINVAL;
    *out = nullptr;
    const char *scheme = url->getScheme();
    for (;;) {
      BRHTTPConnection *c = nullptr;
      {
        std::lock_guard<std::mutex> lock(m_lock);
        brrbtree_node *n = brrbtree__find(&m_urlTree, url);
        if (n) {
          PoolEntry *e = static_cast<PoolEntry *>(n->value);
          c = e->conn;
          e->conn = nullptr;
          removeFromPool(e, false);
        }
      }
      if (!c) {
        const int32_t cur = m_timeout.load();
        const int32_t to = cur == -1 ? HBHTTPCONNPOOL_DEFAULT_TIMEOUT : cur;
        brlog(CONNPOOL_TAG, BRLOG_VERBOSE, ">>> [%s://%s:%u] New Connection Starting (%d,%d,%d)\n",
              scheme, hostOf(url), (unsigned)url->getPort(), 30000, to, to);
        const int32_t rc = BRHTTPConnection__new(&c, scheme, hostOf(url), url->getPort(), 0,
                                                 30000, to, to);
        if (rc < 0) {
          brlog(CONNPOOL_TAG, BRLOG_WARNING, ">>> [%s://%s:%u] FAILED TO CONNECT: %d\n", scheme,
                hostOf(url), (unsigned)url->getPort(), rc);
          return rc;
        }
        *out = c;
        return BR_OK;
      }
      if (!BRHTTPConnection__isOpen(c)) {
        brlog(CONNPO_TAG, BRLOG_VERBOSE3, "Connection already closed...\n");
        dropConnection(c);
        continue;
      }
      const long now = static_cast<long>(brtime__ticks());
      brlog(CONNPOOL_TAG, BRLOG_VERBOSE3, ">>> [%s://%s:%u] [GET] Testing Connection alive: %ld\n",
            scheme, hostOf(url), (unsigned)url->getPort(), now);
      uint16_t rev = 0;
      const int32_t prc = BRHTTPConnection__pollIdle(c, &rev);
      if (prc == 0) {
        brlog(CONNPOOL_TAG, BRLOG_VERBOSE2, ">>> [%s://%s:%u]     alive: %ld pret: %d flags: 0x%x\n",
              scheme, hostOf(url), (unsigned)url->getPort(), now, prc, (unsigned)rev);
        int32_t a = 0, b = 0;
        counts(&a, &b);
        brlog(CONNPOOL_TAG, BRLOG_VERBOSE2, ">>> [%s://%s:%u] Reusing Connection (TREE LEN: %d,%d)\n",
              scheme, hostOf(url), (unsigned)url->getPort(), a, b);
        *out = c;
        return BR_OK;
      }
      brlog(CONNPOOL_TAG, BRLOG_VERBOSE2, ">>> [%s://%s:%u]     not alive: %ld pret: %d flags: 0x%x\n",
            scheme, hostOf(url), (unsigned)url->getPort(), now, prc, (unsigned)rev);
      dropConnection(c);
    }
  }

  HB_NODISCARD int32_t getConnectionForText(const char *text, BRHTTPConnection **out) override {
    if (out) *out = nullptr;
    HBRef<IHBURL> url;
    const int32_t rc = hburl__parse(url.out(), text);
    if (rc < 0) return rc;
    return getConnection(url.get(), out);
  }

  int32_t releaseConnection(IHBURL *url, BRHTTPConnection *c) override {
    if (!c) return BR_EINVAL;
    if (!url) {
      dropConnection(c);
      return BR_EINVAL;
    }
    // A request still open on the connection would later drain or close it under its next user.
    VERIFY(brhttp__connRefs(c) == 1);
    const char *scheme = url->getScheme();
    const int64_t start = brtime__ticks();
    if (!BRHTTPConnection__isOpen(c)) {
      brlog(CONNPOOL_TAG, BRLOG_VERBOSE, ">>> [%s://%s:%u] Dropping CLOSED Connection\n", scheme,
            hostOf(url), (unsigned)url->getPort());
      dropConnection(c);
      return BR_OK;
    }
    brlog(CONNPOOL_TAG, BRLOG_VERBOSE3, ">>> [%s://%s:%u] [RELEASE] Testing Connection alive: %ld\n",
          scheme, hostOf(url), (unsigned)url->getPort(), static_cast<long>(start));
    uint16_t rev = 0;
    const int32_t prc = BRHTTPConnection__pollIdle(c, &rev);
    if (prc != 0) {
      brlog(CONNPOOL_TAG, BRLOG_VERBOSE2, ">>> [%s://%s:%u]     not alive: %ld pret: %d flags: 0x%x\n",
            scheme, hostOf(url), (unsigned)url->getPort(), static_cast<long>(start), prc,
            (unsigned)rev);
      dropConnection(c);
      return BR_EINVAL;
    }
    PoolEntry *e = new PoolEntry();
    if (hburl__create(e->url.out(), url) < 0) {
      delete e;
      dropConnection(c);
      return BR_ENOMEM;
    }
    e->time = start;
    e->conn = c;
    std::lock_guard<std::mutex> lock(m_lock);
    if (brrbtree__insert(&m_urlTree, e->url.get(), e) < 0) {
      brlog(CONNPOOL_TAG, BRLOG_ERROR, ">>> [%s://%s:%u] FAILED TO INSERT URL NODE\n", scheme,
            hostOf(url), (unsigned)url->getPort());
      delete e;
      dropConnection(c);
      return BR_ENOMEM;
    }
    if (brrbtree__insert(&m_timeTree, &e->time, e) < 0)
      brlog(CONNPOOL_TAG, BRLOG_ERROR, ">>> [%s://%s:%u] FAILED TO INSERT TIME NODE\n", scheme,
            hostOf(url), (unsigned)url->getPort());
    while (brrbtree__count(&m_timeTree) > m_maxIdle) {
      brrbtree_node *oldest = brrbtree__first(&m_timeTree);
      PoolEntry *o = static_cast<PoolEntry *>(oldest->value);
      brlog(CONNPOOL_TAG, BRLOG_VERBOSE2, ">>> [%s://%s:%u] REAPING OLD HTTP CONN (%llds OLD)\n",
            o->url->getScheme(), hostOf(o->url.get()), (unsigned)o->url->getPort(),
            (long long)(start - o->time));
      removeFromPool(o, true);
    }
    VERIFY(brrbtree__count(&m_urlTree) == brrbtree__count(&m_timeTree));
    brlog(CONNPOOL_TAG, BRLOG_VERBOSE2, ">>> [%s://%s:%u] RELEASED CONNECTION (TREE LEN: %d,%d)\n",
          scheme, hostOf(url), (unsigned)url->getPort(), brrbtree__count(&m_urlTree),
          brrbtree__count(&m_timeTree));
    return BR_OK;
  }

  int32_t releaseConnectionForText(const char *text, BRHTTPConnection *c) override {
    HBRef<IHBURL> url;
    const int32_t rc = hburl__parse(url.out(), text);
    if (rc < 0) {
      if (c) dropConnection(c);
      return rc;
    }
    return releaseConnection(url.get(), c);
  }

  void closeAll() override {
    std::lock_guard<std::mutex> lock(m_lock);
    brlog(CONNPO_TAG, BRLOG_VERBOSE3, "Destroying Connection Pool (Length: %d)\n",
          brrbtree__count(&m_urlTree));
    while (brrbtree_node *n = brrbtree__first(&m_urlTree))
      removeFromPool(static_cast<PoolEntry *>(n->value), true);
    // Entries only in the time tree (a failed URL insert cannot leave any, but be thorough).
    while (brrbtree_node *n = brrbtree__first(&m_timeTree))
      removeFromPool(static_cast<PoolEntry *>(n->value), true);
  }

  void counts(int32_t *urlTree, int32_t *timeTree) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (urlTree) *urlTree = brrbtree__count(&m_urlTree);
    if (timeTree) *timeTree = brrbtree__count(&m_timeTree);
  }

  void setTimeout(int32_t ms) { m_timeout = ms; }

 private:
  friend class HBObject<HBHTTPConnPool, IHBHTTPConnPool>;
  HBHTTPConnPool() {
    brrbtree__init(&m_urlTree, compareUrl, nullptr, nullptr);
    brrbtree__init(&m_timeTree, compareTime, nullptr, nullptr);
  }
  ~HBHTTPConnPool() override {
    closeAll();
    brrbtree__clear(&m_urlTree);
    brrbtree__clear(&m_timeTree);
  }

  // Called with the lock held.
  void removeFromPool(PoolEntry *e, bool closeConn) {
    brlog(CONNPO_TAG, BRLOG_VERBOSE3, "removeFromPool [%p]\n", static_cast<void *>(e));
    VERIFY(!e->removed);
    e->removed = true;
    if (brrbtree_node *n = brrbtree__findValue(&m_urlTree, e->url.get(), e))
      brrbtree__remove(&m_urlTree, n);
    if (brrbtree_node *n = brrbtree__findValue(&m_timeTree, &e->time, e))
      brrbtree__remove(&m_timeTree, n);
    if (closeConn && e->conn) dropConnection(e->conn);
    e->conn = nullptr;
    delete e;
  }

  std::mutex m_lock;
  brrbtree m_urlTree;
  brrbtree m_timeTree;
  std::atomic<int32_t> m_timeout{-1};
  int32_t m_maxIdle = HBHTTPCONNPOOL_MAX_IDLE;
};

HBSharedRef<IHBHTTPConnPool> g_default;

}  // namespace

int32_t hbhttpconnpool__create(IHBHTTPConnPool **out) {
  if (!out) return BR_EINVAL;
  *out = HBHTTPConnPool::make();
  return BR_OK;
}

void hbhttpconnpool__setTimeout(IHBHTTPConnPool *pool, int32_t ms) {
  if (auto *p = dynamic_cast<HBHTTPConnPool *>(pool)) p->setTimeout(ms);
}

void hbhttpconnpool__counts(IHBHTTPConnPool *pool, int32_t *urlTree, int32_t *timeTree) {
  if (urlTree) *urlTree = 0;
  if (timeTree) *timeTree = 0;
  if (auto *p = dynamic_cast<HBHTTPConnPool *>(pool)) p->counts(urlTree, timeTree);
}

void hbhttpconnpool__setDefault(IHBHTTPConnPool *pool) {
  g_default.set(pool);
}

IHBHTTPConnPool *hbhttpconnpool__getDefault() {
  return g_default.get();
}
