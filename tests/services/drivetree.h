// Putting files on a drive of the reference service through the service store, and reading
// them back, for the store, export and tool tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "hbstream.h"
#include "hburl.h"
#include "zvvfsservice.h"

namespace tessel::test {

// Writes `data` into resource `index` of `file` (with its length, or chunked when `sized` is
// false); the close's result.
inline int32_t writeResource(IHBVFSFile *file, int32_t index, const std::string &data,
                             bool sized = true) {
  HBRef<IHBVFSResource> res;
  int32_t rc = file->createResource(index, res.out());
  if (rc < 0) return rc;
  res->setSize(sized ? int64_t(data.size()) : -1);
  HBRef<IHBStream> s;
  if ((rc = res->openStream(s.out(), HBVFS_OPEN_WRITE, "purpose=import")) < 0) return rc;
  if (!data.empty() && (rc = hbstream__writeAll(s.get(), data.data(), int32_t(data.size()))) < 0)
    return rc;
  return s->close();
}

// The bytes of resource `index`; *rc gets the failure.
inline std::string readResource(IHBVFSFile *file, int32_t index, int32_t *rc = nullptr) {
  HBRef<IHBVFSResource> res;
  HBRef<IHBStream> s;
  int32_t r = file->getResource(index, res.out());
  if (r == 0) r = res->openStream(s.out(), HBVFS_OPEN_READ, nullptr);
  std::string out;
  char buf[65536];
  while (r == 0) {
    const int32_t n = s->read(buf, sizeof buf);
    if (n <= 0) {
      r = n;
      break;
    }
    out.append(buf, size_t(n));
  }
  if (rc) *rc = r;
  return out;
}

// A new file `name` in `parent` holding `data` (and a thumbnail and preview when given).
inline HBRef<IHBVFSFile> putFile(IHBVFS2 *store, IHBVFSFile *parent, const std::string &name,
                                 const std::string &data, const std::string &tn = "",
                                 const std::string &pv = "") {
  HBRef<IHBVFSFile> f;
  EXPECT_EQ(0, store->createFile(parent, name.c_str(), HBVFS_TYPE_FILE, nullptr, f.out())) << name;
  if (!f) return f;
  EXPECT_EQ(0, writeResource(f.get(), HBVFS_RES_PRIMARY, data)) << name;
  if (!tn.empty()) {
    EXPECT_EQ(0, writeResource(f.get(), HBVFS_RES_TN, tn)) << name;
  }
  if (!pv.empty()) {
    EXPECT_EQ(0, writeResource(f.get(), HBVFS_RES_PV, pv, false)) << name;
  }
  return f;
}

inline HBRef<IHBVFSFile> putFolder(IHBVFS2 *store, IHBVFSFile *parent, const std::string &name) {
  HBRef<IHBVFSFile> f;
  EXPECT_EQ(0, store->createFile(parent, name.c_str(), HBVFS_TYPE_FOLDER, nullptr, f.out()))
      << name;
  return f;
}

// Opens the drive on the service at `base` ("http://127.0.0.1:PORT").
inline HBRef<IHBVFS2> openDrive(const std::string &base, const std::string &token,
                                const std::string &device, const std::string &service,
                                int32_t *rc = nullptr) {
  HBRef<IHBURL> url;
  HBRef<IHBVFS2> store;
  int32_t r = hburl__parse(url.out(), (base + "/svc/api").c_str());
  if (r == 0)
    r = zvvfsservice__open(store.out(), token.c_str(), device.c_str(), service.c_str(), url.get(),
                           nullptr);
  if (rc) *rc = r;
  return store;
}

// Bytes that differ from file to file.
inline std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char &c : s) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 24);
  }
  return s;
}

}  // namespace tessel::test
