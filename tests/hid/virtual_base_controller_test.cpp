// The virtual Base Controller through the hidapi functions: its report
// stream on the clock, how it applies output reports, its log and its faults.
#include <gtest/gtest.h>

#include <hidapi/hidapi.h>

#include <array>
#include <cstring>
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

TEST_F(VirtualControllerTest, StreamsTheConfiguredOrderAtTheConfiguredRate)
{
    Frame f;
    std::vector<uint8_t> types;
    std::vector<uint64_t> times;
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(ReadFrame(f), 8);
        types.push_back(f[8]);
        times.push_back(NowUs());
    }
    EXPECT_EQ(types, (std::vector<uint8_t>{3, 1, 2, 3, 1, 2, 3}));
    // The first report is due when the handle opens; then one every 5 ms.
    for (size_t i = 0; i < times.size(); ++i)
        EXPECT_EQ(times[i], i * 5000);
}

TEST_F(VirtualControllerTest, QueuesUnreadReportsUpToTheBufferDepthAndFollowsRateChanges)
{
    bc->mutableConfig().hostBufferDepth = 4;
    Frame f;
    ASSERT_EQ(ReadFrame(f), 8);    // index 0
    clock.clock().Advance(52000);  // 1..10 arrived; 5..10 found the buffer full
    std::vector<uint8_t> types;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(ReadFrame(f), 8);
        types.push_back(f[8]);
    }
    EXPECT_EQ(types, (std::vector<uint8_t>{1, 2, 3, 1}));  // indices 1..4, no wait
    EXPECT_EQ(NowUs(), 52000u);
    ASSERT_EQ(ReadFrame(f), 8);  // then it waits for index 11
    EXPECT_EQ(NowUs(), 55000u);
    EXPECT_EQ(f[8], 2);

    // Slowing the stream down on the fly: the next report comes one new
    // interval after the newest one that was due.
    bc->mutableConfig().reportIntervalUs = 40000;
    clock.clock().Advance(2000);
    ASSERT_EQ(ReadFrame(f), 8);
    EXPECT_EQ(NowUs(), 97000u);
}

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

