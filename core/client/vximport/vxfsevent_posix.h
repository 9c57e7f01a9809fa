// The local folder watcher: inotify with a watch on every folder of the tree.
//
// Each watcher holds a watch on the watched folder and on every folder below it (followed through
// symbolic links, each folder once, so link loops end; names beginning with ".." or ".vx" are left
// out as the import walk leaves them out). Folders that appear later, made or moved in, get their
// watches as the thread sees them; a folder moved away loses them. Every kind of change counts
// (names, attributes, size, writes, creation, removal), except reads: the import's own walk must
// not set off the next run.
//
// The thread "FSEVENT" waits on the descriptors of up to 64 watchers. A watcher whose tree has
// been quiet for 30 s after a change reports once, an event of type 1 naming the watched folder.
// A receiver that answers Inprogress (an auto-import in the middle of a run) gets the report
// again after another quiet time, so a change made during a run is never lost. A lost event
// queue (a burst beyond the kernel's queue) counts as a change and the tree is walked again for
// folders that may have come without being seen.
//
// Running out of watches (fs.inotify.max_user_watches) is logged, the folders concerned are
// listed by unwatchedFolders(), and the rest stays watched; the thread tries them again after
// each report.
#pragma once

#include <cstdint>

#include "vxfsevent.h"

// A watcher of the local folder of `url` (a "file" URL). -6 for an empty path, -3 when the
// folder does not exist, -1 when it cannot be watched. One reference in *out for the caller.
HB_NODISCARD int32_t vxfsevent__newPosixWatcher(IVXFSEventer **out, IHBURL *url);

// ---- Test hooks ----

// Watchers holding a slot of the table.
int32_t vxfsevent__slotsInUseForTest();
// Wakes the thread and waits until it has made `passes` full passes (so that every change made
// before the call has been read). False when the thread did not get there within 10 s.
bool vxfsevent__waitPassesForTest(int32_t passes);
// The quiet time before a report (0 restores 30 s), for tests of whole programs.
void vxfsevent__setQuietMsForTest(int64_t ms);
// A limit of watches per watcher while set (0: none but the system's); a watch beyond it fails
// as a full system table does.
void vxfsevent__setWatchLimitForTest(int32_t limit);
