// ZVVFSService: a drive on the service as a virtual file system.
#include "zvvfsservice.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "brhttp.h"
#include "brlog.h"
#include "brthread.h"
#include "hbfile.h"
#include "hbhttpconnpool.h"
#include "hbrpc.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "hbsvcupload.h"
#include "hburl.h"

namespace {

constexpr const char *kTag = "ZVVFS";
// Waiting for the answer to an upload: the service may still be storing it.
constexpr int32_t kPutAnswerTimeoutMs = 120000;

// Digits only, at most 19 of them: a size or a time; -1 otherwise.
int64_t parseNumber(const char *text) {
  if (!text || !*text || std::strlen(text) > 19) return -1;
  int64_t v = 0;
  for (const char *p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    v = v * 10 + (*p - '0');
  }
  return v;
}

// Record members that are the file itself rather than its properties.
bool recordOnly(const char *key) {
  static const char *const kKeys[] = {"fileid", "parentid",  "type",    "name",   "filename",
                                      "size",   "thumbnail", "preview", "stream", nullptr};
  for (int i = 0; kKeys[i]; ++i)
    if (!std::strcmp(key, kKeys[i])) return true;
  return false;
}

// Properties that are never passed on to "createFile".
bool notAnArgument(const char *key) {
  static const char *const kKeys[] = {"overwrite", "valtoken", "deviceid", "serviceid",
                                      "ctime",     "mtime",    nullptr};
  if (recordOnly(key)) return true;
  for (int i = 0; kKeys[i]; ++i)
    if (!std::strcmp(key, kKeys[i])) return true;
  return false;
}

class ZVVFSService;

class ZVVFSServiceResource final : public HBVFSBaseResource {
 public:
  ZVVFSServiceResource(ZVVFSService *store, const std::string &fileId, int32_t index,
                       const char *mime, int64_t size);
  int32_t openStream(IHBStream **out, int32_t mode, const char *options) override;

 private:
  HBRef<IHBVFS2> m_storeRef;  // keeps the store alive; null for a detached record
  ZVVFSService *m_store;
  const std::string m_fileId;
};

class ZVVFSServiceFile final : public HBVFSBaseFile {
 public:
  ZVVFSServiceFile(ZVVFSService *store, const char *fileId, const char *parentId, const char *name,
                   int32_t type, int64_t ctime, int64_t mtime);

  void build(IHBMap *props, int64_t size, IHBMap *record);

  int32_t getChildByName(const char *name, IHBVFSFile **out) override;
  int32_t iterateChildren(IHBIter **out, int32_t flags, const char *text, const char *text2,
                          int32_t offset, int32_t count) override;
  int32_t deleteFile(int32_t flags) override;
  int32_t removeChild(IHBVFSFile *child, int32_t flags) override;
  int32_t createChild(const char *name, int32_t type, IHBMap *properties,
                      IHBVFSFile **out) override;
  int32_t createResource(int32_t index, IHBVFSResource **out) override;

 private:
  HBRef<IHBVFS2> m_storeRef;
  ZVVFSService *m_store;
};

class ZVVFSService final : public HBVFSBase {
 public:
  ZVVFSService(const char *token, const char *device, const char *service, const char *name,
               IHBURL *apiUrl, IHBHTTPConnPool *pool)
      : HBVFSBase(device, service, name, 0),
        m_token(token ? token : ""),
        m_apiUrl(HBRef<IHBURL>::retain(apiUrl)),
        m_pool(HBRef<IHBHTTPConnPool>::retain(pool)) {
    const char *path = apiUrl->getPath() ? apiUrl->getPath() : "";
    const char *api = std::strstr(path, "/api");
    std::string base = api ? std::string(path, size_t(api - path)) : std::string(path);
    while (!base.empty() && base.back() == '/') base.pop_back();
    m_filesPath = base + "/files/" + (device ? device : "") + "/" + (service ? service : "") + "/";
  }

  int32_t getVFSProperties(IHBMap **out) override {
    if (!out) return BR_EINVAL;
    HBRef<HBMap> map;
    int32_t rc = HBMap::create("vfs", 256, 256, map);
    char url[1024];
    m_apiUrl->format(url, sizeof url);
    if (rc == 0) rc = map->putString("deviceid", getID1());
    if (rc == 0) rc = map->putString("serviceid", getID2());
    if (rc == 0) rc = map->putString("name", getName());
    if (rc == 0) rc = map->putString("apiurl", url);
    if (rc < 0) return rc;
    *out = map.detach();
    return BR_OK;
  }

  int32_t getFileByID(IHBVFSFile *, const char *fileId, int32_t, IHBVFSFile **out) override {
    if (!out || !zvvfsservice__isPlainID(fileId)) return BR_EINVAL;
    HBRef<HBRPCGeneric> rpc;
    int32_t rc = newCall(rpc);
    if (rc == 0) rc = hbsvc__getFile(rpc.get(), token(), getID1(), getID2(), fileId);
    return fileFromAnswer(rpc.get(), rc, "getFile", fileId, out);
  }

  int32_t createFile(IHBVFSFile *parent, const char *name, int32_t type, IHBMap *properties,
                     IHBVFSFile **out) override;

  // "moveFile": into `newParent` (null: where it is) under `newName` (null: its own name).
  int32_t moveFile(IHBVFSFile *file, IHBVFSFile *newParent, const char *newName,
                   IHBVFSFile **out) override {
    if (!file || !out) return BR_EINVAL;
    const char *parentId = newParent ? newParent->getFileID() : nullptr;
    if ((parentId && !zvvfsservice__isPlainID(parentId)) ||
        (newName && (!*newName || std::strchr(newName, '/') || !std::strcmp(newName, ".") ||
                     !std::strcmp(newName, ".."))))
      return BR_EINVAL;
    HBRef<HBRPCGeneric> rpc;
    int32_t rc = newCall(rpc);
    if (rc == 0)
      rc = hbsvc__moveFile(rpc.get(), token(), getID1(), getID2(), file->getFileID(), parentId,
                           newName);
    return fileFromAnswer(rpc.get(), rc, "moveFile", file->getFileID(), out);
  }

