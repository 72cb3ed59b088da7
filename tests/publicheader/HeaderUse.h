/* What a host does with the public header, in C (C89 and later) and in C++
   (C++11 and later), after one of the include orders of the files around it. */

HRESULT UseTheFlatInterface(OmbCallback *callback);
HRESULT UseTheFlatInterface(OmbCallback *callback)
{
    static const GUID controlClass = OMB_CONTROL_INTERFACE_CLASS_INIT;
    OmbDriver *driver = NULL;
    OmbPipe *pipe = NULL;
    OmbHost *host = NULL;
#ifdef __cplusplus
    const OmbWaveFormat format(48000, 16, 2, 0, 0xFFFFFFFFu);
#else
    const OmbWaveFormat format = {48000, 16, 2, 0, 0xFFFFFFFFu}; /* a bare DataFormatDesc */
#endif
    DriverReq request = {0};
    unsigned returned = 0;
    const CommonDataDesc *block = NULL;
    OmbHostStats stats;
    HRESULT status = Driver_Create(&driver, &controlClass);
    if (status < 0)
        return status;
    if (Driver_Open(driver) >= 0 && Driver_IsOpen(driver)) {
        if (Driver_CreatePipe(driver, &pipe, 1) >= 0) {
            status = Pipe_DriverRequest(pipe, ReqNotify, &request, sizeof request, NULL, 0, &returned);
            if (Pipe_GetCommonData(pipe) != NULL && Pipe_GetCommonData(pipe)->RequestCode == ClientReqStateChanged)
                status = Pipe_Notify(pipe, NotifyPositionAdvanced);
            Pipe_Delete(pipe);
        }
        if (Host_Create(&host, driver, 0, callback) >= 0 && Host_Start(host, &format, 20) >= 0) {
            block = Host_GetCommonData(host);
            if (Host_SetClockTrim(host, -OMB_CLOCK_TRIM_LIMIT_PPB / 4) >= 0 && block != NULL &&
                block->StreamState == 3)
                status = Host_EventLoop(host, 10);
            stats.Size = sizeof stats;
            if (Host_GetStats(host, &stats) >= 0 && stats.LateTicks != 0 && stats.MaxLatenessUs > 20000)
                status = S_FALSE;
            Host_Stop(host);
        }
        Host_Delete(host);
    }
    Driver_Delete(driver);
    return status;
}

#ifdef __cplusplus

class Silence final : public Ombrivo::CallbackInterface {
public:
    unsigned TransferData(void *data, unsigned bytes) override
    {
        wmemset(static_cast<wchar_t *>(data), L'\0', bytes / sizeof(wchar_t));
        return bytes;
    }
};

HRESULT UseTheClasses();
HRESULT UseTheClasses()
{
    Ombrivo::OmbDriver *driver = nullptr;
    HRESULT status = Ombrivo::OmbDriver::Create(driver, Ombrivo::ControlInterfaceClass);
    if (FAILED(status))
        return status;
    Silence silence;
    Ombrivo::OmbHost *host = nullptr;
    status = Ombrivo::OmbHost::Create(host, *driver, false, silence);
    if (SUCCEEDED(status)) {
        const Ombrivo::WaveFormat format(48000, 24, 2, 0, 0xFFFFFFFFu);
        WAVEFORMATEXTENSIBLE wfx;
        format.ToWfx(wfx);
        status = host->Start(format, 10);
        if (SUCCEEDED(status) && host->GetCommonData().BufferSizeBytes != 0)
            status = host->EventLoop(10);
        const Ombrivo::ErrorText_i text(status);
        Ombrivo::Error(L"%ls", static_cast<const wchar_t *>(text));
        host->Delete();
    }
    driver->Delete();
    return status;
}

#ifdef OMB_TEST_SDK_KSDATAFORMAT_WAVEFORMATEXTENSIBLE
/* With the SDK's own declaration, the format goes out as a kernel-streaming
   data format too. */
ULONG KsFormatSize(const Ombrivo::WaveFormat &format);
ULONG KsFormatSize(const Ombrivo::WaveFormat &format)
{
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE kdf;
    format.ToKdf(kdf);
    return kdf.DataFormat.FormatSize;
}
#endif

#endif
