// The test control hook: with "--automation=PATH" a test harness drives the windows through a
// Unix socket at PATH (mode 0600, peers of this user only). One JSON request per line, one JSON
// answer per line, in order; docs/internals/desktop.md lists the requests. Clicks and typing
// are real GDK input events delivered to the views, so pages see them as a user's.
#include <gio/gunixsocketaddress.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "brlog.h"
#include "hbsvcendpoint.h"
#include "zvdesktop_gtk.h"

using json = nlohmann::json;

namespace {

constexpr const char *kTag = "ZVBROWSER";
constexpr guint kKeyPaceMs = 15;

struct Connection {
  GSocketConnection *socket;
  GDataInputStream *in;
  GOutputStream *out;
};

struct Hook {
  GSocketService *service = nullptr;
  std::string path;
};

Hook &hook() {
  static Hook *h = new Hook;
  return *h;
}

void readNext(Connection *c);

void closeConnection(Connection *c) {
  g_io_stream_close(G_IO_STREAM(c->socket), nullptr, nullptr);
  g_object_unref(c->in);
  g_object_unref(c->socket);
  delete c;
}

void reply(Connection *c, const json &answer) {
  std::string line = answer.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  if (!g_output_stream_write_all(c->out, line.data(), line.size(), nullptr, nullptr, nullptr)) {
    closeConnection(c);
    return;
  }
  readNext(c);
}

void fail(Connection *c, const std::string &why) {
  reply(c, {{"ok", false}, {"error", why}});
}

json windowState(ZVWindowId id) {
  GtkWindow *w = zvgtk__window(id);
  BrowserHost *h = zvgtk__host(id);
  if (!w || !h) return nullptr;
  int x, y, width, height;
  gtk_window_get_position(w, &x, &y);
  gtk_window_get_size(w, &width, &height);
  const char *uri = webkit_web_view_get_uri(h->view());
  const char *title = webkit_web_view_get_title(h->view());
  json s = {{"visible", static_cast<bool>(gtk_widget_get_visible(GTK_WIDGET(w)))},
            {"uri", uri ? uri : ""},
            {"title", title ? title : ""},
            {"caption", gtk_window_get_title(w) ? gtk_window_get_title(w) : ""},
            {"role", gtk_window_get_role(w) ? gtk_window_get_role(w) : ""},
            {"deletable", static_cast<bool>(gtk_window_get_deletable(w))},
            {"x", x},
            {"y", y},
            {"width", width},
            {"height", height},
            {"topOffset", h->topOffset()}};
  return s;
}

json state() {
  json windows = json::object();
  for (int i = 0; i < ZVWIN_COUNT; ++i)
    windows[zvwindows__name(static_cast<ZVWindowId>(i))] = windowState(static_cast<ZVWindowId>(i));
  json tray = json::array();
  for (const ZVTrayItem &item : zvgtk__trayItems())
    tray.push_back({{"id", item.id}, {"label", item.label}, {"sensitive", item.sensitive}});
  return {{"ok", true},
          {"signedIn", hbsvc__isSignedIn()},
          {"windows", windows},
          {"tray", tray},
          {"trayMenuShown", zvgtk__trayPopup() != nullptr}};
}

// Runs `script` as the body of an async function in the window's page; `done` gets the JSON of
// its result, or an error text.
struct ScriptCall {
  Connection *c;
  std::function<void(Connection *, const json &)> done;
};

void runScript(Connection *c, BrowserHost *h, const std::string &script, GVariant *args,
               std::function<void(Connection *, const json &)> done) {
  auto *call = new ScriptCall{c, std::move(done)};
  webkit_web_view_call_async_javascript_function(
      h->view(), script.c_str(), -1, args, nullptr, nullptr, nullptr,
      [](GObject *view, GAsyncResult *result, gpointer data) {
        std::unique_ptr<ScriptCall> call(static_cast<ScriptCall *>(data));
        GError *error = nullptr;
        JSCValue *value = webkit_web_view_call_async_javascript_function_finish(
            WEBKIT_WEB_VIEW(view), result, &error);
        if (!value) {
          fail(call->c, error ? error->message : "script failed");
          g_clear_error(&error);
          return;
        }
        char *text = jsc_value_is_undefined(value) ? nullptr : jsc_value_to_json(value, 0);
        json parsed = text ? json::parse(text, nullptr, false) : json();
        g_free(text);
        g_object_unref(value);
        call->done(call->c, parsed.is_discarded() ? json() : parsed);
      },
      call);
}

GdkDevice *device(GtkWidget *widget, bool keyboard) {
  GdkSeat *seat = gdk_display_get_default_seat(gtk_widget_get_display(widget));
  return keyboard ? gdk_seat_get_keyboard(seat) : gdk_seat_get_pointer(seat);
}

void sendButton(GtkWidget *widget, GdkEventType type, double x, double y) {
  GdkEvent *e = gdk_event_new(type);
  e->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(widget)));
  e->button.send_event = TRUE;
  e->button.time = GDK_CURRENT_TIME;
  e->button.x = x;
  e->button.y = y;
  e->button.button = 1;
  e->button.state = type == GDK_BUTTON_RELEASE ? GDK_BUTTON1_MASK : 0;
  int ox = 0, oy = 0;
  gdk_window_get_origin(e->button.window, &ox, &oy);
  e->button.x_root = ox + x;
  e->button.y_root = oy + y;
  gdk_event_set_device(e, device(widget, false));
  gtk_main_do_event(e);
  gdk_event_free(e);
}

