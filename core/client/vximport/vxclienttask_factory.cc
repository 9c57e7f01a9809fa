// The concrete tasks behind the queue. Until a kind is built into the program its factory
// refuses with Unsupported (-16), which the queue reports to its caller.
#include "vxclienttask_factory.h"

#include "brlog.h"
#include "vxclienttaskexport.h"
#include "vxclienttaskimport.h"

namespace {

constexpr const char *kTag = "TASKQ";

int32_t notBuiltIn(const char *kind, VXClientTask **out) {
  if (out) *out = nullptr;
  brlog(kTag, BRLOG_ERROR, "No %s task in this program: not created\n", kind);
  return BR_EUNSUPPORTED;
}

}  // namespace

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

int32_t vxclienttask__newAutoImportTask(VXClientTask **out, const char *, int32_t, uint32_t,
                                        VXClientTaskReference *, IHBURI *, VXClientTaskQueue *) {
  return notBuiltIn("auto-import", out);
}
