// The boot loader's FunctionFS function against an ep0 that keeps FunctionFS's
// rules (a pending SETUP is answered in its direction and halted against it),
// serving the boot loader model on a virtual clock.
#include <gtest/gtest.h>

#include <linux/usb/functionfs.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

#include "gadget/dfu_function.h"
#include "platform/clock.h"
#include "sim/virtual_bootloader.h"

namespace kv::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Event = gadget::DfuFunction::Event;

struct FakeEp0State {
    std::string openedPath;
    int openError = 0;
    int failWriteNumber = -1;  // the n-th write (0 = first) fails
    bool refuseFunctional = false;  // as older kernels: no class descriptor in a DFU interface
    int eventReadError = 0;         // the next read of events fails with it
    int writes = 0;
    bool open = false;
    std::vector<Bytes> blobs;                  // writes before any event
    std::deque<usb_functionfs_event> events;   // what the host did
    std::deque<Bytes> outData;                 // data stages of OUT requests
    std::optional<usb_ctrlrequest> pending;
    std::vector<Bytes> inAnswers;              // data stages written for IN requests
    int halts = 0;
    int statusAcks = 0;
};

class FakeEp0 : public gadget::Ep0 {
public:
    explicit FakeEp0(FakeEp0State& s) : s_(s) {}
    int Open(const std::string& path) override {
        s_.openedPath = path;
        if (s_.openError != 0) return -s_.openError;
        s_.open = true;
        return 0;
    }
    void Close() override {
        s_.open = false;
        s_.blobs.clear();  // a fresh open waits for its descriptors again
    }
    int fd() const override { return s_.open ? 42 : -1; }
    ssize_t Read(void* data, size_t length) override {
        if (s_.pending) {
            const usb_ctrlrequest setup = *s_.pending;
            s_.pending.reset();
            if (setup.bRequestType & 0x80) return Halted();
            if (setup.wLength == 0) {
                ++s_.statusAcks;
                return 0;
            }
            Bytes out = s_.outData.front();
            s_.outData.pop_front();
            const size_t n = std::min(length, out.size());
            std::memcpy(data, out.data(), n);
            return static_cast<ssize_t>(n);
        }
        if (s_.eventReadError != 0) {
            const int error = s_.eventReadError;
            s_.eventReadError = 0;
            return -error;
        }
        size_t n = 0;
        auto* events = static_cast<usb_functionfs_event*>(data);
        while (!s_.events.empty() && (n + 1) * sizeof(usb_functionfs_event) <= length) {
            events[n] = s_.events.front();
            s_.events.pop_front();
            if (events[n++].type == FUNCTIONFS_SETUP) {
                s_.pending = events[n - 1].u.setup;
                break;
            }
        }
        return n == 0 ? -EAGAIN : static_cast<ssize_t>(n * sizeof(usb_functionfs_event));
    }
    ssize_t Write(const void* data, size_t length) override {
        if (s_.writes++ == s_.failWriteNumber) return -EIO;
        const auto* p = static_cast<const uint8_t*>(data);
        if (!s_.pending) {
            if (s_.refuseFunctional && s_.blobs.size() % 2 == 0 && length > 20 + 2 * 9) return -EINVAL;
            s_.blobs.emplace_back(p, p + length);
            return static_cast<ssize_t>(length);
        }
        const usb_ctrlrequest setup = *s_.pending;
        s_.pending.reset();
        if (!(setup.bRequestType & 0x80)) return Halted();
        s_.inAnswers.emplace_back(p, p + length);
        return static_cast<ssize_t>(length);
    }
    bool Readable() override {
        return s_.open && (!s_.events.empty() || s_.pending || s_.eventReadError != 0);
    }

private:
    ssize_t Halted() {
        ++s_.halts;
        return -EL2HLT;
    }
    FakeEp0State& s_;
};

class DfuFunctionTest : public ::testing::Test {
protected:
    DfuFunctionTest() : function_("/dev/ffs-dfu", loader_, std::make_unique<FakeEp0>(ep0_)) {
        loader_.LoadFirmware(23);
    }

    void Host(uint8_t type, uint8_t request, uint16_t value, uint16_t length, Bytes out = {}) {
        usb_functionfs_event e{};
        e.type = FUNCTIONFS_SETUP;
        e.u.setup.bRequestType = type;
        e.u.setup.bRequest = request;
        e.u.setup.wValue = value;
        e.u.setup.wIndex = 0;
        e.u.setup.wLength = length;
        ep0_.events.push_back(e);
        if (!out.empty()) ep0_.outData.push_back(std::move(out));
    }
    void HostEvent(uint8_t type) {
        usb_functionfs_event e{};
        e.type = type;
        ep0_.events.push_back(e);
    }
    // GETSTATUS served; returns the answer the host got.
    Bytes Status() {
        Host(0xA1, 3, 0, 6);
        EXPECT_EQ(function_.Serve(), Event::None);
        return ep0_.inAnswers.empty() ? Bytes{} : ep0_.inAnswers.back();
    }

