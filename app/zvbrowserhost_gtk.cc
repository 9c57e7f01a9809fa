// The browser host: the shared web context with its res scheme, and one WebKit view per window
// with the navigation events, the token capture, the context menu and the login strip.
#include <cstring>
#include <string>

#include "brlog.h"
#include "brtls.h"
#include "hbproperties.h"
#include "hbsvcendpoint.h"
#include "zvbridge.h"
#include "zvbrowser.h"
#include "zvdesktop_gtk.h"
#include "zvres.h"
#include "zvsession.h"
#include "zvui.h"

namespace {

constexpr const char *kTag = "BHOST";
constexpr const char *kOrigin = "res://" ZVRES_HOST;
constexpr const char *kBridgePath = "/__bridge/";
constexpr int kStripHeight = 70;

// Defines window.external.zvsrv and, once the document has loaded, window.yto, for our own
// res:// pages only. Each method call is a synchronous request to the bridge (zvbridge.h).
constexpr const char *kBridgeScript = R"JS((function () {
  if (location.protocol !== 'res:') return;
  var base = 'res://tesselutilbrowser.exe/__bridge/';
  function call(name, args) {
    var list = [];
    for (var i = 0; i < args.length; i++) list.push(args[i] === undefined ? null : args[i]);
    var x = new XMLHttpRequest();
    x.open('POST', base + encodeURIComponent(name), false);
    x.setRequestHeader('Content-Type', 'application/json');
    x.send(JSON.stringify(list));
    var answer = null;
    try { answer = JSON.parse(x.responseText); } catch (e) {}
    if (x.status !== 200 || !answer) {
      var refused = new Error('zvsrv.' + name + ': refused');
      refused.name = 'Refused';
      throw refused;
    }
    if (answer.error) {
      var failure = new Error(answer.message);
      failure.name = answer.error;
      failure.number = answer.code;
      throw failure;
    }
    return answer.result;
  }
  var methods = {};
  var bridge = new Proxy(methods, {
    get: function (target, name) {
      if (typeof name !== 'string' || name === 'then' || name === 'toJSON') return undefined;
      if (!Object.prototype.hasOwnProperty.call(target, name))
        target[name] = function () { return call(name, arguments); };
      return target[name];
    },
    set: function () { return false; }
  });
  var external = {};
  Object.defineProperty(external, 'zvsrv', { value: bridge, enumerable: true });
  Object.defineProperty(window, 'external', { value: external });
  window.callMyFunction = function () { call('__callMyFunction', []); };
  window.addEventListener('load', function () { window.yto = bridge; }, true);
})();)JS";

// An address as it may be logged: the session token of a sign-in redirect, or one in a query,
// is masked.
std::string masked(const char *uri) {
  std::string text = uri ? uri : "";
  for (const char *marker : {"access_token=", "valtoken="}) {
    size_t pos = 0;
    while ((pos = text.find(marker, pos)) != std::string::npos) {
      pos += strlen(marker);
      const size_t end = text.find_first_of("&#", pos);
      text.replace(pos, (end == std::string::npos ? text.size() : end) - pos, "***");
    }
  }
  return text;
}

std::string normalised(const char *uri) {
  std::string text = uri ? uri : "";
  for (char &c : text)
    if (c == '\\') c = '/';
  return text;
}

bool isLoginPage(const char *uri) {
  return normalised(uri) == normalised(ZVBROWSER_PAGE_LOGIN);
}

// "scheme://host[:port]" of the service, in lower case: the origin of its web sign-in pages,
// over https (as the login page sends the user there) or http.
std::string serviceAuthority() {
  const std::string url = hbsvc__getServiceURLText();
  const size_t at = url.find("://");
  if (at == std::string::npos) return std::string();
  std::string authority = url.substr(at + 3, url.find_first_of("/?#", at + 3) - (at + 3));
  for (char &c : authority) c = static_cast<char>(g_ascii_tolower(c));
  return authority;
}

