// ksuser's KsCreatePin: the pin's name, a separator and the connection with
// its data format (laid out as the calling process's bitness has it) become
// the name of a create relative to the filter handle.
#include "core.h"

#include <ks.h>

#include <cstring>
#include <vector>

using namespace standin::win32;

namespace {

const std::u16string PinName = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}";

// KSPIN_CONNECT as a 32-bit process lays it out (the handle in 4 bytes).
struct PinConnect32 {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    ULONG PinToHandle;
    KSPRIORITY Priority;
};
static_assert(sizeof(PinConnect32) == 64, "the 32-bit connection is 64 bytes");

// The bytes of the data format and, when it says it has one, its attribute
// list at the next 8-byte boundary.
size_t FormatBytes(const KSDATAFORMAT *format)
{
    size_t bytes = format->FormatSize;
    if (format->Flags & KSDATAFORMAT_ATTRIBUTES) {
        const size_t at = (bytes + 7) & ~size_t(7);
        KSMULTIPLE_ITEM list;
        std::memcpy(&list, reinterpret_cast<const uint8_t *>(format) + at, sizeof list);
        bytes = at + list.Size;
    }
    return bytes;
}

} // namespace

DWORD WINAPI KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                         PHANDLE ConnectionHandle)
{
    if (Connect == nullptr || ConnectionHandle == nullptr)
        return ERROR_INVALID_PARAMETER;
    const auto *format = reinterpret_cast<const KSDATAFORMAT *>(Connect + 1);
    const bool is32Bit = boundary::IsProcess32Bit(boundary::CurrentProcess());
    std::vector<uint8_t> payload;
    if (is32Bit) {
        const PinConnect32 narrow{Connect->Interface, Connect->Medium, Connect->PinId,
                                  static_cast<ULONG>(reinterpret_cast<uintptr_t>(Connect->PinToHandle)),
                                  Connect->Priority};
        payload.assign(reinterpret_cast<const uint8_t *>(&narrow), reinterpret_cast<const uint8_t *>(&narrow + 1));
    } else {
        payload.assign(reinterpret_cast<const uint8_t *>(Connect), reinterpret_cast<const uint8_t *>(Connect + 1));
    }
    const auto *bytes = reinterpret_cast<const uint8_t *>(format);
    payload.insert(payload.end(), bytes, bytes + FormatBytes(format));
    if (payload.size() % 2 != 0)
        payload.push_back(0);

    std::u16string name = PinName + u'\\';
    const size_t prefix = name.size();
    name.resize(prefix + payload.size() / 2);
    std::memcpy(name.data() + prefix, payload.data(), payload.size());
    boundary::Handle handle = nullptr;
    const boundary::Status status =
        boundary::OpenRelative(FilterHandle, name.data(), name.size(), DesiredAccess, &handle);
    if (status < 0)
        return boundary::StatusToWin32(status);
    *ConnectionHandle = handle;
    return ERROR_SUCCESS;
}
