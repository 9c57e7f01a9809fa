// Sign-in and sign-out, the user's details, and the state the pages keep in the program (the
// selected drive and the current file index).
//
// The program is signed in exactly while a non-empty `valtoken` is stored. Sign-in and sign-out
// run on the main thread and keep the settings, the service cache, the task queue and the drive
// mount manager in step; the window changes follow through MSG_SESSION_CHANGED.
#pragma once

#include <cstdint>
#include <string>

#include "hbmap.h"

// Signs in with `token`: stores it, hands it to the service cache, the task queue and the drive
// mount manager, and posts MSG_SESSION_CHANGED 1. An empty or missing token means signed out
// everywhere else, so it is refused (logged) and nothing changes. Returns 0 or -6.
HB_NODISCARD int32_t zvsession__signIn(const char *token);
// Signs out: the drive mount manager drops its token and unmounts, the task queue's token is
// cleared, the service cache flushed, `valtoken` deleted, MSG_SESSION_CHANGED 2 posted, and the
// current file index and the selected drive reset.
void zvsession__signOut();

// Queues the user-details job on the worker pool: getUser with the stored token, the answer's
// "user" map kept as the user details record.
void zvsession__queueUserDetails();
// The user details record with one reference for the caller: 0, or -3 when there is none.
HB_NODISCARD int32_t zvsession__userDetails(HBMap **out);
// Drops the user details record (sign-out).
void zvsession__releaseUserDetails();

// The selected drive (main thread): device identifier, service identifier, drive name, each cut
// to 255 bytes.
struct ZVSelectedDrive {
  std::string device;
  std::string service;
  std::string name;
};
const ZVSelectedDrive &zvsession__selectedDrive();
void zvsession__selectDrive(const ZVSelectedDrive &drive);
// Forgets the selected drive (sign-out, Exit).
void zvsession__forgetDrive();

// Selects the drive a "hivedest" value (device ":" service) names. The drive listing is a
// service call, so it runs on the worker pool; the selection follows on the main thread.
void zvsession__selectDriveFromHivedest(const char *value);

// The current file index the pages store (main thread); 0 at start and after sign-out.
int32_t zvsession__fileIndex();
void zvsession__setFileIndex(int32_t index);
