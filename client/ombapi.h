/* ombapi: the client library of the Ombrivo virtual sound device.
   A host application attaches to one of the device's endpoints through a
   private control channel and clocks audio through the shared cyclic buffer.

   C++ callers (C++11 and later) use the classes of the namespace Ombrivo;
   every caller, C89 and later included, can use the flat functions and the
   records of the control protocol.

   Include order: none is required. The header includes <windows.h> itself
   (and, for C++, <mmreg.h>), so whatever must come before <windows.h> in a
   host (WIN32_LEAN_AND_MEAN, <winsock2.h>) comes before this header too.
   <ks.h> and <ksmedia.h> may be included before or after it; it declares
   nothing of theirs, so it also fits a host whose SDK declares
   KSDATAFORMAT_WAVEFORMATEXTENSIBLE.

   Global names: the flat functions (Driver_*, Pipe_*, Host_*), the records
   DataFormatDesc, CommonDataDesc, DriverReq and OmbHostStats, the codes
   Req*, ClientReq* and NotifyPositionAdvanced, and names that begin with Omb
   or OMB. */
#ifndef OMBRIVO_OMBAPI_H
#define OMBRIVO_OMBAPI_H

#include <windows.h>
#include <wchar.h>

#include "DataFormatDesc.h"
#include "CommonDataDesc.h"
#include "ControlCodes.h"

#ifdef OMBAPI_BUILD
#define OMBAPI __declspec(dllexport)
#else
#define OMBAPI __declspec(dllimport)
#endif

/* How far a host may trim its device clock, in parts per billion either way
   (0.1 %). */
#define OMB_CLOCK_TRIM_LIMIT_PPB 1000000

/* A host's counters since its last Start, read at one instant between two
   ticks. The caller sets Size to sizeof(OmbHostStats); the library fills the
   fields it knows that fit in Size and sets Size to the bytes it filled, so
   the record can grow without breaking older hosts or older libraries. The
   layout is the same in every compiler and bitness (48 bytes). */
typedef struct OmbHostStats {
    uint32_t Size;
    uint32_t Reserved;        /* 0 */
    uint64_t Ticks;           /* ticks that clocked a running stream */
    uint64_t FramesHandedOut; /* frames offered to TransferData */
    uint64_t FramesNotTaken;  /* frames of those offers TransferData did not report handled */
    uint64_t LateTicks;       /* ticks that came more than twice the period after the one before */
    uint64_t MaxLatenessUs;   /* the most any tick came after its period, in microseconds */
} OmbHostStats;

#ifdef __cplusplus

static_assert(sizeof(OmbHostStats) == 48, "OmbHostStats is 48 bytes");

#include <mmreg.h>
#include <atomic>

namespace Ombrivo {

/* An uncompressed PCM format: exactly one DataFormatDesc, so a WaveFormat is
   laid out as the 20-byte descriptor itself. */
class OMBAPI WaveFormat {
public:
    WaveFormat();
    /* Runs Init; a rejected format leaves all five fields 0. */
    WaveFormat(unsigned sr, unsigned bps, unsigned nc, unsigned bpc, unsigned cc);

    /* bpc 0 derives the container from the bits; cc 0xFFFFFFFF asks for the
       standard mask. Fails with 0x8007000B and leaves the format as it was. */
    HRESULT Init(unsigned sr, unsigned bps, unsigned nc, unsigned bpc, unsigned cc);
    static unsigned GetStdChannelMask(unsigned nc);

    HRESULT FromWfx(const WAVEFORMATEX &wfx);
    void ToWfx(WAVEFORMATEXTENSIBLE &wfx) const;
    /* Fills a KSDATAFORMAT_WAVEFORMATEXTENSIBLE (ksmedia.h). A template, so
       that this header need not declare that type: the Windows SDK declares
       it, mingw-w64 does not, and a second declaration would collide. */
    template <typename KsDataFormatWfx>
    void ToKdf(KsDataFormatWfx &kdf) const
    {
        static_assert(sizeof kdf.DataFormat == KsDataFormatBytes &&
                          sizeof(KsDataFormatWfx) == KsDataFormatBytes + sizeof kdf.WaveFormatExt,
                      "a KSDATAFORMAT followed by a WAVEFORMATEXTENSIBLE");
        ToWfx(kdf.WaveFormatExt);
        ToKsDataFormat(&kdf.DataFormat, kdf.WaveFormatExt);
    }
    /* "SR/BPS(BPC)/NC(CC)", at most count characters with the terminator. */
    wchar_t *ToStr(wchar_t *buf, unsigned count) const;

    unsigned GetSR() const;
    unsigned GetBPS() const;
    unsigned GetNC() const;
    unsigned GetBPC() const;
    unsigned GetCC() const;
    unsigned GetFrameSize() const; /* BPC x NC */

