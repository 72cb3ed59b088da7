// Device-control fuzz over the test adapter's filter and pin handles: client
// threads in 64- and 32-bit processes send random kernel-streaming requests
// (codes, sets, ids, flags, lengths, bad pointers, event handles, pin
// creates) while handles close under them, the hardware moves and raises
// events, and whole processes end. Nothing may fault, hang or leak: the
// driver unloads under the leak check at the end. The seed and the number of
// requests come from PORTCLS_FUZZ_SEED and PORTCLS_FUZZ_REQUESTS (a longer
// run: tools/portcls-fuzz.sh).
#include "KsClient.h"
#include "TestAdapter.h"

#include <gtest/gtest.h>
#include <win32_standin.h>

#include <sys/mman.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace ksclient;

namespace {

uint64_t Setting(const char *name, uint64_t fallback)
{
    const char *text = std::getenv(name);
    return text != nullptr ? std::strtoull(text, nullptr, 0) : fallback;
}

const GUID *const Sets[] = {&KSPROPSETID_Pin,
                            &KSPROPSETID_Topology,
                            &KSPROPSETID_Connection,
                            &KSPROPSETID_Audio,
                            &KSPROPSETID_RtAudio,
                            &KSPROPSETID_Jack,
                            &KSPROPSETID_Stream,
                            &testadapter::TestPropertySet,
                            &KSEVENTSETID_PinCapsChange,
                            &testadapter::TestNodeEventSet};
const ULONG Flags[] = {KSPROPERTY_TYPE_GET,
                       KSPROPERTY_TYPE_SET,
                       KSPROPERTY_TYPE_BASICSUPPORT,
                       KSPROPERTY_TYPE_SETSUPPORT,
                       KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
                       KSEVENT_TYPE_ENABLE,
                       KSEVENT_TYPE_ONESHOT,
                       KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY,
                       0,
                       0xFFFFFFFF};
const DWORD Codes[] = {IOCTL_KS_PROPERTY,      IOCTL_KS_PROPERTY, IOCTL_KS_PROPERTY,     IOCTL_KS_ENABLE_EVENT,
                       IOCTL_KS_DISABLE_EVENT, IOCTL_KS_METHOD,   IOCTL_KS_WRITE_STREAM, 0x2F0013};

// An inaccessible page: a bad pointer that is really bad.
uint8_t *NoAccessPage()
{
    static uint8_t *page = static_cast<uint8_t *>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    return page;
}

class Client {
public:
    Client(uint64_t seed, bool is32Bit) : random_(seed), is32Bit_(is32Bit) {}

    void Run(uint64_t requests, std::atomic<uint64_t> &done)
    {
        NewProcess();
        for (uint64_t i = 0; i < requests; ++i) {
            if (process_->Ended())
                NewProcess();
            standin::win32::ProcessScope in(*process_);
            Step();
            done.fetch_add(1);
        }
        CloseAll();
        scope_.reset();
    }

    // Another thread ends the process under the client.
    void Kill()
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (process_ != nullptr)
            process_->End();
    }

private:
    uint32_t Next(uint32_t bound) { return static_cast<uint32_t>(random_() % bound); }

    void NewProcess()
    {
        std::lock_guard<std::mutex> hold(lock_);
        // Handles of an ended process were closed with it.
        handles_.clear();
        event_ = nullptr;
        old_.push_back(std::move(process_));
        process_ = std::make_unique<standin::win32::ClientProcess>(is32Bit_);
        standin::win32::ProcessScope in(*process_);
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }

    enum class Kind { Wave, Topology, Pin };
    struct Handle {
        HANDLE handle;
        Kind kind;
    };

    Handle *AnyHandle()
    {
        if (handles_.empty() || Next(8) == 0) {
            const bool render = Next(2) != 0;
            HANDLE filter = OpenFilter(render ? KSCATEGORY_RENDER : KSCATEGORY_TOPOLOGY);
            if (filter != INVALID_HANDLE_VALUE)
                handles_.push_back({filter, render ? Kind::Wave : Kind::Topology});
        }
        return handles_.empty() ? nullptr : &handles_[Next(static_cast<uint32_t>(handles_.size()))];
    }

    void *Pointer(std::vector<uint8_t> &buffer)
    {
        switch (Next(24)) {
        case 0: return nullptr;
        case 1: return NoAccessPage();
        case 2: return reinterpret_cast<void *>(0x10);
        case 3: return reinterpret_cast<void *>(0xFFFF800000001000); // kernel space
        default: return buffer.data();
        }
    }

    template <class T>
    void Put(std::vector<uint8_t> &buffer, size_t at, const T &value)
    {
        if (buffer.size() >= at + sizeof value)
            std::memcpy(buffer.data() + at, &value, sizeof value);
    }

