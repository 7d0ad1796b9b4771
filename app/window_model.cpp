#include "app/window_model.h"

#include <algorithm>

namespace kv {

WindowModel::WindowModel()
{
    // The percentage boxes start as "0" for the colour rows and empty for the
    // sound row; the initialisation of the window fills them.
    for (int r = 0; r < kColourRows; ++r)
        output[static_cast<size_t>(r)].percentText.assign(1, '0');
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
