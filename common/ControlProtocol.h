/* The control channel as the driver and the client library's own sources see
   it: the public codes, and beside them the pipes, their file names, the
   request bodies and their least lengths, which hosts never need. */
#ifndef OMBRIVO_COMMON_CONTROLPROTOCOL_H
#define OMBRIVO_COMMON_CONTROLPROTOCOL_H

#include <stddef.h>
#include <stdint.h>
#include "ControlCodes.h"
#include "BlockValues.h"
#include "DataFormatDesc.h"

#ifdef __cplusplus
using Ombrivo::ControlInterfaceClass;
#endif

/* The class GUID as it appears in a pipe's file name: lower case, no braces. */
#define CONTROL_CLASS_TEXT L"e6dcd72d-0668-429f-8a1b-e72dfe991340"
#define PIPE_SUFFIX_RENDER L"Render"
#define PIPE_SUFFIX_CAPTURE L"Capture"

/* The file names a pipe is opened with, after the interface path. */
#define PIPE_REFSTRING_RENDER L"\\" CONTROL_CLASS_TEXT L"\\" PIPE_SUFFIX_RENDER
#define PIPE_REFSTRING_CAPTURE L"\\" CONTROL_CLASS_TEXT L"\\" PIPE_SUFFIX_CAPTURE

/* Pipes are named from the client's point of view: the client's render pipe
   feeds the driver's capture endpoint and the other way round. */
enum PipeKind {
    PipeRender = 0,
    PipeCapture = 1
};

#define DRIVER_REQ_VERSION 3u

#pragma pack(push, 1)
typedef struct SetFormatRequest {
    DriverReq Header;
    DataFormatDesc Format;
} SetFormatRequest;

typedef struct SetMinimalBufferSizeRequest {
    DriverReq Header;
    uint32_t Frames;
} SetMinimalBufferSizeRequest;

/* The event handle travels as 8 bytes, or as 4 from a 32-bit process. */
typedef struct SetNotificationEventRequest {
    DriverReq Header;
    uint64_t Event;
} SetNotificationEventRequest;

typedef struct SetNotificationEventRequest32 {
    DriverReq Header;
    uint32_t Event;
} SetNotificationEventRequest32;

typedef struct NotifyRequest {
    DriverReq Header;
    uint32_t Code;
} NotifyRequest;
#pragma pack(pop)

/* Least input lengths the driver accepts. */
#define REQ_MIN_INPUT 4u
#define REQ_SET_FORMAT_MIN_INPUT 24u
#define REQ_SET_MINIMAL_BUFFER_SIZE_MIN_INPUT 8u
#define REQ_SET_NOTIFICATION_EVENT_MIN_INPUT 12u
#define REQ_SET_NOTIFICATION_EVENT_MIN_INPUT32 8u
#define REQ_NOTIFY_MIN_INPUT 8u

#ifdef __cplusplus
static_assert(sizeof(SetFormatRequest) == REQ_SET_FORMAT_MIN_INPUT, "set-format request");
static_assert(sizeof(SetMinimalBufferSizeRequest) == REQ_SET_MINIMAL_BUFFER_SIZE_MIN_INPUT, "minimal-size request");
static_assert(sizeof(SetNotificationEventRequest) == REQ_SET_NOTIFICATION_EVENT_MIN_INPUT, "event request");
static_assert(sizeof(SetNotificationEventRequest32) == REQ_SET_NOTIFICATION_EVENT_MIN_INPUT32, "event request, 32-bit caller");
static_assert(sizeof(NotifyRequest) == REQ_NOTIFY_MIN_INPUT, "notify request");
static_assert(offsetof(SetNotificationEventRequest, Event) == 4, "the handle lies at byte 4");

/* The codes are CTL_CODE(0x22, function, METHOD_BUFFERED, access). */
constexpr uint32_t ControlCode(uint32_t function, uint32_t access)
{
    return (0x22u << 16) | (access << 14) | (function << 2) | 0u;
}
static_assert(ReqGetCommonData == ControlCode(0x901, 1), "get-block code");
static_assert(ReqSetFormat == ControlCode(0x902, 2), "set-format code");
static_assert(ReqSetMinimalBufferSize == ControlCode(0x903, 2), "minimal-size code");
static_assert(ReqSetNotificationEvent == ControlCode(0x904, 2), "event code");
static_assert(ReqNotify == ControlCode(0x905, 2), "notify code");
#endif

#endif
