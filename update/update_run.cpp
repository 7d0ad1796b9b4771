#include "update/update_run.h"

#include "device/hid_link.h"

#include "platform/clock.h"
#include "platform/update_trace.h"
#include "src/atmel.h"
#include "src/intel_hex.h"

namespace {

// State of the one run (hook and context live in platform/progress).
int g_step = UPDATE_STEP_PREPARING;
libusb_context* g_usbContext = nullptr;

constexpr const char* kStepTexts[UPDATE_STEP_COUNT] = {
    "Preparing...",
    "Establish Connection...",
    "Erase Old Firmware...",
    "Write New Firmware...",
    "Readback New Firmware...",
    "Validate New Firmware...",
    "Restart Device...",
    "All Done.",
};

bool InStep(int step)
{
    return step == UPDATE_STEP_WRITE || step == UPDATE_STEP_READBACK ||
           step == UPDATE_STEP_VALIDATE;
}

// True when any cell of first..last (inclusive, clipped to the image) holds data.
bool HasDataIn(const intel_buffer_out& image, uint32_t first, uint32_t last)
{
    if (image.cells == nullptr || image.memory_size == 0 || first >= image.memory_size)
        return false;
    if (last >= image.memory_size)
        last = image.memory_size - 1;
    for (uint32_t a = first; a <= last; ++a) {
        if (intel_cell_has_data(image.cells[a]))
            return true;
    }
    return false;
}

// Step 1: the boot loader, searched for a number of times one second apart.
bool FindBootloader(libusb_context* ctx, const update_target& target, dfu_device* device)
{
    for (int attempt = 1; attempt <= UPDATE_SEARCH_ATTEMPTS; ++attempt) {
        if (dfu_device_init(ctx, target.dfu_vendor_id, target.dfu_product_id, device,
                            target.initial_abort) != nullptr)
            return true;
        if (attempt < UPDATE_SEARCH_ATTEMPTS)
            busy_wait_us(UPDATE_SEARCH_INTERVAL_US);
    }
    return false;
}

// Step 2: erase, then check that the application flash is blank.
int erase_sequence(dfu_device* device, const update_target& target)
{
    if (atmel_erase_flash(device, target.quiet) != 0)
        return UPDATE_ERASE_FAILED;
    if (atmel_blank_check(device, target.flash_start, target.flash_end, target.quiet) != 0)
        return UPDATE_NOT_BLANK;
    return UPDATE_SUCCESS;
}

// Steps 1 to 6 on an initialised context; leaves an open device in `device`
// for the clean-up.
int RunSteps(libusb_context* ctx, const update_target& target, const char* hexPath,
             dfu_device* device)
{
    report_step(UPDATE_STEP_CONNECT);
    if (!FindBootloader(ctx, target, device)) {
        kv::ErrPrintf("No device present.\n");
        return UPDATE_NO_DEVICE;
    }

    report_step(UPDATE_STEP_ERASE);
    int result = erase_sequence(device, target);
    if (result != UPDATE_SUCCESS) {
        kv::ErrPrintf("ERASE FAILED.\n");
        return result;
    }

    result = flash_sequence(device, target, hexPath);
    if (result != UPDATE_SUCCESS) {
        kv::ErrPrintf("FLASH FAILED.\n");
        return result;
    }

    report_step(UPDATE_STEP_RESTART);
    result = target.launch_without_reset ? atmel_start_app_noreset(device)
                                         : atmel_start_app_reset(device);
    if (result != 0)
        kv::ErrPrintf("LAUNCH FAILED.\n");
    return result;
}

void ReleaseDevice(dfu_device* device, const update_target& target)
{
    if (device->handle == nullptr)
        return;
    if (libusb_release_interface(device->handle, device->interface) != 0 &&
        target.launch_without_reset)
        kv::ErrPrintf("Failed to release interface.\n");
    libusb_close(device->handle);
    device->handle = nullptr;
}

}  // namespace

const char* update_step_text(int step)
{
    if (step < 0 || step >= UPDATE_STEP_COUNT)
        return nullptr;
    return kStepTexts[step];
}

int select_target(int product, update_target* target)
{
    if (product != UPDATE_PRODUCT_BASE_CONTROLLER || target == nullptr) {
        kv::ErrPrintf("Unsupported product.\n");
        return UPDATE_UNSUPPORTED_PRODUCT;
    }
    const bool quiet = target->quiet;
    *target = update_target{};
    target->quiet = quiet;
    target->app_vendor_id = kv::kBaseControllerVendorId;
    target->app_product_id = kv::kBaseControllerProductId;
    target->dfu_vendor_id = kv::kBootloaderVendorId;
    target->dfu_product_id = kv::kBootloaderProductId;
    target->memory_size = 0x8000;
    target->bootloader_size = 0x1000;
    target->page_size = 0x80;
    target->bootloader_start = 0x7000;
    target->bootloader_end = 0x7FFF;
    target->flash_start = 0x0000;
    target->flash_end = 0x6FFF;
    target->memory_start = 0x0000;
    target->memory_end = 0x7FFF;
    target->initial_abort = true;
    target->launch_without_reset = false;
    return 0;
}

void report_step(int step)
{
    g_step = step;
    const int flag = InStep(step) ? 1 : 0;
    kv::set_progress_step(step, flag);
    kv::report_progress(0);
}

int update_current_step() { return g_step; }

void busy_wait_us(uint64_t microseconds) { kv::BusyWaitUs(microseconds); }

