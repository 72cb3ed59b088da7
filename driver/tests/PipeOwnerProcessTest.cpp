// The client's views belong to the process that opened the pipe: a close that
// arrives in another process (the last handle was duplicated into it) removes
// them from the owner's process and touches nothing of its own.
#include <kernel_standin.h>
#include "CoreClient.h"

namespace core_tests {
namespace {

namespace kernel = standin::kernel;

PEPROCESS Process(const ClientProcess &process) { return reinterpret_cast<PEPROCESS>(process.id); }

class PipeOwnerProcess : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dut::Load()); }
    void TearDown() override
    {
        owner.End();
        other.End();
        dut::Unload(); // stops the test when the driver keeps a process reference
    }

    ClientProcess owner;
    ClientProcess other;
};

TEST_F(PipeOwnerProcess, TheLastCloseInAnotherProcessUnmapsFromTheOwner)
{
    Handle pipe = nullptr;
    {
        InProcess in(owner);
        ASSERT_EQ(OpenPipe(PipeRender, &pipe), Success);
        ASSERT_NE(GetCommonData(pipe), 0u);
    }
    EXPECT_EQ(kernel::UserMappingCount(Process(owner)), 2u) << "the block and the buffer";

    Handle duplicate = nullptr;
    ASSERT_EQ(boundary::DuplicateHandle(owner.id, pipe, other.id, &duplicate, 0, true, false), Success);
    {
        InProcess in(owner);
        ASSERT_EQ(boundary::CloseHandle(pipe), Success);
    }
    EXPECT_EQ(kernel::UserMappingCount(Process(owner)), 2u) << "the duplicate keeps the pipe open";
    EXPECT_TRUE(dut::PipeIsReady(PipeRender) || dut::Block(PipeRender).BufferAddress != 0);

    {
        InProcess in(other); // cleanup and close arrive here
        ASSERT_EQ(boundary::CloseHandle(duplicate), Success);
    }
    EXPECT_EQ(kernel::UserMappingCount(Process(owner)), 0u);
    EXPECT_EQ(kernel::UserMappingCount(Process(other)), 0u);
    EXPECT_EQ(dut::Block(PipeRender).BufferAddress, 0u);
    EXPECT_FALSE(dut::PipeIsReady(PipeRender));

    // The pipe is free again, for a client of any process.
    InProcess in(other);
    Handle again = nullptr;
    ASSERT_EQ(OpenPipe(PipeRender, &again), Success);
    EXPECT_EQ(kernel::UserMappingCount(Process(other)), 2u);
    ASSERT_EQ(boundary::CloseHandle(again), Success);
    EXPECT_EQ(kernel::UserMappingCount(Process(other)), 0u);
}

TEST_F(PipeOwnerProcess, TheOwnerEndingWithTheDuplicateOpenLeavesTheViewsToItsClose)
{
    Handle pipe = nullptr;
    {
        InProcess in(owner);
        ASSERT_EQ(OpenPipe(PipeCapture, &pipe), Success);
    }
    Handle duplicate = nullptr;
    ASSERT_EQ(boundary::DuplicateHandle(owner.id, pipe, other.id, &duplicate, 0, true, true), Success);
    EXPECT_EQ(kernel::HandleCount(Process(owner)), 0u) << "the source handle went with the duplication";
    {
        InProcess in(other);
        ASSERT_EQ(boundary::CloseHandle(duplicate), Success);
    }
    EXPECT_EQ(kernel::UserMappingCount(Process(owner)), 0u);
    EXPECT_EQ(dut::Block(PipeCapture).BufferAddress, 0u);
}

} // namespace
} // namespace core_tests