    ScopedVirtualClock clock_;
    FakeEp0State ep0_;
    sim::VirtualBootloader loader_;
    gadget::DfuFunction function_;
};

TEST_F(DfuFunctionTest, StartWritesOneDfuInterfacePerSpeedAndItsStrings) {
    ASSERT_EQ(function_.Start(), 0);
    EXPECT_EQ(ep0_.openedPath, "/dev/ffs-dfu/ep0");
    EXPECT_TRUE(loader_.attached());
    EXPECT_GE(function_.fd(), 0);
    ASSERT_EQ(ep0_.blobs.size(), 2u);

    const Bytes& d = ep0_.blobs[0];
    auto le32 = [](const Bytes& b, size_t at) {
        return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24);
    };
    ASSERT_EQ(d.size(), 20u + 2 * 18);
    EXPECT_EQ(le32(d, 0), static_cast<uint32_t>(FUNCTIONFS_DESCRIPTORS_MAGIC_V2));
    EXPECT_EQ(le32(d, 4), d.size());
    EXPECT_EQ(le32(d, 8), static_cast<uint32_t>(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC));
    EXPECT_EQ(le32(d, 12), 2u);
    EXPECT_EQ(le32(d, 16), 2u);
    for (size_t at : {size_t{20}, size_t{38}}) {
        // Interface 0, no endpoints, class FE/01/02, named by string 1.
        EXPECT_EQ(Bytes(d.begin() + at, d.begin() + at + 9), (Bytes{9, 4, 0, 0, 0, 0xFE, 1, 2, 1}));
        // DFU functional descriptor, DFU 1.1.
        EXPECT_EQ(d[at + 9], 9);
        EXPECT_EQ(d[at + 10], 0x21);
        EXPECT_EQ(d[at + 16] | d[at + 17] << 8, 0x0110);
    }
    const Bytes& s = ep0_.blobs[1];
    EXPECT_EQ(le32(s, 0), static_cast<uint32_t>(FUNCTIONFS_STRINGS_MAGIC));
    EXPECT_EQ(le32(s, 4), s.size());
    EXPECT_EQ(le32(s, 8), 1u);
    EXPECT_EQ(le32(s, 12), 1u);
    EXPECT_EQ(s.back(), 0);
    EXPECT_TRUE(function_.functionalDescriptor());

    // A kernel that refuses the functional descriptor gets the bare interface.
    function_.Stop();
    ep0_.refuseFunctional = true;
    ASSERT_EQ(function_.Start(), 0);
    ASSERT_EQ(ep0_.blobs.size(), 2u);
    EXPECT_FALSE(function_.functionalDescriptor());
    EXPECT_EQ(ep0_.blobs[0].size(), 20u + 2 * 9);
    EXPECT_EQ(le32(ep0_.blobs[0], 12), 1u);
    EXPECT_EQ(Bytes(ep0_.blobs[0].begin() + 29, ep0_.blobs[0].end()), (Bytes{9, 4, 0, 0, 0, 0xFE, 1, 2, 1}));
}

TEST_F(DfuFunctionTest, Ep0FailuresLeaveNothingOpenAndAGivenUpRequestIsPassedOver) {
    ep0_.openError = ENOENT;
    EXPECT_EQ(function_.Start(), -ENOENT);
    EXPECT_EQ(function_.fd(), -1);
    ep0_.openError = 0;
    ep0_.failWriteNumber = 1;  // the strings
    EXPECT_EQ(function_.Start(), -EIO);
    EXPECT_FALSE(ep0_.open);
    EXPECT_FALSE(function_.started());
    EXPECT_EQ(function_.Serve(), Event::None);

    ASSERT_EQ(function_.Start(), 0);
    ep0_.eventReadError = EIDRM;
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_EQ(Status()[4], 2);  // still served
    ep0_.eventReadError = EIO;
    EXPECT_EQ(function_.Serve(), Event::Failed);
}

