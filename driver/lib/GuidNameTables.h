/* The GUID name tables the format and attribute parsers name GUIDs from. */
#pragma once

#include "GuidText.h"

namespace Mosaik {

extern const GuidNameRow MajorFormatNames[];
extern const GuidNameRow SubFormatNames[];
extern const GuidNameRow SpecifierNames[];
extern const GuidNameRow AttributeNames[];

} // namespace Mosaik
