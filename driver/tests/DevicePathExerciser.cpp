// The device-path exerciser over the whole loaded driver: client processes
// (64- and 32-bit) open random names (pipe reference strings in every case
// and length, the filters, random reference strings, pins with random
// connection blocks) and send random device-control requests to pipe, filter
// and pin handles (codes, sets, ids, flags, lengths, bad pointers), while a
// second thread of each process closes handles under them, processes end at
// random points, hosts come and die, and an engine streams on both endpoints.
// Nothing may fault, hang or leak; every pipe request's status must be one
// the pipe gives; no reply may claim more bytes than its buffer holds.
// Time is virtual and moves on whenever something waits with a time-out, so
// a stream's request to a host that has just gone costs no real second (the
// test moves it: the clients never pause, so a clock that waits for the
// whole machine to idle would hold such a wait until the run ends).
// Afterwards the driver holds what it held before the run.
//   OMB_EXERCISE_SEED, OMB_EXERCISE_REQUESTS: the seed and the requests per
//   process (tools/device-path-exerciser.sh runs long).
#include <gtest/gtest.h>
#include <kernel_standin.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>
#include "ControlProtocol.h"
#include "DriverUnderTest.h"
#include "Engine.h"
#include "ManualHost.h"

namespace {

namespace boundary = standin::io::boundary;
namespace dut = driver_under_test;
using boundary::Handle;
using ks_client::Status;

constexpr int Processes = 4;
constexpr uint32_t DefaultSeed = 0x0B5E55ED;
constexpr size_t DefaultRequests = 10000; // per process
constexpr Status InvalidDeviceRequest = static_cast<Status>(0xC0000010);

uint64_t Setting(const char *name, uint64_t fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr ? std::strtoull(value, nullptr, 0) : fallback;
}

const GUID Sets[] = {KSPROPSETID_Pin, KSPROPSETID_Topology, KSPROPSETID_Connection, KSPROPSETID_Audio,
                     KSPROPSETID_RtAudio, KSPROPSETID_Jack, KSPROPTYPESETID_General, KSEVENTSETID_PinCapsChange,
                     KSPROPSETID_Stream};

// What the run reached, for its summary and its checks.
std::atomic<size_t> pipesOpened{0}, filtersOpened{0}, pinsCreated{0}, streamsRun{0};

const uint32_t PipeCodes[] = {ReqGetCommonData, ReqSetFormat, ReqSetMinimalBufferSize, ReqSetNotificationEvent,
                              ReqNotify};

// What a pipe may answer once a request reached it.
bool IsPipeStatus(uint32_t code, Status status)
{
    if (status == static_cast<Status>(0xC0000005))
        return true; // the I/O manager's probe of a bad buffer
    switch (code) {
    case ReqGetCommonData: return status == 0 || status == static_cast<Status>(0xC0000023) || status == InvalidDeviceRequest;
    case ReqSetFormat:
    case ReqSetMinimalBufferSize: return status == 0 || status == static_cast<Status>(0xC000000D) || status == InvalidDeviceRequest;
    case ReqNotify: return status == 0 || status == InvalidDeviceRequest;
    default: return true; // the event request's lookup statuses, other codes, other methods
    }
}

// One client process with a thread of requests and a thread of closes.
class Client {
public:
    Client(uint32_t seed, bool is32Bit, size_t requests)
        : random(seed), closerRandom(seed ^ 0xC105E), is32Bit(is32Bit), requests(requests)
    {
        process = boundary::CreateClientProcess(is32Bit);
    }
    ~Client() { boundary::EndClientProcess(process); }

