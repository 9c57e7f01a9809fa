// Copying between virtual file systems: the copy tracker and HBVFS2Copy.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <new>

#include "brlog.h"
#include "brthreadpool.h"
#include "hbvfs.h"

// ---- HBFileCopyTracker ----

int32_t HBFileCopyTracker::create(HBFileCopyTracker **out) {
  if (!out) return BR_EINVAL;
  *out = new (std::nothrow) HBFileCopyTracker();
  return *out ? BR_OK : BR_ENOMEM;
}

void HBFileCopyTracker::fileStarted(const char *, int64_t size) {
  m_files.fetch_add(1, std::memory_order_relaxed);
  m_fileSize.store(size, std::memory_order_relaxed);
  m_fileBytes.store(0, std::memory_order_relaxed);
}

void HBFileCopyTracker::fileFinished(int32_t result) {
  if (result < 0) m_failed.fetch_add(1, std::memory_order_relaxed);
  m_doneBytes.fetch_add(m_fileBytes.exchange(0, std::memory_order_relaxed),
                        std::memory_order_relaxed);
  m_fileSize.store(-1, std::memory_order_relaxed);
}

void HBFileCopyTracker::copyFinished(int32_t result) {
  std::lock_guard<std::mutex> g(m_doneLock);
  m_result = result;
  m_finished.store(true, std::memory_order_release);
  m_doneCond.notify_all();
}

int32_t HBFileCopyTracker::waitFinished(int64_t timeoutMs) {
  std::unique_lock<std::mutex> g(m_doneLock);
  auto done = [this] { return m_finished.load(std::memory_order_acquire); };
  if (timeoutMs < 0)
    m_doneCond.wait(g, done);
  else if (!m_doneCond.wait_for(g, std::chrono::milliseconds(timeoutMs), done))
    return BR_ETIMEDOUT;
  return m_result;
}

int32_t HBFileCopyTracker::updateProgress(int64_t bytes) {
  m_fileBytes.store(bytes, std::memory_order_relaxed);
  return isCanceled() < 0 ? 1 : 0;
}

int32_t HBFileCopyTracker::isCanceled() {
  return m_canceled.load(std::memory_order_acquire) ? BR_ECANCELED : BR_OK;
}

int32_t HBFileCopyTracker::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  switch (ifc) {
    case HBIFC_OBJ:
    case HBIFC_FILECOPYTRACKER:
      return offer<IHBFileCopyTracker>(out);
    case HBIFC_VFSPROGRESSTRACKER:
      return offer<IHBVFSProgressTracker>(out);
    case HBIFC_VFSOPCANCELLER:
      return offer<IHBVFSOpCanceller>(out);
    default:
      return BR_ENOENT;
  }
}

// ---- HBVFS2Copy ----

// One copy job: what to copy where, and the source folders on the way down (a folder that
// lists one of its own ancestors is not entered again).
struct HBVFS2Copy::Job {
  HBRef<HBVFS2Copy> self;
  std::string valtoken;
  HBRef<IHBVFS2> srcVfs, dstVfs;
  HBRef<IHBVFSFile> srcFile, dstFolder;
  std::vector<std::string> ancestors;
};

int32_t HBVFS2Copy::create(IHBFileCopyTracker *tracker, HBVFS2Copy **out) {
  if (!out || !tracker) return BR_EINVAL;
  HBRef<HBVFS2Copy> c = HBRef<HBVFS2Copy>::adopt(new (std::nothrow) HBVFS2Copy());
  if (!c) return BR_ENOMEM;
  c->m_tracker = HBRef<IHBFileCopyTracker>::retain(tracker);
  (void)hb_query<IHBVFSProgressTracker>(tracker, c->m_progress);
  (void)hb_query<IHBVFSOpCanceller>(tracker, c->m_canceller);
  *out = c.detach();
  return BR_OK;
}

int32_t HBVFS2Copy::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ || ifc == HBIFC_VFS2COPY) return offer<IHBVFS2Copy>(out);
  return BR_ENOENT;
}

