// The auto-import task (see vxclienttaskaimport.h).
#include "vxclienttaskaimport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "brlog.h"
#include "hbrpc.h"
#include "hbstr.h"
#include "hbsvcmethods.h"
#include "hbzvuri.h"
#include "vxclienttaskqueue.h"
#include "vximport.h"

namespace {

constexpr const char *kTag = "AIMPORT";

std::string uriText(IHBURI *uri) {
  HBRef<IHBStr> s;
  if (!uri || uri->toString(s.out()) < 0 || !s->getText()) return "?";
  return s->getText();
}

}  // namespace

int32_t VXClientAutoImportTask::create(const char *id, int32_t cls, uint32_t flags,
                                       VXClientTaskReference *source, IHBURI *destination,
                                       VXClientTaskQueue *queue, VXClientAutoImportTask **out) {
  if (!out) return BR_EINVAL;
  *out = new VXClientAutoImportTask(id, cls, flags, source, destination, queue);
  return BR_OK;
}

VXClientAutoImportTask::VXClientAutoImportTask(const char *id, int32_t cls, uint32_t flags,
                                               VXClientTaskReference *source, IHBURI *destination,
                                               VXClientTaskQueue *queue)
    : VXClientImportTask(id, TASK_TYPE_AUTOIMPORT, cls, flags, source, destination),
      m_queue(HBRef<VXClientTaskQueue>::retain(queue)) {
  setTaskState(TASK_STATE_CANCELED);
  {
    BRLock hold(taskLock());
    m_mapError = loadFileMap();
    if (m_mapError < 0)
      brlog(kTag, BRLOG_ERROR, "[%s]Error loading file map: %d\n", getTaskID(), m_mapError);
  }
  // A run that never ended may have left an upload half made, or made without its record.
  const std::string marker = runMarkerPath();
  if (!marker.empty() && access(marker.c_str(), F_OK) == 0) {
    brlog(kTag, BRLOG_WARNING,
          "[%s]The last run did not end: checking the destination for existing files\n",
          getTaskID());
    m_flags.fetch_or(TASK_FLAG_CHECK_EXISTING);
  }
  HBRef<IHBIter> uris;
  if (source && source->iterateURIs(uris.out()) == 0) {
    (void)hbiter__forEachObject(uris.get(), [&](IHBObj *o) {
      HBRef<IHBURI> uri;
      HBRef<IVXFSEventer> watcher;
      if (hb_query(o, uri) == 0 && vxfsevent__makeFolderWatcher(watcher.out(), uri.get()) == 0 &&
          watcher->addSink(this, 0) == 0)
        m_folderWatchers.push_back(std::move(watcher));
      return 0;
    });
  }
  if (vxnetevent__makeNetWatcher(m_netWatcher.out()) == 0) {
    if (m_netWatcher->addSink(this, 0) < 0) m_netWatcher.reset();
    if (m_netWatcher && !m_netWatcher->isNetworkAvailable()) m_offline = 1;
  }
}

VXClientAutoImportTask::~VXClientAutoImportTask() {
  stopListening();
  {
    BRLock hold(taskLock());
    m_map.close();
    if (!m_pending.empty())
      brlog(kTag, BRLOG_WARNING, "[%s]Freeing task with pending tasks!\n", getTaskID());
    m_pending.clear();
  }
  m_queue.reset();
}

int32_t VXClientAutoImportTask::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == VXIFC_AUTOIMPORTTASK) {
    *out = this;
    upref();
    return BR_OK;
  }
  return VXClientImportTask::getifc(ifc, out);
}

