// The driver's request to its client: the code in the block, the client's
// event set, and up to one second of waiting for the reply.
#include "ControlPipe.h"

namespace {
constexpr LONGLONG ReplyTimeout = 10'000'000; // one second, in 100-ns units
}

NTSTATUS ControlPipe::RequestClient(ULONG code)
{
    Mosaik::Lock(mutex); // one request outstanding per pipe
    CommonDataDesc *shared = Block();
    PKEVENT event = LoadPointer(clientEvent); // kept referenced while the mutex is held
    NTSTATUS result = STATUS_DEVICE_NOT_READY;
    if (shared != nullptr && event != nullptr) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = 0;
        // A reply that came when nothing was waiting must not answer this one.
        KeWaitForSingleObject(&replyEvent, Executive, KernelMode, FALSE, &timeout);
        StoreWord(shared->ReplyStatus, REPLY_STATUS_PRESET);
        shared->RequestCode = code;
        InterlockedOr(reinterpret_cast<LONG volatile *>(&shared->RequestFlags), REQUEST_FLAGS_POSTED);
        KeSetEvent(event, IO_SOUND_INCREMENT, FALSE);

        timeout.QuadPart = -ReplyTimeout;
        const NTSTATUS wait = KeWaitForSingleObject(&replyEvent, Executive, KernelMode, FALSE, &timeout);
        if (wait == STATUS_SUCCESS)
            result = static_cast<NTSTATUS>(LoadWord(shared->ReplyStatus)); // a later notify may have replaced it
        else if (wait == STATUS_TIMEOUT)
            result = STATUS_DEVICE_NOT_READY;
        else
            result = STATUS_UNSUCCESSFUL;
    }
    if (shared != nullptr) {
        InterlockedAnd(reinterpret_cast<LONG volatile *>(&shared->RequestFlags),
                       static_cast<LONG>(~REQUEST_FLAGS_POSTED));
        shared->RequestCode = ClientReqNone;
    }
    Mosaik::Unlock(mutex);
    return result;
}
