/* Completing a request the driver has taken: status, bytes of output, and
   the sound priority boost (none for a cancelled request). */
#pragma once

#include <wdm.h>

inline NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, status == STATUS_CANCELLED ? IO_NO_INCREMENT : IO_SOUND_INCREMENT);
    return status;
}
