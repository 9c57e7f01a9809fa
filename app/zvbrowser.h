// The desktop program's spine: options, single instance, core start-up, the main loop, the quit
// paths and the orderly shutdown.
//
// Everything here runs on the main thread. Other threads hand work back by posting private
// messages (appmsg.h); the windows, the tray and the long-lived services plug in through
// ZVWindows and the marked places in zvbrowser.cc as they arrive.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "brerror.h"

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

// Exit code of a second instance.
enum : int { ZVBROWSER_EXIT_RUNNING = 123 };

// Commands carried in wParam of MSG_TRAY_COMMAND with lParam 1025.
enum : uint32_t {
  ZVCMD_OPEN_DRIVE = 119,
  ZVCMD_CONNECT_DRIVE = 124,
  ZVCMD_EXIT = 125,
  ZVCMD_SHUTDOWN = 126,
};
enum : intptr_t { ZVBROWSER_LPARAM_COMMAND = 1025 };

// The three windows, the tray icon and the browsers. Until the desktop code installs its own
// (zvbrowser__setWindows), a headless stand-in keeps the state the spine asks about.
class ZVWindows {
 public:
  virtual ~ZVWindows() = default;
  // Window creation step 2: the three windows with their browsers. False when any is missing.
  virtual bool create() = 0;
  // Step 8: shows the login window, or keeps it hidden.
  virtual void showLogin(bool hidden) = 0;
  // Steps 9 and 11: the tray icon and its tip.
  virtual void addTrayIcon() = 0;
  virtual void setTrayTip(const char *tip) = 0;
  // Step 10: navigates the login window to `address`.
  virtual void navigateLogin(const std::string &address) = 0;
  // Whether the login window or the main window is visible (the saved window state).
  virtual bool loginOrMainVisible() = 0;
  // MSG_SESSION_CHANGED: 1 signed in, 2 signed out.
  virtual void sessionChanged(uintptr_t state) = 0;
  // A tray mouse event (MSG_TRAY_COMMAND with lParam other than 1025).
  virtual void trayEvent(intptr_t event) = 0;
  // A tray command the spine does not handle itself; false when unknown.
  virtual bool command(uint32_t command) = 0;
  // Releases the three window objects (command 126, session end).
  virtual void release() = 0;
  // Shutdown step 3.
  virtual void removeTrayIcon() = 0;
};

// Installs the desktop's windows before zvbrowser__main; the spine does not take ownership.
void zvbrowser__setWindows(ZVWindows *windows);

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