TEST_F(DfuFunctionTest, RequestsAreAnsweredInTheirDirectionAndRefusalsHaltEp0) {
    ASSERT_EQ(function_.Start(), 0);
    HostEvent(FUNCTIONFS_BIND);
    HostEvent(FUNCTIONFS_ENABLE);
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_TRUE(function_.enabled());

    EXPECT_EQ(Status(), (Bytes{0, 0, 0, 0, 2, 0}));  // OK, dfuIDLE

    // Erase: the data reaches the model, which is busy for its erase time.
    Host(0x21, 1, 0, 3, {0x04, 0x00, 0xFF});
    EXPECT_EQ(function_.Serve(), Event::None);
    ASSERT_FALSE(loader_.transfers().empty());
    EXPECT_EQ(loader_.transfers().back().data, (Bytes{0x04, 0x00, 0xFF}));
    EXPECT_EQ(gadget::DfuFunction::LogLine(function_.served().back()), "dfu 0 21 1 0 0 3 3 0400ff\n");
    EXPECT_EQ(Status(), (Bytes{9, 100, 0, 0, 4, 0}));  // errNOTDONE, 100 ms, dfuDNBUSY
    clock_.clock().Advance(loader_.config().eraseBusyUs);
    const auto poll = loader_.config().commandPollMs;
    EXPECT_EQ(Status(), (Bytes{0, static_cast<uint8_t>(poll), 0, 0, 5, 0}));  // OK, dfuDNLOAD-IDLE
    EXPECT_EQ(ep0_.halts, 0);

    // Nothing to upload: the IN request is halted, not answered empty.
    Host(0xA1, 2, 0, 64);
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_EQ(ep0_.halts, 1);
    EXPECT_TRUE(function_.served().back().halted);
    EXPECT_EQ(gadget::DfuFunction::LogLine(function_.served().back()), "dfu 1200000 a1 2 0 0 64 -9 - halted\n");
    EXPECT_EQ(Status()[4], 10);  // dfuERROR

    // A zero-length DNLOAD without a start command: halted the OUT way.
    Host(0x21, 4, 0, 0);  // CLRSTATUS, acknowledged
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_EQ(ep0_.statusAcks, 1);
    Host(0x21, 1, 0, 0);
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_EQ(ep0_.halts, 2);
    Host(0xA1, 5, 0, 1);  // GETSTATE
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_EQ(ep0_.inAnswers.back(), (Bytes{10}));

    // In dfuERROR a DNLOAD with data is refused before its data stage.
    Host(0x21, 1, 0, 6, {0x06, 0x03, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_EQ(ep0_.halts, 3);
    EXPECT_EQ(ep0_.outData.size(), 1u);  // never read
    EXPECT_TRUE(function_.served().back().halted);
    EXPECT_EQ(Status(), (Bytes{15, 0, 0, 0, 10, 0}));  // errSTALLEDPKT, dfuERROR

    HostEvent(FUNCTIONFS_DISABLE);
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_FALSE(function_.enabled());
}

TEST_F(DfuFunctionTest, StartCommandEndsWithTheFlashedVersion) {
    ASSERT_EQ(function_.Start(), 0);
    Host(0x21, 1, 0, 3, {0x04, 0x03, 0x00});
    EXPECT_EQ(function_.Serve(), Event::None);
    Host(0x21, 1, 1, 0);
    HostEvent(FUNCTIONFS_DISABLE);
    EXPECT_EQ(function_.Serve(), Event::StartApplication);
    EXPECT_EQ(ep0_.statusAcks, 1);  // the host saw its request succeed
    EXPECT_EQ(function_.startedVersion(), 23);
    EXPECT_FALSE(loader_.attached());
}

TEST_F(DfuFunctionTest, ResetAfterDetachReachesTheModelAndNothingElseResetsIt) {
    loader_.config().initialState = 0;  // appIDLE
    ASSERT_EQ(function_.Start(), 0);
    HostEvent(FUNCTIONFS_DISABLE);  // a SET_CONFIGURATION
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_EQ(loader_.resets(), 0);
    Host(0x21, 0, 1000, 0);  // DETACH
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_EQ(loader_.state(), 1);
    HostEvent(FUNCTIONFS_DISABLE);  // the host's reset
    HostEvent(FUNCTIONFS_ENABLE);
    EXPECT_EQ(function_.Serve(), Event::None);
    EXPECT_EQ(loader_.resets(), 1);
    EXPECT_EQ(Status(), (Bytes{0, 0, 0, 0, 2, 0}));  // dfuIDLE
}

TEST_F(DfuFunctionTest, ModelLeavingTheBusIsAnUnplugAndLaterRequestsAreHalted) {
    loader_.faults().vanishAfterTransfers = 2;
    ASSERT_EQ(function_.Start(), 0);
    Status();
    Host(0xA1, 3, 0, 6);
    EXPECT_EQ(function_.Serve(), Event::Unplugged);
    EXPECT_EQ(ep0_.inAnswers.size(), 2u);  // the last answer still went out
    Host(0xA1, 3, 0, 6);
    EXPECT_EQ(function_.Serve(), Event::Unplugged);
    EXPECT_EQ(ep0_.halts, 1);
    EXPECT_EQ(loader_.transfers().size(), 2u);
}

}  // namespace
}  // namespace kv::test
