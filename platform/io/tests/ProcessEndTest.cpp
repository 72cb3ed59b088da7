// A client process ended while its thread is inside a request, inside a wait,
// or while the driver holds its request pending: the thread is released or
// its request cancelled, the thread ends, and only then do cleanup and close
// reach the driver, in that process, with nothing left behind. Runs on the
// self-advancing clock, so the driver's own time-outs pass at once.
#include "driver/TestDriver.h"

#include <gtest/gtest.h>
#include <io_boundary.h>
#include <io_standin.h>
#include <kernel_standin.h>
#include <wdm.h>

#include <string>
#include <vector>

namespace sk = standin::kernel;
namespace boundary = standin::io::boundary;
using testdriver::Events;
using Log = std::vector<std::string>;

namespace {

constexpr GUID TestClass = {0x7a2c3d4e, 0x5f60, 0x4718, {0x89, 0x9a, 0xab, 0xbc, 0xcd, 0xde, 0xef, 0x02}};

// What the client's thread does and how far it got.
struct Client {
    std::u16string path;
    uint32_t code = 0;
    bool waitForever = false;
    KEVENT opened;
    boundary::Handle file = nullptr;
    NTSTATUS requestStatus = -1;
    bool returnedFromRequest = false;
    bool ranPastTheEnd = false; // code after the first platform call of a dying thread
};

void ClientBody(void *context)
{
    auto &c = *static_cast<Client *>(context);
    if (boundary::OpenFile(c.path.c_str(), 0xC0000000, 0, 1, 0x60, &c.file) != STATUS_SUCCESS)
        return;
    KeSetEvent(&c.opened, IO_NO_INCREMENT, FALSE);
    if (c.waitForever) {
        boundary::Handle never;
        boundary::CreateEvent(true, false, &never);
        boundary::WaitForObject(never, nullptr);
    } else {
        uint8_t out[4];
        uint64_t returned;
        c.requestStatus = boundary::DeviceControl(c.file, c.code, nullptr, 0, out, sizeof out, &returned);
        c.returnedFromRequest = true;
    }
    // The process is terminating by now: the next call into the platform ends
    // the thread.
    const int64_t oneMs = -10'000;
    boundary::Delay(&oneMs);
    c.ranPastTheEnd = true;
}

class ProcessEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        testdriver::Config config;
        config.interfaceClass = TestClass;
        ASSERT_EQ(testdriver::Load(config), STATUS_SUCCESS);
        client.path = u"\\\\?\\" + testdriver::State().links.at(0).substr(4);
        KeInitializeEvent(&client.opened, NotificationEvent, FALSE);
        sk::SetClockMode(sk::ClockMode::Simulated);
        process = sk::CreateProcess(false, "client");
    }

    void TearDown() override
    {
        sk::SetClockMode(sk::ClockMode::Real);
        EXPECT_EQ(standin::io::OpenFileObjects(), 0u);
        EXPECT_EQ(testdriver::Unload(), STATUS_SUCCESS); // the leak check
    }

    // Starts the client's thread in its process and waits until it is busy
    // in the driver (or, for a wait, has opened the file).
    void StartClient()
    {
        thread = sk::StartThread(process, "client", &ClientBody, &client);
        ASSERT_NE(thread, nullptr);
        if (client.waitForever)
            KeWaitForSingleObject(&client.opened, Executive, KernelMode, FALSE, nullptr);
        else
            testdriver::WaitUntilBusy();
    }

    void EndAndCheck(const Log &expected)
    {
        sk::TerminateProcess(process);
        EXPECT_TRUE(sk::HasThreadEnded(thread)) << "the process ends after its threads";
        sk::JoinThread(thread);
        EXPECT_FALSE(client.ranPastTheEnd);
        EXPECT_EQ(Events(), expected);
        EXPECT_EQ(testdriver::State().cleanupProcess, reinterpret_cast<uint64_t>(process));
        EXPECT_EQ(testdriver::State().closeProcess, reinterpret_cast<uint64_t>(process));
        EXPECT_EQ(sk::HandleCount(process), 0u);
    }

    Client client;
    PEPROCESS process = nullptr;
    PKTHREAD thread = nullptr;
};

TEST_F(ProcessEnd, APendingRequestIsCancelledBeforeCleanupAndClose)
{
    client.code = testdriver::HoldPending;
    StartClient();
    EndAndCheck({"held", "cancel", "cleanup", "close"});
    EXPECT_TRUE(client.returnedFromRequest);
    EXPECT_EQ(client.requestStatus, STATUS_CANCELLED);
}

TEST_F(ProcessEnd, AThreadInAWaitIsReleasedAndEnds)
{
    client.waitForever = true;
    StartClient();
    EndAndCheck({"cleanup", "close"});
}

TEST_F(ProcessEnd, AThreadInTheDriverFinishesTheRequestFirst)
{
    client.code = testdriver::SleepInDispatch;
    StartClient();
    const LONGLONG before = sk::Now();
    EndAndCheck({"dispatch entered", "dispatch done", "cleanup", "close"});
    EXPECT_TRUE(client.returnedFromRequest);
    EXPECT_EQ(client.requestStatus, STATUS_SUCCESS);
    EXPECT_EQ(sk::Now() - before, 100'000) << "the driver's 10 ms passed in virtual time, nothing more";
}

TEST_F(ProcessEnd, AHeldRequestCompletedNormallyIsNotCancelled)
{
    client.code = testdriver::HoldPending;
    StartClient();
    testdriver::ReleaseHeld();
    EndAndCheck({"held", "cleanup", "close"});
    EXPECT_EQ(client.requestStatus, STATUS_SUCCESS);
}

} // namespace
