// Virtual file systems: the base classes, the file record, the manager slot and the adapters of
// the manager's older revision.
#include "hbvfs.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "brlog.h"
#include "hbfile.h"

namespace {

const char *const kResourceNames[HBVFS_RES_COUNT] = {"primary", "tn", "pv", "hd", "st", "ts"};

// The "doesn't implement" lines of the base classes; `what` is the operation's signature.
int32_t notImplemented(const char *tag, const char *format, const char *what) {
  brlog(tag, BRLOG_WARNING, format, what);
  return BR_ENOTIMPL;
}
#define VFSBASE_TODO() \
  notImplemented("VFSBASE", "Base class doesn't implement '%s'\n", __PRETTY_FUNCTION__)
#define VFSBFILE_TODO() \
  notImplemented("VFSBFILE", "VFSBaseFile doesn't implement '%s'\n", __PRETTY_FUNCTION__)

// Keeps every text ever set, so that a text handed out stays readable while another thread
// replaces it.
const char *keepText(std::mutex &lock, std::vector<std::unique_ptr<std::string>> &texts,
                     const char *text) {
  std::lock_guard<std::mutex> g(lock);
  texts.push_back(std::make_unique<std::string>(text ? text : ""));
  return texts.back()->c_str();
}
const char *lastText(std::mutex &lock, std::vector<std::unique_ptr<std::string>> &texts) {
  std::lock_guard<std::mutex> g(lock);
  return texts.back()->c_str();
}

}  // namespace

const char *hbvfs__resourceName(int32_t index) {
  return index >= 0 && index < HBVFS_RES_COUNT ? kResourceNames[index] : nullptr;
}

int32_t hbvfs__resourceIndex(const char *name) {
  for (int32_t i = 0; name && i < HBVFS_RES_COUNT; ++i)
    if (!std::strcmp(name, kResourceNames[i])) return i;
  return -1;
}

int32_t hbvfs__unsupportedIfc(const char *tag, int32_t ifc) {
  brlog(tag, BRLOG_WARNING, "*** Asked for interface 0x%x that we don't support!\n",
        static_cast<unsigned>(ifc));
  return BR_ENOENT;
}

int32_t hbvfs__copyTexts(IHBMap *from, HBMap **out) {
  HBRef<HBMap> map;
  int32_t rc = HBMap::create("properties", 256, 256, map);
  if (rc < 0) return rc;
  if (from) {
    rc = hbmap__forEach(from, [&](const char *key, hbtype_t type, void *value) -> int32_t {
      const char *text = nullptr;
      if (type == HBTYPE_TEXT) text = static_cast<const char *>(value);
      if (type == HBIFC_STR) text = static_cast<IHBStr *>(value)->getText();
      return text ? map->putString(key, text) : 0;
    });
    if (rc < 0) return rc;
  }
  *out = map.detach();
  return BR_OK;
}

int32_t hbvfs__nextN(IHBIter *it, hbtype_t *hbtypes, void **outs, int32_t count) {
  if (count <= 0) return BR_ERANGE;
  int32_t n = 0;
  for (; n < count; ++n) {
    const int32_t rc = it->next(hbtypes ? &hbtypes[n] : nullptr, outs ? &outs[n] : nullptr);
    if (rc < 0) return n ? n : rc;
  }
  return n;
}

int32_t hbvfs__fileList(IHBIter **out, const std::vector<HBRef<IHBVFSFile>> &files) {
  HBRef<HBListIterator> list;
  int32_t rc = HBListIterator::create(nullptr, HBIFC_VFSFILE, HBLISTITER_OWN, "files", list);
  for (size_t i = 0; rc == 0 && i < files.size(); ++i) rc = list->append(files[i].get());
  if (rc < 0) return rc;
  list->reset();
  *out = list.detach();
  return BR_OK;
}

// ---- HBVFSBase ----

HBVFSBase::HBVFSBase(const char *id1, const char *id2, const char *name, uint32_t flags)
    : m_id1(id1 ? id1 : ""), m_id2(id2 ? id2 : ""), m_flags(flags) {
  keepText(m_nameLock, m_names, name);
}

const char *HBVFSBase::getName() {
  return lastText(m_nameLock, m_names);
}
void HBVFSBase::setName(const char *name) {
  keepText(m_nameLock, m_names, name);
}

