// The caller's buffers of a METHOD_NEITHER request: probed and copied into
// kernel memory before anything looks at them, and copied back afterwards.
// A kernel-mode requestor's pointers are trusted, as on Windows.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <vector>

namespace standin::ks {

// Copies length bytes from the requestor's buffer; STATUS_ACCESS_VIOLATION
// when a byte of it cannot be read.
NTSTATUS CaptureInput(KPROCESSOR_MODE mode, const void *source, ULONG length, std::vector<uint8_t> &copy);
// Fails with STATUS_ACCESS_VIOLATION unless every byte can be written.
NTSTATUS ProbeOutput(KPROCESSOR_MODE mode, void *target, ULONG length);
// Copies into the requestor's buffer (probed for writing first).
NTSTATUS ReturnOutput(KPROCESSOR_MODE mode, void *target, const void *source, ULONG length);

} // namespace standin::ks
