// The sources of both sides.
#include "Sources.h"

#include <stdio.h>

#include <algorithm>

namespace ombemu_tool {

namespace {

constexpr double ToneAmplitude = 0.5;

// The test signal for the first second, then a tone: each side of the demo
// sends something a verifier recognises and something a listener does.
class DemoSource : public engine::Source {
public:
    explicit DemoSource(double hertz) : tone(hertz, ToneAmplitude) {}
    HRESULT Prepare(const wav::Format &format) override
    {
        signalFrames = uint64_t(format.sampleRate) * DemoSignalMs / 1000;
        frameBytes = format.FrameBytes();
        given = 0;
        const HRESULT status = signal.Prepare(format);
        return status != S_OK ? status : tone.Prepare(format);
    }
    size_t Read(void *frames, size_t count) override
    {
        auto *out = static_cast<uint8_t *>(frames);
        size_t done = 0;
        if (given < signalFrames) {
            const size_t n = size_t(std::min<uint64_t>(count, signalFrames - given));
            done = signal.Read(out, n);
            given += done;
        }
        if (done < count)
            done += tone.Read(out + done * frameBytes, count - done);
        return done;
    }

private:
    engine::SignalSource signal;
    engine::ToneSource tone;
    uint64_t signalFrames = 0, given = 0;
    size_t frameBytes = 0;
};

} // namespace

std::string Describe(const PlayedSource &source)
{
    char text[64];
    switch (source.kind) {
    case PlayedSource::Kind::Demo:
        snprintf(text, sizeof text, "test signal, then %g Hz", source.hertz);
        return text;
    case PlayedSource::Kind::File:
        return source.path;
    case PlayedSource::Kind::Tone:
        snprintf(text, sizeof text, "tone %g Hz", source.hertz);
        return text;
    case PlayedSource::Kind::Signal:
        return "test signal";
    }
    return {};
}

std::shared_ptr<engine::Source> MakeSource(const PlayedSource &source, std::string &error)
{
    switch (source.kind) {
    case PlayedSource::Kind::Demo:
        return std::make_shared<DemoSource>(source.hertz);
    case PlayedSource::Kind::File: {
        auto file = std::make_shared<engine::WavFileSource>();
        if (!file->Open(source.path, error))
            return nullptr;
        return file;
    }
    case PlayedSource::Kind::Tone:
        return std::make_shared<engine::ToneSource>(source.hertz, ToneAmplitude);
    case PlayedSource::Kind::Signal:
        return std::make_shared<engine::SignalSource>();
    }
    return nullptr;
}

} // namespace ombemu_tool
