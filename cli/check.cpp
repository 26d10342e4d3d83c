#include "cli/check.h"

#include "engine/update_job.h"
#include "ui/presenter.h"

bool StartCheckWorker() {
    return workerThread.Start([](void* parameter) { return int32_t(RunCheckJob(parameter)); },
                              nullptr);
}
