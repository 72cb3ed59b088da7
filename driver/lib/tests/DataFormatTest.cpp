// ParseKsDataFormat: every diagnostic with the block that produces it, both
// specifiers, extensible payloads and the hand-over to the attribute list.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "AttributeList.h"
#include "TextFormat.h"
#include "DataFormat.h"
#include "WideText.h"

using namespace Mosaik;

namespace {

const GUID Unknown = {0xE6DCD72D, 0x0668, 0x429F, {0x8A, 0x1B, 0xE7, 0x2D, 0xFE, 0x99, 0x13, 0x40}};

WAVEFORMATEXTENSIBLE Stereo16Extensible()
{
    WAVEFORMATEXTENSIBLE w = {};
    w.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 192000, 4, 16, 22};
    w.Samples.wValidBitsPerSample = 16;
    w.dwChannelMask = 3;
    w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return w;
}

// A data-format block: KSDATAFORMAT, optional DSOUND descriptor, the wave
// format (header only when cbSize is 0), then room for attributes.
struct Block {
    std::vector<UCHAR> bytes;
    KSDATAFORMAT &Header() { return *reinterpret_cast<KSDATAFORMAT *>(bytes.data()); }

    static Block Make(const WAVEFORMATEXTENSIBLE &wave, bool dsound = false)
    {
        Block b;
        ULONG waveOffset = dsound ? 72 : 64;
        ULONG waveBytes = wave.Format.cbSize ? 18 + wave.Format.cbSize : 18;
        b.bytes.assign(waveOffset + std::max<ULONG>(waveBytes, 40), 0);
        std::memcpy(&b.bytes[waveOffset], &wave, sizeof wave);
        b.bytes.resize(waveOffset + waveBytes);
        KSDATAFORMAT &h = b.Header();
        h.FormatSize = ULONG(b.bytes.size());
        h.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        h.SubFormat = wave.Format.cbSize ? wave.SubFormat : KSDATAFORMAT_SUBTYPE_PCM;
        h.Specifier = dsound ? KSDATAFORMAT_SPECIFIER_DSOUND : KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        return b;
    }
    // Appends a one-item mode list at the next multiple of 8 and sets the flag.
    Block &WithMode(const GUID &mode)
    {
        bytes.resize((bytes.size() + 7) & ~size_t(7), 0);
        ULONG header[2] = {48, 1};
        ULONG item[2] = {40, 0};
        const UCHAR *parts[] = {reinterpret_cast<UCHAR *>(header), reinterpret_cast<UCHAR *>(item),
                                reinterpret_cast<const UCHAR *>(&KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE),
                                reinterpret_cast<const UCHAR *>(&mode)};
        size_t sizes[] = {8, 8, 16, 16};
        for (int i = 0; i < 4; ++i)
            bytes.insert(bytes.end(), parts[i], parts[i] + sizes[i]);
        Header().Flags |= KSDATAFORMAT_ATTRIBUTES;
        return *this;
    }
};

struct Result {
    NTSTATUS status;
    std::string message;
    WAVEFORMATEXTENSIBLE record;
};

Result Parse(Block &b, ULONG blockSize, GUID *mode = nullptr, ULONG options = 0)
{
    Result r = {};
    WCHAR message[MessageCapacity];
    message[0] = 0;
    r.status = ParseKsDataFormat(&r.record, &b.Header(), blockSize, mode, options, message);
    r.message = Utf8(message);
    return r;
}

WAVEFORMATEXTENSIBLE BasicPcm()
{
    WAVEFORMATEXTENSIBLE w = {};
    w.Format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    return w;
}

