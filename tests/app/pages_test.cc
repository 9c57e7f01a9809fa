// The pages compiled into the program, end to end under Xvfb against the reference service: the
// first start's tour, the web sign-in, the main page finding the drive, the preferences adding a
// folder through the folder dialog, that folder's photos arriving on the drive, the videos switch,
// and signing out and in again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "../server/svctestserver.h"
#include "desktoptest.h"
#include "hbproperties.h"

namespace {

using tessel::test::Automation;
using tessel::test::Instance;
using tessel::test::json;
using tessel::test::storedOriginals;
using tessel::test::waitUntil;
using tessel::test::writePhoto;

class PagesTest : public tessel::test::DesktopFixture {
 protected:
  // The value of `script` (the body of an async function) in a window's page.
  json eval(const char *window, const std::string &script) { return m_ui->eval(window, script); }
  bool waitFor(const char *window, const std::string &condition) {
    return m_ui->waitFor(window, condition);
  }
  void screenshot(const char *window, const char *name) { m_ui->screenshot(window, name); }
  void signInOnTheForm() { m_ui->signInOnTheForm("alice", "pw123"); }
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
  json notice;
  ASSERT_NO_FATAL_FAILURE(notice = m_ui->addFolderThroughPreferences(trip, "webkit-preferences"));
  EXPECT_EQ("1", prop("picker-closed"));

  // The main page explains the backup and the photos arrive on the drive.
  EXPECT_EQ(json(""), notice);
  ASSERT_TRUE(waitFor("main", "document.querySelector('.task')"));
  EXPECT_TRUE(
      waitUntil([&] { return storedOriginals(m_svcData.path(), m_user.service) == 2; }, 120000));
  EXPECT_TRUE(waitFor("main", "document.querySelector('.task').dataset.kind === 'uptodate'"));
  screenshot("main", "webkit-browser-backup");

  // The videos switch of the preferences writes the program's own setting, which new backups
  // read; the pages reach no other setting through it, nor a value it does not take.
  EXPECT_EQ(json(true), eval("prefs", "return document.getElementById('videos').checked;"));
  EXPECT_EQ(json("0"), eval("prefs",
                            "document.getElementById('videos').click();"
                            "return vxCall('getAppSetting', 'backupvideos');"));
  EXPECT_EQ("0", get(HBPROPERTIES_KEY_BROWSER, "backupvideos"));
  EXPECT_EQ(json(nullptr), eval("prefs",
                                "vxCall('setAppSetting', 'backupvideos', 'yes');"
                                "vxCall('setAppSetting', 'valtoken', 'x');"
                                "vxCall('setAppSetting', 'host', 'evil:1');"
                                "return vxCall('getAppSetting', 'valtoken');"));
  EXPECT_EQ("0", get(HBPROPERTIES_KEY_BROWSER, "backupvideos"));
  EXPECT_NE("x", get(HBPROPERTIES_KEY_BROWSER, "valtoken"));
  EXPECT_EQ("<missing>", get(HBPROPERTIES_KEY_BROWSER, "host"));
  EXPECT_EQ(json(true), eval("prefs",
                             "document.getElementById('videos').click();"
                             "return document.getElementById('videos').checked;"));
  EXPECT_EQ("1", get(HBPROPERTIES_KEY_BROWSER, "backupvideos"));

  // Sign out: the tour again, no token; sign in again: the backup is still there.
  ASSERT_TRUE(m_ui->click("main", "#sign-out"));
  ASSERT_TRUE(waitUntil([&] { return !m_ui->state().value("signedIn", true); }));
  ASSERT_TRUE(m_ui->waitPage("login", "signin.html"));
  ASSERT_TRUE(waitFor("login", "!document.getElementById('tour').hidden"));
  EXPECT_EQ("<missing>", get(HBPROPERTIES_KEY_BROWSER, "valtoken"));
  // A photo taken while signed out goes up with the backup restored at sign-in, the others not
  // again.
  ASSERT_NO_FATAL_FAILURE(writePhoto(trip + "/IMG_0003.JPG", 170));
  ASSERT_TRUE(m_ui->click("login", "#start"));
  ASSERT_NO_FATAL_FAILURE(signInOnTheForm());
  ASSERT_TRUE(waitFor("main", "document.getElementById('drive').dataset.state === 'ready'"));
  EXPECT_TRUE(waitFor("main", "document.querySelector('.task .task-name').title === 'Trip'"));
  EXPECT_TRUE(
      waitUntil([&] { return storedOriginals(m_svcData.path(), m_user.service) == 3; }, 120000));
  EXPECT_TRUE(waitFor("main", "document.querySelector('.task').dataset.kind === 'uptodate'"));
  EXPECT_EQ(3, storedOriginals(m_svcData.path(), m_user.service));
  m_ui->request({{"cmd", "tray"}, {"item", 125}});
  EXPECT_EQ(0, m_app->waitExit());
}

}  // namespace
