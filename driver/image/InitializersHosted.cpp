// The static initialisers of the driver built into a host process (the Linux
// build): the host's runtime has run them already, so only the support
// library's own table is left.
#include "ImageInitializers.h"
#include "Startup.h"

void RunImageInitializers() { Mosaik::RunGlobalInitializers(); }