int32_t VXClientAutoImportTask::loadFileMap() {
  if (m_map.isOpen() || !m_mapPath.empty()) return BR_EINVAL;
  std::string path, json;
  int32_t rc = VXFileMap::pathFor(getTaskID(), &path);
  if (rc < 0) return rc;
  rc = m_map.load(path.c_str(), getTaskID());
  if (rc < 0) return rc;
  m_mapPath = path;
  int32_t migrated = -1;
  if (VXFileMap::jsonPathFor(getTaskID(), &json) == 0)
    migrated = m_map.migrateJSON(json.c_str(), getTaskID());
  if (m_map.created() && migrated <= 0) {
    // Nothing is known of what the drive holds: a run must not put a second copy of anything.
    brlog(kTag, BRLOG_INFO, "[%s]New file map: checking the destination for existing files\n",
          getTaskID());
    m_flags.fetch_or(TASK_FLAG_CHECK_EXISTING);
  }
  return BR_OK;
}

std::string VXClientAutoImportTask::runMarkerPath() {
  std::string path;
  if (VXFileMap::pathFor(getTaskID(), &path) < 0) return "";
  return path + ".running";
}

void VXClientAutoImportTask::freshMap() {
  (void)m_map.closeAndDelete();
  m_map.forgetPath();
  m_mapPath.clear();
  m_mapError = loadFileMap();
  if (m_mapError < 0)
    brlog(kTag, BRLOG_ERROR, "[%s]Error loading file map: %d\n", getTaskID(), m_mapError);
}

std::string VXClientAutoImportTask::fileMapPath() {
  BRLock hold(taskLock());
  return m_mapPath;
}

int32_t VXClientAutoImportTask::unavailableSources() {
  std::vector<HBRef<IVXFSEventer>> watchers;
  {
    BRLock hold(taskLock());
    watchers = m_folderWatchers;
  }
  int32_t n = 0;
  for (auto &w : watchers) n += w->isAvailable() ? 0 : 1;
  return n;
}

void VXClientAutoImportTask::stopListening() {
  std::vector<HBRef<IVXFSEventer>> folders;
  HBRef<IVXNetEventer> net;
  {
    BRLock hold(taskLock());
    folders.swap(m_folderWatchers);
    net = std::move(m_netWatcher);
  }
  // Outside the lock: a watcher may be delivering to this task right now.
  for (auto &w : folders) (void)w->removeSink(this);
  if (net) (void)net->removeSink(this);
}

void VXClientAutoImportTask::requeue() {
  if (m_queue) (void)m_queue->requeueTask(this);
}

int32_t VXClientAutoImportTask::setPaused(int32_t paused) {
  if (paused) {
    // A pause given while a stopping run waits to resume holds.
    m_resumeWhenStopped = false;
    return cancelTask();
  }
  const int32_t s = getTaskState();
  if (s != TASK_STATE_CANCELED) {
    brlog(kTag, BRLOG_ERROR, "[%s]Can't un-cancel autoimport in state: %d\n", getTaskID(), s);
    return BR_EBADSTATE;
  }
  setCancel(false);
  setTaskState(TASK_STATE_PENDING);
  m_retryAt = 0;
  m_nextRetryMs = 0;
  m_retryCount = 0;
  return m_queue ? m_queue->requeueTask(this) : BR_OK;
}

int32_t VXClientAutoImportTask::setTaskDestination(IHBURI *destination) {
  const int32_t rc = VXClientTask::setTaskDestination(destination);
  if (rc != BR_EUNSUPPORTED) return rc;
  replaceDestination(destination);
  setCancel(true);
  m_destChanged = 1;
  brlog(kTag, BRLOG_INFO, "--- Task[%s] Destination Changed: %s\n", getTaskID(),
        uriText(destination).c_str());
  return BR_OK;
}