TEST(ParseKsDataFormat, BasicPayloadCopiesOnlyTheHeader)
{
    Block b = Block::Make(BasicPcm());
    Result r = {};
    r.record.dwChannelMask = 0x12345678; // the caller's bytes beyond the header stay
    GUID mode = Unknown;
    EXPECT_EQ(ParseKsDataFormat(&r.record, &b.Header(), 0, &mode, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(r.record.Format.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(r.record.dwChannelMask, 0x12345678u);
    EXPECT_TRUE(IsEqualGUID(mode, GUID_NULL));
    EXPECT_EQ(Parse(b, 82).status, STATUS_SUCCESS) << "a block size equal to FormatSize";
    // The block's SubFormat is not looked at for a basic payload.
    b.Header().SubFormat = Unknown;
    EXPECT_EQ(Parse(b, 0).status, STATUS_SUCCESS);
}

TEST(ParseKsDataFormat, SizeFaults)
{
    Block b = Block::Make(BasicPcm());
    Result r = Parse(b, 63);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Block size (0x3f) is less than KSDATAFORMAT (0x40)");
    r = Parse(b, 81);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Block size (0x51) is less than Kdf.FormatSize (0x52)");
    b.Header().FormatSize = 0x30;
    r = Parse(b, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "FormatSize (0x30) is less than KSDATAFORMAT (0x40)");
    b.Header().FormatSize = 81;
    r = Parse(b, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "FormatSize (0x51) < KSDATAFORMAT_SPECIFIER_WAVEFORMATEX size (0x52)");

    Block d = Block::Make(BasicPcm(), true);
    d.Header().FormatSize = 89;
    r = Parse(d, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "FormatSize (0x59) < KSDATAFORMAT_SPECIFIER_DSOUND size (0x5a)");
}

TEST(ParseKsDataFormat, TypeAndSpecifierFaults)
{
    Block b = Block::Make(BasicPcm());
    b.Header().MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    Result r = Parse(b, 0);
    EXPECT_EQ(r.status, STATUS_NO_MATCH);
    EXPECT_EQ(r.message, "Unsupported format type KSDATAFORMAT_TYPE_VIDEO");
    b.Header().MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    b.Header().Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    r = Parse(b, 0);
    EXPECT_EQ(r.status, STATUS_NO_MATCH);
    EXPECT_EQ(r.message, "Unsupported format specifier KSDATAFORMAT_SPECIFIER_NONE");
}

TEST(ParseKsDataFormat, DsoundPayloadSitsEightBytesLater)
{
    Block d = Block::Make(Stereo16Extensible(), true);
    ASSERT_EQ(d.Header().FormatSize, 112u);
    Result r = Parse(d, 112);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << r.message;
    EXPECT_EQ(r.record.Format.nSamplesPerSec, 48000u);
    EXPECT_TRUE(IsEqualGUID(r.record.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
}

TEST(ParseKsDataFormat, ExtensiblePayloadFaults)
{
    WAVEFORMATEXTENSIBLE w = Stereo16Extensible();
    Block b = Block::Make(w);
    b.Header().FormatSize = 100;
    Result r = Parse(b, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "FormatSize (0x64) < KSDATAFORMAT_SPECIFIER_WAVEFORMATEX size (0x52) + cbSize (0x16) = 0x68");

    w.Format.cbSize = 10;
    Block small = Block::Make(w);
    r = Parse(small, 0);
    EXPECT_EQ(r.status, STATUS_NO_MATCH);
    EXPECT_EQ(r.message, "Unknown cbSize 0xa");

    Block mismatch = Block::Make(Stereo16Extensible());
    mismatch.Header().SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    r = Parse(mismatch, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message,
              "WfxExt.SubFormat KSDATAFORMAT_SUBTYPE_PCM doesn't match KDF.SubFormat KSDATAFORMAT_SUBTYPE_IEEE_FLOAT");

    WAVEFORMATEXTENSIBLE bad = Stereo16Extensible();
    bad.Samples.wValidBitsPerSample = 17;
    Block invalid = Block::Make(bad);
    r = Parse(invalid, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "") << "an invalid format has no message";
}

TEST(ParseKsDataFormat, ExtensibleTagIsCorrectedAndLongExtensionsAccepted)
{
    WAVEFORMATEXTENSIBLE w = Stereo16Extensible();
    w.Format.wFormatTag = WAVE_FORMAT_PCM;
    Block b = Block::Make(w);
    Result r = Parse(b, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.message, "Extensible format has tag 1 - correcting");
    EXPECT_EQ(r.record.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);

    WAVEFORMATEXTENSIBLE longer = Stereo16Extensible();
    longer.Format.cbSize = 30;
    Block l = Block::Make(longer);
    ASSERT_EQ(l.Header().FormatSize, 112u);
    r = Parse(l, 112);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << r.message;
    EXPECT_EQ(r.record.Format.cbSize, 30);
}

TEST(ParseKsDataFormat, FlagsAndAttributeList)
{
    Block b = Block::Make(BasicPcm());
    b.Header().Flags = 1;
    Result r = Parse(b, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.message, "Unsupported KSDATAFORMAT flags 0x1");

    Block raw = Block::Make(BasicPcm());
    raw.WithMode(AUDIO_SIGNALPROCESSINGMODE_RAW);
    ASSERT_EQ(raw.bytes.size(), 88u + 48u);
    GUID mode = GUID_NULL;
    EXPECT_EQ(Parse(raw, ULONG(raw.bytes.size()), &mode).status, STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_RAW));
    EXPECT_EQ(Parse(raw, 0, nullptr).status, STATUS_MODE_NOT_RETURNED) << "the list's status comes back unchanged";
    mode = Unknown;
    EXPECT_EQ(Parse(raw, 0, &mode, IgnoreAttributeList).status, STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(mode, GUID_NULL));

    // A known block cut short of the list's own size, or ending before the
    // list's offset at all, leaves no bytes to read.
    r = Parse(raw, ULONG(raw.bytes.size()) - 1, &mode);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Attribute block size (0x2f) < KSMULTIPLE_ITEM.Size (0x30)");
    r = Parse(raw, 85, &mode);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Attribute block size (0x0) < KSMULTIPLE_ITEM (0x8)");
}

} // namespace
