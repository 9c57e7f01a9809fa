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
// been quiet for 30 s after a change reports once, an event of type 1 naming the watched folder;
// one whose tree keeps changing reports 3 minutes after the first change it has not reported.
// A receiver that answers Inprogress (an auto-import in the middle of a run) gets the report
// again after another quiet time, so a change made during a run is never lost. A lost event
// queue (a burst beyond the kernel's queue) counts as a change and the tree is walked again for
// folders that may have come without being seen.
//
// Running out of watches (fs.inotify.max_user_watches) is logged, the folders concerned are
// listed by unwatchedFolders(), and the rest stays watched; the thread tries them again after
// each report.
//
// A watched folder that is gone (deleted, moved away, on a disk unmounted) or not there when the
// watcher is made is waited for: the watcher watches the nearest folder above it and the mount
// table, answers isAvailable() 0 meanwhile, and once the folder is back watches its tree again
// and reports it ("Watched folder is back").
#pragma once

#include <cstdint>

#include "vxfsevent.h"

// A watcher of the local folder of `url` (a "file" URL), also of one that does not exist yet.
// -6 for an empty path, -1 when it cannot be watched. One reference in *out for the caller.
HB_NODISCARD int32_t vxfsevent__newPosixWatcher(IVXFSEventer **out, IHBURL *url);

// ---- Test hooks ----

// Watchers holding a slot of the table.
int32_t vxfsevent__slotsInUseForTest();
// Wakes the thread and waits until it has made `passes` full passes (so that every change made
// before the call has been read). False when the thread did not get there within 60 s.
bool vxfsevent__waitPassesForTest(int32_t passes);
// The quiet time before a report (0 restores 30 s), for tests of whole programs.
void vxfsevent__setQuietMsForTest(int64_t ms);
// The longest delay of a report while changes keep coming (0 restores 3 minutes).
void vxfsevent__setMaxDelayMsForTest(int64_t ms);
// A limit of watches per watcher while set (0: none but the system's); a watch beyond it fails
// as a full system table does.
void vxfsevent__setWatchLimitForTest(int32_t limit);
