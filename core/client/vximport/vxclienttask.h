// The task model: what import, export and auto-import tasks share.
//
// A task is one unit of copying work that the task queue (vxclienttaskqueue.h) runs on its
// thread. This header gives
//   - VXClientTaskReference: a task's source (and a user source of the queue): identifier,
//     class text, display name, persist flag and a list of URIs (local "file" URLs or drive
//     URIs), with its saved JSON form;
//   - VXClientTaskError: one recorded failure (URI and error bits);
//   - VXClientTaskProgress: the progress snapshot the pages read;
//   - VXClientTask: the base class of every task, with the operations of IVXClientTask in their
//     fixed order, the two operations the concrete tasks add (wantFile, createFolder) and
//     protected helpers for what every task does (error recording under the limit, progress
//     refresh, the timestamp, cancel checks).
//
// Writing a task: derive from VXClientTask, pass (identifier, type, class, flags, source,
// destination) to its constructor, implement runTask, and override what your kind changes
// (getProgress to refresh the percentages, setPaused, setTaskDestination, notifyTask, wantFile,
// createFolder, getifc to answer further interface numbers). runTask runs on the queue thread:
//   - move the state with transitionState() so that a concurrent cancelTask() is never lost
//     (0 -> 1 -> 2 -> 6; a cancel turns 1 or 2 into 4, and the run ends it as 5);
//   - test isCanceled() at every file and progress callback;
//   - count with the protected atomics (m_totalFiles, m_currentFileIndex, m_bytesDone ...) and
//     record failures with recordError()/recordErrorPath(); clear the list with clearErrors();
//   - change what getProgress() shows only through the setProgress* helpers (task lock).
// Counters, state and flags are written by the queue thread without the lock and read by any
// thread; the task lock guards the source, the destination, the progress object and the error
// list. No task operation holds the lock while calling out.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "brerror.h"
#include "brthread.h"
#include "hbmap.h"
#include "hbobj.h"
#include "hbstr.h"
#include "hburl.h"

// Interface numbers.
enum : int32_t {
  VXIFC_TASKREFERENCE = 0x30020100,
  VXIFC_TASK = 0x30020101,
  VXIFC_TASK_MUTABLE = 0x30020102,
  VXIFC_TASKREFERENCE_MUTABLE = 0x30020103,
  VXIFC_TASKREFERENCE_MUTABLE2 = 0x30020104,
  VXIFC_AUTOIMPORTTASK = 0x30020105,
};

// Task kinds ("type").
enum : int32_t { TASK_TYPE_IMPORT = 1, TASK_TYPE_EXPORT = 2, TASK_TYPE_AUTOIMPORT = 3 };

// Task states. 3 is never set by the system; a task restored with it keeps it and is not run.
enum : int32_t {
  TASK_STATE_PENDING = 0,
  TASK_STATE_PREPARING = 1,
  TASK_STATE_RUNNING = 2,
  TASK_STATE_UNKNOWN = 3,
  TASK_STATE_CANCELING = 4,
  TASK_STATE_CANCELED = 5,  // also the paused state of auto-imports
  TASK_STATE_FINISHED = 6,
};

// What a source holds.
enum : int32_t {
  TASK_CLASS_USER = 0,
  TASK_CLASS_MUSIC = 1,
  TASK_CLASS_PHOTO = 2,
  TASK_CLASS_MOVIE = 3
};

// Steps of the current file ("progressstate").
enum : int32_t {
  TASK_PROGRESS_PARSING = 0,
  TASK_PROGRESS_SENDING_ORIGINAL = 1,
  TASK_PROGRESS_TRANSCODING = 2,
  TASK_PROGRESS_SENDING_TRANSCODE = 3,
};

// Task flags ("taskFlags").
enum : uint32_t {
  TASK_FLAG_KEEP_ORIGINAL = 0x01,
  TASK_FLAG_MIRROR_FOLDERS = 0x04,
  TASK_FLAG_AUDIO = 0x10,
  TASK_FLAG_IMAGES = 0x20,
  TASK_FLAG_VIDEO = 0x40,
  TASK_FLAG_CHECK_EXISTING = 0x80,
  TASK_FLAG_FLAT_ROOT = 0x100,
  // The backup takes videos too (the choice made when it was created; saved tasks without the
  // bit take pictures only).
  TASK_FLAG_BACKUP_VIDEOS = 0x200,
};

