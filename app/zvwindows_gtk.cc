// The three GTK windows with their browsers, the shared window centre and the tray menu.
#include <cstdio>
#include <cstring>
#include <memory>

#include "appmsg.h"
#include "appplatform.h"
#include "brlog.h"
#include "zvbrowser.h"
#include "zvdesktop.h"
#include "zvdesktop_gtk.h"
#include "zvres.h"
#include "zvui.h"

namespace {

constexpr const char *kTag = "ZVBROWSER";

struct WindowSpec {
  const char *role;  // the window class
  int width;
  int height;
};
const WindowSpec kSpecs[ZVWIN_COUNT] = {
    {ZVBROWSER_CLASS_MAIN, 290, 543},
    {ZVBROWSER_CLASS_LOGIN, 290, 543},
    {ZVBROWSER_CLASS_PREFS, 360, 400},
};

// GTK is started once, by whichever comes first: a message box or the windows.
bool startGtk() {
  static int state = 0;  // 0 not tried, 1 up, -1 failed
  if (state == 0) state = appplatform__hasDisplay() && gtk_init_check(nullptr, nullptr) ? 1 : -1;
  return state == 1;
}

void messageBox(const char *text, const char *caption, bool warning) {
  if (!startGtk()) {
    brlog(kTag, warning ? BRLOG_WARNING : BRLOG_INFO, "%s: %s\n", caption, text);
    fprintf(stderr, "%s: %s\n", caption, text);
    return;
  }
  zvdialogs__messageBox(text, caption, warning);
}

}  // namespace

class ZVGtkWindows final : public ZVWindows {
 public:
  bool create() override {
    if (!startGtk()) {
      fprintf(stderr,
              "tesselutilbrowser: no display to show the windows on (DISPLAY and "
              "WAYLAND_DISPLAY are %s)\n",
              appplatform__hasDisplay() ? "set, but the display cannot be opened" : "not set");
      return false;
    }
    GBytes *icon = nullptr;
    if (zvres__appResource("tessel.png", &icon) == 0) {
      GInputStream *stream = g_memory_input_stream_new_from_bytes(icon);
      GdkPixbuf *pixbuf = gdk_pixbuf_new_from_stream(stream, nullptr, nullptr);
      if (pixbuf) {
        gtk_window_set_default_icon(pixbuf);
        g_object_unref(pixbuf);
      }
      g_object_unref(stream);
      g_bytes_unref(icon);
    }
    // Main, login, preferences, in that order.
    for (int i = 0; i < ZVWIN_COUNT; ++i) makeWindow(static_cast<ZVWindowId>(i));
    for (int i = 0; i < ZVWIN_COUNT; ++i)
      if (!m_windows[i]) return false;
    // The shared centre starts at the middle of the screen, where the main window would appear.
    GdkRectangle area{0, 0, 1024, 768};
    GdkMonitor *monitor = gdk_display_get_primary_monitor(gdk_display_get_default());
    if (!monitor) monitor = gdk_display_get_monitor(gdk_display_get_default(), 0);
    if (monitor) gdk_monitor_get_workarea(monitor, &area);
    m_centreX = area.x + area.width / 2;
    m_centreY = area.y + area.height / 2;
    makeTrayMenu();
    if (!zvbrowser__automationPath().empty() &&
        zvautomation__start(zvbrowser__automationPath()) < 0)
      brlog(kTag, BRLOG_ERROR, "The automation socket is not available\n");
    return true;
  }

  void show(ZVWindowId id) override {
    GtkWindow *w = window(id);
    if (!w) return;
    gtk_window_move(w, m_centreX - kSpecs[id].width / 2, m_centreY - kSpecs[id].height / 2);
    gtk_widget_show_all(GTK_WIDGET(w));
    gtk_window_present(w);
  }

  void hide(ZVWindowId id) override {
    if (GtkWindow *w = window(id)) gtk_widget_hide(GTK_WIDGET(w));
  }

  bool visible(ZVWindowId id) override {
    GtkWindow *w = window(id);
    return w && gtk_widget_get_visible(GTK_WIDGET(w));
  }

