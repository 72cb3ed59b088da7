// The driver package's INF as the Windows setup API reads it (under Wine),
// against the driver itself: the interfaces it installs are exactly the
// subdevices and categories the real driver registers when the platform's
// PnP manager starts it, and the device, its registrations and its service
// are what a PortCls adapter of the media class needs.
#include <gtest/gtest.h>
#include <io_boundary.h>
#include <stdio.h>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include "DriverUnderTest.h"
#include "InfListing.h"

namespace {

namespace boundary = standin::io::boundary;
namespace dut = driver_under_test;
using inf_listing::Line;
using inf_listing::Listing;
using inf_listing::SameText;
using inf_listing::Upper;

// What every kernel-streaming interface of an audio adapter names as its
// proxy (the KS proxy filter), as Microsoft's audio INF documentation gives it.
constexpr const char *KsProxyClsid = "{17CCA71B-ECD7-11D0-B908-00A0C9223196}";
// The README's install commands create the device with this hardware ID.
constexpr const char *HardwareId = "ROOT\\Ombrivo";

std::string GuidText(const GUID &guid)
{
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
             guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string Ascii(const std::u16string &text) { return std::string(text.begin(), text.end()); }

using Interface = std::pair<std::string, std::string>; // category GUID, reference string

// Every interface the started driver registered under a reference string
// (a device path \\?\<instance>#{class}\<reference>): its subdevices. The
// control channel's own interface has no reference string and needs no INF.
std::set<Interface> RegisteredSubdeviceInterfaces()
{
    std::set<Interface> interfaces;
    for (const auto &record : boundary::PresentInterfaces(nullptr)) {
        const std::string path = Ascii(record.devicePath);
        const auto end = path.rfind("}\\");
        if (end != std::string::npos)
            interfaces.emplace(GuidText(record.interfaceClass), path.substr(end + 2));
    }
    return interfaces;
}

class Inf : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string error;
        listing = inf_listing::Read(OMB_INF, error);
        readError = error;
    }

    void SetUp() override
    {
        ASSERT_TRUE(readError.empty()) << readError;
        ASSERT_EQ(listing.devices.size(), 1u) << "one device";
        device = listing.devices[0];
        ASSERT_FALSE(device.actualSection.empty()) << "no install section for " << device.installSection;
        ASSERT_TRUE(listing.HasSection(device.actualSection)) << device.actualSection;
    }

    // The AddReg lines that write a value under the key the section installs
    // (HKR, no subkey): value name to data.
    std::map<std::string, std::string> RootValues(const std::string &addRegSection) const
    {
        std::map<std::string, std::string> values;
        for (const Line &line : listing.Section(addRegSection)) {
            const auto &f = line.fields; // root, subkey, value name, flags, data
            if (f.size() >= 5 && f[0] == "HKR" && f[1].empty())
                values[f[2]] = f[4];
        }
        return values;
    }

    static Listing listing;
    static std::string readError;
    inf_listing::Device device;
};

Listing Inf::listing;
std::string Inf::readError;

TEST_F(Inf, InstallsOneRootEnumeratedDeviceOfTheMediaClassOn64BitWindows)
{
    EXPECT_EQ(listing.Value("Version", "Signature"), "$WINDOWS NT$");
    EXPECT_EQ(listing.Value("Version", "Class"), "MEDIA");
    // The class the platform's PnP manager gives its root-enumerated devices.
    EXPECT_EQ(Upper(listing.Value("Version", "ClassGuid")), GuidText(boundary::DeviceSetupClass()));
    EXPECT_FALSE(listing.Value("Version", "Provider").empty());
    EXPECT_FALSE(listing.Value("Version", "CatalogFile").empty()) << "what Inf2Cat writes and the signature covers";
    EXPECT_EQ(listing.Value("Version", "PnpLockdown"), "1");
    const auto driverVer = listing.Keyed("Version", "DriverVer");
    ASSERT_EQ(driverVer.size(), 1u);
    ASSERT_EQ(driverVer[0].fields.size(), 2u) << "date, version";
    EXPECT_EQ(driverVer[0].fields[0].size(), 10u) << "mm/dd/yyyy: " << driverVer[0].fields[0];
    EXPECT_EQ(driverVer[0].fields[1], OMB_DRIVER_VERSION);

    // One models section, for x64 only; the device in it, root-enumerated.
    ASSERT_EQ(listing.models.size(), 1u);
    const std::string decoration = listing.models[0].substr(listing.models[0].find('.') + 1);
    EXPECT_EQ(Upper(decoration.substr(0, 7)), "NTAMD64") << listing.models[0];
    EXPECT_TRUE(SameText(device.hardwareId, HardwareId)) << device.hardwareId;
    EXPECT_TRUE(SameText(device.actualSection, device.installSection + ".NTamd64")) << device.actualSection;
}