// The HEX file as an image of the target's memory: 0, or 6 when the buffer
// cannot be made, the file cannot be read or it has data over the boot loader.
int load_image(const update_target& target, const char* hexPath, intel_buffer_out* image)
{
    if (intel_init_buffer_out(image, target.memory_end + 1, target.page_size) != 0) {
        kv::ErrPrintf("ERROR initializing a buffer.\n");
        return UPDATE_IMAGE_FAILED;
    }
    const int dropped = intel_hex_to_buffer(hexPath, image, target.quiet ? 1 : 0);
    if (dropped < 0) {
        kv::ErrPrintf("Something went wrong with creating the memory image.\n");
        return UPDATE_IMAGE_FAILED;
    }
    if (dropped > 0)
        kv::ErrPrintf("WARNING: There are bytes outside of target memory.\n");
    if (HasDataIn(*image, target.bootloader_start, target.bootloader_end)) {
        kv::ErrPrintf("Bootloader and code overlap.\n");
        return UPDATE_IMAGE_FAILED;
    }
    return UPDATE_SUCCESS;
}

int update_check_file(int product, const char* hexPath, kv::ProgressHook hook, void* context)
{
    update_target target;
    target.quiet = true;
    if (select_target(product, &target) != 0)
        return UPDATE_UNSUPPORTED_PRODUCT;
    intel_buffer_out image;
    const int result = load_image(target, hexPath, &image);
    intel_free_buffer_out(&image);
    if (result != UPDATE_SUCCESS) {
        // Shown as the run shows it: the write step failed on the file.
        kv::register_progress_hook(hook, context);
        report_step(UPDATE_STEP_WRITE);
        kv::unregister_progress_hook();
    }
    return result;
}

int flash_sequence(dfu_device* device, const update_target& target, const char* hexPath)
{
    report_step(UPDATE_STEP_WRITE);

    intel_buffer_out image;
    intel_buffer_in readback;
    const uint32_t size = target.memory_end + 1;

    // Nothing but the erase has touched the device yet.
    int result = load_image(target, hexPath, &image);

    if (result == UPDATE_SUCCESS) {
        image.valid_start = target.flash_start;
        image.valid_end = target.flash_end;
        if (atmel_flash(device, &image, target.quiet) != 0) {
            kv::ErrPrintf("Error writing flash data.\n");
            result = UPDATE_PROGRAM_FAILED;
        }
    }

    if (result == UPDATE_SUCCESS) {
        report_step(UPDATE_STEP_READBACK);
        if (intel_init_buffer_in(&readback, size, target.page_size) != 0) {
            kv::ErrPrintf("ERROR initializing a buffer.\n");
            result = UPDATE_READBACK_BUFFER;
        } else {
            // The whole application flash, not only the programmed pages.
            readback.data_start = readback.valid_start = image.valid_start;
            readback.data_end = readback.valid_end = image.valid_end;
        }
    }

    if (result == UPDATE_SUCCESS && atmel_read_flash(device, &readback, target.quiet) != 0) {
        kv::ErrPrintf("ERROR: could not read memory\n");
        result = UPDATE_READBACK_FAILED;
    }

    if (result == UPDATE_SUCCESS) {
        report_step(UPDATE_STEP_VALIDATE);
        if (intel_validate_buffer(&readback, &image, target.quiet ? 1 : 0) != 0)
            result = UPDATE_VALIDATION_FAILED;
    }

    intel_free_buffer_in(&readback);
    intel_free_buffer_out(&image);
    return result;
}

int rediscover_device(libusb_context* ctx, const update_target& target)
{
    for (int attempt = 1; attempt <= UPDATE_SEARCH_ATTEMPTS; ++attempt) {
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(ctx, &list);
        bool found = false;
        bool unreadable = false;
        for (ssize_t i = 0; i < count && !found && !unreadable; ++i) {
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(list[i], &descriptor) != 0) {
                kv::ErrPrintf("Failed in libusb_get_device_descriptor\n");
                unreadable = true;
            } else if (descriptor.idVendor == target.app_vendor_id &&
                       descriptor.idProduct == target.app_product_id) {
                found = true;
            }
        }
        if (count >= 0 && list != nullptr)
            libusb_free_device_list(list, 1);
        if (found)
            return UPDATE_SUCCESS;
        if (unreadable)
            return UPDATE_NOT_RETURNED;
        if (attempt < UPDATE_SEARCH_ATTEMPTS)
            busy_wait_us(UPDATE_SEARCH_INTERVAL_US);
    }
    return UPDATE_NOT_RETURNED;
}

int update_run(int product, const char* hexPath, kv::ProgressHook hook, void* context)
{
    kv::register_progress_hook(hook, context);
    report_step(UPDATE_STEP_PREPARING);

    g_usbContext = nullptr;
    if (libusb_init(&g_usbContext) != 0) {
        kv::ErrPrintf("Can't init libusb.\n");
        g_usbContext = nullptr;
        kv::unregister_progress_hook();
        return UPDATE_NO_DEVICE;
    }
    // Let libusb log everything it can.
    libusb_set_option(g_usbContext, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_DEBUG);

    update_target target;
    target.quiet = true;
    dfu_device device;
    int result = select_target(product, &target);
    if (result != 0)
        kv::ErrPrintf("UNSUPPORTED PRODUCT.\n");
    else
        result = RunSteps(g_usbContext, target, hexPath, &device);

    ReleaseDevice(&device, target);

    if (result == UPDATE_SUCCESS && g_step == UPDATE_STEP_RESTART) {
        result = rediscover_device(g_usbContext, target);
        if (result != UPDATE_SUCCESS)
            kv::ErrPrintf("REDISCOVERY FAILED.\n");
        else
            report_step(UPDATE_STEP_DONE);
    }

    libusb_exit(g_usbContext);
    g_usbContext = nullptr;
    // The hook's owner may go away after the run; nothing reports outside one.
    kv::unregister_progress_hook();
    return result;
}
