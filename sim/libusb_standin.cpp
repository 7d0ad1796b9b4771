// The libusb-1.0 functions the program uses, served from the virtual tower's
// USB side (sim/virtual_bootloader.h). Same signatures and error codes as the
// library; contexts, device lists, devices (reference-counted), handles and
// configuration descriptors are owned the way libusb owns them, so a caller
// that forgets to release one leaks memory the sanitizer sees.
//
// Every call that can fail first lets the world catch up with the clock and
// then counts towards the per-call failure injection (VirtualUsb::FailCall).
// Control transfers carry their time-out to the boot loader, which records it
// and fails a transfer whose device-side work takes longer.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <type_traits>
#include <vector>

#include <libusb.h>

#include "sim/virtual_bootloader.h"

using kv::sim::TheVirtualUsb;
using kv::sim::UsbListEntry;
using kv::sim::VirtualUsb;

struct libusb_context {
    int refs = 1;
    int logLevel = 0;
    // Devices alive in this context (not owning: each is freed when its last
    // reference goes).
    std::vector<libusb_device*> devices;
};

struct libusb_device {
    libusb_context* ctx = nullptr;
    int refs = 1;
    uint64_t key = 0;
    uint64_t session = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t bus = 0;
    uint8_t address = 0;
    // Descriptors as read when the device was enumerated.
    bool bootloader = false;
    bool firstInterfaceWithoutSetting = false;
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    uint32_t claimed = 0;
};

namespace {

libusb_context* defaultContext = nullptr;

// Configuration descriptor with its interfaces in one allocation.
struct ConfigBlock {
    libusb_config_descriptor config;
    libusb_interface interfaces[2];
    libusb_interface_descriptor settings[2];
};
static_assert(std::is_standard_layout_v<ConfigBlock>);

VirtualUsb& World() {
    VirtualUsb& usb = TheVirtualUsb();
    usb.Update();
    return usb;
}

libusb_context* Resolve(libusb_context* ctx) { return ctx != nullptr ? ctx : defaultContext; }

// The world's entry for a device, if it is still there in that enumeration.
bool Present(const libusb_device* dev, UsbListEntry* entry) {
    return dev != nullptr && TheVirtualUsb().Find(dev->key, dev->session, entry);
}

int InterfaceCount(const libusb_device* dev) { return dev->firstInterfaceWithoutSetting ? 2 : 1; }

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    if (ctx == nullptr) {
        if (defaultContext != nullptr) {
            ++defaultContext->refs;
        } else {
            defaultContext = new libusb_context();
            ++usb.libusbUse().liveContexts;
        }
        return LIBUSB_SUCCESS;
    }
    *ctx = new libusb_context();
    ++usb.libusbUse().liveContexts;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
    const bool isDefault = ctx == nullptr;
    ctx = Resolve(ctx);
    if (ctx == nullptr) return;
    if (isDefault && --ctx->refs > 0) return;
    // Devices still referenced outlive the context (and leak, as in libusb).
    for (libusb_device* dev : ctx->devices) dev->ctx = nullptr;
    if (ctx == defaultContext) defaultContext = nullptr;
    delete ctx;
    --TheVirtualUsb().libusbUse().liveContexts;
}

