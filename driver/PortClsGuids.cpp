// The one definition of each PortCls interface and class identifier the
// driver uses: the headers define them where this is set, before any of them.
#define INITGUID
#define PUT_GUIDS_HERE
#include "PortClsHeaders.h"
