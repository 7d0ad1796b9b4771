#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <type_traits>
#include <vector>

#include "device/report_protocol.h"

namespace kv {
namespace {

Report Frame(std::initializer_list<int> bytes)
{
    Report r{};
    std::size_t i = 0;
    for (int b : bytes)
        r.at(i++) = static_cast<uint8_t>(b);
    return r;
}

void Feed(DeviceState& s, const Report& r)
{
    s.inputReport = r;
    ParseInputReport(s);
}

// Recognisable values, so a field a report must not change shows a difference.
DeviceState Prefilled()
{
    DeviceState s;
    s.segmentAddress = {8, 9, 10, 11, 12, 33};
    s.patternCode = {1, 2, 3, 4, 5, 6};
    s.level = {11, 22, 33, 44, 55, 66};
    s.firmwareVersion = {1, 2, 3, 4, 5, 6, 7};
    s.hardwareVersion = {7, 6, 5, 4, 3, 2, 1};
    s.switchingThreshold = 42;
    s.portMapColour = {8, 9, 10, 11, 12};
    s.portMapAcoustic = {1, 1, 1, 1, 1};
    return s;
}

struct InputCase {
    const char* name;
    std::vector<Report> frames;
    std::function<void(const DeviceState&)> check;
};

TEST(ReportProtocol, InputFramesFillTheirFields)
{
    const auto kLevelsUnchanged = [](const DeviceState& s) {
        EXPECT_EQ(s.level, (std::array<uint16_t, 6>{11, 22, 33, 44, 55, 66}));
    };
    const std::vector<InputCase> cases = {
        {"addresses, repeats stored as they come",
         {Frame({0, 10, 10, 0, 0xFF, 0, 0x21, 0x77, 1})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.segmentAddress, (std::array<uint8_t, 6>{10, 10, 0, 255, 0, 33}));
         }},
        {"pattern codes, byte 7 ignored", {Frame({0, 5, 13, 200, 0, 1, 20, 0x99, 2})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.patternCode, (std::array<uint8_t, 6>{5, 13, 200, 0, 1, 20}));
         }},
        {"levels 0..2", {Frame({0x00, 0x01, 0xFE, 0x00, 0x80, 0x00, 0x64, 0x00, 0x03})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.level, (std::array<uint16_t, 6>{510, 128, 100, 44, 55, 66}));
         }},
        {"levels 0..2 refused when the first high byte is above 1",
         {Frame({0, 2, 0, 0, 0, 0, 0, 0, 3})}, kLevelsUnchanged},
        {"levels 0..2 refused when the second high byte is above 1",
         {Frame({0, 0, 1, 2, 0, 0, 0, 0, 3})}, kLevelsUnchanged},
        {"levels 0..2 refused when the third high byte is above 1",
         {Frame({0, 1, 0xFE, 0, 0x80, 2, 0, 0, 3})}, kLevelsUnchanged},
        {"levels 3..5", {Frame({0x00, 0x00, 0x80, 0x01, 0x00, 0xA6, 0x00, 0x00, 0x04})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.level, (std::array<uint16_t, 6>{11, 22, 33, 128, 256, 166}));
         }},
        {"volume byte has no high-byte rule of its own",
         {Frame({0, 1, 0xFF, 1, 0xFF, 0xFF, 7, 7, 4})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.level[3], 511);
             EXPECT_EQ(s.level[4], 511);
             EXPECT_EQ(s.level[5], 255);
         }},
        {"levels 3..5 refused, volume included", {Frame({0, 0, 0x80, 2, 0, 0xA6, 0, 0, 4})},
         kLevelsUnchanged},
        {"levels 3..5 refused when the first high byte is above 1", {Frame({0, 2, 0, 0, 0, 0, 0, 0, 4})},
         kLevelsUnchanged},
        {"firmware and hardware versions",
         {Frame({0, 10, 11, 12, 13, 14, 28, 16, 5}), Frame({0, 20, 21, 22, 23, 24, 25, 26, 6})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.firmwareVersion, (std::array<uint8_t, 7>{10, 11, 12, 13, 14, 28, 16}));
             EXPECT_EQ(s.hardwareVersion, (std::array<uint8_t, 7>{20, 21, 22, 23, 24, 25, 26}));
         }},
        {"switching threshold", {Frame({0, 220, 1, 2, 3, 4, 5, 6, 7})},
         [](const DeviceState& s) { EXPECT_EQ(s.switchingThreshold, 220); }},
        {"port map", {Frame({0x00, 0x89, 0x00, 0x16, 0x80, 0x00, 0x00, 0x00, 0x08})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.portMapColour, (std::array<uint8_t, 5>{9, 0, 22, 0, 0}));
             EXPECT_EQ(s.portMapAcoustic, (std::array<uint8_t, 5>{1, 0, 0, 1, 0}));
         }},
        {"port map ignores bit 6", {Frame({0, 0x40, 0x7F, 0xC0, 0xFF, 0x5C, 0xFF, 0xFF, 8})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.portMapColour, (std::array<uint8_t, 5>{0, 63, 0, 63, 28}));
             EXPECT_EQ(s.portMapAcoustic, (std::array<uint8_t, 5>{0, 0, 1, 1, 0}));
         }},
        {"byte 0 is not part of the payload", {Frame({0x55, 8, 0, 0, 0, 0, 0, 0, 1})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.segmentAddress, (std::array<uint8_t, 6>{8, 0, 0, 0, 0, 0}));
         }},
        {"the last report of a type wins",
         {Frame({0, 8, 0, 0, 0, 0, 0, 0, 1}), Frame({0, 0, 9, 0, 0, 0, 0, 0, 1})},
         [](const DeviceState& s) {
             EXPECT_EQ(s.segmentAddress, (std::array<uint8_t, 6>{0, 9, 0, 0, 0, 0}));
         }},
    };
    for (const InputCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceState s = Prefilled();
        for (const Report& r : c.frames)
            Feed(s, r);
        c.check(s);
    }
}

