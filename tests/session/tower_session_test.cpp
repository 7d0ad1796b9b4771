// The session without a front end, on the virtual tower and clock: what it
// sends, how it tells a Send's outcome, and that its host draws once per
// operation that changed the model.
#include <gtest/gtest.h>

#include "device/pattern_tables.h"
#include "platform/clock.h"
#include "session/tower_session.h"
#include "sim/virtual_tower.h"

namespace kv {
namespace {

sim::VirtualBaseController& Tower()
{
    return sim::TheVirtualTower().baseController(0);
}

class CountingHost : public SessionHost {
public:
    int repaints = 0;
    int ticksStarted = 0;
    void Repaint() override { ++repaints; }
    void StartTick() override { ++ticksStarted; }
};

class TowerSessionTest : public ::testing::Test {
protected:
    void SetUp() override { sim::TheVirtualTower().Reset(); }
    ScopedVirtualClock clock;
};

TEST_F(TowerSessionTest, AHeldSessionSendsALevelTheTowerLostInTheMeantime)
{
    // The tower takes 80 %, someone else turns it down, and the same 80 % is
    // asked for again: the row the poll cycle recomposed at the tower's new
    // level must not be taken for one still standing at 80 %.
    DeviceState state;
    HidLink link(state);
    PatternTables patterns;
    FillShippedPatterns(patterns);
    TowerSession session(state, link, patterns);
    ASSERT_TRUE(session.Open());
    ASSERT_EQ(session.WaitComplete(5000), WaitEnd::Done);
    const auto towerAt = [&](uint16_t level) {
        return session.RunUntil([&] { return state.level[1] == level; }, 5000);
    };
    session.SelectPattern(1, 5);
    session.MoveSlider(1, 204);
    session.Send();
    ASSERT_EQ(towerAt(204), WaitEnd::Done);
    Tower().mutableConfig().level[1] = 100;
    ASSERT_EQ(towerAt(100), WaitEnd::Done);
    session.MoveSlider(1, 204);
    session.Send();
    EXPECT_EQ(towerAt(204), WaitEnd::Done);
    session.Close();
}

TEST_F(TowerSessionTest, EachOperationDrawsOnceAndSendTellsHowItEnded)
{
    DeviceState state;
    HidLink link(state);
    PatternTables patterns;
    CountingHost host;
    TowerSession session(state, link, patterns, host);
    EXPECT_EQ(host.repaints, 0);  // the front end draws after its own set-up
    ASSERT_TRUE(session.Open());
    EXPECT_EQ(host.repaints, 1);
    EXPECT_TRUE(session.tickRunning());
    ASSERT_EQ(session.WaitComplete(5000), WaitEnd::Done);

    // A tick draws at most once, however many primitives it ran; one that
    // changed nothing does not draw.
    int drawingTicks = 0;
    for (int i = 0; i < 40; ++i) {
        const int before = host.repaints;
        session.TickOnce();
        EXPECT_LE(host.repaints - before, 1);
        drawingTicks += host.repaints - before;
    }
    EXPECT_LT(drawingTicks, 40);

    const struct {
        int failWrites;
        bool change;
        SendOutcome outcome;
    } rows[] = {
        {0, false, SendOutcome::NothingSent},
        {0, true, SendOutcome::Sent},
        {1, true, SendOutcome::Failed},  // the switch-off report is lost
        {3, true, SendOutcome::Failed},  // the switch-back report is lost
    };
    int level = 100;
    for (const auto& row : rows) {
        if (row.change)
            session.MoveSlider(0, ++level);
        Tower().FailNextWrites(row.failWrites);
        const int before = host.repaints;
        EXPECT_EQ(session.Send(), row.outcome);
        EXPECT_EQ(session.lastSendOutcome(), row.outcome);
        EXPECT_EQ(host.repaints - before, row.change ? 1 : 0);
        Tower().FailNextWrites(0);
    }
    // A lost tower stops the ticks; back again, it is not taken by itself.
    Tower().Unplug();
    for (int i = 0; i < 5; ++i)
        session.TickOnce();
    EXPECT_FALSE(session.IsOpen());
    EXPECT_FALSE(session.tickRunning());
    Tower().PlugIn();
    for (int i = 0; i < 5; ++i)
        session.TickOnce();
    EXPECT_FALSE(session.IsOpen());
    session.Close();
    EXPECT_FALSE(session.tickRunning());
}

TEST(WindowModelTest, PercentBoxesStartAtZeroForColourRowsAndEmptyForSound)
{
    const WindowModel m;
    for (int r = 0; r < kColourRows; ++r)
        EXPECT_EQ(m.output[static_cast<size_t>(r)].percentText, "0") << r;
    EXPECT_EQ(m.output[kSoundRow].percentText, "");
}

}  // namespace
}  // namespace kv