    void CreatePin()
    {
        Handle *filter = AnyHandle();
        if (filter == nullptr)
            return;
        KSDATAFORMAT_WAVEFORMATEX format = PcmFormat(Next(4) ? 48000 : 44100 + Next(10000));
        if (Next(6) == 0) {
            reinterpret_cast<uint8_t *>(&format)[Next(sizeof format)] = static_cast<uint8_t>(random_());
            // ksuser reads what the format says it is; a client that lies
            // about it only hurts itself.
            format.DataFormat.FormatSize = std::min<ULONG>(format.DataFormat.FormatSize, sizeof format);
            format.DataFormat.Flags &= ~KSDATAFORMAT_ATTRIBUTES;
        }
        HANDLE pin = nullptr;
        if (ksclient::CreatePin(filter->handle, Next(4) ? 0 : Next(3), &format, sizeof format, &pin,
                                Next(8) ? GENERIC_WRITE : GENERIC_READ) == 0)
            handles_.push_back({pin, Kind::Pin});
    }

    // A request shaped for the handle's kind, then perhaps mangled.
    void Request(Handle &target)
    {
        std::vector<uint8_t> input(sizeof(KSIDENTIFIER) + 8 * Next(6));
        std::vector<uint8_t> output(Next(3) ? 8 * Next(20) : Next(300));
        for (uint8_t &byte : output)
            byte = static_cast<uint8_t>(random_());
        KSIDENTIFIER head{};
        head.Flags = Flags[Next(4)];
        DWORD code = IOCTL_KS_PROPERTY;
        switch (target.kind == Kind::Pin ? Next(4) : 4 + Next(4)) {
        case 0: // the real-time audio set
            head.Set = KSPROPSETID_RtAudio;
            head.Id = Next(14);
            input.resize(40);
            Put(input, 24, uint64_t(is32Bit_ ? 0 : 0));
            Put(input, is32Bit_ ? 28 : 32, ULONG(Next(3) ? 4096 : random_() % 100000));
            Put(input, 36, ULONG(Next(4)));
            if (head.Id == KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT ||
                head.Id == KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT)
                Put(input, 24, uint64_t(reinterpret_cast<uintptr_t>(event_)));
            break;
        case 1: // connection state and format, positions
            head.Set = Next(2) ? KSPROPSETID_Connection : KSPROPSETID_Audio;
            head.Id = Next(2) ? Next(3) : 5;
            Put(output, 0, ULONG(Next(5)));
            break;
        case 2: { // the pin's own set and node properties
            head.Set = testadapter::TestPropertySet;
            head.Id = 1 + Next(3);
            break;
        }
        case 3:   // events on the pin
        case 7: { // and on filters: pin-wise, node and bare
            code = Next(3) ? IOCTL_KS_ENABLE_EVENT : IOCTL_KS_DISABLE_EVENT;
            head.Set = Next(3) ? KSEVENTSETID_PinCapsChange : testadapter::TestNodeEventSet;
            head.Id = Next(2);
            head.Flags = Flags[4 + Next(6)];
            input.resize(Next(4) ? 32 : 24);
            Put(input, 24, ULONG(Next(3)));
            output.resize(Next(8) ? 32 : 16);
            KSEVENTDATA data{};
            data.NotificationType = Next(8) ? KSEVENTF_EVENT_HANDLE : Next(4);
            data.EventHandle.Event = Next(8) ? event_ : reinterpret_cast<HANDLE>(uintptr_t(random_() % 64));
            Put(output, 0, data);
            if (code == IOCTL_KS_DISABLE_EVENT) {
                input = output;
                output.clear();
            }
            break;
        }
        case 4: // the pin set
            head.Set = KSPROPSETID_Pin;
            head.Id = Next(16);
            input.resize(32 + (head.Id == KSPROPERTY_PIN_DATAINTERSECTION ? 8 + 88 : 0));
            Put(input, 24, ULONG(Next(4) ? Next(2) : Next(4)));
            if (input.size() > 32) {
                Put(input, 32, KSMULTIPLE_ITEM{96, 1});
                KSDATARANGE_AUDIO range{};
                range.DataRange.FormatSize = sizeof range;
                range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
                range.DataRange.SubFormat = Next(2) ? KSDATAFORMAT_SUBTYPE_PCM : KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
                range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
                range.MaximumChannels = Next(8);
                range.MinimumBitsPerSample = 8;
                range.MaximumBitsPerSample = Next(40);
                range.MinimumSampleFrequency = 8000;
                range.MaximumSampleFrequency = Next(200000);
                Put(input, 40, range);
            }
            break;
        case 5: // the topology set and node properties
            head.Set = Next(2) ? KSPROPSETID_Topology : testadapter::TestPropertySet;
            head.Id = Next(4);
            if (Next(2))
                head.Flags |= KSPROPERTY_TYPE_TOPOLOGY;
            input.resize(32);
            Put(input, 24, ULONG(Next(2)));
            break;
        default: // the miniports' filter properties
            head.Set = Next(2) ? testadapter::TestPropertySet : KSPROPSETID_Jack;
            head.Id = Next(4);
            input.resize(32);
            Put(input, 24, ULONG(Next(2)));
            break;
        }
        if (input.size() >= sizeof head && code != IOCTL_KS_DISABLE_EVENT)
            std::memcpy(input.data(), &head, sizeof head);
        // Mangling: a random byte, a shorter input, a random set or code.
        if (Next(6) == 0 && !input.empty())
            input[Next(static_cast<uint32_t>(input.size()))] = static_cast<uint8_t>(random_());
        if (Next(10) == 0)
            input.resize(Next(static_cast<uint32_t>(input.size()) + 1));
        if (Next(20) == 0 && input.size() >= 16)
            Put(input, 0, *Sets[Next(SIZEOF_ARRAY(Sets))]);
        if (Next(30) == 0)
            code = Codes[Next(SIZEOF_ARRAY(Codes))];
        DWORD returned = 0;
        DeviceIoControl(target.handle, code, Pointer(input), static_cast<DWORD>(input.size()), Pointer(output),
                        static_cast<DWORD>(output.size()), &returned, nullptr);
    }

