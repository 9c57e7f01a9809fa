// VXClientExportTask: a restore of drive files and folders into a local folder.
#include "vxclienttaskexport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "brhttp.h"
#include "brlog.h"
#include "hbfile.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "vxremotewalk.h"
#include "vxsvccache.h"
#include "zvvfsservice.h"

namespace {

constexpr const char *kTag = "EXPORT";
constexpr int32_t kRecvBlock = 128 * 1024;

// "size" as a count of bytes: at most 20 digits; -1 when missing or not a number.
int64_t recordSize(IHBMap *record) {
  const char *s = record ? record->getString("size") : nullptr;
  if (!s || !*s || std::strlen(s) > 20) return -1;
  uint64_t v = 0;
  for (const char *p = s; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    if (v > (UINT64_C(0x7fffffffffffffff) - uint64_t(*p - '0')) / 10) return -1;
    v = v * 10 + uint64_t(*p - '0');
  }
  return static_cast<int64_t>(v);
}

const char *recordName(IHBMap *record) {
  const char *n = record ? record->getString("name") : nullptr;
  if (!n) n = record ? record->getString("filename") : nullptr;
  return n ? n : "";
}

std::string uriText(IHBURI *uri) {
  std::string t;
  if (uri) (void)hburi__text(uri, &t);
  return t;
}

// Services of firmware older than 3.2 reached by a numeric IPv4 address take the token in the
// address rather than as a cookie (log lines as the import's).
bool oldFirmwareNoCookie(const char *device, const char *service, IHBURL *endpoint) {
  HBRef<IHBStr> version;
  if (vxsvccache__getServiceVersion(device, service, version.out()) < 0 || !version->getText())
    return false;
  unsigned v[4] = {0, 0, 0, 0};
  if (std::sscanf(version->getText(), "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]) != 4) {
    brlog("IMPORT", BRLOG_WARNING, "Invalid version string '%s'\n", version->getText());
    v[0] = v[1] = v[2] = v[3] = 0;
  }
  brlog("IMPORT", BRLOG_INFO, "Verifying Service Version '%s': [%u.%u.%u.%u]\n", version->getText(),
        v[0], v[1], v[2], v[3]);
  bool old = false;
  if (v[0] < 3) {
    brlog("IMPORT", BRLOG_INFO, "  -- Older 2.x or 1.x firmware!\n");
    old = true;
  } else if (v[0] == 3 && v[1] < 2) {
    brlog("IMPORT", BRLOG_INFO, "  -- Older 3.x firmware!\n");
    old = true;
  }
  in_addr a;
  const char *host = endpoint->getHost() ? endpoint->getHost() : "";
  if (!old || inet_pton(AF_INET, host, &a) != 1) return false;
  brlog("IMPORT", BRLOG_INFO, "  -- Older firmware local(%s) -- no cookie\n", host);
  return true;
}

bool isConnectionFailure(int32_t rc) {
  return rc == BR_ENOCONN || rc == BR_EOF || rc == BR_ECONNRESET || rc == BR_ECONNABORTED;
}

// A file made under a temporary name in the target folder, removed unless it was put in place.
class PartialFile {
 public:
  ~PartialFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  int32_t create(const std::string &folder) {
    static const char kHex[] = "0123456789abcdef";
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = folder + ".yto_";
      uint64_t r = (uint64_t(brtime__ticks()) << 16) ^ uint64_t(::getpid()) ^
                   (uint64_t(attempt) << 40) ^ reinterpret_cast<uintptr_t>(this);
      for (int i = 0; i < 12; ++i, r >>= 4) name += kHex[r & 15];
      m_fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (m_fd >= 0) {
        m_path = name;
        return BR_OK;
      }
      if (errno != EEXIST) return brerror__fromErrno(errno);
    }
    return BR_EEXISTS;
  }
  // All of `data`, or the failure (No Space for a full disk).
  int32_t write(const char *data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(m_fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n == 0 || errno == ENOSPC || errno == EDQUOT ? BR_ENOSPC : BR_EIO;
      data += n;
      size -= size_t(n);
    }
    return BR_OK;
  }
  // Gives the complete file its name, never replacing a file that appeared meanwhile (or, with
  // `replace`, replacing an incomplete copy of an earlier restore). The content is on the disk
  // before the name is: after a power loss the name holds the whole photo or nothing.
  int32_t commit(const std::string &target, int64_t mtimeMs, bool replace = false) {
    if (mtimeMs > 0) {
      const timespec times[2] = {{0, UTIME_OMIT},
                                 {time_t(mtimeMs / 1000), long(mtimeMs % 1000) * 1000000}};
      (void)::futimens(m_fd, times);
    }
    if (::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS) {
      const int err = errno;
      ::close(m_fd);
      m_fd = -1;
      return err == ENOSPC || err == EDQUOT ? BR_ENOSPC : BR_EIO;
    }
    const int closed = ::close(m_fd);
    m_fd = -1;
    if (closed != 0) return errno == ENOSPC || errno == EDQUOT ? BR_ENOSPC : BR_EIO;
    if (replace) {
      if (::rename(m_path.c_str(), target.c_str()) != 0) return brerror__fromErrno(errno);
      m_path.clear();
      syncFolder(target);
      return BR_OK;
    }
    if (::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      m_path.clear();
      syncFolder(target);
      return BR_OK;
    }
    // File systems without the no-replace rename: a link never replaces either.
    if (errno != EINVAL && errno != ENOSYS)
      return errno == EEXIST ? BR_EEXISTS : brerror__fromErrno(errno);
    if (::link(m_path.c_str(), target.c_str()) != 0)
      return errno == EEXIST ? BR_EEXISTS : brerror__fromErrno(errno);
    syncFolder(target);
    return BR_OK;  // the temporary name goes in the destructor
  }

  // The folder's entry of the new name, on the disk too.
  static void syncFolder(const std::string &target) {
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
  }

 private:
  std::string m_path;
  int m_fd = -1;
};

}  // namespace

