// The drive mount manager's inside: what it asks of the system (mount points, the drive helper's
// processes and control endpoints, the service listing), so that its rules run the same against
// the real system and against a test double.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hbproperties.h"
#include "zvfsmanager.h"

// Where the drives are mounted: letter X is the folder `<drive.mountroot>/X`.
#define ZVFS_SETTING_MOUNTROOT "drive.mountroot"
// The control endpoint of a drive helper: "$XDG_RUNTIME_DIR/TesselFSChildClass-PID".
#define ZVFS_HELPER_CLASS "TesselFSChildClass"
// Tells a drive helper to unmount and exit.
#define ZVFS_MSG_MOUNT_QUIT 1124u
// The drive helper's program, beside the desktop program.
#define ZVFS_HELPER_PROGRAM "tesselutilfs"

// One drive service of the user's listing.
struct ZVServiceInfo {
  std::string device;
  std::string service;
  std::string name;
  std::string type;
  std::string online;
};

// The state of a drive letter's folder.
enum class ZVRootState {
  Free,     // no drive there
  Mounted,  // an active mount point
  Dead,     // a mount point whose helper is gone (left by a crash)
};

struct ZVFSSystem {
  virtual ~ZVFSSystem() = default;
  virtual ZVRootState rootState(char letter) = 0;
  // Unmounts the dead mount point of `letter` (fusermount3 -u) so that it can be used again.
  virtual void clearDeadMount(char letter) = 0;
  // Starts the helper with `argv` (argv[0] its path) and writes `token` and a line feed to its
  // standard input, which stays open while the helper runs. 0 with the process id, or the
  // system's error number (positive) when it could not be started.
  virtual int32_t spawn(const std::vector<std::string> &argv, const std::string &token,
                        int64_t *pid) = 0;
  // True while the process runs.
  virtual bool alive(int64_t pid) = 0;
  // Sends MSG_MOUNT_QUIT to the helper's control endpoint: 0, or -3 when it has none.
  virtual int32_t sendQuit(int64_t pid) = 0;
  // The manager is done with the process: its standard input is closed (which also tells a
  // helper that has no endpoint yet to quit) and it is reaped once it ends.
  virtual void release(int64_t pid) = 0;
  virtual void sleepMs(int ms) = 0;
  // Opens the drive folder of `letter` with the desktop's default handler.
  virtual int32_t openFolder(char letter) = 0;
  // The path of the helper program and the folder it starts in.
  virtual std::string helperPath() = 0;
  // listServices with `token`: the services in answer order, or the call's failure.
  virtual int32_t listServices(const std::string &token, std::vector<ZVServiceInfo> *out) = 0;
};

// The real system: mount points under the mount root, posix_spawn, the helper's control socket,
// xdg-open, and listServices on the default service address.
std::unique_ptr<ZVFSSystem> zvfssystem__posix();

// A manager over `system` and `settings` (null: the key is opened as at start-up). `threaded`:
// mounting and unmounting run in order on the manager's own thread (the program); otherwise on
// the caller's (tests). One reference.
HB_NODISCARD int32_t zvfsmanager__createWith(std::unique_ptr<ZVFSSystem> system,
                                             HBProperties *settings, bool threaded,
                                             IZVFSManager **out);

// The mount root: the `drive.mountroot` setting (a leading "~/" is the home folder), else
// "$HOME/Tessel".
std::string zvfsmanager__mountRoot();

// For tests: a manager's slots in use and its mounted list.
struct ZVFSSlotView {
  int index;
  int64_t pid;
  char letter;
  std::string device, service;
};
void zvfsmanager__inspect(IZVFSManager *manager, std::vector<ZVFSSlotView> *slots,
                          std::vector<ZVDriveRecord> *mounted);
// Mounts one drive into `slot` (0-63) as mount-all does: `service` may be null. The result of
// the design's mount step (0, -15 for a drive already mounted, -17 without a token).
HB_NODISCARD int32_t zvfsmanager__mountSlot(IZVFSManager *manager, const ZVServiceInfo *service,
                                            int slot, bool shares);
