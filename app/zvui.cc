// The main window's handling of session changes, tray events and commands.
#include "zvui.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "appmsg.h"
#include "appplatform.h"
#include "brlog.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbstr.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "zvbrowser.h"
#include "zvfsmanager.h"
#include "zvsession.h"

namespace {

constexpr const char *kTag = "ZVBROWSER";
constexpr size_t kNoticePartMax = 1023;

// Only one partner-page job at a time.
std::atomic<int> g_partnerJobs{0};
// What the last drive check found (main thread); the menu shows it until the next answer.
bool g_hasDrives = false;

ZVWindows *windows() {
  return zvbrowser__windows();
}

void logNavigate(const char *who, const char *address) {
  brlog(kTag, BRLOG_INFO, "%s->Navigate('%-.*s')\n", who, static_cast<int>(strlen(address)),
        address);
}

// "Switching the drive on or off" always means applying the drive setting.
void switchDrive(bool on) {
  if (HBRef<IZVFSManager> fs = zvfsmanager__get()) fs->applyDriveSetting(on ? "1" : "0");
}

bool driveOn() {
  HBRef<IZVFSManager> fs = zvfsmanager__get();
  return fs && fs->driveOn();
}

// Switches the drive on when the manager has settings and the drive is off.
void connectDrive() {
  HBRef<IZVFSManager> fs = zvfsmanager__get();
  if (fs && fs->hasSettings() && !fs->driveOn()) fs->applyDriveSetting("1");
}

void postOpenURL(const char *url) {
  HBRef<HBStrHeap> text;
  if (HBStrHeap::create(url, text) < 0) return;
  (void)appmsg__post(MSG_OPEN_URL,
                     reinterpret_cast<uintptr_t>(static_cast<IHBStr *>(text.detach())), 0);
}

// generateGoURL with the token and `path`; the call's result, the service error in *error.
int32_t goURL(const std::string &token, const char *path, int32_t *error) {
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = hbsvc__newCall(rpc.out());
  if (rc >= 0) rc = hbsvc__generateGoURL(rpc.get(), token.c_str(), path);
  *error = rpc ? rpc->getErrorCode() : -1;
  return rc;
}

void partnerPage() {
  if (g_partnerJobs.fetch_add(1) != 0) {
    g_partnerJobs.fetch_sub(1);
    return;
  }
  const int32_t rc = zvbrowser__postJob([] {
    std::string token;
    if (hbsvc__getValtoken(&token) == 0) {
      int32_t error = -1;
      const int32_t result = goURL(token, "view", &error);
      if (result < 0)
        brlog(kTag, BRLOG_WARNING, "LOGIN: Failed to get gourl (for help) %d %d\n", result, error);
      else
        postOpenURL(ZVBROWSER_URL_PARTNER);
    }
    g_partnerJobs.fetch_sub(1);
  });
  if (rc < 0) g_partnerJobs.fetch_sub(1);
}

void helpPage() {
  (void)zvbrowser__postJob([] {
    std::string token;
    (void)hbsvc__getValtoken(&token);
    int32_t error = -1;
    (void)goURL(token, "view?help=1", &error);
    postOpenURL(ZVBROWSER_URL_HELP);
  });
}

// Lists the user's drives on the worker pool, then runs `then` on the main thread with the
// listing (empty when it failed).
void withDrives(std::function<void(const std::vector<ZVDriveRecord> &)> then) {
  const int32_t rc = zvbrowser__postJob([then] {
    std::vector<ZVDriveRecord> drives;
    if (HBRef<IZVFSManager> fs = zvfsmanager__get())
      if (fs->listDrives(&drives) < 0) drives.clear();
    (void)appmsg__postCall([then, drives] { then(drives); });
  });
  if (rc < 0) brlog(kTag, BRLOG_WARNING, "The drive check could not be queued\n");
}

bool listed(const std::vector<ZVDriveRecord> &drives, const std::string &device,
            const std::string &service) {
  for (const ZVDriveRecord &d : drives)
    if (d.device == device && d.service == service) return true;
  return false;
}

void showMainPage() {
  logNavigate("Browser", ZVBROWSER_PAGE_MAIN);
  windows()->navigate(ZVWIN_MAIN, ZVBROWSER_PAGE_MAIN);
  windows()->show(ZVWIN_MAIN);
}

void signedIn() {
  ZVWindows *w = windows();
  // 1. A drive that is off is switched on (mounting).
  connectDrive();
  // 2. A hidden start ends once the user has seen the login window.
  if (zvbrowser__hiddenStart() && w->visible(ZVWIN_LOGIN)) zvbrowser__clearHiddenStart();
  // 3. The login window gives its place to the main window.
  if (w->visible(ZVWIN_LOGIN)) {
    w->rememberCentre(ZVWIN_LOGIN);
    w->hide(ZVWIN_LOGIN);
  }
  // 4. The main page.
  logNavigate("Browser", ZVBROWSER_PAGE_MAIN);
  w->navigate(ZVWIN_MAIN, ZVBROWSER_PAGE_MAIN);
  // 5. Shown, unless the start was hidden.
  if (zvbrowser__hiddenStart())
    zvbrowser__clearHiddenStart();
  else
    w->show(ZVWIN_MAIN);
  // 6. The drive stays on.
  connectDrive();
  // 7. The user's details, off the main thread.
  zvsession__queueUserDetails();
  zvui__refreshTrayMenu(false);
}

void signedOut() {
  ZVWindows *w = windows();
  // 1. The main and preferences windows go.
  if (w->visible(ZVWIN_MAIN)) w->rememberCentre(ZVWIN_MAIN);
  w->hide(ZVWIN_MAIN);
  w->hide(ZVWIN_PREFS);
  // 2. Session cookies go with the session.
  w->endBrowserSession();
  // 3. The plain login page.
  if (w->visible(ZVWIN_LOGIN)) {
    brlog(kTag, BRLOG_INFO, "Login->Refresh2() -- Already on login page\n");
    w->reload(ZVWIN_LOGIN);
    if (driveOn()) switchDrive(false);
  } else {
    logNavigate("Login", ZVBROWSER_PAGE_LOGIN);
    w->navigate(ZVWIN_LOGIN, ZVBROWSER_PAGE_LOGIN);
  }
  // 4. Shown where the others were.
  w->show(ZVWIN_LOGIN);
  // 5. Nobody's details any more.
  zvsession__releaseUserDetails();
  zvui__refreshTrayMenu(false);
}

}  // namespace

