// The topology filters' jacks: described on their jack pin only, connected
// exactly while a host serves the endpoint, with an event at each change.
#include "EndpointFixture.h"

namespace endpoint_tests {
namespace {

class Jack : public EndpointTest {
protected:
    struct Description {
        KSMULTIPLE_ITEM header;
        KSJACK_DESCRIPTION jack;
    };
    ks_client::Reply Describe(boundary::Handle filter, ULONG pinId, void *value, ULONG size)
    {
        return ks_client::PinProperty(filter, pinId, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION,
                                      KSPROPERTY_TYPE_GET, value, size);
    }
    bool Connected(boundary::Handle filter, ULONG pinId)
    {
        Description description = {};
        EXPECT_EQ(Describe(filter, pinId, &description, sizeof description).status, Success);
        return description.jack.IsConnected != FALSE;
    }
};

TEST_F(Jack, TheDescriptionIsTheJackPinsAlone)
{
    boundary::Handle render = OpenFilter(Render.topology);
    boundary::Handle capture = OpenFilter(Capture.topology);
    Jack::Description description = {};
    const ks_client::Reply reply = Describe(render, 0, &description, sizeof description);
    ASSERT_EQ(reply.status, Success);
    EXPECT_EQ(reply.information, sizeof description);
    EXPECT_EQ(description.header.Size, sizeof description);
    EXPECT_EQ(description.header.Count, 1u);
    EXPECT_EQ(description.jack.ConnectionType, eConnTypeOtherDigital);
    EXPECT_EQ(description.jack.GeoLocation, eGeoLocNotApplicable);
    EXPECT_EQ(description.jack.GenLocation, eGenLocSeparate);
    EXPECT_EQ(description.jack.PortConnection, ePortConnJack);
    EXPECT_EQ(description.jack.IsConnected, FALSE) << "no host";

    EXPECT_EQ(Describe(capture, 1, &description, sizeof description).status, Success) << "the microphone's pin";
    EXPECT_EQ(Describe(capture, 0, &description, sizeof description).status, InvalidParameter) << "its bridge";
    EXPECT_EQ(Describe(render, 1, &description, sizeof description).status, InvalidParameter);
    EXPECT_NE(Describe(render, 2, &description, sizeof description).status, Success) << "no such pin";
    const ks_client::Reply size = Describe(render, 0, nullptr, 0);
    EXPECT_EQ(size.status, BufferOverflow);
    EXPECT_EQ(size.information, sizeof description);
    EXPECT_EQ(Describe(render, 0, &description, 20).status, BufferTooSmall);
}

TEST_F(Jack, ConnectedExactlyWhileAHostServesTheEndpointWithAnEventAtEachChange)
{
    boundary::Handle filter = OpenFilter(Render.topology);
    KSEVENTDATA data;
    const boundary::Handle changed = EnablePinCapsEvent(filter, KSEVENT_PINCAPS_JACKINFOCHANGE, 0, &data);
    host = std::make_unique<ManualHost>(Render.pipe);
    EXPECT_FALSE(Connected(filter, 0)) << "open, but no event yet";
    EXPECT_FALSE(Signalled(changed));
    ASSERT_EQ(host->Attach(Stereo48k), Success);
    EXPECT_TRUE(Connected(filter, 0));
    EXPECT_TRUE(Signalled(changed));
    ASSERT_EQ(host->SetFormat({44100, 16, 2, 2, 0}), Success);
    EXPECT_FALSE(Signalled(changed)) << "only readiness changes the jack";
    // The other endpoint's host leaves this jack alone.
    ManualHost other(Capture.pipe);
    ASSERT_EQ(other.Attach(Stereo48k), Success);
    EXPECT_FALSE(Signalled(changed));
    host->Detach();
    EXPECT_FALSE(Connected(filter, 0));
    EXPECT_TRUE(Signalled(changed));
    EXPECT_FALSE(Signalled(changed)) << "one event per change";
    EXPECT_EQ(ks_client::DisableEvent(filter, &data).status, Success);
}

TEST_F(Jack, AHostWhoseProcessEndsUnplugsTheJack)
{
    boundary::Handle filter = OpenFilter(Capture.topology);
    KSEVENTDATA data;
    const boundary::Handle changed = EnablePinCapsEvent(filter, KSEVENT_PINCAPS_JACKINFOCHANGE, 1, &data);
    AttachHost(Capture);
    EXPECT_TRUE(Signalled(changed));
    EXPECT_TRUE(Connected(filter, 1));
    host->Die();
    EXPECT_TRUE(Signalled(changed));
    EXPECT_FALSE(Connected(filter, 1));
    ks_client::DisableEvent(filter, &data);
}

} // namespace
} // namespace endpoint_tests