TEST_F(VirtualControllerTest, LogsEveryOutputReportWithItsTime)
{
    const Frame a{0, 24, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4};
    const Frame b{0, 24, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0x55, 4};
    ASSERT_EQ(Write(a), 9);
    SleepMs(25);
    ASSERT_EQ(Write(b), 9);
    SleepMs(1500);
    ASSERT_EQ(hid_write(dev, a.data(), 3), 3);  // a short write is padded
    const auto& log = bc->outputLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].frame, a);
    EXPECT_EQ(log[1].frame, b);
    EXPECT_EQ(log[1].timeUs - log[0].timeUs, 25000u);
    EXPECT_EQ(log[2].timeUs - log[1].timeUs, 1500000u);
    EXPECT_EQ(log[2].length, 3u);
    EXPECT_EQ(log[2].frame, (Frame{0, 24, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bc->switchState(24).on, 1);
    EXPECT_EQ(bc->switchState(24).marker, 0x55);
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

    // And the reports say so.
    const Frame t2 = bc->BuildInputReport(2);
    const Frame t3 = bc->BuildInputReport(3);
    const Frame t4 = bc->BuildInputReport(4);
    for (int p = 0; p < 6; ++p)
        EXPECT_EQ(t2[1 + p], c.expectedCodes[p]);
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(t3[1 + 2 * p] * 256 + t3[2 + 2 * p], c.expectedLevels[p]);
    for (int p = 3; p < 5; ++p)
        EXPECT_EQ(t4[1 + 2 * (p - 3)] * 256 + t4[2 + 2 * (p - 3)], c.expectedLevels[p]);
    EXPECT_EQ(t4[5], c.expectedLevels[5]);
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
    // Moves the clock to t and lets the controller look at it.
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

TEST_F(VirtualControllerTest, RefusedCommandsAndImpossibleAddressesChangeNothing)
{
    BaseControllerConfig& cfg = bc->mutableConfig();
    cfg.acceptThreshold = false;
    cfg.acceptPortMap = false;
    cfg.switchingThreshold = 92;
    ASSERT_EQ(Write(Frame{0, 150, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7}), 9);
    ASSERT_EQ(Write(Frame{0, 0x09, 0, 0, 0, 0, 0, 0, 3}), 9);
    // The sound segment keeps its address; 40 is no colour address.
    ASSERT_EQ(Write(Frame{0, 33, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 5}), 9);
    ASSERT_EQ(Write(Frame{0, 8, 40, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 5}), 9);
    clock.clock().Advance(10000000);
    Frame f;
    ReadFrame(f);
    EXPECT_EQ(cfg.switchingThreshold, 92);
    EXPECT_EQ(cfg.portMap[0], 8);
    EXPECT_EQ(cfg.segmentAddress, (std::array<uint8_t, 6>{8, 13, 18, 23, 28, 33}));
    EXPECT_EQ(bc->outputLog().size(), 4u);
}

TEST_F(VirtualControllerTest, BootloaderReportLeavesTheListUntilTheBootLoaderReturns)
{
    int hookCalls = 0;
    bc->onEnterBootloader = [&] {
        ++hookCalls;
        EXPECT_FALSE(bc->pluggedIn());
    };
    ASSERT_EQ(Write(Frame{0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), 9);
    EXPECT_EQ(hookCalls, 1);
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

TEST_F(VirtualControllerTest, InjectedFaultsOnReadsAndWrites)
{
    Frame f;
    bc->FailNextReads(2);
    EXPECT_EQ(ReadFrame(f), -1);
    EXPECT_EQ(ReadFrame(f), -1);
    EXPECT_EQ(ReadFrame(f), 8);
    EXPECT_TRUE(bc->pluggedIn());

    bc->FailNextWrites(1);
    const Frame host{0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 6};
    EXPECT_EQ(Write(host), -1);
    EXPECT_EQ(bc->hostConnected(), -1);
    EXPECT_EQ(Write(host), 9);

    // A stream that stops: reads wait out their time and return nothing.
    bc->StopStreamAfterInputReports(1);
    EXPECT_EQ(ReadFrame(f), 8);
    const uint64_t t = NowUs();
    EXPECT_EQ(ReadFrame(f, 100), 0);
    EXPECT_EQ(NowUs() - t, 100000u);
    bc->ResumeStream();
    EXPECT_EQ(ReadFrame(f), 8);

    // Unplugging right after the second of the next output reports.
    bc->UnplugAfterOutputReports(2);
    EXPECT_EQ(Write(host), 9);
    EXPECT_TRUE(bc->pluggedIn());
    EXPECT_EQ(Write(host), 9);
    EXPECT_FALSE(bc->pluggedIn());
    EXPECT_EQ(Write(host), -1);
    EXPECT_EQ(ReadFrame(f), -1);
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

TEST_F(VirtualControllerTest, ResetUnplugsTheOldWorld)
{
    TheVirtualTower().Reset();
    Frame f;
    EXPECT_EQ(ReadFrame(f), -1);
    hid_close(dev);
    dev = OpenFirst();
    ASSERT_NE(dev, nullptr);
    VirtualBaseController& fresh = TheVirtualTower().baseController(0);
    EXPECT_NE(&fresh, bc);
    EXPECT_EQ(fresh.config().firmwareVersion[5], 28);
    EXPECT_EQ(fresh.config().segmentAddress, (std::array<uint8_t, 6>{8, 13, 18, 23, 28, 33}));
}

TEST(VirtualControllerClock, KeepsItsStreamWhenTheClockIsSwapped)
{
    TheVirtualTower().Reset();
    VirtualBaseController& bc = TheVirtualTower().baseController(0);
    bc.mutableConfig().reportIntervalUs = 10000;
    hid_device_info* list = hid_enumerate(kVirtualVendorId, kVirtualProductId);
    ASSERT_NE(list, nullptr);
    hid_device* d = nullptr;
    {
        ScopedVirtualClock first;
        first.clock().Advance(5000000);
        d = hid_open_path(list->path);
        ASSERT_NE(d, nullptr);
        std::array<uint8_t, 8> buf{};
        EXPECT_EQ(hid_read_timeout(d, buf.data(), buf.size(), 100), 8);
    }
    ScopedVirtualClock second;  // starts again at 0
    std::array<uint8_t, 8> buf{};
    EXPECT_EQ(hid_read_timeout(d, buf.data(), buf.size(), 100), 8);
    EXPECT_EQ(NowUs(), 10000u);
    hid_close(d);
    hid_free_enumeration(list);
}

}  // namespace
}  // namespace kv::sim
