// USB DFU 1.1 class requests to the Base Controller's boot loader, the search
// for the boot loader among the attached USB devices and the procedure that
// brings it into dfuIDLE. Plain functions over plain records, straight on
// libusb-1.0 control transfers on the default pipe.
//
// Every function returns an int code and leaves the decision to its caller:
// 0 or a positive byte count on success, negative on failure (negative libusb
// error codes pass through unchanged). Nothing here talks to the user; the
// diagnostic lines go to the update trace.
#pragma once

#include <cstddef>
#include <cstdint>

#include <libusb.h>

// The open boot loader.
struct dfu_device {
    libusb_device_handle* handle = nullptr;  // null when no device is open
    int interface = 0;                       // claimed interface, wIndex of every request
    int type = 0;                            // device family flags (0 for the Base Controller)
};

// The answer to DFU_GETSTATUS.
struct dfu_status {
    uint8_t bStatus = 0;
    uint32_t bwPollTimeout = 0;  // 24 bits, ms; traced only, nobody waits for it
    uint8_t bState = 0;
    uint8_t iString = 0;
};

// DFU request codes (bRequest).
enum : uint8_t {
    DFU_DETACH = 0,
    DFU_DNLOAD = 1,
    DFU_UPLOAD = 2,
    DFU_GETSTATUS = 3,
    DFU_CLRSTATUS = 4,
    DFU_GETSTATE = 5,  // never sent by this program
    DFU_ABORT = 6,
};

// bmRequestType of the class requests: host-to-device / device-to-host,
// class, interface.
constexpr uint8_t kDfuRequestOut = 0x21;
constexpr uint8_t kDfuRequestIn = 0xA1;

// DFU states (bState).
enum : uint8_t {
    STATE_APP_IDLE = 0,
    STATE_APP_DETACH = 1,
    STATE_DFU_IDLE = 2,
    STATE_DFU_DOWNLOAD_SYNC = 3,
    STATE_DFU_DOWNLOAD_BUSY = 4,
    STATE_DFU_DOWNLOAD_IDLE = 5,
    STATE_DFU_MANIFEST_SYNC = 6,
    STATE_DFU_MANIFEST = 7,
    STATE_DFU_MANIFEST_WAIT_RESET = 8,
    STATE_DFU_UPLOAD_IDLE = 9,
    STATE_DFU_ERROR = 10,
};

// DFU status codes (bStatus).
enum : uint8_t {
    DFU_STATUS_OK = 0,
    DFU_STATUS_ERROR_TARGET = 1,
    DFU_STATUS_ERROR_FILE = 2,
    DFU_STATUS_ERROR_WRITE = 3,
    DFU_STATUS_ERROR_ERASE = 4,
    DFU_STATUS_ERROR_CHECK_ERASED = 5,
    DFU_STATUS_ERROR_PROG = 6,
    DFU_STATUS_ERROR_VERIFY = 7,
    DFU_STATUS_ERROR_ADDRESS = 8,
    DFU_STATUS_ERROR_NOTDONE = 9,
    DFU_STATUS_ERROR_FIRMWARE = 10,
    DFU_STATUS_ERROR_VENDOR = 11,
    DFU_STATUS_ERROR_USBR = 12,
    DFU_STATUS_ERROR_POR = 13,
    DFU_STATUS_ERROR_UNKNOWN = 14,
    DFU_STATUS_ERROR_STALLEDPKT = 15,
};

// Time-out of every control transfer, ms.
constexpr unsigned kDfuTransferTimeoutMs = 20000;
// Detach time-out sent as wValue of DFU_DETACH, ms.
constexpr int kDfuDetachTimeoutMs = 1000;
// dfu_make_idle: counted passes, and failed status requests (short or failed
// GETSTATUS answers, which do not count as passes) before it gives up.
constexpr int kDfuIdlePasses = 4;
constexpr int kDfuIdleMaxFailedStatus = 8;
// dfu_device_init: restarts of the search after a device was reset, per call.
constexpr int kDfuInitRetries = 4;

// The process-wide transaction counter: wValue of every DNLOAD and UPLOAD,
// incremented after each (wrapping at 65536). 0 at program start, never reset.
uint16_t dfu_transaction_counter();

// DFU_DETACH with wValue = timeout (the program uses kDfuDetachTimeoutMs).
// -1 without device or handle.
int dfu_detach(dfu_device* device, int timeout);

// DFU_DNLOAD of `length` bytes. length 0 with data null is a zero-length
// DNLOAD. -1 without device/handle; -2 length != 0 with no data (or length
// above 65535, which a control transfer cannot carry); -3 data with length 0.
int dfu_download(dfu_device* device, size_t length, const uint8_t* data);

// DFU_UPLOAD of up to `length` bytes into `data`. -1 without device/handle;
// -2 length 0, length above 65535 or no buffer. Result: bytes read.
int dfu_upload(dfu_device* device, size_t length, uint8_t* data);

// DFU_GETSTATUS. 0 with `status` filled from 6 bytes; -2 for an answer of 1
// to 5 bytes; -1 without device/handle or status. A failed transfer or an
// empty answer gives 0 with status errUNKNOWN in state dfuERROR.
int dfu_get_status(dfu_device* device, dfu_status* status);

// DFU_CLRSTATUS / DFU_ABORT. -1 without device/handle.
int dfu_clear_status(dfu_device* device);
int dfu_abort(dfu_device* device);

// Searches `ctx` for the first device with the given ids that can be opened,
// configured, claimed and brought to dfuIDLE. Returns it with device->handle
// open and device->interface claimed (the open handle keeps the libusb_device
// referenced), or null with handle null and interface 0. A device that was
// reset restarts the search with a new list, at most kDfuInitRetries times per
// call; its handle is released and closed first. Once the restarts are used
// up, a device that asks for a reset is passed over like one that cannot be
// brought to dfuIDLE.
libusb_device* dfu_device_init(libusb_context* ctx, uint32_t vendor, uint32_t product,
                               dfu_device* device, bool initial_abort);

// The bInterfaceNumber of the first interface (over the configurations in
// order) that has at least one alternate setting, or -1.
int dfu_find_interface(libusb_device* device, uint8_t bNumConfigurations);

// Brings the device to dfuIDLE with status OK: 0 idle; 1 the device was reset
// (appDETACH or dfuMANIFEST-WAIT-RESET; the handle is left to the caller);
// -2 gave up.
int dfu_make_idle(dfu_device* device, bool initial_abort);

// Traces a negative transfer result with the libusb error text.
void dfu_msg_response_output(const char* function, int result);

const char* dfu_state_name(int state);
const char* dfu_status_name(int status);
