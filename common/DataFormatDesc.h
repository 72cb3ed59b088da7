/* The compact five-number audio format descriptor: the body of the
   set-format request and the content of the client's WaveFormat. */
#ifndef OMBRIVO_COMMON_DATAFORMATDESC_H
#define OMBRIVO_COMMON_DATAFORMATDESC_H

#include <stdint.h>

typedef struct DataFormatDesc {
    uint32_t SR;  /* sample rate, frames per second */
    uint32_t BPS; /* valid bits per sample */
    uint32_t NC;  /* number of channels */
    uint32_t BPC; /* bytes per sample container of one channel */
    uint32_t CC;  /* channel configuration: speaker mask */
} DataFormatDesc;

#ifdef __cplusplus
static_assert(sizeof(DataFormatDesc) == 20, "DataFormatDesc is 20 bytes on the wire");
#endif

#endif
