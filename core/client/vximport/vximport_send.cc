// The upload of one stream of an imported file: HTTP PUT to the drive's files address.
#include <openssl/evp.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brhttp.h"
#include "brlog.h"
#include "hbstream.h"
#include "hbsvcupload.h"
#include "hburl.h"
#include "vxclienttask.h"
#include "vximport.h"
#include "vxsvccache.h"
#include "vxuploadrecords.h"

namespace {

constexpr const char *kTag = "IMPORT";
constexpr int32_t kResponseTimeoutMs = 120000;

bool isNumericIPv4(const char *host) {
  int parts = 0;
  const char *p = host;
  while (p && *p) {
    int digits = 0, value = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) value = value * 10 + (*p++ - '0'), ++digits;
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (*p == '.')
      ++p;
    else if (*p)
      return false;
  }
  return parts == 4;
}

// The request target: every byte outside the unreserved set and "/" percent-encoded.
std::string encodeTarget(const std::string &path) {
  static const char *hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
        std::strchr("-._~/", c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

struct Copy {
  const VXImportContext *ctx;
  bool canceled = false;
};

int copyProgress(int64_t sent, void *user) {
  Copy *copy = static_cast<Copy *>(user);
  if (copy->ctx->bytesSent) copy->ctx->bytesSent->store(sent, std::memory_order_relaxed);
  if (copy->ctx->canceled && copy->ctx->canceled()) copy->canceled = true;
  return copy->canceled ? 1 : 0;
}

// Why fewer bytes than the length went out: no space, the source gone or changed, or the
// connection.
int32_t diagnoseShortSend(const VXImportContext *ctx, const char *path, int64_t sent,
                          int64_t length) {
  const int64_t free = vxsvccache__getFreeSpace(ctx->deviceId, ctx->serviceId);
  brlog(kTag, BRLOG_WARNING,
        "   -- Short send - we may have timed out or run out of space: [%lld/%lld - %lld free]\n",
        static_cast<long long>(sent), static_cast<long long>(length), static_cast<long long>(free));
  if (ctx->signature) {
    VXImportFileSignature now;
    if (vximport__fileSignature(path, &now) < 0) return BR_ENOFILE;
    if (!(now == *ctx->signature)) return BR_EBUSY;
  }
  if (free < 0) return BR_EIO;
  if (free < length - sent) return BR_ENOSPC;
  HBRef<IHBStream> probe;
  if (!path || hbstream__openFile(probe.out(), path, HBFILE_O_READ) < 0) return BR_ENOFILE;
  char scratch;
  const int32_t n = probe->read(&scratch, 1);
  if (n == BR_ENOENT || n == BR_EAGAIN || n == BR_ENOFILE) return BR_ENOFILE;
  return BR_ETIMEDOUT;
}

// The address of the service for the drive and the path of the content of `fileId` (stream
// `streamName`, or the main content) on it; *cookie false when the token goes into the path.
int32_t contentTarget(const VXImportContext *ctx, const char *fileId, const char *streamName,
                      HBRef<IHBURL> &endpoint, std::string *target, bool *cookie) {
  int32_t rc;
  if (ctx->uploadURL)
    endpoint = HBRef<IHBURL>::retain(ctx->uploadURL);
  else if ((rc = vximport__serviceURL(ctx->deviceId, ctx->serviceId, endpoint.out())) < 0)
    return rc;
  const char *host = endpoint->getHost() ? endpoint->getHost() : "";
  *cookie = true;
  if ((ctx->flags & IMPORT_FLAG_OLD_FIRMWARE) && isNumericIPv4(host)) {
    brlog(kTag, BRLOG_INFO, "  -- Older firmware local(%s) -- no cookie\n", host);
    *cookie = false;
  }
  std::string base = endpoint->getPath() ? endpoint->getPath() : "";
  if (base.size() > 255) base.resize(255);
  const size_t api = base.find("/api");
  if (api != std::string::npos) {
    base = base.substr(0, api) + "/files";
  } else {
    while (!base.empty() && base.back() == '/') base.pop_back();
    base += "/files";
  }
  *target = base;
  if (!*cookie) *target += std::string("/") + (ctx->valtoken ? ctx->valtoken : "");
  *target += std::string("/") + ctx->deviceId + "/" + ctx->serviceId + "/" + fileId;
  if (streamName) *target += std::string("/") + streamName;
  return BR_OK;
}

// The session and the client, as every request for content carries them.
int32_t addClientHeaders(const VXImportContext *ctx, BRHTTPRequest *req, bool cookie,
                         const char *purpose) {
  int32_t rc = BR_OK;
  if (cookie) {
    const std::string value = std::string("valtoken=") + (ctx->valtoken ? ctx->valtoken : "");
    rc = BRHTTPRequest__addRequestHeader(req, "Cookie", value.c_str());
    if (rc >= 0) rc = BRHTTPRequest__addRequestHeader(req, "X-VXVALTOKEN", ctx->valtoken);
  }
  char agent[256];
  if (rc >= 0 && brhttp__getUserAgent(agent, sizeof agent) > 0) {
    const std::string value = std::string(BRHTTP_USER_AGENT_PREFIX) + agent;
    rc = BRHTTPRequest__addRequestHeader(req, "X-SQUser-Agent", value.c_str());
  }
  if (rc >= 0) rc = BRHTTPRequest__addRequestHeader(req, "X-SQClientType", purpose);
  return rc;
}


// ---- Uploads in pieces ----

// A SHA-256 under way over the first bytes of an upload, that can be copied at a piece's start.
class Sha {
 public:
  Sha() : m_ctx(EVP_MD_CTX_new()) { reset(); }
  Sha(const Sha &o) : m_ctx(EVP_MD_CTX_new()) {
    if (m_ctx && o.m_ctx) EVP_MD_CTX_copy_ex(m_ctx, o.m_ctx);
  }
  Sha &operator=(const Sha &o) {
    if (this != &o && m_ctx && o.m_ctx) EVP_MD_CTX_copy_ex(m_ctx, o.m_ctx);
    return *this;
  }
  ~Sha() { EVP_MD_CTX_free(m_ctx); }
  void reset() {
    if (m_ctx) EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr);
  }
  void update(const void *data, size_t n) {
    if (m_ctx) EVP_DigestUpdate(m_ctx, data, n);
  }
  // The digest so far in hex; the state goes on unchanged.
  std::string hex() const {
    Sha copy(*this);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!copy.m_ctx || EVP_DigestFinal_ex(copy.m_ctx, md, &n) != 1) return "";
    static const char *digits = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) out += digits[md[i] >> 4], out += digits[md[i] & 15];
    return out;
  }

 private:
  EVP_MD_CTX *m_ctx;
};

