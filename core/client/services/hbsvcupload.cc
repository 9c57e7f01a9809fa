// Uploads in pieces: the announcement, the answers' offsets and the pause between attempts.
#include "hbsvcupload.h"

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "brhttp.h"
#include "brlog.h"
#include "brthread.h"
#include "hbrpc.h"
#include "hburl.h"

namespace {

constexpr const char *kTag = "UPLOAD";
// A service that could not be asked is asked again after this long.
constexpr int64_t kRememberFailureMs = 60 * 1000;

struct Known {
  bool resumable = false;
  int64_t until = 0;
};

std::mutex g_lock;
std::map<std::string, Known> g_known;

std::string addressOf(IHBURL *url) {
  const char *scheme = url->getScheme() ? url->getScheme() : "";
  const char *host = url->getHost() ? url->getHost() : "";
  const char *path = url->getPath() ? url->getPath() : "";
  return std::string(scheme) + "://" + host + ":" + std::to_string(url->getPort()) + path;
}

}  // namespace

bool hbsvcupload__resumable(IHBURL *endpoint) {
  if (!endpoint) return false;
  const std::string address = addressOf(endpoint);
  const int64_t now = brtime__ticks();
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = g_known.find(address);
    if (it != g_known.end() && it->second.until > now) return it->second.resumable;
  }
  // Asked outside the lock: two uploads that ask at once both learn the same.
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = hbrpc__new(endpoint, rpc.out());
  const char *none[] = {nullptr};
  if (rc >= 0) rc = rpc->callArgs("getVersion", 0, nullptr, none);
  HBMap *answer = rc >= 0 ? rpc->getResultMap() : nullptr;
  const char *flag = answer ? answer->getString("resumable") : nullptr;
  Known k;
  k.resumable = flag && std::strcmp(flag, "1") == 0;
  // A fault (an older service that has no such call) is an answer; a network failure is not.
  const bool answered = rc >= 0 || (rpc && rpc->isFault());
  k.until = brtime__ticks() + (answered ? HBSVCUPLOAD_REMEMBER_MS : kRememberFailureMs);
  brlog(kTag, BRLOG_INFO, "Service %s %s uploads in pieces\n", address.c_str(),
        k.resumable ? "takes" : answered ? "does not take" : "could not be asked about");
  std::lock_guard<std::mutex> hold(g_lock);
  g_known[address] = k;
  return k.resumable;
}

void hbsvcupload__forget(IHBURL *endpoint) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (endpoint)
    g_known.erase(addressOf(endpoint));
  else
    g_known.clear();
}

int64_t hbsvcupload__header(BRHTTPRequest *req, const char *name) {
  const char *text = req ? BRHTTPRequest__getResponseHeader(req, name) : nullptr;
  if (!text) return -1;
  while (*text == ' ') ++text;
  if (!*text || std::strlen(text) > 18) return -1;
  int64_t v = 0;
  for (const char *p = text; *p && *p != ' '; ++p) {
    if (*p < '0' || *p > '9') return -1;
    v = v * 10 + (*p - '0');
  }
  return v;
}

int32_t hbsvcupload__pause(int32_t attempt, const std::function<bool()> &canceled) {
  const int32_t shift = attempt < 1 ? 0 : attempt > 5 ? 4 : attempt - 1;
  const int64_t until = brtime__ticks() + (1000LL << shift);
  for (int64_t now = brtime__ticks(); now < until; now = brtime__ticks()) {
    if (canceled && canceled()) return BR_ECANCELED;
    std::this_thread::sleep_for(std::chrono::milliseconds(until - now < 50 ? until - now : 50));
  }
  return canceled && canceled() ? BR_ECANCELED : BR_OK;
}

bool hbsvcupload__retryable(int32_t rc) {
  return rc == BR_ETIMEDOUT || rc == BR_ENOCONN || rc == BR_ECONNRESET || rc == BR_ECONNABORTED ||
         rc == BR_EIO || rc == BR_EOF || rc == BR_EAGAIN;
}
