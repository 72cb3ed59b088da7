// A host application through ombapi, in an emulated process of its own with
// its event loop on a thread of that process: on PipeCapture it hands every
// frame the device gives to a sink; on PipeRender it fills every tick from a
// source, and silence once the source has ended.
#pragma once

#include <Media.h>
#include <ombapi.h>
#include <win32_standin.h>

#include <atomic>
#include <memory>

namespace ombemu_tool {

class Host : public Ombrivo::CallbackInterface {
public:
    // A capture host with a sink, or a render host with a source.
    explicit Host(std::shared_ptr<engine::Sink> sink);
    explicit Host(std::shared_ptr<engine::Source> source);
    // Stops it, if running, and ends its process.
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Opens the device, starts the host with the format and its loop.
    HRESULT Start(const Ombrivo::WaveFormat &format, unsigned tickMs);
    // Ends the loop and waits for it.
    void Stop();
    // The loop's result once it has ended.
    HRESULT LoopResult() const { return loopResult.load(); }
    OmbHostStats Stats() const;
    // Render: frames of the source handed out, and whether it has ended.
    uint64_t SourceFrames() const { return sourceFrames.load(); }
    bool SourceEnded() const { return sourceEnded.load(); }
    // Machine time (100 ns) of the first tick that moved audio (-1 before),
    // and the frames it moved.
    int64_t FirstTickAt() const { return firstTick.load(); }
    uint32_t FirstTickFrames() const { return firstTickFrames.load(); }

    unsigned TransferData(void *data, unsigned bytes) override;

private:
    static void Loop(void *self);

    const bool capture;
    std::shared_ptr<engine::Sink> sink;
    std::shared_ptr<engine::Source> source;
    wav::Format format;
    standin::win32::ClientProcess process;
    Ombrivo::OmbDriver *driver = nullptr;
    Ombrivo::OmbHost *host = nullptr;
    unsigned tickMs = 10;
    bool looping = false;
    std::atomic<HRESULT> loopResult{S_OK};
    std::atomic<uint64_t> sourceFrames{0};
    std::atomic<bool> sourceEnded{false};
    std::atomic<int64_t> firstTick{-1};
    std::atomic<uint32_t> firstTickFrames{0};
};

} // namespace ombemu_tool
