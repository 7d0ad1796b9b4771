// The update run: one firmware update of the Base Controller from start to
// end. Finds the Atmel DFU boot loader, erases and blank-checks the flash,
// programs the HEX image, reads it back and validates it, starts the new
// firmware and waits until the Base Controller is back with its own USB ids.
//
// Progress is reported in eight steps (0..7) through the update progress
// hook; the user sees a failure as [step.result]. Messages go to the standard
// error stream of platform/update_trace.h. No Qt here.
//
// The run's hook, context, step and libusb context are process-wide: one run
// at a time, on the thread that owns the progress dialog.
#pragma once

#include <cstdint>

#include <libusb.h>

#include "platform/progress.h"
#include "src/dfu.h"

// What the run needs to know about the device it updates.
struct update_target {
    bool quiet = false;
    uint16_t app_vendor_id = 0;   // the device running its firmware
    uint16_t app_product_id = 0;
    uint16_t dfu_vendor_id = 0;   // its boot loader
    uint16_t dfu_product_id = 0;
    uint32_t memory_size = 0;     // held, not consulted
    uint32_t bootloader_size = 0; // held, not consulted
    uint32_t page_size = 0;
    uint32_t bootloader_start = 0;  // image data here is refused
    uint32_t bootloader_end = 0;
    uint32_t flash_start = 0;     // blank-checked, programmed, read back, validated
    uint32_t flash_end = 0;
    uint32_t memory_start = 0;    // image size = memory_end + 1
    uint32_t memory_end = 0;
    bool initial_abort = false;
    bool launch_without_reset = false;
};

// Products the run knows.
constexpr int UPDATE_PRODUCT_BASE_CONTROLLER = 0;

// Result codes of the run (negative values are results of the start command).
enum : int {
    UPDATE_SUCCESS = 0,
    UPDATE_UNSUPPORTED_PRODUCT = 2,
    UPDATE_NO_DEVICE = 3,         // libusb not set up, or no boot loader found
    UPDATE_ERASE_FAILED = 4,
    UPDATE_NOT_BLANK = 5,
    UPDATE_IMAGE_FAILED = 6,      // buffer, HEX file, or data in the boot loader region
    UPDATE_PROGRAM_FAILED = 7,
    UPDATE_READBACK_BUFFER = 8,
    UPDATE_READBACK_FAILED = 9,
    UPDATE_VALIDATION_FAILED = 10,
    UPDATE_NOT_RETURNED = 12,     // the device did not come back with its own ids
};

// The eight steps; the step number is also the progress bar position.
constexpr int UPDATE_STEP_COUNT = 8;
enum : int {
    UPDATE_STEP_PREPARING = 0,
    UPDATE_STEP_CONNECT = 1,
    UPDATE_STEP_ERASE = 2,
    UPDATE_STEP_WRITE = 3,
    UPDATE_STEP_READBACK = 4,
    UPDATE_STEP_VALIDATE = 5,
    UPDATE_STEP_RESTART = 6,
    UPDATE_STEP_DONE = 7,
};

// Searches for the boot loader and for the returning device this many times,
// one second apart.
constexpr int UPDATE_SEARCH_ATTEMPTS = 30;
constexpr uint64_t UPDATE_SEARCH_INTERVAL_US = 1000000;

// Text of a step ("Preparing..." .. "All Done."); null outside 0..7.
const char* update_step_text(int step);

// Fills `target` for `product`: 0 for the Base Controller; 2 (with
// "Unsupported product.\n") for any other product or a null target.
int select_target(int product, update_target* target);

// Stores the step and calls the registered hook with (step, in-step flag, 0);
// the flag is 1 for steps 3, 4 and 5.
void report_step(int step);
// The step the current (or last) run is in.
int update_current_step();

// Waits through the platform clock; a window may repaint meanwhile.
void busy_wait_us(uint64_t microseconds);

// Reads the HEX file into an image and checks it as flash_sequence does,
// without touching any device, so a file the run could not program is known
// before the Base Controller is sent into its boot loader and erased. 0 when
// the file can be programmed; else 6 (UPDATE_IMAGE_FAILED) after reporting
// step 3 to `hook` (the user sees the run's code [3.6]), or 2 for another
// product.
int update_check_file(int product, const char* hexPath, kv::ProgressHook hook, void* context);

// Reads the HEX file into an image of the target's memory (`image` must be
// released by the caller): 0, or 6 when the buffer cannot be made, the file
// cannot be read, or it holds data in the boot loader region.
struct intel_buffer_out;
int load_image(const update_target& target, const char* hexPath, intel_buffer_out* image);

// Steps 3 to 5 on an open boot loader: reads the HEX file into an image,
// programs it, reads the application flash back and compares. 0, or 6, 7, 8,
// 9, 10. Both images are released whatever happens.
int flash_sequence(dfu_device* device, const update_target& target, const char* hexPath);

// Waits for a device with the target's application ids on `ctx`: 0 when seen,
// 12 after the attempts or when a device descriptor cannot be read.
int rediscover_device(libusb_context* ctx, const update_target& target);

// One whole update. Registers `hook`/`context` for its duration and returns
// the result code; the device handle, the interface, the libusb context and
// both images are released on every path.
int update_run(int product, const char* hexPath, kv::ProgressHook hook, void* context);
