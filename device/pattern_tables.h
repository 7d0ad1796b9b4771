// The light and beep pattern tables, indexed by pattern code.
//
// Every entry starts empty (no name, all bytes 0). FillShippedPatterns puts the
// shipped light codes 0..13 and beep codes 0..20 in place; the other codes stay
// empty, so composing a row for a code the device reports beyond the shipped
// ones composes zero parameter bytes. Lists that need a text for such a code
// take it from LightPatternName / BeepPatternName ("Fill in new Pattern").
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/device_state.h"

namespace kv {

constexpr int kLightPatternCount = 14;  // codes 0..13 are shipped
constexpr int kBeepPatternCount = 21;   // codes 0..20 are shipped
constexpr uint8_t kMelodyMode = 3;      // beep param[1] of a melody
constexpr int kMelodySteps = 101;       // melody slider positions 0..100

// Name of every code without a shipped pattern.
extern const char* const kPlaceholderPatternName;  // "Fill in new Pattern"

// A pattern's name and parameter bytes: eleven for a light pattern, ten for a
// beep pattern (param[10] of a beep entry is always 0).
struct PatternEntry {
    std::string name;
    std::array<uint8_t, 11> param{};
};

struct PatternTables {
    std::array<PatternEntry, 256> lightPatterns{};
    std::array<PatternEntry, 256> beepPatterns{};
    // 1 where a light pattern may run at up to 200 % on a colour row.
    std::array<std::array<uint8_t, 5>, 256> boost{};
    // Melody slider position 0..100 to device volume.
    std::array<uint16_t, kMelodySteps> melodyVolume{};
};

// The program's one instance.
PatternTables& ThePatternTables();

// Fills light codes 0..13 (name, eleven bytes, the 200 % flag of all five
// colour rows), beep codes 0..20 (name, ten bytes) and melodyVolume. Codes
// beyond the shipped ones are left as they are (empty at start). Called once
// by the output panel when the main window initialises.
void FillShippedPatterns(PatternTables& t);

// Start values of the per-pattern memories, toolkit-free part of the output
// panel's initialisation; run after FillShippedPatterns:
//   levelMemory[code][r] = 128 for every code and colour row r;
//   beep code with mode 3 (melody): levelMemory[code][5] = 1,
//     volumeMemory[code] = 2 * s - 1;
//   any other beep code: levelMemory[code][5] = 120, volumeMemory[code] = s;
// where s is the shipped volume byte of the code (120 tones, 1 melodies,
// 0 for codes without a shipped pattern).
void InitPatternMemories(DeviceState& s, const PatternTables& t);

// Name shown for a code: the shipped name (padding included) or the
// placeholder for codes without a pattern.
const char* LightPatternName(uint8_t code);
const char* BeepPatternName(uint8_t code);

// Shipped volume byte (param[2]) of a beep code; 0 beyond the shipped codes.
uint8_t ShippedBeepVolume(uint8_t code);

// min(p / 2 + 1, 50) for melody slider position p; positions above 100 count
// as 100.
uint16_t MelodyVolumeOf(int position);

}  // namespace kv
