// Result codes shared by every module of the core.
//
// An operation returns a signed 32-bit result: zero or a positive count is success, a negative
// value is one of the codes below. Codes travel unchanged across layers, so a socket failure
// reaches the caller of an RPC as the same number.
#pragma once

#include <cstdint>

// X(constant, value, name). Codes without a name (-28 to -31, -33) are not listed; -29 is still
// returned by the map for a null object value and is given a constant below.
#define BRERROR_TABLE(X)                         \
  X(BR_EUNSPEC, -1, "Unspecified Error")         \
  X(BR_EAGAIN, -2, "Try Again")                  \
  X(BR_ENOENT, -3, "No Entry")                   \
  X(BR_ENOTIMPL, -4, "Not Implemented")          \
  X(BR_EBADSTATE, -5, "Bad State")               \
  X(BR_EINVAL, -6, "Invalid Argument")           \
  X(BR_ERANGE, -7, "Out Of Range")               \
  X(BR_EIO, -8, "I/O Error")                     \
  X(BR_EBUSY, -9, "Key or Service Busy")         \
  X(BR_ENOCONN, -10, "No Connection")            \
  X(BR_ETIMEDOUT, -11, "Timed Out")              \
  X(BR_ENOSPC, -12, "No Space")                  \
  X(BR_ETOOFEW, -13, "Too Few")                  \
  X(BR_ETOOMANY, -14, "Too Many")                \
  X(BR_EFAULT, -15, "Fault")                     \
  X(BR_EUNSUPPORTED, -16, "Unsupported")         \
  X(BR_ENOTAUTH, -17, "Not Authorized")          \
  X(BR_ECANCELED, -18, "Operation Canceled")     \
  X(BR_ENOMEM, -19, "Not enough memory")         \
  X(BR_ENOFILE, -20, "No Such File")             \
  X(BR_EINTR, -21, "Interrupted")                \
  X(BR_EINPROGRESS, -22, "Inprogress")           \
  X(BR_EEXISTS, -23, "Exists")                   \
  X(BR_EOF, -24, "EOF")                          \
  X(BR_EHANDLED, -25, "Already Handled")         \
  X(BR_EEXPIRED, -26, "Expired")                 \
  X(BR_EROFS, -27, "Read-only")                  \
  X(BR_ESKIPPED, -32, "Skipped")                 \
  X(BR_ENOTEMPTY, -34, "Not Empty")              \
  X(BR_ECONNRESET, -35, "Connection Reset")      \
  X(BR_ECONNABORTED, -36, "Connection Aborted")

enum : int32_t {
  BR_OK = 0,
#define BRERROR_ENUM(sym, value, name) sym = value,
  BRERROR_TABLE(BRERROR_ENUM)
#undef BRERROR_ENUM
  // A map asked to store a null object value. Unnamed: its name is "Unknown Error".
  BR_ENULLVALUE = -29,
};

// Marks functions whose result code must be read.
#define HB_NODISCARD [[nodiscard]]

// Returns a constant text: "No Error" for zero and above, the table's name for a named code,
// "Unknown Error" for anything else.
const char *brerror__name(int32_t code);

// Converts a Win32 error number (as kept by the platform layers) into a result code.
int32_t brerror__fromWin32(uint32_t error);

// Converts an errno value into a result code, for the POSIX layers that have no narrower rule.
int32_t brerror__fromErrno(int err);

// Stops the process for a programming error: three "BRABRT" lines naming `location` and `line`,
// then immediate abnormal termination. Never reached by input from the network, disk or user.
[[noreturn]] void brabort(const char *location, int line);
