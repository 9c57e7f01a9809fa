// The import task: prepare counts, the import walk sends each wanted file.
#include "vxclienttaskimport.h"

#include <strings.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>

#include "brlog.h"
#include "hbfile.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "hbzvuri.h"
#include "vximport.h"
#include "vximport_prefetch.h"
#include "vxsvccache.h"

namespace {

constexpr const char *kTag = "IMPORT";
constexpr uint32_t kKindBits = TASK_FLAG_AUDIO | TASK_FLAG_IMAGES | TASK_FLAG_VIDEO;

// Entries a walk never enters or imports: ".." and ".vx" names below the top (".vxdata").
bool refusedName(const char *name) {
  return std::strncmp(name, "..", 2) == 0 || std::strncmp(name, ".vx", 3) == 0;
}

const char *entryName(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

const char *kindLabel(int32_t type) {
  switch (type) {
    case HBWALK_FILE:
      return "f";
    case HBWALK_DIR:
      return "d";
    case HBWALK_DIR_ERR:
      return "dnr";
    default:
      return "???";
  }
}

int64_t statMs(int64_t seconds) {
  return seconds * 1000;
}

// What a failed file import does to the walk. Wait: the file is still being written; it is
// neither a failure nor recorded, and the task wants another run soon.
enum class After { GoOn, Stop, OutOfSpace, Imported, Wait };

After failureAction(int32_t rc, uint32_t *bits) {
  *bits = TASK_ERROR_GENERAL;
  switch (rc) {
    case BR_EAGAIN:
      *bits = 0;
      return After::Wait;
    case BR_ENOFILE:
      *bits = TASK_ERROR_SKIPPED;
      return After::GoOn;
    case -HBSVC_ERR_OFFLINE:
      *bits = TASK_ERROR_OFFLINE;
      return After::Stop;
    case -HBSVC_ERR_NOT_AUTHORIZED:
      *bits = TASK_ERROR_NOT_AUTHORIZED;
      return After::Stop;
    case BR_ENOSPC:
    case -507:  // the service could not store the file: its disk, or the drive, is full
      *bits = TASK_ERROR_NO_SPACE;
      return After::OutOfSpace;
    case BR_ENOCONN:
      *bits = TASK_ERROR_NO_CONNECTION;
      return After::GoOn;
    case BR_EIO:
      return After::Stop;
    case BR_EEXISTS:
      *bits = 0;
      return After::Imported;
    default:
      return After::GoOn;
  }
}

}  // namespace

bool vxclienttaskimport__outOfSpaceStops(const VXImportSpaceLimits &limits, int32_t count,
                                         int64_t fileSize, int64_t freeSpace) {
  return count >= limits.maxErrors || fileSize < limits.minFileSize ||
         freeSpace < limits.minFreeSpace;
}

bool vxclienttaskimport__parseLimit(const char *text, int maxHex, int maxDec, int64_t *out) {
  if (!text) return false;
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint64_t v = 0;
  int digits = 0;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (text += 2; digits < maxHex; ++digits, ++text) {
      const char c = *text;
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (d < 0) break;
      v = v * 16 + static_cast<uint64_t>(d);
    }
  } else if (text[0] == '0') {
    digits = 1;  // "0" and a "0" followed by digits both read as 0
  } else {
    for (; digits < maxDec && *text >= '0' && *text <= '9'; ++digits, ++text)
      v = v * 10 + static_cast<uint64_t>(*text - '0');
  }
  if (digits == 0) return false;
  const int64_t value = static_cast<int64_t>(v);
  *out = negative ? -value : value;
  return true;
}

// ---- Construction ----

