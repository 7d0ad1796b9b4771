// The names front ends give segments, patterns and levels, resolved as the
// window's controls would take them: a segment by position or by the name the
// window shows for it, a pattern by its name in the list, a percentage by the
// slider position whose box first shows it.
#pragma once

#include <cstdint>
#include <string>

#include "device/device_state.h"
#include "device/pattern_tables.h"

namespace kv {

// The position a SEGMENT argument names: "1".."5", "sound", "Color Segment
// 2", "Sound Segment", or the colour name the window shows for the segment
// there ("Red 1", "acoustic 1"), case and blanks forgiven. -1 when none.
int ResolveSegment(const std::string& text, const DeviceState& s);
// The pattern code a PATTERN argument names for a row, case-insensitively and
// ignoring blanks; -1 when the row accepts no such pattern.
int ResolvePattern(const std::string& text, int row, const PatternTables& t);
// The slider position at which the row's percentage box first shows at least
// `percent` for pattern `code`; -1 when the scale does not reach it.
int SliderPositionForPercent(int row, uint8_t code, int percent, const PatternTables& t);

}  // namespace kv
