// Network watchers: tell their receivers, some seconds after the machine's network changed,
// whether a network is available for backups.
//
// Each auto-import makes its own watcher (vxnetevent__makeNetWatcher). The thread "NETEVENT"
// serves every watcher of the process (at most 64; further watchers exist but never report):
// a watcher whose network has been quiet for 10 s after a change reports once, with the
// availability at that moment (and one that keeps changing reports at least every minute). A
// network is available when a default route exists or an interface other than the loopback is up
// with an address; a connection the system reports as metered counts as unavailable unless the
// setting "backup.onmetered" is "1", so a phone hotspot does not carry a photo library.
//
// This header is the platform-neutral side; vxnetevent_posix.cc watches rtnetlink.
// Log tags "VXNETE" (watchers) and "VXNETEV" (availability).
#pragma once

#include <cstdint>

#include "brerror.h"
#include "hbobj.h"
#include "vxwatchtable.h"

// Quiet time before a report.
#define VXNETEVENT_QUIET_MS 10000
// A network that keeps changing (an interface flapping, containers coming and going) reports
// at the latest this long after its first unreported change: a backup paused for a network that
// came back must not wait for the changes to stop.
#define VXNETEVENT_MAX_DELAY_MS 60000
// Event type of every network event.
enum : int32_t { VXNETEVENT_TYPE_CHANGE = 1 };

struct IVXNetEvent : IHBObj {
  virtual int32_t getEventType() = 0;
  // Nonzero when a network is available.
  virtual int32_t isAvailable() = 0;
};

class VXNetEvent final : public HBObject<VXNetEvent, IVXNetEvent> {
 public:
  // One reference in `out` for the caller.
  static void create(int32_t type, int32_t available, HBRef<VXNetEvent> &out);
  int32_t getEventType() override { return m_type; }
  int32_t isAvailable() override { return m_available; }
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 private:
  friend class HBObject<VXNetEvent, IVXNetEvent>;
  VXNetEvent() = default;
  ~VXNetEvent() override = default;
  int32_t m_type = VXNETEVENT_TYPE_CHANGE;
  int32_t m_available = 0;
};

// A receiver of network events, called from the thread without any watcher lock held.
struct IVXNetEventSink : IHBObj {
  // The result is not used.
  virtual int32_t receiveNetEvent(IVXNetEvent *event) = 0;
};

struct IVXNetEventer : IHBObj {
  // Nonzero when a network is available for backups now (metered networks included only with
  // "backup.onmetered" "1").
  virtual int32_t isNetworkAvailable() = 0;
  // Adds a receiver (referenced by the list); `flags` are not used. 0.
  HB_NODISCARD virtual int32_t addSink(IVXNetEventSink *sink, uint32_t flags) = 0;
  // Removes a receiver and releases its reference. 0, or -3 when it was not added.
  HB_NODISCARD virtual int32_t removeSink(IVXNetEventSink *sink) = 0;
  // Calls receiveNetEvent(event) of every receiver outside the lock. 0.
  virtual int32_t notifySinks(IVXNetEvent *event) = 0;
};

// The receiver list of every network watcher.
class VXNetEventer : public HBObject<VXNetEventer, IVXNetEventer> {
 public:
  HB_NODISCARD int32_t addSink(IVXNetEventSink *sink, uint32_t) override {
    return m_sinks.add(sink);
  }
  HB_NODISCARD int32_t removeSink(IVXNetEventSink *sink) override { return m_sinks.remove(sink); }
  int32_t notifySinks(IVXNetEvent *event) override {
    deliver(m_sinks.copy(), event);
    return BR_OK;
  }
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

  std::vector<HBRef<IVXNetEventSink>> sinks() { return m_sinks.copy(); }
  static void deliver(const std::vector<HBRef<IVXNetEventSink>> &sinks, IVXNetEvent *event);

 protected:
  VXNetEventer() = default;
  ~VXNetEventer() override = default;

 private:
  friend class HBObject<VXNetEventer, IVXNetEventer>;
  VXSinkList<IVXNetEventSink> m_sinks;
};

// A new watcher of this machine's network (in the network namespace of the calling thread).
// -1 when the system refuses the notification ("Failed to add network interface listener").
// One reference in *out for the caller.
HB_NODISCARD int32_t vxnetevent__makeNetWatcher(IVXNetEventer **out);

// Whether the system reports the connection as metered: a source that tests may replace (null
// restores the system's, which asks GIO's network monitor, "network-metered"). The source
// returns nonzero for metered.
typedef int32_t (*vxnetevent_meteredfn)();
void vxnetevent__setMeteredSource(vxnetevent_meteredfn source);
// The system's source.
int32_t vxnetevent__systemMetered();
// Applies the metered rule to a base availability: unavailable when metered, unless
// "backup.onmetered" is "1".
int32_t vxnetevent__applyMetered(int32_t available);
