#include <gtest/gtest.h>

#include <string>

#include "device/device_state.h"

namespace kv {
namespace {

TEST(DeviceState, OnStateFollowsTheAddressNotThePosition)
{
    DeviceState s;
    for (uint16_t c : s.lastSentChecksum)
        EXPECT_EQ(c, kNeverSent);
    // An empty position reads off and ignores writes.
    SetOnStateOfRow(s, 1, 2);
    EXPECT_EQ(OnStateOfRow(s, 2), 0);
    for (uint8_t v : s.onState)
        EXPECT_EQ(v, 0);

    s.segmentAddress[0] = 23;
    SetOnStateOfRow(s, 1, 0);
    s.segmentAddress[0] = 0;
    s.segmentAddress[2] = 23;
    EXPECT_EQ(OnStateOfRow(s, 2), 1);
    EXPECT_EQ(OnStateOfRow(s, 0), 0);

    ResetSwitchState(s);
    EXPECT_EQ(OnStateOfRow(s, 2), 0);
    EXPECT_EQ(s.segmentAddress[2], 0);
}

TEST(DeviceState, AddressesOutsideTheColourRangeStayInsideTheTable)
{
    DeviceState s;
    for (uint8_t address : {uint8_t{33}, uint8_t{37}, uint8_t{255}}) {
        s.segmentAddress[5] = address;
        EXPECT_EQ(OnStateOfRow(s, 5), 0);
        SetOnStateOfRow(s, 1, 5);
        EXPECT_EQ(OnStateOfRow(s, 5), 1);
        EXPECT_EQ(s.onState[address], 1);
    }
    // The byte after the six positions holds a switched-on address: a
    // position one past the end must not reach it.
    s.patternCode[0] = 37;
    EXPECT_EQ(OnStateOfRow(s, -1), 0);
    EXPECT_EQ(OnStateOfRow(s, 6), 0);
}

TEST(DeviceState, AddressLookupAndLabels)
{
    const std::array<AddressTable, 6> tables = {{{8, 9, 10, 11, 12, 0},
                                                 {13, 14, 15, 16, 17, 0},
                                                 {18, 19, 20, 21, 22, 0},
                                                 {23, 24, 25, 26, 27, 0},
                                                 {28, 29, 30, 31, 32, 0},
                                                 {33, 34, 35, 36, 37, 0}}};
    EXPECT_EQ(kColourTables, tables);
    EXPECT_EQ(FindAddress(12, kColourTables[0]), 12);
    EXPECT_EQ(FindAddress(13, kColourTables[0]), 0);
    const std::pair<int, const char*> labels[] = {
        {7, ""}, {8, "Red 1"}, {24, "Blue 2"}, {32, "White 5"}, {33, "Acoustic 1"}, {38, ""}};
    for (auto [address, text] : labels)
        EXPECT_STREQ(AddressLabel(static_cast<uint8_t>(address)), text) << address;
    EXPECT_EQ(ColourIndexOfAddress(22), 2);
    EXPECT_EQ(ColourIndexOfAddress(0), -1);
}

TEST(DeviceState, PercentConversions)
{
    const std::pair<int, int> brightness[] = {
        {0, 0}, {128, 50}, {255, 100}, {300, 117}, {511, 200}};
    for (auto [v, percent] : brightness)
        EXPECT_EQ(BrightnessPercent(static_cast<uint16_t>(v)), percent) << v;
    const std::pair<int, int> volume[] = {
        {118, 0}, {119, 0}, {120, 1}, {166, 50}, {213, 100}, {214, 100}};
    for (auto [v, percent] : volume)
        EXPECT_EQ(VolumePercent(static_cast<uint16_t>(v)), percent) << v;
}

TEST(DeviceState, ReportSeenByType)
{
    DeviceState s;
    s.reportSeen = {3, 0, 3, 0, 0, 3, 0, 3};
    std::string seen;
    for (int type = 0; type <= 9; ++type)
        seen += ReportSeen(s, type) ? '1' : '0';
    EXPECT_EQ(seen, "0101001010");
}

}  // namespace
}  // namespace kv
