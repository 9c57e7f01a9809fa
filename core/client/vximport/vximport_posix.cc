// The import's view of a file's identity and change times (stat with nanoseconds).
#include <sys/stat.h>

#include <cerrno>

#include "vximport.h"

int32_t vximport__fileSignature(const char *path, VXImportFileSignature *out) {
  if (!path || !out) return BR_EINVAL;
  struct stat st;
  if (::stat(path, &st) != 0) return brerror__fromErrno(errno);
  out->size = static_cast<int64_t>(st.st_size);
  out->modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  out->changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  out->device = static_cast<uint64_t>(st.st_dev);
  out->inode = static_cast<uint64_t>(st.st_ino);
  return BR_OK;
}
