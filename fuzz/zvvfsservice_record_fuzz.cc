// Reads a file record of the service (given as a JSON object) as the drive store and the export
// read them: the file built from it, every field of its serialised record, and the local name the
// export would give it. Nothing may crash, leak or yield a name that leaves its folder (any other
// byte, a control character too, is the photo's own name and stays).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hbjson.h"
#include "vxclienttaskexport.h"
#include "zvvfsservice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  HBRef<HBMap> record;
  if (hbjson__parseText(record, text.c_str(), static_cast<int32_t>(text.size())) <= 0) return 0;
  const char *name = record->getString("name");
  const std::string safe = vxexport__safeName(name);
  if (safe.empty() || safe.size() > 255 || safe == "." || safe == ".." ||
      safe.find('/') != std::string::npos)
    std::abort();
  HBRef<IHBVFSFile> file;
  if (zvvfsservice__fileFromRecord(record.get(), file.out()) < 0) return 0;
  if (!zvvfsservice__isPlainID(file->getFileID())) std::abort();
  HBRef<IHBRPCSerializable> ser;
  if (hb_query<IHBRPCSerializable>(file.get(), ser) < 0) std::abort();
  const HBRPCPropertyEntry *table = ser->getPropertyTable();
  for (int32_t i = 0; table[i].name; ++i) {
    char buf[32];
    if (table[i].hbtype == HBTYPE_TEXT && ser->getPropertyText(i, buf, sizeof buf) < 0)
      std::abort();
  }
  for (int32_t i = 0; i < HBVFS_RES_COUNT; ++i) {
    HBRef<IHBVFSResource> res;
    if (file->getResource(i, res.out()) == 0) (void)res->getSize();
  }
  (void)file->getSize();
  (void)file->getMimeType();
  return 0;
}
