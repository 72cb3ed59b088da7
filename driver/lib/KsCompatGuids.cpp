// The one definition of each GUID that KsCompat.h declares (the system's
// kernel-streaming GUID library has none of them).
#include "KsHeaders.h"

#define COMPAT_GUID(name) EXTERN_C const GUID name = {STATIC_##name};

OMB_KSCOMPAT_GUIDS(COMPAT_GUID)
