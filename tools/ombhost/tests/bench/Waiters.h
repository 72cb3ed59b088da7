// How many threads of the emulated machine wait on the clock, for a bench
// that moves virtual time only once everything it runs has come to rest.
// Free of wide text, so client-side tests can include it.
#pragma once

#include <stddef.h>

namespace bench {

size_t TimedWaiters();

} // namespace bench
