// The remote tree walk and the export task: pages, visits before and after, a failing listing,
// the drive's name at the top, hostile listings (names that try to leave the folder, absurd
// sizes, folders inside themselves, chains too deep, pages that never end) against a scripted
// service; then end to end with tesselsvc through the task queue: a tree restored byte for
// byte, a file already present left alone, a download cut by the service.
#include "vxclienttaskexport.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "../common/nettest.h"
#include "../server/svctestserver.h"
#include "../services/drivetree.h"
#include "hbfile.h"
#include "hbsvcendpoint.h"
#include "logcapture.h"
#include "testtask.h"
#include "vxclienttaskimport.h"
#include "vxclienttaskqueue.h"
#include "vxremotewalk.h"
#include "vxsvccache.h"

namespace {

using namespace tessel::test;

// A drive answered from a table of entries, one request per connection: getService, getFile,
// listFiles (pages of 500) and downloads.
class TreeService {
 public:
  struct Node {
    std::string name, type, size, content;
    std::vector<std::string> children;
  };
  TreeService() : m_server([this](int fd, int) { serve(fd); }) { add("0", "", ".", "1"); }
  ~TreeService() { m_server.stop(); }

  Node &add(const std::string &id, const std::string &parent, const std::string &name,
            const std::string &type, const std::string &content = "") {
    Node &n = nodes[id];
    n.name = name;
    n.type = type;
    n.content = content;
    n.size = type == "0" ? std::to_string(content.size()) : "0";
    if (!parent.empty()) nodes[parent].children.push_back(id);
    return n;
  }
  std::string base() const { return "http://" + m_server.hostPort(); }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> l(m_lock);
    return m_calls;
  }

  std::map<std::string, Node> nodes;
  std::set<std::string> failing;  // folders whose listing answers fault 802
  std::set<std::string> repeat;   // folders that send their first page for every page
  std::set<std::string> missing;  // files listed whose content answers 404

 private:
  static std::string arg(const std::string &body, const std::string &name) {
    const size_t open = body.find("<" + name + " ");
    const size_t start = body.find('>', open);
    if (open == std::string::npos || start == std::string::npos) return "";
    return body.substr(start + 1, body.find("</" + name + ">", start) - start - 1);
  }
  static std::string esc(const std::string &s) {
    std::string o;
    for (char c : s)
      o += c == '<' ? "&lt;" : c == '&' ? "&amp;" : c == '>' ? "&gt;" : std::string(1, c);
    return o;
  }
  std::string record(const std::string &id) {
    const Node &n = nodes[id];
    if (n.type == "raw") return "<file>" + esc(n.name) + "</file>";
    if (n.type == "notype")
      return "<file><fileid>" + id + "</fileid><name>" + esc(n.name) + "</name></file>";
    return "<file><fileid>" + id + "</fileid><name>" + esc(n.name) + "</name><type>" + n.type +
           "</type><size>" + n.size + "</size></file>";
  }
  static std::string envelope(const std::string &method, const std::string &inner) {
    return "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"x\"><soapenv:Body><" + method +
           "Response>" + inner + "</" + method + "Response></soapenv:Body></soapenv:Envelope>";
  }
  void serve(int fd) {
    std::string header, body;
    if (!nettest::readHeader(fd, &header, &body)) return;
    int status = 200;
    std::string reply;
    std::lock_guard<std::mutex> l(m_lock);
    if (header.compare(0, 4, "GET ") == 0) {
      const std::string path = header.substr(4, header.find(' ', 4) - 4);
      const std::string id = path.substr(path.rfind('/') + 1);
      m_calls.push_back("GET " + id);
      if (nodes.count(id) && !missing.count(id))
        reply = nodes[id].content;
      else
        status = 404;
    } else {
      const size_t length = std::stoul("0" + nettest::headerValue(header, "Content-Length"));
      if (!nettest::readBytes(fd, &body, length)) return;
      const std::string id = arg(body, "fileid"), parent = arg(body, "parentid");
      if (body.find("<getService") != std::string::npos) {
        reply = envelope("getService",
                         "<service><type>yto:plugfs:drive</type><deviceid>D</deviceid><serviceid>S"
                         "</serviceid><name>Family Drive</name><version>4.0.0.0</version><apiurl>" +
                             base() + "/svc/api</apiurl></service>");
      } else if (body.find("<getFile") != std::string::npos) {
        reply = envelope("getFile", record(id));
      } else if (body.find("<listFiles") != std::string::npos) {
        int page = std::stoi("0" + arg(body, "pageoffset"));
        m_calls.push_back("listFiles " + parent + " " + std::to_string(page));
        if (failing.count(parent)) {
          status = 500;
          reply =
              "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"x\"><soapenv:Body>"
              "<VXError><errorCode>802</errorCode><errorDescription>offline"
              "</errorDescription></VXError></soapenv:Body></soapenv:Envelope>";
        } else {
          if (repeat.count(parent)) page = 0;
          const std::vector<std::string> &c = nodes[parent].children;
          std::string files;
          size_t n = 0;
          for (size_t i = size_t(page) * 500; i < c.size() && n < 500; ++i, ++n)
            files += record(c[i]);
          const size_t count = repeat.count(parent) ? 500 : n;
          reply = envelope("listFiles", "<count>" + std::to_string(count) + "</count><files>" +
                                            files + "</files>");
        }
      }
    }
    nettest::sendAll(fd, "HTTP/1.1 " + std::to_string(status) +
                             " X\r\nConnection: close\r\nContent-Length: " +
                             std::to_string(reply.size()) + "\r\n\r\n" + reply);
  }

