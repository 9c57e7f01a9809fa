// Typed helpers for the service methods the program calls. Each makes one call on `rpc` (the
// caller's call object, on the default address or a drive's own API address) with the arguments
// in the service's order, all of them texts, and returns the call's result (0, -15 for a fault:
// see rpc->isFault() and rpc->getErrorCode(), or a local failure). The answer stays in `rpc`
// until its next call. Helpers that expect lists set their own list-type table for the call
// and clear it afterwards.
//
// Fault codes the callers act on.
#pragma once

#include <cstdint>

#include "brerror.h"

class HBRPCGeneric;

enum : int32_t {
  HBSVC_ERR_NOT_AUTHORIZED = 606,
  HBSVC_ERR_OFFLINE = 802,
  HBSVC_ERR_NO_SUCH_FILE = 804,
  HBSVC_ERR_EXISTS = 808,
};

// Answer: map "user".
HB_NODISCARD int32_t hbsvc__getUser(HBRPCGeneric *rpc, const char *valtoken);
// Answer: text "gourl".
HB_NODISCARD int32_t hbsvc__generateGoURL(HBRPCGeneric *rpc, const char *valtoken,
                                          const char *path);
// Answer: iterator "services" of maps (type, apiurl, name, version, space, serviceid, deviceid),
// a list even for one drive.
HB_NODISCARD int32_t hbsvc__listServices(HBRPCGeneric *rpc, const char *valtoken);
// Answer: iterator "albums" of maps with a map "root".
HB_NODISCARD int32_t hbsvc__listAlbums(HBRPCGeneric *rpc, const char *valtoken);
// Answer: map "service".
HB_NODISCARD int32_t hbsvc__getService(HBRPCGeneric *rpc, const char *valtoken,
                                       const char *deviceid, const char *serviceid);
// Answer: text "valtoken".
HB_NODISCARD int32_t hbsvc__getOwnerAuth(HBRPCGeneric *rpc);
// A folder: parentid, filename, type "1", ctime. Answer: map "file" with "fileid".
HB_NODISCARD int32_t hbsvc__createFolder(HBRPCGeneric *rpc, const char *valtoken,
                                         const char *deviceid, const char *serviceid,
                                         const char *parentid, const char *filename,
                                         const char *ctime);
// A file: parentid (null: left out, the service places the file), filename, then `fields` as
// name, value pairs ended by a null name (origin, type, size, ctime, mtime, ...). Answer: map
// "file" with "fileid".
HB_NODISCARD int32_t hbsvc__createFile(HBRPCGeneric *rpc, const char *valtoken,
                                       const char *deviceid, const char *serviceid,
                                       const char *parentid, const char *filename,
                                       const char *const *fields);
// By identifier. Answer: map "file" (fileid, type, name, size, mtime).
HB_NODISCARD int32_t hbsvc__getFile(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                                    const char *serviceid, const char *fileid);
// By parent and name; `type` (may be null) narrows to folders ("1") or files ("0").
HB_NODISCARD int32_t hbsvc__getFileByName(HBRPCGeneric *rpc, const char *valtoken,
                                          const char *deviceid, const char *serviceid,
                                          const char *parentid, const char *filename,
                                          const char *type);
HB_NODISCARD int32_t hbsvc__removeFile(HBRPCGeneric *rpc, const char *valtoken,
                                       const char *deviceid, const char *serviceid,
                                       const char *fileid);
// Renames and moves a file or folder: into `parentid` (null: where it is) under `filename`
// (null: its own name). Nothing is replaced: a taken name is fault 808. Answer: map "file".
HB_NODISCARD int32_t hbsvc__moveFile(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                                     const char *serviceid, const char *fileid,
                                     const char *parentid, const char *filename);
// One page of 500. Answer: iterator "files" of maps and text "count".
HB_NODISCARD int32_t hbsvc__listFiles(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                                      const char *serviceid, const char *parentid,
                                      const char *pageoffset);
