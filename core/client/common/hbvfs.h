// Virtual file systems: one interface for any store of files (a drive on the service, a local
// folder tree, a test double) and the copy engine that moves trees between two stores.
//
//   IHBVFS2          a store: its identifiers and name, files by identifier, new files
//   IHBVFSFile       a file or folder of a store: identifiers, attributes, properties, children
//   IHBVFSResource   one stream of a file: index 0 the original ("primary"), 1 "tn", 2 "pv",
//                    3 "hd", 4 "st", 5 "ts" (renditions)
//
// HBVFSBase, HBVFSBaseFile and HBVFSBaseResource give every operation a default: accessors of
// their fields, and for what a store does not offer a logged "doesn't implement" line with
// Not Implemented (-4). A store derives from them and overrides what it supports.
//
// Stores are reached by identifier through a process-wide manager that a host program may
// register (hbvfs__setManager); it hands out stores of an older interface revision, which the
// Rev adapters below present as IHBVFS2. The desktop program registers none, so hbvfs__open
// answers No Entry (-3) there.
//
// Copying (HBVFS2Copy) goes resource by resource and reports to a copy tracker
// (HBFileCopyTracker), which can also cancel it.
//
// Log tags: "VFSBASE", "VFSBFILE", "BASEREZ", "BRADAPT", "BIADAPT", "COPY".
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brerror.h"
#include "hbmap.h"
#include "hbobj.h"
#include "hbstr.h"
#include "hbstream.h"

struct BRThreadPool;

// Interface numbers (the store, file and resource numbers live in hbobj.h).
enum : int32_t {
  HBIFC_VFSOPENER = 0x1000005c,       // the manager's opener of stores
  HBIFC_VFSEVENTSOURCE = 0x100000a1,  // a store's change events (folder watching)
  HBIFC_VFS2COPY = 0x10000203,
  HBIFC_FILECOPYTRACKER = 0x10000204,
  HBIFC_VFSPROGRESSTRACKER = 0x10000205,
  HBIFC_VFSOPCANCELLER = 0x10000206,
  // The manager's older revision.
  HBIFC_VFS1 = 0x10000210,
  HBIFC_VFSFILE1 = 0x10000211,
  HBIFC_VFSRESOURCE1 = 0x10000212,
  HBIFC_VFSSTREAM1 = 0x10000213,
};

// File types.
enum : int32_t { HBVFS_TYPE_FILE = 0, HBVFS_TYPE_FOLDER = 1 };

// Resource indexes.
enum : int32_t {
  HBVFS_RES_PRIMARY = 0,
  HBVFS_RES_TN = 1,
  HBVFS_RES_PV = 2,
  HBVFS_RES_HD = 3,
  HBVFS_RES_ST = 4,
  HBVFS_RES_TS = 5,
  HBVFS_RES_COUNT = 6,
};
// "primary", "tn", "pv", "hd", "st", "ts"; null for other indexes.
const char *hbvfs__resourceName(int32_t index);
// The index of a resource name, or -1.
int32_t hbvfs__resourceIndex(const char *name);

// Stream modes of IHBVFSResource::openStream.
enum : int32_t { HBVFS_OPEN_READ = 1, HBVFS_OPEN_WRITE = 2 };

// The deepest folder level the copy engine enters (the top is 0).
#define HBVFS_MAX_DEPTH 63

struct IHBVFSFile;
struct IHBVFSResource;

