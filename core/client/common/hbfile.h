// File helpers: opening, folders, deletion, attributes, status, free space, media types and the
// folder tree walk used by imports. Paths are UTF-8; both "/" and "\" separate components where
// a helper says so. The helpers keep no state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hbstream.h"

// hbstream__openFile for reading; on failure logs "  -- Failed to open file '%s' @ '%s'\n" with
// `what` and the path. Hands one reference to *out.
HB_NODISCARD int32_t hbfile__openRead(IHBStream **out, const char *path, const char *what);

// The media type of the text after the last "." of `path` ("application/octet-stream" when
// there is none or it is unknown). A constant text.
const char *hbfile__mimeType(const char *path);

// Creates every missing folder along `path` ("/" and "\" separate). An existing folder is
// fine. Returns 0 or -1.
HB_NODISCARD int32_t hbfile__mkdirs(const char *path);

// Deletes the file `path` ("\" taken as "/"), or, when the path holds a "*", every entry of the
// folder whose name matches its last component ("*" and "?" wildcards): files and whole folders,
// links removed without being followed. Nothing matching is fine. Returns 0 or -1.
HB_NODISCARD int32_t hbfile__unlink(const char *path);

// 0x10000000 when the last component of `path` begins with ".", 0 otherwise, or a negative
// code when the path does not exist (-3) or cannot be reached (-17).
HB_NODISCARD int32_t hbfile__isHidden(const char *path);
enum : int32_t { HBFILE_HIDDEN = 0x10000000 };

// Moves a file (across file systems too, by copying). Returns 0, or a negative code when the
// file could not be moved (it then stays where it was).
int32_t hbfile__rename(const char *from, const char *to);

// The absolute form of `path` into `out` of `outSize` bytes, terminated: relative paths are
// taken from the current folder and "." and ".." folded; links are left as they are. 0, or -6
// when it cannot be formed or does not fit.
HB_NODISCARD int32_t hbfile__fullPath(const char *path, char *out, size_t outSize = 4096);

// File status record.
struct HBFileStat {
  int32_t isDir;        // 1 for a folder
  int64_t size;         // bytes
  int64_t blocks;       // blocks of 4096 bytes, rounded up
  int32_t blockSize;    // 4096
  int64_t createTime;   // seconds since 1970
  int64_t writeTime;    // seconds since 1970
  int64_t writeTimeMs;  // the same in milliseconds (as fine as the file system keeps it)
};

// Fills *out for `path` (symbolic links followed; a trailing separator queries the folder).
// Returns 0, or -3 (missing), -17 (refused), another code for other failures.
HB_NODISCARD int32_t hbfile__stat(const char *path, HBFileStat *out);
// The same record as found in a listing of the path's folder; falls back to the attributes
// alone (folder flag only) when the listing fails. Returns 0 or a negative code.
HB_NODISCARD int32_t hbfile__statFind(const char *path, HBFileStat *out);

// Free space record, in units of `unit` (1024) bytes.
struct HBDiskFree {
  int32_t unit;
  int64_t total;
  int64_t totalFree;
  int64_t userFree;
  int64_t zero[3];
};
// Fills *out for the file system holding `path`. 0, or -8 when the query fails.
HB_NODISCARD int32_t hbfile__diskFree(const char *path, HBDiskFree *out);

// The volume of `path`: the mount point it lies under into `root`, and the file system's label
// (from /dev/disk/by-label, "" when it has none) into `label`; both terminated and cut to their
// sizes (either may be null). 0, or -3 when the path does not exist.
HB_NODISCARD int32_t hbfile__volume(const char *path, char *root, size_t rootSize, char *label,
                                    size_t labelSize);

// ---- Folder tree walk ----

enum : int32_t {
  HBWALK_FILE = 0,     // a file
  HBWALK_DIR = 1,      // a folder
  HBWALK_DIR_ERR = 2,  // a folder that cannot be listed
  HBWALK_FILE_PASSED = 3,  // with HBWALK_PASSED_FILES: a file of a folder passed over
};
// Callback results.
enum : int32_t {
  HBWALK_CONTINUE = 0,
  HBWALK_STOP = 1,       // stop the whole walk
  HBWALK_SKIP = 2,       // do not visit this folder's contents (folders reported before them)
  HBWALK_SKIP_REST = 3,  // stop listing the folder this entry is in; go on with its parent
};
// Walk flags.
enum : int32_t {
  HBWALK_DEPTH_FIRST = 0x8,  // report a folder after its contents
  HBWALK_PRE_TOO = 0x1000,   // with 0x8: report it before its contents as well
  // Report the files of the folders passed over (no picture or video in or below them) as
  // HBWALK_FILE_PASSED, so that a caller can say what it left out. Entries whose names begin
  // with "." are not reported there, and no folder of such a tree is reported.
  HBWALK_PASSED_FILES = 0x2000,
};

struct HBFileWalk;
// Called for each path with its status record, its type and the walk state (whose `user` is the
// caller's data and `depth` the path's depth, the root being 0). Returns HBWALK_* results.
typedef int32_t (*HBFileWalkFn)(const char *path, const HBFileStat *stat, int32_t type,
                                HBFileWalk *walk);

struct HBFileWalk {
  char path[4096];
  int32_t depth;
  int32_t maxDepth;  // -1: no limit
  int32_t flags;
  HBFileWalkFn callback;
  void *user;
};

// Walks the tree at `root` (a path or a "file:" URL), following symbolic links (a link back
// into its own ancestry is not entered twice). Folders with no picture or video in or below them
// are passed over without a callback (but see HBWALK_PASSED_FILES). Contents of folders at `maxDepth` are not visited. Returns 0
// when the walk ran to its end, 1 when the callback stopped it, or a negative code when the root
// cannot be reached.
HB_NODISCARD int32_t hbfile__walk(const char *root, HBFileWalkFn callback, int32_t maxDepth,
                                  int32_t flags, void *user);
