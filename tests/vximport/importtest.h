// What the import tests share: photos made by ffmpeg with EXIF written by exiftool, and the
// reference service on loopback with the program's pieces pointed at it (service address,
// connection pool, service cache, a settings store of the test's own), plus read-back helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../server/svctestserver.h"
#include "hbfile.h"
#include "hbhttpconnpool.h"
#include "hbmap.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "hburl.h"
#include "testtask.h"
#include "testutil.h"
#include "vxsvccache.h"

namespace tessel::test {

// A JPEG of `w` x `h` (ffmpeg's test pattern) with the EXIF tags `exif` ("-Make=Cam",
// "-Orientation#=6" ...). With `noise` the picture is photo-like in size (a few MB at 12 MP).
inline bool makePhoto(const std::string &path, int w, int h,
                      const std::vector<std::string> &exif = {}, bool noise = false) {
  if (hbfile__mkdirs(path.substr(0, path.rfind('/')).c_str()) != 0) return false;
  const std::string size = std::to_string(w) + "x" + std::to_string(h);
  std::vector<std::string> argv = {"ffmpeg", "-loglevel", "error", "-y",
                                   "-f",     "lavfi",     "-i",    "testsrc2=size=" + size};
  if (noise) argv.insert(argv.end(), {"-vf", "noise=alls=12:allf=t"});
  argv.insert(argv.end(), {"-frames:v", "1", "-q:v", "3", path});
  if (runProgram(argv).exitCode != 0) return false;
  if (exif.empty()) return true;
  argv = {"exiftool", "-q", "-overwrite_original"};
  argv.insert(argv.end(), exif.begin(), exif.end());
  argv.push_back(path);
  return runProgram(argv).exitCode == 0;
}

// Width and height of a picture file, by ffprobe; {0, 0} when it cannot be read.
inline std::pair<int, int> pictureSize(const std::string &path) {
  RunResult r = runProgram(
      {"ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0", path});
  int w = 0, h = 0;
  if (r.exitCode != 0 || std::sscanf(r.out.c_str(), "%d,%d", &w, &h) != 2) return {0, 0};
  return {w, h};
}

// Entries of the test's temporary folder (TMPDIR) other than the test's own folders.
inline std::vector<std::string> tempLeftovers(const std::string &tmp) {
  RunResult r = runProgram({"find", tmp, "-maxdepth", "1", "-type", "f"});
  std::vector<std::string> out;
  size_t at = 0;
  while (at < r.out.size()) {
    const size_t nl = r.out.find('\n', at);
    out.push_back(r.out.substr(at, nl - at));
    at = nl == std::string::npos ? r.out.size() : nl + 1;
  }
  return out;
}

// The reference service with one user, and the client's pieces pointed at it.
class ImportService : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(addSvcUser(m_data.path(), "alice", "pw", {}, &m_user, &err)) << err;
    ASSERT_TRUE(m_svc.start(m_data.path()));
    HBRef<IHBURL> url;
    ASSERT_EQ(0, hburl__parse(url.out(), (m_svc.url() + "/svc/api").c_str()));
    hbsvc__setServiceURL(url.get());
    ASSERT_EQ(0, hbhttpconnpool__create(m_pool.out()));
    hbhttpconnpool__setDefault(m_pool.get());
    hbrpc__setConnPool(m_pool.get());
    vxsvccache__resetForTest();
    ASSERT_EQ(0, vxsvccache__init(m_user.token.c_str(), false));
    ASSERT_EQ(0, vxsvccache__update());
  }
  void TearDown() override {
    vxsvccache__resetForTest();
    hbrpc__setConnPool(nullptr);
    hbhttpconnpool__setDefault(nullptr);
    hbsvc__setServiceURL(nullptr);
  }

  const char *token() const { return m_user.token.c_str(); }
  const char *device() const { return m_user.device.c_str(); }
  const char *service() const { return m_user.service.c_str(); }
  std::string driveURI() const { return "ytozv://" + m_user.device + ":" + m_user.service; }
  // Where the service keeps the content of a file (STREAM "" for the main content).
  std::string stored(const std::string &fileId, const std::string &stream = "") const {
    return m_data.path() + "/files/" + m_user.service + "/" + fileId +
           (stream.empty() ? "" : "." + stream);
  }

  // The content of a file (or of one of its streams) as the service hands it out.
  std::string download(const std::string &fileId, const std::string &stream = "") {
    const std::string url = m_svc.url() + "/svc/files/" + m_user.device + "/" + m_user.service +
                            "/" + fileId + (stream.empty() ? "" : "/" + stream);
    RunResult r =
        runProgram({"curl", "-sS", "--fail", "-H", "Cookie: valtoken=" + m_user.token, url});
    return r.exitCode == 0 ? r.out : "(curl failed: " + r.err + ")";
  }
  // The size of the picture the service hands out for a file's stream.
  std::pair<int, int> downloadedSize(const std::string &fileId, const std::string &stream) {
    const std::string path = m_data.path() + "/got.jpg";
    if (!writeFile(path, download(fileId, stream))) return {0, 0};
    return pictureSize(path);
  }

  // One call with text arguments on the drive; the answer's map (null for a fault).
  HBRef<HBMap> call(const char *method, std::vector<std::string> args) {
    args.insert(args.begin(),
                {"valtoken", m_user.token, "deviceid", m_user.device, "serviceid", m_user.service});
    std::vector<const char *> pairs;
    for (const std::string &a : args) pairs.push_back(a.c_str());
    pairs.push_back(nullptr);
    HBRef<HBRPCGeneric> rpc;
    HBRef<IHBURL> url;
    if (hbsvc__getServiceURL(url.out()) < 0 || hbrpc__new(url.get(), rpc.out()) < 0) return {};
    if (rpc->callArgs(method, 0, nullptr, pairs.data()) < 0) return {};
    return HBRef<HBMap>::retain(rpc->getResultMap());
  }
  // The record of the entry `name` (a path with "/") below `parent`, or null.
  HBRef<HBMap> entry(const std::string &name, const std::string &parent = "0") {
    HBRef<HBMap> r = call("getFile", {"parentid", parent, "filename", name});
    HBRef<HBMap> file;
    if (r && r->getMap("file", file) < 0) file.reset();
    return file;
  }
  // The names in a folder, in the service's order.
  std::vector<std::string> names(const std::string &folderId) {
    std::vector<std::string> out;
    HBRef<HBRPCGeneric> rpc;
    HBRef<IHBURL> url;
    if (hbsvc__getServiceURL(url.out()) < 0 || hbrpc__new(url.get(), rpc.out()) < 0 ||
        hbsvc__listFiles(rpc.get(), token(), device(), service(), folderId.c_str(), "0") < 0)
      return out;
    HBRef<IHBIter> files = HBRef<IHBIter>::adopt(rpc->getArgmentIterator("files"));
    hbtype_t type = HBTYPE_ANY;
    void *item;
    for (; files && files->next(&type, &item) >= 0; type = HBTYPE_ANY) {
      HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
      HBRef<IHBMap> f;
      const char *n = hb_query<IHBMap>(obj.get(), f) >= 0 ? f->getString("name") : nullptr;
      out.push_back(n ? n : "?");
    }
    return out;
  }

  TempDir m_data;
  SvcProcess m_svc;
  SvcUser m_user;
  TempSettings m_settings;
  HBRef<IHBHTTPConnPool> m_pool;
};

}  // namespace tessel::test
