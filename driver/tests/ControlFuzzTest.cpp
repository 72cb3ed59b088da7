// A bounded fuzz of the control channel: random and boundary lengths, codes,
// versions and bodies from 64-bit and 32-bit client processes on several
// threads, interleaved with opens, closes, process ends and driver requests.
// Nothing may fault, hang or leak, every result must be one the requests
// allow, and the pipes must end detached.
#include <kernel_standin.h>
#include <atomic>
#include <random>
#include <set>
#include <thread>
#include "CoreClient.h"

namespace core_tests {
namespace {

constexpr Status NotImplemented = static_cast<Status>(0xC0000002);
constexpr Status AccessDenied = static_cast<Status>(0xC0000022);
constexpr int Threads = 4;
constexpr int StepsPerThread = 8000;
constexpr int DriverRequests = 3;

const uint32_t Codes[] = {ReqGetCommonData, ReqSetFormat, ReqSetMinimalBufferSize, ReqSetNotificationEvent,
                          ReqNotify};

// What a request may answer, by its code, once it reached the pipe.
bool IsAllowed(uint32_t code, Status status)
{
    if (status == InvalidDeviceRequest)
        return true;
    switch (code) {
    case ReqGetCommonData:
        return status == Success || status == BufferTooSmall;
    case ReqSetFormat:
    case ReqSetMinimalBufferSize:
        return status == Success || status == InvalidParameter;
    case ReqSetNotificationEvent:
        return status == Success || status == AlreadyRegistered || status == InvalidHandle ||
               status == ObjectTypeMismatch;
    case ReqNotify:
        return status == Success;
    default: // the I/O manager refuses other methods and missing access itself
        return status == NotImplemented || status == AccessDenied;
    }
}

class Fuzzer {
public:
    Fuzzer(int index, bool is32Bit) : random(0x5EED0000u + index), is32Bit(is32Bit) { NewProcess(); }

    // Successes by request code, over every fuzzer.
    static inline std::atomic<int> successes[5];

    void Run(std::atomic<int> &faults)
    {
        for (int step = 0; step < StepsPerThread; ++step) {
            InProcess in(*process);
            const unsigned action = Pick(100);
            if (action < 8)
                Open();
            else if (action < 12)
                Close();
            else if (action < 14)
                NewProcess();
            else if (!Request())
                ++faults;
        }
        handles.clear();
        process->End();
    }

private:
    unsigned Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); }

    void NewProcess()
    {
        handles.clear();
        events.clear();
        process = std::make_unique<ClientProcess>(is32Bit); // the old one ends: its handles close
    }

    void Open()
    {
        Handle handle = nullptr;
        const Status status = OpenPipe(Pick(2), &handle);
        EXPECT_TRUE(status == Success || status == DeviceBusy) << std::hex << status;
        if (status == Success)
            handles.push_back(handle);
        Handle event = nullptr;
        if (boundary::CreateEvent(Pick(2) == 0, false, &event) == Success)
            events.push_back(event);
    }

    void Close()
    {
        if (handles.empty())
            return;
        const size_t index = Pick(static_cast<unsigned>(handles.size()));
        EXPECT_EQ(boundary::CloseHandle(handles[index]), Success);
        handles.erase(handles.begin() + static_cast<long>(index));
    }

    uint32_t PickCode()
    {
        switch (Pick(6)) {
        case 0: return static_cast<uint32_t>(random());
        case 1: return Codes[Pick(5)] ^ (1u << Pick(32)); // one bit off
        default: return Codes[Pick(5)];
        }
    }

    uint32_t PickLength()
    {
        const uint32_t boundaries[] = {0, 3, 4, 5, 7, 8, 11, 12, 23, 24, 25, 64};
        return Pick(4) == 0 ? Pick(80) : boundaries[Pick(sizeof boundaries / sizeof boundaries[0])];
    }

