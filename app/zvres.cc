// The compiled-in pages and the page folder of "--ui-folder".
#include "zvres.h"

#include <gio/gio.h>

#include <cctype>
#include <cstring>

#include "brlog.h"

extern "C" GResource *zvresources_get_resource(void);

namespace {

constexpr const char *kTag = "BHOST";

std::string &folder() {
  static std::string *dir = new std::string;
  return *dir;
}

int32_t fromBundle(const std::string &path, GBytes **out) {
  GBytes *bytes = g_resource_lookup_data(zvresources_get_resource(), path.c_str(),
                                         G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (!bytes) return BR_ENOENT;
  *out = bytes;
  return BR_OK;
}

}  // namespace

bool zvres__pageName(const char *path, std::string *name) {
  if (!path || *path != '/') return false;
  std::string rest = path + 1;
  for (char &c : rest)
    if (c == '\\') c = '/';
  // "ui\\" names the folder; a page's relative addresses resolve beside "ui\\NAME", at the top.
  if (rest.size() > 3 && g_ascii_strncasecmp(rest.c_str(), "ui/", 3) == 0) rest.erase(0, 3);
  if (rest.empty() || rest.back() == '/') return false;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    const std::string part = rest.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  for (char &c : rest) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  *name = rest;
  return true;
}

const char *zvres__mimeType(const std::string &name) {
  static const struct {
    const char *ext;
    const char *mime;
  } kTypes[] = {
      {".html", "text/html"},   {".htm", "text/html"},         {".js", "text/javascript"},
      {".css", "text/css"},     {".png", "image/png"},         {".gif", "image/gif"},
      {".jpg", "image/jpeg"},   {".jpeg", "image/jpeg"},       {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"}, {".ttf", "font/ttf"},          {".woff", "font/woff"},
      {".woff2", "font/woff2"}, {".json", "application/json"}, {".txt", "text/plain"},
  };
  for (const auto &t : kTypes) {
    const size_t n = strlen(t.ext);
    if (name.size() >= n && g_ascii_strcasecmp(name.c_str() + name.size() - n, t.ext) == 0)
      return t.mime;
  }
  return "application/octet-stream";
}

int32_t zvres__lookup(const std::string &name, GBytes **out, std::string *mime) {
  *mime = zvres__mimeType(name);
  const std::string &dir = folder();
  if (dir.empty()) return fromBundle("/ui/" + name, out);
  // File names in the folder are lower case, as the addresses are taken.
  gchar *contents = nullptr;
  gsize length = 0;
  const std::string path = dir + "/" + name;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
    brlog(kTag, BRLOG_VERBOSE, "No page '%s' in the page folder\n", name.c_str());
    return BR_ENOENT;
  }
  *out = g_bytes_new_take(contents, length);
  return BR_OK;
}

int32_t zvres__appResource(const char *name, GBytes **out) {
  return fromBundle(std::string("/app/") + name, out);
}

void zvres__setFolder(const std::string &dir) {
  folder() = dir;
  if (!dir.empty())
    brlog(kTag, BRLOG_WARNING, "Pages are served from the folder '%s'\n", dir.c_str());
}
