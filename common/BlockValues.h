/* The values the fields of the shared block take, as the driver and the
   client library write and test them. Kept out of the public header set, so
   a host's global names stay few. */
#ifndef OMBRIVO_COMMON_BLOCKVALUES_H
#define OMBRIVO_COMMON_BLOCKVALUES_H

#include "CommonDataDesc.h"

#define PIPE_BUFFER_BYTES 524288u /* each pipe's whole audio buffer */
#define COMMON_DATA_BYTES 376u

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

/* Bits 0 and 1 of RequestFlags are set together while a driver request is
   posted; bit 1 is the one the client tests. */
#define REQUEST_FLAGS_POSTED 3u
#define REQUEST_FLAGS_CLIENT_BIT 2u

#ifdef __cplusplus
static_assert(sizeof(CommonDataDesc) == COMMON_DATA_BYTES, "CommonDataDesc is 376 bytes");
#endif

#endif
