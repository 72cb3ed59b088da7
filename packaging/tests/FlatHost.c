/* A plain C host of every flat function, run against the real ombapi.dll:
   linked once through the package's CMake target and once against an import
   library made from ombapi.def alone (as MSVC's lib /def makes one). Every
   function must resolve when the program loads and the calls must reach the
   library; prints "ok" when they did. */
#include <stdio.h>
#include "ombapi.h"

typedef void (*AnyFunction)(void);

/* Taking each address makes the program import every function, so the
   loader binds all of them before main runs; external linkage keeps the
   table (and the imports) in the program. */
const AnyFunction FlatFunctions[] = {
    (AnyFunction)Driver_Create, (AnyFunction)Driver_Delete, (AnyFunction)Driver_IsOpen,
    (AnyFunction)Driver_Open, (AnyFunction)Driver_Close, (AnyFunction)Driver_CreatePipe,
    (AnyFunction)Pipe_IsCapt, (AnyFunction)Pipe_IsOpen, (AnyFunction)Pipe_GetType,
    (AnyFunction)Pipe_IsRunningState, (AnyFunction)Pipe_Delete, (AnyFunction)Pipe_Open,
    (AnyFunction)Pipe_Close, (AnyFunction)Pipe_GetCommonData, (AnyFunction)Pipe_DriverRequest,
    (AnyFunction)Pipe_SetFormat, (AnyFunction)Pipe_SetMinimalBufferSize, (AnyFunction)Pipe_SetNotificationEvent,
    (AnyFunction)Pipe_Notify, (AnyFunction)Pipe_AdvanceDevicePosition, (AnyFunction)Pipe_ResetDevicePosition,
    (AnyFunction)Host_IsCapt, (AnyFunction)Host_IsStarted, (AnyFunction)Host_GetType,
    (AnyFunction)Host_GetCommonData, (AnyFunction)Host_Create, (AnyFunction)Host_Delete,
    (AnyFunction)Host_Start, (AnyFunction)Host_Stop, (AnyFunction)Host_EventLoop,
    (AnyFunction)Host_SetClockTrim, (AnyFunction)Host_GetStats,
};

static unsigned Transfer(OmbCallback *self, void *data, unsigned bytes)
{
    (void)self;
    (void)data;
    return bytes;
}

int main(void)
{
    static const OmbCallbackTable table = {Transfer};
    OmbCallback callback = {&table};
    static const GUID controlClass = OMB_CONTROL_INTERFACE_CLASS_INIT;
    OmbDriver *driver = NULL;
    OmbHost *host = NULL;
    HRESULT status;

    status = Driver_Create(&driver, &controlClass);
    if (status != S_OK || driver == NULL) {
        printf("Driver_Create: %08lx\n", (unsigned long)status);
        return 1;
    }
    /* No device here: the library says so with its status. */
    status = Driver_Open(driver);
    if (status != (HRESULT)0x80070490 || Driver_IsOpen(driver)) {
        printf("Driver_Open without a device: %08lx\n", (unsigned long)status);
        return 1;
    }
    status = Host_Create(&host, driver, 1, &callback);
    if (status != S_OK || host == NULL || !Host_IsCapt(host) || Host_IsStarted(host) ||
        Host_GetCommonData(host) != NULL) {
        printf("Host_Create: %08lx\n", (unsigned long)status);
        return 1;
    }
    Host_Delete(host);
    Driver_Delete(driver);
    puts("ok");
    return 0;
}