int32_t HBVFSBase::getVFSProperties(IHBMap **) {
  return VFSBASE_TODO();
}
int32_t HBVFSBase::moveFile(IHBVFSFile *, IHBVFSFile *, const char *, IHBVFSFile **) {
  return VFSBASE_TODO();
}
int32_t HBVFSBase::copyFile(IHBVFSFile *, IHBVFSFile *, const char *, int32_t, IHBVFSFile **) {
  return VFSBASE_TODO();
}
int32_t HBVFSBase::searchFiles(IHBIter **, int32_t, const char *, const char *, int32_t, int32_t) {
  return VFSBASE_TODO();
}
int32_t HBVFSBase::createFile(IHBVFSFile *, const char *, int32_t, IHBMap *, IHBVFSFile **) {
  return VFSBASE_TODO();
}
int64_t HBVFSBase::getMetaVersion() {
  return notImplemented("VFSBASE", "VFSBase doesn't implement '%s'\n", __PRETTY_FUNCTION__);
}

int32_t HBVFSBase::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ || ifc == HBIFC_VFS2) return offer<IHBVFS2>(out);
  return hbvfs__unsupportedIfc("VFSBASE", ifc);
}

// ---- HBVFSBaseFile ----

HBVFSBaseFile::HBVFSBaseFile(const char *fileId, const char *parentId, const char *name,
                             int32_t type, int64_t ctime, int64_t mtime)
    : m_fileId(fileId ? fileId : ""),
      m_parentId(parentId ? parentId : ""),
      m_name(name ? name : ""),
      m_type(type),
      m_ctime(ctime),
      m_mtime(mtime) {}

void HBVFSBaseFile::setResourceSlot(int32_t index, IHBVFSResource *resource) {
  if (index >= 0 && index < HBVFS_RES_COUNT) m_res[index] = HBRef<IHBVFSResource>::retain(resource);
}

void HBVFSBaseFile::setPropertiesMap(IHBMap *properties) {
  m_props = HBRef<IHBMap>::retain(properties);
}

std::string HBVFSBaseFile::propertyText(const char *name) {
  const char *v = m_props ? m_props->getString(name) : nullptr;
  return v ? v : "";
}

int64_t HBVFSBaseFile::getSize() {
  HBRef<IHBVFSResource> primary;
  if (getResource(HBVFS_RES_PRIMARY, primary.out()) < 0) return 0;
  return primary->getSize();
}

const char *HBVFSBaseFile::getMimeType() {
  std::call_once(m_mimeOnce, [this] {
    m_mime = propertyText("mime");
    if (m_mime.empty()) m_mime = propertyText("mimetype");
    if (m_mime.empty()) m_mime = hbfile__mimeType(m_name.c_str());
  });
  return m_mime.c_str();
}

int32_t HBVFSBaseFile::getProperties(IHBMap **out) {
  if (!m_props) return VFSBFILE_TODO();
  if (!out) return BR_EINVAL;
  HBMap *map = nullptr;
  const int32_t rc = hbvfs__copyTexts(m_props.get(), &map);
  if (rc < 0) return rc;
  *out = map;
  return BR_OK;
}

int32_t HBVFSBaseFile::getResource(int32_t index, IHBVFSResource **out) {
  if (!out || index < 0 || index >= HBVFS_RES_COUNT || !m_res[index]) return BR_ENOENT;
  m_res[index]->upref();
  *out = m_res[index].get();
  return BR_OK;
}

int32_t HBVFSBaseFile::getChildByName(const char *name, IHBVFSFile **out) {
  if (!name || !out) return BR_EINVAL;
  HBRef<IHBIter> it;
  int32_t rc = iterateChildren(it.out(), 0, nullptr, nullptr, 0, 0);
  if (rc < 0) return rc;
  for (;;) {
    hbtype_t type = HBIFC_VFSFILE;
    void *item = nullptr;
    if (it->next(&type, &item) < 0) return BR_ENOENT;
    HBRef<IHBVFSFile> child = HBRef<IHBVFSFile>::adopt(static_cast<IHBVFSFile *>(item));
    if (child && !strcasecmp(child->getName(), name)) {
      *out = child.detach();
      return BR_OK;
    }
  }
}

