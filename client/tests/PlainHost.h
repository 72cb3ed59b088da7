/* The plain C host's entry points, for the test that drives it. */
#ifndef PLAINHOST_H
#define PLAINHOST_H

#ifdef __cplusplus
extern "C" {
#endif

long PlainHostStart(void);
long PlainHostLoop(unsigned tickMs);
long PlainHostStop(void);
void PlainHostEnd(void);
int PlainHostIsStarted(void);
unsigned long long PlainHostBytes(void);
unsigned PlainHostCalls(void);

#ifdef __cplusplus
}
#endif

#endif