// True when `uri` is an http or https address of the service's host and port.
bool isServiceAddress(const char *uri, const std::string &authority) {
  if (!uri || authority.empty()) return false;
  size_t skip = 0;
  if (g_ascii_strncasecmp(uri, "https://", 8) == 0)
    skip = 8;
  else if (g_ascii_strncasecmp(uri, "http://", 7) == 0)
    skip = 7;
  else
    return false;
  const char *rest = uri + skip;
  const size_t length = strcspn(rest, "/?#\\");
  return length == authority.size() && g_ascii_strncasecmp(rest, authority.c_str(), length) == 0;
}

bool isPostAuth(const char *uri) {
  static const char kPostAuth[] = "ytoauth://postauth";
  return uri && g_ascii_strncasecmp(uri, kPostAuth, sizeof kPostAuth - 1) == 0 &&
         (uri[sizeof kPostAuth - 1] == '#' || uri[sizeof kPostAuth - 1] == '?' ||
          uri[sizeof kPostAuth - 1] == '/' || uri[sizeof kPostAuth - 1] == '\0');
}

// Our own pages and the empty page of a new frame are shown in the program.
bool isInside(const char *uri) {
  return uri && (g_ascii_strncasecmp(uri, "res://", 6) == 0 || strcmp(uri, "about:blank") == 0);
}

// An outside address the user asked for, in the desktop's browser (web and mail addresses only).
void openOutside(const char *uri, const std::string &logged) {
  if (!uri || (g_ascii_strncasecmp(uri, "https://", 8) != 0 &&
               g_ascii_strncasecmp(uri, "http://", 7) != 0 &&
               g_ascii_strncasecmp(uri, "mailto:", 7) != 0)) {
    brlog(kTag, BRLOG_WARNING, "BEFORENAVIGATE2 -- '%s' is not opened\n", logged.c_str());
    return;
  }
  brlog(kTag, BRLOG_INFO, "BEFORENAVIGATE2 -- '%s' opens in the desktop's browser\n",
        logged.c_str());
  zvui__openURL(uri);
}

void finishText(WebKitURISchemeRequest *request, int status, const std::string &body,
                const char *type) {
  GBytes *bytes = g_bytes_new(body.data(), body.size());
  GInputStream *stream = g_memory_input_stream_new_from_bytes(bytes);
  WebKitURISchemeResponse *response =
      webkit_uri_scheme_response_new(stream, static_cast<gint64>(body.size()));
  webkit_uri_scheme_response_set_status(response, static_cast<guint>(status), nullptr);
  webkit_uri_scheme_response_set_content_type(response, type);
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
  g_bytes_unref(bytes);
}

// Reads at most `limit` + 1 bytes of the request's body.
std::string readBody(WebKitURISchemeRequest *request, size_t limit) {
  std::string body;
  GInputStream *stream = webkit_uri_scheme_request_get_http_body(request);
  if (!stream) return body;
  char buf[16384];
  for (;;) {
    const gssize n = g_input_stream_read(stream, buf, sizeof buf, nullptr, nullptr);
    if (n <= 0) break;
    body.append(buf, static_cast<size_t>(n));
    if (body.size() > limit) break;
  }
  g_object_unref(stream);
  return body;
}

// A call of the bridge: answered only for one of our views showing one of our pages, asked by
// that page itself; anything else (a web page in a view, a frame of another origin) is refused.
void serveBridge(WebKitURISchemeRequest *request, const char *path) {
  WebKitWebView *view = webkit_uri_scheme_request_get_web_view(request);
  BrowserHost *host = view ? BrowserHost::fromView(view) : nullptr;
  SoupMessageHeaders *headers = webkit_uri_scheme_request_get_http_headers(request);
  const char *origin = headers ? soup_message_headers_get_one(headers, "Origin") : nullptr;
  const char *method = webkit_uri_scheme_request_get_http_method(request);
  gchar *name = g_uri_unescape_string(path + strlen(kBridgePath), nullptr);
  const bool ours = host && host->showsOwnPage() && origin && strcmp(origin, kOrigin) == 0 &&
                    method && strcmp(method, "POST") == 0 && name;
  if (!ours) {
    brlog(kTag, BRLOG_WARNING, "Bridge call '%.64s' refused: it does not come from our pages\n",
          name ? name : "?");
    g_free(name);
    finishText(request, 403, "{\"error\":\"Refused\"}", "application/json");
    return;
  }
  const std::string body = readBody(request, ZVBRIDGE_MAX_BODY);
  std::string answer;
  if (strcmp(name, "__callMyFunction") == 0) {
    brlog(kTag, BRLOG_VERBOSE2,
          "DISPID_VALUE was called -- This should only be for 'callMyFunction'\n");
    answer = "{}";
  } else {
    // The request stays ours while a method runs a nested loop (the folder dialog).
    g_object_ref(request);
    answer = zvbridge__invoke(host->id(), name, body);
    g_object_unref(request);
  }
  g_free(name);
  finishText(request, 200, answer, "application/json");
}

