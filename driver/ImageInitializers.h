/* The image's static initialisers, run from the driver's entry once the
   support library has started. */
#pragma once

void RunImageInitializers();
