// Stand-in for the ksguid library: the one definition of each named
// kernel-streaming GUID that the headers declare.
#include <mmreg.h>
#include <ksmedia.h>

#define STANDIN_DEFINE(name) EXTERN_C const GUID name = {STATIC_##name}

STANDIN_DEFINE(GUID_NULL);
STANDIN_DEFINE(KSDATAFORMAT_TYPE_AUDIO);
STANDIN_DEFINE(KSDATAFORMAT_SUBTYPE_PCM);
STANDIN_DEFINE(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
STANDIN_DEFINE(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