std::string vxexport__safeName(const char *name) {
  std::string s = name ? name : "";
  s.resize(brstr__cutUtf8(s.c_str(), 255));
  // Only what the file system forbids: any other name is the photo's own.
  for (char &c : s)
    if (c == '/') c = '_';
  if (s.empty() || s == "." || s == "..") s = "_";
  return s;
}

std::string vxexport__numberedName(const std::string &name, int n) {
  if (n < 2) return name;
  const size_t dot = name.rfind('.');
  const bool hasExt = dot != std::string::npos && dot > 0;
  const std::string ext = hasExt ? name.substr(dot) : "";
  std::string stem = hasExt ? name.substr(0, dot) : name;
  const std::string mark = " (" + std::to_string(n) + ")";
  if (stem.size() + mark.size() + ext.size() > 255) {
    const size_t room = 255 > mark.size() + ext.size() ? 255 - mark.size() - ext.size() : 0;
    stem.resize(brstr__cutUtf8(stem.c_str(), room));
  }
  return stem + mark + ext;
}

uint32_t vxexport__errorBits(int32_t rc) {
  if (rc == -HBSVC_ERR_OFFLINE) return TASK_ERROR_OFFLINE;
  if (rc == BR_ENOSPC) return TASK_ERROR_NO_SPACE;
  if (isConnectionFailure(rc)) return TASK_ERROR_NO_CONNECTION;
  if (rc == BR_ENOTAUTH || rc == -HBSVC_ERR_NOT_AUTHORIZED) return TASK_ERROR_NOT_AUTHORIZED;
  return TASK_ERROR_GENERAL;
}

// ---- The task ----

VXClientExportTask::VXClientExportTask(const char *id, VXClientTaskReference *source,
                                       IHBURI *destination)
    : VXClientTask(id, TASK_TYPE_EXPORT, TASK_CLASS_USER, 0, source, destination) {}

int32_t VXClientExportTask::create(VXClientExportTask **out, const char *id,
                                   VXClientTaskReference *source, IHBURI *destination) {
  if (!out) return BR_EINVAL;
  *out = new (std::nothrow) VXClientExportTask(id, source, destination);
  return *out ? BR_OK : BR_ENOMEM;
}

int32_t VXClientExportTask::getProgress(VXClientTaskProgress **out) {
  refreshProgress(kTag, m_fileSize.load(std::memory_order_relaxed),
                  m_fileReceived.load(std::memory_order_relaxed), TASK_PROGRESS_PARSING);
  return VXClientTask::getProgress(out);
}

