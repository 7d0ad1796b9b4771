// HidLink: the one connection to the Base Controller's HID interface.
//
// Everything above it uses only these five operations. It talks to hidapi;
// whether that is the real library or the virtual tower is decided when the
// binary is linked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "device/device_state.h"
#include "device/report_protocol.h"  // kReportSize, the 9-byte frame
#include "platform/device_lock.h"

namespace kv {

constexpr unsigned short kBaseControllerVendorId = 0x21FC;
// The Base Controller's boot loader.
constexpr unsigned short kBootloaderVendorId = 0x03EB;
constexpr unsigned short kBootloaderProductId = 0x2FF4;
constexpr unsigned short kBaseControllerProductId = 0x0011;
// The longest a read waits for the next input report.
constexpr int kReadTimeoutMs = 100;

class HidLink {
public:
    explicit HidLink(DeviceState& state) : state_(state) {}
    ~HidLink();
    HidLink(const HidLink&) = delete;
    HidLink& operator=(const HidLink&) = delete;

    // Finds and opens the first Base Controller that can be opened; returns
    // the handle or nullptr. Sets lastLinkResult to 1 when found, 0 when not.
    // With a device path set, only the Base Controller at that path counts.
    // Each is locked before it is opened (platform/device_lock.h): one that
    // another program holds is skipped without being opened, and when none
    // could be opened for that reason, heldBy() names the holder.
    void* Open();
    // Who holds the tower that the last Open passed over ("kestrivaned (pid
    // 812)"); empty when it failed for another reason, or succeeded.
    const std::string& heldBy() const { return heldBy_; }
    // The device path Open looks for; empty: the first Base Controller.
    void SetDevicePath(std::string path) { devicePath_ = std::move(path); }
    const std::string& devicePath() const { return devicePath_; }
    // The path of the Base Controller the last successful Open took.
    const std::string& openedPath() const { return openedPath_; }
    // Closes the handle if one is held and gives its lock back; returns 0.
    int Close();
    // 1 while a handle is held.
    int IsOpen() const { return handle_ != nullptr ? 1 : 0; }
    // Reads the next input report into inputReport and parses it, then every
    // report that queued up behind it, oldest first (at most 64 more), so
    // inputReport ends as the newest. Waits at most kReadTimeoutMs for the
    // first. Always 0. Does nothing while suspendRead is 1.
    int ReadReport();
    // 0 on success, 1 on failure or with no handle.
    int WriteReport(const uint8_t* buffer, size_t length);

    DeviceState& state() { return state_; }

private:
    // Parses inputReport after a read that delivered `got` payload bytes.
    void ParseReceived(size_t got);

    DeviceState& state_;
    void* handle_ = nullptr;  // hid_device*
    std::string devicePath_;
    std::string openedPath_;
    DeviceLock lock_;
    std::string heldBy_;
};

// A Base Controller on the HID list: its device path, serial number (empty
// when it has none) and the USB port it is plugged into ("1-2"; empty where
// the system does not say).
struct BaseControllerEntry {
    std::string path;
    std::string serialNumber;
    std::string usbPort;
};

// The USB port ("1-2.3") of a hidraw device path, from sysfs; empty for
// another path or where sysfs does not have it.
std::string UsbPortOf(const std::string& hidPath);

// Every Base Controller attached, in the order Open meets them.
std::vector<BaseControllerEntry> ListBaseControllers();

// A Base Controller waiting in its boot loader (USB 03EB:2FF4).
struct BootloaderEntry {
    int bus = 0;
    int address = 0;
    // "usb:BUS:ADDRESS", as kestrivane-cli lists it.
    std::string path;
};

// Every boot loader on the USB list, in list order. Through libusb: the
// boot loader has no HID interface.
std::vector<BootloaderEntry> ListBootloaders();

// The program's one link, over TheDeviceState().
HidLink& TheHidLink();

}  // namespace kv
