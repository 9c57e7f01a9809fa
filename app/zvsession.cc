// Sign-in, sign-out and the session's small state.
#include "zvsession.h"

#include <mutex>
#include <vector>

#include "appmsg.h"
#include "brlog.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "vxclienttaskqueue.h"
#include "vxsvccache.h"
#include "zvbrowser.h"
#include "zvfsmanager.h"

namespace {

constexpr const char *kTag = "ZVBROWSER";
constexpr size_t kDriveFieldMax = 255;

struct SessionState {
  ZVSelectedDrive drive;  // main thread
  int32_t fileIndex = 0;  // main thread
  HBMap *user = nullptr;  // under zvbrowser__userLock()
};

SessionState &state() {
  static SessionState *s = new SessionState;
  return *s;
}

std::string cut(const std::string &text) {
  return text.size() > kDriveFieldMax ? text.substr(0, kDriveFieldMax) : text;
}

void userDetailsJob() {
  std::string token;
  if (hbsvc__getValtoken(&token) < 0 || token.empty()) return;
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = hbsvc__newCall(rpc.out());
  if (rc >= 0) rc = hbsvc__getUser(rpc.get(), token.c_str());
  HBRef<HBMap> user;
  if (rc >= 0) user = HBRef<HBMap>::adopt(rpc->getArgmentMap("user"));
  if (rc < 0 || !user) {
    brlog(kTag, BRLOG_WARNING, "LOGIN: Failed to get user details %d %d\n", rc,
          rpc ? rpc->getErrorCode() : -1);
    return;
  }
  std::lock_guard<std::mutex> lock(zvbrowser__userLock());
  HBMap *old = state().user;
  state().user = user.detach();
  if (old) old->dnref();
}

}  // namespace

int32_t zvsession__signIn(const char *token) {
  if (!token || !*token) {
    brlog(kTag, BRLOG_WARNING, "LOGIN: An empty session token was ignored\n");
    return BR_EINVAL;
  }
  // 1. The stored token.
  if (hbsvc__setValtoken(token) < 0) brlog(kTag, BRLOG_ERROR, "LOGIN: Cannot store the token\n");
  // 2. The service cache, without starting a thread.
  (void)vxsvccache__init(token, false);
  // 3. The task queue, which restores the saved auto-imports.
  HBRef<VXClientTaskQueue> queue;
  if (vxclienttaskqueue__getGlobal(queue) == 0) (void)queue->setSessionToken(token);
  // 4. The drive mount manager remounts with it.
  if (HBRef<IZVFSManager> fs = zvfsmanager__get()) fs->setSessionToken(token);
  // 5. The windows follow.
  (void)appmsg__post(MSG_SESSION_CHANGED, 1, 0);
  return BR_OK;
}

void zvsession__signOut() {
  // 1. The drive mount manager lets go of the token and of every drive.
  if (HBRef<IZVFSManager> fs = zvfsmanager__get()) {
    fs->dropSessionToken();
    fs->unmountAll();
  }
  // 2. The task queue saves and lets go of the auto-imports.
  HBRef<VXClientTaskQueue> queue;
  if (vxclienttaskqueue__getGlobal(queue) == 0) (void)queue->setSessionToken(nullptr);
  // 3. The service cache forgets the user's drives.
  vxsvccache__flush();
  // 4. No token is stored any more.
  (void)hbsvc__setValtoken(nullptr);
  // 5. The windows follow.
  (void)appmsg__post(MSG_SESSION_CHANGED, 2, 0);
  // 6. The pages' state starts over.
  state().fileIndex = 0;
  zvsession__forgetDrive();
}

void zvsession__queueUserDetails() {
  if (zvbrowser__postJob(userDetailsJob) < 0)
    brlog(kTag, BRLOG_WARNING, "LOGIN: The user details job could not be queued\n");
}

int32_t zvsession__userDetails(HBMap **out) {
  std::lock_guard<std::mutex> lock(zvbrowser__userLock());
  if (!state().user) return BR_ENOENT;
  state().user->upref();
  *out = state().user;
  return BR_OK;
}

void zvsession__releaseUserDetails() {
  HBMap *old;
  {
    std::lock_guard<std::mutex> lock(zvbrowser__userLock());
    old = state().user;
    state().user = nullptr;
  }
  if (old) old->dnref();
}

const ZVSelectedDrive &zvsession__selectedDrive() {
  return state().drive;
}

void zvsession__selectDrive(const ZVSelectedDrive &drive) {
  state().drive = {cut(drive.device), cut(drive.service), cut(drive.name)};
  HBRef<IZVFSManager> fs = zvfsmanager__get();
  if (fs && fs->driveOn()) fs->remountForSelected(state().drive.device.c_str());
}

void zvsession__forgetDrive() {
  state().drive = ZVSelectedDrive();
}

void zvsession__selectDriveFromHivedest(const char *value) {
  std::string device = value ? value : "";
  device = cut(device.substr(0, device.find(':')));
  const int32_t rc = zvbrowser__postJob([device] {
    HBRef<IZVFSManager> fs = zvfsmanager__get();
    std::vector<ZVDriveRecord> drives;
    if (!fs || fs->listDrives(&drives) < 0) return;
    (void)appmsg__postCall([device, drives] {
      // One drive is the user's drive whatever device the pages named; otherwise the last
      // drive of that device.
      const ZVDriveRecord *chosen = drives.size() == 1 ? &drives[0] : nullptr;
      if (!chosen)
        for (const ZVDriveRecord &d : drives)
          if (d.device == device) chosen = &d;
      if (chosen) zvsession__selectDrive({chosen->device, chosen->service, chosen->name});
    });
  });
  if (rc < 0) brlog(kTag, BRLOG_WARNING, "The drive selection could not be queued\n");
}

int32_t zvsession__fileIndex() {
  return state().fileIndex;
}

void zvsession__setFileIndex(int32_t index) {
  state().fileIndex = index;
}
