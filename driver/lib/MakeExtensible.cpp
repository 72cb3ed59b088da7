// MakeExtensible: a basic PCM or floating-point record in its extensible
// form. Kept apart from the pure record code because it may stop in the
// kernel debugger.
#include "DataFormat.h"
#include "Startup.h"

namespace Mosaik {

void MakeExtensible(WAVEFORMATEXTENSIBLE *record)
{
    if (record->Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        // A basic floating-point stream is unusual enough to look at.
        if (IsDebuggerEnabled())
            DbgBreakPoint();
        record->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    } else {
        record->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
    record->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    record->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    record->Samples.wValidBitsPerSample = record->Format.wBitsPerSample;
    record->dwChannelMask = DefaultChannelMask(record->Format.nChannels);
}

} // namespace Mosaik