int LIBUSB_CALL libusb_set_option(libusb_context* ctx, enum libusb_option option, ...) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    switch (option) {
    case LIBUSB_OPTION_LOG_LEVEL: {
        // The option is an enum of int size, so it is passed unpromoted; the
        // signature is libusb's and cannot change.
        va_list args;
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
        va_start(args, option);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
        const int level = va_arg(args, int);
        va_end(args);
        if (level < LIBUSB_LOG_LEVEL_NONE || level > LIBUSB_LOG_LEVEL_DEBUG) return LIBUSB_ERROR_INVALID_PARAM;
        usb.libusbUse().lastLogLevel = level;
        if (libusb_context* c = Resolve(ctx)) c->logLevel = level;
        return LIBUSB_SUCCESS;
    }
    case LIBUSB_OPTION_USE_USBDK:
        return LIBUSB_ERROR_NOT_SUPPORTED;
    default:
        return LIBUSB_SUCCESS;
    }
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    ctx = Resolve(ctx);
    if (ctx == nullptr || list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    const std::vector<UsbListEntry> entries = usb.List();
    auto** out = new libusb_device*[entries.size() + 1];
    size_t n = 0;
    for (const UsbListEntry& e : entries) {
        auto known = std::find_if(ctx->devices.begin(), ctx->devices.end(), [&e](const libusb_device* d) {
            return d->key == e.key && d->session == e.session;
        });
        libusb_device* dev = nullptr;
        if (known != ctx->devices.end()) {
            dev = libusb_ref_device(*known);
        } else {
            dev = new libusb_device();
            dev->ctx = ctx;
            dev->key = e.key;
            dev->session = e.session;
            dev->vendorId = e.vendorId;
            dev->productId = e.productId;
            dev->bus = e.bus;
            dev->address = e.address;
            dev->bootloader = e.bootloader != nullptr;
            dev->firstInterfaceWithoutSetting =
                e.bootloader != nullptr && e.bootloader->faults().firstInterfaceWithoutSetting;
            ctx->devices.push_back(dev);
            ++usb.libusbUse().liveDevices;
        }
        out[n++] = dev;
    }
    out[n] = nullptr;
    *list = out;
    ++usb.libusbUse().liveDeviceLists;
    return static_cast<ssize_t>(n);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (list == nullptr) return;
    if (unref_devices) {
        for (libusb_device** d = list; *d != nullptr; ++d) libusb_unref_device(*d);
    }
    delete[] list;
    --TheVirtualUsb().libusbUse().liveDeviceLists;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    if (dev != nullptr) ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (dev == nullptr || --dev->refs > 0) return;
    if (dev->ctx != nullptr) std::erase(dev->ctx->devices, dev);
    delete dev;
    --TheVirtualUsb().libusbUse().liveDevices;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    if (dev == nullptr || desc == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = dev->bootloader ? 32 : 8;
    desc->idVendor = dev->vendorId;
    desc->idProduct = dev->productId;
    desc->bcdDevice = dev->bootloader ? 0x0000 : 0x0100;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    if (dev == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
    auto* block = new ConfigBlock{};
    libusb_config_descriptor& c = block->config;
    c.bLength = LIBUSB_DT_CONFIG_SIZE;
    c.bDescriptorType = LIBUSB_DT_CONFIG;
    c.bConfigurationValue = 1;
    c.bmAttributes = 0x80;
    c.MaxPower = 50;
    const int count = InterfaceCount(dev);
    c.bNumInterfaces = static_cast<uint8_t>(count);
    c.wTotalLength = static_cast<uint16_t>(LIBUSB_DT_CONFIG_SIZE + count * LIBUSB_DT_INTERFACE_SIZE);
    c.interface = block->interfaces;
    for (int i = 0; i < count; ++i) {
        libusb_interface_descriptor& s = block->settings[i];
        s.bLength = LIBUSB_DT_INTERFACE_SIZE;
        s.bDescriptorType = LIBUSB_DT_INTERFACE;
        s.bInterfaceNumber = static_cast<uint8_t>(i);
        if (dev->bootloader) {
            s.bInterfaceClass = LIBUSB_CLASS_APPLICATION;  // DFU
            s.bInterfaceSubClass = 1;
            s.bInterfaceProtocol = 2;  // DFU mode
        } else {
            s.bInterfaceClass = LIBUSB_CLASS_HID;
            s.bNumEndpoints = 0;
        }
        const bool withoutSetting = dev->firstInterfaceWithoutSetting && i == 0;
        block->interfaces[i].altsetting = withoutSetting ? nullptr : &block->settings[i];
        block->interfaces[i].num_altsetting = withoutSetting ? 0 : 1;
    }
    *config = &block->config;
    ++usb.libusbUse().liveConfigDescriptors;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    if (config == nullptr) return;
    // The descriptor is the first member of its block.
    delete reinterpret_cast<ConfigBlock*>(config);
    --TheVirtualUsb().libusbUse().liveConfigDescriptors;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) { return dev != nullptr ? dev->bus : 0; }

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) { return dev != nullptr ? dev->address : 0; }

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    if (dev == nullptr || dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (!Present(dev, nullptr)) return LIBUSB_ERROR_NO_DEVICE;
    auto* handle = new libusb_device_handle();
    handle->dev = libusb_ref_device(dev);
    *dev_handle = handle;
    ++usb.libusbUse().liveHandles;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
    if (dev_handle == nullptr) return;
    libusb_unref_device(dev_handle->dev);
    delete dev_handle;
    --TheVirtualUsb().libusbUse().liveHandles;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle) {
    return dev_handle != nullptr ? dev_handle->dev : nullptr;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* dev_handle, int configuration) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (!Present(dev_handle->dev, nullptr)) return LIBUSB_ERROR_NO_DEVICE;
    if (configuration != 1 && configuration != -1 && configuration != 0) return LIBUSB_ERROR_NOT_FOUND;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (!Present(dev_handle->dev, nullptr)) return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number < 0 || interface_number >= InterfaceCount(dev_handle->dev)) return LIBUSB_ERROR_NOT_FOUND;
    // A device in its application is held by the HID driver.
    if (!dev_handle->dev->bootloader) return LIBUSB_ERROR_BUSY;
    dev_handle->claimed |= 1u << interface_number;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    if (dev_handle == nullptr || interface_number < 0 || interface_number >= 32) return LIBUSB_ERROR_INVALID_PARAM;
    const uint32_t bit = 1u << interface_number;
    if ((dev_handle->claimed & bit) == 0) return LIBUSB_ERROR_NOT_FOUND;
    dev_handle->claimed &= ~bit;
    if (!Present(dev_handle->dev, nullptr)) return LIBUSB_ERROR_NO_DEVICE;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* dev_handle) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    UsbListEntry entry;
    if (!Present(dev_handle->dev, &entry)) return LIBUSB_ERROR_NOT_FOUND;
    if (entry.bootloader == nullptr) return LIBUSB_SUCCESS;
    return entry.bootloader->Reset();
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
    VirtualUsb& usb = World();
    if (int rc = usb.CountCall()) return rc;
    if (dev_handle == nullptr || (wLength > 0 && data == nullptr)) return LIBUSB_ERROR_INVALID_PARAM;
    UsbListEntry entry;
    if (!Present(dev_handle->dev, &entry)) return LIBUSB_ERROR_NO_DEVICE;
    if (entry.bootloader == nullptr) return LIBUSB_ERROR_PIPE;
    if (const VirtualUsb::TransferScript& script = usb.transferScript()) {
        const int rc = script(request_type, bRequest, wValue, wIndex, data, wLength, timeout);
        // libusb never reports more than the data stage could carry.
        return std::min<int>(rc, wLength);
    }
    // The device's work passes on the clock; a transfer that outlasts its
    // time-out fails with LIBUSB_ERROR_TIMEOUT.
    return entry.bootloader->ControlTransfer(request_type, bRequest, wValue, wIndex, data, wLength, timeout);
}

const char* LIBUSB_CALL libusb_error_name(int errcode) {
    switch (errcode) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
    }
}

}  // extern "C"
