// The task model: references, error records, progress snapshots and the task base class.
#include "vxclienttask.h"

#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "brlog.h"
#include "hbfile.h"
#include "hbjson.h"
#include "hbproperties.h"
#include "hbzvuri.h"

namespace {

constexpr const char *kTagQueue = "TASKQ";

const char *const kTypeNames[] = {"unknown", "import", "export", "autoimport"};
const char *const kStateNames[] = {"pending",   "preparing", "running", "unknown",
                                   "canceling", "canceled",  "finished"};
const char *const kClassNames[] = {"user", "music", "photo", "movie"};
const char *const kStepNames[] = {"parsing", "sending_original", "transcoding",
                                  "sending_transcode"};

template <size_t N>
const char *nameOf(const char *const (&names)[N], int32_t value, int32_t first) {
  const int32_t i = value - first;
  return i >= 0 && i < static_cast<int32_t>(N) ? names[i] : "unknown";
}

// Writes `text` into `buffer` cut at a character boundary; returns the full length.
int32_t putText(const std::string &text, char *buffer, int32_t size) {
  if (buffer && size > 0) {
    const size_t n = brstr__cutUtf8(text.c_str(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int32_t>(text.size());
}

std::string decimal(long long v) {
  return std::to_string(v);
}

std::string uriText(IHBURI *uri) {
  std::string s;
  if (uri) hburi__text(uri, &s);
  return s;
}

HBRef<IHBStr> heapString(const char *text) {
  HBRef<IHBStr> s;
  HBStrHeap *h = nullptr;
  if (text && HBStrHeap::create(text, &h) == 0) s = HBRef<IHBStr>::adopt(h);
  return s;
}

int32_t handOut(IHBObj *obj, void **slot, void *value) {
  if (!obj) return BR_ENOENT;
  obj->upref();
  *slot = value;
  return BR_OK;
}

// A list iterator named `name` over string objects of `texts`.
int32_t textList(const std::vector<std::string> &texts, const char *name, IHBIter **out) {
  std::vector<HBRef<IHBStr>> strings;
  for (const std::string &t : texts) {
    strings.push_back(heapString(t.c_str()));
    if (!strings.back()) return BR_ENOMEM;
  }
  return vxclienttask__newList(out, HBIFC_STR, name, strings, [](const HBRef<IHBStr> &s) {
    return static_cast<IHBObj *>(s.get());
  });
}

// The "%s:%d VERIFY(%s) failed!" line of a check the task makes on its caller's behalf.
void verifyFailed(const char *condition, int line) {
  brlog("VERIFY", BRLOG_ERROR, "%s:%d VERIFY(%s) failed!\n", __FILE__, line, condition);
}

int32_t volumeRoot(const char *path, char *root, size_t size) {
  return hbfile__volume(path, root, size, nullptr, 0);
}
std::atomic<vxclienttask_volumefn> g_volumeFn{volumeRoot};

}  // namespace

const char *vxclienttask__typeName(int32_t type) {
  return nameOf(kTypeNames, type, 0);
}
const char *vxclienttask__stateName(int32_t state) {
  return nameOf(kStateNames, state, 0);
}
const char *vxclienttask__className(int32_t cls) {
  return nameOf(kClassNames, cls, 0);
}
const char *vxclienttask__progressStepName(int32_t step) {
  return nameOf(kStepNames, step, 0);
}

void vxclienttask__describeProblem(VXTaskOutcome *out, const char *problem, const char *words,
                                   int32_t failed, int32_t notReached) {
  if (!out) return;
  const bool has = problem && *problem;
  out->waiting += std::max(0, failed) + (has ? std::max(0, notReached) : 0);
  out->problem = has ? problem : "";
  out->problemText.clear();
  if (!has) return;
  out->problemText = words ? words : "";
  if (out->waiting > 0)
    out->problemText +=
        ": " + std::to_string(out->waiting) + (out->waiting == 1 ? " photo waits" : " photos wait");
}

int32_t vxclienttask__newID(std::string *out) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    brlog(kTagQueue, BRLOG_ERROR, "No random bytes for a new identifier\n");
    return BR_EUNSPEC;
  }
  static const char kHex[] = "0123456789abcdef";
  out->clear();
  for (unsigned char b : bytes) {
    out->push_back(kHex[b >> 4]);
    out->push_back(kHex[b & 15]);
  }
  return BR_OK;
}

int64_t vxclienttask__readTimestamp() {
  HBRef<HBProperties> store;
  if (hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, store.out()) < 0) {
    // No message box down here: the log carries the warning.
    brlog(kTagQueue, BRLOG_ERROR, "Failed to working! Failed to read registry entries!\n");
    return -1;
  }
  char text[32] = "";
  if (store->getProperty("timestamp", text, sizeof text) < 0) return 0;
  // Milliseconds since 1970 do not fit 32 bits: read all 64.
  return std::strtoll(text, nullptr, 10);
}