constexpr int32_t kBlock = 64 * 1024;

// Adds bytes [from, to) of the upload (read from `data`, whose byte 0 is at `at`) to `sha`.
int32_t hashRange(IHBStream *data, int64_t at, int64_t from, int64_t to, Sha *sha) {
  if (to <= from) return BR_OK;
  if (data->seek(at + from, HBSTREAM_SEEK_SET) != at + from) return BR_EIO;
  std::string buf(kBlock, '\0');
  for (int64_t pos = from; pos < to;) {
    const int32_t want = to - pos < kBlock ? static_cast<int32_t>(to - pos) : kBlock;
    const int32_t n = data->read(buf.data(), want);
    if (n <= 0 || n > want) return n < 0 ? n : BR_EIO;
    sha->update(buf.data(), static_cast<size_t>(n));
    pos += n;
  }
  return BR_OK;
}

// What one PUT of the pieces protocol came back with.
struct PieceAnswer {
  int32_t status = 0;  // the HTTP status, or a negative code
  bool local = false;  // the code is the source's (it could not be read), not the connection's
  int64_t offset = -1, total = -1;
  int64_t written = 0;  // body bytes that went out
};

// A PUT on `target` with "Content-Range: `range`" and `count` body bytes from upload position
// `first` (hashed into `sha` as they go, counted from `base` in the progress). An empty body
// asks what the service holds.
PieceAnswer putPiece(const VXImportContext *ctx, IHBURL *endpoint, const std::string &target,
                     bool cookie, const std::string &range, IHBStream *data, int64_t at,
                     int64_t first, int64_t count, Sha *sha, Copy *copy) {
  PieceAnswer a;
  BRHTTPConnection *conn = nullptr;
  int32_t rc = hburl__connect(endpoint, &conn);
  if (rc < 0) {
    a.status = rc;
    return a;
  }
  BRHTTPRequest *req = nullptr;
  rc = BRHTTPConnection__newRequest(conn, "PUT", encodeTarget(target).c_str(), &req);
  if (rc >= 0) rc = BRHTTPRequest__addRequestHeader(req, "Content-Length", std::to_string(count).c_str());
  if (rc >= 0) rc = BRHTTPRequest__addRequestHeader(req, "Content-Range", range.c_str());
  if (rc >= 0) rc = addClientHeaders(ctx, req, cookie, "512; purpose=import");
  if (rc >= 0 && count == 0) rc = BRHTTPRequest__sendRequest(req);
  if (rc >= 0 && count > 0 && data->seek(at + first, HBSTREAM_SEEK_SET) != at + first)
    rc = BR_EIO, a.local = true;
  std::string buf(count > 0 ? kBlock : 0, '\0');
  while (rc >= 0 && a.written < count) {
    const int32_t want =
        count - a.written < kBlock ? static_cast<int32_t>(count - a.written) : kBlock;
    const int32_t n = data->read(buf.data(), want);
    if (n <= 0 || n > want) {
      rc = n < 0 ? n : BR_EIO;
      a.local = true;
      break;
    }
    sha->update(buf.data(), static_cast<size_t>(n));
    for (int32_t done = 0; rc >= 0 && done < n;) {
      const int32_t w = BRHTTPRequest__writeRequestBody(req, buf.data() + done, n - done);
      if (w <= 0) {
        rc = w < 0 ? w : BR_ECONNABORTED;
      } else {
        done += w;
        a.written += w;
      }
    }
    if (rc >= 0 && copyProgress(first + a.written, copy)) rc = BR_ECANCELED;
  }
  bool whole = false;
  if (rc >= 0) {
    int32_t ct = 0, rt = 0, wt = 0;
    BRHTTPConnection__getTimeouts(conn, &ct, &rt, &wt);
    BRHTTPConnection__setTimeouts(conn, ct, kResponseTimeoutMs, wt);
    char reason[128] = "";
    rc = BRHTTPRequest__receiveResponseHeader(req, reason, sizeof reason);
    BRHTTPConnection__setTimeouts(conn, ct, rt, wt);
    if (rc >= 0) {
      a.offset = hbsvcupload__header(req, "X-Upload-Offset");
      a.total = hbsvcupload__header(req, "X-Upload-Total");
      const bool piece = rc == 202;
      brlog(kTag, piece ? BRLOG_VERBOSE : rc / 100 == 2 ? BRLOG_INFO : BRLOG_WARNING,
            "   -- Stream Response: %d %s (%s, held %lld)\n", rc, reason, range.c_str(),
            static_cast<long long>(a.offset));
      int32_t n;
      while ((n = BRHTTPRequest__receiveResponseBody(req, nullptr, 4096)) > 0) {
      }
      whole = n == 0;
    }
  }
  a.status = rc;
  if (!whole) BRHTTPConnection__close(conn);
  BRHTTPRequest__destroy(req);
  hburl__release(endpoint, conn);
  return a;
}

