// The I/O manager and PnP manager seen from a driver: requests built and sent
// as Windows sends them, through the platform's own entry points.
#include "driver/TestDriver.h"

#include <gtest/gtest.h>
#include <io_boundary.h>
#include <io_standin.h>
#include <kernel_standin.h>
#include <wdm.h>

#include <cstring>

namespace io = standin::io;
namespace boundary = standin::io::boundary;
using testdriver::State;

namespace {

constexpr GUID TestClass = {0x1b2c3d4e, 0x5f60, 0x4718, {0x89, 0x9a, 0xab, 0xbc, 0xcd, 0xde, 0xef, 0x01}};

std::string Utf8(const std::u16string &text)
{
    return std::string(text.begin(), text.end()); // the tests use ASCII names only
}

std::u16string Text(PCUNICODE_STRING string)
{
    return std::u16string(reinterpret_cast<const char16_t *>(string->Buffer), string->Length / sizeof(WCHAR));
}

class IoManager : public ::testing::Test {
protected:
    void Load(testdriver::Config config = {})
    {
        config.interfaceClass = TestClass;
        ASSERT_EQ(testdriver::Load(config), STATUS_SUCCESS);
        loaded = true;
        io::ClearCompletions();
    }

    void TearDown() override
    {
        for (boundary::Handle h : handles)
            boundary::CloseHandle(h);
        if (loaded) {
            EXPECT_EQ(testdriver::Unload(), STATUS_SUCCESS);
        }
        EXPECT_EQ(io::OpenFileObjects(), 0u);
    }

    // The user-mode path of the n-th registered interface.
    std::u16string Path(size_t n = 0) const { return u"\\\\?\\" + State().links.at(n).substr(4); }

    NTSTATUS Open(const std::u16string &path, boundary::Handle *handle, uint32_t access = 0xC0000000)
    {
        NTSTATUS status = boundary::OpenFile(path.c_str(), access, 0, 1, 0x60, handle);
        if (NT_SUCCESS(status))
            handles.push_back(*handle);
        return status;
    }

    void Close(boundary::Handle handle)
    {
        EXPECT_EQ(boundary::CloseHandle(handle), STATUS_SUCCESS);
        std::erase(handles, handle);
    }

