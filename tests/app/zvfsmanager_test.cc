// The drive mount manager's rules against a system double: the letter search, the slots and the
// mounted list, the helper's command line (the token only on its standard input), the waits, and
// unmounting through the helper's control endpoint.
#include "zvfsmanager.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "hbproperties.h"
#include "logcapture.h"
#include "zvfsmanager_int.h"

namespace {

using tessel::test::LogCapture;

struct Spawned {
  std::vector<std::string> argv;
  std::string token;
};

// Shared with the test after the manager took the system.
struct World {
  std::set<char> mounted;     // letters with an active mount point not of ours
  std::set<char> dead;        // dead mount points
  std::vector<char> cleared;  // dead mount points cleared
  std::vector<Spawned> spawned;
  std::map<int64_t, char> helpers;  // live helpers and the letter each mounted
  std::set<int64_t> deaf;           // helpers without a control endpoint
  std::set<int64_t> stuck;          // helpers that never unmount
  std::vector<int64_t> quits, released;
  std::vector<int> sleeps;
  std::vector<char> opened;
  std::vector<ZVServiceInfo> services;
  int32_t listResult = 0;
  int spawnError = 0;
  int64_t nextPid = 100;
  // How many root tests an unmounting helper takes to go.
  int testsToGo = 3;
  std::map<int64_t, int> leaving;
};

class FakeSystem final : public ZVFSSystem {
 public:
  explicit FakeSystem(World *w) : w(w) {}
  ZVRootState rootState(char letter) override {
    if (w->dead.count(letter)) return ZVRootState::Dead;
    if (w->mounted.count(letter)) return ZVRootState::Mounted;
    for (auto &[pid, l] : w->helpers) {
      if (l != letter) continue;
      auto it = w->leaving.find(pid);
      if (it == w->leaving.end() || w->stuck.count(pid)) return ZVRootState::Mounted;
      if (--it->second > 0) return ZVRootState::Mounted;
    }
    return ZVRootState::Free;
  }
  void clearDeadMount(char letter) override {
    w->cleared.push_back(letter);
    w->dead.erase(letter);
  }
  int32_t spawn(const std::vector<std::string> &argv, const std::string &token,
                int64_t *pid) override {
    if (w->spawnError) return w->spawnError;
    w->spawned.push_back({argv, token});
    *pid = w->nextPid++;
    // The helper mounts on the letter of its "-l".
    for (size_t i = 0; i + 1 < argv.size(); ++i)
      if (argv[i] == "-l") w->helpers[*pid] = argv[i + 1][0];
    return 0;
  }
  bool alive(int64_t pid) override { return w->helpers.count(pid) > 0; }
  int32_t sendQuit(int64_t pid) override {
    if (!w->helpers.count(pid) || w->deaf.count(pid)) return BR_ENOENT;
    w->quits.push_back(pid);
    w->leaving[pid] = w->testsToGo;
    return 0;
  }
  void release(int64_t pid) override {
    w->released.push_back(pid);
    if (!w->stuck.count(pid)) w->helpers.erase(pid);
  }
  void sleepMs(int ms) override { w->sleeps.push_back(ms); }
  int32_t openFolder(char letter) override {
    w->opened.push_back(letter);
    return 0;
  }
  std::string helperPath() override { return "/opt/tessel/bin/tesselutilfs"; }
  int32_t listServices(const std::string &, std::vector<ZVServiceInfo> *out) override {
    *out = w->services;
    return w->listResult;
  }

