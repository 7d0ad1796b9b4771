#include "session/tower_names.h"

#include <algorithm>
#include <cctype>

#include "session/output_panel_logic.h"
#include "session/window_model.h"

namespace kv {

namespace {

std::string Normalised(const std::string& text)
{
    std::string n;
    for (unsigned char ch : text)
        if (!std::isspace(ch))
            n.push_back(static_cast<char>(std::tolower(ch)));
    return n;
}

bool AllDigits(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char ch) { return std::isdigit(ch) != 0; });
}

}  // namespace

int ResolveSegment(const std::string& text, const DeviceState& s)
{
    const std::string n = Normalised(text);
    if (AllDigits(n) && n.size() == 1 && n[0] >= '1' && n[0] <= '5')
        return n[0] - '1';
    if (n == "sound" || n == "soundsegment")
        return kSoundRow;
    const std::string colourSegment = "colorsegment";
    if (n.size() == colourSegment.size() + 1 && n.compare(0, colourSegment.size(), colourSegment) == 0 &&
        n.back() >= '1' && n.back() <= '5')
        return n.back() - '1';
    if (n.empty())
        return -1;
    for (int row = 0; row < kRows; ++row) {
        const uint8_t address = s.segmentAddress[static_cast<size_t>(row)];
        if (address != 0 && Normalised(AddressLabel(address)) == n)
            return row;
    }
    return -1;
}

int ResolvePattern(const std::string& text, int row, const PatternTables& t)
{
    const std::string n = Normalised(text);
    if (n.empty() || row < 0 || row >= kRows)
        return -1;
    const bool sound = row == kSoundRow;
    const int count = sound ? kBeepPatternCount : kLightPatternCount;
    for (int code = 0; code < count; ++code) {
        const PatternEntry& e = sound ? t.beepPatterns[static_cast<size_t>(code)]
                                      : t.lightPatterns[static_cast<size_t>(code)];
        if (!e.name.empty() && Normalised(e.name) == n)
            return code;
    }
    return -1;
}

int SliderPositionForPercent(int row, uint8_t code, int percent, const PatternTables& t)
{
    if (row < 0 || row >= kRows || percent < 0)
        return -1;
    if (row == kSoundRow) {
        if (IsMelody(t, code))
            return percent <= kMelodySliderMax ? percent : -1;
        for (int p = kToneSliderMin; p <= kToneSliderMax; ++p)
            if (VolumePercent(static_cast<uint16_t>(p)) >= percent)
                return p;
        return -1;
    }
    const int factor = t.boost[code][static_cast<size_t>(row)] + 1;
    for (int p = kColourSliderMin; p <= kColourSliderMax; ++p)
        if (BrightnessPercent(static_cast<uint16_t>(p * factor)) >= percent)
            return p;
    return -1;
}

}  // namespace kv
