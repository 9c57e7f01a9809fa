// VXClientExportTask: copies files and folders of a drive on the service into a local folder.
//
// The source reference lists drive URIs (files or folders); the destination is a local "file"
// URL. Prepare counts the files with the remote tree walk; run walks again, recreates the
// folders under the destination (names made safe for the local file system) and downloads every
// file with GET from the drive's file address. It runs once, on the queue thread. Export tasks
// are made by the task queue's newExportTask.
//
// What a restore can rely on:
//   - a file already present at the target is never touched, and counts as done, unless it is
//     an earlier restore's copy cut short (empty, or with the drive's time and another size
//     than the drive's): that one is fetched again;
//   - entries that come to one local name each get their own: "NAME (2).EXT" and so on;
//   - a file is received under a temporary name (".yto_…") in its folder and takes its own name
//     only when complete and flushed to the disk, so a cut download, a full disk, a crash or a
//     power loss never leaves a partial file under the photo's name;
//   - every file that could not be restored is counted and recorded with error bits: 0x08 drive
//     offline, 0x02 no space, 0x04 the connection failed, 0x10 not authorized, 0x01 anything
//     else; folders the walk could not list or enter get one record each (0x20 for folders not
//     entered: too deep, or listed inside themselves); a cancel records nothing;
//   - nothing is written outside the destination: names cannot leave their folder, folders
//     deeper than 63 levels are not entered, and existing symbolic links are not followed.
// Log tag "EXPORT".
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "vxclienttask.h"

struct IHBZVURI;
class HBRPCGeneric;

// Path offsets kept: the deepest folder entered is at depth 62.
#define VXEXPORT_DEPTHS 64
#define VXEXPORT_MAX_DEPTH (VXEXPORT_DEPTHS - 1)

// A file or folder a run could not restore, named by its path on the drive (the drive's name
// first), with the failure and its error bits.
struct VXExportFailure {
  std::string path;
  int32_t result = 0;
  uint32_t bits = 0;
};

class VXClientExportTask final : public VXClientTask {
 public:
  // A new export (type 2, class 0, flags 0) of `source`'s drive URIs into the local folder URL
  // `destination`; both referenced, either may be null. One reference in *out.
  HB_NODISCARD static int32_t create(VXClientExportTask **out, const char *id,
                                     VXClientTaskReference *source, IHBURI *destination);

  // Prepare, then run; the result is run's (0).
  int32_t runTask(const char *valtoken) override;
  // Refreshes the percentages ("EXPORT") first.
  HB_NODISCARD int32_t getProgress(VXClientTaskProgress **out) override;

  // Files the run has handled (restored, found present or failed).
  int32_t filesHandled() const { return m_filesHandled.load(std::memory_order_relaxed); }
  // Of those: restored or found present, and failed (a cancelled file is neither).
  int32_t filesDone() const { return m_filesDone.load(std::memory_order_relaxed); }
  int32_t filesFailed() const { return m_filesFailed.load(std::memory_order_relaxed); }
  // What the last run could not restore, in order.
  std::vector<VXExportFailure> failures();
  // Bytes done so far and counted by prepare (tests and the tool read them).
  int64_t bytesDone() const { return m_bytesDone.load(std::memory_order_relaxed); }
  int64_t totalBytes() const { return m_totalBytes.load(std::memory_order_relaxed); }
  int64_t currentFileReceived() const { return m_fileReceived.load(std::memory_order_relaxed); }

 private:
  VXClientExportTask(const char *id, VXClientTaskReference *source, IHBURI *destination);
  ~VXClientExportTask() override = default;

  int32_t prepare(const char *valtoken);
  int32_t run(const char *valtoken);
  static int32_t countEntry(const char *path, IHBMap *record, IHBZVURI *uri, int32_t kind,
                            const struct VXRemoteWalkPos *pos, void *user);
  static int32_t exportEntry(const char *path, IHBMap *record, IHBZVURI *uri, int32_t kind,
                             const struct VXRemoteWalkPos *pos, void *user);
  int32_t exportFolder(const char *shownName, IHBZVURI *uri, const VXRemoteWalkPos *pos,
                       const char *drivePath);
  int32_t exportOne(IHBMap *record, IHBZVURI *uri, const VXRemoteWalkPos *pos,
                    const char *drivePath);
  // The download of one file into the folder `folder` (its path, ending in "/").
  int32_t exportFile(const std::string &folder, IHBZVURI *uri, IHBMap *record);
  int32_t fetch(const std::string &folder, IHBZVURI *uri, IHBMap *record);
  void failed(IHBZVURI *uri, int32_t rc, uint32_t bits, const char *drivePath);

  std::atomic<int32_t> m_filesHandled{0};
  std::atomic<int32_t> m_filesDone{0};
  std::atomic<int32_t> m_filesFailed{0};
  std::vector<VXExportFailure> m_failures;  // under the task lock
  // The local paths the run has given to files so far (the queue thread only).
  std::unordered_set<std::string> m_claimed;
  std::atomic<int64_t> m_fileSize{0};
  std::atomic<int64_t> m_fileReceived{0};
  // The destination path buffer: the destination, then the names of the folders being walked.
  std::string m_path;
  uint32_t m_destLen = 0;
  uint32_t m_capacity = 0;
  std::string m_token;
  uint32_t m_offsets[VXEXPORT_DEPTHS] = {};
};

// `name` as the name of a local file: only what the file system forbids changes ("/" becomes
// "_"; an empty name, "." and ".." become "_"); cut to 255 bytes without splitting a character.
std::string vxexport__safeName(const char *name);
// "NAME (n).EXT" (n >= 2; the name itself for n < 2), within 255 bytes.
std::string vxexport__numberedName(const std::string &name, int n);

// The error bits of a failed download or listing (see above).
uint32_t vxexport__errorBits(int32_t rc);
