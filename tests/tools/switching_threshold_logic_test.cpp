#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tool_test_support.h"
#include "tools/switching_threshold_logic.h"

namespace kv {
namespace {

TEST(ThresholdFormat, VoltsWithOneDecimal)
{
    const std::pair<int, const char*> cases[] = {
        {40, "4.3"}, {99, "10.8"}, {220, "23.9"}, {0, "0.0"}, {20, "2.2"}, {255, "27.7"},
    };
    for (const auto& [raw, text] : cases)
        EXPECT_EQ(FormatThreshold(raw), text) << raw;
    // Each preset button sets the value its caption names.
    for (int i = 0; i < kThresholdPresets; ++i)
        EXPECT_EQ(FormatThreshold(kThresholdPresetRaw[i]) + " V", kThresholdPresetCaption[i]) << i;
}

class ThresholdLogic : public ::testing::Test {
protected:
    void SetUp() override { device.switchingThreshold = 99; }

    void Open() { OpenSwitchingThreshold(t, device, rec.io); }
    // All report types except the threshold's own arrived again.
    void FreshReports()
    {
        device.reportSeenByTool.fill(3);
        device.reportSeenByTool[6] = 0;
    }
    void Report(uint8_t raw)
    {
        device.switchingThreshold = raw;
        FreshReports();
        SwitchingThresholdTick(t, device);
    }

    ScopedVirtualClock clock;
    DeviceState device;
    SwitchingThresholdState t;
    test::RecordingIo rec;
};

TEST_F(ThresholdLogic, AValueOutsideTheSliderRangeIsShownButNotSelected)
{
    device.switchingThreshold = 0;
    Open();
    EXPECT_EQ(t.selectedThreshold, 20);
    EXPECT_EQ(t.sliderPosition, 20);
    EXPECT_EQ(t.voltageText, "0.0");

    device.switchingThreshold = 250;
    Open();
    EXPECT_EQ(t.selectedThreshold, 20);
    EXPECT_EQ(t.sliderPosition, 220);
    EXPECT_EQ(t.voltageText, "27.2");
}

TEST_F(ThresholdLogic, SendIsOfferedOnlyForAValueOtherThanTheLastSeen)
{
    Open();
    Report(46);
    ASSERT_EQ(t.lastSeenThreshold, 46);
    ThresholdPreset(t, 46);
    EXPECT_EQ(t.voltageText, "5.0");
    EXPECT_FALSE(t.sendEnabled);
    ThresholdSliderMoved(t, 40);
    EXPECT_EQ(t.voltageText, "4.3");
    EXPECT_EQ(t.selectedThreshold, 40);
    EXPECT_TRUE(t.sendEnabled);
    ThresholdSliderMoved(t, 46);
    EXPECT_FALSE(t.sendEnabled);
    // The tower comes to the selected value on its own: a send of it waits
    // for nothing and offers nothing more.
    ThresholdPreset(t, 110);
    Report(110);
    SendThreshold(t, device, rec.io);
    EXPECT_FALSE(t.sendEnabled);
    EXPECT_EQ(t.statusText, "");
}

TEST_F(ThresholdLogic, ASendWaitsForAFreshSetOfReportsBeforeItIsConfirmed)
{
    Open();
    Report(99);
    ThresholdPreset(t, 110);
    const uint64_t start = NowMs();
    SendThreshold(t, device, rec.io);
    EXPECT_EQ(NowMs() - start, 1500u);
    EXPECT_TRUE(t.sendEnabled);  // it may be sent again while it is awaited
    EXPECT_EQ(device.reportSeenByTool, (std::array<uint8_t, 8>{}));

    // The new value is stored but the port map report has not come again.
    device.switchingThreshold = 110;
    device.reportSeenByTool.fill(3);
    device.reportSeenByTool[7] = 0;
    SwitchingThresholdTick(t, device);
    EXPECT_EQ(t.statusText, "        Please wait!");
    EXPECT_EQ(t.lastSeenThreshold, 99);

    Report(110);
    EXPECT_EQ(t.statusTone, kToneSuccess);
    EXPECT_EQ(t.confirmPending, 0);
}

TEST_F(ThresholdLogic, OpenedAgainDuringASendTheMismatchesAreCountedAfresh)
{
    Open();
    Report(99);
    ThresholdPreset(t, 110);
    SendThreshold(t, device, rec.io);
    Report(100);  // the first of the two differing values allowed
    Open();
    Report(101);
    EXPECT_EQ(t.confirmPending, 1);
    EXPECT_EQ(t.statusTone, kToneNeutral);
    Report(102);
    EXPECT_EQ(t.statusTone, kToneFailure);
    EXPECT_EQ(t.statusText, "Transmission failed!");
}

TEST_F(ThresholdLogic, TheStatusIsClearedOnTheSixthPassingTickAfterASend)
{
    Open();
    Report(99);
    ThresholdPreset(t, 110);
    SendThreshold(t, device, rec.io);
    Report(110);  // 1st counted tick, with the result
    for (int tick = 2; tick <= 5; ++tick) {
        Report(110);
        ASSERT_EQ(t.statusText, "    The transfer was                successful!") << tick;
    }
    Report(110);
    EXPECT_EQ(t.statusText, "");
    EXPECT_EQ(t.statusClearCountdown, kStatusClearTicks);
}

TEST_F(ThresholdLogic, AReportedValueOutsideTheRangeIsOnlyRemembered)
{
    Open();
    Report(99);
    ThresholdSliderMoved(t, 150);
    Report(5);
    EXPECT_EQ(t.sliderPosition, 150);
    EXPECT_EQ(t.voltageText, "16.3");
    EXPECT_EQ(t.lastSeenThreshold, 5);
}

}  // namespace
}  // namespace kv
