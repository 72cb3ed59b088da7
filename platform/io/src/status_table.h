// The NTSTATUS-to-Win32 error table, as Windows' RtlNtStatusToDosError has it
// for every status the kernel stand-in and the driver produce.
#pragma once

#include <stdint.h>

namespace standin::io {

struct StatusMapping {
    uint32_t status;
    uint32_t error;
};

extern const StatusMapping statusMappings[];
extern const unsigned statusMappingCount;

} // namespace standin::io
