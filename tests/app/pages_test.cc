// The pages compiled into the program, end to end under Xvfb against the reference service: the
// first start's tour, the web sign-in, the main page finding the drive, the preferences adding a
// folder through the folder dialog, that folder's photos arriving on the drive, and signing out
// and in again.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iostream>
#include <memory>
#include <string>

#include "../server/svctestserver.h"
#include "desktoptest.h"
#include "hbimg.h"
#include "hbproperties.h"
#include "hbstream.h"

namespace {

using tessel::test::Automation;
using tessel::test::Instance;
using tessel::test::json;
using tessel::test::waitUntil;

// A small JPEG picture of one colour.
void writePhoto(const std::string &path, uint8_t shade) {
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
  ASSERT_TRUE(tessel::test::writeFile(path, std::string(static_cast<char *>(data), length)));
}

// Originals stored on a drive of the service (files/SERVICE/FILEID; streams carry a suffix).
int storedOriginals(const std::string &data, const std::string &service) {
  DIR *dir = opendir((data + "/files/" + service).c_str());
  if (!dir) return 0;
  int n = 0;
  while (dirent *e = readdir(dir))
    if (e->d_name[0] != '.' && !strchr(e->d_name, '.')) ++n;
  closedir(dir);
  return n;
}

class PagesTest : public tessel::test::DesktopFixture {
 protected:
  // The value of `script` (the body of an async function) in a window's page.
  json eval(const char *window, const std::string &script) { return m_ui->eval(window, script); }
  bool waitFor(const char *window, const std::string &condition) {
    // Quietly until it holds: while the window is still between pages the script may fail.
    return waitUntil([&] {
      json r = m_ui->request(
          {{"cmd", "eval"}, {"window", window}, {"script", "return !!(" + condition + ");"}});
      return r.value("ok", false) && r.value("value", json()) == json(true);
    });
  }
  void screenshot(const char *window, const char *name) {
    const char *dir = getenv("TESSEL_SCREENSHOT_DIR");
    if (!dir || !*dir) return;
    json r = m_ui->request({{"cmd", "screenshot"},
                            {"window", window},
                            {"path", std::string(dir) + "/" + name + ".png"}});
    EXPECT_TRUE(r.value("ok", false)) << r.dump();
  }
  // The service's sign-in form, filled in and sent from the login window.
  void signInOnTheForm() {
    ASSERT_TRUE(m_ui->waitPage("login", "/oauth?client_id=TesselUtilityDesktop01&"));
    eval("login", "document.querySelector('input[name=username]').focus(); return 1;");
    ASSERT_TRUE(m_ui->type("login", "alice"));
    eval("login", "document.querySelector('input[name=password]').focus(); return 1;");
    ASSERT_TRUE(m_ui->type("login", "pw123\n"));
    ASSERT_TRUE(waitUntil([&] { return m_ui->state().value("signedIn", false); }));
    ASSERT_TRUE(m_ui->waitPage("main", "browser.html"));
  }
  std::string prop(const char *name) {
    return get(HBPROPERTIES_KEY_BROWSER, (std::string("ui.") + name).c_str());
  }

