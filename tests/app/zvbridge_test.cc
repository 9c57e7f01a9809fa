// The script bridge's task-queue methods in this process, with the queue's test tasks: what the
// pages get for sources, tasks and errors, and what the folder dialog adds or refuses.
#include "zvbridge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "../vximport/testtask.h"
#include "appplatform.h"
#include "hbstr.h"
#include "zvbrowser.h"

namespace {

using json = nlohmann::json;
using tessel::test::TaskLog;
using tessel::test::TempDir;

// Windows whose folder dialog answers what the test says.
class FakeWindows final : public ZVHeadlessWindows {
 public:
  bool chooseFolder(const char *title, std::string *path, std::string *name) override {
    lastTitle = title;
    if (chosen.empty()) return false;
    *path = chosen;
    *name = chosen.substr(chosen.rfind('/') + 1);
    return true;
  }

  std::string chosen;  // empty: the user cancels
  std::string lastTitle;
};

std::string g_box;
std::string g_markedRoot;

class BridgeTest : public testing::Test {
 protected:
  void SetUp() override {
    TaskLog::get().reset();
    vxclienttaskqueue__setFactoryForTest(tessel::test::testFactories());
    ASSERT_EQ(0, VXClientTaskQueue::create(m_queue));
    vxclienttaskqueue__setGlobal(m_queue.get());
    zvbrowser__setWindows(&m_windows);
    appplatform__setMessageBox([](const char *text, const char *caption, bool) {
      g_box = std::string(caption) + ": " + text;
    });
    g_box.clear();
  }
  void TearDown() override {
    vxclienttaskqueue__setGlobal(nullptr);
    (void)m_queue->shutdown();
    m_queue.reset();
    vxclienttaskqueue__setFactoryForTest(nullptr);
    vxclienttask__setVolumeRootForTest(nullptr);
    zvbrowser__setWindows(nullptr);
    appplatform__setMessageBox(nullptr);
  }

  json invoke(const char *method, const json &args) {
    return json::parse(zvbridge__invoke(ZVWIN_PREFS, method, args.dump()));
  }
  std::string saved(const char *name) {
    std::string text;
    (void)hbproperties__getString(m_settings.store(), name, &text);
    return text;
  }
  // The entry of `list` whose `key` is `value`, or null.
  static json find(const json &list, const char *key, const std::string &value) {
    for (const json &item : list)
      if (item.value(key, "") == value) return item;
    return json();
  }