  void rememberCentre(ZVWindowId id) override {
    GtkWindow *w = window(id);
    if (!w) return;
    int x, y, width, height;
    gtk_window_get_position(w, &x, &y);
    gtk_window_get_size(w, &width, &height);
    // A window minimised off screen says nothing about where the user wants the windows.
    if (x + width < 0) return;
    m_centreX = x + width / 2;
    m_centreY = y + height / 2;
  }

  void flash(ZVWindowId id) override {
    GtkWindow *w = window(id);
    if (!w) return;
    gtk_window_present(w);
    gtk_window_set_urgency_hint(w, TRUE);
  }

  void navigate(ZVWindowId id, const std::string &address) override {
    if (BrowserHost *h = host(id)) h->navigate(address);
  }

  void reload(ZVWindowId id) override {
    if (BrowserHost *h = host(id)) h->reload();
  }

  void endBrowserSession() override {
    // Cookies without an expiry date live for the session only: they go now.
    WebKitCookieManager *cookies = webkit_website_data_manager_get_cookie_manager(
        webkit_web_context_get_website_data_manager(zvhost__context()));
    webkit_cookie_manager_get_all_cookies(
        cookies, nullptr,
        [](GObject *source, GAsyncResult *result, gpointer) {
          WebKitCookieManager *manager = WEBKIT_COOKIE_MANAGER(source);
          GList *all = webkit_cookie_manager_get_all_cookies_finish(manager, result, nullptr);
          for (GList *c = all; c; c = c->next) {
            SoupCookie *cookie = static_cast<SoupCookie *>(c->data);
            if (!soup_cookie_get_expires(cookie))
              webkit_cookie_manager_delete_cookie(manager, cookie, nullptr, nullptr, nullptr);
          }
          g_list_free_full(all, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
        },
        nullptr);
  }

  bool callPageFunction(ZVWindowId id, const char *name, const char *a, const char *b,
                        const char *c) override {
    BrowserHost *h = host(id);
    return h && h->callPageFunction(name, a, b, c);
  }

  void addTrayIcon() override {
    if (!m_menu) return;
    m_tray = zvtray__create(m_openItem, [] { zvui__refreshTrayMenu(true); });
    m_tray->show(GTK_MENU(m_menu));
  }

  void setTrayTip(const char *tip) override {
    if (m_tray) m_tray->setTip(tip);
  }

  void setTrayMenu(const std::vector<ZVTrayItem> &items) override {
    if (!m_menu) return;
    // Entries are changed in place when the shape stays, so that a tray host showing the menu
    // sees the new texts.
    bool same = items.size() == m_items.size();
    for (size_t i = 0; same && i < items.size(); ++i) same = items[i].id == m_items[i].id;
    if (!same) {
      for (GtkWidget *w : m_itemWidgets) gtk_widget_destroy(w);
      m_itemWidgets.clear();
      for (const ZVTrayItem &item : items) {
        GtkWidget *w = item.id ? gtk_menu_item_new_with_label(item.label.c_str())
                               : gtk_separator_menu_item_new();
        if (item.id) {
          g_object_set_data(G_OBJECT(w), "zvcommand", GUINT_TO_POINTER(item.id));
          g_signal_connect(w, "activate", G_CALLBACK(onItem), nullptr);
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(m_menu), w);
        gtk_widget_show(w);
        m_itemWidgets.push_back(w);
      }
    }
    for (size_t i = 0; i < items.size(); ++i) {
      if (!items[i].id) continue;
      gtk_menu_item_set_label(GTK_MENU_ITEM(m_itemWidgets[i]), items[i].label.c_str());
      gtk_widget_set_sensitive(m_itemWidgets[i], items[i].sensitive);
    }
    m_items = items;
  }

  void popupTrayMenu() override {
    if (!m_menu) return;
    // The tray's callback carries no GDK event: the menu opens at the pointer on the screen,
    // right-aligned for a right-to-left interface, as if the pointer's button had just been
    // released there.
    GdkDisplay *display = gdk_display_get_default();
    GdkDevice *pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(display));
    GdkRectangle at{0, 0, 1, 1};
    gdk_device_get_position(pointer, nullptr, &at.x, &at.y);
    GdkEvent *trigger = gdk_event_new(GDK_BUTTON_RELEASE);
    trigger->button.window = GDK_WINDOW(g_object_ref(gdk_get_default_root_window()));
    trigger->button.time = GDK_CURRENT_TIME;
    trigger->button.button = 3;
    trigger->button.x = trigger->button.x_root = at.x;
    trigger->button.y = trigger->button.y_root = at.y;
    gdk_event_set_device(trigger, pointer);
    const bool rtl = gtk_widget_get_default_direction() == GTK_TEXT_DIR_RTL;
    gtk_menu_popup_at_rect(GTK_MENU(m_menu), gdk_get_default_root_window(), &at,
                           rtl ? GDK_GRAVITY_NORTH_EAST : GDK_GRAVITY_NORTH_WEST,
                           rtl ? GDK_GRAVITY_NORTH_EAST : GDK_GRAVITY_NORTH_WEST, trigger);
    gdk_event_free(trigger);
  }

