// A test fixture with the stand-in device loaded, an emulated client process
// for the test's threads and an opened driver object.
#pragma once

#include <gtest/gtest.h>
#include <atomic>
#include <optional>
#include <thread>
#include "ombapi.h"
#include "ControlProtocol.h"
#include "device/StandinDevice.h"

namespace device_tests {

constexpr int RenderPipe = PipeRender;
constexpr int CapturePipe = PipeCapture;
constexpr int64_t Millisecond = 10'000; // 100-ns units

// Runs `call` on another thread of the process while virtual time moves in
// 5 ms steps whenever some thread waits on it, until the call returns: for
// calls such as a host's Stop, which polls until its loop has ended.
template <typename Call>
void CallWhileTimeRuns(uint64_t process, Call call)
{
    std::atomic<bool> done{false};
    std::thread caller([&] {
        standin_device::InProcess scope(process);
        call();
        done = true;
    });
    while (!done) {
        if (standin_device::TimedWaiters() > 0)
            standin_device::AdvanceClock(5 * Millisecond);
        else
            std::this_thread::yield();
    }
    caller.join();
}

class DeviceFixture : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(standin_device::Load());
        process = standin_device::CreateClientProcess();
        inProcess.emplace(process);
        ASSERT_EQ(Ombrivo::OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
        ASSERT_EQ(driver->Open(), S_OK);
    }

    void TearDown() override
    {
        driver->Delete();
        inProcess.reset();
        standin_device::EndClientProcess(process);
        standin_device::UseVirtualClock(false);
        standin_device::Unload();
    }

    uint64_t process = 0;
    std::optional<standin_device::InProcess> inProcess;
    Ombrivo::OmbDriver *driver = nullptr;
};

} // namespace device_tests
