/* The PortCls header, preceded by the two WaveRT structures its stream
   interfaces use but the mingw-w64 headers never declare (published
   layouts). They belong with the other missing kernel-streaming
   declarations; they live here until that header has them. */
#pragma once

#include "KsHeaders.h"

typedef struct {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;

typedef struct {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;

#include <portcls.h>
