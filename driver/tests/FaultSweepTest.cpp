// The low-resource sweep: every allocation, mapping, thread and reference
// the platform can refuse, one at a time, at load, add-device, device start
// (each step of the adapter's start and of the subdevices' registration),
// pipe open, stream creation, buffer, notification event and position
// register. Each refusal gives its status, leaves nothing half done, and the
// driver still unloads without a leak (the platform's unload check stops the
// test process otherwise).
#include <kernel_standin.h>
#include <sys/wait.h>
#include <unistd.h>
#include "CoreClient.h"
#include "ManualHost.h"

namespace core_tests {
namespace {

namespace kernel = standin::kernel;
using kernel::Fault;

constexpr Status Unsuccessful = static_cast<Status>(0xC0000001);

struct FaultKind {
    Fault kind;
    const char *name;
};

const FaultKind Kinds[] = {
    {Fault::PoolAllocation, "pool"},           {Fault::PageAllocation, "pages"},
    {Fault::ShortPages, "short pages"},        {Fault::MdlAllocation, "MDL"},
    {Fault::SystemMapping, "system mapping"},  {Fault::UserMapping, "user mapping"},
    {Fault::ThreadCreation, "thread"},         {Fault::ObjectReference, "reference"},
};

// The statuses a refused resource may surface as.
bool IsResourceFailure(Status status)
{
    return status == InsufficientResources || status == InvalidHandle || status == Unsuccessful ||
           status == static_cast<Status>(0xC0000017); // STATUS_NO_MEMORY
}

// For each kind of operation: `prepare`, then `act` once to count the
// operations the loaded driver makes, then again once per operation with
// that one refused; `check` sees each refusal that was reached, and
// `cleanup` follows every run. Only `act` runs with faults armed, and only
// the driver's own operations count: the hosts' and the engine's threads
// cannot move the points.
template <typename Prepare, typename Act, typename Check, typename Cleanup>
size_t Sweep(Prepare prepare, Act act, Check check, Cleanup cleanup)
{
    size_t swept = 0;
    for (const FaultKind &fault : Kinds) {
        prepare();
        const kernel::FaultFilter driverOnly = kernel::FaultFilter::ForOwner(dut::Owner());
        kernel::ResetFaults();
        kernel::OperationCount(fault.kind, driverOnly); // counts from here
        act();
        const size_t count = kernel::OperationCount(fault.kind, driverOnly);
        kernel::ResetFaults();
        cleanup();
        for (size_t n = 1; n <= count; ++n) {
            prepare();
            kernel::ResetFaults();
            kernel::FailNth(fault.kind, n, kernel::FaultFilter::ForOwner(dut::Owner()));
            act();
            const bool reached = kernel::InjectedFailures(fault.kind) != 0;
            kernel::ResetFaults();
            EXPECT_TRUE(reached) << fault.name << " #" << n << " of " << count << ": the driver's operations repeat";
            if (reached) {
                check(fault, n);
                ++swept;
            }
            cleanup();
        }
    }
    return swept;
}

// Unloads on the self-advancing clock: a wait with a time-out would move it
// on. Returns the virtual time the unload took.
int64_t UnloadInVirtualTime()
{
    kernel::SetClockMode(kernel::ClockMode::Simulated);
    const int64_t start = kernel::Now();
    dut::Unload();
    const int64_t took = kernel::Now() - start;
    kernel::SetClockMode(kernel::ClockMode::Real);
    return took;
}

// Each load is a fresh image (nothing of an earlier load in this process
// stays behind), so each runs in a process of its own: the exit code says
// whether the refusal was reached and handled.
constexpr int NotReached = 42;
constexpr size_t MostLoadOperations = 4;

void LoadWithFault(Fault kind, size_t n)
{
    kernel::ResetFaults();
    kernel::FailNth(kind, n);
    const Status status = dut::LoadDriver();
    if (kernel::InjectedFailures(kind) == 0) {
        if (status == Success)
            dut::Unload();
        _exit(NotReached);
    }
    // The support library's start-up refuses with its own status, the
    // context's allocation with the resource status; the leak check of the
    // failed load has run.
    if ((status != Unsuccessful && status != InsufficientResources) || dut::IsLoaded()) {
        fprintf(stderr, "status %#x\n", status);
        _exit(1);
    }
    _exit(0);
}

TEST(FaultSweepDeathTest, EveryFailureAtLoadRefusesTheLoadWithNothingLeft)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    size_t reached = 0;
    auto outcome = [&](int status) {
        if (!WIFEXITED(status))
            return false;
        reached += WEXITSTATUS(status) == 0;
        return WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == NotReached;
    };
    for (const FaultKind &fault : Kinds)
        for (size_t n = 1; n <= MostLoadOperations; ++n)
            EXPECT_EXIT(LoadWithFault(fault.kind, n), outcome, "") << fault.name << " #" << n;
    EXPECT_GE(reached, 2u) << "the start-up's list and the driver's context";
}

TEST(FaultSweep, EveryFailureAtAddDeviceRefusesItAndALaterAddWorks)
{
    Status status = Success;
    const size_t swept = Sweep([] { ASSERT_EQ(dut::LoadDriver(), Success); }, [&] { status = dut::AddDevice(); },
                               [&](const FaultKind &fault, size_t n) {
                                   if (status == Success)
                                       return; // the platform's own operation, which it survived
                                   EXPECT_TRUE(IsResourceFailure(status))
                                       << fault.name << " #" << n << " " << std::hex << status;
                                   EXPECT_EQ(dut::AddDevice(), Success)
                                       << fault.name << " #" << n << ": nothing was left registered";
                                   EXPECT_EQ(dut::StartDevice(), Success);
                               },
                               [] { dut::Unload(); });
    EXPECT_GE(swept, 1u);
}

TEST(FaultSweep, EveryFailureInDeviceStartFailsTheStartAndLeaksNothing)
{
    Status status = Success;
    const size_t swept = Sweep(
        [] {
            ASSERT_EQ(dut::LoadDriver(), Success);
            ASSERT_EQ(dut::AddDevice(), Success);
        },
        [&] { status = dut::StartDevice(); },
        [&](const FaultKind &fault, size_t n) {
            EXPECT_TRUE(IsResourceFailure(status)) << fault.name << " #" << n << " " << std::hex << status;
            EXPECT_TRUE(dut::InterfacePath().empty()) << "the control channel stays disabled";
        },
        // Every worker is waited for, also one whose thread object could not
        // be referenced: teardown needs no time-out.
        [] { EXPECT_EQ(UnloadInVirtualTime(), 0); });
    // Both pipes' pages, views and threads, and each subdevice's objects.
    EXPECT_GE(swept, 12u);
}

TEST(FaultSweep, EveryFailureInPipeOpenLeavesThePipeDetached)
{
    ASSERT_TRUE(dut::Load());
    for (bool is32Bit : {false, true}) {
        ClientProcess process(is32Bit);
        InProcess in(process);
        PEPROCESS client = kernel::CurrentProcess();
        const CommonDataDesc &block = dut::Block(PipeCapture);
        Status status = Success;
        Handle pipe = nullptr;
        const size_t swept = Sweep(
            [] {}, [&] { status = OpenPipe(PipeCapture, &pipe); },
            [&](const FaultKind &fault, size_t n) {
                EXPECT_NE(status, Success) << fault.name << " #" << n;
                EXPECT_EQ(block.BufferAddress, 0u) << fault.name << " #" << n;
                EXPECT_EQ(block.PipeReady, 0) << fault.name << " #" << n;
                EXPECT_FALSE(dut::PipeIsReady(PipeCapture));
                EXPECT_EQ(kernel::UserMappingCount(client), 0u) << fault.name << " #" << n;
            },
            [&] {
                if (status == Success)
                    boundary::CloseHandle(pipe);
            });
        EXPECT_GE(swept, 2u) << "both user mappings";
        ASSERT_EQ(OpenPipe(PipeCapture, &pipe), Success);
        EXPECT_NE(block.BufferAddress, 0u);
        EXPECT_EQ(kernel::UserMappingCount(client), 2u);
        ASSERT_EQ(boundary::CloseHandle(pipe), Success);
        EXPECT_EQ(kernel::UserMappingCount(client), 0u);
    }
    dut::Unload();
}

// A stream's resources: the stream object, its buffer's descriptor and view,
// the notification event's node and the position register's view.
TEST(FaultSweep, EveryFailureOfAStreamGivesItsStatusAndLeavesTheEndpointUsable)
{
    ASSERT_TRUE(dut::Load());
    {
        host_client::ManualHost host(PipeCapture);
        ASSERT_EQ(host.Attach({48000, 16, 2, 2, 0x3}), Success);
        Engine engine(PipeCapture);
        Handle notification = nullptr;
        boundary::EnterProcess(engine.Process());
        ASSERT_EQ(boundary::CreateEvent(false, false, &notification), Success);
        boundary::LeaveProcess();
        // The engine's whole open: the stream, its buffer, its event and its
        // register; the first refusal ends it.
        Status status = Success;
        const char *failedAt = nullptr;
        auto open = [&] {
            failedAt = nullptr;
            status = engine.Open({48000, 16, 2, 2, 0x3});
            failedAt = "stream";
            if (status == Success) {
                status = engine.AllocateBuffer(1920);
                failedAt = "buffer";
            }
            if (status == Success) {
                boundary::EnterProcess(engine.Process());
                status = engine.Pin().RegisterEvent(notification);
                failedAt = "event";
                if (status == Success) {
                    KSRTAUDIO_HWREGISTER hardware = {};
                    status = engine.Pin().PositionRegister(&hardware);
                    failedAt = "register";
                    if (status == Success)
                        engine.Pin().UnregisterEvent(notification);
                }
                boundary::LeaveProcess();
            }
        };
        const size_t swept = Sweep(
            [] {}, open,
            [&](const FaultKind &fault, size_t n) {
                EXPECT_TRUE(IsResourceFailure(status))
                    << fault.name << " #" << n << " at the " << failedAt << " " << std::hex << status;
            },
            [&] {
                engine.Close();
                EXPECT_EQ(dut::Block(PipeCapture).StreamAttached, 0) << "closed again";
                EXPECT_EQ(dut::Block(PipeCapture).BufferSizeFrames, 0u);
            });
        EXPECT_GE(swept, 4u) << "the stream, the buffer's descriptor and view, the event's node";
        open();
        EXPECT_EQ(status, Success) << "the endpoint still streams";
        engine.Close();
    }
    dut::Unload();
}

} // namespace
} // namespace core_tests
