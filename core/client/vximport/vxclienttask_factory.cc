// The concrete tasks behind the queue: each factory builds its kind of task.
#include "vxclienttask_factory.h"

#include "vxclienttaskaimport.h"
#include "vxclienttaskexport.h"
#include "vxclienttaskimport.h"

// ---- Import task ----

int32_t vxclienttask__newImportTask(VXClientTask **out, const char *taskId, int32_t taskClass,
                                    uint32_t flags, VXClientTaskReference *source,
                                    IHBURI *destination) {
  if (!out) return BR_EINVAL;
  VXClientImportTask *task = nullptr;
  const int32_t rc =
      VXClientImportTask::create(taskId, taskClass, flags, source, destination, &task);
  *out = task;
  return rc;
}

// ---- Export task ----

int32_t vxclienttask__newExportTask(VXClientTask **out, const char *taskId,
                                    VXClientTaskReference *source, IHBURI *destination) {
  VXClientExportTask *task = nullptr;
  const int32_t rc = VXClientExportTask::create(&task, taskId, source, destination);
  *out = task;
  return rc;
}

// ---- Auto-import task ----

int32_t vxclienttask__newAutoImportTask(VXClientTask **out, const char *taskId, int32_t taskClass,
                                        uint32_t flags, VXClientTaskReference *source,
                                        IHBURI *destination, VXClientTaskQueue *queue) {
  if (!out) return BR_EINVAL;
  VXClientAutoImportTask *task = nullptr;
  const int32_t rc =
      VXClientAutoImportTask::create(taskId, taskClass, flags, source, destination, queue, &task);
  *out = task;
  return rc;
}
