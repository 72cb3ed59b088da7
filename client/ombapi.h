/* ombapi: the client library of the Ombrivo virtual sound device.
   A host application attaches to one of the device's endpoints through a
   private control channel and clocks audio through the shared cyclic buffer.

   C++ callers use the classes of the namespace Ombrivo; every caller, C
   included, can use the flat functions and the records of the control
   protocol. */
#ifndef OMBRIVO_OMBAPI_H
#define OMBRIVO_OMBAPI_H

#include <windows.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <wchar.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "ControlProtocol.h"
#include "CommonDataDesc.h"
#include "KsCompat.h"

#ifdef OMBAPI_BUILD
#define OMBAPI __declspec(dllexport)
#else
#define OMBAPI __declspec(dllimport)
#endif

#ifdef __cplusplus

namespace Ombrivo {

/* An uncompressed PCM format: exactly one DataFormatDesc, so a WaveFormat is
   laid out as the 20-byte descriptor itself. */
class OMBAPI WaveFormat {
public:
    WaveFormat();
    /* Runs Init; a rejected format leaves all five fields 0. */
    WaveFormat(unsigned sr, unsigned bps, unsigned nc, unsigned bpc, unsigned cc);

    /* bpc 0 derives the container from the bits; cc 0xFFFFFFFF asks for the
       standard mask. Fails with 0x8007000B and leaves the format as it was. */
    HRESULT Init(unsigned sr, unsigned bps, unsigned nc, unsigned bpc, unsigned cc);
    static unsigned GetStdChannelMask(unsigned nc);

    HRESULT FromWfx(const WAVEFORMATEX &wfx);
    void ToWfx(WAVEFORMATEXTENSIBLE &wfx) const;
    void ToKdf(KSDATAFORMAT_WAVEFORMATEXTENSIBLE &kdf) const;
    /* "SR/BPS(BPC)/NC(CC)", at most count characters with the terminator. */
    wchar_t *ToStr(wchar_t *buf, unsigned count) const;

    unsigned GetSR() const;
    unsigned GetBPS() const;
    unsigned GetNC() const;
    unsigned GetBPC() const;
    unsigned GetCC() const;
    unsigned GetFrameSize() const; /* BPC x NC */

    /* Unsigned 32-bit arithmetic, truncating; a format with frame size 0
       converts every byte count to 0 frames. */
    unsigned BytesToFrames(unsigned bytes) const;
    unsigned FramesToBytes(unsigned frames) const;
    unsigned MsToBytes(unsigned ms) const;

    const DataFormatDesc &GetFormat() const;
    DataFormatDesc &GetFormat();

private:
    DataFormatDesc desc;
};

/* A fixed-capacity wide text: N characters of storage and nothing else.
   Assignment copies the whole storage, whatever lies after the terminator. */
template <unsigned N>
class TextInPlace {
public:
    TextInPlace();
    TextInPlace(const TextInPlace &other);
    TextInPlace &operator=(const TextInPlace &other);
    TextInPlace &operator=(TextInPlace &&other);
    operator wchar_t *();
    operator const wchar_t *() const;

protected:
    wchar_t text[N];
};

template <unsigned N>
TextInPlace<N>::TextInPlace()
{
    text[0] = L'\0';
}

template <unsigned N>
TextInPlace<N>::TextInPlace(const TextInPlace &other)
{
    wmemcpy(text, other.text, N);
}

template <unsigned N>
TextInPlace<N> &TextInPlace<N>::operator=(const TextInPlace &other)
{
    wmemcpy(text, other.text, N);
    return *this;
}

template <unsigned N>
TextInPlace<N> &TextInPlace<N>::operator=(TextInPlace &&other)
{
    wmemcpy(text, other.text, N);
    return *this;
}

template <unsigned N>
TextInPlace<N>::operator wchar_t *()
{
    return text;
}

template <unsigned N>
TextInPlace<N>::operator const wchar_t *() const
{
    return text;
}

extern template class OMBAPI TextInPlace<256>;

/* The text of a status: "[u]facility/code - system text". */
class OMBAPI ErrorText_i : public TextInPlace<256> {
public:
    explicit ErrorText_i(LONG code);
    explicit ErrorText_i(ULONG code);
    ErrorText_i(const ErrorText_i &other);
    ErrorText_i &operator=(const ErrorText_i &other);
    ErrorText_i &operator=(ErrorText_i &&other);

    /* Writes the text of code into buf (capacity count, terminator included)
       and keeps the thread's last-error value. Returns buf. */
    static const wchar_t *ToStr(wchar_t *buf, unsigned count, ULONG code);
};

/* Shows a printf-style message (at most 511 characters) in an error box and
   keeps the thread's last-error value. */
OMBAPI void Error(const wchar_t *format, ...);

} /* namespace Ombrivo */

#endif /* __cplusplus */

#endif
