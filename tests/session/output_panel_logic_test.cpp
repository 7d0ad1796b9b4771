#include "session/output_panel_logic.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace kv {
namespace {

struct Composed {
    uint8_t address;
    uint16_t level;
    uint8_t code;
    int row;
    bool operator==(const Composed&) const = default;
};

constexpr int kSingleQuickFlashSlow = 7;
constexpr int kFlash = 4;
constexpr int kCarAlarm = 16;
constexpr int kBeep = 4;

class OutputPanelTest : public ::testing::Test {
protected:
    OutputPanelTest()
        : panel(state, patterns, model,
                [this](uint8_t a, uint16_t l, uint8_t c, int r) { composed.push_back({a, l, c, r}); })
    {
        panel.InitOutputPanel();
        panel.ShowStartScaleLabels();
        state.segmentAddress = {8, 14, 18, 23, 28, 33};
    }

    const OutputRowModel& Row(int r) const { return model.output[static_cast<size_t>(r)]; }

    DeviceState state;
    PatternTables patterns;
    WindowModel model;
    std::vector<Composed> composed;
    OutputPanelLogic panel;
};

TEST_F(OutputPanelTest, BoostedPatternHalvesTheSliderAndDoublesItsValue)
{
    panel.OnPatternSelected(2, kSingleQuickFlashSlow);
    EXPECT_EQ(Row(2).scaleLabel, "200 %");
    EXPECT_EQ(Row(2).sliderPos, 64);
    EXPECT_EQ(Row(2).percentText, "50");
    ASSERT_EQ(composed.size(), 1u);
    EXPECT_EQ(composed.back(), (Composed{18, 128, kSingleQuickFlashSlow, 2}));
    EXPECT_EQ(state.rowPending[2], 1);
    EXPECT_EQ(state.lastChangedRow, 3);

    panel.OnColourSlider(2, 255);
    EXPECT_EQ(state.levelMemory[kSingleQuickFlashSlow][2], 510);
    EXPECT_EQ(Row(2).percentText, "200");
    EXPECT_EQ(patterns.lightPatterns[kSingleQuickFlashSlow].param[2], 1);
    EXPECT_EQ(patterns.lightPatterns[kSingleQuickFlashSlow].param[3], 254);
    EXPECT_EQ(composed.back(), (Composed{18, 510, kSingleQuickFlashSlow, 2}));

    // Back to a 100 % pattern: its own remembered value comes back.
    state.levelMemory[kFlash][2] = 77;
    panel.OnPatternSelected(2, kFlash);
    EXPECT_EQ(Row(2).scaleLabel, "100 %");
    EXPECT_EQ(Row(2).sliderPos, 77);
    EXPECT_EQ(Row(2).percentText, "30");
    EXPECT_EQ(composed.back(), (Composed{18, 77, kFlash, 2}));
}

TEST_F(OutputPanelTest, ColourSliderValueAndPercentage)
{
    struct Case {
        int code;
        int position;
        uint16_t value;
        const char* percent;
        uint8_t high;
        uint8_t low;
    };
    const Case cases[] = {
        {kSingleQuickFlashSlow, 200, 400, "156", 1, 144},
        {kSingleQuickFlashSlow, 128, 256, "100", 1, 0},
        {13, 127, 254, "99", 0, 254},
        {kFlash, 255, 255, "100", 0, 255},
        {kFlash, 0, 0, "0", 0, 0},
        {kFlash, 300, 255, "100", 0, 255},  // beyond the slider's end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        panel.OnPatternSelected(0, c.code);
        panel.OnColourSlider(0, c.position);
        EXPECT_EQ(state.levelMemory[static_cast<size_t>(c.code)][0], c.value);
        EXPECT_EQ(Row(0).percentText, c.percent);
        EXPECT_EQ(patterns.lightPatterns[static_cast<size_t>(c.code)].param[2], c.high);
        EXPECT_EQ(patterns.lightPatterns[static_cast<size_t>(c.code)].param[3], c.low);
    }
}

TEST_F(OutputPanelTest, MelodySwitchesTheSoundScaleAndSendsTheTableValue)
{
    panel.OnSoundPatternSelected(kCarAlarm);
    EXPECT_EQ(Row(kSoundRow).sliderMin, 0);
    EXPECT_EQ(Row(kSoundRow).sliderMax, 100);
    EXPECT_EQ(Row(kSoundRow).sliderPos, 1);
    EXPECT_EQ(Row(kSoundRow).percentText, "1");
    EXPECT_EQ(composed.back(), (Composed{33, 1, kCarAlarm, kSoundRow}));
    EXPECT_EQ(state.lastChangedRow, 6);

    panel.OnSoundSlider(37);
    EXPECT_EQ(Row(kSoundRow).percentText, "37");
    EXPECT_EQ(composed.back(), (Composed{33, 19, kCarAlarm, kSoundRow}));
    EXPECT_EQ(patterns.beepPatterns[kCarAlarm].param[2], 19);
    EXPECT_EQ(state.volumeMemory[kCarAlarm], 37);
    EXPECT_EQ(state.levelMemory[kCarAlarm][kSoundRow], 19);

    // A tone pattern brings the device scale back.
    panel.OnSoundPatternSelected(kBeep);
    EXPECT_EQ(Row(kSoundRow).sliderMin, 119);
    EXPECT_EQ(Row(kSoundRow).sliderMax, 213);
    EXPECT_EQ(Row(kSoundRow).sliderPos, 120);
    EXPECT_EQ(Row(kSoundRow).percentText, "1");

    // And the melody comes back where it was left.
    panel.OnSoundPatternSelected(kCarAlarm);
    EXPECT_EQ(Row(kSoundRow).sliderPos, 37);
    EXPECT_EQ(Row(kSoundRow).percentText, "37");
}

TEST_F(OutputPanelTest, ToneSliderEndsAndPercentages)
{
    const std::pair<int, const char*> cases[] = {{166, "50"}, {213, "100"}, {119, "0"}, {120, "1"}};
    for (const auto& [position, percent] : cases) {
        panel.OnSoundSlider(position);
        EXPECT_EQ(Row(kSoundRow).percentText, percent);
        EXPECT_EQ(patterns.beepPatterns[0].param[2], position);
        EXPECT_EQ(state.volumeMemory[0], position);
    }
}

TEST_F(OutputPanelTest, DisagreeingSoundMemoriesLeaveTheSliderWhereItWas)
{
    panel.OnSoundSlider(150);
    const size_t before = composed.size();
    // A melody whose remembered position does not belong to its value.
    state.volumeMemory[17] = 60;
    state.levelMemory[17][kSoundRow] = 5;
    panel.OnSoundPatternSelected(17);
    EXPECT_EQ(Row(kSoundRow).sliderMax, 100);
    EXPECT_EQ(Row(kSoundRow).sliderPos, 100);  // kept, within the new range
    EXPECT_EQ(Row(kSoundRow).percentText, "32");
    EXPECT_EQ(composed.size(), before + 1);

    // A melody whose position does belong to its value: 2v - 2 .. 2v.
    for (int p : {8, 9, 10}) {
        state.volumeMemory[18] = static_cast<uint16_t>(p);
        state.levelMemory[18][kSoundRow] = 5;
        panel.OnSoundPatternSelected(18);
        EXPECT_EQ(Row(kSoundRow).sliderPos, p);
    }
    state.volumeMemory[18] = 11;
    panel.OnSoundPatternSelected(18);
    EXPECT_EQ(Row(kSoundRow).sliderPos, 10);
}

// A melody first reported at a volume above its table (120) is remembered
// at position 2 * 120 - 1 = 239, beyond the 0..100 scale. Chosen again from
// the list, its slider stands at the end and the box says so.
TEST_F(OutputPanelTest, MelodyRememberedBeyondTheScaleReadsAsItsEnd)
{
    state.volumeMemory[kCarAlarm] = 239;
    state.levelMemory[kCarAlarm][kSoundRow] = 120;
    panel.OnSoundPatternSelected(kBeep);
    panel.OnSoundPatternSelected(kCarAlarm);
    EXPECT_EQ(Row(kSoundRow).sliderMax, 100);
    EXPECT_EQ(Row(kSoundRow).sliderPos, 100);
    EXPECT_EQ(Row(kSoundRow).percentText, "100");
    EXPECT_EQ(composed.back(), (Composed{33, 120, kCarAlarm, kSoundRow}));
}

TEST_F(OutputPanelTest, MovingASliderToItsLastValueComposesNothing)
{
    // Nothing is remembered at start: a first move to either end composes,
    // and the box follows.
    panel.OnColourSlider(1, 255);
    panel.OnSoundSlider(213);
    EXPECT_EQ(composed.size(), 2u);
    EXPECT_EQ(Row(1).percentText, "100");
    EXPECT_EQ(Row(kSoundRow).percentText, "100");
    EXPECT_EQ(state.rowPending[1], 1);
    EXPECT_EQ(state.rowPending[kSoundRow], 1);
    composed.clear();
    state.rowPending[1] = 0;

    panel.OnColourSlider(1, 90);
    ASSERT_EQ(composed.size(), 1u);
    state.rowPending[1] = 0;
    panel.OnColourSlider(1, 90);
    EXPECT_EQ(composed.size(), 1u);
    EXPECT_EQ(state.rowPending[1], 0);

    // A row composed elsewhere remembers its value there: by the list, or by
    // the poll cycle for what the device reports.
    const struct {
        const char* where;
        std::function<void()> compose;
        int sameValue;  // position that gives the composed value again
        const char* box;
    } elsewhere[] = {
        {"list", [&] { panel.OnPatternSelected(1, kFlash); }, 128, "50"},
        {"device", [&] { panel.RememberSliderValue(1, 40); }, 40, "15"},
    };
    for (const auto& e : elsewhere) {
        SCOPED_TRACE(e.where);
        e.compose();
        composed.clear();
        panel.OnColourSlider(1, e.sameValue);
        EXPECT_TRUE(composed.empty());
        EXPECT_EQ(Row(1).percentText, e.box);
        panel.OnColourSlider(1, 90);  // the value last moved to before
        EXPECT_EQ(composed.size(), 1u);
        EXPECT_EQ(Row(1).percentText, "35");
    }

    // On a boosted pattern the comparison is on the value, not the position.
    panel.OnPatternSelected(1, kSingleQuickFlashSlow);  // composed at 128
    composed.clear();
    panel.OnColourSlider(1, 64);  // value 128, as last composed
    EXPECT_TRUE(composed.empty());
    panel.OnColourSlider(1, 65);
    EXPECT_EQ(composed.size(), 1u);
}

TEST_F(OutputPanelTest, AListWithoutASelectionCountsAsCode255)
{
    panel.SelectPatterns({14, 3, 200, 13, 0, 21});
    EXPECT_EQ(Row(0).selected, -1);
    EXPECT_EQ(Row(1).selected, 3);
    EXPECT_EQ(Row(2).selected, -1);
    EXPECT_EQ(Row(3).selected, 13);
    EXPECT_EQ(Row(kSoundRow).selected, -1);
    EXPECT_EQ(panel.SelectedCode(0), 255);

    panel.OnColourSlider(0, 77);
    EXPECT_EQ(state.levelMemory[255][0], 77);
    EXPECT_EQ(patterns.lightPatterns[255].param[3], 77);
    EXPECT_EQ(composed.back(), (Composed{8, 77, 255, 0}));

    panel.OnSoundSlider(180);  // entry 255 is empty: a tone pattern
    EXPECT_EQ(state.volumeMemory[255], 180);
    EXPECT_EQ(patterns.beepPatterns[255].param[2], 180);
    EXPECT_EQ(composed.back(), (Composed{33, 180, 255, kSoundRow}));
}

TEST_F(OutputPanelTest, DisplayPrimitivesForThePollCycle)
{
    panel.ShowColourLevel(4, 300, true);
    EXPECT_EQ(Row(4).sliderPos, 150);
    EXPECT_EQ(Row(4).percentText, "117");
    EXPECT_EQ(Row(4).scaleLabel, "200 %");
    panel.ShowColourLevel(4, 200, false);
    EXPECT_EQ(Row(4).sliderPos, 200);
    EXPECT_EQ(Row(4).scaleLabel, "100 %");

    panel.ShowSoundLevel(true, 37);
    EXPECT_EQ(Row(kSoundRow).sliderMax, 100);
    EXPECT_EQ(Row(kSoundRow).sliderPos, 37);
    EXPECT_EQ(Row(kSoundRow).percentText, "37");
    panel.ShowSoundLevel(true, 509);  // 2 * 255 - 1 from a junk volume
    EXPECT_EQ(Row(kSoundRow).sliderPos, 100);
    EXPECT_EQ(Row(kSoundRow).percentText, "100");
    panel.ShowSoundLevel(false, 20);  // below the tone scale: at its end
    EXPECT_EQ(Row(kSoundRow).sliderMin, 119);
    EXPECT_EQ(Row(kSoundRow).sliderPos, 119);
    EXPECT_EQ(Row(kSoundRow).percentText, "0");
    EXPECT_TRUE(composed.empty());
}

TEST_F(OutputPanelTest, CloseReturnsEveryRowToItsStartWithoutTouchingMemories)
{
    for (int r = 0; r < kRows; ++r)
        panel.EnableRow(r, true);
    panel.OnPatternSelected(3, kSingleQuickFlashSlow);
    panel.OnColourSlider(3, 250);
    panel.OnSoundPatternSelected(kCarAlarm);
    panel.OnSoundSlider(80);

    panel.ResetOutputPanel();
    panel.DisableAllRows();
    for (int r = 0; r < kColourRows; ++r) {
        EXPECT_EQ(Row(r).sliderPos, 128);
        EXPECT_EQ(Row(r).percentText, "50");
        EXPECT_EQ(Row(r).selected, 0);
        EXPECT_EQ(Row(r).scaleLabel, "100 %");
        EXPECT_FALSE(Row(r).enabled);
        EXPECT_FALSE(model.input[static_cast<size_t>(r)].buttonEnabled);
    }
    EXPECT_EQ(Row(kSoundRow).sliderMin, 119);
    EXPECT_EQ(Row(kSoundRow).sliderPos, 120);
    EXPECT_EQ(Row(kSoundRow).percentText, "1");
    EXPECT_EQ(Row(kSoundRow).selected, 0);
    EXPECT_FALSE(Row(kSoundRow).enabled);
    EXPECT_EQ(state.levelMemory[kSingleQuickFlashSlow][3], 500);
    EXPECT_EQ(state.volumeMemory[kCarAlarm], 80);
}

}  // namespace
}  // namespace kv
