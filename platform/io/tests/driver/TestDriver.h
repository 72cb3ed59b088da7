// A small driver written with the kernel API only, for the tests of the I/O
// manager and of the Win32 side. Its interface to the tests carries no wchar_t
// (text is char16_t), so client-side tests (4-byte wchar_t) use it too.
#pragma once

#include <guiddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace testdriver {

// Device-control codes the driver answers (device type 0x22).
constexpr uint32_t Code(uint32_t function, uint32_t method, uint32_t access)
{
    return (0x22u << 16) | (access << 14) | (function << 2) | method;
}
// Buffered: records what it was given, fills the whole system buffer with
// 0xC0 + index and completes with Information = Config::information.
constexpr uint32_t EchoBuffered = Code(0x800, 0, 0);
// Neither: records the caller's pointers, completes with 0 bytes.
constexpr uint32_t SeePointers = Code(0x801, 3, 0);
// Buffered and needing write access: completes with 0.
constexpr uint32_t NeedsWrite = Code(0x802, 0, 2);
// Buffered: completes with Config::failStatus.
constexpr uint32_t Fail = Code(0x803, 0, 0);
// Buffered: marks the request pending, completes it from a system thread
// with 4 bytes 'P','E','N','D'.
constexpr uint32_t CompleteLater = Code(0x804, 0, 0);
// Misuse the verifier must stop.
constexpr uint32_t CompleteTwice = Code(0x805, 0, 0);
constexpr uint32_t PendingUnmarked = Code(0x806, 0, 0); // completed later, never marked
constexpr uint32_t ReturnWithoutCompleting = Code(0x807, 0, 0);
// Buffered: answers whether the requestor is a 32-bit process (one byte).
constexpr uint32_t Is32Bit = Code(0x808, 0, 0);
// Buffered: the input is an event handle of the caller's process (8 bytes);
// the driver references it as the caller would (user mode, modify access)
// and sets it. Completes with the reference's status.
constexpr uint32_t SetCallersEvent = Code(0x809, 0, 2);

// Buffered: marks the request pending with a cancel routine and holds it
// (Observed::held is set); the cancel routine completes it with
// STATUS_CANCELLED, ReleaseHeld with STATUS_SUCCESS.
constexpr uint32_t HoldPending = Code(0x80A, 0, 0);
// Buffered: sleeps 10 ms (virtual time) in the dispatch routine, kernel-mode.
constexpr uint32_t SleepInDispatch = Code(0x80B, 0, 0);
// Buffered, faulty: writes 2 bytes but returns the whole output length.
constexpr uint32_t ReturnUnwritten = Code(0x80F, 0, 0);
// Misuse the verifier must stop.
constexpr uint32_t ReturnAtRaisedIrql = Code(0x80C, 0, 0);
constexpr uint32_t CompleteWithCancelRoutine = Code(0x80D, 0, 0);
constexpr uint32_t MarkPendingButComplete = Code(0x80E, 0, 0);

struct Config {
    GUID interfaceClass{};
    // Registered interfaces of the device: each with this reference string
    // (empty: none); enable says whether start enables it.
    struct Interface {
        std::u16string reference;
        bool enable = true;
    };
    std::vector<Interface> interfaces{Interface{}};
    uint64_t information = 0;
    int32_t failStatus = 0;
    int32_t createStatus = 0;            // what the create handler completes with
    bool holdFileReference = false;      // reference the file object at create, drop it at cleanup + n
    bool leakPool = false;               // keep a pool block past unload
    bool clearInitializing = true;       // add-device clears DO_DEVICE_INITIALIZING itself
    bool initializingAfterStart = false; // start sets DO_DEVICE_INITIALIZING again (a broken driver)
    bool keepDeviceAtUnload = false;     // the unload routine leaves a device behind
};

// What the driver saw (reset by Load).
struct Observed {
    int creates = 0, cleanups = 0, closes = 0;
    uint64_t createProcess = 0, cleanupProcess = 0, closeProcess = 0;
    bool createSaw32Bit = false;
    std::u16string fileName;
    const void *createFile = nullptr;    // the file object of the last create
    const void *createRelated = nullptr; // and the one it was opened relative to
    uint32_t inputLength = 0, outputLength = 0;
    std::vector<uint8_t> systemBufferAtEntry; // max(input, output) bytes
    const void *type3Input = nullptr;
    void *userBuffer = nullptr;
    bool systemBufferNull = false;
    char requestorMode = -1;
    int starts = 0, removes = 0, unloads = 0;
    bool startHadResources = false;
    std::vector<std::u16string> links; // symbolic link names, as registered
    // What reached the driver, in order: "held", "cancel", "dispatch entered",
    // "dispatch done", "cleanup", "close" (guarded by the driver).
    std::vector<std::string> events;
};

// Set when a HoldPending request is held, or a SleepInDispatch request entered
// its dispatch routine (a kernel event the tests wait on).
void WaitUntilBusy();
// Completes the held request with STATUS_SUCCESS.
void ReleaseHeld();
// The events so far (a copy taken under the driver's lock).
std::vector<std::string> Events();

Observed &State();

// Loads the driver as "TestDriver", adds one device and starts it.
int32_t Load(const Config &config);
// Adds and starts one more device of the loaded driver.
int32_t AddDevice();
// Drops a file reference the driver holds (holdFileReference).
void DropFileReference();
int32_t Unload();

} // namespace testdriver
