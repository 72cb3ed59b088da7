// IsBadReadPtr: a real probe of every page of the range.
#include "core.h"

BOOL WINAPI IsBadReadPtr(const void *lp, UINT_PTR ucb)
{
    return standin::io::boundary::ProbeRead(lp, ucb) ? FALSE : TRUE;
}
