/* The render host: plain Windows code over ombapi's flat functions, the same
   source for Windows and for the test bench. */
#include "RenderHost.h"

#include <ombapi.h>

typedef struct Ramp {
    OmbCallback callback; /* first: the library calls back with its address */
    unsigned long next;
} Ramp;

/* The event loop hands out each stretch of the buffer that is due. */
static unsigned Fill(OmbCallback *self, void *data, unsigned bytes)
{
    Ramp *ramp = (Ramp *)self;
    short *sample = (short *)data;
    unsigned i;
    for (i = 0; i < bytes / 4; ++i, ++ramp->next) {
        sample[2 * i] = RENDER_HOST_SAMPLE(ramp->next);
        sample[2 * i + 1] = (short)-sample[2 * i];
    }
    return bytes;
}

static DWORD WINAPI Loop(LPVOID host)
{
    return (DWORD)Host_EventLoop((OmbHost *)host, 10);
}

HRESULT RenderHost_Run(HANDLE stop, unsigned long *frames)
{
    static const OmbCallbackTable table = {Fill};
    static const GUID controlClass = OMB_CONTROL_INTERFACE_CLASS_INIT;
    OmbWaveFormat format = {48000, 16, 2, 2, 0x3}; /* rate, bits, channels, container bytes, speakers */
    Ramp ramp = {{&table}, 0};
    OmbDriver *driver = NULL;
    OmbHost *host = NULL;
    HANDLE loop;
    HRESULT status = Driver_Create(&driver, &controlClass);
    if (SUCCEEDED(status))
        status = Driver_Open(driver);
    if (SUCCEEDED(status))
        status = Host_Create(&host, driver, 0, &ramp.callback);
    if (SUCCEEDED(status))
        status = Host_Start(host, &format, 0);
    if (SUCCEEDED(status)) {
        loop = CreateThread(NULL, 0, Loop, host, 0, NULL);
        if (loop == NULL) {
            status = HRESULT_FROM_WIN32(GetLastError());
        } else {
            WaitForSingleObject(stop, INFINITE);
            Host_Stop(host);
            WaitForSingleObject(loop, INFINITE);
            CloseHandle(loop);
        }
    }
    Host_Delete(host);
    Driver_Delete(driver);
    *frames = ramp.next;
    return status;
}
