// The virtual boot loader as the update sees it through the DFU requests:
// the Atmel commands, the faults it can show, and the round trip from the
// bootloader report back to a Base Controller running the flashed firmware.
#include "dfu_fixture.h"

#include <array>

#include "device/hid_link.h"
#include "device/report_protocol.h"

namespace kv::test {
namespace {

class VirtualBootloaderTest : public DfuTest {
protected:
    int Command(std::vector<uint8_t> bytes) {
        return dfu_download(&dev_, bytes.size(), bytes.data());
    }
    dfu_status Status() {
        dfu_status s;
        EXPECT_EQ(dfu_get_status(&dev_, &s), 0);
        return s;
    }
    // Erases and waits until the boot loader is done.
    void Erase() {
        ASSERT_EQ(Command({0x04, 0x00, 0xFF}), 3);
        for (int i = 0; i < 1000 && Status().bStatus == DFU_STATUS_ERROR_NOTDONE; ++i) SleepMs(100);
    }
    // Program message: 32-byte header, data, 16-byte footer.
    int Program(uint16_t start, const std::vector<uint8_t>& data, bool footer = true) {
        const uint16_t end = static_cast<uint16_t>(start + data.size() - 1);
        std::vector<uint8_t> m(32, 0);
        m[0] = 0x01;
        m[2] = static_cast<uint8_t>(start >> 8);
        m[3] = static_cast<uint8_t>(start);
        m[4] = static_cast<uint8_t>(end >> 8);
        m[5] = static_cast<uint8_t>(end);
        m.insert(m.end(), data.begin(), data.end());
        if (footer) {
            const uint8_t f[16] = {0, 0, 0, 0, 0x10, 'D', 'F', 'U', 0x01, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            m.insert(m.end(), f, f + 16);
        }
        return dfu_download(&dev_, m.size(), m.data());
    }
    std::vector<uint8_t> Read(uint16_t start, uint16_t end) {
        EXPECT_EQ(Command({0x03, 0x00, uint8_t(start >> 8), uint8_t(start), uint8_t(end >> 8), uint8_t(end)}), 6);
        std::vector<uint8_t> out(end - start + 1u);
        EXPECT_EQ(dfu_upload(&dev_, out.size(), out.data()), static_cast<int>(out.size()));
        return out;
    }
    // The last page of the application with the signature and a version.
    static std::vector<uint8_t> LastPage(uint8_t version, bool signature = true) {
        std::vector<uint8_t> page(sim::kFlashPageSize, 0x5A);
        if (signature) std::copy(sim::kFirmwareSignature.begin(), sim::kFirmwareSignature.end(), page.end() - 5);
        page.back() = version;
        return page;
    }
};

TEST_F(VirtualBootloaderTest, EraseIsBusyForAWhileAndKeepsTheBootLoader) {
    Open();
    sim::VirtualBootloader& b = Loader();
    const uint8_t bootByte = b.flash()[sim::kBootloaderRegionStart];
    ASSERT_EQ(Command({0x04, 0x00, 0xFF}), 3);
    const uint64_t t0 = NowUs();
    dfu_status s = Status();
    int polls = 0;
    while (s.bStatus == DFU_STATUS_ERROR_NOTDONE && s.bState == STATE_DFU_DOWNLOAD_BUSY && polls < 1000) {
        ++polls;
        SleepMs(100);
        s = Status();
    }
    EXPECT_GE(NowUs() - t0, b.config().eraseBusyUs);
    EXPECT_EQ(polls, static_cast<int>(b.config().eraseBusyUs / 100000));
    EXPECT_EQ(s.bStatus, DFU_STATUS_OK);
    EXPECT_EQ(s.bState, STATE_DFU_DOWNLOAD_IDLE);
    EXPECT_EQ(b.flash()[0x0000], 0xFF);
    EXPECT_EQ(b.flash()[sim::kApplicationEnd], 0xFF);
    EXPECT_EQ(b.flash()[sim::kBootloaderRegionStart], bootByte);
    ASSERT_EQ(Command({0x03, 0x01, 0x00, 0x00, 0x6F, 0xFF}), 6);
    EXPECT_EQ(Status().bStatus, DFU_STATUS_OK);
}

TEST_F(VirtualBootloaderTest, BlankCheckNamesTheFirstNonBlankAddress) {
    Open();
    Erase();
    Loader().flash()[0x1234] = 0x00;
    Loader().flash()[0x2000] = 0x00;
    ASSERT_EQ(Command({0x03, 0x01, 0x00, 0x00, 0x6F, 0xFF}), 6);
    EXPECT_EQ(Status().bStatus, DFU_STATUS_ERROR_CHECK_ERASED);
    uint8_t address[2] = {};
    ASSERT_EQ(dfu_upload(&dev_, 2, address), 2);
    EXPECT_EQ(address[0], 0x12);
    EXPECT_EQ(address[1], 0x34);
}

TEST_F(VirtualBootloaderTest, ProgramWritesOnlyWhatTheMessageCarries) {
    Open();
    sim::VirtualBootloader& b = Loader();
    Erase();
    std::vector<uint8_t> data(128);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3);
    ASSERT_EQ(Program(0x0100, data), static_cast<int>(32 + 128 + 16));
    EXPECT_EQ(Status().bStatus, DFU_STATUS_OK);
    EXPECT_EQ(Read(0x0100, 0x017F), data);
    EXPECT_EQ(b.flash()[0x00FF], 0xFF);
    EXPECT_EQ(b.flash()[0x0180], 0xFF);