int32_t HBVFSBaseFile::iterateChildren(IHBIter **, int32_t, const char *, const char *, int32_t,
                                       int32_t) {
  return VFSBFILE_TODO();
}
int32_t HBVFSBaseFile::searchChildren(IHBIter **, int32_t, const char *, const char *, int32_t,
                                      int32_t) {
  return VFSBFILE_TODO();
}
int32_t HBVFSBaseFile::setProperty(const char *, hbtype_t, const void *) {
  return VFSBFILE_TODO();
}
int32_t HBVFSBaseFile::setProperty(const char *, const char *) {
  return VFSBFILE_TODO();
}
int32_t HBVFSBaseFile::deleteFile(int32_t) {
  return VFSBFILE_TODO();
}
int32_t HBVFSBaseFile::removeChild(IHBVFSFile *, int32_t) {
  return VFSBFILE_TODO();
}
int32_t HBVFSBaseFile::createChild(const char *, int32_t, IHBMap *, IHBVFSFile **) {
  return VFSBFILE_TODO();
}
int32_t HBVFSBaseFile::createResource(int32_t, IHBVFSResource **) {
  return VFSBFILE_TODO();
}
int64_t HBVFSBaseFile::getMetaVersion() {
  return VFSBFILE_TODO();
}

int32_t HBVFSBaseFile::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ || ifc == HBIFC_VFSFILE) return offer<IHBVFSFile>(out);
  if (ifc == HBIFC_RPCSERIALIZABLE) return offer<IHBRPCSerializable>(out);
  return hbvfs__unsupportedIfc("VFSBFILE", ifc);
}

// The file record.
namespace {
enum RecordField {
  kFileId,
  kType,
  kName,
  kParentId,
  kMimeType,
  kSize,
  kCTime,
  kMTime,
  kOrigTime,
  kXcStamp,
  kTnStamp,
  kMdStamp,
  kStreamType,
  kThumbnail,
  kPreview,
  kStream,
  kLiveStream,
  kFlvStream,
  kProperties,
  kMetaVer,
  kFileName,
  kMediaType,
  kRecordFields
};
const HBRPCPropertyEntry kRecord[] = {{"fileid", HBTYPE_TEXT},
                                      {"type", HBTYPE_TEXT},
                                      {"name", HBTYPE_TEXT},
                                      {"parentid", HBTYPE_TEXT},
                                      {"mimetype", HBTYPE_TEXT},
                                      {"size", HBTYPE_TEXT},
                                      {"ctime", HBTYPE_TEXT},
                                      {"mtime", HBTYPE_TEXT},
                                      {"origtime", HBTYPE_TEXT},
                                      {"xcstamp", HBTYPE_TEXT},
                                      {"tnstamp", HBTYPE_TEXT},
                                      {"mdstamp", HBTYPE_TEXT},
                                      {"streamtype", HBTYPE_TEXT},
                                      {"thumbnail", HBTYPE_TEXT},
                                      {"preview", HBTYPE_TEXT},
                                      {"stream", HBTYPE_TEXT},
                                      {"livestream", HBTYPE_TEXT},
                                      {"flvstream", HBTYPE_TEXT},
                                      {"properties", HBIFC_MAP},
                                      {"metaver", HBTYPE_TEXT},
                                      {"filename", HBTYPE_TEXT},
                                      {"mediatype", HBTYPE_TEXT},
                                      {nullptr, 0}};
static_assert(sizeof kRecord / sizeof kRecord[0] == kRecordFields + 1, "record table");
}  // namespace

const HBRPCPropertyEntry *HBVFSBaseFile::getPropertyTable() {
  return kRecord;
}

int32_t HBVFSBaseFile::getPropertyObject(int32_t index, hbtype_t *hbtype, void **out) {
  if (index < 0 || index >= kRecordFields) return BR_ENOENT;
  if (index != kProperties || !out) return BR_EINVAL;
  HBMap *map = nullptr;
  const int32_t rc = hbvfs__copyTexts(m_props.get(), &map);
  if (rc < 0) return rc;
  if (hbtype) *hbtype = HBIFC_MAP;
  *out = static_cast<IHBMap *>(map);
  return BR_OK;
}

