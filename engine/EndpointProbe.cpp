// The jack description and the endpoint format, through the filter.
#include "EndpointProbe.h"
#include "AudioFormat.h"
#include "KsRequests.h"
#include "Status.h"

#include <cstring>
#include <vector>

namespace engine {

JackState ReadJack(HANDLE filter, ULONG pin)
{
    JackState jack;
    std::vector<uint8_t> list;
    if (ks::GetPinVariable(filter, pin, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, list) != S_OK ||
        list.size() < sizeof(KSMULTIPLE_ITEM))
        return jack; // no jack detection: always connected
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, list.data(), sizeof header);
    const size_t fit = (list.size() - sizeof header) / sizeof(KSJACK_DESCRIPTION);
    const size_t count = header.Count < fit ? header.Count : fit;
    if (count == 0)
        return jack;
    jack.described = true;
    jack.connected = false;
    for (size_t i = 0; i < count; ++i) {
        KSJACK_DESCRIPTION description;
        std::memcpy(&description, list.data() + sizeof header + i * sizeof description, sizeof description);
        if (description.IsConnected)
            jack.connected = true;
    }
    // A jack that says it cannot detect presence is taken as connected.
    if (ks::GetPinVariable(filter, pin, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, list) == S_OK &&
        list.size() >= sizeof(KSMULTIPLE_ITEM) + sizeof(KSJACK_DESCRIPTION2)) {
        KSJACK_DESCRIPTION2 capabilities;
        std::memcpy(&capabilities, list.data() + sizeof(KSMULTIPLE_ITEM), sizeof capabilities);
        jack.presenceDetect = (capabilities.JackCapabilities & JACKDESC2_PRESENCE_DETECT_CAPABILITY) != 0;
        if (!jack.presenceDetect)
            jack.connected = true;
    }
    return jack;
}

HRESULT ReadFormat(HANDLE filter, ULONG pin, wav::Format &format, bool &proposed)
{
    std::vector<uint8_t> value;
    if (ks::GetPinVariable(filter, pin, KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, value) == S_OK &&
        FromKsFormat(value.data(), value.size(), format)) {
        proposed = true;
        return S_OK;
    }
    HRESULT status = ks::GetPinVariable(filter, pin, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, value);
    if (status != S_OK)
        return status;
    if (!FormatFromRanges(ks::DataRanges(value), format))
        return UnsupportedFormat;
    proposed = false;
    return S_OK;
}

} // namespace engine
