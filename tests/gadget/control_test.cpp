// The tower gadget's control commands: what is accepted, and what each does
// to the models.
#include "gadget/control.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/clock.h"
#include "sim/virtual_base_controller.h"
#include "sim/virtual_bootloader.h"

namespace kv::gadget {
namespace {

TEST(ControlCommand, LinesAreTakenOnlyWhole)
{
    struct Row {
        const char* line;
        bool ok;
        ControlCommand::Kind kind;
        int64_t a;
        int64_t b;
    };
    const Row rows[] = {
        {"  plug  ", true, ControlCommand::Kind::Plug, 0, 0},
        {"unplug-after-reports 0x10", true, ControlCommand::Kind::UnplugAfterReports, 16, 0},
        {"fail-block 32767", true, ControlCommand::Kind::FailBlock, 32767, 0},
        {"stall-request 3 -1", true, ControlCommand::Kind::StallRequest, 3, -1},
        {"unplug-during-update 7", true, ControlCommand::Kind::UnplugDuringUpdate, 7, 0},
        {"report-interval 50000", true, ControlCommand::Kind::ReportInterval, 50000, 0},
        {"report-interval 999", false, {}, 0, 0},  // faster than the host polls
        {"report-interval 1000001", false, {}, 0, 0},
        {"", false, {}, 0, 0},
        {"unplug now", false, {}, 0, 0},
        {"fail-block", false, {}, 0, 0},
        {"fail-block 12abc", false, {}, 0, 0},
        {"fail-block 0x8000", false, {}, 0, 0},  // beyond the flash
        {"unplug-after-reports -1", false, {}, 0, 0},
        {"stall-request 256 1", false, {}, 0, 0},  // not a request number
        {"stall-request 3 -2", false, {}, 0, 0},
        {"Unplug", false, {}, 0, 0},
        // Numbers from the control file are bounded where the models keep
        // them, and a leading zero is still decimal.
        {"fail-block 010", true, ControlCommand::Kind::FailBlock, 10, 0},
        {"stall-request 3 2147483647", true, ControlCommand::Kind::StallRequest, 3, 2147483647},
        {"stall-request 3 4294967295", false, {}, 0, 0},  // would wrap to "for ever"
        {"unplug-during-update 0x7fffffffffffffff", false, {}, 0, 0},  // overflows the count
    };
    for (const Row& r : rows) {
        ControlCommand c;
        c.a = 99;
        EXPECT_EQ(ParseControlCommand(r.line, &c), r.ok) << r.line;
        if (r.ok) {
            EXPECT_EQ(c.kind, r.kind) << r.line;
            EXPECT_EQ(c.a, r.a) << r.line;
            EXPECT_EQ(c.b, r.b) << r.line;
        } else {
            EXPECT_EQ(c.a, 99) << r.line << ": a refused line changed the command";
        }
    }
}

TEST(ControlCommand, CommandsActOnTheModels)
{
    ScopedVirtualClock clock;
    sim::VirtualBaseController controller;
    sim::VirtualBootloader bootloader;
    const auto apply = [&](const char* line) {
        ControlCommand c;
        ASSERT_TRUE(ParseControlCommand(line, &c)) << line;
        ApplyControlCommand(c, controller, bootloader);
    };

    apply("unplug");
    EXPECT_FALSE(controller.pluggedIn());
    apply("plug");
    EXPECT_TRUE(controller.pluggedIn());
    apply("refuse-port-map");
    EXPECT_FALSE(controller.config().acceptPortMap);
    apply("accept-port-map");
    EXPECT_TRUE(controller.config().acceptPortMap);

    // The stream stops and starts again.
    auto cursor = controller.OpenCursor();
    sim::Frame f{};
    apply("stop-reports");
    clock.clock().Advance(50000);
    EXPECT_EQ(controller.Read(cursor, f, 0), 0);
    apply("resume-reports");
    clock.clock().Advance(10000);
    EXPECT_EQ(controller.Read(cursor, f, 0), 8);
    apply("report-interval 40000");
    EXPECT_EQ(controller.config().reportIntervalUs, 40000u);

    // Before the boot loader is on the bus, the count starts when it comes;
    // while it is there, from what it answered so far.
    apply("unplug-during-update 5");
    EXPECT_EQ(bootloader.faults().vanishAfterTransfers, 5);
    bootloader.AttachIn(0);
    uint8_t status[6] = {};
    ASSERT_EQ(bootloader.ControlTransfer(0xA1, 3, 0, 0, status, 6), 6);
    apply("unplug-during-update 5");
    EXPECT_EQ(bootloader.faults().vanishAfterTransfers, 6);

    apply("fail-block 0x1234");
    EXPECT_EQ(bootloader.faults().unerasedAddress, 0x1234);
    apply("stall-request 1 2");
    EXPECT_EQ(bootloader.faults().stallRequest, 1);
    EXPECT_EQ(bootloader.faults().stallCount, 2);
    apply("clear-faults");
    EXPECT_EQ(bootloader.faults().stallRequest, -1);
    EXPECT_EQ(bootloader.faults().unerasedAddress, -1);
    EXPECT_EQ(bootloader.faults().vanishAfterTransfers, -1);
}

TEST(LineSplitter, LinesComeWholeAndOverlongOnesAreDropped)
{
    LineSplitter s;
    std::string line;
    s.Feed("unp", 3);
    EXPECT_FALSE(s.NextLine(&line));
    s.Feed("lug\nplu", 7);
    ASSERT_TRUE(s.NextLine(&line));
    EXPECT_EQ(line, "unplug");
    EXPECT_FALSE(s.NextLine(&line));
    const std::string junk(LineSplitter::kMaxLine + 10, 'x');
    s.Feed("g\n", 2);
    s.Feed(junk.data(), junk.size());
    s.Feed("\nstop-reports\n", 14);
    ASSERT_TRUE(s.NextLine(&line));
    EXPECT_EQ(line, "plug");
    ASSERT_TRUE(s.NextLine(&line));
    EXPECT_EQ(line, "stop-reports");
    EXPECT_FALSE(s.NextLine(&line));
}

TEST(LineSplitter, AWriterThatNeverStopsCannotHoldTheLoop)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    // Three reads' worth of lines waiting at once.
    std::string flood;
    while (flood.size() < 3 * kMaxControlRead)
        flood += "plug\n";
    ASSERT_EQ(write(fds[1], flood.data(), flood.size()), static_cast<ssize_t>(flood.size()));

    LineSplitter s;
    std::string line;
    size_t lines = 0;
    int turns = 0;
    for (size_t got = 1; got > 0; ++turns) {
        got = FeedFromFd(fds[0], &s);
        EXPECT_LE(got, kMaxControlRead);
        for (; s.NextLine(&line); ++lines)
            ASSERT_EQ(line, "plug");
    }
    EXPECT_GE(turns, 4);
    // Nothing is lost where a read ends inside a line.
    EXPECT_EQ(lines, flood.size() / 5);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
}  // namespace kv::gadget
