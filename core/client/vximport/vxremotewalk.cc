// The remote tree walk over "getFile" and "listFiles".
#include "vxremotewalk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "brlog.h"
#include "hbrpc.h"
#include "hbstr.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "vxsvccache.h"
#include "zvvfsservice.h"

namespace {

constexpr const char *kTag = "RPCFTW";

struct Walk {
  const char *token;
  std::string device, service;
  VXRemoteWalkFn fn;
  void *user;
  int32_t flags;
  int32_t maxDepth;
  HBRef<HBRPCGeneric> rpc;
  char path[VXRWALK_PATH_MAX] = "";
  size_t len = 0;
  std::vector<std::string> ancestors;  // folder identifiers on the way down
};

const char *recordName(IHBMap *rec) {
  const char *n = rec ? rec->getString("name") : nullptr;
  if (!n) n = rec ? rec->getString("filename") : nullptr;
  return n ? n : "";
}

// Appends "/" (except at the start) and `name`, cut to the buffer; returns where the name starts.
int32_t appendName(Walk &w, const char *name) {
  if (w.len > 0 && w.len < sizeof w.path - 1) w.path[w.len++] = '/';
  const size_t at = w.len;
  const size_t room = sizeof w.path - 1 - w.len;
  const size_t n = brstr__cutUtf8(name, std::min(std::strlen(name), room));
  std::memcpy(w.path + w.len, name, n);
  w.len += n;
  w.path[w.len] = 0;
  return static_cast<int32_t>(at);
}

void cutTo(Walk &w, size_t len) {
  w.len = len;
  w.path[len] = 0;
}

int32_t entryURI(Walk &w, const char *fileId, HBRef<IHBZVURI> &out) {
  return hbzvuri__create(out.out(), w.device.c_str(), w.service.c_str(), fileId, nullptr, nullptr);
}

int32_t notVisited(Walk &w, IHBMap *rec, IHBZVURI *uri, int32_t namePos, int32_t depth,
                   int32_t error) {
  const VXRemoteWalkPos pos{namePos, depth, 0, error};
  const int32_t rc = w.fn(w.path, rec, uri, VXRWALK_NOT_VISITED, &pos, w.user);
  return rc == VXRWALK_STOP ? rc : 0;
}

int32_t fileStep(Walk &w, IHBMap *rec, int32_t depth) {
  const int32_t namePos = appendName(w, recordName(rec));
  HBRef<IHBZVURI> uri;
  if (entryURI(w, rec->getString("fileid"), uri) < 0) return 0;
  const VXRemoteWalkPos pos{namePos, depth, 0, 0};
  const int32_t rc = w.fn(w.path, rec, uri.get(), VXRWALK_FILE, &pos, w.user);
  // A file has no contents to skip: 2 passes over it and nothing else.
  return rc == VXRWALK_SKIP ? 0 : rc;
}

int32_t folderStep(Walk &w, IHBMap *rec, int32_t depth);

// Lists one folder page by page. Returns 0, or an entry's result that ends the walk.
int32_t listFolder(Walk &w, IHBMap *rec, IHBZVURI *uri, const char *id, int32_t namePos,
                   int32_t depth) {
  const size_t folderLen = w.len;
  std::string lastFirst;
  for (int32_t page = 0;; ++page) {
    if (page >= ZVVFS_MAX_PAGES) {
      brlog(kTag, BRLOG_WARNING, "Folder '%s': stopping after %d pages\n", id, page);
      return 0;
    }
    brlog("FTW", BRLOG_VERBOSE3, "[%3d] listFiles(%s:%s:%s page:%d)\n", depth, w.device.c_str(),
          w.service.c_str(), id, page);
    char pageText[16];
    std::snprintf(pageText, sizeof pageText, "%d", page);
    int32_t rc =
        hbsvc__listFiles(w.rpc.get(), w.token, w.device.c_str(), w.service.c_str(), id, pageText);
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "Failed to list files via RPC: '%s'\n", id);
      rc = vxremotewalk__rpcFailure(kTag, w.rpc.get(), rc);
      return notVisited(w, rec, uri, namePos, depth, rc);
    }
    const char *countText = w.rpc->getArgmentByName("count");
    const int32_t count = countText ? brstr__toInt(countText, 10) : -1;
    HBRef<IHBIter> files = HBRef<IHBIter>::adopt(w.rpc->getArgmentIterator("files"));
    // The answer lives in the call object, which the folders below reuse: keep the records.
    // An entry that is no file record is passed over alone, and reported: the rest of its page
    // is still walked.
    std::vector<HBRef<IHBMap>> entries;
    int32_t malformed = 0;
    for (int32_t index = 0; files; ++index) {
      hbtype_t t = HBTYPE_ANY;
      void *item = nullptr;
      if (files->next(&t, &item) < 0) break;
      HBRef<IHBMap> e;
      if (!hbtype__isRaw(t) && item) {
        HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
        void *map = nullptr;
        if (obj->getifc(HBIFC_MAP, &map) == 0 && map)
          e = HBRef<IHBMap>::adopt(static_cast<IHBMap *>(map));
      }
      if (e) {
        entries.push_back(std::move(e));
      } else {
        brlog(kTag, BRLOG_ERROR, "Folder '%s' page %d: entry %d is no file record, passed over\n",
              id, page, index);
        ++malformed;
      }
    }
    files.reset();
    if (malformed > 0 && notVisited(w, rec, uri, namePos, depth, BR_EFAULT) == VXRWALK_STOP)
      return VXRWALK_STOP;
    if (entries.empty()) return 0;
    const char *first = entries[0]->getString("fileid");
    if (page > 0 && first && lastFirst == first) {
      brlog(kTag, BRLOG_WARNING, "Folder '%s': page %d repeats the one before, stopping\n", id,
            page);
      return 0;
    }
    lastFirst = first ? first : "";
    for (const HBRef<IHBMap> &e : entries) {
      const char *type = e->getString("type");
      const char *name = recordName(e.get());
      int32_t r;
      if (!type) {
        brlog(kTag, BRLOG_ERROR, "Missing file type: '%s'\n", name);
        r = notVisited(w, e.get(), uri, appendName(w, name), depth + 1, BR_EFAULT);
      } else if (!zvvfsservice__isPlainID(e->getString("fileid"))) {
        brlog(kTag, BRLOG_ERROR, "Unusable file identifier in folder '%s': '%s'\n", id, name);
        r = notVisited(w, e.get(), uri, appendName(w, name), depth + 1, BR_EINVAL);
      } else if (!std::strcmp(type, "0")) {
        brlog(kTag, BRLOG_VERBOSE3, "  -- FILE: [%s] '%s' %s\n", type, name,
              e->getString("size") ? e->getString("size") : "");
        r = fileStep(w, e.get(), depth + 1);
      } else {
        if (!std::strcmp(type, "1"))
          brlog(kTag, BRLOG_VERBOSE3, "  --  DIR: [%s] '%s'\n", type, name);
        else
          brlog(kTag, BRLOG_INFO, "  --  UNKNOWN COLLECTION: [%s] '%s'\n", type, name);
        r = folderStep(w, e.get(), depth + 1);
      }
      cutTo(w, folderLen);
      if (r == VXRWALK_SKIP_REST) return 0;
      if (r != 0) return r;
    }
    if (count < VXRWALK_PAGE) return 0;
  }
}

