// The pages behind "res://tesselutilbrowser.exe/ui\\NAME" (also "ui/NAME").
//
// The files of ui/ are compiled into the program (a GResource bundle made at build time, under
// "/ui/"); a request names one by its file name in any letter case. With "--ui-folder=DIR" the
// files are read from DIR instead, so page authors and tests can change pages without a
// rebuild. The program's own pictures (tray icon, login strip) sit in the same bundle under
// "/app/".
#pragma once

#include <glib.h>

#include <cstdint>
#include <string>

#include "brerror.h"

#define ZVRES_HOST "tesselutilbrowser.exe"

// Turns the path of a res:// address ("/ui\\signin.html", "/ui/img/a.png") into the file's
// name below ui/ ("signin.html", "img/a.png"): backslashes become slashes, a leading "ui/" goes
// and the name is lower-cased. A page's relative addresses resolve to the top ("/vxl.js", since
// a backslash separates nothing in a res:// address), so those name ui/ files too. False for an
// empty name or one with empty, "." or ".." parts.
bool zvres__pageName(const char *path, std::string *name);

// The bytes and media type of the page `name` (from zvres__pageName): from the folder when
// one is set, else from the compiled-in pages. 0 with *out holding a reference for the caller;
// -3 when there is no such page.
HB_NODISCARD int32_t zvres__lookup(const std::string &name, GBytes **out, std::string *mime);

// A picture of the program itself ("tray.png", "strip.png"): 0 with *out referenced, or -3.
HB_NODISCARD int32_t zvres__appResource(const char *name, GBytes **out);

// Serves pages from `dir` instead of the compiled-in ones (empty: back to those).
void zvres__setFolder(const std::string &dir);

// The media type of a file name by its extension ("application/octet-stream" when unknown).
const char *zvres__mimeType(const std::string &name);