  std::mutex m_lock;
  std::vector<std::string> m_calls;
  nettest::ScriptServer m_server;
};

// Points the default address and the service cache at a service for one test.
class ServiceScope {
 public:
  ServiceScope(const std::string &base, const std::string &token, const std::string &device,
               const std::string &service) {
    HBRef<IHBURL> url;
    EXPECT_EQ(0, hburl__parse(url.out(), (base + "/svc/api").c_str()));
    hbsvc__setServiceURL(url.get());
    EXPECT_EQ(0, vxsvccache__init(token.c_str(), false));
    EXPECT_EQ(0, vxsvccache__getService(device.c_str(), service.c_str()));
  }
  ~ServiceScope() {
    vxsvccache__resetForTest();
    hbsvc__setServiceURL(nullptr);
  }
};

HBRef<IHBZVURI> zv(const std::string &text) {
  HBRef<IHBZVURI> uri;
  EXPECT_EQ(0, hbzvuri_new(uri, text.c_str()));
  return uri;
}

struct Visits {
  std::vector<std::string> lines;
  int files = 0;
};

int32_t record(const char *path, IHBMap *, IHBZVURI *, int32_t kind, const VXRemoteWalkPos *pos,
               void *user) {
  auto *v = static_cast<Visits *>(user);
  if (kind == VXRWALK_FILE) {
    ++v->files;
    return 0;
  }
  v->lines.push_back(std::to_string(kind) + " " + std::to_string(pos->depth) +
                     (pos->state & VXRWALK_PRE ? " [PRE] " : " ") + path +
                     (kind == VXRWALK_NOT_VISITED ? " " + std::to_string(pos->error) : ""));
  return 0;
}

TEST(RemoteWalk, PagesVisitsAFailingListingAndTheDriveName) {
  TreeService svc;
  svc.add("10", "0", "Big", "1");
  for (int i = 0; i < 1200; ++i) svc.add("b" + std::to_string(i), "10", "f", "0", "x");
  svc.add("20", "0", "Broken", "1");
  svc.failing.insert("20");
  svc.add("30", "0", "Photos", "1");
  svc.add("31", "30", "p.jpg", "0", "p");
  ServiceScope scope(svc.base(), "tok", "D", "S");
  LogCapture log;
  Visits v;
  ASSERT_EQ(0, remoteWalk("tok", zv("ytozv://D:S").get(), record, VXRWALK_PRE, &v));
  EXPECT_EQ(1201, v.files);
  EXPECT_EQ((std::vector<std::string>{"1 0 [PRE] Family Drive", "1 1 [PRE] Family Drive/Big",
                                      "1 1 Family Drive/Big", "1 1 [PRE] Family Drive/Broken",
                                      "2 1 Family Drive/Broken -802", "1 1 Family Drive/Broken",
                                      "1 1 [PRE] Family Drive/Photos", "1 1 Family Drive/Photos",
                                      "1 0 Family Drive"}),
            v.lines);
  std::vector<std::string> big;
  for (const std::string &c : svc.calls())
    if (c.compare(0, 12, "listFiles 10") == 0) big.push_back(c);
  EXPECT_EQ((std::vector<std::string>{"listFiles 10 0", "listFiles 10 1", "listFiles 10 2"}), big);
  const std::string text = log.text();
  EXPECT_NE(std::string::npos, text.find("Failed to list files via RPC: '20'"));
  EXPECT_EQ(text.find("Failed to list files"), text.rfind("Failed to list files"));
  EXPECT_NE(std::string::npos, text.find("   RPC Error Code: 802 'offline'"));
  EXPECT_NE(std::string::npos, text.find("[FTW   ][12] [  1] listFiles(D:S:10 page:2)"));

  // Without visits before the contents, folders are seen once.
  Visits once;
  ASSERT_EQ(0, remoteWalk("tok", zv("ytozv://D:S:30").get(), record, 0, &once));
  EXPECT_EQ(1, once.files);
  EXPECT_TRUE(once.lines.empty());
  EXPECT_EQ(BR_EINVAL, remoteWalk("tok", zv("ytozv://D:S:a b").get(), record, 0, &once));
}