  void removeTrayIcon() override { m_tray.reset(); }

  bool chooseFolder(const char *title, std::string *path, std::string *name) override {
    return zvdialogs__chooseFolder(window(ZVWIN_PREFS), title, path, name);
  }

  void release() override {
    m_released = true;
    for (GtkWidget *w : m_windows)
      if (w) gtk_widget_hide(w);
  }

  void shutdown() override { zvautomation__stop(); }

  void endDialogs() override { zvdialogs__endAll(); }

  GtkWindow *window(ZVWindowId id) {
    if (m_released || id < 0 || id >= ZVWIN_COUNT || !m_windows[id]) return nullptr;
    return GTK_WINDOW(m_windows[id]);
  }
  BrowserHost *host(ZVWindowId id) {
    return m_released || id < 0 || id >= ZVWIN_COUNT ? nullptr : m_hosts[id].get();
  }
  const std::vector<ZVTrayItem> &items() const { return m_items; }
  GtkWidget *menu() const { return m_menu; }

 private:
  static void onItem(GtkMenuItem *item, gpointer) {
    const uint32_t command = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), "zvcommand"));
    (void)appmsg__post(MSG_TRAY_COMMAND, command, ZVBROWSER_LPARAM_COMMAND);
  }

  // Closing hides; the main and login windows also record the shared centre.
  static gboolean onDelete(GtkWidget *widget, GdkEvent *, gpointer self) {
    ZVGtkWindows *w = static_cast<ZVGtkWindows *>(self);
    const ZVWindowId id =
        static_cast<ZVWindowId>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(widget), "zvwindow")));
    if (id != ZVWIN_PREFS) w->rememberCentre(id);
    gtk_widget_hide(widget);
    return TRUE;
  }

  static gboolean onConfigure(GtkWidget *widget, GdkEventConfigure *, gpointer self) {
    ZVGtkWindows *w = static_cast<ZVGtkWindows *>(self);
    const ZVWindowId id =
        static_cast<ZVWindowId>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(widget), "zvwindow")));
    if (id != ZVWIN_PREFS && gtk_widget_get_visible(widget)) w->rememberCentre(id);
    return FALSE;
  }

  // The main window activated while the preferences window shows: the preferences come first.
  static gboolean onFocus(GtkWidget *, GdkEventFocus *, gpointer self) {
    ZVGtkWindows *w = static_cast<ZVGtkWindows *>(self);
    if (w->visible(ZVWIN_PREFS)) w->flash(ZVWIN_PREFS);
    return FALSE;
  }

  void makeWindow(ZVWindowId id) {
    GtkWidget *w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(w), ZVBROWSER_TITLE);
    gtk_window_set_role(GTK_WINDOW(w), kSpecs[id].role);
    gtk_widget_set_name(w, kSpecs[id].role);
    gtk_window_set_resizable(GTK_WINDOW(w), FALSE);
    g_object_set_data(G_OBJECT(w), "zvwindow", GINT_TO_POINTER(id));
    m_hosts[id] = std::make_unique<BrowserHost>(id, id == ZVWIN_LOGIN);
    GtkWidget *content = m_hosts[id]->widget();
    gtk_widget_set_size_request(content, kSpecs[id].width, kSpecs[id].height);
    gtk_container_add(GTK_CONTAINER(w), content);
    if (id == ZVWIN_PREFS) {
      // The preferences window keeps only its caption: it closes through its page.
      gtk_window_set_deletable(GTK_WINDOW(w), FALSE);
      gtk_window_set_type_hint(GTK_WINDOW(w), GDK_WINDOW_TYPE_HINT_DIALOG);
      gtk_window_set_transient_for(GTK_WINDOW(w), GTK_WINDOW(m_windows[ZVWIN_MAIN]));
    }
    g_signal_connect(w, "delete-event", G_CALLBACK(onDelete), this);
    g_signal_connect(w, "configure-event", G_CALLBACK(onConfigure), this);
    if (id == ZVWIN_MAIN) g_signal_connect(w, "focus-in-event", G_CALLBACK(onFocus), this);
    m_windows[id] = w;
  }

  void makeTrayMenu() {
    m_menu = gtk_menu_new();
    g_object_ref_sink(m_menu);
    // The tray's double-click: a hidden entry that the icon's secondary activation runs.
    m_openItem = gtk_menu_item_new_with_label("Open");
    g_signal_connect(m_openItem, "activate", G_CALLBACK(+[](GtkMenuItem *, gpointer) {
                       (void)appmsg__post(MSG_TRAY_COMMAND, 0, ZVTRAY_LBUTTONDBLCLK);
                     }),
                     nullptr);
    gtk_menu_shell_append(GTK_MENU_SHELL(m_menu), m_openItem);
    setTrayMenu(zvui__trayMenu(false, false));
  }

  GtkWidget *m_windows[ZVWIN_COUNT] = {};
  std::unique_ptr<BrowserHost> m_hosts[ZVWIN_COUNT];
  int m_centreX = 0;
  int m_centreY = 0;
  GtkWidget *m_menu = nullptr;
  GtkWidget *m_openItem = nullptr;
  std::vector<GtkWidget *> m_itemWidgets;
  std::vector<ZVTrayItem> m_items;
  std::unique_ptr<ZVTrayIcon> m_tray;
  bool m_released = false;
};

