// The one NTSTATUS-to-Win32 translation of the platform, used by the kernel
// side's RtlNtStatusToDosError and by every Win32 function of the stand-in.
#include <io_boundary.h>
#include "status_table.h"

namespace standin::io::boundary {

uint32_t StatusToWin32(int32_t status)
{
    const uint32_t value = static_cast<uint32_t>(status);
    // Customer codes pass through unchanged, as do Win32 errors wrapped as
    // NTSTATUS (facility 7) or as HRESULT, which give back the bare error.
    if (value & 0x20000000u)
        return value;
    if ((value & 0xFFFF0000u) == 0xC0070000u || (value & 0xFFFF0000u) == 0x80070000u)
        return value & 0xFFFFu;
    for (unsigned i = 0; i < statusMappingCount; ++i)
        if (statusMappings[i].status == value)
            return statusMappings[i].error;
    return 317; // ERROR_MR_MID_NOT_FOUND: Windows' answer for a status it has no error for
}

} // namespace standin::io::boundary

extern "C" uint32_t RtlNtStatusToDosError(int32_t status)
{
    return standin::io::boundary::StatusToWin32(status);
}