// Every path below `dir`, relative to it.
void listTree(const std::string &dir, const std::string &rel, std::set<std::string> *out) {
  DIR *d = opendir((dir + "/" + rel).c_str());
  if (!d) return;
  while (dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    const std::string r = rel.empty() ? n : rel + "/" + n;
    out->insert(r);
    if (e->d_type == DT_DIR) listTree(dir, r, out);
  }
  closedir(d);
}

HBRef<VXClientExportTask> newExport(const std::vector<std::string> &uris, const std::string &dir) {
  HBRef<VXClientTaskReference> ref;
  EXPECT_EQ(0, VXClientTaskReference::create("r", "user", "x", false, ref));
  for (const std::string &u : uris) EXPECT_EQ(0, ref->addURI(zv(u).get()));
  HBRef<IHBURL> dest;
  EXPECT_EQ(0, hburl__fromPath(dest.out(), dir.c_str()));
  HBRef<VXClientExportTask> task;
  EXPECT_EQ(0, VXClientExportTask::create(task.out(), "t1", ref.get(), dest.get()));
  return task;
}

std::map<std::string, uint32_t> errorsOf(VXClientTask *task) {
  std::map<std::string, uint32_t> out;
  HBRef<IHBIter> it;
  EXPECT_EQ(0, task->iterateErrors(it.out()));
  for (;;) {
    hbtype_t t = HBIFC_OBJ;
    void *item = nullptr;
    if (it->next(&t, &item) < 0) break;
    HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
    HBRef<IHBURI> uri;
    std::string text;
    VXClientTaskError *e = VXClientTaskError::from(obj.get());
    if (e->getErrorURI(uri.out()) == 0) hburi__text(uri.get(), &text);
    out[text] |= e->getErrorBits();
  }
  return out;
}

