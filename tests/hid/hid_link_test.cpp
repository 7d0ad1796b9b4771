#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/report_protocol.h"
#include "platform/clock.h"
#include "sim/virtual_tower.h"

namespace kv {
namespace {

using sim::BaseControllerConfig;
using sim::TheVirtualTower;
using sim::VirtualBaseController;

class HidLinkTest : public ::testing::Test {
protected:
    void SetUp() override { TheVirtualTower().Reset(); }
    void TearDown() override { link.Close(); }

    VirtualBaseController& controller() { return TheVirtualTower().baseController(0); }
    sim::HidApiUse& use() { return TheVirtualTower().hidApi(); }

    ScopedVirtualClock clock;
    DeviceState state;
    HidLink link{state};
};

TEST_F(HidLinkTest, OpensTheBaseControllerAndReleasesTheLibraryOnClose)
{
    ASSERT_NE(link.Open(), nullptr);
    EXPECT_EQ(link.IsOpen(), 1);
    EXPECT_EQ(state.lastLinkResult, 1);
    EXPECT_TRUE(use().initialised);
    EXPECT_EQ(use().liveHandles.size(), 1u);

    EXPECT_EQ(link.Close(), 0);
    EXPECT_EQ(link.IsOpen(), 0);
    EXPECT_TRUE(use().liveHandles.empty());
    EXPECT_FALSE(use().initialised);
    EXPECT_EQ(link.Close(), 0);  // a second close does nothing
    EXPECT_EQ(use().closeCalls, 1);
    EXPECT_EQ(use().exitCalls, 1);
    EXPECT_EQ(use().misuse, 0);
}

TEST_F(HidLinkTest, OpenWhileOpenReleasesTheOldHandle)
{
    ASSERT_NE(link.Open(), nullptr);
    ASSERT_NE(link.Open(), nullptr);
    EXPECT_EQ(use().liveHandles.size(), 1u);
    EXPECT_EQ(use().closeCalls, 1);
    EXPECT_EQ(use().misuse, 0);
}

TEST_F(HidLinkTest, WritesWithoutAHandleFailAndSendNothing)
{
    const Report host = BuildHostReport(true);
    // Never opened, then opened and closed again.
    EXPECT_EQ(link.WriteReport(host.data(), host.size()), 1);
    ASSERT_NE(link.Open(), nullptr);
    link.Close();
    EXPECT_EQ(link.WriteReport(host.data(), host.size()), 1);
    EXPECT_EQ(controller().writeCalls(), 0u);
    EXPECT_TRUE(controller().outputLog().empty());
    EXPECT_EQ(use().misuse, 0);
}

TEST_F(HidLinkTest, WritesTheFrameAsGivenAndReportsAFailedWrite)
{
    ASSERT_NE(link.Open(), nullptr);
    const Report on = BuildSwitchReport(24, 1);
    EXPECT_EQ(link.WriteReport(on.data(), on.size()), 0);
    ASSERT_EQ(controller().outputLog().size(), 1u);
    EXPECT_EQ(controller().outputLog()[0].frame, on);
    EXPECT_EQ(controller().switchState(24).on, 1);

    controller().FailNextWrites(1);
    const Report off = BuildSwitchReport(24, 0);
    EXPECT_EQ(link.WriteReport(off.data(), off.size()), 1);
    EXPECT_EQ(controller().switchState(24).on, 1);
    EXPECT_EQ(controller().outputLog().size(), 1u);
}

TEST_F(HidLinkTest, ReadKeepsTheFrameLayoutWithByteZeroCleared)
{
    ASSERT_NE(link.Open(), nullptr);
    state.inputReport[0] = 0xEE;
    link.ReadReport();
    EXPECT_EQ(state.lastLinkResult, 1);
    EXPECT_EQ(state.inputReport[0], 0);
    const uint8_t type = state.inputReport[8];
    ASSERT_GE(type, 1);
    ASSERT_LE(type, 8);
    EXPECT_EQ(state.inputReport, controller().BuildInputReport(type));
    EXPECT_EQ(state.receiveCount[type - 1], 1);
}

TEST_F(HidLinkTest, ReadWhileSuspendedNeitherReadsNorParses)
{
    ASSERT_NE(link.Open(), nullptr);
    link.ReadReport();
    const std::array<uint8_t, 9> before = state.inputReport;
    const auto counts = state.receiveCount;
    const uint64_t reads = controller().readCalls();
    const uint64_t now = NowUs();

    state.suspendRead = 1;
    state.lastLinkResult = 7;
    controller().FailNextReads(1);  // would show if a read happened
    link.ReadReport();
    EXPECT_EQ(controller().readCalls(), reads);
    EXPECT_EQ(state.lastLinkResult, 7);
    EXPECT_EQ(state.inputReport, before);
    EXPECT_EQ(state.receiveCount, counts);
    EXPECT_EQ(NowUs(), now);
}

TEST_F(HidLinkTest, AReadThatTimesOutIsATickWithoutAReport)
{
    ASSERT_NE(link.Open(), nullptr);
    link.ReadReport();
    const auto counts = state.receiveCount;
    const uint8_t type = state.inputReport[8];
    controller().StopStream();

    const uint64_t start = NowUs();
    link.ReadReport();
    EXPECT_EQ(NowUs() - start, static_cast<uint64_t>(kReadTimeoutMs) * 1000);
    EXPECT_EQ(state.lastLinkResult, 1);
    EXPECT_EQ(state.receiveCount, counts);
    EXPECT_EQ(state.inputReport[8], type);
    EXPECT_EQ(link.IsOpen(), 1);
}

TEST_F(HidLinkTest, ReportsQueuedWhileNobodyReadAreAllParsedOldestFirst)
{
    ASSERT_NE(link.Open(), nullptr);
    link.ReadReport();  // index 0, type 1
    clock.clock().Advance(52000);  // indices 1..5 (types 2..6) queued
    // The levels change between the two level reports: each keeps its own.
    controller().mutableConfig().level[3] = 300;
    link.ReadReport();
    EXPECT_EQ(state.inputReport[8], 6);
    EXPECT_EQ(state.receiveCount, (std::array<uint8_t, 8>{1, 1, 1, 1, 1, 1, 0, 0}));
    EXPECT_EQ(state.level[3], 128);
    EXPECT_EQ(NowUs(), 52000u);
    // A full host buffer is read whole in one read; what the host could not
    // keep is lost, and the next read waits for the next report.
    clock.clock().Advance(1000000);  // 100 reports, 64 of them buffered
    link.ReadReport();
    EXPECT_EQ(state.level[3], 300);
    EXPECT_EQ(controller().reportsDelivered(), 6U + 64U);
    link.ReadReport();
    EXPECT_EQ(controller().reportsDelivered(), 6U + 64U + 1U);
    // The tower goes while its backlog is read: what came before stands,
    // and the read's failure is left for the poll cycle on this same read.
    clock.clock().Advance(50000);
    controller().UnplugAfterInputReports(2);
    link.ReadReport();
    EXPECT_EQ(controller().reportsDelivered(), 6U + 64U + 3U);
    EXPECT_EQ(state.lastLinkResult, 0);
}

TEST_F(HidLinkTest, AFailedReadClearsTheResultAndReappliesThePreviousBuffer)
{
    ASSERT_NE(link.Open(), nullptr);
    link.ReadReport();
    const uint8_t type = state.inputReport[8];
    const std::array<uint8_t, 9> before = state.inputReport;

    controller().FailNextReads(1);
    link.ReadReport();
    EXPECT_EQ(state.lastLinkResult, 0);
    EXPECT_EQ(state.inputReport, before);
    EXPECT_EQ(state.receiveCount[type - 1], 2);
}

// Which entry of a HID list Open takes.
struct DeviceListCase {
    const char* name;
    // Each entry: 'B' Base Controller, 'L' Base Controller another program
    // holds, 'P' vendor 0x21FC with another product, 'V' product 0x0011 of
    // another vendor.
    std::string devices;
    int expectedController;  // index among the Base Controllers, -1 = none
};

class HidLinkDeviceListTest : public ::testing::TestWithParam<DeviceListCase> {
protected:
    ScopedVirtualClock clock;
    DeviceState state;
    HidLink link{state};
};

TEST_P(HidLinkDeviceListTest, OpensTheFirstBaseControllerThatCanBeOpened)
{
    const DeviceListCase& c = GetParam();
    auto& tower = TheVirtualTower();
    tower.Clear();
    std::vector<VirtualBaseController*> controllers;
    for (char d : c.devices) {
        switch (d) {
        case 'B': controllers.push_back(&tower.AddBaseController()); break;
        case 'L': controllers.push_back(&tower.AddBaseController({}, false)); break;
        case 'P': tower.AddOtherHidDevice(0x21FC, 0x0012); break;
        case 'V': tower.AddOtherHidDevice(0x1234, 0x0011); break;
        default: FAIL() << "bad case";
        }
    }
    state.lastLinkResult = 5;
    void* handle = link.Open();
    if (c.expectedController < 0) {
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(link.IsOpen(), 0);
        EXPECT_EQ(state.lastLinkResult, 0);
        EXPECT_TRUE(tower.hidApi().liveHandles.empty());
        EXPECT_FALSE(tower.hidApi().initialised);
        return;
    }
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(state.lastLinkResult, 1);
    // Nothing else stays open.
    EXPECT_EQ(tower.hidApi().liveHandles.size(), 1u);
    const Report r = BuildHostReport(true);
    EXPECT_EQ(link.WriteReport(r.data(), r.size()), 0);
    for (size_t i = 0; i < controllers.size(); ++i)
        EXPECT_EQ(controllers[i]->hostConnected(), static_cast<int>(i) == c.expectedController ? 1 : -1)
            << "controller " << i;
    link.Close();
}

INSTANTIATE_TEST_SUITE_P(
    Lists, HidLinkDeviceListTest,
    ::testing::Values(DeviceListCase{"NoDevices", "", -1},
                      DeviceListCase{"WrongProductSkipped", "PB", 0},
                      DeviceListCase{"WrongVendorSkipped", "VB", 0},
                      DeviceListCase{"HeldOneSkipped", "LB", 1},
                      DeviceListCase{"OnlyHeld", "L", -1},
                      DeviceListCase{"FirstOfTwo", "BB", 0},
                      DeviceListCase{"FirstFreeOfThree", "PLLVB", 2}),
    [](const ::testing::TestParamInfo<DeviceListCase>& info) { return std::string(info.param.name); });

TEST_F(HidLinkTest, AnUnpluggedControllerIsAbsentUntilItComesBack)
{
    controller().Unplug();
    EXPECT_EQ(link.Open(), nullptr);
    EXPECT_EQ(state.lastLinkResult, 0);
    controller().PlugIn();
    EXPECT_NE(link.Open(), nullptr);
    EXPECT_EQ(state.lastLinkResult, 1);
}

// The whole road: open, read until every type has been seen four times, and
// the state is the tower's; then the plug is pulled.
TEST_F(HidLinkTest, ReadsTheTowerIntoTheStateUntilItIsUnplugged)
{
    auto& tower = TheVirtualTower();
    tower.Clear();
    BaseControllerConfig cfg;
    cfg.segmentAddress = {10, 13, 0, 27, 32, 33};
    cfg.patternCode = {5, 7, 0, 11, 13, 16};
    cfg.level = {510, 128, 0, 1, 256, 213};
    cfg.firmwareVersion = {11, 12, 0, 14, 15, 27, 17};
    cfg.hardwareVersion = {21, 22, 0, 24, 25, 26, 27};
    cfg.switchingThreshold = 220;
    cfg.portMap = {0x89, 0x00, 0x16, 0x80, 0x20};
    cfg.reportOrder = {8, 3, 5, 1, 7, 2, 6, 4};
    cfg.reportIntervalUs = 7000;
    VirtualBaseController& bc = tower.AddBaseController(cfg);

    ASSERT_NE(link.Open(), nullptr);
    std::array<int, 8> seen{};
    int reads = 0;
    auto allSeen = [&] {
        for (int n : seen)
            if (n < 4)
                return false;
        return true;
    };
    while (!allSeen() && reads < 200) {
        link.ReadReport();
        ASSERT_EQ(state.lastLinkResult, 1);
        const uint8_t t = state.inputReport[8];
        ASSERT_TRUE(t >= 1 && t <= 8);
        ++seen[t - 1];
        ++reads;
        // The program reads once per 30 ms tick.
        clock.clock().Advance(30000);
    }
    ASSERT_TRUE(allSeen());

    EXPECT_EQ(state.segmentAddress, cfg.segmentAddress);
    EXPECT_EQ(state.patternCode, cfg.patternCode);
    EXPECT_EQ(state.level, cfg.level);
    EXPECT_EQ(state.firmwareVersion, cfg.firmwareVersion);
    EXPECT_EQ(state.hardwareVersion, cfg.hardwareVersion);
    EXPECT_EQ(state.switchingThreshold, 220);
    EXPECT_EQ(state.portMapColour, (std::array<uint8_t, 5>{9, 0, 22, 0, 32}));
    EXPECT_EQ(state.portMapAcoustic, (std::array<uint8_t, 5>{1, 0, 0, 1, 0}));
    for (int t = 0; t < 8; ++t) {
        EXPECT_EQ(state.reportSeen[t], 3) << "type " << t + 1;
        EXPECT_EQ(state.receiveCount[t], 3) << "type " << t + 1;
    }

    bc.Unplug();
    link.ReadReport();
    EXPECT_EQ(state.lastLinkResult, 0);
    // Writes on the dead handle fail too, and closing it is clean.
    const Report r = BuildHostReport(false);
    EXPECT_EQ(link.WriteReport(r.data(), r.size()), 1);
    EXPECT_EQ(link.Close(), 0);
    EXPECT_EQ(use().misuse, 0);
}

TEST_F(HidLinkTest, AShortReportIsNotTakenForTheTypeBeforeIt)
{
    ASSERT_NE(link.Open(), nullptr);
    controller().InjectInputReport({0, 8, 13, 18, 23, 28, 33, 0, 1});
    controller().InjectInputReport({0, 9, 14, 19, 24, 29, 34, 0, 1}, 4);
    link.ReadReport();
    const auto counts = state.receiveCount;
    link.ReadReport();
    EXPECT_EQ(state.lastLinkResult, 1);
    EXPECT_EQ(state.inputReport, (std::array<uint8_t, 9>{0, 9, 14, 19, 24, 0, 0, 0, 0}));
    EXPECT_EQ(state.segmentAddress, (std::array<uint8_t, 6>{8, 13, 18, 23, 28, 33}));
    EXPECT_EQ(state.receiveCount, counts);
}

}  // namespace
}  // namespace kv
