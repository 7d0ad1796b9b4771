// Where the virtual Base Controller must behave like the real one for the
// link and tool tests to mean anything: report IDs, applied commands and their
// delays, the boot loader switch, and counting misuse of closed handles.
#include <gtest/gtest.h>

#include <hidapi/hidapi.h>

#include <algorithm>
#include <array>
#include <vector>

#include "platform/clock.h"
#include "sim/virtual_tower.h"

namespace kv::sim {
namespace {

class VirtualControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TheVirtualTower().Clear();
        BaseControllerConfig cfg;
        cfg.reportOrder = {3, 1, 2};
        cfg.reportIntervalUs = 5000;
        bc = &TheVirtualTower().AddBaseController(cfg);
        dev = OpenFirst();
        ASSERT_NE(dev, nullptr);
    }
    void TearDown() override
    {
        if (dev != nullptr)
            hid_close(dev);
    }

    static hid_device* OpenFirst()
    {
        hid_device_info* list = hid_enumerate(kVirtualVendorId, kVirtualProductId);
        hid_device* d = list != nullptr ? hid_open_path(list->path) : nullptr;
        hid_free_enumeration(list);
        return d;
    }

    // Reads one report into a 9-byte frame laid out as the protocol says.
    int ReadFrame(Frame& f, int timeoutMs = 100)
    {
        f = Frame{};
        return hid_read_timeout(dev, f.data() + 1, 8, timeoutMs);
    }

    int Write(const Frame& f) { return hid_write(dev, f.data(), f.size()); }

    ScopedVirtualClock clock;
    VirtualBaseController* bc = nullptr;
    hid_device* dev = nullptr;
};

TEST_F(VirtualControllerTest, WritesNeedReportIdZeroAndAFrameThatFits)
{
    Frame host{0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 6};
    EXPECT_EQ(Write(host), 9);
    EXPECT_EQ(bc->hostConnected(), 1);
    Frame numbered = host;
    numbered[0] = 6;
    EXPECT_EQ(hid_write(dev, numbered.data(), numbered.size()), -1);
    std::array<uint8_t, 10> tooLong{};
    EXPECT_EQ(hid_write(dev, tooLong.data(), tooLong.size()), -1);
    EXPECT_EQ(bc->outputLog().size(), 1u);
}

// A pattern command: first half, second half; what the segments report after.
struct PatternCase {
    const char* name;
    std::array<uint8_t, 6> addresses;
    bool sendFirstHalf;
    Frame first;
    std::array<uint8_t, 6> expectedCodes;
    std::array<uint16_t, 6> expectedLevels;
};

class PatternApplyTest : public VirtualControllerTest, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(PatternApplyTest, ChangesTheAddressedSegmentsOnly)
{
    const PatternCase& c = GetParam();
    bc->mutableConfig().segmentAddress = c.addresses;
    bc->mutableConfig().patternCode = {0, 0, 0, 0, 0, 0};
    bc->mutableConfig().level = {128, 128, 128, 128, 128, 166};
    if (c.sendFirstHalf) {
        ASSERT_EQ(Write(c.first), 9);
    }
    ASSERT_EQ(Write(Frame{0, 0, 0, 0, 0, 0, 0, 1, 2}), 9);
    EXPECT_EQ(bc->config().patternCode, c.expectedCodes);
    EXPECT_EQ(bc->config().level, c.expectedLevels);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PatternApplyTest,
    ::testing::Values(
        // Red 3 at position 2 takes "Alarm Flash" at 200 %.
        PatternCase{"ColourSegment", {8, 13, 10, 23, 28, 33}, true, Frame{0, 10, 2, 0, 5, 1, 0xFE, 128, 1},
                    {0, 0, 5, 0, 0, 0}, {128, 128, 510, 128, 128, 166}},
        // The sound segment takes a melody and its volume byte.
        PatternCase{"SoundSegment", {8, 13, 18, 23, 28, 33}, true, Frame{0, 33, 2, 3, 17, 200, 166, 2, 1},
                    {0, 0, 0, 0, 0, 17}, {128, 128, 128, 128, 128, 200}},
        // Two segments answering to the same address both take it.
        PatternCase{"RepeatedAddress", {8, 9, 9, 23, 28, 33}, true, Frame{0, 9, 2, 0, 4, 0, 40, 8, 1},
                    {0, 4, 4, 0, 0, 0}, {128, 40, 40, 128, 128, 166}},
        // No segment answers.
        PatternCase{"AbsentAddress", {8, 13, 18, 23, 28, 33}, true, Frame{0, 30, 2, 0, 4, 0, 40, 8, 1},
                    {0, 0, 0, 0, 0, 0}, {128, 128, 128, 128, 128, 166}},
        // A second half alone is not a command.
        PatternCase{"SecondHalfAlone", {8, 13, 18, 23, 28, 33}, false, Frame{},
                    {0, 0, 0, 0, 0, 0}, {128, 128, 128, 128, 128, 166}}),
    [](const ::testing::TestParamInfo<PatternCase>& info) { return std::string(info.param.name); });

