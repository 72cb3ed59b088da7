// A host on the stand-in device in virtual time, for the host tests: the
// application's side records every stretch it is offered, the loop runs on
// its own thread in the test's client process, and the test moves the clock.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>
#include "DeviceFixture.h"

namespace device_tests {

using namespace Ombrivo;
namespace dev = standin_device;

struct Call {
    uint32_t frame; // where the stretch starts in the buffer
    uint32_t bytes;
};

// Records every stretch and reports a configurable share of it handled.
class Recorder : public CallbackInterface {
public:
    unsigned TransferData(void *data, unsigned bytes) override
    {
        std::lock_guard lock(mutex);
        const auto offset = static_cast<uint32_t>(static_cast<uint8_t *>(data) - base);
        calls.push_back({frameSize ? offset / frameSize : 0, bytes});
        if (onCall)
            onCall();
        return handledLimit < bytes ? handledLimit : bytes;
    }

    std::vector<Call> Take()
    {
        std::lock_guard lock(mutex);
        return std::move(calls);
    }

    std::mutex mutex;
    std::vector<Call> calls;
    uint8_t *base = nullptr;
    uint32_t frameSize = 4;
    unsigned handledLimit = ~0u;
    std::function<void()> onCall;
};

template <typename Condition>
void SpinUntil(Condition condition)
{
    while (!condition())
        std::this_thread::yield();
}

class HostTest : public DeviceFixture {
protected:
    void SetUp() override
    {
        DeviceFixture::SetUp();
        ASSERT_EQ(OmbHost::Create(host, *driver, false, recorder), S_OK);
        handles = dev::HandleCount(process);
    }

    void TearDown() override
    {
        if (loop.joinable()) {
            StopFromAnotherThread();
        }
        host->Delete();
        DeviceFixture::TearDown();
    }

    void Start(const WaveFormat &format, unsigned minimalMs = 0)
    {
        ASSERT_EQ(host->Start(format, minimalMs), S_OK);
        recorder.base = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(host->GetCommonData().BufferAddress));
        recorder.frameSize = format.GetFrameSize();
    }

    // Runs the loop on its own thread, in the test's client process, and
    // returns once it waits on its event (or has ended at once).
    void RunLoop(unsigned tickMs)
    {
        dev::UseVirtualClock(true);
        loopDone = false;
        loop = std::thread([this, tickMs] {
            dev::InProcess scope(process);
            loopResult = host->EventLoop(tickMs);
            loopDone = true;
        });
        if (tickMs == INFINITE)
            SpinUntil([this] { return dev::Waiters() >= 1 || loopDone; });
        else
            SpinUntil([this] { return dev::TimedWaiters() >= 1 || loopDone; });
    }

    // Lets exactly one period pass: the loop ticks and waits again.
    void Tick(unsigned ms)
    {
        dev::AdvanceClock(ms * Millisecond);
        dev::WaitForTimedWaiters(1);
    }

    // Announces a running stream with a buffer of `frames`, the position at
    // `position`, and waits until the loop waits again.
    void RunStream(uint32_t frames, uint32_t position)
    {
        dev::Block(RenderPipe).DevicePositionFrames = position;
        ASSERT_EQ(dev::AnnounceStream(RenderPipe, true, STREAM_STATE_RUN, frames), S_OK);
        dev::WaitForTimedWaiters(1);
    }

    void StopFromAnotherThread()
    {
        CallWhileTimeRuns(process, [this] { host->Stop(); });
        loop.join();
    }

    // The host is stopped and holds nothing: no pipe, no event, no timer period.
    void ExpectStopped()
    {
        EXPECT_FALSE(host->IsStarted());
        EXPECT_FALSE(dev::IsOpen(RenderPipe));
        EXPECT_EQ(dev::TimerPeriodsHeld(), 0u);
        EXPECT_EQ(dev::HandleCount(process), handles);
    }

    Recorder recorder;
    OmbHost *host = nullptr;
    size_t handles = 0;
    std::thread loop;
    std::atomic<bool> loopDone{false};
    std::atomic<HRESULT> loopResult{-1};
};

inline const Ombrivo::WaveFormat Stereo48k(48000, 16, 2, 2, 3);

} // namespace device_tests
