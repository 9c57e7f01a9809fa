// The drive mount manager as the rest of the desktop program calls it.
//
// One manager per process, created at start-up after the task queue. It keeps the drive
// settings (key "SOFTWARE\\Orvane Tessel Utility\\tesselutilfs"), holds the signed-in user's
// token and starts and stops the drive helper (tesselutilfs) for each mounted drive; mounting
// and unmounting run in order on the manager's own thread.
//
// All operations but listDrives are called on the main thread; the token is guarded by the
// manager's own lock, so listDrives may run on a worker thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hbobj.h"

// Setting names of the manager's key.
#define ZVFS_SETTING_SHOWDRIVE "showdrive"
#define ZVFS_SETTING_MULTIDRIVE "multidrive"
#define ZVFS_SETTING_SHARED "show.filessharedwithme"
#define ZVFS_SETTING_LETTER "drive.letter"

// One drive of the user (a drive service of one device).
struct ZVDriveRecord {
  std::string device;
  std::string service;
  std::string name;
};

struct IZVFSManager : IHBObj {
  // True when the manager's settings store could be opened.
  virtual bool hasSettings() = 0;
  // Sign-in: keeps the token; then unmounts all and, when the drive is on, mounts all.
  virtual void setSessionToken(const char *token) = 0;
  // Sign-out, session end, shutdown: drops the token under the lock. Callers then unmount all.
  virtual void dropSessionToken() = 0;

  // The settings: `showdrive` (default on), `multidrive` (default on), shared files (default
  // off), the first letter of `drive.letter` ("H" when missing).
  virtual bool driveOn() = 0;
  virtual bool multiDrive() = 0;
  virtual bool sharedFiles() = 0;
  virtual char driveLetter() = 0;

  // Nothing when `showdrive` already has this value; otherwise as applyDriveSetting.
  virtual void setDriveOn(bool on) = 0;
  // Writes `showdrive` ("1" or "0") and brings the mounts to it: off unmounts all; on mounts
  // the drives not mounted yet and unmounts those no longer wanted, leaving a drive that a live
  // helper has mounted alone (ending it would end every copy into the drive).
  virtual void applyDriveSetting(const char *value) = 0;
  // Stores the upper-cased letter unless it is the current one, then remounts.
  virtual void setDriveLetter(char letter) = 0;

  // Without a token -17.
  HB_NODISCARD virtual int32_t mountAll() = 0;
  virtual void unmountAll() = 0;
  // Opens the drive's folder when it is on in single-drive mode.
  virtual void openDrive() = 0;
  // When `device` (the selected drive's) is not empty, brings the mounts up to date as
  // applyDriveSetting does.
  virtual void remountForSelected(const char *device) = 0;

  // The user's drives from listServices with the manager's token: the first service of each
  // device, in answer order. No call without a token (0, empty). 0, or the call's failure.
  // Makes a service call: never on the main thread.
  HB_NODISCARD virtual int32_t listDrives(std::vector<ZVDriveRecord> *out) = 0;

 protected:
  ~IZVFSManager() override = default;
};

// The process's manager, with one reference for the caller. 0.
HB_NODISCARD int32_t zvfsmanager__create(IZVFSManager **out);

// The process-wide manager set at start-up, held for the caller (empty when none). Any thread.
HBRef<IZVFSManager> zvfsmanager__get();
// Installs the process-wide manager (a reference is taken); null clears it.
void zvfsmanager__set(IZVFSManager *manager);
