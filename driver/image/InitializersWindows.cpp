// The static initialisers of the Windows image: nothing runs them before the
// entry, so the entry walks the compiler's constructor list itself.
#include "ImageInitializers.h"
#include "Startup.h"

// The linker lays it out as: -1, the constructors, a null entry.
extern "C" Mosaik::GlobalInitializer __CTOR_LIST__[];

void RunImageInitializers()
{
    ULONG count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr)
        ++count;
    // The list holds them in reverse order of definition.
    for (ULONG i = count; i >= 1; --i)
        Mosaik::RunGlobalInitializers(&__CTOR_LIST__[i], 1);
}