TEST_F(VirtualControllerTest, ToolCommandsShowAfterTheControllersDelay)
{
    BaseControllerConfig& cfg = bc->mutableConfig();
    cfg.portMapDelayUs = 2000000;
    cfg.addressChangeDelayUs = 500000;
    cfg.thresholdDelayUs = 100000;
    cfg.segmentAddress = {8, 13, 18, 23, 28, 33};
    cfg.switchingThreshold = 92;
    ASSERT_EQ(Write(Frame{0, 0x89, 0, 0x16, 0x80, 0, 0, 0, 3}), 9);
    ASSERT_EQ(Write(Frame{0, 8, 12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 5}), 9);
    ASSERT_EQ(Write(Frame{0, 150, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7}), 9);
    auto at = [&](uint64_t t) {
        clock.clock().Advance(t - NowUs());
        Frame f;
        ReadFrame(f, 0);
    };
    auto mapNow = [&] {
        const Frame m = bc->BuildInputReport(8);
        return std::array<uint8_t, 5>{m[1], m[2], m[3], m[4], m[5]};
    };
    const std::array<uint8_t, 5> oldMap = mapNow();
    at(99999);
    EXPECT_EQ(bc->BuildInputReport(7)[1], 92);
    at(100000);
    EXPECT_EQ(bc->BuildInputReport(7)[1], 150);
    at(499999);
    EXPECT_EQ(bc->BuildInputReport(1)[1], 8);
    at(500000);
    EXPECT_EQ(bc->BuildInputReport(1)[1], 12);
    at(1999999);
    EXPECT_EQ(mapNow(), oldMap);
    at(2000000);
    EXPECT_EQ(mapNow(), (std::array<uint8_t, 5>{0x89, 0, 0x16, 0x80, 0}));
}

// A report carries the state at the time it was sent, however long it waits
// in the host's buffer: a later change, direct or through a command's delayed
// effect, shows only in reports sent after it.
TEST_F(VirtualControllerTest, AQueuedReportKeepsWhatItCarriedWhenSent)
{
    bc->mutableConfig().reportOrder = {1};
    bc->mutableConfig().addressChangeDelayUs = 7000;
    Frame f;
    ASSERT_EQ(ReadFrame(f, 0), 8);  // sent at 0
    clock.clock().Advance(5000);    // sent at 5000, not read
    bc->mutableConfig().segmentAddress[0] = 30;
    clock.clock().Advance(5000);    // sent at 10000
    ASSERT_EQ(Write(Frame{0, 30, 12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 5}), 9);  // shows at 17000
    clock.clock().Advance(15000);   // sent at 15000, 20000, 25000
    const uint8_t expected[] = {8, 30, 30, 12, 12};
    for (uint8_t address : expected) {
        ASSERT_EQ(ReadFrame(f, 0), 8);
        EXPECT_EQ(f[1], address);
    }
    EXPECT_EQ(ReadFrame(f, 0), 0);
}

TEST_F(VirtualControllerTest, AStoppedStreamLeavesWhatTheHostBufferedReadable)
{
    Frame f;
    ASSERT_EQ(ReadFrame(f, 0), 8);  // type 3, sent at 0
    clock.clock().Advance(12000);   // types 1 and 2 buffered
    bc->StopStream();
    clock.clock().Advance(50000);
    ASSERT_EQ(ReadFrame(f), 8);
    EXPECT_EQ(f[8], 1);
    ASSERT_EQ(ReadFrame(f), 8);
    EXPECT_EQ(f[8], 2);
    const uint64_t before = NowUs();
    EXPECT_EQ(ReadFrame(f), 0);
    EXPECT_EQ(NowUs() - before, 100000u);
    // Nothing sent while quiet comes later: the stream goes on from now.
    bc->ResumeStream();
    ASSERT_EQ(ReadFrame(f), 8);
    EXPECT_EQ(NowUs(), 165000u);
}

