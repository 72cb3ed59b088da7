// Format records: classification, the validity and limit checks, and the
// builders.
#include <gtest/gtest.h>

#include "DataFormat.h"

using namespace Mosaik;

namespace {

WAVEFORMATEXTENSIBLE Extensible(USHORT bits, USHORT valid, USHORT channels, ULONG rate, const GUID &sub)
{
    WAVEFORMATEXTENSIBLE w = {};
    USHORT align = USHORT(bits / 8 * channels);
    w.Format = {WAVE_FORMAT_EXTENSIBLE, channels, rate, rate * align, align, bits, 22};
    w.Samples.wValidBitsPerSample = valid;
    w.SubFormat = sub;
    return w;
}

TEST(FormatRecord, ClassificationAndSubtype)
{
    WAVEFORMATEXTENSIBLE w = {};
    w.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    EXPECT_TRUE(IsBasicFormat(w));
    EXPECT_FALSE(IsExtensibleFormat(w));
    EXPECT_TRUE(IsEqualGUID(GetFormatSubtype(w), KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    w.Format.cbSize = 10; // neither basic nor extensible
    EXPECT_FALSE(IsBasicFormat(w));
    EXPECT_FALSE(IsExtensibleFormat(w));
    w.Format.wFormatTag = WAVE_FORMAT_PCM;
    w.Format.cbSize = 22;
    EXPECT_TRUE(IsBasicFormat(w)) << "tag 1 is basic whatever cbSize says";
    EXPECT_FALSE(IsExtensibleFormat(w));

    WAVEFORMATEXTENSIBLE unknown = {};
    EXPECT_FALSE(IsFormatIdentified(unknown));
    unknown.Format.cbSize = 22;
    EXPECT_FALSE(IsFormatIdentified(unknown)) << "tag 0 with a null subtype";
    unknown.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    EXPECT_TRUE(IsFormatIdentified(unknown));
}

TEST(FormatRecord, ValidityAndLimits)
{
    WAVEFORMATEXTENSIBLE w = Extensible(16, 16, 2, 48000, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_TRUE(IsValidFormat(w));
    EXPECT_TRUE(IsSupportedFormat(w));

    WAVEFORMATEXTENSIBLE rate = w;
    rate.Format.nAvgBytesPerSec += 1;
    rate.Format.nBlockAlign = 3; // not examined while the average rate is off
    EXPECT_TRUE(IsValidFormat(rate));
    EXPECT_FALSE(IsSupportedFormat(rate));

    WAVEFORMATEXTENSIBLE align = w;
    align.Format.nBlockAlign = 3;
    align.Format.nAvgBytesPerSec = 3 * 48000;
    EXPECT_FALSE(IsValidFormat(align));

    EXPECT_FALSE(IsValidFormat(Extensible(16, 16, 2, 48000, KSDATAFORMAT_SPECIFIER_DSOUND))) << "another form";
    WAVEFORMATEXTENSIBLE ac3 = Extensible(16, 16, 2, 48000, KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL);
    EXPECT_TRUE(IsValidFormat(ac3));
    EXPECT_FALSE(IsSupportedFormat(ac3));
    EXPECT_FALSE(IsValidFormat(Extensible(16, 0, 2, 48000, KSDATAFORMAT_SUBTYPE_PCM)));
    EXPECT_FALSE(IsValidFormat(Extensible(16, 17, 2, 48000, KSDATAFORMAT_SUBTYPE_PCM)));
    EXPECT_TRUE(IsValidFormat(Extensible(16, 7, 2, 48000, KSDATAFORMAT_SUBTYPE_PCM)));
    EXPECT_FALSE(IsSupportedFormat(Extensible(16, 7, 2, 48000, KSDATAFORMAT_SUBTYPE_PCM)));

    EXPECT_TRUE(IsSupportedFormat(Extensible(16, 16, 2, 1000, KSDATAFORMAT_SUBTYPE_PCM)));
    EXPECT_TRUE(IsSupportedFormat(Extensible(16, 16, 2, 384000, KSDATAFORMAT_SUBTYPE_PCM)));
    EXPECT_FALSE(IsSupportedFormat(Extensible(16, 16, 2, 999, KSDATAFORMAT_SUBTYPE_PCM)));
    EXPECT_FALSE(IsSupportedFormat(Extensible(16, 16, 2, 384001, KSDATAFORMAT_SUBTYPE_PCM)));
    EXPECT_TRUE(IsSupportedFormat(Extensible(32, 24, 32, 48000, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)));
    EXPECT_FALSE(IsSupportedFormat(Extensible(16, 16, 33, 48000, KSDATAFORMAT_SUBTYPE_PCM)));
    EXPECT_FALSE(IsSupportedFormat(Extensible(40, 40, 2, 48000, KSDATAFORMAT_SUBTYPE_PCM)));
}

TEST(FormatRecord, ChannelMasksAndBitCounts)
{
    const ULONG expected[] = {0, 0x4, 0x3, 0, 0x33, 0, 0x60F, 0, 0x63F, 0};
    for (ULONG channels = 0; channels < 10; ++channels)
        EXPECT_EQ(DefaultChannelMask(channels), expected[channels]) << channels << " channels";
    EXPECT_EQ(DefaultChannelMask(0xFFFFFFFF), 0u);
}

TEST(FormatRecord, BuildFormatChoosesBasicOrExtensible)
{
    WAVEFORMATEXTENSIBLE w = {};
    ASSERT_TRUE(BuildFormat(&w, 44100, 16, 2, 0, StandardChannelMask, false, false));
    EXPECT_EQ(w.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(w.Format.nBlockAlign, 4);
    EXPECT_EQ(w.Format.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(w.Format.cbSize, 0);

    w = {};
    ASSERT_TRUE(BuildFormat(&w, 48000, 24, 2, 0, StandardChannelMask, false, false));
    EXPECT_EQ(w.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(w.Format.wBitsPerSample, 24);
    EXPECT_EQ(w.Format.nBlockAlign, 6);
    EXPECT_EQ(w.dwChannelMask, 0x3u);
    EXPECT_TRUE(IsEqualGUID(w.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));

    ASSERT_TRUE(BuildFormat(&w, 48000, 24, 2, 4, StandardChannelMask, false, false));
    EXPECT_EQ(w.Format.wBitsPerSample, 32);
    EXPECT_EQ(w.Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(w.Format.nBlockAlign, 8);

    ASSERT_TRUE(BuildFormat(&w, 48000, 16, 2, 0, 0x4, false, false));
    EXPECT_EQ(w.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE) << "a non-standard mask needs the extensible form";
    EXPECT_EQ(w.dwChannelMask, 0x4u);

    ASSERT_TRUE(BuildFormat(&w, 48000, 32, 2, 0, StandardChannelMask, false, true));
    EXPECT_EQ(w.Format.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);

    WAVEFORMATEXTENSIBLE untouched = {};
    untouched.dwChannelMask = 0x77;
    EXPECT_FALSE(BuildFormat(&untouched, 48000, 24, 2, 2, StandardChannelMask, false, false)) << "container too small";
    EXPECT_FALSE(BuildFormat(&untouched, 0, 16, 2, 0, StandardChannelMask, false, false));
    EXPECT_FALSE(BuildFormat(&untouched, 48000, 16, 0x10000, 0, StandardChannelMask, false, false))
        << "a channel count that does not fit the record";
    EXPECT_EQ(untouched.dwChannelMask, 0x77u);
    EXPECT_EQ(untouched.Format.wFormatTag, 0);
}

TEST(FormatRecord, BuildBasicFormatKeepsTheExtensionBytes)
{
    WAVEFORMATEXTENSIBLE w = {};
    w.dwChannelMask = 0x1234;
    ASSERT_TRUE(BuildBasicFormat(&w, 44100, 16, 2, false));
    EXPECT_EQ(w.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(w.Format.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(w.dwChannelMask, 0x1234u);
    ASSERT_TRUE(BuildBasicFormat(&w, 48000, 24, 6, false));
    EXPECT_EQ(w.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE) << "falls back to the extensible builder";
    EXPECT_EQ(w.dwChannelMask, 0x60Fu);
    EXPECT_FALSE(BuildBasicFormat(&w, 48000, 0, 2, false));
}

TEST(FormatRecord, BuildKsDataFormatWritesTheWholeRecord)
{
    WAVEFORMATEXTENSIBLE w = {};
    ASSERT_TRUE(BuildBasicFormat(&w, 44100, 16, 2, false));
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE block;
    memset(&block, 0xCC, sizeof block);
    EXPECT_EQ(BuildKsDataFormat(w, &block), 82u);
    EXPECT_EQ(block.DataFormat.FormatSize, 82u);
    EXPECT_EQ(block.DataFormat.Flags, 0u);
    EXPECT_TRUE(IsEqualGUID(block.DataFormat.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUID(block.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUID(block.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
    EXPECT_EQ(memcmp(&block.WaveFormatExt, &w, sizeof w), 0) << "all 40 bytes, also for a basic record";

    // A built block parses back to the record it came from.
    WAVEFORMATEXTENSIBLE e = {};
    ASSERT_TRUE(BuildFormat(&e, 96000, 24, 8, 4, StandardChannelMask, true, false));
    EXPECT_EQ(BuildKsDataFormat(e, &block), 104u);
    WAVEFORMATEXTENSIBLE parsed = {};
    EXPECT_EQ(ParseKsDataFormat(&parsed, &block.DataFormat, sizeof block, nullptr, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&parsed, &e, sizeof e), 0);
    EXPECT_TRUE(IsSupportedFormat(parsed));
}

TEST(FormatRecord, SilenceAndRange)
{
    WAVEFORMATEXTENSIBLE w = {};
    w.Format.wBitsPerSample = 8;
    EXPECT_EQ(SilenceByte(w), 0x80);
    w.Format.wBitsPerSample = 16;
    EXPECT_EQ(SilenceByte(w), 0);
    EXPECT_TRUE(InRange(5, 5, 5));
    EXPECT_FALSE(InRange(4, 5, 6));
    EXPECT_FALSE(InRange(7, 5, 6));
}

} // namespace
