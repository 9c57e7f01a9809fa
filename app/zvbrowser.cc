// The desktop program's spine.
#include "zvbrowser.h"

#include <glib.h>

#include <cstdio>
#include <cstring>
#include <memory>
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
#include "zvfsmanager.h"
#include "zvres.h"
#include "zvsession.h"
#include "zvui.h"

namespace {

constexpr const char *kTag = "ZVBROWSER";
constexpr const char *kStars = "**********************************************\n";
constexpr const char *kAutostartName = ZVBROWSER_TITLE;

struct App {
  ZVHeadlessWindows headless;
  ZVWindows *windows = &headless;
  HBRef<HBProperties> settings;  // the application key; also the default store
  bool hiddenStart = false;
  std::string uiFolder;
  std::string automationPath;
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
  *hidden = store->getProperty("IsHidden", value, sizeof value) >= 0 && strcmp(value, "true") == 0;
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
  zvres__setFolder(a.uiFolder);
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
  // 7. The drive mount manager.
  {
    HBRef<IZVFSManager> fs;
    if (zvfsmanager__create(fs.out()) == 0) zvfsmanager__set(fs.get());
  }
  // 8. The login window, or only its place when the start is hidden.
  if (a.hiddenStart)
    a.windows->rememberCentre(ZVWIN_LOGIN);
  else
    a.windows->show(ZVWIN_LOGIN);
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
  a.windows->navigate(ZVWIN_LOGIN, address);
  // 11. The tray tip.
  a.windows->setTrayTip(ZVBROWSER_TITLE);
  // 12. Drives a previous run left mounted are unmounted.
  if (HBRef<IZVFSManager> fs = zvfsmanager__get())
    if (fs->hasSettings() && fs->driveOn()) fs->applyDriveSetting("0");
  zvui__refreshTrayMenu(false);
  // 13. Every start ends with the drive connected and opened.
  (void)appmsg__post(MSG_TRAY_COMMAND, ZVCMD_CONNECT_DRIVE, ZVBROWSER_LPARAM_COMMAND);
  (void)appmsg__post(MSG_TRAY_COMMAND, ZVCMD_OPEN_DRIVE, ZVBROWSER_LPARAM_COMMAND);
  return true;
}

// The main window's share of the private messages.
void handleMessage(const AppMessage &m, void *) {
  switch (m.msg) {
    case MSG_TRAY_COMMAND:
      if (m.lParam != ZVBROWSER_LPARAM_COMMAND) {
        zvui__trayEvent(m.lParam);
      } else if (m.wParam == ZVCMD_EXIT) {
        zvbrowser__exitCommand();
      } else if (m.wParam == ZVCMD_SHUTDOWN) {
        zvbrowser__shutdownCommand();
      } else if (!zvui__command(static_cast<uint32_t>(m.wParam))) {
        brlog(kTag, BRLOG_VERBOSE, "Command %lu not handled\n",
              static_cast<unsigned long>(m.wParam));
      }
      break;
    case MSG_SESSION_CHANGED:
      zvui__sessionChanged(m.wParam);
      break;
    case MSG_OPEN_URL:
      // The queue releases the string object after this returns.
      if (m.wParam) zvui__openURL(reinterpret_cast<IHBStr *>(m.wParam)->getText());
      break;
    case MSG_COPYDATA:
      brlog(kTag, BRLOG_VERBOSE, "Copy-data kind %lu, %u bytes\n",
            static_cast<unsigned long>(m.wParam), m.dataSize);
      zvui__copyData(m.wParam, m.data, m.dataSize);
      break;
    default:
      break;
  }
}

// The manager drops its session token under its lock, then unmounts every drive.
void dropDrives() {
  if (HBRef<IZVFSManager> fs = zvfsmanager__get()) {
    fs->dropSessionToken();
    fs->unmountAll();
  }
}

// Switches the drive off when it is on (unmounting).
void driveOff() {
  HBRef<IZVFSManager> fs = zvfsmanager__get();
  if (fs && fs->driveOn()) fs->applyDriveSetting("0");
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
  // 2. The drive mount manager lets go of the token, then of every drive.
  dropDrives();
  // 3. The tray icon.
  a.windows->removeTrayIcon();
  // 4. No component runtime to uninitialise on this platform.
  // 5. The exit banner.
  brlog(kTag, BRLOG_INFO, "Application Gracefully exiting (%d)...\n", code);
  brlog(kTag, BRLOG_INFO, "%s", kStars);
  brlog(kTag, BRLOG_INFO, "%s", kStars);
  brlog(kTag, BRLOG_INFO, "\n");
  brlog(kTag, BRLOG_INFO, "\n");
  a.windows->shutdown();
  // No other instance can be reached through us any more.
  appplatform__closeListener();
  appplatform__unwatchSessionEnd();
  appmsg__shutdown();
  zvfsmanager__set(nullptr);
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
    } else if (option.rfind("--ui-folder=", 0) == 0) {
      app().uiFolder = option.substr(12);
    } else if (option.rfind("--automation=", 0) == 0) {
      app().automationPath = option.substr(13);
    }
  }
  return OptionResult::Continue;
}

}  // namespace

void zvbrowser__setWindows(ZVWindows *windows) {
  app().windows = windows ? windows : &app().headless;
}

ZVWindows *zvbrowser__windows() {
  return app().windows;
}

bool zvbrowser__hiddenStart() {
  return app().hiddenStart;
}

void zvbrowser__clearHiddenStart() {
  app().hiddenStart = false;
}

const std::string &zvbrowser__uiFolder() {
  return app().uiFolder;
}

const std::string &zvbrowser__automationPath() {
  return app().automationPath;
}

int32_t zvbrowser__postJob(std::function<void()> job) {
  auto *heap = new std::function<void()>(std::move(job));
  const int32_t rc = brtp__post(
      [](void *arg) {
        std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()> *>(arg));
        (*f)();
      },
      heap);
  if (rc < 0) delete heap;
  return rc;
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
  // A dialog runs a loop of its own inside the main one: it goes first.
  a.windows->endDialogs();
}

int32_t zvbrowser__saveWindowState() {
  HBRef<HBProperties> store;
  if (openBrowserKey(store) < 0) return BR_EFAULT;
  ZVWindows *w = app().windows;
  const bool visible = w->visible(ZVWIN_LOGIN) || w->visible(ZVWIN_MAIN);
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
  zvsession__forgetDrive();
  (void)zvbrowser__saveWindowState();
  (void)zvbrowser__autostart(false);
  (void)appplatform__mounterCommand("stop");
  zvbrowser__quit(0);
}

void zvbrowser__shutdownCommand() {
  (void)zvbrowser__saveWindowState();
  driveOff();
  (void)appplatform__mounterCommand("stop");
  app().windows->release();
  zvbrowser__quit(0);
}

void zvbrowser__sessionEnd() {
  shutdownTaskQueue();
  dropDrives();
  (void)zvbrowser__saveWindowState();
  driveOff();
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
