// Library start-up and shutdown on the kernel stand-in. The library's state
// lives for the whole image, so each case runs in a child process of its own.
#include <gtest/gtest.h>

#include <kernel_standin.h>

#include <cstdlib>

#include "DataFormat.h"
#include "Startup.h"

using namespace Mosaik;
namespace sk = standin::kernel;

namespace {

// Runs `body` in a fresh child process; the case passes when every
// expectation inside held.
template <typename Body> void InChild(Body body)
{
    EXPECT_EXIT(
        {
            body();
            std::exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(Startup, VersionDecidesAndIsKept)
{
    InChild([] {
        sk::SetVersion(10, 0);
        EXPECT_EQ(GetOsVersion(), 0u);
        EXPECT_TRUE(LibraryStartup());
        EXPECT_EQ(GetOsVersion(), 0x0A00u);
    });
    InChild([] {
        sk::SetVersion(6, 0);
        EXPECT_TRUE(LibraryStartup());
        EXPECT_EQ(GetOsVersion(), OsVersion60);
    });
    InChild([] {
        // 5.2 starts; driver entry is what refuses anything before 6.0.
        sk::SetVersion(5, 2);
        EXPECT_TRUE(LibraryStartup());
        EXPECT_EQ(GetOsVersion(), 0x0502u);
    });
    InChild([] {
        sk::SetVersion(5, 0);
        EXPECT_FALSE(LibraryStartup());
        EXPECT_EQ(GetOsVersion(), 0x0500u);
        EXPECT_FALSE(AddExitCallback([] {})) << "no list after a refused start-up";
        sk::SetVersion(6, 2);
        EXPECT_TRUE(LibraryStartup()) << "a failed start-up can be repeated";
        EXPECT_EQ(GetOsVersion(), OsVersion62);
    });
}

TEST_F(Startup, SecondStartupChangesNothing)
{
    InChild([] {
        sk::SetVersion(6, 1);
        EXPECT_TRUE(LibraryStartup());
        sk::DriverScope scope;
        sk::SetVersion(10, 0);
        EXPECT_TRUE(LibraryStartup());
        EXPECT_EQ(GetOsVersion(), 0x0601u);
        EXPECT_EQ(scope.Held().poolBlocks, 0u) << "no second list";
    });
}

TEST_F(Startup, FailedAllocationFailsAndCanBeRetried)
{
    InChild([] {
        sk::DriverScope scope;
        sk::FailNth(sk::Fault::PoolAllocation, 1);
        EXPECT_FALSE(LibraryStartup());
        EXPECT_TRUE(LibraryStartup());
        LibraryShutdown();
        EXPECT_TRUE(scope.Held().empty());
    });
}

int order[4];
int calls;
void First() { order[calls++] = 1; }
void Second() { order[calls++] = 2; }

TEST_F(Startup, ShutdownRunsCallbacksInOrderAndFreesEverything)
{
    InChild([] {
        sk::DriverScope scope;
        LibraryShutdown(); // before start-up: nothing to do
        EXPECT_TRUE(LibraryStartup());
        EXPECT_TRUE(AddExitCallback(First));
        EXPECT_TRUE(AddExitCallback(Second));
        EXPECT_EQ(scope.Held().poolBlocks, 3u);
        LibraryShutdown();
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(order[0], 1);
        EXPECT_EQ(order[1], 2);
        EXPECT_TRUE(scope.Held().empty());
        LibraryShutdown(); // again: the list is gone
        EXPECT_EQ(calls, 2);
        scope.CheckUnload("mosaik");
    });
}

TEST_F(Startup, GlobalInitializersRunOnlyAfterStartup)
{
    InChild([] {
        static int ran[3];
        static int next;
        const GlobalInitializer table[] = {[] { ran[next++] = 1; }, nullptr, [] { ran[next++] = 2; }};
        RunGlobalInitializers(table, 3);
        EXPECT_EQ(next, 0) << "not started";
        EXPECT_TRUE(LibraryStartup());
        RunGlobalInitializers(table, 3);
        EXPECT_EQ(next, 2);
        EXPECT_EQ(ran[0], 1);
        EXPECT_EQ(ran[1], 2);
        RunGlobalInitializers(); // the image's own table is empty
        EXPECT_EQ(next, 2);
    });
}

TEST_F(Startup, BasicFloatStopsOnlyWithADebugger)
{
    InChild([] {
        WAVEFORMATEXTENSIBLE f = {};
        ASSERT_TRUE(BuildBasicFormat(&f, 48000, 32, 2, true));
        sk::SetDebuggerEnabled(false);
        sk::ResetBreakPoints();
        WAVEFORMATEXTENSIBLE quiet = f;
        MakeExtensible(&quiet);
        EXPECT_EQ(sk::BreakPointCount(), 0u);
        EXPECT_FALSE(IsDebuggerEnabled());

        sk::SetDebuggerEnabled(true);
        EXPECT_TRUE(IsDebuggerEnabled());
        WAVEFORMATEXTENSIBLE stopped = f;
        MakeExtensible(&stopped);
        EXPECT_EQ(sk::BreakPointCount(), 1u);
        EXPECT_TRUE(IsEqualGUID(stopped.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
        EXPECT_EQ(stopped.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
        EXPECT_EQ(stopped.Format.cbSize, 22);
        EXPECT_EQ(stopped.Samples.wValidBitsPerSample, 32);
        EXPECT_EQ(stopped.dwChannelMask, 3u);
        EXPECT_TRUE(IsValidFormat(stopped));
        EXPECT_TRUE(IsSupportedFormat(stopped));

        WAVEFORMATEXTENSIBLE pcm = {};
        ASSERT_TRUE(BuildBasicFormat(&pcm, 48000, 16, 1, false));
        pcm.Format.nChannels = 3; // a count without a standard mask
        MakeExtensible(&pcm);
        EXPECT_EQ(sk::BreakPointCount(), 1u) << "PCM never stops";
        EXPECT_TRUE(IsEqualGUID(pcm.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
        EXPECT_EQ(pcm.dwChannelMask, 0u);
    });
}

} // namespace