TEST(ReportProtocol, WarmUpOncePerRun)
{
    DeviceState s;
    // Marks left from before (a tool's, another run's) are cleared in the warm-up.
    s.reportSeen.fill(9);
    s.reportSeenByTool.fill(9);
    const Report addresses = Frame({0, 8, 0, 0, 0, 0, 0, 0, 1});
    for (int i = 1; i <= 3; ++i) {
        Feed(s, addresses);
        EXPECT_EQ(s.receiveCount[0], i);
        EXPECT_EQ(s.reportSeen[0], 0) << i;
        EXPECT_EQ(s.reportSeenByTool[0], 0) << i;
        EXPECT_EQ(s.segmentAddress[0], 8);  // taken during the warm-up all the same
    }
    Feed(s, addresses);
    EXPECT_EQ(s.receiveCount[0], 3);
    EXPECT_EQ(s.reportSeen[0], 3);
    EXPECT_EQ(s.reportSeenByTool[0], 3);
    // Other types keep their own count.
    EXPECT_EQ(s.receiveCount[1], 0);
    EXPECT_EQ(s.reportSeen[1], 9);

    // A reconnect clears reportSeen; the next arrival marks it at once.
    s.reportSeen.fill(0);
    s.reportSeenByTool[0] = 0;
    Feed(s, addresses);
    EXPECT_EQ(s.reportSeen[0], 3);
    EXPECT_EQ(s.reportSeenByTool[0], 3);
    EXPECT_EQ(s.receiveCount[0], 3);
}

struct OutputCase {
    const char* name;
    Report built;
    Report expected;
};

TEST(ReportProtocol, OutputFramesHaveTheirExactBytes)
{
    const RowCommand colour{8, 5, 0, {2, 0, 1, 0x2C, 5, 0, 5, 1, 0, 0, 0}};
    const RowCommand colourTop{8, 5, 4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
    const RowCommand sound{33, 16, 5, {2, 3, 1, 250, 166, 2, 16, 0, 0, 0, 0x77}};

    const std::vector<OutputCase> cases = {
        {"pattern first half", BuildPatternFirstHalf(colour),
         Frame({0x00, 0x08, 0x02, 0x00, 0x05, 0x01, 0x2C, 0x05, 0x01})},
        {"pattern second half, colour row 0", BuildPatternSecondHalf(colour, 0),
         Frame({0x00, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02})},
        {"pattern second half, colour row 4", BuildPatternSecondHalf(colourTop, 4),
         Frame({0, 6, 7, 8, 9, 10, 11, 4, 2})},
        {"pattern first half, sound row", BuildPatternFirstHalf(sound),
         Frame({0, 33, 2, 3, 16, 1, 250, 166, 1})},
        {"pattern second half, sound row", BuildPatternSecondHalf(sound, kSoundRow),
         Frame({0, 2, 16, 0, 0, 0, 0xFF, 0xFF, 2})},
        {"port mapping",
         BuildPortMappingReport({MakeMapByte(9, true), MakeMapByte(0x48, false),
                                 MakeMapByte(22, false), MakeMapByte(0xFF, true),
                                 MakeMapByte(32, false)}),
         Frame({0, 0x89, 0x08, 0x16, 0xBF, 0x20, 0, 0, 3})},
        {"switch Blue 2 on", BuildSwitchReport(24, 1),
         Frame({0x00, 0x18, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x04})},
        {"switch off before a pattern change", BuildSwitchReport(10, 0),
         Frame({0, 10, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4})},
        {"connection report", BuildConnectionReport(33),
         Frame({0, 0x21, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 4})},
        {"state report", BuildStateReport(10, 1),
         Frame({0, 0x0A, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0x55, 4})},
        {"address change", BuildAddressChangeReport(8, 13),
         Frame({0, 8, 13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 5})},
        {"host report at open", BuildHostReport(true),
         Frame({0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 6})},
        {"host report at close", BuildHostReport(false),
         Frame({0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x06})},
        {"switching threshold", BuildThresholdReport(20),
         Frame({0, 20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7})},
        {"bootloader", BuildBootloaderReport(),
         Frame({0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F})},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.built, c.expected);
    }
}

