/* The plain C host of the machine's tests. */
#include "CHost.h"

#include <ombapi.h>
#include <stddef.h>
#include <stdlib.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

struct CHost {
    OmbEmuProcess *process;
    OmbDriver *driver;
    OmbHost *host;
    OmbCallback callback; /* first: the library calls back with its address */
    CHostTransfer transfer;
    void *context;
    unsigned tickMs;
    int capture;
    OmbWaveFormat format;
    int32_t status;
    volatile int32_t loopResult;
};

static unsigned TransferData(OmbCallback *self, void *data, unsigned bytes)
{
    CHost *h = (CHost *)((char *)self - offsetof(CHost, callback));
    h->transfer(h->context, data, bytes);
    return bytes;
}

static const OmbCallbackTable Table = {TransferData};

static void Create(void *context)
{
    CHost *h = (CHost *)context;
    static const GUID ControlClass = OMB_CONTROL_INTERFACE_CLASS_INIT;
    h->status = Driver_Create(&h->driver, &ControlClass);
    if (h->status == 0)
        h->status = Driver_Open(h->driver);
    if (h->status == 0)
        h->status = Host_Create(&h->host, h->driver, h->capture != 0, &h->callback);
    if (h->status == 0)
        h->status = Host_Start(h->host, &h->format, 10);
}

static void Loop(void *context)
{
    CHost *h = (CHost *)context;
    h->loopResult = Host_EventLoop(h->host, h->tickMs);
}

static void Destroy(void *context)
{
    CHost *h = (CHost *)context;
    if (h->host != NULL) {
        Host_Stop(h->host);
    }
}

static void Free(void *context)
{
    CHost *h = (CHost *)context;
    Host_Delete(h->host);
    Driver_Delete(h->driver);
}

CHost *CHost_Start(OmbEmuProcess *process, int capture, unsigned rate, unsigned bits, unsigned channels,
                   unsigned containerBytes, unsigned tickMs, CHostTransfer transfer, void *context, int32_t *status)
{
    CHost *h = (CHost *)calloc(1, sizeof *h);
    if (h == NULL) {
        *status = (int32_t)0x8007000E;
        return NULL;
    }
    h->process = process;
    h->callback.table = &Table;
    h->transfer = transfer;
    h->context = context;
    h->tickMs = tickMs;
    h->capture = capture;
    h->format.SR = rate;
    h->format.BPS = bits;
    h->format.NC = channels;
    h->format.BPC = containerBytes;
    h->format.CC = 0xFFFFFFFFu;
    OmbEmu_CallInProcess(process, Create, h);
    *status = h->status;
    if (h->status != 0 || OmbEmu_StartThread(process, Loop, h) != 0) {
        OmbEmu_CallInProcess(process, Free, h);
        free(h);
        return NULL;
    }
    return h;
}

void CHost_Stop(CHost *host)
{
    if (host == NULL)
        return;
    if (!OmbEmu_IsProcessEnded(host->process))
        OmbEmu_CallInProcess(host->process, Destroy, host);
    OmbEmu_JoinProcess(host->process);
    if (!OmbEmu_IsProcessEnded(host->process)) {
        OmbEmu_CallInProcess(host->process, Free, host);
    } else {
        /* Killed: its loop ended inside the library, which cannot be asked
           to clean up after it. On Windows the process's memory goes with
           it; here it stays in the test's, and is not a leak of the test. */
#ifdef __SANITIZE_ADDRESS__
        __lsan_ignore_object(host->host);
        __lsan_ignore_object(host->driver);
#endif
    }
    free(host);
}

int32_t CHost_LoopResult(const CHost *host) { return host->loopResult; }
