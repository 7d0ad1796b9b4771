#include "dfu_fixture.h"

#include "device/hid_link.h"
#include "device/report_protocol.h"

namespace kv::test {
namespace {

TEST_F(DfuTest, FindsTheBootLoaderAndLeavesItClaimedAndIdle) {
    sim::VirtualBootloader& b = Loader();
    err_.clear();
    libusb_device* found = Init();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(libusb_get_device_address(found), b.address());
    EXPECT_EQ(dev_.interface, 0);
    EXPECT_EQ(b.state(), STATE_DFU_IDLE);
    // The initial abort comes first.
    ASSERT_FALSE(b.transfers().empty());
    EXPECT_EQ(b.transfers()[0].request, DFU_ABORT);
    EXPECT_EQ(Live().liveHandles, 1);
    EXPECT_EQ(Live().liveDeviceLists, 0);
    for (const char* line : {"dfu_device_init( 1003, 12276, ", ", true, false )\n", "dfu_device_init(000003eb, 00002ff4)\n",
                             "found device at USB:1,", "config 0: maxpower=50*2 mA\n", "Found DFU Interface: 0\n", "set configuration 1...\n",
                             "claimed interface 0...\n"}) {
        EXPECT_NE(err_.text().find(line), std::string::npos) << line;
    }
}

TEST_F(DfuTest, NothingToFind) {
    dev_.interface = 3;
    EXPECT_EQ(Init(), nullptr);  // the boot loader has not appeared
    EXPECT_EQ(dev_.handle, nullptr);
    EXPECT_EQ(dev_.interface, 0);
}

TEST_F(DfuTest, SecondInterfaceWithASettingIsClaimed) {
    sim::VirtualBootloader& b = Loader();
    b.faults().firstInterfaceWithoutSetting = true;
    b.AttachIn(0);  // enumerates with the new descriptors
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(dev_.interface, 1);
    for (const sim::LoggedTransfer& t : b.transfers()) EXPECT_EQ(t.index, 1);
}

TEST_F(DfuTest, FirstOfTwoDevicesThatBecomesIdleWins) {
    sim::VirtualBootloader& first = Loader();
    sim::VirtualBootloader& second = sim::TheVirtualUsb().AddBootloader(0);
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(dev_.handle)), first.address());
    EXPECT_TRUE(second.transfers().empty());
    Close();

    // The first cannot be brought to dfuIDLE: passed over, closed, second wins.
    first.faults().shortStatusLength = 2;
    first.faults().shortStatusCount = -1;
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(dev_.handle)), second.address());
    EXPECT_NE(err_.text().find("Failed to put the device in dfuIDLE mode.\n"), std::string::npos);
    EXPECT_EQ(Live().liveHandles, 1);
}

TEST_F(DfuTest, BootLoadersOfOtherChipsAreNotTouched) {
    // Listed before ours: a boot loader of the same vendor for another chip,
    // and one of another vendor with our product id.
    sim::BootloaderConfig otherChip, otherVendor;
    otherChip.productId = 0x2FFB;
    otherVendor.vendorId = 0x1234;
    sim::VirtualBootloader& chip = sim::TheVirtualUsb().AddBootloader(0, otherChip);
    sim::VirtualBootloader& vendor = sim::TheVirtualUsb().AddBootloader(0, otherVendor);
    sim::VirtualBootloader& ours = sim::TheVirtualUsb().AddBootloader(0);
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(dev_.handle)), ours.address());
    EXPECT_EQ(chip.transfers().size() + vendor.transfers().size(), 0u);
}

TEST_F(DfuTest, ResetDeviceIsSearchedAgainInANewList) {
    sim::VirtualBootloader& b = Loader();
    b.config().initialState = STATE_APP_IDLE;
    b.AttachIn(0);
    const uint8_t before = b.address();
    libusb_device* found = Init();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(b.resets(), 1);
    EXPECT_EQ(b.CountRequests(DFU_DETACH), 1u);
    // Found again under its new address; the handle from before the reset
    // was closed.
    EXPECT_NE(b.address(), before);
    EXPECT_EQ(libusb_get_device_address(found), b.address());
    EXPECT_EQ(Live().liveHandles, 1);
}

TEST_F(DfuTest, RestartsAfterResetsAreBounded) {
    sim::VirtualBootloader& b = Loader();
    b.faults().stuckState = STATE_APP_DETACH;
    EXPECT_EQ(Init(), nullptr);
    EXPECT_EQ(dev_.handle, nullptr);
    EXPECT_EQ(b.resets(), kDfuInitRetries + 1);
    // Every handle opened on the way was closed (TearDown checks the rest).
    EXPECT_EQ(Live().liveHandles, 0);

    // A stuck device does not keep the search from a good one behind it.
    sim::VirtualBootloader& good = sim::TheVirtualUsb().AddBootloader(0);
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(dev_.handle)), good.address());
}

TEST_F(DfuTest, LibusbFailuresOnTheWayAreSurvived) {
    Loader();
    // Let each fallible libusb call of a search fail once in turn: the search
    // either finds the device or reports none, and never leaks.
    for (uint64_t k = 1; k <= 30; ++k) {
        sim::TheVirtualUsb().FailCall(k, LIBUSB_ERROR_IO);
        libusb_device* found = Init();
        EXPECT_EQ(found != nullptr, dev_.handle != nullptr) << k;
        Close();
        sim::TheVirtualUsb().Reset();
        Loader();
        EXPECT_EQ(Live().liveHandles, 0) << k;
        EXPECT_EQ(Live().liveConfigDescriptors, 0) << k;
        EXPECT_EQ(Live().liveDeviceLists, 0) << k;
    }
}

TEST_F(DfuTest, BootloaderReportLeadsToAnIdleBootLoader) {
    DeviceState state;
    HidLink link(state);
    ASSERT_NE(link.Open(), nullptr);
    const Report report = BuildBootloaderReport();
    ASSERT_EQ(link.WriteReport(report.data(), report.size()), 0);
    link.Close();
    EXPECT_EQ(link.Open(), nullptr);  // gone from the HID list

    const uint64_t delayUs = sim::TheVirtualUsb().bootloaderOf(0).config().appearDelayUs;
    const uint64_t t0 = NowUs();
    libusb_device* found = nullptr;
    int attempts = 0;
    while (found == nullptr && attempts < 30) {
        ++attempts;
        found = Init();
        if (found == nullptr) SleepMs(1000);
    }
    ASSERT_NE(found, nullptr);
    EXPECT_GE(NowUs() - t0, delayUs);
    EXPECT_EQ(attempts, static_cast<int>(delayUs / 1000000) + 1);
    EXPECT_EQ(dfu_make_idle(&dev_, true), 0);
}

}  // namespace
}  // namespace kv::test
