// The desktop program's spine.
#include "zvbrowser.h"

#include <glib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "appmsg.h"
#include "appplatform.h"
#include "brhttp.h"
#include "brlog.h"
#include "brthread.h"
#include "brthreadpool.h"
#include "hbeventbus.h"
#include "hbhttpconnpool.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "vxclienttaskqueue.h"
#include "vxsvccache.h"

namespace {

constexpr const char *kTag = "ZVBROWSER";
constexpr const char *kStars = "**********************************************\n";
constexpr const char *kAutostartName = ZVBROWSER_TITLE;

// Stands in for the windows until the desktop code provides them: nothing is shown, and the
// login window counts as visible exactly when the start was not hidden, so the saved window
// state stays what it was.
class HeadlessWindows final : public ZVWindows {
 public:
  bool create() override { return true; }
  void showLogin(bool hidden) override { m_visible = !hidden; }
  void addTrayIcon() override {}
  void setTrayTip(const char *) override {}
  void navigateLogin(const std::string &) override {}
  bool loginOrMainVisible() override { return m_visible; }
  void sessionChanged(uintptr_t) override {}
  void trayEvent(intptr_t) override {}
  bool command(uint32_t) override { return false; }
  void release() override {}
  void removeTrayIcon() override {}

 private:
  bool m_visible = false;
};

struct App {
  HeadlessWindows headless;
  ZVWindows *windows = &headless;
  HBRef<HBProperties> settings;  // the application key; also the default store
  bool hiddenStart = false;
  GMainLoop *loop = nullptr;
  int quitCode = 0;
  bool quitting = false;
};

App &app() {
  static App *a = new App;
  return *a;
}

// The warning of an application key that can be neither opened nor created.
void registryWarning() {
  appplatform__messageBox("Failed to read registry entries!", "Failed to working!", true);
}

// Opens the application key for reading and writing, creating it if missing.
int32_t openBrowserKey(HBRef<HBProperties> &out) {
  const int32_t rc = hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, out.out());
  if (rc < 0) registryWarning();
  return rc;
}

int32_t readHiddenFlag(bool *hidden) {
  HBRef<HBProperties> store;
  if (openBrowserKey(store) < 0) return BR_EFAULT;
  char value[256];
  *hidden = store->getProperty("IsHidden", value, sizeof value) >= 0 &&
            strcmp(value, "true") == 0;
  return BR_OK;
}

void startLogging() {
  std::string showLog;
  if (hbproperties__readKeyValue(HBPROPERTIES_KEY_LOGFILE, "ShowLog", &showLog) == 0 &&
      showLog == "yes")
    hblogsink__init("tesselutilbrowser", "tesselutilbrowser.log");
  brlog__setLevel(BRLOG_INFO);
  for (int i = 0; i < 3; ++i) brlog(kTag, BRLOG_INFO, "%s", kStars);
  brlog(kTag, BRLOG_INFO, "Application Started [VERSION '%s' '%s']\n", ZVBROWSER_APP_VERSION,
        ZVBROWSER_BUILD);
  brlog(kTag, BRLOG_INFO, "Locale ID: 0x%x\n", appplatform__localeId());
}

// Core initialisation, in the order the rest of the program relies on. Returns -15 when the
// application key is unusable (initialisation stops there).
int32_t initCore() {
  App &a = app();
  // 1. No component runtime to initialise on this platform.

  // 2. The worker pool.
  if (brtp__create() < 0) brlog(kTag, BRLOG_ERROR, "ERROR: Can't create thread pool!\n");

  // 3. The HTTP connection pool of every service call, registered for the RPC layer.
  {
    HBRef<IHBHTTPConnPool> pool;
    if (hbhttpconnpool__create(pool.out()) == 0) {
      hbhttpconnpool__setDefault(pool.get());
      hbrpc__setConnPool(pool.get());
    }
  }

  // 4. The application settings store, also the process-wide default.
  if (openBrowserKey(a.settings) < 0) return BR_EFAULT;
  hbproperties__setDefault(a.settings.get());

  // 5. The mounter service.
  (void)appplatform__mounterCommand("start");

  // 6. Start at sign-on.
  (void)zvbrowser__autostart(true);

  // 7. The hidden-start flag.
  if (readHiddenFlag(&a.hiddenStart) < 0) return BR_EFAULT;

  // 8. The main thread's name, printed in every log line.
  brthread__setName(brthread__self(), "MAIN");

  // 9. The event bus, unless one exists already (-5).
  (void)hbevent__create();

  // 10. The log.
  startLogging();

  // 11. The service address from the Server key's host (logged when it does not parse; the
  //     program then runs without service calls).
  (void)hbsvc__initServiceURL();

  // 12. The user lock.
  (void)zvbrowser__userLock();

  // 13. The client's name in every request's User-Agent.
  brhttp__setUserAgent(ZVBROWSER_USER_AGENT);
  return BR_OK;
}

void handleMessage(const AppMessage &m, void *);