int32_t vxclienttask__writeTimestamp(int64_t ms) {
  HBRef<HBProperties> store;
  int32_t rc = hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, store.out());
  if (rc < 0) return rc;
  return store->setInt64Property("timestamp", ms);
}

std::string vxclienttask__dataFolder() {
  const char *data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data && *data == '/') {
    base = data;
  } else {
    const char *home = std::getenv("HOME");
    base = std::string(home ? home : "") + "/.local/share";
  }
  return base + "/Orvane Tessel Utility";
}

void vxclienttask__setVolumeRootForTest(vxclienttask_volumefn fn) {
  g_volumeFn.store(fn ? fn : volumeRoot);
}

// ---------------------------------------------------------------------------------------------
// VXClientTaskReference

int32_t VXClientTaskReference::create(const char *id, const char *cls, const char *name,
                                      bool persist, VXClientTaskReference **out) {
  if (!out) return BR_EINVAL;
  VXClientTaskReference *r = new VXClientTaskReference;
  if (id) std::snprintf(r->m_id, sizeof r->m_id, "%s", id);
  r->m_class = heapString(cls);
  r->m_name = heapString(name);
  r->m_persist = persist;
  *out = r;
  return BR_OK;
}

int32_t VXClientTaskReference::create(const char *id, const char *cls, const char *name,
                                      bool persist, HBRef<VXClientTaskReference> &out) {
  return create(id, cls, name, persist, out.out());
}

int32_t VXClientTaskReference::fromJSON(IHBMap *map, HBRef<VXClientTaskReference> &out) {
  if (!map) return BR_EINVAL;
  std::string id, cls, name;
  const bool hasClass = hbjson__getText(map, "taskRefClass", &cls);
  const bool hasName = hbjson__getText(map, "taskRefName", &name);
  hbjson__getText(map, "taskRefID", &id);
  HB_RETURN_IF_FAILED(kTagQueue, create(id.c_str(), hasClass ? cls.c_str() : nullptr,
                                        hasName ? name.c_str() : nullptr, true, out));
  HBRef<IHBIter> uris;
  if (map->getAs("taskRefURIs", HBIFC_ITER, uris.outv()) < 0) return BR_OK;
  return hbiter__forEachObject(uris.get(), [&](IHBObj *item) {
    HBRef<IHBStr> str;
    if (hb_query(item, str) < 0 || !str->getText()) return 0;
    std::string text = str->getText();
    text.resize(std::strlen(hbjson__decodeEscapes(text.data())));
    HBRef<IHBURI> uri;
    // Only drive URIs are tried as such, so local URLs do not log "Invalid URI".
    if (text.compare(0, 8, "ytozv://") == 0 || text.compare(0, 5, "zv://") == 0) {
      HBRef<IHBZVURI> zv;
      if (hbzvuri_new(zv, text.c_str()) == 0) uri = std::move(zv);
    } else {
      HBRef<IHBURL> url;
      if (hburl__parse(url.out(), text.c_str()) == 0) uri = std::move(url);
    }
    if (uri) out->appendURI(uri.get());
    return 0;
  });
}

int32_t VXClientTaskReference::toJSON(std::string *out) {
  if (!out || !m_id[0]) return BR_EINVAL;
  std::string s = "{\"taskRefID\":";
  hbjson__appendQuoted(&s, m_id, false);
  s += ",";
  if (m_class) {
    s += "\"taskRefClass\":";
    hbjson__appendQuoted(&s, m_class->getText(), false);
    s += ",";
  }
  if (m_name) {
    s += "\"taskRefName\":";
    hbjson__appendQuoted(&s, m_name->getText(), false);
    s += ",";
  }
  s += "\"taskRefURIs\":[";
  bool first = true;
  for (const std::string &t : uriTexts()) {
    if (!first) s += ",";
    first = false;
    hbjson__appendQuoted(&s, t.c_str(), false);
  }
  s += "]}";
  *out = std::move(s);
  return BR_OK;
}

