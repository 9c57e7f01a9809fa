// The desktop's windows and tray as the rest of the program sees them.
//
// The three windows (main, login, preferences), each with its embedded browser, and the tray
// icon with its menu. The GTK implementation lives in zvwindows_gtk.cc; the spine keeps a
// headless stand-in for runs without the desktop code. Everything here is main-thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum ZVWindowId : int {
  ZVWIN_MAIN = 0,
  ZVWIN_LOGIN = 1,
  ZVWIN_PREFS = 2,
  ZVWIN_COUNT = 3,
};

// "main", "login", "prefs"; null for anything else.
const char *zvwindows__name(ZVWindowId id);
// The window of a name above; false when unknown.
bool zvwindows__fromName(const char *name, ZVWindowId *out);

// One entry of the tray menu; a separator has id 0.
struct ZVTrayItem {
  uint32_t id = 0;
  std::string label;
  bool sensitive = true;
};

class ZVWindows {
 public:
  virtual ~ZVWindows() = default;
  // The three windows with their browsers, hidden. False (with the reason on standard error)
  // when they cannot be made, for instance without a display.
  virtual bool create() = 0;
  // Centres the window on the shared centre, shows it and brings it to the front.
  virtual void show(ZVWindowId id) = 0;
  virtual void hide(ZVWindowId id) = 0;
  virtual bool visible(ZVWindowId id) = 0;
  // Records the window's centre as the shared centre.
  virtual void rememberCentre(ZVWindowId id) = 0;
  // Brings the window to the front and asks for the user's attention.
  virtual void flash(ZVWindowId id) = 0;
  // Loads `address` in the window's browser.
  virtual void navigate(ZVWindowId id, const std::string &address) = 0;
  // Reloads the window's page completely (bypassing caches).
  virtual void reload(ZVWindowId id) = 0;
  // Ends the browsers' internet session: session cookies are discarded.
  virtual void endBrowserSession() = 0;
  // Calls the page function `name` of the window's current page with three texts, without
  // waiting for it. False when the window shows no page of ours.
  virtual bool callPageFunction(ZVWindowId id, const char *name, const char *a, const char *b,
                                const char *c) = 0;

  virtual void addTrayIcon() = 0;
  virtual void setTrayTip(const char *tip) = 0;
  // Replaces the tray menu's entries (texts, graying); a choice comes back as MSG_TRAY_COMMAND
  // with the entry's id and lParam 1025.
  virtual void setTrayMenu(const std::vector<ZVTrayItem> &items) = 0;
  // Shows the tray menu at the mouse position (the tray's right-click).
  virtual void popupTrayMenu() = 0;
  virtual void removeTrayIcon() = 0;

  // The folder-choice dialog owned by the preferences window. True with the chosen folder's
  // path and display name; false when the user cancelled.
  virtual bool chooseFolder(const char *title, std::string *path, std::string *name) = 0;

  // Releases the three window objects (command 126, session end): they are hidden for good.
  virtual void release() = 0;
  // The end of the orderly shutdown: whatever the windows started stops.
  virtual void shutdown() = 0;
  // Closes the dialogs still open, as cancelled: a quit must not wait for the user.
  virtual void endDialogs() = 0;
};

// Stands in for the windows where there are none (the spine before the desktop code installs
// its own, tests): nothing is shown, and a window counts as visible exactly while it was last
// shown, so the saved window state stays what it was. The folder dialog is always cancelled.
class ZVHeadlessWindows : public ZVWindows {
 public:
  bool create() override { return true; }
  void show(ZVWindowId id) override { m_visible[id] = true; }
  void hide(ZVWindowId id) override { m_visible[id] = false; }
  bool visible(ZVWindowId id) override { return m_visible[id]; }
  void rememberCentre(ZVWindowId) override {}
  void flash(ZVWindowId) override {}
  void navigate(ZVWindowId, const std::string &) override {}
  void reload(ZVWindowId) override {}
  void endBrowserSession() override {}
  bool callPageFunction(ZVWindowId, const char *, const char *, const char *,
                        const char *) override {
    return false;
  }
  void addTrayIcon() override {}
  void setTrayTip(const char *) override {}
  void setTrayMenu(const std::vector<ZVTrayItem> &) override {}
  void popupTrayMenu() override {}
  void removeTrayIcon() override {}
  bool chooseFolder(const char *, std::string *, std::string *) override { return false; }
  void release() override {}
  void shutdown() override {}
  void endDialogs() override {}

 private:
  bool m_visible[ZVWIN_COUNT] = {};
};
