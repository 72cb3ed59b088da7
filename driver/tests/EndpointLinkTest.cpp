// The endpoint link on its own: the format check the miniports ask for, the
// channel mask, deferral while a stream is attached, and a link whose
// miniports are not there yet.
#include <atomic>
#include <thread>
#include <vector>
#include "CoreClient.h"
#include "CoreDriverInternals.h"
#include "DataFormat.h"

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
        ASSERT_TRUE(core_device::Load());
        link = &core_device::LinkObject(PipeRender);
        block = &core_device::Block(PipeRender);
    }
    void TearDown() override { core_device::Unload(); }

    Status Check(const WAVEFORMATEXTENSIBLE &format) { return link->CheckFormat(&format.Format); }

    EndpointLink *link = nullptr;
    CommonDataDesc *block = nullptr;
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
    const uint32_t changes = core_device::FormatChanges(PipeRender);
    core_device::AttachStream(PipeRender); // even with a stream attached
    link->Lock();
    link->SetChannelMask(0x107);
    link->Unlock();
    EXPECT_EQ(block->Format.CC, 0x107u);
    EXPECT_EQ(link->CurrentFormat().CC, 0x107u);
    EXPECT_EQ(core_device::FormatChanges(PipeRender), changes);
    core_device::DetachStream(PipeRender);
    EXPECT_EQ(block->Format.CC, 0x107u) << "nothing was pending";
}

TEST_F(Link, ChangesWaitForTheStreamAndAReturnToTheCurrentCancelsThem)
{
    ASSERT_EQ(link->SetFormat(DataFormatDesc{44100, 16, 2, 2, 3}), Success);
    ASSERT_EQ(link->SetMinimalBufferSize(441), Success);
    const uint32_t changes = core_device::FormatChanges(PipeRender);
    core_device::AttachStream(PipeRender);
    EXPECT_EQ(link->SetFormat(DataFormatDesc{48000, 24, 2, 3, 3}), Success);
    EXPECT_EQ(link->SetMinimalBufferSize(960), Success);
    EXPECT_EQ(link->SetFormat(DataFormatDesc{7000, 24, 2, 3, 3}), InvalidParameter) << "refused, pending kept";
    EXPECT_EQ(link->SetFormat(DataFormatDesc{44100, 16, 2, 2, 0}), Success) << "back to the current";
    EXPECT_EQ(link->SetMinimalBufferSize(441), Success);
    EXPECT_EQ(block->Format.SR, 44100u);
    core_device::DetachStream(PipeRender);
    EXPECT_EQ(block->Format.SR, 44100u) << "cancelled";
    EXPECT_EQ(block->MinBufferFrames, 441u);
    EXPECT_EQ(core_device::FormatChanges(PipeRender), changes);

    core_device::AttachStream(PipeRender);
    link->SetFormat(DataFormatDesc{48000, 24, 2, 3, 3});
    link->SetFormat(DataFormatDesc{7000, 24, 2, 3, 3});
    core_device::DetachStream(PipeRender);
    EXPECT_EQ(block->Format.SR, 48000u) << "a refused request leaves the pending one";
    EXPECT_EQ(core_device::FormatChanges(PipeRender), changes + 1);
}

// Streams count late packets from their own threads: the block follows the
// total without ever stepping back, and ends at the full count.
TEST_F(Link, PacketErrorsTotalFollowsConcurrentCountsInOrder)
{
    constexpr int Threads = 4, CountsPerThread = 20000;
    LONG volatile *mirror = reinterpret_cast<LONG volatile *>(&block->PacketErrorsTotal);
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