  // A file by parent and name; `type` "0", "1" or null.
  int32_t fileByName(const char *parentId, const char *name, const char *type, IHBVFSFile **out) {
    if (!name || !*name || std::strchr(name, '/')) return BR_ENOENT;
    HBRef<HBRPCGeneric> rpc;
    int32_t rc = newCall(rpc);
    if (rc == 0)
      rc = hbsvc__getFileByName(rpc.get(), token(), getID1(), getID2(), parentId, name, type);
    HBRef<IHBVFSFile> f;
    rc = fileFromAnswer(rpc.get(), rc, "getFile", name, f.out());
    if (rc < 0) return rc;
    if (std::strcmp(f->getParentID(), parentId) != 0) return BR_ENOENT;
    *out = f.detach();
    return BR_OK;
  }

  int32_t removeFile(const char *fileId) {
    HBRef<HBRPCGeneric> rpc;
    int32_t rc = newCall(rpc);
    if (rc == 0) rc = hbsvc__removeFile(rpc.get(), token(), getID1(), getID2(), fileId);
    return rc < 0 ? failed(rpc.get(), rc, "removeFile", fileId) : BR_OK;
  }

  // One page of children: the files in *out, the number of records the service sent in *sent.
  int32_t listPage(const char *parentId, int32_t page, std::vector<HBRef<IHBVFSFile>> *out,
                   int32_t *sent) {
    HBRef<HBRPCGeneric> rpc;
    int32_t rc = newCall(rpc);
    char pageText[16];
    std::snprintf(pageText, sizeof pageText, "%d", page);
    if (rc == 0) rc = hbsvc__listFiles(rpc.get(), token(), getID1(), getID2(), parentId, pageText);
    if (rc < 0) return failed(rpc.get(), rc, "listFiles", parentId);
    *sent = 0;
    HBRef<IHBIter> files = HBRef<IHBIter>::adopt(rpc->getArgmentIterator("files"));
    for (; files;) {
      hbtype_t t = HBIFC_MAP;
      void *item = nullptr;
      if (files->next(&t, &item) < 0) break;
      HBRef<IHBMap> rec = HBRef<IHBMap>::adopt(static_cast<IHBMap *>(item));
      ++*sent;
      HBRef<IHBVFSFile> f;
      if (!rec || fileFromRecord(rec.get(), f.out()) < 0) {
        brlog(kTag, BRLOG_WARNING, "Passing over an unusable entry of folder '%s'\n", parentId);
        continue;
      }
      out->push_back(std::move(f));
    }
    return BR_OK;
  }

  int32_t fileFromRecord(IHBMap *record, IHBVFSFile **out);
  friend int32_t newFileFromRecord(ZVVFSService *store, IHBMap *record, IHBVFSFile **out);

  // A connection and a request on the file address of `fileId` (and `stream`, may be null),
  // with the session's cookie and header.
  int32_t startRequest(const char *method, const std::string &fileId, const char *stream,
                       BRHTTPConnection **conn, BRHTTPRequest **req) {
    std::string path = m_filesPath + fileId;
    if (stream) path += std::string("/") + stream;
    int32_t rc = m_pool->getConnection(m_apiUrl.get(), conn);
    if (rc < 0) return rc;
    rc = BRHTTPConnection__newRequest(*conn, method, path.c_str(), req);
    const std::string cookie = "valtoken=" + m_token;
    if (rc == 0) rc = BRHTTPRequest__addRequestHeader(*req, "Cookie", cookie.c_str());
    if (rc == 0) rc = BRHTTPRequest__addRequestHeader(*req, "X-VXVALTOKEN", m_token.c_str());
    if (rc < 0) endRequest(*conn, *req);
    return rc;
  }
  void endRequest(BRHTTPConnection *&conn, BRHTTPRequest *&req) {
    if (req) BRHTTPRequest__destroy(req);
    if (conn) m_pool->releaseConnection(m_apiUrl.get(), conn);
    req = nullptr;
    conn = nullptr;
  }

  const char *token() const { return m_token.c_str(); }
  IHBURL *apiUrl() const { return m_apiUrl.get(); }

 private:
  int32_t newCall(HBRef<HBRPCGeneric> &out) {
    // Each call gets its own copy of the address: call objects are one thread's each.
    HBRef<IHBURL> url;
    int32_t rc = hburl__create(url.out(), m_apiUrl.get());
    if (rc == 0) rc = HBRPCGeneric::create(url.get(), m_pool.get(), out);
    return rc;
  }

  int32_t failed(HBRPCGeneric *rpc, int32_t rc, const char *method, const char *what) {
    int32_t mapped = rc;
    if (rpc && rpc->isFault()) mapped = zvvfsservice__mapFault(rpc->getErrorCode());
    brlog(kTag, BRLOG_WARNING, "%s('%s') failed: %d (%s)\n", method, what ? what : "", mapped,
          mapped == ZVVFS_EOFFLINE ? "drive offline" : brerror__name(mapped));
    return mapped;
  }

  int32_t fileFromAnswer(HBRPCGeneric *rpc, int32_t rc, const char *method, const char *what,
                         IHBVFSFile **out) {
    if (rc < 0) return failed(rpc, rc, method, what);
    HBRef<HBMap> rec = HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
    if (!rec) {
      brlog(kTag, BRLOG_WARNING, "%s('%s'): no file in the answer\n", method, what);
      return BR_EFAULT;
    }
    return fileFromRecord(rec.get(), out);
  }

