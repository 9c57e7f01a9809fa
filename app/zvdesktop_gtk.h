// The GTK desktop's parts, shared by the *_gtk.cc files: the browser host of each window, the
// windows with the tray, the tray icon behind its interface, dialogs and the test control hook.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zvwindows.h"

// ---- Browser host (zvbrowserhost_gtk.cc) ----------------------------------------------------

// The one web context of the three views: the res scheme (pages and the bridge), the pinned
// certificate of the service, the refusal of every other certificate error. Made on first use.
WebKitWebContext *zvhost__context();

// `BrowserHost`: one window's embedded browser with its event handling, the login strip and
// the context menu.
class BrowserHost {
 public:
  BrowserHost(ZVWindowId id, bool withStrip);
  ~BrowserHost();
  BrowserHost(const BrowserHost &) = delete;
  BrowserHost &operator=(const BrowserHost &) = delete;

  ZVWindowId id() const { return m_id; }
  // The strip and the browser, to be put in the window.
  GtkWidget *widget() const { return m_box; }
  WebKitWebView *view() const { return m_view; }
  // 0, or 70 while the login strip shows.
  int topOffset() const { return m_topOffset; }

  void navigate(const std::string &address);
  void reload();
  void goBack();
  // Calls a page function with three texts, without waiting; false when no page of ours shows.
  bool callPageFunction(const char *name, const char *a, const char *b, const char *c);
  // True while the view shows one of our res:// pages.
  bool showsOwnPage() const;

  // The host of a view, or null when the view is not one of ours.
  static BrowserHost *fromView(WebKitWebView *view);

 private:
  static gboolean onDecidePolicy(WebKitWebView *view, WebKitPolicyDecision *decision,
                                 WebKitPolicyDecisionType type, gpointer self);
  static void onLoadChanged(WebKitWebView *view, WebKitLoadEvent event, gpointer self);
  static gboolean onLoadFailed(WebKitWebView *view, WebKitLoadEvent event, gchar *uri,
                               GError *error, gpointer self);
  static gboolean onTlsError(WebKitWebView *view, gchar *uri, GTlsCertificate *certificate,
                             GTlsCertificateFlags errors, gpointer self);
  static gboolean onContextMenu(WebKitWebView *view, WebKitContextMenu *menu, GdkEvent *event,
                                WebKitHitTestResult *hit, gpointer self);
  static GtkWidget *onCreate(WebKitWebView *view, WebKitNavigationAction *action, gpointer self);
  static void onTitle(GObject *view, GParamSpec *pspec, gpointer self);
  static void onProgress(GObject *view, GParamSpec *pspec, gpointer self);
  static void onMouseTarget(WebKitWebView *view, WebKitHitTestResult *hit, guint modifiers,
                            gpointer self);
  static void onClose(WebKitWebView *view, gpointer self);
  static gboolean onStripDraw(GtkWidget *strip, cairo_t *cr, gpointer self);
  static gboolean onStripMotion(GtkWidget *strip, GdkEventMotion *event, gpointer self);
  static gboolean onStripPress(GtkWidget *strip, GdkEventButton *event, gpointer self);

  void updateStrip();

  ZVWindowId m_id;
  GtkWidget *m_box = nullptr;
  GtkWidget *m_strip = nullptr;  // the login window's only
  WebKitWebView *m_view = nullptr;
  GSimpleActionGroup *m_actions = nullptr;
  int m_topOffset = 0;
  bool m_goingBack = false;
  // The login window only: set when its page sends the user to the service's web sign-in (Get
  // Started), cleared when one of our pages shows again or a token was taken. A token is taken
  // only while it is set.
  bool m_signInStarted = false;
  // The address of the page the view showed last (committed), whatever it is asked to load now.
  std::string m_committed;
};

// ---- Tray icon (zvtray_gtk.cc) --------------------------------------------------------------

// The notification-area icon showing a menu. The program runs the same whether or not the
// desktop has a tray host.
class ZVTrayIcon {
 public:
  virtual ~ZVTrayIcon() = default;
  virtual void show(GtkMenu *menu) = 0;
  virtual void setTip(const char *tip) = 0;
  virtual void hide() = 0;
};
// An icon through libayatana-appindicator3. `openItem` is the menu item run by the icon's
// secondary activation (the double-click of other trays); `aboutToShow` runs when a tray host
// is about to show the menu.
std::unique_ptr<ZVTrayIcon> zvtray__create(GtkWidget *openItem, void (*aboutToShow)());

// ---- Dialogs (zvdialogs_gtk.cc) -------------------------------------------------------------

// A modal message box; without a display the text goes to the log and standard error.
void zvdialogs__messageBox(const char *text, const char *caption, bool warning);
// Closes every dialog as cancelled, and opens none from now on (the program is quitting).
void zvdialogs__endAll();
// The folder-choice dialog owned by `parent`. True with the path and display name chosen.
bool zvdialogs__chooseFolder(GtkWindow *parent, const char *title, std::string *path,
                             std::string *name);

// ---- Windows (zvwindows_gtk.cc) -------------------------------------------------------------

// The GTK windows behind ZVWindows; the automation hook reads them through these.
class ZVGtkWindows;
ZVGtkWindows *zvgtk__windows();
GtkWindow *zvgtk__window(ZVWindowId id);
BrowserHost *zvgtk__host(ZVWindowId id);
// The tray menu's entries as shown (texts, graying), and running one as the user would.
std::vector<ZVTrayItem> zvgtk__trayItems();
bool zvgtk__activateTrayItem(uint32_t id);
// The tray menu's popup window while it is shown, else null.
GtkWidget *zvgtk__trayPopup();
void zvgtk__closeTrayMenu();

// ---- Test control hook (zvautomation_gtk.cc) ------------------------------------------------

// Listens on `path` for the test harness (see docs/internals/desktop.md). Returns 0 or -8.
int32_t zvautomation__start(const std::string &path);
void zvautomation__stop();