// Failures that mean the files are still to go up once the cause is gone (a full drive, a
// revoked sign-in, no connection), rather than failures of the files themselves.
#define TASK_ERROR_WAITS \
  (TASK_ERROR_NO_SPACE | TASK_ERROR_NO_CONNECTION | TASK_ERROR_OFFLINE | TASK_ERROR_NOT_AUTHORIZED)

// What stands between a backup and the drive ("problem" of the pages).
#define TASK_PROBLEM_DRIVE_FULL "drivefull"
#define TASK_PROBLEM_SIGN_IN "signin"
#define TASK_PROBLEM_LOCAL_DISK "localdisk"
#define TASK_PROBLEM_OFFLINE "offline"
#define TASK_PROBLEM_UNAVAILABLE "unavailable"

// What the last run of a task left undone, as the pages and `tesseltool backup` show it.
struct VXTaskOutcome {
  int32_t leftOut = 0;       // files of kinds the task does not take (not counting ".*" names)
  std::string leftOutKinds;  // ".txt ×2, .pdf ×1": most frequent first, at most 6, then "…"
  int32_t waiting = 0;       // files still to go up once the problem is gone, or not stable yet
  std::string problem;       // "" or a TASK_PROBLEM_* name
  std::string problemText;   // the problem in words ("The drive is full: 52 photos wait")
  int64_t nextRetryMs = 0;   // ms since 1970 of the next automatic retry, 0 when none
};

// Error bits: a task's "errormask" is the union of the bits of its failures since its last
// prepare or run.
enum : uint32_t {
  TASK_ERROR_GENERAL = 0x01,
  TASK_ERROR_NO_SPACE = 0x02,
  TASK_ERROR_NO_CONNECTION = 0x04,
  TASK_ERROR_OFFLINE = 0x08,
  TASK_ERROR_NOT_AUTHORIZED = 0x10,
  TASK_ERROR_SKIPPED = 0x20,
};

// Codes of notifyTask.
enum : int32_t {
  TASK_NOTIFY_TICK = 3,            // about every 10 s, from the queue thread
  TASK_NOTIFY_REMOVED = 4,         // taken out of the queue
  TASK_NOTIFY_REMOVED_DELETE = 5,  // taken out, and its data is to be deleted
  TASK_NOTIFY_RUN_START = 6,
  TASK_NOTIFY_RUN_END = 7,
};

// The kept error records unless the setting "errorlimit" says otherwise.
#define VXCLIENTTASK_ERROR_LIMIT 100
// The marker file the drive helper keeps at the root of every mounted drive.
#define VXCLIENTTASK_DRIVE_MARKER ".com.orvane.TesselDrive"
// The longest task identifier kept.
#define VXCLIENTTASK_ID_MAX 35

// Sets the problem of *out: `problem` ("" for none) with `words`, and adds to the files waiting
// the `failed` ones that wait for a cause to go and, when there is a problem, the `notReached`
// ones a stopped run never came to: "The drive is full: 52 photos wait".
void vxclienttask__describeProblem(VXTaskOutcome *out, const char *problem, const char *words,
                                   int32_t failed, int32_t notReached);

// Names of the numbers above as the pages see them ("unknown" for other values).
const char *vxclienttask__typeName(int32_t type);
const char *vxclienttask__stateName(int32_t state);
const char *vxclienttask__className(int32_t cls);
const char *vxclienttask__progressStepName(int32_t step);

// A new identifier: 32 lowercase hexadecimal digits of 16 random bytes. 0, or -1 (logged) when
// the random source fails.
HB_NODISCARD int32_t vxclienttask__newID(std::string *out);

// The program's backup timestamp (milliseconds since 1970) kept as decimal text in the value
// "timestamp" of the browser key: 0 when none is stored, -1 (logged) when the key can be neither
// opened nor created.
int64_t vxclienttask__readTimestamp();
// Stores `ms` there as "%lld". 0, or the store's failure.
HB_NODISCARD int32_t vxclienttask__writeTimestamp(int64_t ms);

// The per-user data folder of the tasks ("$XDG_DATA_HOME/Orvane Tessel Utility", without a
// trailing "/"): file maps live there.
std::string vxclienttask__dataFolder();

