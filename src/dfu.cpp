// USB DFU class requests on libusb-1.0 control transfers, the search for the
// boot loader and the way into dfuIDLE.
#include "src/dfu.h"

#include "platform/update_trace.h"

#define KV_TRACE_PATH "src/dfu"

namespace {

// The process-wide transaction counter (wValue of DNLOAD and UPLOAD).
uint16_t transaction = 0;

// A control transfer cannot move more than this in its data stage.
constexpr size_t kMaxControlLength = 0xFFFF;

int Send(dfu_device* device, uint8_t requestType, uint8_t request, uint16_t value,
         unsigned char* data, uint16_t length) {
    return libusb_control_transfer(device->handle, requestType, request, value,
                                   static_cast<uint16_t>(device->interface), data, length,
                                   kDfuTransferTimeoutMs);
}

bool HasHandle(const dfu_device* device) { return device != nullptr && device->handle != nullptr; }

// Closes what dfu_device_init opened for one device and forgets the handle.
void CloseDevice(dfu_device* device, bool claimed) {
    if (device->handle == nullptr) return;
    if (claimed) libusb_release_interface(device->handle, device->interface);
    libusb_close(device->handle);
    device->handle = nullptr;
}

}  // namespace

uint16_t dfu_transaction_counter() { return transaction; }

int dfu_detach(dfu_device* device, int timeout) {
    KV_TRACE(200, "%s( %p, %d )\n", __func__, static_cast<void*>(device), timeout);
    if (!HasHandle(device)) {
        KV_TRACE(100, "Invalid parameter\n");
        return -1;
    }
    const int result = Send(device, kDfuRequestOut, DFU_DETACH, static_cast<uint16_t>(timeout), nullptr, 0);
    dfu_msg_response_output(__func__, result);
    return result;
}

int dfu_download(dfu_device* device, size_t length, const uint8_t* data) {
    KV_TRACE(200, "%s( %p, %u, %p )\n", __func__, static_cast<void*>(device),
             static_cast<unsigned>(length), static_cast<const void*>(data));
    if (!HasHandle(device)) {
        KV_TRACE(100, "Invalid parameter\n");
        return -1;
    }
    if (data == nullptr && length != 0) {
        KV_TRACE(100, "data was NULL, but length != 0\n");
        return -2;
    }
    if (data != nullptr && length == 0) {
        KV_TRACE(100, "data was not NULL, but length == 0\n");
        return -3;
    }
    if (length > kMaxControlLength) {
        // wLength is 16 bits: a longer message would go out cut short.
        KV_TRACE(100, "Invalid parameter\n");
        return -2;
    }
    for (size_t i = 0; i < length; ++i) {
        KV_TRACE(300, "Message: m[%u] = 0x%02x\n", static_cast<unsigned>(i), data[i]);
    }
    // libusb takes a mutable pointer for both directions; an OUT transfer
    // only reads it.
    const int result = Send(device, kDfuRequestOut, DFU_DNLOAD, transaction++,
                            const_cast<unsigned char*>(data), static_cast<uint16_t>(length));
    dfu_msg_response_output(__func__, result);
    return result;
}

int dfu_upload(dfu_device* device, size_t length, uint8_t* data) {
    KV_TRACE(200, "%s( %p, %u, %p )\n", __func__, static_cast<void*>(device),
             static_cast<unsigned>(length), static_cast<void*>(data));
    if (!HasHandle(device)) {
        KV_TRACE(100, "Invalid parameter\n");
        return -1;
    }
    if (data == nullptr || length == 0) {
        KV_TRACE(100, "data was NULL, or length is 0\n");
        return -2;
    }
    if (length > kMaxControlLength) {
        KV_TRACE(100, "Invalid parameter\n");
        return -2;
    }
    const int result = Send(device, kDfuRequestIn, DFU_UPLOAD, transaction++, data,
                            static_cast<uint16_t>(length));
    dfu_msg_response_output(__func__, result);
    return result;
}