struct IHBVFS2 : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFS2;
  // The two identifiers (for a drive: device and service) and the display name; borrowed for
  // the life of the store (a name replaced by setName stays readable too).
  virtual const char *getID1() = 0;
  virtual const char *getID2() = 0;
  virtual const char *getName() = 0;
  virtual uint32_t getFlags() = 0;
  // A map describing the store, one reference for the caller.
  HB_NODISCARD virtual int32_t getVFSProperties(IHBMap **out) = 0;
  // The file `fileId` ("0" is the top folder); `parent` may be null. One reference in *out;
  // -3 when there is no such file.
  HB_NODISCARD virtual int32_t getFileByID(IHBVFSFile *parent, const char *fileId, int32_t flags,
                                           IHBVFSFile **out) = 0;
  HB_NODISCARD virtual int32_t moveFile(IHBVFSFile *file, IHBVFSFile *newParent,
                                        const char *newName, IHBVFSFile **out) = 0;
  HB_NODISCARD virtual int32_t copyFile(IHBVFSFile *file, IHBVFSFile *newParent,
                                        const char *newName, int32_t flags, IHBVFSFile **out) = 0;
  HB_NODISCARD virtual int32_t searchFiles(IHBIter **out, int32_t flags, const char *text,
                                           const char *text2, int32_t offset, int32_t count) = 0;
  // A new file (type 0) or folder (1) named `name` in `parent` (null: the top folder), with
  // `properties` (may be null; read, not kept). One reference in *out.
  HB_NODISCARD virtual int32_t createFile(IHBVFSFile *parent, const char *name, int32_t type,
                                          IHBMap *properties, IHBVFSFile **out) = 0;
  virtual void setName(const char *name) = 0;
  // Two slots kept for the order of the interface; nothing calls them.
  virtual void reserved1() = 0;
  virtual int32_t reserved2() = 0;
  virtual int64_t getMetaVersion() = 0;
};

// Children and search results come as iterators of IHBVFSFile objects (hbtype 0x10000201).
struct IHBVFSFile : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFSFILE;
  // Identifiers and name: borrowed for the life of the file.
  virtual const char *getFileID() = 0;
  virtual const char *getParentID() = 0;
  virtual const char *getName() = 0;
  virtual int32_t getType() = 0;
  // Bytes of the original (0 for folders), -1 when unknown.
  virtual int64_t getSize() = 0;
  // Milliseconds since 1970, 0 when unknown.
  virtual int64_t getCTime() = 0;
  virtual int64_t getMTime() = 0;
  // Never null ("application/octet-stream" when unknown).
  virtual const char *getMimeType() = 0;
  // The file's properties as a map of its own for the caller (one reference; changing it
  // changes nothing in the store).
  HB_NODISCARD virtual int32_t getProperties(IHBMap **out) = 0;
  // Resource `index` (0..5) with one reference for the caller; -3 for an empty slot or another
  // index.
  HB_NODISCARD virtual int32_t getResource(int32_t index, IHBVFSResource **out) = 0;
  // The child whose name equals `name` without regard to case (one reference); -3 when none.
  HB_NODISCARD virtual int32_t getChildByName(const char *name, IHBVFSFile **out) = 0;
  // The children from `offset` on, at most `count` of them (count <= 0: all). One iterator
  // reference for the caller; it may fetch lazily and is used by one thread at a time.
  HB_NODISCARD virtual int32_t iterateChildren(IHBIter **out, int32_t flags, const char *text,
                                               const char *text2, int32_t offset,
                                               int32_t count) = 0;
  HB_NODISCARD virtual int32_t searchChildren(IHBIter **out, int32_t flags, const char *text,
                                              const char *text2, int32_t offset, int32_t count) = 0;
  HB_NODISCARD virtual int32_t setProperty(const char *name, hbtype_t hbtype,
                                           const void *value) = 0;
  HB_NODISCARD virtual int32_t setProperty(const char *name, const char *text) = 0;
  HB_NODISCARD virtual int32_t deleteFile(int32_t flags) = 0;
  HB_NODISCARD virtual int32_t removeChild(IHBVFSFile *child, int32_t flags) = 0;
  HB_NODISCARD virtual int32_t createChild(const char *name, int32_t type, IHBMap *properties,
                                           IHBVFSFile **out) = 0;
  // A resource of `index` to be written (one reference); an existing one is replaced when its
  // stream is written.
  HB_NODISCARD virtual int32_t createResource(int32_t index, IHBVFSResource **out) = 0;
  virtual int64_t getMetaVersion() = 0;
};