int32_t HBVFS2Copy::copy(BRThreadPool *pool, const char *valtoken, IHBVFS2 *srcVfs,
                         IHBVFSFile *srcFile, IHBVFS2 *dstVfs, IHBVFSFile *dstFolder) {
  VERIFY(srcVfs != nullptr);
  VERIFY(srcFile != nullptr);
  VERIFY(dstVfs != nullptr);
  if (!srcVfs || !srcFile || !dstVfs) return BR_EINVAL;
  auto *job = new (std::nothrow) Job;
  if (!job) return BR_ENOMEM;
  job->self = HBRef<HBVFS2Copy>::retain(this);
  job->valtoken = valtoken ? valtoken : "";
  job->srcVfs = HBRef<IHBVFS2>::retain(srcVfs);
  job->dstVfs = HBRef<IHBVFS2>::retain(dstVfs);
  job->srcFile = HBRef<IHBVFSFile>::retain(srcFile);
  job->dstFolder = HBRef<IHBVFSFile>::retain(dstFolder);
  if (pool) {
    const int32_t rc = brtp__postTo(pool, runJob, dropJob, job);
    if (rc < 0) delete job;
    return rc;
  }
  return execute(job);
}

void HBVFS2Copy::dropJob(void *arg) {
  Job *job = static_cast<Job *>(arg);
  job->self->m_tracker->copyFinished(BR_ECANCELED);
  delete job;
}

void HBVFS2Copy::runJob(void *arg) {
  (void)execute(static_cast<Job *>(arg));
}

int32_t HBVFS2Copy::execute(Job *job) {
  HBVFS2Copy *self = job->self.get();
  int32_t rc = BR_OK;
  if (!job->dstFolder) rc = job->dstVfs->getFileByID(nullptr, "0", 0, job->dstFolder.out());
  // Copying a folder into itself would list what it has just made, without end.
  if (rc == 0 && job->srcVfs.get() == job->dstVfs.get() &&
      !std::strcmp(job->srcFile->getFileID(), job->dstFolder->getFileID())) {
    brlog("COPY", BRLOG_ERROR, "Refusing to copy '%s' into itself\n", job->srcFile->getName());
    rc = BR_EINVAL;
  }
  if (rc == 0) rc = self->copyOne(*job, job->srcFile.get(), job->dstFolder.get(), 0);
  self->m_tracker->copyFinished(rc);
  delete job;
  return rc;
}

namespace {
struct ProgressCtx {
  IHBVFSProgressTracker *progress;
  IHBVFSOpCanceller *canceller;
  int64_t before;  // bytes of the file's resources copied before this one
  bool canceled = false;
};
int progressFn(int64_t sent, void *user) {
  auto *ctx = static_cast<ProgressCtx *>(user);
  if ((ctx->canceller && ctx->canceller->isCanceled() < 0) ||
      (ctx->progress && ctx->progress->updateProgress(ctx->before + sent) != 0)) {
    ctx->canceled = true;
    return 1;
  }
  return 0;
}
}  // namespace

int32_t HBVFS2Copy::copyResource(IHBVFSResource *src, IHBVFSFile *dst, int32_t index,
                                 int64_t *fileBytes) {
  HBRef<IHBVFSResource> out;
  int32_t rc = dst->createResource(index, out.out());
  if (rc < 0) return rc;
  HBRef<IHBStream> in;
  rc = src->openStream(in.out(), HBVFS_OPEN_READ, nullptr);
  if (rc < 0) return rc;
  // Some stores learn the size only when the stream is open.
  const int64_t size = src->getSize();
  out->setMimeType(src->getMimeType());
  out->setSize(size);
  HBRef<IHBStream> w;
  rc = out->openStream(w.out(), HBVFS_OPEN_WRITE, "purpose=import");
  if (rc < 0) {
    (void)in->close();
    return rc;
  }
  ProgressCtx ctx{m_progress.get(), m_canceller.get(), *fileBytes};
  const int64_t copied =
      hbstream__sendTo(in.get(), w.get(), size >= 0 ? size : -1, progressFn, &ctx);
  (void)in->close();
  // A short copy is closed as well: the store then drops what it received.
  const int32_t closed = w->close();
  if (copied < 0 || (size >= 0 && copied != size) || ctx.canceled) {
    brlog("COPY", BRLOG_ERROR,
          "Attempted inter-vfs copy of %lld bytes, but only copied %lld bytes\n", (long long)size,
          (long long)std::max<int64_t>(copied, 0));
    if (ctx.canceled) return BR_ECANCELED;
    return copied < 0 ? static_cast<int32_t>(copied) : BR_ENOCONN;
  }
  if (closed < 0) return closed;
  brlog("COPY", BRLOG_VERBOSE, "Copied %lld bytes!\n", (long long)copied);
  m_total.fetch_add(copied, std::memory_order_relaxed);
  *fileBytes += copied;
  return BR_OK;
}