TEST(ExportTask, HostileListingsStayInsideTheTargetAndEnd) {
  TreeService svc;
  svc.add("1", "0", "Evil", "1");
  svc.add("101", "1", "../escape.jpg", "0", "a");
  svc.add("1001", "1", "not a record", "raw");
  svc.add("1002", "1", "untyped.jpg", "notype");
  svc.add("102", "1", "/etc/passwd", "0", "b");
  svc.add("103", "1", "tab\there", "0", "c");
  svc.add("104", "1", "..", "1");
  svc.add("1041", "104", "up.jpg", "0", "u");
  svc.add("105", "1", "Self", "1");
  svc.nodes["105"].children.push_back("105");
  svc.add("106", "1", "huge.jpg", "0", "h").size = "9000000000000000000";
  svc.add("107", "1", "absurd.jpg", "0", "xyz").size = "99999999999999999999999";
  svc.add("108", "1", ".hidden", "0", "secret");
  svc.add("109", "1", "zz.jpg", "0", "zed");
  svc.add("110", "1", "Repeat", "1");
  svc.add("111", "110", "r1", "0", "1");
  svc.add("112", "110", "r2", "0", "2");
  svc.repeat.insert("110");
  svc.add("113", "1", "Gone", "1");
  svc.failing.insert("113");
  std::string parent = "1";
  svc.add("200", "1", "Deep", "1");
  parent = "200";
  for (int i = 1; i <= 70; ++i) {
    const std::string id = std::to_string(200 + i);
    svc.add(id, parent, "d", "1");
    parent = id;
  }
  svc.add("999", parent, "bottom.jpg", "0", "deep");
  ServiceScope scope(svc.base(), "tok", "D", "S");

  TempDir outer;
  const std::string target = outer.file("target");
  HBRef<VXClientExportTask> task = newExport({"ytozv://D:S"}, target);
  ASSERT_EQ(0, task->runTask("tok"));
  EXPECT_EQ(TASK_STATE_FINISHED, task->getTaskState());

  std::set<std::string> outside;
  listTree(outer.path(), "", &outside);
  for (const std::string &p : outside) EXPECT_EQ(0u, p.rfind("target", 0)) << p;
  std::set<std::string> tree;
  listTree(target, "", &tree);
  const std::string evil = "Family Drive/Evil/";
  for (const char *p :
       {"_etc_passwd", "tab\there", "absurd.jpg", "zz.jpg", "Self", "Repeat/r1", "Repeat/r2"})
    EXPECT_TRUE(tree.count(evil + p)) << p;
  // Names that begin with "." are not restored, "../escape.jpg" among them.
  for (const char *p : {"huge.jpg", ".hidden", "..", "_", ".._escape.jpg", "Self/Self"})
    EXPECT_FALSE(tree.count(evil + p)) << p;
  std::string deep = evil + "Deep";
  for (int i = 0; i < 60; ++i) deep += "/d";
  EXPECT_TRUE(tree.count(deep));
  EXPECT_FALSE(tree.count(deep + "/d"));
  for (const std::string &p : tree) EXPECT_EQ(std::string::npos, p.find(".yto_")) << p;
  std::string body;
  ASSERT_TRUE(readFile(target + "/" + evil + "absurd.jpg", &body));
  EXPECT_EQ("xyz", body);
  // "Repeat" was listed twice and then left: its first page came back for page 1.
  int repeatPages = 0;
  for (const std::string &c : svc.calls()) repeatPages += c.compare(0, 13, "listFiles 110") == 0;
  EXPECT_EQ(4, repeatPages);  // two pages, in prepare and in run

  const std::map<std::string, uint32_t> errors = errorsOf(task.get());
  // The entry that is no record and the one without a type are reported, and the rest of
  // their page is restored (zz.jpg and the folders after them above).
  EXPECT_EQ((std::map<std::string, uint32_t>{{"ytozv://D:S:106", TASK_ERROR_NO_SPACE},
                                             {"ytozv://D:S:105", TASK_ERROR_SKIPPED},
                                             {"ytozv://D:S:261", TASK_ERROR_SKIPPED},
                                             {"ytozv://D:S:113", TASK_ERROR_OFFLINE},
                                             {"ytozv://D:S:1", TASK_ERROR_GENERAL}}),
            errors);
  EXPECT_EQ(6, task->getErrorCount());
  EXPECT_EQ(uint32_t(TASK_ERROR_NO_SPACE | TASK_ERROR_SKIPPED | TASK_ERROR_OFFLINE |
                     TASK_ERROR_GENERAL),
            task->getErrorMask());
  bool untypedNamed = false;
  for (const VXExportFailure &f : task->failures())
    untypedNamed = untypedNamed || f.path == "Family Drive/Evil/untyped.jpg";
  EXPECT_TRUE(untypedNamed);
}

