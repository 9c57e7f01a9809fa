#include "brerror.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "brlog.h"

const char *brerror__name(int32_t code) {
  if (code >= 0) return "No Error";
  switch (code) {
#define BRERROR_CASE(sym, value, name) \
  case value:                          \
    return name;
    BRERROR_TABLE(BRERROR_CASE)
#undef BRERROR_CASE
    default:
      return "Unknown Error";
  }
}

int32_t brerror__fromWin32(uint32_t error) {
  switch (error) {
    case 2:    // file not found
    case 3:    // path not found
    case 15:   // invalid drive
      return BR_ENOENT;
    case 5:    // access denied
      return BR_ENOTAUTH;
    case 109:  // broken pipe
      return BR_ENOCONN;
    case 232:  // the pipe is being closed
      return BR_ECONNRESET;
    case 996:  // overlapped I/O incomplete
      return BR_EAGAIN;
    default:
      return BR_EUNSPEC;
  }
}

int32_t brerror__fromErrno(int err) {
  switch (err) {
    case 0:
      return BR_OK;
    case ENOENT:
    case ENOTDIR:
      return BR_ENOENT;
    case EACCES:
    case EPERM:
      return BR_ENOTAUTH;
    case EAGAIN:
      return BR_EAGAIN;
    case EINTR:
      return BR_EINTR;
    case EINVAL:
      return BR_EINVAL;
    case ENOMEM:
      return BR_ENOMEM;
    case ENOSPC:
    case EDQUOT:
      return BR_ENOSPC;
    case EEXIST:
      return BR_EEXISTS;
    case ENOTEMPTY:
      return BR_ENOTEMPTY;
    case EROFS:
      return BR_EROFS;
    case ETIMEDOUT:
      return BR_ETIMEDOUT;
    case ECONNRESET:
    case EPIPE:
      return BR_ECONNRESET;
    case ECONNABORTED:
      return BR_ECONNABORTED;
    case ECONNREFUSED:
    case ENOTCONN:
    case ENETUNREACH:
    case EHOSTUNREACH:
      return BR_ENOCONN;
    case EINPROGRESS:
      return BR_EINPROGRESS;
    case EIO:
      return BR_EIO;
    default:
      return BR_EUNSPEC;
  }
}

void brabort(const char *location, int line) {
  brlog("BRABRT", BRLOG_ERROR, "%s:%d   .ABORTING.\n", location, line);
  brlog("BRABRT", BRLOG_ERROR, "%s:%d  ..ABORTING..\n", location, line);
  brlog("BRABRT", BRLOG_ERROR, "%s:%d ...ABORTING...\n", location, line);
  // The log may have no output yet; the reason must not be lost.
  std::fprintf(stderr, "BRABRT %s:%d ...ABORTING...\n", location, line);
  std::abort();
}
