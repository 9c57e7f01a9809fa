// The task queue: owns every task of the program and the thread "TQUEUE" they run on.
//
// It keeps three task lists (imports, exports, auto-imports), the user's sources (references to
// folders the user chose, keyed by identifier), the session token, and a mailbox of 20 run
// requests. Runs happen one at a time on the queue thread, in the order they were queued, with a
// fresh copy of the token; about every 10 s without a run every task gets notifyTask(3). The
// auto-imports and the persisted user sources are saved as JSON texts in the default settings
// store ("autoimports", "usersources"), written whole with their texts escaped; the user sources
// are read back when the queue is made, the auto-imports when a session token arrives. A saved
// text that cannot be read restores nothing and is kept as "KEY.unreadable" before the next
// save replaces it.
//
// Sign-out (setSessionToken(null)) saves both texts and then drops the auto-import tasks (they
// are canceled and told 4); the next sign-in restores them from the saved text, and a saved
// entry whose identifier is already in the list is not restored twice. While signed out the
// auto-import list is never written over, so nothing saved is lost by a save without tasks.
//
// One queue per process: start-up creates it and installs it as the global one
// (vxclienttaskqueue__setGlobal); everyone else reaches it with vxclienttaskqueue__getGlobal.
// Exit calls shutdown(). The queue lock guards the lists and the user sources; it is never held
// while a task runs or is notified, nor during a save or a load. Log tag "TASKQ".
//
// What keeps the saved auto-imports whole:
//   - restored tasks beyond the mailbox's 20 wait in a backlog for their first run instead of
//     being dropped (and lost at the next save); so do the runs tasks ask for again;
//   - a save of the queue's own list merges with the saved text by task identifier: entries
//     saved by another program are kept, only tasks removed here leave it; a saved text that
//     cannot be read (busy, I/O error) is never written over, and a load that could not read it
//     is tried again at the ticks;
//   - one program per user runs the backups: the queue that signs in takes the lock file
//     "<data folder>/backups.lock" (vxclienttaskqueue__claimBackups). Without it the queue says
//     "Backups are being run by another program (pid N)", restores and saves no auto-imports,
//     and tries again at the ticks.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "brerror.h"
#include "brthread.h"
#include "hbobj.h"
#include "hbproperties.h"
#include "hbzvuri.h"
#include "vxclienttask.h"

// Mailbox codes.
enum : int64_t { VXTASKQ_MSG_EXIT = 0, VXTASKQ_MSG_RUN = 1 };
// Flags of removeTask and addUserSource.
enum : uint32_t {
  VXTASKQ_SAVE = 0x01,         // addUserSource: save the user sources afterwards
  VXTASKQ_CANCEL = 0x08,       // removeTask: cancel the task first
  VXTASKQ_DELETE_DATA = 0x10,  // removeTask: the task deletes its data (notification 5)
};
#define VXTASKQ_MAILBOX 20
#define VXTASKQ_TICK_MS 10000

class VXClientTaskQueue final : public HBObject<VXClientTaskQueue, IHBObj> {
 public:
  // Makes the queue: loads the saved user sources and starts the thread. One reference for the
  // caller; the thread keeps its own until shutdown(). -1 when the thread cannot start.
  HB_NODISCARD static int32_t create(HBRef<VXClientTaskQueue> &out);

  // ---- The operations, in their fixed order ----