// Names that come to one local name are all restored, each under its own; a second restore
// gives each the same name and fetches again only a copy cut short. What failed is named by
// its path on the drive, and done and failed add up to the files counted.
TEST(ExportTask, CollidingNamesEachGetTheirOwnAndCountsAddUp) {
  TreeService svc;
  svc.add("1", "0", "Clash", "1");
  svc.add("11", "1", "a/b.jpg", "0", "slash");
  svc.add("12", "1", "a_b.jpg", "0", "underscore");
  svc.add("13", "1", "a_b.jpg", "0", "second of one name");
  svc.add("14", "1", "x:y?.jpg", "0", "colon");
  svc.add("15", "1", "gone.jpg", "0", "listed, never there");
  svc.missing.insert("15");
  ServiceScope scope(svc.base(), "tok", "D", "S");
  TempDir out;
  const std::string dir = out.path() + "/Family Drive/Clash/";
  for (int pass = 0; pass < 3; ++pass) {
    HBRef<VXClientExportTask> task = newExport({"ytozv://D:S"}, out.path());
    ASSERT_EQ(0, task->runTask("tok"));
    EXPECT_EQ(5, task->getTotalFiles());
    EXPECT_EQ(4, task->filesDone()) << pass;
    EXPECT_EQ(1, task->filesFailed()) << pass;
    const std::vector<VXExportFailure> failures = task->failures();
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ("Family Drive/Clash/gone.jpg", failures[0].path);
    EXPECT_EQ(BR_ENOENT, failures[0].result);
    std::set<std::string> tree;
    listTree(out.path(), "", &tree);
    EXPECT_EQ((std::set<std::string>{"Family Drive", "Family Drive/Clash",
                                     "Family Drive/Clash/a_b.jpg", "Family Drive/Clash/a_b (2).jpg",
                                     "Family Drive/Clash/a_b (3).jpg",
                                     "Family Drive/Clash/x:y?.jpg"}),
              tree)
        << pass;
    std::string body;
    ASSERT_TRUE(readFile(dir + "a_b (3).jpg", &body));
    EXPECT_EQ("second of one name", body);
    ASSERT_TRUE(readFile(dir + "a_b.jpg", &body));
    EXPECT_EQ("slash", body);
    // A copy left short (a power loss after the last restore) is fetched again next time.
    if (pass == 0) {
      ASSERT_EQ(0, truncate((dir + "a_b (2).jpg").c_str(), 0));
    }
    if (pass == 1) {
      ASSERT_TRUE(readFile(dir + "a_b (2).jpg", &body));
      EXPECT_EQ("underscore", body);
    }
  }
  EXPECT_EQ("a_b (12).jpg", vxexport__numberedName("a_b.jpg", 12));
  EXPECT_EQ(".profile (2)", vxexport__numberedName(".profile", 2));
  EXPECT_EQ(255u, vxexport__numberedName(std::string(254, 'n') + ".jpeg", 2).size());
}

// An import whose source is a drive: without a manager of virtual file systems (the desktop
// program has none) it answers No Entry before visiting anything, recorded as a source that
// could not be walked.
TEST(ImportOfADrive, WithoutAManagerTheSourceIsNotWalked) {
  HBRef<VXClientTaskReference> ref;
  ASSERT_EQ(0, VXClientTaskReference::create("r", "photo", "x", false, ref));
  ASSERT_EQ(0, ref->addURI(zv("ytozv://D1:S1:5").get()));
  HBRef<VXClientImportTask> task;
  ASSERT_EQ(0, VXClientImportTask::create("imp", TASK_CLASS_PHOTO, 0x25, ref.get(),
                                          zv("ytozv://D2:S2").get(), task.out()));
  LogCapture log;
  (void)task->runTask("tok");
  EXPECT_EQ((std::map<std::string, uint32_t>{{"ytozv://D1:S1:5", TASK_ERROR_SKIPPED}}),
            errorsOf(task.get()));
  EXPECT_TRUE(log.has("Task[imp] -- Failed to iterate source!"));
}

// ---- End to end ----

class ExportEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(addSvcUser(m_data.path(), "bob", "pw", {}, &m_user, &err)) << err;
    ASSERT_TRUE(m_svc.start(m_data.path()));
    m_scope.reset(new ServiceScope(m_svc.url(), m_user.token, m_user.device, m_user.service));
  }
  void TearDown() override { m_scope.reset(); }

  // Runs an export of the drive's `fileId` into `dir` through the task queue.
  HBRef<VXClientTask> exportThroughQueue(VXClientTaskQueue *queue, const std::string &fileId,
                                         const std::string &dir) {
    HBRef<VXClientTaskReference> ref;
    EXPECT_EQ(0, queue->newReference(ref.out(), "user", "restore", nullptr, false));
    EXPECT_EQ(
        0, ref->addURI(zv("ytozv://" + m_user.device + ":" + m_user.service + ":" + fileId).get()));
    HBRef<IHBURL> dest;
    EXPECT_EQ(0, hburl__fromPath(dest.out(), dir.c_str()));
    HBRef<VXClientTask> task;
    EXPECT_EQ(0, queue->newExportTask(task.out(), ref->obj(), dest.get()));
    for (int i = 0; i < 600 && task && task->getTaskState() != TASK_STATE_FINISHED; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return task;
  }

  TempDir m_data;
  SvcUser m_user;
  SvcProcess m_svc;
  std::unique_ptr<ServiceScope> m_scope;
};

