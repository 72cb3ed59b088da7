// The Windows headers the engine's kernel-streaming code needs, in the order
// they must come (ks.h before ksmedia.h, both before KsCompat.h).
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <KsCompat.h>
