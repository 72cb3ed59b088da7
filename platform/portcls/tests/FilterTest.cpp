// Filters as a client finds and asks them: interfaces by category, the pin
// and topology sets the port answers from the descriptor, the physical
// connection, intersections, miniport properties and the request PortCls
// builds for them, and the statuses of malformed requests.
#include "KsClient.h"
#include "TestAdapter.h"

#include <gtest/gtest.h>
#include <win32_standin.h>

#include <cstring>
#include <memory>

using namespace ksclient;

namespace {

class Filters : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(testadapter::Load(config), 0);
        scope = std::make_unique<standin::win32::ProcessScope>(client);
        wave = OpenFilter(KSCATEGORY_RENDER);
        topology = OpenFilter(KSCATEGORY_TOPOLOGY);
        ASSERT_NE(wave, INVALID_HANDLE_VALUE);
        ASSERT_NE(topology, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        CloseHandle(wave);
        CloseHandle(topology);
        scope.reset();
        EXPECT_EQ(testadapter::Unload(), 0);
    }

    testadapter::Config config;
    standin::win32::ClientProcess client;
    std::unique_ptr<standin::win32::ProcessScope> scope;
    HANDLE wave = INVALID_HANDLE_VALUE;
    HANDLE topology = INVALID_HANDLE_VALUE;
};

std::wstring Utf16At(const uint8_t *at)
{
    std::wstring text;
    for (const char16_t *c = reinterpret_cast<const char16_t *>(at); *c != 0; ++c)
        text.push_back(static_cast<wchar_t>(*c));
    return text;
}

} // namespace

TEST_F(Filters, EachCategoryOfTheDescriptorIsAnInterfaceWithTheSubdeviceName)
{
    const auto audio = InterfacePaths(KSCATEGORY_AUDIO);
    ASSERT_EQ(audio.size(), 2u); // the topology filter, then the wave filter
    EXPECT_NE(audio[0].find(L"\\topo"), std::wstring::npos);
    EXPECT_NE(audio[1].find(L"\\wave"), std::wstring::npos);
    ASSERT_EQ(InterfacePaths(KSCATEGORY_RENDER).size(), 1u);
    // A WaveRT filter is also a real-time one, without listing it.
    const auto realtime = InterfacePaths(KSCATEGORY_REALTIME);
    ASSERT_EQ(realtime.size(), 1u);
    EXPECT_NE(realtime[0].find(L"\\wave"), std::wstring::npos);
    EXPECT_TRUE(InterfacePaths(KSCATEGORY_CAPTURE).empty());
}

TEST_F(Filters, PinSetComesFromTheDescriptor)
{
    ULONG count = 0;
    ASSERT_TRUE(Get(wave, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof count).ok);
    EXPECT_EQ(count, 2u);
    ULONG flow = 0, communication = 9;
    ASSERT_TRUE(PinGet(wave, KSPROPERTY_PIN_DATAFLOW, 0, &flow, sizeof flow).ok);
    EXPECT_EQ(flow, ULONG(KSPIN_DATAFLOW_IN));
    ASSERT_TRUE(PinGet(wave, KSPROPERTY_PIN_COMMUNICATION, 1, &communication, sizeof communication).ok);
    EXPECT_EQ(communication, ULONG(KSPIN_COMMUNICATION_NONE));
    KSPIN_CINSTANCES instances{9, 9};
    ASSERT_TRUE(PinGet(wave, KSPROPERTY_PIN_CINSTANCES, 0, &instances, sizeof instances).ok);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 0u);
    GUID category{};
    ASSERT_TRUE(PinGet(topology, KSPROPERTY_PIN_CATEGORY, 1, &category, sizeof category).ok);
    EXPECT_TRUE(IsEqualGUID(category, KSNODETYPE_SPEAKER));

    // Ranges: a size query, then the two ranges, each 8-aligned.
    Reply reply = PinGet(wave, KSPROPERTY_PIN_DATARANGES, 0, nullptr, 0);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(reply.returned, 8u + 2 * 88u);
    std::vector<uint8_t> ranges(reply.returned);
    ASSERT_TRUE(PinGet(wave, KSPROPERTY_PIN_DATARANGES, 0, ranges.data(), DWORD(ranges.size())).ok);
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, ranges.data(), sizeof header);
    EXPECT_EQ(header.Count, 2u);
    EXPECT_EQ(header.Size, 8u + 2 * 88u);
    KSDATARANGE_AUDIO second;
    std::memcpy(&second, ranges.data() + 8 + 88, sizeof second);
    EXPECT_TRUE(IsEqualGUID(second.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));

    // A WaveRT pin streams through its buffer: the looped interface, the
    // standard medium.
    uint8_t list[8 + sizeof(KSIDENTIFIER)];
    KSIDENTIFIER item;
    ASSERT_TRUE(PinGet(wave, KSPROPERTY_PIN_INTERFACES, 0, list, sizeof list).ok);
    std::memcpy(&item, list + 8, sizeof item);
    EXPECT_EQ(item.Id, ULONG(KSINTERFACE_STANDARD_LOOPED_STREAMING));
    ASSERT_TRUE(PinGet(wave, KSPROPERTY_PIN_MEDIUMS, 0, list, sizeof list).ok);
    std::memcpy(&item, list + 8, sizeof item);
    EXPECT_TRUE(IsEqualGUID(item.Set, KSMEDIUMSETID_Standard));
}