int32_t VXClientAutoImportTask::runTask(const char *valtoken) {
  const int32_t s = getTaskState();
  if (s != TASK_STATE_PENDING && s != TASK_STATE_PREPARING && s != TASK_STATE_RUNNING &&
      s != TASK_STATE_FINISHED)
    return VXClientImportTask::runTask(valtoken);
  notifyTask(TASK_NOTIFY_RUN_START);
  const int32_t prepared = prepare(valtoken);
  int32_t result = prepared;
  if (prepared == BR_ESKIPPED && getSkippedFiles() > 0 && getErrorCount() == 0) {
    // Everything there is known: the run ends here, as the import walk would end it.
    result = BR_OK;
    if (transitionState(TASK_STATE_PREPARING, TASK_STATE_FINISHED)) {
      brlog("IMPORT", BRLOG_INFO, "--- Task[%s] Finished\n", getTaskID());
    } else {
      brlog("IMPORT", BRLOG_INFO, "--- Task[%s] Canceled\n", getTaskID());
      settleCanceled();
    }
  } else if (prepared == 0 || prepared == BR_ESKIPPED) {
    result = run(valtoken);
    if (prepared == 0 && result == 0 && getTaskState() == TASK_STATE_FINISHED) stampTimestamp();
  }
  resumeIfStopped();
  notifyTask(TASK_NOTIFY_RUN_END);
  return result;
}

void VXClientAutoImportTask::resumeIfStopped() {
  // Whichever comes last, the run's end or the network's return, resumes it, and only once.
  if (getTaskState() == TASK_STATE_CANCELED && m_resumeWhenStopped.exchange(false))
    (void)setPaused(0);
}

int32_t VXClientAutoImportTask::runErrors() const {
  return m_errorCount.load() - m_standingErrors.load();
}

void VXClientAutoImportTask::mapFailed() {
  m_mapFailed = true;
  m_flags.fetch_or(TASK_FLAG_CHECK_EXISTING);
}

void VXClientAutoImportTask::recordStandingErrors() {
  int32_t n = 0;
  std::string mapPath;
  std::vector<HBRef<IVXFSEventer>> watchers;
  {
    BRLock hold(taskLock());
    if (!m_map.isOpen() && !m_removed) mapPath = m_mapPath.empty() ? "?" : m_mapPath;
    watchers = m_folderWatchers;
  }
  if (!mapPath.empty()) {
    std::string path;
    if (mapPath == "?" && VXFileMap::pathFor(getTaskID(), &path) == 0) mapPath = path;
    recordErrorPath(mapPath.c_str(), TASK_ERROR_GENERAL);
    ++n;
  }
  // A source folder that is gone or cannot be read (deleted, an unplugged disk) would make every
  // run finish with nothing to do, as if the backup were current.
  HBRef<IHBIter> uris;
  if (originalSource() && originalSource()->iterateURIs(uris.out()) == 0) {
    (void)hbiter__forEachObject(uris.get(), [&](IHBObj *o) {
      HBRef<IHBURI> uri;
      std::string path;
      if (hb_query(o, uri) < 0 || !localPath(uri.get(), &path) || access(path.c_str(), R_OK) == 0)
        return 0;
      brlog(kTag, BRLOG_ERROR, "[%s]Source folder cannot be read: '%s'\n", getTaskID(),
            path.c_str());
      recordErrorPath(path.c_str(), TASK_ERROR_SKIPPED);
      ++n;
      return 0;
    });
  }
  for (auto &w : watchers) {
    std::vector<std::string> folders;
    if (w->unwatchedFolders(&folders) <= 0) continue;
    for (const auto &f : folders) recordErrorPath(f.c_str(), TASK_ERROR_GENERAL);
    n += static_cast<int32_t>(folders.size());
  }
  m_standingErrors = n;
}

