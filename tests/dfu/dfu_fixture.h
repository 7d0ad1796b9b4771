// A fresh virtual tower on a virtual clock, a libusb context on the stand-in,
// and the boot loader opened through dfu_device_init.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/update_trace.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"
#include "src/dfu.h"

namespace kv::test {

class DfuTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::TheVirtualTower().Reset();
        sim::TheVirtualUsb().Reset();
        before_ = sim::TheVirtualUsb().libusbUse();
        ASSERT_EQ(libusb_init(&ctx_), 0);
    }

    void TearDown() override {
        Close();
        libusb_exit(ctx_);
        // Everything dfu opened has been given back.
        EXPECT_EQ(Live().liveHandles, 0);
        EXPECT_EQ(Live().liveDevices, 0);
        EXPECT_EQ(Live().liveDeviceLists, 0);
        EXPECT_EQ(Live().liveConfigDescriptors, 0);
        EXPECT_EQ(Live().liveContexts, 0);
    }

    // libusb objects alive now that were not alive when the test started.
    sim::LibusbUse Live() const {
        sim::LibusbUse now = sim::TheVirtualUsb().libusbUse();
        now.liveHandles -= before_.liveHandles;
        now.liveDevices -= before_.liveDevices;
        now.liveDeviceLists -= before_.liveDeviceLists;
        now.liveConfigDescriptors -= before_.liveConfigDescriptors;
        now.liveContexts -= before_.liveContexts;
        return now;
    }

    // The Base Controller's boot loader, on the list from now on.
    sim::VirtualBootloader& Loader() {
        sim::VirtualBootloader& b = sim::TheVirtualUsb().bootloaderOf(0);
        if (!b.attached()) b.AttachIn(0);
        return b;
    }

    libusb_device* Init(bool initialAbort = true) {
        return dfu_device_init(ctx_, sim::kBootloaderVendorId, sim::kBootloaderProductId, &dev_, initialAbort);
    }

    // Opens the boot loader and forgets the transfers of the search.
    void Open() {
        sim::VirtualBootloader& b = Loader();
        ASSERT_NE(Init(), nullptr);
        b.ClearTransfers();
    }

    void Close() {
        if (dev_.handle == nullptr) return;
        libusb_release_interface(dev_.handle, dev_.interface);
        libusb_close(dev_.handle);
        dev_.handle = nullptr;
    }

    static std::vector<uint8_t> Requests(const sim::VirtualBootloader& b) {
        std::vector<uint8_t> r;
        for (const sim::LoggedTransfer& t : b.transfers()) r.push_back(t.request);
        return r;
    }

    ScopedVirtualClock clock_;
    ScopedErrCapture err_;
    libusb_context* ctx_ = nullptr;
    dfu_device dev_;
    sim::LibusbUse before_;
};

}  // namespace kv::test
