// The sources and sinks of emulated applications.
#include "Media.h"
#include "SampleConvert.h"
#include "Status.h"
#include "WavReader.h"
#include "WavWriter.h"

#include <cmath>
#include <vector>

namespace engine {

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr size_t ChunkFrames = 1024;

} // namespace

// ---- Test signal -------------------------------------------------------------

HRESULT SignalSource::Prepare(const wav::Format &format)
{
    if (wav::Problem(format) != nullptr)
        return UnsupportedFormat;
    signal = std::make_unique<TestSignal>(format);
    next = 0;
    return S_OK;
}

size_t SignalSource::Read(void *frames, size_t count)
{
    if (!signal)
        return 0;
    const uint64_t first = next.load();
    signal->Generate(first, frames, count);
    next = first + count;
    return count;
}

// ---- Tone --------------------------------------------------------------------

HRESULT ToneSource::Prepare(const wav::Format &streamFormat)
{
    wav::Format floating = streamFormat;
    floating.encoding = wav::Encoding::Float;
    floating.containerBits = floating.validBits = 32;
    if (!wav::CanConvert(floating, streamFormat) || hertz <= 0 || hertz >= streamFormat.sampleRate / 2.0)
        return UnsupportedFormat;
    format = streamFormat;
    return S_OK;
}

size_t ToneSource::Read(void *frames, size_t count)
{
    wav::Format floating = format;
    floating.encoding = wav::Encoding::Float;
    floating.containerBits = floating.validBits = 32;
    std::vector<float> samples(ChunkFrames * format.channels);
    auto *out = static_cast<uint8_t *>(frames);
    const double step = 2 * Pi * hertz / format.sampleRate;
    for (size_t done = 0; done < count;) {
        const size_t n = count - done < ChunkFrames ? count - done : ChunkFrames;
        for (size_t i = 0; i < n; ++i) {
            const float value = static_cast<float>(amplitude * std::sin(phase));
            phase = std::fmod(phase + step, 2 * Pi);
            for (uint32_t c = 0; c < format.channels; ++c)
                samples[i * format.channels + c] = value;
        }
        wav::Convert(floating, samples.data(), format, out + done * format.FrameBytes(), n);
        done += n;
    }
    return count;
}

// ---- WAV file source -----------------------------------------------------------

struct WavFileSource::File {
    wav::Reader reader;
    std::vector<uint8_t> staging;
};

WavFileSource::WavFileSource() = default;
WavFileSource::~WavFileSource() = default;

bool WavFileSource::Open(const std::string &path, std::string &error)
{
    auto opened = std::make_unique<File>();
    if (!opened->reader.Open(path.c_str(), error))
        return false;
    file = std::move(opened);
    return true;
}

HRESULT WavFileSource::Prepare(const wav::Format &format)
{
    if (!file)
        return NotInitialized;
    const wav::Format &own = file->reader.GetFormat();
    if (own.sampleRate != format.sampleRate || !wav::CanConvert(own, format))
        return UnsupportedFormat;
    target = format;
    return S_OK;
}

size_t WavFileSource::Read(void *frames, size_t count)
{
    if (!file)
        return 0;
    const wav::Format &own = file->reader.GetFormat();
    if (own == target)
        return file->reader.Read(frames, count);
    auto *out = static_cast<uint8_t *>(frames);
    size_t done = 0;
    while (done < count) {
        const size_t want = count - done < ChunkFrames ? count - done : ChunkFrames;
        file->staging.resize(want * own.FrameBytes());
        const size_t got = file->reader.Read(file->staging.data(), want);
        if (got == 0)
            break;
        wav::Convert(own, file->staging.data(), target, out + done * target.FrameBytes(), got);
        done += got;
    }
    return done;
}

// ---- Verifier sink -------------------------------------------------------------

HRESULT VerifierSink::Prepare(const wav::Format &format)
{
    if (wav::Problem(format) != nullptr)
        return UnsupportedFormat;
    std::lock_guard<std::mutex> hold(lock);
    if (verifier)
        verifier->Restart(format);
    else
        verifier = std::make_unique<Verifier>(format);
    frameBytes = format.FrameBytes();
    return S_OK;
}

void VerifierSink::Write(const void *frames, size_t count)
{
    std::lock_guard<std::mutex> hold(lock);
    if (verifier)
        verifier->Push(frames, count * frameBytes);
}

VerifyReport VerifierSink::Report() const
{
    std::lock_guard<std::mutex> hold(lock);
    return verifier ? verifier->Report() : VerifyReport{};
}

// ---- WAV file sink ----------------------------------------------------------------

struct WavFileSink::File {
    wav::Writer writer;
    bool ended = false; // the format changed: nothing more goes in
};

WavFileSink::WavFileSink(std::string path) : path(std::move(path)) {}

WavFileSink::~WavFileSink()
{
    std::string ignored;
    Finish(ignored);
}

HRESULT WavFileSink::Prepare(const wav::Format &format)
{
    if (file) {
        if (file->writer.GetFormat() != format)
            file->ended = true;
        return S_OK;
    }
    auto created = std::make_unique<File>();
    if (!created->writer.Create(path.c_str(), format, wav::Layout::Auto, error))
        return E_FAIL;
    file = std::move(created);
    return S_OK;
}

void WavFileSink::Write(const void *frames, size_t count)
{
    if (!file || file->ended || !file->writer.IsOpen()) {
        dropped += count;
        return;
    }
    if (!file->writer.Write(frames, count, error))
        file->ended = true;
}

bool WavFileSink::Finish(std::string &reason)
{
    if (!file || !file->writer.IsOpen())
        return true;
    const bool ok = file->writer.Close(reason);
    if (!ok)
        error = reason;
    return ok;
}

uint64_t WavFileSink::FramesWritten() const
{
    return file ? file->writer.FramesWritten() : 0;
}

} // namespace engine
