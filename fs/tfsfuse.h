// The drive helper's FUSE 3 mount: thin callbacks over TFSFileSystem.
#pragma once

#include <string>

#include "tfsdrive.h"

struct TFSMountOptions {
  std::string mountpoint;
  std::string volname;     // shown as the mount's file system name
  int kernelTtlMs = 5000;  // how long the kernel believes names and attributes
};

// Mounts `fs`, serves requests until told to quit (tfsfuse__quit, SIGTERM, SIGINT, SIGHUP) and
// unmounts. 0, or 1 when it could not mount.
int tfsfuse__run(TFSFileSystem *fs, const TFSMountOptions &options);
// Ends tfsfuse__run (any thread).
void tfsfuse__quit();