  const std::string m_token;
  HBRef<IHBURL> m_apiUrl;
  HBRef<IHBHTTPConnPool> m_pool;
  std::string m_filesPath;  // ".../files/DEVICE/SERVICE/"
};

// ---- Streams ----

class ZVVFSReadStream final : public HBObject<ZVVFSReadStream, IHBStream> {
 public:
  // `skip` bytes of the body are passed over first and at most `left` (-1: all) are read: a range
  // the service answered with the whole body.
  ZVVFSReadStream(ZVVFSService *store, BRHTTPConnection *conn, BRHTTPRequest *req, int64_t skip,
                  int64_t left)
      : m_store(HBRef<IHBVFS2>::retain(store)),
        m_svc(store),
        m_conn(conn),
        m_req(req),
        m_skip(skip),
        m_left(left) {}
  ~ZVVFSReadStream() override { close(); }
  int32_t read(void *buffer, int32_t length) override {
    if (!m_req) return BR_EBADSTATE;
    while (m_skip > 0) {
      const int32_t n = BRHTTPRequest__receiveResponseBody(
          m_req, nullptr, static_cast<int32_t>(std::min<int64_t>(m_skip, BRHTTP_BUFSIZE)));
      if (n <= 0) return n < 0 ? n : BR_EOF;
      m_skip -= n;
    }
    if (m_left == 0) return 0;
    if (m_left > 0 && length > m_left) length = static_cast<int32_t>(m_left);
    const int32_t n = BRHTTPRequest__receiveResponseBody(m_req, buffer, length);
    if (n > 0 && m_left > 0) m_left -= n;
    return n;
  }
  int32_t write(const void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t, int32_t) override { return BR_ENOTIMPL; }
  int32_t close() override {
    if (m_req || m_conn) m_svc->endRequest(m_conn, m_req);
    return 0;
  }
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }

 private:
  HBRef<IHBVFS2> m_store;
  ZVVFSService *m_svc;
  BRHTTPConnection *m_conn;
  BRHTTPRequest *m_req;
  int64_t m_skip, m_left;
};

class ZVVFSWriteStream final : public HBObject<ZVVFSWriteStream, IHBStream> {
 public:
  ZVVFSWriteStream(ZVVFSService *store, BRHTTPConnection *conn, BRHTTPRequest *req, int64_t length,
                   ZVVFSServiceResource *res)
      : m_store(HBRef<IHBVFS2>::retain(store)),
        m_svc(store),
        m_conn(conn),
        m_req(req),
        m_length(length),
        m_res(HBRef<IHBVFSResource>::retain(res)) {}
  ~ZVVFSWriteStream() override { abandon(); }
  int32_t read(void *, int32_t) override { return BR_EINVAL; }
  int32_t write(const void *buffer, int32_t length) override {
    if (!m_req) return BR_EBADSTATE;
    if (m_length >= 0 && m_sent + length > m_length) return BR_ERANGE;
    const int32_t n = BRHTTPRequest__writeRequestBody(m_req, buffer, length);
    if (n > 0) m_sent += n;
    return n;
  }
  int64_t seek(int64_t, int32_t) override { return BR_ENOTIMPL; }
  // Finishes the upload and reads the answer. An upload short of its length is dropped (the
  // connection is closed, so the service stores nothing).
  int32_t close() override {
    if (!m_req) return m_result;
    if (m_length >= 0 && m_sent < m_length) {
      abandon();
      return m_result = BR_ECONNABORTED;
    }
    BRHTTPConnection__setTimeouts(m_conn, HBHTTPCONNPOOL_DEFAULT_TIMEOUT, kPutAnswerTimeoutMs,
                                  HBHTTPCONNPOOL_DEFAULT_TIMEOUT);
    char reason[128] = "";
    int32_t rc = BRHTTPRequest__receiveResponseHeader(m_req, reason, sizeof reason);
    if (rc >= 0) {
      const int32_t status = rc;
      while ((rc = BRHTTPRequest__receiveResponseBody(m_req, nullptr, BRHTTP_BUFSIZE)) > 0) {
      }
      brlog(kTag, status / 100 == 2 ? BRLOG_VERBOSE : BRLOG_WARNING,
            "   -- Stream Response: %d %s\n", status, reason);
      rc = status / 100 == 2 ? BR_OK : zvvfsservice__mapStatus(status);
      if (rc == 0) m_res->setSize(m_sent);
    }
    BRHTTPConnection__setTimeouts(m_conn, HBHTTPCONNPOOL_DEFAULT_TIMEOUT,
                                  HBHTTPCONNPOOL_DEFAULT_TIMEOUT, HBHTTPCONNPOOL_DEFAULT_TIMEOUT);
    m_svc->endRequest(m_conn, m_req);
    return m_result = rc;
  }
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }

 private:
  void abandon() {
    if (!m_req) return;
    // A request destroyed in the middle of its body closes its connection.
    m_svc->endRequest(m_conn, m_req);
  }
  HBRef<IHBVFS2> m_store;
  ZVVFSService *m_svc;
  BRHTTPConnection *m_conn;
  BRHTTPRequest *m_req;
  const int64_t m_length;
  int64_t m_sent = 0;
  int32_t m_result = BR_ECONNABORTED;
  HBRef<IHBVFSResource> m_res;
};


