// Network events, the receiver list of network watchers and the metered rule (vxnetevent.h).
#include "vxnetevent.h"

#include <atomic>
#include <string>

#include "brlog.h"
#include "hbproperties.h"

namespace {
std::atomic<vxnetevent_meteredfn> g_metered{nullptr};
}  // namespace

void VXNetEvent::create(int32_t type, int32_t available, HBRef<VXNetEvent> &out) {
  VXNetEvent *e = new VXNetEvent;
  e->m_type = type;
  e->m_available = available;
  out = HBRef<VXNetEvent>::adopt(e);
}

int32_t VXNetEvent::getifc(int32_t ifc, void **out) {
  if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
  return BR_ENOENT;
}

int32_t VXNetEventer::getifc(int32_t ifc, void **out) {
  if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
  return BR_ENOENT;
}

void VXNetEventer::deliver(const std::vector<HBRef<IVXNetEventSink>> &sinks, IVXNetEvent *event) {
  for (const auto &s : sinks) (void)s->receiveNetEvent(event);
}

void vxnetevent__setMeteredSource(vxnetevent_meteredfn source) {
  g_metered.store(source);
}

int32_t vxnetevent__applyMetered(int32_t available) {
  if (!available) return 0;
  vxnetevent_meteredfn source = g_metered.load();
  if (!(source ? source() : vxnetevent__systemMetered())) return available;
  std::string allow;
  if (hbproperties__getDefaultString("backup.onmetered", &allow) >= 0 && allow == "1")
    return available;
  brlog("VXNETEV", BRLOG_INFO,
        "The network is metered: no backups over it (setting backup.onmetered)\n");
  return 0;
}