 private:
  World *w;
};

class ZVFSManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, hbproperties__open(HBPROPERTIES_KEY_TESSELUTILFS, HBPROPERTIES_CREATE,
                                    m_settings.out()));
    for (const char *name : {ZVFS_SETTING_SHOWDRIVE, ZVFS_SETTING_MULTIDRIVE, ZVFS_SETTING_SHARED,
                             ZVFS_SETTING_LETTER})
      (void)m_settings->setProperty(name, nullptr);
    ASSERT_EQ(0, zvfsmanager__createWith(std::make_unique<FakeSystem>(&w), m_settings.get(), false,
                                         m_fs.out()));
  }

  // The first store opened became the process's default.
  void TearDown() override { hbproperties__setDefault(nullptr); }

  void set(const char *name, const char *value) {
    ASSERT_EQ(0, m_settings->setProperty(name, value));
  }

  std::vector<ZVFSSlotView> slots() {
    std::vector<ZVFSSlotView> s;
    std::vector<ZVDriveRecord> m;
    zvfsmanager__inspect(m_fs.get(), &s, &m);
    return s;
  }
  std::vector<ZVDriveRecord> mountedList() {
    std::vector<ZVFSSlotView> s;
    std::vector<ZVDriveRecord> m;
    zvfsmanager__inspect(m_fs.get(), &s, &m);
    return m;
  }
  // The letter of the last helper started.
  char lastLetter() { return w.spawned.empty() ? 0 : w.helpers[w.nextPid - 1]; }
  int32_t mount(const ZVServiceInfo *s, int slot = 2) {
    return zvfsmanager__mountSlot(m_fs.get(), s, slot, false);
  }

  World w;
  HBRef<HBProperties> m_settings;
  HBRef<IZVFSManager> m_fs;
};

const ZVServiceInfo kPhotos{"D1", "S1", "Photos", "yto:plugfs:drive", "1"};

TEST_F(ZVFSManagerTest, CommandLineCarriesNoTokenAndTheLogShowsIt) {
  LogCapture log(BRLOG_INFO);
  EXPECT_EQ(BR_ENOTAUTH, mount(&kPhotos));
  EXPECT_TRUE(w.spawned.empty());
  m_fs->setDriveOn(false);  // no mounting when the token comes
  m_fs->setSessionToken("secret-token-1");
  ASSERT_EQ(0, mount(&kPhotos));
  ASSERT_EQ(1u, w.spawned.size());
  EXPECT_EQ((std::vector<std::string>{"/opt/tessel/bin/tesselutilfs", "-l", "H", "--valtoken", "-",
                                      "--volname", "Photos", "--device", "D1", "--service", "S1"}),
            w.spawned[0].argv);
  EXPECT_EQ("secret-token-1", w.spawned[0].token);
  // The slot gets its letter and drive after the 500 ms the helper has to mount.
  EXPECT_EQ(std::vector<int>{500}, w.sleeps);
  ASSERT_EQ(1u, slots().size());
  EXPECT_EQ(2, slots()[0].index);
  EXPECT_EQ('H', slots()[0].letter);
  EXPECT_EQ("S1", slots()[0].service);
  const std::string text = log.text();
  EXPECT_NE(std::string::npos, text.find("ZVFS: GOING TO MOUNT [D1][S1] ON H:")) << text;
  EXPECT_NE(std::string::npos,
            text.find("ZVFS: SPAWNING 'tesselutilfs -l H --valtoken - --volname \"Photos\" "
                      "--device \"D1\" --service \"S1\"'"))
      << text;
  EXPECT_NE(std::string::npos, text.find("ZVFS: NEW PID=100")) << text;
  EXPECT_EQ(std::string::npos, text.find("secret-token-1"));

  // Debug logging adds "-d"; the shared files drive names no drive.
  brlog__setLevel(BRLOG_DEBUG);
  ASSERT_EQ(0, zvfsmanager__mountSlot(m_fs.get(), nullptr, 1, true));
  EXPECT_EQ((std::vector<std::string>{"/opt/tessel/bin/tesselutilfs", "-d", "-l", "I", "--valtoken",
                                      "-", "--justshares"}),
            w.spawned[1].argv);
}

