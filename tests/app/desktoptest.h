// Running the real desktop program in tests: a private X server (Xvfb), the program itself, and
// a client of its automation socket ("--automation=PATH", docs/internals/desktop.md) that reads
// the windows' state, runs script in the pages, clicks and types.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "appplatform.h"
#include "hbimg.h"
#include "hbproperties.h"
#include "hbstream.h"
#include "testutil.h"
#include "zvbrowser.h"

extern char **environ;

namespace tessel::test {

using json = nlohmann::json;

// Polls `done` every 20 ms, at least `ms` worth of polls (three times as long in sanitizer builds,
// where the program and its web views run several times slower): the tests wait for the program,
// never for a time.
inline bool waitUntil(const std::function<bool()> &done, int ms = 30000) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  ms *= 3;
#endif
  for (int waited = 0; waited < ms; waited += 20) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// A small JPEG picture of one colour.
inline void writePhoto(const std::string &path, uint8_t shade) {
  HBRef<HBImg> img;
  ASSERT_EQ(0, HBImg::create(img.out(), 64, 48, 24));
  for (int32_t y = 0; y < img->height(); ++y)
    for (int32_t x = 0; x < img->width() * 3; ++x) img->row(y)[x] = static_cast<uint8_t>(shade + x);
  HBRef<IHBMemStream> mem;
  ASSERT_EQ(0, hbstream__newMem(mem.out(), 0));
  ASSERT_GT(hbimg__encodeJpeg(img.get(), mem.get()), 0);
  void *data = nullptr;
  int32_t length = 0;
  mem->getBuffer(&data, &length);
  ASSERT_TRUE(writeFile(path, std::string(static_cast<char *>(data), length)));
}

// Content stored on a drive of the service (files/SERVICE/FILEID[.STREAM]): the originals for
// an empty `stream`, else the streams of that name ("pv", "tn").
inline int storedFiles(const std::string &data, const std::string &service,
                       const std::string &stream = "") {
  DIR *dir = opendir((data + "/files/" + service).c_str());
  if (!dir) return 0;
  int n = 0;
  while (dirent *e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const char *dot = strchr(e->d_name, '.');
    if (stream.empty() ? !dot : dot && stream == dot + 1) ++n;
  }
  closedir(dir);
  return n;
}
inline int storedOriginals(const std::string &data, const std::string &service) {
  return storedFiles(data, service);
}

// One Xvfb for the test process, on a display number it picks itself; DISPLAY points at it.
class Xvfb {
 public:
  // True when the display runs; otherwise `why` says what is missing.
  static bool ensure(std::string *why) {
    static Xvfb server;
    if (!server.m_error.empty()) *why = server.m_error;
    return server.m_pid > 0;
  }

 private:
  Xvfb() {
    const std::string path = findXvfb();
    if (path.empty()) {
      m_error = "Xvfb is not installed (Debian package xvfb): the desktop tests need a display";
      return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      m_error = "pipe failed";
      return;
    }
    const std::string fd = std::to_string(fds[1]);
    m_pid = fork();
    if (m_pid == 0) {
      fcntl(fds[1], F_SETFD, 0);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      execl(path.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24",
            "-nolisten", "tcp", "-noreset", nullptr);
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) {
      m_error = "Xvfb did not start";
      stop();
      return;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    // The program talks to this display only: no Wayland, no accessibility bus, and no session
    // bus started on its behalf (the tray then runs without a host).
    unsetenv("WAYLAND_DISPLAY");
    setenv("GDK_BACKEND", "x11", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + testRoot() + "/no-session-bus").c_str(), 1);
  }
  ~Xvfb() { stop(); }

  void stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

  static std::string findXvfb() {
    for (const char *dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
      const std::string p = std::string(dir) + "/Xvfb";
      if (access(p.c_str(), X_OK) == 0) return p;
    }
    return std::string();
  }

  pid_t m_pid = -1;
  std::string m_error;
};

// Skips the test, saying why, when no display can be had.
#define TESSEL_REQUIRE_DISPLAY()                                  \
  do {                                                            \
    std::string why_;                                             \
    if (!tessel::test::Xvfb::ensure(&why_)) GTEST_SKIP() << why_; \
  } while (0)

// A running tesselutilbrowser with its standard error in a file; killed if a test leaves it
// running.
class Instance {
 public:
  explicit Instance(const std::vector<std::string> &options = {}) {
    const std::string path = binPath("tesselutilbrowser");
    std::vector<std::string> args{path};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    m_errPath = testRoot() + "/tmp/browser-" + std::to_string(++counter()) + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Instance() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  Instance(const Instance &) = delete;
  Instance &operator=(const Instance &) = delete;

  pid_t pid() const { return m_pid; }

  // Waits (bounded) until the control socket accepts a connection.
  bool waitReady() {
    const std::string socket = appplatform__controlPath(ZVBROWSER_CLASS_MAIN);
    return waitUntil([&] { return !running() || connects(socket); }) && running();
  }

  bool running() {
    if (m_pid <= 0) return false;
    int status;
    if (waitpid(m_pid, &status, WNOHANG) == 0) return true;
    m_pid = -1;
    m_status = status;
    return false;
  }

  // Waits (bounded) for the process to end; its exit code, or -1.
  int waitExit() {
    waitUntil([&] { return !running(); }, 40000);
    if (m_pid > 0) return -1;
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
  }

  std::string err() const {
    std::string text;
    readFile(m_errPath, &text);
    return text;
  }

  static bool connects(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool up = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return up;
  }

 private:
  static int &counter() {
    static int n = 0;
    return n;
  }
  pid_t m_pid = -1;
  int m_status = 0;
  std::string m_errPath;
};

// A client of the program's automation socket.
class Automation {
 public:
  explicit Automation(const std::string &path) : m_path(path) {}
  ~Automation() {
    if (m_fd >= 0) close(m_fd);
  }