struct IHBVFSResource : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFSRESOURCE;
  virtual int32_t getIndex() = 0;
  // Borrowed until the next setMimeType; never null.
  virtual const char *getMimeType() = 0;
  // Bytes, -1 when unknown.
  virtual int64_t getSize() = 0;
  virtual void setMimeType(const char *mimeType) = 0;
  virtual void setSize(int64_t size) = 0;
  // A stream over the resource's bytes: HBVFS_OPEN_READ or HBVFS_OPEN_WRITE. `options` is a
  // ";"-separated list of name=value (may be null). One reference in *out. A written stream is
  // complete only when its close() returns 0.
  HB_NODISCARD virtual int32_t openStream(IHBStream **out, int32_t mode, const char *options) = 0;
};

// ---- Base classes ----

class HBVFSBase : public HBObject<HBVFSBase, IHBVFS2> {
 public:
  const char *getID1() override { return m_id1.c_str(); }
  const char *getID2() override { return m_id2.c_str(); }
  const char *getName() override;
  uint32_t getFlags() override { return m_flags; }
  HB_NODISCARD int32_t getVFSProperties(IHBMap **out) override;
  HB_NODISCARD int32_t moveFile(IHBVFSFile *file, IHBVFSFile *newParent, const char *newName,
                                IHBVFSFile **out) override;
  HB_NODISCARD int32_t copyFile(IHBVFSFile *file, IHBVFSFile *newParent, const char *newName,
                                int32_t flags, IHBVFSFile **out) override;
  HB_NODISCARD int32_t searchFiles(IHBIter **out, int32_t flags, const char *text,
                                   const char *text2, int32_t offset, int32_t count) override;
  HB_NODISCARD int32_t createFile(IHBVFSFile *parent, const char *name, int32_t type,
                                  IHBMap *properties, IHBVFSFile **out) override;
  void setName(const char *name) override;
  void reserved1() override {}
  int32_t reserved2() override { return BR_ENOTIMPL; }
  int64_t getMetaVersion() override;
  // Answers 0x10000000 and 0x10000200.
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 protected:
  HBVFSBase(const char *id1, const char *id2, const char *name, uint32_t flags);
  ~HBVFSBase() override = default;

 private:
  const std::string m_id1, m_id2;
  const uint32_t m_flags;
  std::mutex m_nameLock;
  // Every name ever set: readers may still hold an older one.
  std::vector<std::unique_ptr<std::string>> m_names;
};

class HBVFSBaseFile : public HBObject<HBVFSBaseFile, IHBVFSFile, IHBRPCSerializable> {
 public:
  const char *getFileID() override { return m_fileId.c_str(); }
  const char *getParentID() override { return m_parentId.c_str(); }
  const char *getName() override { return m_name.c_str(); }
  int32_t getType() override { return m_type; }
  // The primary resource's size (0 for folders and files without one).
  int64_t getSize() override;
  int64_t getCTime() override { return m_ctime; }
  int64_t getMTime() override { return m_mtime; }
  // The property "mime", else the type of the name's extension.
  const char *getMimeType() override;
  HB_NODISCARD int32_t getProperties(IHBMap **out) override;
  HB_NODISCARD int32_t getResource(int32_t index, IHBVFSResource **out) override;
  HB_NODISCARD int32_t getChildByName(const char *name, IHBVFSFile **out) override;
  HB_NODISCARD int32_t iterateChildren(IHBIter **out, int32_t flags, const char *text,
                                       const char *text2, int32_t offset, int32_t count) override;
  HB_NODISCARD int32_t searchChildren(IHBIter **out, int32_t flags, const char *text,
                                      const char *text2, int32_t offset, int32_t count) override;
  HB_NODISCARD int32_t setProperty(const char *name, hbtype_t hbtype, const void *value) override;
  HB_NODISCARD int32_t setProperty(const char *name, const char *text) override;
  HB_NODISCARD int32_t deleteFile(int32_t flags) override;
  HB_NODISCARD int32_t removeChild(IHBVFSFile *child, int32_t flags) override;
  HB_NODISCARD int32_t createChild(const char *name, int32_t type, IHBMap *properties,
                                   IHBVFSFile **out) override;
  HB_NODISCARD int32_t createResource(int32_t index, IHBVFSResource **out) override;
  int64_t getMetaVersion() override;

