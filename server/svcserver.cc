// Routing and the service methods of the reference drive service.
#include "svcserver.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "svcpkt.h"

namespace tessel::svc {

namespace {

constexpr size_t kMaxCallBody = 1 << 20;
constexpr size_t kMaxFormBody = 16384;
constexpr size_t kMaxProps = 64;
constexpr size_t kMaxPropValue = 4096;
constexpr size_t kMaxName = kSvcMaxName;
constexpr int kMaxPage = 1000;
const char *kDriveVersion = "4.0.0.0";

enum : int {
  kFaultNoOwner = 801,
  kFaultOffline = 802,
  kFaultUnauthorized = 606,
  kFaultReadOnly = 810,
  kFaultUnknownMethod = 404,
};

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool parseId(const std::string &s, int64_t *out) {
  if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *out = std::stoll(s);
  return true;
}

bool parseMs(const std::string *s, int64_t *out) {
  if (!s || s->empty() || s->size() > 18 || (*s)[0] == '-' ||
      s->find_first_not_of("0123456789") != std::string::npos)
    return false;
  *out = std::stoll(*s);
  return true;
}

bool validName(const std::string &n) {
  if (n.empty() || n.size() > kMaxName || n == "." || n == "..") return false;
  for (unsigned char c : n)
    if (c < 0x20 || c == '/' || c == 0x7f) return false;
  return true;
}

// Texts that XML 1.0 can carry: no control characters but tab, line feed and return.
bool xmlText(const std::string &s) {
  for (unsigned char c : s)
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) return false;
  return true;
}

std::string throttledText(int64_t waitMs) {
  return "Too many failed sign-ins; try again in " + std::to_string((waitMs + 999) / 1000) + " s";
}

// Content types a browser shows as a picture, a video, a sound or plain text; anything else
// (pages, scripts, documents) is offered as a download only.
bool inlineType(const std::string &ct) {
  std::string t = ct.substr(0, ct.find(';'));
  for (char &c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (t == "image/svg+xml") return false;
  return t.compare(0, 6, "image/") == 0 || t.compare(0, 6, "video/") == 0 ||
         t.compare(0, 6, "audio/") == 0 || t == "text/plain" || t == "application/octet-stream";
}

// A stored mimetype is used only when it is a plain "type/subtype".
bool mimeType(const std::string &m) {
  size_t slash = m.find('/');
  if (m.empty() || m.size() > 127 || slash == std::string::npos || slash == 0 ||
      slash + 1 == m.size() || m.find('/', slash + 1) != std::string::npos)
    return false;
  for (unsigned char c : m)
    if (!std::isalnum(c) && !std::strchr("/!#$&^_.+-", c)) return false;
  return true;
}

bool isHex32(const std::string &s) {
  return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Markup escaping for the sign-in and go pages: the same rules as for XML text.
std::string htmlEscape(const std::string &s) {
  return svcxml__escape(s);
}

void setFault(SvcFault *f, int code, std::string desc, std::string ctx = std::string()) {
  f->code = code;
  f->description = std::move(desc);
  f->context = std::move(ctx);
}

// A store failure other than the answer's own (a full disk, an I/O error), as a fault.
bool storeFailed(int rc) {
  return rc == kSvcNoSpace || rc == kSvcInternal;
}
void setStoreFault(SvcFault *f, int rc, const std::string &ctx) {
  setFault(f, rc,
           rc == kSvcNoSpace ? "Not enough space to store the change" : "Cannot store the change",
           ctx);
}

bool mkdirPrivate(const std::string &path) {
  return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

void textAnswer(HttpResponse &resp, int status, const std::string &text) {
  resp.status = status;
  resp.set("Content-Type", "text/plain; charset=utf-8");
  resp.body = text + "\n";
}

void corsHeaders(HttpResponse &resp, const std::string &origin) {
  resp.set("Access-Control-Allow-Origin", origin);
  resp.set("Vary", "Origin");
  resp.set("Access-Control-Allow-Methods", "POST, GET, OPTIONS");
  resp.set("Access-Control-Allow-Headers", "Content-Type, SoapAction, X-VXVALTOKEN");
  resp.set("Access-Control-Max-Age", "600");
}

// The sign-in form's look: the desktop program's login window (290 px wide) shows it, so it is
// laid out for a narrow window first. Only inline style may load (the page's security policy).
const char kLoginStyle[] =
    ":root{color-scheme:light dark;--bg:#f6f7f9;--card:#fff;--line:#e1e4ea;--text:#1d2330;"
    "--muted:#5b6475;--accent:#2f6fde;--pressed:#2559b3;--error:#c83a3a;--error-bg:#fbeaea}"
    "@media (prefers-color-scheme:dark){:root{--bg:#1f232b;--card:#282d37;--line:#3a404c;"
    "--text:#e8ebf0;--muted:#a9b1bf;--accent:#5b8ff0;--pressed:#4a7de0;--error:#ef7d7d;"
    "--error-bg:#3a2428}}"
    "*{box-sizing:border-box}"
    "html,body{margin:0;min-height:100%;background:var(--bg);color:var(--text);"
    "font:13px/1.4 'Open Sans',system-ui,sans-serif}"
    "main{max-width:360px;margin:0 auto;padding:32px 16px 16px}"
    ".mark{display:block;margin:0 auto 16px}"
    "h1{font-size:17px;font-weight:700;text-align:center;margin:0 0 4px}"
    ".lead{color:var(--muted);text-align:center;margin:0 0 20px}"
    "form{background:var(--card);border:1px solid var(--line);border-radius:6px;padding:16px}"
    "label{display:block;font-size:11px;color:var(--muted);margin:0 0 12px}"
    "input{display:block;width:100%;margin-top:4px;padding:8px;font:inherit;font-size:13px;"
    "color:var(--text);background:var(--card);border:1px solid var(--line);border-radius:6px}"
    "input:focus{outline:2px solid var(--accent);outline-offset:-1px;border-color:transparent}"
    "button{display:block;width:100%;margin-top:4px;padding:9px;font:inherit;font-weight:700;"
    "color:#fff;background:var(--accent);border:0;border-radius:6px;cursor:pointer}"
    "button:hover{background:var(--pressed)}button:active{background:var(--pressed)}"
    ".error{color:var(--error);background:var(--error-bg);border-radius:6px;padding:8px;"
    "margin:0 0 12px}";

// The drive with a photo on its way in, as on the program's icon.
const char kLoginMark[] =
    "<svg class=\"mark\" width=\"48\" height=\"48\" viewBox=\"0 0 48 48\" aria-hidden=\"true\">"
    "<rect x=\"2\" y=\"2\" width=\"44\" height=\"44\" rx=\"10\" fill=\"#2f6fde\"/>"
    "<rect x=\"8\" y=\"22\" width=\"32\" height=\"17\" rx=\"4\" fill=\"#fff\"/>"
    "<rect x=\"13\" y=\"29\" width=\"13\" height=\"3\" rx=\"1.5\" fill=\"#9dbcf2\"/>"
    "<circle cx=\"33.5\" cy=\"30.5\" r=\"2.2\" fill=\"#2e9d5b\"/>"
    "<rect x=\"14\" y=\"7\" width=\"17\" height=\"13\" rx=\"2\" fill=\"#fff\" "
    "transform=\"rotate(-8 22 13)\"/></svg>";

std::string loginPage(const std::string &clientId, const std::string &redirect,
                      const std::string &error, const std::string &csrf) {
  std::string page = std::string(
                         "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                         "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
                         "<title>Sign in</title><style>") +
                     kLoginStyle + "</style></head><body><main>" + kLoginMark +
                     "<h1>Sign in to your drive</h1>"
                     "<p class=\"lead\">Your account’s name and password.</p>"
                     "<form method=\"post\" action=\"/oauth\">";
  if (!error.empty())
    page += "<p class=\"error\" id=\"error\" role=\"alert\">" + htmlEscape(error) + "</p>";
  page += "<input type=\"hidden\" name=\"client_id\" value=\"" + htmlEscape(clientId) +
          "\">"
          "<input type=\"hidden\" name=\"response_type\" value=\"token\">"
          "<input type=\"hidden\" name=\"csrf\" value=\"" +
          csrf +
          "\">"
          "<input type=\"hidden\" name=\"redirect_uri\" value=\"" +
          htmlEscape(redirect) +
          "\">"
          "<label>Name<input name=\"username\" autocomplete=\"username\" autocapitalize=\"off\" "
          "spellcheck=\"false\" required autofocus></label>"
          "<label>Password<input name=\"password\" type=\"password\" "
          "autocomplete=\"current-password\" required></label>"
          "<button type=\"submit\">Sign in</button></form></main></body></html>";
  return page;
}

}  // namespace

// A folder of the data folder that only this user can change; `follow` for the data folder
// itself, which may be reached through a link the user made.
bool privateFolder(const std::string &path, bool follow, std::string *err) {
  struct stat st;
  if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) {
    *err = "cannot use " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *err = path + " is not a folder";
    return false;
  }
  if (st.st_uid != geteuid() || (st.st_mode & 022)) {
    *err = path + " is not private to this user (it must be theirs and not group- or " +
           "world-writable; chmod 700 it)";
    return false;
  }
  return true;
}

bool svc__openData(const std::string &dir, SvcStore *store, std::string *err) {
  mode_t old = umask(077);
  bool ok = mkdirPrivate(dir) && mkdirPrivate(dir + "/files") && mkdirPrivate(dir + "/tmp") &&
            mkdirPrivate(dir + "/pending");
  umask(old);
  if (!ok) {
    *err = "cannot create the data folder " + dir + ": " + std::strerror(errno);
    return false;
  }
  return privateFolder(dir, true, err) && privateFolder(dir + "/files", false, err) &&
         privateFolder(dir + "/tmp", false, err) && privateFolder(dir + "/pending", false, err) &&
         store->open(dir, err);
}

SvcService::SvcService(SvcOptions opt)
    : m_opt(std::move(opt)), m_store(svcstore__new(m_opt.db, m_opt.instance)) {}

bool SvcService::init(std::string *err) {
  if (!m_store) {
    *err = "not a database address: " + m_opt.db;
    return false;
  }
  if (!m_opt.db.empty()) {
    // Several instances share the database and the content folder: each names its own
    // uploads in progress, and clears only those at its start.
    m_tmpPrefix = "up-" + m_opt.instance + "-";
    if (auto *shared = dynamic_cast<SvcThrottleShared *>(m_store.get()))
      m_throttle.share(shared);
  }
  if (!svc__openData(m_opt.dataDir, m_store.get(), err)) return false;
  m_store->setTokenLifetime(m_opt.tokenLifetimeSec * 1000);
  m_origins.add("res://tesselutilbrowser.exe");
  for (const std::string &o : m_opt.allowOrigins) m_origins.add(o);
  if (!m_origins.addFile(m_opt.dataDir + "/allowed-origins", err)) return false;
  m_http.setLimits(m_opt.limits);
  m_content = svccontent__local(m_opt.dataDir, m_tmpPrefix);
  if (!m_content->open(err)) return false;
  // Pending uploads hold their whole length against their drives, for every instance and after
  // a restart; those too old go.
  for (const SvcPendingRef &r : m_content->pending())
    (void)m_store->holdUpload(r.serviceId, r.key(), r.state.total, INT64_MAX / 2);
  sweepPending();
  std::string cert = m_opt.dataDir + "/tls.crt", key = m_opt.dataDir + "/tls.key";
  if (!svctls__ensureCertificate(cert, key, err)) return false;
  if (!m_http.listen(m_opt.host, m_opt.port, cert, key, err)) return false;
  m_secret = svc__randomHex(16);
  std::string secretFile = m_opt.dataDir + "/admin.secret";
  // A new file each time, never through a link someone left in its place.
  unlink(secretFile.c_str());
  UniqueFd fd(open(secretFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  std::string line = m_secret + "\n";
  if (fd.get() < 0 || fchmod(fd.get(), 0600) != 0 ||
      write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    *err = "cannot write " + secretFile;
    return false;
  }
  return true;
}

bool SvcService::run(std::string *err) {
  // Calls and forms are collected whole by the event loop; content streams through a worker.
  auto policy = [](const HttpRequest &req) -> long {
    if (req.path.compare(0, 11, "/svc/files/") == 0) return kHttpStreamBody;
    return req.path == "/oauth" || req.path.compare(0, 5, "/web/") == 0
               ? static_cast<long>(kMaxFormBody)
               : static_cast<long>(kMaxCallBody);
  };
  // The pages' thumbnails and files are answered by the event loop when the store has them at
  // hand (SvcWeb hands the rest to a worker), and so are the pages' compiled-in assets.
  m_http.setLoopPolicy([](const HttpRequest &req) {
    return (req.method == "GET" || req.method == "HEAD") &&
           (req.path.compare(0, 10, "/web/file/") == 0 ||
            req.path.compare(0, 12, "/web/static/") == 0);
  });
  // Pending uploads without progress for longer than the maximum age go now and then.
  std::thread sweeper([this] {
    std::unique_lock<std::mutex> g(m_sweepLock);
    while (!m_sweepStop) {
      const int64_t period = std::clamp<int64_t>(m_pendingMaxAgeMs.load() / 4, 200, 60000);
      m_sweepWake.wait_for(g, std::chrono::milliseconds(period));
      if (m_sweepStop) break;
      g.unlock();
      sweepPending();
      g.lock();
    }
  });
  const bool served = m_http.run(
      [this](const HttpRequest &req, HttpBody &body, HttpResponse &resp) {
        handle(req, body, resp);
        if (!m_opt.verbose) return;
        // Tokens in content addresses stay out of the log, and so do the peer's control bytes.
        std::fprintf(stderr, "tesselsvc: %s %s %s %s -> %d\n", req.peer.c_str(),
                     req.tls ? "tls" : "http", svctext__logSafe(req.method).c_str(),
                     svctext__maskTokens(req.path).c_str(), resp.abort ? 0 : resp.status);
      },
      policy, err);
  {
    std::lock_guard<std::mutex> g(m_sweepLock);
    m_sweepStop = true;
  }
  m_sweepWake.notify_all();
  sweeper.join();
  return served;
}

std::string SvcService::baseUrl(const HttpRequest &req) const {
  // Never from the client's Host header: a forged one would send clients elsewhere.
  return (req.tls ? "https://" : "http://") +
         (m_opt.publicHost.empty() ? req.local : m_opt.publicHost);
}

std::vector<std::string> SvcService::ownAddresses(const HttpRequest &req) const {
  std::vector<std::string> self = {req.local};
  if (!m_opt.publicHost.empty()) self.push_back(m_opt.publicHost);
  if (req.loopback) self.push_back("localhost:" + std::to_string(m_http.port()));
  return self;
}

SvcValue SvcService::serviceValue(const ServiceRec &svc, const std::string &base) const {
  SvcValue v = SvcValue::map();
  int64_t free = svc.quota > svc.used ? svc.quota - svc.used : 0;
  v.set("type", "yto:plugfs:drive");
  v.set("apiurl", base + (svc.transport == "pktm" ? "/svc/api/pktm/" : "/svc/api"));
  v.set("name", svc.name);
  v.set("version", svc.version.empty() ? kDriveVersion : svc.version);
  v.set("space", std::to_string(free) + "/" + std::to_string(svc.quota));
  v.set("serviceid", svc.id);
  v.set("deviceid", svc.deviceId);
  // Flags: "1"/"0" in SOAP and packet answers, true/false for the pages' scripts.
  v.set("online", SvcValue::boolean(svc.online));
  v.set("readonly", SvcValue::boolean(svc.readOnly));
  return v;
}

SvcValue SvcService::fileValue(const FileRec &f) const {
  SvcValue v = SvcValue::map();
  v.set("fileid", std::to_string(f.id));
  v.set("parentid", std::to_string(f.parentId));
  v.set("type", std::to_string(f.type));
  v.set("name", f.name);
  std::string size = "0";
  if (f.type == 0) {
    if (f.size >= 0) {
      size = std::to_string(f.size);
    } else if (const std::string *s = svcargs__find(f.props, "size")) {
      size = *s;
    }
  }
  v.set("size", size);
  v.set("mtime", std::to_string(f.mtime));
  v.set("ctime", std::to_string(f.ctime));
  // Stored renditions, as "FILEID/STREAM" under the names clients know them by.
  for (const std::string &r : f.renditions) {
    const char *field = r == "tn"   ? "thumbnail"
                        : r == "pv" ? "preview"
                        : r == "st" ? "stream"
                                    : nullptr;
    if (field) v.set(field, std::to_string(f.id) + "/" + r);
  }
  for (const auto &[k, val] : f.props)
    if (!v.find(k)) v.set(k, val);
  return v;
}

bool SvcService::drive(const SvcArgs &args, ServiceRec *svc, SvcFault *fault) {
  UserRec user;
  const std::string *token = svcargs__find(args, "valtoken");
  const std::string *dev = svcargs__find(args, "deviceid");
  const std::string *sid = svcargs__find(args, "serviceid");
  static const std::string kNone;
  const SvcStore::SessionFound found =
      token ? m_store->sessionDrive(*token, dev ? *dev : kNone, sid ? *sid : kNone, &user, svc)
            : SvcStore::kNoSession;
  if (found == SvcStore::kNoSession) {
    setFault(fault, kFaultUnauthorized, "Not authorized");
    return false;
  }
  if (!dev || !sid || found != SvcStore::kSessionAndDrive) {
    setFault(fault, kSvcNoService, "No such drive", sid ? *sid : std::string());
    return false;
  }
  if (!svc->online) {
    setFault(fault, kFaultOffline, "Drive is offline", svc->id);
    return false;
  }
  return true;
}

bool SvcService::call(const std::string &method, const SvcArgs &args, const HttpRequest &req,
                      SvcValue *out, SvcFault *fault) {
  *out = SvcValue::map();
  const std::string base = baseUrl(req);
  const bool loopback = req.loopback;
  {
    std::lock_guard<std::mutex> g(m_faultLock);
    if (m_failCount > 0 && (m_failMethod.empty() || m_failMethod == method) && m_failSkip-- <= 0) {
      m_failCount--;
      setFault(fault, m_failCode, "Injected fault", method);
      return false;
    }
  }
  auto need = [&](const char *name, const std::string **v) {
    *v = svcargs__find(args, name);
    if (!*v)
      setFault(fault, kSvcBadRequest, std::string("Missing argument '") + name + "'", method);
    return *v != nullptr;
  };
  auto user = [&](UserRec *u) {
    const std::string *token = svcargs__find(args, "valtoken");
    if (!token || !m_store->userForToken(*token, u)) {
      setFault(fault, kFaultUnauthorized, "Not authorized", method);
      return false;
    }
    return true;
  };
  auto userValue = [](const UserRec &u) {
    SvcValue v = SvcValue::map();
    v.set("id", std::to_string(u.id));
    v.set("email", u.email);
    v.set("name", u.name);
    v.set("username", u.name);
    return v;
  };

  if (method == "getVersion") {
    out->set("version", kDriveVersion);
    out->set("name", "tesselsvc");
    if (m_pieces.load()) out->set("resumable", "1");
    return true;
  }
  if (method == "getOwnerAuth") {
    int64_t uid = 0;
    // Only a caller on this machine may act as the configured owner without signing in.
    if (m_opt.owner.empty() || !loopback || !m_store->userByName(m_opt.owner, &uid)) {
      setFault(fault, kFaultNoOwner, "No owner on this service", method);
      return false;
    }
    const std::string token = m_store->newToken(uid);
    if (token.empty()) {
      setStoreFault(fault, kSvcInternal, method);
      return false;
    }
    out->set("valtoken", token);
    return true;
  }
  if (method == "loginUser") {
    const std::string *name = svcargs__find(args, "username");
    if (!name) name = svcargs__find(args, "email");
    const std::string *password = svcargs__find(args, "password");
    int64_t uid = 0;
    if (!name || !password) {
      setFault(fault, kFaultUnauthorized, "Wrong name or password", method);
      return false;
    }
    if (int64_t wait = m_throttle.wait(*name, req.peer, nowMs())) {
      setFault(fault, kFaultUnauthorized, throttledText(wait), method);
      return false;
    }
    if (!m_store->checkPassword(*name, *password, &uid)) {
      m_throttle.failed(*name, req.peer, nowMs());
      setFault(fault, kFaultUnauthorized, "Wrong name or password", method);
      return false;
    }
    m_throttle.succeeded(*name);
    std::string token = m_store->newToken(uid);
    UserRec u;
    if (token.empty() || !m_store->userForToken(token, &u)) {
      setStoreFault(fault, kSvcInternal, method);
      return false;
    }
    out->set("valtoken", token);
    out->set("user", userValue(u));
    return true;
  }
  if (method == "getUser") {
    UserRec u;
    if (!user(&u)) return false;
    out->set("user", userValue(u));
    return true;
  }
  if (method == "generateGoURL") {
    UserRec u;
    if (!user(&u)) return false;
    const std::string *path = svcargs__find(args, "path");
    // A one-time code that signs a browser in as this user, never the token itself.
    out->set("gourl", m_web.goUrl(u.id, path ? *path : std::string("view"), base));
    return true;
  }
  if (method == "listServices") {
    UserRec u;
    if (!user(&u)) return false;
    SvcValue list = SvcValue::list("service");
    for (const ServiceRec &s : m_store->services(u.id)) list.push(serviceValue(s, base));
    out->set("services", list);
    return true;
  }
  if (method == "listAlbums") {
    UserRec u;
    if (!user(&u)) return false;
    out->set("albums", SvcValue::list("album"));
    return true;
  }
  if (method == "getService") {
    UserRec u;
    ServiceRec svc;
    if (!user(&u)) return false;
    const std::string *dev = svcargs__find(args, "deviceid");
    const std::string *sid = svcargs__find(args, "serviceid");
    if (!dev || !sid || !m_store->service(u.id, *dev, *sid, &svc)) {
      setFault(fault, kSvcNoService, "No such drive", method);
      return false;
    }
    out->set("service", serviceValue(svc, base));
    return true;
  }

  bool fileMethod = method == "createFile" || method == "getFile" || method == "removeFile" ||
                    method == "listFiles" || method == "moveFile";
  if (!fileMethod) {
    setFault(fault, kFaultUnknownMethod, "Unknown method", method);
    return false;
  }
  ServiceRec svc;
  if (!drive(args, &svc, fault)) return false;

  if (method == "createFile") {
    const std::string *name;
    if (!need("filename", &name)) return false;
    if (!validName(*name)) {
      setFault(fault, kSvcBadRequest, "Invalid file name", method);
      return false;
    }
    // Stored texts go back out in every transport: they must be texts every one can carry.
    for (const auto &[k, v] : args) {
      if (!svctext__utf8(v) || !xmlText(v)) {
        setFault(fault, kSvcBadRequest, "Invalid text in argument", k);
        return false;
      }
    }
    if (svc.readOnly) {
      setFault(fault, kFaultReadOnly, "Drive is read-only", svc.id);
      return false;
    }
    int64_t parent = 0;
    const std::string *p = svcargs__find(args, "parentid");
    if (p && !p->empty() && !parseId(*p, &parent)) {
      setFault(fault, kSvcNoFile, "No such folder", *p);
      return false;
    }
    const std::string *t = svcargs__find(args, "type");
    int type = 0;
    if (t && *t == "1")
      type = 1;
    else if (t && !t->empty() && *t != "0") {
      setFault(fault, kSvcBadRequest, "Unknown type", *t);
      return false;
    }
    int64_t now = nowMs(), ctime = now, mtime = now;
    parseMs(svcargs__find(args, "ctime"), &ctime);
    if (!parseMs(svcargs__find(args, "mtime"), &mtime)) mtime = ctime;
    SvcArgs props;
    for (const auto &[k, v] : args) {
      if (k == "valtoken" || k == "deviceid" || k == "serviceid" || k == "parentid" ||
          k == "filename" || k == "type" || k == "ctime" || k == "mtime" || k == "fileid" ||
          k == "name")
        continue;
      // Keys become element names in answers; values longer than the client reads are dropped.
      if (!svcxml__isName(k) || v.size() > kMaxPropValue || props.size() >= kMaxProps) continue;
      if (svcargs__find(props, k)) continue;
      props.emplace_back(k, v);
    }
    FileRec f;
    int rc = m_store->createFile(svc, parent, *name, type, ctime, mtime, props, &f);
    if (rc != kSvcOk) {
      setFault(fault, rc,
               rc == kSvcExists      ? "File exists"
               : rc == kSvcNoFile    ? "No such folder"
               : rc == kSvcNotFolder ? "Parent is not a folder"
               : rc == kSvcNoSpace   ? "Not enough space on the drive"
                                     : "Cannot store the change",
               *name);
      return false;
    }
    out->set("file", fileValue(f));
    return true;
  }

  if (method == "getFile") {
    FileRec f;
    const std::string *fid = svcargs__find(args, "fileid");
    int rc = kSvcNoFile;
    if (fid) {
      int64_t id;
      if (parseId(*fid, &id)) rc = m_store->getFile(svc, id, &f);
    } else {
      const std::string *name;
      if (!need("filename", &name)) return false;
      int64_t parent = 0;
      const std::string *p = svcargs__find(args, "parentid");
      if (!p || p->empty() || parseId(*p, &parent)) {
        rc = m_store->getFile(svc, parent, &f);
        // A name with slashes is a path below the parent, one component at a time.
        size_t pos = 0;
        while (rc == kSvcOk && pos <= name->size()) {
          size_t slash = name->find('/', pos);
          std::string part =
              name->substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
          if (!part.empty()) {
            if (!validName(part) || f.type != 1)
              rc = kSvcNoFile;
            else
              rc = m_store->findChild(svc, f.id, part, &f);
          }
          if (slash == std::string::npos) break;
          pos = slash + 1;
        }
      }
      const std::string *t = svcargs__find(args, "type");
      if (rc == kSvcOk && t && !t->empty() && *t != std::to_string(f.type)) rc = kSvcNoFile;
    }
    if (storeFailed(rc)) {
      setStoreFault(fault, rc, method);
      return false;
    }
    if (rc != kSvcOk) {
      setFault(fault, kSvcNoFile, "No such file or folder", fid ? *fid : std::string());
      return false;
    }
    out->set("file", fileValue(f));
    return true;
  }

  if (method == "removeFile") {
    const std::string *fid;
    if (!need("fileid", &fid)) return false;
    if (svc.readOnly) {
      setFault(fault, kFaultReadOnly, "Drive is read-only", svc.id);
      return false;
    }
    int64_t id;
    std::vector<int64_t> removed;
    int rc;
    {
      std::lock_guard<std::mutex> g(commitLock(svc.id));
      rc = parseId(*fid, &id) ? m_store->removeFile(svc, id, &removed) : kSvcNoFile;
      for (int64_t r : removed)
        for (const SvcPendingRef &p : m_content->removeFile(svc.id, r))
          m_store->releaseUpload(p.serviceId, p.key());
    }
    if (storeFailed(rc)) {
      setStoreFault(fault, rc, *fid);
      return false;
    }
    if (rc != kSvcOk) {
      setFault(
          fault, rc,
          rc == kSvcBadRequest ? "The root folder cannot be removed" : "No such file or folder",
          *fid);
      return false;
    }
    out->set("fileid", *fid);
    return true;
  }

  if (method == "moveFile") {
    const std::string *fid;
    if (!need("fileid", &fid)) return false;
    if (svc.readOnly) {
      setFault(fault, kFaultReadOnly, "Drive is read-only", svc.id);
      return false;
    }
    int64_t id = 0, parent = 0;
    FileRec f;
    int got = parseId(*fid, &id) ? m_store->getFile(svc, id, &f) : kSvcNoFile;
    if (got != kSvcOk) {
      if (storeFailed(got))
        setStoreFault(fault, got, *fid);
      else
        setFault(fault, kSvcNoFile, "No such file or folder", *fid);
      return false;
    }
    // Without a new folder the entry stays where it is; without a new name it keeps its own.
    parent = f.parentId;
    const std::string *p = svcargs__find(args, "parentid");
    if (p && !p->empty() && !parseId(*p, &parent)) {
      setFault(fault, kSvcNoFile, "No such folder", *p);
      return false;
    }
    const std::string *n = svcargs__find(args, "filename");
    const std::string name = n && !n->empty() ? *n : f.name;
    if (!validName(name) || !svctext__utf8(name) || !xmlText(name)) {
      setFault(fault, kSvcBadRequest, "Invalid file name", method);
      return false;
    }
    int rc = m_store->moveFile(svc, id, parent, name, &f);
    if (rc != kSvcOk) {
      setFault(fault, rc,
               rc == kSvcExists       ? "File exists"
               : rc == kSvcNoFile     ? "No such file or folder"
               : rc == kSvcNotFolder  ? "Parent is not a folder"
               : rc == kSvcNoSpace    ? "Not enough space on the drive"
               : rc == kSvcBadRequest ? "The root cannot move, nor a folder into itself"
                                      : "Cannot store the change",
               *fid);
      return false;
    }
    out->set("file", fileValue(f));
    return true;
  }

  // listFiles
  int64_t parent = 0, maxCount = 500, page = 0;
  const std::string *p = svcargs__find(args, "parentid");
  if (p && !p->empty() && !parseId(*p, &parent)) {
    setFault(fault, kSvcNoFile, "No such folder", *p);
    return false;
  }
  const std::string *mc = svcargs__find(args, "maxcount");
  if (mc && !parseId(*mc, &maxCount)) maxCount = 500;
  maxCount = std::max<int64_t>(1, std::min<int64_t>(maxCount, kMaxPage));
  const std::string *po = svcargs__find(args, "pageoffset");
  if (po && !po->empty() && (!parseId(*po, &page) || page > 100000000)) {
    setFault(fault, kSvcBadRequest, "Bad page offset", *po);
    return false;
  }
  std::vector<FileRec> files;
  int rc = m_store->listFiles(svc, parent, page * maxCount, maxCount, &files);
  if (storeFailed(rc)) {
    setStoreFault(fault, rc, method);
    return false;
  }
  if (rc != kSvcOk) {
    setFault(fault, kSvcNoFile, rc == kSvcNotFolder ? "Not a folder" : "No such folder",
             p ? *p : std::string("0"));
    return false;
  }
  SvcValue list = SvcValue::list("file");
  for (const FileRec &f : files) list.push(fileValue(f));
  // The count of this page: a walk asks for the next page only after a full one.
  out->set("count", std::to_string(files.size()));
  out->set("files", list);
  return true;
}

void SvcService::handle(const HttpRequest &request, HttpBody &body, HttpResponse &resp) {
  // A request a web page sent from a foreign origin is never a local caller's.
  const std::string *origin = request.header("origin");
  std::optional<HttpRequest> foreign;
  if (origin && request.loopback && !m_origins.allowed(*origin, ownAddresses(request))) {
    foreign.emplace(request);
    foreign->loopback = false;
  }
  const HttpRequest &req = foreign ? *foreign : request;
  const std::string &path = req.path;
  if (path == "/svc/api" || path == "/svc/api/") {
    if (req.method != "POST") return textAnswer(resp, 405, "POST a SOAP envelope here");
    return handleSoap(req, body, resp);
  }
  static const std::string kJson = "/svc/api/json/", kPkt1 = "/svc/pktm/", kPkt2 = "/svc/api/pktm/";
  if (path.compare(0, kJson.size(), kJson) == 0)
    return handleJson(req, path.substr(kJson.size()), body, resp);
  // The pages add "json/" to whatever API address a drive has, packet addresses included.
  for (const std::string *prefix : {&kPkt1, &kPkt2}) {
    std::string pagePrefix = *prefix + "json/";
    if (path.compare(0, pagePrefix.size(), pagePrefix) == 0)
      return handleJson(req, path.substr(pagePrefix.size()), body, resp);
  }
  if (path.compare(0, kPkt1.size(), kPkt1) == 0)
    return handlePkt(req, path.substr(kPkt1.size()), body, resp);
  if (path.compare(0, kPkt2.size(), kPkt2) == 0)
    return handlePkt(req, path.substr(kPkt2.size()), body, resp);
  if (path.compare(0, 11, "/svc/files/") == 0) return handleFiles(req, body, resp);
  if (path == "/oauth") return handleOauth(req, body, resp);
  if (path.compare(0, 7, "/admin/") == 0) return handleAdmin(req, resp);
  if (SvcWeb::owns(path)) return m_web.handle(req, body, resp);
  if (path == "/" && req.method == "GET") return textAnswer(resp, 200, "tesselsvc");
  // For load balancers: this instance answers, and so does its database.
  if (path == "/healthz")
    return m_store->healthy() ? textAnswer(resp, 200, "ok")
                              : textAnswer(resp, 503, "the database does not answer");
  textAnswer(resp, 404, "not found");
}

void SvcService::handleSoap(const HttpRequest &req, HttpBody &body, HttpResponse &resp) {
  resp.set("Content-Type", "text/xml; charset=\"utf-8\"");
  std::string text, method, err;
  SvcArgs args;
  SvcFault fault;
  if (!body.readAll(&text, kMaxCallBody)) {
    resp.status = body.failed() ? 400 : 413;
    setFault(&fault, kSvcBadRequest, body.failed() ? "Malformed body" : "Body too large");
    resp.body = svcxml__fault(fault);
    resp.close = true;
    return;
  }
  if (!svcxml__parseCall(text, &method, &args, &err)) {
    resp.status = 400;
    setFault(&fault, kSvcBadRequest, "Malformed request", err);
    resp.body = svcxml__fault(fault);
    return;
  }
  SvcValue result;
  if (!call(method, args, req, &result, &fault)) {
    resp.status = 500;
    resp.body = svcxml__fault(fault);
    return;
  }
  resp.body = svcxml__response(method, result);
}

void SvcService::handleJson(const HttpRequest &req, const std::string &method, HttpBody &body,
                            HttpResponse &resp) {
  SvcFault fault;
  // Pages of the allowed origins may call and read answers; other pages get nothing. Sign-in
  // and the owner's token are never handed to a page's script.
  if (const std::string *origin = req.header("origin")) {
    if (!m_origins.allowed(*origin, ownAddresses(req))) {
      resp.status = 403;
      resp.set("Content-Type", "application/json; charset=utf-8");
      setFault(&fault, kFaultUnauthorized, "Origin not allowed");
      resp.body = svcjson__fault(fault);
      return;
    }
    if (method != "getOwnerAuth" && method != "loginUser") corsHeaders(resp, *origin);
  }
  if (req.method == "OPTIONS") {
    resp.status = 204;
    return;
  }
  resp.set("Content-Type", "application/json; charset=utf-8");
  std::string text, parsedMethod, err;
  SvcArgs args;
  if (req.method != "POST" || method.empty() || method.find('/') != std::string::npos) {
    resp.status = req.method != "POST" ? 405 : 404;
    setFault(&fault, kSvcBadRequest, "POST a call to /svc/api/json/METHOD");
    resp.body = svcjson__fault(fault);
    return;
  }
  if (!body.readAll(&text, kMaxCallBody)) {
    resp.status = body.failed() ? 400 : 413;
    setFault(&fault, kSvcBadRequest, body.failed() ? "Malformed body" : "Body too large");
    resp.body = svcjson__fault(fault);
    resp.close = true;
    return;
  }
  // An empty body is a call without arguments; a JSON object or an envelope carries them.
  size_t first = text.find_first_not_of(" \t\r\n");
  bool ok = true;
  if (first != std::string::npos)
    ok = text[first] == '{' ? svcjson__parseArgs(text, &args, &err)
                            : svcxml__parseCall(text, &parsedMethod, &args, &err);
  if (!ok) {
    resp.status = 400;
    setFault(&fault, kSvcBadRequest, "Malformed request: " + err);
    resp.body = svcjson__fault(fault);
    return;
  }
  SvcValue result;
  if (!call(method, args, req, &result, &fault)) {
    resp.body = svcjson__fault(fault);
    return;
  }
  resp.body = svcjson__response(result);
}

void SvcService::handlePkt(const HttpRequest &req, const std::string &method, HttpBody &body,
                           HttpResponse &resp) {
  resp.set("Content-Type", "application/octet-stream");
  SvcFault fault;
  auto faultAnswer = [&](int status) {
    SvcValue v = SvcValue::map();
    v.set("errorCode", std::to_string(fault.code));
    v.set("errorDescription", fault.description);
    v.set("errorContext", fault.context);
    resp.status = status;
    resp.body = svcpkt__encode(svcpkt__fromValue(v));
  };
  std::string text, err;
  if (req.method != "POST" || method.empty() || method.find('/') != std::string::npos) {
    setFault(&fault, kSvcBadRequest, "POST a packet message to /svc/pktm/METHOD");
    return faultAnswer(req.method != "POST" ? 405 : 404);
  }
  if (!body.readAll(&text, kMaxCallBody)) {
    setFault(&fault, kSvcBadRequest, body.failed() ? "Malformed body" : "Body too large");
    resp.close = true;
    return faultAnswer(body.failed() ? 400 : 413);
  }
  PktMessage msg;
  SvcArgs args;
  if (!text.empty() &&
      (!svcpkt__parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), &msg, &err) ||
       !svcpkt__toArgs(msg, &args, &err))) {
    setFault(&fault, kSvcBadRequest, "Malformed request", err);
    return faultAnswer(400);
  }
  SvcValue result;
  if (!call(method, args, req, &result, &fault)) return faultAnswer(500);
  resp.body = svcpkt__encode(svcpkt__fromValue(result));
}

void SvcService::handleFiles(const HttpRequest &req, HttpBody &body, HttpResponse &resp) {
  std::vector<std::string> parts;
  std::string rest = req.path.substr(11);
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t slash = rest.find('/', pos);
    std::string raw =
        rest.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    std::string seg;
    // Every segment is a plain identifier: anything that decodes to a path trick is refused.
    if (!svchttp__decode(raw, &seg, false) || seg.empty() || seg == "." || seg == ".." ||
        seg.find_first_of("/\\") != std::string::npos || parts.size() >= 5)
      return textAnswer(resp, 400, "bad file address");
    parts.push_back(seg);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  std::string token;
  if (!parts.empty() && isHex32(parts[0]) && parts.size() >= 4) {
    token = parts[0];
    parts.erase(parts.begin());
  }
  if (parts.size() < 3 || parts.size() > 4) return textAnswer(resp, 404, "not found");
  std::string stream = parts.size() == 4 ? parts[3] : std::string();
  if (!stream.empty() && stream != "pv" && stream != "tn" && stream != "st")
    return textAnswer(resp, 404, "no such stream");
  if (token.empty()) {
    if (const std::string *h = req.header("x-vxvaltoken")) token = *h;
  }
  if (token.empty()) token = svcweb__cookie(req.header("cookie"), "valtoken");
  if (token.empty()) token = svchttp__param(req.query, "valtoken");
  UserRec user;
  ServiceRec svc;
  int64_t fileId = 0;
  FileRec f;
  int got = kSvcNoFile;
  const SvcStore::SessionFound found =
      parseId(parts[2], &fileId)
          ? m_store->sessionDriveFile(token, parts[0], parts[1], fileId, &user, &svc, &f, &got)
          : m_store->sessionDrive(token, parts[0], parts[1], &user, &svc);
  if (found == SvcStore::kNoSession) return textAnswer(resp, 401, "not authorized");
  if (found != SvcStore::kSessionAndDrive) return textAnswer(resp, 404, "no such drive");
  if (!svc.online) return textAnswer(resp, 503, "drive is offline");
  if (storeFailed(got)) return textAnswer(resp, 500, "cannot read the drive");
  if (got != kSvcOk) {
    // A piece for a file removed meanwhile: its pending upload goes too.
    if (req.method == "PUT" && req.header("content-range")) dropPending(svc.id, fileId, stream);
    return textAnswer(resp, 404, "no such file");
  }
  if (f.type != 0) return textAnswer(resp, 400, "not a file");
  if (req.method == "PUT") return handleUpload(req, body, resp, svc, fileId, stream);
  if (req.method != "GET" && req.method != "HEAD") return textAnswer(resp, 405, "GET or PUT");
  std::string ct = "application/octet-stream";
  if (stream.empty()) {
    if (const std::string *m = svcargs__find(f.props, "mimetype"))
      if (mimeType(*m)) ct = *m;
  } else {
    ct = stream == "st" ? "video/mp4" : "image/jpeg";
  }
  // Stored content never runs as a page of this origin (where the sign-in form lives).
  resp.set("Content-Type", ct);
  resp.set("X-Content-Type-Options", "nosniff");
  resp.set("Content-Security-Policy", "default-src 'none'; sandbox");
  if (!inlineType(ct)) resp.set("Content-Disposition", "attachment");
  if (m_content->openRead(svc.id, fileId, stream, &resp.content) != kSvcOk) {
    resp.headers.clear();
    return textAnswer(resp, 404, "no content");
  }
  resp.ranges = true;
  if (req.method == "GET") {
    std::lock_guard<std::mutex> g(m_faultLock);
    if (m_downloadCount > 0) {
      m_downloadCount--;
      resp.cutAfter = m_downloadCutAfter;
    }
  }
}

int SvcService::receiveBody(const HttpRequest &, HttpBody &body, HttpResponse &resp,
                            SvcUpload &up, const std::function<bool(int64_t)> &reserve,
                            int64_t *got) {
  std::string mode;
  int64_t after = 0;
  int stallMs = 0;
  {
    std::lock_guard<std::mutex> g(m_faultLock);
    if (m_uploadCount > 0 && !m_uploadAcross) {
      m_uploadCount--;
      mode = m_uploadMode;
      after = m_uploadAfter;
      stallMs = m_uploadStallMs;
    }
  }
  int64_t total = 0;
  bool stalled = false;
  char buf[65536];
  *got = 0;
  for (;;) {
    size_t want = sizeof buf;
    if (!mode.empty() && total < after)
      want = static_cast<size_t>(std::min<int64_t>(want, after - total));
    if (!mode.empty() && total >= after) {
      if (mode == "cut") {
        resp.abort = true;
        return kBodyCut;
      }
      if (mode == "stall" && !stalled) {
        stalled = true;
        m_http.pause(stallMs);
      }
    }
    // A fault counted across bodies: the bytes left before it bound this read.
    {
      std::unique_lock<std::mutex> g(m_faultLock);
      if (m_uploadCount > 0 && m_uploadAcross) {
        if (m_acrossLeft <= 0) {
          const std::string acrossMode = m_uploadMode;
          const int ms = m_uploadStallMs;
          m_uploadCount--;
          m_acrossLeft = m_uploadAfter;
          g.unlock();
          if (acrossMode == "cut") {
            resp.abort = true;
            return kBodyCut;
          }
          m_http.pause(ms);
        } else {
          want = static_cast<size_t>(std::min<int64_t>(want, m_acrossLeft));
        }
      }
    }
    long r = body.read(buf, want);
    if (r < 0) {
      resp.abort = true;
      return kBodyCut;
    }
    if (r == 0) break;
    m_received += r;
    {
      std::lock_guard<std::mutex> g(m_faultLock);
      if (m_uploadCount > 0 && m_uploadAcross) m_acrossLeft -= r;
    }
    total += r;
    if (!reserve(total)) return kBodyTooBig;
    const int w = up.write(buf, static_cast<size_t>(r));
    if (w != kSvcOk) return w == kSvcNoSpace ? kBodyDiskFull : kBodyFailed;
    *got = total;
  }
  return kBodyDone;
}

void SvcService::handleUpload(const HttpRequest &req, HttpBody &body, HttpResponse &resp,
                              const ServiceRec &svc, int64_t fileId, const std::string &stream) {
  if (svc.readOnly) return textAnswer(resp, 403, "drive is read-only");
  if (const std::string *range = req.header("content-range"))
    return handlePiece(req, body, resp, svc, fileId, stream, *range);
  // Uploads in progress hold their bytes against the drive's space from the start (the whole
  // length, or a chunked body's bytes as they come), so that parallel uploads cannot together
  // overrun it before any of them is stored. A body of known length learns its room and holds
  // its length in one step.
  int64_t room = 0, reserved = 0;
  const std::string upload = m_tmpPrefix + svc__randomHex(8);
  bool held = true;
  if ((req.contentLength > 0
           ? m_store->roomAndHold(svc.id, fileId, stream, upload, req.contentLength, &room, &held)
           : m_store->room(svc.id, fileId, stream, &room)) != kSvcOk) {
    resp.close = true;
    return textAnswer(resp, 500, "cannot store the upload");
  }
  if (held && req.contentLength > 0) reserved = req.contentLength;
  auto reserve = [&](int64_t want) {
    if (want <= reserved) return true;
    if (!m_store->holdUpload(svc.id, upload, want, room)) return false;
    reserved = want;
    return true;
  };
  struct Release {
    SvcStore &store;
    const std::string &id, &upload;
    const int64_t &bytes;
    ~Release() {
      if (bytes > 0) store.releaseUpload(id, upload);
    }
  } release{*m_store, svc.id, upload, reserved};
  if (!held) {
    resp.close = true;
    return textAnswer(resp, 507, "not enough space on the drive");
  }
  std::unique_ptr<SvcUpload> up;
  std::unique_ptr<SvcPublication> pub;
  int rc = m_content->newUpload(svc.id, fileId, stream, &up, &pub);
  if (rc != kSvcOk) {
    resp.close = true;
    return rc == kSvcNoSpace ? textAnswer(resp, 507, "the service's disk is full")
                             : textAnswer(resp, 500, "cannot store the upload");
  }
  // A body of unknown length holds a MiB ahead of what came, one step at a time; one of known
  // length holds its length from the start and never more.
  auto grow = [&](int64_t total) {
    return req.contentLength >= 0 || total <= reserved ||
           reserve(std::min(room, total + (1 << 20))) || reserve(total);
  };
  int64_t total = 0;
  int end = receiveBody(req, body, resp, *up, grow, &total);
  if (end == kBodyDone) {
    rc = up->finish();
    if (rc != kSvcOk) end = rc == kSvcNoSpace ? kBodyDiskFull : kBodyFailed;
  }
  up.reset();
  if (end != kBodyDone) {
    if (resp.abort) return;
    resp.close = true;
    return textAnswer(resp, end == kBodyFailed ? 500 : 507,
                      end == kBodyTooBig    ? "not enough space on the drive"
                      : end == kBodyDiskFull ? "the service's disk is full"
                                             : "cannot store the upload");
  }
  // The body takes the stream's place inside the record's transaction. A stream it replaces
  // keeps a second name until the record is stored, so that a record that cannot be stored
  // gets its old content back.
  rc = publishUpload(svc, fileId, stream, total, *pub);
  if (rc != kSvcOk) return uploadRefused(resp, rc);
  uploadAnswer(resp, fileId, total);
}

int SvcService::publishUpload(const ServiceRec &svc, int64_t fileId, const std::string &stream,
                              int64_t size, SvcPublication &pub) {
  int rc;
  {
    std::lock_guard<std::mutex> g(commitLock(svc.id));
    rc = m_store->commitStream(
        svc.id, fileId, stream, size, [&](bool replacing) { return pub.publish(replacing); },
        [&] { pub.unpublish(); });
  }
  if (rc == kSvcOk) pub.done();
  return rc;
}

void SvcService::uploadRefused(HttpResponse &resp, int rc) {
  textAnswer(resp,
             rc == kSvcNoSpace  ? 507
             : rc == kSvcNoFile ? 404
                                : 500,
             rc == kSvcNoSpace ? "not enough space on the drive" : "upload not stored");
}

void SvcService::uploadAnswer(HttpResponse &resp, int64_t fileId, int64_t size) {
  resp.set("Content-Type", "application/json");
  resp.body =
      "{\"fileid\":\"" + std::to_string(fileId) + "\",\"size\":" + std::to_string(size) + "}";
}

void SvcService::dropPending(const std::string &serviceId, int64_t fileId,
                             const std::string &stream) {
  std::unique_ptr<SvcPending> p;
  SvcPendingState busy;
  if (m_content->lockPending(serviceId, fileId, stream, false, kPieceWaitMs, &p, &busy) != kSvcOk)
    return;
  p->drop();
  m_store->releaseUpload(serviceId, SvcPendingRef{serviceId, fileId, stream, {}}.key());
}

void SvcService::handlePiece(const HttpRequest &req, HttpBody &body, HttpResponse &resp,
                             const ServiceRec &svc, int64_t fileId, const std::string &stream,
                             const std::string &range) {
  // Nothing of a refused piece's body is read: the connection goes after the answer.
  if (!m_pieces.load()) {
    resp.close = true;
    return textAnswer(resp, 501, "uploads in pieces are not taken");
  }
  if (req.contentLength < 0) {
    resp.close = true;
    return textAnswer(resp, 411, "a piece needs a Content-Length");
  }
  int64_t first = 0, last = 0, total = 0;
  const bool parsed = svccontent__parseContentRange(range, &first, &last, &total);
  const bool question = parsed && first < 0;
  if (!parsed || (question ? req.contentLength != 0 : req.contentLength != last - first + 1)) {
    resp.close = true;
    return textAnswer(resp, 400, "bad Content-Range");
  }
  const std::string where =
      svc.id + "/" + std::to_string(fileId) + (stream.empty() ? "" : "/" + stream);
  const SvcPendingRef ref{svc.id, fileId, stream, {}};
  auto offsets = [&](int status, const SvcPendingState &st, int64_t shownTotal) {
    resp.set("X-Upload-Offset", std::to_string(st.held));
    resp.set("X-Upload-Total", std::to_string(shownTotal));
    textAnswer(resp, status,
               "held " + std::to_string(st.held) + " of " + std::to_string(shownTotal));
  };
  std::unique_ptr<SvcPending> pending;
  SvcPendingState busy;
  if (question) {
    const int rc = m_content->lockPending(svc.id, fileId, stream, false, kPieceWaitMs, &pending,
                                          &busy);
    SvcPendingState st = rc == kSvcOk ? pending->state() : rc == kSvcExists ? busy
                                                                            : SvcPendingState();
    if (st.total != total) st = SvcPendingState();
    return offsets(202, st, total);
  }
  int64_t room = 0;
  if (first == 0 && m_store->room(svc.id, fileId, stream, &room) != kSvcOk) {
    resp.close = true;
    return textAnswer(resp, 500, "cannot store the upload");
  }
  int rc = m_content->lockPending(svc.id, fileId, stream, first == 0, kPieceWaitMs, &pending,
                                  &busy);
  if (rc == kSvcExists || rc == kSvcNoFile) {
    resp.close = true;
    return offsets(409, rc == kSvcExists ? busy : SvcPendingState(),
                   rc == kSvcExists ? busy.total : 0);
  }
  if (rc != kSvcOk) {
    resp.close = true;
    return textAnswer(resp, rc == kSvcNoSpace ? 507 : 500,
                      rc == kSvcNoSpace ? "the service's disk is full" : "cannot store the upload");
  }
  if (first > 0 && (pending->state().total != total || pending->state().held != first)) {
    resp.close = true;
    return offsets(409, pending->state(), pending->state().total);
  }
  if (first == 0) {
    // A new beginning holds the whole stream against the drive, in place of what an earlier
    // one of the same key held (which stays as it was when the new one does not fit).
    if (!m_store->holdUpload(svc.id, ref.key(), total, room)) {
      resp.close = true;
      return textAnswer(resp, 507, "not enough space on the drive");
    }
    if ((rc = pending->restart(total)) != kSvcOk) {
      pending->drop();
      m_store->releaseUpload(svc.id, ref.key());
      resp.close = true;
      return textAnswer(resp, rc == kSvcNoSpace ? 507 : 500,
                        rc == kSvcNoSpace ? "the service's disk is full"
                                          : "cannot store the upload");
    }
  }
  std::unique_ptr<SvcUpload> up;
  if ((rc = pending->append(&up)) != kSvcOk) {
    resp.close = true;
    return textAnswer(resp, rc == kSvcNoSpace ? 507 : 500, "cannot store the upload");
  }
  int64_t got = 0;
  int end = receiveBody(req, body, resp, *up, [](int64_t) { return true; }, &got);
  // Bytes that arrived are kept, also of a piece cut short, once they are durable.
  if ((end == kBodyDone || end == kBodyCut) && got > 0) {
    rc = up->finish();
    if (rc != kSvcOk) end = rc == kSvcNoSpace ? kBodyDiskFull : kBodyFailed;
  }
  up.reset();
  const int64_t held = first + got;
  if (m_opt.verbose)
    std::fprintf(stderr, "tesselsvc: piece of %s: bytes %lld-%lld/%lld, %lld arrived%s\n",
                 where.c_str(), static_cast<long long>(first), static_cast<long long>(last),
                 static_cast<long long>(total), static_cast<long long>(got),
                 end == kBodyCut ? ", cut" : "");
  if (end == kBodyDone && held == total) {
    std::unique_ptr<SvcPublication> pub;
    rc = pending->publication(&pub);
    if (rc == kSvcOk) rc = publishUpload(svc, fileId, stream, total, *pub);
    pub.reset();
    if (rc == kSvcOk || rc == kSvcNoFile) {
      pending->drop();
      m_store->releaseUpload(svc.id, ref.key());
    }
    if (rc != kSvcOk) {
      // The last piece stays unrecorded: the stream's old content and what was held before it
      // are as they were.
      std::fprintf(stderr, "tesselsvc: pending upload %s not stored (%d)\n", where.c_str(), rc);
      return uploadRefused(resp, rc);
    }
    if (m_opt.verbose)
      std::fprintf(stderr, "tesselsvc: pending upload %s stored, %lld bytes\n", where.c_str(),
                   static_cast<long long>(total));
    resp.set("X-Upload-Offset", std::to_string(total));
    return uploadAnswer(resp, fileId, total);
  }
  if ((end == kBodyDone || end == kBodyCut) && got > 0 && (rc = pending->advance(held)) != kSvcOk)
    end = rc == kSvcNoSpace ? kBodyDiskFull : kBodyFailed;
  if (resp.abort) return;
  if (end != kBodyDone) {
    resp.close = true;
    return textAnswer(resp, end == kBodyFailed ? 500 : 507,
                      end == kBodyFailed ? "cannot store the upload"
                                         : "the service's disk is full");
  }
  offsets(202, pending->state(), total);
}

void SvcService::sweepPending() {
  const int64_t maxAge = m_pendingMaxAgeMs.load();
  for (const SvcPendingRef &r : m_content->sweep(nowMs() - maxAge)) {
    m_store->releaseUpload(r.serviceId, r.key());
    std::fprintf(stderr,
                 "tesselsvc: pending upload %s/%lld%s dropped after %lld s without progress "
                 "(%lld of %lld bytes held)\n",
                 r.serviceId.c_str(), static_cast<long long>(r.fileId),
                 r.stream.empty() ? "" : ("/" + r.stream).c_str(),
                 static_cast<long long>((nowMs() - r.state.lastMs) / 1000),
                 static_cast<long long>(r.state.held), static_cast<long long>(r.state.total));
  }
}

void SvcService::handleOauth(const HttpRequest &req, HttpBody &body, HttpResponse &resp) {
  resp.set("Content-Type", "text/html; charset=utf-8");
  resp.set("Cache-Control", "no-store");
  // The form is never shown inside another site's frame, where a click could be stolen.
  resp.set("X-Frame-Options", "DENY");
  resp.set("Content-Security-Policy",
           "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'");
  std::string params = req.query;
  if (req.method == "POST") {
    if (!body.readAll(&params, kMaxFormBody)) {
      resp.close = true;
      return textAnswer(resp, 413, "form too large");
    }
  } else if (req.method != "GET") {
    return textAnswer(resp, 405, "GET or POST");
  }
  std::string clientId = svchttp__param(params, "client_id");
  std::string redirect = svchttp__param(params, "redirect_uri");
  std::string type = svchttp__param(params, "response_type");
  // The token travels only to the program's own address scheme, never to a web site.
  bool plain = std::all_of(redirect.begin(), redirect.end(), [](char c) {
    return static_cast<unsigned char>(c) > 0x20 && c != 0x7f && c != '#';
  });
  if (type != "token" || redirect.compare(0, 10, "ytoauth://") != 0 || !plain) {
    resp.status = 400;
    resp.body = "<!DOCTYPE html><html><body><p>Bad sign-in request.</p></body></html>";
    return;
  }
  // Each form carries a fresh token that must come back both in the form and in a cookie only
  // this site can set: another site cannot post a sign-in in the user's browser.
  auto form = [&](const std::string &error) {
    std::string csrf = svc__randomHex(16);
    resp.set("Set-Cookie", "oauth_csrf=" + csrf + "; Path=/oauth; HttpOnly; SameSite=Strict" +
                               (req.tls ? "; Secure" : ""));
    resp.body = loginPage(clientId, redirect, error, csrf);
  };
  if (req.method == "GET") return form(std::string());
  std::string sent = svchttp__param(params, "csrf");
  std::string kept = svcweb__cookie(req.header("cookie"), "oauth_csrf");
  if (!isHex32(sent) || sent.size() != kept.size() ||
      CRYPTO_memcmp(sent.data(), kept.data(), sent.size()) != 0) {
    resp.status = 403;
    return form("The sign-in form expired. Please try again.");
  }
  int64_t uid = 0;
  std::string name = svchttp__param(params, "username");
  if (int64_t wait = m_throttle.wait(name, req.peer, nowMs())) {
    resp.status = 429;
    return form(throttledText(wait) + ".");
  }
  if (!m_store->checkPassword(name, svchttp__param(params, "password"), &uid)) {
    m_throttle.failed(name, req.peer, nowMs());
    return form("Wrong name or password.");
  }
  m_throttle.succeeded(name);
  const std::string token = m_store->newToken(uid);
  if (token.empty()) {
    resp.status = 500;
    return form("The sign-in could not be stored. Please try again later.");
  }
  resp.status = 302;
  resp.set("Location", redirect + "#access_token=" + token + "&token_type=bearer");
  resp.body = "<!DOCTYPE html><html><body><p>Signed in.</p></body></html>";
}

void SvcService::handleAdmin(const HttpRequest &req, HttpResponse &resp) {
  if (!req.loopback) return textAnswer(resp, 404, "not found");
  std::string secret = svchttp__param(req.query, "secret");
  if (const std::string *h = req.header("x-admin-secret")) secret = *h;
  if (secret.size() != m_secret.size() ||
      CRYPTO_memcmp(secret.data(), m_secret.data(), m_secret.size()) != 0)
    return textAnswer(resp, 403, "wrong admin secret");
  std::string cmd = req.path.substr(7);
  auto num = [&](const char *name, int64_t def) {
    int64_t v;
    return parseId(svchttp__param(req.query, name), &v) ? v : def;
  };
  resp.set("Content-Type", "application/json");
  bool ok = true;
  if (cmd == "fail") {
    std::lock_guard<std::mutex> g(m_faultLock);
    m_failCount = static_cast<int>(num("count", 1));
    m_failSkip = static_cast<int>(std::min<int64_t>(num("skip", 0), 1000000));
    m_failCode = static_cast<int>(num("code", 500));
    m_failMethod = svchttp__param(req.query, "method");
  } else if (cmd == "upload") {
    std::string mode = svchttp__param(req.query, "mode");
    if (mode != "cut" && mode != "stall") return textAnswer(resp, 400, "mode is cut or stall");
    std::lock_guard<std::mutex> g(m_faultLock);
    m_uploadMode = mode;
    m_uploadAfter = num("after", 0);
    m_uploadStallMs = static_cast<int>(std::min<int64_t>(num("ms", 1000), 60000));
    m_uploadCount = static_cast<int>(num("count", 1));
    m_uploadAcross = svchttp__param(req.query, "across") == "1";
    m_acrossLeft = m_uploadAfter;
  } else if (cmd == "received") {
    resp.body = "{\"bytes\": " + std::to_string(m_received.load()) + "}";
    return;
  } else if (cmd == "pieces") {
    const std::string on = svchttp__param(req.query, "enabled");
    if (on != "0" && on != "1") return textAnswer(resp, 400, "enabled is 0 or 1");
    m_pieces = on == "1";
  } else if (cmd == "pending") {
    int64_t age;
    if (!parseId(svchttp__param(req.query, "maxage"), &age) || age < 1 || age > 100LL * 86400)
      return textAnswer(resp, 400, "maxage is seconds");
    m_pendingMaxAgeMs = age * 1000;
    m_sweepWake.notify_all();
  } else if (cmd == "download") {
    if (svchttp__param(req.query, "mode") != "cut") return textAnswer(resp, 400, "mode is cut");
    std::lock_guard<std::mutex> g(m_faultLock);
    m_downloadCutAfter = num("after", 0);
    m_downloadCount = static_cast<int>(num("count", 1));
  } else if (cmd == "offline" || cmd == "online") {
    ok = m_store->setOnline(svchttp__param(req.query, "serviceid"), cmd == "online");
  } else if (cmd == "revoke") {
    ok = m_store->revokeToken(svchttp__param(req.query, "token"));
  } else if (cmd == "quota") {
    ok = m_store->setQuota(svchttp__param(req.query, "serviceid"), num("bytes", 0));
  } else if (cmd == "version") {
    // What the drive reports as its firmware, so that clients' paths for older firmware can be
    // tested; empty restores the current one.
    const std::string v = svchttp__param(req.query, "version");
    if (v.size() > 63 || v.find_first_not_of("0123456789.abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN"
                                             "OPQRSTUVWXYZ-_ ") != std::string::npos)
      return textAnswer(resp, 400, "bad version");
    ok = m_store->setVersion(svchttp__param(req.query, "serviceid"), v);
  } else if (cmd == "reset") {
    std::lock_guard<std::mutex> g(m_faultLock);
    m_failCount = 0;
    m_failSkip = 0;
    m_uploadCount = 0;
    m_uploadAcross = false;
    m_downloadCount = 0;
    m_received = 0;
  } else {
    return textAnswer(resp, 404, "unknown admin command");
  }
  if (!ok) resp.status = 404;
  resp.body = ok ? "{\"ok\":true}" : "{\"ok\":false}";
}

}  // namespace tessel::svc
