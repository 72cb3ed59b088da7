// The shared property replies on property requests built as PortCls builds
// them: sizes answered, buffers refused, and what is and is not written.
#include <gtest/gtest.h>
#include <string.h>
#include "PropertyReplies.h"

namespace {

constexpr NTSTATUS BufferOverflow = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS BufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
constexpr GUID SomeTypeSet = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID GeneralTypeSet = {STATIC_KSPROPTYPESETID_General};
constexpr uint8_t Poison = 0xA7;

struct Request {
    explicit Request(ULONG valueSize, ULONG verb = KSPROPERTY_TYPE_BASICSUPPORT, ULONG instanceSize = 0)
    {
        memset(value, Poison, sizeof value);
        item.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
        request.PropertyItem = &item;
        request.Verb = verb;
        request.InstanceSize = instanceSize;
        request.ValueSize = valueSize;
        request.Value = value;
    }
    KSPROPERTY_DESCRIPTION &Description() { return *reinterpret_cast<KSPROPERTY_DESCRIPTION *>(value); }
    bool Untouched(size_t from) const
    {
        for (size_t i = from; i < sizeof value; ++i)
            if (value[i] != Poison)
                return false;
        return true;
    }

    PCPROPERTY_ITEM item = {};
    PCPROPERTY_REQUEST request = {};
    alignas(8) uint8_t value[64];
};

TEST(BasicSupportReply, AnswersBySizeOfTheValueBuffer)
{
    Request query(0);
    EXPECT_EQ(BasicSupportReply(&query.request, SomeTypeSet, 7), BufferOverflow);
    EXPECT_EQ(query.request.ValueSize, 40u);
    EXPECT_TRUE(query.Untouched(0));

    for (ULONG size : {1u, 3u}) {
        Request tiny(size);
        EXPECT_EQ(BasicSupportReply(&tiny.request, SomeTypeSet, 7), BufferTooSmall) << size;
        EXPECT_EQ(tiny.request.ValueSize, 0u);
        EXPECT_TRUE(tiny.Untouched(0));
    }

    for (ULONG size : {4u, 39u}) {
        Request flags(size);
        EXPECT_EQ(BasicSupportReply(&flags.request, SomeTypeSet, 7), STATUS_SUCCESS) << size;
        EXPECT_EQ(flags.request.ValueSize, 4u);
        EXPECT_EQ(flags.Description().AccessFlags, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT);
        EXPECT_TRUE(flags.Untouched(4)) << "only the access flags";
    }

    Request whole(48);
    EXPECT_EQ(BasicSupportReply(&whole.request, SomeTypeSet, 7), STATUS_SUCCESS);
    EXPECT_EQ(whole.request.ValueSize, 40u);
    const KSPROPERTY_DESCRIPTION &description = whole.Description();
    EXPECT_EQ(description.AccessFlags, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT);
    EXPECT_EQ(description.DescriptionSize, 40u);
    EXPECT_EQ(memcmp(&description.PropTypeSet.Set, &SomeTypeSet, sizeof(GUID)), 0);
    EXPECT_EQ(description.PropTypeSet.Id, 7u);
    EXPECT_EQ(description.PropTypeSet.Flags, 0u);
    EXPECT_EQ(description.MembersListCount, 0u);
    EXPECT_EQ(description.Reserved, 0u);
    EXPECT_TRUE(whole.Untouched(40));
}

TEST(BasicSupportReply, TypeIdentifierFFFFLeavesTheTypeSetUnwritten)
{
    Request reply(40);
    EXPECT_EQ(BasicSupportReply(&reply.request, SomeTypeSet, PropertyTypeUnwritten), STATUS_SUCCESS);
    const KSPROPERTY_DESCRIPTION &description = reply.Description();
    EXPECT_EQ(description.DescriptionSize, 40u);
    const uint8_t *set = reinterpret_cast<const uint8_t *>(&description.PropTypeSet.Set);
    for (size_t i = 0; i < sizeof(GUID); ++i)
        EXPECT_EQ(set[i], Poison) << "byte " << i;
    EXPECT_EQ(description.PropTypeSet.Id, 0xA7A7A7A7u);
    EXPECT_EQ(description.MembersListCount, 0u);
}

TEST(CheckValueSize, SizeQueryThenValueThenInstance)
{
    Request query(0, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(CheckValueSize(&query.request, 0, 12), BufferOverflow);
    EXPECT_EQ(query.request.ValueSize, 12u);

    Request small(11, KSPROPERTY_TYPE_GET, 64);
    EXPECT_EQ(CheckValueSize(&small.request, 4, 12), BufferTooSmall);
    EXPECT_EQ(small.request.ValueSize, 11u) << "a refusal leaves the size";

    Request noInstance(12, KSPROPERTY_TYPE_GET, 3);
    EXPECT_EQ(CheckValueSize(&noInstance.request, 4, 12), BufferTooSmall);
    EXPECT_EQ(CheckValueSize(&noInstance.request, 0, 12), STATUS_SUCCESS) << "no instance needed";

    Request fits(16, KSPROPERTY_TYPE_GET, 4);
    EXPECT_EQ(CheckValueSize(&fits.request, 4, 12), STATUS_SUCCESS);
    EXPECT_EQ(fits.request.ValueSize, 16u);
    EXPECT_TRUE(fits.Untouched(0));
}

TEST(CpuResources, EveryNodeRunsOffTheHostProcessor)
{
    Request query(0, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(PropertyHandlerCpuResources(&query.request), BufferOverflow);
    EXPECT_EQ(query.request.ValueSize, 4u);

    Request tiny(3, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(PropertyHandlerCpuResources(&tiny.request), BufferTooSmall);
    EXPECT_TRUE(tiny.Untouched(0));

    for (ULONG node : {0u, 1u, 5u}) {
        Request get(8, KSPROPERTY_TYPE_GET);
        get.request.Node = node;
        EXPECT_EQ(PropertyHandlerCpuResources(&get.request), STATUS_SUCCESS);
        EXPECT_EQ(get.request.ValueSize, 4u);
        EXPECT_EQ(get.Description().AccessFlags, static_cast<ULONG>(KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU));
        EXPECT_TRUE(get.Untouched(4));
    }

    Request support(40, KSPROPERTY_TYPE_BASICSUPPORT);
    EXPECT_EQ(PropertyHandlerCpuResources(&support.request), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&support.Description().PropTypeSet.Set, &GeneralTypeSet, sizeof(GUID)), 0);
    EXPECT_EQ(support.Description().PropTypeSet.Id, PropertyTypeUnsigned32);

    Request set(4, KSPROPERTY_TYPE_SET);
    EXPECT_EQ(PropertyHandlerCpuResources(&set.request), STATUS_INVALID_DEVICE_REQUEST) << "read-only";
    EXPECT_TRUE(set.Untouched(0));
}

} // namespace