const char *zvwindows__name(ZVWindowId id) {
  switch (id) {
    case ZVWIN_MAIN:
      return "main";
    case ZVWIN_LOGIN:
      return "login";
    case ZVWIN_PREFS:
      return "prefs";
    default:
      return nullptr;
  }
}

bool zvwindows__fromName(const char *name, ZVWindowId *out) {
  for (int i = 0; i < ZVWIN_COUNT; ++i)
    if (name && strcmp(name, zvwindows__name(static_cast<ZVWindowId>(i))) == 0) {
      *out = static_cast<ZVWindowId>(i);
      return true;
    }
  return false;
}

void zvui__sessionChanged(uintptr_t state) {
  if (state == 1)
    signedIn();
  else if (state == 2)
    signedOut();
}

void zvui__trayEvent(intptr_t event) {
  if (event == ZVTRAY_RBUTTONUP || event == ZVTRAY_CONTEXTMENU) {
    zvui__refreshTrayMenu(true);
    windows()->popupTrayMenu();
  } else if (event == ZVTRAY_LBUTTONDBLCLK) {
    (void)zvui__command(ZVCMD_OPEN);
  }
}

bool zvui__command(uint32_t command) {
  ZVWindows *w = windows();
  switch (command) {
    case ZVCMD_OPEN:
      (void)appmsg__post(MSG_SESSION_CHANGED, hbsvc__isSignedIn() ? 1 : 2, 0);
      return true;
    case ZVCMD_PARTNER:
      partnerPage();
      return true;
    case ZVCMD_HELP:
      helpPage();
      return true;
    case ZVCMD_SESSION_END:
      (void)zvbrowser__saveWindowState();
      if (driveOn()) switchDrive(false);
      w->release();
      zvbrowser__quit(0);
      return true;
    case ZVCMD_OPEN_DRIVE:
      if (hbsvc__isSignedIn()) {
        if (!driveOn()) switchDrive(true);
        if (HBRef<IZVFSManager> fs = zvfsmanager__get()) fs->openDrive();
      }
      return true;
    case ZVCMD_REMOUNT:
      if (hbsvc__isSignedIn())
        if (HBRef<IZVFSManager> fs = zvfsmanager__get()) {
          fs->unmountAll();
          if (fs->driveOn()) (void)fs->mountAll();
        }
      return true;
    case ZVCMD_PREFERENCES:
      logNavigate("Preferences", ZVBROWSER_PAGE_PREFS);
      w->navigate(ZVWIN_PREFS, ZVBROWSER_PAGE_PREFS);
      w->show(ZVWIN_PREFS);
      return true;
    case ZVCMD_LOGIN_LOGOUT:
      zvsession__signOut();
      (void)hbproperties__setDefaultString("currentState", "start");
      if (driveOn()) switchDrive(false);
      return true;
    case ZVCMD_CONNECT_DRIVE:
      connectDrive();
      return true;
    case ZVCMD_CHECK_DRIVE: {
      const ZVSelectedDrive selected = zvsession__selectedDrive();
      withDrives([selected](const std::vector<ZVDriveRecord> &drives) {
        if (!listed(drives, selected.device, selected.service)) showMainPage();
      });
      return true;
    }
    default:
      return false;
  }
}