// An upload in pieces to a service that takes them: the bytes written go out as PUTs of
// HBSVCUPLOAD_PIECE bytes with "Content-Range", and the bytes of the piece under way are kept
// until the service has them, so that a cut piece is taken up again from the service's offset
// (after a pause of 1, 2, 4, 8, 16 s) without the writer noticing. The staging file behind
// the writer does not outlive the helper, so nothing of this is kept across a restart.
class ZVVFSPieceStream final : public HBObject<ZVVFSPieceStream, IHBStream> {
 public:
  ZVVFSPieceStream(ZVVFSService *store, const std::string &fileId, const char *stream,
                   int64_t length, const char *options, ZVVFSServiceResource *res)
      : m_store(HBRef<IHBVFS2>::retain(store)),
        m_svc(store),
        m_fileId(fileId),
        m_stream(stream ? stream : ""),
        m_length(length),
        m_options(options ? options : ""),
        m_res(HBRef<IHBVFSResource>::retain(res)) {
    brlog(kTag, BRLOG_INFO, "   -- Sending Stream '%s' of %s in pieces from byte 0 of %lld\n",
          m_stream.empty() ? "(null)" : m_stream.c_str(), m_fileId.c_str(),
          static_cast<long long>(m_length));
  }
  ~ZVVFSPieceStream() override { drop(); }
  int32_t read(void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t, int32_t) override { return BR_ENOTIMPL; }
  int32_t write(const void *buffer, int32_t length) override {
    if (m_result != 1) return m_result < 0 ? m_result : BR_EBADSTATE;
    if (length < 0 || m_held + static_cast<int64_t>(m_buf.size()) + length > m_length)
      return BR_ERANGE;
    const char *p = static_cast<const char *>(buffer);
    int32_t taken = 0;
    while (taken < length) {
      // Up to the end of the piece under way; a full piece is finished before more is taken.
      const int64_t room = pieceEnd() - (m_held + static_cast<int64_t>(m_buf.size()));
      const int32_t n = static_cast<int32_t>(std::min<int64_t>(room, length - taken));
      m_buf.append(p + taken, static_cast<size_t>(n));
      taken += n;
      const int32_t rc = pump();
      if (rc < 0) return m_result = rc;
    }
    return length;
  }
  int32_t close() override {
    if (m_result != 1) return m_result;
    if (m_held + static_cast<int64_t>(m_buf.size()) < m_length) {
      drop();
      return m_result = BR_ECONNABORTED;
    }
    // An empty stream, or one whose last piece is still to be answered.
    const int32_t rc = m_done ? BR_OK : BR_ECONNABORTED;
    drop();
    if (rc == 0) m_res->setSize(m_length);
    return m_result = rc;
  }
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }

 private:
  int64_t pieceEnd() const { return std::min<int64_t>(m_held + HBSVCUPLOAD_PIECE, m_length); }
  const char *stream() const { return m_stream.empty() ? nullptr : m_stream.c_str(); }
  void drop() {
    if (m_req || m_conn) m_svc->endRequest(m_conn, m_req);
  }

  // A PUT with `range` and `count` body bytes to come; 0 or a network code.
  int32_t open(const std::string &range, int64_t count) {
    int32_t rc = m_svc->startRequest("PUT", m_fileId, stream(), &m_conn, &m_req);
    if (rc < 0) return rc;
    rc = BRHTTPRequest__addRequestHeader(m_req, "Content-Length", std::to_string(count).c_str());
    if (rc == 0) rc = BRHTTPRequest__addRequestHeader(m_req, "Content-Range", range.c_str());
    if (rc == 0 && !m_options.empty()) {
      const std::string type = "512; " + m_options;
      rc = BRHTTPRequest__addRequestHeader(m_req, "X-SQClientType", type.c_str());
    }
    if (rc == 0 && count == 0) rc = BRHTTPRequest__sendRequest(m_req);
    if (rc < 0) drop();
    return rc;
  }

  // The answer of the request under way: its status (the offset in *offset), or a network code.
  int32_t answer(int64_t *offset, int64_t *total) {
    BRHTTPConnection__setTimeouts(m_conn, HBHTTPCONNPOOL_DEFAULT_TIMEOUT, kPutAnswerTimeoutMs,
                                  HBHTTPCONNPOOL_DEFAULT_TIMEOUT);
    char reason[128] = "";
    int32_t rc = BRHTTPRequest__receiveResponseHeader(m_req, reason, sizeof reason);
    if (rc >= 0) {
      *offset = hbsvcupload__header(m_req, "X-Upload-Offset");
      *total = hbsvcupload__header(m_req, "X-Upload-Total");
      const int32_t status = rc;
      while ((rc = BRHTTPRequest__receiveResponseBody(m_req, nullptr, BRHTTP_BUFSIZE)) > 0) {
      }
      brlog(kTag, status / 100 == 2 ? BRLOG_VERBOSE : BRLOG_WARNING,
            "   -- Stream Response: %d %s (held %lld)\n", status, reason,
            static_cast<long long>(*offset));
      if (rc == 0) rc = status;
    }
    if (m_conn)
      BRHTTPConnection__setTimeouts(m_conn, HBHTTPCONNPOOL_DEFAULT_TIMEOUT,
                                    HBHTTPCONNPOOL_DEFAULT_TIMEOUT, HBHTTPCONNPOOL_DEFAULT_TIMEOUT);
    drop();
    return rc;
  }

  // Sends what the piece under way has not sent yet, and finishes the piece once it is whole.
  int32_t pump() {
    for (;;) {
      int32_t rc = BR_OK;
      const int64_t end = pieceEnd();
      if (!m_req) {
        m_reqSent = 0;
        rc = open("bytes " + std::to_string(m_held) + "-" + std::to_string(end - 1) + "/" +
                      std::to_string(m_length),
                  end - m_held);
      }
      while (rc >= 0 && m_reqSent < static_cast<int64_t>(m_buf.size())) {
        const int64_t left = static_cast<int64_t>(m_buf.size()) - m_reqSent;
        const int32_t n = BRHTTPRequest__writeRequestBody(
            m_req, m_buf.data() + m_reqSent, static_cast<int32_t>(std::min<int64_t>(left, 1 << 20)));
        if (n <= 0)
          rc = n < 0 ? n : BR_ECONNABORTED;
        else
          m_reqSent += n;
      }
      if (rc >= 0 && m_held + m_reqSent < end) return BR_OK;  // more to come from the writer
      int64_t offset = -1, total = -1;
      if (rc >= 0) rc = answer(&offset, &total);
      if (rc >= 200 && rc <= 299 && rc != 202) {
        m_done = true;
        m_held = m_length;
        m_buf.clear();
        return BR_OK;
      }
      if (rc == 202 && offset == end) {
        m_held = end;
        m_buf.clear();
        m_attempts = 0;
        return BR_OK;
      }
      if (rc >= 0 && rc != 202 && rc != 409) return zvvfsservice__mapStatus(rc);
      // Cut, timed out, or the service holds something else: ask it and go on from there.
      drop();
      if ((rc = recover(rc)) < 0) return rc;
    }
  }

  // After a failed piece: pauses, asks the service what it holds and keeps only the bytes
  // beyond it. Fails when the attempts are used up or the service holds less than is kept.
  int32_t recover(int32_t why) {
    for (;;) {
      if (++m_attempts > HBSVCUPLOAD_RETRIES) {
        brlog(kTag, BRLOG_WARNING, "   -- Short send - the upload of %s stopped at %lld of %lld\n",
              m_fileId.c_str(), static_cast<long long>(m_held), static_cast<long long>(m_length));
        return hbsvcupload__retryable(why) ? why : BR_EFAULT;
      }
      brlog(kTag, BRLOG_WARNING,
            "   -- Stream of %s cut at byte %lld of %lld (%d), asking the service again in %d s "
            "(attempt %d of %d)\n",
            m_fileId.c_str(), static_cast<long long>(m_held + m_reqSent),
            static_cast<long long>(m_length), why, 1 << (m_attempts - 1), m_attempts,
            HBSVCUPLOAD_RETRIES);
      (void)hbsvcupload__pause(m_attempts, nullptr);
      int64_t offset = -1, total = -1;
      int32_t rc = open("bytes */" + std::to_string(m_length), 0);
      if (rc >= 0) rc = answer(&offset, &total);
      if (rc < 0) {
        why = rc;
        continue;
      }
      if (rc != 202) return zvvfsservice__mapStatus(rc);
      if (total != m_length) offset = 0;
      const int64_t kept = m_held + static_cast<int64_t>(m_buf.size());
      if (offset < m_held || offset > kept) {
        brlog(kTag, BRLOG_WARNING,
              "   -- The service holds %lld of %lld, not what was kept of %s: giving up\n",
              static_cast<long long>(offset), static_cast<long long>(m_length), m_fileId.c_str());
        return BR_ECONNABORTED;
      }
      m_buf.erase(0, static_cast<size_t>(offset - m_held));
      m_held = offset;
      m_reqSent = 0;
      return BR_OK;
    }
  }

  HBRef<IHBVFS2> m_store;
  ZVVFSService *m_svc;
  const std::string m_fileId, m_stream;
  const int64_t m_length;
  const std::string m_options;
  HBRef<IHBVFSResource> m_res;
  BRHTTPConnection *m_conn = nullptr;
  BRHTTPRequest *m_req = nullptr;
  std::string m_buf;       // bytes [m_held, m_held + size) written and not known to be held
  int64_t m_held = 0;      // bytes the service holds
  int64_t m_reqSent = 0;   // of m_buf, sent in the request under way
  int32_t m_attempts = 0;
  bool m_done = false;
  int32_t m_result = 1;  // 1 while open
};

