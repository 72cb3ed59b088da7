/* ombapi: the client library of the Ombrivo virtual sound device.
   A host application attaches to one of the device's endpoints through a
   private control channel and clocks audio through the shared cyclic buffer.

   C++ callers use the classes of the namespace Ombrivo; every caller, C
   included, can use the flat functions and the records of the control
   protocol. */
#ifndef OMBRIVO_OMBAPI_H
#define OMBRIVO_OMBAPI_H

#include <windows.h>
#include <setupapi.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <wchar.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "ControlProtocol.h"
#include "CommonDataDesc.h"
#include "KsCompat.h"

#ifdef OMBAPI_BUILD
#define OMBAPI __declspec(dllexport)
#else
#define OMBAPI __declspec(dllimport)
#endif

#ifdef __cplusplus

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
    void ToKdf(KSDATAFORMAT_WAVEFORMATEXTENSIBLE &kdf) const;
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
    /* The shared block; valid only while open. */
    CommonDataDesc &GetCommonData();
    const CommonDataDesc &GetCommonData() const;
    bool IsRunningState() const;

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
    /* Ends a running loop and waits for it; from inside TransferData it
       only asks the loop to end. Always 0. */
    HRESULT Stop();
    /* Runs until Stop (result 0) or a failing reply to the driver. */
    HRESULT EventLoop(unsigned timeoutMs);
    bool IsStarted() const;
    bool IsCapt() const;
    const wchar_t *GetType() const;
    /* The pipe's shared block; valid only while started. */
    const CommonDataDesc &GetCommonData() const;
    void Check() const;

private:
    OmbHost(OmbDriver &driver, bool capture, CallbackInterface &callback);
    OmbHost(const OmbHost &) = delete;
    OmbHost &operator=(const OmbHost &) = delete;
    class Loop;

    OmbDriver &driver;
    bool capture;
    CallbackInterface &callback;
    HANDLE event;
    OmbPipe *pipe;
    WaveFormat format;
    std::atomic<bool> started;
    std::atomic<bool> inLoop;
    std::atomic<bool> stopRequest;
};

} /* namespace Ombrivo */

typedef Ombrivo::OmbDriver OmbDriver;
typedef Ombrivo::OmbPipe OmbPipe;
typedef Ombrivo::OmbHost OmbHost;
typedef Ombrivo::WaveFormat WaveFormat;
typedef Ombrivo::CallbackInterface CallbackInterface;

#else /* plain C */

typedef struct OmbDriver OmbDriver;
typedef struct OmbPipe OmbPipe;
typedef struct OmbHost OmbHost;
/* A WaveFormat is laid out as its 20-byte descriptor. */
typedef DataFormatDesc WaveFormat;

/* A plain caller's callback object: its first field points to a table whose
   first entry is the data operation, called with the object itself. */
typedef struct CallbackInterface CallbackInterface;
typedef struct CallbackInterfaceTable {
    unsigned (*TransferData)(CallbackInterface *self, void *data, unsigned bytes);
} CallbackInterfaceTable;
struct CallbackInterface {
    const CallbackInterfaceTable *table;
};

#endif /* __cplusplus */

/* The flat interface: each function forwards to one member function. */
#ifdef __cplusplus
extern "C" {
#endif

OMBAPI HRESULT Driver_Create(OmbDriver **driver, const GUID *classId);
OMBAPI void Driver_Delete(OmbDriver *driver);
OMBAPI bool Driver_IsOpen(const OmbDriver *driver);
OMBAPI HRESULT Driver_Open(OmbDriver *driver);
OMBAPI void Driver_Close(OmbDriver *driver);
OMBAPI HRESULT Driver_CreatePipe(OmbDriver *driver, OmbPipe **pipe, bool capture);

OMBAPI bool Pipe_IsCapt(const OmbPipe *pipe);
OMBAPI bool Pipe_IsOpen(const OmbPipe *pipe);
OMBAPI const wchar_t *Pipe_GetType(const OmbPipe *pipe);
OMBAPI bool Pipe_IsRunningState(const OmbPipe *pipe);
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

OMBAPI bool Host_IsCapt(const OmbHost *host);
OMBAPI bool Host_IsStarted(const OmbHost *host);
OMBAPI const wchar_t *Host_GetType(const OmbHost *host);
OMBAPI const CommonDataDesc *Host_GetCommonData(const OmbHost *host);
OMBAPI HRESULT Host_Create(OmbHost **host, OmbDriver *driver, bool capture, CallbackInterface *callback);
OMBAPI void Host_Delete(OmbHost *host);
OMBAPI HRESULT Host_Start(OmbHost *host, const WaveFormat *format, unsigned minimalBufferMs);
OMBAPI HRESULT Host_Stop(OmbHost *host);
OMBAPI HRESULT Host_EventLoop(OmbHost *host, unsigned tickMs);

#ifdef __cplusplus
}
#endif

#endif