  // Saves (the auto-imports only while signed in) and the user sources, cancels and releases
  // every task ("*** Canceling and removing all tasks!"), removes an empty data folder, stops
  // the thread ("*** Shutting down now!") and waits for it: a running task stops at its next
  // cancel check. Later calls do nothing. Returns 0.
  int32_t shutdown();
  // Sign-in (a token) and sign-out (null); see the file comment. The same token again does
  // nothing. Returns 0.
  int32_t setSessionToken(const char *token);
  // The task with identifier `id` (imports, then exports, then auto-imports) with one reference
  // for the caller; -3 when there is none.
  HB_NODISCARD int32_t findTask(VXClientTask **out, const char *id);
  // A snapshot of the tasks of a kind (1 imports, 2 exports, 3 auto-imports; objects of hbtype
  // 0x10000000). One reference for the caller; -3 for another kind.
  HB_NODISCARD int32_t iterateTasks(int32_t kind, IHBIter **out);
  // Takes `task` out of its list (VXTASKQ_CANCEL cancels it first; it is told 5 with
  // VXTASKQ_DELETE_DATA, else 4) and saves. A running task finishes its run unless canceled.
  // 0, or -3 for a task of no list or not in its list.
  HB_NODISCARD int32_t removeTask(IVXClientTask *task, uint32_t flags);
  // A snapshot of the user sources in identifier order (objects of hbtype 0x10000000).
  HB_NODISCARD int32_t iterateUserSources(IHBIter **out);
  // A user source with one reference for the caller; -3 when there is none.
  HB_NODISCARD int32_t findUserSource(VXClientTaskReference **out, const char *id);
  // Adds a reference (the table takes its own) under its identifier; with VXTASKQ_SAVE the user
  // sources are saved afterwards. The query's error when `ref` is not a task reference.
  HB_NODISCARD int32_t addUserSource(IHBObj *ref, uint32_t flags);
  // Removes the entry with the reference's identifier (that very reference when several share
  // it). Nothing is saved. 0, or -3.
  HB_NODISCARD int32_t removeUserSource(IHBObj *ref);
  // A new reference without URIs; without an identifier a new random one is made. One reference
  // in *out for the caller.
  HB_NODISCARD int32_t newReference(VXClientTaskReference **out, const char *cls, const char *name,
                                    const char *id, bool persist);
  // New tasks from a source reference to a destination, built by the factories of
  // vxclienttask_factory.h with a new identifier and queued. `out` (may be null) gets the task
  // with one reference when it was queued. A source that is not a reference creates nothing
  // (0; export: the query's error). A full mailbox refuses the task (logged "No root in queue";
  // 0, export -1). A factory's refusal is returned. A new auto-import starts paused (state 5);
  // once queued, the auto-imports and the user sources are saved.
  HB_NODISCARD int32_t newImportTask(VXClientTask **out, IHBObj *source, IHBURI *destination,
                                     int32_t cls, uint32_t flags);
  HB_NODISCARD int32_t newExportTask(VXClientTask **out, IHBObj *source, IHBURI *destination);
  HB_NODISCARD int32_t newAutoImportTask(VXClientTask **out, IHBObj *source, IHBURI *destination,
                                         int32_t cls, uint32_t flags);
  // Writes the auto-imports of `iter` (items answering the task interface) or, without one, of
  // the list (only while signed in) into "autoimports" of `store` (null: the default store).
  // Tasks without a readable source, destination or source identifier are left out. 0, or the
  // store's failure.
  int32_t saveAutoImports(HBProperties *store, IHBIter *iter);
  // Restores the saved auto-imports of `store` (null: the default store): each usable entry
  // becomes a task (its source taken from the user sources when one has its identifier), set to
  // its saved state and queued; 0, 1, 2 and 6 then get setPaused(0), 4 and 5 setPaused(1).
  // Entries already in the list are passed over. `out` (may be null) gets an iterator over the
  // restored tasks. Returns 0 (missing or unreadable texts restore nothing).
  int32_t loadAutoImports(HBProperties *store, IHBIter **out);
  // The source identifier of the last saved auto-import whose source has class `cls`, or a new
  // random one, written into `buffer` (`size` bytes, at least 33 for a new one). Returns 0, -6
  // for a buffer too small. `flags` is ignored.
  HB_NODISCARD int32_t findSourceIDByClass(const char *cls, char *buffer, int32_t size,
                                           uint32_t flags);

  // ---- Beyond the fixed operations ----

  // Queues a run of `task` and appends it to the list of its type (the list takes a
  // reference). -1 when the mailbox is full ("No root in queue"; the task is in no list), -5
  // after shutdown.
  HB_NODISCARD int32_t queueTask(VXClientTask *task);
  // Queues one more run of a task already in a list (an auto-import resuming or retrying). -1
  // when the mailbox is full, -5 after shutdown.
  HB_NODISCARD int32_t requeueTask(VXClientTask *task);
  // Writes the persisted user sources into "usersources". 0, or the store's failure.
  int32_t saveUserSources();
  bool signedIn();
  // Whether this queue runs the backups of the user (it holds the backups lock).
  bool ownsBackups();
  // Queues a run as queueTask does; with `backlog` a full mailbox keeps the run for later
  // instead of refusing the task.
  HB_NODISCARD int32_t queueTask(VXClientTask *task, bool backlog);

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;
  IHBObj *obj() { return this; }

 private:
  friend class HBObject<VXClientTaskQueue, IHBObj>;
  VXClientTaskQueue() = default;
  ~VXClientTaskQueue() override;

  static void threadMain(void *queue);
  void run();
  void tick();
  std::vector<HBRef<VXClientTask>> *listOf(int32_t type);
  int32_t put(VXClientTask *task);
  void dropAutoImports();
  // Takes the backups lock for this queue (logged when another program has it).
  bool claimOwner();
  // Moves runs from the backlog into the mailbox while there is room.
  void drainBacklog();
  int32_t putOrKeep(VXClientTask *task, bool backlog);
  HB_NODISCARD int32_t newTask(VXClientTask **out, int32_t type, IHBObj *source,
                               IHBURI *destination, int32_t cls, uint32_t flags);

