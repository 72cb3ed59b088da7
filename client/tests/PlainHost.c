/* A render host written in plain C against the flat interface only, with a
   hand-made callback table. */
#include "ombapi.h"
#include "PlainHost.h"

static unsigned long long bytesSeen;
static unsigned callsSeen;

static unsigned FillSilence(OmbCallback *self, void *data, unsigned bytes)
{
    unsigned char *p = (unsigned char *)data;
    unsigned i;
    (void)self;
    for (i = 0; i < bytes; ++i)
        p[i] = 0;
    bytesSeen += bytes;
    ++callsSeen;
    return bytes;
}

static const OmbCallbackTable fillTable = {FillSilence};
static OmbCallback fill = {&fillTable};
static const GUID controlClass = OMB_CONTROL_INTERFACE_CLASS_INIT;
static OmbDriver *driver;
static OmbHost *host;

long PlainHostStart(unsigned containerBytes, unsigned channelMask)
{
    const DataFormatDesc format = {48000, 16, 2, 0, 0};
    DataFormatDesc asked = format;
    HRESULT status;
    asked.BPC = containerBytes;
    asked.CC = channelMask;
    bytesSeen = 0;
    callsSeen = 0;
    status = Driver_Create(&driver, &controlClass);
    if (status < 0)
        return status;
    status = Driver_Open(driver);
    if (status < 0)
        return status;
    status = Host_Create(&host, driver, 0, &fill);
    if (status < 0)
        return status;
    return Host_Start(host, &asked, 20);
}

long PlainHostLoop(unsigned tickMs) { return Host_EventLoop(host, tickMs); }

long PlainHostStop(void) { return Host_Stop(host); }

void PlainHostEnd(void)
{
    Host_Delete(host);
    Driver_Delete(driver);
    host = 0;
    driver = 0;
}

int PlainHostIsStarted(void) { return Host_IsStarted(host) ? 1 : 0; }
int PlainHostHasBlock(void) { return Host_GetCommonData(host) != 0; }
unsigned long long PlainHostBytes(void) { return bytesSeen; }
unsigned PlainHostCalls(void) { return callsSeen; }

long PlainHostSetTrim(long partsPerBillion) { return Host_SetClockTrim(host, (int32_t)partsPerBillion); }

long PlainHostStats(unsigned size, unsigned long long counters[5], unsigned *sizeFilled)
{
    OmbHostStats stats;
    HRESULT status;
    stats.Size = size;
    status = Host_GetStats(host, &stats);
    *sizeFilled = stats.Size;
    if (status >= 0) {
        counters[0] = stats.Ticks;
        counters[1] = stats.FramesHandedOut;
        counters[2] = stats.FramesNotTaken;
        counters[3] = stats.LateTicks;
        counters[4] = stats.MaxLatenessUs;
    }
    return status;
}

int PlainPipeHasBlock(int closeFirst)
{
    OmbPipe *pipe = 0;
    int hasBlock;
    if (Driver_CreatePipe(driver, &pipe, 1) < 0)
        return -1;
    if (closeFirst)
        Pipe_Close(pipe);
    hasBlock = Pipe_GetCommonData(pipe) != 0;
    Pipe_Delete(pipe);
    return hasBlock;
}