// The refusal of a piece as the import's code: 507 No Space, anything else Fault.
int32_t refusal(int32_t status) {
  return status == 507 ? BR_ENOSPC : BR_EFAULT;
}

// Sends bytes [0, length) of `data` (from position `at`) in pieces. The main content read
// straight from the local file keeps a record in ctx->records after every piece, and a record
// left by an earlier run is continued when the file is as it was (size, time, the digest of
// what the service holds). A cut or a time-out is taken up from the service's offset after a
// growing pause, HBSVCUPLOAD_RETRIES times. *notTaken when the service refused pieces (501):
// nothing is held, and the caller sends the stream in one PUT.
int32_t sendInPieces(const VXImportContext *ctx, const char *path, const char *fileId,
                     const char *streamName, IHBStream *data, int64_t at, int64_t length,
                     IHBURL *endpoint, const std::string &target, bool cookie, bool *notTaken) {
  const char *name = streamName ? streamName : "(null)";
  IVXUploadRecords *records = ctx->records && data == ctx->sourceFile && !streamName && path &&
                                      ctx->signature
                                  ? ctx->records
                                  : nullptr;
  const std::string key = records ? vximport__fileKey(path) : "";
  VXUploadRecord rec;
  bool resume = false;
  if (records && records->find(key.c_str(), &rec) == 0) {
    const char *why = nullptr;
    if (rec.deviceId != ctx->deviceId || rec.serviceId != ctx->serviceId || rec.fileId != fileId)
      why = "it was for another entry";
    else if (rec.total != length || rec.fileSize != ctx->signature->size ||
             rec.modifiedNs != ctx->signature->modifiedNs)
      why = "the file changed since its first piece";
    if (why)
      brlog(kTag, BRLOG_INFO, "   -- Stream '%s' starts over at byte 0 of %lld: %s\n", name,
            static_cast<long long>(length), why);
    resume = !why;
  }
  if (!resume) {
    // Room for the whole stream; a resumed one has its room held by the service already.
    int64_t free = vxsvccache__getFreeSpace(ctx->deviceId, ctx->serviceId);
    if (free < 0 || free < length) {
      (void)vxsvccache__getService(ctx->deviceId, ctx->serviceId);
      free = vxsvccache__getFreeSpace(ctx->deviceId, ctx->serviceId);
    }
    if (free >= 0 && free < length) {
      brlog(kTag, BRLOG_INFO, "   -- BAIL -- Insufficient free space: %lld < %lld\n",
            static_cast<long long>(free), static_cast<long long>(length));
      if (records) (void)records->remove(key.c_str());
      return BR_ENOSPC;
    }
  }
  Copy copy{ctx};
  const std::string totalText = std::to_string(length);
  Sha sha;  // of bytes [0, held) of the file
  int64_t held = 0, startedAt = -1;
  bool mustAsk = resume, verified = !resume, sentSome = false;
  int32_t attempts = 0;
  PieceAnswer a;
  auto keepRecord = [&]() {
    if (!records) return;
    VXUploadRecord r;
    r.deviceId = ctx->deviceId;
    r.serviceId = ctx->serviceId;
    r.fileId = fileId;
    r.total = length;
    r.fileSize = ctx->signature->size;
    r.modifiedNs = ctx->signature->modifiedNs;
    r.sent = held;
    r.digest = sha.hex();
    if (records->save(key.c_str(), r) < 0)
      brlog(kTag, BRLOG_WARNING, "   -- Stream '%s': the record of what was sent could not be kept\n",
            name);
  };
  auto finish = [&](int32_t rc) {
    if (records && rc != BR_ECANCELED && !hbsvcupload__retryable(rc))
      (void)records->remove(key.c_str());
    return rc;
  };
  for (;;) {
    if (mustAsk) {
      Sha none;
      a = putPiece(ctx, endpoint, target, cookie, "bytes */" + totalText, data, at, 0, 0, &none,
                   &copy);
    }
    // What the service holds, from an ask or a refused piece (409, or 202 at another offset).
    if (a.status >= 0 && (mustAsk || a.status == 409 || a.status == 202)) {
      const bool refused = !mustAsk;
      if (a.status == 404) return finish(BR_EFAULT);
      if (a.status != 202 && a.status != 409) return finish(refusal(a.status));
      const int64_t off = a.total == length && a.offset > 0 && a.offset <= length ? a.offset : 0;
      if (off == 0 && sentSome && !streamName && vximport__hasContent(ctx, fileId, length) == 1) {
        // The last piece arrived whole but its answer did not.
        if (ctx->bytesSent) ctx->bytesSent->store(length, std::memory_order_relaxed);
        return finish(BR_OK);
      }
      if (off == 0) {
        if (held > 0 || !verified)
          brlog(kTag, BRLOG_INFO,
                "   -- Stream '%s' starts over at byte 0 of %lld: the service holds nothing of it\n",
                name, static_cast<long long>(length));
        sha.reset();
        held = 0;
        verified = true;
      } else {
        Sha again;
        int32_t rc = BR_OK;
        if (!verified) {
          // The file must hold what went up before: the digest of the bytes then recorded.
          rc = hashRange(data, at, 0, rec.sent, &again);
          if (rc < 0) return finish(rc);
          verified = true;
          if (again.hex() != rec.digest) {
            brlog(kTag, BRLOG_INFO,
                  "   -- Stream '%s' starts over at byte 0 of %lld: the file changed since its "
                  "first piece\n",
                  name, static_cast<long long>(length));
            sha.reset();
            held = 0;
          } else {
            if (off >= rec.sent)
              rc = hashRange(data, at, rec.sent, off, &again);
            else
              again.reset(), rc = hashRange(data, at, 0, off, &again);
            if (rc < 0) return finish(rc);
            sha = again;
            held = off;
            brlog(kTag, BRLOG_INFO,
                  "   -- Resuming Stream '%s' from an earlier run: the service holds %lld of %lld "
                  "bytes\n",
                  name, static_cast<long long>(held), static_cast<long long>(length));
          }
        } else {
          // Within the run: the digest is taken up again from what is held.
          if (off >= held) {
            again = sha;
            rc = hashRange(data, at, held, off, &again);
          } else {
            rc = hashRange(data, at, 0, off, &again);
          }
          if (rc < 0) return finish(rc);
          sha = again;
          held = off;
        }
      }
      mustAsk = false;
      if (refused) {
        // The service holds something else than this run thought (another upload of the same
        // file still finishing): go on from its offset after a pause.
        if (++attempts > HBSVCUPLOAD_RETRIES) return finish(BR_EFAULT);
        brlog(kTag, BRLOG_WARNING,
              "   -- Stream '%s': the service holds %lld of %lld, going on from there in %d s\n",
              name, static_cast<long long>(held), static_cast<long long>(length),
              1 << (attempts - 1));
        if (hbsvcupload__pause(attempts, ctx->canceled) < 0) return finish(BR_ECANCELED);
      }
    } else if (a.status >= 0 && a.status == 501) {
      *notTaken = true;
      hbsvcupload__forget(endpoint);
      return finish(BR_EFAULT);
    } else if (a.status >= 0 && !(a.status == 202 || a.status == 0)) {
      return finish(refusal(a.status));
    }
    if (a.status < 0) {
      if (copy.canceled || a.status == BR_ECANCELED) return finish(BR_ECANCELED);
      if (a.local) return finish(a.status == BR_ENOENT ? BR_ENOFILE : a.status);
      if (!hbsvcupload__retryable(a.status)) return finish(a.status);
      // A source that changed or vanished is not sent again.
      if (ctx->signature && path) {
        VXImportFileSignature now;
        if (vximport__fileSignature(path, &now) < 0 || !(now == *ctx->signature))
          return finish(diagnoseShortSend(ctx, path, held + a.written, length));
      }
      if (++attempts > HBSVCUPLOAD_RETRIES) {
        if (ctx->bytesSent) ctx->bytesSent->store(held, std::memory_order_relaxed);
        return finish(diagnoseShortSend(ctx, path, held + a.written, length));
      }
      const int32_t pause = 1 << (attempts - 1);
      brlog(kTag, BRLOG_WARNING,
            "   -- Stream '%s' cut at byte %lld of %lld (%d %s), asking the service again in %d s "
            "(attempt %d of %d)\n",
            name, static_cast<long long>(held + a.written), static_cast<long long>(length),
            a.status, brerror__name(a.status), pause, attempts, HBSVCUPLOAD_RETRIES);
      if (hbsvcupload__pause(attempts, ctx->canceled) < 0) return finish(BR_ECANCELED);
      mustAsk = true;
      a = PieceAnswer();
      continue;
    }
    if (startedAt < 0) {
      startedAt = held;
      brlog(kTag, BRLOG_INFO, "   -- Sending Stream '%s' in pieces from byte %lld of %lld\n", name,
            static_cast<long long>(held), static_cast<long long>(length));
    }
    if (ctx->bytesSent) ctx->bytesSent->store(held, std::memory_order_relaxed);
    keepRecord();
    const int64_t count = length - held < HBSVCUPLOAD_PIECE ? length - held : HBSVCUPLOAD_PIECE;
    const std::string range = "bytes " + std::to_string(held) + "-" +
                              std::to_string(held + count - 1) + "/" + totalText;
    Sha work = sha;
    a = putPiece(ctx, endpoint, target, cookie, range, data, at, held, count, &work, &copy);
    if (a.written > 0) sentSome = true;
    if (a.status >= 200 && a.status <= 299 && a.status != 202) {
      vxsvccache__consumeSpace(ctx->deviceId, ctx->serviceId, length - startedAt);
      if (ctx->bytesSent) ctx->bytesSent->store(length, std::memory_order_relaxed);
      return finish(BR_OK);
    }
    if (a.status == 202 && a.offset == held + count) {
      held += count;
      sha = work;
      attempts = 0;
      a = PieceAnswer();
    }
  }
}

}  // namespace