    void Run(std::atomic<size_t> &sent, std::atomic<int> &faults)
    {
        std::atomic<bool> done{false};
        std::thread closer([&] { Closes(done); });
        for (size_t step = 0; step < requests; ++step) {
            const unsigned action = Pick(100);
            if (action < 2) {
                EndProcess();
                continue;
            }
            std::shared_lock<std::shared_mutex> alive(life);
            boundary::EnterProcess(process);
            if (action < 12)
                OpenSomething();
            else if (action < 20)
                CreatePin();
            else if (!Request())
                ++faults;
            boundary::LeaveProcess();
            ++sent;
        }
        done = true;
        closer.join();
    }

private:
    unsigned Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); }
    uint32_t Word() { return static_cast<uint32_t>(random()); }

    struct Opened {
        Handle handle;
        enum Kind { Pipe, Filter, Pin, Other } kind;
    };

    void Add(Handle handle, Opened::Kind kind)
    {
        std::lock_guard<std::mutex> hold(lock);
        opened.push_back({handle, kind});
    }
    bool Any(Opened &out, Opened::Kind kind = Opened::Other, bool ofKind = false)
    {
        std::lock_guard<std::mutex> hold(lock);
        std::vector<Opened> candidates;
        for (const Opened &o : opened)
            if (!ofKind || o.kind == kind)
                candidates.push_back(o);
        if (candidates.empty())
            return false;
        out = candidates[Pick(static_cast<unsigned>(candidates.size()))];
        return true;
    }

    // The other thread of the process closes what this one may be using.
    void Closes(std::atomic<bool> &done)
    {
        while (!done) {
            std::shared_lock<std::shared_mutex> alive(life);
            Handle victim = nullptr;
            {
                std::lock_guard<std::mutex> hold(lock);
                if (opened.size() > 6 || (!opened.empty() && closerRandom() % 4 == 0)) {
                    const size_t index = closerRandom() % opened.size();
                    victim = opened[index].handle;
                    opened.erase(opened.begin() + static_cast<long>(index));
                }
            }
            if (victim != nullptr) {
                boundary::EnterProcess(process);
                boundary::CloseHandle(victim);
                boundary::LeaveProcess();
            }
            std::this_thread::yield();
        }
    }

    void EndProcess()
    {
        std::unique_lock<std::shared_mutex> alone(life);
        {
            std::lock_guard<std::mutex> hold(lock);
            opened.clear();
        }
        boundary::EndClientProcess(process); // its handles close with it
        process = boundary::CreateClientProcess(is32Bit);
    }

    std::u16string RandomText(size_t length)
    {
        static const char16_t alphabet[] = u"abcdefABCDEF0123456789{}-\\_rcwtop.RenderCapture";
        std::u16string text;
        for (size_t i = 0; i < length; ++i)
            text.push_back(Pick(8) == 0 ? static_cast<char16_t>(Word()) : alphabet[Pick(sizeof alphabet / 2 - 1)]);
        return text;
    }

    void OpenSomething()
    {
        std::u16string path;
        Opened::Kind kind = Opened::Other;
        const char16_t *filters[] = {u"wave_r", u"wave_c", u"topo_r", u"topo_c"};
        switch (Pick(6)) {
        case 0:
        case 1: { // a pipe's name, now and then in another case or length
            path = dut::PipePath(Pick(2));
            if (Pick(3) == 0 && !path.empty()) {
                const size_t at = Pick(static_cast<unsigned>(path.size()));
                path[at] = static_cast<char16_t>(path[at] ^ 0x20);
            }
            if (Pick(4) == 0 && !path.empty())
                path.resize(Pick(static_cast<unsigned>(path.size())));
            kind = Opened::Pipe;
            break;
        }
        case 2:
        case 3:
            path = dut::FilterPath(filters[Pick(4)]);
            kind = Opened::Filter;
            break;
        default: // the control interface with a random reference string
            path = dut::InterfacePath() + u"\\" + RandomText(Pick(4) == 0 ? Pick(300) : Pick(20));
            break;
        }
        Handle handle = nullptr;
        if (ks_client::Open(path, &handle) == 0) {
            Add(handle, kind);
            (kind == Opened::Pipe ? pipesOpened : filtersOpened)++;
        }
    }

    void CreatePin()
    {
        Opened filter;
        if (!Any(filter, Opened::Filter, true))
            return;
        const DataFormatDesc formats[] = {{48000, 16, 2, 2, 0x3}, {44100, 16, 2, 2, 0x3}, {96000, 24, 2, 4, 0x3}};
        const DataFormatDesc &f = formats[Pick(3)];
        auto format = ks_client::WaveFormat(f.SR, f.BPS, f.NC, f.BPC, f.CC, Pick(2) == 0);
        if (Pick(3) == 0) { // a damaged format block
            auto *bytes = reinterpret_cast<uint8_t *>(&format);
            for (int i = 0, n = 1 + Pick(6); i < n; ++i)
                bytes[Pick(sizeof format)] = static_cast<uint8_t>(Word());
            format.DataFormat.FormatSize = Pick(2) == 0 ? Word() : Pick(sizeof format + 1);
        }
        ks_client::EnginePin pin;
        if (pin.Create(filter.handle, format, Pick(4) == 0 ? Pick(4) : 0) == 0) {
            ++pinsCreated;
            Add(pin.Get(), Opened::Pin);
            pin.Release();
        }
    }

    // Random bytes with a plausible descriptor in front.
    uint32_t FillInput(uint8_t *input, uint32_t capacity)
    {
        for (uint32_t i = 0; i < capacity; ++i)
            input[i] = static_cast<uint8_t>(Word());
        KSP_PIN descriptor = {};
        descriptor.Property.Set = Sets[Pick(sizeof Sets / sizeof Sets[0])];
        descriptor.Property.Id = Pick(4) == 0 ? Word() : Pick(16);
        const ULONG flags[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                               KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY, KSEVENT_TYPE_ENABLE, 0};
        descriptor.Property.Flags = Pick(6) == 0 ? Word() : flags[Pick(6)];
        descriptor.PinId = Pick(4);
        descriptor.Reserved = Pick(2) == 0 ? 0 : Word();
        memcpy(input, &descriptor, sizeof descriptor < capacity ? sizeof descriptor : capacity);
        const uint32_t lengths[] = {0, 4, 8, 23, 24, 31, 32, 40, 64, 96, 104, 120};
        return Pick(3) == 0 ? Pick(capacity + 1) : lengths[Pick(sizeof lengths / sizeof lengths[0])];
    }

    bool Request()
    {
        Opened target;
        if (!Any(target))
            return true;
        uint32_t code;
        if (target.kind == Opened::Pipe && Pick(2) == 0)
            code = PipeCodes[Pick(5)];
        else {
            const uint32_t ks[] = {IOCTL_KS_PROPERTY, IOCTL_KS_PROPERTY, IOCTL_KS_PROPERTY, IOCTL_KS_ENABLE_EVENT,
                                   IOCTL_KS_DISABLE_EVENT, IOCTL_KS_METHOD, Word()};
            code = ks[Pick(7)];
        }
        alignas(8) uint8_t input[160];
        uint32_t inputLength = FillInput(input, sizeof input);
        if (code == ReqSetNotificationEvent || code == ReqSetFormat || code == ReqNotify || code == ReqGetCommonData ||
            code == ReqSetMinimalBufferSize) {
            const uint32_t version = Pick(8) == 0 ? Word() : DRIVER_REQ_VERSION;
            memcpy(input, &version, 4);
            inputLength = Pick(40);
        }
        alignas(8) uint8_t output[160];
        memset(output, 0xCD, sizeof output);
        uint32_t outputLength = Pick(3) == 0 ? Pick(sizeof output + 1) : Pick(2) == 0 ? 0 : 96 + Pick(16);
        const void *in = input;
        void *out = output;
        if (Pick(16) == 0)
            in = reinterpret_cast<void *>(static_cast<uintptr_t>(Pick(2) == 0 ? 0x10 : 0xFFFF800000001000ull));
        // A bad output buffer only where the request's own handler sees it: the
        // I/O stand-in does not yet probe a buffered reply's target.
        if (Pick(16) == 0 && (code & 3) == METHOD_NEITHER)
            out = reinterpret_cast<void *>(static_cast<uintptr_t>(Pick(2) == 0 ? 0x30 : 0xFFFF800000002000ull));
        const ks_client::Reply reply = ks_client::Control(target.handle, code, in, inputLength, out, outputLength);
        // A size query's answer is the size needed; anything else returned
        // must fit.
        bool good = reply.status < 0 || reply.information <= outputLength;
        EXPECT_TRUE(good) << std::hex << "code " << code << " returned " << reply.information << " of " << outputLength;
        if (target.kind == Opened::Pipe && reply.status != static_cast<Status>(0xC0000008)) {
            const bool allowed = IsPipeStatus(code, reply.status);
            EXPECT_TRUE(allowed) << std::hex << "pipe code " << code << " status " << reply.status;
            good = good && allowed;
        }
        return good;
    }

    std::mt19937 random;
    std::mt19937 closerRandom;
    bool is32Bit;
    size_t requests;
    boundary::ProcessId process;
    std::shared_mutex life;
    std::mutex lock;
    std::vector<Opened> opened;
};

