// The WaveRT filter's format answers as the audio engine asks them: data-range
// intersection, the proposed format with and without a signal-processing
// mode, the converter's channel configuration, and the format-change event
// of the streaming pin, deferred while a stream exists.
#include "EndpointFixture.h"
#include <vector>

namespace endpoint_tests {
namespace {

class WaveFilter : public EndpointTest {
protected:
    // KSPROPERTY_PIN_DATAINTERSECTION on pin 0 with one client range.
    ks_client::Reply Intersect(boundary::Handle filter, const KSDATARANGE_AUDIO &range, ULONG rangeSize,
                               KSDATAFORMAT_WAVEFORMATEXTENSIBLE *result, ULONG resultSize)
    {
        struct {
            KSP_PIN pin;
            KSMULTIPLE_ITEM list;
            KSDATARANGE_AUDIO range;
        } input = {};
        input.pin.Property.Set = KSPROPSETID_Pin;
        input.pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
        input.pin.Property.Flags = KSPROPERTY_TYPE_GET;
        input.pin.PinId = 0;
        input.list.Size = sizeof(KSMULTIPLE_ITEM) + ((rangeSize + 7) & ~7u);
        input.list.Count = 1;
        input.range = range;
        input.range.DataRange.FormatSize = rangeSize;
        return ks_client::Control(filter, IOCTL_KS_PROPERTY, &input, sizeof input, result, resultSize);
    }

    static KSDATARANGE_AUDIO Range(ULONG minRate, ULONG maxRate, ULONG minBits, ULONG maxBits, ULONG channels)
    {
        KSDATARANGE_AUDIO range = {};
        range.DataRange.FormatSize = sizeof range;
        range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        range.MinimumSampleFrequency = minRate;
        range.MaximumSampleFrequency = maxRate;
        range.MinimumBitsPerSample = minBits;
        range.MaximumBitsPerSample = maxBits;
        range.MaximumChannels = channels;
        return range;
    }

    // KSPROPERTY_PIN_PROPOSEDATAFORMAT with a format block (and whatever
    // follows it in `size` bytes).
    Status Propose(boundary::Handle filter, ULONG pinId, const void *block, ULONG size)
    {
        std::vector<uint8_t> value(static_cast<const uint8_t *>(block), static_cast<const uint8_t *>(block) + size);
        return ks_client::PinProperty(filter, pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
                                      KSPROPERTY_TYPE_SET, value.data(), size)
            .status;
    }

