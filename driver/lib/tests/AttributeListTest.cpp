// The attribute-list parser: every diagnostic with the list that produces
// it, the mode hand-over, and lists whose counts and sizes lie.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "AttributeList.h"
#include "TextFormat.h"
#include "WideText.h"

using namespace Mosaik;

namespace {

// Builds a list: header, then items at 8-byte-rounded offsets.
struct ListBuilder {
    std::vector<UCHAR> bytes = std::vector<UCHAR>(8, 0);

    ListBuilder &Item(ULONG size, const GUID &attribute, const GUID *value = nullptr, ULONG flags = 0)
    {
        size_t start = (bytes.size() + 7) & ~size_t(7);
        bytes.resize(start + 40, 0);
        std::memcpy(&bytes[start], &size, 4);
        std::memcpy(&bytes[start + 4], &flags, 4);
        std::memcpy(&bytes[start + 8], &attribute, 16);
        if (value)
            std::memcpy(&bytes[start + 24], value, 16);
        // The list ends where the item says it does (huge sizes are lies).
        if (size <= 0x10000)
            bytes.resize(start + std::max<size_t>(size, 24), 0);
        return *this;
    }
    ListBuilder &Header(ULONG size, ULONG count)
    {
        if (bytes.size() < size)
            bytes.resize(size, 0);
        std::memcpy(&bytes[0], &size, 4);
        std::memcpy(&bytes[4], &count, 4);
        return *this;
    }
};

struct Result {
    NTSTATUS status;
    std::string message;
};

Result Parse(const std::vector<UCHAR> &list, ULONG available, GUID *mode)
{
    WCHAR message[MessageCapacity];
    message[0] = 0;
    NTSTATUS status = ParseAttributeList(list.data(), available, mode, message);
    return {status, Utf8(message)};
}

const GUID &ModeId = KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;

TEST(AttributeList, OneModeItemHandsTheModeOver)
{
    auto list = ListBuilder().Item(40, ModeId, &AUDIO_SIGNALPROCESSINGMODE_RAW).Header(48, 1).bytes;
    GUID mode = GUID_NULL;
    EXPECT_EQ(Parse(list, 48, &mode).status, STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_RAW));

    Result r = Parse(list, 0, nullptr);
    EXPECT_EQ(r.status, STATUS_MODE_NOT_RETURNED);
    EXPECT_EQ(r.message,
              "Signal processing mode (AUDIO_SIGNALPROCESSINGMODE_RAW) is not DEFAULT but no variable to return it");

    auto def = ListBuilder().Item(40, ModeId, &AUDIO_SIGNALPROCESSINGMODE_DEFAULT).Header(48, 1).bytes;
    EXPECT_EQ(Parse(def, 48, nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(Parse(def, 0, &mode).status, STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_DEFAULT));
}

TEST(AttributeList, LaterModeWinsAndUnroundedSizesAddUp)
{
    auto two = ListBuilder()
                   .Item(40, ModeId, &AUDIO_SIGNALPROCESSINGMODE_DEFAULT)
                   .Item(40, ModeId, &AUDIO_SIGNALPROCESSINGMODE_MEDIA)
                   .Header(88, 2)
                   .bytes;
    GUID mode = GUID_NULL;
    EXPECT_EQ(Parse(two, 88, &mode).status, STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_MEDIA));

    auto odd = ListBuilder().Item(44, ModeId, &AUDIO_SIGNALPROCESSINGMODE_RAW).Header(52, 1).bytes;
    EXPECT_EQ(Parse(odd, 52, &mode).status, STATUS_SUCCESS);
}

