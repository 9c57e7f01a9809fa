// The import task: copies the folders of its source into the user's drive.
//
// A run has two passes over the source folders: prepare counts what will go up (wantFile,
// phase 1), then the import walk visits them again and hands every wanted file to the
// single-file import (vximport.h), recreating the folder tree on the drive with flag 0x04
// (createFolder). Per-file failures are counted and recorded; only those that make further
// files pointless (drive offline, session revoked, I/O errors, a drive that is full) stop the
// walk. Everything runs on the task queue's thread. Log tag "IMPORT".
//
// Subclassing (the auto-import): pass TASK_TYPE_AUTOIMPORT to the protected constructor and
// override wantFile (which files to take: phase 1 asks, phase 2 reports one imported),
// createFolder (call VXClientImportTask::createFolder for the service step, then read
// folderSlot(depth)), and notifyTask (6 when a run starts, 7 when it ended; originalSource()
// is the source to put back with replaceSource). runTask, prepare and the walks stay as they
// are; a run ends by the task state (4 or 5: canceled, else finished), so a cancel flag set
// without a state change ends the run as finished.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "vxclienttask.h"
#include "vxuploadrecords.h"

struct IHBZVURI;
class VXImportPrefetch;
struct HBFileStat;
struct HBFileWalk;

// Settings that steer the out-of-space rule, read at construction from the default store.
#define VXIMPORT_SETTING_MAX_OUT_OF_SPACE "import.max_out_of_space_errors"
#define VXIMPORT_SETTING_MIN_RETRY_FILE_SIZE "import.min_out_of_space_file_size_to_retry"
#define VXIMPORT_SETTING_MIN_RETRY_FREE_SPACE "import.min_out_of_space_free_space_to_retry"

// The folder depths a run mirrors (slots of folder identifiers).
#define VXIMPORT_MAX_DEPTH 64
// Pictures whose renditions are made ahead while an earlier one goes up.
#define VXIMPORT_AHEAD 2

// The out-of-space limits.
struct VXImportSpaceLimits {
  int32_t maxErrors = 10;
  int64_t minFileSize = 0xa00000;
  int64_t minFreeSpace = 0xa00000;
};

// Whether the walk stops after the `count`-th No Space (count already incremented) on a file of
// `fileSize` bytes while the drive reports `freeSpace` bytes (-1 unknown).
bool vxclienttaskimport__outOfSpaceStops(const VXImportSpaceLimits &limits, int32_t count,
                                         int64_t fileSize, int64_t freeSpace);

// Reads a limit as the settings hold it: optional blanks and sign, then "0x" and up to
// `maxHex` hexadecimal digits, or up to `maxDec` decimal digits ("0" followed by a digit reads
// as 0). False when the text holds no number.
bool vxclienttaskimport__parseLimit(const char *text, int maxHex, int maxDec, int64_t *out);

class VXClientImportTask : public VXClientTask {
 public:
  // A new import task (type 1) in state 0. Applies the class rule to the kind bits and reads
  // the limits. One reference in *out.
  HB_NODISCARD static int32_t create(const char *id, int32_t cls, uint32_t flags,
                                     VXClientTaskReference *source, IHBURI *destination,
                                     VXClientImportTask **out);

  int32_t runTask(const char *valtoken) override;
  // The source given at construction (a run may swap the base's source).
  HB_NODISCARD int32_t getTaskSource(VXClientTaskReference **out) override;
  HB_NODISCARD int32_t getProgress(VXClientTaskProgress **out) override;
  // 1 for a file of a kind the task takes (takesKind), else 0, in either phase.
  int32_t wantFile(int32_t phase, const char *fileKey, const char *mimeType, int64_t modifiedMs,
                   int64_t size) override;
  // Makes (or, when the name exists, finds) the destination folder `name` below the parent for
  // `depth` and keeps its identifier in slot `depth`. 0, or the negated service error (-802,
  // -606 ...) or a local code.
  int32_t createFolder(int32_t depth, const char *folderKey, const char *name, void *reserved,
                       int64_t createdMs) override;

  const VXImportSpaceLimits &spaceLimits() const { return m_limits; }
  // Bytes of the files done in this run (with those of the current file sent so far), and of
  // all files counted by prepare.
  int64_t bytesSent() const {
    return m_bytesDone.load(std::memory_order_relaxed) + m_fileSent.load(std::memory_order_relaxed);
  }
  int64_t bytesToSend() const { return m_totalBytes.load(std::memory_order_relaxed); }
  // Files the import walk has handed to the single-file import in this run, and of those the
  // ones that went up (or were found there already).
  int32_t filesDone() const { return m_filesDone.load(std::memory_order_relaxed); }
  int32_t filesImported() const { return m_filesImported.load(std::memory_order_relaxed); }
  // Files of this run that were still being written (the single-file import's -2): neither
  // failures nor recorded; a later run takes them, so the task should run again soon.
  int32_t waitingFiles() const { return m_waitingFiles.load(std::memory_order_relaxed); }

  // Left out by the last prepare (kinds the task does not take), the problem of the last run
  // from its error bits, and what waits for it to go.
  void getOutcome(VXTaskOutcome *out) override;

  // ---- Which files a task takes ----
  // Pictures ("image/"), videos ("video/") when TASK_FLAG_BACKUP_VIDEOS is set, and the
  // companions of pictures (companionOf), within the kind bits 0x70 when any is set (a kind they
  // exclude would be recorded as imported without going up).
  static bool takesType(uint32_t flags, const char *mimeType, bool companion);
  // A sidecar of a picture (.xmp, .aae, .thm) or the short video of a live photo (a video with a
  // HEIC or JPEG picture of the same base name in its folder).
  static bool companionOf(const char *path, const char *mimeType);

