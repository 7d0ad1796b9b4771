// The light and beep pattern tables, indexed by pattern code.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kv {

constexpr int kLightPatternCount = 14;  // codes 0..13 are shipped
constexpr int kBeepPatternCount = 21;   // codes 0..20 are shipped
constexpr uint8_t kMelodyMode = 3;      // beep param[1] of a melody

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
    std::array<uint16_t, 101> melodyVolume{};
};

// The program's one instance.
PatternTables& ThePatternTables();

}  // namespace kv
