// The desktop program end to end under Xvfb: its windows, the script bridge as the pages see it,
// the web sign-in against the reference service over TLS, sign-out, the tray and the quit paths.
// The pages are the tests' own (tests/app/pages), served through "--ui-folder".
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "../server/svctestserver.h"
#include "appmsg.h"
#include "appplatform.h"
#include "desktoptest.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbsvcmethods.h"
#include "hburl.h"
#include "zvbrowser.h"

namespace {

using tessel::test::Automation;
using tessel::test::Instance;
using tessel::test::json;
using tessel::test::readFile;
using tessel::test::SvcProcess;
using tessel::test::SvcUser;
using tessel::test::TempDir;
using tessel::test::waitUntil;

constexpr const char *kAutostartValue = "Orvane Tessel Hard Drive Utility";

class DesktopTest : public tessel::test::DesktopFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DesktopFixture::SetUp());
    if (IsSkipped()) return;
    // Addresses the program opens in "the desktop's browser" are written down instead.
    const std::string bin = m_dir.path() + "/bin";
    ASSERT_EQ(0, mkdir(bin.c_str(), 0700));
    ASSERT_TRUE(tessel::test::writeFile(
        bin + "/xdg-open", "#!/bin/sh\necho \"$1\" >> '" + m_dir.path() + "/opened'\n"));
    ASSERT_EQ(0, chmod((bin + "/xdg-open").c_str(), 0700));
    setenv("PATH", (bin + ":" + getenv("PATH")).c_str(), 1);
  }

  // Starts the program on the test pages with its automation socket, and connects.
  void start() {
    const std::string socket = m_runtime.path() + "/automation";
    m_app = std::make_unique<Instance>(std::vector<std::string>{
        "--automation=" + socket, "--ui-folder=" + tessel::test::sourcePath("tests/app/pages")});
    m_ui = std::make_unique<Automation>(socket);
    ASSERT_TRUE(m_ui->connect()) << m_app->err();
  }

  // The service on loopback with one user; the program's Server key points at it.
  void startService(bool pinCertificate) {
    ASSERT_TRUE(tessel::test::addSvcUser(m_svcData.path(), "alice", "pw123", {}, &m_user));
    ASSERT_TRUE(m_svc.start(m_svcData.path()));
    const std::string host = "127.0.0.1:" + std::to_string(m_svc.port());
    ASSERT_EQ(0, set(HBPROPERTIES_KEY_SERVER, "host", host.c_str()));
    if (pinCertificate) {
      const std::string cert = m_svcData.path() + "/tls.crt";
      ASSERT_EQ(0, set(HBPROPERTIES_KEY_SERVER, "certfile", cert.c_str()));
    }
  }

  std::string token() { return get(HBPROPERTIES_KEY_BROWSER, "valtoken"); }
  std::string opened() {
    std::string text;
    readFile(m_dir.path() + "/opened", &text);
    return text;
  }
  bool visible(const char *window) { return m_ui->window(window).value("visible", false); }

  // A bridge call from the login page: {"value": ...} or {"error": NAME, "number": CODE}.
  json call(const char *method, const json &args, const char *window = "login") {
    return m_ui->eval(window, "return tryCall(" + json(method).dump() + ", " + args.dump() + ");");
  }

  // Pictures for a person to look at, when TESSEL_SCREENSHOT_DIR names a folder.
  void screenshot(const char *window, const char *name) {
    const char *dir = getenv("TESSEL_SCREENSHOT_DIR");
    const std::string path = (dir && *dir ? std::string(dir) : m_dir.path()) + "/" + name + ".png";
    json r = m_ui->request({{"cmd", "screenshot"}, {"window", window}, {"path", path}});
    EXPECT_TRUE(r.value("ok", false)) << r.dump();
    struct stat st;
    EXPECT_TRUE(stat(path.c_str(), &st) == 0 && st.st_size > 0) << path;
  }

  TempDir m_svcData;
  SvcProcess m_svc;
  SvcUser m_user;
  std::unique_ptr<Instance> m_app;
  std::unique_ptr<Automation> m_ui;
};