int dfu_get_status(dfu_device* device, dfu_status* status) {
    KV_TRACE(200, "%s( %p, %p )\n", __func__, static_cast<void*>(device), static_cast<void*>(status));
    if (status != nullptr) {
        // What the caller sees when no answer comes: an error to clear.
        status->bStatus = DFU_STATUS_ERROR_UNKNOWN;
        status->bwPollTimeout = 0;
        status->bState = STATE_DFU_ERROR;
        status->iString = 0;
    }
    if (!HasHandle(device) || status == nullptr) {
        KV_TRACE(100, "Invalid parameter\n");
        return -1;
    }
    unsigned char buffer[6] = {};
    const int result = Send(device, kDfuRequestIn, DFU_GETSTATUS, 0, buffer, sizeof buffer);
    dfu_msg_response_output(__func__, result);
    if (result == 6) {
        status->bStatus = buffer[0];
        status->bwPollTimeout = static_cast<uint32_t>(buffer[1]) | (static_cast<uint32_t>(buffer[2]) << 8) |
                                (static_cast<uint32_t>(buffer[3]) << 16);
        status->bState = buffer[4];
        status->iString = buffer[5];
        KV_TRACE(100, "==============================\n");
        KV_TRACE(100, "status->bStatus: %s (0x%02x)\n", dfu_status_name(status->bStatus), status->bStatus);
        KV_TRACE(100, "status->bwPollTimeout: 0x%04x ms\n", status->bwPollTimeout);
        KV_TRACE(100, "status->bState: %s (0x%02x)\n", dfu_state_name(status->bState), status->bState);
        KV_TRACE(100, "status->iString: 0x%02x\n", status->iString);
        KV_TRACE(100, "------------------------------\n");
        return 0;
    }
    if (result > 0) {
        KV_TRACE(100, "result: %d\n", result);
        return -2;
    }
    // Failed or empty: the caller goes on with errUNKNOWN in dfuERROR.
    return 0;
}

int dfu_clear_status(dfu_device* device) {
    KV_TRACE(200, "%s( %p )\n", __func__, static_cast<void*>(device));
    if (!HasHandle(device)) {
        KV_TRACE(100, "Invalid parameter\n");
        return -1;
    }
    const int result = Send(device, kDfuRequestOut, DFU_CLRSTATUS, 0, nullptr, 0);
    dfu_msg_response_output(__func__, result);
    return result;
}

int dfu_abort(dfu_device* device) {
    KV_TRACE(200, "%s( %p )\n", __func__, static_cast<void*>(device));
    if (!HasHandle(device)) {
        KV_TRACE(100, "Invalid parameter\n");
        return -1;
    }
    const int result = Send(device, kDfuRequestOut, DFU_ABORT, 0, nullptr, 0);
    dfu_msg_response_output(__func__, result);
    return result;
}

int dfu_find_interface(libusb_device* device, uint8_t bNumConfigurations) {
    KV_TRACE(200, "%s()\n", __func__);
    if (device == nullptr) {
        KV_TRACE(100, "Invalid parameter\n");
        return -1;
    }
    for (int c = 0; c < bNumConfigurations; ++c) {
        libusb_config_descriptor* config = nullptr;
        const int rc = libusb_get_config_descriptor(device, static_cast<uint8_t>(c), &config);
        if (rc != 0 || config == nullptr) {
            KV_TRACE(100, "can't get_config_descriptor: %d\n", rc);
            return -1;
        }
        KV_TRACE(100, "config %d: maxpower=%d*2 mA\n", c, config->MaxPower);
        int found = -1;
        for (int i = 0; i < config->bNumInterfaces && config->interface != nullptr; ++i) {
            const libusb_interface& iface = config->interface[i];
            KV_TRACE(100, "interface %d\n", i);
            if (iface.num_altsetting < 1 || iface.altsetting == nullptr) continue;
            const libusb_interface_descriptor& setting = iface.altsetting[0];
            KV_TRACE(100, "setting %d: class:%d, subclass %d, protocol:%d\n", 0, setting.bInterfaceClass,
                     setting.bInterfaceSubClass, setting.bInterfaceProtocol);
            KV_TRACE(100, "Found DFU Interface: %d\n", setting.bInterfaceNumber);
            found = setting.bInterfaceNumber;
            break;
        }
        libusb_free_config_descriptor(config);
        if (found >= 0) return found;
    }
    return -1;
}