void shutdownTaskQueue() {
  HBRef<VXClientTaskQueue> queue;
  if (vxclienttaskqueue__getGlobal(queue) == 0) (void)queue->shutdown();
}

// Window creation and the long-lived services. False when the windows could not be made.
bool createWindows() {
  App &a = app();
  // 1-2. The three windows (main, login, preferences) with their browsers; the main window is
  //      what other invocations and the drive helper reach through the control socket.
  if (!a.windows->create()) return false;
  if (appplatform__listen(ZVBROWSER_CLASS_MAIN) < 0)
    brlog(kTag, BRLOG_ERROR, "The control socket is not available\n");
  // 3. The shared window centre belongs to the windows.
  // 4. The service cache, with no session token and with its thread.
  (void)vxsvccache__init(nullptr, true);
  // 5-6. The task queue, reached through its global, and the default Pictures ("photo") and
  //      Documents ("documents") sources.
  {
    HBRef<VXClientTaskQueue> queue;
    if (VXClientTaskQueue::create(queue) == 0) {
      vxclienttaskqueue__setGlobal(queue.get());
      (void)vxclienttaskqueue__addDefaultSources(queue.get());
    } else {
      brlog(kTag, BRLOG_ERROR, "The task queue could not be started\n");
    }
  }
  // 7. TODO(mount manager): create the drive mount manager.
  // 8. The login window.
  a.windows->showLogin(a.hiddenStart);
  // 9. The tray icon.
  a.windows->addTrayIcon();
  // 10. The login page, asking it to verify a stored session.
  std::string token;
  std::string address = ZVBROWSER_PAGE_LOGIN;
  if (a.settings && hbproperties__getString(a.settings.get(), "valtoken", &token) == 0 &&
      !token.empty())
    address += "?verify=1";
  brlog(kTag, BRLOG_INFO, "Login->Navigate('%-.*s')\n", static_cast<int>(address.size()),
        address.c_str());
  a.windows->navigateLogin(address);
  // 11. The tray tip.
  a.windows->setTrayTip(ZVBROWSER_TITLE);
  // 12. TODO(mount manager): switch a left-over showdrive setting off, unmounting old drives.
  // 13. Every start ends with the drive connected and opened.
  (void)appmsg__post(MSG_TRAY_COMMAND, ZVCMD_CONNECT_DRIVE, ZVBROWSER_LPARAM_COMMAND);
  (void)appmsg__post(MSG_TRAY_COMMAND, ZVCMD_OPEN_DRIVE, ZVBROWSER_LPARAM_COMMAND);
  return true;
}

// The main window's share of the private messages.
void handleMessage(const AppMessage &m, void *) {
  App &a = app();
  switch (m.msg) {
    case MSG_TRAY_COMMAND:
      if (m.lParam != ZVBROWSER_LPARAM_COMMAND) {
        a.windows->trayEvent(m.lParam);
      } else if (m.wParam == ZVCMD_EXIT) {
        zvbrowser__exitCommand();
      } else if (m.wParam == ZVCMD_SHUTDOWN) {
        zvbrowser__shutdownCommand();
      } else if (!a.windows->command(static_cast<uint32_t>(m.wParam))) {
        brlog(kTag, BRLOG_VERBOSE, "Command %lu not handled\n",
              static_cast<unsigned long>(m.wParam));
      }
      break;
    case MSG_SESSION_CHANGED:
      a.windows->sessionChanged(m.wParam);
      break;
    case MSG_OPEN_URL:
      // TODO(tray and windows): open the address with the desktop's default browser. The queue
      // releases the string object after this returns.
      break;
    case MSG_COPYDATA:
      // TODO(mount manager): kind 1 is the drive helper's "name::service::device" report of an
      // unreachable drive.
      brlog(kTag, BRLOG_VERBOSE, "Copy-data kind %lu, %u bytes\n",
            static_cast<unsigned long>(m.wParam), m.dataSize);
      break;
    default:
      break;
  }
}

void onSessionEnd(int signal, void *) {
  brlog(kTag, BRLOG_INFO, "Session ending (signal %d)\n", signal);
  zvbrowser__sessionEnd();
}

// After the message loop, in this order.
void shutdownApp(int code) {
  App &a = app();
  // 1. The task queue.
  shutdownTaskQueue();
  // 2. TODO(mount manager): under its lock drop its session token, then unmount every drive.
  // 3. The tray icon.
  a.windows->removeTrayIcon();
  // 4. No component runtime to uninitialise on this platform.
  // 5. The exit banner.
  brlog(kTag, BRLOG_INFO, "Application Gracefully exiting (%d)...\n", code);
  brlog(kTag, BRLOG_INFO, "%s", kStars);
  brlog(kTag, BRLOG_INFO, "%s", kStars);
  brlog(kTag, BRLOG_INFO, "\n");
  brlog(kTag, BRLOG_INFO, "\n");
  // No other instance can be reached through us any more.
  appplatform__closeListener();
  appplatform__unwatchSessionEnd();
  appmsg__shutdown();
}