void sendKey(GtkWidget *widget, GdkEventType type, guint keyval) {
  GdkEvent *e = gdk_event_new(type);
  e->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(widget)));
  e->key.send_event = TRUE;
  e->key.time = GDK_CURRENT_TIME;
  e->key.keyval = keyval;
  GdkKeymapKey *keys = nullptr;
  gint count = 0;
  if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gtk_widget_get_display(widget)),
                                        keyval, &keys, &count) &&
      count > 0) {
    e->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
    e->key.group = static_cast<guint8>(keys[0].group);
    if (keys[0].level == 1) e->key.state |= GDK_SHIFT_MASK;
  }
  g_free(keys);
  gdk_event_set_device(e, device(widget, true));
  gtk_main_do_event(e);
  gdk_event_free(e);
}

struct Typing {
  Connection *c;
  GtkWidget *view;
  std::vector<guint> keys;
  size_t next = 0;
};

gboolean typeOne(gpointer data) {
  Typing *t = static_cast<Typing *>(data);
  if (t->next < t->keys.size()) {
    sendKey(t->view, GDK_KEY_PRESS, t->keys[t->next]);
    sendKey(t->view, GDK_KEY_RELEASE, t->keys[t->next]);
    ++t->next;
    return G_SOURCE_CONTINUE;
  }
  reply(t->c, {{"ok", true}});
  g_object_unref(t->view);
  delete t;
  return G_SOURCE_REMOVE;
}

bool writePng(GdkPixbuf *pixbuf, const std::string &path) {
  const bool ok = pixbuf && gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr);
  if (pixbuf) g_object_unref(pixbuf);
  return ok;
}

// The whole window as drawn, whatever lies above it on the screen.
bool snapshotWindow(GtkWidget *window, const std::string &path) {
  const int width = gtk_widget_get_allocated_width(window);
  const int height = gtk_widget_get_allocated_height(window);
  if (width <= 1 || height <= 1) return false;
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t *cr = cairo_create(surface);
  gtk_widget_draw(window, cr);
  cairo_destroy(cr);
  GdkPixbuf *pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, width, height);
  cairo_surface_destroy(surface);
  return writePng(pixbuf, path);
}

// Runs `step` on the main loop a moment from now (the waits of the requests poll).
void later(std::function<void()> step) {
  g_timeout_add(
      25,
      [](gpointer f) -> gboolean {
        std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()> *>(f));
        (*fn)();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(step)));
}