TEST_F(DesktopTest, WindowsAndTheBridgeSeenFromThePages) {
  ASSERT_NO_FATAL_FAILURE(startService(false));
  // The pictures folder is the XDG user directory.
  ASSERT_TRUE(tessel::test::writeFile(m_dir.path() + "/config/user-dirs.dirs",
                                      "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n"));
  const std::string home = getenv("HOME");
  mkdir((home + "/Bilder").c_str(), 0700);
  mkdir((home + "/Holiday").c_str(), 0700);
  ASSERT_NO_FATAL_FAILURE(start());
  Automation &ui = *m_ui;
  ASSERT_TRUE(ui.waitPage("login", "signin.html"));

  // The windows: the login window shows, the others wait hidden.
  json st = ui.state();
  json login = st["windows"]["login"];
  EXPECT_EQ("QUILLET_BROWSER_LOGIN", login["role"]);
  EXPECT_EQ("Orvane Tessel Hard Drive Utility", login["caption"]);
  EXPECT_EQ(290, login["width"]);
  EXPECT_EQ(543, login["height"]);
  EXPECT_EQ(0, login["topOffset"]);
  EXPECT_FALSE(st["windows"]["main"]["visible"]);
  EXPECT_EQ("QUILLET_BROWSER_BROWSER", st["windows"]["main"]["role"]);
  EXPECT_FALSE(st["windows"]["prefs"]["deletable"]);  // a caption only
  EXPECT_FALSE(st["signedIn"]);

  // Every method with the right number of arguments.
  const std::string svcURL = "http://127.0.0.1:" + std::to_string(m_svc.port()) + "/svc/api";
  const std::pair<const char *, json> expected[] = {
      {"getValtoken", json()},
      {"getServiceURL", svcURL},
      {"getFolderPath", home + "/Bilder"},
      {"isCurrentOSGranted", true},
      {"isCurrentBrowserGranted", true},
      {"getCurrentState", "start"},
      {"getCurrentFileIndex", 0},
      {"getDefaultDeviceId", ""},
      {"getDefaultServiceId", ""},
      {"getAutoImportTasks", json::array()},
      {"updateMountedDriver", "undefined"},
  };
  for (const auto &[method, value] : expected) {
    json args = json::array();
    if (std::string(method) == "getFolderPath") args.push_back("pictures");
    EXPECT_EQ(json({{"value", value}}), call(method, args)) << method;
  }
  EXPECT_EQ(home + "/Documents", call("getFolderPath", {"documents"})["value"]);
  EXPECT_EQ("empty", call("getFolderPath", {"music"})["value"]);
  EXPECT_EQ("empty", call("getFolderPath", {nullptr})["value"]);
  EXPECT_EQ("undefined", call("setState", {"paused"})["value"]);
  EXPECT_EQ("paused", call("getCurrentState", json::array())["value"]);
  EXPECT_EQ("undefined", call("setCurrentFileIndex", {7})["value"]);
  call("setCurrentFileIndex", {"x"});   // not a number: unchanged
  call("setCurrentFileIndex", {1e12});  // out of range: unchanged
  call("setCurrentFileIndex", {json::object()});
  EXPECT_EQ(7, call("getCurrentFileIndex", json::array())["value"]);
  call("setCurrentFileIndex", {"12"});
  EXPECT_EQ(12, call("getCurrentFileIndex", json::array())["value"]);
  call("setUserProperty", {"colour", "blue"});
  EXPECT_EQ("blue", call("getUserProperty", {"colour"})["value"]);
  EXPECT_EQ("blue", get(HBPROPERTIES_KEY_BROWSER, "ui.colour"));
  EXPECT_EQ(json(), call("getUserProperty", {"missing"})["value"]);
  EXPECT_EQ(hbproperties__computerName(), call("getUserProperty", {"yto.computername"})["value"]);
  // A huge text is taken and cut as the settings cut it.
  call("setUserProperty", {"big", std::string(300000, 'x')});
  EXPECT_EQ(511u, get(HBPROPERTIES_KEY_BROWSER, "ui.big").size());
  call("log", {"hello from the page"});
  call("setDriveEnabled", {0});
  EXPECT_EQ("0", get(HBPROPERTIES_KEY_TESSELUTILFS, "showdrive"));
  call("setDriveEnabled", {true});
  EXPECT_EQ("1", get(HBPROPERTIES_KEY_TESSELUTILFS, "showdrive"));
  call("setFirstDriveLetter", {"k"});
  EXPECT_EQ("K", get(HBPROPERTIES_KEY_TESSELUTILFS, "drive.letter"));
  EXPECT_EQ(-1, call("pauseTask", {"t1", 1})["value"]);
  EXPECT_EQ(-1, call("removeTask", {"t1"})["value"]);
  EXPECT_EQ(-1, call("removeAutoImportSource", {"s1"})["value"]);
  EXPECT_EQ(json(), call("getTaskErrors", {"t1"})["value"]);
  EXPECT_EQ("undefined", call("addAutoImportFromSource", {"s1", "ytozv://d:s"})["value"]);
  // Addresses go to the desktop's browser.
  call("openBrowserWindowAt", {"https://example.invalid/page"});
  call("openLearnMore", json::array());
  call("openUpgadeBrowser", json::array());
  call("openPellixBrowser", {"ignored"});
  EXPECT_TRUE(waitUntil([&] {
    const std::string o = opened();
    return std::count(o.begin(), o.end(), '\n') == 4;
  })) << opened();
  for (const char *url : {"https://example.invalid/page", ZVBROWSER_URL_HELP,
                          ZVBROWSER_URL_BROWSER_DOWNLOAD, ZVBROWSER_URL_PARTNER})
    EXPECT_NE(std::string::npos, opened().find(url)) << url;
  // The preferences window opens through the main window's command, and its page hides it.
  call("showPreferences", {nullptr});
  ASSERT_TRUE(ui.waitPage("prefs", "preferences.html"));
  EXPECT_TRUE(waitUntil([&] { return visible("prefs"); }));
  call("showPreferences", {"show"});
  json prefs = ui.window("prefs");
  EXPECT_TRUE(prefs["visible"]);
  EXPECT_EQ(360, prefs["width"]);
  EXPECT_EQ(400, prefs["height"]);
  ASSERT_TRUE(ui.click("prefs", "#hide"));
  EXPECT_TRUE(waitUntil([&] { return !visible("prefs"); }));

  // The user sources: the Pictures folder registered at start, then one the user picks in the
  // folder dialog (which blocks the calling page until it is answered).
  json sources = call("getAutoImportSources", json::array())["value"];
  ASSERT_EQ(1u, sources.size()) << sources.dump();
  EXPECT_EQ("photo", sources[0]["sourceclass"]);
  EXPECT_EQ("Bilder", sources[0]["name"]);
  EXPECT_EQ(json::array({"file://" + home + "/Bilder"}), sources[0]["uris"]);
  const std::string pick =
      "window.picked = undefined; setTimeout(function () {"
      "  window.picked = tryCall('doAutoImportSourceDialog', ['user']); }, 50); return 1;";
  const std::string picked = "return window.picked === undefined ? 'waiting' : window.picked;";
  ui.request({{"cmd", "eval"}, {"window", "login"}, {"script", pick}});
  json dialog;
  ASSERT_TRUE(waitUntil([&] { return (dialog = ui.request({{"cmd", "dialog"}}))["ok"] == true; }));
  EXPECT_EQ("folder", dialog["kind"]);
  EXPECT_EQ(ZVBROWSER_STR_SELECT_FOLDER, dialog["title"]);
  ASSERT_TRUE(ui.request({{"cmd", "dialog"}, {"response", "accept"}, {"path", home + "/Holiday"}})
                  .value("ok", false));
  json added;
  ASSERT_TRUE(waitUntil([&] { return (added = ui.eval("login", picked)) != "waiting"; }));
  EXPECT_EQ("user", added["value"]["sourceclass"]) << added.dump();
  EXPECT_EQ("Holiday", added["value"]["name"]);
  EXPECT_EQ(json::array({"file://" + home + "/Holiday"}), added["value"]["uris"]);
  EXPECT_EQ(2u, call("getAutoImportSources", json::array())["value"].size());
  EXPECT_EQ(1, call("removeAutoImportSource", json::array({added["value"]["sourceid"]}))["value"]);
  ui.request({{"cmd", "eval"}, {"window", "login"}, {"script", pick}});
  ASSERT_TRUE(waitUntil([&] { return ui.request({{"cmd", "dialog"}})["ok"] == true; }));
  ASSERT_TRUE(ui.request({{"cmd", "dialog"}, {"response", "cancel"}}).value("ok", false));
  ASSERT_TRUE(waitUntil([&] { return (added = ui.eval("login", picked)) != "waiting"; }));
  EXPECT_EQ(json({{"value", nullptr}}), added);
  EXPECT_EQ(1u, call("getAutoImportSources", json::array())["value"].size());

  // Wrong argument counts fail without acting; unknown names and bad bodies fail cleanly.
  const std::pair<const char *, int> exact[] = {
      {"addAutoImportFromSource", 2},
      {"doAutoImportSourceDialog", 1},
      {"getFolderPath", 1},
      {"getTaskErrors", 1},
      {"getUserProperty", 1},
      {"log", 1},
      {"loginUser", 1},
      {"openBrowserWindowAt", 1},
      {"pauseTask", 2},
      {"removeAutoImportSource", 1},
      {"removeTask", 1},
      {"setDriveEnabled", 1},
      {"setFirstDriveLetter", 1},
      {"setUserProperty", 2},
      {"setCurrentFileIndex", 1},
      {"setState", 1},
      {"showPreferences", 1},
      {"openPellixBrowser", 1},
  };
  for (const auto &[method, count] : exact) {
    const json fewer = json::array(), more = json(std::vector<int>(count + 1, 1));
    for (const json &args : {fewer, more}) {
      json r = call(method, args);
      EXPECT_EQ("BadParamCount", r["error"]) << method << " " << args.dump();
      EXPECT_EQ(0x8002000E, r["number"]) << method;
    }
  }
  EXPECT_EQ(json({{"error", "UnknownName"}, {"number", 0x80020006}}),
            call("noSuchMethod", json::array()));
  EXPECT_NE(std::string::npos, log().find("Invoke Unsupported 'noSuchMethod'"));
  for (const std::string &body : {std::string("{not json"), std::string("[1,"),
                                  std::string("{\"a\":1}"), std::string(2 << 20, '[')}) {
    json r = ui.eval("login", "return rawCall('log', " + json(body).dump() + ");");
    EXPECT_EQ(200, r["status"]);
    EXPECT_NE(std::string::npos, r["text"].get<std::string>().find("InvalidArgument"))
        << body.substr(0, 20);
  }
  // A token that is not a text signs nobody in.
  EXPECT_EQ("undefined", call("loginUser", {nullptr})["value"]);
  EXPECT_EQ("undefined", call("loginUser", {""})["value"]);
  EXPECT_EQ("<missing>", token());
  EXPECT_NE(std::string::npos, log().find("[SCRIPT][08] hello from the page\n"));

  // A web page in one of our views reaches nothing: no bridge object, no answer from the bridge.
  const std::string web = "http://127.0.0.1:" + std::to_string(m_svc.port()) + "/svc/go?path=x";
  ui.eval("login", "location.href = " + json(web).dump() + "; return 1;");
  ASSERT_TRUE(ui.waitPage("login", "/svc/go"));
  EXPECT_EQ(70, ui.window("login")["topOffset"]);  // the strip leads back
  json seen =
      ui.eval("login",
              "var r = [typeof window.yto, typeof (window.external && window.external.zvsrv)];"
              "try { var x = new XMLHttpRequest();"
              "  x.open('POST', 'res://tesselutilbrowser.exe/__bridge/loginUser', false);"
              "  x.send('[\"stolen\"]'); r.push(x.status); } catch (e) { r.push('blocked'); }"
              "return r;");
  EXPECT_EQ("undefined", seen[0]);
  EXPECT_EQ("undefined", seen[1]);
  EXPECT_NE(200, seen[2]);
  EXPECT_EQ("<missing>", token());
  // Back to our page; an unknown page of ours returns to the login page.
  // Back from the context menu: the page it reaches is loaded afresh once.
  ASSERT_TRUE(ui.request({{"cmd", "context"}, {"window", "login"}, {"item", "back"}})["ok"]);
  ASSERT_TRUE(waitUntil([&] {
    return ui.eval("login",
                   "var n = performance.getEntriesByType('navigation')[0];"
                   "return document.readyState === 'complete' && n ? n.type : '';") == "reload";
  }));
  EXPECT_NE(std::string::npos, ui.window("login")["uri"].get<std::string>().find("signin.html"));
  EXPECT_EQ(0, ui.window("login")["topOffset"]);
  ui.markStale("login");
  ui.eval("login", "location.href = 'res://tesselutilbrowser.exe/ui\\\\nosuch.html'; return 1;");
  EXPECT_TRUE(waitUntil([&] {
    return log().find("NAVIGATEERROR") != std::string::npos ||
           log().find("Cannot show 'res://tesselutilbrowser.exe/ui\\nosuch.html'") !=
               std::string::npos;
  }));
  ASSERT_TRUE(ui.waitPage("login", "signin.html"));

  // Typed text arrives in the page as a user's.
  // Keys of a busy machine arrive late: the field is given the focus if the click came before
  // the page could take it, and the button pressed once the field holds what was typed.
  ASSERT_TRUE(ui.click("login", "#name"));
  const std::string field = "document.getElementById('name')";
  ASSERT_TRUE(ui.waitFor("login", field + ".focus() || document.activeElement === " + field));
  ASSERT_TRUE(ui.type("login", "Zoë 42"));
  ASSERT_TRUE(ui.waitFor("login", field + ".value === 'Zoë 42'"));
  ASSERT_TRUE(ui.click("login", "#echo"));
  EXPECT_TRUE(
      waitUntil([&] { return log().find("[SCRIPT][08] typed: Zoë 42\n") != std::string::npos; }));
}