int32_t vximport__sendStream(const VXImportContext *ctx, const char *path, const char *fileId,
                             const char *streamName, IHBStream *data) {
  if (!ctx || !ctx->deviceId || !ctx->serviceId || !fileId || !data) return BR_EINVAL;
  if (ctx->canceled && ctx->canceled()) return BR_ECANCELED;
  if (ctx->bytesSent) ctx->bytesSent->store(0, std::memory_order_relaxed);

  // 2, 3: the address and the path on it.
  HBRef<IHBURL> endpoint;
  std::string target;
  bool cookie = true;
  int32_t rc = contentTarget(ctx, fileId, streamName, endpoint, &target, &cookie);
  if (rc < 0) return rc;
  const char *host = endpoint->getHost() ? endpoint->getHost() : "";
  brlog(kTag, BRLOG_INFO, "Sending Stream '%s' to %s://%s:%u%s\n",
        streamName ? streamName : "(null)", endpoint->getScheme(), host,
        static_cast<unsigned>(endpoint->getPort()), target.c_str());

  // 5: the length, and the space for it. An unknown length goes chunked.
  const int64_t at = data->seek(0, HBSTREAM_SEEK_CUR);
  const int64_t end = at >= 0 ? data->seek(0, HBSTREAM_SEEK_END) : -1;
  const int64_t length = end >= 0 && data->seek(at, HBSTREAM_SEEK_SET) == at ? end - at : -1;
  // A large stream goes in pieces to a service that takes them: a cut costs a pause, not the
  // bytes already sent.
  if (length >= HBSVCUPLOAD_THRESHOLD && hbsvcupload__resumable(endpoint.get())) {
    bool notTaken = false;
    rc = sendInPieces(ctx, path, fileId, streamName, data, at, length, endpoint.get(), target,
                      cookie, &notTaken);
    if (!notTaken) return rc;
    brlog(kTag, BRLOG_WARNING, "   -- The service refused pieces, sending Stream '%s' whole\n",
          streamName ? streamName : "(null)");
    if (data->seek(at, HBSTREAM_SEEK_SET) != at) return BR_EIO;
    if (ctx->bytesSent) ctx->bytesSent->store(0, std::memory_order_relaxed);
  }
  if (length >= 0) {
    int64_t free = vxsvccache__getFreeSpace(ctx->deviceId, ctx->serviceId);
    if (free < 0 || free < length) {
      (void)vxsvccache__getService(ctx->deviceId, ctx->serviceId);
      free = vxsvccache__getFreeSpace(ctx->deviceId, ctx->serviceId);
    }
    if (free >= 0 && free < length) {
      brlog(kTag, BRLOG_INFO, "   -- BAIL -- Insufficient free space: %lld < %lld\n",
            static_cast<long long>(free), static_cast<long long>(length));
      return BR_ENOSPC;
    }
  }

  BRHTTPConnection *conn = nullptr;
  if ((rc = hburl__connect(endpoint.get(), &conn)) < 0) return rc;
  BRHTTPRequest *req = nullptr;
  rc = BRHTTPConnection__newRequest(conn, "PUT", encodeTarget(target).c_str(), &req);
  if (rc < 0) {
    BRHTTPConnection__close(conn);
    hburl__release(endpoint.get(), conn);
    return rc;
  }
  if (length < 0) {
    rc = BRHTTPRequest__addRequestHeader(req, "Transfer-Encoding", "chunked");
  } else {
    const std::string len = std::to_string(length);
    brlog(kTag, BRLOG_INFO, "   -- Stream Content-Length: %s\n", len.c_str());
    rc = BRHTTPRequest__addRequestHeader(req, "Content-Length", len.c_str());
  }
  // 6, 7: the session and the client.
  if (rc >= 0) rc = addClientHeaders(ctx, req, cookie, "512; purpose=import");

  // 8: the body, block by block.
  Copy copy{ctx};
  int64_t sent = 0;
  int32_t copied = 0;
  bool whole = false;
  int32_t result = rc;
  if (rc >= 0) {
    if (length != 0) {
      HBBRHTTPReqStrm body(req);
      sent = hbstream__sendTo(data, &body, length, copyProgress, &copy);
      if (sent < 0) copied = static_cast<int32_t>(sent), sent = 0;
    }
    if (copy.canceled) {
      result = BR_ECANCELED;
    } else if (length > 0 && sent < length) {
      // 10: a short send.
      result = diagnoseShortSend(ctx, path, sent, length);
    } else {
      // 9: everything went out (the last chunk too); the service answers once it is stored.
      result = length > 0 ? BR_OK : BRHTTPRequest__sendRequest(req);
      if (result >= 0) {
        vxsvccache__consumeSpace(ctx->deviceId, ctx->serviceId, sent);
        int32_t ct = 0, rt = 0, wt = 0;
        BRHTTPConnection__getTimeouts(conn, &ct, &rt, &wt);
        BRHTTPConnection__setTimeouts(conn, ct, kResponseTimeoutMs, wt);
        char reason[128] = "";
        const int32_t status = BRHTTPRequest__receiveResponseHeader(req, reason, sizeof reason);
        BRHTTPConnection__setTimeouts(conn, ct, rt, wt);
        const bool good = status >= 200 && status <= 299;
        brlog(kTag, good ? BRLOG_INFO : BRLOG_WARNING, "   -- Stream Response: %d %s\n", status,
              reason);
        // A full drive answers 507: that is No Space, which the import walk acts on.
        result = good ? copied : status < 0 ? status : status == 507 ? BR_ENOSPC : BR_EFAULT;
        whole = status >= 0;
      }
    }
  }
  if (ctx->bytesSent) ctx->bytesSent->store(sent, std::memory_order_relaxed);
  // 11: a connection left in the middle of a body or an answer is not used again.
  if (!whole) BRHTTPConnection__close(conn);
  BRHTTPRequest__destroy(req);
  hburl__release(endpoint.get(), conn);
  return result;
}

