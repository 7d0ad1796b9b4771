#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "device/version.h"
#include "sync_fixture.h"

namespace kv::test {
namespace {

sim::BaseControllerConfig Tower(std::initializer_list<uint8_t> order = {1, 2, 3, 4, 5, 6, 7, 8})
{
    sim::BaseControllerConfig c;
    c.reportOrder = order;
    return c;
}

// Ticks until in step, checking that no panel control changes before.
int TicksUntilFirstRefresh(SyncWorld& w)
{
    w.view.calls.clear();
    for (int n = 1; n <= 300; ++n) {
        w.Tick();
        if (!w.InStep()) {
            EXPECT_EQ(w.view.PanelCalls(), 0) << "tick " << n;
            continue;
        }
        EXPECT_GT(w.view.PanelCalls(), 0);
        return n;
    }
    return -1;
}

class WarmUpTest : public ::testing::TestWithParam<bool> {};

TEST_P(WarmUpTest, PanelsWaitForEveryTypeButSevenThenShowTheTower)
{
    const bool withType7 = GetParam();
    SyncWorld w(withType7 ? Tower() : Tower({1, 2, 3, 4, 5, 6, 8}));
    w.tower->mutableConfig().patternCode = {3, 7, 0, 11, 5, 16};
    w.tower->mutableConfig().level = {100, 300, 255, 128, 0, 166};
    w.control.OnOpenClose();
    const int first = TicksUntilFirstRefresh(w);
    ASSERT_GT(first, 0);
    // Four of each type since start: at least 28 reports, read three to a
    // tick at the tower's 10 ms.
    EXPECT_GE(w.tower->reportsDelivered(), 28U);
    EXPECT_LE(first, 14);
    for (int t : {1, 2, 3, 4, 5, 6, 8})
        EXPECT_EQ(w.state.receiveCount[static_cast<size_t>(t - 1)], 3);

    // Every row and picture shows the tower.
    EXPECT_EQ(w.view.selected, (std::array<int, 6>{3, 7, 0, 11, 5, 16}));
    const int sliders[5] = {100, 150, 255, 128, 0};
    const int boxes[5] = {39, 117, 100, 50, 0};
    const uint8_t addresses[5] = {8, 13, 18, 23, 28};
    for (size_t r = 0; r < 5; ++r) {
        EXPECT_EQ(w.view.colour[r].slider, sliders[r]) << r;
        EXPECT_EQ(w.view.colour[r].box, boxes[r]) << r;
        EXPECT_EQ(w.view.colour[r].boostedLabel, r == 1) << r;
        EXPECT_TRUE(w.view.colour[r].enabled) << r;
        EXPECT_EQ(w.view.colour[r].pictureAddress, addresses[r]) << r;
        EXPECT_EQ(w.state.pictureAddress[r], addresses[r]) << r;
    }
    EXPECT_TRUE(w.view.soundShown);
    EXPECT_TRUE(w.view.soundEnabled);
    EXPECT_TRUE(w.view.soundMelody);  // pattern 16 is a melody: 2 * 166 - 1, at most 100
    EXPECT_EQ(w.state.volumeMemory[16], 100);
    EXPECT_EQ(w.state.segmentFound, (std::array<uint8_t, 6>{1, 1, 1, 1, 1, 1}));

    // Reconnecting waits for one fresh report of each type, not four.
    w.control.OnOpenClose();
    ASSERT_FALSE(w.link.IsOpen());
    const uint64_t before = w.tower->reportsDelivered();
    w.control.OnOpenClose();
    const int again = TicksUntilFirstRefresh(w);
    EXPECT_GE(w.tower->reportsDelivered() - before, 7U);
    EXPECT_LT(again, first);
}

INSTANTIATE_TEST_SUITE_P(Streams, WarmUpTest, ::testing::Bool());

TEST(PollCycleTest, FirstCompleteStateSendsConnectionThenStateReports)
{
    SyncWorld w;
    w.tower->mutableConfig().segmentAddress = {8, 0, 18, 0, 0, 33};
    w.control.OnOpenClose();
    w.tower->ClearOutputLog();
    w.TickUntilInStep();
    const auto log = w.Log();
    ASSERT_EQ(log.size(), 6U);
    const uint8_t address[6] = {8, 18, 33, 8, 18, 33};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(log[i].frame, F({0, address[i], 0, 0xFF, 0xFF, 0xFF, 0xFF, i < 3 ? 0xAA : 0x55, 4}))
            << i;
        if (i > 0) {
            EXPECT_GE(log[i].timeUs - log[i - 1].timeUs, i < 4 ? 50000U : 25000U) << i;
        }
    }
    // In step and nothing changed: nothing more goes out.
    w.Ticks(20);
    EXPECT_EQ(w.Log().size(), 6U);
    // A switch pressed in the window goes out as a state report.
    SetOnStateOfRow(w.state, 1, 2);
    w.Tick();
    ASSERT_EQ(w.Log().size(), 9U);
    EXPECT_EQ(w.Log()[7].frame, F({0, 18, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0x55, 4}));
}

struct LevelCase {
    uint8_t code;
    uint16_t level;
    int slider;  // -1: left as it was
    int box;
    bool label200;
};

class ColourLevelTest : public ::testing::TestWithParam<LevelCase> {};

TEST_P(ColourLevelTest, SliderAndBoxFollowTheBoostOfThePattern)
{
    const LevelCase c = GetParam();
    SyncWorld w;
    w.tower->mutableConfig().patternCode[0] = c.code;
    w.tower->mutableConfig().level[0] = c.level;
    w.OpenInStep();
    if (c.slider < 0) {
        EXPECT_EQ(w.view.colour[0].slider, 128);  // untouched since start
        EXPECT_EQ(w.view.colour[0].box, 50);
    } else {
        EXPECT_EQ(w.view.colour[0].slider, c.slider);
        EXPECT_EQ(w.view.colour[0].box, c.box);
    }
    EXPECT_EQ(w.view.colour[0].boostedLabel, c.label200);
    // Composed and remembered in every case.
    EXPECT_EQ(w.state.levelMemory[c.code][0], c.level);
    EXPECT_EQ(w.state.rowCommand[0].param[3], c.level & 0xFF);
}

INSTANTIATE_TEST_SUITE_P(Levels, ColourLevelTest,
                         ::testing::Values(LevelCase{7, 300, 150, 117, true},
                                           LevelCase{7, 510, 255, 200, true},
                                           LevelCase{7, 511, -1, 0, true},
                                           LevelCase{0, 300, -1, 0, false},
                                           LevelCase{0, 255, 255, 100, false}));

TEST(PollCycleTest, AbsentSegmentLeavesItsRowDisabledAtHalfBrightness)
{
    SyncWorld w;
    w.tower->mutableConfig().segmentAddress = {8, 13, 0, 23, 5, 0};
    w.tower->mutableConfig().level[2] = 400;
    w.OpenInStep();
    EXPECT_FALSE(w.view.colour[2].enabled);
    EXPECT_EQ(w.view.colour[2].slider, 128);
    EXPECT_EQ(w.view.colour[2].box, 50);
    EXPECT_FALSE(w.view.colour[2].segmentShown);
    EXPECT_EQ(w.state.level[2], 128);
    // Address 5 belongs to no colour: empty picture, row still worked.
    EXPECT_FALSE(w.view.colour[4].segmentShown);
    EXPECT_TRUE(w.view.colour[4].enabled);
    // No sound segment: never counted as sent, whatever is pending.
    EXPECT_FALSE(w.view.soundShown);
    for (int i = 0; i < 5; ++i) {
        w.state.lastSentChecksum[5] = 7;
        w.Tick();
        EXPECT_EQ(w.state.lastSentChecksum[5], kNeverSent);
    }
    // The first row's pattern alone changes at the tower: its combo follows.
    w.tower->mutableConfig().patternCode[0] = 5;
    w.Ticks(5);
    EXPECT_EQ(w.view.selected[0], 5);
    // A segment taken off the tower is no longer found; an acoustic address
    // in a colour position is no colour.
    ASSERT_EQ(w.state.segmentFound[0], 1);
    w.tower->mutableConfig().segmentAddress[0] = 0;
    w.tower->mutableConfig().segmentAddress[1] = 35;
    w.Ticks(5);
    EXPECT_FALSE(w.view.colour[0].segmentShown);
    EXPECT_FALSE(w.view.colour[1].segmentShown);
    EXPECT_EQ(w.state.segmentFound, (std::array<uint8_t, 6>{0, 0, 0, 1, 0, 0}));
}

TEST(PollCycleTest, SoundVolumeZeroRecomposesEveryTickAndDropsPendingChanges)
{
    SyncWorld w;
    w.OpenInStep();
    // A change of the beep pattern alone recomposes the row, on the melody
    // scale for a melody.
    w.state.rowPending[5] = 1;
    w.tower->mutableConfig().patternCode[5] = 18;
    w.Ticks(5);
    EXPECT_EQ(w.state.rowCommand[5].patternCode, 18);
    EXPECT_EQ(w.state.rowPending[5], 0);
    EXPECT_TRUE(w.view.soundMelody);
    w.tower->mutableConfig().patternCode[5] = 0;
    w.tower->mutableConfig().level[5] = 0;
    w.Ticks(10);  // the zero volume has arrived
    for (int i = 0; i < 5; ++i) {
        w.state.rowPending[5] = 1;
        w.state.rowCommand[5].patternCode = 99;
        w.view.calls.clear();
        w.Tick();
        EXPECT_EQ(w.state.rowPending[5], 0);
        EXPECT_EQ(w.state.rowCommand[5].patternCode, 0);
        EXPECT_EQ(w.view.Count("ShowSoundLevel"), 1);
    }
}

// Once a volume has been shown, a melody's slider keeps the position
// remembered for it while a tone pattern's follows the device.
TEST(PollCycleTest, SoundSliderAfterTheFirstVolume)
{
    struct Case {
        uint8_t code;
        uint16_t firstLevel;
        int firstSlider;
        uint16_t laterLevel;
        int laterSlider;
        int laterBox;
    };
    const Case cases[] = {
        {17, 20, 39, 25, 60, 60},    // melody: 2 * 20 - 1, then the memory
        {17, 166, 100, 25, 60, 60},  // melody: 2 * 166 - 1 is kept at the scale's end
        {4, 150, 150, 200, 200, 86},  // tone: the device level both times
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.firstLevel));
        SyncWorld w;
        w.tower->mutableConfig().patternCode[5] = c.code;
        w.tower->mutableConfig().level[5] = c.firstLevel;
        w.OpenInStep();
        EXPECT_EQ(w.view.soundSlider, c.firstSlider);
        EXPECT_EQ(w.state.volumeMemory[c.code], c.firstSlider);
        w.state.volumeMemory[c.code] = 60;
        w.tower->mutableConfig().level[5] = c.laterLevel;
        w.Ticks(10);
        EXPECT_EQ(w.view.soundSlider, c.laterSlider);
        EXPECT_EQ(w.view.soundBox, c.laterBox);
        EXPECT_EQ(w.state.volumeMemory[c.code], 60);
    }
}