    /* Unsigned 32-bit arithmetic, truncating; a format with frame size 0
       converts every byte count to 0 frames. */
    unsigned BytesToFrames(unsigned bytes) const;
    unsigned FramesToBytes(unsigned frames) const;
    unsigned MsToBytes(unsigned ms) const;

    const DataFormatDesc &GetFormat() const;
    DataFormatDesc &GetFormat();

private:
    enum { KsDataFormatBytes = 64 };
    /* Writes the 64-byte KSDATAFORMAT head that goes with a format ToWfx wrote. */
    void ToKsDataFormat(void *head, const WAVEFORMATEXTENSIBLE &written) const;

    DataFormatDesc desc;
};

/* A fixed-capacity wide text: N characters of storage and nothing else.
   Assignment copies the whole storage, whatever lies after the terminator. */
template <unsigned N>
class TextInPlace {
public:
    TextInPlace();
    TextInPlace(const TextInPlace &other);
    TextInPlace &operator=(const TextInPlace &other);
    TextInPlace &operator=(TextInPlace &&other);
    operator wchar_t *();
    operator const wchar_t *() const;

protected:
    wchar_t text[N];
};

template <unsigned N>
TextInPlace<N>::TextInPlace()
{
    text[0] = L'\0';
}

template <unsigned N>
TextInPlace<N>::TextInPlace(const TextInPlace &other)
{
    wmemcpy(text, other.text, N);
}

template <unsigned N>
TextInPlace<N> &TextInPlace<N>::operator=(const TextInPlace &other)
{
    wmemcpy(text, other.text, N);
    return *this;
}

template <unsigned N>
TextInPlace<N> &TextInPlace<N>::operator=(TextInPlace &&other)
{
    wmemcpy(text, other.text, N);
    return *this;
}

template <unsigned N>
TextInPlace<N>::operator wchar_t *()
{
    return text;
}

template <unsigned N>
TextInPlace<N>::operator const wchar_t *() const
{
    return text;
}

extern template class OMBAPI TextInPlace<256>;

/* The text of a status: "[u]facility/code - system text". */
class OMBAPI ErrorText_i : public TextInPlace<256> {
public:
    explicit ErrorText_i(LONG code);
    explicit ErrorText_i(ULONG code);
    ErrorText_i(const ErrorText_i &other);
    ErrorText_i &operator=(const ErrorText_i &other);
    ErrorText_i &operator=(ErrorText_i &&other);

    /* Writes the text of code into buf (capacity count, terminator included)
       and keeps the thread's last-error value. Returns buf. */
    static const wchar_t *ToStr(wchar_t *buf, unsigned count, ULONG code);
};

/* Shows a printf-style message (at most 511 characters) in an error box and
   keeps the thread's last-error value. */
OMBAPI void Error(const wchar_t *format, ...);

class OmbDriver;
class OmbPipe;
class OmbHost;

/* The application's side of a host: the loop calls TransferData with a
   stretch of the shared cyclic buffer (a whole number of frames that does not
   run past the buffer's end) and moves the device position by the bytes it
   returns. TransferData is the first entry of the object's table, so a plain
   caller can supply a hand-made table (see the C declarations below). */
class CallbackInterface {
public:
    virtual unsigned TransferData(void *data, unsigned bytes) = 0;

protected:
    ~CallbackInterface() = default;
};

/* The driver as an application sees it: the first present, active interface
   of a device-interface class, and the pipes opened on it. Holds no handle;
   it must outlive the pipes and hosts made from it. */
class OMBAPI OmbDriver {
public:
    /* driver is set to null first, to the new object on success. */
    static HRESULT Create(OmbDriver *&driver, const GUID &classId);
    /* Destroys and frees the object; a null object is ignored. */
    void Delete();
    ~OmbDriver();

    HRESULT Open();
    void Close();
    bool IsOpen() const;
    const GUID &GetClassId() const;
    /* Creates and opens a pipe; on failure pipe is left as it was. */
    HRESULT CreatePipe(OmbPipe *&pipe, bool capture);
    void Check() const;

private:
    explicit OmbDriver(const GUID &classId);
    OmbDriver(const OmbDriver &) = delete;
    OmbDriver &operator=(const OmbDriver &) = delete;
    HRESULT FindInterface();

    GUID classId;
    enum { PathCapacity = 260 };
    wchar_t interfacePath[PathCapacity];
};

/* One open control channel to one side of the device. */
class OMBAPI OmbPipe {
public:
    OmbPipe(const OmbDriver *driver, bool capture);
    ~OmbPipe();
    /* Destroys and frees the pipe; a null object is ignored. */
    void Delete();