const char *VXClientTaskReference::refClassText() const {
  return m_class ? m_class->getText() : nullptr;
}
const char *VXClientTaskReference::refNameText() const {
  return m_name ? m_name->getText() : nullptr;
}

std::vector<std::string> VXClientTaskReference::uriTexts() {
  std::vector<HBRef<IHBURI>> uris;
  {
    BRLock hold(m_lock);
    uris = m_uris;
  }
  std::vector<std::string> texts;
  for (const auto &u : uris) texts.push_back(uriText(u.get()));
  return texts;
}

int32_t VXClientTaskReference::getRefClass(IHBStr **out) {
  if (!out) return BR_EINVAL;
  return handOut(m_class.get(), reinterpret_cast<void **>(out), m_class.get());
}

int32_t VXClientTaskReference::getRefName(IHBStr **out) {
  if (!out) return BR_EINVAL;
  return handOut(m_name.get(), reinterpret_cast<void **>(out), m_name.get());
}

int32_t VXClientTaskReference::getURICount() {
  BRLock hold(m_lock);
  return static_cast<int32_t>(m_uris.size());
}

int32_t VXClientTaskReference::getSingleURI(IHBURI **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(m_lock);
  if (m_uris.size() != 1) return BR_ENOENT;
  return handOut(m_uris[0].get(), reinterpret_cast<void **>(out), m_uris[0].get());
}

int32_t VXClientTaskReference::iterateURIs(IHBIter **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(m_lock);
  return vxclienttask__newList(out, HBIFC_URI, "uris", m_uris, [](const HBRef<IHBURI> &u) {
    return static_cast<IHBObj *>(u.get());
  });
}

int32_t VXClientTaskReference::addURI(IHBURI *uri) {
  if (!uri) return BR_EINVAL;
  HBRef<IHBURL> url;
  if (hb_query(uri, url) == 0 && strcasecmp(url->getScheme(), "file") == 0 && url->getPath()) {
    char root[4096];
    if (g_volumeFn.load()(url->getPath(), root, sizeof root) == 0) {
      std::string marker = root;
      if (marker.empty() || marker.back() != '/') marker += "/";
      marker += VXCLIENTTASK_DRIVE_MARKER;
      if (::access(marker.c_str(), F_OK) == 0) {
        brlog(kTagQueue, BRLOG_WARNING, "Not allowing autoimporting Zevrin Drive path\n");
        return BR_EINVAL;
      }
    }
  }
  appendURI(uri);
  return BR_OK;
}

void VXClientTaskReference::appendURI(IHBURI *uri) {
  BRLock hold(m_lock);
  m_uris.push_back(HBRef<IHBURI>::retain(uri));
}

namespace {
const HBRPCPropertyEntry kReferenceProps[] = {{"sourceid", HBTYPE_TEXT},
                                              {"sourceclass", HBTYPE_TEXT},
                                              {"name", HBTYPE_TEXT},
                                              {"uris", HBIFC_ITER},
                                              {nullptr, 0}};
}  // namespace

const HBRPCPropertyEntry *VXClientTaskReference::getPropertyTable() {
  return kReferenceProps;
}

int32_t VXClientTaskReference::getPropertyObject(int32_t index, hbtype_t *hbtype, void **out) {
  if (index < 0 || index > 3) return BR_ENOENT;
  if (index != 3 || !out) return BR_EINVAL;
  if (hbtype) *hbtype = HBIFC_ITER;
  return textList(uriTexts(), "uris", reinterpret_cast<IHBIter **>(out));
}

int32_t VXClientTaskReference::getPropertyText(int32_t index, char *buffer, int32_t size) {
  const char *t;
  switch (index) {
    case 0:
      t = m_id;
      break;
    case 1:
      t = refClassText();
      break;
    case 2:
      t = refNameText();
      break;
    case 3:
      return BR_EINVAL;
    default:
      return BR_ENOENT;
  }
  return putText(t ? t : "", buffer, size);
}