  tessel::test::TempDir m_svcData;
  tessel::test::SvcProcess m_svc;
  tessel::test::SvcUser m_user;
  std::unique_ptr<Instance> m_app;
  std::unique_ptr<Automation> m_ui;
};

TEST_F(PagesTest, FromTheFirstStartToABackupAndBackIn) {
  ASSERT_TRUE(tessel::test::addSvcUser(m_svcData.path(), "alice", "pw123", {}, &m_user));
  ASSERT_TRUE(m_svc.start(m_svcData.path()));
  ASSERT_EQ(0, set(HBPROPERTIES_KEY_SERVER, "host",
                   ("127.0.0.1:" + std::to_string(m_svc.port())).c_str()));
  ASSERT_EQ(0, set(HBPROPERTIES_KEY_SERVER, "certfile", (m_svcData.path() + "/tls.crt").c_str()));
  const std::string trip = m_dir.path() + "/Trip";
  ASSERT_EQ(0, mkdir(trip.c_str(), 0700));
  ASSERT_NO_FATAL_FAILURE(writePhoto(trip + "/IMG_0001.JPG", 10));
  ASSERT_NO_FATAL_FAILURE(writePhoto(trip + "/IMG_0002.JPG", 90));

  // The compiled-in pages: the first start shows the tour.
  const std::string socket = m_runtime.path() + "/automation";
  m_app = std::make_unique<Instance>(std::vector<std::string>{"--automation=" + socket});
  m_ui = std::make_unique<Automation>(socket);
  ASSERT_TRUE(m_ui->connect()) << m_app->err();
  ASSERT_TRUE(m_ui->waitPage("login", "signin.html"));
  ASSERT_TRUE(waitFor("login", "!document.getElementById('tour').hidden"));
  EXPECT_EQ(json("Get Started"),
            eval("login", "return document.getElementById('start').textContent;"));
  screenshot("login", "webkit-signin");

  // Get Started: the service's form over TLS, then the main page with the drive ready.
  ASSERT_TRUE(m_ui->click("login", "#start"));
  ASSERT_NO_FATAL_FAILURE(signInOnTheForm());
  ASSERT_TRUE(waitFor("main", "document.getElementById('drive').dataset.state === 'ready'"));
  EXPECT_EQ(m_user.device + ":" + m_user.service, prop("hivedest"));
  screenshot("main", "webkit-browser");

  // Preferences: the folder dialog, answered with the photo folder; Done starts its backup.
  ASSERT_TRUE(m_ui->click("main", "#folders-empty"));
  ASSERT_TRUE(waitUntil([&] { return m_ui->window("prefs").value("visible", false); }));
  ASSERT_TRUE(m_ui->waitPage("prefs", "preferences.html"));
  ASSERT_TRUE(waitFor("prefs", "vxDest.uri"));
  ASSERT_TRUE(m_ui->click("prefs", "#add-folder"));
  json dialog;
  ASSERT_TRUE(waitUntil([&] {
    dialog = m_ui->request({{"cmd", "dialog"}, {"response", "accept"}, {"path", trip}});
    return dialog.value("ok", false);
  })) << dialog.dump();
  EXPECT_EQ("folder", dialog.value("kind", ""));
  ASSERT_TRUE(waitFor("prefs", "document.querySelector('.source')"));
  EXPECT_EQ(json("Trip"), eval("prefs", "return document.querySelector('.source-name').title;"));
  screenshot("prefs", "webkit-preferences");
  const json notice = eval("prefs", "return document.getElementById('notice').textContent;");
  ASSERT_TRUE(m_ui->click("prefs", "#done"));
  ASSERT_TRUE(waitUntil([&] { return !m_ui->window("prefs").value("visible", true); }));
  EXPECT_EQ("1", prop("picker-closed"));

  // The main page explains the backup and the photos arrive on the drive. A program built
  // without the auto-import task class refuses the task: the page says so instead.
  ASSERT_TRUE(waitUntil([&] {
    return eval("main", "return !!document.querySelector('.task');") == json(true) ||
           notice == json("“Trip” could not be set up for backing up. Try again in a moment.");
  }));
  if (eval("main", "return !!document.querySelector('.task');") == json(true)) {
    EXPECT_TRUE(
        waitUntil([&] { return storedOriginals(m_svcData.path(), m_user.service) == 2; }, 120000));
    EXPECT_TRUE(waitFor("main", "document.querySelector('.task').dataset.kind === 'uptodate'"));
    screenshot("main", "webkit-browser-backup");
  } else {
    std::cout << "[   NOTE   ] this program has no auto-import tasks yet: no backup ran\n";
  }

  // Sign out: the tour again, no token; sign in again: the backup is still there.
  ASSERT_TRUE(m_ui->click("main", "#sign-out"));
  ASSERT_TRUE(waitUntil([&] { return !m_ui->state().value("signedIn", true); }));
  ASSERT_TRUE(m_ui->waitPage("login", "signin.html"));
  ASSERT_TRUE(waitFor("login", "!document.getElementById('tour').hidden"));
  EXPECT_EQ("<missing>", get(HBPROPERTIES_KEY_BROWSER, "valtoken"));
  ASSERT_TRUE(m_ui->click("login", "#start"));
  ASSERT_NO_FATAL_FAILURE(signInOnTheForm());
  ASSERT_TRUE(waitFor("main", "document.getElementById('drive').dataset.state === 'ready'"));
  if (notice == json("")) {
    EXPECT_TRUE(waitFor("main", "document.querySelector('.task .task-name').title === 'Trip'"));
  }
  m_ui->request({{"cmd", "tray"}, {"item", 125}});
  EXPECT_EQ(0, m_app->waitExit());
}

}  // namespace
