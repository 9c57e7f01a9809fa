// The drive's photos on the web: the sign-in of a browser (a form, or a one-time code that
// generateGoURL hands out), its session cookie, the pages with their scripts and pictures, the
// JSON the pages read, and the photos' content behind the session.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "svcguard.h"
#include "svchttp.h"
#include "svcstore.h"

namespace tessel::svc {

// The pages' files compiled into the service (server/web/, made by server/web/embed.cmake):
// false for a name that is not one of them.
bool svcweb__asset(const std::string &name, const char **data, size_t *size, const char **type);

// The value of the cookie `name` in a Cookie header (empty when absent or without one).
std::string svcweb__cookie(const std::string *header, const std::string &name);
// A photo-list cursor "TAKEN.ID" as the photos page hands it out (TAKEN may be negative);
// false for anything else.
bool svcweb__cursor(const std::string &text, int64_t *taken, int64_t *id);

class SvcWeb {
 public:
  // How long a one-time code of generateGoURL signs a browser in.
  static constexpr int64_t kCodeLifetimeMs = 120 * 1000;

  SvcWeb(SvcStore &store, SvcThrottle &throttle, std::string dataDir)
      : m_store(store), m_throttle(throttle), m_dataDir(std::move(dataDir)) {}

  // Whether a request's path is one of the web pages' addresses.
  static bool owns(const std::string &path);
  // An address on `base` that signs a browser in once as `userId`, within kCodeLifetimeMs,
  // and then opens the pages at what `path` names ("view", or a page of /web/).
  std::string goUrl(int64_t userId, const std::string &path, const std::string &base);
  void handle(const HttpRequest &req, HttpBody &body, HttpResponse &resp);

  // The anti-forgery token of a browser session: only a page of the session knows it.
  static std::string csrfFor(const std::string &sessionToken);

 private:
  void goPage(const HttpRequest &req, HttpResponse &resp);
  void handleGo(const HttpRequest &req, HttpBody &body, HttpResponse &resp);
  void handleSignin(const HttpRequest &req, HttpBody &body, HttpResponse &resp);
  void handleSignout(const HttpRequest &req, HttpBody &body, HttpResponse &resp);
  void handleApi(const HttpRequest &req, const UserRec &user, HttpResponse &resp);
  void handleContent(const HttpRequest &req, HttpResponse &resp);
  void signinForm(const HttpRequest &req, HttpResponse &resp, const std::string &next,
                  const std::string &error);
  void startSession(const HttpRequest &req, HttpResponse &resp, int64_t userId,
                    const std::string &next);
  // The session's user, from the cookie; false without a valid one.
  bool sessionUser(const HttpRequest &req, UserRec *user, std::string *token);

  SvcStore &m_store;
  SvcThrottle &m_throttle;
  std::string m_dataDir;
};

}  // namespace tessel::svc
