// The desktop program's spine: options, single instance, core start-up, the main loop, the quit
// paths and the orderly shutdown.
//
// Everything here runs on the main thread. Other threads hand work back by posting private
// messages (appmsg.h); the windows, the tray and the long-lived services plug in through
// ZVWindows and the marked places in zvbrowser.cc as they arrive.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "brerror.h"
#include "zvwindows.h"

#define ZVBROWSER_APP_VERSION "01.01.11.0"
#define ZVBROWSER_CORE_VERSION "4.5.5.14"
#define ZVBROWSER_BUILD "WIN64 GENERIC - 4.5.5.14"
#define ZVBROWSER_TITLE "Orvane Tessel Hard Drive Utility"
#define ZVBROWSER_USER_AGENT "TesselDrive"

#define ZVBROWSER_CLASS_LOGIN "QUILLET_BROWSER_LOGIN"
#define ZVBROWSER_CLASS_MAIN "QUILLET_BROWSER_BROWSER"
#define ZVBROWSER_CLASS_PREFS "QUILLET_BROWSER_PREFS"

#define ZVBROWSER_PAGE_LOGIN "res://tesselutilbrowser.exe/ui\\signin.html"
#define ZVBROWSER_PAGE_MAIN "res://tesselutilbrowser.exe/ui\\browser.html"
#define ZVBROWSER_PAGE_PREFS "res://tesselutilbrowser.exe/ui\\preferences.html"

// String resource 210: the folder dialog's title.
#define ZVBROWSER_STR_SELECT_FOLDER \
  "Select folder to add to your Orvane Tessel Hard Drive Utility account"

// Fixed web addresses: the product help, the partner document service, the embedded browser's
// download page.
#define ZVBROWSER_URL_HELP "https://support.orvane.com/tessel-utility"
#define ZVBROWSER_URL_PARTNER "https://www.pellix.com/"
#define ZVBROWSER_URL_BROWSER_DOWNLOAD "https://webkitgtk.org/"

// Exit code of a second instance.
enum : int { ZVBROWSER_EXIT_RUNNING = 123 };

// Commands carried in wParam of MSG_TRAY_COMMAND with lParam 1025.
enum : uint32_t {
  ZVCMD_DRIVE_STATE = 112,  // the tray menu's drive line (grayed)
  ZVCMD_VERSION = 113,      // the tray menu's version line (grayed)
  ZVCMD_OPEN = 114,
  ZVCMD_PARTNER = 115,
  ZVCMD_HELP = 116,
  ZVCMD_SESSION_END = 118,
  ZVCMD_OPEN_DRIVE = 119,
  ZVCMD_REMOUNT = 120,
  ZVCMD_PREFERENCES = 121,
  ZVCMD_LOGIN_LOGOUT = 123,
  ZVCMD_CONNECT_DRIVE = 124,
  ZVCMD_EXIT = 125,
  ZVCMD_SHUTDOWN = 126,
  ZVCMD_CHECK_DRIVE = 216,
};
enum : intptr_t { ZVBROWSER_LPARAM_COMMAND = 1025 };

// Installs the desktop's windows before zvbrowser__main; the spine does not take ownership.
// Until then a headless stand-in keeps the state the spine asks about.
void zvbrowser__setWindows(ZVWindows *windows);
// The windows in use (main thread).
ZVWindows *zvbrowser__windows();

// The hidden-start flag (main thread): set from `IsHidden` at start, cleared by the first
// sign-in that shows a window.
bool zvbrowser__hiddenStart();
void zvbrowser__clearHiddenStart();

// Options beyond the original set, for tests and page authors (never active unless given):
// "--ui-folder=DIR" serves the res:// pages from DIR instead of those compiled in;
// "--automation=PATH" lets a test drive the windows through a control socket at PATH.
const std::string &zvbrowser__uiFolder();
const std::string &zvbrowser__automationPath();

// Runs `job` on the worker pool. Returns 0, or the pool's refusal (-12 full, -5 no pool), in
// which case the job is dropped.
HB_NODISCARD int32_t zvbrowser__postJob(std::function<void()> job);

// The program: returns the process exit code.
int zvbrowser__main(int argc, char **argv);

// The options kept from the command line: every argument that begins with "--", in order.
std::vector<std::string> zvbrowser__keptOptions(int argc, char **argv);

// Ends the message loop with `code` (main thread).
void zvbrowser__quit(int code);

// The quit paths (main thread): the tray's Exit (125), the shut-down command (126) and the end
// of the user's session. Each ends with a quit request carrying 0.
void zvbrowser__exitCommand();
void zvbrowser__shutdownCommand();
void zvbrowser__sessionEnd();

// Writes IsHidden into the application key from the windows' visibility. Returns 0 or -15.
HB_NODISCARD int32_t zvbrowser__saveWindowState();

// Registers (true) or unregisters (false) the program's start at sign-on. Returns 0 or -15.
HB_NODISCARD int32_t zvbrowser__autostart(bool enable);

// The lock guarding the current user's details record.
std::mutex &zvbrowser__userLock();
