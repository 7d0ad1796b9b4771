#include <gtest/gtest.h>

#include <array>
#include <utility>

#include "sync_fixture.h"

namespace kv::test {
namespace {

class SendPathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        w.control.OnOpenClose();
        ASSERT_TRUE(w.link.IsOpen());
        w.state.segmentAddress = {8, 13, 18, 23, 28, 33};
        w.tower->ClearOutputLog();
        w.view.calls.clear();
    }
    // A user change of row r, the way the output panel makes it.
    void Change(int r, uint8_t code, uint16_t level)
    {
        w.send.ComposeRow(w.state.segmentAddress[static_cast<size_t>(r)], level, code, r);
        w.state.rowPending[static_cast<size_t>(r)] = 1;
        w.state.lastChangedRow = static_cast<uint8_t>(r + 1);
    }
    SyncWorld w;
};

TEST_F(SendPathTest, CompositionExampleGivesExactFramesAndChecksum)
{
    // Light pattern 5 is 2, 0, 0, 128, 5, 0, 5, 1, 0, 0, 0.
    Change(0, 5, 300);
    EXPECT_EQ(w.state.rowChecksum[0], 71);
    w.send.OnSend();

    const auto log = w.Log();
    ASSERT_EQ(log.size(), 4U);
    EXPECT_EQ(log[0].frame, F({0, 8, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4}));
    EXPECT_EQ(log[1].frame, F({0x00, 0x08, 0x02, 0x00, 0x05, 0x01, 0x2C, 0x05, 0x01}));
    EXPECT_EQ(log[2].frame, F({0x00, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_EQ(log[3].frame, F({0, 8, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4}));
    EXPECT_EQ(w.state.lastSentChecksum[0], 71);
    EXPECT_EQ(w.state.rowPending[0], 0);

    // The high bit of the brightness starts at 256 exactly.
    const std::pair<uint16_t, std::array<uint8_t, 2>> split[] = {
        {255, {0, 255}}, {256, {1, 0}}, {510, {1, 254}}};
    for (const auto& [level, bytes] : split) {
        w.send.ComposeRow(8, level, 7, 0);
        EXPECT_EQ(w.state.rowCommand[0].param[2], bytes[0]) << level;
        EXPECT_EQ(w.state.rowCommand[0].param[3], bytes[1]) << level;
    }
}

TEST_F(SendPathTest, SoundCompositionIgnoresTheLevelAndEndsWithFillers)
{
    w.send.ComposeRow(33, 10, 16, 5);
    const RowCommand first = w.state.rowCommand[5];
    const uint16_t sum = w.state.rowChecksum[5];
    w.send.ComposeRow(33, 200, 16, 5);
    EXPECT_EQ(w.state.rowCommand[5].param, first.param);
    EXPECT_EQ(w.state.rowChecksum[5], sum);
    // 33 + (2+3+1+250+166+2+16+0+0+0) + 16
    EXPECT_EQ(sum, 33 + 440 + 16);

    w.state.rowPending[5] = 1;
    w.send.OnSend();
    const auto log = w.Log();
    ASSERT_EQ(log.size(), 4U);
    EXPECT_EQ(log[2].frame, F({0, 2, 16, 0, 0, 0, 0xFF, 0xFF, 2}));
}

TEST_F(SendPathTest, PendingRowsGoInOrderWithTheirPauses)
{
    w.state.onState[23] = 1;  // Blue 1 at row 3 is switched on
    Change(3, 4, 200);
    Change(1, 2, 100);
    const uint64_t start = w.NowUs();
    w.send.OnSend();

    const auto log = w.Log();
    ASSERT_EQ(log.size(), 8U);
    const uint8_t expectedAddress[8] = {13, 13, 0, 13, 23, 23, 0, 23};
    const uint8_t expectedType[8] = {4, 1, 2, 4, 4, 1, 2, 4};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(log[i].type(), expectedType[i]) << i;
        if (expectedAddress[i] != 0) {
            EXPECT_EQ(log[i].frame[1], expectedAddress[i]) << i;
        }
    }
    EXPECT_EQ(log[3].frame[2], 0);  // row 1 off
    EXPECT_EQ(log[7].frame[2], 1);  // row 3 back on
    for (size_t row = 0; row < 2; ++row) {
        const size_t b = row * 4;
        const uint64_t before = row == 0 ? start : log[b - 1].timeUs;
        EXPECT_GE(log[b].timeUs - before, 50000U);
        EXPECT_GE(log[b + 1].timeUs - log[b].timeUs, 120000U);
        EXPECT_GE(log[b + 3].timeUs - log[b + 2].timeUs, 120000U);
    }
    EXPECT_GE(w.NowUs() - log[7].timeUs, 150000U);
    EXPECT_EQ(w.view.message, kSendSucceededText);
    EXPECT_EQ(w.state.statusCountdown, kSendResultTicks);
    // Timer stopped for the sequence and running again; reads resumed.
    EXPECT_EQ(w.view.calls.front(), "StopPollTimer");
    EXPECT_EQ(w.view.calls.back(), "StartPollTimer");
    EXPECT_EQ(w.state.suspendRead, 0);
}

TEST_F(SendPathTest, NothingGoesOutWithoutAChangedPresentRow)
{
    // Nothing pending.
    w.send.OnSend();
    // Pending with the checksum sent last time.
    Change(2, 3, 128);
    w.state.lastSentChecksum[2] = w.state.rowChecksum[2];
    w.send.OnSend();
    EXPECT_EQ(w.state.rowPending[2], 0);
    // Pending row without a segment, and the sound row at an address other
    // than 33: marked sent, not sent.
    Change(4, 3, 128);
    w.state.segmentAddress[4] = 0;
    w.state.segmentAddress[5] = 35;
    Change(5, 1, 0);
    w.send.OnSend();
    EXPECT_EQ(w.state.lastSentChecksum[4], w.state.rowChecksum[4]);
    EXPECT_EQ(w.state.lastSentChecksum[5], w.state.rowChecksum[5]);

    EXPECT_TRUE(w.Log().empty());
    EXPECT_EQ(w.view.Count("SetMessageLine"), 0);
}

// A write lost anywhere before the result makes the row's send a failure,
// also when the later pattern report goes out; the final switch report comes
// after the result.
TEST_F(SendPathTest, ResultReportsAFailureOfAnyEarlierWriteOfTheRow)
{
    struct Case {
        const char* what;
        int sleepsBeforeFault;  // the fault is placed after this many sleeps
        size_t reportsLogged;
        const char* text;
    };
    const Case cases[] = {
        {"switch off lost", 1, 3, kSendFailedText},
        {"first pattern report lost", 2, 3, kSendFailedText},
        {"final switch report lost", 3, 3, kSendSucceededText},
    };
    uint8_t code = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        w.view.message.clear();
        w.state.statusCountdown = 1;
        Change(0, code++, 100);
        w.tower->ClearOutputLog();
        int sleeps = 0;
        w.clock.clock().onSleep = [&](uint64_t) {
            if (++sleeps == c.sleepsBeforeFault)
                w.tower->FailNextWrites(1);
        };
        w.send.SendPendingRows();
        w.clock.clock().onSleep = nullptr;
        EXPECT_EQ(w.Log().size(), c.reportsLogged);
        EXPECT_EQ(w.view.message, c.text);
        // A failure leaves the countdown alone, so the next tick blanks it.
        EXPECT_EQ(w.state.statusCountdown, c.text == kSendFailedText ? 1 : kSendResultTicks);
        // The row counts as sent either way.
        EXPECT_EQ(w.state.lastSentChecksum[0], w.state.rowChecksum[0]);
    }
}

TEST_F(SendPathTest, StateReportGoesOnlyToAPresentSegmentAndPausesAfter)
{
    w.state.segmentAddress = {9, 14, 0, 0, 0, 33};
    const uint64_t before = w.NowUs();
    w.state.patternCode[0] = 23;   // the byte after the addresses
    w.send.SendStateReport(1, 2);  // no segment: nothing, no pause
    w.send.SendStateReport(1, 6);  // no such position
    w.send.SendStateReport(1, -1);
    EXPECT_EQ(w.NowUs(), before);
    w.send.SendStateReport(1, 1);
    const auto log = w.Log();
    ASSERT_EQ(log.size(), 1U);
    EXPECT_EQ(log[0].frame, F({0, 14, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0x55, 4}));
    EXPECT_GE(w.NowUs() - log[0].timeUs, 25000U);
}

}  // namespace
}  // namespace kv::test
