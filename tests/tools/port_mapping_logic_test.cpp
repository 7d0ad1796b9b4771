#include <gtest/gtest.h>

#include "platform/clock.h"
#include "tool_test_support.h"
#include "tools/port_mapping_logic.h"

namespace kv {
namespace {

class PortMappingLogic : public ::testing::Test {
protected:
    // Red 2, none, Green 5 (acoustic), 33 (not a colour), White 5; reported
    // by the tower since the link opened.
    void SetUp() override
    {
        device.portMapColour = {9, 0, 22, 33, 32};
        device.portMapAcoustic = {0, 0, 1, 1, 0};
        device.reportSeen[7] = kWarmUpCount;
        OpenPortMapping(m, device, true);
    }

    ScopedVirtualClock clock;
    DeviceState device;
    PortMappingState m;
    test::RecordingIo rec;
};

TEST_F(PortMappingLogic, OpeningShowsTheReportedMapAndKeepsUnshowableCodes)
{
    const std::array<std::array<uint8_t, 5>, 5> expected = {{
        {2, 0, 0, 0, 0},
        {0, 0, 0, 0, 0},
        {0, 0, 5, 0, 0},
        {0, 0, 0, 0, 0},
        {0, 0, 0, 0, 5},
    }};
    EXPECT_EQ(m.cellNumber, expected);
    EXPECT_EQ(m.portCode, (std::array<uint8_t, 5>{9, 0, 22, 33, 32}));
    EXPECT_EQ(m.portAcousticBit, (std::array<uint8_t, 5>{0, 0, 0x80, 0x80, 0}));
    EXPECT_FALSE(MappingDiffers(m, device));
}

TEST_F(PortMappingLogic, AnAddressInUseOnAnotherPortIsRefused)
{
    m.cellNumber[2][0] = 0;
    EXPECT_FALSE(SelectCell(m, 2, 1, 2));  // "  Red 2" on port 3
    EXPECT_EQ(m.messageLine, "Red 2 already assigned!  Please choose another colour.");
    EXPECT_EQ(m.cellNumber[2][0], 0);  // back to its previous item
    EXPECT_EQ(m.cellNumber[2][2], 5);  // the row's own Green 5 stays
    EXPECT_EQ(m.portCode[2], 22);

    EXPECT_FALSE(SelectCell(m, 0, 5, 5));
    EXPECT_EQ(m.messageLine, "White 5 already assigned!  Please choose another colour.");
    EXPECT_EQ(m.cellNumber[0][4], 0);
    EXPECT_EQ(m.portCode[0], 9);

    // Freed on port 1, the address can be taken on port 3.
    EXPECT_TRUE(SelectCell(m, 0, 1, 0));
    EXPECT_TRUE(SelectCell(m, 2, 1, 2));
    EXPECT_EQ(m.portCode[2], 9);
    EXPECT_EQ(m.cellNumber[2], (std::array<uint8_t, 5>{2, 0, 0, 0, 0}));
    EXPECT_EQ(m.messageLine, "");
}

TEST_F(PortMappingLogic, ReselectingTheSameItemStandsAndClearsTheMessage)
{
    m.messageLine = "Yellow 1 already assigned!  Please choose another colour.";
    EXPECT_EQ(CountInColumn(m, 0, 1), 1);
    EXPECT_TRUE(SelectCell(m, 0, 1, 2));
    EXPECT_EQ(m.messageLine, "");
    EXPECT_EQ(m.portCode[0], 9);
    EXPECT_EQ(m.cellNumber[0][0], 2);
}

TEST_F(PortMappingLogic, AnotherColourReplacesTheRowsCellAndItemZeroClearsTheRow)
{
    ASSERT_TRUE(SelectCell(m, 0, 1, 4));  // "  Red 4"
    ASSERT_TRUE(SelectCell(m, 0, 4, 3));  // "  Blue 3"
    EXPECT_EQ(m.cellNumber[0], (std::array<uint8_t, 5>{0, 0, 0, 3, 0}));
    EXPECT_EQ(m.portCode[0], 25);

    // Item 0 in a column other than the row's colour still clears the row.
    ASSERT_TRUE(SelectCell(m, 0, 2, 0));
    EXPECT_EQ(m.cellNumber[0], (std::array<uint8_t, 5>{0, 0, 0, 0, 0}));
    EXPECT_EQ(m.portCode[0], 0);
    // Item 0 never counts as in use, on any number of ports.
    EXPECT_TRUE(SelectCell(m, 1, 2, 0));
    EXPECT_EQ(CountInColumn(m, 0, 2), 0);
}

TEST_F(PortMappingLogic, OutOfRangeActionsChangeNothing)
{
    const PortMappingState before = m;
    EXPECT_FALSE(SelectCell(m, 5, 1, 1));
    EXPECT_FALSE(SelectCell(m, -1, 1, 1));
    EXPECT_FALSE(SelectCell(m, 0, 0, 1));
    EXPECT_FALSE(SelectCell(m, 0, 6, 1));
    EXPECT_FALSE(SelectCell(m, 0, 1, 6));
    ClickAcoustic(m, 5);
    EXPECT_EQ(m.cellNumber, before.cellNumber);
    EXPECT_EQ(m.portCode, before.portCode);
    EXPECT_EQ(m.portAcousticBit, before.portAcousticBit);
    EXPECT_EQ(CountInColumn(m, 7, 1), 0);
}

TEST(PortMappingTexts, ListItemsCarryTheirLeadingBlanks)
{
    struct Case {
        int port, column, item;
        const char* text;
    };
    const Case cases[] = {
        {4, 5, 0, "       -      "}, {3, 1, 5, "  Red 5"}, {4, 2, 5, " Yellow 5"},
        {0, 3, 5, " Green 5"},       {1, 3, 1, "  Green 1"}, {5, 1, 1, ""},
        {0, 6, 1, ""},               {0, 1, 6, ""},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(PortMapItemText(c.port, c.column, c.item), c.text)
            << c.port << "/" << c.column << "/" << c.item;
}

TEST_F(PortMappingLogic, SendWithoutChangesAnswersSameAddressesAndSendsNothing)
{
    const uint64_t start = NowMs();
    EXPECT_FALSE(SendToBase(m, device, rec.io));
    EXPECT_TRUE(rec.written.empty());
    EXPECT_EQ(NowMs() - start, 500u);
    EXPECT_EQ(m.statusTone, kToneWarning);
    EXPECT_EQ(m.statusText, "               Same addresses!               Please try again!");
    EXPECT_FALSE(m.verifyTimerRunning);
}

TEST_F(PortMappingLogic, AChangedRowIsSentWithTheUnshowableCodeUnchanged)
{
    ASSERT_TRUE(SelectCell(m, 1, 2, 3));  // port 2: Yellow 3
    const uint64_t start = NowMs();
    EXPECT_TRUE(SendToBase(m, device, rec.io));
    EXPECT_EQ(NowMs() - start, 500u);
    ASSERT_EQ(rec.written.size(), 1u);
    EXPECT_EQ(rec.written[0], (Report{0, 9, 15, 22 | 0x80, 33 | 0x80, 32, 0, 0, 3}));
    EXPECT_EQ(m.statusText, "Please wait!");
    EXPECT_EQ(m.statusTone, kToneNeutral);
    EXPECT_TRUE(m.verifyTimerRunning);
    EXPECT_GE(rec.flushes, 1);
}

TEST_F(PortMappingLogic, EveryAcousticClickCountsAsAChange)
{
    ClickAcoustic(m, 0);
    ClickAcoustic(m, 0);  // back to the reported state
    EXPECT_EQ(m.portAcousticBit[0], 0);
    EXPECT_TRUE(SendToBase(m, device, rec.io));
    ASSERT_EQ(rec.written.size(), 1u);
    EXPECT_EQ(rec.written[0][1], 9);
    // The flags were cleared by the send: the next press finds no change.
    EXPECT_FALSE(SendToBase(m, device, rec.io));
    EXPECT_EQ(rec.written.size(), 1u);

    // A click is remembered over closing without a send and opening again.
    ClickAcoustic(m, 4);
    OpenPortMapping(m, device, true);
    EXPECT_EQ(m.portAcousticBit[4], 0);
    EXPECT_TRUE(SendToBase(m, device, rec.io));
    EXPECT_EQ(rec.written.size(), 2u);
}

TEST_F(PortMappingLogic, AcousticOnlyChangeIsConfirmedOnceTheTowerReportsTheFlag)
{
    ClickAcoustic(m, 1);
    ASSERT_TRUE(SendToBase(m, device, rec.io));
    EXPECT_EQ(rec.written[0][2], 0x80);
    // The codes agree already; the flag has not come back yet.
    PortMappingVerifyTick(m, device);
    EXPECT_EQ(m.statusText, "Please wait!");
    EXPECT_TRUE(m.verifyTimerRunning);
    device.portMapAcoustic[1] = 1;
    PortMappingVerifyTick(m, device);
    EXPECT_EQ(m.statusTone, kToneSuccess);
    EXPECT_EQ(m.statusText, "   Addresses have been     transmitted successfully!");
    EXPECT_FALSE(m.verifyTimerRunning);
}

// The codes agree before and after such a send, so only the reported flags
// tell whether it arrived: a tower that was unplugged, or that ignores the
// report, leaves every port's flag as it was.
TEST_F(PortMappingLogic, AcousticOnlyChangeNeverReportedFailsOnTheEleventhTick)
{
    ClickAcoustic(m, 1);  // port 2 on
    ClickAcoustic(m, 2);  // port 3 off
    ASSERT_TRUE(SendToBase(m, device, rec.io));
    for (int tick = 1; tick <= 10; ++tick) {
        PortMappingVerifyTick(m, device);
        ASSERT_EQ(m.statusText, "Please wait!") << tick;
    }
    device.portMapAcoustic[1] = 1;  // one of the two flags arrives
    PortMappingVerifyTick(m, device);
    EXPECT_EQ(m.statusTone, kToneFailure);
    EXPECT_EQ(m.statusText, "Transmission failed!");
    EXPECT_FALSE(m.verifyTimerRunning);
}

TEST_F(PortMappingLogic, ASendAfterAFailureCountsFromZeroAgain)
{
    ASSERT_TRUE(SelectCell(m, 1, 1, 1));
    ASSERT_TRUE(SendToBase(m, device, rec.io));
    for (int tick = 1; tick <= 11; ++tick)
        PortMappingVerifyTick(m, device);
    ASSERT_EQ(m.statusText, "Transmission failed!");

    ASSERT_TRUE(SendToBase(m, device, rec.io));
    for (int tick = 1; tick <= 10; ++tick)
        PortMappingVerifyTick(m, device);
    EXPECT_EQ(m.statusText, "Please wait!");
    device.portMapColour[1] = 8;
    PortMappingVerifyTick(m, device);
    EXPECT_EQ(m.statusTone, kToneSuccess);
}

TEST(PortMappingBeforeTheMap, NothingCanBeChangedOrSentUntilTheTowerReportsItsMap)
{
    ScopedVirtualClock clock;
    test::RecordingIo rec;
    // Opened right after the link opened: the map fields are still those of
    // a fresh state (or of the previous connection).
    DeviceState device;
    device.portMapColour = {9, 13, 18, 23, 28};
    PortMappingState m;
    OpenPortMapping(m, device, true);
    EXPECT_FALSE(m.sendEnabled);
    EXPECT_FALSE(m.gridEnabled);
    EXPECT_EQ(m.statusText, "Please wait!");
    EXPECT_FALSE(SelectCell(m, 0, 1, 1));
    ClickAcoustic(m, 0);
    EXPECT_EQ(m.portAcousticBit[0], 0);
    EXPECT_FALSE(SendToBase(m, device, rec.io));
    EXPECT_TRUE(rec.written.empty());
    EXPECT_EQ(m.statusText, "Please wait!");  // no "Same addresses!" either
    EXPECT_FALSE(TakeOverReportedMap(m, device, true));

    // The tower's map comes in: the grid shows it and can be sent.
    device.portMapColour = {8, 0, 19, 33, 32};
    device.portMapAcoustic = {1, 0, 0, 0, 1};
    device.reportSeen[7] = kWarmUpCount;
    EXPECT_TRUE(TakeOverReportedMap(m, device, true));
    EXPECT_TRUE(m.sendEnabled);
    EXPECT_TRUE(m.gridEnabled);
    EXPECT_EQ(m.statusText, "");
    EXPECT_EQ(m.cellNumber[2], (std::array<uint8_t, 5>{0, 0, 2, 0, 0}));
    ASSERT_TRUE(SelectCell(m, 1, 2, 1));
    ASSERT_TRUE(SendToBase(m, device, rec.io));
    ASSERT_EQ(rec.written.size(), 1u);
    EXPECT_EQ(rec.written[0], (Report{0, 8 | 0x80, 13, 19, 33, 32 | 0x80, 0, 0, 3}));
}

TEST(PortMappingPreset, PresetsTheFirstNumberOfEachColour)
{
    PortMappingState m;
    m.portCode = {0, 0, 0, 0, 0};
    PresetPortCodes(m);
    EXPECT_EQ(m.portCode, (std::array<uint8_t, 5>{8, 13, 18, 23, 28}));
    DeviceState device;
    OpenPortMapping(m, device, false);
    EXPECT_FALSE(m.sendEnabled);
    EXPECT_EQ(m.portCode, (std::array<uint8_t, 5>{0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace kv
