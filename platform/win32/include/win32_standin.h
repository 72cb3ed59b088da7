// Control of the Win32 stand-in for tests and tools (Linux build only): the
// message-box sink, the timer-period counts, emulated client processes and
// the kernel's clock, all without the kernel's headers.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace standin::win32 {

// Receives every message box instead of the diagnostic output while set.
using MessageBoxSink = void (*)(const wchar_t *caption, const wchar_t *text, UINT type, void *context);
void SetMessageBoxSink(MessageBoxSink sink, void *context);

// timeBeginPeriod and timeEndPeriod calls that succeeded since the last reset.
struct TimerPeriodCounts {
    unsigned begins = 0;
    unsigned ends = 0;
    long outstanding = 0;       // begins not yet ended
    unsigned unmatchedEnds = 0; // ends of a period that had no begin left
};
TimerPeriodCounts TimerPeriodState();
long OutstandingTimerPeriods(UINT period);
void ResetTimerPeriods();

// An emulated client process with its own handle table and bitness. Ending it
// (End, or destruction) closes every handle it still has, as Windows does when
// a process exits: the driver sees cleanup and close in that process.
class ClientProcess {
public:
    explicit ClientProcess(bool is32Bit = false);
    ~ClientProcess();
    ClientProcess(const ClientProcess &) = delete;
    ClientProcess &operator=(const ClientProcess &) = delete;

    // Ends the process as Windows terminates one: its threads end (a thread
    // in a wait is released, one inside a request has the request cancelled),
    // then its handles are closed and its views removed.
    void End();
    bool Ended() const;
    // Runs body(context) on a new thread of this process.
    void RunThread(const char *name, void (*body)(void *context), void *context);
    // Waits until every thread RunThread started has ended.
    void JoinThreads();
    // Duplicates a handle of this process into another (DuplicateHandle).
    HANDLE DuplicateInto(HANDLE handle, const ClientProcess &target) const;
    // The resolution (100-ns units) its real-time waits get (timeBeginPeriod).
    int64_t TimerResolution() const;
    size_t HandleCount() const;
    uint64_t Id() const { return id_; }

private:
    uint64_t id_;
    std::vector<void *> threads_;
};

// The calling thread's Win32 calls run in the process while the scope lasts.
// Without one, a thread's calls run in one default 64-bit client process.
class ProcessScope {
public:
    explicit ProcessScope(const ClientProcess &process);
    ~ProcessScope();
    ProcessScope(const ProcessScope &) = delete;
    ProcessScope &operator=(const ProcessScope &) = delete;
};

// The kernel's clock, which Sleep, WaitForSingleObject and the performance
// counter follow: real time by default; in virtual time it moves only when a
// test advances it (in 100-ns units); simulated, it advances itself whenever
// every thread of the machine waits (see platform/kernel/README.md).
enum class ClockMode { Real, Manual, Simulated };
void SetClockMode(ClockMode mode);
void UseVirtualClock(bool on);
// The frequency QueryPerformanceFrequency reports (10 MHz by default).
void SetPerformanceFrequency(int64_t hertz);
void AdvanceClock(int64_t hundredNs);
// Blocks until at least count threads wait with a time-out on the clock.
void WaitForBlockedWaiters(size_t count);

} // namespace standin::win32