TEST_F(ZVFSManagerTest, LetterSearchWrapsToEAndClearsDeadMountPoints) {
  m_fs->setDriveOn(false);
  m_fs->setSessionToken("t");
  set(ZVFS_SETTING_LETTER, "y");
  w.mounted = {'Y'};
  ZVServiceInfo a = kPhotos;
  ASSERT_EQ(0, mount(&a, 2));
  EXPECT_EQ('Z', lastLetter());
  // Y taken by another drive, Z by our helper: the search goes on at "E".
  a.service = "S2";
  ASSERT_EQ(0, mount(&a, 3));
  EXPECT_EQ('E', lastLetter());
  // A dead mount point (a helper killed) is unmounted and used again.
  a.service = "S3";
  w.dead = {'F'};
  ASSERT_EQ(0, mount(&a, 4));
  EXPECT_EQ('F', lastLetter());
  EXPECT_EQ(std::vector<char>{'F'}, w.cleared);

  // A letter before "E": every letter from it to "Z" is tried once, then none is left.
  set(ZVFS_SETTING_LETTER, "B");
  for (char c = 'B'; c <= 'Z'; ++c) w.mounted.insert(c);
  const size_t before = w.spawned.size();
  a.service = "S4";
  EXPECT_EQ(0, mount(&a, 5));
  EXPECT_EQ(before, w.spawned.size());
  w.mounted.erase('C');
  ASSERT_EQ(0, mount(&a, 5));
  EXPECT_EQ('C', lastLetter());
  // Not a letter at all: "H".
  set(ZVFS_SETTING_LETTER, "7");
  w.mounted.clear();
  a.service = "S5";
  ASSERT_EQ(0, mount(&a, 6));
  EXPECT_EQ('H', lastLetter());
}

TEST_F(ZVFSManagerTest, MountAllPicksOnlineDrivesOncePerDeviceRun) {
  m_fs->setDriveOn(false);
  m_fs->setSessionToken("t");
  const std::string plug = "yto:plugfs:drive";
  w.services = {{"D1", "S1", "One", plug, "1"},          {"D1", "S2", "One b", plug, "1"},
                {"D2", "S3", "Off", plug, "0"},          {"D3", "S4", "No field", plug, ""},
                {"D4", "S5", "Other", "yto:other", "1"}, {"D5", "S6", "Yes", plug, "yes"},
                {"D1", "S7", "One again", plug, "T"}};
  set(ZVFS_SETTING_SHARED, "1");
  ASSERT_EQ(0, m_fs->mountAll());
  std::vector<std::string> mounted;
  for (const ZVFSSlotView &s : slots()) mounted.push_back(std::to_string(s.index) + s.service);
  EXPECT_EQ((std::vector<std::string>{"1", "2S1", "3S6", "4S7"}), mounted);
  EXPECT_EQ(std::vector<std::string>({"--justshares"}),
            std::vector<std::string>(w.spawned[0].argv.end() - 1, w.spawned[0].argv.end()));
  // The same drive again: refused, and no helper is started.
  const size_t helpers = w.spawned.size();
  EXPECT_EQ(BR_EFAULT, mount(&w.services[0], 10));
  EXPECT_EQ(helpers, w.spawned.size());
  // A failed listing mounts nothing; a failed start leaves the slot free.
  m_fs->unmountAll();
  EXPECT_TRUE(slots().empty());
  EXPECT_TRUE(mountedList().empty());
  set(ZVFS_SETTING_SHARED, "0");
  w.listResult = BR_ENOCONN;
  ASSERT_EQ(0, m_fs->mountAll());
  EXPECT_TRUE(slots().empty());
  w.listResult = 0;
  w.spawnError = 2;
  ASSERT_EQ(0, m_fs->mountAll());
  EXPECT_TRUE(slots().empty());
  EXPECT_TRUE(mountedList().empty());

  // Single-drive mode: slot 0, the helper chooses the drive; "open the drive" opens its folder.
  w.spawnError = 0;
  set(ZVFS_SETTING_MULTIDRIVE, "0");
  ASSERT_EQ(0, m_fs->mountAll());
  ASSERT_EQ(1u, slots().size());
  EXPECT_EQ(0, slots()[0].index);
  EXPECT_EQ(5u, w.spawned.back().argv.size());  // program, -l, letter, --valtoken, -
  m_fs->openDrive();
  EXPECT_TRUE(w.opened.empty());  // the drive is off
  set(ZVFS_SETTING_SHOWDRIVE, "1");
  m_fs->openDrive();
  EXPECT_EQ(std::vector<char>{slots()[0].letter}, w.opened);
}