  BRMutex m_lock;  // the lists, the user sources, the token and the stopping flag
  bool m_hasToken = false;
  std::string m_token;
  std::vector<HBRef<VXClientTask>> m_imports;
  std::vector<HBRef<VXClientTask>> m_autoImports;
  std::vector<HBRef<VXClientTask>> m_exports;
  std::multimap<std::string, HBRef<VXClientTaskReference>> m_sources;
  bool m_stopping = false;
  std::deque<HBRef<VXClientTask>> m_backlog;  // runs waiting for room in the mailbox
  std::set<std::string> m_removedIDs;         // auto-imports removed here: dropped when saving
  bool m_ownsBackups = false;                 // holds the backups lock
  bool m_waitsForOwner = false;               // signed in while another program runs backups
  bool m_loadPending = false;                 // the saved auto-imports could not be read

  BRMutex m_shutdownLock;  // one shutdown at a time; never held with m_lock while waiting
  BRQueue *m_mailbox = nullptr;
  BRThread *m_thread = nullptr;
};

// The process-wide queue. setGlobal takes a reference (null clears, releasing the old one);
// getGlobal hands one to the caller, or returns -3 when there is none.
void vxclienttaskqueue__setGlobal(VXClientTaskQueue *queue);
HB_NODISCARD int32_t vxclienttaskqueue__getGlobal(VXClientTaskQueue **out);
HB_NODISCARD int32_t vxclienttaskqueue__getGlobal(HBRef<VXClientTaskQueue> &out);

// Start-up: registers the user's Pictures folder (class "photo") and Documents folder (class
// "documents") as user sources that are not persisted, each with the identifier
// findSourceIDByClass gives, so saved auto-imports find them again. A folder that does not exist
// is passed over. Returns how many were added.
int32_t vxclienttaskqueue__addDefaultSources(VXClientTaskQueue *queue);

// The setting of the browser key that says whether new backups take videos: "0" off, anything
// else (or none) on. Tasks keep the choice made at their creation (TASK_FLAG_BACKUP_VIDEOS).
#define VXTASKQ_SETTING_BACKUP_VIDEOS "backupvideos"
// Whether new backups take videos (the setting above, in the default store).
bool vxclienttaskqueue__backupVideos();

// One program per user runs the backups: the holder of the lock file "backups.lock" in the data
// folder (flock, the holder's pid inside). Takes it for this process without waiting (counted:
// each claim wants one release): 0; -9 (Busy) when another process holds it, with its pid in
// *ownerPid (may be null; 0 when unknown); other failures (no data folder) as they come.
HB_NODISCARD int32_t vxclienttaskqueue__claimBackups(int32_t *ownerPid);
// Gives one claim back; the last one lets the lock go.
void vxclienttaskqueue__releaseBackups();
// The text said when another program runs the backups.
std::string vxclienttaskqueue__otherOwnerText(int32_t pid);

// ---- The saved texts, as the queue reads them ----

// One usable entry of "autoimports".
struct VXSavedAutoImport {
  std::string taskId;
  int32_t taskClass = 0;
  uint32_t flags = 0;
  int32_t state = 0;
  HBRef<VXClientTaskReference> source;  // built from "taskSrcRef"
  HBRef<IHBZVURI> destination;          // "taskDestURI", else the first URI of "taskDestRef"
};

// Reads an "autoimports" text. Entries without "taskID", "taskClass", the object "taskSrcRef"
// or a drive-URI destination are passed over and counted in *skipped (may be null). Returns the
// number of usable entries, or -6 when the text is not a JSON object (a cut text included).
HB_NODISCARD int32_t vxclienttaskqueue__parseAutoImports(const char *text,
                                                         std::vector<VXSavedAutoImport> *out,
                                                         int32_t *skipped);
// Reads a "usersources" text: each object of "userSources" with a "taskRefID" becomes a
// persisted reference; others are counted in *skipped. Returns the count, or -6 as above.
HB_NODISCARD int32_t vxclienttaskqueue__parseUserSources(
    const char *text, std::vector<HBRef<VXClientTaskReference>> *out, int32_t *skipped);

// ---- Test hooks ----

// Factories that replace those of vxclienttask_factory.h while installed (null restores them).
struct VXClientTaskFactoryTable {
  int32_t (*newImport)(VXClientTask **out, const char *taskId, int32_t taskClass, uint32_t flags,
                       VXClientTaskReference *source, IHBURI *destination);
  int32_t (*newExport)(VXClientTask **out, const char *taskId, VXClientTaskReference *source,
                       IHBURI *destination);
  int32_t (*newAutoImport)(VXClientTask **out, const char *taskId, int32_t taskClass,
                           uint32_t flags, VXClientTaskReference *source, IHBURI *destination,
                           VXClientTaskQueue *queue);
};
void vxclienttaskqueue__setFactoryForTest(const VXClientTaskFactoryTable *table);
