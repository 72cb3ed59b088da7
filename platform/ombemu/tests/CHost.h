/* A host written as a plain C program writes one, with ombapi's flat
   functions, run in a process of the emulated machine: its loop is a thread
   of that process. The test supplies what each tick moves. */
#ifndef OMBEMU_TESTS_CHOST_H
#define OMBEMU_TESTS_CHOST_H

#include "ombemu.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fills (render) or takes (capture) a tick's stretch of the buffer. */
typedef void (*CHostTransfer)(void *context, void *data, unsigned bytes);

typedef struct CHost CHost;

/* capture: serves the render endpoint (PipeCapture). NULL on failure, with
   the status in *status. */
CHost *CHost_Start(OmbEmuProcess *process, int capture, unsigned rate, unsigned bits, unsigned channels,
                   unsigned containerBytes, unsigned tickMs, CHostTransfer transfer, void *context, int32_t *status);
/* Stops the loop, joins it and frees the host. */
void CHost_Stop(CHost *host);
/* The loop's result once it ended (0 while it runs or after a stop). */
int32_t CHost_LoopResult(const CHost *host);

#ifdef __cplusplus
}
#endif

#endif
