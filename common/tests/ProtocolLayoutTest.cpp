// The control protocol as the driver side sees it (16-bit WCHAR): the
// reference strings, and the records at their wire sizes.
#include <gtest/gtest.h>
#include <string>
#include "ControlProtocol.h"
#include "CommonDataDesc.h"

namespace {

// Wide text of the driver side, compared as UTF-8 (ASCII here).
template <size_t N>
std::string Narrow(const wchar_t (&text)[N])
{
    std::string out;
    for (size_t i = 0; i + 1 < N; ++i)
        out += static_cast<char>(text[i]);
    return out;
}

} // namespace

TEST(ControlProtocol, ReferenceStrings)
{
    static_assert(sizeof(wchar_t) == 2, "driver-side code sees 16-bit WCHAR");
    EXPECT_EQ(Narrow(PIPE_REFSTRING_RENDER), "\\e6dcd72d-0668-429f-8a1b-e72dfe991340\\Render");
    EXPECT_EQ(Narrow(PIPE_REFSTRING_CAPTURE), "\\e6dcd72d-0668-429f-8a1b-e72dfe991340\\Capture");
    EXPECT_EQ(sizeof(PIPE_REFSTRING_RENDER), (1 + 36 + 1 + 6 + 1) * 2);
}

TEST(ControlProtocol, InterfaceClassMatchesItsText)
{
    char text[40];
    const GUID &g = ControlInterfaceClass;
    snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    EXPECT_EQ(std::string(text), Narrow(CONTROL_CLASS_TEXT));
}

TEST(ControlProtocol, BlockIsPackedAndZeroable)
{
    CommonDataDesc block{};
    block.TotalFrames = 0x1122334455667788ull;
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&block);
    EXPECT_EQ(bytes[332], 0x88);
    EXPECT_EQ(bytes[339], 0x11);
    EXPECT_EQ(bytes[340], 0);
    EXPECT_EQ(alignof(CommonDataDesc), 1u);
}
