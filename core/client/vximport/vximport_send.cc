// The upload of one stream of an imported file: HTTP PUT to the drive's files address.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brhttp.h"
#include "brlog.h"
#include "hbstream.h"
#include "hburl.h"
#include "vxclienttask.h"
#include "vximport.h"
#include "vxsvccache.h"

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
