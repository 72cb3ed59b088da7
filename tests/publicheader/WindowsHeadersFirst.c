/* The system's headers first, then the public header. */
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>
#include <ombapi.h>
#include "HeaderUse.h"