 protected:
  VXClientImportTask(const char *id, int32_t type, int32_t cls, uint32_t flags,
                     VXClientTaskReference *source, IHBURI *destination);
  ~VXClientImportTask() override;

  // The two passes of a run, with the session token in use. prepare returns 0, or -32 (Skipped)
  // when nothing is to be imported; run returns 0.
  int32_t prepare(const char *valtoken);
  int32_t run(const char *valtoken);

  // Slot `depth` of the folder identifiers ("" when empty), valid until the slot changes.
  const std::string &folderSlot(int32_t depth) const;
  void setFolderSlot(int32_t depth, const char *fileId);
  // The parent folder identifier for an entry at `depth` (the destination's own identifier at
  // the top, "0" without one).
  std::string parentFor(int32_t depth) const;
  VXClientTaskReference *originalSource() const { return m_originalSource.get(); }
  // The walk path of a source URI; false for a drive URI or anything that is not a local URL.
  static bool localPath(IHBURI *uri, std::string *out);
  // The session token of the pass in progress ("" outside prepare and run).
  const std::string &tokenInUse() const { return m_token; }
  // The destination's drive view during prepare and run (null otherwise, or for a destination
  // that is not a drive).
  IHBZVURI *destView() const { return m_destView.get(); }
  // Reset when a run starts; see waitingFiles().
  std::atomic<int32_t> m_waitingFiles{0};
  // Whether the last prepare found the file of this key to be a companion of a picture.
  bool isCompanionKey(const char *fileKey) const {
    return fileKey && m_companions.count(fileKey) != 0;
  }
  // The folders (by file key) the last prepare found new or changed files in or below.
  bool folderHasWork(const char *folderKey) const {
    return folderKey && m_busyFolders.count(folderKey) != 0;
  }
  // The problem getOutcome reports: *problem and *words come set from the error bits of the
  // last run ("" when none: a full drive, a revoked sign-in, no connection); a subclass may
  // name one of its own knowledge.
  virtual void problemHint(const char **problem, const char **words) {
    (void)problem;
    (void)words;
  }

 public:
  // Where uploads in pieces record how far they got, so that the next run continues them
  // (borrowed, must outlive the runs; null: none). The auto-import keeps them in its file map.
  void setUploadRecords(IVXUploadRecords *records) { m_records = records; }

 protected:
  virtual IVXUploadRecords *uploadRecords() { return m_records; }

 private:
  IVXUploadRecords *m_records = nullptr;
  static int32_t countEntry(const char *path, const HBFileStat *stat, int32_t type,
                            HBFileWalk *walk);
  static int32_t importEntry(const char *path, const HBFileStat *stat, int32_t type,
                             HBFileWalk *walk);
  // A wanted file waits in m_pending (its renditions being made ahead) until the files before
  // it are done; folders and the end of the walk take the waiting files first.
  struct Pending {
    std::string path, key, parent;
    const char *mimeType = nullptr;  // a constant text
    int64_t size = 0, modifiedMs = 0;
    int32_t depth = 0;
  };
  int32_t queueFile(const char *path, const HBFileStat *stat, int32_t depth);
  // Prepare's bookkeeping: a file of a kind not taken, and the folders above a wanted file.
  void leaveOut(const char *path);
  void markBusy(const char *path, int32_t depth);
  int32_t importFile(const Pending &file);
  int32_t flushPending();
  int32_t importFolder(const char *path, const HBFileStat *stat, int32_t depth, bool first);
  bool takeToken(const char *valtoken);
  // The destination (into *dest) and its drive view (m_destView, left empty for anything but a
  // drive URI with device and service).
  void takeDestination(HBRef<IHBURI> *dest);
  void setCurrentFile(const char *path, int64_t size);
  // A drive source: copied store to store through the virtual file system manager
  // (vxclienttaskimport_vfs.cc). True when the failure ends the run.
  bool copyDriveSource(IHBURI *uri);
  friend class MyFileCopyTracker;

  HBRef<VXClientTaskReference> m_originalSource;
  HBRef<IHBZVURI> m_destView;  // only during prepare and run
  std::string m_folders[VXIMPORT_MAX_DEPTH];
  std::string m_token;
  std::vector<std::string> m_openFolders;  // the import walk's folders entered, by depth
  std::deque<Pending> m_pending;
  std::unique_ptr<VXImportPrefetch> m_prefetch;  // only during a run
  uint32_t m_prefetchWhich = 0;
  // The current file: what getProgress reports (written under the task lock).
  std::atomic<int64_t> m_fileSize{0};
  std::atomic<int64_t> m_fileSent{0};
  std::atomic<int32_t> m_step{TASK_PROGRESS_PARSING};
  std::atomic<int32_t> m_filesDone{0};
  std::atomic<int32_t> m_filesImported{0};
  int32_t m_outOfSpace = 0;
  VXImportSpaceLimits m_limits;
  // What prepare found: the keys of companion files, the keys of folders with work in or below
  // them (both for the run that follows, on the queue thread), and the files left out by kind.
  std::unordered_set<std::string> m_companions;
  std::unordered_set<std::string> m_busyFolders;
  std::unordered_set<std::string> m_busyPaths;                // prepare only
  std::vector<std::pair<std::string, int32_t>> m_leftOutRun;  // prepare only
  std::vector<std::pair<std::string, int32_t>> m_leftOut;     // under the task lock
  std::atomic<int32_t> m_leftOutCount{0};
};