TEST_F(DesktopTest, SignInThroughTheServiceOverTlsAndOut) {
  ASSERT_NO_FATAL_FAILURE(startService(true));
  ASSERT_NO_FATAL_FAILURE(start());
  Automation &ui = *m_ui;
  ASSERT_TRUE(ui.waitPage("login", "signin.html"));

  // The service's own sign-in page over https, its certificate trusted through certfile.
  ASSERT_TRUE(ui.click("login", "#start"));
  ASSERT_TRUE(ui.waitPage("login", "/oauth?"));
  EXPECT_EQ(70, ui.window("login")["topOffset"]);
  screenshot("login", "login-service-signin");
  ASSERT_TRUE(ui.click("login", "input[name=username]"));
  ASSERT_TRUE(ui.type("login", "alice"));
  ASSERT_TRUE(ui.click("login", "input[name=password]"));
  ASSERT_TRUE(ui.type("login", "pw123\n"));
  ASSERT_TRUE(waitUntil([&] { return ui.state().value("signedIn", false); })) << log();

  // The token the redirect carried is stored, never shown in a log line, and the service takes it.
  const std::string t = token();
  EXPECT_EQ(32u, t.size());
  EXPECT_EQ(std::string::npos, log().find(t));
  {
    HBRef<IHBURL> url;
    ASSERT_EQ(0, hburl__parse(url.out(), (m_svc.url() + "/svc/api").c_str()));
    HBRef<HBRPCGeneric> rpc;
    ASSERT_EQ(0, HBRPCGeneric::create(url.get(), nullptr, rpc));
    EXPECT_EQ(0, hbsvc__getUser(rpc.get(), t.c_str()));
  }
  // The main window takes the login window's place.
  ASSERT_TRUE(ui.waitPage("main", "browser.html"));
  EXPECT_TRUE(waitUntil([&] { return visible("main") && !visible("login"); }));
  EXPECT_TRUE(waitUntil([&] {
    json tray = ui.state()["tray"];
    return tray[0]["label"] == "Orvane Tessel Hard Drive Utility: (Drive connected)" &&
           tray[2]["label"] == "Logout" && tray[4]["sensitive"] == true;
  })) << ui.state()["tray"].dump();
  screenshot("main", "main");

  // "hivedest" selects the user's drive.
  call("setUserProperty", {"hivedest", m_user.device + ":" + m_user.service}, "main");
  EXPECT_TRUE(waitUntil([&] {
    return call("getDefaultServiceId", json::array(), "main")["value"] == m_user.service;
  }));
  EXPECT_EQ(m_user.device, call("getDefaultDeviceId", json::array(), "main")["value"]);
  // A page that names another account's token signs nothing in: a frame of a page in the main
  // window, the login window sent straight to the sign-in's end without Get Started.
  const std::string forged = m_svc.url() + "/blank.html#access_token=forged&token_type=bearer";
  ui.eval("main", "var f = document.createElement('iframe'); f.src = " + json(forged).dump() +
                      "; document.body.appendChild(f); return 1;");
  ASSERT_TRUE(waitUntil([&] { return log().find("blank.html#access_token=***") != std::string::npos; }));
  ui.eval("login", "location.href = 'ytoauth://postauth#access_token=forged2'; return 1;");
  ASSERT_TRUE(waitUntil([&] {
    const std::string text = log();
    size_t n = 0;
    for (size_t at = 0; (at = text.find("a token not from the sign-in started here was refused",
                                        at)) != std::string::npos;
         ++at)
      ++n;
    return n == 2;
  })) << log();
  EXPECT_EQ(t, token());
  EXPECT_EQ(t, call("getValtoken", json::array(), "main")["value"]);
  // Outside addresses are never shown in the windows: a link the user clicks and an address a
  // script goes to open in the desktop's browser.
  ui.eval("main",
          "var a = document.createElement('a'); a.id = 'out'; a.href = "
          "'https://example.invalid/clicked'; a.textContent = 'out'; a.style = "
          "'position:fixed;left:10px;top:10px;padding:20px;background:#fff;z-index:9';"
          "document.body.appendChild(a); return 1;");
  ASSERT_TRUE(ui.click("main", "#out"));
  EXPECT_TRUE(waitUntil([&] { return opened().find("/clicked") != std::string::npos; }));
  ui.eval("main", "location.href = 'https://example.invalid/scripted'; return 1;");
  EXPECT_TRUE(waitUntil([&] { return opened().find("/scripted") != std::string::npos; }));
  EXPECT_NE(std::string::npos, ui.window("main")["uri"].get<std::string>().find("browser.html"));
  // An address carrying the session token is not handed to the desktop's browser.
  call("openBrowserWindowAt", {"https://example.invalid/?t=" + t}, "main");
  call("openBrowserWindowAt", {"https://example.invalid/after"}, "main");
  EXPECT_TRUE(waitUntil([&] { return opened().find("after") != std::string::npos; }));
  EXPECT_EQ(std::string::npos, opened().find(t));

  // The drive helper's report of an unreachable drive reaches the main page.
  const std::string notice = "Photos::svcGone::devGone";
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_COPYDATA, 1, 0, notice.data(),
                                 static_cast<uint32_t>(notice.size())));
  EXPECT_TRUE(waitUntil([&] {
    return ui.eval("main", "return notices;") == json::parse(R"([["Photos","svcGone","devGone"]])");
  }));

  // The tray: its menu on a right click; closing the main window hides it; a double click
  // shows it again in the same place.
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_TRAY_COMMAND, 0, 517));
  ASSERT_TRUE(waitUntil([&] { return ui.state().value("trayMenuShown", false); }));
  screenshot("tray", "tray-menu");
  ui.request({{"cmd", "closeMenu"}});
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_TRAY_COMMAND, ZVCMD_PREFERENCES,
                                 ZVBROWSER_LPARAM_COMMAND));
  ASSERT_TRUE(ui.waitPage("prefs", "preferences.html"));
  screenshot("prefs", "preferences");
  const json before = ui.window("main");
  ASSERT_TRUE(ui.request({{"cmd", "close"}, {"window", "main"}})["ok"]);
  ASSERT_TRUE(waitUntil([&] { return !visible("main"); }));
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_TRAY_COMMAND, 0, 515));
  ASSERT_TRUE(waitUntil([&] { return visible("main"); }));
  EXPECT_EQ(before["x"], ui.window("main")["x"]);
  EXPECT_EQ(before["y"], ui.window("main")["y"]);

  // Sign-out from the page: the plain login page, the other windows hidden, no token.
  ui.markStale("login");
  ASSERT_TRUE(ui.click("main", "#logout"));
  ASSERT_TRUE(waitUntil([&] { return !ui.state().value("signedIn", true); }));
  EXPECT_TRUE(waitUntil([&] {
    json s = ui.state()["windows"];
    return s["login"]["visible"] == true && s["main"]["visible"] == false &&
           s["prefs"]["visible"] == false &&
           s["login"]["uri"] == "res://tesselutilbrowser.exe/ui\\signin.html";
  })) << ui.state().dump();
  EXPECT_EQ("<missing>", token());
  json tray = ui.state()["tray"];
  EXPECT_EQ("Login", tray[2]["label"]);
  EXPECT_FALSE(tray[4]["sensitive"]);

  // Signed out, the login page itself cannot sign in by naming a token: only the service's
  // redirect at the end of Get Started can.
  ASSERT_TRUE(ui.waitPage("login", "signin.html"));
  screenshot("login", "login");
  ui.eval("login", "location.href = 'ytoauth://postauth#access_token=abc&x=1'; return 1;");
  ASSERT_TRUE(waitUntil([&] {
    return log().find("refused: 'ytoauth://postauth#access_token=***&x=1'") != std::string::npos;
  })) << log();
  EXPECT_EQ("<missing>", token());
  EXPECT_FALSE(ui.state()["signedIn"]);
  EXPECT_FALSE(visible("main"));

  // Another host is an outside address, even with the service's port: never loaded here.
  const std::string other = "https://localhost:" + std::to_string(m_svc.port()) + "/svc/go?path=x";
  ui.eval("login", "location.href = " + json(other).dump() + "; return 1;");
  EXPECT_TRUE(waitUntil([&] { return opened().find(other) != std::string::npos; }));
  EXPECT_EQ(std::string::npos, log().find("The certificate of 'https://localhost:"));

  // Get Started again, and the service's sign-in page is left for our login page: the sign-in is
  // no longer under way, and a token named then is refused.
  ASSERT_TRUE(ui.click("login", "#start"));
  ASSERT_TRUE(ui.waitPage("login", "/oauth?"));
  ui.markStale("login");
  ASSERT_TRUE(ui.request({{"cmd", "context"}, {"window", "login"}, {"item", "back"}})["ok"]);
  ASSERT_TRUE(ui.waitPage("login", "signin.html"));
  ui.eval("login", "location.href = 'ytoauth://postauth#access_token=late'; return 1;");
  ASSERT_TRUE(waitUntil([&] {
    return log().find("refused: 'ytoauth://postauth#access_token=***'") != std::string::npos;
  })) << log();
  EXPECT_EQ("<missing>", token());
}

