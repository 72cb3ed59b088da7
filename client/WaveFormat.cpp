// WaveFormat: validation, defaults, conversion to and from the Windows
// format structures, and the byte/frame/time arithmetic.
#include "ombapi.h"
#include <ks.h>
#include <ksmedia.h>
#include <string.h>

namespace Ombrivo {

namespace {

constexpr HRESULT BadFormat = static_cast<HRESULT>(0x8007000B);
constexpr unsigned MinRate = 8000, MaxRate = 384000;
constexpr unsigned MinBits = 8, MaxBits = 32;
constexpr unsigned MaxChannels = 8, MaxContainer = 4;
constexpr unsigned StdChannelMasks[MaxChannels + 1] = {
    0x0,   // 0 channels
    0x4,   // front centre
    0x3,   // front left, front right
    0x0,   // 3: none
    0x33,  // front left/right, back left/right
    0x0,   // 5: none
    0x60F, // front left/right, front centre, low frequency, side left/right
    0x0,   // 7: none
    0x63F, // front left/right, front centre, low frequency, back and side left/right
};

unsigned DerivedContainer(unsigned bps) { return (bps + 7) / 8; }

// The extensible form's mask: the nc lowest bits.
DWORD LowBitsMask(unsigned nc) { return nc >= 32 ? 0xFFFFFFFFu : (1u << nc) - 1u; }

} // namespace

WaveFormat::WaveFormat() : desc{0, 0, 0, 0, 0} {}

WaveFormat::WaveFormat(unsigned sr, unsigned bps, unsigned nc, unsigned bpc, unsigned cc)
    : desc{0, 0, 0, 0, 0}
{
    Init(sr, bps, nc, bpc, cc);
}

HRESULT WaveFormat::Init(unsigned sr, unsigned bps, unsigned nc, unsigned bpc, unsigned cc)
{
    if (sr < MinRate || sr > MaxRate)
        return BadFormat;
    if (bps < MinBits || bps > MaxBits)
        return BadFormat;
    if (nc < 1 || nc > MaxChannels)
        return BadFormat;
    if (bpc > MaxContainer)
        return BadFormat;
    if (bpc != 0 && bpc < DerivedContainer(bps))
        return BadFormat;
    desc.SR = sr;
    desc.BPS = bps;
    desc.NC = nc;
    desc.BPC = bpc != 0 ? bpc : DerivedContainer(bps);
    desc.CC = cc == 0xFFFFFFFFu ? GetStdChannelMask(nc) : cc;
    return S_OK;
}

unsigned WaveFormat::GetStdChannelMask(unsigned nc)
{
    return nc <= MaxChannels ? StdChannelMasks[nc] : 0;
}

HRESULT WaveFormat::FromWfx(const WAVEFORMATEX &wfx)
{
    if (wfx.wFormatTag != WAVE_FORMAT_PCM && wfx.wFormatTag != WAVE_FORMAT_EXTENSIBLE)
        return BadFormat;
    unsigned bits = wfx.wBitsPerSample;
    if (wfx.wFormatTag == WAVE_FORMAT_EXTENSIBLE && wfx.cbSize >= 22)
        bits = reinterpret_cast<const WAVEFORMATEXTENSIBLE &>(wfx).Samples.wValidBitsPerSample;
    if (wfx.nChannels == 0)
        return BadFormat;
    const unsigned container = wfx.nBlockAlign / wfx.nChannels;
    return Init(wfx.nSamplesPerSec, bits, wfx.nChannels, container, 0xFFFFFFFFu);
}

void WaveFormat::ToWfx(WAVEFORMATEXTENSIBLE &wfx) const
{
    WAVEFORMATEX &head = wfx.Format;
    head.nChannels = static_cast<WORD>(desc.NC);
    head.nSamplesPerSec = desc.SR;
    head.wBitsPerSample = static_cast<WORD>(desc.BPC * 8);
    head.nBlockAlign = static_cast<WORD>(desc.BPC * desc.NC);
    head.nAvgBytesPerSec = desc.SR * head.nBlockAlign;
    const bool plain = (desc.BPS == 8 || desc.BPS == 16) && (desc.NC == 1 || desc.NC == 2) &&
                       desc.BPS == desc.BPC * 8;
    if (plain) {
        head.wFormatTag = WAVE_FORMAT_PCM;
        head.cbSize = 0;
        return;
    }
    head.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    head.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wfx.Samples.wValidBitsPerSample = static_cast<WORD>(desc.BPS);
    wfx.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    wfx.dwChannelMask = LowBitsMask(desc.NC);
}

void WaveFormat::ToKsDataFormat(void *head, const WAVEFORMATEXTENSIBLE &written) const
{
    static_assert(sizeof(KSDATAFORMAT) == KsDataFormatBytes, "KSDATAFORMAT layout");
    const bool extended = written.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && written.Format.cbSize >= 22;
    KSDATAFORMAT format;
    format.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) + written.Format.cbSize;
    format.Flags = 0;
    format.SampleSize = 0;
    format.Reserved = 0;
    format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.SubFormat = extended ? written.SubFormat : KSDATAFORMAT_SUBTYPE_PCM;
    format.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    memcpy(head, &format, sizeof format);
}

wchar_t *WaveFormat::ToStr(wchar_t *buf, unsigned count) const
{
    if (buf == nullptr || count == 0)
        return buf;
    _snwprintf(buf, count, L"%u/%u(%u)/%u(%x)", desc.SR, desc.BPS, desc.BPC, desc.NC, desc.CC);
    buf[count - 1] = L'\0';
    return buf;
}

unsigned WaveFormat::GetSR() const { return desc.SR; }
unsigned WaveFormat::GetBPS() const { return desc.BPS; }
unsigned WaveFormat::GetNC() const { return desc.NC; }
unsigned WaveFormat::GetBPC() const { return desc.BPC; }
unsigned WaveFormat::GetCC() const { return desc.CC; }
unsigned WaveFormat::GetFrameSize() const { return desc.BPC * desc.NC; }
const DataFormatDesc &WaveFormat::GetFormat() const { return desc; }
DataFormatDesc &WaveFormat::GetFormat() { return desc; }

unsigned WaveFormat::BytesToFrames(unsigned bytes) const
{
    const unsigned frameSize = GetFrameSize();
    return frameSize != 0 ? bytes / frameSize : 0;
}

unsigned WaveFormat::FramesToBytes(unsigned frames) const { return frames * GetFrameSize(); }

unsigned WaveFormat::MsToBytes(unsigned ms) const { return FramesToBytes((ms * desc.SR) / 1000); }

static_assert(sizeof(WaveFormat) == sizeof(DataFormatDesc), "a WaveFormat is its descriptor");

} // namespace Ombrivo
