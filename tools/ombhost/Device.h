// Finding the device and telling what went wrong with it, for each command.
#pragma once

#include <stdio.h>
#include "ombapi.h"

namespace ombhost {

constexpr HRESULT StatusNoInterface = static_cast<HRESULT>(0x80070490); // ERROR_NOT_FOUND
constexpr HRESULT StatusBusy = static_cast<HRESULT>(0x800700AA);        // ERROR_BUSY

// Creates the driver object and finds the device. On failure writes the
// message and returns the exit status (ExitNoDevice when none is present)
// with no driver object left; 0 on success.
int OpenDevice(Ombrivo::OmbDriver *&driver, FILE *err);

// Writes "ombhost: <what>: <the status's text>".
void Report(FILE *err, const char *what, HRESULT status);

// "render pipe" / "capture pipe", with what each carries.
const char *PipeName(bool capture);

} // namespace ombhost