int32_t VXClientExportTask::runTask(const char *valtoken) {
  const int32_t s = getTaskState();
  if (s == TASK_STATE_UNKNOWN) return BR_OK;
  if (s == TASK_STATE_CANCELING || s == TASK_STATE_CANCELED) {
    setTaskState(TASK_STATE_CANCELED);
    return BR_OK;
  }
  if (prepare(valtoken) == 0) return run(valtoken);
  return BR_OK;
}

namespace {
// The drive URIs of a source, in order.
std::vector<HBRef<IHBZVURI>> driveURIs(VXClientTask *task) {
  std::vector<HBRef<IHBZVURI>> uris;
  HBRef<VXClientTaskReference> src;
  HBRef<IHBIter> it;
  if (task->getTaskSource(src.out()) < 0 || src->iterateURIs(it.out()) < 0) return uris;
  for (;;) {
    hbtype_t t = HBIFC_URI;
    void *item = nullptr;
    if (it->next(&t, &item) < 0) break;
    HBRef<IHBURI> uri = HBRef<IHBURI>::adopt(static_cast<IHBURI *>(item));
    HBRef<IHBZVURI> zv;
    if (uri && hb_query<IHBZVURI>(uri.get(), zv) == 0) uris.push_back(std::move(zv));
  }
  return uris;
}
}  // namespace

int32_t VXClientExportTask::countEntry(const char *, IHBMap *record, IHBZVURI *, int32_t kind,
                                       const VXRemoteWalkPos *pos, void *user) {
  auto *self = static_cast<VXClientExportTask *>(user);
  if (self->isCanceled()) return VXRWALK_STOP;
  if (pos->depth > 0 && recordName(record)[0] == '.') return VXRWALK_SKIP;
  if (kind != VXRWALK_FILE) return VXRWALK_CONTINUE;
  const int64_t size = recordSize(record);
  if (self->wantFile(1, record->getString("fileid"), nullptr, 0, size)) {
    self->m_totalFiles.fetch_add(1, std::memory_order_relaxed);
    if (size > 0) self->m_totalBytes.fetch_add(size, std::memory_order_relaxed);
  } else {
    self->m_skippedFiles.fetch_add(1, std::memory_order_relaxed);
  }
  return VXRWALK_CONTINUE;
}

int32_t VXClientExportTask::prepare(const char *valtoken) {
  brlog(kTag, BRLOG_INFO, "+++ Task[%s] Preparing\n", getTaskID());
  if (!transitionState(TASK_STATE_PENDING, TASK_STATE_PREPARING) &&
      !transitionState(TASK_STATE_FINISHED, TASK_STATE_PREPARING)) {
    // A cancel came first.
    setTaskState(TASK_STATE_CANCELED);
    return BR_ECANCELED;
  }
  m_currentFileIndex = 0;
  m_filesHandled = 0;
  m_filesDone = 0;
  m_filesFailed = 0;
  m_claimed.clear();
  {
    BRLock g(taskLock());
    m_failures.clear();
  }
  m_totalFiles = 0;
  m_errorCount = 0;
  clearErrors();
  for (const HBRef<IHBZVURI> &uri : driveURIs(this)) {
    if (isCanceled()) break;
    // Folders are seen before their contents, so that those the run skips are not counted.
    (void)remoteWalk(valtoken, uri.get(), countEntry, VXRWALK_PRE, this, VXEXPORT_MAX_DEPTH);
  }
  brlog(kTag, BRLOG_INFO, "--- Task[%s] Prepare counted %d to export and %d skipped (%lld bytes)\n",
        getTaskID(), getTotalFiles(), getSkippedFiles(), (long long)m_totalBytes.load());
  return BR_OK;
}

void VXClientExportTask::failed(IHBZVURI *uri, int32_t rc, uint32_t bits, const char *drivePath) {
  brlog(kTag, BRLOG_WARNING, "    Task[%s] -- Export Failed: %d Source '%s'\n", getTaskID(), rc,
        uriText(uri).c_str());
  std::string where = drivePath && *drivePath ? drivePath : uriText(uri);
  if (drivePath && *drivePath)
    brlog(kTag, BRLOG_WARNING, "    Task[%s] -- Not restored: '%s'\n", getTaskID(), drivePath);
  {
    BRLock g(taskLock());
    m_failures.push_back({std::move(where), rc, bits});
  }
  recordError(uri, bits);
}

