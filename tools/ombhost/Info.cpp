// ombhost info: the device and what each pipe's shared block says: its
// format, minimal buffer and stream. A pipe another host holds cannot be
// opened to look; it is reported as in use.
#include "Info.h"

#include <string.h>
#include "Device.h"
#include "PipeFormat.h"

namespace ombhost {

namespace {

using Ombrivo::OmbDriver;
using Ombrivo::OmbPipe;
using Ombrivo::WaveFormat;

// The format the driver starts with; the block's Format stays zero until a
// host sets one.
const WaveFormat InitialFormat(48000, 16, 2, 2, 3);

const char *StateName(uint32_t state)
{
    static const char *const names[] = {"stop", "acquire", "pause", "run"};
    return state < 4 ? names[state] : "unknown";
}

double Milliseconds(uint32_t frames, uint32_t rate) { return rate != 0 ? frames * 1000.0 / rate : 0; }

void ShowBlock(FILE *out, const CommonDataDesc &block)
{
    const DataFormatDesc &f = block.Format;
    const WaveFormat format(f.SR, f.BPS, f.NC, f.BPC, f.CC);
    const uint32_t rate = f.SR != 0 ? f.SR : InitialFormat.GetSR();
    if (f.SR == 0)
        fprintf(out, "  format:         none set (the driver's initial %s)\n", Text(InitialFormat).c_str());
    else
        fprintf(out, "  format:         %s\n", Text(format).c_str());
    if (block.MinBufferFrames != 0)
        fprintf(out, "  minimal buffer: %u frames (%.1f ms)\n", block.MinBufferFrames,
                Milliseconds(block.MinBufferFrames, rate));
    else
        fprintf(out, "  minimal buffer: none\n");
    if (block.StreamAttached == 0) {
        fprintf(out, "  stream:         none attached\n");
    } else {
        fprintf(out, "  stream:         attached, %s\n", StateName(block.StreamState));
        WAVEFORMATEXTENSIBLE wfx;
        memcpy(&wfx, block.StreamFormat, sizeof wfx);
        WaveFormat streamFormat;
        if (wfx.Format.wFormatTag != 0 && SUCCEEDED(streamFormat.FromWfx(wfx.Format)))
            fprintf(out, "  stream format:  %s\n", Text(streamFormat).c_str());
        if (block.BufferSizeFrames != 0)
            fprintf(out, "  buffer:         %u frames (%.1f ms), device position %u\n", block.BufferSizeFrames,
                    Milliseconds(block.BufferSizeFrames, rate), block.DevicePositionFrames);
        else
            fprintf(out, "  buffer:         none allocated\n");
    }
    fprintf(out, "  packet errors:  %u since the device started\n", block.PacketErrorsTotal);
}

} // namespace

int RunInfo(const Environment &env)
{
    OmbDriver *driver = nullptr;
    if (const int status = OpenDevice(driver, env.err))
        return status;
    fprintf(env.out, "Ombrivo device: present\n");
    int result = ExitOk;
    for (const bool capture : {false, true}) {
        fprintf(env.out, "%s (%s):\n", PipeName(capture),
                capture ? "the host captures what Windows applications play"
                        : "the host renders what Windows applications record");
        OmbPipe *pipe = nullptr;
        const HRESULT status = driver->CreatePipe(pipe, capture);
        if (status == StatusBusy) {
            fprintf(env.out, "  in use by a host\n");
            continue;
        }
        if (FAILED(status)) {
            Report(env.err, (std::string("cannot open the ") + PipeName(capture)).c_str(), status);
            result = ExitFailed;
            continue;
        }
        fprintf(env.out, "  free\n");
        ShowBlock(env.out, pipe->GetCommonData());
        pipe->Delete();
    }
    driver->Delete();
    return result;
}

} // namespace ombhost