// Hosts that attach with a format, then detach or die, on a pipe each.
void Hosts(uint32_t seed, std::atomic<bool> &done)
{
    std::mt19937 random(seed);
    const DataFormatDesc formats[] = {{48000, 16, 2, 2, 0}, {44100, 16, 2, 2, 0}, {96000, 24, 2, 4, 0}};
    while (!done) {
        host_client::ManualHost host(random() % 2);
        if (host.OpenStatus() != 0) {
            std::this_thread::yield();
            continue;
        }
        host.Attach(formats[random() % 3]);
        for (int i = 0, n = 50 + random() % 200; i < n && !done; ++i)
            host.MoveTo(random() % 2000, 4, 480);
        // A stream's request that comes while the host goes waits out its
        // second, as it would for a real host.
        if (random() % 2 == 0)
            host.Die();
    }
}

// The engine on both endpoints: open, buffer, event, run, down and close.
void Streams(uint32_t seed, std::atomic<bool> &done)
{
    std::mt19937 random(seed);
    const DataFormatDesc formats[] = {{48000, 16, 2, 2, 0x3}, {44100, 16, 2, 2, 0x3}, {96000, 24, 2, 4, 0x3}};
    while (!done) {
        const int pipe = random() % 2;
        ks_client::Engine engine(pipe, random() % 2 == 0);
        // Mostly the format the pin proposes, which a stream needs; now and
        // then another.
        if ((random() % 4 == 0 ? engine.Open(formats[random() % 3]) : engine.OpenProposed()) != 0) {
            std::this_thread::yield();
            continue;
        }
        engine.AllocateBuffer(1920 + 4 * (random() % 100), random() % 3);
        bool running = true;
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
            running = running && engine.Step(state) == 0;
        streamsRun += running;
        for (int i = 0, n = random() % 20; i < n && !done; ++i) {
            KSAUDIO_POSITION position;
            boundary::EnterProcess(engine.Process());
            engine.Pin().Position(&position);
            boundary::LeaveProcess();
        }
        if (random() % 2 == 0)
            engine.Close(); // else the process ends with the pin open
    }
}