  // Connects, waiting (bounded) for the program to listen.
  bool connect() {
    return waitUntil([&] {
      if (!Instance::connects(m_path)) return false;
      m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      snprintf(addr.sun_path, sizeof addr.sun_path, "%s", m_path.c_str());
      if (::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return true;
      close(m_fd);
      m_fd = -1;
      return false;
    });
  }

  // One request and its answer ({"ok":false,"error":...} when the connection broke).
  json request(const json &req) {
    const std::string line = req.dump() + "\n";
    if (m_fd < 0 || write(m_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      return {{"ok", false}, {"error", "not connected"}};
    std::string answer;
    char c;
    while (read(m_fd, &c, 1) == 1 && c != '\n') answer += c;
    json parsed = json::parse(answer, nullptr, false);
    if (parsed.is_discarded()) return {{"ok", false}, {"error", "no answer"}};
    return parsed;
  }

  json state() { return request({{"cmd", "state"}}); }
  json window(const char *name) { return state()["windows"][name]; }
  // Runs `script` as the body of an async function in the window's page; its result.
  json eval(const char *window, const std::string &script) {
    json r = request({{"cmd", "eval"}, {"window", window}, {"script", script}});
    EXPECT_TRUE(r.value("ok", false)) << script << ": " << r.dump();
    return r.value("value", json());
  }
  bool click(const char *window, const std::string &selector) {
    const json r = request({{"cmd", "click"}, {"window", window}, {"selector", selector}});
    if (!r.value("ok", false)) ADD_FAILURE() << "click " << selector << ": " << r.dump();
    return r.value("ok", false);
  }
  bool type(const char *window, const std::string &text) {
    return request({{"cmd", "type"}, {"window", window}, {"text", text}}).value("ok", false);
  }
  // Waits until the window shows a page whose address contains `part` and has loaded (the
  // view's address changes when a load starts, the document only when it is replaced), and
  // which is not a page marked stale before.
  bool waitPage(const char *window, const std::string &part) {
    return waitUntil([&] {
      json r = request({{"cmd", "eval"},
                        {"window", window},
                        {"script",
                         "return document.readyState === 'complete' && !window.zvStale ? "
                         "location.href : '';"}});
      const json v = r.value("value", json());
      return v.is_string() && v.get<std::string>().find(part) != std::string::npos;
    });
  }
  // Marks the window's current page, so that waitPage waits for the next one.
  void markStale(const char *window) { eval(window, "window.zvStale = true; return 1;"); }
  // Waits (bounded) until the script expression `condition` holds in the window's page.
  bool waitFor(const char *window, const std::string &condition, int ms = 30000) {
    // Quietly until it holds: while the window is still between pages the script may fail.
    return waitUntil(
        [&] {
          json r = request(
              {{"cmd", "eval"}, {"window", window}, {"script", "return !!(" + condition + ");"}});
          return r.value("ok", false) && r.value("value", json()) == json(true);
        },
        ms);
  }
  // A picture of the window for a person to look at, when TESSEL_SCREENSHOT_DIR names a folder.
  void screenshot(const char *window, const char *name) {
    const char *dir = getenv("TESSEL_SCREENSHOT_DIR");
    if (!dir || !*dir) return;
    json r = request({{"cmd", "screenshot"},
                      {"window", window},
                      {"path", std::string(dir) + "/" + name + ".png"}});
    EXPECT_TRUE(r.value("ok", false)) << r.dump();
  }
  // The preferences opened from the main page's empty folder list, the folder dialog answered
  // with `folder`, then Done. The notice the preferences showed ("" when the folder was taken).
  json addFolderThroughPreferences(const std::string &folder, const char *shot = nullptr) {
    json notice;
    [&] {
      ASSERT_TRUE(click("main", "#folders-empty"));
      ASSERT_TRUE(waitUntil([&] { return window("prefs").value("visible", false); }));
      ASSERT_TRUE(waitPage("prefs", "preferences.html"));
      ASSERT_TRUE(waitFor("prefs", "vxDest.uri"));
      ASSERT_TRUE(click("prefs", "#add-folder"));
      json dialog;
      ASSERT_TRUE(waitUntil([&] {
        dialog = request({{"cmd", "dialog"}, {"response", "accept"}, {"path", folder}});
        return dialog.value("ok", false);
      })) << dialog.dump();
      EXPECT_EQ("folder", dialog.value("kind", ""));
      ASSERT_TRUE(waitFor("prefs", "document.querySelector('.source')"));
      EXPECT_EQ(json(folder.substr(folder.rfind('/') + 1)),
                eval("prefs", "return document.querySelector('.source-name').title;"));
      if (shot) screenshot("prefs", shot);
      notice = eval("prefs", "return document.getElementById('notice').textContent;");
      ASSERT_TRUE(click("prefs", "#done"));
      ASSERT_TRUE(waitUntil([&] { return !window("prefs").value("visible", true); }));
    }();
    return notice;
  }
  // The service's sign-in form in the login window, filled in and sent; waits for the main page.
  void signInOnTheForm(const std::string &name, const std::string &password,
                       const char *shot = nullptr) {
    ASSERT_TRUE(waitPage("login", "/oauth?client_id=TesselUtilityDesktop01&"));
    if (shot) screenshot("login", shot);
    // Each field typed into once it has the focus, and sent once both hold what was typed: keys
    // of a busy machine arrive late.
    for (const auto &[field, text] : {std::pair<const char *, std::string>{"username", name},
                                      std::pair<const char *, std::string>{"password", password}}) {
      const std::string input = std::string("document.querySelector('input[name=") + field + "]')";
      ASSERT_TRUE(waitFor("login", input + ".focus() || document.activeElement === " + input));
      ASSERT_TRUE(type("login", text));
      ASSERT_TRUE(waitFor("login", input + ".value === " + json(text).dump()));
    }
    ASSERT_TRUE(type("login", "\n"));
    ASSERT_TRUE(waitUntil([&] { return state().value("signedIn", false); }))
        << eval("login", "return location.href + ' ' + document.body.innerText;");
    ASSERT_TRUE(waitPage("main", "browser.html"));
  }

 private:
  std::string m_path;
  int m_fd = -1;
};

// A test of the program: its own settings, data and runtime folders (HOME stays the test
// main's), the log file asked for, and a display.
class DesktopFixture : public testing::Test {
 protected:
  void SetUp() override {
    TESSEL_REQUIRE_DISPLAY();
    for (const char *name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "PATH", "LANG"}) {
      const char *v = getenv(name);
      m_saved.emplace_back(name, v ? v : "");
    }
    setenv("XDG_CONFIG_HOME", (m_dir.path() + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (m_dir.path() + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", m_runtime.path().c_str(), 1);
    ASSERT_EQ(0, set(HBPROPERTIES_KEY_LOGFILE, "ShowLog", "yes"));
    // Sanitized builds of the program: what the desktop libraries keep until exit, and their
    // shared pointers released through our copy of the standard library, are theirs.
    addOption("LSAN_OPTIONS",
              "print_suppressions=0:suppressions=" + sourcePath("tests/app/lsan-desktop.supp"));
    addOption("UBSAN_OPTIONS", "suppressions=" + sourcePath("tests/app/ubsan-desktop.supp"));
    addOption("ASAN_OPTIONS", "fast_unwind_on_malloc=0");
  }
  // Adds `option` to the sanitizer options in environment variable `name`, once per process.
  static void addOption(const char *name, const std::string &option) {
    const char *old = getenv(name);
    const std::string now = old ? old : "";
    if (now.find(option) != std::string::npos) return;
    setenv(name, (now.empty() ? option : now + ":" + option).c_str(), 1);
  }
  void TearDown() override {
    hbproperties__setDefault(nullptr);
    for (auto &[name, value] : m_saved) setenv(name.c_str(), value.c_str(), 1);
  }

  int32_t set(const char *key, const char *name, const char *value) {
    HBRef<HBProperties> store;
    int32_t rc = hbproperties__open(key, HBPROPERTIES_CREATE, store.out());
    return rc < 0 ? rc : store->setProperty(name, value);
  }
  // A value, or "<missing>".
  std::string get(const char *key, const char *name) {
    HBRef<HBProperties> store;
    std::string value = "<missing>";
    if (hbproperties__open(key, HBPROPERTIES_READONLY, store.out()) == 0)
      (void)hbproperties__getString(store.get(), name, &value);
    return value;
  }
  std::string log() {
    std::string text;
    readFile(m_dir.path() + "/data/Orvane Tessel Utility/tesselutilbrowser.log", &text);
    return text;
  }

  TempDir m_dir;
  TempDir m_runtime;
  std::vector<std::pair<std::string, std::string>> m_saved;
};

}  // namespace tessel::test
