#include <gtest/gtest.h>

#include "sync_fixture.h"

namespace kv::test {
namespace {

TEST(ConnectionControlTest, OpenWithoutTowerStaysOffline)
{
    SyncWorld w({}, /*withTower=*/false);
    w.view.status.clear();
    w.control.OnOpenClose();
    EXPECT_EQ(w.view.message, kUnableToOpenText);
    EXPECT_EQ(w.view.status, kStatusOffline);
    EXPECT_EQ(w.view.openCloseCaption, kOpenCaption);
    EXPECT_FALSE(w.view.sendEnabled);
    EXPECT_FALSE(w.view.timerRunning);
    EXPECT_FALSE(w.view.toolMenuEnabled);
    EXPECT_FALSE(w.link.IsOpen());
}

TEST(ConnectionControlTest, OpenGreetsTheTowerAndStartsAFreshConnection)
{
    SyncWorld w;
    w.state.onState[8] = 1;
    w.state.segmentAddress[0] = 8;
    w.state.reportSeen.fill(3);
    w.state.firmwareChecked = 1;
    w.state.lastSentChecksum.fill(1);
    w.control.OnOpenClose();

    ASSERT_TRUE(w.link.IsOpen());
    const auto log = w.Log();
    ASSERT_EQ(log.size(), 1U);
    EXPECT_EQ(log[0].frame, F({0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 6}));
    EXPECT_EQ(w.view.status, kStatusOnline);
    EXPECT_EQ(w.view.openCloseCaption, kCloseCaption);
    EXPECT_TRUE(w.view.sendEnabled);
    EXPECT_TRUE(w.view.timerRunning);
    EXPECT_TRUE(w.view.toolMenuEnabled);
    EXPECT_EQ(w.state.onState[8], 0);
    EXPECT_EQ(w.state.segmentAddress[0], 0);
    EXPECT_EQ(w.state.reportSeen, (std::array<uint8_t, 8>{}));
    EXPECT_EQ(w.state.firmwareChecked, 0);
    EXPECT_EQ(w.state.connectionReportPending, 1);
    EXPECT_EQ(w.state.lastSentChecksum[3], kNeverSent);
}

class CloseTest : public ::testing::TestWithParam<bool> {};

// Close and Exit both say goodbye to every present segment, 50 ms apart, and
// then send the host report 0.
TEST_P(CloseTest, SaysGoodbyeToEverySegmentThenClosesTheLink)
{
    const bool exit = GetParam();
    SyncWorld w;
    w.tower->mutableConfig().segmentAddress = {8, 0, 18, 23, 0, 33};
    w.OpenInStep();
    w.tower->ClearOutputLog();
    if (exit)
        w.control.OnExit();
    else
        w.control.OnOpenClose();

    const auto log = w.Log();
    ASSERT_EQ(log.size(), 5U);
    const uint8_t address[4] = {8, 18, 23, 33};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log[i].frame, F({0, address[i], 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 4})) << i;
        EXPECT_GE(log[i + 1].timeUs - log[i].timeUs, 50000U) << i;
    }
    EXPECT_EQ(log[4].frame, F({0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 6}));
    EXPECT_FALSE(w.link.IsOpen());
    EXPECT_FALSE(w.view.timerRunning);
    EXPECT_EQ(w.state.lastLinkResult, 0);
    EXPECT_EQ(w.state.segmentAddress, (std::array<uint8_t, 6>{}));
    if (exit) {
        EXPECT_EQ(w.view.endResult, 0);
        EXPECT_GE(w.NowUs() - log[4].timeUs, 50000U);
    } else {
        EXPECT_EQ(w.view.endResult, -1);
        EXPECT_EQ(w.view.status, kStatusOffline);
        EXPECT_EQ(w.view.openCloseCaption, kOpenCaption);
        EXPECT_FALSE(w.view.sendEnabled);
        EXPECT_FALSE(w.view.toolMenuEnabled);
        for (const auto& row : w.view.colour) {
            EXPECT_FALSE(row.enabled);
            EXPECT_FALSE(row.segmentShown);
            EXPECT_EQ(row.slider, 128);
        }
        EXPECT_FALSE(w.view.soundEnabled);
        EXPECT_EQ(w.view.soundSlider, 120);
        // Ticks stop with the timer; a stray one does nothing harmful.
        w.Tick();
        EXPECT_EQ(w.Log().size(), 5U);
    }
}

INSTANTIATE_TEST_SUITE_P(CloseAndExit, CloseTest, ::testing::Bool());

TEST(ConnectionControlTest, ExitWhileOfflineSendsNothingAndEnds)
{
    SyncWorld w;
    w.control.OnExit();
    EXPECT_TRUE(w.Log().empty());
    EXPECT_EQ(w.view.endResult, 0);
}

TEST(ConnectionControlTest, ForceCloseClosesEvenALinkThatLooksClosed)
{
    SyncWorld w;
    w.state.forceClose = 1;
    w.control.OnOpenClose();
    EXPECT_EQ(w.state.forceClose, 0);
    EXPECT_FALSE(w.link.IsOpen());
    EXPECT_EQ(w.view.status, kStatusOffline);
    // The next press opens.
    w.control.OnOpenClose();
    EXPECT_TRUE(w.link.IsOpen());
}

}  // namespace
}  // namespace kv::test