void VXClientAutoImportTask::notifyTask(int32_t code) {
  switch (code) {
    case TASK_NOTIFY_TICK: {
      if (m_removed) return;
      const int32_t s = getTaskState();
      const int64_t at = m_retryAt.load();
      if (s == TASK_STATE_FINISHED && at != 0 && brtime__ticks() >= at) {
        m_retryAt = 0;
        if (runErrors() > 0)
          brlog(kTag, BRLOG_INFO, "[%s]Retrying import #%d...\n", getTaskID(), m_retryCount.load());
        else
          brlog(kTag, BRLOG_INFO, "[%s]Running again for files still being written\n", getTaskID());
      } else if (m_destChanged && s == TASK_STATE_FINISHED) {
        brlog(kTag, BRLOG_INFO, "[%s]Retrying import with new destination...\n", getTaskID());
        {
          BRLock hold(taskLock());
          m_destChanged = 0;
          freshMap();
        }
        setCancel(false);
      } else {
        return;
      }
      if (transitionState(TASK_STATE_FINISHED, TASK_STATE_PENDING)) requeue();
      return;
    }
    case TASK_NOTIFY_REMOVED:
    case TASK_NOTIFY_REMOVED_DELETE: {
      m_removed = true;
      stopListening();
      BRLock hold(taskLock());
      if (m_map.isOpen()) {
        if (code == TASK_NOTIFY_REMOVED_DELETE) {
          brlog(kTag, BRLOG_INFO, "[%s]Deleting file map: %s\n", getTaskID(),
                m_mapPath.empty() ? "?" : m_mapPath.c_str());
          (void)m_map.closeAndDelete();
        } else {
          m_map.close();
        }
      }
      m_map.forgetPath();
      m_mapPath.clear();
      if (code == TASK_NOTIFY_REMOVED_DELETE) (void)::unlink(runMarkerPath().c_str());
      return;
    }
    case TASK_NOTIFY_RUN_START: {
      m_mapFailed = false;
      m_diskFull = false;
      m_standingErrors = 0;
      for (WalkFolder &w : m_walkFolders) w = WalkFolder();
      // Cleared at the run's end: found at the next start, it tells of a run that was killed.
      const std::string marker = runMarkerPath();
      const int fd =
          marker.empty() ? -1 : ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (fd >= 0) ::close(fd);
      std::vector<HBRef<IVXFSEvent>> pending;
      {
        BRLock hold(taskLock());
        pending.swap(m_pending);
        // A destination changed while no run could see it: this run starts on a fresh map.
        if (m_destChanged && !m_removed) {
          m_destChanged = 0;
          freshMap();
          const int32_t s = getTaskState();
          if (s != TASK_STATE_CANCELING && s != TASK_STATE_CANCELED) setCancel(false);
        }
      }
      if (!pending.empty() && m_queue) {
        HBRef<VXClientTaskReference> changed;
        if (m_queue->newReference(changed.out(), nullptr, nullptr, nullptr, false) == 0) {
          for (auto &e : pending) {
            HBRef<IHBURI> uri;
            if (e->getEventURI(uri.out()) == 0) (void)changed->addURI(uri.get());
          }
        }
        brlog(kTag, BRLOG_INFO, "[%s]Always falling back to full import!\n", getTaskID());
      }
      return;
    }
    case TASK_NOTIFY_RUN_END: {
      {
        BRLock hold(taskLock());
        m_map.dropCache();
      }
      replaceSource(originalSource());
      if (getErrorCount() == 0 && !m_mapFailed)
        m_flags.fetch_and(~static_cast<uint32_t>(TASK_FLAG_CHECK_EXISTING));
      else
        m_flags.fetch_or(TASK_FLAG_CHECK_EXISTING);
      recordStandingErrors();
      scheduleRetry();
      (void)::unlink(runMarkerPath().c_str());
      ++m_completedRuns;
      return;
    }
    default:
      return;
  }
}

int32_t VXClientAutoImportTask::LockedUploads::find(const char *key, VXUploadRecord *out) {
  BRLock hold(m_task->taskLock());
  IVXUploadRecords *r = m_task->m_map.uploads();
  return r ? r->find(key, out) : BR_ENOENT;
}

int32_t VXClientAutoImportTask::LockedUploads::save(const char *key, const VXUploadRecord &record) {
  BRLock hold(m_task->taskLock());
  IVXUploadRecords *r = m_task->m_map.uploads();
  return r ? r->save(key, record) : BR_EBADSTATE;
}

