// IRPs on a stack of two devices: stack locations, completion routines that
// take a request back, pending propagation, and the stack checks.
#include <gtest/gtest.h>
#include <io_standin.h>
#include <kernel_standin.h>
#include <wdm.h>

#include <vector>

namespace io = standin::io;

namespace {

struct Trace {
    std::vector<PDEVICE_OBJECT> dispatched;
    std::vector<PDEVICE_OBJECT> routineDevices;
    bool pendingReturnedInRoutine = false;
    PIRP held = nullptr;
    bool lowerPends = false;
};
Trace trace;

DRIVER_OBJECT upperDriver, lowerDriver;
PDEVICE_OBJECT upper, lower;

NTSTATUS TakeBack(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    trace.routineDevices.push_back(device);
    trace.pendingReturnedInRoutine = irp->PendingReturned != FALSE;
    // The upper driver returned the lower one's STATUS_PENDING: its own
    // location is marked here, as drivers do.
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return *static_cast<NTSTATUS *>(context);
}

NTSTATUS UpperDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    trace.dispatched.push_back(device);
    static NTSTATUS routineResult;
    routineResult = STATUS_MORE_PROCESSING_REQUIRED;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &TakeBack, &routineResult, TRUE, TRUE, TRUE);
    const NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING)
        return STATUS_PENDING; // the completion routine marks the request
    // The routine took the request back: finish it here, as a driver that
    // waits for the lower one does.
    irp->IoStatus.Information = 7;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS LowerDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    trace.dispatched.push_back(device);
    if (trace.lowerPends) {
        IoMarkIrpPending(irp);
        trace.held = irp;
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class IrpStack : public ::testing::Test {
protected:
    void SetUp() override
    {
        trace = Trace{};
        upperDriver = DRIVER_OBJECT{};
        lowerDriver = DRIVER_OBJECT{};
        for (auto &f : upperDriver.MajorFunction)
            f = &UpperDispatch;
        for (auto &f : lowerDriver.MajorFunction)
            f = &LowerDispatch;
        ASSERT_EQ(IoCreateDevice(&lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(&upperDriver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
        io::ClearCompletions();
    }
    void TearDown() override
    {
        IoDetachDevice(lower);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
    }

    PIRP Build()
    {
        PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        return irp;
    }
};

TEST_F(IrpStack, AttachingStacksTheDevices)
{
    EXPECT_EQ(upper->StackSize, 2);
    EXPECT_EQ(lower->AttachedDevice, upper);
    EXPECT_EQ(IoGetAttachedDevice(lower), upper);
    EXPECT_NE(upper->DeviceExtension, nullptr);
    EXPECT_TRUE(upper->Flags & DO_DEVICE_INITIALIZING);
}

TEST_F(IrpStack, CompletionRoutineTakesTheRequestBack)
{
    PIRP irp = Build();
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
    ASSERT_EQ(trace.dispatched.size(), 2u);
    EXPECT_EQ(trace.dispatched[0], upper);
    EXPECT_EQ(trace.dispatched[1], lower);
    // The routine ran for the upper device, and the request completed once
    // for good, when the upper driver finished it.
    ASSERT_EQ(trace.routineDevices.size(), 1u);
    EXPECT_EQ(trace.routineDevices[0], upper);
    const auto done = io::Completions();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].information, 7u);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoFreeIrp(irp);
}

TEST_F(IrpStack, PendingIsSeenByTheRoutineAboveThePendingDriver)
{
    trace.lowerPends = true;
    PIRP irp = Build();
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_PENDING);
    EXPECT_TRUE(trace.routineDevices.empty());
    // The lower driver completes later; the upper routine sees PendingReturned.
    trace.held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(trace.held, IO_NO_INCREMENT);
    ASSERT_EQ(trace.routineDevices.size(), 1u);
    EXPECT_TRUE(trace.pendingReturnedInRoutine);
    EXPECT_TRUE(io::Completions().empty()); // taken back, not yet complete
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(io::Completions().size(), 1u);
    IoFreeIrp(irp);
}

using IrpStackDeathTest = IrpStack;

TEST_F(IrpStackDeathTest, NoStackLocationLeft)
{
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE); // one location for a stack of two
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IoCallDriver(upper, irp);
        },
        "STOP: 0x00000035");
}

TEST_F(IrpStackDeathTest, DeletingADeviceStillAttached)
{
    EXPECT_DEATH(IoDeleteDevice(upper), "STOP: 0x000000C9 \\(0x0000000000000103");
}

TEST_F(IrpStackDeathTest, CompletingAFreedRequest)
{
    EXPECT_DEATH(
        {
            PIRP irp = Build();
            IoCallDriver(upper, irp);
            IoFreeIrp(irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "STOP: 0x00000044");
}

} // namespace
