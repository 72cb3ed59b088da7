// WaveFormat: validation order, defaults, the Windows structures it writes and
// reads, and its arithmetic.
#include <gtest/gtest.h>
#include <string.h>
#include "ombapi.h"
#include <ks.h>
#include <ksmedia.h>
#include "KsCompat.h"

using Ombrivo::WaveFormat;

namespace {

constexpr HRESULT BadFormat = static_cast<HRESULT>(0x8007000B);

std::wstring Str(const WaveFormat &f, unsigned count = 64)
{
    wchar_t buf[64];
    return f.ToStr(buf, count);
}

void ExpectFields(const WaveFormat &f, unsigned sr, unsigned bps, unsigned nc, unsigned bpc, unsigned cc)
{
    EXPECT_EQ(f.GetSR(), sr);
    EXPECT_EQ(f.GetBPS(), bps);
    EXPECT_EQ(f.GetNC(), nc);
    EXPECT_EQ(f.GetBPC(), bpc);
    EXPECT_EQ(f.GetCC(), cc);
}

} // namespace

TEST(WaveFormat, LayoutIsTheDescriptor)
{
    static_assert(sizeof(WaveFormat) == 20);
    WaveFormat f(48000, 16, 2, 2, 3);
    DataFormatDesc d;
    memcpy(&d, &f, sizeof d);
    EXPECT_EQ(d.SR, 48000u);
    EXPECT_EQ(d.CC, 3u);
    EXPECT_EQ(&f.GetFormat(), reinterpret_cast<const DataFormatDesc *>(&f));
}

TEST(WaveFormat, InitDerivesContainerAndMask)
{
    WaveFormat f;
    ExpectFields(f, 0, 0, 0, 0, 0);
    EXPECT_EQ(f.GetFrameSize(), 0u);
    ASSERT_EQ(f.Init(44100, 24, 2, 0, 0xFFFFFFFF), S_OK);
    ExpectFields(f, 44100, 24, 2, 3, 0x3);
    ASSERT_EQ(f.Init(44100, 24, 2, 4, 0), S_OK);
    ExpectFields(f, 44100, 24, 2, 4, 0);
    ASSERT_EQ(f.Init(8000, 8, 1, 0, 0x1234), S_OK);
    ExpectFields(f, 8000, 8, 1, 1, 0x1234);
    ASSERT_EQ(f.Init(384000, 32, 8, 4, 0xFFFFFFFF), S_OK);
    ExpectFields(f, 384000, 32, 8, 4, 0x63F);
}

TEST(WaveFormat, InitRejectsAndKeepsTheOldFormat)
{
    struct Case { unsigned sr, bps, nc, bpc; } rejected[] = {
        {7999, 16, 2, 2}, {384001, 16, 2, 2}, {48000, 7, 2, 1}, {48000, 33, 2, 4},
        {48000, 16, 0, 2}, {48000, 16, 9, 2}, {48000, 16, 2, 5}, {48000, 24, 2, 2},
        {48000, 9, 2, 1},
    };
    for (const Case &c : rejected) {
        WaveFormat f(48000, 16, 2, 2, 3);
        EXPECT_EQ(f.Init(c.sr, c.bps, c.nc, c.bpc, 0xFFFFFFFF), BadFormat)
            << c.sr << " " << c.bps << " " << c.nc << " " << c.bpc;
        ExpectFields(f, 48000, 16, 2, 2, 3);
    }
    // A rejected construction holds the empty format.
    WaveFormat rejectedCtor(7999, 16, 2, 2, 3);
    ExpectFields(rejectedCtor, 0, 0, 0, 0, 0);
}

TEST(WaveFormat, StandardMasks)
{
    const unsigned expected[] = {0, 0x4, 0x3, 0, 0x33, 0, 0x60F, 0, 0x63F, 0};
    for (unsigned nc = 0; nc < 10; ++nc)
        EXPECT_EQ(WaveFormat::GetStdChannelMask(nc), expected[nc]) << nc;
    EXPECT_EQ(WaveFormat::GetStdChannelMask(0xFFFFFFFF), 0u);
}

