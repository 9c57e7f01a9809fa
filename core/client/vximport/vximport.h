// The single-file import: one local file onto the user's drive.
//
// vximport__perform classifies the file by its media type, reads its metadata (EXIF, ID3, MP4),
// creates the file entry with "createFile", and uploads its content with HTTP PUT: for pictures
// the re-encoded preview ("pv") and the 160 x 160 thumbnail ("tn") before the original, for
// videos a thumbnail and a transcoded copy ("st"), for music an embedded cover. Renditions go
// through temporary files (mode 0600) that are deleted on every path. A file whose content
// could not be sent whole is removed again with "removeFile", so nothing half-sent stays on the
// drive as if it were whole.
//
// It runs on the caller's thread (the task queue's) and blocks on the network. Progress and
// cancel go through the context. Log tag "IMPORT".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "brerror.h"

struct IHBMap;
struct IHBStream;
struct IHBURL;
struct VXImportFileSignature;
class VXImportPrefetch;
class IVXUploadRecords;

// Set by vximport__perform on its own copy of the flags when the drive runs older firmware.
#define IMPORT_FLAG_OLD_FIRMWARE 0x10000u

// Stream names of renditions, appended to the upload address.
#define VXIMPORT_STREAM_PREVIEW "pv"
#define VXIMPORT_STREAM_THUMBNAIL "tn"
#define VXIMPORT_STREAM_TRANSCODE "st"

// The most arguments a "createFile" call carries.
#define VXIMPORT_MAX_ARGUMENTS 64

// A file goes up only once it has been left alone this long (milliseconds since its last
// modification): one modified more recently is looked at again after the rest of that time, and
// waits for a later run (-2) if it changed meanwhile.
#define VXIMPORT_SETTLE_MS 1500
// A picture or video that cannot be read while it was modified within this time is taken for
// one still being written (a copy that paused): it waits for a later run (-2) instead of going
// up as it is.
#define VXIMPORT_RECENT_MS 30000
// The numbered copies "NAME (2).EXT" ... "NAME (N).EXT" the existing-file check looks at.
#define VXIMPORT_MAX_COPIES 32

// What the caller gives one import. Texts are borrowed for the call.
struct VXImportContext {
  const char *valtoken = nullptr;
  const char *deviceId = nullptr;
  const char *serviceId = nullptr;
  // The destination folder's identifier; null or empty lets the service place the file.
  const char *parentId = nullptr;
  // Where to upload instead of the drive's own address (null: the drive's).
  IHBURL *uploadURL = nullptr;
  // Polled before each upload and during every block: true stops the import (-18).
  std::function<bool()> canceled;
  // Task flags (TASK_FLAG_*); IMPORT_FLAG_OLD_FIRMWARE is added on a copy, never here.
  uint32_t flags = 0;
  // Where the running byte count of the current upload and the current step
  // (TASK_PROGRESS_*) are reported; either may be null.
  std::atomic<int64_t> *bytesSent = nullptr;
  std::atomic<int32_t> *step = nullptr;
  // Renditions made ahead by the caller (may be null).
  VXImportPrefetch *prefetch = nullptr;
  // Where an upload in pieces of a file's own content records how far it got, so that a later
  // run continues it (null: a cut upload that failed starts over next time).
  IVXUploadRecords *records = nullptr;
  // Set by vximport__perform for its uploads: the source file as it was when the import began,
  // to tell a file that changed or vanished from a connection that failed.
  const VXImportFileSignature *signature = nullptr;
  // Set by vximport__perform: the opened source file (only its upload is continued across runs).
  IHBStream *sourceFile = nullptr;
};

// Imports the file `path` (UTF-8, or a "file://" URL). 0 when it went up whole, -23 (Exists)
// when flag 0x80 found an identical file already there (under its name or a numbered copy of
// it), or a negative code:
//   -2 (Try Again) the file is still being written: it changed within the settle time, or it is
//      a picture or video that cannot be read and was modified recently; nothing of it stays on
//      the drive, and a later run should take it,
//   -20 the file cannot be opened (or vanished during its upload),
//   -9 the file changed while it was being sent (what was sent is removed again),
//   -3 the service answered "createFile" without a usable file identifier (empty, "0"),
//   -6 a folder, -12 not enough space on the drive, -18 canceled,
//   -N a service fault N (606 not authorized, 802 drive offline ...),
//   -8, -10, -11 and others from the network,
// and without flag 0x01 the failure to read the picture when it could not be decoded.
// A kind excluded by the kind bits 0x70 gives 0 without any upload.
HB_NODISCARD int32_t vximport__perform(const VXImportContext *context, const char *path);

// Uploads `data` (borrowed, from its position to its end; an unknown size goes chunked) as the
// stream `streamName` (null: the main content) of the file `fileId`. `path` is the source file
// probed when fewer bytes than its length could be sent. 0, or -18 canceled, -12 no space, -15
// a refused upload, -20 the source vanished, -11 or -8 for a short send, or a network code.
HB_NODISCARD int32_t vximport__sendStream(const VXImportContext *context, const char *path,
                                          const char *fileId, const char *streamName,
                                          IHBStream *data);