    HRESULT Open(const wchar_t *interfacePath);
    void Close();
    bool IsOpen() const;
    bool IsCapt() const;
    const wchar_t *GetType() const;
    /* The shared block while open; on a closed pipe a constant all-zero
       block, which must not be written. */
    CommonDataDesc &GetCommonData();
    const CommonDataDesc &GetCommonData() const;
    bool IsRunningState() const;
    /* The format the driver last accepted through SetFormat, with the
       container size and channel mask SetFormat derived; zero until then. */
    const WaveFormat &GetFormat() const;

    /* Sends any control request; req.Version is forced to 3. bytesReturned
       may be null; it receives the count on failure too. */
    HRESULT DriverRequest(unsigned code, DriverReq &req, unsigned reqSize, void *out, unsigned outSize,
                          unsigned *bytesReturned) const;
    HRESULT SetFormat(unsigned sr, unsigned bps, unsigned nc, unsigned bpc, unsigned cc);
    HRESULT SetMinimalBufferSize(unsigned frames);
    HRESULT SetNotificationEvent(HANDLE event);
    HRESULT Notify(unsigned long code);
    HRESULT AdvanceDevicePosition(unsigned frames);
    HRESULT ResetDevicePosition();
    void Check() const;

private:
    OmbPipe(const OmbPipe &) = delete;
    OmbPipe &operator=(const OmbPipe &) = delete;

    const OmbDriver *driver;
    bool capture;
    WaveFormat format;
    HANDLE handle;
    CommonDataDesc *commonData;
};

/* One side of the device turned into a clocked data stream: Start attaches,
   EventLoop (on a thread of the application's choosing) answers the
   driver and hands the application each tick's stretch of audio. */
class OMBAPI OmbHost {
public:
    /* host is set to null first, to the new object on success. */
    static HRESULT Create(OmbHost *&host, OmbDriver &driver, bool capture, CallbackInterface &callback);
    /* Destroys (which stops) and frees the host; a null object is ignored. */
    void Delete();
    ~OmbHost();

    /* minimalBufferMs 0 asks for no minimal buffer size. */
    HRESULT Start(const WaveFormat &format, unsigned minimalBufferMs);
    /* Ends the loop, running or just starting, and waits for it, then
       closes the pipe and the event; from inside TransferData it only asks
       the loop to end. Always 0. */
    HRESULT Stop();
    /* Runs until Stop (result 0), a failing reply to the driver (its status)
       or an exception from TransferData, which goes no further than here
       (0x8000FFFF, E_UNEXPECTED). 0x8007139F on a host not started or with
       a loop already running. */
    HRESULT EventLoop(unsigned timeoutMs);
    bool IsStarted() const;
    bool IsCapt() const;
    const wchar_t *GetType() const;
    /* The pipe's shared block while started; otherwise a constant all-zero
       block. */
    const CommonDataDesc &GetCommonData() const;
    /* Runs the device clock faster (positive) or slower than the counter by
       partsPerBillion, at most OMB_CLOCK_TRIM_LIMIT_PPB either way (else
       0x80070057 and nothing changes). From any thread at any time; it takes
       effect at the next tick, the fraction of a frame already counted
       carries over (no step, no drift), and it stays across Stop and Start. */
    HRESULT SetClockTrim(int32_t partsPerBillion);
    /* The counters since the last Start, from any thread, also while the
       loop runs. 0x80070057 when stats is null or its Size is below 48,
       leaving the record untouched. */
    HRESULT GetStats(OmbHostStats *stats) const;
    void Check() const;

private:
    OmbHost(OmbDriver &driver, bool capture, CallbackInterface &callback);
    OmbHost(const OmbHost &) = delete;
    OmbHost &operator=(const OmbHost &) = delete;
    class Loop;
    struct Tally;
    HRESULT Run(unsigned timeoutMs);
    void Publish(const Tally &tally);

    OmbDriver &driver;
    bool capture;
    CallbackInterface &callback;
    HANDLE event;
    OmbPipe *pipe;
    WaveFormat format;
    std::atomic<bool> started;
    std::atomic<bool> inLoop;
    std::atomic<bool> stopRequest;
    std::atomic<int32_t> clockTrim;
    /* The counters as the loop last published them. sequence is odd while
       the loop writes them, so a reader on another thread retries instead of
       taking a mix of two ticks. */
    struct Counters {
        std::atomic<uint32_t> sequence;
        std::atomic<uint64_t> ticks, framesHandedOut, framesNotTaken, lateTicks, maxLatenessUs;
    } counters;
};

} /* namespace Ombrivo */

/* The names the flat functions take their objects by. */
typedef Ombrivo::OmbDriver OmbDriver;
typedef Ombrivo::OmbPipe OmbPipe;
typedef Ombrivo::OmbHost OmbHost;
typedef Ombrivo::WaveFormat OmbWaveFormat;
typedef Ombrivo::CallbackInterface OmbCallback;
typedef bool OmbBool;