TEST_F(ZVFSManagerTest, UnmountingWaitsForTheRootAndFreesSlotsOfGoneHelpers) {
  LogCapture log(BRLOG_INFO);
  m_fs->setDriveOn(false);
  m_fs->setSessionToken("t");
  ZVServiceInfo a = kPhotos, b = kPhotos, c = kPhotos;
  b.service = "S2";
  c.service = "S3";
  ASSERT_EQ(0, mount(&a, 2));
  ASSERT_EQ(0, mount(&b, 3));
  ASSERT_EQ(0, mount(&c, 4));
  const int64_t pa = slots()[0].pid, pb = slots()[1].pid, pc = slots()[2].pid;
  w.deaf = {pb};   // gone before it made its endpoint
  w.stuck = {pc};  // never unmounts
  w.sleeps.clear();
  m_fs->unmountAll();
  // A: quit, the root disappears at the third test (two pauses). B: no endpoint, no wait. C: 25
  // tests, 24 pauses, then waited for while it lives (11 minutes of pauses), then given up.
  std::vector<int> expected(2 + 24 + 3300, 200);
  EXPECT_EQ(expected, w.sleeps);
  EXPECT_EQ((std::vector<int64_t>{pa, pc}), w.quits);
  EXPECT_EQ((std::vector<int64_t>{pa, pb, pc}), w.released);
  EXPECT_TRUE(slots().empty());
  // Every record is gone, also that of the helper that had vanished: its drive mounts again.
  EXPECT_TRUE(mountedList().empty());
  const std::string text = log.text();
  EXPECT_NE(std::string::npos, text.find("ZVFS: LOOKING FOR PID: 101"));
  EXPECT_NE(std::string::npos, text.find("ZVFS: TELLING PID 100 TO QUIT FOR MOUNT @ H:"));
  EXPECT_EQ(std::string::npos, text.find("TELLING PID 101"));
  EXPECT_NE(std::string::npos, text.find("ZVFS: FAILED TO UNMOUNT @ J"));
  // C's letter is still mounted by its stuck helper: a mount from there takes the next one.
  set(ZVFS_SETTING_LETTER, "J");
  ASSERT_EQ(0, mount(&b, 2));
  EXPECT_EQ('K', lastLetter());

  // A helper that takes longer than the 25 tests (uploads to finish) is waited for: its drive
  // mounts on the same letter again.
  m_fs->unmountAll();
  set(ZVFS_SETTING_LETTER, "H");
  w.stuck.clear();
  ASSERT_EQ(0, mount(&a, 2));
  ASSERT_EQ('H', lastLetter());
  w.testsToGo = 60;
  w.sleeps.clear();
  m_fs->unmountAll();
  EXPECT_EQ(std::vector<int>(59, 200), w.sleeps);
  EXPECT_NE(std::string::npos, log.text().find("is still finishing @ H"));
  ASSERT_EQ(0, mount(&a, 2));
  EXPECT_EQ('H', lastLetter());
}

