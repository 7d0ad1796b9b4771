#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "device/pattern_tables.h"

namespace kv {
namespace {

using Bytes = std::array<uint8_t, 11>;

std::unique_ptr<PatternTables> Filled()
{
    auto t = std::make_unique<PatternTables>();
    FillShippedPatterns(*t);
    return t;
}

// One line per shipped pattern: code, name, the bytes, and for light
// patterns the 200 % flags of the five colour rows.
std::string ShippedTable(const PatternTables& t)
{
    std::string text;
    auto line = [&](const char* kind, int code, const PatternEntry& e, int bytes) {
        text += std::string(kind) + " " + std::to_string(code) + " \"" + e.name + "\"";
        for (int i = 0; i < bytes; ++i)
            text += (i == 0 ? " " : ",") + std::to_string(e.param[static_cast<std::size_t>(i)]);
    };
    for (int code = 0; code < kLightPatternCount; ++code) {
        const auto c = static_cast<std::size_t>(code);
        line("light", code, t.lightPatterns[c], 11);
        text += " boost";
        for (uint8_t b : t.boost[c])
            text += " " + std::to_string(b);
        text += "\n";
    }
    for (int code = 0; code < kBeepPatternCount; ++code) {
        line("beep", code, t.beepPatterns[static_cast<std::size_t>(code)], 11);
        text += "\n";
    }
    return text;
}

TEST(PatternTables, ShippedEntries)
{
    EXPECT_EQ(ShippedTable(*Filled()),
              "light 0 \"Permanent On             \" 2,0,0,128,1,1,0,1,0,0,0 boost 0 0 0 0 0\n"
              "light 1 \"Interrupted On           \" 2,0,0,128,14,0,2,1,0,0,0 boost 0 0 0 0 0\n"
              "light 2 \"Very Slow Flash          \" 2,0,0,128,50,0,50,1,0,0,0 boost 0 0 0 0 0\n"
              "light 3 \"Slow Flash               \" 2,0,0,128,25,0,25,1,0,0,0 boost 0 0 0 0 0\n"
              "light 4 \"Flash                    \" 2,0,0,128,8,0,8,1,0,0,0 boost 0 0 0 0 0\n"
              "light 5 \"Alarm Flash              \" 2,0,0,128,5,0,5,1,0,0,0 boost 0 0 0 0 0\n"
              "light 6 \"Grouped Flash            \" 2,0,0,128,5,0,5,3,0,20,0 boost 0 0 0 0 0\n"
              "light 7 \"Single Quick Flash (Slow)\" 2,0,0,128,1,0,49,1,0,0,0 boost 1 1 1 1 1\n"
              "light 8 \"Single Quick Flash (Fast)\" 2,0,0,128,1,0,24,1,0,0,0 boost 1 1 1 1 1\n"
              "light 9 \"Triple Quick Flash (Slow)\" 2,0,0,128,1,0,2,3,0,41,0 boost 1 1 1 1 1\n"
              "light 10 \"Triple Quick Flash (Fast)\" 2,0,0,128,1,0,2,3,0,16,0 boost 1 1 1 1 1\n"
              "light 11 \"Breathing                \" 2,1,0,255,2,90,5,1,255,85,11 boost 0 0 0 0 0\n"
              "light 12 \"Soft In                  \" 2,1,0,255,0,0,4,1,255,35,0 boost 0 0 0 0 0\n"
              "light 13 \"Soft Out                 \" 2,1,0,255,1,0,3,1,200,40,0 boost 1 1 1 1 1\n"
              "beep 0 \"Permanent On       \" 2,2,120,1,1,0,1,0,0,0,0\n"
              "beep 1 \"Interrupted On     \" 2,2,120,14,0,2,1,0,0,0,0\n"
              "beep 2 \"Very Slow Beep     \" 2,2,120,50,0,50,1,0,0,0,0\n"
              "beep 3 \"Slow Beep          \" 2,2,120,25,0,25,1,0,0,0,0\n"
              "beep 4 \"Beep               \" 2,2,120,8,0,8,1,0,0,0,0\n"
              "beep 5 \"Alarm Beep         \" 2,2,120,5,0,5,1,0,0,0,0\n"
              "beep 6 \"Grouped Beep       \" 2,2,120,5,0,5,3,0,0,20,0\n"
              "beep 7 \"Single Quick Beep (Slow)\" 2,2,120,1,0,49,1,0,0,0,0\n"
              "beep 8 \"Single Quick Beep (Fast)\" 2,2,120,1,0,24,1,0,0,0,0\n"
              "beep 9 \"Triple Quick Beep (Slow)\" 2,2,120,1,0,2,3,0,0,41,0\n"
              "beep 10 \"Triple Quick Beep (Fast)\" 2,2,120,1,0,2,3,0,0,16,0\n"
              "beep 11 \"Short Beep - Long Pause\" 2,2,120,1,0,255,1,0,0,255,0\n"
              "beep 12 \"Medium Beep - Long Pause\" 2,2,120,8,0,255,1,0,0,255,0\n"
              "beep 13 \"Long Beep - Long Pause\" 2,2,120,48,0,255,1,0,0,255,0\n"
              "beep 14 \"Grouped Beep - Pause\" 2,2,120,5,0,5,3,0,0,255,0\n"
              "beep 15 \"Triple Quick Beep - Pause\" 2,2,120,1,0,2,3,0,0,255,0\n"
              "beep 16 \"Car Alarm          \" 2,3,1,250,166,2,16,0,0,0,0\n"
              "beep 17 \"Siren              \" 2,3,1,250,166,2,48,0,0,0,0\n"
              "beep 18 \"Intruder Alert     \" 2,3,1,250,166,0,48,0,0,0,0\n"
              "beep 19 \"Jungle             \" 2,3,1,250,166,1,5,0,0,0,0\n"
              "beep 20 \"Birdy Num Num      \" 2,3,1,250,16,1,4,0,0,0,0\n");
}

TEST(PatternTables, CodesWithoutAPatternStayEmptyButHaveAListName)
{
    auto t = Filled();
    for (int code = kLightPatternCount; code < 256; ++code) {
        const auto c = static_cast<std::size_t>(code);
        const auto u = static_cast<uint8_t>(code);
        ASSERT_TRUE(t->lightPatterns[c].name.empty()) << code;
        ASSERT_EQ(t->lightPatterns[c].param, Bytes{}) << code;
        ASSERT_EQ(t->boost[c], (std::array<uint8_t, 5>{})) << code;
        ASSERT_STREQ(LightPatternName(u), "Fill in new Pattern");
        if (code >= kBeepPatternCount) {
            ASSERT_TRUE(t->beepPatterns[c].name.empty()) << code;
            ASSERT_EQ(t->beepPatterns[c].param, Bytes{}) << code;
            ASSERT_STREQ(BeepPatternName(u), "Fill in new Pattern");
            ASSERT_EQ(ShippedBeepVolume(u), 0);
        }
    }
}

TEST(PatternTables, MelodyVolume)
{
    auto t = Filled();
    const std::pair<int, int> points[] = {{0, 1}, {1, 1}, {2, 2}, {37, 19},
                                          {98, 50}, {99, 50}, {100, 50}};
    for (auto [p, v] : points)
        EXPECT_EQ(t->melodyVolume[static_cast<std::size_t>(p)], v) << p;
    EXPECT_EQ(MelodyVolumeOf(-5), 1);
    EXPECT_EQ(MelodyVolumeOf(1000), 50);
}

TEST(PatternTables, StartMemories)
{
    auto t = Filled();
    auto s = std::make_unique<DeviceState>();
    InitPatternMemories(*s, *t);
    for (std::size_t code = 0; code < 256; ++code)
        for (int r = 0; r < kColourRows; ++r)
            ASSERT_EQ(s->levelMemory[code][static_cast<std::size_t>(r)], 128) << code;

    struct Case {
        int code;
        uint16_t level, volume;
    };
    const Case cases[] = {{0, 120, 120}, {15, 120, 120}, {16, 1, 1}, {20, 1, 1},
                          {21, 120, 0},  {255, 120, 0}};
    for (const Case& c : cases) {
        const auto i = static_cast<std::size_t>(c.code);
        EXPECT_EQ(s->levelMemory[i][kSoundRow], c.level) << c.code;
        EXPECT_EQ(s->volumeMemory[i], c.volume) << c.code;
    }

    // A code turned into a melody without a shipped volume must not start at
    // a wrapped-round slider position.
    t->beepPatterns[40].param[1] = kMelodyMode;
    InitPatternMemories(*s, *t);
    EXPECT_EQ(s->levelMemory[40][kSoundRow], 1);
    EXPECT_EQ(s->volumeMemory[40], 0);
}

}  // namespace
}  // namespace kv