#else /* plain C */

typedef struct OmbDriver OmbDriver;
typedef struct OmbPipe OmbPipe;
typedef struct OmbHost OmbHost;
/* A WaveFormat is laid out as its 20-byte descriptor. */
typedef DataFormatDesc OmbWaveFormat;

/* A plain caller's callback object: its first field points to a table whose
   first entry is the data operation, called with the object itself. */
typedef struct OmbCallback OmbCallback;
typedef struct OmbCallbackTable {
    unsigned (*TransferData)(OmbCallback *self, void *data, unsigned bytes);
} OmbCallbackTable;
struct OmbCallback {
    const OmbCallbackTable *table;
};

/* The library's one-byte truth value; without <stdbool.h>, which would
   define bool for the whole host. */
#if defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L
typedef _Bool OmbBool;
#else
typedef unsigned char OmbBool; /* 0 or 1 */
#endif

#endif /* __cplusplus */

/* The flat interface: each function forwards to one member function. The
   GetCommonData functions give NULL on a closed pipe or a host that is not
   started. */
#ifdef __cplusplus
extern "C" {
#endif

OMBAPI HRESULT Driver_Create(OmbDriver **driver, const GUID *classId);
OMBAPI void Driver_Delete(OmbDriver *driver);
OMBAPI OmbBool Driver_IsOpen(const OmbDriver *driver);
OMBAPI HRESULT Driver_Open(OmbDriver *driver);
OMBAPI void Driver_Close(OmbDriver *driver);
OMBAPI HRESULT Driver_CreatePipe(OmbDriver *driver, OmbPipe **pipe, OmbBool capture);

OMBAPI OmbBool Pipe_IsCapt(const OmbPipe *pipe);
OMBAPI OmbBool Pipe_IsOpen(const OmbPipe *pipe);
OMBAPI const wchar_t *Pipe_GetType(const OmbPipe *pipe);
OMBAPI OmbBool Pipe_IsRunningState(const OmbPipe *pipe);
OMBAPI void Pipe_Delete(OmbPipe *pipe);
OMBAPI HRESULT Pipe_Open(OmbPipe *pipe, const wchar_t *interfacePath);
OMBAPI void Pipe_Close(OmbPipe *pipe);
OMBAPI CommonDataDesc *Pipe_GetCommonData(OmbPipe *pipe);
OMBAPI HRESULT Pipe_DriverRequest(const OmbPipe *pipe, unsigned code, DriverReq *request, unsigned requestSize,
                                  void *output, unsigned outputSize, unsigned *bytesReturned);
OMBAPI HRESULT Pipe_SetFormat(OmbPipe *pipe, unsigned sampleRate, unsigned bitsPerSample, unsigned channels,
                              unsigned containerBytes, unsigned channelMask);
OMBAPI HRESULT Pipe_SetMinimalBufferSize(OmbPipe *pipe, unsigned frames);
OMBAPI HRESULT Pipe_SetNotificationEvent(OmbPipe *pipe, HANDLE event);
OMBAPI HRESULT Pipe_Notify(OmbPipe *pipe, unsigned code);
OMBAPI HRESULT Pipe_AdvanceDevicePosition(OmbPipe *pipe, unsigned frames);
OMBAPI HRESULT Pipe_ResetDevicePosition(OmbPipe *pipe);

OMBAPI OmbBool Host_IsCapt(const OmbHost *host);
OMBAPI OmbBool Host_IsStarted(const OmbHost *host);
OMBAPI const wchar_t *Host_GetType(const OmbHost *host);
OMBAPI const CommonDataDesc *Host_GetCommonData(const OmbHost *host);
OMBAPI HRESULT Host_Create(OmbHost **host, OmbDriver *driver, OmbBool capture, OmbCallback *callback);
OMBAPI void Host_Delete(OmbHost *host);
/* format may point to a bare DataFormatDesc; BPC 0 asks for the derived
   container size, CC 0xFFFFFFFF for the standard channel mask. */
OMBAPI HRESULT Host_Start(OmbHost *host, const OmbWaveFormat *format, unsigned minimalBufferMs);
OMBAPI HRESULT Host_Stop(OmbHost *host);
OMBAPI HRESULT Host_EventLoop(OmbHost *host, unsigned tickMs);
OMBAPI HRESULT Host_SetClockTrim(OmbHost *host, int32_t partsPerBillion);
/* stats->Size must be set first (see OmbHostStats). */
OMBAPI HRESULT Host_GetStats(const OmbHost *host, OmbHostStats *stats);

#ifdef __cplusplus
}
#endif

#endif