TEST(WaveFormat, PlainFormOut)
{
    WAVEFORMATEXTENSIBLE w;
    memset(&w, 0xAB, sizeof w);
    WaveFormat(48000, 16, 2, 0, 0xFFFFFFFF).ToWfx(w);
    EXPECT_EQ(w.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(w.Format.cbSize, 0);
    EXPECT_EQ(w.Format.nChannels, 2);
    EXPECT_EQ(w.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(w.Format.wBitsPerSample, 16);
    EXPECT_EQ(w.Format.nBlockAlign, 4);
    EXPECT_EQ(w.Format.nAvgBytesPerSec, 192000u);
    // The extension is left untouched in the plain form.
    EXPECT_EQ(w.dwChannelMask, 0xABABABABu);

    KSDATAFORMAT_WAVEFORMATEXTENSIBLE k;
    memset(&k, 0xCD, sizeof k);
    WaveFormat(48000, 16, 2, 2, 3).ToKdf(k);
    EXPECT_EQ(k.DataFormat.FormatSize, 82u);
    EXPECT_TRUE(IsEqualGUID(k.DataFormat.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUID(k.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUID(k.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
    EXPECT_EQ(k.DataFormat.Flags, 0u);
    EXPECT_EQ(k.DataFormat.SampleSize, 0u);
    EXPECT_EQ(k.DataFormat.Reserved, 0u);
}

TEST(WaveFormat, ExtensibleFormOutAndBack)
{
    WAVEFORMATEXTENSIBLE w;
    memset(&w, 0, sizeof w);
    WaveFormat(48000, 24, 2, 4, 0).ToWfx(w);
    EXPECT_EQ(w.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(w.Format.cbSize, 22);
    EXPECT_EQ(w.Format.wBitsPerSample, 32);
    EXPECT_EQ(w.Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(w.Format.nBlockAlign, 8);
    EXPECT_EQ(w.dwChannelMask, 0x3u);
    EXPECT_TRUE(IsEqualGUID(w.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));

    WaveFormat back;
    ASSERT_EQ(back.FromWfx(w.Format), S_OK);
    ExpectFields(back, 48000, 24, 2, 4, 0x3);

    // Six 16-bit channels: extensible, mask of the six lowest bits.
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE k;
    memset(&k, 0, sizeof k);
    WaveFormat(48000, 16, 6, 2, 0xFFFFFFFF).ToKdf(k);
    EXPECT_EQ(k.WaveFormatExt.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(k.WaveFormatExt.dwChannelMask, 0x3Fu);
    EXPECT_EQ(k.DataFormat.FormatSize, 104u);
    EXPECT_TRUE(IsEqualGUID(k.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));

    WaveFormat(48000, 8, 8, 1, 0).ToWfx(w);
    EXPECT_EQ(w.dwChannelMask, 0xFFu);
}

TEST(WaveFormat, FromWfxReadsOnlyTheHead)
{
    WAVEFORMATEXTENSIBLE w;
    memset(&w, 0, sizeof w);
    w.Format = {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 32, 0};
    WaveFormat f(44100, 16, 2, 2, 3);
    EXPECT_EQ(f.FromWfx(w.Format), BadFormat);
    ExpectFields(f, 44100, 16, 2, 2, 3);

    w.Format = {WAVE_FORMAT_PCM, 0, 48000, 0, 4, 16, 0};
    EXPECT_EQ(f.FromWfx(w.Format), BadFormat);

    // Extensible with a short extension: the head's bits count.
    w.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 0, 8, 32, 21};
    w.Samples.wValidBitsPerSample = 24;
    w.dwChannelMask = 0x600;
    ASSERT_EQ(f.FromWfx(w.Format), S_OK);
    ExpectFields(f, 48000, 32, 2, 4, 0x3);

    // Block alignment below the channel count: the container is derived.
    w.Format = {WAVE_FORMAT_PCM, 4, 22050, 0, 2, 16, 0};
    ASSERT_EQ(f.FromWfx(w.Format), S_OK);
    ExpectFields(f, 22050, 16, 4, 2, 0x33);
}

TEST(WaveFormat, Arithmetic)
{
    WaveFormat f(48000, 16, 2, 2, 3);
    EXPECT_EQ(f.MsToBytes(10), 1920u);
    EXPECT_EQ(f.BytesToFrames(1923), 480u);
    EXPECT_EQ(f.FramesToBytes(480), 1920u);
    // The product ms x SR is formed in 32 bits and wraps.
    WaveFormat fast(384000, 16, 1, 2, 0);
    EXPECT_EQ(fast.MsToBytes(11184), (11184u * 384000u / 1000u) * 2u);
    EXPECT_EQ(fast.MsToBytes(11185), ((11185u * 384000u) / 1000u) * 2u);
    // An empty format converts without faulting.
    WaveFormat empty;
    EXPECT_EQ(empty.BytesToFrames(1000), 0u);
    EXPECT_EQ(empty.FramesToBytes(1000), 0u);
}

TEST(WaveFormat, ToStrShapesAndCuts)
{
    EXPECT_EQ(Str(WaveFormat(48000, 16, 2, 2, 3)), L"48000/16(2)/2(3)");
    EXPECT_EQ(Str(WaveFormat(44100, 24, 6, 4, 0x60F)), L"44100/24(4)/6(60f)");
    EXPECT_EQ(Str(WaveFormat(48000, 16, 2, 2, 3), 6), L"48000");
    EXPECT_EQ(Str(WaveFormat(48000, 16, 2, 2, 3), 1), L"");
    wchar_t untouched[2] = {L'x', L'y'};
    WaveFormat(48000, 16, 2, 2, 3).ToStr(untouched, 0);
    EXPECT_EQ(untouched[0], L'x');
}
