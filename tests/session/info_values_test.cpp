#include <gtest/gtest.h>

#include "session/info_values.h"

namespace kv {
namespace {

DeviceState OnlineTower()
{
    DeviceState s;
    s.lastLinkResult = 1;
    s.firmwareVersion = {12, 7, 30, 31, 32, 28, 9};
    s.hardwareVersion = {5, 12, 13, 14, 15, 16, 21};
    return s;
}

TEST(InfoValues, OfflineShowsNothingButTheProgramVersion)
{
    DeviceState s = OnlineTower();
    s.segmentFound.fill(1);
    s.lastLinkResult = 0;
    const InfoValues v = CollectInfoValues(s);
    for (size_t row = 0; row < 6; ++row) {
        EXPECT_EQ(v.firmware[row], "n/a");
        EXPECT_EQ(v.hardware[row], "n/a");
    }
    EXPECT_EQ(v.baseFirmware, "n/a");
    EXPECT_EQ(v.programVersion, "2.8");
}

TEST(InfoValues, OnlyRecognisedPositionsShowVersions)
{
    DeviceState s = OnlineTower();
    s.segmentFound = {1, 1, 0, 0, 0, 0};
    InfoValues v = CollectInfoValues(s);
    EXPECT_EQ(v.firmware[0], "12");  // segment firmware in plain decimal
    EXPECT_EQ(v.hardware[0], "0.5");
    EXPECT_EQ(v.firmware[1], "7");
    EXPECT_EQ(v.hardware[1], "1.2");
    for (size_t row = 2; row < 6; ++row) {
        EXPECT_EQ(v.firmware[row], "n/a");
        EXPECT_EQ(v.hardware[row], "n/a");
    }
    EXPECT_EQ(v.baseFirmware, "2.8");

    // The sound segment reads its own slot, not the Base Controller's.
    s.segmentFound[5] = 1;
    v = CollectInfoValues(s);
    EXPECT_EQ(v.firmware[5], "9");
    EXPECT_EQ(v.hardware[5], "2.1");

    // A segment at firmware 28 reads "28", the Base Controller at 28 "2.8".
    s.firmwareVersion[0] = 28;
    v = CollectInfoValues(s);
    EXPECT_EQ(v.firmware[0], "28");
    EXPECT_EQ(v.baseFirmware, "2.8");
}

}  // namespace
}  // namespace kv
