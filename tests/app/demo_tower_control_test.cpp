#include "app/demo_tower_control.h"

#include <gtest/gtest.h>

namespace kv::sim {
namespace {

TEST(DemoTowerControlTest, PlugSegmentsAndFirmwareOfTheVirtualTower)
{
    TheVirtualTower().Reset();
    DemoTowerControl demo;
    VirtualBaseController& c = TheVirtualTower().baseController(0);
    ASSERT_TRUE(demo.pluggedIn());
    demo.SetPluggedIn(false);
    EXPECT_FALSE(c.pluggedIn());
    demo.SetPluggedIn(true);
    EXPECT_TRUE(c.pluggedIn());

    // Off and back with the address it had, also one Change Address gave it.
    c.mutableConfig().segmentAddress[2] = 20;
    demo.SetSegmentOn(2, false);
    demo.SetSegmentOn(kDemoPositions - 1, false);
    EXPECT_EQ(c.config().segmentAddress, (std::array<uint8_t, 6>{8, 13, 0, 23, 28, 0}));
    EXPECT_FALSE(demo.SegmentOn(2));
    EXPECT_EQ(demo.SegmentAddress(2), 20);
    demo.SetSegmentOn(2, false);  // off already: still comes back as 20
    demo.SetSegmentOn(2, true);
    demo.SetSegmentOn(kDemoPositions - 1, true);
    EXPECT_EQ(c.config().segmentAddress, (std::array<uint8_t, 6>{8, 13, 20, 23, 28, 33}));
    // A position that never had a segment gets its own address.
    c.mutableConfig().segmentAddress[4] = 0;
    demo.SetSegmentOn(4, true);
    EXPECT_EQ(c.config().segmentAddress[4], 28);
    demo.SetSegmentOn(-1, false);
    demo.SetSegmentOn(kDemoPositions, false);
    EXPECT_FALSE(demo.SegmentOn(kDemoPositions));

    struct Case {
        const char* text;
        bool taken;
        uint8_t version;
    };
    const Case cases[] = {
        {"2.5", true, 25}, {"25.5", true, 255}, {"0.1", true, 1}, {"25.6", false, 1},
        {"0.0", false, 1}, {"2", false, 1},     {"2.55", false, 1}, {".5", false, 1},
        {"a.5", false, 1}, {"100.0", false, 1}, {"", false, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        EXPECT_EQ(demo.SetFirmwareText(k.text), k.taken);
        EXPECT_EQ(c.config().firmwareVersion[5], k.version);
    }
    EXPECT_EQ(demo.FirmwareText(), "0.1");

    // No Base Controller: nothing to do, nothing breaks.
    TheVirtualTower().Clear();
    DemoTowerControl none;
    EXPECT_FALSE(none.hasController());
    none.SetPluggedIn(true);
    none.SetSegmentOn(0, false);
    EXPECT_FALSE(none.SetFirmwareText("2.5"));
    EXPECT_EQ(none.FirmwareText(), "");
    TheVirtualTower().Reset();
}

}  // namespace
}  // namespace kv::sim