TEST_F(DesktopTest, HiddenStartWithASilentServiceThenExitFromTheTray) {
  // A service that takes connections and never answers: every call waits for its time-out.
  const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, bind(silent, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(silent, 64));
  ASSERT_EQ(0, getsockname(silent, reinterpret_cast<sockaddr *>(&addr), &len));
  const std::string host = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  ASSERT_EQ(0, set(HBPROPERTIES_KEY_SERVER, "host", host.c_str()));
  ASSERT_EQ(0, set(HBPROPERTIES_KEY_BROWSER, "IsHidden", "true"));
  ASSERT_EQ(0, set(HBPROPERTIES_KEY_BROWSER, "valtoken", "stored-token"));

  ASSERT_NO_FATAL_FAILURE(start());
  Automation &ui = *m_ui;
  ASSERT_TRUE(ui.waitPage("login", "signin.html?verify=1"));
  json windows = ui.state()["windows"];
  for (const char *w : {"login", "main", "prefs"}) EXPECT_FALSE(windows[w]["visible"]) << w;
  EXPECT_NE("", get(HBPROPERTIES_KEY_RUN, kAutostartValue));

  // Signed in, the service calls behind the windows hang; the windows do not.
  call("loginUser", {"stored-token"});
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_TRAY_COMMAND, 0, 517));
  EXPECT_TRUE(waitUntil([&] { return ui.state().value("trayMenuShown", false); }));
  ui.request({{"cmd", "closeMenu"}});
  EXPECT_EQ("undefined", call("setUserProperty", {"hivedest", "dev:svc"})["value"]);
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_TRAY_COMMAND, ZVCMD_CHECK_DRIVE,
                                 ZVBROWSER_LPARAM_COMMAND));
  EXPECT_EQ("stored-token", call("getValtoken", json::array())["value"]);
  // The hidden start stays hidden through the sign-in.
  windows = ui.state()["windows"];
  for (const char *w : {"login", "main", "prefs"}) EXPECT_FALSE(windows[w]["visible"]) << w;

  // Exit while the folder dialog waits for the user: the dialog goes with the program.
  ui.request({{"cmd", "eval"},
              {"window", "login"},
              {"script",
               "setTimeout(function () { tryCall('doAutoImportSourceDialog', ['user']); }, 50);"
               "return 1;"}});
  ASSERT_TRUE(waitUntil([&] { return ui.request({{"cmd", "dialog"}})["ok"] == true; }));
  ASSERT_TRUE(ui.request({{"cmd", "tray"}, {"item", ZVCMD_EXIT}})["ok"]);
  EXPECT_EQ(0, m_app->waitExit());
  close(silent);
  EXPECT_EQ("", get(HBPROPERTIES_KEY_RUN, kAutostartValue));
  struct stat st;
  EXPECT_NE(0, stat((m_dir.path() + "/config/autostart/tesselutilbrowser.desktop").c_str(), &st));
  EXPECT_EQ("true", get(HBPROPERTIES_KEY_BROWSER, "IsHidden"));
  EXPECT_NE(std::string::npos, log().find("Application Gracefully exiting (0)...\n"));
}