  // IHBRPCSerializable: the file record "file" (fileid, type, name, parentid, mimetype, size,
  // ctime, mtime, origtime, xcstamp, tnstamp, mdstamp, streamtype, thumbnail, preview, stream,
  // livestream, flvstream, properties (a map), metaver, filename, mediatype).
  const char *getTypeName() override { return "file"; }
  const HBRPCPropertyEntry *getPropertyTable() override;
  HB_NODISCARD int32_t getPropertyObject(int32_t index, hbtype_t *hbtype, void **out) override;
  HB_NODISCARD int32_t getPropertyText(int32_t index, char *buffer, int32_t size) override;

  // Answers 0x10000000, 0x10000201 and 0x10000011.
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;
  IHBObj *obj() { return static_cast<IHBVFSFile *>(this); }

 protected:
  // Identifiers and name are copied (null gives ""); times in milliseconds.
  HBVFSBaseFile(const char *fileId, const char *parentId, const char *name, int32_t type,
                int64_t ctime, int64_t mtime);
  ~HBVFSBaseFile() override = default;
  // Fills a slot while the file is being built (before it is handed out); takes a reference.
  void setResourceSlot(int32_t index, IHBVFSResource *resource);
  // The properties (text entries) as the subclass knows them; set while the file is being
  // built. Without them getProperties is not implemented.
  void setPropertiesMap(IHBMap *properties);
  // The text of a property, "" when absent.
  std::string propertyText(const char *name);

  int64_t m_metaVersion = 0;

 private:
  const std::string m_fileId, m_parentId, m_name;
  const int32_t m_type;
  const int64_t m_ctime, m_mtime;
  std::string m_mime;
  std::once_flag m_mimeOnce;
  HBRef<IHBMap> m_props;
  HBRef<IHBVFSResource> m_res[HBVFS_RES_COUNT];
};

// A resource with its index, media type and size. openStream is not implemented here.
class HBVFSBaseResource : public HBObject<HBVFSBaseResource, IHBVFSResource> {
 public:
  int32_t getIndex() override { return m_index; }
  const char *getMimeType() override;
  int64_t getSize() override { return m_size.load(std::memory_order_relaxed); }
  void setMimeType(const char *mimeType) override;
  void setSize(int64_t size) override { m_size.store(size, std::memory_order_relaxed); }
  HB_NODISCARD int32_t openStream(IHBStream **out, int32_t mode, const char *options) override;
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 protected:
  HBVFSBaseResource(int32_t index, const char *mimeType, int64_t size);
  ~HBVFSBaseResource() override = default;

 private:
  const int32_t m_index;
  std::atomic<int64_t> m_size;
  std::mutex m_mimeLock;
  std::vector<std::unique_ptr<std::string>> m_mimes;  // as with store names
};

// Logs "*** Asked for interface 0x%x that we don't support!" under `tag` and returns -3.
int32_t hbvfs__unsupportedIfc(const char *tag, int32_t ifc);

// A new map holding copies of the text entries of `from` (may be null: empty). One reference.
HB_NODISCARD int32_t hbvfs__copyTexts(IHBMap *from, HBMap **out);

// nextN of an iterator that fetches one item at a time: `count` calls of next at the most.
HB_NODISCARD int32_t hbvfs__nextN(IHBIter *it, hbtype_t *hbtypes, void **outs, int32_t count);

// An iterator over `files` (each referenced by the iterator), items of hbtype 0x10000201.
HB_NODISCARD int32_t hbvfs__fileList(IHBIter **out, const std::vector<HBRef<IHBVFSFile>> &files);

// ---- The manager and the older revision ----

struct IHBVFSStream1;
struct IHBVFSResource1;
struct IHBVFSFile1;

// The manager's older revision of a store.
struct IHBVFS1 : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFS1;
  virtual const char *getID1() = 0;
  virtual const char *getID2() = 0;
  virtual const char *getName() = 0;
  virtual void setName(const char *name) = 0;
  HB_NODISCARD virtual int32_t getFileByID(IHBVFSFile1 *parent, const char *fileId,
                                           IHBVFSFile1 **out) = 0;
  HB_NODISCARD virtual int32_t createFile(IHBVFSFile1 *parent, const char *name, int32_t type,
                                          IHBMap *properties, IHBVFSFile1 **out) = 0;
};