TEST(PollCycleTest, SoundSegmentOffThirtyThreeIsShownButNeverWorked)
{
    for (uint8_t address : {34, 35, 36, 37}) {
        SCOPED_TRACE(static_cast<int>(address));
        SyncWorld w;
        w.tower->mutableConfig().segmentAddress[5] = address;
        w.control.OnOpenClose();
        w.tower->ClearOutputLog();
        w.TickUntilInStep();
        EXPECT_TRUE(w.view.soundShown);
        EXPECT_FALSE(w.view.soundEnabled);
        EXPECT_EQ(w.state.segmentFound[5], 1);
        int stateReports = 0;
        for (const auto& r : w.Log())
            stateReports += r.frame[1] == address && r.frame[7] == 0x55;
        EXPECT_EQ(stateReports, 1);
    }
}

TEST(PollCycleTest, UnplugGoesOfflineWithinOneTick)
{
    SyncWorld w;
    w.OpenInStep();
    w.tower->Unplug();
    w.Tick();
    EXPECT_EQ(w.view.status, kStatusOffline);
    EXPECT_FALSE(w.view.timerRunning);
    EXPECT_FALSE(w.link.IsOpen());
    EXPECT_EQ(w.view.openCloseCaption, kOpenCaption);
    for (const auto& row : w.view.colour)
        EXPECT_FALSE(row.enabled);
}

