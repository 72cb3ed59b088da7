// The client library on a system without the device: discovery, pipes and
// hosts fail with clear statuses and leave nothing behind.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include "ombapi.h"

using namespace Ombrivo;

namespace {

constexpr HRESULT NoInterface = static_cast<HRESULT>(0x80070490);
constexpr HRESULT FileNotFound = static_cast<HRESULT>(0x80070002);
constexpr HRESULT PathNotFound = static_cast<HRESULT>(0x80070003);

class NullCallback : public CallbackInterface {
public:
    unsigned TransferData(void *, unsigned bytes) override { return bytes; }
};

bool IsFileOpenFailure(HRESULT status) { return status == FileNotFound || status == PathNotFound; }

} // namespace

TEST(NoDevice, DriverOpenFindsNoInterface)
{
    OmbDriver *driver = reinterpret_cast<OmbDriver *>(1);
    ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
    ASSERT_NE(driver, nullptr);
    EXPECT_FALSE(driver->IsOpen());
    EXPECT_EQ(driver->Open(), NoInterface);
    EXPECT_FALSE(driver->IsOpen());
    driver->Close();
    EXPECT_FALSE(driver->IsOpen());
    EXPECT_TRUE(IsEqualGUID(driver->GetClassId(), ControlInterfaceClass));
    driver->Delete();
}

TEST(NoDevice, CreatePipeOnClosedDriverFailsWithTheOpenStatus)
{
    OmbDriver *driver = nullptr;
    ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
    OmbPipe *pipe = reinterpret_cast<OmbPipe *>(0x1234);
    const HRESULT status = driver->CreatePipe(pipe, false);
    EXPECT_TRUE(IsFileOpenFailure(status)) << std::hex << status;
    EXPECT_EQ(pipe, reinterpret_cast<OmbPipe *>(0x1234));
    driver->Delete();
}

TEST(NoDevice, PipeOpenFailsCleanly)
{
    OmbDriver *driver = nullptr;
    ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
    OmbPipe pipe(driver, true);
    EXPECT_STREQ(pipe.GetType(), L"capture");
    EXPECT_TRUE(pipe.IsCapt());
    const HRESULT status = pipe.Open(L"\\\\?\\no#such#device#{e6dcd72d-0668-429f-8a1b-e72dfe991340}");
    EXPECT_TRUE(IsFileOpenFailure(status)) << std::hex << status;
    EXPECT_FALSE(pipe.IsOpen());
    EXPECT_FALSE(pipe.IsRunningState());

    // A name that does not fit 260 characters is refused before any open.
    const std::wstring longPath(250, L'x');
    EXPECT_EQ(pipe.Open(longPath.c_str()), static_cast<HRESULT>(0x800700CE));
    EXPECT_FALSE(pipe.IsOpen());

    // A closed pipe has no block: the member gives a constant all-zero one,
    // the flat function NULL.
    const CommonDataDesc zero = {};
    EXPECT_EQ(memcmp(&pipe.GetCommonData(), &zero, sizeof zero), 0);
    EXPECT_EQ(memcmp(&static_cast<const OmbPipe &>(pipe).GetCommonData(), &zero, sizeof zero), 0);
    EXPECT_EQ(Pipe_GetCommonData(&pipe), nullptr);

    // Requests on a closed pipe fail without reaching any driver.
    EXPECT_EQ(pipe.Notify(0), static_cast<HRESULT>(0x80070006));
    EXPECT_EQ(pipe.SetMinimalBufferSize(480), static_cast<HRESULT>(0x80070006));
    EXPECT_EQ(pipe.AdvanceDevicePosition(10), static_cast<HRESULT>(0x80070006));
    EXPECT_EQ(pipe.ResetDevicePosition(), S_OK);
    driver->Delete();
}

TEST(NoDevice, HostStartFailsAndLeavesNothing)
{
    OmbDriver *driver = nullptr;
    ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
    NullCallback callback;
    OmbHost *host = reinterpret_cast<OmbHost *>(1);
    ASSERT_EQ(OmbHost::Create(host, *driver, false, callback), S_OK);
    EXPECT_STREQ(host->GetType(), L"render");
    EXPECT_FALSE(host->IsCapt());
    const HRESULT status = host->Start(WaveFormat(48000, 16, 2, 2, 3), 20);
    EXPECT_TRUE(IsFileOpenFailure(status)) << std::hex << status;
    EXPECT_FALSE(host->IsStarted());
    // The loop refuses to run on a host that is not started.
    EXPECT_EQ(host->EventLoop(10), static_cast<HRESULT>(0x8007139F));
    EXPECT_EQ(host->Stop(), S_OK);
    host->Delete();
    driver->Delete();
}

TEST(NoDevice, FlatInterfaceForwards)
{
    Driver_Delete(nullptr);
    Pipe_Delete(nullptr);
    Host_Delete(nullptr);

    OmbDriver *driver = nullptr;
    ASSERT_EQ(Driver_Create(&driver, &ControlInterfaceClass), S_OK);
    EXPECT_EQ(Driver_Open(driver), NoInterface);
    EXPECT_FALSE(Driver_IsOpen(driver));
    OmbPipe *pipe = nullptr;
    EXPECT_TRUE(IsFileOpenFailure(Driver_CreatePipe(driver, &pipe, true)));
    EXPECT_EQ(pipe, nullptr);

    NullCallback callback;
    OmbHost *host = nullptr;
    ASSERT_EQ(Host_Create(&host, driver, true, &callback), S_OK);
    EXPECT_TRUE(Host_IsCapt(host));
    EXPECT_STREQ(Host_GetType(host), L"capture");
    const DataFormatDesc bare = {48000, 16, 2, 2, 3};
    EXPECT_TRUE(IsFileOpenFailure(Host_Start(host, reinterpret_cast<const WaveFormat *>(&bare), 0)));
    EXPECT_FALSE(Host_IsStarted(host));
    EXPECT_EQ(Host_GetCommonData(host), nullptr);
    EXPECT_EQ(Host_Stop(host), S_OK);
    EXPECT_EQ(Host_GetCommonData(host), nullptr);
    // A host that never ran has counters of 0 and takes a trim.
    OmbHostStats stats;
    memset(&stats, 0xA5, sizeof stats);
    stats.Size = sizeof stats;
    EXPECT_EQ(Host_GetStats(host, &stats), S_OK);
    EXPECT_EQ(stats.Size, 48u);
    EXPECT_EQ(stats.Reserved | stats.Ticks | stats.FramesHandedOut | stats.FramesNotTaken | stats.LateTicks |
                  stats.MaxLatenessUs,
              0u);
    EXPECT_EQ(Host_SetClockTrim(host, -1000000), S_OK);
    EXPECT_EQ(Host_SetClockTrim(host, 1000001), static_cast<HRESULT>(0x80070057));
    Host_Delete(host);
    Driver_Close(driver);
    Driver_Delete(driver);
}