struct IHBVFSFile1 : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFSFILE1;
  virtual const char *getFileID() = 0;
  virtual const char *getParentID() = 0;
  virtual const char *getName() = 0;
  virtual int32_t getType() = 0;
  virtual int64_t getCTime() = 0;
  virtual int64_t getMTime() = 0;
  HB_NODISCARD virtual int32_t getProperties(IHBMap **out) = 0;
  HB_NODISCARD virtual int32_t getResource(int32_t index, IHBVFSResource1 **out) = 0;
  // Items of hbtype 0x10000211.
  HB_NODISCARD virtual int32_t iterateChildren(IHBIter **out) = 0;
  HB_NODISCARD virtual int32_t createResource(int32_t index, IHBVFSResource1 **out) = 0;
};

struct IHBVFSResource1 : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFSRESOURCE1;
  virtual int32_t getIndex() = 0;
  virtual const char *getMimeType() = 0;
  virtual int64_t getSize() = 0;
  virtual void setMimeType(const char *mimeType) = 0;
  virtual void setSize(int64_t size) = 0;
  HB_NODISCARD virtual int32_t openStream(IHBVFSStream1 **out, int32_t mode,
                                          const char *options) = 0;
};

struct IHBVFSStream1 : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFSSTREAM1;
  HB_NODISCARD virtual int32_t read(void *buffer, int32_t length) = 0;
  HB_NODISCARD virtual int32_t write(const void *buffer, int32_t length) = 0;
  virtual int64_t seek(int64_t offset, int32_t whence) = 0;
  virtual int32_t close() = 0;
};

// What the manager hands out for 0x1000005c.
struct IHBVFSOpener : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFSOPENER;
  // The store of a drive; `valtoken` may be null. One reference in *out.
  HB_NODISCARD virtual int32_t open(IHBVFS1 **out, const char *valtoken, const char *deviceId,
                                    const char *serviceId) = 0;
};

// Registers the process-wide manager (a reference is kept; null clears it).
void hbvfs__setManager(IHBObj *manager);
// The store of a drive through the manager, as IHBVFS2. One reference in *out; -3 when no
// manager is registered (the desktop program) or it has no opener.
HB_NODISCARD int32_t hbvfs__open(IHBVFS2 **out, const char *valtoken, const char *deviceId,
                                 const char *serviceId);
// `store` of the older revision as IHBVFS2 (its identifiers, name "UNKNOWN"). One reference.
HB_NODISCARD int32_t HBVFSBaseRevAdapter__new(IHBVFS2 **out, IHBVFS1 *store);
// `options` with "fsize=SIZE" added (after ";" when not empty) unless it already mentions
// "fsize" or the size is unknown.
std::string hbvfs__withFsize(const char *options, int64_t size);

// ---- Copy tracking and copying ----

// Told of each file of a copy: its size when it starts, bytes as they go, its end.
struct IHBFileCopyTracker : IHBObj {
  static constexpr int32_t kIfc = HBIFC_FILECOPYTRACKER;
  // A file (or folder's renditions) of `size` bytes starts.
  virtual void fileStarted(const char *name, int64_t size) = 0;
  // The file ended with `result` (its bytes were counted through the progress tracker).
  virtual void fileFinished(int32_t result) = 0;
  // The whole copy ended with `result` (also for copies run on a thread pool).
  virtual void copyFinished(int32_t result) = 0;
};

struct IHBVFSProgressTracker : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFSPROGRESSTRACKER;
  // `bytes` of the current file copied so far. Non-zero stops the copy.
  virtual int32_t updateProgress(int64_t bytes) = 0;
};

struct IHBVFSOpCanceller : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFSOPCANCELLER;
  // 0, or Operation Canceled (-18) once cancelled.
  virtual int32_t isCanceled() = 0;
  virtual void cancel() = 0;
};