int32_t HBVFS2Copy::copyOne(Job &job, IHBVFSFile *src, IHBVFSFile *dstFolder, int32_t depth) {
  if (m_canceller && m_canceller->isCanceled() < 0) return BR_ECANCELED;
  const char *id = src->getFileID();
  if (!id || !*id) return BR_ENOENT;
  const bool folder = src->getType() != HBVFS_TYPE_FILE;
  HBRef<IHBMap> srcProps;
  if (src->getProperties(srcProps.out()) < 0) srcProps.reset();
  // The copy's own properties: the source's map is not ours to change.
  HBRef<HBMap> props;
  int32_t rc = hbvfs__copyTexts(srcProps.get(), props.out());
  if (rc < 0) return rc;
  const char *name = src->getName();
  // The top of a drive is named after the drive.
  if (!std::strcmp(id, "0") && !std::strcmp(name, ".")) name = job.srcVfs->getName();
  bool replacing = false;
  if (!folder && dstFolder) {
    HBRef<IHBVFSFile> existing;
    if (dstFolder->getChildByName(name, existing.out()) == 0) {
      replacing = true;
      rc = props->putString("overwrite", "1");
      if (rc < 0) return rc;
    }
  }
  if (folder && (depth >= HBVFS_MAX_DEPTH || std::find(job.ancestors.begin(), job.ancestors.end(),
                                                       id) != job.ancestors.end())) {
    brlog("COPY", BRLOG_WARNING, "%2d +++ Not entering '%s' (%s): too deep or its own ancestor\n",
          depth, name, id);
    return BR_OK;
  }
  HBRef<IHBVFSFile> dst;
  rc = job.dstVfs->createFile(dstFolder, name, src->getType(), props.get(), dst.out());
  if (rc < 0) {
    brlog("COPY", BRLOG_ERROR, "Failed to create dest file: [%d] %s\n", rc, name);
    return rc;
  }
  if (folder) {
    HBRef<IHBIter> children;
    rc = src->iterateChildren(children.out(), 0, nullptr, nullptr, 0, 0);
    if (rc < 0) return rc;
    job.ancestors.push_back(id);
    for (;;) {
      hbtype_t type = HBIFC_VFSFILE;
      void *item = nullptr;
      const int32_t got = children->next(&type, &item);
      if (got < 0) {
        // The end of the list, or a listing that failed half-way: not a complete copy.
        if (got != BR_ERANGE) rc = got;
        break;
      }
      HBRef<IHBVFSFile> child = HBRef<IHBVFSFile>::adopt(static_cast<IHBVFSFile *>(item));
      if (!child) continue;
      rc = copyOne(job, child.get(), dst.get(), depth + 1);
      if (rc < 0) break;
    }
    job.ancestors.pop_back();
    if (rc < 0) return rc;
  }
  int64_t total = 0;
  HBRef<IHBVFSResource> res[HBVFS_RES_COUNT];
  for (int32_t i = folder ? 1 : 0; i < HBVFS_RES_COUNT; ++i)
    if (src->getResource(i, res[i].out()) == 0 && res[i]->getSize() > 0) total += res[i]->getSize();
  if (total > 0) m_tracker->fileStarted(name, total);
  rc = BR_OK;
  int64_t fileBytes = 0;
  // The first resource that fails ends the file: a later success must not hide it.
  for (int32_t i = 0; i < HBVFS_RES_COUNT && rc == 0; ++i)
    if (res[i]) rc = copyResource(res[i].get(), dst.get(), i, &fileBytes);
  if (!folder) {
    // A file this copy made and could not fill is not left behind empty.
    if (rc < 0 && !replacing) (void)dst->deleteFile(0);
    m_tracker->fileFinished(rc);
  }
  return rc;
}