std::vector<ZVTrayItem> zvui__trayMenu(bool hasDrives, bool signedIn) {
  char version[64];
  snprintf(version, sizeof version, "Version: 0%d.0%d.%d.%d", 1, 1, 11, 0);
  std::vector<ZVTrayItem> items;
  items.push_back({ZVCMD_DRIVE_STATE,
                   std::string(ZVBROWSER_TITLE) +
                       (hasDrives ? ": (Drive connected)" : ": (Drive not connected)"),
                   false});
  items.push_back({ZVCMD_VERSION, version, false});
  items.push_back({ZVCMD_LOGIN_LOGOUT, signedIn ? "Logout" : "Login", true});
  items.push_back({0, "", true});
  items.push_back({ZVCMD_PARTNER, "Go to Pellix Online", signedIn});
  items.push_back({ZVCMD_HELP, "Help...", true});
  items.push_back({ZVCMD_EXIT, "Exit", true});
  return items;
}

void zvui__refreshTrayMenu(bool applyDrive) {
  const bool signedIn = hbsvc__isSignedIn();
  if (!signedIn) g_hasDrives = false;
  windows()->setTrayMenu(zvui__trayMenu(g_hasDrives, signedIn));
  std::string token;
  if (hbsvc__getValtoken(&token) < 0) {
    if (applyDrive) switchDrive(false);
    return;
  }
  // Whether the user has drives is a service call: asked on the worker pool, answered here.
  const int32_t rc = zvbrowser__postJob([token, applyDrive] {
    HBRef<HBRPCGeneric> rpc;
    int32_t rc = hbsvc__newCall(rpc.out());
    if (rc >= 0) rc = hbsvc__listServices(rpc.get(), token.c_str());
    bool has = false;
    if (rc >= 0) {
      HBRef<IHBIter> services = HBRef<IHBIter>::adopt(rpc->getArgmentIterator("services"));
      hbtype_t type = HBTYPE_ANY;
      void *item;
      if (services && services->next(&type, &item) == 0) {
        has = true;
        if (!hbtype__isRaw(type)) static_cast<IHBObj *>(item)->dnref();
      }
    }
    (void)appmsg__postCall([has, applyDrive] {
      g_hasDrives = has;
      windows()->setTrayMenu(zvui__trayMenu(has, hbsvc__isSignedIn()));
      if (applyDrive) switchDrive(has);
    });
  });
  if (rc < 0) brlog(kTag, BRLOG_WARNING, "The tray's drive check could not be queued\n");
}

void zvui__openURL(const char *url) {
  if (!url || !*url) return;
  std::string token;
  if ((hbsvc__getValtoken(&token) == 0 && strstr(url, token.c_str())) ||
      strstr(url, "access_token=")) {
    brlog(kTag, BRLOG_WARNING, "An address carrying the session token was not opened\n");
    return;
  }
  if (appplatform__openURL(url) < 0)
    brlog(kTag, BRLOG_ERROR, "Cannot open the address in the desktop's browser\n");
}

void zvui__copyData(uintptr_t kind, const char *data, uint32_t size) {
  if (kind != 1 || !data) return;
  // "name::service::device", each part at most 1023 bytes, at most three parts read.
  const std::string text(data, strnlen(data, size));
  std::string parts[3];
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t end = text.find("::", start);
    parts[i] = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (parts[i].size() > kNoticePartMax) parts[i].resize(kNoticePartMax);
    if (end == std::string::npos) break;
    start = end + 2;
  }
  const std::string name = parts[0], service = parts[1], device = parts[2];
  withDrives([name, service, device](const std::vector<ZVDriveRecord> &drives) {
    if (drives.empty()) {
      showMainPage();
    } else if (!listed(drives, device, service)) {
      windows()->callPageFunction(ZVWIN_MAIN, "yto_driveNotAvailable", name.c_str(),
                                  service.c_str(), device.c_str());
      windows()->show(ZVWIN_MAIN);
    }
  });
}