VXClientImportTask::VXClientImportTask(const char *id, int32_t type, int32_t cls, uint32_t flags,
                                       VXClientTaskReference *source, IHBURI *destination)
    : VXClientTask(id, type, cls, flags, source, destination) {
  m_originalSource = HBRef<VXClientTaskReference>::retain(source);
  // A source of one class takes only its own kind when every kind bit was asked for.
  const char *refClass = source ? source->refClassText() : nullptr;
  uint32_t f = getTaskFlags();
  if ((f & kKindBits) == kKindBits && refClass) {
    if (std::strcmp(refClass, "music") == 0)
      f = (f & ~0x60u) | TASK_FLAG_AUDIO;
    else if (std::strcmp(refClass, "photo") == 0)
      f = (f & ~TASK_FLAG_MIRROR_FOLDERS) | 0x60u;
    else if (std::strcmp(refClass, "movie") == 0)
      f = (f & ~0x30u) | TASK_FLAG_VIDEO;
    m_flags.store(f, std::memory_order_relaxed);
  }
  std::string text;
  int64_t v;
  if (hbproperties__getDefaultString(VXIMPORT_SETTING_MAX_OUT_OF_SPACE, &text) == 0 &&
      !text.empty())
    m_limits.maxErrors = brstr__toInt(text.c_str(), 0);
  if (hbproperties__getDefaultString(VXIMPORT_SETTING_MIN_RETRY_FILE_SIZE, &text) == 0 &&
      vxclienttaskimport__parseLimit(text.c_str(), 16, 20, &v))
    m_limits.minFileSize = v;
  if (hbproperties__getDefaultString(VXIMPORT_SETTING_MIN_RETRY_FREE_SPACE, &text) == 0 &&
      vxclienttaskimport__parseLimit(text.c_str(), 8, 10, &v))
    m_limits.minFreeSpace = static_cast<int32_t>(static_cast<uint32_t>(v));
}

VXClientImportTask::~VXClientImportTask() = default;

int32_t VXClientImportTask::create(const char *id, int32_t cls, uint32_t flags,
                                   VXClientTaskReference *source, IHBURI *destination,
                                   VXClientImportTask **out) {
  if (!out) return BR_EINVAL;
  *out = new VXClientImportTask(id, TASK_TYPE_IMPORT, cls, flags, source, destination);
  return BR_OK;
}

// ---- Operations ----

int32_t VXClientImportTask::getTaskSource(VXClientTaskReference **out) {
  if (!out) return BR_EINVAL;
  BRLock hold(taskLock());
  if (!m_originalSource) return BR_ENOENT;
  *out = HBRef<VXClientTaskReference>::retain(m_originalSource.get()).detach();
  return BR_OK;
}

int32_t VXClientImportTask::getProgress(VXClientTaskProgress **out) {
  int64_t size, sent;
  int32_t step;
  {
    BRLock hold(taskLock());
    size = m_fileSize.load(std::memory_order_relaxed);
    sent = m_fileSent.load(std::memory_order_relaxed);
    step = m_step.load(std::memory_order_relaxed);
  }
  refreshProgress("IMPORT", size, sent, step);
  return VXClientTask::getProgress(out);
}

int32_t VXClientImportTask::wantFile(int32_t, const char *fileKey, const char *mimeType, int64_t,
                                     int64_t) {
  return takesType(getTaskFlags(), mimeType, isCompanionKey(fileKey)) ? 1 : 0;
}

bool VXClientImportTask::takesType(uint32_t flags, const char *mimeType, bool companion) {
  if (!mimeType) return true;
  const uint32_t kinds = flags & kKindBits;
  // Companions go up with the pictures, as plain files.
  if (companion) return kinds == 0 || (kinds & TASK_FLAG_IMAGES);
  if (std::strncmp(mimeType, "image/", 6) == 0) return kinds == 0 || (kinds & TASK_FLAG_IMAGES);
  if (std::strncmp(mimeType, "video/", 6) == 0)
    return (flags & TASK_FLAG_BACKUP_VIDEOS) && (kinds == 0 || (kinds & TASK_FLAG_VIDEO));
  return false;
}

bool VXClientImportTask::companionOf(const char *path, const char *mimeType) {
  // The single-file import sends companions as plain files: one rule for both.
  return vximport__isCompanion(path, mimeType);
}

const std::string &VXClientImportTask::folderSlot(int32_t depth) const {
  static const std::string none;
  return depth >= 0 && depth < VXIMPORT_MAX_DEPTH ? m_folders[depth] : none;
}

void VXClientImportTask::setFolderSlot(int32_t depth, const char *fileId) {
  if (depth >= 0 && depth < VXIMPORT_MAX_DEPTH) m_folders[depth] = fileId ? fileId : "";
}

