// The endpoint link of the loaded driver: the format check the miniports ask
// for, the channel mask, deferral while a stream is attached, concurrent
// packet-error counts, and a link whose miniports are not there yet.
#include <atomic>
#include <thread>
#include <vector>
// The driver's own headers first: the kernel-mode parts of the KS headers.
#include "DataFormat.h"
#include "DriverInternals.h"
#include "CoreClient.h"
#include "ManualHost.h"

namespace core_tests {
namespace {

constexpr Status NoMatch = static_cast<Status>(0xC0000272);

WAVEFORMATEXTENSIBLE Basic(WORD tag, DWORD rate, WORD bits, WORD channels)
{
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = tag;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.wBitsPerSample = bits;
    format.Format.nBlockAlign = static_cast<WORD>(bits / 8 * channels);
    format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    return format;
}

WAVEFORMATEXTENSIBLE Extensible(const GUID &subtype, DWORD rate, WORD container, WORD valid, WORD channels,
                                DWORD mask)
{
    WAVEFORMATEXTENSIBLE format = Basic(WAVE_FORMAT_EXTENSIBLE, rate, container, channels);
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = valid;
    format.dwChannelMask = mask;
    format.SubFormat = subtype;
    return format;
}

class Link : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dut::Load());
        link = &dut::LinkObject(PipeRender);
        block = &dut::Block(PipeRender);
    }
    void TearDown() override
    {
        engine.reset();
        host.reset();
        dut::Unload();
    }

    Status Check(const WAVEFORMATEXTENSIBLE &format) { return link->CheckFormat(&format.Format); }

    // A host serving the link's endpoint and an engine watching it, so that a
    // stream can be attached and detached.
    void Attach(const DataFormatDesc &format)
    {
        if (!host) {
            host = std::make_unique<host_client::ManualHost>(PipeRender);
            ASSERT_EQ(host->Attach(link->CurrentFormat()), Success);
            engine = std::make_unique<Engine>(PipeRender);
        }
        ASSERT_EQ(engine->Open(format), Success);
    }
    void Detach() { ASSERT_EQ(engine->Close(), Success); }

    EndpointLink *link = nullptr;
    const CommonDataDesc *block = nullptr;
    std::unique_ptr<host_client::ManualHost> host;
    std::unique_ptr<Engine> engine;
};

TEST_F(Link, CheckFormatComparesRateBitsChannelsAndContainerOnly)
{
    const GUID pcm = KSDATAFORMAT_SUBTYPE_PCM;
    EXPECT_EQ(Check(Basic(WAVE_FORMAT_PCM, 48000, 16, 2)), Success) << "the initial format";
    EXPECT_EQ(Check(Basic(WAVE_FORMAT_PCM, 44100, 16, 2)), NoMatch);
    EXPECT_EQ(Check(Basic(WAVE_FORMAT_PCM, 48000, 8, 2)), NoMatch);
    EXPECT_EQ(Check(Basic(WAVE_FORMAT_PCM, 48000, 16, 1)), NoMatch);
    EXPECT_EQ(Check(Basic(WAVE_FORMAT_IEEE_FLOAT, 48000, 16, 2)), Success) << "float is accepted by its code";
    EXPECT_EQ(Check(Extensible(pcm, 48000, 16, 16, 2, 0x4)), Success) << "the mask is not compared";

    GUID compressed = pcm;
    compressed.Data1 = 0x92;
    EXPECT_EQ(Check(Extensible(compressed, 48000, 16, 16, 2, 0x3)), NoMatch) << "neither PCM nor float";
    WAVEFORMATEXTENSIBLE noChannels = Basic(WAVE_FORMAT_PCM, 48000, 16, 2);
    noChannels.Format.nChannels = 0;
    EXPECT_EQ(Check(noChannels), InvalidParameter);
    EXPECT_EQ(Check(Basic(WAVE_FORMAT_PCM, 48000, 12, 2)), InvalidParameter);
    EXPECT_EQ(link->CheckFormat(nullptr), InvalidParameter);

    // 24 valid bits in 4-byte containers: the valid bits count.
    ASSERT_EQ(link->SetFormat(DataFormatDesc{96000, 24, 2, 4, 0}), Success);
    EXPECT_EQ(Check(Extensible(pcm, 96000, 32, 24, 2, 0x3)), Success);
    EXPECT_EQ(Check(Extensible(pcm, 96000, 32, 32, 2, 0x3)), NoMatch);
    EXPECT_EQ(Check(Basic(WAVE_FORMAT_PCM, 96000, 32, 2)), NoMatch) << "a basic format's valid bits are its container";
    EXPECT_EQ(Check(Extensible(pcm, 96000, 24, 24, 2, 0x3)), NoMatch) << "3-byte containers";
}

