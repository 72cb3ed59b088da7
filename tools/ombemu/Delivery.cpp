// Comparing what arrives with what was played, writing it, verifying it.
#include "Delivery.h"

#include <AudioFormat.h>
#include <Machine.h>

#include <stdio.h>
#include <string.h>

namespace ombemu_tool {

namespace {

constexpr size_t ReferenceChunk = 1024;

} // namespace

std::string DeliveryResult::Problem() const
{
    char text[128];
    if (broken) {
        snprintf(text, sizeof text, "differs from the source at received frame %llu",
                 static_cast<unsigned long long>(brokenAt));
        return text;
    }
    if (!began)
        return received == 0 ? "nothing received" : "the source never arrived";
    if (sourceEnded && matched != sourceFrames) {
        snprintf(text, sizeof text, "%llu of %llu frames arrived", static_cast<unsigned long long>(matched),
                 static_cast<unsigned long long>(sourceFrames));
        return text;
    }
    return {};
}

Delivery::Delivery(std::shared_ptr<engine::Source> reference, bool verifySignal, std::string file)
    : source(std::move(reference)), verifySignal(verifySignal), path(std::move(file)),
      partPath(path.empty() ? std::string() : path + ".part")
{
}

Delivery::~Delivery() { Abandon(); }

HRESULT Delivery::Prepare(const wav::Format &streamFormat)
{
    std::lock_guard<std::mutex> hold(lock);
    if (frameBytes != 0) // one format per run: a second one is not this run's audio
        return streamFormat == format ? S_OK : E_FAIL;
    format = streamFormat;
    frameBytes = format.FrameBytes();
    silenceByte = engine::SilenceByte(format);
    if (!partPath.empty() && !writer.Create(partPath.c_str(), format, wav::Layout::Auto, fileError))
        return E_FAIL;
    if (verifySignal)
        verifier = std::make_unique<engine::Verifier>(format);
    result = DeliveryResult{};
    reference.clear();
    if (source && source->Prepare(format) != S_OK) {
        fileError = "the source cannot give " + wav::Describe(format);
        return E_FAIL;
    }
    // The source's leading silence: what arrives may begin with any amount
    // of silence, so the first sound places it.
    sourceLead = 0;
    for (;;) {
        if (NextReference(ReferenceChunk) == 0) {
            // Silence only: everything received must be silence.
            result.began = true;
            result.sourceEnded = true;
            result.sourceFrames = sourceLead;
            break;
        }
        size_t i = 0;
        while (i * frameBytes < reference.size() && Silent(&reference[i * frameBytes]))
            ++i;
        sourceLead += i;
        reference.erase(reference.begin(), reference.begin() + i * frameBytes);
        if (!reference.empty())
            break;
    }
    return S_OK;
}

size_t Delivery::NextReference(size_t count)
{
    if (!source || result.sourceEnded)
        return 0;
    const size_t before = reference.size();
    reference.resize(before + count * frameBytes);
    const size_t got = source->Read(reference.data() + before, count);
    reference.resize(before + got * frameBytes);
    return got;
}

bool Delivery::Silent(const uint8_t *frame) const
{
    for (size_t i = 0; i < frameBytes; ++i)
        if (frame[i] != silenceByte)
            return false;
    return true;
}

void Delivery::Write(const void *frames, size_t count)
{
    if (frameBytes == 0)
        return;
    if (writer.IsOpen()) {
        std::string error;
        if (!writer.Write(frames, count, error))
            fileError = error;
    }
    if (verifier)
        verifier->Push(frames, count * frameBytes);
    Compare(static_cast<const uint8_t *>(frames), count, ombemu::Now());
}

void Delivery::Compare(const uint8_t *frames, size_t count, int64_t now)
{
    std::lock_guard<std::mutex> hold(lock);
    size_t refPos = 0; // bytes of `reference` used in this call
    for (size_t i = 0; i < count && !result.broken; ++i) {
        const uint8_t *frame = frames + i * frameBytes;
        const uint64_t position = result.received + i;
        if (!result.began) {
            if (Silent(frame))
                continue;
            if (position < sourceLead) { // sound sooner than the source has any
                result.broken = true;
                result.brokenAt = position;
                break;
            }
            result.began = true;
            result.leadingSilence = position - sourceLead;
            result.matched = sourceLead;
            result.firstSoundIndex = sourceLead;
            result.firstSoundAt = now - int64_t(count - 1 - i) * 10000000 / format.sampleRate;
        }
        if (refPos == reference.size()) {
            reference.clear();
            refPos = 0;
            if (NextReference(ReferenceChunk) == 0 && !result.sourceEnded) {
                result.sourceEnded = true;
                result.sourceFrames = result.matched;
            }
        }
        if (refPos == reference.size()) { // after the source's end: silence only
            if (!Silent(frame)) {
                result.broken = true;
                result.brokenAt = position;
            } else if (result.matched < result.sourceFrames) { // a source of silence only
                ++result.matched;
            }
            continue;
        }
        if (memcmp(frame, &reference[refPos], frameBytes) != 0) {
            result.broken = true;
            result.brokenAt = position;
            break;
        }
        refPos += frameBytes;
        ++result.matched;
    }
    reference.erase(reference.begin(), reference.begin() + refPos);
    result.received += count;
}

bool Delivery::Finish(std::string &error)
{
    if (!writer.IsOpen())
        return fileError.empty() || (error = fileError, false);
    if (!writer.Close(error) || !fileError.empty() || rename(partPath.c_str(), path.c_str()) != 0) {
        if (error.empty())
            error = fileError.empty() ? "cannot rename " + partPath : fileError;
        remove(partPath.c_str());
        return false;
    }
    return true;
}

void Delivery::Abandon()
{
    if (!writer.IsOpen())
        return;
    std::string ignored;
    writer.Close(ignored);
    remove(partPath.c_str());
}

DeliveryResult Delivery::Result() const
{
    std::lock_guard<std::mutex> hold(lock);
    DeliveryResult copy = result;
    if (verifier) {
        copy.signalVerified = true;
        copy.signal = verifier->Report();
    }
    return copy;
}

} // namespace ombemu_tool