// ---- Resources ----

ZVVFSServiceFile::ZVVFSServiceFile(ZVVFSService *store, const char *fileId, const char *parentId,
                                   const char *name, int32_t type, int64_t ctime, int64_t mtime)
    : HBVFSBaseFile(fileId, parentId, name, type, ctime, mtime),
      m_storeRef(HBRef<IHBVFS2>::retain(store)),
      m_store(store) {}

ZVVFSServiceResource::ZVVFSServiceResource(ZVVFSService *store, const std::string &fileId,
                                           int32_t index, const char *mime, int64_t size)
    : HBVFSBaseResource(index, mime, size),
      m_storeRef(HBRef<IHBVFS2>::retain(store)),
      m_store(store),
      m_fileId(fileId) {}

int32_t ZVVFSServiceResource::openStream(IHBStream **out, int32_t mode, const char *options) {
  if (!out) return BR_EINVAL;
  if (!m_store) return BR_EBADSTATE;
  const char *stream = getIndex() == HBVFS_RES_PRIMARY ? nullptr : hbvfs__resourceName(getIndex());
  BRHTTPConnection *conn = nullptr;
  BRHTTPRequest *req = nullptr;
  if (mode == HBVFS_OPEN_READ) {
    // "range=FIRST-LAST": only those bytes (a reader of a large file that seeks).
    long long first = -1, last = -1;
    const char *range = options ? std::strstr(options, "range=") : nullptr;
    if (range &&
        (std::sscanf(range + 6, "%lld-%lld", &first, &last) != 2 || first < 0 || last < first))
      return BR_EINVAL;
    int32_t rc = m_store->startRequest("GET", m_fileId, stream, &conn, &req);
    if (rc < 0) return rc;
    if (range) {
      char value[64];
      std::snprintf(value, sizeof value, "bytes=%lld-%lld", first, last);
      rc = BRHTTPRequest__addRequestHeader(req, "Range", value);
      if (rc < 0) {
        m_store->endRequest(conn, req);
        return rc;
      }
    }
    char reason[128] = "";
    rc = BRHTTPRequest__receiveResponseHeader(req, reason, sizeof reason);
    // Past the end of what the service has: nothing to read.
    if (range && rc == 416) {
      m_store->endRequest(conn, req);
      return BR_ERANGE;
    }
    // A service that answers a range with the whole body: the range is cut out of it here.
    const bool whole = range && rc == 200;
    if (rc >= 0 && rc / 100 != 2) {
      brlog(kTag, BRLOG_WARNING, "   -- Stream Response: %d %s\n", rc, reason);
      rc = zvvfsservice__mapStatus(rc);
    }
    if (rc < 0) {
      m_store->endRequest(conn, req);
      return rc;
    }
    const int64_t length = BRHTTPRequest__getContentLength(req);
    if (length >= 0 && (!range || whole)) setSize(length);
    auto *s = new (std::nothrow)
        ZVVFSReadStream(m_store, conn, req, whole ? first : 0, range ? last - first + 1 : -1);
    if (!s) {
      m_store->endRequest(conn, req);
      return BR_ENOMEM;
    }
    *out = s;
    return BR_OK;
  }
  if (mode != HBVFS_OPEN_WRITE) return BR_EINVAL;
  const int64_t length = getSize();
  if (length >= HBSVCUPLOAD_THRESHOLD && hbsvcupload__resumable(m_store->apiUrl())) {
    auto *s = new (std::nothrow) ZVVFSPieceStream(m_store, m_fileId, stream, length, options, this);
    if (!s) return BR_ENOMEM;
    *out = s;
    return BR_OK;
  }
  int32_t rc = m_store->startRequest("PUT", m_fileId, stream, &conn, &req);
  if (rc < 0) return rc;
  if (length >= 0) {
    rc = BRHTTPRequest__addRequestHeader(req, "Content-Length", std::to_string(length).c_str());
  } else {
    rc = BRHTTPRequest__addRequestHeader(req, "Transfer-Encoding", "chunked");
  }
  if (rc == 0 && options && *options) {
    const std::string type = std::string("512; ") + options;
    rc = BRHTTPRequest__addRequestHeader(req, "X-SQClientType", type.c_str());
  }
  if (rc < 0) {
    m_store->endRequest(conn, req);
    return rc;
  }
  auto *s = new (std::nothrow) ZVVFSWriteStream(m_store, conn, req, length, this);
  if (!s) {
    m_store->endRequest(conn, req);
    return BR_ENOMEM;
  }
  *out = s;
  return BR_OK;
}

