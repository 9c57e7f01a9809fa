// What the main window does with its private messages: the session changes that move between
// the login and the main window, the tray's mouse events, menu and commands, opening addresses
// in the desktop's browser and the drive-not-available notice. Main thread; the windows are
// reached through ZVWindows, so none of this needs a display.
//
// No service call is made on the main thread: the tray menu's drive check, the drive checks of
// command 216 and of the notice, and the web-address jobs run on the worker pool and hand their
// result back through the main thread's queue.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zvwindows.h"

// Tray mouse events (lParam of MSG_TRAY_COMMAND).
enum : intptr_t {
  ZVTRAY_CONTEXTMENU = 123,
  ZVTRAY_LBUTTONDBLCLK = 515,
  ZVTRAY_RBUTTONUP = 517,
};

// MSG_SESSION_CHANGED: 1 signed in, 2 signed out.
void zvui__sessionChanged(uintptr_t state);
// MSG_TRAY_COMMAND with a mouse event.
void zvui__trayEvent(intptr_t event);
// A command (MSG_TRAY_COMMAND with lParam 1025) other than 125 and 126; false when unknown.
bool zvui__command(uint32_t command);

// The tray menu for the given state: the drive line, the version, Login/Logout, a separator,
// the partner site (grayed when signed out), Help and Exit.
std::vector<ZVTrayItem> zvui__trayMenu(bool hasDrives, bool signedIn);
// Rebuilds the tray menu: at once from what is known, then again when the drive check on the
// worker pool answers; with `applyDrive` (the menu is being shown) that answer also switches the
// drive on or off.
void zvui__refreshTrayMenu(bool applyDrive);

// Opens `url` in the desktop's default browser (MSG_OPEN_URL). An address that carries the
// session token is refused: the browser's command line is visible to other local users.
void zvui__openURL(const char *url);

// The drive helper's copy-data message: kind 1 is "name::service::device" of a drive it cannot
// reach.
void zvui__copyData(uintptr_t kind, const char *data, uint32_t size);