// Counts the bytes of the current file and of the whole copy, and cancels on request. Any
// thread may read the counts and cancel. Subclasses (the import's tracker) override
// updateProgress and isCanceled and call these.
class HBFileCopyTracker : public HBObject<HBFileCopyTracker, IHBFileCopyTracker,
                                          IHBVFSProgressTracker, IHBVFSOpCanceller> {
 public:
  // One reference for the caller.
  HB_NODISCARD static int32_t create(HBFileCopyTracker **out);

  void fileStarted(const char *name, int64_t size) override;
  void fileFinished(int32_t result) override;
  void copyFinished(int32_t result) override;
  int32_t updateProgress(int64_t bytes) override;
  int32_t isCanceled() override;
  void cancel() override { m_canceled.store(true, std::memory_order_release); }

  // Bytes of the current file so far and its size (-1 unknown); bytes of every finished file
  // plus the current one; files started and files that ended with a failure.
  int64_t fileBytes() const { return m_fileBytes.load(std::memory_order_relaxed); }
  int64_t fileSize() const { return m_fileSize.load(std::memory_order_relaxed); }
  int64_t totalBytes() const { return m_doneBytes.load(std::memory_order_relaxed) + fileBytes(); }
  int32_t files() const { return m_files.load(std::memory_order_relaxed); }
  int32_t failedFiles() const { return m_failed.load(std::memory_order_relaxed); }
  // Whether copyFinished came, and its result. waitFinished blocks until it comes (a copy on a
  // pool) or `timeoutMs` passes (-1: no limit); it returns the result, or -11 on time-out.
  bool finished() const { return m_finished.load(std::memory_order_acquire); }
  int32_t waitFinished(int64_t timeoutMs);

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;
  IHBObj *obj() { return static_cast<IHBFileCopyTracker *>(this); }

 protected:
  HBFileCopyTracker() = default;
  ~HBFileCopyTracker() override = default;

 private:
  std::atomic<int64_t> m_fileBytes{0}, m_fileSize{-1}, m_doneBytes{0};
  std::atomic<int32_t> m_files{0}, m_failed{0};
  std::atomic<bool> m_canceled{false}, m_finished{false};
  std::mutex m_doneLock;
  std::condition_variable m_doneCond;
  int32_t m_result = 0;
};

struct IHBVFS2Copy : IHBObj {
  static constexpr int32_t kIfc = HBIFC_VFS2COPY;
  // Copies `srcFile` of `srcVfs` (a file or a whole folder tree) into the folder `dstFolder` of
  // `dstVfs` (null: its top folder). With `pool` the copy runs there and this returns 0 once it
  // is queued (the tracker's copyFinished tells the end); without, it runs now and its result
  // is returned. All objects are referenced for the copy's life.
  HB_NODISCARD virtual int32_t copy(BRThreadPool *pool, const char *valtoken, IHBVFS2 *srcVfs,
                                    IHBVFSFile *srcFile, IHBVFS2 *dstVfs,
                                    IHBVFSFile *dstFolder) = 0;
};

class HBVFS2Copy final : public HBObject<HBVFS2Copy, IHBVFS2Copy> {
 public:
  // A copier reporting to `tracker` (referenced; its canceller, when it offers one, stops the
  // copy). One reference for the caller.
  HB_NODISCARD static int32_t create(IHBFileCopyTracker *tracker, HBVFS2Copy **out);
  HB_NODISCARD int32_t copy(BRThreadPool *pool, const char *valtoken, IHBVFS2 *srcVfs,
                            IHBVFSFile *srcFile, IHBVFS2 *dstVfs, IHBVFSFile *dstFolder) override;
  // Bytes copied by this copier's finished resources.
  int64_t copiedBytes() const { return m_total.load(std::memory_order_relaxed); }
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 private:
  friend class HBObject<HBVFS2Copy, IHBVFS2Copy>;
  struct Job;
  HBVFS2Copy() = default;
  ~HBVFS2Copy() override = default;
  int32_t copyOne(Job &job, IHBVFSFile *src, IHBVFSFile *dstFolder, int32_t depth);
  int32_t copyResource(IHBVFSResource *src, IHBVFSFile *dst, int32_t index, int64_t *fileBytes);
  static int32_t execute(Job *job);
  static void runJob(void *arg);
  static void dropJob(void *arg);

  HBRef<IHBFileCopyTracker> m_tracker;
  HBRef<IHBVFSProgressTracker> m_progress;
  HBRef<IHBVFSOpCanceller> m_canceller;
  std::atomic<int64_t> m_total{0};
};
