#include "platform/worker_thread.h"

namespace kestar::platform {

WorkerThreadOps& WorkerThreads() {
    static WorkerThreadOps ops = WorkerThreadDefaults();
    return ops;
}

}  // namespace kestar::platform
