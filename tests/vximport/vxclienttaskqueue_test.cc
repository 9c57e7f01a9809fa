// The task queue: runs in order on its thread, the bounded mailbox, the tick, removal, the
// saved user sources and auto-imports across restarts and sign-ins, restore rules, bad saved
// texts, and the default sources of start-up.
#include "vxclienttaskqueue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "hbproperties.h"
#include "logcapture.h"
#include "testtask.h"
#include "testutil.h"

namespace {

using tessel::test::LogCapture;
using tessel::test::TaskLog;
using tessel::test::TempDir;
using tessel::test::TestTask;

class TaskQueue : public testing::Test {
 protected:
  void SetUp() override {
    vxclienttaskqueue__setFactoryForTest(tessel::test::testFactories());
    TaskLog::get().reset();
  }
  void TearDown() override {
    TaskLog::get().openGate();
    if (m_queue) m_queue->shutdown();
    m_queue.reset();
    vxclienttaskqueue__setFactoryForTest(nullptr);
  }

  void restart() {
    if (m_queue) m_queue->shutdown();
    ASSERT_EQ(0, VXClientTaskQueue::create(m_queue));
  }
  HBRef<VXClientTaskReference> source(const std::string &id, const std::string &name,
                                      bool persist = true) {
    HBRef<VXClientTaskReference> ref;
    EXPECT_EQ(0, VXClientTaskReference::create(id.c_str(), "photo", name.c_str(), persist, ref));
    HBRef<IHBURL> url;
    EXPECT_EQ(0, hburl__fromPath(url.out(), ("/home/u/" + name).c_str()));
    EXPECT_EQ(0, ref->addURI(url.get()));
    return ref;
  }
  static HBRef<IHBZVURI> zv(const char *text) {
    HBRef<IHBZVURI> u;
    EXPECT_EQ(0, hbzvuri_new(u, text));
    return u;
  }
  std::vector<HBRef<VXClientTask>> tasks(int32_t kind) {
    HBRef<IHBIter> it;
    std::vector<HBRef<VXClientTask>> out;
    EXPECT_EQ(0, m_queue->iterateTasks(kind, it.out()));
    hbtype_t t = VXIFC_TASK_MUTABLE;
    void *item;
    while (it && it->next(&t, &item) == 0) {
      out.push_back(HBRef<VXClientTask>::adopt(static_cast<VXClientTask *>(item)));
      t = VXIFC_TASK_MUTABLE;
    }
    return out;
  }
  // Notifications other than the tick, which may come at any time.
  static std::vector<int32_t> notes(VXClientTask *t) {
    std::vector<int32_t> n = static_cast<TestTask *>(t)->notes();
    n.erase(std::remove(n.begin(), n.end(), TASK_NOTIFY_TICK), n.end());
    return n;
  }
  std::string saved(const char *name) {
    std::string text;
    EXPECT_EQ(0, hbproperties__getString(m_store, name, &text));
    return text;
  }
  // Waits for `n` runs in all to have ended.
  static bool runs(size_t n) { return TaskLog::get().ended(n); }

