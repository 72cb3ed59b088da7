/* A render host: plays a ramp into the device's render pipe, which Windows
   applications record from the capture endpoint. */
#ifndef RENDER_HOST_H
#define RENDER_HOST_H

#include <windows.h>

/* The ramp's sample for frame n on the left channel (the right one has its
   negation): never zero, so a recording shows where it begins. */
#define RENDER_HOST_SAMPLE(n) ((short)(1 + (n) % 30000))

/* Plays the ramp, 48 kHz 16-bit stereo, until the stop event is set;
   *frames gets how many frames it gave. S_OK, or why it could not. */
HRESULT RenderHost_Run(HANDLE stop, unsigned long *frames);

#endif
