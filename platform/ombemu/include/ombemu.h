/* ombemu: the emulated Windows machine with the Ombrivo device, as a test
   bench for hosts (Linux only). Booting it brings up the emulated kernel,
   I/O manager, PnP manager, PortCls and kernel streaming, loads Ombrivo
   through its DriverEntry, adds and starts its device, and starts the
   Windows audio engine in an emulated process of its own. From then on the
   Win32 calls of the program (SetupDi*, CreateFileW, DeviceIoControl,
   KsCreatePin, ombapi) reach that machine.

   The engine stands for Windows applications: it plays a source into the
   render endpoint (which a host reads through PipeCapture) and records the
   capture endpoint (which a host feeds through PipeRender), and reports
   what it saw. One stream per endpoint at a time.

   Plain C (C89 and later) and C++. Statuses are 0 or negative (HRESULTs
   and NTSTATUSes of the failure). Every call may be made from any thread;
   the machine is one per program. */
#ifndef OMBRIVO_OMBEMU_H
#define OMBRIVO_OMBEMU_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The machine ---------------------------------------------------------- */

/* Real: the machine's clock is real time. Virtual: its own clock, which
   jumps ahead whenever every thread of the machine waits, so a run of
   minutes takes as long as its computing, and runs the same every time. */
#define OMBEMU_CLOCK_REAL 0u
#define OMBEMU_CLOCK_VIRTUAL 1u

typedef struct OmbEmuOptions {
    uint32_t Size;         /* sizeof(OmbEmuOptions) */
    uint32_t Clock;        /* OMBEMU_CLOCK_* */
    uint32_t WindowsMajor; /* the Windows version the machine runs; 0: 10.0 */
    uint32_t WindowsMinor;
} OmbEmuOptions;

/* Boots the machine (options NULL: real-time clock, Windows 10.0); the
   engine is started and idle. 0, or a negative status with nothing left
   running: 0x8007139F (ERROR_INVALID_STATE) when it is booted already,
   0x80070057 for options it does not know. */
int32_t OmbEmu_Boot(const OmbEmuOptions *options);
/* Stops the engine's streams and the engine, ends every process made with
   OmbEmu_CreateProcess, removes the device and unloads the driver under the
   kernel's leak check. 0 when all went; 1 when the unload found the driver
   still holding memory, mappings, references or handles (printed on
   stderr); a negative status when the driver could not be unloaded (a
   handle of the program on the device still open: close it and call again).
   0 when the machine is not booted. */
int32_t OmbEmu_Shutdown(void);
int32_t OmbEmu_IsBooted(void);

/* ---- Time ------------------------------------------------------------------ */

/* The machine's clock: 100-ns units since an arbitrary start, the same one
   QueryPerformanceCounter, Sleep and every wait of the machine follow. */
int64_t OmbEmu_Now(void);
/* Lets the machine run for the calling thread for ms milliseconds of its
   clock (virtual: returns as soon as that time has been simulated). */
void OmbEmu_Sleep(uint32_t ms);
/* Whether the clock is virtual. */
int32_t OmbEmu_IsVirtualClock(void);

/* ---- Emulated processes ------------------------------------------------------ */

/* A process of the machine with its own handles and threads, as a host
   application is one on Windows. A thread of the program that is in none
   runs in one default process. */
typedef struct OmbEmuProcess OmbEmuProcess;
typedef void (*OmbEmuThreadBody)(void *context);

int32_t OmbEmu_CreateProcess(OmbEmuProcess **process);
/* Starts a thread of the process running body(context). */
int32_t OmbEmu_StartThread(OmbEmuProcess *process, OmbEmuThreadBody body, void *context);
/* Runs body(context) on the calling thread as a thread of the process
   (its Win32 calls, handles and waits are the process's) and returns when
   body returns. */
int32_t OmbEmu_CallInProcess(OmbEmuProcess *process, OmbEmuThreadBody body, void *context);
/* Ends the process as Windows terminates one: its threads end (one waiting
   is released, one inside a request has the request cancelled), then every
   handle it still has is closed, as the driver then sees. */
int32_t OmbEmu_KillProcess(OmbEmuProcess *process);
int32_t OmbEmu_IsProcessEnded(const OmbEmuProcess *process);
/* Waits until every thread OmbEmu_StartThread started in it has ended. */
int32_t OmbEmu_JoinProcess(OmbEmuProcess *process);
/* Kills the process if it still runs, joins its threads and frees it. */
void OmbEmu_DeleteProcess(OmbEmuProcess *process);

/* ---- The audio engine -------------------------------------------------------- */

#define OMBEMU_RENDER 0u  /* the render endpoint: applications play, a PipeCapture host receives */
#define OMBEMU_CAPTURE 1u /* the capture endpoint: a PipeRender host gives, applications record */

/* Event: woken by the device's notification, work by position. Packet:
   woken by the notification, packets of one period each. Poll: a timer of
   the engine's own, work by the position register. */
#define OMBEMU_MODE_EVENT 0u
#define OMBEMU_MODE_PACKET 1u
#define OMBEMU_MODE_POLL 2u

/* A stream's sample format, the endpoint's: integer PCM (valid bits in the
   top of each container, 8 bits unsigned) or 32-bit float. */
typedef struct OmbEmuFormat {
    uint32_t SampleRate;
    uint32_t Channels;
    uint32_t ContainerBits; /* 8, 16, 24 or 32 */
    uint32_t ValidBits;
    uint32_t IsFloat;
    uint32_t ChannelMask;
} OmbEmuFormat;