int32_t VXClientTaskReference::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  switch (ifc) {
    case HBIFC_OBJ:
    case VXIFC_TASKREFERENCE:
      return offer<IVXClientTaskReference>(out);
    case HBIFC_RPCSERIALIZABLE:
      return offer<IHBRPCSerializable>(out);
    case VXIFC_TASKREFERENCE_MUTABLE:
    case VXIFC_TASKREFERENCE_MUTABLE2:
      return offer<VXClientTaskReference>(out);
    default:
      return BR_ENOENT;
  }
}

// ---------------------------------------------------------------------------------------------
// VXClientTaskError and VXClientTaskProgress

int32_t VXClientTaskError::create(IHBURI *uri, uint32_t bits, VXClientTaskError **out) {
  if (!out) return BR_EINVAL;
  VXClientTaskError *e = new VXClientTaskError;
  e->m_uri = HBRef<IHBURI>::retain(uri);
  e->m_bits = bits;
  *out = e;
  return BR_OK;
}

VXClientTaskError *VXClientTaskError::from(IHBObj *obj) {
  return dynamic_cast<VXClientTaskError *>(obj);
}

int32_t VXClientTaskError::getErrorURI(IHBURI **out) {
  if (!out) return BR_EINVAL;
  return handOut(m_uri.get(), reinterpret_cast<void **>(out), m_uri.get());
}

namespace {
const HBRPCPropertyEntry kErrorProps[] = {
    {"uri", HBTYPE_TEXT}, {"errormask", HBTYPE_TEXT}, {nullptr, 0}};
}  // namespace

const HBRPCPropertyEntry *VXClientTaskError::getPropertyTable() {
  return kErrorProps;
}

int32_t VXClientTaskError::getPropertyObject(int32_t index, hbtype_t *, void **) {
  return index == 0 || index == 1 ? BR_EINVAL : BR_ENOENT;
}

int32_t VXClientTaskError::getPropertyText(int32_t index, char *buffer, int32_t size) {
  if (index == 0) return putText(uriText(m_uri.get()), buffer, size);
  if (index == 1) return putText(decimal(static_cast<int32_t>(m_bits)), buffer, size);
  return BR_ENOENT;
}

int32_t VXClientTaskError::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ || ifc == HBIFC_RPCSERIALIZABLE) return offer<IHBRPCSerializable>(out);
  return BR_ENOENT;
}

int32_t VXClientTaskProgress::getCurrentFile(IHBURI **out) {
  if (!out) return BR_EINVAL;
  return handOut(m_file.get(), reinterpret_cast<void **>(out), m_file.get());
}

int32_t VXClientTaskProgress::getProgressDestination(IHBURI **out) {
  if (!out) return BR_EINVAL;
  return handOut(m_dest.get(), reinterpret_cast<void **>(out), m_dest.get());
}

int64_t VXClientTaskProgress::getTimestamp() {
  m_timestamp = vxclienttask__readTimestamp();
  return m_timestamp;
}

int32_t VXClientTaskProgress::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
  return BR_ENOENT;
}

// ---------------------------------------------------------------------------------------------
// VXClientTask

VXClientTask::VXClientTask(const char *id, int32_t type, int32_t cls, uint32_t flags,
                           VXClientTaskReference *source, IHBURI *destination)
    : m_flags(flags), m_type(type), m_class(cls) {
  if (id) std::snprintf(m_id, sizeof m_id, "%s", id);
  m_source = HBRef<VXClientTaskReference>::retain(source);
  m_destination = HBRef<IHBURI>::retain(destination);
  m_progress = HBRef<VXClientTaskProgress>::adopt(new VXClientTaskProgress);
  HBRef<HBProperties> store;
  int32_t limit;
  if (hbproperties__getDefault(store.out()) == 0 &&
      store->getIntProperty("errorlimit", &limit) == 0)
    m_errorLimit = limit;
}

VXClientTask::~VXClientTask() = default;

int32_t VXClientTask::iterateErrors(IHBIter **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(m_lock);
  return vxclienttask__newList(
      out, HBIFC_OBJ, "errors", m_errors,
      [](const HBRef<VXClientTaskError> &e) { return static_cast<IHBObj *>(e.get()); });
}

