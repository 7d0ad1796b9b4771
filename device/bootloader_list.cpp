#include <libusb.h>

#include <cstdio>

#include "device/hid_link.h"

namespace kv {

std::vector<BootloaderEntry> ListBootloaders()
{
    std::vector<BootloaderEntry> found;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return found;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0)
            continue;
        if (d.idVendor != kBootloaderVendorId || d.idProduct != kBootloaderProductId)
            continue;
        BootloaderEntry entry;
        entry.bus = libusb_get_bus_number(list[i]);
        entry.address = libusb_get_device_address(list[i]);
        char path[32];
        std::snprintf(path, sizeof path, "usb:%03d:%03d", entry.bus, entry.address);
        entry.path = path;
        found.push_back(entry);
    }
    if (list != nullptr)
        libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return found;
}

}  // namespace kv