// ---- Pieces the import tasks share ----

// Whether the drive holds the main content of `fileId`, `length` bytes of it (any length when
// `length` is negative): 1 yes, 0 no (none stored, or another length), or a negative code when
// the service could not be asked.
HB_NODISCARD int32_t vximport__hasContent(const VXImportContext *context, const char *fileId,
                                          int64_t length);

// The file's name made safe for the drive: bytes that are not UTF-8 become their Latin-1
// characters (so a name written by an older system reads as it meant, the same every run),
// control characters and each of " * / : < > ? \ | become "_", and a name longer than 255 bytes
// is cut before its extension at a character's start.
std::string vximport__safeName(const char *name);

// "NAME (k).EXT" for k of 2 and above, as the service numbers a file whose name is taken (a
// name without an extension, or with only a leading dot, gets " (k)" at its end); the name
// itself for k below 2.
std::string vximport__numberedName(const std::string &name, int k);

// Whether a file identifier from a service answer can name a file: not empty, not the root
// ("0"), no path separators, dot names or control characters.
bool vximport__validFileId(const char *id);

// Whether the file is a companion of a picture beside it: a sidecar (.xmp, .aae, .thm) or the
// video of a live photo (a video with a picture of the same name). Companions go up as plain
// files, the original alone, and belong to the pictures' kind.
bool vximport__isCompanion(const char *path, const char *mimeType);

// The file key of a walk path: the SHA-1 of its UTF-8 bytes in standard base64 without "="
// padding (27 characters).
std::string vximport__fileKey(const char *path);

// Reads a firmware version "A.B.C.D" into four numbers; false (all zero) when it does not parse.
bool vximport__parseVersion(const char *text, uint32_t out[4]);
// The renditions (HBIMG_RENDITION_*) a picture gets with these flags (IMPORT_FLAG_OLD_FIRMWARE
// included): "pv" and "tn"; on older firmware "pv" alone, and none when originals are kept.
uint32_t vximport__renditionsFor(uint32_t flags);

// Whether a drive reporting `version` runs older firmware (below 3.2; a version that does not
// parse counts as 0.0.0.0). Logs what it found unless `quiet`.
bool vximport__olderFirmware(const char *version, bool quiet = false);

// What the import knows of one file before "createFile".
struct VXImportFileInfo {
  const char *safeName = nullptr;
  const char *mimeType = nullptr;
  int64_t size = 0;
  int64_t createdMs = 0;
  int64_t modifiedMs = 0;
  // Goes up as a plain file (a companion): its size is declared and it gets no stream type.
  bool plain = false;
};

// The argument list of "createFile" as name, value pairs in the service's order: valtoken,
// deviceid, serviceid, parentid (when `parentId` is not null), filename, origin, type, size
// (vximport__declaresSize), ctime, mtime, mimetype, streamtype, then the text entries of `metadata` (may be null) while
// fewer than 64 arguments are listed (each one beyond logs a TOO-MANY line), then "ctime" and
// "origtime" from the modification time when the metadata had none and there is room.
// Whether "createFile" declares the file's size: with originals kept, and for files that go up
// as they are (neither pictures nor videos, or companions). The existing-file check compares
// sizes only then.
bool vximport__declaresSize(uint32_t flags, const VXImportFileInfo &file);
void vximport__createArguments(const VXImportContext *context, uint32_t flags, const char *parentId,
                               const VXImportFileInfo &file, IHBMap *metadata,
                               std::vector<std::string> *out);

// The folder path on a drive with older firmware ("Photos/2013/05", "Music/ARTIST/ALBUM",
// "Videos/…", "Documents/…") for a file of `mimeType`, read from its "createFile" arguments
// (the first "EXIF-DateTimeOriginal", "origtime" or "ctime" that holds a time, else "mtime",
// else `nowMs`; "albumArtist" or "artist", and "album" for music). At most 255 bytes.
std::string vximport__oldFirmwarePath(const char *mimeType,
                                      const std::vector<std::string> &arguments, int64_t nowMs);

class HBRPCGeneric;
// The API address of the drive (device, service) from the service cache, else the default
// service address. One reference in *out; -5 when neither is known.
HB_NODISCARD int32_t vximport__serviceURL(const char *deviceId, const char *serviceId,
                                          IHBURL **out);
// The failure report of a service call that returned `rc`: a fault with a code c above 0 logs
// "   RPC Error Code: c 'description'" and gives -c; anything else logs "   RPC Local Error"
// and gives `rc`.
int32_t vximport__rpcFailure(HBRPCGeneric *rpc, int32_t rc);

// The signature of a file's content as the file system tells it (size, change times, identity),
// compared before and after an upload to notice a file that changed or vanished meanwhile.
struct VXImportFileSignature {
  int64_t size = -1;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const VXImportFileSignature &) const = default;
};
// 0 with the signature of `path` (links followed), or a negative code (-3 when it is gone).
HB_NODISCARD int32_t vximport__fileSignature(const char *path, VXImportFileSignature *out);