int32_t VXClientTask::getTaskSource(VXClientTaskReference **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(m_lock);
  return handOut(m_source ? m_source->obj() : nullptr, reinterpret_cast<void **>(out),
                 m_source.get());
}

int32_t VXClientTask::getTaskDestination(IHBURI **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(m_lock);
  return handOut(m_destination.get(), reinterpret_cast<void **>(out), m_destination.get());
}

int32_t VXClientTask::getProgress(VXClientTaskProgress **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(m_lock);
  if (!m_progress) return BR_ENOENT;
  VXClientTaskProgress *p = new VXClientTaskProgress;
  p->m_file = m_progress->m_file;
  p->m_dest = m_progress->m_dest;
  p->m_step = m_progress->m_step;
  p->m_filePercent = m_progress->m_filePercent;
  p->m_totalPercent = m_progress->m_totalPercent;
  *out = p;
  return BR_OK;
}

int32_t VXClientTask::setPaused(int32_t paused) {
  return paused ? cancelTask() : BR_EUNSUPPORTED;
}

int32_t VXClientTask::setTaskDestination(IHBURI *destination) {
  if (!destination) {
    verifyFailed("dest!=((brptrint_t)0)", __LINE__);
    return BR_EINVAL;
  }
  HBRef<IHBURI> current;
  if (getTaskDestination(current.out()) != 0) {
    verifyFailed("getTaskDestination(&myDest)!=0", __LINE__);
    current.reset();
  }
  if (current && (current.get() == destination || uriText(current.get()) == uriText(destination)))
    return BR_EHANDLED;
  return BR_EUNSUPPORTED;
}

int32_t VXClientTask::cancelTask() {
  for (;;) {
    int32_t s = getTaskState();
    int32_t to;
    if (s == TASK_STATE_PENDING || s == TASK_STATE_FINISHED)
      to = TASK_STATE_CANCELED;
    else if (s == TASK_STATE_PREPARING || s == TASK_STATE_RUNNING)
      to = TASK_STATE_CANCELING;
    else if (s == TASK_STATE_CANCELING || s == TASK_STATE_CANCELED)
      return BR_OK;
    else
      return BR_EBADSTATE;
    // The flag goes first: a run that sees the new state also sees the flag.
    setCancel(true);
    if (m_state.compare_exchange_strong(s, to, std::memory_order_acq_rel)) return BR_OK;
  }
}

bool VXClientTask::transitionState(int32_t from, int32_t to) {
  return m_state.compare_exchange_strong(from, to, std::memory_order_acq_rel);
}

int32_t VXClientTask::wantFile(int32_t, const char *, const char *, int64_t, int64_t) {
  return 1;
}

int32_t VXClientTask::createFolder(int32_t, const char *, const char *, void *, int64_t) {
  return BR_EUNSUPPORTED;
}

void VXClientTask::recordError(IHBURI *uri, uint32_t bits) {
  m_errorMask.fetch_or(bits, std::memory_order_relaxed);
  m_errorCount.fetch_add(1, std::memory_order_relaxed);
  if (bits & TASK_ERROR_WAITS) m_waitFailures.fetch_add(1, std::memory_order_relaxed);
  BRLock hold(m_lock);
  if (static_cast<int64_t>(m_errors.size()) >= m_errorLimit) return;
  VXClientTaskError *e = nullptr;
  if (VXClientTaskError::create(uri, bits, &e) == 0)
    m_errors.push_back(HBRef<VXClientTaskError>::adopt(e));
}

void VXClientTask::recordErrorPath(const char *path, uint32_t bits) {
  HBRef<IHBURL> url;
  if (path && hburl__fromPath(url.out(), path) < 0) url.reset();
  recordError(url.get(), bits);
}

void VXClientTask::clearErrors() {
  std::vector<HBRef<VXClientTaskError>> old;
  BRLock hold(m_lock);
  old.swap(m_errors);
}

void VXClientTask::setProgressFile(IHBURI *file) {
  HBRef<IHBURI> old;
  BRLock hold(m_lock);
  old = std::move(m_progress->m_file);
  m_progress->m_file = HBRef<IHBURI>::retain(file);
}

void VXClientTask::setProgressDestination(IHBURI *destination) {
  HBRef<IHBURI> old;
  BRLock hold(m_lock);
  old = std::move(m_progress->m_dest);
  m_progress->m_dest = HBRef<IHBURI>::retain(destination);
}