    // Flash bits can only be cleared: programming over data without an
    // erase leaves the AND of both.
    ASSERT_GT(Program(0x0100, std::vector<uint8_t>(128, 0xF0)), 0);
    EXPECT_EQ(b.flash()[0x0101], data[1] & 0xF0);

    struct Bad {
        const char* name;
        uint16_t start;
        size_t length;
        bool footer;
        uint8_t status;
    };
    const Bad bad[] = {
        {"into the boot loader", 0x6FC0, 128, true, DFU_STATUS_ERROR_ADDRESS},
        {"beyond one block", 0x0000, 0x401, true, DFU_STATUS_ERROR_ADDRESS},
        {"without footer", 0x0200, 128, false, DFU_STATUS_ERROR_FILE},
    };
    for (const Bad& c : bad) {
        ASSERT_GT(Program(c.start, std::vector<uint8_t>(c.length, 0), c.footer), 0) << c.name;
        const dfu_status s = Status();
        EXPECT_EQ(s.bStatus, c.status) << c.name;
        EXPECT_EQ(s.bState, STATE_DFU_ERROR) << c.name;
        EXPECT_EQ(dfu_clear_status(&dev_), 0);
    }
    EXPECT_EQ(b.flash()[0x7000 - 1], 0xFF);
    EXPECT_EQ(b.flash()[0x0200], 0xFF);
}

TEST_F(VirtualBootloaderTest, InjectedFaults) {
    Open();
    sim::VirtualBootloader& b = Loader();
    // errERASE ends the erase in dfuERROR, flash untouched.
    b.faults().eraseFails = true;
    const uint8_t before = b.flash()[0];
    Erase();
    dfu_status s = Status();
    EXPECT_EQ(s.bStatus, DFU_STATUS_ERROR_ERASE);
    EXPECT_EQ(s.bState, STATE_DFU_ERROR);
    EXPECT_EQ(b.flash()[0], before);
    ASSERT_EQ(dfu_clear_status(&dev_), 0);

    // Busy for ever.
    b.faults().eraseFails = false;
    b.faults().busyForever = true;
    ASSERT_EQ(Command({0x04, 0x00, 0xFF}), 3);
    SleepMs(600000);
    EXPECT_EQ(Status().bStatus, DFU_STATUS_ERROR_NOTDONE);
    ASSERT_EQ(dfu_abort(&dev_), LIBUSB_ERROR_PIPE);  // not while busy
    ASSERT_EQ(dfu_clear_status(&dev_), 0);
    EXPECT_EQ(Status().bState, STATE_DFU_IDLE);

    // Read protected: the upload stalls and the status says errFILE.
    b.faults().readProtected = true;
    ASSERT_EQ(Command({0x03, 0x00, 0x00, 0x00, 0x03, 0xFF}), 6);
    uint8_t buffer[1024];
    EXPECT_EQ(dfu_upload(&dev_, sizeof buffer, buffer), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(Status().bStatus, DFU_STATUS_ERROR_FILE);
    ASSERT_EQ(dfu_clear_status(&dev_), 0);

    // Vanishes after two more transfers.
    b.faults().vanishAfterTransfers = b.answered() + 2;
    EXPECT_EQ(dfu_abort(&dev_), 0);
    EXPECT_EQ(dfu_abort(&dev_), 0);
    EXPECT_EQ(dfu_abort(&dev_), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(b.attached());
}

TEST_F(VirtualBootloaderTest, EveryLibusbCallCanBeMadeToFail) {
    Open();
    sim::TheVirtualUsb().FailCall(2, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(dfu_abort(&dev_), 0);
    EXPECT_EQ(dfu_abort(&dev_), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(dfu_abort(&dev_), 0);
    EXPECT_EQ(libusb_set_option(ctx_, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_DEBUG), 0);
    EXPECT_EQ(sim::TheVirtualUsb().libusbUse().lastLogLevel, LIBUSB_LOG_LEVEL_DEBUG);
}

struct StartCase {
    const char* name;
    std::vector<uint8_t> command;
    bool signature;
    bool neverReturns;
    uint8_t expectedVersion;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class StartApplication : public VirtualBootloaderTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartApplication, BaseControllerComesBackWithTheFlashedVersion) {
    const StartCase& c = GetParam();
    DeviceState state;
    HidLink link(state);
    ASSERT_NE(link.Open(), nullptr);
    const Report report = BuildBootloaderReport();
    ASSERT_EQ(link.WriteReport(report.data(), report.size()), 0);
    link.Close();
    sim::VirtualBootloader& b = sim::TheVirtualUsb().bootloaderOf(0);
    b.faults().neverReturns = c.neverReturns;
    SleepUs(b.config().appearDelayUs);
    ASSERT_NE(Init(), nullptr);

    Erase();
    ASSERT_GT(Program(sim::kApplicationEnd + 1 - sim::kFlashPageSize, LastPage(31, c.signature)), 0);
    ASSERT_EQ(Status().bStatus, DFU_STATUS_OK);
    ASSERT_EQ(Command(c.command), static_cast<int>(c.command.size()));
    EXPECT_EQ(dfu_download(&dev_, 0, nullptr), 0);
    EXPECT_FALSE(b.attached());

    sim::VirtualBaseController& controller = sim::TheVirtualTower().baseController();
    auto applicationListed = [this] {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        bool seen = false;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d;
            if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x21FC && d.idProduct == 0x0011)
                seen = true;
        }
        libusb_free_device_list(list, 1);
        return seen;
    };
    EXPECT_FALSE(applicationListed());
    SleepUs(b.config().returnDelayUs);
    EXPECT_EQ(applicationListed(), !c.neverReturns);
    EXPECT_EQ(controller.pluggedIn(), !c.neverReturns);
    if (!c.neverReturns) {
        EXPECT_EQ(controller.config().firmwareVersion[5], c.expectedVersion);
        EXPECT_NE(link.Open(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Starts, StartApplication,
    ::testing::Values(StartCase{"with reset", {0x04, 0x03, 0x00}, true, false, 31},
                      StartCase{"without reset", {0x04, 0x03, 0x01, 0x00, 0x00}, true, false, 31},
                      StartCase{"no signature", {0x04, 0x03, 0x00}, false, false, 0},
                      StartCase{"never back", {0x04, 0x03, 0x00}, true, true, 0}),
    [](const ::testing::TestParamInfo<StartCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (ch == ' ') ch = '_';
        return name;
    });

}  // namespace
}  // namespace kv::test
