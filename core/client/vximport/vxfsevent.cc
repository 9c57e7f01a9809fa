// Folder events, the receiver list of every watcher and the choice of watcher (vxfsevent.h).
#include "vxfsevent.h"

#include <cstring>

#include "hbzvuri.h"
#include "vxfsevent_posix.h"

// ---- VXFSEvent ----

int32_t VXFSEvent::create(int32_t type, IHBURI *uri, int32_t folder, HBRef<VXFSEvent> &out) {
  VXFSEvent *e = new VXFSEvent;
  e->m_type = type;
  e->m_uri = HBRef<IHBURI>::retain(uri);
  e->m_folder = folder;
  out = HBRef<VXFSEvent>::adopt(e);
  return BR_OK;
}

int32_t VXFSEvent::getEventURI(IHBURI **out) {
  if (!out) return BR_EINVAL;
  if (!m_uri) return BR_ENOENT;
  *out = HBRef<IHBURI>::retain(m_uri.get()).detach();
  return BR_OK;
}

int32_t VXFSEvent::getifc(int32_t ifc, void **out) {
  if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
  if (ifc == VXIFC_FSEVENT) return offer<IVXFSEvent>(out);
  return BR_ENOENT;
}

// ---- VXFSEventer ----

VXFSEventer::VXFSEventer(IHBURI *uri) : m_uri(HBRef<IHBURI>::retain(uri)) {}

int32_t VXFSEventer::addSink(IVXFSEventSink *sink, uint32_t) {
  return m_sinks.add(sink);
}

int32_t VXFSEventer::removeSink(IVXFSEventSink *sink) {
  return m_sinks.remove(sink);
}

std::vector<HBRef<IVXFSEventSink>> VXFSEventer::sinks() {
  return m_sinks.copy();
}

int32_t VXFSEventer::deliver(const std::vector<HBRef<IVXFSEventSink>> &sinks, IVXFSEvent *event) {
  HBRef<HBListIterator> list;
  int32_t rc = HBListIterator::create(nullptr, VXIFC_FSEVENT, HBLISTITER_OWN, "events", list);
  if (rc < 0) return rc;
  rc = list->appendObject(event);
  if (rc < 0) return rc;
  int32_t result = BR_OK;
  for (const auto &s : sinks) {
    list->reset();
    const int32_t r = s->receiveFSEvents(list.get());
    if (r < 0) result = sinks.size() == 1 ? r : BR_EUNSPEC;
  }
  return result;
}

int32_t VXFSEventer::notifySinks(IHBIter *events) {
  const auto copy = sinks();
  int32_t result = BR_OK;
  for (const auto &s : copy) {
    const int32_t r = s->receiveFSEvents(events);
    if (r < 0) result = copy.size() == 1 ? r : BR_EUNSPEC;
  }
  return result;
}

int32_t VXFSEventer::notifyOne(IVXFSEvent *event) {
  return deliver(sinks(), event);
}

int32_t VXFSEventer::unwatchedFolders(std::vector<std::string> *out) {
  if (out) out->clear();
  return 0;
}

int32_t VXFSEventer::getifc(int32_t ifc, void **out) {
  if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
  return BR_ENOENT;
}

// ---- The choice of watcher ----

int32_t vxfsevent__makeFolderWatcher(IVXFSEventer **out, IHBURI *uri) {
  if (!out || !uri) return BR_EINVAL;
  *out = nullptr;
  HBRef<IHBURL> url;
  if (hb_query(uri, url) == 0) {
    if (std::strcmp(url->getScheme(), "file") != 0) return BR_EUNSUPPORTED;
    return vxfsevent__newPosixWatcher(out, url.get());
  }
  // No drive file system reports its changes in this program.
  HBRef<IHBZVURI> zv;
  if (hb_query(uri, zv) == 0) return BR_ENOENT;
  return BR_EUNSUPPORTED;
}
