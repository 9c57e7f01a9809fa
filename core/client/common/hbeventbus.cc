// The event bus: two recipient lists under one lock, a queue of 128 messages and the thread
// "EVT" that delivers to queued listeners.
#include "hbeventbus.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "brlog.h"
#include "brthread.h"
#include "hbmap.h"
#include "hbstr.h"

namespace {

constexpr char kTag[] = "HBEVT";
constexpr int32_t kQueueSize = 128;
constexpr int64_t kMsgEvent = 1;
constexpr int64_t kMsgQuit = 2;  // only hbeventbus__destroy sends it

std::atomic<hbeventbus_take_fn> g_take{brqueue__take};

// Shared by a list and by the dispatches in progress; the last holder drops the domain and the
// listener.
struct Recipient {
  std::atomic<int32_t> refs{1};
  IHBStr *domain = nullptr;
  IHBEventListener *listener = nullptr;
};

void recipientRelease(Recipient *r) {
  if (r->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (r->domain) r->domain->dnref();
  r->listener->dnref();
  delete r;
}

struct EventRecord {
  uint32_t flags = 0;
  IHBStr *domain = nullptr;
  IHBObj *value = nullptr;
  IHBObj *sender = nullptr;
};

void eventRelease(EventRecord *e) {
  if (e->domain) e->domain->dnref();
  if (e->value) e->value->dnref();
  if (e->sender) e->sender->dnref();
  delete e;
}

const char *textOf(IHBStr *s) {
  const char *t = s ? s->getText() : nullptr;
  return t ? t : "(null)";
}

bool sameSubscription(IHBStr *a, IHBStr *b) {
  if (a == b) return true;
  if (!a || !b) return false;
  const char *ta = a->getText();
  const char *tb = b->getText();
  if (!ta || !tb) return ta == tb;
  return strcmp(ta, tb) == 0;
}

void logEvent(const char *headline, IHBStr *domain, IHBObj *value) {
  if (!brlog__enabled(BRLOG_VERBOSE3)) return;
  brlog(kTag, BRLOG_VERBOSE3, "%s", headline);
  brlog(kTag, BRLOG_VERBOSE3, ">>> EVENT-POST     domain: %s\n", textOf(domain));
  if (value) {
    brlog(kTag, BRLOG_VERBOSE3, ">>> EVENT-POST     value: \n");
    hbvalue__dump(kTag, BRLOG_VERBOSE3, 0, nullptr, value);
  }
}

}  // namespace

struct HBEventBus {
  BRMutex lock;
  std::vector<Recipient *> lists[2];  // guarded by lock
  BRQueue *queue = nullptr;
  BRThread *thread = nullptr;
};

namespace {

void dispatch(HBEventBus *bus, HBEventList list, uint32_t flags, IHBStr *domain, IHBObj *value,
              IHBObj *sender) {
  if (!domain) return;
  std::vector<Recipient *> snapshot;
  try {
    BRLock g(bus->lock);
    snapshot.reserve(bus->lists[list].size());
    for (Recipient *r : bus->lists[list])
      if (hbevent__matches(r->domain, domain)) {
        r->refs.fetch_add(1, std::memory_order_relaxed);
        snapshot.push_back(r);
      }
  } catch (const std::bad_alloc &) {
    brlog("HBEVENT", BRLOG_ERROR, "Out of memory dispatching an event\n");
    return;
  }
  for (Recipient *r : snapshot) {
    (void)r->listener->onEvent(flags, domain, value, sender);
    recipientRelease(r);
  }
}

void eventThread(void *p) {
  HBEventBus *bus = static_cast<HBEventBus *>(p);
  brlog(kTag, BRLOG_INFO, ">>> Entering thread\n");
  for (;;) {
    int64_t kind = 0;
    void *item = nullptr;
    const int32_t rc = g_take.load()(bus->queue, &kind, &item, -1);
    if (rc < 0) {
      // A wait without limit should not fail; if it does, it may fail again at once: pause
      // rather than spin.
      brlog(kTag, BRLOG_ERROR, "Waiting for events failed: %d\n", rc);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if (kind == kMsgQuit) break;
    if (kind != kMsgEvent || !item) continue;
    EventRecord *e = static_cast<EventRecord *>(item);
    logEvent(">>> EVENT-POST MESSAGE...\n", e->domain, e->value);
    if (e->flags & 0x1) dispatch(bus, HBEVENT_IMMEDIATE, e->flags, e->domain, e->value, e->sender);
    dispatch(bus, HBEVENT_QUEUED, e->flags, e->domain, e->value, e->sender);
    eventRelease(e);
  }
}

std::atomic<HBEventBus *> g_bus{nullptr};

BRMutex &createLock() {
  static BRMutex *m = new BRMutex;
  return *m;
}

}  // namespace

bool hbevent__matchesText(const char *s, const char *d) {
  if (!d) return false;
  if (!s) return true;
  const size_t ls = strlen(s);
  const size_t ld = strlen(d);
  if (ls > ld) return false;
  if (ls == ld) return memcmp(s, d, ls) == 0;
  return d[ls] == '.' && memcmp(s, d, ls) == 0;
}

bool hbevent__matches(IHBStr *subscription, IHBStr *domain) {
  if (!domain) return false;
  if (!subscription || subscription == domain) return true;
  return hbevent__matchesText(subscription->getText(), domain->getText());
}

IHBStr *hbevent__domain(HBEventDomain which) {
  // Never destroyed: the bus thread and late posters may still use them while the process ends.
  static HBStrStatic *const table[HBEVENT_DOMAIN_COUNT] = {
      new HBStrStatic("core.property.changed"), new HBStrStatic("hbplug.settings.reset"),
      new HBStrStatic("vfs.file.created"),      new HBStrStatic("vfs.file.updated"),
      new HBStrStatic("vfs.file.deleted"),      new HBStrStatic("vfs.resource.created"),
      new HBStrStatic("vfs.resource.updated"),  new HBStrStatic("vfs.resource.deleted"),
  };
  if (which < 0 || which >= HBEVENT_DOMAIN_COUNT) return nullptr;
  return table[which];
}

int32_t hbeventbus__new(HBEventBus **out) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  HBEventBus *bus = new (std::nothrow) HBEventBus;
  if (!bus) return BR_ENOMEM;
  if (brqueue__create(&bus->queue, kQueueSize) < 0) {
    delete bus;
    return BR_ENOMEM;
  }
  if (brthread__create(&bus->thread, eventThread, bus, "EVT") < 0) {
    brqueue__destroy(bus->queue);
    delete bus;
    return BR_EUNSPEC;
  }
  *out = bus;
  return BR_OK;
}

void hbeventbus__destroy(HBEventBus *bus) {
  if (!bus) return;
  (void)brqueue__put(bus->queue, kMsgQuit, nullptr, true);
  (void)brthread__join(bus->thread);
  int64_t kind;
  void *item;
  while (brqueue__take(bus->queue, &kind, &item, 0) == BR_OK)
    if (kind == kMsgEvent && item) eventRelease(static_cast<EventRecord *>(item));
  brqueue__destroy(bus->queue);
  for (auto &list : bus->lists)
    for (Recipient *r : list) recipientRelease(r);
  delete bus;
}

int32_t hbeventbus__post(HBEventBus *bus, IHBStr *domain, IHBObj *value, IHBObj *sender) {
  if (!bus) return BR_EBADSTATE;
  bool immediate;
  {
    BRLock g(bus->lock);
    immediate = !bus->lists[HBEVENT_IMMEDIATE].empty();
  }
  if (immediate) dispatch(bus, HBEVENT_IMMEDIATE, 0, domain, value, sender);

  int32_t matching = 0;
  {
    BRLock g(bus->lock);
    for (Recipient *r : bus->lists[HBEVENT_QUEUED])
      if (hbevent__matches(r->domain, domain)) ++matching;
  }
  if (matching == 0) {
    logEvent(">>> EVENT-POST Ignoring (no recipients)...\n", domain, value);
    return BR_OK;
  }

  EventRecord *e = new (std::nothrow) EventRecord;
  if (!e) return BR_ENOMEM;
  e->domain = domain;
  e->value = value;
  e->sender = sender;
  if (domain) domain->upref();
  if (value) value->upref();
  if (sender) sender->upref();
  if (brqueue__put(bus->queue, kMsgEvent, e, false) < 0) {
    brlog("HBEVENT", BRLOG_WARNING, "--- EVENT QUEUE OVERFLOW! ---\n");
    eventRelease(e);
    return BR_EUNSPEC;
  }
  return BR_OK;
}

int32_t hbeventbus__subscribe(HBEventBus *bus, HBEventList list, IHBStr *domain,
                              IHBEventListener *listener) {
  if (!bus) return BR_EBADSTATE;
  if (!listener || (list != HBEVENT_IMMEDIATE && list != HBEVENT_QUEUED)) return BR_EINVAL;
  Recipient *r = new (std::nothrow) Recipient;
  if (!r) return BR_ENOMEM;
  r->domain = domain;
  r->listener = listener;
  if (domain) domain->upref();
  listener->upref();
  try {
    BRLock g(bus->lock);
    bus->lists[list].push_back(r);
  } catch (const std::bad_alloc &) {
    recipientRelease(r);
    return BR_ENOMEM;
  }
  return BR_OK;
}

int32_t hbeventbus__unsubscribe(HBEventBus *bus, HBEventList list, IHBStr *domain,
                                IHBEventListener *listener) {
  if (!bus) return BR_EBADSTATE;
  if (list != HBEVENT_IMMEDIATE && list != HBEVENT_QUEUED) return BR_EINVAL;
  Recipient *found = nullptr;
  {
    BRLock g(bus->lock);
    auto &v = bus->lists[list];
    for (auto it = v.begin(); it != v.end(); ++it)
      if ((*it)->listener == listener && sameSubscription((*it)->domain, domain)) {
        found = *it;
        v.erase(it);
        break;
      }
  }
  if (!found) return BR_ENOENT;
  recipientRelease(found);
  return BR_OK;
}

int32_t hbeventbus__queued(HBEventBus *bus) {
  return bus ? brqueue__count(bus->queue) : 0;
}

int32_t hbevent__create() {
  BRLock g(createLock());
  if (g_bus.load(std::memory_order_acquire)) return BR_EBADSTATE;
  HBEventBus *bus = nullptr;
  const int32_t rc = hbeventbus__new(&bus);
  if (rc < 0) return rc;
  g_bus.store(bus, std::memory_order_release);
  return BR_OK;
}

int32_t hbevent__post(IHBStr *domain, IHBObj *value, IHBObj *sender) {
  return hbeventbus__post(g_bus.load(std::memory_order_acquire), domain, value, sender);
}

int32_t hbevent__subscribe(HBEventList list, IHBStr *domain, IHBEventListener *listener) {
  return hbeventbus__subscribe(g_bus.load(std::memory_order_acquire), list, domain, listener);
}

int32_t hbevent__unsubscribe(HBEventList list, IHBStr *domain, IHBEventListener *listener) {
  return hbeventbus__unsubscribe(g_bus.load(std::memory_order_acquire), list, domain, listener);
}

void hbeventbus__setTakeForTest(hbeventbus_take_fn take) {
  g_take = take ? take : brqueue__take;
}