std::vector<VXExportFailure> VXClientExportTask::failures() {
  BRLock g(taskLock());
  return m_failures;
}

int32_t VXClientExportTask::run(const char *valtoken) {
  brlog(kTag, BRLOG_INFO, "+++ Task[%s] Starting\n", getTaskID());
  (void)transitionState(TASK_STATE_PREPARING, TASK_STATE_RUNNING);
  m_token = valtoken ? valtoken : "";
  HBRef<IHBURI> dest;
  HBRef<IHBURL> local;
  std::string destPath;
  if (getTaskDestination(dest.out()) == 0 && hb_query<IHBURL>(dest.get(), local) == 0 &&
      local->getScheme() && !std::strcmp(local->getScheme(), "file") && local->getPath() &&
      *local->getPath())
    destPath = local->getPath();
  bool haveDest = !destPath.empty();
  if (haveDest) {
    if (destPath.back() != '/') destPath += '/';
    m_capacity = destPath.size() <= 4096 ? 4096 : uint32_t((destPath.size() + 8191) / 4096 * 4096);
    brlog(kTag, BRLOG_INFO, "    Task[%s] -- Putting Files In Directory: (%d) '%s'\n", getTaskID(),
          int(m_capacity), destPath.c_str());
    // The destination may be new: a restore into a folder that does not exist yet makes it.
    if (hbfile__mkdirs(destPath.c_str()) < 0) haveDest = false;
  }
  m_path = destPath;
  m_destLen = uint32_t(destPath.size());
  setProgressDestination(dest.get());
  for (const HBRef<IHBZVURI> &uri : driveURIs(this)) {
    if (isCanceled()) break;
    setProgressFile(uri.get());
    if (!haveDest) {
      brlog(kTag, BRLOG_WARNING, "    Task[%s] -- No Destination to Export Source '%s'\n",
            getTaskID(), uriText(uri.get()).c_str());
      recordError(uri.get(), TASK_ERROR_GENERAL);
      continue;
    }
    m_path.resize(m_destLen);
    std::memset(m_offsets, 0, sizeof m_offsets);
    brlog(kTag, BRLOG_INFO, "    Task[%s] -- Exporting Source '%s'\n", getTaskID(),
          uriText(uri.get()).c_str());
    const int32_t rc =
        remoteWalk(valtoken, uri.get(), exportEntry, VXRWALK_PRE, this, VXEXPORT_MAX_DEPTH);
    m_currentFileIndex.fetch_add(1, std::memory_order_relaxed);
    if (rc < 0) failed(uri.get(), rc, vxexport__errorBits(rc), nullptr);
  }
  setProgressFile(nullptr);
  m_claimed.clear();
  setProgressDestination(nullptr);
  m_path.clear();
  m_path.shrink_to_fit();
  m_token.clear();
  if (transitionState(TASK_STATE_RUNNING, TASK_STATE_FINISHED)) {
    brlog(kTag, BRLOG_INFO, "--- Task[%s] Finished\n", getTaskID());
  } else {
    brlog(kTag, BRLOG_INFO, "--- Task[%s] Canceled\n", getTaskID());
    setTaskState(TASK_STATE_CANCELED);
  }
  return BR_OK;
}

int32_t VXClientExportTask::exportEntry(const char *path, IHBMap *record, IHBZVURI *uri,
                                        int32_t kind, const VXRemoteWalkPos *pos, void *user) {
  auto *self = static_cast<VXClientExportTask *>(user);
  const char *name = recordName(record);
  const char *size = record ? record->getString("size") : nullptr;
  brlog(kTag, BRLOG_INFO, "WALK: %-3s %2d %s %s %-40s %d %s\n",
        kind == VXRWALK_FILE     ? "F"
        : kind == VXRWALK_FOLDER ? "D"
                                 : "ERR",
        pos->depth, size ? size : "-", pos->state & VXRWALK_PRE ? "[PRE]" : "", path, pos->namePos,
        name);
  if (self->isCanceled()) return VXRWALK_STOP;
  // Hidden entries are passed over first: what is not restored cannot fail.
  if (pos->depth > 0 && name[0] == '.') return VXRWALK_SKIP;
  if (kind == VXRWALK_NOT_VISITED) {
    self->failed(uri, pos->error,
                 pos->error == BR_ERANGE ? TASK_ERROR_SKIPPED : vxexport__errorBits(pos->error),
                 path);
    return VXRWALK_CONTINUE;
  }
  // The name as the walk shows it: the top of the drive goes under the drive's name.
  if (kind == VXRWALK_FOLDER) return self->exportFolder(path + pos->namePos, uri, pos, path);
  return self->exportOne(record, uri, pos, path);
}