int32_t folderStep(Walk &w, IHBMap *rec, int32_t depth) {
  const char *name = recordName(rec);
  const char *id = rec->getString("fileid");
  HBRef<IHBStr> display;
  // The top of the drive is shown under the drive's name.
  if (depth == 0 && id && !std::strcmp(id, "0") && !std::strcmp(name, ".") &&
      vxsvccache__getServiceName(w.device.c_str(), w.service.c_str(), display.out()) == 0 &&
      display->getText() && *display->getText())
    name = display->getText();
  const int32_t namePos = appendName(w, name);
  HBRef<IHBZVURI> uri;
  if (entryURI(w, id, uri) < 0) return 0;
  if (w.maxDepth >= 0 && depth >= w.maxDepth) {
    brlog("FTW", BRLOG_VERBOSE,
          "%2d +++ DEPTH SPECIFIED BY MAXDEPTH EXCEEDED - NOT RECURSING (%s)!\n", depth, w.path);
    return notVisited(w, rec, uri.get(), namePos, depth, BR_ERANGE);
  }
  if (std::find(w.ancestors.begin(), w.ancestors.end(), id) != w.ancestors.end()) {
    brlog(kTag, BRLOG_ERROR, "Folder '%s' (%s) lists one of its own ancestors - not entering\n",
          w.path, id);
    return notVisited(w, rec, uri.get(), namePos, depth, BR_ERANGE);
  }
  VXRemoteWalkPos pos{namePos, depth, VXRWALK_PRE, 0};
  if (w.flags & VXRWALK_PRE) {
    const int32_t r = w.fn(w.path, rec, uri.get(), VXRWALK_FOLDER, &pos, w.user);
    if (r == VXRWALK_STOP || r == VXRWALK_SKIP_REST) return r;
    if (r == VXRWALK_SKIP) return 0;
  }
  w.ancestors.emplace_back(id);
  const int32_t r = listFolder(w, rec, uri.get(), id, namePos, depth);
  w.ancestors.pop_back();
  if (r != 0) return r;
  if (!(w.flags & VXRWALK_PRE)) return 0;
  pos.state = 0;
  const int32_t post = w.fn(w.path, rec, uri.get(), VXRWALK_FOLDER, &pos, w.user);
  return post == VXRWALK_SKIP ? 0 : post;
}

}  // namespace