    void Step()
    {
        const uint32_t choice = Next(24);
        if (choice < 2) {
            CreatePin();
        } else if (choice == 2) {
            if (!handles_.empty()) {
                const size_t at = Next(static_cast<uint32_t>(handles_.size()));
                CloseHandle(handles_[at].handle);
                handles_.erase(handles_.begin() + long(at));
            }
        } else if (Handle *target = AnyHandle()) {
            // Prefer the pins: their requests reach the streams.
            for (Handle &h : handles_)
                if (h.kind == Kind::Pin && Next(2))
                    target = &h;
            Request(*target);
        }
    }

    void CloseAll()
    {
        if (process_ == nullptr || process_->Ended())
            return;
        standin::win32::ProcessScope in(*process_);
        for (Handle &handle : handles_)
            CloseHandle(handle.handle);
        handles_.clear();
        if (event_ != nullptr)
            CloseHandle(event_);
        event_ = nullptr;
    }

    std::mt19937_64 random_;
    const bool is32Bit_;
    std::mutex lock_;
    std::unique_ptr<standin::win32::ClientProcess> process_;
    std::vector<std::unique_ptr<standin::win32::ClientProcess>> old_;
    std::unique_ptr<standin::win32::ProcessScope> scope_;
    std::vector<Handle> handles_;
    HANDLE event_ = nullptr;
};

} // namespace

TEST(Fuzz, RandomRequestsFromClientsThatComeAndGo)
{
    const uint64_t seed = Setting("PORTCLS_FUZZ_SEED", 0x0B510C15);
    const uint64_t requests = Setting("PORTCLS_FUZZ_REQUESTS", 20000);
    testadapter::Config config;
    config.maxGlobalInstances = 4; // several pins at once, two per filter handle
    config.maxFilterInstances = 2;
    config.handlerYields = 2; // the device lock is held meanwhile: a long stay convoys the clients
    ASSERT_EQ(testadapter::Load(config), 0);
    std::vector<std::unique_ptr<Client>> clients;
    for (unsigned i = 0; i < 3; ++i)
        clients.push_back(std::make_unique<Client>(seed + i, i == 2));
    std::atomic<uint64_t> done{0};
    std::vector<std::thread> threads;
    for (auto &client : clients)
        threads.emplace_back([&client, &done, requests] { client->Run(requests / 3, done); });
    // The hardware and the process killer, driven from here until the
    // clients are done.
    std::mt19937_64 random(seed ^ 0xFFFF);
    uint64_t kills = 0, nextKill = 300;
    while (done.load() < requests / 3 * 3) {
        testadapter::Advance(static_cast<uint32_t>(random() % 700));
        testadapter::Generate(random() % 2, &KSEVENTSETID_PinCapsChange, uint32_t(random() % 2), random() % 2,
                              uint32_t(random() % 2), false, 0);
        // A process end every few hundred requests, whatever the pace.
        if (done.load() >= nextKill) {
            clients[random() % clients.size()]->Kill();
            ++kills;
            nextKill += 300 + random() % 200;
        }
        std::this_thread::yield();
    }
    for (std::thread &thread : threads)
        thread.join();
    clients.clear(); // every client process ends
    EXPECT_GT(kills, 0u);
    // Every pin is gone, everything the port made for it too: the unload's
    // leak check stops the test otherwise.
    EXPECT_EQ(testadapter::Unload(), 0);
    const testadapter::Observed seen = testadapter::Snapshot();
    EXPECT_EQ(seen.streamsDestroyed, seen.newStreams);
    EXPECT_EQ(seen.maxConcurrentCalls, 1); // the device lock held throughout
    // The requests reached the depths: streams, buffers, events.
    EXPECT_GT(seen.newStreams, 0);
    EXPECT_GT(seen.buffersAllocated, 0);
    EXPECT_GT(seen.eventAdds, 0);
    std::printf("%llu requests, %llu process ends: %d streams, %d buffers, %d states, %d events enabled, "
                "%d notification events\n",
                static_cast<unsigned long long>(requests), static_cast<unsigned long long>(kills), seen.newStreams,
                seen.buffersAllocated, static_cast<int>(seen.states.size()), seen.eventAdds, seen.eventsRegistered);
}
