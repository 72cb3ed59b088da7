// Fuzz target: ParseAttributeList on arbitrary lists. The first input byte
// picks the options; the rest is the list.
#include <cstdint>
#include <cstring>

#include "AttributeList.h"
#include "GuardedBuffer.h"
#include "TextFormat.h"

using namespace Mosaik;

namespace {

void ParseOnce(const void *list, ULONG available, uint8_t control)
{
    GUID mode;
    WCHAR message[MessageCapacity];
    message[0] = 0;
    ParseAttributeList(list, available, (control & 1) ? &mode : nullptr, (control & 2) ? message : nullptr);
    FUZZ_REQUIRE(memchr(message, 0, sizeof message) != nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 0x10000)
        return 0;
    const uint8_t control = data[0];
    ++data;
    --size;
    GuardedBuffer list(data, size);
    if (size > 0)
        ParseOnce(list.As<void>(), ULONG(size), control);
    // Unknown size: only where the caller's promise (the header's Size
    // bytes are there) holds.
    if (size >= sizeof(KSMULTIPLE_ITEM)) {
        ULONG listSize;
        memcpy(&listSize, data, 4);
        if (listSize <= size)
            ParseOnce(list.As<void>(), 0, control);
    }
    return 0;
}
