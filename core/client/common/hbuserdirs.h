// The user's own folders as every program of the utility finds them.
#pragma once

#include <string>

// $HOME, else the password database's home, else "/".
std::string hbuserdirs__home();
// $XDG_RUNTIME_DIR, else a folder /tmp/orvanetessel-UID made private to the user; empty (and
// logged) when that folder exists but is not the user's alone.
std::string hbuserdirs__runtimeDir();
// Where drive letters become folders: the drive setting "drive.mountroot" ("~" and "~/..."
// taken from the home folder), else ~/Tessel; no trailing "/".
std::string hbuserdirs__driveMountRoot();