TEST_F(ExportEndToEnd, RestoresATreeLeavesWhatIsThereAndSurvivesACut) {
  HBRef<IHBVFS2> store = openDrive(m_svc.url(), m_user.token, m_user.device, m_user.service);
  ASSERT_TRUE(store);
  HBRef<IHBVFSFile> top, album, one, two, cache;
  ASSERT_EQ(0, store->getFileByID(nullptr, "0", 0, top.out()));
  album = putFolder(store.get(), top.get(), "Album");
  std::map<std::string, std::string> want = {
      {"a.jpg", pattern(300000, 1)},     {"b.png", pattern(10, 2)},
      {"keep.jpg", pattern(5000, 3)},    {"Sub One/c.jpg", pattern(70000, 4)},
      {"Sub:Two/d?.jpg", pattern(1, 5)}, {"Sub:Two/empty.jpg", ""}};
  putFile(store.get(), album.get(), "a.jpg", want["a.jpg"], pattern(100, 9));
  putFile(store.get(), album.get(), "b.png", want["b.png"]);
  putFile(store.get(), album.get(), "keep.jpg", want["keep.jpg"]);
  putFile(store.get(), album.get(), ".hidden.jpg", "h");
  one = putFolder(store.get(), album.get(), "Sub One");
  putFile(store.get(), one.get(), "c.jpg", want["Sub One/c.jpg"]);
  two = putFolder(store.get(), album.get(), "Sub:Two");
  putFile(store.get(), two.get(), "d?.jpg", want["Sub:Two/d?.jpg"]);
  putFile(store.get(), two.get(), "empty.jpg", "");
  cache = putFolder(store.get(), album.get(), ".cache");
  putFile(store.get(), cache.get(), "x.jpg", "x");

  TempSettings settings;
  HBRef<VXClientTaskQueue> queue;
  ASSERT_EQ(0, VXClientTaskQueue::create(queue));
  ASSERT_EQ(0, queue->setSessionToken(m_user.token.c_str()));
  TempDir out;
  // A file already at the target stays as it is.
  ASSERT_EQ(0, hbfile__mkdirs((out.path() + "/Album").c_str()));
  ASSERT_TRUE(writeFile(out.file("Album/keep.jpg"), "mine"));
  HBRef<VXClientTask> task = exportThroughQueue(queue.get(), album->getFileID(), out.path());
  ASSERT_TRUE(task);
  ASSERT_EQ(TASK_STATE_FINISHED, task->getTaskState());
  EXPECT_EQ(0, task->getErrorCount());
  EXPECT_EQ(6, task->getTotalFiles());
  std::set<std::string> tree;
  listTree(out.path(), "", &tree);
  EXPECT_EQ((std::set<std::string>{"Album", "Album/a.jpg", "Album/b.png", "Album/keep.jpg",
                                   "Album/Sub One", "Album/Sub One/c.jpg", "Album/Sub:Two",
                                   "Album/Sub:Two/d?.jpg", "Album/Sub:Two/empty.jpg"}),
            tree);
  for (const auto &[name, bytes] : want) {
    std::string got;
    ASSERT_TRUE(readFile(out.path() + "/Album/" + name, &got)) << name;
    EXPECT_EQ(name == "keep.jpg" ? "mine" : bytes, got) << name;
  }

  // The service cuts the first download: that file is missing, recorded, and left no trace.
  ASSERT_TRUE(m_svc.admin("download?mode=cut&after=1000"));
  TempDir cut;
  task = exportThroughQueue(queue.get(), album->getFileID(), cut.path());
  ASSERT_EQ(TASK_STATE_FINISHED, task->getTaskState());
  EXPECT_EQ(1, task->getErrorCount());
  EXPECT_EQ(uint32_t(TASK_ERROR_NO_CONNECTION), task->getErrorMask());
  tree.clear();
  listTree(cut.path(), "", &tree);
  EXPECT_EQ(8u, tree.size());
  EXPECT_FALSE(tree.count("Album/Sub One/c.jpg"));  // the first file of the walk
  for (const std::string &p : tree) EXPECT_EQ(std::string::npos, p.find(".yto_")) << p;
  queue->shutdown();
}

}  // namespace