void VXClientTask::setProgressStep(int32_t step) {
  BRLock hold(m_lock);
  m_progress->m_step = step;
}

void VXClientTask::refreshProgress(const char *tag, int64_t fileSize, int64_t fileSent,
                                   int32_t step) {
  const double b = static_cast<double>(fileSent);
  const double s = static_cast<double>(fileSize);
  const int32_t n = getTotalFiles();
  const double i = getCurrentFileIndex();
  const double done = static_cast<double>(m_bytesDone.load(std::memory_order_relaxed));
  const double total = static_cast<double>(m_totalBytes.load(std::memory_order_relaxed));
  const double filePct = fileSize <= 0 ? 0.0 : b * 100.0 / s;
  const double totalPct =
      n <= 0 ? 0.0 : (b + (i + 1) * 1024.0 + done) * 100.0 / (n * 1024.0 + total);
  const bool import = std::strcmp(tag, "IMPORT") == 0;
  {
    BRLock hold(m_lock);
    m_progress->m_filePercent = static_cast<int32_t>(filePct);
    m_progress->m_totalPercent = static_cast<int32_t>(totalPct);
    if (import) m_progress->m_step = step;
  }
  if (import)
    brlog(tag, BRLOG_DEBUG, "--- Task[%s] -- Progress Retrieved: [%d] %lld/%lld (%.2f%%/%.2f%%)\n",
          m_id, step, (long long)fileSent, (long long)fileSize, filePct, totalPct);
  else
    brlog(tag, BRLOG_DEBUG, "--- Task[%s] -- Progress Retrieved: %lld/%lld (%.2f%%/%.2f%%)\n", m_id,
          (long long)fileSent, (long long)fileSize, filePct, totalPct);
}

void VXClientTask::stampTimestamp() {
  const int64_t now = brtime__nowMs();
  {
    BRLock hold(m_lock);
    m_progress->m_timestamp = now;
  }
  if (vxclienttask__writeTimestamp(now) < 0)
    brlog(kTagQueue, BRLOG_WARNING, "Task[%s] -- timestamp not stored\n", m_id);
}

void VXClientTask::replaceSource(VXClientTaskReference *source) {
  HBRef<VXClientTaskReference> old;
  BRLock hold(m_lock);
  old = std::move(m_source);
  m_source = HBRef<VXClientTaskReference>::retain(source);
}

void VXClientTask::replaceDestination(IHBURI *destination) {
  HBRef<IHBURI> old;
  BRLock hold(m_lock);
  old = std::move(m_destination);
  m_destination = HBRef<IHBURI>::retain(destination);
}

namespace {
const HBRPCPropertyEntry kTaskProps[] = {
    {"taskid", HBTYPE_TEXT},        {"finished", HBTYPE_TEXT},
    {"running", HBTYPE_TEXT},       {"cancelled", HBTYPE_TEXT},
    {"totfiles", HBTYPE_TEXT},      {"currfileidx", HBTYPE_TEXT},
    {"currentfile", HBTYPE_TEXT},   {"errors", HBTYPE_TEXT},
    {"errormask", HBTYPE_TEXT},     {"skipped", HBTYPE_TEXT},
    {"sourceid", HBTYPE_TEXT},      {"type", HBTYPE_TEXT},
    {"state", HBTYPE_TEXT},         {"taskclass", HBTYPE_TEXT},
    {"flags", HBTYPE_TEXT},         {"currentfileprogress", HBTYPE_TEXT},
    {"progressstate", HBTYPE_TEXT}, {"srcuris", HBIFC_ITER},
    {"desturi", HBTYPE_TEXT},       {"timestamp", HBTYPE_TEXT},
    {"leftout", HBTYPE_TEXT},       {"leftoutkinds", HBTYPE_TEXT},
    {"waiting", HBTYPE_TEXT},       {"problem", HBTYPE_TEXT},
    {"problemtext", HBTYPE_TEXT},   {"nextretry", HBTYPE_TEXT},
    {"videos", HBTYPE_TEXT},        {nullptr, 0}};
constexpr int32_t kTaskPropCount = 27;
constexpr int32_t kTaskPropSrcURIs = 17;
}  // namespace