int32_t vximport__hasContent(const VXImportContext *ctx, const char *fileId, int64_t length) {
  if (!ctx || !ctx->deviceId || !ctx->serviceId || !fileId) return BR_EINVAL;
  HBRef<IHBURL> endpoint;
  std::string target;
  bool cookie = true;
  int32_t rc = contentTarget(ctx, fileId, nullptr, endpoint, &target, &cookie);
  if (rc < 0) return rc;
  BRHTTPConnection *conn = nullptr;
  if ((rc = hburl__connect(endpoint.get(), &conn)) < 0) return rc;
  BRHTTPRequest *req = nullptr;
  rc = BRHTTPConnection__newRequest(conn, "HEAD", encodeTarget(target).c_str(), &req);
  if (rc >= 0) {
    rc = addClientHeaders(ctx, req, cookie, "512; purpose=import");
    if (rc >= 0) rc = BRHTTPRequest__sendRequest(req);
    if (rc >= 0) rc = BRHTTPRequest__receiveResponseHeader(req, nullptr, 0);
    if (rc >= 200 && rc <= 299) {
      const char *len = BRHTTPRequest__getResponseHeader(req, "Content-Length");
      rc = length < 0 || (len && std::strtoll(len, nullptr, 10) == length) ? 1 : 0;
    } else if (rc == 404) {
      rc = 0;
    } else if (rc >= 0) {
      rc = BR_EFAULT;
    }
    if (rc < 0) BRHTTPConnection__close(conn);
    BRHTTPRequest__destroy(req);
  } else {
    BRHTTPConnection__close(conn);
  }
  hburl__release(endpoint.get(), conn);
  return rc;
}