  tessel::test::TempSettings m_settings;
  HBProperties *m_store = m_settings.store();
  HBRef<VXClientTaskQueue> m_queue;
};

TEST_F(TaskQueue, RunsInOrderAndTheMailboxHoldsTwenty) {
  restart();
  HBRef<VXClientTaskReference> src = source("s", "Pics");
  HBRef<IHBZVURI> dest = zv("ytozv://D1:S1");
  EXPECT_EQ(0, m_queue->setSessionToken("tok"));
  TaskLog &log = TaskLog::get();
  log.closeGate();
  std::vector<HBRef<VXClientTask>> queued(1);
  ASSERT_EQ(0, m_queue->newImportTask(queued[0].out(), src->obj(), dest.get(), 2, 0x25));
  ASSERT_TRUE(log.waitFor([&] { return log.insideGate; }));  // the thread holds the first
  for (int i = 0; i < VXTASKQ_MAILBOX; ++i) {
    queued.emplace_back();
    ASSERT_EQ(0, m_queue->newImportTask(queued.back().out(), src->obj(), dest.get(), 2, 0));
    ASSERT_TRUE(queued.back());
    EXPECT_EQ(32u, strlen(queued.back()->getTaskID()));
  }
  {
    LogCapture capture;
    HBRef<VXClientTask> refused, exported;
    EXPECT_EQ(0, m_queue->newImportTask(refused.out(), src->obj(), dest.get(), 2, 0));
    EXPECT_FALSE(refused);
    EXPECT_EQ(-1, m_queue->newExportTask(exported.out(), src->obj(), dest.get()));
    EXPECT_TRUE(capture.has("-- No root in queue for task...")) << capture.text();
  }
  EXPECT_EQ(21u, tasks(TASK_TYPE_IMPORT).size());
  EXPECT_EQ(0u, tasks(TASK_TYPE_EXPORT).size());
  // A source that is not a reference creates nothing.
  HBRef<VXClientTask> none;
  EXPECT_EQ(0, m_queue->newImportTask(none.out(), dest.get(), dest.get(), 2, 0));
  EXPECT_FALSE(none);

  log.openGate();
  ASSERT_TRUE(runs(21));
  std::vector<std::string> expected;
  for (auto &t : queued) expected.push_back(std::string(t->getTaskID()) + " tok");
  {
    std::lock_guard<std::mutex> l(log.m);
    EXPECT_EQ(expected, log.runs);
  }

  HBRef<VXClientTask> found;
  ASSERT_EQ(0, m_queue->findTask(found.out(), queued[3]->getTaskID()));
  EXPECT_EQ(queued[3].get(), found.get());
  EXPECT_EQ(BR_ENOENT, m_queue->findTask(found.out(), "nope"));
  HBRef<IHBIter> it;
  EXPECT_EQ(BR_ENOENT, m_queue->iterateTasks(4, it.out()));

  // Removal: cancel first (0x08), delete data (0x10: notification 5), else notification 4.
  ASSERT_TRUE(log.waitFor([&] { return queued[0]->getTaskState() == TASK_STATE_FINISHED; }));
  EXPECT_EQ(0, m_queue->removeTask(queued[0].get(), VXTASKQ_CANCEL | VXTASKQ_DELETE_DATA));
  EXPECT_EQ(TASK_STATE_CANCELED, queued[0]->getTaskState());
  EXPECT_EQ(std::vector<int32_t>{5}, notes(queued[0].get()));
  EXPECT_EQ(BR_ENOENT, m_queue->removeTask(queued[0].get(), 0));
  EXPECT_EQ(0, m_queue->removeTask(queued[1].get(), 0));
  EXPECT_EQ(TASK_STATE_FINISHED, queued[1]->getTaskState());
  EXPECT_EQ(std::vector<int32_t>{4}, notes(queued[1].get()));
  EXPECT_EQ(19u, tasks(TASK_TYPE_IMPORT).size());
}

std::atomic<int64_t> g_fakeTicks{1000000};

TEST_F(TaskQueue, TickComesBetweenRunsEveryTenSeconds) {
  brtime__setTicks64Source([] { return g_fakeTicks.load(); });
  restart();
  HBRef<VXClientTaskReference> src = source("s", "Pics");
  HBRef<VXClientTask> first;
  ASSERT_EQ(0, m_queue->newExportTask(first.out(), src->obj(), nullptr));
  ASSERT_TRUE(runs(1));
  // Each run wakes the thread; once ten seconds have passed on its clock it ticks.
  bool ticked = false;
  for (size_t n = 2; n < 20 && !ticked; ++n) {
    g_fakeTicks += VXTASKQ_TICK_MS + 1;
    HBRef<VXClientTask> next;
    ASSERT_EQ(0, m_queue->newExportTask(next.out(), src->obj(), nullptr));
    ASSERT_TRUE(runs(n));
    for (int i = 0; i < 100 && !ticked; ++i) {
      std::vector<int32_t> seen = static_cast<TestTask *>(first.get())->notes();
      ticked = std::find(seen.begin(), seen.end(), TASK_NOTIFY_TICK) != seen.end();
      if (!ticked) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  EXPECT_TRUE(ticked);
  m_queue->shutdown();
  brtime__setTicks64Source(nullptr);
}

TEST_F(TaskQueue, SavedSourcesAndAutoImportsSurviveRestartsAndSignIns) {
  restart();
  std::vector<HBRef<VXClientTaskReference>> refs;
  for (int i = 0; i < 200; ++i) {
    refs.push_back(
        source("src" + std::to_string(1000 + i), "My \"best\" photos " + std::to_string(i)));
    ASSERT_EQ(0, m_queue->addUserSource(refs.back()->obj(), i == 199 ? VXTASKQ_SAVE : 0u));
  }
  HBRef<VXClientTaskReference> volatileRef = source("zz-default", "Pictures", false);
  ASSERT_EQ(0, m_queue->addUserSource(volatileRef->obj(), VXTASKQ_SAVE));
  EXPECT_GT(saved("usersources").size(), 8192u);
  HBRef<IHBZVURI> notARef = zv("ytozv://D:S");
  EXPECT_EQ(BR_ENOENT, m_queue->addUserSource(notARef.get(), 0));

  // Two auto-imports: a new one starts paused; the other is resumed and runs to the end.
  ASSERT_EQ(0, m_queue->setSessionToken("tok1"));
  HBRef<VXClientTask> paused, resumed;
  ASSERT_EQ(
      0, m_queue->newAutoImportTask(paused.out(), refs[0]->obj(), zv("ytozv://D1:S1").get(), 2, 5));
  ASSERT_EQ(0, m_queue->newAutoImportTask(resumed.out(), refs[1]->obj(), zv("ytozv://D1:S2").get(),
                                          2, 5));
  ASSERT_EQ(0, resumed->setPaused(0));
  ASSERT_TRUE(runs(3));
  ASSERT_TRUE(
      TaskLog::get().waitFor([&] { return resumed->getTaskState() == TASK_STATE_FINISHED; }));
  EXPECT_EQ(TASK_STATE_CANCELED, paused->getTaskState());
  EXPECT_EQ(0, m_queue->setSessionToken("tok1"));  // the same token: nothing happens
  EXPECT_EQ(2u, tasks(TASK_TYPE_AUTOIMPORT).size());

  // Sign-out saves and drops them; sign-in brings them back once, with their saved states.
  ASSERT_EQ(0, m_queue->setSessionToken(nullptr));
  EXPECT_EQ(0u, tasks(TASK_TYPE_AUTOIMPORT).size());
  EXPECT_EQ(std::vector<int32_t>{4}, notes(resumed.get()));
  const std::string text = saved("autoimports");
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(0, m_queue->setSessionToken("tok2"));
    ASSERT_TRUE(runs(3 + 2 * (round + 1)));  // their queued runs end before the next save
    std::vector<HBRef<VXClientTask>> back = tasks(TASK_TYPE_AUTOIMPORT);
    ASSERT_EQ(2u, back.size());
    EXPECT_STREQ(paused->getTaskID(), back[0]->getTaskID());
    EXPECT_STREQ(resumed->getTaskID(), back[1]->getTaskID());
    EXPECT_EQ(TASK_STATE_CANCELED, back[0]->getTaskState());
    HBRef<VXClientTaskReference> s;
    ASSERT_EQ(0, back[0]->getTaskSource(s.out()));
    EXPECT_EQ(refs[0].get(), s.get());  // the user source of that identifier
    HBRef<IHBIter> again;
    ASSERT_EQ(0, m_queue->loadAutoImports(nullptr, again.out()));
    EXPECT_EQ(0, static_cast<HBListIterator *>(again.get())->count());
    EXPECT_EQ(2u, tasks(TASK_TYPE_AUTOIMPORT).size());
    ASSERT_EQ(0, m_queue->setSessionToken(nullptr));
    EXPECT_EQ(text, saved("autoimports"));
  }

  // The last saved photo source wins; an unknown class gets a fresh identifier.
  char id[36] = "";
  ASSERT_EQ(0, m_queue->findSourceIDByClass("photo", id, sizeof id, 0));
  EXPECT_STREQ(refs[1]->getRefID(), id);
  char fresh1[36] = "", fresh2[36] = "";
  ASSERT_EQ(0, m_queue->findSourceIDByClass("music", fresh1, sizeof fresh1, 0));
  ASSERT_EQ(0, m_queue->findSourceIDByClass("music", fresh2, sizeof fresh2, 0));
  EXPECT_EQ(32u, strlen(fresh1));
  EXPECT_STRNE(fresh1, fresh2);
  char tiny[8];
  EXPECT_EQ(BR_EINVAL, m_queue->findSourceIDByClass("music", tiny, sizeof tiny, 0));

  // After a restart the 200 sources come back whole; the one not persisted does not.
  restart();
  HBRef<IHBIter> it;
  ASSERT_EQ(0, m_queue->iterateUserSources(it.out()));
  std::vector<std::string> before, after;
  for (auto &r : refs)
    before.push_back(std::string(r->getRefID()) + r->refNameText() + r->uriTexts()[0]);
  hbtype_t t = VXIFC_TASKREFERENCE_MUTABLE;
  void *item;
  while (it->next(&t, &item) == 0) {
    HBRef<VXClientTaskReference> r =
        HBRef<VXClientTaskReference>::adopt(static_cast<VXClientTaskReference *>(item));
    after.push_back(std::string(r->getRefID()) + r->refNameText() + r->uriTexts()[0]);
    t = VXIFC_TASKREFERENCE_MUTABLE;
  }
  EXPECT_EQ(before, after);
  HBRef<VXClientTaskReference> found;
  EXPECT_EQ(BR_ENOENT, m_queue->findUserSource(found.out(), "zz-default"));
  ASSERT_EQ(0, m_queue->findUserSource(found.out(), "src1005"));
  EXPECT_EQ(0, m_queue->removeUserSource(found->obj()));
  EXPECT_EQ(BR_ENOENT, m_queue->removeUserSource(found->obj()));
}

TEST_F(TaskQueue, RestoreRulesAndBadSavedTexts) {
  const std::string src =
      "\"taskSrcRef\":{\"taskRefID\":\"r\",\"taskRefClass\":\"photo\","
      "\"taskRefURIs\":[\"file:///home/u/P\"]}";
  const std::string text =
      "{\"autoImports\":["
      "{\"taskID\":\"paused\",\"taskClass\":\"2\",\"taskFlags\":\"5\",\"taskState\":\"5\"," +
      src +
      ",\"taskDestURI\":\"ytozv://D:S\"},"
      "{\"taskID\":\"byref\",\"taskClass\":\"2\",\"taskState\":\"0\"," +
      src +
      ",\"taskDestRef\":{\"taskRefID\":\"d\",\"taskRefURIs\":[\"ytozv://D2:S2\"]}},"
      "{\"taskID\":\"odd\",\"taskClass\":\"2\",\"taskState\":\"3\"," +
      src +
      ",\"taskDestURI\":\"ytozv://D:S\"},"
      "{\"taskID\":\"nosrc\",\"taskClass\":\"2\",\"taskDestURI\":\"ytozv://D:S\"},"
      "{\"taskID\":\"srctext\",\"taskClass\":\"2\",\"taskSrcRef\":\"x\",\"taskDestURI\":\"ytozv://"
      "D:S\"},"
      "{\"taskID\":\"nodest\",\"taskClass\":\"2\"," +
      src +
      ",\"taskDestURI\":\"http://x/\"},"
      "{\"taskID\":{\"a\":\"b\"},\"taskClass\":\"2\"," +
      src +
      ",\"taskDestURI\":\"ytozv://D:S\"},"
      "7,\"x\"]}";
  ASSERT_EQ(0, m_store->setProperty("autoimports", text.c_str()));
  restart();
  ASSERT_EQ(0, m_queue->setSessionToken("t"));
  std::vector<HBRef<VXClientTask>> back = tasks(TASK_TYPE_AUTOIMPORT);
  ASSERT_EQ(3u, back.size());
  ASSERT_TRUE(runs(3));
  ASSERT_TRUE(
      TaskLog::get().waitFor([&] { return back[1]->getTaskState() == TASK_STATE_FINISHED; }));
  EXPECT_EQ(TASK_STATE_CANCELED, back[0]->getTaskState());  // "5" stays paused
  EXPECT_EQ(TASK_STATE_UNKNOWN, back[2]->getTaskState());   // "3" is kept and not run
  EXPECT_EQ(5u, back[0]->getTaskFlags());
  HBRef<IHBURI> d;
  ASSERT_EQ(0, back[1]->getTaskDestination(d.out()));
  std::string dt;
  ASSERT_TRUE(hburi__text(d.get(), &dt));
  EXPECT_EQ("ytozv://D2:S2", dt);

  // Texts that are cut, not JSON or of the wrong shape restore nothing and never crash.
  const std::string cut = text.substr(0, text.size() / 2);
  for (const std::string &bad :
       {cut, std::string("not json"), std::string("{"), std::string("{\"autoImports\":\"x\"}"),
        std::string("{\"autoImports\":[1,[],{}]}"), std::string("")}) {
    m_queue->shutdown();  // it saves: the bad texts go in after it
    ASSERT_EQ(0, m_store->setProperty("autoimports", bad.c_str()));
    ASSERT_EQ(
        0, m_store->setProperty(
               "usersources", bad == "" ? "{\"userSources\":[{\"taskRefURIs\":3}]}" : bad.c_str()));
    restart();
    ASSERT_EQ(0, m_queue->setSessionToken("t"));
    EXPECT_EQ(0u, tasks(TASK_TYPE_AUTOIMPORT).size()) << bad;
    HBRef<IHBIter> it;
    ASSERT_EQ(0, m_queue->iterateUserSources(it.out()));
    EXPECT_EQ(0, static_cast<HBListIterator *>(it.get())->count()) << bad;
    char id[36] = "";
    EXPECT_EQ(0, m_queue->findSourceIDByClass("photo", id, sizeof id, 0));
    if (bad == cut) {
      EXPECT_EQ(cut, saved("autoimports.unreadable"));  // kept to be mended
    }
  }
}

TEST_F(TaskQueue, DefaultSourcesTakeTheSavedIdentifier) {
  const std::string home = getenv("HOME");
  TempDir pictures;
  ASSERT_TRUE(tessel::test::writeFile(m_settings.dir().file("user-dirs.dirs"),
                                      "# written by xdg-user-dirs-update\n"
                                      "XDG_PICTURES_DIR=\"" +
                                          pictures.path() +
                                          "/\"\n"
                                          "XDG_DOCUMENTS_DIR=\"$HOME/Missing Docs\"\n"));
  ASSERT_EQ(0, m_store->setProperty(
                   "autoimports",
                   "{\"autoImports\":[{\"taskID\":\"t\",\"taskClass\":\"2\",\"taskSrcRef\":"
                   "{\"taskRefID\":\"photo-id\",\"taskRefClass\":\"photo\",\"taskRefURIs\":[]},"
                   "\"taskDestURI\":\"ytozv://D:S\"}]}"));
  restart();
  EXPECT_EQ(1, vxclienttaskqueue__addDefaultSources(m_queue.get()));
  HBRef<VXClientTaskReference> pics;
  ASSERT_EQ(0, m_queue->findUserSource(pics.out(), "photo-id"));
  EXPECT_STREQ("photo", pics->refClassText());
  const std::string base = pictures.path().substr(pictures.path().rfind('/') + 1);
  EXPECT_EQ(base, pics->refNameText());
  EXPECT_EQ(std::vector<std::string>{"file://" + pictures.path()}, pics->uriTexts());
  EXPECT_FALSE(pics->persist());
  EXPECT_EQ("{\"userSources\":[]}", saved("usersources"));
}

}  // namespace

namespace {

// A store whose saved auto-imports cannot be read (a busy or failing database).
class FailingStore final : public HBObject<FailingStore, HBProperties> {
 public:
  int32_t getProperty(const char *, char *, int32_t) override { return BR_EIO; }
  int32_t setProperty(const char *, const char *) override {
    ++writes;
    return 0;
  }
  int writes = 0;
};

std::string entryText(const std::string &id, const char *state) {
  return "{\"taskID\":\"" + id + "\",\"taskClass\":\"2\",\"taskFlags\":\"5\",\"taskState\":\"" +
         state + "\",\"taskSrcRef\":{\"taskRefID\":\"r" + id +
         "\",\"taskRefURIs\":[\"file:///home/u/P\"]},\"taskDestURI\":\"ytozv://D:S\"}";
}

}  // namespace

TEST_F(TaskQueue, SavedListsSurviveBigListsOtherProgramsUnreadableTextsAndOneRunnerAtATime) {
  // 25 saved backups, more than the mailbox holds: all restored, all run, all saved again.
  std::string text = "{\"autoImports\":[";
  for (int i = 0; i < 25; ++i) text += (i ? "," : "") + entryText("t" + std::to_string(i), "6");
  ASSERT_EQ(0, m_store->setProperty("autoimports", (text + "]}").c_str()));
  restart();
  TaskLog::get().closeGate();
  ASSERT_EQ(0, m_queue->setSessionToken("tok"));
  EXPECT_EQ(25u, tasks(TASK_TYPE_AUTOIMPORT).size());
  TaskLog::get().openGate();
  ASSERT_TRUE(runs(25));
  ASSERT_EQ(0, m_queue->saveAutoImports(nullptr, nullptr));
  std::vector<VXSavedAutoImport> back;
  EXPECT_EQ(25, vxclienttaskqueue__parseAutoImports(saved("autoimports").c_str(), &back, nullptr));

  // Another program's entry, saved meanwhile, stays; one removed here goes.
  std::string now = saved("autoimports");
  now.insert(now.size() - 2, "," + entryText("other", "5"));
  ASSERT_EQ(0, m_store->setProperty("autoimports", now.c_str()));
  std::vector<HBRef<VXClientTask>> list = tasks(TASK_TYPE_AUTOIMPORT);
  const std::string gone = list[3]->getTaskID();
  ASSERT_EQ(0, m_queue->removeTask(list[3].get(), VXTASKQ_CANCEL));
  back.clear();
  EXPECT_EQ(25, vxclienttaskqueue__parseAutoImports(saved("autoimports").c_str(), &back, nullptr));
  EXPECT_TRUE(std::any_of(back.begin(), back.end(), [](auto &e) { return e.taskId == "other"; }));
  EXPECT_FALSE(std::any_of(back.begin(), back.end(), [&](auto &e) { return e.taskId == gone; }));

  // A text that cannot be read is never written over.
  HBRef<FailingStore> failing = HBRef<FailingStore>::adopt(new FailingStore);
  {
    LogCapture log;
    EXPECT_GT(0, m_queue->saveAutoImports(failing.get(), nullptr));
    EXPECT_EQ(0, failing->writes);
    EXPECT_TRUE(log.has("cannot be read"));
  }

  // New backups take videos unless the preferences say no; the choice stays theirs.
  HBRef<VXClientTask> withVideos, without;
  ASSERT_EQ(0, m_queue->newAutoImportTask(withVideos.out(), source("v1", "V1")->obj(),
                                          zv("ytozv://D:S").get(), TASK_CLASS_USER, 5));
  ASSERT_EQ(0, m_store->setProperty(VXTASKQ_SETTING_BACKUP_VIDEOS, "0"));
  ASSERT_EQ(0, m_queue->newAutoImportTask(without.out(), source("v2", "V2")->obj(),
                                          zv("ytozv://D:S").get(), TASK_CLASS_USER,
                                          5 | TASK_FLAG_BACKUP_VIDEOS));
  EXPECT_TRUE(withVideos->getTaskFlags() & TASK_FLAG_BACKUP_VIDEOS);
  EXPECT_FALSE(without->getTaskFlags() & TASK_FLAG_BACKUP_VIDEOS);

  // Another program holding the backups lock: a queue signing in restores and saves nothing,
  // says who has them, and takes over once they are given up.
  m_queue->shutdown();
  const std::string lock = vxclienttask__dataFolder() + "/backups.lock";
  FILE *holder = popen(
      ("exec sh -c 'exec 9<>\"$0\"; flock 9; echo $$ >&9; read x' '" + lock + "'").c_str(), "w");
  ASSERT_TRUE(holder);
  int32_t pid = 0;
  bool held = false;
  for (int i = 0; i < 3000 && !held; ++i) {
    const int32_t rc = vxclienttaskqueue__claimBackups(&pid);
    if (rc == 0) vxclienttaskqueue__releaseBackups();
    // The file still holds this program's own pid until the holder has written its own.
    held = rc == BR_EBUSY && pid > 0 && pid != static_cast<int32_t>(getpid());
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(held);
  const std::string before = saved("autoimports");
  {
    // Listening from before the restart: the new queue's own first tick may be the one to say so.
    LogCapture log;
    restart();
    ASSERT_EQ(0, m_queue->setSessionToken("tok"));
    const std::string said = vxclienttaskqueue__otherOwnerText(pid);
    for (int i = 0; i < 3000 && !log.has(said); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(log.has(said));
  }
  EXPECT_EQ(0u, tasks(TASK_TYPE_AUTOIMPORT).size());
  EXPECT_FALSE(m_queue->ownsBackups());
  m_queue->shutdown();
  EXPECT_EQ(before, saved("autoimports"));
  pclose(holder);
  restart();
  ASSERT_EQ(0, m_queue->setSessionToken("tok"));
  EXPECT_TRUE(m_queue->ownsBackups());
  EXPECT_EQ(27u, tasks(TASK_TYPE_AUTOIMPORT).size());
}
