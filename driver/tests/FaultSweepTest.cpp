// Every failure the platform can inject into pipe start and pipe open: each
// gives its status, leaves nothing mapped or referenced, and the driver
// still unloads without a leak (the platform's unload check stops the test
// process otherwise).
#include <kernel_standin.h>
#include <atomic>
#include <thread>
#include "CoreClient.h"

namespace core_tests {
namespace {

namespace kernel = standin::kernel;
using kernel::Fault;

struct FaultKind {
    Fault kind;
    const char *name;
    Status expected;
};

const FaultKind Kinds[] = {
    {Fault::PoolAllocation, "pool", InsufficientResources},
    {Fault::PageAllocation, "pages", InsufficientResources},
    {Fault::ShortPages, "short pages", InsufficientResources},
    {Fault::MdlAllocation, "MDL", InsufficientResources},
    {Fault::SystemMapping, "system mapping", InsufficientResources},
    {Fault::UserMapping, "user mapping", InsufficientResources},
    {Fault::ThreadCreation, "thread", InsufficientResources},
    {Fault::ObjectReference, "reference", InvalidHandle},
};

size_t CountStartOperations(Fault kind)
{
    EXPECT_EQ(core_device::LoadAndAdd(), Success);
    kernel::ResetFaults();
    EXPECT_EQ(core_device::Start(), Success);
    const size_t count = kernel::OperationCount(kind);
    core_device::Unload();
    return count;
}

// Unloads on the virtual clock, moving it on whenever the unload waits with a
// time-out; returns the virtual time the unload took.
int64_t UnloadInVirtualTime()
{
    kernel::UseVirtualClock(true);
    const int64_t start = kernel::Now();
    std::atomic<bool> done{false};
    std::thread unloader([&] {
        core_device::Unload();
        done = true;
    });
    while (!done) {
        if (kernel::BlockedWaiters(true) > 0)
            kernel::AdvanceClock(OneSecond / 10);
        else
            std::this_thread::yield();
    }
    unloader.join();
    const int64_t took = kernel::Now() - start;
    kernel::UseVirtualClock(false);
    return took;
}

TEST(FaultSweep, EveryFailureInPipeStartFailsTheStartAndLeaksNothing)
{
    size_t swept = 0;
    for (const FaultKind &fault : Kinds) {
        const size_t count = CountStartOperations(fault.kind);
        for (size_t n = 1; n <= count; ++n) {
            ASSERT_EQ(core_device::LoadAndAdd(), Success);
            kernel::ResetFaults();
            kernel::FailNth(fault.kind, n);
            EXPECT_EQ(core_device::Start(), fault.expected) << fault.name << " #" << n;
            EXPECT_EQ(kernel::InjectedFailures(fault.kind), 1u) << fault.name << " #" << n;
            EXPECT_TRUE(core_device::InterfacePath().empty()) << "the interface stays disabled";
            // Every worker is waited for, also one whose thread object could
            // not be referenced: teardown needs no time-out.
            EXPECT_EQ(UnloadInVirtualTime(), 0) << fault.name << " #" << n;
            ++swept;
        }
    }
    // The pages, both system mappings and the thread of each pipe at least.
    EXPECT_GE(swept, 8u);
    kernel::ResetFaults();
}

TEST(FaultSweep, EveryFailureInPipeOpenLeavesThePipeDetached)
{
    ASSERT_TRUE(core_device::Load());
    for (bool is32Bit : {false, true}) {
        ClientProcess process(is32Bit);
        InProcess in(process);
        PEPROCESS client = kernel::CurrentProcess();
        const CommonDataDesc &block = core_device::Block(PipeCapture);
        size_t swept = 0;
        for (const FaultKind &fault : Kinds) {
            kernel::ResetFaults();
            Handle pipe = nullptr;
            ASSERT_EQ(OpenPipe(PipeCapture, &pipe), Success);
            ASSERT_EQ(boundary::CloseHandle(pipe), Success);
            const size_t count = kernel::OperationCount(fault.kind);
            for (size_t n = 1; n <= count; ++n) {
                kernel::ResetFaults();
                kernel::FailNth(fault.kind, n);
                const Status status = OpenPipe(PipeCapture, &pipe);
                if (kernel::InjectedFailures(fault.kind) == 0)
                    continue; // the operation came before the driver's part
                EXPECT_NE(status, Success) << fault.name << " #" << n;
                if (status == Success)
                    boundary::CloseHandle(pipe);
                EXPECT_EQ(block.BufferAddress, 0u) << fault.name << " #" << n;
                EXPECT_EQ(block.PipeReady, 0) << fault.name << " #" << n;
                EXPECT_FALSE(core_device::PipeIsReady(PipeCapture));
                EXPECT_EQ(kernel::UserMappingCount(client), 0u) << fault.name << " #" << n;
                ++swept;
            }
        }
        EXPECT_GE(swept, 2u) << "both user mappings";
        // The user mappings give their own status; a later open succeeds.
        for (size_t n : {1, 2}) {
            kernel::ResetFaults();
            kernel::FailNth(Fault::UserMapping, n);
            Handle pipe = nullptr;
            EXPECT_EQ(OpenPipe(PipeCapture, &pipe), InsufficientResources) << "user mapping #" << n;
        }
        kernel::ResetFaults();
        Handle pipe = nullptr;
        ASSERT_EQ(OpenPipe(PipeCapture, &pipe), Success);
        EXPECT_NE(block.BufferAddress, 0u);
        EXPECT_EQ(kernel::UserMappingCount(client), 2u);
        ASSERT_EQ(boundary::CloseHandle(pipe), Success);
        EXPECT_EQ(kernel::UserMappingCount(client), 0u);
    }
    core_device::Unload();
}

} // namespace
} // namespace core_tests