  tessel::test::TempSettings m_settings;
  TempDir m_dir;
  FakeWindows m_windows;
  HBRef<VXClientTaskQueue> m_queue;
};

TEST_F(BridgeTest, SourcesTasksAndErrorsAsThePagesSeeThem) {
  const std::string folder = m_dir.path() + "/Holiday";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  const std::string folderURL = "file://" + folder;

  // The folder dialog adds a saved user source and answers its wrapper.
  m_windows.chosen = folder;
  json source = invoke("doAutoImportSourceDialog", {"user"})["result"];
  EXPECT_EQ(ZVBROWSER_STR_SELECT_FOLDER, m_windows.lastTitle);
  ASSERT_TRUE(source.is_object()) << source.dump();
  EXPECT_EQ("user", source["sourceclass"]);
  EXPECT_EQ("Holiday", source["name"]);
  EXPECT_EQ(json::array({folderURL}), source["uris"]);
  const std::string sourceId = source["sourceid"];
  ASSERT_FALSE(sourceId.empty());
  EXPECT_NE(std::string::npos, saved("usersources").find(sourceId));
  EXPECT_EQ(source,
            find(invoke("getAutoImportSources", json::array())["result"], "sourceid", sourceId));

  // An auto-import from it: the task's wrapper has its identifier as text and the source's
  // folders as an array.
  EXPECT_EQ(json::object(), invoke("addAutoImportFromSource", {"no-such-source", "ytozv://d:s"}));
  EXPECT_EQ(json::object(), invoke("addAutoImportFromSource", {sourceId, "http://not/a/drive"}));
  json task = invoke("addAutoImportFromSource", {sourceId, "ytozv://dev1:svc1"})["result"];
  ASSERT_TRUE(task.is_object()) << task.dump();
  ASSERT_TRUE(task["taskid"].is_string());
  const std::string taskId = task["taskid"];
  EXPECT_EQ(json::array({folderURL}), task["srcuris"]);
  EXPECT_EQ(sourceId, task["sourceid"]);
  EXPECT_EQ("autoimport", task["type"]);
  EXPECT_TRUE(task["desturi"].get<std::string>().rfind("ytozv://dev1:svc1", 0) == 0)
      << task["desturi"];
  json tasks = invoke("getAutoImportTasks", json::array())["result"];
  ASSERT_EQ(1u, tasks.size());
  EXPECT_EQ(taskId, tasks[0]["taskid"]);

  // Its errors, one wrapper each.
  HBRef<VXClientTask> found;
  ASSERT_EQ(0, m_queue->findTask(found.out(), taskId.c_str()));
  HBRef<IHBURL> bad;
  ASSERT_EQ(0, hburl__parse(bad.out(), (folderURL + "/broken.jpg").c_str()));
  static_cast<tessel::test::TestTask *>(found.get())->recordError(bad.get(), 0x04);
  EXPECT_EQ(json::parse(R"([{"uri":")" + folderURL + R"(/broken.jpg","errormask":"4"}])"),
            invoke("getTaskErrors", {taskId})["result"]);
  EXPECT_EQ(json(), invoke("getTaskErrors", {"no-such-task"})["result"]);

  // Resuming the paused task runs it; removing it takes it out once.
  EXPECT_EQ(-1, invoke("pauseTask", {taskId, 0})["result"]);
  EXPECT_TRUE(TaskLog::get().ended(1));
  EXPECT_EQ(1, invoke("removeTask", {taskId})["result"]);
  EXPECT_EQ(-1, invoke("removeTask", {taskId})["result"]);
  EXPECT_EQ(json::array(), invoke("getAutoImportTasks", json::array())["result"]);

  // Removing the source forgets it for the next start as well.
  EXPECT_EQ(1, invoke("removeAutoImportSource", {sourceId})["result"]);
  EXPECT_EQ(-1, invoke("removeAutoImportSource", {sourceId})["result"]);
  EXPECT_EQ(std::string::npos, saved("usersources").find(sourceId));

  // A cancelled dialog adds nothing; a folder of the drive itself is refused with the box.
  m_windows.chosen.clear();
  EXPECT_EQ(json(), invoke("doAutoImportSourceDialog", {"user"})["result"]);
  ASSERT_TRUE(tessel::test::writeFile(m_dir.path() + "/" VXCLIENTTASK_DRIVE_MARKER, ""));
  g_markedRoot = m_dir.path();
  vxclienttask__setVolumeRootForTest([](const char *, char *root, size_t size) {
    snprintf(root, size, "%s", g_markedRoot.c_str());
    return 0;
  });
  m_windows.chosen = folder;
  EXPECT_EQ(json(), invoke("doAutoImportSourceDialog", {"user"})["result"]);
  EXPECT_EQ(
      "Orvane Tessel Hard DriveUtility - Add Folders Failture: You can not add Orvane Tessel Hard "
      "DriveUtility drivers or folders",
      g_box);
  EXPECT_EQ(json::array(), invoke("getAutoImportSources", json::array())["result"]);
}

TEST(BridgeWrap, OnlyRecordsIteratorsStringsAndAddressesBecomeScriptValues) {
  HBRef<HBStrHeap> text;
  ASSERT_EQ(0, HBStrHeap::create("plain", text));
  json value;
  ASSERT_TRUE(zvbridge__wrap(static_cast<IHBStr *>(text.get()), &value));
  EXPECT_EQ("plain", value);
  HBRef<HBMap> map;
  ASSERT_EQ(0, HBMap::create("m", 256, 256, map));
  EXPECT_FALSE(zvbridge__wrap(map.get(), &value));
  EXPECT_FALSE(zvbridge__wrap(nullptr, &value));
}

}  // namespace