// When each report arrives, with a blocking read per report: on its slot, or
// with jitter within the period after it, in order, the same for the same seed.
std::vector<uint64_t> ArrivalTimes(uint64_t intervalUs, uint64_t jitterUs, uint64_t seed)
{
    TheVirtualTower().Clear();
    BaseControllerConfig cfg;
    cfg.reportIntervalUs = intervalUs;
    cfg.reportJitterUs = jitterUs;
    cfg.reportJitterSeed = seed;
    TheVirtualTower().AddBaseController(cfg);
    hid_device_info* list = hid_enumerate(kVirtualVendorId, kVirtualProductId);
    hid_device* dev = hid_open_path(list->path);
    hid_free_enumeration(list);
    const uint64_t start = NowUs();
    std::vector<uint64_t> times;
    std::array<uint8_t, 8> data{};
    for (int i = 0; i < 200 && hid_read_timeout(dev, data.data(), data.size(), -1) == 8; ++i)
        times.push_back(NowUs() - start);
    hid_close(dev);
    return times;
}

TEST_F(VirtualControllerTest, ReportRateAndJitterAreExactAndRepeatable)
{
    struct Case {
        uint64_t intervalUs;
        uint64_t jitterUs;
    };
    for (const Case c : {Case{7500, 0}, Case{15000, 0}, Case{5000, 2000}, Case{7500, 7500}}) {
        SCOPED_TRACE(testing::Message() << c.intervalUs << " / " << c.jitterUs);
        const std::vector<uint64_t> times = ArrivalTimes(c.intervalUs, c.jitterUs, 3);
        ASSERT_EQ(times.size(), 200u);
        bool offSlot = false;
        for (size_t i = 0; i < times.size(); ++i) {
            const uint64_t slot = i * c.intervalUs;
            ASSERT_GE(times[i], slot) << i;
            ASSERT_LE(times[i], slot + std::min(c.jitterUs, c.intervalUs - 1)) << i;
            offSlot = offSlot || times[i] != slot;
        }
        EXPECT_EQ(offSlot, c.jitterUs != 0);
        EXPECT_EQ(ArrivalTimes(c.intervalUs, c.jitterUs, 3), times);
        if (c.jitterUs != 0) {
            EXPECT_NE(ArrivalTimes(c.intervalUs, c.jitterUs, 4), times);
        }
    }
}

TEST_F(VirtualControllerTest, BootloaderReportLeavesTheListUntilTheBootLoaderReturns)
{
    ASSERT_EQ(Write(Frame{0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), 9);
    EXPECT_TRUE(bc->inBootloader());
    EXPECT_EQ(hid_enumerate(kVirtualVendorId, kVirtualProductId), nullptr);
    Frame f;
    EXPECT_EQ(ReadFrame(f), -1);

    bc->ReturnFromBootloader(29);
    EXPECT_FALSE(bc->inBootloader());
    // The old handle stays dead; a new one sees the new firmware.
    EXPECT_EQ(ReadFrame(f), -1);
    hid_close(dev);
    dev = OpenFirst();
    ASSERT_NE(dev, nullptr);
    bc->mutableConfig().reportOrder = {5};
    ASSERT_EQ(ReadFrame(f), 8);
    EXPECT_EQ(f[6], 29);
}

TEST_F(VirtualControllerTest, HandlesThatAreNotOpenFailWithoutHarm)
{
    hid_close(dev);
    hid_device* closed = dev;
    dev = nullptr;
    Frame f{};
    const int misuse = TheVirtualTower().hidApi().misuse;
    EXPECT_EQ(hid_read_timeout(closed, f.data(), 8, 0), -1);
    EXPECT_EQ(hid_write(closed, f.data(), f.size()), -1);
    hid_close(closed);
    EXPECT_EQ(TheVirtualTower().hidApi().misuse, misuse + 3);
    EXPECT_NE(hid_error(nullptr), nullptr);
}

}  // namespace
}  // namespace kv::sim
