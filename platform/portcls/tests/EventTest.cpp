// Kernel-streaming events through PortCls: enabled with a KSEVENTDATA and an
// event handle, added by the miniport's handler, signalled by
// GenerateEventList for exactly the matching entries, disabled by the same
// KSEVENTDATA address or with the handle's close.
#include "KsClient.h"
#include "TestAdapter.h"

#include <gtest/gtest.h>
#include <win32_standin.h>

#include <memory>

using namespace ksclient;

namespace {

class Events : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(testadapter::Load({}), 0);
        scope = std::make_unique<standin::win32::ProcessScope>(client);
        topology = OpenFilter(KSCATEGORY_TOPOLOGY);
        wave = OpenFilter(KSCATEGORY_RENDER);
        ASSERT_NE(topology, INVALID_HANDLE_VALUE);
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override
    {
        CloseHandle(event);
        CloseHandle(topology);
        CloseHandle(wave);
        scope.reset();
        EXPECT_EQ(testadapter::Unload(), 0);
    }

    KSEVENTDATA Notify(HANDLE handle)
    {
        KSEVENTDATA data{};
        data.NotificationType = KSEVENTF_EVENT_HANDLE;
        data.EventHandle.Event = handle;
        return data;
    }

    // JACKINFOCHANGE on a topology pin, enabled on the filter.
    Reply EnableJack(ULONG pin, KSEVENTDATA &data, ULONG flags = KSEVENT_TYPE_ENABLE)
    {
        KSE_PIN request{};
        request.Event.Set = KSEVENTSETID_PinCapsChange;
        request.Event.Id = KSEVENT_PINCAPS_JACKINFOCHANGE;
        request.Event.Flags = flags;
        request.PinId = pin;
        return EnableEvent(topology, &request, sizeof request, &data);
    }

    void GenerateJack(bool pinEvent, ULONG pin, const GUID *set = &KSEVENTSETID_PinCapsChange)
    {
        testadapter::Generate(true, set, KSEVENT_PINCAPS_JACKINFOCHANGE, pinEvent, pin, false, 0);
    }

    standin::win32::ClientProcess client;
    std::unique_ptr<standin::win32::ProcessScope> scope;
    HANDLE topology = INVALID_HANDLE_VALUE;
    HANDLE wave = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
};

} // namespace

TEST_F(Events, GenerateSignalsExactlyTheMatchingEntries)
{
    KSEVENTDATA data = Notify(event);
    ASSERT_TRUE(EnableJack(testadapter::TopologyJackPin, data).ok);
    EXPECT_EQ(testadapter::Snapshot().eventAdds, 1);
    GenerateJack(true, testadapter::TopologyBridgePin); // another pin
    EXPECT_FALSE(Signalled(event));
    testadapter::Generate(true, &KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_FORMATCHANGE, false, 0, false, 0);
    EXPECT_FALSE(Signalled(event)); // another event
    GenerateJack(true, testadapter::TopologyJackPin);
    EXPECT_TRUE(Signalled(event));
    GenerateJack(false, 99); // the pin as a wildcard
    EXPECT_TRUE(Signalled(event));
    GenerateJack(true, testadapter::TopologyJackPin, nullptr); // any set
    EXPECT_TRUE(Signalled(event));
    testadapter::Generate(false, nullptr, KSEVENT_PINCAPS_JACKINFOCHANGE, false, 0, false, 0);
    EXPECT_FALSE(Signalled(event)); // the wave port's list is another list

    // The same KSEVENTDATA address disables it; after that, nothing.
    ASSERT_TRUE(DisableEvent(topology, &data).ok);
    EXPECT_EQ(testadapter::Snapshot().eventRemoves, 1);
    GenerateJack(false, 0);
    EXPECT_FALSE(Signalled(event));
    // An address that names no event is refused.
    EXPECT_EQ(DisableEvent(topology, &data).error, DWORD(ERROR_GEN_FAILURE));
}

