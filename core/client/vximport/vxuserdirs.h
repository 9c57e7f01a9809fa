// The user's well-known folders (the XDG user directories).
#pragma once

#include <cstdint>
#include <string>

#include "brerror.h"

// The folder of `kind` ("PICTURES", "DOCUMENTS", ... as in user-dirs.dirs): the entry
// XDG_<KIND>_DIR of "$XDG_CONFIG_HOME/user-dirs.dirs", else "~/Pictures" or "~/Documents"
// (other kinds: -3). *displayName is the folder's last path component. 0, or -3.
HB_NODISCARD int32_t vxuserdirs__get(const char *kind, std::string *path, std::string *displayName);