int32_t VXClientAutoImportTask::LockedUploads::remove(const char *key) {
  BRLock hold(m_task->taskLock());
  IVXUploadRecords *r = m_task->m_map.uploads();
  return r ? r->remove(key) : BR_OK;
}

int32_t VXClientAutoImportTask::wantFile(int32_t phase, const char *fileKey, const char *mimeType,
                                         int64_t modifiedMs, int64_t size) {
  if (!fileKey || !takesType(getTaskFlags(), mimeType, isCompanionKey(fileKey))) return 0;
  {
    BRLock hold(taskLock());
    if (!m_map.isOpen()) {
      brlog(kTag, BRLOG_ERROR, "[%s]No file DB!\n", getTaskID());
      return 0;
    }
    ZVFileMapNode node;
    const int32_t found = m_map.lookup(fileKey, &node);
    // Maps of earlier versions hold whole seconds: such a time matches any time within its
    // second, so that the full resolution does not send the whole library again.
    const bool sameTime =
        node.modTime == modifiedMs || (node.modTime > 0 && node.modTime % 1000 == 0 &&
                                       modifiedMs >= 0 && node.modTime / 1000 == modifiedMs / 1000);
    if (found == 0 && sameTime && node.size == size) return 0;
    if (found != 0 && found != BR_ENOENT) {
      // Without a working map nothing is known: importing would put copies on the drive.
      brlog(kTag, BRLOG_ERROR, "[%s]File DB lookup failed '%s': %d\n", getTaskID(), fileKey, found);
    } else if (phase != 2) {
      return 1;
    } else {
      if (found == BR_ENOENT) {
        node = ZVFileMapNode();
        node.key = fileKey;
      }
      node.modTime = modifiedMs;
      node.size = size;
      node.updateID.reset();
      const int32_t rc = found == BR_ENOENT ? m_map.insert(node) : m_map.update(node);
      if (rc == 0) return 1;
      if (rc == BR_ENOSPC) m_diskFull = true;
      brlog(kTag, BRLOG_ERROR, "[%s]File DB node collision '%s': %d\n", getTaskID(), fileKey, rc);
    }
    mapFailed();
  }
  recordErrorPath(fileMapPath().c_str(), TASK_ERROR_GENERAL);
  return phase == 2 ? 1 : 0;
}

int32_t VXClientAutoImportTask::createFolder(int32_t depth, const char *folderKey, const char *name,
                                             void *reserved, int64_t createdMs) {
  if (depth < 0 || depth >= VXIMPORT_MAX_DEPTH) return BR_ERANGE;
  if (!folderSlot(depth).empty()) {
    brlog(kTag, BRLOG_WARNING, "[%s]Existing fileid at this level! '%s' [%s]\n", getTaskID(),
          name ? name : "", folderSlot(depth).c_str());
    return 0;
  }
  WalkFolder &walked = m_walkFolders[depth];
  walked = WalkFolder();
  walked.key = folderKey ? folderKey : "";
  walked.name = name ? name : "";
  walked.createdMs = createdMs;
  (void)wantFile(2, folderKey, nullptr, 0, 0);
  ZVFileMapNode node;
  bool known = false;
  {
    BRLock hold(taskLock());
    known = m_map.isOpen() && folderKey && m_map.lookup(folderKey, &node) == 0;
  }
  if (known && node.fileID && !node.fileID->empty()) {
    // A folder that gets files in this run is asked for first: it may have been deleted on the
    // drive, and every file sent into it would fail.
    if (!folderHasWork(folderKey) || folderOnDrive(node.fileID->c_str()) != 0) {
      setFolderSlot(depth, node.fileID->c_str());
      walked.fromMap = true;
      return 0;
    }
    brlog(kTag, BRLOG_WARNING, "[%s]Folder gone from the drive, making it again: '%s' [%s]\n",
          getTaskID(), name ? name : "", node.fileID->c_str());
    forgetFolder(folderKey);
  }
  int32_t rc = VXClientImportTask::createFolder(depth, folderKey, name, reserved, createdMs);
  if (rc == -HBSVC_ERR_NO_SUCH_FILE && depth > 0 && m_walkFolders[depth - 1].fromMap) {
    // The parent is gone from the drive: it is made again, and this folder in it.
    const WalkFolder parent = m_walkFolders[depth - 1];
    brlog(kTag, BRLOG_WARNING, "[%s]Parent folder gone from the drive, making it again: '%s'\n",
          getTaskID(), parent.name.c_str());
    forgetFolder(parent.key.c_str());
    setFolderSlot(depth - 1, nullptr);
    if (createFolder(depth - 1, parent.key.c_str(), parent.name.c_str(), nullptr,
                     parent.createdMs) == 0 &&
        !folderSlot(depth - 1).empty())
      rc = VXClientImportTask::createFolder(depth, folderKey, name, reserved, createdMs);
  }
  if (rc < 0 || !folderKey || folderSlot(depth).empty()) return rc;
  BRLock hold(taskLock());
  if (!m_map.isOpen() || m_map.lookup(folderKey, &node) != 0) return rc;
  node.fileID = folderSlot(depth);
  node.updateID.reset();
  if (m_map.update(node) < 0) mapFailed();
  return rc;
}

