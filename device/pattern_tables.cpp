#include "device/pattern_tables.h"

#include <algorithm>
#include <cstddef>

namespace kv {

const char* const kPlaceholderPatternName = "Fill in new Pattern";

namespace {

// Light pattern names are padded with blanks to 25 characters.
struct ShippedLight {
    const char* name;
    uint8_t param[11];
    uint8_t boost;
};

const ShippedLight kShippedLight[kLightPatternCount] = {
    {"Permanent On             ", {2, 0, 0, 128, 1, 1, 0, 1, 0, 0, 0}, 0},
    {"Interrupted On           ", {2, 0, 0, 128, 14, 0, 2, 1, 0, 0, 0}, 0},
    {"Very Slow Flash          ", {2, 0, 0, 128, 50, 0, 50, 1, 0, 0, 0}, 0},
    {"Slow Flash               ", {2, 0, 0, 128, 25, 0, 25, 1, 0, 0, 0}, 0},
    {"Flash                    ", {2, 0, 0, 128, 8, 0, 8, 1, 0, 0, 0}, 0},
    {"Alarm Flash              ", {2, 0, 0, 128, 5, 0, 5, 1, 0, 0, 0}, 0},
    {"Grouped Flash            ", {2, 0, 0, 128, 5, 0, 5, 3, 0, 20, 0}, 0},
    {"Single Quick Flash (Slow)", {2, 0, 0, 128, 1, 0, 49, 1, 0, 0, 0}, 1},
    {"Single Quick Flash (Fast)", {2, 0, 0, 128, 1, 0, 24, 1, 0, 0, 0}, 1},
    {"Triple Quick Flash (Slow)", {2, 0, 0, 128, 1, 0, 2, 3, 0, 41, 0}, 1},
    {"Triple Quick Flash (Fast)", {2, 0, 0, 128, 1, 0, 2, 3, 0, 16, 0}, 1},
    {"Breathing                ", {2, 1, 0, 255, 2, 90, 5, 1, 255, 85, 11}, 0},
    {"Soft In                  ", {2, 1, 0, 255, 0, 0, 4, 1, 255, 35, 0}, 0},
    {"Soft Out                 ", {2, 1, 0, 255, 1, 0, 3, 1, 200, 40, 0}, 1},
};

// Beep pattern names shorter than 19 characters are padded to 19.
struct ShippedBeep {
    const char* name;
    uint8_t param[10];
};

const ShippedBeep kShippedBeep[kBeepPatternCount] = {
    {"Permanent On       ", {2, 2, 120, 1, 1, 0, 1, 0, 0, 0}},
    {"Interrupted On     ", {2, 2, 120, 14, 0, 2, 1, 0, 0, 0}},
    {"Very Slow Beep     ", {2, 2, 120, 50, 0, 50, 1, 0, 0, 0}},
    {"Slow Beep          ", {2, 2, 120, 25, 0, 25, 1, 0, 0, 0}},
    {"Beep               ", {2, 2, 120, 8, 0, 8, 1, 0, 0, 0}},
    {"Alarm Beep         ", {2, 2, 120, 5, 0, 5, 1, 0, 0, 0}},
    {"Grouped Beep       ", {2, 2, 120, 5, 0, 5, 3, 0, 0, 20}},
    {"Single Quick Beep (Slow)", {2, 2, 120, 1, 0, 49, 1, 0, 0, 0}},
    {"Single Quick Beep (Fast)", {2, 2, 120, 1, 0, 24, 1, 0, 0, 0}},
    {"Triple Quick Beep (Slow)", {2, 2, 120, 1, 0, 2, 3, 0, 0, 41}},
    {"Triple Quick Beep (Fast)", {2, 2, 120, 1, 0, 2, 3, 0, 0, 16}},
    {"Short Beep - Long Pause", {2, 2, 120, 1, 0, 255, 1, 0, 0, 255}},
    {"Medium Beep - Long Pause", {2, 2, 120, 8, 0, 255, 1, 0, 0, 255}},
    {"Long Beep - Long Pause", {2, 2, 120, 48, 0, 255, 1, 0, 0, 255}},
    {"Grouped Beep - Pause", {2, 2, 120, 5, 0, 5, 3, 0, 0, 255}},
    {"Triple Quick Beep - Pause", {2, 2, 120, 1, 0, 2, 3, 0, 0, 255}},
    {"Car Alarm          ", {2, 3, 1, 250, 166, 2, 16, 0, 0, 0}},
    {"Siren              ", {2, 3, 1, 250, 166, 2, 48, 0, 0, 0}},
    {"Intruder Alert     ", {2, 3, 1, 250, 166, 0, 48, 0, 0, 0}},
    {"Jungle             ", {2, 3, 1, 250, 166, 1, 5, 0, 0, 0}},
    {"Birdy Num Num      ", {2, 3, 1, 250, 16, 1, 4, 0, 0, 0}},
};

constexpr uint16_t kStartBrightness = 128;
constexpr uint16_t kStartToneLevel = 120;
constexpr uint16_t kStartMelodyLevel = 1;

}  // namespace

PatternTables& ThePatternTables()
{
    static PatternTables tables;
    return tables;
}

void FillShippedPatterns(PatternTables& t)
{
    for (std::size_t code = 0; code < kLightPatternCount; ++code) {
        const ShippedLight& src = kShippedLight[code];
        PatternEntry& e = t.lightPatterns[code];
        e.name = src.name;
        std::copy(std::begin(src.param), std::end(src.param), e.param.begin());
        t.boost[code].fill(src.boost);
    }
    for (std::size_t code = 0; code < kBeepPatternCount; ++code) {
        const ShippedBeep& src = kShippedBeep[code];
        PatternEntry& e = t.beepPatterns[code];
        e.name = src.name;
        e.param.fill(0);
        std::copy(std::begin(src.param), std::end(src.param), e.param.begin());
    }
    for (int p = 0; p < kMelodySteps; ++p)
        t.melodyVolume[static_cast<std::size_t>(p)] = MelodyVolumeOf(p);
}

void InitPatternMemories(DeviceState& s, const PatternTables& t)
{
    for (auto& perCode : s.levelMemory)
        for (int r = 0; r < kColourRows; ++r)
            perCode[static_cast<std::size_t>(r)] = kStartBrightness;

    for (std::size_t code = 0; code < 256; ++code) {
        const uint16_t shipped = ShippedBeepVolume(static_cast<uint8_t>(code));
        if (t.beepPatterns[code].param[1] == kMelodyMode) {
            s.levelMemory[code][kSoundRow] = kStartMelodyLevel;
            // A melody code always has a shipped volume of at least 1; never
            // let 2 * 0 - 1 wrap round to 65535.
            s.volumeMemory[code] = shipped == 0 ? 0 : static_cast<uint16_t>(2 * shipped - 1);
        } else {
            s.levelMemory[code][kSoundRow] = kStartToneLevel;
            s.volumeMemory[code] = shipped;
        }
    }
}

const char* LightPatternName(uint8_t code)
{
    return code < kLightPatternCount ? kShippedLight[code].name : kPlaceholderPatternName;
}

const char* BeepPatternName(uint8_t code)
{
    return code < kBeepPatternCount ? kShippedBeep[code].name : kPlaceholderPatternName;
}

uint8_t ShippedBeepVolume(uint8_t code)
{
    return code < kBeepPatternCount ? kShippedBeep[code].param[2] : 0;
}

uint16_t MelodyVolumeOf(int position)
{
    const int p = std::clamp(position, 0, kMelodySteps - 1);
    return static_cast<uint16_t>(std::min(p / 2 + 1, 50));
}

}  // namespace kv
