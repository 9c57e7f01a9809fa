// Typed helpers for the service methods.
#include "hbsvcmethods.h"

#include <vector>

#include "hbrpc.h"

namespace {

const HBSoapListType kServices[] = {{"services", 1}, {nullptr, 0}};
const HBSoapListType kAlbums[] = {{"albums", 1}, {nullptr, 0}};
const HBSoapListType kFiles[] = {{"files", 1}, {nullptr, 0}};

int32_t run(HBRPCGeneric *rpc, const char *method, const HBSoapListType *types,
            std::initializer_list<const char *> pairs, const char *const *more = nullptr) {
  if (!rpc) return BR_EINVAL;
  std::vector<const char *> list(pairs);
  for (size_t i = 0; more && more[i]; i += 2) {
    list.push_back(more[i]);
    list.push_back(more[i + 1]);
  }
  list.push_back(nullptr);
  rpc->setListTypes(types);
  const int32_t rc = rpc->callArgs(method, 0, nullptr, list.data());
  rpc->setListTypes(nullptr);
  return rc;
}

}  // namespace

int32_t hbsvc__getUser(HBRPCGeneric *rpc, const char *valtoken) {
  return run(rpc, "getUser", nullptr, {"valtoken", valtoken});
}

int32_t hbsvc__generateGoURL(HBRPCGeneric *rpc, const char *valtoken, const char *path) {
  return run(rpc, "generateGoURL", nullptr, {"valtoken", valtoken, "path", path});
}

int32_t hbsvc__listServices(HBRPCGeneric *rpc, const char *valtoken) {
  return run(rpc, "listServices", kServices, {"valtoken", valtoken});
}

int32_t hbsvc__listAlbums(HBRPCGeneric *rpc, const char *valtoken) {
  return run(rpc, "listAlbums", kAlbums, {"shared", "1", "valtoken", valtoken});
}

int32_t hbsvc__getService(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                          const char *serviceid) {
  return run(rpc, "getService", nullptr,
             {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid});
}

int32_t hbsvc__getOwnerAuth(HBRPCGeneric *rpc) {
  return run(rpc, "getOwnerAuth", nullptr, {});
}

int32_t hbsvc__createFolder(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                            const char *serviceid, const char *parentid, const char *filename,
                            const char *ctime) {
  return run(rpc, "createFile", nullptr,
             {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid, "parentid",
              parentid, "filename", filename, "type", "1", "ctime", ctime});
}

int32_t hbsvc__createFile(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                          const char *serviceid, const char *parentid, const char *filename,
                          const char *const *fields) {
  if (parentid)
    return run(rpc, "createFile", nullptr,
               {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid, "parentid",
                parentid, "filename", filename},
               fields);
  return run(
      rpc, "createFile", nullptr,
      {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid, "filename", filename},
      fields);
}

int32_t hbsvc__getFile(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                       const char *serviceid, const char *fileid) {
  return run(
      rpc, "getFile", nullptr,
      {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid, "fileid", fileid});
}

int32_t hbsvc__getFileByName(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                             const char *serviceid, const char *parentid, const char *filename,
                             const char *type) {
  if (type)
    return run(rpc, "getFile", nullptr,
               {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid, "parentid",
                parentid, "filename", filename, "type", type});
  return run(rpc, "getFile", nullptr,
             {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid, "parentid",
              parentid, "filename", filename});
}

int32_t hbsvc__removeFile(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                          const char *serviceid, const char *fileid) {
  return run(
      rpc, "removeFile", nullptr,
      {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid, "fileid", fileid});
}

int32_t hbsvc__moveFile(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                        const char *serviceid, const char *fileid, const char *parentid,
                        const char *filename) {
  const char *more[5] = {};
  int n = 0;
  if (parentid) {
    more[n++] = "parentid";
    more[n++] = parentid;
  }
  if (filename) {
    more[n++] = "filename";
    more[n++] = filename;
  }
  return run(rpc, "moveFile", nullptr,
             {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid, "fileid", fileid},
             more);
}

int32_t hbsvc__listFiles(HBRPCGeneric *rpc, const char *valtoken, const char *deviceid,
                         const char *serviceid, const char *parentid, const char *pageoffset) {
  return run(rpc, "listFiles", kFiles,
             {"valtoken", valtoken, "deviceid", deviceid, "serviceid", serviceid, "parentid",
              parentid, "maxcount", "500", "pageoffset", pageoffset});
}