// Types 1 and 6 four times over before the first type 5: the version is read
// late.
const std::vector<uint8_t> kVersionLast = {1, 6, 1, 6, 1, 6, 1, 6, 1, 6, 5, 2, 3, 4, 8, 7};

struct FirmwareCase {
    uint8_t version;
    bool updated;  // what the update path leaves in firmwareUpdated
    bool versionLast = false;
};

class FirmwareCheckTest : public ::testing::TestWithParam<FirmwareCase> {};

TEST_P(FirmwareCheckTest, RunsOncePerConnection)
{
    const FirmwareCase c = GetParam();
    SyncWorld w;
    w.tower->mutableConfig().firmwareVersion[5] = c.version;
    if (c.versionLast)
        w.tower->mutableConfig().reportOrder = kVersionLast;
    w.view.firmwareUpdate = [&] { w.state.firmwareUpdated = c.updated ? 1 : 0; };
    const bool expected = c.version == ProgramVersion;

    for (int connection = 1; connection <= 2; ++connection) {
        SCOPED_TRACE(connection);
        if (!w.link.IsOpen())
            w.control.OnOpenClose();
        w.view.calls.clear();
        w.Ticks(80);
        const int menuOn = w.view.Count("EnableToolMenu");
        if (expected) {
            EXPECT_EQ(menuOn, 1);
            EXPECT_TRUE(w.view.toolMenuEnabled);
            EXPECT_EQ(w.view.firmwareUpdateCalls, 0);
        } else {
            EXPECT_EQ(w.view.firmwareUpdateCalls, connection);
            EXPECT_FALSE(w.view.toolMenuEnabled);
            if (c.updated) {
                EXPECT_TRUE(w.link.IsOpen());
                EXPECT_EQ(w.view.endResult, -1);
                w.control.OnOpenClose();  // close; the next round reconnects
            } else {
                EXPECT_FALSE(w.link.IsOpen());
                EXPECT_EQ(w.view.status, kStatusOffline);
                EXPECT_EQ(w.view.endResult, 0);
                EXPECT_EQ(w.tower->hostConnected(), 0);
                w.view.endResult = -1;
            }
        }
        if (expected)
            w.control.OnOpenClose();
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, FirmwareCheckTest,
                         ::testing::Values(FirmwareCase{28, false}, FirmwareCase{27, false},
                                           FirmwareCase{27, true}, FirmwareCase{28, false, true},
                                           FirmwareCase{27, false, true}));

// The version compared is the one the connected tower reports, never one left
// from the tower connected before.
TEST(PollCycleTest, FirmwareCheckWaitsForTheVersionOfTheTowerNowConnected)
{
    SyncWorld w;
    w.OpenInStep();
    ASSERT_EQ(w.state.firmwareVersion[kBaseControllerSlot], ProgramVersion);
    w.control.OnOpenClose();
    sim::TheVirtualTower().Clear();
    sim::BaseControllerConfig swapped;
    swapped.firmwareVersion[kBaseControllerSlot] = 27;
    swapped.reportOrder = kVersionLast;
    w.tower = &sim::TheVirtualTower().AddBaseController(swapped);
    w.view.firmwareUpdate = [&] { w.state.firmwareUpdated = 1; };
    w.control.OnOpenClose();
    w.Ticks(20);
    EXPECT_EQ(w.view.firmwareUpdateCalls, 1);
    EXPECT_FALSE(w.view.toolMenuEnabled);
}

// At any steady report rate, with or without jitter, every report type gets
// its turn: the window comes in step within the time four rounds of the
// eight types take, and shows the tower as it is.
TEST(PollCycleTest, ComesInStepAtEveryReportRate)
{
    for (uint64_t periodUs = 1000; periodUs <= 60000; periodUs += 500) {
        for (const bool jitter : {false, true}) {
            SCOPED_TRACE(testing::Message() << periodUs << " us" << (jitter ? " with jitter" : ""));
            sim::BaseControllerConfig c;
            c.reportIntervalUs = periodUs;
            c.reportJitterUs = jitter ? periodUs * 2 / 3 : 0;
            c.reportJitterSeed = periodUs;
            c.patternCode = {3, 7, 0, 11, 5, 4};
            c.level = {100, 300, 255, 128, 0, 150};
            SyncWorld w(c);
            w.control.OnOpenClose();
            const int limit = static_cast<int>(4 * 8 * periodUs / kTickUs) + 3;
            ASSERT_GT(w.TickUntilInStep(limit), 0);
            EXPECT_EQ(w.view.selected, (std::array<int, 6>{3, 7, 0, 11, 5, 4}));
            EXPECT_EQ(w.view.colour[1].slider, 150);
            EXPECT_EQ(w.view.colour[2].box, 100);
            EXPECT_EQ(w.view.soundSlider, 150);
            EXPECT_TRUE(w.view.toolMenuEnabled);
        }
    }
}

TEST(PollCycleTest, TypicalRoadAlarmFlashOnColourSegmentTwo)
{
    SyncWorld w;
    w.OpenInStep();
    // The panel composes row 1 with "Alarm Flash" (code 5) and marks it.
    const uint16_t level = w.state.levelMemory[5][1];
    w.send.ComposeRow(w.state.segmentAddress[1], level, 5, 1);
    w.state.rowPending[1] = 1;
    w.state.lastChangedRow = 2;
    w.tower->ClearOutputLog();
    w.send.OnSend();
    EXPECT_EQ(w.Log().size(), 4U);
    EXPECT_EQ(w.tower->config().patternCode[1], 5);
    EXPECT_EQ(w.view.message, kSendSucceededText);

    w.state.rowPending[1] = 1;  // would be dropped by the refresh
    for (int tick = 1; tick <= 70; ++tick) {
        w.Tick();
        if (tick < 70) {
            EXPECT_EQ(w.view.message, kSendSucceededText) << tick;
        }
    }
    EXPECT_EQ(w.view.message, kBlankMessage);
    // With no countdown running, a warning lasts until the next tick.
    w.view.message = kSendFailedText;
    w.Tick();
    EXPECT_EQ(w.view.message, kBlankMessage);
    EXPECT_EQ(w.view.selected[1], 5);
    EXPECT_EQ(w.state.rowCommand[1].patternCode, 5);
    EXPECT_EQ(w.state.rowPending[1], 0);
    EXPECT_EQ(w.state.lastSentChecksum[1], w.state.rowChecksum[1]);
}

// Every device byte is untrusted: junk reports of every type with random
// bytes must never take the cycle outside its tables.
TEST(PollCycleTest, RandomReportsStayWithinBounds)
{
    SyncWorld w;
    w.OpenInStep();
    std::mt19937 rng(12345);
    for (int i = 0; i < 3000; ++i) {
        sim::Frame f{};
        for (auto& b : f)
            b = static_cast<uint8_t>(rng());
        f[8] = static_cast<uint8_t>(1 + rng() % 9);
        if (f[8] == 3 || f[8] == 4) {
            // Mostly well-formed levels, so levels above 255 get through.
            f[1] &= 1;
            f[3] &= 1;
            if (f[8] == 3)
                f[5] &= 1;
        }
        w.tower->InjectInputReport(f);
        w.Tick();
        for (size_t r = 0; r < 5; ++r)
            ASSERT_LE(w.view.colour[r].slider, 255);
    }
    // Junk is stored, shown where it fits and never closes the link.
    EXPECT_TRUE(w.link.IsOpen());
    EXPECT_TRUE(w.view.timerRunning);
}

}  // namespace
}  // namespace kv::test