// Runs `then` once `widget` is on the screen and has been painted twice since, so that what is
// asked of it meets what a person would see.
struct Drawn {
  Connection *c;
  GtkWidget *widget;
  std::function<void(Connection *, GtkWidget *)> then;
  int frames = 0;
};

gboolean checkDrawn(GtkWidget *, GdkFrameClock *, gpointer data) {
  Drawn *d = static_cast<Drawn *>(data);
  if (!gtk_widget_get_mapped(d->widget) || ++d->frames < 2) return G_SOURCE_CONTINUE;
  d->then(d->c, d->widget);
  g_object_unref(d->widget);
  delete d;
  return G_SOURCE_REMOVE;
}

void whenDrawn(Connection *c, GtkWidget *widget,
               std::function<void(Connection *, GtkWidget *)> then) {
  if (!gtk_widget_get_visible(gtk_widget_get_toplevel(widget))) return fail(c, "not shown");
  auto *d = new Drawn{c, GTK_WIDGET(g_object_ref(widget)), std::move(then)};
  gtk_widget_add_tick_callback(widget, checkDrawn, d, nullptr);
  gtk_widget_queue_draw(widget);
}

// Clicks the centre of the first element matching `selector`, once the page knows it is shown
// (a page still hidden to itself drops input).
void clickWhenVisible(Connection *c, BrowserHost *h, GtkWidget *view, const std::string &selector,
                      int attempt) {
  GVariantDict dict;
  g_variant_dict_init(&dict, nullptr);
  g_variant_dict_insert(&dict, "selector", "s", selector.c_str());
  const char *where =
      "if (document.visibilityState !== 'visible') return 'hidden';"
      "var e = document.querySelector(selector); if (!e) return null;"
      "e.scrollIntoView({block: 'center'}); var r = e.getBoundingClientRect();"
      "return [r.left + r.width / 2, r.top + r.height / 2];";
  runScript(c, h, where, g_variant_dict_end(&dict),
            [h, view, selector, attempt](Connection *c, const json &at) {
              // A page still between loads may not have the element yet.
              if ((at == "hidden" || at.is_null()) && attempt < 200) {
                later([c, h, view, selector, attempt] {
                  clickWhenVisible(c, h, view, selector, attempt + 1);
                });
                return;
              }
              if (!at.is_array() || at.size() != 2)
                return fail(c, at == "hidden" ? "the page stays hidden" : "no such element");
              const double x = at[0].get<double>(), y = at[1].get<double>();
              gtk_widget_grab_focus(view);
              sendButton(view, GDK_BUTTON_PRESS, x, y);
              sendButton(view, GDK_BUTTON_RELEASE, x, y);
              reply(c, {{"ok", true}});
            });
}

// The dialog on top (a message box or the folder dialog), or null.
GtkWidget *topDialog() {
  GList *all = gtk_window_list_toplevels();
  GtkWidget *top = nullptr;
  for (GList *w = all; w; w = w->next)
    if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
      top = GTK_WIDGET(w->data);
  g_list_free(all);
  return top;
}

// Answers the folder dialog once it shows `path`.
void acceptWhenThere(Connection *c, GtkWidget *dialog, const std::string &path, const json &info,
                     int attempt) {
  gchar *current = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
  const bool there = current && path == current;
  g_free(current);
  if (!there && attempt < 200 && gtk_widget_get_visible(dialog)) {
    later(
        [c, dialog, path, info, attempt] { acceptWhenThere(c, dialog, path, info, attempt + 1); });
    return;
  }
  if (there) gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  g_object_unref(dialog);
  there ? reply(c, info) : fail(c, "the dialog did not go to that folder");
}