// The drive as a folder: signed in, the drive helper mounts the user's drive on ~/Tessel/H with
// the token on its standard input only; a helper that dies leaves a dead mount point that the
// next mount clears; signed out, the drive is gone.
TEST_F(DesktopTest, SignedInTheDriveIsAFolderUntilSignOut) {
  const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) GTEST_SKIP() << "/dev/fuse cannot be opened: the drive cannot be mounted here";
  close(fuse);
  ASSERT_NO_FATAL_FAILURE(startService(false));
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(m_ui->waitPage("login", "signin.html"));
  const std::string point = std::string(getenv("HOME")) + "/Tessel/H";
  auto mounted = [&] {
    struct stat st, up;
    return stat((point + "/.com.orvane.TesselDrive").c_str(), &st) == 0 &&
           stat(point.c_str(), &st) == 0 && stat((point + "/..").c_str(), &up) == 0 &&
           st.st_dev != up.st_dev;
  };
  auto helperPids = [&] {
    std::vector<int> pids;
    const std::string text = log();
    for (size_t at = 0; (at = text.find("ZVFS: NEW PID=", at)) != std::string::npos; ++at)
      pids.push_back(atoi(text.c_str() + at + 14));
    return pids;
  };
  EXPECT_EQ("undefined", call("loginUser", {m_user.token})["value"]);
  ASSERT_TRUE(waitUntil(mounted)) << log();
  EXPECT_NE(std::string::npos,
            log().find("ZVFS: SPAWNING 'tesselutilfs -l H --valtoken - --volname \"Drive\" "
                       "--device \"" +
                       m_user.device + "\" --service \"" + m_user.service + "\"'"))
      << log();
  tessel::test::RunResult cmdlines =
      tessel::test::runProgram({"sh", "-c", "cat /proc/[0-9]*/cmdline | tr '\\0' ' '"});
  EXPECT_NE(std::string::npos, cmdlines.out.find("--valtoken -"));
  EXPECT_EQ(std::string::npos, cmdlines.out.find(m_user.token));

  // A copy into the drive goes on while the tray menu is opened (which sets the drive on) and
  // the pages select the drive: nothing is unmounted under it.
  auto inStep = [&] {
    const std::string text = log();
    size_t n = 0;
    for (size_t at = 0; (at = text.find("ZVFS: drives in step", at)) != std::string::npos; ++at)
      ++n;
    return n;
  };
  const int copy = open((point + "/copied.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(copy, 0) << strerror(errno);
  const std::string piece(1 << 20, 'x');
  ASSERT_EQ(static_cast<ssize_t>(piece.size()), write(copy, piece.data(), piece.size()));
  const size_t steps = inStep();
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_TRAY_COMMAND, 0, 517));
    ASSERT_TRUE(waitUntil([&] { return inStep() > steps + static_cast<size_t>(i); })) << log();
    m_ui->request({{"cmd", "closeMenu"}});
  }
  call("setUserProperty", {"hivedest", m_user.device + ":" + m_user.service});
  ASSERT_TRUE(waitUntil([&] { return inStep() > steps + 2; })) << log();
  EXPECT_EQ(static_cast<ssize_t>(piece.size()), write(copy, piece.data(), piece.size()))
      << strerror(errno);
  EXPECT_EQ(0, close(copy)) << strerror(errno);
  struct stat copied;
  EXPECT_EQ(0, stat((point + "/copied.bin").c_str(), &copied));
  EXPECT_EQ(2 << 20, copied.st_size);
  EXPECT_EQ(1u, helperPids().size());
  EXPECT_EQ(std::string::npos, log().find("ZVFS: TELLING PID")) << log();

  // Killed: its mount point is dead until the next mount clears it and mounts there again.
  ASSERT_EQ(1u, helperPids().size());
  kill(helperPids()[0], SIGKILL);
  ASSERT_TRUE(waitUntil([&] {
    struct stat st;
    return stat(point.c_str(), &st) != 0 && errno == ENOTCONN;
  }));
  ASSERT_EQ(0, appplatform__send(ZVBROWSER_CLASS_MAIN, MSG_TRAY_COMMAND, ZVCMD_REMOUNT,
                                 ZVBROWSER_LPARAM_COMMAND));
  ASSERT_TRUE(waitUntil([&] { return helperPids().size() == 2 && mounted(); })) << log();
  EXPECT_NE(std::string::npos, log().find("clearing the dead mount point of H")) << log();

  // Signed out: unmounted, the helper gone.
  EXPECT_EQ("undefined", call("logoutUser", json::array())["value"]);
  ASSERT_TRUE(waitUntil([&] { return !mounted(); })) << log();
  EXPECT_TRUE(waitUntil([&] { return kill(helperPids()[1], 0) != 0; }));
  EXPECT_NE(std::string::npos, log().find("ZVFS: TELLING PID")) << log();
}

}  // namespace