TEST_F(Link, ChannelMaskChangesAtOnceWithoutAFormatEvent)
{
    ASSERT_EQ(link->SetFormat(DataFormatDesc{48000, 16, 4, 2, 0}), Success);
    EXPECT_EQ(block->Format.CC, 0x33u);
    Attach({48000, 16, 4, 2, 0x33}); // even with a stream attached
    engine->FormatChanged();
    link->Lock();
    link->SetChannelMask(0x107);
    link->Unlock();
    EXPECT_EQ(block->Format.CC, 0x107u);
    EXPECT_EQ(link->CurrentFormat().CC, 0x107u);
    EXPECT_FALSE(engine->FormatChanged());
    Detach();
    EXPECT_EQ(block->Format.CC, 0x107u) << "nothing was pending";
    EXPECT_FALSE(engine->FormatChanged());
}

TEST_F(Link, ChangesWaitForTheStreamAndAReturnToTheCurrentCancelsThem)
{
    ASSERT_EQ(link->SetFormat(DataFormatDesc{44100, 16, 2, 2, 3}), Success);
    ASSERT_EQ(link->SetMinimalBufferSize(441), Success);
    Attach({44100, 16, 2, 2, 0x3});
    engine->FormatChanged();
    EXPECT_EQ(link->SetFormat(DataFormatDesc{48000, 24, 2, 3, 3}), Success);
    EXPECT_EQ(link->SetMinimalBufferSize(960), Success);
    EXPECT_EQ(link->SetFormat(DataFormatDesc{7000, 24, 2, 3, 3}), InvalidParameter) << "refused, pending kept";
    EXPECT_EQ(link->SetFormat(DataFormatDesc{44100, 16, 2, 2, 0}), Success) << "back to the current";
    EXPECT_EQ(link->SetMinimalBufferSize(441), Success);
    EXPECT_EQ(block->Format.SR, 44100u);
    Detach();
    EXPECT_EQ(block->Format.SR, 44100u) << "cancelled";
    EXPECT_EQ(block->MinBufferFrames, 441u);
    EXPECT_FALSE(engine->FormatChanged());

    Attach({44100, 16, 2, 2, 0x3});
    link->SetFormat(DataFormatDesc{48000, 24, 2, 3, 3});
    link->SetFormat(DataFormatDesc{7000, 24, 2, 3, 3});
    Detach();
    EXPECT_EQ(block->Format.SR, 48000u) << "a refused request leaves the pending one";
    EXPECT_TRUE(engine->FormatChanged());
    EXPECT_FALSE(engine->FormatChanged()) << "once";
}

// Streams count late packets from their own threads: the block follows the
// total without ever stepping back, and ends at the full count.
TEST_F(Link, PacketErrorsTotalFollowsConcurrentCountsInOrder)
{
    constexpr int Threads = 4, CountsPerThread = 20000;
    LONG volatile *mirror = reinterpret_cast<LONG volatile *>(const_cast<uint32_t *>(&block->PacketErrorsTotal));
    std::atomic<bool> counting{true};
    std::atomic<int> stepsBack{0};
    std::thread reader([&] {
        LONG last = 0;
        while (counting) {
            const LONG now = InterlockedCompareExchange(mirror, 0, 0);
            if (now < last)
                ++stepsBack;
            last = now;
        }
    });
    std::vector<std::thread> streams;
    for (int t = 0; t < Threads; ++t)
        streams.emplace_back([this] {
            for (int i = 0; i < CountsPerThread; ++i)
                link->CountPacketError();
        });
    for (std::thread &stream : streams)
        stream.join();
    counting = false;
    reader.join();
    EXPECT_EQ(stepsBack.load(), 0);
    EXPECT_EQ(InterlockedCompareExchange(mirror, 0, 0), Threads * CountsPerThread);
}

TEST(LinkWithoutMiniports, EverythingThatWouldReachThemDoesNothing)
{
    ControlPipe pipe(PipeRender, nullptr); // never started, never routed to
    EndpointLink link_(CaptureEndpoint, &pipe);
    EndpointLink *link = &link_;
    EXPECT_EQ(link->Wave(), nullptr);
    EXPECT_EQ(link->SetFormat(DataFormatDesc{44100, 16, 2, 2, 0}), Success);
    EXPECT_EQ(link->CurrentFormat().SR, 44100u) << "applied: no stream can be attached";
    EXPECT_EQ(link->SetMinimalBufferSize(100), Success);
    EXPECT_EQ(link->MinimalBufferSize(), 100u);
    link->ApplyPending();
    link->ProcessPosition();
    link->RaiseJackChange();
    link->CountPacketError();
    EXPECT_EQ(link->IsClientReady(), DeviceNotReady);
    EXPECT_FALSE(link->IsClientReadyNow());
    EXPECT_EQ(link->RequestClient(ClientReqStateChanged), DeviceNotReady) << "a pipe never started";
    EXPECT_EQ(link->GetBufferMdl(), nullptr);
}

} // namespace
} // namespace core_tests
