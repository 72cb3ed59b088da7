/* The 376-byte block each pipe shares between the driver and its client.
   Offsets are fixed; every byte not named is reserved and stays zero.
   Part of the public header set: plain C89 and C++11, no global names beyond
   the record itself. The values the fields take are in BlockValues.h. */
#ifndef OMBRIVO_COMMON_COMMONDATADESC_H
#define OMBRIVO_COMMON_COMMONDATADESC_H

#include <stddef.h>
#include <stdint.h>
#include "DataFormatDesc.h"

#pragma pack(push, 1)
typedef struct CommonDataDesc {
    uint8_t Reserved0[52];
    uint32_t RequestFlags;        /*  52 driver, atomically: bits 0-1 while a driver request is posted */
    uint32_t RequestCode;         /*  56 driver: pending client request code, 0 when none */
    DataFormatDesc Format;        /*  60 driver: the pipe's current format */
    uint32_t BufferSizeBytes;     /*  80 driver: the pipe's whole audio buffer, 524288 */
    uint32_t MinBufferFrames;     /*  84 driver: minimal buffer size in force */
    uint8_t Reserved88[16];
    uint8_t StreamAttached;       /* 104 driver: 1 while a stream is attached */
    uint8_t Reserved105[7];
    uint32_t PacketErrorsTotal;   /* 112 driver: late or overrun write packets since device start */
    uint8_t Reserved116[160];
    uint32_t EngineUsage;         /* 276 driver, atomically: how the audio engine uses the stream */
    uint8_t StreamFormat[40];     /* 280 driver: the stream's format as a WAVEFORMATEXTENSIBLE */
    uint32_t StreamState;         /* 320 driver: 0 stop, 1 acquire, 2 pause, 3 run (KSSTATE) */
    uint32_t BufferSizeFrames;    /* 324 driver: frames of the cyclic buffer, 0 while none */
    uint32_t AvailableFrames;     /* 328 driver */
    uint64_t TotalFrames;         /* 332 driver: frames advanced while the current stream ran */
    uint32_t StreamPositionFrames; /* 340 driver */
    uint32_t Reserved344;         /* 344 driver: always 0 */
    uint32_t PacketErrorCount;    /* 348 driver: late or overrun packets of the current stream */
    uint64_t BufferAddress;       /* 352 driver: the audio buffer's address in the client, 0 while unmapped */
    uint32_t DevicePositionFrames; /* 360 client; driver resets */
    uint32_t DevicePositionBytes; /* 364 client; driver resets; the stream's position register */
    uint32_t ReplyStatus;         /* 368 driver and ReqNotify */
    uint8_t PipeReady;            /* 372 driver: 1 while the pipe has a complete client */
    uint8_t Reserved373[3];
} CommonDataDesc;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(offsetof(CommonDataDesc, RequestFlags) == 52, "RequestFlags offset");
static_assert(offsetof(CommonDataDesc, RequestCode) == 56, "RequestCode offset");
static_assert(offsetof(CommonDataDesc, Format) == 60, "Format offset");
static_assert(offsetof(CommonDataDesc, BufferSizeBytes) == 80, "BufferSizeBytes offset");
static_assert(offsetof(CommonDataDesc, MinBufferFrames) == 84, "MinBufferFrames offset");
static_assert(offsetof(CommonDataDesc, StreamAttached) == 104, "StreamAttached offset");
static_assert(offsetof(CommonDataDesc, PacketErrorsTotal) == 112, "PacketErrorsTotal offset");
static_assert(offsetof(CommonDataDesc, EngineUsage) == 276, "EngineUsage offset");
static_assert(offsetof(CommonDataDesc, StreamFormat) == 280, "StreamFormat offset");
static_assert(offsetof(CommonDataDesc, StreamState) == 320, "StreamState offset");
static_assert(offsetof(CommonDataDesc, BufferSizeFrames) == 324, "BufferSizeFrames offset");
static_assert(offsetof(CommonDataDesc, AvailableFrames) == 328, "AvailableFrames offset");
static_assert(offsetof(CommonDataDesc, TotalFrames) == 332, "TotalFrames offset");
static_assert(offsetof(CommonDataDesc, StreamPositionFrames) == 340, "StreamPositionFrames offset");
static_assert(offsetof(CommonDataDesc, Reserved344) == 344, "Reserved344 offset");
static_assert(offsetof(CommonDataDesc, PacketErrorCount) == 348, "PacketErrorCount offset");
static_assert(offsetof(CommonDataDesc, BufferAddress) == 352, "BufferAddress offset");
static_assert(offsetof(CommonDataDesc, DevicePositionFrames) == 360, "DevicePositionFrames offset");
static_assert(offsetof(CommonDataDesc, DevicePositionBytes) == 364, "DevicePositionBytes offset");
static_assert(offsetof(CommonDataDesc, ReplyStatus) == 368, "ReplyStatus offset");
static_assert(offsetof(CommonDataDesc, PipeReady) == 372, "PipeReady offset");
static_assert(sizeof(CommonDataDesc) == 376, "CommonDataDesc is 376 bytes");
#endif

#endif
