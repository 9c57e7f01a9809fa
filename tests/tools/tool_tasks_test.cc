// tesseltool tasks: what the task queue saved, printed as JSON.
#include <gtest/gtest.h>

#include <string>

#include "../vximport/testtask.h"
#include "hbjson.h"
#include "hbproperties.h"
#include "testutil.h"
#include "vxclienttaskqueue.h"

namespace {

using tessel::test::binPath;
using tessel::test::runProgram;
using tessel::test::RunResult;

TEST(ToolTasks, PrintsWhatTheQueueSaved) {
  tessel::test::TempSettings settings;
  HBProperties *store = settings.store();

  RunResult r = runProgram({binPath("tesseltool"), "tasks"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_NE(std::string::npos, r.out.find("\"userSources\": []")) << r.out;

  {
    HBRef<VXClientTaskQueue> queue;
    ASSERT_EQ(0, VXClientTaskQueue::create(queue));
    HBRef<VXClientTaskReference> ref;
    ASSERT_EQ(0, queue->newReference(ref.out(), "photo", "My \"best\" photos", "src-1", true));
    HBRef<IHBURL> url;
    ASSERT_EQ(0, hburl__fromPath(url.out(), "/home/u/My \"best\" photos"));
    ASSERT_EQ(0, ref->addURI(url.get()));
    ASSERT_EQ(0, queue->addUserSource(ref->obj(), VXTASKQ_SAVE));
    queue->shutdown();
  }
  ASSERT_EQ(0, store->setProperty(
                   "autoimports",
                   "{\"autoImports\":[{\"taskID\":\"t1\",\"taskClass\":\"2\",\"taskFlags\":\"5\","
                   "\"taskState\":\"5\",\"taskSrcRef\":{\"taskRefID\":\"src-1\",\"taskRefURIs\":"
                   "[\"file:///p\"]},\"taskDestURI\":\"ytozv://D1:S1\"},{\"taskID\":\"bad\"}]}"));
  r = runProgram({binPath("tesseltool"), "tasks"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  HBRef<HBMap> doc;
  ASSERT_GE(hbjson__parseText(doc, r.out.c_str(), -1), 0) << r.out;
  for (const char *want :
       {"\"name\": \"My \\\"best\\\" photos\"",
        "\"uris\": [\"file:///home/u/My \\\"best\\\" photos\"]", "\"taskid\": \"t1\"",
        "\"state\": \"canceled\"", "\"desturi\": \"ytozv://D1:S1\"", "\"taskclass\": \"photo\"",
        "\"skipped\": {\"userSources\": 0, \"autoImports\": 1}"})
    EXPECT_NE(std::string::npos, r.out.find(want)) << want << "\n" << r.out;

  // A saved text that cannot be read is reported; the rest is still shown.
  ASSERT_EQ(0, store->setProperty("autoimports", "{\"autoImports\":[{\"taskID\""));
  r = runProgram({binPath("tesseltool"), "tasks"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("the saved auto-imports are not readable")) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("src-1"));
}

}  // namespace
