// A host under the test's control, in its own emulated process: it opens a
// pipe, sets the endpoint's format, registers its event and answers every
// request the driver posts with the status the test chooses (or not at all);
// the test moves its device position frame by frame. Client-side code over
// the platform's request boundary.
#pragma once

#include <io_boundary.h>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>
#include "CommonDataDesc.h"
#include "ControlProtocol.h"

namespace host_client {

using Status = int32_t;

class ManualHost {
public:
    // Opens the pipe (PipeRender feeds the capture endpoint, PipeCapture
    // reads the render endpoint) in a process of its own, 32-bit if asked.
    explicit ManualHost(int pipe, bool is32Bit = false);
    ~ManualHost();
    ManualHost(const ManualHost &) = delete;
    ManualHost &operator=(const ManualHost &) = delete;

    Status OpenStatus() const { return openStatus; }
    // The complete client: event registered, format and minimal size set.
    // Starts the thread that answers the driver's requests.
    Status Attach(const DataFormatDesc &format, uint32_t minimalFrames = 0);
    Status SetFormat(const DataFormatDesc &format);
    Status SetMinimalBufferSize(uint32_t frames);
    // Closes the pipe: the client goes (not ready) and its answers stop.
    void Detach();
    // Ends its process without closing anything first.
    void Die();

    // How requests are answered from now on: with `reply`, or never.
    void Answer(uint32_t reply) { answer = reply; silent = false; }
    void StaySilent() { silent = true; }
    // The codes of the requests posted since the last call, oldest first,
    // with the StreamState and BufferSizeFrames the block showed then.
    struct Seen {
        uint32_t code;
        uint32_t streamState;
        uint32_t bufferSizeFrames;
    };
    std::vector<Seen> TakeRequests();

    // Moves the device position (frames; bytes follow from the frame size
    // and wrap at the buffer) and tells the driver.
    void MoveTo(uint32_t frames, uint32_t frameBytes, uint32_t bufferFrames);
    void Notify();

    // The host's views.
    volatile CommonDataDesc &Block() const { return *view; }
    uint8_t *AudioBuffer() const;
    standin::io::boundary::ProcessId Process() const { return process; }
    standin::io::boundary::Handle PipeHandle() const { return pipe; }

private:
    enum class Stopping { No, AfterAnswering };
    void Responder();
    void StopResponder(Stopping how);
    Status Send(uint32_t code, const void *body, uint32_t bodyLength, void *output = nullptr,
                uint32_t outputLength = 0);

    int pipeKind;
    standin::io::boundary::ProcessId process = 0;
    standin::io::boundary::Handle pipe = nullptr;
    standin::io::boundary::Handle event = nullptr;
    volatile CommonDataDesc *view = nullptr;
    Status openStatus = 0;
    std::atomic<uint32_t> answer{0};
    std::atomic<bool> silent{false};
    std::atomic<Stopping> stopping{Stopping::No};
    std::thread responder;
    std::mutex seenLock;
    std::vector<Seen> seen;
};

} // namespace host_client