    ks_client::Reply ChannelConfig(boundary::Handle filter, ULONG node, ULONG flags, ULONG *mask)
    {
        return ks_client::NodeProperty(filter, node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, flags,
                                       mask, sizeof *mask);
    }
};

TEST_F(WaveFilter, IntersectionYieldsTheEndpointsOneFormatOrNoMatch)
{
    AttachHost(Render);
    boundary::Handle filter = OpenFilter(Render.wave);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result;
    memset(&result, 0xCC, sizeof result);
    ks_client::Reply reply = Intersect(filter, Range(44100, 48000, 16, 16, 2), sizeof(KSDATARANGE_AUDIO), &result,
                                       sizeof result);
    ASSERT_EQ(reply.status, Success);
    EXPECT_EQ(reply.information, sizeof result);
    EXPECT_EQ(result.DataFormat.FormatSize, sizeof(KSDATAFORMAT_WAVEFORMATEX)) << "a whole basic block";
    EXPECT_EQ(result.DataFormat.SampleSize, 4u);
    EXPECT_TRUE(IsEqualGUID(result.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_EQ(result.WaveFormatExt.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(result.WaveFormatExt.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(result.WaveFormatExt.dwChannelMask, 0u) << "nothing of the caller's buffer shows through";

    EXPECT_EQ(Intersect(filter, Range(8000, 44100, 16, 16, 2), sizeof(KSDATARANGE_AUDIO), &result, sizeof result)
                  .status,
              NoMatch) << "the endpoint's rate is above the range";
    EXPECT_EQ(Intersect(filter, Range(8000, 48000, 16, 16, 1), sizeof(KSDATARANGE_AUDIO), &result, sizeof result)
                  .status,
              NoMatch) << "one channel for a stereo endpoint";
    EXPECT_EQ(Intersect(filter, Range(8000, 48000, 16, 16, 2), sizeof(KSDATARANGE), &result, sizeof result).status,
              NoMatch) << "a range too short to carry the audio limits";
    reply = Intersect(filter, Range(44100, 48000, 16, 16, 2), sizeof(KSDATARANGE_AUDIO), nullptr, 0);
    EXPECT_EQ(reply.status, BufferOverflow);
    EXPECT_EQ(reply.information, sizeof result) << "the size query";

    // 24 valid bits in 4-byte containers: an extensible result.
    ASSERT_EQ(host->SetFormat({96000, 24, 2, 4, 0x3}), Success);
    reply = Intersect(filter, Range(8000, 192000, 8, 32, 8), sizeof(KSDATARANGE_AUDIO), &result, sizeof result);
    ASSERT_EQ(reply.status, Success);
    EXPECT_EQ(result.DataFormat.FormatSize, sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));
    EXPECT_EQ(result.DataFormat.SampleSize, 8u);
    EXPECT_EQ(result.WaveFormatExt.Samples.wValidBitsPerSample, 24);
    // And the engine may create its pin with what it got.
    ASSERT_EQ(pin.Create(filter, result), Success);
}

TEST_F(WaveFilter, ProposalsAreAcceptedExactlyForTheCurrentFormatInTheModesItTakes)
{
    AttachHost(Render);
    boundary::Handle filter = OpenFilter(Render.wave);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE current = {};
    ks_client::Reply reply = ks_client::PinProperty(filter, 0, KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
                                                    KSPROPERTY_TYPE_GET, &current, sizeof current);
    ASSERT_EQ(reply.status, Success);
    EXPECT_EQ(reply.information, sizeof current);
    EXPECT_EQ(current.DataFormat.FormatSize, sizeof current);
    EXPECT_EQ(current.WaveFormatExt.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(current.WaveFormatExt.dwChannelMask, 0x3u);
    reply = ks_client::PinProperty(filter, 0, KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_GET,
                                   nullptr, 0);
    EXPECT_EQ(reply.status, BufferOverflow);
    EXPECT_EQ(reply.information, sizeof current);

    EXPECT_EQ(Propose(filter, 0, &current, sizeof current), Success);
    const auto basic = ks_client::WaveFormat(48000, 16, 2, 2, 0, false);
    EXPECT_EQ(Propose(filter, 0, &basic, sizeof(KSDATAFORMAT_WAVEFORMATEX)), Success);
    const auto other = FormatOf({44100, 16, 2, 2, 0x3});
    EXPECT_EQ(Propose(filter, 0, &other, sizeof other), NoMatch);
    EXPECT_EQ(Propose(filter, 0, &current, 81), BufferTooSmall);
    EXPECT_EQ(Propose(filter, 1, &current, sizeof current), InvalidParameter) << "only the streaming pin";

    // With an attribute list naming a signal-processing mode.
    struct {
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE format;
        KSMULTIPLE_ITEM list;
        KSATTRIBUTE attribute;
        GUID mode;
    } withMode = {};
    static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) % 8 == 0, "the list follows without padding");
    withMode.format = current;
    withMode.format.DataFormat.Flags = KSDATAFORMAT_ATTRIBUTES;
    withMode.list.Size = sizeof withMode.list + sizeof withMode.attribute + sizeof withMode.mode;
    withMode.list.Count = 1;
    withMode.attribute.Size = sizeof withMode.attribute + sizeof withMode.mode;
    withMode.attribute.Attribute = KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;
    withMode.mode = AUDIO_SIGNALPROCESSINGMODE_RAW;
    EXPECT_EQ(Propose(filter, 0, &withMode, sizeof withMode), Success);
    withMode.mode = AUDIO_SIGNALPROCESSINGMODE_DEFAULT;
    EXPECT_EQ(Propose(filter, 0, &withMode, sizeof withMode), Success);
    withMode.mode = AUDIO_SIGNALPROCESSINGMODE_COMMUNICATIONS;
    EXPECT_EQ(Propose(filter, 0, &withMode, sizeof withMode), NoMatch) << "a mode the endpoint has not";
}

TEST_F(WaveFilter, ChannelConfigurationTakesOnePositionPerChannelOrNone)
{
    AttachHost(Capture);
    boundary::Handle filter = OpenFilter(Capture.wave);
    ULONG mask = 0;
    ASSERT_EQ(ChannelConfig(filter, 0, KSPROPERTY_TYPE_GET, &mask).status, Success);
    EXPECT_EQ(mask, 0x3u);
    mask = 0x30;
    EXPECT_EQ(ChannelConfig(filter, 0, KSPROPERTY_TYPE_SET, &mask).status, Success);
    EXPECT_EQ(host->Block().Format.CC, 0x30u) << "at once, in the host's block";
    mask = 0x7;
    EXPECT_EQ(ChannelConfig(filter, 0, KSPROPERTY_TYPE_SET, &mask).status, InvalidParameter) << "three positions";
    mask = 0x40000;
    EXPECT_EQ(ChannelConfig(filter, 0, KSPROPERTY_TYPE_SET, &mask).status, InvalidParameter) << "not a speaker";
    mask = 0;
    EXPECT_EQ(ChannelConfig(filter, 0, KSPROPERTY_TYPE_SET, &mask).status, Success);
    EXPECT_EQ(host->Block().Format.CC, 0u) << "no positions, stored as such";
    ASSERT_EQ(ChannelConfig(filter, 0, KSPROPERTY_TYPE_GET, &mask).status, Success);
    EXPECT_EQ(mask, 0u);
    ULONG small = 0;
    EXPECT_EQ(ks_client::NodeProperty(filter, 0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
                                      KSPROPERTY_TYPE_GET, &small, 2)
                  .status,
              BufferTooSmall);
}

TEST_F(WaveFilter, AFormatChangeWaitsForTheStreamAndRaisesOneEvent)
{
    AttachHost(Render);
    boundary::Handle filter = OpenFilter(Render.wave);
    KSEVENTDATA data;
    const boundary::Handle changed = EnablePinCapsEvent(filter, KSEVENT_PINCAPS_FORMATCHANGE, 0, &data);
    // Without a stream a change applies at once.
    ASSERT_EQ(host->SetFormat({44100, 16, 2, 2, 0}), Success);
    EXPECT_TRUE(Signalled(changed));
    EXPECT_EQ(host->Block().Format.SR, 44100u);
    ASSERT_EQ(host->SetFormat({44100, 16, 2, 2, 0}), Success);
    EXPECT_FALSE(Signalled(changed)) << "the same format changes nothing";

    ASSERT_EQ(pin.Create(filter, FormatOf({44100, 16, 2, 2, 0x3})), Success);
    ASSERT_EQ(host->SetFormat({96000, 24, 2, 3, 0}), Success);
    ASSERT_EQ(host->SetFormat({48000, 32, 2, 4, 0}), Success);
    EXPECT_FALSE(Signalled(changed)) << "deferred while the stream exists";
    EXPECT_EQ(host->Block().Format.SR, 44100u);
    struct {
        KSMULTIPLE_ITEM header;
        KSDATARANGE_AUDIO range;
    } ranges = {};
    ASSERT_EQ(ks_client::PinProperty(filter, 0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET,
                                     &ranges, sizeof ranges)
                  .status,
              Success);
    EXPECT_EQ(ranges.range.MaximumSampleFrequency, 44100u) << "the pin still offers the stream's format";

    ASSERT_EQ(pin.CloseHandle(), Success);
    EXPECT_TRUE(Signalled(changed)) << "the later change applies at detach";
    EXPECT_FALSE(Signalled(changed)) << "with one event";
    EXPECT_EQ(host->Block().Format.SR, 48000u);
    EXPECT_EQ(host->Block().Format.BPC, 4u);
    ASSERT_EQ(ks_client::PinProperty(filter, 0, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET,
                                     &ranges, sizeof ranges)
                  .status,
              Success);
    EXPECT_EQ(ranges.range.MaximumBitsPerSample, 32u);
    EXPECT_EQ(ks_client::DisableEvent(filter, &data).status, Success);
}

} // namespace
} // namespace endpoint_tests