int32_t VXClientExportTask::exportFolder(const char *shownName, IHBZVURI *uri,
                                         const VXRemoteWalkPos *pos, const char *drivePath) {
  const int32_t d = pos->depth;
  if (d < 0 || d + 1 >= VXEXPORT_DEPTHS) return VXRWALK_SKIP;  // the walk never goes this deep
  const uint32_t at = d == 0 ? m_destLen : m_offsets[d];
  // A folder whose parent was not made has no place (the walk does not get here then).
  if (at == 0 || at > m_path.size()) return VXRWALK_SKIP;
  if (!(pos->state & VXRWALK_PRE)) {
    m_path.resize(at);
    m_offsets[d + 1] = 0;
    return VXRWALK_CONTINUE;
  }
  m_path.resize(at);
  const std::string name = vxexport__safeName(shownName);
  if (m_path.size() + name.size() + 1 > m_capacity) m_capacity += 4096;
  m_path += name;
  brlog(kTag, BRLOG_INFO, "    Task[%s] -- Creating Directory '%s'\n", getTaskID(), m_path.c_str());
  if (::mkdir(m_path.c_str(), 0755) != 0) {
    struct stat st;
    // An existing folder is fine; a link or a file under that name is not followed or replaced.
    if (errno != EEXIST || ::lstat(m_path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      const int32_t rc = errno == EEXIST ? BR_EEXISTS : brerror__fromErrno(errno);
      brlog(kTag, BRLOG_ERROR, "Failed to create dir: %d '%s'\n", rc, m_path.c_str());
      failed(uri, rc, TASK_ERROR_GENERAL, drivePath);
      m_path.resize(at);
      return VXRWALK_SKIP;
    }
  }
  m_path += '/';
  m_offsets[d + 1] = uint32_t(m_path.size());
  return VXRWALK_CONTINUE;
}

int32_t VXClientExportTask::exportOne(IHBMap *record, IHBZVURI *uri, const VXRemoteWalkPos *pos,
                                      const char *drivePath) {
  const int64_t size = recordSize(record);
  if (!wantFile(1, record->getString("fileid"), nullptr, 0, size)) return VXRWALK_CONTINUE;
  const int32_t d = pos->depth;
  const std::string folder =
      m_path.substr(0, d == 0 || d >= VXEXPORT_DEPTHS ? m_destLen : m_offsets[d]);
  {
    BRLock g(taskLock());
    m_fileSize.store(size > 0 ? size : 0, std::memory_order_relaxed);
    m_fileReceived.store(0, std::memory_order_relaxed);
  }
  setProgressFile(uri);
  brlog(kTag, BRLOG_INFO, "    Task[%s] -- [%d/%d] Exporting File '%s' '%s'\n", getTaskID(),
        getCurrentFileIndex() + 1, getTotalFiles(), folder.c_str(), recordName(record));
  const int32_t rc = exportFile(folder, uri, record);
  m_currentFileIndex.fetch_add(1, std::memory_order_relaxed);
  m_filesHandled.fetch_add(1, std::memory_order_relaxed);
  // An existing file counts as restored; a cancel is no failure.
  if (rc >= 0 || rc == BR_EEXISTS) {
    m_filesDone.fetch_add(1, std::memory_order_relaxed);
  } else if (rc != BR_ECANCELED) {
    m_filesFailed.fetch_add(1, std::memory_order_relaxed);
    failed(uri, rc, vxexport__errorBits(rc), drivePath);
  }
  if (size > 0) m_bytesDone.fetch_add(size, std::memory_order_relaxed);
  {
    BRLock g(taskLock());
    m_fileSize.store(0, std::memory_order_relaxed);
    m_fileReceived.store(0, std::memory_order_relaxed);
  }
  setProgressFile(nullptr);
  return VXRWALK_CONTINUE;
}

int32_t VXClientExportTask::exportFile(const std::string &folder, IHBZVURI *uri, IHBMap *record) {
  if (isCanceled()) return BR_ECANCELED;
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0) {
    brlog(kTag, BRLOG_ERROR, "Failed to stat target path: '%s'\n", folder.c_str());
    return BR_EINVAL;
  }
  if (!S_ISDIR(st.st_mode)) {
    brlog(kTag, BRLOG_ERROR, "Invalid target path: '%s'\n", folder.c_str());
    return BR_EINVAL;
  }
  HBRef<HBRPCGeneric> rpc;
  HBRef<HBMap> fetched;
  if (!record) {
    int32_t rc = vxremotewalk__newCall(uri->getDeviceID(), uri->getServiceID(), rpc.out());
    if (rc == 0)
      rc = hbsvc__getFile(rpc.get(), m_token.c_str(), uri->getDeviceID(), uri->getServiceID(),
                          uri->getFileID());
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "Failed to get file via RPC: '%s'\n", uriText(uri).c_str());
      return vxremotewalk__rpcFailure(kTag, rpc.get(), rc);
    }
    fetched = HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
    record = fetched.get();
  }
  const char *type = record ? record->getString("type") : nullptr;
  if (!type) {
    brlog(kTag, BRLOG_ERROR, "Missing file type: '%s'\n", uriText(uri).c_str());
    return BR_OK;
  }
  if (std::strcmp(type, "0") != 0) {
    brlog(kTag, BRLOG_ERROR, "We only support files: '%s'\n", uriText(uri).c_str());
    return BR_OK;
  }
  return fetch(folder, uri, record);
}

