// The import of a drive source: its files are copied into the destination drive store to store
// (HBVFS2Copy), the stores coming from the virtual file system manager. The desktop program
// registers none, so there the source answers No Entry before anything is visited.
#include <cstring>

#include "brlog.h"
#include "hbsvcmethods.h"
#include "hbvfs.h"
#include "hbzvuri.h"
#include "vxclienttaskimport.h"
#include "vxsvccache.h"

namespace {
constexpr const char *kTag = "IMPORT";
// The check lines of the copy step name the module as the task's own checks do.
constexpr const char *kModule = "core/client/vximport/vxclienttaskimport";
}  // namespace

// The import's copy tracker: the bytes go into the task's counter of the current file, and the
// task's cancel (flag, or state 4 or 5) cancels the copy.
class MyFileCopyTracker final : public HBFileCopyTracker {
 public:
  explicit MyFileCopyTracker(VXClientImportTask *task) : m_task(task) {}
  int32_t updateProgress(int64_t bytes) override {
    m_task->m_fileSent.store(bytes, std::memory_order_relaxed);
    brlog(kTag, BRLOG_VERBOSE3, "--- Task[%s] -- Progress Updated: [%d] %lld/? (?%%)\n",
          m_task->getTaskID(), m_task->getTaskState(), (long long)bytes);
    return HBFileCopyTracker::updateProgress(bytes);
  }
  int32_t isCanceled() override {
    const int32_t s = m_task->getTaskState();
    if (m_task->isCanceled() || s == TASK_STATE_CANCELING || s == TASK_STATE_CANCELED)
      return BR_ECANCELED;
    return HBFileCopyTracker::isCanceled();
  }

 private:
  VXClientImportTask *m_task;  // the task runs the copy and outlives it
};

bool VXClientImportTask::copyDriveSource(IHBURI *uri) {
  HBRef<IHBZVURI> src;
  HBRef<IHBVFS2> srcvfs, dstvfs;
  HBRef<IHBVFSFile> srcfile, dstfile;
  int32_t rc =
      hb_query<IHBZVURI>(uri, src) < 0
          ? BR_ENOENT
          : hbvfs__open(srcvfs.out(), m_token.c_str(), src->getDeviceID(), src->getServiceID());
  if (rc < 0) {
    // No manager (or not a drive): the source cannot be walked at all.
    brlog(kTag, BRLOG_WARNING, "    Task[%s] -- Failed to iterate source!\n", getTaskID());
    recordError(uri, TASK_ERROR_SKIPPED);
    return false;
  }
  const char *srcId = src->getFileID() ? src->getFileID() : "0";
  if (srcvfs->getFileByID(nullptr, srcId, 0, srcfile.out()) < 0) srcfile.reset();
  if (m_destView && hbvfs__open(dstvfs.out(), m_token.c_str(), m_destView->getDeviceID(),
                                m_destView->getServiceID()) == 0) {
    const char *dstId = m_destView->getFileID() ? m_destView->getFileID() : "0";
    if (dstvfs->getFileByID(nullptr, dstId, 0, dstfile.out()) < 0) dstfile.reset();
  }
  const struct {
    bool ok;
    const char *what;
  } checks[] = {{bool(srcvfs), "srcvfs != ((brptrint_t)0)"},
                {bool(srcfile), "srcfile != ((brptrint_t)0)"},
                {bool(dstvfs), "dstvfs != ((brptrint_t)0)"},
                {bool(dstfile), "dstfile != ((brptrint_t)0)"}};
  rc = BR_OK;
  for (const auto &c : checks)
    if (!c.ok) {
      brlog("VERIFY", BRLOG_ERROR, "%s:%d VERIFY(%s) failed!\n", kModule, __LINE__, c.what);
      rc = BR_EINVAL;
    }
  if (rc == 0) {
    HBRef<MyFileCopyTracker> tracker = HBRef<MyFileCopyTracker>::adopt(new MyFileCopyTracker(this));
    HBRef<HBVFS2Copy> copier;
    rc = HBVFS2Copy::create(tracker.get(), copier.out());
    if (rc == 0)
      rc = copier->copy(nullptr, m_token.c_str(), srcvfs.get(), srcfile.get(), dstvfs.get(),
                        dstfile.get());
    m_fileSent = 0;
  }
  if (rc == 0 || rc == BR_EEXISTS || rc == BR_ECANCELED) return false;
  brlog(kTag, BRLOG_WARNING, "    Task[%s] -- Import Failed: %d Source '%s'\n", getTaskID(), rc,
        srcId);
  // The failure table of the copy step: which bits, and whether the run goes on.
  uint32_t bits = TASK_ERROR_GENERAL;
  bool stop = false;
  if (rc == -HBSVC_ERR_OFFLINE) {
    bits = TASK_ERROR_OFFLINE;
    stop = true;
  } else if (rc == BR_ENOTAUTH || rc == -HBSVC_ERR_NOT_AUTHORIZED) {
    bits = TASK_ERROR_NOT_AUTHORIZED;
    stop = true;
  } else if (rc == BR_ENOSPC) {
    bits = TASK_ERROR_NO_SPACE;
    stop = vxclienttaskimport__outOfSpaceStops(
        m_limits, ++m_outOfSpace, srcfile ? srcfile->getSize() : 0,
        vxsvccache__getFreeSpace(m_destView->getDeviceID(), m_destView->getServiceID()));
  } else if (rc == BR_ENOCONN) {
    bits = TASK_ERROR_NO_CONNECTION;
  } else if (rc == BR_EIO) {
    stop = true;
  }
  recordError(uri, bits);
  return stop;
}