void onResRequest(WebKitURISchemeRequest *request, gpointer) {
  const char *uri = webkit_uri_scheme_request_get_uri(request);
  const char *path = webkit_uri_scheme_request_get_path(request);
  const size_t originLength = strlen(kOrigin);
  if (!uri || g_ascii_strncasecmp(uri, kOrigin, originLength) != 0 || uri[originLength] != '/' ||
      !path) {
    GError *error = g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "No such page");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  if (strncmp(path, kBridgePath, strlen(kBridgePath)) == 0) {
    serveBridge(request, path);
    return;
  }
  std::string name, mime;
  GBytes *bytes = nullptr;
  gchar *decoded = g_uri_unescape_string(path, nullptr);  // null for an encoded NUL
  const bool named = decoded && zvres__pageName(decoded, &name);
  g_free(decoded);
  if (!named || zvres__lookup(name, &bytes, &mime) < 0) {
    GError *error = g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "No such page");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  GInputStream *stream = g_memory_input_stream_new_from_bytes(bytes);
  webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(g_bytes_get_size(bytes)),
                                   mime.c_str());
  g_object_unref(stream);
  g_bytes_unref(bytes);
}

// The Server key's pinned certificate is trusted by the views for the service's host, so that
// sign-in over https to a self-hosted service works.
void trustServiceCertificate(WebKitWebContext *context) {
  char certfile[4096];
  if (!brtls__getPinnedCertFile(certfile, sizeof certfile)) return;
  std::string host = hbsvc__readHost();
  if (!host.empty() && host[0] == '[') {
    host = host.substr(1, host.find(']') - 1);
  } else if (host.find(':') != std::string::npos) {
    host = host.substr(0, host.find(':'));
  }
  GError *error = nullptr;
  GList *certificates = g_tls_certificate_list_new_from_file(certfile, &error);
  if (!certificates) {
    brlog(kTag, BRLOG_ERROR, "The pinned certificate '%s' cannot be read: %s\n", certfile,
          error ? error->message : "no certificate");
    g_clear_error(&error);
    return;
  }
  for (GList *c = certificates; c; c = c->next)
    webkit_web_context_allow_tls_certificate_for_host(context, G_TLS_CERTIFICATE(c->data),
                                                      host.c_str());
  g_list_free_full(certificates, g_object_unref);
  brlog(kTag, BRLOG_INFO, "The pinned certificate is trusted for '%s'\n", host.c_str());
}

WebKitUserContentManager *contentManager() {
  static WebKitUserContentManager *manager = nullptr;
  if (manager) return manager;
  manager = webkit_user_content_manager_new();
  WebKitUserScript *script =
      webkit_user_script_new(kBridgeScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(manager, script);
  webkit_user_script_unref(script);
  return manager;
}

}  // namespace