int32_t VXClientExportTask::fetch(const std::string &folder, IHBZVURI *uri, IHBMap *record) {
  if (isCanceled()) return BR_ECANCELED;
  const char *fileId = record->getString("fileid");
  const int64_t size = recordSize(record);
  if (!zvvfsservice__isPlainID(fileId)) return BR_EINVAL;
  if (size > 0) {
    HBDiskFree df;
    if (hbfile__diskFree(folder.c_str(), &df) == 0) {
      const int64_t free = df.userFree * df.unit;
      if (free < size) {
        brlog(kTag, BRLOG_ERROR, "Insufficient space at destination: '%s' (%lld < %lld)\n",
              folder.c_str(), (long long)free, (long long)size);
        return BR_ENOSPC;
      }
    }
  }
  // Two entries of one folder may come to one local name (the drive keeps names this file
  // system cannot, and entries of one name): the later ones get "NAME (2).EXT" and so on. The
  // same order on the next restore gives each the same name again.
  const std::string safe = vxexport__safeName(recordName(record));
  std::string target = folder + safe;
  for (int n = 2; !m_claimed.insert(target).second; ++n)
    target = folder + vxexport__numberedName(safe, n);
  struct stat st;
  bool replace = false;
  if (::lstat(target.c_str(), &st) == 0) {
    // A copy of another size than the drive's that an earlier restore made (it is empty, or it
    // has the drive's time, which only a restore gives it) was cut short by a power loss: it is
    // fetched again. Any other file there is the user's and stays; links and folders too.
    const char *mtime = record->getString("mtime");
    const int64_t driveMs = mtime ? std::strtoll(mtime, nullptr, 10) : 0;
    const bool restored = st.st_size == 0 ||
                          (driveMs > 0 && int64_t(st.st_mtim.tv_sec) == driveMs / 1000 &&
                           int64_t(st.st_mtim.tv_nsec / 1000000) == driveMs % 1000);
    replace = S_ISREG(st.st_mode) && size >= 0 && st.st_size != size && restored;
    if (!replace) {
      brlog(kTag, BRLOG_ERROR, "Failed to write '%s': %d\n", target.c_str(), BR_EEXISTS);
      return BR_EEXISTS;
    }
    brlog(kTag, BRLOG_WARNING, "'%s' has %lld bytes where the drive has %lld: fetched again\n",
          target.c_str(), (long long)st.st_size, (long long)size);
  }
  PartialFile part;
  int32_t rc = part.create(folder);
  if (rc < 0) {
    brlog(kTag, BRLOG_ERROR, "Failed to write '%s': %d\n", target.c_str(), rc);
    return rc;
  }
  const char *device = uri->getDeviceID();
  const char *service = uri->getServiceID();
  HBRef<IHBURL> endpoint;
  if (vxsvccache__getServiceURL(device, service, endpoint.out()) < 0 &&
      (rc = hbsvc__getServiceURL(endpoint.out())) < 0)
    return rc;
  const bool cookie = !oldFirmwareNoCookie(device, service, endpoint.get());
  const char *epPath = endpoint->getPath() ? endpoint->getPath() : "";
  const char *api = std::strstr(epPath, "/api");
  std::string base = api ? std::string(epPath, size_t(api - epPath)) : std::string(epPath);
  while (!base.empty() && base.back() == '/') base.pop_back();
  base += "/files";
  std::string path = base, shown = base;
  if (!cookie) {
    path += "/" + m_token;
    shown += "/(token)";  // the log keeps no token
  }
  const std::string tail = std::string("/") + device + "/" + service + "/" + fileId;
  path += tail;
  shown += tail;
  brlog(kTag, BRLOG_INFO, "Getting Stream from %s://%s:%u%s\n", endpoint->getScheme(),
        endpoint->getHost(), unsigned(endpoint->getPort()), shown.c_str());

  BRHTTPConnection *conn = nullptr;
  BRHTTPRequest *req = nullptr;
  rc = hburl__connect(endpoint.get(), &conn);
  if (rc == 0) rc = BRHTTPConnection__newRequest(conn, "GET", path.c_str(), &req);
  const std::string cookieText = "valtoken=" + m_token;
  if (rc == 0 && cookie) rc = BRHTTPRequest__addRequestHeader(req, "Cookie", cookieText.c_str());
  char reason[128] = "";
  if (rc == 0) rc = BRHTTPRequest__receiveResponseHeader(req, reason, sizeof reason);
  int64_t received = 0;
  int64_t expected = size;
  if (rc >= 0) {
    const int32_t status = rc;
    const bool ok = status >= 200 && status <= 299;
    brlog("IMPORT", ok ? BRLOG_INFO : BRLOG_WARNING, "   -- Stream Response: %d %s\n", status,
          reason);
    rc = ok ? BR_OK : zvvfsservice__mapStatus(status);
    // What the service sends is the file as it is now, which may differ from the listing.
    if (ok && BRHTTPRequest__getContentLength(req) >= 0)
      expected = BRHTTPRequest__getContentLength(req);
  }
  std::vector<char> buf;
  if (rc == 0) buf.resize(kRecvBlock);
  while (rc == 0) {
    if (isCanceled()) {
      rc = BR_ECANCELED;
      break;
    }
    const int32_t n = BRHTTPRequest__receiveResponseBody(req, buf.data(), kRecvBlock);
    if (n == 0) break;
    if (n < 0) {
      if (n == BR_EAGAIN) continue;
      rc = n;
      break;
    }
    const int32_t w = part.write(buf.data(), size_t(n));
    if (w < 0) {
      rc = w;
      break;
    }
    received += n;
    m_fileReceived.store(received, std::memory_order_relaxed);
  }
  if (rc == 0 && expected >= 0 && received < expected) {
    brlog(kTag, BRLOG_WARNING,
          "   -- Short recv - we may have timed out or run out of space, deleting...\n");
    HBDiskFree df;
    rc = hbfile__diskFree(folder.c_str(), &df) == 0 && df.userFree * df.unit < expected - received
             ? BR_ENOSPC
             : BR_ENOCONN;
  }
  if (req) BRHTTPRequest__destroy(req);
  if (conn) (void)hburl__release(endpoint.get(), conn);
  if (rc < 0) return rc;  // the partial file goes with `part`
  const char *mtime = record->getString("mtime");
  rc = part.commit(target, mtime ? std::strtoll(mtime, nullptr, 10) : 0, replace);
  if (rc == BR_EEXISTS) brlog(kTag, BRLOG_ERROR, "Failed to write '%s': %d\n", target.c_str(), rc);
  return rc;
}
