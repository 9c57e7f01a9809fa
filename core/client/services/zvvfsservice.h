// ZVVFSService: one drive on the service as a virtual file system (hbvfs.h).
//
// Its files are the drive's files: a file is read with "getFile", a folder's children with
// "listFiles" page by page, new files and folders come from "createFile", deletion is
// "removeFile", and content travels as GET and PUT on the drive's file address
// (".../files/DEVICE/SERVICE/FILEID[/STREAM]", with the session token as the cookie "valtoken"
// and the header "X-VXVALTOKEN"). Resources: 0 the original, 1 "tn", 2 "pv", 4 "st"; the service
// keeps no "hd" (3) and "ts" (5).
//
// Files are snapshots of the service's record when they were read; they do not change when the
// drive does. The store keeps no global state: the token, the drive, the address and the pool
// are its own. All its operations and those of its files and resources may be called from any
// number of threads at once; an iterator or a stream is used by one thread at a time.
//
// Results: 0, or a code of brerror.h. Service faults are mapped: 606 Not Authorized (-17), 804
// and 803 No Entry (-3), 808 Exists (-23), 507 No Space (-12), 810 Read-only (-27), 400 and
// 805 Invalid Argument (-6), 802 (the drive is offline) ZVVFS_EOFFLINE (-802), others Fault
// (-15). Content answers likewise: 401 -17, 403 -27, 404 -3, 503 -802, 507 -12, others -15.
// Network failures keep their own codes (-10, -11, -24, -35 ...).
//
// Identifiers from the service are used in addresses, so only plain ones are accepted: 1 to 128
// characters of letters, digits, ".", "_", "~" and "-", not "." or "..". Records with another
// identifier are refused (-6) and left out of listings. Names are kept as the service gives
// them: callers that make paths of them make them safe. Log tag "ZVVFS".
#pragma once

#include <cstdint>

#include "brerror.h"
#include "hbmap.h"
#include "hbvfs.h"

struct IHBURL;
struct IHBHTTPConnPool;

// A fault of the service meaning that the drive is offline (service error 802).
#define ZVVFS_EOFFLINE (-802)
// Entries asked for per "listFiles" page.
#define ZVVFS_PAGE 500
// A folder's listing ends after this many pages (a service that never ends its pages).
#define ZVVFS_MAX_PAGES 20000

// Opens the drive `serviceId` of `deviceId` with the session token `valtoken`. `url` is the
// address for calls (borrowed; null: the default service address); the drive's own API address
// and name are read from "getService" there. `pool` is the connection pool (referenced; null:
// the registered one). One reference in *out; -17, -3 or -802 as the service answers.
HB_NODISCARD int32_t zvvfsservice__open(IHBVFS2 **out, const char *valtoken, const char *deviceId,
                                        const char *serviceId, IHBURL *url, IHBHTTPConnPool *pool);

// True for an identifier the store accepts (see above).
bool zvvfsservice__isPlainID(const char *id);

// A file read from a record of the service (a "file" map of "getFile", "listFiles" or
// "createFile"), as the store reads them, but belonging to no store: its streams cannot be
// opened (-5). One reference in *out; -6 for a record without a plain "fileid", without a
// name, or with a "parentid" that is not plain.
HB_NODISCARD int32_t zvvfsservice__fileFromRecord(IHBMap *record, IHBVFSFile **out);

// The service's fault or status mapped as above.
int32_t zvvfsservice__mapFault(int32_t faultCode);
int32_t zvvfsservice__mapStatus(int32_t status);