TEST(AttributeList, HeaderFaults)
{
    auto list = ListBuilder().Item(40, ModeId, &AUDIO_SIGNALPROCESSINGMODE_RAW).Header(48, 1).bytes;
    Result r = Parse(list, 7, nullptr);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Attribute block size (0x7) < KSMULTIPLE_ITEM (0x8)");

    r = Parse(list, 47, nullptr);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Attribute block size (0x2f) < KSMULTIPLE_ITEM.Size (0x30)");

    auto tiny = ListBuilder().Header(4, 0).bytes;
    r = Parse(tiny, 8, nullptr);
    EXPECT_EQ(r.message, "Invalid attribute list header: Size=0x4, Count=0");
    auto countless = ListBuilder().Header(8, 1).bytes;
    r = Parse(countless, 8, nullptr);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Invalid attribute list header: Size=0x8, Count=1");

    auto empty = ListBuilder().Header(8, 0).bytes;
    r = Parse(empty, 8, nullptr);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "KSMULTIPLE_ITEM.Size (0x8) < KSMULTIPLE_ITEM size (0x8) + KSATTRIBUTE size (0x18)");
}

TEST(AttributeList, ItemFaults)
{
    Result r = Parse(ListBuilder().Item(20, ModeId).Header(48, 1).bytes, 0, nullptr);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Attribute 1 size (0x14) < KSATTRIBUTE size (0x18)");

    r = Parse(ListBuilder().Item(48, ModeId, &AUDIO_SIGNALPROCESSINGMODE_RAW).Header(48, 1).bytes, 0, nullptr);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "KSATTRIBUTE 1 with size 0x30 is beyond attribute list size (0x30)");

    r = Parse(ListBuilder().Item(40, KSDATAFORMAT_TYPE_AUDIO, nullptr, 1).Header(48, 1).bytes, 0, nullptr);
    EXPECT_EQ(r.status, STATUS_NO_MATCH);
    EXPECT_EQ(r.message, "Unknown KSATTRIBUTE 1: Size=0x28, Flags=0x1, Id={73647561-0000-0010-8000-00aa00389b71}");

    r = Parse(ListBuilder().Item(32, ModeId).Header(40, 1).bytes, 0, nullptr);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Signal processing mode attribute 1 size (0x20) is less than 0x28");

    GUID mode;
    r = Parse(ListBuilder().Item(40, ModeId, &AUDIO_SIGNALPROCESSINGMODE_RAW).Header(56, 1).bytes, 0, &mode);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "Size of attributes (0x28) is different from specified in the header (0x38)");
}

TEST(AttributeList, LargeItemIsSuspiciousButAccepted)
{
    auto list = ListBuilder().Item(300, ModeId, &AUDIO_SIGNALPROCESSINGMODE_DEFAULT, 2).Header(308, 1).bytes;
    Result r = Parse(list, 308, nullptr);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.message, "KSATTRIBUTE 1 (Size=0x12c, Flags=0x2, Id=KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE) is suspicious");
}

// Count promising more items than the list holds, and rounding that moves an
// item past the list's end, are refused without reading beyond Size.
TEST(AttributeList, CountsAndRoundingThatPointPastTheList)
{
    auto list = ListBuilder().Item(40, ModeId, &AUDIO_SIGNALPROCESSINGMODE_RAW).Header(48, 5).bytes;
    GUID mode;
    Result r = Parse(list, 48, &mode);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "KSATTRIBUTE 2 with size 0x18 is beyond attribute list size (0x30)");

    // A 41-byte item rounds to 48, so the item after it starts at 56 and
    // would end at 96, beyond a header Size of 89 that the unrounded sum fits.
    auto rounded = ListBuilder()
                       .Item(41, ModeId, &AUDIO_SIGNALPROCESSINGMODE_RAW)
                       .Item(40, ModeId, &AUDIO_SIGNALPROCESSINGMODE_RAW)
                       .Header(89, 2)
                       .bytes;
    rounded.resize(89);
    r = Parse(rounded, 89, &mode);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message, "KSATTRIBUTE 2 with size 0x28 is beyond attribute list size (0x59)");

    // A size that would wrap 32-bit arithmetic.
    auto huge = ListBuilder().Item(0xFFFFFFF0u, ModeId).Header(48, 1).bytes;
    huge.resize(48);
    r = Parse(huge, 48, &mode);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.message.rfind("KSATTRIBUTE 1 with size 0xfffffff0 is beyond", 0), 0u) << r.message;
}

} // namespace
