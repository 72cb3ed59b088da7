/* Replies the miniports' property handlers share: the basic-support answer,
   the size check of a property request, and the CPU-resources property.
   They work only on the request PortCls hands over and keep no state. */
#pragma once

#include "PortClsHeaders.h"

// The type identifier of an unsigned 32-bit property value (VT_UI4), and
// the one that leaves the reply's type set unwritten.
constexpr ULONG PropertyTypeUnsigned32 = 19;
constexpr ULONG PropertyTypeUnwritten = 0xFFFF;

// Answers a basic-support query with a KSPROPERTY_DESCRIPTION: the size
// query (value size 0), the access flags alone (4 to 39 bytes), or the whole
// description with the type set (set, id) unless id is PropertyTypeUnwritten.
NTSTATUS BasicSupportReply(PPCPROPERTY_REQUEST request, const GUID &typeSet, ULONG typeId);

// The size query (value size 0 answers minimumValueSize), then a value or an
// instance too small; 0 when the request may go on.
NTSTATUS CheckValueSize(PPCPROPERTY_REQUEST request, ULONG minimumInstanceSize, ULONG minimumValueSize);

// KSPROPERTY_AUDIO_CPU_RESOURCES: every node that offers it runs off the host
// processor.
NTSTATUS PropertyHandlerCpuResources(PPCPROPERTY_REQUEST request);
