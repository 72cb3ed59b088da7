// Fuzz target: ParseKsDataFormat (with attribute lists) on arbitrary blocks.
// The first input byte picks the options; the rest is the block.
#include <cstdint>
#include <cstring>

#include "DataFormat.h"
#include "GuardedBuffer.h"
#include "TextFormat.h"

using namespace Mosaik;

namespace {

void ParseOnce(const KSDATAFORMAT *block, ULONG blockSize, uint8_t control)
{
    WAVEFORMATEXTENSIBLE record = {};
    GUID mode;
    WCHAR message[MessageCapacity];
    message[0] = 0;
    NTSTATUS status = ParseKsDataFormat(&record, block, blockSize, (control & 1) ? &mode : nullptr,
                                        (control & 4) ? IgnoreAttributeList : 0, (control & 2) ? message : nullptr);
    FUZZ_REQUIRE(memchr(message, 0, sizeof message) != nullptr); // terminated within the buffer
    if (NT_SUCCESS(status))
        FUZZ_REQUIRE(IsValidFormat(record));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 0x10000)
        return 0;
    const uint8_t control = data[0];
    ++data;
    --size;
    GuardedBuffer block(data, size);
    if (size > 0)
        ParseOnce(block.As<KSDATAFORMAT>(), ULONG(size), control);
    // Unknown size: only where the caller's promise holds, FormatSize bytes
    // present and no attribute list to follow.
    if (size >= sizeof(KSDATAFORMAT)) {
        ULONG formatSize, flags;
        memcpy(&formatSize, data, 4);
        memcpy(&flags, data + 4, 4);
        if (formatSize <= size && ((control & 4) || !(flags & KSDATAFORMAT_ATTRIBUTES)))
            ParseOnce(block.As<KSDATAFORMAT>(), 0, control);
    }
    return 0;
}