// A new list iterator named `name` over `items` (any container), of item type `hbtype`:
// `toObj(item)` gives each item's object, which the list references. One reference in *out for
// the caller; -19 when memory is short.
template <class Items, class ToObj>
HB_NODISCARD int32_t vxclienttask__newList(IHBIter **out, hbtype_t hbtype, const char *name,
                                           const Items &items, ToObj toObj) {
  HBRef<HBListIterator> list;
  int32_t rc = HBListIterator::create(nullptr, hbtype, HBLISTITER_OWN, name, list);
  for (auto it = items.begin(); rc == 0 && it != items.end(); ++it)
    rc = list->appendObject(toObj(*it));
  if (rc < 0) return rc;
  list->reset();
  *out = list.detach();
  return BR_OK;
}

// ---------------------------------------------------------------------------------------------
// Source references

struct IVXClientTaskReference : IHBObj {
  static constexpr int32_t kIfc = VXIFC_TASKREFERENCE;
  // The identifier ("" when none was given), borrowed.
  virtual const char *getRefID() = 0;
  // The class text / display name with one reference for the caller; -3 when absent.
  HB_NODISCARD virtual int32_t getRefClass(IHBStr **out) = 0;
  HB_NODISCARD virtual int32_t getRefName(IHBStr **out) = 0;
  virtual int32_t getURICount() = 0;
  // The URI with one reference for the caller when there is exactly one; else -3.
  HB_NODISCARD virtual int32_t getSingleURI(IHBURI **out) = 0;
  // A new iterator over the URIs (objects of hbtype 0x10000028), one reference for the caller.
  HB_NODISCARD virtual int32_t iterateURIs(IHBIter **out) = 0;
  // Appends `uri` (referenced). A local folder on a mounted drive of this program (its mount
  // point holds the drive marker) is refused with -6 and the log line "Not allowing
  // autoimporting Zevrin Drive path".
  HB_NODISCARD virtual int32_t addURI(IHBURI *uri) = 0;
};

class VXClientTaskReference final
    : public HBObject<VXClientTaskReference, IVXClientTaskReference, IHBRPCSerializable> {
 public:
  // hb_query<VXClientTaskReference> gives the object with its mutable operations.
  static constexpr int32_t kIfc = VXIFC_TASKREFERENCE_MUTABLE;

  // A reference without URIs. `id` null or empty gives an empty identifier (cut to 35
  // characters); `cls` and `name` may be null. One reference in *out for the caller.
  HB_NODISCARD static int32_t create(const char *id, const char *cls, const char *name,
                                     bool persist, VXClientTaskReference **out);
  HB_NODISCARD static int32_t create(const char *id, const char *cls, const char *name,
                                     bool persist, HBRef<VXClientTaskReference> &out);
  // Reads the saved JSON form (a parsed object: "taskRefID", "taskRefClass", "taskRefName",
  // "taskRefURIs"); URIs that parse as neither a drive URI nor a URL are passed over. The result
  // has the persist flag set. -6 when `map` is null.
  HB_NODISCARD static int32_t fromJSON(IHBMap *map, HBRef<VXClientTaskReference> &out);

  // The saved JSON form, texts escaped as JSON requires, never cut. -6 without an identifier.
  HB_NODISCARD int32_t toJSON(std::string *out);

  bool persist() const { return m_persist; }
  // The class text and display name (borrowed), null when absent.
  const char *refClassText() const;
  const char *refNameText() const;
  // The URIs' text forms, in order.
  std::vector<std::string> uriTexts();

  // IVXClientTaskReference
  const char *getRefID() override { return m_id; }
  HB_NODISCARD int32_t getRefClass(IHBStr **out) override;
  HB_NODISCARD int32_t getRefName(IHBStr **out) override;
  int32_t getURICount() override;
  HB_NODISCARD int32_t getSingleURI(IHBURI **out) override;
  HB_NODISCARD int32_t iterateURIs(IHBIter **out) override;
  HB_NODISCARD int32_t addURI(IHBURI *uri) override;

  // IHBRPCSerializable: "reference" with "sourceid", "sourceclass", "name", "uris".
  const char *getTypeName() override { return "reference"; }
  const HBRPCPropertyEntry *getPropertyTable() override;
  HB_NODISCARD int32_t getPropertyObject(int32_t index, hbtype_t *hbtype, void **out) override;
  HB_NODISCARD int32_t getPropertyText(int32_t index, char *buffer, int32_t size) override;

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;
  IHBObj *obj() { return static_cast<IVXClientTaskReference *>(this); }

 private:
  friend class HBObject<VXClientTaskReference, IVXClientTaskReference, IHBRPCSerializable>;
  VXClientTaskReference() = default;
  ~VXClientTaskReference() override = default;
  void appendURI(IHBURI *uri);

  char m_id[VXCLIENTTASK_ID_MAX + 1] = "";
  HBRef<IHBStr> m_class;
  HBRef<IHBStr> m_name;
  bool m_persist = false;
  BRMutex m_lock;  // the URI list
  std::vector<HBRef<IHBURI>> m_uris;
};

