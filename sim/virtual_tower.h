// The virtual tower: the one simulated world behind the hidapi stand-in (and,
// with the boot loader half, the libusb stand-in).
//
// It holds the machine's HID device list. Each entry is either a Base
// Controller (a VirtualBaseController) or some other HID device that accepts
// writes and never sends anything. An entry is on the list while its device is
// plugged in; the list keeps the order in which devices were added, which is
// the order hid_enumerate reports them in.
//
// Tests call TheVirtualTower().Reset() to start from the default tower, or
// Clear() to start from a machine without devices and build their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/virtual_base_controller.h"

namespace kv::sim {

constexpr uint16_t kVirtualVendorId = 0x21FC;
constexpr uint16_t kVirtualProductId = 0x0011;

struct HidEntry {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string path;
    // False for a device another program holds: hid_open_path fails.
    bool canBeOpened = true;
    // Null for a HID device that is not a Base Controller.
    std::shared_ptr<VirtualBaseController> controller;
    // For other devices: whether it is plugged in.
    bool present = true;

    bool onList() const { return controller ? controller->pluggedIn() : present; }
};

// How the hidapi stand-in has been used (for tests).
struct HidApiUse {
    bool initialised = false;
    int initCalls = 0;
    int exitCalls = 0;
    int enumerateCalls = 0;
    int openCalls = 0;
    int closeCalls = 0;
    // Calls with a handle that is not open (closed already, or never
    // opened): the real library would crash or worse; here they fail.
    int misuse = 0;
    // Handles currently open.
    std::set<const void*> liveHandles;
};

class VirtualTower {
public:
    VirtualTower() { Reset(); }

    // The default tower: one Base Controller (Red 1, Yellow 1, Green 1,
    // Blue 1, White 1 and the sound segment at address 33; firmware 28)
    // streaming a report every 10 ms. Devices of an earlier world are
    // unplugged, so handles still open on them fail.
    void Reset();
    // No HID devices at all.
    void Clear();

    // Adds a Base Controller at the end of the list and returns it.
    VirtualBaseController& AddBaseController(BaseControllerConfig config = {}, bool canBeOpened = true);
    // Adds a HID device that is not a Base Controller (for example vendor
    // 0x21FC with another product ID). Returns its path.
    std::string AddOtherHidDevice(uint16_t vendorId, uint16_t productId, bool canBeOpened = true);

    // The i-th Base Controller added (0 = the first). Must exist.
    VirtualBaseController& baseController(size_t i = 0);
    size_t baseControllerCount() const;

    std::vector<HidEntry>& hidDevices() { return hid_; }
    // The entry with that path, or nullptr.
    HidEntry* FindHidDevice(const std::string& path);

    HidApiUse& hidApi() { return hidApi_; }

private:
    std::string NextPath();

    std::vector<HidEntry> hid_;
    HidApiUse hidApi_;
    int nextPath_ = 0;
};

// The one world. Never destroyed, so handles closed during program exit
// still find it.
VirtualTower& TheVirtualTower();

}  // namespace kv::sim