std::string VXClientImportTask::parentFor(int32_t depth) const {
  const char *dest = m_destView ? m_destView->getFileID() : nullptr;
  const std::string top = dest && *dest ? dest : "0";
  const uint32_t flags = m_flags.load(std::memory_order_relaxed);
  if (depth <= 0 || (depth == 1 && (flags & TASK_FLAG_FLAT_ROOT))) return top;
  const std::string &slot = folderSlot(depth - 1);
  return slot.empty() ? top : slot;
}

int32_t VXClientImportTask::createFolder(int32_t depth, const char *, const char *name, void *,
                                         int64_t createdMs) {
  brlog(kTag, BRLOG_INFO, "    Task[%s] -- [%d/%d] Creating Folder @ %d: '%s'\n", getTaskID(),
        getCurrentFileIndex() + 1, getTotalFiles(), depth, name);
  if (!m_destView) return BR_ENOENT;
  const std::string parent = parentFor(depth);
  const std::string ctime = std::to_string(createdMs);
  const char *args[] = {"valtoken",
                        m_token.c_str(),
                        "deviceid",
                        m_destView->getDeviceID(),
                        "serviceid",
                        m_destView->getServiceID(),
                        "parentid",
                        parent.c_str(),
                        "filename",
                        name,
                        "type",
                        "1",
                        createdMs > 0 ? "ctime" : nullptr,
                        ctime.c_str(),
                        nullptr};
  HBRef<IHBURL> endpoint;
  HBRef<HBRPCGeneric> rpc;
  int32_t rc =
      vximport__serviceURL(m_destView->getDeviceID(), m_destView->getServiceID(), endpoint.out());
  if (rc >= 0) rc = hbrpc__new(endpoint.get(), rpc.out());
  if (rc < 0) return rc;
  rc = rpc->callArgs("createFile", 0, nullptr, args);
  if (rc < 0) {
    const int32_t code = rpc->isFault() ? rpc->getErrorCode() : -1;
    if (code == HBSVC_ERR_EXISTS) {
      brlog(kTag, BRLOG_WARNING, "File Exists, looking up: '%s'\n", name);
      rc = hbsvc__getFileByName(rpc.get(), m_token.c_str(), m_destView->getDeviceID(),
                                m_destView->getServiceID(), parent.c_str(), name, nullptr);
    } else {
      brlog(kTag, BRLOG_ERROR, "Failed to create file via RPC: '%s'\n", name);
    }
    if (rc < 0) return vximport__rpcFailure(rpc.get(), rc);
  }
  HBRef<HBMap> file = HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
  const char *id = file ? file->getString("fileid") : nullptr;
  // An answer naming the root ("0") or nothing would put the folder's photos at the top.
  if (!vximport__validFileId(id)) {
    brlog(kTag, BRLOG_ERROR, "   Folder answer without a usable file identifier ('%s'): '%s'\n",
          id ? id : "", name);
    return BR_ENOENT;
  }
  setFolderSlot(depth, id);
  return BR_OK;
}

// ---- Runs ----

bool VXClientImportTask::takeToken(const char *valtoken) {
  m_token.clear();
  if (valtoken && *valtoken)
    m_token = valtoken;
  else if (hbsvc__getValtoken(&m_token) < 0)
    m_token.clear();
  return !m_token.empty();
}

bool VXClientImportTask::localPath(IHBURI *uri, std::string *out) {
  HBRef<IHBURL> url;
  if (hb_query<IHBURL>(uri, url) < 0 || !url || !url->getScheme() ||
      strcasecmp(url->getScheme(), "file") != 0)
    return false;
  const char *host = url->getHost();
  const char *path = url->getPath() ? url->getPath() : "/";
  *out = host && *host && strcasecmp(host, "localhost") != 0 ? std::string("//") + host + path
                                                             : std::string(path);
  return true;
}

void VXClientImportTask::takeDestination(HBRef<IHBURI> *dest) {
  m_destView.reset();
  if (VXClientTask::getTaskDestination(dest->out()) < 0) return;
  // Only a drive URI naming both the device and the service is a place to import to.
  if (hb_query<IHBZVURI>(dest->get(), m_destView) < 0 || !m_destView ||
      !m_destView->getDeviceID() || !m_destView->getServiceID())
    m_destView.reset();
}