// Test hook: replaces the lookup of a local path's mount point (null restores it). The function
// writes the root into `root` (`size` bytes) and returns 0, or a negative code.
typedef int32_t (*vxclienttask_volumefn)(const char *path, char *root, size_t size);
void vxclienttask__setVolumeRootForTest(vxclienttask_volumefn fn);

// ---------------------------------------------------------------------------------------------
// Error records and progress snapshots

class VXClientTaskError final : public HBObject<VXClientTaskError, IHBRPCSerializable> {
 public:
  // `uri` may be null. One reference in *out for the caller.
  HB_NODISCARD static int32_t create(IHBURI *uri, uint32_t bits, VXClientTaskError **out);
  // The record behind an item of iterateErrors (null for any other object).
  static VXClientTaskError *from(IHBObj *obj);

  // The URI with one reference for the caller; -3 when the record has none.
  HB_NODISCARD int32_t getErrorURI(IHBURI **out);
  uint32_t getErrorBits() const { return m_bits; }

  // IHBRPCSerializable: "error" with "uri", "errormask".
  const char *getTypeName() override { return "error"; }
  const HBRPCPropertyEntry *getPropertyTable() override;
  HB_NODISCARD int32_t getPropertyObject(int32_t index, hbtype_t *hbtype, void **out) override;
  HB_NODISCARD int32_t getPropertyText(int32_t index, char *buffer, int32_t size) override;
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 private:
  friend class HBObject<VXClientTaskError, IHBRPCSerializable>;
  VXClientTaskError() = default;
  ~VXClientTaskError() override = default;
  HBRef<IHBURI> m_uri;
  uint32_t m_bits = 0;
};

// A task's progress. The task keeps one and hands out copies (snapshots) from getProgress.
class VXClientTaskProgress final : public HBObject<VXClientTaskProgress, IHBObj> {
 public:
  // The current file and the destination with one reference for the caller; -3 when absent.
  HB_NODISCARD int32_t getCurrentFile(IHBURI **out);
  HB_NODISCARD int32_t getProgressDestination(IHBURI **out);
  int32_t getProgressState() const { return m_step; }
  int32_t getFilePercent() const { return m_filePercent; }
  int32_t getTotalPercent() const { return m_totalPercent; }
  // The program's backup timestamp (vxclienttask__readTimestamp), read on every call.
  int64_t getTimestamp();

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 private:
  friend class VXClientTask;
  friend class HBObject<VXClientTaskProgress, IHBObj>;
  VXClientTaskProgress() = default;
  ~VXClientTaskProgress() override = default;

  HBRef<IHBURI> m_file;
  HBRef<IHBURI> m_dest;
  int32_t m_step = TASK_PROGRESS_PARSING;
  int32_t m_filePercent = 0;
  int32_t m_totalPercent = 0;
  int64_t m_timestamp = -1;
};

// ---------------------------------------------------------------------------------------------
// Tasks

// The task operations, in their fixed order after the three of IHBObj.
struct IVXClientTask : IHBObj {
  static constexpr int32_t kIfc = VXIFC_TASK;
  // Borrowed for the life of the task.
  virtual const char *getTaskID() = 0;
  virtual int32_t getTaskType() = 0;
  virtual int32_t getTaskState() = 0;
  virtual int32_t getTaskClass() = 0;
  virtual uint32_t getTaskFlags() = 0;
  virtual int32_t getCurrentFileIndex() = 0;
  virtual int32_t getTotalFiles() = 0;
  virtual int32_t getSkippedFiles() = 0;
  // Failures since the last prepare or run, counted beyond the error limit too.
  virtual int32_t getErrorCount() = 0;
  virtual uint32_t getErrorMask() = 0;
  // An iterator named "errors" over the kept records, oldest first (items of hbtype
  // 0x10000000; VXClientTaskError::from gives the record). One reference for the caller.
  HB_NODISCARD virtual int32_t iterateErrors(IHBIter **out) = 0;
  // The source with one reference for the caller; -3 when the task has none.
  HB_NODISCARD virtual int32_t getTaskSource(VXClientTaskReference **out) = 0;
  // The destination (a drive URI for imports, a local folder URL for exports) with one
  // reference for the caller; -3 when the task has none.
  HB_NODISCARD virtual int32_t getTaskDestination(IHBURI **out) = 0;
  // A new snapshot with one reference for the caller; import and export tasks refresh the
  // percentages first.
  HB_NODISCARD virtual int32_t getProgress(VXClientTaskProgress **out) = 0;
  // Nonzero: cancelTask(). Zero: -16 here (the auto-import task resumes).
  HB_NODISCARD virtual int32_t setPaused(int32_t paused) = 0;
  // -6 without a destination, -25 when it equals the current one, else -16 here (the
  // auto-import task replaces it).
  HB_NODISCARD virtual int32_t setTaskDestination(IHBURI *destination) = 0;
  // Runs the task once on the queue thread; `valtoken` is the session token or null.
  virtual int32_t runTask(const char *valtoken) = 0;
  // 0 or 6 -> 5 and 1 or 2 -> 4, setting the cancel flag (0); 4 or 5: nothing (0); other
  // states: -5.
  virtual int32_t cancelTask() = 0;
  // TASK_NOTIFY_* codes; nothing here.
  virtual void notifyTask(int32_t code) = 0;
};