void VXClientAutoImportTask::forgetFolder(const char *key) {
  ZVFileMapNode node;
  BRLock hold(taskLock());
  if (!key || !m_map.isOpen() || m_map.lookup(key, &node) != 0) return;
  node.fileID.reset();
  node.updateID.reset();
  if (m_map.update(node) < 0) mapFailed();
}

int32_t VXClientAutoImportTask::folderOnDrive(const char *fileId) {
  IHBZVURI *dest = destView();
  if (!dest || !fileId) return BR_ENOENT;
  HBRef<IHBURL> endpoint;
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = vximport__serviceURL(dest->getDeviceID(), dest->getServiceID(), endpoint.out());
  if (rc >= 0) rc = hbrpc__new(endpoint.get(), rpc.out());
  if (rc < 0) return rc;
  rc = hbsvc__getFile(rpc.get(), tokenInUse().c_str(), dest->getDeviceID(), dest->getServiceID(),
                      fileId);
  if (rc >= 0) return 1;
  // Only the service's own "no such file" says it is gone; a failing call says nothing.
  return rpc->isFault() && rpc->getErrorCode() == HBSVC_ERR_NO_SUCH_FILE ? 0 : rc;
}

void VXClientAutoImportTask::scheduleRetry() {
  const int64_t now = brtime__ticks();
  int64_t delay = 0;
  if (runErrors() > 0) {
    // Failed files are tried again for as long as they fail, less and less often.
    const int32_t n = ++m_retryCount;
    delay = VXAIMPORT_RETRY_MS;
    for (int32_t i = 1; i < n && delay < VXAIMPORT_RETRY_MAX_MS; ++i) delay *= 2;
    delay = std::min<int64_t>(delay, VXAIMPORT_RETRY_MAX_MS);
    brlog(kTag, BRLOG_INFO, "[%s]Run %d with failures: next retry in %lld s\n", getTaskID(), n,
          static_cast<long long>(delay / 1000));
  } else {
    m_retryCount = 0;
    if (waitingFiles() > 0) delay = VXAIMPORT_SETTLE_RETRY_MS;
  }
  m_retryAt = delay ? std::max<int64_t>(1, now + delay) : 0;
  m_nextRetryMs = delay ? brtime__nowMs() + delay : 0;
}

void VXClientAutoImportTask::problemHint(const char **problem, const char **words) {
  if (**problem) return;
  if (m_diskFull) {
    *problem = TASK_PROBLEM_LOCAL_DISK;
    *words = "The disk of this computer is full";
  } else if (m_offline) {
    *problem = TASK_PROBLEM_OFFLINE;
    *words = "Waiting for a network";
  } else if (unavailableSources() > 0) {
    *problem = TASK_PROBLEM_UNAVAILABLE;
    *words = "A backed-up folder is not there (a disk not plugged in?)";
  }
}