int32_t HBVFSBaseFile::getPropertyText(int32_t index, char *buffer, int32_t size) {
  if (index < 0 || index >= kRecordFields) return BR_ENOENT;
  if (index == kProperties) return BR_EINVAL;
  auto rendition = [&](int32_t res) {
    HBRef<IHBVFSResource> r;
    return getResource(res, r.out()) == 0 ? m_fileId + "/" + hbvfs__resourceName(res)
                                          : std::string();
  };
  std::string v;
  switch (index) {
    case kFileId:
      v = m_fileId;
      break;
    case kType:
      v = std::to_string(m_type);
      break;
    case kName:
    case kFileName:
      v = m_name;
      break;
    case kParentId:
      v = m_parentId;
      break;
    case kMimeType:
      v = getMimeType();
      break;
    case kSize: {
      HBRef<IHBVFSResource> r;
      v = getResource(HBVFS_RES_PRIMARY, r.out()) == 0 ? std::to_string(r->getSize()) : "0";
      break;
    }
    case kCTime:
      v = std::to_string(m_ctime);
      break;
    case kMTime:
      v = std::to_string(m_mtime);
      break;
    case kOrigTime:
      v = propertyText("origtime");
      break;
    case kXcStamp:
      v = propertyText("xcstamp");
      break;
    case kTnStamp:
      v = propertyText("tnstamp");
      break;
    case kMdStamp:
      v = propertyText("mdstamp");
      break;
    case kStreamType:
      v = "full";
      break;
    case kThumbnail:
      v = rendition(HBVFS_RES_TN);
      break;
    case kPreview:
      v = rendition(HBVFS_RES_PV);
      break;
    case kStream:
      v = rendition(HBVFS_RES_ST);
      break;
    case kLiveStream:
    case kFlvStream:
      break;
    case kMetaVer:
      v = std::to_string(m_metaVersion);
      break;
    case kMediaType: {
      const char *mime = getMimeType();
      const char *slash = std::strchr(mime, '/');
      v.assign(mime, slash ? size_t(slash - mime) : std::strlen(mime));
      break;
    }
    default:
      break;
  }
  if (buffer && size > 0) {
    const size_t n = std::min(v.size(), size_t(size - 1));
    std::memcpy(buffer, v.data(), n);
    buffer[n] = 0;
  }
  return static_cast<int32_t>(v.size());
}

// ---- HBVFSBaseResource ----

HBVFSBaseResource::HBVFSBaseResource(int32_t index, const char *mimeType, int64_t size)
    : m_index(index), m_size(size) {
  keepText(m_mimeLock, m_mimes, mimeType ? mimeType : "application/octet-stream");
}

const char *HBVFSBaseResource::getMimeType() {
  return lastText(m_mimeLock, m_mimes);
}
void HBVFSBaseResource::setMimeType(const char *mimeType) {
  keepText(m_mimeLock, m_mimes, mimeType ? mimeType : "application/octet-stream");
}

int32_t HBVFSBaseResource::openStream(IHBStream **, int32_t, const char *) {
  return notImplemented("BASEREZ", "Base class doesn't implement '%s'\n", __PRETTY_FUNCTION__);
}

int32_t HBVFSBaseResource::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ || ifc == HBIFC_VFSRESOURCE) return offer<IHBVFSResource>(out);
  return hbvfs__unsupportedIfc("BASEREZ", ifc);
}

// ---- The manager and the adapters of its older revision ----

namespace {

HBSharedRef<IHBObj> g_manager;

// A stream of the older revision as IHBStream.
class HBVFSBaseStreamRevAdapter final : public HBObject<HBVFSBaseStreamRevAdapter, IHBStream> {
 public:
  explicit HBVFSBaseStreamRevAdapter(IHBVFSStream1 *inner)
      : m_inner(HBRef<IHBVFSStream1>::retain(inner)) {}
  int32_t read(void *buffer, int32_t length) override { return m_inner->read(buffer, length); }
  int32_t write(const void *buffer, int32_t length) override {
    return m_inner->write(buffer, length);
  }
  int64_t seek(int64_t offset, int32_t whence) override { return m_inner->seek(offset, whence); }
  int32_t close() override { return m_inner->close(); }
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return hbvfs__unsupportedIfc("BRADAPT", ifc);
  }

 private:
  HBRef<IHBVFSStream1> m_inner;
};

