/* GUIDs as text: the plain hyphenated form and names from small tables. */
#pragma once

#include "KsHeaders.h"

namespace Mosaik {

// A GUID name table: rows searched in order, ended by a row whose Guid is null.
struct GuidNameRow {
    const GUID *Guid;
    const WCHAR *Name;
};

// Capacity the parsers give each GUID name they put into a message.
constexpr ULONG GuidNameCapacity = 50;

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (upper-case digits when asked), or
// "GUID_NULL" without a GUID; cut to fit and terminated. Returns buffer.
WCHAR *GuidToText(WCHAR *buffer, ULONG capacity, const GUID *guid, bool uppercase);

// The name of the first table row holding `guid`, or its braced lower-case
// text when no row does. Returns buffer.
WCHAR *GuidName(WCHAR *buffer, ULONG capacity, const GUID &guid, const GuidNameRow *table);

} // namespace Mosaik
