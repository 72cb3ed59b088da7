// OmbDriver's discovery with the device present: the first interface of the
// class is the one used, and a disabled one is not taken.
#include "DeviceFixture.h"

using namespace Ombrivo;
using namespace device_tests;
namespace dev = standin_device;

namespace {

class Discovery : public testing::Test {
protected:
    // The platform's leak check counts what was handed out since a driver
    // loaded, so drivers leave in the reverse order of their arrival.
    void TearDown() override
    {
        driver->Delete();
        if (quietFirst) {
            dev::Unload();
            dev::UnloadQuietDevice();
        } else {
            dev::UnloadQuietDevice();
            dev::Unload();
        }
    }
    OmbDriver *driver = nullptr;
    bool quietFirst = true;
};

} // namespace

TEST_F(Discovery, DisabledInterfaceIsNotTaken)
{
    ASSERT_TRUE(dev::LoadQuietDevice(false));
    ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
    EXPECT_EQ(driver->Open(), static_cast<HRESULT>(-1));
    EXPECT_FALSE(driver->IsOpen());
}

TEST_F(Discovery, FirstInterfaceWins)
{
    ASSERT_TRUE(dev::LoadQuietDevice(true));
    ASSERT_TRUE(dev::Load());
    ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
    ASSERT_EQ(driver->Open(), S_OK);
    // The quiet device came first and refuses every open.
    OmbPipe *pipe = nullptr;
    EXPECT_EQ(driver->CreatePipe(pipe, false), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(pipe, nullptr);
}

TEST_F(Discovery, OpenKeepsThePathOfTheDeviceFoundFirst)
{
    quietFirst = false;
    ASSERT_TRUE(dev::Load());
    ASSERT_TRUE(dev::LoadQuietDevice(true));
    ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
    ASSERT_EQ(driver->Open(), S_OK);
    OmbPipe *pipe = nullptr;
    ASSERT_EQ(driver->CreatePipe(pipe, true), S_OK);
    EXPECT_TRUE(dev::IsOpen(CapturePipe));
    pipe->Delete();
    // A failed Open leaves the path as it was.
    dev::UnloadQuietDevice();
    dev::Unload();
    EXPECT_EQ(driver->Open(), static_cast<HRESULT>(0x80070490));
    EXPECT_TRUE(driver->IsOpen());
}
