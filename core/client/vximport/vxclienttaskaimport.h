// The auto-import task: the backup of chosen folders, an import that stays in the queue and
// runs again whenever one of its folders changes, after failures, when its destination changes
// and when it is resumed.
//
// What makes repeated runs cheap is the file map (vxfilemap.h): every picture imported is
// recorded with its modification time and size, and a run takes only pictures that are new or
// changed. A picture whose import failed is not recorded and is tried again by the next run.
// The task listens to a folder watcher per source folder (vxfsevent.h) and to a network watcher
// (vxnetevent.h), pausing itself while no network is there for backups. It is created paused
// (state 5); setPaused(0) resumes it.
//
// Beyond the bare rules, so that no picture lands on the drive twice or goes unrecorded:
//   - a task whose file map is new (a new task, a map file that is gone, a new destination)
//     checks for an identical file on the drive before each upload (flag 0x80) until a run ends
//     without errors, and so does a task after a run with errors (a picture may have gone up
//     without its answer arriving) or after a record that could not be written;
//   - a lookup that fails (a damaged or locked map) takes nothing: the run is counted as failed
//     rather than importing the library again;
//   - a map that cannot be used, and folders that cannot be watched, are recorded as errors of
//     every run, so the pages and `tesseltool backup list` show them; they do not set off the
//     retries meant for failed uploads;
//   - a run that never ended (the process killed during an upload) leaves a marker beside the
//     map ("ZVFileMap_<id>.db.running"): the next task made for it checks the destination too;
//   - a destination folder deleted on the drive is made again: a folder that gets files in a run
//     is looked up by its identifier first, and a folder step that finds its parent gone makes
//     the parent again.
//
// Threads: folder and network events arrive on the watcher threads, pause and resume on script
// threads, ticks and runs on the queue thread. The task lock guards the file map, the pending
// folder events and the destination; every statement of the map runs under it. Log tag
// "AIMPORT".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "vxclienttaskimport.h"
#include "vxfilemap.h"
#include "vxfsevent.h"
#include "vxnetevent.h"

class VXClientTaskQueue;

// Retries of a run that ended with failed files: for as long as they fail, the first a minute
// after the run, each later one after twice the delay before, at most 4 hours.
#define VXAIMPORT_RETRY_MS 60000
#define VXAIMPORT_RETRY_MAX_MS (4 * 3600 * 1000)
// A run that left files still being written runs again this soon.
#define VXAIMPORT_SETTLE_RETRY_MS 5000