typedef struct OmbEmuStreamOptions {
    uint32_t Size;          /* sizeof(OmbEmuStreamOptions) */
    uint32_t Mode;          /* OMBEMU_MODE_* */
    uint32_t PeriodMs;      /* the engine's period; 0: 10 ms */
    uint32_t WaitForHostMs; /* how long to wait for a host to make the endpoint active; 0: 2000 */
} OmbEmuStreamOptions;

/* What the engine plays. */
#define OMBEMU_SOURCE_SIGNAL 0u   /* the keyed test signal: every frame tells its index, none is silence */
#define OMBEMU_SOURCE_TONE 1u     /* a sine tone at half of full scale on every channel */
#define OMBEMU_SOURCE_FILE 2u     /* a WAV file of the endpoint's rate and channel count */
#define OMBEMU_SOURCE_CALLBACK 3u /* frames from the program */

/* Fills up to count frames in the format and returns how many it gave;
   fewer than count ends the source. On the stream's thread. */
typedef uint32_t (*OmbEmuReadFrames)(void *context, void *frames, uint32_t count, const OmbEmuFormat *format);
/* Takes count recorded frames. On the stream's thread. */
typedef void (*OmbEmuWriteFrames)(void *context, const void *frames, uint32_t count, const OmbEmuFormat *format);

typedef struct OmbEmuSource {
    uint32_t Kind;         /* OMBEMU_SOURCE_* */
    double Hertz;          /* TONE */
    const char *Path;      /* FILE (UTF-8) */
    OmbEmuReadFrames Read; /* CALLBACK */
    void *Context;
} OmbEmuSource;

/* Where the recording goes; every field may be 0. Whatever is recorded is
   also checked for the test signal (see OmbEmuReport). */
typedef struct OmbEmuSink {
    const char *Path;        /* a WAV file in the endpoint's format (UTF-8) */
    OmbEmuWriteFrames Write; /* and/or frames to the program */
    void *Context;
} OmbEmuSink;

/* Opens and starts a stream on the render endpoint playing the source
   (options NULL: event mode, 10 ms). Waits up to WaitForHostMs for a host
   to serve the endpoint. 0x8889000F (AUDCLNT_E_ENDPOINT_CREATE_FAILED) when
   none came, 0x8007139F when a stream runs there already, 0x88890008
   (AUDCLNT_E_UNSUPPORTED_FORMAT) for a file whose rate or channels are not
   the endpoint's, 0x80070002 for a file that cannot be read. */
int32_t OmbEmu_Play(const OmbEmuSource *source, const OmbEmuStreamOptions *options);
/* The same on the capture endpoint, recording into the sink. */
int32_t OmbEmu_Record(const OmbEmuSink *sink, const OmbEmuStreamOptions *options);
/* Stops and closes the endpoint's stream; its report stays readable until
   the next stream there. */
int32_t OmbEmu_StopStream(uint32_t endpoint);

/* Stream states. */
#define OMBEMU_STREAM_NONE 0u
#define OMBEMU_STREAM_RUNNING 1u
#define OMBEMU_STREAM_FINISHED 2u    /* the source ended and the device played all of it */
#define OMBEMU_STREAM_INVALIDATED 3u /* the host went away: the endpoint is unplugged */
#define OMBEMU_STREAM_FAILED 4u
#define OMBEMU_STREAM_STOPPED 5u

typedef struct OmbEmuReport {
    uint32_t Size;  /* sizeof(OmbEmuReport), set by the caller */
    uint32_t State; /* OMBEMU_STREAM_* */
    int32_t LastError;
    uint32_t Mode;
    OmbEmuFormat Format;
    uint32_t PeriodFrames, BufferFrames;
    uint64_t Frames;       /* frames moved through the device's buffer */
    uint64_t SourceFrames; /* render: frames of the source among them */
    uint32_t SourceEnded;
    uint32_t Reserved;
    uint64_t Underruns, UnderrunFrames; /* render: the device played what the engine had not written */
    uint64_t Overruns, OverrunFrames;   /* capture: the device overwrote what the engine had not read */
    uint64_t Packets, LatePackets, EarlyPackets, SkippedPackets;
    uint64_t DeviceErrors;
    /* The notifications against the ideal clock: the standard deviation and
       the largest distance from it, and glitches (late or missing ones). */
    double NotificationJitterMs, NotificationJitterMaxMs;
    uint32_t NotificationGlitches;
    uint32_t PositionGlitches;
    double PositionDriftPpm;
    /* Capture: the recording checked for the test signal. SignalExact: it
       began, after silence, with the signal's first frame and went on
       without a frame lost, repeated, corrupted or silenced. */
    uint32_t SignalExact;
    uint32_t Reserved2;
    uint64_t SignalFrames;          /* frames that were the signal frame due there */
    uint64_t SignalLeadingSilence;  /* silent frames before it began */
    uint64_t SignalDiscontinuities; /* places where the sequence broke */
} OmbEmuReport;

/* The report of the endpoint's stream, running or stopped. 0x80070490
   (ERROR_NOT_FOUND) when there has been none since boot, 0x80070057 when
   report is NULL or its Size is too small. */
int32_t OmbEmu_GetReport(uint32_t endpoint, OmbEmuReport *report);

#ifdef __cplusplus
}
#endif

#endif
