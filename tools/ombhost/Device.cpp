// Finding the device, and the messages about it.
#include "Device.h"

#include "HostTool.h"

namespace ombhost {

void Report(FILE *err, const char *what, HRESULT status)
{
    const Ombrivo::ErrorText_i text(static_cast<ULONG>(status));
    fprintf(err, "ombhost: %s: %ls\n", what, static_cast<const wchar_t *>(text));
}

int OpenDevice(Ombrivo::OmbDriver *&driver, FILE *err)
{
    HRESULT status = Ombrivo::OmbDriver::Create(driver, Ombrivo::ControlInterfaceClass);
    if (FAILED(status)) {
        Report(err, "cannot create the driver object", status);
        return ExitFailed;
    }
    status = driver->Open();
    if (SUCCEEDED(status))
        return ExitOk;
    driver->Delete();
    driver = nullptr;
    if (status == StatusNoInterface) {
        fprintf(err, "ombhost: no Ombrivo device is present (is the driver installed and started?)\n");
        return ExitNoDevice;
    }
    Report(err, "cannot find the Ombrivo device", status);
    return ExitFailed;
}

const char *PipeName(bool capture) { return capture ? "capture pipe" : "render pipe"; }

} // namespace ombhost