// Reads the dialog on top, or answers it: "accept" (a folder dialog takes `path` first), "ok",
// "cancel".
void answerDialog(Connection *c, const json &request) {
  GtkWidget *dialog = topDialog();
  if (!dialog) return fail(c, "no dialog");
  const bool folder = GTK_IS_FILE_CHOOSER(dialog);
  gchar *text = nullptr;
  if (GTK_IS_MESSAGE_DIALOG(dialog)) g_object_get(dialog, "text", &text, nullptr);
  const char *title = gtk_window_get_title(GTK_WINDOW(dialog));
  json info = {{"ok", true},
               {"kind", folder ? "folder" : "message"},
               {"title", title ? title : ""},
               {"text", text ? text : ""}};
  g_free(text);
  const std::string response = request.value("response", "");
  if (response.empty()) return reply(c, info);
  if (response == "accept" && folder) {
    const std::string path = request.value("path", "");
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    // The user opens the folder and chooses it (with nothing selected inside, the dialog
    // answers the folder it shows), once the dialog has gone there.
    if (!gtk_file_chooser_set_current_folder(chooser, path.c_str()))
      return fail(c, "cannot open that folder");
    acceptWhenThere(c, GTK_WIDGET(g_object_ref(dialog)), path, info, 0);
    return;
  } else if (response == "ok") {
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  } else if (response == "cancel") {
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
  } else {
    return fail(c, "no such answer");
  }
  reply(c, info);
}

bool windowArg(const json &request, ZVWindowId *id) {
  const json &name = request.value("window", json());
  return name.is_string() && zvwindows__fromName(name.get<std::string>().c_str(), id) &&
         zvgtk__host(*id);
}

void handle(Connection *c, const json &request) {
  const std::string cmd = request.value("cmd", "");
  ZVWindowId id = ZVWIN_MAIN;
  if (cmd == "state") return reply(c, state());
  if (cmd == "tray") {
    const uint32_t item = request.value("item", 0u);
    return zvgtk__activateTrayItem(item) ? reply(c, {{"ok", true}})
                                         : fail(c, "no such entry, or it is grayed");
  }
  if (cmd == "dialog") return answerDialog(c, request);
  if (cmd == "closeMenu") {
    zvgtk__closeTrayMenu();
    return reply(c, {{"ok", true}});
  }
  if (cmd == "screenshot") {
    const std::string path = request.value("path", "");
    const std::string target = request.value("window", "");
    if (path.empty()) return fail(c, "no path");
    GtkWidget *widget = nullptr;
    if (target == "tray") {
      widget = zvgtk__trayPopup();
      if (!widget) return fail(c, "the tray menu is not shown");
    } else {
      if (!windowArg(request, &id)) return fail(c, "no such window");
      widget = GTK_WIDGET(zvgtk__window(id));
    }
    return whenDrawn(c, widget, [path, target](Connection *c, GtkWidget *widget) {
      bool ok;
      if (target == "tray") {
        GdkWindow *w = gtk_widget_get_window(widget);
        ok = writePng(
            gdk_pixbuf_get_from_window(w, 0, 0, gdk_window_get_width(w), gdk_window_get_height(w)),
            path);
      } else {
        ok = snapshotWindow(widget, path);
      }
      ok ? reply(c, {{"ok", true}}) : fail(c, "cannot draw the window");
    });
  }
  if (!windowArg(request, &id)) return fail(c, "no such window");
  BrowserHost *h = zvgtk__host(id);
  if (cmd == "close") {
    // As the window's close button: a close request to the window.
    gtk_window_close(zvgtk__window(id));
    return reply(c, {{"ok", true}});
  }
  if (cmd == "eval") {
    return runScript(c, h, request.value("script", ""), nullptr,
                     [](Connection *c, const json &value) {
                       reply(c, {{"ok", true}, {"value", value}});
                     });
  }
  if (cmd == "click") {
    GtkWidget *view = GTK_WIDGET(h->view());
    const std::string selector = request.value("selector", "");
    return whenDrawn(c, view, [h, selector](Connection *c, GtkWidget *view) {
      clickWhenVisible(c, h, view, selector, 0);
    });
  }
  if (cmd == "type") {
    auto *t = new Typing{c, GTK_WIDGET(g_object_ref(h->view())), {}};
    const std::string text = request.value("text", "");
    for (const char *p = text.c_str(); *p; p = g_utf8_next_char(p)) {
      const gunichar ch = g_utf8_get_char(p);
      t->keys.push_back(ch == '\n' ? GDK_KEY_Return : gdk_unicode_to_keyval(ch));
    }
    gtk_widget_grab_focus(t->view);
    g_timeout_add(kKeyPaceMs, typeOne, t);
    return;
  }
  if (cmd == "context") {
    const std::string item = request.value("item", "");
    if (item == "back")
      h->goBack();
    else if (item == "reload")
      h->reload();
    else
      return fail(c, "no such entry");
    return reply(c, {{"ok", true}});
  }
  fail(c, "unknown request '" + cmd + "'");
}

