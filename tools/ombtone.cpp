// ombtone: a small host. "render" plays a 440 Hz tone into the device's
// capture endpoint (what Windows applications record); "capture" measures the
// level of what Windows applications play into the render endpoint.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <thread>
#include "ombapi.h"

using namespace Ombrivo;

namespace {

constexpr unsigned Rate = 48000, Channels = 2;
constexpr double Pi = 3.14159265358979323846;

class Tone : public CallbackInterface {
public:
    unsigned TransferData(void *data, unsigned bytes) override
    {
        auto *samples = static_cast<short *>(data);
        const unsigned frames = bytes / (Channels * sizeof(short));
        for (unsigned f = 0; f < frames; ++f, phase += 2 * Pi * 440 / Rate) {
            const short value = static_cast<short>(8000 * sin(phase));
            for (unsigned c = 0; c < Channels; ++c)
                samples[f * Channels + c] = value;
        }
        return bytes;
    }
    double phase = 0;
};

class Meter : public CallbackInterface {
public:
    unsigned TransferData(void *data, unsigned bytes) override
    {
        const auto *samples = static_cast<const short *>(data);
        for (unsigned i = 0; i < bytes / sizeof(short); ++i)
            peak = abs(samples[i]) > peak ? abs(samples[i]) : peak;
        frames += bytes / (Channels * sizeof(short));
        return bytes;
    }
    int peak = 0;
    unsigned long long frames = 0;
};

int Fail(const char *what, HRESULT status)
{
    fprintf(stderr, "ombtone: %s failed: %ls\n", what, static_cast<const wchar_t *>(ErrorText_i(status)));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const bool capture = argc > 1 && strcmp(argv[1], "capture") == 0;
    if (argc > 1 && !capture && strcmp(argv[1], "render") != 0) {
        fprintf(stderr, "usage: ombtone [render|capture] [seconds]\n");
        return 2;
    }
    const unsigned seconds = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 5;

    OmbDriver *driver = nullptr;
    HRESULT status = OmbDriver::Create(driver, ControlInterfaceClass);
    if (FAILED(status))
        return Fail("creating the driver object", status);
    if (FAILED(status = driver->Open())) {
        driver->Delete();
        return Fail("finding the device", status);
    }
    Tone tone;
    Meter meter;
    OmbHost *host = nullptr;
    status = OmbHost::Create(host, *driver, capture, capture ? static_cast<CallbackInterface &>(meter) : tone);
    if (SUCCEEDED(status))
        status = host->Start(WaveFormat(Rate, 16, Channels, 2, 0xFFFFFFFF), 20);
    if (FAILED(status)) {
        host->Delete();
        driver->Delete();
        return Fail("starting the host", status);
    }
    printf("ombtone: %ls host running for %u s\n", host->GetType(), seconds);
    HRESULT loopStatus = S_OK;
    std::thread loop([&] { loopStatus = host->EventLoop(10); });
    Sleep(seconds * 1000);
    host->Stop();
    loop.join();
    if (capture)
        printf("ombtone: captured %llu frames, peak %d\n", meter.frames, meter.peak);
    host->Delete();
    driver->Delete();
    return FAILED(loopStatus) ? Fail("the event loop", loopStatus) : 0;
}