TEST_F(Inf, BringsInTheKernelStreamingAndWdmAudioRegistrations)
{
    const auto includes = listing.Keyed(device.actualSection, "Include");
    const auto needs = listing.Keyed(device.actualSection, "Needs");
    ASSERT_EQ(includes.size(), 1u);
    ASSERT_EQ(needs.size(), 1u);
    const std::vector<std::string> includedFiles = {"ks.inf", "wdmaudio.inf"};
    const std::vector<std::string> neededSections = {"KS.Registration", "WDMAUDIO.Registration"};
    EXPECT_EQ(includes[0].fields, includedFiles);
    EXPECT_EQ(needs[0].fields, neededSections);

    // The multimedia registrations name the driver the service runs.
    const std::string addReg = listing.Value(device.actualSection, "AddReg");
    ASSERT_TRUE(listing.HasSection(addReg)) << addReg;
    const auto values = RootValues(addReg);
    ASSERT_EQ(values.count("Driver"), 1u);
    const auto services = listing.Keyed(device.actualSection + ".Services", "AddService");
    ASSERT_EQ(services.size(), 1u);
    ASSERT_EQ(services[0].fields.size(), 3u);
    EXPECT_EQ(values.at("Driver"), inf_listing::FileName(listing.Value(services[0].fields[2], "ServiceBinary")));
}

TEST_F(Inf, ServiceIsTheDeviceFunctionDriverRunningTheCopiedImage)
{
    const auto services = listing.Keyed(device.actualSection + ".Services", "AddService");
    ASSERT_EQ(services.size(), 1u);
    const auto &service = services[0].fields; // name, flags, install section
    ASSERT_EQ(service.size(), 3u);
    EXPECT_EQ(service[0], "Ombrivo");
    EXPECT_EQ(std::stoul(service[1], nullptr, 0), 0x2u) << "SPSVCINST_ASSOCSERVICE: the function driver";
    const std::string &section = service[2];
    EXPECT_EQ(listing.Value(section, "ServiceType"), "1") << "kernel driver";
    EXPECT_EQ(listing.Value(section, "StartType"), "3") << "started on demand, by PnP";
    EXPECT_EQ(listing.Value(section, "ErrorControl"), "1");
    EXPECT_FALSE(listing.Value(section, "DisplayName").empty());

    // The binary is the one file the device copies, which the package holds.
    const std::string binary = inf_listing::FileName(listing.Value(section, "ServiceBinary"));
    const std::string copySection = listing.Value(device.actualSection, "CopyFiles");
    const auto copied = listing.Section(copySection);
    ASSERT_EQ(copied.size(), 1u) << copySection;
    ASSERT_EQ(copied[0].fields.size(), 1u);
    EXPECT_EQ(copied[0].fields[0], binary);
    EXPECT_FALSE(listing.Value("DestinationDirs", copySection).empty()) << "a destination for " << copySection;
    const std::string disk = listing.Value("SourceDisksFiles", binary);
    ASSERT_FALSE(disk.empty()) << binary << " is not among the package's files";
    EXPECT_FALSE(listing.Value("SourceDisksNames", disk).empty()) << "disk " << disk;
}

TEST_F(Inf, InterfacesAreExactlyTheSubdevicesTheDriverRegisters)
{
    std::set<Interface> installed;
    std::map<std::string, std::string> sectionOf; // reference string to add-interface section
    for (const Line &line : listing.Keyed(device.actualSection + ".Interfaces", "AddInterface")) {
        ASSERT_EQ(line.fields.size(), 3u) << "category, reference string, section";
        const auto [category, reference, section] = std::tie(line.fields[0], line.fields[1], line.fields[2]);
        EXPECT_TRUE(installed.emplace(Upper(category), reference).second) << category << " " << reference;
        // One section per subdevice: every category of it gets the same name.
        EXPECT_EQ(sectionOf.emplace(reference, section).first->second, section) << reference;
    }

    ASSERT_TRUE(dut::Load());
    const std::set<Interface> registered = RegisteredSubdeviceInterfaces();
    dut::Unload();
    ASSERT_FALSE(registered.empty()) << "the started driver registered no subdevice";
    EXPECT_EQ(installed, registered);

    std::set<std::string> names;
    for (const auto &[reference, section] : sectionOf) {
        const std::string addReg = listing.Value(section, "AddReg");
        ASSERT_TRUE(listing.HasSection(addReg)) << section << " adds no values";
        const auto values = RootValues(addReg);
        EXPECT_EQ(values.count("CLSID") ? values.at("CLSID") : "", KsProxyClsid) << reference;
        const std::string name = values.count("FriendlyName") ? values.at("FriendlyName") : "";
        EXPECT_FALSE(name.empty()) << reference << " has no friendly name";
        EXPECT_TRUE(names.insert(name).second) << reference << " shares its name " << name;
    }
}

} // namespace