class VXClientTask : public HBObject<VXClientTask, IVXClientTask, IHBRPCSerializable> {
 public:
  // hb_query<VXClientTask> (0x30020102, IVXClientTaskMutable) gives the task with its mutable
  // operations.
  static constexpr int32_t kIfc = VXIFC_TASK_MUTABLE;

  // IVXClientTask
  const char *getTaskID() override { return m_id; }
  int32_t getTaskType() override { return m_type; }
  int32_t getTaskState() override { return m_state.load(std::memory_order_acquire); }
  int32_t getTaskClass() override { return m_class; }
  uint32_t getTaskFlags() override { return m_flags.load(std::memory_order_relaxed); }
  int32_t getCurrentFileIndex() override {
    return m_currentFileIndex.load(std::memory_order_relaxed);
  }
  int32_t getTotalFiles() override { return m_totalFiles.load(std::memory_order_relaxed); }
  int32_t getSkippedFiles() override { return m_skippedFiles.load(std::memory_order_relaxed); }
  int32_t getErrorCount() override { return m_errorCount.load(std::memory_order_relaxed); }
  uint32_t getErrorMask() override { return m_errorMask.load(std::memory_order_relaxed); }
  // Of the failures counted, those whose files wait for a cause to go (TASK_ERROR_WAITS).
  int32_t getWaitFailures() const { return m_waitFailures.load(std::memory_order_relaxed); }
  HB_NODISCARD int32_t iterateErrors(IHBIter **out) override;
  HB_NODISCARD int32_t getTaskSource(VXClientTaskReference **out) override;
  HB_NODISCARD int32_t getTaskDestination(IHBURI **out) override;
  HB_NODISCARD int32_t getProgress(VXClientTaskProgress **out) override;
  HB_NODISCARD int32_t setPaused(int32_t paused) override;
  HB_NODISCARD int32_t setTaskDestination(IHBURI *destination) override;
  int32_t cancelTask() override;
  void notifyTask(int32_t) override {}

  // Added by the concrete tasks, after the operations above.
  // Phase 1 asks whether to take a file (during prepare and before each file of the run),
  // phase 2 reports one taken. Nonzero: take it. Here: always 1.
  virtual int32_t wantFile(int32_t phase, const char *fileKey, const char *mimeType,
                           int64_t modifiedMs, int64_t size);
  // Makes or finds the destination folder of a source folder at `depth`. Here: -16.
  virtual int32_t createFolder(int32_t depth, const char *folderKey, const char *name,
                               void *reserved, int64_t createdMs);

  // What the last run left undone (nothing here; imports count it).
  virtual void getOutcome(VXTaskOutcome *out);

  // IHBRPCSerializable: "task" with the properties the pages read (taskid ... timestamp, then
  // leftout, leftoutkinds, waiting, problem, problemtext, nextretry, videos).
  const char *getTypeName() override { return "task"; }
  const HBRPCPropertyEntry *getPropertyTable() override;
  HB_NODISCARD int32_t getPropertyObject(int32_t index, hbtype_t *hbtype, void **out) override;
  HB_NODISCARD int32_t getPropertyText(int32_t index, char *buffer, int32_t size) override;

  // Answers 0x10000000, 0x10000011, 0x30020101 and 0x30020102; subclasses add theirs and fall
  // back to this.
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