// ---- Files ----

void ZVVFSServiceFile::build(IHBMap *props, int64_t size, IHBMap *record) {
  setPropertiesMap(props);
  if (getType() != HBVFS_TYPE_FILE) return;
  const char *mime = getMimeType();
  auto add = [&](int32_t index, const char *type, int64_t bytes) {
    HBRef<IHBVFSResource> r = HBRef<IHBVFSResource>::adopt(
        new (std::nothrow) ZVVFSServiceResource(m_store, getFileID(), index, type, bytes));
    if (r) setResourceSlot(index, r.get());
  };
  add(HBVFS_RES_PRIMARY, mime, size);
  // Renditions are named in the record by "thumbnail", "preview" and "stream".
  static const struct {
    const char *field;
    int32_t index;
    const char *type;
  } kRenditions[] = {{"thumbnail", HBVFS_RES_TN, "image/jpeg"},
                     {"preview", HBVFS_RES_PV, "image/jpeg"},
                     {"stream", HBVFS_RES_ST, "video/mp4"}};
  for (const auto &r : kRenditions) {
    const char *v = record->getString(r.field);
    if (v && *v) add(r.index, r.type, -1);
  }
}

int32_t ZVVFSServiceFile::getChildByName(const char *name, IHBVFSFile **out) {
  if (!out || !m_store) return BR_EINVAL;
  if (getType() == HBVFS_TYPE_FILE) return BR_ENOENT;
  // The service compares names exactly; so does this lookup.
  return m_store->fileByName(getFileID(), name, nullptr, out);
}

// The children of a folder, fetched a page at a time as they are asked for.
class ZVVFSChildIter final : public HBObject<ZVVFSChildIter, IHBIter> {
 public:
  ZVVFSChildIter(ZVVFSService *store, const char *parentId, int32_t offset, int32_t count)
      : m_store(HBRef<IHBVFS2>::retain(store)),
        m_svc(store),
        m_parent(parentId),
        m_page(offset / ZVVFS_PAGE),
        m_skip(offset % ZVVFS_PAGE),
        m_left(count > 0 ? count : -1) {}

  int32_t next(hbtype_t *hbtype, void **out) override {
    while (m_pos >= m_items.size()) {
      if (m_ended) {
        const int32_t rc = m_error;
        m_error = BR_ERANGE;
        return rc;
      }
      fetch();
    }
    if (m_left == 0) return BR_ERANGE;
    if (m_left > 0) --m_left;
    HBRef<IHBVFSFile> &f = m_items[m_pos++];
    if (hbtype) *hbtype = HBIFC_VFSFILE;
    if (out) *out = f.detach();
    return BR_OK;
  }
  int32_t nextN(hbtype_t *hbtypes, void **outs, int32_t count) override {
    return hbvfs__nextN(this, hbtypes, outs, count);
  }
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ || ifc == HBIFC_ITER) return offer<IHBIter>(out);
    return BR_ENOENT;
  }

 private:
  void fetch() {
    m_items.clear();
    m_pos = 0;
    if (m_page >= ZVVFS_MAX_PAGES) {
      brlog(kTag, BRLOG_WARNING, "Folder '%s': stopping after %d pages\n", m_parent.c_str(),
            m_page);
      m_ended = true;
      return;
    }
    int32_t sent = 0;
    const int32_t rc = m_svc->listPage(m_parent.c_str(), m_page, &m_items, &sent);
    if (rc < 0) {
      m_error = rc;
      m_ended = true;
      m_items.clear();
      return;
    }
    // A service that ignores the page number would send the first page for ever.
    const std::string first = m_items.empty() ? std::string() : m_items[0]->getFileID();
    if (m_page > 0 && !first.empty() && first == m_lastFirst) {
      brlog(kTag, BRLOG_WARNING, "Folder '%s': page %d repeats the one before, stopping\n",
            m_parent.c_str(), m_page);
      m_items.clear();
      m_ended = true;
      return;
    }
    m_lastFirst = first;
    if (sent < ZVVFS_PAGE) m_ended = true;
    ++m_page;
    m_pos = std::min<size_t>(m_skip, m_items.size());
    m_skip = 0;
  }

  HBRef<IHBVFS2> m_store;
  ZVVFSService *m_svc;
  const std::string m_parent;
  int32_t m_page;
  int32_t m_skip;
  int32_t m_left;
  std::vector<HBRef<IHBVFSFile>> m_items;
  size_t m_pos = 0;
  bool m_ended = false;
  int32_t m_error = BR_ERANGE;
  std::string m_lastFirst;
};

