// The one definition of each PortCls interface and class identifier the
// driver uses: the Windows headers define them where this is set.
#define PUT_GUIDS_HERE
#include "PortClsHeaders.h"