int dfu_make_idle(dfu_device* device, bool initial_abort) {
    if (initial_abort) dfu_abort(device);

    int passes = 0;
    int failedStatus = 0;
    while (passes < kDfuIdlePasses) {
        dfu_status status;
        if (dfu_get_status(device, &status) != 0) {
            // A short answer or no handle: not a pass, but not for ever either.
            if (++failedStatus >= kDfuIdleMaxFailedStatus) break;
            dfu_clear_status(device);
            continue;
        }
        KV_TRACE(100, "State: %s (%d)\n", dfu_state_name(status.bState), status.bState);
        switch (status.bState) {
        case STATE_APP_IDLE:
            dfu_detach(device, kDfuDetachTimeoutMs);
            break;
        case STATE_APP_DETACH:
        case STATE_DFU_MANIFEST_WAIT_RESET:
            KV_TRACE(100, "Resetting the device\n");
            libusb_reset_device(device->handle);
            return 1;
        case STATE_DFU_IDLE:
            if (status.bStatus == DFU_STATUS_OK) return 0;
            dfu_clear_status(device);
            break;
        case STATE_DFU_DOWNLOAD_SYNC:
        case STATE_DFU_DOWNLOAD_BUSY:
        case STATE_DFU_DOWNLOAD_IDLE:
        case STATE_DFU_MANIFEST_SYNC:
        case STATE_DFU_MANIFEST:
        case STATE_DFU_UPLOAD_IDLE:
            dfu_abort(device);
            break;
        case STATE_DFU_ERROR:
            dfu_clear_status(device);
            break;
        default:
            break;
        }
        ++passes;
    }
    KV_TRACE(100, "Not able to transition the device into the dfuIDLE state.\n");
    return -2;
}

libusb_device* dfu_device_init(libusb_context* ctx, uint32_t vendor, uint32_t product, dfu_device* device,
                               bool initial_abort) {
    KV_TRACE(100, "%s( %u, %u, %p, %s, %s )\n", __func__, vendor, product, static_cast<void*>(device),
             initial_abort ? "true" : "false", "false");
    KV_TRACE(100, "%s(%08x, %08x)\n", __func__, vendor, product);
    if (device == nullptr) {
        KV_TRACE(100, "Invalid parameter\n");
        return nullptr;
    }
    device->handle = nullptr;

    // Restarts after a reset, for the whole search. A device that asks for a
    // reset once they are used up is given up like any other that cannot be
    // brought to dfuIDLE; the count is never raised again, so a device stuck
    // in appDETACH (or several taking turns) cannot hold the search for ever.
    int restarts = kDfuInitRetries;
    for (;;) {
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(ctx, &list);
        if (count < 0) {
            dfu_msg_response_output("libusb_get_device_list", static_cast<int>(count));
            break;
        }
        bool restart = false;
        for (ssize_t i = 0; i < count && !restart; ++i) {
            libusb_device* dev = list[i];
            libusb_device_descriptor descriptor;
            if (libusb_get_device_descriptor(dev, &descriptor) != 0) {
                KV_TRACE(100, "Failed in libusb_get_device_descriptor\n");
                break;
            }
            KV_TRACE(100, "%2d: 0x%04x, 0x%04x\n", static_cast<int>(i), descriptor.idVendor, descriptor.idProduct);
            if (descriptor.idVendor != vendor || descriptor.idProduct != product) continue;
            KV_TRACE(100, "found device at USB:%d,%d\n", libusb_get_bus_number(dev), libusb_get_device_address(dev));

            const int iface = dfu_find_interface(dev, descriptor.bNumConfigurations);
            if (iface < 0) continue;
            device->interface = iface;

            if (libusb_open(dev, &device->handle) != 0) {
                device->handle = nullptr;
                continue;
            }
            KV_TRACE(100, "opened interface %d...\n", device->interface);
            if (libusb_set_configuration(device->handle, 1) != 0) {
                KV_TRACE(100, "Failed to set configuration.\n");
                CloseDevice(device, false);
                continue;
            }
            KV_TRACE(100, "set configuration %d...\n", 1);
            if (libusb_claim_interface(device->handle, device->interface) != 0) {
                KV_TRACE(100, "Failed to claim the DFU interface.\n");
                CloseDevice(device, false);
                continue;
            }
            KV_TRACE(100, "claimed interface %d...\n", device->interface);

            switch (dfu_make_idle(device, initial_abort)) {
            case 0:
                // The open handle keeps `dev` referenced after the list goes.
                libusb_free_device_list(list, 1);
                return dev;
            case 1:
                // The device was reset and comes back as a new device: the
                // old handle is of no further use.
                CloseDevice(device, true);
                if (restarts > 0) {
                    --restarts;
                    restart = true;
                } else {
                    KV_TRACE(100, "Failed to put the device in dfuIDLE mode.\n");
                }
                break;
            default:
                KV_TRACE(100, "Failed to put the device in dfuIDLE mode.\n");
                CloseDevice(device, true);
                break;
            }
        }
        libusb_free_device_list(list, 1);
        if (!restart) break;
    }
    device->handle = nullptr;
    device->interface = 0;
    return nullptr;
}