TEST_F(Filters, PhysicalConnectionNamesThePeerFilter)
{
    uint8_t value[512];
    Reply reply = PinGet(wave, KSPROPERTY_PIN_PHYSICALCONNECTION, testadapter::WaveBridgePin, value, sizeof value);
    ASSERT_TRUE(reply.ok) << reply.error;
    ULONG head[2];
    std::memcpy(head, value, sizeof head);
    EXPECT_EQ(head[0], reply.returned);
    EXPECT_EQ(head[1], ULONG(testadapter::TopologyBridgePin));
    const std::wstring link = Utf16At(value + 8);
    EXPECT_EQ(link.rfind(L"\\??\\", 0), 0u) << link.c_str();
    EXPECT_NE(link.find(L"\\topo"), std::wstring::npos);
    // And the other way round; a pin without a connection has none.
    ASSERT_TRUE(PinGet(topology, KSPROPERTY_PIN_PHYSICALCONNECTION, 0, value, sizeof value).ok);
    EXPECT_NE(Utf16At(value + 8).find(L"\\wave"), std::wstring::npos);
    reply = PinGet(wave, KSPROPERTY_PIN_PHYSICALCONNECTION, 0, value, sizeof value);
    EXPECT_EQ(reply.error, DWORD(ERROR_NOT_FOUND));
}

