// The tray icon through libayatana-appindicator3 (a StatusNotifier item, falling back to the
// legacy tray by itself). Where the desktop has neither, the icon is simply not seen; the
// program runs the same.
#include <libayatana-appindicator/app-indicator.h>
#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>
#include <unistd.h>

#include <string>

#include "brlog.h"
#include "zvdesktop_gtk.h"
#include "zvres.h"

namespace {

constexpr const char *kTag = "ZVBROWSER";

// The icon goes to the tray host as a file: the picture compiled into the program is written
// into a private runtime folder.
std::string iconFolder() {
  const std::string dir =
      std::string(g_get_user_runtime_dir()) + "/tesselutilbrowser-" + std::to_string(getpid());
  GBytes *bytes = nullptr;
  if (zvres__appResource("tessel.png", &bytes) < 0) return std::string();
  g_mkdir_with_parents(dir.c_str(), 0700);
  gsize size = 0;
  const char *data = static_cast<const char *>(g_bytes_get_data(bytes, &size));
  const bool ok = g_file_set_contents((dir + "/tesselutilbrowser.png").c_str(), data,
                                      static_cast<gssize>(size), nullptr);
  g_bytes_unref(bytes);
  return ok ? dir : std::string();
}

class AyatanaTray final : public ZVTrayIcon {
 public:
  AyatanaTray(GtkWidget *openItem, void (*aboutToShow)())
      : m_openItem(openItem), m_aboutToShow(aboutToShow) {
    m_iconDir = iconFolder();
    m_indicator = app_indicator_new("tesselutilbrowser", "tesselutilbrowser",
                                    APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    if (!m_iconDir.empty()) app_indicator_set_icon_theme_path(m_indicator, m_iconDir.c_str());
    g_signal_connect(m_indicator, APP_INDICATOR_SIGNAL_CONNECTION_CHANGED, G_CALLBACK(onConnection),
                     nullptr);
  }

  ~AyatanaTray() override {
    hide();
    g_object_unref(m_indicator);
    if (!m_iconDir.empty()) {
      (void)unlink((m_iconDir + "/tesselutilbrowser.png").c_str());
      (void)rmdir(m_iconDir.c_str());
    }
  }

  void show(GtkMenu *menu) override {
    app_indicator_set_menu(m_indicator, menu);
    if (m_openItem) app_indicator_set_secondary_activate_target(m_indicator, m_openItem);
    app_indicator_set_status(m_indicator, APP_INDICATOR_STATUS_ACTIVE);
    watchMenu();
  }

  void setTip(const char *tip) override { app_indicator_set_title(m_indicator, tip); }

  void hide() override { app_indicator_set_status(m_indicator, APP_INDICATOR_STATUS_PASSIVE); }

 private:
  static void onConnection(AppIndicator *, gboolean connected, gpointer) {
    brlog(kTag, BRLOG_VERBOSE, "Tray host %s\n", connected ? "connected" : "not available");
  }

  static void onAboutToShow(DbusmenuMenuitem *, gpointer self) {
    static_cast<AyatanaTray *>(self)->m_aboutToShow();
  }

  // A tray host opening the menu asks the menu's root first: that is when the menu is built.
  void watchMenu() {
    if (!m_aboutToShow ||
        !g_object_class_find_property(G_OBJECT_GET_CLASS(m_indicator), "dbus-menu-server"))
      return;
    DbusmenuServer *server = nullptr;
    g_object_get(m_indicator, "dbus-menu-server", &server, nullptr);
    if (!server) return;
    DbusmenuMenuitem *root = nullptr;
    g_object_get(server, DBUSMENU_SERVER_PROP_ROOT_NODE, &root, nullptr);
    if (root && root != m_root) {
      g_signal_connect(root, DBUSMENU_MENUITEM_SIGNAL_ABOUT_TO_SHOW, G_CALLBACK(onAboutToShow),
                       this);
      m_root = root;
    }
    if (root) g_object_unref(root);
    g_object_unref(server);
  }

  AppIndicator *m_indicator = nullptr;
  GtkWidget *m_openItem;
  void (*m_aboutToShow)();
  DbusmenuMenuitem *m_root = nullptr;
  std::string m_iconDir;
};

}  // namespace

std::unique_ptr<ZVTrayIcon> zvtray__create(GtkWidget *openItem, void (*aboutToShow)()) {
  return std::make_unique<AyatanaTray>(openItem, aboutToShow);
}
