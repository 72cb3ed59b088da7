// A loaded driver with an engine process that opens an endpoint's filters
// and pin, and a host under the test's control on the pipe that serves that
// endpoint. Client-side test code.
#pragma once

#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include "DriverUnderTest.h"
#include "KsClient.h"
#include "ManualHost.h"
#include "Statuses.h"

namespace endpoint_tests {

namespace boundary = standin::io::boundary;
namespace dut = driver_under_test;
using host_client::ManualHost;
using ks_client::EnginePin;
using ks_client::Status;

using namespace test_statuses;

// The endpoint a host pipe serves, and its wave and topology filters.
struct Endpoint {
    int pipe;
    const char16_t *wave;
    const char16_t *topology;
    bool capture;
};
constexpr Endpoint Render = {PipeCapture, u"wave_r", u"topo_r", false};
constexpr Endpoint Capture = {PipeRender, u"wave_c", u"topo_c", true};

constexpr DataFormatDesc Stereo48k = {48000, 16, 2, 2, 0x3};

// The create format that matches a pipe format exactly.
inline KSDATAFORMAT_WAVEFORMATEXTENSIBLE FormatOf(const DataFormatDesc &d)
{
    return ks_client::WaveFormat(d.SR, d.BPS, d.NC, d.BPC, d.CC);
}

class EndpointTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dut::Load());
        engine = boundary::CreateClientProcess(false);
        boundary::EnterProcess(engine);
    }
    void TearDown() override
    {
        boundary::UseVirtualClock(false);
        if (host)
            host->Answer(0);
        pin.CloseHandle();
        for (boundary::Handle handle : opened)
            ks_client::Close(handle);
        for (boundary::Handle event : events)
            boundary::CloseHandle(event);
        boundary::LeaveProcess();
        host.reset();
        boundary::EndClientProcess(engine);
        dut::Unload();
    }

    // A host on the endpoint's pipe with the format set and its event
    // registered, answering every request with success.
    void AttachHost(const Endpoint &endpoint, const DataFormatDesc &format = Stereo48k, uint32_t minimal = 0)
    {
        host = std::make_unique<ManualHost>(endpoint.pipe);
        ASSERT_EQ(host->OpenStatus(), Success);
        ASSERT_EQ(host->Attach(format, minimal), Success);
    }

    boundary::Handle OpenFilter(const char16_t *subdevice)
    {
        boundary::Handle filter = nullptr;
        EXPECT_EQ(ks_client::Open(dut::FilterPath(subdevice), &filter), Success);
        opened.push_back(filter);
        return filter;
    }

    Status CreatePin(const Endpoint &endpoint, const KSDATAFORMAT_WAVEFORMATEXTENSIBLE &format)
    {
        return pin.Create(OpenFilter(endpoint.wave), format);
    }

    // An auto-reset event in the engine's process.
    boundary::Handle NewEvent()
    {
        boundary::Handle event = nullptr;
        EXPECT_EQ(boundary::CreateEvent(false, false, &event), Success);
        events.push_back(event);
        return event;
    }
    // A new event that a filter's pin-capabilities event (format or jack
    // change of pin `pin`) signals; data keeps what disables it.
    boundary::Handle EnablePinCapsEvent(boundary::Handle filter, ULONG id, ULONG pin, KSEVENTDATA *data)
    {
        boundary::Handle changed = NewEvent();
        EXPECT_EQ(ks_client::EnableEvent(filter, KSEVENTSETID_PinCapsChange, id, pin, changed, data).status, Success);
        return changed;
    }
    static bool Signalled(boundary::Handle event)
    {
        const int64_t now = 0;
        return boundary::WaitForObject(event, &now) == Success;
    }

    // Waits until the driver's threads and the host's responder are idle
    // again: whatever the last request woke has run.
    void Settle() { dut::WaitUntilBlocked(2 + (host ? 1 : 0)); }

    // The pipe's block as the driver holds it.
    const CommonDataDesc &Block(const Endpoint &endpoint) { return dut::Block(endpoint.pipe); }

    boundary::ProcessId engine = 0;
    std::unique_ptr<ManualHost> host;
    EnginePin pin;
    std::vector<boundary::Handle> opened;
    std::vector<boundary::Handle> events;
};

} // namespace endpoint_tests