class VXClientAutoImportTask final : public VXClientImportTask,
                                     public IVXFSEventSink,
                                     public IVXNetEventSink {
 public:
  static constexpr int32_t kIfc = VXIFC_AUTOIMPORTTASK;

  // A new auto-import (type 3, state 5) with its file map, folder watchers and network watcher;
  // `queue` (referenced, may be null in tests) runs it again. One reference in *out.
  HB_NODISCARD static int32_t create(const char *id, int32_t cls, uint32_t flags,
                                     VXClientTaskReference *source, IHBURI *destination,
                                     VXClientTaskQueue *queue, VXClientAutoImportTask **out);

  // One reference count for all the interfaces.
  int32_t upref() override { return VXClientImportTask::upref(); }
  int32_t dnref() override { return VXClientImportTask::dnref(); }
  // Answers 0x30020105 (the task itself) besides the numbers of every task.
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

  // Nonzero: cancelTask(). Zero, in state 5 only: clears the cancel flag and the retries, state
  // 0, and queues a run (the queue's result); other states: -5.
  HB_NODISCARD int32_t setPaused(int32_t paused) override;
  // The base rules first (-6, -25); a new destination is taken (under the task lock) and stops a
  // run in progress at its next file; the next run starts on a fresh file map. 0.
  HB_NODISCARD int32_t setTaskDestination(IHBURI *destination) override;
  // One run, as the import runs (prepare, then the import walk), except that a prepare that
  // found every picture in the map ends the run: a second walk would find nothing either.
  int32_t runTask(const char *valtoken) override;
  // 3: retries and destination changes; 4, 5: removed (5 deletes the file map); 6, 7: a run
  // starts, ends.
  void notifyTask(int32_t code) override;
  // Only pictures (or entries without a type), and only those the file map does not know with
  // this time and size; phase 2 records them. Without a file map: 0.
  int32_t wantFile(int32_t phase, const char *fileKey, const char *mimeType, int64_t modifiedMs,
                   int64_t size) override;
  // Destination folders are made once: their identifiers are kept in the file map; one that is
  // gone from the drive (804) is forgotten and made again.
  int32_t createFolder(int32_t depth, const char *folderKey, const char *name, void *reserved,
                       int64_t createdMs) override;

  // A change below a source folder: taken only when the last run has finished and nothing is
  // pending (the task runs again); else Inprogress (-22), and the watcher reports again later.
  int32_t receiveFSEvents(IHBIter *events) override;
  // Pauses while no network is there for backups, resumes when it is back.
  int32_t receiveNetEvent(IVXNetEvent *event) override;

  // ---- Beyond the fixed operations ----

  // Runs that have ended since construction.
  int32_t completedRuns() const { return m_completedRuns.load(); }
  // Failures of the last run itself (without the standing ones: a map that cannot be used,
  // folders that cannot be watched).
  int32_t runErrors() const;
  // Whether the task paused itself for want of a network.
  bool offline() const { return m_offline.load() != 0; }
  // The import's outcome, with the next retry (wall clock) and the problems only this task
  // knows of (a full local disk, no network, source folders gone).
  void getOutcome(VXTaskOutcome *out) override;
  // The consecutive runs that ended with failed files (0 after a clean run or a resume).
  int32_t retryCount() const { return m_retryCount.load(); }
  // The marker of a run under way ("" without a map path).
  std::string runMarkerPath();
  // Source folders whose watchers find them gone (deleted, on a disk that is not plugged in):
  // the task is "not available" while this is above 0. Their watchers wait for them and report
  // when they are back, which runs the backup.
  int32_t unavailableSources();
  // Whether the network is back and the task resumes once its run has stopped.
  bool resumesWhenStopped() const { return m_resumeWhenStopped.load(); }
  // The file map's path ("" without one).
  std::string fileMapPath();

  IHBObj *obj() { return VXClientImportTask::obj(); }

 private:
  VXClientAutoImportTask(const char *id, int32_t cls, uint32_t flags, VXClientTaskReference *source,
                         IHBURI *destination, VXClientTaskQueue *queue);
  ~VXClientAutoImportTask() override;

  // Loads the file map (task lock held); a new one turns on the check for existing files.
  int32_t loadFileMap();
  void stopListening();
  void requeue();
  void recordStandingErrors();
  // Resumes a run that was stopping when the network came back, once it has stopped.
  void resumeIfStopped();
  // After a record that could not be written, or a map that failed a lookup.
  void mapFailed();
  // Closes the map, deletes its file and loads a fresh one (task lock held).
  void freshMap();
  // The retry after a run's end: none after a clean run, else the growing delay.
  void scheduleRetry();
  // Whether the folder `fileId` is still on the drive (1), gone (0), or unknown (<0).
  int32_t folderOnDrive(const char *fileId);
  // Forgets the folder identifier recorded for `key`.
  void forgetFolder(const char *key);
  void problemHint(const char **problem, const char **words) override;
  // The uploads in pieces of this task are recorded in its file map, under the task lock.
  IVXUploadRecords *uploadRecords() override { return &m_lockedUploads; }
  class LockedUploads final : public IVXUploadRecords {
   public:
    explicit LockedUploads(VXClientAutoImportTask *task) : m_task(task) {}
    int32_t find(const char *key, VXUploadRecord *out) override;
    int32_t save(const char *key, const VXUploadRecord &record) override;
    int32_t remove(const char *key) override;

   private:
    VXClientAutoImportTask *m_task;
  };
  LockedUploads m_lockedUploads{this};

  std::string m_mapPath;  // under the task lock, like the map
  VXFileMap m_map;
  int32_t m_mapError = 0;  // why the map could not be loaded, 0 when it was
  std::vector<HBRef<IVXFSEventer>> m_folderWatchers;
  HBRef<IVXNetEventer> m_netWatcher;
  HBRef<VXClientTaskQueue> m_queue;
  std::atomic<int64_t> m_retryAt{0};      // monotonic ms of the next retry, 0 for none
  std::atomic<int64_t> m_nextRetryMs{0};  // the same on the wall clock, for the pages
  std::atomic<int32_t> m_retryCount{0};
  std::atomic<int32_t> m_offline{0};
  std::atomic<bool> m_resumeWhenStopped{false};
  std::atomic<int32_t> m_destChanged{0};
  std::atomic<bool> m_removed{false};
  std::vector<HBRef<IVXFSEvent>> m_pending;  // under the task lock
  std::atomic<int32_t> m_standingErrors{0};
  std::atomic<int32_t> m_completedRuns{0};
  std::atomic<bool> m_mapFailed{false};  // in this run
  std::atomic<bool> m_diskFull{false};   // in this run: a record not written for a full disk
  // The folders of the run in progress by depth (queue thread), to make one again whose
  // identifier the drive no longer knows.
  struct WalkFolder {
    std::string key, name;
    int64_t createdMs = 0;
    bool fromMap = false;
  };
  WalkFolder m_walkFolders[VXIMPORT_MAX_DEPTH];
};
