// The Base Controller side of the tower gadget on a pipe or a socket pair in
// place of the HID function's device file, on the virtual clock.
#include "gadget/hid_bridge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace kv::gadget {
namespace {

std::array<uint8_t, 8> Payload(const sim::Frame& f)
{
    std::array<uint8_t, 8> p{};
    std::copy(f.begin() + 1, f.end(), p.begin());
    return p;
}

class HidBridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, sock_), 0);
        ASSERT_EQ(pipe2(log_, O_NONBLOCK), 0);
    }
    void TearDown() override
    {
        for (int fd : {sock_[0], sock_[1], log_[0], log_[1]})
            close(fd);
    }
    // Everything the host side has received, one entry per report.
    std::vector<std::vector<uint8_t>> HostReads()
    {
        std::vector<std::vector<uint8_t>> out;
        for (;;) {
            uint8_t buf[64];
            const ssize_t n = recv(sock_[1], buf, sizeof buf, 0);
            if (n <= 0)
                return out;
            out.emplace_back(buf, buf + n);
        }
    }
    std::string LogText()
    {
        std::string s;
        char buf[256];
        for (ssize_t n; (n = read(log_[0], buf, sizeof buf)) > 0;)
            s.append(buf, static_cast<size_t>(n));
        return s;
    }

    ScopedVirtualClock clock_;
    sim::VirtualBaseController model_{};
    HidBridge bridge_{model_};
    int sock_[2] = {-1, -1};
    int log_[2] = {-1, -1};
};

TEST_F(HidBridgeTest, InputReportsLeaveInTheModelsOrderAndRateWithoutReportIdByte)
{
    bridge_.Attach(sock_[0], log_[1]);
    clock_.clock().Advance(35000);
    ASSERT_TRUE(bridge_.Pump());
    auto got = HostReads();
    // Due at 0, 10, 20 and 30 ms: four reports, types 1..4, 8 bytes each.
    ASSERT_EQ(got.size(), 4u);
    for (size_t i = 0; i < got.size(); ++i) {
        const sim::Frame want = model_.BuildInputReport(static_cast<uint8_t>(i + 1));
        ASSERT_EQ(got[i].size(), 8u) << "report " << i;
        EXPECT_EQ(got[i], std::vector<uint8_t>(want.begin() + 1, want.end())) << "report " << i;
    }
    // Nothing more before the next one is due (in 5 ms), and the loop is
    // back by then.
    EXPECT_TRUE(bridge_.Pump());
    EXPECT_TRUE(HostReads().empty());
    EXPECT_GE(bridge_.MillisecondsToNextReport(), 1);
    EXPECT_LE(bridge_.MillisecondsToNextReport(), 5);
    clock_.clock().Advance(5000);
    bridge_.Pump();
    got = HostReads();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][7], 5);
}

TEST_F(HidBridgeTest, HostThatDoesNotTakeReportsGetsOnlyTheNewestBacklog)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    // A full pipe stands for a host that has not taken the last report.
    ASSERT_GT(fcntl(p[1], F_SETPIPE_SZ, 4096), 0);
    const std::vector<uint8_t> fill(static_cast<size_t>(fcntl(p[1], F_GETPIPE_SZ)), 0xEE);
    ASSERT_EQ(write(p[1], fill.data(), fill.size()), static_cast<ssize_t>(fill.size()));

    bridge_.Attach(p[1], -1);
    clock_.clock().Advance(199000);  // reports 0..19 are due
    EXPECT_TRUE(bridge_.Pump());
    EXPECT_EQ(bridge_.reportsWritten(), 0u);
    EXPECT_EQ(bridge_.reportsDropped(), 20u - HidBridge::kMaxPending);

    std::vector<uint8_t> drain(fill.size());
    ASSERT_EQ(read(p[0], drain.data(), drain.size()), static_cast<ssize_t>(drain.size()));
    bridge_.Pump();
    ASSERT_EQ(bridge_.reportsWritten(), HidBridge::kMaxPending);
    // The newest eight, oldest first: indices 12..19, types 5..8 and 1..4.
    const uint8_t types[] = {5, 6, 7, 8, 1, 2, 3, 4};
    for (uint8_t type : types) {
        std::array<uint8_t, 8> r{};
        ASSERT_EQ(read(p[0], r.data(), r.size()), 8);
        EXPECT_EQ(r, Payload(model_.BuildInputReport(type)));
    }
    close(p[0]);
    close(p[1]);
}

TEST_F(HidBridgeTest, OutputReportsReachTheModelAsTheHostsFramesAndAreLogged)
{
    bridge_.Attach(sock_[0], log_[1]);
    clock_.clock().Advance(1234);
    // A switch report, a short one, and one the controller refuses.
    const uint8_t sw[8] = {8, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4};
    const uint8_t shortOne[5] = {6, 1, 2, 3, 4};
    ASSERT_EQ(send(sock_[1], sw, sizeof sw, 0), 8);
    ASSERT_EQ(send(sock_[1], shortOne, sizeof shortOne, 0), 5);
    EXPECT_EQ(bridge_.TakeOutput(), 2);
    model_.FailNextWrites(1);
    ASSERT_EQ(send(sock_[1], sw, sizeof sw, 0), 8);
    EXPECT_EQ(bridge_.TakeOutput(), 1);

    const auto& log = model_.outputLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].frame, (sim::Frame{0, 8, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4}));
    EXPECT_EQ(log[0].length, 9u);
    EXPECT_TRUE(model_.switchState(8).received);
    EXPECT_EQ(log[1].frame, (sim::Frame{0, 6, 1, 2, 3, 4, 0, 0, 0}));
    EXPECT_EQ(log[1].length, 6u);
    EXPECT_EQ(LogText(), "1234 9 08 01 ff ff ff ff ff 04\n"
                         "1234 6 06 01 02 03 04 00 00 00\n"
                         "1234 9 08 01 ff ff ff ff ff 04 refused\n");
    EXPECT_EQ(bridge_.reportsReceived(), 3u);
}

TEST_F(HidBridgeTest, ControllerLeavingTheBusEndsThePump)
{
    bridge_.Attach(sock_[0], -1);
    // The bootloader report: the controller restarts into its boot loader.
    const uint8_t boot[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    ASSERT_EQ(send(sock_[1], boot, sizeof boot, 0), 8);
    bridge_.TakeOutput();
    EXPECT_TRUE(model_.inBootloader());
    clock_.clock().Advance(20000);
    EXPECT_FALSE(bridge_.Pump());
    EXPECT_TRUE(HostReads().empty());

    // Plugged in again: a fresh cursor serves it from now on.
    model_.PlugIn();
    bridge_.Attach(sock_[0], -1);
    clock_.clock().Advance(10000);
    EXPECT_TRUE(bridge_.Pump());
    EXPECT_FALSE(HostReads().empty());
}

}  // namespace
}  // namespace kv::gadget
