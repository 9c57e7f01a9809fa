// The photo pages of the drive service: sign-in, session, pages, the pages' JSON and content.
#include "svcweb.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <string_view>
#include <nlohmann/json.hpp>

#include "svcvalue.h"

namespace tessel::svc {

namespace {

constexpr size_t kMaxFormBody = 16384;
constexpr int64_t kPageDefault = 60, kPageMax = 200, kFolderPage = 200, kMaxFolders = 1000;
const char kSessionCookie[] = "tesselweb";
const char kFormCookie[] = "web_csrf";
const char kGoCookie[] = "web_go";
// Pages and their scripts come only from the service itself; nothing runs inline, nothing
// frames them, forms post only here.
const char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; media-src 'self';"
    " font-src 'self'; connect-src 'self'; form-action 'self'; frame-ancestors 'none';"
    " base-uri 'none'";

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string hexDigest(const std::string &text) {
  static const char kHex[] = "0123456789abcdef";
  unsigned char md[32];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
  std::string out;
  for (unsigned int i = 0; i < len; i++) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

bool sameSecret(const std::string &a, const std::string &b) {
  return !a.empty() && a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool isHex32(const std::string &s) {
  return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool parseId(const std::string &s, int64_t *out) {
  if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *out = std::stoll(s);
  return true;
}

// Where a sign-in may lead: a page of /web/, never another site ("//host") or a trick.
std::string safeNext(const std::string &next) {
  if (next.compare(0, 5, "/web/") != 0 || next.find("//") != std::string::npos ||
      next.find("..") != std::string::npos)
    return "/web/";
  for (unsigned char c : next)
    if (!std::isalnum(c) && !std::strchr("/_.-", c)) return "/web/";
  return next;
}

// A stored mimetype is used only when it is a plain "type/subtype".
bool plainMime(const std::string &m) {
  size_t slash = m.find('/');
  if (m.empty() || m.size() > 127 || slash == std::string::npos || slash == 0 ||
      slash + 1 == m.size() || m.find('/', slash + 1) != std::string::npos)
    return false;
  for (unsigned char c : m)
    if (!std::isalnum(c) && !std::strchr("/!#$&^_.+-", c)) return false;
  return true;
}

// RFC 5987 form of a file name for Content-Disposition.
std::string extValue(const std::string &s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || std::strchr("!#$&+-.^_`|~", c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

void securityHeaders(HttpResponse &resp) {
  resp.set("X-Content-Type-Options", "nosniff");
  resp.set("X-Frame-Options", "DENY");
  resp.set("Referrer-Policy", "no-referrer");
}

void htmlAnswer(HttpResponse &resp, int status, std::string page) {
  resp.status = status;
  securityHeaders(resp);
  resp.set("Content-Type", "text/html; charset=utf-8");
  resp.set("Cache-Control", "no-store");
  resp.set("Content-Security-Policy", kPagePolicy);
  resp.body = std::move(page);
}

void jsonAnswer(HttpResponse &resp, int status, const nlohmann::json &j) {
  resp.status = status;
  securityHeaders(resp);
  resp.set("Content-Type", "application/json; charset=utf-8");
  resp.set("Cache-Control", "no-store");
  resp.set("Content-Security-Policy", "default-src 'none'; sandbox");
  // Texts that are not UTF-8 cannot come from createFile, but an old folder is read safely.
  resp.body = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void textAnswer(HttpResponse &resp, int status, const std::string &text) {
  resp.status = status;
  securityHeaders(resp);
  resp.set("Content-Type", "text/plain; charset=utf-8");
  resp.set("Cache-Control", "no-store");
  resp.body = text + "\n";
}

std::string pageHead(const std::string &title) {
  return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
         "<meta name=\"color-scheme\" content=\"light dark\"><title>" +
         svcxml__escape(title) +
         "</title><link rel=\"icon\" href=\"/web/static/mark.svg\">"
         "<link rel=\"stylesheet\" href=\"/web/static/web.css\">";
}

const char *kindName(int media) {
  return media == kSvcMediaPhoto ? "photo" : media == kSvcMediaVideo ? "video" : "file";
}

nlohmann::json itemJson(const FileRec &f) {
  nlohmann::json j;
  j["id"] = std::to_string(f.id);
  j["parent"] = std::to_string(f.parentId);
  j["name"] = f.name;
  j["folder"] = f.type == 1;
  j["kind"] = f.type == 1 ? "folder" : kindName(f.media);
  j["taken"] = f.taken;
  j["mtime"] = f.mtime;
  int64_t size = f.size;
  if (size < 0) {
    const std::string *s = svcargs__find(f.props, "size");
    int64_t v;
    size = s && parseId(*s, &v) ? v : 0;
  }
  j["size"] = size;
  j["stored"] = f.size >= 0;
  const std::string *mime = svcargs__find(f.props, "mimetype");
  j["mime"] = mime && plainMime(*mime) ? *mime : "";
  const std::string *make = svcargs__find(f.props, "EXIF-Make");
  const std::string *model = svcargs__find(f.props, "EXIF-Model");
  j["make"] = make ? *make : "";
  j["model"] = model ? *model : "";
  for (const char *r : {"tn", "pv", "st"})
    j[r] = std::find(f.renditions.begin(), f.renditions.end(), r) != f.renditions.end();
  return j;
}

nlohmann::json drivesJson(const std::vector<ServiceRec> &drives) {
  nlohmann::json list = nlohmann::json::array();
  for (const ServiceRec &s : drives)
    list.push_back({{"id", s.id}, {"name", s.name}, {"online", s.online}});
  return list;
}

// A page of the photo list; `next` is the cursor of its last item when the page is full.
nlohmann::json photosJson(const std::vector<FileRec> &files, int64_t n) {
  nlohmann::json items = nlohmann::json::array();
  for (const FileRec &f : files) items.push_back(itemJson(f));
  nlohmann::json j = {{"items", items}, {"next", nullptr}};
  if (static_cast<int64_t>(files.size()) == n && n > 0)
    j["next"] = std::to_string(files.back().taken) + "." + std::to_string(files.back().id);
  return j;
}

// JSON inside a page's <script type="application/json">: no "<" or ">" or "&" that could end
// the element or start markup; the escapes read back as the same text.
std::string inPageJson(const nlohmann::json &j) {
  const std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size() + 64);
  for (char c : text) {
    if (c == '<')
      out += "\\u003c";
    else if (c == '>')
      out += "\\u003e";
    else if (c == '&')
      out += "\\u0026";
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string svcweb__cookie(const std::string *header, const std::string &name) {
  if (!header) return std::string();
  size_t pos = 0;
  while (pos < header->size()) {
    size_t semi = header->find(';', pos);
    std::string part =
        header->substr(pos, semi == std::string::npos ? std::string::npos : semi - pos);
    size_t b = part.find_first_not_of(' ');
    if (b != std::string::npos) part = part.substr(b);
    if (part.compare(0, name.size() + 1, name + "=") == 0) return part.substr(name.size() + 1);
    if (semi == std::string::npos) break;
    pos = semi + 1;
  }
  return std::string();
}

bool svcweb__cursor(const std::string &text, int64_t *taken, int64_t *id) {
  const size_t dot = text.find('.');
  const bool neg = !text.empty() && text[0] == '-';
  int64_t t = 0, i = 0;
  if (dot == std::string::npos || !parseId(text.substr(neg ? 1 : 0, dot - (neg ? 1 : 0)), &t) ||
      !parseId(text.substr(dot + 1), &i))
    return false;
  *taken = neg ? -t : t;
  *id = i;
  return true;
}

bool SvcWeb::owns(const std::string &path) {
  return path == "/svc/go" || path == "/web" || path.compare(0, 5, "/web/") == 0;
}

std::string SvcWeb::csrfFor(const std::string &sessionToken) {
  return hexDigest("tesselweb-csrf:" + sessionToken).substr(0, 32);
}

std::string SvcWeb::goUrl(int64_t userId, const std::string &path, const std::string &base) {
  const std::string code = svc__randomHex(16);
  SvcStore::SignInCode c;
  c.userId = userId;
  c.next = path.compare(0, 5, "/web/") == 0 ? safeNext(path) : "/web/";
  const int64_t now = nowMs();
  c.expires = now + kCodeLifetimeMs;
  // In the store: any instance sharing its database may be the one the browser reaches.
  (void)m_store.putCode(hexDigest(code), c, now);
  // The code only, never the session token: it works once, for a short time.
  return base + "/svc/go?code=" + code;
}

bool SvcWeb::sessionUser(const HttpRequest &req, UserRec *user, std::string *token) {
  *token = svcweb__cookie(req.header("cookie"), kSessionCookie);
  return isHex32(*token) && m_store.userForToken(*token, user);
}

void SvcWeb::handle(const HttpRequest &req, HttpBody &body, HttpResponse &resp) {
  const std::string &path = req.path;
  if (path == "/svc/go") {
    if (req.method == "GET" || req.method == "HEAD") return goPage(req, resp);
    if (req.method != "POST") return textAnswer(resp, 405, "GET or POST");
    return handleGo(req, body, resp);
  }
  if (path == "/web/signin") return handleSignin(req, body, resp);
  if (path == "/web/signout") return handleSignout(req, body, resp);
  if (req.method != "GET" && req.method != "HEAD") return textAnswer(resp, 405, "GET only");
  if (path.compare(0, 12, "/web/static/") == 0) {
    const char *data = nullptr, *type = nullptr;
    size_t size = 0;
    if (!svcweb__asset(path.substr(12), &data, &size, &type))
      return textAnswer(resp, 404, "not found");
    securityHeaders(resp);
    resp.set("Content-Type", type);
    resp.set("Cache-Control", "public, max-age=300");
    resp.body.assign(data, size);
    return;
  }
  // Content (a grid's thumbnails) is the most asked for: the session, the drive and the file
  // come in one look-up there.
  if (path.compare(0, 10, "/web/file/") == 0) return handleContent(req, resp);
  UserRec user;
  std::string token;
  const bool signedIn = sessionUser(req, &user, &token);
  if (path.compare(0, 9, "/web/api/") == 0) {
    if (!signedIn) return jsonAnswer(resp, 401, {{"error", "signin"}});
    return handleApi(req, user, resp);
  }
  if (path != "/web" && path != "/web/") return textAnswer(resp, 404, "not found");
  if (!signedIn) {
    resp.status = 303;
    securityHeaders(resp);
    resp.set("Cache-Control", "no-store");
    resp.set("Location", "/web/signin");
    return;
  }
  // The page itself; the script fills it from the JSON below. The name is text, the anti-forgery
  // token goes only into this page of the session.
  const std::string csrf = csrfFor(token);
  // What the first screen shows comes with the page: the drives and the first drive's newest
  // photos (the view the page opens on), their thumbnails asked for before the script runs.
  const std::vector<ServiceRec> drives = m_store.services(user.id);
  nlohmann::json boot = {{"user", user.name}, {"drives", drivesJson(drives)}};
  std::string preload;
  std::vector<FileRec> first;
  if (!drives.empty() && drives[0].online &&
      m_store.photos(drives[0], 0, -1, kPageDefault, &first) == kSvcOk) {
    boot["photos"] = photosJson(first, kPageDefault);
    boot["photos"]["d"] = drives[0].id;
    for (const FileRec &f : first)
      if (std::find(f.renditions.begin(), f.renditions.end(), "tn") != f.renditions.end())
        preload += "<link rel=\"preload\" as=\"image\" href=\"/web/file/" +
                   svcxml__escape(drives[0].id) + "/" +
                   std::to_string(f.id) + "/tn\">";
  }
  htmlAnswer(resp, 200,
             pageHead("Photos") + "<meta name=\"csrf\" content=\"" + csrf +
                 "\"><script src=\"/web/static/web.js\" defer></script>" + preload +
                 "<script type=\"application/json\" id=\"boot\">" + inPageJson(boot) +
                 "</script></head><body>"
                 "<header class=\"bar\"><a class=\"brand\" href=\"/web/\">"
                 "<img src=\"/web/static/mark.svg\" alt=\"\" width=\"24\" height=\"24\">"
                 "<span>Photos</span></a>"
                 "<nav class=\"views\" aria-label=\"Views\"></nav>"
                 "<span class=\"drives\"></span><span class=\"spacer\"></span>"
                 "<span class=\"who\" title=\"Signed in\">" +
                 svcxml__escape(user.name) +
                 "</span><form method=\"post\" action=\"/web/signout\">"
                 "<input type=\"hidden\" name=\"csrf\" value=\"" +
                 csrf +
                 "\"><button class=\"text\" type=\"submit\">Sign out</button></form></header>"
                 "<main id=\"main\" tabindex=\"-1\"><p class=\"status\" role=\"status\">"
                 "<span class=\"busy\" aria-hidden=\"true\"></span>Loading your photos…</p>"
                 "</main></body></html>");
}

void SvcWeb::goPage(const HttpRequest &req, HttpResponse &resp) {
  // Only a page: the code is used by the POST its script (or its button) sends, so that a link
  // previewer or a prefetch that fetches the address leaves it to the person.
  const std::string code = svchttp__param(req.query, "code");
  if (!isHex32(code)) return signinForm(req, resp, "/web/", std::string());
  // As on the sign-in form: a fresh token in the form and in a cookie only this site sets, so
  // that another site cannot post its own code into the person's browser.
  const std::string csrf = svc__randomHex(16);
  resp.set("Set-Cookie", std::string(kGoCookie) + "=" + csrf +
                             "; Path=/svc/go; HttpOnly; SameSite=Strict" +
                             (req.tls ? "; Secure" : ""));
  htmlAnswer(resp, 200,
             pageHead("Sign in") +
                 "<script src=\"/web/static/go.js\" defer></script></head><body class=\"signin\">"
                 "<main><img class=\"mark\" src=\"/web/static/mark.svg\" alt=\"\" width=\"48\" "
                 "height=\"48\"><h1>Signing you in…</h1>"
                 "<p class=\"lead\">This link opens your photos once.</p>"
                 "<form id=\"go\" method=\"post\" action=\"/svc/go\">"
                 "<input type=\"hidden\" name=\"csrf\" value=\"" +
                 csrf + "\"><input type=\"hidden\" name=\"code\" value=\"" + code +
                 "\"><button type=\"submit\">Continue</button></form></main></body></html>");
}

void SvcWeb::handleGo(const HttpRequest &req, HttpBody &body, HttpResponse &resp) {
  std::string params;
  if (!body.readAll(&params, kMaxFormBody)) {
    resp.close = true;
    return textAnswer(resp, 413, "form too large");
  }
  // A post that did not come from the link's own page leaves the code as it is.
  if (!sameSecret(svchttp__param(params, "csrf"),
                  svcweb__cookie(req.header("cookie"), kGoCookie))) {
    resp.status = 403;
    return signinForm(req, resp, "/web/", "The sign-in link could not be used. Please sign in.");
  }
  const std::string code = svchttp__param(params, "code");
  SvcStore::SignInCode c;
  // Used once, whether late or not.
  const bool valid =
      isHex32(code) && m_store.takeCode(hexDigest(code), &c) && c.expires >= nowMs();
  if (!valid) return signinForm(req, resp, "/web/", std::string());
  startSession(req, resp, c.userId, c.next);
}

void SvcWeb::startSession(const HttpRequest &req, HttpResponse &resp, int64_t userId,
                          const std::string &next) {
  const std::string token = m_store.newToken(userId);
  if (token.empty())
    return signinForm(req, resp, next, "The sign-in could not be stored. Please try again later.");
  resp.status = 303;
  securityHeaders(resp);
  resp.set("Cache-Control", "no-store");
  resp.set("Set-Cookie", std::string(kSessionCookie) + "=" + token +
                             "; Path=/; Max-Age=2592000; HttpOnly; SameSite=Lax" +
                             (req.tls ? "; Secure" : ""));
  resp.set("Location", safeNext(next));
}

void SvcWeb::signinForm(const HttpRequest &req, HttpResponse &resp, const std::string &next,
                        const std::string &error) {
  // A fresh token in the form and in a cookie only this site sets: another site cannot post
  // a sign-in (with its own account) into the person's browser.
  const std::string csrf = svc__randomHex(16);
  resp.set("Set-Cookie", std::string(kFormCookie) + "=" + csrf +
                             "; Path=/web/signin; HttpOnly; SameSite=Strict" +
                             (req.tls ? "; Secure" : ""));
  std::string page = pageHead("Sign in") +
                     "</head><body class=\"signin\"><main>"
                     "<img class=\"mark\" src=\"/web/static/mark.svg\" alt=\"\" width=\"48\" "
                     "height=\"48\"><h1>Sign in to your drive</h1>"
                     "<p class=\"lead\">Your account’s name and password.</p>"
                     "<form method=\"post\" action=\"/web/signin\">";
  if (!error.empty())
    page += "<p class=\"error\" id=\"error\" role=\"alert\">" + svcxml__escape(error) + "</p>";
  page += "<input type=\"hidden\" name=\"csrf\" value=\"" + csrf +
          "\"><input type=\"hidden\" name=\"next\" value=\"" + svcxml__escape(safeNext(next)) +
          "\"><label>Name<input name=\"username\" autocomplete=\"username\" "
          "autocapitalize=\"off\" spellcheck=\"false\" required autofocus></label>"
          "<label>Password<input name=\"password\" type=\"password\" "
          "autocomplete=\"current-password\" required></label>"
          "<button type=\"submit\">Sign in</button></form></main></body></html>";
  htmlAnswer(resp, resp.status, std::move(page));
}

void SvcWeb::handleSignin(const HttpRequest &req, HttpBody &body, HttpResponse &resp) {
  if (req.method == "GET" || req.method == "HEAD")
    return signinForm(req, resp, svchttp__param(req.query, "next"), std::string());
  if (req.method != "POST") return textAnswer(resp, 405, "GET or POST");
  std::string params;
  if (!body.readAll(&params, kMaxFormBody)) {
    resp.close = true;
    return textAnswer(resp, 413, "form too large");
  }
  const std::string next = svchttp__param(params, "next");
  if (!sameSecret(svchttp__param(params, "csrf"),
                  svcweb__cookie(req.header("cookie"), kFormCookie))) {
    resp.status = 403;
    return signinForm(req, resp, next, "The sign-in form expired. Please try again.");
  }
  const std::string name = svchttp__param(params, "username");
  if (int64_t wait = m_throttle.wait(name, req.peer, nowMs())) {
    resp.status = 429;
    return signinForm(req, resp, next,
                      "Too many failed sign-ins; try again in " +
                          std::to_string((wait + 999) / 1000) + " s.");
  }
  int64_t uid = 0;
  if (!m_store.checkPassword(name, svchttp__param(params, "password"), &uid)) {
    m_throttle.failed(name, req.peer, nowMs());
    resp.status = 401;
    return signinForm(req, resp, next, "Wrong name or password.");
  }
  m_throttle.succeeded(name);
  startSession(req, resp, uid, next);
}

void SvcWeb::handleSignout(const HttpRequest &req, HttpBody &body, HttpResponse &resp) {
  if (req.method != "POST") return textAnswer(resp, 405, "POST only");
  std::string params;
  if (!body.readAll(&params, kMaxFormBody)) {
    resp.close = true;
    return textAnswer(resp, 413, "form too large");
  }
  UserRec user;
  std::string token;
  if (sessionUser(req, &user, &token)) {
    // Only the session's own page knows its token: another site cannot sign the person out.
    if (!sameSecret(svchttp__param(params, "csrf"), csrfFor(token)))
      return textAnswer(resp, 403, "the page expired; reload it");
    (void)m_store.revokeToken(token);
  }
  resp.status = 303;
  securityHeaders(resp);
  resp.set("Cache-Control", "no-store");
  resp.set("Set-Cookie", std::string(kSessionCookie) +
                             "=; Path=/; Max-Age=0; HttpOnly; SameSite=Lax" +
                             (req.tls ? "; Secure" : ""));
  resp.set("Location", "/web/signin");
}

void SvcWeb::handleApi(const HttpRequest &req, const UserRec &user, HttpResponse &resp) {
  const std::string what = req.path.substr(9);
  if (what == "drives")
    return jsonAnswer(resp, 200,
                      {{"user", user.name}, {"drives", drivesJson(m_store.services(user.id))}});
  // Everything else is of one drive of this user: another user's drive is not there at all.
  ServiceRec svc;
  if (!m_store.serviceById(svchttp__param(req.query, "d"), &svc) || svc.userId != user.id)
    return jsonAnswer(resp, 404, {{"error", "nodrive"}});
  if (!svc.online) return jsonAnswer(resp, 503, {{"error", "offline"}});
  auto failed = [&](int rc) {
    return jsonAnswer(resp, rc == kSvcNoFile || rc == kSvcNotFolder ? 404 : 500,
                      {{"error", rc == kSvcNoFile || rc == kSvcNotFolder ? "nofile" : "store"}});
  };
  int64_t n = kPageDefault;
  if (!parseId(svchttp__param(req.query, "n"), &n)) n = kPageDefault;
  n = std::max<int64_t>(1, std::min(n, kPageMax));
  if (what == "photos") {
    // The cursor is the last item's "TAKEN.ID"; TAKEN may be negative (before 1970).
    int64_t taken = 0, id = -1;
    const std::string before = svchttp__param(req.query, "before");
    if (!before.empty() && !svcweb__cursor(before, &taken, &id))
      return jsonAnswer(resp, 400, {{"error", "cursor"}});
    std::vector<FileRec> files;
    if (int rc = m_store.photos(svc, taken, id, n, &files); rc != kSvcOk) return failed(rc);
    return jsonAnswer(resp, 200, photosJson(files, n));
  }
  int64_t id = 0;
  const std::string idText = svchttp__param(req.query, "id");
  if (!idText.empty() && !parseId(idText, &id)) return failed(kSvcNoFile);
  FileRec f;
  if (int rc = m_store.getFile(svc, id, &f); rc != kSvcOk) return failed(rc);
  if (what == "file") return jsonAnswer(resp, 200, itemJson(f));
  if (what != "folder") return jsonAnswer(resp, 404, {{"error", "unknown"}});
  if (f.type != 1) return failed(kSvcNotFolder);
  // The path bar: the folders from the root down to this one.
  nlohmann::json trail = nlohmann::json::array();
  for (FileRec up = f; up.id != 0 && trail.size() < 256;) {
    nlohmann::json step = nlohmann::json::object();
    step["id"] = std::to_string(up.id);
    step["name"] = up.name;
    trail.insert(trail.begin(), step);
    if (int rc = m_store.getFile(svc, up.parentId, &up); rc != kSvcOk) return failed(rc);
  }
  const std::string after = svchttp__param(req.query, "after");
  nlohmann::json folders = nlohmann::json::array(), items = nlohmann::json::array();
  if (after.empty()) {
    std::vector<FileRec> subs;
    if (int rc = m_store.children(svc, id, 1, std::string(), kMaxFolders, &subs); rc != kSvcOk)
      return failed(rc);
    for (const FileRec &s : subs) folders.push_back(itemJson(s));
  }
  std::vector<FileRec> files;
  if (int rc = m_store.children(svc, id, 0, after, kFolderPage, &files); rc != kSvcOk)
    return failed(rc);
  for (const FileRec &x : files) items.push_back(itemJson(x));
  nlohmann::json j = {{"folder", {{"id", std::to_string(f.id)}, {"name", f.name}}},
                      {"path", trail},
                      {"folders", folders},
                      {"items", items},
                      {"next", nullptr}};
  if (static_cast<int64_t>(files.size()) == kFolderPage) j["next"] = files.back().name;
  jsonAnswer(resp, 200, j);
}

void SvcWeb::handleContent(const HttpRequest &req, HttpResponse &resp) {
  // /web/file/SERVICE/FILEID/WHICH: the original ("orig") or a rendition.
  const std::string_view rest = std::string_view(req.path).substr(10);
  const size_t a = rest.find('/'), b = a == std::string_view::npos ? a : rest.find('/', a + 1);
  const std::string service(rest.substr(0, a));
  const std::string_view idText = b == std::string_view::npos ? "" : rest.substr(a + 1, b - a - 1);
  const std::string_view which = b == std::string_view::npos ? "" : rest.substr(b + 1);
  const std::string token = svcweb__cookie(req.header("cookie"), kSessionCookie);
  if (!isHex32(token)) return textAnswer(resp, 401, "not signed in");
  int64_t fileId = 0;
  if ((which != "orig" && which != "tn" && which != "pv" && which != "st") || service.empty() ||
      service.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos ||
      !parseId(std::string(idText), &fileId)) {
    // Still only for a signed-in browser: nobody else learns which addresses are well formed.
    if (req.onLoop) {
      resp.toWorker = true;
      return;
    }
    UserRec user;
    if (!m_store.userForToken(token, &user)) return textAnswer(resp, 401, "not signed in");
    return textAnswer(resp, 404, "not found");
  }
  const std::string stream = which == "orig" ? std::string() : std::string(which);
  SvcStore::WebContent f;
  bool later = false;
  const int rc = req.onLoop ? m_store.webContentAtHand(token, service, fileId, stream, &f, &later)
                            : m_store.webContent(token, service, fileId, stream, &f);
  // The event loop does not wait for the network or the writer: a worker asks.
  if (later) {
    resp.toWorker = true;
    return;
  }
  if (rc != kSvcOk) return textAnswer(resp, 500, "cannot read the drive");
  if (f.found == SvcStore::WebContent::kNoSession) return textAnswer(resp, 401, "not signed in");
  // A drive that is not this user's is not there at all.
  if (f.found == SvcStore::WebContent::kNoDrive) return textAnswer(resp, 404, "not found");
  if (!f.online) return textAnswer(resp, 503, "drive is offline");
  if (f.found != SvcStore::WebContent::kFile) return textAnswer(resp, 404, "not found");
  if (!f.stored) return textAnswer(resp, 404, "not stored");
  std::string ct = "application/octet-stream";
  if (stream.empty()) {
    if (plainMime(f.mimetype)) ct = f.mimetype;
  } else {
    ct = stream == "st" ? "video/mp4" : "image/jpeg";
  }
  std::string low = ct;
  for (char &c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // Content is shown only as a picture or a video: anything else (a page, a drawing that can
  // hold script) is a download, and nothing stored ever runs as a page of this site.
  const bool shown = low != "image/svg+xml" &&
                     (low.compare(0, 6, "image/") == 0 || low.compare(0, 6, "video/") == 0);
  securityHeaders(resp);
  resp.set("Content-Type", ct);
  resp.set("Content-Security-Policy", "default-src 'none'; sandbox");
  resp.set("Cache-Control", "private, max-age=3600");
  if (svchttp__param(req.query, "dl") == "1" || !shown)
    resp.set("Content-Disposition", "attachment; filename*=UTF-8''" + extValue(f.name));
  resp.filePath = m_dataDir + "/files/" + service + "/" + std::to_string(fileId) +
                  (stream.empty() ? "" : "." + stream);
  resp.ranges = true;
}

}  // namespace tessel::svc