namespace {

// The URIs of a source (with references), copied under the task lock by the caller.
std::vector<HBRef<IHBURI>> sourceURIs(VXClientTaskReference *source) {
  std::vector<HBRef<IHBURI>> out;
  HBRef<IHBIter> it;
  if (!source || source->iterateURIs(it.out()) < 0) return out;
  hbtype_t type = HBTYPE_ANY;
  void *item;
  for (; it->next(&type, &item) >= 0; type = HBTYPE_ANY) {
    // The list holds the URIs themselves (items of type HBIFC_URI).
    HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
    if (type == HBIFC_URI && obj)
      out.push_back(HBRef<IHBURI>::retain(static_cast<IHBURI *>(obj.get())));
  }
  return out;
}

}  // namespace

int32_t VXClientImportTask::runTask(const char *valtoken) {
  const int32_t s = getTaskState();
  if (s < 0 || s == TASK_STATE_UNKNOWN || s > TASK_STATE_FINISHED) return 0;
  if (s == TASK_STATE_CANCELING || s == TASK_STATE_CANCELED) {
    brlog(kTag, BRLOG_INFO, "--- Task[%s] Already Canceled\n", getTaskID());
    settleCanceled();
    return 0;
  }
  notifyTask(TASK_NOTIFY_RUN_START);
  const int32_t prepared = prepare(valtoken);
  int32_t result = prepared;
  if (prepared == 0 || prepared == BR_ESKIPPED) {
    result = run(valtoken);
    // The backup time moves only for a run that had something to do and went to its end.
    if (prepared == 0 && result == 0 && getTaskState() == TASK_STATE_FINISHED) stampTimestamp();
  }
  notifyTask(TASK_NOTIFY_RUN_END);
  return result;
}

