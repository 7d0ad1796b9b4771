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

TEST(PatternTables, ShippedLightEntries)
{
    auto t = Filled();
    const PatternEntry& soft = t->lightPatterns[13];
    EXPECT_EQ(soft.name, "Soft Out                 ");
    EXPECT_EQ(soft.param, (Bytes{2, 1, 0, 255, 1, 0, 3, 1, 200, 40, 0}));
    EXPECT_EQ(t->lightPatterns[11].param, (Bytes{2, 1, 0, 255, 2, 90, 5, 1, 255, 85, 11}));
    EXPECT_EQ(t->lightPatterns[6].param, (Bytes{2, 0, 0, 128, 5, 0, 5, 3, 0, 20, 0}));
    EXPECT_EQ(t->lightPatterns[7].name, "Single Quick Flash (Slow)");

    for (int code = 0; code < kLightPatternCount; ++code) {
        SCOPED_TRACE(code);
        const PatternEntry& e = t->lightPatterns[static_cast<std::size_t>(code)];
        EXPECT_EQ(e.name.size(), 25u);
        EXPECT_EQ(e.name, LightPatternName(static_cast<uint8_t>(code)));
        EXPECT_EQ(e.param[0], 2);
        EXPECT_EQ(e.param[1], code <= 10 ? 0 : 1);  // flash or fading
        EXPECT_EQ(e.param[2], 0);
        EXPECT_EQ(e.param[3], code <= 10 ? 128 : 255);
        const bool boosted = code == 7 || code == 8 || code == 9 || code == 10 || code == 13;
        for (int r = 0; r < kColourRows; ++r)
            EXPECT_EQ(t->boost[static_cast<std::size_t>(code)][static_cast<std::size_t>(r)],
                      boosted ? 1 : 0);
    }
}

TEST(PatternTables, ShippedBeepEntries)
{
    auto t = Filled();
    EXPECT_EQ(t->beepPatterns[0].name, "Permanent On       ");
    EXPECT_EQ(t->beepPatterns[11].name, "Short Beep - Long Pause");
    EXPECT_EQ(t->beepPatterns[20].name, "Birdy Num Num      ");
    EXPECT_EQ(t->beepPatterns[6].param, (Bytes{2, 2, 120, 5, 0, 5, 3, 0, 0, 20, 0}));
    EXPECT_EQ(t->beepPatterns[20].param, (Bytes{2, 3, 1, 250, 16, 1, 4, 0, 0, 0, 0}));

    EXPECT_EQ(t->beepPatterns[16].param[1], kMelodyMode);
    EXPECT_EQ(t->beepPatterns[15].param[1], 2);
    EXPECT_EQ(t->beepPatterns[21].param[1], 0);

    for (int code = 0; code < kBeepPatternCount; ++code) {
        SCOPED_TRACE(code);
        const PatternEntry& e = t->beepPatterns[static_cast<std::size_t>(code)];
        // Short names are padded to 19; longer ones carry no trailing blank.
        const std::size_t end = e.name.find_last_not_of(' ') + 1;
        EXPECT_EQ(e.name.size(), std::max<std::size_t>(end, 19));
        EXPECT_EQ(e.name, BeepPatternName(static_cast<uint8_t>(code)));
        EXPECT_EQ(e.param[1], code <= 15 ? 2 : 3);
        EXPECT_EQ(e.param[2], code <= 15 ? 120 : 1);
        EXPECT_EQ(e.param[10], 0);
        EXPECT_EQ(ShippedBeepVolume(static_cast<uint8_t>(code)), e.param[2]);
    }
}

TEST(PatternTables, CodesWithoutAPatternStayEmptyButHaveAListName)
{
    auto t = Filled();
    for (int code = kLightPatternCount; code < 256; ++code) {
        const auto c = static_cast<std::size_t>(code);
        ASSERT_TRUE(t->lightPatterns[c].name.empty()) << code;
        ASSERT_EQ(t->lightPatterns[c].param, Bytes{}) << code;
        ASSERT_EQ(t->boost[c], (std::array<uint8_t, 5>{})) << code;
        ASSERT_STREQ(LightPatternName(static_cast<uint8_t>(code)), "Fill in new Pattern");
    }
    for (int code = kBeepPatternCount; code < 256; ++code) {
        const auto c = static_cast<std::size_t>(code);
        ASSERT_TRUE(t->beepPatterns[c].name.empty()) << code;
        ASSERT_EQ(t->beepPatterns[c].param, Bytes{}) << code;
        ASSERT_STREQ(BeepPatternName(static_cast<uint8_t>(code)), "Fill in new Pattern");
        ASSERT_EQ(ShippedBeepVolume(static_cast<uint8_t>(code)), 0);
    }
}

TEST(PatternTables, MelodyVolume)
{
    auto t = Filled();
    const std::pair<int, int> points[] = {{0, 1}, {1, 1}, {2, 2}, {37, 19},
                                          {50, 26}, {98, 50}, {99, 50}, {100, 50}};
    for (auto [p, v] : points)
        EXPECT_EQ(t->melodyVolume[static_cast<std::size_t>(p)], v) << p;
    for (int p = 1; p < kMelodySteps; ++p) {
        const auto i = static_cast<std::size_t>(p);
        EXPECT_GE(t->melodyVolume[i], t->melodyVolume[i - 1]);
        EXPECT_LE(t->melodyVolume[i] - t->melodyVolume[i - 1], 1);
    }
    // Out-of-range positions never index past the table.
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
        uint16_t level;
        uint16_t volume;
    };
    const Case cases[] = {{0, 120, 120}, {15, 120, 120}, {16, 1, 1}, {20, 1, 1},
                          {21, 120, 0},  {255, 120, 0}};
    for (const Case& c : cases) {
        const auto i = static_cast<std::size_t>(c.code);
        EXPECT_EQ(s->levelMemory[i][kSoundRow], c.level) << c.code;
        EXPECT_EQ(s->volumeMemory[i], c.volume) << c.code;
    }

    // A code that was turned into a melody without a shipped volume must not
    // start at a wrapped-round slider position.
    t->beepPatterns[40].param[1] = kMelodyMode;
    InitPatternMemories(*s, *t);
    EXPECT_EQ(s->levelMemory[40][kSoundRow], 1);
    EXPECT_EQ(s->volumeMemory[40], 0);
}

}  // namespace
}  // namespace kv
