// The port class's own definitions of the interface and class identifiers it
// uses (a driver defines its copies with INITGUID, as on Windows).
#define INITGUID
#include "internal.h"
