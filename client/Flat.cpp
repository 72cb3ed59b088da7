// The flat interface: plain functions with C linkage, each forwarding to one
// member function and returning its result unchanged.
#include "ombapi.h"

using namespace Ombrivo;

extern "C" {

HRESULT Driver_Create(OmbDriver **driver, const GUID *classId) { return OmbDriver::Create(*driver, *classId); }
void Driver_Delete(OmbDriver *driver)
{
    if (driver != nullptr)
        driver->Delete();
}
OmbBool Driver_IsOpen(const OmbDriver *driver)
{
    driver->Check();
    return driver->IsOpen();
}
HRESULT Driver_Open(OmbDriver *driver) { return driver->Open(); }
void Driver_Close(OmbDriver *driver) { driver->Close(); }
HRESULT Driver_CreatePipe(OmbDriver *driver, OmbPipe **pipe, OmbBool capture)
{
    return driver->CreatePipe(*pipe, capture);
}

OmbBool Pipe_IsCapt(const OmbPipe *pipe) { return pipe->IsCapt(); }
OmbBool Pipe_IsOpen(const OmbPipe *pipe) { return pipe->IsOpen(); }
const wchar_t *Pipe_GetType(const OmbPipe *pipe) { return pipe->GetType(); }
OmbBool Pipe_IsRunningState(const OmbPipe *pipe) { return pipe->IsRunningState(); }
void Pipe_Delete(OmbPipe *pipe)
{
    if (pipe != nullptr)
        pipe->Delete();
}
HRESULT Pipe_Open(OmbPipe *pipe, const wchar_t *interfacePath) { return pipe->Open(interfacePath); }
void Pipe_Close(OmbPipe *pipe) { pipe->Close(); }
CommonDataDesc *Pipe_GetCommonData(OmbPipe *pipe) { return pipe->IsOpen() ? &pipe->GetCommonData() : nullptr; }
HRESULT Pipe_DriverRequest(const OmbPipe *pipe, unsigned code, DriverReq *request, unsigned requestSize,
                           void *output, unsigned outputSize, unsigned *bytesReturned)
{
    return pipe->DriverRequest(code, *request, requestSize, output, outputSize, bytesReturned);
}
HRESULT Pipe_SetFormat(OmbPipe *pipe, unsigned sampleRate, unsigned bitsPerSample, unsigned channels,
                       unsigned containerBytes, unsigned channelMask)
{
    return pipe->SetFormat(sampleRate, bitsPerSample, channels, containerBytes, channelMask);
}
HRESULT Pipe_SetMinimalBufferSize(OmbPipe *pipe, unsigned frames) { return pipe->SetMinimalBufferSize(frames); }
HRESULT Pipe_SetNotificationEvent(OmbPipe *pipe, HANDLE event) { return pipe->SetNotificationEvent(event); }
HRESULT Pipe_Notify(OmbPipe *pipe, unsigned code) { return pipe->Notify(code); }
HRESULT Pipe_AdvanceDevicePosition(OmbPipe *pipe, unsigned frames) { return pipe->AdvanceDevicePosition(frames); }
HRESULT Pipe_ResetDevicePosition(OmbPipe *pipe) { return pipe->ResetDevicePosition(); }

OmbBool Host_IsCapt(const OmbHost *host) { return host->IsCapt(); }
OmbBool Host_IsStarted(const OmbHost *host) { return host->IsStarted(); }
const wchar_t *Host_GetType(const OmbHost *host) { return host->GetType(); }
const CommonDataDesc *Host_GetCommonData(const OmbHost *host)
{
    return host->IsStarted() ? &host->GetCommonData() : nullptr;
}
HRESULT Host_Create(OmbHost **host, OmbDriver *driver, OmbBool capture, OmbCallback *callback)
{
    return OmbHost::Create(*host, *driver, capture, *callback);
}
void Host_Delete(OmbHost *host)
{
    if (host != nullptr)
        host->Delete();
}
HRESULT Host_Start(OmbHost *host, const OmbWaveFormat *format, unsigned minimalBufferMs)
{
    return host->Start(*format, minimalBufferMs);
}
HRESULT Host_Stop(OmbHost *host) { return host->Stop(); }
HRESULT Host_EventLoop(OmbHost *host, unsigned tickMs) { return host->EventLoop(tickMs); }
HRESULT Host_SetClockTrim(OmbHost *host, int32_t partsPerBillion) { return host->SetClockTrim(partsPerBillion); }
HRESULT Host_GetStats(const OmbHost *host, OmbHostStats *stats) { return host->GetStats(stats); }

} // extern "C"