// The state with guard regions on both sides: a parser write outside the
// record lands in a guard, which AddressSanitizer alone would not see.
struct Guarded {
    std::array<uint8_t, 1024> front;
    DeviceState s;
    std::array<uint8_t, 1024> back;
};

// Copies the fields that a report of `type` may change from `after` into
// `before`; what is left different afterwards was changed without reason.
void AcceptChangesOfType(DeviceState& before, const DeviceState& after, int type)
{
    before.inputReport = after.inputReport;
    before.receiveCount = after.receiveCount;
    before.reportSeen = after.reportSeen;
    before.reportSeenByTool = after.reportSeenByTool;
    switch (type) {
    case 1: before.segmentAddress = after.segmentAddress; break;
    case 2: before.patternCode = after.patternCode; break;
    case 3:
        // Positions 0..2, and only when every high byte is 0 or 1.
        if (after.inputReport[1] <= 1 && after.inputReport[3] <= 1 && after.inputReport[5] <= 1)
            for (std::size_t i = 0; i < 3; ++i)
                before.level[i] = after.level[i];
        break;
    case 4:
        // Positions 3..5, and only when both high bytes are 0 or 1.
        if (after.inputReport[1] <= 1 && after.inputReport[3] <= 1)
            for (std::size_t i = 3; i < 6; ++i)
                before.level[i] = after.level[i];
        break;
    case 5: before.firmwareVersion = after.firmwareVersion; break;
    case 6: before.hardwareVersion = after.hardwareVersion; break;
    case 7: before.switchingThreshold = after.switchingThreshold; break;
    case 8:
        before.portMapColour = after.portMapColour;
        before.portMapAcoustic = after.portMapAcoustic;
        break;
    default: break;
    }
}

TEST(ReportProtocol, ArbitraryFramesStayInsideTheRecord)
{
    static_assert(std::is_trivially_copyable_v<DeviceState>);
    auto g = std::make_unique<Guarded>();
    g->front.fill(0xA5);
    g->back.fill(0x5A);
    DeviceState& s = g->s;
    s = Prefilled();

    std::mt19937 rng(20261209u);
    std::uniform_int_distribution<int> byte(0, 255);
    auto before = std::make_unique<DeviceState>();
    int ignored = 0;
    for (int n = 0; n < 200000; ++n) {
        Report r;
        for (uint8_t& b : r)
            b = static_cast<uint8_t>(byte(rng));
        // Most frames carry a type near the valid range, so every type is
        // exercised often; the rest keep their random type byte.
        if (byte(rng) < 192)
            r[kReportTypeByte] = static_cast<uint8_t>(byte(rng) % 11);
        // Now and then a small high byte, so the level reports get taken.
        if (byte(rng) < 128)
            for (int i : {1, 3, 5})
                r[static_cast<std::size_t>(i)] &= 1;
        const int type = r[kReportTypeByte];

        s.inputReport = r;
        std::memcpy(before.get(), &s, sizeof s);
        ParseInputReport(s);

        if (type < 1 || type > 8) {
            ++ignored;
            ASSERT_EQ(std::memcmp(&s, before.get(), sizeof s), 0) << "type " << type;
        } else {
            AcceptChangesOfType(*before, s, type);
            ASSERT_EQ(std::memcmp(&s, before.get(), sizeof s), 0) << "type " << type;
            ASSERT_LE(s.receiveCount[static_cast<std::size_t>(type - 1)], kWarmUpCount);
        }
        for (std::size_t i = 0; i < 5; ++i) {
            ASSERT_LE(s.level[i], 511);
            ASSERT_LE(s.portMapColour[i], 63);
            ASSERT_LE(s.portMapAcoustic[i], 1);
        }
        ASSERT_LE(s.level[5], 255);
    }
    EXPECT_GT(ignored, 10000);
    for (uint8_t b : g->front)
        ASSERT_EQ(b, 0xA5);
    for (uint8_t b : g->back)
        ASSERT_EQ(b, 0x5A);
    for (std::size_t k = 0; k < 8; ++k) {
        EXPECT_EQ(s.receiveCount[k], 3);
        EXPECT_EQ(s.reportSeen[k], 3);
        EXPECT_EQ(s.reportSeenByTool[k], 3);
    }
}

}  // namespace
}  // namespace kv
