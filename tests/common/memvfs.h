// A virtual file system in memory for tests of the copy engine and of code that walks stores:
// folders, files with resources held as byte strings, and faults to inject (a resource that
// reads short, a store that refuses to create). Single-threaded use only.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hbvfs.h"

namespace memvfs {

class MemStore;

class MemResource final : public HBVFSBaseResource {
 public:
  MemResource(int32_t index, std::string bytes)
      : HBVFSBaseResource(index, "application/octet-stream", int64_t(bytes.size())),
        data(std::move(bytes)) {}
  int32_t openStream(IHBStream **out, int32_t mode, const char *options) override;

  std::string data;
  std::string lastOptions;
  int32_t readShortBy = 0;  // a read stream that ends this many bytes early
};

class MemStream final : public HBObject<MemStream, IHBStream> {
 public:
  MemStream(MemResource *res, bool write, size_t end)
      : m_res(HBRef<MemResource>::retain(res)), m_write(write), m_end(end) {}
  int32_t read(void *buffer, int32_t length) override {
    const size_t n = std::min(size_t(length), m_end - m_pos);
    std::memcpy(buffer, m_res->data.data() + m_pos, n);
    m_pos += n;
    return int32_t(n);
  }
  int32_t write(const void *buffer, int32_t length) override {
    m_out.append(static_cast<const char *>(buffer), size_t(length));
    return length;
  }
  int64_t seek(int64_t, int32_t) override { return BR_ENOTIMPL; }
  int32_t close() override {
    if (m_write && !m_closed) m_res->data = m_out, m_res->setSize(int64_t(m_out.size()));
    m_closed = true;
    return 0;
  }
  int32_t getifc(int32_t ifc, void **out) override {
    return ifc == HBIFC_STREAM ? offer<IHBStream>(out) : BR_ENOENT;
  }

 private:
  HBRef<MemResource> m_res;
  bool m_write, m_closed = false;
  size_t m_end, m_pos = 0;
  std::string m_out;
};

inline int32_t MemResource::openStream(IHBStream **out, int32_t mode, const char *options) {
  lastOptions = options ? options : "";
  if (mode == HBVFS_OPEN_WRITE) data.clear();
  *out = new MemStream(this, mode == HBVFS_OPEN_WRITE, data.size() - size_t(readShortBy));
  return 0;
}

class MemFile final : public HBVFSBaseFile {
 public:
  MemFile(MemStore *store, const std::string &id, const std::string &parent,
          const std::string &name, int32_t type, IHBMap *props)
      : HBVFSBaseFile(id.c_str(), parent.c_str(), name.c_str(), type, 1000, 2000), m_store(store) {
    setPropertiesMap(props);
  }
  // Adds a resource of `bytes` (index 0 is the original).
  MemResource *put(int32_t index, const std::string &bytes) {
    HBRef<MemResource> r = HBRef<MemResource>::adopt(new MemResource(index, bytes));
    setResourceSlot(index, r.get());
    return r.get();
  }
  int32_t iterateChildren(IHBIter **out, int32_t, const char *, const char *, int32_t,
                          int32_t) override {
    return hbvfs__fileList(out, children);
  }
  int32_t createResource(int32_t index, IHBVFSResource **out) override {
    MemResource *r = put(index, "");
    r->upref();
    *out = r;
    return 0;
  }
  int32_t deleteFile(int32_t) override;

  std::vector<HBRef<IHBVFSFile>> children;

 private:
  MemStore *m_store;
};

class MemStore final : public HBVFSBase {
 public:
  explicit MemStore(const char *name) : HBVFSBase("dev", "svc", name, 0) {
    root = HBRef<MemFile>::adopt(new MemFile(this, "0", "", ".", HBVFS_TYPE_FOLDER, nullptr));
    files["0"] = root.get();
  }
  int32_t getFileByID(IHBVFSFile *, const char *id, int32_t, IHBVFSFile **out) override {
    auto it = files.find(id);
    if (it == files.end()) return BR_ENOENT;
    it->second->upref();
    *out = it->second;
    return 0;
  }
  int32_t createFile(IHBVFSFile *parent, const char *name, int32_t type, IHBMap *props,
                     IHBVFSFile **out) override {
    if (failCreate) return failCreate;
    MemFile *p = parent ? files.at(parent->getFileID()) : root.get();
    lastOverwrite = props && props->getString("overwrite") ? props->getString("overwrite") : "";
    for (auto &c : p->children)
      if (!std::strcmp(c->getName(), name)) {
        if (type == HBVFS_TYPE_FILE && lastOverwrite != "1") return BR_EEXISTS;
        c->upref();
        *out = c.get();
        return 0;
      }
    MemFile *f = add(p, name, type, props);
    f->upref();
    *out = f;
    return 0;
  }
  MemFile *add(MemFile *parent, const std::string &name, int32_t type, IHBMap *props = nullptr) {
    const std::string id = std::to_string(++m_next);
    HBRef<MemFile> f =
        HBRef<MemFile>::adopt(new MemFile(this, id, parent->getFileID(), name, type, props));
    parent->children.push_back(HBRef<IHBVFSFile>::retain(f.get()));
    files[id] = f.get();
    return f.get();
  }
  // The file at "a/b/c" below the top, or null.
  MemFile *at(const std::string &path) {
    MemFile *cur = root.get();
    size_t pos = 0;
    while (cur && pos <= path.size()) {
      const size_t slash = path.find('/', pos);
      const std::string part = path.substr(pos, slash - pos);
      MemFile *next = nullptr;
      for (auto &c : cur->children)
        if (part == c->getName()) next = files.at(c->getFileID());
      cur = next;
      if (slash == std::string::npos) break;
      pos = slash + 1;
    }
    return cur;
  }

  HBRef<MemFile> root;
  std::map<std::string, MemFile *> files;  // borrowed: the tree holds them
  std::string lastOverwrite;
  int32_t failCreate = 0;

 private:
  int m_next = 0;
};

inline int32_t MemFile::deleteFile(int32_t) {
  MemFile *p = m_store->files.at(getParentID());
  for (size_t i = 0; i < p->children.size(); ++i)
    if (p->children[i].get() == this) {
      m_store->files.erase(getFileID());
      p->children.erase(p->children.begin() + long(i));
      return 0;
    }
  return BR_ENOENT;
}

}  // namespace memvfs