class HBVFSBaseResourceRevAdapter final
    : public HBObject<HBVFSBaseResourceRevAdapter, IHBVFSResource> {
 public:
  explicit HBVFSBaseResourceRevAdapter(IHBVFSResource1 *inner)
      : m_inner(HBRef<IHBVFSResource1>::retain(inner)) {}
  int32_t getIndex() override { return m_inner->getIndex(); }
  const char *getMimeType() override {
    const char *m = m_inner->getMimeType();
    return m ? m : "application/octet-stream";
  }
  int64_t getSize() override { return m_inner->getSize(); }
  void setMimeType(const char *mimeType) override { m_inner->setMimeType(mimeType); }
  void setSize(int64_t size) override { m_inner->setSize(size); }
  int32_t openStream(IHBStream **out, int32_t mode, const char *options) override {
    if (!out) return BR_EINVAL;
    // The older stores learn the length of what they are given from the options.
    const std::string opts = hbvfs__withFsize(options, m_inner->getSize());
    HBRef<IHBVFSStream1> inner;
    const int32_t rc = m_inner->openStream(inner.out(), mode, opts.c_str());
    if (rc < 0) return rc;
    auto *s = new (std::nothrow) HBVFSBaseStreamRevAdapter(inner.get());
    if (!s) return BR_ENOMEM;
    *out = s;
    return BR_OK;
  }
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_VFSRESOURCE) return offer<IHBVFSResource>(out);
    return hbvfs__unsupportedIfc("BRADAPT", ifc);
  }

 private:
  HBRef<IHBVFSResource1> m_inner;
};

int32_t wrapFile(IHBVFSFile1 *inner, IHBVFSFile **out);

class HBVFSBaseFileRevAdapterIter final : public HBObject<HBVFSBaseFileRevAdapterIter, IHBIter> {
 public:
  explicit HBVFSBaseFileRevAdapterIter(IHBIter *inner) : m_inner(HBRef<IHBIter>::retain(inner)) {}
  int32_t next(hbtype_t *hbtype, void **out) override {
    hbtype_t t = HBIFC_VFSFILE1;
    void *item = nullptr;
    int32_t rc = m_inner->next(&t, &item);
    if (rc < 0) return rc;
    HBRef<IHBVFSFile1> file = HBRef<IHBVFSFile1>::adopt(static_cast<IHBVFSFile1 *>(item));
    if (!file) return BR_EINVAL;
    IHBVFSFile *wrapped = nullptr;
    rc = wrapFile(file.get(), &wrapped);
    if (rc < 0) return rc;
    if (hbtype) *hbtype = HBIFC_VFSFILE;
    if (out)
      *out = wrapped;
    else
      wrapped->dnref();
    return BR_OK;
  }
  int32_t nextN(hbtype_t *hbtypes, void **outs, int32_t count) override {
    return hbvfs__nextN(this, hbtypes, outs, count);
  }
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_ITER) return offer<IHBIter>(out);
    return hbvfs__unsupportedIfc("BIADAPT", ifc);
  }

 private:
  HBRef<IHBIter> m_inner;
};

class HBVFSBaseFileRevAdapter final : public HBVFSBaseFile {
 public:
  explicit HBVFSBaseFileRevAdapter(IHBVFSFile1 *inner)
      : HBVFSBaseFile(inner->getFileID(), inner->getParentID(), inner->getName(), inner->getType(),
                      inner->getCTime(), inner->getMTime()),
        m_inner(HBRef<IHBVFSFile1>::retain(inner)) {}

  int64_t getSize() override {
    HBRef<IHBVFSResource1> r;
    return m_inner->getResource(HBVFS_RES_PRIMARY, r.out()) == 0 ? r->getSize() : 0;
  }
  int32_t getProperties(IHBMap **out) override { return m_inner->getProperties(out); }
  int32_t getResource(int32_t index, IHBVFSResource **out) override {
    HBRef<IHBVFSResource1> r;
    const int32_t rc = m_inner->getResource(index, r.out());
    return rc < 0 ? rc : wrap(r.get(), out);
  }
  int32_t createResource(int32_t index, IHBVFSResource **out) override {
    HBRef<IHBVFSResource1> r;
    const int32_t rc = m_inner->createResource(index, r.out());
    return rc < 0 ? rc : wrap(r.get(), out);
  }
  int32_t iterateChildren(IHBIter **out, int32_t, const char *, const char *, int32_t,
                          int32_t) override {
    if (!out) return BR_EINVAL;
    HBRef<IHBIter> inner;
    const int32_t rc = m_inner->iterateChildren(inner.out());
    if (rc < 0) return rc;
    auto *it = new (std::nothrow) HBVFSBaseFileRevAdapterIter(inner.get());
    if (!it) return BR_ENOMEM;
    *out = it;
    return BR_OK;
  }
  // Asked for the older revision, an adapted file gives the file it wraps.
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_VFSFILE1 && out) {
      m_inner->upref();
      *out = m_inner.get();
      return BR_OK;
    }
    return HBVFSBaseFile::getifc(ifc, out);
  }

 private:
  static int32_t wrap(IHBVFSResource1 *r, IHBVFSResource **out) {
    if (!out) return BR_EINVAL;
    auto *a = new (std::nothrow) HBVFSBaseResourceRevAdapter(r);
    if (!a) return BR_ENOMEM;
    *out = a;
    return BR_OK;
  }
  HBRef<IHBVFSFile1> m_inner;
};

