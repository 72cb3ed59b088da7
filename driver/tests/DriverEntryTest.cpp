// The driver as the PnP manager loads it: the entry on each system version,
// one device added, its start with both endpoints' subdevices and their
// physical connections, and unload with nothing left.
#include <gtest/gtest.h>
#include <io_boundary.h>
#include <algorithm>
#include <string>
#include <vector>
#include "ControlProtocol.h"
#include "DriverUnderTest.h"
#include "Engine.h"
#include "KsClient.h"
#include "ManualHost.h"

namespace {

namespace boundary = standin::io::boundary;
namespace dut = driver_under_test;
using ks_client::Status;

constexpr Status Success = 0;
constexpr Status Unsuccessful = static_cast<Status>(0xC0000001);
constexpr Status AlreadyAttached = static_cast<Status>(0xC0000038);
constexpr Status AccessViolation = static_cast<Status>(0xC0000005);
constexpr Status BufferOverflow = static_cast<Status>(0x80000005);
constexpr uint32_t DataRangesReply = 96; // a multiple item and one audio range

std::u16string Ascii(const char *text) { return std::u16string(text, text + strlen(text)); }

// The subdevice a path names: what follows its last backslash.
std::u16string SubdeviceOf(const std::u16string &path) { return path.substr(path.rfind(u'\\') + 1); }

std::vector<std::u16string> SubdevicesInOrder()
{
    std::vector<std::u16string> names;
    for (const auto &record : boundary::PresentInterfaces(nullptr)) {
        const std::u16string name = SubdeviceOf(record.devicePath);
        if (record.enabled && name.size() == 6 && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

// The GUIDs of the interfaces a subdevice is registered under.
std::vector<GUID> CategoriesOf(const char16_t *subdevice)
{
    std::vector<GUID> classes;
    for (const auto &record : boundary::PresentInterfaces(nullptr))
        if (record.enabled && SubdeviceOf(record.devicePath) == subdevice)
            classes.push_back(record.interfaceClass);
    return classes;
}

bool Contains(const std::vector<GUID> &classes, const GUID &wanted)
{
    return std::any_of(classes.begin(), classes.end(), [&](const GUID &g) { return IsEqualGUID(g, wanted); });
}

TEST(DriverEntry, StartRegistersBothEndpointsInOrderWithTheirCategories)
{
    ASSERT_EQ(dut::LoadDriver(), Success);
    ASSERT_EQ(dut::AddDevice(), Success);
    EXPECT_TRUE(SubdevicesInOrder().empty()) << "nothing before start";
    EXPECT_TRUE(dut::InterfacePath().empty()) << "the control channel is registered disabled";
    ASSERT_EQ(dut::StartDevice(), Success);

    const std::vector<std::u16string> expected = {u"topo_c", u"wave_c", u"topo_r", u"wave_r"};
    EXPECT_EQ(SubdevicesInOrder(), expected);
    EXPECT_FALSE(dut::InterfacePath().empty()) << "enabled once started";

    const auto waveRender = CategoriesOf(u"wave_r");
    EXPECT_EQ(waveRender.size(), 3u);
    EXPECT_TRUE(Contains(waveRender, KSCATEGORY_AUDIO));
    EXPECT_TRUE(Contains(waveRender, KSCATEGORY_RENDER));
    EXPECT_TRUE(Contains(waveRender, KSCATEGORY_REALTIME));
    const auto waveCapture = CategoriesOf(u"wave_c");
    EXPECT_EQ(waveCapture.size(), 3u);
    EXPECT_TRUE(Contains(waveCapture, KSCATEGORY_CAPTURE));
    for (const char16_t *topology : {u"topo_r", u"topo_c"}) {
        const auto classes = CategoriesOf(topology);
        EXPECT_EQ(classes.size(), 2u);
        EXPECT_TRUE(Contains(classes, KSCATEGORY_AUDIO));
        EXPECT_TRUE(Contains(classes, KSCATEGORY_TOPOLOGY));
    }
    dut::Unload();
}

// ---- Versions: each load is a fresh image, so each runs in a process of its own ----

// Loads on the version and exits 0 when the driver behaved as it must there.
void LoadOn(uint32_t major, uint32_t minor, Status expected)
{
    const Status status = dut::LoadDriver(major, minor);
    if (status != expected) {
        fprintf(stderr, "entry on %u.%u returned %#x, not %#x\n", major, minor, status, expected);
        _exit(1);
    }
    if (status == Success) {
        // The device runs on it: pool and mappings of the kinds that version has.
        if (dut::AddDevice() != Success || dut::StartDevice() != Success || dut::InterfacePath().empty()) {
            fprintf(stderr, "the device did not start on %u.%u\n", major, minor);
            _exit(2);
        }
        // A client's views of the block and the buffer take that version's
        // mapping flags.
        boundary::Handle pipe = nullptr;
        const DriverReq header{DRIVER_REQ_VERSION};
        uint64_t view = 0;
        if (ks_client::Open(dut::PipePath(PipeRender), &pipe) != Success ||
            ks_client::Control(pipe, ReqGetCommonData, &header, sizeof header, &view, sizeof view).status != Success ||
            view == 0 || dut::Block(PipeRender).BufferAddress == 0 || ks_client::Close(pipe) != Success) {
            fprintf(stderr, "the pipe did not open and map on %u.%u\n", major, minor);
            _exit(3);
        }
        dut::Unload(); // the leak check
    }
    _exit(0);
}

TEST(DriverEntryDeathTest, LoadsFromVersion6AndRefusesOlderSystemsWithNothingLeft)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(LoadOn(5, 0, Unsuccessful), testing::ExitedWithCode(0), "") << "5.0 fails the library's start-up";
    EXPECT_EXIT(LoadOn(5, 2, Unsuccessful), testing::ExitedWithCode(0), "") << "5.2 is below 6.0";
    EXPECT_EXIT(LoadOn(6, 0, Success), testing::ExitedWithCode(0), "") << "6.0: plain non-paged pool";
    EXPECT_EXIT(LoadOn(6, 1, Success), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(LoadOn(6, 2, Success), testing::ExitedWithCode(0), "") << "6.2: no-execute pool and views";
    EXPECT_EXIT(LoadOn(10, 0, Success), testing::ExitedWithCode(0), "");
}

// ---- One device ---------------------------------------------------------------

TEST(DriverEntry, SecondAddDeviceIsRefusedAndTheFirstDeviceKeepsWorking)
{
    ASSERT_EQ(dut::LoadDriver(), Success);
    ASSERT_EQ(dut::AddDevice(), Success);
    EXPECT_EQ(dut::AddDevice(), AlreadyAttached);
    ASSERT_EQ(dut::StartDevice(), Success);
    boundary::Handle pipe = nullptr;
    ASSERT_EQ(ks_client::Open(dut::PipePath(PipeCapture), &pipe), Success);
    EXPECT_NE(dut::Block(PipeCapture).BufferAddress, 0u);
    EXPECT_EQ(ks_client::Close(pipe), Success);
    dut::Unload();
}

// A start after a stop (the platform sends the second start itself): the
// adapter of the first goes on with its pipes' clients, the stream and the
// subdevices PortCls kept, and nothing of a second adapter is left.
TEST(DriverEntry, ASecondStartKeepsTheAdapterItsClientsAndItsSubdevices)
{
    ASSERT_TRUE(dut::Load());
    {
        host_client::ManualHost host(PipeCapture);
        ASSERT_EQ(host.Attach({48000, 16, 2, 2, 0x3}), Success);
        ks_client::Engine engine(PipeCapture);
        ASSERT_EQ(engine.Open({48000, 16, 2, 2, 0x3}), Success);
        const uint64_t view = dut::Block(PipeCapture).BufferAddress;

        ASSERT_EQ(dut::StartDevice(), Success);
        const std::vector<std::u16string> expected = {u"topo_c", u"wave_c", u"topo_r", u"wave_r"};
        EXPECT_EQ(SubdevicesInOrder(), expected) << "no second set";
        EXPECT_EQ(dut::FilterInterfaceCount(u"wave_r"), 3u);
        EXPECT_EQ(dut::Block(PipeCapture).PipeReady, 1) << "the host is still attached";
        EXPECT_EQ(dut::Block(PipeCapture).BufferAddress, view) << "to the same pipe";
        EXPECT_EQ(dut::Block(PipeCapture).StreamAttached, 1);
        EXPECT_EQ(engine.AllocateBuffer(1920), Success) << "the stream goes on";
        EXPECT_EQ(engine.Step(KSSTATE_ACQUIRE), Success);
        EXPECT_EQ(engine.Close(), Success);
        host.Detach();
    }
    dut::Unload(); // the leak check: one adapter, released once
}

// ---- Physical connections -----------------------------------------------------

struct PeerPin {
    Status status;
    ULONG pin;
    std::u16string subdevice;
};

PeerPin PhysicalConnection(const char16_t *subdevice, ULONG pin)
{
    boundary::Handle filter = nullptr;
    PeerPin peer{ks_client::Open(dut::FilterPath(subdevice), &filter), 0, {}};
    if (peer.status != Success)
        return peer;
    uint8_t value[512] = {};
    peer.status = ks_client::PinProperty(filter, pin, KSPROPSETID_Pin, KSPROPERTY_PIN_PHYSICALCONNECTION,
                                         KSPROPERTY_TYPE_GET, value, sizeof value)
                      .status;
    ks_client::Close(filter);
    if (peer.status == Success) {
        const auto *connection = reinterpret_cast<const KSPIN_PHYSICALCONNECTION *>(value);
        peer.pin = connection->Pin;
        peer.subdevice = SubdeviceOf(reinterpret_cast<const char16_t *>(connection->SymbolicLinkName));
    }
    return peer;
}

TEST(DriverEntry, EachTopologyFilterIsWiredToItsWaveFilter)
{
    ASSERT_TRUE(dut::Load());
    struct Case {
        const char16_t *subdevice;
        ULONG pin;
        ULONG peerPin;
        const char16_t *peer;
    };
    // Capture: the microphone's audio leaves the topology filter at its pin 0
    // and enters the wave filter's bridge pin 1; render the other way round.
    const Case cases[] = {
        {u"topo_c", 0, 1, u"wave_c"},
        {u"wave_c", 1, 0, u"topo_c"},
        {u"wave_r", 1, 1, u"topo_r"},
        {u"topo_r", 1, 1, u"wave_r"},
    };
    for (const Case &c : cases) {
        const PeerPin peer = PhysicalConnection(c.subdevice, c.pin);
        const std::string name(c.subdevice, c.subdevice + 6);
        ASSERT_EQ(peer.status, Success) << name;
        EXPECT_EQ(peer.pin, c.peerPin) << name;
        EXPECT_EQ(peer.subdevice, c.peer) << name;
    }
    // Pins without a connection: the jacks and the streaming pins.
    EXPECT_NE(PhysicalConnection(u"topo_c", 1).status, Success);
    EXPECT_NE(PhysicalConnection(u"topo_r", 0).status, Success);
    EXPECT_NE(PhysicalConnection(u"wave_r", 0).status, Success);
    dut::Unload();
}

// ---- Routing ------------------------------------------------------------------

class Routing : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dut::Load());
        process = boundary::CreateClientProcess(false);
        boundary::EnterProcess(process);
    }
    void TearDown() override
    {
        boundary::LeaveProcess();
        boundary::EndClientProcess(process);
        dut::Unload();
    }
    boundary::ProcessId process = 0;
};

TEST_F(Routing, PipeNamesInAnotherCaseAreNotPipes)
{
    const std::u16string base = dut::InterfacePath();
    for (const char *suffix : {"\\E6DCD72D-0668-429F-8A1B-E72DFE991340\\Render",
                               "\\e6dcd72d-0668-429f-8a1b-e72dfe991340\\render",
                               "\\e6dcd72d-0668-429f-8a1b-e72dfe991340\\Capture\\",
                               "\\e6dcd72d-0668-429f-8a1b-e72dfe991340\\Captur"}) {
        boundary::Handle handle = nullptr;
        const Status status = ks_client::Open(base + Ascii(suffix), &handle);
        EXPECT_NE(status, Success) << suffix << ": PortCls has no such object";
        if (status == Success)
            ks_client::Close(handle);
    }
    EXPECT_EQ(dut::Block(PipeRender).BufferAddress, 0u) << "no pipe was opened";
    EXPECT_EQ(dut::Block(PipeCapture).BufferAddress, 0u);
    EXPECT_EQ(dut::FilterHandleCount(), 0u);
}

TEST_F(Routing, OnlyWaveFilterHandlesAreRecordedAndEachCloseForgetsItsOwn)
{
    boundary::Handle render = nullptr, capture = nullptr, topology = nullptr;
    ASSERT_EQ(ks_client::Open(dut::FilterPath(u"wave_r"), &render), Success);
    EXPECT_EQ(dut::FilterHandleCount(), 1u);
    ASSERT_EQ(ks_client::Open(dut::FilterPath(u"topo_r"), &topology), Success);
    EXPECT_EQ(dut::FilterHandleCount(), 1u) << "a topology filter is not recorded";
    ASSERT_EQ(ks_client::Open(dut::FilterPath(u"wave_c"), &capture), Success);
    EXPECT_EQ(dut::FilterHandleCount(), 2u);
    EXPECT_EQ(ks_client::Close(render), Success);
    EXPECT_EQ(dut::FilterHandleCount(), 1u);
    // The capture filter's handle is still answered by the driver.
    uint8_t value[DataRangesReply];
    const ks_client::Reply reply = ks_client::PinProperty(capture, 0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES,
                                                          KSPROPERTY_TYPE_GET, value, sizeof value);
    EXPECT_EQ(reply.status, Success);
    EXPECT_EQ(ks_client::Close(capture), Success);
    EXPECT_EQ(ks_client::Close(topology), Success);
    EXPECT_EQ(dut::FilterHandleCount(), 0u);
}

TEST_F(Routing, TheStreamingPinsDataRangesAreTheEndpointsFormatOthersArePortCls)
{
    boundary::Handle filter = nullptr;
    ASSERT_EQ(ks_client::Open(dut::FilterPath(u"wave_r"), &filter), Success);
    struct Reply {
        KSMULTIPLE_ITEM header;
        KSDATARANGE_AUDIO range;
    } value;
    memset(&value, 0xCC, sizeof value);
    ks_client::Reply reply = ks_client::PinProperty(filter, 0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES,
                                                    KSPROPERTY_TYPE_GET, &value, sizeof value);
    ASSERT_EQ(reply.status, Success);
    EXPECT_EQ(reply.information, DataRangesReply);
    EXPECT_EQ(value.header.Size, DataRangesReply);
    EXPECT_EQ(value.header.Count, 1u);
    EXPECT_EQ(value.range.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
    EXPECT_TRUE(IsEqualGUID(value.range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    // The endpoint starts at 48000 Hz, 16 bits, 2 channels.
    EXPECT_EQ(value.range.MaximumChannels, 2u);
    EXPECT_EQ(value.range.MinimumBitsPerSample, 16u);
    EXPECT_EQ(value.range.MaximumBitsPerSample, 16u);
    EXPECT_EQ(value.range.MinimumSampleFrequency, 48000u);
    EXPECT_EQ(value.range.MaximumSampleFrequency, 48000u);

    // The bridge pin's come from PortCls's static tables: the analogue range.
    KSMULTIPLE_ITEM *header = &value.header;
    memset(&value, 0, sizeof value);
    reply = ks_client::PinProperty(filter, 1, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET,
                                   &value, sizeof value);
    ASSERT_EQ(reply.status, Success);
    EXPECT_EQ(header->Count, 1u);
    const auto *bridge = reinterpret_cast<const KSDATARANGE *>(header + 1);
    EXPECT_TRUE(IsEqualGUID(bridge->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));

    // A size query on pin 0 is PortCls's too, from the static range.
    reply = ks_client::PinProperty(filter, 0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET,
                                   nullptr, 0);
    EXPECT_EQ(reply.status, BufferOverflow);
    EXPECT_EQ(reply.information, DataRangesReply);
    ks_client::Close(filter);
}

TEST_F(Routing, BadBuffersOfTheDataRangeQueryCompleteWithTheFaultsCode)
{
    boundary::Handle filter = nullptr;
    ASSERT_EQ(ks_client::Open(dut::FilterPath(u"wave_c"), &filter), Success);
    KSP_PIN query = {};
    query.Property.Set = KSPROPSETID_Pin;
    query.Property.Id = KSPROPERTY_PIN_DATARANGES;
    query.Property.Flags = KSPROPERTY_TYPE_GET;
    uint8_t value[DataRangesReply];
    auto *unmapped = reinterpret_cast<void *>(static_cast<uintptr_t>(0x10));
    EXPECT_EQ(ks_client::Control(filter, IOCTL_KS_PROPERTY, unmapped, sizeof query, value, sizeof value).status,
              AccessViolation);
    EXPECT_EQ(ks_client::Control(filter, IOCTL_KS_PROPERTY, &query, sizeof query, unmapped, sizeof value).status,
              AccessViolation);
    ks_client::Close(filter);
}

} // namespace