WebKitWebContext *zvhost__context() {
  static WebKitWebContext *context = nullptr;
  if (context) return context;
  const std::string data = std::string(g_get_user_data_dir()) + "/Orvane Tessel Utility/webkit";
  const std::string cache = std::string(g_get_user_cache_dir()) + "/Orvane Tessel Utility/webkit";
  WebKitWebsiteDataManager *manager = webkit_website_data_manager_new(
      "base-data-directory", data.c_str(), "base-cache-directory", cache.c_str(), nullptr);
  // Certificate errors fail the load; only the pinned certificate is let through.
  webkit_website_data_manager_set_tls_errors_policy(manager, WEBKIT_TLS_ERRORS_POLICY_FAIL);
  context = webkit_web_context_new_with_website_data_manager(manager);
  g_object_unref(manager);
  webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  webkit_web_context_register_uri_scheme(context, "res", onResRequest, nullptr, nullptr);
  // Web pages may not load our pages or reach the bridge.
  webkit_security_manager_register_uri_scheme_as_local(
      webkit_web_context_get_security_manager(context), "res");
  trustServiceCertificate(context);
  return context;
}

BrowserHost::BrowserHost(ZVWindowId id, bool withStrip) : m_id(id) {
  // The page's state starts as "start" unless the user paused the backups.
  std::string state;
  if (hbproperties__getDefaultString("currentState", &state) < 0 || state != "paused")
    (void)hbproperties__setDefaultString("currentState", "start");

  WebKitSettings *settings = webkit_settings_new();
  webkit_settings_set_hardware_acceleration_policy(settings,
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  webkit_settings_set_enable_write_console_messages_to_stdout(settings,
                                                              !zvbrowser__automationPath().empty());
  m_view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", zvhost__context(),
                                        "user-content-manager", contentManager(), "settings",
                                        settings, nullptr));
  g_object_unref(settings);
  g_object_ref_sink(m_view);
  g_object_set_data(G_OBJECT(m_view), "zvhost", this);

  m_box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  g_object_ref_sink(m_box);
  if (withStrip) {
    m_strip = gtk_drawing_area_new();
    gtk_widget_set_size_request(m_strip, -1, kStripHeight);
    gtk_widget_add_events(m_strip, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK);
    gtk_widget_set_no_show_all(m_strip, TRUE);
    g_signal_connect(m_strip, "draw", G_CALLBACK(onStripDraw), this);
    g_signal_connect(m_strip, "motion-notify-event", G_CALLBACK(onStripMotion), this);
    g_signal_connect(m_strip, "button-press-event", G_CALLBACK(onStripPress), this);
    gtk_box_pack_start(GTK_BOX(m_box), m_strip, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(m_box), GTK_WIDGET(m_view), TRUE, TRUE, 0);

  // The context menu's two actions.
  m_actions = g_simple_action_group_new();
  GSimpleAction *back = g_simple_action_new("back", nullptr);
  g_signal_connect(back, "activate", G_CALLBACK(+[](GSimpleAction *, GVariant *, gpointer self) {
                     static_cast<BrowserHost *>(self)->goBack();
                   }),
                   this);
  GSimpleAction *reload = g_simple_action_new("reload", nullptr);
  g_signal_connect(reload, "activate", G_CALLBACK(+[](GSimpleAction *, GVariant *, gpointer self) {
                     webkit_web_view_reload(static_cast<BrowserHost *>(self)->m_view);
                   }),
                   this);
  g_action_map_add_action(G_ACTION_MAP(m_actions), G_ACTION(back));
  g_action_map_add_action(G_ACTION_MAP(m_actions), G_ACTION(reload));
  g_object_unref(back);
  g_object_unref(reload);

  g_signal_connect(m_view, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  g_signal_connect(m_view, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(m_view, "load-failed", G_CALLBACK(onLoadFailed), this);
  g_signal_connect(m_view, "load-failed-with-tls-errors", G_CALLBACK(onTlsError), this);
  g_signal_connect(m_view, "context-menu", G_CALLBACK(onContextMenu), this);
  g_signal_connect(m_view, "create", G_CALLBACK(onCreate), this);
  g_signal_connect(m_view, "notify::title", G_CALLBACK(onTitle), this);
  g_signal_connect(m_view, "notify::estimated-load-progress", G_CALLBACK(onProgress), this);
  g_signal_connect(m_view, "mouse-target-changed", G_CALLBACK(onMouseTarget), this);
  g_signal_connect(m_view, "close", G_CALLBACK(onClose), this);
}

BrowserHost::~BrowserHost() {
  g_signal_handlers_disconnect_by_data(m_view, this);
  g_object_set_data(G_OBJECT(m_view), "zvhost", nullptr);
  g_object_unref(m_actions);
  g_object_unref(m_view);
  g_object_unref(m_box);
}

BrowserHost *BrowserHost::fromView(WebKitWebView *view) {
  return static_cast<BrowserHost *>(g_object_get_data(G_OBJECT(view), "zvhost"));
}

void BrowserHost::navigate(const std::string &address) {
  webkit_web_view_load_uri(m_view, address.c_str());
}

void BrowserHost::reload() {
  webkit_web_view_reload_bypass_cache(m_view);
}

void BrowserHost::goBack() {
  m_goingBack = true;
  webkit_web_view_go_back(m_view);
}

bool BrowserHost::showsOwnPage() const {
  const char *uri = webkit_web_view_get_uri(m_view);
  return uri && g_ascii_strncasecmp(uri, "res://", 6) == 0;
}

bool BrowserHost::callPageFunction(const char *name, const char *a, const char *b, const char *c) {
  if (!showsOwnPage()) return false;
  // The texts travel as JSON strings, so nothing in them is taken as script.
  nlohmann::json args = {name, a ? a : "", b ? b : "", c ? c : ""};
  const std::string list = args.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const std::string script =
      "(function (f, a, b, c) { if (typeof window[f] === 'function') "
      "window[f](a, b, c); }).apply(null, " +
      list + ");";
  webkit_web_view_evaluate_javascript(m_view, script.c_str(), -1, nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
  return true;
}

void BrowserHost::updateStrip() {
  if (!m_strip) return;
  const char *uri = webkit_web_view_get_uri(m_view);
  bool show = false;
  if (!isLoginPage(uri)) show = m_id == ZVWIN_LOGIN && !hbsvc__isSignedIn();
  gtk_widget_set_visible(m_strip, show);
  m_topOffset = show ? kStripHeight : 0;
}

gboolean BrowserHost::onDecidePolicy(WebKitWebView *, WebKitPolicyDecision *decision,
                                     WebKitPolicyDecisionType type, gpointer self) {
  BrowserHost *host = static_cast<BrowserHost *>(self);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
    WebKitResponsePolicyDecision *response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (webkit_response_policy_decision_is_mime_type_supported(response)) return FALSE;
    // No downloads into the program's windows.
    const char *uri =
        webkit_uri_request_get_uri(webkit_response_policy_decision_get_request(response));
    brlog(kTag, BRLOG_VERBOSE2, "FILEDOWNLOAD -- '%s'\n", masked(uri).c_str());
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  WebKitNavigationAction *action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const char *uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  const std::string logged = masked(uri);
  brlog(kTag, BRLOG_VERBOSE2, "BEFORENAVIGATE2 -- '%s'\n", logged.c_str());
  const std::string service = serviceAuthority();
  // The page the view showed last (its address already names a redirect's target).
  const bool onService = isServiceAddress(host->m_committed.c_str(), service);
  const char *marker = uri ? strstr(uri, "#access_token=") : nullptr;
  if (marker) {
    // The end of the service's web sign-in: the token is taken and the address never loaded.
    // Only the login window's own sign-in counts: started by the user from our login page, on
    // the service's pages now, redirected to the service's origin or to "ytoauth://postauth".
    // Any other page or frame that names a token is refused, or it could sign the program into
    // another account.
    webkit_policy_decision_ignore(decision);
    const bool ours = host->m_id == ZVWIN_LOGIN && host->m_signInStarted && onService &&
                      type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
                      (isPostAuth(uri) || isServiceAddress(uri, service));
    if (!ours) {
      brlog(kTag, BRLOG_WARNING,
            "BEFORENAVIGATE2 -- a token not from the sign-in started here was refused: '%s'\n",
            logged.c_str());
      return TRUE;
    }
    const char *start = marker + strlen("#access_token=");
    const std::string token(start, strcspn(start, "&"));
    if (token.empty()) {
      brlog(kTag, BRLOG_WARNING, "BEFORENAVIGATE2 -- no token after '#access_token=', ignored\n");
    } else {
      host->m_signInStarted = false;
      (void)zvsession__signIn(token.c_str());
    }
    return TRUE;
  }
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    brlog(kTag, BRLOG_VERBOSE2, "NEWWINDOW3 -- '%s'\n", logged.c_str());
    webkit_policy_decision_ignore(decision);
    openOutside(uri, logged);
    return TRUE;
  }
  if (isInside(uri)) return FALSE;
  if (host->m_id == ZVWIN_LOGIN && isServiceAddress(uri, service)) {
    // Get Started: our login page sends the user to the service's web sign-in; from there the
    // service's own pages lead on.
    if (isInside(host->m_committed.c_str())) {
      host->m_signInStarted = true;
      brlog(kTag, BRLOG_INFO, "The web sign-in starts\n");
      return FALSE;
    }
    if (onService) return FALSE;
  }
  // Everything else is no page of ours: it is never shown in our windows, and web addresses open
  // in the desktop's browser instead.
  webkit_policy_decision_ignore(decision);
  openOutside(uri, logged);
  return TRUE;
}

void BrowserHost::onLoadChanged(WebKitWebView *view, WebKitLoadEvent event, gpointer self) {
  BrowserHost *host = static_cast<BrowserHost *>(self);
  const std::string uri = masked(webkit_web_view_get_uri(view));
  switch (event) {
    case WEBKIT_LOAD_STARTED:
      brlog(kTag, BRLOG_VERBOSE2, "DOWNLOADBEGIN -- \n");
      break;
    case WEBKIT_LOAD_COMMITTED:
      // Back on one of our pages, a web sign-in is no longer under way.
      host->m_committed = webkit_web_view_get_uri(view) ? webkit_web_view_get_uri(view) : "";
      if (isInside(host->m_committed.c_str())) host->m_signInStarted = false;
      host->updateStrip();
      brlog(kTag, BRLOG_VERBOSE2, "NAVIGATECOMPLETE2 -- '%s'\n", uri.c_str());
      break;
    case WEBKIT_LOAD_FINISHED:
      brlog(kTag, BRLOG_VERBOSE2, "DOWNLOADCOMPLETE -- \n");
      brlog(kTag, BRLOG_VERBOSE2, "DOCUMENTCOMPLETE -- '%s'\n", uri.c_str());
      gtk_widget_grab_focus(GTK_WIDGET(view));
      if (host->m_goingBack) {
        // A page reached through Back is shown fresh.
        host->m_goingBack = false;
        webkit_web_view_reload(view);
      }
      break;
    default:
      break;
  }
}

gboolean BrowserHost::onLoadFailed(WebKitWebView *, WebKitLoadEvent, gchar *uri, GError *error,
                                   gpointer self) {
  // The load cancelled by the token capture (or any other policy decision) is no error.
  if (g_error_matches(error, WEBKIT_POLICY_ERROR,
                      WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
    return TRUE;
  BrowserHost *host = static_cast<BrowserHost *>(self);
  const std::string logged = masked(uri);
  brlog(kTag, BRLOG_VERBOSE2, "NAVIGATEERROR -- '%s'\n", logged.c_str());
  brlog(kTag, BRLOG_WARNING, "Cannot show '%s': %s\n", logged.c_str(), error ? error->message : "");
  // A page of ours that does not exist returns to the login page.
  if (uri && g_ascii_strncasecmp(uri, "res://", 6) == 0 && !isLoginPage(uri) &&
      (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND) ||
       g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST))) {
    host->navigate(ZVBROWSER_PAGE_LOGIN);
    return TRUE;
  }
  return FALSE;
}

gboolean BrowserHost::onTlsError(WebKitWebView *, gchar *uri, GTlsCertificate *,
                                 GTlsCertificateFlags errors, gpointer) {
  brlog(kTag, BRLOG_WARNING, "The certificate of '%s' is refused (0x%x)\n", masked(uri).c_str(),
        static_cast<unsigned>(errors));
  return FALSE;
}

gboolean BrowserHost::onContextMenu(WebKitWebView *, WebKitContextMenu *menu, GdkEvent *,
                                    WebKitHitTestResult *, gpointer self) {
  BrowserHost *host = static_cast<BrowserHost *>(self);
  webkit_context_menu_remove_all(menu);
  GAction *back = g_action_map_lookup_action(G_ACTION_MAP(host->m_actions), "back");
  GAction *reload = g_action_map_lookup_action(G_ACTION_MAP(host->m_actions), "reload");
  webkit_context_menu_append(menu,
                             webkit_context_menu_item_new_from_gaction(back, "_Back", nullptr));
  webkit_context_menu_append(menu,
                             webkit_context_menu_item_new_from_gaction(reload, "_Reload", nullptr));
  return FALSE;
}

GtkWidget *BrowserHost::onCreate(WebKitWebView *, WebKitNavigationAction *action, gpointer) {
  const char *uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  brlog(kTag, BRLOG_VERBOSE2, "NEWWINDOW3 -- '%s'\n", masked(uri).c_str());
  return nullptr;
}

void BrowserHost::onTitle(GObject *view, GParamSpec *, gpointer) {
  const char *title = webkit_web_view_get_title(WEBKIT_WEB_VIEW(view));
  brlog(kTag, BRLOG_VERBOSE2, "TITLECHANGE -- '%s'\n", title ? title : "");
}

void BrowserHost::onProgress(GObject *, GParamSpec *, gpointer) {
  brlog(kTag, BRLOG_VERBOSE2, "PROGRESSCHANGE -- \n");
}

void BrowserHost::onMouseTarget(WebKitWebView *, WebKitHitTestResult *hit, guint, gpointer) {
  const char *link = webkit_hit_test_result_context_is_link(hit)
                         ? webkit_hit_test_result_get_link_uri(hit)
                         : nullptr;
  brlog(kTag, BRLOG_VERBOSE2, "STATUSTEXTCHANGE -- '%s'\n", masked(link).c_str());
}

void BrowserHost::onClose(WebKitWebView *, gpointer) {
  brlog(kTag, BRLOG_VERBOSE2, "WINDOWCLOSING -- \n");
}

gboolean BrowserHost::onStripDraw(GtkWidget *strip, cairo_t *cr, gpointer) {
  const int width = gtk_widget_get_allocated_width(strip);
  const int height = gtk_widget_get_allocated_height(strip);
  cairo_set_source_rgb(cr, 0xf6 / 255.0, 0xf7 / 255.0, 0xf9 / 255.0);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, 0xe1 / 255.0, 0xe4 / 255.0, 0xea / 255.0);
  cairo_rectangle(cr, 0, height - 1, width, 1);
  cairo_fill(cr);
  // "‹ Back" in the accent colour, in the left fifth that acts as the Back button.
  PangoLayout *layout = gtk_widget_create_pango_layout(strip, "\u2039 Back");
  PangoFontDescription *font = pango_font_description_from_string("Sans 13px");
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);
  int tw, th;
  pango_layout_get_pixel_size(layout, &tw, &th);
  cairo_set_source_rgb(cr, 0x2f / 255.0, 0x6f / 255.0, 0xde / 255.0);
  cairo_move_to(cr, 16, (height - th) / 2.0);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
  return TRUE;
}

gboolean BrowserHost::onStripMotion(GtkWidget *strip, GdkEventMotion *event, gpointer) {
  const bool inBack = event->x < gtk_widget_get_allocated_width(strip) / 5.0;
  GdkCursor *cursor =
      gdk_cursor_new_from_name(gtk_widget_get_display(strip), inBack ? "pointer" : "default");
  gdk_window_set_cursor(gtk_widget_get_window(strip), cursor);
  if (cursor) g_object_unref(cursor);
  return FALSE;
}

gboolean BrowserHost::onStripPress(GtkWidget *strip, GdkEventButton *event, gpointer self) {
  if (event->button == 1 && event->x < gtk_widget_get_allocated_width(strip) / 5.0)
    webkit_web_view_go_back(static_cast<BrowserHost *>(self)->m_view);
  return TRUE;
}
