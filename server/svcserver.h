// The reference drive service: the service methods over SOAP, packet messages and the pages'
// JSON, file content, the web sign-in, and the loopback-only admin endpoint for fault injection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "svccontent.h"
#include "svcguard.h"
#include "svchttp.h"
#include "svcstore.h"
#include "svcvalue.h"
#include "svcweb.h"

namespace tessel::svc {

struct SvcOptions {
  std::string dataDir;
  std::string host = "127.0.0.1";
  int port = 8480;
  std::string owner;     // user whose token getOwnerAuth hands to loopback callers; none when empty
  bool verbose = false;  // one line per request on standard error
  std::string publicHost;  // "host[:port]" clients reach the service at; empty: the local address
  std::vector<std::string> allowOrigins;  // further origins whose pages may call the JSON API
  int64_t tokenLifetimeSec = 30LL * 24 * 3600;
  std::string db;        // PostgreSQL address ("postgresql://..."); empty: DIR/meta.db
  std::string instance;  // this process among those sharing one database (its uploads' names)
  HttpLimits limits;
};

// Creates DIR (mode 0700) with its sub-folders when missing and opens its database.
bool svc__openData(const std::string &dir, SvcStore *store, std::string *err);

class SvcService {
 public:
  explicit SvcService(SvcOptions opt);
  // Opens the data folder and binds the port; prints nothing.
  bool init(std::string *err);
  int port() const { return m_http.port(); }
  const std::string &adminSecret() const { return m_secret; }
  // Serves until stop(); false with `err` when it cannot serve at all.
  bool run(std::string *err);
  void stop() { m_http.stop(); }

  // One service call, whatever the transport. False with `fault` set for a fault answer.
  bool call(const std::string &method, const SvcArgs &args, const HttpRequest &req, SvcValue *out,
            SvcFault *fault);

 private:
  void handle(const HttpRequest &req, HttpBody &body, HttpResponse &resp);
  void handleSoap(const HttpRequest &req, HttpBody &body, HttpResponse &resp);
  void handleJson(const HttpRequest &req, const std::string &method, HttpBody &body,
                  HttpResponse &resp);
  void handlePkt(const HttpRequest &req, const std::string &method, HttpBody &body,
                 HttpResponse &resp);
  void handleFiles(const HttpRequest &req, HttpBody &body, HttpResponse &resp);
  void handleUpload(const HttpRequest &req, HttpBody &body, HttpResponse &resp,
                    const ServiceRec &svc, int64_t fileId, const std::string &stream);
  // A piece of an upload in pieces (a PUT with Content-Range), or the question what is held.
  void handlePiece(const HttpRequest &req, HttpBody &body, HttpResponse &resp,
                   const ServiceRec &svc, int64_t fileId, const std::string &stream,
                   const std::string &range);
  // How reading a body into an upload ended.
  enum { kBodyDone, kBodyCut, kBodyTooBig, kBodyDiskFull, kBodyFailed };
  // Reads the body into `up` with the injected faults; `reserve` is asked for the bytes so far
  // before each write (false: too big). A cut or broken connection sets resp.abort; what
  // arrived before it is written. *got: the bytes written.
  [[nodiscard]] int receiveBody(const HttpRequest &req, HttpBody &body, HttpResponse &resp,
                                SvcUpload &up, const std::function<bool(int64_t)> &reserve,
                                int64_t *got);
  // Records the stream and puts its content in place, as one step (kSvcOk or the store's code).
  [[nodiscard]] int publishUpload(const ServiceRec &svc, int64_t fileId, const std::string &stream,
                                  int64_t size, SvcPublication &pub);
  static void uploadRefused(HttpResponse &resp, int rc);
  static void uploadAnswer(HttpResponse &resp, int64_t fileId, int64_t size);
  void dropPending(const std::string &serviceId, int64_t fileId, const std::string &stream);
  void sweepPending();
  void handleOauth(const HttpRequest &req, HttpBody &body, HttpResponse &resp);
  void handleAdmin(const HttpRequest &req, HttpResponse &resp);
  std::string baseUrl(const HttpRequest &req) const;
  std::vector<std::string> ownAddresses(const HttpRequest &req) const;
  bool drive(const SvcArgs &args, ServiceRec *svc, SvcFault *fault);
  SvcValue serviceValue(const ServiceRec &svc, const std::string &baseUrl) const;
  SvcValue fileValue(const FileRec &f) const;

  SvcOptions m_opt;
  std::unique_ptr<SvcStore> m_store;  // SQLite, or PostgreSQL with --db
  HttpServer m_http;
  std::string m_secret;
  // An upload's database record and its rename happen together, against a removal on the same
  // drive: one lock per drive (drives share the locks by a hash of their id).
  std::mutex m_commitLocks[16];
  std::mutex &commitLock(const std::string &serviceId) {
    return m_commitLocks[std::hash<std::string>()(serviceId) % 16];
  }
  SvcThrottle m_throttle;
  SvcOrigins m_origins;
  std::string m_tmpPrefix = "up-";  // this instance's uploads in progress, in DIR/tmp
  std::unique_ptr<SvcContent> m_content;

  // Uploads in pieces: taken (announced by getVersion) unless switched off; pending ones go
  // after a day without progress.
  static constexpr int kPieceWaitMs = 10000;  // for another piece of the same key to end
  std::atomic<bool> m_pieces{true};
  std::atomic<int64_t> m_pendingMaxAgeMs{24LL * 3600 * 1000};
  std::mutex m_sweepLock;
  std::condition_variable m_sweepWake;
  bool m_sweepStop = false;

  // Fault injection, set through the admin endpoint.
  std::mutex m_faultLock;
  int m_failCount = 0;
  int m_failSkip = 0;  // calls let through before the refusals start
  int m_failCode = 0;
  std::string m_failMethod;
  std::string m_uploadMode;  // "cut" or "stall"
  int64_t m_uploadAfter = 0;
  int m_uploadStallMs = 0;
  int m_uploadCount = 0;
  bool m_uploadAcross = false;  // the upload fault counts bytes across all bodies
  int64_t m_acrossLeft = 0;     // bytes before it
  std::atomic<int64_t> m_received{0};  // PUT body bytes since start or the last reset
  int64_t m_downloadCutAfter = 0;  // downloads cut after this many bytes of their body
  int m_downloadCount = 0;

  SvcWeb m_web{*m_store, m_throttle, m_opt.dataDir};  // the photo pages
};

}  // namespace tessel::svc