void VXClientAutoImportTask::getOutcome(VXTaskOutcome *out) {
  if (!out) return;
  VXClientImportTask::getOutcome(out);
  if (getTaskState() == TASK_STATE_FINISHED) out->nextRetryMs = m_nextRetryMs.load();
}

int32_t VXClientAutoImportTask::receiveFSEvents(IHBIter *events) {
  bool taken = false;
  {
    BRLock hold(taskLock());
    const bool busy = !m_pending.empty();
    if (!busy && !m_removed && getTaskState() == TASK_STATE_FINISHED) {
      brlog(kTag, BRLOG_INFO, "[%s] *** RECEIVED FS EVENTS: %p ***\n", getTaskID(),
            static_cast<void *>(events));
      hbtype_t t = HBTYPE_ANY;
      void *item = nullptr;
      // The watcher may hand the same list to other receivers: keep the events, not the list.
      while (events && events->next(&t, &item) == 0) {
        HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
        HBRef<IVXFSEvent> e;
        if (hb_query(obj.get(), e) == 0) m_pending.push_back(std::move(e));
        t = HBTYPE_ANY;
      }
      taken = transitionState(TASK_STATE_FINISHED, TASK_STATE_PENDING);
    } else {
      if (busy)
        brlog(kTag, BRLOG_WARNING,
              "[%s] *** RECEIVED FS EVENTS: %p -- BUT I ALREADY HAVE SOME!!! ***\n", getTaskID(),
              static_cast<void *>(events));
      brlog(kTag, BRLOG_WARNING, "[%s] *** NOT READY TO RECEIVE FS EVENTS: %p ***\n", getTaskID(),
            static_cast<void *>(events));
      return BR_EINPROGRESS;
    }
  }
  if (taken) requeue();
  return BR_OK;
}

int32_t VXClientAutoImportTask::receiveNetEvent(IVXNetEvent *event) {
  brlog(kTag, BRLOG_INFO, "[%s] *** RECEIVED NET EVENT ***\n", getTaskID());
  if (!event || event->getEventType() != VXNETEVENT_TYPE_CHANGE || m_removed) return BR_OK;
  const bool available = event->isAvailable() != 0;
  const int32_t state = getTaskState();
  // Idle tasks pause too: a run started by a folder change while offline would fail picture
  // after picture, its retries end within minutes, and what was added would then wait for the
  // next change. Paused, the task runs in full when the network is back.
  const bool active = state == TASK_STATE_PENDING || state == TASK_STATE_PREPARING ||
                      state == TASK_STATE_RUNNING || state == TASK_STATE_FINISHED;
  const bool stopped =
      state == TASK_STATE_CANCELING || state == TASK_STATE_CANCELED || state == TASK_STATE_FINISHED;
  // A run still stopping that was to resume (the network came and went) stays paused as well.
  if (!available && (m_resumeWhenStopped.exchange(false) || (!m_offline && active))) {
    brlog(kTag, BRLOG_INFO, "[%s]Network unavailable, pausing task...\n", getTaskID());
    (void)setPaused(1);
    m_offline = 1;
  } else if (available && m_offline && stopped) {
    brlog(kTag, BRLOG_INFO, "[%s]Network available, unpausing task...\n", getTaskID());
    m_offline = 0;
    // A task made while offline was never paused: its runs went on and failed. It runs in full
    // again now, as a paused one would.
    if (state == TASK_STATE_FINISHED) (void)cancelTask();
    if (state == TASK_STATE_CANCELING) {
      // A run still stopping cannot be resumed yet; left as it is, it would stay paused for
      // good after a short drop of the network.
      m_resumeWhenStopped = true;
      resumeIfStopped();
    } else {
      (void)setPaused(0);
    }
  }
  return BR_OK;
}
