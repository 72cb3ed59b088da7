// The adapter's life under PortCls as a client sees it: a descriptor the port
// refuses keeps its filter away, the subdevice limit and the device extension
// rules, unplugging and plugging a filter, and the device lock that keeps
// miniport calls from several client threads one at a time.
#include "KsClient.h"
#include "TestAdapter.h"

#include <gtest/gtest.h>
#include <win32_standin.h>

#include <thread>

using namespace ksclient;

namespace {

constexpr int32_t InvalidParameter = static_cast<int32_t>(0xC000000D);
constexpr int32_t InsufficientResources = static_cast<int32_t>(0xC000009A);

} // namespace

TEST(Adapter, APortRefusesACarelessDescriptor)
{
    using Fault = testadapter::DescriptorFault;
    for (Fault fault : {Fault::Version, Fault::PinSize, Fault::NodeSize, Fault::Connection, Fault::PropertyItemSize,
                        Fault::NullHandler}) {
        testadapter::Config config;
        config.descriptorFault = fault;
        EXPECT_EQ(testadapter::Load(config), InvalidParameter) << int(fault);
        const testadapter::Observed seen = testadapter::Snapshot();
        EXPECT_EQ(seen.waveInitStatus, InvalidParameter) << int(fault);
        // The topology filter before it stands; the wave filter never appears.
        EXPECT_EQ(InterfacePaths(KSCATEGORY_RENDER).size(), 0u) << int(fault);
        EXPECT_EQ(InterfacePaths(KSCATEGORY_TOPOLOGY).size(), 1u) << int(fault);
        EXPECT_EQ(testadapter::Unload(), 0);
    }
}

TEST(Adapter, SubdeviceLimitAndExtensionSize)
{
    testadapter::Config config;
    config.maxSubdevices = 1;
    EXPECT_EQ(testadapter::Load(config), InsufficientResources);
    EXPECT_EQ(testadapter::Snapshot().waveRegisterStatus, InsufficientResources);
    EXPECT_EQ(testadapter::Unload(), 0);

    config = {};
    config.extensionSize = 100; // below the default: illegal
    EXPECT_EQ(testadapter::Load(config), InvalidParameter);
    EXPECT_EQ(testadapter::Snapshot().addDeviceStatus, InvalidParameter);
    EXPECT_EQ(testadapter::Unload(), 0);

    config.extensionSize = 4096; // more than the default: the adapter's
    EXPECT_EQ(testadapter::Load(config), 0);
    EXPECT_EQ(testadapter::Unload(), 0);
}

TEST(Adapter, UnpluggedFilterGoesAwayWithItsConnection)
{
    ASSERT_EQ(testadapter::Load({}), 0);
    standin::win32::ClientProcess client;
    standin::win32::ProcessScope in(client);
    HANDLE topology = OpenFilter(KSCATEGORY_TOPOLOGY);
    uint8_t value[512];
    ASSERT_TRUE(PinGet(topology, KSPROPERTY_PIN_PHYSICALCONNECTION, 0, value, sizeof value).ok);

    ASSERT_EQ(testadapter::UnplugWave(), 0);
    EXPECT_TRUE(InterfacePaths(KSCATEGORY_RENDER).empty());
    EXPECT_TRUE(InterfacePaths(KSCATEGORY_REALTIME).empty());
    EXPECT_EQ(PinGet(topology, KSPROPERTY_PIN_PHYSICALCONNECTION, 0, value, sizeof value).error,
              DWORD(ERROR_NOT_FOUND));
    EXPECT_NE(testadapter::UnplugWave(), 0); // not registered any more

    ASSERT_EQ(testadapter::PlugWave(), 0);
    EXPECT_EQ(InterfacePaths(KSCATEGORY_RENDER).size(), 1u);
    EXPECT_TRUE(PinGet(topology, KSPROPERTY_PIN_PHYSICALCONNECTION, 0, value, sizeof value).ok);
    // A second registration under the same name is refused.
    EXPECT_NE(testadapter::PlugWave(), 0);
    CloseHandle(topology);
    EXPECT_EQ(testadapter::Unload(), 0);
}

TEST(Adapter, DeviceLockKeepsMiniportCallsOneAtATime)
{
    ASSERT_EQ(testadapter::Load({}), 0);
    standin::win32::ClientProcess client;
    HANDLE pin = nullptr;
    {
        standin::win32::ProcessScope in(client);
        HANDLE wave = OpenFilter(KSCATEGORY_RENDER);
        ASSERT_EQ(CreatePcmPin(wave, &pin), 0u);
        CloseHandle(wave);
    }
    // Filter properties, pin properties and state changes from four threads
    // of the same process.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&client, pin, t] {
            standin::win32::ProcessScope in(client);
            HANDLE wave = OpenFilter(KSCATEGORY_RENDER);
            for (int i = 0; i < 50; ++i) {
                ULONG value = ULONG(t * 1000 + i);
                Set(wave, testadapter::TestPropertySet, testadapter::PropertyValue, &value, sizeof value);
                Get(wave, testadapter::TestPropertySet, testadapter::PropertyValue, &value, sizeof value);
                KSAUDIO_POSITION position;
                Get(pin, KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, &position, sizeof position);
                SetState(pin, (i % 2) ? KSSTATE_RUN : KSSTATE_STOP);
            }
            CloseHandle(wave);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const testadapter::Observed seen = testadapter::Snapshot();
    EXPECT_EQ(seen.maxConcurrentCalls, 1);
    EXPECT_FALSE(seen.nonAdjacentState);
    {
        standin::win32::ProcessScope in(client);
        CloseHandle(pin);
    }
    EXPECT_EQ(testadapter::Unload(), 0);
}
