/* The plain C host's entry points, for the test that drives it. */
#ifndef PLAINHOST_H
#define PLAINHOST_H

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the driver and a render host and starts it at 48000 Hz, 16 bits,
   2 channels, with the container size and channel mask given (0 and
   0xFFFFFFFF ask for the derived ones) and a 20 ms minimal buffer. */
long PlainHostStart(unsigned containerBytes, unsigned channelMask);
long PlainHostLoop(unsigned tickMs);
long PlainHostStop(void);
void PlainHostEnd(void);
int PlainHostIsStarted(void);
/* Whether Host_GetCommonData gives a block. */
int PlainHostHasBlock(void);
unsigned long long PlainHostBytes(void);
unsigned PlainHostCalls(void);
/* Host_SetClockTrim. */
long PlainHostSetTrim(long partsPerBillion);
/* Host_GetStats with a record whose Size is `size`: the five counters in
   their order, and the Size the library left in the record. */
long PlainHostStats(unsigned size, unsigned long long counters[5], unsigned *sizeFilled);
/* Opens the capture pipe, closes it first if asked, and tells whether
   Pipe_GetCommonData gives a block; -1 when the pipe does not open. */
int PlainPipeHasBlock(int closeFirst);

#ifdef __cplusplus
}
#endif

#endif