    void FillBody(uint32_t code, uint8_t *input, uint32_t length)
    {
        for (uint32_t i = 0; i < length; ++i)
            input[i] = static_cast<uint8_t>(random());
        const uint32_t version = Pick(8) == 0 ? static_cast<uint32_t>(random()) : DRIVER_REQ_VERSION;
        if (length >= 4)
            memcpy(input, &version, 4);
        if (code == ReqSetFormat && length >= 24 && Pick(2) == 0) {
            const DataFormatDesc format = {8000 + Pick(380000), 8 + Pick(25), 1 + Pick(8), 1 + Pick(4),
                                           Pick(3) == 0 ? 0 : Pick(0x40000)};
            memcpy(input + 4, &format, sizeof format);
        } else if (code == ReqSetMinimalBufferSize && length >= 8 && Pick(2) == 0) {
            const uint32_t frames = Pick(200000);
            memcpy(input + 4, &frames, 4);
        } else if (code == ReqNotify && length >= 8 && Pick(2) == 0) {
            const uint32_t notify = Pick(2) == 0 ? NotifyPositionAdvanced : 0;
            memcpy(input + 4, &notify, 4);
        } else if (code == ReqSetNotificationEvent && length >= 8) {
            Handle handle = nullptr;
            switch (Pick(4)) {
            case 0: handle = events.empty() ? nullptr : events[Pick(static_cast<unsigned>(events.size()))]; break;
            case 1: handle = handles.empty() ? nullptr : handles[0]; break;
            default: break; // garbage stays
            }
            if (handle != nullptr)
                memcpy(input + 4, &handle, length >= 12 ? 8 : 4);
        }
    }

    bool Request()
    {
        if (handles.empty())
            return true;
        Handle file = handles[Pick(static_cast<unsigned>(handles.size()))];
        const uint32_t code = PickCode();
        const uint32_t length = PickLength();
        uint8_t input[80];
        FillBody(code, input, length);
        uint8_t output[16];
        memset(output, 0xCC, sizeof output);
        const uint32_t outputLength = Pick(17);
        const Reply reply = Send(file, code, input, length, output, outputLength);
        const uint64_t addressSize = is32Bit ? 4 : 8;
        const bool expectedOutput = code == ReqGetCommonData && reply.status == Success
                                        ? reply.information == addressSize
                                        : reply.information == 0;
        for (int i = 0; i < 5; ++i)
            if (code == Codes[i] && reply.status == Success)
                ++successes[i];
        EXPECT_TRUE(IsAllowed(code, reply.status)) << std::hex << "code " << code << " status " << reply.status;
        EXPECT_TRUE(expectedOutput) << std::hex << "code " << code << " output " << reply.information;
        return IsAllowed(code, reply.status) && expectedOutput;
    }

    std::mt19937 random;
    bool is32Bit;
    std::unique_ptr<ClientProcess> process;
    std::vector<Handle> handles;
    std::vector<Handle> events;
};

TEST(ControlFuzz, RandomRequestsFromManyProcessesLeaveNothingBehind)
{
    ASSERT_TRUE(dut::Load());
    std::atomic<int> faults{0};
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < Threads; ++i)
            threads.emplace_back([i, &faults] { Fuzzer(i, i % 2 == 1).Run(faults); });
        // Streams' requests meanwhile, answered or not by whoever holds the
        // pipe: a stream opens when a client happens to be complete, and its
        // steps are posted to that client.
        threads.emplace_back([] {
            for (int pipe : {PipeRender, PipeCapture}) {
                Engine engine(pipe);
                for (int i = 0; i < 1000 && !engine.IsOpen(); ++i)
                    engine.Open({48000, 16, 2, 2, 0x3});
                for (int i = 0; i < DriverRequests && engine.IsOpen(); ++i)
                    engine.Step(i % 2 == 0 ? KSSTATE_ACQUIRE : KSSTATE_STOP);
            }
        });
        for (std::thread &thread : threads)
            thread.join();
    }
    EXPECT_EQ(faults, 0);
    for (int i = 0; i < 5; ++i)
        EXPECT_GT(Fuzzer::successes[i], 0) << "code " << std::hex << Codes[i] << " never got through";
    for (int pipe : {PipeRender, PipeCapture}) {
        const CommonDataDesc &block = dut::Block(pipe);
        EXPECT_EQ(block.PipeReady, 0) << "pipe " << pipe;
        EXPECT_EQ(block.BufferAddress, 0u) << "pipe " << pipe;
        EXPECT_FALSE(dut::PipeIsReady(pipe));
        EXPECT_EQ(block.BufferSizeBytes, PIPE_BUFFER_BYTES);
        EXPECT_EQ(block.RequestFlags & ~REQUEST_FLAGS_POSTED, 0u) << "no other bit";
    }
    // Fresh clients still get a complete pipe.
    ClientProcess process;
    InProcess in(process);
    Handle pipe = nullptr;
    ASSERT_EQ(OpenPipe(PipeRender, &pipe), Success);
    CreateAndRegisterEvent(pipe);
    EXPECT_EQ(dut::Block(PipeRender).PipeReady, 1);
    process.End();
    dut::Unload(); // the leak check
}

} // namespace
} // namespace core_tests
