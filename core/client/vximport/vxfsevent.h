// Folder watchers: tell their receivers that something changed below a watched folder.
//
// A watcher is made for one source URI (vxfsevent__makeFolderWatcher) and reports to every
// receiver (IVXFSEventSink) added to it. Reports come from the watcher thread "FSEVENT" only
// after the folder tree has been quiet for 30 s, so a burst of changes gives one report, and the
// report names the watched folder, never the file; a tree that never stays quiet reports at the
// latest 3 minutes after its first unreported change. One thread serves all watchers of the
// process, at most 64 of them; further watchers exist but never report ("No room for FS
// listener"). A watched folder that goes away (deleted, its disk unplugged) or is not there yet
// is waited for, and watched again, with a report, once it is back.
//
// This header is the platform-neutral side: the event, the receiver and watcher interfaces and
// the receiver list every watcher shares. vxfsevent_posix.cc is the local folder watcher.
// Log tag "VXFSEV".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "brerror.h"
#include "brthread.h"
#include "hbmap.h"
#include "hbobj.h"
#include "hburl.h"
#include "vxwatchtable.h"

enum : int32_t { VXIFC_FSEVENT = 0x30020106 };
// Event types: 0 from a coalescing (drive) watcher, 1 from a local folder watcher.
enum : int32_t { VXFSEVENT_TYPE_COALESCED = 0, VXFSEVENT_TYPE_FOLDER = 1 };

// Quiet time before a report.
#define VXFSEVENT_QUIET_MS 30000
// The longest a change waits for its report while changes keep coming.
#define VXFSEVENT_MAX_DELAY_MS 180000

struct IVXFSEvent : IHBObj {
  static constexpr int32_t kIfc = VXIFC_FSEVENT;
  virtual int32_t getEventType() = 0;
  // The changed location with one reference for the caller; -3 when the event has none.
  HB_NODISCARD virtual int32_t getEventURI(IHBURI **out) = 0;
  // 1 when the URI is a folder.
  virtual int32_t isFolder() = 0;
};

class VXFSEvent final : public HBObject<VXFSEvent, IVXFSEvent> {
 public:
  // Takes a reference to `uri`. One reference in `out` for the caller.
  HB_NODISCARD static int32_t create(int32_t type, IHBURI *uri, int32_t folder,
                                     HBRef<VXFSEvent> &out);
  int32_t getEventType() override { return m_type; }
  HB_NODISCARD int32_t getEventURI(IHBURI **out) override;
  int32_t isFolder() override { return m_folder; }
  // Answers 0x10000000 and 0x30020106.
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 private:
  friend class HBObject<VXFSEvent, IVXFSEvent>;
  VXFSEvent() = default;
  ~VXFSEvent() override = default;
  int32_t m_type = VXFSEVENT_TYPE_FOLDER;
  HBRef<IHBURI> m_uri;
  int32_t m_folder = 1;
};

// A receiver of folder events. Called from the watcher thread without any watcher lock held.
struct IVXFSEventSink : IHBObj {
  // `events` iterates IVXFSEvent objects (item type 0x30020106). 0 when taken; Inprogress (-22)
  // when the receiver cannot take them now (the watcher then reports again after another quiet
  // time); any other failure drops them.
  virtual int32_t receiveFSEvents(IHBIter *events) = 0;
};

struct IVXFSEventer : IHBObj {
  // Adds a receiver (referenced by the list); `flags` are not used. 0.
  HB_NODISCARD virtual int32_t addSink(IVXFSEventSink *sink, uint32_t flags) = 0;
  // Removes a receiver and releases its reference. 0, or -3 when it was not added.
  HB_NODISCARD virtual int32_t removeSink(IVXFSEventSink *sink) = 0;
  // Calls receiveFSEvents(events) of every receiver outside the lock. 0; a failing receiver's
  // code when it is the only one; -1 when one of several failed.
  virtual int32_t notifySinks(IHBIter *events) = 0;
  // notifySinks with a list holding only `event`.
  virtual int32_t notifyOne(IVXFSEvent *event) = 0;
  // Folders of the tree that could not be watched (the system's watch limit, no permission),
  // as local paths. Changes below them go unnoticed until watching them succeeds; the watcher
  // tries again after each report. Returns their number.
  virtual int32_t unwatchedFolders(std::vector<std::string> *out) = 0;
  // 1 while the watched folder exists and is watched; 0 while it is gone (deleted, on a disk
  // that is not plugged in, not made yet), when the watcher waits for it to come back.
  virtual int32_t isAvailable() = 0;
};

// The receiver list of every watcher.
class VXFSEventer : public HBObject<VXFSEventer, IVXFSEventer> {
 public:
  HB_NODISCARD int32_t addSink(IVXFSEventSink *sink, uint32_t flags) override;
  HB_NODISCARD int32_t removeSink(IVXFSEventSink *sink) override;
  int32_t notifySinks(IHBIter *events) override;
  int32_t notifyOne(IVXFSEvent *event) override;
  int32_t unwatchedFolders(std::vector<std::string> *out) override;
  int32_t isAvailable() override { return 1; }
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

  // The watched URI (borrowed).
  IHBURI *watchedURI() const { return m_uri.get(); }
  // The receivers, each with a reference, copied under the lock.
  std::vector<HBRef<IVXFSEventSink>> sinks();
  // Delivers `event` to `sinks` (results as notifySinks).
  static int32_t deliver(const std::vector<HBRef<IVXFSEventSink>> &sinks, IVXFSEvent *event);

 protected:
  explicit VXFSEventer(IHBURI *uri);
  ~VXFSEventer() override = default;

 private:
  friend class HBObject<VXFSEventer, IVXFSEventer>;
  HBRef<IHBURI> m_uri;
  VXSinkList<IVXFSEventSink> m_sinks;
};

// A watcher for `uri`: a "file" URL of a local folder gives the local folder watcher
// (vxfsevent_posix.h), also when the folder is not there yet; a drive URI gives No Entry (-3), as
// no drive file system reports changes in this program; anything else is Unsupported (-16). One
// reference in *out for the caller.
HB_NODISCARD int32_t vxfsevent__makeFolderWatcher(IVXFSEventer **out, IHBURI *uri);
