// What the engine learns of a kernel-streaming filter before it builds
// endpoints: its categories, its pins (data flow, communication, category,
// physical connection, data ranges) and its internal connections; and where
// the filters are (the device interfaces of a category).
#pragma once

#include "KsHeaders.h"

#include <stdint.h>
#include <string>
#include <vector>

namespace engine {

struct PinDescription {
    ULONG id = 0;
    KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
    GUID category = {};     // zero when the pin has none
    bool physical = false;  // wired to another filter's pin
    std::wstring peerPath;  // that filter's interface (user-mode form)
    ULONG peerPin = 0;
    std::vector<uint8_t> dataRanges; // the KSMULTIPLE_ITEM list as the filter gave it
    bool streamsAudio = false;       // a sink (or both) with a PCM or float range

    // A bridge pin: no host connects to it (communication none or bridge).
    bool IsBridge() const
    {
        return communication == KSPIN_COMMUNICATION_NONE || communication == KSPIN_COMMUNICATION_BRIDGE;
    }
};

struct FilterDescription {
    std::wstring path; // the interface path it was opened by
    std::wstring key;  // the filter's identity across its interfaces (FilterKey)
    std::vector<GUID> categories;
    std::vector<PinDescription> pins;
    std::vector<KSTOPOLOGY_CONNECTION> connections;

    bool HasCategory(const GUID &category) const;
};

// Reads the filter's categories, pins and connections.
HRESULT DescribeFilter(HANDLE filter, const std::wstring &path, FilterDescription &description);

// The paths of the present, enabled device interfaces of a category.
std::vector<std::wstring> InterfacePaths(const GUID &category);

// A filter registers one interface per category; they differ only in the
// class GUID part of the path. The key leaves that part out (and the case
// and the kernel's \??\ prefix), so that a physical connection's link and a
// path found by category name the same filter.
std::wstring FilterKey(const std::wstring &path);

// UTF-16 text (as drivers return names and links) as the platform's wide
// string.
std::wstring WideFromUtf16(const uint8_t *units, size_t count);

} // namespace engine