    bool loaded = false;
    std::vector<boundary::Handle> handles;
};

TEST_F(IoManager, BufferedRequestCopiesBackInformationBytesOnly)
{
    testdriver::Config config;
    config.information = 5;
    Load(config);
    boundary::Handle h;
    ASSERT_EQ(Open(Path(), &h), STATUS_SUCCESS);

    const uint8_t input[6] = {1, 2, 3, 4, 5, 6};
    uint8_t output[16];
    std::memset(output, 0x55, sizeof output);
    uint64_t returned = 99;
    ASSERT_EQ(boundary::DeviceControl(h, testdriver::EchoBuffered, input, 6, output, 16, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 5u);
    // One system buffer of max(input, output) bytes, the input at its start
    // and the verifier's pattern after it (never zeroes a driver could rely on).
    ASSERT_EQ(State().systemBufferAtEntry.size(), 16u);
    EXPECT_EQ(std::memcmp(State().systemBufferAtEntry.data(), input, 6), 0);
    for (size_t i = 6; i < 16; ++i)
        EXPECT_EQ(State().systemBufferAtEntry[i], 0xCD) << i;
    EXPECT_EQ(State().requestorMode, UserMode);
    // Exactly Information bytes come back; the rest of the output is untouched.
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(output[i], 0xC0 + i) << i;
    for (size_t i = 5; i < 16; ++i)
        EXPECT_EQ(output[i], 0x55) << i;
}

// A driver that returns bytes it never wrote hands back the verifier's
// pattern, not zeroes that would pass for data.
TEST_F(IoManager, BytesTheDriverNeverWroteComeBackAsThePattern)
{
    Load();
    boundary::Handle h;
    ASSERT_EQ(Open(Path(), &h), STATUS_SUCCESS);
    const uint8_t input[4] = {1, 2, 3, 4};
    uint8_t output[12];
    std::memset(output, 0, sizeof output);
    uint64_t returned = 0;
    ASSERT_EQ(boundary::DeviceControl(h, testdriver::ReturnUnwritten, input, 4, output, 12, &returned), STATUS_SUCCESS);
    ASSERT_EQ(returned, 12u);
    EXPECT_EQ(output[0], 0x11);
    EXPECT_EQ(output[1], 0x11);
    EXPECT_EQ(output[2], 3) << "the input is where the driver left it";
    for (size_t i = 4; i < 12; ++i)
        EXPECT_EQ(output[i], 0xCD) << i;
}

TEST_F(IoManager, NeitherMethodHandsTheDriverTheCallersPointers)
{
    Load();
    boundary::Handle h;
    ASSERT_EQ(Open(Path(), &h), STATUS_SUCCESS);
    char input[4] = "in", output[4];
    uint64_t returned = 1;
    ASSERT_EQ(boundary::DeviceControl(h, testdriver::SeePointers, input, 4, output, 4, &returned), STATUS_SUCCESS);
    EXPECT_EQ(State().type3Input, input);
    EXPECT_EQ(State().userBuffer, output);
    EXPECT_TRUE(State().systemBufferNull);
    EXPECT_EQ(returned, 0u);
}

TEST_F(IoManager, UnreadableInputIsRefusedBeforeTheDriver)
{
    Load();
    boundary::Handle h;
    ASSERT_EQ(Open(Path(), &h), STATUS_SUCCESS);
    uint8_t output[4];
    uint64_t returned = 7;
    io::ClearCompletions();
    EXPECT_EQ(boundary::DeviceControl(h, testdriver::EchoBuffered, reinterpret_cast<const void *>(uintptr_t(0x10)), 4,
                                      output, 4, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(io::Completions().empty());
}

TEST_F(IoManager, FailureStatusReachesTheCallerWithNoOutput)
{
    testdriver::Config config;
    config.failStatus = STATUS_DEVICE_NOT_READY;
    Load(config);
    boundary::Handle h;
    ASSERT_EQ(Open(Path(), &h), STATUS_SUCCESS);
    uint8_t output[4] = {0x55, 0x55, 0x55, 0x55};
    uint64_t returned = 7;
    EXPECT_EQ(boundary::DeviceControl(h, testdriver::Fail, nullptr, 0, output, 4, &returned), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(output[0], 0x55);
    EXPECT_EQ(boundary::StatusToWin32(STATUS_DEVICE_NOT_READY), 21u);
}

TEST_F(IoManager, AccessBitsOfTheCodeAreCheckedAgainstTheHandle)
{
    Load();
    boundary::Handle readOnly, readWrite;
    ASSERT_EQ(Open(Path(), &readOnly, 0x80000000), STATUS_SUCCESS);
    ASSERT_EQ(Open(Path(), &readWrite), STATUS_SUCCESS);
    uint64_t returned;
    io::ClearCompletions();
    EXPECT_EQ(boundary::DeviceControl(readOnly, testdriver::NeedsWrite, nullptr, 0, nullptr, 0, &returned),
              STATUS_ACCESS_DENIED);
    EXPECT_TRUE(io::Completions().empty()); // refused before the driver saw it
    EXPECT_EQ(boundary::DeviceControl(readWrite, testdriver::NeedsWrite, nullptr, 0, nullptr, 0, &returned),
              STATUS_SUCCESS);
}

TEST_F(IoManager, CompletionRecordsStatusAndPriorityBoost)
{
    Load();
    boundary::Handle h;
    ASSERT_EQ(Open(Path(), &h), STATUS_SUCCESS);
    io::ClearCompletions();
    uint8_t out[1];
    uint64_t returned;
    ASSERT_EQ(boundary::DeviceControl(h, testdriver::Is32Bit, nullptr, 0, out, 1, &returned), STATUS_SUCCESS);
    const auto done = io::Completions();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].majorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(done[0].ioControlCode, testdriver::Is32Bit);
    EXPECT_EQ(done[0].status, STATUS_SUCCESS);
    EXPECT_EQ(done[0].information, 1u);
    EXPECT_EQ(done[0].priorityBoost, IO_SOUND_INCREMENT);
}

TEST_F(IoManager, Is32bitProcessFollowsTheRequestingProcess)
{
    Load();
    const boundary::ProcessId wow = boundary::CreateClientProcess(true);
    const boundary::ProcessId native = boundary::CreateClientProcess(false);
    for (auto [process, expected] : {std::pair{wow, 1}, std::pair{native, 0}}) {
        boundary::EnterProcess(process);
        boundary::Handle h;
        ASSERT_EQ(boundary::OpenFile(Path().c_str(), 0xC0000000, 0, 1, 0, &h), STATUS_SUCCESS);
        EXPECT_EQ(State().createSaw32Bit, expected == 1);
        uint8_t out[1] = {0x55};
        uint64_t returned = 0;
        ASSERT_EQ(boundary::DeviceControl(h, testdriver::Is32Bit, nullptr, 0, out, 1, &returned), STATUS_SUCCESS);
        EXPECT_EQ(out[0], expected);
        boundary::LeaveProcess();
        boundary::EndClientProcess(process);
    }
}

TEST_F(IoManager, ProcessEndSendsCleanupAndCloseInThatProcess)
{
    Load();
    const boundary::ProcessId client = boundary::CreateClientProcess(false);
    boundary::EnterProcess(client);
    boundary::Handle h;
    ASSERT_EQ(boundary::OpenFile(Path().c_str(), 0xC0000000, 0, 1, 0, &h), STATUS_SUCCESS);
    boundary::LeaveProcess();
    EXPECT_EQ(State().createProcess, client);
    EXPECT_EQ(State().cleanups, 0);

    boundary::EndClientProcess(client);
    EXPECT_EQ(State().cleanups, 1);
    EXPECT_EQ(State().closes, 1);
    EXPECT_EQ(State().cleanupProcess, client);
    EXPECT_EQ(State().closeProcess, client);
    EXPECT_EQ(io::OpenFileObjects(), 0u);
}

TEST_F(IoManager, CloseWaitsForTheLastReference)
{
    testdriver::Config config;
    config.holdFileReference = true;
    Load(config);
    boundary::Handle h;
    ASSERT_EQ(Open(Path(), &h), STATUS_SUCCESS);
    Close(h);
    EXPECT_EQ(State().cleanups, 1); // the last handle went
    EXPECT_EQ(State().closes, 0);   // the driver still holds the file object
    testdriver::DropFileReference();
    EXPECT_EQ(State().closes, 1);
}

TEST_F(IoManager, FileNameIsTheRestOfThePathAfterTheLink)
{
    testdriver::Config config;
    config.interfaces = {{u"", true}, {u"Pipe", true}};
    Load(config);
    boundary::Handle h;
    ASSERT_EQ(Open(Path(0) + u"\\e6dc\\Render", &h), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(State().fileName), "\\e6dc\\Render");
    ASSERT_EQ(Open(Path(0), &h), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(State().fileName), "");
    // The reference string leads the file name; the link matches in any case.
    std::u16string upper = Path(1);
    for (char16_t &c : upper)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 32);
    ASSERT_EQ(Open(upper + u"\\more", &h), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(State().fileName), "\\Pipe\\more");
    const std::string link = Utf8(State().links[1]);
    EXPECT_EQ(link.substr(0, 15), "\\??\\ROOT#MEDIA#") << link;
    EXPECT_EQ(link.substr(link.size() - 44), "#{1b2c3d4e-5f60-4718-899a-abbccddeef01}\\Pipe") << link;
}

TEST_F(IoManager, KernelOpensAndCreatesRelativeToAFile)
{
    Load();
    HANDLE filter, pin;
    ASSERT_EQ(io::OpenDevicePath((Path() + u"\\wave_c").c_str(), GENERIC_READ, KernelMode, &filter), STATUS_SUCCESS);
    EXPECT_TRUE(standin::kernel::IsKernelHandle(filter));
    EXPECT_EQ(State().requestorMode, KernelMode);
    const void *filterFile = State().createFile;
    EXPECT_EQ(State().createRelated, nullptr);

    // A pin-style name: a GUID in braces followed by binary data.
    const char16_t name[] = {u'{', u'1', u'}', 0x0000, 0xFFFF, 0x0001};
    ASSERT_EQ(io::OpenRelative(filter, name, 6, GENERIC_READ, KernelMode, &pin), STATUS_SUCCESS);
    EXPECT_EQ(State().createRelated, filterFile);
    EXPECT_EQ(State().fileName, std::u16string(name, 6));

    // The pin holds its filter: closing the filter's handle cleans it up, its
    // close waits for the pin to go.
    EXPECT_EQ(ZwClose(filter), STATUS_SUCCESS);
    EXPECT_EQ(State().cleanups, 1);
    EXPECT_EQ(State().closes, 0);
    EXPECT_EQ(ZwClose(pin), STATUS_SUCCESS);
    EXPECT_EQ(State().cleanups, 2);
    EXPECT_EQ(State().closes, 2);

    // User mode cannot use a kernel handle as the parent.
    ASSERT_EQ(io::OpenDevicePath(Path().c_str(), GENERIC_READ, KernelMode, &filter), STATUS_SUCCESS);
    EXPECT_EQ(io::OpenRelative(filter, name, 3, GENERIC_READ, UserMode, &pin), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(filter), STATUS_SUCCESS);
}

TEST_F(IoManager, OnlyEnabledInterfacesOpen)
{
    testdriver::Config config;
    config.interfaces = {{u"", false}};
    Load(config);
    boundary::Handle h;
    EXPECT_EQ(Open(Path(), &h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(Path() + u"\\x", &h), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(State().creates, 0);
    EXPECT_EQ(Open(u"C:\\file.txt", &h), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(IoManager, RefusedCreateSendsNeitherCleanupNorClose)
{
    testdriver::Config config;
    config.createStatus = STATUS_ACCESS_DENIED;
    Load(config);
    boundary::Handle h = nullptr;
    EXPECT_EQ(Open(Path(), &h), STATUS_ACCESS_DENIED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(State().creates, 1);
    EXPECT_EQ(State().cleanups, 0);
    EXPECT_EQ(State().closes, 0);
}

TEST_F(IoManager, PendingRequestIsWaitedFor)
{
    Load();
    boundary::Handle h;
    ASSERT_EQ(Open(Path(), &h), STATUS_SUCCESS);
    char out[8] = {};
    uint64_t returned = 0;
    EXPECT_EQ(boundary::DeviceControl(h, testdriver::CompleteLater, nullptr, 0, out, 8, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::string(out, 4), "PEND");
}

TEST_F(IoManager, PnpStartsRemovesAndUnloadsInOrder)
{
    Load();
    EXPECT_EQ(State().starts, 1);
    EXPECT_TRUE(State().startHadResources);
    ASSERT_EQ(testdriver::AddDevice(), STATUS_SUCCESS); // a second device, its own instance
    ASSERT_EQ(State().links.size(), 2u);
    EXPECT_NE(State().links[0], State().links[1]);

    boundary::Handle h;
    ASSERT_EQ(Open(Path(1), &h), STATUS_SUCCESS);
    EXPECT_EQ(testdriver::Unload(), STATUS_DEVICE_BUSY); // nothing done while a file is open
    EXPECT_EQ(State().removes, 0);
    Close(h);
    EXPECT_EQ(testdriver::Unload(), STATUS_SUCCESS);
    loaded = false;
    EXPECT_EQ(State().removes, 2);
    EXPECT_EQ(State().unloads, 1);
    // The interfaces went with the devices.
    EXPECT_TRUE(boundary::PresentInterfaces(&TestClass).empty());
}

// The PnP manager finishes the devices made in add-device: a driver that
// forgets to clear DO_DEVICE_INITIALIZING there still gets its opens.
TEST_F(IoManager, AddDeviceLeavesNoDeviceInitializing)
{
    testdriver::Config config;
    config.clearInitializing = false;
    Load(config);
    boundary::Handle h;
    EXPECT_EQ(Open(Path(), &h), STATUS_SUCCESS);
}

// Kernel-mode requests come from no 32-bit process, whichever the thread is in.
TEST_F(IoManager, KernelModeRequestsAreNot32Bit)
{
    Load();
    const boundary::ProcessId wow = boundary::CreateClientProcess(true);
    boundary::EnterProcess(wow);
    HANDLE file;
    ASSERT_EQ(io::OpenDevicePath(Path().c_str(), GENERIC_READ, KernelMode, &file), STATUS_SUCCESS);
    EXPECT_FALSE(State().createSaw32Bit);
    uint8_t out[1] = {0x55};
    ULONG_PTR returned = 0;
    ASSERT_EQ(io::DeviceControl(file, KernelMode, testdriver::Is32Bit, nullptr, 0, out, 1, &returned), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    boundary::LeaveProcess();
    boundary::EndClientProcess(wow);
}

// A user buffer the caller cannot write is refused before the driver, as the
// I/O manager probes both buffers of a buffered request.
TEST_F(IoManager, UnwritableOutputIsRefusedBeforeTheDriver)
{
    Load();
    boundary::Handle h;
    ASSERT_EQ(Open(Path(), &h), STATUS_SUCCESS);
    io::ClearCompletions();
    uint64_t returned = 7;
    const uint8_t readOnly[4] = {1, 2, 3, 4};
    static const uint8_t constant[4096] = {1};
    EXPECT_EQ(boundary::DeviceControl(h, testdriver::EchoBuffered, readOnly, 4, const_cast<uint8_t *>(constant), 4,
                                      &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(boundary::DeviceControl(h, testdriver::EchoBuffered, readOnly, 4, reinterpret_cast<void *>(uintptr_t(16)),
                                      4, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(io::Completions().empty());
    EXPECT_EQ(constant[0], 1);
    EXPECT_EQ(boundary::StatusToWin32(STATUS_ACCESS_VIOLATION), 998u) << "ERROR_NOACCESS";
    EXPECT_EQ(boundary::StatusToWin32(STATUS_PROCESS_IS_TERMINATING), 5u) << "ERROR_ACCESS_DENIED";
}

TEST_F(IoManager, CountedStringRoutines)
{
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, L"Render");
    RtlInitUnicodeString(&b, L"RENDER");
    EXPECT_EQ(a.Length, 12u);
    EXPECT_EQ(a.MaximumLength, 14u);
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    UNICODE_STRING shorter;
    RtlInitUnicodeString(&shorter, L"Rend");
    EXPECT_LT(RtlCompareUnicodeString(&shorter, &a, TRUE), 0);
    WCHAR storage[4];
    UNICODE_STRING cut{0, sizeof storage, storage};
    RtlCopyUnicodeString(&cut, &a);
    EXPECT_EQ(cut.Length, sizeof storage); // cut to the capacity, no room for a terminator
    EXPECT_EQ(std::memcmp(storage, L"Rend", 8), 0);
}

// Every pool allocation of loading, adding and starting the test driver made
// to fail in turn: each failure is reported and the unload finds nothing left
// (the leak check would stop the test).
TEST(PnpFaults, EveryPoolFailureOfTheDeviceLifeIsCleanedUp)
{
    namespace kernel = standin::kernel;
    testdriver::Config config;
    config.interfaceClass = TestClass;
    config.interfaces = {{u"", true}, {u"Second", true}};
    kernel::ResetFaults();
    ASSERT_EQ(testdriver::Load(config), STATUS_SUCCESS);
    const size_t operations = kernel::OperationCount(kernel::Fault::PoolAllocation);
    ASSERT_EQ(testdriver::Unload(), STATUS_SUCCESS);
    ASSERT_GE(operations, 3u); // the device object and two link names
    for (size_t n = 1; n <= operations; ++n) {
        kernel::ResetFaults();
        kernel::FailNth(kernel::Fault::PoolAllocation, n);
        EXPECT_EQ(testdriver::Load(config), STATUS_INSUFFICIENT_RESOURCES) << n;
        EXPECT_EQ(kernel::InjectedFailures(kernel::Fault::PoolAllocation), 1u) << n;
        EXPECT_TRUE(boundary::PresentInterfaces(&TestClass).empty()) << n;
        EXPECT_EQ(testdriver::Unload(), STATUS_SUCCESS) << n;
    }
    kernel::ResetFaults();
}

std::string registryPathSeen, driverNameSeen;
bool failingUnloadCalled = false;

VOID FailingUnload(PDRIVER_OBJECT)
{
    failingUnloadCalled = true;
}

NTSTATUS FailingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    registryPathSeen = Utf8(Text(registryPath));
    driverNameSeen = Utf8(Text(&driver->DriverName));
    driver->DriverUnload = &FailingUnload;
    return STATUS_UNSUCCESSFUL;
}

TEST(Pnp, FailedEntryUnloadsWithoutTheUnloadRoutine)
{
    PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(1);
    EXPECT_EQ(io::LoadDriver(&FailingEntry, "Failing", &driver), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver, nullptr);
    EXPECT_FALSE(failingUnloadCalled);
    EXPECT_EQ(registryPathSeen, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Failing");
    EXPECT_EQ(driverNameSeen, "\\Driver\\Failing");
}

// ---- Misuse the verifier stops ------------------------------------------------

using IoManagerDeathTest = IoManager;

void SendMisuse(uint32_t code)
{
    testdriver::Config config;
    config.interfaceClass = TestClass;
    if (testdriver::Load(config) != STATUS_SUCCESS)
        return;
    boundary::Handle h;
    const std::u16string path = u"\\\\?\\" + State().links.at(0).substr(4);
    if (boundary::OpenFile(path.c_str(), 0xC0000000, 0, 1, 0, &h) != STATUS_SUCCESS)
        return;
    uint8_t out[4];
    uint64_t returned;
    boundary::DeviceControl(h, code, nullptr, 0, out, 4, &returned);
}

// A driver that claims more bytes than the caller's output buffer holds.
void ClaimMoreThanTheOutput()
{
    testdriver::Config config;
    config.interfaceClass = TestClass;
    config.information = 40;
    if (testdriver::Load(config) != STATUS_SUCCESS)
        return;
    boundary::Handle h;
    const std::u16string path = u"\\\\?\\" + State().links.at(0).substr(4);
    if (boundary::OpenFile(path.c_str(), 0xC0000000, 0, 1, 0, &h) != STATUS_SUCCESS)
        return;
    uint8_t input[24] = {};
    uint8_t output[8];
    uint64_t returned;
    boundary::DeviceControl(h, testdriver::EchoBuffered, input, 24, output, 8, &returned);
}

TEST_F(IoManagerDeathTest, InformationBeyondTheOutputBuffer)
{
    EXPECT_DEATH(ClaimMoreThanTheOutput(),
                 "STOP: 0x000000C9 \\(0x0000000000000104, .*, 0x0000000000000028, 0x0000000000000008\\)");
}

TEST_F(IoManagerDeathTest, RequestCompletedTwice)
{
    EXPECT_DEATH(SendMisuse(testdriver::CompleteTwice), "STOP: 0x00000044.*IoCompleteRequest");
}

TEST_F(IoManagerDeathTest, PendingReturnedWithoutMarking)
{
    EXPECT_DEATH(SendMisuse(testdriver::PendingUnmarked), "STOP: 0x000000C9 \\(0x0000000000000100");
}

TEST_F(IoManagerDeathTest, StatusReturnedForARequestNeverCompleted)
{
    EXPECT_DEATH(SendMisuse(testdriver::ReturnWithoutCompleting), "STOP: 0x000000C9 \\(0x0000000000000102");
}

TEST_F(IoManagerDeathTest, DispatchReturningAtAnotherIrql)
{
    EXPECT_DEATH(SendMisuse(testdriver::ReturnAtRaisedIrql), "STOP: 0x000000C9 \\(0x0000000000000005, .*, "
                                                             "0x0000000000000000, 0x0000000000000002\\)");
}

TEST_F(IoManagerDeathTest, CompletedWithItsCancelRoutineSet)
{
    EXPECT_DEATH(SendMisuse(testdriver::CompleteWithCancelRoutine), "STOP: 0x000000C9 \\(0x0000000000000007");
}

TEST_F(IoManagerDeathTest, MarkedPendingButCompletedWithAnotherStatus)
{
    EXPECT_DEATH(SendMisuse(testdriver::MarkPendingButComplete), "STOP: 0x000000C9 \\(0x0000000000000101");
}

void LoadAndOpen(const testdriver::Config &base)
{
    testdriver::Config config = base;
    config.interfaceClass = TestClass;
    if (testdriver::Load(config) != STATUS_SUCCESS)
        return;
    boundary::Handle h;
    const std::u16string path = u"\\\\?\\" + State().links.at(0).substr(4);
    boundary::OpenFile(path.c_str(), 0xC0000000, 0, 1, 0, &h);
}

TEST_F(IoManagerDeathTest, OpenOfADeviceStillInitializing)
{
    testdriver::Config config;
    config.initializingAfterStart = true;
    EXPECT_DEATH(LoadAndOpen(config), "STOP: 0x000000C9 \\(0x0000000000000105");
}

TEST_F(IoManagerDeathTest, UnloadLeavingADevice)
{
    testdriver::Config config;
    config.keepDeviceAtUnload = true;
    EXPECT_DEATH(
        {
            config.interfaceClass = TestClass;
            testdriver::Load(config);
            testdriver::Unload();
        },
        "STOP: 0x000000CE .*\n.*in DriverUnload");
}

TEST_F(IoManagerDeathTest, UnloadWithPoolStillHeld)
{
    EXPECT_DEATH(
        {
            testdriver::Config config;
            config.interfaceClass = TestClass;
            config.leakPool = true;
            testdriver::Load(config);
            testdriver::Unload();
        },
        "NonPagedPoolNx 'Test' x1");
}

} // namespace
