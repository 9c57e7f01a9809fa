// File helpers that do not touch the platform: opening for reading and media types.
#include "hbfile.h"

#include <strings.h>

#include <cstring>

#include "brlog.h"

namespace {

struct MimeRow {
  const char *ext;
  const char *type;
};

// In lookup order; the repeated rows are never chosen but are kept so the table stays whole.
const MimeRow kMimeTable[] = {
    {"mp3", "audio/mpeg"},
    {"mp3", "audio/mpg"},
    {"wma", "audio/x-ms-wma"},
    {"wav", "audio/x-wav"},
    {"m4a", "audio/mp4"},
    {"aac", "audio/mp4a-latm"},
    {"aac", "audio/aac"},
    {"mka", "audio/x-matroska"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpg"},
    {"jpeg", "image/jpg"},
    {"png", "image/png"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"mpg", "video/mpeg"},
    {"mpeg", "video/mpeg"},
    {"vob", "video/mpeg"},
    {"mts", "video/mpeg"},
    {"m2t", "video/mpeg"},
    {"m2ts", "video/mpeg"},
    {"ts", "video/MP2T"},
    {"wmv", "video/x-ms-wmv"},
    {"mov", "video/quicktime"},
    {"mp4", "video/mp4"},
    {"m4v", "video/mp4"},
    {"3gp", "video/mp4"},
    {"avi", "video/avi"},
    {"mkv", "video/x-matroska"},
    {"txt", "text/plain"},
    {"html", "text/html"},
    {"htm", "text/html"},
    {"xml", "text/xml"},
    {"css", "text/css"},
    {"ico", "image/x-icon"},
    {"js", "text/javascript"},
    {"pdf", "application/pdf"},
    {"m3u8", "application/vnd.apple.mpegurl"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
};

constexpr const char *kOctetStream = "application/octet-stream";

}  // namespace

const char *hbfile__mimeType(const char *path) {
  if (!path) return kOctetStream;
  const char *dot = std::strrchr(path, '.');
  if (!dot) return kOctetStream;
  const char *ext = dot + 1;
  for (const MimeRow &row : kMimeTable)
    if (strcasecmp(ext, row.ext) == 0) return row.type;
  return kOctetStream;
}

int32_t hbfile__openRead(IHBStream **out, const char *path, const char *what) {
  const int32_t rc = hbstream__openFile(out, path, HBFILE_O_READ);
  if (rc < 0)
    brlog("HBFILE", BRLOG_ERROR, "  -- Failed to open file '%s' @ '%s'\n", what ? what : "",
          path ? path : "");
  return rc;
}
