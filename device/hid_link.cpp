#include "device/hid_link.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <system_error>
#include <utility>

#include "device/report_protocol.h"

namespace kv {
namespace {

// The library is initialised while a link holds a handle or searches for one,
// and released when the last handle is closed.
bool g_hidInitialised = false;
int g_openHandles = 0;

bool EnsureHidLibrary()
{
    if (g_hidInitialised)
        return true;
    g_hidInitialised = hid_init() == 0;
    return g_hidInitialised;
}

void ReleaseHidLibraryIfIdle()
{
    if (g_hidInitialised && g_openHandles == 0) {
        hid_exit();
        g_hidInitialised = false;
    }
}

hid_device* AsDevice(void* handle) { return static_cast<hid_device*>(handle); }

// An input report without its report-ID byte: the device has no numbered
// reports, so the library hands over bytes 1..8 of the frame.
constexpr size_t kInputPayload = kReportSize - 1;

// At most this many queued reports are read behind the first one in one read
// (the depth of the largest host buffer, hidraw's 64), so a device that floods
// the link cannot keep a read from returning.
constexpr int kMaxBacklog = 64;

}  // namespace

std::string UsbPortOf(const std::string& hidPath)
{
    // /dev/hidrawN -> /sys/class/hidraw/hidrawN/device, a link into the
    // device tree: .../usb1/1-2/1-2:1.0/0003:21FC:0011.0005. The port is
    // the interface's parent, "1-2".
    const std::string prefix = "/dev/";
    if (hidPath.compare(0, prefix.size(), prefix) != 0)
        return {};
    const std::string name = hidPath.substr(prefix.size());
    if (name.empty() || name.find('/') != std::string::npos)
        return {};
    std::error_code ec;
    const std::filesystem::path device =
        std::filesystem::canonical("/sys/class/hidraw/" + name + "/device", ec);
    if (ec)
        return {};
    const std::string interfaceName = device.parent_path().filename().string();
    const size_t colon = interfaceName.find(':');
    if (colon == std::string::npos || colon == 0)
        return {};
    return interfaceName.substr(0, colon);
}

HidLink::~HidLink() { Close(); }

void* HidLink::Open()
{
    // A handle still held from before is released, not leaked.
    Close();
    handle_ = nullptr;
    openedPath_.clear();
    heldBy_.clear();
    state_.lastLinkResult = 0;
    if (!EnsureHidLibrary())
        return nullptr;

    hid_device_info* list = hid_enumerate(0, 0);
    hid_device* found = nullptr;
    for (hid_device_info* p = list; p != nullptr; p = p->next) {
        if (p->vendor_id != kBaseControllerVendorId || p->product_id != kBaseControllerProductId)
            continue;
        if (p->path == nullptr)
            continue;
        if (!devicePath_.empty() && devicePath_ != p->path)
            continue;
        // One that another program holds is skipped unopened; so is one
        // that cannot be opened.
        if (!lock_.Acquire(p->path)) {
            heldBy_ = lock_.holder();
            continue;
        }
        found = hid_open_path(p->path);
        if (found != nullptr) {
            openedPath_ = p->path;
            break;
        }
        lock_.Release();
    }
    hid_free_enumeration(list);

    if (found == nullptr) {
        ReleaseHidLibraryIfIdle();
        return nullptr;
    }
    handle_ = found;
    heldBy_.clear();
    ++g_openHandles;
    state_.lastLinkResult = 1;
    return handle_;
}

int HidLink::Close()
{
    if (handle_ == nullptr)
        return 0;
    hid_close(AsDevice(handle_));
    handle_ = nullptr;
    lock_.Release();
    --g_openHandles;
    ReleaseHidLibraryIfIdle();
    return 0;
}

int HidLink::ReadReport()
{
    if (state_.suspendRead != 0)
        return 0;
    auto& buffer = state_.inputReport;
    buffer[0] = 0;
    int n = -1;
    if (handle_ != nullptr)
        n = hid_read_timeout(AsDevice(handle_), buffer.data() + 1, kInputPayload, kReadTimeoutMs);
    if (n == 0)
        return 0;  // no report within the wait: a tick without a report
    if (n < 0) {
        // The buffer keeps its previous bytes; they are applied once more
        // before the poll cycle sees the failure.
        state_.lastLinkResult = 0;
        ParseInputReport(state_);
        return 0;
    }
    state_.lastLinkResult = 1;
    ParseReceived(static_cast<size_t>(n));
    // Every report that queued up behind this one since the last read is
    // parsed too, oldest first: the state ends at the newest report, and no
    // report type is passed over whatever rate the device sends at. The
    // count is bounded, so a device that floods the link cannot keep the
    // read from returning; what is left waits for the next read.
    for (int i = 0; i < kMaxBacklog; ++i) {
        const int m = hid_read_timeout(AsDevice(handle_), buffer.data() + 1, kInputPayload, 0);
        if (m == 0)
            break;
        if (m < 0) {
            // The device went while its backlog was read: what was parsed
            // stands, and the poll cycle closes the link on this tick.
            state_.lastLinkResult = 0;
            break;
        }
        ParseReceived(static_cast<size_t>(m));
    }
    return 0;
}

void HidLink::ParseReceived(size_t got)
{
    auto& buffer = state_.inputReport;
    buffer[0] = 0;
    // A short report lacks its type byte: clear what did not arrive so no
    // stale type is applied to a fresh payload.
    got = std::min(got, kInputPayload);
    std::fill(buffer.begin() + 1 + static_cast<std::ptrdiff_t>(got), buffer.end(), uint8_t{0});
    ParseInputReport(state_);
}

int HidLink::WriteReport(const uint8_t* buffer, size_t length)
{
    if (handle_ == nullptr || buffer == nullptr || length == 0)
        return 1;
    return hid_write(AsDevice(handle_), buffer, length) < 0 ? 1 : 0;
}

std::vector<BaseControllerEntry> ListBaseControllers()
{
    std::vector<BaseControllerEntry> entries;
    if (!EnsureHidLibrary())
        return entries;
    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* p = list; p != nullptr; p = p->next) {
        if (p->vendor_id != kBaseControllerVendorId || p->product_id != kBaseControllerProductId ||
            p->path == nullptr)
            continue;
        BaseControllerEntry e;
        e.path = p->path;
        // Serial numbers are plain ASCII on these devices; anything else is
        // shown as '?' rather than guessed at.
        for (const wchar_t* c = p->serial_number; c != nullptr && *c != 0; ++c)
            e.serialNumber.push_back(*c > 0 && *c < 0x80 ? static_cast<char>(*c) : '?');
        e.usbPort = UsbPortOf(e.path);
        entries.push_back(std::move(e));
    }
    hid_free_enumeration(list);
    ReleaseHidLibraryIfIdle();
    return entries;
}

HidLink& TheHidLink()
{
    static HidLink link(TheDeviceState());
    return link;
}

}  // namespace kv
