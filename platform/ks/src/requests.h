// The three kernel-streaming device-control requests, from the caller's
// buffers to the object and back.
#pragma once

#include <ks_objects.h>

namespace standin::ks {

NTSTATUS HandleProperty(Object &object, PIRP irp, ULONG_PTR &information);
NTSTATUS HandleEnableEvent(Object &object, PIRP irp, ULONG_PTR &information);
NTSTATUS HandleDisableEvent(Object &object, PIRP irp);

} // namespace standin::ks
