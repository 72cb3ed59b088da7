/* The render host on the emulated machine, in a process of its own: the
   audio engine records the capture endpoint for a second of the machine's
   clock while the host plays its ramp, as a Windows application would. The recording must be silence, then the ramp from its
   first frame, every frame in order, then nothing but silence. */
#include <ombemu.h>
#include <stdio.h>

#include "RenderHost.h"

typedef struct Recording {
    unsigned long silentBefore, ramp, silentAfter, wrong;
} Recording;

static void Take(void *context, const void *frames, uint32_t count, const OmbEmuFormat *format)
{
    Recording *r = (Recording *)context;
    const short *s = (const short *)frames;
    uint32_t i;
    if (format->ContainerBits != 16 || format->Channels != 2 || format->IsFloat) {
        r->wrong += count; /* the endpoint's format is the host's */
        return;
    }
    for (i = 0; i < count; ++i, s += 2) {
        if (s[0] == 0 && s[1] == 0 && r->ramp == 0)
            ++r->silentBefore;
        else if (s[0] == 0 && s[1] == 0)
            ++r->silentAfter;
        else if (r->silentAfter == 0 && s[0] == RENDER_HOST_SAMPLE(r->ramp) && s[1] == -s[0])
            ++r->ramp;
        else
            ++r->wrong;
    }
}

typedef struct Run {
    HANDLE stop; /* the host process's handle */
    HRESULT status;
    unsigned long frames;
} Run;

static void HostMain(void *context)
{
    Run *run = (Run *)context;
    run->status = RenderHost_Run(run->stop, &run->frames);
}

/* The stop event is the host process's (a handle is valid in its process). */
static void MakeStop(void *context)
{
    ((Run *)context)->stop = CreateEventW(NULL, TRUE, FALSE, NULL);
}

static void StopHost(void *context)
{
    SetEvent(((Run *)context)->stop);
}

int main(void)
{
    OmbEmuOptions options = {sizeof options, OMBEMU_CLOCK_VIRTUAL, 0, 0};
    OmbEmuSink sink = {NULL, Take, NULL};
    OmbEmuReport report = {0};
    OmbEmuProcess *process = NULL;
    Recording recording = {0, 0, 0, 0};
    Run run = {NULL, E_FAIL, 0};
    int32_t status, unload;
    sink.Context = &recording;
    report.Size = sizeof report;

    if ((status = OmbEmu_Boot(&options)) != 0) {
        printf("OmbEmu_Boot: %08lx\n", (unsigned long)status);
        return 1;
    }
    status = OmbEmu_CreateProcess(&process);
    if (status == 0)
        status = OmbEmu_CallInProcess(process, MakeStop, &run);
    if (status == 0)
        status = OmbEmu_StartThread(process, HostMain, &run);
    if (status == 0) {
        status = OmbEmu_Record(&sink, NULL); /* once the host makes the endpoint active */
        if (status == 0)
            OmbEmu_Sleep(1000);
        OmbEmu_CallInProcess(process, StopHost, &run);
        OmbEmu_JoinProcess(process);
        OmbEmu_StopStream(OMBEMU_CAPTURE);
    }
    if (status == 0)
        status = OmbEmu_GetReport(OMBEMU_CAPTURE, &report);
    OmbEmu_DeleteProcess(process);
    unload = OmbEmu_Shutdown();

    printf("machine: %08lx; host: %08lx, %lu frames; recorded: %lu silent, %lu of the ramp, %lu silent, %lu wrong; "
           "%lu overruns; unload: %ld\n",
           (unsigned long)status, (unsigned long)run.status, run.frames, recording.silentBefore, recording.ramp,
           recording.silentAfter, recording.wrong, (unsigned long)report.Overruns, (long)unload);
    if (status != 0 || run.status != S_OK || unload != 0 || recording.wrong != 0 || report.Overruns != 0)
        return 1;
    /* All the host gave but what was still in the device's buffer when it
       stopped, and at least half a second of it. */
    if (recording.ramp > run.frames || run.frames - recording.ramp > report.BufferFrames || recording.ramp < 24000)
        return 1;
    puts("ok");
    return 0;
}