TEST_F(Filters, TopologySetReportsNodesConnectionsAndCategories)
{
    uint8_t value[256];
    ASSERT_TRUE(Get(wave, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, value, sizeof value).ok);
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, value, sizeof header);
    ASSERT_EQ(header.Count, 1u);
    GUID node;
    std::memcpy(&node, value + 8, sizeof node);
    EXPECT_TRUE(IsEqualGUID(node, KSNODETYPE_DAC));
    ASSERT_TRUE(Get(wave, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, value, sizeof value).ok);
    std::memcpy(&header, value, sizeof header);
    ASSERT_EQ(header.Count, 2u);
    KSTOPOLOGY_CONNECTION first;
    std::memcpy(&first, value + 8, sizeof first);
    EXPECT_EQ(first.FromNode, KSFILTER_NODE);
    EXPECT_EQ(first.ToNode, 0u);
    ASSERT_TRUE(Get(topology, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, value, sizeof value).ok);
    std::memcpy(&header, value, sizeof header);
    EXPECT_EQ(header.Count, 2u);
    // A named node reports its name; a node out of range is refused.
    const ULONG named[2] = {0, 0};
    ASSERT_TRUE(Property(topology, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NAME, KSPROPERTY_TYPE_GET, named,
                         sizeof named, value, sizeof value)
                    .ok);
    EXPECT_EQ(Utf16At(value), L"{57E24340-FC5B-4612-A562-72B11A29DFAE}");
    const ULONG missing[2] = {5, 0};
    EXPECT_EQ(Property(topology, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NAME, KSPROPERTY_TYPE_GET, missing,
                       sizeof missing, value, sizeof value)
                  .error,
              DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Filters, IntersectionAsksTheMiniportFirstAndFallsBackToThePort)
{
    // PCM: the miniport declines, the port's default picks the highest rate,
    // 16 bits and stereo.
    struct {
        KSP_PIN pin;
        KSMULTIPLE_ITEM list;
        KSDATARANGE_AUDIO range;
    } request{};
    request.pin.Property.Set = KSPROPSETID_Pin;
    request.pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    request.pin.Property.Flags = KSPROPERTY_TYPE_GET;
    request.list = {sizeof request.list + sizeof request.range, 1};
    request.range.DataRange.FormatSize = sizeof request.range;
    request.range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    request.range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    request.range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    request.range.MaximumChannels = 8;
    request.range.MinimumBitsPerSample = 8;
    request.range.MaximumBitsPerSample = 32;
    request.range.MinimumSampleFrequency = 8000;
    request.range.MaximumSampleFrequency = 192000;
    uint8_t result[128];
    Reply reply = Control(wave, IOCTL_KS_PROPERTY, &request, sizeof request, nullptr, 0);
    EXPECT_EQ(reply.error, DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(reply.returned, sizeof(KSDATAFORMAT_WAVEFORMATEX));
    reply = Control(wave, IOCTL_KS_PROPERTY, &request, sizeof request, result, sizeof result);
    ASSERT_TRUE(reply.ok) << reply.error;
    ASSERT_EQ(reply.returned, sizeof(KSDATAFORMAT_WAVEFORMATEX));
    KSDATAFORMAT_WAVEFORMATEX format;
    std::memcpy(&format, result, sizeof format);
    EXPECT_EQ(format.WaveFormatEx.nSamplesPerSec, 48000u);
    EXPECT_EQ(format.WaveFormatEx.nChannels, 2);
    EXPECT_EQ(format.WaveFormatEx.wBitsPerSample, 16);
    EXPECT_EQ(format.WaveFormatEx.nBlockAlign, 4);

    // Float: the miniport answers itself with an extensible format.
    request.range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    reply = Control(wave, IOCTL_KS_PROPERTY, &request, sizeof request, result, sizeof result);
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reply.returned, sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));

    // Nothing in common: no match.
    request.range.MaximumSampleFrequency = 22050;
    request.range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    EXPECT_EQ(Control(wave, IOCTL_KS_PROPERTY, &request, sizeof request, result, sizeof result).error,
              DWORD(ERROR_NO_MATCH));
    // A list whose size overruns the input is refused.
    request.list.Size = 4096;
    EXPECT_EQ(Control(wave, IOCTL_KS_PROPERTY, &request, sizeof request, result, sizeof result).error,
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_GE(testadapter::Snapshot().miniportIntersections, 2);
}

