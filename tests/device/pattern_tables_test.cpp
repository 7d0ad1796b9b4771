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

TEST(PatternTables, ShippedEntries)
{
    auto t = Filled();
    EXPECT_EQ(t->lightPatterns[13].name, "Soft Out                 ");
    EXPECT_EQ(t->lightPatterns[13].param, (Bytes{2, 1, 0, 255, 1, 0, 3, 1, 200, 40, 0}));
    EXPECT_EQ(t->lightPatterns[11].param, (Bytes{2, 1, 0, 255, 2, 90, 5, 1, 255, 85, 11}));
    EXPECT_EQ(t->lightPatterns[6].param, (Bytes{2, 0, 0, 128, 5, 0, 5, 3, 0, 20, 0}));
    EXPECT_EQ(t->lightPatterns[7].name, "Single Quick Flash (Slow)");
    for (int code = 0; code < kLightPatternCount; ++code) {
        const auto c = static_cast<std::size_t>(code);
        EXPECT_EQ(t->lightPatterns[c].name.size(), 25u) << code;
        const uint8_t boost = (code >= 7 && code <= 10) || code == 13 ? 1 : 0;
        EXPECT_EQ(t->boost[c], (std::array<uint8_t, 5>{boost, boost, boost, boost, boost})) << code;
    }

    EXPECT_EQ(t->beepPatterns[0].name, "Permanent On       ");
    EXPECT_EQ(t->beepPatterns[11].name, "Short Beep - Long Pause");
    EXPECT_EQ(t->beepPatterns[6].param, (Bytes{2, 2, 120, 5, 0, 5, 3, 0, 0, 20, 0}));
    EXPECT_EQ(t->beepPatterns[20].param, (Bytes{2, 3, 1, 250, 16, 1, 4, 0, 0, 0, 0}));
    for (int code = 0; code < kBeepPatternCount; ++code) {
        const std::string& name = t->beepPatterns[static_cast<std::size_t>(code)].name;
        // Short names are padded to 19; longer ones carry no trailing blank.
        const std::size_t end = name.find_last_not_of(' ') + 1;
        EXPECT_EQ(name.size(), std::max<std::size_t>(end, 19)) << code;
        EXPECT_EQ(t->beepPatterns[static_cast<std::size_t>(code)].param[1],
                  code <= 15 ? 2 : kMelodyMode) << code;
    }
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