TEST_F(Events, NodeEventsFireOnceWhenOneShot)
{
    KSE_NODE request{};
    request.Event.Set = testadapter::TestNodeEventSet;
    request.Event.Id = 1;
    request.Event.Flags = KSEVENT_TYPE_ONESHOT | KSEVENT_TYPE_TOPOLOGY;
    request.NodeId = testadapter::TopologyVolumeNode;
    KSEVENTDATA data = Notify(event);
    ASSERT_TRUE(EnableEvent(topology, &request, sizeof request, &data).ok);
    testadapter::Generate(true, &testadapter::TestNodeEventSet, 1, false, 0, true, 1);
    EXPECT_FALSE(Signalled(event)); // another node
    testadapter::Generate(true, &testadapter::TestNodeEventSet, 1, false, 0, true, 0);
    EXPECT_TRUE(Signalled(event));
    testadapter::Generate(true, &testadapter::TestNodeEventSet, 1, false, 0, true, 0);
    EXPECT_FALSE(Signalled(event));
    request.NodeId = 4;
    EXPECT_EQ(EnableEvent(topology, &request, sizeof request, &data).error, DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Events, RefusedEnablesAddNothing)
{
    KSEVENTDATA data = Notify(event);
    // A handle without the right to set the event.
    HANDLE waitOnly = testadapter::RestrictedHandle(event, SYNCHRONIZE);
    KSEVENTDATA restricted = Notify(waitOnly);
    EXPECT_EQ(EnableJack(testadapter::TopologyJackPin, restricted).error, DWORD(ERROR_ACCESS_DENIED));
    // A handle that is not an event, and one that is nothing.
    KSEVENTDATA notEvent = Notify(topology);
    EXPECT_EQ(EnableJack(testadapter::TopologyJackPin, notEvent).error, DWORD(ERROR_INVALID_HANDLE));
    KSEVENTDATA nothing = Notify(reinterpret_cast<HANDLE>(0x7FF0));
    EXPECT_EQ(EnableJack(testadapter::TopologyJackPin, nothing).error, DWORD(ERROR_INVALID_HANDLE));
    // Reserved fields must be zero; semaphores are not modelled.
    KSEVENTDATA reserved = data;
    reserved.EventHandle.Reserved[0] = 1;
    EXPECT_EQ(EnableJack(testadapter::TopologyJackPin, reserved).error, DWORD(ERROR_INVALID_PARAMETER));
    // A pin that does not exist, an event of the filter itself, an unknown set.
    EXPECT_EQ(EnableJack(9, data).error, DWORD(ERROR_INVALID_PARAMETER));
    KSEVENT bare{};
    bare.Set = KSEVENTSETID_PinCapsChange;
    bare.Id = KSEVENT_PINCAPS_JACKINFOCHANGE;
    bare.Flags = KSEVENT_TYPE_ENABLE;
    EXPECT_EQ(EnableEvent(topology, &bare, sizeof bare, &data).error, DWORD(ERROR_NOT_FOUND));
    // A KSEVENTDATA shorter than the structure.
    KSE_PIN request{};
    request.Event = bare;
    request.PinId = testadapter::TopologyJackPin;
    EXPECT_EQ(Control(topology, IOCTL_KS_ENABLE_EVENT, &request, sizeof request, &data, 16).error,
              DWORD(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(testadapter::Snapshot().eventAdds, 0);
    CloseHandle(waitOnly);
}

TEST_F(Events, SupportAndTheListOfSets)
{
    KSEVENTDATA data = Notify(event);
    ASSERT_TRUE(EnableJack(testadapter::TopologyJackPin, data, KSEVENT_TYPE_BASICSUPPORT).ok);
    EXPECT_EQ(testadapter::Snapshot().eventSupports, 1);
    // No input: the sets the filter's events belong to.
    Reply reply = Control(topology, IOCTL_KS_ENABLE_EVENT, nullptr, 0, nullptr, 0);
    EXPECT_EQ(reply.error, DWORD(ERROR_MORE_DATA));
    ASSERT_EQ(reply.returned, 2 * sizeof(GUID));
    GUID sets[2];
    ASSERT_TRUE(Control(topology, IOCTL_KS_ENABLE_EVENT, nullptr, 0, sets, sizeof sets).ok);
    EXPECT_TRUE(IsEqualGUID(sets[0], KSEVENTSETID_PinCapsChange));
    EXPECT_TRUE(IsEqualGUID(sets[1], testadapter::TestNodeEventSet));
}

TEST_F(Events, AClosedHandleTakesItsEventsWithIt)
{
    // A pin's event from the filter's table, enabled on the pin handle.
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePcmPin(wave, &pin), 0u);
    KSEVENT request{};
    request.Set = KSEVENTSETID_PinCapsChange;
    request.Id = KSEVENT_PINCAPS_FORMATCHANGE;
    request.Flags = KSEVENT_TYPE_ENABLE;
    KSEVENTDATA data = Notify(event);
    ASSERT_TRUE(EnableEvent(pin, &request, sizeof request, &data).ok);
    testadapter::Generate(false, &KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_FORMATCHANGE, true,
                          testadapter::WaveStreamingPin, false, 0);
    EXPECT_TRUE(Signalled(event));
    CloseHandle(pin);
    EXPECT_EQ(testadapter::Snapshot().eventRemoves, 1);
    testadapter::Generate(false, &KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_FORMATCHANGE, false, 0, false, 0);
    EXPECT_FALSE(Signalled(event));
    // Disabling with no input takes every event of the handle.
    KSEVENTDATA first = Notify(event), second = Notify(event);
    ASSERT_TRUE(EnableJack(testadapter::TopologyJackPin, first).ok);
    ASSERT_TRUE(EnableJack(testadapter::TopologyBridgePin, second).ok);
    ASSERT_TRUE(Control(topology, IOCTL_KS_DISABLE_EVENT, nullptr, 0, nullptr, 0).ok);
    EXPECT_EQ(testadapter::Snapshot().eventRemoves, 3);
}

TEST_F(Events, FromAnInterruptTheSignalFollowsThroughADpc)
{
    KSEVENTDATA data = Notify(event);
    ASSERT_TRUE(EnableJack(testadapter::TopologyJackPin, data).ok);
    testadapter::Generate(true, &KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_JACKINFOCHANGE, true,
                          testadapter::TopologyJackPin, false, 0, true);
    // Delivered a moment later, at DISPATCH_LEVEL on another thread.
    EXPECT_EQ(WaitForSingleObject(event, 10000), DWORD(WAIT_OBJECT_0));
}

TEST_F(Events, TheDpcThreadIdlesVisiblyForTheSelfAdvancingClock)
{
    standin::win32::SetClockMode(standin::win32::ClockMode::Simulated);
    KSEVENTDATA data = Notify(event);
    ASSERT_TRUE(EnableJack(testadapter::TopologyJackPin, data).ok);
    testadapter::Generate(true, &KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_JACKINFOCHANGE, true,
                          testadapter::TopologyJackPin, false, 0, true);
    EXPECT_EQ(WaitForSingleObject(event, 10000), DWORD(WAIT_OBJECT_0));
    // With the DPC's thread waiting in the kernel, an hour of virtual time
    // passes at once (a thread the clock cannot see idle would hold it).
    LARGE_INTEGER before{}, after{}, frequency{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    Sleep(3600 * 1000);
    QueryPerformanceCounter(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 3600 * frequency.QuadPart);
    standin::win32::SetClockMode(standin::win32::ClockMode::Real);
}