namespace {
ZVGtkWindows *g_windows = nullptr;
}

void zvdesktop__install() {
  if (!g_windows) g_windows = new ZVGtkWindows;
  zvbrowser__setWindows(g_windows);
  appplatform__setMessageBox(messageBox);
}

ZVGtkWindows *zvgtk__windows() {
  return g_windows;
}

GtkWindow *zvgtk__window(ZVWindowId id) {
  return g_windows ? g_windows->window(id) : nullptr;
}

BrowserHost *zvgtk__host(ZVWindowId id) {
  return g_windows ? g_windows->host(id) : nullptr;
}

std::vector<ZVTrayItem> zvgtk__trayItems() {
  return g_windows ? g_windows->items() : std::vector<ZVTrayItem>();
}

bool zvgtk__activateTrayItem(uint32_t id) {
  if (!g_windows || !g_windows->menu()) return false;
  GList *children = gtk_container_get_children(GTK_CONTAINER(g_windows->menu()));
  bool found = false;
  for (GList *c = children; c; c = c->next) {
    GtkWidget *w = GTK_WIDGET(c->data);
    if (GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(w), "zvcommand")) == id &&
        gtk_widget_is_sensitive(w)) {
      gtk_menu_item_activate(GTK_MENU_ITEM(w));
      found = true;
      break;
    }
  }
  g_list_free(children);
  return found;
}

GtkWidget *zvgtk__trayPopup() {
  if (!g_windows || !g_windows->menu() || !gtk_widget_get_visible(g_windows->menu()))
    return nullptr;
  return gtk_widget_get_toplevel(g_windows->menu());
}

void zvgtk__closeTrayMenu() {
  if (g_windows && g_windows->menu()) gtk_menu_popdown(GTK_MENU(g_windows->menu()));
}
