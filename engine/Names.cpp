// Names of the engine's enumerations and statuses, and the text of a stream
// report.
#include "Endpoint.h"
#include "Status.h"
#include "StreamReport.h"

#include <cstdio>

namespace engine {

const char *DirectionName(Direction direction)
{
    return direction == Direction::Render ? "render" : "capture";
}

const char *EndpointStateName(EndpointState state)
{
    switch (state) {
    case EndpointState::Active: return "active";
    case EndpointState::Unplugged: return "unplugged";
    case EndpointState::NotPresent: return "not present";
    }
    return "?";
}

const char *ModeName(Mode mode)
{
    switch (mode) {
    case Mode::Event: return "event";
    case Mode::Packet: return "packet";
    case Mode::Poll: return "poll";
    }
    return "?";
}

const char *StreamStateName(StreamState state)
{
    switch (state) {
    case StreamState::Stopped: return "stopped";
    case StreamState::Running: return "running";
    case StreamState::Finished: return "finished";
    case StreamState::Invalidated: return "invalidated";
    case StreamState::Failed: return "failed";
    case StreamState::Closed: return "closed";
    }
    return "?";
}

const char *StatusName(HRESULT status)
{
    switch (status) {
    case S_OK: return "S_OK";
    case NotInitialized: return "AUDCLNT_E_NOT_INITIALIZED";
    case AudioClientError(0x03): return "AUDCLNT_E_WRONG_ENDPOINT_TYPE";
    case DeviceInvalidated: return "AUDCLNT_E_DEVICE_INVALIDATED";
    case NotStopped: return "AUDCLNT_E_NOT_STOPPED";
    case UnsupportedFormat: return "AUDCLNT_E_UNSUPPORTED_FORMAT";
    case EndpointCreateFailed: return "AUDCLNT_E_ENDPOINT_CREATE_FAILED";
    case BufferSizeError: return "AUDCLNT_E_BUFFER_SIZE_ERROR";
    case InvalidDevicePeriod: return "AUDCLNT_E_INVALID_DEVICE_PERIOD";
    case InvalidArgument: return "ERROR_INVALID_PARAMETER";
    case NotFound: return "ERROR_NOT_FOUND";
    case OutOfMemory: return "E_OUTOFMEMORY";
    case InvalidState: return "ERROR_INVALID_STATE";
    case NotReady: return "ERROR_NOT_READY";
    case IoDeviceError: return "ERROR_IO_DEVICE";
    case NotSupported: return "ERROR_NOT_SUPPORTED";
    default: break;
    }
    static thread_local char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string StreamReport::Describe() const
{
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    char line[512];
    std::string text;
    std::snprintf(line, sizeof line, "%s stream, %s mode, %s (%s); %s\n", DirectionName(direction), ModeName(mode),
                  StreamStateName(state), StatusName(lastError), wav::Describe(format).c_str());
    text += line;
    std::snprintf(line, sizeof line,
                  "period %u frames, buffer %u frames, %u notifications, positions from the %s; latency: FIFO %u "
                  "bytes, chipset %u, codec %u (100 ns)\n",
                  periodFrames, bufferFrames, notifications, positionRegister ? "register" : "position property",
                  fifoBytes, chipsetDelay, codecDelay);
    text += line;
    std::snprintf(line, sizeof line,
                  "frames %llu (source %llu%s), packets %llu, starts %u, reopened %u, wakes %llu (%llu notified, %llu "
                  "timed out)\n",
                  u(frames), u(sourceFrames), sourceEnded ? ", ended" : "", u(packets), starts, reopens, u(wakes),
                  u(notificationWakes), u(timeouts));
    text += line;
    std::snprintf(line, sizeof line,
                  "underruns %llu (%llu frames), overruns %llu (%llu frames), late packets %llu, early packets %llu, "
                  "skipped packets %llu, device errors %llu\n",
                  u(underruns), u(underrunFrames), u(overruns), u(overrunFrames), u(latePackets), u(earlyPackets),
                  u(skippedPackets), u(deviceErrors));
    text += line;
    for (const auto &[name, f] : {std::pair{"notifications", notificationTiming}, std::pair{"positions", positionTiming}}) {
        std::snprintf(line, sizeof line,
                      "%s: %llu samples, %.3f/s against %.3f/s nominal (drift %+.1f ppm), noise %.3f ms (max %.3f ms, "
                      "%.1f%% over 0.8 ms), %u glitches\n",
                      name, u(f.samples), f.measuredPerSecond, f.nominalPerSecond, f.driftPpm, f.noiseStdMs,
                      f.noiseMaxMs, f.noiseOver08Percent, f.glitches);
        text += line;
    }
    return text;
}

} // namespace engine