const HBRPCPropertyEntry *VXClientTask::getPropertyTable() {
  return kTaskProps;
}

int32_t VXClientTask::getPropertyObject(int32_t index, hbtype_t *hbtype, void **out) {
  if (index < 0 || index >= kTaskPropCount) return BR_ENOENT;
  if (index != kTaskPropSrcURIs || !out) return BR_EINVAL;
  if (hbtype) *hbtype = HBIFC_ITER;
  HBRef<VXClientTaskReference> source;
  std::vector<std::string> texts;
  if (getTaskSource(source.out()) == 0) texts = source->uriTexts();
  return textList(texts, "srcuris", reinterpret_cast<IHBIter **>(out));
}

int32_t VXClientTask::getPropertyText(int32_t index, char *buffer, int32_t size) {
  const int32_t s = getTaskState();
  auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
  std::string v;
  switch (index) {
    case 0:
      v = m_id;
      break;
    case 1:
      v = flag(s == TASK_STATE_CANCELED || s == TASK_STATE_FINISHED);
      break;
    case 2:
      v = flag(s == TASK_STATE_PREPARING || s == TASK_STATE_RUNNING || s == TASK_STATE_CANCELING);
      break;
    case 3:
      v = flag(s == TASK_STATE_CANCELING || s == TASK_STATE_CANCELED);
      break;
    case 4:
      v = decimal(getTotalFiles());
      break;
    case 5:
      v = decimal(getCurrentFileIndex());
      break;
    case 6:
    case 15:
    case 16: {
      HBRef<VXClientTaskProgress> p;
      if (getProgress(p.out()) == 0) {
        if (index == 6) {
          HBRef<IHBURI> file;
          if (p->getCurrentFile(file.out()) == 0) v = uriText(file.get());
        } else if (index == 15) {
          v = decimal(p->getFilePercent());
        } else {
          v = vxclienttask__progressStepName(p->getProgressState());
        }
      } else if (index != 6) {
        v = index == 15 ? "0" : vxclienttask__progressStepName(-1);
      }
      break;
    }
    case 7:
      v = decimal(getErrorCount());
      break;
    case 8:
      v = decimal(static_cast<int32_t>(getErrorMask()));
      break;
    case 9:
      v = decimal(getSkippedFiles());
      break;
    case 10: {
      HBRef<VXClientTaskReference> source;
      if (getTaskSource(source.out()) == 0) v = source->getRefID();
      break;
    }
    case 11:
      v = vxclienttask__typeName(m_type);
      break;
    case 12:
      v = vxclienttask__stateName(s);
      break;
    case 13:
      v = vxclienttask__className(m_class);
      break;
    case 14:
      v = decimal(static_cast<int32_t>(getTaskFlags()));
      break;
    case kTaskPropSrcURIs:
      return BR_EINVAL;
    case 18: {
      HBRef<IHBURI> dest;
      if (getTaskDestination(dest.out()) == 0) v = uriText(dest.get());
      break;
    }
    case 19:
      v = decimal(vxclienttask__readTimestamp());
      break;
    case 20:
    case 21:
    case 22:
    case 23:
    case 24:
    case 25: {
      VXTaskOutcome o;
      getOutcome(&o);
      v = index == 20   ? decimal(o.leftOut)
          : index == 21 ? o.leftOutKinds
          : index == 22 ? decimal(o.waiting)
          : index == 23 ? o.problem
          : index == 24 ? o.problemText
                        : decimal(o.nextRetryMs);
      break;
    }
    case 26:
      v = flag(getTaskFlags() & TASK_FLAG_BACKUP_VIDEOS);
      break;
    default:
      return BR_ENOENT;
  }
  return putText(v, buffer, size);
}

void VXClientTask::getOutcome(VXTaskOutcome *out) {
  if (out) *out = VXTaskOutcome();
}

int32_t VXClientTask::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  switch (ifc) {
    case HBIFC_OBJ:
    case VXIFC_TASK:
      return offer<IVXClientTask>(out);
    case HBIFC_RPCSERIALIZABLE:
      return offer<IHBRPCSerializable>(out);
    case VXIFC_TASK_MUTABLE:
      return offer<VXClientTask>(out);
    default:
      return BR_ENOENT;
  }
}