int32_t vxremotewalk__rpcFailure(const char *tag, HBRPCGeneric *rpc, int32_t rc) {
  const int32_t code = rpc && rpc->isFault() ? rpc->getErrorCode() : -1;
  if (code > 0) {
    const char *desc =
        rpc->getResultMap() ? rpc->getResultMap()->getString("errorDescription") : nullptr;
    brlog(tag, BRLOG_ERROR, "   RPC Error Code: %d '%s'\n", code, desc ? desc : "");
    return -code;
  }
  brlog(tag, BRLOG_ERROR, "   RPC Local Error: %d '%s'\n", rc, brerror__name(rc));
  return rc;
}

int32_t vxremotewalk__newCall(const char *deviceId, const char *serviceId, HBRPCGeneric **out) {
  HBRef<IHBURL> url;
  int32_t rc = vxsvccache__getServiceURL(deviceId, serviceId, url.out());
  if (rc < 0) rc = hbsvc__getServiceURL(url.out());
  if (rc < 0) return rc;
  return hbrpc__new(url.get(), out);
}

int32_t remoteWalk(const char *valtoken, IHBZVURI *start, VXRemoteWalkFn callback, int32_t flags,
                   void *user, int32_t maxDepth) {
  if (!start || !callback) return BR_EINVAL;
  std::string text;
  (void)hburi__text(start, &text);
  const char *device = start->getDeviceID();
  const char *service = start->getServiceID();
  const char *fileId = start->getFileID() ? start->getFileID() : "0";
  if (!zvvfsservice__isPlainID(device) || !zvvfsservice__isPlainID(service) ||
      !zvvfsservice__isPlainID(fileId))
    return BR_EINVAL;
  Walk w;
  w.token = valtoken ? valtoken : "";
  w.device = device;
  w.service = service;
  w.fn = callback;
  w.user = user;
  w.flags = flags;
  w.maxDepth = maxDepth;
  int32_t rc = vxremotewalk__newCall(device, service, w.rpc.out());
  if (rc < 0) return rc;
  rc = hbsvc__getFile(w.rpc.get(), w.token, device, service, fileId);
  if (rc < 0) {
    brlog(kTag, BRLOG_ERROR, "Failed to get file via RPC: '%s'\n", text.c_str());
    return vxremotewalk__rpcFailure(kTag, w.rpc.get(), rc);
  }
  HBRef<HBMap> rec = HBRef<HBMap>::adopt(w.rpc->getArgmentMap("file"));
  const char *type = rec ? rec->getString("type") : nullptr;
  if (!type) {
    // Nothing can be visited: a walk that did nothing must not look like a success.
    brlog(kTag, BRLOG_ERROR, "Missing file type: '%s'\n", text.c_str());
    return BR_EFAULT;
  }
  if (!zvvfsservice__isPlainID(rec->getString("fileid"))) {
    brlog(kTag, BRLOG_ERROR, "Unusable file identifier for '%s'\n", text.c_str());
    return BR_EFAULT;
  }
  if (!std::strcmp(type, "0"))
    (void)fileStep(w, rec.get(), 0);
  else
    (void)folderStep(w, rec.get(), 0);
  return BR_OK;
}
