// GUID text and naming through the tables.
#include <gtest/gtest.h>

#include "GuidNameTables.h"
#include "WideText.h"

using namespace Mosaik;

namespace {

const GUID Interface = {0xE6DCD72D, 0x0668, 0x429F, {0x8A, 0x1B, 0xE7, 0x2D, 0xFE, 0x99, 0x13, 0x40}};

TEST(GuidText, LowerUpperAndAbsent)
{
    WCHAR text[40];
    EXPECT_EQ(Utf8(GuidToText(text, 40, &Interface, false)), "e6dcd72d-0668-429f-8a1b-e72dfe991340");
    EXPECT_EQ(Utf8(GuidToText(text, 40, &Interface, true)), "E6DCD72D-0668-429F-8A1B-E72DFE991340");
    EXPECT_EQ(Utf8(GuidToText(text, 40, nullptr, false)), "GUID_NULL");
    EXPECT_EQ(Utf8(GuidToText(text, 5, &Interface, false)), "e6dc");
}

TEST(GuidName, TableRowsAndFallback)
{
    WCHAR name[GuidNameCapacity];
    EXPECT_EQ(Utf8(GuidName(name, GuidNameCapacity, KSDATAFORMAT_SUBTYPE_PCM, SubFormatNames)),
              "KSDATAFORMAT_SUBTYPE_PCM");
    EXPECT_EQ(Utf8(GuidName(name, 10, KSDATAFORMAT_SUBTYPE_PCM, SubFormatNames)), "KSDATAFOR");
    EXPECT_EQ(Utf8(GuidName(name, GuidNameCapacity, Interface, SubFormatNames)),
              "{e6dcd72d-0668-429f-8a1b-e72dfe991340}");
    const GuidNameRow empty[] = {{nullptr, nullptr}};
    EXPECT_EQ(Utf8(GuidName(name, GuidNameCapacity, KSDATAFORMAT_SUBTYPE_PCM, empty)),
              "{00000001-0000-0010-8000-00aa00389b71}");
    EXPECT_EQ(Utf8(GuidName(name, GuidNameCapacity, GUID_NULL, MajorFormatNames)), "KSDATAFORMAT_TYPE_WILDCARD");
}

// The published values behind the names (a wrong digit would make a real
// format unrecognisable).
TEST(GuidName, TablesHoldThePublishedValues)
{
    struct Case {
        const GuidNameRow *table;
        const char *text;
        const char *name;
    } cases[] = {
        {MajorFormatNames, "73647561-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_TYPE_AUDIO"},
        {MajorFormatNames, "e725d360-62cc-11cf-a5d6-28db04c10000", "KSDATAFORMAT_TYPE_MUSIC"},
        {MajorFormatNames, "73646976-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_TYPE_VIDEO"},
        {SubFormatNames, "6dba3190-67bd-11cf-a0f7-0020afd156e4", "KSDATAFORMAT_SUBTYPE_ANALOG"},
        {SubFormatNames, "00000000-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_SUBTYPE_WAVEFORMATEX"},
        {SubFormatNames, "00000003-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_SUBTYPE_IEEE_FLOAT"},
        {SubFormatNames, "00000002-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_SUBTYPE_ADPCM"},
        {SubFormatNames, "00000006-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_SUBTYPE_ALAW"},
        {SubFormatNames, "00000007-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_SUBTYPE_MULAW"},
        {SubFormatNames, "00000050-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_SUBTYPE_MPEG"},
        {SubFormatNames, "00000092-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL"},
        {SubFormatNames, "00000164-0000-0010-8000-00aa00389b71", "KSDATAFORMAT_SUBTYPE_IEC61937_WMA_PRO"},
        {SpecifierNames, "0f6417d6-c318-11d0-a43f-00a0c9223196", "KSDATAFORMAT_SPECIFIER_NONE"},
        {SpecifierNames, "05589f81-c356-11ce-bf01-00aa0055595a", "KSDATAFORMAT_SPECIFIER_WAVEFORMATEX"},
        {SpecifierNames, "518590a2-a184-11d0-8522-00c04fd9baf3", "KSDATAFORMAT_SPECIFIER_DSOUND"},
        {AttributeNames, "e1f89eb5-5f46-419b-967b-ff6770b98401", "KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE"},
        {AttributeNames, "c18e2f7e-933d-4965-b7d1-1eef228d2af3", "AUDIO_SIGNALPROCESSINGMODE_DEFAULT"},
        {AttributeNames, "9e90ea20-b493-4fd1-a1a8-7e1361a956cf", "AUDIO_SIGNALPROCESSINGMODE_RAW"},
        {AttributeNames, "98951333-b9cd-48b1-a0a3-ff40682d73f7", "AUDIO_SIGNALPROCESSINGMODE_COMMUNICATIONS"},
        {AttributeNames, "4780004e-7133-41d8-8c74-660dadd2c0ee", "AUDIO_SIGNALPROCESSINGMODE_MEDIA"},
        {AttributeNames, "b26feb0d-ec94-477c-9494-d1ab8e753f6e", "AUDIO_SIGNALPROCESSINGMODE_MOVIE"},
        {AttributeNames, "9cf2a70b-f377-403b-bd6b-360863e0355c", "AUDIO_SIGNALPROCESSINGMODE_NOTIFICATION"},
    };
    for (const Case &c : cases) {
        const GuidNameRow *row = c.table;
        while (row->Guid && Utf8(row->Name) != c.name)
            ++row;
        ASSERT_NE(row->Guid, nullptr) << c.name << " missing";
        WCHAR text[40];
        EXPECT_EQ(Utf8(GuidToText(text, 40, row->Guid, false)), c.text) << c.name;
    }
}

} // namespace
