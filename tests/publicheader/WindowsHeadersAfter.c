/* The public header first, as if alone, then the system's headers. */
#include <ombapi.h>
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>
#include "HeaderUse.h"
