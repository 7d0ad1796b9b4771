#include "session/window_model.h"

#include <algorithm>

namespace kv {

WindowModel::WindowModel()
{
    // The percentage boxes start as "0" for the colour rows and empty for the
    // sound row; the initialisation of the window fills them.
    for (int r = 0; r < kColourRows; ++r)
        SetPercent(output[static_cast<size_t>(r)], 0);
    output[kSoundRow].sliderMin = kToneSliderMin;
    output[kSoundRow].sliderMax = kToneSliderMax;
    output[kSoundRow].sliderPos = kToneSliderMin;
}

void SetSlider(OutputRowModel& row, int min, int max, int position)
{
    row.sliderMin = min;
    row.sliderMax = std::max(min, max);
    SetSliderPos(row, position);
}

void SetPercent(OutputRowModel& row, int value)
{
    row.percent = value;
    row.percentText = std::to_string(value);
}

void SetSliderPos(OutputRowModel& row, int position)
{
    row.sliderPos = std::clamp(position, row.sliderMin, row.sliderMax);
}

bool ColourOfAddress(uint8_t address, SegmentColour& colour)
{
    const int index = ColourIndexOfAddress(address);
    if (index < 0 || index > 4)
        return false;
    colour = static_cast<SegmentColour>(index);
    return true;
}

}  // namespace kv