TEST_F(Filters, MiniportHandlerSeesTheRequestAsPortClsBuildsIt)
{
    // A filter property: the miniport as major target, no minor target, no
    // node, the bytes after the KSPROPERTY as instance.
    const ULONG instance[3] = {0x1234, 5, 6};
    ULONG value = 0;
    Reply reply = Property(wave, testadapter::TestPropertySet, testadapter::PropertyProbe, KSPROPERTY_TYPE_GET,
                           instance, sizeof instance, &value, sizeof value);
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(value, 0x5EEDu);
    EXPECT_EQ(reply.returned, 4u);
    testadapter::Observed seen = testadapter::Snapshot();
    EXPECT_TRUE(seen.probeMajorIsMiniport);
    EXPECT_TRUE(seen.probeMinorNull);
    EXPECT_EQ(seen.probeNode, ULONG(-1));
    EXPECT_EQ(seen.probeVerb, ULONG(KSPROPERTY_TYPE_GET));
    EXPECT_EQ(seen.probeInstanceSize, sizeof instance);
    EXPECT_EQ(seen.probeInstanceFirst, 0x1234u);
    EXPECT_EQ(seen.probeValueSize, sizeof value);

    // A node property goes to the node's table with its node id.
    reply = NodeGet(topology, testadapter::TestPropertySet, testadapter::PropertyProbe, 0, &value, sizeof value);
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(value, 0x70D0u);
    EXPECT_EQ(testadapter::Snapshot().probeNode, 0u);
    EXPECT_EQ(
        NodeGet(topology, testadapter::TestPropertySet, testadapter::PropertyProbe, 3, &value, sizeof value).error,
        DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Filters, SizeQueriesAndBasicSupportFollowTheDocumentedRules)
{
    // Value size 0 asks for the size; too small is refused; the handler's
    // own basic support answers with the item's flags.
    Reply reply = Get(wave, testadapter::TestPropertySet, testadapter::PropertyValue, nullptr, 0);
    EXPECT_EQ(reply.error, DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(reply.returned, 4u);
    uint8_t small[2];
    EXPECT_EQ(Get(wave, testadapter::TestPropertySet, testadapter::PropertyValue, small, sizeof small).error,
              DWORD(ERROR_INSUFFICIENT_BUFFER));
    ULONG flags = 0;
    reply = Property(wave, testadapter::TestPropertySet, testadapter::PropertyValue, KSPROPERTY_TYPE_BASICSUPPORT,
                     nullptr, 0, &flags, sizeof flags);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(flags, ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT));
    // The port's own basic support for its properties: a full description.
    KSPROPERTY_DESCRIPTION description{};
    reply = Property(wave, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0,
                     &description, sizeof description);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(description.AccessFlags, ULONG(KSPROPERTY_TYPE_GET));
    EXPECT_EQ(description.DescriptionSize, sizeof description);
    // A get-only property refuses a set; set support answers for known sets.
    ULONG count = 2;
    EXPECT_EQ(Set(wave, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof count).error,
              DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(
        Property(wave, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_SETSUPPORT, nullptr, 0, nullptr, 0).ok);
}

TEST_F(Filters, MalformedRequestsGetTheirStatusesAndWriteNothing)
{
    uint8_t value[16];
    std::memset(value, 0x5A, sizeof value);
    const uint8_t untouched[16] = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
                                   0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
    // An input shorter than a KSPROPERTY.
    KSPROPERTY property{};
    property.Set = KSPROPSETID_Pin;
    property.Id = KSPROPERTY_PIN_CTYPES;
    property.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(Control(wave, IOCTL_KS_PROPERTY, &property, 16, value, sizeof value).error,
              DWORD(ERROR_INVALID_USER_BUFFER));
    // An unknown set, an unknown id of a known set, two verbs at once.
    const GUID unknown = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    EXPECT_EQ(Get(wave, unknown, 1, value, sizeof value).error, DWORD(ERROR_SET_NOT_FOUND));
    EXPECT_EQ(Get(wave, KSPROPSETID_Pin, 99, value, sizeof value).error, DWORD(ERROR_NOT_FOUND));
    EXPECT_EQ(Property(wave, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, nullptr,
                       0, value, sizeof value)
                  .error,
              DWORD(ERROR_INVALID_PARAMETER));
    // A pin property without its pin id, or with a pin that does not exist.
    EXPECT_EQ(Get(wave, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, value, sizeof value).error,
              DWORD(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(PinGet(wave, KSPROPERTY_PIN_DATAFLOW, 2, value, sizeof value).error, DWORD(ERROR_INVALID_PARAMETER));
    // Bad caller pointers fail with the access fault, the driver untouched.
    EXPECT_EQ(Control(wave, IOCTL_KS_PROPERTY, reinterpret_cast<void *>(0x10), sizeof property, value, 4).error,
              DWORD(ERROR_NOACCESS));
    EXPECT_EQ(Control(wave, IOCTL_KS_PROPERTY, &property, sizeof property, reinterpret_cast<void *>(0x10), 4).error,
              DWORD(ERROR_NOACCESS));
    // Methods: the ports have none.
    EXPECT_EQ(Control(wave, IOCTL_KS_METHOD, &property, sizeof property, value, sizeof value).error,
              DWORD(ERROR_NOT_FOUND));
    EXPECT_EQ(std::memcmp(value, untouched, sizeof value), 0);
}

TEST_F(Filters, PendedHandlerCompletesFromAnotherThread)
{
    ULONG value = 0;
    Reply reply = Get(wave, testadapter::TestPropertySet, testadapter::PropertyPended, &value, sizeof value);
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(value, 0xABCDu);
    EXPECT_EQ(reply.returned, 4u);
}
