// The booted system as the driver sees it: version, debugger flag and
// breakpoints.
#include <kernel_standin.h>

#include <gtest/gtest.h>

namespace sk = standin::kernel;

namespace {

TEST(Version, ReportsTheBootedVersionInBothStructureSizes)
{
    struct Case {
        ULONG major, minor;
    } cases[] = {{5, 0}, {5, 2}, {6, 0}, {6, 2}, {10, 0}};
    for (auto c : cases) {
        sk::SetVersion(c.major, c.minor, 1234);
        RTL_OSVERSIONINFOEXW ex{};
        ex.dwOSVersionInfoSize = sizeof(ex);
        ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&ex)), STATUS_SUCCESS);
        EXPECT_EQ(ex.dwMajorVersion, c.major);
        EXPECT_EQ(ex.dwMinorVersion, c.minor);
        EXPECT_EQ(ex.dwBuildNumber, 1234u);
        EXPECT_EQ(ex.dwPlatformId, 2u);
        RTL_OSVERSIONINFOW plain{};
        plain.dwOSVersionInfoSize = sizeof(plain);
        ASSERT_EQ(RtlGetVersion(&plain), STATUS_SUCCESS);
        EXPECT_EQ(plain.dwMajorVersion, c.major);
    }
    RTL_OSVERSIONINFOW bad{};
    bad.dwOSVersionInfoSize = 100;
    EXPECT_EQ(RtlGetVersion(&bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad.dwMajorVersion, 0u) << "a refused call writes nothing";
    sk::SetVersion(10, 0, 19045);
}

__attribute__((noinline)) void BreakHere()
{
    DbgBreakPoint();
    asm volatile(""); // keeps the call from becoming a tail jump
}

TEST(Debugger, FlagIsSettableAndBreakpointsAreCountedWithTheirCallers)
{
    EXPECT_FALSE(KdDebuggerEnabled);
    EXPECT_TRUE(KD_DEBUGGER_NOT_PRESENT);
    sk::SetDebuggerEnabled(true);
    EXPECT_TRUE(KD_DEBUGGER_ENABLED);
    EXPECT_FALSE(KD_DEBUGGER_NOT_PRESENT);
    sk::SetDebuggerEnabled(false);

    sk::ResetBreakPoints();
    BreakHere();
    BreakHere();
    ASSERT_EQ(sk::BreakPointCount(), 2u);
    auto callers = sk::BreakPointCallers();
    auto inBreakHere = [](void *p) {
        auto address = reinterpret_cast<uintptr_t>(p), start = reinterpret_cast<uintptr_t>(&BreakHere);
        return address > start && address < start + 64;
    };
    EXPECT_TRUE(inBreakHere(callers[0]));
    EXPECT_EQ(callers[0], callers[1]);
    sk::ResetBreakPoints();
    EXPECT_EQ(sk::BreakPointCount(), 0u);
}

} // namespace

namespace {

TEST(MemoryRoutines, CompareCountsTheLeadingEqualBytes)
{
    const char a[] = "abcdef", b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

using ChecksDeathTest = ::testing::Test;

TEST_F(ChecksDeathTest, FailedAssertionAndPagedCodeAtDispatchLevelStop)
{
    int value = 1;
    ASSERT(value == 1); // holds: nothing happens
    EXPECT_DEATH(ASSERT(value == 2), "Assertion failed: value == 2(.|\n)*STOP: 0x0000001E \\(0x0000000080000003");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PAGED_CODE();
        },
        "STOP: 0x0000000A");
    PAGED_CODE(); // at PASSIVE_LEVEL: fine
}

} // namespace