int32_t VXClientImportTask::prepare(const char *valtoken) {
  const int32_t s = getTaskState();
  if (s == TASK_STATE_CANCELING || s == TASK_STATE_CANCELED ||
      !transitionState(s, TASK_STATE_PREPARING))
    brlog(kTag, BRLOG_INFO, "+++ [CANCEL] Task[%s] Preparing\n", getTaskID());
  else
    brlog(kTag, BRLOG_INFO, "+++ Task[%s] Preparing\n", getTaskID());
  m_currentFileIndex = 0;
  m_totalFiles = 0;
  m_skippedFiles = 0;
  m_errorCount = 0;
  m_errorMask = 0;
  m_bytesDone = 0;
  m_totalBytes = 0;
  m_outOfSpace = 0;
  m_filesDone = 0;
  m_filesImported = 0;
  m_waitFailures = 0;
  m_companions.clear();
  m_busyFolders.clear();
  m_busyPaths.clear();
  m_leftOutRun.clear();
  HBRef<IHBURI> dest;
  takeDestination(&dest);
  std::vector<HBRef<IHBURI>> uris;
  {
    HBRef<VXClientTaskReference> source;
    if (VXClientTask::getTaskSource(source.out()) >= 0) uris = sourceURIs(source.get());
    clearErrors();
  }
  const bool signedIn = takeToken(valtoken);
  if (!signedIn) {
    brlog(kTag, BRLOG_WARNING, "    Task[%s] -- No valtoken!\n", getTaskID());
    uris.clear();
  }
  for (const HBRef<IHBURI> &uri : uris) {
    if (isCanceled()) break;
    std::string path;
    HBFileStat st;
    if (!localPath(uri.get(), &path) || hbfile__stat(path.c_str(), &st) < 0) continue;
    if (st.isDir)
      brlog(kTag, BRLOG_INFO, "    Task[%s] -- Walking Directory '%s'\n", getTaskID(),
            path.c_str());
    if (hbfile__walk(path.c_str(), countEntry, -1, HBWALK_PASSED_FILES, this) < 0)
      recordError(uri.get(), TASK_ERROR_SKIPPED);
  }
  m_destView.reset();
  m_token.clear();
  m_busyPaths.clear();
  // What was left out, most frequent kinds first. A prepare without a token saw nothing: the
  // last count stands.
  if (signedIn) {
    std::sort(m_leftOutRun.begin(), m_leftOutRun.end(), [](const auto &a, const auto &b) {
      return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    int32_t total = 0;
    for (const auto &k : m_leftOutRun) total += k.second;
    BRLock hold(taskLock());
    m_leftOut.swap(m_leftOutRun);
    m_leftOutCount = total;
  }
  m_leftOutRun.clear();
  brlog(kTag, BRLOG_INFO, "--- Task[%s] Prepare counted %d to import and %d skipped (%lld bytes)\n",
        getTaskID(), getTotalFiles(), getSkippedFiles(),
        static_cast<long long>(m_totalBytes.load()));
  return getTotalFiles() < 1 ? BR_ESKIPPED : 0;
}

int32_t VXClientImportTask::countEntry(const char *path, const HBFileStat *st, int32_t type,
                                       HBFileWalk *walk) {
  auto *self = static_cast<VXClientImportTask *>(walk->user);
  if (self->isCanceled()) return HBWALK_STOP;
  if (walk->depth > 0 && refusedName(entryName(path))) return HBWALK_SKIP;
  if (walk->depth == 0 && (self->getTaskFlags() & TASK_FLAG_FLAT_ROOT)) return HBWALK_CONTINUE;
  if (type == HBWALK_FILE_PASSED) {
    // A file of a folder without any picture or video: said to be left out like the others.
    self->leaveOut(path);
    ++self->m_skippedFiles;
  } else if (type == HBWALK_FILE) {
    const std::string key = vximport__fileKey(path);
    const char *mime = hbfile__mimeType(path);
    const uint32_t flags = self->getTaskFlags();
    if (!takesType(flags, mime, false)) {
      if (companionOf(path, mime) && takesType(flags, mime, true)) {
        self->m_companions.insert(key);
      } else {
        self->leaveOut(path);
        ++self->m_skippedFiles;
        return HBWALK_CONTINUE;
      }
    }
    if (self->wantFile(1, key.c_str(), mime, st->writeTimeMs, st->size)) {
      ++self->m_totalFiles;
      self->m_totalBytes += st->size;
      self->markBusy(path, walk->depth);
    } else {
      ++self->m_skippedFiles;
    }
  } else if (type == HBWALK_DIR && (self->getTaskFlags() & TASK_FLAG_MIRROR_FOLDERS)) {
    const std::string key = vximport__fileKey(path);
    (void)self->wantFile(1, key.c_str(), hbfile__mimeType(path), st->writeTimeMs, st->size);
  }
  return HBWALK_CONTINUE;
}

void VXClientImportTask::leaveOut(const char *path) {
  const char *name = entryName(path);
  // Hidden files (and the markers this system leaves, all of them hidden) are nobody's photos.
  if (name[0] == '.') return;
  const char *dot = std::strrchr(name, '.');
  std::string kind = "(no extension)";
  if (dot && dot[1]) {
    kind = dot;
    for (char &c : kind) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  for (auto &k : m_leftOutRun)
    if (k.first == kind) {
      ++k.second;
      return;
    }
  m_leftOutRun.emplace_back(std::move(kind), 1);
}

void VXClientImportTask::markBusy(const char *path, int32_t depth) {
  std::string p = path;
  for (int32_t d = depth - 1; d >= 0; --d) {
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) return;
    p.resize(slash > 0 ? slash : 1);
    // Its ancestors were marked with it.
    if (!m_busyPaths.insert(p).second) return;
    m_busyFolders.insert(vximport__fileKey(p.c_str()));
  }
}

void VXClientImportTask::getOutcome(VXTaskOutcome *out) {
  if (!out) return;
  *out = VXTaskOutcome();
  {
    BRLock hold(taskLock());
    size_t shown = 0;
    for (const auto &k : m_leftOut) {
      if (!out->leftOutKinds.empty()) out->leftOutKinds += ", ";
      if (++shown > 6) {
        out->leftOutKinds += "\u2026";
        break;
      }
      out->leftOutKinds += k.first + " \u00d7" + std::to_string(k.second);
    }
  }
  out->leftOut = m_leftOutCount.load();
  const uint32_t mask = getErrorMask();
  const char *problem = "";
  const char *words = "";
  if (mask & TASK_ERROR_NOT_AUTHORIZED) {
    problem = TASK_PROBLEM_SIGN_IN;
    words = "Sign in again";
  } else if (mask & TASK_ERROR_NO_SPACE) {
    problem = TASK_PROBLEM_DRIVE_FULL;
    words = "The drive is full";
  } else if (mask & (TASK_ERROR_OFFLINE | TASK_ERROR_NO_CONNECTION)) {
    problem = TASK_PROBLEM_OFFLINE;
    words = "The drive cannot be reached";
  }
  problemHint(&problem, &words);
  out->waiting = waitingFiles();
  vxclienttask__describeProblem(out, problem, words, m_waitFailures.load(),
                                std::max(0, getTotalFiles() - filesDone()));
}

int32_t VXClientImportTask::run(const char *valtoken) {
  int32_t s = getTaskState();
  if (s == TASK_STATE_CANCELING || s == TASK_STATE_CANCELED ||
      !transitionState(s, TASK_STATE_RUNNING))
    brlog(kTag, BRLOG_INFO, "+++ [CANCEL] Task[%s] Starting\n", getTaskID());
  else
    brlog(kTag, BRLOG_INFO, "+++ Task[%s] Starting\n", getTaskID());
  HBRef<IHBURI> dest;
  takeDestination(&dest);
  setProgressDestination(dest.get());
  std::vector<HBRef<IHBURI>> uris;
  {
    HBRef<VXClientTaskReference> source;
    if (VXClientTask::getTaskSource(source.out()) >= 0) uris = sourceURIs(source.get());
    clearErrors();
    m_errorMask = 0;
  }
  if (!takeToken(valtoken)) {
    brlog(kTag, BRLOG_WARNING, "    Task[%s] -- No valtoken!\n", getTaskID());
    m_errorMask |= TASK_ERROR_NOT_AUTHORIZED;
    ++m_errorCount;
    uris.clear();
  }
  m_waitingFiles = 0;
  if (m_destView && !uris.empty()) {
    // Pictures are decoded ahead while earlier ones go up, unless they need no renditions.
    HBRef<IHBStr> version;
    uint32_t flags = getTaskFlags();
    if (vxsvccache__getServiceVersion(m_destView->getDeviceID(), m_destView->getServiceID(),
                                      version.out()) >= 0 &&
        version && vximport__olderFirmware(version->getText(), true))
      flags |= IMPORT_FLAG_OLD_FIRMWARE;
    const bool images = (flags & kKindBits) == 0 || (flags & TASK_FLAG_IMAGES);
    m_prefetchWhich = images ? vximport__renditionsFor(flags) : 0;
    m_prefetch = std::make_unique<VXImportPrefetch>(VXIMPORT_AHEAD + 1);
  }
  for (const HBRef<IHBURI> &uri : uris) {
    if (isCanceled()) break;
    std::string path;
    if (localPath(uri.get(), &path)) {
      const uint32_t mirror = getTaskFlags() & TASK_FLAG_MIRROR_FOLDERS;
      m_openFolders.clear();
      if (hbfile__walk(path.c_str(), importEntry, VXIMPORT_MAX_DEPTH - 1,
                       mirror ? HBWALK_DEPTH_FIRST | HBWALK_PRE_TOO : 0, this) == 0)
        (void)flushPending();
      m_pending.clear();
    } else if (copyDriveSource(uri.get())) {
      break;
    }
  }
  m_prefetch.reset();
  m_destView.reset();
  m_token.clear();
  m_openFolders.clear();
  for (std::string &slot : m_folders) slot.clear();
  setCurrentFile(nullptr, 0);
  setProgressDestination(nullptr);

  s = getTaskState();
  if (s == TASK_STATE_CANCELING || s == TASK_STATE_CANCELED) {
    brlog(kTag, BRLOG_INFO, "--- Task[%s] Canceled\n", getTaskID());
    settleCanceled();
  } else if (s >= TASK_STATE_PENDING && s <= TASK_STATE_RUNNING) {
    if (transitionState(s, TASK_STATE_FINISHED)) {
      brlog(kTag, BRLOG_INFO, "--- Task[%s] Finished\n", getTaskID());
    } else {
      brlog(kTag, BRLOG_INFO, "--- Task[%s] Canceled\n", getTaskID());
      settleCanceled();
    }
  } else if (s == TASK_STATE_FINISHED) {
    brlog(kTag, BRLOG_INFO, "--- Task[%s] Finished\n", getTaskID());
  }
  return 0;
}

void VXClientImportTask::setCurrentFile(const char *path, int64_t size) {
  HBRef<IHBURL> url;
  if (path && hburl__fromPath(url.out(), path) < 0) url.reset();
  {
    BRLock hold(taskLock());
    m_fileSize = size;
    m_fileSent = 0;
    m_step = TASK_PROGRESS_PARSING;
  }
  setProgressFile(url.get());
}

int32_t VXClientImportTask::importEntry(const char *path, const HBFileStat *st, int32_t type,
                                        HBFileWalk *walk) {
  auto *self = static_cast<VXClientImportTask *>(walk->user);
  const int32_t depth = walk->depth;
  const char *name = entryName(path);
  // With 0x1008 a folder comes twice: first before its contents ("[PRE]"), then after.
  bool first = false;
  if (type == HBWALK_DIR && (walk->flags & HBWALK_PRE_TOO)) {
    auto &open = self->m_openFolders;
    first = !(static_cast<int32_t>(open.size()) > depth && open[depth] == path);
    open.resize(static_cast<size_t>(depth));
    if (first) open.emplace_back(path);
  }
  brlog(kTag, BRLOG_INFO, "WALK: %-3s %2d %7lld %s %-40s %d %s\n", kindLabel(type), depth,
        static_cast<long long>(st->size), first ? "[PRE]" : "", path, static_cast<int>(name - path),
        name);
  if (self->isCanceled()) return HBWALK_STOP;
  if (depth > 0 && refusedName(name)) return HBWALK_SKIP;
  if (depth == 0 && (self->getTaskFlags() & TASK_FLAG_FLAT_ROOT)) return HBWALK_CONTINUE;
  if (type == HBWALK_FILE) return self->queueFile(path, st, depth);
  if (self->flushPending() == HBWALK_STOP) return HBWALK_STOP;
  if (type == HBWALK_DIR && (self->getTaskFlags() & TASK_FLAG_MIRROR_FOLDERS))
    return self->importFolder(path, st, depth, first);
  return HBWALK_CONTINUE;
}

int32_t VXClientImportTask::queueFile(const char *path, const HBFileStat *st, int32_t depth) {
  Pending file;
  file.key = vximport__fileKey(path);
  file.mimeType = hbfile__mimeType(path);
  file.modifiedMs = st->writeTimeMs;
  file.size = st->size;
  if (!wantFile(1, file.key.c_str(), file.mimeType, file.modifiedMs, file.size))
    return HBWALK_CONTINUE;
  file.path = path;
  file.depth = depth;
  if ((getTaskFlags() & kKindBits) == 0) file.parent = parentFor(depth);
  if (m_prefetch && m_prefetchWhich && std::strncmp(file.mimeType, "image/", 6) == 0)
    (void)m_prefetch->start(file.path, m_prefetchWhich);
  m_pending.push_back(std::move(file));
  while (static_cast<int32_t>(m_pending.size()) > VXIMPORT_AHEAD) {
    const Pending next = std::move(m_pending.front());
    m_pending.pop_front();
    if (importFile(next) == HBWALK_STOP) {
      m_pending.clear();
      return HBWALK_STOP;
    }
  }
  return HBWALK_CONTINUE;
}

int32_t VXClientImportTask::flushPending() {
  while (!m_pending.empty()) {
    const Pending next = std::move(m_pending.front());
    m_pending.pop_front();
    if (isCanceled() || importFile(next) == HBWALK_STOP) {
      m_pending.clear();
      return HBWALK_STOP;
    }
  }
  return HBWALK_CONTINUE;
}

int32_t VXClientImportTask::importFile(const Pending &file) {
  const char *path = file.path.c_str();
  if (!m_destView) {
    brlog(kTag, BRLOG_WARNING, "    Task[%s] -- No Destination to Import Source '%s'\n",
          getTaskID(), path);
    ++m_currentFileIndex;
    recordErrorPath(path, TASK_ERROR_GENERAL);
    m_bytesDone += file.size;
    return HBWALK_CONTINUE;
  }
  setCurrentFile(path, file.size);
  brlog(kTag, BRLOG_INFO, "    Task[%s] -- [%d/%d] Importing Source '%s'\n", getTaskID(),
        getCurrentFileIndex() + 1, getTotalFiles(), path);

  const uint32_t flags = getTaskFlags();
  VXImportContext ctx;
  ctx.valtoken = m_token.c_str();
  ctx.deviceId = m_destView->getDeviceID();
  ctx.serviceId = m_destView->getServiceID();
  ctx.parentId = (flags & kKindBits) == 0 ? file.parent.c_str() : nullptr;
  ctx.canceled = [this] { return isCanceled(); };
  ctx.flags = flags;
  ctx.bytesSent = &m_fileSent;
  ctx.step = &m_step;
  ctx.prefetch = m_prefetch.get();
  ctx.records = uploadRecords();
  const int32_t rc = vximport__perform(&ctx, path);
  ++m_currentFileIndex;
  ++m_filesDone;

  int32_t answer = HBWALK_CONTINUE;
  uint32_t bits = 0;
  const After after = rc == 0 ? After::Imported : failureAction(rc, &bits);
  if (after == After::Imported) {
    ++m_filesImported;
    (void)wantFile(2, file.key.c_str(), file.mimeType, file.modifiedMs, file.size);
  } else if (after == After::Wait) {
    ++m_waitingFiles;
    brlog(kTag, BRLOG_INFO, "    Task[%s] -- Waiting for a later run: Source '%s'\n", getTaskID(),
          path);
  } else {
    brlog(kTag, BRLOG_WARNING, "    Task[%s] -- Import Failed: %d Source '%s'\n", getTaskID(), rc,
          path);
    if (after == After::Stop) answer = HBWALK_STOP;
    if (after == After::OutOfSpace &&
        vxclienttaskimport__outOfSpaceStops(m_limits, ++m_outOfSpace, file.size,
                                            vxsvccache__getFreeSpace(ctx.deviceId, ctx.serviceId)))
      answer = HBWALK_STOP;
    recordErrorPath(path, bits);
  }
  setCurrentFile(nullptr, 0);
  m_bytesDone += file.size;
  return answer;
}

int32_t VXClientImportTask::importFolder(const char *path, const HBFileStat *st, int32_t depth,
                                         bool first) {
  if (!first) {
    setFolderSlot(depth, nullptr);
    return HBWALK_CONTINUE;
  }
  std::string name = entryName(path);
  if (name.empty()) {
    // The root of a file system: its label, else "ROOT".
    char label[256] = "";
    name = hbfile__volume(path, nullptr, 0, label, sizeof label) >= 0 && label[0] ? label : "ROOT";
  }
  const std::string safe = vximport__safeName(name.c_str());
  const std::string key = vximport__fileKey(path);
  int32_t rc = createFolder(depth, key.c_str(), safe.c_str(), nullptr, statMs(st->createTime));
  ++m_currentFileIndex;
  // Whichever way the folder was found (a subclass may keep identifiers of its own), its
  // contents never go to the root or nowhere: without a usable identifier the service is asked.
  if (rc >= 0 && !vximport__validFileId(folderSlot(depth).c_str())) {
    brlog(kTag, BRLOG_ERROR, "    Task[%s] -- No usable folder identifier ('%s') for '%s'\n",
          getTaskID(), folderSlot(depth).c_str(), path);
    setFolderSlot(depth, nullptr);
    rc = VXClientImportTask::createFolder(depth, key.c_str(), safe.c_str(), nullptr,
                                          statMs(st->createTime));
  }
  if (rc >= 0) return HBWALK_CONTINUE;
  int32_t answer = HBWALK_SKIP;
  if (rc == -HBSVC_ERR_OFFLINE) {
    m_errorMask |= TASK_ERROR_OFFLINE;
    answer = HBWALK_STOP;
  } else if (rc == -HBSVC_ERR_NOT_AUTHORIZED) {
    m_errorMask |= TASK_ERROR_NOT_AUTHORIZED;
    answer = HBWALK_STOP;
  }
  recordErrorPath(path, TASK_ERROR_GENERAL);
  return answer;
}
