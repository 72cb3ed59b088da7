/* ombemu.h compiles as strict C89 (built with -std=c89 -pedantic -Werror);
   this use of every type keeps the check honest. */
#include "ombemu.h"

int32_t OmbEmuC89Check(void);

int32_t OmbEmuC89Check(void)
{
    OmbEmuOptions options;
    OmbEmuStreamOptions stream;
    OmbEmuSource source;
    OmbEmuSink sink;
    OmbEmuReport report;
    options.Size = sizeof options;
    stream.Size = sizeof stream;
    source.Kind = OMBEMU_SOURCE_SIGNAL;
    sink.Path = 0;
    report.Size = sizeof report;
    return (int32_t)(options.Size + stream.Size + source.Kind + (sink.Path == 0) + report.Size);
}