int32_t ZVVFSServiceFile::iterateChildren(IHBIter **out, int32_t, const char *, const char *,
                                          int32_t offset, int32_t count) {
  if (!out || !m_store || offset < 0) return BR_EINVAL;
  if (getType() == HBVFS_TYPE_FILE) return hbvfs__fileList(out, {});
  auto *it = new (std::nothrow) ZVVFSChildIter(m_store, getFileID(), offset, count);
  if (!it) return BR_ENOMEM;
  *out = it;
  return BR_OK;
}

int32_t ZVVFSServiceFile::deleteFile(int32_t) {
  return m_store ? m_store->removeFile(getFileID()) : BR_EBADSTATE;
}

int32_t ZVVFSServiceFile::removeChild(IHBVFSFile *child, int32_t) {
  if (!child || !m_store || std::strcmp(child->getParentID(), getFileID()) != 0) return BR_EINVAL;
  return m_store->removeFile(child->getFileID());
}

int32_t ZVVFSServiceFile::createChild(const char *name, int32_t type, IHBMap *properties,
                                      IHBVFSFile **out) {
  if (!m_store) return BR_EBADSTATE;
  if (getType() == HBVFS_TYPE_FILE) return BR_EINVAL;
  return m_store->createFile(this, name, type, properties, out);
}

int32_t ZVVFSServiceFile::createResource(int32_t index, IHBVFSResource **out) {
  if (!out) return BR_EINVAL;
  if (!m_store || getType() != HBVFS_TYPE_FILE) return BR_EBADSTATE;
  if (index != HBVFS_RES_PRIMARY && index != HBVFS_RES_TN && index != HBVFS_RES_PV &&
      index != HBVFS_RES_ST)
    return BR_EUNSUPPORTED;
  auto *r = new (std::nothrow) ZVVFSServiceResource(
      m_store, getFileID(), index, index == HBVFS_RES_PRIMARY ? getMimeType() : "image/jpeg", -1);
  if (!r) return BR_ENOMEM;
  *out = r;
  return BR_OK;
}

// ---- The store ----

int32_t ZVVFSService::fileFromRecord(IHBMap *record, IHBVFSFile **out) {
  return newFileFromRecord(this, record, out);
}

// `store` may be null: a file of no store, whose streams cannot be opened.
int32_t newFileFromRecord(ZVVFSService *store, IHBMap *record, IHBVFSFile **out) {
  if (!record || !out) return BR_EINVAL;
  const char *id = record->getString("fileid");
  const char *parent = record->getString("parentid");
  const char *name = record->getString("name");
  if (!name || !*name) name = record->getString("filename");
  if (!zvvfsservice__isPlainID(id) || !name || !*name ||
      (parent && *parent && !zvvfsservice__isPlainID(parent)))
    return BR_EINVAL;
  const char *type = record->getString("type");
  const int32_t kind = type && !std::strcmp(type, "0") ? HBVFS_TYPE_FILE : HBVFS_TYPE_FOLDER;
  const int64_t ctime = parseNumber(record->getString("ctime"));
  const int64_t mtime = parseNumber(record->getString("mtime"));
  HBRef<HBMap> props;
  int32_t rc = HBMap::create("properties", 256, 256, props);
  if (rc < 0) return rc;
  rc = hbmap__forEach(record, [&](const char *key, hbtype_t t, void *value) -> int32_t {
    if (t != HBTYPE_TEXT || recordOnly(key)) return 0;
    return props->putString(key, static_cast<const char *>(value));
  });
  if (rc < 0) return rc;
  auto *f = new (std::nothrow) ZVVFSServiceFile(store, id, parent ? parent : "", name, kind,
                                                ctime < 0 ? 0 : ctime, mtime < 0 ? 0 : mtime);
  if (!f) return BR_ENOMEM;
  f->build(props.get(), parseNumber(record->getString("size")), record);
  *out = f;
  return BR_OK;
}

