// VXClientExportTask: copies files and folders of a drive on the service into a local folder.
//
// The source reference lists drive URIs (files or folders); the destination is a local "file"
// URL. Prepare counts the files with the remote tree walk; run walks again, recreates the
// folders under the destination (names made safe for the local file system) and downloads every
// file with GET from the drive's file address. It runs once, on the queue thread. Export tasks
// are made by the task queue's newExportTask.
//
// What a restore can rely on:
//   - a file already present at the target is never touched, and counts as done;
//   - a file is received under a temporary name (".yto_…") in its folder and takes its own name
//     only when complete, so a cut download, a full disk or a crash never leaves a partial file
//     under the photo's name;
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

#include "vxclienttask.h"

struct IHBZVURI;
class HBRPCGeneric;

// Path offsets kept: the deepest folder entered is at depth 62.
#define VXEXPORT_DEPTHS 64
#define VXEXPORT_MAX_DEPTH (VXEXPORT_DEPTHS - 1)

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
  int32_t exportFolder(const char *shownName, IHBZVURI *uri, const VXRemoteWalkPos *pos);
  int32_t exportOne(IHBMap *record, IHBZVURI *uri, const VXRemoteWalkPos *pos);
  // The download of one file into the folder `folder` (its path, ending in "/").
  int32_t exportFile(const std::string &folder, IHBZVURI *uri, IHBMap *record);
  int32_t fetch(const std::string &folder, IHBZVURI *uri, IHBMap *record);
  void failed(IHBZVURI *uri, int32_t rc, uint32_t bits);

  std::atomic<int32_t> m_filesHandled{0};
  std::atomic<int64_t> m_fileSize{0};
  std::atomic<int64_t> m_fileReceived{0};
  // The destination path buffer: the destination, then the names of the folders being walked.
  std::string m_path;
  uint32_t m_destLen = 0;
  uint32_t m_capacity = 0;
  std::string m_token;
  uint32_t m_offsets[VXEXPORT_DEPTHS] = {};
};

// `name` as the name of a local file: each of " * / : < > ? \ | and every control character
// becomes "_", as do an empty name, "." and ".."; cut to 255 bytes without splitting a
// character.
std::string vxexport__safeName(const char *name);

// The error bits of a failed download or listing (see above).
uint32_t vxexport__errorBits(int32_t rc);
