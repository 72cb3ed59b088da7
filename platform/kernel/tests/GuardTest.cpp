// Structured exception handling as drivers get it: an access fault inside a
// guard is that thread's STATUS_ACCESS_VIOLATION and everything goes on; the
// probes of user buffers raise as Windows' do; a fault outside any guard is a
// bug check that names the address and the code.
#include <guarded_call.h>
#include <kernel_standin.h>
#include "TestPages.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <thread>

namespace sk = standin::kernel;

namespace {

struct Touch {
    volatile char *at;
    bool write;
    char value = 0;
};

NTSTATUS TouchRoutine(PVOID context)
{
    auto t = static_cast<Touch *>(context);
    if (t->write)
        *t->at = 1;
    else
        t->value = *t->at;
    return STATUS_SUCCESS;
}

// A page that faults on every access (released at the end of the test).
class NoAccessPage {
public:
    NoAccessPage() : page_(static_cast<char *>(mmap(nullptr, PAGE_SIZE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)))
    {}
    ~NoAccessPage() { munmap(page_, PAGE_SIZE); }
    char *get() const { return page_; }

private:
    char *page_;
};

TEST(Guard, AFaultInsideAGuardIsTheThreadsAccessViolation)
{
    NoAccessPage page;
    for (bool write : {false, true}) {
        Touch t{page.get() + 8, write};
        EXPECT_EQ(GuardedCall(TouchRoutine, &t), STATUS_ACCESS_VIOLATION) << write;
        EXPECT_EQ(sk::LastGuardedFaultAddress(), page.get() + 8);
    }
    // The machine goes on: another thread faults in its own guard meanwhile,
    // and a guarded call that does not fault returns its own status.
    std::thread other([&] {
        Touch t{page.get(), false};
        EXPECT_EQ(GuardedCall(TouchRoutine, &t), STATUS_ACCESS_VIOLATION);
    });
    other.join();
    char fine = 5;
    Touch ok{&fine, false};
    EXPECT_EQ(GuardedCall(TouchRoutine, &ok), STATUS_SUCCESS);
    EXPECT_EQ(ok.value, 5);
}

struct Nested {
    char *page;
    NTSTATUS inner = -1;
};

TEST(Guard, TheInnermostGuardCatchesAndTheOuterGoesOn)
{
    NoAccessPage page;
    Nested n{page.get()};
    NTSTATUS outer = GuardedCall(
        [](PVOID c) -> NTSTATUS {
            auto n = static_cast<Nested *>(c);
            Touch t{n->page, false};
            n->inner = GuardedCall(TouchRoutine, &t);
            return STATUS_DEVICE_BUSY; // the outer routine carries on after the inner fault
        },
        &n);
    EXPECT_EQ(n.inner, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(outer, STATUS_DEVICE_BUSY);
}

TEST(Guard, AViewRetiredWithItsProcessFaultsInsideTheGuard)
{
    PMDL mdl = AllocatePages(PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    PEPROCESS client = sk::CreateProcess(false);
    char *view;
    {
        sk::ProcessScope in(client);
        view = static_cast<char *>(
            MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority));
    }
    Touch t{view, true};
    EXPECT_EQ(GuardedCall(TouchRoutine, &t), STATUS_SUCCESS);
    sk::EndProcess(client);
    EXPECT_EQ(GuardedCall(TouchRoutine, &t), STATUS_ACCESS_VIOLATION);
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
}

struct Probe {
    volatile void *address;
    SIZE_T length;
    ULONG alignment;
    bool write;
};

NTSTATUS ProbeRoutine(PVOID context)
{
    auto p = static_cast<Probe *>(context);
    if (p->write)
        ProbeForWrite(p->address, p->length, p->alignment);
    else
        ProbeForRead(p->address, p->length, p->alignment);
    return STATUS_SUCCESS;
}

NTSTATUS Probed(volatile void *address, SIZE_T length, ULONG alignment, bool write)
{
    Probe p{address, length, alignment, write};
    return GuardedCall(ProbeRoutine, &p);
}

TEST(Probe, AlignmentAndRangeFollowWindows)
{
    alignas(16) char buffer[64] = {};
    for (bool write : {false, true}) {
        EXPECT_EQ(Probed(buffer, sizeof buffer, 8, write), STATUS_SUCCESS);
        EXPECT_EQ(Probed(buffer + 2, 8, 4, write), STATUS_DATATYPE_MISALIGNMENT) << write;
        EXPECT_EQ(Probed(buffer + 1, 8, 1, write), STATUS_SUCCESS);
        // A range that wraps or reaches the system's half of the address space.
        EXPECT_EQ(Probed(reinterpret_cast<void *>(~uintptr_t(0) - 8), 64, 1, write), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(Probed(reinterpret_cast<void *>(MmUserProbeAddress - 4), 8, 1, write), STATUS_ACCESS_VIOLATION);
        // Nothing is probed for an empty range, however bad its address.
        EXPECT_EQ(Probed(reinterpret_cast<void *>(3), 0, 4, write), STATUS_SUCCESS);
    }
}

TEST(Probe, WriteProbeTouchesEveryPage)
{
    char *pages =
        static_cast<char *>(mmap(nullptr, 3 * PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    pages[PAGE_SIZE + 7] = 42;
    EXPECT_EQ(Probed(pages, 3 * PAGE_SIZE, 1, true), STATUS_SUCCESS);
    EXPECT_EQ(pages[PAGE_SIZE + 7], 42) << "probing keeps the contents";
    mprotect(pages + 2 * PAGE_SIZE, PAGE_SIZE, PROT_READ);
    EXPECT_EQ(Probed(pages, 3 * PAGE_SIZE, 1, true), STATUS_ACCESS_VIOLATION) << "the last page is read-only";
    EXPECT_EQ(Probed(pages, 3 * PAGE_SIZE, 1, false), STATUS_SUCCESS) << "a read probe only checks the range";
    munmap(pages, 3 * PAGE_SIZE);
}

class GuardDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(GuardDeathTest, AFaultOutsideAnyGuardIsABugCheckWithItsAddressAndCode)
{
    NoAccessPage page;
    Touch t{page.get() + 16, true};
    EXPECT_DEATH(
        TouchRoutine(&t),
        "STOP: 0x0000001E \\(0x00000000C0000005, 0x[0-9A-F]+, 0x0000000000000001, 0x[0-9A-F]+\\) "
        "KMODE_EXCEPTION_NOT_HANDLED\n.*access violation \\(write of address 0x[0-9a-f]+10, .* outside any guard");
}

} // namespace