void dfu_msg_response_output(const char* function, int result) {
    if (result >= 0) return;
    const char* text = "Unknown error";
    switch (result) {
    case LIBUSB_ERROR_IO: text = "LIBUSB_ERROR_IO: Input/output error."; break;
    case LIBUSB_ERROR_INVALID_PARAM: text = "LIBUSB_ERROR_INVALID_PARAM: Invalid parameter."; break;
    case LIBUSB_ERROR_ACCESS: text = "LIBUSB_ERROR_ACCESS: Access denied (insufficient permissions)"; break;
    case LIBUSB_ERROR_NO_DEVICE:
        text = "LIBUSB_ERROR_NO_DEVICE: No such device (it may have been disconnected)";
        break;
    case LIBUSB_ERROR_NOT_FOUND: text = "LIBUSB_ERROR_NOT_FOUND: Entity not found."; break;
    case LIBUSB_ERROR_BUSY: text = "LIBUSB_ERROR_BUSY: Resource busy."; break;
    case LIBUSB_ERROR_TIMEOUT: text = "LIBUSB_ERROR_TIMEOUT: Operation timed out."; break;
    case LIBUSB_ERROR_OVERFLOW: text = "LIBUSB_ERROR_OVERFLOW: Overflow."; break;
    case LIBUSB_ERROR_PIPE: text = "LIBUSB_ERROR_PIPE: Pipe error."; break;
    case LIBUSB_ERROR_INTERRUPTED:
        text = "LIBUSB_ERROR_INTERRUPTED: System call interrupted (perhaps due to signal)";
        break;
    case LIBUSB_ERROR_NO_MEM: text = "LIBUSB_ERROR_NO_MEM: Insufficient memory."; break;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        text = "LIBUSB_ERROR_NOT_SUPPORTED: Operation not supported or unimplemented on this platform.";
        break;
    case LIBUSB_ERROR_OTHER: text = "LIBUSB_ERROR_OTHER: Other error."; break;
    default: break;
    }
    KV_TRACE(100, "%s ERR: %s 0x%08x (%d)\n", function, text, static_cast<unsigned>(result), result);
}

const char* dfu_state_name(int state) {
    static const char* const kNames[] = {
        "appIDLE",          "appDETACH",   "dfuIDLE",     "dfuDNLOAD-SYNC",
        "dfuDNBUSY",        "dfuDNLOAD-IDLE", "dfuMANIFEST-SYNC", "dfuMANIFEST",
        "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE", "dfuERROR",
    };
    if (state < 0 || state >= static_cast<int>(sizeof kNames / sizeof kNames[0])) return "unknown state";
    return kNames[state];
}

const char* dfu_status_name(int status) {
    static const char* const kNames[] = {
        "OK",          "errTARGET",   "errFILE",     "errWRITE",    "errERASE",        "errCHECK_ERASED",
        "errPROG",     "errVERIFY",   "errADDRESS",  "errNOTDONE",  "errFIRMWARE",     "errVENDOR",
        "errUSBR",     "errPOR",      "errUNKNOWN",  "errSTALLEDPKT",
    };
    if (status < 0 || status >= static_cast<int>(sizeof kNames / sizeof kNames[0])) return "unknown status";
    return kNames[status];
}
