#include <gtest/gtest.h>

#include "device/device_state.h"

namespace kv {
namespace {

TEST(DeviceState, StartsZeroedExceptItsInitialValues)
{
    DeviceState s;
    EXPECT_EQ(s.switchingThreshold, 99);
    EXPECT_EQ(s.soundLevelWaiting, 1);
    for (uint16_t c : s.lastSentChecksum)
        EXPECT_EQ(c, kNeverSent);
    for (uint8_t a : s.segmentAddress)
        EXPECT_EQ(a, 0);
    EXPECT_EQ(s.lastLinkResult, 0);
}

TEST(DeviceState, OnStateFollowsTheAddressNotThePosition)
{
    DeviceState s;
    // An empty position reads off and ignores writes.
    SetOnStateOfRow(s, 1, 2);
    EXPECT_EQ(OnStateOfRow(s, 2), 0);
    for (uint8_t v : s.onState)
        EXPECT_EQ(v, 0);

    s.segmentAddress[0] = 23;
    SetOnStateOfRow(s, 1, 0);
    // The segment moves from position 0 to position 2 and keeps its state.
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
    }
    ResetSwitchState(s);
    s.segmentAddress[5] = 255;
    EXPECT_EQ(OnStateOfRow(s, 5), 0);
    EXPECT_EQ(OnStateOfRow(s, -1), 0);
    EXPECT_EQ(OnStateOfRow(s, 6), 0);
}

TEST(DeviceState, AddressLookupAndLabels)
{
    const AddressTable& red = kColourTables[0];
    EXPECT_EQ(FindAddress(0, red), 0);
    EXPECT_EQ(FindAddress(12, red), 12);
    EXPECT_EQ(FindAddress(13, red), 0);
    EXPECT_STREQ(AddressLabel(8), "Red 1");
    EXPECT_STREQ(AddressLabel(24), "Blue 2");
    EXPECT_STREQ(AddressLabel(32), "White 5");
    EXPECT_STREQ(AddressLabel(33), "Acoustic 1");
    EXPECT_STREQ(AddressLabel(7), "");
    EXPECT_STREQ(AddressLabel(38), "");
    EXPECT_EQ(ColourIndexOfAddress(22), 2);
    EXPECT_EQ(ColourIndexOfAddress(0), -1);
}

TEST(DeviceState, PercentConversions)
{
    EXPECT_EQ(BrightnessPercent(0), 0);
    EXPECT_EQ(BrightnessPercent(128), 50);
    EXPECT_EQ(BrightnessPercent(255), 100);
    EXPECT_EQ(BrightnessPercent(300), 117);
    EXPECT_EQ(BrightnessPercent(510), 200);
    EXPECT_EQ(BrightnessPercent(511), 200);
    EXPECT_EQ(VolumePercent(118), 0);
    EXPECT_EQ(VolumePercent(119), 0);
    EXPECT_EQ(VolumePercent(120), 1);
    EXPECT_EQ(VolumePercent(166), 50);
    EXPECT_EQ(VolumePercent(213), 100);
    EXPECT_EQ(VolumePercent(214), 100);
}

}  // namespace
}  // namespace kv
