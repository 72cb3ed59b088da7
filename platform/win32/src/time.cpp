// The performance counter (the kernel's 10 MHz clock, virtual when the test
// says so) and winmm's timer resolution requests, counted per period.
#include "core.h"

#include <mmsystem.h>
#include <win32_standin.h>

#include <map>
#include <mutex>

namespace {

constexpr UINT MinPeriod = 1;
constexpr UINT MaxPeriod = 1000000;

struct Periods {
    std::mutex lock;
    std::map<UINT, long> outstanding;
    standin::win32::TimerPeriodCounts counts;
};

Periods &TimerPeriods()
{
    static Periods periods;
    return periods;
}

} // namespace

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount)
{
    if (lpPerformanceCount == nullptr)
        return standin::win32::FailWithError(ERROR_NOACCESS);
    lpPerformanceCount->QuadPart = standin::io::boundary::PerformanceCounter();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency)
{
    if (lpFrequency == nullptr)
        return standin::win32::FailWithError(ERROR_NOACCESS);
    lpFrequency->QuadPart = standin::io::boundary::PerformanceFrequency();
    return TRUE;
}

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod)
{
    if (uPeriod < MinPeriod || uPeriod > MaxPeriod)
        return TIMERR_NOCANDO;
    Periods &p = TimerPeriods();
    std::lock_guard<std::mutex> hold(p.lock);
    ++p.outstanding[uPeriod];
    ++p.counts.begins;
    ++p.counts.outstanding;
    // The resolution this process's time-outs get from now on.
    standin::io::boundary::TimerPeriod(true, uPeriod);
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT uPeriod)
{
    if (uPeriod < MinPeriod || uPeriod > MaxPeriod)
        return TIMERR_NOCANDO;
    Periods &p = TimerPeriods();
    std::lock_guard<std::mutex> hold(p.lock);
    ++p.counts.ends;
    // Windows accepts an end without its begin; the stand-in remembers it so
    // that a test sees the pairing broken.
    auto it = p.outstanding.find(uPeriod);
    if (it == p.outstanding.end() || it->second == 0) {
        ++p.counts.unmatchedEnds;
        return TIMERR_NOERROR;
    }
    --it->second;
    --p.counts.outstanding;
    standin::io::boundary::TimerPeriod(false, uPeriod);
    return TIMERR_NOERROR;
}

namespace standin::win32 {

TimerPeriodCounts TimerPeriodState()
{
    std::lock_guard<std::mutex> hold(TimerPeriods().lock);
    return TimerPeriods().counts;
}

long OutstandingTimerPeriods(UINT period)
{
    std::lock_guard<std::mutex> hold(TimerPeriods().lock);
    auto it = TimerPeriods().outstanding.find(period);
    return it == TimerPeriods().outstanding.end() ? 0 : it->second;
}

void ResetTimerPeriods()
{
    std::lock_guard<std::mutex> hold(TimerPeriods().lock);
    TimerPeriods().outstanding.clear();
    TimerPeriods().counts = {};
}

} // namespace standin::win32
