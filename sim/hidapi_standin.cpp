// hidapi, served from the virtual tower.
//
// The functions keep the library's signatures, return values and report-ID
// behaviour for a device without numbered reports:
// - hid_write takes the report ID in data[0]; it must be 0, and the device
//   receives data[1..]. A write returns the length it was given, -1 on
//   failure. A non-zero report ID fails, since the device has no numbered
//   reports.
// - hid_read / hid_read_timeout return the report WITHOUT a report-ID byte
//   (8 bytes of a 9-byte frame), 0 when no report came in time, -1 on failure.
// - hid_enumerate returns a list the caller frees with hid_free_enumeration,
//   or NULL when there is no matching device.
// Calls with a handle that is not open fail and are counted as misuse
// instead of crashing as the library would.
#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"

using kv::sim::Frame;
using kv::sim::HidEntry;
using kv::sim::TheVirtualTower;
using kv::sim::VirtualBaseController;

struct hid_device_ {
    std::shared_ptr<VirtualBaseController> controller;  // null: not a Base Controller
    VirtualBaseController::ReadCursor cursor;
    bool nonBlocking = false;
    std::wstring error = L"Success";
};

namespace {

std::wstring& GlobalError()
{
    static std::wstring* error = new std::wstring(L"Success");
    return *error;
}

bool Live(hid_device* dev)
{
    auto& use = TheVirtualTower().hidApi();
    if (dev != nullptr && use.liveHandles.count(dev) != 0)
        return true;
    ++use.misuse;
    return false;
}

wchar_t* DupWide(const wchar_t* s)
{
    const size_t n = std::wcslen(s) + 1;
    auto* out = static_cast<wchar_t*>(std::malloc(n * sizeof(wchar_t)));
    if (out != nullptr)
        std::wmemcpy(out, s, n);
    return out;
}

char* DupString(const std::string& s)
{
    auto* out = static_cast<char*>(std::malloc(s.size() + 1));
    if (out != nullptr)
        std::memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

// Bytes of an input report as the device sends it (no report-ID byte).
constexpr size_t kInputPayload = 8;
constexpr size_t kFrameSize = 9;

}  // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void)
{
    auto& use = TheVirtualTower().hidApi();
    ++use.initCalls;
    use.initialised = true;
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void)
{
    auto& use = TheVirtualTower().hidApi();
    ++use.exitCalls;
    use.initialised = false;
    return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                   unsigned short product_id)
{
    auto& tower = TheVirtualTower();
    // Devices due back from their boot loader are on the list whichever
    // library looks first.
    kv::sim::TheVirtualUsb().Update();
    ++tower.hidApi().enumerateCalls;
    // The library initialises itself when it has to.
    tower.hidApi().initialised = true;
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const HidEntry& e : tower.hidDevices()) {
        if (!e.onList())
            continue;
        if (vendor_id != 0 && e.vendorId != vendor_id)
            continue;
        if (product_id != 0 && e.productId != product_id)
            continue;
        auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        if (info == nullptr)
            break;
        info->path = DupString(e.path);
        info->vendor_id = e.vendorId;
        info->product_id = e.productId;
        const std::string serial = e.controller ? e.controller->config().serialNumber : std::string();
        const std::wstring wideSerial(serial.begin(), serial.end());
        info->serial_number = DupWide(wideSerial.c_str());
        info->release_number = 0x0100;
        info->manufacturer_string = DupWide(L"");
        info->product_string = DupWide(e.controller ? L"Base Controller" : L"HID device");
        info->usage_page = 0xFF00;
        info->usage = 1;
        info->interface_number = 0;
        info->next = nullptr;
        info->bus_type = HID_API_BUS_USB;
        *tail = info;
        tail = &info->next;
    }
    if (head == nullptr)
        GlobalError() = L"No HID devices found in the system.";
    return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs)
{
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path)
{
    auto& tower = TheVirtualTower();
    ++tower.hidApi().openCalls;
    tower.hidApi().initialised = true;
    if (path == nullptr) {
        GlobalError() = L"Invalid path";
        return nullptr;
    }
    HidEntry* e = tower.FindHidDevice(path);
    if (e == nullptr || !e->onList()) {
        GlobalError() = L"No such device";
        return nullptr;
    }
    if (!e->canBeOpened) {
        GlobalError() = L"Device or resource busy";
        return nullptr;
    }
    auto* dev = new hid_device_();
    dev->controller = e->controller;
    if (dev->controller)
        dev->cursor = dev->controller->OpenCursor();
    tower.hidApi().liveHandles.insert(dev);
    GlobalError() = L"Success";
    return dev;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id, unsigned short product_id,
                                                  const wchar_t* serial_number)
{
    // Like the library: the first matching device, and only that one.
    hid_device_info* list = hid_enumerate(vendor_id, product_id);
    hid_device* dev = nullptr;
    for (hid_device_info* p = list; p != nullptr; p = p->next) {
        if (serial_number != nullptr && std::wcscmp(serial_number, p->serial_number) != 0)
            continue;
        dev = hid_open_path(p->path);
        break;
    }
    hid_free_enumeration(list);
    return dev;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev)
{
    if (dev == nullptr)
        return;
    auto& use = TheVirtualTower().hidApi();
    if (!Live(dev))
        return;
    ++use.closeCalls;
    use.liveHandles.erase(dev);
    delete dev;
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock)
{
    if (!Live(dev))
        return -1;
    dev->nonBlocking = nonblock != 0;
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data, size_t length,
                                                 int milliseconds)
{
    if (!Live(dev))
        return -1;
    if (data == nullptr) {
        dev->error = L"Invalid buffer";
        return -1;
    }
    if (!dev->controller) {
        // Another HID device: it never sends anything.
        if (milliseconds > 0)
            kv::SleepMs(static_cast<uint32_t>(milliseconds));
        return 0;
    }
    Frame frame{};
    const int r = dev->controller->Read(dev->cursor, frame, milliseconds);
    if (r < 0) {
        dev->error = L"Input/output error";
        return -1;
    }
    if (r == 0)
        return 0;
    const size_t n = std::min({length, kInputPayload, static_cast<size_t>(r)});
    std::memcpy(data, frame.data() + 1, n);
    dev->error = L"Success";
    return static_cast<int>(n);
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    if (!Live(dev))
        return -1;
    return hid_read_timeout(dev, data, length, dev->nonBlocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    if (!Live(dev))
        return -1;
    if (data == nullptr || length == 0) {
        dev->error = L"Invalid buffer";
        return -1;
    }
    if (data[0] != 0) {
        // The device has no numbered reports.
        dev->error = L"Broken pipe";
        return -1;
    }
    if (length > kFrameSize) {
        dev->error = L"Report too long";
        return -1;
    }
    if (!dev->controller)
        return static_cast<int>(length);
    Frame frame{};
    std::memcpy(frame.data(), data, length);
    if (dev->controller->Write(dev->cursor, frame, length) < 0) {
        dev->error = L"Input/output error";
        return -1;
    }
    dev->error = L"Success";
    return static_cast<int>(length);
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev)
{
    if (dev == nullptr)
        return GlobalError().c_str();
    if (!Live(dev))
        return GlobalError().c_str();
    return dev->error.c_str();
}

}  // extern "C"
