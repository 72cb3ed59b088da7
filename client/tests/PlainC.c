/* A plain C caller of the public header: the records of the control protocol
   and the flat interface are usable without C++. */
#include <stdio.h>
#include <stddef.h>
#include "ombapi.h"

int main(void)
{
    int failures = 0;
    if (sizeof(CommonDataDesc) != 376) {
        printf("CommonDataDesc is %u bytes, expected 376\n", (unsigned)sizeof(CommonDataDesc));
        ++failures;
    }
    if (offsetof(CommonDataDesc, TotalFrames) != 332 || offsetof(CommonDataDesc, PipeReady) != 372) {
        printf("CommonDataDesc fields moved in C\n");
        ++failures;
    }
    if (sizeof(DataFormatDesc) != 20 || sizeof(DriverReq) != 4 || sizeof(OmbBool) != 1) {
        printf("request records differ in C\n");
        ++failures;
    }
    if (ReqNotify != 0x22A414 || NotifyPositionAdvanced != 0x20000001u || ClientReqStateChanged != 3) {
        printf("codes differ in C\n");
        ++failures;
    }
    {
        const GUID cls = OMB_CONTROL_INTERFACE_CLASS_INIT;
        if (cls.Data1 != 0xE6DCD72Du || cls.Data4[7] != 0x40) {
            printf("interface class differs in C\n");
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