  // Mutable operations, for the queue and the task itself.
  // Sets the state as it is (restoring a saved task).
  void setTaskState(int32_t state) { m_state.store(state, std::memory_order_release); }
  // Moves `from` to `to` only if the state is still `from`; false when another thread (a
  // cancel) changed it first.
  bool transitionState(int32_t from, int32_t to);
  // Ends a cancel that is under way. A task resumed in the meantime (paused, then unpaused
  // before its run got to look) stays resumed.
  void settleCanceled() { (void)transitionState(TASK_STATE_CANCELING, TASK_STATE_CANCELED); }
  bool isCanceled() const { return m_cancel.load(std::memory_order_acquire) != 0; }
  // How many error records are kept ("errorlimit", read at construction).
  int32_t errorLimit() const { return m_errorLimit; }

  IHBObj *obj() { return static_cast<IVXClientTask *>(this); }

 protected:
  // Takes references to `source` and `destination` (either may be null); `id` is cut to 35
  // characters. State 0, a fresh progress object, an empty error list.
  VXClientTask(const char *id, int32_t type, int32_t cls, uint32_t flags,
               VXClientTaskReference *source, IHBURI *destination);
  ~VXClientTask() override;

  // The task lock: guards the source, the destination, the progress object, the error list
  // and whatever else a subclass puts beside them (current file size, bytes sent ...).
  BRMutex &taskLock() { return m_lock; }

  void setCancel(bool on) { m_cancel.store(on ? 1 : 0, std::memory_order_release); }

  // Counts one failure: ORs `bits` into the mask, increments the error count (and, for bits of
  // TASK_ERROR_WAITS, the waiting failures) and keeps a record of `uri` (may be null) while
  // fewer than the limit are kept.
  void recordError(IHBURI *uri, uint32_t bits);
  // The same for a local path (recorded as its "file" URL).
  void recordErrorPath(const char *path, uint32_t bits);
  // Empties the error list (start of every prepare and import run); counters stay.
  void clearErrors();

  // Progress (under the task lock): the file being copied, where it goes, its step.
  void setProgressFile(IHBURI *file);
  void setProgressDestination(IHBURI *destination);
  void setProgressStep(int32_t step);
  // The refresh of import and export tasks before a snapshot: with the current file's size
  // and bytes sent, file percentage = sent * 100 / size (0 when size <= 0) and overall
  // percentage = (sent + (index + 1) * 1024 + bytes done) * 100 / (total files * 1024 + total
  // bytes) (0 without counted files), stored truncated; then the "Progress Retrieved" line at
  // level 32 under `tag` ("IMPORT" also stores and logs `step`; "EXPORT" leaves the step).
  void refreshProgress(const char *tag, int64_t fileSize, int64_t fileSent, int32_t step);
  // After a successful import prepare and run: now into the progress object and the setting.
  void stampTimestamp();

  // Replaces the source or the destination under the lock (null clears).
  void replaceSource(VXClientTaskReference *source);
  void replaceDestination(IHBURI *destination);

  // Written by the queue thread while running, read by anyone.
  std::atomic<uint32_t> m_flags;
  std::atomic<int32_t> m_currentFileIndex{0};
  std::atomic<int32_t> m_totalFiles{0};
  std::atomic<int32_t> m_skippedFiles{0};
  std::atomic<int32_t> m_errorCount{0};
  // Of those, failures whose files wait for the cause to go (TASK_ERROR_WAITS); reset with the
  // error count.
  std::atomic<int32_t> m_waitFailures{0};
  std::atomic<uint32_t> m_errorMask{0};
  std::atomic<int64_t> m_bytesDone{0};
  std::atomic<int64_t> m_totalBytes{0};

 private:
  friend class HBObject<VXClientTask, IVXClientTask, IHBRPCSerializable>;

  char m_id[VXCLIENTTASK_ID_MAX + 1] = "";
  const int32_t m_type;
  std::atomic<int32_t> m_state{TASK_STATE_PENDING};
  const int32_t m_class;
  std::atomic<int32_t> m_cancel{0};
  int32_t m_errorLimit = VXCLIENTTASK_ERROR_LIMIT;

  BRMutex m_lock;
  HBRef<VXClientTaskReference> m_source;
  HBRef<IHBURI> m_destination;
  HBRef<VXClientTaskProgress> m_progress;
  std::vector<HBRef<VXClientTaskError>> m_errors;
};
