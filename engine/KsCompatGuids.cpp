// The engine's definitions of the GUIDs that KsCompat.h declares (neither
// the system's kernel-streaming GUID library nor its stand-in has them).
#include "KsHeaders.h"

#define ENGINE_COMPAT_GUID(name) EXTERN_C const GUID name = {STATIC_##name};

OMB_KSCOMPAT_GUIDS(ENGINE_COMPAT_GUID)