int32_t wrapFile(IHBVFSFile1 *inner, IHBVFSFile **out) {
  auto *f = new (std::nothrow) HBVFSBaseFileRevAdapter(inner);
  if (!f) return BR_ENOMEM;
  *out = f;
  return BR_OK;
}

class HBVFSBaseRevAdapter final : public HBVFSBase {
 public:
  explicit HBVFSBaseRevAdapter(IHBVFS1 *inner)
      : HBVFSBase(inner->getID1(), inner->getID2(), "UNKNOWN", 0),
        m_inner(HBRef<IHBVFS1>::retain(inner)) {}

  const char *getName() override {
    const char *n = m_inner->getName();
    return n && *n ? n : HBVFSBase::getName();
  }
  void setName(const char *name) override {
    m_inner->setName(name);
    HBVFSBase::setName(name);
  }
  int32_t getFileByID(IHBVFSFile *parent, const char *fileId, int32_t, IHBVFSFile **out) override {
    if (!out) return BR_EINVAL;
    HBRef<IHBVFSFile1> p, f;
    if (parent && hb_query<IHBVFSFile1>(parent, p) < 0) return BR_EINVAL;
    const int32_t rc = m_inner->getFileByID(p.get(), fileId, f.out());
    return rc < 0 ? rc : wrapFile(f.get(), out);
  }
  int32_t createFile(IHBVFSFile *parent, const char *name, int32_t type, IHBMap *properties,
                     IHBVFSFile **out) override {
    if (!out) return BR_EINVAL;
    HBRef<IHBVFSFile1> p, f;
    if (parent && hb_query<IHBVFSFile1>(parent, p) < 0) return BR_EINVAL;
    const int32_t rc = m_inner->createFile(p.get(), name, type, properties, f.out());
    return rc < 0 ? rc : wrapFile(f.get(), out);
  }

 private:
  HBRef<IHBVFS1> m_inner;
};

}  // namespace

std::string hbvfs__withFsize(const char *options, int64_t size) {
  std::string s = options ? options : "";
  if (size < 0 || s.find("fsize") != std::string::npos) return s;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%sfsize=%" PRId64, s.empty() ? "" : ";", size);
  return s + buf;
}

int32_t HBVFSBaseRevAdapter__new(IHBVFS2 **out, IHBVFS1 *store) {
  if (!out || !store) return BR_EINVAL;
  auto *a = new (std::nothrow) HBVFSBaseRevAdapter(store);
  if (!a) return BR_ENOMEM;
  *out = a;
  return BR_OK;
}

void hbvfs__setManager(IHBObj *manager) {
  g_manager.set(manager);
}

int32_t hbvfs__open(IHBVFS2 **out, const char *valtoken, const char *deviceId,
                    const char *serviceId) {
  if (!out) return BR_EINVAL;
  HBRef<IHBObj> manager = HBRef<IHBObj>::adopt(g_manager.get());
  if (!manager) return BR_ENOENT;
  HBRef<IHBVFSOpener> opener;
  if (hb_query<IHBVFSOpener>(manager.get(), opener) < 0) return BR_ENOENT;
  HBRef<IHBVFS1> store;
  const int32_t rc = opener->open(store.out(), valtoken, deviceId, serviceId);
  if (rc < 0) return rc;
  return HBVFSBaseRevAdapter__new(out, store.get());
}