TEST(DevicePathExerciser, RandomRequestsOverTheWholeDriverLeaveNothingBehind)
{
    const uint32_t seed = static_cast<uint32_t>(Setting("OMB_EXERCISE_SEED", DefaultSeed));
    const size_t requests = Setting("OMB_EXERCISE_REQUESTS", DefaultRequests);
    ASSERT_TRUE(dut::Load());
    const standin::kernel::Holdings before = standin::kernel::HeldBy(dut::Owner());
    std::atomic<size_t> sent{0};
    std::atomic<int> faults{0};
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    standin::kernel::UseVirtualClock(true);
    std::atomic<bool> timing{true};
    std::thread clock([&] {
        while (timing) {
            if (standin::kernel::BlockedWaiters(true) > 0)
                standin::kernel::AdvanceClock(10'000'000 / 10);
            else
                std::this_thread::yield();
        }
    });
    {
        std::thread hosts(Hosts, seed + 100, std::ref(done));
        std::thread streams(Streams, seed + 200, std::ref(done));
        std::vector<std::thread> clients;
        for (int i = 0; i < Processes; ++i)
            clients.emplace_back([&, i] { Client(seed + i, i % 2 == 1, requests).Run(sent, faults); });
        for (std::thread &client : clients)
            client.join();
        done = true;
        hosts.join();
        streams.join();
    }
    timing = false;
    clock.join();
    standin::kernel::UseVirtualClock(false);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("seed %#x: %zu requests in %.2f s, %.0f requests per second; opened %zu pipes, %zu filters, %zu pins; "
           "%zu streams ran\n",
           seed, sent.load(), seconds, sent.load() / seconds, pipesOpened.load(), filtersOpened.load(),
           pinsCreated.load(), streamsRun.load());
    EXPECT_GT(pipesOpened, 0u);
    EXPECT_GT(filtersOpened, 0u);
    EXPECT_GT(pinsCreated, 0u) << "no pin was ever created: the run missed the streams";
    EXPECT_EQ(faults, 0);
    for (int pipe : {PipeRender, PipeCapture}) {
        EXPECT_EQ(dut::Block(pipe).PipeReady, 0) << "every client went";
        EXPECT_EQ(dut::Block(pipe).StreamAttached, 0) << "every stream went";
        EXPECT_EQ(dut::Block(pipe).BufferAddress, 0u);
    }
    EXPECT_EQ(dut::FilterHandleCount(), 0u) << "every filter handle was forgotten";
    const standin::kernel::Holdings after = standin::kernel::HeldBy(dut::Owner());
    EXPECT_EQ(after.poolBlocks, before.poolBlocks);
    EXPECT_EQ(after.poolBytes, before.poolBytes);
    EXPECT_EQ(after.mdls, before.mdls);
    EXPECT_EQ(after.mappings, before.mappings);
    EXPECT_EQ(after.references, before.references);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(after.threads, before.threads);
    dut::Unload(); // the leak check
}

} // namespace