int32_t ZVVFSService::createFile(IHBVFSFile *parent, const char *name, int32_t type,
                                 IHBMap *properties, IHBVFSFile **out) {
  if (!out || !name || !*name || std::strchr(name, '/') || !std::strcmp(name, ".") ||
      !std::strcmp(name, ".."))
    return BR_EINVAL;
  const char *parentId = parent ? parent->getFileID() : "0";
  if (!zvvfsservice__isPlainID(parentId)) return BR_EINVAL;
  const bool folder = type != HBVFS_TYPE_FILE;
  const char *given = properties ? properties->getString("ctime") : nullptr;
  const char *givenM = properties ? properties->getString("mtime") : nullptr;
  const std::string now = std::to_string(brtime__nowMs());
  const std::string ctime = given && parseNumber(given) >= 0 ? given : now;
  const std::string mtime = givenM && parseNumber(givenM) >= 0 ? givenM : ctime;
  const char *overwrite = properties ? properties->getString("overwrite") : nullptr;

  // Writing over a file: the one of that name, if there is one. (The service itself never
  // replaces: it stores a second file under "NAME (2).EXT".)
  if (!folder && overwrite && !std::strcmp(overwrite, "1") &&
      fileByName(parentId, name, "0", out) == 0)
    return BR_OK;
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = newCall(rpc);
  if (rc < 0) return rc;
  if (folder) {
    rc = hbsvc__createFolder(rpc.get(), token(), getID1(), getID2(), parentId, name, ctime.c_str());
  } else {
    std::vector<std::string> keep;  // owns the pairs' texts
    keep.reserve(130);
    keep.push_back("type");
    keep.push_back("0");
    keep.push_back("ctime");
    keep.push_back(ctime);
    keep.push_back("mtime");
    keep.push_back(mtime);
    if (properties) {
      rc = hbmap__forEach(properties, [&](const char *key, hbtype_t t, void *value) -> int32_t {
        if (keep.size() >= 128) return 0;  // the service keeps at most 64 properties
        const char *text = t == HBTYPE_TEXT ? static_cast<const char *>(value) : nullptr;
        if (t == HBIFC_STR) text = static_cast<IHBStr *>(value)->getText();
        if (!text || notAnArgument(key)) return 0;
        keep.push_back(key);
        keep.push_back(text);
        return 0;
      });
      if (rc < 0) return rc;
    }
    std::vector<const char *> fields;
    for (const std::string &s : keep) fields.push_back(s.c_str());
    fields.push_back(nullptr);
    rc = hbsvc__createFile(rpc.get(), token(), getID1(), getID2(), parentId, name, fields.data());
  }
  if (rc < 0 && rpc->isFault() && rpc->getErrorCode() == HBSVC_ERR_EXISTS &&
      (folder || (overwrite && !std::strcmp(overwrite, "1")))) {
    // An existing folder is reused; an existing file is written over when asked to.
    return fileByName(parentId, name, folder ? "1" : "0", out);
  }
  return fileFromAnswer(rpc.get(), rc, "createFile", name, out);
}

}  // namespace

bool zvvfsservice__isPlainID(const char *id) {
  if (!id || !*id) return false;
  const size_t n = std::strlen(id);
  if (n > 128 || !std::strcmp(id, ".") || !std::strcmp(id, "..")) return false;
  for (const char *p = id; *p; ++p) {
    const char c = *p;
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
          c == '_' || c == '~' || c == '-'))
      return false;
  }
  return true;
}

int32_t zvvfsservice__mapFault(int32_t faultCode) {
  switch (faultCode) {
    case HBSVC_ERR_NOT_AUTHORIZED:
      return BR_ENOTAUTH;
    case HBSVC_ERR_NO_SUCH_FILE:
    case 803:
      return BR_ENOENT;
    case HBSVC_ERR_EXISTS:
      return BR_EEXISTS;
    case 507:
      return BR_ENOSPC;
    case 810:
      return BR_EROFS;
    case 400:
    case 805:
      return BR_EINVAL;
    case HBSVC_ERR_OFFLINE:
      return ZVVFS_EOFFLINE;
    default:
      return BR_EFAULT;
  }
}

int32_t zvvfsservice__mapStatus(int32_t status) {
  switch (status) {
    case 401:
      return BR_ENOTAUTH;
    case 403:
      return BR_EROFS;
    case 404:
      return BR_ENOENT;
    case 503:
      return ZVVFS_EOFFLINE;
    case 507:
      return BR_ENOSPC;
    default:
      return status < 0 ? status : BR_EFAULT;
  }
}

int32_t zvvfsservice__fileFromRecord(IHBMap *record, IHBVFSFile **out) {
  return newFileFromRecord(nullptr, record, out);
}

int32_t zvvfsservice__open(IHBVFS2 **out, const char *valtoken, const char *deviceId,
                           const char *serviceId, IHBURL *url, IHBHTTPConnPool *pool) {
  if (!out || !valtoken || !*valtoken || !zvvfsservice__isPlainID(deviceId) ||
      !zvvfsservice__isPlainID(serviceId))
    return BR_EINVAL;
  HBRef<IHBURL> callUrl;
  int32_t rc = url ? hburl__create(callUrl.out(), url) : hbsvc__getServiceURL(callUrl.out());
  if (rc < 0) return rc;
  HBRef<IHBHTTPConnPool> connPool = HBRef<IHBHTTPConnPool>::retain(pool);
  if (!connPool) connPool = HBRef<IHBHTTPConnPool>::adopt(hbrpc__getConnPool());
  // Without any pool the store keeps one of its own, so that content requests reuse connections.
  if (!connPool && (rc = hbhttpconnpool__create(connPool.out())) < 0) return rc;
  HBRef<HBRPCGeneric> rpc;
  rc = HBRPCGeneric::create(callUrl.get(), connPool.get(), rpc);
  if (rc == 0) rc = hbsvc__getService(rpc.get(), valtoken, deviceId, serviceId);
  if (rc < 0) {
    const int32_t mapped = rpc && rpc->isFault() ? zvvfsservice__mapFault(rpc->getErrorCode()) : rc;
    brlog(kTag, BRLOG_WARNING, "getService(%s:%s) failed: %d\n", deviceId, serviceId, mapped);
    return mapped;
  }
  HBRef<HBMap> svc = HBRef<HBMap>::adopt(rpc->getArgmentMap("service"));
  const char *apiurl = svc ? svc->getString("apiurl") : nullptr;
  const char *name = svc ? svc->getString("name") : nullptr;
  HBRef<IHBURL> apiUrl;
  if (!apiurl || !*apiurl || hburl__parse(apiUrl.out(), apiurl) < 0) apiUrl = callUrl;
  auto *store = new (std::nothrow)
      ZVVFSService(valtoken, deviceId, serviceId, name && *name ? name : serviceId, apiUrl.get(),
                   connPool.get());
  if (!store) return BR_ENOMEM;
  *out = store;
  return BR_OK;
}
