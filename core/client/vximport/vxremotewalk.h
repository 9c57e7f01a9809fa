// The remote tree walk: a file or folder of a drive on the service and everything below it,
// visited through "getFile" and "listFiles" (pages of 500, "pageoffset" the page number), in
// the same manner as the local folder walk of imports (hbfile__walk).
//
// The callback gets the entry's path (names joined by "/", the top of the drive under the
// drive's display name; cut at 4096 bytes; for showing, not for opening: names may hold "/"),
// its listing record (the service's "file" map: "name" or "filename", "fileid", "type", "size"),
// its drive URI, its kind and its position. It answers VXRWALK_CONTINUE, _STOP, _SKIP (a folder
// seen before its contents: do not list it) or _SKIP_REST (stop listing the folder the entry is
// in; its parent goes on).
//
// Bounds against services that answer without end: a folder is not entered deeper than
// `maxDepth`, nor when it is one of its own ancestors; a listing stops after ZVVFS_MAX_PAGES
// pages, at a page without entries and at a page that repeats the one before. Entries with an
// identifier that is not plain (zvvfsservice__isPlainID) are not visited. Each of these, and a
// folder whose listing fails, is reported once as VXRWALK_NOT_VISITED with the reason in
// `error`; the walk of the parent goes on.
//
// Runs on the caller's thread; the callback is called synchronously. Log tags "RPCFTW" and,
// for listing pages, "FTW".
#pragma once

#include <cstdint>

#include "brerror.h"
#include "hbmap.h"
#include "hbzvuri.h"

// Kinds.
enum : int32_t {
  VXRWALK_FILE = 0,
  VXRWALK_FOLDER = 1,
  VXRWALK_NOT_VISITED = 2,  // an entry or a folder's contents that the walk could not visit
};
// Callback results.
enum : int32_t {
  VXRWALK_CONTINUE = 0,
  VXRWALK_STOP = 1,
  VXRWALK_SKIP = 2,
  VXRWALK_SKIP_REST = 3,
};
// Flags; also the position's state during a folder's first visit ("[PRE]").
enum : int32_t { VXRWALK_PRE = 0x1000 };

#define VXRWALK_PATH_MAX 4096
#define VXRWALK_PAGE 500

struct VXRemoteWalkPos {
  int32_t namePos;  // where the entry's name starts in the path
  int32_t depth;    // the start entry is at 0
  int32_t state;    // VXRWALK_PRE during a folder's first visit, else 0
  int32_t error;    // VXRWALK_NOT_VISITED: why (a result code; -N for service fault N)
};

// `record` and `uri` are borrowed for the call (a not-visited entry without a usable record
// gets its folder's).
typedef int32_t (*VXRemoteWalkFn)(const char *path, IHBMap *record, IHBZVURI *uri, int32_t kind,
                                  const VXRemoteWalkPos *pos, void *user);

// Walks from `start` (its third field the file identifier; none: the top of the drive, "0"),
// with calls to the drive's API address from the service cache, else the default service
// address. `maxDepth` -1: no limit. Returns 0 (whatever the visits answered), or the failure of
// the first "getFile" (after the RPC failure report: -N for a service fault N; -15 for an answer
// without a type or a usable identifier, when nothing can be visited).
HB_NODISCARD int32_t remoteWalk(const char *valtoken, IHBZVURI *start, VXRemoteWalkFn callback,
                                int32_t flags, void *user, int32_t maxDepth = -1);

// The RPC failure report of the tasks: a fault with code N > 0 logs "   RPC Error Code: %d
// '%s'" and gives -N; anything else logs "   RPC Local Error: %d '%s'" and gives `rc`.
class HBRPCGeneric;
int32_t vxremotewalk__rpcFailure(const char *tag, HBRPCGeneric *rpc, int32_t rc);

// A call object on the API address of the drive (service cache), else the default address.
// One reference for the caller.
HB_NODISCARD int32_t vxremotewalk__newCall(const char *deviceId, const char *serviceId,
                                           HBRPCGeneric **out);
