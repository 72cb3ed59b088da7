/* What a host needs of the control channel: the device interface class, the
   request codes, the DriverReq header, the notify code and the codes of the
   requests the driver posts to its client. Part of the public header set:
   plain C89 and C++11, every global name the system's own. */
#ifndef OMBRIVO_COMMON_CONTROLCODES_H
#define OMBRIVO_COMMON_CONTROLCODES_H

#include <stdint.h>
#include <guiddef.h>

/* Device interface class of the control channel:
   {E6DCD72D-0668-429F-8A1B-E72DFE991340}. */
#define OMB_CONTROL_INTERFACE_CLASS_INIT \
    {0xE6DCD72D, 0x0668, 0x429F, {0x8A, 0x1B, 0xE7, 0x2D, 0xFE, 0x99, 0x13, 0x40}}
#ifdef __cplusplus
namespace Ombrivo {
constexpr GUID ControlInterfaceClass = OMB_CONTROL_INTERFACE_CLASS_INIT;
}
#endif

/* Device I/O control codes: device type 0x22, buffered, read or write access.
   The driver compares the whole 32-bit value. */
enum OmbRequestCode {
    ReqGetCommonData = 0x226404,        /* function 0x901, read access */
    ReqSetFormat = 0x22A408,            /* function 0x902, write access */
    ReqSetMinimalBufferSize = 0x22A40C, /* function 0x903, write access */
    ReqSetNotificationEvent = 0x22A410, /* function 0x904, write access */
    ReqNotify = 0x22A414                /* function 0x905, write access */
};

/* The header before every request body (Version 3). Bodies follow at byte 4,
   packed. */
typedef struct DriverReq {
    uint32_t Version;
} DriverReq;

/* The ReqNotify code: this one value announces a new device position; every
   other value is the client's reply status to the driver's pending request. */
#define NotifyPositionAdvanced 0x20000001u

/* Requests the driver posts to its client through the shared block's
   RequestCode. */
enum OmbClientRequestCode {
    ClientReqNone = 0,
    ClientReqBufferAllocated = 1,
    ClientReqBufferReleased = 2,
    ClientReqStateChanged = 3
};

#ifdef __cplusplus
static_assert(sizeof(DriverReq) == 4, "DriverReq header");
#endif

#endif
