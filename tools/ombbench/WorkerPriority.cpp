// The worker's priority as the stand-in applies it to the calling thread.
#include "WorkerPriority.h"

#include <wdm.h>

namespace ombbench {

void RaiseToWorkerPriority()
{
    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
}

} // namespace ombbench
