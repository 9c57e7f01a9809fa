// Where the task queue gets its concrete tasks.
//
// The queue builds every import, export and auto-import task through these three functions, so
// that the task classes can live in modules of their own. Each builds a task in its initial
// state (an auto-import starts paused, state 5) without queuing it, and hands one reference to
// *out. The bodies in vxclienttask_factory.cc are the only place that names the concrete classes.
#pragma once

#include <cstdint>

#include "brerror.h"

struct IHBURI;
class VXClientTask;
class VXClientTaskReference;
class VXClientTaskQueue;

// An import of `source` into the drive URI `destination` (type 1).
HB_NODISCARD int32_t vxclienttask__newImportTask(VXClientTask **out, const char *taskId,
                                                 int32_t taskClass, uint32_t flags,
                                                 VXClientTaskReference *source,
                                                 IHBURI *destination);
// An export of the drive URIs of `source` into the local folder URL `destination` (type 2,
// class 0, flags 0).
HB_NODISCARD int32_t vxclienttask__newExportTask(VXClientTask **out, const char *taskId,
                                                 VXClientTaskReference *source,
                                                 IHBURI *destination);
// An auto-import (type 3): an import that `queue` (referenced by the task) runs again by itself.
HB_NODISCARD int32_t vxclienttask__newAutoImportTask(VXClientTask **out, const char *taskId,
                                                     int32_t taskClass, uint32_t flags,
                                                     VXClientTaskReference *source,
                                                     IHBURI *destination, VXClientTaskQueue *queue);
