// The capture and render hosts of an ombemu run.
#include "Host.h"

#include <ControlCodes.h>
#include <Machine.h>
#include <PipeFormat.h>

namespace ombemu_tool {

Host::Host(std::shared_ptr<engine::Sink> sink) : capture(true), sink(std::move(sink)) {}

Host::Host(std::shared_ptr<engine::Source> source) : capture(false), source(std::move(source)) {}

Host::~Host()
{
    Stop();
    standin::win32::ProcessScope scope(process);
    if (host != nullptr)
        host->Delete();
    if (driver != nullptr)
        driver->Delete();
}

HRESULT Host::Start(const Ombrivo::WaveFormat &pipeFormat, unsigned tick)
{
    format = ombhost::ToWav(pipeFormat);
    tickMs = tick;
    HRESULT status = capture ? sink->Prepare(format) : source->Prepare(format);
    if (status != S_OK)
        return status;
    standin::win32::ProcessScope scope(process);
    status = Ombrivo::OmbDriver::Create(driver, Ombrivo::ControlInterfaceClass);
    if (status == S_OK)
        status = driver->Open();
    if (status == S_OK)
        status = Ombrivo::OmbHost::Create(host, *driver, capture, *this);
    if (status == S_OK)
        status = host->Start(pipeFormat, 0);
    if (status != S_OK)
        return status;
    process.RunThread(capture ? "capture host" : "render host", &Host::Loop, this);
    looping = true;
    return S_OK;
}

void Host::Loop(void *self)
{
    auto *h = static_cast<Host *>(self);
    h->loopResult = h->host->EventLoop(h->tickMs);
}

void Host::Stop()
{
    if (!looping)
        return;
    {
        standin::win32::ProcessScope scope(process);
        host->Stop();
    }
    process.JoinThreads();
    looping = false;
}

OmbHostStats Host::Stats() const
{
    OmbHostStats stats{};
    stats.Size = sizeof stats;
    if (host != nullptr) {
        standin::win32::ProcessScope scope(process);
        host->GetStats(&stats);
    }
    return stats;
}

unsigned Host::TransferData(void *data, unsigned bytes)
{
    const size_t frames = bytes / format.FrameBytes();
    if (firstTick.load(std::memory_order_relaxed) < 0) {
        firstTickFrames = static_cast<uint32_t>(frames);
        firstTick = ombemu::Now();
    }
    if (capture) {
        sink->Write(data, frames);
        return bytes;
    }
    size_t given = sourceEnded.load(std::memory_order_relaxed) ? 0 : source->Read(data, frames);
    if (given < frames) {
        sourceEnded = true;
        ombhost::FillSilence(format, static_cast<uint8_t *>(data) + given * format.FrameBytes(), frames - given);
    }
    sourceFrames += given;
    return bytes;
}

} // namespace ombemu_tool