void onLine(GObject *source, GAsyncResult *result, gpointer data) {
  Connection *c = static_cast<Connection *>(data);
  gsize length = 0;
  char *line =
      g_data_input_stream_read_line_finish(G_DATA_INPUT_STREAM(source), result, &length, nullptr);
  if (!line) {
    closeConnection(c);
    return;
  }
  json request = json::parse(line, nullptr, false);
  g_free(line);
  if (!request.is_object()) return fail(c, "not a JSON object");
  handle(c, request);
}

void readNext(Connection *c) {
  g_data_input_stream_read_line_async(c->in, G_PRIORITY_DEFAULT, nullptr, onLine, c);
}

gboolean onIncoming(GSocketService *, GSocketConnection *socket, GObject *, gpointer) {
  GCredentials *credentials =
      g_socket_get_credentials(g_socket_connection_get_socket(socket), nullptr);
  const bool sameUser =
      credentials && g_credentials_get_unix_user(credentials, nullptr) == getuid();
  if (credentials) g_object_unref(credentials);
  if (!sameUser) {
    brlog(kTag, BRLOG_WARNING, "Automation: peer of another user refused\n");
    return TRUE;
  }
  auto *c = new Connection{G_SOCKET_CONNECTION(g_object_ref(socket)), nullptr, nullptr};
  c->in = g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(socket)));
  c->out = g_io_stream_get_output_stream(G_IO_STREAM(socket));
  readNext(c);
  return TRUE;
}

}  // namespace

int32_t zvautomation__start(const std::string &path) {
  Hook &h = hook();
  if (h.service) return BR_EBADSTATE;
  (void)g_unlink(path.c_str());
  GSocketAddress *address = g_unix_socket_address_new(path.c_str());
  GSocketService *service = g_socket_service_new();
  GError *error = nullptr;
  // Created private: the socket lets its peer run script in the pages.
  const mode_t old = umask(077);
  const bool ok =
      g_socket_listener_add_address(G_SOCKET_LISTENER(service), address, G_SOCKET_TYPE_STREAM,
                                    G_SOCKET_PROTOCOL_DEFAULT, nullptr, nullptr, &error);
  umask(old);
  g_object_unref(address);
  if (!ok) {
    brlog(kTag, BRLOG_ERROR, "Automation: cannot listen on %s: %s\n", path.c_str(),
          error ? error->message : "");
    g_clear_error(&error);
    g_object_unref(service);
    return BR_EIO;
  }
  g_signal_connect(service, "incoming", G_CALLBACK(onIncoming), nullptr);
  g_socket_service_start(service);
  h.service = service;
  h.path = path;
  brlog(kTag, BRLOG_WARNING, "Automation enabled on %s\n", path.c_str());
  return BR_OK;
}

void zvautomation__stop() {
  Hook &h = hook();
  if (!h.service) return;
  g_socket_service_stop(h.service);
  g_socket_listener_close(G_SOCKET_LISTENER(h.service));
  g_object_unref(h.service);
  h.service = nullptr;
  (void)g_unlink(h.path.c_str());
}
