/* The public header first and alone: it brings what it needs itself. */
#include <ombapi.h>
#include "HeaderUse.h"
