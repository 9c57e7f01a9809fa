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
    // Pictures of today's phones and cameras.
    {"heic", "image/heic"},
    {"heif", "image/heif"},
    {"hif", "image/heif"},
    {"avif", "image/avif"},
    {"webp", "image/webp"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"jfif", "image/jpeg"},
    {"jpe", "image/jpeg"},
    {"psd", "image/vnd.adobe.photoshop"},
    // Camera raw formats.
    {"dng", "image/x-adobe-dng"},
    {"cr2", "image/x-canon-cr2"},
    {"cr3", "image/x-canon-cr3"},
    {"crw", "image/x-canon-crw"},
    {"nef", "image/x-nikon-nef"},
    {"nrw", "image/x-nikon-nrw"},
    {"arw", "image/x-sony-arw"},
    {"srf", "image/x-sony-srf"},
    {"sr2", "image/x-sony-sr2"},
    {"raf", "image/x-fuji-raf"},
    {"orf", "image/x-olympus-orf"},
    {"rw2", "image/x-panasonic-rw2"},
    {"raw", "image/x-panasonic-rw"},
    {"pef", "image/x-pentax-pef"},
    {"srw", "image/x-samsung-srw"},
    {"x3f", "image/x-sigma-x3f"},
    {"3fr", "image/x-hasselblad-3fr"},
    {"iiq", "image/x-phaseone-iiq"},
    {"erf", "image/x-epson-erf"},
    {"mrw", "image/x-minolta-mrw"},
    {"kdc", "image/x-kodak-kdc"},
    {"dcr", "image/x-kodak-dcr"},
    // Videos of phones and camcorders.
    {"webm", "video/webm"},
    {"3g2", "video/3gpp2"},
    {"qt", "video/quicktime"},
    {"mod", "video/mpeg"},
    {"tod", "video/mpeg"},
    {"dv", "video/dv"},
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