TEST_F(ZVFSManagerTest, TokenSettingsAndTheDriveListing) {
  w.services = {{"D1", "S1", "One", "yto:plugfs:drive", "1"},
                {"D2", "S2", "Two", "yto:plugfs:drive", "0"},
                {"D1", "S3", "One b", "yto:plugfs:drive", "0"}};
  std::vector<ZVDriveRecord> drives;
  ASSERT_EQ(0, m_fs->listDrives(&drives));
  EXPECT_TRUE(drives.empty());  // no call without a token
  EXPECT_EQ(BR_ENOTAUTH, m_fs->mountAll());

  // Sign-in mounts (the drive is on by default); the same token again does nothing.
  m_fs->setSessionToken("t1");
  EXPECT_EQ(1u, w.spawned.size());
  m_fs->setSessionToken("t1");
  EXPECT_EQ(1u, w.spawned.size());
  ASSERT_EQ(0, m_fs->listDrives(&drives));
  ASSERT_EQ(2u, drives.size());  // the first service of each device
  EXPECT_EQ("S1", drives[0].service);
  EXPECT_EQ("S2", drives[1].service);

  // A new letter remounts there; the same letter in lower case does nothing.
  m_fs->setDriveLetter('k');
  EXPECT_EQ('K', m_fs->driveLetter());
  EXPECT_EQ('K', lastLetter());
  m_fs->setDriveLetter('K');
  EXPECT_EQ(2u, w.spawned.size());
  // Off unmounts; sign-out drops the token and the caller unmounts.
  m_fs->setDriveOn(false);
  EXPECT_TRUE(slots().empty());
  m_fs->setDriveOn(true);
  EXPECT_EQ(1u, slots().size());
  m_fs->dropSessionToken();
  m_fs->unmountAll();
  EXPECT_TRUE(slots().empty());
  EXPECT_EQ(BR_ENOTAUTH, m_fs->mountAll());
}

// The tray menu sets the drive on each time it opens, the pages select the drive again and
// again: a drive that a live helper has mounted is never unmounted for that (its copies would
// fail), only what differs from the wanted state changes.
TEST_F(ZVFSManagerTest, DriveOnAgainTouchesOnlyWhatChanged) {
  w.services = {{"D1", "S1", "One", "yto:plugfs:drive", "1"},
                {"D2", "S2", "Two", "yto:plugfs:drive", "0"}};
  m_fs->setSessionToken("t1");
  ASSERT_EQ(1u, w.spawned.size());
  const int64_t first = w.nextPid - 1;
  for (int i = 0; i < 3; ++i) m_fs->applyDriveSetting("1");
  m_fs->setDriveOn(true);
  m_fs->remountForSelected("D1");
  EXPECT_TRUE(w.quits.empty());
  EXPECT_EQ(1u, w.spawned.size());

  // A drive coming online is mounted beside; one going offline is unmounted alone; a failed
  // listing leaves everything as it is.
  w.services[1].online = "1";
  m_fs->applyDriveSetting("1");
  ASSERT_EQ(2u, w.spawned.size());
  const int64_t second = w.nextPid - 1;
  EXPECT_TRUE(w.quits.empty());
  w.services[0].online = "0";
  m_fs->applyDriveSetting("1");
  EXPECT_EQ(std::vector<int64_t>{first}, w.quits);
  w.listResult = BR_ECONNRESET;
  m_fs->applyDriveSetting("1");
  EXPECT_EQ(1u, w.quits.size());
  ASSERT_EQ(1u, slots().size());
  EXPECT_EQ(second, slots()[0].pid);
  // A helper that died is replaced; off ends the rest.
  w.listResult = 0;
  w.helpers.erase(second);
  m_fs->applyDriveSetting("1");
  EXPECT_EQ(3u, w.spawned.size());
  EXPECT_EQ(1u, mountedList().size());
  m_fs->applyDriveSetting("0");
  EXPECT_TRUE(slots().empty());
  EXPECT_EQ(2u, w.quits.size());

  // Single-drive mode: its one helper stays through repeated drive-on too.
  set(ZVFS_SETTING_MULTIDRIVE, "0");
  m_fs->applyDriveSetting("1");
  ASSERT_EQ(1u, slots().size());
  EXPECT_EQ(0, slots()[0].index);
  m_fs->applyDriveSetting("1");
  EXPECT_EQ(4u, w.spawned.size());
  EXPECT_EQ(2u, w.quits.size());
}

}  // namespace
