/* The 376-byte block each pipe shares between the driver and its client.
   Offsets are fixed; every byte not named is reserved and stays zero. */
#ifndef OMBRIVO_COMMON_COMMONDATADESC_H
#define OMBRIVO_COMMON_COMMONDATADESC_H

#include <stdint.h>
#include "DataFormatDesc.h"

#define PIPE_BUFFER_BYTES 524288u /* each pipe's whole audio buffer */
#define COMMON_DATA_BYTES 376u

#pragma pack(push, 1)
typedef struct CommonDataDesc {
    uint8_t Reserved0[52];
    uint32_t RequestFlags;        /*  52 driver, atomically: bits 0-1 while a driver request is posted */
    uint32_t RequestCode;         /*  56 driver: pending ClientRequestCode, 0 when none */
    DataFormatDesc Format;        /*  60 driver: the pipe's current format */
    uint32_t BufferSizeBytes;     /*  80 driver: PIPE_BUFFER_BYTES */
    uint32_t MinBufferFrames;     /*  84 driver: minimal buffer size in force */
    uint8_t Reserved88[16];
    uint8_t StreamAttached;       /* 104 driver: 1 while a stream is attached */
    uint8_t Reserved105[7];
    uint32_t PacketErrorsTotal;   /* 112 driver: late or overrun write packets since device start */
    uint8_t Reserved116[160];
    uint32_t EngineUsage;         /* 276 driver, atomically: ENGINE_USED_* bits */
    uint8_t StreamFormat[40];     /* 280 driver: the stream's format as a WAVEFORMATEXTENSIBLE */
    uint32_t StreamState;         /* 320 driver: 0 stop, 1 acquire, 2 pause, 3 run */
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

/* EngineUsage bits. */
#define ENGINE_USED_NOTIFICATIONS 0x1u
#define ENGINE_USED_PACKETS 0x2u
#define ENGINE_USED_POSITION_REGISTER 0x4u

/* StreamState values, numbered as KSSTATE. */
#define STREAM_STATE_STOP 0u
#define STREAM_STATE_ACQUIRE 1u
#define STREAM_STATE_PAUSE 2u
#define STREAM_STATE_RUN 3u

/* ReplyStatus preset while a driver request waits: STATUS_UNSUCCESSFUL. */
#define REPLY_STATUS_PRESET 0xC0000001u

#ifdef __cplusplus
#define OMB_PIN_OFFSET(field, offset) \
    static_assert(__builtin_offsetof(CommonDataDesc, field) == (offset), #field " offset")
OMB_PIN_OFFSET(RequestFlags, 52);
OMB_PIN_OFFSET(RequestCode, 56);
OMB_PIN_OFFSET(Format, 60);
OMB_PIN_OFFSET(Format.SR, 60);
OMB_PIN_OFFSET(Format.BPS, 64);
OMB_PIN_OFFSET(Format.NC, 68);
OMB_PIN_OFFSET(Format.BPC, 72);
OMB_PIN_OFFSET(Format.CC, 76);
OMB_PIN_OFFSET(BufferSizeBytes, 80);
OMB_PIN_OFFSET(MinBufferFrames, 84);
OMB_PIN_OFFSET(StreamAttached, 104);
OMB_PIN_OFFSET(PacketErrorsTotal, 112);
OMB_PIN_OFFSET(EngineUsage, 276);
OMB_PIN_OFFSET(StreamFormat, 280);
OMB_PIN_OFFSET(StreamState, 320);
OMB_PIN_OFFSET(BufferSizeFrames, 324);
OMB_PIN_OFFSET(AvailableFrames, 328);
OMB_PIN_OFFSET(TotalFrames, 332);
OMB_PIN_OFFSET(StreamPositionFrames, 340);
OMB_PIN_OFFSET(Reserved344, 344);
OMB_PIN_OFFSET(PacketErrorCount, 348);
OMB_PIN_OFFSET(BufferAddress, 352);
OMB_PIN_OFFSET(DevicePositionFrames, 360);
OMB_PIN_OFFSET(DevicePositionBytes, 364);
OMB_PIN_OFFSET(ReplyStatus, 368);
OMB_PIN_OFFSET(PipeReady, 372);
#undef OMB_PIN_OFFSET
static_assert(sizeof(CommonDataDesc) == COMMON_DATA_BYTES, "CommonDataDesc is 376 bytes");
#endif

#endif
