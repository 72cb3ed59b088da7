// A C++ host of the installed package: a class of the library and its flat
// functions. Prints "ok" when the library answered as it does without a device.
#include <ombapi.h>
#include <stdio.h>

int main()
{
    Ombrivo::WaveFormat format(48000, 16, 2, 0, 0xFFFFFFFF);
    if (format.GetBPC() != 2 || format.GetCC() != 3 || format.GetFrameSize() != 4) {
        printf("WaveFormat: %u %u %u\n", format.GetBPC(), format.GetCC(), format.GetFrameSize());
        return 1;
    }
    Ombrivo::OmbDriver *driver = nullptr;
    if (Ombrivo::OmbDriver::Create(driver, Ombrivo::ControlInterfaceClass) != S_OK)
        return 1;
    const HRESULT status = Driver_Open(driver);
    Driver_Delete(driver);
    if (status != static_cast<HRESULT>(0x80070490)) {
        printf("Driver_Open without a device: %08lx\n", static_cast<unsigned long>(status));
        return 1;
    }
    puts("ok");
    return 0;
}
