/* Parsing of the attribute list that may follow a kernel-streaming data
   format; the only attribute accepted is the audio signal-processing mode. */
#pragma once

#include "KsHeaders.h"

namespace Mosaik {

// Success-class status: the list names a mode other than the default one and
// the caller gave no variable to return it in.
constexpr NTSTATUS STATUS_MODE_NOT_RETURNED = NTSTATUS(0x00000105);

// Checks the list's framing and hands the mode to `mode` when present.
// `available` is the bytes the caller has for the list, 0 when unknown (the
// caller then vouches for the header's Size). Diagnostics go to the optional
// message buffer of MessageCapacity characters.
NTSTATUS ParseAttributeList(const void *list, ULONG available, GUID *mode, WCHAR *message);

// As ParseAttributeList, with the availability stated apart from the size, so
// that a caller who knows that no bytes at all are left can say so.
NTSTATUS ParseAttributeListWithin(const void *list, ULONG available, bool availableKnown, GUID *mode,
                                  WCHAR *message);

} // namespace Mosaik