enum class OptionResult { Continue, Exit };

OptionResult processOptions(const std::vector<std::string> &options) {
  for (const std::string &option : options) {
    if (option == "--shutdown" || option == "--stop") {
      (void)appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_TRAY_COMMAND, ZVCMD_SHUTDOWN,
                              ZVBROWSER_LPARAM_COMMAND);
      return OptionResult::Exit;
    }
    if (option == "--version" || option == "--ver") {
      char text[128];
      snprintf(text, sizeof text, "Version: %s [%s]", ZVBROWSER_APP_VERSION,
               ZVBROWSER_CORE_VERSION);
      if (appplatform__hasDisplay() && appplatform__hasMessageBox()) {
        appplatform__messageBox(text, ZVBROWSER_TITLE, false);
      } else {
        printf("%s\n", text);
        fflush(stdout);
      }
    } else if (option == "--runnonelevated") {
      (void)appplatform__runNonElevated();
    }
  }
  return OptionResult::Continue;
}

}  // namespace

void zvbrowser__setWindows(ZVWindows *windows) {
  app().windows = windows ? windows : &app().headless;
}

std::vector<std::string> zvbrowser__keptOptions(int argc, char **argv) {
  std::vector<std::string> kept;
  for (int i = 1; i < argc; ++i)
    if (argv[i] && strncmp(argv[i], "--", 2) == 0) kept.emplace_back(argv[i]);
  return kept;
}

std::mutex &zvbrowser__userLock() {
  static std::mutex *lock = new std::mutex;
  return *lock;
}

void zvbrowser__quit(int code) {
  App &a = app();
  a.quitCode = code;
  a.quitting = true;
  if (a.loop) g_main_loop_quit(a.loop);
}

int32_t zvbrowser__saveWindowState() {
  HBRef<HBProperties> store;
  if (openBrowserKey(store) < 0) return BR_EFAULT;
  const bool visible = app().windows->loginOrMainVisible();
  if (store->setProperty("IsHidden", visible ? "false" : "true") < 0) return BR_EFAULT;
  return BR_OK;
}

int32_t zvbrowser__autostart(bool enable) {
  // The Run key always exists where the program came from; here it is made on first use.
  HBRef<HBProperties> store;
  if (hbproperties__open(HBPROPERTIES_KEY_RUN, HBPROPERTIES_CREATE, store.out()) < 0)
    return BR_EFAULT;
  const std::string command =
      enable ? std::string(appplatform__installBinDir()) + "/tesselutilbrowser" : std::string();
  if (store->setProperty(kAutostartName, command.c_str()) < 0) return BR_EFAULT;
  if (appplatform__autostartEntry(command.c_str()) < 0) return BR_EFAULT;
  return BR_OK;
}

void zvbrowser__exitCommand() {
  // TODO(mount manager): forget the selected drive.
  (void)zvbrowser__saveWindowState();
  (void)zvbrowser__autostart(false);
  (void)appplatform__mounterCommand("stop");
  zvbrowser__quit(0);
}

void zvbrowser__shutdownCommand() {
  (void)zvbrowser__saveWindowState();
  // TODO(mount manager): if showdrive is on, switch it off (unmounting).
  (void)appplatform__mounterCommand("stop");
  app().windows->release();
  zvbrowser__quit(0);
}

void zvbrowser__sessionEnd() {
  shutdownTaskQueue();
  // TODO(mount manager): drop its session token and unmount every drive.
  (void)zvbrowser__saveWindowState();
  // TODO(mount manager): if showdrive is on, switch it off (unmounting).
  app().windows->release();
  zvbrowser__quit(0);
}

int zvbrowser__main(int argc, char **argv) {
  App &a = app();
  if (processOptions(zvbrowser__keptOptions(argc, argv)) == OptionResult::Exit) return 0;

  const int32_t lock = appplatform__lockInstance();
  if (lock == BR_EEXISTS) return ZVBROWSER_EXIT_RUNNING;

  // The loop's context exists before anything may post to it.
  a.loop = g_main_loop_new(nullptr, FALSE);
  if (appmsg__init(nullptr, handleMessage, nullptr) < 0) {
    g_main_loop_unref(a.loop);
    a.loop = nullptr;
    return 1;
  }
  appplatform__watchSessionEnd(onSessionEnd, nullptr);

  if (initCore() < 0) {
    // Nothing works without the settings store: leave after the warning.
    appplatform__unwatchSessionEnd();
    appmsg__shutdown();
    return 1;
  }
  if (!createWindows()) {
    appplatform__closeListener();
    appplatform__unwatchSessionEnd();
    appmsg__shutdown();
    return 0;
  }
  if (!a.quitting) g_main_loop_run(a.loop);
  const int code = a.quitCode;
  shutdownApp(code);
  g_main_loop_unref(a.loop);
  a.loop = nullptr;
  return code;
}
